#include <cstdint>

#include "symbolic/internal.h"
#include "symbolic/kernels.h"

namespace quoril::symbolic {

namespace {

SmallValue leaf_value(const ValueNode& node) {
  if (node.kind == ValueKind::Undefined) {
    detail::throw_logic_error(
        "cannot evaluate symbolic graph with Undefined values");
  }
  // A leaf filled in by hand may claim more lanes than a record holds, in
  // the node (the reverse pass sizes the leaf's gradient by that claim) or
  // in its record (a Component would read past the lanes). The empty record
  // of a hand-made leaf stays what it was: a value of no lanes.
  if (!dimension_in_range(node.dimension) ||
      static_cast<unsigned>(node.value.dimension) > 4u) {
    detail::throw_bad_dimension();
  }
  return node.value;
}

// A node built directly with make_expression may have fewer inputs than its
// operation reads; the unset positions would silently alias another node.
// Checked per case of the dispatch, so the count needed is a constant.
template <int arity>
void require_operands(const Topology::Entry& entry) {
  if (entry.input_count < std::max(arity, 1)) {
    detail::throw_out_of_range("symbolic expression input index out of range");
  }
}

// Computes an Expression node from its inputs' values, with the kernels that
// folding uses, leaving its lanes unchecked.
SmallValue compute(const Topology::Entry& entry,
                   const WalkBuffer<SmallValue>& values) {
  const std::uint32_t* inputs = entry.inputs;
  return visit_operation(
      entry.op,
      [&]<typename O>(O) {
        require_operands<O::kArity>(entry);
        if constexpr (O::kOp == ExpressionOp::Pack) {
          SmallValue r;
          r.dimension = entry.dimension;
          for (int i = 0; i < entry.input_count; ++i) {
            const SmallValue& v = values[inputs[i]];
            if (v.dimension != 1) {
              detail::throw_logic_error("Pack input is not scalar");
            }
            r.lanes[static_cast<std::size_t>(i)] = v.lanes[0];
          }
          return r;
        } else if constexpr (O::kOp == ExpressionOp::Component) {
          const SmallValue& v = values[inputs[0]];
          const int k = entry.component_index;
          if (k < 0 || k >= v.dimension) {
            detail::throw_lane_index_out_of_range();
          }
          SmallValue r;
          r.dimension = 1;
          r.lanes[0] = v.lanes[static_cast<std::size_t>(k)];
          return r;
        } else if constexpr (O::kArity == 2) {
          return binary_lanes_of<O::kOp>(values[inputs[0]], values[inputs[1]],
                                         entry.dimension);
        } else {
          return unary_lanes_of<O::kOp>(values[inputs[0]]);
        }
      },
      [&]() -> SmallValue {
        require_operands<-1>(entry);
        detail::throw_logic_error("unsupported symbolic expression op");
      });
}

}  // namespace

SmallValue evaluate_entry_general(const Topology::Entry& entry,
                                  const WalkBuffer<SmallValue>& values) {
  return entry.kind == ValueKind::Expression ? compute(entry, values)
                                             : leaf_value(*entry.node);
}

}  // namespace quoril::symbolic

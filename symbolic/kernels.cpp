#include "symbolic/kernels.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

namespace quoril::symbolic {

namespace {

using Adjoint = std::array<double, 4>;
using Entry = Topology::Entry;

template <ExpressionOp op>
SmallValue binary_lanes_of(const SmallValue& lhs, const SmallValue& rhs,
                           int dimension) {
  SmallValue result;
  result.dimension = dimension;
  const int n = dimension < 4 ? dimension : 4;
  const int ls = lhs.dimension == 1 ? 0 : 1;
  const int rs = rhs.dimension == 1 ? 0 : 1;
  for (int i = 0; i < n; ++i) {
    lane(result, i) = Rule<op>::value(lane(lhs, i * ls), lane(rhs, i * rs));
  }
  return result;
}

template <ExpressionOp op>
SmallValue unary_lanes_of(const SmallValue& value) {
  SmallValue result;
  result.dimension = value.dimension;
  const int n = value.dimension < 4 ? value.dimension : 4;
  for (int i = 0; i < n; ++i) lane(result, i) = Rule<op>::value(lane(value, i));
  return result;
}

template <ExpressionOp op>
constexpr bool is_lanewise_of_arity(int n) {
  return !Operation<op>::kStructural && Operation<op>::kArity == n;
}

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
void require_operands(const Entry& entry) {
  const int needed = std::max(arity(entry.op), 1);
  if (entry.input_count < needed) {
    detail::throw_out_of_range("symbolic expression input index out of range");
  }
}

// Computes an Expression node from its inputs' values, with the kernels that
// folding uses, leaving its lanes unchecked.
SmallValue compute(const Entry& entry, const WalkBuffer<SmallValue>& values) {
  const std::uint32_t* inputs = entry.inputs;
  require_operands(entry);
  return visit_operation(
      entry.op,
      [&]<typename O>(O) {
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
          if (k < 0 || k >= v.dimension)
            detail::throw_lane_index_out_of_range();
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
      []() -> SmallValue {
        detail::throw_logic_error("unsupported symbolic expression op");
      });
}

template <ExpressionOp op>
void propagate_binary(const Entry& entry, const Adjoint& g,
                      const SmallValue& out, const WalkBuffer<Entry>& order,
                      const WalkBuffer<SmallValue>& values,
                      WalkBuffer<Adjoint>& adjoints) {
  const SmallValue& a = values[entry.inputs[0]];
  const SmallValue& b = values[entry.inputs[1]];
  const std::size_t sa = a.dimension == 1 ? 0 : 1;
  const std::size_t sb = b.dimension == 1 ? 0 : 1;
  // Both may be the same array when an operand is used twice (x * x).
  double* left = adjoints[entry.inputs[0]].data();
  double* right = adjoints[entry.inputs[1]].data();
  bool b_varies = true;
  if constexpr (kTakesRightVaries<op>) {
    b_varies = order[entry.inputs[1]].kind != ValueKind::Constant;
  }
  const auto lanes = static_cast<std::size_t>(entry.dimension);
  for (std::size_t i = 0; i < lanes; ++i) {
    add_binary_adjoint<op>(g[i], a.lanes[i * sa], b.lanes[i * sb], out.lanes[i],
                           left[i * sa], right[i * sb], b_varies);
  }
}

template <ExpressionOp op>
void propagate_unary(const Entry& entry, const Adjoint& g,
                     const SmallValue& out,
                     const WalkBuffer<SmallValue>& values,
                     WalkBuffer<Adjoint>& adjoints) {
  const SmallValue& x = values[entry.inputs[0]];
  if (x.dimension < entry.dimension) detail::throw_lane_index_out_of_range();
  double* in = adjoints[entry.inputs[0]].data();
  const auto lanes = static_cast<std::size_t>(entry.dimension);
  for (std::size_t i = 0; i < lanes; ++i) {
    Rule<op>::adjoint(g[i], x.lanes[i], out.lanes[i], in[i]);
  }
}

}  // namespace

SmallValue binary_lanes(ExpressionOp op, const SmallValue& lhs,
                        const SmallValue& rhs, int dimension) {
  return visit_operation(
      op,
      [&]<typename O>(O) -> SmallValue {
        if constexpr (is_lanewise_of_arity<O::kOp>(2)) {
          return binary_lanes_of<O::kOp>(lhs, rhs, dimension);
        } else {
          detail::throw_invalid_argument(
              "unsupported binary symbolic expression op");
        }
      },
      []() -> SmallValue {
        detail::throw_invalid_argument(
            "unsupported binary symbolic expression op");
      });
}

SmallValue unary_lanes(ExpressionOp op, const SmallValue& value) {
  return visit_operation(
      op,
      [&]<typename O>(O) -> SmallValue {
        if constexpr (is_lanewise_of_arity<O::kOp>(1)) {
          return unary_lanes_of<O::kOp>(value);
        } else {
          detail::throw_invalid_argument(
              "unsupported unary symbolic expression op");
        }
      },
      []() -> SmallValue {
        detail::throw_invalid_argument(
            "unsupported unary symbolic expression op");
      });
}

// The result is built in `out` itself: initialising from the returned record
// elides the copy, so the lanes land in `out` as the kernel writes them, one
// by one, where the next node reads them.
bool evaluate_entry_general(const Entry& entry,
                            const WalkBuffer<SmallValue>& values,
                            SmallValue& out) {
  static_assert(std::is_trivially_destructible_v<SmallValue>);
  if (entry.kind != ValueKind::Expression) {
    ::new (static_cast<void*>(&out)) SmallValue(leaf_value(*entry.node));
    return true;
  }
  ::new (static_cast<void*>(&out)) SmallValue(compute(entry, values));
  // A Pack only gathers lanes computed, and checked, before it.
  return entry.op == ExpressionOp::Pack || finite_lanes(out);
}

// Propagates the adjoint of one node into its inputs' adjoints. The order of
// the floating-point additions is part of the result: per lane, left before
// right; a one-lane operand collects its lanes' contributions in lane order.
void propagate(const Entry& entry, const Adjoint& g, const SmallValue& out,
               const WalkBuffer<Entry>& order,
               const WalkBuffer<SmallValue>& values,
               WalkBuffer<Adjoint>& adjoints) {
  // The evaluating walk that ran first has refused nodes short of inputs.
  visit_operation(
      entry.op,
      [&]<typename O>(O) {
        if constexpr (O::kOp == ExpressionOp::Pack) {
          for (int i = 0; i < entry.input_count; ++i) {
            if (i >= entry.dimension) detail::throw_lane_index_out_of_range();
            adjoints[entry.inputs[i]][0] += g[static_cast<std::size_t>(i)];
          }
        } else if constexpr (O::kOp == ExpressionOp::Component) {
          const auto k = static_cast<std::size_t>(entry.component_index);
          adjoints[entry.inputs[0]][k] += g[0];
        } else if constexpr (O::kArity == 2) {
          propagate_binary<O::kOp>(entry, g, out, order, values, adjoints);
        } else {
          propagate_unary<O::kOp>(entry, g, out, values, adjoints);
        }
      },
      [] { detail::throw_logic_error("unsupported symbolic backward op"); });
}

}  // namespace quoril::symbolic

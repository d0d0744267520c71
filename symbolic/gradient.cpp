#include <array>
#include <vector>

#include "symbolic/internal.h"
#include "symbolic/kernels.h"

namespace quoril::symbolic {

namespace {

using Adjoint = std::array<double, 4>;
using Entry = Topology::Entry;

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

// Propagates the adjoint of one node into its inputs' adjoints. The order of
// the floating-point additions is part of the result: per lane, left before
// right; a one-lane operand collects its lanes' contributions in lane order.
void propagate(const Entry& entry, const Adjoint& g, const SmallValue& out,
               const WalkBuffer<Entry>& order,
               const WalkBuffer<SmallValue>& values,
               WalkBuffer<Adjoint>& adjoints) {
  // The evaluating walk that ran first has refused nodes short of inputs.
  visit_operation_by_halving(
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

void reverse_sweep(Topology& topology, const std::array<double, 4>& seed) {
  const auto& order = topology.order;
  // Adjoints are indexed by position in the order; every node of the order
  // is reached by the walk, so every one has an entry, zero until a
  // contribution arrives.
  WalkBuffer<Adjoint>& adjoints = topology.adjoints;
  adjoints.assign(order.size(), Adjoint{});
  if (adjoints.empty()) return;  // never: the walk always orders the root
  adjoints.back() = seed;
  for (std::size_t position = order.size(); position-- > 0;) {
    const Topology::Entry& entry = order[position];
    if (entry.kind != ValueKind::Expression) continue;
    const Adjoint g = adjoints[position];
    propagate_entry<Dispatch::Halving>(entry, g, topology.values[position],
                                       order, topology.values, adjoints);
  }
}

void Value::backward(SmallValue seed) const {
  require_valid(*this, "backward value");
  require_finite(seed);
  if (seed.dimension != node().dimension) {
    detail::throw_invalid_argument(
        "backward seed dimension does not match output dimension");
  }
  TopologyLease lease;
  Topology& topology = lease.get();
  build_topology(*this, topology, Walk::EvaluateForBackward);
  const auto& order = topology.order;
  reverse_sweep(topology, seed.lanes);
  const WalkBuffer<Adjoint>& adjoints = topology.adjoints;

  // Nothing has been written into a node before this loop, and it cannot
  // fail, so a pass updates all reachable Parameters or none.
  for (std::size_t position = 0; position < order.size(); ++position) {
    if (order[position].kind != ValueKind::Parameter) continue;
    ValueNode& node = *order[position].node;
    if (!node.grad) {
      SmallValue zero;
      zero.dimension = node.dimension;
      node.grad = zero;
    }
    for (int i = 0; i < node.dimension; ++i) {
      const auto lane_index = static_cast<std::size_t>(i);
      node.grad->lanes[lane_index] += adjoints[position][lane_index];
    }
  }
}

void Value::backward() const {
  if (node().dimension != 1) {
    detail::throw_invalid_argument(
        "backward() without seed requires scalar output");
  }
  backward(small_value(1.0));
}

void Value::zero_grad() const {
  TopologyLease lease;
  Topology& topology = lease.get();
  build_topology(*this, topology, Walk::OrderOnly);
  for (const Topology::Entry& entry : topology.order) {
    if (entry.kind == ValueKind::Parameter) entry.node->grad.reset();
  }
}

}  // namespace quoril::symbolic

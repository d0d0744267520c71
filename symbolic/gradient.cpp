#include <array>
#include <vector>

#include "symbolic/internal.h"
#include "symbolic/kernels.h"

namespace quoril::symbolic {

namespace {

using Adjoint = std::array<double, 4>;

}  // namespace

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
    propagate_entry(entry, g, topology.values[position], order, topology.values,
              adjoints);
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

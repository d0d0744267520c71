#include <array>
#include <cmath>
#include <vector>

#include "symbolic/internal.h"

namespace quoril::symbolic {

namespace {

using Adjoint = std::array<double, 4>;

}  // namespace

// Propagates the adjoint of one node into its inputs' adjoints. The order of
// the floating-point additions is part of the result: per lane, left before
// right; a one-lane operand collects its lanes' contributions in lane order.
void propagate(const Topology::Entry& entry, const Adjoint& g,
               const SmallValue& out,
               const WalkBuffer<Topology::Entry>& order,
               const WalkBuffer<SmallValue>& values,
               WalkBuffer<Adjoint>& adjoints) {
  // The evaluating walk that ran first has refused nodes short of inputs.
  const int n = entry.dimension;
  switch (entry.op) {
    case ExpressionOp::Pack: {
      for (int i = 0; i < entry.input_count; ++i) {
        if (i >= n) detail::throw_lane_index_out_of_range();
        adjoints[entry.inputs[i]][0] += g[static_cast<std::size_t>(i)];
      }
      return;
    }
    case ExpressionOp::Component: {
      const auto k = static_cast<std::size_t>(entry.component_index);
      adjoints[entry.inputs[0]][k] += g[0];
      return;
    }
    case ExpressionOp::Add:
    case ExpressionOp::Subtract:
    case ExpressionOp::Multiply:
    case ExpressionOp::Divide:
    case ExpressionOp::Pow:
    case ExpressionOp::Atan2: {
      const SmallValue& a = values[entry.inputs[0]];
      const SmallValue& b = values[entry.inputs[1]];
      const std::size_t sa = a.dimension == 1 ? 0 : 1;
      const std::size_t sb = b.dimension == 1 ? 0 : 1;
      // Both may be the same array when an operand is used twice (x * x).
      double* left = adjoints[entry.inputs[0]].data();
      double* right = adjoints[entry.inputs[1]].data();
      const auto lanes = static_cast<std::size_t>(n);
      switch (entry.op) {
        case ExpressionOp::Add:
          for (std::size_t i = 0; i < lanes; ++i) {
            left[i * sa] += g[i];
            right[i * sb] += g[i];
          }
          return;
        case ExpressionOp::Subtract:
          for (std::size_t i = 0; i < lanes; ++i) {
            left[i * sa] += g[i];
            right[i * sb] -= g[i];
          }
          return;
        case ExpressionOp::Multiply:
          for (std::size_t i = 0; i < lanes; ++i) {
            const double ai = a.lanes[i * sa];
            const double bi = b.lanes[i * sb];
            left[i * sa] += g[i] * bi;
            right[i * sb] += g[i] * ai;
          }
          return;
        case ExpressionOp::Divide:
          for (std::size_t i = 0; i < lanes; ++i) {
            const double ai = a.lanes[i * sa];
            const double bi = b.lanes[i * sb];
            const double bb = bi * bi;
            left[i * sa] += g[i] / bi;
            right[i * sb] += ((-g[i]) * ai) / bb;
          }
          return;
        case ExpressionOp::Pow: {
          // The exponent's partial needs log(base), which is NaN for a
          // negative base; a Constant exponent discards its adjoint, so it
          // is computed only when something can receive it.
          const bool exponent_varies =
              order[entry.inputs[1]].kind != ValueKind::Constant;
          for (std::size_t i = 0; i < lanes; ++i) {
            const double ai = a.lanes[i * sa];
            const double bi = b.lanes[i * sb];
            // d/da a^b = b a^(b-1), written so that a = 0 needs no division
            // and b = 0 gives 0 rather than 0 * inf.
            const double da = bi == 0.0 ? 0.0 : bi * std::pow(ai, bi - 1.0);
            left[i * sa] += g[i] * da;
            if (exponent_varies) {
              // d/db a^b = a^b log a, whose limit at a = 0 is 0.
              const double db = ai == 0.0 ? 0.0 : out.lanes[i] * std::log(ai);
              right[i * sb] += g[i] * db;
            }
          }
          return;
        }
        default:
          for (std::size_t i = 0; i < lanes; ++i) {
            // atan2(y, x): d/dy = x / r2, d/dx = -y / r2.
            const double yi = a.lanes[i * sa];
            const double xi = b.lanes[i * sb];
            const double r2 = xi * xi + yi * yi;
            left[i * sa] += g[i] * (xi / r2);
            right[i * sb] += g[i] * ((-yi) / r2);
          }
          return;
      }
    }
    case ExpressionOp::Exp:
    case ExpressionOp::Log:
    case ExpressionOp::Sqrt:
    case ExpressionOp::Tanh:
    case ExpressionOp::Abs: {
      const SmallValue& x = values[entry.inputs[0]];
      if (x.dimension < n) detail::throw_lane_index_out_of_range();
      double* in = adjoints[entry.inputs[0]].data();
      const auto lanes = static_cast<std::size_t>(n);
      for (std::size_t i = 0; i < lanes; ++i) {
        const double xi = x.lanes[i];
        const double yi = out.lanes[i];
        double d = 0.0;
        switch (entry.op) {
          case ExpressionOp::Exp: d = yi; break;
          case ExpressionOp::Log: d = 1.0 / xi; break;
          case ExpressionOp::Sqrt: d = 0.5 / yi; break;
          case ExpressionOp::Tanh: d = 1.0 - yi * yi; break;
          // The subgradient 0 at 0, so a minimum at 0 is a stationary point.
          default: d = xi > 0.0 ? 1.0 : (xi < 0.0 ? -1.0 : 0.0); break;
        }
        in[i] += d * g[i];
      }
      return;
    }
    case ExpressionOp::Negate:
    case ExpressionOp::Sin:
    case ExpressionOp::Cos: {
      const SmallValue& x = values[entry.inputs[0]];
      if (x.dimension < n) detail::throw_lane_index_out_of_range();
      double* in = adjoints[entry.inputs[0]].data();
      const auto lanes = static_cast<std::size_t>(n);
      if (entry.op == ExpressionOp::Negate) {
        for (std::size_t i = 0; i < lanes; ++i) in[i] += (-1.0) * g[i];
      } else if (entry.op == ExpressionOp::Sin) {
        for (std::size_t i = 0; i < lanes; ++i) {
          in[i] += std::cos(x.lanes[i]) * g[i];
        }
      } else {
        for (std::size_t i = 0; i < lanes; ++i) {
          in[i] += (-std::sin(x.lanes[i])) * g[i];
        }
      }
      return;
    }
    case ExpressionOp::None:
      break;
  }
  detail::throw_logic_error("unsupported symbolic backward op");
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

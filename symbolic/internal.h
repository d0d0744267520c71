#ifndef QUORIL_SYMBOLIC_INTERNAL_H_
#define QUORIL_SYMBOLIC_INTERNAL_H_

// Private to the core: every private header in one include, and the numeric
// kernels shared by folding, the walk and the reverse pass.

#include <array>
#include <cmath>
#include <limits>
#include <new>
#include <type_traits>

#include "symbolic/checks.h"
#include "symbolic/nodes.h"
#include "symbolic/value.h"
#include "symbolic/walk.h"
#include "symbolic/walk_memory.h"

namespace quoril::symbolic {

// Whether an operation combines two operands (and so broadcasts them).
inline bool is_binary_op(ExpressionOp op) noexcept {
  switch (op) {
    case ExpressionOp::Add:
    case ExpressionOp::Subtract:
    case ExpressionOp::Multiply:
    case ExpressionOp::Divide:
    case ExpressionOp::Pow:
    case ExpressionOp::Atan2:
      return true;
    default:
      return false;
  }
}

// The single definition of what the arithmetic operations do to numbers,
// shared by folding and evaluation so both agree to the last bit. A one-lane
// operand stands for the same number in every lane.
inline SmallValue binary_constant(ExpressionOp op, const SmallValue& lhs,
                                  const SmallValue& rhs, int dimension) {
  SmallValue result;
  result.dimension = dimension;
  if (dimension >= 1) {
    const int n = dimension < 4 ? dimension : 4;
    const int ls = lhs.dimension == 1 ? 0 : 1;
    const int rs = rhs.dimension == 1 ? 0 : 1;
    switch (op) {
      case ExpressionOp::Add:
        for (int i = 0; i < n; ++i) lane(result, i) = lane(lhs, i * ls) + lane(rhs, i * rs);
        break;
      case ExpressionOp::Subtract:
        for (int i = 0; i < n; ++i) lane(result, i) = lane(lhs, i * ls) - lane(rhs, i * rs);
        break;
      case ExpressionOp::Multiply:
        for (int i = 0; i < n; ++i) lane(result, i) = lane(lhs, i * ls) * lane(rhs, i * rs);
        break;
      case ExpressionOp::Divide:
        for (int i = 0; i < n; ++i) lane(result, i) = lane(lhs, i * ls) / lane(rhs, i * rs);
        break;
      case ExpressionOp::Pow:
        for (int i = 0; i < n; ++i) {
          lane(result, i) = std::pow(lane(lhs, i * ls), lane(rhs, i * rs));
        }
        break;
      case ExpressionOp::Atan2:
        for (int i = 0; i < n; ++i) {
          lane(result, i) = std::atan2(lane(lhs, i * ls), lane(rhs, i * rs));
        }
        break;
      default:
        detail::throw_invalid_argument("unsupported binary symbolic expression op");
    }
  }
  require_finite(result);
  return result;
}

inline SmallValue unary_constant(ExpressionOp op, const SmallValue& value) {
  SmallValue result;
  result.dimension = value.dimension;
  if (value.dimension >= 1) {
    const int n = value.dimension < 4 ? value.dimension : 4;
    switch (op) {
      case ExpressionOp::Negate:
        for (int i = 0; i < n; ++i) lane(result, i) = -lane(value, i);
        break;
      case ExpressionOp::Sin:
        for (int i = 0; i < n; ++i) lane(result, i) = std::sin(lane(value, i));
        break;
      case ExpressionOp::Cos:
        for (int i = 0; i < n; ++i) lane(result, i) = std::cos(lane(value, i));
        break;
      case ExpressionOp::Exp:
        for (int i = 0; i < n; ++i) lane(result, i) = std::exp(lane(value, i));
        break;
      case ExpressionOp::Log:
        for (int i = 0; i < n; ++i) lane(result, i) = std::log(lane(value, i));
        break;
      case ExpressionOp::Sqrt:
        for (int i = 0; i < n; ++i) lane(result, i) = std::sqrt(lane(value, i));
        break;
      case ExpressionOp::Tanh:
        for (int i = 0; i < n; ++i) lane(result, i) = std::tanh(lane(value, i));
        break;
      case ExpressionOp::Abs:
        for (int i = 0; i < n; ++i) lane(result, i) = std::fabs(lane(value, i));
        break;
      default:
        detail::throw_invalid_argument("unsupported unary symbolic expression op");
    }
  }
  require_finite(result);
  return result;
}

// evaluate_entry() for every node; the one-lane arithmetic that most graphs
// are made of is handled inline before it.
SmallValue evaluate_entry_general(const Topology::Entry& entry,
                                  const WalkBuffer<SmallValue>& values);

// Builds the general kernels' result in `out` itself: initialising from the
// returned record elides the copy, so the lanes land in `out` as the kernel
// writes them, one by one, where the next node reads them.
inline void construct_general(const Topology::Entry& entry,
                              const WalkBuffer<SmallValue>& values,
                              SmallValue& out) {
  static_assert(std::is_trivially_destructible_v<SmallValue>);
  ::new (static_cast<void*>(&out)) SmallValue(evaluate_entry_general(entry, values));
}

// Writes a one-lane result lane by lane, refusing a non-finite one as the
// general kernels do.
inline void store_one_lane(double r, SmallValue& out) {
  constexpr double kMax = std::numeric_limits<double>::max();
  if (!(std::fabs(r) <= kMax)) detail::throw_not_finite();
  out.dimension = 1;
  out.lanes[0] = r;
  out.lanes[1] = 0.0;
  out.lanes[2] = 0.0;
  out.lanes[3] = 0.0;
}

// Computes one node of an order into `out` from the values of the nodes
// before it, as the evaluating walk does: a leaf gives its lanes, an
// Expression its operation's result. `out` is not one of those values. A
// one-lane operation computes exactly what the general kernels compute for
// one lane, without their lane loops and dispatch, and stores its lane on
// its own: the next node reads it back at once, and a load that only part
// of a wide store covers waits for the store to retire.
inline void evaluate_entry_into(const Topology::Entry& entry,
                                const WalkBuffer<SmallValue>& values,
                                SmallValue& out) {
  if (entry.kind == ValueKind::Expression && entry.dimension == 1 &&
      entry.input_count >= 1) {
    const SmallValue& a = values[entry.inputs[0]];
    if (entry.op == ExpressionOp::Component) {
      const int k = entry.component_index;
      if (k < 0 || k >= a.dimension) detail::throw_lane_index_out_of_range();
      const double r = a.lanes[static_cast<std::size_t>(k)];
      store_one_lane(r, out);
      return;
    }
    if (a.dimension == 1) {
      const double x = a.lanes[0];
      double r;
      switch (entry.op) {
        case ExpressionOp::Negate: r = -x; break;
        case ExpressionOp::Sin: r = std::sin(x); break;
        case ExpressionOp::Cos: r = std::cos(x); break;
        case ExpressionOp::Exp: r = std::exp(x); break;
        case ExpressionOp::Log: r = std::log(x); break;
        case ExpressionOp::Sqrt: r = std::sqrt(x); break;
        case ExpressionOp::Tanh: r = std::tanh(x); break;
        case ExpressionOp::Abs: r = std::fabs(x); break;
        case ExpressionOp::Add:
        case ExpressionOp::Subtract:
        case ExpressionOp::Multiply:
        case ExpressionOp::Divide: {
          if (entry.input_count < 2) {
            construct_general(entry, values, out);
            return;
          }
          const SmallValue& b = values[entry.inputs[1]];
          if (b.dimension != 1) {
            construct_general(entry, values, out);
            return;
          }
          const double y = b.lanes[0];
          r = entry.op == ExpressionOp::Add        ? x + y
              : entry.op == ExpressionOp::Subtract ? x - y
              : entry.op == ExpressionOp::Multiply ? x * y
                                                   : x / y;
          break;
        }
        default:
          construct_general(entry, values, out);
          return;
      }
      store_one_lane(r, out);
      return;
    }
  }
  construct_general(entry, values, out);
}

inline SmallValue evaluate_entry(const Topology::Entry& entry,
                                 const WalkBuffer<SmallValue>& values) {
  SmallValue out;
  evaluate_entry_into(entry, values, out);
  return out;
}

// Adds the contributions of the node at one position of an order, whose
// adjoint is `g` and whose value is `out`, into its inputs' adjoints.
void propagate(const Topology::Entry& entry, const std::array<double, 4>& g,
               const SmallValue& out, const WalkBuffer<Topology::Entry>& order,
               const WalkBuffer<SmallValue>& values,
               WalkBuffer<std::array<double, 4>>& adjoints);

// propagate() with the one-lane arithmetic inline: the same formulas in the
// same order, without the lane loops and the call.
inline void propagate_entry(const Topology::Entry& entry,
                            const std::array<double, 4>& g,
                            const SmallValue& out,
                            const WalkBuffer<Topology::Entry>& order,
                            const WalkBuffer<SmallValue>& values,
                            WalkBuffer<std::array<double, 4>>& adjoints) {
  if (entry.dimension == 1) {
    const double g0 = g[0];
    switch (entry.op) {
      case ExpressionOp::Add:
        adjoints[entry.inputs[0]][0] += g0;
        adjoints[entry.inputs[1]][0] += g0;
        return;
      case ExpressionOp::Subtract:
        adjoints[entry.inputs[0]][0] += g0;
        adjoints[entry.inputs[1]][0] -= g0;
        return;
      case ExpressionOp::Multiply: {
        const double a = values[entry.inputs[0]].lanes[0];
        const double b = values[entry.inputs[1]].lanes[0];
        // Both may be the same adjoint when an operand is used twice.
        adjoints[entry.inputs[0]][0] += g0 * b;
        adjoints[entry.inputs[1]][0] += g0 * a;
        return;
      }
      case ExpressionOp::Divide: {
        const double a = values[entry.inputs[0]].lanes[0];
        const double b = values[entry.inputs[1]].lanes[0];
        const double bb = b * b;
        adjoints[entry.inputs[0]][0] += g0 / b;
        adjoints[entry.inputs[1]][0] += ((-g0) * a) / bb;
        return;
      }
      case ExpressionOp::Negate:
      case ExpressionOp::Exp:
      case ExpressionOp::Sin:
      case ExpressionOp::Cos:
      case ExpressionOp::Sqrt: {
        // A hand-made input of no lanes is refused by the general pass.
        const SmallValue& x = values[entry.inputs[0]];
        if (x.dimension < 1) break;
        double& in = adjoints[entry.inputs[0]][0];
        switch (entry.op) {
          case ExpressionOp::Negate: in += (-1.0) * g0; return;
          case ExpressionOp::Exp: in += out.lanes[0] * g0; return;
          case ExpressionOp::Sin: in += std::cos(x.lanes[0]) * g0; return;
          case ExpressionOp::Cos: in += (-std::sin(x.lanes[0])) * g0; return;
          default: in += (0.5 / out.lanes[0]) * g0; return;
        }
      }
      default:
        break;
    }
  }
  propagate(entry, g, out, order, values, adjoints);
}

// Fills topology.adjoints with the derivative of the seed-weighted root (the
// last node of an order built for backward) with respect to every node.
void reverse_sweep(Topology& topology, const std::array<double, 4>& seed);

}  // namespace quoril::symbolic

#endif  // QUORIL_SYMBOLIC_INTERNAL_H_
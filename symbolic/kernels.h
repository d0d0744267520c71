#ifndef QUORIL_SYMBOLIC_KERNELS_H_
#define QUORIL_SYMBOLIC_KERNELS_H_

// What one node of an evaluation order computes, forward and in reverse,
// generated from the table of operations: the lane kernels that folding and
// evaluation share, the general kernels of a node, and inline the one-lane
// shortcuts that most graphs are made of.

#include <array>
#include <cstdint>
#include <new>
#include <type_traits>

#include "symbolic/internal.h"
#include "symbolic/operations.h"

namespace quoril::symbolic {

// The lanes of one lanewise operation over two records, a one-lane one
// standing for the same number in every lane, or over one; unchecked. The
// same code folds and evaluates, so the two agree to the last bit.
template <ExpressionOp op>
inline SmallValue binary_lanes_of(const SmallValue& lhs, const SmallValue& rhs,
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
inline SmallValue unary_lanes_of(const SmallValue& value) {
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

// Return the lanes of the lanewise operation `op` as the templates above
// compute them, for folding, whose Constant then checks them. Throw
// std::invalid_argument for an operation of another kind.
SmallValue binary_lanes(ExpressionOp op, const SmallValue& lhs,
                        const SmallValue& rhs, int dimension);
SmallValue unary_lanes(ExpressionOp op, const SmallValue& value);

// The general kernels below are defined beside their hot callers,
// evaluate_entry_general() in walk.cpp with the walk and propagate() in
// gradient.cpp with the reverse sweep: in another file, the calls made the
// 3-lane benchmarks a fifth slower.

// Returns the value of the node at one position of an order, computed from
// the values of the nodes before it: a leaf's lanes, or an Expression's
// operation's result, whose lanes are not checked. Throws for everything
// but a lane that is not finite: an Undefined, a lane index out of range, a
// node with fewer inputs than its operation reads, an unknown operation.
SmallValue evaluate_entry_general(const Topology::Entry& entry,
                                  const WalkBuffer<SmallValue>& values);

// Whether the lanes of a node's value are computed by it and so must be
// checked: a leaf's lanes are given, and a Pack's were checked where they
// were computed.
inline bool computes_lanes(const Topology::Entry& entry) noexcept {
  return entry.kind == ValueKind::Expression && entry.op != ExpressionOp::Pack;
}

// Builds evaluate_entry_general()'s result in `out` and returns whether it
// is finite; throws std::invalid_argument for a computed result whose
// dimension is outside 1..4. Initialising from the returned record elides
// the copy, so the lanes land in `out` as the kernel writes them, one by
// one, where the next node reads them; the kernel writes them into its own
// return slot, which the compiler knows aliases none of the inputs.
inline bool evaluate_general_finite(const Topology::Entry& entry,
                                    const WalkBuffer<SmallValue>& values,
                                    SmallValue& out) {
  static_assert(std::is_trivially_destructible_v<SmallValue>);
  ::new (static_cast<void*>(&out))
      SmallValue(evaluate_entry_general(entry, values));
  return !computes_lanes(entry) || finite_lanes(out);
}

// Writes a one-lane result and returns whether it is finite.
QUORIL_INLINE inline bool store_one_lane(double r, SmallValue& out) noexcept {
  out.dimension = 1;
  out.lanes[0] = r;
  out.lanes[1] = 0.0;
  out.lanes[2] = 0.0;
  out.lanes[3] = 0.0;
  return finite_lane(r);
}

// A lanewise operation of one lane over one-lane operands, computed as the
// general kernel computes it without its lane loop and dispatch; returns
// false, having written nothing, where the general kernel must decide.
template <ExpressionOp op>
QUORIL_INLINE inline bool evaluate_one_lane(
    const Topology::Entry& entry, const WalkBuffer<SmallValue>& values,
    double x, SmallValue& out, bool& finite) {
  if constexpr (Operation<op>::kStructural) {
    return false;
  } else if constexpr (Operation<op>::kArity == 1) {
    finite = store_one_lane(Rule<op>::value(x), out);
    return true;
  } else {
    if (entry.input_count < 2) return false;
    const SmallValue& b = values[entry.inputs[1]];
    if (b.dimension != 1) return false;
    finite = store_one_lane(Rule<op>::value(x, b.lanes[0]), out);
    return true;
  }
}

// Computes one node of an order into `out` as evaluate_general_finite()
// does, with the one-lane operations inline: returns false for a result
// that is not finite, for callers to whom that is an answer, and throws
// every other failure. A one-lane result is stored lane by lane: the next
// node reads it back at once, and a load that only part of a wide store
// covers waits for the store to retire.
template <Dispatch kDispatch = Dispatch::Switch>
[[nodiscard]] QUORIL_INLINE inline bool evaluate_entry_finite(
    const Topology::Entry& entry, const WalkBuffer<SmallValue>& values,
    SmallValue& out) {
  if (entry.kind == ValueKind::Expression && entry.dimension == 1 &&
      entry.input_count >= 1) {
    const SmallValue& a = values[entry.inputs[0]];
    if (entry.op == ExpressionOp::Component) {
      const int k = entry.component_index;
      if (k < 0 || k >= a.dimension) detail::throw_lane_index_out_of_range();
      return store_one_lane(a.lanes[static_cast<std::size_t>(k)], out);
    }
    if (a.dimension == 1) {
      bool finite = true;
      const bool done = dispatch_operation<kDispatch>(
          entry.op,
          [&]<typename O>(O) QUORIL_INLINE {
            return evaluate_one_lane<O::kOp>(entry, values, a.lanes[0], out,
                                             finite);
          },
          [] { return false; });
      if (done) return finite;
    }
  }
  return evaluate_general_finite(entry, values, out);
}

// Computes one node of an order into `out`, as the evaluating walk does;
// throws std::invalid_argument for a lane that is not finite, and whatever
// evaluate_entry_general() throws.
template <Dispatch kDispatch = Dispatch::Switch>
QUORIL_INLINE inline void evaluate_entry_into(
    const Topology::Entry& entry, const WalkBuffer<SmallValue>& values,
    SmallValue& out) {
  if (!evaluate_entry_finite<kDispatch>(entry, values, out)) {
    detail::throw_not_finite();
  }
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

// A lanewise operation of one lane, propagated as the general pass does it
// without its lane loop and the call; returns false, having changed
// nothing, where the general pass must decide.
template <ExpressionOp op>
QUORIL_INLINE inline bool propagate_one_lane(
    const Topology::Entry& entry, double g, const SmallValue& out,
    const WalkBuffer<Topology::Entry>& order,
    const WalkBuffer<SmallValue>& values,
    WalkBuffer<std::array<double, 4>>& adjoints) {
  if constexpr (Operation<op>::kStructural) {
    return false;
  } else if constexpr (Operation<op>::kArity == 2) {
    const double a = values[entry.inputs[0]].lanes[0];
    const double b = values[entry.inputs[1]].lanes[0];
    bool b_varies = true;
    if constexpr (kTakesRightVaries<op>) {
      b_varies = order[entry.inputs[1]].kind != ValueKind::Constant;
    }
    add_binary_adjoint<op>(g, a, b, out.lanes[0], adjoints[entry.inputs[0]][0],
                           adjoints[entry.inputs[1]][0], b_varies);
    return true;
  } else {
    // A hand-made input of no lanes is refused by the general pass.
    const SmallValue& x = values[entry.inputs[0]];
    if (x.dimension < 1) return false;
    Rule<op>::adjoint(g, x.lanes[0], out.lanes[0],
                      adjoints[entry.inputs[0]][0]);
    return true;
  }
}

// propagate() with the one-lane operations inline.
template <Dispatch kDispatch = Dispatch::Switch>
QUORIL_INLINE inline void propagate_entry(
    const Topology::Entry& entry, const std::array<double, 4>& g,
    const SmallValue& out, const WalkBuffer<Topology::Entry>& order,
    const WalkBuffer<SmallValue>& values,
    WalkBuffer<std::array<double, 4>>& adjoints) {
  if (entry.dimension == 1) {
    const bool done = dispatch_operation<kDispatch>(
        entry.op,
        [&]<typename O>(O) QUORIL_INLINE {
          return propagate_one_lane<O::kOp>(entry, g[0], out, order, values,
                                            adjoints);
        },
        [] { return false; });
    if (done) return;
  }
  propagate(entry, g, out, order, values, adjoints);
}

}  // namespace quoril::symbolic

#endif  // QUORIL_SYMBOLIC_KERNELS_H_

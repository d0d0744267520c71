#ifndef QUORIL_SYMBOLIC_OPERATIONS_H_
#define QUORIL_SYMBOLIC_OPERATIONS_H_

// The operations of Expression nodes, in one table: each one's operand count
// and text, and for each lanewise one its Rule, what it computes of one lane
// and what one lane adds to its operands' adjoints. Every switch over
// ExpressionOp in the core is generated from the table, so an operation is
// one line of the list and one Rule here, beside its enumerator and builder
// (value.h, build.cpp) and its binding. The fuzz target keeps a model of
// every operation of its own, on purpose, and needs a line too.

#include <cmath>
#include <cstddef>
#include <iterator>

#include "symbolic/smooth.h"
#include "symbolic/value.h"

namespace quoril::symbolic {

// The operand count of Pack, which takes one to four one-lane operands.
inline constexpr int kVariadic = 0;

// X(Name, arity) for every operation, in the order of its enumerator's
// number; the enumerator's name is its text.
#define QUORIL_OPERATIONS(X) \
  X(Pack, kVariadic)         \
  X(Component, 1)            \
  X(Add, 2)                  \
  X(Subtract, 2)             \
  X(Multiply, 2)             \
  X(Divide, 2)               \
  X(Negate, 1)               \
  X(Sin, 1)                  \
  X(Cos, 1)                  \
  X(Exp, 1)                  \
  X(Log, 1)                  \
  X(Sqrt, 1)                 \
  X(Tanh, 1)                 \
  X(Abs, 1)                  \
  X(Pow, 2)                  \
  X(Atan2, 2)                \
  X(SincSqrt, 1)             \
  X(AtancSqrt, 1)

// Pack and Component move lanes rather than compute them, so they have no
// Rule; the kernels treat them on their own.
constexpr bool is_structural(ExpressionOp op) noexcept {
  return op == ExpressionOp::Pack || op == ExpressionOp::Component;
}

// One line of the list, as types, so that code generated from it can branch
// on an operation's arity at compile time.
template <ExpressionOp op>
struct Operation;

#define QUORIL_OPERATION(name, arity)                       \
  template <>                                               \
  struct Operation<ExpressionOp::name> {                    \
    static constexpr ExpressionOp kOp = ExpressionOp::name; \
    static constexpr int kArity = arity;                    \
    static constexpr bool kStructural = is_structural(kOp); \
    static constexpr const char* kText = #name;             \
  };
QUORIL_OPERATIONS(QUORIL_OPERATION)
#undef QUORIL_OPERATION

#define QUORIL_ENUMERATOR(name, arity) ExpressionOp::name,
inline constexpr ExpressionOp kOperations[] = {
    QUORIL_OPERATIONS(QUORIL_ENUMERATOR)};
#undef QUORIL_ENUMERATOR

// The numbers are part of the interface; the list must not renumber them.
constexpr bool listed_in_order() noexcept {
  for (std::size_t i = 0; i < std::size(kOperations); ++i) {
    if (static_cast<std::size_t>(kOperations[i]) != i + 1) return false;
  }
  return true;
}
static_assert(listed_in_order(), "the list must follow ExpressionOp's numbers");

// Forces a function inline, however large its caller: the dispatch of a hot
// path must come out as the straight-line code of each operation's case, as
// a switch written out by hand would.
#if defined(__GNUC__)
#define QUORIL_INLINE __attribute__((always_inline))
#else
#define QUORIL_INLINE
#endif

// Calls visit(Operation<op>{}) for the operation `op`, or otherwise() for
// None and numbers outside the list. Each caller's `visit` is a template,
// instantiated and inlined per case, so this one switch stands for all of
// them. An enumerator missing from the list makes -Wswitch warn here.
template <typename Visit, typename Otherwise>
QUORIL_INLINE constexpr decltype(auto) visit_operation(ExpressionOp op,
                                                       Visit&& visit,
                                                       Otherwise&& otherwise) {
  switch (op) {
#define QUORIL_VISIT_CASE(name, arity) \
  case ExpressionOp::name: return visit(Operation<ExpressionOp::name>{});
    QUORIL_OPERATIONS(QUORIL_VISIT_CASE)
#undef QUORIL_VISIT_CASE
    case ExpressionOp::None: break;
  }
  return otherwise();
}

// The operations from kOperations[first] to before kOperations[last], found
// by halving the range: `index` is the operation's place in the list.
template <std::size_t first, std::size_t last, typename Visit>
QUORIL_INLINE constexpr decltype(auto) visit_listed(std::size_t index,
                                                    Visit& visit) {
  if constexpr (last - first == 1) {
    return visit(Operation<kOperations[first]>{});
  } else {
    constexpr std::size_t middle = first + (last - first) / 2;
    if (index < middle) return visit_listed<first, middle>(index, visit);
    return visit_listed<middle, last>(index, visit);
  }
}

// visit_operation() by a tree of comparisons instead of a switch, for the
// general kernels. The switch becomes a jump table, and at the general
// kernels' one jump the processor mispredicts an operation that differs
// from the last one's, as the Multiply and Add of a 3-lane graph's
// y * s + v alternate; conditional branches it predicts from the outcomes
// just before. With the switch there, the 10k-node vector3 graph was 7-13%
// slower, to evaluate and for backward, than with the switches written out
// per operation before this table; with the tree, level (bench/README.md).
// The same holds for the walk's one-lane shortcuts: in the 1-lane Horner
// graph y * x + c every other node is an Add, and callgrind counted 400k
// mispredicted indirect jumps in 20 evaluations of 10k nodes with the
// switch there, against 14 before the table.
template <typename Visit, typename Otherwise>
QUORIL_INLINE constexpr decltype(auto) visit_operation_by_halving(
    ExpressionOp op, Visit&& visit, Otherwise&& otherwise) {
  const std::size_t index = static_cast<std::size_t>(op) - 1;
  if (index >= std::size(kOperations)) return otherwise();
  return visit_listed<0, std::size(kOperations)>(index, visit);
}

// Which of the two a loop over nodes dispatches with. The walks over a
// graph (evaluation and backward()) take the tree. Prepared programs keep
// the switch: over their fixed order, repeated call after call, the tree
// cost about 6% of a Jacobian's time.
enum class Dispatch { Switch, Halving };

template <Dispatch kDispatch, typename Visit, typename Otherwise>
QUORIL_INLINE constexpr decltype(auto) dispatch_operation(
    ExpressionOp op, Visit&& visit, Otherwise&& otherwise) {
  if constexpr (kDispatch == Dispatch::Halving) {
    return visit_operation_by_halving(op, visit, otherwise);
  } else {
    return visit_operation(op, visit, otherwise);
  }
}

#define QUORIL_ARITY(name, arity) arity,
inline constexpr signed char kArities[] = {-1, QUORIL_OPERATIONS(QUORIL_ARITY)};
#undef QUORIL_ARITY

// Returns the operand count of an operation, -1 for None or a number
// outside the list; a load rather than a jump, for the general kernels.
constexpr int arity(ExpressionOp op) noexcept {
  const auto i = static_cast<std::size_t>(op);
  return i < std::size(kArities) ? kArities[i] : -1;
}

// A lanewise operation's Rule has
//   value(x) or value(a, b): the result lane from the operand lanes;
//   adjoint(g, x, y, x_adjoint) or adjoint(g, a, b, y, a_adjoint, b_adjoint):
//     adds what a result lane y of adjoint g contributes to the operands'
//     adjoints, the left one first; both may be the same number when one
//     operand is used twice (x * x).
// The kernels apply a Rule lane by lane, a one-lane operand standing for
// every lane and collecting its lanes' contributions in lane order. Its
// floating-point expressions are the results, to the last bit, of folding,
// evaluation and the reverse pass alike.
//
// Beside adjoint() sit the second derivatives, for Hessians by forward over
// reverse: second(x, y) gives f'' of a unary Rule; second(a, b, y) gives a
// binary one's three second partials. At a kink they follow the first
// derivative's convention there.
template <ExpressionOp op>
struct Rule;

// A binary operation's second partials: d2/da2, d2/da db, d2/db2.
struct Second {
  double aa = 0.0;
  double ab = 0.0;
  double bb = 0.0;
};

template <>
struct Rule<ExpressionOp::Add> {
  static double value(double a, double b) { return a + b; }
  static void adjoint(double g, double, double, double, double& a_adjoint,
                      double& b_adjoint) {
    a_adjoint += g;
    b_adjoint += g;
  }
  static Second second(double, double, double) { return {}; }
};

template <>
struct Rule<ExpressionOp::Subtract> {
  static double value(double a, double b) { return a - b; }
  static void adjoint(double g, double, double, double, double& a_adjoint,
                      double& b_adjoint) {
    a_adjoint += g;
    b_adjoint -= g;
  }
  static Second second(double, double, double) { return {}; }
};

template <>
struct Rule<ExpressionOp::Multiply> {
  static double value(double a, double b) { return a * b; }
  static void adjoint(double g, double a, double b, double, double& a_adjoint,
                      double& b_adjoint) {
    a_adjoint += g * b;
    b_adjoint += g * a;
  }
  static Second second(double, double, double) { return {0.0, 1.0, 0.0}; }
};

template <>
struct Rule<ExpressionOp::Divide> {
  static double value(double a, double b) { return a / b; }
  static void adjoint(double g, double a, double b, double, double& a_adjoint,
                      double& b_adjoint) {
    const double bb = b * b;
    a_adjoint += g / b;
    b_adjoint += ((-g) * a) / bb;
  }
  static Second second(double a, double b, double) {
    const double bb = b * b;
    return {0.0, -1.0 / bb, (2.0 * a) / (bb * b)};
  }
};

template <>
struct Rule<ExpressionOp::Negate> {
  static double value(double x) { return -x; }
  static void adjoint(double g, double, double, double& x_adjoint) {
    x_adjoint += (-1.0) * g;
  }
  static double second(double, double) { return 0.0; }
};

template <>
struct Rule<ExpressionOp::Sin> {
  static double value(double x) { return std::sin(x); }
  static void adjoint(double g, double x, double, double& x_adjoint) {
    x_adjoint += std::cos(x) * g;
  }
  static double second(double x, double) { return -std::sin(x); }
};

template <>
struct Rule<ExpressionOp::Cos> {
  static double value(double x) { return std::cos(x); }
  static void adjoint(double g, double x, double, double& x_adjoint) {
    x_adjoint += (-std::sin(x)) * g;
  }
  static double second(double x, double) { return -std::cos(x); }
};

template <>
struct Rule<ExpressionOp::Exp> {
  static double value(double x) { return std::exp(x); }
  static void adjoint(double g, double, double y, double& x_adjoint) {
    x_adjoint += y * g;
  }
  static double second(double, double y) { return y; }
};

template <>
struct Rule<ExpressionOp::Log> {
  static double value(double x) { return std::log(x); }
  static void adjoint(double g, double x, double, double& x_adjoint) {
    x_adjoint += (1.0 / x) * g;
  }
  static double second(double x, double) { return -1.0 / (x * x); }
};

template <>
struct Rule<ExpressionOp::Sqrt> {
  static double value(double x) { return std::sqrt(x); }
  static void adjoint(double g, double, double y, double& x_adjoint) {
    x_adjoint += (0.5 / y) * g;
  }
  // -inf at 0, where the first derivative is +inf.
  static double second(double, double y) { return -0.25 / (y * y * y); }
};

template <>
struct Rule<ExpressionOp::Tanh> {
  static double value(double x) { return std::tanh(x); }
  static void adjoint(double g, double, double y, double& x_adjoint) {
    x_adjoint += (1.0 - y * y) * g;
  }
  static double second(double, double y) { return -2.0 * y * (1.0 - y * y); }
};

template <>
struct Rule<ExpressionOp::Abs> {
  static double value(double x) { return std::fabs(x); }
  static void adjoint(double g, double x, double, double& x_adjoint) {
    // The subgradient 0 at 0, so a minimum at 0 is a stationary point.
    const double d = x > 0.0 ? 1.0 : (x < 0.0 ? -1.0 : 0.0);
    x_adjoint += d * g;
  }
  // 0 at the kink too, as the subgradient 0 there is constant nearby.
  static double second(double, double) { return 0.0; }
};

template <>
struct Rule<ExpressionOp::Pow> {
  // The exponent's partial needs log(base), which is NaN for a negative
  // base. A Constant exponent discards its adjoint, so adjoint() is told
  // whether the exponent varies and computes that partial only then.
  static constexpr bool kTakesRightVaries = true;
  static double value(double a, double b) { return std::pow(a, b); }
  static void adjoint(double g, double a, double b, double y, double& a_adjoint,
                      double& b_adjoint, bool b_varies) {
    // d/da a^b = b a^(b-1), written so that a = 0 needs no division and
    // b = 0 gives 0 rather than 0 * inf.
    const double da = b == 0.0 ? 0.0 : b * std::pow(a, b - 1.0);
    a_adjoint += g * da;
    if (b_varies) {
      // d/db a^b = a^b log a, whose limit at a = 0 is 0.
      const double db = a == 0.0 ? 0.0 : y * std::log(a);
      b_adjoint += g * db;
    }
  }
  static Second second(double a, double b, double y, bool b_varies) {
    // b (b-1) a^(b-2), 0 for b = 0 or 1 rather than 0 * inf at a = 0; with
    // a Constant exponent, as in adjoint(), log(a) is never taken, so a
    // negative base keeps finite second derivatives.
    Second s;
    s.aa = (b == 0.0 || b == 1.0) ? 0.0 : b * (b - 1.0) * std::pow(a, b - 2.0);
    if (b_varies && a != 0.0) {
      const double log_a = std::log(a);
      s.ab = std::pow(a, b - 1.0) * (1.0 + b * log_a);
      s.bb = y * log_a * log_a;
    }
    return s;
  }
};

template <>
struct Rule<ExpressionOp::Atan2> {
  static double value(double a, double b) { return std::atan2(a, b); }
  static void adjoint(double g, double a, double b, double, double& a_adjoint,
                      double& b_adjoint) {
    // atan2(y, x): d/dy = x / r2, d/dx = -y / r2.
    const double r2 = b * b + a * a;
    a_adjoint += g * (b / r2);
    b_adjoint += g * ((-a) / r2);
  }
  static Second second(double a, double b, double) {
    const double r2 = b * b + a * a;
    const double r4 = r2 * r2;
    return {(-2.0 * a * b) / r4, (a * a - b * b) / r4, (2.0 * a * b) / r4};
  }
};

// The two functions of a squared angle (symbolic/smooth.h): no composition
// of the operations above is finite at 0, where rotations start.
template <>
struct Rule<ExpressionOp::SincSqrt> {
  static double value(double x) { return sinc_sqrt(x); }
  static void adjoint(double g, double x, double, double& x_adjoint) {
    x_adjoint += sinc_sqrt_d1(x) * g;
  }
  static double second(double x, double) { return sinc_sqrt_d2(x); }
};

template <>
struct Rule<ExpressionOp::AtancSqrt> {
  static double value(double x) { return atanc_sqrt(x); }
  static void adjoint(double g, double x, double, double& x_adjoint) {
    x_adjoint += atanc_sqrt_d1(x) * g;
  }
  static double second(double x, double) { return atanc_sqrt_d2(x); }
};

// Whether a binary Rule's adjoint() takes whether its right operand varies.
// Finding out reads the operand's entry in the order, a load the other
// rules' callers never make.
template <ExpressionOp op>
inline constexpr bool kTakesRightVaries = requires {
  Rule<op>::kTakesRightVaries;
};

// Applies a binary Rule's adjoint(); `b_varies` reaches only a Rule that
// takes it.
template <ExpressionOp op>
void add_binary_adjoint(double g, double a, double b, double y,
                        double& a_adjoint, double& b_adjoint, bool b_varies) {
  if constexpr (kTakesRightVaries<op>) {
    Rule<op>::adjoint(g, a, b, y, a_adjoint, b_adjoint, b_varies);
  } else {
    static_cast<void>(b_varies);
    Rule<op>::adjoint(g, a, b, y, a_adjoint, b_adjoint);
  }
}

// A binary Rule's second(); `b_varies` reaches only a Rule that takes it.
template <ExpressionOp op>
Second binary_second(double a, double b, double y, bool b_varies) {
  if constexpr (kTakesRightVaries<op>) {
    return Rule<op>::second(a, b, y, b_varies);
  } else {
    static_cast<void>(b_varies);
    return Rule<op>::second(a, b, y);
  }
}

}  // namespace quoril::symbolic

#endif  // QUORIL_SYMBOLIC_OPERATIONS_H_

// exp, log, sqrt, tanh, abs, pow and atan2: values, folding, derivatives and
// failures, one table per family; and the reverse pass's refusal of leaves
// that claim more lanes than a record holds.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>

#include "symbolic/value.h"
#include "test_util.h"

namespace quoril::symbolic {
namespace {

using testing::FailingCall;
using testing::record;
using testing::same_bits;

const char* const kFinite = "symbolic value lanes must be finite";
const char* const kBadDimension = "symbolic value dimension must be in 1..4";
constexpr double kPi = std::numbers::pi;

using Unary = std::function<Value(Value)>;
using Binary = std::function<Value(Value, Value)>;

const struct {
  const char* text;
  ExpressionOp op;
  int number;
  Unary unary;
  Binary binary;
} kOps[] = {
    {"Exp", ExpressionOp::Exp, 10, [](Value a) { return exp(a); }, nullptr},
    {"Log", ExpressionOp::Log, 11, [](Value a) { return log(a); }, nullptr},
    {"Sqrt", ExpressionOp::Sqrt, 12, [](Value a) { return sqrt(a); }, nullptr},
    {"Tanh", ExpressionOp::Tanh, 13, [](Value a) { return tanh(a); }, nullptr},
    {"Abs", ExpressionOp::Abs, 14, [](Value a) { return abs(a); }, nullptr},
    {"Pow", ExpressionOp::Pow, 15, nullptr,
     [](Value a, Value b) { return pow(a, b); }},
    {"Atan2", ExpressionOp::Atan2, 16, nullptr,
     [](Value a, Value b) { return atan2(a, b); }},
};

TEST(NewOps, NumbersTextsAndNodeShape) {
  EXPECT_STREQ(to_string(static_cast<ExpressionOp>(19)), "Unknown");
  EXPECT_STREQ(to_string(ExpressionOp::Cos), "Cos");
  const Value p = parameter(1.0, 2.0, "p");
  const Value q = parameter(3.0, "q");
  for (const auto& row : kOps) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(static_cast<int>(row.op), row.number);
    EXPECT_STREQ(to_string(row.op), row.text);
    const Value e = row.unary ? row.unary(p) : row.binary(p, q);
    EXPECT_EQ(e.op(), row.op);
    EXPECT_EQ(e.dimension(), 2);
    EXPECT_EQ(e.input_count(), row.unary ? 1 : 2);
    EXPECT_TRUE(e.input(0).same_node(p));
    if (row.binary) {
      EXPECT_TRUE(row.binary(q, p).input(0).same_node(q));
    }
    EXPECT_EQ(e.debug_string(),
              "Expression<2>#" + std::to_string(e.id()) + " op=" + row.text);
  }
  // A number keeps its side, as a one-lane Constant.
  for (const Value& e : {pow(p, 2.0), atan2(p, 2.0)}) {
    EXPECT_TRUE(e.input(0).same_node(p));
    EXPECT_TRUE(same_bits(e.input(1).value(), record({2.0})));
  }
  for (const Value& e : {pow(2.0, p), atan2(2.0, p)}) {
    EXPECT_TRUE(same_bits(e.input(0).value(), record({2.0})));
    EXPECT_TRUE(e.input(1).same_node(p));
  }
}

TEST(NewOps, ValuesMatchIndependentReferences) {
  const Value a = parameter(0.0, 1.0, -2.0, 0.5, "a");
  const Value v = parameter(1.0, 4.0, 2.0, "v");
  const Value x = parameter(2.0, "x");
  const Value m = parameter(-1.0, "m");
  const Value pair = parameter(1.0, -1.0, "pair");
  const Value zs = parameter(1.0, 0.0, "zs");
  const struct {
    const char* label;
    Value y;
    SmallValue expected;
  } cases[] = {
      {"exp", exp(a),
       record(
           {1.0, 2.718281828459045, 0.1353352832366127, 1.6487212707001282})},
      {"log", log(v), record({0.0, 1.3862943611198906, 0.6931471805599453})},
      {"sqrt", sqrt(v), record({1.0, 2.0, 1.4142135623730951})},
      {"tanh", tanh(a),
       record({0.0, 0.7615941559557649, -0.9640275800758169,
               0.46211715726000974})},
      {"abs", abs(a), record({0.0, 1.0, 2.0, 0.5})},
      {"abs -0", abs(-x * 0.0), record({0.0})},
      {"pow vector, number", pow(v, 2.0), record({1.0, 16.0, 4.0})},
      {"pow number, vector", pow(2.0, v), record({2.0, 16.0, 4.0})},
      {"pow scalar, vector", pow(x, v * 0.5),
       record({1.4142135623730951, 4.0, 2.0})},
      {"pow negative base, integer exponent", pow(m * 2.0, 3.0),
       record({-8.0})},
      {"pow 0^0", pow(x * 0.0, x * 0.0), record({1.0})},
      {"atan2 vector, number", atan2(pair, -1.0),
       record({3 * kPi / 4, -3 * kPi / 4})},
      {"atan2 number, vector", atan2(1.0, zs), record({kPi / 4, kPi / 2})},
      {"atan2 scalar, scalar", atan2(m, x * 0.0), record({-kPi / 2})},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.label);
    const SmallValue y = row.y.evaluate();
    ASSERT_EQ(y.dimension, row.expected.dimension);
    for (int i = 0; i < y.dimension; ++i)
      EXPECT_DOUBLE_EQ(y[i], row.expected[i]) << "lane " << i;
  }
}

// The lanes of one computation, or its failure text.
struct Outcome {
  SmallValue lanes;
  std::string error;
};

Outcome outcome(const std::function<SmallValue()>& compute) {
  try {
    return {compute(), ""};
  } catch (const std::exception& e) {
    return {SmallValue{}, e.what()};
  }
}

TEST(NewOps, FoldingAgreesBitForBitWithEvaluation) {
  const double awkward[] = {
      0.0,   -0.0,   1.0,
      -1.0,  0.5,    1.0 / 3.0,
      -2.5,  1e-300, std::numeric_limits<double>::denorm_min(),
      709.0, 710.0,  -745.0,
      1e300, -1e22,  kPi,
      7e15,  3.0};
  const auto check = [](const Binary& op, const SmallValue& a,
                        const SmallValue& b) {
    SCOPED_TRACE(testing::describe(a) + " with " + testing::describe(b));
    const Outcome folded = outcome([&] {
      const Value r = op(constant(a), constant(b));
      EXPECT_TRUE(r.is_constant());
      return r.value();
    });
    const Outcome evaluated = outcome([&] {
      const Value r = op(parameter(a, "a"), parameter(b, "b"));
      EXPECT_TRUE(r.is_expression());
      return r.evaluate();
    });
    EXPECT_EQ(folded.error, evaluated.error);
    EXPECT_TRUE(same_bits(folded.lanes, evaluated.lanes));
  };
  for (const auto& row : kOps) {
    SCOPED_TRACE(row.text);
    for (double x : awkward) {
      for (double y : awkward) {
        if (row.unary) {
          check([&](Value a, Value) { return row.unary(a); },
                record({x, y, -x}), record({0.0}));
          continue;
        }
        check(row.binary, record({x}), record({y}));
        check(row.binary, record({x, y, 0.1}), record({y}));
        check(row.binary, record({y}), record({x, -0.0, y, 2.0}));
      }
    }
  }
}

// The seed-weighted sum of y's lanes, whose derivative backward computes.
double weighted(const Value& y, const SmallValue& seed) {
  const SmallValue r = y.evaluate();
  double total = 0.0;
  for (int i = 0; i < seed.dimension; ++i) total += seed[i] * r[i];
  return total;
}

double central_difference(const Value& y, const SmallValue& seed,
                          const Value& p, int lane) {
  const SmallValue base = p.value();
  const double h = 1e-6 * std::max(1.0, std::abs(base[lane]));
  SmallValue shifted = base;
  shifted.lanes[static_cast<std::size_t>(lane)] = base[lane] + h;
  p.set_value(shifted);
  const double up = weighted(y, seed);
  shifted.lanes[static_cast<std::size_t>(lane)] = base[lane] - h;
  p.set_value(shifted);
  const double down = weighted(y, seed);
  p.set_value(base);
  return (up - down) / (2.0 * h);
}

SmallValue random_record(std::mt19937_64& rng, int dimension, double low,
                         double high) {
  std::uniform_real_distribution<double> lanes(low, high);
  SmallValue r;
  r.dimension = dimension;
  for (int i = 0; i < dimension; ++i)
    r.lanes[static_cast<std::size_t>(i)] = lanes(rng);
  return r;
}

TEST(NewOps, GradientsMatchCentralDifferences) {
  // a is drawn from [-2, 2], b from [0.5, 2].
  const struct {
    const char* label;
    Binary f;
  } cases[] = {
      {"exp a * b", [](Value a, Value b) { return exp(a) * b; }},
      {"log b + a", [](Value a, Value b) { return log(b) + a; }},
      {"sqrt(b) * a", [](Value a, Value b) { return sqrt(b) * a; }},
      {"tanh(a * b)", [](Value a, Value b) { return tanh(a * b); }},
      {"abs(a) * b", [](Value a, Value b) { return abs(a) * b; }},
      {"pow(b, a)", [](Value a, Value b) { return pow(b, a); }},
      {"pow(a, 3)", [](Value a, Value b) { return pow(a, 3.0) + b; }},
      {"pow(2, a) * b", [](Value a, Value b) { return pow(2.0, a) * b; }},
      {"atan2(a, b)", [](Value a, Value b) { return atan2(a, b); }},
      {"atan2(b, a)", [](Value a, Value b) { return atan2(b, a); }},
      {"chain",
       [](Value a, Value b) { return sqrt(exp(tanh(a)) + log(b * b + 1.0)); }},
  };
  const struct {
    int a;
    int b;
  } layouts[] = {{3, 1}, {1, 3}, {3, 3}, {1, 1}};
  std::mt19937_64 rng(20261208);
  for (const auto& row : cases) {
    for (const auto& layout : layouts) {
      for (int draw = 0; draw < 3; ++draw) {
        SCOPED_TRACE(::testing::Message()
                     << row.label << " with a of " << layout.a
                     << " lanes, b of " << layout.b << ", draw " << draw);
        const Value a = parameter(random_record(rng, layout.a, -2.0, 2.0), "a");
        const Value b = parameter(random_record(rng, layout.b, 0.5, 2.0), "b");
        const Value y = row.f(a, b);
        const SmallValue seed = random_record(rng, y.dimension(), -2.0, 2.0);
        y.backward(seed);
        for (const Value& p : {a, b}) {
          if (!p.has_grad()) continue;  // b unused by some rows
          for (int lane = 0; lane < p.dimension(); ++lane) {
            const double expected = central_difference(y, seed, p, lane);
            EXPECT_NEAR(p.grad()[lane], expected,
                        1e-6 * (1.0 + std::abs(expected)))
                << p.name() << " lane " << lane;
          }
        }
      }
    }
  }
}

TEST(NewOps, GradientsMatchIndependentReferenceValues) {
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  const auto p = [](double x) { return parameter(x, "p"); };
  using F = std::function<Value(const Value&, const Value&)>;
  const F exp_x = [](const Value& x, const Value&) { return exp(x); };
  const F log_x = [](const Value& x, const Value&) { return log(x); };
  const F sqrt_x = [](const Value& x, const Value&) { return sqrt(x); };
  const F tanh_x = [](const Value& x, const Value&) { return tanh(x); };
  const F abs_x = [](const Value& x, const Value&) { return abs(x); };
  const F pow_xy = [](const Value& x, const Value& y) { return pow(x, y); };
  const F atan2_xy = [](const Value& x, const Value& y) { return atan2(x, y); };
  const struct {
    const char* label;
    F f;
    double x;
    double y;
    double dx;
    double dy;  // NaN: no finite value expected
  } cases[] = {
      {"exp at 0", exp_x, 0.0, 1.0, 1.0, 0.0},
      {"exp at 1", exp_x, 1.0, 1.0, std::numbers::e, 0.0},
      {"log at 4", log_x, 4.0, 1.0, 0.25, 0.0},
      {"sqrt at 4", sqrt_x, 4.0, 1.0, 0.25, 0.0},
      {"tanh at 0", tanh_x, 0.0, 1.0, 1.0, 0.0},
      {"tanh at 1", tanh_x, 1.0, 1.0, 0.41997434161402614, 0.0},
      {"abs at -3", abs_x, -3.0, 1.0, -1.0, 0.0},
      {"abs at 0", abs_x, 0.0, 1.0, 0.0, 0.0},
      {"abs at -0", abs_x, -0.0, 1.0, 0.0, 0.0},
      {"pow 2^3", pow_xy, 2.0, 3.0, 12.0, 8.0 * std::numbers::ln2},
      {"pow 0^2", pow_xy, 0.0, 2.0, 0.0, 0.0},
      {"pow 0^0", pow_xy, 0.0, 0.0, 0.0, 0.0},
      {"pow 4^0.5", pow_xy, 4.0, 0.5, 0.25, 4.0 * std::numbers::ln2},
      // The exponent's partial is a^b log a, undefined for a negative base.
      {"pow (-2)^2", pow_xy, -2.0, 2.0, -4.0, kNaN},
      // A Constant exponent gives the base's partial only, with no NaN.
      {"pow (-2)^Constant 3",
       [](const Value& x, const Value&) { return pow(x, constant(3.0)); }, -2.0,
       1.0, 12.0, 0.0},
      {"pow (-8)^number 2",
       [](const Value& x, const Value&) { return pow(x, 2.0); }, -8.0, 1.0,
       -16.0, 0.0},
      {"atan2(1, 1)", atan2_xy, 1.0, 1.0, 0.5, -0.5},
      {"atan2(3, 4)", atan2_xy, 3.0, 4.0, 0.16, -0.12},
      {"atan2(-1, 0)", atan2_xy, -1.0, 0.0, 0.0, 1.0},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.label);
    const Value x = p(row.x);
    const Value y = p(row.y);
    row.f(x, y).backward();
    ASSERT_TRUE(x.has_grad());
    EXPECT_DOUBLE_EQ(x.grad()[0], row.dx);
    const double dy = y.has_grad() ? y.grad()[0] : 0.0;
    if (std::isnan(row.dy)) {
      EXPECT_TRUE(std::isnan(dy));
    } else {
      EXPECT_DOUBLE_EQ(dy, row.dy);
    }
  }
}

TEST(NewOps, NonFiniteResultsFailFoldingWithoutANode) {
  const Value zero = constant(0.0);
  const Value minus_one = constant(-1.0);
  const Value thousand = constant(1000.0);
  const Value minus_eight = constant(-8.0);
  const Value third = constant(1.0 / 3.0);
  const Value pair = constant(4.0, 0.0);
  const Value triple = constant(1.0, 2.0, 3.0);
  const Value p3 = parameter(1.0, 2.0, 3.0, "p");
  const auto& bad = typeid(std::invalid_argument);
  const FailingCall cases[] = {
      {"log 0", [&] { log(zero); }, bad, kFinite},
      {"log -1", [&] { log(minus_one); }, bad, kFinite},
      {"log (4, 0)", [&] { log(pair); }, bad, kFinite},
      {"sqrt -1", [&] { sqrt(minus_one); }, bad, kFinite},
      {"exp 1000", [&] { exp(thousand); }, bad, kFinite},
      {"pow(-8, 1/3)", [&] { pow(minus_eight, third); }, bad, kFinite},
      {"pow(0, -1)", [&] { pow(zero, minus_one); }, bad, kFinite},
      {"pow(1000, 1000)", [&] { pow(thousand, thousand); }, bad, kFinite},
      {"empty unary operand", [] { exp(Value()); }, bad,
       "unary operand is not a valid symbolic value"},
      {"empty base", [&] { pow(Value(), zero); }, bad,
       "left operand is not a valid symbolic value"},
      {"empty x", [&] { atan2(zero, Value()); }, bad,
       "right operand is not a valid symbolic value"},
      {"2 and 3 lanes", [&] { pow(pair, triple); }, bad,
       "cannot combine symbolic values with dimensions 2 and 3"},
      {"3 and 2 lanes", [&] { atan2(p3, pair); }, bad,
       "cannot combine symbolic values with dimensions 3 and 2"},
  };
  for (const auto& row : cases) testing::expect_fails_cleanly(row);
  // A number operand's Constant is made before anything else is looked at.
  const FailingCall coerced[] = {
      {"pow(-8, number 1/3)", [&] { pow(minus_eight, 1.0 / 3.0); }, bad,
       kFinite},
      {"pow(number -8, 1/3)", [&] { pow(-8.0, third); }, bad, kFinite},
      {"pow(number 0, -1)", [&] { pow(0.0, minus_one); }, bad, kFinite},
      {"atan2(empty, number)", [] { atan2(Value(), 1.0); }, bad,
       "left operand is not a valid symbolic value"},
  };
  for (const auto& row : coerced) {
    SCOPED_TRACE(row.label);
    EXPECT_TRUE(testing::fails_with(row.call, row.type, row.message));
    EXPECT_EQ(testing::ids_drawn_by(row.call), 1u);
  }
  // A NaN number is refused before any node is made.
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  const double kInf = std::numeric_limits<double>::infinity();
  EXPECT_THROW_MSG(pow(zero, kNaN), std::invalid_argument, kFinite);
  EXPECT_EQ(testing::ids_drawn_by([&] { atan2(kInf, Value()); }), 0u);
}

TEST(NewOps, NonFiniteResultsFailEvaluationAndBackwardChangesNothing) {
  const Value p = parameter(1.0, "p");
  p.backward();
  const SmallValue before = p.grad();
  const struct {
    const char* label;
    Value y;
  } cases[] = {
      {"log 0", log(p - 1.0)},
      {"sqrt -1", sqrt(p - 2.0)},
      {"exp 1000", exp(p * 1000.0)},
      {"pow(-8, 1/3)", pow(p * -8.0, p / 3.0)},
      {"pow(-8, Constant 1/3)", pow(p * -8.0, 1.0 / 3.0)},
      {"atan2 of an infinite lane", atan2(exp(p * 1000.0), p)},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.label);
    EXPECT_THROW_MSG(row.y.evaluate(), std::invalid_argument, kFinite);
    EXPECT_THROW_MSG(row.y.backward(), std::invalid_argument, kFinite);
    EXPECT_TRUE(same_bits(p.grad(), before));
  }
}

// A leaf filled in by hand, bypassing make_node's checks.
Value hand_made(ValueKind kind, int dimension, SmallValue value) {
  auto node = std::make_shared<ValueNode>();
  node->id = constant(0.0).id();  // an id no live node carries
  node->kind = kind;
  node->dimension = dimension;
  node->value = value;
  node->name = "h";
  return Value(std::move(node));
}

TEST(HandMadeLeaves,
     AClaimOutsideOneToFourLanesIsRefusedBeforeAnyGradientChanges) {
  const struct {
    ValueKind kind;
    int dimension;
  } cases[] = {{ValueKind::Parameter, 5},
               {ValueKind::Parameter, 0},
               {ValueKind::Parameter, -1},
               {ValueKind::Parameter, 260},
               {ValueKind::Constant, 5}};
  for (const auto& row : cases) {
    SCOPED_TRACE(::testing::Message()
                 << to_string(row.kind) << " of " << row.dimension);
    const Value node =
        hand_made(row.kind, row.dimension, record({1.0, 2.0, 3.0, 4.0}));
    const Value p = parameter(2.0, "p");
    const Value q = parameter(3.0, "q");
    q.backward();
    const Value y = make_expression(ExpressionOp::Add, 1, {node, p}, 2, -1) * q;
    EXPECT_THROW_MSG(y.backward(), std::invalid_argument, kBadDimension);
    EXPECT_THROW_MSG(y.evaluate(), std::invalid_argument, kBadDimension);
    EXPECT_THROW_MSG(node.evaluate(), std::invalid_argument, kBadDimension);
    EXPECT_FALSE(node.has_grad());
    EXPECT_FALSE(p.has_grad());
    EXPECT_TRUE(same_bits(q.grad(), record({1.0})));
    EXPECT_EQ(node.debug_string(), std::string(to_string(row.kind)) + "<" +
                                       std::to_string(row.dimension) + ">#" +
                                       std::to_string(node.id()) + "(h)");
    y.zero_grad();
    EXPECT_FALSE(q.has_grad());
    EXPECT_FALSE(node.has_grad());
  }
}

// A leaf whose record claims five lanes while the node claims one: reading
// its lane 4 must not reach past the record, nor the reverse pass write past
// the leaf's adjoint into the next node's (here p's).
TEST(HandMadeLeaves, ARecordClaimingFiveLanesIsRefusedByComponent) {
  SmallValue five = record({1.0, 2.0, 3.0, 4.0});
  five.dimension = 5;
  const Value node = hand_made(ValueKind::Parameter, 1, five);
  const Value p = parameter(2.0, "p");
  const Value y = make_expression(ExpressionOp::Add, 1, {node, p}, 2, -1) +
                  make_expression(ExpressionOp::Component, 1, {node}, 1, 4);
  EXPECT_THROW_MSG(y.evaluate(), std::invalid_argument, kBadDimension);
  EXPECT_THROW_MSG(y.backward(), std::invalid_argument, kBadDimension);
  EXPECT_FALSE(p.has_grad()) << "p's gradient " << p.grad()[0];
}

}  // namespace
}  // namespace quoril::symbolic

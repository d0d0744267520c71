#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <limits>
#include <random>
#include <stdexcept>

#include "symbolic/value.h"
#include "test_util.h"

namespace quoril::symbolic {
namespace {

using testing::record;
using testing::same_bits;

// The seed-weighted sum of y's lanes, the scalar whose derivative a backward
// pass with that seed computes.
double weighted(const Value& y, const SmallValue& seed) {
  const SmallValue result = y.evaluate();
  double total = 0.0;
  for (int i = 0; i < seed.dimension; ++i) total += seed[i] * result[i];
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
  SmallValue result;
  result.dimension = dimension;
  for (int i = 0; i < dimension; ++i) {
    result.lanes[static_cast<std::size_t>(i)] = lanes(rng);
  }
  return result;
}

TEST(Gradients, MatchCentralDifferences) {
  const struct {
    const char* label;
    std::function<Value(Value, Value)> f;
  } cases[] = {
      {"a + b", [](Value a, Value b) { return a + b; }},
      {"a - b", [](Value a, Value b) { return a - b; }},
      {"b - a", [](Value a, Value b) { return b - a; }},
      {"a * b", [](Value a, Value b) { return a * b; }},
      {"a / b", [](Value a, Value b) { return a / b; }},
      {"b / (a * a + 1)", [](Value a, Value b) { return b / (a * a + 1.0); }},
      {"-a * b", [](Value a, Value b) { return -a * b; }},
      {"sin a + b", [](Value a, Value b) { return sin(a) + b; }},
      {"cos(a * b)", [](Value a, Value b) { return cos(a * b); }},
      {"(a + b) * a", [](Value a, Value b) { return (a + b) * a; }},
      {"pack of components",
       [](Value a, Value b) {
         const Value product = a * b;
         return vec3(component(product, product.dimension() - 1),
                     component(b, 0), sin(component(a, 0))) *
                component(a - b, 0);
       }},
  };
  const struct {
    int a;
    int b;
  } layouts[] = {{3, 1}, {1, 3}, {3, 3}, {1, 1}};
  std::mt19937_64 rng(20240611);
  for (const auto& row : cases) {
    for (const auto& layout : layouts) {
      for (int draw = 0; draw < 4; ++draw) {
        SCOPED_TRACE(::testing::Message()
                     << row.label << " with a of " << layout.a
                     << " lanes, b of " << layout.b << ", draw " << draw);
        const Value a = parameter(random_record(rng, layout.a, -2.0, 2.0), "a");
        // Positive and away from zero, so b is a safe divisor.
        const Value b = parameter(random_record(rng, layout.b, 0.5, 2.0), "b");
        const Value y = row.f(a, b);
        const SmallValue seed = random_record(rng, y.dimension(), -2.0, 2.0);
        y.backward(seed);
        for (const Value& p : {a, b}) {
          ASSERT_TRUE(p.has_grad());
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

TEST(Gradients, ExactValuesWhereTheOrderOfAdditionsIsFixed) {
  constexpr double kX = 0.1;
  const Value x = parameter(kX, "x");
  const Value v = parameter(1.0, 1e17, -1e17, "v");
  const Value p = parameter(2.0, "p");
  const Value three = parameter(3.0, "three");
  const struct {
    const char* label;
    Value y;
    SmallValue seed;
    Value target;
    SmallValue expected;
  } cases[] = {
      {"x * x", x * x, record({1.0}), x, record({2.0 * kX})},
      {"x - x", x - x, record({1.0}), x, record({0.0})},
      {"x + -x", x + (-x), record({1.0}), x, record({0.0})},
      {"v - v", v - v, record({1.0, 2.0, 3.0}), v, record({0.0, 0.0, 0.0})},
      {"x / x", x / x, record({1.0}), x,
       record({1.0 / kX + (-1.0 * kX) / (kX * kX)})},
      // The product is walked first; then the quotient adds its left share
      // before its right one, which rounds differently from the other way.
      {"x / x + x * 0.1", three / three + three * 0.1, record({1.0}), three,
       record({(0.1 + 1.0 / 3.0) + (-1.0 * 3.0) / (3.0 * 3.0)})},
      // Lane order makes ((1 + 1e17) - 1e17) = 0; any other order gives 1.
      {"p * v, p", p * v, record({1.0, 1.0, 1.0}), p, record({0.0})},
      {"v * p, p", v * p, record({1.0, 1.0, 1.0}), p, record({0.0})},
      {"p * v, v", p * v, record({1.0, 1.0, 1.0}), v, record({2.0, 2.0, 2.0})},
      {"leaf", x, record({1.0}), x, record({1.0})},
      // The gradient starts at +0.0 and the entry is added to it.
      {"3-lane leaf", v, record({-0.0, 3.0, 0.5}), v, record({0.0, 3.0, 0.5})},
      {"pack", vec2(x, p), record({5.0, 7.0}), p, record({7.0})},
      {"pack twice", vec2(x, x), record({5.0, 7.0}), x, record({12.0})},
      {"component", component(v, 1), record({1.0}), v, record({0.0, 1.0, 0.0})},
      {"times Constant 0", x * constant(0.0), record({1.0}), x, record({0.0})},
      {"times number 0", 0.0 * x, record({1.0}), x, record({0.0})},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.label);
    row.target.zero_grad();
    row.y.backward(row.seed);
    ASSERT_TRUE(row.target.has_grad());
    EXPECT_TRUE(same_bits(row.target.grad(), row.expected));
  }
}

// One-lane operations have their own short path through evaluation and the
// reverse pass; lane 0 of the same operation on two-lane operands takes the
// general one. Both must give the same bits.
TEST(Gradients, OneLaneAndManyLaneKernelsAgreeBitForBit) {
  using Op = Value (*)(Value, Value);
  const std::vector<std::pair<const char*, Op>> ops{
      {"neg", [](Value x, Value) { return -x; }},
      {"sin", [](Value x, Value) { return sin(x); }},
      {"cos", [](Value x, Value) { return cos(x); }},
      {"exp", [](Value x, Value) { return exp(x); }},
      {"log", [](Value x, Value) { return log(x); }},
      {"sqrt", [](Value x, Value) { return sqrt(x); }},
      {"tanh", [](Value x, Value) { return tanh(x); }},
      {"abs", [](Value x, Value y) { return abs(x - y); }},
      {"add", [](Value x, Value y) { return x + y; }},
      {"sub", [](Value x, Value y) { return x - y; }},
      {"mul", [](Value x, Value y) { return x * y; }},
      {"square", [](Value x, Value) { return x * x; }},
      {"div", [](Value x, Value y) { return x / y; }},
      {"pow", [](Value x, Value y) { return pow(x, y); }},
      {"atan2", [](Value x, Value y) { return atan2(x, y); }},
  };
  for (const auto& [name, op] : ops)
    for (const double at : {0.7, 1.3, 2.9, 5.1}) {
      const Value x = parameter(at, "x");
      const Value y = parameter(at * 0.6 + 1.1, "y");
      const Value xs = parameter(at, 0.2, "xs");
      const Value ys = parameter(at * 0.6 + 1.1, 0.4, "ys");
      const Value one = op(x, y);
      const Value many = op(xs, ys);
      ASSERT_EQ(many.dimension(), 2) << name;
      EXPECT_EQ(one.evaluate()[0], many.evaluate()[0]) << name;
      EXPECT_EQ(component(many, 0).evaluate()[0], one.evaluate()[0]) << name;
      // A seed other than 1 keeps the order of each formula's operations
      // visible in the bits.
      one.backward(small_value(0.3));
      many.backward(small_value(0.3, 0.0));
      EXPECT_EQ(x.grad()[0], xs.grad()[0]) << name;
      if (y.has_grad()) EXPECT_EQ(y.grad()[0], ys.grad()[0]) << name;
    }
}

TEST(Gradients, TinyDivisorGivesANaNGradientWithoutError) {
  const Value p = parameter(0.0, "p");
  const Value q = parameter(1e-200, "q");
  (p / q).backward();
  EXPECT_TRUE(same_bits(p.grad(), record({1.0 / 1e-200})));
  EXPECT_TRUE(std::isnan(q.grad()[0]));
}

TEST(Gradients, AccumulateUntilZeroGradRemovesThem) {
  const Value p = parameter(3.0, "p");
  const Value elsewhere = parameter(1.0, "elsewhere");
  const Value y = p * p;
  elsewhere.backward();
  y.backward();
  EXPECT_TRUE(same_bits(p.grad(), record({6.0})));
  y.backward();
  EXPECT_TRUE(same_bits(p.grad(), record({12.0})));
  // A shared Parameter collects passes over every graph, at the values of
  // each pass.
  p.set_value(record({0.5}));
  (p * 4.0).backward();
  y.backward();
  EXPECT_TRUE(same_bits(p.grad(), record({17.0})));
  y.zero_grad();
  EXPECT_FALSE(p.has_grad());
  EXPECT_TRUE(elsewhere.has_grad());
  y.backward();
  EXPECT_TRUE(same_bits(p.grad(), record({1.0})));
  p.zero_grad();
  EXPECT_FALSE(p.has_grad());
}

TEST(Gradients, OnlyParametersReceiveGradients) {
  const Value p = parameter(1.0, 2.0, "p");
  const Value c = constant(3.0);
  const Value inner = sin(p) * c;
  const Value y = component(inner + p, 1);
  y.backward();
  EXPECT_TRUE(p.has_grad());
  for (const Value& node : {c, inner, y, y.input(0)}) {
    EXPECT_FALSE(node.has_grad()) << node.debug_string();
  }
  const Value folded = c * 2.0;
  folded.backward();
  EXPECT_FALSE(folded.has_grad());
  EXPECT_FALSE(c.has_grad());
}

TEST(Gradients, SharedNodesAreWalkedOncePerPass) {
  const Value p = parameter(1.5, "p");
  const Value half = parameter(0.5, "half");
  testing::diamond_chain(p, half, 200).backward();
  EXPECT_TRUE(same_bits(p.grad(), record({1.0})));
  // Each level adds p through both of its products.
  EXPECT_TRUE(same_bits(half.grad(), record({600.0})));
}

TEST(Gradients, FailedPassesChangeNoGradient) {
  const Value p = parameter(2.0, "p");
  const Value q = parameter(1.0, 2.0, 3.0, "q");
  const Value z = parameter(0.0, "z");
  const Value u = undefined(1, "u");
  (p * 1.5).backward();
  const SmallValue p_before = p.grad();
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  const char* const kFinite = "symbolic value lanes must be finite";
  const auto& invalid = typeid(std::invalid_argument);
  const Value scalar = p * component(q, 0);
  const Value vector = p * q;
  const testing::FailingCall cases[] = {
      {"1-lane seed, 3-lane root", [&] { vector.backward(record({1.0})); },
       invalid, "backward seed dimension does not match output dimension"},
      {"no seed, 3-lane root", [&] { vector.backward(); }, invalid,
       "backward() without seed requires scalar output"},
      {"empty seed", [&] { scalar.backward(SmallValue{}); }, invalid,
       "symbolic value dimension must be in 1..4"},
      {"NaN seed", [&] { scalar.backward(record({kNaN})); }, invalid, kFinite},
      {"NaN seed of the wrong size", [&] { vector.backward(record({kNaN})); },
       invalid, kFinite},
      {"Undefined", [&] { (scalar + u * 0.0).backward(); },
       typeid(std::logic_error),
       "cannot evaluate symbolic graph with Undefined values"},
      {"non-finite forward value", [&] { (scalar + p / z).backward(); },
       invalid, kFinite},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.label);
    EXPECT_TRUE(testing::fails_with(row.call, row.type, row.message));
    EXPECT_TRUE(same_bits(p.grad(), p_before));
    EXPECT_FALSE(q.has_grad());
    EXPECT_FALSE(z.has_grad());
  }
}

TEST(Gradients, ZeroGradNeedsNoEvaluation) {
  const Value p = parameter(2.0, "p");
  const Value y = p * undefined(1, "u");
  p.backward();
  EXPECT_THROW_MSG(y.backward(), std::logic_error,
                   "cannot evaluate symbolic graph with Undefined values");
  EXPECT_TRUE(same_bits(p.grad(), record({1.0})));
  y.zero_grad();
  EXPECT_FALSE(p.has_grad());
}

TEST(Gradients, EmptyHandles) {
  const char* const kInvalidRoot =
      "backward value is not a valid symbolic value";
  const Value empty;
  EXPECT_THROW_MSG(empty.backward(record({1.0})), std::invalid_argument,
                   kInvalidRoot);
  // The handle is checked before the seed.
  EXPECT_THROW_MSG(empty.backward(SmallValue{}), std::invalid_argument,
                   kInvalidRoot);
  EXPECT_THROW_MSG(empty.zero_grad(), std::invalid_argument, kInvalidRoot);
  EXPECT_THROW_MSG(empty.backward(), std::logic_error,
                   "invalid symbolic value handle");
}

}  // namespace
}  // namespace quoril::symbolic

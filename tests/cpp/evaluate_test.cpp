#include <gtest/gtest.h>

#include <stdexcept>

#include "symbolic/value.h"
#include "test_util.h"

namespace quoril::symbolic {
namespace {

using testing::record;
using testing::same_bits;

const char* const kUndefined =
    "cannot evaluate symbolic graph with Undefined values";
const char* const kFinite = "symbolic value lanes must be finite";

TEST(Evaluation, ReadsTheCurrentParameterValues) {
  const Value c = constant(1.0, -0.0);
  const Value p = parameter(3.0, "p");
  const Value y = p * p + c;
  EXPECT_TRUE(same_bits(c.evaluate(), record({1.0, -0.0})));
  EXPECT_TRUE(same_bits(p.evaluate(), record({3.0})));
  EXPECT_TRUE(same_bits(y.evaluate(), record({10.0, 9.0})));
  EXPECT_TRUE(same_bits(y.evaluate(), record({10.0, 9.0})));
  p.set_value(record({-2.0}));
  EXPECT_TRUE(same_bits(y.evaluate(), record({5.0, 4.0})));
  // Nothing computed is stored in the nodes.
  EXPECT_THROW_MSG(y.value(), std::logic_error,
                   "symbolic value has no direct numeric value");
  EXPECT_FALSE(p.has_grad());
}

TEST(Evaluation, BroadcastsAScalarAgainstEitherSide) {
  const Value s = parameter(8.0, "s");
  const Value v2 = parameter(2.0, 16.0, "v2");
  const Value v3 = parameter(1.0, 2.0, 4.0, "v3");
  const Value v4 = parameter(0.0, 1.0, 2.0, 3.0, "v4");
  const struct {
    const char* label;
    Value y;
    SmallValue expected;
  } cases[] = {
      {"v3 + s", v3 + s, record({9.0, 10.0, 12.0})},
      {"s - v3", s - v3, record({7.0, 6.0, 4.0})},
      {"v3 - s", v3 - s, record({-7.0, -6.0, -4.0})},
      {"s / v2", s / v2, record({4.0, 0.5})},
      {"v2 / s", v2 / s, record({0.25, 2.0})},
      {"v4 * s", v4 * s, record({0.0, 8.0, 16.0, 24.0})},
      {"v2 * v2", v2 * v2, record({4.0, 256.0})},
      {"-(v4 - v4)", -(v4 - v4), record({-0.0, -0.0, -0.0, -0.0})},
      {"-(s - s)", -(s - s), record({-0.0})},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.label);
    EXPECT_TRUE(same_bits(row.y.evaluate(), row.expected));
  }
}

TEST(Evaluation, PacksAndTakesComponents) {
  const Value p = parameter(1.0, "p");
  const Value q = parameter(2.0, "q");
  const Value v = parameter(3.0, 4.0, 5.0, "v");
  const Value zero = parameter(0.0, 1.0, "zero");
  const struct {
    const char* label;
    Value y;
    SmallValue expected;
  } cases[] = {
      {"vec3", vec3(p, q * 3.0, constant(-0.0)), record({1.0, 6.0, -0.0})},
      {"vec4", vec4(q, p, q, p), record({2.0, 1.0, 2.0, 1.0})},
      {"component of a Parameter", component(v, 1), record({4.0})},
      {"component of a product", component(v * q, 2), record({10.0})},
      {"pack of components", vec2(component(v, 2), component(v, 0)),
       record({5.0, 3.0})},
      {"negated zero keeps spare lanes +0", -component(zero, 0),
       record({-0.0})},
      {"negated pair", -zero, record({-0.0, -1.0})},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.label);
    EXPECT_TRUE(same_bits(row.y.evaluate(), row.expected));
  }
}

TEST(Evaluation, AnyUndefinedFailsEvenWhereItCannotMatter) {
  const Value p = parameter(1.0, "p");
  const Value u = undefined(1, "u");
  const Value hinted = undefined_with_hint(1.0, 2.0, 3.0, "h");
  const Value graphs[] = {
      u,
      hinted,
      u * constant(0.0),
      sin(p) + u * 0.0,
      vec2(p, u),
      component(hinted, 1),
      component(hinted * p, 2),
  };
  for (const Value& y : graphs) {
    SCOPED_TRACE(y.debug_string());
    EXPECT_THROW_MSG(y.evaluate(), std::logic_error, kUndefined);
  }
}

TEST(Evaluation, ReportsTheFirstFailureInEvaluationOrder) {
  const Value p = parameter(1.0, "p");
  const Value z = parameter(0.0, "z");
  const Value u = undefined(1, "u");
  const struct {
    const char* label;
    Value y;
    const std::type_info& type;
    const char* message;
  } cases[] = {
      {"p / z before u", (p / z) + u, typeid(std::invalid_argument), kFinite},
      {"u before p / z", u + (p / z), typeid(std::logic_error), kUndefined},
      {"u packed first", vec2(u, p / z), typeid(std::logic_error), kUndefined},
      {"p / z packed first", vec2(sin(p / z), u), typeid(std::invalid_argument),
       kFinite},
      {"u under the first operand", (u * z) - (p / z), typeid(std::logic_error),
       kUndefined},
      {"division nested before u", (p / z * 0.0) * u,
       typeid(std::invalid_argument), kFinite},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.label);
    EXPECT_TRUE(
        testing::fails_with([&] { row.y.evaluate(); }, row.type, row.message));
  }
  // A zero divisor is only an error once evaluated, and only while it is zero.
  const Value ratio = p / z;
  EXPECT_THROW_MSG(ratio.evaluate(), std::invalid_argument, kFinite);
  z.set_value(record({4.0}));
  EXPECT_TRUE(same_bits(ratio.evaluate(), record({0.25})));
}

TEST(Evaluation, SharedNodesAreComputedOncePerCall) {
  const Value p = parameter(1.5, "p");
  const Value half = parameter(0.5, "half");
  const Value y = testing::diamond_chain(p, half, 200);
  EXPECT_TRUE(same_bits(y.evaluate(), record({1.5})));
  p.set_value(record({-3.0}));
  EXPECT_TRUE(same_bits(y.evaluate(), record({-3.0})));
}

// make_expression takes any operation with any input count, so a binary
// node may lack its right operand; evaluating it must not read some other
// node in that operand's place.
TEST(Evaluation, HandMadeNodeWithTooFewInputsIsRefused) {
  const char* const kMessage = "symbolic expression input index out of range";
  const Value p = parameter(2.0, "p");
  const Value sum =
      make_expression(ExpressionOp::Add, 1, {p, {}, {}, {}}, 1, -1);
  EXPECT_THROW_MSG(sum.evaluate(), std::out_of_range, kMessage);
  EXPECT_THROW_MSG(sum.backward(), std::out_of_range, kMessage);
  EXPECT_FALSE(p.has_grad());
  // The same node with both operands is an ordinary sum.
  const Value full =
      make_expression(ExpressionOp::Add, 1, {p, p, {}, {}}, 2, -1);
  EXPECT_TRUE(same_bits(full.evaluate(), record({4.0})));
}

TEST(Evaluation, EmptyRootIsAnInvalidArgument) {
  EXPECT_THROW_MSG(Value().evaluate(), std::invalid_argument,
                   "backward value is not a valid symbolic value");
}

}  // namespace
}  // namespace quoril::symbolic

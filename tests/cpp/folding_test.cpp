#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
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

TEST(ConstantFolding, AllConstantOperandsGiveANewConstant) {
  const Value pair = constant(1.0, 2.0);
  const Value ten = constant(10.0);
  const struct {
    const char* label;
    Value folded;
    SmallValue expected;
  } cases[] = {
      {"(1, 2) + 10", pair + ten, record({11.0, 12.0})},
      {"10 - (1, 2)", ten - pair, record({9.0, 8.0})},
      {"(1, 2) / 4", pair / constant(4.0), record({0.25, 0.5})},
      {"10 / (1, 2)", ten / pair, record({10.0, 5.0})},
      {"-1 * 0", constant(-1.0) * constant(0.0), record({-0.0})},
      {"0 - 0", constant(0.0) - constant(0.0), record({0.0})},
      {"-0 + -0", constant(-0.0) + constant(-0.0), record({-0.0})},
      {"-(0, -3)", -constant(0.0, -3.0), record({-0.0, 3.0})},
      {"-(-0)", -constant(-0.0), record({0.0})},
      {"cos 0", cos(constant(0.0)), record({1.0})},
      {"sin 0", sin(constant(0.0)), record({0.0})},
      {"sin -0", sin(constant(-0.0)), record({-0.0})},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.label);
    ASSERT_TRUE(row.folded.is_constant());
    EXPECT_GT(row.folded.id(), ten.id());
    EXPECT_TRUE(row.folded.name().empty());
    EXPECT_FALSE(row.folded.has_hint());
    EXPECT_TRUE(same_bits(row.folded.value(), row.expected));
  }
}

TEST(ConstantFolding, NonFiniteResultsFailWithoutANode) {
  const Value one = constant(1.0);
  const Value zero = constant(0.0);
  const Value ten = constant(10.0);
  const Value big = constant(1e308);
  const Value negative_big = constant(-1e308);
  const Value pair = constant(1.0, 0.0);
  const auto& bad = typeid(std::invalid_argument);
  const FailingCall cases[] = {
      {"1 / 0", [&] { one / zero; }, bad, kFinite},
      {"0 / 0", [&] { zero / zero; }, bad, kFinite},
      {"1 / (1, 0)", [&] { one / pair; }, bad, kFinite},
      {"1e308 * 10", [&] { big* ten; }, bad, kFinite},
      {"1e308 + 1e308", [&] { big + big; }, bad, kFinite},
      {"-1e308 - 1e308", [&] { negative_big - big; }, bad, kFinite},
  };
  for (const auto& row : cases) testing::expect_fails_cleanly(row);
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

// Folds `op` over Constants and evaluates it over Parameters of the same
// lanes; the two must agree bit for bit, failures included.
void expect_fold_matches_evaluation(
    const std::function<Value(Value, Value)>& op, const SmallValue& a,
    const SmallValue& b) {
  SCOPED_TRACE(testing::describe(a) + " with " + testing::describe(b));
  const Outcome folded = outcome([&] {
    const Value result = op(constant(a), constant(b));
    EXPECT_TRUE(result.is_constant());
    return result.value();
  });
  const Outcome evaluated = outcome([&] {
    const Value result = op(parameter(a, "a"), parameter(b, "b"));
    EXPECT_TRUE(result.is_expression());
    return result.evaluate();
  });
  EXPECT_EQ(folded.error, evaluated.error);
  EXPECT_TRUE(same_bits(folded.lanes, evaluated.lanes));
}

TEST(ConstantFolding, AgreesBitForBitWithEvaluation) {
  const double awkward[] = {1.0,
                            1.0 / 3.0,
                            -0.0,
                            0.0,
                            0.1,
                            -2.5,
                            1e-300,
                            std::numeric_limits<double>::denorm_min(),
                            1e300,
                            -1e22,
                            std::numbers::pi,
                            7e15};
  const struct {
    const char* label;
    std::function<Value(Value, Value)> op;
  } binary[] = {
      {"Add", [](Value a, Value b) { return a + b; }},
      {"Subtract", [](Value a, Value b) { return a - b; }},
      {"Multiply", [](Value a, Value b) { return a * b; }},
      {"Divide", [](Value a, Value b) { return a / b; }},
      {"Pack", [](Value a, Value b) { return vec2(a, b); }},
  };
  for (const auto& row : binary) {
    SCOPED_TRACE(row.label);
    for (double x : awkward) {
      for (double y : awkward) {
        expect_fold_matches_evaluation(row.op, record({x}), record({y}));
        if (row.label == std::string("Pack")) continue;
        expect_fold_matches_evaluation(row.op, record({x, y, 0.1}),
                                       record({y}));
        expect_fold_matches_evaluation(row.op, record({y}),
                                       record({x, -0.0, y, 3.0}));
      }
    }
  }
  const struct {
    const char* label;
    std::function<Value(Value)> op;
  } unary[] = {
      {"Negate", [](Value a) { return -a; }},
      {"Sin", [](Value a) { return sin(a); }},
      {"Cos", [](Value a) { return cos(a); }},
      {"Component 2", [](Value a) { return component(a * 1.0, 2); }},
  };
  for (const auto& row : unary) {
    SCOPED_TRACE(row.label);
    for (double x : awkward) {
      for (double y : awkward) {
        // The second operand is ignored; the shared helper takes two.
        expect_fold_matches_evaluation(
            [&](Value a, Value) { return row.op(a); }, record({x, y, x, y}),
            record({0.0}));
      }
    }
  }
}

}  // namespace
}  // namespace quoril::symbolic

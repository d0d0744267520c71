#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <limits>
#include <stdexcept>

#include "symbolic/value.h"
#include "test_util.h"

namespace quoril::symbolic {
namespace {

using testing::FailingCall;
using testing::ids_drawn_by;
using testing::record;
using testing::same_bits;

const std::type_info& kInvalid = typeid(std::invalid_argument);

// Checks an expression node's shape; `inputs` are the nodes expected in its
// slots, in order.
void expect_node(const Value& node, ExpressionOp op, int dimension,
                 std::initializer_list<Value> inputs,
                 int component_index = -1) {
  ASSERT_TRUE(node.is_expression());
  EXPECT_EQ(node.op(), op);
  EXPECT_EQ(node.dimension(), dimension);
  EXPECT_EQ(node.component_index(), component_index);
  EXPECT_TRUE(node.name().empty());
  ASSERT_EQ(node.input_count(), static_cast<int>(inputs.size()));
  int slot = 0;
  for (const Value& input : inputs) {
    EXPECT_TRUE(node.input(slot).same_node(input)) << "slot " << slot;
    ++slot;
  }
}

TEST(MakeExpression, ChecksDimensionThenCountThenTheUsedSlots) {
  const Value a = parameter(1.0, "a");
  const FailingCall cases[] = {
      {"dimension 5 and count 0",
       [&] { make_expression(ExpressionOp::Add, 5, {a}, 0, -1); }, kInvalid,
       "symbolic value dimension must be in 1..4"},
      {"count 0", [&] { make_expression(ExpressionOp::Add, 1, {a}, 0, -1); },
       kInvalid, "symbolic expression input count must be in 1..4"},
      {"count 5",
       [&] {
         make_expression(ExpressionOp::Add, 1, {a, a, a, a}, 5, -1);
       },
       kInvalid, "symbolic expression input count must be in 1..4"},
      {"empty used slot",
       [&] {
         make_expression(ExpressionOp::Add, 2, {a, Value()}, 2, -1);
       },
       kInvalid, "expression input is not a valid symbolic value"},
  };
  for (const auto& row : cases) testing::expect_fails_cleanly(row);
  // Slots beyond the count are not examined, nor is the operation's shape.
  const Value node = make_expression(ExpressionOp::Sin, 4, {a, Value()}, 1, 7);
  expect_node(node, ExpressionOp::Sin, 4, {a}, 7);
  EXPECT_THROW_MSG(node.value(), std::logic_error,
                   "symbolic value has no direct numeric value");
}

TEST(Packing, PacksNonConstantsAndFoldsAllConstants) {
  const Value p = parameter(1.0, "p");
  const Value c = constant(2.0);
  expect_node(vec2(p, c), ExpressionOp::Pack, 2, {p, c});
  const Value q = parameter(3.0, "q");
  expect_node(vec3(c, p, q), ExpressionOp::Pack, 3, {c, p, q});
  expect_node(vec4(q, c, c, p), ExpressionOp::Pack, 4, {q, c, c, p});

  const Value folded = vec3(constant(1.0), c, constant(-0.0));
  ASSERT_TRUE(folded.is_constant());
  EXPECT_GT(folded.id(), c.id());
  EXPECT_TRUE(same_bits(folded.value(), record({1.0, 2.0, -0.0})));
  EXPECT_TRUE(
      same_bits(vec4(c, c, c, c).value(), record({2.0, 2.0, 2.0, 2.0})));
}

TEST(Packing, ChecksEveryHandleBeforeAnyShape) {
  const Value s = parameter(1.0, "s");
  const Value v = parameter(1.0, 2.0, 3.0, "v");
  const Value k1 = constant(1.0);
  const Value k2 = constant(1.0, 2.0);
  const FailingCall cases[] = {
      {"vec2 x", [&] { vec2(Value(), v); }, kInvalid,
       "vec2 x is not a valid symbolic value"},
      {"vec2 y", [&] { vec2(v, Value()); }, kInvalid,
       "vec2 y is not a valid symbolic value"},
      {"vec3 z", [&] { vec3(v, s, Value()); }, kInvalid,
       "vec3 z is not a valid symbolic value"},
      {"vec4 w", [&] { vec4(v, v, v, Value()); }, kInvalid,
       "vec4 w is not a valid symbolic value"},
      {"vec2 shape", [&] { vec2(s, v); }, kInvalid,
       "vec2 expression inputs must be scalar symbolic values"},
      {"vec3 shape", [&] { vec3(s, s, v); }, kInvalid,
       "vec3 expression inputs must be scalar symbolic values"},
      {"vec4 shape of constants", [&] { vec4(k1, k1, k1, k2); }, kInvalid,
       "vec4 expression inputs must be scalar symbolic values"},
  };
  for (const auto& row : cases) testing::expect_fails_cleanly(row);
}

TEST(Components, LooksThroughScalarsPacksAndConstants) {
  const Value a = parameter(1.0, "a");
  const Value b = parameter(2.0, "b");
  const Value c = parameter(3.0, "c");
  const Value packed = vec3(a, b, c);
  // A scalar and a packed lane come back as the very same node, drawing no id.
  for (const Value& scalar : {a, constant(4.0), a * b, undefined(1, "u")}) {
    Value same;
    EXPECT_EQ(ids_drawn_by([&] { same = component(scalar, 0); }), 0u);
    EXPECT_TRUE(same.same_node(scalar));
  }
  Value lane;
  EXPECT_EQ(ids_drawn_by([&] { lane = component(packed, 2); }), 0u);
  EXPECT_TRUE(lane.same_node(c));
  EXPECT_EQ(lane.id(), c.id());

  const Value folded = component(constant(1.0, -0.0, 3.0), 1);
  ASSERT_TRUE(folded.is_constant());
  EXPECT_TRUE(same_bits(folded.value(), record({-0.0})));

  const Value v = parameter(1.0, 2.0, 3.0, "v");
  expect_node(component(v, 2), ExpressionOp::Component, 1, {v}, 2);
  const Value product = v * v;
  expect_node(component(product, 0), ExpressionOp::Component, 1, {product}, 0);
}

TEST(Components, RejectsEmptyHandlesAndIndicesOutsideTheDimension) {
  const char* const kRange = "symbolic component index out of range";
  const Value s = parameter(1.0, "s");
  const Value v = parameter(1.0, 2.0, 3.0, "v");
  const Value k = constant(1.0, 2.0);
  const Value short_pack =
      make_expression(ExpressionOp::Pack, 3, {s, s, {}, {}}, 2, -1);
  const FailingCall cases[] = {
      {"empty", [] { component(Value(), -1); }, kInvalid,
       "component value is not a valid symbolic value"},
      {"-1", [&] { component(v, -1); }, typeid(std::out_of_range), kRange},
      {"dimension", [&] { component(v, 3); }, typeid(std::out_of_range),
       kRange},
      {"scalar 1", [&] { component(s, 1); }, typeid(std::out_of_range), kRange},
      {"constant 2", [&] { component(k, 2); }, typeid(std::out_of_range),
       kRange},
      // A hand-made Pack with fewer inputs than lanes has no input to return.
      {"short pack", [&] { component(short_pack, 2); },
       typeid(std::out_of_range),
       "symbolic expression input index out of range"},
  };
  for (const auto& row : cases) testing::expect_fails_cleanly(row);
}

TEST(Arithmetic, NodesKeepOperandOrderAndBroadcastEitherWay) {
  const Value s = parameter(1.0, "s");
  const Value v3 = parameter(1.0, 2.0, 3.0, "v3");
  const Value v4 = parameter(1.0, 2.0, 3.0, 4.0, "v4");
  const Value two = constant(2.0);
  const Value u = undefined(3, "u");
  const struct {
    const char* label;
    Value node;
    ExpressionOp op;
    int dimension;
    Value left;
    Value right;
  } cases[] = {
      {"v3 * 2", v3 * two, ExpressionOp::Multiply, 3, v3, two},
      {"s + v4", s + v4, ExpressionOp::Add, 4, s, v4},
      {"v4 - s", v4 - s, ExpressionOp::Subtract, 4, v4, s},
      {"s / v3", s / v3, ExpressionOp::Divide, 3, s, v3},
      {"2 - s", two - s, ExpressionOp::Subtract, 1, two, s},
      {"v3 / v3", v3 / v3, ExpressionOp::Divide, 3, v3, v3},
      {"s - s", s - s, ExpressionOp::Subtract, 1, s, s},
      {"s + u", s + u, ExpressionOp::Add, 3, s, u},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.label);
    expect_node(row.node, row.op, row.dimension, {row.left, row.right});
  }
}

// Identity operands are not simplified away, and the number keeps its side.
TEST(Arithmetic, NumberOverloadsBuildTheFullNode) {
  const Value p = parameter(1.0, 2.0, "p");
  const struct {
    const char* label;
    Value node;
    ExpressionOp op;
    int number_slot;
    double number;
  } cases[] = {
      {"p + 0", p + 0.0, ExpressionOp::Add, 1, 0.0},
      {"7 + p", 7.0 + p, ExpressionOp::Add, 0, 7.0},
      {"p - 0", p - 0.0, ExpressionOp::Subtract, 1, 0.0},
      {"7 - p", 7.0 - p, ExpressionOp::Subtract, 0, 7.0},
      {"p * 1", p * 1.0, ExpressionOp::Multiply, 1, 1.0},
      {"0 * p", 0.0 * p, ExpressionOp::Multiply, 0, 0.0},
      {"p / 1", p / 1.0, ExpressionOp::Divide, 1, 1.0},
      {"p / 0", p / 0.0, ExpressionOp::Divide, 1, 0.0},
      {"7 / p", 7.0 / p, ExpressionOp::Divide, 0, 7.0},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(row.node.op(), row.op);
    EXPECT_EQ(row.node.dimension(), 2);
    const Value& number = row.node.input(row.number_slot);
    ASSERT_TRUE(number.is_constant());
    EXPECT_TRUE(same_bits(number.value(), record({row.number})));
    EXPECT_TRUE(row.node.input(1 - row.number_slot).same_node(p));
  }
}

TEST(Arithmetic, UnaryNodesAreNeverSimplified) {
  const Value p = parameter(1.0, 2.0, "p");
  const Value negated = -p;
  const Value twice = -negated;
  expect_node(twice, ExpressionOp::Negate, 2, {negated});
  expect_node(negated, ExpressionOp::Negate, 2, {p});
  expect_node(sin(negated), ExpressionOp::Sin, 2, {negated});
  expect_node(cos(p), ExpressionOp::Cos, 2, {p});
}

TEST(Arithmetic, ChecksLeftThenRightThenShape) {
  const Value v2 = parameter(1.0, 2.0, "v2");
  const Value v3 = parameter(1.0, 2.0, 3.0, "v3");
  const Value c2 = constant(1.0, 2.0);
  const Value c3 = constant(0.0, 0.0, 0.0);
  const Value v4 = parameter(1.0, 2.0, 3.0, 4.0, "v4");
  const char* const kLeft = "left operand is not a valid symbolic value";
  const char* const kRight = "right operand is not a valid symbolic value";
  const char* const kUnary = "unary operand is not a valid symbolic value";
  const FailingCall cases[] = {
      {"both empty", [] { Value() + Value(); }, kInvalid, kLeft},
      {"left empty", [&] { Value() * v3; }, kInvalid, kLeft},
      {"right empty", [&] { v2 - Value(); }, kInvalid, kRight},
      {"2 and 3", [&] { v2 + v3; }, kInvalid,
       "cannot combine symbolic values with dimensions 2 and 3"},
      {"3 and 2", [&] { v3* v2; }, kInvalid,
       "cannot combine symbolic values with dimensions 3 and 2"},
      {"2 and 4", [&] { v2 - v4; }, kInvalid,
       "cannot combine symbolic values with dimensions 2 and 4"},
      // Shape is settled before the fold would divide by zero lanes.
      {"constants 2 and 3", [&] { c2 / c3; }, kInvalid,
       "cannot combine symbolic values with dimensions 2 and 3"},
      {"negate", [] { -Value(); }, kInvalid, kUnary},
      {"sin", [] { sin(Value()); }, kInvalid, kUnary},
      {"cos", [] { cos(Value()); }, kInvalid, kUnary},
  };
  for (const auto& row : cases) testing::expect_fails_cleanly(row);
}

TEST(Arithmetic, NumberOverloadsMakeTheConstantBeforeValidating) {
  const Value v3 = parameter(1.0, 2.0, 3.0, "v3");
  const struct {
    const char* label;
    std::function<void()> call;
    const char* message;
    std::uint64_t ids;
  } cases[] = {
      {"NaN beside an empty handle",
       [] { Value() + std::numeric_limits<double>::quiet_NaN(); },
       "symbolic value lanes must be finite", 0},
      {"empty + 1", [] { Value() + 1.0; },
       "left operand is not a valid symbolic value", 1},
      {"1 / empty", [] { 1.0 / Value(); },
       "right operand is not a valid symbolic value", 1},
      {"inf * v", [&] { std::numeric_limits<double>::infinity() * v3; },
       "symbolic value lanes must be finite", 0},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.label);
    EXPECT_TRUE(testing::fails_with(row.call, kInvalid, row.message));
    EXPECT_EQ(ids_drawn_by(row.call), row.ids);
  }
}

}  // namespace
}  // namespace quoril::symbolic

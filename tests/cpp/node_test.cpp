#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "symbolic/value.h"
#include "test_util.h"

namespace quoril::symbolic {
namespace {

using testing::FailingCall;
using testing::record;
using testing::same_bits;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const char* const kBadHandle = "invalid symbolic value handle";
const char* const kBadDimension = "symbolic value dimension must be in 1..4";
const char* const kNotFinite = "symbolic value lanes must be finite";

TEST(MakeNode, SuccessiveNodesGetConsecutiveIds) {
  const auto a =
      make_node(ValueKind::Parameter, 2, record({1.0, 2.0}), std::nullopt, "a");
  const auto b = make_node(ValueKind::Undefined, 3, SmallValue{},
                           record({1.0, 2.0, 3.0}), "");
  EXPECT_EQ(b->id, a->id + 1);
  EXPECT_EQ(b->input_count, 0);
  EXPECT_EQ(b->component_index, -1);
  EXPECT_FALSE(b->grad.has_value());
}

TEST(MakeNode, FailuresComeInCheckOrderAndDrawNoId) {
  const auto make = [](int dimension, SmallValue value,
                       std::optional<SmallValue> hint) {
    return
        [=] { make_node(ValueKind::Undefined, dimension, value, hint, "u"); };
  };
  const FailingCall cases[] = {
      {"dimension 0", make(0, SmallValue{}, std::nullopt),
       typeid(std::invalid_argument), kBadDimension},
      {"dimension 5 before a bad value", make(5, record({kNaN}), std::nullopt),
       typeid(std::invalid_argument), kBadDimension},
      {"value of dimension 5", make(1, SmallValue{5, {}}, std::nullopt),
       typeid(std::invalid_argument), kBadDimension},
      {"NaN value", make(1, record({kNaN}), std::nullopt),
       typeid(std::invalid_argument), kNotFinite},
      {"infinite hint of the wrong size",
       make(3, SmallValue{}, record({1.0, kInf})),
       typeid(std::invalid_argument), kNotFinite},
      {"hint of the wrong size", make(3, SmallValue{}, record({1.0, 2.0})),
       typeid(std::invalid_argument), "symbolic hint dimension mismatch"},
  };
  for (const auto& row : cases) testing::expect_fails_cleanly(row);
}

TEST(ValueHandle, EmptyHandleThrowsFromEveryCheckedMember) {
  const Value empty;
  const std::function<void()> members[] = {
      [&] { empty.node(); },
      [&] { empty.mutable_node(); },
      [&] { empty.id(); },
      [&] { empty.kind(); },
      [&] { empty.op(); },
      [&] { empty.dimension(); },
      [&] { empty.component_index(); },
      [&] { empty.name(); },
      [&] { empty.is_constant(); },
      [&] { empty.is_parameter(); },
      [&] { empty.is_undefined(); },
      [&] { empty.is_expression(); },
      [&] { empty.value(); },
      [&] { empty.has_hint(); },
      [&] { empty.hint(); },
      [&] { empty.has_grad(); },
      [&] { empty.grad(); },
      [&] { empty.input_count(); },
      [&] { empty.input(7); },
      [&] { empty.debug_string(); },
  };
  for (std::size_t i = 0; i < std::size(members); ++i) {
    SCOPED_TRACE(::testing::Message() << "member " << i);
    EXPECT_TRUE(
        testing::fails_with(members[i], typeid(std::logic_error), kBadHandle));
  }
  EXPECT_FALSE(empty.is_leaf());
  EXPECT_TRUE(empty.same_node(Value()));
  EXPECT_FALSE(empty.same_node(constant(1.0)));
  EXPECT_TRUE(constant(1.0).is_leaf());
}

TEST(ValueHandle, MissingValueHintAndGradientAreLogicErrors) {
  const Value hinted = undefined_with_hint(1.0, "u");
  const Value sum = parameter(1.0, "p") + parameter(2.0, "q");
  EXPECT_THROW_MSG(hinted.value(), std::logic_error,
                   "symbolic value has no direct numeric value");
  EXPECT_THROW_MSG(sum.value(), std::logic_error,
                   "symbolic value has no direct numeric value");
  EXPECT_THROW_MSG(undefined(3, "u").hint(), std::logic_error,
                   "symbolic value has no hint");
  EXPECT_THROW_MSG(undefined(3, "u").value(), std::logic_error,
                   "symbolic value has no direct numeric value");
  EXPECT_THROW_MSG(sum.hint(), std::logic_error, "symbolic value has no hint");
  EXPECT_THROW_MSG(parameter(1.0, "p").grad(), std::logic_error,
                   "symbolic value has no gradient");
}

TEST(ValueHandle, InputBoundIsTheInputCount) {
  const char* const kMessage = "symbolic expression input index out of range";
  const Value p = parameter(1.0, "p");
  const Value q = parameter(2.0, "q");
  const Value packed = vec2(p, q);
  EXPECT_TRUE(packed.input(1).same_node(q));
  EXPECT_THROW_MSG(packed.input(2), std::out_of_range, kMessage);
  EXPECT_THROW_MSG(packed.input(-1), std::out_of_range, kMessage);
  EXPECT_THROW_MSG(p.input(0), std::out_of_range, kMessage);
}

TEST(SetValue, ChecksTheArgumentBeforeTheHandle) {
  const Value p = parameter(1.0, 2.0, "p");
  const Value c = constant(1.0, 2.0);
  const Value u = undefined(1, "u");
  const char* const kNotParameter =
      "set_value() is only valid for Parameter values";
  const FailingCall cases[] = {
      {"NaN on an empty handle", [] { Value().set_value(record({kNaN})); },
       typeid(std::invalid_argument), kNotFinite},
      {"dimension 0 on an empty handle",
       [] { Value().set_value(SmallValue{}); }, typeid(std::invalid_argument),
       kBadDimension},
      {"good value on an empty handle",
       [] { Value().set_value(record({1.0})); }, typeid(std::logic_error),
       kBadHandle},
      {"dimension 5",
       [&] {
         p.set_value(SmallValue{5, {}});
       },
       typeid(std::invalid_argument), kBadDimension},
      {"infinity in use",
       [&] {
         p.set_value(record({1.0, -kInf}));
       },
       typeid(std::invalid_argument), kNotFinite},
      {"Constant of the same size",
       [&] {
         c.set_value(record({3.0, 4.0}));
       },
       typeid(std::logic_error), kNotParameter},
      {"Constant with another size", [&] { c.set_value(record({3.0})); },
       typeid(std::logic_error), kNotParameter},
      {"Undefined", [&] { u.set_value(record({3.0})); },
       typeid(std::logic_error), kNotParameter},
      {"other dimension", [&] { p.set_value(record({3.0})); },
       typeid(std::invalid_argument),
       "set_value() dimension does not match Parameter dimension"},
  };
  for (const auto& row : cases) testing::expect_fails_cleanly(row);
  EXPECT_TRUE(same_bits(p.value(), record({1.0, 2.0})));
  EXPECT_TRUE(same_bits(c.value(), record({1.0, 2.0})));
}

TEST(SetValue, ReplacesOnlyTheLanes) {
  const Value p = parameter(1.0, 2.0, "p");
  const Value y = p * 3.0;
  const std::uint64_t id = p.id();
  p.mutable_node().grad = record({5.0, 6.0});
  p.set_value(record({-0.0, 4.0}));
  EXPECT_TRUE(same_bits(p.value(), record({-0.0, 4.0})));
  EXPECT_TRUE(same_bits(y.input(0).value(), record({-0.0, 4.0})));
  EXPECT_TRUE(same_bits(p.grad(), record({5.0, 6.0})));
  EXPECT_EQ(p.id(), id);
  EXPECT_EQ(p.name(), "p");
}

TEST(DebugString, DescribesKindDimensionIdNameAndOperation) {
  const Value c = constant(1.0);
  const Value p = parameter(1.0, 2.0, "p");
  const Value odd = parameter(1.0, "f(x) (y)");
  const Value unnamed = parameter(1.0, "");
  const Value u = undefined(3, "u");
  const Value sum = p + p;
  const Value lane = component(p, 1);
  const auto id = [](const Value& v) { return std::to_string(v.id()); };
  const struct {
    const Value& value;
    std::string expected;
  } cases[] = {
      {c, "Constant<1>#" + id(c)},
      {p, "Parameter<2>#" + id(p) + "(p)"},
      {odd, "Parameter<1>#" + id(odd) + "(f(x) (y))"},
      {unnamed, "Parameter<1>#" + id(unnamed)},
      {u, "Undefined<3>#" + id(u) + "(u)"},
      {sum, "Expression<2>#" + id(sum) + " op=Add"},
      {lane, "Expression<1>#" + id(lane) + " op=Component"},
  };
  for (const auto& row : cases) {
    EXPECT_EQ(row.value.debug_string(), row.expected);
  }
}

TEST(NodeRelease, DroppingTheLastHandleReleasesWhatNothingElseHolds) {
  auto leaf =
      make_node(ValueKind::Parameter, 1, record({2.0}), std::nullopt, "p");
  const std::weak_ptr<ValueNode> watch = leaf;
  Value kept;
  {
    const Value p(std::move(leaf));
    const Value shared = sin(p);
    kept = shared * 2.0;
    const Value root = shared + p;
  }
  ASSERT_FALSE(watch.expired());
  EXPECT_DOUBLE_EQ(kept.evaluate()[0], std::sin(2.0) * 2.0);
  kept = Value();
  EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace quoril::symbolic

#include <gtest/gtest.h>

#include <limits>
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
const char* const kNoValue = "symbolic value has no direct numeric value";

using V1 = quoril::Vec<double, 1>;
using V2 = quoril::Vec<double, 2>;
using V3 = quoril::Vec<double, 3>;
using V4 = quoril::Vec<double, 4>;

// Checks a Constant, a Parameter and a hinted Undefined made from the same
// lanes: each a fresh leaf of its kind holding `expected`.
void expect_leaves(const SmallValue& expected, const Value& c, const Value& p,
                   const Value& u) {
  SCOPED_TRACE(testing::describe(expected));
  const struct {
    const Value& leaf;
    ValueKind kind;
    const char* name;
  } rows[] = {{c, ValueKind::Constant, ""},
              {p, ValueKind::Parameter, "n"},
              {u, ValueKind::Undefined, "n"}};
  for (const auto& row : rows) {
    EXPECT_EQ(row.leaf.kind(), row.kind);
    EXPECT_EQ(row.leaf.op(), ExpressionOp::None);
    EXPECT_EQ(row.leaf.dimension(), expected.dimension);
    EXPECT_EQ(row.leaf.name(), row.name);
    EXPECT_EQ(row.leaf.input_count(), 0);
    EXPECT_EQ(row.leaf.component_index(), -1);
    EXPECT_FALSE(row.leaf.has_grad());
  }
  EXPECT_TRUE(same_bits(c.value(), expected));
  EXPECT_TRUE(same_bits(p.value(), expected));
  EXPECT_FALSE(c.has_hint());
  EXPECT_TRUE(same_bits(u.hint(), expected));
  EXPECT_THROW_MSG(u.value(), std::logic_error, kNoValue);
}

template <typename... Lanes>
void expect_every_family_reads(const SmallValue& expected,
                               const Lanes&... lanes) {
  expect_leaves(expected, constant(lanes...), parameter(lanes..., "n"),
                undefined_with_hint(lanes..., "n"));
}

TEST(LeafFactories, EveryFormStoresTheLanesInOrder) {
  expect_every_family_reads(record({1.0, 2.0}), record({1.0, 2.0}));
  expect_leaves(record({1.0, -0.0, 3.0}), constant({1.0, -0.0, 3.0}),
                parameter({1.0, -0.0, 3.0}, "n"),
                undefined_with_hint({1.0, -0.0, 3.0}, "n"));
  expect_every_family_reads(record({-0.0}), -0.0);
  expect_every_family_reads(record({1.0, 2.0}), 1.0, 2.0);
  expect_every_family_reads(record({1.0, 2.0, 3.0}), 1.0, 2.0, 3.0);
  expect_every_family_reads(record({1.0, 2.0, 3.0, 4.0}), 1.0, 2.0, 3.0, 4.0);
  expect_every_family_reads(record({9.0}), V1{{9.0}});
  expect_every_family_reads(record({9.0, 8.0}), V2{{9.0, 8.0}});
  expect_every_family_reads(record({9.0, 8.0, 7.0}), V3{9.0, 8.0, 7.0});
  expect_every_family_reads(record({9.0, 8.0, 7.0, 6.0}),
                            V4{{9.0, 8.0, 7.0, 6.0}});
}

TEST(LeafFactories, FailuresCreateNothing) {
  const char* const kCount = "symbolic value constructor expects 1..4 lanes";
  const char* const kDimension = "symbolic value dimension must be in 1..4";
  const char* const kFinite = "symbolic value lanes must be finite";
  const auto& bad = typeid(std::invalid_argument);
  const FailingCall cases[] = {
      {"constant of empty list",
       [] { constant(std::initializer_list<double>{}); }, bad, kCount},
      {"parameter of five",
       [] {
         parameter({1.0, 2.0, 3.0, 4.0, kNaN}, "p");
       },
       bad, kCount},
      {"hint of empty list",
       [] { undefined_with_hint(std::initializer_list<double>{}, "u"); }, bad,
       kCount},
      {"parameter of dimension 0", [] { parameter(SmallValue{}, "p"); }, bad,
       kDimension},
      {"parameter of dimension 5",
       [] {
         parameter(SmallValue{5, {}}, "p");
       },
       bad, kDimension},
      {"hint of dimension 5",
       [] {
         undefined_with_hint(SmallValue{5, {}}, "u");
       },
       bad, kDimension},
      {"undefined 0", [] { undefined(0, "u"); }, bad, kDimension},
      {"undefined 5", [] { undefined(5, "u"); }, bad, kDimension},
      {"undefined -1", [] { undefined(-1, "u"); }, bad, kDimension},
      {"constant Vec infinite",
       [] {
         constant(V3{1.0, kInf, 2.0});
       },
       bad, kFinite},
      {"parameter -inf", [] { parameter(1.0, 2.0, -kInf, "p"); }, bad, kFinite},
      {"hint NaN", [] { undefined_with_hint(1.0, kNaN, "u"); }, bad, kFinite},
      {"hint Vec NaN",
       [] {
         undefined_with_hint(V4{{0, 0, 0, kNaN}}, "u");
       },
       bad, kFinite},
  };
  for (const auto& row : cases) testing::expect_fails_cleanly(row);
}

TEST(LeafFactories, EveryCallMakesADistinctNode) {
  const Value a = constant(1.0);
  const Value b = constant(1.0);
  const Value p = parameter(1.0, "same");
  const Value q = parameter(1.0, "same");
  EXPECT_EQ(b.id(), a.id() + 1);
  EXPECT_FALSE(a.same_node(b));
  EXPECT_FALSE(p.same_node(q));
}

TEST(LeafFactories, OnlyLanesInUseAreChecked) {
  SmallValue v = record({1.0, 2.0});
  v.lanes[3] = kNaN;
  EXPECT_EQ(parameter(v, "p").dimension(), 2);
}

}  // namespace
}  // namespace quoril::symbolic

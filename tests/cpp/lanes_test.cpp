#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

#include "symbolic/value.h"
#include "test_util.h"

namespace quoril::symbolic {
namespace {

using testing::FailingCall;
using testing::record;
using testing::same_bits;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMax = std::numeric_limits<double>::max();
constexpr double kSubnormal = std::numeric_limits<double>::denorm_min();

TEST(SmallValueFactory, EveryFormPutsLanesInOrderAndZeroesTheRest) {
  const struct {
    const char* label;
    SmallValue actual;
    SmallValue expected;
  } cases[] = {
      {"list of one", small_value({-0.0}), record({-0.0})},
      {"list of three", small_value({1.0, kMax, -kMax}),
       record({1.0, kMax, -kMax})},
      {"list of four", small_value({1.0, 2.0, 3.0, 4.0}),
       record({1.0, 2.0, 3.0, 4.0})},
      {"one double", small_value(kSubnormal), record({kSubnormal})},
      {"two doubles", small_value(1.0, -2.0), record({1.0, -2.0})},
      {"three doubles", small_value(1.0, -0.0, 3.0), record({1.0, -0.0, 3.0})},
      {"four doubles", small_value(4.0, 3.0, 2.0, 1.0),
       record({4.0, 3.0, 2.0, 1.0})},
      {"Vec 1", small_value(quoril::Vec<double, 1>{{7.0}}), record({7.0})},
      {"Vec 2", small_value(quoril::Vec<double, 2>{{7.0, -kSubnormal}}),
       record({7.0, -kSubnormal})},
      {"Vec 3", small_value(quoril::Vec<double, 3>{1.0, 2.0, 3.0}),
       record({1.0, 2.0, 3.0})},
      {"Vec 4", small_value(quoril::Vec<double, 4>{{1.0, 2.0, 3.0, -0.0}}),
       record({1.0, 2.0, 3.0, -0.0})},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.label);
    EXPECT_TRUE(same_bits(row.actual, row.expected));
  }
}

TEST(SmallValueFactory, RejectsBadCountsAndNonFiniteLanes) {
  const char* const kCount = "symbolic value constructor expects 1..4 lanes";
  const char* const kFinite = "symbolic value lanes must be finite";
  const FailingCall cases[] = {
      {"empty list", [] { small_value(std::initializer_list<double>{}); },
       typeid(std::invalid_argument), kCount},
      {"five numbers",
       [] {
         small_value({1.0, 2.0, 3.0, 4.0, 5.0});
       },
       typeid(std::invalid_argument), kCount},
      // The count is checked before any element.
      {"five numbers with NaN",
       [] {
         small_value({kNaN, 2.0, 3.0, 4.0, 5.0});
       },
       typeid(std::invalid_argument), kCount},
      {"list with infinity",
       [] {
         small_value({1.0, kInf});
       },
       typeid(std::invalid_argument), kFinite},
      {"NaN second", [] { small_value(1.0, kNaN); },
       typeid(std::invalid_argument), kFinite},
      {"-inf first", [] { small_value(-kInf, 1.0, 2.0); },
       typeid(std::invalid_argument), kFinite},
      {"+inf last of four", [] { small_value(1.0, 2.0, 3.0, kInf); },
       typeid(std::invalid_argument), kFinite},
      {"Vec with NaN",
       [] {
         small_value(quoril::Vec<double, 4>{{0, 0, kNaN, 0}});
       },
       typeid(std::invalid_argument), kFinite},
      {"Vec 1 infinite", [] { small_value(quoril::Vec<double, 1>{{-kInf}}); },
       typeid(std::invalid_argument), kFinite},
  };
  for (const auto& row : cases) testing::expect_fails_cleanly(row);
}

TEST(SmallValueLaneRead, BoundIsTheDimensionNotTheStorage) {
  const char* const kMessage = "symbolic value lane index out of range";
  const SmallValue one = record({5.0});
  const SmallValue three = record({1.0, 2.0, 3.0});
  EXPECT_EQ(one[0], 5.0);
  EXPECT_EQ(three[2], 3.0);
  EXPECT_THROW_MSG(one[1], std::out_of_range, kMessage);
  EXPECT_THROW_MSG(one[-1], std::out_of_range, kMessage);
  EXPECT_THROW_MSG(three[3], std::out_of_range, kMessage);
  EXPECT_THROW_MSG(SmallValue{}[0], std::out_of_range, kMessage);
}

// Records are plain structs, so a caller can set any dimension; the read
// must still stay inside the four stored lanes.
TEST(SmallValueLaneRead, HandMadeDimensionsOutsideOneToFourStayInStorage) {
  const char* const kMessage = "symbolic value lane index out of range";
  SmallValue negative;
  negative.dimension = -1;
  SmallValue oversized = record({1.0, 2.0, 3.0, 4.0});
  oversized.dimension = 5;
  // Indices read at run time, so the compiler does not see the bad read.
  volatile int first = 0;
  volatile int fifth = 4;
  EXPECT_THROW_MSG(negative[first], std::out_of_range, kMessage);
  EXPECT_EQ(oversized[3], 4.0);
  EXPECT_THROW_MSG(oversized[fifth], std::out_of_range, kMessage);
}

}  // namespace
}  // namespace quoril::symbolic

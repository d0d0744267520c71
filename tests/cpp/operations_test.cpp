// Every operation of the table, bit for bit over awkward lanes: the one-lane
// shortcuts of evaluation and of the reverse pass against the general
// kernels, and folding against evaluation; and the evaluation entry that
// reports a non-finite result against the one that throws it. The kernels
// are private to the core, so unlike the other tests this one reaches them
// through kernels.h, and it is compiled without contraction as the core is.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "symbolic/kernels.h"
#include "test_util.h"

namespace quoril::symbolic {
namespace {

using testing::record;
using testing::same_bits;
using Entry = Topology::Entry;
using Adjoint = std::array<double, 4>;

// Zeros of both signs, kinks (abs, sqrt and pow's base at 0, pow's exponent
// 0, negative bases), the edges of exp's range, tiny and huge magnitudes.
constexpr double kAwkward[] = {
    0.0,       -0.0,
    1.0,       -1.0,
    0.5,       -2.5,
    1.0 / 3.0, 3.0,
    1e-300,    -std::numeric_limits<double>::denorm_min(),
    709.0,     710.0,
    -745.0,    1e300,
    -1e22,     std::numbers::pi};

// The seed of every reverse pass, and what every leaf's adjoint holds before
// it, so that the order of the additions shows.
constexpr Adjoint kSeed = {1.5, -0.75, 2.0, -3.0};
constexpr Adjoint kPrior = {0.25, -0.125, 1e-17, 3.0};

// An order built by hand: leaves whose values are set directly, then the
// nodes over them.
struct Order {
  WalkBuffer<Entry> entries;
  WalkBuffer<SmallValue> values;
  WalkBuffer<Adjoint> adjoints;

  // A leaf standing for lane `lane` of a wider one starts with that lane's
  // prior adjoint.
  std::uint32_t leaf(const SmallValue& v, ValueKind kind, int lane = 0) {
    entries.push_back({nullptr,
                       {0, 0, 0, 0},
                       kind,
                       ExpressionOp::None,
                       static_cast<std::int8_t>(v.dimension),
                       0,
                       -1});
    values.push_back(v);
    Adjoint prior = kPrior;
    prior[0] = kPrior[static_cast<std::size_t>(lane)];
    adjoints.push_back(prior);
    return static_cast<std::uint32_t>(entries.size() - 1);
  }
  Entry node(ExpressionOp op, int dimension, std::uint32_t a,
             std::uint32_t b) const {
    return {nullptr,
            {a, b, 0, 0},
            ValueKind::Expression,
            op,
            static_cast<std::int8_t>(dimension),
            static_cast<std::int8_t>(arity(op)),
            -1};
  }
};

// A lane of a record as a one-lane record; a one-lane record stands for
// every lane.
SmallValue lane_of(const SmallValue& v, int i) {
  return record(
      {v.dimension == 1 ? v.lanes[0] : v.lanes[static_cast<std::size_t>(i)]});
}

// Adjoint lanes agree bit for bit, except that any two NaNs agree: their
// sign and payload follow which operand the compiler puts first.
bool same_adjoint(double actual, double expected) {
  return (std::isnan(actual) && std::isnan(expected)) ||
         std::memcmp(&actual, &expected, sizeof actual) == 0;
}

std::string bits(double x) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g (%a)", x, x);
  return text;
}

// The operands of one case: `b` absent for a unary operation, and `same`
// when the node uses one operand twice (x * x).
struct Operands {
  SmallValue a;
  std::optional<SmallValue> b;
  ValueKind b_kind = ValueKind::Parameter;
  bool same = false;
};

// Evaluates and propagates one node of the operation over `operands` with
// the general kernels, and lane by lane with the one-lane shortcuts of
// nodes over the operands' lanes, and compares.
void expect_shortcuts_match_general(ExpressionOp op, const Operands& operands) {
  const bool binary = operands.b.has_value();
  const SmallValue& a = operands.a;
  const SmallValue& b = operands.same ? a : binary ? *operands.b : a;
  const int n = binary ? std::max(a.dimension, b.dimension) : a.dimension;

  Order general;
  const std::uint32_t ga = general.leaf(a, ValueKind::Parameter);
  const std::uint32_t gb =
      operands.same || !binary ? ga : general.leaf(b, operands.b_kind);
  const Entry whole = general.node(op, n, ga, gb);
  SmallValue value;
  const bool finite = evaluate_general_finite(whole, general.values, value);
  ASSERT_EQ(value.dimension, n);
  propagate(whole, kSeed, value, general.entries, general.values,
            general.adjoints);

  Order lanes;
  std::vector<std::uint32_t> la;
  std::vector<std::uint32_t> lb;
  for (int i = 0; i < (a.dimension == 1 ? 1 : n); ++i) {
    la.push_back(lanes.leaf(lane_of(a, i), ValueKind::Parameter, i));
  }
  if (binary && !operands.same) {
    for (int i = 0; i < (b.dimension == 1 ? 1 : n); ++i) {
      lb.push_back(lanes.leaf(lane_of(b, i), operands.b_kind, i));
    }
  } else {
    lb = la;
  }
  const auto at = [](const std::vector<std::uint32_t>& p, int i) {
    return p[p.size() == 1 ? 0 : static_cast<std::size_t>(i)];
  };
  bool all_finite = true;
  for (int i = 0; i < n; ++i) {
    SCOPED_TRACE(::testing::Message() << "lane " << i);
    const Entry one = lanes.node(op, 1, at(la, i), at(lb, i));
    SmallValue lane_value;
    all_finite =
        evaluate_entry_finite(one, lanes.values, lane_value) && all_finite;
    EXPECT_TRUE(same_bits(lane_value,
                          record({value.lanes[static_cast<std::size_t>(i)]})));
    const Adjoint g = {kSeed[static_cast<std::size_t>(i)], 0.0, 0.0, 0.0};
    propagate_entry(one, g, lane_value, lanes.entries, lanes.values,
                    lanes.adjoints);
  }
  EXPECT_EQ(finite, all_finite);

  const auto expect_adjoints =
      [&](std::uint32_t whole_position,
          const std::vector<std::uint32_t>& lane_positions) {
        for (std::size_t i = 0; i < lane_positions.size(); ++i) {
          const double expected = general.adjoints[whole_position][i];
          const double actual = lanes.adjoints[lane_positions[i]][0];
          EXPECT_TRUE(same_adjoint(actual, expected))
              << "adjoint lane " << i << ": " << bits(actual) << ", expected "
              << bits(expected);
        }
      };
  expect_adjoints(ga, la);
  if (binary && !operands.same) expect_adjoints(gb, lb);
}

// Folding the operation over Constants gives exactly what evaluating it over
// Parameters of the same lanes gives, or fails with the same message.
void expect_folding_matches_evaluation(ExpressionOp op,
                                       const Operands& operands) {
  const auto outcome = [&](bool fold) -> std::pair<SmallValue, std::string> {
    const auto leaf = [fold](const SmallValue& v) {
      return fold ? constant(v) : parameter(v, "p");
    };
    try {
      const Value a = leaf(operands.a);
      const Value r = operands.b ? binary_expression(op, a, leaf(*operands.b))
                                 : unary_expression(op, a);
      EXPECT_EQ(r.is_constant(), fold);
      return {fold ? r.value() : r.evaluate(), ""};
    } catch (const std::exception& e) {
      return {SmallValue{}, e.what()};
    }
  };
  const auto [folded, folded_error] = outcome(true);
  const auto [evaluated, evaluated_error] = outcome(false);
  EXPECT_EQ(folded_error, evaluated_error);
  EXPECT_TRUE(same_bits(folded, evaluated));
}

TEST(OperationTable,
     ShortcutsAndFoldingMatchTheGeneralKernelsForEveryOperation) {
  for (const ExpressionOp op : kOperations) {
    if (is_structural(op)) continue;
    SCOPED_TRACE(to_string(op));
    for (const double x : kAwkward) {
      for (const double y : kAwkward) {
        SCOPED_TRACE(::testing::Message() << "x " << x << ", y " << y);
        const SmallValue one = record({x});
        const SmallValue three = record({x, -y, y});
        std::vector<Operands> cases;
        if (arity(op) == 1) {
          cases = {{one, {}}, {three, {}}, {record({x, y, -x, -y}), {}}};
        } else {
          const SmallValue other_one = record({y});
          const SmallValue other_three = record({y, x, -x});
          const SmallValue other_four = record({y, x, -x, -y});
          const std::pair<SmallValue, SmallValue> layouts[] = {
              {one, other_one},
              {one, other_four},
              {three, other_one},
              {three, other_three}};
          for (const ValueKind kind :
               {ValueKind::Parameter, ValueKind::Constant}) {
            for (const auto& [a, b] : layouts) cases.push_back({a, b, kind});
          }
          cases.push_back({one, one, ValueKind::Parameter, true});
          cases.push_back({three, three, ValueKind::Parameter, true});
        }
        for (const Operands& operands : cases) {
          SCOPED_TRACE(
              ::testing::Message()
              << "a " << testing::describe(operands.a) << ", b "
              << (operands.b ? testing::describe(*operands.b) : "none")
              << (operands.b_kind == ValueKind::Constant ? ", a Constant" : "")
              << (operands.same ? ", the same operand" : ""));
          expect_shortcuts_match_general(op, operands);
          if (!operands.same && operands.b_kind == ValueKind::Parameter) {
            expect_folding_matches_evaluation(op, operands);
          }
        }
      }
    }
  }
}

// The one structural operation with a one-lane shortcut: a lane index in and
// out of range, of lanes finite and not.
TEST(OperationTable, ComponentShortcutMatchesTheGeneralKernel) {
  const double kInf = std::numeric_limits<double>::infinity();
  for (const SmallValue& v : {record({1.0, -0.0, 3.0}), record({kInf, 2.0})}) {
    for (int k = -1; k <= 3; ++k) {
      SCOPED_TRACE(::testing::Message()
                   << testing::describe(v) << ", lane " << k);
      Order order;
      Entry entry = order.node(ExpressionOp::Component, 1,
                               order.leaf(v, ValueKind::Parameter), 0);
      entry.component_index = k;
      const auto run =
          [&](bool shortcut) -> std::pair<SmallValue, std::string> {
        SmallValue out;
        try {
          const bool finite =
              shortcut ? evaluate_entry_finite(entry, order.values, out)
                       : evaluate_general_finite(entry, order.values, out);
          return {out, finite ? "" : "not finite"};
        } catch (const std::exception& e) {
          return {SmallValue{}, e.what()};
        }
      };
      const auto [fast, fast_error] = run(true);
      const auto [slow, slow_error] = run(false);
      EXPECT_EQ(fast_error, slow_error);
      if (fast_error.empty()) {
        EXPECT_TRUE(same_bits(fast, slow));
      }
    }
  }
}

// evaluate_entry_finite() reports exactly the non-finite results that
// evaluate_entry_into() throws for, and throws everything else as it does.
TEST(OperationTable, FiniteEntryReportsWhatTheThrowingEntryThrowsForNotFinite) {
  const Value undefined_leaf = undefined(1, "u");
  const struct {
    const char* label;
    SmallValue a;
    ExpressionOp op;
    int input_count;
    bool undefined;
    const char* error;  // of the throwing entry; nullptr: none
  } cases[] = {
      {"log 0", record({0.0}), ExpressionOp::Log, 1, false, kMsgNotFinite},
      {"exp 710 in lane 2", record({1.0, 710.0}), ExpressionOp::Exp, 1, false,
       kMsgNotFinite},
      {"sqrt -1 in one lane", record({-1.0}), ExpressionOp::Sqrt, 1, false,
       kMsgNotFinite},
      {"pow, finite", record({-2.0}), ExpressionOp::Pow, 2, false, nullptr},
      {"a value of no lanes", SmallValue{}, ExpressionOp::Sin, 1, false,
       kMsgBadDimension},
      {"an operand short", record({1.0}), ExpressionOp::Add, 1, false,
       "symbolic expression input index out of range"},
      {"no operation", record({1.0}), ExpressionOp::None, 1, false,
       "unsupported symbolic expression op"},
      {"an Undefined", record({1.0}), ExpressionOp::Sin, 1, true,
       "cannot evaluate symbolic graph with Undefined values"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.label);
    Order order;
    const std::uint32_t a = order.leaf(row.a, ValueKind::Parameter);
    const std::uint32_t b = order.leaf(record({3.0}), ValueKind::Parameter);
    Entry leaf = order.entries[a];
    leaf.kind = ValueKind::Undefined;
    leaf.node = detail::NodeAccess::get(undefined_leaf);
    Entry entry =
        row.undefined ? leaf : order.node(row.op, row.a.dimension, a, b);
    if (!row.undefined)
      entry.input_count = static_cast<std::int8_t>(row.input_count);
    const auto error_of = [](const std::function<void()>& call) -> std::string {
      try {
        call();
      } catch (const std::exception& e) {
        return e.what();
      }
      return "";
    };
    SmallValue out;
    const std::string thrown =
        error_of([&] { evaluate_entry_into(entry, order.values, out); });
    EXPECT_EQ(thrown, row.error ? row.error : "");
    bool finite = true;
    const std::string reported = error_of(
        [&] { finite = evaluate_entry_finite(entry, order.values, out); });
    if (thrown == kMsgNotFinite) {
      EXPECT_EQ(reported, "");
      EXPECT_FALSE(finite);
    } else {
      EXPECT_EQ(reported, thrown);
      if (reported.empty()) {
        EXPECT_TRUE(finite);
      }
    }
  }
}

// Both dispatches, the switch and the one that halves the list: every
// number of the enumeration's type reaches its own line of the list, or
// otherwise() for None and the numbers past the list.
TEST(OperationTable, DispatchReachesEachOperationAndNoOther) {
  const auto own = []<typename O>(O) { return static_cast<int>(O::kOp); };
  const auto none = [] { return -1; };
  for (int number = 0; number <= 255; ++number) {
    SCOPED_TRACE(number);
    const auto op = static_cast<ExpressionOp>(number);
    const bool in_list = number >= 1 && number <= std::ssize(kOperations);
    EXPECT_EQ(visit_operation(op, own, none), in_list ? number : -1);
    EXPECT_EQ(visit_operation_by_halving(op, own, none), in_list ? number : -1);
  }
}

}  // namespace
}  // namespace quoril::symbolic

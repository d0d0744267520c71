#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "symbolic/function.h"
#include "symbolic/graph.h"
#include "symbolic/value.h"
#include "test_util.h"

namespace quoril::symbolic {
namespace {

using testing::fails_with;

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() &&
         std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// Rows of a one-lane input t, a two-lane input p (given as Parameters, so
// that the same graph can be run row by row through set_value), and a
// Parameter that stays out of the data.
TEST(RowProgram, RowsMatchSetValueAndJacobianIntoBitForBit) {
  const Value t = parameter(0.0, "t");
  const Value p = parameter(0.0, 0.0, "p");
  const Value a = parameter(1.3, "a");
  const Value b = parameter(-0.4, 2.0, "b");
  const Value shared = exp(-a * t) * sin(b * p);
  const std::vector<Value> outputs{shared - 0.5, component(shared, 1) * t + a,
                                   atan2(p, b + t) * shared};
  const std::vector<Value> params{b, a, p};
  const std::vector<double> ts{0.1, -2.0, 3.5, 0.0};
  const std::vector<double> ps{1.0, 2.0, -0.5, 0.25, 4.0, 1e-3, 7.0, -3.0};
  const std::vector<RowInput> data{{ts.data(), 1}, {ps.data(), 2}};
  const std::size_t count = ts.size();

  RowProgram program(std::vector<Value>{t, p}, outputs, params);
  const std::size_t rows = program.rows();
  const std::size_t cols = program.cols();
  ASSERT_EQ(rows, 5u);
  ASSERT_EQ(cols, 5u);
  std::vector<double> lanes(count * rows), jac(count * rows * cols);
  std::vector<double> only_lanes(count * rows);
  program.jacobian(count, data, lanes, jac);
  program.evaluate(count, data, only_lanes);

  std::vector<double> expected_lanes, expected_jac;
  for (std::size_t i = 0; i < count; ++i) {
    t.set_value(small_value(ts[i]));
    p.set_value(small_value(ps[2 * i], ps[2 * i + 1]));
    std::vector<double> l(rows), j(rows * cols);
    jacobian_into(outputs, params, l, j);
    expected_lanes.insert(expected_lanes.end(), l.begin(), l.end());
    expected_jac.insert(expected_jac.end(), j.begin(), j.end());
  }
  EXPECT_TRUE(same_bits(lanes, expected_lanes));
  EXPECT_TRUE(same_bits(only_lanes, expected_lanes));
  EXPECT_TRUE(same_bits(jac, expected_jac));

  // A stride of 0 gives every row one value; the Parameter that is no input
  // is read at each call, never written.
  t.set_value(small_value(9.0));
  a.set_value(small_value(0.8));
  const double one_t = 0.1;
  std::vector<double> broadcast(count * rows);
  program.evaluate(count, std::vector<RowInput>{{&one_t, 0}, {ps.data(), 2}},
                   broadcast);
  for (std::size_t i = 0; i < count; ++i) {
    t.set_value(small_value(one_t));
    p.set_value(small_value(ps[2 * i], ps[2 * i + 1]));
    std::vector<double> l(rows);
    evaluate_into(outputs, l);
    EXPECT_TRUE(
        same_bits(std::vector<double>(
                      broadcast.begin() + static_cast<long>(i * rows),
                      broadcast.begin() + static_cast<long>((i + 1) * rows)),
                  l));
  }
  EXPECT_EQ(a.value()[0], 0.8);
  EXPECT_FALSE(a.has_grad());
}

TEST(RowProgram, UndefinedInputsAndFailuresCarryTheRow) {
  const Value x = undefined(1, "x");
  const Value y = undefined(1, "y");
  const Value stray = undefined(1, "stray");
  const Value k = parameter(2.0, "k");
  const std::vector<double> xs{1.0, 4.0, -1.0};
  const std::vector<double> ys{2.0, 0.5, 3.0};
  const std::vector<RowInput> data{{xs.data(), 1}, {ys.data(), 1}};

  RowProgram roots(std::vector<Value>{x, y},
                   std::vector<Value>{sqrt(x) * k - y}, std::vector<Value>{k});
  std::vector<double> lanes(3, 0.0), jac(3, 0.0);
  // sqrt(-1) in row 2: the message is the evaluation's own, and the rows
  // already computed are not left behind.
  EXPECT_THROW_MSG(roots.jacobian(3, data, lanes, jac), std::invalid_argument,
                   "row 2: symbolic value lanes must be finite");
  for (const double d : lanes) EXPECT_TRUE(std::isnan(d));
  for (const double d : jac) EXPECT_TRUE(std::isnan(d));
  EXPECT_EQ(roots.try_jacobian(3, data, lanes, jac),
            EvaluationStatus::NotFinite);
  EXPECT_EQ(roots.try_evaluate(2, data, std::span(lanes).first(2)),
            EvaluationStatus::Finite);
  EXPECT_EQ(lanes[1], 2.0 * 2.0 - 0.5);

  RowProgram unlisted(std::vector<Value>{x}, std::vector<Value>{x + stray},
                      std::vector<Value>{});
  EXPECT_THROW_MSG(
      unlisted.evaluate(3, std::vector<RowInput>{{xs.data(), 1}}, lanes),
      std::logic_error,
      "row 0: cannot evaluate symbolic graph with Undefined values");
  const double inf = INFINITY;
  EXPECT_THROW_MSG(
      roots.evaluate(1, std::vector<RowInput>{{&inf, 0}, {&inf, 0}},
                     std::span(lanes).first(1)),
      std::invalid_argument, "row 0: symbolic value lanes must be finite");
}

// Rows go in blocks; a row that fails after whole blocks have been written
// must still be the one named, with nothing of the others left behind, and
// the tolerant calls must see it too.
TEST(RowProgram, FailureAfterWholeBlocksCarriesItsRow) {
  const Value x = undefined(1, "x");
  const Value k = parameter(2.0, "k");
  RowProgram program(std::vector<Value>{x}, std::vector<Value>{sqrt(x) * k},
                     std::vector<Value>{k});
  const std::size_t count = 300;
  std::vector<double> xs(count, 4.0);
  xs[200] = -1.0;
  const std::vector<RowInput> data{{xs.data(), 1}};
  std::vector<double> lanes(count), jac(count);
  EXPECT_THROW_MSG(program.jacobian(count, data, lanes, jac),
                   std::invalid_argument,
                   "row 200: symbolic value lanes must be finite");
  for (const double d : lanes) EXPECT_TRUE(std::isnan(d));
  for (const double d : jac) EXPECT_TRUE(std::isnan(d));
  EXPECT_EQ(program.try_evaluate(count, data, lanes),
            EvaluationStatus::NotFinite);
  EXPECT_EQ(program.try_jacobian(count, data, lanes, jac),
            EvaluationStatus::NotFinite);
  EXPECT_EQ(program.try_jacobian(200, data, std::span(lanes).first(200),
                                 std::span(jac).first(200)),
            EvaluationStatus::Finite);
  EXPECT_EQ(lanes[199], 4.0);
  EXPECT_EQ(jac[199], 2.0);

  // The data check itself, over whole blocks and then row by row, and
  // with the rows further apart than their lanes.
  EXPECT_EQ(first_row_not_finite(count, data[0], 1), count);
  xs[250] = NAN;
  EXPECT_EQ(first_row_not_finite(count, data[0], 1), 250u);
  EXPECT_EQ(first_row_not_finite(count / 2, {xs.data(), 2}, 1), 125u);
  xs[250] = 4.0;
  xs[251] = NAN;
  EXPECT_EQ(first_row_not_finite(count / 2, {xs.data(), 2}, 1), count / 2);
  EXPECT_EQ(first_row_not_finite(count / 2, {xs.data(), 2}, 2), 125u);
}

TEST(RowProgram, RefusesBadInputsAndBuffersBeforeComputing) {
  const Value x = undefined(1, "x");
  const Value k = parameter(2.0, "k");
  const Value out = x * k;
  const double one = 1.0;
  RowProgram program(std::vector<Value>{x}, std::vector<Value>{out},
                     std::vector<Value>{k});
  std::vector<double> lanes(2), jac(2);
  EXPECT_THROW_MSG(RowProgram(std::vector<Value>{x * k},
                              std::vector<Value>{out}, std::vector<Value>{k}),
                   std::invalid_argument,
                   "function inputs must be Parameters or Undefined");
  EXPECT_THROW_MSG(RowProgram(std::vector<Value>{constant(1.0)},
                              std::vector<Value>{out}, std::vector<Value>{k}),
                   std::invalid_argument,
                   "function inputs must be Parameters or Undefined");
  EXPECT_THROW_MSG(RowProgram(std::vector<Value>{x, x}, std::vector<Value>{out},
                              std::vector<Value>{k}),
                   std::invalid_argument, "function input given twice");
  EXPECT_THROW_MSG(RowProgram(std::vector<Value>{x}, std::vector<Value>{out},
                              std::vector<Value>{k, k}),
                   std::invalid_argument, "jacobian Parameter given twice");
  EXPECT_THROW_MSG(program.evaluate(2, {}, lanes), std::invalid_argument,
                   "row data do not match the function's inputs");
  EXPECT_THROW_MSG(program.evaluate(3, std::vector<RowInput>{{&one, 0}}, lanes),
                   std::invalid_argument,
                   "output buffer does not match rows and lanes");
  EXPECT_THROW_MSG(
      program.jacobian(2, std::vector<RowInput>{{&one, 0}}, lanes,
                       std::span(jac).first(1)),
      std::invalid_argument,
      "jacobian buffer does not match rows, outputs and Parameters");
}

}  // namespace
}  // namespace quoril::symbolic

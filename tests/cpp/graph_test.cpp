#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "symbolic/graph.h"
#include "symbolic/solve.h"
#include "symbolic/value.h"
#include "test_util.h"

namespace quoril::symbolic {
namespace {

using testing::fails_with;

// Central differences of the outputs' lanes in every Parameter lane.
std::vector<double> numeric_jacobian(const std::vector<Value>& outputs,
                                     const std::vector<Value>& params) {
  const std::size_t rows = lane_count(outputs);
  const std::size_t cols = lane_count(params);
  std::vector<double> result(rows * cols);
  std::vector<double> plus(rows), minus(rows);
  std::size_t col = 0;
  for (const Value& p : params) {
    for (int k = 0; k < p.dimension(); ++k, ++col) {
      const SmallValue at = p.value();
      SmallValue moved = at;
      const double h = 1e-6 * std::max(1.0, std::abs(at[k]));
      moved.lanes[static_cast<std::size_t>(k)] = at[k] + h;
      p.set_value(moved);
      evaluate_into(outputs, plus);
      moved.lanes[static_cast<std::size_t>(k)] = at[k] - h;
      p.set_value(moved);
      evaluate_into(outputs, minus);
      p.set_value(at);
      for (std::size_t r = 0; r < rows; ++r) {
        result[r * cols + col] = (plus[r] - minus[r]) / (2 * h);
      }
    }
  }
  return result;
}

TEST(Jacobian, MatchesFiniteDifferencesAndLeavesGradientsAlone) {
  const Value a = parameter(0.7, "a");
  const Value v = parameter(1.5, -0.5, 2.0, "v");
  const Value unused = parameter(4.0, "unused");
  const Value shared = sin(a) * v;  // reached by two outputs
  const std::vector<Value> outputs{
      shared + exp(-a), atan2(component(v, 1), a),
      pow(abs(v) + 1.0, a) * shared, sqrt(a * a + 1.0),
      // Outputs that earlier outputs already reached, or repeat.
      shared, sin(a) * v - shared};
  const std::vector<Value> repeated{outputs[0], outputs[0]};
  const std::vector<Value> params{v, unused, a};
  // Gradients left by an earlier pass must neither leak in nor change.
  outputs[0].backward(small_value(1.0, 1.0, 1.0));
  const SmallValue grad_before = a.grad();

  std::vector<double> lanes(lane_count(outputs));
  std::vector<double> jacobian(lanes.size() * lane_count(params));
  jacobian_into(outputs, params, lanes, jacobian);
  const std::vector<double> expected = numeric_jacobian(outputs, params);
  ASSERT_EQ(jacobian.size(), 14u * 5u);
  for (std::size_t i = 0; i < jacobian.size(); ++i) {
    EXPECT_NEAR(jacobian[i], expected[i], 1e-7) << "entry " << i;
  }
  for (std::size_t r = 0; r < 14; ++r) EXPECT_EQ(jacobian[r * 5 + 3], 0.0);
  std::vector<double> twice(2 * 3 * 5);
  jacobian_into(repeated, params, {}, twice);
  for (std::size_t i = 0; i < 15; ++i) {
    EXPECT_EQ(twice[i], jacobian[i]);
    EXPECT_EQ(twice[15 + i], jacobian[i]);
  }
  std::vector<double> values(lanes.size());
  evaluate_into(outputs, values);
  EXPECT_EQ(lanes, values);
  EXPECT_TRUE(testing::same_bits(a.grad(), grad_before));
  EXPECT_FALSE(unused.has_grad());
}

TEST(Jacobian, RefusesBadColumnsAndBuffersBeforeEvaluating) {
  const Value p = parameter(1.0, "p");
  const Value u = undefined(1, "u");
  const std::vector<Value> outputs{p + u};
  double buffer[2] = {};
  const auto& bad = typeid(std::invalid_argument);
  EXPECT_TRUE(fails_with(
      [&] {
        jacobian_into(outputs, std::vector<Value>{p + 1.0}, {}, {buffer, 1});
      },
      bad, "jacobian columns must be Parameters"));
  EXPECT_TRUE(fails_with(
      [&] {
        jacobian_into(outputs, std::vector<Value>{p, p}, {}, {buffer, 2});
      },
      bad, "jacobian Parameter given twice"));
  EXPECT_TRUE(fails_with(
      [&] {
        jacobian_into(outputs, std::vector<Value>{p}, {}, {buffer, 2});
      },
      bad, "jacobian buffer does not match outputs and Parameters"));
  EXPECT_TRUE(fails_with(
      [&] {
        jacobian_into(outputs, std::vector<Value>{p}, {}, {buffer, 1});
      },
      typeid(std::logic_error),
      "cannot evaluate symbolic graph with Undefined values"));
}

TEST(JacobianProgram, MatchesJacobianIntoBitForBitAsParametersMove) {
  const Value a = parameter(0.7, "a");
  const Value v = parameter(1.5, -0.5, 2.0, "v");
  const Value unused = parameter(4.0, "unused");
  const Value shared = sin(a) * v;
  const std::vector<Value> outputs{
      shared + exp(-a), atan2(component(v, 1), a), log(a) * shared,
      sqrt(a * a + 1.0), shared, component(v, 2) / a - cos(a), v - a,
      // A Parameter as an output, which earlier outputs reached.
      v};
  const std::vector<Value> params{v, unused, a};
  JacobianProgram program(outputs, params);
  ASSERT_EQ(program.rows(), 18u);
  ASSERT_EQ(program.cols(), 5u);
  std::vector<double> lanes(18), jacobian(90), values(18);
  std::vector<double> expected_lanes(18), expected(90);
  // The last point fails (log of a negative number) as the walk fails; the
  // point after it is exact again.
  for (const double at : {0.7, 2.5, -0.3, 1.1}) {
    a.set_value(small_value(at));
    v.set_value(small_value(at, 2.0 * at, -at));
    if (at < 0.0) {
      const auto& bad = typeid(std::invalid_argument);
      EXPECT_TRUE(fails_with([&] { program.jacobian(lanes, jacobian); }, bad,
                             "symbolic value lanes must be finite"));
      EXPECT_TRUE(fails_with([&] { program.evaluate(values); }, bad,
                             "symbolic value lanes must be finite"));
      continue;
    }
    program.jacobian(lanes, jacobian);
    program.evaluate(values);
    jacobian_into(outputs, params, expected_lanes, expected);
    EXPECT_EQ(jacobian, expected) << "at " << at;
    EXPECT_EQ(lanes, expected_lanes) << "at " << at;
    EXPECT_EQ(values, expected_lanes) << "at " << at;
  }
  EXPECT_FALSE(a.has_grad());
}

TEST(JacobianProgram, RefusesWhatJacobianIntoRefuses) {
  const Value p = parameter(1.0, "p");
  const Value u = undefined(1, "u");
  const std::vector<Value> outputs{p + u};
  const auto& bad = typeid(std::invalid_argument);
  EXPECT_TRUE(
      fails_with([&] { JacobianProgram(outputs, std::vector<Value>{p * 2.0}); },
                 bad, "jacobian columns must be Parameters"));
  EXPECT_TRUE(fails_with(
      [&] {
        JacobianProgram(outputs, std::vector<Value>{p, p});
      },
      bad, "jacobian Parameter given twice"));
  // An Undefined is an evaluation error, met when the program runs.
  JacobianProgram program(outputs, std::vector<Value>{p});
  double buffer[2] = {};
  EXPECT_TRUE(fails_with(
      [&] {
        program.jacobian({}, {buffer, 2});
      },
      bad, "jacobian buffer does not match outputs and Parameters"));
  EXPECT_TRUE(fails_with(
      [&] {
        program.evaluate({buffer, 2});
      },
      bad, "output buffer does not match the outputs' lanes"));
  EXPECT_TRUE(fails_with(
      [&] {
        program.jacobian({}, {buffer, 1});
      },
      typeid(std::logic_error),
      "cannot evaluate symbolic graph with Undefined values"));
}

TEST(Trace, ListsEachNodeOnceAndMarksTheFirstFailure) {
  const Value p = parameter(2.0, "p");
  const Value shared = p * p;
  const Value bad = log(p - 2.0);  // log 0
  const std::vector<Value> roots{shared + bad, shared};
  const GraphTrace t = trace(roots, true, 100);
  // p, p*p, 2, p-2, log, add
  ASSERT_EQ(t.total, 6u);
  ASSERT_EQ(t.nodes.size(), 6u);
  EXPECT_TRUE(t.nodes.back().same_node(roots[0]));
  EXPECT_TRUE(t.failed.same_node(bad));
  ASSERT_TRUE(t.error);
  EXPECT_TRUE(fails_with([&] { std::rethrow_exception(t.error); },
                         typeid(std::invalid_argument),
                         "symbolic value lanes must be finite"));
  std::size_t with_values = 0;
  for (const auto& v : t.values) with_values += v.has_value();
  EXPECT_EQ(with_values, 4u);  // everything before the log
  for (std::size_t i = 0; i < t.nodes.size(); ++i) {
    for (int k = 0; k < t.nodes[i].input_count(); ++k) {
      const auto at = t.inputs[i][static_cast<std::size_t>(k)];
      ASSERT_GE(at, 0);
      ASSERT_LT(static_cast<std::size_t>(at), i);  // inputs come first
      EXPECT_TRUE(
          t.nodes[static_cast<std::size_t>(at)].same_node(t.nodes[i].input(k)));
    }
  }
}

TEST(Trace, KeepsTheNodesNearestTheRootsOfADeepChain) {
  Value y = parameter(0.5, "x");
  for (int i = 0; i < 200000; ++i) y = sin(y);
  const std::vector<Value> roots{y};
  const GraphTrace t = trace(roots, false, 3);
  EXPECT_EQ(t.total, 200001u);
  ASSERT_EQ(t.nodes.size(), 3u);
  EXPECT_TRUE(t.nodes[2].same_node(y));
  EXPECT_EQ(t.inputs[0][0], -1);  // cut off
  EXPECT_EQ(t.inputs[1][0], 0);
  EXPECT_FALSE(t.values[2].has_value());
}

// Levenberg-Marquardt: over- and under-determined problems, bounds, and a
// trial point where the residuals are not finite.
TEST(LevenbergMarquardt, SolvesSmallProblems) {
  {  // a circle through three points: centre (1, 2), radius 3
    const Value c = parameter(0.0, 0.0, "c");
    const Value r = parameter(1.0, "r");
    std::vector<Value> residuals;
    for (double t : {0.1, 1.7, 3.9, 5.0}) {
      const Value d =
          c - constant(1.0 + 3.0 * std::cos(t), 2.0 + 3.0 * std::sin(t));
      residuals.push_back(sqrt(component(d, 0) * component(d, 0) +
                               component(d, 1) * component(d, 1)) -
                          r);
    }
    const LeastSquaresResult result =
        levenberg_marquardt(residuals, std::vector<Value>{c, r}, {});
    EXPECT_NEAR(result.x[0], 1.0, 1e-9);
    EXPECT_NEAR(result.x[1], 2.0, 1e-9);
    EXPECT_NEAR(std::abs(result.x[2]), 3.0, 1e-9);
    EXPECT_EQ(c.value()[0], result.x[0]);
    EXPECT_GE(result.cost_history.size(), 2u);
    EXPECT_LE(result.cost_history.back(), result.cost_history.front());
  }
  {  // one equation in two unknowns, with a bound that holds one of them
    const Value a = parameter(0.0, "a");
    const Value b = parameter(0.0, "b");
    LeastSquaresOptions options;
    options.lower = {-10.0, 0.5};
    options.upper = {10.0, 10.0};
    const LeastSquaresResult result = levenberg_marquardt(
        std::vector<Value>{a + b - 3.0}, std::vector<Value>{a, b}, options);
    EXPECT_NEAR(result.x[0] + result.x[1], 3.0, 1e-9);
    EXPECT_GE(result.x[1], 0.5);
  }
  {  // log(x) = 1 from x = 5: a full step would go below zero
    const Value x = parameter(5.0, "x");
    const LeastSquaresResult result =
        levenberg_marquardt(std::vector<Value>{log(x) - 1.0, 0.01 * (x - 1.0)},
                            std::vector<Value>{x}, {});
    EXPECT_GT(result.x[0], 2.0);
    EXPECT_LT(result.x[0], 3.0);
  }
}

TEST(LevenbergMarquardt, RefusesBadProblems) {
  const Value p = parameter(1.0, "p");
  const auto& bad = typeid(std::invalid_argument);
  LeastSquaresOptions crossed;
  crossed.lower = {2.0};
  crossed.upper = {1.0};
  EXPECT_TRUE(fails_with(
      [&] {
        levenberg_marquardt(std::vector<Value>{p - 1.0}, std::vector<Value>{p},
                            crossed);
      },
      bad, "lower bound above upper bound"));
  EXPECT_TRUE(
      fails_with([&] { levenberg_marquardt({}, std::vector<Value>{p}, {}); },
                 bad, "least squares needs at least one residual"));
  EXPECT_TRUE(fails_with(
      [&] {
        levenberg_marquardt(std::vector<Value>{log(p - 1.0)},
                            std::vector<Value>{p}, {});
      },
      bad, "symbolic value lanes must be finite"));
  EXPECT_EQ(p.value()[0], 1.0);
}

}  // namespace
}  // namespace quoril::symbolic

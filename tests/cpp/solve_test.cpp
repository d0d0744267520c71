#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "symbolic/function.h"
#include "symbolic/solve.h"
#include "symbolic/value.h"
#include "test_util.h"

namespace quoril::symbolic {
namespace {

using testing::fails_with;

// A decaying exponential sampled at a few points, with noise that leaves
// non-zero residuals at the solution.
const std::vector<double> kTimes{0.0, 0.5, 1.0, 1.5, 2.0, 3.0, 4.0};
const std::vector<double> kSamples{2.02, 1.19, 0.75, 0.43, 0.29, 0.09, 0.05};

Value decay(const Value& a, const Value& b, const Value& t) {
  return a * exp(-b * t);
}

// The same fit as one graph with the data as Constants, the way it was
// written before rows existed: the two must take the same steps.
TEST(LevenbergMarquardtRows, MatchesOneGraphPerPoint) {
  for (int bounded = 0; bounded < 2; ++bounded) {
    SCOPED_TRACE(bounded);
    LeastSquaresOptions options;
    if (bounded) {
      options.lower = {-10.0, 1.1};
      options.upper = {10.0, 5.0};
    }
    const Value a = parameter(1.0, "a");
    const Value b = parameter(2.0, "b");
    std::vector<Value> per_point;
    for (std::size_t i = 0; i < kTimes.size(); ++i) {
      per_point.push_back(decay(a, b, constant(kTimes[i])) - kSamples[i]);
    }
    const LeastSquaresResult graph =
        levenberg_marquardt(per_point, std::vector<Value>{a, b}, options);

    a.set_value(small_value(1.0));
    b.set_value(small_value(2.0));
    const Value t = undefined(1, "t");
    const Value y = undefined(1, "y");
    RowProgram program(std::vector<Value>{t, y},
                       std::vector<Value>{decay(a, b, t) - y},
                       std::vector<Value>{a, b});
    const std::vector<RowInput> data{{kTimes.data(), 1}, {kSamples.data(), 1}};
    const LeastSquaresResult rows =
        levenberg_marquardt(program, kTimes.size(), data, options);

    EXPECT_EQ(rows.x, graph.x);
    EXPECT_EQ(rows.fun, graph.fun);
    EXPECT_EQ(rows.jac, graph.jac);
    EXPECT_EQ(rows.nfev, graph.nfev);
    EXPECT_EQ(rows.status, graph.status);
    EXPECT_EQ(rows.cost_history, graph.cost_history);
    EXPECT_EQ(a.value()[0], rows.x[0]);
    EXPECT_EQ(b.value()[0], rows.x[1]);
  }
}

// The hook sees every accepted step with the Parameters at its x, and a throw
// leaves the Parameters at the last accepted point. Stopping is tested through
// the package, whose callback wrapper is the hook's one user.
TEST(LevenbergMarquardtRows, CallbackSeesEveryAcceptedStep) {
  const Value a = parameter(1.0, "a");
  const Value b = parameter(2.0, "b");
  const Value t = undefined(1, "t");
  const Value y = undefined(1, "y");
  RowProgram program(std::vector<Value>{t, y},
                     std::vector<Value>{decay(a, b, t) - y},
                     std::vector<Value>{a, b});
  const std::vector<RowInput> data{{kTimes.data(), 1}, {kSamples.data(), 1}};

  std::vector<double> costs;
  LeastSquaresOptions options;
  options.callback = [&](const LeastSquaresIteration& state) {
    EXPECT_EQ(state.iteration, static_cast<int>(costs.size()) + 1);
    EXPECT_EQ(state.fun.size(), kTimes.size());
    EXPECT_EQ(state.jac.size(), 2 * kTimes.size());
    EXPECT_EQ(a.value()[0], state.x[0]);
    EXPECT_EQ(b.value()[0], state.x[1]);
    costs.push_back(state.cost);
    return false;
  };
  const LeastSquaresResult full =
      levenberg_marquardt(program, kTimes.size(), data, options);
  ASSERT_GE(full.cost_history.size(), 3u);
  EXPECT_EQ(costs, std::vector<double>(full.cost_history.begin() + 1,
                                       full.cost_history.end()));

  a.set_value(small_value(1.0));
  b.set_value(small_value(2.0));
  std::vector<double> last;
  options.callback = [&](const LeastSquaresIteration& state) -> bool {
    last.assign(state.x.begin(), state.x.end());
    if (state.iteration == 2) throw std::runtime_error("enough");
    return false;
  };
  EXPECT_TRUE(fails_with(
      [&] { levenberg_marquardt(program, kTimes.size(), data, options); },
      typeid(std::runtime_error), "enough"));
  EXPECT_EQ(a.value()[0], last[0]);
  EXPECT_EQ(b.value()[0], last[1]);
}

TEST(LevenbergMarquardtRows, RefusesBadProblems) {
  const Value p = parameter(1.0, "p");
  const Value t = undefined(1, "t");
  RowProgram program(std::vector<Value>{t}, std::vector<Value>{log(p - t)},
                     std::vector<Value>{p});
  const std::vector<double> ts{0.0, 2.0, 0.5};
  const std::vector<RowInput> data{{ts.data(), 1}};
  const auto& bad = typeid(std::invalid_argument);
  EXPECT_TRUE(fails_with([&] { levenberg_marquardt(program, 0, data, {}); },
                         bad, "least squares needs at least one residual"));
  EXPECT_TRUE(fails_with([&] { levenberg_marquardt(program, 3, data, {}); },
                         bad, "row 1: symbolic value lanes must be finite"));
  EXPECT_EQ(p.value()[0], 1.0);
}

}  // namespace
}  // namespace quoril::symbolic

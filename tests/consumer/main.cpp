// Builds y = p * p + 1 and a few of the core's later operations through the
// installed headers and library, and checks values, gradients, a Jacobian and
// a least-squares solve.
#include <cmath>
#include <cstdio>
#include <vector>

#include "symbolic/graph.h"
#include "symbolic/solve.h"
#include "symbolic/value.h"

int main() {
  namespace qs = quoril::symbolic;
  const qs::Value p = qs::parameter(3.0, "p");
  const qs::Value y = p * p + 1.0;

  const qs::SmallValue result = y.evaluate();
  y.backward();
  const qs::SmallValue grad = p.grad();
  if (result.dimension != 1 || result[0] != 10.0 || grad.dimension != 1 ||
      grad[0] != 6.0) {
    std::printf("unexpected result: y = %g, dy/dp = %g\n", result[0], grad[0]);
    return 1;
  }
  std::printf("y = %g, dy/dp = %g\n", result[0], grad[0]);

  // d/dp sqrt(exp(p)) = sqrt(exp(p)) / 2.
  const qs::Value z = qs::sqrt(qs::exp(p));
  const std::vector<qs::Value> outputs{z};
  const std::vector<qs::Value> params{p};
  double jacobian = 0.0;
  qs::jacobian_into(outputs, params, {}, {&jacobian, 1});
  if (std::abs(jacobian - std::exp(1.5) / 2) > 1e-12) {
    std::printf("unexpected jacobian: %g\n", jacobian);
    return 1;
  }

  // p * p = 2 solves to p = sqrt(2) from p = 3.
  const std::vector<qs::Value> residuals{p * p - 2.0};
  const qs::LeastSquaresResult solved =
      qs::levenberg_marquardt(residuals, params, {});
  if (std::abs(solved.x[0] - std::sqrt(2.0)) > 1e-9) {
    std::printf("unexpected solution: %g\n", solved.x[0]);
    return 1;
  }
  std::printf("d sqrt(exp p)/dp = %g, solution %g\n", jacobian, solved.x[0]);
  return 0;
}

// Builds y = p * p + 1 through the installed headers and library, evaluates it
// at p = 3 and checks the value and the gradient dy/dp = 2p.
#include <cstdio>

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
  return 0;
}

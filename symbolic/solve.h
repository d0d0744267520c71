#ifndef QUORIL_SYMBOLIC_SOLVE_H_
#define QUORIL_SYMBOLIC_SOLVE_H_

// A Levenberg-Marquardt least-squares solver over a graph's residuals and
// its exact Jacobian, for small dense problems: every iteration runs in
// process, with no call back into the caller.

#include <span>
#include <vector>

#include "symbolic/value.h"

namespace quoril::symbolic {

struct LeastSquaresOptions {
  // Bounds per Parameter lane (in the order of the Parameters, each one's
  // lanes in order); empty for none, +-infinity for an unbounded lane.
  std::vector<double> lower;
  std::vector<double> upper;
  // Stop when an accepted step lowers the cost by less than ftol times the
  // cost, when the step is shorter than xtol * (xtol + |x|), or when the
  // cosine between the residuals and every free Jacobian column is at most
  // gtol (always so at zero residuals).
  double ftol = 1e-8;
  double xtol = 1e-8;
  double gtol = 1e-8;
  // Residual evaluations allowed; 0 means 100 per Parameter lane.
  int max_nfev = 0;
};

enum class LeastSquaresStatus {
  MaxEvaluations = 0,
  Gradient = 1,
  Cost = 2,
  Step = 3,
  CostAndStep = 4,
};

struct LeastSquaresResult {
  std::vector<double> x;    // the solution, per Parameter lane
  std::vector<double> fun;  // the residual lanes there
  std::vector<double> jac;  // their Jacobian there, row-major
  int nfev = 0;             // residual evaluations
  int njev = 0;             // Jacobian evaluations
  LeastSquaresStatus status = LeastSquaresStatus::MaxEvaluations;
  // Half the sum of squared residuals at the start and after every
  // accepted step.
  std::vector<double> cost_history;
};

// Minimises half the sum of the squared residual lanes over the lanes of
// `params`, starting from their current values (clipped into the bounds),
// and leaves the Parameters holding the solution. A trial point whose
// evaluation is not finite is a rejected step. Any number of residual lanes
// works, fewer than the unknowns included.
//
// Throws std::invalid_argument for a non-Parameter or repeated Parameter,
// bounds of the wrong size or with a lower above an upper, an empty residual
// list, or residuals or a Jacobian that are not finite at the start; then
// whatever evaluation throws other than a non-finite value. On a throw the
// Parameters may hold a trial point; the caller restores them.
LeastSquaresResult levenberg_marquardt(std::span<const Value> residuals,
                                       std::span<const Value> params,
                                       const LeastSquaresOptions& options);

}  // namespace quoril::symbolic

#endif  // QUORIL_SYMBOLIC_SOLVE_H_

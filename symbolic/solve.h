#ifndef QUORIL_SYMBOLIC_SOLVE_H_
#define QUORIL_SYMBOLIC_SOLVE_H_

// A Levenberg-Marquardt least-squares solver over a graph's residuals and
// its exact Jacobian, or over a row program's residuals for many rows of
// data, for problems with few unknowns: every iteration runs in process,
// calling back into the caller only through the optional per-iteration hook.

#include <cstddef>
#include <functional>
#include <span>
#include <vector>

#include "symbolic/function.h"
#include "symbolic/value.h"

namespace quoril::symbolic {

// The solver's state after an accepted step, valid only during the call.
struct LeastSquaresIteration {
  std::span<const double> x;    // per Parameter lane
  std::span<const double> fun;  // the residual lanes at x
  std::span<const double> jac;  // their Jacobian at x, row-major
  double cost = 0.0;            // half the sum of squared residuals
  int iteration = 0;            // accepted steps so far, this one included
  int nfev = 0;
  int njev = 0;
};

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
  // Called after every accepted step, with the Parameters holding x. It
  // returns true to stop the solve there (status Stopped); what it throws
  // leaves the solve with the Parameters at x.
  std::function<bool(const LeastSquaresIteration&)> callback;
};

enum class LeastSquaresStatus {
  MaxEvaluations = 0,
  Gradient = 1,
  Cost = 2,
  Step = 3,
  CostAndStep = 4,
  Stopped = -2,
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

// As above over `count` rows of `data` through `program`: the residuals are
// the program's lanes of every row, row after row (count * rows() in all),
// and the unknowns its Parameters. Memory grows with count only by the
// residuals, their Jacobian and the step's least-squares system. Throws as
// above, std::invalid_argument for no rows, and what the program throws for
// data that do not match it or for a start that cannot be evaluated (with
// the row).
LeastSquaresResult levenberg_marquardt(RowProgram& program, std::size_t count,
                                       std::span<const RowInput> data,
                                       const LeastSquaresOptions& options);

}  // namespace quoril::symbolic

#endif  // QUORIL_SYMBOLIC_SOLVE_H_

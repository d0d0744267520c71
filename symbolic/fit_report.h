#ifndef QUORIL_SYMBOLIC_FIT_REPORT_H_
#define QUORIL_SYMBOLIC_FIT_REPORT_H_

// The plain-text summary of a least-squares fit that a person reads at a
// glance: how the solve ended, one line per lane, the strong correlations.

#include <cstdint>
#include <span>
#include <string>

namespace quoril::symbolic {

// Correlations at most this large in size are left out of the report.
inline constexpr double kReportCorrelation = 0.1;

struct FitSummary {
  std::string method;
  bool converged = false;
  std::int64_t evaluations = 0;
  std::int64_t residual_lanes = 0;
  std::int64_t dof = 0;  // residual lanes minus free lanes
  double chisqr = 0.0;
  double redchi = 0.0;
  bool absolute_sigma = false;
};

// Per lane of the fit, in the order of its solution.
struct FitLanes {
  std::span<const std::string> labels;
  std::span<const double> value;
  std::span<const double> standard_error;
  std::span<const bool> free;
  std::span<const bool> at_bound;
  std::span<const double> correlation;  // lanes x lanes, row-major
};

// Returns the report: the solve's method, status and evaluations; residual
// and free lanes and dof; chisqr and redchi; a line per lane with its value,
// standard error and relative error, marked where it is fixed by bounds,
// not determined (infinite error) or at a bound; then the correlations above
// kReportCorrelation in size, largest first. Numbers are formatted as
// printf's %g and %f would. Throws std::invalid_argument when the lane
// fields disagree in size or there are no lanes.
std::string fit_report(const FitSummary& summary, const FitLanes& lanes);

}  // namespace quoril::symbolic

#endif  // QUORIL_SYMBOLIC_FIT_REPORT_H_

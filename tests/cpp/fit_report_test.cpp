#include "symbolic/fit_report.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace quoril::symbolic {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Every kind of lane line, a label wider than the column's minimum that is
// padded by code points, and correlations that must be sorted by size, then
// by value, with NaN and small ones left out.
TEST(FitReport, LaysOutEveryKindOfLane) {
  const std::vector<std::string> labels = {"amplitude", "b", "c[0]", "c[1]",
                                           "\xCF\x86"};
  const double value[] = {2.5, 0.0, -1.25e-3, 4.0, 0.4};
  const double error[] = {0.0123456, 0.5, 1e-5, 0.0, kInf};
  const bool free[] = {true, true, true, false, true};
  const bool at_bound[] = {false, true, false, false, true};
  const double correlation[] = {1.0,  -0.5, 0.5,  0.0, kNaN,  //
                                -0.5, 1.0,  0.05, 0.0, kNaN,  //
                                0.5,  0.05, 1.0,  0.0, kNaN,  //
                                0.0,  0.0,  0.0,  1.0, 0.0,   //
                                kNaN, kNaN, kNaN, 0.0, kNaN};
  const FitSummary summary{"native", true, 12, 20, 16, 0.0123, 0.000769, false};
  const std::string report =
      fit_report(summary, {labels, value, error, free, at_bound, correlation});
  EXPECT_EQ(
      report,
      "least squares (native): converged, 12 function evaluations\n"
      "residual lanes 20, free Parameter lanes 4, dof 16\n"
      "chisqr 0.0123, redchi 0.000769 (covariance scaled by redchi)\n"
      "\n"
      "Parameter           value    std error   relative\n"
      "amplitude             2.5     0.012346     0.494%\n"
      "b                       0          0.5             at a bound\n"
      "c[0]             -0.00125        1e-05       0.8%\n"
      "c[1]                    4            0             fixed by bounds\n"
      "\xCF\x86"
      "                     0.4          inf             not determined, "
      "at a bound\n"
      "\n"
      "correlations above 0.1 in size:\n"
      "amplitude, b          -0.5000\n"
      "amplitude, c[0]       +0.5000");
}

TEST(FitReport, SaysWhenSigmaIsAbsoluteAndTheSolveFailed) {
  const std::vector<std::string> labels = {"a"};
  const double value[] = {1.0};
  const double error[] = {0.1};
  const bool yes[] = {true};
  const bool no[] = {false};
  const double correlation[] = {1.0};
  const FitSummary summary{"trf", false, 3, 1, 0, 0.0, kInf, true};
  const std::string report =
      fit_report(summary, {labels, value, error, yes, no, correlation});
  EXPECT_EQ(report.substr(0, report.find("\n\n")),
            "least squares (trf): NOT converged, 3 function evaluations\n"
            "residual lanes 1, free Parameter lanes 1, dof 0\n"
            "chisqr 0, redchi inf (sigma absolute, covariance not scaled)");
}

TEST(FitReport, LanesOfDifferentSizesThrow) {
  const std::vector<std::string> labels = {"a", "b"};
  const double two[] = {1.0, 2.0};
  const bool flags[] = {true, true};
  const double correlation[] = {1.0};
  EXPECT_THROW(fit_report({}, {labels, two, two, flags, flags, correlation}),
               std::invalid_argument);
  EXPECT_THROW(fit_report({}, {}), std::invalid_argument);
}

}  // namespace
}  // namespace quoril::symbolic

#include "symbolic/covariance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

namespace quoril::symbolic {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The inverse of J^T J for a 3 x 2 Jacobian, formed by hand: fine for one
// this well conditioned.
std::vector<double> normal_inverse(const std::vector<double>& j) {
  double a = 0.0, b = 0.0, d = 0.0;
  for (int r = 0; r < 3; ++r) {
    a += j[2 * r] * j[2 * r];
    b += j[2 * r] * j[2 * r + 1];
    d += j[2 * r + 1] * j[2 * r + 1];
  }
  const double det = a * d - b * b;
  return {d / det, -b / det, -b / det, a / det};
}

// The QR that decides most fits and the SVD that gives the directions agree.
class FitCovarianceFullRank : public testing::TestWithParam<bool> {};

TEST_P(FitCovarianceFullRank, IsTheScaledInverseOfTheNormalMatrix) {
  const std::vector<double> j = {1.0, 0.5, 2.0, -1.0, 0.3, 4.0};
  const std::vector<double> expected = normal_inverse(j);
  const bool directions = GetParam();
  const FitCovariance c = fit_covariance(j, 3, 2, {}, 2.5, directions);
  EXPECT_EQ(c.basis.size(), directions ? 4u : 0u);
  EXPECT_EQ(c.rank, 2u);
  EXPECT_TRUE(c.finite);
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(c.cov[i], 2.5 * expected[i], 1e-14);
  EXPECT_DOUBLE_EQ(c.standard_error[1], std::sqrt(c.cov[3]));
  EXPECT_DOUBLE_EQ(c.correlation[0], 1.0);
  EXPECT_NEAR(c.correlation[1],
              expected[1] / std::sqrt(expected[0] * expected[3]), 1e-14);
  EXPECT_EQ(c.undetermined, std::vector<bool>(2, false));
}

INSTANTIATE_TEST_SUITE_P(QrAndSvd, FitCovarianceFullRank, testing::Bool());

struct DeficientCase {
  const char* name;
  std::vector<double> jacobian;  // 3 rows
  std::size_t cols;
  std::vector<bool> undetermined;
  std::size_t rank;
};

// Columns 0 and 1 are equal, so only their sum is determined; column 2 is
// orthogonal to both and stays determined.
const DeficientCase kDeficient[] = {
    {"TwoEqualColumns",
     {1.0, 1.0, 0.0, 2.0, 2.0, 0.0, 0.0, 0.0, 3.0},
     3,
     {true, true, false},
     2},
    {"ZeroColumn", {1.0, 0.0, 2.0, 0.0, 3.0, 0.0}, 2, {false, true}, 1},
    {"MoreLanesThanRows",
     {1.0, 2.0, 3.0, 4.0, 0.0, 1.0, 0.0, 1.0, 2.0, 0.0, 1.0, 1.0},
     4,
     {true, true, true, true},
     3},
};

class FitCovarianceDeficient : public testing::TestWithParam<DeficientCase> {};

TEST_P(FitCovarianceDeficient, UndeterminedLanesAreInfiniteAndNaN) {
  const DeficientCase& t = GetParam();
  const FitCovariance c = fit_covariance(t.jacobian, 3, t.cols, {}, 1.0, false);
  EXPECT_EQ(c.basis.size(), t.cols * t.rank);
  EXPECT_EQ(c.rank, t.rank);
  EXPECT_EQ(c.undetermined, t.undetermined);
  for (std::size_t a = 0; a < t.cols; ++a) {
    for (std::size_t b = 0; b < t.cols; ++b) {
      const double cov = c.cov[a * t.cols + b];
      const double r = c.correlation[a * t.cols + b];
      if (t.undetermined[a] || t.undetermined[b]) {
        EXPECT_EQ(cov, kInf);
        EXPECT_TRUE(std::isnan(r));
      } else {
        EXPECT_TRUE(std::isfinite(cov));
        EXPECT_TRUE(std::isfinite(r));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, FitCovarianceDeficient,
                         testing::ValuesIn(kDeficient),
                         [](const testing::TestParamInfo<DeficientCase>& info) {
                           return info.param.name;
                         });

TEST(FitCovariance, FixedLanesAreExactAndOutOfTheDecomposition) {
  // Lane 1 is fixed; its column would make the others rank-deficient.
  const std::vector<double> j = {1.0, 1.0, 0.5, 2.0, 2.0, -1.0, 0.3, 0.3, 4.0};
  const bool free[] = {true, false, true};
  const FitCovariance c = fit_covariance(j, 3, 3, free, 1.0, false);
  const std::vector<double> reduced =
      normal_inverse({1.0, 0.5, 2.0, -1.0, 0.3, 4.0});
  EXPECT_EQ(c.rank, 2u);
  EXPECT_EQ(c.free_count, 2u);
  EXPECT_NEAR(c.cov[0], reduced[0], 1e-14);
  EXPECT_NEAR(c.cov[2], reduced[1], 1e-14);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(c.cov[3 + k], 0.0);
    EXPECT_EQ(c.cov[3 * k + 1], 0.0);
  }
  EXPECT_EQ(c.standard_error[1], 0.0);
  EXPECT_EQ(c.correlation[4], 1.0);
  EXPECT_EQ(c.correlation[1], 0.0);
}

TEST(FitCovariance, InfiniteScaleMakesEveryFreeEntryInfinite) {
  const std::vector<double> j = {1.0, 0.5, 2.0, -1.0, 0.3, 4.0};
  const FitCovariance c = fit_covariance(j, 3, 2, {}, kInf, false);
  for (double v : c.cov) EXPECT_EQ(v, kInf);
  EXPECT_TRUE(std::isfinite(c.correlation[1]));
}

TEST(FitCovariance, NonFiniteJacobianDeterminesNothing) {
  const std::vector<double> j = {1.0, 0.5, std::nan(""), -1.0, 0.3, 4.0};
  const FitCovariance c = fit_covariance(j, 3, 2, {}, 1.0, false);
  EXPECT_FALSE(c.finite);
  EXPECT_EQ(c.rank, 0u);
  EXPECT_EQ(c.undetermined, std::vector<bool>(2, true));
  EXPECT_EQ(c.standard_error[0], kInf);
}

TEST(FitCovariance, BadSizesAndScalesThrow) {
  const std::vector<double> j(6, 1.0);
  const bool free[] = {true};
  EXPECT_THROW(fit_covariance(j, 3, 3, {}, 1.0, false), std::invalid_argument);
  EXPECT_THROW(fit_covariance(j, 3, 2, free, 1.0, false),
               std::invalid_argument);
  EXPECT_THROW(fit_covariance(j, 3, 2, {}, -1.0, false), std::invalid_argument);
  EXPECT_THROW(fit_covariance(j, 3, 2, {}, std::nan(""), false),
               std::invalid_argument);
}

}  // namespace
}  // namespace quoril::symbolic

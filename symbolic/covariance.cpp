#include "symbolic/covariance.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <limits>

#include "symbolic/checks.h"

namespace quoril::symbolic {

namespace {

using RowMajor =
    Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

void copy_out(const RowMajor& matrix, std::vector<double>& out) {
  out.assign(matrix.data(), matrix.data() + matrix.size());
}

}  // namespace

FitCovariance fit_covariance(std::span<const double> jacobian, std::size_t rows,
                             std::size_t cols, std::span<const bool> free,
                             double scale, bool directions) {
  if (jacobian.size() != rows * cols ||
      (!free.empty() && free.size() != cols)) {
    detail::throw_invalid_argument(
        "covariance Jacobian does not match its rows, columns and free lanes");
  }
  if (!(scale >= 0.0)) {
    detail::throw_invalid_argument(
        "covariance scale must be a non-negative number");
  }
  constexpr double kInf = std::numeric_limits<double>::infinity();
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  const auto m = static_cast<Eigen::Index>(rows);
  const auto n = static_cast<Eigen::Index>(cols);
  std::vector<Eigen::Index> lanes;
  lanes.reserve(cols);
  for (Eigen::Index i = 0; i < n; ++i) {
    if (free.empty() || free[static_cast<std::size_t>(i)]) lanes.push_back(i);
  }
  const auto k = static_cast<Eigen::Index>(lanes.size());

  const Eigen::Map<const RowMajor> full(jacobian.data(), m, n);
  Eigen::MatrixXd j(m, k);
  for (Eigen::Index c = 0; c < k; ++c) {
    j.col(c) = full.col(lanes[static_cast<std::size_t>(c)]);
  }

  FitCovariance result;
  // A plain loop: Eigen's vectorised allFinite() trips a false
  // maybe-uninitialized warning on an empty matrix.
  result.finite = std::all_of(j.data(), j.data() + j.size(),
                              [](double x) { return std::isfinite(x); });
  result.free_count = lanes.size();
  // The unscaled covariance over the free lanes, and for the SVD the kept
  // right singular vectors and their singular values: nothing when the
  // Jacobian is not finite, which leaves every free lane undetermined.
  Eigen::MatrixXd unscaled = Eigen::MatrixXd::Zero(k, k);
  Eigen::MatrixXd v(k, 0);
  bool full_rank = result.finite && k == 0;
  bool decided = full_rank || !result.finite;
  if (result.finite && k > 0 && m >= k && !directions) {
    // Most fits are far from rank-deficient, and a Householder QR costs a
    // third of the SVD. Its error in each column is small relative to that
    // column, so lanes of very different scales keep their digits. The
    // SVD's tolerance is max(m, k) * eps * s_max, and s_max <= |R|_F while
    // s_min >= 1 / |R^-1|_F: with a wide margin over that bound the rank is
    // certainly full; otherwise the SVD decides.
    const Eigen::HouseholderQR<Eigen::MatrixXd> qr(j);
    const auto r = qr.matrixQR().topRows(k).triangularView<Eigen::Upper>();
    Eigen::MatrixXd inverse = Eigen::MatrixXd::Identity(k, k);
    r.solveInPlace(inverse);
    const double bound = static_cast<double>(std::max(m, k)) *
                         std::numeric_limits<double>::epsilon() *
                         Eigen::MatrixXd(r).norm();
    constexpr double kMargin = 1e3;
    if (inverse.allFinite() && kMargin * bound * inverse.norm() < 1.0) {
      unscaled = inverse * inverse.transpose();
      full_rank = decided = true;
      result.rank = static_cast<std::size_t>(k);
    }
  }
  if (!decided && k > 0 && m > 0) {
    const Eigen::JacobiSVD<Eigen::MatrixXd, Eigen::ComputeThinV> svd(j);
    const Eigen::VectorXd& all = svd.singularValues();
    const double tol = static_cast<double>(std::max(m, k)) *
                       std::numeric_limits<double>::epsilon() * all[0];
    Eigen::Index kept = 0;
    while (kept < all.size() && all[kept] > tol) ++kept;
    full_rank = kept == k;
    v = svd.matrixV().leftCols(kept);
    const RowMajor basis = v * all.head(kept).cwiseInverse().asDiagonal();
    unscaled = basis * basis.transpose();
    result.rank = static_cast<std::size_t>(kept);
    copy_out(basis, result.basis);
    copy_out(v.transpose(), result.row_space);
  }

  std::vector<bool> undetermined_free(lanes.size(), false);
  if (!full_rank) {
    for (Eigen::Index c = 0; c < k; ++c) {
      undetermined_free[static_cast<std::size_t>(c)] =
          1.0 - v.row(c).squaredNorm() > kNullShare;
    }
  }
  result.undetermined.assign(cols, false);
  for (Eigen::Index c = 0; c < k; ++c) {
    result.undetermined[static_cast<std::size_t>(
        lanes[static_cast<std::size_t>(c)])] =
        undetermined_free[static_cast<std::size_t>(c)];
  }

  // Fixed lanes are known exactly: their rows and columns stay 0, and their
  // correlation with themselves is 1.
  RowMajor cov = RowMajor::Zero(n, n);
  RowMajor correlation = RowMajor::Zero(n, n);
  const bool scaled = std::isfinite(scale);
  const Eigen::VectorXd d = unscaled.diagonal().cwiseSqrt();
  for (Eigen::Index a = 0; a < k; ++a) {
    const Eigen::Index row = lanes[static_cast<std::size_t>(a)];
    const bool row_open = undetermined_free[static_cast<std::size_t>(a)];
    for (Eigen::Index b = 0; b < k; ++b) {
      const Eigen::Index col = lanes[static_cast<std::size_t>(b)];
      const bool open =
          row_open || undetermined_free[static_cast<std::size_t>(b)];
      cov(row, col) = open || !scaled ? kInf : unscaled(a, b) * scale;
      correlation(row, col) = open ? kNaN : unscaled(a, b) / (d[a] * d[b]);
    }
    correlation(row, row) = row_open ? kNaN : 1.0;
  }
  for (Eigen::Index i = 0; i < n; ++i) {
    if (!free.empty() && !free[static_cast<std::size_t>(i)]) {
      correlation(i, i) = 1.0;
    }
  }
  result.standard_error.resize(cols);
  for (Eigen::Index i = 0; i < n; ++i) {
    result.standard_error[static_cast<std::size_t>(i)] = std::sqrt(cov(i, i));
  }
  copy_out(cov, result.cov);
  copy_out(correlation, result.correlation);
  return result;
}

}  // namespace quoril::symbolic

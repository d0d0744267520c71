#ifndef QUORIL_SYMBOLIC_COVARIANCE_H_
#define QUORIL_SYMBOLIC_COVARIANCE_H_

// The covariance of the lanes of a least-squares fit from the weighted
// Jacobian of its residuals at the solution, through the singular value
// decomposition of that Jacobian, which keeps the precision of
// ill-conditioned fits that the normal equations would lose.

#include <cstddef>
#include <span>
#include <vector>

namespace quoril::symbolic {

// A lane counts as not determined when more than this share of its unit
// vector lies in the null space of the Jacobian; rounding in an orthonormal
// basis stays near 1e-15, a genuine null direction is of order one.
inline constexpr double kNullShare = 1e-10;

struct FitCovariance {
  // Over every lane, row-major, lanes x lanes. A fixed lane has variance 0
  // and covariance 0; a lane the Jacobian cannot determine has infinite
  // variance and covariances with the free lanes (0 with fixed ones); every
  // free entry is infinite when the scale is not finite.
  std::vector<double> cov;
  std::vector<double> standard_error;  // the square root of cov's diagonal
  // cov's entries over the product of their standard errors, computed
  // without the scale: NaN on the rows and columns of undetermined lanes, 1
  // on the rest of the diagonal, 0 for a fixed lane.
  std::vector<double> correlation;
  std::vector<bool> undetermined;  // per lane; never a fixed one
  // The singular values kept (those above max(rows, free) * eps times the
  // largest), and whether every entry of the free columns was finite; when
  // not, nothing is kept and every free lane is undetermined.
  std::size_t rank = 0;
  bool finite = true;
  std::size_t free_count = 0;
  // Over the free lanes: the right singular vectors of the kept singular
  // values as rows (rank x free_count), and the same as columns divided by
  // their singular values (free_count x rank), whose product with its own
  // transpose is the unscaled covariance. Row-major; only when asked for.
  std::vector<double> row_space;
  std::vector<double> basis;
};

// Returns the covariance of a fit whose weighted Jacobian at the solution
// is `jacobian` (rows x cols, row-major), over the lanes marked in `free`
// (empty: every lane), multiplied by `scale` (the residual variance, or 1
// when the weights are the measurements' own); with `directions`, also the
// kept singular directions (row_space and basis, otherwise left empty: a
// fit far from rank deficiency is decomposed by a cheaper QR, with the same
// covariance to rounding). Throws std::invalid_argument
// when the sizes disagree or the scale is negative or NaN.
FitCovariance fit_covariance(std::span<const double> jacobian, std::size_t rows,
                             std::size_t cols, std::span<const bool> free,
                             double scale, bool directions);

}  // namespace quoril::symbolic

#endif  // QUORIL_SYMBOLIC_COVARIANCE_H_

#include "symbolic/solve.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>

#include "symbolic/checks.h"
#include "symbolic/graph.h"

namespace quoril::symbolic {

namespace {

using Matrix =
    Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using Vector = Eigen::VectorXd;

bool all_finite(const double* data, Eigen::Index size) {
  for (Eigen::Index i = 0; i < size; ++i) {
    if (!std::isfinite(data[i])) return false;
  }
  return true;
}

// The Parameters of one solve as one vector of lanes.
class ParamLanes {
 public:
  explicit ParamLanes(std::span<const Value> params)
      : params_(params), n_(static_cast<Eigen::Index>(lane_count(params))) {}

  Eigen::Index cols() const { return n_; }

  Vector current() const {
    Vector x(n_);
    Eigen::Index k = 0;
    for (const Value& param : params_) {
      const SmallValue v = param.value();
      for (int i = 0; i < v.dimension; ++i) x[k++] = lane(v, i);
    }
    return x;
  }

  void set(const Vector& x) const {
    Eigen::Index k = 0;
    for (const Value& param : params_) {
      SmallValue v;
      v.dimension = param.node().dimension;
      for (int i = 0; i < v.dimension; ++i) lane(v, i) = x[k++];
      param.set_value(v);
    }
  }

 private:
  std::span<const Value> params_;
  Eigen::Index n_ = 0;
};

// A graph's residual lanes at the Parameters' current values. The calls give
// false where evaluation met a non-finite value, which to the solver is only
// a bad trial point.
class GraphResiduals {
 public:
  GraphResiduals(std::span<const Value> residuals,
                 std::span<const Value> params)
      : residuals_(residuals),
        params_(params),
        m_(static_cast<Eigen::Index>(lane_count(residuals))) {}

  Eigen::Index rows() const { return m_; }

  bool residuals(Vector& r) {
    return program().try_evaluate(
               std::span<double>(r.data(), static_cast<std::size_t>(m_))) ==
           EvaluationStatus::Finite;
  }

  bool jacobian(Vector& r, Matrix& j) {
    return program().try_jacobian(
               std::span<double>(r.data(), static_cast<std::size_t>(m_)),
               std::span<double>(j.data(),
                                 static_cast<std::size_t>(j.size()))) ==
           EvaluationStatus::Finite;
  }

  // Says which of the two failed at the start: the residuals' own error if
  // they fail.
  [[noreturn]] void fail_at_start() {
    Vector probe(m_);
    if (!residuals(probe)) detail::throw_not_finite();
    detail::throw_invalid_argument(
        "least squares Jacobian is not finite at the starting point");
  }

 private:
  // The graphs are ordered once per solve, at the first evaluation, after
  // the caller's own checks; every trial point then only evaluates.
  JacobianProgram& program() {
    if (!program_) program_.emplace(residuals_, params_);
    return *program_;
  }

  std::span<const Value> residuals_;
  std::span<const Value> params_;
  std::optional<JacobianProgram> program_;
  Eigen::Index m_ = 0;
};

// A row program's lanes over every row of the data, row after row, as one
// residual vector; its Jacobian has the same layout as the solver's.
class RowResiduals {
 public:
  RowResiduals(RowProgram& program, std::size_t count,
               std::span<const RowInput> data)
      : program_(program),
        count_(count),
        data_(data),
        m_(static_cast<Eigen::Index>(count * program.rows())) {}

  Eigen::Index rows() const { return m_; }

  bool residuals(Vector& r) {
    return program_.try_evaluate(count_, data_, lanes(r)) ==
           EvaluationStatus::Finite;
  }

  bool jacobian(Vector& r, Matrix& j) {
    return program_.try_jacobian(
               count_, data_, lanes(r),
               std::span<double>(j.data(),
                                 static_cast<std::size_t>(j.size()))) ==
           EvaluationStatus::Finite;
  }

  // The program's own error names the failing row.
  [[noreturn]] void fail_at_start() {
    Vector probe(m_);
    program_.evaluate(count_, data_, lanes(probe));
    detail::throw_invalid_argument(
        "least squares Jacobian is not finite at the starting point");
  }

 private:
  std::span<double> lanes(Vector& r) const {
    return {r.data(), static_cast<std::size_t>(m_)};
  }

  RowProgram& program_;
  std::size_t count_;
  std::span<const RowInput> data_;
  Eigen::Index m_ = 0;
};

// J^T r and the squared norm of every column of J, in one pass over J's
// rows: over many rows of data each pass over J costs as much as the
// arithmetic.
void gradient_and_columns(const Matrix& j, const Vector& r, Vector& g,
                          Vector& squares) {
  g.setZero();
  squares.setZero();
  const Eigen::Index n = j.cols();
  for (Eigen::Index row = 0; row < j.rows(); ++row) {
    const double* entries = j.data() + row * n;
    const double residual = r[row];
    for (Eigen::Index c = 0; c < n; ++c) {
      g[c] += entries[c] * residual;
      squares[c] += entries[c] * entries[c];
    }
  }
}

// Damped Gauss-Newton steps against one Jacobian: the column-pivoted QR of
// its free columns, and Q^T (-r), kept until the Jacobian or the free set
// changes.
class DampedSteps {
 public:
  DampedSteps(Eigen::Index m, Eigen::Index n) : qr_(m, n), rhs_(m) {}

  void factor(const Matrix& j, const Vector& r,
              const std::vector<Eigen::Index>& free) {
    qr_.compute(j(Eigen::placeholders::all, free));
    rhs_ = -r;
    rhs_.applyOnTheLeft(qr_.householderQ().adjoint());
    rank_rows_ = std::min(qr_.rows(), qr_.cols());
    target_ = rhs_.head(rank_rows_);
  }

  // The step over the free unknowns, in their order.
  Vector solve(double damping, const Vector& scale,
               const std::vector<Eigen::Index>& free) const {
    const Eigen::Index k = qr_.cols();
    const auto& order = qr_.colsPermutation().indices();
    Matrix a = Matrix::Zero(rank_rows_ + k, k);
    a.topRows(rank_rows_) =
        qr_.matrixQR().topRows(rank_rows_).triangularView<Eigen::Upper>();
    for (Eigen::Index c = 0; c < k; ++c) {
      const double s = scale[free[static_cast<std::size_t>(order[c])]];
      a(rank_rows_ + c, c) = std::sqrt(damping * (s > 0.0 ? s : 1.0));
    }
    Vector b = Vector::Zero(rank_rows_ + k);
    b.head(rank_rows_) = target_;
    const Vector u = a.colPivHouseholderQr().solve(b);
    Vector step(k);
    for (Eigen::Index c = 0; c < k; ++c) step[order[c]] = u[c];
    return step;
  }

  // cost - |r + J step|^2 / 2, from the factors: |Q^T (-r)|^2 - |R P^T step
  // - Q^T (-r)|^2 over two, free of the cancellation against the cost.
  double predicted_reduction(const Vector& free_step) const {
    const Eigen::Index k = qr_.cols();
    const auto& order = qr_.colsPermutation().indices();
    Vector u(k);
    for (Eigen::Index c = 0; c < k; ++c) u[c] = free_step[order[c]];
    const Vector fitted =
        qr_.matrixQR().topRows(rank_rows_).triangularView<Eigen::Upper>() * u -
        target_;
    return 0.5 * (target_.squaredNorm() - fitted.squaredNorm());
  }

 private:
  Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr_;
  Vector rhs_;
  Vector target_;
  Eigen::Index rank_rows_ = 0;
};

template <class Residuals>
LeastSquaresResult solve(Residuals& problem, std::span<const Value> params,
                         const LeastSquaresOptions& options);

}  // namespace

LeastSquaresResult levenberg_marquardt(std::span<const Value> residuals,
                                       std::span<const Value> params,
                                       const LeastSquaresOptions& options) {
  if (residuals.empty()) {
    detail::throw_invalid_argument("least squares needs at least one residual");
  }
  GraphResiduals problem(residuals, params);
  return solve(problem, params, options);
}

LeastSquaresResult levenberg_marquardt(RowProgram& program, std::size_t count,
                                       std::span<const RowInput> data,
                                       const LeastSquaresOptions& options) {
  if (count == 0 || program.rows() == 0) {
    detail::throw_invalid_argument("least squares needs at least one residual");
  }
  RowResiduals problem(program, count, data);
  return solve(problem, program.params(), options);
}

namespace {

template <class Residuals>
LeastSquaresResult solve(Residuals& problem, std::span<const Value> params,
                         const LeastSquaresOptions& options) {
  const ParamLanes lanes(params);
  const Eigen::Index m = problem.rows();
  const Eigen::Index n = lanes.cols();
  const auto size = static_cast<std::size_t>(n);
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const bool bounded = !options.lower.empty() || !options.upper.empty();
  Vector lower = Vector::Constant(n, -kInf);
  Vector upper = Vector::Constant(n, kInf);
  if (bounded) {
    if (options.lower.size() != size || options.upper.size() != size) {
      detail::throw_invalid_argument(
          "bounds do not match the Parameters' lanes");
    }
    for (Eigen::Index i = 0; i < n; ++i) {
      lower[i] = options.lower[static_cast<std::size_t>(i)];
      upper[i] = options.upper[static_cast<std::size_t>(i)];
      if (std::isnan(lower[i]) || std::isnan(upper[i]) || lower[i] > upper[i]) {
        detail::throw_invalid_argument("lower bound above upper bound");
      }
    }
  }
  const int max_nfev =
      options.max_nfev > 0
          ? options.max_nfev
          : 100 * static_cast<int>(std::max<Eigen::Index>(n, 1));

  Vector x = lanes.current().cwiseMax(lower).cwiseMin(upper);
  Vector r(m);
  Matrix j(m, n);
  lanes.set(x);
  if (!problem.jacobian(r, j)) problem.fail_at_start();

  LeastSquaresResult result;
  result.nfev = 1;
  result.njev = 1;
  double cost = 0.5 * r.squaredNorm();
  result.cost_history.push_back(cost);

  // Marquardt's scaling: the damping of each unknown follows the largest
  // squared column norm of the Jacobian seen so far, so the step does not
  // depend on the units of the unknowns.
  Vector scale = Vector::Zero(n);
  double damping = 1e-3;
  double growth = 2.0;
  int iteration = 0;
  Vector r_trial(m);
  Matrix j_trial(m, n);
  std::vector<Eigen::Index> free;
  free.reserve(size);

  // The damped step is the least-squares solution of
  // [J; sqrt(damping * scale)] step = [-r; 0], which avoids squaring J's
  // condition number in the normal equations. J's free columns are
  // factored once per Jacobian, J P = Q R, so every damping tried against
  // the same Jacobian solves only [R; D] u = [Q^T (-r); 0], k + min(m, k)
  // rows instead of m + k: over many rows of data the factoring is the one
  // pass over the Jacobian per iteration.
  DampedSteps steps(m, n);
  bool factored = false;
  Vector g(n);
  Vector column_squares(n);
  std::vector<Eigen::Index> factored_free;

  while (true) {
    if (!factored) gradient_and_columns(j, r, g, column_squares);
    // An unknown held at a bound by a gradient pushing outwards takes no
    // step, and its gradient component does not count towards convergence.
    // The measure is the largest cosine between the residuals and a
    // Jacobian column, which does not depend on the units of the unknowns
    // or of the residuals.
    free.clear();
    double gradient_norm = 0.0;
    const double residual_norm = r.norm();
    for (Eigen::Index i = 0; i < n; ++i) {
      const bool held =
          (x[i] <= lower[i] && g[i] > 0.0) || (x[i] >= upper[i] && g[i] < 0.0);
      if (held) continue;
      free.push_back(i);
      const double column_norm = std::sqrt(column_squares[i]);
      if (column_norm > 0.0 && residual_norm > 0.0) {
        gradient_norm = std::max(
            gradient_norm, std::abs(g[i]) / (column_norm * residual_norm));
      }
    }
    if (gradient_norm <= options.gtol) {
      result.status = LeastSquaresStatus::Gradient;
      break;
    }
    if (result.nfev >= max_nfev) {
      result.status = LeastSquaresStatus::MaxEvaluations;
      break;
    }
    if (!factored || free != factored_free) {
      for (Eigen::Index i = 0; i < n; ++i) {
        scale[i] = std::max(scale[i], column_squares[i]);
      }
      steps.factor(j, r, free);
      factored_free = free;
      factored = true;
    }

    const auto k = static_cast<Eigen::Index>(free.size());
    const Vector reduced = steps.solve(damping, scale, free);
    Vector trial = x;
    for (Eigen::Index c = 0; c < k; ++c) {
      trial[free[static_cast<std::size_t>(c)]] += reduced[c];
    }
    trial = trial.cwiseMax(lower).cwiseMin(upper);
    const Vector step = trial - x;
    const double step_norm = step.norm();
    const bool short_step =
        step_norm <= options.xtol * (options.xtol + x.norm());
    // Held unknowns do not move, so J step is J's free columns times the
    // free part of the step.
    Vector free_step(k);
    for (Eigen::Index c = 0; c < k; ++c) {
      free_step[c] = step[free[static_cast<std::size_t>(c)]];
    }
    const double predicted = steps.predicted_reduction(free_step);

    // Residuals and Jacobian come from one walk: most trial points are
    // accepted, and a separate walk for the residuals would cost nearly as
    // much again.
    lanes.set(trial);
    const bool finite =
        all_finite(step.data(), n) && problem.jacobian(r_trial, j_trial);
    ++result.nfev;
    ++result.njev;
    double ratio = -1.0;
    double reduction = 0.0;
    if (finite) {
      reduction = cost - 0.5 * r_trial.squaredNorm();
      if (predicted > 0.0) ratio = reduction / predicted;
    }
    // Near the solution of a problem with non-zero residuals the predicted
    // reduction sinks towards the rounding of the residuals themselves, and
    // the actual one is then mostly noise. A step the model says gains at
    // most a 1e-10 part of the cost, and that loses no more than that, is
    // taken as the good Gauss-Newton step it is; rejecting it would raise
    // the damping and leave the parameters short by far more than the data
    // determine them.
    constexpr double kNoise = 1e-10;
    const bool in_noise = finite && predicted >= 0.0 &&
                          predicted <= kNoise * cost &&
                          reduction >= -kNoise * cost;
    if (in_noise && ratio <= 1e-4) ratio = 1.0;
    if (ratio <= 1e-4) {
      lanes.set(x);
      if (short_step) {
        result.status = LeastSquaresStatus::Step;
        break;
      }
      damping *= growth;
      growth *= 2.0;
      if (!std::isfinite(damping)) {
        result.status = LeastSquaresStatus::Step;
        break;
      }
      continue;
    }

    // In the noise the cost no longer measures progress; the step does.
    const bool cost_done =
        !in_noise && reduction < options.ftol * cost && ratio > 0.25;
    x = trial;
    std::swap(r, r_trial);
    std::swap(j, j_trial);
    factored = false;
    cost = 0.5 * r.squaredNorm();
    result.cost_history.push_back(cost);
    // Nielsen's update: shrink the damping smoothly while the model fits.
    const double t = 2.0 * ratio - 1.0;
    damping *= std::max(1.0 / 3.0, 1.0 - t * t * t);
    growth = 2.0;
    ++iteration;
    if (options.callback) {
      const LeastSquaresIteration state{
          {x.data(), size},
          {r.data(), static_cast<std::size_t>(m)},
          {j.data(), static_cast<std::size_t>(j.size())},
          cost,
          iteration,
          result.nfev,
          result.njev};
      if (options.callback(state)) {
        result.status = LeastSquaresStatus::Stopped;
        break;
      }
    }
    if (cost_done || short_step) {
      result.status = cost_done && short_step ? LeastSquaresStatus::CostAndStep
                      : cost_done             ? LeastSquaresStatus::Cost
                                              : LeastSquaresStatus::Step;
      break;
    }
  }

  lanes.set(x);
  result.x.assign(x.data(), x.data() + n);
  result.fun.assign(r.data(), r.data() + m);
  result.jac.assign(j.data(), j.data() + j.size());
  return result;
}

}  // namespace

}  // namespace quoril::symbolic

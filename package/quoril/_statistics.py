"""What a least-squares fit is worth: measurement weights, the covariance of
the fitted Parameter lanes from the exact Jacobian at the solution, intervals,
the uncertainty of anything computed from the fit, and a report to read."""

from __future__ import annotations

import functools
import math
import os
import warnings
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any, TypeAlias

import numpy as np
import numpy.typing as npt
from _quoril import Constant, Expression

from quoril import _native
from quoril._checks import as_outputs, param_lane_name

if TYPE_CHECKING:
    from quoril._data import Data

Array: TypeAlias = npt.NDArray[np.float64]
Sigma: TypeAlias = float | Sequence[float] | Array | None

# An output lane reaches a direction the fit cannot determine when more than
# this share of its gradient lies outside the Jacobian's row space: the
# core's own test for a Parameter lane.
_NULL_SHARE: float = _native.NULL_SHARE

# Correlations at most this large in size are left out of the report.
REPORT_CORRELATION: float = _native.REPORT_CORRELATION

# The fields computed on first access; the rest are set when the solve ends.
_LAZY = ("cov", "stderr", "correlation")


class CovarianceWarning(RuntimeWarning):
    """The covariance of a fit, or part of it, cannot be estimated: those
    entries are infinite (correlations NaN) rather than numbers."""


def _warn(message: str) -> None:
    warnings.warn(message, CovarianceWarning, skip_file_prefixes=_skipped_files())


@functools.cache
def _skipped_files() -> tuple[str, ...]:
    # Name the user's line, past this package and SciPy's result type,
    # through whose attribute lookup the covariance is first asked for.
    import scipy  # type: ignore[import-untyped]

    return (os.path.dirname(__file__) + os.sep, os.path.dirname(scipy.__file__) + os.sep)


def parse_sigma(
    sigma: object, absolute_sigma: object, roots: list[Expression],
    count: int | None = None,
) -> Array | None:
    """The standard deviation of every residual lane (the roots' lanes, or
    `count` of them), or None for no weighting; raises before anything
    changes."""
    if not isinstance(absolute_sigma, (bool, np.bool_)):
        raise TypeError(
            f"absolute_sigma must be True or False, not {type(absolute_sigma).__name__}"
        )
    if sigma is None:
        return None
    rows = sum(root.dim for root in roots) if count is None else count
    if isinstance(sigma, (int, float, np.number)) and not isinstance(sigma, (bool, np.bool_)):
        lanes = np.full(rows, float(sigma))
        where = "sigma"
    elif isinstance(sigma, (str, bytes)) or not isinstance(sigma, Iterable):
        raise TypeError(
            "sigma must be a number or a sequence of numbers, one per residual lane, "
            f"not {type(sigma).__name__}"
        )
    else:
        lanes = _numbers(sigma)
        if lanes.shape != (rows,):
            raise ValueError(
                f"sigma has {lanes.size} values but residuals have {rows} lanes; "
                f"pass a number or {rows} values"
            )
        where = ""
    bad = np.nonzero(~(np.isfinite(lanes) & (lanes > 0.0)))[0]
    if bad.size:
        k = int(bad[0])
        label = where or f"sigma[{k}]"
        raise ValueError(
            f"{label} is {float(lanes[k])!r}; standard deviations must be positive "
            "and finite"
        )
    return lanes


def _numbers(sigma: Iterable[object]) -> Array:
    items = sigma if isinstance(sigma, np.ndarray) else list(sigma)
    if isinstance(items, np.ndarray):
        numeric = items.dtype.kind in "iuf"
    else:
        numeric = all(isinstance(s, (int, float, np.number))
                      and not isinstance(s, (bool, np.bool_)) for s in items)
    if not numeric:
        raise TypeError(
            "sigma must be a number or a sequence of numbers, one per residual lane"
        )
    return np.asarray(items, dtype=np.float64)


def weighted(roots: list[Expression], sigma: Array | None) -> list[Expression]:
    """The residual roots divided by their standard deviations, one new node
    per root (a shared Constant when every lane has the same one)."""
    if sigma is None:
        return roots
    if np.all(sigma == sigma[0]):
        scale = Constant(float(sigma[0]))
        return [root / scale for root in roots]
    out, start = [], 0
    for root in roots:
        out.append(root / Constant(sigma[start:start + root.dim].tolist()))
        start += root.dim
    return out


class _Fit:
    """What the statistics of one fit are computed from, kept as the solve
    left it: the weighted Jacobian at the solution and the Parameters."""

    __slots__ = ("lanes", "jac", "free", "all_free", "absolute_sigma", "dof", "scale",
                 "solved")

    def __init__(
        self, lanes: Any, jac: Array, free: npt.NDArray[np.bool_], all_free: bool,
        absolute_sigma: bool, dof: int, redchi: float,
    ) -> None:
        self.lanes = lanes
        self.jac = jac
        self.free = free
        self.all_free = all_free
        self.absolute_sigma = absolute_sigma
        self.dof = dof
        # What the unscaled covariance is multiplied by: nothing when sigma is
        # the measurement's own, else the residual variance, which needs dof > 0.
        self.scale = 1.0 if absolute_sigma else redchi
        self.solved: _Decomposition | None = None

    def decomposition(self) -> _Decomposition:
        if self.solved is None:
            self.solved = _Decomposition(self)
        return self.solved


class _Decomposition:
    """The decomposition of the free columns of the weighted Jacobian, and the
    covariance, standard errors and correlations it gives; warns once, when
    made, about every lane it cannot determine."""

    __slots__ = ("fit", "scale", "cov", "stderr", "correlation", "_directions")

    _directions: tuple[Array, Array] | None

    def __init__(self, fit: _Fit) -> None:
        # One call into the core; every rule (tolerances, infinities, NaN
        # correlations, fixed lanes) lives there.
        self.fit, self.scale, self._directions = fit, fit.scale, None
        solved = _native.fit_covariance(fit.jac, self._free(fit), fit.scale, False)
        self.cov, self.stderr, self.correlation = solved[:3]
        if solved.undetermined:
            names = [param_lane_name(fit.lanes.params, k) for k in solved.undetermined]
            why = (f"the Jacobian at the solution has rank {solved.rank} for "
                   f"{solved.free} free Parameter lanes" if solved.finite
                   else "the Jacobian at the solution is not finite")
            _warn(
                f"{why}; not determined: {', '.join(names)}. Their variances and "
                "covariances are infinite and their correlations NaN"
            )
        if not math.isfinite(self.scale) and solved.free:
            _warn(
                f"dof is {fit.dof}: with absolute_sigma=False the residual variance "
                "needs more residual lanes than free Parameter lanes, so every "
                "variance and covariance is infinite"
            )

    @staticmethod
    def _free(fit: _Fit) -> npt.NDArray[np.bool_] | None:
        return None if fit.all_free else fit.free

    def directions(self) -> tuple[Array, Array]:
        """The right singular vectors of the kept singular values, as rows,
        and the same as columns divided by them: basis @ basis.T is the
        pseudo-inverse of J^T J. Decomposed again on first use, which only
        the uncertainty of other outputs needs."""
        if self._directions is None:
            fit = self.fit
            solved = _native.fit_covariance(fit.jac, self._free(fit), 1.0, True)
            assert solved.row_space is not None and solved.basis is not None
            self._directions = solved.row_space, solved.basis
        return self._directions

    def variance_of(self, gradient: Array) -> Array:
        """g C g^T for each row g of `gradient` (over the free lanes): infinite
        where g reaches a direction the fit cannot determine."""
        row_space, basis = self.directions()
        projected = gradient @ basis
        variance = np.einsum("ij,ij->i", projected, projected) * (
            self.scale if math.isfinite(self.scale) else 1.0)
        size = np.einsum("ij,ij->i", gradient, gradient)
        along = gradient @ row_space.T
        outside = size - np.einsum("ij,ij->i", along, along)
        blind = outside > _NULL_SHARE * size
        if not math.isfinite(self.scale):
            blind |= size > 0.0
        variance[blind] = np.inf
        return np.asarray(variance, dtype=np.float64)


def _level_quantile(level: object, dof: int, absolute_sigma: bool) -> float:
    if isinstance(level, (bool, np.bool_)) or not isinstance(level, (int, float, np.number)):
        raise TypeError(f"level must be a number between 0 and 1, not {type(level).__name__}")
    if not 0.0 < float(level) < 1.0:
        raise ValueError(f"level must lie strictly between 0 and 1, not {level!r}")
    import scipy.stats  # type: ignore[import-untyped]

    tail = 0.5 + 0.5 * float(level)
    if absolute_sigma:
        return float(scipy.stats.norm.ppf(tail))
    if dof <= 0:
        return math.inf
    return float(scipy.stats.t.ppf(tail, dof))


class _FitStatistics:
    """The behaviour a least-squares result gains on top of SciPy's
    OptimizeResult; mixed into it by `_result_type`."""

    __slots__ = ()

    _fit: _Fit

    def __missing__(self, key: str) -> Any:
        if key not in _LAZY:
            raise KeyError(key)
        solved = self._fit.decomposition()
        dict.update(self, cov=solved.cov, stderr=solved.stderr,  # type: ignore[call-overload]
                    correlation=solved.correlation)
        return dict.__getitem__(self, key)  # type: ignore[index]

    def __dir__(self) -> list[str]:
        return sorted({*dict.keys(self), *_LAZY})  # type: ignore[arg-type]

    # Found on the type, these skip the failed attribute lookup that would
    # reach OptimizeResult's __getattr__; the values still live in the dict.
    cov = property(lambda self: self["cov"], doc="The covariance of the lanes of x.")
    stderr = property(lambda self: self["stderr"], doc="The square root of cov's diagonal.")
    correlation = property(lambda self: self["correlation"],
                           doc="cov over the product of the standard errors.")

    def confidence_interval(self, level: float = 0.95) -> Array:
        """Intervals for every Parameter lane, in the order of ``x``.

        The interval is ``x +- q * stderr``, with q the quantile of Student's
        t distribution with `dof` degrees of freedom (the residual variance
        is estimated from the fit), or of the normal distribution when
        ``absolute_sigma=True`` (sigma is known, nothing is estimated).
        A lane fixed by low == high bounds gets (x, x); one the fit cannot
        determine, or every free lane when dof <= 0 without absolute
        sigma, gets (-inf, inf). Lanes at a bound keep the interval of the
        linearised model; the bound does not clip it.

        Parameters
        ----------
        level : float
            The probability the interval covers, strictly between 0 and 1.

        Returns
        -------
        ndarray of float64, shape (lanes, 2)
            Low and high per lane.
        """
        fit = self._fit
        quantile = _level_quantile(level, fit.dof, fit.absolute_sigma)
        x = np.asarray(self["x"], dtype=np.float64)  # type: ignore[index]
        stderr = self["stderr"]  # type: ignore[index]
        with np.errstate(invalid="ignore"):
            half = np.where(stderr > 0.0, quantile * stderr, 0.0)
        return np.column_stack([x - half, x + half])


@functools.cache
def _result_type() -> type:
    # SciPy is imported on first use, as everywhere in the package.
    from scipy.optimize import OptimizeResult  # type: ignore[import-untyped]

    result_type = type("FitResult", (_FitStatistics, OptimizeResult), {})
    result_type.__module__ = __name__
    result_type.__doc__ = (
        "scipy.optimize.OptimizeResult of q.least_squares, with the fit's "
        "statistics and confidence_interval()."
    )
    return result_type


def attach(
    result: Any,
    roots: list[Expression],
    lanes: Any,
    box: tuple[Array, Array] | None,
    loss: str,
    absolute_sigma: bool,
    plain_jacobian: Any = None,
) -> Any:
    """The solver's result as a FitResult: dof, chisqr, redchi and at_bound
    now, the covariance and what follows from it on first access.

    Expects the Parameters at the solution, as the solve leaves them.
    `plain_jacobian`, for a fit over data, computes the weighted residuals'
    Jacobian there; the roots alone do not."""
    fun = np.asarray(result.fun, dtype=np.float64)
    if loss == "linear":
        jac = np.array(result.jac, dtype=np.float64)
    else:
        # A robust loss hands back its own rescaled Jacobian; the statistics
        # are those of the plain weighted residuals.
        jac = (_native.jacobian(roots, lanes.params) if plain_jacobian is None
               else plain_jacobian())
    if box is None:
        free = np.ones(lanes.size, dtype=bool)
        at_bound = np.zeros(lanes.size, dtype=bool)
        n_free = lanes.size
    else:
        free = box[0] != box[1]
        at_bound = (np.asarray(result.active_mask) != 0) & free
        n_free = int(np.count_nonzero(free))
    dof = fun.size - n_free
    chisqr = float(fun @ fun)
    redchi = chisqr / dof if dof > 0 else math.inf
    stats = _result_type()(result)
    stats.update(dof=dof, chisqr=chisqr, redchi=redchi, at_bound=at_bound)
    # Kept beside the dict, not in it: the fields stay SciPy's and ours.
    fit = _Fit(lanes, jac, free, n_free == lanes.size, bool(absolute_sigma), dof, redchi)
    object.__setattr__(stats, "_fit", fit)
    return stats


def _fit_of(result: object) -> _Fit:
    if not isinstance(result, _FitStatistics):
        raise TypeError(
            f"result must be the result of q.least_squares, not {type(result).__name__}"
        )
    return result._fit


def uncertainty(outputs: Any, result: Any, *, data: Data | None = None) -> Array:
    """The standard deviation of output lanes from the fit, by the delta
    method.

    For every output lane, ``sqrt(g @ cov @ g)`` with g its exact gradient
    with respect to the fitted Parameters, taken at their current values
    (where the solve left them). Parameters that were not fitted are held
    fixed and contribute nothing.

    Parameters
    ----------
    outputs : Expression or sequence of Expression
        Anything built from the fitted Parameters.
    result : the result of ``q.least_squares``
        It remembers its Parameters and their covariance.
    data : dict, optional
        Rows of data for leaves of `outputs` that are not fitted, as
        ``q.least_squares`` takes them (``{t: grid}``): one call gives the
        band over every row.

    Returns
    -------
    ndarray of float64, shape (total output lanes,), or (N, L) with data
        0 for a lane that does not depend on the fitted Parameters; infinite
        for one that depends on a direction the fit cannot determine (and,
        with a warning, for every dependent lane when the covariance is
        infinite).

    Raises
    ------
    TypeError
        For a `result` that is not one of ``q.least_squares``, or bad
        `outputs`.
    ValueError
        When no output reaches any Parameter of the fit (a result of
        another problem).
    """
    fit = _fit_of(result)
    roots = as_outputs(outputs, "outputs")
    params = fit.lanes.params
    shape = None
    if data is None:
        gradient = _native.jacobian(roots, params)
    else:
        from quoril._data import row_gradients

        gradient, shape = row_gradients(roots, params, data)
    if not gradient.any() and not _reaches(roots, params):
        raise ValueError(
            "outputs reach none of the Parameters fitted in result; pass the "
            "result of the fit that these outputs are built on"
        )
    solved = fit.decomposition()
    if not fit.all_free:
        gradient = gradient[:, fit.free]
    finite = np.isfinite(gradient).all(axis=1)
    variance = np.full(gradient.shape[0], np.inf)
    variance[finite] = solved.variance_of(gradient[finite])
    if not finite.all():
        _warn(
            f"the gradient of {int((~finite).sum())} output lanes is not finite at "
            "the solution; their uncertainty is infinite"
        )
    deviation = np.asarray(np.sqrt(variance), dtype=np.float64)
    return deviation if shape is None else deviation.reshape(shape)


def _reaches(roots: list[Expression], params: list[Expression]) -> bool:
    # Only when every derivative is exactly zero: the Jacobian cannot tell a
    # flat dependence from none, the graph can.
    ids = {p.id for p in params}
    nodes = _native.trace(roots, False, 2**62)[1]
    return any(node.id in ids for node in nodes)


def _lane_labels(params: list[Expression]) -> list[str]:
    """Short names of the lanes of x for the report: a Parameter's name (or
    its place in params), with the lane when it has several."""
    labels = []
    for i, p in enumerate(params):
        name, dim = p.name or f"params[{i}]", p.dim
        labels += [f"{name}[{k}]" for k in range(dim)] if dim > 1 else [name]
    return labels


def fit_report(result: Any) -> str:
    """A plain-text summary of a least-squares fit, to read at a glance.

    One line per Parameter lane (value, standard error, relative error,
    and a mark for a lane at a bound, fixed by bounds or not determined);
    the correlations above 0.1 in size, largest first; chisqr, redchi, dof
    and the number of function evaluations. Computes the covariance if it
    was not yet, with its warnings.
    """
    fit = _fit_of(result)
    stderr, correlation = result["stderr"], result["correlation"]
    # Formatted by the core in one pass: per lane, Python's formatting would
    # cost more than the decomposition.
    return _native.fit_report(
        result.get("method"), bool(result.get("success")), result.get("nfev"),
        result["fun"].size, fit.dof, result["chisqr"], result["redchi"], fit.absolute_sigma,
        _lane_labels(fit.lanes.params), result["x"], stderr, correlation, fit.free,
        result["at_bound"],
    )

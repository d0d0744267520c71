"""Least squares over the graph's residuals with its exact Jacobian: the
package's native Levenberg-Marquardt, or scipy.optimize.least_squares through
a short adapter."""

from __future__ import annotations

from collections.abc import Callable

from typing import Any

import numpy as np
import numpy.typing as npt
from _quoril import Expression

from quoril import _native, _statistics
from quoril._data import Data, RowResiduals
from quoril._function import Function
from quoril._checks import (
    Array,
    Bounds,
    Outputs,
    Params,
    as_bounds,
    as_outputs,
    as_params,
    require_callback_method,
    require_method,
    require_native_options,
    require_open_bounds,
)
from quoril._lanes import Lanes, start

# Above this many Parameter lanes the dense native solver stops paying off
# against SciPy's, which handles large and sparse problems better.
NATIVE_MAX_LANES = 50

LEAST_SQUARES_METHODS = ("native", "trf", "dogbox", "lm")

# What the native solver's status codes mean, worded as SciPy words its own.
_NATIVE_MESSAGES = {
    0: "The maximum number of function evaluations is exceeded.",
    1: "`gtol` termination condition is satisfied.",
    2: "`ftol` termination condition is satisfied.",
    3: "`xtol` termination condition is satisfied.",
    4: "Both `ftol` and `xtol` termination conditions are satisfied.",
    -2: "Stopped because `callback` function raised `StopIteration` or returned `True`",
}


def least_squares(
    residuals: Outputs | Function,
    params: Params,
    *,
    method: str | None = None,
    loss: str = "linear",
    f_scale: float = 1.0,
    x_scale: Any = None,
    ftol: float | None = 1e-8,
    xtol: float | None = 1e-8,
    gtol: float | None = 1e-8,
    max_nfev: int | None = None,
    verbose: int = 0,
    bounds: Bounds | None = None,
    sigma: _statistics.Sigma = None,
    absolute_sigma: bool = False,
    callback: Callable[..., Any] | None = None,
    data: Data | None = None,
) -> Any:
    """Minimises half the sum of squares of the residuals' lanes over the
    Parameters, with the graph's exact Jacobian, and says what the fit is
    worth.

    Parameters
    ----------
    residuals : Expression, sequence of Expression, or Function
        Any lane counts; every lane is one residual (of every row, with
        `data`). A prepared ``q.Function`` whose inputs are the keys of
        `data` keeps its programs between calls, so solving again from
        another start or with new arrays prepares nothing.
    params : Parameter or sequence of Parameter
        The unknowns, each given once. Their current values are the start.
    method : {None, "native", "trf", "dogbox", "lm"}
        ``"native"`` is the package's Levenberg-Marquardt, run in-process
        with no Python call per iteration: under- and over-determined
        problems, bounds by projection, linear loss and SciPy's default
        scaling only. The other names are ``scipy.optimize.least_squares``
        methods. The default, None, takes ``"native"`` when the loss is
        linear, `x_scale` is None and there are at most 50 Parameter lanes,
        else ``"trf"``.
    loss, f_scale, x_scale, ftol, xtol, gtol, max_nfev, verbose
        As for ``scipy.optimize.least_squares``. `max_nfev` defaults to
        100 times the number of Parameter lanes.
    bounds : sequence of (low, high) pairs, optional
        One pair per Parameter, in the order of `params`. Each bound is a
        number (for every lane) or a sequence of as many numbers as the
        Parameter has lanes; None or an infinity leaves it open. A start
        outside the bounds is first clipped into them. SciPy's methods need
        low < high; the native one also takes low == high (a fixed lane).
    sigma : float or sequence of float, optional
        The standard deviation of every residual lane (one number for all,
        or one per lane, positive and finite). With `data`, one number, or
        an array of one per residual lane of every row: shape (N, L), (N,)
        when L is 1, or flat (N * L,) in the order of ``fun``. The residuals
        are divided by it before the solve, so ``fun``, ``jac``, ``cost`` and
        ``grad`` are those of the weighted residuals.
    absolute_sigma : bool
        False (default): sigma gives relative weights, and the covariance is
        scaled by the residual variance ``redchi``, as in
        ``scipy.optimize.curve_fit``. True: sigma is the measurement's own
        standard deviation and the covariance is not scaled.
    callback : callable, optional
        Called once per iteration as ``scipy.optimize.least_squares`` calls
        it: SciPy's trf and dogbox call it themselves, and the native method
        after each accepted step, with the same ``intermediate_result``
        (x, fun, nit, nfev, cost), or with a copy of x when its one argument
        is not named ``intermediate_result``. Raising StopIteration ends the
        solve at that point with status -2, as in SciPy. SciPy's lm takes
        none. If it raises anything else, every Parameter is restored.
    data : dict, optional
        Rows of data, ``{leaf: array}``, for leaves of the residuals that are
        not in `params` (Undefined placeholders or Parameters), each array
        shaped as ``q.Function`` takes it. The residuals are then those of
        every row, row after row: N * L in all, ``fun`` of shape (N * L,) and
        ``jac`` (N * L, P). The native method solves over the rows in one
        native call; SciPy's methods evaluate every row per point.

    Returns
    -------
    scipy.optimize.OptimizeResult
        SciPy's fields (x, cost, fun, jac, grad, optimality, active_mask,
        nfev, njev, status, message, success), plus ``method`` (the one that
        ran) and ``cost_history``: the cost at the start and after each
        accepted step (for SciPy's methods, at each point where the
        Jacobian was taken, as 0.5 * sum(fun**2) before any robust loss).
        Also the fit's statistics: ``dof`` (residual lanes minus the free
        Parameter lanes; a lane fixed by low == high is not free, a lane on
        an active bound is, and ``at_bound`` marks it), ``chisqr`` (the
        weighted sum of squares), ``redchi`` (chisqr / dof), and, computed
        from the SVD of the weighted Jacobian at the solution on first
        access, ``cov`` (in the order of x), ``stderr`` and
        ``correlation``; and the method ``confidence_interval(level)``.
        Lanes the Jacobian cannot determine (singular values at most
        ``max(m, n) * eps * s_max``) get infinite variances and a
        ``q.CovarianceWarning``, as does every lane when dof <= 0 and
        absolute_sigma is False; a lane fixed by bounds has variance 0.

    A trial point where the residuals or their Jacobian are not finite is a
    rejected step, not an error. The Parameters end holding the solution. If
    the solve raises, every Parameter is restored to its value before the
    call.
    """
    function = residuals if isinstance(residuals, Function) else None
    roots = as_outputs(residuals, "residuals") if function is None else function.outputs
    lanes = Lanes(as_params(params))
    box = as_bounds(bounds, lanes.params)
    rows = weights = None
    if data is not None or function is not None:
        rows = RowResiduals(function, roots, lanes.params, data, sigma, absolute_sigma)
    else:
        weights = _statistics.parse_sigma(sigma, absolute_sigma, roots)
    require_method(method, LEAST_SQUARES_METHODS)
    fits_native = loss == "linear" and x_scale is None
    require_callback_method(callback, method)
    if method is None:
        method = "native" if fits_native and lanes.size <= NATIVE_MAX_LANES else "trf"
    if method == "native":
        require_native_options(loss, x_scale)
    else:
        require_open_bounds(box, lanes.params, method)

    roots = _statistics.weighted(roots, weights)
    saved = lanes.get()
    try:
        if method == "native":
            result = _least_squares_native(
                roots, lanes, box, ftol, xtol, gtol, max_nfev, verbose, callback, rows
            )
        else:
            result = _least_squares_scipy(
                roots, lanes, box, method, loss, f_scale, x_scale,
                ftol, xtol, gtol, max_nfev, verbose, callback, rows,
            )
        lanes.set(result.x)
        result = _statistics.attach(
            result, roots, lanes, box, loss, absolute_sigma,
            None if rows is None else rows.jacobian,
        )
    except BaseException:
        lanes.restore(saved)
        raise
    return result


def _least_squares_native(
    roots: list[Expression],
    lanes: Lanes,
    box: tuple[Array, Array] | None,
    ftol: float | None,
    xtol: float | None,
    gtol: float | None,
    max_nfev: int | None,
    verbose: int,
    callback: Callable[..., Any] | None = None,
    rows: RowResiduals | None = None,
) -> Any:
    from scipy.optimize import OptimizeResult  # type: ignore[import-untyped]

    lower, upper = box if box is not None else (None, None)
    # The solver clips the start into the bounds and reports a start that is
    # not finite itself; 0 evaluations means its default, 100 per lane.
    options = (lower, upper, ftol or 0.0, xtol or 0.0, gtol or 0.0, max_nfev or 0,
               _native_step(callback))
    if rows is None:
        solution = _native.levenberg_marquardt(roots, lanes.params, *options)
    else:
        solution = rows.levenberg_marquardt(*options)
    x, fun, jac, history = solution.x, solution.fun, solution.jac, solution.cost_history
    grad = jac.T @ fun
    # First-order optimality as the norm of the projected gradient step, which
    # is the gradient's norm when no bound is active.
    step = grad if box is None else x - np.clip(x - grad, *box)
    optimality = float(np.max(np.abs(step), initial=0.0))
    result = OptimizeResult(
        x=x, cost=0.5 * float(fun @ fun), fun=fun, jac=jac, grad=grad,
        optimality=optimality, active_mask=_active_mask(x, box), nfev=solution.nfev,
        njev=solution.njev, status=solution.status, message=_NATIVE_MESSAGES[solution.status],
        success=solution.status > 0, cost_history=history, method="native",
    )
    if verbose >= 2:
        for k, cost in enumerate(result.cost_history):
            print(f"iteration {k:4d}  cost {cost:.4e}")
    if verbose >= 1:
        print(result.message)
        print(
            f"Function evaluations {solution.nfev}, initial cost {history[0]:.4e}, "
            f"final cost {result.cost:.4e}, first-order optimality {optimality:.2e}."
            if history else f"Function evaluations {solution.nfev}, final cost {result.cost:.4e}."
        )
    return result


def _native_step(callback: Callable[..., Any] | None) -> Callable[..., bool] | None:
    """The native solver's hook: calls `callback` with what SciPy's trf
    passes, and says to stop where SciPy would, on StopIteration."""
    if callback is None:
        return None
    from scipy.optimize import OptimizeResult

    from quoril._minimize import _takes_result

    by_name = _takes_result(callback)

    def step(x: Array, fun: Array, nit: int, nfev: int, cost: float) -> bool:
        state = OptimizeResult(x=x, fun=fun, nit=nit, nfev=nfev)
        state["cost"] = cost
        try:
            if by_name:
                callback(intermediate_result=state)
            else:
                callback(np.copy(x))
        except StopIteration:
            return True
        return False

    return step


def _active_mask(x: Array, box: tuple[Array, Array] | None) -> npt.NDArray[np.int_]:
    mask = np.zeros(x.size, dtype=int)
    if box is not None:
        lower, upper = box
        tol = 1e-10 * np.maximum(1.0, np.abs(x))
        mask[x - lower <= tol] = -1
        mask[upper - x <= tol] = 1
    return mask


def _least_squares_scipy(
    roots: list[Expression],
    lanes: Lanes,
    box: tuple[Array, Array] | None,
    method: str,
    loss: str,
    f_scale: float,
    x_scale: Any,
    ftol: float | None,
    xtol: float | None,
    gtol: float | None,
    max_nfev: int | None,
    verbose: int,
    callback: Callable[..., Any] | None = None,
    rows: RowResiduals | None = None,
) -> Any:
    import scipy.optimize  # type: ignore[import-untyped]

    problem = _Residuals(roots, lanes, box, rows)
    result = scipy.optimize.least_squares(
        problem.fun, problem.x.copy(), jac=problem.jac_at, method=method,
        bounds=box if box is not None else (-np.inf, np.inf),
        ftol=ftol, xtol=xtol, gtol=gtol, x_scale=x_scale, loss=loss,
        f_scale=f_scale, max_nfev=max_nfev, verbose=verbose,
        **({"callback": callback} if callback is not None else {}),
    )
    result.cost_history = problem.history
    result.method = method
    return result


class _Residuals:
    """SciPy's fun and jac over the graph. Each point is evaluated once for
    both: the pair is kept for the jac call that follows an accepted fun call.
    A point where the residuals or their Jacobian are not finite gives
    infinite residuals, which trf and dogbox treat as a failed step."""

    def __init__(
        self, roots: list[Expression], lanes: Lanes, box: tuple[Array, Array] | None,
        rows: RowResiduals | None = None,
    ) -> None:
        self.lanes = lanes
        # Ordered once for the whole solve; every point only evaluates.
        self.program: Any = _native.Program(roots, lanes.params) if rows is None else rows
        x0, evaluation = start(self.program, roots, lanes, box, "residuals")
        self.x = x0.copy()
        self.f, self.jac = evaluation.values, evaluation.jacobian
        self.history: list[float] = []

    def evaluate(self, x: Array) -> None:
        """Evaluates at x unless x is the point held."""
        if np.array_equal(x, self.x):
            return
        self.x = np.array(x, dtype=np.float64)
        # A trial point may leave the finite numbers, which no Parameter holds.
        evaluation = None
        if np.isfinite(self.x).all():
            self.lanes.set(self.x)
            evaluation = self.program.try_value_and_jacobian()
        if evaluation is None:
            self.f = np.full(self.f.size, np.inf)
        else:
            self.f, self.jac = evaluation.values, evaluation.jacobian

    def fun(self, x: Array) -> Array:
        self.evaluate(x)
        # SciPy scales what it is given in place for a robust loss.
        return self.f.copy()

    def jac_at(self, x: Array) -> Array:
        self.evaluate(x)
        self.history.append(0.5 * float(self.f @ self.f))
        return self.jac.copy()

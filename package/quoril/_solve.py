"""Values, Jacobians and solvers over the graph: NumPy arrays in and out, the
solves run by scipy.optimize or, for small least-squares problems, by the
package's native Levenberg-Marquardt."""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import Any, TypeAlias, cast

import numpy as np
import numpy.typing as npt
from _quoril import Expression

from quoril import _native, _statistics

Array: TypeAlias = npt.NDArray[np.float64]
Outputs: TypeAlias = Expression | Sequence[Expression]
Params: TypeAlias = Expression | Sequence[Expression]
Bound: TypeAlias = float | Sequence[float] | None
Bounds: TypeAlias = Sequence[tuple[Bound, Bound]]

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
}

# SciPy's gradient-free minimizers, which must not be given a gradient.
_GRADIENT_FREE = {"nelder-mead", "powell", "cobyla", "cobyqa"}


def _type_name(value: object) -> str:
    return type(value).__name__


def _items(value: object, label: str, what: str) -> list[object]:
    """The elements of a sequence argument, or the argument alone when it
    is one Expression."""
    if isinstance(value, Expression):
        return [value]
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        raise TypeError(
            f"{label} must be {what} or a sequence of them, not {_type_name(value)}"
        )
    return list(value)


def _as_outputs(outputs: object, label: str) -> list[Expression]:
    items = _items(outputs, label, "an Expression")
    if not items:
        raise ValueError(f"{label} is empty; pass at least one Expression")
    for i, item in enumerate(items):
        if not isinstance(item, Expression):
            raise TypeError(f"{label}[{i}] must be an Expression, not {_type_name(item)}")
    return cast(list[Expression], items)


def _describe(params: Sequence[Expression], i: int) -> str:
    """How messages name the i-th Parameter: its index, and its name if it
    has one."""
    name = params[i].name
    return f"params[{i}] ({name!r})" if name else f"params[{i}]"


def _as_params(params: object) -> list[Expression]:
    single = isinstance(params, Expression)
    items = _items(params, "params", "a Parameter")
    if not items:
        raise ValueError("params is empty; pass at least one Parameter")
    seen: dict[int, int] = {}
    for i, item in enumerate(items):
        label = "params" if single else f"params[{i}]"
        if not isinstance(item, Expression):
            raise TypeError(f"{label} must be a Parameter, not {_type_name(item)}")
        if not item.is_parameter:
            raise TypeError(f"{label} is a{'n' if item.kind[0] in 'EU' else ''} "
                            f"{item.kind}; pass Parameters")
        if item.id in seen:
            raise ValueError(
                f"params[{i}] is the same Parameter as params[{seen[item.id]}]; "
                "pass each Parameter once"
            )
        seen[item.id] = i
    return cast(list[Expression], items)


class _Lanes:
    """The Parameters of a call laid end to end as one vector x."""

    def __init__(self, params: list[Expression]) -> None:
        self.params = params
        self.slices: list[slice] = []
        start = 0
        for p in params:
            self.slices.append(slice(start, start + p.dim))
            start += p.dim
        self.size = start

    def get(self) -> Array:
        return np.fromiter(
            (lane for p in self.params for lane in p.value), np.float64, self.size
        )

    def set(self, x: Array) -> None:
        for p, part in zip(self.params, self.slices):
            p.set_value(*x[part].tolist())

    def restore(self, saved: Array) -> None:
        # Parameters hold finite lanes at every step, so restoring cannot fail
        # half way.
        self.set(saved)

    def lane_name(self, column: int) -> str:
        for i, part in enumerate(self.slices):
            if part.start <= column < part.stop:
                return f"{_describe(self.params, i)} lane {column - part.start}"
        raise IndexError(column)


def _output_lane_name(outputs: list[Expression], row: int, label: str) -> str:
    start = 0
    for i, output in enumerate(outputs):
        if row < start + output.dim:
            return f"{label}[{i}] lane {row - start}"
        start += output.dim
    raise IndexError(row)


def values(outputs: Outputs) -> Array:
    """Evaluates several outputs at the Parameters' current values.

    Parameters
    ----------
    outputs : Expression or sequence of Expression
        The values to compute, 1 to 4 lanes each.

    Returns
    -------
    ndarray of float64, shape (total output lanes,)
        Each output's lanes in order, the outputs in order.

    Raises
    ------
    TypeError, ValueError
        For an argument of the wrong kind, or no output at all.
    RuntimeError, ValueError
        As ``Expression.eval()``: an Undefined reached, a non-finite
        intermediate value.
    """
    return _native.values(_as_outputs(outputs, "outputs"))


def value_and_jacobian(outputs: Outputs, params: Params) -> tuple[Array, Array]:
    """Evaluates outputs and their Jacobian in one pass over the graph.

    Rows follow the outputs in order, each output's lanes in order; columns
    follow the Parameters in order, each one's lanes in order. A Parameter
    that an output does not reach gives zeros. No ``grad`` changes and
    nothing is cached between calls. Entries may be infinite or NaN where a
    derivative does not exist (``sqrt`` at 0), although every value is
    finite.

    Parameters
    ----------
    outputs : Expression or sequence of Expression
        The functions to differentiate, 1 to 4 lanes each.
    params : Parameter or sequence of Parameter
        The variables, each given once.

    Returns
    -------
    values : ndarray of float64, shape (m,)
        The output lanes, m in all.
    jacobian : ndarray of float64, shape (m, n)
        d values / d lanes of the Parameters, n lanes in all.

    Raises
    ------
    TypeError, ValueError
        For a non-Parameter in `params`, a Parameter given twice, no output
        or no Parameter.
    RuntimeError, ValueError
        As ``Expression.eval()``.
    """
    roots = _as_outputs(outputs, "outputs")
    columns = _as_params(params)
    lanes, jac = _native.value_and_jacobian(roots, columns, True)
    assert lanes is not None
    return lanes, jac


def jacobian(outputs: Outputs, params: Params) -> Array:
    """The Jacobian of outputs with respect to Parameters, shape
    (total output lanes, total Parameter lanes); as `value_and_jacobian`
    without the values."""
    roots = _as_outputs(outputs, "outputs")
    columns = _as_params(params)
    return _native.value_and_jacobian(roots, columns, False)[1]


class JacobianProgram:
    """Outputs and Parameters prepared for many evaluations, as a solver
    makes them.

    The graphs are ordered once, here; each call then only computes, reading
    the Parameters' current values, so results always match `values` and
    `value_and_jacobian` at the same point, bit for bit. Graphs never change
    shape, so nothing can go stale. Use it where the same Jacobian is needed
    at many points; the one-off functions walk the graph afresh each time.

    Parameters
    ----------
    outputs, params
        As for `value_and_jacobian`, checked the same way.
    """

    def __init__(self, outputs: Outputs, params: Params) -> None:
        self._program = _native.Program(_as_outputs(outputs, "outputs"), _as_params(params))

    def values(self) -> Array:
        """The output lanes at the Parameters' current values."""
        return self._program.values()

    def jacobian(self) -> Array:
        """The Jacobian at the Parameters' current values."""
        return self._program.value_and_jacobian(False)[1]

    def value_and_jacobian(self) -> tuple[Array, Array]:
        """The output lanes and their Jacobian, from one pass."""
        lanes, jac = self._program.value_and_jacobian(True)
        assert lanes is not None
        return lanes, jac


def check_gradients(
    outputs: Outputs,
    params: Params,
    eps: float = 1e-6,
    rtol: float = 1e-5,
    atol: float = 1e-8,
) -> float:
    """Compares the Jacobian with central finite differences.

    Each Parameter lane x moves by h = eps * max(1, |x|) either way, and
    ``(f(x + h) - f(x - h)) / 2h`` is compared with the Jacobian column. An
    entry agrees when ``|J - D| <= atol + rtol * |D|``. Use it on your own
    composite models, away from points where they have no derivative.

    Returns
    -------
    float
        The largest absolute difference found.

    Raises
    ------
    ValueError
        Naming every output lane and Parameter lane that disagrees, with
        both numbers; also for the argument errors of `value_and_jacobian`.

    Every Parameter holds its value from before the call afterwards, whether
    the check passes, fails or raises.
    """
    roots = _as_outputs(outputs, "outputs")
    lanes = _Lanes(_as_params(params))
    saved = lanes.get()
    try:
        jac = _native.value_and_jacobian(roots, lanes.params, False)[1]
        differences = np.empty_like(jac)
        for column in range(lanes.size):
            h = eps * max(1.0, abs(saved[column]))
            x = saved.copy()
            x[column] = saved[column] + h
            lanes.set(x)
            ahead = _native.values(roots)
            x[column] = saved[column] - h
            lanes.set(x)
            behind = _native.values(roots)
            differences[:, column] = (ahead - behind) / (2.0 * h)
    finally:
        lanes.restore(saved)
    error = np.abs(jac - differences)
    bad = ~(error <= atol + rtol * np.abs(differences))
    if bad.any():
        lines = [
            f"  {_output_lane_name(roots, row, 'outputs')}, "
            f"{lanes.lane_name(column)}: jacobian {float(jac[row, column])!r}, "
            f"finite difference {float(differences[row, column])!r}"
            for row, column in zip(*np.nonzero(bad))
        ]
        raise ValueError(
            f"jacobian disagrees with central differences at {len(lines)} "
            "entries:\n" + "\n".join(lines)
        )
    return float(error.max(initial=0.0))


def _bound_lanes(
    bound: object, dim: int, what: str, params: list[Expression], i: int, fill: float
) -> Array:
    if bound is None:
        return np.full(dim, fill)
    if isinstance(bound, (int, float, np.number)) and not isinstance(bound, bool):
        lanes = np.full(dim, float(bound))
    elif isinstance(bound, (str, bytes)) or not isinstance(bound, Iterable):
        raise TypeError(
            f"bounds[{i}] {what} must be a number, None or a sequence of numbers, "
            f"not {_type_name(bound)}"
        )
    else:
        items = list(bound)
        if len(items) != dim:
            raise ValueError(
                f"bounds[{i}] {what} has {len(items)} values but "
                f"{_describe(params, i)} has {dim} lanes; pass a number or {dim} values"
            )
        try:
            lanes = np.array([fill if b is None else float(b) for b in items])
        except (TypeError, ValueError):
            raise TypeError(
                f"bounds[{i}] {what} must be a number, None or a sequence of numbers"
            ) from None
    if np.isnan(lanes).any():
        raise ValueError(f"bounds[{i}] {what} is NaN; use None for no bound")
    return lanes


def _parse_bounds(
    bounds: Bounds | None, lanes: _Lanes
) -> tuple[Array, Array] | None:
    """Lower and upper bounds per lane, or None when nothing is bounded."""
    if bounds is None:
        return None
    params = lanes.params
    if isinstance(bounds, (str, bytes)) or not isinstance(bounds, Sequence):
        raise TypeError(
            "bounds must be a sequence of (low, high) pairs, one per Parameter, "
            f"not {_type_name(bounds)}"
        )
    if len(bounds) != len(params):
        raise ValueError(
            f"bounds has {len(bounds)} pairs but params has {len(params)} "
            "Parameters; pass one (low, high) pair per Parameter"
        )
    lower = np.empty(lanes.size)
    upper = np.empty(lanes.size)
    for i, (pair, part) in enumerate(zip(bounds, lanes.slices)):
        if isinstance(pair, (str, bytes)) or not isinstance(pair, Sequence) or len(pair) != 2:
            raise ValueError(f"bounds[{i}] must be a (low, high) pair")
        dim = params[i].dim
        lower[part] = _bound_lanes(pair[0], dim, "low", params, i, -np.inf)
        upper[part] = _bound_lanes(pair[1], dim, "high", params, i, np.inf)
        above = np.nonzero(lower[part] > upper[part])[0]
        if above.size:
            lane = int(above[0])
            raise ValueError(
                f"bounds[{i}] low is above high on lane {lane} of {_describe(params, i)}: "
                f"{float(lower[part][lane])!r} > {float(upper[part][lane])!r}"
            )
    if np.isneginf(lower).all() and np.isposinf(upper).all():
        return None
    return lower, upper


def _first_nonfinite(jac: Array, roots: list[Expression], lanes: _Lanes, label: str) -> str:
    row, column = (int(k) for k in np.argwhere(~np.isfinite(jac))[0])
    return (
        f"the Jacobian of {label} is not finite at the starting point "
        f"({_output_lane_name(roots, row, label)}, {lanes.lane_name(column)}); "
        "start where every derivative exists"
    )


class _Residuals:
    """SciPy's fun and jac over the graph. Each point is evaluated once for
    both: the pair is kept for the jac call that follows an accepted fun call.
    A point where the residuals or their Jacobian are not finite gives
    infinite residuals, which trf and dogbox treat as a failed step."""

    def __init__(self, roots: list[Expression], lanes: _Lanes) -> None:
        self.roots = roots
        self.lanes = lanes
        # Ordered once for the whole solve; every point only evaluates.
        self.program = _native.Program(roots, lanes.params)
        self.x: Array | None = None
        self.f = np.empty(0)
        self.jac = np.empty((0, 0))
        self.rows = 0
        self.history: list[float] = []

    def evaluate(self, x: Array) -> bool:
        """Evaluates at x unless x is the point held; False if not finite."""
        if self.x is not None and np.array_equal(x, self.x):
            return bool(np.isfinite(self.f).all())
        self.x = np.array(x, dtype=np.float64)
        try:
            self.lanes.set(self.x)
            f, self.jac = self.program.value_and_jacobian(True)
            assert f is not None
            self.f = f
        except ValueError:
            # Non-finite lanes, whether in x itself or computed from it.
            self.f = np.full(self.rows, np.inf)
            return False
        if not np.isfinite(self.jac).all():
            self.f = np.full(self.rows, np.inf)
            return False
        return True

    def fun(self, x: Array) -> Array:
        self.evaluate(x)
        # SciPy scales what it is given in place for a robust loss.
        return self.f.copy()

    def jac_at(self, x: Array) -> Array:
        self.evaluate(x)
        self.history.append(0.5 * float(self.f @ self.f))
        return self.jac.copy()


def _start(
    roots: list[Expression], lanes: _Lanes, box: tuple[Array, Array] | None, label: str
) -> tuple[Array, Array, Array]:
    """Moves the Parameters into the bounds and evaluates there, raising the
    module's own error for a start that cannot be evaluated."""
    x0 = lanes.get()
    if box is not None:
        clipped = np.clip(x0, *box)
        if not np.array_equal(clipped, x0):
            lanes.set(clipped)
            x0 = clipped
    f0, jac0 = _native.value_and_jacobian(roots, lanes.params, True)
    assert f0 is not None
    if not np.isfinite(jac0).all():
        raise ValueError(_first_nonfinite(jac0, roots, lanes, label))
    return x0, f0, jac0


def _active_mask(x: Array, box: tuple[Array, Array] | None) -> npt.NDArray[np.int_]:
    mask = np.zeros(x.size, dtype=int)
    if box is not None:
        lower, upper = box
        tol = 1e-10 * np.maximum(1.0, np.abs(x))
        mask[x - lower <= tol] = -1
        mask[upper - x <= tol] = 1
    return mask


def _least_squares_native(
    roots: list[Expression],
    lanes: _Lanes,
    box: tuple[Array, Array] | None,
    ftol: float | None,
    xtol: float | None,
    gtol: float | None,
    max_nfev: int | None,
    verbose: int,
) -> Any:
    from scipy.optimize import OptimizeResult  # type: ignore[import-untyped]

    lower, upper = box if box is not None else (None, None)
    # The solver clips the start into the bounds and reports a start that is
    # not finite itself; 0 evaluations means its default, 100 per lane.
    x, fun, jac, nfev, njev, status, history = _native.levenberg_marquardt(
        roots, lanes.params, lower, upper,
        ftol or 0.0, xtol or 0.0, gtol or 0.0, max_nfev or 0,
    )
    grad = jac.T @ fun
    # First-order optimality as the norm of the projected gradient step, which
    # is the gradient's norm when no bound is active.
    step = grad if box is None else x - np.clip(x - grad, *box)
    optimality = float(np.max(np.abs(step), initial=0.0))
    result = OptimizeResult(
        x=x, cost=0.5 * float(fun @ fun), fun=fun, jac=jac, grad=grad,
        optimality=optimality, active_mask=_active_mask(x, box), nfev=nfev,
        njev=njev, status=status, message=_NATIVE_MESSAGES[status],
        success=status > 0, cost_history=list(history), method="native",
    )
    if verbose >= 2:
        for k, cost in enumerate(result.cost_history):
            print(f"iteration {k:4d}  cost {cost:.4e}")
    if verbose >= 1:
        print(result.message)
        print(
            f"Function evaluations {nfev}, initial cost {history[0]:.4e}, "
            f"final cost {result.cost:.4e}, first-order optimality {optimality:.2e}."
            if history else f"Function evaluations {nfev}, final cost {result.cost:.4e}."
        )
    return result


def least_squares(
    residuals: Outputs,
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
) -> Any:
    """Minimises half the sum of squares of the residuals' lanes over the
    Parameters, with the graph's exact Jacobian, and says what the fit is
    worth.

    Parameters
    ----------
    residuals : Expression or sequence of Expression
        Any lane counts; every lane is one residual.
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
        or one per lane, positive and finite). The residuals are divided by
        it before the solve, so ``fun``, ``jac``, ``cost`` and ``grad`` are
        those of the weighted residuals.
    absolute_sigma : bool
        False (default): sigma gives relative weights, and the covariance is
        scaled by the residual variance ``redchi``, as in
        ``scipy.optimize.curve_fit``. True: sigma is the measurement's own
        standard deviation and the covariance is not scaled.

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
    roots = _as_outputs(residuals, "residuals")
    lanes = _Lanes(_as_params(params))
    box = _parse_bounds(bounds, lanes)
    weights = _statistics.parse_sigma(sigma, absolute_sigma, roots)
    if method is not None and method not in LEAST_SQUARES_METHODS:
        raise ValueError(
            f"method must be one of {', '.join(map(repr, LEAST_SQUARES_METHODS))} "
            f"or None, not {method!r}"
        )
    has_native = hasattr(_native, "levenberg_marquardt")
    fits_native = loss == "linear" and x_scale is None
    if method is None:
        method = "native" if has_native and fits_native and lanes.size <= NATIVE_MAX_LANES else "trf"
    if method == "native":
        if not has_native:
            raise ValueError("method 'native' is not in this build of quoril._native")
        if not fits_native:
            raise ValueError(
                "method 'native' takes only loss='linear' and x_scale=None; "
                "use method='trf' for a robust loss or scaling"
            )
    elif box is not None:
        fixed = np.nonzero(box[0] == box[1])[0]
        if fixed.size:
            raise ValueError(
                f"bounds fix {lanes.lane_name(int(fixed[0]))} (low == high); "
                f"method {method!r} needs low < high: leave that Parameter out "
                "of params or use method='native'"
            )

    roots = _statistics.weighted(roots, weights)
    saved = lanes.get()
    try:
        if method == "native":
            result = _least_squares_native(
                roots, lanes, box, ftol, xtol, gtol, max_nfev, verbose
            )
        else:
            x0, f0, jac0 = _start(roots, lanes, box, "residuals")
            result = _least_squares_scipy(
                roots, lanes, box, x0, f0, jac0, method, loss, f_scale, x_scale,
                ftol, xtol, gtol, max_nfev, verbose,
            )
        lanes.set(result.x)
        result = _statistics.attach(result, roots, lanes, box, loss, absolute_sigma)
    except BaseException:
        lanes.restore(saved)
        raise
    return result


def _least_squares_scipy(
    roots: list[Expression],
    lanes: _Lanes,
    box: tuple[Array, Array] | None,
    x0: Array,
    f0: Array,
    jac0: Array,
    method: str,
    loss: str,
    f_scale: float,
    x_scale: Any,
    ftol: float | None,
    xtol: float | None,
    gtol: float | None,
    max_nfev: int | None,
    verbose: int,
) -> Any:
    import scipy.optimize  # type: ignore[import-untyped]

    problem = _Residuals(roots, lanes)
    problem.x, problem.f, problem.jac, problem.rows = x0.copy(), f0, jac0, f0.size
    result = scipy.optimize.least_squares(
        problem.fun, x0, jac=lambda x: problem.jac_at(x), method=method,
        bounds=box if box is not None else (-np.inf, np.inf),
        ftol=ftol, xtol=xtol, gtol=gtol, x_scale=x_scale, loss=loss,
        f_scale=f_scale, max_nfev=max_nfev, verbose=verbose,
    )
    result.cost_history = problem.history
    result.method = method
    return result


class _Loss:
    """SciPy's fun for minimize over a one-lane loss, value and gradient from
    one pass.

    A point where either is not finite gets a finite value above every value
    seen so far, growing with the distance from the best point, and that
    growth's gradient. A line search then backtracks from it as from any
    increase, and no method takes it as an improvement; an infinity instead
    lets L-BFGS-B stop at the previous point and report convergence."""

    def __init__(self, root: Expression, lanes: _Lanes, with_gradient: bool) -> None:
        self.roots = [root]
        self.lanes = lanes
        self.with_gradient = with_gradient
        self.program = _native.Program(self.roots, lanes.params)
        self.best_x = np.empty(0)
        self.best = np.inf
        self.worst = -np.inf
        self.nonfinite = 0
        self.x: Array | None = None
        self.value = np.nan

    def evaluate(self, x: Array) -> tuple[float, Array]:
        self.x = np.array(x, dtype=np.float64)
        try:
            self.lanes.set(self.x)
            if self.with_gradient:
                f, jac = self.program.value_and_jacobian(True)
                assert f is not None
                gradient = jac[0]
            else:
                f, gradient = self.program.values(), np.zeros(0)
            value = float(f[0])
            if not np.isfinite(gradient).all():
                raise ValueError("gradient not finite")
        except ValueError:
            self.nonfinite += 1
            offset = self.x - self.best_x
            scale = 1.0 + abs(self.worst) + abs(self.best)
            self.value = self.worst + scale * (1.0 + float(offset @ offset))
            return self.value, 2.0 * scale * offset
        if value < self.best:
            self.best, self.best_x = value, self.x.copy()
        self.worst = max(self.worst, value)
        self.value = value
        return value, gradient

    def fun_and_gradient(self, x: Array) -> tuple[float, Array]:
        return self.evaluate(x)

    def fun(self, x: Array) -> float:
        return self.evaluate(x)[0]

    def value_at(self, x: Array) -> float:
        if self.x is not None and np.array_equal(x, self.x):
            return self.value
        return self.evaluate(x)[0]


def minimize(
    loss: Expression,
    params: Params,
    *,
    method: str = "L-BFGS-B",
    bounds: Bounds | None = None,
    tol: float | None = None,
    options: dict[str, Any] | None = None,
) -> Any:
    """Minimises a one-lane loss over the Parameters with
    ``scipy.optimize.minimize``, value and gradient from one forward and one
    reverse pass per evaluation.

    Parameters
    ----------
    loss : Expression
        One lane; sum a longer value first (``q.sum``).
    params : Parameter or sequence of Parameter
        The unknowns, each given once. Their current values are the start.
    method : str
        A ``scipy.optimize.minimize`` method; "L-BFGS-B" by default.
        Gradient-free methods get no gradient.
    bounds : sequence of (low, high) pairs, optional
        As for `least_squares`; for the methods that SciPy bounds
        (L-BFGS-B, TNC, SLSQP, Powell, Nelder-Mead, trust-constr, COBYLA,
        COBYQA). A start outside the bounds is first clipped into them.
    tol, options
        As for ``scipy.optimize.minimize``.

    Returns
    -------
    scipy.optimize.OptimizeResult
        SciPy's result, plus ``cost_history`` (the loss at the start and
        after each iteration) and ``nonfinite`` (how many trial points had
        a non-finite loss or gradient).

    A trial point where the loss or its gradient is not finite gets a large
    finite value, so the method backs away from it rather than stopping
    there; ``success`` is never True at a point whose loss is not finite.
    The Parameters end holding the solution. If the solve raises, every
    Parameter is restored to its value before the call.
    """
    if not isinstance(loss, Expression):
        raise TypeError(f"loss must be an Expression, not {_type_name(loss)}")
    if loss.dim != 1:
        raise ValueError(
            f"loss has {loss.dim} lanes; minimize needs a one-lane loss "
            "(sum the lanes with q.sum)"
        )
    lanes = _Lanes(_as_params(params))
    box = _parse_bounds(bounds, lanes)
    import scipy.optimize

    with_gradient = method.lower() not in _GRADIENT_FREE
    problem = _Loss(loss, lanes, with_gradient)
    saved = lanes.get()
    try:
        x0, _, _ = _start([loss], lanes, box, "loss")
        problem.evaluate(x0)
        history = [problem.value]

        def callback(intermediate_result: Any, *_: Any) -> None:
            x = getattr(intermediate_result, "x", intermediate_result)
            history.append(problem.value_at(np.asarray(x, dtype=np.float64)))

        result = scipy.optimize.minimize(
            problem.fun_and_gradient if with_gradient else problem.fun,
            x0, jac=True if with_gradient else None, method=method,
            bounds=scipy.optimize.Bounds(*box) if box is not None else None,
            tol=tol, options=options, callback=callback,
        )
        lanes.set(result.x)
        try:
            result.fun = float(_native.values([loss])[0])
        except ValueError:
            result.success = False
            result.message = "stopped at a point where the loss is not finite"
    except BaseException:
        lanes.restore(saved)
        raise
    result.cost_history = history
    result.nonfinite = problem.nonfinite
    return result

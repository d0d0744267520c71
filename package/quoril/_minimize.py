"""Minimisation of a one-lane loss over the Parameters through
scipy.optimize.minimize, value and gradient from one pass of the graph."""

from __future__ import annotations

import inspect
from collections.abc import Callable
from typing import Any, cast

import numpy as np
from _quoril import Expression

from quoril import _native
from quoril._constraints import Constraints
from quoril._data import Data, RowLoss, newton_over_data
from quoril._checks import Array, Bounds, Params, as_bounds, as_loss, as_params
from quoril._lanes import Lanes, start

# SciPy's gradient-free minimizers, which must not be given a gradient.
_GRADIENT_FREE = {"nelder-mead", "powell", "cobyla", "cobyqa"}
# The methods that take an exact Hessian of the loss.
_NEWTON = {"newton-cg", "dogleg", "trust-ncg", "trust-krylov", "trust-exact", "trust-constr"}
# The two forms of a SciPy callback: the result alone, or the point first.
_RESULT_FORM = inspect.signature(lambda intermediate_result: None)
_POINT_FORM = inspect.signature(lambda intermediate_result, *rest: None)
# The largest violation of a constraint lane or bound, relative to the
# largest finite |limit| (at least 1), that still counts as feasible.
_FEASIBLE = 1e-8


def minimize(
    loss: Expression,
    params: Params,
    *,
    method: str | None = None,
    bounds: Bounds | None = None,
    constraints: object = None,
    tol: float | None = None,
    options: dict[str, Any] | None = None,
    callback: Callable[..., Any] | None = None,
    data: Data | None = None,
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
    method : str, optional
        A ``scipy.optimize.minimize`` method; "L-BFGS-B" by default, "SLSQP"
        with constraints. Gradient-free methods get no gradient; the
        Newton-type ones (Newton-CG, dogleg, trust-ncg, trust-krylov,
        trust-exact, trust-constr) get the exact Hessian.
    bounds : sequence of (low, high) pairs, optional
        As for `least_squares`; for the methods that SciPy bounds
        (L-BFGS-B, TNC, SLSQP, Powell, Nelder-Mead, trust-constr, COBYLA,
        COBYQA). A start outside the bounds is first clipped into them.
    constraints : Constraint or sequence of Constraint, optional
        Made by `constraint`; for SLSQP (exact Jacobians), trust-constr
        (exact Jacobians and the exact Hessian of the Lagrangian), COBYLA
        and COBYQA.
    tol, options
        As for ``scipy.optimize.minimize``.
    callback : callable, optional
        Called as ``scipy.optimize.minimize`` calls it. If it raises, every
        Parameter is restored.
    data : dict, optional
        Rows of data, ``{leaf: array}`` as ``q.least_squares`` takes them:
        the loss minimised is then the sum of the loss over the rows, its
        gradient the sum of the rows' gradients. Constraints stay over the
        Parameters alone. The Newton-type methods, which need the loss's
        Hessian, are refused over data (ValueError).

    Returns
    -------
    scipy.optimize.OptimizeResult
        SciPy's result, plus ``cost_history`` (the loss at the start and
        after each iteration) and ``nonfinite`` (how many trial points had
        a non-finite loss, gradient or Hessian). With constraints also
        ``constraint_violation`` (the largest over every constraint lane and
        bound) and ``multipliers``: from SLSQP and trust-constr alike, one
        array per constraint holding a Lagrange multiplier per lane, signed
        so that at the solution grad loss = sum of multiplier times grad
        expr, plus the bounds' share (>= 0 on a lane held at its lower
        limit, <= 0 at its upper, 0 where neither is reached); None for the
        other methods. ``success`` is then True only when
        the method converged and the point is feasible, and otherwise the
        message names the most violated constraint.

    A trial point where the loss or its gradient is not finite gets a large
    finite value, so the method backs away from it rather than stopping
    there, and the Newton-type methods get that stand-in's Hessian wherever
    the loss's is not finite; ``success`` is never True at a point whose
    loss is not finite. A constraint whose value or Hessian is not finite
    at a trial point fails the solve.
    The Parameters end holding the solution. If the solve raises, every
    Parameter is restored to its value before the call.
    """
    loss = as_loss(loss)
    lanes = Lanes(as_params(params))
    box = as_bounds(bounds, lanes.params)
    limits = None if constraints is None else Constraints(constraints, lanes, loss)
    if method is None:
        method = "L-BFGS-B" if limits is None else "SLSQP"
    rows = None
    if data is not None:
        if method.lower() in _NEWTON:
            raise newton_over_data(method)
        rows = RowLoss(loss, lanes.params, data)
    import scipy.optimize  # type: ignore[import-untyped]

    with_gradient = method.lower() not in _GRADIENT_FREE
    problem = _Loss(loss, lanes, with_gradient, rows)
    extra: dict[str, Any] = {}
    if method.lower() in _NEWTON:
        hessians = limits.hessians if limits is not None else _native.HessianProgram([loss], lanes.params)
        weights = np.zeros(1 + (limits.rows if limits is not None else 0))
        weights[0] = 1.0
        extra["hess"] = lambda x: problem.hessian(
            np.asarray(x, dtype=np.float64), hessians, weights
        )
    if limits is not None:
        extra["constraints"] = limits.scipy(method.lower())
    saved = lanes.get()
    try:
        x0, _ = start(problem.program, [loss], lanes, box, "loss")
        problem.evaluate(x0)
        history = [problem.value]

        def record(first: Any) -> None:
            x = getattr(first, "x", first)
            history.append(problem.evaluate(np.asarray(x, dtype=np.float64))[0])

        # SciPy picks how to call a callback from its signature, so ours
        # takes the user's form. It reads that signature on every solve;
        # one made here once spares it the inspection.
        if callback is not None and _takes_result(callback):

            def progress(intermediate_result: Any) -> Any:
                record(intermediate_result)
                return callback(intermediate_result)

            progress.__signature__ = _RESULT_FORM  # type: ignore[attr-defined]
        else:

            def progress(intermediate_result: Any, *rest: Any) -> Any:  # type: ignore[misc]
                record(intermediate_result)
                return None if callback is None else callback(intermediate_result, *rest)

            progress.__signature__ = _POINT_FORM  # type: ignore[attr-defined]

        result = scipy.optimize.minimize(
            problem.fun, x0, jac=problem.jac if with_gradient else None, method=method,
            bounds=scipy.optimize.Bounds(*box) if box is not None else None,
            tol=tol, options=options, callback=progress, **extra,
        )
        lanes.set(result.x)
        final = problem.program.try_values()
        if final is None:
            result.success = False
            result.message = "stopped at a point where the loss is not finite"
        else:
            result.fun = float(final[0])
        if limits is not None:
            _report_feasibility(result, limits, box, method.lower())
    except BaseException:
        lanes.restore(saved)
        raise
    result.cost_history = history
    result.nonfinite = problem.nonfinite
    return result


def _takes_result(callback: Callable[..., Any]) -> bool:
    try:
        return set(inspect.signature(callback).parameters) == {"intermediate_result"}
    except (TypeError, ValueError):
        return False


def _report_feasibility(
    result: Any, limits: Constraints, box: tuple[Array, Array] | None, method: str
) -> None:
    """Sets the violation, a truthful success and the multipliers."""
    x = np.asarray(result.x, dtype=np.float64)
    values = limits.fun(x)
    violation, where = limits.worst(values, x, box)
    result.constraint_violation = violation
    if violation > _FEASIBLE * limits.scale:
        result.success = False
        result.message = f"infeasible: {where} ({result.message})"
    result.multipliers = limits.multipliers(result, method)


class _Loss:
    """SciPy's fun for minimize over a one-lane loss, value and gradient from
    one pass, once per point.

    A point where either is not finite gets a finite value above every value
    seen so far, growing with the distance from the best point, and that
    growth's gradient and Hessian. A line search then backtracks from it as
    from any increase, and no method takes it as an improvement; an infinity
    instead lets L-BFGS-B stop at the previous point and report convergence.
    A point where only the Hessian is not finite gets that growth's Hessian
    too, so a Newton-type method takes a short, safe step from it."""

    def __init__(
        self, root: Expression, lanes: Lanes, with_gradient: bool, rows: RowLoss | None = None
    ) -> None:
        self.lanes = lanes
        self.with_gradient = with_gradient
        self.program: Any = _native.Program([root], lanes.params) if rows is None else rows
        self.best_x = np.empty(0)
        self.best = np.inf
        self.worst = -np.inf
        self.nonfinite = 0
        self.value = np.nan
        self.gradient = np.empty(0)
        self.finite = False
        self._key: bytes | None = None

    def _try(self) -> tuple[float, Array] | None:
        """The loss and its gradient at the Parameters' values, or None where
        either is not finite."""
        if not self.with_gradient:
            f = self.program.try_values()
            return None if f is None else (float(f[0]), np.zeros(0))
        evaluation = self.program.try_value_and_jacobian()
        if evaluation is None:
            return None
        return float(evaluation.values[0]), evaluation.jacobian[0]

    def _scale(self) -> float:
        return 1.0 + abs(self.worst) + abs(self.best)

    def evaluate(self, x: Array) -> tuple[float, Array]:
        key = x.tobytes()
        if key == self._key:
            return self.value, self.gradient
        self._key = key
        try:
            self.lanes.move(x)
        except ValueError:
            # A trial point beyond the finite numbers, which no Parameter
            # holds; the Parameters are set afresh at the next point.
            found = None
        else:
            found = self._try()
        self.finite = found is not None
        if found is None:
            self.nonfinite += 1
            offset = x - self.best_x
            scale = self._scale()
            self.value = self.worst + scale * (1.0 + float(offset @ offset))
            self.gradient = 2.0 * scale * offset
            return self.value, self.gradient
        value, gradient = found
        if value < self.best:
            self.best, self.best_x = value, x.copy()
        self.worst = max(self.worst, value)
        self.value, self.gradient = value, gradient
        return value, gradient

    def hessian(self, x: Array, program: Any, weights: Array) -> Array:
        """The Hessian at x of the loss, with `weights` over the program's
        outputs; where it, or the loss, is not finite, the Hessian of the
        stand-in growth."""
        self.evaluate(x)
        if self.finite:
            self.lanes.move(x)
            try:
                found = program.hessian(weights)
            except ValueError:
                found = None
            if found is not None and np.isfinite(found).all():
                return cast(Array, found)
            self.nonfinite += 1
        return 2.0 * self._scale() * np.eye(x.size)

    # SciPy asks for the value and the gradient apart; evaluate's cache by
    # point makes that one pass, cheaper than SciPy's own memo of both.
    def jac(self, x: Array) -> Array:
        return self.evaluate(np.asarray(x, dtype=np.float64))[1]

    def fun(self, x: Array) -> float:
        return self.evaluate(np.asarray(x, dtype=np.float64))[0]

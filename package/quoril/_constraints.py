"""Constraints lower <= expr <= upper on Expressions, lane by lane, as
SciPy's constrained minimizers take them (values, exact Jacobians, exact
Hessians of the multiplier-weighted sum), and how far a point violates them."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, cast

import numpy as np
from _quoril import Expression

from quoril import _native
from quoril._checks import Array, as_constraint_limits, as_constraints
from quoril._lanes import Lanes


@dataclass(frozen=True)
class Constraint:
    """lower <= expr <= upper, lane by lane; made by `constraint`."""

    expr: Expression
    lower: Array
    upper: Array


def constraint(expr: Expression, *, lower: object = -np.inf, upper: object = np.inf) -> Constraint:
    """A constraint ``lower <= expr <= upper`` for `minimize`, lane by lane.

    Parameters
    ----------
    expr : Expression
        1 to 4 lanes, reaching at least one of the Parameters solved for.
    lower, upper : float or sequence of float
        One number for every lane, or one per lane; -inf and inf (the
        defaults) leave a side open. ``lower == upper`` is an equality,
        which needs finite limits.

    Raises
    ------
    TypeError, ValueError
        Naming the argument: an expr that is not an Expression, limits of
        the wrong size, NaN, lower above upper, or a non-finite equality.
    """
    low, high = as_constraint_limits(expr, lower, upper)
    return Constraint(expr, low, high)


class Constraints:
    """Every constraint lane of a solve in one vector, from one prepared
    program, for SciPy's constrained methods."""

    def __init__(self, items: object, lanes: Lanes, loss: Expression) -> None:
        self.items: list[Constraint] = as_constraints(items, lanes.params)
        self.exprs = [c.expr for c in self.items]
        self.lower = np.concatenate([c.lower for c in self.items])
        self.upper = np.concatenate([c.upper for c in self.items])
        self.lanes = lanes
        self.program = _native.Program(self.exprs, lanes.params)
        # The loss first, so one program gives the objective's Hessian and
        # the constraints' weighted one.
        self.hessians = _native.HessianProgram([loss, *self.exprs], lanes.params)
        self.rows = self.lower.size
        self._x: Array | None = None
        self._evaluation: Any = None

    def _at(self, x: Array) -> Any:
        if self._x is None or not np.array_equal(x, self._x):
            self.lanes.set(np.asarray(x, dtype=np.float64))
            self._evaluation = self.program.value_and_jacobian()
            self._x = np.array(x, dtype=np.float64)
        return self._evaluation

    def fun(self, x: Array) -> Array:
        return cast(Array, self._at(x).values)

    def jac(self, x: Array) -> Array:
        return cast(Array, self._at(x).jacobian)

    def hess(self, x: Array, v: Array) -> Array:
        self.lanes.set(np.asarray(x, dtype=np.float64))
        return self.hessians.hessian(np.concatenate(([0.0], v)))

    def objective_hess(self, x: Array) -> Array:
        self.lanes.set(np.asarray(x, dtype=np.float64))
        weights = np.zeros(self.rows + 1)
        weights[0] = 1.0
        return self.hessians.hessian(weights)

    def scipy(self, method: str) -> list[Any]:
        """SciPy's form: one NonlinearConstraint for trust-constr, which
        takes the Hessian; for the others the equalities and the open sides
        as separate "eq" and "ineq" functions, as SLSQP wants them apart."""
        import scipy.optimize  # type: ignore[import-untyped]

        if method == "trust-constr":
            return [scipy.optimize.NonlinearConstraint(
                self.fun, self.lower, self.upper, jac=self.jac, hess=self.hess)]
        equal = np.flatnonzero(self.lower == self.upper)
        below = np.flatnonzero((self.lower != self.upper) & np.isfinite(self.lower))
        above = np.flatnonzero((self.lower != self.upper) & np.isfinite(self.upper))
        result = []
        if equal.size:
            result.append({
                "type": "eq",
                "fun": lambda x: self.fun(x)[equal] - self.lower[equal],
                "jac": lambda x: self.jac(x)[equal],
            })
        if below.size or above.size:
            result.append({
                "type": "ineq",
                "fun": lambda x: np.concatenate((
                    self.fun(x)[below] - self.lower[below],
                    self.upper[above] - self.fun(x)[above])),
                "jac": lambda x: np.concatenate((
                    self.jac(x)[below], -self.jac(x)[above])),
            })
        return result

    def split(self, flat: Array) -> list[Array]:
        """One array per constraint from a vector over every lane."""
        bounds = np.cumsum([c.lower.size for c in self.items])[:-1]
        return np.split(np.asarray(flat, dtype=np.float64), bounds)

    def worst(
        self, values: Array, x: Array, box: tuple[Array, Array] | None
    ) -> tuple[float, str]:
        """The largest violation over every constraint lane and bound, and a
        sentence naming where it is."""
        worst, where = 0.0, ""
        row = 0
        for index, c in enumerate(self.items):
            for lane in range(c.lower.size):
                value = float(values[row])
                for limit, excess, side in (
                    (c.lower[lane], c.lower[lane] - value, "below its lower limit"),
                    (c.upper[lane], value - c.upper[lane], "above its upper limit"),
                ):
                    if excess > worst:
                        worst = float(excess)
                        where = (
                            f"constraints[{index}] lane {lane} is {value!r}, "
                            f"{side} {float(limit)!r}"
                        )
                row += 1
        if box is not None:
            for column, (value, low, high) in enumerate(zip(x, *box)):
                for limit, excess, side in (
                    (low, low - value, "below its lower bound"),
                    (high, value - high, "above its upper bound"),
                ):
                    if excess > worst:
                        worst = float(excess)
                        where = f"x[{column}] is {float(value)!r}, {side} {float(limit)!r}"
        return worst, where

"""Constraints lower <= expr <= upper on Expressions, lane by lane, as
SciPy's constrained minimizers take them (values, exact Jacobians, exact
Hessians of the multiplier-weighted sum), and how far a point violates them."""

from __future__ import annotations

import math
from dataclasses import dataclass
from functools import cached_property
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import numpy.typing as npt
from _quoril import Expression

from quoril import _native
from quoril._checks import Array, as_constraint_limits, as_constraints, require_finite_hessian
from quoril._lanes import Lanes

if TYPE_CHECKING:
    from quoril._native import Evaluation


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


def _run(rows: list[int], indices: npt.NDArray[np.intp]) -> slice | npt.NDArray[np.intp]:
    """Ascending rows as a slice where they form one run: reading through
    it gives a view, where an index array copies."""
    if rows and rows[-1] - rows[0] == len(rows) - 1:
        return slice(rows[0], rows[-1] + 1)
    return indices


class Constraints:
    """Every constraint lane of a solve in one vector, from one prepared
    program evaluated once per point, for SciPy's constrained methods."""

    def __init__(self, items: object, lanes: Lanes, loss: Expression) -> None:
        program, moving = self._prepare(items, lanes)
        self.items: list[Constraint] = as_constraints(items, lanes.params, moving)
        self.exprs = [c.expr for c in self.items]
        self.lanes = lanes
        self.loss = loss
        self.program = program or _native.Program(self.exprs, lanes.params)
        # A solve has a few lanes, so they are sorted in Python floats:
        # NumPy's cost per call would outweigh the work.
        low: list[float] = []
        high: list[float] = []
        self._ends: list[int] = []
        for c in self.items:
            low += c.lower.tolist()
            high += c.upper.tolist()
            self._ends.append(len(low))
        self.lower = np.array(low)
        self.upper = np.array(high)
        self.rows = len(low)
        # What feasibility is measured against: the largest finite
        # |limit|, at least 1.
        self.scale = max([1.0, *(abs(v) for v in low + high if abs(v) != math.inf)])
        # The rows of SLSQP's "eq" function, then of its "ineq" one: the
        # lanes held below, then those held above, the latter as
        # upper - expr.
        pairs = list(enumerate(zip(low, high)))
        equal = [i for i, (a, b) in pairs if a == b]
        below = [i for i, (a, b) in pairs if a != b and a != -math.inf]
        above = [i for i, (a, b) in pairs if a != b and b != math.inf]
        self._sides = (np.array(equal, dtype=np.intp), np.array(below, dtype=np.intp),
                       np.array(above, dtype=np.intp))
        self._equal_rows = _run(equal, self._sides[0])
        self._equal_lower = np.array([low[i] for i in equal])
        # With no lane held above, as is usual, the "ineq" rows are the
        # lanes themselves less their lower limits; otherwise those held
        # above change sign.
        self._open_count = len(below) + len(above)
        self._open_rows = (
            _run(below, self._sides[1]) if not above else np.array(below + above, dtype=np.intp)
        )
        self._sign = None if not above else np.array([1.0] * len(below) + [-1.0] * len(above))
        self._offset = np.array([-low[i] for i in below] + [high[i] for i in above])
        self._key: bytes | None = None
        self._evaluation: Evaluation | None = None

    @staticmethod
    def _prepare(items: object, lanes: Lanes) -> tuple[Any, list[bool] | None]:
        """The program of well-formed constraints, and which of them have a
        nonzero derivative at the current point and so surely reach a
        Parameter: one pass instead of a walk of each graph. None for what
        cannot be made."""
        if not isinstance(items, (list, tuple)) or not items or not all(
            isinstance(c, Constraint) for c in items
        ):
            return None, None
        program = _native.Program([c.expr for c in items], lanes.params)
        evaluation = program.try_value_and_jacobian()
        if evaluation is None:
            return program, None
        rows = cast("list[bool]", evaluation.jacobian.any(axis=1).tolist())
        moving, start = [], 0
        for c in items:
            moving.append(any(rows[start : start + c.expr.dim]))
            start += c.expr.dim
        return program, moving

    @cached_property
    def hessians(self) -> Any:
        """The loss first, so one program gives the objective's Hessian and
        the constraints' weighted one; made only for the methods that take
        Hessians."""
        return _native.HessianProgram([self.loss, *self.exprs], self.lanes.params)

    def _at(self, x: Array) -> Evaluation:
        key = x.tobytes()
        if key != self._key:
            self.lanes.move(x)
            self._evaluation = self.program.value_and_jacobian()
            self._key = key
        return cast("Evaluation", self._evaluation)

    def fun(self, x: Array) -> Array:
        return self._at(x).values

    def jac(self, x: Array) -> Array:
        return self._at(x).jacobian

    def hess(self, x: Array, v: Array) -> Array:
        # Constraint values that are not finite fail the solve, and so do
        # their second derivatives.
        self.lanes.move(x)
        found = self.hessians.hessian(np.concatenate(([0.0], v)))
        return require_finite_hessian(found, "the constraints' multiplier-weighted Hessian")

    def _equal(self, x: Array) -> Array:
        return cast(Array, self._at(x).values[self._equal_rows] - self._equal_lower)

    def _equal_jac(self, x: Array) -> Array:
        return self._at(x).jacobian[self._equal_rows]

    def _inequal(self, x: Array) -> Array:
        values = self._at(x).values[self._open_rows]
        if self._sign is not None:
            values = values * self._sign
        return cast(Array, values + self._offset)

    def _inequal_jac(self, x: Array) -> Array:
        jacobian = self._at(x).jacobian[self._open_rows]
        return jacobian if self._sign is None else jacobian * self._sign[:, None]

    def scipy(self, method: str) -> list[Any]:
        """SciPy's form: one NonlinearConstraint for trust-constr, which
        takes the Hessian; for the others the equalities and the open sides
        as separate "eq" and "ineq" functions, as SLSQP wants them apart."""
        import scipy.optimize  # type: ignore[import-untyped]

        if method == "trust-constr":
            return [scipy.optimize.NonlinearConstraint(
                self.fun, self.lower, self.upper, jac=self.jac, hess=self.hess)]
        result = []
        if self._sides[0].size:
            result.append({"type": "eq", "fun": self._equal, "jac": self._equal_jac})
        if self._open_count:
            result.append({"type": "ineq", "fun": self._inequal, "jac": self._inequal_jac})
        return result

    def multipliers(self, result: Any, method: str) -> list[Array] | None:
        """One array per constraint of the multipliers lambda at the
        solution, where grad f = sum of lambda times grad expr, lane by
        lane; None for a method that gives none."""
        if method == "trust-constr":
            # trust-constr's Lagrangian adds v times the constraints.
            return self.split(-np.asarray(result.v[0], dtype=np.float64))
        if method != "slsqp":
            return None
        # SLSQP gives one per row of its "eq" then "ineq" functions, for
        # constraints written as c(x) >= 0; a lane held above enters as
        # upper - expr, so its multiplier changes sign.
        flat = np.asarray(result.multipliers, dtype=np.float64)
        equal, below, above = self._sides
        lanes = np.zeros(self.rows)
        lanes[equal] = flat[: equal.size]
        lanes[below] += flat[equal.size : equal.size + below.size]
        lanes[above] -= flat[equal.size + below.size :]
        return self.split(lanes)

    def split(self, flat: Array) -> list[Array]:
        """One array per constraint from a vector over every lane."""
        flat = np.asarray(flat, dtype=np.float64)
        return [flat[end - c.lower.size : end] for c, end in zip(self.items, self._ends)]

    def worst(
        self, values: Array, x: Array, box: tuple[Array, Array] | None
    ) -> tuple[float, str]:
        """The largest violation over every constraint lane and bound, and a
        sentence naming where it is: the first such lane, each lane's lower
        side before its upper."""
        rows = self.rows + (x.size if box is not None else 0)
        excess = np.empty(2 * rows)
        np.subtract(self.lower, values, out=excess[0 : 2 * self.rows : 2])
        np.subtract(values, self.upper, out=excess[1 : 2 * self.rows : 2])
        if box is not None:
            np.subtract(box[0], x, out=excess[2 * self.rows :: 2])
            np.subtract(x, box[1], out=excess[2 * self.rows + 1 :: 2])
        # NaN is no violation; fmax keeps the other operand.
        np.fmax(excess, 0.0, out=excess)
        at = int(np.argmax(excess))
        worst = float(excess[at])
        if worst <= 0.0:
            return 0.0, ""
        row, upper = divmod(at, 2)
        side = "upper" if upper else "lower"
        if row >= self.rows:
            column = row - self.rows
            limit = box[1 if upper else 0][column]  # type: ignore[index]
            return worst, (
                f"x[{column}] is {float(x[column])!r}, "
                f"{'above' if upper else 'below'} its {side} bound {float(limit)!r}"
            )
        index = next(i for i, end in enumerate(self._ends) if row < end)
        lane = row - (self._ends[index - 1] if index else 0)
        limit = (self.upper if upper else self.lower)[row]
        return worst, (
            f"constraints[{index}] lane {lane} is {float(values[row])!r}, "
            f"{'above' if upper else 'below'} its {side} limit {float(limit)!r}"
        )

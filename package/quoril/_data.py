"""The solvers' view of a model written once over the leaves of one row and
run over arrays of data: every row's residuals as one vector for least
squares, the sum of a loss over the rows for minimize, a sample of rows for
check_gradients, and the rows' gradients for the uncertainty of a fit."""

from __future__ import annotations

import weakref
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, NamedTuple, TypeAlias

import numpy as np
import numpy.typing as npt
from _quoril import Expression, Undefined

from quoril import _native, _statistics
from quoril._checks import Array, as_data, input_name, output_lane_name, type_name
from quoril._function import Function
from quoril._lanes import Lanes

# Rows of data for the leaves of one row of a model: {t: T, y: Y}.
Data: TypeAlias = Mapping[Expression, npt.ArrayLike]

# Rows that check_gradients looks at when no rows are given: the first, the
# last and evenly spread ones between.
CHECKED_ROWS = 5

# A Function's residuals divided by per-row standard deviations, which enter
# as inputs of their own; made once per Function so that repeated weighted
# solves reuse its programs too.
_WEIGHTED: weakref.WeakKeyDictionary[Function, Function] = weakref.WeakKeyDictionary()


class Flat(NamedTuple):
    """Values and Jacobian in the layout of a graph's program: one vector
    of lanes, one row of the Jacobian per lane."""

    values: Array
    jacobian: Array


def _weighted(function: Function) -> Function:
    twin = _WEIGHTED.get(function)
    if twin is None:
        divisors = [Undefined(dim=out.dim, name="sigma") for out in function.outputs]
        twin = Function(
            [*function.inputs, *divisors],
            [out / d for out, d in zip(function.outputs, divisors)],
        )
        _WEIGHTED[function] = twin
    return twin


def _in_function_order(
    function: Function, keys: list[Expression], arrays: list[Array]
) -> list[Array]:
    by_id = {key.id: array for key, array in zip(keys, arrays)}
    missing = [i for i, leaf in enumerate(function.inputs) if leaf.id not in by_id]
    if missing:
        raise ValueError(
            f"data has no array for {input_name(function.inputs, missing[0])} of the "
            "Function; pass one array per input"
        )
    return [by_id[leaf.id] for leaf in function.inputs]


def _sigma_rows(sigma: object, n: int, lanes: int, absolute_sigma: object) -> Array | None:
    """The standard deviation of every residual lane of every row, shape
    (N, L), from a number, (N,) for one-lane residuals, (N, L) or (N * L,)."""
    if isinstance(sigma, Iterable) and not isinstance(sigma, (str, bytes)):
        shape = np.asarray(sigma).shape
        if shape not in ((n, lanes), (n * lanes,)) and not (lanes == 1 and shape == (n,)):
            one_lane = "(N,) or " if lanes == 1 else ""
            raise ValueError(
                f"sigma has shape {shape}; over data pass a number, or one per residual "
                f"lane of every row: shape {one_lane}(N, L) = ({n}, {lanes}) or "
                f"(N * L,) = ({n * lanes},)"
            )
        sigma = np.reshape(np.asarray(sigma), -1)
    flat = _statistics.parse_sigma(sigma, absolute_sigma, [], count=n * lanes)
    return None if flat is None else flat.reshape(n, lanes)


class RowResiduals:
    """Every row's residual lanes as one vector of N * L and their Jacobian
    (N * L, P), through the program that the Function keeps for `params`
    (a new Function over `roots` when none is given); the data are checked
    once, here."""

    def __init__(
        self,
        function: Function | None,
        roots: list[Expression],
        params: list[Expression],
        data: object,
        sigma: object,
        absolute_sigma: object,
    ) -> None:
        self.roots = roots
        if data is None:
            raise TypeError(
                "residuals is a q.Function; pass its rows as data={input: array, ...}"
            )
        keys, arrays, self.n = as_data(data, self.roots, params)
        if function is None:
            function = Function(keys, self.roots)
        else:
            arrays = _in_function_order(function, keys, arrays)
        width = function.n_out
        deviations = _sigma_rows(sigma, self.n, width, absolute_sigma)
        if deviations is not None:
            function = _weighted(function)
            ends = np.cumsum([0, *(out.dim for out in self.roots)])
            arrays = [*arrays, *(np.ascontiguousarray(deviations[:, a:b])
                                 for a, b in zip(ends[:-1], ends[1:]))]
        self.function = function
        self.arrays = arrays
        self.program = function._program(params)
        self.size = self.n * width

    def value_and_jacobian(self) -> Flat:
        values, jacobian = self.program.value_and_jacobian(self.arrays, self.n)
        return Flat(values.reshape(-1), jacobian.reshape(self.size, -1))

    def try_value_and_jacobian(self) -> Flat | None:
        found = self.program.try_value_and_jacobian(self.arrays, self.n)
        if found is None:
            return None
        return Flat(found.values.reshape(-1), found.jacobian.reshape(self.size, -1))

    def jacobian(self) -> Array:
        return self.program.jacobian(self.arrays, self.n).reshape(self.size, -1)

    def levenberg_marquardt(
        self, lower: Array | None, upper: Array | None, ftol: float, xtol: float,
        gtol: float, max_nfev: int, step: Callable[..., bool] | None,
    ) -> Any:
        return self.program.levenberg_marquardt(
            self.arrays, self.n, lower, upper, ftol, xtol, gtol, max_nfev, step
        )


class RowLoss:
    """The sum over the rows of a one-lane loss and its gradient, the sum of
    the rows' Jacobians, in the layout of a graph's program."""

    def __init__(self, loss: Expression, params: list[Expression], data: object) -> None:
        keys, self.arrays, self.n = as_data(data, [loss], params)
        self.program = Function(keys, [loss])._program(params)

    def value_and_jacobian(self) -> Flat:
        # Row by row, so that a start without a derivative names its row.
        values, jacobian = self.program.value_and_jacobian(self.arrays, self.n)
        return Flat(values.reshape(-1), jacobian.reshape(self.n, -1))

    def try_values(self) -> Array | None:
        values = self.program.try_values(self.arrays, self.n)
        return None if values is None else np.array([values.sum()])

    def try_value_and_jacobian(self) -> Flat | None:
        found = self.program.try_value_and_jacobian(self.arrays, self.n)
        if found is None:
            return None
        return Flat(np.array([found.values.sum()]), found.jacobian.sum(axis=0))


def newton_over_data(method: str) -> ValueError:
    return ValueError(
        f"method {method!r} needs the Hessian of the loss, which q.minimize does not "
        "compute over data; pass a method without one, such as 'L-BFGS-B' or 'BFGS' "
        "(or 'SLSQP' with constraints)"
    )


def _sample(rows: object, n: int) -> Array:
    if rows is None:
        return np.unique(np.linspace(0, n - 1, min(n, CHECKED_ROWS)).round().astype(np.intp))
    picked = np.asarray(rows)
    if picked.ndim != 1 or picked.size == 0 or picked.dtype.kind not in "iu":
        raise TypeError(f"rows must be a non-empty sequence of row indices, not {type_name(rows)}")
    outside = np.nonzero((picked < 0) | (picked >= n))[0]
    if outside.size:
        k = int(outside[0])
        raise ValueError(
            f"rows[{k}] is {int(picked[k])} but data has {n} rows; pass indices from 0 to {n - 1}"
        )
    return picked.astype(np.intp)


class SampledRows:
    """Some rows of the data, for check_gradients: the outputs and their
    Jacobian there, laid out as one output vector, and the name of a lane."""

    def __init__(
        self, roots: list[Expression], lanes: Lanes, data: object, rows: object
    ) -> None:
        keys, arrays, n = as_data(data, roots, lanes.params)
        self.rows = _sample(rows, n)
        self.arrays = [np.ascontiguousarray(a[self.rows]) for a in arrays]
        self.roots = roots
        self.width = sum(root.dim for root in roots)
        self.function = Function(keys, roots)
        self.params = lanes.params

    def values(self) -> Array:
        return self.function(*self.arrays).reshape(-1)

    def jacobian(self) -> Array:
        found = self.function.jacobian(*self.arrays, params=self.params)
        return found.reshape(self.rows.size * self.width, -1)

    def lane_name(self, lane: int) -> str:
        row, within = divmod(lane, self.width)
        return (f"row {int(self.rows[row])}, "
                f"{output_lane_name(self.roots, within, 'outputs')}")


def row_gradients(
    roots: list[Expression], params: Sequence[Expression], data: object
) -> tuple[Array, tuple[int, int]]:
    """The Jacobian of the outputs in the fitted Parameters for every row,
    one row per output lane (N * L, P), and the shape (N, L)."""
    keys, arrays, n = as_data(data, roots, params)
    found = Function(keys, roots).jacobian(*arrays, params=list(params))
    width = found.shape[1]
    return found.reshape(n * width, -1), (n, width)

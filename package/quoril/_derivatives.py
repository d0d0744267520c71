"""Values and Jacobians of outputs with respect to Parameters, one-off or
prepared once for many points, and a check of them against finite
differences: NumPy arrays in and out."""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

from quoril import _native
from quoril._checks import (
    Array,
    Outputs,
    Params,
    as_outputs,
    as_params,
    output_lane_name,
    param_lane_name,
)
from quoril._data import Data, SampledRows
from quoril._lanes import Lanes


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
    return _native.values(as_outputs(outputs))


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
    evaluation = _native.value_and_jacobian(as_outputs(outputs), as_params(params))
    return evaluation.values, evaluation.jacobian


def jacobian(outputs: Outputs, params: Params) -> Array:
    """The Jacobian of outputs with respect to Parameters, shape
    (total output lanes, total Parameter lanes); as `value_and_jacobian`
    without the values."""
    return _native.jacobian(as_outputs(outputs), as_params(params))


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
        self._program = _native.Program(as_outputs(outputs), as_params(params))

    def values(self) -> Array:
        """The output lanes at the Parameters' current values."""
        return self._program.values()

    def jacobian(self) -> Array:
        """The Jacobian at the Parameters' current values."""
        return self._program.jacobian()

    def value_and_jacobian(self) -> tuple[Array, Array]:
        """The output lanes and their Jacobian, from one pass."""
        evaluation = self._program.value_and_jacobian()
        return evaluation.values, evaluation.jacobian


def check_gradients(
    outputs: Outputs,
    params: Params,
    eps: float = 1e-6,
    rtol: float = 1e-5,
    atol: float = 1e-8,
    *,
    data: Data | None = None,
    rows: Sequence[int] | None = None,
) -> float:
    """Compares the Jacobian with central finite differences.

    Each Parameter lane x moves by h = eps * max(1, |x|) either way, and
    ``(f(x + h) - f(x - h)) / 2h`` is compared with the Jacobian column. An
    entry agrees when ``|J - D| <= atol + rtol * |D|``. Use it on your own
    composite models, away from points where they have no derivative.

    With ``data={leaf: array}`` (as ``q.least_squares`` takes it) the check
    runs over some of its rows: `rows`, a sequence of row indices, or by
    default five spread evenly from the first row to the last (all of them
    when there are fewer).

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
    roots = as_outputs(outputs)
    lanes = Lanes(as_params(params))
    if data is None and rows is not None:
        raise TypeError("rows picks rows of data; pass data={leaf: array} with it")
    sample = None if data is None else SampledRows(roots, lanes, data, rows)

    def values_of() -> Array:
        return _native.values(roots) if sample is None else sample.values()

    def name(row: int) -> str:
        if sample is None:
            return output_lane_name(roots, row, "outputs")
        return sample.lane_name(row)

    saved = lanes.get()
    try:
        jac = _native.jacobian(roots, lanes.params) if sample is None else sample.jacobian()
        differences = np.empty_like(jac)
        for column in range(lanes.size):
            h = eps * max(1.0, abs(saved[column]))
            x = saved.copy()
            x[column] = saved[column] + h
            lanes.set(x)
            ahead = values_of()
            x[column] = saved[column] - h
            lanes.set(x)
            behind = values_of()
            differences[:, column] = (ahead - behind) / (2.0 * h)
    finally:
        lanes.restore(saved)
    error = np.abs(jac - differences)
    bad = ~(error <= atol + rtol * np.abs(differences))
    if bad.any():
        lines = [
            f"  {name(row)}, "
            f"{param_lane_name(lanes.params, column)}: jacobian {float(jac[row, column])!r}, "
            f"finite difference {float(differences[row, column])!r}"
            for row, column in zip(*np.nonzero(bad))
        ]
        raise ValueError(
            f"jacobian disagrees with central differences at {len(lines)} "
            "entries:\n" + "\n".join(lines)
        )
    return float(error.max(initial=0.0))

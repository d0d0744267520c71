"""A model written once over leaves that stand for one row of data, run over
arrays of rows in one native call: NumPy arrays in and out."""

from __future__ import annotations

from quoril import _native
from quoril._checks import Array, Outputs, Params, as_inputs, as_outputs, as_params, as_rows


class Function:
    """A program prepared once over the outputs' graphs, with `inputs` as its
    arguments.

    Parameters
    ----------
    inputs : Parameter or Undefined, or a sequence of them
        The leaves that take their values from the rows of data.
    outputs : Expression or sequence of Expression
        What each row computes; L is their total lane count.

    Notes
    -----
    Every leaf that is not an input (Parameters above all) is read at its
    current value at each call. Nothing is written into any node: no
    Parameter changes and no ``grad``. Row i is bit for bit what setting the
    inputs to row i and calling ``eval()`` or ``q.jacobian`` gives.

    Passed to ``q.least_squares`` as the residuals, with ``data`` keyed by
    its inputs, it keeps its programs for the next solve, which then
    prepares nothing.
    """

    def __init__(self, inputs: Params, outputs: Outputs) -> None:
        self.inputs = as_inputs(inputs)
        self.outputs = as_outputs(outputs)
        self._values = _native.RowFunction(self.inputs, self.outputs, [])
        # One program per set of Jacobian columns, prepared at first use.
        self._programs: dict[tuple[int, ...], _native.RowFunction] = {}
        # The Parameters of the last call and their program: a call with
        # the same objects again needs neither their checks nor the lookup.
        self._last: tuple[tuple[object, ...], _native.RowFunction] | None = None

    @property
    def n_out(self) -> int:
        """L, the outputs' total lane count."""
        return int(self._values.rows)

    def _program(self, params: Params) -> _native.RowFunction:
        last = self._last
        if last is not None and isinstance(params, (list, tuple)) and len(params) == len(last[0]):
            if all(a is b for a, b in zip(params, last[0])):
                return last[1]
        columns = as_params(params)
        key = tuple(p.id for p in columns)
        program = self._programs.get(key)
        if program is None:
            # The program holds its own handles, so the ids stay taken.
            program = _native.RowFunction(self.inputs, self.outputs, columns)
            self._programs[key] = program
        # The tuple holds the objects, so none of them can be freed and
        # another take its place at the same address.
        self._last = (tuple(columns), program)
        return program

    def __call__(self, *arrays: object) -> Array:
        """The outputs over every row: shape (N, L).

        Parameters
        ----------
        *arrays : array_like
            One per input, shape (N,) for a one-lane input or (N, lanes); a
            number or a single row is used for every row.

        Raises
        ------
        TypeError, ValueError
            For arrays of the wrong kind, shape or N, or not finite, naming
            the input and the first bad row, before anything is computed.
        RuntimeError, ValueError
            As ``eval()`` raises for the failing row, with "row i: " first.
        """
        rows, n = as_rows(arrays, self.inputs)
        return self._values.values(rows, n)

    def jacobian(self, *arrays: object, params: Params) -> Array:
        """The Jacobian of the outputs in `params` over every row: shape
        (N, L, P), P the Parameters' total lane count. Errors as for
        calling the Function."""
        rows, n = as_rows(arrays, self.inputs)
        return self._program(params).jacobian(rows, n)

    def value_and_jacobian(self, *arrays: object, params: Params) -> tuple[Array, Array]:
        """Both the values (N, L) and the Jacobian (N, L, P) from one pass
        per row."""
        rows, n = as_rows(arrays, self.inputs)
        values, jacobian = self._program(params).value_and_jacobian(rows, n)
        return values, jacobian

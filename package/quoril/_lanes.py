"""The Parameters of a call laid end to end as one vector x of lanes, as
finite differences and the SciPy solvers move them, and a solve's start."""

from __future__ import annotations

from typing import Protocol

import numpy as np
from _quoril import Expression

from quoril._checks import Array, require_finite_start


class Evaluated(Protocol):
    """Values and Jacobian, from a graph's program or over rows of data."""

    @property
    def values(self) -> Array: ...
    @property
    def jacobian(self) -> Array: ...


class Evaluates(Protocol):
    def value_and_jacobian(self) -> Evaluated: ...


class Lanes:
    """The lanes of some Parameters, in order, each one's lanes in order."""

    def __init__(self, params: list[Expression]) -> None:
        self.params = params
        self.slices: list[slice] = []
        start = 0
        for p in params:
            self.slices.append(slice(start, start + p.dim))
            start += p.dim
        self.size = start
        self._spans = [(p, part.start, part.stop) for p, part in zip(params, self.slices)]
        self._held: bytes | None = None

    def get(self) -> Array:
        return np.fromiter(
            (lane for p in self.params for lane in p.value), np.float64, self.size
        )

    def set(self, x: Array) -> None:
        """Gives each Parameter its lanes of x, which must be finite."""
        self._held = None
        lanes = x.tolist()
        for p, first, stop in self._spans:
            p.set_value(*lanes[first:stop])

    def move(self, x: Array) -> None:
        """As `set`, skipped when x is the point last moved to: during a
        solve only the solver moves the Parameters, and its loss and
        constraints ask for the same point in turn."""
        key = x.tobytes()
        if key != self._held:
            self.set(x)
            self._held = key

    def restore(self, saved: Array) -> None:
        # Parameters hold finite lanes at every step, so restoring cannot fail
        # half way.
        self.set(saved)


def start(
    program: Evaluates,
    outputs: list[Expression],
    lanes: Lanes,
    box: tuple[Array, Array] | None,
    label: str,
) -> tuple[Array, Evaluated]:
    """Moves the Parameters into the bounds and evaluates there: the module's
    own error for a start that cannot be evaluated, ours for one without a
    finite Jacobian."""
    x0 = lanes.get()
    if box is not None:
        clipped = np.minimum(np.maximum(x0, box[0]), box[1])
        if (clipped != x0).any():
            lanes.set(clipped)
            x0 = clipped
    evaluation = program.value_and_jacobian()
    require_finite_start(evaluation.jacobian, outputs, lanes.params, label)
    return x0, evaluation

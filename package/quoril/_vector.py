"""Vector helpers written with the graph's own operations."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TypeAlias

from _quoril import Expression, vec3

from quoril._native import as_value as _as_value
from quoril._native import sqrt

Operand: TypeAlias = Expression | float | int | Sequence[float]


def sum(value: Operand | Sequence[Expression]) -> Expression:
    """The sum of a value's lanes, in lane order, as a one-lane value; of a
    sequence holding Expressions, the sum of its terms left to right, one-lane
    terms broadcasting, as Python's sum adds them."""
    if isinstance(value, (list, tuple)) and any(isinstance(t, Expression) for t in value):
        terms = [_as_value(t, f"sum value[{i}]") for i, t in enumerate(value)]
        total = terms[0]
        for term in terms[1:]:
            total = total + term
        return total
    v = _as_value(value, "sum value")  # type: ignore[arg-type]
    total = v[0]
    for i in range(1, v.dim):
        total = total + v[i]
    return total


def dot(a: Operand, b: Operand) -> Expression:
    """The dot product of two values of equal lane count, or of a one-lane
    value with a longer one (which scales it first)."""
    # Arguments are converted last to first, as vec2's are.
    right = _as_value(b, "dot b")
    return sum(_as_value(a, "dot a") * right)


def norm(v: Operand) -> Expression:
    """The Euclidean length of a value. Its gradient at the zero vector is
    not finite, as the length has no derivative there."""
    value = _as_value(v, "norm value")
    return sqrt(dot(value, value))


def cross(a: Operand, b: Operand) -> Expression:
    """The cross product of two three-lane values."""
    w = _as_value(b, "cross b")
    u = _as_value(a, "cross a")
    for label, value in (("cross a", u), ("cross b", w)):
        if value.dim != 3:
            raise ValueError(f"{label} must have 3 lanes, not {value.dim}")
    return vec3(
        u.y * w.z - u.z * w.y,
        u.z * w.x - u.x * w.z,
        u.x * w.y - u.y * w.x,
    )

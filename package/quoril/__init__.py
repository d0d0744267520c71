"""Symbolic expression graphs over 1..4-lane double vectors: build once,
evaluate, differentiate in reverse mode, and solve.

`quoril` holds everything of the extension module `_quoril` (the very same
objects) and adds the operations and tools that models need on top of it.
"""

from _quoril import (
    Constant,
    Expression,
    Parameter,
    Undefined,
    cos,
    sin,
    vec2,
    vec3,
    vec4,
)

from quoril._native import abs, atan2, exp, log, pow, sqrt, tanh
from quoril._vector import cross, dot, norm, sum
from quoril._view import describe, render, to_dot

__version__ = "0.1.0"

__all__ = [
    "Constant",
    "Expression",
    "Parameter",
    "Undefined",
    "abs",
    "atan2",
    "cos",
    "cross",
    "describe",
    "dot",
    "exp",
    "log",
    "norm",
    "pow",
    "render",
    "sin",
    "sqrt",
    "sum",
    "tanh",
    "to_dot",
    "vec2",
    "vec3",
    "vec4",
]

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

from quoril._native import abs, atan2, atanc_sqrt, exp, log, pow, sinc_sqrt, sqrt, tanh
from quoril._derivatives import (
    JacobianProgram,
    check_gradients,
    jacobian,
    value_and_jacobian,
    values,
)
from quoril._function import Function
from quoril._constraints import Constraint, constraint
from quoril._hessian import hessian, hessian_vector_product
from quoril._least_squares import least_squares
from quoril._minimize import minimize
from quoril._rotation import (
    quat_from_rotvec,
    quat_multiply,
    quat_rotate,
    rotate,
    rotate2,
    rotation_matrix,
    rotvec_from_quat,
    transform,
)
from quoril._statistics import CovarianceWarning, fit_report, uncertainty
from quoril._vector import cross, dot, norm, sum
from quoril._view import describe, render, to_dot


def _read_version() -> str:
    # The build writes the release number beside the package, from the same
    # line of CMakeLists.txt that the wheel's metadata takes it from.
    from pathlib import Path

    return (Path(__file__).parent / "VERSION").read_text(encoding="ascii").strip()


__version__: str = _read_version()
"""The distribution's version, as pip reports it; `_quoril.__version__` is the
extension module's own and stays "0.1.0"."""

__all__ = [
    "Constant",
    "Constraint",
    "CovarianceWarning",
    "Expression",
    "Function",
    "JacobianProgram",
    "Parameter",
    "Undefined",
    "abs",
    "atan2",
    "atanc_sqrt",
    "check_gradients",
    "constraint",
    "cos",
    "cross",
    "describe",
    "dot",
    "exp",
    "fit_report",
    "hessian",
    "hessian_vector_product",
    "jacobian",
    "least_squares",
    "log",
    "minimize",
    "norm",
    "pow",
    "quat_from_rotvec",
    "quat_multiply",
    "quat_rotate",
    "render",
    "rotate",
    "rotate2",
    "rotation_matrix",
    "rotvec_from_quat",
    "sin",
    "sinc_sqrt",
    "sqrt",
    "sum",
    "tanh",
    "to_dot",
    "transform",
    "uncertainty",
    "value_and_jacobian",
    "values",
    "vec2",
    "vec3",
    "vec4",
]

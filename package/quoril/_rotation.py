"""Rotations and rigid transforms written with the graph's own operations,
smooth everywhere including no rotation at all.

Axis-angle rotation needs sin(θ)/θ and (1 - cos θ)/θ², and the way back from
a quaternion needs θ/sin(θ/2). Written with `sqrt`, `sin` and `atan2` they
have the right values away from zero but a derivative of 0·∞ there; written
as functions of the squared length s = w·w they are smooth for every s:

    sin θ/θ          = sinc_sqrt(s)            sinc_sqrt(s) = sin(√s)/√s
    (1 - cos θ)/θ²   = sinc_sqrt(s/4)²/2
    sin(θ/2)/θ       = sinc_sqrt(s/4)/2
    cos(θ/2)         = 1 - (s/8)·sinc_sqrt(s/16)²
    θ/tan(θ/4)       = 4·atanc_sqrt(tan²(θ/4))  atanc_sqrt(u) = atan(√u)/√u

Quaternions are (x, y, z, w) with the scalar last, as SciPy orders them.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TypeAlias

from _quoril import Expression, cos, sin, vec2, vec3, vec4

from quoril._native import as_value as _as_value
from quoril._native import atanc_sqrt, sinc_sqrt, sqrt
from quoril._vector import cross, dot

Operand: TypeAlias = Expression | float | int | Sequence[float]

# The core's functions of a squared angle: entire, so exact and smooth at 0,
# where no composition of sqrt, sin and atan2 is finite.
_sinc_sqrt = sinc_sqrt
_atanc_sqrt = atanc_sqrt

_AXIS_ANGLE = "an axis times an angle in radians"
_QUATERNION = "x, y, z and the scalar last"


def _lanes(value: Expression, label: str, lanes: int, what: str = "") -> None:
    if value.dim != lanes:
        detail = f" ({what})" if what else ""
        plural = "lane" if lanes == 1 else "lanes"
        raise ValueError(f"{label} must have {lanes} {plural}{detail}, not {value.dim}")


def _rodrigues_factors(w: Expression) -> tuple[Expression, Expression]:
    """sin θ/θ and (1 - cos θ)/θ² of the rotation vector w, θ = |w|."""
    s = dot(w, w)
    half = _sinc_sqrt(s * 0.25)
    return _sinc_sqrt(s), 0.5 * (half * half)


def _rotate_checked(v: Expression, w: Expression) -> Expression:
    a, b = _rodrigues_factors(w)
    wv = cross(w, v)
    return v + a * wv + b * cross(w, wv)


def rotate(v: Operand, w: Operand) -> Expression:
    """Rotate a three-lane value by a rotation vector.

    Parameters
    ----------
    v : Expression or sequence of 3 numbers
        The vector to rotate.
    w : Expression or sequence of 3 numbers
        The rotation vector: the unit axis times the angle in radians
        (right-handed), as SciPy's ``Rotation.from_rotvec`` takes it.

    Returns
    -------
    Expression
        R(w) v by Rodrigues' formula, three lanes. Its value and derivatives
        are finite for every w, including w = 0, where d(R v)/dw = -[v]x.

    Raises
    ------
    TypeError
        If an argument is not an operand.
    ValueError
        If v or w does not have three lanes.
    """
    # Arguments are converted last to first, as vec2's are.
    rw = _as_value(w, "rotate w")
    rv = _as_value(v, "rotate v")
    _lanes(rv, "rotate v", 3)
    _lanes(rw, "rotate w", 3, _AXIS_ANGLE)
    return _rotate_checked(rv, rw)


def transform(v: Operand, w: Operand, t: Operand) -> Expression:
    """Apply a rigid transform: rotate by the rotation vector w, then move by t.

    Parameters
    ----------
    v, w, t : Expression or sequence of 3 numbers
        The point, the rotation vector (axis times angle in radians) and the
        translation.

    Returns
    -------
    Expression
        R(w) v + t, three lanes.

    Raises
    ------
    TypeError
        If an argument is not an operand.
    ValueError
        If v, w or t does not have three lanes.
    """
    rt = _as_value(t, "transform t")
    rw = _as_value(w, "transform w")
    rv = _as_value(v, "transform v")
    _lanes(rv, "transform v", 3)
    _lanes(rw, "transform w", 3, _AXIS_ANGLE)
    _lanes(rt, "transform t", 3)
    return _rotate_checked(rv, rw) + rt


def rotation_matrix(w: Operand) -> tuple[Expression, Expression, Expression]:
    """The rotation matrix of a rotation vector, as three row values.

    Parameters
    ----------
    w : Expression or sequence of 3 numbers
        The rotation vector (axis times angle in radians).

    Returns
    -------
    tuple of three Expressions
        The rows of R = I + A [w]x + B [w]x², each three lanes, with
        A = sin θ/θ and B = (1 - cos θ)/θ²; ``dot(rows[i], v)`` is lane i of
        ``rotate(v, w)``. The diagonal is written as 1 - B(w_j² + w_k²), which
        keeps full precision at small angles.

    Raises
    ------
    TypeError
        If w is not an operand.
    ValueError
        If w does not have three lanes.
    """
    rw = _as_value(w, "rotation_matrix w")
    _lanes(rw, "rotation_matrix w", 3, _AXIS_ANGLE)
    a, b = _rodrigues_factors(rw)
    x, y, z = rw.x, rw.y, rw.z
    bx, by, bz = b * x, b * y, b * z
    ax, ay, az = a * x, a * y, a * z
    return (
        vec3(1.0 - (by * y + bz * z), bx * y - az, bx * z + ay),
        vec3(bx * y + az, 1.0 - (bx * x + bz * z), by * z - ax),
        vec3(bx * z - ay, by * z + ax, 1.0 - (bx * x + by * y)),
    )


def rotate2(v: Operand, angle: Operand) -> Expression:
    """Rotate a two-lane value counter-clockwise by an angle in radians.

    Parameters
    ----------
    v : Expression or sequence of 2 numbers
        The vector to rotate.
    angle : Expression or number
        The angle, one lane.

    Returns
    -------
    Expression
        (cos a·x - sin a·y, sin a·x + cos a·y), two lanes.

    Raises
    ------
    TypeError
        If an argument is not an operand.
    ValueError
        If v does not have two lanes or angle not one.
    """
    ra = _as_value(angle, "rotate2 angle")
    rv = _as_value(v, "rotate2 v")
    _lanes(rv, "rotate2 v", 2)
    _lanes(ra, "rotate2 angle", 1)
    c, s = cos(ra), sin(ra)
    x, y = rv.x, rv.y
    return vec2(c * x - s * y, s * x + c * y)


def quat_rotate(v: Operand, quat: Operand) -> Expression:
    """Rotate a three-lane value by a quaternion.

    Parameters
    ----------
    v : Expression or sequence of 3 numbers
        The vector to rotate.
    quat : Expression or sequence of 4 numbers
        The quaternion (x, y, z, w), scalar last. It need not have unit
        length: the rotation is that of quat/|quat|, computed as
        q v q* / |q|², which is smooth wherever q is not 0. A quaternion that
        Parameters move thus stays a rotation without a constraint; a zero
        quaternion fails as a division by zero does.

    Returns
    -------
    Expression
        The rotated vector, three lanes.

    Raises
    ------
    TypeError
        If an argument is not an operand.
    ValueError
        If v does not have three lanes or quat not four.
    """
    rq = _as_value(quat, "quat_rotate quat")
    rv = _as_value(v, "quat_rotate v")
    _lanes(rv, "quat_rotate v", 3)
    _lanes(rq, "quat_rotate quat", 4, _QUATERNION)
    u = vec3(rq.x, rq.y, rq.z)
    t = cross(u, rv)
    return rv + (2.0 / dot(rq, rq)) * (rq.w * t + cross(u, t))


def quat_from_rotvec(w: Operand) -> Expression:
    """The unit quaternion of a rotation vector.

    Parameters
    ----------
    w : Expression or sequence of 3 numbers
        The rotation vector (axis times angle θ in radians).

    Returns
    -------
    Expression
        (sin(θ/2)·axis, cos(θ/2)), four lanes, scalar last, as SciPy's
        ``Rotation.from_rotvec(w).as_quat()``; smooth at w = 0, where it is
        (0, 0, 0, 1).

    Raises
    ------
    TypeError
        If w is not an operand.
    ValueError
        If w does not have three lanes.
    """
    rw = _as_value(w, "quat_from_rotvec w")
    _lanes(rw, "quat_from_rotvec w", 3, _AXIS_ANGLE)
    s = dot(rw, rw)
    u = rw * (0.5 * _sinc_sqrt(s * 0.25))
    quarter = _sinc_sqrt(s * 0.0625)
    return vec4(u.x, u.y, u.z, 1.0 - (s * 0.125) * (quarter * quarter))


def rotvec_from_quat(quat: Operand) -> Expression:
    """The rotation vector of a quaternion.

    Parameters
    ----------
    quat : Expression or sequence of 4 numbers
        The quaternion (x, y, z, w), scalar last, of any non-zero length:
        every positive multiple gives the same result.

    Returns
    -------
    Expression
        axis·θ with θ = 2·atan2(|(x, y, z)|, w) in [0, 2π), three lanes.
        For w >= 0, which is how SciPy returns quaternions, that is the
        shortest rotation vector, the one ``Rotation.as_rotvec`` gives. For
        w < 0 it is the rotation vector beyond a half turn rather than the
        shortest one of -quat: that choice keeps the result smooth as a
        quaternion passes through w = 0 (a half turn), where the shortest
        rotation vector jumps from +π·axis to -π·axis. It is computed
        through tan(θ/4) = |v|/(|q| + w), with no division by |v|, and is
        smooth everywhere except on the negative w axis (a whole turn),
        where it fails as not finite.

    Raises
    ------
    TypeError
        If quat is not an operand.
    ValueError
        If quat does not have four lanes.
    """
    rq = _as_value(quat, "rotvec_from_quat quat")
    _lanes(rq, "rotvec_from_quat quat", 4, _QUATERNION)
    u = vec3(rq.x, rq.y, rq.z)
    r2 = dot(u, u)
    c = rq.w
    d = sqrt(r2 + c * c) + c
    return u * (4.0 * _atanc_sqrt(r2 / (d * d)) / d)


def quat_multiply(a: Operand, b: Operand) -> Expression:
    """The Hamilton product of two quaternions, scalar last.

    Parameters
    ----------
    a, b : Expression or sequence of 4 numbers
        Quaternions (x, y, z, w).

    Returns
    -------
    Expression
        a ⊗ b, four lanes: the rotation b followed by a, as SciPy's
        ``Rotation(a) * Rotation(b)``. It is the plain product, not
        normalised: its length is |a|·|b|.

    Raises
    ------
    TypeError
        If an argument is not an operand.
    ValueError
        If a or b does not have four lanes.
    """
    rb = _as_value(b, "quat_multiply b")
    ra = _as_value(a, "quat_multiply a")
    _lanes(ra, "quat_multiply a", 4, _QUATERNION)
    _lanes(rb, "quat_multiply b", 4, _QUATERNION)
    av, bv = vec3(ra.x, ra.y, ra.z), vec3(rb.x, rb.y, rb.z)
    aw, bw = ra.w, rb.w
    v = aw * bv + bw * av + cross(av, bv)
    return vec4(v.x, v.y, v.z, aw * bw - dot(av, bv))

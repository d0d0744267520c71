"""Rotations: values against scipy.spatial.transform.Rotation over a thousand
rotations (tiny, half-turn and zero angles included), Jacobians against
central differences and PyTorch, the derivative at no rotation, smoothness
through a half turn, and the errors for arguments of the wrong size."""

import math

import numpy as np
import pytest
from scipy.spatial.transform import Rotation

import quoril as q
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

RNG = np.random.default_rng(20261209)


def axes(n):
    a = RNG.normal(size=(n, 3))
    return a / np.linalg.norm(a, axis=1, keepdims=True)


# Rotation vectors by family: 1,000 in all.
FAMILIES = {
    "uniform": Rotation.random(880, random_state=7).as_rotvec(),
    "small": axes(48) * np.logspace(-1, -150, 48)[:, None],
    # Below 1e-154 w·w underflows, and sqrt of it to 0.
    "tiny": axes(16) * np.logspace(-160, -300, 16)[:, None],
    "near-pi": axes(48) * (math.pi - np.concatenate([np.logspace(-1, -15, 46), [0.0, 0.0]]))[:, None],
    "zero": np.zeros((8, 3)),
}
FAMILY_PARAMS = [pytest.param(name)
                 for name in FAMILIES]


class Graphs:
    """Every rotation function over one pair of Parameters, evaluated at
    many points by set_value."""

    def __init__(self):
        self.w = q.Parameter(0.1, 0.2, 0.3, name="w")
        self.v = q.Parameter(1.0, -2.0, 0.5, name="v")
        self.quat = q.Parameter(0.0, 0.0, 0.0, 1.0, name="quat")
        self.other = q.Parameter(0.0, 0.0, 0.0, 1.0, name="other")
        self.outputs = {
            "rotate": rotate(self.v, self.w),
            "quat_rotate": quat_rotate(self.v, self.quat),
            "quat_from_rotvec": quat_from_rotvec(self.w),
            "rotvec_round_trip": rotvec_from_quat(quat_from_rotvec(self.w)),
            "quat_round_trip": quat_from_rotvec(rotvec_from_quat(self.quat)),
            "rotvec_from_quat": rotvec_from_quat(self.quat),
            "matrix": rotation_matrix(self.w),
            "quat_multiply": quat_multiply(self.quat, self.other),
        }

    def value(self, name):
        out = self.outputs[name]
        return q.values(list(out) if isinstance(out, tuple) else [out])


@pytest.fixture(scope="module")
def graphs():
    return Graphs()


def errors(graphs, rotvecs, vectors, others):
    """The largest error of each function over the rotations, relative to
    the length of what it rotates where there is one."""
    worst = dict.fromkeys(graphs.outputs, 0.0)
    for w, v, o in zip(rotvecs, vectors, others):
        r = Rotation.from_rotvec(w)
        quat = r.as_quat()
        graphs.w.set_value(w.tolist())
        graphs.v.set_value(v.tolist())
        graphs.quat.set_value(quat.tolist())
        graphs.other.set_value(o.as_quat().tolist())
        norm = np.linalg.norm(v)
        expected = {
            "rotate": (r.apply(v), norm),
            "quat_rotate": (r.apply(v), norm),
            "quat_from_rotvec": (quat, 1.0),
            "rotvec_round_trip": (w, max(1.0, np.linalg.norm(w))),
            "quat_round_trip": (quat, 1.0),
            "rotvec_from_quat": (r.as_rotvec(), max(1.0, np.linalg.norm(w))),
            "matrix": (r.as_matrix().ravel(), 1.0),
            "quat_multiply": ((r * o).as_quat(canonical=False), 1.0),
        }
        for name, (want, scale) in expected.items():
            got = graphs.value(name)
            if name in ("quat_from_rotvec", "quat_round_trip") and quat @ got < 0:
                got = -got  # SciPy may return either sign at a half turn
            worst[name] = max(worst[name], float(np.max(np.abs(got - want))) / scale)
    return worst


# Largest error allowed, relative to |v| for rotated vectors and to the
# angle, if above 1, for rotation vectors.
TOLERANCE = {"rotate": 4e-15, "quat_rotate": 4e-15, "quat_from_rotvec": 1e-15,
             "rotvec_round_trip": 1e-15, "quat_round_trip": 1e-15,
             "rotvec_from_quat": 1e-15, "matrix": 2e-15, "quat_multiply": 1e-15}


@pytest.mark.parametrize("family", FAMILY_PARAMS)
def test_values_match_scipy(graphs, family):
    rotvecs = FAMILIES[family]
    n = len(rotvecs)
    vectors = RNG.normal(size=(n, 3)) * np.logspace(-3, 3, n)[:, None]
    others = Rotation.random(n, random_state=11)
    worst = errors(graphs, rotvecs, vectors, others)
    assert {k: v for k, v in worst.items() if v > TOLERANCE[k]} == {}


def test_rotvec_from_quat_is_smooth_through_a_half_turn():
    # A quaternion moving through w = 0: the angle passes π and grows on,
    # where the shortest rotation vector would jump to -π·axis.
    axis = np.array([2.0, -1.0, 2.0]) / 3.0
    quat = q.Parameter(0.0, 0.0, 0.0, 1.0)
    rotvec = rotvec_from_quat(quat)
    for angle in (math.pi - 1e-3, math.pi, math.pi + 1e-3, 1.9 * math.pi):
        quat.set_value([*(math.sin(angle / 2) * axis), math.cos(angle / 2)])
        np.testing.assert_allclose(rotvec.eval(), angle * axis, rtol=1e-15, atol=4e-16)
        assert q.check_gradients(rotvec, quat) < 1e-7


@pytest.mark.parametrize("scale", [1.0, 3.5, 1e-100, 1e100])
def test_quaternions_of_any_length_give_the_same_rotation(scale):
    r = Rotation.from_rotvec([0.3, -1.2, 2.0])
    quat = q.Constant(*(scale * r.as_quat()))
    v = np.array([1.0, 2.0, 3.0])
    np.testing.assert_allclose(quat_rotate(v, quat).value, r.apply(v), rtol=0, atol=4e-15 * 3.8)
    np.testing.assert_allclose(rotvec_from_quat(quat).value, r.as_rotvec(), rtol=2e-15)


def test_rotate2_turns_counter_clockwise():
    v = q.Parameter(1.0, 0.0)
    angle = q.Parameter(math.pi / 6)
    np.testing.assert_allclose(rotate2(v, angle).eval(), [math.sqrt(3) / 2, 0.5], rtol=1e-15)
    assert q.check_gradients(rotate2(v, angle), [v, angle]) < 1e-8


def test_transform_rotates_then_translates():
    w, v, t = [0.2, 0.4, -0.1], [1.0, 2.0, 3.0], [10.0, -5.0, 0.5]
    expected = Rotation.from_rotvec(w).apply(v) + np.array(t)
    np.testing.assert_allclose(transform(v, w, t).value, expected, rtol=1e-15)


# name, build from (w, v, quat, other), Parameters it depends on
JACOBIAN_CASES = [
    ("rotate", lambda w, v, p, o: rotate(v, w), "wv"),
    ("transform", lambda w, v, p, o: transform(v, w, v * 0.5), "wv"),
    ("rotation_matrix", lambda w, v, p, o: list(rotation_matrix(w)), "w"),
    ("quat_from_rotvec", lambda w, v, p, o: quat_from_rotvec(w), "w"),
    ("quat_rotate", lambda w, v, p, o: quat_rotate(v, p), "vp"),
    ("rotvec_from_quat", lambda w, v, p, o: rotvec_from_quat(p), "p"),
    ("quat_multiply", lambda w, v, p, o: quat_multiply(p, o), "po"),
]
# Rotation vectors to differentiate at: generic, small, just short of a half
# turn, and exactly none (which the compositions cannot).
POINTS = [
    pytest.param((0.3, -0.7, 1.1), id="generic"),
    pytest.param((1e-3, -2e-3, 5e-4), id="small"),
    pytest.param((0.0, 0.0, math.pi - 1e-3), id="near-pi"),
    pytest.param((0.0, 0.0, 0.0), id="zero"),
]


def parameters_at(point):
    w = q.Parameter(*point, name="w")
    v = q.Parameter(0.4, -1.3, 2.2, name="v")
    # A quaternion of length 1.5 for the same rotation: the graphs must not
    # assume unit length.
    p = q.Parameter(*(1.5 * Rotation.from_rotvec(point).as_quat()), name="quat")
    o = q.Parameter(*Rotation.from_rotvec([0.5, 0.1, -0.3]).as_quat(), name="other")
    return {"w": w, "v": v, "p": p, "o": o}


@pytest.mark.parametrize("point", POINTS)
@pytest.mark.parametrize(("name", "build", "uses"), JACOBIAN_CASES,
                         ids=[c[0] for c in JACOBIAN_CASES])
def test_jacobians_match_central_differences(name, build, uses, point):
    params = parameters_at(point)
    outputs = build(params["w"], params["v"], params["p"], params["o"])
    assert q.check_gradients(outputs, [params[k] for k in uses], eps=1e-6,
                             rtol=1e-6, atol=1e-8) < 1e-6


def torch_formulas():
    """The same formulas in PyTorch, float64, written out as the graph's."""
    torch = pytest.importorskip("torch")

    def sinc_sqrt(s):
        r = torch.sqrt(s)
        return torch.sin(r) / r

    def rotate_t(w, v):
        s = w @ w
        h = sinc_sqrt(s * 0.25)
        wv = torch.linalg.cross(w, v)
        return v + sinc_sqrt(s) * wv + 0.5 * h * h * torch.linalg.cross(w, wv)

    def rotvec_t(p):
        u, c = p[:3], p[3]
        r2 = u @ u
        d = torch.sqrt(r2 + c * c) + c
        t = torch.sqrt(r2) / d
        return u * (4.0 * torch.atan(t) / t / d)

    return torch, {"rotate": rotate_t, "rotvec_from_quat": rotvec_t}


@pytest.mark.parametrize("point", POINTS[:3])
def test_jacobians_match_pytorch(point):
    torch, formulas = torch_formulas()
    from torch.func import jacrev

    params = parameters_at(point)
    w, v, p = (torch.tensor(params[k].value, dtype=torch.float64) for k in "wvp")
    ours = q.jacobian(rotate(params["v"], params["w"]), [params["w"], params["v"]])
    theirs = torch.cat(jacrev(formulas["rotate"], argnums=(0, 1))(w, v), dim=1)
    np.testing.assert_allclose(ours, theirs.numpy(), rtol=1e-13, atol=1e-15)
    ours = q.jacobian(rotvec_from_quat(params["p"]), params["p"])
    theirs = jacrev(formulas["rotvec_from_quat"])(p)
    np.testing.assert_allclose(ours, theirs.numpy(), rtol=1e-13, atol=1e-15)


def skew(v):
    x, y, z = v
    return np.array([[0.0, -z, y], [z, 0.0, -x], [-y, x, 0.0]])


def test_derivatives_at_no_rotation_are_exact():
    w = q.Parameter(0.0, 0.0, 0.0)
    v = np.array([0.4, -1.3, 2.2])
    # d(R v)/dw = -[v]x, d quat/dw = [I/2; 0], d rotvec/d quat = [2I, 0].
    np.testing.assert_array_equal(q.jacobian(rotate(v, w), w), -skew(v))
    np.testing.assert_array_equal(q.jacobian(quat_from_rotvec(w), w),
                                  np.vstack([0.5 * np.eye(3), np.zeros(3)]))
    quat = q.Parameter(0.0, 0.0, 0.0, 1.0)
    np.testing.assert_array_equal(q.jacobian(rotvec_from_quat(quat), quat),
                                  np.hstack([2.0 * np.eye(3), np.zeros((3, 1))]))
    assert rotate(v, w).eval() == tuple(v)


# call, exception, message
BAD_INPUT = [
    (lambda: rotate([1.0, 2.0], [0.0, 0.0, 1.0]), ValueError, "rotate v must have 3 lanes, not 2"),
    (lambda: rotate([1.0, 2.0, 3.0], [0.0, 1.0]), ValueError,
     "rotate w must have 3 lanes (an axis times an angle in radians), not 2"),
    (lambda: rotate("v", [0.0, 0.0, 1.0]), TypeError,
     "rotate v must be a symbolic value or numeric constant"),
    (lambda: rotate(None, "w"), TypeError, "rotate w must be a symbolic value or numeric constant"),
    (lambda: transform([1.0, 2.0, 3.0], [0.0, 0.0, 1.0], 1.0), ValueError,
     "transform t must have 3 lanes, not 1"),
    (lambda: rotation_matrix([1.0, 2.0, 3.0, 4.0]), ValueError,
     "rotation_matrix w must have 3 lanes (an axis times an angle in radians), not 4"),
    (lambda: quat_rotate([1.0, 2.0, 3.0], [0.0, 0.0, 1.0]), ValueError,
     "quat_rotate quat must have 4 lanes (x, y, z and the scalar last), not 3"),
    (lambda: quat_rotate([1.0, 2.0, 3.0, 4.0], [0.0, 0.0, 0.0, 1.0]), ValueError,
     "quat_rotate v must have 3 lanes, not 4"),
    (lambda: quat_from_rotvec([0.0, 0.0, 0.0, 1.0]), ValueError,
     "quat_from_rotvec w must have 3 lanes (an axis times an angle in radians), not 4"),
    (lambda: rotvec_from_quat([0.0, 0.0, 1.0]), ValueError,
     "rotvec_from_quat quat must have 4 lanes (x, y, z and the scalar last), not 3"),
    (lambda: quat_multiply([0.0, 0.0, 0.0, 1.0], 1.0), ValueError,
     "quat_multiply b must have 4 lanes (x, y, z and the scalar last), not 1"),
    (lambda: rotate2([1.0, 2.0, 3.0], 0.5), ValueError, "rotate2 v must have 2 lanes, not 3"),
    (lambda: rotate2([1.0, 2.0], [0.5, 0.5]), ValueError, "rotate2 angle must have 1 lane, not 2"),
]


@pytest.mark.parametrize(("call", "error", "message"), BAD_INPUT,
                         ids=[m.split(" must")[0] + (" type" if e is TypeError else "")
                              for _, e, m in BAD_INPUT])
def test_bad_input_names_the_argument_and_its_lanes(call, error, message):
    with pytest.raises(error) as excinfo:
        call()
    assert str(excinfo.value) == message


def test_zero_quaternion_fails_as_not_finite():
    with pytest.raises(ValueError) as excinfo:
        quat_rotate([1.0, 2.0, 3.0], q.Parameter(0.0, 0.0, 0.0, 0.0)).eval()
    assert str(excinfo.value) == "symbolic value lanes must be finite"

import math
import random
from fractions import Fraction

import pytest

from _quoril import Constant, Expression, Parameter, Undefined, cos, sin, vec2, vec3

NAN, INF = float("nan"), float("inf")


@pytest.mark.parametrize(
    ("build", "expected"),
    [
        (lambda: Constant(2.5), (2.5,)),
        (lambda: vec3(Parameter(1.0), 2, Parameter(3.0)), (1.0, 2.0, 3.0)),
        (lambda: Parameter(1.0, 2.0, 3.0) + Parameter(10.0), (11.0, 12.0, 13.0)),
        (lambda: Parameter(1.0) / Parameter(2.0, 4.0), (0.5, 0.25)),
        (lambda: 7 - Parameter(2.0), (5.0,)),
        (lambda: 2 / Parameter(8.0), (0.25,)),
        (lambda: Parameter(2.0) - Parameter(2.0, 4.0) * 2, (-2.0, -6.0)),
        (lambda: sin(Parameter(0.5)) * cos(Parameter(-0.25, 0.0)),
         (math.sin(0.5) * math.cos(-0.25), math.sin(0.5))),
    ],
)
def test_eval_returns_lanes_in_order(build, expected):
    result = build().eval()
    assert (result, [type(lane) for lane in result]) == (expected, [float] * len(expected))


UNDEFINED = "cannot evaluate symbolic graph with Undefined values"
FINITE = "symbolic value lanes must be finite"
SEED_DIMENSION = "backward seed dimension does not match output dimension"
SEED_TYPE = "backward seed must be a numeric sequence of length 1..4"
SEED_LENGTH = "backward seed must contain 1..4 values"
NO_SEED = "no seed"  # backward() called without an argument

# Root built over a Parameter p, seed, error, message.
GRAPH_FAILURES = [
    pytest.param(lambda p: Undefined() + p, NO_SEED, RuntimeError, UNDEFINED, id="undefined"),
    pytest.param(lambda p: p * 0 * Undefined(hint=1.0), NO_SEED, RuntimeError, UNDEFINED,
                 id="undefined-times-zero"),
    pytest.param(lambda p: p / (p - p), NO_SEED, ValueError, FINITE, id="division-by-zero"),
    pytest.param(lambda p: p * 1e300 * 1e300, NO_SEED, ValueError, FINITE, id="overflow"),
]
SEED_FAILURES = [
    pytest.param(lambda p: p * Parameter(1.0, 2.0), NO_SEED, ValueError,
                 "backward() without seed requires scalar output", id="vector-no-seed"),
    pytest.param(lambda p: vec2(p, p), 1.0, ValueError, SEED_DIMENSION, id="vector-number"),
    pytest.param(lambda p: p * p, (1, 2), ValueError, SEED_DIMENSION, id="short-root"),
    pytest.param(lambda p: p * p, "ab", TypeError, SEED_TYPE, id="str"),
    pytest.param(lambda p: p * p, {0: 1.0}, TypeError, SEED_TYPE, id="dict"),
    pytest.param(lambda p: p * p, Fraction(1, 2), TypeError, SEED_TYPE, id="fraction"),
    # An Expression passes the sequence test but has no length.
    pytest.param(lambda p: p * p, Constant(1.0), TypeError,
                 "object of type '_quoril.Expression' has no len()", id="expression"),
    pytest.param(lambda p: p * p, [1, 2, 3, 4, 5], ValueError, SEED_LENGTH, id="five"),
    pytest.param(lambda p: p * p, NAN, ValueError, FINITE, id="nan"),
    pytest.param(lambda p: p * p, [-INF], ValueError, FINITE, id="inf-lane"),
    pytest.param(lambda p: vec2(p, p), (1.0, NAN), ValueError, FINITE, id="nan-lane"),
]


def run_backward(root, seed):
    if seed is NO_SEED:
        root.backward()
    else:
        root.backward(seed)


@pytest.mark.parametrize(("build", "seed", "error", "message"), GRAPH_FAILURES + SEED_FAILURES)
def test_backward_failure_message(build, seed, error, message):
    root = build(Parameter(3.0))
    with pytest.raises(error) as excinfo:
        run_backward(root, seed)
    assert str(excinfo.value) == message


@pytest.mark.parametrize(("build", "seed", "error", "message"), GRAPH_FAILURES)
def test_eval_failure_message(build, seed, error, message):
    root = build(Parameter(3.0))
    with pytest.raises(error) as excinfo:
        root.eval()
    assert str(excinfo.value) == message


@pytest.mark.parametrize(("build", "seed", "error", "message"), GRAPH_FAILURES + SEED_FAILURES)
def test_failed_backward_leaves_every_gradient(build, seed, error, message):
    p, q = Parameter(3.0), Parameter(5.0)
    (p * p).backward()
    root = build(p) + q
    with pytest.raises(error):
        run_backward(root, seed)
    assert (p.grad, q.grad) == ((6.0,), None)


@pytest.mark.parametrize("seed", [10**400, [1, "a"]], ids=["huge-int", "str-lane"])
def test_unconvertible_seed_is_a_cast_error(seed):
    p = Parameter(3.0)
    with pytest.raises(RuntimeError) as excinfo:
        (p * p).backward(seed)
    assert str(excinfo.value).startswith("Unable to cast Python instance of type ")


class MyFloat(float):
    pass


@pytest.mark.parametrize(
    ("call", "scale"),
    [
        (lambda y: y.backward(None), 1.0),
        (lambda y: y.backward(2.0), 2.0),
        (lambda y: y.backward(seed=2), 2.0),
        (lambda y: y.backward(MyFloat(-0.5)), -0.5),
        (lambda y: y.backward((2.0,)), 2.0),
        (lambda y: y.backward([Fraction(2)]), 2.0),
        (lambda y: y.backward(bytearray(b"\x02")), 2.0),
    ],
)
def test_seed_forms_scale_the_unit_gradient(call, scale):
    def graph():
        p, q = Parameter(1.5), Parameter(-0.75)
        return p, q, sin(p * q) + p / q

    p, q, y = graph()
    y.backward()
    unit = (p.grad[0], q.grad[0])
    p, q, y = graph()
    call(y)
    assert (p.grad, q.grad) == ((scale * unit[0],), (scale * unit[1],))


def test_gradient_accumulates_until_zero_grad():
    p = Parameter(3.0)
    y = p * p
    history = []
    for action in (y.backward, y.backward, y.zero_grad, y.backward):
        action()
        history.append(p.grad)
    assert (history, y.grad) == ([(6.0,), (12.0,), None, (6.0,)], None)


def test_shared_parameter_collects_from_two_graphs():
    p, q = Parameter(3.0), Parameter(2.0)
    first, second = p * p, p * q
    first.backward()
    second.backward()
    collected = (p.grad, q.grad)
    first.zero_grad()
    assert (collected, p.grad, q.grad) == (((8.0,), (3.0,)), None, (3.0,))


def test_zero_grad_succeeds_on_graph_that_cannot_evaluate():
    p = Parameter(3.0)
    (p * p).backward()
    assert ((p * Undefined()).zero_grad(), p.grad) == (None, None)


# With a = 2, b = 5 and v = (1, 2, 4): root, seed, expected grad of a, b and v.
@pytest.mark.parametrize(
    ("build", "seed", "expected"),
    [
        (lambda a, b, v: (a + b) * a, NO_SEED, ((9.0,), (2.0,), None)),
        (lambda a, b, v: (t := a * b) + t, NO_SEED, ((10.0,), (4.0,), None)),
        (lambda a, b, v: a - a + b / a, NO_SEED, ((-1.25,), (0.5,), None)),
        (lambda a, b, v: a + (-a) * b, NO_SEED, ((-4.0,), (-2.0,), None)),
        (lambda a, b, v: sin(a) + cos(b), NO_SEED, ((math.cos(2.0),), (-math.sin(5.0),), None)),
        (lambda a, b, v: a * Constant(0.0), NO_SEED, ((0.0,), None, None)),
        (lambda a, b, v: (vec2(a, b) * 3).y, NO_SEED, ((0.0,), (3.0,), None)),
        (lambda a, b, v: vec2(a, b).y * 3, NO_SEED, (None, (3.0,), None)),
        (lambda a, b, v: vec2(a * a, a * b), (0.5, 2), ((2.0 + 10.0,), (4.0,), None)),
        (lambda a, b, v: a * v, (1, 1, 1), ((7.0,), None, (2.0, 2.0, 2.0))),
        (lambda a, b, v: v.y * b, NO_SEED, (None, (2.0,), (0.0, 5.0, 0.0))),
        (lambda a, b, v: v, (3.0, -1.0, 0.5), (None, None, (3.0, -1.0, 0.5))),
    ],
    ids=["shared-subexpression", "diamond", "self-subtract-divide", "negate", "sin-cos",
         "times-constant-zero", "pack-component", "pack-look-through", "vector-seed",
         "broadcast", "component", "leaf"],
)
def test_gradient_closed_forms(build, seed, expected):
    a, b, v = Parameter(2.0), Parameter(5.0), Parameter(1.0, 2.0, 4.0)
    run_backward(build(a, b, v), seed)
    assert (a.grad, b.grad, v.grad) == expected


def test_dir_lists_registered_names_and_what_python_adds():
    registered = {
        "id", "kind", "op", "dim", "dimension", "name", "is_constant", "is_parameter",
        "is_undefined", "is_expression", "is_leaf", "value", "hint", "grad", "inputs",
        "x", "y", "z", "w", "__getitem__", "eval", "set_value", "backward", "zero_grad",
        "__repr__", "__add__", "__radd__", "__sub__", "__rsub__", "__mul__", "__rmul__",
        "__truediv__", "__rtruediv__", "__neg__",
    }
    added = set(dir(object)) | {"__module__", "_pybind11_conduit_v1_"}
    # copy and pickle cache __slotnames__ on the class once they have seen it.
    assert set(dir(Expression)) - {"__slotnames__"} == registered | added


def random_expression(rng, leaves, depth):
    """Builds a random scalar expression, smooth everywhere near the leaves' values."""
    if depth == 0:
        leaf = rng.choice(leaves)
        return leaf if leaf.dim == 1 else leaf[rng.randrange(leaf.dim)]
    left = random_expression(rng, leaves, depth - 1)
    right = random_expression(rng, leaves, depth - 1)
    return [
        lambda: left + right,
        lambda: left - rng.uniform(-2, 2) * right,
        lambda: left * right,
        lambda: left / (2.5 + cos(right)),
        lambda: rng.uniform(-2, 2) / (2.5 + sin(left)) - right,
        lambda: sin(left) * cos(right),
        lambda: -left + vec2(left, right).y,
        lambda: (vec3(left, right, left * right) * leaves[-1])[rng.randrange(3)],
    ][rng.randrange(8)]()


@pytest.mark.parametrize("seed", range(16))
def test_gradient_matches_central_differences(seed):
    rng = random.Random(seed)
    leaves = [Parameter(rng.uniform(-1, 1)), Parameter(rng.uniform(-1, 1)),
              Parameter(rng.uniform(-1, 1), rng.uniform(-1, 1), rng.uniform(-1, 1))]
    y = random_expression(rng, leaves, depth=4)
    y.backward()
    h = 1e-6
    mismatches = []
    for leaf in leaves:
        analytic = leaf.grad or (0.0,) * leaf.dim
        base = list(leaf.value)
        for lane in range(leaf.dim):
            values = []
            for step in (h, -h):
                leaf.set_value([x + step * (i == lane) for i, x in enumerate(base)])
                values.append(y.eval()[0])
            leaf.set_value(base)
            numeric = (values[0] - values[1]) / (2 * h)
            if not math.isclose(analytic[lane], numeric, rel_tol=1e-6, abs_tol=1e-8):
                mismatches.append((repr(leaf), lane, analytic[lane], numeric))
    assert mismatches == []

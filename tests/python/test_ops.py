"""The package's operations (exp, log, sqrt, tanh, abs, pow, atan2) and vector
helpers (sum, dot, norm, cross): values against the math module, gradients
against central differences, coercion, exact errors (data where a value is
expected among them), and the one core that the package's native module
shares with _quoril."""

import math
import subprocess
import sys

import numpy as np
import pytest

import _quoril
import quoril as q
from _quoril import Constant, Expression, Parameter

NOT_FINITE = "symbolic value lanes must be finite"

# name, function, reference over floats, lanes inside its domain
UNARY = [
    ("exp", q.exp, math.exp, (0.0, -1.5, 2.0, 700.0)),
    ("log", q.log, math.log, (1.0, 0.25, 3.0, 1e300)),
    ("sqrt", q.sqrt, math.sqrt, (0.0, 2.0, 1e-300, 9.0)),
    ("tanh", q.tanh, math.tanh, (0.0, -0.5, 3.0, -20.0)),
    ("abs", q.abs, abs, (-0.0, -2.5, 3.0, -1e-300)),
]
# name, function, reference, first operand's lanes, second operand's lanes
BINARY = [
    ("pow", q.pow, math.pow, (2.0, 0.5, -2.0, 0.0), (3.0, -1.5, 2.0, 0.5)),
    ("atan2", q.atan2, math.atan2, (1.0, -1.0, 0.0, -0.0), (1.0, -2.0, -1.0, 3.0)),
]
# What each function names its operands in errors.
LABELS = {"exp": ("exp value",), "log": ("log value",), "sqrt": ("sqrt value",),
          "tanh": ("tanh value",), "abs": ("abs value",), "pow": ("pow x", "pow y"),
          "atan2": ("atan2 y", "atan2 x")}
FUNCTIONS = {name: f for name, f, *_ in UNARY + BINARY}
OPS = {"exp": "Exp", "log": "Log", "sqrt": "Sqrt", "tanh": "Tanh", "abs": "Abs",
       "pow": "Pow", "atan2": "Atan2"}


def bits(lanes):
    return tuple(float(x).hex() for x in lanes)


@pytest.mark.parametrize(("name", "f", "ref", "lanes"), UNARY, ids=[r[0] for r in UNARY])
@pytest.mark.parametrize("dim", [1, 4])
def test_unary_values_are_the_math_modules(name, f, ref, lanes, dim):
    e = f(Parameter(*lanes[:dim]))
    assert (type(e), e.op, e.dim) == (Expression, OPS[name], dim)
    assert bits(e.eval()) == bits(ref(x) for x in lanes[:dim])
    # Folding over a Constant gives the same lanes.
    assert bits(f(Constant(*lanes[:dim])).value) == bits(e.eval())


@pytest.mark.parametrize(("name", "f", "ref", "xs", "ys"), BINARY, ids=[r[0] for r in BINARY])
@pytest.mark.parametrize("layout", [(4, 4), (1, 4), (4, 1)], ids=["4-4", "1-4", "4-1"])
def test_binary_values_are_the_math_modules_with_broadcasting(name, f, ref, xs, ys, layout):
    a, b = xs[:layout[0]], ys[:layout[1]]
    e = f(Parameter(*a), Parameter(*b))
    assert (e.op, e.dim) == (OPS[name], 4)
    pick = lambda v, i: v[0] if len(v) == 1 else v[i]  # noqa: E731
    assert bits(e.eval()) == bits(ref(pick(a, i), pick(b, i)) for i in range(4))
    assert bits(f(Constant(*a), list(b)).value) == bits(e.eval())


def central_difference(y, seed, p, lane, h=1e-6):
    base = p.value

    def at(step):
        p.set_value([x + step * (i == lane) for i, x in enumerate(base)])
        return math.fsum(s * v for s, v in zip(seed, y.eval()))

    try:
        return (at(h) - at(-h)) / (2 * h)
    finally:
        p.set_value(base)


def expect_gradients(y, params, seed=None):
    seed = seed or [1.0, -0.5, 2.0, 0.25][:y.dim]
    y.backward(seed)
    for p in params:
        for lane in range(p.dim):
            numeric = central_difference(y, seed, p, lane)
            analytic = p.grad[lane] if p.grad else 0.0
            assert math.isclose(analytic, numeric, rel_tol=1e-6, abs_tol=1e-7), (p, lane)


@pytest.mark.parametrize(
    "build",
    [
        lambda a, b: q.exp(a) * b,
        lambda a, b: q.log(b) + a,
        lambda a, b: q.sqrt(b) * a,
        lambda a, b: q.tanh(a * b),
        lambda a, b: q.abs(a - 0.1) * b,
        lambda a, b: q.pow(b, a),
        lambda a, b: q.pow(a, 3) + b,
        lambda a, b: q.pow(2, a) * b,
        lambda a, b: q.atan2(a, b),
        lambda a, b: q.atan2(b, a + 3),
    ],
    ids=["exp", "log", "sqrt", "tanh", "abs", "pow", "pow-constant-exponent", "pow-number-base",
         "atan2-y", "atan2-x"],
)
@pytest.mark.parametrize("layout", [(3, 3), (1, 3), (3, 1)], ids=["3-3", "1-3", "3-1"])
def test_gradients_match_central_differences(build, layout):
    a = Parameter(*[-0.7, 0.4, 1.3][:layout[0]])
    b = Parameter(*[0.6, 1.9, 1.1][:layout[1]])
    expect_gradients(build(a, b), [a, b])


@pytest.mark.parametrize(
    ("build", "x", "y", "grads"),
    [
        (lambda x, y: q.abs(x), 0.0, 1.0, ((0.0,), None)),
        (lambda x, y: q.pow(x, 3), -2.0, 1.0, ((12.0,), None)),
        (lambda x, y: q.pow(x, y), 0.0, 2.0, ((0.0,), (0.0,))),
        (lambda x, y: q.pow(x, y), 2.0, 0.0, ((0.0,), (math.log(2.0),))),
        (lambda x, y: q.atan2(x, y), 3.0, 4.0, ((0.16,), (-0.12,))),
    ],
    ids=["abs-at-0", "pow-negative-base-constant-exponent", "pow-zero-base", "pow-zero-exponent",
         "atan2"],
)
def test_gradients_at_special_points(build, x, y, grads):
    px, py = Parameter(x), Parameter(y)
    build(px, py).backward()
    assert (px.grad, py.grad) == grads


@pytest.mark.parametrize(
    ("build", "op", "slots"),
    [
        (lambda p: q.pow(p, 2), "Pow", ("p", (2.0,))),
        (lambda p: q.pow(True, p), "Pow", ((1.0,), "p")),
        (lambda p: q.atan2([1, 2], p), "Atan2", ((1.0, 2.0), "p")),
        (lambda p: q.atan2(p, (3.5,)), "Atan2", ("p", (3.5,))),
        (lambda p: q.exp(p), "Exp", ("p",)),
    ],
    ids=["number-right", "bool-left", "list-left", "tuple-right", "unary"],
)
def test_numbers_and_sequences_become_constants_on_their_side(build, op, slots):
    p = Parameter(1.0, 2.0, name="p")
    e = build(p)
    described = tuple(i.value if i.kind == "Constant" else i.name for i in e.inputs)
    assert (e.op, e.dim, described) == (op, 2, slots)


@pytest.mark.parametrize(
    ("build", "lanes"),
    [
        (lambda: q.exp(0), (1.0,)),
        (lambda: q.sqrt([4, 9, 16]), (2.0, 3.0, 4.0)),
        (lambda: q.pow(2, [1, 2, 3]), (2.0, 4.0, 8.0)),
        (lambda: q.atan2(0.0, (-1.0, 1.0)), (math.pi, 0.0)),
        (lambda: q.abs(Constant(-1.0, 2.0)), (1.0, 2.0)),
    ],
)
def test_operands_without_a_parameter_fold_to_a_constant(build, lanes):
    e = build()
    assert (e.kind, e.value) == ("Constant", lanes)


# Operands the module refuses; what is plainly data (more than four
# elements, object arrays) gets the package's own error, tested below.
BAD_OPERANDS = ["a", None, b"x", {}, [], [1, "a"], 1 + 2j, math.nan]


def failure(call):
    try:
        call()
    except Exception as error:  # noqa: BLE001 - the type is what is compared
        return type(error), str(error)
    pytest.fail("the call did not fail")


@pytest.mark.parametrize("bad", BAD_OPERANDS, ids=repr)
@pytest.mark.parametrize("name", sorted(LABELS))
def test_a_bad_operand_gets_sins_error_under_its_own_label(name, bad, next_id):
    """Whatever _quoril.sin says of a bad operand, each function says of it,
    naming its own operand, and no node is left behind."""
    expected_type, expected = failure(lambda: _quoril.sin(bad))
    f, p = FUNCTIONS[name], Parameter(1.0)
    for side, label in enumerate(LABELS[name]):
        args = [p] * len(LABELS[name])
        args[side] = bad
        first = next_id()
        actual = failure(lambda: f(*args))
        assert actual == (expected_type, expected.replace("sin value", label))
        assert next_id() == first + 1


NOT_A_VALUE = ("; a value holds 1..4 lanes (q.vec2 to q.vec4 make one of Expressions), "
               "and data go through q.Function or data=")
# Each function that converts an operand, with the label it gives it: every
# operand goes through the same coercion, so one per function suffices.
CONVERTERS = [
    *[(lambda bad, f=f, n=len(LABELS[name]): f(bad, *[Parameter(1.0)] * (n - 1)), LABELS[name][0])
      for name, f in FUNCTIONS.items()],
    *[(lambda bad, f=f: f(Parameter(1.0), bad), LABELS[name][1])
      for name, f in FUNCTIONS.items() if len(LABELS[name]) == 2],
    (lambda bad: q.sinc_sqrt(bad), "sinc_sqrt value"),
    (lambda bad: q.atanc_sqrt(bad), "atanc_sqrt value"),
    (lambda bad: q.sum(bad), "sum value"),
    (lambda bad: q.sum([Parameter(1.0), bad]), "sum value[1]"),
    (lambda bad: q.dot(Parameter(1.0), bad), "dot b"),
    (lambda bad: q.norm(bad), "norm value"),
    (lambda bad: q.cross(bad, (0, 0, 1)), "cross a"),
    (lambda bad: q.rotate(bad, (0, 0, 1)), "rotate v"),
    (lambda bad: q.transform((1, 0, 0), (0, 0, 1), bad), "transform t"),
    (lambda bad: q.rotation_matrix(bad), "rotation_matrix w"),
    (lambda bad: q.rotate2((1, 0), bad), "rotate2 angle"),
    (lambda bad: q.quat_rotate((1, 0, 0), bad), "quat_rotate quat"),
    (lambda bad: q.quat_from_rotvec(bad), "quat_from_rotvec w"),
    (lambda bad: q.rotvec_from_quat(bad), "rotvec_from_quat quat"),
    (lambda bad: q.quat_multiply(bad, (0, 0, 0, 1)), "quat_multiply a"),
]
# How the error names each kind of data, built at call time so that the
# object arrays hold live Expressions.
DATA = [
    (lambda: np.linspace(0.0, 1.0, 10), "has 10 elements"),
    (lambda: [1, 2, 3, 4, 5], "has 5 elements"),
    (lambda: np.linspace(0.0, 1.0, 10) - Parameter(0.5), "is an object array"),
    (lambda: np.linspace(0.0, 1.0, 3) - Parameter(0.5), "is an object array"),
    (lambda: np.zeros((2, 2)), "is an array of 2 dimensions"),
    (lambda: [Parameter(1.0), Parameter(2.0)], "is a sequence holding Expressions"),
]


@pytest.mark.parametrize(("make", "what"), DATA, ids=[w for _, w in DATA])
@pytest.mark.parametrize(("call", "label"), CONVERTERS, ids=[label for _, label in CONVERTERS])
def test_data_where_a_value_is_expected_is_a_type_error(call, label, make, what, next_id):
    if label == "sum value" and what.endswith("Expressions"):
        pytest.skip("sum adds up a sequence of Expressions")
    bad = make()
    first = next_id()
    with pytest.raises(TypeError) as raised:
        call(bad)
    assert str(raised.value) == f"{label} {what}{NOT_A_VALUE}"
    # The operands the call makes itself draw ids; the check leaves no node.
    assert next_id() - first <= 2


def test_the_modules_own_messages_stay_for_data():
    grid = np.linspace(0.0, 1.0, 10)
    for data in (grid, grid - Parameter(0.5)):
        assert failure(lambda: _quoril.sin(data)) == (
            ValueError, "sin value must contain 1..4 values")


# ids: every id the call draws, operands it makes itself included.
@pytest.mark.parametrize(
    ("call", "message", "ids"),
    [
        (lambda: q.log(0), NOT_FINITE, 1),
        (lambda: q.log(Constant(-1.0)), NOT_FINITE, 1),
        (lambda: q.sqrt([4, -1]), NOT_FINITE, 1),
        (lambda: q.exp(1000), NOT_FINITE, 1),
        (lambda: q.pow(-8, 1 / 3), NOT_FINITE, 2),
        (lambda: q.pow(Constant(0.0), -1), NOT_FINITE, 2),
        (lambda: q.pow(Parameter(1.0, 2.0), [1, 2, 3]),
         "cannot combine symbolic values with dimensions 2 and 3", 2),
        (lambda: q.atan2([1, 2, 3], Parameter(1.0, 2.0)),
         "cannot combine symbolic values with dimensions 3 and 2", 2),
        # The last operand is coerced first, as by vec2.
        (lambda: q.pow("a", 2), "pow x must be a symbolic value or numeric constant", 1),
        (lambda: q.atan2("a", "b"), "atan2 x must be a symbolic value or numeric constant", 0),
    ],
    ids=["log-0", "log-negative", "sqrt-lane", "exp-overflow", "pow-cube-root", "pow-zero",
         "pow-dimensions", "atan2-dimensions", "pow-x", "atan2-both"],
)
def test_failures_draw_only_the_ids_of_the_operands_made(call, message, ids, next_id):
    first = next_id()
    error = failure(call)
    assert (error[1], next_id() - first - 1) == (message, ids)
    assert error[0] is (TypeError if message.endswith("numeric constant") else ValueError)


@pytest.mark.parametrize(
    "build",
    [lambda p: q.log(p - 1), lambda p: q.sqrt(-p), lambda p: q.exp(p * 1000),
     lambda p: q.pow(p * -8, 1 / 3), lambda p: q.pow(p - 1, -p)],
    ids=["log-0", "sqrt-negative", "exp-overflow", "pow-negative-base", "pow-zero-negative"],
)
def test_non_finite_lanes_fail_evaluation_and_backward_without_a_trace(build):
    p = Parameter(1.0)
    p.backward(1.5)
    y = build(p)
    for call in (y.eval, y.backward):
        assert failure(call) == (ValueError, NOT_FINITE)
    assert p.grad == (1.5,)


def test_both_modules_draw_from_one_id_counter_and_mix_in_a_graph():
    p = Parameter(0.3, name="p")
    made = [p]
    y = p
    for step in range(6):
        y = _quoril.sin(y) if step % 2 else q.exp(y * 0.5)
        made.append(y)
        made.append(q.atan2(y, Parameter(2.0)))
    ids = [n.id for n in made]
    assert ids == sorted(set(ids))
    root = q.pow(made[-1], 2) + _quoril.cos(made[-2])
    assert all(type(n) is Expression for n in made[1:] + [root])

    def plain(x):
        for step in range(6):
            x = math.sin(x) if step % 2 else math.exp(x * 0.5)
        return math.pow(math.atan2(x, 2.0), 2) + math.cos(x)

    assert root.eval() == (plain(0.3),)
    root.backward()
    h = 1e-6
    numeric = (plain(0.3 + h) - plain(0.3 - h)) / (2 * h)
    assert math.isclose(p.grad[0], numeric, rel_tol=1e-6, abs_tol=1e-9)
    root.zero_grad()
    assert p.grad is None


def test_the_package_re_exports_the_modules_own_objects():
    public = [name for name in dir(_quoril) if not name.startswith("_")]
    assert {name: getattr(q, name) is getattr(_quoril, name) for name in public} == {
        name: True for name in public}
    assert q.Parameter is _quoril.Parameter


def run_python(script):
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


def test_importing_the_module_alone_loads_nothing_of_the_package():
    script = ("import sys, _quoril\n"
              "print(sorted(m for m in sys.modules if m.split('.')[0] == 'quoril'))")
    assert run_python(script) == "[]"


def test_importing_the_package_leaves_the_modules_surface_as_it_was():
    script = ("import _quoril\n"
              "before = (dir(_quoril), dir(_quoril.Expression), _quoril.__version__)\n"
              "import quoril\n"
              "print(before == (dir(_quoril), dir(_quoril.Expression), _quoril.__version__))")
    assert run_python(script) == "True"


# ---------------------------------------------------------------------------
# Vector helpers


@pytest.mark.parametrize(
    ("build", "lanes"),
    [
        (lambda: q.sum(Parameter(1.0, 2.0, 3.0, 4.5)), (10.5,)),
        (lambda: q.sum(7), (7.0,)),
        (lambda: q.dot(Parameter(1.0, 2.0), [3, 4]), (11.0,)),
        (lambda: q.dot(2, Parameter(1.0, 2.0, 3.0)), (12.0,)),
        (lambda: q.norm(Parameter(3.0, 4.0)), (5.0,)),
        (lambda: q.norm([-2.0]), (2.0,)),
        (lambda: q.cross(Parameter(1.0, 0.0, 0.0), [0, 1, 0]), (0.0, 0.0, 1.0)),
        (lambda: q.cross(Parameter(1.0, 2.0, 3.0), Parameter(4.0, 5.0, 6.0)), (-3.0, 6.0, -3.0)),
    ],
)
def test_helper_values(build, lanes):
    assert build().eval() == lanes


@pytest.mark.parametrize(
    "build",
    [lambda a, b: q.sum(a * b), lambda a, b: q.dot(a, b), lambda a, b: q.norm(a),
     lambda a, b: q.cross(a, b), lambda a, b: q.cross(b, a) * q.norm(b)],
    ids=["sum", "dot", "norm", "cross", "cross-norm"],
)
def test_helper_gradients_match_central_differences(build):
    a, b = Parameter(0.3, -1.2, 2.0), Parameter(1.5, 0.7, -0.4)
    expect_gradients(build(a, b), [a, b])


@pytest.mark.parametrize(
    ("call", "error", "message", "ids"),
    [
        (lambda p: q.cross(p[2], p[3]), ValueError, "cross a must have 3 lanes, not 2", 0),
        (lambda p: q.cross([1, 2, 3], 1), ValueError, "cross b must have 3 lanes, not 1", 2),
        (lambda p: q.cross(p[3], [1, 2, 3, 4]), ValueError, "cross b must have 3 lanes, not 4", 1),
        (lambda p: q.cross(None, p[3]), TypeError,
         "cross a must be a symbolic value or numeric constant", 0),
        (lambda p: q.dot(p[2], p[3]), ValueError,
         "cannot combine symbolic values with dimensions 2 and 3", 0),
        (lambda p: q.sum("ab"), TypeError, "sum value must be a symbolic value or numeric constant",
         0),
        (lambda p: q.norm([]), ValueError, "norm value must contain 1..4 values", 0),
        # Two operands are coerced last first, as by vec2, pow and atan2, so
        # with both bad the last is named, and a good first one is not made.
        (lambda p: q.dot("a", "b"), TypeError,
         "dot b must be a symbolic value or numeric constant", 0),
        (lambda p: q.cross([1, 2, 3], "b"), TypeError,
         "cross b must be a symbolic value or numeric constant", 0),
    ],
    ids=["cross-2-lanes", "cross-1-lane", "cross-4-lanes", "cross-none", "dot-dimensions",
         "sum-text", "norm-empty", "dot-both-bad", "cross-bad-last"],
)
def test_helper_errors_and_ids_spent(call, error, message, ids, next_id):
    params = {2: Parameter(1.0, 2.0), 3: Parameter(1.0, 2.0, 3.0)}
    first = next_id()
    assert failure(lambda: call(params)) == (error, message)
    assert next_id() - first - 1 == ids

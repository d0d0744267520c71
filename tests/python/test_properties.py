"""Properties of random expressions, checked against independent oracles.

Trees of Parameters, Constants, Python numbers and sequences under every
operator, broadcasting and component access are built twice: as module
expressions, and as plain lists of floats evaluated here with the same IEEE
operations in the same order, so values must agree bit for bit. Gradients are
checked against central differences, errors by exact type and text, and
reference counts and memory over many iterations.

The runs are derandomized with a fixed number of examples, so CI sees the same
cases every time. Under the sanitizers (QUORIL_SANITIZED, set by ./dev check)
there are fewer examples and no resident-memory measurement.
"""

import gc
import math
import operator
import os
import subprocess
import sys
import tracemalloc

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quoril as q
from _quoril import Constant, Parameter, Undefined, cos, sin, vec2, vec3, vec4

SANITIZED = os.environ.get("QUORIL_SANITIZED", "")
SCALE = {"": 1, "asan": 4, "memcheck": 40}.get(SANITIZED, 4)


def checked(examples):
    return settings(
        max_examples=max(5, examples // SCALE),
        derandomize=True,
        database=None,
        deadline=None,
        print_blob=False,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    )


NOT_FINITE = "symbolic value lanes must be finite"


class NonFinite(Exception):
    pass


def divide(a, b):
    """IEEE division, which Python's float division refuses for a zero divisor."""
    try:
        return a / b
    except ZeroDivisionError:
        if a == 0 or math.isnan(a):
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)


def ieee(f):
    """The math module's function, with a NaN where it refuses a result that
    C's would give as NaN or an infinity."""
    def apply(*args):
        try:
            return f(*args)
        except (ValueError, OverflowError):
            return math.nan
    return apply


OPERATORS = {"+": (operator.add, operator.add), "-": (operator.sub, operator.sub),
             "*": (operator.mul, operator.mul), "/": (operator.truediv, divide)}
# The package's functions of two operands, and what each names its operands.
FUNCTIONS = {"pow": (q.pow, ieee(math.pow)), "atan2": (q.atan2, math.atan2)}
LABELS = {"pow": ("pow x", "pow y"), "atan2": ("atan2 y", "atan2 x")}
BINARY = OPERATORS | FUNCTIONS
UNARY = {"neg": (operator.neg, operator.neg), "sin": (sin, math.sin), "cos": (cos, math.cos),
         "exp": (q.exp, ieee(math.exp)), "log": (q.log, ieee(math.log)),
         "sqrt": (q.sqrt, ieee(math.sqrt)), "tanh": (q.tanh, math.tanh), "abs": (q.abs, abs)}
PACK = {2: vec2, 3: vec3, 4: vec4}
ATTRIBUTES = "xyzw"


# A tree is a tuple: ("param", i) for Parameter i of the example's pool,
# ("const", lanes), ("number", x) and ("seq", lanes) for Python operands,
# (op, left, right), (name, operand), ("pack", args) and ("component", operand,
# index, access). A Python operand only stands beside an expression.

LANE = st.one_of(
    st.floats(-8, 8, allow_nan=False, width=64),
    st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5, 5e-324, -5e-324, 1e-300, 1e300, 3.0]),
)


def lanes_of(dim):
    return st.lists(LANE, min_size=dim, max_size=dim).map(tuple)


def pool_of(dims=(1, 2, 3, 4)):
    return st.tuples(*(lanes_of(d) for d in dims))


@st.composite
def trees(draw, dim, depth, operands=True, components=True):
    """A tree of dimension `dim`; `operands` lets raw Python numbers in, and
    `components` lane access."""
    if depth == 0 or draw(st.integers(0, 4)) == 0:
        if draw(st.booleans()):
            return ("param", dim - 1)
        return ("const", draw(lanes_of(dim)))
    shapes = ["binary", "unary"]
    if dim > 1:
        shapes.append("pack")
    elif components:
        shapes.append("component")
    shape = draw(st.sampled_from(shapes))
    if shape == "binary":
        left_dim, right_dim = draw(st.sampled_from(
            [(dim, dim)] + ([(1, dim), (dim, 1)] if dim > 1 else [])))
        left = draw(trees(left_dim, depth - 1, operands, components))
        right = draw(trees(right_dim, depth - 1, operands, components))
        # At most one side becomes a Python operand, so the other is always
        # an expression.
        side = draw(st.sampled_from(["none", "left", "right"])) if operands else "none"
        if side == "left":
            left = python_operand(draw, left_dim)
        elif side == "right":
            right = python_operand(draw, right_dim)
        return (draw(st.sampled_from(sorted(BINARY))), left, right)
    if shape == "unary":
        return (draw(st.sampled_from(sorted(UNARY))),
                draw(trees(dim, depth - 1, operands, components)))
    if shape == "pack":
        args = []
        for _ in range(dim):
            raw = operands and draw(st.integers(0, 3)) == 0
            args.append(("number", draw(LANE)) if raw
                        else draw(trees(1, depth - 1, operands, components)))
        return ("pack", tuple(args))
    source_dim = draw(st.integers(1, 4))
    index = draw(st.integers(0, source_dim - 1))
    access = draw(st.sampled_from(["index", "attribute", "iterate"]))
    return ("component", draw(trees(source_dim, depth - 1)), index, access)


def python_operand(draw, dim):
    if dim == 1 and draw(st.booleans()):
        return ("number", draw(st.one_of(LANE, st.integers(-3, 3))))
    return ("seq", draw(lanes_of(dim).map(list if draw(st.booleans()) else tuple)))


def realize(tree, pool):
    """Builds the module's expression (or the Python operand) for a tree."""
    kind = tree[0]
    if kind == "param":
        return pool[tree[1]]
    if kind == "const":
        return Constant(*tree[1])
    if kind in ("number", "seq"):
        return tree[1]
    if kind in BINARY:
        return BINARY[kind][0](realize(tree[1], pool), realize(tree[2], pool))
    if kind in UNARY:
        return UNARY[kind][0](realize(tree[1], pool))
    if kind == "pack":
        return PACK[len(tree[1])](*(realize(arg, pool) for arg in tree[1]))
    _, operand, index, access = tree
    value = realize(operand, pool)
    if access == "attribute":
        return getattr(value, ATTRIBUTES[index])
    if access == "iterate":
        return list(value)[index]
    return value[index]


def dim_of(tree):
    kind = tree[0]
    if kind == "param":
        return tree[1] + 1
    if kind in ("const", "seq", "pack"):
        return len(tree[1])
    if kind in ("number", "component"):
        return 1
    if kind in BINARY:
        return max(dim_of(tree[1]), dim_of(tree[2]))
    return dim_of(tree[1])


def reference(tree, lanes):
    """Evaluates a tree over plain floats as (constant, lanes).

    A part made only of Constants folds while it is built, so a non-finite
    lane there raises NonFinite at once. Elsewhere the lanes are None when
    evaluation must refuse them. A component of a pack that did not fold is
    the packed argument itself, so its sibling arguments are never evaluated.
    """
    kind = tree[0]
    if kind == "param":
        return False, list(lanes[tree[1]])
    if kind in ("const", "seq"):
        return True, [float(x) for x in tree[1]]
    if kind == "number":
        return True, [float(tree[1])]
    if kind == "pack":
        args = [reference(arg, lanes) for arg in tree[1]]
        constant = all(c for c, _ in args)
        if any(v is None for _, v in args):
            return constant, None
        return constant, [v[0] for _, v in args]
    if kind == "component":
        _, operand, index, _ = tree
        constant, values = reference(operand, lanes)
        if dim_of(operand) == 1:
            return constant, values
        if operand[0] == "pack" and not constant:
            return reference(operand[1][index], lanes)
        return constant, None if values is None else [values[index]]
    if kind in BINARY:
        (lc, left), (rc, right) = reference(tree[1], lanes), reference(tree[2], lanes)
        if left is None or right is None:
            return False, None
        n = max(len(left), len(right))
        pick = lambda v, i: v[0] if len(v) == 1 else v[i]  # noqa: E731
        result = [BINARY[kind][1](pick(left, i), pick(right, i)) for i in range(n)]
        constant = lc and rc
    else:
        constant, operand = reference(tree[1], lanes)
        if operand is None:
            return False, None
        result = [UNARY[kind][1](x) for x in operand]
    if all(math.isfinite(x) for x in result):
        return constant, result
    if constant:
        raise NonFinite
    return False, None


def bits(lanes):
    return tuple(float(x).hex() for x in lanes)


def outcome(build):
    try:
        return ("value", bits(build()))
    except ValueError as error:
        return ("error", str(error))


@checked(600)
@given(pool=pool_of(), dim=st.integers(1, 4), data=st.data())
def test_eval_is_the_plain_float_evaluation_bit_for_bit(pool, dim, data):
    tree = data.draw(trees(dim, 4))
    params = [Parameter(*lanes) for lanes in pool]
    try:
        expected = reference(tree, pool)[1]
    except NonFinite:
        expected = None
    expected = ("error", NOT_FINITE) if expected is None else ("value", bits(expected))
    # A non-finite lane is refused while building where a part made only of
    # Constants folds, and by eval elsewhere; either way with the same error.
    assert outcome(lambda: realize(tree, params).eval()) == expected


@checked(300)
@given(pool=pool_of(), dim=st.integers(1, 4), data=st.data())
def test_folding_over_constants_equals_evaluation_over_parameters(pool, dim, data):
    """The same tree with every Parameter replaced by a Constant of its lanes
    folds to one Constant whose lanes are exactly what evaluation gives.
    (Without lane access: a lane of a pack skips its siblings when
    evaluating, but folding builds them all.)"""
    tree = data.draw(trees(dim, 3, operands=False, components=False))
    params = [Parameter(*lanes) for lanes in pool]
    constants = [Constant(*lanes) for lanes in pool]
    evaluated = outcome(lambda: realize(tree, params).eval())

    def folded():
        result = realize(tree, constants)
        assert result.is_constant
        return result.value

    assert outcome(folded) == evaluated


SMOOTH_LANE = st.floats(-1, 1, allow_nan=False, width=64)


@st.composite
def smooth_trees(draw, dim, depth):
    """Trees whose value is smooth everywhere near the leaves' values:
    divisions, logarithms, roots and bases of powers only of 2.5 + cos(...),
    which stays above 1.5."""
    if depth == 0 or draw(st.integers(0, 3)) == 0:
        if draw(st.integers(0, 3)):
            return ("param", dim - 1)
        return ("const", draw(st.lists(SMOOTH_LANE, min_size=dim, max_size=dim).map(tuple)))
    shape = draw(st.sampled_from(sorted(BINARY) + sorted(UNARY) + ["other"]))
    if shape in BINARY:
        left_dim, right_dim = draw(st.sampled_from(
            [(dim, dim)] + ([(1, dim), (dim, 1)] if dim > 1 else [])))
        left = draw(smooth_trees(left_dim, depth - 1))
        right = draw(smooth_trees(right_dim, depth - 1))
        if shape in ("/", "atan2"):
            right = above_one(right)
        elif shape == "pow":
            left, right = above_one(left), ("sin", right)
        return (shape, left, right)
    if shape in UNARY:
        operand = draw(smooth_trees(dim, depth - 1))
        # Kept inside each function's smooth domain and away from overflow.
        wrap = {"log": above_one, "sqrt": above_one, "exp": lambda t: ("sin", t),
                "abs": lambda t: ("-", ("sin", t), ("const", (2.5,)))}.get(shape)
        return (shape, wrap(operand) if wrap else operand)
    if dim == 1:
        source_dim = draw(st.integers(2, 4))
        index = draw(st.integers(0, source_dim - 1))
        return ("component", draw(smooth_trees(source_dim, depth - 1)), index, "index")
    return ("pack", tuple(draw(smooth_trees(1, depth - 1)) for _ in range(dim)))


def above_one(tree):
    """2.5 + cos(tree), at least 1.5 wherever tree is."""
    return ("+", ("const", (2.5,)), ("cos", tree))


def reachable(root):
    seen, stack = {}, [root]
    while stack:
        node = stack.pop()
        if node.id not in seen:
            seen[node.id] = node
            stack.extend(node.inputs)
    return seen.values()


@checked(200)
@given(pool=st.tuples(*(st.lists(SMOOTH_LANE, min_size=d, max_size=d) for d in (1, 2, 3, 4))),
       dim=st.integers(1, 4), data=st.data())
def test_backward_matches_central_differences(pool, dim, data):
    tree = data.draw(smooth_trees(dim, 3))
    seed = data.draw(st.lists(st.sampled_from([1.0, -1.0, 0.5, 2.0]), min_size=dim, max_size=dim))
    params = [Parameter(*lanes) for lanes in pool]
    y = realize(tree, params)

    def weighted():
        return math.fsum(s * v for s, v in zip(seed, y.eval()))

    y.backward(seed)
    # Gradients land on Parameters and nowhere else.
    assert [n.kind for n in reachable(y) if n.grad is not None and n.kind != "Parameter"] == []
    h = 1e-6
    mismatches = []
    for p, base in zip(params, pool):
        analytic = p.grad or (0.0,) * p.dim
        for lane in range(p.dim):
            shifted = []
            for step in (h, -h):
                p.set_value([x + step * (i == lane) for i, x in enumerate(base)])
                shifted.append(weighted())
            p.set_value(base)
            numeric = (shifted[0] - shifted[1]) / (2 * h)
            if not math.isclose(analytic[lane], numeric, rel_tol=1e-5, abs_tol=1e-6):
                mismatches.append((p.dim, lane, analytic[lane], numeric))
    assert mismatches == []


def next_id():
    return Constant(0.0).id


def state(nodes):
    return [(n.value if n.kind in ("Constant", "Parameter") else None, n.grad) for n in nodes]


DIMENSIONS = st.integers(1, 4)


@checked(300)
@given(left=DIMENSIONS, right=DIMENSIONS, op=st.sampled_from(sorted(BINARY)), data=st.data())
def test_incompatible_dimensions_fail_exactly_and_leave_no_trace(left, right, op, data):
    a = Parameter(*[1.0] * left)
    b = data.draw(st.sampled_from(["param", "const"]))
    b = Parameter(*[2.0] * right) if b == "param" else Constant(*[2.0] * right)
    a.backward([1.0] * left)
    before, first = state([a, b]), next_id()
    if left == right or 1 in (left, right):
        assert BINARY[op][0](a, b).dim == max(left, right)
        return
    with pytest.raises(ValueError) as excinfo:
        BINARY[op][0](a, b)
    assert str(excinfo.value) == f"cannot combine symbolic values with dimensions {left} and {right}"
    assert (next_id(), state([a, b])) == (first + 1, before)


@checked(200)
@given(dim=DIMENSIONS, index=st.integers(-6, 6),
       access=st.sampled_from(["index", "attribute"]), kind=st.sampled_from(["param", "const", "expr"]))
def test_component_access_in_and_out_of_range(dim, index, access, kind):
    lanes = [float(i + 1) for i in range(dim)]
    v = {"param": lambda: Parameter(*lanes), "const": lambda: Constant(*lanes),
         "expr": lambda: Parameter(*lanes) * 1}[kind]()
    if access == "attribute" and not 0 <= index < 4:
        return
    get = (lambda: getattr(v, ATTRIBUTES[index])) if access == "attribute" else (lambda: v[index])
    first = next_id()
    if 0 <= index < dim:
        component = get()
        assert (component.dim, component.eval()) == (1, (lanes[index],))
        if dim == 1:
            assert component.id == v.id
        return
    with pytest.raises(IndexError) as excinfo:
        get()
    assert str(excinfo.value) == "symbolic component index out of range"
    assert next_id() == first + 1


@checked(200)
@given(dims=st.lists(DIMENSIONS, min_size=2, max_size=4))
def test_packing_refuses_every_non_scalar(dims):
    args = [Parameter(*[1.0] * d) for d in dims]
    first = next_id()
    if all(d == 1 for d in dims):
        assert PACK[len(dims)](*args).eval() == (1.0,) * len(dims)
        return
    with pytest.raises(ValueError) as excinfo:
        PACK[len(dims)](*args)
    assert str(excinfo.value) == f"vec{len(dims)} expression inputs must be scalar symbolic values"
    assert next_id() == first + 1


SEEDS = st.one_of(
    st.none(), st.floats(allow_nan=True, allow_infinity=True), st.integers(-3, 3),
    st.lists(st.floats(allow_nan=True, allow_infinity=True), max_size=5),
    st.sampled_from(["ab", b"ab", {}, object()]),
)


def backward_failure(dim, seed):
    """The documented failure of backward(seed) on a finite dim-lane node."""
    if seed is None:
        return None if dim == 1 else (ValueError, "backward() without seed requires scalar output")
    if isinstance(seed, (int, float)):
        lanes = [float(seed)]
    elif isinstance(seed, list):
        if not 1 <= len(seed) <= 4:
            return (ValueError, "backward seed must contain 1..4 values")
        lanes = seed
    else:
        return (TypeError, "backward seed must be a numeric sequence of length 1..4")
    if not all(math.isfinite(x) for x in lanes):
        return (ValueError, NOT_FINITE)
    if len(lanes) != dim:
        return (ValueError, "backward seed dimension does not match output dimension")
    return None


@checked(300)
@given(dim=DIMENSIONS, seed=SEEDS, undefined=st.booleans())
def test_failed_backward_is_exact_and_changes_no_gradient(dim, seed, undefined):
    p = Parameter(*[0.5] * dim)
    q = Parameter(2.0)
    y = p * q + (Undefined(dim=dim) if undefined else 0.0)
    p.backward([1.0] * dim)
    before = state([p, q])
    expected = backward_failure(dim, seed)
    if expected is None and undefined:
        expected = (RuntimeError, "cannot evaluate symbolic graph with Undefined values")
    if expected is None:
        y.backward(seed)
        return
    with pytest.raises(expected[0]) as excinfo:
        y.backward(seed)
    assert (type(excinfo.value), str(excinfo.value)) == expected
    assert state([p, q]) == before


@checked(200)
@given(kind=st.sampled_from(["Constant", "Parameter", "expr"]), dim=DIMENSIONS,
       args=st.one_of(st.lists(st.one_of(LANE, st.just(math.nan), st.just(-math.inf)),
                               min_size=0, max_size=5)))
def test_set_value_fails_exactly_and_keeps_the_old_lanes(kind, dim, args):
    lanes = [float(i) for i in range(dim)]
    v = {"Constant": lambda: Constant(*lanes), "Parameter": lambda: Parameter(*lanes),
         "expr": lambda: Parameter(*lanes) + 1}[kind]()
    if not 1 <= len(args) <= 4:
        expected = (ValueError, "set_value expects 1..4 numeric values")
    elif not all(math.isfinite(x) for x in args):
        expected = (ValueError, NOT_FINITE)
    elif kind != "Parameter":
        expected = (RuntimeError, "set_value() is only valid for Parameter values")
    elif len(args) != dim:
        expected = (ValueError, "set_value() dimension does not match Parameter dimension")
    else:
        v.set_value(*args)
        assert bits(v.value) == bits(args)
        return
    with pytest.raises(expected[0]) as excinfo:
        v.set_value(*args)
    assert (type(excinfo.value), str(excinfo.value)) == expected
    if kind != "expr":
        assert v.value == tuple(lanes)


OPERANDS = st.sampled_from(["a", b"a", None, {}, object(), 1 + 2j, [1, "a"], []])


@checked(100)
@given(other=OPERANDS, op=st.sampled_from(sorted(BINARY)), reflected=st.booleans())
def test_unsupported_operands_name_their_side(other, op, reflected):
    e = Parameter(1.0)
    apply = BINARY[op][0]
    try:
        apply(other, e) if reflected else apply(e, other)
    except (TypeError, ValueError, RuntimeError) as error:
        failure = (type(error), str(error))
    else:
        pytest.fail("an unsupported operand was accepted")
    label = LABELS.get(op, ("left operand", "right operand"))[1 if not reflected else 0]
    if other == []:
        assert failure == (ValueError, f"{label} must contain 1..4 values")
    elif other == [1, "a"]:
        assert failure[0] is RuntimeError and failure[1].startswith("Unable to cast Python instance")
    else:
        assert failure == (TypeError, f"{label} must be a symbolic value or numeric constant")


@checked(30)
@given(pool=pool_of(), dim=st.integers(1, 4), data=st.data())
def test_reference_counts_and_traced_memory_stay_flat(pool, dim, data):
    tree = data.draw(trees(dim, 3))
    params = [Parameter(*lanes) for lanes in pool]

    def cycle():
        try:
            y = realize(tree, params)
            y.eval()
            y.backward([1.0] * y.dim)
            y.zero_grad()
        except ValueError:
            pass
        for bad in (lambda: params[1] + params[2], lambda: params[0] + "a",
                    lambda: params[3].w.y, lambda: params[0].backward([math.nan])):
            try:
                bad()
            except (ValueError, TypeError, IndexError):
                pass

    for _ in range(20):
        cycle()
    gc.collect()
    counts = [sys.getrefcount(p) for p in params]
    tracemalloc.start()
    try:
        baseline = tracemalloc.get_traced_memory()[0]
        for _ in range(100):
            cycle()
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - baseline
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(p) for p in params] == counts
    assert growth < 16 * 1024


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(SANITIZED != "", reason="the sanitizers keep freed memory on purpose")
def test_resident_memory_stays_flat_over_successes_and_failures():
    p, q = Parameter(0.5, name="p"), Parameter(1.0, 2.0, 3.0)

    def cycle():
        y = sin(p * q + vec3(p, 2, cos(p))).y / (p + 3)
        y.backward()
        y.zero_grad()
        for bad in (lambda: q + Parameter(1, 2), lambda: q.w, lambda: vec2(q, p),
                    lambda: (p / 0).eval(), lambda: Undefined(dim=2).eval(),
                    lambda: y.backward("ab"), lambda: Parameter(math.inf)):
            try:
                bad()
            except (ValueError, TypeError, IndexError, RuntimeError):
                pass

    for _ in range(2000):
        cycle()
    gc.collect()
    before = resident_bytes()
    for _ in range(20000):
        cycle()
    gc.collect()
    assert resident_bytes() - before < 8 * 2**20


def test_dropping_a_deep_chain_of_self_paired_nodes_does_not_crash():
    script = (
        "from _quoril import Parameter\n"
        "x = Parameter(1.0)\n"
        "for _ in range(300_000):\n"
        "    x = x * x\n"
        "del x\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=600)
    assert result.returncode == 0, result.stderr[-2000:]

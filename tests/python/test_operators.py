import operator
from decimal import Decimal
from fractions import Fraction
from types import SimpleNamespace

import pytest

import _quoril
from _quoril import Constant, Expression, Parameter, cos, sin, vec2, vec3, vec4

BINARY = [
    pytest.param(operator.add, "Add", id="add"),
    pytest.param(operator.sub, "Subtract", id="sub"),
    pytest.param(operator.mul, "Multiply", id="mul"),
    pytest.param(operator.truediv, "Divide", id="truediv"),
]
NUMBERS = [pytest.param(3, (3.0,), id="int"), pytest.param([3, 4.5], (3.0, 4.5), id="list")]


def slots(e):
    """Describes each input slot: the id of a node, or the lanes of a Constant."""
    return tuple(i.value if i.kind == "Constant" else i.id for i in e.inputs)


@pytest.mark.parametrize("reflected", [False, True], ids=["forward", "reflected"])
@pytest.mark.parametrize(("other", "lanes"), NUMBERS)
@pytest.mark.parametrize(("apply", "op"), BINARY)
def test_number_operand_keeps_its_side(apply, op, other, lanes, reflected):
    p = Parameter(1.0, 2.0)
    e = apply(other, p) if reflected else apply(p, other)
    assert (e.op, e.dim, slots(e)) == (op, 2, (lanes, p.id) if reflected else (p.id, lanes))


@pytest.mark.parametrize(("apply", "op"), BINARY)
def test_expression_operands_keep_their_order(apply, op):
    p, q = Parameter(1.0), Parameter(2.0)
    assert (slots(apply(p, q)), slots(apply(q, p))) == ((p.id, q.id), (q.id, p.id))


@pytest.mark.parametrize(
    ("apply", "other"),
    [(operator.add, 0), (operator.mul, 1), (operator.truediv, 1), (operator.sub, None)],
    ids=["plus-0", "times-1", "over-1", "minus-self"],
)
def test_nothing_is_simplified_away(apply, other):
    p = Parameter(2.0)
    e = apply(p, p if other is None else other)
    assert (e.is_expression, slots(e)) == (True, (p.id, p.id if other is None else (other,)))


@pytest.mark.parametrize(
    ("build", "message"),
    [
        (lambda: Parameter(1, 2) + Parameter(1, 2, 3), "2 and 3"),
        (lambda: [1, 2, 3] / Parameter(1, 2), "3 and 2"),
        (lambda: Constant(1, 2, 3, 4) / Constant(0, 0), "4 and 2"),
    ],
)
def test_incompatible_dimensions_name_left_first(build, message):
    with pytest.raises(ValueError) as excinfo:
        build()
    assert str(excinfo.value) == "cannot combine symbolic values with dimensions " + message


@pytest.mark.parametrize(
    ("left", "right"), [(1.0, 3.0), ((1.0, 2.0), 3.0), (3.0, (1.0, 7.0))],
    ids=["scalar", "vector-scalar", "scalar-vector"],
)
@pytest.mark.parametrize(("apply", "op"), BINARY)
def test_constants_fold_to_what_evaluation_gives(apply, op, left, right):
    folded = apply(Constant(left), right)
    assert (folded.kind, folded.inputs, folded.value) == (
        "Constant", (), apply(Parameter(left), right).eval())


@pytest.mark.parametrize(
    ("build", "expected"),
    [
        (lambda: -Constant(1.0, -2.0), (-1.0, 2.0)),
        (lambda: sin(0.0), (0.0,)),
        (lambda: cos([0, 0]), (1.0, 1.0)),
        (lambda: vec2(1, 2), (1.0, 2.0)),
        (lambda: vec4(Constant(1.0), 2, 3.5, True), (1.0, 2.0, 3.5, 1.0)),
        (lambda: Constant(1.0, 2.0, 3.0)[1], (2.0,)),
    ],
)
def test_constant_only_operations_fold(build, expected):
    e = build()
    assert (e.kind, e.value) == ("Constant", expected)


@pytest.mark.parametrize(
    ("build", "op"), [(lambda p: -p, "Negate"), (sin, "Sin"), (cos, "Cos")]
)
def test_unary_operation_node(build, op):
    p = Parameter(1.0, 2.0)
    e = build(p)
    assert (e.op, e.dim, slots(e)) == (op, 2, (p.id,))


def test_vec_with_a_parameter_is_a_pack_without_partial_folding():
    p = Parameter(1.0)
    e = vec3(Constant(1.0), p, 2)
    assert (e.op, e.dim, slots(e)) == ("Pack", 3, ((1.0,), p.id, (2.0,)))


class Reflects:
    def __radd__(self, left):
        return "reflected"


@pytest.mark.parametrize("bad", ["a", None, Fraction(1, 2), Decimal(1), Reflects()],
                         ids=lambda bad: type(bad).__name__)
@pytest.mark.parametrize("apply", [operator.add, operator.sub, operator.mul, operator.truediv])
@pytest.mark.parametrize("side", ["left", "right"])
def test_unusable_operand_names_its_side(side, apply, bad):
    p = Parameter(1.0)
    with pytest.raises(TypeError) as excinfo:
        apply(bad, p) if side == "left" else apply(p, bad)
    assert str(excinfo.value) == f"{side} operand must be a symbolic value or numeric constant"


def _unusable(label):
    return label + " must be a symbolic value or numeric constant"


@pytest.mark.parametrize(
    ("build", "error", "message"),
    [
        (lambda: sin("x"), TypeError, _unusable("sin value")),
        (lambda: cos(None), TypeError, _unusable("cos value")),
        (lambda: vec2("a", "b"), TypeError, _unusable("vec2 y")),
        (lambda: vec3("a", "b", 2), TypeError, _unusable("vec3 y")),
        (lambda: vec3("a", "b", "c"), TypeError, _unusable("vec3 z")),
        (lambda: vec4(1, 2, "a", 3), TypeError, _unusable("vec4 z")),
        (lambda: vec4("a", 1, 2, "d"), TypeError, _unusable("vec4 w")),
        # Shapes are checked by the core, only after every coercion succeeded.
        (lambda: vec3([1, 2], 1, "a"), TypeError, _unusable("vec3 z")),
        (lambda: vec3(1, (), 3), ValueError, "vec3 y must contain 1..4 values"),
        (lambda: Parameter(1.0) + [1, 2, 3, 4, 5], ValueError,
         "right operand must contain 1..4 values"),
        (lambda: [] * Parameter(1.0), ValueError, "left operand must contain 1..4 values"),
        (lambda: sin([]), ValueError, "sin value must contain 1..4 values"),
        (lambda: Parameter(1.0) - float("nan"), ValueError, "symbolic value lanes must be finite"),
        (lambda: Constant(1.0) / 0, ValueError, "symbolic value lanes must be finite"),
        (lambda: vec2(Parameter(1, 2), 1), ValueError,
         "vec2 expression inputs must be scalar symbolic values"),
        (lambda: vec3(1, (1, 2), 3), ValueError,
         "vec3 expression inputs must be scalar symbolic values"),
    ],
)
def test_building_failure_message(build, error, message):
    with pytest.raises(error) as excinfo:
        build()
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    ("build", "message"),
    [
        (lambda e: e**2, "unsupported operand type(s) for ** or pow(): "
                         "'_quoril.Expression' and 'int'"),
        (lambda e: 2**e, "unsupported operand type(s) for ** or pow(): "
                         "'int' and '_quoril.Expression'"),
        (lambda e: abs(e), "bad operand type for abs(): '_quoril.Expression'"),
        (lambda e: +e, "bad operand type for unary +: '_quoril.Expression'"),
        (lambda e: len(e), "object of type '_quoril.Expression' has no len()"),
    ],
    ids=["pow", "rpow", "abs", "pos", "len"],
)
def test_unsupported_operators_raise_pythons_type_error(build, message):
    with pytest.raises(TypeError) as excinfo:
        build(Parameter(1.0, 2.0, 3.0))
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    ("take", "lane"),
    [(lambda v: v.x, 0), (lambda v: v.y, 1), (lambda v: v.z, 2), (lambda v: v[2], 2),
     (lambda v: v[True], 1)],
    ids=["x", "y", "z", "2", "True"],
)
def test_component_node_takes_its_lane(take, lane):
    v = Parameter(1.0, 2.0, 3.0)
    c = take(v)
    assert (c.op, c.dim, slots(c), c.eval()) == ("Component", 1, (v.id,), (v.value[lane],))


def test_component_of_a_vector_expression_is_a_component_node():
    e = Parameter(1.0, 2.0) * Parameter(3.0, 4.0)
    assert (e.y.op, slots(e.y), e.y.eval()) == ("Component", (e.id,), (8.0,))


@pytest.mark.parametrize(
    "take", [lambda v: v.w, lambda v: v[3], lambda v: v[-1], lambda v: v.x.y],
    ids=["w", "3", "-1", "scalar-y"],
)
def test_component_index_out_of_range(take):
    with pytest.raises(IndexError) as excinfo:
        take(Parameter(1.0, 2.0, 3.0))
    assert str(excinfo.value) == "symbolic component index out of range"


@pytest.mark.parametrize("index", [1.0, "0", 2**40], ids=["float", "str", "too-large"])
def test_component_index_must_be_a_small_int(index):
    with pytest.raises(TypeError):
        Parameter(1.0, 2.0, 3.0)[index]


@pytest.mark.parametrize(
    "make",
    [
        lambda p, q: (p, p.x),
        lambda p, q: ((e := p * q), e[0]),
        lambda p, q: ((c := Constant(4.0)), c.x),
        lambda p, q: (p, vec3(p, 2, q)[0]),
        lambda p, q: (q, vec3(p, 2, q).z),
    ],
    ids=["scalar", "scalar-expression", "scalar-constant", "pack-0", "pack-z"],
)
def test_component_looks_through_scalars_and_packs(make):
    target, component = make(Parameter(1.0), Parameter(2.0))
    assert component.id == target.id


def test_unpacking_a_three_lane_value_gives_its_lanes():
    v = Parameter(1.0, 2.0, 3.0)
    a, b, c = v
    assert [(x.eval(), slots(x)) for x in (a, b, c)] == [
        ((1.0,), (v.id,)), ((2.0,), (v.id,)), ((3.0,), (v.id,))]


def test_sum_starts_from_a_zero_constant():
    p, q = Parameter(1.0), Parameter(2.0)
    total = sum([p, q])
    inner = total.inputs[0]
    assert (total.op, inner.op, slots(inner), total.inputs[1].id) == (
        "Add", "Add", ((0.0,), p.id), q.id)


@pytest.fixture
def nodes():
    return SimpleNamespace(p=Parameter(1.0), p2=Parameter(1.0, 2.0), p3=Parameter(1.0, 2.0, 3.0))


# Failures raised before any node is made (a coercion that succeeds before a
# later failure makes a Constant, so such cases are not listed).
@pytest.mark.parametrize(
    "call",
    [lambda n: n.p + "a", lambda n: "a" * n.p, lambda n: n.p2 + n.p3, lambda n: vec2(n.p2, n.p),
     lambda n: vec3(n.p, n.p, "a"), lambda n: cos([]), lambda n: n.p3.w, lambda n: n.p3[-1],
     lambda n: n.p3[1.5], lambda n: n.p**2],
)
def test_failed_operation_consumes_no_id(nodes, next_id, call):
    before = next_id()
    with pytest.raises((TypeError, ValueError, IndexError)):
        call(nodes)
    assert next_id() == before + 1


_SELF = "self: _quoril.Expression"
_SIGNATURES = [
    (Expression.__getitem__, f"__getitem__({_SELF}, arg0: typing.SupportsInt | "
                             "typing.SupportsIndex) -> _quoril.Expression"),
    (Expression.eval, f"eval({_SELF}) -> tuple"),
    (Expression.set_value, f"set_value({_SELF}, *args) -> None"),
    (Expression.backward, f"backward({_SELF}, seed: object = None) -> None"),
    (Expression.zero_grad, f"zero_grad({_SELF}) -> None"),
    (Expression.__repr__, f"__repr__({_SELF}) -> str"),
    *[(getattr(Expression, name), f"{name}({_SELF}, arg0: object) -> _quoril.Expression")
      for name in ("__add__", "__radd__", "__sub__", "__rsub__",
                   "__mul__", "__rmul__", "__truediv__", "__rtruediv__")],
    (Expression.__neg__, f"__neg__({_SELF}) -> _quoril.Expression"),
    *[(getattr(_quoril, name), f"{name}(*args, **kwargs) -> _quoril.Expression")
      for name in ("Constant", "Parameter", "Undefined")],
    *[(getattr(_quoril, f"vec{n}"), f"vec{n}({', '.join(f'arg{i}: object' for i in range(n))})"
                                    " -> _quoril.Expression") for n in (2, 3, 4)],
    (sin, "sin(arg0: object) -> _quoril.Expression"),
    (cos, "cos(arg0: object) -> _quoril.Expression"),
]


@pytest.mark.parametrize(("function", "signature"), _SIGNATURES,
                         ids=[f.__name__ for f, _ in _SIGNATURES])
def test_doc_is_only_the_generated_signature(function, signature):
    assert function.__doc__ == signature + "\n"


@pytest.mark.parametrize(("prop", "result"), [
    *[(name, "int") for name in ("id", "dim", "dimension")],
    *[(name, "str") for name in ("kind", "op", "name")],
    *[("is_" + name, "bool") for name in ("constant", "parameter", "undefined", "expression",
                                          "leaf")],
    ("value", "tuple"), ("inputs", "tuple"), ("hint", "object"), ("grad", "object"),
    *[(name, "_quoril.Expression") for name in "xyzw"],
])
def test_property_getter_signature(prop, result):
    assert getattr(Expression, prop).fget.__doc__ == f"(arg0: _quoril.Expression) -> {result}\n"


@pytest.mark.parametrize(
    ("method", "apply", "reflected"),
    [
        ("__add__", operator.add, False),
        ("__radd__", operator.add, True),
        ("__sub__", operator.sub, False),
        ("__rsub__", operator.sub, True),
        ("__mul__", operator.mul, False),
        ("__rmul__", operator.mul, True),
        ("__truediv__", operator.truediv, False),
        ("__rtruediv__", operator.truediv, True),
    ],
)
@pytest.mark.parametrize("other", [2, [1, 2], "a"], ids=["number", "sequence", "str"])
def test_explicit_method_call_matches_the_operator(method, apply, reflected, other):
    # Operators go through the type's own slots; the registered methods must
    # build the same graph and raise the same errors.
    p = Parameter(3.0, 4.0)

    def outcome(build):
        try:
            e = build()
        except TypeError as error:
            return str(error)
        return (e.op, e.dim, slots(e))

    by_operator = outcome(lambda: apply(other, p) if reflected else apply(p, other))
    by_method = outcome(lambda: getattr(p, method)(other))
    assert by_method == by_operator


def test_explicit_neg_matches_the_operator():
    p = Parameter(3.0)
    assert (p.__neg__().op, (-p).op) == ("Negate", "Negate")

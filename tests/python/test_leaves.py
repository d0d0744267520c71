from decimal import Decimal
from fractions import Fraction
from types import SimpleNamespace

import pytest

from _quoril import Constant, Parameter, Undefined

NAN, INF = float("nan"), float("inf")


class Index:
    def __index__(self):
        return 3


@pytest.mark.parametrize(
    ("make", "expected"),
    [
        (lambda: Constant(1.5), (1.5,)),
        (lambda: Constant((1, 2)), (1.0, 2.0)),
        (lambda: Constant(range(2, 6)), (2.0, 3.0, 4.0, 5.0)),
        (lambda: Constant(bytearray(b"\x01\x02")), (1.0, 2.0)),
        (lambda: Constant([Fraction(1, 2), Decimal("0.25"), True]), (0.5, 0.25, 1.0)),
        (lambda: Constant(Index()), (3.0,)),
    ],
)
def test_leaf_lanes_from_arguments(make, expected):
    assert make().value == expected


@pytest.mark.parametrize(
    ("make", "expected"),
    [
        (lambda: Undefined(), (1, None, "")),
        (lambda: Undefined(hint=2), (1, (2.0,), "")),
        (lambda: Undefined(hint=(1, 2), dim=2), (2, (1.0, 2.0), "")),
        (lambda: Undefined(hint=None, dim=2), (2, None, "")),
        (lambda: Undefined(name="h", dim=1, hint=[1.5]), (1, (1.5,), "h")),
    ],
)
def test_undefined_dimension_hint_and_name(make, expected):
    u = make()
    assert (u.dim, u.hint, u.name) == expected


@pytest.fixture
def nodes():
    return SimpleNamespace(p1=Parameter(1.0), p2=Parameter(1.0, 2.0), c=Constant(1.0),
                           u=Undefined(), e=Parameter(1.0) * 2)


UNDEFINED_POSITIONAL = "Undefined expects keyword arguments: hint=..., dim=..., name=..."
HINT_NOT_SEQUENCE = "hint must be a numeric sequence of length 1..4"
NOT_PARAMETER = "set_value() is only valid for Parameter values"
WRONG_DIMENSION = "set_value() dimension does not match Parameter dimension"
FINITE = "symbolic value lanes must be finite"

FAILURES = [
    (lambda n: Constant(), ValueError, "Constant expects 1..4 numeric values"),
    (lambda n: Constant([]), ValueError, "Constant must contain 1..4 values"),
    (lambda n: Constant(1.0, name="c"), TypeError, "Constant does not accept keyword arguments"),
    (lambda n: Constant([1, -INF]), ValueError, FINITE),
    (lambda n: Constant(n.e), TypeError, "object of type '_quoril.Expression' has no len()"),
    (lambda n: Parameter(name="p"), ValueError, "Parameter expects 1..4 numeric values"),
    (lambda n: Parameter(()), ValueError, "Parameter must contain 1..4 values"),
    # Keywords are examined before the positional arguments.
    (lambda n: Parameter(nme="p"), TypeError, "unknown keyword argument"),
    (lambda n: Parameter(name="p", extra=1), TypeError, "unknown keyword argument"),
    (lambda n: Parameter(NAN), ValueError, FINITE),
    (lambda n: Undefined(2), TypeError, UNDEFINED_POSITIONAL),
    (lambda n: Undefined(2, size=2), TypeError, UNDEFINED_POSITIONAL),
    (lambda n: Undefined(dim=2, name="u", size=2), TypeError, "unknown keyword argument"),
    (lambda n: Undefined(dim=0), ValueError, "symbolic value dimension must be in 1..4"),
    (lambda n: Undefined(hint=None, dim=5), ValueError, "symbolic value dimension must be in 1..4"),
    (lambda n: Undefined(hint=(1, 2), dim=3), ValueError,
     "Undefined hint dimension does not match dim"),
    (lambda n: Undefined(hint=2, dim=0), ValueError, "Undefined hint dimension does not match dim"),
    (lambda n: Undefined(hint="ab"), TypeError, HINT_NOT_SEQUENCE),
    (lambda n: Undefined(hint={0: 1.0}), TypeError, HINT_NOT_SEQUENCE),
    (lambda n: Undefined(hint=Fraction(1, 2)), TypeError, HINT_NOT_SEQUENCE),
    (lambda n: Undefined(hint=[1, 2, 3, 4, 5]), ValueError, "hint must contain 1..4 values"),
    (lambda n: Undefined(hint=(1.0, INF)), ValueError, FINITE),
    (lambda n: n.p1.set_value(), ValueError, "set_value expects 1..4 numeric values"),
    (lambda n: n.p1.set_value([]), ValueError, "set_value must contain 1..4 values"),
    (lambda n: n.p1.set_value(1, 2), ValueError, WRONG_DIMENSION),
    # The argument is checked before the kind of the node.
    (lambda n: n.c.set_value(), ValueError, "set_value expects 1..4 numeric values"),
    (lambda n: n.c.set_value([1, 2, 3, 4, 5]), ValueError, "set_value must contain 1..4 values"),
    (lambda n: n.u.set_value(INF), ValueError, FINITE),
    (lambda n: n.c.set_value(1.0, 2.0), RuntimeError, NOT_PARAMETER),
    (lambda n: n.e.set_value(2.0), RuntimeError, NOT_PARAMETER),
]

# Conversions the binding library rejects, with the Python type its message names.
CAST_FAILURES = [
    (lambda n: Constant("1.5"), "str"),
    (lambda n: Constant([1, 2], 3), "list"),
    (lambda n: Constant(10**400), "int"),
    (lambda n: Parameter(name=3), "int"),
    (lambda n: Parameter(1.0, name="\ud800"), "str"),
    (lambda n: Undefined(dim=2.0), "float"),
    (lambda n: n.c.set_value("2"), "str"),
]


@pytest.mark.parametrize(("call", "error", "message"), FAILURES)
def test_failure_message(nodes, call, error, message):
    with pytest.raises(error) as excinfo:
        call(nodes)
    assert str(excinfo.value) == message


@pytest.mark.parametrize(("call", "type_name"), CAST_FAILURES)
def test_rejected_conversion_names_the_python_type(nodes, call, type_name):
    with pytest.raises(RuntimeError) as excinfo:
        call(nodes)
    assert str(excinfo.value).startswith(
        f"Unable to cast Python instance of type <class '{type_name}'>")


@pytest.mark.parametrize("call", [case[0] for case in FAILURES + CAST_FAILURES])
def test_failed_call_consumes_no_id(nodes, next_id, call):
    before = next_id()
    with pytest.raises((TypeError, ValueError, RuntimeError)):
        call(nodes)
    assert next_id() == before + 1


@pytest.mark.parametrize(
    ("make", "args", "expected"),
    [
        (lambda: Parameter(1.0), (3.0,), (3.0,)),
        (lambda: Parameter(1.0, 2.0), ([3, 4],), (3.0, 4.0)),
    ],
)
def test_set_value_replaces_the_lanes(make, args, expected):
    p = make()
    assert (p.set_value(*args), p.value) == (None, expected)


def test_set_value_keeps_id_name_and_gradient():
    p = Parameter(3.0, name="p")
    (p * p).backward()
    before = p.id
    p.set_value(4.0)
    assert (p.id, p.name, p.grad, p.value) == (before, "p", (6.0,), (4.0,))


@pytest.mark.parametrize("args", [(1.0,), (1.0, NAN), ("a", "b")])
def test_failed_set_value_keeps_the_old_value(args):
    p = Parameter(1.0, 2.0)
    with pytest.raises((ValueError, RuntimeError)):
        p.set_value(*args)
    assert p.value == (1.0, 2.0)

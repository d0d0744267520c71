import numpy as np
import pytest

import quoril as q

RNG = np.random.default_rng(7)


def damped(t, y, a, b):
    return a * q.exp(-b * t) * q.cos(t) - y


def plane(t, y, a, b):
    # A three-lane input and outputs of two and one lanes sharing a node.
    shared = q.sin(a * y) * b
    return [shared + t, q.dot(y, shared) * q.sqrt(t * t + 1.0)]


# model, lanes of the two inputs, lanes of the two Parameters
MODELS = [
    pytest.param(damped, 1, 1, 1, 1, id="damped"),
    pytest.param(plane, 1, 3, 1, 3, id="plane"),
]


@pytest.mark.parametrize(("model", "lt", "ly", "la", "lb"), MODELS)
@pytest.mark.parametrize("broadcast", [False, True])
def test_rows_equal_set_value_and_eval_bit_for_bit(model, lt, ly, la, lb, broadcast):
    # Parameters stand for the inputs so that the same graph runs row by row
    # through set_value.
    t = q.Parameter([0.0] * lt if lt > 1 else 0.0, name="t")
    y = q.Parameter([0.0] * ly if ly > 1 else 0.0, name="y")
    a = q.Parameter([0.7] * la if la > 1 else 0.7, name="a")
    b = q.Parameter([1.1, -0.4, 2.0][:lb] if lb > 1 else 1.1, name="b")
    outputs = model(t, y, a, b)
    f = q.Function([t, y], outputs)
    n = 6
    T = RNG.normal(size=(n,) if lt == 1 else (n, lt))
    Y = RNG.normal(size=(n,) if ly == 1 else (n, ly))
    if broadcast:
        Y = Y[0]
    values, jac = f.value_and_jacobian(T, Y, params=[b, t, a])
    np.testing.assert_array_equal(f(T, Y), values)
    np.testing.assert_array_equal(f.jacobian(T, Y, params=[b, t, a]), jac)
    for i in range(n):
        t.set_value(T[i].tolist() if lt > 1 else float(T[i]))
        y.set_value((Y if broadcast else Y[i]).tolist() if ly > 1 else float(Y if broadcast else Y[i]))
        expected, expected_jac = q.value_and_jacobian(outputs, [b, t, a])
        assert values[i].tobytes() == expected.tobytes()
        assert jac[i].tobytes() == expected_jac.tobytes()
    assert a.grad is None


def _model():
    t = q.Undefined(name="t")
    p = q.Undefined(dim=2, name="p")
    k = q.Parameter(2.0, name="k")
    return t, p, k, q.sqrt(t) * k + q.dot(p, p)


def _call(case):
    t, p, k, r = _model()
    case(t, p, k, r)


ERRORS = [
    (lambda t, p, k, r: q.Function([t, r], r), TypeError,
     "inputs[1] is an Expression; pass Parameters or Undefined leaves"),
    (lambda t, p, k, r: q.Function([q.Constant(1.0)], r), TypeError,
     "inputs[0] is a Constant; pass Parameters or Undefined leaves"),
    (lambda t, p, k, r: q.Function([t, p, t], r), ValueError,
     "inputs[2] is the same leaf as inputs[0]; pass each input once"),
    (lambda t, p, k, r: q.Function([t, p], r)(np.ones(3), np.ones((4, 2))), ValueError,
     "data for inputs[1] ('p') has 4 rows but data for inputs[0] ('t') has 3; pass the same N"),
    (lambda t, p, k, r: q.Function([t, p], r)(np.ones(3), np.ones((3, 3))), ValueError,
     "data for inputs[1] ('p') has shape (3, 3); inputs[1] ('p') has 2 lanes, "
     "so pass shape (N, 2) or a single row"),
    (lambda t, p, k, r: q.Function([t, p], r)(np.array(["a"]), 1.0), TypeError,
     "data for inputs[0] ('t') must be an array of floats, not <U1"),
    (lambda t, p, k, r: q.Function([t, p], r)([1.0, 2.0, np.nan], [1.0, 2.0]), ValueError,
     "data for inputs[0] ('t') is not finite in row 2"),
    (lambda t, p, k, r: q.Function([t, p], r)(1.0, np.where(np.arange(400).reshape(200, 2) == 261,
                                                            np.inf, 1.0)), ValueError,
     "data for inputs[1] ('p') is not finite in row 130"),
    (lambda t, p, k, r: q.Function([t, p], r)(np.ones(2)), TypeError,
     "expected 2 arrays, one per input, not 1"),
    (lambda t, p, k, r: q.Function([t, p], r)([4.0, 1.0, -1.0], [1.0, 2.0]), ValueError,
     "row 2: symbolic value lanes must be finite"),
    (lambda t, p, k, r: q.Function([t], r)([1.0]), RuntimeError,
     "row 0: cannot evaluate symbolic graph with Undefined values"),
    (lambda t, p, k, r: q.Function([t, p], r).jacobian(1.0, [1.0, 2.0], params=[t]), TypeError,
     "params[0] is an Undefined; pass Parameters"),
]


@pytest.mark.parametrize(("case", "error", "message"), ERRORS)
def test_bad_input_is_refused_with_its_name(case, error, message):
    with pytest.raises(error) as excinfo:
        _call(case)
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    ("terms", "expected"),
    [
        (lambda a, b: [a, b], (3.5, 4.5)),
        (lambda a, b: (b, 2.0, a), (5.5, 6.5)),
        (lambda a, b: [a], (1.0,)),
    ],
)
def test_sum_of_a_sequence_of_expressions_adds_the_terms(terms, expected):
    a = q.Parameter(1.0, name="a")
    b = q.Parameter(2.5, 3.5, name="b")
    assert q.sum(terms(a, b)).eval() == expected


# Models for many rows: enough for several blocks and a partial one, with
# every kind of node a block computes (one-lane operands broadcast over
# three lanes, an operand used twice, a Constant exponent, Pack, Component).
def _every_op(t, p, a, c):
    u = q.tanh(a * t) + q.log(q.abs(t) + 1.0) / q.atan2(t, a + 2.0) - q.sinc_sqrt(t * t)
    w = q.pow(q.abs(t) + 0.5, a) + q.pow(q.abs(t) + 1.0, 2.0) + q.atanc_sqrt(t * t) * q.cos(-t)
    return [u * w, q.exp(-t * t) / (a * a + 1.0)]


def _lanes(t, p, a, c):
    v = q.vec3(t, a * t, q.sin(t)) * p - c
    return [a * v + t, q.norm(p - c) * p.x, q.dot(v, c) - p[2] * q.sqrt(p.y * p.y + 1.0)]


@pytest.mark.parametrize("model", [_every_op, _lanes])
@pytest.mark.parametrize("n", [1, 128, 300])
def test_many_rows_equal_row_by_row_bit_for_bit(model, n):
    t = q.Parameter(0.0, name="t")
    p = q.Parameter([0.0, 0.0, 0.0], name="p")
    a = q.Parameter(0.7, name="a")
    c = q.Parameter([0.3, -1.2, 2.0], name="c")
    outputs = model(t, p, a, c)
    f = q.Function([t, p], outputs)
    T, P = RNG.normal(size=n), RNG.normal(size=(n, 3))
    values, jac = f.value_and_jacobian(T, P, params=[c, a, t])
    np.testing.assert_array_equal(f(T, P), values)
    for i in range(n):
        t.set_value(float(T[i]))
        p.set_value(P[i].tolist())
        expected, expected_jac = q.value_and_jacobian(outputs, [c, a, t])
        assert values[i].tobytes() == expected.tobytes(), i
        assert jac[i].tobytes() == expected_jac.tobytes(), i


@pytest.mark.parametrize("bad_row", [0, 127, 128, 299])
def test_a_failure_after_good_blocks_names_its_row(bad_row):
    t = q.Undefined(name="t")
    k = q.Parameter(2.0, name="k")
    f = q.Function([t], q.sqrt(t) * k)
    T = np.ones(300)
    T[bad_row] = -1.0
    for call in (f, lambda T: f.jacobian(T, params=[k])):
        with pytest.raises(ValueError, match=f"^row {bad_row}: symbolic value lanes must be finite$"):
            call(T)

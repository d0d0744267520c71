"""The package's argument checks are shared: every function that takes
outputs takes the same kinds of argument and refuses the rest in the same
words."""

import numpy as np
import pytest

import quoril as q

p = q.Parameter(0.5, 2.0, name="p")
OUTPUTS = [p * p, q.sum(p)]

TAKE_OUTPUTS = {
    "values": q.values,
    "jacobian": lambda outputs: q.jacobian(outputs, p),
    "JacobianProgram": lambda outputs: q.JacobianProgram(outputs, p).values(),
    "check_gradients": lambda outputs: q.check_gradients(outputs, p),
    "describe": q.describe,
    "to_dot": q.to_dot,
}


def same(a, b):
    return a == b if isinstance(a, (str, float)) else np.array_equal(a, b)


@pytest.mark.parametrize("name", TAKE_OUTPUTS)
@pytest.mark.parametrize("make", [tuple, lambda items: (o for o in items)], ids=["tuple", "generator"])
def test_outputs_taken_from_any_iterable(name, make):
    function = TAKE_OUTPUTS[name]
    assert same(function(make(OUTPUTS)), function(list(OUTPUTS)))


@pytest.mark.parametrize("name", TAKE_OUTPUTS)
@pytest.mark.parametrize(
    ("outputs", "error", "message"),
    [
        ("y", TypeError, "outputs must be an Expression or a sequence of them, not str"),
        (1.0, TypeError, "outputs must be an Expression or a sequence of them, not float"),
        ([], ValueError, "outputs is empty; pass at least one Expression"),
        (iter([]), ValueError, "outputs is empty; pass at least one Expression"),
        ([p, 2], TypeError, "outputs[1] must be an Expression, not int"),
    ],
    ids=["str", "number", "empty", "empty-iterator", "not-an-expression"],
)
def test_outputs_refused_in_the_same_words(name, outputs, error, message):
    with pytest.raises(error) as excinfo:
        TAKE_OUTPUTS[name](outputs)
    assert str(excinfo.value) == message

import math

import pytest

from _quoril import Parameter, sin

TRUTH = (1.5, -0.5, 2.0)


def model_loss(w, c, xs):
    """Mean squared error of w.x * x + w.y + c * sin(3x) against the true model."""
    loss = 0
    for x in xs:
        target = TRUTH[0] * x + TRUTH[1] + TRUTH[2] * math.sin(3 * x)
        lanes = w * (x, 1.0)
        # sin of a plain number folds into a Constant feature.
        residual = lanes.x + lanes.y + c * sin(3 * x) - target
        loss = loss + residual * residual
    return loss / len(xs)


def test_gradient_descent_fits_a_small_model():
    w, c = Parameter(0.0, 0.0, name="w"), Parameter(0.0, name="c")
    xs = [-2.0 + 4.0 * i / 299 for i in range(300)]
    loss = model_loss(w, c, xs)
    rate = 0.3
    for _ in range(300):
        loss.backward()
        w.set_value([v - rate * g for v, g in zip(w.value, w.grad)])
        c.set_value(c.value[0] - rate * c.grad[0])
        loss.zero_grad()
    assert (*w.value, *c.value) == pytest.approx(TRUTH, abs=1e-9)

"""Hessians and Hessian-vector products against central differences of the
exact Jacobian and against torch.func.hessian, over random graphs of every
operation; and their bad input."""

from __future__ import annotations

import numpy as np
import pytest

import quoril as q

# Each operation twice over: as quoril builds it and as torch does, kept in
# domains where both are smooth.
_UNARY = {
    "sin": (q.sin, "sin"),
    "cos": (q.cos, "cos"),
    "exp": (lambda x: q.exp(x * 0.3), lambda t, x: t.exp(x * 0.3)),
    "log": (lambda x: q.log(x * x + 1.0), lambda t, x: t.log(x * x + 1.0)),
    "sqrt": (lambda x: q.sqrt(x * x + 0.5), lambda t, x: t.sqrt(x * x + 0.5)),
    "tanh": (q.tanh, "tanh"),
    "abs": (lambda x: q.abs(x) * x, lambda t, x: t.abs(x) * x),
    "negate": (lambda x: -x, lambda t, x: -x),
}
_BINARY = {
    "add": (lambda x, y: x + y, lambda t, x, y: x + y),
    "subtract": (lambda x, y: x - y, lambda t, x, y: x - y),
    "multiply": (lambda x, y: x * y, lambda t, x, y: x * y),
    "divide": (lambda x, y: x / (y * y + 1.0), lambda t, x, y: x / (y * y + 1.0)),
    "pow": (
        lambda x, y: q.pow(x * x + 1.0, q.sin(y)),
        lambda t, x, y: t.pow(x * x + 1.0, t.sin(y)),
    ),
    "pow constant": (lambda x, y: q.pow(x, 3.0) + y, lambda t, x, y: t.pow(x, 3.0) + y),
    "atan2": (lambda x, y: q.atan2(x, y * y + 1.0), lambda t, x, y: t.atan2(x, y * y + 1.0)),
}


def _graph(seed: int, x0: np.ndarray, torch_x: object = None) -> object:
    """A random graph over every operation, from a 4-lane point: quoril's
    over Parameters when torch_x is None, else torch's over torch_x."""
    import importlib

    rng = np.random.default_rng(seed)
    t = importlib.import_module("torch") if torch_x is not None else None
    if t is None:
        params = [q.Parameter(float(v)) for v in x0]
        pool: list = list(params)
    else:
        params = []
        pool = [torch_x[i] for i in range(4)]
    names = [*_UNARY, *_BINARY]
    for step in range(3 * len(names)):
        name = names[step % len(names)] if step < len(names) else names[rng.integers(len(names))]
        a, b = (pool[int(i)] for i in rng.integers(len(pool), size=2))
        if name in _UNARY:
            mine, theirs = _UNARY[name]
            if t is None:
                pool.append(mine(a))
            else:
                pool.append(getattr(t, theirs)(a) if isinstance(theirs, str) else theirs(t, a))
        else:
            mine, theirs = _BINARY[name]
            pool.append(mine(a, b) if t is None else theirs(t, a, b))
        # Keep magnitudes moderate, so differences stay accurate.
        pool[-1] = pool[-1] * 0.5
    loss = pool[-1]
    for node in pool[-6:-1]:
        loss = loss + node * 0.1
    return (loss, params) if t is None else loss


X0 = np.array([0.3, -0.7, 1.1, 0.45])


@pytest.mark.parametrize("seed", range(6))
def test_hessian_matches_differenced_jacobian(seed: int) -> None:
    loss, params = _graph(seed, X0)
    h = q.hessian(loss, params)
    assert h.shape == (4, 4)
    np.testing.assert_array_equal(h, h.T)
    differenced = np.empty((4, 4))
    for column, p in enumerate(params):
        step = 1e-5
        p.set_value(X0[column] + step)
        ahead = q.jacobian(loss, params)[0]
        p.set_value(X0[column] - step)
        behind = q.jacobian(loss, params)[0]
        p.set_value(X0[column])
        differenced[:, column] = (ahead - behind) / (2 * step)
    np.testing.assert_allclose(h, differenced, rtol=1e-6, atol=1e-7)
    v = np.array([0.5, -1.0, 2.0, 0.25])
    np.testing.assert_allclose(q.hessian_vector_product(loss, params, v), h @ v, rtol=1e-12, atol=1e-13)


# Importing torch under Python 3.14 warns about its script compiler.
@pytest.mark.filterwarnings("ignore::FutureWarning")
@pytest.mark.parametrize("seed", range(6))
def test_hessian_matches_torch(seed: int) -> None:
    torch = pytest.importorskip("torch")
    loss, params = _graph(seed, X0)
    expected = torch.func.hessian(lambda x: _graph(seed, X0, x))(
        torch.tensor(X0, dtype=torch.float64)
    ).numpy()
    np.testing.assert_allclose(q.hessian(loss, params), expected, rtol=1e-12, atol=1e-12)


def test_hessian_of_lanes_stacks_each_lanes_hessian() -> None:
    x = q.Parameter([0.4, -1.2])
    s = q.Parameter(0.8)
    out = q.vec3(x.x * x.y * s, q.sin(s * x.x), s * s)
    h = q.hessian(out, [x, s])
    assert h.shape == (3, 3, 3)
    for lane in range(3):
        np.testing.assert_array_equal(h[lane], q.hessian(out[lane], [x, s]))
    np.testing.assert_allclose(h[2], np.diag([0.0, 0.0, 2.0]))


_NOT_FINITE = "{} is not finite at the Parameters' values; a second derivative does not exist there"


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda p: q.hessian(1.0, [p]), TypeError, "output must be an Expression, not float"),
        (
            lambda p: q.hessian_vector_product(q.vec2(p, p), [p], [1.0]),
            ValueError,
            "output has 2 lanes; hessian_vector_product needs a one-lane output "
            "(sum the lanes with q.sum)",
        ),
        (
            lambda p: q.hessian_vector_product(p * p, [p], [1.0, 2.0]),
            ValueError,
            "v has shape (2,); pass one number per Parameter lane, shape (1,)",
        ),
        (
            lambda p: q.hessian_vector_product(p * p, [p], [np.nan]),
            ValueError,
            "v holds a non-finite number; pass finite numbers",
        ),
        (lambda p: q.hessian(p * p, [p * 2.0]), TypeError, "params[0] is an Expression; pass Parameters"),
        # Where a value is not finite, the module's error; where a second
        # derivative is not, ours, never inf or NaN handed back.
        (lambda p: q.hessian(q.log(p - 1.5), [p]), ValueError,
         "symbolic value lanes must be finite"),
        (lambda p: q.hessian(q.sqrt(p - 1.5), [p]), ValueError,
         _NOT_FINITE.format("the Hessian of output")),
        (lambda p: q.hessian(q.vec2(p * p, q.pow(p - 1.5, 0.5)), [p]), ValueError,
         _NOT_FINITE.format("the Hessian of output lane 1")),
        (lambda p: q.hessian_vector_product(q.sqrt(p - 1.5) + p, [p], [1.0]), ValueError,
         _NOT_FINITE.format("the Hessian-vector product of output")),
    ],
)
def test_hessian_bad_input(call: object, error: type, message: str) -> None:
    p = q.Parameter(1.5)
    with pytest.raises(error) as excinfo:
        call(p)  # type: ignore[operator]
    assert str(excinfo.value) == message

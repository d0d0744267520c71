"""Solvers over arrays of data: the same answers as one graph per point with
the data as Constants, fixed Parameters left alone, the native method's
callback as SciPy calls one, and bad data refused by name."""

from __future__ import annotations

from typing import Any

import numpy as np
import pytest

import quoril as q

RNG = np.random.default_rng(28)
T = np.linspace(0.0, 4.0, 40)
Y = 2.0 * np.exp(-0.7 * T) + 0.3 + 0.02 * RNG.standard_normal(T.size)
Z = 1.4 * T + 0.05 * RNG.standard_normal(T.size)
SIGMA_ROWS = 0.5 + RNG.random((T.size, 2))


def _model(lanes: int) -> tuple[list[q.Expression], Any, Any]:
    """Residuals over one row, the fitted Parameters, and a fixed offset
    that is left out of params."""
    a, b = q.Parameter(1.0, name="a"), q.Parameter(0.3, name="b")
    offset = q.Parameter(0.3, name="offset")
    t, y, z = q.Undefined(name="t"), q.Undefined(name="y"), q.Undefined(name="z")
    decay = a * q.exp(-b * t) + offset - y
    r = decay if lanes == 1 else q.vec2(decay, a * b * t - z)
    return r, [a, b], (offset, t, y, z)


def _per_point(params: list[Any], leaves: Any, lanes: int) -> list[q.Expression]:
    """The same residuals written once per point, the data as Constants."""
    offset = leaves[0]
    a, b = params
    out = []
    for ti, yi, zi in zip(T, Y, Z):
        decay = a * q.exp(-b * q.Constant(ti)) + offset - q.Constant(yi)
        out.append(decay if lanes == 1 else q.vec2(decay, a * b * q.Constant(ti) - zi))
    return out


def _data(leaves: Any, lanes: int) -> dict[q.Expression, Any]:
    _, t, y, z = leaves
    return {t: T, y: Y} if lanes == 1 else {t: T, y: Y, z: Z}


def _sigmas(kind: str, lanes: int) -> tuple[Any, Any]:
    """Sigma as the data form takes it, and flat as the per-point form does."""
    rows = SIGMA_ROWS[:, :lanes]
    if kind == "none":
        return None, None
    if kind == "number":
        return 0.25, 0.25
    if kind == "rows":
        return (rows[:, 0] if lanes == 1 else rows), rows.reshape(-1)
    return rows.reshape(-1), rows.reshape(-1)


@pytest.mark.parametrize("lanes", [1, 2])
@pytest.mark.parametrize("method, loss", [("native", "linear"), ("trf", "linear"),
                                          ("trf", "soft_l1")])
@pytest.mark.parametrize("sigma_kind", ["none", "number", "rows", "flat"])
def test_fit_over_data_equals_one_graph_per_point(lanes, method, loss, sigma_kind):
    sigma, flat_sigma = _sigmas(sigma_kind, lanes)
    r, params, leaves = _model(lanes)
    start = [p.value for p in params]
    over_data = q.least_squares(r, params, data=_data(leaves, lanes), method=method,
                                loss=loss, sigma=sigma)
    for p, v in zip(params, start):
        p.set_value(*v)
    per_point = q.least_squares(_per_point(params, leaves, lanes), params, method=method,
                                loss=loss, sigma=flat_sigma)
    np.testing.assert_allclose(over_data.x, per_point.x, rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(over_data.fun, per_point.fun, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(over_data.stderr, per_point.stderr, rtol=1e-8)
    assert over_data.dof == per_point.dof == T.size * lanes - 2
    assert leaves[0].value == (0.3,)
    assert [p.value[0] for p in params] == over_data.x.tolist()


def test_a_prepared_function_is_reused_across_solves_and_new_data():
    r, params, (offset, t, y, _) = _model(1)
    f = q.Function([t, y], r)
    first = q.least_squares(f, params, data={y: Y, t: T})
    programs = dict(f._programs)
    params[0].set_value(1.0)
    params[1].set_value(0.3)
    again = q.least_squares(f, params, data={t: T, y: Y})
    np.testing.assert_array_equal(again.x, first.x)
    shifted = q.least_squares(f, params, data={t: T, y: Y + 1.0})
    assert shifted.x[0] > first.x[0]
    assert f._programs == programs and len(programs) == 1


@pytest.mark.parametrize("over_data", [False, True])
def test_native_callback_is_called_as_scipy_calls_it(over_data):
    r, params, leaves = _model(1)
    data = _data(leaves, 1) if over_data else None
    residuals = r if over_data else _per_point(params, leaves, 1)
    seen: list[Any] = []
    result = q.least_squares(residuals, params, data=data, method="native",
                             callback=lambda intermediate_result: seen.append(intermediate_result))
    assert len(seen) == len(result.cost_history) - 1 >= 2
    assert [s.nit for s in seen] == list(range(1, len(seen) + 1))
    assert [s.cost for s in seen] == result.cost_history[1:]
    np.testing.assert_array_equal(seen[-1].x, result.x)
    assert seen[-1].fun.shape == (T.size,)

    scipy_keys: list[set[str]] = []
    for p in params:
        p.set_value(1.0)
    q.least_squares(residuals, params, data=data, method="trf",
                    callback=lambda intermediate_result: scipy_keys.append(set(intermediate_result)))
    assert set(seen[0]) == scipy_keys[0]

    xs: list[np.ndarray] = []
    for p in params:
        p.set_value(1.0)

    def stop(xk: np.ndarray) -> None:
        xs.append(xk)
        raise StopIteration

    stopped = q.least_squares(residuals, params, data=data, method="native", callback=stop)
    assert (stopped.status, stopped.success) == (-2, False)
    assert stopped.message == ("Stopped because `callback` function raised `StopIteration` "
                               "or returned `True`")
    np.testing.assert_array_equal(stopped.x, xs[0])
    assert [p.value[0] for p in params] == stopped.x.tolist()

    def fail(intermediate_result: Any) -> None:
        raise KeyError("stop")

    for p in params:
        p.set_value(1.0)
    with pytest.raises(KeyError):
        q.least_squares(residuals, params, data=data, method="native", callback=fail)
    assert [p.value for p in params] == [(1.0,), (1.0,)]


@pytest.mark.parametrize("method, constrained", [("L-BFGS-B", False), ("Nelder-Mead", False),
                                                 ("SLSQP", True)])
def test_minimize_over_data_equals_the_sum_over_points(method, constrained):
    r, params, leaves = _model(1)
    a, b = params
    limits = q.constraint(a + b, upper=2.0) if constrained else None
    over_data = q.minimize(r * r, params, data=_data(leaves, 1), method=method,
                           constraints=limits)
    a.set_value(1.0)
    b.set_value(0.3)
    per_point = q.minimize(q.sum([e * e for e in _per_point(params, leaves, 1)]), params,
                           method=method, constraints=limits)
    np.testing.assert_allclose(over_data.x, per_point.x, rtol=1e-6)
    assert over_data.fun == pytest.approx(per_point.fun, rel=1e-10)


def test_uncertainty_and_report_over_data_match_the_per_point_fit():
    r, params, leaves = _model(1)
    _, t, _, _ = leaves
    result = q.least_squares(r, params, data=_data(leaves, 1))
    a, b = params
    curve = q.vec2(a * q.exp(-b * t), a * t)
    grid = np.linspace(0.0, 5.0, 7)
    band = q.uncertainty(curve, result, data={t: grid})
    points = [q.vec2(a * q.exp(-b * q.Constant(g)), a * g) for g in grid]
    np.testing.assert_allclose(band, q.uncertainty(points, result).reshape(7, 2), rtol=1e-12)
    assert f"residual lanes {T.size}, free Parameter lanes 2, dof {T.size - 2}" in (
        q.fit_report(result))


def test_check_gradients_over_data_names_the_failing_row():
    a = q.Parameter(0.5, name="a")
    t = q.Undefined(name="t")
    kink = q.abs(a - t)
    # Row 2 sits within the finite difference's step of the kink.
    grid = np.array([0.0, 1.0, 0.5 + 1e-7, 2.0])
    assert q.check_gradients(kink, a, data={t: grid}, rows=[0, 1, 3]) < 1e-6
    with pytest.raises(ValueError) as excinfo:
        q.check_gradients(kink, a, data={t: grid})
    assert "\n  row 2, outputs[0] lane 0, params[0] ('a') lane 0: jacobian" in str(excinfo.value)


def _refusal_cases() -> tuple[Any, list[Any]]:
    a = q.Parameter(1.0, name="a")
    t, y = q.Undefined(name="t"), q.Undefined(name="y")
    other = q.Undefined(name="other")
    r = a * t - y
    f = q.Function([t, y], r)
    ls, mn = q.least_squares, q.minimize
    return a, [
        (lambda: ls(r, a, data=[T, Y]), TypeError,
         "data must be a dict from Parameter or Undefined leaves to arrays, not list"),
        (lambda: ls(r, a, data={t: T, y: Y, other: T}), ValueError,
         "data key 'other' is not reached by the model; pass only the leaves that it uses"),
        (lambda: ls(r, a, data={t: T, y: Y, a: T}), ValueError,
         "data key 'a' is also in params; a leaf is either fitted or given as data"),
        (lambda: ls(r, a, data={t: T.astype(str), y: Y}), TypeError,
         "data for 't' must be an array of floats, not <U32"),
        (lambda: ls(r, a, data={t: T, y: Y[:-1]}), ValueError,
         "data for 'y' has 39 rows but data for 't' has 40; pass the same N"),
        (lambda: ls(r, a, data={t: T, y: Y}, sigma=np.ones(39)), ValueError,
         "sigma has shape (39,); over data pass a number, or one per residual lane of "
         "every row: shape (N,) or (N, L) = (40, 1) or (N * L,) = (40,)"),
        (lambda: ls(r, a, data={t: T, y: Y}, sigma=-np.ones(40)), ValueError,
         "sigma[0] is -1.0; standard deviations must be positive and finite"),
        (lambda: ls(f, a), TypeError,
         "residuals is a q.Function; pass its rows as data={input: array, ...}"),
        (lambda: ls(f, a, data={t: T}), ValueError,
         "data has no array for inputs[1] ('y') of the Function; pass one array per input"),
        (lambda: mn(r * r, a, data={t: T, y: Y}, method="trust-ncg"), ValueError,
         "method 'trust-ncg' needs the Hessian of the loss, which q.minimize does not "
         "compute over data; pass a method without one, such as 'L-BFGS-B' or 'BFGS' "
         "(or 'SLSQP' with constraints)"),
        (lambda: q.check_gradients(r, a, data={t: T, y: Y}, rows=[0, 40]), ValueError,
         "rows[1] is 40 but data has 40 rows; pass indices from 0 to 39"),
        (lambda: q.check_gradients(r, a, rows=[0]), TypeError,
         "rows picks rows of data; pass data={leaf: array} with it"),
        (lambda: ls(q.log(a - t) - y, a, data={t: T, y: Y}), ValueError,
         "row 10: symbolic value lanes must be finite"),
    ]


@pytest.mark.parametrize("case", range(len(_refusal_cases()[1])))
def test_bad_data_is_refused_and_nothing_moves(case):
    a, cases = _refusal_cases()
    call, error, message = cases[case]
    with pytest.raises(error) as excinfo:
        call()
    assert str(excinfo.value) == message
    assert a.value == (1.0,)

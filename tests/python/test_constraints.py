"""Minimisation under constraints: the Hock-Schittkowski problems over each
constrained method, truthful failure naming the worst constraint, callbacks,
Newton-type methods with the exact Hessian, and bad input."""

from __future__ import annotations

from typing import Any

import numpy as np
import pytest

import quoril as q

_TIGHT = {
    "SLSQP": {"ftol": 1e-10},
    "trust-constr": {"gtol": 1e-12, "xtol": 1e-12, "maxiter": 3000},
}


def _hs71() -> tuple[Any, list[Any], list[Any], Any, float]:
    x = [q.Parameter(v) for v in (1.0, 5.0, 5.0, 1.0)]
    loss = x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2]
    constraints = [
        q.constraint(x[0] * x[1] * x[2] * x[3], lower=25.0),
        q.constraint(q.sum(q.vec4(*x) * q.vec4(*x)), lower=40.0, upper=40.0),
    ]
    return loss, x, constraints, [(1.0, 5.0)] * 4, 17.0140173


def _hs43() -> tuple[Any, list[Any], list[Any], Any, float]:
    x = [q.Parameter(0.0) for _ in range(4)]
    x1, x2, x3, x4 = x
    loss = x1 * x1 + x2 * x2 + 2 * x3 * x3 + x4 * x4 - 5 * x1 - 5 * x2 - 21 * x3 + 7 * x4
    sides = q.vec3(
        8 - x1 * x1 - x2 * x2 - x3 * x3 - x4 * x4 - x1 + x2 - x3 + x4,
        10 - x1 * x1 - 2 * x2 * x2 - x3 * x3 - 2 * x4 * x4 + x1 + x4,
        5 - 2 * x1 * x1 - x2 * x2 - x3 * x3 - 2 * x1 + x2 + x4,
    )
    return loss, x, [q.constraint(sides, lower=0.0)], None, -44.0


@pytest.mark.parametrize("problem", [_hs71, _hs43])
@pytest.mark.parametrize("method", [None, "SLSQP", "trust-constr"])
def test_hock_schittkowski_reaches_the_optimum(problem: Any, method: str | None) -> None:
    loss, x, constraints, bounds, best = problem()
    result = q.minimize(
        loss, x, method=method, bounds=bounds, constraints=constraints,
        options=_TIGHT[method or "SLSQP"],
    )
    assert result.success, result.message
    assert abs(result.fun - best) <= 1e-6 * abs(best)
    assert result.constraint_violation <= 1e-8
    assert [p.value[0] for p in x] == pytest.approx(result.x)
    assert [m.shape for m in result.multipliers] == [c.lower.shape for c in constraints]


@pytest.mark.parametrize("method", ["SLSQP", "trust-constr"])
def test_multipliers_make_the_lagrangian_stationary(method: str) -> None:
    """grad f = sum of lambda times grad c on HS71, one sign convention for
    both methods; x1 sits on its lower bound, whose own multiplier (not
    given) takes up the rest of that lane, with the sign of a lower bound."""
    loss, x, constraints, bounds, _ = _hs71()
    result = q.minimize(loss, x, method=method, bounds=bounds, constraints=constraints,
                        options=_TIGHT[method])
    lam = np.concatenate(result.multipliers)
    residual = q.jacobian(loss, x)[0] - q.jacobian([c.expr for c in constraints], x).T @ lam
    assert result.x[0] == pytest.approx(1.0)
    assert residual[1:] == pytest.approx(np.zeros(3), abs=1e-6)
    assert residual[0] > 0.1
    # The product is held at its lower limit 25, so its multiplier is positive.
    assert lam[0] > 0.1


# trust-constr warns of the singular Jacobian that contradictory
# constraints have.
@pytest.mark.filterwarnings("ignore:Singular Jacobian:UserWarning")
@pytest.mark.parametrize(
    ("build", "method", "names"),
    [
        # x + y >= 3 and x + y <= 1 cannot both hold.
        (lambda x, y: [q.constraint(x + y, lower=3.0), q.constraint(x + y, upper=1.0)],
         "SLSQP", "constraints["),
        (lambda x, y: [q.constraint(x + y, lower=3.0), q.constraint(x + y, upper=1.0)],
         "trust-constr", "constraints["),
        (lambda x, y: [q.constraint(q.vec2(x, y), lower=[0.0, 2.0], upper=[0.0, 2.0]),
                       q.constraint(x - y, lower=1.0)], "SLSQP", "constraints["),
    ],
)
def test_infeasible_problem_reports_failure_naming_a_constraint(
    build: Any, method: str, names: str
) -> None:
    x, y = q.Parameter(0.5), q.Parameter(0.25)
    result = q.minimize(x * x + y * y, [x, y], method=method, constraints=build(x, y),
                        options={"maxiter": 200})
    assert not result.success
    assert result.constraint_violation > 0.1
    assert result.message.startswith("infeasible: " + names)
    assert " lane 0 is " in result.message and "limit" in result.message


# trust-krylov's inner solver meets 0 * inf below tol 1e-8.
@pytest.mark.parametrize(
    ("method", "tol"),
    [("Newton-CG", 1e-10), ("trust-exact", 1e-10), ("trust-krylov", 1e-8),
     ("dogleg", 1e-10), ("trust-ncg", 1e-10)],
)
def test_newton_methods_get_the_exact_hessian(method: str, tol: float) -> None:
    x, y = q.Parameter(-1.2), q.Parameter(1.0)
    loss = 100 * (y - x * x) * (y - x * x) + (1 - x) * (1 - x)
    result = q.minimize(loss, [x, y], method=method, tol=tol, options={"maxiter": 500})
    assert result.success, result.message
    assert result.x == pytest.approx([1.0, 1.0], abs=1e-6)
    assert result.nhev > 0


@pytest.mark.parametrize(
    "method", ["Newton-CG", "trust-exact", "trust-krylov", "dogleg", "trust-ncg", "trust-constr"]
)
def test_a_hessian_that_is_not_finite_is_stepped_past_as_a_bad_value_is(method: str) -> None:
    """|x|^1.5 has a finite value and gradient at 0 but no second
    derivative: the method gets the stand-in's Hessian there, counts the
    point, and still reaches the minimum."""
    x, y = q.Parameter(0.0), q.Parameter(0.0)
    loss = q.pow(q.abs(x), 1.5) + (y - 1) * (y - 1)
    result = q.minimize(loss, [x, y], method=method)
    assert result.success, result.message
    assert result.x == pytest.approx([0.0, 1.0], abs=1e-3)
    assert result.nonfinite > 0


def test_a_constraint_hessian_that_is_not_finite_fails_the_solve_and_restores() -> None:
    x, y = q.Parameter(0.0), q.Parameter(2.0)
    with pytest.raises(ValueError, match="^the constraints' multiplier-weighted Hessian is not"):
        q.minimize((x - 1) * (x - 1) + y * y, [x, y], method="trust-constr",
                   constraints=[q.constraint(q.pow(q.abs(x), 1.5) + y, lower=1.0)])
    assert (x.value, y.value) == ((0.0,), (2.0,))


@pytest.mark.parametrize("form", ["intermediate_result", "xk"])
def test_callback_is_called_as_scipy_calls_it_and_a_raise_restores(form: str) -> None:
    x = q.Parameter(3.0)
    seen: list[Any] = []
    if form == "intermediate_result":
        def callback(intermediate_result: Any) -> None:
            seen.append(intermediate_result.fun)
    else:
        def callback(xk: Any) -> None:  # type: ignore[misc]
            seen.append(np.array(xk))
    result = q.minimize((x - 1.0) * (x - 1.0), x, callback=callback)
    assert result.success and len(seen) == result.nit

    def stop(xk: Any) -> None:
        raise KeyError("stop")

    x.set_value(3.0)
    with pytest.raises(KeyError):
        q.minimize((x - 1.0) * (x - 1.0), x, callback=stop)
    assert x.value == (3.0,)


def test_raising_callback_restores_every_parameter() -> None:
    x, y = q.Parameter(3.0), q.Parameter(-2.0)

    def stop(xk: Any) -> None:
        raise KeyError("stop")

    with pytest.raises(KeyError):
        q.minimize(x * x + y * y, [x, y], method="SLSQP", callback=stop,
                   constraints=[q.constraint(x + y, lower=1.0)])
    assert (x.value, y.value) == ((3.0,), (-2.0,))


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda x: q.constraint(1.0), TypeError, "expr must be an Expression, not float"),
        (lambda x: q.constraint(x, lower=2.0, upper=1.0), ValueError,
         "lower 2.0 is above upper 1.0 in lane 0; pass lower <= upper"),
        (lambda x: q.constraint(x, lower=np.inf, upper=np.inf), ValueError,
         "lower and upper are both inf in lane 0; an equality needs a finite value"),
        (lambda x: q.constraint(x, lower=np.nan), ValueError,
         "lower is NaN; use -inf or inf for an open side"),
        (lambda x: q.constraint(q.vec2(x, x), upper=[1.0, 2.0, 3.0]), ValueError,
         "upper has 3 numbers; pass one, or one per lane of expr (2)"),
        (lambda x: q.minimize(x * x, x, constraints=[{"type": "eq"}]), TypeError,
         "constraints[0] must be made by q.constraint, not dict"),
        (lambda x: q.minimize(x * x, x, constraints=[q.constraint(q.Parameter(1.0), lower=0.0)]),
         ValueError,
         "constraints[0] reaches no Parameter in params; nothing can satisfy it by moving them"),
    ],
)
def test_constraint_bad_input(call: Any, error: type, message: str) -> None:
    x = q.Parameter(0.5)
    with pytest.raises(error) as excinfo:
        call(x)
    assert str(excinfo.value) == message
    assert x.value == (0.5,)


def test_least_squares_passes_its_callback_to_scipy_and_restores_on_raise() -> None:
    a = q.Parameter(0.5)
    seen: list[float] = []

    def callback(intermediate_result: Any) -> None:
        seen.append(float(intermediate_result.cost))

    result = q.least_squares(q.vec2(a - 2.0, 2.0 * a - 3.0), a, callback=callback)
    assert result.method == "native" and seen and seen[-1] == pytest.approx(result.cost)
    a.set_value(0.5)
    seen.clear()
    result = q.least_squares(q.vec2(a - 2.0, 2.0 * a - 3.0), a, method="trf", callback=callback)
    assert seen and seen[-1] == pytest.approx(result.cost)

    def stop(intermediate_result: Any) -> None:
        raise KeyError("stop")

    a.set_value(0.5)
    with pytest.raises(KeyError):
        q.least_squares(a - 2.0, a, callback=stop)
    assert a.value == (0.5,)
    for method in ("native", "trf"):
        with pytest.raises(KeyError):
            q.least_squares(a - 2.0, a, method=method, callback=stop)
        assert a.value == (0.5,)
    with pytest.raises(ValueError) as excinfo:
        q.least_squares(a - 2.0, a, method="lm", callback=stop)
    assert str(excinfo.value) == (
        "callback is not taken by method 'lm'; pass method='native', 'trf' "
        "or 'dogbox', or leave method unset"
    )

"""Values, Jacobians and the solvers of the package: argument errors, exact
derivatives against finite differences, solutions against SciPy and NIST's
certified values, and Parameters left as promised on success and failure."""

import math
import re

import numpy as np
import pytest

import quoril as q
from quoril import _least_squares, _minimize, _native

scipy_optimize = pytest.importorskip("scipy.optimize")

METHODS = ["native", "trf", "dogbox", "lm"]


def state(params):
    return [(p.value, p.grad) for p in params]


def central_differences(outputs, params, h=1e-6):
    """The Jacobian by central differences through set_value, column by
    column."""
    columns = []
    for p in params:
        for lane in range(p.dim):
            saved = p.value
            shifted = list(saved)
            shifted[lane] = saved[lane] + h
            p.set_value(shifted)
            ahead = np.concatenate([o.eval() for o in outputs])
            shifted[lane] = saved[lane] - h
            p.set_value(shifted)
            behind = np.concatenate([o.eval() for o in outputs])
            p.set_value(saved)
            columns.append((ahead - behind) / (2 * h))
    return np.column_stack(columns)


# --- Argument errors: raised before any Parameter changes ------------------

a = q.Parameter(1.0, name="a")
b = q.Parameter(2.0, 3.0, name="b")
c = q.Constant(1.0)
r = a * b - 1


TYPE_ERRORS = [
    (lambda: q.jacobian(r, [a, c]), "params[1] is a Constant; pass Parameters"),
    (lambda: q.jacobian(r, r), "params is an Expression; pass Parameters"),
    (lambda: q.jacobian(r, [a, 2.0]), "params[1] must be a Parameter, not float"),
    (lambda: q.values([r, "x"]), "outputs[1] must be an Expression, not str"),
    (lambda: q.values(1.0), "outputs must be an Expression or a sequence of them, not float"),
    (lambda: q.JacobianProgram([r, "x"], a), "outputs[1] must be an Expression, not str"),
    (lambda: q.least_squares(r, [a, q.Undefined()]), "params[1] is an Undefined; pass Parameters"),
    (lambda: q.minimize(1.0, a), "loss must be an Expression, not float"),
    (lambda: q.least_squares(r, [a], bounds=[("0", 1)]),
     "bounds[0] low must be a number, None or a sequence of numbers, not str"),
]

VALUE_ERRORS = [
    (lambda: q.values([]), "outputs is empty; pass at least one Expression"),
    (lambda: q.least_squares([], [a]), "residuals is empty; pass at least one Expression"),
    (lambda: q.jacobian(r, []), "params is empty; pass at least one Parameter"),
    (lambda: q.jacobian(r, [a, b, a]),
     "params[2] is the same Parameter as params[0]; pass each Parameter once"),
    (lambda: q.check_gradients(r, [b, b]),
     "params[1] is the same Parameter as params[0]; pass each Parameter once"),
    (lambda: q.minimize(r, [a, b]),
     "loss has 2 lanes; minimize needs a one-lane loss (sum the lanes with q.sum)"),
    (lambda: q.least_squares(r, [a, b], bounds=[(0, 1)]),
     "bounds has 1 pairs but params has 2 Parameters; pass one (low, high) pair per Parameter"),
    (lambda: q.least_squares(r, [a, b], bounds=[(0, 1), ([0, 0, 0], None)]),
     "bounds[1] low has 3 values but params[1] ('b') has 2 lanes; pass a number or 2 values"),
    (lambda: q.minimize(r.x, [a, b], bounds=[(0, 1), ([1, 3], [5, 2.5])]),
     "bounds[1] low is above high on lane 1 of params[1] ('b'): 3.0 > 2.5"),
    (lambda: q.least_squares(r, [a, b], bounds=[(0, 1), (1)]),
     "bounds[1] must be a (low, high) pair"),
    (lambda: q.least_squares(r, [a, b], bounds=[(math.nan, 1), (None, None)]),
     "bounds[0] low is NaN; use None for no bound"),
    (lambda: q.least_squares(r, [a, b], method="trf", bounds=[(1, 1), (None, None)]),
     "bounds fix params[0] ('a') lane 0 (low == high); method 'trf' needs low < high: "
     "leave that Parameter out of params or use method='native'"),
    (lambda: q.least_squares(r, [a, b], method="gauss"),
     "method must be one of 'native', 'trf', 'dogbox', 'lm' or None, not 'gauss'"),
    (lambda: q.least_squares(r, [a, b], method="native", loss="soft_l1"),
     "method 'native' takes only loss='linear' and x_scale=None; "
     "use method='trf' for a robust loss or scaling"),
]


@pytest.mark.parametrize(("call", "message"), TYPE_ERRORS)
def test_type_errors_name_the_argument(call, message):
    before = state([a, b])
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == message
    assert state([a, b]) == before


@pytest.mark.parametrize(("call", "message"), VALUE_ERRORS)
def test_value_errors_name_the_argument(call, message):
    before = state([a, b])
    with pytest.raises(ValueError) as excinfo:
        call()
    assert str(excinfo.value) == message
    assert state([a, b]) == before


# --- Jacobians ---------------------------------------------------------------

def test_jacobian_ignores_stale_gradients_of_other_roots():
    # A hand-written Jacobian from backward() and zero_grad() leaks: zero_grad
    # on the first residual cannot clear d, which only the second reaches.
    x, y, d = q.Parameter(0.7, name="x"), q.Parameter(-1.2, 0.4, name="y"), q.Parameter(2.0)
    first = x * y.x + q.exp(y.y)
    second = q.sin(x) * d + y
    second.backward([1.0, 1.0])
    grads = state([x, y, d])
    jac = q.jacobian([first, second], [x, y, d])
    assert jac.shape == (3, 4)
    assert jac == pytest.approx(central_differences([first, second], [x, y, d]), rel=1e-7)
    assert jac[0, 3] == 0.0
    assert state([x, y, d]) == grads


def mixed_graph():
    p = q.Parameter(0.4, -0.3, 1.1, name="p")
    s = q.Parameter(0.8, name="s")
    t = q.Parameter(1.5, -0.5, name="t")
    outputs = [
        q.cross(p, q.vec3(s, t.x, 1.0)) * q.exp(-s),
        q.norm(p) + q.log(s) * q.tanh(t.y),
        q.atan2(t.y, t.x) + q.pow(s, t.x) - q.sqrt(q.abs(p.z) + 1.0),
        t / (p.x * s + 2.0) + q.dot(p, p),
    ]
    return outputs, [p, s, t]


def test_jacobian_of_a_mixed_graph_matches_finite_differences():
    outputs, params = mixed_graph()
    values, jac = q.value_and_jacobian(outputs, params)
    assert values == pytest.approx(np.concatenate([o.eval() for o in outputs]), abs=0)
    assert q.values(outputs) == pytest.approx(values, abs=0)
    assert jac == pytest.approx(central_differences(outputs, params), rel=1e-6, abs=1e-9)
    assert q.jacobian(outputs, params) == pytest.approx(jac, abs=0)
    assert q.check_gradients(outputs, params) < 1e-6


def test_jacobian_program_matches_the_one_off_calls_as_parameters_move():
    outputs, params = mixed_graph()
    program = q.JacobianProgram(outputs, params)
    for shift in (0.0, 0.3, -0.2):
        for p in params:
            p.set_value([v + shift for v in p.value])
        values, jac = q.value_and_jacobian(outputs, params)
        got_values, got_jac = program.value_and_jacobian()
        assert np.array_equal(got_values, values) and np.array_equal(got_jac, jac)
        assert np.array_equal(program.values(), values)
        assert np.array_equal(program.jacobian(), jac)
    # A point where the graph fails raises as eval() does; the next is exact.
    s = params[1]
    s.set_value(-1.0)
    with pytest.raises(ValueError, match="finite"):
        program.value_and_jacobian()
    s.set_value(0.9)
    assert np.array_equal(program.jacobian(), q.jacobian(outputs, params))


@pytest.mark.parametrize(
    ("build", "finite_values", "finite_jacobian"),
    [
        (lambda x: q.log(x) + x, True, True),
        (lambda x: q.sqrt(x - 1.0), True, False),
        (lambda x: q.log(x - 1.0), False, False),
    ],
    ids=["finite", "infinite-derivative", "infinite-value"],
)
def test_program_try_calls_give_none_where_not_finite(build, finite_values, finite_jacobian):
    # The solvers' adapters read a trial point from these, never from an
    # error's text.
    x = q.Parameter(1.0, name="x")
    program = _native.Program([build(x)], [x])
    values, evaluation = program.try_values(), program.try_value_and_jacobian()
    assert (values is not None, evaluation is not None) == (finite_values, finite_jacobian)
    if values is not None:
        assert np.array_equal(values, program.values())
    if evaluation is not None:
        expected = program.value_and_jacobian()
        assert np.array_equal(evaluation.values, expected.values)
        assert np.array_equal(evaluation.jacobian, expected.jacobian)


@pytest.mark.parametrize("call", ["try_values", "try_value_and_jacobian"])
def test_program_try_calls_raise_every_other_error(call):
    x = q.Parameter(1.0, name="x")
    program = _native.Program([x + q.Undefined()], [x])
    with pytest.raises(RuntimeError, match="^cannot evaluate symbolic graph with Undefined values$"):
        getattr(program, call)()


def test_check_gradients_names_every_disagreement_and_restores():
    x = q.Parameter(3e-7, -2e-7, name="x")
    with pytest.raises(ValueError) as excinfo:
        q.check_gradients([x * 2.0, q.abs(x)], [x])
    # Both lanes of |x| lie closer to the kink than the step of 1e-6: the
    # differences straddle it and see slopes of 0.3 and -0.2.
    head, *lines = str(excinfo.value).split("\n")
    assert head == "jacobian disagrees with central differences at 2 entries:"
    pattern = r"  outputs\[1\] lane (\d), params\[0\] \('x'\) lane \1: jacobian (\S+), finite difference (\S+)"
    found = [re.fullmatch(pattern, line) for line in lines]
    assert all(found), lines
    numbers = [float(m[k]) for m in found for k in (2, 3)]
    assert numbers == pytest.approx([1.0, 0.3, -1.0, -0.2])
    assert x.value == (3e-7, -2e-7)


# --- least_squares -----------------------------------------------------------

T = np.linspace(0.0, 3.0, 12)
Y = 2.0 * np.exp(-1.3 * T) + 0.5 + 0.01 * np.sin(7 * T)


def decay_problem():
    k = q.Parameter(1.0, 0.5, name="k")
    offset = q.Parameter(0.0, name="offset")
    residuals = [k.x * q.exp(-k.y * t) + offset - y for t, y in zip(T, Y)]
    return residuals, [k, offset]


def decay_reference(**options):
    def fun(x):
        return x[0] * np.exp(-x[1] * T) + x[2] - Y

    def jac(x):
        e = np.exp(-x[1] * T)
        return np.column_stack([e, -x[0] * T * e, np.ones_like(T)])

    return scipy_optimize.least_squares(fun, [1.0, 0.5, 0.0], jac=jac, **options)


def needs(method):
    if method == "native" and not hasattr(_native, "levenberg_marquardt"):
        pytest.skip("this build has no native solver")


@pytest.mark.parametrize("method", [None, *METHODS])
def test_least_squares_matches_scipy(method):
    needs(method or "native")
    residuals, params = decay_problem()
    result = q.least_squares(residuals, params, method=method, ftol=1e-12, xtol=1e-12)
    reference = decay_reference(ftol=1e-12, xtol=1e-12)
    assert result.x == pytest.approx(reference.x, rel=1e-8)
    assert result.success and result.method == (method or "native")
    assert (*params[0].value, *params[1].value) == tuple(result.x)
    assert result.fun == pytest.approx(reference.fun, abs=1e-8)
    assert result.jac == pytest.approx(reference.jac, rel=1e-6)
    assert result.grad == pytest.approx(result.jac.T @ result.fun, abs=1e-14)
    assert result.cost_history[-1] == pytest.approx(result.cost)
    assert np.all(np.diff(result.cost_history) <= 0)


@pytest.mark.parametrize("method", ["native", "trf", "dogbox"])
def test_least_squares_bounds_clip_the_start_and_hold(method):
    needs(method)
    residuals, params = decay_problem()
    params[0].set_value(5.0, 0.5)
    params[1].set_value(0.7)
    result = q.least_squares(
        residuals, params, method=method, bounds=[([0.0, 0.0], [1.5, None]), (None, 0.4)]
    )
    reference = decay_reference(bounds=([0.0, 0.0, -np.inf], [1.5, np.inf, 0.4]))
    # The fit wants k.x near 2 and offset near 0.5: both end on their bounds.
    assert result.active_mask.tolist() == reference.active_mask.tolist() == [1, 0, 1]
    assert result.x == pytest.approx(reference.x, rel=1e-6)
    assert result.success


@pytest.mark.parametrize("method", METHODS)
def test_least_squares_steps_back_from_non_finite_trials(method):
    needs(method)
    # From 4 a Gauss-Newton step lands near -3.6, where sqrt is not finite.
    x = q.Parameter(4.0, name="x")
    result = q.least_squares(q.sqrt(x) - 0.1, x, method=method)
    assert result.success
    assert x.value[0] == pytest.approx(0.01, rel=1e-6)


# NIST StRD nonlinear regression: data, both starts and certified values.
MISRA_X = [77.6, 114.9, 141.1, 190.8, 239.9, 289.0, 332.8, 378.4, 434.8, 477.3, 536.8,
           593.1, 689.1, 760.0]
MISRA_Y = [10.07, 14.73, 17.94, 23.93, 29.61, 35.18, 40.02, 44.82, 50.76, 55.05, 61.01,
           66.40, 75.47, 81.78]
MGH09_X = [4.0, 2.0, 1.0, 0.5, 0.25, 0.167, 0.125, 0.1, 0.0833, 0.0714, 0.0625]
MGH09_Y = [0.1957, 0.1947, 0.1735, 0.1600, 0.0844, 0.0627, 0.0456, 0.0342, 0.0323, 0.0235,
           0.0246]
NIST = {
    "Misra1a": (lambda b, x: b[0] * (1 - q.exp(-b[1] * x)), MISRA_X, MISRA_Y,
                [(500, 1e-4), (250, 5e-4)], [2.3894212918e02, 5.5015643181e-04], 8),
    "Misra1b": (lambda b, x: b[0] * (1 - q.pow(1 + b[1] * x / 2, -2)), MISRA_X, MISRA_Y,
                [(500, 1e-4), (300, 2e-4)], [3.3799746163e02, 3.9039091287e-04], 8),
    "MGH09": (lambda b, x: b[0] * (x * x + x * b[1]) / (x * x + x * b[2] + b[3]),
              MGH09_X, MGH09_Y, [(25, 39, 41.5, 39), (0.25, 0.39, 0.415, 0.39)],
              [1.9280693458e-01, 1.9128232873e-01, 1.2305650693e-01, 1.3606233068e-01], 7),
}


@pytest.mark.parametrize("start", [0, 1], ids=["start1", "start2"])
@pytest.mark.parametrize("problem", sorted(NIST))
def test_nist_certified_values(problem, start, record_property):
    model, xs, ys, starts, certified, needed = NIST[problem]
    params = [q.Parameter(float(v)) for v in starts[start]]
    residuals = [model(params, x) - y for x, y in zip(xs, ys)]
    result = q.least_squares(residuals, params, ftol=1e-15, xtol=1e-15, gtol=1e-15)
    digits = [-math.log10(abs(v - c) / abs(c)) for v, c in zip(result.x, certified)]
    record_property("digits", [round(d, 2) for d in digits])
    assert result.success
    assert min(digits) >= needed, digits


# --- minimize ----------------------------------------------------------------

def rosenbrock(x0=-1.2, y0=1.0):
    x, y = q.Parameter(x0, name="x"), q.Parameter(y0, name="y")
    return 100 * (y - x * x) * (y - x * x) + (1 - x) * (1 - x), [x, y]


@pytest.mark.parametrize("method", ["L-BFGS-B", "BFGS", "trust-constr", "Nelder-Mead"])
def test_minimize_rosenbrock(method):
    loss, params = rosenbrock()
    options = {"xatol": 1e-8, "fatol": 1e-14} if method == "Nelder-Mead" else None
    result = q.minimize(loss, params, method=method, tol=1e-10, options=options)
    assert result.success
    assert result.x == pytest.approx([1.0, 1.0], abs=1e-4)
    assert [p.value[0] for p in params] == result.x.tolist()
    assert result.fun == loss.eval()[0]
    assert result.cost_history[0] == pytest.approx(24.2) and result.cost_history[-1] < 1e-8


def test_minimize_with_bounds_stops_on_the_bound():
    loss, params = rosenbrock(0.0, 0.0)
    result = q.minimize(loss, params, bounds=[(None, 0.5), (None, None)])
    assert result.success
    assert result.x == pytest.approx([0.5, 0.25], abs=1e-5)


def test_minimize_backs_away_from_non_finite_points():
    # sqrt(1.2 - x) is not finite beyond x = 1.2, which the first line search
    # from (-1.2, 1) overshoots; an infinity there would end L-BFGS-B with
    # "success" at the previous point.
    loss, params = rosenbrock()
    result = q.minimize(loss + 0.0 * q.sqrt(1.2 - params[0]), params)
    assert result.nonfinite >= 1
    assert result.success
    assert result.x == pytest.approx([1.0, 1.0], abs=1e-4)


def test_minimize_reports_failure_without_a_minimum():
    x = q.Parameter(1.0, name="x")
    # The loss falls without end towards x = 0, beyond which it is not finite.
    result = q.minimize(q.log(x), x)
    assert not result.success
    assert 0.0 < x.value[0] < 1.0


# --- Parameters restored when a solve raises ----------------------------------

class FailingNative:
    """_native with the n-th Jacobian, whether from value_and_jacobian or
    from a Program, failing."""

    def __init__(self, calls):
        self.calls = calls

    def __getattr__(self, name):
        return getattr(_native, name)

    def tick(self):
        self.calls -= 1
        if self.calls == 0:
            raise RuntimeError("interrupted")

    def value_and_jacobian(self, *args):
        self.tick()
        return _native.value_and_jacobian(*args)

    def Program(self, *args):
        program, native = _native.Program(*args), self

        class Failing:
            def __getattr__(self, name):
                return getattr(program, name)

            def value_and_jacobian(self):
                native.tick()
                return program.value_and_jacobian()

            def try_value_and_jacobian(self):
                native.tick()
                return program.try_value_and_jacobian()

        return Failing()


@pytest.mark.parametrize(
    "solve",
    [
        lambda res, params: q.least_squares(res, params, method="trf", bounds=[(2.5, 9), (None, 1)]),
        lambda res, params: q.least_squares(res, params, method="lm"),
        lambda res, params: q.minimize(q.sum(res[0]), params, bounds=[(2.5, 9), (None, 1)]),
    ],
    ids=["trf", "lm", "minimize"],
)
def test_parameters_restored_when_a_solve_raises(solve, monkeypatch):
    residuals, params = decay_problem()
    before = state(params)
    # The third evaluation fails, after SciPy has moved the Parameters.
    native = FailingNative(3)
    for solver in (_least_squares, _minimize):
        monkeypatch.setattr(solver, "_native", native)
    with pytest.raises(RuntimeError, match="^interrupted$"):
        solve(residuals, params)
    assert state(params) == before


@pytest.mark.parametrize("method", ["native", "trf", "dogbox"])
def test_parameters_restored_when_the_clipped_start_fails(method):
    needs(method)
    x = q.Parameter(0.5, name="x")
    # Clipping moves x to 1, where log(x - 1) is not finite.
    with pytest.raises(ValueError):
        q.least_squares(q.log(x - 1.0), x, method=method, bounds=[(1.0, 3.0)])
    assert x.value == (0.5,)


def test_parameters_restored_when_the_graph_is_undefined():
    x = q.Parameter(0.5, name="x")
    with pytest.raises(RuntimeError, match="Undefined"):
        q.least_squares(x - q.Undefined(), x, bounds=[(1.0, 3.0)])
    assert x.value == (0.5,)

"""What a fit is worth: standard errors against NIST's certified values and
curve_fit, Parameters held fixed, rank deficiency, interval coverage, the
delta method, the report, and argument errors raised before anything moves."""

import importlib
import sys
import math
from pathlib import Path

import numpy as np
import pytest

import quoril as q

scipy_optimize = pytest.importorskip("scipy.optimize")
scipy_stats = pytest.importorskip("scipy.stats")

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def load_example(name):
    # The examples are scripts, not a package: import one by its folder.
    sys.path.insert(0, str(EXAMPLES))
    try:
        return importlib.import_module(name)
    finally:
        sys.path.remove(str(EXAMPLES))


NIST = load_example("nist_strd").PROBLEMS


def digits(value, certified):
    error = abs(value - certified) / abs(certified)
    return -math.log10(error) if error > 0 else 16.0


@pytest.mark.parametrize("start", [0, 1], ids=["start1", "start2"])
@pytest.mark.parametrize("problem", NIST, ids=[p.name for p in NIST])
def test_stderr_matches_nist_certified_standard_deviations(problem, start, record_property):
    params = [q.Parameter(float(v), name=f"b{k + 1}") for k, v in enumerate(problem.starts[start])]
    residuals = [problem.model(params, x) - y for x, y in zip(problem.x, problem.y)]
    result = q.least_squares(residuals, params, ftol=1e-15, xtol=1e-15, gtol=1e-15)
    reached = [digits(s, c) for s, c in zip(result.stderr, problem.certified_sd)]
    record_property("stderr digits", [round(d, 2) for d in reached])
    assert result.success
    assert result.dof == len(problem.x) - len(params)
    assert min(reached) >= 8, reached
    assert result.stderr == pytest.approx(np.sqrt(np.diag(result.cov)), abs=0)


# --- The damped sinusoid against curve_fit ------------------------------------

T = np.linspace(0.0, 10.0, 60)
TRUTH = (2.5, 0.3, 2.0, 0.4)
NOISE = np.random.default_rng(5).normal(0.0, 1.0, T.size)
SIGMA = 0.01 + 0.03 * T / T[-1]
DATA = TRUTH[0] * np.exp(-TRUTH[1] * T) * np.sin(TRUTH[2] * T + TRUTH[3]) + SIGMA * NOISE


def sinusoid(t, a, b, w, phi):
    return a * np.exp(-b * t) * np.sin(w * t + phi)


def sinusoid_jac(t, a, b, w, phi):
    e, s, c = np.exp(-b * t), np.sin(w * t + phi), np.cos(w * t + phi)
    return np.column_stack([e * s, -a * t * e * s, a * t * e * c, a * e * c])


def sinusoid_fit(**options):
    params = [q.Parameter(v, name=n) for v, n in zip((2.2, 0.25, 2.02, 0.3), "a b w phi".split())]
    a, b, w, phi = params
    residuals = [a * q.exp(-b * t) * q.sin(w * t + phi) - y for t, y in zip(T, DATA)]
    return q.least_squares(residuals, params, **options), params, residuals


@pytest.mark.parametrize("absolute_sigma", [False, True])
@pytest.mark.parametrize("method", ["native", "trf", "dogbox", "lm"])
def test_cov_matches_curve_fit_with_sigma(method, absolute_sigma):
    result, params, _ = sinusoid_fit(method=method, sigma=SIGMA, absolute_sigma=absolute_sigma,
                                     ftol=1e-14, xtol=1e-14, gtol=1e-14)
    assert result.success
    popt, pcov = scipy_optimize.curve_fit(
        sinusoid, T, DATA, p0=result.x, sigma=SIGMA, absolute_sigma=absolute_sigma,
        jac=sinusoid_jac, ftol=1e-14, xtol=1e-14, gtol=1e-14)
    assert result.x == pytest.approx(popt, rel=1e-10)
    assert result.cov == pytest.approx(pcov, rel=1e-8)
    assert result.dof == T.size - 4
    assert result.chisqr == pytest.approx(np.sum(((DATA - sinusoid(T, *popt)) / SIGMA) ** 2))
    assert result.chisqr == pytest.approx(2.0 * result.cost, rel=1e-14)
    d = np.sqrt(np.diag(pcov))
    assert result.correlation == pytest.approx(pcov / np.outer(d, d), rel=1e-8, abs=1e-12)


def test_robust_loss_statistics_come_from_the_plain_jacobian():
    result, params, residuals = sinusoid_fit(method="trf", loss="soft_l1", f_scale=0.05)
    jac = q.jacobian(residuals, params)
    assert not np.allclose(result.jac, jac)
    expected = np.linalg.inv(jac.T @ jac) * (result.fun @ result.fun) / (T.size - 4)
    assert result.cov == pytest.approx(expected, rel=1e-7)


def test_scalar_sigma_scales_only_absolute_covariances():
    plain, _, _ = sinusoid_fit()
    relative, _, _ = sinusoid_fit(sigma=0.5)
    absolute, _, _ = sinusoid_fit(sigma=0.5, absolute_sigma=True)
    assert relative.cov == pytest.approx(plain.cov, rel=1e-9)
    assert relative.chisqr == pytest.approx(plain.chisqr / 0.25, rel=1e-9)
    assert absolute.cov == pytest.approx(plain.cov / plain.redchi * 0.25, rel=1e-9)


# --- Parameters held fixed, by params or by bounds -----------------------------

X = np.array([0.0, 0.5, 1.0, 1.5, 2.0, 2.5, 3.0, 3.5])
Y = np.array([1.02, 1.31, 1.77, 2.25, 2.86, 3.71, 4.69, 6.1])


def exponential(a, k, c):
    return [a * q.exp(k * x) + c - y for x, y in zip(X, Y)]


def held_out():
    a, k, c = q.Parameter(0.9, name="a"), q.Parameter(0.5, name="k"), q.Parameter(0.1, name="c")
    return q.least_squares(exponential(a, k, c), [a, k]), [0, 1]


def bound_fixed():
    a, k, c = q.Parameter(0.9, name="a"), q.Parameter(0.5, name="k"), q.Parameter(0.1, name="c")
    return q.least_squares(exponential(a, k, c), [a, k, c],
                           bounds=[(None, None), (None, None), (0.1, 0.1)]), [0, 1]


@pytest.mark.parametrize("fit", [held_out, bound_fixed], ids=["left out", "low == high"])
def test_a_fixed_parameter_counts_as_a_constant(fit):
    a, k = q.Parameter(0.9, name="a"), q.Parameter(0.5, name="k")
    reference = q.least_squares(exponential(a, k, q.Constant(0.1)), [a, k])
    result, free = fit()
    assert result.dof == reference.dof == X.size - 2
    assert result.stderr[free] == pytest.approx(reference.stderr, rel=1e-9)
    assert result.cov[np.ix_(free, free)] == pytest.approx(reference.cov, rel=1e-9)
    if result.x.size == 3:
        # The fixed lane: known exactly, and not at a bound in the sense of
        # an active constraint.
        assert result.stderr[2] == 0.0 and not result.cov[2].any()
        assert result.at_bound.tolist() == [False] * 3
        assert result.confidence_interval()[2].tolist() == [0.1, 0.1]
        assert "fixed by bounds" in q.fit_report(result)


def test_a_lane_on_an_active_bound_stays_counted_and_marked():
    a, k, c = q.Parameter(0.9, name="a"), q.Parameter(0.5, name="k"), q.Parameter(0.1, name="c")
    # The unbounded fit wants c near -0.08: a lower bound of 0 holds it there.
    result = q.least_squares(exponential(a, k, c), [a, k, c],
                             bounds=[(None, None), (None, None), (0, None)])
    assert result.at_bound.tolist() == [False, False, True]
    assert result.dof == X.size - 3
    assert np.isfinite(result.stderr).all() and result.stderr[2] > 0
    row = [line for line in q.fit_report(result).splitlines() if line.startswith("c ")]
    assert row[0].endswith("at a bound")


# --- What the fit cannot determine ------------------------------------------------

def tied_fit():
    # Only the sum a + b reaches the residuals: a rank-one Jacobian.
    a, b = q.Parameter(0.3, name="a"), q.Parameter(0.4, name="b")
    s = q.Parameter(0.2, name="s")
    residuals = [(a + b) * x + s * x * x - y for x, y in zip(X, Y)]
    return residuals, a, b, s


def test_rank_deficiency_names_the_lanes_and_keeps_estimable_combinations():
    residuals, a, b, s = tied_fit()
    # Absolute sigma: dof counts three free lanes here and two below, which
    # would scale the two covariances differently.
    result = q.least_squares(residuals, [a, b, s], absolute_sigma=True)
    assert "cov" not in result  # nothing warns until the covariance is asked for
    with pytest.warns(q.CovarianceWarning) as caught:
        stderr = result.stderr
    assert len(caught) == 1
    message = str(caught[0].message)
    assert "not determined: params[0] ('a') lane 0, params[1] ('b') lane 0." in message
    assert caught[0].filename == __file__
    assert math.isinf(stderr[0]) and math.isinf(stderr[1]) and math.isfinite(stderr[2])
    assert np.isinf(result.cov[:2]).all() and np.isnan(result.correlation[0]).all()
    # a + b is what the data fix: its uncertainty is that of c in c x + s x².
    c, s2 = q.Parameter(0.7, name="c"), q.Parameter(0.2, name="s")
    reference = q.least_squares([c * x + s2 * x * x - y for x, y in zip(X, Y)], [c, s2],
                                absolute_sigma=True)
    both = q.uncertainty([a + b, a - b, s], result)
    assert both[0] == pytest.approx(reference.stderr[0], rel=1e-7)
    assert math.isinf(both[1])
    assert both[2] == pytest.approx(reference.stderr[1], rel=1e-7)
    assert "not determined" in q.fit_report(result)


@pytest.mark.parametrize(
    ("absolute_sigma", "finite"), [(False, False), (True, True)],
    ids=["relative sigma", "absolute sigma"])
def test_no_degrees_of_freedom(absolute_sigma, finite):
    a, k = q.Parameter(1.0, name="a"), q.Parameter(0.4, name="k")
    result = q.least_squares([a * q.exp(k * x) - y for x, y in zip(X[:2], Y[:2])], [a, k],
                             absolute_sigma=absolute_sigma)
    assert result.dof == 0 and math.isinf(result.redchi)
    if finite:
        # sigma is known: nothing is estimated from the residuals.
        assert np.isfinite(result.cov).all()
        z = scipy_stats.norm.ppf(0.975)
        assert result.confidence_interval() == pytest.approx(
            np.column_stack([result.x - z * result.stderr, result.x + z * result.stderr]))
    else:
        with pytest.warns(q.CovarianceWarning, match="^dof is 0: "):
            assert np.isposinf(result.cov).all()
        assert np.isposinf(result.confidence_interval()[:, 1]).all()
        assert not np.isnan(result.correlation).any()


# --- Coverage --------------------------------------------------------------------

@pytest.mark.parametrize("absolute_sigma", [False, True])
def test_95_percent_intervals_cover_the_truth_95_percent_of_the_time(absolute_sigma):
    # The data are Parameters held fixed, so one graph serves every trial.
    rng = np.random.default_rng(2024)
    xs, noise, truth = np.linspace(0.0, 2.0, 8), 0.05, np.array([1.5, -0.8])
    data = [q.Parameter(0.0) for _ in xs]
    a, k = q.Parameter(1.0, name="a"), q.Parameter(-1.0, name="k")
    residuals = [a * q.exp(k * x) - y for x, y in zip(xs, data)]
    clean = truth[0] * np.exp(truth[1] * xs)
    covered = np.zeros(2)
    trials = 200
    for _ in range(trials):
        for p, y in zip(data, clean + rng.normal(0.0, noise, xs.size)):
            p.set_value(float(y))
        a.set_value(1.0)
        k.set_value(-1.0)
        result = q.least_squares(residuals, [a, k], sigma=noise, absolute_sigma=absolute_sigma)
        low, high = result.confidence_interval(0.95).T
        covered += (low <= truth) & (truth <= high)
    assert covered / trials == pytest.approx([0.95, 0.95], abs=0.04)


# --- The delta method ----------------------------------------------------------------

def test_uncertainty_is_the_delta_method():
    result, (a, b, w, phi), _ = sinusoid_fit(sigma=SIGMA)
    t = 1.7
    curve = a * q.exp(-b * t) * q.sin(w * t + phi)
    g = sinusoid_jac(np.array([t]), *result.x)[0]
    unreached = q.Parameter(3.0, name="elsewhere")
    got = q.uncertainty([curve, q.vec2(2.0 * a, a * 0.0 + unreached)], result)
    assert got[0] == pytest.approx(math.sqrt(g @ result.cov @ g), rel=1e-10)
    assert got[1:].tolist() == [pytest.approx(2.0 * result.stderr[0], rel=1e-12), 0.0]


def test_report_lists_every_lane_and_the_large_correlations_first():
    k = q.Parameter(1.0, 0.5, name="k")
    offset = q.Parameter(0.0)
    residuals = [k.x * q.exp(-k.y * x) + offset - y for x, y in zip(X, Y[::-1])]
    result = q.least_squares(residuals, [k, offset])
    lines = q.fit_report(result).splitlines()
    assert lines[1] == "residual lanes 8, free Parameter lanes 3, dof 5"
    assert lines[2].startswith(f"chisqr {result.chisqr:.6g}, redchi {result.redchi:.6g}")
    rows = {line.split()[0]: line.split() for line in lines[5:8]}
    assert set(rows) == {"k[0]", "k[1]", "params[1]"}
    for column, name in enumerate(["k[0]", "k[1]", "params[1]"]):
        value, error, relative = rows[name][1:4]
        assert float(value) == pytest.approx(result.x[column], rel=1e-7)
        assert float(error) == pytest.approx(result.stderr[column], rel=1e-4)
        assert float(relative[:-1]) == pytest.approx(
            100 * result.stderr[column] / abs(result.x[column]), rel=1e-2)
    assert lines[9] == "correlations above 0.1 in size:"
    pairs = lines[10:]
    sizes = [abs(float(line.split()[-1])) for line in pairs]
    expected = sorted((abs(result.correlation[i, j]) for i in range(3) for j in range(i + 1, 3)
                       if abs(result.correlation[i, j]) > 0.1), reverse=True)
    assert sizes == pytest.approx(expected, abs=1e-4)
    assert "function evaluations" in lines[0] and str(result.nfev) in lines[0]


# --- Argument errors, before anything changes ------------------------------------------

p1, p2 = q.Parameter(1.0, name="p1"), q.Parameter(0.5, name="p2")
RESIDUALS = [p1 * x + p2 - y for x, y in zip(X[:4], Y[:4])]
other = q.Parameter(0.0, name="other")
OTHER_RESULT = q.least_squares(other - 1.0, other)
FIT = q.least_squares(RESIDUALS, [p1, p2])

ERRORS = [
    (lambda: q.least_squares(RESIDUALS, [p1, p2], sigma=[1.0, 2.0]), ValueError,
     "sigma has 2 values but residuals have 4 lanes; pass a number or 4 values"),
    (lambda: q.least_squares(RESIDUALS, [p1, p2], sigma=[1.0, 0.0, 1.0, 1.0]), ValueError,
     "sigma[1] is 0.0; standard deviations must be positive and finite"),
    (lambda: q.least_squares(RESIDUALS, [p1, p2], sigma=-2), ValueError,
     "sigma is -2.0; standard deviations must be positive and finite"),
    (lambda: q.least_squares(RESIDUALS, [p1, p2], sigma=np.array([1, 1, 1, np.inf])),
     ValueError, "sigma[3] is inf; standard deviations must be positive and finite"),
    (lambda: q.least_squares(RESIDUALS, [p1, p2], sigma=math.nan), ValueError,
     "sigma is nan; standard deviations must be positive and finite"),
    (lambda: q.least_squares(RESIDUALS, [p1, p2], sigma="1"), TypeError,
     "sigma must be a number or a sequence of numbers, one per residual lane, not str"),
    (lambda: q.least_squares(RESIDUALS, [p1, p2], sigma=[1, 1, "1", 1]), TypeError,
     "sigma must be a number or a sequence of numbers, one per residual lane"),
    (lambda: q.least_squares(RESIDUALS, [p1, p2], absolute_sigma=1), TypeError,
     "absolute_sigma must be True or False, not int"),
    (lambda: q.uncertainty(p1 + p2, OTHER_RESULT), ValueError,
     "outputs reach none of the Parameters fitted in result; pass the result of the fit "
     "that these outputs are built on"),
    (lambda: q.uncertainty(p1, scipy_optimize.OptimizeResult(x=[1.0])), TypeError,
     "result must be the result of q.least_squares, not OptimizeResult"),
    (lambda: q.fit_report(None), TypeError,
     "result must be the result of q.least_squares, not NoneType"),
    (lambda: FIT.confidence_interval(1.0), ValueError,
     "level must lie strictly between 0 and 1, not 1.0"),
    (lambda: FIT.confidence_interval(0), ValueError,
     "level must lie strictly between 0 and 1, not 0"),
    (lambda: FIT.confidence_interval("95%"), TypeError,
     "level must be a number between 0 and 1, not str"),
]


@pytest.mark.parametrize(("call", "kind", "message"), ERRORS)
def test_bad_arguments_are_named_before_anything_moves(call, kind, message):
    p1.set_value(1.0)
    p2.set_value(0.5)
    with pytest.raises(kind) as excinfo:
        call()
    assert str(excinfo.value) == message
    assert (p1.value, p2.value) == ((1.0,), (0.5,))


def test_a_flat_dependence_is_not_another_problem():
    # The derivative of x * 0 is exactly zero everywhere, yet x was fitted.
    x = q.Parameter(1.0, name="x")
    result = q.least_squares([x - 1.0, x + 1.0, 2.0 * x], x)
    assert q.uncertainty(x * 0.0 + 1.0, result).tolist() == [0.0]

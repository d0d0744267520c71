"""Jacobians and least-squares solves: the package against the idioms it
replaces, against SciPy with finite differences on a NumPy model, and against
PyTorch and CasADi on the same formulas, data and starting points.

    ./dev run python3 bench/solvers.py [--repeat N] [--statistics]

Prints medians in markdown tables, where a default solve spends its time, and
whether the speed targets against the peers are met. PyTorch and CasADi are
optional: without them their rows are left out and the output says so.
"""

import argparse
import math
import random
import statistics
import time
import warnings
from types import SimpleNamespace
from typing import Callable, NamedTuple

import numpy as np
import scipy.optimize

import quoril as q
from quoril import _native
from timing import fmt, median_seconds, optional_peers, times

torch, casadi = optional_peers("torch", "casadi")


# --- Backends -----------------------------------------------------------------

# Each problem's model is written once over these few functions, so that NumPy,
# PyTorch and CasADi evaluate the same formulas on the same data.
NUMPY = SimpleNamespace(array=np.asarray, stack=np.array,
                        exp=np.exp, sin=np.sin, cos=np.cos, sqrt=np.sqrt)
if torch is not None:
    torch.set_num_threads(1)
    TORCH = SimpleNamespace(array=torch.from_numpy, stack=torch.stack,
                            exp=torch.exp, sin=torch.sin, cos=torch.cos, sqrt=torch.sqrt)
if casadi is not None:
    CASADI = SimpleNamespace(array=casadi.DM, stack=lambda items: casadi.vertcat(*items),
                             exp=casadi.exp, sin=casadi.sin, cos=casadi.cos, sqrt=casadi.sqrt)


class Problem(NamedTuple):
    """One problem twice: as the package's graph and as a model over a flat
    parameter vector whose order is that of q.jacobian's columns."""
    name: str
    residuals: list
    params: list
    start: list  # one list of lanes per Parameter
    model: Callable  # model(x, data, ops) -> every residual
    data: tuple  # float64 NumPy arrays the model reads
    exact: bool = False  # the residuals can all reach zero, in many ways

    @property
    def x0(self):
        return np.concatenate(self.start).astype(np.float64)

    def function(self, ops):
        """The residuals as a function of the parameter vector, in `ops`."""
        data = tuple(ops.array(d) for d in self.data)
        return lambda x: self.model(x, data, ops)


# --- Problems -----------------------------------------------------------------

def bank_model(x, data, ops):
    t, y = data
    return x[0] * ops.exp(x[1] * t) + x[2] * ops.sin(x[3] * t + x[4]) + (x[5] * t + x[6]) * x[7] - y


def residual_bank(count=200):
    """Count one-lane residuals of about ten nodes each over 8 Parameters."""
    rng = random.Random(3)
    t, y = np.array([(rng.uniform(0.0, 2.0), rng.uniform(-1.0, 1.0)) for _ in range(count)]).T
    start = [[0.1 * (k + 1)] for k in range(8)]
    p = [q.Parameter(v, name=f"p{k}") for k, v in enumerate(start)]
    residuals = [p[0] * q.exp(p[1] * ti) + p[2] * q.sin(p[3] * ti + p[4])
                 + (p[5] * ti + p[6]) * p[7] - yi for ti, yi in zip(t.tolist(), y.tolist())]
    return Problem(f"{count} residuals x 8 Parameters", residuals, p, start, bank_model, (t, y))


def arm_model(x, data, ops):
    links, goal = data
    angle, tip_x, tip_y = 0.0, 0.0, 0.0
    for k in range(links.shape[0]):
        angle = angle + x[k]
        tip_x = tip_x + links[k] * ops.cos(angle)
        tip_y = tip_y + links[k] * ops.sin(angle)
    return ops.stack([tip_x - goal[0], tip_y - goal[1]])


def arm(links=(1.0, 0.8, 0.5), goal=(0.9, 0.3)):
    """The tip of a planar arm, and the problem of putting it on `goal`."""
    joints = [q.Parameter(0.3) for _ in links]
    angle, tip = None, None
    for joint, length in zip(joints, links):
        angle = joint if angle is None else angle + joint
        link = length * q.vec2(q.cos(angle), q.sin(angle))
        tip = link if tip is None else tip + link
    start = [[0.3] for _ in links]
    return tip, Problem("3-link arm", [tip - goal], joints, start, arm_model,
                        (np.array(links), np.array(goal)), exact=True)


def ellipse_model(x, data, ops):
    px, py = data
    dx, dy = px - x[0], py - x[1]
    cos, sin = ops.cos(x[4]), ops.sin(x[4])
    u = (cos * dx + sin * dy) / x[2]
    v = (cos * dy - sin * dx) / x[3]
    distance = ops.sqrt(dx * dx + dy * dy)
    return distance - distance / ops.sqrt(u * u + v * v)


def ellipse(points=60):
    rng = random.Random(7)
    xy = []
    for _ in range(points):
        t = rng.uniform(0.0, math.tau)
        u, v = 3.0 * math.cos(t), 1.5 * math.sin(t)
        xy.append((1.0 + math.cos(0.5) * u - math.sin(0.5) * v + rng.gauss(0.0, 0.03),
                   -0.5 + math.sin(0.5) * u + math.cos(0.5) * v + rng.gauss(0.0, 0.03)))
    data = np.array(xy)
    mean = data.mean(axis=0)
    spread = math.sqrt(((data - mean) ** 2).sum(axis=1).mean())
    start = [list(mean), [1.2 * spread, 0.8 * spread], [0.0]]
    centre, axes, angle = (q.Parameter(v) for v in start)
    c, s = q.cos(angle), q.sin(angle)
    residuals = []
    for point in xy:
        d = q.Constant(point) - centre
        scaled = q.vec2(c * d.x + s * d.y, c * d.y - s * d.x) / axes
        residuals.append(q.norm(d) - q.norm(d) / q.norm(scaled))
    return Problem(f"ellipse, {points} points", residuals, [centre, axes, angle], start,
                   ellipse_model, (data[:, 0].copy(), data[:, 1].copy()))


def damped_sinusoid_model(x, data, ops):
    t, y = data
    return x[0] * ops.exp(-x[1] * t) * ops.sin(x[2] * t + x[3]) - y


def damped_sinusoid(samples=100):
    rng = random.Random(11)
    t = np.linspace(0.0, 10.0, samples)
    y = 2.5 * np.exp(-0.3 * t) * np.sin(2.0 * t + 0.4) + np.array(
        [rng.gauss(0.0, 0.02) for _ in t])
    start = [[2.1], [0.1], [2.02], [0.0]]
    a, b, w, phi = (q.Parameter(v) for v in start)
    residuals = [a * q.exp(-b * ti) * q.sin(w * ti + phi) - yi for ti, yi in zip(t, y)]
    return Problem(f"damped sinusoid, {samples} points", residuals, [a, b, w, phi], start,
                   damped_sinusoid_model, (t, y))


def misra1a_model(b, data, ops):
    x, y = data
    return b[0] * (1 - ops.exp(-b[1] * x)) - y


def misra1a():
    x = np.array([77.6, 114.9, 141.1, 190.8, 239.9, 289.0, 332.8, 378.4, 434.8, 477.3,
                  536.8, 593.1, 689.1, 760.0])
    y = np.array([10.07, 14.73, 17.94, 23.93, 29.61, 35.18, 40.02, 44.82, 50.76, 55.05,
                  61.01, 66.40, 75.47, 81.78])
    start = [[500.0], [1e-4]]
    b1, b2 = (q.Parameter(v) for v in start)
    residuals = [b1 * (1 - q.exp(-b2 * xi)) - yi for xi, yi in zip(x, y)]
    return Problem("Misra1a, start 1", residuals, [b1, b2], start, misra1a_model, (x, y))


def solve_problems():
    return [arm()[1], ellipse(), damped_sinusoid(), misra1a()]


# --- Peers ----------------------------------------------------------------------

JACREV = "torch.func.jacrev, .numpy()"
CASADI_CALL = "CasADi Function call (DM)"
CASADI_FULL = "CasADi Function call, .full()"
CASADI_BUFFER = "CasADi FunctionBuffer._eval() into NumPy"


def assert_same_jacobian(actual, expected, who):
    np.testing.assert_allclose(actual, expected, rtol=1e-9, atol=1e-9,
                               err_msg=f"{who} disagrees with q.jacobian")


def torch_jacobian_rows(workload, problem, expected, repeat):
    jacobian = torch.func.jacrev(problem.function(TORCH))
    x = torch.from_numpy(problem.x0)

    def call():
        return jacobian(x).numpy()

    assert_same_jacobian(call(), expected, "torch.func.jacrev")
    return [(workload, JACREV, median_seconds(call, repeat))]


def casadi_jacobian_rows(workload, problem, expected, repeat):
    x0 = problem.x0
    x = casadi.SX.sym("x", x0.size)
    # Dense, so that the result buffer is the whole matrix, column by column.
    jacobian = casadi.densify(casadi.jacobian(problem.function(CASADI)(x), x))
    function = casadi.Function("jacobian", [x], [jacobian])
    result = np.empty(expected.T.shape)
    buffer, _ = function.buffer()
    buffer.set_arg(0, memoryview(x0))
    buffer.set_res(0, memoryview(result))
    buffer._eval()
    assert_same_jacobian(function(x0).full(), expected, "CasADi Function")
    assert_same_jacobian(result.T, expected, "CasADi FunctionBuffer")
    return [
        (workload, CASADI_CALL, median_seconds(lambda: function(x0), repeat)),
        (workload, CASADI_FULL, median_seconds(lambda: function(x0).full(), repeat)),
        (workload, CASADI_BUFFER, median_seconds(buffer._eval, repeat)),
    ]


def ipopt_solver(problem):
    """A warm CasADi Opti problem minimising the sum of squares with ipopt;
    its solve returns the solution and ipopt's status unless it succeeded."""
    opti = casadi.Opti()
    x = opti.variable(problem.x0.size)
    opti.minimize(casadi.sumsqr(problem.function(CASADI)(x)))
    # sb only silences ipopt's banner.
    opti.solver("ipopt", {"print_time": False}, {"print_level": 0, "sb": "yes"})

    def solve():
        opti.set_initial(x, problem.x0)
        solution = opti.solve_limited()
        stats = opti.stats()
        return solution.value(x), None if stats["success"] else f"ipopt {stats['return_status']}"
    return solve


def lbfgs_solver(problem):
    """PyTorch's L-BFGS on the sum of squares, restarted from the start on
    every solve; returns the solution (L-BFGS reports no failure)."""
    residuals = problem.function(TORCH)
    start = torch.from_numpy(problem.x0)
    x = start.clone().requires_grad_(True)

    def solve():
        with torch.no_grad():
            x.copy_(start)
        optimizer = torch.optim.LBFGS([x], max_iter=10_000, tolerance_grad=1e-12,
                                      tolerance_change=1e-20, line_search_fn="strong_wolfe")

        def closure():
            optimizer.zero_grad()
            loss = residuals(x).square().sum()
            loss.backward()
            return loss
        optimizer.step(closure)
        return x.detach().numpy().copy(), None
    return solve


def solution_check(problem, x, result):
    """Whether x is as good a solution as q.least_squares's `result`: the same
    cost to 1e-8 relative or, when the residuals can reach zero, a residual
    norm below 1e-8 for both. Returns the verdict for the table."""
    residuals = problem.function(NUMPY)(x)
    if problem.exact:
        error = float(np.linalg.norm(residuals))
        ok = max(error, math.sqrt(2.0 * result.cost)) < 1e-8
        return ok, "yes" if ok else f"NO: residual norm {error:.1e}"
    cost = 0.5 * float(residuals @ residuals)
    ok = math.isclose(cost, result.cost, rel_tol=1e-8)
    return ok, "yes" if ok else f"NO: cost {cost:.6g} vs {result.cost:.6g}"


def solve_peers():
    """The installed peer solvers: (name, function making a problem's solve)."""
    peers = []
    if casadi is not None:
        peers.append(("CasADi Opti + ipopt", ipopt_solver))
    if torch is not None:
        peers.append(("torch LBFGS", lbfgs_solver))
    return peers


def peer_solve_rows(problems, outcomes, peers, repeat):
    """Per problem: its name, q's default time, and per peer its name, time,
    whether it reached q's solution, and the verdict for the table."""
    rows = []
    for problem in problems:
        default, result = outcomes[problem.name]
        measured = []
        for peer, make_solver in peers:
            solve = make_solver(problem)
            x, failure = solve()
            ok, verdict = ((False, f"NO: {failure}") if failure is not None
                           else solution_check(problem, x, result))
            measured.append((peer, median_seconds(solve, max(5, repeat // 5)), ok, verdict))
        rows.append((problem.name, default, measured))
    return rows


# --- Measurements -----------------------------------------------------------------

BANK, ARM = "200 residuals x 8 Parameters", "arm tip 2x3"
PREPARED = "q.JacobianProgram, prepared once"

# (workload, peer's call, least speed-up of q.jacobian over it, as the target reads)
JACOBIAN_TARGETS = [
    (BANK, JACREV, 10.0, ">= 10x faster"),
    (ARM, JACREV, 10.0, ">= 10x faster"),
    (BANK, CASADI_FULL, 1.0, "faster"),
    (BANK, CASADI_BUFFER, 0.25, "within 4x"),
    (ARM, CASADI_CALL, 1.0, "faster"),
]
SOLVE_TARGET = 5.0


def jacobian_rows(repeat):
    bank = residual_bank()
    residuals, params = bank.residuals, bank.params
    tip, arm_problem = arm()

    def backward_per_row():
        rows = []
        for r in residuals:
            r.zero_grad()
            r.backward()
            rows.append([p.grad[0] if p.grad is not None else 0.0 for p in params])
        return np.array(rows)

    bank_jacobian = q.jacobian(residuals, params)
    assert np.allclose(backward_per_row(), bank_jacobian)
    # Prepared once, like the peers' Functions; the timed call only computes.
    bank_program = q.JacobianProgram(residuals, params)
    arm_jacobian = q.jacobian(tip, arm_problem.params)
    arm_program = q.JacobianProgram(tip, arm_problem.params)
    return [
        (BANK, "q.jacobian", median_seconds(lambda: q.jacobian(residuals, params), repeat)),
        (BANK, "q.value_and_jacobian",
         median_seconds(lambda: q.value_and_jacobian(residuals, params), repeat)),
        (BANK, PREPARED, median_seconds(bank_program.value_and_jacobian, repeat)),
        (BANK, "one backward() per residual",
         median_seconds(backward_per_row, max(5, repeat // 10))),
        *peer_jacobian_rows(BANK, bank, bank_jacobian, repeat),
        (ARM, "q.jacobian", median_seconds(lambda: q.jacobian(tip, arm_problem.params), repeat)),
        (ARM, PREPARED, median_seconds(arm_program.jacobian, repeat)),
        *peer_jacobian_rows(ARM, arm_problem, arm_jacobian, repeat),
    ]


def peer_jacobian_rows(workload, problem, expected, repeat):
    rows = []
    if torch is not None:
        rows += torch_jacobian_rows(workload, problem, expected, repeat)
    if casadi is not None:
        rows += casadi_jacobian_rows(workload, problem, expected, repeat)
    return rows


def resetter(params, start):
    def reset():
        for p, value in zip(params, start):
            p.set_value(value)
    return reset


def solve_rows(problems, repeat):
    """The package's rows, the breakdown of its default solves, and per
    problem name the default solve's median time and result."""
    rows, breakdown, outcomes = [], [], {}
    for problem in problems:
        name, residuals, params = problem.name, problem.residuals, problem.params
        numpy_residuals, x0 = problem.function(NUMPY), problem.x0
        reset = resetter(params, problem.start)
        reset()
        result = q.least_squares(residuals, params)
        default = median_seconds(lambda: q.least_squares(residuals, params), repeat, reset)
        outcomes[name] = default, result
        trf = median_seconds(
            lambda: q.least_squares(residuals, params, method="trf"), max(5, repeat // 5), reset)
        reference = scipy.optimize.least_squares(numpy_residuals, x0)
        finite = median_seconds(
            lambda: scipy.optimize.least_squares(numpy_residuals, x0), max(5, repeat // 5))
        # The arm has many solutions: compare tip errors, not joint angles.
        agree = (math.isclose(result.cost, reference.cost, rel_tol=1e-8)
                 if not problem.exact else max(result.cost, reference.cost) < 1e-15)
        rows.append((name, result.method, result.nfev, default, trf, finite,
                     finite / default, "yes" if agree else "NO"))
        if result.method == "native":
            reset()
            program = q.JacobianProgram(residuals, params)
            evaluation = median_seconds(program.value_and_jacobian, repeat)
            # Native call and whole solve alternate, so that both see the
            # same load; the glue is the median of their differences.
            native, glue = [], []
            for _ in range(repeat):
                reset()
                start_native = time.perf_counter()
                _native.levenberg_marquardt(residuals, params, None, None, 1e-8, 1e-8, 1e-8, 0)
                native.append(time.perf_counter() - start_native)
                reset()
                start_solve = time.perf_counter()
                q.least_squares(residuals, params)
                glue.append(time.perf_counter() - start_solve - native[-1])
            solver = statistics.median(native)
            module = min(solver, evaluation * max(result.nfev, result.njev))
            breakdown.append((name, default, module, solver - module, statistics.median(glue)))
    return rows, breakdown, outcomes


STATISTICS_TARGET = 0.10


def statistics_rows(problems, repeat):
    """Per problem: the default solve's median time, the time of the
    covariance (its SVD, computed on first access) and the report on that
    fresh result, and the solve again with a sigma for every residual lane,
    which adds one division node per residual. Solve and statistics
    alternate, so that both see the same load on a shared machine."""
    rows = []
    for problem in problems:
        reset = resetter(problem.params, problem.start)
        solves, statistics_times = [], []
        with warnings.catch_warnings():
            # The arm has fewer equations than unknowns: its covariance warns.
            warnings.simplefilter("ignore", q.CovarianceWarning)
            for k in range(repeat + 3):
                reset()
                start = time.perf_counter()
                result = q.least_squares(problem.residuals, problem.params)
                middle = time.perf_counter()
                result.cov
                q.fit_report(result)
                end = time.perf_counter()
                if k >= 3:
                    solves.append(middle - start)
                    statistics_times.append(end - middle)
        solve, seconds = statistics.median(solves), statistics.median(statistics_times)
        sigma = np.full(result.fun.size, 0.5)
        weighted = median_seconds(
            lambda: q.least_squares(problem.residuals, problem.params, sigma=sigma),
            repeat, reset)
        rows.append((problem.name, solve, seconds, seconds / solve, weighted,
                     "met" if seconds / solve <= STATISTICS_TARGET else "GAP"))
    return rows


def print_statistics(problems, repeat):
    print("## What a fit is worth: statistics against the solve\n")
    print("| problem | default solve | covariance + fit_report | statistics / solve "
          f"| target <= {STATISTICS_TARGET:.0%} | solve with sigma per lane |")
    print("| --- | ---: | ---: | ---: | --- | ---: |")
    for name, default, seconds, ratio, weighted, status in statistics_rows(problems, repeat):
        print(f"| {name} | {fmt(default)} | {fmt(seconds)} | {ratio:.0%} | {status} "
              f"| {fmt(weighted)} |")


def target_rows(jacobians, peer_solves):
    """(comparison, q's time, peer's time, q's speed-up, target, status) for
    every target whose peer was measured."""
    times = {(workload, call): seconds for workload, call, seconds in jacobians}
    rows = []
    for workload, call, least, wanted in JACOBIAN_TARGETS:
        for ours_call in ("q.jacobian", PREPARED):
            if (workload, call) in times and (workload, ours_call) in times:
                ours, theirs = times[workload, ours_call], times[workload, call]
                rows.append((f"Jacobian, {workload}: {ours_call} vs {call}", ours, theirs,
                             theirs / ours, wanted, "met" if theirs / ours >= least else "GAP"))
    for name, default, measured in peer_solves:
        for peer, seconds, ok, _ in measured:
            status = "met" if seconds / default >= SOLVE_TARGET else "GAP"
            rows.append((f"solve, {name}: vs {peer}", default, seconds, seconds / default,
                         f">= {SOLVE_TARGET:g}x faster",
                         status if ok else f"{status} (peer reached another solution)"))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=200, help="timed runs per row")
    parser.add_argument("--statistics", action="store_true",
                        help="only the table of the fit statistics against the solve")
    args = parser.parse_args()
    if args.statistics:
        print_statistics(solve_problems(), args.repeat)
        return

    jacobians = jacobian_rows(args.repeat)
    ours = {workload: seconds for workload, call, seconds in jacobians if call == "q.jacobian"}
    print("## Jacobians\n")
    print("| workload | call | median | this / q.jacobian |")
    print("| --- | --- | ---: | ---: |")
    for workload, call, seconds in jacobians:
        ratio = "" if call == "q.jacobian" else times(seconds / ours[workload])
        print(f"| {workload} | {call} | {fmt(seconds)} | {ratio} |")

    problems = solve_problems()
    rows, breakdown, outcomes = solve_rows(problems, args.repeat)
    print("\n## Least-squares solves\n")
    print("| problem | default method | nfev | q.least_squares | q.least_squares trf "
          "| SciPy, finite differences | speed-up over SciPy FD | same cost |")
    print("| --- | --- | ---: | ---: | ---: | ---: | ---: | --- |")
    for name, method, nfev, default, trf, finite, ratio, agree in rows:
        print(f"| {name} | {method} | {nfev} | {fmt(default)} | {fmt(trf)} | {fmt(finite)} "
              f"| {ratio:.1f}x | {agree} |")

    print()
    print_statistics(problems, args.repeat)

    peers = solve_peers()
    peer_solves = peer_solve_rows(problems, outcomes, peers, args.repeat)
    if peers:
        print("\n## Least-squares solves by the peers, from the same start\n")
        print("| problem | q.least_squares | "
              + " | ".join(f"{p} | {p} / q | {p}: same solution" for p, _ in peers) + " |")
        print("| --- | ---: |" + " ---: | ---: | --- |" * len(peers))
        for name, default, measured in peer_solves:
            cells = " | ".join(f"{fmt(seconds)} | {times(seconds / default)} | {verdict}"
                               for _, seconds, _, verdict in measured)
            print(f"| {name} | {fmt(default)} | {cells} |")

    if breakdown:
        print("\n## Where a default solve spends its time (estimates)\n")
        print("| problem | total | values and Jacobians (nfev x one call) | solver | Python glue |")
        print("| --- | ---: | ---: | ---: | ---: |")
        for name, total, module, solver, glue in breakdown:
            print(f"| {name} | {fmt(total)} | {fmt(module)} | {fmt(solver)} | {fmt(glue)} |")

    targets = target_rows(jacobians, peer_solves)
    if targets:
        print("\n## Targets\n")
        print("| comparison | quoril | peer | peer / quoril | target | status |")
        print("| --- | ---: | ---: | ---: | --- | --- |")
        for comparison, ours_s, theirs, ratio, wanted, status in targets:
            print(f"| {comparison} | {fmt(ours_s)} | {fmt(theirs)} | {times(ratio)} | {wanted} "
                  f"| {status} |")
    missing = [name for name, module in (("torch", torch), ("casadi", casadi)) if module is None]
    if missing:
        print(f"\n(not installed, so neither measured nor in the targets: {', '.join(missing)})")


if __name__ == "__main__":
    main()

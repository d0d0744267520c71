"""Jacobians and least-squares solves: the package against the idioms it
replaces and against SciPy with finite differences on a NumPy model.

    ./dev run python3 bench/solvers.py [--repeat N]

Prints medians in two markdown tables, then where a default solve spends its
time. PyTorch and CasADi rows appear only when those are installed.
"""

import argparse
import importlib.util
import math
import random
import statistics
import time

import numpy as np
import scipy.optimize

import quoril as q
from quoril import _native


def median_seconds(call, repeat, setup=None):
    """The median wall time of `call` over `repeat` runs, each after `setup`
    (untimed), with a few warm-up runs first."""
    times = []
    for k in range(repeat + 3):
        if setup is not None:
            setup()
        start = time.perf_counter()
        call()
        elapsed = time.perf_counter() - start
        if k >= 3:
            times.append(elapsed)
    return statistics.median(times)


def fmt(seconds):
    return f"{seconds * 1e6:,.1f} µs" if seconds < 1e-3 else f"{seconds * 1e3:,.2f} ms"


# --- Problems -----------------------------------------------------------------

def residual_bank(count=200):
    """Count one-lane residuals of about ten nodes each over 8 Parameters."""
    p = [q.Parameter(0.1 * (k + 1), name=f"p{k}") for k in range(8)]
    rng = random.Random(3)
    residuals = []
    for _ in range(count):
        t, y = rng.uniform(0.0, 2.0), rng.uniform(-1.0, 1.0)
        residuals.append(p[0] * q.exp(p[1] * t) + p[2] * q.sin(p[3] * t + p[4])
                         + (p[5] * t + p[6]) * p[7] - y)
    return residuals, p


def arm(links=(1.0, 0.8, 0.5), goal=(0.9, 0.3)):
    joints = [q.Parameter(0.3) for _ in links]
    angle, tip = None, None
    for joint, length in zip(joints, links):
        angle = joint if angle is None else angle + joint
        link = length * q.vec2(q.cos(angle), q.sin(angle))
        tip = link if tip is None else tip + link
    start = [0.3] * len(links)
    numpy_start = np.array(start)

    def numpy_residuals(x):
        angles = np.cumsum(x)
        lengths = np.array(links)
        return np.array([lengths @ np.cos(angles) - goal[0], lengths @ np.sin(angles) - goal[1]])

    return tip, [tip - goal], joints, [[v] for v in start], numpy_residuals, numpy_start


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

    def numpy_residuals(x):
        d = data - x[:2]
        cos, sin = math.cos(x[4]), math.sin(x[4])
        u = (cos * d[:, 0] + sin * d[:, 1]) / x[2]
        v = (cos * d[:, 1] - sin * d[:, 0]) / x[3]
        distance = np.hypot(d[:, 0], d[:, 1])
        return distance - distance / np.hypot(u, v)

    return residuals, [centre, axes, angle], start, numpy_residuals, np.concatenate(start)


def damped_sinusoid(samples=100):
    rng = random.Random(11)
    t = np.linspace(0.0, 10.0, samples)
    y = 2.5 * np.exp(-0.3 * t) * np.sin(2.0 * t + 0.4) + np.array(
        [rng.gauss(0.0, 0.02) for _ in t])
    start = [[2.1], [0.1], [2.02], [0.0]]
    a, b, w, phi = (q.Parameter(v) for v in start)
    residuals = [a * q.exp(-b * ti) * q.sin(w * ti + phi) - yi for ti, yi in zip(t, y)]

    def numpy_residuals(x):
        return x[0] * np.exp(-x[1] * t) * np.sin(x[2] * t + x[3]) - y

    return residuals, [a, b, w, phi], start, numpy_residuals, np.concatenate(start)


def misra1a():
    x = np.array([77.6, 114.9, 141.1, 190.8, 239.9, 289.0, 332.8, 378.4, 434.8, 477.3,
                  536.8, 593.1, 689.1, 760.0])
    y = np.array([10.07, 14.73, 17.94, 23.93, 29.61, 35.18, 40.02, 44.82, 50.76, 55.05,
                  61.01, 66.40, 75.47, 81.78])
    start = [[500.0], [1e-4]]
    b1, b2 = (q.Parameter(v) for v in start)
    residuals = [b1 * (1 - q.exp(-b2 * xi)) - yi for xi, yi in zip(x, y)]

    def numpy_residuals(b):
        return b[0] * (1 - np.exp(-b[1] * x)) - y

    return residuals, [b1, b2], start, numpy_residuals, np.concatenate(start)


# --- Measurements -----------------------------------------------------------------

def jacobian_rows(repeat):
    residuals, params = residual_bank()
    tip, _, joints, _, _, _ = arm()

    def backward_per_row():
        rows = []
        for r in residuals:
            r.zero_grad()
            r.backward()
            rows.append([p.grad[0] if p.grad is not None else 0.0 for p in params])
        return np.array(rows)

    assert np.allclose(backward_per_row(), q.jacobian(residuals, params))
    return [
        ("200 residuals x 8 Parameters", "q.jacobian",
         median_seconds(lambda: q.jacobian(residuals, params), repeat)),
        ("200 residuals x 8 Parameters", "q.value_and_jacobian",
         median_seconds(lambda: q.value_and_jacobian(residuals, params), repeat)),
        ("200 residuals x 8 Parameters", "one backward() per residual",
         median_seconds(backward_per_row, max(5, repeat // 10))),
        ("arm tip 2x3", "q.jacobian", median_seconds(lambda: q.jacobian(tip, joints), repeat)),
    ]


def resetter(params, start):
    def reset():
        for p, value in zip(params, start):
            p.set_value(value)
    return reset


def solve_rows(repeat):
    _, arm_residuals, joints, arm_start, arm_numpy, arm_x0 = arm()
    problems = [
        ("3-link arm", arm_residuals, joints, arm_start, arm_numpy, arm_x0),
        ("ellipse, 60 points", *ellipse()),
        ("damped sinusoid, 100 points", *damped_sinusoid()),
        ("Misra1a, start 1", *misra1a()),
    ]
    rows, breakdown = [], []
    for name, residuals, params, start, numpy_residuals, x0 in problems:
        reset = resetter(params, start)
        reset()
        result = q.least_squares(residuals, params)
        default = median_seconds(lambda: q.least_squares(residuals, params), repeat, reset)
        trf = median_seconds(
            lambda: q.least_squares(residuals, params, method="trf"), max(5, repeat // 5), reset)
        reference = scipy.optimize.least_squares(numpy_residuals, x0)
        finite = median_seconds(
            lambda: scipy.optimize.least_squares(numpy_residuals, x0), max(5, repeat // 5))
        # The arm has many solutions: compare tip errors, not joint angles.
        agree = (math.isclose(result.cost, reference.cost, rel_tol=1e-8)
                 if name != "3-link arm" else max(result.cost, reference.cost) < 1e-15)
        rows.append((name, result.method, result.nfev, default, trf, finite,
                     finite / default, "yes" if agree else "NO"))
        if result.method == "native":
            reset()
            evaluation = median_seconds(
                lambda: _native.value_and_jacobian(residuals, params, True), repeat)
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
    return rows, breakdown


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=200, help="timed runs per row")
    args = parser.parse_args()

    print("## Jacobians\n")
    print("| workload | call | median |")
    print("| --- | --- | ---: |")
    for workload, call, seconds in jacobian_rows(args.repeat):
        print(f"| {workload} | {call} | {fmt(seconds)} |")

    rows, breakdown = solve_rows(args.repeat)
    print("\n## Least-squares solves\n")
    print("| problem | default method | nfev | q.least_squares | q.least_squares trf "
          "| SciPy, finite differences | speed-up over SciPy FD | same cost |")
    print("| --- | --- | ---: | ---: | ---: | ---: | ---: | --- |")
    for name, method, nfev, default, trf, finite, ratio, agree in rows:
        print(f"| {name} | {method} | {nfev} | {fmt(default)} | {fmt(trf)} | {fmt(finite)} "
              f"| {ratio:.1f}x | {agree} |")
    if breakdown:
        print("\n## Where a default solve spends its time (estimates)\n")
        print("| problem | total | values and Jacobians (nfev x one call) | solver | Python glue |")
        print("| --- | ---: | ---: | ---: | ---: |")
        for name, total, module, solver, glue in breakdown:
            print(f"| {name} | {fmt(total)} | {fmt(module)} | {fmt(solver)} | {fmt(glue)} |")
    missing = [name for name in ("torch", "casadi") if importlib.util.find_spec(name) is None]
    if missing:
        print(f"\n(not installed, so not measured: {', '.join(missing)})")


if __name__ == "__main__":
    main()

"""Constrained solves and Hessians: q.minimize with constraints against SLSQP
with finite differences on a NumPy model and a warm CasADi Opti with ipopt,
on HS71, HS43 and the constrained arm; and a Hessian of a 50-node loss over
8 Parameters against torch.func.hessian and a prepared CasADi Function.

    ./dev run python3 bench/constrained.py [--repeat N]

Prints medians in markdown tables, checks every peer reaches the same
optimum, and says whether each solve meets its targets (2x SLSQP on NumPy
with finite differences, 3x ipopt). PyTorch and CasADi are optional.
"""

import argparse
import math
import warnings

import numpy as np
import scipy.optimize

import quoril as q
from timing import fmt, median_seconds, optional_peers, times

torch, casadi = optional_peers("torch", "casadi")


def hs71(x, ops):
    f = x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2]
    return f, [(x[0] * x[1] * x[2] * x[3], 25.0, math.inf),
               (x[0] * x[0] + x[1] * x[1] + x[2] * x[2] + x[3] * x[3], 40.0, 40.0)]


def hs43(x, ops):
    x1, x2, x3, x4 = x
    f = x1 * x1 + x2 * x2 + 2 * x3 * x3 + x4 * x4 - 5 * x1 - 5 * x2 - 21 * x3 + 7 * x4
    return f, [(8 - x1 * x1 - x2 * x2 - x3 * x3 - x4 * x4 - x1 + x2 - x3 + x4, 0.0, math.inf),
               (10 - x1 * x1 - 2 * x2 * x2 - x3 * x3 - 2 * x4 * x4 + x1 + x4, 0.0, math.inf),
               (5 - 2 * x1 * x1 - x2 * x2 - x3 * x3 - 2 * x1 + x2 + x4, 0.0, math.inf)]


def arm(x, ops):
    rest, links = (0.2, 0.6, 0.4), (1.0, 0.8, 0.6)
    f = sum((a - r) * (a - r) for a, r in zip(x, rest))
    px, py, heading, joints = 0.0, 0.0, 0.0, []
    for length, angle in zip(links, x):
        heading = heading + angle
        px, py = px + length * ops.cos(heading), py + length * ops.sin(heading)
        joints.append((px, py))
    (tx, ty) = joints[-1]
    cons = [((tx - 1.2) * (tx - 1.2) + (ty - 0.9) * (ty - 0.9), 0.35**2, 0.35**2)]
    pts = joints[:2] + [(joints[0][0] * 0.5, joints[0][1] * 0.5)] + [
        ((a[0] + b[0]) * 0.5, (a[1] + b[1]) * 0.5) for a, b in zip(joints, joints[1:])]
    cons += [((p[0] - 0.9) * (p[0] - 0.9) + (p[1] - 0.25) * (p[1] - 0.25), 0.09, math.inf)
             for p in pts]
    return f, cons


PROBLEMS = [("HS71", hs71, [1.0, 5.0, 5.0, 1.0], [(1.0, 5.0)] * 4),
            ("HS43", hs43, [0.0] * 4, None),
            ("arm", arm, [0.2, 0.6, 0.4], None)]


def quoril_solver(model, x0, bounds):
    x = [q.Parameter(v) for v in x0]
    f, cons = model(x, q)
    constraints = [q.constraint(c, lower=lo, upper=hi) for c, lo, hi in cons]

    def solve():
        for p, v in zip(x, x0):
            p.set_value(v)
        r = q.minimize(f, x, bounds=bounds, constraints=constraints, options={"ftol": 1e-10})
        return r.x, r.fun
    return solve


def numpy_solver(model, x0, bounds):
    def fun(x):
        return model(x, np)[0]
    scipy_cons = []
    for k, (_, lo, hi) in enumerate(model(np.array(x0), np)[1]):
        g = (lambda x, k=k: model(x, np)[1][k][0])
        if lo == hi:
            scipy_cons.append({"type": "eq", "fun": lambda x, g=g, lo=lo: g(x) - lo})
        else:
            scipy_cons.append({"type": "ineq", "fun": lambda x, g=g, lo=lo: g(x) - lo})

    def solve():
        r = scipy.optimize.minimize(fun, x0, method="SLSQP", bounds=bounds,
                                    constraints=scipy_cons, options={"ftol": 1e-10})
        return r.x, r.fun
    return solve


def ipopt_solver(model, x0, bounds):
    opti = casadi.Opti()
    x = opti.variable(len(x0))
    f, cons = model([x[i] for i in range(len(x0))], casadi)
    opti.minimize(f)
    for c, lo, hi in cons:
        opti.subject_to(c == lo) if lo == hi else opti.subject_to(c >= lo)
    for i, (lo, hi) in enumerate(bounds or []):
        opti.subject_to(opti.bounded(lo, x[i], hi))
    opti.solver("ipopt", {"print_time": False}, {"print_level": 0, "sb": "yes"})

    def solve():
        opti.set_initial(x, x0)
        s = opti.solve_limited()
        return np.array(s.value(x)).ravel(), float(s.value(f))
    return solve


def hessian_rows(repeat):
    rng = np.random.default_rng(7)
    coefficients = rng.uniform(0.5, 1.5, size=(8, 3))

    def loss(x, ops):
        total = 0.0
        for i in range(8):
            a, b, c = coefficients[i]
            total = total + a * ops.sin(x[i] * x[(i + 1) % 8]) + b * ops.exp(c * x[i] * 0.3)
        return total

    x0 = rng.uniform(-1, 1, size=8)
    params = [q.Parameter(float(v)) for v in x0]
    root = loss(params, q)
    program = q._native.HessianProgram([root], params)
    ones = np.ones(1)
    mine = program.hessian(ones)
    rows = [("quoril HessianProgram", median_seconds(lambda: program.hessian(ones), repeat))]
    if torch is not None:
        t = torch.tensor(x0)
        hess = torch.func.hessian(lambda v: loss(v, torch))
        assert np.allclose(hess(t).numpy(), mine, rtol=1e-12, atol=1e-12)
        rows.append(("torch.func.hessian", median_seconds(lambda: hess(t), repeat)))
    if casadi is not None:
        s = casadi.SX.sym("x", 8)
        h, _ = casadi.hessian(loss([s[i] for i in range(8)], casadi), s)
        function = casadi.Function("h", [s], [h])
        assert np.allclose(function(x0).full(), mine, rtol=1e-12, atol=1e-12)
        rows.append(("CasADi Function + full()", median_seconds(lambda: function(x0).full(), repeat)))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=20)
    repeat = parser.parse_args().repeat
    warnings.simplefilter("ignore")
    print("| problem | quoril SLSQP | SLSQP, NumPy + finite differences | CasADi Opti + ipopt (warm) | vs NumPy | vs ipopt |")
    print("| --- | --- | --- | --- | --- | --- |")
    verdicts = []
    for name, model, x0, bounds in PROBLEMS:
        mine_solve = quoril_solver(model, x0, bounds)
        x_mine, f_mine = mine_solve()
        t_mine = median_seconds(mine_solve, repeat)
        x_np, f_np = numpy_solver(model, x0, bounds)()
        assert abs(f_np - f_mine) <= 1e-5 * max(1.0, abs(f_mine)), (name, f_np, f_mine)
        t_np = median_seconds(numpy_solver(model, x0, bounds), repeat)
        cells = [fmt(t_mine), fmt(t_np), "n/a", times(t_np / t_mine), "n/a"]
        verdicts.append((f"{name} vs SLSQP on NumPy with finite differences", t_np / t_mine, 2.0))
        if casadi is not None:
            solve = ipopt_solver(model, x0, bounds)
            x_ip, f_ip = solve()
            assert abs(f_ip - f_mine) <= 1e-5 * max(1.0, abs(f_mine)), (name, f_ip, f_mine)
            t_ip = median_seconds(solve, repeat)
            cells[2], cells[4] = fmt(t_ip), times(t_ip / t_mine)
            verdicts.append((f"{name} vs a warm CasADi Opti with ipopt", t_ip / t_mine, 3.0))
        print(f"| {name} (f* {f_mine:.7f}) | " + " | ".join(cells) + " |")
    print()
    print("| target | ratio | wanted | status |")
    print("| --- | --- | --- | --- |")
    for what, ratio, wanted in verdicts:
        print(f"| {what} | {times(ratio)} | >= {wanted:.0f}x | {'met' if ratio >= wanted else 'missed'} |")
    print()
    print("| Hessian, 50-node loss over 8 Parameters | median | vs quoril |")
    print("| --- | --- | --- |")
    rows = hessian_rows(repeat * 10)
    for who, t in rows:
        print(f"| {who} | {fmt(t)} | {times(t / rows[0][1])} |")


if __name__ == "__main__":
    main()

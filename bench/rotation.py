"""Rotations: what the smooth formulas cost against the same formulas written
with sqrt, sin and cos, and a camera-pose solve against SciPy and CasADi.

    ./dev run python3 bench/rotation.py [--repeat N]

Prints medians in markdown tables and whether each target is met: building
and evaluating `rotate` within 2x of Rodrigues' formula over the existing
operations (which is not finite at no rotation, so both are timed away from
it), and the perspective-n-point solve of examples/camera_pose.py faster
than SciPy's least_squares over Rotation with finite differences. CasADi is
optional: without it its row is left out and the output says so. Every peer
must reach the same pose before it is timed.
"""

import argparse
import math

import numpy as np
import scipy.optimize
from scipy.spatial.transform import Rotation

import quoril as q
from quoril import rotate, transform
from timing import fmt, median_seconds, optional_peers

(casadi,) = optional_peers("casadi")


def composed_rotate(v, w):
    """Rodrigues' formula over sqrt, sin and cos, as a user would write it."""
    s = q.dot(w, w)
    theta = q.sqrt(s)
    wv = q.cross(w, v)
    return v + (q.sin(theta) / theta) * wv + ((1.0 - q.cos(theta)) / s) * q.cross(w, wv)


def node_count(output):
    return q.describe(output, values=False, max_nodes=10**6).count("\n") + 1


def rotate_rows(repeat):
    """(workload, smooth, composed, ratio) for building, evaluating and
    differentiating one rotation, and for a chain of 100 of them."""
    w = q.Parameter(0.3, -0.7, 1.1)
    v = q.Parameter(0.4, -1.3, 2.2)
    rows = []
    smooth, composed = rotate(v, w), composed_rotate(v, w)
    gap = np.max(np.abs(np.subtract(smooth.eval(), composed.eval())))
    assert gap < 1e-14, f"rotate and the composed formula differ by {gap}"
    rows.append(("nodes of one rotation", node_count(smooth), node_count(composed)))
    for label, build in (("build one rotation", lambda f: f(v, w)),
                         ("build a chain of 100", lambda f: chain(f, v, w, 100))):
        times = [median_seconds(lambda f=f: build(f), repeat) for f in (rotate, composed_rotate)]
        rows.append((label, *times))
    for label, length in (("one rotation", 1), ("a chain of 100", 100)):
        graphs = [chain(f, v, w, length) for f in (rotate, composed_rotate)]
        programs = [q.JacobianProgram(g, [w, v]) for g in graphs]
        rows.append((f"eval(), {label}", *[median_seconds(g.eval, repeat) for g in graphs]))
        rows.append((f"values and Jacobian, {label}",
                     *[median_seconds(p.value_and_jacobian, repeat) for p in programs]))
    return rows


def chain(f, v, w, length):
    out = v
    for _ in range(length):
        out = f(out, w)
    return out


# --- the camera pose of examples/camera_pose.py -------------------------------

POINTS, SEED, NOISE, FOCAL, CENTRE = 30, 7, 0.5, 800.0, np.array([320.0, 240.0])
TRUE_W, TRUE_T, START_T = (0.25, -0.4, 0.15), (0.3, -0.2, 6.0), (0.0, 0.0, 5.0)
START_W = (0.0, 0.0, 0.0)
TOL = dict(xtol=1e-15, ftol=1e-15, gtol=1e-15)


def project(camera):
    return FOCAL * camera[:, :2] / camera[:, 2:3] + CENTRE


def scene():
    rng = np.random.default_rng(SEED)
    world = rng.uniform([-2.0, -1.5, -1.0], [2.0, 1.5, 1.0], size=(POINTS, 3))
    camera = Rotation.from_rotvec(TRUE_W).apply(world) + np.array(TRUE_T)
    return world, project(camera) + rng.normal(0.0, NOISE, size=(POINTS, 2))


def pose_solvers():
    """name -> (solve from the start, returning the pose as 6 numbers)."""
    world, pixels = scene()
    w, t = q.Parameter(*START_W), q.Parameter(*START_T)
    residuals = []
    for point, pixel in zip(world, pixels):
        c = transform(point.tolist(), w, t)
        residuals.append(FOCAL * q.vec2(c.x / c.z, c.y / c.z) + (CENTRE - pixel).tolist())

    def ours():
        w.set_value(START_W)
        t.set_value(START_T)
        q.least_squares(residuals, [w, t], **TOL)
        return np.array([*w.value, *t.value])

    def fun(x):
        return (project(Rotation.from_rotvec(x[:3]).apply(world) + x[3:]) - pixels).ravel()

    def scipy_fd():
        start = np.array([*START_W, *START_T])
        return scipy.optimize.least_squares(fun, start, method="trf", **TOL).x

    solvers = {"quoril (native LM, exact Jacobian)": ours,
               "SciPy trf, Rotation, finite differences": scipy_fd}
    if casadi is not None:
        solvers["CasADi Opti + ipopt"] = casadi_solver(world, pixels)
    return solvers


def casadi_solver(world, pixels):
    opti = casadi.Opti()
    x = opti.variable(6)
    w, t = x[:3], x[3:]
    theta2 = casadi.dot(w, w) + 1e-300  # ipopt starts at no rotation too
    theta = casadi.sqrt(theta2)
    cost = 0
    for point, pixel in zip(world, pixels):
        p = casadi.DM(point)
        wp = casadi.cross(w, p)
        c = (p + casadi.sin(theta) / theta * wp
             + (1 - casadi.cos(theta)) / theta2 * casadi.cross(w, wp) + t)
        r = FOCAL * casadi.vertcat(c[0] / c[2], c[1] / c[2]) + CENTRE - pixel
        cost += casadi.dot(r, r)
    opti.minimize(0.5 * cost)
    opti.solver("ipopt", {"print_time": False}, {"print_level": 0, "tol": 1e-10})

    def solve():
        opti.set_initial(x, [*START_W, *START_T])
        return np.array(opti.solve().value(x)).ravel()

    return solve


def pose_rows(repeat):
    solvers = pose_solvers()
    reference = solvers["quoril (native LM, exact Jacobian)"]()
    rows = []
    for name, solve in solvers.items():
        gap = float(np.max(np.abs(solve() - reference)))
        assert gap <= 1e-8, f"{name} found another pose ({gap:.1e} away)"
        rows.append((name, median_seconds(solve, repeat), gap))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=200)
    args = parser.parse_args()
    rows = rotate_rows(args.repeat)
    print("| rotate | smooth | with sqrt, sin, cos | ratio |")
    print("|---|---:|---:|---:|")
    gaps = []
    for label, ours, theirs in rows:
        if isinstance(ours, int):
            print(f"| {label} | {ours} | {theirs} | {ours / theirs:.2f} |")
            continue
        ratio = ours / theirs
        if ratio > 2.0:
            gaps.append(label)
        print(f"| {label} | {fmt(ours)} | {fmt(theirs)} | {ratio:.2f}x |")

    print("\n| camera pose, 30 points, from no rotation | time | pose difference |")
    print("|---|---:|---:|")
    pose = pose_rows(max(5, args.repeat // 20))
    for name, seconds, gap in pose:
        print(f"| {name} | {fmt(seconds)} | {gap:.1e} |")
    if casadi is None:
        print("(CasADi not installed: its row is left out)")
    ours = pose[0][1]
    scipy_time = pose[1][1]
    if ours >= scipy_time:
        gaps.append("camera pose vs SciPy")
    print(f"\nrotate within 2x of the composed formula, pose solve faster than SciPy: "
          f"{'all targets met' if not gaps else 'GAP: ' + ', '.join(gaps)}")


if __name__ == "__main__":
    main()

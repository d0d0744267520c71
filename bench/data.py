"""W8: a model written once and run over arrays of data, against NumPy,
CasADi's mapped Functions and torch.func.vmap, and solves over 10^5 rows
against SciPy and against one graph per point.

    ./dev run python3 bench/data.py [--quick] [--repeat N] [--memory-1e6]

Prints one markdown table of per-row costs and ratios, each target marked
"met" or "GAP". Implementations take turns repetition by repetition;
figures are medians. Solves and their peak memory run in child processes of
their own, so that each one's high-water mark is its own.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from types import SimpleNamespace
from typing import Callable, NamedTuple

import numpy as np
import scipy.optimize

import quoril as q

NUMPY = SimpleNamespace(exp=np.exp, sin=np.sin, sqrt=np.sqrt)
QUORIL = SimpleNamespace(exp=q.exp, sin=q.sin, sqrt=q.sqrt)
torch = casadi = TORCH = CASADI = None


def load_peers():
    """Imports the peers that are installed; until then every row runs
    without them (so the harness's tests need neither)."""
    global torch, casadi, TORCH, CASADI
    os.environ.setdefault("UCX_LOG_LEVEL", "fatal")
    try:
        import torch
        # The peers run on one thread, as the other workloads run them: the
        # machine has two cores, shared, and a pool spinning beside the
        # timed call only measures the neighbours (bench/README.md,
        # "Interleaving").
        torch.set_num_threads(1)
        TORCH = SimpleNamespace(exp=torch.exp, sin=torch.sin, sqrt=torch.sqrt)
    except ImportError:
        torch = None
    try:
        import casadi
        CASADI = SimpleNamespace(exp=casadi.exp, sin=casadi.sin, sqrt=casadi.sqrt)
    except ImportError:
        casadi = None


# --- Models -------------------------------------------------------------------
# Each is written once over `ops`, a parameter vector `x` and one row's data
# `d`, so every implementation computes the same formula.

def damped_sinusoid(x, d, ops):
    t, y = d
    return x[0] * ops.exp(-x[1] * t) * ops.sin(x[2] * t + x[3]) - y


def gaussian_peak(x, d, ops):
    t, y = d
    u = (t - x[1]) / x[2]
    return x[0] * ops.exp(-0.5 * u * u) + (x[3] + x[4] * t) - y


def sphere(x, d, ops):
    px, py, pz = d
    dx, dy, dz = px - x[0], py - x[1], pz - x[2]
    return ops.sqrt(dx * dx + dy * dy + dz * dz) - x[3]


class Model(NamedTuple):
    name: str
    formula: Callable
    truth: tuple
    start: tuple
    data: Callable  # data(n) -> tuple of float64 arrays of shape (n,)


def curve(formula, truth, noise):
    def data(n):
        rng = np.random.default_rng(n)
        t = np.linspace(0.0, 10.0, n)
        y = formula(truth, (t, 0.0), NUMPY) + noise * rng.standard_normal(n)
        return t, y
    return data


def sphere_points(n):
    rng = np.random.default_rng(n)
    u = rng.standard_normal((n, 3))
    u /= np.linalg.norm(u, axis=1, keepdims=True)
    points = np.array([0.5, -1.0, 2.0]) + 3.0 * u + 0.01 * rng.standard_normal((n, 3))
    return tuple(points[:, k].copy() for k in range(3))


MODELS = [
    Model("damped sinusoid", damped_sinusoid, (2.5, 0.3, 2.0, 0.4), (2.1, 0.1, 2.02, 0.0),
          curve(damped_sinusoid, (2.5, 0.3, 2.0, 0.4), 0.02)),
    Model("Gaussian peak + line", gaussian_peak, (3.0, 5.0, 0.8, 0.5, 0.05),
          (2.5, 4.8, 1.0, 0.3, 0.0), curve(gaussian_peak, (3.0, 5.0, 0.8, 0.5, 0.05), 0.02)),
    Model("sphere", sphere, (0.5, -1.0, 2.0, 3.0), (0.3, -0.8, 1.7, 2.5), sphere_points),
]


# --- One model, every implementation -----------------------------------------

class Implementations:
    """The model as a q.Function and as each peer's idiom for many rows."""

    def __init__(self, model, n):
        self.model, self.n = model, n
        self.data = model.data(n)
        self.x = np.array(model.truth, dtype=np.float64)
        self.params = [q.Parameter(v) for v in model.truth]
        leaves = [q.Undefined(name=f"d{k}") for k in range(len(self.data))]
        self.function = q.Function(leaves, model.formula(self.params, leaves, QUORIL))
        if casadi is not None:
            x = casadi.SX.sym("x", len(model.truth))
            d = [casadi.SX.sym(f"d{k}") for k in range(len(self.data))]
            r = model.formula(x, d, CASADI)
            self.casadi_values = casadi.Function("r", [x, *d], [r]).map(n)
            self.casadi_jacobian = casadi.Function("j", [x, *d], [casadi.jacobian(r, x)]).map(n)
            self.casadi_data = [casadi.DM(a.reshape(1, -1)) for a in self.data]
        if torch is not None:
            formula = model.formula
            self.torch_data = [torch.from_numpy(a) for a in self.data]
            self.torch_jacobian = torch.func.vmap(
                torch.func.jacrev(lambda x, *d: formula(x, d, TORCH)),
                in_dims=(None,) + (0,) * len(self.data))
            self.torch_x = torch.from_numpy(self.x)

    def calls(self):
        """Name -> call returning (N, ...) float64 results to compare."""
        f, params = self.function, self.params
        calls = {
            "numpy": lambda: self.model.formula(self.x, self.data, NUMPY),
            "f": lambda: f(*self.data),
            "f.jacobian": lambda: f.jacobian(*self.data, params=params),
        }
        if casadi is not None:
            calls["casadi map"] = lambda: self.casadi_values(self.x, *self.casadi_data).full()
            calls["casadi map jacobian"] = lambda: self.casadi_jacobian(
                self.x, *self.casadi_data).full()
        if torch is not None:
            calls["torch vmap(jacrev)"] = lambda: self.torch_jacobian(
                self.torch_x, *self.torch_data).numpy()
        return calls

    def check(self, results):
        n, p = self.n, len(self.x)
        values = results["f"].reshape(n)
        np.testing.assert_allclose(values, results["numpy"], rtol=1e-12, atol=1e-12)
        jacobian = results["f.jacobian"].reshape(n, p)
        if "casadi map" in results:
            np.testing.assert_allclose(results["casadi map"].reshape(n), values, rtol=1e-12, atol=1e-12)
            # A mapped 1 x P jacobian comes out as 1 x (N * P), row by row.
            np.testing.assert_allclose(results["casadi map jacobian"].reshape(n, p), jacobian,
                                       rtol=1e-10, atol=1e-12)
        if "torch vmap(jacrev)" in results:
            np.testing.assert_allclose(results["torch vmap(jacrev)"].reshape(n, p), jacobian,
                                       rtol=1e-10, atol=1e-12)


def time_rows(model, n, repeat):
    """Median seconds per call of each implementation, taking turns."""
    impl = Implementations(model, n)
    calls = impl.calls()
    impl.check({name: call() for name, call in calls.items()})
    times = {name: [] for name in calls}
    names = list(calls)
    for k in range(repeat):
        for name in names[k % len(names):] + names[:k % len(names)]:
            begin = time.perf_counter()
            calls[name]()
            times[name].append(time.perf_counter() - begin)
    return {name: statistics.median(ts) for name, ts in times.items()}


# --- Solves, each in a child process ------------------------------------------

def memory_kib(field):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))


def reset_peak():
    """Starts the high-water mark afresh at the current resident size, so
    that the peak measured is the solve's and not the data's making."""
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
    except OSError:
        pass


def child_solve(model_name, n, form):
    """One solve of `form` from the model's start; its seconds (build
    included), its cost, and the peak memory above that after the data."""
    model = next(m for m in MODELS if m.name == model_name)
    data = model.data(n)
    x0 = np.array(model.start, dtype=np.float64)
    reset_peak()
    base = memory_kib("VmRSS")
    begin = time.perf_counter()
    if form == "data":
        params = [q.Parameter(v) for v in model.start]
        leaves = [q.Undefined(name=f"d{k}") for k in range(len(data))]
        r = model.formula(params, leaves, QUORIL)
        result = q.least_squares(r, params, data=dict(zip(leaves, data)))
        cost = result.cost
    elif form == "graphs":
        params = [q.Parameter(v) for v in model.start]
        rows = zip(*(a.tolist() for a in data))
        residuals = [model.formula(params, row, QUORIL) for row in rows]
        cost = q.least_squares(residuals, params).cost
    elif form == "scipy fd":
        cost = scipy.optimize.least_squares(lambda x: model.formula(x, data, NUMPY), x0).cost
    elif form == "scipy casadi":
        x = casadi.SX.sym("x", x0.size)
        d = [casadi.SX.sym(f"d{k}") for k in range(len(data))]
        r = model.formula(x, d, CASADI)
        values = casadi.Function("r", [x, *d], [r]).map(n)
        jacobian = casadi.Function("j", [x, *d], [casadi.jacobian(r, x)]).map(n)
        rows = [casadi.DM(a.reshape(1, -1)) for a in data]
        cost = scipy.optimize.least_squares(
            lambda x: values(x, *rows).full().reshape(n), x0,
            jac=lambda x: jacobian(x, *rows).full().reshape(n, x0.size)).cost
    seconds = time.perf_counter() - begin
    return {"seconds": seconds, "cost": float(cost), "peak_mib": (memory_kib("VmHWM") - base) / 1024}


def run_child(model, n, form):
    out = subprocess.run([sys.executable, __file__, "--child", json.dumps([model.name, n, form])],
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def status(ok):
    return "met" if ok else "GAP"


def ns(seconds, n):
    return f"{seconds / n * 1e9:,.1f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="N up to 10^5, fewer repetitions")
    parser.add_argument("--repeat", type=int, default=None)
    parser.add_argument("--memory-1e6", action="store_true",
                        help="also the solves' peak memory at 10^6 rows against one graph per "
                             "point (several GiB and minutes for the graphs)")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child is not None:
        # Only the form that needs a peer imports it: an import's own peak
        # would hide the solve's.
        model, n, form = json.loads(args.child)
        if form == "scipy casadi":
            load_peers()
        print(json.dumps(child_solve(model, n, form)))
        return
    load_peers()
    sizes = [10**3, 10**5] if args.quick else [10**3, 10**5, 10**6]
    print(f"load average before: {os.getloadavg()[0]:.2f}, cores: {os.cpu_count()}; "
          f"torch {'threads 1' if torch else 'not installed'}, "
          f"casadi {casadi.__version__ if casadi else 'not installed'}\n")
    print("| model | N | what | quoril | peer | ratio | target | status |")
    print("|---|---|---|---|---|---|---|---|")
    gaps = 0

    def row(model, n, what, ours, peer, ratio, target, ok):
        nonlocal gaps
        gaps += not ok
        print(f"| {model} | {n:.0e} | {what} | {ours} | {peer} | {ratio} | {target} | {status(ok)} |")

    for model in MODELS:
        per_row = {}
        for n in sizes:
            repeat = args.repeat or max(5, min(41, int(3e6 / n)) if not args.quick else 5)
            t = time_rows(model, n, repeat)
            per_row[n] = t
            ratio = t["f"] / t["numpy"]
            row(model.name, n, "f(*arrays), ns/row vs NumPy", ns(t["f"], n), ns(t["numpy"], n),
                f"{ratio:.2f}x", "<= 3x", ratio <= 3)
            if "casadi map" in t:
                ratio = t["f"] / t["casadi map"]
                row(model.name, n, "f(*arrays) vs CasADi map(N) + .full()", ns(t["f"], n),
                    ns(t["casadi map"], n), f"{ratio:.2f}x", "< 1x", ratio < 1)
                ratio = t["f.jacobian"] / t["casadi map jacobian"]
                row(model.name, n, "f.jacobian vs CasADi mapped jacobian", ns(t["f.jacobian"], n),
                    ns(t["casadi map jacobian"], n), f"{ratio:.2f}x", "< 1x", ratio < 1)
            if "torch vmap(jacrev)" in t:
                ratio = t["torch vmap(jacrev)"] / t["f.jacobian"]
                row(model.name, n, "f.jacobian vs torch vmap(jacrev), speed-up", ns(t["f.jacobian"], n),
                    ns(t["torch vmap(jacrev)"], n), f"{ratio:.1f}x", ">= 10x", ratio >= 10)
        for what in ("f", "f.jacobian"):
            costs = [per_row[n][what] / n for n in sizes]
            spread = max(costs) / min(costs)
            row(model.name, sizes[-1], f"{what}: cost per row, max/min over N", "", "",
                f"{spread:.2f}x", "<= 1.5x", spread <= 1.5)

    n = 10**5
    for model in MODELS:
        ours = run_child(model, n, "data")
        peers = {"scipy fd": (3, "SciPy least_squares, finite differences"),
                 "graphs": (10, "one graph per point, build included")}
        if casadi is not None:
            peers["scipy casadi"] = (1, "SciPy least_squares, CasADi's Jacobian")
        for form, (target, what) in peers.items():
            peer = run_child(model, n, form)
            ratio = peer["seconds"] / ours["seconds"]
            same = abs(peer["cost"] - ours["cost"]) <= 1e-8 * max(1.0, abs(ours["cost"]))
            label = f"solve vs {what}, speed-up" + ("" if same else " (costs differ!)")
            row(model.name, n, label, f"{ours['seconds'] * 1e3:,.1f} ms",
                f"{peer['seconds'] * 1e3:,.1f} ms", f"{ratio:.1f}x",
                f">= {target}x" if target > 1 else "> 1x", ratio >= target and same)
            if form == "graphs":
                ratio = peer["peak_mib"] / max(ours["peak_mib"], 1e-3)
                row(model.name, n, "peak memory vs one graph per point",
                    f"{ours['peak_mib']:,.1f} MiB", f"{peer['peak_mib']:,.1f} MiB",
                    f"{ratio:.1f}x", ">= 10x", ratio >= 10)
    sizes = [10**6] if args.memory_1e6 else []
    for n in sizes:
        for model in MODELS:
            ours, graphs = run_child(model, n, "data"), run_child(model, n, "graphs")
            ratio = graphs["peak_mib"] / max(ours["peak_mib"], 1e-3)
            row(model.name, n, "peak memory vs one graph per point",
                f"{ours['peak_mib']:,.1f} MiB", f"{graphs['peak_mib']:,.1f} MiB",
                f"{ratio:.1f}x", ">= 10x", ratio >= 10)
            ratio = graphs["seconds"] / ours["seconds"]
            row(model.name, n, "solve vs one graph per point, build included, speed-up",
                f"{ours['seconds'] * 1e3:,.1f} ms", f"{graphs['seconds'] * 1e3:,.1f} ms",
                f"{ratio:.1f}x", ">= 10x", ratio >= 10)
    print(f"\nload average after: {os.getloadavg()[0]:.2f}; targets not met: {gaps}")


if __name__ == "__main__":
    main()

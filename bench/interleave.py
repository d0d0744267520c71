"""Why the package's small solves slow down in a process that also runs
PyTorch, CasADi and SciPy: the 100-point damped-sinusoid solve and its
q.jacobian, timed alone and after each peer's work, each setting in a
process of its own.

    ./dev run python3 bench/interleave.py [--repeat N]

One child per row of the table; a child runs the peers' work named by its
row, then times q.least_squares and q.jacobian (medians), with the
process's CPU time split into user and system and its context switches, so
that threads spinning beside ours show as CPU time that is not ours.
"""

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time

CHILD = "--child"

# Each row: its label, the environment it adds, and the peers' work run
# before (and between) the timed calls.
SETTINGS = [
    ("alone", {}, []),
    ("after SciPy least_squares", {}, ["scipy"]),
    ("after PyTorch, CasADi, SciPy", {}, ["torch", "casadi", "scipy"]),
    ("interleaved with PyTorch, CasADi, SciPy", {}, ["torch", "casadi", "scipy", "between"]),
    ("interleaved, torch.set_num_threads(1)", {}, ["torch1", "casadi", "scipy", "between"]),
    ("interleaved, OMP_NUM_THREADS=1", {"OMP_NUM_THREADS": "1"},
     ["torch", "casadi", "scipy", "between"]),
    ("interleaved, OMP/OPENBLAS_NUM_THREADS=1", {"OMP_NUM_THREADS": "1", "OPENBLAS_NUM_THREADS": "1"},
     ["torch", "casadi", "scipy", "between"]),
    ("interleaved, torch threads 1, OPENBLAS_NUM_THREADS=1", {"OPENBLAS_NUM_THREADS": "1"},
     ["torch1", "casadi", "scipy", "between"]),
    ("interleaved with writing 32 MB, no peer", {}, ["sweep", "between"]),
    ("interleaved, torch threads 1, malloc keeps its memory",
     {"MALLOC_TRIM_THRESHOLD_": "268435456", "MALLOC_MMAP_THRESHOLD_": "268435456",
      "MALLOC_TOP_PAD_": "67108864"}, ["torch1", "casadi", "scipy", "between"]),
]


def child(work, repeat):
    import numpy as np
    import scipy.optimize

    import quoril as q

    rng = np.random.default_rng(5)
    t = np.linspace(0.0, 10.0, 100)
    y = 1.5 * np.exp(-0.3 * t) * np.sin(2.0 * t + 0.1) + 0.01 * rng.standard_normal(100)
    params = [q.Parameter(v) for v in (1.0, 0.2, 1.9, 0.0)]
    a, b, w, p = params
    residuals = [a * q.exp(-b * ti) * q.sin(w * ti + p) - yi for ti, yi in zip(t.tolist(), y.tolist())]
    start = [1.0, 0.2, 1.9, 0.0]

    def model(x):
        return x[0] * np.exp(-x[1] * t) * np.sin(x[2] * t + x[3]) - y

    peers = []
    if "torch" in work or "torch1" in work:
        import torch
        if "torch1" in work:
            torch.set_num_threads(1)
        tt, ty = torch.from_numpy(t), torch.from_numpy(y)

        def torch_work():
            x = torch.tensor(start, dtype=torch.float64)
            jac = torch.func.jacrev(lambda x: x[0] * torch.exp(-x[1] * tt) * torch.sin(x[2] * tt + x[3]) - ty)
            for _ in range(20):
                jac(x)
            m = torch.randn(200, 200, dtype=torch.float64)
            (m @ m).sum()
        peers.append(torch_work)
    if "casadi" in work:
        import casadi
        xs = casadi.SX.sym("x", 4)
        expr = xs[0] * casadi.exp(-xs[1] * casadi.DM(t)) * casadi.sin(xs[2] * casadi.DM(t) + xs[3]) - casadi.DM(y)
        fj = casadi.Function("j", [xs], [casadi.jacobian(expr, xs)])

        def casadi_work():
            for _ in range(20):
                fj(start).full()
        peers.append(casadi_work)
    if "sweep" in work:
        block = np.empty(4 << 20)

        def sweep_work():
            # Evicts every cache level without a thread or an allocation.
            block.fill(1.0)
        peers.append(sweep_work)
    if "scipy" in work:
        def scipy_work():
            scipy.optimize.least_squares(model, start)
        peers.append(scipy_work)
    between = "between" in work
    for peer in peers:
        peer()

    def solve():
        for param, value in zip(params, start):
            param.set_value(value)
        q.least_squares(residuals, params)

    def jacobian():
        q.jacobian(residuals, params)

    # The same model written once over the data.
    tu, yu = q.Undefined(name="t"), q.Undefined(name="y")
    function = q.Function([tu, yu], a * q.exp(-b * tu) * q.sin(w * tu + p) - yu)

    def row_jacobian():
        function.jacobian(t, y, params=params)

    def timed(call):
        times = []
        for _ in range(repeat):
            if between:
                for peer in peers:
                    peer()
            begin = time.perf_counter()
            call()
            times.append(time.perf_counter() - begin)
        return statistics.median(times)

    solve()
    usage = resource.getrusage(resource.RUSAGE_SELF)
    solve_s = timed(solve)
    jacobian_s = timed(jacobian)
    row_jacobian_s = timed(row_jacobian)
    after = resource.getrusage(resource.RUSAGE_SELF)
    with open("/proc/self/status") as status:
        threads = next(int(line.split()[1]) for line in status if line.startswith("Threads:"))
    return {
        "solve_us": solve_s * 1e6,
        "jacobian_us": jacobian_s * 1e6,
        "row_jacobian_us": row_jacobian_s * 1e6,
        "threads": threads,
        "user_s": after.ru_utime - usage.ru_utime,
        "system_s": after.ru_stime - usage.ru_stime,
        "involuntary_switches": after.ru_nivcsw - usage.ru_nivcsw,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=41)
    parser.add_argument(CHILD, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child is not None:
        print(json.dumps(child(args.child.split(","), args.repeat)))
        return
    print(f"load average before: {os.getloadavg()[0]:.2f}, cores: {os.cpu_count()}\n")
    print("| setting | solve (µs) | q.jacobian (µs) | f.jacobian (µs) | threads | user s | system s | preempted |")
    print("|---|---|---|---|---|---|---|---|")
    for label, env, work in SETTINGS:
        out = subprocess.run(
            [sys.executable, __file__, "--repeat", str(args.repeat), CHILD, ",".join(work) or "none"],
            env={**os.environ, **env}, capture_output=True, text=True, check=True)
        r = json.loads(out.stdout.strip().splitlines()[-1])
        print(f"| {label} | {r['solve_us']:.0f} | {r['jacobian_us']:.1f} | {r['row_jacobian_us']:.1f} | {r['threads']} "
              f"| {r['user_s']:.2f} | {r['system_s']:.2f} | {r['involuntary_switches']} |")
    print(f"\nload average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()

"""Alternating before/after runs of two builds of the module: the core's
evaluate and backward benchmarks, bench/scaling.py and the W5 chain, each in
a fresh process, the builds taking turns round by round so that drift of
the machine falls on both. Prints one Markdown table of medians with the
range over rounds, ns per node (bytes per node for the chain's memory).

usage: python3 bench/ab.py BEFORE_BUILD AFTER_BUILD [--rounds N] [--quick]

A build is a CMake build directory configured with
-DQUORIL_BUILD_BENCHMARKS=ON (its python/ and bench/quoril_core_bench).
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SIZES = (10_000, 100_000, 1_000_000)


def core(build, sizes):
    sizes = "|".join(str(s) for s in sizes)
    out = subprocess.run(
        [os.path.join(build, "bench", "quoril_core_bench"),
         f"--benchmark_filter=BM_(Evaluate|Backward)/.*/({sizes})$",
         "--benchmark_format=json", "--benchmark_min_time=0.3s"],
        check=True, capture_output=True, text=True).stdout
    figures = {}
    for row in json.loads(out)["benchmarks"]:
        # BM_Evaluate/scalar/10000 -> core scalar/10000/evaluate
        phase, shape, size = row["name"].split("/")
        figures[f"core {shape}/{size}/{phase[3:].lower()}"] = row["ns_per_node"] * 1e9
    return figures


def python(build, script, *args):
    env = dict(os.environ, PYTHONPATH=os.path.join(build, "python"))
    out = subprocess.run([sys.executable, os.path.join(HERE, script), *args],
                         check=True, capture_output=True, text=True, env=env).stdout
    return json.loads(out)


def chain(build, nodes):
    result = python(build, "chain.py", "quoril", str(nodes))
    figures = result["figures"]
    rows = {f"W5 chain/{nodes}/{phase}": figures[phase] / nodes
            for phase in ("build", "eval", "backward", "release")}
    for memory in ("held_bytes", "peak_bytes", "after_release_bytes"):
        rows[f"W5 chain/{nodes}/{memory} (bytes)"] = figures[memory] / nodes
    return rows


def one_round(build, sizes, chain_nodes):
    figures = core(build, sizes)
    figures.update({f"py {k}": v for k, v in python(
        build, "scaling.py", "--sizes", ",".join(map(str, sizes))).items()})
    figures.update(chain(build, chain_nodes))
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="10k and 100k only")
    args = parser.parse_args()
    sizes = SIZES[:2] if args.quick else SIZES
    chain_nodes = 200_000 if args.quick else 1_000_000
    runs = {"before": [], "after": []}
    for n in range(args.rounds):
        order = ("before", "after") if n % 2 == 0 else ("after", "before")
        for side in order:
            runs[side].append(one_round(getattr(args, side), sizes, chain_nodes))
            print(f"round {n + 1} {side} done", file=sys.stderr)

    def cell(side, key):
        values = [r[key] for r in runs[side]]
        return statistics.median(values), min(values), max(values)

    print("| per node | before | after | after/before |")
    print("|---|---:|---:|---:|")
    for key in runs["before"][0]:
        b, a = cell("before", key), cell("after", key)
        print(f"| {key} | {b[0]:.1f} ({b[1]:.0f}-{b[2]:.0f}) "
              f"| {a[0]:.1f} ({a[1]:.0f}-{a[2]:.0f}) | {a[0] / b[0] if b[0] else float("nan"):.2f} |")


if __name__ == "__main__":
    main()

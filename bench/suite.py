"""Times _quoril against its peers on every workload and prints one Markdown
table, also written to bench/results.md.

Implementations take turns repetition by repetition (the order rotating), so
a slow phase of the machine falls on all of them; each figure is the median
over the repetitions. Every run's values, gradients and node counts are
checked against the pure-Python engine before any figure is reported, and
the script exits with 1 if one disagrees.

usage: python3 bench/suite.py [--quick] [--core-bench BINARY] [--out FILE]
                             [--only graphs|fit|chain|ops|core ...]
"""

import argparse
import datetime
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import time

import peers
import workloads

HERE = os.path.dirname(os.path.abspath(__file__))

# Column order of the table; the first is the one every ratio divides by.
COLUMNS = ("_quoril", "PyTorch", "CasADi", "pure Python")
PEER_KEYS = ("quoril", "torch", "casadi", "pure")


class Settings:
    def __init__(self, quick):
        self.quick = quick
        self.sizes = (10_000,) if quick else (10_000, 100_000)
        self.repeats = {10_000: 3, 100_000: 1} if quick else {10_000: 9, 100_000: 5}
        self.fit_repeats = 3 if quick else 7
        self.chain_nodes = 200_000 if quick else 1_000_000
        self.chain_repeats = 1 if quick else 3
        # The per-operation graphs are small and close to each other, so they
        # take more turns.
        self.op_repeats = 5 if quick else 15


def log(message):
    print(message, file=sys.stderr, flush=True)


def size_label(size):
    return f"{size // 1_000_000}M" if size % 1_000_000 == 0 else f"{size // 1000}k"


def rotated(items, turn):
    turn %= len(items)
    return items[turn:] + items[:turn]


def now():
    return time.perf_counter_ns()


class Checks:
    """Collects disagreements; a benchmark whose results are wrong still
    reports its figures, marked, and fails the run."""

    def __init__(self):
        self.failures = []
        self.failed_cells = set()

    def expect(self, condition, row_group, label, message):
        if not condition:
            self.failures.append(f"{row_group} / {label}: {message}")
            self.failed_cells.add((row_group, label))


class Row:
    def __init__(self, workload, graph, unit, figures, group, note=""):
        self.workload = workload
        self.graph = graph
        self.unit = unit
        self.figures = figures  # column label -> float (None: not applicable)
        self.group = group  # key into Checks.failed_cells
        self.note = note


# What each row's figure means for the peers that do it differently.
NOTES = {
    "build": "pure: 3 scalar nodes per 3-lane op",
    "release": "pure: includes the gc.collect() that frees it",
    "eval": "PyTorch (no_grad), pure: forward re-run; CasADi: Function call",
    "eval_cold": "the first call after a gc.collect(); otherwise as W2 eval",
    "prepare_eval": "CasADi: Function creation",
    "backward": "CasADi: gradient Function call",
    "prepare_backward": "CasADi: gradient() and Function creation",
}


# ---------------------------------------------------------------------------
# W1-W3: building, evaluating, differentiating and releasing graphs


def run_graph_once(peer, program, iterations, want_count):
    times = {}

    def timed(phase, call, collect=True):
        """Runs call() once, after a collection unless told otherwise, and
        records its time under phase."""
        if collect:
            gc.collect()
        start = now()
        result = call()
        times[phase] = now() - start
        return result

    graph = timed("build", lambda: peer.build(program, iterations))
    count = peer.count(graph) if want_count else None
    if peer.prepares:
        timed("prepare_eval", lambda: peer.prepare_evaluate(graph))
    value, again = timed("eval_cold", lambda: peer.evaluate(graph))
    del again
    # A collection walks every tracked object and leaves the caches cold; the
    # call that follows is what re-evaluating a graph (after set_value, in a
    # loop) costs.
    repeated, again = timed("eval", lambda: peer.evaluate(graph), collect=False)
    del again
    if repeated != value:
        value = ("evaluating twice gave", value, repeated)
    if peer.prepares:
        timed("prepare_backward", lambda: peer.prepare_backward(graph))
    timed("backward", lambda: peer.backward(graph))
    gradients = peer.gradients(graph)
    timed("release", lambda: peer.release(graph))
    return times, value, gradients, count


def measure_graphs(program, size, repeats, loaded, checks):
    iterations = program.iterations(size)
    operations = program.ops_per_step * iterations
    nodes = program.nodes(iterations)
    graph = f"{program.title}, {size_label(size)}"
    group = f"{program.key}-{size_label(size)}"
    log(f"  {graph}: {repeats} repetitions")

    available = [peer for peer in loaded if peer.available]
    for peer in available:
        run_graph_once(peer, program, program.iterations(500), False)

    samples = {peer.label: {} for peer in available}
    outputs = {peer.label: [] for peer in available}
    counts = {}
    for turn in range(repeats):
        for peer in rotated(available, turn):
            times, value, gradients, count = run_graph_once(peer, program, iterations, turn == 0)
            for phase, elapsed in times.items():
                samples[peer.label].setdefault(phase, []).append(elapsed)
            outputs[peer.label].append((value, gradients))
            if count is not None:
                counts[peer.label] = count

    reference_value, reference_gradients = outputs["pure Python"][0]
    for peer in available:
        scalar_lanes = isinstance(peer, (peers.Casadi, peers.Pure))
        expected = program.scalar_nodes(iterations) if scalar_lanes else nodes
        checks.expect(
            counts[peer.label] == expected,
            group,
            peer.label,
            f"{counts[peer.label]} nodes, expected {expected}",
        )
        for value, gradients in outputs[peer.label]:
            checks.expect(
                peers.agree(reference_value, value),
                group,
                peer.label,
                f"value {value} differs from {reference_value}",
            )
            for name, expected_lanes in reference_gradients.items():
                checks.expect(
                    peers.agree(expected_lanes, gradients[name]),
                    group,
                    peer.label,
                    f"gradient of {name} {gradients[name]} differs from {expected_lanes}",
                )

    def per(phase, divisor):
        figures = {}
        for peer in available:
            phase_samples = samples[peer.label].get(phase)
            if phase_samples:
                figures[peer.label] = statistics.median(phase_samples) / divisor
        return figures

    def row(workload, phase, unit, divisor):
        return Row(workload, graph, unit, per(phase, divisor), group, NOTES[phase])

    return [
        row("W1 build", "build", "ns/op", operations),
        row("W1 release", "release", "ns/node", nodes),
        row("W2 eval", "eval", "ns/node", nodes),
        row("W2 eval, cold", "eval_cold", "ns/node", nodes),
        row("W2 prepare", "prepare_eval", "ns/node", nodes),
        row("W3 backward", "backward", "ns/node", nodes),
        row("W3 prepare", "prepare_backward", "ns/node", nodes),
    ]


# ---------------------------------------------------------------------------
# W6: the cost of each operation beside sin's, _quoril only

OP_SIZE = 10_000
OP_PHASES = ("build", "eval", "backward")


def measure_operations(quoril, repeats, checks):
    """Per-operation figures: {name: {phase: ns per operation}}, medians over
    repetitions in which the operations take turns."""
    programs = list(workloads.OPERATION_PROGRAMS)
    log(f"  {len(programs)} chains of 10k operations: {repeats} repetitions")
    for program in programs:
        run_graph_once(quoril, program, program.iterations(500), False)
    samples = {program.key: {phase: [] for phase in OP_PHASES} for program in programs}
    for turn in range(repeats):
        for program in rotated(programs, turn):
            iterations = program.iterations(OP_SIZE)
            times, value, gradients, count = run_graph_once(quoril, program, iterations, turn == 0)
            for phase in OP_PHASES:
                samples[program.key][phase].append(times[phase])
            name = program.key.removeprefix("op-")
            group = f"W6 {name}"
            expected_value, expected_gradients = workloads.operation_reference(name, iterations)
            if count is not None:
                nodes = program.nodes(iterations)
                checks.expect(count == nodes, group, "_quoril", f"{count} nodes, expected {nodes}")
            checks.expect(peers.agree(expected_value, value), group, "_quoril",
                          f"value {value} differs from {expected_value}")
            for leaf, lanes in expected_gradients.items():
                checks.expect(peers.agree(lanes, gradients[leaf]), group, "_quoril",
                              f"gradient of {leaf} {gradients[leaf]} differs from {lanes}")
    return {
        program.key.removeprefix("op-"): {
            phase: statistics.median(samples[program.key][phase]) / OP_SIZE
            for phase in OP_PHASES
        }
        for program in programs
    }


def own_cost(figures, name, phase):
    """What one node of the operation costs beside the chain's Multiply: a
    step costs two figures, of which the Multiply chain's one is the
    Multiply's."""
    return 2 * figures[name][phase] - figures["mul"][phase]


def render_operations(figures, checks):
    titles = {program.key.removeprefix("op-"): program.title
              for program in workloads.OPERATION_PROGRAMS}
    header = "| Operation | Graph | " + " | ".join(
        f"{phase} ns/op | vs sin | own vs sin" for phase in OP_PHASES) + " |"
    lines = [header, "|---|---|" + "---:|---:|---:|" * len(OP_PHASES)]
    sin = figures["sin"]
    for name, row in figures.items():
        wrong = " WRONG" if (f"W6 {name}", "_quoril") in checks.failed_cells else ""
        cells = [name + wrong, f"{titles[name]}, 10k"]
        for phase in OP_PHASES:
            own = "—"
            if name != "mul":
                own = f"{own_cost(figures, name, phase) / own_cost(figures, 'sin', phase):.2f}"
            cells += [format_figure(row[phase]), f"{row[phase] / sin[phase]:.2f}", own]
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def operation_target_lines(figures):
    """Every operation within 1.5x of sin's cost, phase by phase."""
    if not figures:
        return []
    sin = figures["sin"]
    lines = []
    for phase in OP_PHASES:
        worst = max((row[phase] / sin[phase], name) for name, row in figures.items()
                    if name != "mul")
        status = "met" if worst[0] <= 1.5 else "GAP"
        lines.append((f"W6 {phase}: every operation within 1.5x of sin (10k)",
                      f"{worst[0]:.2f}x at worst ({worst[1]})", status))
    return lines


# ---------------------------------------------------------------------------
# W4: fitting a model by gradient descent


def measure_fit(loaded, vectorised, repeats, checks):
    contenders = [peer for peer in loaded if peer.available]
    if vectorised.available:
        contenders.append(vectorised)
    data = workloads.fit_data()
    initial, steps, rate = workloads.FIT_START, workloads.FIT_STEPS, workloads.FIT_RATE
    arguments = (workloads.fit_loss, initial, data, steps, rate)
    log(f"  fit: {repeats} repetitions")
    for peer in contenders:
        peer.fit(workloads.fit_loss, initial, data[:10], 2, rate)

    samples = {peer.label: [] for peer in contenders}
    results = {peer.label: [] for peer in contenders}
    for turn in range(repeats):
        for peer in rotated(contenders, turn):
            gc.collect()
            start = now()
            fitted = peer.fit(*arguments)
            samples[peer.label].append(now() - start)
            results[peer.label].append(fitted)

    group = "fit"
    reference = results["pure Python"][0]
    for peer in contenders:
        for fitted in results[peer.label]:
            checks.expect(
                peers.agree(reference, fitted),
                group,
                peer.label,
                f"fitted parameters {fitted} differ from {reference}",
            )
    milliseconds = {label: statistics.median(times) / 1e6 for label, times in samples.items()}
    graph = f"{len(initial)} params, {len(data)} points, {steps} steps"
    scalar = {label: milliseconds[label] for label in COLUMNS if label in milliseconds}
    batched = {"_quoril": milliseconds.get("_quoril")}
    batched["PyTorch"] = milliseconds.get(vectorised.label)
    return [
        Row("W4 fit", graph, "ms", scalar, group, "PyTorch: 0-dim tensors"),
        Row("W4 fit", f"{graph}, vectorised", "ms", batched, group, "PyTorch: tensors of 200"),
    ]


# ---------------------------------------------------------------------------
# W5: one deep chain per fresh process


def run_chain(key, nodes):
    command = [sys.executable, os.path.join(HERE, "chain.py"), key, str(nodes)]
    completed = subprocess.run(command, capture_output=True, text=True, timeout=900)
    if completed.returncode != 0:
        tail = (completed.stderr.strip().splitlines() or ["(no output)"])[-1]
        return {"crashed": f"exit {completed.returncode}: {tail}"}
    return json.loads(completed.stdout)


def measure_chain(nodes, repeats, checks):
    graph = f"chain, {size_label(nodes)} nodes"
    group = "chain"
    log(f"  {graph}: {repeats} repetition(s), one process each")
    labels = dict(zip(PEER_KEYS, COLUMNS))
    runs = {key: [] for key in PEER_KEYS}
    missing = set()
    for turn in range(repeats):
        for key in rotated(list(PEER_KEYS), turn):
            if key in missing:
                continue
            outcome = run_chain(key, nodes)
            if "missing" in outcome:
                missing.add(key)
                continue
            runs[key].append(outcome)

    reference = next((r for r in runs["pure"] if "figures" in r), None)
    for key, outcomes in runs.items():
        for outcome in outcomes:
            label = labels[key]
            if "crashed" in outcome:
                checks.expect(False, group, label, f"crashed ({outcome['crashed']})")
                continue
            checks.expect(
                outcome["count"] == outcome["expected"],
                group,
                label,
                f"{outcome['count']} nodes, expected {outcome['expected']}",
            )
            if reference is None:
                continue
            checks.expect(
                peers.agree(reference["value"], outcome["value"]),
                group,
                label,
                f"value {outcome['value']} differs from {reference['value']}",
            )
            for name, lanes in reference["gradients"].items():
                checks.expect(
                    peers.agree(lanes, outcome["gradients"][name]),
                    group,
                    label,
                    f"gradient of {name} differs",
                )

    def per(figure, divisor=nodes):
        result = {}
        for key, outcomes in runs.items():
            values = [o["figures"][figure] for o in outcomes if figure in o.get("figures", {})]
            if values:
                result[labels[key]] = statistics.median(values) / divisor
        return result

    def row(workload, figure, unit="ns/node", note=None):
        note = NOTES[figure] if note is None else note
        return Row(workload, graph, unit, per(figure), group, note)

    return [
        row("W5 build", "build", note=""),
        row("W5 eval", "eval"),
        row("W5 eval prepare", "prepare_eval"),
        row("W5 backward", "backward"),
        row("W5 backward prepare", "prepare_backward"),
        row("W5 release", "release"),
        row("W5 memory held", "held_bytes", "bytes/node", "resident growth, graph alive"),
        row("W5 memory peak", "peak_bytes", "bytes/node", "high-water mark, build to backward"),
    ]


# ---------------------------------------------------------------------------
# The core's own benchmark, when it was built


def run_core_bench(binary, quick):
    if not binary or not os.access(binary, os.X_OK):
        return None, f"core benchmark not run: {binary or 'no binary given'} is not built"
    command = [binary, "--benchmark_format=json"]
    if quick:
        command += ["--benchmark_filter=/(10000|100000)$", "--benchmark_min_time=0.1s"]
    log(f"  {' '.join(command)}")
    completed = subprocess.run(command, capture_output=True, text=True, timeout=900)
    if completed.returncode != 0:
        return None, f"core benchmark failed with exit {completed.returncode}"
    rows = []
    for entry in json.loads(completed.stdout)["benchmarks"]:
        seconds_per_node = entry.get("ns_per_node")
        if seconds_per_node is None:
            continue
        # The counter is an inverted rate: seconds per node.
        rows.append((entry["name"], seconds_per_node * 1e9, entry.get("items_per_second")))
    return rows, None


# ---------------------------------------------------------------------------
# Targets the team set itself; reported, never enforced.


def find(rows, workload, graph_part=None):
    return [
        row
        for row in rows
        if row.workload == workload and (graph_part is None or graph_part in row.graph)
    ]


def ratio(row, label):
    mine, theirs = row.figures.get("_quoril"), row.figures.get(label)
    if not mine or theirs is None:
        return None
    return theirs / mine


def worst_ratio(rows, label):
    """The smallest ratio of label to _quoril over rows, with its graph."""
    pairs = [(ratio(row, label), row.graph) for row in rows if ratio(row, label) is not None]
    return min(pairs) if pairs else None


def target_lines(rows):
    lines = []

    def ratio_target(name, selected, label, bound):
        worst = worst_ratio(selected, label)
        if worst is None:
            lines.append((name, "not measured", "—"))
            return
        value, graph = worst
        status = "met" if value >= bound else "GAP"
        lines.append((name, f"{format_ratio(value)} at worst ({graph})", status))

    def bound_target(name, selected, label, bound, unit):
        figures = [(row.figures[label], row.graph) for row in selected if row.figures.get(label)]
        if not figures:
            lines.append((name, "not measured", "—"))
            return
        value, graph = max(figures)
        status = "met" if value <= bound else "GAP"
        lines.append((name, f"{value:.0f} {unit} at worst ({graph})", status))

    build = find(rows, "W1 build")
    ratio_target("W1 build ≥4x faster than PyTorch", build, "PyTorch", 4)
    ratio_target("W1 build ≥2x faster than pure Python", build, "pure Python", 2)
    evals_small = find(rows, "W2 eval", ", 10k")
    ratio_target("W2 eval ≥20x faster than a PyTorch re-run (10k)", evals_small, "PyTorch", 20)
    ratio_target("W2 eval at most 10x slower than a CasADi call (10k)", evals_small, "CasADi", 0.1)
    evals_large = find(rows, "W2 eval", ", 100k")
    bound_target("W2 eval ≤150 ns/node (100k)", evals_large, "_quoril", 150, "ns/node")
    colds_small = find(rows, "W2 eval, cold", ", 10k")
    ratio_target(
        "W2 eval, cold ≥20x faster than a PyTorch re-run (10k)", colds_small, "PyTorch", 20
    )
    ratio_target(
        "W2 eval, cold at most 10x slower than a CasADi call (10k)", colds_small, "CasADi", 0.1
    )
    colds_large = find(rows, "W2 eval, cold", ", 100k")
    bound_target("W2 eval, cold ≤150 ns/node (100k)", colds_large, "_quoril", 150, "ns/node")
    backward = find(rows, "W3 backward")
    ratio_target("W3 backward ≥40x faster than PyTorch", backward, "PyTorch", 40)
    ratio_target("W3 backward ≥8x faster than pure Python", backward, "pure Python", 8)
    fits = find(rows, "W4 fit")
    ratio_target("W4 ≥50x faster than PyTorch scalar tensors", fits[:1], "PyTorch", 50)
    ratio_target("W4 within 2x of vectorised PyTorch", fits[1:], "PyTorch", 0.5)
    held = find(rows, "W5 memory held")
    bound_target("W5 ≤300 bytes/node held", held, "_quoril", 300, "bytes/node")
    bound_target("W5 release ≤50 ns/node", find(rows, "W5 release"), "_quoril", 50, "ns/node")
    return lines


# ---------------------------------------------------------------------------
# Output


def describe_machine():
    model, cores, memory = platform.processor() or "unknown", os.cpu_count(), None
    try:
        lscpu = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        for line in lscpu.splitlines():
            key, _, value = line.partition(":")
            if key.strip() == "Model name":
                model = value.strip()
    except (OSError, subprocess.CalledProcessError):
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.partition(":")[2].strip()
                    break
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            if line.startswith("MemTotal:"):
                memory = int(line.split()[1]) / 2**20
    return f"{model}, {cores} cores, {memory:.0f} GiB"


def load_average():
    with open("/proc/loadavg") as loadavg:
        return " ".join(loadavg.read().split()[:3])


def format_figure(value):
    if value is None:
        return "—"
    if value >= 100:
        return f"{value:,.0f}"
    if value >= 10:
        return f"{value:.1f}"
    return f"{value:.2f}"


def format_ratio(value):
    if value is None:
        return ""
    return f"{value:.1f}x" if value >= 0.95 else f"1/{1 / value:.1f}x"


def render_table(rows, loaded, checks):
    header = ["Workload", "Graph", "Unit", "_quoril"]
    for label in COLUMNS[1:]:
        header += [label, "ratio"]
    header.append("Note")
    alignment = "|" + "---|" * 3 + "---:|" * (len(header) - 4) + "---|"
    lines = ["| " + " | ".join(header) + " |", alignment]
    missing = {peer.label for peer in loaded if not peer.available}
    for row in rows:
        cells = [row.workload, row.graph, row.unit]
        for label in COLUMNS:
            if label in missing:
                cells.append("not installed")
            else:
                text = format_figure(row.figures.get(label))
                if (row.group, label) in checks.failed_cells:
                    text += " WRONG"
                cells.append(text)
            if label != "_quoril":
                cells.append(format_ratio(ratio(row, label)) if label not in missing else "")
        cells.append(row.note)
        lines.append("| " + " | ".join(cells) + " |")
    return lines


LEGEND = """\
Ratios are the peer's figure divided by _quoril's: above 1x _quoril is faster
(or smaller), "1/2.0x" means the peer takes half the time. "—": the phase does
not exist for that implementation.

- build: running the program once, per operation it performs (leaves are not
  counted). The 3-lane graph counts one operation per vector operation; the
  pure engine runs it on a small vector class over three scalar Values, so it
  makes three scalar nodes per operation, and CasADi's 3x1 SX does the same.
- eval: _quoril `eval()`; PyTorch re-runs the forward program under
  `torch.no_grad()`; the pure engine re-runs it (it has no other way to
  evaluate); CasADi calls the prepared `Function` from Python.
- prepare: CasADi only: creating the `Function` (eval), and `gradient()` plus
  creating its `Function` (backward).
- backward: _quoril `backward()` (which evaluates afresh first), PyTorch
  `backward()` on the graph its build recorded, the pure engine's
  `backward()` (topological sort included), CasADi's call of the prepared
  gradient `Function`. 3-lane roots: a seed of ones, or for the pure engine
  and CasADi the sum of the three lanes.
- release: dropping the last reference to the graph after backward; for the
  pure engine a `gc.collect()` as well, because its closures keep every node in
  a reference cycle.
- W2..W5 figures are per node of the graph, leaves included.
- W4: the whole fit, loss construction included: _quoril builds the loss once
  and loops `backward`, `grad`, `set_value`, `zero_grad`; CasADi builds it
  once and calls a gradient `Function`; PyTorch and the pure engine rebuild it
  at every step, PyTorch on 0-dim tensors or, in the vectorised row, on one
  200-element tensor per input.
- W5: one fresh process per implementation and repetition; memory is the
  growth of resident memory (/proc/self/statm) while the graph is held, and
  the high-water mark during build, eval and backward, per node."""


OPERATIONS_LEGEND = """\
W6: one chain per operation, each step y = f(y * b) or f(y * b, c) over
Parameters, so a step is one Multiply and one node of the operation; the mul
chain is y = y * b alone. Figures are per operation performed (both kinds
counted), medians over repetitions in which the chains take turns; "vs sin"
divides by the sin chain's figure. "own vs sin" sets the operation's own node
apart: twice the chain's figure less the mul chain's, divided by the same for
sin; it carries the noise of both chains.
eval is the call right after a cold one, as W2 eval; backward evaluates
afresh first, as W3. Values and gradients are checked against forward
differentiation over plain floats."""


def render(rows, loaded, vectorised, settings, checks, core, core_note, header, operations=None):
    out = ["# Benchmark results", ""]
    out += header
    out += ["", "## Python workloads", ""]
    out += render_table(rows, loaded, checks)
    out += ["", LEGEND, ""]
    if operations:
        out += ["## Operations (_quoril and the package, 10k-operation graphs)", ""]
        out += render_operations(operations, checks)
        out += ["", OPERATIONS_LEGEND, ""]
    targets = target_lines(rows) + operation_target_lines(operations)
    out += ["## Targets", "", "| Target | Measured | Status |", "|---|---|---|"]
    out += [f"| {name} | {measured} | {status} |" for name, measured, status in targets]
    out += ["", "## Core benchmark (C++, no Python)", ""]
    if core:
        out += ["| Benchmark | ns/node |", "|---|---:|"]
        out += [f"| {name} | {format_figure(ns)} |" for name, ns, _ in core]
    else:
        out.append(core_note)
    out += ["", "## Checks", ""]
    if checks.failures:
        out += [f"- FAILED: {failure}" for failure in checks.failures]
    else:
        out.append(
            "Every repetition's values and gradients agreed with the pure-Python engine "
            "(W6: with forward differentiation over floats) within 1e-9 relative, and every "
            "graph had the expected number of nodes."
        )
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument(
        "--quick", action="store_true", help="10k graphs only, fewer repetitions, a 200k chain"
    )
    parser.add_argument("--core-bench", help="the core's Google Benchmark binary, if built")
    parser.add_argument("--tree", help="what was measured, such as `git describe --dirty`")
    parser.add_argument(
        "--out",
        help="where to write the table (default: bench/results.md; none with --quick or --only)",
    )
    parser.add_argument(
        "--only",
        choices=("graphs", "fit", "chain", "ops", "core"),
        action="append",
        help="run only these parts (repeatable)",
    )
    args = parser.parse_args()
    parts = set(args.only or ("graphs", "fit", "chain", "ops", "core"))
    settings = Settings(args.quick)
    started = time.monotonic()
    load_before = load_average()

    loaded = [peers.load(key) for key in PEER_KEYS]
    vectorised = peers.load("torch", vectorised=True)
    # Collections then walk only what the benchmarks make, not the peers'
    # modules, as in a program that imported just one of them.
    gc.collect()
    gc.freeze()
    for peer in loaded:
        if peer.available:
            log(f"==> {peer.label}: version {peer.version}")
        else:
            log(f"==> {peer.label}: NOT AVAILABLE ({peer.missing_reason})")

    checks = Checks()
    rows = []
    if "graphs" in parts:
        log("==> W1-W3: graphs")
        for program in workloads.GRAPH_PROGRAMS:
            for size in settings.sizes:
                rows += measure_graphs(program, size, settings.repeats[size], loaded, checks)
        order = [
            "W1 build", "W1 release", "W2 eval", "W2 eval, cold", "W2 prepare",
            "W3 backward", "W3 prepare",
        ]
        rows.sort(key=lambda row: order.index(row.workload))
    if "fit" in parts:
        log("==> W4: fit")
        rows += measure_fit(loaded, vectorised, settings.fit_repeats, checks)
    if "chain" in parts:
        log("==> W5: chain")
        rows += measure_chain(settings.chain_nodes, settings.chain_repeats, checks)
    operations = None
    if "ops" in parts and loaded[0].available:
        log("==> W6: operations")
        operations = measure_operations(loaded[0], settings.op_repeats, checks)
    core, core_note = None, "not run (--only)"
    if "core" in parts:
        log("==> core benchmark")
        core, core_note = run_core_bench(args.core_bench, settings.quick)

    versions = [f"Python {platform.python_version()}"]
    versions += [f"{peer.label} {peer.version}" for peer in loaded if peer.available]
    missing = [
        f"{peer.label} is not available: {peer.missing_reason}"
        for peer in loaded
        if not peer.available
    ]
    repeats = ", ".join(f"{settings.repeats[s]} at {size_label(s)}" for s in settings.sizes)
    frozen = gc.get_freeze_count()
    header = [
        f"Measured {datetime.date.today().isoformat()} on {describe_machine()}; "
        f"load average {load_before} before and {load_average()} after; "
        f"{time.monotonic() - started:.0f} s in all{' (--quick)' if settings.quick else ''}.",
        "",
        ", ".join(versions) + "." + (" " + " ".join(missing) if missing else "")
        + (f" Source tree: {args.tree}." if args.tree else ""),
        f"Medians over repetitions: graphs {repeats}; fit {settings.fit_repeats}; "
        f"chain {settings.chain_repeats}. One thread; the garbage collector on, the "
        f"{frozen:,} objects alive after importing every peer frozen out of its sight "
        "(`gc.freeze()`).",
    ]
    text = render(rows, loaded, vectorised, settings, checks, core, core_note, header,
                  operations)
    print(text, end="")
    # A partial run must not replace the full table.
    partial = settings.quick or args.only
    out = args.out or (None if partial else os.path.join(HERE, "results.md"))
    if out:
        with open(out, "w") as stream:
            stream.write(text)
    if checks.failures:
        log(f"==> {len(checks.failures)} check(s) FAILED; see the Checks section")
        sys.exit(1)


if __name__ == "__main__":
    main()

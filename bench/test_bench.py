"""Checks of the benchmark harness itself: the reference engine's gradients,
the adapters' agreement with it, and that a wrong or crashed implementation
cannot slip through.

Run with: ./dev run env PYTHONPATH=build-bench/python python3 -m pytest bench/test_bench.py
"""

import json
import math
import operator
import os
import subprocess
import sys

import pytest

import data
import peers
import pure_engine
import suite
import workloads

Value = pure_engine.Value


def central_difference(function, x, h=1e-6):
    return (function(x + h) - function(x - h)) / (2 * h)


@pytest.mark.parametrize(
    "build",
    [
        lambda x, k: x + k,
        lambda x, k: k + x,
        lambda x, k: x - k,
        lambda x, k: k - x,
        lambda x, k: x * k,
        lambda x, k: k * x,
        lambda x, k: x / k,
        lambda x, k: k / x,
        lambda x, k: -x,
        lambda x, k: pure_engine.sin(x * k),
        lambda x, k: pure_engine.cos(x * k),
        lambda x, k: x * x / (x + k),
    ],
    ids=["add", "radd", "sub", "rsub", "mul", "rmul", "div", "rdiv", "neg", "sin", "cos", "shared"],
)
@pytest.mark.parametrize("constant", [1.75, Value(1.75)], ids=["number", "value"])
def test_pure_engine_gradient_matches_central_difference(build, constant):
    x = Value(0.8)
    y = build(x, constant)
    y.backward()
    k = constant.data if isinstance(constant, Value) else constant
    expected = central_difference(lambda v: build(Value(v), k).data, 0.8)
    assert math.isclose(x.grad, expected, rel_tol=1e-7, abs_tol=1e-9)


def test_pure_engine_orders_operands_first_without_recursing():
    x = Value(0.5)
    y = x
    for _ in range(200_000):
        y = y * x + 1.0
    order = y.topological_order()
    position = {id(node): i for i, node in enumerate(order)}
    assert len(order) == 600_001
    assert all(position[id(child)] < position[id(node)] for node in order for child in node._prev)


def loaded_peers():
    return [peers.load(key) for key in suite.PEER_KEYS] + [peers.load("torch", vectorised=True)]


PEERS = {peer.label: peer for peer in loaded_peers()}


def require(label):
    peer = PEERS[label]
    if not peer.available:
        pytest.skip(f"{label}: {peer.missing_reason}")
    return peer


@pytest.mark.parametrize("program", workloads.GRAPH_PROGRAMS, ids=lambda p: p.key)
@pytest.mark.parametrize("label", suite.COLUMNS[:-1])
def test_adapter_matches_reference_on_every_program(label, program):
    peer, reference = require(label), PEERS["pure Python"]
    iterations = program.iterations(300)
    expected = reference.build(program, iterations)
    reference.backward(expected)
    graph = peer.build(program, iterations)
    peer.prepare_evaluate(graph)
    value, _ = peer.evaluate(graph)
    peer.prepare_backward(graph)
    peer.backward(graph)
    scalar_lanes = isinstance(peer, peers.Casadi)
    nodes = program.scalar_nodes(iterations) if scalar_lanes else program.nodes(iterations)
    assert peer.count(graph) == nodes
    assert reference.count(expected) == program.scalar_nodes(iterations)
    assert peers.agree(reference.evaluate(expected)[0], value)
    for name, lanes in reference.gradients(expected).items():
        assert peers.agree(lanes, peer.gradients(graph)[name]), name


@pytest.mark.parametrize("label", [*suite.COLUMNS[:-1], "PyTorch (vectorised)"])
def test_fit_matches_reference(label):
    peer = require(label)
    data = workloads.fit_data()
    arguments = (workloads.fit_loss, workloads.FIT_START, data, 3, workloads.FIT_RATE)
    expected = PEERS["pure Python"].fit(*arguments)
    assert peers.agree(expected, peer.fit(*arguments))
    assert not peers.agree(workloads.FIT_START, expected)


@pytest.mark.parametrize(
    ("expected", "actual", "agrees"),
    [
        ((1.0, -2.0), (1.0 + 1e-12, -2.0), True),
        ((1.0,), (1.0 + 1e-8,), False),
        ((0.0,), (0.0,), True),
        ((0.0,), (1e-200,), False),
        ((1.0, 2.0), (1.0,), False),
    ],
)
def test_agreement_is_relative_and_strict(expected, actual, agrees):
    assert peers.agree(expected, actual) is agrees


class OffByOne(peers.Quoril):
    """Answers a little wrong and makes one node too many."""

    label = "_quoril"

    def evaluate(self, graph):
        value, keep = super().evaluate(graph)
        return tuple(v * (1 + 1e-7) for v in value), keep

    def count(self, graph):
        return super().count(graph) + 1


def test_wrong_answers_are_flagged_in_the_table():
    checks = suite.Checks()
    contenders = [OffByOne(), PEERS["pure Python"]]
    rows = suite.measure_graphs(workloads.HORNER, 2000, 1, contenders, checks)
    assert len(checks.failures) == 2
    assert all(failure.startswith("horner-2k / _quoril: ") for failure in checks.failures)
    table = "\n".join(suite.render_table(rows, contenders, checks))
    assert " WRONG |" in table


def test_targets_compare_in_the_right_direction():
    def row(workload, graph, mine, theirs):
        return suite.Row(workload, graph, "ns", {"_quoril": mine, "PyTorch": theirs}, "g")

    rows = [
        row("W1 build", "a", 100.0, 500.0),
        row("W1 build", "b", 100.0, 300.0),
        row("W2 eval", "x, 100k", 160.0, 10.0),
    ]
    lines = {name: (measured, status) for name, measured, status in suite.target_lines(rows)}
    assert lines["W1 build ≥4x faster than PyTorch"] == ("3.0x at worst (b)", "GAP")
    assert lines["W2 eval ≤150 ns/node (100k)"] == ("160 ns/node at worst (x, 100k)", "GAP")
    assert lines["W5 release ≤50 ns/node"] == ("not measured", "—")


def test_chain_process_reports_counted_nodes_and_memory():
    script = os.path.join(os.path.dirname(__file__), "chain.py")
    completed = subprocess.run(
        [sys.executable, script, "quoril", "20000"], capture_output=True, text=True, check=True
    )
    outcome = json.loads(completed.stdout)
    assert outcome["count"] == outcome["expected"] == 20_000
    assert outcome["value"] == pytest.approx([2.0])
    assert set(outcome["figures"]) == {
        "build", "held_bytes", "eval", "backward", "peak_bytes", "release", "after_release_bytes"
    }


def test_suite_fails_when_an_implementation_crashes(monkeypatch):
    monkeypatch.setattr(suite, "run_chain", lambda key, nodes: {"crashed": "exit -11: "})
    checks = suite.Checks()
    suite.measure_chain(1000, 1, checks)
    assert len(checks.failures) == len(suite.PEER_KEYS)


def test_missing_peer_is_a_stand_in_that_says_why(monkeypatch):
    class Unimportable(peers.Peer):
        label = "Nowhere"

        def __init__(self):
            raise ImportError("No module named 'nowhere'")

    monkeypatch.setitem(peers.PEERS, "nowhere", Unimportable)
    stand_in = peers.load("nowhere")
    assert (stand_in.available, stand_in.label) == (False, "Nowhere")
    assert stand_in.missing_reason == "ImportError: No module named 'nowhere'"


def test_table_marks_missing_peers_and_divides_by_quoril():
    missing = peers.Peer()
    missing.label, missing.available = "CasADi", False
    row = suite.Row("W2 eval", "g", "ns/node", {"_quoril": 10.0, "PyTorch": 5.0}, "g", "n")
    header, _, line = suite.render_table([row], [missing], suite.Checks())
    cells = dict(zip(header.split(" | "), line.split(" | ")))
    assert cells["PyTorch"] == "5.00"
    assert cells["CasADi"] == "not installed"
    assert line.split(" | ")[5] == "1/2.0x"


@pytest.mark.parametrize(
    ("value", "text"), [(40.0, "40.0x"), (1.0, "1.0x"), (0.25, "1/4.0x"), (None, "")]
)
def test_ratio_format(value, text):
    assert suite.format_ratio(value) == text


def chain_outcome(value, gradient, count=1000):
    return {
        "figures": {"build": 1000.0, "release": 500.0, "held_bytes": 300_000},
        "value": [value],
        "gradients": {"x": [gradient], "c": [2.0]},
        "count": count,
        "expected": 1000,
    }


def test_chain_disagreements_are_flagged_per_implementation(monkeypatch):
    outcomes = {
        "quoril": chain_outcome(2.0, 4.0 * (1 + 1e-6)),
        "torch": chain_outcome(2.0, 4.0, count=999),
        "casadi": {"missing": "ModuleNotFoundError"},
        "pure": chain_outcome(2.0, 4.0),
    }
    monkeypatch.setattr(suite, "run_chain", lambda key, nodes: outcomes[key])
    checks = suite.Checks()
    rows = suite.measure_chain(1000, 1, checks)
    assert checks.failed_cells == {("chain", "_quoril"), ("chain", "PyTorch")}
    held = next(row for row in rows if row.workload == "W5 memory held")
    assert held.figures == {"_quoril": 300.0, "PyTorch": 300.0, "pure Python": 300.0}


def test_core_benchmark_counters_become_nanoseconds(tmp_path):
    report = {
        "benchmarks": [
            {"name": "BM_Evaluate/scalar/10000", "ns_per_node": 2.5e-8},
            {"name": "BM_Other", "real_time": 3.0},
        ]
    }
    binary = tmp_path / "core_bench"
    binary.write_text(f"#!/bin/sh\ncat <<'EOF'\n{json.dumps(report)}\nEOF\n")
    binary.chmod(0o755)
    rows, note = suite.run_core_bench(str(binary), quick=True)
    assert note is None
    assert [(name, round(ns, 6)) for name, ns, _ in rows] == [("BM_Evaluate/scalar/10000", 25.0)]
    assert suite.run_core_bench(str(tmp_path / "absent"), quick=False)[0] is None


@pytest.mark.parametrize("model", data.MODELS, ids=lambda m: m.name)
def test_w8_function_agrees_with_numpy_over_blocks(model):
    # 300 rows: whole blocks and a partial one. check() compares the rows
    # of every implementation that is loaded (NumPy here) with q.Function's.
    implementations = data.Implementations(model, 300)
    implementations.check({name: call() for name, call in implementations.calls().items()})


def test_w8_solve_forms_reach_one_cost_and_measure_their_own_peak():
    model = data.MODELS[0]
    graphs = data.run_child(model, 20_000, "graphs")
    fd = data.run_child(model, 20_000, "scipy fd")
    assert math.isclose(graphs["cost"], fd["cost"], rel_tol=1e-8)
    # 20,000 graphs of about ten nodes hold far more than SciPy's arrays.
    assert graphs["peak_mib"] > 10 * max(fd["peak_mib"], 1.0)

"""Builds, evaluates, differentiates and releases one deep chain with one
implementation, alone in this process so that the resident memory it adds is
its own, and prints the figures as one JSON object.

usage: python3 bench/chain.py quoril|torch|casadi|pure NODES
"""

import gc
import json
import os
import sys
import time

import peers
import workloads

PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_SIZE


def peak_resident_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resident_bytes()


def reset_peak():
    """Starts the high-water mark afresh; Linux accepts this since 4.0, and
    where it does not, the peak includes start-up, which only overstates."""
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
    except OSError:
        pass


def timed(action, *args):
    gc.collect()
    start = time.perf_counter_ns()
    result = action(*args)
    return result, time.perf_counter_ns() - start


def run(key, nodes):
    peer = peers.load(key)
    if not peer.available:
        return {"missing": peer.missing_reason}
    program = workloads.CHAIN
    iterations = workloads.chain_iterations(nodes)

    # One small chain first, so that code paths and the allocator's pools
    # are warm and the baseline below holds what a first graph leaves.
    warm = peer.build(program, 1000)
    peer.prepare_evaluate(warm)
    peer.evaluate(warm)
    peer.prepare_backward(warm)
    peer.backward(warm)
    peer.release(warm)
    del warm
    gc.collect()
    gc.freeze()

    base = resident_bytes()
    reset_peak()
    figures = {}
    graph, figures["build"] = timed(peer.build, program, iterations)
    figures["held_bytes"] = resident_bytes() - base
    if peer.prepares:
        _, figures["prepare_eval"] = timed(peer.prepare_evaluate, graph)
    (value, again), figures["eval"] = timed(peer.evaluate, graph)
    del again
    if peer.prepares:
        _, figures["prepare_backward"] = timed(peer.prepare_backward, graph)
    _, figures["backward"] = timed(peer.backward, graph)
    figures["peak_bytes"] = peak_resident_bytes() - base
    gradients = peer.gradients(graph)
    count = peer.count(graph)
    _, figures["release"] = timed(peer.release, graph)
    figures["after_release_bytes"] = resident_bytes() - base
    return {
        "figures": figures,
        "value": list(value),
        "gradients": {name: list(lanes) for name, lanes in gradients.items()},
        "count": count,
        "expected": program.nodes(iterations),
    }


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in peers.PEERS:
        sys.exit(__doc__.strip().splitlines()[-1])
    print(json.dumps(run(sys.argv[1], int(sys.argv[2]))))


if __name__ == "__main__":
    main()

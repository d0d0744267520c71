"""How the cost per node of eval() and backward() grows with the graph: the
W1 programs at 10k, 100k and 1M operations, one process, medians of repeated
calls after one call that grows the walk buffers. Prints one JSON object,
{"program/size/phase": ns per node}.

usage: python3 bench/scaling.py [--sizes 10000,100000,1000000] [--repeat N]
"""

import argparse
import gc
import json
import statistics
import time

import peers
import workloads


def per_node(action, nodes, repeat):
    action()  # grows the walk buffers to this graph
    times = []
    for _ in range(repeat):
        start = time.perf_counter_ns()
        action()
        times.append(time.perf_counter_ns() - start)
    return statistics.median(times) / nodes


def measure(sizes, repeat):
    peer = peers.load("quoril")
    figures = {}
    for size in sizes:
        for program in workloads.GRAPH_PROGRAMS:
            iterations = program.iterations(size)
            graph = peer.build(program, iterations)
            nodes = program.nodes(iterations)
            gc.collect()
            key = f"{program.key}/{size}"
            figures[f"{key}/eval"] = per_node(lambda: peer.evaluate(graph), nodes, repeat)
            figures[f"{key}/backward"] = per_node(lambda: peer.backward(graph), nodes, repeat)
            peer.release(graph)
            del graph
            gc.collect()
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    print(json.dumps(measure(sizes, args.repeat)))


if __name__ == "__main__":
    main()

import ctypes
import gc
import os
import threading

import pytest

from _quoril import Constant, Parameter, sin

CHAIN_LENGTH = 1_000_000


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def alternating_chain(start, length):
    """Returns `length` operations over `start` that leave its value and gradient unchanged."""
    one = Constant(1.0)
    x = start
    for i in range(length):
        x = x * one if i % 2 else -x
    return x


def test_million_operation_chain_evaluates_differentiates_and_releases():
    p = Parameter(1.5)
    x = alternating_chain(p, CHAIN_LENGTH)
    value = x.eval()
    x.backward()
    del x
    assert (value, p.grad, p.value) == ((1.5,), (1.0,), (1.5,))


P = Parameter(0.25, name="shared")


def build_and_drop_chain():
    alternating_chain(P, 100_000)


def differentiate():
    y = sin(P * P + 1)
    y.backward()
    y.zero_grad()


@pytest.mark.parametrize(
    ("action", "repeats"),
    [
        (lambda: Parameter(1.0, 2.0, name="leaf"), 1_000_000),
        (lambda: sin(P * 2 + (1, 2, 3)), 200_000),
        (differentiate, 100_000),
        (build_and_drop_chain, 6),
    ],
    ids=["leaves", "expressions", "backward", "chains"],
)
def test_memory_stays_flat(action, repeats):
    for _ in range(max(1, repeats // 10)):
        action()
    gc.collect()
    before = resident_bytes()
    for _ in range(repeats):
        action()
    gc.collect()
    assert resident_bytes() - before < 16 * 2**20


LIBC = ctypes.CDLL(None)


def drop_on_another_thread(graph):
    worker = threading.Thread(target=graph.clear)
    worker.start()
    worker.join()
    # The evaluating thread gives its buffers back at the end of its next
    # call that needs less.
    P.eval()


@pytest.mark.skipif(
    os.environ.get("QUORIL_SANITIZED", "") != "",
    reason="the sanitizers keep freed memory on purpose",
)
@pytest.mark.parametrize("drop", [list.clear, drop_on_another_thread], ids=["here", "other-thread"])
def test_large_graph_gives_its_walk_buffers_back_when_released(drop):
    # The buffers a walk over a large graph needs are kept for the next call
    # while the graph lives (about 150 bytes per node here), and must not
    # outlive it.
    gc.collect()
    LIBC.malloc_trim(0)
    before = resident_bytes()
    graph = [alternating_chain(P, 400_000)]
    graph[0].eval()
    graph[0].backward()
    drop(graph)
    gc.collect()
    # Freed nodes below a live allocation stay in the C heap until trimmed;
    # that is the allocator's choice, not memory still held.
    LIBC.malloc_trim(0)
    assert resident_bytes() - before < 24 * 2**20

"""Several Python threads build, evaluate and differentiate over shared
Parameters at once. The interpreter lock serialises the calls into the
module; a short switch interval makes the threads interleave between them as
often as possible. Values are chosen so that every gradient sum is exact in
binary floating point, so the totals must come out exactly.
"""

import math
import os
import sys
import threading

import pytest

from _quoril import Constant, Parameter, cos, sin, vec3

THREADS = 8
# Fewer passes under valgrind, which runs one thread at a time, slowly.
PASSES = 30 if os.environ.get("QUORIL_SANITIZED") == "memcheck" else 300


@pytest.fixture
def frequent_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def run_threads(work, count=THREADS):
    """Runs work(index) on `count` threads released together and re-raises
    the first failure."""
    barrier = threading.Barrier(count)
    failures = []

    def body(index):
        try:
            barrier.wait()
            work(index)
        except BaseException as error:  # reported to the main thread below
            failures.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise failures[0]


def test_concurrent_backward_passes_lose_no_gradient(frequent_switches):
    p = Parameter(1.5, name="p")
    q = Parameter(0.25, name="q")
    v = Parameter(0.5, 2.0, -1.0, name="v")

    def work(index):
        # Each thread builds its own graph over the shared Parameters, and a
        # private one whose gradient nobody else touches.
        own = Parameter(float(index))
        for _ in range(PASSES):
            y = p * q + (v * p)[1] - v.z / 4 + own * 2
            assert y.eval() == (1.5 * 0.25 + 2.0 * 1.5 + 0.25 + index * 2,)
            y.backward()
        assert own.grad == (2.0 * PASSES,)
        own.zero_grad()
        assert own.grad is None

    run_threads(work)
    total = THREADS * PASSES
    # dy/dp = q + v.y, dy/dq = p, dy/dv = (0, p, -1/4): multiples of 1/4
    # whose sums stay far below 2**53.
    assert (p.grad, q.grad, v.grad) == ((2.25 * total,), (1.5 * total,), (0.0, 1.5 * total, -0.25 * total))


def test_concurrent_building_gives_distinct_ids_and_releases_shared_nodes(frequent_switches):
    shared = Parameter(0.5, 1.0, 2.0, name="shared")
    base = sin(shared) * 2
    ids = [[] for _ in range(THREADS)]

    def work(index):
        for step in range(PASSES):
            # Chains long enough to be released node by node while other
            # threads hold and walk the shared part.
            x = base
            for _ in range(50):
                x = cos(x) + Constant(float(step)) - shared
            ids[index].append(x.id)
            assert x.dim == 3
            x.eval()
            del x

    run_threads(work)
    every = [i for per_thread in ids for i in per_thread]
    assert len(set(every)) == len(every)
    assert base.eval() == tuple(math.sin(x) * 2 for x in (0.5, 1.0, 2.0))


def test_concurrent_zero_grad_and_backward_keep_gradients_whole(frequent_switches):
    p = Parameter(3.0, name="p")
    y = vec3(p, p * p, 2 * p)

    def work(index):
        for _ in range(PASSES):
            if index % 2:
                y.backward((1.0, 1.0, 1.0))
            else:
                p.zero_grad()
            grad = p.grad
            # Each pass adds 1 + 2p + 2 = 9 as a whole, or the gradient is
            # gone: never a partial update.
            assert grad is None or (grad[0] % 9 == 0 and grad[0] > 0)

    run_threads(work)

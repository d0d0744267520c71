import gc
import os

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

"""What the benchmark scripts that run on their own share: the optional
peers, a median wall time, and how tables print times and ratios."""

import importlib
import os
import statistics
import time


def optional_peers(*names):
    """The modules of `names` (the peers, "torch" and "casadi"), each None
    where it is not installed."""
    # ipopt's linear solver starts MPI, whose transport layer writes errors to
    # stdout where it finds no network interface. The level is read when the
    # library is loaded, which importing PyTorch already does.
    os.environ.setdefault("UCX_LOG_LEVEL", "fatal")
    found = []
    for name in names:
        try:
            found.append(importlib.import_module(name))
        except ImportError:
            found.append(None)
    return found


def median_seconds(call, repeat, setup=None):
    """The median wall time of `call` over `repeat` runs, each after `setup`
    (untimed), with a few warm-up runs first."""
    times = []
    for k in range(repeat + 3):
        if setup is not None:
            setup()
        start = time.perf_counter()
        call()
        elapsed = time.perf_counter() - start
        if k >= 3:
            times.append(elapsed)
    return statistics.median(times)


def fmt(seconds):
    return f"{seconds * 1e6:,.1f} µs" if seconds < 1e-3 else f"{seconds * 1e3:,.2f} ms"


def times(ratio):
    return f"{ratio:.1f}x" if ratio >= 1 else f"{ratio:.2f}x"

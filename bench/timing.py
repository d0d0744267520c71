"""The timing helpers every benchmark script shares: a median wall time and
how tables print times and ratios."""

import statistics
import time


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

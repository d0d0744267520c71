"""Fitting a damped sinusoid a * exp(-b t) * sin(w t + phi) to 100 samples.

Four one-lane Parameters and a model written once over two Undefined
placeholders, the time t and the sample y, with q.exp and q.sin; the samples
go in as NumPy arrays through data=, one residual per sample. A sinusoid fit
has a local minimum for every wrong count of periods, so the start needs a
frequency near the right one (here read off the data's zero crossings);
amplitude, decay and phase may start rough. The samples carry Gaussian noise
of known size with a fixed seed, so every run prints the same numbers; given
that size as sigma, the fit reports standard errors, and q.uncertainty gives
the 95 % band of the fitted curve over a grid of 1000 times in one call.

    python3 damped_sinusoid.py [--plot sinusoid.png]
"""

import argparse
import math
import random
import statistics
from typing import Any

import numpy as np

import quoril as q

TRUE = {"a": 2.5, "b": 0.3, "w": 2.0, "phi": 0.4}
NOISE = 0.02
SAMPLES = 100
DURATION = 10.0
SEED = 11


def model(t: float, a: float, b: float, w: float, phi: float) -> float:
    return a * math.exp(-b * t) * math.sin(w * t + phi)


rng = random.Random(SEED)
times = np.linspace(0.0, DURATION, SAMPLES)
samples = np.array([model(t, **TRUE) + rng.gauss(0.0, NOISE) for t in times])

# Half a period between zero crossings gives the frequency to start from.
crossings = times[1:][np.signbit(samples[1:]) != np.signbit(samples[:-1])]
w_start = math.pi * (len(crossings) - 1) / (crossings[-1] - crossings[0])

a = q.Parameter(np.abs(samples).max(), name="a")
b = q.Parameter(0.1, name="b")
w = q.Parameter(w_start, name="w")
phi = q.Parameter(0.0, name="phi")
params = [a, b, w, phi]
t = q.Undefined(name="t")
y = q.Undefined(name="y")
curve = a * q.exp(-b * t) * q.sin(w * t + phi)
residual = curve - y


def plot(path: str, result: Any) -> None:
    """Saves the data with the fitted curve and its 95 % band, the residuals
    and the cost per iteration."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (top, middle, bottom) = plt.subplots(3, 1, figsize=(7, 8))
    fine = np.linspace(0.0, DURATION, 1000)
    # The curve through the graph itself, so that its gradient, and with it
    # the band, is exact; sigma is known, so the normal quantile applies.
    centre = q.Function(t, curve)(fine)[:, 0]
    spread = q.uncertainty(curve, result, data={t: fine})[:, 0]
    half = statistics.NormalDist().inv_cdf(0.975) * spread
    top.plot(times, samples, ".", label="samples")
    top.plot(fine, centre, "-", label="fit")
    top.fill_between(fine, centre - half, centre + half, alpha=0.4, color="C1", label="95 % band")
    top.legend()
    top.set_title("damped sinusoid fit")
    # The band is far narrower than the noise: shown about zero here, beside
    # the residuals, rather than invisibly around the curve.
    middle.fill_between(fine, -half, half, alpha=0.4, color="C1", label="95 % band of the fit")
    middle.plot(times, [NOISE * f for f in result.fun], ".", label="residuals")
    middle.axhline(0.0, color="grey", linewidth=0.5)
    middle.legend()
    middle.set_ylabel("residual")
    bottom.semilogy(result.cost_history, "o-")
    bottom.set_xlabel("iteration")
    bottom.set_ylabel("cost (residuals / sigma)")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print(f"plot saved to {path}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--plot", metavar="FILE", help="save a PNG of the fit")
    args = parser.parse_args()

    start = "  ".join(f"{p.name} {p.value[0]:.5f}" for p in params)
    print(f"start  {start}")
    result = q.least_squares(
        residual, params, data={t: times, y: samples}, sigma=NOISE, absolute_sigma=True
    )
    status = "converged" if result.success else "NOT converged"
    print(f"{status} after {result.nfev} evaluations ({result.method}: {result.message})")
    # The residuals the solver saw are weighted: in units of the noise.
    print(f"rms residual {NOISE * math.sqrt(result.chisqr / SAMPLES):.5f}")
    print()
    print(q.fit_report(result))
    print()
    if args.plot:
        plot(args.plot, result)
    fitted = "  ".join(f"{p.name} {p.value[0]:.5f}" for p in params)
    true = "  ".join(f"{name} {value:.5f}" for name, value in TRUE.items())
    print(f"final  {fitted};  true  {true}")


if __name__ == "__main__":
    main()

"""Fitting a damped sinusoid a * exp(-b t) * sin(w t + phi) to 100 samples.

Four one-lane Parameters, one residual per sample, built once with q.exp and
q.sin. A sinusoid fit has a local minimum for every wrong count of periods,
so the start needs a frequency near the right one (here read off the data's
zero crossings); amplitude, decay and phase may start rough. The samples
carry Gaussian noise with a fixed seed, so every run prints the same numbers.

    python3 damped_sinusoid.py [--plot sinusoid.png]
"""

import argparse
import math
import random

import quoril as q

TRUE = {"a": 2.5, "b": 0.3, "w": 2.0, "phi": 0.4}
NOISE = 0.02
SAMPLES = 100
DURATION = 10.0
SEED = 11


def model(t: float, a: float, b: float, w: float, phi: float) -> float:
    return a * math.exp(-b * t) * math.sin(w * t + phi)


rng = random.Random(SEED)
times = [DURATION * k / (SAMPLES - 1) for k in range(SAMPLES)]
data = [model(t, **TRUE) + rng.gauss(0.0, NOISE) for t in times]

# Half a period between zero crossings gives the frequency to start from.
crossings = [
    times[k] for k in range(1, SAMPLES) if (data[k - 1] < 0.0) != (data[k] < 0.0)
]
w_start = math.pi * (len(crossings) - 1) / (crossings[-1] - crossings[0])

a = q.Parameter(max(abs(y) for y in data), name="a")
b = q.Parameter(0.1, name="b")
w = q.Parameter(w_start, name="w")
phi = q.Parameter(0.0, name="phi")
params = [a, b, w, phi]
residuals = [a * q.exp(-b * t) * q.sin(w * t + phi) - y for t, y in zip(times, data)]


def plot(path: str, fitted: list[float], history: list[float]) -> None:
    """Saves the data with the fitted curve, the residuals and the cost per
    iteration."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (top, middle, bottom) = plt.subplots(3, 1, figsize=(7, 8))
    fine = [DURATION * k / 999 for k in range(1000)]
    values = {p.name: p.value[0] for p in params}
    top.plot(times, data, ".", label="samples")
    top.plot(fine, [model(t, **values) for t in fine], "-", label="fit")
    top.legend()
    top.set_title("damped sinusoid fit")
    middle.plot(times, fitted, ".")
    middle.axhline(0.0, color="grey", linewidth=0.5)
    middle.set_ylabel("residual")
    bottom.semilogy(history, "o-")
    bottom.set_xlabel("iteration")
    bottom.set_ylabel("cost")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print(f"plot saved to {path}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--plot", metavar="FILE", help="save a PNG of the fit")
    args = parser.parse_args()

    start = "  ".join(f"{p.name} {p.value[0]:.5f}" for p in params)
    print(f"start  {start}")
    result = q.least_squares(residuals, params)
    status = "converged" if result.success else "NOT converged"
    print(f"{status} after {result.nfev} evaluations ({result.method}: {result.message})")
    print(f"rms residual {math.sqrt(2.0 * result.cost / SAMPLES):.5f}")
    if args.plot:
        plot(args.plot, list(result.fun), result.cost_history)
    fitted = "  ".join(f"{p.name} {p.value[0]:.5f}" for p in params)
    true = "  ".join(f"{name} {value:.5f}" for name, value in TRUE.items())
    print(f"final  {fitted};  true  {true}")


if __name__ == "__main__":
    main()

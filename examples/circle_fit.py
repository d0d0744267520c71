"""Fitting a circle to noisy points on an arc by least squares.

The model is written once, for one point: the point is a 2-lane Undefined
placeholder, the centre a 2-lane Parameter and the radius a one-lane
Parameter, and the residual is the point's geometric distance from the
circle, |point - centre| - radius. The points go in as one NumPy array
through data=, so the graph has a handful of nodes however many points there
are. The solve starts from the points' centroid, which lies well inside the
arc. The points are drawn with a fixed seed, so every run prints the same
numbers.

    python3 circle_fit.py [--plot circle.png]
"""

import argparse
import math
import random

import numpy as np

import quoril as q

TRUE_CENTRE = (2.0, -1.0)
TRUE_RADIUS = 3.0
ARC = (math.radians(-30.0), math.radians(150.0))
NOISE = 0.05
POINTS = 40
SEED = 2024


def noisy_circle(rng: random.Random) -> np.ndarray:
    """Points on an arc of the true circle, each moved along its radius by
    Gaussian noise: shape (POINTS, 2)."""
    polar = [(rng.uniform(*ARC), TRUE_RADIUS + rng.gauss(0.0, NOISE)) for _ in range(POINTS)]
    drawn = np.array(polar)
    angle, radius = drawn[:, 0], drawn[:, 1]
    direction = np.column_stack([np.cos(angle), np.sin(angle)])
    points: np.ndarray = direction * radius[:, None] + np.array(TRUE_CENTRE)
    return points


def plot(path: str, points: np.ndarray, history: list[float]) -> None:
    """Saves the points with the fitted and the true circle, and the cost per
    iteration."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (ax, cost) = plt.subplots(1, 2, figsize=(10, 4.5))
    turn = np.linspace(0.0, math.tau, 201)
    ax.plot(points[:, 0], points[:, 1], ".", label="points")
    for (cx, cy), r, style, label in [
        (TRUE_CENTRE, TRUE_RADIUS, "--", "true circle"),
        (centre.value, radius.value[0], "-", "fitted circle"),
    ]:
        ax.plot(cx + r * np.cos(turn), cy + r * np.sin(turn), style, label=label)
    ax.set_aspect("equal")
    ax.legend()
    ax.set_title("circle fit")
    cost.semilogy(history, "o-")
    cost.set_xlabel("iteration")
    cost.set_ylabel("cost")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print(f"plot saved to {path}")


points = noisy_circle(random.Random(SEED))
# Start at the centroid, with the points' rms distance from it as radius.
centroid = points.mean(axis=0)
spread = math.sqrt(((points - centroid) ** 2).sum(axis=1).mean())
centre = q.Parameter(*centroid, name="centre")
radius = q.Parameter(spread, name="radius")
point = q.Undefined(dim=2, name="point")
residual = q.norm(point - centre) - radius


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--plot", metavar="FILE", help="save a PNG of the fit")
    args = parser.parse_args()

    (cx, cy), (r,) = centre.value, radius.value
    print(f"start  centre ({cx:+.5f}, {cy:+.5f})  radius {r:.5f}")
    result = q.least_squares(residual, [centre, radius], data={point: points})
    (cx, cy), (r,) = centre.value, radius.value
    rms = math.sqrt(2.0 * result.cost / POINTS)
    status = "converged" if result.success else "NOT converged"
    print(f"{status} after {result.nfev} evaluations ({result.method}: {result.message})")
    print(f"rms distance {rms:.5f}")
    if args.plot:
        plot(args.plot, points, result.cost_history)
    print(
        f"final centre ({cx:+.5f}, {cy:+.5f}) radius {r:.5f}; "
        f"true centre ({TRUE_CENTRE[0]:+.5f}, {TRUE_CENTRE[1]:+.5f}) "
        f"radius {TRUE_RADIUS:.5f}"
    )


if __name__ == "__main__":
    main()

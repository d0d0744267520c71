"""Fitting a circle to noisy points on an arc by least squares.

The centre is one 2-lane Parameter and the radius a one-lane Parameter. Each
point's residual is its geometric distance from the circle,
|point - centre| - radius, built once with q.norm (a square root). The solve
starts from the points' centroid, which lies well inside the arc. The points
are drawn with a fixed seed, so every run prints the same numbers.

    python3 circle_fit.py [--plot circle.png]
"""

import argparse
import math
import random

import quoril as q

TRUE_CENTRE = (2.0, -1.0)
TRUE_RADIUS = 3.0
ARC = (math.radians(-30.0), math.radians(150.0))
NOISE = 0.05
POINTS = 40
SEED = 2024


def noisy_circle(rng: random.Random) -> list[tuple[float, float]]:
    """Points on an arc of the true circle, each moved along its radius by
    Gaussian noise."""
    points = []
    for _ in range(POINTS):
        angle = rng.uniform(*ARC)
        radius = TRUE_RADIUS + rng.gauss(0.0, NOISE)
        points.append(
            (
                TRUE_CENTRE[0] + radius * math.cos(angle),
                TRUE_CENTRE[1] + radius * math.sin(angle),
            )
        )
    return points


def plot(path: str, points: list[tuple[float, float]], history: list[float]) -> None:
    """Saves the points with the fitted and the true circle, and the cost per
    iteration."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (ax, cost) = plt.subplots(1, 2, figsize=(10, 4.5))
    turn = [math.tau * k / 200 for k in range(201)]
    ax.plot(*zip(*points), ".", label="points")
    for (cx, cy), r, style, label in [
        (TRUE_CENTRE, TRUE_RADIUS, "--", "true circle"),
        (centre.value, radius.value[0], "-", "fitted circle"),
    ]:
        ax.plot([cx + r * math.cos(t) for t in turn], [cy + r * math.sin(t) for t in turn],
                style, label=label)
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
mean_x = sum(x for x, _ in points) / len(points)
mean_y = sum(y for _, y in points) / len(points)
spread = math.sqrt(
    sum((x - mean_x) ** 2 + (y - mean_y) ** 2 for x, y in points) / len(points)
)
centre = q.Parameter(mean_x, mean_y, name="centre")
radius = q.Parameter(spread, name="radius")
residuals = [q.norm(centre - point) - radius for point in points]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--plot", metavar="FILE", help="save a PNG of the fit")
    args = parser.parse_args()

    (cx, cy), (r,) = centre.value, radius.value
    print(f"start  centre ({cx:+.5f}, {cy:+.5f})  radius {r:.5f}")
    result = q.least_squares(residuals, [centre, radius])
    (cx, cy), (r,) = centre.value, radius.value
    rms = math.sqrt(2.0 * result.cost / len(points))
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

"""Fitting an ellipse to 60 noisy points by least squares.

Five unknowns: the centre (2 lanes), the semi-axes (2 lanes) and the angle of
the first axis. The residual is written once, for one point (a 2-lane
Undefined placeholder), and the points go in as one NumPy array through
data=. It is the point's distance from the ellipse along the ray from the
centre: with the point at distance d from the centre and at k times the
ellipse's own radius in that direction (k from the point's coordinates in the
ellipse's frame), the residual is d - d / k. It needs two square roots
(q.norm) and no unknown per point. The points are drawn with a fixed seed, so
every run prints the same numbers.

    python3 ellipse_fit.py [--plot ellipse.png]
"""

import argparse
import math
import random

import numpy as np

import quoril as q

TRUE_CENTRE = (1.0, -0.5)
TRUE_AXES = (3.0, 1.5)
TRUE_ANGLE = 0.5
NOISE = 0.03
POINTS = 60
SEED = 7


def on_ellipse(
    centre: tuple[float, float], axes: tuple[float, float], angle: float, t: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """The points of the ellipse at parameters t."""
    u, v = axes[0] * np.cos(t), axes[1] * np.sin(t)
    c, s = math.cos(angle), math.sin(angle)
    return centre[0] + c * u - s * v, centre[1] + s * u + c * v


def noisy_ellipse(rng: random.Random) -> np.ndarray:
    """Points of the true ellipse moved by Gaussian noise: shape (POINTS, 2)."""
    draws = [
        (rng.uniform(0.0, math.tau), rng.gauss(0.0, NOISE), rng.gauss(0.0, NOISE))
        for _ in range(POINTS)
    ]
    t, dx, dy = np.array(draws).T
    x, y = on_ellipse(TRUE_CENTRE, TRUE_AXES, TRUE_ANGLE, t)
    return np.column_stack([x + dx, y + dy])


points = noisy_ellipse(random.Random(SEED))
centroid = points.mean(axis=0)
spread = math.sqrt(((points - centroid) ** 2).sum(axis=1).mean())
# Start at the centroid with a circle of the points' rms spread, slightly
# squashed so that the first axis has a direction to turn towards.
centre = q.Parameter(*centroid, name="centre")
axes = q.Parameter(1.2 * spread, 0.8 * spread, name="axes")
angle = q.Parameter(0.0, name="angle")

point = q.Undefined(dim=2, name="point")
cos_a, sin_a = q.cos(angle), q.sin(angle)
d = point - centre
# The point in the ellipse's frame, in units of its semi-axes.
scaled = q.vec2(cos_a * d.x + sin_a * d.y, cos_a * d.y - sin_a * d.x) / axes
distance = q.norm(d)
residual = distance - distance / q.norm(scaled)


def normalised() -> tuple[tuple[float, float], tuple[float, float], float]:
    """The fitted ellipse with the longer axis first and its angle within
    0..pi: the same ellipse has four descriptions."""
    (cx, cy), (a, b), (theta,) = centre.value, axes.value, angle.value
    a, b = abs(a), abs(b)
    if a < b:
        a, b, theta = b, a, theta + math.pi / 2
    return (cx, cy), (a, b), theta % math.pi


def plot(path: str, history: list[float]) -> None:
    """Saves the points with the fitted and the true ellipse, and the cost per
    iteration."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (ax, cost) = plt.subplots(1, 2, figsize=(10, 4.5))
    turn = np.linspace(0.0, math.tau, 201)
    ax.plot(points[:, 0], points[:, 1], ".", label="points")
    fitted_centre, fitted_axes, fitted_angle = normalised()
    for shape, style, label in [
        ((TRUE_CENTRE, TRUE_AXES, TRUE_ANGLE), "--", "true ellipse"),
        ((fitted_centre, fitted_axes, fitted_angle), "-", "fitted ellipse"),
    ]:
        ax.plot(*on_ellipse(*shape, turn), style, label=label)
    ax.set_aspect("equal")
    ax.legend()
    ax.set_title("ellipse fit")
    cost.semilogy(history, "o-")
    cost.set_xlabel("iteration")
    cost.set_ylabel("cost")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print(f"plot saved to {path}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--plot", metavar="FILE", help="save a PNG of the fit")
    args = parser.parse_args()

    result = q.least_squares(residual, [centre, axes, angle], data={point: points})
    status = "converged" if result.success else "NOT converged"
    print(f"{status} after {result.nfev} evaluations ({result.method}: {result.message})")
    print(f"rms distance {math.sqrt(2.0 * result.cost / POINTS):.5f}")
    if args.plot:
        plot(args.plot, result.cost_history)
    (cx, cy), (a, b), theta = normalised()
    print(
        f"final centre ({cx:+.5f}, {cy:+.5f}) axes ({a:.5f}, {b:.5f}) angle {theta:.5f}; "
        f"true centre ({TRUE_CENTRE[0]:+.5f}, {TRUE_CENTRE[1]:+.5f}) "
        f"axes ({TRUE_AXES[0]:.5f}, {TRUE_AXES[1]:.5f}) angle {TRUE_ANGLE:.5f}"
    )


if __name__ == "__main__":
    main()

"""Fitting a sphere to 100,000 noisy points of a scanned cap.

The residual is written once, for one point (a 3-lane Undefined placeholder):
the point's distance from the sphere, |point - centre| - radius. The points
go in as one (N, 3) NumPy array through data=, so the graph has a handful of
nodes and what grows with N is the data, the residuals and their Jacobian.
The scan covers only a cap of the sphere, which makes the centre and the
radius strongly correlated; the fit report shows it. A second solve from
another start reuses the prepared program of a q.Function. The points are
drawn with a fixed seed, so every run prints the same numbers.

    python3 sphere_fit.py [--points N] [--plot sphere.png]
"""

import argparse
import math
import time

import numpy as np

import quoril as q

TRUE_CENTRE = (0.4, -1.2, 2.0)
TRUE_RADIUS = 5.0
# The cap: polar angles up to 60 degrees from the scanner's axis.
CAP = math.radians(60.0)
NOISE = 0.01
SEED = 5


def scanned_cap(rng: np.random.Generator, n: int) -> np.ndarray:
    """Points spread evenly over the cap, each moved along its radius by
    Gaussian noise: shape (n, 3)."""
    cos_polar = rng.uniform(math.cos(CAP), 1.0, size=n)
    azimuth = rng.uniform(0.0, math.tau, size=n)
    sin_polar = np.sqrt(1.0 - cos_polar**2)
    direction = np.column_stack(
        [sin_polar * np.cos(azimuth), sin_polar * np.sin(azimuth), cos_polar]
    )
    radius = TRUE_RADIUS + rng.normal(0.0, NOISE, size=n)
    return direction * radius[:, None] + TRUE_CENTRE


def plot(path: str, points: np.ndarray, residuals: np.ndarray) -> None:
    """Saves a sample of the points coloured by their distance from the
    fitted sphere, and the distances' histogram."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig = plt.figure(figsize=(10, 4.5))
    ax = fig.add_subplot(1, 2, 1, projection="3d")
    shown = slice(None, None, max(1, len(points) // 4000))
    dots = ax.scatter(*points[shown].T, c=residuals[shown], s=2, cmap="coolwarm")
    fig.colorbar(dots, ax=ax, shrink=0.6, label="distance from the fit")
    ax.set_title("scanned cap")
    hist = fig.add_subplot(1, 2, 2)
    hist.hist(residuals, bins=80)
    hist.set_xlabel("distance from the fitted sphere")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print(f"plot saved to {path}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--points", type=int, default=100_000, help="number of points")
    parser.add_argument("--plot", metavar="FILE", help="save a PNG of the fit")
    args = parser.parse_args()

    points = scanned_cap(np.random.default_rng(SEED), args.points)
    # A deliberately rough start: the centroid of the cap, which lies inside
    # the sphere but far from its centre, and the rms distance from it.
    centroid = points.mean(axis=0)
    spread = float(np.sqrt(((points - centroid) ** 2).sum(axis=1).mean()))
    centre = q.Parameter(*centroid, name="centre")
    radius = q.Parameter(spread, name="radius")
    point = q.Undefined(dim=3, name="point")
    residual = q.Function(point, q.norm(point - centre) - radius)

    started = time.perf_counter()
    result = q.least_squares(residual, [centre, radius], data={point: points})
    seconds = time.perf_counter() - started
    status = "converged" if result.success else "NOT converged"
    print(f"{status} after {result.nfev} evaluations in {1e3 * seconds:.1f} ms "
          f"over {args.points} points ({result.method}: {result.message})")
    print()
    print(q.fit_report(result))
    print()

    # Again from another start: the Function's prepared program is reused.
    fitted = centre.value, radius.value
    centre.set_value(*(np.array(TRUE_CENTRE) + 1.0))
    radius.set_value(TRUE_RADIUS - 1.0)
    started = time.perf_counter()
    again = q.least_squares(residual, [centre, radius], data={point: points})
    seconds = time.perf_counter() - started
    agree = max(
        np.abs(np.subtract(centre.value, fitted[0])).max(),
        abs(radius.value[0] - fitted[1][0]),
    )
    # The first solve's time includes importing SciPy, whose result type
    # every solve returns; this one is the solve alone.
    print(f"second solve from another start: {again.nfev} evaluations in "
          f"{1e3 * seconds:.1f} ms, solutions agree to {agree:.1e}")
    if args.plot:
        plot(args.plot, points, residual(points)[:, 0])
    (cx, cy, cz), (r,) = centre.value, radius.value
    tx, ty, tz = TRUE_CENTRE
    print(f"final centre ({cx:+.5f}, {cy:+.5f}, {cz:+.5f}) radius {r:.5f}; "
          f"true centre ({tx:+.5f}, {ty:+.5f}, {tz:+.5f}) radius {TRUE_RADIUS:.5f}")


if __name__ == "__main__":
    main()

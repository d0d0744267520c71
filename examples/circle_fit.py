"""Fitting a circle to noisy points on an arc by least squares.

The centre is one 2-lane Parameter and the radius a one-lane Parameter. The
loss is built once over all points; each descent step evaluates it,
back-propagates and moves both Parameters against their gradients. The
descent starts from the points' centroid, which lies well inside the arc. The
points are drawn with a fixed seed, so every run prints the same numbers.
"""

import math
import random

import _quoril as q

TRUE_CENTRE = (2.0, -1.0)
TRUE_RADIUS = 3.0
ARC = (math.radians(-30.0), math.radians(150.0))
NOISE = 0.05
POINTS = 40
SEED = 2024

STEP_SIZE = 0.2
GRADIENT_TOLERANCE = 1e-9
MAX_STEPS = 5000


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


def main() -> None:
    points = noisy_circle(random.Random(SEED))

    # Start at the centroid, with the points' rms distance from it as radius.
    mean_x = sum(x for x, _ in points) / len(points)
    mean_y = sum(y for _, y in points) / len(points)
    spread = math.sqrt(
        sum((x - mean_x) ** 2 + (y - mean_y) ** 2 for x, y in points) / len(points)
    )
    centre = q.Parameter(mean_x, mean_y, name="centre")
    radius = q.Parameter(spread, name="radius")

    # (|p - c|^2 - r^2) / 2r is the point's distance from the circle to first
    # order, and needs no square root.
    loss = q.Constant(0.0)
    for point in points:
        offset = centre - point
        squared = offset * offset
        residual = (squared.x + squared.y - radius * radius) / (2.0 * radius)
        loss = loss + residual * residual
    loss = loss / len(points)

    def report(step: int) -> None:
        (cx, cy), (r,) = centre.value, radius.value
        rms = math.sqrt(loss.eval()[0])
        print(
            f"step {step:4d}  rms distance {rms:.5f}  "
            f"centre ({cx:+.5f}, {cy:+.5f})  radius {r:.5f}"
        )

    report(0)
    step = 0
    gradient_norm = math.inf
    while gradient_norm > GRADIENT_TOLERANCE and step < MAX_STEPS:
        loss.zero_grad()
        loss.backward()
        centre_grad, radius_grad = centre.grad, radius.grad
        assert centre_grad is not None and radius_grad is not None
        gradient_norm = math.hypot(*centre_grad, *radius_grad)
        (cx, cy), (r,) = centre.value, radius.value
        centre.set_value(
            cx - STEP_SIZE * centre_grad[0], cy - STEP_SIZE * centre_grad[1]
        )
        radius.set_value(r - STEP_SIZE * radius_grad[0])
        step += 1
        if step % 100 == 0:
            report(step)

    (cx, cy), (r,) = centre.value, radius.value
    status = "converged" if gradient_norm <= GRADIENT_TOLERANCE else "NOT converged"
    print(f"{status} after {step} steps (gradient norm {gradient_norm:.1e})")
    print(
        f"final centre ({cx:+.5f}, {cy:+.5f}) radius {r:.5f}; "
        f"true centre ({TRUE_CENTRE[0]:+.5f}, {TRUE_CENTRE[1]:+.5f}) "
        f"radius {TRUE_RADIUS:.5f}"
    )


if __name__ == "__main__":
    main()

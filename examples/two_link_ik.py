"""Inverse kinematics of a planar two-link arm with q.least_squares.

The position of the arm's tip is one 2-lane expression of the two joint
angles, built once. Reaching a target is one least-squares solve of the tip's
offset from it over the two angles; the next target is a set_value on the
target and a new solve from where the arm stopped, not a new graph.

    python3 two_link_ik.py [--plot arm.png]
"""

import argparse
import math

import quoril as q

UPPER_ARM = 1.0
FOREARM = 0.7
TOLERANCE = 1e-9
GOALS = [(1.2, 0.6), (-0.4, 1.3), (0.5, -0.9)]

# Joint angles in radians: the shoulder's from the x axis, the elbow's from
# the upper arm. The target is a Parameter only so that it can be moved; it is
# not among the solve's unknowns.
shoulder = q.Parameter(0.3, name="shoulder")
elbow = q.Parameter(0.3, name="elbow")
target = q.Parameter(0.0, 0.0, name="target")

# Forward kinematics: each link adds its length along its absolute angle.
elbow_joint = UPPER_ARM * q.vec2(q.cos(shoulder), q.sin(shoulder))
forearm_angle = shoulder + elbow
tip = elbow_joint + FOREARM * q.vec2(q.cos(forearm_angle), q.sin(forearm_angle))
offset = tip - target


def degrees(angle: q.Expression) -> float:
    """The angle of a joint in degrees, within -180..180."""
    return math.degrees(math.remainder(angle.value[0], math.tau))


def reach(goal: tuple[float, float]) -> tuple[float, list[tuple[float, float]]]:
    """Solves for the angles that put the tip on `goal`; returns the remaining
    distance and the arm's joints from the base to the tip."""
    target.set_value(goal)
    print(f"target ({goal[0]:+.2f}, {goal[1]:+.2f})")
    # The default gtol stops once the gradient is about 1e-8, which leaves the
    # tip as far off; a reachable target deserves an exact hit.
    result = q.least_squares(offset, [shoulder, elbow], gtol=1e-12)
    distance = math.sqrt(2.0 * result.cost)
    print(
        f"  {result.nfev} evaluations ({result.method}): "
        f"shoulder {degrees(shoulder):+8.3f} deg  elbow {degrees(elbow):+8.3f} deg"
    )
    x, y = tip.eval()
    print(f"  tip at ({x:+.6f}, {y:+.6f}), distance {distance:.1e}")
    ex, ey = elbow_joint.eval()
    return distance, [(0.0, 0.0), (ex, ey), (x, y)]


def plot(path: str, poses: list[list[tuple[float, float]]]) -> None:
    """Saves each pose with its target."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(5, 5))
    for k, (pose, goal) in enumerate(zip(poses, GOALS)):
        line = ax.plot(*zip(*pose), "o-", label=f"pose {k + 1}")[0]
        ax.plot(*goal, "x", markersize=12, color=line.get_color())
    ax.set_aspect("equal")
    ax.grid(True)
    ax.legend()
    ax.set_title("two-link arm: poses reaching each target (x)")
    fig.savefig(path, dpi=100)
    print(f"plot saved to {path}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--plot", metavar="FILE", help="save a PNG of the poses")
    args = parser.parse_args()

    reached = [reach(goal) for goal in GOALS]
    worst = max(distance for distance, _ in reached)
    if args.plot:
        plot(args.plot, [pose for _, pose in reached])
    status = "reached" if worst <= TOLERANCE else "NOT reached"
    print(f"final reach error {worst:.3e}: all {len(GOALS)} targets {status}")


if __name__ == "__main__":
    main()

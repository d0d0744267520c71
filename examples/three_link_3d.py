"""Inverse kinematics of a three-link arm in space, with joint limits.

The arm of three_link_ik.py stood up: a base that turns about the vertical
axis, then a shoulder, an elbow and a wrist that bend about the axis
across the arm. Each joint is one angle, and each rotates everything beyond
it by `rotate` with the joint's axis times its angle as the rotation
vector, so the tip is a chain of rotations the solver differentiates
exactly. Four joints, three equations: the solve picks one of many poses,
within the joints' ranges of motion given as bounds.

    python3 three_link_3d.py [--plot arm.png]
"""

import argparse
import math

import quoril as q

LINKS = (1.0, 0.8, 0.5)
UP = (0.0, 0.0, 1.0)
# Turning about -y lifts a link along x upwards.
ACROSS = (0.0, -1.0, 0.0)
# Each joint's axis in the frame of the link before it, and its range in
# radians. The base turns freely; the elbow bends one way only and never
# quite straightens.
JOINTS = [
    ("base", UP, (None, None)),
    ("shoulder", ACROSS, (-1.6, 1.6)),
    ("elbow", ACROSS, (0.1, 2.6)),
    ("wrist", ACROSS, (-1.2, 1.2)),
]
GOALS = [(1.2, 0.8, 0.9), (-0.9, 0.5, 1.4), (0.4, -1.3, -0.5), (0.6, 0.6, 0.2)]
TOLERANCE = 1e-9

angles = [q.Parameter(0.3, name=name) for name, _, _ in JOINTS]
target = q.Parameter(0.0, 0.0, 0.0, name="target")


def chain() -> list[q.Expression]:
    """The positions of the elbow, the wrist and the tip. The base and the
    shoulder sit at the origin; link i lies along x in the frame of joints
    0..i+1, so it is rotated by those joints, the innermost first."""
    rotations = [angle * list(axis) for angle, (_, axis, _) in zip(angles, JOINTS)]
    positions: list[q.Expression] = []
    for i, length in enumerate(LINKS):
        link: q.Expression = q.Constant(length, 0.0, 0.0)
        for rotation in reversed(rotations[: i + 2]):
            link = q.rotate(link, rotation)
        positions.append(link if not positions else positions[-1] + link)
    return positions


positions = chain()
tip = positions[-1]


def within_limits() -> bool:
    return all(
        (low is None or low <= a.value[0]) and (high is None or a.value[0] <= high)
        for a, (_, _, (low, high)) in zip(angles, JOINTS)
    )


def reach(goal: tuple[float, float, float]) -> tuple[float, list[tuple[float, ...]]]:
    """Solves for joint angles within the limits that put the tip on `goal`;
    returns the remaining distance and the joints' positions."""
    target.set_value(goal)
    bounds = [limits for _, _, limits in JOINTS]
    result = q.least_squares(tip - target, angles, bounds=bounds, gtol=1e-12)
    distance = math.sqrt(2.0 * result.cost)
    shown = "  ".join(
        f"{a.name} {math.degrees(math.remainder(a.value[0], math.tau)):+8.3f} deg" for a in angles
    )
    print(f"target ({goal[0]:+.2f}, {goal[1]:+.2f}, {goal[2]:+.2f})")
    print(f"  {result.nfev} evaluations ({result.method}): {shown}")
    pinned = [a.name for a, active in zip(angles, result.active_mask) if active]
    print(f"  distance {distance:.1e}; at a limit: {', '.join(pinned) or 'none'}")
    pose = [(0.0, 0.0, 0.0)] + [p.eval() for p in positions]
    return distance, pose


def plot(path: str, poses: list[list[tuple[float, ...]]]) -> None:
    """Saves each pose with its target, in perspective."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig = plt.figure(figsize=(6, 6))
    ax = fig.add_subplot(projection="3d")
    for k, (pose, goal) in enumerate(zip(poses, GOALS)):
        line = ax.plot(*zip(*pose), "o-", label=f"pose {k + 1}")[0]
        ax.plot(*([c] for c in goal), "x", markersize=12, color=line.get_color())
    ax.set_box_aspect((1, 1, 1))
    ax.legend()
    ax.set_title("three-link arm in space (x: targets)")
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
    ok = worst <= TOLERANCE and within_limits()
    status = "reached within the joint limits" if ok else "NOT reached"
    print(f"final reach error {worst:.3e}: all {len(GOALS)} targets {status}")


if __name__ == "__main__":
    main()

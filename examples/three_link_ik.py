"""Inverse kinematics of a planar three-link arm with joint limits.

Two equations (the tip's x and y) in three joint angles: the solve has many
answers, and the one found depends on where it starts. Each joint's range of
motion is a bound of the solve, so the answer is one the arm can take; a
target that the arm could only reach by bending a joint too far is reached
with that joint against its limit, if at all.

    python3 three_link_ik.py [--plot arm.png]
"""

import argparse
import math

import quoril as q

LINKS = (1.0, 0.8, 0.5)
# Each joint's range in radians, measured from the link before it. The
# shoulder turns freely; the elbow bends one way only.
LIMITS: list[tuple[float | None, float | None]] = [(None, None), (0.0, 2.6), (-0.8, 0.8)]
GOALS = [(1.5, 1.0), (-0.8, 1.2), (0.6, -1.4), (0.9, 0.3)]
TOLERANCE = 1e-9

joints = [q.Parameter(0.3, name=name) for name in ("shoulder", "elbow", "wrist")]
target = q.Parameter(0.0, 0.0, name="target")

# Forward kinematics: the positions of the elbow, the wrist and the tip.
positions: list[q.Expression] = []
angle: q.Expression | None = None
point: q.Expression | None = None
for joint, length in zip(joints, LINKS):
    angle = joint if angle is None else angle + joint
    link = length * q.vec2(q.cos(angle), q.sin(angle))
    point = link if point is None else point + link
    positions.append(point)
tip = positions[-1]


def within_limits() -> bool:
    return all(
        (low is None or low <= joint.value[0]) and (high is None or joint.value[0] <= high)
        for joint, (low, high) in zip(joints, LIMITS)
    )


def reach(goal: tuple[float, float]) -> tuple[float, list[tuple[float, float]]]:
    """Solves for joint angles within the limits that put the tip on `goal`;
    returns the remaining distance and the arm's joints from base to tip."""
    target.set_value(goal)
    result = q.least_squares(tip - target, joints, bounds=LIMITS, gtol=1e-12)
    distance = math.sqrt(2.0 * result.cost)
    angles = "  ".join(
        f"{joint.name} {math.degrees(math.remainder(joint.value[0], math.tau)):+8.3f} deg"
        for joint in joints
    )
    pinned = [j.name for j, active in zip(joints, result.active_mask) if active]
    print(f"target ({goal[0]:+.2f}, {goal[1]:+.2f})")
    print(f"  {result.nfev} evaluations ({result.method}): {angles}")
    print(
        f"  distance {distance:.1e}; at a limit: {', '.join(pinned) or 'none'}"
    )
    pose = [(0.0, 0.0)] + [(p.eval()[0], p.eval()[1]) for p in positions]
    return distance, pose


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
    ax.set_title("three-link arm within joint limits (x: targets)")
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

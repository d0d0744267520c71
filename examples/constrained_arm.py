"""A planar three-link arm whose tip must lie on a circle while its joints
stay clear of an obstacle, solved with q.minimize under constraints.

Of all the poses that put the tip on the circle, the solve picks the one
nearest the arm's resting angles: the loss is the squared distance of the
angles from rest, the circle is an equality on the tip and the obstacle an
inequality on every joint. SLSQP gets the constraints' exact Jacobians.

    python3 constrained_arm.py [--plot arm.png]
"""

import argparse
import math

import quoril as q

LINKS = (1.0, 0.8, 0.6)
REST = (0.2, 0.6, 0.4)
CIRCLE = ((1.2, 0.9), 0.35)
OBSTACLE = ((0.9, 0.25), 0.3)
TOLERANCE = 1e-8

angles = [q.Parameter(a, name=f"joint{k + 1}") for k, a in enumerate(REST)]

# Forward kinematics: each joint's absolute angle is the sum of those before.
joints = [q.vec2(0.0, 0.0)]
heading = q.Constant(0.0)
for length, angle in zip(LINKS, angles):
    heading = heading + angle
    joints.append(joints[-1] + length * q.vec2(q.cos(heading), q.sin(heading)))
tip = joints[-1]

offsets = q.vec3(*(a - rest for a, rest in zip(angles, REST)))
effort = q.dot(offsets, offsets)
centre, radius = CIRCLE
on_circle = q.constraint(q.dot(tip - q.vec2(*centre), tip - q.vec2(*centre)),
                         lower=radius**2, upper=radius**2)
where, size = OBSTACLE
# The elbow, the wrist and the midpoints of the links keep clear of the disc.
points = joints[1:3] + [(a + b) * 0.5 for a, b in zip(joints, joints[1:])]
clear = [q.constraint(q.dot(p - q.vec2(*where), p - q.vec2(*where)), lower=size**2)
         for p in points]


def plot(path: str, pose: list[tuple[float, ...]]) -> None:
    """Saves the pose with the circle and the obstacle."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Circle

    fig, ax = plt.subplots(figsize=(5, 5))
    ax.add_patch(Circle(centre, radius, fill=False, linestyle="--", label="tip's circle"))
    ax.add_patch(Circle(where, size, color="grey", alpha=0.5, label="obstacle"))
    ax.plot(*zip(*pose), "o-", label="arm")
    ax.set_aspect("equal")
    ax.set_xlim(-0.5, 2.0)
    ax.set_ylim(-0.5, 2.0)
    ax.grid(True)
    ax.legend()
    ax.set_title("three-link arm: tip on the circle, clear of the obstacle")
    fig.savefig(path, dpi=100)
    print(f"plot saved to {path}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--plot", metavar="FILE", help="save a PNG of the pose")
    args = parser.parse_args()

    result = q.minimize(effort, angles, constraints=[on_circle, *clear],
                        options={"ftol": 1e-12})
    degrees = "  ".join(f"{a.name} {math.degrees(a.value[0]):+8.3f} deg" for a in angles)
    print(f"{result.nit} iterations: {degrees}")
    x, y = tip.eval()
    print(f"tip at ({x:+.6f}, {y:+.6f}), {math.dist((x, y), centre):.9f} from the centre")
    print(f"effort {result.fun:.6f}, constraint violation {result.constraint_violation:.1e}")
    if args.plot:
        plot(args.plot, [tuple(p.eval()) for p in joints])
    ok = result.success and result.constraint_violation <= TOLERANCE
    print("pose found: tip on the circle, clear of the obstacle" if ok else
          f"NOT found: {result.message}")


if __name__ == "__main__":
    main()

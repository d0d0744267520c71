"""Inverse kinematics of a planar two-link arm by gradient descent.

The position of the arm's tip is one 2-lane expression of the two joint
angles, built once. Each descent step evaluates the squared distance from the
tip to a target, back-propagates it into the angles and moves them against
their gradient. Reaching for the next target is a set_value on the target,
not a new graph.
"""

import math

import _quoril as q

UPPER_ARM = 1.0
FOREARM = 0.7
STEP_SIZE = 0.3
TOLERANCE = 1e-9
MAX_STEPS = 2000

# Joint angles in radians: the shoulder's from the x axis, the elbow's from
# the upper arm. The target is a Parameter only so that it can be moved.
shoulder = q.Parameter(0.3, name="shoulder")
elbow = q.Parameter(0.3, name="elbow")
target = q.Parameter(0.0, 0.0, name="target")

# Forward kinematics: each link adds its length along its absolute angle.
forearm_angle = shoulder + elbow
elbow_joint = UPPER_ARM * q.vec2(q.cos(shoulder), q.sin(shoulder))
tip = elbow_joint + FOREARM * q.vec2(q.cos(forearm_angle), q.sin(forearm_angle))
offset = tip - target
squared = offset * offset
loss = squared.x + squared.y


def degrees(angle: q.Expression) -> float:
    """The angle of a joint in degrees, within -180..180."""
    return math.degrees(math.remainder(angle.value[0], math.tau))


def reach(goal: tuple[float, float]) -> float:
    """Descends until the tip is within TOLERANCE of `goal`; returns the
    remaining distance."""
    target.set_value(goal)
    print(f"target ({goal[0]:+.2f}, {goal[1]:+.2f})")
    distance = math.sqrt(loss.eval()[0])
    step = 0
    while distance > TOLERANCE and step < MAX_STEPS:
        loss.zero_grad()
        loss.backward()
        for joint in (shoulder, elbow):
            gradient = joint.grad
            assert gradient is not None
            joint.set_value(joint.value[0] - STEP_SIZE * gradient[0])
        step += 1
        distance = math.sqrt(loss.eval()[0])
        if step % 25 == 0 or distance <= TOLERANCE:
            print(
                f"  step {step:4d}  distance {distance:.3e}  "
                f"shoulder {degrees(shoulder):+8.3f} deg  "
                f"elbow {degrees(elbow):+8.3f} deg"
            )
    x, y = tip.eval()
    print(f"  tip at ({x:+.6f}, {y:+.6f}) after {step} steps")
    return distance


def main() -> None:
    goals = [(1.2, 0.6), (-0.4, 1.3), (0.5, -0.9)]
    worst = max(reach(goal) for goal in goals)
    status = "reached" if worst <= TOLERANCE else "NOT reached"
    print(f"final reach error {worst:.3e}: all {len(goals)} targets {status}")


if __name__ == "__main__":
    main()

"""A camera's pose from 30 point correspondences (perspective-n-point).

Thirty known 3-D points are seen by a pinhole camera as pixels with half a
pixel of noise. The pose is a rotation vector w and a translation t that
take world points into the camera's frame; each correspondence gives one
two-lane residual, its projection minus its observed pixel, and
q.least_squares solves for w and t together. The solve starts at no
rotation, where Rodrigues' formula written with sqrt and sin would have no
finite derivative; the package's rotate is smooth there. The same problem
then goes to SciPy's least_squares over scipy.spatial.transform.Rotation
with finite differences, which must find the same pose.

    python3 camera_pose.py [--plot pose.png]
"""

import argparse
import math

import numpy as np
import scipy.optimize  # type: ignore[import-untyped]
from scipy.spatial.transform import Rotation  # type: ignore[import-untyped]

import quoril as q


POINTS = 30
SEED = 7
NOISE = 0.5  # pixels
FOCAL = 800.0
CENTRE = (320.0, 240.0)
TRUE_W = (0.25, -0.4, 0.15)
TRUE_T = (0.3, -0.2, 6.0)
START_T = (0.0, 0.0, 5.0)
# No rotation at all, unless the smooth operations are not yet in the
# native module, whose stand-ins are 0/0 at exactly zero.
START_W = (0.0, 0.0, 0.0)
AGREEMENT = 1e-8


def project(camera: np.ndarray) -> np.ndarray:
    """Pixels of points given in the camera's frame."""
    pixels: np.ndarray = FOCAL * camera[:, :2] / camera[:, 2:3] + np.array(CENTRE)
    return pixels


def scene() -> tuple[np.ndarray, np.ndarray]:
    """World points in a box before the camera and their noisy pixels."""
    rng = np.random.default_rng(SEED)
    world = rng.uniform([-2.0, -1.5, -1.0], [2.0, 1.5, 1.0], size=(POINTS, 3))
    camera = Rotation.from_rotvec(TRUE_W).apply(world) + np.array(TRUE_T)
    return world, project(camera) + rng.normal(0.0, NOISE, size=(POINTS, 2))


world, pixels = scene()
w = q.Parameter(*START_W, name="w")
t = q.Parameter(*START_T, name="t")


def reprojection(point: np.ndarray, pixel: np.ndarray) -> q.Expression:
    """The projection of one world point at the pose (w, t), minus its pixel."""
    c = q.transform(point.tolist(), w, t)
    offset: list[float] = (np.array(CENTRE) - pixel).tolist()
    return FOCAL * q.vec2(c.x / c.z, c.y / c.z) + offset


residuals = [reprojection(p, m) for p, m in zip(world, pixels)]


def scipy_pose() -> np.ndarray:
    """The same fit with SciPy alone: its Rotation and finite differences."""

    def fun(x: np.ndarray) -> np.ndarray:
        camera = Rotation.from_rotvec(x[:3]).apply(world) + x[3:]
        residual: np.ndarray = (project(camera) - pixels).ravel()
        return residual

    start = np.array([*START_W, *START_T])
    result = scipy.optimize.least_squares(fun, start, method="trf", xtol=1e-15,
                                          ftol=1e-15, gtol=1e-15)
    return np.asarray(result.x)


def angle_between(a: tuple[float, ...], b: tuple[float, ...]) -> float:
    """The angle in degrees of the rotation that takes rotation b to a."""
    relative = Rotation.from_rotvec(a) * Rotation.from_rotvec(b).inv()
    return math.degrees(float(np.linalg.norm(relative.as_rotvec())))


def plot(path: str) -> None:
    """Saves the observed pixels with the reprojections at the start and at
    the solution."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    solved = q.values(residuals).reshape(-1, 2) + pixels
    fig, ax = plt.subplots(figsize=(6.4, 4.8))
    ax.plot(start_pixels[:, 0], start_pixels[:, 1], "+", color="0.6",
            label="start: no rotation")
    ax.plot(pixels[:, 0], pixels[:, 1], "o", mfc="none", label="observed")
    ax.plot(solved[:, 0], solved[:, 1], "x", label="reprojected at the solution")
    ax.set_xlim(0, 2 * CENTRE[0])
    ax.set_ylim(2 * CENTRE[1], 0)
    ax.set_aspect("equal")
    ax.legend(loc="lower right")
    ax.set_title("camera pose from 30 correspondences")
    fig.savefig(path, dpi=100)
    print(f"plot saved to {path}")


start_pixels = q.values(residuals).reshape(-1, 2) + pixels


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--plot", metavar="FILE", help="save a PNG of the reprojections")
    args = parser.parse_args()

    result = q.least_squares(residuals, [w, t], xtol=1e-15, ftol=1e-15, gtol=1e-15)
    rms = math.sqrt(2.0 * result.cost / POINTS)
    print(f"converged after {result.nfev} evaluations ({result.method}): "
          f"rms reprojection error {rms:.3f} px")
    print(f"rotation error {angle_between(w.value, TRUE_W):.4f} deg, "
          f"translation error {np.linalg.norm(np.subtract(t.value, TRUE_T)):.4f}")
    reference = scipy_pose()
    gap = float(np.max(np.abs(np.array([*w.value, *t.value]) - reference)))
    same = gap <= AGREEMENT
    print(f"SciPy with Rotation and finite differences: largest difference {gap:.1e} "
          f"({'the same pose' if same else 'a DIFFERENT pose'})")
    if args.plot:
        plot(args.plot)
    ok = result.success and same and rms < 2 * NOISE
    print(f"final pose {'found' if ok else 'NOT found'} from no rotation")


if __name__ == "__main__":
    main()

"""Every script in examples/ runs to the end against the module under test and
reports that it got where it set out to go."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import _quoril

REPO = Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"


def check_first_steps(output):
    for line in [
        "y.eval() = (5.0,)",
        "after backward: p.grad = (4.0,)",
        "after a second backward: p.grad = (8.0,)",
        "after zero_grad: p.grad = None",
        "after p.set_value(3.0): y.eval() = (10.0,)",
    ]:
        assert line in output.splitlines()


def check_reach(output, status):
    match = re.search(
        rf"^final reach error (\S+): all (\d+) targets {status}$", output, re.MULTILINE
    )
    assert match, "no final line reporting every target reached"
    assert float(match[1]) <= 1e-9
    assert int(match[2]) == len(re.findall(r"^target ", output, re.MULTILINE))


def check_two_link_ik(output):
    check_reach(output, "reached")


def check_three_link_ik(output):
    check_reach(output, "reached within the joint limits")
    # The first target is reachable only with the wrist against its limit.
    assert "at a limit: wrist" in output


NUMBER = r"([-+]?\d+\.\d+)"


def check_circle_fit(output):
    assert re.search(r"^converged after \d+ evaluations", output, re.MULTILINE)
    match = re.search(
        rf"^final centre \({NUMBER}, {NUMBER}\) radius {NUMBER}; "
        rf"true centre \({NUMBER}, {NUMBER}\) radius {NUMBER}$",
        output, re.MULTILINE,
    )
    assert match, "no final line with the fitted and the true circle"
    fitted, true = (
        [float(match[i]) for i in group] for group in ((1, 2, 3), (4, 5, 6))
    )
    # The points carry noise of 0.05 along the radius, so the fit lands near
    # the truth but not on it.
    assert fitted == pytest.approx(true, abs=0.05)
    assert fitted != pytest.approx(true, abs=1e-6)


def check_ellipse_fit(output):
    assert re.search(r"^converged after \d+ evaluations", output, re.MULTILINE)
    match = re.search(
        rf"^final centre \({NUMBER}, {NUMBER}\) axes \({NUMBER}, {NUMBER}\) angle {NUMBER}; "
        rf"true centre \({NUMBER}, {NUMBER}\) axes \({NUMBER}, {NUMBER}\) angle {NUMBER}$",
        output, re.MULTILINE,
    )
    assert match, "no final line with the fitted and the true ellipse"
    values = [float(match[i]) for i in range(1, 11)]
    # Noise of 0.03 on 60 points: near the truth, not on it.
    assert values[:5] == pytest.approx(values[5:], abs=0.02)
    assert values[:5] != pytest.approx(values[5:], abs=1e-6)


def check_damped_sinusoid(output):
    assert re.search(r"^converged after \d+ evaluations", output, re.MULTILINE)
    match = re.search(r"^final  (.*);  true  (.*)$", output, re.MULTILINE)
    assert match, "no final line with the fitted and the true parameters"
    fitted, true = (
        [float(v) for v in re.findall(NUMBER, group)] for group in (match[1], match[2])
    )
    assert len(fitted) == len(true) == 4
    assert fitted == pytest.approx(true, abs=0.01)
    # The report: dof counts the four Parameters off 100 samples, and the
    # truth lies within three standard errors of every fitted value.
    assert re.search(r"^residual lanes 100, free Parameter lanes 4, dof 96$", output, re.MULTILINE)
    rows = re.findall(rf"^(a|b|w|phi) +{NUMBER} +(\d\.\d+(?:e-\d+)?) ", output, re.MULTILINE)
    assert [name for name, _, _ in rows] == ["a", "b", "w", "phi"]
    for (name, value, error), expected in zip(rows, true):
        assert 0.0 < float(error) < 0.01
        assert abs(float(value) - expected) < 3.0 * float(error), name


def check_sphere_fit(output):
    assert re.search(r"^converged after \d+ evaluations in [\d.]+ ms over 100000 points",
                     output, re.MULTILINE)
    assert re.search(r"^residual lanes 100000, free Parameter lanes 4, dof 99996$",
                     output, re.MULTILINE)
    match = re.search(r"solutions agree to (\S+)$", output, re.MULTILINE)
    assert match and float(match[1]) < 1e-8
    match = re.search(
        rf"^final centre \({NUMBER}, {NUMBER}, {NUMBER}\) radius {NUMBER}; "
        rf"true centre \({NUMBER}, {NUMBER}, {NUMBER}\) radius {NUMBER}$",
        output, re.MULTILINE,
    )
    assert match, "no final line with the fitted and the true sphere"
    values = [float(match[i]) for i in range(1, 9)]
    # 100,000 points with noise 0.01, but only a cap: near the truth, not on it.
    assert values[:4] == pytest.approx(values[4:], abs=1e-3)
    assert values[:4] != pytest.approx(values[4:], abs=1e-9)


def check_nist_strd(output):
    reached = re.findall(r"\((\d+\.\d) digits\)", output)
    assert len(reached) == 2 * (2 + 2 + 4)
    assert all(float(d) >= 7.0 for d in reached)
    # Standard errors against NIST's certified standard deviations.
    sd = re.findall(r"\((\d+\.\d) sd digits\)", output)
    print("digits of the certified standard deviations reached:", sd)
    assert len(sd) == 2 * (2 + 2 + 4)
    assert all(float(d) >= 8.0 for d in sd)
    assert len(re.findall(r"^residual lanes \d+, free Parameter lanes \d, dof (?:12|7)$",
                          output, re.MULTILINE)) == 3
    match = re.search(
        r"^all 6 solves converged to the certified values: at least (\S+) significant digits"
        r".*, standard errors to at least (\S+) \(8 needed\)$",
        output, re.MULTILINE,
    )
    assert match, "no final line reporting every solve converged"
    assert float(match[1]) >= 7.0 and float(match[2]) >= 8.0


def check_camera_pose(output):
    assert re.search(r"^converged after \d+ evaluations", output, re.MULTILINE)
    assert re.search(r"largest difference \S+ \(the same pose\)$", output, re.MULTILINE)
    assert output.rstrip().endswith("final pose found from no rotation")


def check_three_link_3d(output):
    check_reach(output, "reached within the joint limits")


def check_constrained_arm(output):
    assert "pose found: tip on the circle, clear of the obstacle" in output
    violation = float(re.search(r"constraint violation (\S+)", output).group(1))
    assert violation <= 1e-8


CHECKS = {
    "first_steps.py": check_first_steps,
    "two_link_ik.py": check_two_link_ik,
    "three_link_ik.py": check_three_link_ik,
    "circle_fit.py": check_circle_fit,
    "ellipse_fit.py": check_ellipse_fit,
    "damped_sinusoid.py": check_damped_sinusoid,
    "nist_strd.py": check_nist_strd,
    "sphere_fit.py": check_sphere_fit,
    "camera_pose.py": check_camera_pose,
    "three_link_3d.py": check_three_link_3d,
    "constrained_arm.py": check_constrained_arm,
}


def run_example(python, script, cwd, env, *args):
    return subprocess.run(
        [str(python), str(script), *args], cwd=cwd, env=env,
        capture_output=True, text=True, timeout=120,
    )


def test_every_example_is_checked():
    assert {path.name for path in EXAMPLES.glob("*.py")} == set(CHECKS)


def example_env():
    env = dict(os.environ)
    module_dir = str(Path(_quoril.__file__).parent)
    env["PYTHONPATH"] = os.pathsep.join(
        [module_dir] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else [])
    )
    return env


@pytest.mark.parametrize("name", sorted(CHECKS))
def test_example_runs_and_converges(name, tmp_path):
    result = run_example(sys.executable, EXAMPLES / name, tmp_path, example_env())
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stderr == ""
    CHECKS[name](result.stdout)


@pytest.mark.parametrize("name", sorted(set(CHECKS) - {"first_steps.py"}))
def test_example_saves_a_plot(name, tmp_path):
    pytest.importorskip("matplotlib")
    result = run_example(
        sys.executable, EXAMPLES / name, tmp_path, example_env(), "--plot", "out.png"
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert (tmp_path / "out.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    CHECKS[name](result.stdout)

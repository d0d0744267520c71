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


def check_two_link_ik(output):
    match = re.search(r"^final reach error (\S+): all (\d+) targets reached$", output, re.MULTILINE)
    assert match, "no final line reporting every target reached"
    assert float(match[1]) <= 1e-9
    assert int(match[2]) == len(re.findall(r"^target ", output, re.MULTILINE))


NUMBER = r"([-+]?\d+\.\d+)"


def check_circle_fit(output):
    assert re.search(r"^converged after \d+ steps", output, re.MULTILINE)
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


CHECKS = {
    "first_steps.py": check_first_steps,
    "two_link_ik.py": check_two_link_ik,
    "circle_fit.py": check_circle_fit,
}


def run_example(python, script, cwd, env):
    return subprocess.run(
        [str(python), str(script)], cwd=cwd, env=env,
        capture_output=True, text=True, timeout=120,
    )


def test_every_example_is_checked():
    assert {path.name for path in EXAMPLES.glob("*.py")} == set(CHECKS)


@pytest.mark.parametrize("name", sorted(CHECKS))
def test_example_runs_and_converges(name, tmp_path):
    env = dict(os.environ)
    module_dir = str(Path(_quoril.__file__).parent)
    env["PYTHONPATH"] = os.pathsep.join(
        [module_dir] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else [])
    )
    result = run_example(sys.executable, EXAMPLES / name, tmp_path, env)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stderr == ""
    CHECKS[name](result.stdout)

"""pip installs the repository into a fresh virtual environment, and the
installed module, stub and examples work from outside the source tree.

The build backend comes from the system (--no-build-isolation), since the
environment this runs in has no package index. One build per test run.
"""

import filecmp
import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

from test_examples import CHECKS

REPO = Path(__file__).resolve().parents[2]


def missing_tool():
    """Names what this machine lacks for an offline pip install, or None."""
    if importlib.util.find_spec("venv") is None:
        return "the venv module is missing"
    # Debian ships ensurepip's wheels separately (python3.14-venv); without
    # them venv cannot put pip into a new environment.
    probe = subprocess.run(
        [sys.executable, "-m", "ensurepip", "--version"], capture_output=True
    )
    if probe.returncode != 0:
        return "ensurepip cannot provide pip (python3.14-venv missing?)"
    if importlib.util.find_spec("scikit_build_core") is None:
        return "scikit-build-core is not installed (python3-scikit-build-core)"
    return None


MISSING = missing_tool()
pytestmark = pytest.mark.skipif(MISSING is not None, reason=MISSING or "")


def clean_env():
    """The environment without anything that would find the module in the
    build tree or change how pip behaves."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH" and not k.startswith("PIP_")}
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    env["PIP_NO_INPUT"] = "1"
    return env


def run(args, **kwargs):
    result = subprocess.run(
        [str(a) for a in args], capture_output=True, text=True,
        env=clean_env(), timeout=600, **kwargs,
    )
    assert result.returncode == 0, f"{args}\n{result.stdout}\n{result.stderr}"
    return result


@pytest.fixture(scope="module")
def venv_python(tmp_path_factory):
    root = tmp_path_factory.mktemp("packaging")
    venv = root / "venv"
    # System site packages supply the build backend; the venv's own
    # site-packages come first, so its _quoril wins over anything there.
    run([sys.executable, "-m", "venv", "--system-site-packages", venv])
    python = venv / "bin" / "python"
    run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index",
         "--no-deps", "-C", f"build-dir={root / 'build'}", REPO], cwd=root)
    return python


@pytest.fixture
def outside(tmp_path):
    """A working directory with copies of the examples and nothing else."""
    for script in (REPO / "examples").glob("*.py"):
        shutil.copy(script, tmp_path)
    return tmp_path


def site_packages(python):
    return Path(run([python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"]).stdout.strip())


def test_module_imports_from_the_venv(venv_python, outside):
    result = run([venv_python, "-c", "import _quoril; print(_quoril.__file__); print(_quoril.__version__)"], cwd=outside)
    location, version = result.stdout.split()
    assert Path(location).parent == site_packages(venv_python)
    assert version == "0.1.0"


def test_wheel_holds_the_module_and_its_typing_only(venv_python, outside):
    listing = run(
        [venv_python, "-c", "import importlib.metadata as m; print(*m.files('quoril'), sep='\\n')"],
        cwd=outside,
    ).stdout.split()
    installed = {name for name in listing if ".dist-info/" not in name}
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    assert installed == {f"_quoril{suffix}", "_quoril.pyi", "py.typed", "_quoril-stubs/__init__.pyi"}


def test_installed_stubs_are_the_source_stub(venv_python):
    packages = site_packages(venv_python)
    source = REPO / "python" / "_quoril.pyi"
    for stub in (packages / "_quoril.pyi", packages / "_quoril-stubs" / "__init__.pyi"):
        assert filecmp.cmp(stub, source, shallow=False), stub


@pytest.mark.parametrize("name", sorted(CHECKS))
def test_example_runs_on_the_installed_module(venv_python, outside, name):
    result = run([venv_python, outside / name], cwd=outside)
    CHECKS[name](result.stdout)


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_finds_the_installed_stub(venv_python, outside):
    # No MYPYPATH: the types must come from what pip installed.
    scripts = sorted(outside.glob("*.py"))
    run([venv_python, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", outside / ".mypy_cache", *scripts], cwd=outside)

"""The suite runs against one of two copies of the modules: a CMake build tree
of this project (./dev test, ./dev check) or an installed wheel (./dev dist,
cibuildwheel).

Tests that read files of the build tree carry the marker `build_tree` and are
skipped against an installed copy; tests of what a wheel installs carry
`installed` and are skipped against a build tree. QUORIL_TEST_INSTALLED=1 says
the run is meant for an installed copy: the session then stops at once when
either module would come from anywhere but this interpreter's site-packages.
"""

import os
import sysconfig
from pathlib import Path

import pytest

import _quoril

# A build tree puts the module in <build>/python, beside CMake's cache.
FROM_BUILD_TREE = (Path(_quoril.__file__).parent.parent / "CMakeCache.txt").is_file()


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "build_tree: reads files of the build tree; skipped against an installed wheel")
    config.addinivalue_line(
        "markers", "installed: checks what a wheel installed; skipped against a build tree")
    if os.environ.get("QUORIL_TEST_INSTALLED") == "1":
        import quoril

        site = Path(sysconfig.get_path("platlib")).resolve()
        where = {
            "_quoril": Path(_quoril.__file__).parent.resolve(),
            "quoril": Path(quoril.__file__).parent.parent.resolve(),
        }
        strays = [f"{name} from {folder}" for name, folder in where.items() if folder != site]
        if strays:
            pytest.exit(f"QUORIL_TEST_INSTALLED=1, but {', '.join(strays)} "
                        f"instead of {site}; is PYTHONPATH set?", returncode=4)


def pytest_collection_modifyitems(items):
    unwanted, reason = (
        ("installed", "checks an installed wheel; this run tests the build tree")
        if FROM_BUILD_TREE else
        ("build_tree", "needs the build tree; this run tests an installed wheel")
    )
    for item in items:
        if item.get_closest_marker(unwanted):
            item.add_marker(pytest.mark.skip(reason=reason))


@pytest.fixture
def next_id():
    """Returns a probe that creates (and drops) one node and reports its id.

    Two probes around a call differ by exactly 1 when the call consumed no id.
    """
    return lambda: _quoril.Constant(0.0).id

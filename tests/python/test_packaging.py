"""What a wheel installs: exactly the modules, the package with its shared
core, the stubs, the typing markers, the license and the metadata; run paths
that never leave the installed package; one core for both modules.

These run against an installed wheel only: `./dev dist` builds the wheel from
the sdist, installs it into a fresh virtual environment and runs the whole
suite there (it names the wheel in QUORIL_WHEEL); cibuildwheel does the same
for each wheel it builds. Against the build tree they are skipped.
"""

import filecmp
import importlib.metadata
import importlib.util
import os
import shutil
import struct
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest

import _quoril
import quoril

pytestmark = pytest.mark.installed

REPO = Path(__file__).resolve().parents[2]
SITE = Path(sysconfig.get_path("platlib"))
EXT = sysconfig.get_config_var("EXT_SUFFIX")
# Files an installer adds to the metadata folder, beyond what the wheel holds.
INSTALLER_FILES = {"INSTALLER", "REQUESTED", "direct_url.json"}


def wheel_files():
    """The paths the wheel holds: from the wheel itself when QUORIL_WHEEL
    names it, otherwise from the installed record, which lists the same."""
    if wheel := os.environ.get("QUORIL_WHEEL"):
        with zipfile.ZipFile(wheel) as archive:
            return {name for name in archive.namelist() if not name.endswith("/")}
    return {
        path.as_posix() for path in importlib.metadata.files("quoril")
        if "__pycache__" not in path.parts
        and not (path.parts[0].endswith(".dist-info") and path.name in INSTALLER_FILES)
    }


def expected_files():
    source = REPO / "package" / "quoril"
    package = {p.name for p in source.iterdir() if p.suffix in {".py", ".pyi"}}
    package |= {"py.typed", "VERSION", f"_native{EXT}", "libquoril_core.so"}
    info = f"quoril-{importlib.metadata.version('quoril')}.dist-info"
    return (
        {f"_quoril{EXT}", "_quoril.pyi", "py.typed", "_quoril-stubs/__init__.pyi"}
        | {f"quoril/{name}" for name in package}
        | {f"{info}/{name}" for name in ("METADATA", "WHEEL", "RECORD", "licenses/LICENSE")}
    )


def test_wheel_holds_exactly_the_modules_package_stubs_and_metadata():
    files, expected = wheel_files(), expected_files()
    missing, extra = sorted(expected - files), sorted(files - expected)
    assert not missing and not extra, f"missing from the wheel: {missing}; not expected: {extra}"


def dynamic_section(path):
    """Returns the needed libraries and the run path entries (RPATH and
    RUNPATH) of a 64-bit little-endian ELF file, as x86_64 and aarch64 use."""
    data = path.read_bytes()
    assert data[:6] == b"\x7fELF\x02\x01", f"{path} is not a 64-bit little-endian ELF file"
    (section_table,) = struct.unpack_from("<Q", data, 0x28)
    entry_size, count = struct.unpack_from("<HH", data, 0x3A)
    # name, type, flags, address, offset, size, link, ...
    sections = [struct.unpack_from("<IIQQQQI", data, section_table + i * entry_size)
                for i in range(count)]
    dynamic = next(s for s in sections if s[1] == 6)  # SHT_DYNAMIC
    strings = sections[dynamic[6]][4]

    def string(offset):
        start = strings + offset
        return data[start:data.index(b"\0", start)].decode()

    needed, run_path = [], []
    for tag, value in struct.iter_unpack("<qQ", data[dynamic[4]:dynamic[4] + dynamic[5]]):
        if tag == 0:  # DT_NULL
            break
        if tag == 1:  # DT_NEEDED
            needed.append(string(value))
        elif tag in (15, 29):  # DT_RPATH, DT_RUNPATH
            run_path += string(value).split(":")
    return needed, run_path


NATIVE = [f"_quoril{EXT}", f"quoril/_native{EXT}", "quoril/libquoril_core.so"]


@pytest.mark.parametrize("name", NATIVE)
def test_run_paths_stay_inside_the_installed_package(name):
    library = SITE / name
    package = (SITE / "quoril").resolve()
    needed, run_path = dynamic_section(library)
    folders = []
    for entry in run_path:
        assert entry.startswith("$ORIGIN"), f"{name}: run path {entry!r} is not relative to it"
        folder = Path(os.path.normpath(entry.replace("$ORIGIN", str(library.parent), 1)))
        assert folder.resolve().is_relative_to(package), \
            f"{name}: run path {entry!r} leads to {folder}, outside {package}"
        folders.append(folder)
    # The core ships with the package, so the run path must reach it.
    for dependency in (n for n in needed if "quoril" in n):
        assert any((folder / dependency).is_file() for folder in folders), \
            f"{name} needs {dependency}, which its run path {run_path} does not reach"


def test_both_modules_load_the_one_installed_core():
    # Importing quoril has loaded both modules.
    maps = Path("/proc/self/maps").read_text(encoding="ascii", errors="replace")
    cores = {line.split(None, 5)[5] for line in maps.splitlines()
             if len(line.split(None, 5)) == 6 and "quoril_core" in line}
    assert cores == {str((SITE / "quoril" / "libquoril_core.so").resolve())}


@pytest.mark.parametrize(("installed", "source"), [
    ("_quoril.pyi", "python/_quoril.pyi"),
    ("_quoril-stubs/__init__.pyi", "python/_quoril.pyi"),
    ("quoril/_native.pyi", "package/quoril/_native.pyi"),
])
def test_installed_stubs_are_the_source_stubs(installed, source):
    assert filecmp.cmp(SITE / installed, REPO / source, shallow=False)


def test_versions():
    # The package reports the distribution's version; the extension module
    # keeps its own.
    assert quoril.__version__ == importlib.metadata.version("quoril")
    assert _quoril.__version__ == "0.1.0"


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_takes_the_types_from_the_installed_wheel(tmp_path):
    # No MYPYPATH: the types must come from what the wheel installed.
    scripts = sorted(p.name for p in (REPO / "examples").glob("*.py"))
    for script in scripts:
        shutil.copy(REPO / "examples" / script, tmp_path)
    env = {k: v for k, v in os.environ.items() if k not in {"MYPYPATH", "PYTHONPATH"}}
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", str(tmp_path / ".mypy_cache"), *scripts],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr

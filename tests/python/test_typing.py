"""The stub python/_quoril.pyi: it names exactly what the module has, strict
mypy accepts the examples and a usage file written against it, and rejects
misuse that the module would reject at run time."""

import ast
import importlib.util
import os
import re
import subprocess
import sys
import types
from pathlib import Path

import pytest

import _quoril

REPO = Path(__file__).resolve().parents[2]
STUB = REPO / "python" / "_quoril.pyi"
USAGE = REPO / "tests" / "typing" / "check_usage.py"

needs_mypy = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None,
    reason="mypy is not installed (Debian package mypy)",
)

# Attributes every module or class gets from Python or from the binding
# library rather than from _quoril. Expression's __init__ is the binding's
# refusal to construct, which the stub leaves out on purpose; copy and pickle
# cache __slotnames__ in any class they have looked at.
MODULE_OWN = set(dir(types.ModuleType("m"))) | {"__file__", "__cached__", "__builtins__"}
CLASS_OWN = {"__doc__", "__module__", "__init__", "__dict__", "__weakref__", "__slotnames__"}


def is_private(name):
    return name.startswith("_") and not name.startswith("__")


def stub_names():
    """Returns the stub's public module names, Expression's members and which
    of those are properties."""
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    module, members, properties = set(), set(), set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            module.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            module.add(node.target.id)
        if isinstance(node, ast.ClassDef) and node.name == "Expression":
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    members.add(item.name)
                    decorators = {ast.unparse(d) for d in item.decorator_list}
                    if "property" in decorators:
                        properties.add(item.name)
    return {n for n in module if not is_private(n)}, members, properties


def module_names():
    return {n for n in dir(_quoril) if n not in MODULE_OWN and not n.startswith("_pybind11")}


def expression_members():
    return {
        name: attribute
        for name, attribute in vars(_quoril.Expression).items()
        if name not in CLASS_OWN and not name.startswith("_pybind11")
    }


def test_stub_lists_exactly_the_module_names():
    stub_module, _, _ = stub_names()
    assert stub_module == module_names()


def test_stub_lists_exactly_the_expression_members():
    _, stub_members, _ = stub_names()
    assert stub_members == set(expression_members())


def test_stub_properties_are_the_module_properties():
    _, _, stub_properties = stub_names()
    runtime = {n for n, a in expression_members().items() if isinstance(a, property)}
    assert stub_properties == runtime


def stub_ops():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    [literal] = [node.value for node in tree.body
                 if isinstance(node, ast.AnnAssign) and ast.unparse(node.target) == "_Op"]
    return {item.value for item in literal.slice.elts}


def test_stub_op_names_every_operation_the_module_reports():
    import quoril

    p = quoril.Parameter(0.5, 2.0)
    built = [p, quoril.vec2(p.x, 1.0), p.x, p + 1, p - 1, p * 2, p / 2, -p, quoril.sin(p),
             quoril.cos(p), quoril.exp(p), quoril.log(p), quoril.sqrt(p), quoril.tanh(p),
             quoril.abs(p), quoril.pow(p, p), quoril.atan2(p, p), quoril.sinc_sqrt(p),
             quoril.atanc_sqrt(p)]
    assert stub_ops() == {value.op for value in built}


def run_mypy(*paths, cwd=REPO, extra_env=None):
    env = dict(os.environ)
    env.update(extra_env or {})
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--no-error-summary", *map(str, paths)],
        cwd=cwd, env=env, capture_output=True, text=True, timeout=300,
    )


@needs_mypy
def test_strict_mypy_accepts_examples_and_usage(tmp_path):
    examples = sorted((REPO / "examples").glob("*.py"))
    result = run_mypy(
        *examples, USAGE,
        extra_env={"MYPYPATH": f"{REPO / 'python'}:{REPO / 'package'}", "MYPY_CACHE_DIR": str(tmp_path)},
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_usage_file_runs_against_the_module():
    result = subprocess.run(
        [sys.executable, str(USAGE)], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stdout + result.stderr


# Each line is wrong in a way the module would report at run time (or, for
# the last ones, a misreading of a result); strict mypy must flag every one.
MISUSE = [
    'p + "a"',
    '"a" * p',
    "p - None",
    "q.vec2(p)",
    "q.sin(p, p)",
    "q.Constant(1.0, name='c')",
    "q.Parameter(1.0, name=2)",
    "q.Parameter(1.0, nme='p')",
    "q.Undefined(2)",
    "q.Undefined(hint='ab')",
    "q.Undefined(dim=2.0)",
    "p[1.5]",
    "p.set_value(name='x')",
    "p.backward('1')",
    "p.zero_grad(1)",
    "p.grad[0]",
    "p.hint[0]",
    "p.value = (1.0,)",
    "p.name = 'q'",
    "first: float = p.eval()",
    "operand: q.Expression = p.inputs",
    "p.kind == 'Constnt'",
    "p.dim == '2'",
]


@needs_mypy
def test_strict_mypy_rejects_misuse(tmp_path):
    header = ["import _quoril as q", "p = q.Parameter(1.0)"]
    source = tmp_path / "misuse.py"
    source.write_text("\n".join(header + MISUSE) + "\n", encoding="utf-8")
    result = run_mypy(
        source, cwd=tmp_path,
        extra_env={"MYPYPATH": f"{REPO / 'python'}:{REPO / 'package'}", "MYPY_CACHE_DIR": str(tmp_path)},
    )
    flagged = {
        int(match[1])
        for match in re.finditer(r"^misuse\.py:(\d+): error:", result.stdout, re.MULTILINE)
    }
    accepted = [snippet for i, snippet in enumerate(MISUSE, len(header) + 1) if i not in flagged]
    assert accepted == [], result.stdout

import ast
import copy
import importlib
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import _quoril
from _quoril import Constant, Expression, Parameter, Undefined


def test_version_is_the_release_string():
    assert _quoril.__version__ == "0.1.0"


def test_module_exposes_only_its_functions_and_type():
    public = {name for name in dir(_quoril) if not name.startswith("__")}
    assert public == {"Expression", "Constant", "Parameter", "Undefined",
                      "vec2", "vec3", "vec4", "sin", "cos"}


@pytest.mark.parametrize("obj", [_quoril, Expression], ids=["module", "type"])
def test_has_no_docstring(obj):
    assert obj.__doc__ is None


def test_expression_cannot_be_constructed():
    with pytest.raises(TypeError) as excinfo:
        Expression()
    assert str(excinfo.value) == "_quoril.Expression: No constructor defined!"


class _Derived(Expression):
    pass


@pytest.mark.parametrize(
    "make",
    [
        lambda: Expression.__new__(Expression),
        lambda: object.__new__(Expression),
        lambda: _Derived.__new__(_Derived),
        lambda: _Derived(),
        lambda: copy.copy(Parameter(1.0)),
    ],
    ids=["new", "object-new", "subclass-new", "subclass-call", "copy"],
)
def test_no_expression_without_a_node_can_be_made(make):
    # Such an object would hand every method a handle to nothing.
    with pytest.raises(TypeError):
        make()


@pytest.mark.parametrize("attribute", ["name", "id", "grad", "x", "label"])
def test_attributes_cannot_be_assigned(attribute):
    with pytest.raises(AttributeError):
        setattr(Parameter(1.0, name="p"), attribute, "q")


def test_reexecuting_the_module_reuses_the_completed_one(monkeypatch):
    # Forgetting the module makes the import system create and execute it
    # afresh from the already loaded library.
    monkeypatch.delitem(sys.modules, "_quoril")
    again = importlib.import_module("_quoril")
    assert (again, again.Expression) == (_quoril, Expression)


# kind, op, dim, dimension, name, is_constant, is_parameter, is_undefined,
# is_expression, is_leaf, hint, grad, number of inputs
@pytest.mark.parametrize(
    ("make", "expected"),
    [
        (lambda: Constant(1.0),
         ("Constant", "None", 1, 1, "", True, False, False, False, True, None, None, 0)),
        (lambda: Parameter(1.0, 2.0, name="p"),
         ("Parameter", "None", 2, 2, "p", False, True, False, False, True, None, None, 0)),
        (lambda: Undefined(hint=(1, 2, 3), name="u"),
         ("Undefined", "None", 3, 3, "u", False, False, True, False, True, (1.0, 2.0, 3.0),
          None, 0)),
        (lambda: Parameter(1.0) + Parameter(2.0, 3.0),
         ("Expression", "Add", 2, 2, "", False, False, False, True, False, None, None, 2)),
    ],
    ids=["constant", "parameter", "undefined", "expression"],
)
def test_introspection_properties(make, expected):
    e = make()
    assert (e.kind, e.op, e.dim, e.dimension, e.name, e.is_constant, e.is_parameter,
            e.is_undefined, e.is_expression, e.is_leaf, e.hint, e.grad,
            len(e.inputs)) == expected


@pytest.mark.parametrize(
    "make", [lambda: Undefined(hint=(1.0, 2.0)), lambda: Parameter(1.0) * 2],
    ids=["undefined-with-hint", "expression"],
)
def test_value_of_node_without_numbers_raises(make):
    e = make()
    with pytest.raises(RuntimeError) as excinfo:
        e.value
    assert str(excinfo.value) == "symbolic value has no direct numeric value"


def test_inputs_are_new_objects_for_the_same_nodes():
    e = Parameter(1.0) * Parameter(2.0)
    first, second = e.inputs, e.inputs
    assert (first[0] is second[0], [i.id for i in first]) == (False, [i.id for i in second])


@pytest.mark.parametrize(
    ("make", "template"),
    [
        (lambda: Constant(1.0), "Constant<1>#{}"),
        (lambda: Parameter(1.0, 2.0, name="p"), "Parameter<2>#{}(p)"),
        (lambda: Undefined(dim=3, name="u"), "Undefined<3>#{}(u)"),
        (lambda: Undefined(hint=5.0), "Undefined<1>#{}"),
        (lambda: Parameter(1.0, name="f(x) y"), "Parameter<1>#{}(f(x) y)"),
        (lambda: Parameter(1.0, name="θ₀ 名"), "Parameter<1>#{}(θ₀ 名)"),
        (lambda: Parameter(1.0, 2.0) * 2, "Expression<2>#{} op=Multiply"),
    ],
    ids=["constant", "parameter", "undefined", "hint-hidden", "parentheses", "utf8",
         "expression"],
)
def test_repr_describes_the_node(make, template):
    e = make()
    assert repr(e) == template.format(e.id)


# Imports the module from a folder holding it under the untagged name
# `_quoril.so`, which every interpreter version accepts as an extension.
_VERSION_PROBE = """
import sys
sys.path.insert(0, sys.argv[1])
try:
    import _quoril
except ImportError as error:
    print(repr(sys.version))
    print(repr(str(error)))
"""


@pytest.mark.parametrize("interpreter", ["python3.13", "python3.15"])
def test_other_interpreter_versions_refuse_the_import(interpreter, tmp_path):
    executable = shutil.which(interpreter)
    if executable is None:
        pytest.skip(f"{interpreter} is not installed")
    (tmp_path / "_quoril.so").symlink_to(_quoril.__file__)
    # The module finds the core library it shares with the package through a
    # run path relative to the folder it is loaded from.
    (tmp_path / "quoril").symlink_to(Path(_quoril.__file__).parent / "quoril")
    result = subprocess.run(
        [executable, "-I", "-c", _VERSION_PROBE, str(tmp_path)],
        capture_output=True, text=True, check=True, env={"PATH": os.environ.get("PATH", "")},
    )
    version, message = (ast.literal_eval(line) for line in result.stdout.splitlines())
    assert message == ("Python version mismatch: module was compiled for Python 3.14, "
                       f"but the interpreter version is incompatible: {version}.")


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    result = subprocess.run([nm, "-D", "--defined-only", _quoril.__file__],
                            capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in result.stdout.splitlines()] == ["PyInit__quoril"]

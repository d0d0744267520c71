"""Symbolic expression graphs over 1..4-lane double vectors, with evaluation
and reverse-mode gradients.

Numbers come back as tuples of floats, one per lane, even for one lane.
"""

from collections.abc import Sequence
from typing import Literal, SupportsIndex, TypeAlias

# What the operators and expression functions turn into a value: an existing
# node, or a number or 1..4 numbers that become a new Constant.
_Operand: TypeAlias = Expression | float | int | Sequence[float]
_Lanes: TypeAlias = float | Sequence[float]

_Kind: TypeAlias = Literal["Constant", "Parameter", "Undefined", "Expression"]
# Every operation of the core, including those that only the package
# quoril builds.
_Op: TypeAlias = Literal[
    "None", "Pack", "Component", "Add", "Subtract", "Multiply", "Divide",
    "Negate", "Sin", "Cos", "Exp", "Log", "Sqrt", "Tanh", "Abs", "Pow", "Atan2",
    "SincSqrt", "AtancSqrt",
]

__version__: str

class Expression:
    """A handle to one node of a value graph.

    There is no constructor: values come from Constant, Parameter, Undefined,
    the operators and the expression functions. Several objects may refer to
    one node; compare nodes by `id`, not with `is` or `==`.
    """

    @property
    def id(self) -> int:
        """Node id, unique in the process and never reused."""
    @property
    def kind(self) -> _Kind: ...
    @property
    def op(self) -> _Op:
        """The operation of an Expression node; the string "None" on a leaf."""
    @property
    def dim(self) -> int:
        """Number of lanes, 1..4."""
    @property
    def dimension(self) -> int:
        """Number of lanes, 1..4 (the same as `dim`)."""
    @property
    def name(self) -> str:
        """The name given to a Parameter or Undefined, else ""."""
    @property
    def is_constant(self) -> bool: ...
    @property
    def is_parameter(self) -> bool: ...
    @property
    def is_undefined(self) -> bool: ...
    @property
    def is_expression(self) -> bool: ...
    @property
    def is_leaf(self) -> bool: ...
    @property
    def value(self) -> tuple[float, ...]:
        """The lanes of a Constant or Parameter.

        Raises RuntimeError on an Undefined or Expression node.
        """
    @property
    def hint(self) -> tuple[float, ...] | None:
        """The hint of an Undefined made with one, else None."""
    @property
    def grad(self) -> tuple[float, ...] | None:
        """The gradient accumulated in a Parameter since it was last cleared.

        None before the first backward pass that reaches it, after
        zero_grad(), and always on other kinds of node.
        """
    @property
    def inputs(self) -> tuple[Expression, ...]:
        """The operands of an Expression node in order; () on a leaf."""
    @property
    def x(self) -> Expression:
        """Lane 0."""
    @property
    def y(self) -> Expression:
        """Lane 1; raises IndexError on a one-lane value."""
    @property
    def z(self) -> Expression:
        """Lane 2; raises IndexError on a value of fewer than 3 lanes."""
    @property
    def w(self) -> Expression:
        """Lane 3; raises IndexError on a value of fewer than 4 lanes."""
    def __getitem__(self, index: SupportsIndex, /) -> Expression:
        """Lane `index` as a one-lane value.

        Raises IndexError unless 0 <= index < dim; negative indices are not
        counted from the end.
        """
    def eval(self) -> tuple[float, ...]:
        """Evaluates the graph below this node afresh and returns its lanes.

        Raises RuntimeError if an Undefined is reachable, ValueError if a
        result is NaN or infinite.
        """
    def set_value(self, *values: _Lanes) -> None:
        """Replaces a Parameter's lanes: 1..4 numbers or one sequence of them.

        Raises RuntimeError on other kinds of node, ValueError for another
        number of lanes than the Parameter has.
        """
    def backward(self, seed: _Lanes | None = None) -> None:
        """Adds the derivatives of seed-weighted output into every reachable
        Parameter's grad.

        Without a seed the node must have one lane and the seed is 1.0;
        otherwise the seed must have as many lanes as the node. Every error is
        raised before any gradient changes.
        """
    def zero_grad(self) -> None:
        """Clears the grad of every Parameter reachable from this node."""
    def __repr__(self) -> str: ...
    def __add__(self, other: _Operand, /) -> Expression: ...
    def __radd__(self, other: _Operand, /) -> Expression: ...
    def __sub__(self, other: _Operand, /) -> Expression: ...
    def __rsub__(self, other: _Operand, /) -> Expression: ...
    def __mul__(self, other: _Operand, /) -> Expression: ...
    def __rmul__(self, other: _Operand, /) -> Expression: ...
    def __truediv__(self, other: _Operand, /) -> Expression: ...
    def __rtruediv__(self, other: _Operand, /) -> Expression: ...
    def __neg__(self) -> Expression: ...

def Constant(*values: _Lanes) -> Expression:
    """A new Constant of 1..4 numbers or one sequence of them."""

def Parameter(*values: _Lanes, name: str = "") -> Expression:
    """A new Parameter of 1..4 numbers or one sequence of them.

    Its lanes can be replaced with set_value; backward() accumulates its
    gradient in grad.
    """

def Undefined(
    *, hint: _Lanes | None = None, dim: int = 1, name: str = ""
) -> Expression:
    """A placeholder without a value; a graph holding one cannot be evaluated.

    With a hint the node takes the hint's number of lanes, which must equal
    `dim` if that is given too.
    """

def vec2(x: _Operand, y: _Operand, /) -> Expression:
    """Packs two one-lane values into a 2-lane value."""

def vec3(x: _Operand, y: _Operand, z: _Operand, /) -> Expression:
    """Packs three one-lane values into a 3-lane value."""

def vec4(x: _Operand, y: _Operand, z: _Operand, w: _Operand, /) -> Expression:
    """Packs four one-lane values into a 4-lane value."""

def sin(value: _Operand, /) -> Expression:
    """Lane-wise sine."""

def cos(value: _Operand, /) -> Expression:
    """Lane-wise cosine."""

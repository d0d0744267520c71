"""The package's native module: operations and graph-wide calls over the
core that _quoril shares."""

from collections.abc import Sequence
from typing import TypeAlias

import numpy as np
import numpy.typing as npt
from _quoril import Expression

_Operand: TypeAlias = Expression | float | int | Sequence[float]
_Lanes: TypeAlias = tuple[float, ...]

def exp(value: _Operand) -> Expression: ...
def log(value: _Operand) -> Expression: ...
def sqrt(value: _Operand) -> Expression: ...
def tanh(value: _Operand) -> Expression: ...
def abs(value: _Operand) -> Expression: ...
def pow(x: _Operand, y: _Operand) -> Expression: ...
def atan2(y: _Operand, x: _Operand) -> Expression: ...
def as_value(value: _Operand, label: str) -> Expression: ...
def values(outputs: Sequence[Expression]) -> npt.NDArray[np.float64]: ...
def value_and_jacobian(
    outputs: Sequence[Expression], params: Sequence[Expression], with_values: bool
) -> tuple[npt.NDArray[np.float64] | None, npt.NDArray[np.float64]]: ...
class Program:
    def __init__(self, outputs: Sequence[Expression], params: Sequence[Expression]) -> None: ...
    def values(self) -> npt.NDArray[np.float64]: ...
    def value_and_jacobian(
        self, with_values: bool
    ) -> tuple[npt.NDArray[np.float64] | None, npt.NDArray[np.float64]]: ...

def trace(
    outputs: Sequence[Expression], evaluate: bool, max_nodes: int
) -> tuple[
    int,
    list[Expression],
    list[tuple[int, ...]],
    list[_Lanes | None],
    Expression | None,
    BaseException | None,
    list[int],
]: ...
def levenberg_marquardt(
    residuals: Sequence[Expression],
    params: Sequence[Expression],
    lower: npt.ArrayLike | None,
    upper: npt.ArrayLike | None,
    ftol: float,
    xtol: float,
    gtol: float,
    max_nfev: int,
) -> tuple[
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    int,
    int,
    int,
    list[float],
]: ...

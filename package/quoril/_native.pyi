"""The package's native module: operations and graph-wide calls over the
core that _quoril shares."""

from collections.abc import Callable, Sequence
from typing import NamedTuple, TypeAlias, final

import numpy as np
import numpy.typing as npt
from _quoril import Expression

_Operand: TypeAlias = Expression | float | int | Sequence[float]
_Lanes: TypeAlias = tuple[float, ...]
_Array: TypeAlias = npt.NDArray[np.float64]

def exp(value: _Operand) -> Expression: ...
def log(value: _Operand) -> Expression: ...
def sqrt(value: _Operand) -> Expression: ...
def tanh(value: _Operand) -> Expression: ...
def abs(value: _Operand) -> Expression: ...
def sinc_sqrt(value: _Operand) -> Expression: ...
def atanc_sqrt(value: _Operand) -> Expression: ...
def pow(x: _Operand, y: _Operand) -> Expression: ...
def atan2(y: _Operand, x: _Operand) -> Expression: ...
def as_value(value: _Operand, label: str) -> Expression: ...
class Evaluation(NamedTuple):
    values: _Array
    jacobian: _Array

def values(outputs: Sequence[Expression]) -> _Array: ...
def jacobian(outputs: Sequence[Expression], params: Sequence[Expression]) -> _Array: ...
def value_and_jacobian(
    outputs: Sequence[Expression], params: Sequence[Expression]
) -> Evaluation: ...
# Called after each accepted step with (x, fun, nit, nfev, cost); True stops.
_Step: TypeAlias = Callable[[_Array, _Array, int, int, float], bool]

@final
class Program:
    def __init__(self, outputs: Sequence[Expression], params: Sequence[Expression]) -> None: ...
    def values(self) -> _Array: ...
    def jacobian(self) -> _Array: ...
    def value_and_jacobian(self) -> Evaluation: ...
    def try_values(self) -> _Array | None: ...
    def try_value_and_jacobian(self) -> Evaluation | None: ...

@final
class RowFunction:
    def __init__(
        self,
        inputs: Sequence[Expression],
        outputs: Sequence[Expression],
        params: Sequence[Expression],
    ) -> None: ...
    def values(self, arrays: Sequence[_Array], count: int) -> _Array: ...
    def jacobian(self, arrays: Sequence[_Array], count: int) -> _Array: ...
    def value_and_jacobian(self, arrays: Sequence[_Array], count: int) -> Evaluation: ...
    def try_values(self, arrays: Sequence[_Array], count: int) -> _Array | None: ...
    def try_value_and_jacobian(
        self, arrays: Sequence[_Array], count: int
    ) -> Evaluation | None: ...
    def levenberg_marquardt(
        self,
        arrays: Sequence[_Array],
        count: int,
        lower: npt.ArrayLike | None,
        upper: npt.ArrayLike | None,
        ftol: float,
        xtol: float,
        gtol: float,
        max_nfev: int,
        callback: _Step | None = None,
    ) -> LeastSquaresSolution: ...
    @property
    def rows(self) -> int: ...
    @property
    def cols(self) -> int: ...

class GraphTrace(NamedTuple):
    total: int
    nodes: list[Expression]
    inputs: list[tuple[int, ...]]
    values: list[_Lanes | None]
    failed: Expression | None
    error: BaseException | None
    components: list[int]

def trace(outputs: Sequence[Expression], evaluate: bool, max_nodes: int) -> GraphTrace: ...
class LeastSquaresSolution(NamedTuple):
    x: _Array
    fun: _Array
    jac: _Array
    nfev: int
    njev: int
    status: int
    cost_history: list[float]

def levenberg_marquardt(
    residuals: Sequence[Expression],
    params: Sequence[Expression],
    lower: npt.ArrayLike | None,
    upper: npt.ArrayLike | None,
    ftol: float,
    xtol: float,
    gtol: float,
    max_nfev: int,
    callback: _Step | None = None,
) -> LeastSquaresSolution: ...

def first_row_not_finite(array: _Array) -> int: ...

class HessianProgram:
    def __init__(self, outputs: Sequence[Expression], params: Sequence[Expression]) -> None: ...
    def hessian(self, weights: npt.ArrayLike) -> _Array: ...
    def hessian_vector_product(self, weights: npt.ArrayLike, direction: npt.ArrayLike) -> _Array: ...

class FitCovariance(NamedTuple):
    cov: _Array
    stderr: _Array
    correlation: _Array
    undetermined: tuple[int, ...]
    rank: int
    free: int
    finite: bool
    row_space: _Array | None
    basis: _Array | None

NULL_SHARE: float

def fit_covariance(
    jac: npt.ArrayLike, free: npt.ArrayLike | None, scale: float, directions: bool
) -> FitCovariance: ...

REPORT_CORRELATION: float

def fit_report(
    method: str,
    converged: bool,
    evaluations: int,
    residual_lanes: int,
    dof: int,
    chisqr: float,
    redchi: float,
    absolute_sigma: bool,
    labels: Sequence[str],
    value: npt.ArrayLike,
    stderr: npt.ArrayLike,
    correlation: npt.ArrayLike,
    free: npt.ArrayLike,
    at_bound: npt.ArrayLike,
) -> str: ...

"""Every check of the package's arguments and the words of its errors, so that
each public function takes the same inputs and fails the same way."""

from __future__ import annotations

import os
import pathlib
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, TypeAlias, cast

import numpy as np
import numpy.typing as npt
from _quoril import Expression

from quoril import _native

if TYPE_CHECKING:
    from quoril._constraints import Constraint

Array: TypeAlias = npt.NDArray[np.float64]
Outputs: TypeAlias = Expression | Sequence[Expression]
Params: TypeAlias = Expression | Sequence[Expression]
Bound: TypeAlias = float | Sequence[float] | None
Bounds: TypeAlias = Sequence[tuple[Bound, Bound]]

PICTURE_FORMATS = ("svg", "png")


def type_name(value: object) -> str:
    return type(value).__name__


def _items(value: object, label: str, what: str) -> list[object]:
    """The elements of a sequence argument, or the argument alone when it
    is one Expression."""
    if isinstance(value, Expression):
        return [value]
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        raise TypeError(f"{label} must be {what} or a sequence of them, not {type_name(value)}")
    return list(value)


def as_outputs(outputs: object, label: str = "outputs") -> list[Expression]:
    """The Expressions to evaluate: one, or any iterable of them."""
    items = _items(outputs, label, "an Expression")
    if not items:
        raise ValueError(f"{label} is empty; pass at least one Expression")
    for i, item in enumerate(items):
        if not isinstance(item, Expression):
            raise TypeError(f"{label}[{i}] must be an Expression, not {type_name(item)}")
    return cast(list[Expression], items)


def as_params(params: object) -> list[Expression]:
    """The Parameters to differentiate by or solve for, each given once."""
    single = isinstance(params, Expression)
    items = _items(params, "params", "a Parameter")
    if not items:
        raise ValueError("params is empty; pass at least one Parameter")
    seen: dict[int, int] = {}
    for i, item in enumerate(items):
        label = "params" if single else f"params[{i}]"
        if not isinstance(item, Expression):
            raise TypeError(f"{label} must be a Parameter, not {type_name(item)}")
        if not item.is_parameter:
            article = "an" if item.kind[0] in "EU" else "a"
            raise TypeError(f"{label} is {article} {item.kind}; pass Parameters")
        if item.id in seen:
            raise ValueError(
                f"params[{i}] is the same Parameter as params[{seen[item.id]}]; "
                "pass each Parameter once"
            )
        seen[item.id] = i
    return cast(list[Expression], items)


def as_loss(loss: object) -> Expression:
    """The one-lane Expression that minimize lowers."""
    if not isinstance(loss, Expression):
        raise TypeError(f"loss must be an Expression, not {type_name(loss)}")
    if loss.dim != 1:
        raise ValueError(
            f"loss has {loss.dim} lanes; minimize needs a one-lane loss "
            "(sum the lanes with q.sum)"
        )
    return loss


def param_name(params: Sequence[Expression], i: int) -> str:
    """How messages name the i-th Parameter: its index, and its name if it
    has one."""
    name = params[i].name
    return f"params[{i}] ({name!r})" if name else f"params[{i}]"


def param_lane_name(params: Sequence[Expression], column: int) -> str:
    """How messages name a column of the Jacobian: a lane of a Parameter."""
    start = 0
    for i, p in enumerate(params):
        if column < start + p.dim:
            return f"{param_name(params, i)} lane {column - start}"
        start += p.dim
    raise IndexError(column)


def output_lane_name(outputs: Sequence[Expression], row: int, label: str) -> str:
    """How messages name a row of the Jacobian: a lane of an output."""
    start = 0
    for i, output in enumerate(outputs):
        if row < start + output.dim:
            return f"{label}[{i}] lane {row - start}"
        start += output.dim
    raise IndexError(row)


def require_finite_start(
    jacobian: Array, outputs: Sequence[Expression], params: Sequence[Expression], label: str
) -> None:
    """A solve through SciPy cannot start where a derivative is missing.
    A Jacobian of more rows than the outputs have lanes holds every row of
    some data, one after the other, and the message names the row."""
    if not np.isfinite(jacobian).all():
        lane, column = (int(k) for k in np.argwhere(~np.isfinite(jacobian))[0])
        width = sum(output.dim for output in outputs)
        row, lane = divmod(lane, width)
        where = f"row {row}, " if jacobian.shape[0] > width else ""
        raise ValueError(
            f"the Jacobian of {label} is not finite at the starting point "
            f"({where}{output_lane_name(outputs, lane, label)}, "
            f"{param_lane_name(params, column)}); start where every derivative exists"
        )


def require_finite_hessian(found: Array, what: str) -> Array:
    """Second derivatives that do not exist (sqrt at 0, a pow's
    singularity) are refused rather than handed on as inf or NaN. The
    entries do not say which one failed: forward over reverse spreads a
    failure over every entry it meets."""
    if not np.isfinite(found).all():
        raise ValueError(
            f"{what} is not finite at the Parameters' values; "
            "a second derivative does not exist there"
        )
    return found


def _bound_lanes(
    bound: object, what: str, params: Sequence[Expression], i: int, fill: float
) -> list[float]:
    # Python floats: a solve checks a few bounds, where NumPy's per-call
    # cost would outweigh the checks.
    dim = params[i].dim
    if bound is None:
        return [fill] * dim
    if isinstance(bound, (int, float, np.number)) and not isinstance(bound, bool):
        lanes = [float(bound)] * dim
    elif isinstance(bound, (str, bytes)) or not isinstance(bound, Iterable):
        raise TypeError(
            f"bounds[{i}] {what} must be a number, None or a sequence of numbers, "
            f"not {type_name(bound)}"
        )
    else:
        items = list(bound)
        if len(items) != dim:
            raise ValueError(
                f"bounds[{i}] {what} has {len(items)} values but "
                f"{param_name(params, i)} has {dim} lanes; pass a number or {dim} values"
            )
        try:
            lanes = [fill if b is None else float(b) for b in items]
        except (TypeError, ValueError):
            raise TypeError(
                f"bounds[{i}] {what} must be a number, None or a sequence of numbers"
            ) from None
    if any(lane != lane for lane in lanes):
        raise ValueError(f"bounds[{i}] {what} is NaN; use None for no bound")
    return lanes


def as_bounds(bounds: object, params: Sequence[Expression]) -> tuple[Array, Array] | None:
    """Lower and upper bounds per Parameter lane, or None when nothing is
    bounded."""
    if bounds is None:
        return None
    if isinstance(bounds, (str, bytes)) or not isinstance(bounds, Sequence):
        raise TypeError(
            "bounds must be a sequence of (low, high) pairs, one per Parameter, "
            f"not {type_name(bounds)}"
        )
    if len(bounds) != len(params):
        raise ValueError(
            f"bounds has {len(bounds)} pairs but params has {len(params)} "
            "Parameters; pass one (low, high) pair per Parameter"
        )
    lower: list[float] = []
    upper: list[float] = []
    for i, pair in enumerate(bounds):
        if isinstance(pair, (str, bytes)) or not isinstance(pair, Sequence) or len(pair) != 2:
            raise ValueError(f"bounds[{i}] must be a (low, high) pair")
        low = _bound_lanes(pair[0], "low", params, i, -np.inf)
        high = _bound_lanes(pair[1], "high", params, i, np.inf)
        for lane, (a, b) in enumerate(zip(low, high)):
            if a > b:
                raise ValueError(
                    f"bounds[{i}] low is above high on lane {lane} of {param_name(params, i)}: "
                    f"{a!r} > {b!r}"
                )
        lower += low
        upper += high
    if all(a == -np.inf for a in lower) and all(b == np.inf for b in upper):
        return None
    return np.array(lower), np.array(upper)


def require_method(method: str | None, methods: Sequence[str]) -> None:
    if method is not None and method not in methods:
        raise ValueError(
            f"method must be one of {', '.join(map(repr, methods))} or None, not {method!r}"
        )


def require_native_options(loss: str, x_scale: object) -> None:
    if loss != "linear" or x_scale is not None:
        raise ValueError(
            "method 'native' takes only loss='linear' and x_scale=None; "
            "use method='trf' for a robust loss or scaling"
        )


def require_open_bounds(
    box: tuple[Array, Array] | None, params: Sequence[Expression], method: str
) -> None:
    """SciPy's least-squares methods need room between every pair of bounds."""
    if box is None:
        return
    fixed = np.nonzero(box[0] == box[1])[0]
    if fixed.size:
        raise ValueError(
            f"bounds fix {param_lane_name(params, int(fixed[0]))} (low == high); "
            f"method {method!r} needs low < high: leave that Parameter out "
            "of params or use method='native'"
        )


def require_view_options(max_nodes: object, values: object) -> None:
    if isinstance(max_nodes, bool) or not isinstance(max_nodes, int):
        raise TypeError(f"max_nodes must be an int, not {type_name(max_nodes)}")
    if max_nodes < 1:
        raise ValueError(f"max_nodes must be at least 1, not {max_nodes}")
    if not isinstance(values, bool):
        raise TypeError(f"values must be a bool, not {type_name(values)}")


def as_path(path: object) -> pathlib.Path:
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path must be a str or path-like object, not {type_name(path)}")
    return pathlib.Path(path)


def picture_format(target: pathlib.Path, format: object) -> str:
    """The picture format to write: `format`, or else the suffix of `target`."""
    suffix = target.suffix.lower().removeprefix(".")
    if format is None:
        if suffix not in PICTURE_FORMATS:
            raise ValueError(
                f"cannot tell the format from the suffix of {str(target)!r}; "
                "use a .svg or .png path or pass format='svg' or 'png'"
            )
        return suffix
    if not isinstance(format, str):
        raise TypeError(f"format must be a str or None, not {type_name(format)}")
    if format.lower() not in PICTURE_FORMATS:
        raise ValueError(f"format must be 'svg' or 'png', not {format!r}")
    if suffix in PICTURE_FORMATS and suffix != format.lower():
        raise ValueError(f"format {format!r} does not match the suffix of {str(target)!r}")
    return format.lower()


def as_inputs(inputs: object) -> list[Expression]:
    """The leaves a Function takes from the rows of data, each given once."""
    single = isinstance(inputs, Expression)
    items = _items(inputs, "inputs", "a Parameter or Undefined")
    if not items:
        raise ValueError("inputs is empty; pass at least one Parameter or Undefined")
    seen: dict[int, int] = {}
    for i, item in enumerate(items):
        label = "inputs" if single else f"inputs[{i}]"
        item = _require_leaf(
            item, f"{label} must be a Parameter or Undefined", lambda _: label,
            "pass Parameters or Undefined leaves",
        )
        if item.id in seen:
            raise ValueError(
                f"inputs[{i}] is the same leaf as inputs[{seen[item.id]}]; pass each input once"
            )
        seen[item.id] = i
    return cast(list[Expression], items)


def _require_leaf(
    item: object, wrong_type: str, label: Callable[[Expression], str], advice: str
) -> Expression:
    """`item` if it is a Parameter or an Undefined leaf, else a TypeError."""
    if not isinstance(item, Expression):
        raise TypeError(f"{wrong_type}, not {type_name(item)}")
    if item.kind not in ("Parameter", "Undefined"):
        article = "an" if item.kind[0] in "EU" else "a"
        raise TypeError(f"{label(item)} is {article} {item.kind}; {advice}")
    return item


def input_name(inputs: Sequence[Expression], i: int, label: str = "inputs") -> str:
    name = inputs[i].name
    return f"{label}[{i}] ({name!r})" if name else f"{label}[{i}]"


def _leaf_name(leaf: Expression) -> str:
    return repr(leaf.name) if leaf.name else f"the {leaf.kind} {leaf.id}"


def data_key_name(leaf: Expression) -> str:
    return f"data key {_leaf_name(leaf)}"


def as_data(
    data: object, roots: Sequence[Expression], params: Sequence[Expression]
) -> tuple[list[Expression], list[Array], int]:
    """The leaves of `data` (a mapping from Parameter or Undefined leaves to
    arrays of rows) and their rows as `as_rows` gives them, and N.

    A key that `roots` do not reach is refused rather than warned about: it
    is nearly always a misspelt model, and a fit that ignores a data column
    returns numbers that look right. A key that is also in `params` is
    refused, since a lane cannot be both fitted and given."""
    if not isinstance(data, Mapping):
        raise TypeError(
            "data must be a dict from Parameter or Undefined leaves to arrays, "
            f"not {type_name(data)}"
        )
    if not data:
        raise ValueError("data is empty; pass at least one leaf and its array")
    inputs: list[Expression] = []
    for key in data:
        inputs.append(
            _require_leaf(
                key, "data keys must be Parameters or Undefined leaves", data_key_name,
                "data keys must be Parameters or Undefined leaves",
            )
        )
    fitted = {p.id for p in params}
    for key in inputs:
        if key.id in fitted:
            raise ValueError(
                f"{data_key_name(key)} is also in params; a leaf is either fitted or given as data"
            )
    reached = {node.id for node in _native.trace(list(roots), False, 2**62)[1]}
    for key in inputs:
        if key.id not in reached:
            raise ValueError(
                f"{data_key_name(key)} is not reached by the model; "
                "pass only the leaves that it uses"
            )
    names = [_leaf_name(key) for key in inputs]
    rows, n = as_rows(list(data.values()), inputs, names=names)
    return inputs, rows, n


_FLOAT64 = np.dtype(np.float64)


def as_rows(
    arrays: Sequence[object],
    inputs: Sequence[Expression],
    label: str = "inputs",
    names: Sequence[str] | None = None,
) -> tuple[list[Array], int]:
    """One float64 array of shape (N, lanes) per input, lanes contiguous, and
    N; a number or a single row stands for every row (a row stride of 0)."""

    # Names are made only for a message: every NumPy call and attribute read
    # here is paid on each call of a Function, and after a peer's work has
    # emptied the caches each costs several microseconds.
    def name_of(i: int) -> str:
        return names[i] if names is not None else input_name(inputs, i, label)

    if len(arrays) != len(inputs):
        raise TypeError(
            f"expected {len(inputs)} arrays, one per input, not {len(arrays)}"
        )
    shaped: list[tuple[Array, bool]] = []
    count: int | None = None
    first = -1
    for i, (data, leaf) in enumerate(zip(arrays, inputs)):
        array = data if type(data) is np.ndarray else np.asarray(data)
        if array.dtype is not _FLOAT64 or not array.flags.c_contiguous:
            if array.dtype.kind not in "iuf":
                raise TypeError(
                    f"data for {name_of(i)} must be an array of floats, not {array.dtype}"
                )
            array = np.ascontiguousarray(array, dtype=np.float64)
        lanes = leaf.dim
        shape = array.shape
        if lanes == 1 and len(shape) == 2 and shape[1] == 1:
            shape = shape[:1]
        single = len(shape) == (0 if lanes == 1 else 1)
        expected = len(shape) == 1 if lanes == 1 else len(shape) == 2 and shape[1] == lanes
        if single and lanes > 1 and shape[0] != lanes:
            expected = single = False
        if not single and not expected:
            wanted = "(N,)" if lanes == 1 else f"(N, {lanes})"
            raise ValueError(
                f"data for {name_of(i)} has shape {array.shape}; {name_of(i)} has {lanes} "
                f"lanes, so pass shape {wanted} or a single row"
            )
        rows = 1 if single else shape[0]
        if array.ndim != 2 or array.shape[1] != lanes:
            array = array.reshape(rows, lanes)
        bad = _native.first_row_not_finite(array)
        if bad >= 0:
            raise ValueError(f"data for {name_of(i)} is not finite in row {bad}")
        if not single:
            if count is not None and rows != count:
                raise ValueError(
                    f"data for {name_of(i)} has {rows} rows but data for "
                    f"{name_of(first)} has {count}; pass the same N"
                )
            if count is None:
                count, first = rows, i
        shaped.append((array, single))
    n = 1 if count is None else count
    return [np.broadcast_to(a, (n, a.shape[1])) if single else a for a, single in shaped], n


def as_hessian_output(output: object) -> Expression:
    """The one Expression whose Hessian is asked for, 1 to 4 lanes."""
    if not isinstance(output, Expression):
        raise TypeError(f"output must be an Expression, not {type_name(output)}")
    return output


def as_direction(v: object, output: Expression, size: int) -> Array:
    """The direction of a Hessian-vector product: one float per Parameter
    lane, for a one-lane output."""
    if output.dim != 1:
        raise ValueError(
            f"output has {output.dim} lanes; hessian_vector_product needs a "
            "one-lane output (sum the lanes with q.sum)"
        )
    direction = np.asarray(v, dtype=np.float64)
    if direction.shape != (size,):
        raise ValueError(
            f"v has shape {direction.shape}; pass one number per Parameter lane, "
            f"shape ({size},)"
        )
    if not np.isfinite(direction).all():
        raise ValueError("v holds a non-finite number; pass finite numbers")
    return direction


def _limit_lanes(value: object, dim: int, label: str) -> Array:
    limits = np.asarray(value, dtype=np.float64)
    if limits.ndim == 0:
        limits = np.full(dim, float(limits))
    if limits.shape != (dim,):
        raise ValueError(
            f"{label} has {limits.size} numbers; pass one, or one per lane of expr ({dim})"
        )
    if np.isnan(limits).any():
        raise ValueError(f"{label} is NaN; use -inf or inf for an open side")
    return limits


def as_constraint_limits(expr: object, lower: object, upper: object) -> tuple[Array, Array]:
    """The per-lane limits of lower <= expr <= upper."""
    if not isinstance(expr, Expression):
        raise TypeError(f"expr must be an Expression, not {type_name(expr)}")
    low = _limit_lanes(lower, expr.dim, "lower")
    high = _limit_lanes(upper, expr.dim, "upper")
    for lane in range(expr.dim):
        if low[lane] > high[lane]:
            raise ValueError(
                f"lower {float(low[lane])!r} is above upper {float(high[lane])!r} "
                f"in lane {lane}; pass lower <= upper"
            )
        if low[lane] == high[lane] and not np.isfinite(low[lane]):
            raise ValueError(
                f"lower and upper are both {float(low[lane])!r} in lane {lane}; "
                "an equality needs a finite value"
            )
    return low, high


def as_constraints(
    constraints: object, params: Sequence[Expression], moving: Sequence[bool] | None = None
) -> list[Constraint]:
    """The constraints of minimize, each made by q.constraint and reaching a
    Parameter of `params`. `moving` may mark those already seen to move
    with a Parameter (a nonzero derivative), whose graphs then need no
    walk."""
    from quoril._constraints import Constraint

    items = list(constraints) if isinstance(constraints, (list, tuple)) else [constraints]
    if not items:
        raise ValueError("constraints is empty; pass None for no constraints")
    ids = {p.id for p in params}
    for i, item in enumerate(items):
        if not isinstance(item, Constraint):
            raise TypeError(
                f"constraints[{i}] must be made by q.constraint, not {type_name(item)}"
            )
        if moving is not None and moving[i]:
            continue
        nodes = _native.trace([item.expr], False, 1 << 62).nodes
        if not any(node.id in ids for node in nodes):
            raise ValueError(
                f"constraints[{i}] reaches no Parameter in params; "
                "nothing can satisfy it by moving them"
            )
    return cast("list[Constraint]", items)


def require_callback_method(callback: object, method: str | None) -> None:
    """A least_squares callback goes to the native method and SciPy's trf and
    dogbox; SciPy's lm takes none."""
    if callback is not None and method == "lm":
        raise ValueError(
            f"callback is not taken by method {method!r}; pass method='native', "
            "'trf' or 'dogbox', or leave method unset"
        )

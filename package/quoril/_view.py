"""Looking at graphs: a text listing, Graphviz DOT source and rendered
pictures, each with the values of one evaluation and the Parameters'
gradients."""

from __future__ import annotations

import json
import os
import pathlib
import secrets
import shutil
import subprocess
from dataclasses import dataclass

from quoril._checks import Outputs, as_outputs, as_path, picture_format, require_view_options
from quoril._native import trace as _trace

# Fill colours by node kind, light enough to keep black text readable.
_FILL = {
    "Constant": "#eeeeee",
    "Parameter": "#cfe4ff",
    "Undefined": "#ffe8a3",
    "Expression": "#ffffff",
}
_FAILED_FILL = "#ffc4c4"
_FAILED_PEN = "#c00000"


@dataclass(frozen=True, slots=True)
class _Line:
    """One kept node, as both views show it."""

    name: str
    head: str
    detail: tuple[str, ...]
    kind: str
    failed: bool
    outputs: tuple[int, ...]


@dataclass(frozen=True, slots=True)
class _View:
    lines: list[_Line]
    inputs: list[tuple[int, ...]]
    hidden: int
    notes: list[str]


def describe(outputs: Outputs, *, max_nodes: int = 200, values: bool = True) -> str:
    """A text listing of the graph behind `outputs`, one line per node.

    Nodes come in evaluation order, inputs before their users, each node
    once however often it is used. A line reads::

        %2  Multiply<2>(%1, %0)  = (2, 4)

    that is, a local name, the kind or operation with its lane count (and
    the name given to a Parameter or Undefined), the inputs by local name,
    then the value. Constants and Parameters always show their own lanes,
    an Undefined its hint, and a Parameter its ``grad`` when it has one.
    Output nodes end with ``<- output i``.

    Parameters
    ----------
    outputs : Expression or sequence of Expression
        The value or values whose graph to list.
    max_nodes : int, optional
        The most nodes to list. Beyond it only the `max_nodes` nodes
        nearest the outputs are listed, a first line tells how many more
        there are, and inputs left out read ``…``.
    values : bool, optional
        Evaluate the graph once and show every node's value. When the
        evaluation fails the listing still comes back: the first node whose
        value could not be computed is marked ``<- FAILED`` with the error
        ``eval()`` would raise, and the nodes after it show
        ``(not computed)``.

    Returns
    -------
    str
        The listing, lines separated by newlines, with no trailing newline.

    Raises
    ------
    TypeError
        `outputs` is not an Expression or a sequence of them, `max_nodes` is
        not an int or `values` not a bool.
    ValueError
        `outputs` is empty or `max_nodes` is below 1.
    """
    view = _build(outputs, max_nodes, values)
    name_width = max((len(line.name) for line in view.lines), default=0)
    # Align the values in a column, unless a very long line would push them
    # all far to the right.
    head_width = min(40, max((len(line.head) for line in view.lines), default=0))
    text = [f"# {note}" for note in view.notes]
    for line in view.lines:
        parts = [line.name.ljust(name_width), line.head.ljust(head_width)]
        parts.extend(line.detail)
        parts.extend(_marks(line))
        text.append("  ".join(parts).rstrip())
    return "\n".join(text)


def to_dot(outputs: Outputs, *, max_nodes: int = 200, values: bool = True) -> str:
    """Graphviz DOT source drawing the graph behind `outputs` left to right.

    Each node is drawn once, with the label of its `describe` line, filled
    by kind: Constants grey, Parameters blue, Undefined values yellow,
    operations white. Edges run from an input to its user. Output nodes
    have a bold border, and the first node whose value could not be
    computed is red. Above `max_nodes`, the nodes left out are replaced by
    one note saying how many they are, with dashed edges to the nodes whose
    inputs it stands for.

    Parameters
    ----------
    outputs : Expression or sequence of Expression
        The value or values whose graph to draw.
    max_nodes : int, optional
        The most nodes to draw; the `max_nodes` nodes nearest the outputs
        are kept.
    values : bool, optional
        Evaluate the graph once and show every node's value, as `describe`
        does.

    Returns
    -------
    str
        The source of one ``digraph``, ready for ``dot -Tsvg``.

    Raises
    ------
    TypeError, ValueError
        As `describe`.
    """
    view = _build(outputs, max_nodes, values)
    dot = [
        "digraph quoril {",
        "  rankdir=LR;",
        '  node [shape=box, style="rounded,filled", fontname="monospace", fontsize=10];',
        "  edge [arrowsize=0.6];",
    ]
    for index, line in enumerate(view.lines):
        label = "".join(
            _dot_escape(part) + "\\l"
            for part in (line.name + "  " + line.head, *line.detail, *_marks(line))
        )
        attributes = {"label": f'"{label}"', "fillcolor": f'"{_FILL[line.kind]}"'}
        if line.failed:
            attributes |= {"fillcolor": f'"{_FAILED_FILL}"', "color": f'"{_FAILED_PEN}"'}
        if line.outputs or line.failed:
            attributes["penwidth"] = "2"
        settings = ", ".join(f"{key}={value}" for key, value in attributes.items())
        dot.append(f"  n{index} [{settings}];")
    if view.notes:
        note = "\\n".join(_dot_escape(n) for n in view.notes)
        dot.append(
            f'  cut [shape=note, style="filled,dashed", fillcolor="#f6f6f6", label="{note}"];'
        )
    for user, inputs in enumerate(view.inputs):
        if view.hidden and -1 in inputs:
            dot.append(f"  cut -> n{user} [style=dashed];")
        for source in inputs:
            if source >= 0:
                dot.append(f"  n{source} -> n{user};")
    dot.append("}")
    return "\n".join(dot) + "\n"


def render(
    outputs: Outputs,
    path: str | os.PathLike[str],
    *,
    format: str | None = None,
    max_nodes: int = 200,
    values: bool = True,
) -> pathlib.Path:
    """Draws the graph behind `outputs` into an SVG or PNG file.

    The drawing is `to_dot`'s, laid out by Graphviz's ``dot`` program, which
    must be on ``PATH``. The file appears whole or not at all: the picture is
    written to a temporary file beside `path` and renamed over it, so a
    failure leaves `path` as it was.

    Parameters
    ----------
    outputs : Expression or sequence of Expression
        The value or values whose graph to draw.
    path : str or path-like
        The file to write; its directory must exist.
    format : {"svg", "png"}, optional
        The picture format. By default it is taken from the suffix of
        `path`, which must then be ``.svg`` or ``.png``.
    max_nodes, values
        As in `to_dot`.

    Returns
    -------
    pathlib.Path
        `path`, written.

    Raises
    ------
    TypeError, ValueError
        As `describe`; also for a `path` that is not a string or path, and
        a `format` that is not "svg" or "png", cannot be told from the suffix,
        or contradicts it. Nothing is written.
    RuntimeError
        Graphviz's ``dot`` is not installed, or it failed; nothing is
        written.
    """
    target = as_path(path)
    kind = picture_format(target, format)
    source = to_dot(outputs, max_nodes=max_nodes, values=values)
    program = shutil.which("dot")
    if program is None:
        raise RuntimeError(
            "render needs Graphviz's 'dot' program on PATH; install Graphviz "
            "(e.g. apt install graphviz) or use to_dot() for the source"
        )
    result = subprocess.run(
        [program, f"-T{kind}"], input=source.encode(), capture_output=True, check=False
    )
    if result.returncode != 0 or not result.stdout:
        message = result.stderr.decode(errors="replace").strip() or "no output"
        raise RuntimeError(f"dot failed with exit status {result.returncode}: {message}")
    temporary = target.with_name(f".{target.name}.{secrets.token_hex(6)}.tmp")
    try:
        with open(temporary, "xb") as file:
            file.write(result.stdout)
        os.replace(temporary, target)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    return target


def _build(outputs: Outputs, max_nodes: int, values: bool) -> _View:
    roots = as_outputs(outputs)
    require_view_options(max_nodes, values)
    trace = _trace(roots, values, max_nodes)
    nodes, inputs, lanes, components = trace.nodes, trace.inputs, trace.values, trace.components
    failed, error = trace.failed, trace.error
    position = {node.id: i for i, node in enumerate(nodes)}
    roles: dict[int, list[int]] = {}
    for i, root in enumerate(roots):
        roles.setdefault(root.id, []).append(i)
    failed_at = position.get(failed.id) if failed is not None else None
    why = f"{type(error).__name__}: {error}" if error is not None else ""

    lines = []
    for i, node in enumerate(nodes):
        kind = node.kind
        head = f"{kind if kind != 'Expression' else node.op}<{node.dim}>"
        if kind in ("Parameter", "Undefined") and node.name:
            head += " " + _quote(node.name)
        if inputs[i]:
            head += "(" + ", ".join(f"%{j}" if j >= 0 else "…" for j in inputs[i]) + ")"
        if components[i] >= 0:
            head += "." + "xyzw"[components[i]]
        detail = []
        if kind in ("Constant", "Parameter"):
            detail.append("= " + _lanes(node.value))
        elif kind == "Undefined":
            hint = node.hint
            if hint is not None:
                detail.append("hint " + _lanes(hint))
        elif values:
            value = lanes[i]
            detail.append("= " + (_lanes(value) if value is not None else "(not computed)"))
        if kind == "Parameter":
            grad = node.grad
            if grad is not None:
                detail.append("grad " + _lanes(grad))
        if i == failed_at:
            detail.append(f"<- FAILED: {why}")
        lines.append(
            _Line(
                name=f"%{i}",
                head=head,
                detail=tuple(detail),
                kind=kind,
                failed=i == failed_at,
                outputs=tuple(roles.get(node.id, ())),
            )
        )

    hidden = trace.total - len(nodes)
    notes = []
    if hidden:
        notes.append(f"… {hidden} more nodes not shown (max_nodes={max_nodes})")
    if failed is not None and failed_at is None:
        notes.append(f"evaluation failed at a node not shown: {why}")
    return _View(lines, inputs, hidden, notes)


def _marks(line: _Line) -> list[str]:
    if not line.outputs:
        return []
    if len(line.outputs) == 1:
        return [f"<- output {line.outputs[0]}"]
    return ["<- outputs " + ", ".join(map(str, line.outputs))]


def _lanes(lanes: tuple[float, ...]) -> str:
    return "(" + ", ".join(f"{x:.6g}" for x in lanes) + ")"


def _quote(name: str) -> str:
    # Escaped as JSON, so that a name holding a newline or a quote still
    # takes one line and reads back unambiguously.
    return json.dumps(name, ensure_ascii=False)


def _dot_escape(text: str) -> str:
    return text.replace("\\", "\\\\").replace('"', '\\"')

import re
import shutil

import pytest

import quoril as q

NODE = re.compile(r"^  n(\d+) \[", re.M)
EDGE = re.compile(r"^  n(\d+) -> n(\d+);", re.M)
FAILED_COLOUR = 'color="#c00000"'
PNG = b"\x89PNG\r\n\x1a\n"
FINITE = "ValueError: symbolic value lanes must be finite"


def listing_inputs(text):
    """Maps each listed node's local number to the local numbers of its inputs."""
    nodes = {}
    for line in text.splitlines():
        if not line.startswith("#"):
            name, head = re.split(r"\s{2,}", line)[:2]
            nodes[int(name[1:])] = [int(j) for j in re.findall(r"%(\d+)", head)]
    return nodes


def shared_graph():
    p = q.Parameter(0.5, name="p")
    a = p + 1
    return [a * a + a, q.sin(p)]


@pytest.mark.parametrize(
    ("build", "nodes", "edges"),
    [
        (lambda: (lambda p: [p * p + 1])(q.Parameter(2.0)), 4, 4),
        (shared_graph, 6, 7),
        (lambda: (lambda p: [p, p * 2, p])(q.Parameter(1.0, 2.0)), 3, 2),
    ],
    ids=["reuse", "shared-and-two-outputs", "leaf-output-twice"],
)
def test_each_node_listed_and_drawn_once_in_evaluation_order(build, nodes, edges):
    outputs = build()
    listed = listing_inputs(q.describe(outputs))
    dot = q.to_dot(outputs)
    assert sorted(listed) == list(range(nodes))
    assert all(j < i for i, inputs in listed.items() for j in inputs)
    assert sum(map(len, listed.values())) == edges
    assert len(NODE.findall(dot)) == nodes
    drawn = sorted((int(a), int(b)) for a, b in EDGE.findall(dot))
    assert drawn == sorted((j, i) for i, inputs in listed.items() for j in inputs)
    assert q.describe(outputs).count("<- output") == len({o.id for o in outputs})


def test_values_and_gradients_shown_where_present():
    p = q.Parameter(2.0, name="p")
    y = q.norm(q.Parameter(1.0, 2.0, name="v") * p) + q.exp(-p)
    assert "grad" not in q.describe(y)
    y.backward()
    lines = q.describe(y).splitlines()
    assert lines[-1].endswith("= (4.60747)  <- output 0")
    grads = [line.split("grad ")[1] for line in lines if "grad" in line]
    assert grads == ["(0.894427, 1.78885)", "(2.10073)"]
    assert [line for line in q.describe(y, values=False).splitlines() if "=" in line] == lines[:2]


@pytest.mark.parametrize(
    ("build", "marked", "why"),
    [
        (lambda p: q.log(p - 2) + q.sin(p), "Log<1>", FINITE),
        (lambda p: q.sin(p) + 1 / (p - 2) * q.exp(p), "Divide<1>", FINITE),
        (lambda p: q.sin(p) + q.Undefined(dim=2, name="u"), 'Undefined<2> "u"',
         "RuntimeError: cannot evaluate symbolic graph with Undefined values"),
    ],
    ids=["log-of-zero", "division-by-zero", "undefined"],
)
def test_first_failing_node_is_the_one_marked(build, marked, why):
    y = build(q.Parameter(2.0, name="p"))
    lines = q.describe(y).splitlines()
    [failed] = [line for line in lines if "FAILED" in line]
    assert re.split(r"\s{2,}", failed)[1].startswith(marked)
    assert failed.endswith(f"<- FAILED: {why}") and "(not computed)" in lines[-1]
    [failed_node] = [line for line in q.to_dot(y).splitlines() if FAILED_COLOUR in line]
    assert marked.replace('"', '\\"') in failed_node
    assert "FAILED" not in q.describe(y, values=False)
    hidden_failure = q.describe(y, max_nodes=1).splitlines()[1]
    assert hidden_failure == f"# evaluation failed at a node not shown: {why}"


def test_million_node_chain_is_cut_near_the_outputs():
    x = q.Parameter(1.0)
    for _ in range(1_000_000):
        x = q.sin(x)
    text = q.describe(x, max_nodes=3)
    assert text.startswith("# … 999998 more nodes not shown (max_nodes=3)\n%0  Sin<1>(…)")
    assert listing_inputs(text) == {0: [], 1: [0], 2: [1]}
    dot = q.to_dot(x, max_nodes=3, values=False)
    assert (len(NODE.findall(dot)), len(EDGE.findall(dot))) == (3, 2)
    assert "cut -> n0 [style=dashed];" in dot


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz's dot is not installed")
@pytest.mark.parametrize(
    ("name", "format", "header"),
    [("g.svg", None, b"<?xml"), ("g.PNG", None, PNG), ("g", "png", PNG)],
)
def test_render_writes_a_real_picture(tmp_path, name, format, header):
    written = q.render(shared_graph(), tmp_path / name, format=format)
    assert written == tmp_path / name and [f.name for f in tmp_path.iterdir()] == [name]
    assert written.read_bytes().startswith(header) and written.stat().st_size > len(header)


@pytest.mark.parametrize(
    ("dot_script", "message"),
    [
        (None, "render needs Graphviz's 'dot' program on PATH; install Graphviz "
               "(e.g. apt install graphviz) or use to_dot() for the source"),
        ("printf '<svg'; echo broken >&2; exit 3", "dot failed with exit status 3: broken"),
    ],
    ids=["missing", "failing"],
)
def test_failed_render_leaves_no_partial_file(tmp_path, monkeypatch, dot_script, message):
    (tmp_path / "bin").mkdir()
    if dot_script is not None:
        (tmp_path / "bin" / "dot").write_text(f"#!/bin/sh\n{dot_script}\n")
        (tmp_path / "bin" / "dot").chmod(0o755)
    monkeypatch.setenv("PATH", str(tmp_path / "bin"))
    (tmp_path / "old.svg").write_text("old")
    for name in ("new.svg", "old.svg"):
        with pytest.raises(RuntimeError) as excinfo:
            q.render(q.Parameter(1.0), tmp_path / name)
        assert str(excinfo.value) == message
    assert sorted(f.name for f in tmp_path.iterdir()) == ["bin", "old.svg"]
    assert (tmp_path / "old.svg").read_text() == "old"


Y = q.Parameter(1.0)
TO_SVG = (Y, "g.svg")


@pytest.mark.parametrize(
    ("function", "args", "options", "error", "message"),
    [
        (q.describe, ("y",), {}, TypeError,
         "outputs must be an Expression or a sequence of them, not str"),
        (q.render, ([Y, 2], "g.svg"), {}, TypeError, "outputs[1] must be an Expression, not int"),
        (q.describe, ([],), {}, ValueError, "outputs is empty; pass at least one Expression"),
        (q.render, TO_SVG, {"max_nodes": 0}, ValueError, "max_nodes must be at least 1, not 0"),
        (q.to_dot, (Y,), {"max_nodes": 2.0}, TypeError, "max_nodes must be an int, not float"),
        (q.render, TO_SVG, {"values": 1}, TypeError, "values must be a bool, not int"),
        (q.render, TO_SVG, {"format": "pdf"}, ValueError, "format must be 'svg' or 'png', not 'pdf'"),
        (q.render, TO_SVG, {"format": "png"}, ValueError,
         "format 'png' does not match the suffix of 'g.svg'"),
        (q.render, (Y, "g.txt"), {}, ValueError, "cannot tell the format from the suffix of 'g.txt'; "
         "use a .svg or .png path or pass format='svg' or 'png'"),
        (q.render, (Y, None), {}, TypeError, "path must be a str or path-like object, not NoneType"),
    ],
)
def test_bad_input_is_refused_before_anything_is_written(
    tmp_path, monkeypatch, function, args, options, error, message
):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error) as excinfo:
        function(*args, **options)
    assert str(excinfo.value) == message
    assert list(tmp_path.iterdir()) == []

"""One adapter per implementation, so that each benchmark program is written
once and drives them all.

A program asks its adapter for leaves (`scalar`, `vector`) and for `sin`,
`cos` and `total`, and otherwise uses the values' own Python operators. The
adapter then knows how its implementation evaluates, differentiates, counts
and releases the graph the program left behind, and how it fits a model in
its users' usual way.

Eager implementations have no graph to evaluate again: their `evaluate` runs
the program once more, which is what their users do to get a value.
"""

import gc
import math

import pure_engine


class Graph:
    """What one run of a program left behind, with what the adapter prepared
    from it; dropping the Graph drops the implementation's whole graph."""

    def __init__(self, program, iterations, root, leaves):
        self.program = program
        self.iterations = iterations
        self.root = root
        self.leaves = leaves
        self.prepared = None
        self.gradient_function = None
        self.gradient_output = None


class Peer:
    label = ""
    available = True
    missing_reason = ""
    # Whether evaluate() and backward() need a prepare step of their own,
    # timed apart (compiling the graph into a callable).
    prepares = False
    # A fit that builds its loss once, rather than at every step.
    builds_loss_once = False

    def __init__(self):
        self._leaves = {}

    # Leaves of the program under way, by name, in creation order.
    def _leaf(self, name, leaf):
        self._leaves[name] = leaf
        return leaf

    def total(self, value):
        return value

    def build(self, program, iterations):
        self._leaves = {}
        root = program(self, iterations)
        leaves, self._leaves = self._leaves, {}
        return Graph(program, iterations, root, leaves)

    def prepare_evaluate(self, graph):
        pass

    def prepare_backward(self, graph):
        pass

    def release(self, graph):
        graph.root = None
        graph.leaves = None
        graph.prepared = None
        graph.gradient_function = None
        graph.gradient_output = None


class Quoril(Peer):
    label = "_quoril"
    builds_loss_once = True

    def __init__(self):
        super().__init__()
        import _quoril

        self.module = _quoril
        # Bound straight to the module's functions, so that a program pays for
        # no adapter frame on the way.
        self.sin = _quoril.sin
        self.cos = _quoril.cos
        self.version = _quoril.__version__

    def scalar(self, name, value):
        return self._leaf(name, self.module.Parameter(value, name=name))

    def vector(self, name, values):
        return self._leaf(name, self.module.Parameter(*values, name=name))

    def count(self, graph):
        return count_expression_nodes(graph.root)

    def evaluate(self, graph):
        return graph.root.eval(), None

    def backward(self, graph):
        root = graph.root
        if root.dim == 1:
            root.backward()
        else:
            root.backward((1.0,) * root.dim)

    def gradients(self, graph):
        return {name: leaf.grad for name, leaf in graph.leaves.items()}

    def fit(self, loss_program, initial, data, steps, rate):
        parameters = [self.module.Parameter(v, name=f"a{i}") for i, v in enumerate(initial)]
        values = list(initial)
        loss = loss_program(self, parameters, data)
        for _ in range(steps):
            loss.backward()
            for i, parameter in enumerate(parameters):
                values[i] -= rate * parameter.grad[0]
                parameter.set_value(values[i])
            loss.zero_grad()
        return values


def count_expression_nodes(root):
    """Counts the distinct nodes below root by node id, without recursion."""
    seen = {root.id}
    stack = [root]
    while stack:
        for child in stack.pop().inputs:
            if child.id not in seen:
                seen.add(child.id)
                stack.append(child)
    return len(seen)


class Torch(Peer):
    label = "PyTorch"

    def __init__(self, vectorised=False):
        super().__init__()
        import torch

        torch.set_num_threads(1)
        self.torch = torch
        self.vectorised = vectorised
        if vectorised:
            self.label = "PyTorch (vectorised)"
        self.sin = torch.sin
        self.cos = torch.cos
        self.version = torch.__version__

    def _tensor(self, values, grad):
        return self.torch.tensor(values, dtype=self.torch.float64, requires_grad=grad)

    def scalar(self, name, value):
        return self._leaf(name, self._tensor(value, True))

    def vector(self, name, values):
        return self._leaf(name, self._tensor(list(values), True))

    def total(self, value):
        return value.sum() if self.vectorised else value

    def count(self, graph):
        """Counts autograd nodes, leaves' gradient accumulators included."""
        seen = set()
        stack = [graph.root.grad_fn]
        while stack:
            node = stack.pop()
            for successor, _ in node.next_functions:
                if successor is not None and successor not in seen:
                    seen.add(successor)
                    stack.append(successor)
        return len(seen) + 1

    def evaluate(self, graph):
        with self.torch.no_grad():
            again = self.build(graph.program, graph.iterations)
        return tuple(again.root.reshape(-1).tolist()), again

    def backward(self, graph):
        root = graph.root
        if root.dim() == 0:
            root.backward()
        else:
            root.backward(self.torch.ones_like(root))

    def gradients(self, graph):
        return {
            name: tuple(leaf.grad.reshape(-1).tolist()) for name, leaf in graph.leaves.items()
        }

    def fit(self, loss_program, initial, data, steps, rate):
        torch = self.torch
        parameters = [self._tensor(v, True) for v in initial]
        if self.vectorised:
            times, targets = zip(*data)
            data = [(self._tensor(list(times), False), self._tensor(list(targets), False))]
        for _ in range(steps):
            loss = loss_program(self, parameters, data)
            loss.backward()
            with torch.no_grad():
                for parameter in parameters:
                    parameter -= rate * parameter.grad
                    parameter.grad = None
        return [parameter.item() for parameter in parameters]


class Casadi(Peer):
    label = "CasADi"
    prepares = True
    builds_loss_once = True

    def __init__(self):
        super().__init__()
        import casadi

        self.casadi = casadi
        self.sin = casadi.sin
        self.cos = casadi.cos
        self.version = casadi.__version__
        self._values = {}

    def scalar(self, name, value):
        self._values[name] = [float(value)]
        return self._leaf(name, self.casadi.SX.sym(name))

    def vector(self, name, values):
        self._values[name] = [float(v) for v in values]
        return self._leaf(name, self.casadi.SX.sym(name, len(values)))

    def build(self, program, iterations):
        self._values = {}
        graph = super().build(program, iterations)
        graph.values = self._values
        return graph

    def _inputs(self, graph):
        return list(graph.leaves.values()), [graph.values[name] for name in graph.leaves]

    def count(self, graph):
        """Counts scalar nodes of the compiled graph, symbols included."""
        symbols, _ = self._inputs(graph)
        return self.casadi.Function("count", symbols, [graph.root]).n_nodes()

    def prepare_evaluate(self, graph):
        symbols, _ = self._inputs(graph)
        graph.prepared = self.casadi.Function("f", symbols, [graph.root])

    def evaluate(self, graph):
        _, values = self._inputs(graph)
        return tuple(graph.prepared(*values).full().ravel().tolist()), None

    def prepare_backward(self, graph):
        ca = self.casadi
        symbols, _ = self._inputs(graph)
        root = graph.root if graph.root.numel() == 1 else ca.sum1(graph.root)
        gradient = ca.gradient(root, ca.vertcat(*symbols))
        graph.gradient_function = ca.Function("g", symbols, [gradient])

    def backward(self, graph):
        _, values = self._inputs(graph)
        graph.gradient_output = graph.gradient_function(*values)

    def gradients(self, graph):
        flat = graph.gradient_output.full().ravel().tolist()
        grads, start = {}, 0
        for name, lanes in graph.values.items():
            grads[name] = tuple(flat[start : start + len(lanes)])
            start += len(lanes)
        return grads

    def release(self, graph):
        super().release(graph)
        graph.values = None

    def fit(self, loss_program, initial, data, steps, rate):
        ca = self.casadi
        parameters = [ca.SX.sym(f"a{i}") for i in range(len(initial))]
        stacked = ca.vertcat(*parameters)
        loss = loss_program(self, parameters, data)
        gradient = ca.Function("grad", [stacked], [ca.gradient(loss, stacked)])
        values = list(initial)
        for _ in range(steps):
            grads = gradient(values).full().ravel().tolist()
            values = [v - rate * g for v, g in zip(values, grads)]
        return values


class PureVector:
    """Three scalar Values of the pure engine behaving as one 3-lane value, a
    scalar Value standing for itself in every lane."""

    __slots__ = ("lanes",)

    def __init__(self, lanes):
        self.lanes = tuple(lanes)

    def _pair(self, other):
        if isinstance(other, PureVector):
            return other.lanes
        return (other,) * len(self.lanes)

    def __add__(self, other):
        return PureVector(a + b for a, b in zip(self.lanes, self._pair(other)))

    def __mul__(self, other):
        return PureVector(a * b for a, b in zip(self.lanes, self._pair(other)))


class Pure(Peer):
    label = "pure Python"

    def __init__(self):
        super().__init__()
        self.sin = pure_engine.sin
        self.cos = pure_engine.cos
        self.version = "bench/pure_engine.py"

    def scalar(self, name, value):
        return self._leaf(name, pure_engine.Value(float(value)))

    def vector(self, name, values):
        return self._leaf(name, PureVector(pure_engine.Value(float(v)) for v in values))

    @staticmethod
    def _lanes(value):
        return value.lanes if isinstance(value, PureVector) else (value,)

    def count(self, graph):
        """Counts scalar nodes, the union of every lane's topological order."""
        nodes = set()
        for lane in self._lanes(graph.root):
            nodes.update(map(id, lane.topological_order()))
        return len(nodes)

    def evaluate(self, graph):
        again = self.build(graph.program, graph.iterations)
        return tuple(lane.data for lane in self._lanes(again.root)), again

    def backward(self, graph):
        lanes = self._lanes(graph.root)
        root = lanes[0]
        for lane in lanes[1:]:
            root = root + lane
        root.backward()

    def gradients(self, graph):
        return {
            name: tuple(lane.grad for lane in self._lanes(leaf))
            for name, leaf in graph.leaves.items()
        }

    def release(self, graph):
        # Closures keep every node in a cycle: nothing is freed until a
        # collection, so that is part of what releasing costs here.
        super().release(graph)
        gc.collect()

    def fit(self, loss_program, initial, data, steps, rate):
        parameters = [pure_engine.Value(float(v)) for v in initial]
        for _ in range(steps):
            loss = loss_program(self, parameters, data)
            for parameter in parameters:
                parameter.grad = 0.0
            loss.backward()
            for parameter in parameters:
                parameter.data -= rate * parameter.grad
        return [parameter.data for parameter in parameters]


PEERS = {"quoril": Quoril, "torch": Torch, "casadi": Casadi, "pure": Pure}


def load(key, **options):
    """Returns an adapter, or a stand-in that says why its implementation
    cannot be loaded."""
    try:
        return PEERS[key](**options)
    except Exception as error:  # an import failure of any kind disqualifies it
        stand_in = Peer()
        stand_in.label = PEERS[key].label + (" (vectorised)" if options.get("vectorised") else "")
        stand_in.available = False
        stand_in.missing_reason = f"{type(error).__name__}: {error}"
        return stand_in


def agree(expected, actual, rel=1e-9):
    """Whether two sequences of floats agree within rel, relative to the
    larger magnitude (exact zeros must match to the last subnormal)."""
    expected, actual = tuple(expected), tuple(actual)
    return len(expected) == len(actual) and all(
        math.isclose(e, a, rel_tol=rel, abs_tol=1e-300) for e, a in zip(expected, actual)
    )

"""The benchmark programs, each written once against an adapter `ops` of
bench/peers.py: leaves come from ops.scalar and ops.vector, sin and cos from
ops, everything else from the values' own operators."""

import math


class Program:
    """A graph-building loop with what it should produce: `ops_per_step`
    operations per iteration over `leaves` leaves, `scalar_nodes_per_step`
    and `scalar_leaves` when lanes are counted one by one."""

    def __init__(self, key, title, function, ops_per_step, leaves, lanes=1):
        self.key = key
        self.title = title
        self.function = function
        self.ops_per_step = ops_per_step
        self.leaves = leaves
        self.lanes = lanes

    def __call__(self, ops, iterations):
        return self.function(ops, iterations)

    def iterations(self, operations):
        return operations // self.ops_per_step

    def nodes(self, iterations):
        return self.leaves + self.ops_per_step * iterations

    def scalar_nodes(self, iterations):
        """Nodes when every lane of a vector operation is a node of its own."""
        if self.lanes == 1:
            return self.nodes(iterations)
        # A 3-lane leaf is three scalar leaves; the broadcast scalar is one.
        return (self.leaves - 1) * self.lanes + 1 + self.ops_per_step * self.lanes * iterations


def horner(ops, iterations):
    x = ops.scalar("x", 0.5)
    c = ops.scalar("c", 1.0)
    y = c
    for _ in range(iterations):
        y = y * x + c
    return y


def broadcast(ops, iterations):
    s = ops.scalar("s", 0.5)
    v = ops.vector("v", (1.0, -2.0, 3.0))
    y = v
    for _ in range(iterations):
        y = y * s + v
    return y


def trigonometric(ops, iterations):
    a = ops.scalar("a", 0.7)
    b = ops.scalar("b", 0.3)
    y = a
    for _ in range(iterations):
        y = ops.sin(y) * a + ops.cos(y * b)
    return y


HORNER = Program("horner", "Horner y=y*x+c", horner, ops_per_step=2, leaves=2)
BROADCAST = Program("broadcast", "3-lane y=y*s+v", broadcast, ops_per_step=2, leaves=2, lanes=3)
TRIGONOMETRIC = Program(
    "trig", "y=sin(y)*a+cos(y*b)", trigonometric, ops_per_step=5, leaves=2
)
GRAPH_PROGRAMS = (HORNER, BROADCAST, TRIGONOMETRIC)


# Fitting: eight parameters of a nonlinear model to points on [-1, 1].

FIT_POINTS = 200
FIT_STEPS = 50
FIT_RATE = 0.05
FIT_TRUE = (1.5, 2.0, 0.3, 0.8, 3.0, 0.5, -0.4, 0.2)
FIT_START = (1.0, 1.5, 0.0, 1.0, 2.5, 0.0, 0.0, 0.0)


def model(ops, a, t):
    periodic = a[0] * ops.sin(a[1] * t + a[2]) + a[3] * ops.cos(a[4] * t)
    return periodic + a[5] * t * t + a[6] * t + a[7]


class _Floats:
    sin = staticmethod(math.sin)
    cos = staticmethod(math.cos)


def fit_data():
    """Points of the true model with a small deterministic wobble, so the fit
    cannot reach zero loss."""
    data = []
    for i in range(FIT_POINTS):
        t = -1.0 + 2.0 * i / (FIT_POINTS - 1)
        y = model(_Floats, FIT_TRUE, t)
        data.append((t, y + 0.01 * math.sin(7.0 * i)))
    return data


def fit_loss(ops, a, data):
    """Mean squared residual; `data` holds (t, y) points, or for a vectorised
    adapter one pair of whole arrays, which ops.total sums."""
    total = None
    for t, y in data:
        residual = model(ops, a, t) - y
        term = ops.total(residual * residual)
        total = term if total is None else total + term
    return total * (1.0 / FIT_POINTS)


# The deep chain: Horner steps, two nodes each, over two leaves.
CHAIN = HORNER


def chain_iterations(nodes):
    return (nodes - CHAIN.leaves) // CHAIN.ops_per_step


# Per-operation graphs: 10k operations of one kind each, to set every
# operation's cost beside sin's. Each step scales the running value by a
# Parameter and applies the operation, y = f(y * b) (or f(y * b, c)), so the
# value stays finite and away from each operation's edges however long the
# chain: every step is a contraction towards a fixed point inside the domain.
# Only the module takes part; `ops.<name>` is used where the adapter has it,
# else the package's function. The chain of Multiplies alone, y = y * b with
# b = 1, sets apart what the Multiply of each step costs.

# name: (start, b, c or None, derivative of f in its first operand)
OPERATIONS = {
    "mul": (0.7, 1.0, None, None),
    "sin": (0.7, 2.0, None, math.cos),
    "exp": (0.5, -1.0, None, math.exp),
    "log": (1.0, 3.0, None, lambda u: 1.0 / u),
    "sqrt": (0.7, 2.0, None, lambda u: 0.5 / math.sqrt(u)),
    "tanh": (0.7, 2.0, None, lambda u: 1.0 - math.tanh(u) ** 2),
    "abs": (0.7, -0.999, None, lambda u: math.copysign(1.0, u) if u else 0.0),
    "pow": (0.7, 2.0, 0.5, None),
    "atan2": (0.7, 2.0, 1.0, None),
}


def operation_program(name):
    start, scale, second, _ = OPERATIONS[name]

    def run(ops, iterations):
        f = getattr(ops, name, None)
        if f is None and name != "mul":
            import quoril

            f = getattr(quoril, name)
        y = ops.scalar("y", start)
        b = ops.scalar("b", scale)
        if name == "mul":
            for _ in range(iterations):
                y = y * b
            return y
        if second is None:
            for _ in range(iterations):
                y = f(y * b)
            return y
        c = ops.scalar("c", second)
        for _ in range(iterations):
            y = f(y * b, c)
        return y

    leaves = 2 if second is None else 3
    if name == "mul":
        return Program("op-mul", "y=y*b", run, ops_per_step=1, leaves=leaves)
    title = f"y={name}(y*b)" if second is None else f"y={name}(y*b, c)"
    return Program(f"op-{name}", title, run, ops_per_step=2, leaves=leaves)


OPERATION_PROGRAMS = tuple(operation_program(name) for name in OPERATIONS)


def operation_reference(name, iterations):
    """The value of an operation program and its derivatives by leaf name,
    by forward differentiation over plain floats."""
    start, b, c, derivative = OPERATIONS[name]
    names = ("y", "b") if c is None else ("y", "b", "c")
    y, dy = start, {"y": 1.0, "b": 0.0, "c": 0.0}
    for _ in range(iterations):
        u = y * b
        du = {k: dy[k] * b + y * (k == "b") for k in dy}
        if name == "mul":
            v, dy = u, du
        elif name == "pow":
            v = math.pow(u, c)
            dy = {k: c * math.pow(u, c - 1.0) * du[k] + v * math.log(u) * (k == "c") for k in du}
        elif name == "atan2":
            v, r2 = math.atan2(u, c), u * u + c * c
            dy = {k: (c * du[k] - u * (k == "c")) / r2 for k in du}
        else:
            v = abs(u) if name == "abs" else getattr(math, name)(u)
            dy = {k: derivative(u) * du[k] for k in du}
        y = v
    return (y,), {k: (dy[k],) for k in names}

"""A reverse-mode engine in plain Python, written the way such engines usually
are: every operation makes a Value that keeps its operands in a set and a
closure that pushes its own gradient back into them; backward() sorts the
graph topologically and runs the closures in reverse.

It is the reference the benchmarks check every other implementation against,
and one of the peers they time. Each closure refers to the Value that owns it,
so every node sits in a reference cycle and only the garbage collector frees a
dropped graph, as it does for users of such engines.
"""

import math


class Value:
    def __init__(self, data, children=(), op=""):
        self.data = data
        self.grad = 0.0
        self._backward = lambda: None
        self._prev = set(children)
        self._op = op

    def __repr__(self):
        return f"Value(data={self.data!r}, grad={self.grad!r})"

    def __add__(self, other):
        other = other if isinstance(other, Value) else Value(float(other))
        out = Value(self.data + other.data, (self, other), "+")

        def _backward():
            self.grad += out.grad
            other.grad += out.grad

        out._backward = _backward
        return out

    def __sub__(self, other):
        other = other if isinstance(other, Value) else Value(float(other))
        out = Value(self.data - other.data, (self, other), "-")

        def _backward():
            self.grad += out.grad
            other.grad -= out.grad

        out._backward = _backward
        return out

    def __mul__(self, other):
        other = other if isinstance(other, Value) else Value(float(other))
        out = Value(self.data * other.data, (self, other), "*")

        def _backward():
            self.grad += other.data * out.grad
            other.grad += self.data * out.grad

        out._backward = _backward
        return out

    def __truediv__(self, other):
        other = other if isinstance(other, Value) else Value(float(other))
        out = Value(self.data / other.data, (self, other), "/")

        def _backward():
            self.grad += out.grad / other.data
            other.grad -= out.grad * self.data / (other.data * other.data)

        out._backward = _backward
        return out

    def __neg__(self):
        out = Value(-self.data, (self,), "neg")

        def _backward():
            self.grad -= out.grad

        out._backward = _backward
        return out

    def __radd__(self, other):
        return Value(float(other)) + self

    def __rsub__(self, other):
        return Value(float(other)) - self

    def __rmul__(self, other):
        return Value(float(other)) * self

    def __rtruediv__(self, other):
        return Value(float(other)) / self

    def sin(self):
        out = Value(math.sin(self.data), (self,), "sin")

        def _backward():
            self.grad += math.cos(self.data) * out.grad

        out._backward = _backward
        return out

    def cos(self):
        out = Value(math.cos(self.data), (self,), "cos")

        def _backward():
            self.grad -= math.sin(self.data) * out.grad

        out._backward = _backward
        return out

    def topological_order(self):
        """Returns every node reachable from this one, each after its operands.

        Iterative, so a chain of a million nodes needs no deep recursion.
        """
        order = []
        visited = set()
        stack = [(self, False)]
        while stack:
            node, expanded = stack.pop()
            if expanded:
                order.append(node)
                continue
            if node in visited:
                continue
            visited.add(node)
            stack.append((node, True))
            stack.extend((child, False) for child in node._prev if child not in visited)
        return order

    def backward(self):
        order = self.topological_order()
        self.grad = 1.0
        for node in reversed(order):
            node._backward()


def sin(value):
    return value.sin()


def cos(value):
    return value.cos()

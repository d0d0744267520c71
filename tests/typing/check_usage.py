"""Every name of _quoril used the way its stub describes.

mypy --strict must accept this file, and running it against the built module
must succeed too, so the stub promises nothing the module does not do.
"""

from collections.abc import Sequence
from typing import Literal, assert_type

import _quoril as q

assert_type(q.__version__, str)

# Leaves from numbers, sequences and keywords.
p = q.Parameter(2.0, name="p")
v = q.Parameter([1.0, 2.0, 3.0])
quad = q.Parameter(1, 2, 3, 4, name="quad")
c = q.Constant(1, 2)
c_from_tuple = q.Constant((0.5,))
u = q.Undefined(hint=(1.0, 2.0), name="u")
u_hint_number = q.Undefined(hint=2)
u_dim = q.Undefined(dim=3)
u_plain = q.Undefined()
assert_type(p, q.Expression)
assert_type(u_plain, q.Expression)

# Introspection.
assert_type(p.id, int)
assert_type(p.kind, Literal["Constant", "Parameter", "Undefined", "Expression"])
assert_type(
    p.op,
    Literal[
        "None", "Pack", "Component", "Add", "Subtract", "Multiply", "Divide",
        "Negate", "Sin", "Cos", "Exp", "Log", "Sqrt", "Tanh", "Abs", "Pow",
        "Atan2", "SincSqrt", "AtancSqrt",
    ],
)
assert p.kind == "Parameter" and p.op == "None"
assert_type(p.dim, int)
assert_type(p.dimension, int)
assert_type(p.name, str)
flags: list[bool] = [
    p.is_constant, p.is_parameter, p.is_undefined, p.is_expression, p.is_leaf
]
assert flags == [False, True, False, False, True]
assert_type(c.value, tuple[float, ...])
assert_type(u.hint, tuple[float, ...] | None)
assert_type(p.grad, tuple[float, ...] | None)
assert_type(repr(p), str)
assert u_dim.dim == 3 and u_hint_number.hint == (2.0,)
assert u.hint is not None and u.hint[1] == 2.0

# Operators in both orders, with expressions, numbers and sequences.
operands: list[q.Expression] = [
    p + v, p + 1, 1 + p, p + 1.5, v + [1.0, 2.0, 3.0], [1.0, 2.0, 3.0] + v,
    (1.0, 2.0) + c, p - 1, 1 - p, p * 2, 2 * p, p * p, v / 2, 2 / v,
    v / (1.0, 2.0, 4.0), -p,
]
assert all(isinstance(e, q.Expression) for e in operands)

# Components, by property and by index.
lanes = [quad.x, quad.y, quad.z, quad.w, quad[0], quad[True]]
assert_type(lanes, list[q.Expression])
assert [lane.eval() for lane in lanes] == [(1.0,), (2.0,), (3.0,), (4.0,), (1.0,), (2.0,)]

# Packing and elementary functions.
packed = q.vec4(p, 1, [2.0], q.sin(p))
assert_type(q.vec2(p, p), q.Expression)
assert_type(q.vec3(1.0, p, 2), q.Expression)
assert_type(q.cos(v), q.Expression)
assert packed.dim == 4

# The expression's operands, in order.
y = p * p + 1
inputs = y.inputs
assert_type(inputs, tuple[q.Expression, ...])
assert [operand.op for operand in inputs] == ["Multiply", "None"]

# Summing with an Expression start keeps the result an Expression.
total = sum([p, p * 2, v.x], start=q.Constant(0.0))
assert_type(total, q.Expression)

# Evaluation, gradients and new values.
result = y.eval()
assert_type(result, tuple[float, ...])
assert result == (5.0,)
y.backward()
y.backward(2.0)
y.backward(seed=1)
y.backward([0.5])
y.backward(None)
grad = p.grad
assert grad is not None and grad == (4.0 * 5.5,)
y.zero_grad()
assert p.grad is None
p.set_value(3.0)
v.set_value(1, 2, 3)
v.set_value((4.0, 5.0, 6.0))
current: Sequence[float] = v.value
v.set_value(current)
(v * p).backward((1.0, 1.0, 1.0))
assert v.grad == (3.0, 3.0, 3.0)

# An Undefined cannot be evaluated, but its gradients can be cleared.
try:
    (u + 1).eval()
except RuntimeError as error:
    assert str(error) == "cannot evaluate symbolic graph with Undefined values"
else:
    raise AssertionError("evaluating an Undefined succeeded")
(u + 1).zero_grad()

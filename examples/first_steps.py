"""A first tour of _quoril: build a graph once, evaluate it, differentiate it,
change a Parameter and evaluate again."""

import _quoril as q

# Leaves: a named Parameter we will differentiate against, and a Constant.
p = q.Parameter(2.0, name="p")
offset = q.Constant(1.0)

# Build y = p * p + 1 once; nothing is computed yet.
y = p * p + offset
print("graph:", y, "with inputs", y.inputs)
print("y.eval() =", y.eval())

# Reverse mode: dy/dp = 2p accumulates into p.grad.
y.backward()
print("after backward: p.grad =", p.grad)

# Gradients accumulate across passes until cleared.
y.backward()
print("after a second backward: p.grad =", p.grad)
y.zero_grad()
print("after zero_grad: p.grad =", p.grad)

# Re-evaluate the same graph at a new Parameter value.
p.set_value(3.0)
print("after p.set_value(3.0): y.eval() =", y.eval())

# Vectors of up to four lanes broadcast against scalars.
v = q.Parameter(1.0, 2.0, 3.0, name="v")
scaled = v * p + q.sin(v.x)
print("v * p + sin(v.x) =", scaled.eval())
scaled.backward((1.0, 1.0, 1.0))
print("gradients: v.grad =", v.grad, " p.grad =", p.grad)

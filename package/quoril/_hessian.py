"""Second derivatives of an output with respect to Parameters, by forward
over reverse in the core: full Hessians and Hessian-vector products, NumPy
arrays out."""

from __future__ import annotations

import numpy as np
from _quoril import Expression

from quoril import _native
from quoril._checks import (
    Array,
    Params,
    as_direction,
    as_hessian_output,
    as_params,
    require_finite_hessian,
)


def hessian(output: Expression, params: Params) -> Array:
    """The Hessian of an output with respect to Parameters, exact and
    symmetric.

    Parameters
    ----------
    output : Expression
        1 to 4 lanes.
    params : Parameter or sequence of Parameter
        The variables, each given once; P lanes in all.

    Returns
    -------
    ndarray of float64
        Shape (P, P) for a one-lane output, (L, P, P) for L lanes, lane by
        lane. A Parameter the output does not reach gives zeros. At kinks the
        conventions of the first derivatives hold: ``abs`` has second
        derivative 0 everywhere, and ``pow`` with a Constant exponent never
        takes the logarithm of its base, so a negative base stays finite.

    Raises
    ------
    TypeError, ValueError
        For arguments of the wrong kind, as `jacobian`; then as
        ``Expression.eval()`` where a value is not finite; and ValueError
        where a second derivative is not finite (``sqrt`` at 0), rather
        than returning inf or NaN.
    """
    output = as_hessian_output(output)
    columns = as_params(params)
    program = _native.HessianProgram([output], columns)
    if output.dim == 1:
        return require_finite_hessian(program.hessian(np.ones(1)), "the Hessian of output")
    return np.stack([
        require_finite_hessian(program.hessian(weights), f"the Hessian of output lane {lane}")
        for lane, weights in enumerate(np.eye(output.dim))
    ])


def hessian_vector_product(output: Expression, params: Params, v: object) -> Array:
    """The Hessian of a one-lane output times `v`, shape (P,), from one
    forward and one reverse pass carrying one tangent: no Hessian is formed.

    Raises
    ------
    TypeError, ValueError
        As `hessian` (a product that is not finite included), and for an
        output of more than one lane or a `v` that is not P finite numbers.
    """
    output = as_hessian_output(output)
    columns = as_params(params)
    size = sum(p.dim for p in columns)
    direction = as_direction(v, output, size)
    product = _native.HessianProgram([output], columns).hessian_vector_product(
        np.ones(1), direction
    )
    return require_finite_hessian(product, "the Hessian-vector product of output")

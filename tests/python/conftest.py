import pytest

import _quoril


@pytest.fixture
def next_id():
    """Returns a probe that creates (and drops) one node and reports its id.

    Two probes around a call differ by exactly 1 when the call consumed no id.
    """
    return lambda: _quoril.Constant(0.0).id

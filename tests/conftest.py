import os

import numpy as np
import pytest

import vandra


@pytest.fixture
def enc():
    return vandra.Encoder()


def internal_error():
    """The module's internal-error class: a BaseException that is not an Exception."""
    try:
        vandra.Encoder().encode(np.zeros(3))
    except BaseException as e:  # noqa: B036 - that is the point
        return type(e)
    raise AssertionError("a 1-D array must fail")


@pytest.fixture(scope="session")
def InternalError():
    return internal_error()


def decoded_labels(enc, obj):
    """Encodes obj and returns the decoded object array (array form)."""
    return enc.decode(enc.encode(obj))


def examples(n):
    """Property tests' example count: a fifth under the sanitizers, whose calls are slow."""
    return max(10, n // 5) if os.environ.get("VANDRA_TEST_SANITIZED") else n

import faulthandler
import os
import sys

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


@pytest.fixture(autouse=True)
def watchdog(request):
    """In a module that sets WATCHDOG_SECONDS: dumps every thread's stack and ends the run
    if a test there never returns; with SWITCH_INTERVAL, switches threads that often so that
    calls interleave."""
    seconds = getattr(request.module, "WATCHDOG_SECONDS", None)
    if seconds is None:
        yield
        return
    interval = sys.getswitchinterval()
    sys.setswitchinterval(getattr(request.module, "SWITCH_INTERVAL", interval))
    faulthandler.dump_traceback_later(seconds, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()
    sys.setswitchinterval(interval)

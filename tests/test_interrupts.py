"""Interrupts (exceptions that are not Exception subclasses) and signals stop a call and
reach the caller unchanged, leaving the encoder's fit as it was; ordinary failures keep
their meaning, and a failing write of the refused type's name never hides the TypeError."""

import os
import signal

import numpy as np
import pandas as pd
import pytest

from vandra import Encoder

INTERRUPTS = [KeyboardInterrupt, SystemExit, GeneratorExit]


def raising(exc):
    def hook(*_):
        raise exc

    return hook


def cell(hook_name, exc):
    return type("Cell", (), {hook_name: raising(exc)})()


def duck(**attrs):
    base = {"columns": ["a"], "shape": (1, 1), "values": np.array([["x"]], dtype=object)}
    base.update({k: property(v) for k, v in attrs.items()})
    return type("DataFrame", (), base)()


# Each builds an input whose conversion runs Python code that raises `exc`.
INPUTS = {
    "cell __float__": lambda exc: np.array([[1.0], [cell("__float__", exc)]], dtype=object),
    "cell __str__": lambda exc: np.array([["a"], [cell("__str__", exc)]], dtype=object),
    "frame cell __float__": lambda exc: pd.DataFrame({"a": [cell("__float__", exc)]}),
    "column labels iteration": lambda exc: duck(columns=lambda self: iter_raising(exc)),
    "shape": lambda exc: duck(shape=raising(exc)),
    "values": lambda exc: duck(values=raising(exc)),
}


class iter_raising:  # a sequence whose iteration raises midway
    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i == 0:
            return "a"
        raise self.exc


@pytest.fixture
def fitted():
    enc = Encoder()
    codes = enc.encode(np.array([["b"], ["a"]], dtype=object))
    return enc, codes


@pytest.mark.parametrize("where", INPUTS)
@pytest.mark.parametrize("exc_type", INTERRUPTS)
def test_interrupts_reach_the_caller_unchanged(fitted, where, exc_type):
    enc, codes = fitted
    exc = exc_type("stop")
    obj = INPUTS[where](exc)
    for method in (enc.encode, enc.decode):
        with pytest.raises(exc_type) as info:
            method(obj)
        assert info.value is exc
    assert enc.decode(codes)[:, 0].tolist() == ["b", "a"]  # the earlier fit stays


def test_ordinary_str_failure_is_internal_error_caused_by_it(InternalError):
    original = ValueError("boom")
    arr = np.array([["a"], [cell("__str__", original)]], dtype=object)
    with pytest.raises(InternalError, match="^cant convert to str: ValueError: boom") as info:
        Encoder().encode(arr)
    assert info.value.__cause__ is original


def test_signal_during_a_long_encode_stops_it_before_the_fit_is_stored(fitted):
    enc, codes = fitted

    class Alarm:
        """The first cell: arms a timer that fires while the C++ loops run."""

        def __float__(self):
            signal.setitimer(signal.ITIMER_REAL, 0.002)
            raise TypeError

        def __str__(self):
            return "alarm"

    def on_alarm(*_):
        raise KeyboardInterrupt("alarm")

    arr = np.empty((2_000_000, 2), dtype=object)
    arr[:, 0] = "label"
    arr[:, 1] = np.tile(np.array([f"x{i}" for i in range(1000)], dtype=object), 2000)
    arr[0, 0] = Alarm()
    previous = signal.signal(signal.SIGALRM, on_alarm)
    try:
        with pytest.raises(KeyboardInterrupt, match="alarm"):
            enc.encode(arr)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert enc.decode(codes)[:, 0].tolist() == ["b", "a"]


@pytest.mark.parametrize("broken", ["closed reader", "closed fd"])
def test_failed_write_of_refused_name_keeps_the_type_error(broken):
    saved = os.dup(1)
    read_end, write_end = os.pipe()
    try:
        os.dup2(write_end, 1)
        if broken == "closed reader":
            os.close(read_end)  # writes now fail with EPIPE (Python ignores SIGPIPE)
        else:
            os.close(1)  # EBADF
        with pytest.raises(TypeError, match="^Unsupported type: 'list'"):
            Encoder().encode([1])
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(write_end)
        if broken != "closed reader":
            os.close(read_end)

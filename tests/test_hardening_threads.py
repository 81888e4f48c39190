"""Threads sharing an Encoder, threads with their own, the worker pool's first use from
several threads at once, and fork() after the pool exists.

The module holds the interpreter lock for a whole call, but Python code run by the
conversion (the cells' __float__ / __str__ here, pandas' code when building frames) lets
other threads in, so calls really do interleave. Every call must return the right result
or fail at once with exactly one of the two access errors; nothing may hang."""

import os
import random
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pandas as pd
import pytest

from vandra import Encoder

ACCESS_ERRORS = {"Already borrowed", "Already mutably borrowed"}
WATCHDOG_SECONDS = 180
SWITCH_INTERVAL = 1e-5  # far more often than the default 5 ms


class Slow:
    """A cell whose conversion runs Python code that gives up the interpreter lock."""

    def __init__(self, text=None, value=None):
        self.text, self.value = text, value

    def __float__(self):
        time.sleep(0)
        if self.value is None:
            raise TypeError("text cell")
        return self.value

    def __str__(self):
        time.sleep(0)
        return self.text


def table(labels, rows=30, seed=0):
    rng = random.Random(seed)
    arr = np.empty((rows, 2), dtype=object)
    for i in range(rows):
        arr[i, 0] = Slow(text=rng.choice(labels))
        arr[i, 1] = Slow(value=float(i))
    return arr


def same(got, want):
    if isinstance(want, pd.DataFrame):
        return isinstance(got, pd.DataFrame) and got.equals(want)
    return got.shape == want.shape and got.dtype == want.dtype and all(
        a == b or (a != a and b != b) for a, b in zip(got.ravel().tolist(), want.ravel().tolist()))


def run_threads(n, body):
    errors = []

    def guarded(k):
        try:
            body(k)
        except BaseException as e:  # noqa: B036 - reported below, whatever it is
            errors.append(e)

    threads = [threading.Thread(target=guarded, args=(k,)) for k in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not any(t.is_alive() for t in threads), "a thread hung"
    if errors:
        raise errors[0]


@pytest.fixture(scope="module")
def cases():
    a, b = table(["apple", "pear", "fig"], seed=1), table(["x", "y"], seed=2)
    # short decodes against long encodes, so that both kinds of conflict happen
    codes = np.empty((6, 2), dtype=object)
    for i in range(6):
        codes[i, 0] = Slow(value=float(i % 3))
        codes[i, 1] = Slow(value=float(i))
    frame = pd.DataFrame(a, columns=["t", "v"])
    fit_a, fit_b = Encoder(), Encoder()
    return {
        "a": a, "b": b, "frame": frame, "codes": codes,
        "codes_f": np.array([[float(v) for v in row] for row in codes]),
        "enc_a": fit_a.encode(a), "enc_b": fit_b.encode(b),
        "enc_frame": Encoder().encode(frame),
        # decode maps through whichever fit is stored: a's or b's, never a mix
        "dec": [fit_a.decode(codes), fit_b.decode(codes)],
    }


def test_shared_encoder_calls_succeed_or_conflict(cases):
    enc = Encoder()
    enc.encode(cases["a"])
    counts = {"ok": 0, **{m: 0 for m in ACCESS_ERRORS}}
    lock = threading.Lock()
    encodes = [("encode", "a", "enc_a"), ("encode", "b", "enc_b"),
               ("encode", "frame", "enc_frame")]
    # A float64 decode runs no Python code, so it cannot be interrupted; it only meets
    # encodes in progress. The object one interleaves with everything.
    decodes = [("decode", "codes_f", "dec"), ("decode", "codes_f", "dec"),
               ("decode", "codes", "dec")]

    def body(k):
        rng = random.Random(k)
        # odd threads mostly encode, even ones mostly decode
        ops = encodes * 2 + decodes if k % 2 else encodes + decodes * 2
        for _ in range(40):
            method, arg, want = rng.choice(ops)
            try:
                got = getattr(enc, method)(cases[arg])
            except RuntimeError as e:
                assert str(e) in ACCESS_ERRORS, str(e)
                with lock:
                    counts[str(e)] += 1
                continue
            wanted = cases[want]
            assert any(same(got, w) for w in wanted) if want == "dec" else same(got, wanted)
            with lock:
                counts["ok"] += 1

    run_threads(8, body)
    print("shared encoder:", counts)  # shown with -s
    assert counts["ok"] > 0
    assert counts["Already borrowed"] + counts["Already mutably borrowed"] > 0, counts
    # the stored fit is one whole fit of a successful encode
    assert any(same(enc.decode(cases["codes"]), w) for w in cases["dec"])


def test_own_encoders_never_conflict(cases):
    def body(k):
        enc = Encoder()
        for i in range(15):
            arg = ("a", "b", "frame")[(i + k) % 3]
            assert same(enc.encode(cases[arg]), cases["enc_" + arg])
            want = cases["dec"][1] if arg == "b" else cases["dec"][0]
            assert same(enc.decode(cases["codes"]), want)

    run_threads(6, body)


def run_script(script, timeout=120, **env):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(script)],
                          env=dict(os.environ, **env), capture_output=True, text=True,
                          timeout=timeout)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


def test_first_pool_use_from_many_threads():
    out = run_script(
        """
        import threading, time, numpy as np, vandra

        class Slow:
            def __init__(self, t): self.t = t
            def __str__(self):
                time.sleep(0)
                return self.t

        arr = np.array([[Slow(c)] for c in "qwertyqwerty"], dtype=object)
        want = [[1.0], [4.0], [0.0], [2.0], [3.0], [5.0]] * 2
        start = threading.Barrier(12)
        results = []

        def body():
            start.wait()
            results.append(vandra.Encoder().encode(arr).tolist() == want)

        threads = [threading.Thread(target=body) for _ in range(12)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(sum(results))
        """,
        RAYON_NUM_THREADS="4",
    )
    assert out.split() == ["12"]


FORK_SCRIPT = """
import os, sys, threading, time, warnings, numpy as np, vandra
warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running

arr = np.array([["b"], ["a"], ["b"]], dtype=object)
enc = vandra.Encoder()
assert enc.encode(arr).tolist() == [[1.0], [0.0], [1.0]]  # the pool exists from here on

# Another thread is inside an encode on `busy`, held up in a cell's __str__, when the
# process forks.
busy = vandra.Encoder()
inside, release = threading.Event(), threading.Event()

class Waits:
    def __str__(self):
        inside.set()
        release.wait()
        return "w"

worker = threading.Thread(target=busy.encode, args=(np.array([[Waits()]], dtype=object),))
worker.start()
inside.wait()

pid = os.fork()
if pid == 0:
    code = 1
    try:
        assert vandra.Encoder().encode(arr).tolist() == [[1.0], [0.0], [1.0]]
        assert enc.decode(np.array([[0.0], [1.0]])).tolist() == [["a"], ["b"]]
        try:
            busy.encode(arr)  # its encode never finishes in this process
        except RuntimeError as e:
            assert str(e) == "Already borrowed", e
        else:
            raise AssertionError("no access error")
        code = 0
    finally:
        os._exit(code)

release.set()
worker.join()
deadline = time.monotonic() + 60
while time.monotonic() < deadline:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        print("child", os.waitstatus_to_exitcode(status))
        break
    time.sleep(0.05)
else:
    os.kill(pid, 9)
    print("child hung")
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
@pytest.mark.parametrize("threads", ["1", "3"])
def test_fork_after_the_pool_exists(threads):
    # The child has none of the parent's pool threads; it must not wait for them.
    assert run_script(FORK_SCRIPT, RAYON_NUM_THREADS=threads).split() == ["child", "0"]

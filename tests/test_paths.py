"""The direct memory read of exact ndarrays must match item access cell for cell; thread
count must not change any result; repeated calls must not change reference counts."""

import gc
import os
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import examples
from vandra import Encoder


class ndarray(np.ndarray):
    """Same type name as numpy's, but not exact: always read through item access."""


def via_item_access(arr):
    return arr.view(ndarray)


def duck_frame(values, columns):
    return type("DataFrame", (), {"columns": columns, "shape": values.shape, "values": values})()


OBJECT_CELLS = [["a", 1.5, None], [2, "b", np.float32(2.5)], [True, "a", "<NA>"],
                [np.nan, "\u00e9", 10**30]]

DTYPES = [np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64,
          np.uint64, np.float16, np.float32, np.float64, np.longdouble,
          ">i4", ">f8", "datetime64[s]"]


def numeric_table(dtype):
    base = np.array([[0, 1, 2], [3, 250, 7], [1, 0, 100], [9, 8, 127]])
    if np.dtype(dtype).kind == "M":
        return base.astype("int64").astype(dtype)
    return base.astype(dtype)


LAYOUTS = {"C": lambda a: a, "F": np.asfortranarray, "T": lambda a: a.T,
           "reversed": lambda a: a[::-1, ::-1], "strided": lambda a: a[::2, ::2]}


def same(x, y):
    if isinstance(x, pd.DataFrame):
        return x.equals(y)
    return x.shape == y.shape and x.dtype == y.dtype and all(
        (a == b) or (a != a and b != b) for a, b in zip(x.ravel().tolist(), y.ravel().tolist())
    )


def run_both(arr):
    enc_a, enc_b = Encoder(), Encoder()
    try:
        direct = enc_a.encode(arr)
    except BaseException as e:  # noqa: B036
        with pytest.raises(type(e)):
            enc_b.encode(via_item_access(arr))
        return
    assert same(direct, enc_b.encode(via_item_access(arr)))
    assert same(enc_a.decode(arr), enc_b.decode(via_item_access(arr)))


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("dtype", DTYPES, ids=str)
def test_numeric_arrays_direct_equals_item_access(dtype, layout):
    arr = LAYOUTS[layout](numeric_table(dtype))
    if arr.dtype == np.float64:
        arr = arr.astype(object)  # float64 arrays take the block copy, not the cell path
    run_both(arr)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_object_arrays_direct_equals_item_access(layout):
    arr = np.empty((4, 3), dtype=object)
    for i, row in enumerate(OBJECT_CELLS):
        for j, v in enumerate(row[:3]):
            arr[i, j] = v
    run_both(LAYOUTS[layout](arr))
    run_both(np.empty((3, 2), dtype=object))  # empty slots read as None


@pytest.mark.parametrize("values", [np.array(OBJECT_CELLS, dtype=object)[:, :3],
                                    np.arange(12.0).reshape(4, 3),
                                    np.arange(12).reshape(4, 3).astype(np.int32)])
def test_frame_values_direct_equals_item_access(values):
    cols = ["a", "b", "c"]
    direct = Encoder().encode(duck_frame(values, cols))
    item = Encoder().encode(duck_frame(via_item_access(values), cols))
    assert direct.equals(item)


SCRIPT = textwrap.dedent(
    """
    import numpy as np, pandas as pd, pickle, sys, vandra
    rng = np.random.default_rng(7)
    cols = {f"t{k}": rng.integers(0, 10**k, 3000).astype(str) for k in range(1, 6)}
    cols["f"] = rng.random(3000)
    df = pd.DataFrame(cols)
    df.iloc[::17, 0] = None
    enc = vandra.Encoder()
    out = enc.encode(df)
    sys.stdout.buffer.write(pickle.dumps((out.values, enc.decode(out).values.tolist())))
    """
)


def test_results_do_not_depend_on_thread_count():
    results = []
    for n in ("1", "2", "5"):
        env = dict(os.environ, RAYON_NUM_THREADS=n)
        proc = subprocess.run([sys.executable, "-c", SCRIPT], env=env, capture_output=True,
                              check=True)
        import pickle

        results.append(pickle.loads(proc.stdout))
    for codes, labels in results[1:]:
        assert np.array_equal(codes, results[0][0], equal_nan=True)
        assert labels == results[0][1]


def test_repeated_calls_keep_reference_counts():
    cells = ["k" + str(i) for i in range(50)] + [3.5, None]
    arr = np.array(cells, dtype=object).reshape(-1, 2)
    df = pd.DataFrame(arr, columns=["a", "b"])
    enc = Encoder()
    for _ in range(3):
        enc.decode(enc.encode(df))
    gc.collect()
    before = [sys.getrefcount(c) for c in cells] + [sys.getrefcount(arr), sys.getrefcount(df)]
    for _ in range(200):
        enc.decode(enc.encode(df))
    blocks = sys.getallocatedblocks()
    for _ in range(500):
        enc.decode(enc.encode(arr))
    gc.collect()
    after = [sys.getrefcount(c) for c in cells] + [sys.getrefcount(arr), sys.getrefcount(df)]
    assert before == after
    # Arrays only: pandas itself keeps allocating a little over repeated frame operations.
    assert sys.getallocatedblocks() - blocks < 100


labels = st.one_of(st.text(max_size=6), st.sampled_from(["nan", "NaN", "<NA>", "", "a\0"]))


@settings(max_examples=examples(60), deadline=None)
@given(st.lists(st.lists(labels, min_size=3, max_size=3), min_size=1, max_size=30))
def test_round_trip_random_tables(rows):
    arr = np.array(rows, dtype=object)
    # cells become labels with surrogates replaced
    norm = [[c.encode("utf-8", "surrogatepass").decode("utf-8", "replace") for c in r]
            for r in rows]
    enc = Encoder()
    codes = enc.encode(arr)
    for j in range(3):
        col = [r[j] for r in norm]
        coded = sorted({c for c in col if c not in ("nan", "NaN", "<NA>")},
                       key=lambda s: s.encode())
        expect = [float(coded.index(c)) if c in coded else None for c in col]
        got = [None if np.isnan(v) else v for v in codes[:, j]]
        assert got == expect
    back = enc.decode(codes)
    for i, r in enumerate(norm):
        for j, c in enumerate(r):
            assert back[i, j] == ("NaN" if c in ("nan", "NaN", "<NA>") else c)


POOL_SCRIPT = textwrap.dedent(
    """
    import os, numpy as np, vandra
    threads = lambda: len(os.listdir("/proc/self/task"))
    start = threads()
    vandra.Encoder().encode(np.zeros((3, 3)))
    after_fast_path = threads()
    vandra.Encoder().encode(np.zeros((3, 0), dtype=object))
    print(start, after_fast_path, threads())
    """
)


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs Linux /proc")
def test_pool_starts_on_the_first_cell_path_conversion_only():
    env = dict(os.environ, RAYON_NUM_THREADS="3", OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    out = subprocess.run([sys.executable, "-c", POOL_SCRIPT], env=env, capture_output=True,
                         check=True, text=True).stdout.split()
    start, after_fast_path, after_cell_path = map(int, out)
    assert after_fast_path == start
    assert after_cell_path == start + 3

#!/usr/bin/env python3
"""Reference figures for bench_label_encode: the same columns encoded by pyarrow and pandas.

    python bench/arrow_reference.py [--rows 1000000] [--reps 5]

Needs numpy, pandas and pyarrow (e.g. .venv-bench from `make bench-install`). Builds the
columns of bench/bench_label_encode.cpp byte for byte (1,000,000 rows of 20-byte labels drawn
from 8, 1,000, 100,000 and 1,000,000 labels, and one of distinct labels) as Arrow string
arrays and times, on one thread, median of --reps:

- arrow: pyarrow.compute.dictionary_encode, a sort of the dictionary and a rank lookup, which
  gives the same float64 codes as vandra's label_encode;
- pandas: factorize(sort=True) of an Arrow-backed str Series;
- vandra, whole calls: `Encoder().encode` of the column as a 1-column object array of str,
  and as a 1-column frame of that Arrow-backed str Series.
"""

import argparse
import os
import time

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc

os.environ["RAYON_NUM_THREADS"] = "1"  # read when vandra's pool starts, on the first encode
import vandra

LABEL_BYTES = 20
ALPHABET = np.frombuffer(b"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz",
                         dtype=np.uint8)


def splitmix64(x: np.ndarray) -> np.ndarray:
    with np.errstate(over="ignore"):
        x = x + np.uint64(0x9E3779B97F4A7C15)
        x = (x ^ (x >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        x = (x ^ (x >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
        return x ^ (x >> np.uint64(31))


def column(rows: int, cardinality: int) -> pa.Array:
    """cardinality 0: every row its own label."""
    i = np.arange(rows, dtype=np.uint64)
    if cardinality == 0:
        d = i
    else:
        d = splitmix64(i ^ np.uint64(0x5DEECE66D)) % np.uint64(cardinality)
    k = np.arange(LABEL_BYTES, dtype=np.uint64)
    with np.errstate(over="ignore"):
        index = d[:, None] * np.uint64(LABEL_BYTES) + k[None, :]
    data = ALPHABET[splitmix64(index) % np.uint64(62)].reshape(-1)
    offsets = np.arange(0, (rows + 1) * LABEL_BYTES, LABEL_BYTES, dtype=np.int32)
    return pa.StringArray.from_buffers(rows, pa.py_buffer(offsets), pa.py_buffer(data.tobytes()))


def arrow_codes(arr: pa.Array) -> np.ndarray:
    enc = pc.dictionary_encode(arr)
    order = pc.sort_indices(enc.dictionary).to_numpy()
    rank = np.empty(len(order), dtype=np.float64)
    rank[order] = np.arange(len(order), dtype=np.float64)
    return pc.take(pa.array(rank), enc.indices).to_numpy()


def pandas_codes(series: pd.Series) -> np.ndarray:
    codes, _ = pd.factorize(series, sort=True)
    return codes.astype(np.float64)


def median_ms(reps: int, f) -> float:
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        f()
        times.append(time.perf_counter() - start)
    return sorted(times)[len(times) // 2] * 1e3


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--reps", type=int, default=5)
    args = ap.parse_args()
    pa.set_cpu_count(1)
    pa.set_io_thread_count(1)
    print(f"pyarrow {pa.__version__}, pandas {pd.__version__}, {args.rows:,} rows of "
          f"{LABEL_BYTES}-byte labels, 1 thread, median of {args.reps}\n")
    print("| distinct of cardinality | arrow ms | pandas ms | vandra, object array ms "
          "| vandra, str frame ms |\n|---:|---:|---:|---:|---:|")
    for card in (8, 1_000, 100_000, args.rows, 0):
        arr = column(args.rows, card)
        series = pd.Series(pd.array(arr, dtype=pd.StringDtype("pyarrow", na_value=np.nan)))
        want = arrow_codes(arr)
        assert np.array_equal(want, pandas_codes(series))
        cells = np.array(arr.to_pylist(), dtype=object).reshape(-1, 1)
        frame = pd.DataFrame({"c": series})
        assert np.array_equal(want, vandra.Encoder().encode(cells)[:, 0])
        assert np.array_equal(want, vandra.Encoder().encode(frame)["c"].to_numpy())
        distinct = int(want.max()) + 1
        name = f"all {distinct} distinct" if card == 0 else f"{distinct} of {card}"
        print(f"| {name} | {median_ms(args.reps, lambda: arrow_codes(arr)):.1f} | "
              f"{median_ms(args.reps, lambda: pandas_codes(series)):.1f} | "
              f"{median_ms(args.reps, lambda cells=cells: vandra.Encoder().encode(cells)):.1f} | "
              f"{median_ms(args.reps, lambda frame=frame: vandra.Encoder().encode(frame)):.1f} |",
              flush=True)
        del cells, frame


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Inputs that once fell off the fast paths, each against its natural peer in the same run:
arrays of every numeric dtype and layout (NumPy's astype), object columns whose cells need a
Python call (pandas' factorize), categoricals of every size (pandas' plain idiom), texts with
a long shared prefix, and decode of many distinct labels and of wide frames.
Best of several calls, one thread unless RAYON_NUM_THREADS says otherwise.

    python bench/inputs.py            # 1,000,000 rows
    python bench/inputs.py --quick    # 100,000 rows
    VANDRA_BENCH_NO_PYARROW=1 python bench/inputs.py   # pandas without pyarrow
"""

from __future__ import annotations

import argparse
import decimal
import os
import sys
import tempfile
import time
from pathlib import Path

if os.environ.get("VANDRA_BENCH_NO_PYARROW"):
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import compare  # noqa: F401 - blocks pyarrow before pandas is imported

import numpy as np
import pandas as pd

import vandra


def best(call, runs: int = 5) -> float:
    """The fastest call; each result is freed after its timing stops, as a user's result
    outlives the call (a decode's new strs would otherwise be timed being freed, where a
    peer's take of existing objects frees nothing)."""
    t = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        result = call()
        t = min(t, time.perf_counter() - start)
        del result
    return t


def plain_idiom(df: pd.DataFrame):
    """What a user writes: factorize each non-numeric column, take the numbers as floats."""
    def run():
        cols = {}
        for c in df.columns:
            if pd.api.types.is_numeric_dtype(df[c].dtype):
                cols[c] = df[c].to_numpy(np.float64)
            else:
                codes, _ = pd.factorize(df[c], sort=True)
                col = codes.astype(np.float64)
                col[codes < 0] = np.nan
                cols[c] = col
        return pd.DataFrame(cols)
    return run


def row(name: str, ours: float, peer: float, peer_name: str) -> None:
    print(f"| {name} | {ours * 1e3:.2f} | {peer_name} {peer * 1e3:.2f} | {ours / peer:.2f} |",
          flush=True)


def arrays(rows: int, folder: Path) -> None:
    rng = np.random.default_rng(1)
    for dtype in ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64",
                  "float16", "float32", "bool", ">i4", ">f8"]:
        base = (rng.standard_normal((rows, 8)) * 100).astype(dtype)
        np.save(folder / "a.npy", base)
        for layout, arr in [("C", base), ("F", np.asfortranarray(base)),
                            ("strided", np.repeat(base, 2, axis=1)[:, ::2]),
                            ("memmap", np.load(folder / "a.npy", mmap_mode="r"))]:
            enc = vandra.Encoder()
            row(f"{dtype} array, {layout}, {rows:,} x 8", best(lambda: enc.encode(arr)),
                best(lambda: arr.astype(np.float64)), "astype")


def object_columns(rows: int) -> None:
    rng = np.random.default_rng(2)
    words = np.array([f"w{i}" for i in range(1000)], dtype=object)
    decimals = np.array([decimal.Decimal(i) / 7 for i in range(1000)], dtype=object)
    nones = words[rng.integers(0, 1000, rows)]
    nones[rng.random(rows) < 0.9] = None
    nans = words[rng.integers(0, 1000, rows)]
    nans[1:][rng.random(rows - 1) < 0.9] = np.nan
    for name, col in [("Decimal, 1,000 distinct", decimals[rng.integers(0, 1000, rows)]),
                      ("90% None, the rest texts", nones),
                      ("90% NaN after its first text", nans)]:
        enc, arr = vandra.Encoder(), col.reshape(-1, 1)
        row(f"object column, {name}, {rows:,} rows", best(lambda: enc.encode(arr)),
            best(lambda: pd.factorize(col, sort=True)), "factorize")


def categoricals(rows: int) -> None:
    rng = np.random.default_rng(3)
    for n in [10, 1000, rows // 10]:
        for card in [16, n]:
            words = np.array([f"w{i:07d}" for i in rng.permutation(card)], dtype=object)
            frame = pd.DataFrame({"c": pd.Categorical(words[rng.integers(0, card, n)]),
                                  "f": rng.random(n), "i": rng.integers(0, 9, n)})
            enc = vandra.Encoder()
            row(f"category of {card:,} texts, {n:,} rows, beside float64 and int64",
                best(lambda: enc.encode(frame)), best(plain_idiom(frame)), "pandas")
    big = pd.Index(np.array([f"c{i:07d}" for i in range(rows)], dtype=object))
    for used in [rows, 1000]:
        codes = rng.permutation(rows) if used == rows else rng.integers(0, used, rows)
        frame = pd.DataFrame({"c": pd.Categorical.from_codes(codes, categories=big)})
        enc = vandra.Encoder()
        row(f"category of {rows:,} categories, {used:,} used", best(lambda: enc.encode(frame), 3),
            best(plain_idiom(frame), 3), "pandas")
    words = np.array(["a", "b", "c", "d"], dtype=object)
    for cols in [2000, 8000]:
        frame = pd.DataFrame({f"c{j}": pd.Categorical(words[rng.integers(0, 4, 100)])
                              for j in range(cols)})
        enc = vandra.Encoder()
        row(f"100 x {cols:,} categorical columns", best(lambda: enc.encode(frame), 3),
            best(plain_idiom(frame), 3), "pandas")


def texts_and_decodes(rows: int) -> None:
    rng = np.random.default_rng(4)
    n = rows // 10
    prefix = "p" * 2000
    shared = np.array([f"{prefix}{i:07d}" for i in rng.permutation(n)], dtype=object)
    enc = vandra.Encoder()
    row(f"{n:,} distinct 2 KB texts sharing a 2,000-byte prefix",
        best(lambda: enc.encode(shared.reshape(-1, 1)), 3),
        best(lambda: pd.factorize(shared, sort=True), 3), "factorize")

    n = 3 * rows
    frame = pd.DataFrame({"a": np.array([f"label{i:08d}" for i in rng.permutation(n)],
                                        dtype=object)})
    enc = vandra.Encoder()
    coded = enc.encode(frame)
    codes, uniques = pd.factorize(frame["a"], sort=True)
    row(f"decode of {n:,} distinct labels", best(lambda: enc.decode(coded), 3),
        best(lambda: uniques.take(codes), 3), "uniques.take")

    words = np.array([f"v{i}" for i in range(13)], dtype=object)
    for cols in [5000, 20000]:
        frame = pd.DataFrame({f"c{j}": words[rng.integers(0, 13, 100)] for j in range(cols)})
        enc = vandra.Encoder()
        coded = enc.encode(frame)
        fits = [pd.factorize(frame[c], sort=True) for c in frame.columns]

        def peer():
            out = coded.copy()
            for j, (c, u) in enumerate(fits):
                out.isetitem(j, u.take(c))
            return out
        row(f"decode of 100 x {cols:,} text columns", best(lambda: enc.decode(coded), 3),
            best(peer, 3), "isetitem of uniques.take")


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    rows = 100_000 if args.quick else 1_000_000
    try:
        import pyarrow  # noqa: F401 - only whether pandas has it
        arrow = "with pyarrow"
    except ImportError:
        arrow = "without pyarrow"
    print(f"vandra against its peers, ms, best of several; RAYON_NUM_THREADS="
          f"{os.environ.get('RAYON_NUM_THREADS', 'unset')}, pandas {pd.__version__}, {arrow}")
    print("| input | vandra | peer | ÷ |\n|---|---:|---:|---:|")
    with tempfile.TemporaryDirectory() as folder:
        arrays(rows, Path(folder))
    object_columns(rows)
    categoricals(rows)
    texts_and_decodes(rows)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())

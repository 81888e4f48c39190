#!/usr/bin/env python3
"""Every typed frame column kind at 10, 1,000 and 100,000 rows, each beside a float64 and an
int64 column, against pandas in the same run: encode against the plain idiom (factorize each
non-numeric column, to_numpy(float64) of each numeric one), decode against the factorized
uniques' take of each coded column, or, where nothing is decoded, against a copy of the frame.
Best of several calls; run it with RAYON_NUM_THREADS=1 to compare one thread with one thread.

    RAYON_NUM_THREADS=1 python bench/typed_sizes.py
    RAYON_NUM_THREADS=1 VANDRA_BENCH_NO_PYARROW=1 python bench/typed_sizes.py
    python bench/typed_sizes.py period category     # only the kinds whose names hold a word
"""

from __future__ import annotations

import os
import sys
import time
from pathlib import Path

if os.environ.get("VANDRA_BENCH_NO_PYARROW"):
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import compare  # noqa: F401 - blocks pyarrow before pandas is imported

import numpy as np
import pandas as pd

import vandra

try:
    import pyarrow as pa
except ImportError:
    pa = None

SIZES = [10, 1_000, 100_000]


def best(call, budget: float = 0.3, runs: int = 200) -> float:
    """Best of up to `runs` calls, fewer once `budget` seconds are spent (at least 3). Each
    result is freed after its timing stops: a user's result outlives the call."""
    t, spent, n = float("inf"), 0.0, 0
    while n < runs and (n < 3 or spent < budget):
        start = time.perf_counter()
        result = call()
        took = time.perf_counter() - start
        del result
        t, spent, n = min(t, took), spent + took, n + 1
    return t


def encode_peer(df: pd.DataFrame):
    def run():
        cols = {}
        for c in df.columns:
            if pd.api.types.is_numeric_dtype(df[c].dtype) and not isinstance(
                    df[c].dtype, pd.CategoricalDtype):
                cols[c] = df[c].to_numpy(np.float64, na_value=np.nan)
            else:
                codes, _ = pd.factorize(df[c], sort=True)
                col = codes.astype(np.float64)
                col[codes < 0] = np.nan
                cols[c] = col
        return pd.DataFrame(cols)
    return run


def decode_peer(df: pd.DataFrame, coded: pd.DataFrame, text: list[str]):
    uniques = {c: pd.factorize(df[c], sort=True)[1] for c in text}

    def run():
        out = coded.copy()
        for c in text:
            codes = coded[c].to_numpy()
            ok = ~np.isnan(codes)
            col = np.full(len(codes), None, dtype=object)
            # vandra labels NaT ("NaT") where factorize drops it: clip to stay in range.
            at = np.minimum(codes[ok].astype(np.intp), len(uniques[c]) - 1)
            col[ok] = np.asarray(uniques[c].take(at), dtype=object)
            out[c] = col
        return out
    return run


def kinds(rng: np.random.Generator):
    """(name, needs pyarrow, make(rows) -> the column under test)."""
    def words(card, rows):
        pool = np.array([f"w{i:07d}" for i in rng.permutation(card)], dtype=object)
        return pool[rng.integers(0, card, rows)]

    def gaps(values, dtype):
        s = pd.array(values, dtype=dtype)
        s[rng.random(len(s)) < 0.1] = pd.NA
        return s

    def stamps(rows):
        return pd.Timestamp("2021-01-01") + pd.to_timedelta(
            rng.integers(0, 3 * 365 * 86400, rows), unit="s")

    return [
        ("object text", False, lambda n: words(min(n, 1000), n)),
        ("str text", False, lambda n: pd.array(words(min(n, 1000), n), dtype="str")),
        ("category, 16 texts", False, lambda n: pd.Categorical(words(16, n))),
        ("category, all distinct", False,
         lambda n: pd.Categorical(np.array([f"c{i:07d}" for i in rng.permutation(n)],
                                           dtype=object))),
        ("datetime64[ns]", False, lambda n: stamps(n).to_numpy()),
        ("datetime tz", False, lambda n: stamps(n).tz_localize("America/New_York",
                                                              nonexistent="shift_forward",
                                                              ambiguous="NaT")),
        ("timedelta64[ns]", False,
         lambda n: pd.to_timedelta(rng.integers(0, 10**6, n), unit="s").to_numpy()),
        ("period[D]", False,
         lambda n: pd.period_range("2000-01-01", periods=4000, freq="D")[
             rng.integers(0, 4000, n)]),
        ("Int64 10% NA", False, lambda n: gaps(rng.integers(0, 1000, n), "Int64")),
        ("Float64 10% NA", False, lambda n: gaps(rng.random(n), "Float64")),
        ("boolean 10% NA", False, lambda n: gaps(rng.random(n) < 0.5, "boolean")),
        ("timestamp[us][pyarrow]", True,
         lambda n: pd.array(stamps(n).to_numpy().astype("datetime64[us]"),
                            dtype="timestamp[us][pyarrow]")),
        ("dictionary<string>[pyarrow]", True,
         lambda n: pd.array(pa.array(words(min(n, 1000), n).astype(str)).dictionary_encode(),
                            dtype=pd.ArrowDtype(pa.dictionary(pa.int32(), pa.string())))),
        ("int64[pyarrow] 10% NA", True,
         lambda n: pd.array(pa.array(rng.integers(0, 1000, n),
                                     mask=rng.random(n) < 0.1), dtype="int64[pyarrow]")),
    ]


def main() -> int:
    rng = np.random.default_rng(23)
    arrow = "with pyarrow" if pa is not None else "without pyarrow"
    print(f"typed columns beside float64 and int64, ms, best of several; RAYON_NUM_THREADS="
          f"{os.environ.get('RAYON_NUM_THREADS', 'unset')}, pandas {pd.__version__}, {arrow}")
    print("ratio = vandra ÷ pandas; decode's peer is the uniques' take, or a frame copy "
          "(marked *) where nothing is decoded")
    head = " | ".join(f"{n:,} enc | {n:,} dec" for n in SIZES)
    print(f"| column | {head} |\n|---|" + "---:|" * (2 * len(SIZES)))
    words = sys.argv[1:]
    for name, needs_arrow, make in kinds(rng):
        if (needs_arrow and pa is None) or (words and not any(w in name for w in words)):
            continue
        cells = []
        for n in SIZES:
            df = pd.DataFrame({"f": rng.standard_normal(n), "c": make(n),
                               "i": rng.integers(0, 100, n)})
            enc = vandra.Encoder()
            coded = enc.encode(df)
            ours = best(lambda: enc.encode(df))
            peer = best(encode_peer(df))
            back = enc.decode(coded)
            text = [c for c in df.columns if back[c].dtype == object]
            dec = best(lambda: enc.decode(coded))
            if text:
                dpeer, mark = best(decode_peer(df, coded, text)), ""
            else:
                dpeer, mark = best(lambda: coded.copy()), "*"
            cells += [f"{ours / peer:.2f}", f"{dec / dpeer:.2f}{mark}"]
        print(f"| {name} | " + " | ".join(cells) + " |", flush=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())

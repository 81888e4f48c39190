#!/usr/bin/env python3
"""Times vandra's encode/decode against pandas, scikit-learn, category_encoders and polars.

Every library gets the same tables and produces the same output: a float64 table whose text
columns hold codes in sorted label order (category_encoders: order of appearance) and NaN for
missing values. Each thread count runs in its own subprocess, since vandra's pool reads
RAYON_NUM_THREADS once, when it is created. The parent collects the timings, checks that the
libraries produced the same codes, and writes bench/results/compare.md and compare.png.

    python bench/compare.py                      # 100,000 and 1,000,000 rows; 1 and 2 threads
    python bench/compare.py --quick              # short smoke run
    python bench/compare.py --rows 10000000      # chosen sizes (comma-separated)
    python bench/compare.py --profile            # where encode's time goes: profile.md
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import hashlib
import importlib.metadata
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
import warnings
from collections import Counter, defaultdict
from pathlib import Path

if os.environ.get("VANDRA_BENCH_NO_PYARROW"):
    # The run without pyarrow: pandas then falls back to its python-backed str storage.
    import importlib.abc

    class _NoPyarrow(importlib.abc.MetaPathFinder):
        def find_spec(self, name, path=None, target=None):
            if name == "pyarrow" or name.startswith("pyarrow."):
                raise ImportError("pyarrow is blocked for this run")
            return None

    sys.meta_path.insert(0, _NoPyarrow())

import numpy as np
import pandas as pd

import vandra

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
RESULTS = HERE / "results"

FLOAT_COLS = ["f0", "f1", "f2", "f3"]  # f1 holds NaN
TEXT_SPECS = [("t8", 8), ("t1k", 1_000), ("t100k", 100_000), ("tall", None)]  # None: ~all distinct
TEXT_COLS = [name for name, _ in TEXT_SPECS]
FRAME_COLS = ["f0", "t8", "f1", "t1k", "f2", "t100k", "f3", "tall"]
MISSING_RATE = 0.01
CITIES = ["Zürich", "São Paulo", "Tokyo", "東京", "Lagos", "Ōsaka", "Berlin", "Montréal"]

# Libraries that run on one thread whatever the settings: timed in the first thread count's
# process only (unless --peers-each-run); the other tables reuse those times.
SINGLE_THREADED = {"pandas", "pandas (C-ordered)", "scikit-learn", "category_encoders",
                   "numpy astype"}
# Too slow for the time budget at this size and above (unless --all-peers).
SLOW_PEERS = {"scikit-learn", "category_encoders"}
SLOW_PEER_ROWS = 5_000_000

LIB_ORDER = ["vandra", "pandas", "pandas (C-ordered)", "scikit-learn", "category_encoders",
             "polars", "numpy astype", "numpy.copy (floor)"]


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


# --------------------------------------------------------------------------------------------
# Data

def string_variants() -> list[tuple[str, object]]:
    """(name, dtype) for workload 1's text columns: pandas' default str dtype, the other str
    storage where available, and object."""
    default = pd.Series(["a"]).dtype
    out = []
    if isinstance(default, pd.StringDtype):
        out.append((f"str ({default.storage}, default)", default))
        for storage in ("pyarrow", "python"):
            if storage == default.storage:
                continue
            try:
                dtype = pd.StringDtype(storage, na_value=np.nan)
                pd.Series(["a"], dtype=dtype)
            except ImportError:
                continue
            out.append((f"str ({storage})", dtype))
    out.append(("object", object))
    return out


def label_pool(card: int, tag: str) -> list[str]:
    if card <= len(CITIES):
        return CITIES[:card]
    # Multiplying by an odd constant modulo 2**32 is a bijection: distinct, unordered labels of
    # varying length.
    return [f"{tag}-{(i * 2654435761) % 2**32:x}" for i in range(card)]


def text_column(card: int | None, n: int, rng: np.random.Generator, tag: str) -> np.ndarray:
    """Object array of str with MISSING_RATE float NaN cells."""
    if card is None:
        col = np.array([f"{tag}-{x:x}" for x in rng.integers(0, 2**62, n)], dtype=object)
    else:
        pool = np.array(label_pool(card, tag), dtype=object)
        col = pool[rng.integers(0, card, n)]
    col[rng.random(n) < MISSING_RATE] = np.nan
    return col


def mixed_object_frame(n: int, seed: int = 1) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    cols = {}
    for name in FLOAT_COLS:
        cols[name] = rng.standard_normal(n)
    cols["f1"][rng.random(n) < MISSING_RATE] = np.nan
    for name, card in TEXT_SPECS:
        cols[name] = pd.Series(text_column(card, n, rng, name), dtype=object, copy=False)
    return pd.DataFrame({c: cols[c] for c in FRAME_COLS})


def text_columns(df: pd.DataFrame) -> list:
    """The columns every library encodes: those of a non-numeric dtype."""
    return [c for c in df.columns if not pd.api.types.is_numeric_dtype(df[c].dtype)]


FLIGHT_TEXT = ["carrier", "origin", "dest", "tailnum", "time_hour"]


def flight_log_csv(n: int) -> Path:
    """A flight log like those users read with read_csv: 19 columns, 14 numeric (int64, and
    float64 with 2% missing) and 5 short texts of about 3, 16, 105, 4,000 and 7,000 labels.
    Written once per size to the temporary folder."""
    path = Path(tempfile.gettempdir()) / f"vandra-bench-flights-{n}-v1.csv"
    if path.exists():
        return path
    rng = np.random.default_rng(5)

    def with_missing(values):
        values = values.astype(float)
        values[rng.random(n) < 0.02] = np.nan
        return values

    def labels(pool):
        return np.array(pool)[rng.integers(0, len(pool), n)]

    hours = [f"2024-{1 + k // 600:02d}-{1 + (k // 24) % 25:02d} {k % 24:02d}:00:00"
             for k in range(7000)]
    df = pd.DataFrame({
        "year": np.full(n, 2024), "month": rng.integers(1, 13, n), "day": rng.integers(1, 29, n),
        "carrier": labels(["AA", "DL", "UA"]),
        "dep_time": with_missing(rng.integers(0, 2400, n)),
        "sched_dep_time": rng.integers(0, 2400, n),
        "dep_delay": with_missing(rng.normal(10, 30, n).round()),
        "origin": labels([f"O{k:02d}" for k in range(16)]),
        "arr_time": with_missing(rng.integers(0, 2400, n)),
        "sched_arr_time": rng.integers(0, 2400, n),
        "arr_delay": with_missing(rng.normal(5, 35, n).round()),
        "dest": labels([f"D{k:03d}" for k in range(105)]),
        "flight": rng.integers(1, 8000, n),
        "tailnum": labels([f"N{k:04d}X" for k in range(4000)]),
        "air_time": with_missing(rng.integers(20, 600, n)),
        "distance": rng.integers(80, 5000, n),
        "hour": rng.integers(0, 24, n), "minute": rng.integers(0, 60, n),
        "time_hour": labels(hours),
    })
    tmp = path.with_suffix(".part")
    df.to_csv(tmp, index=False)
    tmp.rename(path)
    return path


def flight_log(n: int, text_as_object: bool) -> pd.DataFrame:
    path = flight_log_csv(n)
    if text_as_object:
        return pd.read_csv(path, dtype={c: object for c in FLIGHT_TEXT})
    return pd.read_csv(path)


def small_frame(seed: int = 6) -> pd.DataFrame:
    """30 x 3: a float, a text and an int column, for the fixed cost of a call."""
    rng = np.random.default_rng(seed)
    return pd.DataFrame({"x": rng.random(30), "s": rng.choice(["a", "b", "c"], 30),
                         "k": rng.integers(0, 9, 30)})


def wide_frame(seed: int = 7) -> pd.DataFrame:
    """100 rows x 10,000 float64 columns: the per-column cost."""
    rng = np.random.default_rng(seed)
    return pd.DataFrame(rng.random((100, 10_000)), columns=[f"c{j}" for j in range(10_000)])


def with_text_dtype(base: pd.DataFrame, dtype) -> pd.DataFrame:
    if dtype is object:
        return base
    return base.astype({c: dtype for c in TEXT_COLS})


def object_array(n: int, seed: int = 2) -> np.ndarray:
    """n x 8 object array of str: the four cardinalities twice, 1% NaN cells."""
    rng = np.random.default_rng(seed)
    arr = np.empty((n, 8), dtype=object)
    for j in range(8):
        name, card = TEXT_SPECS[j % 4]
        arr[:, j] = text_column(card, n, rng, f"{name}{j // 4}")
    return arr


def float_array(n: int, seed: int = 3) -> np.ndarray:
    rng = np.random.default_rng(seed)
    arr = rng.standard_normal((n, 8))
    arr[rng.random(n) < MISSING_RATE, 1] = np.nan
    return arr


def int_array(n: int, seed: int = 4) -> np.ndarray:
    return np.random.default_rng(seed).integers(-10**6, 10**6, (n, 8), dtype=np.int64)


# --------------------------------------------------------------------------------------------
# The contenders. Each maker does its untimed preparation and returns the callable to time.

def frame_result(out: np.ndarray, columns) -> pd.DataFrame:
    # The same construction vandra's frame output uses.
    return pd.DataFrame(out, columns=list(columns))


def vandra_encode(obj, keep: dict | None = None):
    enc = vandra.Encoder()
    if keep is not None:
        keep["enc"] = enc
    return lambda: enc.encode(obj)


def factorized(col, keep: dict, name) -> np.ndarray:
    """A column's codes in sorted label order as float64, NaN for missing cells."""
    codes, keep[name] = pd.factorize(col, sort=True)
    return np.where(codes < 0, np.nan, codes)


def pandas_encode_frame(df: pd.DataFrame, keep: dict):
    """The plain idiom: each text column factorized, the numbers taken as floats, a frame
    built from the dict of columns (each column contiguous, as pandas keeps them)."""
    text = set(text_columns(df))

    def run():
        return pd.DataFrame({c: factorized(df[c], keep, c) if c in text
                             else df[c].to_numpy(np.float64) for c in df.columns})
    return run


def pandas_encode_array(arr: np.ndarray, keep: dict):
    """Each column factorized into a Fortran-ordered result: every column written
    contiguously."""
    def run():
        out = np.empty(arr.shape, dtype=np.float64, order="F")
        for j in range(arr.shape[1]):
            out[:, j] = factorized(arr[:, j], keep, j)
        return out
    return run


def pandas_c_encode_frame(df: pd.DataFrame, keep: dict):
    """As above, but every column written into one C-ordered array, wrapped as vandra wraps
    its own result."""
    text = set(text_columns(df))

    def run():
        out = np.empty(df.shape, dtype=np.float64)
        for j, c in enumerate(df.columns):
            if c in text:
                codes, keep[c] = pd.factorize(df[c], sort=True)
                out[:, j] = codes
                out[codes < 0, j] = np.nan
            else:
                out[:, j] = df[c].to_numpy()
        return frame_result(out, df.columns)
    return run


def pandas_c_encode_array(arr: np.ndarray, keep: dict):
    def run():
        out = np.empty(arr.shape, dtype=np.float64)
        for j in range(arr.shape[1]):
            codes, keep[j] = pd.factorize(arr[:, j], sort=True)
            out[:, j] = codes
            out[codes < 0, j] = np.nan
        return out
    return run


def sklearn_encode_frame(df: pd.DataFrame, keep: dict):
    from sklearn.preprocessing import OrdinalEncoder
    enc = keep["enc"] = OrdinalEncoder(encoded_missing_value=np.nan)
    text = keep["text"] = text_columns(df)
    numbers = [c for c in df.columns if c not in text]
    t_idx = [df.columns.get_loc(c) for c in text]
    f_idx = [df.columns.get_loc(c) for c in numbers]

    def run():
        codes = enc.fit_transform(df[text])
        out = np.empty(df.shape, dtype=np.float64)
        out[:, f_idx] = df[numbers].to_numpy(np.float64)
        out[:, t_idx] = codes
        return frame_result(out, df.columns)
    return run


def sklearn_encode_array(arr: np.ndarray, keep: dict):
    from sklearn.preprocessing import OrdinalEncoder
    enc = keep["enc"] = OrdinalEncoder(encoded_missing_value=np.nan)
    return lambda: enc.fit_transform(arr)


def ce_encode_frame(df: pd.DataFrame, keep: dict):
    import category_encoders as ce
    enc = keep["enc"] = ce.OrdinalEncoder(cols=text_columns(df), handle_missing="return_nan",
                                          handle_unknown="value")

    def run():
        keep["encoded"] = enc.fit_transform(df)
        return frame_result(keep["encoded"].to_numpy(dtype=np.float64), df.columns)
    return run


def ce_encode_array(arr: np.ndarray, keep: dict):
    import category_encoders as ce
    enc = keep["enc"] = ce.OrdinalEncoder(handle_missing="return_nan", handle_unknown="value")
    return lambda: enc.fit_transform(pd.DataFrame(arr, dtype=object)).to_numpy(dtype=np.float64)


def polars_codes(df: pd.DataFrame, text: list[str], keep: dict) -> np.ndarray:
    """Codes through an Enum whose categories are the sorted distinct labels."""
    import polars as pl
    p = pl.from_pandas(df)
    cats = {c: p.get_column(c).drop_nulls().unique().sort() for c in text}
    exprs = [pl.col(c).cast(pl.Enum(cats[c])).to_physical().cast(pl.Float64) if c in cats
             else pl.col(c) for c in p.columns]
    keep["cats"] = cats
    return p.select(exprs).to_numpy()


def polars_encode_frame(df: pd.DataFrame, keep: dict):
    return lambda: frame_result(polars_codes(df, text_columns(df), keep), df.columns)


def polars_encode_array(arr: np.ndarray, keep: dict):
    names = [f"c{j}" for j in range(arr.shape[1])]
    return lambda: polars_codes(pd.DataFrame(arr, columns=names, dtype=object), names, keep)


def floor_copy(result: np.ndarray):
    return lambda: np.copy(result)


# Decoders: each gets its own encoder's output and fitted state from workload 1 (codes are the
# same as vandra's for all but category_encoders) and rebuilds a frame of the float columns and
# object text columns.

def decoded_frame(codes: pd.DataFrame, labels: dict) -> pd.DataFrame:
    return pd.DataFrame({c: pd.Series(labels[c], dtype=object, copy=False) if c in labels
                         else codes[c] for c in codes.columns})


def vandra_decode(codes: pd.DataFrame, keep: dict):
    enc = keep["enc"]
    return lambda: enc.decode(codes)


def pandas_decode(codes: pd.DataFrame, keep: dict):
    def run():
        labels = {}
        for c, uniques in keep.items():
            x = codes[c].to_numpy()
            idx = np.where(np.isnan(x), -1, x).astype(np.intp)
            labels[c] = uniques.take(idx, allow_fill=True, fill_value=np.nan).to_numpy(object)
        return decoded_frame(codes, labels)
    return run


def sklearn_decode(codes: pd.DataFrame, keep: dict):
    enc = keep["enc"]

    def run():
        # A writable copy: inverse_transform writes into its input's columns and pandas
        # hands out read-only views.
        back = enc.inverse_transform(codes[keep["text"]].to_numpy(copy=True))
        return decoded_frame(codes, {c: back[:, k] for k, c in enumerate(keep["text"])})
    return run


def ce_decode(codes: pd.DataFrame, keep: dict):
    enc, encoded = keep["enc"], keep["encoded"]
    return lambda: enc.inverse_transform(encoded)


def polars_decode(codes: pd.DataFrame, keep: dict):
    import polars as pl

    def run():
        labels = {}
        for c, cats in keep["cats"].items():
            idx = pl.Series(codes[c].to_numpy(), nan_to_null=True).cast(pl.UInt32)
            labels[c] = cats.gather(idx).to_numpy()
        return decoded_frame(codes, labels)
    return run


ENCODERS = {"vandra": (vandra_encode, vandra_encode),
            "pandas": (pandas_encode_frame, pandas_encode_array),
            "pandas (C-ordered)": (pandas_c_encode_frame, pandas_c_encode_array),
            "scikit-learn": (sklearn_encode_frame, sklearn_encode_array),
            "category_encoders": (ce_encode_frame, ce_encode_array),
            "polars": (polars_encode_frame, polars_encode_array)}
DECODERS = {"vandra": vandra_decode, "pandas": pandas_decode, "scikit-learn": sklearn_decode,
            "category_encoders": ce_decode, "polars": polars_decode}


# --------------------------------------------------------------------------------------------
# Measuring

def measure(make_run, reps: int, min_total: float = 0.0, max_reps: int = 30):
    """Times `reps` calls (more, up to max_reps, while they add up to less than min_total
    seconds), each with a fresh preparation; returns (seconds, last result). Preparation and
    freeing of results happen outside the timed region."""
    times, result = [], None
    while len(times) < reps or (sum(times) < min_total and len(times) < max_reps):
        run = make_run()
        if not times or times[-1] > 0.05:  # a collection costs more than short calls
            gc.collect()
        t0 = time.perf_counter()
        r = run()
        t1 = time.perf_counter()
        times.append(t1 - t0)
        result = r
        del run, r
    return times, result


def touch_memory(mib: int = 2048) -> None:
    """Writes to `mib` MiB once and frees them. On a virtual machine whose memory the host
    backs on first touch, the first write to a page costs ten times a later one: without
    this, whichever call first needs fresh pages pays for the machine, not for its work."""
    blocks = [np.ones(32 * 2**20) for _ in range(mib // 256)]
    del blocks


def rss_kib(field: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def release_free_heap() -> None:
    """Gives the allocator's free pages back to the system (glibc), so that the peak counts
    every page a call needs, whether or not an earlier call left free memory behind."""
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass


def peak_growth(make_run) -> float | None:
    """MiB by which one call raises the process's resident memory at its peak (the kernel's
    high-water mark, reset just before the call); None where Linux can't reset it."""
    run = make_run()
    gc.collect()
    release_free_heap()
    try:
        Path("/proc/self/clear_refs").write_text("5")
    except OSError:
        return None
    before = rss_kib("VmRSS")
    result = run()
    peak = rss_kib("VmHWM")
    del result, run
    return (peak - before) / 1024


def as_float_array(result) -> np.ndarray:
    if isinstance(result, pd.DataFrame):
        return result.to_numpy(dtype=np.float64)
    return np.asarray(result, dtype=np.float64)


def digest(result) -> str | None:
    """Content hash of a float64 result; None for decoded tables, which every process checks
    against the input instead."""
    if isinstance(result, pd.DataFrame) and (result.dtypes == "object").any():
        return None
    a = as_float_array(result)
    return hashlib.blake2b(np.where(np.isnan(a), np.nan, a).tobytes(), digest_size=12).hexdigest()


def compare_codes(ref: np.ndarray, got: np.ndarray, names) -> dict:
    """Cell-by-cell comparison per column (NaN equals NaN)."""
    out = {}
    for j, name in enumerate(names):
        a, b = ref[:, j], got[:, j]
        same = (a == b) | (np.isnan(a) & np.isnan(b))
        bad = np.flatnonzero(~same)
        out[name] = "same" if bad.size == 0 else (
            f"{bad.size} cells differ (row {bad[0]}: vandra {a[bad[0]]}, peer {b[bad[0]]})")
    return out


def compare_relabelled(ref: np.ndarray, got: np.ndarray, names) -> dict:
    """Whether `got` is `ref` under a one-to-one renaming of codes, NaN in the same cells."""
    out = {}
    for j, name in enumerate(names):
        a, b = ref[:, j], got[:, j]
        if not np.array_equal(np.isnan(a), np.isnan(b)):
            out[name] = f"missing cells differ in {int(np.sum(np.isnan(a) != np.isnan(b)))} rows"
            continue
        keep = ~np.isnan(a)
        pairs = pd.DataFrame({"a": a[keep], "b": b[keep]}).drop_duplicates()
        one_to_one = pairs["a"].is_unique and pairs["b"].is_unique
        out[name] = "same up to code order" if one_to_one else "not a renaming of vandra's codes"
    return out


def compare_round_trip(original: pd.DataFrame, decoded: pd.DataFrame) -> dict:
    """Labels back in every text cell, missing where the input was, floats unchanged."""
    out = {}
    text = set(text_columns(original))
    for c in original.columns:
        a, b = original[c], decoded[c]
        if c not in text:
            ok = np.array_equal(a.to_numpy(np.float64), b.to_numpy(np.float64), equal_nan=True)
            out[c] = "same" if ok else "floats differ"
            continue
        ma, mb = a.isna().to_numpy(), b.isna().to_numpy()
        av, bv = a.to_numpy(object), b.to_numpy(object)
        bad = int(np.sum(ma != mb)) + int(np.sum(av[~ma & ~mb] != bv[~ma & ~mb]))
        out[c] = "same" if bad == 0 else f"{bad} cells differ"
    return out


class Worker:
    """Runs every workload at the given sizes in this process (one thread count)."""

    def __init__(self, args, threads: int, first: bool):
        self.args, self.threads, self.first = args, threads, first
        self.records: list[dict] = []
        self.checks: list[dict] = []
        self.memory: list[dict] = []
        self.no_pyarrow = bool(os.environ.get("VANDRA_BENCH_NO_PYARROW"))
        self.suffix = " (no pyarrow)" if self.no_pyarrow else ""

    def wants(self, lib: str, rows: int, variant: str = "") -> bool:
        if self.no_pyarrow and lib not in ("vandra", "pandas"):
            return False  # the run without pyarrow compares with pandas alone
        if lib in SINGLE_THREADED and not (self.first or self.args.peers_each_run):
            return False
        if lib in SLOW_PEERS and not self.args.all_peers and (
                rows >= SLOW_PEER_ROWS or (rows >= 1_000_000 and variant not in (
                    "object", next(v for v, _ in string_variants() if "default" in v)))):
            return False
        return True

    def reps(self, rows: int) -> int:
        if self.args.reps:
            return self.args.reps
        return 7 if rows <= 200_000 else 3

    def time_case(self, workload: str, rows: int, lib: str, make_run):
        workload += self.suffix
        reps = self.reps(rows)
        started = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            times, result = measure(make_run, reps, min_total=self.args.min_time)
        med = float(np.median(times))
        self.records.append({"workload": workload, "rows": rows, "library": lib,
                             "threads": self.threads, "times": times,
                             "digest": digest(result) if lib == "vandra" else None})
        log(f"  [{self.threads} thr] {rows:>10,} {workload:<37} {lib:<18} {med:8.3f} s "
            f"({len(times)}x, {time.perf_counter() - started - sum(times):.1f} s untimed)")
        return result

    def memory_case(self, workload: str, rows: int, lib: str, make_run):
        mib = peak_growth(make_run)
        if mib is not None:
            self.memory.append({"workload": workload + self.suffix, "rows": rows,
                                "library": lib, "threads": self.threads, "mib": mib})

    def check(self, workload: str, rows: int, lib: str, detail: dict):
        workload += self.suffix
        self.checks.append({"workload": workload, "rows": rows, "library": lib,
                            "threads": self.threads, "columns": detail})

    def encode_cases(self, workload, rows, obj, frame: bool, variant: str = "") -> dict:
        """vandra and the peers on one input, agreement checked against vandra's codes.
        Returns {library: (last result, its fitted state)} for the frame decoders."""
        names = list(obj.columns) if frame else [f"c{j}" for j in range(obj.shape[1])]
        touch_memory()
        fitted, ref = {}, None
        for lib, (on_frame, on_array) in ENCODERS.items():
            if lib != "vandra" and not self.wants(lib, rows, variant):
                continue
            holder: dict = {}

            def make(maker=on_frame if frame else on_array, holder=holder):
                holder["keep"] = {}
                return maker(obj, holder["keep"])
            result = self.time_case(workload, rows, lib, make)
            fitted[lib] = (result, holder.get("keep"))
            got = as_float_array(result)
            if lib == "vandra":
                ref = got
            elif lib == "category_encoders":
                self.check(workload, rows, lib, compare_relabelled(ref, got, names))
            else:
                self.check(workload, rows, lib, compare_codes(ref, got, names))
        self.time_case(workload, rows, "numpy.copy (floor)", lambda: floor_copy(ref))
        return fitted

    def decode_cases(self, workload, rows, df, fitted: dict):
        decoded = None
        touch_memory()
        for lib, (codes, keep) in fitted.items():
            if lib not in DECODERS:  # an encoder variant whose decoder is another's
                continue
            back = self.time_case(workload, rows, lib,
                                  lambda: DECODERS[lib](codes, keep))
            self.check(workload, rows, lib, compare_round_trip(df, back))
            if lib == "vandra":
                decoded = back.to_numpy(dtype=object)
        self.time_case(workload, rows, "numpy.copy (floor)", lambda: floor_copy(decoded))

    def mixed_frame_cases(self, rows: int):
        """Workload 1 (encode) and 5 (decode), the text columns in every str storage."""
        base = mixed_object_frame(rows)
        for variant, dtype in string_variants():
            df = with_text_dtype(base, dtype)
            fitted = self.encode_cases(f"1 mixed frame, {variant}", rows, df, frame=True,
                                       variant=variant)
            self.decode_cases(f"5 decode of 1, {variant}", rows, df, fitted)
            del df, fitted

    def flight_cases(self, rows: int):
        """Workload 6 (encode) and 7 (decode) on the flight log, with peak memory."""
        for variant, as_object in (("default dtypes", False), ("text as object", True)):
            df = flight_log(rows, as_object)
            variant = f"{variant}: {df[FLIGHT_TEXT[0]].dtype}"
            fitted = self.encode_cases(f"6 flight log, {variant}", rows, df, frame=True,
                                       variant="object" if as_object else variant)
            self.decode_cases(f"7 decode of 6, {variant}", rows, df, fitted)
            for lib in ("vandra", "pandas"):
                if lib not in fitted:  # a single-threaded peer, measured in the first run
                    continue
                holder: dict = {}

                def make(lib=lib, holder=holder, df=df):
                    holder["keep"] = {}
                    return ENCODERS[lib][0](df, holder["keep"])
                self.memory_case(f"6 flight log, {variant}", rows, lib, make)
                codes, keep = fitted[lib]
                self.memory_case(f"7 decode of 6, {variant}", rows, lib,
                                 lambda lib=lib, codes=codes, keep=keep:
                                 DECODERS[lib](codes, keep))
            del df, fitted

    def fixed_cost_cases(self):
        """Workload 8: a 30 x 3 frame (the fixed cost of a call); 9: 100 x 10,000 floats."""
        df = small_frame()
        fitted = self.encode_cases("8 frame 30 x 3", 30, df, frame=True, variant="object")
        self.decode_cases("8 decode of 8", 30, df,
                          {lib: fitted[lib] for lib in ("vandra", "pandas") if lib in fitted})
        wide = wide_frame()
        self.time_case("9 frame 100 x 10,000 float64", 100, "vandra", lambda: vandra_encode(wide))
        self.time_case("9 frame 100 x 10,000 float64", 100, "pandas",
                       lambda: (lambda: frame_result(wide.to_numpy(), wide.columns)))

    def run(self):
        started = time.perf_counter()
        before = len(os.listdir("/proc/self/task"))
        vandra.Encoder().encode(mixed_object_frame(50))
        pool_threads = len(os.listdir("/proc/self/task")) - before
        warm_up(("vandra", "pandas") if self.no_pyarrow else None)
        if self.no_pyarrow:
            return self.run_without_pyarrow(started, pool_threads)
        for rows in self.args.rows:
            log(f"{rows:,} rows, {self.threads} thread(s): generating data")
            self.mixed_frame_cases(rows)
            arr = float_array(rows)
            self.time_case("2 float64 array", rows, "vandra", lambda arr=arr: vandra_encode(arr))
            self.time_case("2 float64 array", rows, "numpy.copy (floor)",
                           lambda arr=arr: floor_copy(arr))
            arr = object_array(rows)
            self.encode_cases("3 object array of str", rows, arr, frame=False, variant="array")
            arr = int_array(rows)
            ref = self.time_case("4 int64 array", rows, "vandra",
                                 lambda arr=arr: vandra_encode(arr))
            if self.wants("numpy astype", rows):
                got = self.time_case("4 int64 array", rows, "numpy astype",
                                     lambda arr=arr: (lambda: arr.astype(np.float64)))
                self.check("4 int64 array", rows, "numpy astype",
                           compare_codes(ref, got, [f"c{j}" for j in range(8)]))
            self.time_case("4 int64 array", rows, "numpy.copy (floor)", lambda: floor_copy(ref))
            del arr
            self.flight_cases(rows)
        self.fixed_cost_cases()
        return self.result(started, pool_threads, missing_semantics() if self.first else None)

    def run_without_pyarrow(self, started, pool_threads):
        """The frame workloads at the largest size, against pandas, with pyarrow blocked."""
        rows = max(self.args.rows)
        self.mixed_frame_cases(rows)
        self.flight_cases(rows)
        self.fixed_cost_cases()
        return self.result(started, pool_threads, None)

    def result(self, started, pool_threads, semantics):
        return {"threads": self.threads, "records": self.records, "checks": self.checks,
                "memory": self.memory, "semantics": semantics, "no_pyarrow": self.no_pyarrow,
                "pool_threads": pool_threads, "elapsed": time.perf_counter() - started}


def warm_up(libs=None):
    """Creates vandra's pool and loads the peers' lazily imported parts on a tiny table."""
    df = mixed_object_frame(200)
    arr = object_array(200)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for lib, (on_frame, on_array) in ENCODERS.items():
            if libs is not None and lib not in libs:
                continue
            keep: dict = {}
            codes = on_frame(df, keep)()
            if lib in DECODERS:
                DECODERS[lib](codes, keep)()
            on_array(arr, {})()


def missing_semantics() -> list[dict]:
    """What each library makes of each missing-value marker, per text dtype: the marker goes
    into a column with two labels, and its cell comes out as missing, a label, or an error."""
    import polars as pl  # noqa: F401 - imported here so that a failure shows up early
    from sklearn.preprocessing import OrdinalEncoder
    markers = [None, np.nan, pd.NA, "None", "nan", "NaN", "<NA>"]
    coders = {
        "vandra": lambda df: vandra.Encoder().encode(df)["s"].to_numpy(),
        "pandas": lambda df: np.where((c := pd.factorize(df["s"], sort=True)[0]) < 0, np.nan, c),
        "scikit-learn": lambda df: OrdinalEncoder(
            encoded_missing_value=np.nan).fit_transform(df[["s"]])[:, 0],
        "polars": lambda df: polars_codes(df, ["s"], {})[:, 1],
    }
    rows = []
    variants = string_variants() + [("string (pandas.NA)", pd.StringDtype())]
    for variant, dtype in variants:
        for marker in markers:
            s = pd.Series(["b", "a", marker], dtype=dtype)
            df = pd.DataFrame({"x": [0.0, 1.0, 2.0], "s": s})
            row = {"variant": variant, "given": repr(marker), "stored": repr(s.iloc[2]),
                   "values": repr(df.values[2, 1])}
            for lib, code in coders.items():
                try:
                    with warnings.catch_warnings():
                        warnings.simplefilter("ignore")
                        v = code(df)[2]
                    row[lib] = "missing" if np.isnan(v) else "label"
                except Exception as e:  # the table shows what the library does
                    row[lib] = f"{type(e).__name__}"
            rows.append(row)
    return rows


# --------------------------------------------------------------------------------------------
# Reporting

def versions() -> dict:
    out = {"python": platform.python_version()}
    for dist in ("vandra", "numpy", "pandas", "pyarrow", "polars", "scikit-learn",
                 "category_encoders", "matplotlib"):
        try:
            out[dist] = importlib.metadata.version(dist)
        except importlib.metadata.PackageNotFoundError:
            out[dist] = "not installed"
    try:
        head = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(REPO), "status", "--porcelain", "--", "src"],
                               capture_output=True, text=True, check=True).stdout.strip()
        out["vandra"] += f" (commit {head}{', with uncommitted changes in src/' if dirty else ''})"
    except (OSError, subprocess.CalledProcessError):
        pass
    return out


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def fmt_s(t: float) -> str:
    if t < 0.001:
        return f"{t * 1e6:.0f} µs"
    return f"{t * 1000:.1f} ms" if t < 1 else f"{t:.2f} s"


def summarize(runs: list[dict]):
    """{(workload, rows, library): {threads: (median, min, max, measured_in)}}"""
    table: dict = defaultdict(dict)
    for run in runs:
        for r in run["records"]:
            t = r["times"]
            table[(r["workload"], r["rows"], r["library"])][r["threads"]] = (
                float(np.median(t)), min(t), max(t), r["threads"], len(t))
    thread_counts = [run["threads"] for run in runs]
    # Single-threaded peers measured once: their time stands for every thread count.
    for per in table.values():
        for tc in thread_counts:
            if tc not in per and per:
                per[tc] = next(iter(per.values()))
    return table


def workload_key(w: str):
    return (w.split(" ", 1)[0], w)


def markdown_table(table, thread_counts) -> str:
    head = "| workload | rows | library |"
    rule = "|---|---:|---|"
    for tc in thread_counts:
        head += f" {tc} thread{'s' if tc > 1 else ''}: median (min–max) | ÷ vandra |"
        rule += "---:|---:|"
    lines = [head, rule]
    keys = sorted(table, key=lambda k: (workload_key(k[0]), k[1], LIB_ORDER.index(k[2])))
    for w, rows, lib in keys:
        per = table[(w, rows, lib)]
        line = f"| {w} | {rows:,} | {lib} |"
        for tc in thread_counts:
            if tc not in per:
                line += " – | – |"
                continue
            med, lo, hi, measured_in, n = per[tc]
            mark = "" if measured_in == tc else " †"
            line += f" {fmt_s(med)} ({fmt_s(lo)}–{fmt_s(hi)}, {n}×){mark} |"
            ref = table.get((w, rows, "vandra"), {}).get(tc)
            line += " 1.00 |" if lib == "vandra" else (f" {med / ref[0]:.2f} |" if ref else " – |")
        lines.append(line)
    return "\n".join(lines)


def summary_markdown(table, thread_counts, rows: int) -> str:
    """Per workload at the largest size: vandra against the fastest peer."""
    lines = [f"At {rows:,} rows, vandra's median against the fastest peer's (floors left out); "
             "in brackets the peer's time ÷ vandra's, above 1 when vandra is faster.", ""]
    for w in sorted({k[0] for k in table if k[1] == rows}, key=workload_key):
        own = table.get((w, rows, "vandra"), {})
        parts = []
        for tc in thread_counts:
            peers = [(per[tc][0], lib) for (w2, r2, lib), per in table.items()
                     if w2 == w and r2 == rows and lib not in ("vandra", "numpy.copy (floor)")
                     and tc in per]
            if tc not in own:
                continue
            if peers:
                best, lib = min(peers)
                parts.append(f"{tc} thread{'s' if tc > 1 else ''}: {fmt_s(own[tc][0])} against "
                             f"{lib} {fmt_s(best)} ({best / own[tc][0]:.2f}×)")
            else:
                parts.append(f"{tc} thread{'s' if tc > 1 else ''}: {fmt_s(own[tc][0])}")
        lines.append(f"- {w}: " + "; ".join(parts))
    return "\n".join(lines)


def checks_markdown(runs) -> tuple[str, list[str]]:
    """Agreement summary lines and the list of disagreements."""
    lines, problems = [], []
    grouped: dict = defaultdict(list)
    for run in runs:
        for c in run["checks"]:
            grouped[(c["workload"], c["library"])].append(c)
    for (w, lib), items in sorted(grouped.items(), key=lambda kv: (workload_key(kv[0][0]),
                                                                   kv[0][1])):
        bad = [(c["rows"], c["threads"], col, verdict) for c in items
               for col, verdict in c["columns"].items()
               if verdict not in ("same", "same up to code order")]
        sizes = ", ".join(sorted({f"{c['rows']:,}" for c in items}))
        kind = "decoded table" if w.startswith("5") else "codes"
        if not bad:
            verdicts = {v for c in items for v in c["columns"].values()}
            word = "same up to code order" if "same up to code order" in verdicts else "same"
            lines.append(f"- {w} — {lib}: {kind} {word} as vandra's in every column "
                         f"({sizes} rows)" if not w.startswith("5") else
                         f"- {w} — {lib}: {kind} equals the input in every column ({sizes} rows)")
        else:
            for rows, tc, col, verdict in bad:
                msg = f"{w} — {lib}, {rows:,} rows, {tc} thread(s), column {col}: {verdict}"
                problems.append(msg)
                lines.append(f"- **DIFFERS**: {msg}")
    return "\n".join(lines), problems


def thread_consistency(runs) -> list[str]:
    """vandra's results must not depend on the thread count."""
    seen: dict = defaultdict(dict)
    for run in runs:
        for r in run["records"]:
            if r["library"] == "vandra" and r["digest"]:
                seen[(r["workload"], r["rows"])][run["threads"]] = r["digest"]
    out = []
    for (w, rows), per in sorted(seen.items(), key=lambda kv: (workload_key(kv[0][0]), kv[0][1])):
        if len(set(per.values())) > 1:
            out.append(f"{w}, {rows:,} rows: vandra's output differs between thread counts "
                       f"{sorted(per)}")
    return out


def semantics_markdown(sem: list[dict]) -> str:
    libs = ["vandra", "pandas", "scikit-learn", "polars"]
    out = ["| text dtype | cell given | stored as | `.values` cell | " + " | ".join(libs) + " |",
           "|---|---|---|---|" + "---|" * len(libs)]
    for r in sem:
        out.append(f"| {r['variant']} | `{r['given']}` | `{r['stored']}` | `{r['values']}` | "
                   + " | ".join(r[lib] for lib in libs) + " |")
    return "\n".join(out) + "\n"


# The README's performance section: one table per run of `make bench` at the largest size,
# with the commit and machine it ran on, written between these markers.
README_START = "<!-- performance: written by bench/compare.py; edits here are overwritten -->"
README_END = "<!-- performance: end -->"
# (row label, workload name predicate, the pandas-side reference where pandas has none)
README_ROWS = [
    ("flight log (19 columns, 5 text) from `read_csv`, default dtypes ({dtype})",
     lambda w: w.startswith("6 flight log, default dtypes"), None),
    ("same, text as object", lambda w: w.startswith("6 flight log, text as object"), None),
    ("decode of the flight log, default dtypes ({dtype})",
     lambda w: w.startswith("7 decode of 6, default dtypes"), None),
    ("same, object", lambda w: w.startswith("7 decode of 6, text as object"), None),
    ("8-column frame (4 text, up to ~630,000 labels), {dtype}",
     lambda w: w.startswith("1 mixed frame, ") and "default" in w, None),
    ("same, object", lambda w: w == "1 mixed frame, object", None),
    ("decode of that frame, {dtype}",
     lambda w: w.startswith("5 decode of 1, ") and "default" in w, None),
    ("same, object", lambda w: w == "5 decode of 1, object", None),
    ("object array of str, 8 columns", lambda w: w == "3 object array of str", None),
    ("float64 array, 8 columns", lambda w: w == "2 float64 array", "numpy.copy (floor)"),
    ("int64 array, 8 columns", lambda w: w == "4 int64 array", "numpy astype"),
    ("30 × 3 frame, encode", lambda w: w == "8 frame 30 x 3", None),
    ("30 × 3 frame, decode", lambda w: w == "8 decode of 8", None),
]
REFERENCE_NAMES = {"numpy.copy (floor)": "`numpy.copy`", "numpy astype": "NumPy `astype`"}
CHART_LIBS = ["vandra", "pandas", "polars"]


def readme_rows(table, rows: int, suffix: str = ""):
    """(label, workload, reference, rows) for each README row that this run measured: at
    `rows`, or for the fixed-size workloads at their one size."""
    sizes = defaultdict(set)
    for w, r, _ in table:
        sizes[w].add(r)
    names = sorted(sizes, key=workload_key)
    out = []
    for label, wanted, reference in README_ROWS:
        found = [w for w in names if w.endswith(suffix) and wanted(w.removesuffix(suffix))
                 and (suffix or "(no pyarrow)" not in w)]
        if found:
            w = found[0]
            # "6 flight log, default dtypes: str" -> "str"; "1 mixed frame, str (pyarrow,
            # default)" -> "str (pyarrow)"
            dtype = w.removesuffix(suffix).split(", ", 1)[-1].split(": ")[-1]
            size = rows if rows in sizes[w] else max(sizes[w])
            out.append((label.format(dtype=dtype.replace(", default", "")), w, reference, size))
    return out


def per_thread(table, key, tcs) -> str:
    per = table.get(key, {})
    if not per:
        return "–"
    times = [per[tc][0] for tc in tcs if tc in per]
    if all(per[tc][3] == tcs[0] for tc in tcs if tc in per):  # measured once: one figure
        return fmt_s(times[0])
    return " / ".join(fmt_s(t) for t in times)


def readme_table(table, tcs, rows: int, suffix: str = "", with_peers: bool = True) -> str:
    slash = " / ".join(map(str, tcs))
    head = f"| workload | vandra, {slash} threads | pandas |"
    rule = "|---|---:|---:|"
    if with_peers:
        head += f" pandas, one C-ordered array | polars, {slash} threads |"
        rule += "---:|---:|"
    head += f" ÷, {slash} threads |"
    rule += "---:|"
    lines = [head, rule]
    for label, w, reference, size in readme_rows(table, rows, suffix):
        peer = reference or "pandas"
        own = table.get((w, size, "vandra"), {})
        ref = table.get((w, size, peer), {})
        peer_cell = per_thread(table, (w, size, peer), tcs)
        if reference and peer_cell != "–":
            peer_cell = f"{REFERENCE_NAMES[reference]} {peer_cell}"
        line = f"| {label} | {per_thread(table, (w, size, 'vandra'), tcs)} | {peer_cell} |"
        if with_peers:
            line += (f" {per_thread(table, (w, size, 'pandas (C-ordered)'), tcs)} |"
                     f" {per_thread(table, (w, size, 'polars'), tcs)} |")
        ratio = [f"{ref[tc][0] / own[tc][0]:.2f}" for tc in tcs if tc in own and tc in ref]
        line += f" {' / '.join(ratio) or '–'} |"
        lines.append(line)
    return "\n".join(lines)


def commit_and_machine() -> tuple[str, str]:
    try:
        head = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(REPO), "status", "--porcelain", "--", "src"],
                               capture_output=True, text=True, check=True).stdout.strip()
        commit = f"commit {head}" + (" with uncommitted changes in src/" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        commit = "an unknown commit"
    machine = (f"{cpu_model()}, {os.cpu_count()} cores ({len(os.sched_getaffinity(0))} usable), "
               f"{platform.system()} {platform.release()}")
    return commit, machine


def memory_sentence(runs, rows: int) -> str:
    cells = {}
    for run in runs:
        for m in run.get("memory", []):
            if m["rows"] == rows and m["threads"] == run["threads"] and "default" in m["workload"]:
                cells.setdefault((m["workload"].split(" ", 1)[0], m["library"]), m["mib"])
    parts = []
    for num, what in (("6", "encode"), ("7", "decode")):
        ours, peer = cells.get((num, "vandra")), cells.get((num, "pandas"))
        if ours is not None and peer is not None:
            parts.append(f"{what} peaks at {ours:.0f} MiB (pandas {peer:.0f} MiB)")
    if not parts:
        return ""
    return ("Memory (peak resident growth of one call, same run, default dtypes): the flight "
            "log's " + ", its ".join(parts) + ".")


def readme_section(runs, table, tcs, rows: int) -> str:
    commit, machine = commit_and_machine()
    ver = versions()
    listed = ", ".join(f"{k} {ver[k].split(' (')[0]}" for k in
                       ("numpy", "pandas", "pyarrow", "polars") if ver[k] != "not installed")
    text = f"""Wall-clock medians of one call at {rows:,} rows from `make bench` \
(bench/compare.py) at {commit}, on {machine}; CPython {ver['python']}, {listed}. Threads: \
`RAYON_NUM_THREADS` (and `POLARS_MAX_THREADS`) set to {' and '.join(map(str, tcs))}, each in \
its own process; pandas runs on one thread either way. "÷" is pandas' time over vandra's \
(above 1: vandra is faster). pandas is the plain idiom: `factorize(sort=True)` per text \
column, the columns gathered in `DataFrame({{name: column}})` (decode: `uniques.take` per \
column); "one C-ordered array" writes the same codes into one row-major array as vandra does. \
Full tables, every peer, method, agreement checks and a chart: \
[bench/results/compare.md](bench/results/compare.md).

{readme_table(table, tcs, rows)}
"""
    first, rest = text.split("\n\n", 1)
    text = wrap(first) + "\n\n" + rest
    no_pyarrow = readme_table(table, tcs, rows, " (no pyarrow)", with_peers=False)
    if no_pyarrow.count("\n") > 1:
        text += f"""
Without pyarrow (pandas' "str" is then python-backed), same run:

{no_pyarrow}
"""
    memory = memory_sentence(runs, rows)
    return text + (f"\n{wrap(memory)}\n" if memory else "")


def wrap(paragraph: str) -> str:
    return textwrap.fill(paragraph, width=95, break_long_words=False, break_on_hyphens=False)


def write_readme(path: Path, section: str) -> None:
    text = path.read_text()
    start, end = text.find(README_START), text.find(README_END)
    if start < 0 or end < start:
        raise SystemExit(f"{path}: no {README_START!r} ... {README_END!r} markers")
    start += len(README_START)
    path.write_text(text[:start] + "\n" + section + text[end:])


def plot(table, thread_counts, rows: int, path: Path):
    """Time per call of each README workload for vandra, pandas and polars at `rows`, at the
    largest thread count (pandas runs on one either way); log scale."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    tc = max(thread_counts)
    # Rows that a peer of the chart ran (the arrays of numbers have NumPy references only).
    entries = [e for e in readme_rows(table, rows)
               if any(tc in table.get((e[1], e[3], lib), {}) for lib in CHART_LIBS[1:])]
    colors = {"vandra": "#d62728", "pandas": "#1f77b4", "polars": "#2ca02c"}
    fig, ax = plt.subplots(figsize=(9, 0.6 * len(entries) + 1.2))
    height = 0.8 / len(CHART_LIBS)
    labelled = set()
    for i, (_, w, _, size) in enumerate(entries):
        for k, lib in enumerate(CHART_LIBS):
            per = table.get((w, size, lib), {})
            if tc in per:
                ax.barh(i + (k - 1) * height, per[tc][0], height, color=colors[lib],
                        label=None if lib in labelled else lib)
                labelled.add(lib)
    ax.set_yticks(range(len(entries)))
    short = [re.sub(r" \((19 columns|4 text)[^)]*\)", "", label).replace("`", "")
             .replace(" from read_csv", "") for label, *_ in entries]
    ax.set_yticklabels(short, fontsize=7)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlabel("seconds per call (lower is better)", fontsize=8)
    ax.tick_params(axis="x", labelsize=7)
    ax.grid(axis="x", alpha=0.3)
    ax.legend(fontsize=8, frameon=False, loc="lower right")
    ax.set_title(f"Time per call, {rows:,} rows, {tc} thread{'s' if tc > 1 else ''} "
                 "(pandas: one thread)", fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=90, bbox_inches="tight")
    plt.close(fig)


def spawn(script_args: list[str], threads: int, out: Path, no_pyarrow: bool = False) -> None:
    env = dict(os.environ)
    if no_pyarrow:
        env["VANDRA_BENCH_NO_PYARROW"] = "1"
    for var in ("RAYON_NUM_THREADS", "POLARS_MAX_THREADS", "OMP_NUM_THREADS",
                "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
        env[var] = str(threads)
    cmd = [sys.executable, str(Path(__file__).resolve()), *script_args, "--json", str(out)]
    subprocess.run(cmd, env=env, check=True)


def orchestrate(args) -> int:
    RESULTS.mkdir(parents=True, exist_ok=True)
    runs = []
    started = time.perf_counter()
    passes = [(tc, False) for tc in args.threads]
    if not args.skip_no_pyarrow:
        passes += [(tc, True) for tc in args.threads]
    for i, (tc, no_pyarrow) in enumerate(passes):
        fd, tmp = tempfile.mkstemp(dir=RESULTS, suffix=".tmp")
        os.close(fd)
        try:
            worker_args = ["--worker", "--rows", ",".join(map(str, args.rows))]
            worker_args += ["--first"] if i in (0, len(args.threads)) else []
            worker_args += ["--reps", str(args.reps)] if args.reps else []
            worker_args += ["--min-time", str(args.min_time)]
            worker_args += ["--peers-each-run"] if args.peers_each_run else []
            worker_args += ["--all-peers"] if args.all_peers else []
            load_before = os.getloadavg()[0]
            spawn(worker_args, tc, Path(tmp), no_pyarrow)
            run = json.loads(Path(tmp).read_text())
            run["load"] = (load_before, os.getloadavg()[0])
            runs.append(run)
        finally:
            Path(tmp).unlink(missing_ok=True)
    elapsed = time.perf_counter() - started

    table = summarize(runs)
    tcs = sorted({r["threads"] for r in runs})
    agreement, problems = checks_markdown(runs)
    problems += thread_consistency(runs)
    consistency = ("vandra's codes were identical at every thread count (content hash of "
                   "every encode result)." if not thread_consistency(runs) else "")
    (RESULTS / "compare.md").write_text(report_markdown(args, runs, table, agreement, problems,
                                                        consistency, elapsed))
    plot(table, tcs, max(args.rows), RESULTS / "compare.png")
    if args.readme:
        write_readme(Path(args.readme), readme_section(runs, table, tcs, max(args.rows)))
        print(f"wrote the performance tables of {args.readme}")
    print(markdown_table(table, tcs))
    print("\n" + memory_markdown(runs))
    print("\nAgreement check:\n" + agreement)
    print(("PROBLEMS:\n" + "\n".join(problems)) if problems else consistency)
    print(f"\nwrote {RESULTS / 'compare.md'} and {RESULTS / 'compare.png'} ({elapsed:.0f} s)")
    return 1 if problems else 0


def memory_markdown(runs) -> str:
    """Peak resident-memory growth of one call, per workload, library and thread count."""
    cells: dict = defaultdict(dict)
    for run in runs:
        for m in run.get("memory", []):
            cells[(m["workload"], m["rows"], m["library"])][m["threads"]] = m["mib"]
    if not cells:
        return "No memory figures: this system cannot reset the resident-memory peak."
    tcs = sorted({tc for per in cells.values() for tc in per})
    for (_, _, lib), per in cells.items():  # single-threaded peers: one figure for all
        if lib in SINGLE_THREADED and per:
            for tc in tcs:
                per.setdefault(tc, next(iter(per.values())))
    lines = ["| workload | rows | library | " + " | ".join(
        f"{tc} thread{'s' if tc > 1 else ''}: MiB | ÷ vandra" for tc in tcs) + " |",
        "|---|---:|---|" + "---:|---:|" * len(tcs)]
    for (w, rows, lib) in sorted(cells, key=lambda k: (workload_key(k[0]), k[1],
                                                       LIB_ORDER.index(k[2]))):
        line = f"| {w} | {rows:,} | {lib} |"
        for tc in tcs:
            mib = cells[(w, rows, lib)].get(tc)
            ref = cells.get((w, rows, "vandra"), {}).get(tc)
            line += " – | – |" if mib is None else (
                f" {mib:.0f} | {mib / ref:.2f} |" if ref else f" {mib:.0f} | – |")
        lines.append(line)
    return "\n".join(lines)


def report_markdown(args, runs, table, agreement, problems, consistency, elapsed) -> str:
    tcs = sorted({r["threads"] for r in runs})
    label = {id(r): f"{r['threads']}-thread{' no-pyarrow' if r.get('no_pyarrow') else ''} run"
             for r in runs}
    ver = ", ".join(f"{k} {v}" for k, v in versions().items())
    sem = next(r["semantics"] for r in runs if r["semantics"])
    cmd = " ".join(["python bench/compare.py", *sys.argv[1:]])
    pools = ", ".join(f"{r['pool_threads']} pool thread(s) in the {label[id(r)]}" for r in runs)
    loads = ", ".join(f"{r['load'][0]:.1f} → {r['load'][1]:.1f} ({label[id(r)]})"
                      for r in runs)
    reps = ", ".join(f"{args.reps or (7 if r <= 200_000 else 3)} at {r:,} rows"
                     for r in args.rows)
    more = (f"; more, up to 30, while they add up to less than {args.min_time} s"
            if args.min_time else "")
    elapsed_runs = ", ".join(f"{r['elapsed']:.0f} s for the {label[id(r)]}" for r in runs)
    return f"""# vandra against its peers

Command: `{cmd}` (`make bench` runs it); {elapsed:.0f} s in all ({elapsed_runs}).
Machine: {cpu_model()}, {os.cpu_count()} CPUs ({len(os.sched_getaffinity(0))} usable), \
{platform.system()} {platform.release()}; load average (1 min) before → after: {loads}.
Versions: {ver}.

Each thread count ran in its own process with `RAYON_NUM_THREADS` (vandra's pool) and \
`POLARS_MAX_THREADS` (and the OpenMP/BLAS variables) set to it; vandra's first encode started \
{pools}. Times are the wall clock of one call: the median of the repetitions, with the fastest \
and slowest and their number in brackets ({reps}{more}). Before each workload's encoders and \
decoders, 2 GiB are written once and freed, so that no call pays for the virtual machine's first \
touch of a page. Each repetition gets a fresh encoder and a garbage collection before it \
(skipped after calls under 50 ms); its result is freed after the clock stopped. "÷ vandra" is the \
library's median over vandra's: above 1, vandra is faster. † pandas, scikit-learn, \
category_encoders and numpy's astype run on one thread whatever the setting: they were timed in \
the {tcs[0]}-thread process only, and the other columns repeat those times.

## What every library does

The same input and the same output: a float64 table of the input's shape (a DataFrame for a \
frame, an ndarray for an array) with the number columns copied and codes in the text columns.

- **vandra**: `Encoder().encode(obj)`; decode: `enc.decode(codes)`.
- **pandas**: the plain idiom, `pandas.factorize(column, sort=True)` per text column, the codes \
  (−1 → NaN) and the number columns (`to_numpy(float64)`) gathered in a dict and made a frame \
  with `DataFrame({{name: column, ...}})`, each column contiguous (an array: a Fortran-ordered \
  result, written column by column). Decode: `uniques.take(codes, allow_fill=True, \
  fill_value=nan)` per column, into a frame of object columns.
- **pandas (C-ordered)**: the same codes written into one C-ordered float64 array, wrapped by \
  `DataFrame(out, columns=...)` as vandra wraps its own (an array: a C-ordered result); a \
  column is then a strided write. Its decode is pandas'.
- **scikit-learn**: `OrdinalEncoder(encoded_missing_value=nan).fit_transform` on the text \
  columns, assembled with the number columns as above. Decode: `inverse_transform` (on a \
  writable copy of the codes: it writes into its input).
- **category_encoders**: `OrdinalEncoder(cols=text columns, handle_missing="return_nan")`. Its \
  codes count from 1 in order of appearance, not in sorted order: timed anyway, and checked to \
  be a one-to-one renaming of vandra's codes. Decode: `inverse_transform`.
- **polars**: `polars.from_pandas(frame)` (an array goes through a pandas frame of object \
  columns); per text column the sorted distinct labels become a `polars.Enum` whose physical \
  codes are the codes; `to_numpy()`. Decode: `categories.gather(codes)`.
- **numpy astype** (int64 array): `arr.astype(float64)`, the whole job there.
- **numpy.copy (floor)**: a copy of vandra's result (decode: of its cells as an object array), \
  the cost of writing the output once.

## Data

Seeded random tables with n rows. Workload 1: columns f0, t8, f1, t1k, f2, t100k, f3, tall: \
four float64 columns (f1 with 1% NaN) and four text columns drawn from 8 (city names, some \
non-ASCII), 1,000, 100,000 and 2**62 (nearly all distinct) labels, each with 1% missing \
cells; the text columns in each str storage the installed pandas offers (the default one \
marked) and as `object`. Workload 2: an n×8 float64 array, 1% NaN in one column (vandra's \
block-copy path). Workload 3: an n×8 object array of str, the four cardinalities twice, 1% NaN \
cells. Workload 4: an n×8 int64 array (the cell path with numbers only). Workload 5: decoding \
workload 1's codes. For time, scikit-learn and category_encoders sit out workload 3 and the \
non-default str storage at 1,000,000 rows, and everything at {SLOW_PEER_ROWS:,} rows and more \
(`--all-peers` keeps them). Workload 6: a flight log of n rows × 19 columns (14 numeric: int64, \
and float64 with 2% missing; 5 short texts of about 3, 16, 105, 4,000 and 7,000 labels), \
written to CSV once and read back with `pandas.read_csv`, once with pandas' default dtypes \
(the pyarrow-backed "str" when pyarrow is installed) and once with the text columns as \
`object`; workload 7 decodes its codes. Workload 8: a 30 × 3 frame (float, text, int), the \
fixed cost of one call; workload 9: a 100 × 10,000 float64 frame, the per-column cost. The \
"(no pyarrow)" rows come from runs in which pyarrow could not be imported (pandas falls back \
to its python-backed "str"), at the largest size, against pandas alone.

## Missing values

vandra reads every cell of a text column as text: a float NaN cell reads "nan" and pandas' \
`NA` reads "<NA>", both missing, while `None` reads "None", an ordinary label. pandas and \
polars treat `None` as missing; scikit-learn treats `None` as a category of its own (and \
`pandas.NA` in an object column as an error). The texts "nan", "NaN" and "<NA>" are missing for \
vandra only. So the generated data marks missing cells with float NaN in `object` columns \
(str columns store every missing marker as their own NaN, which `.values` hands out as float \
NaN) and holds none of those texts; on such data every library does the same job. Each \
marker in a column with two labels, on this run:

{semantics_markdown(sem)}
## Results

{summary_markdown(table, tcs, max(args.rows))}

{markdown_table(table, tcs)}

![rows per second per workload and library](compare.png)

## Peak memory

Growth of the process's resident memory at its peak during one call (the kernel's high-water \
mark, reset just before the call), over the memory in use before it, after a garbage \
collection and after the allocator gave its free pages back (`malloc_trim`); the input is \
already built, the result counts.

{memory_markdown(runs)}

## Agreement with vandra's codes

Every peer's output, compared cell by cell with vandra's (NaN equal to NaN) at every size; \
decoders' output compared with the input table.

{agreement}

{consistency}
{("**Problems:**" + chr(10) + chr(10).join("- " + p for p in problems)) if problems else ""}
"""


# --------------------------------------------------------------------------------------------
# Profile: where encode's time goes

# Markers in vandra's function names. Calls nest: encode -> conversion (pandas' .values, the
# cell loop, then the C++ core) -> output construction; pool threads run the core's jobs.
OUTPUT_MARKS = ("arr_to_out", "frame_result", "array_result", "float_copy",
                "decode_frame_column", "LabelCache", "new_str")
CORE_MARKS = ("encode_object_array", "label_encode")
CONVERSION_MARKS = ("read_cells", "read_array_directly", "read_by_item_access", "CellReader",
                    "read_numeric_column", "cell_text", "str_text", "LabelStore",
                    "float_to_text", "pyany_to_vec", "copy_float64", "column_labels",
                    "text_labels", "integer_labels", "read_shape")
POOL_SCHEDULING = ("find_work", "steal", "sleep", "wake", "run_until", "worker_main",
                   "thread_main", "pop_injected", "has_work", "notify_latch_set", "inject")


def on_calling_thread(frame: str) -> bool:
    return "encoder_encode" in frame or "encoder_decode" in frame


def is_python_level(frame: str) -> bool:
    return frame.startswith("_PyEval_EvalFrame") or ".py:" in frame


def classify(stack: list[str]) -> str | None:
    """Phase of one sample (frames innermost first); None when outside encode."""
    ours = [(d, f) for d, f in enumerate(stack) if f.startswith("vandra::")]
    on_caller = any(on_calling_thread(f) for _, f in ours)
    on_worker = any("vandra::pool::" in f for _, f in ours)
    if not (on_caller or on_worker):
        return None
    innermost_depth, innermost = ours[0]
    under_python = any(is_python_level(f) for f in stack[:innermost_depth])
    if any(m in f for _, f in ours for m in OUTPUT_MARKS):
        if under_python:
            return "output construction: pandas calls (DataFrame, astype, .loc)"
        return "output construction: vandra's own loops"
    if any(m in f for _, f in ours for m in CORE_MARKS):
        return "label encoding (C++ core)"
    if any(m in f for _, f in ours for m in CONVERSION_MARKS):
        if under_python:
            return "pandas DataFrame.values (Python code under conversion)"
        if "::~" in innermost:
            return "freeing conversion buffers"
        return "conversion (cell loop)"
    if on_worker and not on_caller:
        # A pool thread: waiting for or finding work, else running one of the core's jobs.
        if "vandra::pool::" in innermost and any(f"::{m}(" in innermost
                                                 for m in POOL_SCHEDULING):
            return "worker pool (scheduling, waiting)"
        return "label encoding (C++ core)"
    return "entry, argument binding, other"


def perf_samples(cmd: list[str], env: dict, workdir: Path):
    """Stacks (innermost first) sampled by perf on cpu-clock, or None when perf can't."""
    perf = shutil.which("perf")
    if not perf:
        return None
    data = workdir / "perf.data"
    rec = subprocess.run([perf, "record", "-q", "-F", "250", "-e", "cpu-clock", "-g",
                          "--call-graph", "dwarf,16384", "-o", str(data), "--", *cmd], env=env)
    if rec.returncode != 0 or not data.exists():
        return None
    script = subprocess.run([perf, "script", "--no-inline", "-i", str(data)],
                            capture_output=True, text=True)
    if script.returncode != 0:
        return None
    stacks, cur = [], None
    frame_re = re.compile(r"^\s*[0-9a-f]+\s+(.*?)\s+\((.*)\)\s*$")
    for line in script.stdout.splitlines():
        if not line.strip():
            if cur:
                stacks.append(cur)
            cur = None
        elif not line[0].isspace():
            cur = []
        elif cur is not None:
            m = frame_re.match(line)
            if m:
                cur.append(re.sub(r"\+0x[0-9a-f]+$", "", m.group(1)))
    if cur:
        stacks.append(cur)
    return [(s, 1) for s in stacks]


def pyspy_samples(cmd: list[str], env: dict, workdir: Path):
    """Stacks from py-spy --native, or None when it can't run here."""
    spy = shutil.which("py-spy") or str(Path(sys.executable).with_name("py-spy"))
    if not Path(spy).exists():
        return None
    out = workdir / "pyspy.txt"
    rec = subprocess.run([spy, "record", "--native", "--threads", "-r", "200", "--format", "raw",
                          "-o", str(out), "--", *cmd], env=env, capture_output=True, text=True)
    if rec.returncode != 0 or not out.exists():
        return None
    samples = []
    for line in out.read_text().splitlines():
        stack, _, count = line.rpartition(" ")
        frames = [f.strip() for f in stack.split(";")][::-1]
        samples.append((frames, int(count)))
    return samples


def profile_target(args) -> int:
    """Run under the profiler: three encodes (or decodes) of workload 1 at one size."""
    dtype = dict(string_variants())[args.variant]
    df = with_text_dtype(mixed_object_frame(args.rows[0]), dtype)
    encoders = [vandra.Encoder() for _ in range(3)]
    results = [enc.encode(df) for enc in encoders]
    if args.what == "decode":
        decoded = [enc.decode(codes) for enc, codes in zip(encoders, results)]
        del decoded
    del results
    return 0


def profile_timings(args) -> int:
    """Wall-clock pieces of encode(frame), in this process's thread count."""
    rows = args.rows[0]
    reps = args.reps or 3
    base = mixed_object_frame(rows)
    out = {"threads": int(os.environ.get("RAYON_NUM_THREADS", "0")), "variants": {}}
    warm_up()
    for variant, dtype in string_variants():
        if variant.startswith("str (python)"):
            continue
        df = with_text_dtype(base, dtype)
        values = df.values
        floats = np.ascontiguousarray(as_float_array(vandra.Encoder().encode(df)))
        t = {}
        t["df.values"] = measure(lambda: (lambda: df.values), reps)[0]
        t["encode(df)"] = measure(lambda: vandra_encode(df), reps)[0]
        t["encode(df.values)"] = measure(lambda: vandra_encode(values), reps)[0]
        t["encode(float64 array of the result)"] = measure(lambda: vandra_encode(floats), reps)[0]
        keep: dict = {}
        codes = vandra_encode(df, keep)()
        t["decode(codes)"] = measure(lambda: vandra_decode(codes, keep), reps)[0]
        out["variants"][variant] = {k: float(np.median(v)) for k, v in t.items()}
        log(f"  [{out['threads']} thr] {variant}: " +
            ", ".join(f"{k} {fmt_s(v)}" for k, v in out["variants"][variant].items()))
    Path(args.json).write_text(json.dumps(out))
    return 0


def sample_split(samples, what: str):
    """Phase, innermost-function, thread and page-fault counts of the samples inside `what`
    (encode or decode). For decode, pool-thread samples are left out: they can't be told
    apart from those of the encodes that ran first in the same process."""
    phases, leaves, threads, faults = Counter(), Counter(), Counter(), Counter()
    entry = f"encoder_{what}"
    for stack, weight in samples:
        phase = classify(stack)
        if not phase:
            continue
        caller = any(on_calling_thread(f) for f in stack)
        if not any(entry in f for f in stack) and (caller or what == "decode"):
            continue
        phases[phase] += weight
        leaves[stack[0] if stack else "?"] += weight
        threads["calling thread" if caller else "pool threads"] += weight
        if any("exc_page_fault" in f for f in stack):
            faults[phase] += weight
    return phases, leaves, threads, faults


def run_profile(args) -> int:
    RESULTS.mkdir(parents=True, exist_ok=True)
    rows = args.rows[0] if args.rows_given else 1_000_000
    me = str(Path(__file__).resolve())
    timings = []
    for tc in args.threads:
        fd, tmp = tempfile.mkstemp(dir=RESULTS, suffix=".tmp")
        os.close(fd)
        try:
            spawn(["--profile-timings", "--rows", str(rows)] +
                  (["--reps", str(args.reps)] if args.reps else []), tc, Path(tmp))
            timings.append(json.loads(Path(tmp).read_text()))
        finally:
            Path(tmp).unlink(missing_ok=True)

    variants = [v for v, _ in string_variants() if not v.startswith("str (python)")]
    targets = [("encode", v) for v in variants] + [("decode", "object")]
    splits, tool = {}, None
    env = dict(os.environ, RAYON_NUM_THREADS="1", POLARS_MAX_THREADS="1")
    for what, variant in targets:
        with tempfile.TemporaryDirectory(dir=RESULTS, suffix=".tmp") as wd:
            cmd = [sys.executable, me, "--profile-target", "--what", what, "--variant", variant,
                   "--rows", str(rows)]
            log(f"profiling {what} of workload 1 ({variant}, {rows:,} rows, 1 thread)")
            samples = perf_samples(cmd, env, Path(wd))
            tool = "perf record -e cpu-clock --call-graph dwarf" if samples else None
            if not samples:
                samples = pyspy_samples(cmd, env, Path(wd))
                tool = "py-spy record --native --threads" if samples else None
        if samples:
            splits[(what, variant)] = sample_split(samples, what)

    wall1 = next((t for t in timings if t["threads"] == 1), None)
    lines = ["# Where vandra's encode spends its time\n",
             f"Command: `python bench/compare.py --profile` (`make bench-profile`). Workload 1 "
             f"(the mixed frame of compare.md) at {rows:,} rows on {cpu_model()}, "
             f"{os.cpu_count()} CPUs; load average (1 min) at the end "
             f"{os.getloadavg()[0]:.1f}. Versions: "
             + ", ".join(f"{k} {v}" for k, v in versions().items()) + ".\n",
             "## Wall clock of the pieces\n",
             "Medians of 3 calls (fresh encoder each), each thread count in its own process "
             "(`RAYON_NUM_THREADS`). `encode(df.values)` gets the object array that `df.values` "
             "made beforehand; `encode(float64 array …)` takes the block-copy path, in and out "
             "with no conversion or encoding: a floor for copying the cells.\n"]
    for t in timings:
        for variant, v in t["variants"].items():
            lines.append(f"**{variant} text columns, {t['threads']} thread(s)**\n")
            lines.append("| call | time |")
            lines.append("|---|---:|")
            for k, secs in v.items():
                lines.append(f"| `{k}` | {fmt_s(secs)} |")
            frame_extra = v["encode(df)"] - v["encode(df.values)"]
            lines.append(f"| `encode(df)` − `encode(df.values)`: `.values` inside encode, column "
                         f"labels, frame output | {fmt_s(frame_extra)} |")
            lines.append("")
    if splits:
        lines.append("## Split by phase (1 thread)\n")
        lines.append(f"Sampled with `{tool}` (CPU time of every thread). A sample belongs to "
                     "the outermost phase on its stack: output construction, else the C++ core "
                     "(`encode_object_array`, `label_encode` and the pool jobs they start), else "
                     "the conversion, split into Python code running under it (pandas' "
                     "`DataFrame.values`) and vandra's own cell loop. ≈ time: the share times "
                     "the 1-thread wall-clock median above; with one pool thread the calling "
                     "thread waits while it works, so CPU shares stand for wall-clock shares.\n")
        for (what, variant), (phases, leaves, threads, faults) in splits.items():
            total = sum(phases.values())
            key = "encode(df)" if what == "encode" else "decode(codes)"
            wall = wall1["variants"].get(variant, {}).get(key) if wall1 else None
            lines.append(f"**`{key}`, {variant} text columns** ({total} samples: " +
                         ", ".join(f"{n} on the {k}" for k, n in threads.items()) + ")\n")
            lines.append("| phase | share | ≈ time | of it in page faults (kernel) |")
            lines.append("|---|---:|---:|---:|")
            for phase, count in phases.most_common():
                share = count / total
                lines.append(f"| {phase} | {share:.0%} | "
                             f"{fmt_s(share * wall) if wall else '–'} | "
                             f"{faults[phase] / count:.0%} |")
            lines.append("\nHottest functions (self time):\n")
            lines.append("| function | share |")
            lines.append("|---|---:|")
            for fn, count in leaves.most_common(10):
                name = fn if len(fn) < 90 else fn[:87] + "..."
                lines.append(f"| `{name}` | {count / total:.1%} |")
            lines.append("")
    else:
        lines.append("Neither perf nor py-spy could sample here; only the wall clock above.\n")
    (RESULTS / "profile.md").write_text("\n".join(lines))
    print("\n".join(lines))
    print(f"wrote {RESULTS / 'profile.md'}")
    return 0


# --------------------------------------------------------------------------------------------

def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rows", help="comma-separated table sizes (default 100000,1000000)")
    ap.add_argument("--threads", default="1,2", help="thread counts, one process each")
    ap.add_argument("--reps", type=int, default=0, help="repetitions (default 7, or 3 above "
                    "200,000 rows)")
    ap.add_argument("--min-time", type=float, default=0.5,
                    help="repeat short calls until they add up to this many seconds (at most "
                         "30 repetitions; default 0.5)")
    ap.add_argument("--quick", action="store_true",
                    help="smoke run: 20,000 rows, 3 repetitions, no --min-time")
    ap.add_argument("--peers-each-run", action="store_true",
                    help="time the single-threaded peers in every thread count's process")
    ap.add_argument("--all-peers", action="store_true",
                    help=f"keep scikit-learn and category_encoders at {SLOW_PEER_ROWS:,}+ rows")
    ap.add_argument("--skip-no-pyarrow", action="store_true",
                    help="leave out the frame workloads rerun with pyarrow blocked")
    ap.add_argument("--readme", help="write the performance tables between the markers of "
                    "this README (make bench: README.md)")
    ap.add_argument("--profile", action="store_true",
                    help="profile vandra's encode on workload 1 (default 1,000,000 rows)")
    for hidden in ("--worker", "--first", "--profile-timings", "--profile-target"):
        ap.add_argument(hidden, action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--variant", help=argparse.SUPPRESS)
    ap.add_argument("--what", default="encode", help=argparse.SUPPRESS)
    ap.add_argument("--json", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    args.rows_given = bool(args.rows)
    if args.quick:
        args.rows = args.rows or "20000"
        args.reps = args.reps or 3
        args.min_time = 0.0
    args.rows = [int(r.replace("_", "")) for r in (args.rows or "100000,1000000").split(",")]
    args.threads = [int(t) for t in args.threads.split(",")]
    return args


def main(argv=None) -> int:
    args = parse_args(sys.argv[1:] if argv is None else argv)
    if args.worker:
        tc = int(os.environ.get("RAYON_NUM_THREADS", "0"))
        result = Worker(args, tc, args.first).run()
        Path(args.json).write_text(json.dumps(result))
        return 0
    if args.profile_timings:
        return profile_timings(args)
    if args.profile_target:
        return profile_target(args)
    if args.profile:
        return run_profile(args)
    return orchestrate(args)


if __name__ == "__main__":
    sys.exit(main())

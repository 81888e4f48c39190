#!/usr/bin/env python3
"""Times vandra's encode and decode on the column types users load, against pandas.

Three groups of inputs: the flight log of compare.py read the ways users read it (parsed
dates, categories, nullable and Arrow-backed dtypes); one column of each datetime, category,
nullable and Arrow dtype beside a float64 column; NumPy "U", "S" and "T" arrays against the
same texts in an object array. Each thread count runs in its own process (vandra's pool reads
RAYON_NUM_THREADS once), and again with pyarrow blocked. The JSON of an earlier run (an older
build of vandra, say) given with --before puts both builds side by side in the report.

    python bench/column_types.py                  # 1,000,000 rows; 1 and 2 threads
    python bench/column_types.py --quick          # 100,000 rows, fewer repetitions
    python bench/column_types.py --before OLD.json --json-out NEW.json --label "new readers"
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shlex
import subprocess
import sys
import tempfile
import time
import warnings
from collections import Counter, defaultdict
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import compare  # noqa: E402 - before pandas: it blocks pyarrow under VANDRA_BENCH_NO_PYARROW
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import vandra  # noqa: E402

try:
    import pyarrow as pa
except ImportError:
    pa = None

# --------------------------------------------------------------------------------------------
# Inputs: (name, group, needs pyarrow, build(rows)). The names match the runs of two builds.

FLIGHT_READS = {"default": {}, "parse_dates": {"parse_dates": ["time_hour"]},
                "category": None,  # default read, then every text column as category
                "numpy_nullable": {"dtype_backend": "numpy_nullable"},
                "pyarrow": {"dtype_backend": "pyarrow"},
                "pyarrow engine": {"engine": "pyarrow", "dtype_backend": "pyarrow"}}


def read_flights(how: str):
    def build(rows):
        path = compare.flight_log_csv(rows)
        if FLIGHT_READS[how] is None:
            return pd.read_csv(path).astype({c: "category" for c in compare.FLIGHT_TEXT})
        return pd.read_csv(path, **FLIGHT_READS[how])
    return build


def beside_float(make):
    """A float64 column, then the column under test, make(rng, rows)."""
    def build(rows):
        rng = np.random.default_rng(11)
        return pd.DataFrame({"x": rng.standard_normal(rows), "c": make(rng, rows)})
    return build


def with_na(values, rng):
    values[rng.random(len(values)) < 0.01] = pd.NA
    return values


def seconds(rng, rows):
    """Random seconds over three years: nearly every one distinct."""
    return np.datetime64("2021-01-01T00:00:00", "s") + rng.integers(0, 3 * 365 * 86400, rows)


def texts(rng, rows, tag="c"):
    """1,000 distinct short texts, 1% NaN."""
    col = np.array(compare.label_pool(1_000, tag), dtype=object)[rng.integers(0, 1_000, rows)]
    col[rng.random(rows) < 0.01] = np.nan
    return col


def ints(rng, rows):
    return with_na(pd.array(rng.integers(-10**6, 10**6, rows), dtype="Int64"), rng)


def arrow(values, arrow_type=None):
    return pd.arrays.ArrowExtensionArray(pa.array(values, type=arrow_type, from_pandas=True))


COLUMNS = [
    ("text, pandas' default dtype, 1,000 labels", False, texts),
    ("datetime64[ns], ~all distinct", False, lambda rng, n: seconds(rng, n).astype("M8[ns]")),
    ("datetime64[ns, America/New_York], 8,760 hours", False, lambda rng, n: pd.date_range(
        "2023-01-01", periods=8760, freq="h", tz="America/New_York").as_unit("ns")[
        rng.integers(0, 8760, n)]),
    ("category, 1,000 texts, 1% NaN", False,
     lambda rng, n: pd.Categorical(texts(rng, n))),
    ("Int64, 1% NA", False, ints),
    ("timedelta64[ns], 4,320 minutes", False,
     lambda rng, n: pd.to_timedelta(rng.integers(0, 3 * 1440, n), unit="min").as_unit("ns")),
    ("period[M], 120 months", False,
     lambda rng, n: pd.period_range("2015-01", periods=120, freq="M")[rng.integers(0, 120, n)]),
    ("Float64, 1% NA", False,
     lambda rng, n: with_na(pd.array(rng.standard_normal(n), dtype="Float64"), rng)),
    ("boolean, 1% NA", False,
     lambda rng, n: with_na(pd.array(rng.random(n) < 0.5, dtype="boolean"), rng)),
    ("timestamp[us][pyarrow], ~all distinct", True,
     lambda rng, n: arrow(seconds(rng, n), pa.timestamp("us"))),
    ("int64[pyarrow], 1% null", True, lambda rng, n: arrow(ints(rng, n), pa.int64())),
    ("dictionary<int32, string>[pyarrow], 1,000 texts, 1% null", True,
     lambda rng, n: pd.arrays.ArrowExtensionArray(
         pa.array(texts(rng, n), from_pandas=True).dictionary_encode())),
]


def text_array(kind: str):
    """rows x 1 of 1,000 distinct short texts: an object array, or the NumPy text dtype."""
    def build(rows):
        rng = np.random.default_rng(12)
        arr = np.array(compare.label_pool(1_000, "w"), dtype=object)[rng.integers(0, 1_000, rows)]
        arr = arr.reshape(rows, 1)
        return arr if kind == "object" else arr.astype(
            np.dtypes.StringDType() if kind == "T" else kind)
    return build


ARRAY_REFERENCE = "numpy object array, 1,000 texts"
ARRAY_KINDS = ("object", "U", "S") + (("T",) if hasattr(np.dtypes, "StringDType") else ())
CASES = ([(f"read_csv {how}", "flight", how.startswith("pyarrow"), read_flights(how))
          for how in FLIGHT_READS]
         + [(name, "column", arrow_only, beside_float(make)) for name, arrow_only, make in COLUMNS]
         + [(f"numpy {kind} array, 1,000 texts", "array", False, text_array(kind))
            for kind in ARRAY_KINDS])


def describe(obj) -> str:
    if isinstance(obj, np.ndarray):
        return str(obj.dtype)
    counts = Counter(str(d) for d in obj.dtypes)
    return ", ".join(f"{d} ×{n}" if n > 1 else d for d, n in counts.items())


# --------------------------------------------------------------------------------------------
# pandas' side and the checks

def pandas_encode(df: pd.DataFrame, keep: dict):
    """compare.pandas_encode_frame for any dtype: nullable and Arrow number columns are
    copied with their NA as NaN (a plain to_numpy() gives objects there)."""
    text = set(compare.text_columns(df))

    def run():
        out = np.empty(df.shape, dtype=np.float64)
        for j, c in enumerate(df.columns):
            col = df[c]
            if c in text:
                codes, keep[c] = pd.factorize(col, sort=True)
                out[:, j] = codes
                out[codes < 0, j] = np.nan
            elif isinstance(col.dtype, pd.api.extensions.ExtensionDtype):
                out[:, j] = col.to_numpy(dtype=np.float64, na_value=np.nan)
            else:
                out[:, j] = col.to_numpy()
        return compare.frame_result(out, df.columns)
    return run


def code_verdicts(got: np.ndarray, ref: np.ndarray, names, numeric: set) -> dict:
    """vandra's codes against the reference's per column, a difference named for what it is:
    numbers coded, or the same cells under another numbering."""
    out = compare.compare_codes(got, ref, names)
    for j, name in enumerate(names):
        if out[name] == "same":
            continue
        out[name] = out[name].replace("peer", "reference")
        if name in numeric:
            out[name] = f"pandas keeps numbers, vandra codes them: {out[name]}"
        elif compare.compare_relabelled(got[:, [j]], ref[:, [j]], [name])[name] == \
                "same up to code order":
            out[name] = f"same cells under another code order: {out[name]}"
    return out


def decode_verdicts(back: pd.DataFrame, df: pd.DataFrame, codes: pd.DataFrame, keep) -> dict:
    """vandra's decode must give str() of every input cell (None where missing) in the columns
    that pandas factorized, and the input's numbers in the others."""
    out = {}
    for c in df.columns:
        if c in keep:
            labels = np.array([str(u) for u in keep[c]] + [None], dtype=object)
            k = codes[c].to_numpy()
            want, got = labels[np.where(np.isnan(k), -1, k).astype(np.intp)], back[c].to_numpy(
                object)
            bad = np.flatnonzero(got != want)
            out[c] = "same" if bad.size == 0 else (
                f"{bad.size} cells differ (row {bad[0]}: {got[bad[0]]!r}, input {want[bad[0]]!r})")
        elif back[c].dtype != np.float64:
            out[c] = "pandas keeps numbers, vandra's decode gives labels"
        else:
            same = np.array_equal(back[c].to_numpy(), codes[c].to_numpy(), equal_nan=True)
            out[c] = "same" if same else "numbers not given back unchanged"
    return out


# --------------------------------------------------------------------------------------------
# One process: the selected inputs at one thread count

class Worker:
    def __init__(self, args):
        self.args = args
        self.threads = int(os.environ.get("RAYON_NUM_THREADS", "0"))
        self.state = {"records": [], "memory": [], "checks": [], "digests": {}, "inputs": {},
                      "done": [], "current": None}

    def save(self):
        """Written before each input, so that the parent knows where a worker died."""
        Path(self.args.json).write_text(json.dumps(self.state))

    def timed(self, case, op, lib, make_run):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            times, result = compare.measure(make_run, self.args.reps, self.args.min_time, 15)
        self.state["records"].append({"case": case, "op": op, "library": lib,
                                      "threads": self.threads, "times": times})
        compare.log(f"  [{self.threads} thr] {case:<52} {op:<6} {lib:<6} "
                    f"{compare.fmt_s(float(np.median(times))):>9} ({len(times)}x)")
        return result

    def check(self, case, what, verdicts):
        self.state["checks"].append({"case": case, "what": what, "columns": verdicts})

    def guarded(self, case, what, fn):
        """fn(), or None with the exception (vandra's internal error too) reported."""
        try:
            return fn()
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as e:  # reported; the other inputs go on
            self.check(case, what, {"*": f"raised {type(e).__name__}: {str(e)[:200]}"})
            compare.log(f"  [{self.threads} thr] {case}: {what} raised {type(e).__name__}: {e}")
            return None

    def frame_case(self, case, group, df):
        """vandra at every thread count (and the flight log's decode and memory); pandas and
        the checks in the first process of each pyarrow setting."""
        first, fit, keep = self.args.first, {}, {}
        got = self.guarded(case, "vandra encode", lambda: self.timed(
            case, "encode", "vandra", lambda: compare.vandra_encode(df, fit)))
        ref = self.guarded(case, "pandas encode", lambda: self.timed(
            case, "encode", "pandas", lambda: pandas_encode(df, keep))) if first else None
        if got is not None:
            self.state["digests"][case] = compare.digest(got)
        if got is not None and ref is not None:
            names = [str(c) for c in df.columns]
            self.check(case, "codes against pandas", code_verdicts(
                compare.as_float_array(got), compare.as_float_array(ref), names,
                set(names) - {str(c) for c in keep}))
        if group != "flight":
            return
        back = self.guarded(case, "vandra decode", lambda: self.timed(
            case, "decode", "vandra", lambda: compare.vandra_decode(got, fit))) if got is not None \
            else None
        if ref is not None:
            self.guarded(case, "pandas decode", lambda: self.timed(
                case, "decode", "pandas", lambda: compare.pandas_decode(ref, keep)))
            if back is not None:
                self.check(case, "decode gives the input's labels",
                           decode_verdicts(back, df, ref, keep))
        makers = {"vandra": lambda: compare.vandra_encode(df)}
        if first:
            makers["pandas"] = lambda: pandas_encode(df, {})
        for lib, maker in makers.items():
            mib = self.guarded(case, f"{lib} memory", lambda: compare.peak_growth(maker))
            if mib is not None:
                self.state["memory"].append({"case": case, "library": lib,
                                             "threads": self.threads, "mib": mib})

    def run(self):
        vandra.Encoder().encode(compare.mixed_object_frame(50))  # starts the pool
        started, reference = time.perf_counter(), None
        for case, group, arrow_only, build in CASES:
            if (group not in self.args.groups or case in self.args.skip
                    or not any(part in case for part in self.args.only)
                    or (arrow_only and pa is None)):
                continue
            self.state["current"] = case
            self.save()
            obj = build(self.args.rows)
            self.state["inputs"][case] = {"group": group, "dtypes": describe(obj)}
            compare.touch_memory(2048 if self.args.rows >= 1_000_000 else 512)
            if group != "array":
                self.frame_case(case, group, obj)
            elif (got := self.guarded(case, "vandra encode", lambda obj=obj: self.timed(
                    case, "encode", "vandra", lambda: compare.vandra_encode(obj)))) is not None:
                self.state["digests"][case] = compare.digest(got)
                if case == ARRAY_REFERENCE:
                    reference = got
                elif reference is not None:
                    self.check(case, "codes against the object array",
                               code_verdicts(got, reference, ["c0"], set()))
            del obj
            self.state["done"].append(case)
        self.state.update(current=None, elapsed=time.perf_counter() - started)
        self.save()


# --------------------------------------------------------------------------------------------
# The parent: one process per thread count and pyarrow setting, then the report

def run_pass(args, threads: int, no_pyarrow: bool, first: bool, groups: list[str]) -> dict:
    """One worker process; one that dies is started again after the input it died on."""
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OMP_NUM_THREADS=str(threads),
               OPENBLAS_NUM_THREADS=str(threads), MKL_NUM_THREADS=str(threads))
    env.pop("VANDRA_BENCH_NO_PYARROW", None)
    if no_pyarrow:
        env["VANDRA_BENCH_NO_PYARROW"] = "1"
    run: dict = {"threads": threads, "no_pyarrow": no_pyarrow or pa is None, "crashes": [],
                 "load": [os.getloadavg()[0]], "elapsed": 0.0, "records": [], "memory": [],
                 "checks": [], "digests": {}, "inputs": {}}
    skip: list[str] = []
    while True:
        fd, tmp = tempfile.mkstemp(suffix=".json")
        os.close(fd)
        cmd = [sys.executable, str(Path(__file__).resolve()), "--worker", "--json", tmp,
               "--rows", str(args.rows), "--reps", str(args.reps),
               "--min-time", str(args.min_time), "--groups", ",".join(groups),
               "--only", ",".join(args.only), "--skip", json.dumps(skip)]
        started = time.perf_counter()
        rc = subprocess.run(cmd + (["--first"] if first else []), env=env).returncode
        run["elapsed"] += time.perf_counter() - started
        text = Path(tmp).read_text()
        Path(tmp).unlink()
        part = json.loads(text) if text else {"done": [], "current": None}
        for key in ("records", "memory", "checks"):
            run[key] += part.get(key, [])
        for key in ("digests", "inputs"):
            run[key].update(part.get(key, {}))
        if rc == 0:
            break
        run["crashes"].append({"case": part["current"], "rc": rc})
        compare.log(f"  worker exited with status {rc} while on {part['current']!r}")
        if not part["current"] or part["current"] in skip:
            break
        skip += part["done"] + [part["current"]]
    run["load"].append(os.getloadavg()[0])
    return run


def orchestrate(args) -> int:
    started = time.perf_counter()
    compare.flight_log_csv(args.rows)  # written once, before the workers race for it
    groups = ["flight", "column", "array"]
    passes = [(tc, False, i == 0, groups) for i, tc in enumerate(args.threads)]
    if pa is not None and not args.skip_no_pyarrow:
        passes += [(tc, True, i == 0, groups if i == 0 else ["flight"])
                   for i, tc in enumerate(args.threads)]
    runs = [run_pass(args, *p) for p in passes]
    result = {"label": args.label or compare.versions()["vandra"], "versions": compare.versions(),
              "machine": f"{compare.cpu_model()}, {os.cpu_count()} CPUs, {platform.release()}",
              "command": shlex.join(["python", "bench/column_types.py", *sys.argv[1:]]),
              "rows": args.rows, "reps": args.reps, "min_time": args.min_time,
              "elapsed": time.perf_counter() - started, "runs": runs}
    before = json.loads(Path(args.before).read_text()) if args.before else None
    Path(args.json_out).parent.mkdir(parents=True, exist_ok=True)
    Path(args.json_out).write_text(json.dumps(result, indent=1))
    report = report_markdown(result, before)
    Path(args.md_out).write_text(report)
    print(report)
    compare.log(f"wrote {args.md_out} and {args.json_out} ({result['elapsed']:.0f} s)")
    return 1 if any(r["crashes"] for r in runs) else 0


def medians(result) -> dict:
    """{(input, "with"/"without" pyarrow, op, library): {threads: median s, or MiB}}"""
    out: dict = defaultdict(dict)
    for run in (result or {}).get("runs", []):
        mode = "without" if run["no_pyarrow"] else "with"
        for r in run["records"]:
            out[(r["case"], mode, r["op"], r["library"])][r["threads"]] = float(
                np.median(r["times"]))
        for m in run["memory"]:
            out[(m["case"], mode, "memory", m["library"])][m["threads"]] = m["mib"]
    return out


def report_markdown(result, before) -> str:
    now, old = medians(result), medians(before)
    tcs = sorted({r["threads"] for r in result["runs"]})
    inputs = {c: v for run in result["runs"] for c, v in run["inputs"].items()}
    order = [c for c, *_ in CASES if c in inputs]

    def cells(per: dict, fmt=compare.fmt_s) -> str:
        return " / ".join(fmt(per[tc]) if tc in per else "–" for tc in tcs) if per else "–"

    def ref_of(table, key, group) -> dict:
        """The reference per thread count: pandas, timed in one process, stands for every
        count; for the NumPy arrays it is vandra on the object array."""
        if group == "array":
            return table.get((ARRAY_REFERENCE, *key[1:], "vandra"), {})
        per = table.get((*key, "pandas"), {})
        return dict.fromkeys(tcs, next(iter(per.values()))) if per else {}

    def ratios(own: dict, ref: dict) -> str:
        return " / ".join(f"{own[tc] / ref[tc]:.2f}" if tc in own and ref.get(tc) else "–"
                          for tc in tcs) if own else "–"

    slash = " / ".join(map(str, tcs))
    passes = ", ".join(f"{r['threads']} thr {'without' if r['no_pyarrow'] else 'with'} pyarrow "
                       f"{r['elapsed']:.0f} s (load {r['load'][0]:.1f} → {r['load'][1]:.1f})"
                       for r in result["runs"])
    out = ["# vandra on datetime, category, nullable, Arrow and NumPy text columns\n",
           f"`{result['command']}` (`make bench-types`, part of `make bench`): "
           f"{result['elapsed']:.0f} s, {result['rows']:,} rows, {result['machine']}. "
           f"Processes: {passes}.\n",
           f"- {'after' if before else 'build'}: {result['label']}; " + ", ".join(
               f"{k} {v}" for k, v in result["versions"].items() if k != "vandra")]
    if before:
        out.append(f"- before: {before['label']} ({before['rows']:,} rows"
                   + ("" if before["rows"] == result["rows"] else ", **not this run's size**")
                   + f", {before['elapsed']:.0f} s); " + ", ".join(
                       f"{k} {v}" for k, v in before["versions"].items() if k != "vandra"))
    more = (f" (more, up to 15, while they add up to less than {result['min_time']} s)"
            if result["min_time"] else "")
    out.append(f"""
Medians of {result['reps']} calls{more}. Each thread count ({slash}) runs in its own process with \
`RAYON_NUM_THREADS` set, and again with the import of pyarrow blocked ("without": pandas' str \
is then python-backed). The reference for frames is pandas on one thread, timed once per \
setting: `factorize(sort=True)` per non-numeric column and `to_numpy(float64, na_value=nan)` \
per numeric one, into one float64 frame; decode: `uniques.take` per column. For the NumPy text \
arrays it is vandra on the same texts in an object array. "÷ ref": vandra's time over the \
reference's (below 1: vandra is faster; before: over the before run's own reference); \
speed-up: before over after. Cells: {slash} threads.
""")
    head = ["input", "pyarrow", "op", "reference"] + (
        ["vandra before", "÷ ref", "vandra after", "÷ ref", "speed-up"] if before
        else ["vandra", "÷ ref"])
    for group, title in (("flight", "Flight log (19 columns, 5 text) as read"),
                         ("column", "One column beside a float64 column"),
                         ("array", "NumPy text arrays, one column")):
        rows = []
        for key in [(c, m, o) for c in order if inputs[c]["group"] == group
                    for m in ("with", "without") for o in ("encode", "decode")]:
            own, ref = now.get((*key, "vandra")), ref_of(now, key, group)
            if not own:
                continue
            row = [*key, cells(ref) if group == "array" else
                   compare.fmt_s(ref[tcs[0]]) if ref else "–"]
            if before:
                prev = old.get((*key, "vandra"), {})
                row += [cells(prev), ratios(prev, ref_of(old, key, group))]
            row += [cells(own), ratios(own, ref)]
            if before:
                row.append(" / ".join(f"{prev[tc] / own[tc]:.1f}×" if tc in prev and tc in own
                                      else "–" for tc in tcs))
            rows.append("| " + " | ".join(row) + " |")
        if rows:
            out += [f"## {title}\n", "| " + " | ".join(head) + " |",
                    "|---|---|---|" + "---:|" * (len(head) - 3), *rows, ""]
    mib = lambda v: f"{v:.0f}"  # noqa: E731
    out += ["## Peak memory of one flight-log encode (MiB above the input)\n",
            "| input | pyarrow | pandas |" + (" vandra before | vandra after |" if before
                                                else " vandra |"),
            "|---|---|---:|" + "---:|" * (2 if before else 1)]
    for key in [(c, m, "memory") for c in order if inputs[c]["group"] == "flight"
                for m in ("with", "without") if (c, m, "memory", "vandra") in now]:
        pandas_mib = list(now.get((*key, "pandas"), {}).values())
        out.append(f"| {key[0]} | {key[1]} | {mib(pandas_mib[0]) if pandas_mib else '–'} |"
                   + (f" {cells(old.get((*key, 'vandra'), {}), mib)} |" if before else "")
                   + f" {cells(now[(*key, 'vandra')], mib)} |")
    out += ["", "## Inputs\n"]
    for c in order:
        how = c.removeprefix("read_csv ")
        read = ("" if how not in FLIGHT_READS else "read_csv(path).astype(category) for text; "
                if FLIGHT_READS[how] is None else "read_csv(path" + "".join(
                    f", {k}={v!r}" for k, v in FLIGHT_READS[how].items()) + "); ")
        out.append(f"- {c}: {read}dtypes {inputs[c]['dtypes']}")
    checks = check_lines(result)
    out += ["", "## Checks\n", "vandra's codes against pandas' (the NumPy arrays: against the "
            "object array's), its decode against str() of each input cell, and its codes at "
            "each thread count against each other.\n", *checks]
    if before:
        old_checks = check_lines(before)
        out += ["", "Before: " + ("the same." if old_checks == checks else "\n"),
                *([] if old_checks == checks else old_checks)]
    return "\n".join(out) + "\n"


def check_lines(result) -> list[str]:
    """Disagreements, each kind once per input with its columns and the settings it was seen
    in; workers that died; results that changed with the thread count."""
    seen: dict = defaultdict(lambda: ({}, {}))
    digests: dict = defaultdict(set)
    ok = 0
    for run in result["runs"]:
        mode = "without" if run["no_pyarrow"] else "with"
        for c in run["crashes"]:
            seen[(c["case"], f"**the worker died** (status {c['rc']})", "")][1][
                f"{mode} pyarrow, {run['threads']} thr"] = 1
        for chk in run["checks"]:
            bad = {col: v for col, v in chk["columns"].items() if v != "same"}
            ok += not bad
            for col, verdict in bad.items():
                kind, _, detail = verdict.partition(": ")
                cols, where = seen[(chk["case"], chk["what"], kind)]
                cols.setdefault(col, detail)
                where[f"{mode} pyarrow"] = 1
        for case, d in run["digests"].items():
            digests[(case, mode)].add(d)
    lines = []
    for (case, what, kind), (cols, where) in seen.items():
        col, detail = next(iter(cols.items()), ("", ""))
        lines.append(f"- {case}, {what}{': ' + kind if kind else ''}"
                     + (f" in {', '.join(f'`{c}`' for c in cols)}" if cols else "")
                     + (f" (`{col}`: {detail})" if detail else "") + f"; {', '.join(where)}")
    lines += [f"- {case}, {mode} pyarrow: **vandra's codes differ between thread counts**"
              for (case, mode), ds in digests.items() if len(ds) > 1]
    return [f"{ok} check{'s' * (ok != 1)} found every column the same; the others:",
            *(lines or ["- none"])]


def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rows", type=int, default=0, help="rows (default 1,000,000)")
    ap.add_argument("--threads", default="1,2", help="thread counts, one process each")
    ap.add_argument("--reps", type=int, default=0, help="calls per median (default 3)")
    ap.add_argument("--min-time", type=float, default=None,
                    help="repeat calls, up to 15, while they add up to less (default 1 s)")
    ap.add_argument("--quick", action="store_true", help="100,000 rows, 2 calls per median")
    ap.add_argument("--json-out", default=str(compare.RESULTS / "column_types.json"))
    ap.add_argument("--md-out", help="the report (default: --json-out's name with .md)")
    ap.add_argument("--before", help="JSON of an earlier run, shown beside this one")
    ap.add_argument("--label", help="this build's name in the report (default: its version)")
    ap.add_argument("--only", default="", help="comma-separated parts of input names to run")
    ap.add_argument("--skip-no-pyarrow", action="store_true",
                    help="leave out the runs with pyarrow blocked")
    for hidden in ("--worker", "--first"):
        ap.add_argument(hidden, action="store_true", help=argparse.SUPPRESS)
    for hidden, default in (("--json", ""), ("--groups", "flight,column,array"), ("--skip", "[]")):
        ap.add_argument(hidden, default=default, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    args.rows = args.rows or (100_000 if args.quick else 1_000_000)
    args.reps = args.reps or (2 if args.quick else 3)
    if args.min_time is None:
        args.min_time = 0.0 if args.quick else 1.0
    args.threads = [int(t) for t in args.threads.split(",")]
    args.md_out = args.md_out or str(Path(args.json_out).with_suffix(".md"))
    args.groups, args.only = args.groups.split(","), args.only.split(",")
    args.skip = set(json.loads(args.skip))
    return args


def main() -> int:
    args = parse_args(sys.argv[1:])
    if args.worker:
        Worker(args).run()
        return 0
    return orchestrate(args)


if __name__ == "__main__":
    sys.exit(main())

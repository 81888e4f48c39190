#!/usr/bin/env python3
"""The calls a user times: each in a fresh process, with no memory touched beforehand.

For each workload, library and thread count, several fresh processes each load the table
and then encode it CALLS times; the report gives the first call (median over processes), the
worst of the first three, the steady median (calls 4 on) and the process's peak RSS. The
pandas peer is the plain idiom a user writes: a dict of factorized text columns and float
columns, made into a frame.

    python bench/first_call.py                 # 1,000,000 rows, 1 and 2 threads, 3 processes each
    python bench/first_call.py --quick         # 100,000 rows, 2 processes
    python bench/first_call.py --no-pyarrow    # pandas without pyarrow (python-backed str)
    python bench/first_call.py --readme README.md   # also the table between its markers there
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import resource
import statistics
import subprocess
import sys
import textwrap
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
CALLS = 6
WORKLOADS = ["flight log", "flight log, object", "8-column frame", "8-column frame, object"]


def load(workload: str, rows: int):
    sys.path.insert(0, str(HERE))
    import compare  # blocks pyarrow first where asked (VANDRA_BENCH_NO_PYARROW)

    if workload.startswith("flight log"):
        return compare.flight_log(rows, text_as_object=workload.endswith("object"))
    frame = compare.mixed_object_frame(rows)
    if workload.endswith("object"):
        return frame
    return compare.with_text_dtype(frame, compare.pd.Series(["a"]).dtype)


def pandas_plain(df):
    import numpy as np
    import pandas as pd

    text = [c for c in df.columns if not pd.api.types.is_numeric_dtype(df[c].dtype)]

    def run():
        cols = {}
        for c in df.columns:
            if c in text:
                codes, _ = pd.factorize(df[c], sort=True)
                col = codes.astype(np.float64)
                col[codes < 0] = np.nan
                cols[c] = col
            else:
                cols[c] = df[c].to_numpy(np.float64)
        return pd.DataFrame(cols)
    return run


def child(lib: str, workload: str, rows: int) -> None:
    df = load(workload, rows)
    if lib == "vandra":
        import vandra

        run = vandra.Encoder().encode
        call = lambda: run(df)  # noqa: E731
    else:
        call = pandas_plain(df)
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    times = []
    for _ in range(CALLS):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
        del result
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"times": times, "rss_mib": peak / 1024,
                      "rss_growth_mib": (peak - base) / 1024}))


def spawn(lib: str, workload: str, rows: int, threads: int, no_pyarrow: bool) -> dict:
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    if no_pyarrow:
        env["VANDRA_BENCH_NO_PYARROW"] = "1"
    out = subprocess.run([sys.executable, __file__, "--child", lib, workload, str(rows)],
                         env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def summary(runs: list[dict]) -> dict:
    first = statistics.median(r["times"][0] for r in runs)
    worst3 = statistics.median(max(r["times"][:3]) for r in runs)
    steady = statistics.median(t for r in runs for t in r["times"][3:])
    rss = statistics.median(r["rss_growth_mib"] for r in runs)
    return {"first": first, "worst3": worst3, "steady": steady, "rss": rss}


def readme_table(figures: list[dict]) -> str:
    ms = lambda s: f"{s * 1e3:.0f}"  # noqa: E731
    lines = ["| workload | threads | vandra first / worst of 3 / steady | pandas first / steady "
             "| first ÷ pandas' | steady ÷ pandas' |", "|---|---:|---:|---:|---:|---:|"]
    for f in figures:
        ours, peer = f["vandra"], f["pandas"]
        lines.append(f"| {f['workload']} | {f['threads']} | {ms(ours['first'])} / "
                     f"{ms(ours['worst3'])} / {ms(ours['steady'])} ms | {ms(peer['first'])} / "
                     f"{ms(peer['steady'])} ms | {ours['first'] / peer['first']:.2f} | "
                     f"{ours['steady'] / peer['steady']:.2f} |")
    return "\n".join(lines) + "\n"


def write_readme(path: Path, name: str, section: str) -> None:
    start_mark = f"<!-- {name}: written by bench/first_call.py; edits here are overwritten -->"
    end_mark = f"<!-- {name}: end -->"
    text = path.read_text()
    start, end = text.find(start_mark), text.find(end_mark)
    if start < 0 or end < start:
        raise SystemExit(f"{path}: no {start_mark!r} ... {end_mark!r} markers")
    start += len(start_mark)
    path.write_text(text[:start] + "\n" + section + text[end:])


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--child", nargs=3, metavar=("LIB", "WORKLOAD", "ROWS"))
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--processes", type=int, default=3)
    ap.add_argument("--threads", default="1,2")
    ap.add_argument("--workloads", default=";".join(WORKLOADS), help="separated by ;")
    ap.add_argument("--no-pyarrow", action="store_true")
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--json", type=Path, help="also write the figures here")
    ap.add_argument("--readme", type=Path, help="write the table between this file's markers")
    args = ap.parse_args()
    if args.child:
        child(args.child[0], args.child[1], int(args.child[2]))
        return 0
    if args.quick:
        args.rows, args.processes = 100_000, 2
    threads = [int(t) for t in args.threads.split(",")]
    workloads = args.workloads.split(";")
    commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True,
                            text=True, cwd=HERE).stdout.strip()
    print(f"first calls, {args.rows:,} rows, {args.processes} fresh processes each, commit "
          f"{commit}, {platform.python_implementation()} {platform.python_version()}, "
          f"{'without' if args.no_pyarrow else 'with'} pyarrow, {os.cpu_count()} CPUs")
    print("| workload | threads | vandra first / worst of 3 / steady ms | pandas first / steady ms"
          " | first ÷ | worst3 ÷ own steady | steady ÷ | peak RSS growth MiB, vandra / pandas |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    figures = []
    for w in workloads:
        peer = summary([spawn("pandas", w, args.rows, 1, args.no_pyarrow)
                        for _ in range(args.processes)])
        for t in threads:
            ours = summary([spawn("vandra", w, args.rows, t, args.no_pyarrow)
                            for _ in range(args.processes)])
            figures.append({"workload": w, "threads": t, "vandra": ours, "pandas": peer})
            ms = lambda s: f"{s * 1e3:.0f}"  # noqa: E731
            print(f"| {w} | {t} | {ms(ours['first'])} / {ms(ours['worst3'])} / {ms(ours['steady'])}"
                  f" | {ms(peer['first'])} / {ms(peer['steady'])}"
                  f" | {ours['first'] / peer['first']:.2f} | {ours['worst3'] / ours['steady']:.2f}"
                  f" | {ours['steady'] / peer['steady']:.2f}"
                  f" | {ours['rss']:.0f} / {peer['rss']:.0f} |", flush=True)
    if args.json:
        args.json.write_text(json.dumps(figures, indent=1))
    if args.readme:
        arrow = "without pyarrow" if args.no_pyarrow else "with pyarrow"
        heading = (f"First calls {arrow}: {args.rows:,} rows, each library in "
                   f"{args.processes} fresh processes per row, 6 calls each, no memory touched "
                   f"beforehand (`make bench-first-call`, commit {commit}); the first call and "
                   "the worst of the first three are medians over the processes, steady the "
                   "median of calls 4 to 6; pandas is the plain idiom on one thread.")
        write_readme(args.readme, "first calls" + (", no pyarrow" if args.no_pyarrow else ""),
                     textwrap.fill(heading, width=95, break_long_words=False,
                                   break_on_hyphens=False) + "\n\n" + readme_table(figures))
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Peak resident memory of encode and decode on compare.py's tables (Linux only).

    python bench/peak_memory.py [--rows N]
    python bench/peak_memory.py --distinct 10000000   # N distinct object texts, against pandas

For each table: the input's own resident size, how far encode's peak rises above it, what
the result and the remembered fit keep resident afterwards, and decode's peak above that.
With --distinct: the peak of encoding one object column of N distinct texts against that of
pandas' factorize(sort=True), each in a fresh process. The peak is the kernel's high-water
mark (VmHWM), reset before each call through /proc/self/clear_refs.
"""

import argparse
import gc
import json
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import compare

import vandra


def status_mib(field: str) -> float:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) / 1024
    raise KeyError(field)


def reset_peak() -> float:
    gc.collect()
    Path("/proc/self/clear_refs").write_text("5")
    return status_mib("VmRSS")


def distinct_child(lib: str, rows: int) -> None:
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(0)
    texts = np.array([f"text{i:09d}" for i in rng.permutation(rows)], dtype=object)
    base = reset_peak()
    if lib == "vandra":
        result = vandra.Encoder().encode(texts.reshape(-1, 1))
    else:
        result = pd.factorize(texts, sort=True)
    print(json.dumps(status_mib("VmHWM") - base))
    del result


def distinct(rows: int) -> None:
    peaks = {}
    for lib in ("vandra", "pandas"):
        out = subprocess.run([sys.executable, __file__, "--child", lib, str(rows)], check=True,
                             capture_output=True, text=True).stdout
        peaks[lib] = json.loads(out.strip().splitlines()[-1])
    print(f"{rows:,} distinct object texts: encode peak +{peaks['vandra']:.0f} MiB, pandas "
          f"factorize(sort=True) +{peaks['pandas']:.0f} MiB, ratio "
          f"{peaks['vandra'] / peaks['pandas']:.2f}")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--distinct", type=int, metavar="N")
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return distinct_child(args.child[0], int(args.child[1]))
    if args.distinct:
        return distinct(args.distinct)
    rows = args.rows
    tables = {"1 mixed frame, object": compare.mixed_object_frame,
              "3 object array of str": compare.object_array}
    for name, make in tables.items():
        start = reset_peak()
        obj = make(rows)
        held = reset_peak()
        enc = vandra.Encoder()
        codes = enc.encode(obj)
        encode_peak = status_mib("VmHWM")
        kept = reset_peak()
        back = enc.decode(codes)
        decode_peak = status_mib("VmHWM")
        print(f"{name}, {rows:,} rows: input {held - start:.0f} MiB; encode peak +"
              f"{encode_peak - held:.0f} MiB; result and fit keep {kept - held:.0f} MiB; "
              f"decode peak +{decode_peak - kept:.0f} MiB")
        del obj, codes, back, enc


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Peak resident memory of encode and decode on compare.py's tables (Linux only).

    python bench/peak_memory.py [--rows N]

For each table: the input's own resident size, how far encode's peak rises above it, what
the result and the remembered fit keep resident afterwards, and decode's peak above that.
The peak is the kernel's high-water mark (VmHWM), reset before each call through
/proc/self/clear_refs.
"""

import argparse
import gc
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


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    rows = parser.parse_args().rows
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

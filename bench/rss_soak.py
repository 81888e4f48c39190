"""Resident memory over a long loop of encode/decode calls (not part of the tests).

    python bench/rss_soak.py [--seconds 60] [--every 5] [--kinds array,object,frame,duck,error]

Prints the process's RSS and the interpreter's allocated blocks at intervals; a leak shows
as steady growth after the first intervals (they include the pool's threads, pandas'
caches and the allocator's arenas filling up). Ends with the growth per thousand calls from
the second sample on. The refused type names (fd 1) and internal-error notes (fd 2) of the
error paths are discarded; the report goes to the original standard output.
"""

import argparse
import gc
import os
import sys
import time

import numpy as np
import pandas as pd

import vandra


def rss_mib():
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") / 2**20


def workloads(rng):
    enc = vandra.Encoder()
    labels = np.array([f"label{i}" for i in range(500)], dtype=object)
    obj = labels[rng.integers(0, 500, (200, 4))]
    obj[::7, 1] = None
    obj[:, 3] = rng.random(200)
    floats = rng.random((200, 4))
    frame = pd.DataFrame(obj, columns=["a", "b", "c", "d"])
    duck = type("DataFrame", (), {"columns": ["a", "b", "c", "d"], "shape": obj.shape,
                                  "values": obj})()

    class BadStr:
        def __str__(self):
            raise ValueError("no text")

    bad = np.array([["x"], [BadStr()]], dtype=object)

    def error_paths():
        for call, arg in ((enc.encode, [1]), (enc.encode, bad), (enc.decode, np.zeros(3))):
            try:
                call(arg)
            except BaseException:  # noqa: B036 - the internal error is a BaseException
                pass

    return {
        "array": lambda: enc.decode(enc.encode(floats)),
        "object": lambda: enc.decode(enc.encode(obj)),
        "frame": lambda: enc.decode(enc.encode(frame)),
        "duck": lambda: enc.decode(enc.encode(duck)),
        "error": error_paths,
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--every", type=float, default=5.0)
    ap.add_argument("--kinds", default="array,object,frame,duck,error")
    args = ap.parse_args()
    table = workloads(np.random.default_rng(0))
    calls = [table[k] for k in args.kinds.split(",")]
    out = os.fdopen(os.dup(1), "w")
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.dup2(devnull, 2)
    print(f"{'seconds':>8} {'calls':>10} {'rss MiB':>9} {'blocks':>10}", file=out)
    start = time.monotonic()
    next_report = start
    n = 0
    samples = []
    while True:
        now = time.monotonic()
        if now >= next_report:
            gc.collect()
            samples.append((n, rss_mib(), sys.getallocatedblocks()))
            print(f"{now - start:8.1f} {n:10d} {samples[-1][1]:9.1f} {samples[-1][2]:10d}",
                  file=out, flush=True)
            next_report += args.every
            if now - start >= args.seconds:
                break
        for call in calls:
            call()
        n += len(calls)
    if len(samples) >= 3 and samples[-1][0] > samples[1][0]:
        (n1, r1, b1), (n2, r2, b2) = samples[1], samples[-1]
        per = 1e3 / (n2 - n1)
        print(f"growth per thousand calls after the first sample: "
              f"{(r2 - r1) * per * 1024:.1f} KiB RSS, {(b2 - b1) * per:.1f} blocks", file=out)


if __name__ == "__main__":
    main()

"""How well verify_manifest and create_manifest spread their file work over the cores: each
call's wall time against the floor its own CPU time sets (CPU seconds of every thread /
cores in use). verify.py and create.py hold the goals against the two-core ideal; this adds
why a gap remains: near 1.0 here, the rest is CPU work (each part already keeps more than
one core busy: a reader thread beside the hash or the row parser), not waiting.

On a machine busy with other work, run it under `chrt -f 1` (as root) to have the cores."""

from __future__ import annotations

import os
import resource
import sys
import time

import zarnik_manifest as zm
from benchlib import AUX_BYTES, AUX_COUNT, GiB, MiB, ROWS, info, interleaved, limits, median_time, scratch, write_bundle


def cpu_and_wall(fn) -> tuple[float, float]:
    """CPU seconds of every thread of this process, and wall seconds, of one run of fn."""
    def cpu() -> float:
        r = resource.getrusage(resource.RUSAGE_SELF)
        return r.ru_utime + r.ru_stime

    c, t = cpu(), time.perf_counter()
    fn()
    return cpu() - c, time.perf_counter() - t


def main() -> int:
    kw = limits()
    cores = min(2, os.cpu_count() or 1)
    with scratch("zm-bench-conc-") as tmp:
        b = write_bundle(tmp)
        out = os.path.join(tmp, "out.json")
        print(f"index {b['index_bytes'] / GiB:.2f} GiB, row map {ROWS} rows, {AUX_COUNT} x {AUX_BYTES / MiB:.0f} MiB "
              f"auxiliary files (page cache); floor = CPU time / {cores} cores")
        calls = {
            "verify_manifest": lambda: zm.verify_manifest(b["manifests"]["full"], **kw),
            "create_manifest": lambda: zm.create_manifest(b["index"], out, "bench", row_map=b["rows"],
                                                          auxiliary_artifacts=b["aux"], **kw),
            "sha256_file": lambda: zm.sha256_file(b["index"]),
        }
        rounds = interleaved(calls)
        for name, fn in calls.items():
            cpu, wall = min((cpu_and_wall(fn) for _ in range(3)), key=lambda cw: cw[1])
            info(f"{name:<16} {median_time(rounds, name):6.3f} s wall (median), fastest run {wall:6.3f} s wall "
                 f"{cpu:6.3f} s CPU: wall / floor {wall / (cpu / cores):5.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

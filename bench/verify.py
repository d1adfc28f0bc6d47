"""verify_manifest of an index, a row map and auxiliary files against its two-core ideal,
max(index-only verify, rows-only verify, aux-only verify, their sum / 2): what the same
work costs when the three kinds of file are checked side by side on two cores. Then the
auxiliary files alone against sha256_file of the same files."""

from __future__ import annotations

import os
import sys

import zarnik_manifest as zm
from benchlib import (AUX_BYTES, AUX_COUNT, GiB, MiB, ROWS, cpus_busy, figure, info, interleaved, limits,
                      median_ratio, median_time, scratch, write_bundle)


def ideal(r: dict[str, float], index: str, rows: str, aux: str) -> float:
    return max(r[index], r[rows], r[aux], (r[index] + r[rows] + r[aux]) / 2)


def main() -> int:
    kw = limits()
    with scratch("zm-bench-verify-") as tmp:
        b = write_bundle(tmp)
        m = b["manifests"]
        print(f"index {b['index_bytes'] / GiB:.2f} GiB, row map {ROWS} rows ({b['rows_bytes'] / MiB:.0f} MiB), "
              f"{AUX_COUNT} x {AUX_BYTES / MiB:.0f} MiB auxiliary files (page cache)")
        verify = {name: (lambda path=path: zm.verify_manifest(path, **kw)) for name, path in m.items()}
        rounds = interleaved(verify)
        for name in m:
            info(f"verify {name:<6} {median_time(rounds, name):7.3f} s")
        info(f"CPUs busy during the full verify: {cpus_busy(verify['full']):.2f}")
        figure("verify_manifest / 2-core ideal", median_ratio(rounds, lambda r: r["full"] / ideal(r, "index", "rows", "aux")),
               1.2)

        aux_rounds = interleaved({"verify aux": verify["aux"],
                                  "sha256_file aux": lambda: [zm.sha256_file(p) for p in b["aux_paths"]]})
        info(f"verify aux {median_time(aux_rounds, 'verify aux'):.3f} s, "
             f"sha256_file of the same files {median_time(aux_rounds, 'sha256_file aux'):.3f} s")
        figure("verify auxiliary files / sha256_file of them",
               median_ratio(aux_rounds, lambda r: r["verify aux"] / r["sha256_file aux"]), 1.25)
    return 0


if __name__ == "__main__":
    sys.exit(main())

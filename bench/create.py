"""create_manifest of an index, a row map and auxiliary files against its two-core ideal,
max(sha256_file of the index, rows-only verify, sha256_file of the auxiliary files, their
sum / 2); with ZM_BENCH_PYTHON_PEER=1 also a pure-Python create of the index and row map."""

from __future__ import annotations

import hashlib
import json
import os
import sys
import uuid

import zarnik_manifest as zm
from benchlib import (AUX_BYTES, AUX_COUNT, GiB, MiB, ROWS, best, cpus_busy, figure, info, interleaved, limits,
                      median_ratio, median_time, scratch, timed, write_bundle)


def python_create(index: str, row_map: str) -> dict:
    """What create_manifest does, in plain Python: hash the index, then hash the row map
    while checking every line strictly enough to be a fair peer."""
    with open(index, "rb") as fh:
        index_digest = hashlib.file_digest(fh, "sha256").hexdigest()
    h = hashlib.sha256()
    seen = set()
    rows = 0
    with open(row_map, "rb") as fh:
        for i, line in enumerate(fh):
            h.update(line)
            row = json.loads(line)
            if set(row) - {"row_id", "db_id", "parent_id"} or row["row_id"] != i:
                raise ValueError(f"line {i} is not a strict row")
            uuid.UUID(row["db_id"])
            if row["db_id"] in seen:
                raise ValueError(f"line {i} repeats db_id")
            seen.add(row["db_id"])
            rows += 1
    return {"index": index_digest, "row_map": h.hexdigest(), "rows": rows}


def main() -> int:
    kw = limits()
    with scratch("zm-bench-create-") as tmp:
        b = write_bundle(tmp)
        out = os.path.join(tmp, "out.json")
        print(f"index {b['index_bytes'] / GiB:.2f} GiB, row map {ROWS} rows ({b['rows_bytes'] / MiB:.0f} MiB), "
              f"{AUX_COUNT} x {AUX_BYTES / MiB:.0f} MiB auxiliary files (page cache)")
        create = lambda: zm.create_manifest(b["index"], out, "bench", row_map=b["rows"],  # noqa: E731
                                            auxiliary_artifacts=b["aux"], **kw)
        manifest = create()
        for path, digest in ((b["index"], manifest["artifact"]["sha256"]), (b["rows"], manifest["row_identity"]["sha256"])):
            with open(path, "rb") as fh:
                assert hashlib.file_digest(fh, "sha256").hexdigest() == digest
        rounds = interleaved({
            "create": create,
            "index": lambda: zm.sha256_file(b["index"]),
            "rows": lambda: zm.verify_manifest(b["manifests"]["rows"], **kw),
            "aux": lambda: [zm.sha256_file(p) for p in b["aux_paths"]],
        })
        for name in ("create", "index", "rows", "aux"):
            info(f"{name:<7} {median_time(rounds, name):7.3f} s")
        info(f"CPUs busy during create_manifest: {cpus_busy(create):.2f}")
        figure("create_manifest / 2-core ideal", median_ratio(
            rounds, lambda r: r["create"] / max(r["index"], r["rows"], r["aux"], (r["index"] + r["rows"] + r["aux"]) / 2)),
            1.2)
        if os.environ.get("ZM_BENCH_PYTHON_PEER") == "1":  # slow: a minute or more
            python = best(lambda: python_create(b["index"], b["rows"]), repeat=1)
            alone = timed(lambda: zm.create_manifest(b["index"], out, "bench", row_map=b["rows"], **kw))
            info(f"pure-Python create of index and row map {python:.2f} s = {python / alone:.1f}x create_manifest")
    return 0


if __name__ == "__main__":
    sys.exit(main())

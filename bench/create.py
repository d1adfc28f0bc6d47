"""create_manifest on a ~1 GiB index with a 1.5-million-row map, against the floor of
hashing both files with `openssl dgst -sha256`, and against a pure-Python path
(hashlib.file_digest of both files plus a per-line json.loads validator).

Sizes can be scaled down with ZM_BENCH_ROWS and ZM_BENCH_INDEX_BYTES.
"""

from __future__ import annotations

import hashlib
import json
import os
import shutil
import subprocess
import tempfile
import time
import uuid

import zarnik_manifest as zm
from timing import best
from zarnik_manifest import samples

ROWS = int(os.environ.get("ZM_BENCH_ROWS", 1_500_000))
INDEX_BYTES = int(os.environ.get("ZM_BENCH_INDEX_BYTES", 1 << 30))



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
    dim = max(2, min(65535, round(INDEX_BYTES / ROWS / 2)))
    tmp = tempfile.mkdtemp(prefix="zm-bench-create-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        index = os.path.join(tmp, "index.zkr")
        row_map = os.path.join(tmp, "rows.jsonl")
        t = time.perf_counter()
        index_size = samples.write_index(index, "rank", dim=dim, n_vectors=ROWS)
        samples.write_row_map(row_map, ROWS)
        map_size = os.path.getsize(row_map)
        print(f"index: rank dim={dim}, {ROWS} vectors, {index_size / (1 << 30):.2f} GiB; "
              f"row map: {ROWS} rows, {map_size / (1 << 20):.1f} MiB (written in {time.perf_counter() - t:.1f} s)")
        out = os.path.join(tmp, "m.json")

        manifest = zm.create_manifest(index, out, "bench-model", row_map=row_map)
        reference = python_create(index, row_map)
        assert manifest["artifact"]["sha256"] == reference["index"]
        assert manifest["row_identity"]["sha256"] == reference["row_map"]
        assert manifest["row_identity"]["row_count"] == reference["rows"] == ROWS

        results = {"create_manifest": best(lambda: zm.create_manifest(index, out, "bench-model", row_map=row_map))}
        if shutil.which("openssl"):
            results["openssl dgst (both files)"] = best(
                lambda: subprocess.run(["openssl", "dgst", "-sha256", index, row_map], check=True, capture_output=True))
        results["pure Python"] = best(lambda: python_create(index, row_map), repeat=2)

        base = results["create_manifest"]
        total = (index_size + map_size) / (1 << 30)
        for name, seconds in results.items():
            print(f"  {name:<26} {seconds:7.3f} s  {total / seconds:6.2f} GiB/s  "
                  f"time vs create_manifest {seconds / base:5.2f}x")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())

"""Row-map verification throughput: verify_manifest over a 1.5 million row JSON-lines map
(~130 MB in /dev/shm) with a tiny index, against a pure-Python validator of the same
rules and against `openssl dgst -sha256` of the same file. Prints times, ratios and the
peak RSS of the verify run (measured in a child process so nothing else inflates it)."""

from __future__ import annotations

import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import uuid

import zarnik_manifest as zm
from timing import best

ROWS = int(os.environ.get("ZM_BENCH_ROWS", 1_500_000))



def write_bundle(root: str, rows: int) -> str:
    """A rank index of `rows` 2-dimensional vectors, its row map, and the manifest."""
    index = b"ZKR1" + bytes([1]) + struct.pack("<II", 2, rows) + bytes(4 * rows)
    with open(os.path.join(root, "index.rank"), "wb") as fh:
        fh.write(index)
    digest = hashlib.sha256()
    with open(os.path.join(root, "rows.jsonl"), "wb") as fh:
        batch = []
        for i in range(rows):
            parent = f'"{uuid.UUID(int=i * 7919 + 3)}"' if i % 4 == 0 else "null"
            batch.append(f'{{"row_id":{i},"db_id":"{uuid.UUID(int=(i * 2654435761) ^ (1 << 100))}","parent_id":{parent}}}\n')
            if len(batch) == 10000:
                data = "".join(batch).encode()
                fh.write(data)
                digest.update(data)
                batch = []
        data = "".join(batch).encode()
        fh.write(data)
        digest.update(data)
    manifest = {
        "schema_version": "zarnik.index_manifest.v1",
        "manifest_id": "urn:uuid:" + str(uuid.UUID(int=42)),
        "created_at": "2024-05-01T12:00:00Z",
        "artifact": {"path": "index.rank", "sha256": hashlib.sha256(index).hexdigest(), "kind": "rank",
                     "format_version": 1, "dim": 2, "vector_count": rows, "bytes_per_vec": 4,
                     "params": {"kind": "rank"}, "file_size_bytes": len(index)},
        "embedding": {"model": "bench", "dim": 2},
        "row_identity": {"kind": "jsonl", "path": "rows.jsonl", "sha256": digest.hexdigest(), "row_count": rows,
                         "id_kind": "uuid"},
    }
    path = os.path.join(root, "manifest.json")
    with open(path, "w") as fh:
        json.dump(manifest, fh)
    return path


def python_validator(path: str, expected: int) -> tuple[int, str]:
    """The row rules in plain Python: strict keys, row_id, UUIDs, duplicates, digest."""
    seen: set[str] = set()
    h = hashlib.sha256()
    errors = 0
    n = 0
    with open(path, "rb") as fh:
        for i, raw in enumerate(fh):
            h.update(raw)
            n = i + 1
            try:
                row = json.loads(raw)
            except ValueError:
                errors += 1
                continue
            if not isinstance(row, dict) or set(row) - {"row_id", "db_id", "parent_id"} or row.get("row_id") != i:
                errors += 1
            for key in ("db_id", "parent_id"):
                value = row.get(key)
                if value is None and key == "parent_id":
                    continue
                try:
                    uuid.UUID(value)
                except (TypeError, ValueError):
                    errors += 1
            db = row.get("db_id")
            if db in seen:
                errors += 1
            seen.add(db)
    assert errors == 0 and n == expected
    return n, h.hexdigest()


CHILD = """
import resource, sys, time
import zarnik_manifest as zm
t = time.perf_counter()
r = zm.verify_manifest(sys.argv[1])
t = time.perf_counter() - t
assert r["ok"], r["errors"][:3]
print(t, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def main() -> int:
    tmp = tempfile.mkdtemp(prefix="zm-rowmap-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        manifest = write_bundle(tmp, ROWS)
        rows_path = os.path.join(tmp, "rows.jsonl")
        mb = os.path.getsize(rows_path) / 1e6
        # The child runs first: ru_maxrss survives fork and exec on Linux, so a child
        # started after the Python validator grew this process would report its peak.
        child = subprocess.run([sys.executable, "-c", CHILD, manifest], check=True, capture_output=True, text=True,
                               env=os.environ)
        child_time, rss_kib = child.stdout.split()
        report = zm.verify_manifest(manifest)
        assert report["ok"], report["errors"][:3]
        results = {"verify_manifest": best(lambda: zm.verify_manifest(manifest))}
        results["python validator"] = best(lambda: python_validator(rows_path, ROWS), repeat=1)
        if shutil.which("openssl"):
            results["openssl dgst -sha256"] = best(
                lambda: subprocess.run(["openssl", "dgst", "-sha256", rows_path], check=True, capture_output=True))
        base = results["verify_manifest"]
        print(f"row map: {ROWS} rows, {mb:.1f} MB (/dev/shm)")
        for name, t in results.items():
            print(f"  {name:<22} {t:7.3f} s  {mb / t:8.1f} MB/s  time / verify_manifest {t / base:6.2f}x")
        print(f"  verify run in a fresh process: {float(child_time):.3f} s, peak RSS {int(rss_kib) / 1024:.1f} MiB")
        print(f"  goals: >= 40x the Python validator (got {results['python validator'] / base:.1f}x)", end="")
        if "openssl dgst -sha256" in results:
            print(f", >= 0.5x openssl throughput (got {results['openssl dgst -sha256'] / base:.2f}x)")
        else:
            print()
    finally:
        shutil.rmtree(tmp)
    return 0


if __name__ == "__main__":
    sys.exit(main())

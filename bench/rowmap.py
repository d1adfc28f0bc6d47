"""Row-map verification: verify_manifest over JSON-lines row maps in /dev/shm with a tiny
index, each figure printed as a ratio against its goal. Runs of the things compared are
interleaved so machine load falls on both sides alike.

- throughput: verify_manifest / sha256_file of the same row map (time ratio; the goal is
  a throughput ratio >= 0.6), for rows with a parent_id and rows without the key (what
  samples.write_row_map writes);
- the pure-Python validator of the same rules against ours (goal >= 50x);
- peak RSS of a fresh process verifying 2 M (and with ZM_BENCH_BIG=1, 10 M) UUID rows,
  per row (goal <= 40 bytes);
- hash flooding: ids crafted to share one probe run under an unseeded hash of the kind the
  id set used to have, against random ids (goal <= 3x).

ZM_BENCH_ROWS sets the row count of the throughput files (default 2,000,000)."""

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

import numpy as np

import zarnik_manifest as zm
from zarnik_manifest import samples

ROWS = int(os.environ.get("ZM_BENCH_ROWS", 2_000_000))
RAISED = {"max_row_map_rows": 1 << 40, "max_row_map_tracked_id_bytes": 1 << 40}


def write_bundle(root: str, rows: int, write_rows) -> tuple[str, str]:
    """A rank index of `rows` 2-dimensional vectors, the row map written by
    write_rows(path), and the manifest. Returns (manifest path, row map path)."""
    os.makedirs(root, exist_ok=True)
    index = b"ZKR1" + bytes([1]) + struct.pack("<II", 2, rows) + bytes(4 * rows)
    with open(os.path.join(root, "index.rank"), "wb") as fh:
        fh.write(index)
    rows_path = os.path.join(root, "rows.jsonl")
    write_rows(rows_path)
    manifest = {
        "schema_version": "zarnik.index_manifest.v1",
        "manifest_id": "urn:uuid:" + str(uuid.UUID(int=42)),
        "created_at": "2024-05-01T12:00:00Z",
        "artifact": {"path": "index.rank", "sha256": hashlib.sha256(index).hexdigest(), "kind": "rank",
                     "format_version": 1, "dim": 2, "vector_count": rows, "bytes_per_vec": 4,
                     "params": {"kind": "rank"}, "file_size_bytes": len(index)},
        "embedding": {"model": "bench", "dim": 2},
        "row_identity": {"kind": "jsonl", "path": "rows.jsonl", "sha256": zm.sha256_file(rows_path)["sha256"],
                         "row_count": rows, "id_kind": "uuid"},
    }
    path = os.path.join(root, "manifest.json")
    with open(path, "w") as fh:
        json.dump(manifest, fh)
    return path, rows_path


def write_lines(path: str, ids: list[str]) -> None:
    with open(path, "w") as fh:
        fh.write("".join(f'{{"row_id":{i},"db_id":"{d}","parent_id":null}}\n' for i, d in enumerate(ids)))


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


def interleaved(fns: dict, repeat: int = 3) -> dict[str, float]:
    """The fastest of `repeat` rounds of each function, the functions taking turns."""
    times = {name: float("inf") for name in fns}
    for _ in range(repeat):
        for name, fn in fns.items():
            t = time.perf_counter()
            fn()
            times[name] = min(times[name], time.perf_counter() - t)
    return times


def verified(manifest: str) -> dict:
    """verify_manifest with the row limits raised (2 M UUIDs exceed the default id budget)."""
    report = zm.verify_manifest(manifest, **RAISED)
    assert report["ok"], report["errors"][:3]
    return report


# VmHWM belongs to the process's own address space, unlike ru_maxrss, which a child
# inherits from the parent it was forked from.
CHILD = """
import json, sys
import zarnik_manifest as zm
def kib(key):
    with open("/proc/self/status") as fh:
        return next(int(line.split()[1]) for line in fh if line.startswith(key))
base = kib("VmRSS:")
r = zm.verify_manifest(sys.argv[1], **json.loads(sys.argv[2]))
assert r["ok"], r["errors"][:3]
print(base, kib("VmHWM:"))
"""


def peak_rss(manifest: str) -> tuple[int, int]:
    """(RSS after import, peak RSS) in bytes of a fresh process verifying `manifest`."""
    out = subprocess.run([sys.executable, "-c", CHILD, manifest, json.dumps(RAISED)], check=True,
                         capture_output=True, text=True, env=os.environ).stdout.split()
    return int(out[0]) * 1024, int(out[1]) * 1024


# The id set's former hash: unseeded, so slots can be predicted offline.
M64 = np.uint64(0xFFFFFFFFFFFFFFFF)


def unseeded_hash(ids: np.ndarray) -> np.ndarray:
    """That hash over an (n, 36) uint8 array of ids, vectorised."""
    with np.errstate(over="ignore"):
        h = np.full(len(ids), 0x9E3779B97F4A7C15 ^ 36, dtype=np.uint64)
        blocks = ids[:, :32].copy().view("<u8")
        for b in range(4):
            h = (h ^ blocks[:, b]) * np.uint64(0x9FB21C651E98DF25)
            h ^= h >> np.uint64(29)
        tail = np.zeros((len(ids), 8), dtype=np.uint8)
        tail[:, :4] = ids[:, 32:]
        h ^= tail.view("<u8")[:, 0] * np.uint64(0xC2B2AE3D27D4EB4F)
        for mult in (0xFF51AFD7ED558CCD, 0xC4CEB9FE1A85EC53):
            h ^= h >> np.uint64(33)
            h *= np.uint64(mult)
        h ^= h >> np.uint64(33)
    return h


def random_ids(rng: np.random.Generator, n: int) -> np.ndarray:
    hexdigits = np.frombuffer(b"0123456789abcdef", dtype=np.uint8)
    ids = hexdigits[rng.integers(0, 16, size=(n, 36))]
    ids[:, [8, 13, 18, 23]] = ord("-")
    return ids


def crafted_ids(n: int) -> list[str]:
    """n distinct UUIDs whose former hash puts them all in the first 1/64 of any table of
    up to 2^19 slots: one probe run holding every id, as an attacker would build offline."""
    rng = np.random.default_rng(1)
    found: list[np.ndarray] = []
    total = 0
    while total < n:
        cand = random_ids(rng, 1 << 20)
        keep = cand[(unseeded_hash(cand) & np.uint64(0x7E000)) == 0]  # bits 13..18 clear
        found.append(keep)
        total += len(keep)
    ids = [bytes(r).decode() for r in np.concatenate(found)[:n]]
    assert len(set(ids)) == n
    return ids


def main() -> int:
    tmp = tempfile.mkdtemp(prefix="zm-rowmap-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    goals = []
    try:
        # Throughput against SHA-256 of the same file, with and without parent_id.
        files = {}
        for name, kw in (("rows with parent_id", {"parent": True}), ("rows without parent_id", {})):
            files[name] = write_bundle(os.path.join(tmp, str(len(files))), ROWS,
                                       lambda p, kw=kw: samples.write_row_map(p, ROWS, **kw))
        print(f"row maps of {ROWS} rows in /dev/shm; ratios of the fastest of interleaved runs")
        verify_times = {}
        for name, (manifest, rows_path) in files.items():
            verified(manifest)
            t = interleaved({"verify": lambda: verified(manifest), "sha256_file": lambda: zm.sha256_file(rows_path)})
            verify_times[name] = t["verify"]
            mb = os.path.getsize(rows_path) / 1e6
            ratio = t["sha256_file"] / t["verify"]
            print(f"  {name:<24} {mb:6.0f} MB  verify {t['verify']:.3f} s ({ROWS / t['verify'] / 1e6:.1f} M rows/s)"
                  f"  sha256_file {t['sha256_file']:.3f} s")
            goals.append((f"validation / SHA-256 throughput, {name}", ratio, ">=", 0.6))

        name = "rows with parent_id"
        manifest, rows_path = files[name]
        t = interleaved({"python": lambda: python_validator(rows_path, ROWS), "verify": lambda: verified(manifest)},
                        repeat=1)
        goals.append(("pure-Python validator / ours", t["python"] / min(t["verify"], verify_times[name]), ">=", 50))

        # Peak RSS per row of a fresh process (the child starts before this one grows).
        sizes = [2_000_000] + ([10_000_000] if os.environ.get("ZM_BENCH_BIG") else [])
        for n in sizes:
            manifest, _ = (files["rows without parent_id"] if n == ROWS else
                           write_bundle(os.path.join(tmp, f"rss{n}"), n, lambda p, n=n: samples.write_row_map(p, n)))
            base, peak = peak_rss(manifest)
            print(f"  {n} rows: peak RSS {peak / 2**20:.1f} MiB (after import {base / 2**20:.1f} MiB), "
                  f"{(peak - base) / n:.1f} bytes per row above the import")
            goals.append((f"peak RSS per row, {n // 1_000_000} M UUID rows", peak / n, "<=", 40))
            if n != ROWS:
                shutil.rmtree(os.path.join(tmp, f"rss{n}"))

        # Hash flooding: crafted against random ids, same count and line shape.
        flood_rows = int(os.environ.get("ZM_BENCH_FLOOD_ROWS", 200_000))
        rng = np.random.default_rng(2)
        flood = {
            "crafted ids": write_bundle(os.path.join(tmp, "crafted"), flood_rows,
                                        lambda p: write_lines(p, crafted_ids(flood_rows))),
            "random ids": write_bundle(os.path.join(tmp, "random"), flood_rows,
                                       lambda p: write_lines(p, [bytes(r).decode()
                                                                 for r in random_ids(rng, flood_rows)])),
        }
        t = interleaved({k: (lambda m=m: verified(m)) for k, (m, _) in flood.items()})
        print(f"  {flood_rows} rows: crafted ids {t['crafted ids']:.3f} s, random ids {t['random ids']:.3f} s")
        goals.append(("crafted ids / random ids (verify time)", t["crafted ids"] / t["random ids"], "<=", 3))
    finally:
        shutil.rmtree(tmp)
    print("goals:")
    for name, got, op, goal in goals:
        met = got >= goal if op == ">=" else got <= goal
        print(f"  {name:<52} {got:8.2f}  goal {op} {goal:<4} {'met' if met else 'NOT MET'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

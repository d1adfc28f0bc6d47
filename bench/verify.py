"""verify_manifest on a page-cached 1 GiB index with identity rows against sha256_file of
the same file: hashing is the only real work, so the ratio should stay near 1.0."""

from __future__ import annotations

import json
import os
import shutil
import struct
import sys
import tempfile
import time

import zarnik_manifest as zm
from timing import best

PAYLOAD = int(os.environ.get("ZM_BENCH_BYTES", 1 << 30))
DIM, BITS = 64, 2  # ZKRQ: 16 bytes per vector
BYTES_PER_VEC = DIM * BITS // 8



def make_index(path: str) -> int:
    n = PAYLOAD // BYTES_PER_VEC
    chunk = os.urandom(1 << 20)
    remaining = n * BYTES_PER_VEC
    with open(path, "wb") as fh:
        fh.write(b"ZKRQ" + bytes([1, BITS]) + struct.pack("<II", DIM, n))
        while remaining:
            part = chunk[: min(len(chunk), remaining)]
            fh.write(part)
            remaining -= len(part)
    return n


def main() -> int:
    tmp = tempfile.mkdtemp(prefix="zm-bench-verify-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        index = os.path.join(tmp, "index.zkrq")
        n = make_index(index)
        digest = zm.sha256_file(index)
        manifest = {
            "schema_version": zm.SCHEMA_VERSION,
            "manifest_id": "urn:uuid:00000000-0000-4000-8000-000000000001",
            "created_at": "2024-05-01T12:00:00Z",
            "artifact": {
                "path": "index.zkrq", "sha256": digest["sha256"], "kind": "rank_quant", "format_version": 1,
                "dim": DIM, "vector_count": n, "bytes_per_vec": BYTES_PER_VEC,
                "params": {"kind": "rank_quant", "bits": BITS}, "file_size_bytes": digest["size_bytes"],
            },
            "embedding": {"model": "bench-model", "dim": DIM},
            "row_identity": {"kind": "row_id_identity", "row_count": n},
        }
        manifest_path = os.path.join(tmp, "manifest.json")
        with open(manifest_path, "w") as fh:
            json.dump(manifest, fh)
        report = zm.verify_manifest(manifest_path)
        if not report["ok"]:
            print("verification failed:", report["errors"])
            return 1

        hash_time = best(lambda: zm.sha256_file(index))
        verify_time = best(lambda: zm.verify_manifest(manifest_path))
        gib = digest["size_bytes"] / (1 << 30)
        print(f"index: {gib:.2f} GiB in {os.path.dirname(tmp)}, {n} vectors, identity rows (best of 3)")
        print(f"  sha256_file      {hash_time:7.3f} s")
        print(f"  verify_manifest  {verify_time:7.3f} s")
        print(f"  ratio verify/hash {verify_time / hash_time:5.3f}x (target <= 1.05x)")
    finally:
        shutil.rmtree(tmp)
    return 0


if __name__ == "__main__":
    sys.exit(main())

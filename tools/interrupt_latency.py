"""How long Ctrl-C takes to end a call busy with a multi-GB file: SIGINT is sent to the
process while the call hashes, and the time until KeyboardInterrupt reaches Python is
measured. Prints one line per scenario: runs, median and worst latency.

    PYTHONPATH=src python tools/interrupt_latency.py [GiB]   (default 8; sparse on /dev/shm)
"""

from __future__ import annotations

import json
import os
import shutil
import signal
import statistics
import struct
import sys
import tempfile
import threading
import time

import zarnik_manifest as zm

RUNS = 7


def sparse(path: str, head: bytes, size: int) -> None:
    with open(path, "wb") as fh:
        fh.write(head)
        fh.truncate(size)


def cached(path: str, size: int) -> None:
    chunk = os.urandom(1 << 20)
    with open(path, "wb") as fh:
        for _ in range(size >> 20):
            fh.write(chunk)


def latency(call, delay: float = 0.3) -> float:
    """Seconds from the SIGINT to the KeyboardInterrupt out of `call`."""
    sent = []

    def interrupt():
        time.sleep(delay)
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    t = threading.Thread(target=interrupt)
    t.start()
    try:
        call()
    except KeyboardInterrupt:
        caught = time.perf_counter()
    else:
        raise SystemExit("the call ended before the signal")
    finally:
        t.join()
    return caught - sent[0]


def main() -> int:
    gib = int(sys.argv[1]) if len(sys.argv) > 1 else 8
    size = gib << 30
    tmp = tempfile.mkdtemp(prefix="zm-intr-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        big = os.path.join(tmp, "big.bin")
        sparse(big, b"", size)
        warm = os.path.join(tmp, "warm.bin")
        cached(warm, 1 << 30)
        # rank_quant, dim 512, 4 bits: 256 bytes a vector.
        n = (size - 14) // 256
        index = os.path.join(tmp, "index.zkrq")
        sparse(index, b"ZKRQ" + bytes([1, 4]) + struct.pack("<II", 512, n), 14 + 256 * n)
        manifest = os.path.join(tmp, "manifest.json")
        with open(manifest, "w") as fh:
            json.dump({"schema_version": "zarnik.index_manifest.v1", "manifest_id": "urn:uuid:" + "0" * 31 + "1",
                       "created_at": "2024-05-01T12:00:00Z",
                       "artifact": {"path": "index.zkrq", "sha256": "0" * 64, "kind": "rank_quant",
                                    "format_version": 1, "dim": 512, "vector_count": n, "bytes_per_vec": 256,
                                    "params": {"kind": "rank_quant", "bits": 4}, "file_size_bytes": 14 + 256 * n},
                       "embedding": {"model": "m", "dim": 512},
                       "row_identity": {"kind": "row_id_identity", "row_count": n}}, fh)
        scenarios = {
            f"sha256_file, sparse {gib} GiB": lambda: zm.sha256_file(big),
            "sha256_file, page-cached 1 GiB (delay 0.1 s)": lambda: zm.sha256_file(warm),
            f"verify_manifest, sparse {gib} GiB index": lambda: zm.verify_manifest(manifest),
            f"create_manifest, sparse {gib} GiB index": lambda: zm.create_manifest(
                index, os.path.join(tmp, "out.json"), "m", row_id_is_identity=True),
        }
        for name, call in scenarios.items():
            delay = 0.1 if "cached" in name else 0.3
            figures = [latency(call, delay) for _ in range(RUNS)]
            print(f"{name}: {RUNS} runs, median {statistics.median(figures) * 1000:.1f} ms, "
                  f"worst {max(figures) * 1000:.1f} ms")
    finally:
        shutil.rmtree(tmp)
    return 0


if __name__ == "__main__":
    sys.exit(main())

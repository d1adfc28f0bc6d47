"""Throughput of sha256_file against its peers on one page-cached 1 GiB file, and two
threads hashing at once against one after another (the GIL is released)."""

from __future__ import annotations

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import zarnik_manifest as zm
from timing import best

SIZE = int(os.environ.get("ZM_BENCH_BYTES", 1 << 30))



def make_file(path: str) -> None:
    chunk = os.urandom(1 << 20)
    with open(path, "wb") as fh:
        for _ in range(SIZE >> 20):
            fh.write(chunk)


def main() -> int:
    tmp = tempfile.mkdtemp(prefix="zm-bench-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        a, b = os.path.join(tmp, "a.bin"), os.path.join(tmp, "b.bin")
        make_file(a)
        make_file(b)
        gib = SIZE / (1 << 30)
        results = {
            "sha256_file": best(lambda: zm.sha256_file(a)),
            "hashlib.file_digest": best(lambda: hashlib.file_digest(open(a, "rb"), "sha256")),
        }
        if shutil.which("openssl"):
            results["openssl dgst"] = best(lambda: subprocess.run(["openssl", "dgst", "-sha256", a], check=True, capture_output=True))
        if shutil.which("sha256sum"):
            results["sha256sum"] = best(lambda: subprocess.run(["sha256sum", a], check=True, capture_output=True))
        base = results["sha256_file"]
        print(f"file: {gib:.2f} GiB (page cache)")
        for name, t in results.items():
            print(f"  {name:<22} {t:7.3f} s  {gib / t:6.2f} GiB/s  sha256_file speed ratio {t / base:5.2f}x")

        serial = best(lambda: (zm.sha256_file(a), zm.sha256_file(b)))

        def parallel():
            ts = [threading.Thread(target=zm.sha256_file, args=(p,)) for p in (a, b)]
            for t in ts:
                t.start()
            for t in ts:
                t.join()

        par = best(parallel)
        print(f"two files: serial {serial:.3f} s, two threads {par:.3f} s, ratio {par / serial:.2f}")
    finally:
        shutil.rmtree(tmp)
    return 0


if __name__ == "__main__":
    sys.exit(main())

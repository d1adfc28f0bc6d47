"""sha256_file of one page-cached file against this CPU's SHA-256 limit (`openssl speed`,
which hashes an in-cache buffer and reads no file), with the read()-based peers
`openssl dgst -sha256`, `sha256sum` and `hashlib.file_digest` on the same file; then two
threads hashing two files against one after another (the GIL is released)."""

from __future__ import annotations

import hashlib
import os
import sys
import threading

import zarnik_manifest as zm
from benchlib import (GiB, INDEX_BYTES, figure, have, info, interleaved, median_ratio, median_time,
                    openssl_sha256_limit, run_quiet, scratch, write_random)


def main() -> int:
    with scratch("zm-bench-hash-") as tmp:
        a, b = os.path.join(tmp, "a.bin"), os.path.join(tmp, "b.bin")
        write_random(a, INDEX_BYTES, seed=1)
        write_random(b, INDEX_BYTES, seed=2)
        size = os.path.getsize(a)
        contenders = {"sha256_file": lambda: zm.sha256_file(a),
                      "hashlib.file_digest": lambda: hashlib.file_digest(open(a, "rb"), "sha256")}
        if have("openssl"):
            contenders["openssl dgst"] = run_quiet(["openssl", "dgst", "-sha256", a])
        if have("sha256sum"):
            contenders["sha256sum"] = run_quiet(["sha256sum", a])
        limit_rates: list[float] = []

        def cpu_limit() -> None:
            rate = openssl_sha256_limit()
            if rate:
                limit_rates.append(rate)

        if have("openssl"):
            contenders["cpu limit"] = cpu_limit
        rounds = interleaved(contenders)
        print(f"file: {size / GiB:.2f} GiB (page cache), {len(rounds)} interleaved rounds")
        peers = [n for n in contenders if n not in ("sha256_file", "cpu limit")]
        if limit_rates:
            # Each round's ratio uses the CPU limit measured in that round (the warm-up
            # round's measurement is the first element and is skipped).
            per_round = limit_rates[-len(rounds):]
            ideal = [size / rate for rate in per_round]
            info(f"CPU SHA-256 limit: {sorted(per_round)[len(per_round) // 2] / GiB:.2f} GiB/s "
                 f"(openssl speed -elapsed -evp sha256 -bytes 16384)")
            for name in ["sha256_file"] + peers:
                ratios = sorted(r[name] / i for r, i in zip(rounds, ideal))
                info(f"{name:<20} {size / median_time(rounds, name) / GiB:5.2f} GiB/s, "
                     f"time / CPU limit {ratios[len(ratios) // 2]:.2f}")
            ratios = sorted(r["sha256_file"] / i for r, i in zip(rounds, ideal))
            figure("sha256_file / CPU SHA-256 limit", ratios[len(ratios) // 2], 1.10)
        fastest_peer = median_ratio(rounds, lambda r: r["sha256_file"] / min(r[p] for p in peers))
        figure("sha256_file / fastest read()-based peer", fastest_peer, 1.0)

        def parallel() -> None:
            ts = [threading.Thread(target=zm.sha256_file, args=(p,)) for p in (a, b)]
            for t in ts:
                t.start()
            for t in ts:
                t.join()

        two = interleaved({"serial": lambda: (zm.sha256_file(a), zm.sha256_file(b)), "two threads": parallel})
        info(f"two files: two threads / one after another {median_ratio(two, lambda r: r['two threads'] / r['serial']):.2f}"
             " (0.5 when both cores are free)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

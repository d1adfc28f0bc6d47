"""Shared helpers of the benchmarks (each script puts bench/ on sys.path by running from it).

Every figure is a ratio of our time to a peer's time measured interleaved in one run: each
round runs every contender once, in an order that rotates from round to round, and the
figure is the median of the per-round ratios. A machine that is busy with other work then
slows both sides of a ratio alike instead of whichever happened to run during the spike.

Sizes come from the environment, so the same scripts measure the small default set in a
few minutes or the full set (ZM_BENCH_INDEX_BYTES=2576980378, ZM_BENCH_ROWS=10000000,
ZM_BENCH_AUX_BYTES=104857600):

    ZM_BENCH_INDEX_BYTES   index payload, default 512 MiB
    ZM_BENCH_ROWS          row-map rows, default 2,000,000
    ZM_BENCH_AUX_BYTES     size of each auxiliary file, default 32 MiB
    ZM_BENCH_AUX_COUNT     number of auxiliary files, default 3
    ZM_BENCH_ROUNDS        interleaved rounds per figure, default 5
"""

from __future__ import annotations

import contextlib
import os
import re
import shutil
import statistics
import subprocess
import tempfile
import time
from typing import Any, Callable, Iterator, Mapping

INDEX_BYTES = int(os.environ.get("ZM_BENCH_INDEX_BYTES", 512 << 20))
ROWS = int(os.environ.get("ZM_BENCH_ROWS", 2_000_000))
AUX_BYTES = int(os.environ.get("ZM_BENCH_AUX_BYTES", 32 << 20))
AUX_COUNT = int(os.environ.get("ZM_BENCH_AUX_COUNT", 3))
ROUNDS = int(os.environ.get("ZM_BENCH_ROUNDS", 5))

MiB = 1 << 20
GiB = 1 << 30


def best(fn: Callable[[], Any], repeat: int = 3) -> float:
    """The fastest of `repeat` runs of fn, in seconds."""
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def timed(fn: Callable[[], Any]) -> float:
    """Seconds taken by one run of fn."""
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def interleaved(contenders: Mapping[str, Callable[[], Any]], rounds: int = ROUNDS) -> list[dict[str, float]]:
    """Runs every contender once per round, the order rotating by one each round, after
    one untimed warm-up round. Returns one {name: seconds} dict per round."""
    names = list(contenders)
    for name in names:
        contenders[name]()
    out = []
    for r in range(rounds):
        order = names[r % len(names):] + names[: r % len(names)]
        out.append({name: timed(contenders[name]) for name in order})
    return out


def median_ratio(rounds: list[dict[str, float]], ratio: Callable[[dict[str, float]], float]) -> float:
    """The median over the rounds of ratio(round)."""
    return statistics.median(ratio(r) for r in rounds)


def median_time(rounds: list[dict[str, float]], name: str) -> float:
    return statistics.median(r[name] for r in rounds)


def figure(name: str, ratio: float, goal: float, *, at_least: bool = False) -> bool:
    """Prints `name: ratio (goal <= g) OK/MISS` and returns whether the goal is met."""
    ok = ratio >= goal if at_least else ratio <= goal
    print(f"{name}: {ratio:.2f} (goal {'>=' if at_least else '<='} {goal:g}) {'OK' if ok else 'MISS'}", flush=True)
    return ok


def info(text: str) -> None:
    print(f"  {text}", flush=True)


@contextlib.contextmanager
def scratch(prefix: str) -> Iterator[str]:
    """A temporary directory in memory (/dev/shm where it exists): every file the bench
    reads is page-cached, so figures measure our code and not the disk."""
    tmp = tempfile.mkdtemp(prefix=prefix, dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        yield tmp
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def write_random(path: str, size: int, seed: int = 0) -> None:
    """A file of `size` pseudo-random bytes (a 1 MiB block repeated: SHA-256 cost does not
    depend on content)."""
    import random

    block = random.Random(seed).randbytes(MiB)
    with open(path, "wb") as fh:
        left = size
        while left:
            piece = block[: min(left, len(block))]
            fh.write(piece)
            left -= len(piece)


def run_quiet(argv: list[str]) -> Callable[[], Any]:
    return lambda: subprocess.run(argv, check=True, capture_output=True)


def have(tool: str) -> bool:
    return shutil.which(tool) is not None


def openssl_sha256_limit(seconds: int = 1) -> float | None:
    """This CPU's SHA-256 throughput in bytes/s from `openssl speed -evp sha256 -bytes 16384`
    (hashing one in-cache buffer, no file reads): the floor any file hash can reach. Wall
    clock (-elapsed), like every other time here, so a busy machine slows it alike."""
    if not have("openssl"):
        return None
    out = subprocess.run(["openssl", "speed", "-elapsed", "-evp", "sha256", "-bytes", "16384", "-seconds", str(seconds)],
                         check=True, capture_output=True, text=True).stdout
    m = re.search(r"^sha256\s+([\d.]+)k\s*$", out, re.M)
    return float(m.group(1)) * 1000 if m else None


def limits() -> dict[str, int]:
    """Resource-limit keywords that admit the configured sizes."""
    import zarnik_manifest as zm

    d = zm.default_resource_limits()
    return {"max_auxiliary_artifact_bytes": max(d["max_auxiliary_artifact_bytes"], AUX_BYTES),
            "max_row_map_rows": max(d["max_row_map_rows"], ROWS),
            "max_row_map_tracked_id_bytes": max(d["max_row_map_tracked_id_bytes"], ROWS * 64)}


def write_bundle(root: str) -> dict[str, Any]:
    """Files and manifests for the verify and create figures, all in `root`:

    index.rank (INDEX_BYTES, ROWS vectors), rows.jsonl (ROWS rows as samples.write_row_map
    writes them), aux-*.bin (AUX_COUNT x AUX_BYTES), small.rank (ROWS 2-dim vectors), tiny.rank;
    manifests full.json (all of it), index.json (index, identity rows), rows.json (small
    index and the row map), aux.json (tiny index, identity rows, the auxiliary files)."""
    import zarnik_manifest as zm
    from zarnik_manifest import samples

    p = lambda name: os.path.join(root, name)  # noqa: E731
    dim = max(2, min(65535, round(INDEX_BYTES / ROWS / 2)))
    samples.write_index(p("index.rank"), "rank", dim=dim, n_vectors=ROWS)
    samples.write_index(p("small.rank"), "rank", dim=2, n_vectors=ROWS)
    samples.write_index(p("tiny.rank"), "rank", dim=2, n_vectors=4)
    samples.write_row_map(p("rows.jsonl"), ROWS)
    aux_paths = [p(f"aux-{i}.bin") for i in range(AUX_COUNT)]
    for i, path in enumerate(aux_paths):
        write_random(path, AUX_BYTES, seed=10 + i)
    aux = [{"name": f"aux-{i}", "path": path} for i, path in enumerate(aux_paths)]
    kw = limits()
    zm.create_manifest(p("index.rank"), p("full.json"), "bench", row_map=p("rows.jsonl"), auxiliary_artifacts=aux, **kw)
    zm.create_manifest(p("index.rank"), p("index.json"), "bench", row_id_is_identity=True, **kw)
    zm.create_manifest(p("small.rank"), p("rows.json"), "bench", row_map=p("rows.jsonl"), **kw)
    zm.create_manifest(p("tiny.rank"), p("aux.json"), "bench", row_id_is_identity=True, auxiliary_artifacts=aux, **kw)
    for name in ("full", "index", "rows", "aux"):
        report = zm.verify_manifest(p(f"{name}.json"), **kw)
        assert report["ok"], (name, report["errors"][:3])
    return {"root": root, "index": p("index.rank"), "rows": p("rows.jsonl"), "aux": aux, "aux_paths": aux_paths,
            "small": p("small.rank"), "tiny": p("tiny.rank"),
            "manifests": {name: p(f"{name}.json") for name in ("full", "index", "rows", "aux")},
            "index_bytes": os.path.getsize(p("index.rank")), "rows_bytes": os.path.getsize(p("rows.jsonl"))}


def cpus_busy(fn: Callable[[], Any]) -> float:
    """CPU time of this process over wall time during one run of fn (threads included)."""
    before, t = os.times(), time.perf_counter()
    fn()
    wall, after = time.perf_counter() - t, os.times()
    return ((after.user - before.user) + (after.system - before.system)) / wall

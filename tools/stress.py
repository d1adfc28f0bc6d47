#!/usr/bin/env python3
"""Races, threads and leaks of zarnik_manifest at ZM_STRESS_SCALE=small (default) or full (`make stress`).
race: a link to an outside file swapped in and out of one file role's path never puts the outside
digest in a report. threads: 8 threads calling all six functions get the serial results. soak: every
success and error class of each function leaves descriptors and memory flat. Exits 1 on any failure."""

from __future__ import annotations

import collections
import ctypes
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from types import SimpleNamespace

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

import zarnik_manifest as zm  # noqa: E402
from builders import (Bundle, calibration_block, encoder_distortion_block, index_bytes,  # noqa: E402
                      row_map_lines, sha256)

SCALES = {  # race runs per (role, swap); thread rounds; soak calls per function
    "small": dict(race_runs=150, thread_rounds=3, thread_vectors=256, soak_calls=1500, sparse_bytes=256 << 20),
    "full": dict(race_runs=4000, thread_rounds=20, thread_vectors=8192, soak_calls=100_000, sparse_bytes=10 << 30),
}
CHANGED = "file changed while it was being opened"

# ---------------------------------------------------------------------------- race

ROLES = ("artifact", "row_identity", "auxiliary_artifact", "calibration_profile", "encoder_distortion_profile")
SWAPS = ("file", "directory")  # the file itself, or a directory on its path, becomes a link
_libc = ctypes.CDLL(None, use_errno=True)


def exchange(a: Path, b: Path) -> None:
    """Atomically swaps the two names (renameat2 RENAME_EXCHANGE): both always exist."""
    if _libc.renameat2(-100, os.fsencode(a), -100, os.fsencode(b), 2) != 0:  # AT_FDCWD, RENAME_EXCHANGE
        err = ctypes.get_errno()
        raise OSError(err, os.strerror(err))


class RaceScenario:
    """A manifest under root/base whose `role` file (or the directory holding it) can be
    swapped with a link to a same-named file under root/outside, which holds other bytes."""

    def __init__(self, root: Path, role: str, swap: str):
        self.role = role
        base, outside = root / "base", root / "outside"
        b = Bundle(base, row_map=role == "row_identity")
        m, rel = b.manifest, "d/x.bin" if swap == "directory" else "x.bin"
        if role == "artifact":
            inside, alien, entry = b.index, index_bytes("rank_quant", seed=9), m["artifact"]
        elif role == "row_identity":
            inside, entry = b.row_map_path.read_bytes(), m["row_identity"]
            alien = "".join(line + "\n" for line in row_map_lines(3, parent=True)).encode()
        elif role == "auxiliary_artifact":
            inside, alien = b"inside auxiliary", b"outside secret!!"
            entry = b.add_auxiliary("tok", inside, path=rel)
        elif role == "calibration_profile":
            inside, alien = bytes(128), bytes([1]) * 128
            entry = m.setdefault("calibration", calibration_block(b, inside, rel=rel))["profile"]
        else:
            inside, alien = b'{"pairs": []}', b'{"pairs": [1]}'
            entry = m.setdefault("encoder_distortion", encoder_distortion_block(b, inside, rel=rel))["profile"]
        if entry["path"] != rel:  # the index or the row map, moved to the swapped place
            (base / rel).parent.mkdir(exist_ok=True)
            (base / entry["path"]).rename(base / rel)
            entry["path"] = rel
        (outside / rel).parent.mkdir(parents=True, exist_ok=True)
        (outside / rel).write_bytes(alien)
        # The name that alternates between the real entry and a link to its outside twin.
        first = rel.split("/")[0]
        self.target, self.link = base / first, base / (first + ".swap")
        self.link.symlink_to(outside / first)
        self.manifest = b.write()
        self.inside_digest, self.outside_digest = sha256(inside), sha256(alien)
        # The issue each non-verified outcome must be, exactly.
        candidate, real_base = f"{base}/{rel}", os.path.realpath(base)
        outside = os.path.realpath(self.link) + candidate[len(str(self.target)):]  # its canonical path
        if role == "auxiliary_artifact":
            escaped = f'canonical auxiliary artifact path {outside} for "tok" is outside manifest base {real_base}'
            changed = f'failed to canonicalize auxiliary artifact "tok" at {candidate}: {CHANGED}'
        else:
            escaped = f"canonical path {outside} is outside manifest base {real_base}"
            changed = f"failed to canonicalize {candidate}: {CHANGED}"
        self.messages = {"escaped": (f"{role}_path_escape_rejected", escaped),
                         "changed": (f"{role}_path_unavailable", changed)}

    def classify(self, report: dict) -> str:
        """verified, escaped, changed; or leaked (the outside digest appears anywhere in the
        report) and unexpected (any other outcome)."""
        if self.outside_digest in json.dumps(report):
            return "leaked"
        role = self.role
        issues = [(i["code"], i["message"]) for i in report["errors"] if i["code"].startswith(role + "_")]
        if role == "auxiliary_artifact":
            digest = report["auxiliary_artifacts"][0]["sha256"]
        elif role.endswith("_profile"):
            digest = report[role.removesuffix("_profile")]["profile_sha256"]
        else:
            digest = report[role]["sha256"]
        if not issues and report["ok"] and digest == self.inside_digest:
            return "verified"
        return next((outcome for outcome, issue in self.messages.items() if issues == [issue]), "unexpected")


def race(root: Path, role: str, swap: str, runs: int) -> tuple[dict[str, int], list[dict]]:
    """Runs the verifier `runs` times against the swapping link. Returns the outcome
    counts and the reports of every leaked or unexpected outcome."""
    s = RaceScenario(root, role, swap)
    counts = dict.fromkeys(("verified", "escaped", "changed", "leaked", "unexpected"), 0)
    bad: list[dict] = []
    stop, swaps = threading.Event(), [0]

    def swap_loop() -> None:
        while not stop.is_set():
            exchange(s.target, s.link)
            swaps[0] += 1

    swapper = threading.Thread(target=swap_loop, daemon=True)
    swapper.start()
    try:
        for _ in range(runs):
            report = zm.verify_manifest(s.manifest)
            counts[outcome := s.classify(report)] += 1
            if outcome in ("leaked", "unexpected"):
                bad.append(report)
    finally:
        stop.set()
        swapper.join()
        if swaps[0] % 2:
            exchange(s.target, s.link)  # the real entry back in place
    return counts, bad


# ---------------------------------------------------------------------------- threads

THREADS = 8


def _outcome(fn, args, kw):
    """The result without what differs between calls by design, or the exception's type and text."""
    def normalise(v):
        if isinstance(v, dict):
            return {k: normalise(x) for k, x in v.items()
                    if k not in ("checked_at", "created_at", "manifest_id", "invocation_id")}
        return [normalise(x) for x in v] if isinstance(v, list) else v
    try:
        return ("ok", normalise(fn(*args, **kw)))
    except Exception as e:
        return ("raised", type(e).__name__, str(e))


def thread_tasks(root: Path, n_vectors: int) -> list[list[tuple]]:
    """Per thread, its (function, args, kwargs): all six functions, on the shared bundle and on the
    thread's own one (rank, 512 bytes a vector, row map, auxiliary file), successes and failures."""
    def _bundle(name: str, seed: int) -> Bundle:
        b = Bundle(root / name, "rank", n=n_vectors, dim=256, seed=seed)
        b.add_auxiliary("tok", bytes([seed]) * 4096)
        b.write()
        return b

    shared = _bundle("shared", 1)
    broken = root / "broken.json"
    broken.write_text('{"schema_version": 1}')
    tasks = []
    for t in range(THREADS):
        own, out = _bundle(f"own{t}", 2 + t), root / f"own{t}" / "out"
        escape = {"allow_path_escape": True}
        tasks.append([
            (zm.sha256_file, (shared.index_path,), {}), (zm.sha256_file, (own.index_path,), {}),
            (zm.sha256_file, (root / "missing",), {}), (zm.verify_manifest, (shared.manifest_path,), {}),
            (zm.verify_manifest, (own.manifest_path,), {"max_report_issues": 2, "index": "../shared/index.rank"}),
            (zm.verify_for_load, (own.manifest_path,), {}), (zm.verify_for_load, (own.manifest_path,), {"index": "-"}),
            (zm.inspect_manifest, (shared.manifest_path,), {}), (zm.inspect_manifest, (broken,), {}),
            (zm.create_manifest, (shared.index_path, out / "s.json", "e"), {"row_map": shared.row_map_path, **escape}),
            (zm.create_manifest, (own.index_path, out / "o.json", "enc"), {"row_id_is_identity": True, **escape}),
            (zm.default_resource_limits, (), {}),
        ])
    return tasks


def threads(root: Path, rounds: int, n_vectors: int) -> SimpleNamespace:
    """Returns calls, mismatches (against the serial results) and the serial and threaded wall times."""
    tasks = thread_tasks(root, n_vectors)
    expected = [[_outcome(*task) for task in per_thread] for per_thread in tasks]
    fig = SimpleNamespace(calls=2 * rounds * sum(map(len, tasks)), mismatches=[])

    def run(t: int) -> None:
        for _ in range(rounds):
            for task, want in zip(tasks[t], expected[t]):
                if (got := _outcome(*task)) != want:
                    fig.mismatches.append((t, task[0].__name__, got, want))

    start = time.perf_counter()
    for t in range(THREADS):  # the same work on one thread
        run(t)
    fig.serial_s = time.perf_counter() - start
    workers = [threading.Thread(target=run, args=(t,)) for t in range(THREADS)]
    start = time.perf_counter()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    fig.threaded_s = time.perf_counter() - start
    return fig


# ---------------------------------------------------------------------------- soak


def soak_cases(root: Path) -> dict[str, list[tuple]]:
    """For each function, (args, kwargs) of its success and of every error class."""
    b = Bundle(root / "ok")
    b.add_auxiliary("tok", b"aux")
    b.manifest["calibration"] = calibration_block(b)
    b.manifest["encoder_distortion"] = encoder_distortion_block(b)
    good = b.write()
    bad = Bundle(root / "bad")
    bad.manifest.update(schema_version="x", auxiliary_artifacts=[
        {"name": " n", "path": "gone", "sha256": "0", "file_size_bytes": 1},
        {"name": "abs", "path": "/abs", "sha256": "0", "file_size_bytes": 1}])
    bad.manifest["artifact"].update(sha256="A" * 64, path="../escape")
    bad.manifest["row_identity"]["row_count"] = 50
    bad_path, bad_rows = bad.write(), bad.root / "rows.jsonl"
    bad_rows.write_text('{"row_id": 0}\n' + "x\n" * 49)
    syntax, schema, missing = root / "syntax.json", root / "schema.json", root / "missing.json"
    out = root / "out" / "m.json"
    syntax.write_text('{"schema_version": ')
    schema.write_text('{"schema_version": "zarnik.index_manifest.v1", "unknown": 1}')
    index, ident, escape = (b.index_path, out, "enc"), {"row_id_is_identity": True}, {"allow_path_escape": True}
    return {
        "sha256_file": [((b.index_path,), {}), ((missing,), {}), ((root,), {}), ((3,), {})],
        "inspect_manifest": [((good,), {}), ((missing,), {}), ((syntax,), {}), ((schema,), {}),
                             *[((good,), {"max_manifest_bytes": v}) for v in (10, -1, 1.5)]],
        "verify_manifest": [((good,), {}), ((bad_path,), {}), ((bad_path,), {"max_report_issues": 3}),
                            ((missing,), {}), ((syntax,), {}), ((good,), {"allow_path_escape": 1}),
                            ((good,), {"max_auxiliary_artifact_bytes": 1, "max_row_map_line_bytes": 4})],
        "verify_for_load": [((good,), {}), ((bad_path,), {}), ((missing,), {}), ((schema,), {}),
                            ((good,), {"index": 7})],
        "create_manifest": [(index, {"row_map": b.row_map_path, **escape}),
                            (index, {**ident, **escape, "auxiliary_artifacts": [{"name": "a", "path": b.index_path}]}),
                            (index, {"row_map": b.row_map_path, **ident}), ((missing, out, "enc"), ident),
                            (index, {"row_map": bad_rows, **escape}), ((b.index_path, out, 5), ident)],
        "default_resource_limits": [((), {}), ((1,), {})],
    }


# rss_growth: bytes, last checkpoint minus the first after warm-up; slope: bytes a call, least squares;
# outcomes: "ok" and the names of the exceptions raised.
SoakFigures = collections.namedtuple("SoakFigures", "function calls fd_delta rss_growth slope outcomes")


def soak(root: Path, calls: int) -> list[SoakFigures]:
    def rss_bytes() -> int:
        with open("/proc/self/statm") as fh:
            return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    figures = []
    for name, cases in soak_cases(root).items():
        fn, outcomes = getattr(zm, name), set()

        def burst(n: int) -> None:
            for i in range(n):
                args, kw = cases[i % len(cases)]
                try:
                    fn(*args, **kw)
                    outcomes.add("ok")
                except (OSError, ValueError, TypeError, OverflowError) as e:
                    outcomes.add(type(e).__name__)

        burst(max(200, calls // 10))  # warm-up: allocator pools, interned names, caches
        fds, step = len(os.listdir("/proc/self/fd")), max(1, calls // 10)
        xs, ys = [0], [rss_bytes()]
        while xs[-1] < calls:
            burst(min(step, calls - xs[-1]))
            xs.append(min(calls, xs[-1] + step))
            ys.append(rss_bytes())
        figures.append(SoakFigures(name, calls, len(os.listdir("/proc/self/fd")) - fds, ys[-1] - ys[0],
                                   statistics.linear_regression(xs, ys).slope, outcomes))
    return figures


# ---------------------------------------------------------------------------- sparse giant


def sparse_giant(root: Path, size: int) -> tuple[list[str], int, int]:
    """Verifies a manifest whose index is a sparse file of `size` bytes with the original header.
    Returns the issue codes and the peak RSS (KiB) of a child that verifies and of one that only imports."""
    b = Bundle(root, row_map=False)
    with open(b.index_path, "wb") as fh:
        fh.write(b.index[:14])
        fh.truncate(size)
    out = root / "codes.json"
    # Each child runs under a parent whose only child it is, which reads RUSAGE_CHILDREN.
    wrapper = ("import resource, subprocess, sys\nsubprocess.run([sys.executable, '-c', sys.argv[1]], check=True)\n"
               "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    peaks = [int(subprocess.run([sys.executable, "-c", wrapper, "import json, zarnik_manifest as zm\n" + code],
                                capture_output=True, text=True, check=True).stdout.split()[-1])
             for code in (f"r = zm.verify_manifest({str(b.write())!r})\nopen({str(out)!r}, 'w').write("
                          "json.dumps([i['code'] for i in r['errors']]))", "zm.default_resource_limits()")]
    return json.loads(out.read_text()), peaks[0], peaks[1]


# ---------------------------------------------------------------------------- main


def main() -> int:
    name = os.environ.get("ZM_STRESS_SCALE", "small")
    scale, failed = SCALES[name], False
    print(f"scale {name}: {scale}")

    def report(ok: bool, line: str) -> None:
        nonlocal failed
        failed |= not ok
        print(line + ("" if ok else "  FAILED"))

    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as tmp:
        root = Path(tmp)
        for role in ROLES:
            for swap in SWAPS:
                counts, bad = race(root / f"race-{role}-{swap}", role, swap, scale["race_runs"])
                report(not bad, f"race {role:<27} {swap:<9} " + " ".join(f"{k}={v}" for k, v in counts.items())
                       + (f" {json.dumps(bad[0])[:400]}" if bad else ""))
        fig = threads(root / "threads", scale["thread_rounds"], scale["thread_vectors"])
        report(not fig.mismatches, f"threads {THREADS} x {scale['thread_rounds']} rounds: {fig.calls} calls, "
               f"{len(fig.mismatches)} mismatches, serial {fig.serial_s:.2f}s, threaded {fig.threaded_s:.2f}s, "
               f"speed-up {fig.serial_s / fig.threaded_s:.2f}")
        for m in fig.mismatches[:3]:
            print("  mismatch:", str(m)[:400])
        codes, peak, base = sparse_giant(root / "sparse", scale["sparse_bytes"])
        expected = ["artifact_sha256_mismatch", "artifact_file_size_mismatch", "artifact_probe_failed"]
        report(codes == expected and peak - base < 16 << 10,
               f"sparse index {scale['sparse_bytes'] >> 20} MiB: codes={','.join(codes)} peak_rss={peak}KiB "
               f"(import alone {base}KiB, delta {peak - base}KiB)")
        for s in soak(root / "soak", scale["soak_calls"]):
            report(s.fd_delta == 0 and s.rss_growth < (1 << 20), f"soak {s.function:<24} calls={s.calls} "
                   f"fd_delta={s.fd_delta} rss_growth={s.rss_growth / 1024:.0f}KiB slope={s.slope:.3f}B/call")
    print("FAILED" if failed else "ok")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

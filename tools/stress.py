#!/usr/bin/env python3
"""Races, threads and leaks of zarnik_manifest.

Three drivers, each usable on its own (tests/test_stress.py and tests/test_file_identity.py
import them) and all run by `make stress`:

  race    a thread swaps a symbolic link to a file outside the manifest's directory in and
          out of the path of one file role while the verifier runs; under the default
          policy no report may carry the outside file's digest.
  threads 8 Python threads call all six functions on shared and separate files; every
          result must equal the serial result, and the wall time shows the GIL released.
  soak    N calls of each function over its success and every error class; open
          descriptors must be unchanged and resident memory flat after warm-up.

ZM_STRESS_SCALE=full (make stress) or small (the default, a few seconds). Prints one
line per figure and exits 1 on any failure.
"""

from __future__ import annotations

import ctypes
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

import zarnik_manifest as zm  # noqa: E402
from builders import Bundle, calibration_block, encoder_distortion_block, index_bytes, row_map_lines  # noqa: E402

SCALES = {
    # race runs per (role, swap); thread rounds; soak calls per function
    "small": dict(race_runs=150, thread_rounds=3, thread_vectors=256, soak_calls=1500, sparse_bytes=256 << 20),
    "full": dict(race_runs=4000, thread_rounds=20, thread_vectors=8192, soak_calls=100_000, sparse_bytes=10 << 30),
}

CHANGED = "file changed while it was being opened"

# ---------------------------------------------------------------------------- race

ROLES = ("artifact", "row_identity", "auxiliary_artifact", "calibration_profile", "encoder_distortion_profile")
SWAPS = ("file", "directory")  # the file itself, or a directory on its path, becomes a link

_libc = ctypes.CDLL(None, use_errno=True)
_AT_FDCWD = -100
_RENAME_EXCHANGE = 2


def exchange(a: Path, b: Path) -> None:
    """Atomically swaps the two names (renameat2 RENAME_EXCHANGE): both always exist."""
    if _libc.renameat2(_AT_FDCWD, os.fsencode(a), _AT_FDCWD, os.fsencode(b), _RENAME_EXCHANGE) != 0:
        err = ctypes.get_errno()
        raise OSError(err, os.strerror(err))


def sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


class RaceScenario:
    """A manifest under root/base whose `role` file (or the directory holding it) can be
    swapped with a link to a same-named file under root/outside, which holds other bytes."""

    def __init__(self, root: Path, role: str, swap: str):
        self.role, self.swap = role, swap
        base, outside = root / "base", root / "outside"
        bundle = Bundle(base, row_map=role == "row_identity")
        rel = "d/x.bin" if swap == "directory" else "x.bin"
        m = bundle.manifest
        if role == "artifact":
            inside, alien = bundle.index, index_bytes("rank_quant", seed=9)
            bundle.index_path.rename(base / "tmp")
            m["artifact"]["path"] = rel
        elif role == "row_identity":
            inside = bundle.row_map_path.read_bytes()
            alien = "".join(line + "\n" for line in row_map_lines(3, parent=True)).encode()
            bundle.row_map_path.rename(base / "tmp")
            m["row_identity"]["path"] = rel
        elif role == "auxiliary_artifact":
            inside, alien = b"inside auxiliary", b"outside secret!!"
            bundle.add_auxiliary("tok", inside, path="tmp")
            m["auxiliary_artifacts"][0]["path"] = rel
        elif role == "calibration_profile":
            inside, alien = bytes(128), bytes([1]) * 128
            m["calibration"] = calibration_block(bundle, inside, rel="tmp")
            m["calibration"]["profile"]["path"] = rel
        else:
            inside, alien = b'{"pairs": []}', b'{"pairs": [1]}'
            m["encoder_distortion"] = encoder_distortion_block(bundle, inside, rel="tmp")
            m["encoder_distortion"]["profile"]["path"] = rel
        (base / rel).parent.mkdir(parents=True, exist_ok=True)
        (base / "tmp").rename(base / rel)
        (outside / rel).parent.mkdir(parents=True, exist_ok=True)
        (outside / rel).write_bytes(alien)
        # The name that alternates between the real entry and a link to its outside twin.
        first = rel.split("/")[0]
        self.target, self.link = base / first, base / (first + ".swap")
        self.link.symlink_to(outside / first)
        self.manifest = bundle.write()
        self.base = base
        self.candidate = f"{base}/{rel}"
        self.messages = self._expected_messages()
        self.inside_digest, self.outside_digest = sha256(inside), sha256(alien)
        self.swaps = 0
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None

    def verify(self) -> dict:
        return zm.verify_manifest(self.manifest)

    def role_digest(self, report: dict):
        if self.role == "artifact":
            return report["artifact"]["sha256"]
        if self.role == "row_identity":
            return report["row_identity"]["sha256"]
        if self.role == "auxiliary_artifact":
            return report["auxiliary_artifacts"][0]["sha256"]
        section = "calibration" if self.role == "calibration_profile" else "encoder_distortion"
        return report[section]["profile_sha256"]

    def _expected_messages(self) -> dict[str, tuple[str, str]]:
        """The issue each non-verified outcome must be, exactly (taken before any swap)."""
        outside_canonical = os.path.realpath(self.link) + self.candidate[len(str(self.target)):]
        if self.role == "auxiliary_artifact":
            return {
                "escaped": ("auxiliary_artifact_path_escape_rejected",
                            f'canonical auxiliary artifact path {outside_canonical} for "tok" is outside manifest base '
                            f"{os.path.realpath(self.base)}"),
                "changed": ("auxiliary_artifact_path_unavailable",
                            f'failed to canonicalize auxiliary artifact "tok" at {self.candidate}: {CHANGED}'),
            }
        return {
            "escaped": (f"{self.role}_path_escape_rejected",
                        f"canonical path {outside_canonical} is outside manifest base {os.path.realpath(self.base)}"),
            "changed": (f"{self.role}_path_unavailable", f"failed to canonicalize {self.candidate}: {CHANGED}"),
        }

    def classify(self, report: dict) -> str:
        """verified, escaped, changed; or leaked (the outside digest appears anywhere in the
        report) and unexpected (any other outcome)."""
        if self.outside_digest in json.dumps(report):
            return "leaked"
        prefix = "auxiliary_artifact_" if self.role == "auxiliary_artifact" else self.role + "_"
        issues = [(i["code"], i["message"]) for i in report["errors"] if i["code"].startswith(prefix)]
        if not issues and report["ok"] and self.role_digest(report) == self.inside_digest:
            return "verified"
        for outcome, issue in self.messages.items():
            if issues == [issue]:
                return outcome
        return "unexpected"

    def _swap_loop(self) -> None:
        while not self._stop.is_set():
            exchange(self.target, self.link)
            self.swaps += 1

    def __enter__(self) -> RaceScenario:
        self._thread = threading.Thread(target=self._swap_loop, daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self._stop.set()
        assert self._thread is not None
        self._thread.join()
        if self.swaps % 2:
            exchange(self.target, self.link)  # the real entry back in place


def race(root: Path, role: str, swap: str, runs: int) -> tuple[dict[str, int], list[dict]]:
    """Runs the verifier `runs` times against the swapping link. Returns the outcome
    counts and the reports of every leaked or unexpected outcome."""
    scenario = RaceScenario(root, role, swap)
    counts = dict.fromkeys(("verified", "escaped", "changed", "leaked", "unexpected"), 0)
    bad: list[dict] = []
    with scenario:
        for _ in range(runs):
            report = scenario.verify()
            outcome = scenario.classify(report)
            counts[outcome] += 1
            if outcome in ("leaked", "unexpected"):
                bad.append(report)
    return counts, bad


# ---------------------------------------------------------------------------- threads

THREADS = 8


def _normalise(value):
    """Drops what differs between calls by design: checked_at, created_at, manifest ids."""
    if isinstance(value, dict):
        return {k: _normalise(v) for k, v in value.items() if k not in ("checked_at", "created_at", "manifest_id", "invocation_id")}
    if isinstance(value, list):
        return [_normalise(v) for v in value]
    return value


def _outcome(fn, args, kw):
    try:
        return ("ok", _normalise(fn(*args, **kw)))
    except Exception as e:  # the exception's type and text are part of the result
        return ("raised", type(e).__name__, str(e))


def _bundle(root: Path, n_vectors: int, seed: int) -> Bundle:
    """A rank bundle of dim 256 (512 bytes a vector) with a row map and an auxiliary file."""
    b = Bundle(root, "rank", n=n_vectors, dim=256, seed=seed)
    b.add_auxiliary("tok", bytes([seed]) * 4096)
    b.write()
    return b


@dataclass
class ThreadFigures:
    calls: int = 0
    mismatches: list = field(default_factory=list)
    serial_s: float = 0.0
    threaded_s: float = 0.0

    @property
    def speedup(self) -> float:
        return self.serial_s / self.threaded_s if self.threaded_s else 0.0


def thread_tasks(root: Path, n_vectors: int) -> list[list[tuple]]:
    """Per thread, its list of (function, args, kwargs): all six functions, on the shared
    bundle and on the thread's own one, successes and failures."""
    shared = _bundle(root / "shared", n_vectors, 1)
    broken = root / "broken.json"
    broken.write_text('{"schema_version": 1}')
    tasks = []
    for t in range(THREADS):
        own = _bundle(root / f"own{t}", n_vectors, 2 + t)
        out = root / f"own{t}" / "out"
        tasks.append([
            (zm.sha256_file, (shared.index_path,), {}),
            (zm.sha256_file, (own.index_path,), {}),
            (zm.sha256_file, (root / "missing",), {}),
            (zm.verify_manifest, (shared.manifest_path,), {}),
            (zm.verify_manifest, (own.manifest_path,), {"max_report_issues": 2, "index": "../shared/index.rank"}),
            (zm.verify_for_load, (own.manifest_path,), {}),
            (zm.verify_for_load, (own.manifest_path,), {"index": "missing"}),
            (zm.inspect_manifest, (shared.manifest_path,), {}),
            (zm.inspect_manifest, (broken,), {}),
            (zm.create_manifest, (shared.index_path, out / "shared.json", "enc"), {"row_map": shared.row_map_path,
                                                                                  "allow_path_escape": True}),
            (zm.create_manifest, (own.index_path, out / "own.json", "enc"), {"row_id_is_identity": True,
                                                                            "allow_path_escape": True}),
            (zm.default_resource_limits, (), {}),
        ])
    return tasks


def threads(root: Path, rounds: int, n_vectors: int) -> ThreadFigures:
    tasks = thread_tasks(root, n_vectors)
    expected = [[_outcome(*task) for task in per_thread] for per_thread in tasks]
    fig = ThreadFigures()

    def run(t: int, out: list) -> None:
        for _ in range(rounds):
            for task, want in zip(tasks[t], expected[t]):
                got = _outcome(*task)
                if got != want:
                    out.append((t, task[0].__name__, got, want))

    start = time.perf_counter()
    for t in range(THREADS):  # the same work on one thread
        run(t, fig.mismatches)
    fig.serial_s = time.perf_counter() - start
    workers = [threading.Thread(target=run, args=(t, fig.mismatches)) for t in range(THREADS)]
    start = time.perf_counter()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    fig.threaded_s = time.perf_counter() - start
    fig.calls = 2 * rounds * sum(len(t) for t in tasks)
    return fig


# ---------------------------------------------------------------------------- soak


def rss_bytes() -> int:
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def fd_count() -> int:
    return len(os.listdir("/proc/self/fd"))


def soak_cases(root: Path) -> dict[str, list[tuple]]:
    """For each function, (args, kwargs) of its success and of every error class."""
    b = Bundle(root / "ok")
    b.add_auxiliary("tok", b"aux")
    b.manifest["calibration"] = calibration_block(b)
    b.manifest["encoder_distortion"] = encoder_distortion_block(b)
    good = b.write()
    bad = Bundle(root / "bad")
    bad.manifest["schema_version"] = "x"
    bad.manifest["artifact"]["sha256"] = "A" * 64
    bad.manifest["artifact"]["path"] = "../escape"
    bad.manifest["row_identity"]["row_count"] = 50
    bad.manifest["auxiliary_artifacts"] = [{"name": " n", "path": "gone", "sha256": "0", "file_size_bytes": 1},
                                           {"name": "abs", "path": "/abs", "sha256": "0", "file_size_bytes": 1}]
    bad_path = bad.write()
    (bad.root / "rows.jsonl").write_text('{"row_id": 0}\n' + "x\n" * 49)
    syntax = root / "syntax.json"
    syntax.write_text('{"schema_version": ')
    schema = root / "schema.json"
    schema.write_text('{"schema_version": "zarnik.index_manifest.v1", "unknown": 1}')
    missing = root / "missing.json"
    directory = root
    out = root / "out" / "m.json"
    return {
        "sha256_file": [((b.index_path,), {}), ((missing,), {}), ((directory,), {}), ((3,), {})],
        "inspect_manifest": [((good,), {}), ((missing,), {}), ((syntax,), {}), ((schema,), {}),
                             ((good,), {"max_manifest_bytes": 10}), ((good,), {"max_manifest_bytes": -1}),
                             ((good,), {"max_manifest_bytes": 1.5})],
        "verify_manifest": [((good,), {}), ((bad_path,), {}), ((bad_path,), {"max_report_issues": 3}),
                            ((missing,), {}), ((syntax,), {}), ((good,), {"allow_path_escape": 1}),
                            ((good,), {"max_auxiliary_artifact_bytes": 1, "max_row_map_line_bytes": 4})],
        "verify_for_load": [((good,), {}), ((bad_path,), {}), ((missing,), {}), ((schema,), {}),
                            ((good,), {"index": 7})],
        "create_manifest": [((b.index_path, out, "enc"), {"row_map": b.row_map_path, "allow_path_escape": True}),
                            ((b.index_path, out, "enc"), {"row_id_is_identity": True, "allow_path_escape": True,
                                                          "auxiliary_artifacts": [{"name": "a", "path": b.index_path}]}),
                            ((b.index_path, out, "enc"), {"row_map": b.row_map_path, "row_id_is_identity": True}),
                            ((missing, out, "enc"), {"row_id_is_identity": True}),
                            ((b.index_path, out, "enc"), {"row_map": bad.root / "rows.jsonl",
                                                          "allow_path_escape": True}),
                            ((b.index_path, out, 5), {"row_id_is_identity": True})],
        "default_resource_limits": [((), {}), ((1,), {})],
    }


@dataclass
class SoakFigures:
    function: str
    calls: int
    fd_delta: int
    rss_growth: int  # bytes, last checkpoint minus the first after warm-up
    slope: float  # bytes per call, least squares over the checkpoints


def soak(root: Path, calls: int) -> list[SoakFigures]:
    figures = []
    for name, cases in soak_cases(root).items():
        fn = getattr(zm, name)

        def burst(n: int) -> None:
            for i in range(n):
                args, kw = cases[i % len(cases)]
                try:
                    fn(*args, **kw)
                except (OSError, ValueError, TypeError, OverflowError):
                    pass

        burst(max(200, calls // 10))  # warm-up: allocator pools, interned names, caches
        fds = fd_count()
        points = [(0, rss_bytes())]
        step = max(1, calls // 10)
        done = 0
        while done < calls:
            burst(min(step, calls - done))
            done = min(calls, done + step)
            points.append((done, rss_bytes()))
        n = len(points)
        mx = sum(x for x, _ in points) / n
        my = sum(y for _, y in points) / n
        var = sum((x - mx) ** 2 for x, _ in points)
        slope = sum((x - mx) * (y - my) for x, y in points) / var if var else 0.0
        figures.append(SoakFigures(name, calls, fd_count() - fds, points[-1][1] - points[0][1], slope))
    return figures


# ---------------------------------------------------------------------------- sparse giant


def peak_rss_kib(code: str) -> int:
    """Peak resident set of a child running `code`, read as RUSAGE_CHILDREN by a parent
    whose only child it is."""
    wrapper = ("import resource, subprocess, sys\n"
               "subprocess.run([sys.executable, '-c', sys.argv[1]], check=True)\n"
               "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    out = subprocess.run([sys.executable, "-c", wrapper, code], capture_output=True, text=True, check=True)
    return int(out.stdout.split()[-1])


def sparse_giant(root: Path, size: int) -> tuple[list[str], int, int]:
    """Verifies a manifest whose index was replaced by a sparse file of `size` bytes with
    the original header. Returns the issue codes, the verifier's peak RSS and the peak of
    a child that only imports the module (both KiB)."""
    b = Bundle(root, row_map=False)
    with open(b.index_path, "wb") as fh:
        fh.write(b.index[:14])
        fh.truncate(size)
    manifest = b.write()
    out = root / "codes.json"
    code = ("import json, zarnik_manifest as zm\n"
            f"r = zm.verify_manifest({str(manifest)!r})\n"
            f"open({str(out)!r}, 'w').write(json.dumps([i['code'] for i in r['errors']]))\n")
    peak = peak_rss_kib(code)
    base = peak_rss_kib("import json, zarnik_manifest as zm\nzm.default_resource_limits()")
    return json.loads(out.read_text()), peak, base


# ---------------------------------------------------------------------------- main


def main() -> int:
    scale_name = os.environ.get("ZM_STRESS_SCALE", "small")
    scale = SCALES[scale_name]
    failed = False
    print(f"scale {scale_name}: {scale}")
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as tmp:
        root = Path(tmp)
        for role in ROLES:
            for swap in SWAPS:
                counts, bad = race(root / f"race-{role}-{swap}", role, swap, scale["race_runs"])
                ok = not bad
                failed |= not ok
                print(f"race {role:<27} {swap:<9} " + " ".join(f"{k}={v}" for k, v in counts.items())
                      + ("" if ok else f"  FAILED: {json.dumps(bad[0])[:400]}"))
        fig = threads(root / "threads", scale["thread_rounds"], scale["thread_vectors"])
        failed |= bool(fig.mismatches)
        print(f"threads {THREADS} x {scale['thread_rounds']} rounds: {fig.calls} calls, "
              f"{len(fig.mismatches)} mismatches, serial {fig.serial_s:.2f}s, threaded {fig.threaded_s:.2f}s, "
              f"speed-up {fig.speedup:.2f}")
        for m in fig.mismatches[:3]:
            print("  mismatch:", str(m)[:400])
        codes, peak, base = sparse_giant(root / "sparse", scale["sparse_bytes"])
        expected = ["artifact_sha256_mismatch", "artifact_file_size_mismatch", "artifact_probe_failed"]
        ok = codes == expected and peak - base < 16 << 10
        failed |= not ok
        print(f"sparse index {scale['sparse_bytes'] >> 20} MiB: codes={','.join(codes)} peak_rss={peak}KiB "
              f"(import alone {base}KiB, delta {peak - base}KiB)" + ("" if ok else "  FAILED"))
        for s in soak(root / "soak", scale["soak_calls"]):
            ok = s.fd_delta == 0 and s.rss_growth < (1 << 20)
            failed |= not ok
            print(f"soak {s.function:<24} calls={s.calls} fd_delta={s.fd_delta} rss_growth={s.rss_growth / 1024:.0f}KiB "
                  f"slope={s.slope:.3f}B/call" + ("" if ok else "  FAILED"))
    print("FAILED" if failed else "ok")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

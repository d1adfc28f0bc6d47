"""A file is read only if it is the entry the path policy resolved: a symbolic link
swapped in between the check and the open never makes the verifier read, and report, a
file outside the manifest's directory."""

import errno
import fcntl
import json
import os
import sys
import threading
import time
from pathlib import Path

import pytest

import zarnik_manifest as zm
from builders import Bundle, index_bytes, sha256

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
import stress  # noqa: E402


@pytest.mark.parametrize("swap", stress.SWAPS)
@pytest.mark.parametrize("role", stress.ROLES)
def test_swapping_link_never_reports_the_outside_file(tmp_path, role, swap):
    # Outcomes only: whether any run met a swap depends on the machine's load.
    counts, bad = stress.race(tmp_path, role, swap, runs=300)
    assert bad == [], (counts, json.dumps(bad[0])[:2000])


def open_writer(path: Path, timeout: float = 10.0) -> int:
    """Opens a FIFO for writing once a reader has it open (never blocks the test)."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
            fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) & ~os.O_NONBLOCK)
            return fd
        except OSError as e:
            if e.errno != errno.ENXIO or time.monotonic() > deadline:
                raise
            time.sleep(0.001)


def test_link_swapped_between_hash_and_probe_is_reported_unavailable(tmp_path):
    # The artifact is a FIFO, so the test decides when each of its two opens completes:
    # the name is re-pointed at an outside FIFO after the hash open, before the probe's.
    bundle = Bundle(tmp_path / "base", row_map=False)
    os.mkfifo(bundle.root / "x.fifo")
    os.mkfifo(tmp_path / "outside.fifo")
    (bundle.root / "x.swap").symlink_to(tmp_path / "outside.fifo")
    manifest = bundle.write(bundle.edited(**{"artifact.path": "x.fifo"}))
    result = {}
    verifier = threading.Thread(target=lambda: result.update(report=zm.verify_manifest(manifest)))
    verifier.start()
    try:
        fd = open_writer(bundle.root / "x.fifo")  # the hash's open
        os.write(fd, bundle.index)
        stress.exchange(bundle.root / "x.fifo", bundle.root / "x.swap")
        os.close(fd)
    finally:
        # The probe's open only names the entry (it never waits for a writer of the outside
        # FIFO) and is refused before anything is read.
        verifier.join(10)
    report = result["report"]
    assert [(i["code"], i["message"]) for i in report["errors"]] == [
        ("artifact_path_unavailable", f"failed to canonicalize {bundle.root}/x.fifo: {stress.CHANGED}")]
    # The hash was of the entry resolved, and stays reported.
    art = report["artifact"]
    assert (art["sha256"], art["size_bytes"], art["metadata"]) == (sha256(bundle.index), len(bundle.index), None)


@pytest.mark.parametrize("allow,code", [(False, "artifact_path_escape_rejected"), (True, "artifact_sha256_mismatch")])
def test_link_in_place_before_the_run_keeps_the_documented_outcome(tmp_path, allow, code):
    # Without a race, a link that leads outside is judged by the policy as before.
    bundle = Bundle(tmp_path / "base", row_map=False)
    outside = index_bytes("rank_quant", seed=9)
    (tmp_path / "outside.bin").write_bytes(outside)
    (bundle.root / "x.bin").symlink_to(tmp_path / "outside.bin")
    report = zm.verify_manifest(bundle.write(bundle.edited(**{"artifact.path": "x.bin"})), allow_path_escape=allow)
    assert [i["code"] for i in report["errors"]] == [code]
    assert report["artifact"]["sha256"] == (sha256(outside) if allow else None)

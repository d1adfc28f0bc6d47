"""tools/stress.py at small size: concurrent calls lose nothing, repeated calls leak
nothing, and every function lets other threads run while it waits on a file."""

import os
import sys
import threading
from pathlib import Path

import pytest

import zarnik_manifest as zm
from builders import SANITIZED, Bundle, sha256
from test_file_identity import open_writer

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
import stress  # noqa: E402


def test_eight_threads_on_shared_and_separate_files_match_the_serial_results(tmp_path):
    assert stress.threads(tmp_path, rounds=2, n_vectors=64).mismatches == []


def test_soak_covers_each_error_class_and_leaves_descriptors_and_memory_flat(tmp_path):
    figures = stress.soak(tmp_path, calls=1200)
    assert {f.function: f.outcomes for f in figures} == {
        "sha256_file": {"ok", "FileNotFoundError", "IsADirectoryError", "TypeError"},
        "inspect_manifest": {"ok", "FileNotFoundError", "ValueError", "TypeError", "OverflowError"},
        "verify_manifest": {"ok", "FileNotFoundError", "ValueError", "TypeError"},
        "verify_for_load": {"ok", "ValueError", "FileNotFoundError", "TypeError"},
        "create_manifest": {"ok", "ValueError", "FileNotFoundError", "TypeError"},
        "default_resource_limits": {"ok", "TypeError"},
    }
    for f in figures:
        assert f.fd_delta == 0 and (SANITIZED or f.rss_growth < 1 << 20), f


@pytest.mark.parametrize("which", range(5))
def test_interpreter_lock_is_released_while_a_call_waits_on_its_file(tmp_path, which):
    # The call blocks in open() until this thread, which needs the lock to run, opens the FIFO's
    # other end: it completes only if the lock was released. The hash reads a pipe to its end.
    b = Bundle(tmp_path / "m", row_map=False)
    text, fifo, payload = b.write().read_bytes(), b.root / "fifo", os.urandom(300_000)
    call, data = [
        (lambda: zm.sha256_file(fifo), payload),
        (lambda: zm.inspect_manifest(fifo), text),
        (lambda: zm.verify_manifest(fifo), text),
        (lambda: zm.verify_for_load(fifo), text),
        (lambda: zm.create_manifest(fifo, tmp_path / "out.json", "enc", row_id_is_identity=True), b.index),
    ][which]
    os.mkfifo(fifo)
    outcome = []

    def run():
        try:
            outcome.append(call())
        except OSError as e:  # create_manifest cannot seek back in a FIFO index to probe it
            outcome.append(e)

    caller = threading.Thread(target=run)
    caller.start()
    fd = open_writer(fifo)
    os.write(fd, data)
    os.close(fd)
    caller.join(10)
    assert len(outcome) == 1
    if which == 0:
        assert outcome[0] == {"sha256": sha256(data), "size_bytes": len(data)}

"""Signals during file work: Ctrl-C stops any call, wherever it waits or works; a handler that does not raise
never fails a call; a reader stalled on a pipe never holds back a verdict already known. No test here measures
time: a call that should return but blocks is released by a watchdog, and the test fails because it fired."""

import contextlib
import errno
import hashlib
import itertools
import os
import signal
import threading

import pytest

import zarnik_manifest as zm
from builders import Bundle, header, row_map_lines
from test_hostile_files import root  # noqa: F401  (fixture: a directory in /dev/shm)

WATCHDOG = 20.0


class Writer(threading.Thread):
    """Opens `fifo` for writing once a reader has it open (`connected` is set then), writes `pieces` with `pause`
    seconds before each, then (with `hold`) waits for `released` before closing. Release also ends the wait for
    a reader and the pieces early; a reader that went away ends the writing."""

    def __init__(self, fifo, pieces=(), pause=0.0, hold=False):
        super().__init__(daemon=True)
        self.fifo, self.pieces, self.pause, self.hold = fifo, pieces, pause, hold
        self.connected, self.released, self.error = threading.Event(), threading.Event(), None
        self.start()

    def run(self):
        while True:
            try:
                fd = os.open(self.fifo, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError as e:
                if e.errno != errno.ENXIO:  # ENXIO: no reader yet
                    self.error = e
                    return
            if self.released.wait(0.001):
                return
        os.set_blocking(fd, True)
        self.connected.set()
        try:
            for piece in self.pieces:
                if self.released.wait(self.pause):
                    break
                os.write(fd, piece)
            else:
                if self.hold:
                    self.released.wait()
        except BrokenPipeError:
            pass  # the reader has stopped
        finally:
            os.close(fd)


@contextlib.contextmanager
def watchdog(release):
    """Runs `release` once after WATCHDOG seconds unless the block ends first; yields [fired]."""
    fired = [False]

    def fire():
        fired[0] = True
        release()

    timer = threading.Timer(WATCHDOG, fire)
    timer.start()
    try:
        yield fired
    finally:
        timer.cancel()
        timer.join()


@contextlib.contextmanager
def sigint_every_10_ms(after=None):
    """Sends SIGINT to the process every 10 ms (once the event `after` is set, if given). Its handler raises
    KeyboardInterrupt once, and only after the test sets armed[0] (just before the call under test): set by a
    plain store, so no handler runs between it and the call, and the exception can only come from a check
    inside the call or from the interpreter after the call returned."""
    armed, done = [False], threading.Event()

    def handler(signum, frame):
        if armed[0]:
            armed[0] = False
            raise KeyboardInterrupt

    def send():
        while after is not None and not after.wait(0.01):
            if done.is_set():
                return
        while not done.wait(0.01):
            os.kill(os.getpid(), signal.SIGINT)

    previous = signal.signal(signal.SIGINT, handler)
    sender = threading.Thread(target=send)
    sender.start()
    try:
        yield armed
    finally:
        done.set()
        sender.join()  # its Python code runs any handler still pending, disarmed
        armed[0] = False
        signal.signal(signal.SIGINT, previous)


def hash_fifo_without_writer(root):
    os.mkfifo(fifo := root / "fifo")

    def release():  # gives an open still blocked a writer, which closes at once: end of file
        with contextlib.suppress(OSError):  # ENXIO: no reader waits any more
            os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))

    return (lambda: zm.sha256_file(fifo)), release, None


def hash_fifo_fed_slowly(root):
    os.mkfifo(fifo := root / "fifo")
    writer = Writer(fifo, itertools.repeat(b"x" * 512), pause=0.005)
    return (lambda: zm.sha256_file(fifo)), writer.released.set, writer


def row_map_fifo(root, pieces=()):
    """A bundle whose row map is a FIFO fed `pieces` by a writer that then holds it open until released."""
    b = Bundle(root / "m")
    b.row_map_path.unlink()
    os.mkfifo(b.row_map_path)
    return b.write(), Writer(b.row_map_path, pieces, hold=True)


def verify_row_map_fifo_stalled(root):
    # The reading thread waits on the pipe; the calling thread waits for its chunks.
    manifest, writer = row_map_fifo(root)
    return (lambda: zm.verify_manifest(manifest)), writer.released.set, writer


def create_from_giant_index(root):
    # A sparse 4 GiB index: its hash (on a helper thread) takes seconds, unless stopped.
    with open(index := root / "giant.zkrq", "wb") as fh:
        fh.write(header("rank_quant", dim=512, n=2**24, bits=4))
        fh.truncate(14 + 256 * 2**24)
    out = root / "out" / "m.json"
    return (lambda: zm.create_manifest(index, out, "m", row_id_is_identity=True)), (lambda: None), None


def outcome_under_sigint(call, after=None) -> str:
    """"interrupted" when KeyboardInterrupt came out of the call; otherwise what happened, contained, so that a
    handler running late cannot abort the test session."""
    try:
        with sigint_every_10_ms(after) as armed:
            armed[0] = True
            try:
                call()
            except KeyboardInterrupt:
                return "interrupted"
            return "returned"
    except BaseException as e:  # noqa: B036 - the handler runs wherever Python next checks
        return f"{e!r} outside the call"


@pytest.mark.parametrize(
    "setup", [hash_fifo_without_writer, hash_fifo_fed_slowly, verify_row_map_fifo_stalled, create_from_giant_index])
def test_sigint_raises_keyboard_interrupt_out_of_the_call(root, fd_guard, setup):
    call, release, writer = setup(root)
    try:
        with watchdog(release) as fired:
            # Where the call waits on a writer, the signals start once it has connected.
            outcome = outcome_under_sigint(call, writer.connected if writer else None)
    finally:
        release()
        if writer is not None:
            writer.join()
    assert (outcome, fired[0], writer and writer.error) == ("interrupted", False, None)
    # Nothing was written: no manifest, no temporary file (the output's directory stays).
    assert not (root / "out").exists() or list((root / "out").iterdir()) == []


def test_handler_that_returns_does_not_fail_hashing_a_slowly_fed_pipe(root, fd_guard):
    # SIGALRM every 2 ms interrupts the reads of the pipe; each is retried.
    os.mkfifo(fifo := root / "fifo")
    payload = os.urandom(256 * 1024)
    writer = Writer(fifo, [payload[i : i + 1024] for i in range(0, len(payload), 1024)], pause=0.001)
    previous = signal.signal(signal.SIGALRM, lambda signum, frame: None)
    signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
    try:
        result = zm.sha256_file(fifo)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        writer.released.set()
        writer.join()
    assert result == {"sha256": hashlib.sha256(payload).hexdigest(), "size_bytes": len(payload)}


def test_verdict_returns_while_the_row_map_writer_stalls(root, fd_guard):
    # Five rows for three declared: the verdict is known at the fourth line. The writer then holds the pipe
    # open until the test releases it after the call returned.
    manifest, writer = row_map_fifo(root, ["".join(line + "\n" for line in row_map_lines(5)).encode()])
    try:
        with watchdog(writer.released.set) as fired:
            report = zm.verify_manifest(manifest)
    finally:
        writer.released.set()
        writer.join()
    assert (fired[0], writer.error) == (False, None)
    assert [(i["code"], i["message"]) for i in report["errors"]] == [
        ("row_identity_row_count_mismatch", "row identity file has more than declared row_count=3")]

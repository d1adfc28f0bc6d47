"""Hostile files in every file role (sparse giants, endless devices, link loops, extreme names, directories,
FIFOs): exact outcomes, reading stopped at its bound, flat memory (measured in a child process)."""

import errno
import functools
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

import zarnik_manifest as zm
from builders import Bundle, calibration_block, encoder_distortion_block, sha256, skip_rss_when_sanitized

SHM = Path("/dev/shm") if os.path.isdir("/dev/shm") else None
ROLES = ("artifact", "row_identity", "auxiliary_artifact", "calibration_profile", "encoder_distortion_profile")
FIELD = {"artifact": ("artifact",), "row_identity": ("row_identity",), "auxiliary_artifact": ("auxiliary_artifacts", 0),
         "calibration_profile": ("calibration", "profile"), "encoder_distortion_profile": ("encoder_distortion", "profile")}
NAME = {"calibration_profile": "calibration profile", "encoder_distortion_profile": "encoder distortion profile"}


def os_text(code: int) -> str:
    return f"{os.strerror(code)} (os error {code})"


@pytest.fixture
def root():
    """A fresh directory, in memory where /dev/shm exists (sparse giants cost nothing there)."""
    yield (base := Path(tempfile.mkdtemp(dir=SHM)))
    shutil.rmtree(base)


def full_bundle(root: Path) -> Bundle:
    """Every file role present and clean."""
    b = Bundle(root / "m")
    b.add_auxiliary("tok", b"auxiliary bytes")
    b.manifest["calibration"] = calibration_block(b)
    b.manifest["encoder_distortion"] = encoder_distortion_block(b)
    return b


def entry(manifest: dict, role: str) -> dict:
    return functools.reduce(lambda node, key: node[key], FIELD[role], manifest)


def canonical(report: dict, role: str) -> str | None:
    first, last = FIELD[role][0], FIELD[role][-1]
    return report[first]["profile_canonical_path"] if last == "profile" else \
        (report[first][0] if last == 0 else report[first])["canonical_path"]


def with_path(b: Bundle, role: str, rel: str) -> Path:
    entry(b.manifest, role)["path"] = rel
    return b.write()


def role_issues(report: dict, role: str) -> list[tuple[str, str]]:
    return [(i["code"], i["message"]) for i in report["errors"] if i["code"].startswith(role + "_")]


def unavailable(b: Bundle, role: str, rel: str, text: str) -> tuple[str, str]:
    candidate = f"{b.root}/{rel}"
    if role == "auxiliary_artifact":
        return ("auxiliary_artifact_path_unavailable",
                f'failed to canonicalize auxiliary artifact "tok" at {candidate}: {text}')
    return (f"{role}_path_unavailable", f"failed to canonicalize {candidate}: {text}")


def read_failed(role: str, text: str) -> list[tuple[str, str]]:
    return {"artifact": [("artifact_hash_failed", f"failed to hash artifact: {text}"),
                         ("artifact_probe_failed", f"failed to probe artifact metadata: {text}")],
            "row_identity": [("row_identity_read_failed", f"failed to read row identity file: {text}")],
            "auxiliary_artifact": [("auxiliary_artifact_hash_failed", f'failed to hash auxiliary artifact "tok": {text}')],
            }.get(role) or [(f"{role}_hash_failed", f"failed to hash {NAME[role]}: {text}")]


def peak_rss_kib(code: str) -> int:
    """Peak resident set of a child running `code` (RUSAGE_CHILDREN of a parent with only that child)."""
    wrapper = ("import resource, subprocess, sys\n"
               "subprocess.run([sys.executable, '-c', sys.argv[1]], check=True)\n"
               "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    out = subprocess.run([sys.executable, "-c", wrapper, code], capture_output=True, text=True, check=True, timeout=120)
    return int(out.stdout.split()[-1])


BASELINE = "import json, zarnik_manifest as zm\n"


@pytest.fixture(scope="module")
def baseline_kib():
    return peak_rss_kib(BASELINE + "zm.default_resource_limits()")


def bytes_read() -> int:
    return int(dict(line.split(": ") for line in Path("/proc/self/io").read_text().splitlines())["rchar"])


@pytest.mark.parametrize("kind", ["loop", "directory"])
@pytest.mark.parametrize("fn", [zm.inspect_manifest, zm.verify_manifest, zm.verify_for_load])
def test_manifest_that_is_a_link_loop_or_directory_raises_the_system_error(root, kind, fn):
    if kind == "loop":
        (root / "m.json").symlink_to("m.json")
    with pytest.raises(OSError) as e:
        fn(root / "m.json" if kind == "loop" else root)
    assert e.value.args == (os_text(errno.ELOOP if kind == "loop" else errno.EISDIR),)


def deep_file(base: Path, total: int, data: bytes) -> str:
    """Writes `data` at a relative path whose candidate base + "/" + rel is `total` bytes long, made from inside
    `base` (the absolute path may exceed PATH_MAX)."""
    need = total - len(str(base)) - 1
    parts = ["d" * 200] * ((need - 1) // 201)
    rel, cwd = "/".join(parts + ["f" * (need - 201 * len(parts))]), os.getcwd()
    os.chdir(base)
    try:
        os.makedirs(os.path.dirname(rel))
        Path(rel).write_bytes(data)
    finally:
        os.chdir(cwd)
    return rel


PATH_MAX = os.pathconf("/", "PC_PATH_MAX")


@pytest.mark.parametrize("kind,size,err", [
    ("loop", 1, errno.ELOOP), ("loop", 2, errno.ELOOP), ("dir", 0, errno.EISDIR), ("name", 255, None),
    ("name", 256, errno.ENAMETOOLONG), ("path", PATH_MAX - 1, None), ("path", PATH_MAX, errno.ENAMETOOLONG)])
@pytest.mark.parametrize("role", ROLES)
def test_link_loops_directories_and_name_and_path_length_limits(root, role, kind, size, err):
    b = full_bundle(root)
    real = b.root / entry(b.manifest, role)["path"]
    rel = {"loop": "a", "dir": "dir", "name": "n" * size}.get(kind)
    if kind == "loop":
        for name, target in zip("ab"[:size], ("ab"[1:size] + "a")):
            (b.root / name).symlink_to(target)
    elif kind == "dir":
        (b.root / rel).mkdir()
    elif kind == "path":
        rel = deep_file(b.root, size, real.read_bytes())
    elif err is None:
        os.rename(real, b.root / rel)
    report = zm.verify_manifest(with_path(b, role, rel))
    assert report["ok"] is (err is None)
    if err is None:
        assert (role_issues(report, role), canonical(report, role)) == ([], f"{b.root}/{rel}")
    else:
        assert role_issues(report, role) == (read_failed(role, os_text(err)) if kind == "dir"
                                             else [unavailable(b, role, rel, os_text(err))])


def test_directory_named_with_newline_and_invalid_utf8_verifies_and_shows_replacement(root):
    raw = os.fsencode(str(root)) + b"/\xffbad\nname"
    b = full_bundle(Path(os.fsdecode(raw)))
    report = zm.verify_manifest(b.write())
    assert report["ok"], report["errors"]
    shown = str(root) + "/\ufffdbad\nname/m"
    assert [canonical(report, r) for r in ROLES] == [shown + "/" + name for name in (
        "index.rank_quant", "rows.jsonl", "aux-0.bin", "calibration.bin", "distortion.json")]
    assert zm.verify_for_load(b.manifest_path)["report"]["ok"]
    # An invalid override is shown with the replacement character too.
    report = zm.verify_manifest(b.manifest_path, index=b"\xfe.bin")
    assert report["artifact"]["observed_path"] == "\ufffd.bin"
    assert role_issues(report, "artifact") == [
        ("artifact_path_unavailable", f"failed to canonicalize {shown}/\ufffd.bin: {os_text(errno.ENOENT)}")]


# The artifact is opened twice (hash, then probe); test_file_identity feeds its FIFO.
@pytest.mark.parametrize("role", ROLES[1:])
def test_fifo_fed_by_a_writer_is_read_like_a_file(root, role):
    b = full_bundle(root)
    fifo = b.root / entry(b.manifest, role)["path"]
    (root / "data").write_bytes(fifo.read_bytes())
    fifo.unlink()
    os.mkfifo(fifo)
    writer = subprocess.Popen(["sh", "-c", 'cat "$1" > "$0"', fifo, root / "data"])  # blocks until read
    try:
        assert zm.verify_manifest(b.write())["errors"] == []
        assert writer.wait(10) == 0
    finally:
        writer.kill()
        writer.wait()


def sparse(path: Path, header: bytes, size: int) -> None:
    with open(path, "wb") as fh:
        fh.write(header)
        fh.truncate(size)


GIANT = 10 << 30  # sparse: no storage, but every read returns bytes


LIMIT_KW = {"auxiliary_artifact": "max_auxiliary_artifact_bytes", "calibration_profile": "max_calibration_profile_bytes",
            "encoder_distortion_profile": "max_encoder_distortion_profile_bytes"}


def too_large(role: str, limit: int, path: str) -> list[tuple[str, str]]:
    if role == "auxiliary_artifact":
        code = "auxiliary_artifact_file_too_large"
        return [(code, f"{code}: auxiliary artifact exceeds {limit} bytes while reading {path}")]
    return [(f"{role}_too_large", f"{NAME[role]} exceeds {limit} bytes while reading {path}")]


def endless(path: Path, source: str) -> str:
    """`path` made a link to an endless device, or a sparse giant; returns its name in issues."""
    if source == "giant":
        sparse(path, b"", GIANT)
        return str(path)
    path.symlink_to(source)
    return source


SOURCES = ["/dev/zero", "/dev/urandom", "giant"]


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("role", list(LIMIT_KW))
def test_endless_or_giant_file_stops_at_limit_plus_one(root, role, source):
    b = full_bundle(root)
    shown = endless(b.root / "src", source)
    manifest = with_path(b, role, "src")
    limit = 1 << 20
    before = bytes_read()
    report = zm.verify_manifest(manifest, allow_path_escape=True, **{LIMIT_KW[role]: limit})
    read = bytes_read() - before
    assert role_issues(report, role) == too_large(role, limit, shown)
    # limit + 1 from the source, plus the other (small) files and /proc reads.
    assert limit + 1 <= read < limit + 1 + 65536


@pytest.mark.parametrize("source", SOURCES)
def test_endless_or_giant_manifest(root, source):
    shown = endless(root / "m.json", source)
    limit = zm.DEFAULT_MAX_MANIFEST_BYTES if source == "giant" else 4096  # the giant meets the default
    before = bytes_read()
    with pytest.raises(ValueError) as e:
        zm.inspect_manifest(shown, **({} if source == "giant" else {"max_manifest_bytes": limit}))
    assert e.value.args == (f"manifest_file_too_large: manifest file exceeds {limit} bytes while reading {shown}",)
    assert limit + 1 <= bytes_read() - before < limit + 1 + 4096


@pytest.mark.parametrize("source,line_limit", [("/dev/zero", 1024), ("giant", None), ("/dev/urandom", 1024)])
def test_endless_row_map_stops_at_a_limit(root, source, line_limit):
    b = full_bundle(root)
    endless(b.root / "src", source)
    kw = {} if line_limit is None else {"max_row_map_line_bytes": line_limit}
    before = bytes_read()
    report = zm.verify_manifest(with_path(b, "row_identity", "src"), allow_path_escape=True, **kw)
    assert bytes_read() - before < 1 << 20  # the line limit plus the reader's bounded read-ahead
    assert report["row_identity"]["sha256"] is None
    issues = role_issues(report, "row_identity")
    if source != "/dev/urandom":
        assert issues == [
            ("row_identity_line_too_large", f"line 0 exceeds max_row_identity_jsonl_line_bytes={line_limit or 65536}"),
            ("row_identity_row_count_mismatch", "row identity file has at least 1 rows, manifest declares 3")]
        return
    codes = [code for code, _ in issues]
    # Invalid random lines until one is too long or there are too many; a too-long last
    # declared line leaves the count ("at least 3") in agreement: no mismatch.
    if codes[-1] == "row_identity_row_count_mismatch":
        codes = codes[:-1]
    else:
        assert issues[-1] == ("row_identity_line_too_large", "line 2 exceeds max_row_identity_jsonl_line_bytes=1024")
    if codes[-1:] == ["row_identity_line_too_large"]:
        codes = codes[:-1]
    assert set(codes) <= {"row_identity_jsonl_invalid_json"}


@pytest.mark.parametrize("role", ["artifact", *[pytest.param(r, marks=skip_rss_when_sanitized) for r in LIMIT_KW]])
def test_hash_memory_is_flat_in_the_limit_and_the_file(root, baseline_kib, role):
    if role == "artifact":  # a sparse 1 GiB index (tools/stress.py hashes a 10 GiB one)
        size = 1 << 30
        b = Bundle(root / "m", row_map=False)
        sparse(b.index_path, b.index[:14], size)
        manifest, kw = b.write(), ""
    else:  # /dev/zero under a 64 MiB limit
        b = full_bundle(root)
        (b.root / "dev").symlink_to("/dev/zero")
        manifest, kw = with_path(b, role, "dev"), f", allow_path_escape=True, {LIMIT_KW[role]}={64 << 20}"
    peak = peak_rss_kib(BASELINE + f"zm.verify_manifest({str(manifest)!r}{kw})")
    assert peak - baseline_kib < 8 << 10  # KiB: streamed into the hash, never buffered whole
    if role != "artifact":
        return
    report = zm.verify_manifest(manifest)
    assert (report["artifact"]["size_bytes"], report["artifact"]["metadata"]) == (size, None)
    assert [(i["code"], i["message"]) for i in report["errors"]] == [
        ("artifact_sha256_mismatch", f"artifact SHA-256 was {report['artifact']['sha256']}, manifest declares {sha256(b.index)}"),
        ("artifact_file_size_mismatch", f"artifact size was {size}, manifest declares {len(b.index)}"),
        ("artifact_probe_failed", "failed to probe artifact metadata: ZKRQ payload has trailing bytes: "
         f"header declares 6 B but file has {size - 14} B remaining")]


@skip_rss_when_sanitized
def test_many_invalid_lines_keep_memory_flat(root, baseline_kib):
    # The report is capped (max_report_issues): a hundred times the invalid lines cost no more memory.
    b, peaks = Bundle(root / "m", row_map=False), []
    for n in (1000, 100_000):
        (b.root / f"rows{n}.jsonl").write_bytes(b'{"row_id": "not a number", "db_id": 7}\n' * n)
        b.manifest["row_identity"] = {"kind": "jsonl", "path": f"rows{n}.jsonl", "sha256": "0" * 64, "row_count": n,
                                      "id_kind": "uuid"}
        b.manifest["artifact"]["vector_count"] = n
        peaks.append(peak_rss_kib(BASELINE + f"zm.verify_manifest({str(b.write())!r}, max_report_issues=10)"))
    assert peaks[1] - peaks[0] < 2 << 10  # KiB

"""Hostile files in every file role: sparse giants, endless devices, link loops, extreme
names, directories and FIFOs. Each must give its exact outcome, stop reading at its
bound, and keep memory flat. Peak memory is measured in a child process."""

import errno
import os
import shutil
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

import pytest

import zarnik_manifest as zm
from builders import Bundle, calibration_block, encoder_distortion_block, sha256, skip_rss_when_sanitized
from test_file_identity import open_writer

SHM = Path("/dev/shm") if os.path.isdir("/dev/shm") else None
ROLES = ("artifact", "row_identity", "auxiliary_artifact", "calibration_profile", "encoder_distortion_profile")
FIELD = {
    "artifact": ("artifact",),
    "row_identity": ("row_identity",),
    "auxiliary_artifact": ("auxiliary_artifacts", 0),
    "calibration_profile": ("calibration", "profile"),
    "encoder_distortion_profile": ("encoder_distortion", "profile"),
}
NAME = {"calibration_profile": "calibration profile", "encoder_distortion_profile": "encoder distortion profile"}


def os_text(code: int) -> str:
    return f"{os.strerror(code)} (os error {code})"


@pytest.fixture
def root(tmp_path):
    """A fresh directory in memory where /dev/shm exists (sparse giants cost nothing there)."""
    if SHM is None:
        yield tmp_path
        return
    base = Path(tempfile.mkdtemp(dir=SHM))
    yield base
    shutil.rmtree(base)


def full_bundle(root: Path) -> Bundle:
    """Every file role present and clean."""
    b = Bundle(root / "m")
    b.add_auxiliary("tok", b"auxiliary bytes")
    b.manifest["calibration"] = calibration_block(b)
    b.manifest["encoder_distortion"] = encoder_distortion_block(b)
    return b


def with_path(b: Bundle, role: str, rel: str) -> Path:
    node = b.manifest
    for key in FIELD[role]:
        node = node[key]
    node["path"] = rel
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
    if role == "artifact":
        return [("artifact_hash_failed", f"failed to hash artifact: {text}"),
                ("artifact_probe_failed", f"failed to probe artifact metadata: {text}")]
    if role == "row_identity":
        return [("row_identity_read_failed", f"failed to read row identity file: {text}")]
    if role == "auxiliary_artifact":
        return [("auxiliary_artifact_hash_failed", f'failed to hash auxiliary artifact "tok": {text}')]
    return [(f"{role}_hash_failed", f"failed to hash {NAME[role]}: {text}")]


def peak_rss_kib(code: str) -> int:
    """Peak resident set of a child process running `code` (RUSAGE_CHILDREN of a parent
    whose only child it is)."""
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
    with open("/proc/self/io") as fh:
        return int(dict(line.split(": ") for line in fh.read().splitlines())["rchar"])


# ---------------------------------------------------------------- links, names, lengths


@pytest.mark.parametrize("cycle", [["loop"], ["a", "b"]])
@pytest.mark.parametrize("role", ROLES)
def test_symbolic_link_loop_is_path_unavailable(root, role, cycle):
    b = full_bundle(root)
    for name, target in zip(cycle, cycle[1:] + cycle[:1]):
        (b.root / name).symlink_to(target)
    report = zm.verify_manifest(with_path(b, role, cycle[0]))
    assert role_issues(report, role) == [unavailable(b, role, cycle[0], os_text(errno.ELOOP))]


def test_manifest_that_is_a_link_loop_raises_the_system_error(root):
    (root / "m.json").symlink_to("m.json")
    for fn in (zm.inspect_manifest, zm.verify_manifest, zm.verify_for_load):
        with pytest.raises(OSError) as e:
            fn(root / "m.json")
        assert e.value.args == (os_text(errno.ELOOP),)


@pytest.mark.parametrize("length,ok", [(255, True), (256, False)])
@pytest.mark.parametrize("role", ROLES)
def test_component_of_255_bytes_resolves_and_256_is_too_long(root, role, length, ok):
    b = full_bundle(root)
    name = "n" * length
    node = b.manifest
    for key in FIELD[role]:
        node = node[key]
    if ok:
        os.rename(b.root / node["path"], b.root / name)
    report = zm.verify_manifest(with_path(b, role, name))
    assert role_issues(report, role) == ([] if ok else [unavailable(b, role, name, os_text(errno.ENAMETOOLONG))])
    assert report["ok"] is ok


def deep_file(base: Path, total: int, data: bytes) -> str:
    """Writes `data` at a relative path whose candidate base + "/" + rel is `total` bytes
    long, through directory descriptors (the absolute path may exceed PATH_MAX)."""
    need = total - len(str(base)) - 1
    parts = []
    while need > 201:
        parts.append("d" * 200)
        need -= 201
    leaf = "f" * need
    fd = os.open(base, os.O_DIRECTORY)
    try:
        for part in parts:
            os.mkdir(part, dir_fd=fd)
            nfd = os.open(part, os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = nfd
        out = os.open(leaf, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
        os.write(out, data)
        os.close(out)
    finally:
        os.close(fd)
    return "/".join(parts + [leaf])


@pytest.mark.parametrize("total,ok", [(os.pathconf("/", "PC_PATH_MAX") - 1, True), (os.pathconf("/", "PC_PATH_MAX"), False)])
def test_paths_at_path_max(root, total, ok):
    b = Bundle(root / "m", row_map=False)
    rel = deep_file(b.root, total, b.index)
    report = zm.verify_manifest(with_path(b, "artifact", rel))
    assert role_issues(report, "artifact") == ([] if ok else [unavailable(b, "artifact", rel, os_text(errno.ENAMETOOLONG))])
    if ok:
        assert report["artifact"]["canonical_path"] == f"{b.root}/{rel}"


def test_directory_named_with_newline_and_invalid_utf8_verifies_and_shows_replacement(root):
    raw = os.fsencode(str(root)) + b"/\xffbad\nname"
    b = full_bundle(Path(os.fsdecode(raw)))
    report = zm.verify_manifest(b.write())
    assert report["ok"], report["errors"]
    shown = str(root) + "/\ufffdbad\nname/m"
    assert report["artifact"]["canonical_path"] == shown + "/index.rank_quant"
    assert report["calibration"]["profile_canonical_path"] == shown + "/calibration.bin"
    assert report["encoder_distortion"]["profile_canonical_path"] == shown + "/distortion.json"
    assert report["auxiliary_artifacts"][0]["canonical_path"] == shown + "/aux-0.bin"
    assert zm.verify_for_load(b.manifest_path)["report"]["ok"]
    # An invalid override is shown with the replacement character too.
    report = zm.verify_manifest(b.manifest_path, index=b"\xfe.bin")
    assert report["artifact"]["observed_path"] == "\ufffd.bin"
    assert role_issues(report, "artifact") == [
        ("artifact_path_unavailable", f"failed to canonicalize {shown}/\ufffd.bin: {os_text(errno.ENOENT)}")]


# ---------------------------------------------------------------- directories and FIFOs


@pytest.mark.parametrize("role", ROLES)
def test_directory_in_every_role_fails_with_the_read_error(root, role):
    b = full_bundle(root)
    (b.root / "dir").mkdir()
    report = zm.verify_manifest(with_path(b, role, "dir"))
    assert role_issues(report, role) == read_failed(role, os_text(errno.EISDIR))


def test_directory_as_manifest_raises_the_read_error(root):
    for fn in (zm.inspect_manifest, zm.verify_manifest):
        with pytest.raises(OSError) as e:
            fn(root)
        assert e.value.args == (os_text(errno.EISDIR),)


def feed(path: Path, data: bytes, times: int, failures: list) -> threading.Thread:
    """A writer thread that feeds `data` to the FIFO `times` opens in a row."""
    def run():
        try:
            for _ in range(times):
                fd = open_writer(path)
                try:
                    os.write(fd, data)
                finally:
                    os.close(fd)
        except OSError as e:
            failures.append(e)
    t = threading.Thread(target=run)
    t.start()
    return t


# The artifact is left out: it is opened twice (hash, then probe), and a writer cannot
# tell the probe's open from the hash's not yet closed one. test_file_identity feeds an
# artifact FIFO deterministically through two FIFOs.
@pytest.mark.parametrize("role", ROLES[1:])
def test_fifo_fed_by_a_writer_is_read_like_a_file(root, role):
    b = full_bundle(root)
    node = b.manifest
    for key in FIELD[role]:
        node = node[key]
    real = b.root / node["path"]
    data = real.read_bytes()
    real.unlink()
    os.mkfifo(real)
    failures = []
    writer = feed(real, data, 1, failures)
    report = zm.verify_manifest(b.write())
    writer.join(10)
    assert failures == []
    assert report["errors"] == []


def test_manifest_through_a_fifo_loads(root):
    b = full_bundle(root)
    text = b.write().read_bytes()
    fifo = root / "fifo.json"
    os.mkfifo(fifo)
    failures = []
    writer = feed(fifo, text, 1, failures)
    assert zm.inspect_manifest(fifo)["manifest_id"] == b.manifest["manifest_id"]
    writer.join(10)
    assert failures == []


# ---------------------------------------------------------------- endless and giant files

LIMIT_KW = {
    "auxiliary_artifact": "max_auxiliary_artifact_bytes",
    "calibration_profile": "max_calibration_profile_bytes",
    "encoder_distortion_profile": "max_encoder_distortion_profile_bytes",
}


def too_large(role: str, limit: int, path: str) -> list[tuple[str, str]]:
    if role == "auxiliary_artifact":
        code = "auxiliary_artifact_file_too_large"
        return [(code, f"{code}: auxiliary artifact exceeds {limit} bytes while reading {path}")]
    return [(f"{role}_too_large", f"{NAME[role]} exceeds {limit} bytes while reading {path}")]


@pytest.mark.parametrize("device", ["/dev/zero", "/dev/urandom"])
@pytest.mark.parametrize("role", list(LIMIT_KW))
def test_endless_device_stops_at_limit_plus_one(root, role, device):
    b = full_bundle(root)
    (b.root / "dev").symlink_to(device)
    manifest = with_path(b, role, "dev")
    limit = 1 << 20
    before = bytes_read()
    report = zm.verify_manifest(manifest, allow_path_escape=True, **{LIMIT_KW[role]: limit})
    read = bytes_read() - before
    assert role_issues(report, role) == too_large(role, limit, device)
    # limit + 1 from the device, plus the other (small) files and /proc reads.
    assert limit + 1 <= read < limit + 1 + 65536


@pytest.mark.parametrize("device", ["/dev/zero", "/dev/urandom"])
def test_endless_device_as_manifest(device):
    before = bytes_read()
    with pytest.raises(ValueError) as e:
        zm.inspect_manifest(device, max_manifest_bytes=4096)
    assert e.value.args == (f"manifest_file_too_large: manifest file exceeds 4096 bytes while reading {device}",)
    assert 4097 <= bytes_read() - before < 4097 + 4096


def test_dev_zero_as_row_map_stops_at_the_line_limit(root):
    b = full_bundle(root)
    (b.root / "dev").symlink_to("/dev/zero")
    before = bytes_read()
    report = zm.verify_manifest(with_path(b, "row_identity", "dev"), allow_path_escape=True, max_row_map_line_bytes=1024)
    assert bytes_read() - before < 1 << 20  # the line limit plus the reader's bounded read-ahead
    assert role_issues(report, "row_identity") == [
        ("row_identity_line_too_large", "line 0 exceeds max_row_identity_jsonl_line_bytes=1024"),
        ("row_identity_row_count_mismatch", "row identity file has at least 1 rows, manifest declares 3")]
    assert report["row_identity"]["sha256"] is None


def test_dev_urandom_as_row_map_stops_at_a_limit(root):
    b = full_bundle(root)
    (b.root / "dev").symlink_to("/dev/urandom")
    report = zm.verify_manifest(with_path(b, "row_identity", "dev"), allow_path_escape=True, max_row_map_line_bytes=1024)
    issues = role_issues(report, "row_identity")
    codes = [code for code, _ in issues]
    # Random lines are invalid until one is too long (then the count is "at least") or
    # there are more than declared; either way validation stops. A too-long line that is
    # the last declared one leaves the count ("at least 3") in agreement: no mismatch.
    if codes[-1] == "row_identity_row_count_mismatch":
        codes = codes[:-1]
    else:
        assert issues[-1] == ("row_identity_line_too_large", "line 2 exceeds max_row_identity_jsonl_line_bytes=1024")
    if codes[-1:] == ["row_identity_line_too_large"]:
        codes = codes[:-1]
    assert set(codes) <= {"row_identity_jsonl_invalid_json"}
    assert report["row_identity"]["sha256"] is None


@skip_rss_when_sanitized
@pytest.mark.parametrize("role", list(LIMIT_KW))
def test_bounded_hash_memory_is_flat_in_the_limit_and_the_file(root, baseline_kib, role):
    b = full_bundle(root)
    (b.root / "dev").symlink_to("/dev/zero")
    manifest = with_path(b, role, "dev")
    peak = peak_rss_kib(BASELINE + f"zm.verify_manifest({str(manifest)!r}, allow_path_escape=True, "
                        f"{LIMIT_KW[role]}={64 << 20})")
    assert peak - baseline_kib < 8 << 10  # KiB: streamed into the hash, never buffered whole


def sparse(path: Path, header: bytes, size: int) -> None:
    with open(path, "wb") as fh:
        fh.write(header)
        fh.truncate(size)


GIANT = 10 << 30  # sparse: no storage, but every read returns bytes


@pytest.mark.parametrize("role", list(LIMIT_KW))
def test_sparse_giant_in_bounded_roles_is_cut_at_the_limit(root, role):
    b = full_bundle(root)
    sparse(b.root / "giant", b"", GIANT)
    report = zm.verify_manifest(with_path(b, role, "giant"), **{LIMIT_KW[role]: 4096})
    assert role_issues(report, role) == too_large(role, 4096, f"{b.root}/giant")


def test_sparse_giant_manifest_and_row_map(root):
    b = full_bundle(root)
    sparse(root / "giant.json", b"", GIANT)
    with pytest.raises(ValueError, match="^manifest_file_too_large: "):
        zm.inspect_manifest(root / "giant.json")
    sparse(b.root / "giant", b"", GIANT)
    report = zm.verify_manifest(with_path(b, "row_identity", "giant"))
    assert role_issues(report, "row_identity")[0] == (
        "row_identity_line_too_large", "line 0 exceeds max_row_identity_jsonl_line_bytes=65536")


def test_sparse_index_declared_size_mismatch_hashed_in_constant_memory(root, baseline_kib):
    # 1 GiB keeps the suite fast; tools/stress.py hashes a 10 GiB one the same way.
    size = 1 << 30
    b = Bundle(root / "m", row_map=False)
    sparse(b.index_path, b.index[:14], size)
    manifest = b.write()
    peak = peak_rss_kib(BASELINE + f"zm.verify_manifest({str(manifest)!r})")
    assert peak - baseline_kib < 8 << 10  # KiB: one 64 KiB buffer, not the file
    report = zm.verify_manifest(manifest)
    assert (report["artifact"]["size_bytes"], report["artifact"]["metadata"]) == (size, None)
    assert [(i["code"], i["message"]) for i in report["errors"]] == [
        ("artifact_sha256_mismatch", f"artifact SHA-256 was {report['artifact']['sha256']}, manifest declares {sha256(b.index)}"),
        ("artifact_file_size_mismatch", f"artifact size was {size}, manifest declares {len(b.index)}"),
        ("artifact_probe_failed", "failed to probe artifact metadata: ZKRQ payload has trailing bytes: "
         f"header declares 6 B but file has {size - 14} B remaining")]


@skip_rss_when_sanitized
def test_many_invalid_lines_cap_the_report_and_keep_memory_flat(root, baseline_kib):
    b = Bundle(root / "m", row_map=False)
    peaks = []
    for n in (1000, 100_000):
        rows = root / f"rows{n}.jsonl"
        rows.write_bytes(b'{"row_id": "not a number", "db_id": 7}\n' * n)
        b.manifest["row_identity"] = {"kind": "jsonl", "path": str(rows), "sha256": "0" * 64, "row_count": n,
                                      "id_kind": "uuid"}
        b.manifest["artifact"]["vector_count"] = n
        manifest = b.write()
        kw = "allow_absolute_paths=True, allow_path_escape=True, max_report_issues=10"
        peaks.append(peak_rss_kib(BASELINE + f"zm.verify_manifest({str(manifest)!r}, {kw})"))
    report = zm.verify_manifest(manifest, allow_absolute_paths=True, allow_path_escape=True, max_report_issues=10)
    assert len(report["errors"]) == 10
    assert report["errors"][-1] == {"code": "verification_report_issue_limit_exceeded",
                                    "message": "verification report issue count exceeded max_report_issues=10"}
    assert report["row_identity"]["validated_rows"] == 0
    assert peaks[1] - peaks[0] < 2 << 10  # KiB, for 100 times the lines

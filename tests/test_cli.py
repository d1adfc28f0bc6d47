"""The zarnik-manifest command line, driven as a subprocess."""

import json
import os
import pty
import select
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import zarnik_manifest as zm
from zarnik_manifest import samples

N = 5


def cli(*args, cwd, env=None, **kw):
    return subprocess.run([sys.executable, "-m", "zarnik_manifest", *map(str, args)], cwd=cwd, capture_output=True,
                          text=True, timeout=60, env={**os.environ, **(env or {})}, **kw)


@pytest.fixture
def work(tmp_path):
    """A sample set and a clean manifest m.json with a row map and one auxiliary file."""
    samples.write_sample_set(tmp_path, n_vectors=N)
    r = cli("create", "sample.zkrq", "-o", "m.json", "--model", "enc", "--row-map", "rows.jsonl",
            "--aux", "tök=tokenizer.json", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    return tmp_path


def corrupt(path: Path) -> None:
    data = path.read_bytes()
    path.write_bytes(data[:-1] + bytes([data[-1] ^ 0xFF]))


@pytest.mark.parametrize("broken", [False, True])
def test_verify_plan_and_inspect_report_what_the_module_reports(work, monkeypatch, broken):
    shutil.copy(work / "sample.zkrq", work / "copy.zkrq")
    if broken:
        corrupt(work / "sample.zkrq")
        corrupt(work / "tokenizer.json")
    monkeypatch.chdir(work)  # the same relative manifest path as the command line uses
    want = zm.verify_manifest("m.json")
    want.pop("checked_at")
    lines = [f"  {i['code']}: {i['message']}" for i in want["errors"]]
    assert [i["code"] for i in want["errors"]] == ["artifact_sha256_mismatch", "auxiliary_artifact_sha256_mismatch"][
        :2 * broken]
    text = cli("verify", "m.json", cwd=work)
    assert (text.returncode, text.stderr) == (broken, "")
    assert text.stdout.endswith("result        FAILED (2 errors)\nerrors:\n" + "\n".join(lines) + "\n" if broken
                                else "result        OK\n")
    quiet = cli("verify", "m.json", "-q" if broken else "--quiet", cwd=work)
    assert (quiet.returncode, quiet.stdout, quiet.stderr) == (broken, "".join(x.strip() + "\n" for x in lines), "")
    as_json = cli("verify", "m.json", "--json", cwd=work)
    got = json.loads(as_json.stdout)
    got.pop("checked_at")
    assert (as_json.returncode, as_json.stderr, got) == (broken, "", want)
    assert '"tök"' in as_json.stdout  # not escaped
    # A relative --index is resolved against the manifest's directory, like a declared path.
    other = cli("verify", "m.json", "--index", "copy.zkrq", "-q", cwd=work)
    assert (other.returncode, other.stdout) == (broken, "".join(x.strip() + "\n" for x in lines[1:]))
    plan = cli("plan", "m.json", cwd=work)
    if broken:
        refused = "manifest verification failed: artifact_sha256_mismatch, auxiliary_artifact_sha256_mismatch"
        assert (plan.returncode, plan.stderr) == (1, f"zarnik-manifest: load refused: {refused}\n")
        assert json.loads(plan.stdout) == {"ok": False, "error": {"code": "manifest_verification_failed",
                                                                  "message": refused}}
    else:
        assert (plan.returncode, plan.stderr) == (0, "")
        assert json.loads(plan.stdout)["artifact_path"] == str((work / "sample.zkrq").resolve())
    assert json.loads(cli("inspect", "m.json", cwd=work).stdout) == zm.inspect_manifest("m.json")


def test_limits_table_and_json_and_version(tmp_path):
    assert json.loads(cli("limits", "--json", cwd=tmp_path).stdout) == zm.default_resource_limits()
    table = cli("limits", cwd=tmp_path).stdout.splitlines()
    assert (table[0].split(), len(table)) == (["--max-manifest-bytes", str(zm.DEFAULT_MAX_MANIFEST_BYTES)], 10)
    r = cli("--version", cwd=tmp_path)
    assert (r.returncode, r.stdout) == (0, f"zarnik-manifest {zm.__version__}\n")


CREATE = ["create", "sample.zkr", "-o", "x.json", "--model", "m"]
REFUSED = ["create", "sample.zkrq", "--model", "enc", "--row-map", "rows.jsonl", "--aux", "tok=tokenizer.json",
           "--pooling", "cls", "-o"]
FAILED = "zarnik-manifest: create failed: "
VERIFY_FAILED = FAILED + "the new manifest does not verify"


# Every bad input: the documented exit code, exactly one line on stderr, no traceback.
@pytest.mark.parametrize("args, code, needle", [
    (["verify", "missing.json"], 3, "No such file or directory"),
    (["verify", "."], 3, "Is a directory"),
    (["verify", "garbage.json"], 3, "expected value at line 1 column 1"),
    ([*CREATE[:-1], " \u3000", "--identity"], 2, "--model: must not be blank"),
    ([*CREATE, "--identity", "--extension", "a.b=NaN"], 2, "the value of 'a.b' is not JSON"),
    ([*CREATE, "--identity", "--extension", "a.b=1", "--extension", "a.b=2"], 2, "extension 'a.b' given twice"),
    (["hash", "--strict", "m.json"], 2, "--strict is meaningful only with --check"),
    (["hash", "missing.bin"], 1, "missing.bin: No such file or directory"),
    (["create", "missing.zkr", *CREATE[2:], "--identity"], 1, "missing.zkr: No such file"),
    ([*CREATE, "--row-map", "rows.jsonl"], 1, "row map is invalid: row_identity_row_count_mismatch"),
    ([*CREATE, "--row-map", "rows.jsonl", "--identity"], 2, "not allowed with argument --row-map"),
    (CREATE, 2, "one of the arguments --row-map --identity"),
    ([*CREATE, "--identity", "--aux", "noequals"], 2, "argument --aux: expected NAME=PATH, got 'noequals'"),
    ([*CREATE, "--identity", "--aux", "=tok.json"], 2, "NAME=PATH"),
    (["verify", "m.json", "--max-row-map-rows", "-1"], 2, "argument --max-row-map-rows: expected a non-negative"),
    (["verify", "m.json", "--max-manifest-bytes", "+5"], 2, "argument --max-manifest-bytes"),
    (["verify", "m.json", "--max-manifest-bytes", str(1 << 64)], 2, "exceeds the largest limit"),
    (["verify", "m.json", "--json", "--quiet"], 2, "not allowed with argument"),
    (["frobnicate"], 2, "invalid choice"),
    ([], 2, "required: COMMAND"),
    # A value the verifier rejects, or an output that is an input, is refused before anything is written.
    ([*REFUSED, "m.json", "--pooling", " \t"], 1, [VERIFY_FAILED, "embedding_pooling_empty"]),
    ([*REFUSED, "m.json", "--builder-id", ""], 1, [VERIFY_FAILED, "build_builder_id_empty"]),
    ([*REFUSED, "m.json", "--extension", "acme=1", "--model-revision", ""], 1,
     [VERIFY_FAILED, "embedding_model_revision_empty", "extension_key_not_namespaced"]),
    ([*REFUSED, "m.json", "--attestation", "att.json"], 1,
     [VERIFY_FAILED, "attestation_predicate_type_missing", "attestation_subject_sha256_mismatch"]),
    ([*REFUSED, "sample.zkrq"], 1, FAILED + "out sample.zkrq is the same file as index sample.zkrq\n"),
    ([*REFUSED, "link"], 1, FAILED + "out link is the same file as index sample.zkrq\n"),
    ([*REFUSED, "rows.jsonl"], 1, FAILED + "out rows.jsonl is the same file as row_map rows.jsonl\n"),
    ([*REFUSED, "tokenizer.json"], 1,
     FAILED + 'out tokenizer.json is the same file as auxiliary artifact "tok" tokenizer.json\n'),
])
def test_bad_input_gives_one_line_and_exit_code_and_writes_nothing(work, args, code, needle):
    (work / "garbage.json").write_text("#")
    (work / "att.json").write_text('{"subject": []}')
    (work / "link").symlink_to("sample.zkrq")
    samples.write_index(work / "sample.zkr", "rank", n_vectors=4)
    before = {p.name: p.read_bytes() for p in work.iterdir()}
    r = cli(*args, cwd=work)
    assert r.returncode == code
    assert r.stderr.count("\n") == 1 and "Traceback" not in r.stderr
    needles = [needle] if isinstance(needle, str) else needle
    assert [n for n in needles if n in r.stderr] == needles
    assert {p.name: p.read_bytes() for p in work.iterdir()} == before


def read_pty(fd: int, seconds: float) -> bytes:
    out, end = b"", time.monotonic() + seconds
    while time.monotonic() < end:
        if select.select([fd], [], [], 0.05)[0]:
            try:
                out += os.read(fd, 4096)
            except OSError:
                break
    return out


def wait_for_worker(pid: int) -> None:
    """Returns once the command's worker thread runs, so SIGINT reaches the command's own handling."""
    for _ in range(600):
        if int(Path(f"/proc/{pid}/status").read_text().split("Threads:")[1].split()[0]) >= 2:
            return
        time.sleep(0.05)
    raise AssertionError("no worker thread started")


# A command blocked on a FIFO without a writer: Ctrl-C exits 130, leaves no file, progress only on a terminal.
@pytest.mark.parametrize("args, terminal, no_color", [
    *[(args, True, "") for args in [
        ["inspect", "fifo"], ["verify", "fifo"], ["plan", "fifo"], ["hash", "fifo"], ["hash", "--check", "fifo"],
        ["hash", "-"], ["create", "fifo", "-o", "m.json", "--model", "m", "--identity"],
        ["create", "fifo", "-o", "m.json", "--model", "m", "--identity", "--pooling", "mean"]]],
    (["hash", "fifo"], True, "1"),
    (["hash", "fifo"], False, ""),
])
def test_ctrl_c_exits_130_and_progress_only_on_a_terminal(tmp_path, args, terminal, no_color):
    os.mkfifo(tmp_path / "fifo")
    master, slave = pty.openpty() if terminal else (None, subprocess.PIPE)
    proc = subprocess.Popen([sys.executable, "-m", "zarnik_manifest", *args], cwd=tmp_path,
                            stdin=slave if terminal else subprocess.DEVNULL, stdout=slave, stderr=slave,
                            env={**os.environ, "NO_COLOR": no_color},
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))  # even if ignored here
    try:
        if terminal:
            os.close(slave)
        wait_for_worker(proc.pid)
        if terminal and args == ["hash", "fifo"]:
            shown = read_pty(master, 1.5)
            assert b"hashing fifo" in shown and b"s" in shown
            assert (b"\x1b[36m" in shown) == (not no_color)
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=10) == 130
        if terminal:
            assert read_pty(master, 0.3).rstrip(b"\r\n").endswith(b"interrupted")
        else:
            assert proc.stderr.read() == b"interrupted\n"
        assert sorted(p.name for p in tmp_path.iterdir()) == ["fifo"]
    finally:
        proc.kill()
        proc.wait()
        if master is not None:
            os.close(master)


@pytest.mark.parametrize("args", [["verify", "m.json", "--json"], ["hash", "sample.zkrq"], ["--version"]])
@pytest.mark.parametrize("stdout, reason", [("full", "No space left on device"), ("closed", "Bad file descriptor"),
                                            ("broken pipe", "Broken pipe")])
def test_failed_stdout_write_exits_1_with_one_line(work, args, stdout, reason):
    read_end, write_end = os.pipe()
    target = {"full": open("/dev/full", "wb"), "closed": None, "broken pipe": write_end}[stdout]
    os.close(read_end)
    try:
        proc = subprocess.run([sys.executable, "-m", "zarnik_manifest", *args], cwd=work, stdout=target,
                              stderr=subprocess.PIPE, text=True, timeout=60,
                              preexec_fn=(lambda: os.close(1)) if target is None else None)
    finally:
        os.close(write_end)
        if stdout == "full":
            target.close()
    assert (proc.returncode, proc.stderr) == (1, f"zarnik-manifest: cannot write to standard output: {reason}\n")


# verify --json and plan print one JSON document whatever happens; the exit code is the usual one.
@pytest.mark.parametrize("command", [["verify", "--json"], ["plan"]])
@pytest.mark.parametrize("manifest, extra, code, error_code", [
    ("missing.json", [], 3, "manifest_unreadable"),
    ("garbage.json", [], 3, "manifest_invalid"),
    ("m.json", ["--max-manifest-bytes", "10"], 3, "manifest_file_too_large"),
])
def test_machine_output_on_load_failure_is_one_json_document(work, command, manifest, extra, code, error_code):
    (work / "garbage.json").write_text("#")
    r = cli(command[0], manifest, *command[1:], *extra, cwd=work)
    doc = json.loads(r.stdout)
    assert (r.returncode, doc["ok"], doc["error"]["code"]) == (code, False, error_code)
    assert list(doc) == ["ok", "error"] and list(doc["error"]) == ["code", "message"] and doc["error"]["message"]


# A limit issue in human-readable output names the flag that raises it; --json stays the module's report.
@pytest.mark.parametrize("args, stream, flag", [
    (["verify", "m.json", "--max-row-map-tracked-id-bytes", "40"], "stdout", "--max-row-map-tracked-id-bytes"),
    (["verify", "m.json", "-q", "--max-row-map-rows", "2"], "stdout", "--max-row-map-rows"),
    (["verify", "m.json", "--max-auxiliary-artifact-bytes", "1"], "stdout", "--max-auxiliary-artifact-bytes"),
    (["plan", "m.json", "--max-report-issues", "0", "--max-row-map-rows", "2"], "stderr", "--max-report-issues"),
    (["inspect", "m.json", "--max-manifest-bytes", "10"], "stderr", "--max-manifest-bytes"),
    (["create", "sample.zkrq", "-o", "x.json", "--model", "m", "--row-map", "rows.jsonl",
      "--max-row-map-line-bytes", "5"], "stderr", "--max-row-map-line-bytes"),
])
def test_limit_issues_name_the_flag_that_raises_them(work, args, stream, flag):
    out = getattr(cli(*args, cwd=work), stream)
    lead = "zarnik-manifest: " if stream == "stderr" else "  " if "-q" in args else "    "  # below its issue
    assert f"\n{lead}hint: raise this limit with {flag} N\n" in out
    if args[0] == "verify":
        report = json.loads(cli(*args, "--json", cwd=work).stdout) if "-q" not in args else None
        assert report is None or "hint" not in json.dumps(report)


OPTIONAL_FIELDS = ["--model-revision", "r7", "--pooling", "mean", "--normalization", "l2", "--source-commit", "c0ffee",
                   "--builder-id", "ci/runner", "--extension", "acme.tag={\"b\": [1, 2.5], \"a\": null}",
                   "--extension", "urn:x=true"]


def statement(digest: str) -> dict:
    return {"predicateType": "https://slsa.dev/provenance/v1", "subject": [{"digest": {"sha256": digest}}],
            "predicate": {"builder": {"id": "ci"}}}


def test_create_prints_a_summary_and_writes_optional_fields_where_the_format_places_them(work):
    digest = zm.sha256_file(work / "sample.zkbm")["sha256"]
    (work / "att.json").write_text(json.dumps(statement(digest)))
    # A control character is not white space: the model is not blank.
    r = cli("create", "sample.zkbm", "-o", "sub/b.json", "--model", "\x1c", "--identity", "--allow-path-escape",
            "--optional-aux", "tok=tokenizer.json", *OPTIONAL_FIELDS, "--attestation", "att.json", cwd=work)
    assert (r.returncode, r.stderr, r.stdout.splitlines()) == (
        0, "", ["manifest  sub/b.json", f"artifact  bitmap, {N} vectors", f"sha256    {digest}"])
    manifest = json.loads((work / "sub/b.json").read_text())
    assert manifest["auxiliary_artifacts"][0]["required"] is False
    assert manifest["embedding"] == {"model": "\x1c", "dim": manifest["artifact"]["dim"], "model_revision": "r7",
                                     "pooling": "mean", "normalization": "l2"}
    assert list(manifest["build"].items())[1:] == [("builder_id", "ci/runner"), ("source_commit", "c0ffee")]
    assert manifest["extensions"] == {"acme.tag": {"a": None, "b": [1, 2.5]}, "urn:x": True}
    assert manifest["attestations"] == [statement(digest)]
    assert list(manifest) == ["schema_version", "manifest_id", "created_at", "artifact", "auxiliary_artifacts",
                              "embedding", "row_identity", "build", "attestations", "extensions"]
    assert zm.inspect_manifest(work / "sub/b.json") == manifest
    assert zm.verify_manifest(work / "sub/b.json", allow_path_escape=True)["ok"]


def sums_file(work: Path, content: str) -> bytes:
    """Checksum lines as sha256sum writes them (names escaped), then every kind of bad line."""
    (work / "new\nline").write_bytes(b"n")
    (work / "back\\slash").write_bytes(b"b")
    good = subprocess.run(["sha256sum", "sample.zkrq", "rows.jsonl", "new\nline", "back\\slash"], cwd=work,
                          capture_output=True, check=True).stdout
    good += subprocess.run(["sha256sum", "--tag", "tokenizer.json"], cwd=work, capture_output=True).stdout
    zero = b"0" * 64
    return {"all good": good, "no valid line": b"garbage\n\n"}.get(content) or good + b"\n# a comment\n" + zero + \
        b"  sample.zkr\r\n" + zero + b"  missing\n" + b"not a checksum line\n" + b"\\" + zero + b"  bad\\escape\n" + \
        zero.upper() + b"  rows.jsonl\n"


# Output, messages and exit code as sha256sum's, on files, on standard input ("-") and with --check.
@pytest.mark.parametrize("args, content", [
    *[(["--check", *options, "SUMS"], content) for options in ([], ["--quiet"], ["--status"], ["--strict"], ["--warn"])
      for content in ("mixed", "all good", "no valid line")],
    (["sample.zkr", "missing", "new\nline", "back\\slash"], "all good"),
    (["-"], "mixed"), (["--check", "-"], "all good"), (["--check", "SUMS", "-"], "mixed"),  # every list checked
])
def test_hash_matches_sha256sum(work, args, content):
    (work / "SUMS").write_bytes(data := sums_file(work, content))
    want, got = [subprocess.run([*command, *args], cwd=work, input=data, capture_output=True)
                 for command in (["sha256sum"], [sys.executable, "-m", "zarnik_manifest", "hash"])]
    assert (got.stdout, got.stderr.replace(b"zarnik-manifest: ", b""), got.returncode) == (
        want.stdout, want.stderr.replace(b"sha256sum: ", b""), want.returncode)


def test_hash_check_skips_an_endless_line_without_holding_it(work):
    # A line longer than any checksum line (64 KiB) is improperly formatted, never held whole.
    good = subprocess.run(["sha256sum", "sample.zkrq"], cwd=work, capture_output=True, check=True).stdout
    (work / "SUMS").write_bytes(b"0" * 64 + b"  " + b"x" * 70_000 + b"\n" + good)
    got = subprocess.run([sys.executable, "-m", "zarnik_manifest", "hash", "--check", "--warn", "SUMS"], cwd=work,
                         capture_output=True)
    assert (got.returncode, got.stdout) == (0, b"sample.zkrq: OK\n")
    assert b"SUMS: 1: improperly formatted SHA256 checksum line" in got.stderr


def test_demo_runs_the_command_line_and_keeps_its_files(tmp_path):
    r = subprocess.run([sys.executable, "-m", "zarnik_manifest.demo", str(tmp_path / "out")], capture_output=True,
                       text=True, timeout=120)
    assert r.returncode == 0 and r.stderr == ""
    assert "     exit code 0\n" in r.stdout and "     exit code 1 " in r.stdout
    assert zm.inspect_manifest(tmp_path / "out" / "cli.manifest.json")["embedding"]["pooling"] == "mean"

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
            "--aux", "tok=tokenizer.json", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    return tmp_path


def corrupt(path: Path) -> None:
    data = bytearray(path.read_bytes())
    data[-1] ^= 0xFF
    path.write_bytes(bytes(data))


def test_create_prints_path_kind_count_digest_and_writes_a_verifiable_manifest(work):
    r = cli("create", "sample.zkbm", "-o", "sub/b.json", "--model", "enc", "--identity", "--allow-path-escape",
            "--optional-aux", "tok=tokenizer.json", cwd=work)
    assert r.returncode == 0 and r.stderr == ""
    manifest = json.loads((work / "sub/b.json").read_text())
    assert r.stdout.splitlines() == ["manifest  sub/b.json", f"artifact  bitmap, {N} vectors",
                                     f"sha256    {zm.sha256_file(work / 'sample.zkbm')['sha256']}"]
    assert manifest["auxiliary_artifacts"][0]["required"] is False
    assert zm.verify_manifest(work / "sub/b.json", allow_path_escape=True)["ok"]


def module_report(work, monkeypatch):
    monkeypatch.chdir(work)  # the same relative manifest path as the command line used
    report = zm.verify_manifest("m.json")
    report.pop("checked_at")
    return report


@pytest.mark.parametrize("extra, stdout_end", [([], "result        OK\n"), (["--quiet"], ""), (["--json"], None)])
def test_verify_clean(work, monkeypatch, extra, stdout_end):
    r = cli("verify", "m.json", *extra, cwd=work)
    assert (r.returncode, r.stderr) == (0, "")
    if stdout_end is None:
        got = json.loads(r.stdout)
        got.pop("checked_at")
        assert got == module_report(work, monkeypatch)
    else:
        assert r.stdout.endswith(stdout_end) and (r.stdout == "") == (stdout_end == "")


def test_verify_failure_lists_each_error_and_json_matches_the_module(work, monkeypatch):
    corrupt(work / "sample.zkrq")
    corrupt(work / "tokenizer.json")
    want = module_report(work, monkeypatch)
    lines = [f"  {i['code']}: {i['message']}" for i in want["errors"]]
    assert [i["code"] for i in want["errors"]] == ["artifact_sha256_mismatch", "auxiliary_artifact_sha256_mismatch"]

    text = cli("verify", "m.json", cwd=work)
    assert (text.returncode, text.stderr) == (1, "")
    assert text.stdout.endswith("result        FAILED (2 errors)\nerrors:\n" + "\n".join(lines) + "\n")

    quiet = cli("verify", "m.json", "-q", cwd=work)
    assert (quiet.returncode, quiet.stdout) == (1, "".join(x.strip() + "\n" for x in lines))

    as_json = cli("verify", "m.json", "--json", cwd=work)
    got = json.loads(as_json.stdout)
    got.pop("checked_at")
    assert (as_json.returncode, got) == (1, want)


def test_verify_passes_policy_and_limits_to_the_module(work):
    assert cli("verify", "m.json", "--max-row-map-rows", "4", cwd=work).returncode == 1
    r = cli("verify", "m.json", "--max-report-issues", "0", "--max-row-map-rows", "4", "--json", cwd=work)
    assert [i["code"] for i in json.loads(r.stdout)["errors"]] == ["verification_report_issue_limit_exceeded"]
    # A relative --index is resolved against the manifest's directory, like a declared path.
    shutil.copy(work / "sample.zkrq", work / "copy.zkrq")
    corrupt(work / "sample.zkrq")
    assert cli("verify", "m.json", "--index", "copy.zkrq", cwd=work).returncode == 0


def test_plan_and_inspect(work):
    plan = cli("plan", "m.json", cwd=work)
    assert plan.returncode == 0 and plan.stderr == ""
    assert json.loads(plan.stdout)["artifact_path"] == str((work / "sample.zkrq").resolve())
    inspect = cli("inspect", "m.json", cwd=work)
    assert json.loads(inspect.stdout) == zm.inspect_manifest(work / "m.json")
    corrupt(work / "sample.zkrq")
    refused = cli("plan", "m.json", cwd=work)
    assert (refused.returncode, refused.stdout) == (1, "")
    assert refused.stderr == "zarnik-manifest: load refused: manifest verification failed: artifact_sha256_mismatch\n"


def test_hash_output_is_accepted_by_sha256sum(work):
    odd = work / "odd\\name\nwith newline"
    odd.write_bytes(b"x")
    r = cli("hash", "sample.zkr", "rows.jsonl", odd.name, cwd=work)
    assert r.returncode == 0 and r.stderr == ""
    check = subprocess.run(["sha256sum", "-c", "--strict"], input=r.stdout, cwd=work, capture_output=True, text=True)
    assert check.returncode == 0, check.stdout + check.stderr
    assert r.stdout.splitlines()[0] == f"{zm.sha256_file(work / 'sample.zkr')['sha256']}  sample.zkr"


def test_limits_table_and_json(work):
    assert json.loads(cli("limits", "--json", cwd=work).stdout) == zm.default_resource_limits()
    table = cli("limits", cwd=work).stdout.splitlines()
    assert table[0].split() == ["--max-manifest-bytes", str(zm.DEFAULT_MAX_MANIFEST_BYTES)]
    assert len(table) == 10


# Every bad input: the documented exit code, exactly one line on stderr, no traceback.
@pytest.mark.parametrize("args, code, needle", [
    (["verify", "missing.json"], 3, "No such file or directory"),
    (["verify", "."], 3, "Is a directory"),
    (["verify", "garbage.json"], 3, "expected value at line 1 column 1"),
    (["inspect", "m.json", "--max-manifest-bytes", "10"], 3, "manifest_file_too_large"),
    (["hash", "missing.bin"], 1, "missing.bin: No such file or directory"),
    (["create", "missing.zkr", "-o", "x.json", "--model", "m", "--identity"], 1, "missing.zkr: No such file"),
    (["create", "sample.zkr", "-o", "x.json", "--model", "m", "--row-map", "rows.jsonl"], 1,
     "row map is invalid: row_identity_row_count_mismatch"),
    (["create", "sample.zkr", "-o", "x.json", "--model", "m", "--row-map", "rows.jsonl", "--identity"], 2,
     "not allowed with argument --row-map"),
    (["create", "sample.zkr", "-o", "x.json", "--model", "m"], 2, "one of the arguments --row-map --identity"),
    (["create", "sample.zkr", "-o", "x.json", "--model", "m", "--identity", "--aux", "noequals"], 2,
     "argument --aux: expected NAME=PATH, got 'noequals'"),
    (["create", "sample.zkr", "-o", "x.json", "--model", "m", "--identity", "--aux", "=tok.json"], 2, "NAME=PATH"),
    (["verify", "m.json", "--max-row-map-rows", "-1"], 2, "argument --max-row-map-rows: expected a non-negative"),
    (["verify", "m.json", "--max-manifest-bytes", "+5"], 2, "argument --max-manifest-bytes"),
    (["verify", "m.json", "--max-manifest-bytes", str(1 << 64)], 2, "exceeds the largest limit"),
    (["verify", "m.json", "--json", "--quiet"], 2, "not allowed with argument"),
    (["frobnicate"], 2, "invalid choice"),
    ([], 2, "required: COMMAND"),
])
def test_bad_input_gives_one_line_and_exit_code(work, args, code, needle):
    (work / "garbage.json").write_text("#")
    samples.write_index(work / "sample.zkr", "rank", n_vectors=4)
    r = cli(*args, cwd=work)
    assert r.returncode == code
    assert r.stderr.count("\n") == 1 and needle in r.stderr and "Traceback" not in r.stderr
    assert not (work / "x.json").exists()


def read_pty(fd: int, seconds: float) -> bytes:
    out, end = b"", time.monotonic() + seconds
    while time.monotonic() < end:
        if select.select([fd], [], [], 0.05)[0]:
            try:
                out += os.read(fd, 4096)
            except OSError:
                break
    return out


@pytest.mark.parametrize("terminal, no_color", [(True, ""), (True, "1"), (False, "")])
def test_progress_only_on_a_terminal_and_ctrl_c_exits_130(tmp_path, terminal, no_color):
    # A FIFO without a writer keeps the hash blocked (GIL released) until interrupted.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    master, slave = pty.openpty() if terminal else (None, None)
    proc = subprocess.Popen([sys.executable, "-m", "zarnik_manifest", "hash", str(fifo)], cwd=tmp_path,
                            stdout=subprocess.PIPE, stderr=slave if terminal else subprocess.PIPE,
                            env={**os.environ, "NO_COLOR": no_color})
    try:
        if terminal:
            os.close(slave)
            shown = read_pty(master, 1.5)
            assert b"hashing " + str(fifo).encode() in shown and b"s" in shown
            assert (b"\x1b[36m" in shown) == (not no_color)
        else:
            time.sleep(1.0)
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=10) == 130
        err = read_pty(master, 0.5) if terminal else proc.stderr.read()
        assert err.rstrip(b"\r\n").endswith(b"interrupted") and b"Traceback" not in err
        if not terminal:
            assert err == b"interrupted\n"
    finally:
        proc.kill()
        proc.wait()
        if master is not None:
            os.close(master)

"""create_manifest: round trips through the verifier, the written bytes, identifiers,
error texts, manifest-relative paths, and the atomic replacement of the output file."""

from __future__ import annotations

import datetime as dt
import errno
import json
import os
import re
import stat
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest

import zarnik_manifest as zm
from builders import DEFAULT_INDEX, bytes_per_vec, header, index_bytes, params_json, row_map_lines, sha256, write_row_map

KINDS = ["rank", "rank_quant", "bitmap", "sign_bitmap"]
UUID_V4 = re.compile(r"urn:uuid:[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")
OUTSIDE = ("{} path {} is outside manifest directory {}; use --allow-path-escape to create a manifest "
           "that requires non-default verification policy")


def os_text(code: int) -> str:
    return f"{os.strerror(code)} (os error {code})"


def write_index(path: Path, kind: str = "rank_quant", n: int = 3, **kw) -> bytes:
    path.parent.mkdir(parents=True, exist_ok=True)
    data = index_bytes(kind, n=n, **kw)
    path.write_bytes(data)
    return data


@pytest.fixture
def tree(tmp_path):
    """tmp/out (manifest directory) with an index and a row map of 3 rows inside it."""
    out = tmp_path / "out"
    write_index(out / "index.zkrq")
    write_row_map(out / "rows.jsonl", 3)
    return tmp_path


# ---- round trips ---------------------------------------------------------------------

@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("rows", ["identity", "row_map"])
@pytest.mark.parametrize("aux", [None, "required", "optional"])
def test_created_manifest_verifies_cleanly(tmp_path, fd_guard, kind, rows, aux):
    index = tmp_path / f"index.{kind}"
    data = write_index(index, kind, n=3)
    kwargs = {"row_id_is_identity": True} if rows == "identity" else {"row_map": tmp_path / "rows.jsonl"}
    if rows == "row_map":
        rows_data = write_row_map(tmp_path / "rows.jsonl", 3)
    if aux:
        (tmp_path / "aux").mkdir()
        (tmp_path / "aux" / "vocab.txt").write_bytes(b"a\nb\n")
        item = {"name": "vocab", "path": str(tmp_path / "aux" / "vocab.txt")}
        if aux == "optional":
            item["required"] = False
        kwargs["auxiliary_artifacts"] = [item]

    m = zm.create_manifest(index, tmp_path / "m.json", "enc", **kwargs)

    params = DEFAULT_INDEX[kind]
    assert m["artifact"] == {
        "path": f"index.{kind}",
        "sha256": sha256(data),
        "kind": kind,
        "format_version": 1,
        "dim": params["dim"],
        "vector_count": 3,
        "bytes_per_vec": bytes_per_vec(kind, params["dim"], params.get("bits", 2)),
        "params": params_json(kind),
        "file_size_bytes": len(data),
    }
    assert m["embedding"] == {"model": "enc", "dim": params["dim"]}
    if rows == "identity":
        assert m["row_identity"] == {"kind": "row_id_identity", "row_count": 3}
    else:
        assert m["row_identity"] == {"kind": "jsonl", "path": "rows.jsonl", "sha256": sha256(rows_data),
                                     "row_count": 3, "id_kind": "uuid"}
    if aux:
        entry = {"name": "vocab", "path": "aux/vocab.txt", "sha256": sha256(b"a\nb\n"), "file_size_bytes": 4}
        if aux == "optional":
            entry["required"] = False
        assert m["auxiliary_artifacts"] == [entry]
    else:
        assert "auxiliary_artifacts" not in m

    report = zm.verify_manifest(tmp_path / "m.json")
    assert report["errors"] == []
    assert report["ok"] is True


def test_written_bytes_and_key_order(tmp_path):
    write_index(tmp_path / "i.zkrq")
    (tmp_path / "t.bin").write_bytes(b"xyz")
    model = 'mödel "q" \\ \t\x01\x7f/\u2028'
    m = zm.create_manifest(tmp_path / "i.zkrq", tmp_path / "m.json", model, row_id_is_identity=True,
                           auxiliary_artifacts=[{"name": "t", "path": tmp_path / "t.bin", "required": False}])
    raw = (tmp_path / "m.json").read_bytes()
    assert raw == json.dumps(m, indent=2, ensure_ascii=False).encode()
    assert not raw.endswith(b"\n")
    assert m["embedding"]["model"] == model
    assert list(m) == ["schema_version", "manifest_id", "created_at", "artifact", "auxiliary_artifacts",
                       "embedding", "row_identity", "build"]
    assert list(m["artifact"]) == ["path", "sha256", "kind", "format_version", "dim", "vector_count",
                                   "bytes_per_vec", "params", "file_size_bytes"]
    assert list(m["artifact"]["params"]) == ["kind", "bits"]
    assert list(m["auxiliary_artifacts"][0]) == ["name", "path", "sha256", "file_size_bytes", "required"]
    assert list(m["row_identity"]) == ["kind", "row_count"]
    assert m["schema_version"] == zm.SCHEMA_VERSION == "zarnik.index_manifest.v1"
    assert zm.inspect_manifest(tmp_path / "m.json") == m


def test_identifiers_and_timestamp(tmp_path):
    write_index(tmp_path / "i.zkrq")
    before = dt.datetime.now(dt.timezone.utc).replace(microsecond=0)
    first = zm.create_manifest(tmp_path / "i.zkrq", tmp_path / "a.json", "e", row_id_is_identity=True)
    second = zm.create_manifest(tmp_path / "i.zkrq", tmp_path / "b.json", "e", row_id_is_identity=True)
    after = dt.datetime.now(dt.timezone.utc)
    ids = []
    for m in (first, second):
        assert UUID_V4.fullmatch(m["manifest_id"])
        assert UUID_V4.fullmatch(m["build"]["invocation_id"])
        assert m["build"] == {"invocation_id": m["build"]["invocation_id"], "builder_id": "zarnik-manifest"}
        assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", m["created_at"])
        stamp = dt.datetime.strptime(m["created_at"], "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=dt.timezone.utc)
        assert before <= stamp <= after
        ids += [m["manifest_id"], m["build"]["invocation_id"]]
    assert len(set(ids)) == 4


# ---- errors --------------------------------------------------------------------------

ROW = row_map_lines(3)


@pytest.mark.parametrize("lines, limits, text", [
    (ROW[:2], {}, "row map has 2 rows but index has 3 vectors"),
    (ROW + [row_map_lines(4)[3]], {}, "row map is invalid: row_identity_row_count_mismatch"),
    (["{}", ROW[1].replace('"row_id":1', '"row_id":7'), ROW[2]], {},
     "row map is invalid: row_identity_jsonl_invalid_json, row_identity_row_id_mismatch"),
    (ROW, {"max_row_map_line_bytes": 10},
     "row_identity_line_too_large: line 0 exceeds max_row_identity_jsonl_line_bytes=10"),
    (ROW, {"max_row_map_rows": 2},
     "row_identity_row_count_limit_exceeded: row identity file has more than max_row_identity_rows=2 rows"),
    (["x", "y", "z"], {"max_report_issues": 2},
     "verification_report_issue_limit_exceeded: verification report issue count exceeded max_report_issues=2"),
    ([ROW[0], ROW[0].replace('"row_id":0', '"row_id":1'), ROW[2]], {},
     "row map is invalid: row_identity_duplicate_db_id"),
])
def test_row_map_errors(tmp_path, lines, limits, text):
    write_index(tmp_path / "i.zkrq", n=3)
    (tmp_path / "rows.jsonl").write_text("".join(line + "\n" for line in lines))
    (tmp_path / "m.json").write_bytes(b"previous")
    with pytest.raises(ValueError) as info:
        zm.create_manifest(tmp_path / "i.zkrq", tmp_path / "m.json", "e", row_map=tmp_path / "rows.jsonl", **limits)
    assert str(info.value) == text
    assert (tmp_path / "m.json").read_bytes() == b"previous"


@pytest.mark.parametrize("content, text", [
    (header("rank_quant", dim=8, n=0, bits=3), "unsupported ZKRQ bits: 3 (expected 1, 2, or 4)"),
    (header("rank", dim=2, n=0) + b"!", None),  # trailing payload byte: the probe's own text
    (None, os_text(errno.ENOENT)),  # missing index
])
def test_index_errors_are_oserror(tmp_path, fd_guard, content, text):
    if content is not None:
        (tmp_path / "i.bin").write_bytes(content)
    with pytest.raises(OSError) as info:
        zm.create_manifest(tmp_path / "i.bin", tmp_path / "m.json", "e", row_id_is_identity=True)
    if text is not None:
        assert str(info.value) == text
    assert not (tmp_path / "m.json").exists()


def aux_file(tmp_path: Path, name: str, size: int) -> str:
    path = tmp_path / "out" / name
    path.write_bytes(b"a" * size)
    return str(path)


COUNT = ("auxiliary_artifact_count_limit_exceeded: auxiliary_artifacts has 3 entries, "
         "exceeding max_auxiliary_artifacts=2")
TWO = {"max_auxiliary_artifacts": 2}


@pytest.mark.parametrize("items, limits, text", [
    (lambda t: [{"name": f"a{i}", "path": aux_file(t, f"a{i}", 1)} for i in range(3)], TWO, COUNT),
    (lambda t: [{"name": f"a{i}", "path": str(t / "missing")} for i in range(3)], TWO, COUNT),
    (lambda t: [{"name": " \t\u3000", "path": str(t / "missing")}], {}, "auxiliary artifact name must be non-empty"),
    (lambda t: [{"name": "tok", "path": aux_file(t, "x", 1)}, {"name": " tok\t", "path": str(t / "missing")}], {},
     'auxiliary artifact name "tok" is duplicated'),
    (lambda t: [{"name": 'q"\n', "path": aux_file(t, "x", 1)}, {"name": 'q"', "path": str(t / "missing")}], {},
     'auxiliary artifact name "q\\"" is duplicated'),
    (lambda t: [{"name": "big", "path": aux_file(t, "big", 5)}], {"max_auxiliary_artifact_bytes": 4},
     "auxiliary_artifact_file_too_large: auxiliary artifact exceeds 4 bytes while reading {out}/big"),
])
def test_auxiliary_errors(tree, items, limits, text):
    out = tree / "out"
    with pytest.raises(ValueError) as info:
        zm.create_manifest(out / "index.zkrq", out / "m.json", "e", row_id_is_identity=True,
                           auxiliary_artifacts=items(tree), **limits)
    assert str(info.value) == text.format(out=out)
    assert not (out / "m.json").exists()


def test_auxiliary_boundaries_trim_and_missing_file(tree):
    out = tree / "out"
    exact = aux_file(tree, "exact", 4)
    m = zm.create_manifest(out / "index.zkrq", out / "m.json", "e", row_id_is_identity=True,
                           auxiliary_artifacts=iter([{"name": "\u00a0 exact \n", "path": exact}]),
                           max_auxiliary_artifact_bytes=4)
    assert m["auxiliary_artifacts"] == [{"name": "exact", "path": "exact", "sha256": sha256(b"aaaa"),
                                         "file_size_bytes": 4}]
    with pytest.raises(OSError) as info:
        zm.create_manifest(out / "index.zkrq", out / "m2.json", "e", row_id_is_identity=True,
                           auxiliary_artifacts=[{"name": "gone", "path": str(out / "gone")}])
    assert str(info.value) == os_text(errno.ENOENT)
    for empty in ([], (), None):
        m = zm.create_manifest(out / "index.zkrq", out / "m.json", "e", row_id_is_identity=True,
                               auxiliary_artifacts=empty)
        assert "auxiliary_artifacts" not in m


# ---- manifest-relative paths ---------------------------------------------------------

@pytest.mark.parametrize("index_rel, flags, expected", [
    ("out/idx/a.bin", {}, "idx/a.bin"),
    ("out/./x/../a.bin", {}, "a.bin"),
    ("out//deep///a.bin", {}, "deep/a.bin"),
    ("other/a.bin", {"allow_path_escape": True}, "../other/a.bin"),
    ("out/a.bin", {"allow_absolute_paths": True}, "a.bin"),
])
def test_artifact_path_forms(tmp_path, index_rel, flags, expected):
    for target in ("out/idx/a.bin", "out/a.bin", "out/deep/a.bin", "other/a.bin"):
        write_index(tmp_path / target)
    (tmp_path / "out" / "x").mkdir()
    m = zm.create_manifest(f"{tmp_path}/{index_rel}", tmp_path / "out" / "m.json", "e",
                           row_id_is_identity=True, **flags)
    assert m["artifact"]["path"] == expected


@pytest.mark.parametrize("role, flags", [("artifact", {}), ("artifact", {"allow_absolute_paths": True}),
                                         ("row identity", {}), ("auxiliary artifact", {})])
def test_outside_directory_refused_even_through_inside_symlink(tree, role, flags):
    out = tree / "out"
    write_index(tree / "elsewhere" / "a.bin")
    write_row_map(tree / "elsewhere" / "rows.jsonl", 3)
    (out / "link.jsonl").symlink_to(tree / "elsewhere" / "rows.jsonl")
    kwargs = {"artifact": {"row_id_is_identity": True}, "row identity": {"row_map": out / "link.jsonl"},
              "auxiliary artifact": {"row_id_is_identity": True,
                                     "auxiliary_artifacts": [{"name": "n", "path": out / "link.jsonl"}]}}[role]
    index = tree / "elsewhere" / "a.bin" if role == "artifact" else out / "index.zkrq"
    with pytest.raises(ValueError) as info:
        zm.create_manifest(index, out / "m.json", "e", **kwargs, **flags)
    shown = index if role == "artifact" else tree / "elsewhere" / "rows.jsonl"
    assert str(info.value) == OUTSIDE.format(role, shown, out)
    assert not (out / "m.json").exists()


@pytest.mark.parametrize("role", ["artifact", "row identity", "auxiliary artifact"])
def test_name_not_storable_as_utf8_is_refused(tmp_path, role):
    # Stored with U+FFFD the path would name no file: the manifest could never verify.
    write_index(tmp_path / "i.zkrq")
    write_row_map(tmp_path / "rows.jsonl", 3)
    (tmp_path / "t.bin").write_bytes(b"t")
    paths = {r: os.fsencode(tmp_path / name) for r, name in
             [("artifact", "i.zkrq"), ("row identity", "rows.jsonl"), ("auxiliary artifact", "t.bin")]}
    bad = os.path.join(os.fsencode(tmp_path), b"\xff" + os.path.basename(paths[role]))
    os.rename(paths[role], bad)
    paths[role] = bad
    with pytest.raises(ValueError) as info:
        zm.create_manifest(paths["artifact"], tmp_path / "m.json", "e", row_map=paths["row identity"],
                           auxiliary_artifacts=[{"name": "t", "path": paths["auxiliary artifact"]}])
    shown = os.path.realpath(bad).decode("utf-8", "replace")
    assert str(info.value) == f"{role} path {shown} is not valid UTF-8 and cannot be stored in a manifest"
    assert not (tmp_path / "m.json").exists()


def test_bare_out_name_and_missing_directories(tmp_path, monkeypatch):
    write_index(tmp_path / "idx" / "a.zkrq")
    monkeypatch.chdir(tmp_path)
    m = zm.create_manifest("idx/a.zkrq", "m.json", "e", row_id_is_identity=True)
    assert m["artifact"]["path"] == "idx/a.zkrq"
    assert zm.verify_manifest("m.json")["ok"] is True
    m = zm.create_manifest("idx/a.zkrq", "new/deeper/m.json", "e", row_id_is_identity=True, allow_path_escape=True)
    assert m["artifact"]["path"] == "../../idx/a.zkrq"
    assert json.loads(Path("new/deeper/m.json").read_text()) == m


# ---- writing the output file ---------------------------------------------------------

@pytest.mark.parametrize("dangling", [False, True])
def test_symlinked_output_keeps_link(tree, dangling):
    out = tree / "out"
    real = tree / "real" / "target.json"
    real.parent.mkdir()
    if not dangling:
        real.write_bytes(b"old")
    (out / "m.json").symlink_to("../real/target.json")
    m = zm.create_manifest(out / "index.zkrq", out / "m.json", "e", row_id_is_identity=True)
    assert (out / "m.json").is_symlink()
    assert os.readlink(out / "m.json") == "../real/target.json"
    assert real.read_bytes() == json.dumps(m, indent=2).encode()
    assert sorted(os.listdir(real.parent)) == ["target.json"]
    assert m["artifact"]["path"] == "index.zkrq"


@pytest.mark.parametrize("target", ["index", "row_map", "auxiliary", "link to index", "hard link to index"])
def test_output_that_is_an_input_is_refused(tree, target):
    out = tree / "out"
    (out / "tok.bin").write_bytes(b"tok")
    inputs = {"index": out / "index.zkrq", "row_map": out / "rows.jsonl", "auxiliary": out / "tok.bin"}
    before = {p: p.read_bytes() for p in inputs.values()}
    role, source = ("index", inputs["index"]) if "index" in target else (target, inputs[target])
    dest = source
    if target.startswith("link"):
        dest = out / "m.json"
        dest.symlink_to("index.zkrq")
    elif target.startswith("hard"):
        dest = out / "m.json"
        os.link(source, dest)
    with pytest.raises(ValueError) as info:
        zm.create_manifest(inputs["index"], dest, "e", row_map=inputs["row_map"],
                           auxiliary_artifacts=[{"name": "tok", "path": inputs["auxiliary"]}])
    shown = 'auxiliary artifact "tok"' if role == "auxiliary" else role
    assert str(info.value) == f"out {dest} is the same file as {shown} {source}"
    assert {p: p.read_bytes() for p in inputs.values()} == before


def test_fifo_output_receives_the_manifest(tree, fd_guard):
    out = tree / "out"
    fifo = out / "m.fifo"
    os.mkfifo(fifo)
    received = {}
    reader = threading.Thread(target=lambda: received.update(data=fifo.read_bytes()), daemon=True)
    reader.start()
    try:
        m = zm.create_manifest(out / "index.zkrq", fifo, "e", row_id_is_identity=True)
    finally:
        if reader.is_alive() and "data" not in received:
            try:  # the call failed before opening the pipe: release the reader
                os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
            except OSError:
                pass
        reader.join(10)
    assert received["data"] == json.dumps(m, indent=2).encode()
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert sorted(os.listdir(out)) == ["index.zkrq", "m.fifo", "rows.jsonl"]


@pytest.mark.parametrize("name", ["m.json", "m" * 250 + ".json"])
def test_existing_output_replaced_keeping_mode_without_leftovers(tree, fd_guard, name):
    # 255 bytes is the longest name a file system takes; the temporary name must fit too.
    out = tree / "out"
    (out / name).write_bytes(b"x" * 100000)
    os.chmod(out / name, 0o640)
    old_umask = os.umask(0o077)  # neither the umask nor a private temporary file's mode may leak through
    try:
        m = zm.create_manifest(out / "index.zkrq", out / name, "e", row_map=out / "rows.jsonl")
    finally:
        os.umask(old_umask)
    assert (out / name).read_bytes() == json.dumps(m, indent=2).encode()
    assert (out / name).stat().st_mode & 0o7777 == 0o640
    assert sorted(os.listdir(out)) == sorted(["index.zkrq", name, "rows.jsonl"])


FAILING_WRITE = textwrap.dedent("""
    import resource, signal, sys
    import zarnik_manifest as zm
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (200, 200))
    try:
        zm.create_manifest(sys.argv[1], sys.argv[2], "e" * 400, row_id_is_identity=True)
    except ValueError as exc:
        print(type(exc).__name__, exc)
    else:
        print("no error")
""")


def test_failed_write_leaves_existing_manifest_intact(tree):
    out = tree / "out"
    previous = b'{"previous": "manifest"}'
    (out / "m.json").write_bytes(previous)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    run = subprocess.run([sys.executable, "-c", FAILING_WRITE, str(out / "index.zkrq"), str(out / "m.json")],
                         capture_output=True, text=True, env=env, timeout=60)
    assert run.stdout.strip() == f"ValueError {os_text(errno.EFBIG)}", run.stderr
    assert (out / "m.json").read_bytes() == previous
    assert sorted(os.listdir(out)) == ["index.zkrq", "m.json", "rows.jsonl"]


def test_unwritable_output_directory_is_os_error(tree):
    out = tree / "out"
    (out / "m.json").mkdir()
    with pytest.raises(OSError) as info:
        zm.create_manifest(out / "index.zkrq", out / "m.json", "e", row_id_is_identity=True)
    assert str(info.value) == os_text(errno.EISDIR)
    assert sorted(os.listdir(out)) == ["index.zkrq", "m.json", "rows.jsonl"]


@pytest.mark.parametrize("kind", KINDS)
def test_sample_writers_produce_probeable_files(tmp_path, kind):
    from zarnik_manifest import samples

    files = samples.write_sample_set(tmp_path, n_vectors=5)
    m = zm.create_manifest(files["indexes"][kind], tmp_path / "m.json", "e", row_map=files["row_map"],
                           auxiliary_artifacts=[{"name": "tok", "path": files["auxiliary"]}])
    assert m["artifact"]["file_size_bytes"] == samples.HEADER_BYTES[kind] + samples.payload_bytes(kind, n_vectors=5)
    assert m["row_identity"]["row_count"] == 5
    assert zm.verify_manifest(tmp_path / "m.json")["ok"] is True

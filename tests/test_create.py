"""create_manifest: round trips through the verifier, the written bytes, identifiers,
error texts, manifest-relative paths, and the atomic replacement of the output file."""

from __future__ import annotations

import datetime as dt
import errno
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

import zarnik_manifest as zm
from zarnik_manifest import samples
from builders import DEFAULT_INDEX, bytes_per_vec, header, index_bytes, params_json, row_map_lines, sha256
from builders import write_row_map
from test_hostile_files import SHM, os_text

KINDS = ["rank", "rank_quant", "bitmap", "sign_bitmap"]
UUID_V4 = re.compile(r"urn:uuid:[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")
OUTSIDE = ("{} path {} is outside manifest directory {}; use --allow-path-escape to create a manifest "
           "that requires non-default verification policy")


def write_index(path: Path, kind: str = "rank_quant", n: int = 3, **kw) -> bytes:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data := index_bytes(kind, n=n, **kw))
    return data


@pytest.fixture
def out(tmp_path):
    """tmp/out (manifest directory) with an index and a row map of 3 rows inside it."""
    write_index(tmp_path / "out" / "index.zkrq")
    write_row_map(tmp_path / "out" / "rows.jsonl", 3)
    return tmp_path / "out"


# ---- round trips ---------------------------------------------------------------------

@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("rows", ["identity", "row_map"])
@pytest.mark.parametrize("aux", [None, "required", "optional"])
def test_created_manifest_verifies_cleanly(tmp_path, fd_guard, kind, rows, aux):
    data = write_index(tmp_path / f"index.{kind}", kind, n=3)
    rows_data = write_row_map(tmp_path / "rows.jsonl", 3)
    (tmp_path / "aux").mkdir()
    (tmp_path / "aux" / "vocab.txt").write_bytes(b"a\nb\n")
    optional = {"required": False} if aux == "optional" else {}
    items = [{"name": "\u00a0 vocab \n", "path": str(tmp_path / "aux" / "vocab.txt"), **optional}] if aux else []
    # Any iterable or None; no entries leaves the list out; a name is trimmed of Unicode white space; a file at
    # the size limit is taken.
    items = {"rank": list, "rank_quant": tuple, "bitmap": iter, "sign_bitmap": lambda x: x or None}[kind](items)
    kwargs = {"row_id_is_identity": True} if rows == "identity" else {"row_map": tmp_path / "rows.jsonl"}
    m = zm.create_manifest(tmp_path / f"index.{kind}", tmp_path / "m.json", "enc", auxiliary_artifacts=items,
                           max_auxiliary_artifact_bytes=4, **kwargs)

    dim = DEFAULT_INDEX[kind]["dim"]
    assert m["artifact"] == {"path": f"index.{kind}", "sha256": sha256(data), "kind": kind, "format_version": 1,
                             "dim": dim, "vector_count": 3, "bytes_per_vec": bytes_per_vec(kind, dim),
                             "params": params_json(kind), "file_size_bytes": len(data)}
    assert m["embedding"] == {"model": "enc", "dim": dim}
    assert m["row_identity"] == ({"kind": "row_id_identity", "row_count": 3} if rows == "identity" else
                                 {"kind": "jsonl", "path": "rows.jsonl", "sha256": sha256(rows_data),
                                  "row_count": 3, "id_kind": "uuid"})
    entry = {"name": "vocab", "path": "aux/vocab.txt", "sha256": sha256(b"a\nb\n"), "file_size_bytes": 4, **optional}
    assert m.get("auxiliary_artifacts") == ([entry] if aux else None)
    report = zm.verify_manifest(tmp_path / "m.json")
    assert (report["errors"], report["ok"]) == ([], True)


def test_written_bytes_key_order_identifiers_and_timestamp(tmp_path):
    write_index(tmp_path / "i.zkrq")
    (tmp_path / "t.bin").write_bytes(b"xyz")
    model = 'mödel "q" \\ \t\x01\x7f/\u2028'
    before = dt.datetime.now(dt.timezone.utc).replace(microsecond=0)
    made = [zm.create_manifest(tmp_path / "i.zkrq", tmp_path / f"{n}.json", model, row_id_is_identity=True,
                               auxiliary_artifacts=[{"name": "t", "path": tmp_path / "t.bin", "required": False}])
            for n in "ab"]
    after = dt.datetime.now(dt.timezone.utc)
    m, raw = made[0], (tmp_path / "a.json").read_bytes()
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
    assert zm.inspect_manifest(tmp_path / "a.json") == m
    for m in made:
        assert UUID_V4.fullmatch(m["manifest_id"]) and UUID_V4.fullmatch(m["build"]["invocation_id"])
        assert m["build"] == {"invocation_id": m["build"]["invocation_id"], "builder_id": "zarnik-manifest"}
        assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", m["created_at"])
        stamp = dt.datetime.strptime(m["created_at"], "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=dt.timezone.utc)
        assert before <= stamp <= after
    assert len({m["manifest_id"] for m in made} | {m["build"]["invocation_id"] for m in made}) == 4


# ---- errors --------------------------------------------------------------------------

ROW = row_map_lines(3)


def aux_file(out: Path, name: str, size: int) -> str:
    (path := out / name).write_bytes(b"a" * size)
    return str(path)


COUNT = ValueError("auxiliary_artifact_count_limit_exceeded: auxiliary_artifacts has 3 entries, "
                   "exceeding max_auxiliary_artifacts=2")
TWO = {"max_auxiliary_artifacts": 2}
INDEX = index_bytes()


# Index (None: missing), row map lines (None: row ids are identities), auxiliary entries, limits, the error.
@pytest.mark.parametrize("index, lines, aux, limits, error", [
    (INDEX, ROW[:2], None, {}, ValueError("row map has 2 rows but index has 3 vectors")),
    (INDEX, ROW + [row_map_lines(4)[3]], None, {}, ValueError("row map is invalid: row_identity_row_count_mismatch")),
    (INDEX, ["{}", ROW[1].replace('"row_id":1', '"row_id":7'), ROW[2]], None, {},
     ValueError("row map is invalid: row_identity_jsonl_invalid_json, row_identity_row_id_mismatch")),
    (INDEX, ROW, None, {"max_row_map_line_bytes": 10},
     ValueError("row_identity_line_too_large: line 0 exceeds max_row_identity_jsonl_line_bytes=10")),
    (INDEX, ROW, None, {"max_row_map_rows": 2}, ValueError(
        "row_identity_row_count_limit_exceeded: row identity file has more than max_row_identity_rows=2 rows")),
    (INDEX, ["x", "y", "z"], None, {"max_report_issues": 2}, ValueError(
        "verification_report_issue_limit_exceeded: verification report issue count exceeded max_report_issues=2")),
    (INDEX, [ROW[0], ROW[0].replace('"row_id":0', '"row_id":1'), ROW[2]], None, {},
     ValueError("row map is invalid: row_identity_duplicate_db_id")),
    (header("rank_quant", dim=8, n=0, bits=3), None, None, {},
     OSError("unsupported ZKRQ bits: 3 (expected 1, 2, or 4)")),
    (header("rank", dim=2, n=0) + b"!", None, None, {},
     OSError("ZKR1 payload has trailing bytes: header declares 0 B but file has 1 B remaining")),
    (None, None, None, {}, OSError(os_text(errno.ENOENT))),
    (INDEX, None, lambda t: [{"name": "gone", "path": str(t / "gone")}], {}, OSError(os_text(errno.ENOENT))),
    (INDEX, None, lambda t: [{"name": f"a{i}", "path": aux_file(t, f"a{i}", 1)} for i in range(3)], TWO, COUNT),
    (INDEX, None, lambda t: [{"name": f"a{i}", "path": str(t / "missing")} for i in range(3)], TWO, COUNT),
    (INDEX, None, lambda t: [{"name": " \t\u3000", "path": str(t / "missing")}], {},
     ValueError("auxiliary artifact name must be non-empty")),
    (INDEX, None, lambda t: [{"name": "tok", "path": aux_file(t, "x", 1)}, {"name": " tok\t", "path": "missing"}], {},
     ValueError('auxiliary artifact name "tok" is duplicated')),
    (INDEX, None, lambda t: [{"name": 'q"\n', "path": aux_file(t, "x", 1)}, {"name": 'q"', "path": "missing"}], {},
     ValueError('auxiliary artifact name "q\\"" is duplicated')),
    (INDEX, None, lambda t: [{"name": "big", "path": aux_file(t, "big", 5)}], {"max_auxiliary_artifact_bytes": 4},
     ValueError("auxiliary_artifact_file_too_large: auxiliary artifact exceeds 4 bytes while reading {out}/big")),
])
def test_refused_and_nothing_written(out, fd_guard, index, lines, aux, limits, error):
    (out / "index.zkrq").unlink()
    if index is not None:
        (out / "index.zkrq").write_bytes(index)
    if lines is not None:
        (out / "rows.jsonl").write_text("".join(line + "\n" for line in lines))
    (out / "m.json").write_bytes(b"previous")
    rows = {"row_id_is_identity": True} if lines is None else {"row_map": out / "rows.jsonl"}
    with pytest.raises(type(error)) as info:
        zm.create_manifest(out / "index.zkrq", out / "m.json", "e", auxiliary_artifacts=aux and aux(out), **rows,
                           **limits)
    assert str(info.value) == str(error).format(out=out)
    assert (out / "m.json").read_bytes() == b"previous"


# ---- manifest-relative paths ---------------------------------------------------------

@pytest.mark.parametrize("index_rel, out, flags, expected", [
    ("out/idx/a.bin", "out/m.json", {}, "idx/a.bin"),
    ("out/./x/../a.bin", "out/m.json", {}, "a.bin"),
    ("out//deep///a.bin", "out/m.json", {}, "deep/a.bin"),
    ("other/a.bin", "out/m.json", {"allow_path_escape": True}, "../other/a.bin"),
    ("out/a.bin", "out/m.json", {"allow_absolute_paths": True}, "a.bin"),
    ("out/a.bin", "m.json", {}, "out/a.bin"),  # a bare name: the working directory
    ("out/a.bin", "new/deeper/m.json", {"allow_path_escape": True}, "../../out/a.bin"),  # directories made
])
def test_artifact_path_forms(tmp_path, monkeypatch, index_rel, out, flags, expected):
    for target in ("out/idx/a.bin", "out/a.bin", "out/deep/a.bin", "other/a.bin"):
        write_index(tmp_path / target)
    (tmp_path / "out" / "x").mkdir()
    monkeypatch.chdir(tmp_path)
    m = zm.create_manifest(f"{tmp_path}/{index_rel}", out, "e", row_id_is_identity=True, **flags)
    assert m["artifact"]["path"] == expected
    assert json.loads(Path(out).read_text()) == m
    assert zm.verify_manifest(out, **flags)["ok"] is True


@pytest.mark.parametrize("role, flags", [("artifact", {}), ("artifact", {"allow_absolute_paths": True}),
                                         ("row identity", {}), ("auxiliary artifact", {})])
def test_outside_directory_refused_even_through_inside_symlink(out, role, flags):
    write_index(out.parent / "elsewhere" / "a.bin")
    write_row_map(out.parent / "elsewhere" / "rows.jsonl", 3)
    (out / "link.jsonl").symlink_to(out.parent / "elsewhere" / "rows.jsonl")
    kwargs = {"artifact": {"row_id_is_identity": True}, "row identity": {"row_map": out / "link.jsonl"},
              "auxiliary artifact": {"row_id_is_identity": True,
                                     "auxiliary_artifacts": [{"name": "n", "path": out / "link.jsonl"}]}}[role]
    index = out.parent / "elsewhere" / "a.bin" if role == "artifact" else out / "index.zkrq"
    with pytest.raises(ValueError) as info:
        zm.create_manifest(index, out / "m.json", "e", **kwargs, **flags)
    shown = index if role == "artifact" else out.parent / "elsewhere" / "rows.jsonl"
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


# ---- writing the output file ---------------------------------------------------------

@pytest.mark.parametrize("fn", ["create_manifest", "create_manifest_with"])
@pytest.mark.parametrize("dest", ["file", "link", "dangling link", "fifo"])
def test_link_target_replaced_beside_it_and_fifo_written_straight(out, fd_guard, fn, dest):
    # The link's target may lie on another file system (/dev/shm where there is one): the new
    # manifest is renamed into place beside the target, never across file systems. A replaced file
    # keeps its permission bits.
    elsewhere = Path(tempfile.mkdtemp(dir=SHM))
    if dest == "link":
        (elsewhere / "m.json").write_bytes(b"old")
        (elsewhere / "m.json").chmod(0o640)
    (out / "file").write_bytes(b"old")
    (out / "file").chmod(0o640)
    link_text = os.path.relpath(elsewhere / "m.json", out)
    (out / "link").symlink_to(link_text)
    os.mkfifo(out / "fifo")
    reader = subprocess.Popen(["cat", str(out / "fifo")], stdout=subprocess.PIPE)
    extra = {"corpus_digest": "0" * 64, "ci_run_id": "42"} if fn == "create_manifest_with" else {}
    try:
        m = getattr(zm, fn)(out / "index.zkrq", out / dest.split()[-1], "e", row_id_is_identity=True, **extra)
        written = reader.communicate(timeout=30)[0] if dest == "fifo" else (out / dest.split()[-1]).read_bytes()
        assert os.listdir(elsewhere) == (["m.json"] if "link" in dest else [])
        assert dest not in ("file", "link") or stat.S_IMODE(os.stat(out / dest).st_mode) == 0o640
    finally:
        reader.kill()
        reader.wait()
        reader.stdout.close()
        shutil.rmtree(elsewhere)
    assert written == json.dumps(m, indent=2, ensure_ascii=False).encode()
    assert m["artifact"]["path"] == "index.zkrq"
    assert (m["embedding"].get("corpus_digest"), m["build"].get("ci_run_id")) == (
        extra.get("corpus_digest"), extra.get("ci_run_id"))
    assert os.readlink(out / "link") == link_text and stat.S_ISFIFO(os.lstat(out / "fifo").st_mode)
    assert sorted(os.listdir(out)) == ["fifo", "file", "index.zkrq", "link", "rows.jsonl"]


@pytest.mark.parametrize("target", ["index", "row_map", "auxiliary", "link to index", "hard link to index"])
def test_output_that_is_an_input_is_refused(out, target):
    (out / "tok.bin").write_bytes(b"tok")
    inputs = {"index": out / "index.zkrq", "row_map": out / "rows.jsonl", "auxiliary": out / "tok.bin"}
    before = {p: p.read_bytes() for p in inputs.values()}
    role, source = ("index", inputs["index"]) if "index" in target else (target, inputs[target])
    dest = out / "m.json" if "link" in target else source
    if target.startswith("link"):
        dest.symlink_to("index.zkrq")
    elif target.startswith("hard"):
        os.link(source, dest)
    with pytest.raises(ValueError) as info:
        zm.create_manifest(inputs["index"], dest, "e", row_map=inputs["row_map"],
                           auxiliary_artifacts=[{"name": "tok", "path": inputs["auxiliary"]}])
    shown = 'auxiliary artifact "tok"' if role == "auxiliary" else role
    assert str(info.value) == f"out {dest} is the same file as {shown} {source}"
    assert {p: p.read_bytes() for p in inputs.values()} == before


@pytest.mark.parametrize("name", ["m.json", "m" * 250 + ".json"])
def test_existing_output_replaced_keeping_mode_without_leftovers(out, fd_guard, name):
    # 255 bytes is the longest name a file system takes; the temporary name must fit too.
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


FAILING_WRITE = """import resource, signal, sys, zarnik_manifest as zm
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (200, 200))
try:
    zm.create_manifest(sys.argv[1], sys.argv[2], "e" * 400, row_id_is_identity=True)
except ValueError as exc:
    print(type(exc).__name__, exc)"""


@pytest.mark.parametrize("failure", ["file size limit", "directory in the way"])
def test_failed_write_leaves_the_directory_as_it_was(out, failure):
    if failure == "directory in the way":
        (out / "m.json").mkdir()
        with pytest.raises(OSError) as info:
            zm.create_manifest(out / "index.zkrq", out / "m.json", "e", row_id_is_identity=True)
        assert str(info.value) == os_text(errno.EISDIR)
    else:
        (out / "m.json").write_bytes(b'{"previous": "manifest"}')
        run = subprocess.run([sys.executable, "-c", FAILING_WRITE, str(out / "index.zkrq"), str(out / "m.json")],
                             capture_output=True, text=True, timeout=60,
                             env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
        assert run.stdout.strip() == f"ValueError {os_text(errno.EFBIG)}", run.stderr
        assert (out / "m.json").read_bytes() == b'{"previous": "manifest"}'
    assert sorted(os.listdir(out)) == ["index.zkrq", "m.json", "rows.jsonl"]


@pytest.mark.parametrize("kind", KINDS)
def test_sample_writers_produce_probeable_files(tmp_path, kind):
    files = samples.write_sample_set(tmp_path, n_vectors=5)
    m = zm.create_manifest(files["indexes"][kind], tmp_path / "m.json", "e", row_map=files["row_map"],
                           auxiliary_artifacts=[{"name": "tok", "path": files["auxiliary"]}])
    assert m["artifact"]["file_size_bytes"] == samples.HEADER_BYTES[kind] + samples.payload_bytes(kind, n_vectors=5)
    assert (m["row_identity"]["row_count"], zm.verify_manifest(tmp_path / "m.json")["ok"]) == (5, True)

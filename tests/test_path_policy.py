"""The path policy: one issue per failed resolution, exact texts, candidates formed from the manifest's directory."""

import json
import os
import shutil
import threading

import pytest

import zarnik_manifest as zm
from builders import Bundle
from test_file_identity import open_writer
from test_hostile_files import FIELD, ROLES, entry, full_bundle, unavailable, with_path

ENOENT = "No such file or directory (os error 2)"
EISDIR = "Is a directory (os error 21)"


def artifact_issues(report):
    return [(i["code"], i["message"]) for i in report["errors"] if i["code"].startswith("artifact_")]


@pytest.fixture
def bundle(tmp_path):
    return Bundle(tmp_path / "m", row_map=False)


@pytest.mark.parametrize("path,allow_abs,allow_escape,outcome", [
    *[(p, False, False, "lexical") for p in ["../outside.bin", "sub/../../outside.bin", "./../outside.bin",
                                              "a//..//../outside.bin"]],
    ("index.rank_quant", False, False, "ok"), ("sub/./../index.rank_quant", False, False, "ok"),
    ("INSIDE", False, False, "absolute"), ("OUTSIDE", False, False, "absolute"), ("OUTSIDE", False, True, "absolute"),
    ("INSIDE", True, False, "ok"), ("OUTSIDE", True, False, "outside"), ("OUTSIDE", True, True, "ok"),
    ("link.bin", False, False, "outside"), ("link.bin", False, True, "ok"),
])
def test_escapes_and_absolute_paths(bundle, path, allow_abs, allow_escape, outcome):
    (bundle.root / "sub").mkdir()
    outside = bundle.root.parent / "outside.bin"
    outside.write_bytes(bundle.index)
    (bundle.root / "link.bin").symlink_to(outside)
    path = {"INSIDE": str(bundle.index_path), "OUTSIDE": str(outside)}.get(path, path)
    target = os.path.realpath(bundle.root / path)
    report = zm.verify_manifest(str(bundle.write(bundle.edited(**{"artifact.path": path}))),
                                allow_absolute_paths=allow_abs, allow_path_escape=allow_escape)
    expected = {
        "lexical": [("artifact_path_escape_rejected", f"relative path {path} escapes the manifest base")],
        "absolute": [("artifact_absolute_path_rejected", f"absolute path {path} is rejected by default")],
        "outside": [("artifact_path_escape_rejected",
                     f"canonical path {target} is outside manifest base {os.path.realpath(bundle.root)}")],
        "ok": [],
    }[outcome]
    assert artifact_issues(report) == expected
    if outcome in ("ok", "lexical"):
        assert report["artifact"]["canonical_path"] == (target if outcome == "ok" else None)


EMPTY = ("artifact_path_empty", "artifact.path must be non-empty")


@pytest.mark.parametrize("path,bare,expected", [
    ("gone/index.bin", False, [("artifact_path_unavailable", f"failed to canonicalize {{}}/gone/index.bin: {ENOENT}")]),
    ("missing.bin", True, [("artifact_path_unavailable", f"failed to canonicalize {{}}/missing.bin: {ENOENT}")]),
    (" ", False, [EMPTY, ("artifact_path_unavailable", f"failed to canonicalize {{}}/ : {ENOENT}")]),
    ("", False, [EMPTY, ("artifact_hash_failed", f"failed to hash artifact: {EISDIR}"),
                 ("artifact_probe_failed", f"failed to probe artifact metadata: {EISDIR}")]),
])
def test_unusable_path_issues(bundle, monkeypatch, path, bare, expected):
    bundle.write(bundle.edited(**{"artifact.path": path}))
    if bare:  # a manifest named without a directory has the base "."
        monkeypatch.chdir(bundle.root)
    report = zm.verify_manifest("manifest.json" if bare else str(bundle.manifest_path))
    assert artifact_issues(report) == [(c, m.format("." if bare else bundle.root)) for c, m in expected]
    assert report["artifact"]["canonical_path"] == (os.path.realpath(bundle.root) if path == "" else None)


@pytest.mark.parametrize("override,allow_abs,expected", [
    ("copy.bin", False, None), ("ABS", True, None), ("ABS", False, "artifact_absolute_path_rejected"),
    ("../copy.bin", False, "artifact_path_escape_rejected"),
])
def test_index_override_is_relative_to_manifest_dir(bundle, tmp_path, monkeypatch, override, allow_abs, expected):
    shutil.copy(bundle.index_path, bundle.root / "copy.bin")
    shutil.copy(bundle.index_path, bundle.root.parent / "copy.bin")
    path = str(bundle.root / "copy.bin") if override == "ABS" else override
    manifest = str(bundle.write())
    (tmp_path / "elsewhere").mkdir()
    (tmp_path / "elsewhere" / "copy.bin").write_bytes(b"not an index")
    monkeypatch.chdir(tmp_path / "elsewhere")
    report = zm.verify_manifest(manifest, index=path, allow_absolute_paths=allow_abs)
    assert [c for c, _ in artifact_issues(report)] == ([expected] if expected else [])
    if expected is None:
        assert report["errors"] == []
        assert [report["artifact"][k] for k in ("observed_path", "manifest_path", "canonical_path")] == [
            path, bundle.index_path.name, os.path.realpath(bundle.root / "copy.bin")]


def _feed_fifo_after_removing_dir(fifo, directory, text, failures):
    """Once the loader has opened the pipe: removes the manifest's directory, then writes."""
    try:
        fd = open_writer(fifo, timeout=20)
    except OSError:
        failures.append("no reader")
        return os.close(os.open(fifo, os.O_RDWR | os.O_NONBLOCK))
    shutil.rmtree(directory)
    os.write(fd, text.encode())
    os.close(fd)


@pytest.mark.parametrize("path,expected", [
    ("index.bin", ("artifact_base_dir_unavailable", "failed to canonicalize base_dir {}: " + ENOENT)),
    ("/abs/index.bin", ("artifact_absolute_path_rejected", "absolute path /abs/index.bin is rejected by default")),
])
def test_removed_manifest_directory(tmp_path, path, expected):
    bundle = Bundle(tmp_path / "gone", row_map=False)
    text = json.dumps(bundle.edited(**{"artifact.path": path}))
    fifo = bundle.root / "manifest.fifo"
    os.mkfifo(fifo)
    failures = []
    feeder = threading.Thread(target=_feed_fifo_after_removing_dir, args=(fifo, bundle.root, text, failures))
    feeder.start()
    try:
        report = zm.verify_manifest(str(fifo))
    finally:
        feeder.join()
    assert failures == []
    assert artifact_issues(report) == [(expected[0], expected[1].format(bundle.root))]


NUL = "path contains a NUL byte"


@pytest.mark.parametrize("role", [*ROLES, "index override"])
def test_nul_byte_in_a_path_names_no_file(tmp_path, role):
    b = full_bundle(tmp_path)
    assert zm.verify_manifest(b.write())["ok"] is True
    owner = "artifact" if role == "index override" else role
    path = entry(b.manifest, owner)["path"] + "\0.bak"
    if role == "index override":
        report = zm.verify_manifest(b.manifest_path, index=path)
        with pytest.raises(ValueError, match="^manifest verification failed: artifact_path_unavailable$"):
            zm.verify_for_load(b.manifest_path, index=path)
    else:
        report = zm.verify_manifest(with_path(b, role, path))
    assert [(i["code"], i["message"]) for i in report["errors"]] == [unavailable(b, owner, path, NUL)]
    keys = FIELD[owner]
    found = report[keys[0]][0] if keys[-1] == 0 else report[keys[0]]
    prefix = "profile_" if keys[-1] == "profile" else ""
    assert (found[prefix + "canonical_path"], found[prefix + "sha256"]) == (None, None)

"""The path policy, seen through the artifact (label "artifact"): one issue per failed
resolution, exact texts, the candidate formed textually from the manifest's directory."""

import os
import shutil
import threading
import time

import pytest

import zarnik_manifest as zm
from builders import Bundle

ENOENT = "No such file or directory (os error 2)"
EISDIR = "Is a directory (os error 21)"


def artifact_issues(report):
    return [(i["code"], i["message"]) for i in report["errors"] if i["code"].startswith("artifact_")]


@pytest.fixture
def bundle(tmp_path):
    return Bundle(tmp_path / "m", row_map=False)


def verify(bundle, path=None, **kw):
    manifest = bundle.edited(**{"artifact.path": path}) if path is not None else None
    return zm.verify_manifest(str(bundle.write(manifest)), **kw)


def test_file_beside_manifest_resolves_to_canonical_path(bundle):
    report = verify(bundle)
    assert report["errors"] == []
    assert report["artifact"]["canonical_path"] == os.path.realpath(bundle.index_path)


def test_dot_dot_inside_base_resolves(bundle):
    (bundle.root / "sub").mkdir()
    report = verify(bundle, "sub/./../" + bundle.index_path.name)
    assert report["errors"] == []
    assert report["artifact"]["canonical_path"] == os.path.realpath(bundle.index_path)


@pytest.mark.parametrize("path", ["../outside.bin", "sub/../../outside.bin", "./../outside.bin", "a//..//../outside.bin"])
def test_lexical_escape_rejected_even_when_file_exists(bundle, path):
    (bundle.root / "sub").mkdir()
    (bundle.root.parent / "outside.bin").write_bytes(bundle.index)
    report = verify(bundle, path)
    assert artifact_issues(report) == [("artifact_path_escape_rejected", f"relative path {path} escapes the manifest base")]
    assert report["artifact"]["canonical_path"] is None


@pytest.mark.parametrize(
    "inside,allow_abs,allow_escape,outcome",
    [
        (True, False, False, "absolute"),
        (False, False, False, "absolute"),
        (False, False, True, "absolute"),
        (True, True, False, "ok"),
        (False, True, False, "outside"),
        (False, True, True, "ok"),
    ],
)
def test_absolute_paths(bundle, inside, allow_abs, allow_escape, outcome):
    target = bundle.index_path if inside else bundle.root.parent / "outside.bin"
    target.write_bytes(bundle.index)
    path = str(target)
    report = verify(bundle, path, allow_absolute_paths=allow_abs, allow_path_escape=allow_escape)
    expected = {
        "absolute": [("artifact_absolute_path_rejected", f"absolute path {path} is rejected by default")],
        "outside": [("artifact_path_escape_rejected",
                     f"canonical path {os.path.realpath(path)} is outside manifest base {os.path.realpath(bundle.root)}")],
        "ok": [],
    }[outcome]
    assert artifact_issues(report) == expected


def test_symlink_out_of_base(bundle):
    outside = bundle.root.parent / "outside.bin"
    outside.write_bytes(bundle.index)
    (bundle.root / "link.bin").symlink_to(outside)
    report = verify(bundle, "link.bin")
    assert artifact_issues(report) == [
        ("artifact_path_escape_rejected",
         f"canonical path {os.path.realpath(outside)} is outside manifest base {os.path.realpath(bundle.root)}")
    ]
    allowed = verify(bundle, "link.bin", allow_path_escape=True)
    assert allowed["errors"] == [] and allowed["artifact"]["canonical_path"] == os.path.realpath(outside)


def test_missing_file_names_the_candidate(bundle):
    report = verify(bundle, "gone/index.bin")
    assert artifact_issues(report) == [
        ("artifact_path_unavailable", f"failed to canonicalize {bundle.root}/gone/index.bin: {ENOENT}")
    ]


def test_white_space_path_is_a_name(bundle):
    report = verify(bundle, " ")
    assert artifact_issues(report) == [
        ("artifact_path_empty", "artifact.path must be non-empty"),
        ("artifact_path_unavailable", f"failed to canonicalize {bundle.root}/ : {ENOENT}"),
    ]


def test_empty_path_is_the_base_directory(bundle):
    report = verify(bundle, "")
    assert report["artifact"]["canonical_path"] == os.path.realpath(bundle.root)
    assert artifact_issues(report) == [
        ("artifact_path_empty", "artifact.path must be non-empty"),
        ("artifact_hash_failed", f"failed to hash artifact: {EISDIR}"),
        ("artifact_probe_failed", f"failed to probe artifact metadata: {EISDIR}"),
    ]


def test_bare_manifest_name_uses_dot_base(bundle, monkeypatch):
    bundle.write(bundle.edited(**{"artifact.path": "missing.bin"}))
    monkeypatch.chdir(bundle.root)
    report = zm.verify_manifest("manifest.json")
    assert artifact_issues(report) == [("artifact_path_unavailable", f"failed to canonicalize ./missing.bin: {ENOENT}")]


def test_relative_index_override_is_taken_from_manifest_dir(bundle, tmp_path, monkeypatch):
    shutil.copy(bundle.index_path, bundle.root / "copy.bin")
    path = bundle.write()
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "copy.bin").write_bytes(b"not an index")  # must not be used
    monkeypatch.chdir(elsewhere)
    report = zm.verify_manifest(str(path), index="copy.bin")
    assert report["errors"] == []
    assert report["artifact"]["observed_path"] == "copy.bin"
    assert report["artifact"]["manifest_path"] == bundle.index_path.name
    assert report["artifact"]["canonical_path"] == os.path.realpath(bundle.root / "copy.bin")


@pytest.mark.parametrize(
    "override,allow_abs,expected",
    [
        ("ABS", False, "artifact_absolute_path_rejected"),
        ("../copy.bin", False, "artifact_path_escape_rejected"),
        ("ABS", True, None),
    ],
)
def test_index_override_obeys_policy(bundle, override, allow_abs, expected):
    shutil.copy(bundle.index_path, bundle.root / "copy.bin")
    shutil.copy(bundle.index_path, bundle.root.parent / "copy.bin")
    path = str(bundle.root / "copy.bin") if override == "ABS" else override
    report = zm.verify_manifest(str(bundle.write()), index=path, allow_absolute_paths=allow_abs)
    assert [c for c, _ in artifact_issues(report)] == ([expected] if expected else [])


def _feed_fifo_after_removing_dir(fifo, directory, text, failures):
    """Opens the writer end once the loader has opened the pipe, removes the manifest's
    directory, then writes the manifest. Never blocks: the open is non-blocking and the
    loop gives up (and frees any reader) after a deadline."""
    deadline = time.monotonic() + 20
    fd = None
    while fd is None:
        try:
            fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError:
            if time.monotonic() > deadline:
                failures.append("no reader")
                os.close(os.open(fifo, os.O_RDWR | os.O_NONBLOCK))
                return
            time.sleep(0.005)
    shutil.rmtree(directory)
    os.set_blocking(fd, True)
    os.write(fd, text.encode())
    os.close(fd)


@pytest.mark.parametrize(
    "path,expected",
    [
        ("index.bin", ("artifact_base_dir_unavailable", "failed to canonicalize base_dir {}: " + ENOENT)),
        ("/abs/index.bin", ("artifact_absolute_path_rejected", "absolute path /abs/index.bin is rejected by default")),
    ],
)
def test_removed_manifest_directory(tmp_path, path, expected):
    bundle = Bundle(tmp_path / "gone", row_map=False)
    text = __import__("json").dumps(bundle.edited(**{"artifact.path": path}))
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
    code, message = expected
    assert artifact_issues(report) == [(code, message.format(bundle.root))]


NUL = "path contains a NUL byte"
# role -> (the manifest entry holding its path, the report section, the key prefix there)
NUL_ROLES = {
    "artifact": (lambda m: m["artifact"], "artifact", ""),
    "row_identity": (lambda m: m["row_identity"], "row_identity", ""),
    "auxiliary_artifact": (lambda m: m["auxiliary_artifacts"][0], "auxiliary_artifacts", ""),
    "calibration_profile": (lambda m: m["calibration"]["profile"], "calibration", "profile_"),
    "encoder_distortion_profile": (lambda m: m["encoder_distortion"]["profile"], "encoder_distortion", "profile_"),
}


@pytest.mark.parametrize("role", [*NUL_ROLES, "index override", "index override, load plan"])
def test_nul_byte_in_a_path_names_no_file(tmp_path, role):
    # Each path is its real file's name followed by NUL and ".bak": cut at the NUL by the
    # system, it would name that file and verify.
    from builders import calibration_block, encoder_distortion_block

    bundle = Bundle(tmp_path / "m")
    bundle.add_auxiliary("tok", b"aux")
    bundle.manifest["calibration"] = calibration_block(bundle)
    bundle.manifest["encoder_distortion"] = encoder_distortion_block(bundle)
    manifest = str(bundle.write())
    assert zm.verify_manifest(manifest)["ok"] is True
    override = role.startswith("index override")
    entry, section, prefix = NUL_ROLES["artifact" if override else role]
    path = entry(bundle.manifest)["path"] + "\0.bak"
    candidate = f"{bundle.root}/{path}"
    if role == "index override, load plan":
        with pytest.raises(ValueError, match="^manifest verification failed: artifact_path_unavailable$"):
            zm.verify_for_load(manifest, index=path)
        return
    if override:
        report = zm.verify_manifest(manifest, index=path)
    else:
        entry(bundle.manifest)["path"] = path
        report = zm.verify_manifest(str(bundle.write()))
    if role == "auxiliary_artifact":
        expected = ("auxiliary_artifact_path_unavailable",
                    f'failed to canonicalize auxiliary artifact "tok" at {candidate}: {NUL}')
        found = report[section][0]
    else:
        expected = (f"{'artifact' if override else role}_path_unavailable", f"failed to canonicalize {candidate}: {NUL}")
        found = report[section]
    assert [(i["code"], i["message"]) for i in report["errors"]] == [expected]
    assert (found[prefix + "canonical_path"], found[prefix + "sha256"]) == (None, None)

"""verify_for_load: the plan built from a clean report and the verifier's captured paths."""

import os

import pytest

import zarnik_manifest as zm
from builders import Bundle, sha256


def test_plan_uses_canonical_paths_and_keeps_key_order(tmp_path):
    real = tmp_path / "real"
    b = Bundle(real)
    b.add_auxiliary("z", b"zz", path="sub/z.bin")
    b.add_auxiliary("a", b"a")
    b.write()
    os.symlink(real, tmp_path / "via")  # open the manifest through a symbolic link
    manifest = str(tmp_path / "via" / "manifest.json")
    plan = zm.verify_for_load(manifest)
    root = os.path.realpath(real)
    assert list(plan) == ["manifest_path", "artifact_path", "metadata", "row_identity", "auxiliary_artifacts", "report"]
    assert plan["manifest_path"] == manifest
    assert plan["artifact_path"] == f"{root}/{b.index_path.name}"
    assert plan["metadata"] == plan["report"]["artifact"]["metadata"]
    assert list(plan["row_identity"].items()) == [("kind", "jsonl"), ("path", f"{root}/rows.jsonl"), ("row_count", 3),
                                                  ("validated_rows", 3),
                                                  ("sha256", b.manifest["row_identity"]["sha256"])]
    assert plan["auxiliary_artifacts"] == [
        {"name": "a", "path": f"{root}/aux-1.bin", "required": True, "state": "verified", "reason_code": None,
         "sha256": sha256(b"a"), "size_bytes": 1},
        {"name": "z", "path": f"{root}/sub/z.bin", "required": True, "state": "verified", "reason_code": None,
         "sha256": sha256(b"zz"), "size_bytes": 2},
    ]
    report = zm.verify_manifest(manifest)
    assert {**plan["report"], "checked_at": None} == {**report, "checked_at": None}


def test_identity_rows_and_optional_absent_auxiliary(tmp_path):
    b = Bundle(tmp_path / "b", row_map=False, n=4)
    b.manifest["auxiliary_artifacts"] = [
        {"name": "opt", "path": "nothing.bin", "sha256": "0" * 64, "file_size_bytes": 1, "required": False}]
    plan = zm.verify_for_load(str(b.write()))
    assert plan["row_identity"] == {"kind": "row_id_identity", "path": None, "row_count": 4, "validated_rows": None,
                                    "sha256": None}
    assert plan["auxiliary_artifacts"] == [{"name": "opt", "path": None, "required": False, "state": "optional_absent",
                                            "reason_code": "auxiliary_artifact_optional_absent", "sha256": None,
                                            "size_bytes": None}]


THREE = {"schema_version": "x", "manifest_id": "", "created_at": "yesterday"}


@pytest.mark.parametrize("breaks,shown", [
    ({"artifact.sha256": "0" * 64}, "artifact_sha256_mismatch"),
    ({"auxiliary_artifacts": [{"name": "req", "path": "gone", "sha256": "0" * 64, "file_size_bytes": 0}]},
     "auxiliary_artifact_missing_required"),
    (THREE, "schema_version_unsupported, manifest_id_empty, created_at_invalid"),
    ({**THREE, "embedding.model": " ", "artifact.sha256": "0" * 64},
     "schema_version_unsupported, manifest_id_empty, created_at_invalid, ..."),
])
def test_failure_text_names_at_most_three_codes(tmp_path, breaks, shown):
    b = Bundle(tmp_path / "b")
    with pytest.raises(ValueError) as info:
        zm.verify_for_load(str(b.write(b.edited(**breaks))))
    assert type(info.value) is ValueError
    assert info.value.args == ("manifest verification failed: " + shown,)

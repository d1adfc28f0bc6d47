"""The report's JSON: every key present in a fixed order, nulls and [] when absent, one compact text."""

import json

import pytest

import zarnik_manifest as zm
from builders import Bundle, sha256

TOP_KEYS = ["ok", "checked_at", "manifest_id", "artifact", "auxiliary_artifacts", "row_identity", "encoder_distortion",
            "calibration", "attestation_shape_checks", "errors", "warnings", "skipped_checks"]
ARTIFACT_KEYS = ["manifest_path", "observed_path", "canonical_path", "sha256", "size_bytes", "metadata"]
METADATA_KEYS = ["kind", "format_version", "dim", "vector_count", "bytes_per_vec", "params", "file_size_bytes"]
ROW_IDENTITY_KEYS = ["kind", "manifest_path", "canonical_path", "sha256", "row_count", "validated_rows"]
PROFILE_KEYS = ["profile_manifest_path", "profile_canonical_path", "profile_sha256", "profile_size_bytes"]
ENCODER_KEYS = ["present", "schema_version", "profile_id", "evidence_kind", "source_metric", "embedding_metric",
                *PROFILE_KEYS]
CALIBRATION_KEYS = ["present", "schema_version", "profile_id", "calibrated_for_model", "ordinalization", "null_model",
                    *PROFILE_KEYS]


@pytest.fixture
def captured(monkeypatch):
    """The exact texts the module hands to json.loads."""
    texts = []
    real = json.loads

    def spy(text, *a, **kw):
        texts.append(text)
        return real(text, *a, **kw)

    monkeypatch.setattr(json, "loads", spy)
    return texts


def test_clean_report_key_order_and_null_sections(tmp_path, captured):
    bundle = Bundle(tmp_path, row_map=False)
    report = zm.verify_manifest(str(bundle.write()))
    assert list(report) == TOP_KEYS
    assert list(report["artifact"]) == ARTIFACT_KEYS
    assert list(report["artifact"]["metadata"]) == METADATA_KEYS
    assert list(report["row_identity"]) == ROW_IDENTITY_KEYS
    for section, keys in (("encoder_distortion", ENCODER_KEYS), ("calibration", CALIBRATION_KEYS)):
        assert list(report[section].items()) == [(k, False if k == "present" else None) for k in keys]
    for key in ("auxiliary_artifacts", "attestation_shape_checks", "errors", "warnings"):
        assert report[key] == []
    # One compact text, written exactly as a compact dump of the same keys would be.
    (text,) = captured
    assert text == json.dumps(report, separators=(",", ":"), ensure_ascii=False)


@pytest.mark.parametrize("kind,params,dim,bpv", [
    ("rank", {"kind": "rank"}, 4, 8), ("rank_quant", {"kind": "rank_quant", "bits": 2}, 8, 2),
    ("bitmap", {"kind": "bitmap", "n_top": 8}, 64, 8), ("sign_bitmap", {"kind": "sign_bitmap"}, 64, 8),
])
def test_metadata_section_per_kind(tmp_path, fd_guard, kind, params, dim, bpv):
    bundle = Bundle(tmp_path, kind, n=3, row_map=False)
    report = zm.verify_manifest(str(bundle.write()))
    assert report["errors"] == [] and report["ok"] is True
    assert (report["artifact"]["sha256"], report["artifact"]["size_bytes"]) == (sha256(bundle.index), len(bundle.index))
    meta = report["artifact"]["metadata"]
    assert meta == {"kind": kind, "format_version": 1, "dim": dim, "vector_count": 3, "bytes_per_vec": bpv,
                    "params": params, "file_size_bytes": len(bundle.index)}
    # "kind" leads the params object, as in a manifest.
    assert list(meta["params"])[0] == "kind"


def test_issue_entries_code_then_message_and_escaping(tmp_path, captured):
    bundle = Bundle(tmp_path, row_map=False)
    # A key with a quote, a control byte and a non-ASCII letter: the message quotes it,
    # the report escapes it as JSON and keeps the letter raw.
    path = bundle.write(bundle.edited(extensions={'bad"\x01é': 1}))
    report = zm.verify_manifest(str(path))
    (issue,) = report["errors"]
    assert list(issue) == ["code", "message"]
    assert issue == {"code": "extension_key_not_namespaced", "message": 'extension key "bad\\"\\u{1}é" must be namespaced'}
    assert '"message":"extension key \\"bad\\\\\\"\\\\u{1}é\\" must be namespaced"' in captured[0]


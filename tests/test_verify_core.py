"""Document-level field rules in their exact order and texts, the issue cap, ok, checked_at."""

import datetime

import pytest

import zarnik_manifest as zm
from builders import Bundle, calibration_block, encoder_distortion_block, issue_codes, row_map_lines

LIMIT = "verification_report_issue_limit_exceeded"


def verify(bundle, manifest=None, **kw):
    return zm.verify_manifest(str(bundle.write(manifest)), **kw)


def issues(report):
    return [(i["code"], i["message"]) for i in report["errors"]]


@pytest.fixture
def bundle(tmp_path):
    return Bundle(tmp_path, row_map=False)


def test_clean_manifest_is_ok_even_with_issue_limit_zero(bundle):
    report = verify(bundle, max_report_issues=0)
    assert (report["ok"], report["errors"], report["warnings"]) == (True, [], [])
    assert report["skipped_checks"] == ["attestations_absent"]
    assert report["manifest_id"] == bundle.manifest["manifest_id"]


HEX = "ab" * 32
DIGEST_MSG = "must be a lowercase 64-character hex SHA-256 digest"


@pytest.mark.parametrize("changes,expected", [
    ({"schema_version": "zarnik.index_manifest.v1 "}, [("schema_version_unsupported",
                                                       "schema_version must be zarnik.index_manifest.v1, got "
                                                       "zarnik.index_manifest.v1 ")]),
    ({"manifest_id": " \t\u3000"}, [("manifest_id_empty", "manifest_id must be non-empty")]),
    ({"manifest_id": "  x y  "}, []),
    ({"created_at": "2024-01-01T00:00:00+02:00"}, []),
    ({"created_at": " 2024-01-01T00:00:00Z"}, [("created_at_invalid", "created_at must parse as RFC3339")]),
    ({"embedding.model": "\u00a0"}, [("embedding_model_empty", "embedding.model must be non-empty")]),
    # embedding.dim 0 is reported on its own and the artifact comparison still runs.
    ({"embedding.dim": 0}, [("embedding_dim_zero", "embedding.dim must be greater than zero"),
                            ("artifact_embedding_dim_mismatch", "artifact.dim 8 does not match embedding.dim 0")]),
    ({"embedding.corpus_digest": HEX, "embedding.model_revision": "r", "embedding.pooling": None}, []),
    # Every optional field bad at once (declared in another order): the issues come in the fixed order.
    ({"embedding.normalization": "\t", "embedding.corpus_digest": HEX[:-1] + "A", "embedding.pooling": "\n",
      "embedding.tokenizer_revision": "", "embedding.model_revision": " ",
      "embedding.embedding_matrix_digest": "sha256:" + HEX},
     [("embedding_model_revision_empty", "embedding.model_revision must be non-empty when present"),
      ("embedding_tokenizer_revision_empty", "embedding.tokenizer_revision must be non-empty when present"),
      ("embedding_pooling_empty", "embedding.pooling must be non-empty when present"),
      ("embedding_corpus_digest_invalid", "embedding.corpus_digest " + DIGEST_MSG),
      ("embedding_matrix_digest_invalid", "embedding.embedding_matrix_digest " + DIGEST_MSG),
      ("embedding_normalization_empty", "embedding.normalization must be non-empty when present")]),
    ({"build": {"invocation_id": "run-1"}}, []),
    ({"build": {"invocation_id": " ", "builder_id": ""}},
     [("build_invocation_id_empty", "build.invocation_id must be non-empty"),
      ("build_builder_id_empty", "build.builder_id must be non-empty")]),
    ({"build": {"invocation_id": "i", "builder_id": None}}, []),
    ({"build": {"invocation_id": "i", "source_repo": "", "source_commit": " ", "ci_provider": "\t", "ci_run_id": "\u2028"}},
     [("build_source_repo_empty", "build.source_repo must be non-empty when present"),
      ("build_source_commit_empty", "build.source_commit must be non-empty when present"),
      ("build_ci_provider_empty", "build.ci_provider must be non-empty when present"),
      ("build_ci_run_id_empty", "build.ci_run_id must be non-empty when present")]),
])
def test_document_field_rules(bundle, changes, expected):
    manifest = bundle.edited(**changes)
    report = verify(bundle, manifest)
    assert issues(report) == expected
    assert report["ok"] is (expected == [])
    assert report["manifest_id"] == manifest["manifest_id"]  # as written, untrimmed


# Five failing checks across phases, in report order: every phase runs after failures.
FIVE = {"schema_version": "v0", "manifest_id": "", "created_at": "yesterday", "embedding.pooling": "",
        "extensions": {"plain": 1}}
FIVE_CODES = ["schema_version_unsupported", "manifest_id_empty", "created_at_invalid", "embedding_pooling_empty",
              "extension_key_not_namespaced"]


@pytest.mark.parametrize("limit,expected", [
    (0, [LIMIT]), (1, [LIMIT]), (3, FIVE_CODES[:2] + [LIMIT]), (4, FIVE_CODES[:3] + [LIMIT]), (5, FIVE_CODES),
    (6, FIVE_CODES),
])
def test_issue_cap(bundle, limit, expected):
    report = verify(bundle, bundle.edited(**FIVE), max_report_issues=limit)
    assert issue_codes(report) == expected
    assert report["ok"] is False
    if expected[-1] == LIMIT:
        assert report["errors"][-1]["message"] == f"verification report issue count exceeded max_report_issues={limit}"


def every_file_phase_failing(root):
    """Issues from every file phase, the row map's through the bounded append: the file
    phases run at once, yet the report must keep the phase order and the bounded outcome."""
    b = Bundle(root)
    b.add_auxiliary("tok", b"auxiliary bytes")
    b.manifest["calibration"] = calibration_block(b)
    b.manifest["encoder_distortion"] = encoder_distortion_block(b)
    for node in (b.manifest["artifact"], b.manifest["auxiliary_artifacts"][0],
                 b.manifest["calibration"]["profile"], b.manifest["encoder_distortion"]["profile"]):
        node["sha256"] = "0" * 64
    bad = ['{"row_id":0,"db_id":"x","parent_id":null}', '{"row_id":1,"db_id":"y","parent_id":null}']
    b.row_map_path.write_text("".join(line + "\n" for line in bad + row_map_lines(4)[2:]))
    return b, b.edited(**{"extensions": {"plain": 1}})


ALL_PHASES = ["extension_key_not_namespaced", "artifact_sha256_mismatch", "auxiliary_artifact_sha256_mismatch",
              "row_identity_db_id_invalid_uuid", "row_identity_db_id_invalid_uuid", "row_identity_row_count_mismatch",
              "encoder_distortion_profile_sha256_mismatch", "calibration_profile_sha256_mismatch"]


@pytest.mark.parametrize("limit,expected", [(100, ALL_PHASES), (8, ALL_PHASES), (5, ALL_PHASES[:4] + [LIMIT]),
                                            (4, ALL_PHASES[:3] + [LIMIT]), (2, ALL_PHASES[:1] + [LIMIT]), (0, [LIMIT])])
def test_file_phases_keep_their_order_under_the_cap(tmp_path, limit, expected):
    b, manifest = every_file_phase_failing(tmp_path)
    for _ in range(3):  # the phases finish in any order from run to run
        report = verify(b, manifest, max_report_issues=limit)
        assert issue_codes(report) == expected
    if limit == 100:
        assert [i["message"] for i in report["errors"]][3:6] == [
            "line 0 db_id must be a UUID in v1", "line 1 db_id must be a UUID in v1",
            "row identity file has more than declared row_count=3"]


def test_checked_at_is_the_time_of_the_check(bundle):
    before = datetime.datetime.now(datetime.timezone.utc)
    stamp = verify(bundle)["checked_at"]  # the pattern is held by the report schema
    taken = datetime.datetime.strptime(stamp[:26] + "Z", "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=datetime.timezone.utc)
    assert before - datetime.timedelta(seconds=1) <= taken <= datetime.datetime.now(datetime.timezone.utc)

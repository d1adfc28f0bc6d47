"""Encoder-distortion block: field rules in order, float boundaries, bounds, profile, calibration link."""

import math
import os

import pytest

import zarnik_manifest as zm
from builders import Bundle, calibration_block, encoder_distortion_block, sha256

NEXT_ABOVE_ONE = math.nextafter(1.0, 2.0)


def ed_issues(report):
    """The encoder-distortion issues, codes without their common "encoder_distortion_" prefix."""
    return [(i["code"].removeprefix("encoder_distortion_"), i["message"]) for i in report["errors"]
            if i["code"].startswith("encoder_distortion_")]


def verify(bundle, **kw):
    return zm.verify_manifest(str(bundle.write()), **kw)


@pytest.fixture
def bundle(tmp_path):
    b = Bundle(tmp_path / "idx")
    b.manifest["encoder_distortion"] = encoder_distortion_block(b)
    return b


def test_clean_block_fills_the_section(bundle):
    report = verify(bundle)
    assert report["errors"] == []
    data = b'{"pairs": []}'
    assert report["encoder_distortion"] == {
        "present": True, "schema_version": "zarnik.encoder_distortion.v1", "profile_id": "ed-1",
        "evidence_kind": "empirical_sample", "source_metric": "cosine", "embedding_metric": "hamming",
        "profile_manifest_path": "distortion.json",
        "profile_canonical_path": os.path.realpath(bundle.root / "distortion.json"),
        "profile_sha256": sha256(data), "profile_size_bytes": len(data),
    }


def test_every_rule_broken_at_once_reports_in_order(bundle):
    bundle.manifest["embedding"].update(tokenizer_revision="tok-1")
    ed = bundle.manifest["encoder_distortion"]
    ed.update(
        schema_version="zarnik.encoder_distortion.V1", profile_id="", created_at="2024-01-01T00:00:00",
        encoder={"model": 'm"x', "dim": 0, "model_revision": " ", "normalization": ""},
        tokenizer_revision="\n", pooling=" ",
        source_metric={"name": "", "version": " ", "digest": "sha256:" + "A" * 64},
        embedding_metric={"name": " ", "version": "", "digest": "a" * 64},
        bounds={"declared_lower_bound": 2.0, "declared_upper_bound": 1.0, "estimated_distortion": 2.0,
                "violation_rate": 1.5, "max_observed_violation": -0.1, "quantile_observed_violation": -1.0},
        scope={"corpus_digest": "sha256:", "query_set_digest": "x", "pair_sample_digest": "sha256:" + "0" * 63,
               "domain": " ", "sample_size": 0, "confidence": -0.5, "coverage": 2.0, "estimator_version": ""},
        evidence={"kind": "certified", "estimator_id": " ", "estimator_hash": "sha256:" + "g" * 64},
        calibration_profile_id="cal-1",
    )
    ed["profile"].update(path="", sha256="0" * 63, file_size_bytes=0, format="", source_digest="md5:1")
    # The messages below leave out their common "encoder_distortion" prefix.
    issues = ed_issues(verify(bundle))
    found = [(c, m.removeprefix("encoder_distortion")) for c, m in issues]
    assert found == [
        ("schema_version_unsupported",
         ".schema_version must be zarnik.encoder_distortion.v1, got zarnik.encoder_distortion.V1"),
        ("profile_id_empty", ".profile_id must be non-empty"),
        ("created_at_invalid", ".created_at must parse as RFC3339 when present"),
        ("encoder_dim_zero", ".encoder.dim must be greater than zero"),
        ("encoder_model_revision_empty", ".encoder.model_revision must be non-empty when present"),
        ("encoder_normalization_empty", ".encoder.normalization must be non-empty when present"),
        ("tokenizer_revision_empty", ".tokenizer_revision must be non-empty when present"),
        ("pooling_empty", ".pooling must be non-empty when present"),
        ("encoder_model_mismatch", ' model "m\\"x" does not match embedding.model "test-model"'),
        ("encoder_dim_mismatch", " dim 0 does not match embedding.dim 8"),
        ("encoder_model_revision_mismatch", " encoder model_revision does not match embedding.model_revision"),
        ("encoder_normalization_mismatch", " encoder normalization does not match embedding.normalization"),
        ("tokenizer_revision_mismatch", " tokenizer_revision does not match embedding.tokenizer_revision"),
        ("pooling_mismatch", " pooling does not match embedding.pooling"),
        ("source_metric_name_empty", "_source_metric.name must be non-empty"),
        ("source_metric_version_empty", "_source_metric.version must be non-empty when present"),
        ("source_metric_digest_invalid", "_source_metric.digest must be sha256:<lowercase-hex> when present"),
        ("embedding_metric_name_empty", "_embedding_metric.name must be non-empty"),
        ("embedding_metric_version_empty", "_embedding_metric.version must be non-empty when present"),
        ("embedding_metric_digest_invalid", "_embedding_metric.digest must be sha256:<lowercase-hex> when present"),
        ("violation_rate_invalid", ".bounds.violation_rate must be finite and within [0, 1]"),
        ("max_observed_violation_invalid", ".bounds.max_observed_violation must be finite and non-negative"),
        ("quantile_observed_violation_invalid", ".bounds.quantile_observed_violation must be finite and non-negative"),
        ("bounds_order_invalid", ".bounds.declared_lower_bound must be less than or equal to declared_upper_bound"),
        ("distortion_mismatch",
         ".bounds.estimated_distortion 2 does not match declared_upper_bound / declared_lower_bound 0.5"),
        ("scope_corpus_digest_invalid", ".scope.corpus_digest must be sha256:<lowercase-hex> when present"),
        ("scope_query_set_digest_invalid", ".scope.query_set_digest must be sha256:<lowercase-hex> when present"),
        ("scope_pair_sample_digest_invalid", ".scope.pair_sample_digest must be sha256:<lowercase-hex> when present"),
        ("scope_domain_empty", ".scope.domain must be non-empty when present"),
        ("scope_estimator_version_empty", ".scope.estimator_version must be non-empty when present"),
        ("scope_sample_size_zero", ".scope.sample_size must be greater than zero when present"),
        ("scope_confidence_invalid", ".scope.confidence must be finite and within [0, 1]"),
        ("scope_coverage_invalid", ".scope.coverage must be finite and within [0, 1]"),
        ("evidence_estimator_id_empty", ".evidence.estimator_id must be non-empty when present"),
        ("evidence_estimator_hash_invalid", ".evidence.estimator_hash must be sha256:<lowercase-hex> when present"),
        ("profile_path_empty", ".profile.path must be non-empty"),
        ("profile_sha256_invalid", ".profile.sha256 must be a lowercase 64-character hex SHA-256 digest"),
        ("profile_file_size_zero", ".profile.file_size_bytes must be greater than zero"),
        ("profile_format_empty", ".profile.format must be non-empty"),
        ("profile_source_digest_invalid", ".profile.source_digest must be sha256:<lowercase-hex> when present"),
        ("calibration_missing", ".calibration_profile_id requires a calibration block"),
    ]


def not_positive(field):
    return (f"{field.removeprefix('declared_')}_invalid",
            f"encoder_distortion.bounds.{field} must be finite and greater than zero")


def bound_cases():
    for field in ["declared_lower_bound", "declared_upper_bound", "estimated_distortion"]:
        msg = not_positive(field)
        yield from [("bounds", field, 0.0, msg), ("bounds", field, -0.0, msg), ("bounds", field, 5e-324, None)]
    for section, field, values in [("bounds", "violation_rate", [1, 2]), ("scope", "confidence", [1, 2]),
                                   ("scope", "coverage", [1, 2])]:
        msg = (f"{field}_invalid" if section == "bounds" else f"scope_{field}_invalid",
               f"encoder_distortion.{section}.{field} must be finite and within [0, 1]")
        yield from [(section, field, v, None) for v in (0.0, -0.0, 1.0, values[0])]
        yield from [(section, field, v, msg) for v in (NEXT_ABOVE_ONE, -5e-324, values[1])]
    for field in ["max_observed_violation", "quantile_observed_violation"]:
        msg = (f"{field}_invalid", f"encoder_distortion.bounds.{field} must be finite and non-negative")
        yield from [("bounds", field, 0.0, None), ("bounds", field, -0.0, None), ("bounds", field, -5e-324, msg)]


@pytest.mark.parametrize("section,field,value,issue", list(bound_cases()))
def test_single_field_boundaries(bundle, section, field, value, issue):
    bundle.manifest["encoder_distortion"][section] = {field: value}
    assert ed_issues(verify(bundle)) == ([issue] if issue else [])


ORDER = ("bounds_order_invalid",
         "encoder_distortion.bounds.declared_lower_bound must be less than or equal to declared_upper_bound")
NOT_FINITE = ("distortion_mismatch",
              "encoder_distortion.bounds.declared_upper_bound / declared_lower_bound must be finite")


def mismatch(estimate, ratio):
    return ("distortion_mismatch",
            f"encoder_distortion.bounds.estimated_distortion {estimate} does not match "
            f"declared_upper_bound / declared_lower_bound {ratio}")


@pytest.mark.parametrize("lower,upper,estimate,expected", [
    (None, None, None, [("bounds_empty",
                         "encoder_distortion.bounds must declare at least one bound or observed violation statistic")]),
    (None, 3.0, 99.0, []),  # estimate without both bounds is not compared
    (1.0, 3.0, 3.0, []), (1.0, 3.0, 3.0000000001, []), (1.0, 3.0, 3.00000001, [mismatch("3.00000001", "3")]),
    (1.0, 1.0000000005, 1.0, []),  # absolute floor of 1e-9 for ratios near or below one
    (4.0, 1.0, 0.25, [ORDER]), (2.0, 1.0, 2.0, [ORDER, mismatch("2", "0.5")]), (1.0, 1.0, 1.0, []),
    (5e-324, 1e308, 1.0, [NOT_FINITE]), (1e-300, 1e300, 1e300, [NOT_FINITE]),
    (1.0, 1e20, 1.5e20, [mismatch("150000000000000000000", "100000000000000000000")]),
    (0.0, 3.0, 3.0, [not_positive("declared_lower_bound")]),
    (1.0, -0.0, 7.0, [not_positive("declared_upper_bound"), ORDER]),
])
def test_order_and_consistency(bundle, lower, upper, estimate, expected):
    bounds = {"declared_lower_bound": lower, "declared_upper_bound": upper, "estimated_distortion": estimate}
    bundle.manifest["encoder_distortion"]["bounds"] = {k: v for k, v in bounds.items() if v is not None}
    assert ed_issues(verify(bundle)) == expected


@pytest.mark.parametrize("kind", ["certified", "empirical_sample", "benchmark_estimate", "teacher_estimate",
                                  "caller_asserted"])
def test_profile_required_unless_caller_asserted(bundle, kind):
    ed = bundle.manifest["encoder_distortion"]
    ed["evidence"] = {"kind": kind}
    del ed["profile"]
    report = verify(bundle)
    required = ("profile_required", "non-caller-asserted encoder distortion evidence requires a profile artifact")
    assert ed_issues(report) == ([] if kind == "caller_asserted" else [required])
    assert (report["encoder_distortion"]["evidence_kind"], report["encoder_distortion"]["profile_manifest_path"]) == (
        kind, None)


@pytest.mark.parametrize("data, same_size", [(b'{"pairs": [0]', True), (b'{"pairs": [] }', False)])
def test_other_digest_then_size_only_when_size_differs(bundle, data, same_size):
    declared = dict(bundle.manifest["encoder_distortion"]["profile"])
    assert (len(data) == declared["file_size_bytes"]) is same_size
    (bundle.root / "distortion.json").write_bytes(data)
    report = verify(bundle)
    expected = [("profile_sha256_mismatch",
                 f"encoder distortion profile SHA-256 was {sha256(data)}, manifest declares {declared['sha256']}")]
    if not same_size:
        expected.append(("profile_file_size_mismatch", f"encoder distortion profile size was "
                         f"{len(data)}, manifest declares {declared['file_size_bytes']}"))
    assert ed_issues(report) == expected
    assert report["encoder_distortion"]["profile_sha256"] == sha256(data)


LINK_EMPTY = ("calibration_profile_id_empty",
              "encoder_distortion.calibration_profile_id must be non-empty when present")
LINK_SPACE = ("calibration_profile_id_whitespace",
              "encoder_distortion.calibration_profile_id must not contain leading or trailing whitespace")
LINK_MISSING = ("calibration_missing", "encoder_distortion.calibration_profile_id requires a calibration block")


def link_mismatch(shown):
    return ("calibration_profile_mismatch",
            f'encoder_distortion.calibration_profile_id "{shown}" does not match calibration.profile_id "cal-1"')


@pytest.mark.parametrize("link,with_calibration,expected", [
    (None, False, []), ("cal-1", True, []), ("", True, [LINK_EMPTY]), (" \u2003", False, [LINK_EMPTY]),
    (" cal-1", True, [LINK_SPACE]), ("cal-1\u00a0", True, [LINK_SPACE]), (" other", False, [LINK_SPACE]),
    ("cal-1", False, [LINK_MISSING]), ("Cal-1", True, [link_mismatch("Cal-1")]),
    ("c\t1", True, [link_mismatch("c\\t1")]),
])
def test_calibration_link(bundle, link, with_calibration, expected):
    if link is not None:
        bundle.manifest["encoder_distortion"]["calibration_profile_id"] = link
    if with_calibration:
        bundle.manifest["calibration"] = calibration_block(bundle)
    report = verify(bundle)
    assert ed_issues(report) == expected
    assert report["calibration"]["present"] is with_calibration


def test_verify_for_load_refuses_a_profile_issue(bundle):
    bundle.manifest["encoder_distortion"]["profile"]["path"] = "missing.json"
    bundle.manifest["encoder_distortion"]["bounds"] = {}
    with pytest.raises(ValueError) as exc:
        zm.verify_for_load(str(bundle.write()))
    assert str(exc.value) == (
        "manifest verification failed: encoder_distortion_bounds_empty, encoder_distortion_profile_path_unavailable")

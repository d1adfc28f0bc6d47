"""Namespaced extension keys; attestation shape and a subject naming the artifact's digest."""

import pytest

import zarnik_manifest as zm
from builders import Bundle, index_bytes, sha256

DIGEST = sha256(index_bytes())  # the default bundle's index
MISMATCH = ("attestation_subject_sha256_mismatch", "no supplied attestation subject digest matches the artifact SHA-256")


@pytest.fixture
def bundle(tmp_path):
    return Bundle(tmp_path, row_map=False)


def verify(bundle, **changes):
    return zm.verify_manifest(str(bundle.write(bundle.edited(**changes))))


def issues(report):
    return [(i["code"], i["message"]) for i in report["errors"]]


def statement(digest, predicate_type="https://slsa.dev/provenance/v1", **extra):
    return {"predicateType": predicate_type, "subject": [{"name": "index", "digest": {"sha256": digest}}], **extra}


def test_extension_keys_must_be_namespaced_and_are_reported_in_byte_order(bundle):
    good = ["https://example.com/x", "urn:acme:feature", "acme.feature", "a-b_c.d9.e"]
    bad = ["acme", "acme.", "acme..x", "acme.fea ture", "-_.acme", "URN:acme", "acmé.x", "", "zeta", "Alpha", "beta"]
    report = verify(bundle, extensions={key: {"any": ["value"]} for key in good + bad})
    assert issues(report) == [("extension_key_not_namespaced", f'extension key "{key}" must be namespaced')
                              for key in sorted(bad, key=str.encode)]


def test_matching_statement_order_and_builder_paths(bundle):
    digest = sha256(bundle.index)
    report = verify(
        bundle,
        attestations=[
            statement("0" * 64, predicate_type="", predicate={"runDetails": {"builder": {"id": "ci://b"}}}),
            statement(digest, predicate={"builder": {"id": "gh://a"}, "runDetails": {"builder": {"id": "ignored"}}}),
        ],
    )
    assert issues(report) == []
    assert report["attestation_shape_checks"] == [
        {"predicate_type": "", "builder_id": "ci://b", "subject_sha256_matched": False},
        {"predicate_type": "https://slsa.dev/provenance/v1", "builder_id": "gh://a", "subject_sha256_matched": True},
    ]


@pytest.mark.parametrize("attestation,predicate_type,builder_id", [
    # The camel-case member decides even when it is not a string.
    ({"predicateType": 5, "predicate_type": "t"}, None, None),
    ({"predicate_type": "t"}, "t", None),
    ({"predicate_type": None}, None, None),
    # A first pointer that selects a non-string gives no builder, without falling back.
    ({"predicateType": "t", "predicate": {"builder": {"id": 7}, "runDetails": {"builder": {"id": "r"}}}}, "t", None),
    ({"predicateType": "t", "predicate": {"builder": {"id": None}, "runDetails": {"builder": {"id": "r"}}}}, "t", None),
    ({"predicateType": "t", "predicate": {"builder": {}, "runDetails": {"builder": {"id": "r"}}}}, "t", "r"),
    ({"predicateType": "t", "predicate": {"runDetails": {"builder": {"id": ["r"]}}}}, "t", None),
    ([{"predicateType": "t"}], None, None),
    ("just text", None, None),
    # Subjects that do not name the artifact's digest.
    ({"predicateType": "t", "subject": {"digest": {"sha256": DIGEST}}}, "t", None),  # not an array
    ({"predicateType": "t", "subject": [{"digest": {"sha256": DIGEST.upper()}}]}, "t", None),
    ({"predicateType": "t", "subject": [{"digest": {"sha512": DIGEST}}, {"digest": DIGEST}]}, "t", None),
    ({"predicateType": "t", "subject": []}, "t", None),
])
def test_shape_extraction_and_subjects_that_do_not_match(bundle, attestation, predicate_type, builder_id):
    assert sha256(bundle.index) == DIGEST
    report = verify(bundle, attestations=[attestation])
    assert report["attestation_shape_checks"] == [
        {"predicate_type": predicate_type, "builder_id": builder_id, "subject_sha256_matched": False}]
    assert report["skipped_checks"] == []
    missing = [] if predicate_type is not None else [("attestation_predicate_type_missing",
                                                      "attestation 0 has no predicateType")]
    assert issues(report) == missing + [MISMATCH]


# The subject is compared with the computed digest when the artifact was hashed, else with the declared one.
@pytest.mark.parametrize("hashed,matched,codes", [(True, [False, True], ["artifact_sha256_mismatch"]),
                                                  (False, [True, False], ["artifact_path_unavailable"])])
def test_subject_digest_compared(bundle, hashed, matched, codes):
    declared = "e" * 64
    path = bundle.write(bundle.edited(**{"artifact.sha256": declared},
                                      attestations=[statement(declared), statement(DIGEST)]))
    if not hashed:
        bundle.index_path.unlink()
    report = zm.verify_manifest(str(path))
    assert [c["subject_sha256_matched"] for c in report["attestation_shape_checks"]] == matched
    assert [c for c, _ in issues(report)] == codes

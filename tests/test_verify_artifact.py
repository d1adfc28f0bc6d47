"""Artifact verification: declaration rules (no file access), then resolve, hash, probe
and compare, with the issues in their fixed order and exact texts."""

import pytest

import zarnik_manifest as zm
from builders import Bundle, header, index_bytes, sha256

HEX_DECL = "artifact.sha256 must be a lowercase 64-character hex SHA-256 digest"
INDEX = index_bytes()  # the default bundle's index


def artifact_issues(report):
    return [(i["code"], i["message"]) for i in report["errors"] if i["code"].startswith("artifact_")]


@pytest.fixture
def bundle(tmp_path):
    return Bundle(tmp_path, row_map=False)


def verify(bundle, manifest=None, **kw):
    return zm.verify_manifest(str(bundle.write(manifest)), **kw)


def test_appended_byte(bundle, fd_guard):
    path = bundle.write()
    bundle.index_path.write_bytes(bundle.index + b"\x00")
    report = zm.verify_manifest(str(path))
    size = len(bundle.index)
    assert artifact_issues(report) == [
        ("artifact_sha256_mismatch",
         f"artifact SHA-256 was {sha256(bundle.index + bytes(1))}, manifest declares {sha256(bundle.index)}"),
        ("artifact_file_size_mismatch", f"artifact size was {size + 1}, manifest declares {size}"),
        ("artifact_probe_failed",
         "failed to probe artifact metadata: ZKRQ payload has trailing bytes: header declares 6 B but file has 7 B remaining"),
    ]
    # A failed probe keeps the established keys.
    art = report["artifact"]
    assert (art["metadata"], art["sha256"], art["size_bytes"]) == (None, sha256(bundle.index + bytes(1)), size + 1)
    assert art["manifest_path"] == art["observed_path"] == bundle.index_path.name


@pytest.mark.parametrize(
    "changes,expected",
    [
        ({"artifact.path": "\u3000"}, [("artifact_path_empty", "artifact.path must be non-empty")]),
        ({"artifact.sha256": "sha256:" + "a" * 64}, [("artifact_sha256_invalid", HEX_DECL)]),
        ({"artifact.bytes_per_vec": 0}, [("artifact_bytes_per_vec_zero", "artifact.bytes_per_vec must be greater than zero")]),
        ({"artifact.dim": 16}, [("artifact_embedding_dim_mismatch", "artifact.dim 16 does not match embedding.dim 8")]),
        ({"artifact.kind": "bitmap"},
         [("artifact_params_kind_mismatch", "artifact.params discriminator does not match artifact.kind")]),
        ({"artifact.vector_count": 4},
         [("artifact_row_count_mismatch", "artifact.vector_count 4 does not match row_identity.row_count 3")]),
        ({"row_identity": {"kind": "row_id_identity", "row_count": 0}},
         [("artifact_row_count_mismatch", "artifact.vector_count 3 does not match row_identity.row_count 0")]),
        ({"row_identity": {"kind": "jsonl", "path": "r", "sha256": "0" * 64, "row_count": 2, "id_kind": "uuid"}},
         [("artifact_row_count_mismatch", "artifact.vector_count 3 does not match row_identity.row_count 2")]),
        # All six at once keep the table's order.
        ({"artifact.path": "", "artifact.sha256": "x", "artifact.bytes_per_vec": 0, "artifact.dim": 9,
          "artifact.kind": "rank", "artifact.vector_count": 7},
         ["artifact_path_empty", "artifact_sha256_invalid", "artifact_bytes_per_vec_zero",
          "artifact_embedding_dim_mismatch", "artifact_params_kind_mismatch", "artifact_row_count_mismatch"]),
    ],
)
def test_declaration_rules(bundle, changes, expected):
    report = verify(bundle, bundle.edited(**changes))
    # Declaration issues come first (phase 3), before any file issue (phase 8).
    got = artifact_issues(report)[: len(expected)]
    if isinstance(expected[0], str):
        assert [c for c, _ in got] == expected
    else:
        assert got == expected


@pytest.mark.parametrize(
    "changes,expected",
    [
        ({"artifact.format_version": 2}, [("artifact_format_version_mismatch", "artifact format_version was 1, manifest declares 2")]),
        ({"artifact.dim": 16, "embedding.dim": 16}, [("artifact_dim_mismatch", "artifact dim was 8, manifest declares 16")]),
        ({"artifact.vector_count": 5, "row_identity.row_count": 5},
         [("artifact_vector_count_mismatch", "artifact vector_count was 3, manifest declares 5")]),
        ({"artifact.bytes_per_vec": 3}, [("artifact_bytes_per_vec_mismatch", "artifact bytes_per_vec was 2, manifest declares 3")]),
        ({"artifact.params": {"kind": "rank_quant", "bits": 4}},
         [("artifact_params_mismatch", "artifact params were RankQuant { bits: 2 }, manifest declares RankQuant { bits: 4 }")]),
        ({"artifact.kind": "rank", "artifact.params": {"kind": "rank"}},
         [("artifact_kind_mismatch", "artifact kind was RankQuant, manifest declares Rank"),
          ("artifact_params_mismatch", "artifact params were RankQuant { bits: 2 }, manifest declares Rank")]),
        # Declared size alone wrong gives both size issues.
        ({"artifact.file_size_bytes": len(INDEX) + 5},
         [("artifact_file_size_mismatch", f"artifact size was {len(INDEX)}, manifest declares {len(INDEX) + 5}"),
          ("artifact_metadata_file_size_mismatch",
           f"artifact metadata file_size_bytes was {len(INDEX)}, manifest declares {len(INDEX) + 5}")]),
        ({"artifact.sha256": sha256(INDEX).upper()},
         [("artifact_sha256_invalid", HEX_DECL),
          ("artifact_sha256_mismatch", f"artifact SHA-256 was {sha256(INDEX)}, manifest declares {sha256(INDEX).upper()}")]),
        # Wrong kind with params of the file's kind: phase 3 complains, phase 8 adds only
        # the kind mismatch since the bits agree.
        ({"artifact.kind": "bitmap"},
         [("artifact_params_kind_mismatch", "artifact.params discriminator does not match artifact.kind"),
          ("artifact_kind_mismatch", "artifact kind was RankQuant, manifest declares Bitmap")]),
    ],
)
def test_metadata_comparisons(bundle, changes, expected):
    assert bundle.index == INDEX
    report = verify(bundle, bundle.edited(**changes))
    assert artifact_issues(report) == expected
    assert report["artifact"]["metadata"]["kind"] == "rank_quant"


def test_bitmap_n_top_compared_at_full_width(tmp_path):
    # The low 32 bits of the declared n_top equal the probed 8.
    bundle = Bundle(tmp_path, "bitmap", row_map=False)
    report = verify(bundle, bundle.edited(**{"artifact.params": {"kind": "bitmap", "n_top": 2**32 + 8}}))
    assert artifact_issues(report) == [
        ("artifact_params_mismatch", f"artifact params were Bitmap {{ n_top: 8 }}, manifest declares Bitmap {{ n_top: {2**32 + 8} }}")
    ]


def test_fastscan_file_fails_probe_with_note(bundle):
    path = bundle.write()
    bundle.index_path.write_bytes(header("fastscan", dim=8, n=0) + bytes(10))
    report = zm.verify_manifest(str(path))
    assert artifact_issues(report)[-1] == (
        "artifact_probe_failed",
        "failed to probe artifact metadata: ZKFS (RankQuantFastscan) metadata probing is not supported in this version; "
        "load the index with RankQuantFastscan::load (tracked in #232)",
    )
    assert report["artifact"]["metadata"] is None


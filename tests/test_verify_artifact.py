"""Artifact: declaration rules, then resolve, hash, probe and compare, in fixed order and exact texts."""

import pytest

import zarnik_manifest as zm
from builders import Bundle, header, index_bytes, sha256

HEX_DECL = "artifact.sha256 must be a lowercase 64-character hex SHA-256 digest"
KIND_DECL = ("params_kind_mismatch", "artifact.params discriminator does not match artifact.kind")
INDEX = index_bytes()  # the default bundle's index
SIZE = len(INDEX)


def artifact_issues(report):
    """The artifact issues, codes without their common "artifact_" prefix."""
    return [(i["code"].removeprefix("artifact_"), i["message"]) for i in report["errors"]
            if i["code"].startswith("artifact_")]


@pytest.fixture
def bundle(tmp_path):
    return Bundle(tmp_path, row_map=False)


def verify(bundle, manifest=None, **kw):
    return zm.verify_manifest(str(bundle.write(manifest)), **kw)


def test_appended_byte(bundle, fd_guard):
    path = bundle.write()
    bundle.index_path.write_bytes(INDEX + b"\x00")
    report = zm.verify_manifest(str(path))
    assert artifact_issues(report) == [
        ("sha256_mismatch", f"artifact SHA-256 was {sha256(INDEX + bytes(1))}, manifest declares {sha256(INDEX)}"),
        ("file_size_mismatch", f"artifact size was {SIZE + 1}, manifest declares {SIZE}"),
        ("probe_failed", "failed to probe artifact metadata: ZKRQ payload has trailing bytes: header declares 6 B "
                         "but file has 7 B remaining"),
    ]
    # A failed probe keeps the established keys.
    art = report["artifact"]
    assert (art["metadata"], art["sha256"], art["size_bytes"]) == (None, sha256(INDEX + bytes(1)), SIZE + 1)
    assert art["manifest_path"] == art["observed_path"] == bundle.index_path.name


def row_count_mismatch(declared):
    return [("row_count_mismatch", f"artifact.vector_count 3 does not match row_identity.row_count {declared}")]


@pytest.mark.parametrize("changes,expected", [
    ({"artifact.path": "\u3000"}, [("path_empty", "artifact.path must be non-empty")]),
    ({"artifact.sha256": "sha256:" + "a" * 64}, [("sha256_invalid", HEX_DECL)]),
    ({"artifact.bytes_per_vec": 0}, [("bytes_per_vec_zero", "artifact.bytes_per_vec must be greater than zero")]),
    ({"artifact.dim": 16}, [("embedding_dim_mismatch", "artifact.dim 16 does not match embedding.dim 8")]),
    ({"artifact.kind": "bitmap"}, [KIND_DECL]),
    ({"artifact.vector_count": 4},
     [("row_count_mismatch", "artifact.vector_count 4 does not match row_identity.row_count 3")]),
    ({"row_identity": {"kind": "row_id_identity", "row_count": 0}}, row_count_mismatch(0)),
    ({"row_identity": {"kind": "jsonl", "path": "r", "sha256": "0" * 64, "row_count": 2, "id_kind": "uuid"}},
     row_count_mismatch(2)),
    # All six at once keep the table's order.
    ({"artifact.path": "", "artifact.sha256": "x", "artifact.bytes_per_vec": 0, "artifact.dim": 9,
      "artifact.kind": "rank", "artifact.vector_count": 7},
     ["path_empty", "sha256_invalid", "bytes_per_vec_zero", "embedding_dim_mismatch", "params_kind_mismatch",
      "row_count_mismatch"]),
])
def test_declaration_rules(bundle, changes, expected):
    # Declaration issues come first, before any file issue.
    got = artifact_issues(verify(bundle, bundle.edited(**changes)))[: len(expected)]
    assert ([c for c, _ in got] if isinstance(expected[0], str) else got) == expected


@pytest.mark.parametrize("changes,expected", [
    ({"artifact.format_version": 2},
     [("format_version_mismatch", "artifact format_version was 1, manifest declares 2")]),
    ({"artifact.dim": 16, "embedding.dim": 16}, [("dim_mismatch", "artifact dim was 8, manifest declares 16")]),
    ({"artifact.vector_count": 5, "row_identity.row_count": 5},
     [("vector_count_mismatch", "artifact vector_count was 3, manifest declares 5")]),
    ({"artifact.bytes_per_vec": 3}, [("bytes_per_vec_mismatch", "artifact bytes_per_vec was 2, manifest declares 3")]),
    ({"artifact.params": {"kind": "rank_quant", "bits": 4}},
     [("params_mismatch", "artifact params were RankQuant { bits: 2 }, manifest declares RankQuant { bits: 4 }")]),
    ({"artifact.kind": "rank", "artifact.params": {"kind": "rank"}},
     [("kind_mismatch", "artifact kind was RankQuant, manifest declares Rank"),
      ("params_mismatch", "artifact params were RankQuant { bits: 2 }, manifest declares Rank")]),
    # Declared size alone wrong gives both size issues.
    ({"artifact.file_size_bytes": SIZE + 5},
     [("file_size_mismatch", f"artifact size was {SIZE}, manifest declares {SIZE + 5}"),
      ("metadata_file_size_mismatch", f"artifact metadata file_size_bytes was {SIZE}, manifest declares {SIZE + 5}")]),
    ({"artifact.sha256": sha256(INDEX).upper()},
     [("sha256_invalid", HEX_DECL),
      ("sha256_mismatch", f"artifact SHA-256 was {sha256(INDEX)}, manifest declares {sha256(INDEX).upper()}")]),
    # Wrong kind with params of the file's kind: the declaration check complains, the
    # comparison adds only the kind mismatch since the bits agree.
    ({"artifact.kind": "bitmap"}, [KIND_DECL, ("kind_mismatch", "artifact kind was RankQuant, manifest declares Bitmap")]),
])
def test_metadata_comparisons(bundle, changes, expected):
    report = verify(bundle, bundle.edited(**changes))
    assert artifact_issues(report) == expected
    assert report["artifact"]["metadata"]["kind"] == "rank_quant"


def test_bitmap_n_top_compared_at_full_width(tmp_path):
    # The low 32 bits of the declared n_top equal the probed 8.
    bundle = Bundle(tmp_path, "bitmap", row_map=False)
    report = verify(bundle, bundle.edited(**{"artifact.params": {"kind": "bitmap", "n_top": 2**32 + 8}}))
    assert artifact_issues(report) == [("params_mismatch", "artifact params were Bitmap { n_top: 8 }, manifest "
                                                           f"declares Bitmap {{ n_top: {2**32 + 8} }}")]


def test_fastscan_file_fails_probe_with_note(bundle):
    path = bundle.write()
    bundle.index_path.write_bytes(header("fastscan", dim=8, n=0) + bytes(10))
    report = zm.verify_manifest(str(path))
    assert artifact_issues(report)[-1] == (
        "probe_failed",
        "failed to probe artifact metadata: ZKFS (RankQuantFastscan) metadata probing is not supported in this version; "
        "load the index with RankQuantFastscan::load (tracked in #232)",
    )
    assert report["artifact"]["metadata"] is None

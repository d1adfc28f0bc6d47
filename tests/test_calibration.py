"""Calibration block: field rules in order, compatibility tables, shape arithmetic, the profile file."""

import os

import pytest

import zarnik_manifest as zm
from builders import Bundle, calibration_block, encoder_distortion_block, sha256

U64_MAX = 2**64 - 1


def cal_issues(report):
    """The calibration issues, codes without their common "calibration_" prefix."""
    return [(i["code"].removeprefix("calibration_"), i["message"]) for i in report["errors"]
            if i["code"].startswith("calibration_")]


def verify(bundle, **kw):
    return zm.verify_manifest(str(bundle.write()), **kw)


@pytest.fixture
def bundle(tmp_path):
    b = Bundle(tmp_path / "idx")
    b.manifest["calibration"] = calibration_block(b)
    return b


def test_clean_block_fills_the_section(bundle):
    report = verify(bundle)
    assert report["errors"] == []
    assert report["calibration"] == {
        "present": True, "schema_version": "zarnik.calibration.v1", "profile_id": "cal-1",
        "calibrated_for_model": "test-model", "ordinalization": "bucket", "null_model": "weighted_marginal_profile",
        "profile_manifest_path": "calibration.bin",
        "profile_canonical_path": os.path.realpath(bundle.root / "calibration.bin"),
        "profile_sha256": sha256(bytes(128)), "profile_size_bytes": 128,
    }


def test_every_rule_broken_at_once_reports_in_order(bundle):
    cal = bundle.manifest["calibration"]
    cal.update(
        schema_version="zarnik.calibration.v2", profile_id=" \t", created_at="2024-01-01",
        calibrated_for={"model": " ", "dim": 0, "model_revision": "", "normalization": "\t"},
        ordinalization={"kind": "top_k", "dim": 0, "k": 0},
        null_model={"kind": "caller_defined", "name": "", "parameterization": " "},
    )
    cal["profile"].update(
        path="  ", sha256="AB" * 32, file_size_bytes=0, dim=7, sample_count=0, format=" ", source_digest="sha256:xyz"
    )
    # The messages below leave out their common "calibration" prefix.
    issues = cal_issues(verify(bundle))
    found = [(c, m.removeprefix("calibration")) for c, m in issues]
    assert found == [
        ("schema_version_unsupported", ".schema_version must be zarnik.calibration.v1, got zarnik.calibration.v2"),
        ("profile_id_empty", ".profile_id must be non-empty"),
        ("created_at_invalid", ".created_at must parse as RFC3339 when present"),
        ("encoder_model_empty", ".calibrated_for.model must be non-empty"),
        ("encoder_dim_zero", ".calibrated_for.dim must be greater than zero"),
        ("encoder_model_revision_empty", ".calibrated_for.model_revision must be non-empty when present"),
        ("encoder_normalization_empty", ".calibrated_for.normalization must be non-empty when present"),
        ("ordinalization_dim_zero", ".ordinalization.dim must be greater than zero"),
        ("ordinalization_artifact_mismatch", " top_k.k must be greater than zero"),
        ("null_name_empty", ".null_model.name must be non-empty"),
        ("null_parameterization_empty", ".null_model.parameterization must be non-empty when present"),
        ("encoder_model_mismatch", ' model " " does not match embedding.model "test-model"'),
        ("encoder_dim_mismatch", " dim 0 does not match embedding.dim 8"),
        ("encoder_model_revision_mismatch", " encoder model_revision does not match embedding.model_revision"),
        ("encoder_normalization_mismatch", " encoder normalization does not match embedding.normalization"),
        ("ordinalization_dim_mismatch", " ordinalization dim 0 does not match artifact.dim 8"),
        ("ordinalization_artifact_mismatch", ".ordinalization is incompatible with artifact.kind/artifact.params"),
        ("profile_path_empty", ".profile.path must be non-empty"),
        ("profile_sha256_invalid", ".profile.sha256 must be a lowercase 64-character hex SHA-256 digest"),
        ("profile_file_size_zero", ".profile.file_size_bytes must be greater than zero"),
        ("profile_dim_mismatch", " profile dim 7 does not match artifact.dim 8"),
        ("profile_sample_count_zero", ".profile.sample_count must be greater than zero"),
        ("profile_source_digest_invalid", ".profile.source_digest must be sha256:<lowercase-hex>"),
        ("profile_parameterization_ordinalization_mismatch",
         " profile parameterization is incompatible with calibration ordinalization"),
        ("profile_format_empty", ".profile.format must be non-empty"),
    ]


INCOMPATIBLE = "calibration.ordinalization is incompatible with artifact.kind/artifact.params"
BITS = "calibration bucket.bits must be 1, 2, or 4"


# (artifact kind, index options, ordinalization without dim, ordinalization messages); params
# disagreeing with the kind suit nothing.
@pytest.mark.parametrize("kind,index_kw,ordinalization,messages", [
    ("rank_quant", {"params": {"kind": "bitmap", "n_top": 2}}, {"kind": "bucket", "bits": 2}, [INCOMPATIBLE]),
    ("rank", {}, {"kind": "rank_position"}, []),
    ("rank", {}, {"kind": "sign"}, [INCOMPATIBLE]),
    ("rank", {}, {"kind": "top_k", "k": 1}, [INCOMPATIBLE]),
    ("rank_quant", {"bits": 2}, {"kind": "bucket", "bits": 2}, []),
    ("rank_quant", {"bits": 4}, {"kind": "bucket", "bits": 4}, []),
    ("rank_quant", {"bits": 2}, {"kind": "bucket", "bits": 4}, [INCOMPATIBLE]),
    ("rank_quant", {"bits": 2}, {"kind": "bucket", "bits": 3}, [BITS, INCOMPATIBLE]),
    ("rank_quant", {"bits": 2}, {"kind": "bucket", "bits": 0}, [BITS, INCOMPATIBLE]),
    ("rank_quant", {"bits": 2}, {"kind": "caller_defined", "name": "x"}, [INCOMPATIBLE]),
    ("rank_quant", {"bits": 2}, {"kind": "caller_defined", "name": "\u3000"},
     ["calibration caller_defined.name must be non-empty", INCOMPATIBLE]),
    ("bitmap", {"n_top": 8}, {"kind": "top_k", "k": 8}, []),
    ("bitmap", {"n_top": 32}, {"kind": "top_k", "k": 16}, [INCOMPATIBLE]),
    ("sign_bitmap", {}, {"kind": "sign"}, []),
    ("sign_bitmap", {}, {"kind": "top_k", "k": 8}, [INCOMPATIBLE]),
])
def test_ordinalization_against_artifact(tmp_path, kind, index_kw, ordinalization, messages):
    params = index_kw.get("params")
    b = Bundle(tmp_path / "idx", kind, **{k: v for k, v in index_kw.items() if k != "params"})
    if params:
        b.manifest["artifact"]["params"] = params
    dim = b.manifest["artifact"]["dim"]
    cal = b.manifest["calibration"] = calibration_block(b)
    cal["calibrated_for"]["dim"] = dim
    cal["ordinalization"] = {**ordinalization, "dim": dim}
    cal["null_model"] = {"kind": "empirical_tail_table", "statistic": "max"}
    cal["profile"].update(dim=dim, parameterization="empirical_tail_table", shape=[])
    assert cal_issues(verify(b)) == [("ordinalization_artifact_mismatch", m) for m in messages]


UNIFORM = {"kind": "uniform_hypergeometric"}
TOP_K_ONLY = ("null_model_ordinalization_mismatch", "uniform_hypergeometric calibration requires top_k ordinalization")
UNSUITED = ("ordinalization_artifact_mismatch", INCOMPATIBLE)
REQUIRED = ("profile_required", "non-uniform calibration requires a profile artifact")


@pytest.mark.parametrize("null_model,ordinalization,expected", [
    (UNIFORM, {"kind": "top_k", "dim": 8, "k": 2}, [UNSUITED]),
    (UNIFORM, {"kind": "bucket", "dim": 8, "bits": 2}, [TOP_K_ONLY]),
    (UNIFORM, {"kind": "sign", "dim": 8}, [UNSUITED, TOP_K_ONLY]),
    (UNIFORM, {"kind": "caller_defined", "dim": 8, "name": "x"}, [UNSUITED, TOP_K_ONLY]),
    ({"kind": "weighted_marginal_profile", "parameterization": "bucket_frequency"}, None, [REQUIRED]),
    ({"kind": "empirical_tail_table", "statistic": "max"}, None, [REQUIRED]),
    ({"kind": "caller_defined", "name": "x"}, None, [REQUIRED]),
])
def test_profile_absent(bundle, null_model, ordinalization, expected):
    cal = bundle.manifest["calibration"]
    cal["null_model"] = null_model
    if ordinalization:
        cal["ordinalization"] = ordinalization
    del cal["profile"]
    assert cal_issues(verify(bundle)) == expected


def test_uniform_null_model_with_profile_is_never_opened(bundle):
    cal = bundle.manifest["calibration"]
    cal["null_model"] = UNIFORM
    cal["profile"]["path"] = "missing/profile.bin"
    report = verify(bundle)
    assert cal_issues(report) == [
        TOP_K_ONLY,
        ("profile_unexpected", "uniform_hypergeometric calibration must not include a profile artifact"),
    ]
    section = report["calibration"]
    assert [section[k] for k in ("profile_manifest_path", "profile_canonical_path", "profile_sha256")] == [None] * 3


PARAMS = ["marginal_topk_frequency", "bucket_frequency", "sign_frequency", "rank_position_frequency",
          "empirical_tail_table"]
VARIANT = {p: p.title().replace("_", "").replace("Topk", "TopK") for p in PARAMS}
NULL_MODELS = [{"kind": "weighted_marginal_profile", "parameterization": p} for p in PARAMS] + [
    {"kind": "empirical_tail_table", "statistic": "s"},
    {"kind": "caller_defined", "name": "x", "parameterization": "p"},
]
ORDS = {"top_k": {"kind": "top_k", "dim": 8, "k": 2}, "bucket": {"kind": "bucket", "dim": 8, "bits": 2},
        "sign": {"kind": "sign", "dim": 8}, "rank_position": {"kind": "rank_position", "dim": 8},
        "caller_defined": {"kind": "caller_defined", "dim": 8, "name": "x"}}
SUITED = {"marginal_topk_frequency": "top_k", "bucket_frequency": "bucket", "sign_frequency": "sign",
          "rank_position_frequency": "rank_position"}


@pytest.mark.parametrize("profile_param", PARAMS)
@pytest.mark.parametrize("null_model,ord_name", [(n, "bucket") for n in NULL_MODELS] +
                         [({"kind": "caller_defined", "name": "x"}, o) for o in ORDS])
def test_profile_parameterization_against_null_and_ordinalization(bundle, null_model, ord_name, profile_param):
    cal = bundle.manifest["calibration"]
    cal.update(null_model=null_model, ordinalization=ORDS[ord_name])
    cal["profile"].update(parameterization=profile_param, shape=[])
    issues = cal_issues(verify(bundle))
    expected = []
    if null_model["kind"] == "weighted_marginal_profile" and null_model["parameterization"] != profile_param:
        expected = [f"null_model parameterization {VARIANT[null_model['parameterization']]} does not match "
                    f"profile parameterization {VARIANT[profile_param]}"]
    elif null_model["kind"] == "empirical_tail_table" and profile_param != "empirical_tail_table":
        expected = ["empirical_tail_table null_model requires empirical_tail_table profile parameterization"]
    assert [m for c, m in issues if c == "null_parameterization_mismatch"] == expected
    suits = profile_param == "empirical_tail_table" or ord_name == "caller_defined" or SUITED[profile_param] == ord_name
    assert ("profile_parameterization_ordinalization_mismatch" in [c for c, _ in issues]) == (not suits)


@pytest.mark.parametrize("ordinalization,parameterization,expected", [
    ({"kind": "rank_position", "dim": 768}, "rank_position_frequency", [768, 768]),
    ({"kind": "bucket", "dim": 8, "bits": 1}, "bucket_frequency", [8, 2]),
    ({"kind": "bucket", "dim": 8, "bits": 4}, "bucket_frequency", [8, 16]),
    ({"kind": "bucket", "dim": 8, "bits": 3}, "bucket_frequency", None),
    ({"kind": "caller_defined", "dim": 8, "name": "x"}, "bucket_frequency", None),
    ({"kind": "top_k", "dim": 5, "k": 2}, "marginal_topk_frequency", [5]),
    ({"kind": "sign", "dim": 6}, "sign_frequency", [6]),
    ({"kind": "top_k", "dim": 8, "k": 2}, "empirical_tail_table", None),
])
def test_expected_shapes(bundle, ordinalization, parameterization, expected):
    cal = bundle.manifest["calibration"]
    cal["ordinalization"] = ordinalization
    cal["null_model"] = {"kind": "caller_defined", "name": "x"}
    cal["profile"].update(parameterization=parameterization, shape=[3, 3, 3], format="npy")
    found = [m for c, m in cal_issues(verify(bundle)) if c == "profile_shape_mismatch"]
    assert found == ([] if expected is None else
                     [f"calibration profile shape [3, 3, 3] does not match expected {expected}"])


def shape_size_mismatch(declared, computed):
    return [("profile_file_size_mismatch",
             f"calibration profile size {declared} does not match shape/format size {computed}")]


@pytest.mark.parametrize("shape,fmt,declared,expected", [
    ([768, 768], "raw_f32_le", 2359296, []),
    ([768, 768], "raw_f64_le", 4718592, []),
    ([768, 768], "raw_f32_le", 4718592, shape_size_mismatch(4718592, 2359296)),
    ([768, 768], "raw_f16_le", 1, []),
    ([2**32, 2**32], "raw_f32_le", 1, [("profile_shape_mismatch", "calibration.profile.shape product overflows u64")]),
    ([2**61, 2], "raw_f32_le", 1, [("profile_shape_mismatch", "calibration.profile.shape byte size overflows u64")]),
    ([2**61 - 1, 2], "raw_f32_le", U64_MAX, shape_size_mismatch(U64_MAX, 2**64 - 8)),
    # A zero extent means no elements: never an overflow, whatever precedes it.
    ([2**40, 2**40, 0], "raw_f32_le", 1, shape_size_mismatch(1, 0)),
])
def test_shape_byte_size(bundle, shape, fmt, declared, expected):
    cal = bundle.manifest["calibration"]
    cal["null_model"] = {"kind": "empirical_tail_table", "statistic": "max"}
    cal["profile"].update(parameterization="empirical_tail_table", shape=shape, format=fmt, file_size_bytes=declared)
    found = [(c, m) for c, m in cal_issues(verify(bundle)) if c == "profile_shape_mismatch" or "shape/format" in m]
    assert found == expected


def test_both_size_messages_and_digest_first(bundle):
    # Declared 100, shape says 128, file holds 101 bytes with another digest.
    data = bytes(101)
    (bundle.root / "calibration.bin").write_bytes(data)
    bundle.manifest["calibration"]["profile"]["file_size_bytes"] = 100
    report = verify(bundle)
    assert cal_issues(report) == [
        ("profile_file_size_mismatch", "calibration profile size 100 does not match shape/format size 128"),
        ("profile_sha256_mismatch",
         f"calibration profile SHA-256 was {sha256(data)}, manifest declares {sha256(bytes(128))}"),
        ("profile_file_size_mismatch", "calibration profile size was 101, manifest declares 100"),
    ]
    assert (report["calibration"]["profile_sha256"], report["calibration"]["profile_size_bytes"]) == (sha256(data), 101)


# ---- the profile file, shared by both profile phases ---------------------------------------

BLOCKS = {"calibration": calibration_block, "encoder_distortion": encoder_distortion_block}


@pytest.mark.parametrize("phase", list(BLOCKS))
@pytest.mark.parametrize("case", ["absolute", "dotdot", "symlink"])
def test_profile_path_policy(tmp_path, phase, case, fd_guard):
    b = Bundle(tmp_path / "idx")
    b.manifest[phase] = BLOCKS[phase](b)
    outside = tmp_path / "outside.bin"
    outside.write_bytes(b"x")
    os.symlink(outside, b.root / "link.bin")
    path, code, message = {
        "absolute": (str(outside), "absolute_path_rejected", f"absolute path {outside} is rejected by default"),
        "dotdot": ("../outside.bin", "path_escape_rejected", "relative path ../outside.bin escapes the manifest base"),
        "symlink": ("link.bin", "path_escape_rejected",
                    f"canonical path {os.path.realpath(outside)} is outside manifest base {os.path.realpath(b.root)}"),
    }[case]
    b.manifest[phase]["profile"]["path"] = path
    report = verify(b)
    assert [(i["code"], i["message"]) for i in report["errors"]] == [(f"{phase}_profile_{code}", message)]
    section = report[phase]
    assert (section["profile_manifest_path"], section["profile_sha256"], section["profile_size_bytes"],
            section["profile_canonical_path"]) == (path, None, None, None)


@pytest.mark.parametrize("phase", list(BLOCKS))
@pytest.mark.parametrize("extra", [0, 1, "unenforceable"])
def test_profile_byte_limit(tmp_path, phase, extra):
    b = Bundle(tmp_path / "idx")
    b.manifest[phase] = block = BLOCKS[phase](b)
    size = block["profile"]["file_size_bytes"]
    limit = U64_MAX if extra == "unenforceable" else size - extra
    report = zm.verify_manifest(str(b.write()), **{f"max_{phase}_profile_bytes": limit})
    canonical = os.path.realpath(b.root / block["profile"]["path"])
    label = phase.replace("_", " ")
    expected = {0: [], 1: [f"{label} profile exceeds {size - 1} bytes while reading {canonical}"],
                "unenforceable": [f"{label} profile byte limit {U64_MAX} is too large to enforce "
                                  f"while reading {canonical}"]}
    assert [(i["code"], i["message"]) for i in report["errors"]] == [(f"{phase}_profile_too_large", m)
                                                                       for m in expected[extra]]
    assert report[phase]["profile_canonical_path"] == canonical
    assert report[phase]["profile_size_bytes"] == (size if extra == 0 else None)

"""Manifest schema as a Python caller sees it through inspect_manifest: exact parse
errors, presence rules, key order, number classes and normalisation of generic values."""

import json

import pytest

import zarnik_manifest as zm

FULL = r"""{"schema_version":"zarnik.index_manifest.v1","manifest_id":"urn:uuid:0b7f3c1e-2a4d-4c8e-9f10-3d2b1a0e9c8d","created_at":"2024-05-01T12:00:00Z","artifact":{"path":"index.zkbm","sha256":"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef","kind":"bitmap","format_version":2,"dim":768,"vector_count":3,"bytes_per_vec":96,"params":{"kind":"bitmap","n_top":64},"file_size_bytes":18446744073709551615},"auxiliary_artifacts":[{"name":"ids","path":"aux/ids.bin","sha256":"bb","file_size_bytes":10},{"name":"opt","path":"aux/opt.bin","sha256":"cc","file_size_bytes":0,"required":false}],"embedding":{"model":"enc-é \"q\"\t/","dim":768,"model_revision":"r1","tokenizer_revision":"t1","pooling":"mean","corpus_digest":"dd","embedding_matrix_digest":"ee","normalization":"l2"},"encoder_distortion":{"schema_version":"zarnik.encoder_distortion.v1","profile_id":"ed-1","created_at":"2024-05-01T12:00:00Z","encoder":{"model":"enc","dim":768,"model_revision":"r1","normalization":"l2"},"tokenizer_revision":"t1","pooling":"mean","source_metric":{"name":"cosine","version":"1","digest":"sha256:00"},"embedding_metric":{"name":"hamming"},"bounds":{"declared_lower_bound":0.5,"declared_upper_bound":2.0,"estimated_distortion":1.25,"violation_rate":0.001,"max_observed_violation":1e-7,"quantile_observed_violation":1e16},"scope":{"corpus_digest":"sha256:c","query_set_digest":"sha256:q","pair_sample_digest":"sha256:p","domain":"web","sample_size":1000,"confidence":0.95,"coverage":1.0,"estimator_version":"v2"},"evidence":{"kind":"empirical_sample","estimator_id":"est","estimator_hash":"sha256:h"},"profile":{"path":"p/ed.bin","sha256":"ff","file_size_bytes":5,"format":"npy","source_digest":"sha256:s"},"calibration_profile_id":"cal-1"},"calibration":{"schema_version":"zarnik.calibration.v1","profile_id":"cal-1","created_at":"2024-05-01T12:00:00Z","calibrated_for":{"model":"enc","dim":768},"ordinalization":{"kind":"caller_defined","dim":768,"name":"mine"},"profile":{"path":"p/cal.bin","sha256":"99","file_size_bytes":7,"dim":768,"sample_count":100,"parameterization":"rank_position_frequency","format":"npy","shape":[4,256],"source_digest":"sha256:s"},"null_model":{"kind":"caller_defined","name":"nm","parameterization":"free text"}},"row_identity":{"kind":"jsonl","path":"rows.jsonl","sha256":"11","row_count":3,"id_kind":"uuid","db":{"path":"db.sqlite","table":"t","id_column":"id"}},"build":{"invocation_id":"inv","builder_id":"b","source_repo":"repo","source_commit":"abc","ci_provider":"ci","ci_run_id":"42"},"attestations":[{"a":[1,-2,2.5,true,null,"s"],"b":{}},"x",[]],"extensions":{"a.y":{"k":1.0},"b.x":18446744073709551615}}"""

BASE = {
    "schema_version": "zarnik.index_manifest.v1", "manifest_id": "m-1", "created_at": "2024-01-01T00:00:00Z",
    "artifact": {"path": "index.zkrq", "sha256": "a" * 64, "kind": "rank_quant", "format_version": 1, "dim": 8,
                 "vector_count": 3, "bytes_per_vec": 4, "params": {"kind": "rank_quant", "bits": 2}, "file_size_bytes": 100},
    "embedding": {"model": "m", "dim": 8},
    "row_identity": {"kind": "row_id_identity", "row_count": 3},
}
CALIBRATION = {"schema_version": "zarnik.calibration.v1", "profile_id": "c", "calibrated_for": {"model": "m", "dim": 8},
               "ordinalization": {"kind": "top_k", "dim": 8, "k": 2}, "null_model": {"kind": "uniform_hypergeometric"}}
PROFILE = {"path": "p", "sha256": "s", "file_size_bytes": 1, "dim": 8, "sample_count": 1,
           "parameterization": "bucket_frequency", "format": "npy"}
DISTORTION = {"schema_version": "zarnik.encoder_distortion.v1", "profile_id": "d", "encoder": {"model": "m", "dim": 8},
              "source_metric": {"name": "cosine"}, "embedding_metric": {"name": "hamming"}, "bounds": {},
              "scope": {"confidence": 1, "sample_size": 7}, "evidence": {"kind": "certified"}}
MANIFEST_ORDER = ["schema_version", "manifest_id", "created_at", "artifact", "auxiliary_artifacts", "embedding",
                  "encoder_distortion", "calibration", "row_identity", "build", "attestations", "extensions"]


def inspect_text(tmp_path, text, **kw):
    path = tmp_path / "manifest.json"
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    return zm.inspect_manifest(str(path), **kw)


def compact(doc):
    """Exact text: key order, and int against float (1 against 1.0), both show."""
    return json.dumps(doc, separators=(",", ":"), ensure_ascii=False)


def in_order(doc):
    return {k: doc[k] for k in MANIFEST_ORDER if k in doc}


def test_full_manifest_comes_back_unchanged_in_field_order(tmp_path):
    # u64 beyond 2^53 stays exact; f64 values stay floats even when integral (1.0, 1e16).
    result = inspect_text(tmp_path, FULL)
    assert compact(result).replace("1e-07", "1e-7").replace("1e+16", "1e16") == FULL


BITMAP_PARAMS = {**BASE, "artifact": {**BASE["artifact"], "params": {"kind": "bitmap", "n_top": 4}}}
AUX = [{"name": "a", "path": "p", "sha256": "s", "file_size_bytes": 1},
       {"name": "b", "path": "q", "sha256": "t", "file_size_bytes": 2, "required": False}]


@pytest.mark.parametrize(
    "doc, expected",
    [
        # Empty defaulted containers, a true `required` and null optionals are left out.
        ({**BASE, "auxiliary_artifacts": [], "attestations": [], "extensions": {}, "build": None}, BASE),
        ({**BASE, "auxiliary_artifacts": [{**AUX[0], "required": True}, AUX[1]]}, {**BASE, "auxiliary_artifacts": AUX}),
        ({**BASE, "embedding": {"model": "m", "dim": 8, "pooling": None, "normalization": None}}, BASE),
        # The two kinds are independent at parse time.
        (BITMAP_PARAMS, BITMAP_PARAMS),
        # Calibration: shape [] left out, caller-defined null model without parameterization,
        # bucket with 3 bits accepted.
        (
            {**BASE, "calibration": {**CALIBRATION, "ordinalization": {"dim": 8, "bits": 3, "kind": "bucket"},
                                     "null_model": {"name": "n", "kind": "caller_defined", "parameterization": None},
                                     "profile": {**PROFILE, "shape": []}}},
            {**BASE, "calibration": {**{k: CALIBRATION[k] for k in ("schema_version", "profile_id", "calibrated_for")},
                                     "ordinalization": {"kind": "bucket", "dim": 8, "bits": 3}, "profile": PROFILE,
                                     "null_model": {"kind": "caller_defined", "name": "n"}}},
        ),
        # An integer in an f64 field reads back as a float.
        ({**BASE, "encoder_distortion": DISTORTION},
         {**BASE, "encoder_distortion": {**DISTORTION, "scope": {"sample_size": 7, "confidence": 1.0}}}),
    ],
)
def test_presence_rules(tmp_path, doc, expected):
    assert compact(inspect_text(tmp_path, compact(doc))) == compact(in_order(expected))


def test_generic_values_sorted_last_key_wins_number_classes_kept(tmp_path):
    text = compact(BASE)[:-1] + (
        ',"attestations":[{"b":1,"a":{"y":2,"x":-0},"b":[1.0,-5,18446744073709551616,1e400000000000000000000]}],'
        '"extensions":{"b.x":1,"a.y":2,"b.x":{"k":1E2}}}'
    )
    # 1e400000000000000000000 overflows; a value that underflows reads as 0.0 instead.
    with pytest.raises(ValueError, match=r"^number out of range at line 1 column \d+$"):
        inspect_text(tmp_path, text)
    result = inspect_text(tmp_path, text.replace("1e400000000000000000000", "1e-400"))
    assert compact(result["attestations"]) == '[{"a":{"x":-0.0,"y":2},"b":[1.0,-5,1.8446744073709552e+19,0.0]}]'
    assert compact(result["extensions"]) == '{"a.y":2,"b.x":{"k":100.0}}'


FIELDS_12 = "one of " + ", ".join(f"`{k}`" for k in MANIFEST_ORDER)
VARIANTS_PARAM = (
    "one of `marginal_topk_frequency`, `bucket_frequency`, `sign_frequency`, `rank_position_frequency`, "
    "`empirical_tail_table`"
)


def error_cases():
    """(text, message, the text just before the error position; None: column 0)"""
    b = compact(BASE)
    yield "", "EOF while parsing a value", None
    yield b + "{}", "trailing characters", b + "{"
    yield "\ufeff" + b, "expected value", b"\xef"  # a byte-order mark is not whitespace
    yield b.replace('{"schema_version"', '{"extra":1,"schema_version"'), f"unknown field `extra`, expected {FIELDS_12}", '{"extra"'
    yield b.replace(',"bits":2', ""), "missing field `bits`", '"params":{"kind":"rank_quant"}'
    yield b.replace('"kind":"rank_quant","bits":2', '"kind":"rank","bits":2'), "unknown field `bits`, there are no fields", '"bits":2}'
    yield b.replace('"format_version":1', '"format_version":256'), "invalid value: integer `256`, expected u8", '"format_version":256'
    yield b.replace('"vector_count":3', '"vector_count":-3'), "invalid value: integer `-3`, expected u64", '"vector_count":-3'
    yield b.replace('"vector_count":3', '"vector_count":18446744073709551616'), \
        "invalid type: floating point `1.8446744073709552e19`, expected u64", "551616"
    yield b.replace('"vector_count":3', '"vector_count":3.5'), "invalid type: floating point `3.5`, expected u64", "3.5"
    yield b.replace('"kind":"rank_quant","format', '"kind":"RankQuant","format'), \
        "unknown variant `RankQuant`, expected one of `rank`, `rank_quant`, `bitmap`, `sign_bitmap`", '"RankQuant"'
    yield b.replace('"kind":"row_id_identity"', '"kind":"rows"'), \
        "unknown variant `rows`, expected one of `row_id_identity`, `jsonl`", '"rows"'
    jsonl = b.replace('"kind":"row_id_identity"', '"kind":"jsonl"')
    yield jsonl, "missing field `path`", jsonl[:-1]
    yield b.replace('"row_identity"', '"build":{},"row_identity"'), "missing field `invocation_id`", '"build":{}'
    cal = compact(in_order({**BASE, "calibration": CALIBRATION}))
    yield cal.replace('"kind":"top_k","dim":8,"k":2', '"kind":"topk"'), \
        "unknown variant `topk`, expected one of `top_k`, `bucket`, `sign`, `rank_position`, `caller_defined`", '"topk"'
    yield cal.replace(',"k":2', ""), "missing field `k`", '"kind":"top_k","dim":8}'
    yield cal.replace('{"kind":"uniform_hypergeometric"}', '{"kind":"uniform_hypergeometric","name":"x"}'), \
        "unknown field `name`, there are no fields", '"name":"x"}'
    yield cal.replace('{"kind":"uniform_hypergeometric"}',
                      '{"kind":"weighted_marginal_profile","parameterization":"MarginalTopKFrequency"}'), \
        f"unknown variant `MarginalTopKFrequency`, expected {VARIANTS_PARAM}", '"MarginalTopKFrequency"}'


@pytest.mark.parametrize("text, message, before", list(error_cases()))
def test_parse_errors_exact(tmp_path, text, message, before):
    with pytest.raises(ValueError) as info:
        inspect_text(tmp_path, text)
    needle = before if isinstance(before, bytes) else (before or "").encode()
    column = text.encode().index(needle) + len(needle) if before is not None else 0
    assert type(info.value) is ValueError and str(info.value) == f"{message} at line 1 column {column}"


def test_nesting_limit_through_attestations(tmp_path):
    # The manifest is level 1 and the attestations array level 2: 126 more levels fit.
    prefix = compact(BASE)[:-1] + ',"attestations":['
    assert inspect_text(tmp_path, prefix + "[" * 126 + "]" * 126 + "]}")["attestations"]
    with pytest.raises(ValueError) as info:
        inspect_text(tmp_path, prefix + "[" * 127 + "]" * 127 + "]}")
    assert str(info.value) == f"recursion limit exceeded at line 1 column {len(prefix) + 127}"


def test_whitespace_size_limit_boundary_and_position_on_later_lines(tmp_path):
    text = json.dumps(BASE, indent=4).replace("\n", "\r\n") + " \t\r\n"
    assert compact(inspect_text(tmp_path, text, max_manifest_bytes=len(text))) == compact(BASE)
    with pytest.raises(ValueError, match=r"^manifest_file_too_large: manifest file exceeds "):
        inspect_text(tmp_path, text, max_manifest_bytes=len(text) - 1)
    text = json.dumps(BASE, indent=2)
    with pytest.raises(ValueError) as info:
        inspect_text(tmp_path, text + "\n\n  x")
    assert str(info.value) == f"trailing characters at line {text.count(chr(10)) + 3} column 3"

#!/usr/bin/env python3
"""Writes the JSON Schemas (draft 2020-12) shipped in src/zarnik_manifest/schemas/:
the manifest, the verification report, the load plan and the command line's error
document. Each file stands alone (the
load plan repeats the report's definitions) so that any validator can use it without a
reference resolver. Run after changing a record; `--check` exits 1 when a file differs.

The schemas describe structure: keys, types, nulls, enumerations, closed records. Rules
on content (digest syntax, non-empty names, cross-field agreement) are the verifier's and
are reported by verify_manifest, not by a schema."""

from __future__ import annotations

import json
import sys
from pathlib import Path
from typing import Any

OUT = Path(__file__).resolve().parent.parent / "src" / "zarnik_manifest" / "schemas"
DRAFT = "https://json-schema.org/draft/2020-12/schema"
BASE = "urn:zarnik:schema:"

Schema = dict[str, Any]

STRING: Schema = {"type": "string"}
BOOL: Schema = {"type": "boolean"}
U64: Schema = {"type": "integer", "minimum": 0, "maximum": 18446744073709551615}
U8: Schema = {"type": "integer", "minimum": 0, "maximum": 255}
F64: Schema = {"type": "number"}
ANY: Schema = {}
HEX_DIGEST: Schema = {"type": "string", "pattern": "^[0-9a-f]{64}$"}


def ref(name: str) -> Schema:
    return {"$ref": f"#/$defs/{name}"}


def nullable(schema: Schema) -> Schema:
    if "$ref" in schema:
        return {"anyOf": [schema, {"type": "null"}]}
    types = schema["type"] if isinstance(schema["type"], list) else [schema["type"]]
    return {**schema, "type": [*types, "null"]}


def record(fields: list[tuple[str, Schema, str]], description: str | None = None) -> Schema:
    """A closed manifest record. Presence: "required"; "optional" (absent or null, never
    written as null); "default" (may be absent, never null)."""
    out: Schema = {"type": "object"}
    if description:
        out["description"] = description
    out["properties"] = {k: (nullable(s) if p == "optional" else s) for k, s, p in fields}
    required = [k for k, _, p in fields if p == "required"]
    if required:
        out["required"] = required
    out["additionalProperties"] = False
    return out


def tagged(variants: list[tuple[str, list[tuple[str, Schema, str]]]], description: str) -> Schema:
    """A union tagged by "kind": one closed object per variant."""
    options = []
    for kind, fields in variants:
        v = record([("kind", {"const": kind}, "required"), *fields])
        options.append(v)
    return {"description": description, "type": "object", "required": ["kind"],
            "properties": {"kind": {"enum": [k for k, _ in variants]}}, "oneOf": options}


def report_record(fields: list[tuple[str, Schema]], description: str | None = None) -> Schema:
    """A report record: every key always present, closed."""
    out: Schema = {"type": "object"}
    if description:
        out["description"] = description
    out["properties"] = dict(fields)
    out["required"] = [k for k, _ in fields]
    out["additionalProperties"] = False
    return out


# ---- the manifest --------------------------------------------------------------------------

INDEX_KINDS = ["rank", "rank_quant", "bitmap", "sign_bitmap"]
PARAMETERIZATIONS = ["marginal_topk_frequency", "bucket_frequency", "sign_frequency", "rank_position_frequency",
                     "empirical_tail_table"]
EVIDENCE_KINDS = ["certified", "empirical_sample", "benchmark_estimate", "teacher_estimate", "caller_asserted"]

INDEX_PARAMS = tagged([
    ("rank", []),
    ("rank_quant", [("bits", U8, "required")]),
    ("bitmap", [("n_top", U64, "required")]),
    ("sign_bitmap", []),
], "Index family parameters, tagged by kind (need not equal artifact.kind to parse; the verifier compares them).")

MANIFEST_DEFS: dict[str, Schema] = {
    "ManifestIndexKind": {"enum": INDEX_KINDS},
    "ManifestIndexParams": INDEX_PARAMS,
    "Artifact": record([
        ("path", STRING, "required"),
        ("sha256", STRING, "required"),
        ("kind", ref("ManifestIndexKind"), "required"),
        ("format_version", U8, "required"),
        ("dim", U64, "required"),
        ("vector_count", U64, "required"),
        ("bytes_per_vec", U64, "required"),
        ("params", ref("ManifestIndexParams"), "required"),
        ("file_size_bytes", U64, "required"),
    ], "The index file."),
    "AuxiliaryArtifact": record([
        ("name", STRING, "required"),
        ("path", STRING, "required"),
        ("sha256", STRING, "required"),
        ("file_size_bytes", U64, "required"),
        ("required", {**BOOL, "default": True}, "default"),
    ], "An auxiliary file (tokenizer, vocabulary, ...). required defaults to true."),
    "Embedding": record([
        ("model", STRING, "required"),
        ("dim", U64, "required"),
        ("model_revision", STRING, "optional"),
        ("tokenizer_revision", STRING, "optional"),
        ("pooling", STRING, "optional"),
        ("corpus_digest", STRING, "optional"),
        ("embedding_matrix_digest", STRING, "optional"),
        ("normalization", STRING, "optional"),
    ], "The embedding model whose vectors the index holds."),
    "MetricSpec": record([
        ("name", STRING, "required"),
        ("version", STRING, "optional"),
        ("digest", STRING, "optional"),
    ]),
    "EncoderSpec": record([
        ("model", STRING, "required"),
        ("dim", U64, "required"),
        ("model_revision", STRING, "optional"),
        ("normalization", STRING, "optional"),
    ]),
    "BuildInfo": record([
        ("invocation_id", STRING, "required"),
        ("builder_id", STRING, "optional"),
        ("source_repo", STRING, "optional"),
        ("source_commit", STRING, "optional"),
        ("ci_provider", STRING, "optional"),
        ("ci_run_id", STRING, "optional"),
    ], "Build provenance."),
    "RowIdentityDb": record([
        ("path", STRING, "optional"),
        ("table", STRING, "optional"),
        ("id_column", STRING, "optional"),
    ], "Reserved; the verifier reports its presence."),
    "RowIdentity": tagged([
        ("row_id_identity", [("row_count", U64, "required")]),
        ("jsonl", [
            ("path", STRING, "required"),
            ("sha256", STRING, "required"),
            ("row_count", U64, "required"),
            ("id_kind", STRING, "required"),
            ("db", ref("RowIdentityDb"), "optional"),
        ]),
    ], "How index rows map to database ids: the identity mapping or a JSON-lines row map."),
    "ProfileParameterization": {"enum": PARAMETERIZATIONS},
    "CalibrationOrdinalization": tagged([
        ("top_k", [("dim", U64, "required"), ("k", U64, "required")]),
        ("bucket", [("dim", U64, "required"), ("bits", U8, "required")]),
        ("sign", [("dim", U64, "required")]),
        ("rank_position", [("dim", U64, "required")]),
        ("caller_defined", [("dim", U64, "required"), ("name", STRING, "required")]),
    ], "How vectors become ordinal codes."),
    "NullModelSpec": tagged([
        ("uniform_hypergeometric", []),
        ("weighted_marginal_profile", [("parameterization", ref("ProfileParameterization"), "required")]),
        ("empirical_tail_table", [("statistic", STRING, "required")]),
        ("caller_defined", [("name", STRING, "required"), ("parameterization", STRING, "optional")]),
    ], "The null model scores are calibrated against."),
    "ProfileArtifactRef": record([
        ("path", STRING, "required"),
        ("sha256", STRING, "required"),
        ("file_size_bytes", U64, "required"),
        ("dim", U64, "required"),
        ("sample_count", U64, "required"),
        ("parameterization", ref("ProfileParameterization"), "required"),
        ("format", STRING, "required"),
        ("shape", {"type": "array", "items": U64, "default": []}, "default"),
        ("source_digest", STRING, "optional"),
    ], "The calibration data file."),
    "CalibrationProfileRef": record([
        ("schema_version", STRING, "required"),
        ("profile_id", STRING, "required"),
        ("created_at", STRING, "optional"),
        ("calibrated_for", ref("EncoderSpec"), "required"),
        ("ordinalization", ref("CalibrationOrdinalization"), "required"),
        ("profile", ref("ProfileArtifactRef"), "optional"),
        ("null_model", ref("NullModelSpec"), "required"),
    ], "Calibration of the index's scores."),
    "DistortionBounds": record([(k, F64, "optional") for k in (
        "declared_lower_bound", "declared_upper_bound", "estimated_distortion", "violation_rate",
        "max_observed_violation", "quantile_observed_violation")]),
    "DistortionScope": record([
        ("corpus_digest", STRING, "optional"),
        ("query_set_digest", STRING, "optional"),
        ("pair_sample_digest", STRING, "optional"),
        ("domain", STRING, "optional"),
        ("sample_size", U64, "optional"),
        ("confidence", F64, "optional"),
        ("coverage", F64, "optional"),
        ("estimator_version", STRING, "optional"),
    ]),
    "DistortionEvidenceKind": {"enum": EVIDENCE_KINDS},
    "DistortionEvidence": record([
        ("kind", ref("DistortionEvidenceKind"), "required"),
        ("estimator_id", STRING, "optional"),
        ("estimator_hash", STRING, "optional"),
    ]),
    "DistortionProfileArtifactRef": record([
        ("path", STRING, "required"),
        ("sha256", STRING, "required"),
        ("file_size_bytes", U64, "required"),
        ("format", STRING, "required"),
        ("source_digest", STRING, "optional"),
    ]),
    "EncoderDistortionProfileRef": record([
        ("schema_version", STRING, "required"),
        ("profile_id", STRING, "required"),
        ("created_at", STRING, "optional"),
        ("encoder", ref("EncoderSpec"), "required"),
        ("tokenizer_revision", STRING, "optional"),
        ("pooling", STRING, "optional"),
        ("source_metric", ref("MetricSpec"), "required"),
        ("embedding_metric", ref("MetricSpec"), "required"),
        ("bounds", ref("DistortionBounds"), "required"),
        ("scope", ref("DistortionScope"), "required"),
        ("evidence", ref("DistortionEvidence"), "required"),
        ("profile", ref("DistortionProfileArtifactRef"), "optional"),
        ("calibration_profile_id", STRING, "optional"),
    ], "Declared or measured bounds on how much the encoder distorts a source metric."),
}

MANIFEST = {
    "$schema": DRAFT,
    "$id": BASE + "index-manifest",
    "title": "zarnik index manifest (zarnik.index_manifest.v1)",
    "description": "One persisted vector-index file, the model behind it, its row identity and companions. "
                   "Optional fields may be absent or null; unknown keys are rejected; extensions and attestations "
                   "are open JSON.",
    **record([
        ("schema_version", STRING, "required"),
        ("manifest_id", STRING, "required"),
        ("created_at", STRING, "required"),
        ("artifact", ref("Artifact"), "required"),
        ("auxiliary_artifacts", {"type": "array", "items": ref("AuxiliaryArtifact"), "default": []}, "default"),
        ("embedding", ref("Embedding"), "required"),
        ("encoder_distortion", ref("EncoderDistortionProfileRef"), "optional"),
        ("calibration", ref("CalibrationProfileRef"), "optional"),
        ("row_identity", ref("RowIdentity"), "required"),
        ("build", ref("BuildInfo"), "optional"),
        ("attestations", {"type": "array", "items": ANY, "default": []}, "default"),
        ("extensions", {"type": "object", "additionalProperties": ANY, "default": {}}, "default"),
    ]),
    "$defs": MANIFEST_DEFS,
}

# ---- the verification report ------------------------------------------------------------------

S_OR_NULL: Schema = {"type": ["string", "null"]}
U64_OR_NULL: Schema = nullable(U64)
AUX_STATES = ["verified", "optional_absent", "missing_required", "failed"]


def profile_section(names: list[str]) -> Schema:
    fields = [("present", BOOL), *[(n, S_OR_NULL) for n in names], ("profile_size_bytes", U64_OR_NULL)]
    section = report_record(fields)
    # Absent block: present false and every other key null.
    section["if"] = {"properties": {"present": {"const": False}}}
    section["then"] = {"properties": {k: {"type": "null"} for k, _ in fields[1:]}}
    return section


REPORT_DEFS: dict[str, Schema] = {
    "ManifestIndexParams": INDEX_PARAMS,
    "ReportIssue": report_record([
        ("code", {"type": "string", "pattern": "^[a-z][a-z0-9_]*$"}),
        ("message", STRING),
    ], "One problem: a stable reason code and a one-line message."),
    "MetadataReport": report_record([
        ("kind", {"enum": INDEX_KINDS}),
        ("format_version", U8),
        ("dim", U64),
        ("vector_count", U64),
        ("bytes_per_vec", U64),
        ("params", ref("ManifestIndexParams")),
        ("file_size_bytes", U64),
    ], "What the index header probe found."),
    "ArtifactReport": report_record([
        ("manifest_path", S_OR_NULL),
        ("observed_path", S_OR_NULL),
        ("canonical_path", S_OR_NULL),
        ("sha256", nullable(HEX_DIGEST)),
        ("size_bytes", U64_OR_NULL),
        ("metadata", nullable(ref("MetadataReport"))),
    ]),
    "AuxiliaryArtifactReport": report_record([
        ("name", STRING),
        ("manifest_path", STRING),
        ("resolved_path", S_OR_NULL),
        ("canonical_path", S_OR_NULL),
        ("expected_sha256", S_OR_NULL),
        ("expected_size_bytes", U64_OR_NULL),
        ("required", BOOL),
        ("state", {"enum": AUX_STATES}),
        ("reason_code", S_OR_NULL),
        ("sha256", nullable(HEX_DIGEST)),
        ("size_bytes", U64_OR_NULL),
    ]),
    "RowIdentityReport": report_record([
        ("kind", {"enum": ["row_id_identity", "jsonl", None]}),
        ("manifest_path", S_OR_NULL),
        ("canonical_path", S_OR_NULL),
        ("sha256", S_OR_NULL),
        ("row_count", U64_OR_NULL),
        ("validated_rows", U64_OR_NULL),
    ]),
    "EncoderDistortionReport": profile_section([
        "schema_version", "profile_id", "evidence_kind", "source_metric", "embedding_metric",
        "profile_manifest_path", "profile_canonical_path", "profile_sha256"]),
    "CalibrationReport": profile_section([
        "schema_version", "profile_id", "calibrated_for_model", "ordinalization", "null_model",
        "profile_manifest_path", "profile_canonical_path", "profile_sha256"]),
    "AttestationShapeCheck": report_record([
        ("predicate_type", S_OR_NULL),
        ("builder_id", S_OR_NULL),
        ("subject_sha256_matched", BOOL),
    ]),
    "VerificationReport": {
        **report_record([
            ("ok", BOOL),
            ("checked_at", {"type": "string",
                            "pattern": "^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{9}Z$"}),
            ("manifest_id", S_OR_NULL),
            ("artifact", ref("ArtifactReport")),
            ("auxiliary_artifacts", {"type": "array", "items": ref("AuxiliaryArtifactReport")}),
            ("row_identity", ref("RowIdentityReport")),
            ("encoder_distortion", ref("EncoderDistortionReport")),
            ("calibration", ref("CalibrationReport")),
            ("attestation_shape_checks", {"type": "array", "items": ref("AttestationShapeCheck")}),
            ("errors", {"type": "array", "items": ref("ReportIssue")}),
            ("warnings", {"type": "array", "items": ref("ReportIssue")}),
            ("skipped_checks", {"type": "array", "items": {"enum": ["attestations_absent"]}}),
        ], "The result of verify_manifest. Every key is always present; absent values are null."),
        # ok is true exactly when errors is empty.
        "if": {"properties": {"errors": {"maxItems": 0}}},
        "then": {"properties": {"ok": {"const": True}}},
        "else": {"properties": {"ok": {"const": False}}},
    },
}

REPORT = {
    "$schema": DRAFT,
    "$id": BASE + "verification-report",
    "title": "zarnik manifest verification report",
    "$ref": "#/$defs/VerificationReport",
    "$defs": REPORT_DEFS,
}

# ---- the load plan --------------------------------------------------------------------------

PLAN_DEFS: dict[str, Schema] = {
    **REPORT_DEFS,
    "VerifiedRowIdentityPlan": {
        **report_record([
            ("kind", {"enum": ["jsonl", "row_id_identity"]}),
            ("path", S_OR_NULL),
            ("row_count", U64),
            ("validated_rows", U64_OR_NULL),
            ("sha256", S_OR_NULL),
        ]),
        # The canonical row-map path for "jsonl"; none for the identity mapping.
        "if": {"properties": {"kind": {"const": "jsonl"}}},
        "then": {"properties": {"path": STRING}},
        "else": {"properties": {"path": {"type": "null"}}},
    },
    "VerifiedAuxiliaryArtifactPlan": {
        **report_record([
            ("name", STRING),
            ("path", S_OR_NULL),
            ("required", BOOL),
            ("state", {"enum": ["verified", "optional_absent"]}),
            ("reason_code", S_OR_NULL),
            ("sha256", nullable(HEX_DIGEST)),
            ("size_bytes", U64_OR_NULL),
        ]),
        # A verified file has its canonical path; an absent optional one has none.
        "if": {"properties": {"state": {"const": "verified"}}},
        "then": {"properties": {"path": STRING}},
        "else": {"properties": {"path": {"type": "null"}}},
    },
}

PLAN = {
    "$schema": DRAFT,
    "$id": BASE + "load-plan",
    "title": "zarnik manifest load plan",
    "description": "The result of verify_for_load: canonical paths and facts of a clean verification.",
    **report_record([
        ("manifest_path", S_OR_NULL),
        ("artifact_path", STRING),
        ("metadata", ref("MetadataReport")),
        ("row_identity", ref("VerifiedRowIdentityPlan")),
        ("auxiliary_artifacts", {"type": "array", "items": ref("VerifiedAuxiliaryArtifactPlan")}),
        ("report", {"allOf": [ref("VerificationReport"), {"properties": {"ok": {"const": True}}}]}),
    ]),
    "$defs": PLAN_DEFS,
}

# ---- the command line's document when there is no report or plan -------------------------

COMMAND_ERROR = {
    "$schema": DRAFT,
    "$id": BASE + "command-error",
    "title": "zarnik-manifest error document",
    "description": "What `verify --json` and `plan` print instead of a report or a load plan when there is "
                   "none: the manifest could not be loaded, or (plan) verification found errors.",
    **report_record([
        ("ok", {"const": False}),
        ("error", report_record([
            ("code", {"type": "string", "pattern": "^[a-z][a-z0-9_]*$"}),
            ("message", STRING),
        ])),
    ]),
}

FILES = {
    "index-manifest.schema.json": MANIFEST,
    "verification-report.schema.json": REPORT,
    "load-plan.schema.json": PLAN,
    "command-error.schema.json": COMMAND_ERROR,
}


def render(schema: Schema) -> str:
    return json.dumps(schema, indent=2, ensure_ascii=False) + "\n"


def main(argv: list[str]) -> int:
    check = argv[1:] == ["--check"]
    stale = []
    for name, schema in FILES.items():
        path = OUT / name
        text = render(schema)
        if check:
            if not path.exists() or path.read_text() != text:
                stale.append(name)
        else:
            OUT.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
    if stale:
        print(f"out of date: {', '.join(stale)} (run tools/gen_schemas.py)", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

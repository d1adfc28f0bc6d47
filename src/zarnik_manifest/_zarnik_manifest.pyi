"""Types of the native module: signatures, and the shapes of its results.

The TypedDicts exist for type checkers only (the module returns plain dicts); import
them under `typing.TYPE_CHECKING`.

Manifest dicts leave absent optional keys out (NotRequired); report and load-plan dicts
always carry every key, with None where the value may be absent. JSON Schemas of the
three documents are shipped in zarnik_manifest/schemas/.

Errors: bad arguments raise TypeError or OverflowError before any file is touched; an
unreadable file raises an instance of the OSError subclass for its error number
(FileNotFoundError, PermissionError, IsADirectoryError, ...; strictly, of a subclass of it
whose str() is its message), with errno and strerror set, and filename where the call
reads one file; a manifest that is too large, malformed or not the schema raises
ValueError. Every exception carries one argument, its one-line message, and pickles as
the built-in type.
"""

import os
from collections.abc import Iterable
from typing import Any, Final, Literal, NotRequired, TypeAlias, TypedDict, type_check_only

_StrPath: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]

_IndexKind: TypeAlias = Literal["rank", "rank_quant", "bitmap", "sign_bitmap"]
_AuxiliaryArtifactState: TypeAlias = Literal["verified", "optional_absent", "missing_required", "failed"]
_RowIdentityKind: TypeAlias = Literal["row_id_identity", "jsonl"]
_ProfileParameterization: TypeAlias = Literal[
    "marginal_topk_frequency",
    "bucket_frequency",
    "sign_frequency",
    "rank_position_frequency",
    "empirical_tail_table",
]
_DistortionEvidenceKind: TypeAlias = Literal[
    "certified", "empirical_sample", "benchmark_estimate", "teacher_estimate", "caller_asserted"
]

SCHEMA_VERSION: Final[str]
CALIBRATION_SCHEMA_VERSION: Final[str]
ENCODER_DISTORTION_SCHEMA_VERSION: Final[str]
DEFAULT_MAX_MANIFEST_BYTES: Final[int]
DEFAULT_MAX_ROW_IDENTITY_JSONL_LINE_BYTES: Final[int]
DEFAULT_MAX_ROW_IDENTITY_ROWS: Final[int]
DEFAULT_MAX_ROW_IDENTITY_TRACKED_DB_ID_BYTES: Final[int]
DEFAULT_MAX_AUXILIARY_ARTIFACTS: Final[int]
DEFAULT_MAX_AUXILIARY_ARTIFACT_BYTES: Final[int]
DEFAULT_MAX_CALIBRATION_PROFILE_BYTES: Final[int]
DEFAULT_MAX_ENCODER_DISTORTION_PROFILE_BYTES: Final[int]
DEFAULT_MAX_REPORT_ISSUES: Final[int]
DEFAULT_MAX_CACHED_REPORT_BYTES: Final[int]

# ---- the manifest -----------------------------------------------------------------------

@type_check_only
class RankParams(TypedDict):
    """Parameters of a rank index: none beyond the kind."""

    kind: Literal["rank"]

@type_check_only
class RankQuantParams(TypedDict):
    """Parameters of a rank_quant index: `bits` per quantised rank (1, 2 or 4)."""

    kind: Literal["rank_quant"]
    bits: int

@type_check_only
class BitmapParams(TypedDict):
    """Parameters of a bitmap index: `n_top`, the number of set bits per vector."""

    kind: Literal["bitmap"]
    n_top: int

@type_check_only
class SignBitmapParams(TypedDict):
    """Parameters of a sign_bitmap index: none beyond the kind."""

    kind: Literal["sign_bitmap"]

_IndexParams: TypeAlias = RankParams | RankQuantParams | BitmapParams | SignBitmapParams

@type_check_only
class Artifact(TypedDict):
    """The manifest's index file: manifest-relative `path`, SHA-256 of the whole file (64 lowercase
    hex digits), and the header's kind, format version, dimension, vector count, bytes per
    vector and family parameters, plus the file size in bytes."""

    path: str
    sha256: str
    kind: _IndexKind
    format_version: int
    dim: int
    vector_count: int
    bytes_per_vec: int
    params: _IndexParams
    file_size_bytes: int

@type_check_only
class AuxiliaryArtifact(TypedDict):
    """An auxiliary file (tokenizer, vocabulary, ...) with its unique `name`, manifest-relative
    `path`, SHA-256 and size. `required` is left out when true (the default)."""

    name: str
    path: str
    sha256: str
    file_size_bytes: int
    required: NotRequired[bool]

@type_check_only
class Embedding(TypedDict):
    """The embedding model whose vectors the index holds: `model` and `dim`, and optionally its
    revision, tokenizer revision, pooling, normalization and corpus/matrix digests."""

    model: str
    dim: int
    model_revision: NotRequired[str]
    tokenizer_revision: NotRequired[str]
    pooling: NotRequired[str]
    corpus_digest: NotRequired[str]
    embedding_matrix_digest: NotRequired[str]
    normalization: NotRequired[str]

@type_check_only
class MetricSpec(TypedDict):
    """A metric by `name`, with an optional `version` and `digest` ("sha256:" + 64 hex digits)."""

    name: str
    version: NotRequired[str]
    digest: NotRequired[str]

@type_check_only
class EncoderSpec(TypedDict):
    """An encoder model and its dimension, with optional revision and normalization."""

    model: str
    dim: int
    model_revision: NotRequired[str]
    normalization: NotRequired[str]

@type_check_only
class BuildInfo(TypedDict):
    """Build provenance: the required `invocation_id`, and optionally the builder, source
    repository and commit, CI provider and CI run id."""

    invocation_id: str
    builder_id: NotRequired[str]
    source_repo: NotRequired[str]
    source_commit: NotRequired[str]
    ci_provider: NotRequired[str]
    ci_run_id: NotRequired[str]

@type_check_only
class RowIdentityDb(TypedDict):
    """Reserved database location of the row ids; the verifier reports its presence."""

    path: NotRequired[str]
    table: NotRequired[str]
    id_column: NotRequired[str]

@type_check_only
class RowIdIdentity(TypedDict):
    """Identity row mapping: index row i is identified by i; `row_count` rows."""

    kind: Literal["row_id_identity"]
    row_count: int

@type_check_only
class JsonlRowIdentity(TypedDict):
    """A JSON-lines row map: manifest-relative `path`, its SHA-256, `row_count` rows and the id
    kind ("uuid")."""

    kind: Literal["jsonl"]
    path: str
    sha256: str
    row_count: int
    id_kind: str
    db: NotRequired[RowIdentityDb]

_RowIdentity: TypeAlias = RowIdIdentity | JsonlRowIdentity

@type_check_only
class TopKOrdinalization(TypedDict):
    """Ordinal codes from the top `k` of `dim` coordinates."""

    kind: Literal["top_k"]
    dim: int
    k: int

@type_check_only
class BucketOrdinalization(TypedDict):
    """Ordinal codes by bucketing each of `dim` coordinates into 2**`bits` buckets."""

    kind: Literal["bucket"]
    dim: int
    bits: int

@type_check_only
class SignOrdinalization(TypedDict):
    """Ordinal codes from the sign of each of `dim` coordinates."""

    kind: Literal["sign"]
    dim: int

@type_check_only
class RankPositionOrdinalization(TypedDict):
    """Ordinal codes from the rank position of each of `dim` coordinates."""

    kind: Literal["rank_position"]
    dim: int

@type_check_only
class CallerDefinedOrdinalization(TypedDict):
    """An ordinalization defined by the caller, by `name`."""

    kind: Literal["caller_defined"]
    dim: int
    name: str

_CalibrationOrdinalization: TypeAlias = (
    TopKOrdinalization
    | BucketOrdinalization
    | SignOrdinalization
    | RankPositionOrdinalization
    | CallerDefinedOrdinalization
)

@type_check_only
class UniformHypergeometricNullModel(TypedDict):
    """The uniform hypergeometric null model."""

    kind: Literal["uniform_hypergeometric"]

@type_check_only
class WeightedMarginalProfileNullModel(TypedDict):
    """A null model weighted by the marginal profile of the given parameterization."""

    kind: Literal["weighted_marginal_profile"]
    parameterization: _ProfileParameterization

@type_check_only
class EmpiricalTailTableNullModel(TypedDict):
    """A null model from an empirical tail table of `statistic`."""

    kind: Literal["empirical_tail_table"]
    statistic: str

@type_check_only
class CallerDefinedNullModel(TypedDict):
    """A null model defined by the caller, with free-text parameterization."""

    kind: Literal["caller_defined"]
    name: str
    parameterization: NotRequired[str]

_NullModel: TypeAlias = (
    UniformHypergeometricNullModel
    | WeightedMarginalProfileNullModel
    | EmpiricalTailTableNullModel
    | CallerDefinedNullModel
)

@type_check_only
class ProfileArtifactRef(TypedDict):
    """The calibration data file: path, SHA-256, size, dimension, sample count, what it
    tabulates, its format name, the table shape (left out when empty) and a source digest."""

    path: str
    sha256: str
    file_size_bytes: int
    dim: int
    sample_count: int
    parameterization: _ProfileParameterization
    format: str
    shape: NotRequired[list[int]]
    source_digest: NotRequired[str]

@type_check_only
class CalibrationProfileRef(TypedDict):
    """The manifest's calibration block: profile id, the encoder calibrated for, the
    ordinalization, the null model and optionally the profile file."""

    schema_version: str
    profile_id: str
    created_at: NotRequired[str]
    calibrated_for: EncoderSpec
    ordinalization: _CalibrationOrdinalization
    profile: NotRequired[ProfileArtifactRef]
    null_model: _NullModel

@type_check_only
class DistortionBounds(TypedDict):
    """Distortion figures; each optional, at least one required by the verifier."""

    declared_lower_bound: NotRequired[float]
    declared_upper_bound: NotRequired[float]
    estimated_distortion: NotRequired[float]
    violation_rate: NotRequired[float]
    max_observed_violation: NotRequired[float]
    quantile_observed_violation: NotRequired[float]

@type_check_only
class DistortionScope(TypedDict):
    """Where the distortion figures hold: digests of the data, domain, sample size, confidence
    and coverage (fractions in [0, 1]) and estimator version."""

    corpus_digest: NotRequired[str]
    query_set_digest: NotRequired[str]
    pair_sample_digest: NotRequired[str]
    domain: NotRequired[str]
    sample_size: NotRequired[int]
    confidence: NotRequired[float]
    coverage: NotRequired[float]
    estimator_version: NotRequired[str]

@type_check_only
class DistortionEvidence(TypedDict):
    """How the distortion figures were obtained: evidence kind and optional estimator."""

    kind: _DistortionEvidenceKind
    estimator_id: NotRequired[str]
    estimator_hash: NotRequired[str]

@type_check_only
class DistortionProfileArtifactRef(TypedDict):
    """The file holding the distortion evidence: path, SHA-256, size, format."""

    path: str
    sha256: str
    file_size_bytes: int
    format: str
    source_digest: NotRequired[str]

@type_check_only
class EncoderDistortionProfileRef(TypedDict):
    """The manifest's encoder_distortion block: how much the encoder distorts a source metric,
    the scope and evidence of the claim, and optionally a profile file."""

    schema_version: str
    profile_id: str
    created_at: NotRequired[str]
    encoder: EncoderSpec
    tokenizer_revision: NotRequired[str]
    pooling: NotRequired[str]
    source_metric: MetricSpec
    embedding_metric: MetricSpec
    bounds: DistortionBounds
    scope: DistortionScope
    evidence: DistortionEvidence
    profile: NotRequired[DistortionProfileArtifactRef]
    calibration_profile_id: NotRequired[str]

@type_check_only
class IndexManifest(TypedDict):
    """A manifest as parsed (`inspect_manifest`) or written (`create_manifest`). Absent optional
    keys are left out; empty auxiliary_artifacts, attestations and extensions are left out.
    JSON Schema: zarnik_manifest/schemas/index-manifest.schema.json."""

    schema_version: str
    manifest_id: str
    created_at: str
    artifact: Artifact
    auxiliary_artifacts: NotRequired[list[AuxiliaryArtifact]]
    embedding: Embedding
    encoder_distortion: NotRequired[EncoderDistortionProfileRef]
    calibration: NotRequired[CalibrationProfileRef]
    row_identity: _RowIdentity
    build: NotRequired[BuildInfo]
    attestations: NotRequired[list[Any]]
    extensions: NotRequired[dict[str, Any]]

# ---- the verification report ------------------------------------------------------------

@type_check_only
class ReportIssue(TypedDict):
    """One problem: a stable reason `code` (docs/reason-codes.md) and a one-line `message`."""

    code: str
    message: str

@type_check_only
class MetadataReport(TypedDict):
    """What the index header probe found: kind, format version, dimension, vector count,
    bytes per vector, family parameters and the file size."""

    kind: _IndexKind
    format_version: int
    dim: int
    vector_count: int
    bytes_per_vec: int
    params: _IndexParams
    file_size_bytes: int

@type_check_only
class ArtifactReport(TypedDict):
    """The artifact as verified: the path as declared, opened and canonical, the SHA-256 and
    size as read, and the probed header (None when it could not be probed)."""

    manifest_path: str | None
    observed_path: str | None
    canonical_path: str | None
    sha256: str | None
    size_bytes: int | None
    metadata: MetadataReport | None

@type_check_only
class AuxiliaryArtifactReport(TypedDict):
    """One auxiliary file as verified. `state` is "verified", "optional_absent",
    "missing_required" or "failed"; `reason_code` says why when it is not verified."""

    name: str
    manifest_path: str
    resolved_path: str | None
    canonical_path: str | None
    expected_sha256: str | None
    expected_size_bytes: int | None
    required: bool
    state: _AuxiliaryArtifactState
    reason_code: str | None
    sha256: str | None
    size_bytes: int | None

@type_check_only
class RowIdentityReport(TypedDict):
    """The row identity as verified: kind, row-map paths and digest, declared row count
    and the number of row-map rows that passed validation."""

    kind: _RowIdentityKind | None
    manifest_path: str | None
    canonical_path: str | None
    sha256: str | None
    row_count: int | None
    validated_rows: int | None

@type_check_only
class EncoderDistortionReport(TypedDict):
    """Summary of the encoder_distortion block; `present` False and every other key None
    when the manifest has none."""

    present: bool
    schema_version: str | None
    profile_id: str | None
    evidence_kind: str | None
    source_metric: str | None
    embedding_metric: str | None
    profile_manifest_path: str | None
    profile_canonical_path: str | None
    profile_sha256: str | None
    profile_size_bytes: int | None

@type_check_only
class CalibrationReport(TypedDict):
    """Summary of the calibration block; `present` False and every other key None when the
    manifest has none."""

    present: bool
    schema_version: str | None
    profile_id: str | None
    calibrated_for_model: str | None
    ordinalization: str | None
    null_model: str | None
    profile_manifest_path: str | None
    profile_canonical_path: str | None
    profile_sha256: str | None
    profile_size_bytes: int | None

@type_check_only
class AttestationShapeCheck(TypedDict):
    """One attestation examined: its predicate type, builder id, and whether a subject's
    SHA-256 matched the artifact."""

    predicate_type: str | None
    builder_id: str | None
    subject_sha256_matched: bool

@type_check_only
class VerificationReport(TypedDict):
    """The result of `verify_manifest`. `ok` is True exactly when `errors` is empty. Every key
    is always present, with None for values that could not be established.
    JSON Schema: zarnik_manifest/schemas/verification-report.schema.json."""

    ok: bool
    checked_at: str
    manifest_id: str | None
    artifact: ArtifactReport
    auxiliary_artifacts: list[AuxiliaryArtifactReport]
    row_identity: RowIdentityReport
    encoder_distortion: EncoderDistortionReport
    calibration: CalibrationReport
    attestation_shape_checks: list[AttestationShapeCheck]
    errors: list[ReportIssue]
    warnings: list[ReportIssue]
    skipped_checks: list[str]

# ---- the load plan ----------------------------------------------------------------------

@type_check_only
class RowIdentityPlan(TypedDict):
    """Row identity to load: `path` is the canonical row-map path for "jsonl" and None for
    "row_id_identity"."""

    kind: _RowIdentityKind
    path: str | None
    row_count: int
    validated_rows: int | None
    sha256: str | None

@type_check_only
class AuxiliaryArtifactPlan(TypedDict):
    """An auxiliary file to load: "verified" with its canonical `path`, or "optional_absent"
    with `path` None."""

    name: str
    path: str | None
    required: bool
    state: Literal["verified", "optional_absent"]
    reason_code: str | None
    sha256: str | None
    size_bytes: int | None

@type_check_only
class VerifiedLoadPlan(TypedDict):
    """The result of `verify_for_load`: canonical paths of the files whose digests were
    checked, the probed header, and a copy of the clean report.
    JSON Schema: zarnik_manifest/schemas/load-plan.schema.json."""

    manifest_path: str | None
    artifact_path: str
    metadata: MetadataReport
    row_identity: RowIdentityPlan
    auxiliary_artifacts: list[AuxiliaryArtifactPlan]
    report: VerificationReport

# ---- other results and arguments ----------------------------------------------------------

@type_check_only
class FileDigest(TypedDict):
    """A file's SHA-256 (64 lowercase hex digits) and the number of bytes hashed."""

    sha256: str
    size_bytes: int

@type_check_only
class ResourceLimits(TypedDict):
    """The ten per-call limits with their defaults, under their keyword names."""

    max_manifest_bytes: int
    max_row_map_line_bytes: int
    max_row_map_rows: int
    max_row_map_tracked_id_bytes: int
    max_auxiliary_artifacts: int
    max_auxiliary_artifact_bytes: int
    max_calibration_profile_bytes: int
    max_encoder_distortion_profile_bytes: int
    max_report_issues: int
    max_cached_report_bytes: int

@type_check_only
class AuxiliaryArtifactRequest(TypedDict):
    """One entry of create_manifest's auxiliary_artifacts; "required" defaults to True."""

    name: str
    path: _StrPath
    required: NotRequired[bool]

# ---- functions ----------------------------------------------------------------------------

def default_resource_limits() -> ResourceLimits:
    """Return a new dict of the ten default resource limits, keyed by keyword name.
    """

def sha256_file(path: _StrPath) -> FileDigest:
    """Hash a whole file with SHA-256, streaming, without a size limit.

    Args:
        path: the file (str, bytes or os.PathLike).

    Returns:
        {"sha256": 64 lowercase hex digits, "size_bytes": bytes hashed}.

    Raises:
        TypeError: `path` is not a path.
        OSError: the file cannot be opened or read; the subclass for the error number
            (FileNotFoundError, PermissionError, IsADirectoryError, ...) with errno,
            strerror and filename set; its text is "<description> (os error N)".
    """

def inspect_manifest(
    manifest: _StrPath,
    *,
    max_manifest_bytes: int | None = None,
    max_row_map_line_bytes: int | None = None,
    max_row_map_rows: int | None = None,
    max_row_map_tracked_id_bytes: int | None = None,
    max_auxiliary_artifacts: int | None = None,
    max_auxiliary_artifact_bytes: int | None = None,
    max_calibration_profile_bytes: int | None = None,
    max_encoder_distortion_profile_bytes: int | None = None,
    max_report_issues: int | None = None,
    max_cached_report_bytes: int | None = None,
) -> IndexManifest:
    """Load and strictly parse a manifest, without checking any file it names.

    Args:
        manifest: the manifest file.
        max_*: resource limits; None (the default) takes the published default
            (`default_resource_limits()`). Each must fit an unsigned 64-bit integer. Only max_manifest_bytes is used.

    Returns:
        The manifest as a dict, absent optional keys left out.

    Raises:
        TypeError, OverflowError: a bad argument (before any file is opened).
        OSError: the manifest cannot be read (the subclass for the error number, with
            errno, strerror and filename set).
        ValueError: the manifest is too large ("manifest_file_too_large: ..."), not JSON,
            or not the manifest schema ("<message> at line L column C").
    """

def verify_manifest(
    manifest: _StrPath,
    *,
    index: _StrPath | None = None,
    allow_absolute_paths: bool = False,
    allow_path_escape: bool = False,
    allow_duplicate_db_ids: bool = False,
    max_manifest_bytes: int | None = None,
    max_row_map_line_bytes: int | None = None,
    max_row_map_rows: int | None = None,
    max_row_map_tracked_id_bytes: int | None = None,
    max_auxiliary_artifacts: int | None = None,
    max_auxiliary_artifact_bytes: int | None = None,
    max_calibration_profile_bytes: int | None = None,
    max_encoder_distortion_profile_bytes: int | None = None,
    max_report_issues: int | None = None,
    max_cached_report_bytes: int | None = None,
) -> VerificationReport:
    """Verify a manifest against its files and the caller's policy.

    Problems found in the manifest or its files never raise: each becomes an issue (a
    stable reason code and a message) in the report's `errors`.

    Args:
        manifest: the manifest file; its directory is the base of relative paths.
        index: verify this copy of the index instead of the manifest's artifact path.
        allow_absolute_paths: accept absolute paths in the manifest.
        allow_path_escape: accept paths that leave the manifest's directory.
        allow_duplicate_db_ids: accept a row map that repeats a database id.
        max_*: resource limits; None (the default) takes the published default
            (`default_resource_limits()`). Each must fit an unsigned 64-bit integer.

    Returns:
        The verification report; `report["ok"]` is True exactly when no error was found.

    Raises:
        TypeError, OverflowError: a bad argument (before any file is opened).
        OSError: the manifest cannot be read (the subclass for the error number, with
            errno, strerror and filename set).
        ValueError: the manifest is too large, not JSON, or not the manifest schema.
    """

def verify_for_load(
    manifest: _StrPath,
    *,
    index: _StrPath | None = None,
    allow_absolute_paths: bool = False,
    allow_path_escape: bool = False,
    allow_duplicate_db_ids: bool = False,
    max_manifest_bytes: int | None = None,
    max_row_map_line_bytes: int | None = None,
    max_row_map_rows: int | None = None,
    max_row_map_tracked_id_bytes: int | None = None,
    max_auxiliary_artifacts: int | None = None,
    max_auxiliary_artifact_bytes: int | None = None,
    max_calibration_profile_bytes: int | None = None,
    max_encoder_distortion_profile_bytes: int | None = None,
    max_report_issues: int | None = None,
    max_cached_report_bytes: int | None = None,
) -> VerifiedLoadPlan:
    """Verify a manifest as `verify_manifest` does and return the plan to load it.

    Args:
        manifest, index, allow_absolute_paths, allow_path_escape, allow_duplicate_db_ids,
        max_*: as for `verify_manifest`.

    Returns:
        The load plan: canonical paths of the index, row map and auxiliary files whose
        digests were checked, the probed header and a copy of the clean report.

    Raises:
        TypeError, OverflowError: a bad argument.
        OSError: the manifest cannot be read (as for `verify_manifest`).
        ValueError: the manifest cannot be loaded, or verification found errors:
            "manifest verification failed: <first three codes>[, ...]".
    """

def create_manifest(
    index: _StrPath,
    out: _StrPath,
    embedding_model: str,
    *,
    row_map: _StrPath | None = None,
    row_id_is_identity: bool = False,
    auxiliary_artifacts: Iterable[AuxiliaryArtifactRequest] | None = None,
    allow_absolute_paths: bool = False,
    allow_path_escape: bool = False,
    max_manifest_bytes: int | None = None,
    max_row_map_line_bytes: int | None = None,
    max_row_map_rows: int | None = None,
    max_row_map_tracked_id_bytes: int | None = None,
    max_auxiliary_artifacts: int | None = None,
    max_auxiliary_artifact_bytes: int | None = None,
    max_calibration_profile_bytes: int | None = None,
    max_encoder_distortion_profile_bytes: int | None = None,
    max_report_issues: int | None = None,
    max_cached_report_bytes: int | None = None,
) -> IndexManifest:
    """Write a manifest for an existing index file and return it.

    Probes and hashes the index, validates the row map (or takes the identity mapping),
    hashes the auxiliary files, expresses every path relative to `out`'s directory and
    writes `out` as two-space-indented JSON (missing parent directories are created).

    Args:
        index: the index file.
        out: the manifest file to write.
        embedding_model: the embedding model's name, written as given.
        row_map: a JSON-lines row map; exactly one of row_map and row_id_is_identity=True.
        row_id_is_identity: index row i is identified by i.
        auxiliary_artifacts: iterable of {"name": str, "path": path, "required": bool}
            ("required" defaults to True).
        allow_absolute_paths: fall back to an absolute path where no relative form exists
            (never needed on a file system with one root).
        allow_path_escape: write a file outside `out`'s directory with ".." steps instead
            of refusing it.
        max_*: resource limits; None (the default) takes the published default
            (`default_resource_limits()`). Each must fit an unsigned 64-bit integer.

    Returns:
        The manifest written, as a dict.

    Raises:
        TypeError, OverflowError, KeyError: a bad argument or auxiliary entry.
        ValueError: both or neither of row_map and row_id_is_identity; an invalid row map,
            auxiliary list or path; a file over its limit.
        OSError: a file cannot be read or written, or the index header is not a zarnik
            index (I/O errors: the subclass for the error number, errno and strerror set).
    """


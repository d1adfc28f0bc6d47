"""Types of the native module: signatures, and the shapes of its results.

The TypedDicts exist for type checkers only (the module returns plain dicts); import
them under `typing.TYPE_CHECKING`.

Manifest dicts leave absent optional keys out (NotRequired); report and load-plan dicts
always carry every key, with None where the value may be absent.
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
    kind: Literal["rank"]

@type_check_only
class RankQuantParams(TypedDict):
    kind: Literal["rank_quant"]
    bits: int

@type_check_only
class BitmapParams(TypedDict):
    kind: Literal["bitmap"]
    n_top: int

@type_check_only
class SignBitmapParams(TypedDict):
    kind: Literal["sign_bitmap"]

_IndexParams: TypeAlias = RankParams | RankQuantParams | BitmapParams | SignBitmapParams

@type_check_only
class Artifact(TypedDict):
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
    name: str
    path: str
    sha256: str
    file_size_bytes: int
    required: NotRequired[bool]

@type_check_only
class Embedding(TypedDict):
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
    name: str
    version: NotRequired[str]
    digest: NotRequired[str]

@type_check_only
class EncoderSpec(TypedDict):
    model: str
    dim: int
    model_revision: NotRequired[str]
    normalization: NotRequired[str]

@type_check_only
class BuildInfo(TypedDict):
    invocation_id: str
    builder_id: NotRequired[str]
    source_repo: NotRequired[str]
    source_commit: NotRequired[str]
    ci_provider: NotRequired[str]
    ci_run_id: NotRequired[str]

@type_check_only
class RowIdentityDb(TypedDict):
    path: NotRequired[str]
    table: NotRequired[str]
    id_column: NotRequired[str]

@type_check_only
class RowIdIdentity(TypedDict):
    kind: Literal["row_id_identity"]
    row_count: int

@type_check_only
class JsonlRowIdentity(TypedDict):
    kind: Literal["jsonl"]
    path: str
    sha256: str
    row_count: int
    id_kind: str
    db: NotRequired[RowIdentityDb]

_RowIdentity: TypeAlias = RowIdIdentity | JsonlRowIdentity

@type_check_only
class TopKOrdinalization(TypedDict):
    kind: Literal["top_k"]
    dim: int
    k: int

@type_check_only
class BucketOrdinalization(TypedDict):
    kind: Literal["bucket"]
    dim: int
    bits: int

@type_check_only
class SignOrdinalization(TypedDict):
    kind: Literal["sign"]
    dim: int

@type_check_only
class RankPositionOrdinalization(TypedDict):
    kind: Literal["rank_position"]
    dim: int

@type_check_only
class CallerDefinedOrdinalization(TypedDict):
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
    kind: Literal["uniform_hypergeometric"]

@type_check_only
class WeightedMarginalProfileNullModel(TypedDict):
    kind: Literal["weighted_marginal_profile"]
    parameterization: _ProfileParameterization

@type_check_only
class EmpiricalTailTableNullModel(TypedDict):
    kind: Literal["empirical_tail_table"]
    statistic: str

@type_check_only
class CallerDefinedNullModel(TypedDict):
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
    schema_version: str
    profile_id: str
    created_at: NotRequired[str]
    calibrated_for: EncoderSpec
    ordinalization: _CalibrationOrdinalization
    profile: NotRequired[ProfileArtifactRef]
    null_model: _NullModel

@type_check_only
class DistortionBounds(TypedDict):
    declared_lower_bound: NotRequired[float]
    declared_upper_bound: NotRequired[float]
    estimated_distortion: NotRequired[float]
    violation_rate: NotRequired[float]
    max_observed_violation: NotRequired[float]
    quantile_observed_violation: NotRequired[float]

@type_check_only
class DistortionScope(TypedDict):
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
    kind: _DistortionEvidenceKind
    estimator_id: NotRequired[str]
    estimator_hash: NotRequired[str]

@type_check_only
class DistortionProfileArtifactRef(TypedDict):
    path: str
    sha256: str
    file_size_bytes: int
    format: str
    source_digest: NotRequired[str]

@type_check_only
class EncoderDistortionProfileRef(TypedDict):
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
    code: str
    message: str

@type_check_only
class MetadataReport(TypedDict):
    kind: _IndexKind
    format_version: int
    dim: int
    vector_count: int
    bytes_per_vec: int
    params: _IndexParams
    file_size_bytes: int

@type_check_only
class ArtifactReport(TypedDict):
    manifest_path: str | None
    observed_path: str | None
    canonical_path: str | None
    sha256: str | None
    size_bytes: int | None
    metadata: MetadataReport | None

@type_check_only
class AuxiliaryArtifactReport(TypedDict):
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
    kind: _RowIdentityKind | None
    manifest_path: str | None
    canonical_path: str | None
    sha256: str | None
    row_count: int | None
    validated_rows: int | None

@type_check_only
class EncoderDistortionReport(TypedDict):
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
    predicate_type: str | None
    builder_id: str | None
    subject_sha256_matched: bool

@type_check_only
class VerificationReport(TypedDict):
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
    kind: _RowIdentityKind
    path: str | None
    row_count: int
    validated_rows: int | None
    sha256: str | None

@type_check_only
class AuxiliaryArtifactPlan(TypedDict):
    name: str
    path: str | None
    required: bool
    state: Literal["verified", "optional_absent"]
    reason_code: str | None
    sha256: str | None
    size_bytes: int | None

@type_check_only
class VerifiedLoadPlan(TypedDict):
    manifest_path: str | None
    artifact_path: str
    metadata: MetadataReport
    row_identity: RowIdentityPlan
    auxiliary_artifacts: list[AuxiliaryArtifactPlan]
    report: VerificationReport

# ---- other results and arguments ----------------------------------------------------------

@type_check_only
class FileDigest(TypedDict):
    sha256: str
    size_bytes: int

@type_check_only
class ResourceLimits(TypedDict):
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

def default_resource_limits() -> ResourceLimits: ...
def sha256_file(path: _StrPath) -> FileDigest: ...
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
) -> IndexManifest: ...
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
) -> VerificationReport: ...
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
) -> VerifiedLoadPlan: ...
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
) -> IndexManifest: ...

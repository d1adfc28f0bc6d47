"""Create, inspect and verify zarnik index manifests."""

from typing import TYPE_CHECKING

from ._zarnik_manifest import (
    CALIBRATION_SCHEMA_VERSION,
    DEFAULT_MAX_AUXILIARY_ARTIFACT_BYTES,
    DEFAULT_MAX_AUXILIARY_ARTIFACTS,
    DEFAULT_MAX_CACHED_REPORT_BYTES,
    DEFAULT_MAX_CALIBRATION_PROFILE_BYTES,
    DEFAULT_MAX_ENCODER_DISTORTION_PROFILE_BYTES,
    DEFAULT_MAX_MANIFEST_BYTES,
    DEFAULT_MAX_REPORT_ISSUES,
    DEFAULT_MAX_ROW_IDENTITY_JSONL_LINE_BYTES,
    DEFAULT_MAX_ROW_IDENTITY_ROWS,
    DEFAULT_MAX_ROW_IDENTITY_TRACKED_DB_ID_BYTES,
    ENCODER_DISTORTION_SCHEMA_VERSION,
    SCHEMA_VERSION,
    create_manifest,
    default_resource_limits,
    inspect_manifest,
    sha256_file,
    verify_for_load,
    verify_manifest,
)
from .creation import create_manifest_with

if TYPE_CHECKING:
    # Shapes of the results, for annotations only (the module returns plain dicts).
    from ._zarnik_manifest import AuxiliaryArtifactRequest as AuxiliaryArtifactRequest
    from ._zarnik_manifest import FileDigest as FileDigest
    from ._zarnik_manifest import IndexManifest as IndexManifest
    from ._zarnik_manifest import MetadataReport as MetadataReport
    from ._zarnik_manifest import ReportIssue as ReportIssue
    from ._zarnik_manifest import ResourceLimits as ResourceLimits
    from ._zarnik_manifest import VerificationReport as VerificationReport
    from ._zarnik_manifest import VerifiedLoadPlan as VerifiedLoadPlan

__version__ = "0.1.0"

__all__ = [
    "CALIBRATION_SCHEMA_VERSION",
    "DEFAULT_MAX_AUXILIARY_ARTIFACTS",
    "DEFAULT_MAX_AUXILIARY_ARTIFACT_BYTES",
    "DEFAULT_MAX_CACHED_REPORT_BYTES",
    "DEFAULT_MAX_CALIBRATION_PROFILE_BYTES",
    "DEFAULT_MAX_ENCODER_DISTORTION_PROFILE_BYTES",
    "DEFAULT_MAX_MANIFEST_BYTES",
    "DEFAULT_MAX_REPORT_ISSUES",
    "DEFAULT_MAX_ROW_IDENTITY_JSONL_LINE_BYTES",
    "DEFAULT_MAX_ROW_IDENTITY_ROWS",
    "DEFAULT_MAX_ROW_IDENTITY_TRACKED_DB_ID_BYTES",
    "ENCODER_DISTORTION_SCHEMA_VERSION",
    "SCHEMA_VERSION",
    "__version__",
    "create_manifest",
    "create_manifest_with",
    "default_resource_limits",
    "inspect_manifest",
    "sha256_file",
    "verify_for_load",
    "verify_manifest",
]

"""A small typed caller of zarnik_manifest, checked with mypy --strict."""

from __future__ import annotations

import os
from pathlib import Path
from typing import TYPE_CHECKING

import zarnik_manifest as zm

if TYPE_CHECKING:
    from zarnik_manifest import IndexManifest, VerificationReport, VerifiedLoadPlan


def failing_codes(report: VerificationReport) -> list[str]:
    return [issue["code"] for issue in report["errors"]]


def describe(manifest_path: str | os.PathLike[str]) -> str:
    manifest: IndexManifest = zm.inspect_manifest(manifest_path, max_manifest_bytes=1 << 20)
    rows = manifest["row_identity"]
    where = rows["path"] if rows["kind"] == "jsonl" else "identity"
    aux = [a["name"] for a in manifest.get("auxiliary_artifacts", [])]
    return f"{manifest['artifact']['kind']} {manifest['artifact']['vector_count']} {where} {aux}"


def load_paths(manifest_path: Path) -> tuple[str, str | None]:
    plan: VerifiedLoadPlan = zm.verify_for_load(manifest_path, allow_duplicate_db_ids=False)
    return plan["artifact_path"], plan["row_identity"]["path"]


def create(index: bytes, out: Path) -> int:
    m = zm.create_manifest(index, out, "enc", row_id_is_identity=True,
                           auxiliary_artifacts=[{"name": "tok", "path": Path("tok.json"), "required": False}])
    size: int = m["artifact"]["file_size_bytes"]
    limit: int = zm.default_resource_limits()["max_report_issues"]
    digest: str = zm.sha256_file(index)["sha256"]
    report = zm.verify_manifest(out, index=index, max_report_issues=limit)
    meta = report["artifact"]["metadata"]
    return size + (meta["dim"] if meta is not None else 0) + len(digest) + len(failing_codes(report))

"""A small typed caller of zarnik_manifest, checked with mypy --strict."""

from __future__ import annotations

import os
from pathlib import Path
from typing import TYPE_CHECKING

import zarnik_manifest as zm

if TYPE_CHECKING:
    from zarnik_manifest import IndexManifest, VerificationReport, VerifiedLoadPlan


def describe(manifest_path: str | os.PathLike[str]) -> str:
    manifest: IndexManifest = zm.inspect_manifest(manifest_path, max_manifest_bytes=1 << 20)
    rows = manifest["row_identity"]
    where = rows["path"] if rows["kind"] == "jsonl" else "identity"
    aux = [a["name"] for a in manifest.get("auxiliary_artifacts", [])]
    return f"{manifest['artifact']['kind']} {manifest['artifact']['vector_count']} {where} {aux}"


def create(index: bytes, out: Path) -> tuple[int, str, str | None]:
    m = zm.create_manifest(index, out, "enc", row_id_is_identity=True,
                           auxiliary_artifacts=[{"name": "tok", "path": Path("tok.json"), "required": False}])
    limit: int = zm.default_resource_limits()["max_report_issues"]
    report: VerificationReport = zm.verify_manifest(out, index=index, max_report_issues=limit)
    meta = report["artifact"]["metadata"]
    plan: VerifiedLoadPlan = zm.verify_for_load(out, allow_duplicate_db_ids=False)
    size: int = m["artifact"]["file_size_bytes"] + (meta["dim"] if meta is not None else 0)
    codes: list[str] = [issue["code"] for issue in report["errors"]]
    return size + len(zm.sha256_file(index)["sha256"]) + len(codes), plan["artifact_path"], plan["row_identity"]["path"]

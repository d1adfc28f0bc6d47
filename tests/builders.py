"""Builders for index files, row maps and manifests, written from the file formats, never by the module."""

from __future__ import annotations

import copy
import functools
import hashlib
import json
import os
import struct
import subprocess
import sys
import uuid
from pathlib import Path

import pytest

import zarnik_manifest as zm

MAGICS = {"rank": b"ZKR1", "rank_quant": b"ZKRQ", "bitmap": b"ZKBM", "sign_bitmap": b"ZKSB", "fastscan": b"ZKFS"}
LEGACY = {"rank": b"YQR1", "rank_quant": b"YQRQ", "bitmap": b"YQBM", "sign_bitmap": b"YQSB"}
DEFAULT_INDEX = {"rank": dict(dim=4), "rank_quant": dict(dim=8, bits=2), "bitmap": dict(dim=64, n_top=8),
                 "sign_bitmap": dict(dim=64)}
DELETE = object()


def header(kind: str, *, dim: int, n: int, bits: int = 2, n_top: int = 1, version: int = 1, legacy=False) -> bytes:
    magic = (LEGACY if legacy else MAGICS)[kind]
    if kind in ("rank", "sign_bitmap"):
        return magic + bytes([version]) + struct.pack("<II", dim, n)
    if kind == "rank_quant":
        return magic + bytes([version, bits]) + struct.pack("<II", dim, n)
    if kind == "bitmap":
        return magic + bytes([version]) + struct.pack("<III", dim, n_top, n)
    return magic


def bytes_per_vec(kind: str, dim: int, bits: int = 2) -> int:
    return {"rank": dim * 2, "rank_quant": dim * bits // 8, "bitmap": dim // 8, "sign_bitmap": dim // 8}[kind]


def index_bytes(kind: str = "rank_quant", *, n: int = 3, seed: int = 1, **kw) -> bytes:
    params = {**DEFAULT_INDEX[kind], **kw}
    payload_len = n * bytes_per_vec(kind, params["dim"], params.get("bits", 2))
    return header(kind, n=n, **params) + bytes((seed * 7 + i * 13) & 0xFF for i in range(payload_len))


def params_json(kind: str, **kw) -> dict:
    params = {**DEFAULT_INDEX[kind], **kw}
    extra = {"rank_quant": "bits", "bitmap": "n_top"}.get(kind)
    return {"kind": kind, extra: params[extra]} if extra else {"kind": kind}


def row_map_lines(n: int, *, parent=False) -> list[str]:
    return [json.dumps({"row_id": i, "db_id": str(uuid.UUID(int=i + 1)),
                        "parent_id": str(uuid.UUID(int=10**6 + i)) if parent else None}, separators=(",", ":"))
            for i in range(n)]


def write_row_map(path: Path, n: int, **kw) -> bytes:
    data = "".join(line + "\n" for line in row_map_lines(n, **kw)).encode()
    path.write_bytes(data)
    return data


def sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


class Bundle:
    """A directory holding an index, optionally a row map, and a manifest describing them."""

    def __init__(self, root: Path, kind: str = "rank_quant", *, n: int = 3, row_map: bool = True, **index_kw):
        self.root, self.kind = root, kind
        root.mkdir(parents=True, exist_ok=True)
        self.index_path, self.index = root / f"index.{kind}", index_bytes(kind, n=n, **index_kw)
        self.index_path.write_bytes(self.index)
        params = {**DEFAULT_INDEX[kind], **index_kw}
        dim = params["dim"]
        self.manifest = {
            "schema_version": "zarnik.index_manifest.v1", "manifest_id": "urn:uuid:" + str(uuid.UUID(int=42)),
            "created_at": "2024-05-01T12:00:00Z",
            "artifact": {"path": self.index_path.name, "sha256": sha256(self.index), "kind": kind, "format_version": 1,
                         "dim": dim, "vector_count": n, "bytes_per_vec": bytes_per_vec(kind, dim, params.get("bits", 2)),
                         "params": params_json(kind, **index_kw), "file_size_bytes": len(self.index)},
            "embedding": {"model": "test-model", "dim": dim},
            "row_identity": {"kind": "row_id_identity", "row_count": n}}
        if row_map:
            self.row_map_path = root / "rows.jsonl"
            data = write_row_map(self.row_map_path, n)
            self.manifest["row_identity"] = {"kind": "jsonl", "path": "rows.jsonl", "sha256": sha256(data),
                                             "row_count": n, "id_kind": "uuid"}
        self.manifest_path = root / "manifest.json"

    def add_auxiliary(self, name: str, data: bytes, *, path: str | None = None, required: bool | None = None) -> dict:
        rel = path or f"aux-{len(self.manifest.get('auxiliary_artifacts', []))}.bin"
        entry = {"name": name, **write_profile_file(self, rel, data)}
        if required is not None:
            entry["required"] = required
        self.manifest.setdefault("auxiliary_artifacts", []).append(entry)
        return entry

    def write(self, manifest: dict | None = None, **json_kw) -> Path:
        self.manifest_path.write_text(json.dumps(self.manifest if manifest is None else manifest, **json_kw))
        return self.manifest_path

    def edited(self, **changes) -> dict:
        return edited(self.manifest, **changes)


def edited(doc: dict, **changes) -> dict:
    """A deep copy of doc with dotted-path changes: edited(m, **{"artifact.dim": 5}); digits index lists."""
    doc = copy.deepcopy(doc)
    for dotted, value in changes.items():
        *parents, last = dotted.split(".")
        node = functools.reduce(lambda n, p: n[int(p)] if isinstance(n, list) else n[p], parents, doc)
        if value is DELETE:
            node.pop(last, None)
        else:
            node[last] = value
    return doc


def issue_codes(report: dict) -> list[str]:
    return [i["code"] for i in report["errors"]]


def issues(report: dict, prefix: str = "") -> list[tuple[str, str]]:
    """(code without `prefix`, message) of each error whose code starts with `prefix`."""
    return [(i["code"].removeprefix(prefix), i["message"]) for i in report["errors"] if i["code"].startswith(prefix)]


def verify(bundle: Bundle, manifest: dict | None = None, **kw) -> dict:
    return zm.verify_manifest(str(bundle.write(manifest)), **kw)


def write_profile_file(bundle: Bundle, rel: str, data: bytes) -> dict:
    """Writes a file under the bundle and returns its path, digest and size entries."""
    target = bundle.root / rel
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_bytes(data)
    return {"path": rel, "sha256": sha256(data), "file_size_bytes": len(data)}


def calibration_block(bundle: Bundle, data: bytes = bytes(128), rel: str = "calibration.bin") -> dict:
    """A clean block for the default bundle: bucket ordinalization, weighted-marginal null model, [8, 4] profile."""
    profile = write_profile_file(bundle, rel, data)
    profile.update(dim=8, sample_count=1000, parameterization="bucket_frequency", format="raw_f32_le", shape=[8, 4])
    return {"schema_version": "zarnik.calibration.v1", "profile_id": "cal-1",
            "calibrated_for": {"model": "test-model", "dim": 8},
            "ordinalization": {"kind": "bucket", "dim": 8, "bits": 2}, "profile": profile,
            "null_model": {"kind": "weighted_marginal_profile", "parameterization": "bucket_frequency"}}


def encoder_distortion_block(bundle: Bundle, data: bytes = b'{"pairs": []}', rel: str = "distortion.json") -> dict:
    """A clean encoder_distortion block for the default bundle, with a profile file."""
    return {"schema_version": "zarnik.encoder_distortion.v1", "profile_id": "ed-1",
            "encoder": {"model": "test-model", "dim": 8}, "source_metric": {"name": "cosine"},
            "embedding_metric": {"name": "hamming"},
            "bounds": {"declared_lower_bound": 1.0, "declared_upper_bound": 3.0, "estimated_distortion": 3.0},
            "scope": {}, "evidence": {"kind": "empirical_sample"},
            "profile": {**write_profile_file(bundle, rel, data), "format": "json"}}


BASELINE = "import json, zarnik_manifest as zm\n"


def peak_rss_kib(code: str) -> int:
    """Peak resident set (KiB) of a child running `code` (RUSAGE_CHILDREN of a parent with only that child)."""
    wrapper = ("import resource, subprocess, sys\n"
               "subprocess.run([sys.executable, '-c', sys.argv[1]], check=True)\n"
               "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    out = subprocess.run([sys.executable, "-c", wrapper, code], capture_output=True, text=True, check=True, timeout=600)
    return int(out.stdout.split()[-1])


def sparse(path: Path, head: bytes, size: int) -> None:
    """Writes `head`, then extends the file to `size` bytes as a hole (no storage on tmpfs; reads return zeros)."""
    with open(path, "wb") as fh:
        fh.write(head)
        fh.truncate(size)


def full_bundle(root: Path, aux: bytes = b"auxiliary bytes") -> Bundle:
    """A bundle under root/m with every file role present and clean."""
    b = Bundle(root / "m")
    b.add_auxiliary("tok", aux)
    b.manifest["calibration"] = calibration_block(b)
    b.manifest["encoder_distortion"] = encoder_distortion_block(b)
    return b


# Under AddressSanitizer, shadow memory and the free quarantine make RSS figures meaningless.
SANITIZED = os.environ.get("ZM_SANITIZED") == "1"
skip_rss_when_sanitized = pytest.mark.skipif(SANITIZED, reason="RSS is not meaningful under ASan")

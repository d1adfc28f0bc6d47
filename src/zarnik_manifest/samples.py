"""Writers of small sample data: index files of the four zarnik formats (from their
header layouts), JSON-lines row maps and auxiliary files.

Nothing here calls the native module, so the files can serve as independent inputs
for demos, tests and benchmarks. Every writer refuses parameters its format's header
rules would reject, so a written sample always probes cleanly.
"""

from __future__ import annotations

import json
import os
import random
import struct
from pathlib import Path
from typing import Any, Union

PathLike = Union[str, "os.PathLike[str]"]

#: Current magic of each format, keyed by the manifest's kind name.
MAGICS = {"rank": b"ZKR1", "rank_quant": b"ZKRQ", "bitmap": b"ZKBM", "sign_bitmap": b"ZKSB"}
#: Older magics accepted as the same formats.
LEGACY_MAGICS = {"rank": b"YQR1", "rank_quant": b"YQRQ", "bitmap": b"YQBM", "sign_bitmap": b"YQSB"}
#: Header length of each format.
HEADER_BYTES = {"rank": 13, "rank_quant": 14, "bitmap": 17, "sign_bitmap": 13}
#: File extension of each format.
EXTENSIONS = {"rank": "zkr", "rank_quant": "zkrq", "bitmap": "zkbm", "sign_bitmap": "zksb"}
#: Parameters that give a small valid file of each format.
DEFAULTS = {
    "rank": {"dim": 8},
    "rank_quant": {"dim": 16, "bits": 2},
    "bitmap": {"dim": 64, "n_top": 8},
    "sign_bitmap": {"dim": 64},
}

MAX_VECTORS = 1 << 26
_CHUNK = 1 << 20


def _check(kind: str, dim: int, n_vectors: int, bits: int | None, n_top: int | None) -> None:
    if kind not in MAGICS:
        raise ValueError(f"unknown index kind {kind!r}; expected one of {', '.join(MAGICS)}")
    if not 0 <= n_vectors <= MAX_VECTORS:
        raise ValueError(f"n_vectors {n_vectors} outside 0..{MAX_VECTORS}")
    if kind == "sign_bitmap":
        if not (64 <= dim <= 1 << 24 and dim % 64 == 0):
            raise ValueError(f"sign_bitmap dim {dim} must be a multiple of 64 in 64..16777216")
        return
    if not 2 <= dim <= 65535:
        raise ValueError(f"{kind} dim {dim} outside 2..65535")
    if kind == "rank_quant":
        if bits not in (1, 2, 4):
            raise ValueError(f"rank_quant bits {bits} must be 1, 2 or 4")
        if dim % (1 << bits) or dim % (8 // bits):
            raise ValueError(f"rank_quant dim {dim} must be a multiple of {max(1 << bits, 8 // bits)} for bits {bits}")
    if kind == "bitmap":
        if dim % 64:
            raise ValueError(f"bitmap dim {dim} must be a multiple of 64")
        if n_top is None or not 0 < n_top < dim:
            raise ValueError(f"bitmap n_top {n_top} must satisfy 0 < n_top < dim ({dim})")


def bytes_per_vec(kind: str, dim: int, bits: int | None = None) -> int:
    """Payload bytes of one vector in the format `kind`."""
    if kind == "rank":
        return dim * 2
    if kind == "rank_quant":
        return dim * (bits or 0) // 8
    return dim // 8


def index_header(kind: str, *, dim: int | None = None, n_vectors: int = 4, bits: int | None = None,
                 n_top: int | None = None, legacy: bool = False) -> bytes:
    """The header of an index file of format `kind` (magic, version 1, its fields)."""
    params = {**DEFAULTS.get(kind, {}), **{k: v for k, v in (("dim", dim), ("bits", bits), ("n_top", n_top)) if v is not None}}
    dim, bits, n_top = params.get("dim", 0), params.get("bits"), params.get("n_top")
    _check(kind, dim, n_vectors, bits, n_top)
    magic = (LEGACY_MAGICS if legacy else MAGICS)[kind]
    if kind == "rank_quant":
        assert bits is not None
        return magic + bytes([1, bits]) + struct.pack("<II", dim, n_vectors)
    if kind == "bitmap":
        assert n_top is not None
        return magic + bytes([1]) + struct.pack("<III", dim, n_top, n_vectors)
    return magic + bytes([1]) + struct.pack("<II", dim, n_vectors)


def payload_bytes(kind: str, *, dim: int | None = None, n_vectors: int = 4, bits: int | None = None) -> int:
    """Number of payload bytes the header of such a file declares."""
    params = {**DEFAULTS[kind], **({"dim": dim} if dim is not None else {}), **({"bits": bits} if bits is not None else {})}
    return n_vectors * bytes_per_vec(kind, params["dim"], params.get("bits"))


def write_index(path: PathLike, kind: str, *, dim: int | None = None, n_vectors: int = 4, bits: int | None = None,
                n_top: int | None = None, legacy: bool = False, seed: int = 0) -> int:
    """Writes a valid index file of format `kind` with a pseudo-random payload (streamed in
    1 MiB chunks, so large files cost little memory). Returns the file's size."""
    head = index_header(kind, dim=dim, n_vectors=n_vectors, bits=bits, n_top=n_top, legacy=legacy)
    remaining = payload_bytes(kind, dim=dim, n_vectors=n_vectors, bits=bits)
    block = random.Random(seed).randbytes(min(remaining, _CHUNK))
    with open(path, "wb") as fh:
        fh.write(head)
        while remaining:
            piece = block[: min(remaining, len(block))]
            fh.write(piece)
            remaining -= len(piece)
    return os.path.getsize(path)


def row_id_uuid(i: int, namespace: int = 0) -> str:
    """A distinct UUID for row `i`: the 128-bit value (namespace << 64) | (i + 1) with the
    version 4 and RFC 4122 variant bits set, in lowercase hyphenated form (the same text
    as str(uuid.UUID(int=..., version=4)), built without the uuid module for speed)."""
    high, low = namespace & 0xFFFFFFFFFFFFFFFF, (i + 1) & 0xFFFFFFFFFFFFFFFF
    return (f"{high >> 32:08x}-{(high >> 16) & 0xFFFF:04x}-{(high & 0x0FFF) | 0x4000:04x}-"
            f"{((low >> 48) & 0x3FFF) | 0x8000:04x}-{low & 0xFFFFFFFFFFFF:012x}")


def row_map_line(i: int, *, namespace: int = 0, parent: bool = False) -> str:
    """One compact row-map line for row `i`, without the line feed."""
    if parent:
        return f'{{"row_id":{i},"db_id":"{row_id_uuid(i, namespace)}","parent_id":"{row_id_uuid(i, namespace + 1)}"}}'
    return f'{{"row_id":{i},"db_id":"{row_id_uuid(i, namespace)}"}}'


def row_map_bytes(n_rows: int, *, namespace: int = 0, parent: bool = False, crlf: bool = False) -> bytes:
    """A JSON-lines row map of `n_rows` rows numbered from 0, every line terminated."""
    end = "\r\n" if crlf else "\n"
    return "".join(row_map_line(i, namespace=namespace, parent=parent) + end for i in range(n_rows)).encode()


def write_row_map(path: PathLike, n_rows: int, **kw: Any) -> bytes:
    """Writes a row map of `n_rows` rows (see row_map_bytes) in 1 MiB pieces; returns the
    bytes of small maps, or b"" for maps of a million rows or more."""
    if n_rows < 1_000_000:
        data = row_map_bytes(n_rows, **kw)
        Path(path).write_bytes(data)
        return data
    step = 10_000
    with open(path, "wb") as fh:
        for start in range(0, n_rows, step):
            end = "\r\n" if kw.get("crlf") else "\n"
            fh.write("".join(row_map_line(i, namespace=kw.get("namespace", 0), parent=kw.get("parent", False)) + end
                             for i in range(start, min(n_rows, start + step))).encode())
    return b""


def write_auxiliary(path: PathLike, data: bytes | None = None) -> bytes:
    """Writes an auxiliary file (by default a small tokenizer-like JSON text); returns its bytes."""
    if data is None:
        data = json.dumps({"vocab": ["<pad>", "<unk>", "the", "index"], "version": 1}, indent=2).encode() + b"\n"
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    Path(path).write_bytes(data)
    return data


def write_sample_set(directory: PathLike, *, n_vectors: int = 4) -> dict[str, Any]:
    """Writes one index of each format, a row map of `n_vectors` rows and one auxiliary
    file into `directory`. Returns {"indexes": {kind: path}, "row_map": path, "auxiliary": path}."""
    root = Path(directory)
    root.mkdir(parents=True, exist_ok=True)
    indexes = {}
    for seed, kind in enumerate(MAGICS):
        path = root / f"sample.{EXTENSIONS[kind]}"
        write_index(path, kind, n_vectors=n_vectors, seed=seed)
        indexes[kind] = str(path)
    row_map = root / "rows.jsonl"
    write_row_map(row_map, n_vectors)
    aux = root / "tokenizer.json"
    write_auxiliary(aux)
    return {"indexes": indexes, "row_map": str(row_map), "auxiliary": str(aux)}

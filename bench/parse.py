"""inspect_manifest on a ~1 MiB manifest (large attestations and extensions) against
json.loads of the same bytes: both return a dict; inspect_manifest also reads the file
within its limit, validates the schema and re-serialises."""

from __future__ import annotations

import json
import os
import sys
import tempfile
import time

import zarnik_manifest as zm
from timing import best



def manifest(target_bytes: int) -> dict:
    m = {
        "schema_version": "zarnik.index_manifest.v1",
        "manifest_id": "urn:uuid:00000000-0000-4000-8000-000000000001",
        "created_at": "2024-05-01T12:00:00Z",
        "artifact": {"path": "index.zkrq", "sha256": "0" * 64, "kind": "rank_quant", "format_version": 1,
                     "dim": 8, "vector_count": 3, "bytes_per_vec": 2, "params": {"kind": "rank_quant", "bits": 2},
                     "file_size_bytes": 20},
        "embedding": {"model": "bench-model", "dim": 8},
        "row_identity": {"kind": "row_id_identity", "row_count": 3},
        "attestations": [],
        "extensions": {},
    }
    i = 0
    while len(json.dumps(m)) < target_bytes:
        m["attestations"].append({
            "_type": "https://in-toto.io/Statement/v1",
            "predicateType": "https://slsa.dev/provenance/v1",
            "subject": [{"name": f"index-{i}.zkrq", "digest": {"sha256": f"{i:064x}"}}],
            "predicate": {"builder": {"id": f"https://ci.example/builder/{i}"},
                          "runDetails": {"metadata": {"invocationId": f"run-{i}", "startedOn": "2024-05-01T12:00:00Z"}},
                          "materials": [{"uri": f"git+https://example/repo@{i:040x}", "weight": i * 0.5}]},
        })
        m["extensions"][f"acme.metric-{i}"] = {"values": [i, i + 0.25, -i], "label": f"metric number {i}", "ok": True}
        i += 1
    return m


def main() -> int:
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "manifest.json")
        data = json.dumps(manifest(1000 * 1024)).encode()  # within the default 1 MiB limit
        with open(path, "wb") as fh:
            fh.write(data)
        t_inspect = best(lambda: zm.inspect_manifest(path), repeat=20)
        t_loads = best(lambda: json.loads(data), repeat=20)
        print(f"manifest: {len(data) / (1 << 20):.2f} MiB")
        print(f"  inspect_manifest   {t_inspect * 1e3:7.2f} ms")
        print(f"  json.loads         {t_loads * 1e3:7.2f} ms")
        print(f"  inspect_manifest / json.loads: {t_inspect / t_loads:.2f}x (goal <= 1.0x)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""inspect_manifest on 1 to 10 MB manifests (large attestations and extensions; sizes in
ZM_BENCH_MANIFEST_BYTES, comma-separated) against json.loads of the same bytes: both return
a dict; inspect_manifest also reads the file within its limit, validates the schema and
re-serialises."""

from __future__ import annotations

import json
import os
import sys
import tempfile

import zarnik_manifest as zm
from benchlib import ROUNDS, figure, info, interleaved, median_ratio, median_time


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
    size = len(json.dumps(m))
    while size < target_bytes:
        m["attestations"].append({
            "_type": "https://in-toto.io/Statement/v1",
            "predicateType": "https://slsa.dev/provenance/v1",
            "subject": [{"name": f"index-{i}.zkrq", "digest": {"sha256": f"{i:064x}"}}],
            "predicate": {"builder": {"id": f"https://ci.example/builder/{i}"},
                          "runDetails": {"metadata": {"invocationId": f"run-{i}", "startedOn": "2024-05-01T12:00:00Z"}},
                          "materials": [{"uri": f"git+https://example/repo@{i:040x}", "weight": i * 0.5}]},
        })
        m["extensions"][f"acme.metric-{i}"] = {"values": [i, i + 0.25, -i], "label": f"metric number {i}", "ok": True}
        # Each entry adds its own text and two ", " separators to the whole.
        size += len(json.dumps(m["attestations"][-1])) + len(json.dumps(m["extensions"][f"acme.metric-{i}"])) + \
            len(f'"acme.metric-{i}": ') + 4
        i += 1
    return m


def main() -> int:
    sizes = [int(x) for x in os.environ.get("ZM_BENCH_MANIFEST_BYTES", "1000000,4000000,10000000").split(",")]
    with tempfile.TemporaryDirectory() as tmp:
        worst = 0.0
        for size in sizes:
            path = os.path.join(tmp, f"manifest-{size}.json")
            data = json.dumps(manifest(size)).encode()
            with open(path, "wb") as fh:
                fh.write(data)
            limit = max(len(data), zm.default_resource_limits()["max_manifest_bytes"])
            rounds = interleaved({"inspect": lambda: zm.inspect_manifest(path, max_manifest_bytes=limit),
                                  "loads": lambda: json.loads(data)}, rounds=max(ROUNDS, 21))
            ratio = median_ratio(rounds, lambda r: r["inspect"] / r["loads"])
            info(f"{len(data) / 1e6:5.1f} MB: inspect_manifest {median_time(rounds, 'inspect') * 1e3:7.2f} ms, "
                 f"json.loads {median_time(rounds, 'loads') * 1e3:7.2f} ms, ratio {ratio:.2f}")
            worst = max(worst, ratio)
        figure("inspect_manifest / json.loads (worst size)", worst, 1.3)
    return 0


if __name__ == "__main__":
    sys.exit(main())

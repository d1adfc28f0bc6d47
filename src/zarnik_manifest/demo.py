"""Runs the main job on built-in sample data: `python -m zarnik_manifest.demo`."""

from __future__ import annotations

import os
import tempfile

import zarnik_manifest as zm


def main() -> int:
    with tempfile.TemporaryDirectory(prefix="zarnik-demo-") as tmp:
        sample = os.path.join(tmp, "sample.bin")
        with open(sample, "wb") as fh:
            for i in range(4096):
                fh.write(i.to_bytes(4, "little") * 64)
        digest = zm.sha256_file(sample)
        print(f"sha256_file({os.path.basename(sample)}): {digest['sha256']} ({digest['size_bytes']} bytes)")
    print("default resource limits:")
    for key, value in zm.default_resource_limits().items():
        print(f"  {key:<40} {value}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())

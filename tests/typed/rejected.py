"""Misuses that the stubs must make mypy reject: each line marked `# E` is an error."""

import zarnik_manifest as zm

zm.verify_manifest("m.json", allow_path_escape=1)  # E
zm.verify_manifest("m.json", "index.zkr")  # E
zm.inspect_manifest(3)  # E
zm.create_manifest("i", "o", "m", max_report_issues="10")  # E
zm.create_manifest("i", "o", "m", auxiliary_artifacts=[{"name": "a"}])  # E
report = zm.verify_manifest("m.json")
report["artifact"]["metadata"]["dim"]  # E
report["errors"][0]["reason"]  # E
flag: bool = report["manifest_id"]  # E
bits: int = zm.inspect_manifest("m.json")["artifact"]["params"]["bits"]  # E
kind: int = zm.verify_for_load("m.json")["metadata"]["kind"]  # E

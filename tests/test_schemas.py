"""The shipped JSON Schemas accept exactly the manifests the parser accepts (for the shapes a schema
can express) and reject the report and plan faults a consumer relies on them to catch."""

import copy
import functools
import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

import zarnik_manifest as zm
from builders import DELETE, Bundle, calibration_block
from conftest import SCHEMAS, check_schema

ROOT = Path(__file__).resolve().parent.parent


def test_schema_files_are_generated_and_valid_draft_2020_12():
    r = subprocess.run([sys.executable, str(ROOT / "tools/gen_schemas.py"), "--check"], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    for validator in SCHEMAS.values():
        type(validator).check_schema(validator.schema)
        assert validator.schema["$schema"] == "https://json-schema.org/draft/2020-12/schema"


# (edit, parses): the schema must agree with the strict parser on each.
MANIFEST_EDITS = [
    ({"build": None, "embedding.pooling": None}, True),
    ({"extensions": {"org.x": {"any": [1, None]}}, "attestations": [{"k": 1}, 2]}, True),
    ({"calibration.null_model": {"kind": "caller_defined", "name": "n"}}, True),
    ({"unexpected": 1}, False), ({"artifact.params": {"kind": "rank_quant"}}, False),
    ({"artifact.params": {"kind": "rank", "bits": 2}}, False), ({"artifact.format_version": 256}, False),
    ({"artifact.kind": "fastscan"}, False), ({"artifact.dim": -1}, False), ({"auxiliary_artifacts": None}, False),
    ({"embedding.dim": None}, False), ({"row_identity.id_kind": DELETE}, False),
    ({"calibration.ordinalization": {"kind": "top_k", "dim": 8}}, False),
    ({"calibration.null_model": {"kind": "weighted_marginal_profile", "parameterization": "MarginalTopKFrequency"}},
     False),
    ({"calibration.profile.shape": None}, False),
]


@pytest.mark.parametrize("edits,parses", MANIFEST_EDITS)
def test_manifest_schema_agrees_with_the_parser(tmp_path, edits, parses):
    bundle = Bundle(tmp_path)
    bundle.manifest["calibration"] = calibration_block(bundle)
    manifest = bundle.edited(**edits)
    path = bundle.write(manifest)
    assert SCHEMAS["index-manifest"].is_valid(manifest) is parses
    if parses:
        zm.inspect_manifest(path)
    else:
        with pytest.raises(ValueError):
            zm.inspect_manifest(path)


def mutated(doc: dict, dotted: str, value) -> dict:
    doc = copy.deepcopy(doc)
    *parents, last = dotted.split(".")
    node = functools.reduce(lambda n, p: n[int(p)] if isinstance(n, list) else n[p], parents, doc)
    if value is DELETE:
        del node[last]
    else:
        node[last] = value
    return doc


# Faults in a report or plan that a consumer's validation must catch.
RESULT_FAULTS = [
    *[("verification-report", dotted, value) for dotted, value in [
        ("extra", 1), ("warnings", DELETE), ("ok", False),  # ok must be true exactly when errors is empty
        ("errors", [{"code": "x_failed", "message": "m"}]), ("artifact.size_bytes", -1),
        ("artifact.metadata.params", {"kind": "bitmap"}),
        ("calibration.profile_id", "cal-1"),  # absent block: every field null
        ("auxiliary_artifacts.0.state", "missing"), ("checked_at", "2024-05-01T12:00:00Z")]],
    *[("load-plan", dotted, value) for dotted, value in [
        ("report.ok", False), ("row_identity.path", None), ("auxiliary_artifacts.0.state", "failed"),
        ("auxiliary_artifacts.0.path", None)]],
]


@pytest.mark.parametrize("kind,dotted,value", RESULT_FAULTS)
def test_result_schemas_reject_faults(tmp_path, kind, dotted, value):
    bundle = Bundle(tmp_path)
    bundle.add_auxiliary("tokenizer", b"tok")
    path = bundle.write()
    doc = zm.verify_manifest(path) if kind == "verification-report" else zm.verify_for_load(path)
    assert SCHEMAS[kind].is_valid(doc)
    assert not SCHEMAS[kind].is_valid(mutated(doc, dotted, value))


def test_documented_validation_example_runs(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (block,) = re.findall(r"```python\n(.*?)```", (ROOT / "docs" / "schemas.md").read_text(), re.S)
    exec(compile(block, "docs/schemas.md", "exec"), {})


@pytest.mark.parametrize("command,clean,kind", [
    ("verify", True, "verification-report"), ("verify", False, "verification-report"), ("plan", True, "load-plan"),
    ("plan", False, "command-error"), ("verify", None, "command-error"), ("plan", None, "command-error"),
])
def test_command_line_json_conforms(tmp_path, command, clean, kind):
    bundle = Bundle(tmp_path)
    path = bundle.write() if clean else bundle.write(bundle.edited(**{"artifact.sha256": "0" * 64}))
    args = [command, str(path if clean is not None else tmp_path / "absent.json")] + (["--json"] * (command == "verify"))
    r = subprocess.run([sys.executable, "-m", "zarnik_manifest", *args], capture_output=True, text=True)
    check_schema(kind, json.loads(r.stdout))

"""The user documentation agrees with the code: every reason code the native sources can
emit is documented and nothing else is, and the example manifest verifies."""

import json
import re
from pathlib import Path

import pytest

import zarnik_manifest as zm
from zarnik_manifest import samples

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"

# A reason code names a manifest subject and a failure.
SUBJECTS = ("artifact", "auxiliary_artifact", "row_identity", "embedding", "build", "calibration",
            "encoder_distortion", "schema_version", "manifest", "created_at", "extension", "attestation",
            "verification")
FAILURES = {"absent", "duplicate", "empty", "exceeded", "failed", "invalid", "large", "mismatch", "missing",
            "namespaced", "nul", "rejected", "required", "trimmed", "unavailable", "unexpected", "unsupported",
            "whitespace", "zero"}
CODE_SHAPE = re.compile(r"^(?:%s)_[a-z0-9_]+$" % "|".join(SUBJECTS))
LITERAL = re.compile(r'"([a-z0-9_{}]+)"')

# Codes formed at run time: the file that formats them, and what fills the "{}".
TEMPLATE_FILLERS = {
    "path_policy.cpp": ("artifact", "row_identity", "calibration_profile", "encoder_distortion_profile"),
    "profile_file.cpp": ("calibration_profile", "encoder_distortion_profile"),
    "row_line.cpp": ("db_id", "parent_id"),
    "rules.cpp": ("encoder_distortion_source_metric", "encoder_distortion_embedding_metric"),
}


def native_literals():
    for path in sorted((ROOT / "native").rglob("*.cpp")):
        text = re.sub(r"(?m)^\s*//.*$", "", path.read_text())
        for m in LITERAL.finditer(text):
            yield path.name, m.group(1), text


def emitted_codes() -> set[str]:
    codes, seen_templates = set(), set()
    for name, literal, text in native_literals():
        if "{}" not in literal:
            if CODE_SHAPE.match(literal) and FAILURES & set(literal.split("_")):
                codes.add(literal)
            continue
        if not FAILURES & set(literal.split("_")) and literal != "{}_{}":
            continue
        assert name in TEMPLATE_FILLERS, f"{name} formats codes from {literal!r}: add its fillers to this test"
        seen_templates.add(name)
        fillers = TEMPLATE_FILLERS[name]
        if literal == "{}_{}":  # the path policy: label plus the suffix handed to issue()
            suffixes = re.findall(r'issue\(\s*"([a-z_]+)"', text)
            assert suffixes, "path policy suffixes not found"
            codes.update(f"{f}_{s}" for f in fillers for s in suffixes)
        else:
            codes.update(literal.replace("{}", f) for f in fillers)
    assert seen_templates == set(TEMPLATE_FILLERS), "a templated code family disappeared: update this test"
    return codes


def test_every_emitted_code_is_documented_and_every_documented_code_is_emitted():
    literals = {literal for _, literal, _ in native_literals()}
    assert not {f for fillers in TEMPLATE_FILLERS.values() for f in fillers} - literals, "a filler left the sources"
    emitted = emitted_codes()
    documented = set(re.findall(r"^\| `([a-z0-9_]+)` \|", (DOCS / "reason-codes.md").read_text(), re.M))
    assert {"artifact_sha256_mismatch", "row_identity_parent_id_invalid_uuid",
            "encoder_distortion_profile_path_unavailable", "calibration_profile_too_large"} <= emitted
    assert sorted(emitted - documented) == [], "codes the page lacks"
    assert sorted(documented - emitted) == [], "codes the page lists that nothing emits"


@pytest.mark.parametrize("break_it, code", [(None, None), ("index", "artifact_sha256_mismatch"),
                                             ("rows", "row_identity_sha256_mismatch")])
def test_example_manifest_verifies_against_sample_files(tmp_path, break_it, code):
    (block,) = re.findall(r"```json\n(.*?)```", (DOCS / "manifest-format.md").read_text(), re.S)
    m = json.loads(block)
    art, rows = m["artifact"], m["row_identity"]
    samples.write_index(tmp_path / art["path"], art["kind"], dim=art["dim"], n_vectors=art["vector_count"],
                        bits=art["params"].get("bits"), seed=99 if break_it == "index" else 0)
    samples.write_row_map(tmp_path / rows["path"], rows["row_count"], namespace=7 if break_it == "rows" else 0)
    for aux in m.get("auxiliary_artifacts", []):
        samples.write_auxiliary(tmp_path / aux["path"])
    (tmp_path / "manifest.json").write_text(json.dumps(m))
    report = zm.verify_manifest(tmp_path / "manifest.json")
    assert [i["code"] for i in report["errors"]] == ([code] if code else [])

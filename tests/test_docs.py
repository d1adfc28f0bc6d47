"""The user documentation agrees with the code: every reason code the native sources can
emit is documented and nothing else is, and the example manifest verifies."""

import json
import re
from pathlib import Path

import pytest

import zarnik_manifest as zm
from zarnik_manifest import samples

ROOT = Path(__file__).resolve().parent.parent
NATIVE = ROOT / "native"
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
PATH_LABELS = ("artifact", "row_identity", "calibration_profile", "encoder_distortion_profile")
TEMPLATE_FILLERS = {
    "path_policy.cpp": PATH_LABELS,
    "profile_file.cpp": ("calibration_profile", "encoder_distortion_profile"),
    "row_line.cpp": ("db_id", "parent_id"),
    "rules.cpp": ("encoder_distortion_source_metric", "encoder_distortion_embedding_metric"),
}


def native_literals():
    for path in sorted(NATIVE.rglob("*.cpp")):
        text = re.sub(r"(?m)^\s*//.*$", "", path.read_text())
        for m in LITERAL.finditer(text):
            yield path.name, m.group(1), text


def is_code(text: str) -> bool:
    return bool(CODE_SHAPE.match(text)) and bool(FAILURES & set(text.split("_")))


def emitted_codes() -> set[str]:
    codes, seen_templates = set(), set()
    for name, literal, text in native_literals():
        if "{}" not in literal:
            if is_code(literal):
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


def documented_codes() -> set[str]:
    return set(re.findall(r"^\| `([a-z0-9_]+)` \|", (DOCS / "reason-codes.md").read_text(), re.M))


def test_fillers_still_exist_in_the_sources():
    literals = {literal for _, literal, _ in native_literals()}
    missing = {f for fillers in TEMPLATE_FILLERS.values() for f in fillers} - literals
    assert not missing


def test_every_emitted_code_is_documented_and_every_documented_code_is_emitted():
    emitted, documented = emitted_codes(), documented_codes()
    assert {"artifact_sha256_mismatch", "row_identity_parent_id_invalid_uuid",
            "encoder_distortion_profile_path_unavailable", "calibration_profile_too_large"} <= emitted
    assert sorted(emitted - documented) == [], "codes the page lacks"
    assert sorted(documented - emitted) == [], "codes the page lists that nothing emits"


def test_codes_the_module_reports_are_documented(tmp_path):
    # A live cross-check of the scan: a broken manifest's real codes are all on the page.
    samples.write_index(tmp_path / "i.zkr", "rank", n_vectors=3)
    manifest = zm.create_manifest(tmp_path / "i.zkr", tmp_path / "m.json", "enc", row_id_is_identity=True)
    manifest.update(manifest_id=" ", created_at="yesterday", extensions={"plain": 1})
    manifest["artifact"].update(sha256="0" * 64, path="../i.zkr")
    manifest["embedding"]["dim"] = 0
    (tmp_path / "m.json").write_text(json.dumps(manifest))
    codes = {i["code"] for i in zm.verify_manifest(tmp_path / "m.json")["errors"]}
    assert len(codes) >= 5 and codes <= documented_codes()


def example_manifest() -> dict:
    text = (DOCS / "manifest-format.md").read_text()
    blocks = re.findall(r"```json\n(.*?)```", text, re.S)
    assert len(blocks) == 1
    return json.loads(blocks[0])


@pytest.mark.parametrize("break_it, code", [(None, None), ("index", "artifact_sha256_mismatch"),
                                             ("rows", "row_identity_sha256_mismatch")])
def test_example_manifest_verifies_against_sample_files(tmp_path, break_it, code):
    m = example_manifest()
    art, rows = m["artifact"], m["row_identity"]
    samples.write_index(tmp_path / art["path"], art["kind"], dim=art["dim"], n_vectors=art["vector_count"],
                        bits=art["params"].get("bits"))
    samples.write_row_map(tmp_path / rows["path"], rows["row_count"])
    for aux in m.get("auxiliary_artifacts", []):
        samples.write_auxiliary(tmp_path / aux["path"])
    if break_it == "index":
        samples.write_index(tmp_path / art["path"], art["kind"], dim=art["dim"], n_vectors=art["vector_count"],
                            bits=art["params"].get("bits"), seed=99)
    elif break_it == "rows":
        samples.write_row_map(tmp_path / rows["path"], rows["row_count"], namespace=7)
    (tmp_path / "manifest.json").write_text(json.dumps(m))
    report = zm.verify_manifest(tmp_path / "manifest.json")
    assert [i["code"] for i in report["errors"]] == ([code] if code else [])

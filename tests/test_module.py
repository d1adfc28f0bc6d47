import ast
import inspect
import os
import subprocess
from pathlib import Path

import pytest

import zarnik_manifest as zm
from zarnik_manifest import _zarnik_manifest as native

LIMIT_SIG = (
    "max_manifest_bytes=None, max_row_map_line_bytes=None, max_row_map_rows=None, "
    "max_row_map_tracked_id_bytes=None, max_auxiliary_artifacts=None, max_auxiliary_artifact_bytes=None, "
    "max_calibration_profile_bytes=None, max_encoder_distortion_profile_bytes=None, max_report_issues=None, "
    "max_cached_report_bytes=None"
)
VERIFY_SIG = (
    "(manifest, *, index=None, allow_absolute_paths=False, allow_path_escape=False, "
    "allow_duplicate_db_ids=False, " + LIMIT_SIG + ")"
)
SIGNATURES = {
    "default_resource_limits": "()",
    "sha256_file": "(path)",
    "inspect_manifest": "(manifest, *, " + LIMIT_SIG + ")",
    "verify_manifest": VERIFY_SIG,
    "verify_for_load": VERIFY_SIG,
    "create_manifest": (
        "(index, out, embedding_model, *, row_map=None, row_id_is_identity=False, auxiliary_artifacts=None, "
        "allow_absolute_paths=False, allow_path_escape=False, " + LIMIT_SIG + ")"
    ),
}
CONSTANTS = [
    ("SCHEMA_VERSION", "zarnik.index_manifest.v1"),
    ("CALIBRATION_SCHEMA_VERSION", "zarnik.calibration.v1"),
    ("ENCODER_DISTORTION_SCHEMA_VERSION", "zarnik.encoder_distortion.v1"),
    ("DEFAULT_MAX_MANIFEST_BYTES", 1048576),
    ("DEFAULT_MAX_ROW_IDENTITY_JSONL_LINE_BYTES", 65536),
    ("DEFAULT_MAX_ROW_IDENTITY_ROWS", 10000000),
    ("DEFAULT_MAX_ROW_IDENTITY_TRACKED_DB_ID_BYTES", 67108864),
    ("DEFAULT_MAX_AUXILIARY_ARTIFACTS", 1024),
    ("DEFAULT_MAX_AUXILIARY_ARTIFACT_BYTES", 67108864),
    ("DEFAULT_MAX_CALIBRATION_PROFILE_BYTES", 67108864),
    ("DEFAULT_MAX_ENCODER_DISTORTION_PROFILE_BYTES", 67108864),
    ("DEFAULT_MAX_REPORT_ISSUES", 1024),
    ("DEFAULT_MAX_CACHED_REPORT_BYTES", 4194304),
]
LIMIT_KEYS = [p.split("=")[0] for p in LIMIT_SIG.split(", ")]


def test_exports_only_the_init_symbol_and_public_attributes_in_order():
    out = subprocess.run(["nm", "-D", "--defined-only", native.__file__], capture_output=True, text=True, check=True)
    names = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert names == ["PyInit__zarnik_manifest"]
    assert native.__file__.endswith("_zarnik_manifest.abi3.so")
    # No exception class or helper: nothing beyond the constants and functions.
    public = [k for k in vars(native) if not k.startswith("__")]
    assert public == [name for name, _ in CONSTANTS] + list(SIGNATURES)


@pytest.mark.parametrize("name,value", CONSTANTS)
def test_constants(name, value):
    got = getattr(native, name)
    assert type(got) is type(value) and got == value
    assert getattr(zm, name) == value


@pytest.mark.parametrize("name,params", SIGNATURES.items())
def test_text_signatures_and_docstrings(name, params):
    func = getattr(native, name)
    assert func.__text_signature__ == params
    assert str(inspect.signature(func)) == params
    assert not func.__doc__  # the docstring holds the signature only


def test_default_resource_limits_fresh_dict_each_call_no_arguments():
    first = zm.default_resource_limits()
    second = zm.default_resource_limits()
    assert list(first) == LIMIT_KEYS
    assert first == second and first is not second
    assert all(type(v) is int for v in first.values())
    assert first == {k: getattr(zm, c) for k, (c, _) in zip(LIMIT_KEYS, CONSTANTS[3:])}
    first["max_manifest_bytes"] = 1
    assert zm.default_resource_limits()["max_manifest_bytes"] == 1048576
    with pytest.raises(TypeError):
        zm.default_resource_limits(1)
    with pytest.raises(TypeError):
        zm.default_resource_limits(max_manifest_bytes=1)


def test_results_go_through_json_loads_looked_up_per_call(monkeypatch):
    import json

    def broken(text):
        raise RuntimeError("spy refused")

    monkeypatch.setattr(json, "loads", broken)
    for call in (zm.default_resource_limits, lambda: zm.sha256_file(os.devnull)):
        with pytest.raises(RuntimeError, match="spy refused"):
            call()


STUB = Path(__file__).resolve().parents[1] / "src" / "zarnik_manifest" / "_zarnik_manifest.pyi"


def test_stub_documents_every_function_argument_and_result_type():
    """Editors show the stub's docstrings: each function names each of its arguments (the
    limits as max_*), and each result type says what it is."""
    stub = ast.parse(STUB.read_text())
    documented = {node.name: ast.get_docstring(node) or "" for node in stub.body
                  if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
    assert set(SIGNATURES) <= set(documented)
    assert all(documented.values()), [name for name, doc in documented.items() if not doc]
    for name in SIGNATURES:
        params = inspect.signature(getattr(native, name)).parameters
        missing = [p for p in params if p not in documented[name] and not p.startswith("max_")]
        assert not missing, (name, missing)
        assert "Raises" in documented[name] or name == "default_resource_limits"

import ast
import inspect
import json
import os
import subprocess
from pathlib import Path

import pytest

import zarnik_manifest as zm
from zarnik_manifest import _zarnik_manifest as native

SCHEMA_CONSTANTS = [("SCHEMA_VERSION", "zarnik.index_manifest.v1"),
                    ("CALIBRATION_SCHEMA_VERSION", "zarnik.calibration.v1"),
                    ("ENCODER_DISTORTION_SCHEMA_VERSION", "zarnik.encoder_distortion.v1")]
DEFAULTS = {  # limit keyword: its module constant and default
    "max_manifest_bytes": ("DEFAULT_MAX_MANIFEST_BYTES", 1048576),
    "max_row_map_line_bytes": ("DEFAULT_MAX_ROW_IDENTITY_JSONL_LINE_BYTES", 65536),
    "max_row_map_rows": ("DEFAULT_MAX_ROW_IDENTITY_ROWS", 10000000),
    "max_row_map_tracked_id_bytes": ("DEFAULT_MAX_ROW_IDENTITY_TRACKED_DB_ID_BYTES", 67108864),
    "max_auxiliary_artifacts": ("DEFAULT_MAX_AUXILIARY_ARTIFACTS", 1024),
    "max_auxiliary_artifact_bytes": ("DEFAULT_MAX_AUXILIARY_ARTIFACT_BYTES", 67108864),
    "max_calibration_profile_bytes": ("DEFAULT_MAX_CALIBRATION_PROFILE_BYTES", 67108864),
    "max_encoder_distortion_profile_bytes": ("DEFAULT_MAX_ENCODER_DISTORTION_PROFILE_BYTES", 67108864),
    "max_report_issues": ("DEFAULT_MAX_REPORT_ISSUES", 1024),
    "max_cached_report_bytes": ("DEFAULT_MAX_CACHED_REPORT_BYTES", 4194304),
}
LIMIT_SIG = ", ".join(f"{key}=None" for key in DEFAULTS)
VERIFY_SIG = ("(manifest, *, index=None, allow_absolute_paths=False, allow_path_escape=False, "
              f"allow_duplicate_db_ids=False, {LIMIT_SIG})")
SIGNATURES = {
    "default_resource_limits": "()",
    "sha256_file": "(path)",
    "inspect_manifest": f"(manifest, *, {LIMIT_SIG})",
    "verify_manifest": VERIFY_SIG,
    "verify_for_load": VERIFY_SIG,
    "create_manifest": "(index, out, embedding_model, *, row_map=None, row_id_is_identity=False, "
                       f"auxiliary_artifacts=None, allow_absolute_paths=False, allow_path_escape=False, {LIMIT_SIG})",
}


def test_exports_only_the_init_symbol_and_public_attributes_in_order():
    out = subprocess.run(["nm", "-D", "--defined-only", native.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in out.stdout.splitlines() if line.strip()] == ["PyInit__zarnik_manifest"]
    assert native.__file__.endswith("_zarnik_manifest.abi3.so")
    # No exception class or helper: nothing beyond the constants and functions.
    constants = SCHEMA_CONSTANTS + list(DEFAULTS.values())
    assert [k for k in vars(native) if not k.startswith("__")] == [name for name, _ in constants] + list(SIGNATURES)
    for name, value in constants:
        assert type(getattr(native, name)) is type(value) and getattr(native, name) == value == getattr(zm, name)


def test_default_resource_limits_fresh_dict_each_call_no_arguments():
    first, second = zm.default_resource_limits(), zm.default_resource_limits()
    assert list(first.items()) == [(key, value) for key, (_, value) in DEFAULTS.items()]
    assert first == second and first is not second and all(type(v) is int for v in first.values())
    first["max_manifest_bytes"] = 1
    assert zm.default_resource_limits()["max_manifest_bytes"] == 1048576
    for args, kw in [((1,), {}), ((), {"max_manifest_bytes": 1})]:
        with pytest.raises(TypeError):
            zm.default_resource_limits(*args, **kw)


@pytest.mark.parametrize("name,params", SIGNATURES.items())
def test_text_signatures_and_docstrings(name, params):
    func = getattr(native, name)
    assert func.__text_signature__ == params == str(inspect.signature(func))
    assert not func.__doc__  # the docstring holds the signature only


def test_results_go_through_json_loads_looked_up_per_call(monkeypatch):
    def broken(text):
        raise RuntimeError("spy refused")

    monkeypatch.setattr(json, "loads", broken)
    for call in (zm.default_resource_limits, lambda: zm.sha256_file(os.devnull)):
        with pytest.raises(RuntimeError, match="spy refused"):
            call()


def test_stub_documents_every_function_argument_and_result_type():
    # Editors show the stub's docstrings: each names the function's arguments (limits as max_*).
    stub = ast.parse((Path(__file__).resolve().parents[1] / "src/zarnik_manifest/_zarnik_manifest.pyi").read_text())
    documented = {node.name: ast.get_docstring(node) or "" for node in stub.body
                  if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
    assert set(SIGNATURES) <= set(documented)
    assert all(documented.values()), [name for name, doc in documented.items() if not doc]
    for name in SIGNATURES:
        params = inspect.signature(getattr(native, name)).parameters
        assert not [p for p in params if p not in documented[name] and not p.startswith("max_")], name
        assert "Raises" in documented[name] or name == "default_resource_limits"

import functools
import json
import os
from importlib import resources
from pathlib import Path

import jsonschema
import pytest

import zarnik_manifest as zm
from builders import Bundle


@pytest.fixture
def fd_guard():
    """Fails the test when it leaves a file descriptor open."""
    before = len(os.listdir("/proc/self/fd"))
    yield
    assert len(os.listdir("/proc/self/fd")) == before


@pytest.fixture
def bundle(tmp_path):
    """An index with an identity row map, in a directory of its own (modules may override)."""
    return Bundle(tmp_path / "b", row_map=False)



SCHEMAS = {kind: jsonschema.Draft202012Validator(json.loads(
    resources.files("zarnik_manifest").joinpath("schemas", f"{kind}.schema.json").read_text()))
    for kind in ("index-manifest", "verification-report", "load-plan", "command-error")}


def check_schema(kind: str, document: object) -> None:
    errors = sorted(SCHEMAS[kind].iter_errors(document), key=lambda e: list(e.absolute_path))
    if errors:
        where = "/".join(map(str, errors[0].absolute_path)) or "(top)"
        raise AssertionError(f"result does not conform to {kind}.schema.json at {where}: {errors[0].message}")


# Race and soak loops repeat one call thousands of times; past this many results in one
# test the shapes are no longer news, and validating them would cost seconds of the suite.
VALIDATED_PER_TEST = 64
validated_in_test = [0]


@pytest.fixture(autouse=True)
def _count_validations():
    validated_in_test[0] = 0


def validated(func, kind: str, written_to: str | None = None):
    """Wraps a package function: its result (and the file create_manifest wrote) must conform before a test sees it."""

    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        result = func(*args, **kwargs)
        validated_in_test[0] += 1
        if validated_in_test[0] <= VALIDATED_PER_TEST:
            check_schema(kind, result)
            out = Path(os.fsdecode(kwargs[written_to] if written_to in kwargs else args[1])) if written_to else None
            if out is not None and out.is_file():
                check_schema(kind, json.loads(out.read_bytes()))
        return result

    return wrapper


# Installed before any test module binds the package's functions.
zm.verify_manifest = validated(zm.verify_manifest, "verification-report")
zm.verify_for_load = validated(zm.verify_for_load, "load-plan")
zm.inspect_manifest = validated(zm.inspect_manifest, "index-manifest")
zm.create_manifest = validated(zm.create_manifest, "index-manifest", written_to="out")

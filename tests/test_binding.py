"""Argument binding and conversion: raised before any file is touched."""

import errno
import os
import pathlib
import pickle

import numpy as np
import pytest

import zarnik_manifest as zm

MISSING = "/nonexistent/zarnik/manifest.json"
VERIFIERS = [zm.verify_manifest, zm.verify_for_load]
WITH_LIMITS = [zm.inspect_manifest, zm.verify_manifest, zm.verify_for_load]


def notes(exc_info):
    return getattr(exc_info.value, "__notes__", [])


def create(**kw):
    args = dict(index=MISSING, out="/nonexistent/zarnik/out.json", embedding_model="m")
    args.update(kw)
    return zm.create_manifest(**args)


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: zm.sha256_file(), "sha256_file() missing 1 required positional argument: 'path'"),
        (lambda: zm.sha256_file("a", "b"), "sha256_file() takes 1 positional arguments but 2 were given"),
        (lambda: zm.sha256_file("a", path="b"), "sha256_file() got multiple values for argument 'path'"),
        (lambda: zm.inspect_manifest(), "inspect_manifest() missing 1 required positional argument: 'manifest'"),
        (lambda: zm.verify_for_load(MISSING, max_rows=1), "verify_for_load() got an unexpected keyword argument 'max_rows'"),
        (
            lambda: zm.create_manifest(),
            "create_manifest() missing 3 required positional arguments: 'index', 'out', and 'embedding_model'",
        ),
        (lambda: zm.create_manifest("i"), "create_manifest() missing 2 required positional arguments: 'out' and 'embedding_model'"),
        (lambda: zm.create_manifest("i", "o", "m", "r"), "create_manifest() takes 3 positional arguments but 4 were given"),
        (lambda: zm.create_manifest("i", "o", "m", out="x"), "create_manifest() got multiple values for argument 'out'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert notes(info) == []


class FsPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


@pytest.mark.parametrize(
    "value,exc,text",
    [
        (5, TypeError, "expected str, bytes or os.PathLike object, not int"),
        (FsPath(3.5), TypeError, None),
        ("a\0b", ValueError, "embedded null byte"),
        (b"a\0b", ValueError, "embedded null byte"),
    ],
)
def test_bad_path_gets_note(value, exc, text):
    with pytest.raises(exc) as info:
        zm.sha256_file(value)
    if text is not None:
        assert str(info.value) == text
    assert notes(info) == ["while processing 'path'"]


@pytest.mark.parametrize(
    "kw,exc,text,param",
    [
        (dict(embedding_model=5), TypeError, "'int' object is not an instance of 'str'", "embedding_model"),
        (dict(embedding_model=b"m"), TypeError, "'bytes' object is not an instance of 'str'", "embedding_model"),
        (dict(row_id_is_identity=None), TypeError, "'None' is not an instance of 'bool'", "row_id_is_identity"),
        (dict(allow_path_escape="yes"), TypeError, "'str' object is not an instance of 'bool'", "allow_path_escape"),
        (dict(row_map=3), TypeError, "expected str, bytes or os.PathLike object, not int", "row_map"),
        (dict(max_report_issues=-1), OverflowError, None, "max_report_issues"),
        (dict(max_cached_report_bytes=2**64), OverflowError, None, "max_cached_report_bytes"),
        (dict(max_manifest_bytes=1.5), TypeError, "'float' object cannot be interpreted as an integer", "max_manifest_bytes"),
    ],
)
def test_create_conversion_errors_name_the_parameter(kw, exc, text, param):
    with pytest.raises(exc) as info:
        create(**{"row_id_is_identity": True, **kw})
    if text is not None:
        assert str(info.value) == text
    assert notes(info) == [f"while processing '{param}'"]


@pytest.mark.parametrize("func", VERIFIERS)
@pytest.mark.parametrize("flag", ["allow_absolute_paths", "allow_path_escape", "allow_duplicate_db_ids"])
@pytest.mark.parametrize("value", [1, 0, None, "true"])
def test_verify_flags_accept_only_bool(func, flag, value):
    with pytest.raises(TypeError) as info:
        func(MISSING, **{flag: value})
    assert notes(info) == [f"while processing '{flag}'"]


@pytest.mark.parametrize("func", WITH_LIMITS)
def test_limit_conversions(func):
    for kw, exc, param in [
        (dict(max_manifest_bytes=-1), OverflowError, "max_manifest_bytes"),
        (dict(max_manifest_bytes=1.5), TypeError, "max_manifest_bytes"),
        (dict(max_report_issues=2**64), OverflowError, "max_report_issues"),
    ]:
        with pytest.raises(exc) as info:
            func(MISSING, **kw)
        assert notes(info) == [f"while processing '{param}'"]


class Index:
    def __index__(self):
        return 7


@pytest.mark.parametrize(
    "value", [None, 0, True, 2**64 - 1, Index(), np.uint64(5), np.int64(3)]
)
@pytest.mark.parametrize("func", WITH_LIMITS)
def test_acceptable_limits_reach_the_file_system(func, value):
    # Conversion succeeds, so the call gets as far as opening the (missing) manifest.
    with pytest.raises(OSError):
        func(MISSING, max_manifest_bytes=value, max_report_issues=value)


def test_first_failure_wins_in_conversion_order():
    with pytest.raises(TypeError) as info:
        zm.verify_manifest(5, index=6, allow_absolute_paths=1, max_manifest_bytes=-1)
    assert notes(info) == ["while processing 'manifest'"]
    with pytest.raises(TypeError) as info:
        zm.verify_manifest(MISSING, index=6, allow_absolute_paths=1)
    assert notes(info) == ["while processing 'index'"]
    with pytest.raises(TypeError) as info:
        zm.verify_manifest(MISSING, allow_duplicate_db_ids=1, max_manifest_bytes=-1)
    assert notes(info) == ["while processing 'allow_duplicate_db_ids'"]
    with pytest.raises(TypeError) as info:
        zm.create_manifest(1, 2, 3, row_map=4, row_id_is_identity=True)
    assert notes(info) == ["while processing 'index'"]
    with pytest.raises(TypeError) as info:
        create(row_map=4, allow_absolute_paths=0, max_report_issues=-1)
    assert notes(info) == ["while processing 'row_map'"]
    with pytest.raises(OverflowError) as info:
        create(row_id_is_identity=True, max_row_map_rows=-1, max_report_issues=-1)
    assert notes(info) == ["while processing 'max_row_map_rows'"]


@pytest.mark.parametrize(
    "kw,text",
    [
        (dict(row_map="rows.jsonl", row_id_is_identity=True), "use either row_map or row_id_is_identity, not both"),
        (dict(), "one of row_map or row_id_is_identity=True is required"),
        (dict(row_map=None, row_id_is_identity=False), "one of row_map or row_id_is_identity=True is required"),
    ],
)
def test_row_identity_argument_checks_precede_file_work(kw, text):
    with pytest.raises(ValueError) as info:
        create(auxiliary_artifacts=[{"bad": 1}], **kw)  # the items are not read yet
    assert str(info.value) == text


@pytest.mark.parametrize(
    "items,exc",
    [
        (5, TypeError),
        ([{"path": "p"}], KeyError),
        ([5], TypeError),
        ([{"name": 5, "path": "p"}], TypeError),
        ([{"name": "n", "path": 5}], TypeError),
        ([{"name": "n", "path": "p", "required": "yes"}], TypeError),
        ([{"name": "n", "path": "p"}, {"name": "m"}], KeyError),
    ],
)
def test_auxiliary_request_errors_propagate_without_note(items, exc):
    with pytest.raises(exc) as info:
        create(row_id_is_identity=True, auxiliary_artifacts=items)
    assert notes(info) == []


def test_auxiliary_items_are_read_in_order_with_lookup_order():
    seen = []

    class Item:
        def __init__(self, name):
            self.name = name

        def __getitem__(self, key):
            seen.append((self.name, key))
            if key == "required":
                raise KeyError(key)
            return self.name if key == "name" else pathlib.Path("/nonexistent") / self.name

    def gen():
        yield Item("a")
        yield Item("b")

    with pytest.raises((OSError, NotImplementedError)):
        create(row_id_is_identity=True, auxiliary_artifacts=gen())
    assert seen == [("a", "name"), ("a", "path"), ("a", "required"), ("b", "name"), ("b", "path"), ("b", "required")]


def test_lookup_error_other_than_keyerror_propagates():
    class Item:
        def __getitem__(self, key):
            if key == "required":
                raise LookupError("no")
            return "x"

    with pytest.raises(LookupError):
        create(row_id_is_identity=True, auxiliary_artifacts=[Item()])


@pytest.mark.parametrize("flag", [np.bool_(True), np.bool_(False)])
def test_numpy_bool_accepted(flag):
    with pytest.raises((OSError, NotImplementedError)):
        zm.verify_manifest(MISSING, allow_path_escape=flag)


@pytest.mark.parametrize("as_path", [str, lambda p: p.encode(), pathlib.Path, FsPath])
def test_path_forms_are_equivalent(tmp_path, as_path):
    f = tmp_path / "x.bin"
    f.write_bytes(b"abc")
    assert zm.sha256_file(as_path(str(f))) == zm.sha256_file(str(f))


# (call, whether the error names the file): loading names the manifest, hashing the file
# hashed; creation reads several files and names none.
OS_ERROR_CALLS = [
    (zm.sha256_file, True),
    (zm.inspect_manifest, True),
    (zm.verify_manifest, True),
    (zm.verify_for_load, True),
    (lambda p: zm.create_manifest(p, p.parent / "out" / "m.json", "e", row_id_is_identity=True), False),
]


@pytest.mark.parametrize("call,names_file", OS_ERROR_CALLS)
@pytest.mark.parametrize("code,exc_type", [(errno.ENOENT, FileNotFoundError), (errno.EISDIR, IsADirectoryError)])
def test_io_errors_raise_the_oserror_subclass_for_their_errno(tmp_path, fd_guard, call, names_file, code, exc_type):
    target = tmp_path / "missing" if code == errno.ENOENT else tmp_path
    text = f"{os.strerror(code)} (os error {code})"
    with pytest.raises(exc_type) as info:
        call(target)
    e = info.value
    assert (e.errno, e.strerror, e.filename) == (code, os.strerror(code), str(target) if names_file else None)
    assert e.args == (text,) and str(e) == text
    copy = pickle.loads(pickle.dumps(e))
    assert type(copy) is exc_type and (copy.errno, copy.filename, copy.args) == (e.errno, e.filename, e.args)

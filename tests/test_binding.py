"""Argument binding and conversion: raised before any file is touched."""

import errno
import os
import pathlib
import pickle

import numpy as np
import pytest

import zarnik_manifest as zm
from builders import sha256

MISSING = "/nonexistent/zarnik/manifest.json"
VERIFIERS = [zm.verify_manifest, zm.verify_for_load]
WITH_LIMITS = [zm.inspect_manifest, zm.verify_manifest, zm.verify_for_load]


def create(**kw):
    return zm.create_manifest(**{"index": MISSING, "out": "/nonexistent/zarnik/out.json", "embedding_model": "m", **kw})


def ident(**kw):
    return create(**{"row_id_is_identity": True, **kw})


class Item:
    def __init__(self, name, seen, missing=KeyError):
        self.name, self.seen, self.missing = name, seen, missing

    def __getitem__(self, key):
        self.seen.append((self.name, key))
        if key == "required":
            raise self.missing(key)
        return self.name if key == "name" else pathlib.Path("/nonexistent") / self.name


# (call, exception, its exact text or None); these raise before any parameter is converted.
UNCONVERTED = [
    (lambda: zm.sha256_file(), TypeError, "sha256_file() missing 1 required positional argument: 'path'"),
    (lambda: zm.sha256_file("a", "b"), TypeError, "sha256_file() takes 1 positional arguments but 2 were given"),
    (lambda: zm.sha256_file("a", path="b"), TypeError, "sha256_file() got multiple values for argument 'path'"),
    (lambda: zm.inspect_manifest(), TypeError, "inspect_manifest() missing 1 required positional argument: 'manifest'"),
    (lambda: zm.verify_for_load(MISSING, max_rows=1), TypeError,
     "verify_for_load() got an unexpected keyword argument 'max_rows'"),
    (lambda: zm.create_manifest(), TypeError,
     "create_manifest() missing 3 required positional arguments: 'index', 'out', and 'embedding_model'"),
    (lambda: zm.create_manifest("i"), TypeError,
     "create_manifest() missing 2 required positional arguments: 'out' and 'embedding_model'"),
    (lambda: zm.create_manifest("i", "o", "m", "r"), TypeError,
     "create_manifest() takes 3 positional arguments but 4 were given"),
    (lambda: zm.create_manifest("i", "o", "m", out="x"), TypeError,
     "create_manifest() got multiple values for argument 'out'"),
    # Row identity arguments are checked before the (bad) auxiliary items are read.
    (lambda: create(row_map="r", row_id_is_identity=True, auxiliary_artifacts=[{"bad": 1}]), ValueError,
     "use either row_map or row_id_is_identity, not both"),
    (lambda: create(auxiliary_artifacts=[{"bad": 1}]), ValueError,
     "one of row_map or row_id_is_identity=True is required"),
    (lambda: create(row_map=None, row_id_is_identity=False, auxiliary_artifacts=[{"bad": 1}]), ValueError,
     "one of row_map or row_id_is_identity=True is required"),
    *[(lambda items=items: ident(auxiliary_artifacts=items), exc, None) for items, exc in [
        (5, TypeError), ([{"path": "p"}], KeyError), ([5], TypeError), ([{"name": 5, "path": "p"}], TypeError),
        ([{"name": "n", "path": 5}], TypeError), ([{"name": "n", "path": "p", "required": "yes"}], TypeError),
        ([{"name": "n", "path": "p"}, {"name": "m"}], KeyError), ([Item("x", [], LookupError)], LookupError),
    ]],
]


class FsPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


# (call, exception, its exact text or None, the parameter its note names)
@pytest.mark.parametrize(
    "call,exc,text,param",
    [*[(*case, None) for case in UNCONVERTED],
        (lambda: zm.sha256_file(5), TypeError, "expected str, bytes or os.PathLike object, not int", "path"),
        (lambda: zm.sha256_file(FsPath(3.5)), TypeError, None, "path"),
        (lambda: zm.sha256_file("a\0b"), ValueError, "embedded null byte", "path"),
        (lambda: zm.sha256_file(b"a\0b"), ValueError, "embedded null byte", "path"),
        (lambda: ident(embedding_model=5), TypeError, "'int' object is not an instance of 'str'", "embedding_model"),
        (lambda: ident(embedding_model=b"m"), TypeError, "'bytes' object is not an instance of 'str'", "embedding_model"),
        (lambda: ident(row_id_is_identity=None), TypeError, "'None' is not an instance of 'bool'", "row_id_is_identity"),
        (lambda: ident(allow_path_escape="yes"), TypeError, "'str' object is not an instance of 'bool'", "allow_path_escape"),
        (lambda: ident(row_map=3), TypeError, "expected str, bytes or os.PathLike object, not int", "row_map"),
        (lambda: ident(max_report_issues=-1), OverflowError, None, "max_report_issues"),
        (lambda: ident(max_cached_report_bytes=2**64), OverflowError, None, "max_cached_report_bytes"),
        (lambda: ident(max_manifest_bytes=1.5), TypeError, "'float' object cannot be interpreted as an integer",
         "max_manifest_bytes"),
        (lambda: zm.verify_manifest(5, index=6, allow_absolute_paths=1, max_manifest_bytes=-1), TypeError, None, "manifest"),
        (lambda: zm.verify_manifest(MISSING, index=6, allow_absolute_paths=1), TypeError, None, "index"),
        (lambda: zm.verify_manifest(MISSING, allow_duplicate_db_ids=1, max_manifest_bytes=-1), TypeError, None,
         "allow_duplicate_db_ids"),
        (lambda: zm.create_manifest(1, 2, 3, row_map=4, row_id_is_identity=True), TypeError, None, "index"),
        (lambda: create(row_map=4, allow_absolute_paths=0, max_report_issues=-1), TypeError, None, "row_map"),
        (lambda: ident(max_row_map_rows=-1, max_report_issues=-1), OverflowError, None, "max_row_map_rows"),
        *[(lambda f=f, kw=kw: f(MISSING, **kw), exc, None, next(iter(kw))) for funcs, kw, exc in [
            *[(VERIFIERS, {flag: value}, TypeError) for flag in ["allow_absolute_paths", "allow_path_escape",
                                                                 "allow_duplicate_db_ids"] for value in [1, 0, None, "true"]],
            (WITH_LIMITS, dict(max_manifest_bytes=-1), OverflowError),
            (WITH_LIMITS, dict(max_manifest_bytes=1.5), TypeError),
            (WITH_LIMITS, dict(max_report_issues=2**64), OverflowError),
        ] for f in funcs],
    ],
)
def test_conversion_errors_name_the_first_failing_parameter(call, exc, text, param):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert getattr(info.value, "__notes__", []) == ([f"while processing '{param}'"] if param else [])
    if text is not None:
        assert str(info.value) == text


class Index:
    def __index__(self):
        return 7


@pytest.mark.parametrize("value", [None, 0, True, 2**64 - 1, Index(), np.uint64(5), np.int64(3)])
@pytest.mark.parametrize("func", WITH_LIMITS)
@pytest.mark.parametrize("flag", [np.bool_(True), np.bool_(False)])
def test_acceptable_arguments_reach_the_file_system(func, value, flag):
    kw = {} if func is zm.inspect_manifest else {"allow_path_escape": flag}
    with pytest.raises(OSError):
        func(MISSING, max_manifest_bytes=value, max_report_issues=value, **kw)


def test_auxiliary_items_are_read_in_order_with_lookup_order():
    seen = []
    with pytest.raises((OSError, NotImplementedError)):
        ident(auxiliary_artifacts=(Item(n, seen) for n in "ab"))
    assert seen == [("a", "name"), ("a", "path"), ("a", "required"), ("b", "name"), ("b", "path"), ("b", "required")]


@pytest.mark.parametrize("as_path", [str, lambda p: p.encode(), pathlib.Path, FsPath])
def test_path_forms_are_equivalent(tmp_path, as_path):
    (tmp_path / "x.bin").write_bytes(b"abc")
    assert zm.sha256_file(as_path(str(tmp_path / "x.bin"))) == {"sha256": sha256(b"abc"), "size_bytes": 3}


@pytest.mark.parametrize("call,names_file", [
    (zm.sha256_file, True), (zm.inspect_manifest, True), (zm.verify_manifest, True), (zm.verify_for_load, True),
    (lambda p: zm.create_manifest(p, p.parent / "out" / "m.json", "e", row_id_is_identity=True), False),
])
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

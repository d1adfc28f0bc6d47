import sys

import pytest

import zarnik_manifest as zm
from builders import sparse
from test_hostile_files import root  # noqa: F401  (fixture: a directory in /dev/shm)


def test_file_beyond_4_gib_is_hashed_in_constant_memory(root):
    # A sparse file on tmpfs reads its holes without filling the page cache.
    sparse(root / "big", b"", 2**32 + 3)
    result = zm.sha256_file(root / "big")
    assert list(result) == ["sha256", "size_bytes"]
    assert result == {"sha256": "930fa067940ff8d9f427e3a116b7598503c70ce7380d66ff65f8de33d558f7f3", "size_bytes": 2**32 + 3}


def test_no_descriptor_or_reference_leaks(tmp_path, fd_guard):
    (tmp_path / "data").write_bytes(b"x" * 1000)
    path, missing = str(tmp_path / "data"), str(tmp_path / "missing")
    before = (sys.getrefcount(path), sys.getrefcount(missing))
    for _ in range(200):
        zm.sha256_file(path)
        with pytest.raises(OSError):
            zm.sha256_file(missing)
        with pytest.raises(TypeError):
            zm.sha256_file(path, extra=1)
    assert (sys.getrefcount(path), sys.getrefcount(missing)) == before

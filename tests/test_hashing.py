import hashlib
import os
import sys
import tempfile

import pytest

import zarnik_manifest as zm


@pytest.mark.parametrize("size", [0, 1, 63, 64, 65535, 65536, 65537, 3 * 65536 + 7])
def test_digest_matches_hashlib_across_buffer_boundaries(tmp_path, size):
    data = bytes((i * 131 + (i >> 8)) & 0xFF for i in range(size))
    f = tmp_path / "data"
    f.write_bytes(data)
    result = zm.sha256_file(f)
    assert list(result) == ["sha256", "size_bytes"]
    assert result == {"sha256": hashlib.sha256(data).hexdigest(), "size_bytes": size}


def test_file_beyond_4_gib_is_hashed_in_constant_memory(tmp_path):
    # A sparse file on tmpfs reads its holes without filling the page cache.
    fd, name = tempfile.mkstemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else str(tmp_path))
    try:
        os.ftruncate(fd, 2**32 + 3)
        os.close(fd)
        result = zm.sha256_file(name)
    finally:
        os.unlink(name)
    assert result == {"sha256": "930fa067940ff8d9f427e3a116b7598503c70ce7380d66ff65f8de33d558f7f3", "size_bytes": 2**32 + 3}


def test_no_descriptor_or_reference_leaks(tmp_path, fd_guard):
    f = tmp_path / "data"
    f.write_bytes(b"x" * 1000)
    path, missing = str(f), str(tmp_path / "missing")
    before = (sys.getrefcount(path), sys.getrefcount(missing))
    for _ in range(200):
        zm.sha256_file(path)
        with pytest.raises(OSError):
            zm.sha256_file(missing)
        with pytest.raises(TypeError):
            zm.sha256_file(path, extra=1)
    assert (sys.getrefcount(path), sys.getrefcount(missing)) == before

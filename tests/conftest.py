import os

import pytest


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


@pytest.fixture
def fd_guard():
    """Fails the test when it leaves a file descriptor open."""
    before = open_fds()
    yield
    assert open_fds() == before

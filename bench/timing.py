"""Shared timing helper of the benchmarks (each script puts bench/ on sys.path by running
from it)."""

from __future__ import annotations

import time
from typing import Any, Callable


def best(fn: Callable[[], Any], repeat: int = 3) -> float:
    """The fastest of `repeat` runs of fn, in seconds."""
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)

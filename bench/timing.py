"""The timing helper's former home: scripts that import `best` from here keep working;
new code imports from benchlib."""

from benchlib import best, figure, info, interleaved, median_ratio, median_time, scratch, timed  # noqa: F401

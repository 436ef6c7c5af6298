"""Settling the heap between timed runs, and reading the process's memory figures.

A library that frees a large tree leaves glibc's allocator with many small free chunks;
the next large allocation, in whichever library runs next, consolidates them first and
pays for it (150 ms after lxml frees a 16 MB document's tree). Timed runs of different
libraries interleave, so each run starts from a settled heap instead.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import gc

try:
    _trim = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6").malloc_trim
except (OSError, AttributeError):  # not glibc
    _trim = None


def settle() -> None:
    """Collect garbage and hand freed heap memory back, outside any timing."""
    gc.collect()
    if _trim is not None:
        _trim(0)


def status_kb(field: str) -> int:
    """A memory figure of this process from /proc/self/status (VmRSS, VmHWM ...), in kB."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0

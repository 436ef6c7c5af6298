"""Shared helpers: one case run through get, get_bytes and get_buffer."""

from __future__ import annotations

import pytest
import varnex

# Texts users see from more than one entry point.
NOT_BUFFER = "data must be a buffer-protocol object (mmap, bytearray, memoryview)"
NOT_SOURCE = "data must be bytes, str, or a buffer-protocol object (mmap, bytearray)"
WRONG_TYPE = "argument '{}': '{}' object is not an instance of '{}'"
AMBIGUOUS = (
    "path is ambiguous: b matches multiple elements but the path continues; "
    "specify .N (single) or .# (each)"
)

# Each runner takes the document as str and feeds it in the form its function accepts.
RUNNERS = {
    "get": lambda doc, path: varnex.get(doc, path),
    "get_bytes": lambda doc, path: varnex.get_bytes(doc.encode(), path),
    "get_buffer": lambda doc, path: varnex.get_buffer(bytearray(doc.encode()), path),
}


@pytest.fixture(params=sorted(RUNNERS))
def run(request):
    """A query function; a test using it runs once per entry point."""
    return RUNNERS[request.param]


def pieces(result) -> list[str]:
    """Each item's raw text (markup for an element with children), in order."""
    if len(result) == 0:
        return []
    if len(result) == 1:
        return [result.to_str()]
    return [item.to_str() for item in result.value]


def query_all(doc: str, path: str):
    """Runs `path` through all three entry points, checks they agree, returns get's result."""
    results = {name: runner(doc, path) for name, runner in RUNNERS.items()}
    expected = results["get"]
    for name, result in results.items():
        assert len(result) == len(expected), name
        assert pieces(result) == pieces(expected), name
        assert result == expected, name
    return expected


def texts(*values: str | bytes):
    """A Result of one text item per value, each holding exactly those bytes (not always UTF-8)."""
    raws = [v.encode() if isinstance(v, str) else v for v in values]
    esc = [v.replace(b"&", b"&amp;").replace(b'"', b"&quot;").replace(b"<", b"&lt;") for v in raws]
    doc = b"<r>" + b"".join(b'<i a="' + v + b'"/>' for v in esc) + b"</r>"
    return varnex.get_bytes(doc, "r.i.#.@a")

"""Hostile input: random documents and paths never crash, hang or raise unexpected errors."""

from __future__ import annotations

import varnex
from hypothesis import given, settings
from hypothesis import strategies as st

XMLISH = st.lists(
    st.sampled_from([b"<", b">", b"/", b"a", b"b", b"r", b" ", b'"', b"=", b"x", b"&amp;", b"&#",
                     b";", b"<!--", b"-->", b"<![CDATA[", b"]]>", b"<?", b"?>", b"\xff", b"\xc3",
                     b"\xa9", b"<r>", b"</r>", b"<a>", b"</a>", b"<a/>", b'<b x="1">', b"</b>",
                     b"<!DOCTYPE r>", b"\x00", b"\n"]),
    max_size=40,
).map(b"".join)

PATHISH = st.lists(
    st.sampled_from(["r", "a", "b", ".", "#", "0", "1", "@x", "#text", "**", "*", "?", "\\",
                     "#(", ")", "x=1", "b>0", "|@count", "|@sort", "|@first", "|@sum",
                     "|@reverse", "|@unique", "'", '"', "é"]),
    min_size=1, max_size=8,
).map("".join)

EXPECTED = (ValueError, TypeError, OverflowError)


def poke(result):
    """Every conversion and slot; only the documented exception types may come out."""
    for call in (result.exists, result.to_str, result.to_int, result.to_float, result.to_bool,
                 lambda: result.value, lambda: result.type_, lambda: len(result),
                 lambda: bool(result), lambda: int(result), lambda: float(result),
                 lambda: result == "x", lambda: result == ["x"], lambda: result == result):
        try:
            call()
        except EXPECTED:
            pass
    try:
        value = result.value
    except ValueError:
        return
    if isinstance(value, dict):
        value = list(value.values())
    for child in value[:4] if isinstance(value, list) else []:
        poke(child)


@settings(max_examples=300, deadline=None)
@given(XMLISH, PATHISH)
def test_random_queries(doc, path):
    results = []
    for call in (lambda: varnex.get_bytes(doc, path),
                 lambda: varnex.get_buffer(bytearray(doc), path),
                 lambda: varnex.get(doc.decode("utf-8", "replace"), path)):
        try:
            results.append(call())
        except ValueError:
            pass
    results.append(varnex.parse(doc))
    assert varnex.validate(doc) in (True, False)
    for result in results:
        poke(result)

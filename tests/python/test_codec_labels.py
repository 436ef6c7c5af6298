"""Declared encodings outside the built-in ones: Python's codecs read them, the rest is named."""

from __future__ import annotations

import codecs

import pytest
import varnex
from conftest import MANY, QUERIES, entries

UNKNOWN = "declared encoding 'x-foo' is unknown; the text is read as UTF-8"

# (label, the codec Python reads it with, text that needs bytes beyond ASCII in it)
LABELS = [
    ("latin-1", "latin-1", "caf\u00e9 \u00bf"),  # not latin1, which is windows-1252
    ("MacCyrillic", "mac_cyrillic", "\u041f\u0440\u0438\u0432\u0435\u0442"),
    ("cp437", "cp437", "\u00e7\u2591\u00a5"),
    ("mac-roman", "mac_roman", "\u00e9\u2020\u00fc"),
    ("iso8859-1", "latin-1", "\u00ff\u00e0"),
    ("cp850", "cp850", "\u00e6\u00c5"),
]


def document(label: str, codec: str, text: str) -> bytes:
    return (f'<?xml version="1.0" encoding="{label}"?>'
            f'<r a="{text}"><b>{text}</b><b>x</b></r>').encode(codec)


@pytest.mark.parametrize(("label", "codec", "text"), LABELS, ids=[x[0] for x in LABELS])
def test_labels_python_knows_are_read_with_its_codec(label, codec, text):
    assert codecs.lookup(label).name == codecs.lookup(codec).name
    data = document(label, codec, text)
    for name, call in entries(QUERIES, data, text=False):
        assert call(data, "r.b.0").to_str() == text, name
        assert call(data, "r.@a").to_str() == text, name
    for name, call in entries(MANY, data, text=False):
        assert [r.to_str() for r in call(data, ["r.b.#", "r.@a"])] == ["2", text], name
    assert varnex.records(data, "r.b", {"t": "#text"})[0] == {"t": text}
    # A parse() result decodes its bytes once, at first use, and keeps the copy.
    whole = varnex.parse(data)
    assert [(whole["b"][0].value, whole.value["b"][1].value, whole["b"].to_str_list())
            for _ in range(3)] == [(text, "x", [text, "x"])] * 3


def test_the_whatwg_label_keeps_its_meaning():
    data = document("latin1", "cp1252", "\u20ac\u2019")  # 0x80 and 0x92: not latin-1's
    assert varnex.get_bytes(data, "r.b.0").to_str() == "\u20ac\u2019"


def test_an_unknown_label_is_named_where_the_bytes_are_not_utf8():
    latin = b'<?xml version="1.0" encoding="x-foo"?><r><b>caf\xe9</b></r>'
    for name, call in entries(QUERIES, latin, text=False):
        with pytest.raises(ValueError) as error:
            call(latin, "r.b").to_str()
        assert str(error.value) == UNKNOWN, name
    # A parse() result meets the failed decoding at every use, not only the first.
    whole = varnex.parse(latin)
    for _ in range(2):
        with pytest.raises(ValueError, match="x-foo"):
            whole["b"]
    # validate() tests the structure only, so a label is no reason to raise.
    for data in (latin, bytearray(latin), memoryview(latin)):
        assert varnex.validate(data) is True
        assert varnex.validate(latin.replace(b"</r>", b"")) is False
    # UTF-8 bytes under a label nobody knows read as UTF-8; so do labels that are no text
    # codec and labels the declaration's own bytes contradict.
    for label in ("x-foo", "base64", "utf-32", "cp037"):
        data = f'<?xml version="1.0" encoding="{label}"?><r><b>caf\u00e9</b></r>'.encode()
        assert varnex.get_bytes(data, "r.b").to_str() == "caf\u00e9", label


def test_undecodable_bytes_are_invalid_utf8_as_elsewhere():
    # cp857 leaves some bytes undefined: they are met as invalid UTF-8, markup is kept
    data = b'<?xml version="1.0" encoding="cp857"?><r><b>\xd5</b><c>ok</c></r>'
    assert varnex.get_bytes(data, "r.c").to_str() == "ok"
    with pytest.raises(ValueError, match="invalid utf-8"):
        varnex.get_bytes(data, "r.b").to_str()

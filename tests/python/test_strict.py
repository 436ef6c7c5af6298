"""The strict check: check() and validate(strict=True) over every kind of document, where
each error is reported (offset, line, column, element path), encodings, and the arguments."""

from __future__ import annotations

import mmap
import pickle
import threading

import pytest
import varnex

# document, then the error: (message, offset, line, column, path), or None when well formed.
CASES = [
    ("<a/>", None),
    ("\ufeff<?xml version='1.0' encoding='utf-8'?><a>&#233;</a>", None),
    ("<a x=1/>", ("the value of attribute 'x' is not quoted", 5, 1, 6, "a")),
    ("<r>\n  <b>\r\n  <c>&nbsp;</c></b></r>", ("entity 'nbsp' is not declared", 16, 3, 6, "r.b.c")),
    ("<r><i/><i/><i><b/><i>x</j></i></i></r>",
     ("end tag 'j' does not match start tag 'i'", 22, 1, 23, "r.i[2].i")),
    ("<r><i a='1' a='2'/></r>", ("attribute 'a' appears twice in the tag", 12, 1, 13, "r.i")),
    ("<r>caf\u00e9 \u2615 ]]></r>", ("']]>' in text", 10, 1, 11, "r")),
    ("<r/>\n<r/>", ("a second root element", 5, 2, 1, "r[1]")),
    ("<r/>\n<!-- -->x", ("text outside the root element", 13, 2, 9, "")),
    ("<r>\r<!-- x -- y --></r>", ("'--' in a comment", 11, 2, 8, "r")),
]


def sources(text: str):
    """The document as each kind of object check() takes, and how its offsets count."""
    data = text.encode()
    mapped = mmap.mmap(-1, len(data) or 1)
    mapped.write(data)
    return [("str", text, True), ("bytes", data, False), ("bytearray", bytearray(data), False),
            ("memoryview", memoryview(data), False),
            ("mmap", mapped if data else b"", False)]


@pytest.mark.parametrize(("text", "expected"), CASES, ids=[c[0][:24] for c in CASES])
def test_every_entry_point_reports_the_same_place(text, expected):
    for kind, data, counts_characters in sources(text):
        assert varnex.validate(data, strict=True) is (expected is None), kind
        if expected is None:
            assert varnex.check(data) is None
            continue
        with pytest.raises(varnex.XMLSyntaxError) as caught:
            varnex.check(data)
        error = caught.value
        message, offset, line, column, path = expected
        if not counts_characters:  # bytes: the characters before the error in UTF-8
            offset = len(text[:offset].encode())
        assert (error.message, error.offset, error.line, error.column, error.path) == (
            message, offset, line, column, path), kind
        where = f", in {path}" if path else ""
        assert str(error) == f"{message}, line {line}, column {column}{where}"
        assert isinstance(error, ValueError)
        # It crosses process boundaries (multiprocessing, Dask) whole.
        copied = pickle.loads(pickle.dumps(error))
        assert (type(copied), str(copied), vars(copied)) == (type(error), str(error), vars(error))


def test_structural_validate_is_unchanged():
    for loose in ("<a x=1 x=2>&undefined;</a>", "x<a/>y", "<a>\x01</a>"):
        assert varnex.validate(loose) and varnex.validate(loose, strict=False)
        assert not varnex.validate(loose, strict=True)


ENCODED = [
    # (bytes, offset of the error in them, line, column); the error is the repeated `a`
    ("<?xml version='1.0' encoding='ISO-8859-1'?>\n<caf\u00e9 a='1' a='2'/>".encode("latin-1"),
     56, 2, 13),
    ("\ufeff<?xml version='1.0' encoding='UTF-16'?><\u00e9 a='1' a='2'/>".encode("utf-16-le"),
     2 + 2 * 48, 1, 49),
    ("<?xml version='1.0' encoding='UTF-16'?><\U0001d49c a='1' a='2'/>".encode("utf-16"),
     2 + 2 * 49, 1, 49),
    ("<?xml version='1.0' encoding='Shift_JIS'?><\u65e5\u672c a='1' a='2'/>".encode("shift_jis"),
     None, 1, 53),
]


@pytest.mark.parametrize(("data", "offset", "line", "column"), ENCODED,
                         ids=["latin-1", "utf-16-le", "utf-16-astral", "shift_jis"])
def test_documents_in_other_encodings_count_their_own_bytes(data, offset, line, column):
    with pytest.raises(varnex.XMLSyntaxError) as caught:
        varnex.check(data)
    error = caught.value
    assert error.message == "attribute 'a' appears twice in the tag"
    assert (error.offset, error.line, error.column) == (offset, line, column)
    if offset is not None:
        assert data[offset:].startswith("a='2'".encode("utf-16-le" if b"\0" in data else "ascii"))


@pytest.mark.parametrize(("data", "message"), [
    (b"<?xml version='1.0' encoding='UTF-16'?><a/>",
     "the declaration names encoding UTF-16 but the document is UTF-8"),
    (b"\xef\xbb\xbf<?xml version='1.0' encoding='ISO-8859-1'?><a/>",  # the mark decides
     "the declaration names encoding ISO-8859-1 but the document is UTF-8"),
    (b"<?xml version='1.0' encoding='x-no-such'?><a/>", "unsupported encoding x-no-such"),
    (b"<?xml version='1.0' encoding='ISO-8859-3'?><a>\xa5</a>",
     "byte sequence not valid in the declared encoding ISO-8859-3"),
    (b"<a>\xe9</a>", "invalid UTF-8 byte sequence"),
])
def test_encodings_must_agree_with_the_bytes(data, message):
    with pytest.raises(varnex.XMLSyntaxError, match="^" + message):
        varnex.check(data)
    # A str is text already: its declaration names no bytes.
    if data.isascii():
        varnex.check(data.decode())


def test_arguments():
    assert varnex.validate("<a/>", True) and varnex.validate(data="<a/>", strict=1)
    with pytest.raises(TypeError, match=r"^validate\(\) takes from 1 to 2 positional arguments"):
        varnex.validate("<a/>", True, 3)
    with pytest.raises(TypeError, match=r"^check\(\) missing 1 required positional argument"):
        varnex.check()
    with pytest.raises(TypeError, match="unexpected keyword argument 'strict'"):
        varnex.check("<a/>", strict=True)
    with pytest.raises(ValueError, match="^data must be bytes, str, or a buffer"):
        varnex.check(42)
    with pytest.raises(ZeroDivisionError):  # the truth of `strict` is asked, errors kept

        class Bad:
            def __bool__(self):
                raise ZeroDivisionError

        varnex.validate("<a/>", strict=Bad())
    assert varnex.XMLSyntaxError.__module__ == "varnex._varnex"
    assert "check" in varnex.__all__ and "XMLSyntaxError" in varnex._varnex.__all__


def test_large_documents_are_checked_beside_other_threads():
    doc = ("<r>" + "<i a='1'>t &amp; u</i>" * 200_000 + "</r>").encode()
    broken = doc[:-4] + b"</x>"
    results = {}

    def run(name, data):
        results[name] = varnex.validate(data, strict=True)

    threads = [threading.Thread(target=run, args=(n, d)) for n, d in (("ok", doc), ("no", broken))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == {"ok": True, "no": False}
    with pytest.raises(varnex.XMLSyntaxError) as caught:
        varnex.check(broken)
    assert (caught.value.offset, caught.value.path) == (len(doc) - 4, "r")

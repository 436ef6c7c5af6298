"""Which objects are accepted as documents, and how their bytes are read."""

from __future__ import annotations

import array
import ctypes
import mmap
import sys

import pytest
import varnex
from conftest import NOT_BUFFER, NOT_SOURCE

DOC = "<r><a>1</a><a>2</a></r>"
NOT_CONTIGUOUS = "buffer must be C-contiguous"


def mapped(data: bytes) -> mmap.mmap:
    m = mmap.mmap(-1, len(data))
    m.write(data)
    return m


BYTE_BUFFERS = {
    "bytes": lambda b: b,
    "memoryview-c": lambda b: memoryview(b).cast("c"),
    "array-B": lambda b: array.array("B", b),
    "mmap": mapped,
    "2d": lambda b: memoryview(b).cast("B", (1, len(b))),
    # ctypes arrays say "<B" and "<c": byte order is no reason to refuse single bytes.
    "ctypes-ubyte": lambda b: (ctypes.c_ubyte * len(b)).from_buffer_copy(b),
    "ctypes-char": lambda b: (ctypes.c_char * len(b)).from_buffer_copy(b),
}


@pytest.mark.parametrize("make", BYTE_BUFFERS.values(), ids=BYTE_BUFFERS)
def test_byte_buffers_accepted(make):
    data = make(DOC.encode())
    assert varnex.get_buffer(data, "r.a.1") == "2"
    assert varnex.validate(data) is True
    assert varnex.parse(data).type_ is dict


@pytest.mark.parametrize(
    "call",
    [varnex.get_buffer, lambda d, p: varnex.compile(p).get_buffer(d),
     lambda d, p: varnex.get_many_buffer(d, [p])],
    ids=["get_buffer", "Path.get_buffer", "get_many_buffer"],
)
@pytest.mark.parametrize(
    "data",
    [DOC, array.array("i", [1, 2]), memoryview(b"<r/>").cast("b")],
    ids=["str", "array-i", "format-b"],
)
def test_buffer_functions_reject_non_byte_buffers(call, data):
    with pytest.raises(ValueError) as info:
        call(data, "r")
    assert str(info.value) == NOT_BUFFER
    assert info.value.__context__ is None  # the exporter's own error is discarded


@pytest.mark.parametrize("function", [varnex.parse, varnex.validate])
@pytest.mark.parametrize("data", [None, array.array("I", [7])], ids=repr)
def test_source_rule_rejects(function, data):
    with pytest.raises(ValueError) as info:
        function(data)
    assert str(info.value) == NOT_SOURCE


@pytest.mark.parametrize(
    "call",
    [lambda d: varnex.get_buffer(d, "r"), varnex.parse, varnex.validate],
    ids=["get_buffer", "parse", "validate"],
)
def test_non_contiguous_buffers(call):
    strided = memoryview(bytearray(b"<<rr//>>"))[::2]
    with pytest.raises(ValueError) as info:
        call(strided)
    assert str(info.value) == NOT_CONTIGUOUS


def test_empty_path_touches_nothing_and_only_get_buffer_checks_the_path_first():
    assert len(varnex.get_buffer(12, "")) == 0
    assert len(varnex.get("\ud800", "")) == 0
    with pytest.raises(TypeError, match="'int' object is not an instance of 'str'"):
        varnex.get(12, "")
    with pytest.raises(ValueError, match="^empty path"):
        varnex.get_buffer(12, ".")


@pytest.mark.parametrize("call", [lambda d: varnex.get(d, "a"), varnex.parse, varnex.validate])
def test_lone_surrogate_document(call):
    with pytest.raises(UnicodeEncodeError):
        call("<a>\ud800</a>")


def test_buffer_results_copy_while_parse_rereads():
    data = bytearray(b"<r><a>1</a><a>2</a></r>")
    whole = varnex.parse(data)
    copies = (varnex.get_buffer(data, "r.a"), varnex.compile("r.a").get_buffer(data), whole["a"],
              whole.get("r.a.1"), varnex.get_many_buffer(data, ["r.a.0"])[0])
    data[:] = b"<r>changed</r>"  # resizing works: no view is held
    assert [c.to_str() for c in copies] == ["<a>1</a>\n<a>2</a>"] * 3 + ["2", "1"]
    assert whole.to_str() == "changed"
    data.clear()
    assert whole.to_str() == ""


@pytest.mark.parametrize("close", [mmap.mmap.close, memoryview.release], ids=["mmap", "view"])
def test_reading_a_source_gone_bad_raises_the_source_error_but_repr_does_not(close):
    data = b"<r><a>1</a></r>"
    source = mapped(data) if close is mmap.mmap.close else memoryview(data)
    result = varnex.parse(source)
    keys, values, children = result.keys(), result.values(), result.children()
    close(source)
    for read in (result.to_str, lambda: result["a"], lambda: result.get_many(["r.a"]),
                 lambda: len(keys), lambda: iter(keys), lambda: "a" in keys, lambda: len(values),
                 lambda: iter(values), lambda: iter(children)):
        with pytest.raises(ValueError) as info:
            read()
        assert str(info.value) == NOT_SOURCE
    assert repr(result) == "<Result (source closed)>"
    assert repr(keys) == "result_keys(<source closed>)"
    assert repr(values) == "result_values([...])"


def test_results_keep_their_document_alive():
    doc = "<r><a>" + "x" * 100 + "</a></r>"
    before = sys.getrefcount(doc)
    result = varnex.get(doc, "r.a")
    assert sys.getrefcount(doc) == before + 1
    del doc
    assert result.to_str() == "x" * 100


def test_parse_accepts_anything_readable():
    for data in (b"not xml", "not xml", bytearray(b""), memoryview(b"\xff\xfe")):
        result = varnex.parse(data)
        assert len(result) == 1
        assert varnex.validate(data) is False

"""Memory and references stay flat when every entry point runs many thousands of times."""

from __future__ import annotations

import atexit
import gc
import os
import pathlib
import sys
import tempfile
import warnings
import weakref

import pytest
import varnex
from varnex._fields import Plan

DOC = '<r><a id="1">10</a><a id="2">x</a><b><c>\u00e9</c></b><d v="&quot;t&quot;"/></r>'
DOC_BYTES = DOC.encode()
BAD_UTF8 = b'<r a="\xff"/>'
LATIN1 = '<?xml version="1.0" encoding="latin1"?><r><a x="\u00e9">caf\u00e9</a><b/></r>'.encode(
    "latin-1")
UTF16 = "<r><a>\u2615</a></r>".encode("utf-16")
_fd, _name = tempfile.mkstemp(suffix=".xml")
os.write(_fd, DOC_BYTES)
os.close(_fd)
atexit.register(os.unlink, _name)
FILE = pathlib.Path(_name)  # a document read through a map


def expect(error, call):
    try:
        call()
    except error:
        return
    raise AssertionError(f"{error} not raised")


def exercise(doc, data, buffer, bad):
    """One round of every function, method, slot and error path."""
    for result in (
        varnex.get(doc, "r.a"),
        varnex.get_bytes(data, "r.b"),
        varnex.get_buffer(buffer, "r.a.#.@id"),
        varnex.parse(data),
        varnex.parse(buffer),
        varnex.get(doc, "r.d.@v"),
        varnex.get(doc, "r.nothing"),
    ):
        _ = result.exists(), result.to_str(), result.to_int(), result.to_float(), result.to_bool()
        _ = result.to_str_list()
        _ = result.value, result.type_, len(result), bool(result)
        _ = result == "10", result == ["10", "x"], result == result, result != 3
        try:
            _ = int(result), float(result)
        except (TypeError, ValueError):
            pass
    varnex.validate(data), varnex.validate(doc), varnex.validate(buffer)
    _ = varnex.get(FILE, "r.a").to_str_list(), varnex.get_buffer(FILE, "r.b"), varnex.check(FILE)
    _ = varnex.parse(FILE)["b"]["c"], varnex.get_many_bytes(FILE, ["r.a", "r.d.@v"])
    expect(FileNotFoundError, lambda: varnex.get(FILE.with_suffix(".none"), "r"))
    expect(ValueError, lambda: varnex.get(_name, "r"))  # a str naming the file
    varnex.check(data), varnex.check(buffer), varnex.validate(LATIN1, strict=True)
    expect(varnex.XMLSyntaxError, lambda: varnex.check(bad))
    expect(varnex.XMLSyntaxError, lambda: varnex.check("<r><é></r>"))
    expect(TypeError, lambda: varnex.validate(doc, True, 3))
    _ = [x.to_str() for x in varnex.get(doc, "r.a")], varnex.get_many(doc, ["r.a"])[0].to_str_list()
    whole = varnex.parse(data)
    _ = varnex.compile("r.a").get_bytes(data), varnex.get_many(doc, ["r.a", "r.b.c"])
    _ = whole["a"][1:], whole["b"]["c"][0], whole.get("r.b"), whole.get_many(["d.@v"]), list(whole)
    _ = [list(v) for v in (whole.keys(), whole.values(), whole.items(), whole.children())]
    _ = "a" in whole.keys(), len(whole.keys()), len(whole.children())  # the kept child index
    live = varnex.parse(bytearray(b"<r>abc</r>"))
    _ = live[0], live[1:], live[2]  # a kept text checked against the buffer
    for encoded in (LATIN1, UTF16):  # decoded copies
        _ = varnex.get_bytes(encoded, "r.a").to_str(), varnex.get_buffer(encoded, "r.a.@x")
        _ = varnex.get_many_bytes(encoded, ["r.a", "r"]), varnex.validate(encoded)
        _ = varnex.parse(encoded)["a"][1:], list(varnex.parse(bytearray(encoded)).items())
    fields = {"id": "@id", "text": "#text", "c": varnex.compile("c")}
    _ = varnex.records(data, "r.a.#", fields), varnex.records(LATIN1, "r.a.#", fields)
    _ = varnex._varnex._table(buffer, Plan("**.a", fields).capsule)
    expect(ValueError, lambda: varnex.records(data, "r.a.#", {"x": "a)"}))
    # Every column type, the policies, the located errors and a skipped record.
    typed = {"id": ("@id", "int64"), "n": varnex.Field("#text", "float64", on_invalid="null"),
             "k": ("#text", "dictionary"), "all": ("**.c", "large_string"),
             "d": varnex.Field("#text", "decimal128(5, 1)", on_invalid="null"),
             "t": varnex.Field("@id", "timestamp[ms, tz=UTC]", format="%d", on_invalid="null")}
    _ = varnex.records(data, "r.a.#", typed)
    _ = varnex._varnex._table(buffer, Plan("r.a", typed).capsule)
    expect(ValueError, lambda: varnex.records(data, "r.a.#", {"n": ("#text", "int8")}))
    expect(ValueError, lambda: varnex.records(buffer, "r", {"a": "a"}))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        _ = varnex.records(bad + b"<r><a>1</a></r>", "**.r", {"a": "@a"}, on_error="skip")
    _ = str(varnex.describe_records(data, "r.a", sample=None))
    pieces = [data[i:i + 7] for i in range(0, len(data), 7)]
    _ = varnex.iter_batches(pieces, "r.a", typed, batch_rows=1).read_all()
    _ = list(varnex.iter_records(LATIN1, "r.a", fields)), list(varnex.iter_records(doc, "r.a", {}))
    expect(ValueError, lambda: list(varnex.iter_records([b"<r><a>", b"1"], "r.a", {"c": "c"})))
    expect(ValueError, lambda: list(varnex.iter_records(b"\x1f\x8b\x08" + data, "r.a", {})))
    text = varnex.get(doc, "r.b.c")
    _ = text[0], text[-1:], text[::-1], repr(text)  # the kept text and its marks
    bad_result = varnex.get_bytes(bad, "r.@a")
    _ = repr(bad_result)
    expect(ValueError, bad_result.to_str)
    expect(ValueError, bad_result.to_str_list)
    expect(ValueError, lambda: bad_result == bad_result)
    expect(TypeError, lambda: varnex.get(data, "r"))
    expect(TypeError, lambda: varnex.get(doc, "r", bogus=1))
    expect(ValueError, lambda: varnex.get(doc, "r.a.@id.x"))
    expect(ValueError, lambda: varnex.get(doc, "r\u0301)"))
    expect(ValueError, lambda: varnex.get_bytes(data, "r.a.c"))
    expect(ValueError, lambda: varnex.get_buffer(doc, "r"))
    expect(ValueError, lambda: varnex.get_buffer(buffer, "r.a.c"))  # after the view was taken
    expect(ValueError, lambda: varnex.parse(memoryview(buffer)[::2]))
    expect(UnicodeEncodeError, lambda: varnex.get(doc, "\ud800"))
    expect(TypeError, lambda: hash(bad_result))


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer quarantines freed memory")
def test_memory_stays_flat():
    buffer = bytearray(DOC_BYTES)
    for _ in range(2000):  # warm up allocator pools and caches
        exercise(DOC, DOC_BYTES, buffer, BAD_UTF8)
    gc.collect()
    growth = []
    for _ in range(3):
        before = rss_bytes()
        for _ in range(4000):
            exercise(DOC, DOC_BYTES, buffer, BAD_UTF8)
        gc.collect()
        growth.append(rss_bytes() - before)
    # A leak of even a few bytes per call would add megabytes over 4000 rounds of
    # ~60 calls; allow some allocator noise, and judge the quietest round.
    assert min(growth) < 1 << 20, growth


def test_references_are_returned():
    doc, data, buffer, bad = "".join(DOC), bytes(DOC_BYTES), bytearray(DOC_BYTES), bytes(BAD_UTF8)
    exercise(doc, data, buffer, bad)
    gc.collect()
    counts = [sys.getrefcount(x) for x in (doc, data, buffer, bad)]
    for _ in range(500):
        exercise(doc, data, buffer, bad)
    gc.collect()
    assert [sys.getrefcount(x) for x in (doc, data, buffer, bad)] == counts
    buffer.extend(b" ")  # no buffer view left behind


def test_cycles_through_documents_are_collected():
    class Doc(bytes):
        pass

    class Marker:
        pass

    doc = Doc(DOC_BYTES)
    doc.marker = Marker()
    alive = weakref.ref(doc.marker)  # bytes objects take no weak references
    doc.result = varnex.parse(doc)  # doc -> result -> doc
    doc.view = varnex.parse(doc).keys()  # doc -> view -> result -> doc
    doc.items = iter(varnex.get_bytes(doc, "r.a"))  # doc -> iterator -> result -> doc
    del doc
    gc.collect()
    assert alive() is None

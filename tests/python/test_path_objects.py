"""compile() and Path objects: queries, argument errors, repr, and program sharing."""

from __future__ import annotations

import gc
import inspect
import threading

import pytest
import varnex
from conftest import pieces

DOC = '<a><b id="1">x</b><b id="2"><c>y</c></b></a>'


def test_compile_returns_a_fresh_path_each_time():
    first, second = varnex.compile("a.b"), varnex.compile("a.b")
    assert type(first) is varnex.Path
    assert first is not second
    assert first != second  # identity equality, like object
    assert pieces(first.get(DOC)) == pieces(second.get(DOC))


@pytest.mark.parametrize(
    "path", ["a.b", "a.b.#.@id", "a.b.1.c", "a.b#(@id=2).c", "**.c.#text", "a.b.#.@id|@reverse"]
)
def test_methods_agree_with_the_module_functions(path):
    compiled = varnex.compile(path)
    expected = pieces(varnex.get(DOC, path))
    assert pieces(compiled.get(DOC)) == expected
    assert pieces(compiled.get_bytes(DOC.encode())) == expected
    assert pieces(compiled.get_buffer(bytearray(DOC.encode()))) == expected
    assert pieces(compiled.get(data=DOC)) == expected


def test_get_keeps_spans_of_the_document_and_get_buffer_copies():
    data = bytearray(b"<a><b>1</b></a>")
    result = varnex.compile("a.b").get_buffer(data)
    data[:] = b"<zz/>"  # resizing works: no view is held
    assert result.to_str() == "1"
    assert varnex.compile("a.b").get_bytes(b"<a><b>2</b></a>").to_str() == "2"


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: varnex.compile(5), "argument 'path': 'int' object is not an instance of 'str'"),
        (lambda: varnex.compile(None), "argument 'path': 'None' is not an instance of 'str'"),
        (lambda: varnex.compile(), "compile() missing 1 required positional argument: 'path'"),
        (
            lambda: varnex.compile("a", "b"),
            "compile() takes 1 positional arguments but 2 were given",
        ),
        (lambda: varnex.compile(p="a"), "compile() got an unexpected keyword argument 'p'"),
        (
            lambda: varnex.compile("a").get(b"<a/>"),
            "argument 'data': 'bytes' object is not an instance of 'str'",
        ),
        (
            lambda: varnex.compile("a").get_bytes("<a/>"),
            "argument 'data': 'str' object is not an instance of 'bytes'",
        ),
        (
            lambda: varnex.compile("a").get(),
            "Path.get() missing 1 required positional argument: 'data'",
        ),
        (
            lambda: varnex.compile("a").get_buffer("<a/>", data="x"),
            "Path.get_buffer() got multiple values for argument 'data'",
        ),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("path", "message"),
    [
        ("", 'empty path\n  in path: ""'),
        ("a|@nope", 'unknown modifier: @nope\n  in path: "a|@nope"\n' + " " * 14 + "^"),
    ],
)
def test_path_errors_have_no_empty_shortcut(path, message):
    with pytest.raises(ValueError) as info:
        varnex.compile(path)
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("data", "message"),
    [
        ("<a/>", "data must be a buffer-protocol object (mmap, bytearray, memoryview)"),
        (
            memoryview(b"abcd").cast("i"),
            "data must be a buffer-protocol object (mmap, bytearray, memoryview)",
        ),
        (memoryview(bytearray(b"<a>1</a>"))[::2], "buffer must be C-contiguous"),
    ],
)
def test_get_buffer_rejects_unusable_buffers(data, message):
    with pytest.raises(ValueError) as info:
        varnex.compile("a").get_buffer(data)
    assert str(info.value) == message


def test_ambiguity_is_raised_by_every_method():
    compiled = varnex.compile("a.b.c")
    message = "path is ambiguous: b matches multiple elements but the path continues"
    doc = "<a><b/><b/></a>"
    for call, data in [
        (compiled.get, doc),
        (compiled.get_bytes, doc.encode()),
        (compiled.get_buffer, doc.encode()),
    ]:
        with pytest.raises(ValueError, match=message):
            call(data)


@pytest.mark.parametrize(
    ("path", "text"),
    [
        ("a.b", 'Path("a.b")'),
        ('x#(y="1")', 'Path("x#(y=\\"1\\")")'),
        ("a\\.b\t", 'Path("a\\\\.b\\t")'),
        ("caf\u00e9.\u0301x", 'Path("caf\u00e9.\\u{301}x")'),
    ],
)
def test_repr_quotes_the_path_as_errors_do(path, text):
    assert repr(varnex.compile(path)) == text


def test_class_cannot_be_instantiated_or_extended():
    with pytest.raises(TypeError):
        varnex.Path()
    with pytest.raises(TypeError):
        type("Sub", (varnex.Path,), {})
    assert varnex.Path.__module__ == "varnex._varnex"
    assert {n for n in dir(varnex.Path) if not n.startswith("_")} == {
        "get",
        "get_bytes",
        "get_buffer",
    }


def test_methods_reject_a_foreign_receiver():
    with pytest.raises(TypeError):
        varnex.Path.get(5, "<a/>")


@pytest.mark.parametrize(
    ("method", "signature"),
    [("get", "($self, data)"), ("get_bytes", "($self, data)"), ("get_buffer", "($self, data)")],
)
def test_text_signatures(method, signature):
    assert getattr(varnex.Path, method).__text_signature__ == signature
    assert varnex.compile.__text_signature__ == "(path)"
    assert str(inspect.signature(varnex.compile)) == "(path)"


def test_program_outlives_the_thread_that_compiled_it():
    made = []
    worker = threading.Thread(target=lambda: made.append(varnex.compile("a.b.#.@id")))
    worker.start()
    worker.join()
    gc.collect()
    assert pieces(made[0].get(DOC)) == ["1", "2"]

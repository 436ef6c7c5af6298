"""compile() and Path objects: queries, errors, repr, and program sharing."""

from __future__ import annotations

import threading

import pytest
import varnex
from conftest import NOT_BUFFER, WRONG_TYPE, pieces

DOC = '<a><b id="1">x</b><b id="2"><c>y</c></b></a>'


@pytest.mark.parametrize(
    ("path", "method", "args", "error", "message"),
    [
        (5, None, (), TypeError, WRONG_TYPE.format("path", "int", "str")),
        ("", None, (), ValueError, 'empty path\n  in path: ""'),
        ("a", "get", (b"<a/>",), TypeError, WRONG_TYPE.format("data", "bytes", "str")),
        ("a", "get", (), TypeError, "Path.get() missing 1 required positional argument: 'data'"),
        ("a", "get_buffer", ("<a/>",), ValueError, NOT_BUFFER),
    ],
)  # fmt: skip
def test_errors(path, method, args, error, message):
    with pytest.raises(error) as info:
        compiled = varnex.compile(path)
        getattr(compiled, method)(*args)
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("path", "text"),
    [
        ('a\\."b\t', 'Path("a\\\\.\\"b\\t")'),
        ("caf\u00e9.\u0301x", 'Path("caf\u00e9.\\u{301}x")'),
    ],
)
def test_repr_quotes_the_path_as_errors_do(path, text):
    assert repr(varnex.compile(path)) == text


def test_class_is_closed_and_each_compile_makes_a_new_path():
    first, second = varnex.compile("a.b"), varnex.compile("a.b")
    assert type(first) is varnex.Path and first is not second
    assert first == second and hash(first) == hash(second)  # equal texts, equal paths
    with pytest.raises(TypeError):
        varnex.Path()
    with pytest.raises(TypeError):
        type("Sub", (varnex.Path,), {})
    with pytest.raises(TypeError):
        varnex.Path.get(5, "<a/>")
    public = {n for n in dir(varnex.Path) if not n.startswith("_")}
    assert public == {"get", "get_bytes", "get_buffer"}


def test_program_outlives_the_thread_that_compiled_it():
    made = []
    worker = threading.Thread(target=lambda: made.append(varnex.compile("a.b.#.@id")))
    worker.start()
    worker.join()
    assert pieces(made[0].get(DOC)) == ["1", "2"]

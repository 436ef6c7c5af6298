"""compile() and Path objects, and path and engine errors as Python sees them: messages,
quoting and carets."""

from __future__ import annotations

import threading

import pytest
import varnex
from conftest import QUERIES, WRONG_TYPE, entries, pieces

DOC = "<a><b><c>1</c></b><b><c>2</c></b></a>"


def path_error(path: str) -> str:
    with pytest.raises(ValueError) as info:
        varnex.get(DOC, path)
    return str(info.value)


def caret(offset: int) -> str:
    return "\n" + " " * (offset + 12) + "^"


# Every message's first line is in the documentation's examples and the carets are the C++
# compiler tables': these are whole texts as Python builds them, with and without a caret.
@pytest.mark.parametrize(
    ("path", "message"),
    [
        (".", 'empty path\n  in path: "."'),
        ("a.#text.b", '#text must be the last component\n  in path: "a.#text.b"' + caret(2)),
        ("a.b|@bogus", 'unknown modifier: @bogus\n  in path: "a.b|@bogus"' + caret(4)),
    ],
)
def test_messages(path, message):
    assert path_error(path) == message


@pytest.mark.parametrize(
    ("path", "quoted", "offset"),
    [
        # Quotes, backslashes and controls are escaped; the caret still counts raw bytes.
        ('x"\\.a.@', 'x\\"\\\\.a.@', 6),
        ("\t\r\n\0\x07\x7f.@", "\\t\\r\\n\\0\\u{7}\\u{7f}.@", 7),
        # Printable non-ASCII stays; its extra bytes move the caret right.
        ("\u00e9t\u00e9's.@", "\u00e9t\u00e9's.@", 8),
        # Marks of every kind (Mn, Mc, Me), format and C1 controls, and a 4-byte tag are escaped.
        ("e\u0301\u0903\u20dd.@", "e\\u{301}\\u{903}\\u{20dd}.@", 10),
        ("\u200b\u0085\U000e0001.@", "\\u{200b}\\u{85}\\u{e0001}.@", 10),
    ],
)
def test_quoting_and_caret(path, quoted, offset):
    message = path_error(path)
    assert message.startswith("@ must be followed by an attribute name\n")
    assert message.split("\n")[1] == f'  in path: "{quoted}"'
    assert message.endswith(caret(offset))


def test_every_function_raises_them():  # ambiguity: the query table's error rows
    for _, run in entries(QUERIES, DOC.encode()):
        with pytest.raises(ValueError, match="^unknown modifier: @Count"):
            run(DOC.encode(), "a|@Count")


@pytest.mark.parametrize(
    ("path", "method", "args", "error", "message"),
    [
        (5, None, (), TypeError, WRONG_TYPE.format("path", "int", "str")),
        ("a", "get", (b"<a/>",), TypeError, WRONG_TYPE.format("data", "bytes", "str")),
        ("a", "get", (), TypeError, "Path.get() missing 1 required positional argument: 'data'"),
    ],
)  # fmt: skip
def test_path_object_errors(path, method, args, error, message):
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
    worker = threading.Thread(target=lambda: made.append(varnex.compile("a.b.#.c")))
    worker.start()
    worker.join()
    assert pieces(made[0].get(DOC)) == ["1", "2"]

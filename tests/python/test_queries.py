"""The shared query table (tests/cases/queries.txt) through every query function, and several
paths in one pass: arguments, errors and Result.get_many."""

from __future__ import annotations

import re
from pathlib import Path

import pytest
import varnex
from conftest import MANY, QUERIES, WRONG_TYPE, entries, pieces

CASES = Path(__file__).parent.parent / "cases" / "queries.txt"
TOKEN = re.compile(r'"((?:[^"\\]|\\.)*)"|(\S+)')
ESCAPE = re.compile(rb"\\(x[0-9a-fA-F]{2}|.)")


def unescape(text: str) -> bytes:
    def one(m: re.Match[bytes]) -> bytes:
        e = m.group(1)
        if e[:1] == b"x":
            return bytes([int(e[1:], 16)])
        return {b"n": b"\n", b"t": b"\t"}.get(e, e)

    return ESCAPE.sub(one, text.encode())


def answer(tokens: list) -> tuple[str, object]:
    """("error", name) or ("items", [bytes...]) from the tokens after => or many."""
    return ("error", tokens[1].decode()) if tokens[:1] == ["error"] else ("items", tokens)


def load() -> list[pytest.param]:
    rows = []
    doc = b""
    for number, line in enumerate(CASES.read_text().splitlines(), 1):
        if not line or line.startswith("#"):
            continue
        # Quoted strings as bytes, bare words as str.
        tokens = [unescape(m[1]) if m[1] is not None else m[2] for m in TOKEN.finditer(line)]
        if tokens[0] == "doc":
            doc = tokens[1]
            continue
        split = tokens.index("many") if "many" in tokens else len(tokens)
        single = answer(tokens[2:split])
        many = answer(tokens[split + 1:]) if split < len(tokens) else single
        rows.append(pytest.param(doc, tokens[0].decode(), single, many, id=f"line{number}"))
    return rows


ROWS = load()


def texts(result) -> list[str]:
    """Each item's text, untrimmed; an element with child elements as its markup."""
    items = [result] if len(result) == 1 else list(result.value or [])
    return [r.to_str() if r.type_ is dict else "".join(r) for r in items]


def check(name: str, call, expected: tuple[str, object]) -> None:
    kind, value = expected
    if kind == "error":
        with pytest.raises(ValueError, match=f"^path is ambiguous: {re.escape(value)} matches"):
            call()
        return
    assert texts(call()) == [v.decode() for v in value], name


@pytest.mark.parametrize(("doc", "path", "single", "many"), ROWS)
def test_table(doc, path, single, many):
    for name, call in entries(QUERIES, doc):
        check(name, lambda call=call: call(doc, path), single)
    for name, call in entries(MANY, doc):
        check(name, lambda call=call: call(doc, [path])[0], many)


DOC = """<shop>
  <item id="i1"><name>Tea</name><price>3</price></item>
  <item id="i2"><name>Cake &amp; co</name><price>7</price><tag/></item>
  <note>closed on Sunday</note>
</shop>"""

def test_paths_may_be_strings_compiled_paths_or_empty():
    paths = ["", varnex.compile("shop.note"), "shop.item.0.@id", "shop.item.1.name", ""]
    for name, run in entries(MANY, DOC.encode()):
        results = run(DOC.encode(), paths)
        assert type(results) is list and all(type(r) is varnex.Result for r in results), name
        assert [pieces(r) for r in results] == [
            [], ["closed on Sunday"], ["i1"], ["Cake & co"], []], name


BAD_ENTRY = "paths must be a list of str or varnex.Path"


def unknown(path: str) -> str:
    return f'unknown modifier: @x\n  in path: "{path}"\n' + " " * 14 + "^"


@pytest.mark.parametrize(
    ("function", "data", "paths", "error", "message"),
    [
        (varnex.get_many, b"<a/>", ["a"], TypeError, WRONG_TYPE.format("data", "bytes", "str")),
        (varnex.get_many, "<a/>", ["a", "\ud800"], TypeError, BAD_ENTRY),
        (varnex.get_many, "<a/>", ["a", "b|@x"], ValueError, unknown("b|@x")),
        (varnex.get_many_buffer, 123, ["a|@x"], ValueError, unknown("a|@x")),
    ],
)  # fmt: skip
def test_errors_in_order_of_checking(function, data, paths, error, message):
    with pytest.raises(error) as info:
        function(data, paths)
    assert str(info.value) == message


# --- Result.get_many -------------------------------------------------------------

ELEMENT_DOC = '<a id="7">top<b>1</b><b>2</b><c k="x"/><d><b>3</b></d></a>'
RELATIVE = {"@id": ["7"], "b": ["1", "2"], "c.@k": ["x"], "#text": ["top123"], "a": [], "": [],
            "b.#": ["2"], "b|@reverse": ["2", "1"], "**.b|@count": ["3"], "d.b": ["3"]}


@pytest.mark.parametrize(
    "make",
    [
        lambda: varnex.get(ELEMENT_DOC, "a"),
        lambda: varnex.get_buffer(bytearray(ELEMENT_DOC.encode()), "a"),
        lambda: varnex.get(f"<r>{ELEMENT_DOC}</r>", "r.a"),
    ],
)
def test_result_get_and_get_many_are_relative_to_the_element(make):
    found = make().get_many(list(RELATIVE))
    assert [pieces(r) for r in found] == list(RELATIVE.values())
    assert [pieces(make().get(p)) for p in RELATIVE] == list(RELATIVE.values())


def test_result_get_many_on_parse_starts_at_the_top_element_and_on_an_empty_one_inside():
    for data in (ELEMENT_DOC, ELEMENT_DOC.encode(), bytearray(ELEMENT_DOC.encode())):
        found = varnex.parse(data).get_many(["@id", "b", "a.@id", "a.b"])
        assert [pieces(r) for r in found] == [[], [], ["7"], ["1", "2"]]
    found = varnex.get(ELEMENT_DOC, "a.c").get_many(["@k", "#text", "d"])
    assert [pieces(r) for r in found] == [["x"], [""], []]


@pytest.mark.parametrize("path", ["nothing", "a.@id"], ids=["empty", "text"])
def test_result_get_many_without_an_element_gives_empty_results(path):
    result = varnex.get(ELEMENT_DOC, path)
    assert [len(r) for r in result.get_many(["a", "", "@id"])] == [0, 0, 0]
    assert result.get_many([]) == []


def test_result_get_many_errors():
    multi = varnex.get("<r><a/><a/></r>", "r.a")
    with pytest.raises(ValueError) as info:
        multi.get_many(["x|@bad"])  # the shape is checked before the paths
    assert str(info.value) == (
        "Result.get_many(paths) is not supported on a multi-element Result; "
        "iterate the Result or pick an index first"
    )
    with pytest.raises(TypeError, match=BAD_ENTRY):
        varnex.get(ELEMENT_DOC, "a").get_many([None])
    with pytest.raises(ValueError, match="path is ambiguous: x"):
        varnex.get("<a><x></x><x></x></a>", "a").get_many(["x.y"])


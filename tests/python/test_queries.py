"""The shared query table (tests/cases/queries.txt) through every query function."""

from __future__ import annotations

import re
from pathlib import Path

import pytest
from conftest import MANY, QUERIES, entries

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


def answer(tokens: list[tuple[bool, object]]) -> tuple[str, object]:
    """("error", name) or ("items", [bytes...]) from the tokens after => or many."""
    if tokens and tokens[0] == (False, "error"):
        return "error", tokens[1][1].decode()
    return "items", [t for quoted, t in tokens if quoted]


def load() -> list[pytest.param]:
    rows = []
    doc = b""
    for number, line in enumerate(CASES.read_text().splitlines(), 1):
        if not line or line.startswith("#"):
            continue
        tokens = [(m[1] is not None, unescape(m[1]) if m[1] is not None else m[2])
                  for m in TOKEN.finditer(line)]
        if tokens[0] == (False, "doc"):
            doc = tokens[1][1]
            continue
        rest = [t[1] for t in tokens[2:]]
        split = rest.index("many") if "many" in rest else len(rest)
        single = answer(tokens[2:2 + split])
        many = answer(tokens[3 + split:]) if split < len(rest) else single
        rows.append(pytest.param(doc, tokens[0][1].decode(), single, many, id=f"line{number}"))
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

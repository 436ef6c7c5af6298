"""JSON values from matched text and markup.

Text written as a JSON number becomes that number. For `--json-elements=dict`
an element's markup becomes a nested object: the query has already found the
element, this only reshapes its markup. Attributes go under "@name", child
elements under their names (a list when a name repeats), text under "#text";
an element with neither attributes nor children is its text alone. Like the
queries, it never fails on malformed markup: a stray end tag is ignored and
unclosed elements end with the input.
"""

from __future__ import annotations

import json
import re
from typing import Any

# A JSON number as JSON writes it: no "+", no leading zeros, no "1." or ".5", no nan or inf.
_JSON_NUMBER = re.compile(r"-?(?:0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?")

_TOKEN = re.compile(
    r"""<!--.*?(?:-->|\Z)
      | <!\[CDATA\[(?P<cdata>.*?)(?:\]\]>|\Z)
      | <\?.*?(?:\?>|\Z)
      | <!(?:[^>"'\[]|"[^"]*"|'[^']*'|\[.*?\])*>?
      | </(?P<end>[^\s>]*)[^>]*>?
      | <(?P<start>[^\s/>]+)(?P<attrs>(?:[^>"']|"[^"]*"|'[^']*')*?)(?P<empty>/?)>
      | (?P<text>[^<]+|<)
    """,
    re.S | re.X,
)
_ATTR = re.compile(r"""([^\s=/]+)\s*=\s*(?:"([^"]*)"|'([^']*)')""")
_REF = re.compile(r"&(?:(lt|gt|amp|apos|quot)|#([0-9]+)|#x([0-9a-fA-F]+));")
_NAMED = {"lt": "<", "gt": ">", "amp": "&", "apos": "'", "quot": '"'}
_encode_string = json.encoder.encode_basestring  # the C encoder json.dumps itself uses


class JsonNumber(str):
    """Text written as a JSON number: it goes into the output as it is, digits and all."""


def json_scalar(text: str) -> str:
    """The text as a JSON number when it is written as one, else as a JSON string.

    "007" and "+5" stay strings, so identifiers and postcodes keep their digits.
    """
    return JsonNumber(text) if _JSON_NUMBER.fullmatch(text) else text


def to_json(value: Any, indent: str | None = None, level: str = "") -> str:
    """JSON text, compact or indented, as json.dumps writes it; numbers as written."""
    if isinstance(value, str):
        return value if type(value) is JsonNumber else _encode_string(value)
    if value is None:
        return "null"
    entries: list[tuple[str | None, Any]]
    if isinstance(value, dict):
        open_, close, entries = "{", "}", [(_encode_string(k), v) for k, v in value.items()]
    else:
        open_, close, entries = "[", "]", [(None, v) for v in value]
    if not entries:
        return open_ + close
    inner = level + indent if indent is not None else ""
    key_end = ": " if indent is not None else ":"
    parts = [(key + key_end if key else "") + to_json(v, indent, inner) for key, v in entries]
    if indent is None:
        return open_ + ",".join(parts) + close
    return f"{open_}\n{inner}" + f",\n{inner}".join(parts) + f"\n{level}{close}"


def _unescape(text: str) -> str:
    """Predefined entities and character references; anything else stays as written."""

    def one(match: re.Match[str]) -> str:
        name, decimal, hexadecimal = match.groups()
        if name:
            return _NAMED[name]
        code = int(decimal) if decimal else int(hexadecimal, 16)
        # No surrogates: they could not be written out as UTF-8.
        valid = 0 < code <= 0x10FFFF and not 0xD800 <= code <= 0xDFFF
        return chr(code) if valid else match.group()

    return _REF.sub(one, text) if "&" in text else text


class _Element:
    __slots__ = ("name", "attrs", "children", "text")

    def __init__(self, name: str, attrs: str) -> None:
        self.name = name
        self.attrs: dict[str, str] = {}
        for key, double, single in _ATTR.findall(attrs):
            self.attrs.setdefault(key, _unescape(double or single))
        self.children: list[_Element] = []
        self.text: list[str] = []

    def to_json(self) -> Any:
        text = "".join(self.text).strip()
        if not self.attrs and not self.children:
            return json_scalar(text)
        value: dict[str, Any] = {"@" + k: json_scalar(v) for k, v in self.attrs.items()}
        for child in self.children:
            converted = child.to_json()
            if child.name not in value:
                value[child.name] = converted
            elif isinstance(existing := value[child.name], list):
                existing.append(converted)  # element values are never lists themselves
            else:
                value[child.name] = [existing, converted]
        if text:
            value["#text"] = json_scalar(text)
        return value


def markup_to_json(markup: str) -> Any:
    """The first element in `markup` as JSON-ready values; None when there is none."""
    stack: list[_Element] = []
    root: _Element | None = None
    for token in _TOKEN.finditer(markup):
        if token.group("start") is not None:
            if root is not None and not stack:
                break  # only the first element
            element = _Element(token.group("start"), token.group("attrs"))
            if stack:
                stack[-1].children.append(element)
            else:
                root = element
            if not token.group("empty"):
                stack.append(element)
            elif not stack:
                break
        elif (name := token.group("end")) is not None:
            for depth in range(len(stack) - 1, -1, -1):
                if stack[depth].name == name:
                    del stack[depth:]
                    break
            if root is not None and not stack:
                break
        elif stack and (text := token.group("text")) is not None:
            stack[-1].text.append(_unescape(text))
        elif stack and (cdata := token.group("cdata")) is not None:
            stack[-1].text.append(cdata)
    return None if root is None else root.to_json()

"""JSON values from matched text and elements.

Text written as a JSON number becomes that number. For `--json-elements=dict`
an element becomes a nested object, read by the query reader in one pass:
attributes go under "@name", child elements under their names (a list when a
name repeats), text under "#text"; an element with neither attributes nor
children is its text alone. Texts and values are decoded as the queries decode
them, and malformed markup is read as leniently: end tags close the innermost
element whatever their name, and unclosed elements end with the input.
"""

from __future__ import annotations

import json
import re
from typing import Any

from varnex._varnex import Result, _element_dict

# A JSON number as JSON writes it: no "+", no leading zeros, no "1." or ".5", no nan or inf.
_JSON_NUMBER = re.compile(r"-?(?:0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?")

_encode_string = json.encoder.encode_basestring  # the C encoder json.dumps itself uses


class JsonNumber(str):
    """Text written as a JSON number: it goes into the output as it is, digits and all."""


def json_scalar(text: str) -> str:
    """The text as a JSON number when it is written as one, else as a JSON string.

    "007" and "+5" stay strings, so identifiers and postcodes keep their digits.
    """
    return JsonNumber(text) if _JSON_NUMBER.fullmatch(text) else text


def to_json(value: Any, indent: str | None = None, level: str = "") -> str:
    """JSON text, compact or indented, as json.dumps writes it; numbers as written.

    A loop rather than recursion, so that no depth of nested elements is too deep.
    """
    parts: list[str] = []
    key_end = ": " if indent is not None else ":"
    # What is left to write, last first: text as it is, or a (value, indentation) pair.
    todo: list[Any] = [(value, level)]
    while todo:
        item = todo.pop()
        if type(item) is str:
            parts.append(item)
            continue
        value, level = item
        if isinstance(value, str):
            parts.append(value if type(value) is JsonNumber else _encode_string(value))
            continue
        if value is None:
            parts.append("null")
            continue
        if isinstance(value, dict):
            open_, close = "{", "}"
            entries = [(_encode_string(k) + key_end, v) for k, v in value.items()]
        else:
            open_, close = "[", "]"
            entries = [("", v) for v in value]
        if not entries:
            parts.append(open_ + close)
            continue
        if indent is None:
            inner, sep, first, last = "", ",", open_, close
        else:
            inner = level + indent
            sep, first, last = ",\n" + inner, open_ + "\n" + inner, "\n" + level + close
        todo.append(last)
        for i in range(len(entries) - 1, -1, -1):
            key, entry = entries[i]
            lead = (sep if i else first) + key
            if isinstance(entry, str):  # most values: written at once
                todo.append(lead + (entry if type(entry) is JsonNumber else _encode_string(entry)))
            else:
                todo.append((entry, inner))
                todo.append(lead)
    return "".join(parts)


def element_to_json(item: Result) -> Any:
    """A one-element Result with child elements as nested JSON-ready values."""
    return _element_dict(item, json_scalar)

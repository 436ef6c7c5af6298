"""JSON values from matched text and elements.

Text written as a JSON number becomes that number. For `--json-elements=dict`
an element becomes a nested object, read by the query reader in one pass:
attributes go under "@name", child elements under their names (a list when a
name repeats), text under "#text"; an element with neither attributes nor
children is its text alone. Texts and values are decoded as the queries decode
them, but JSON holds only text: bytes that are not UTF-8 become U+FFFD, as in
the markup of an element. Malformed markup is read as leniently as queries
read it: end tags close the innermost element whatever their name, and unclosed
elements end with the input.
"""

from __future__ import annotations

import json
import re
from collections.abc import Iterator
from typing import Any

from varnex._varnex import Result, _element_dict

# A JSON number as JSON writes it: no "+", no leading zeros, no "1." or ".5", no nan or inf.
_JSON_NUMBER = re.compile(r"-?(?:0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?")

_encode_string = json.encoder.encode_basestring  # the C encoder json.dumps itself uses

# Nesting deeper than this is written with the indentation of this depth, so that indented
# output stays linear in the size of what it shows.
MAX_INDENT_LEVELS = 64
# About how much JSON text json_pieces() gathers before it hands it over.
PIECE_SIZE = 1 << 16


class JsonText(str):
    """JSON written out as it is: text written as a JSON number, or a string already escaped."""


def json_scalar(text: str) -> str:
    """The text as a JSON number when it is written as one, else as a JSON string.

    "007" and "+5" stay strings, so identifiers and postcodes keep their digits.
    """
    return JsonText(text) if _JSON_NUMBER.fullmatch(text) else text


def json_name(name: str) -> str:
    """A file name as a JSON string: in one that is not UTF-8, each byte that is not becomes
    a \\udcXX escape, which json.loads reads back as the name Python gave (os.fsencode)."""
    try:
        name.encode()
    except UnicodeEncodeError:
        return JsonText(json.encoder.encode_basestring_ascii(name))
    return name


def json_pieces(value: Any, indent: str | None = None) -> Iterator[str]:
    """JSON text of `value`, compact or indented, as json.dumps writes it (numbers as written),
    in pieces of about PIECE_SIZE characters: written as it is made, it is never whole.

    A loop rather than recursion, so that no depth of nested elements is too deep.
    """
    parts: list[str] = []
    size = 0
    key_end = ": " if indent is not None else ":"
    deepest = "" if indent is None else indent * MAX_INDENT_LEVELS
    # What is left to write, last first: text as it is, or a (value, indentation) pair.
    todo: list[Any] = [(value, "")]
    while todo:
        item = todo.pop()
        if type(item) is str:
            text = item
        else:
            value, level = item
            if isinstance(value, str):
                text = value if type(value) is JsonText else _encode_string(value)
            elif value is None:
                text = "null"
            else:
                if isinstance(value, dict):
                    open_, close = "{", "}"
                    entries = [(_encode_string(k) + key_end, v) for k, v in value.items()]
                else:
                    open_, close = "[", "]"
                    entries = [("", v) for v in value]
                if not entries:
                    text = open_ + close
                else:
                    if indent is None:
                        inner, sep, first, last = "", ",", open_, close
                    else:
                        inner = level + indent if len(level) < len(deepest) else level
                        sep, first, last = ",\n" + inner, open_ + "\n" + inner, "\n" + level + close
                    todo.append(last)
                    for i in range(len(entries) - 1, -1, -1):
                        key, entry = entries[i]
                        lead = (sep if i else first) + key
                        if isinstance(entry, str):  # most values: written at once
                            todo.append(lead + (entry if type(entry) is JsonText
                                                else _encode_string(entry)))
                        else:
                            todo.append((entry, inner))
                            todo.append(lead)
                    continue
        parts.append(text)
        size += len(text)
        if size >= PIECE_SIZE:
            yield "".join(parts)
            parts.clear()
            size = 0
    if parts:
        yield "".join(parts)


def to_json(value: Any, indent: str | None = None) -> str:
    """JSON text of `value` as one string (for values known to be small)."""
    if isinstance(value, str):  # most items: written at once
        return value if type(value) is JsonText else _encode_string(value)
    return "".join(json_pieces(value, indent))


def element_to_json(item: Result) -> Any:
    """A one-element Result with child elements as nested JSON-ready values."""
    return _element_dict(item, json_scalar)

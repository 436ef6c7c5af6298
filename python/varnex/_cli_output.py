"""How the command line writes Results: plain text, raw text, JSON values and counts."""

from __future__ import annotations

import json
from collections.abc import Iterable
from typing import Any, BinaryIO

import varnex
from varnex._cli_json import json_scalar, markup_to_json


def items(result: varnex.Result) -> Iterable[varnex.Result]:
    """The Result's items, each as a one-item Result."""
    count = len(result)
    if count == 0:
        return ()
    if count == 1:
        return (result,)
    return iter(result)  # several items iterate as one-item Results


def is_element_with_children(item: varnex.Result) -> bool:
    return item.type_ is dict


def plain_text(item: varnex.Result) -> str:
    """A scalar's text; an element with child elements as its markup."""
    return item.to_str()


def raw_text(item: varnex.Result) -> str:
    """Text only: an element with child elements gives all the text inside it."""
    if is_element_with_children(item):
        return item.get("#text").to_str()
    return item.to_str()


def json_item(item: varnex.Result, elements: str) -> Any:
    if is_element_with_children(item):
        markup = item.to_str()
        return markup_to_json(markup) if elements == "dict" else markup
    return json_scalar(item.to_str())


def json_result(result: varnex.Result, elements: str) -> Any:
    """None for no match, the value for one item, a list for several."""
    values = [json_item(item, elements) for item in items(result)]
    if not values:
        return None
    return values[0] if len(result) == 1 else values


class Output:
    """Records written to a byte stream, each ended by the terminator, in large writes."""

    _FLUSH_AT = 1 << 16

    def __init__(self, stream: BinaryIO, terminator: bytes) -> None:
        self._stream = stream
        self._terminator = terminator
        self._pending = bytearray()

    def record(self, prefix: bytes, text: str) -> None:
        self._pending += prefix
        self._pending += text.encode("utf-8", "surrogateescape")
        self._pending += self._terminator
        if len(self._pending) >= self._FLUSH_AT:
            self.flush()

    def json(self, value: Any, *, line: bool = False) -> None:
        """A JSON value: indented, or on one line."""
        if line:
            text = json.dumps(value, ensure_ascii=False, separators=(",", ":"))
        else:
            text = json.dumps(value, ensure_ascii=False, indent=2)
        self.record(b"", text)

    def flush(self) -> None:
        if self._pending:
            self._stream.write(self._pending)
            self._pending.clear()
        self._stream.flush()

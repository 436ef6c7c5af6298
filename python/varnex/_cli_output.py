"""How the command line writes Results: plain text, raw text, JSON values and counts."""

from __future__ import annotations

import itertools
import sys
from collections.abc import Iterable
from typing import Any, BinaryIO

import varnex
from varnex._cli_json import element_to_json, json_scalar
from varnex._varnex import _to_str_lossy


def say(message: str) -> None:
    """A line on standard error, or nowhere when there is none (`2>&-`): never elsewhere."""
    if sys.stderr is None:
        return
    try:
        print(message, file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass


def items(result: varnex.Result) -> Iterable[varnex.Result]:
    """The Result's items, each as a one-item Result."""
    count = len(result)
    if count == 0:
        return ()
    if count == 1:
        return (result,)
    return iter(result)  # several items iterate as one-item Results


def _is_dict(item: varnex.Result) -> bool:
    try:
        return item.type_ is dict
    except ValueError:  # a text that is not UTF-8: no element with children
        return False


def _is_element_with_children(item: varnex.Result, text: str) -> bool:
    # Only such an element's text is its markup; looking at the text first spares
    # the other items the reader pass that type_ costs.
    return text.startswith("<") and _is_dict(item)


def plain_text(item: varnex.Result) -> str:
    """A scalar's text; an element with child elements as its markup."""
    return item.to_str()


def raw_text(item: varnex.Result) -> str:
    """Text only: an element with child elements gives all the text inside it."""
    text = item.to_str()
    if _is_element_with_children(item, text):
        return item.get("#text").to_str()
    return text


def json_item(item: varnex.Result, elements: str) -> Any:
    # JSON holds text only: bytes that are not UTF-8 become U+FFFD, as in any markup.
    if elements == "dict":
        # The element is read once, straight into the nested values.
        return element_to_json(item) if _is_dict(item) else json_scalar(_to_str_lossy(item))
    text = _to_str_lossy(item)
    return text if _is_element_with_children(item, text) else json_scalar(text)


def json_result(result: varnex.Result, elements: str) -> Any:
    """None for no match, the value for one item, a list for several."""
    values = [json_item(item, elements) for item in items(result)]
    if not values:
        return None
    return values[0] if len(result) == 1 else values


class Output:
    """Text records, each ended by the terminator, encoded as UTF-8 and written in large blocks."""

    _BATCH = 4096
    _FLUSH_AT = 1 << 16

    def __init__(self, stream: BinaryIO, terminator: str) -> None:
        self._stream = stream
        self._end = terminator
        self._pending: list[bytes] = []
        self._size = 0

    def record(self, prefix: str, text: str) -> None:
        self._add(prefix + text + self._end)

    def records(self, prefix: str, texts: Iterable[str]) -> None:
        joiner = self._end + prefix
        texts = iter(texts)
        while batch := list(itertools.islice(texts, self._BATCH)):
            self._add(prefix + joiner.join(batch) + self._end)

    def stream(self, pieces: Iterable[str]) -> None:
        """One record given in pieces, each written out as it comes: it is never whole."""
        for piece in pieces:
            self._add(piece)
        self._add(self._end)

    def _add(self, text: str) -> None:
        # File names may hold bytes that are not UTF-8; they come back out unchanged.
        data = text.encode("utf-8", "surrogateescape")
        self._pending.append(data)
        self._size += len(data)
        if self._size >= self._FLUSH_AT:
            self.flush()

    def flush(self) -> None:
        if self._pending:
            data = memoryview(b"".join(self._pending))
            self._pending.clear()
            self._size = 0
            while data:
                # A pipe may take only part of it; the rest goes on (or meets EPIPE).
                data = data[self._stream.write(data):]
        self._stream.flush()

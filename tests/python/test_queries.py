"""Single-path queries end to end, the same through get, get_bytes and get_buffer."""

from __future__ import annotations

import threading

import pytest
import varnex
from conftest import pieces, query_all

CATALOG = """<?xml version="1.0"?>
<catalog>
  <book id="b1" x:lang="en"><title>Alpha</title><price>12.5</price></book>
  <!-- a comment -->
  <book id="b2"><title>Beta &amp; Co</title><price>8</price><note/></book>
  <book id="b3"><title><![CDATA[<Gamma>]]></title><price>30</price></book>
</catalog>"""


@pytest.mark.parametrize(
    ("path", "expected"),
    [
        ("catalog.book.1.title", ["Beta & Co"]),
        ("catalog.book.2.title", ["<Gamma>"]),
        ("catalog.book.0", ['<book id="b1" x:lang="en"><title>Alpha</title><price>12.5</price>'
                            "</book>"]),  # an element with children is its markup
        ("catalog.book.0.@lang", ["en"]),
        ("catalog.book.#", ["3"]),
        ("catalog.shelf.#", ["0"]),
        ("catalog.book.#.price|@sum", ["50.5"]),
        ("catalog.book.#.@id|@reverse", ["b3", "b2", "b1"]),
        ("catalog.book.#.@id|@first", ["b1"]),
        ("catalog.book#(price>10)#.@id", ["b1", "b3"]),
        ("catalog.book#(@id=b2).note", [""]),
        ("nothing", []),
        ("@id", []),
        ("#text", [""]),
    ],
)
def test_queries(path, expected):
    assert pieces(query_all(CATALOG, path)) == expected


def test_malformed_documents_never_fail(run):
    assert run("<r><a>1</a><a>2", "r.a").to_str() == "<a>1</a>\n<a>2"
    assert pieces(run("<a><b></c></a>", "a.b")) == [""]
    assert len(run("", "a")) == 0
    assert len(run("<<<>>>", "a.b")) == 0


def test_threads_each_get_their_own_answers():
    answers = {}

    def worker(n: int) -> None:
        doc = "<r>" + "".join(f"<a i='{n}-{k}'/>" for k in range(20)) + "</r>"
        got = [varnex.get(doc, f"r.a.{k % 20}.@i").to_str() for k in range(300)]
        answers[n] = got == [f"{n}-{k % 20}" for k in range(300)]

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert answers == dict.fromkeys(range(4), True)

"""One large document read on several threads: every entry point answers as one thread does."""

from __future__ import annotations

import random
import subprocess
import sys
from pathlib import Path

import pytest
import varnex
from conftest import pieces

NS = "urn:example:n"


def document(seed: int) -> bytes:
    """About 3 MB of records with something to trip over every few hundred bytes: comments and
    CDATA holding record tags, '>' in values, nested records of the same name, namespaces."""
    rng = random.Random(seed)
    parts = [f'<?xml version="1.0"?>\n<!-- <book> -->\n<catalog xmlns:n="{NS}">\n']
    for i in range(24_000):
        price = rng.randint(1, 60)
        trap = rng.randrange(8)
        body = f'<title>T{i} &amp; co</title><price>{price}</price>'
        if trap == 0:
            body += "<!-- </book><book id='x'> -->"
        elif trap == 1:
            body += "<![CDATA[</book><book>]]>"
        elif trap == 2:
            body += f'<book id="in{i}"><title>inner {i}</title></book>'
        elif trap == 3:
            body += f"<n:title>ns {i}</n:title>"
        note = ' note="a > b"' if trap == 4 else ""
        parts.append(f'  <book id="b{i}"{note}>{body}</book>\n')
        if trap == 5:
            parts.append("  <?pi <book>?>\n  <shelf n='1'/>\n")
    parts.append("</catalog>\n")
    return "".join(parts).encode()


DOC = document(1)
TEXT = DOC.decode()
PATHS = [
    "catalog.book.#.title",
    "catalog.book.#",
    "catalog.book|@last",
    "catalog.book.#.@id|@first",
    "catalog.book#(price>50)#.@id",
    "catalog.book#(price>50)#.@id|@count",
    "**.title|@count",
    "catalog.**.title|@last",
    "catalog.book.#.book.#.title",
    "catalog.book.#.{urn:example:n}title",
    "catalog.book.#.n:title|@sort",
    "catalog.book.title",  # ambiguous: one thread's error, whoever finds it
    "catalog.book.3.title",  # an index: read by one thread
]


def answer(call, *args, **kwargs):
    try:
        return pieces(call(*args, **kwargs))
    except ValueError as error:
        return f"ValueError: {error}"


@pytest.mark.parametrize("path", PATHS)
def test_every_entry_point_agrees_with_one_thread(path):
    compiled = varnex.compile(path, namespaces={"n": NS})
    ns = {"n": NS}
    calls = {
        "get": lambda t: varnex.get(TEXT, path, namespaces=ns, threads=t),
        "get_bytes": lambda t: varnex.get_bytes(DOC, path, namespaces=ns, threads=t),
        "get_buffer": lambda t: varnex.get_buffer(bytearray(DOC), path, namespaces=ns, threads=t),
        "Path.get_bytes": lambda t: compiled.get_bytes(DOC, threads=t),
        "Path.get_buffer": lambda t: compiled.get_buffer(memoryview(DOC), threads=t),
        "get_many": lambda t: varnex.get_many(TEXT, [compiled], threads=t)[0],
        "get_many_bytes": lambda t: varnex.get_many_bytes(
            DOC, [compiled, "catalog.book.#"], threads=t
        )[0],
    }
    for name, call in calls.items():
        expected = answer(call, 1)
        for threads in (2, 3, 0):
            assert answer(call, threads) == expected, (name, threads)


def test_several_paths_at_once_and_validate():
    paths = [p for p in PATHS if p != "catalog.book.title"]
    one = [pieces(r) for r in varnex.get_many_bytes(DOC, paths, namespaces={"n": NS})]
    two = [pieces(r) for r in varnex.get_many_bytes(DOC, paths, namespaces={"n": NS}, threads=2)]
    assert two == one
    assert varnex.validate(DOC, threads=2)
    broken = DOC.replace(b"<title>T20000 ", b"<title>T20000 </price>", 1)
    assert not varnex.validate(broken, threads=2)
    assert varnex.validate(broken, strict=True, threads=2) is False


def test_a_document_broken_off_and_a_second_root():
    cut = DOC[: len(DOC) * 3 // 4]
    tail = DOC + b"<catalog><book id='z'/></catalog>"
    for doc in (cut, tail):
        for path in ("catalog.book.#.@id|@last", "catalog.book.#", "catalog.book|@count"):
            assert answer(varnex.get_bytes, doc, path, threads=2) == answer(
                varnex.get_bytes, doc, path
            )
        assert varnex.validate(doc, threads=2) is varnex.validate(doc)


@pytest.mark.parametrize(
    ("value", "error", "message"),
    [
        (-1, ValueError, "threads must be 0 (one per core) or more, not -1"),
        ("2", TypeError, "threads must be an int, not 'str'"),
        (True, TypeError, "threads must be an int, not 'bool'"),
        (2.0, TypeError, "threads must be an int, not 'float'"),
    ],
)
def test_bad_thread_counts_are_refused(value, error, message):
    for call in (
        lambda: varnex.get_bytes(b"<r/>", "r", threads=value),
        lambda: varnex.get_many(["<r/>"][0], ["r"], threads=value),
        lambda: varnex.compile("r").get("<r/>", threads=value),
        lambda: varnex.validate(b"<r/>", threads=value),
    ):
        with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
            call()


def test_cli_threads(tmp_path):
    path = tmp_path / "catalog.xml"
    path.write_bytes(DOC)
    cli = [str(Path(sys.executable).parent / "varnex")]
    one = subprocess.run([*cli, "-c", "catalog.book.#.title", str(path)], capture_output=True)
    two = subprocess.run(
        [*cli, "-P", "2", "-c", "catalog.book.#.title", str(path)], capture_output=True
    )
    assert two.returncode == one.returncode == 0
    assert two.stdout == one.stdout
    check = subprocess.run([*cli, "--threads", "0", "--validate", str(path)], capture_output=True)
    assert check.returncode == 0
    bad = subprocess.run([*cli, "-P", "x", "-c", "catalog", str(path)], capture_output=True)
    assert bad.returncode == 2
    assert b"not a number of threads: 'x'" in bad.stderr


@pytest.mark.parametrize(
    ("record_path", "fields", "options"),
    [
        ("catalog.book", {"id": "@id", "title": "{}title", "price": ("price", "float64")}, {}),
        ("catalog.book", {"inner": "book.#.title", "ns": "{urn:example:n}title"}, {}),
        ("**.book", {"id": "@id"}, {}),
        ("catalog.book", {"title": "**.title"}, {"on_repeat": "last"}),
        ("catalog.book", {"price": ("price", "int64")}, {"on_invalid": "null"}),
    ],
)
def test_tables_and_records_agree_with_one_thread(record_path, fields, options):
    pa = pytest.importorskip("pyarrow")
    one = varnex.table(DOC, record_path, fields, **options)
    for threads in (2, 0):
        assert varnex.table(DOC, record_path, fields, threads=threads, **options).equals(one)
        assert isinstance(one, pa.Table)
    rows = varnex.records(DOC, record_path, fields, **options)
    assert varnex.records(DOC, record_path, fields, threads=2, **options) == rows


def test_table_errors_name_the_same_record_on_any_thread_count():
    pytest.importorskip("pyarrow")
    doc = DOC.replace(b'<book id="b20000"><title>', b'<book id="b20000"><title>x</title><title>', 1)
    messages = set()
    for threads in (1, 2):
        with pytest.raises(ValueError) as raised:
            varnex.table(doc, "catalog.book", {"title": "{}title"}, threads=threads)
        messages.add(str(raised.value))
    assert len(messages) == 1
    assert "record 20000" in messages.pop()


def test_records_in_any_order_see_their_own_declarations():
    doc = ('<r><g xmlns:p="u1"><i><p:t>1</p:t></i></g><g xmlns:p="u2"><i><p:t>2</p:t></i></g>'
           '<g><i><t>3</t></i></g></r>')
    fields = {"a": "{u1}t", "b": "{u2}t", "c": "{}t"}
    rows = varnex.records(doc, "r.g.#.i|@reverse", fields)
    assert rows == [{"a": None, "b": None, "c": "3"}, {"a": None, "b": "2", "c": None},
                    {"a": "1", "b": None, "c": None}]

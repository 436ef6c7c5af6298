"""records() and table(): rows and Arrow columns checked against lxml, shapes and errors."""

from __future__ import annotations

import mmap
import random
import sys
from pathlib import Path

import pytest
import varnex

etree = pytest.importorskip("lxml.etree")
pa = pytest.importorskip("pyarrow")

CATALOG = Path(__file__).resolve().parents[2] / "examples" / "catalog.xml"
NS = "urn:test:p"


def local(node) -> str:
    return etree.QName(node).localname


def qualified(node) -> str:
    return f"{node.prefix}:{local(node)}" if node.prefix else local(node)


def kids(record, name: str) -> list:
    """Child elements named `name`: by local name, or by qualified name when a prefix is written."""
    key = qualified if ":" in name else local
    return [c for c in record if isinstance(c.tag, str) and key(c) == name]


def text(element) -> str:
    return "".join(element.itertext()).strip()


def attr(record, name: str) -> list[str]:
    return [v.strip() for k, v in record.attrib.items() if local(k) == name][:1]


def box_vs(box) -> list[str]:
    return [text(v) for inner in kids(box, "inner") for v in kids(inner, "v")]


# Each field: its path, the texts lxml finds for it in one record, and whether its path
# selects each match (a list column whatever one record holds). A field of one value that
# matches several times keeps the first (on_repeat="first" is given to the calls).
GENERATED_FIELDS = {
    "id": ("@id", lambda r: attr(r, "id"), False),
    "kind": ("@kind", lambda r: attr(r, "kind"), False),  # written with a prefix
    "name": ("name", lambda r: [text(e) for e in kids(r, "name")], False),
    "alias": ("alias", lambda r: [text(e) for e in kids(r, "alias")][:1], False),
    "aliases": ("alias.#", lambda r: [text(e) for e in kids(r, "alias")], True),
    "alias_count": ("alias|@count", lambda r: [str(len(kids(r, "alias")))], False),
    "first_alias": ("alias|@first", lambda r: [text(e) for e in kids(r, "alias")][:1], False),
    "note": ("note", lambda r: [text(e) for e in kids(r, "note")], False),
    "code": ("code", lambda r: [text(e) for e in kids(r, "code")], False),
    "p_code": ("p:code", lambda r: [text(e) for e in kids(r, "p:code")], False),
    "body": ("body", lambda r: [text(e) for e in kids(r, "body")], False),
    "deep": ("box.inner.#.v", lambda r: [text(v) for b in kids(r, "box")
                                         for i in kids(b, "inner") for v in kids(i, "v")], True),
    "any_v": ("**.v", lambda r: [text(v) for v in r.iter("v")], True),
    # A filter makes tasks of its own inside each record; none may outlive its record.
    "big_v": ("box.inner#(v>4)#.v", lambda r: [text(v) for b in kids(r, "box")
                                               for i in kids(b, "inner") for v in kids(i, "v")
                                               if float(text(v)) > 4], True),
    # Filters over any item, joined and nested decide inside each record too.
    "some_big": ("box#(inner.v > 6)#.inner.#.v",
                 lambda r: [v for b in kids(r, "box") if any(float(x) > 6 for x in box_vs(b))
                            for v in box_vs(b)], True),
    "mixed": ("box#(inner#(v == 1) && inner#(v != 1) || !(inner))#.@n",
              lambda r: [b.get("n") for b in kids(r, "box")
                         if ("1" in box_vs(b) and set(box_vs(b)) - {"1"}) or not box_vs(b)],
              True),
}

WORDS = ["plain", "  padded\t", "caf\u00e9", "a &amp; b", "&lt;tag&gt;", "\u65e5\u672c", "x y"]


def gen_item(rng: random.Random, i: int) -> str:
    attrs = f' id="i{i}&amp;{rng.randint(0, 9)}"' if rng.random() < 0.9 else ""
    if rng.random() < 0.5:
        attrs += f' p:kind="{rng.choice(WORDS[:3])}"'
    parts = []
    if rng.random() < 0.7:
        parts.append(f"<name>{rng.choice(WORDS)}</name>")
    parts += [f"<alias>{rng.choice(WORDS)}</alias>" for _ in range(rng.choice([0, 0, 1, 1, 2, 3]))]
    parts.append(rng.choice(["", "<note/>", "<note></note>", "<note>  </note>", "<note>n</note>"]))
    if rng.random() < 0.5:
        parts.append(f"<p:code>{rng.randint(0, 99)}</p:code>")
    if rng.random() < 0.2:
        parts.append(f"<q:code>q{rng.randint(0, 9)}</q:code>")
    if rng.random() < 0.4:
        parts.append(f"<body><![CDATA[<b>{rng.choice(WORDS)}</b> & ]]>more</body>")
    if rng.random() < 0.5:
        inner = "".join(f"<inner><v>{rng.randint(0, 9)}</v></inner>"
                        for _ in range(rng.randint(0, 3)))
        parts.append(f'<box n="{rng.randint(0, 9)}">{inner}</box>')
    rng.shuffle(parts)
    return f"<item{attrs}>{''.join(parts)}</item>"


def gen_document(seed: int, count: int = 60) -> bytes:
    rng = random.Random(seed)
    items = "\n  ".join(gen_item(rng, i) for i in range(count))
    return (f'<?xml version="1.0"?>\n<feed xmlns:p="{NS}" xmlns:q="urn:test:q">\n  {items}\n'
            "</feed>\n").encode()


def expected(doc: bytes, record_tag: str, fields: dict) -> list[dict]:
    """Rows as records() gives them (table() has the same columns), from lxml."""
    found = [{name: ref(r) for name, (_, ref, _) in fields.items()}
             for r in etree.fromstring(doc).iter(record_tag)]
    return [{k: v if fields[k][2] else v[0] if v else None for k, v in row.items()}
            for row in found]


def paths(fields: dict) -> dict[str, str]:
    return {name: spec[0] for name, spec in fields.items()}


@pytest.mark.parametrize("seed", range(4))
def test_rows_and_columns_match_lxml(seed):
    # The last document is long enough for its records to come in several batches, and the
    # columns to be sized from the first.
    doc, fields = gen_document(seed, count=6000 if seed == 3 else 60), GENERATED_FIELDS
    rows = expected(doc, "item", fields)
    assert varnex.records(doc, "feed.item.#", paths(fields), on_repeat="first") == rows
    table = varnex.table(doc, "feed.item.#", paths(fields), on_repeat="first")
    table.validate(full=True)
    assert table.column_names == list(fields)
    assert table.to_pylist() == rows
    for name, (_, _, each) in fields.items():
        kind = pa.list_(pa.string()) if each else pa.string()
        assert table.schema.field(name).type == kind, name


def test_markup_of_elements_with_children_and_record_forms():
    doc = CATALOG.read_bytes()
    books = etree.fromstring(doc).findall("book")
    ids = [b.get("id") for b in books]
    # Elements with child elements give their markup, as to_str() does.
    rows = varnex.records(doc, "catalog.book.#", {"tags": "tags", "text": "title.#text"})
    for i, row in enumerate(rows):
        tags = varnex.get_bytes(doc, f"catalog.book.{i}.tags")
        assert row["tags"] == (tags.to_str() if tags.exists() else None)
        assert row["text"] == books[i].findtext("title")
    # Every way of naming the records gives the same rows.
    for record_path in ("catalog.book", "**.book", varnex.compile("catalog.book.#")):
        assert [r["id"] for r in varnex.records(doc, record_path, {"id": "@id"})] == ids
    dear = [b.get("id") for b in books if float(b.findtext("price")) > 10]
    assert [r["id"] for r in varnex.records(doc, "catalog.book#(price>10)#", {"id": "@id"})] == dear
    reverse = varnex.records(doc, "catalog.book.#|@reverse", {"id": varnex.compile("@id")})
    assert [r["id"] for r in reverse] == ids[::-1]
    assert varnex.records(doc, "catalog.nothing.#", {"id": "@id"}) == []


def test_every_input_form_gives_the_same_table():
    text = CATALOG.read_text()
    fields = {"id": "@id", "tags": "tags.tag.#"}
    want = varnex.table(text, "catalog.book.#", fields)
    with open(CATALOG, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as view:
        for data in (text.encode(), bytearray(text.encode()), memoryview(text.encode()), view):
            assert varnex.table(data, "catalog.book.#", fields).equals(want)
            assert varnex.records(data, "catalog.book.#", fields) == varnex.records(
                text, "catalog.book.#", fields)


def test_names_order_and_shapes():
    doc = b"<r><i a='1'><v>x</v><v>y</v></i><i/><i a='2'><v>z</v></i></r>"
    fields = {"z \u00e9": "@a", "": "v|@last", "each": "v.#", "none": "w", "count": "v|@count",
              "nones": "w.#"}
    table = varnex.table(doc, "r.i.#", fields)
    assert table.column_names == list(fields)
    columns = {
        "z \u00e9": ["1", None, "2"],
        "": ["y", None, "z"],
        "each": [["x", "y"], [], ["z"]],  # a list in every row, empty where none matched
        "none": [None, None, None],
        "count": ["2", "0", "1"],
        "nones": [[], [], []],
    }
    assert table.to_pydict() == columns
    assert varnex.records(doc, "r.i.#", fields) == table.to_pylist()
    # The schema is the paths': a document with no records has the same.
    empty = varnex.table(b"<r/>", "r.i.#", fields)
    assert empty.num_rows == 0 and empty.schema == table.schema
    assert varnex.table(doc, "r.i.#", {}).num_columns == 0
    assert varnex.table(doc, "r.i.#", {}).num_rows == 3
    assert varnex.records(doc, "r.i.#", {}) == [{}, {}, {}]


# The documentation's examples show the rest, for records().
@pytest.mark.parametrize("call", [varnex.records, varnex.table])
@pytest.mark.parametrize(
    ("data", "record_path", "fields", "error", "message"),
    [
        (b"<r/>", "r|@nope", {}, ValueError, "record_path: unknown modifier: @nope"),
        (b"<r/>", "r.i|@count", {}, ValueError, "record_path must select elements"),
        (b"<r><i/><i/></r>", "r.i.x", {}, ValueError, "record_path: path is ambiguous: i "),
        # Errors in document order: a record's field before the record path's own error.
        (b'<r><s><i n="x"/></s><s/></r>', "r.s.i", {"n": ("@n", "int64")}, ValueError,
         "field 'n' of record 0 (byte 6, line 1): 'x' is not a valid int64"),
        (b"<r/>", "r.i", {"a": "b.#.#"}, ValueError, "field 'a': # without preceding name"),
        (b"<r/>", 3, {}, TypeError, "record_path: path must be str or varnex.Path"),
        (b"<r/>", "r.i", {1: "@a"}, TypeError, "field names must be str"),
        (b"<r/>", "r.i", {"a": 7}, TypeError, "field 'a': expected a path (str or varnex.Path)"),
        (b"<r/>", "r.i", [("a", "@a")], TypeError, "'list' object is not a mapping"),
        (b'<r><i a="x"/>\n<i a="\xff"/></r>', "r.i", {"a": "@a"}, ValueError,
         "field 'a' of record 1 (byte 14, line 2): invalid utf-8 sequence of 1 bytes from index 0"),
        (b"<r><i><t>x</t></i><i><t>ok\xff</t></i></r>", "r.i", {"t": "t"}, ValueError,
         "field 't' of record 1 (byte 18, line 1): invalid utf-8 sequence of 1 bytes from index 2"),
        (b"<r><i><t>x</t><t>y</t></i></r>", "r.i", {"t": "t"}, ValueError,
         "field 't' of record 0 (byte 3, line 1): 2 matches in one record, but the field holds "
         "one value: end its path in '.#' for a list, or pass on_repeat='first' or 'last'"),
        (b"<r><i/><i><t>x", "r.i", {"t": "t"}, ValueError,
         "record 1 (byte 7, line 1): the document ends inside the record"),
    ],
)
def test_errors(call, data, record_path, fields, error, message):
    with pytest.raises(error) as raised:
        call(data, record_path, fields)
    assert message in str(raised.value)


def test_table_says_which_extra_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)  # makes `import pyarrow` fail
    with pytest.raises(ImportError, match=r"pip install pyarrow$"):
        varnex.table(b"<r/>", "r", {})

"""describe_records(): the paths inside the records, their counts, samples and types, and
the fields they turn into."""

from __future__ import annotations

from pathlib import Path

import pytest
import varnex
from varnex import Field

pa = pytest.importorskip("pyarrow")

CATALOG = (Path(__file__).resolve().parents[2] / "examples" / "catalog.xml").read_bytes()


def by_path(found) -> dict:
    return {p.path: (p.records, p.most, p.type, p.samples, p.has_children) for p in found.paths}


def test_the_catalog():
    found = varnex.describe_records(CATALOG, "catalog.book.#")
    assert found.records == 5
    seen = by_path(found)
    assert list(seen)[:3] == ["@id", "@lang", "title"]  # the order first met
    assert seen["price"] == (5, 1, "float64", ("44.95", "5.95", "12.50"), False)
    assert seen["published"][2] == "date32"
    assert seen["tags"] == (3, 1, "string", (), True)
    assert seen["tags.tag"] == (2, 2, "string", ("xml", "reference", "fantasy"), False)
    fields = found.fields()
    assert fields["tag"] == Field("tags.tag.#")
    assert fields["price"] == Field("price", "float64")
    assert "tags" not in fields  # it holds elements, not a value
    table = varnex.table(CATALOG, "catalog.book.#", fields)
    assert table.column("tag").to_pylist() == [["xml", "reference"], ["fantasy"], [], [], []]
    assert table.column("published").type == pa.date32()
    # Only the first records are read.
    assert varnex.describe_records(CATALOG, "catalog.book.#", sample=2).records == 2
    assert varnex.describe_records(CATALOG, "catalog.book", sample=None).records == 5


TYPED = b"""<r>
  <i n="1" f="1.5" b="true" d="2000-01-02" t="2000-01-02T03:04:05Z" s="x" e=""/>
  <i n="-2" f="7" b="FALSE" d="1999-12-31" t="2000-01-02" s="2" e=""/>
</r>"""


def test_the_narrowest_type_every_value_fits():
    found = varnex.describe_records(TYPED, "r.i")
    assert {p.path: p.type for p in found.paths} == {
        "@n": "int64", "@f": "float64", "@b": "bool", "@d": "date32", "@t": "timestamp[us]",
        "@s": "string", "@e": "string"}
    # The types it names read every value.
    table = varnex.table(TYPED, "r.i", found.fields())
    assert table.column("t").to_pylist()[1].year == 2000
    assert table.column("e").to_pylist() == ["", ""]


def test_names_repeats_and_where_lists_are_needed():
    doc = (b'<r><i><a.b>1</a.b><x:y z.w="2">3</x:y><5>5</5><au k="p"><n>A</n></au>'
           b'<au k="q"><n>B</n><n>C</n></au></i><i><au><n>D</n></au></i></r>')
    found = varnex.describe_records(doc, "r.i")
    seen = by_path(found)
    assert list(seen) == ["a\\.b", "x:y", "x:y.@z\\.w", "\\5", "au", "au.@k", "au.n"]
    assert seen["au.n"][:2] == (2, 3) and seen["au.@k"][:2] == (1, 2)
    fields = found.fields()
    assert {name: f.path for name, f in fields.items()} == {
        "a.b": "a\\.b", "x:y": "x:y", "z.w": "x:y.@z\\.w", "5": "\\5", "k": "au.#.@k",
        "n": "au.n.#"}
    # Each path reads what was found under it.
    assert varnex.records(doc, "r.i", fields) == [
        {"a.b": 1, "x:y": 3, "z.w": 2, "5": 5, "k": ["p", "q"], "n": ["A", "B", "C"]},
        {"a.b": None, "x:y": None, "z.w": None, "5": None, "k": [], "n": ["D"]}]


def test_printed_and_malformed():
    doc = b"<r><i a='1'><v>x</v></i><i><v>a long value, longer than the column shows</v></i><i>"
    found = varnex.describe_records(doc, "r.i")  # the record the document ends inside: left out
    assert str(found) == repr(found) == (
        "2 paths in 2 records of r.i\n"
        "path  records  most  type    samples\n"
        "@a          1     1  int64   '1'\n"
        "v           2     1  string  'x', 'a long value, longer th\u2026'")
    assert str(varnex.describe_records(doc, varnex.compile("r.x"))) == "0 paths in 0 records of r.x"
    with pytest.raises(ValueError, match="sample must be a positive int or None"):
        varnex.describe_records(doc, "r.i", sample=0)
    with pytest.raises(ValueError, match="record_path: unknown modifier"):
        varnex.describe_records(doc, "r|@x")

"""Field kinds and policies: one case table run through records() and table() (and, in
test_dask, the Dask reader), the located errors, skipped records, and Ctrl-C."""

from __future__ import annotations

import datetime
import textwrap
from decimal import Decimal
from zoneinfo import ZoneInfo

import pytest
import varnex
from conftest import interrupted
from varnex import Field

pa = pytest.importorskip("pyarrow")

D = datetime.datetime
UTC = ZoneInfo("UTC")

# name: (field, records (an <i> element, or what goes inside one), keywords of the call,
#        the values of the records, the column type)
CASES = {
    "text": ("v", ["<v>a</v>", "<v/>", ""], {}, ["a", "", None], "string"),
    "text list": ("v.#", ["<v>a</v><v> b </v>", "", "<v/>"], {}, [["a", "b"], [], [""]],
                  "list<item: string>"),
    "first of a repeat": (Field("v", on_repeat="first"), ["<v>a</v><v>b</v>", "<v>c</v>"], {},
                          ["a", "c"], "string"),
    "last, asked by the call": ("v", ["<v>a</v><v>b</v>", "<v>c</v>"], {"on_repeat": "last"},
                                ["b", "c"], "string"),
    "a repeat inside the path": (Field("a.v", on_repeat="first"),
                                 ["<a/><a><v>1</v></a><a><v>2</v></a>"], {}, ["1"], "string"),
    "every match inside the path": ("a.v.#", ["<a><v>1</v></a><a><v>2</v><v>3</v></a>"], {},
                                    [["1", "2", "3"]], "list<item: string>"),
    "int64": (("v", "int64"), ["<v> 12 </v>", "<v/>", "<v>-9223372036854775808</v>"], {},
              [12, None, -9223372036854775808], "int64"),
    "uint8, invalid as null": (Field("v", "uint8", on_invalid="null"),
                               ["<v>255</v>", "<v>256</v>", "<v>-1</v>", "<v>1.0</v>"], {},
                               [255, None, None, None], "uint8"),
    "float64 from an attribute": (("@p", "float64"), ['<i p="1.5"/>', '<i p="-inf"/>', "<i/>"],
                                  {}, [1.5, float("-inf"), None], "double"),
    "float32": (("v", pa.float32()), ["<v>0.1</v>"], {}, [pa.scalar(0.1, pa.float32()).as_py()],
                "float"),
    "bool": (("v", "bool"), ["<v>true</v>", "<v>0</v>", "<v>FALSE</v>", "<v>1</v>"], {},
             [True, False, False, True], "bool"),
    "decimal, exact": (("v", "decimal128(5, 2)"), ["<v>1.5</v>", "<v>-0.01</v>", "<v>999.99</v>"],
                       {}, [Decimal("1.50"), Decimal("-0.01"), Decimal("999.99")],
                       "decimal128(5, 2)"),
    "date32": (("v", "date32"), ["<v>2000-02-29</v>", "<v>1969-12-31Z</v>"], {},
               [datetime.date(2000, 2, 29), datetime.date(1969, 12, 31)], "date32[day]"),
    "date64 with a format": (Field("v", "date64", format="%d %b %Y"), ["<v>29 Feb 2000</v>"], {},
                             [datetime.date(2000, 2, 29)], "date64[ms]"),
    "timestamp": (("v", "timestamp[us]"),
                  ["<v>2000-01-01T00:00:00.5</v>", "<v>2000-01-01T02:00+02:00</v>",
                   "<v>2000-01-01</v>"], {},
                  [D(2000, 1, 1, 0, 0, 0, 500000), D(2000, 1, 1), D(2000, 1, 1)], "timestamp[us]"),
    "timestamp in a zone": (("v", "timestamp[s, tz=Europe/Paris]"), ["<v>2000-01-01T00:00Z</v>"],
                            {}, [D(2000, 1, 1, 1, tzinfo=ZoneInfo("Europe/Paris"))],
                            "timestamp[s, tz=Europe/Paris]"),
    "timestamp with a format": (Field("v", pa.timestamp("ms", "UTC"), format="%m/%d/%y %I%p"),
                                ["<v>12/31/99 11PM</v>"], {}, [D(1999, 12, 31, 23, tzinfo=UTC)],
                                "timestamp[ms, tz=UTC]"),
    "dictionary": (("v", "dictionary"), ["<v>x</v>", "<v>y</v>", "<v>x</v>", ""], {},
                   ["x", "y", "x", None], "dictionary<values=string, indices=int32, ordered=0>"),
    "null values of a field": (Field("v", "int64", null_values=["N/A", ""]),
                               ["<v>N/A</v>", "<v>3</v>", "<v/>"], {}, [None, 3, None], "int64"),
    "null values of the call": ("v", ["<v>-</v>", "<v/>"], {"null_values": ["-"]}, [None, ""],
                                "string"),
    "typed list": (("v.#", "int64"), ["<v>1</v><v>2</v>", ""], {}, [[1, 2], []],
                   "list<item: int64>"),
    "typed list, invalid items as null": (("v.#", pa.large_list(pa.int64())),
                                          ["<v>1</v><v>x</v>"], {"on_invalid": "null"},
                                          [[1, None]], "large_list<item: int64>"),
    "list of dictionary": (("**.v", "dictionary"), ["<a><v>p</v></a><v>q</v>", "<v>p</v>"], {},
                           [["p", "q"], ["p"]],
                           "list<item: dictionary<values=string, indices=int32, ordered=0>>"),
    "markup of an element with children": ("b", ["<b><c>1</c></b>"], {}, ["<b><c>1</c></b>"],
                                           "string"),
    "a count": (("v|@count", "int64"), ["<v/><v/>", ""], {}, [2, 0], "int64"),
    "a filter's matches": ("v#(@k=='x')#", ['<v k="x">1</v><v>2</v>'], {}, [["1"]],
                           "list<item: string>"),
}


def case_document(records: list[str]) -> bytes:
    return ("<r>\n" + "\n".join(r if r.startswith("<i") else f"<i>{r}</i>" for r in records)
            + "\n</r>").encode()


@pytest.mark.parametrize("name", list(CASES))
def test_field_kinds_and_policies(name):
    spec, records, keywords, values, kind = CASES[name]
    doc = case_document(records)
    rows = varnex.records(doc, "r.i", {"f": spec}, **keywords)
    assert [row["f"] for row in rows] == values
    table = varnex.table(doc, "r.i", {"f": spec}, **keywords)
    table.validate(full=True)
    assert str(table.schema.field("f").type) == kind
    assert table.column("f").to_pylist() == values
    # The type is the fields', whatever the document holds.
    assert varnex.table(b"<r/>", "r.i", {"f": spec}, **keywords).schema == table.schema


def test_columns_agree_with_pyarrow_casts():
    # Texts pyarrow reads too give the same values; the rest are null (on_invalid="null").
    texts = ["0", "-17", "+3", "2147483648", "1e3", "1.25", ".5", "-0", "nan", "x", "007",
             "9223372036854775807", "1.", "2000-01-02", "2000-01-02T03:04:05", "true", "False"]
    doc = ("<r>" + "".join(f"<i><v>{t}</v></i>" for t in texts) + "</r>").encode()
    for kind in (pa.int32(), pa.int64(), pa.float64(), pa.date32(), pa.timestamp("s"),
                 pa.decimal128(10, 3)):
        ours = varnex.table(doc, "r.i", {"v": ("v", kind)}, on_invalid="null").column("v")
        for text, got in zip(texts, ours.to_pylist(), strict=True):
            try:
                want = pa.array([text]).cast(kind).to_pylist()[0]
            except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
                want = None
            if want is None or text in ("+3", "1e3"):  # Arrow's integers refuse those
                continue
            assert got == want or (got != got and want != want), (kind, text)


def test_invalid_texts_and_repeats_say_where():
    doc = b'<r>\n  <i><v>1</v></i>\n  <i><v>one</v></i>\n</r>'
    with pytest.raises(ValueError) as raised:
        varnex.table(doc, "r.i", {"n": ("v", "int64")})
    assert str(raised.value) == ("field 'n' of record 1 (byte 24, line 3): 'one' is not a "
                                 "valid int64")
    with pytest.raises(ValueError, match=r"record 0 \(byte 0, line 1\): 'a\u00ff' is not a "):
        varnex.records("<i v='a\u00ff'/>", "i", {"v": ("@v", "float64")})
    # A record of empty-element tags handed over by a filter is found by its text.
    doc = b"<r><i k='1'/><i k='2' n='x'/></r>"
    with pytest.raises(ValueError, match=r"of record 0 \(byte 13, line 1\)"):
        varnex.records(doc, "r.i#(@k=='2')#", {"n": ("@n", "int64")})


def test_malformed_records_are_skipped_and_counted():
    doc = (b"<r><i><v>1</v></i><i><v>\xff</v></i><i><v>3</v></i>\n<i><v>4</v><i>5</i><w>"
           b"unclosed")
    with pytest.raises(ValueError, match="field 'v' of record 1 .* invalid utf-8"):
        varnex.table(doc, "r.i", {"v": "v"})
    for call in (varnex.records, varnex.table):
        with pytest.warns(varnex.SkippedRecordsWarning) as warned:
            got = call(doc, "r.i", {"v": "v", "n": ("v", "int8")}, on_error="skip")
        rows = got if isinstance(got, list) else got.to_pylist()
        assert rows == [{"v": "1", "n": 1}, {"v": "3", "n": 3}]
        assert len(warned) == 1
        assert str(warned[0].message) == (
            "2 malformed records left out (on_error='skip'); the first: field 'v' of record 1 "
            "(byte 18, line 1): invalid utf-8 sequence of 1 bytes from index 0")
        assert warned[0].filename == __file__
    # Policies are errors of their own: skipping malformed records does not hide them.
    with pytest.raises(ValueError, match="is not a valid int8"):
        varnex.table(b"<r><i>300</i></r>", "r.i", {"n": ("#text", "int8")}, on_error="skip")


@pytest.fixture
def small_batches():
    """Batches whose 32-bit offsets reach 100 instead of 2**31 - 1, as if texts were large."""
    old = varnex._varnex._set_offset_limit(100)
    yield
    varnex._varnex._set_offset_limit(old)


def test_batches_keep_one_schema(small_batches):
    # Texts past what 32-bit offsets hold start a new batch; a large_string never needs to.
    words = [f"w{i:03d}" * 6 for i in range(40)]  # 24 bytes each
    doc = ("<r>" + "".join(f"<i><t>{w}</t><t>{w}</t></i>" for w in words) + "</r>").encode()
    fields = {"t": "t|@first", "n": ("t|@count", "int8"), "all": ("t.#", "dictionary")}
    table = varnex.table(doc, "r.i", fields)
    table.validate(full=True)
    assert [len(c) for c in table.column("t").chunks] == [4] * 10
    assert table.column("t").to_pylist() == words
    assert table.column("all").to_pylist() == [[w, w] for w in words]
    assert table.column("t").num_chunks == table.column("n").num_chunks
    wide = varnex.table(doc, "r.i", {"t": ("t|@first", "large_string"), "n": fields["n"]})
    assert wide.column("t").num_chunks == 1
    # A list column's items count against its offsets too.
    many = varnex.table(b"<r>" + (b"<i>" + b"<v/>" * 60 + b"</i>") * 2 + b"</r>", "r.i",
                        {"v": "v.#"})
    assert [len(c) for c in many.column("v").chunks] == [1, 1]
    assert many.column("v").to_pylist() == [[""] * 60] * 2
    # One record's texts past the reach of one batch cannot be split.
    with pytest.raises(ValueError, match=r"record 0 \(byte 3, line 1\): the record's texts "
                                         "pass 2 GiB in one column: give its field the type "
                                         "large_string"):
        varnex.table(b"<r><i>" + b"x" * 101 + b"</i></r>", "r.i", {"t": "#text"})


@pytest.mark.parametrize(
    ("fields", "keywords", "error", "message"),
    [
        ({"a": ("v", "flaot")}, {}, ValueError, "field 'a': unknown type 'flaot'; the types are"),
        ({"a": ("v", "decimal128(40, 2)")}, {}, ValueError, "a precision of 1 to 38"),
        ({"a": ("v", 3)}, {}, TypeError, "field 'a': type must be a type name or a pyarrow"),
        ({"a": ("v", pa.time64("us"))}, {}, ValueError, "time64[us] is not a column type"),
        ({"a": ("v", pa.list_(pa.int64()))}, {}, ValueError,
         "field 'a': a list type needs a path that selects each match"),
        ({"a": Field("v", "int64", format="%Y")}, {}, ValueError,
         "format= reads dates and timestamps"),
        ({"a": Field("v", "date32", format="%Q")}, {}, ValueError,
         "field 'a': unknown directive %Q in format: '%Q'"),
        ({"a": "v"}, {"on_repeat": "all"}, ValueError,
         "on_repeat must be 'error', 'first' or 'last', not 'all'"),
        ({"a": Field("v", on_invalid="skip")}, {}, ValueError,
         "field 'a': on_invalid must be 'error' or 'null'"),
        ({"a": "v"}, {"on_error": "ignore"}, ValueError, "on_error must be 'raise' or 'skip'"),
        ({"a": "v"}, {"null_values": "NA"}, TypeError, "null_values must be a sequence of str"),
    ],
)
def test_field_errors(fields, keywords, error, message):
    for call in (varnex.records, varnex.table):
        with pytest.raises(error) as raised:
            call(b"<r/>", "r.i", fields, **keywords)
        assert message in str(raised.value)


INTERRUPTED = textwrap.dedent("""
    import sys, time, varnex
    doc = b"<r>" + b"<i a='1'><v>12.5</v><w>x</w></i>" * 3_000_000 + b"</r>"
    call = {"records": varnex.records, "table": varnex.table}[sys.argv[1]]
    data = bytearray(doc) if sys.argv[2] == "locked" else doc
    print("start", flush=True)
    try:
        call(data, "r.i", {"a": "@a", "v": ("v", "float64")})
    except KeyboardInterrupt:
        print(f"interrupted {time.perf_counter() - float(sys.stdin.readline()):.2f}", flush=True)
    else:
        print("finished 0", flush=True)
""")


@pytest.mark.parametrize(("call", "source"), [("table", "unlocked"), ("records", "locked")])
def test_ctrl_c_stops_a_long_call(call, source):
    # 100 MB, a few seconds of work, with or without the interpreter lock.
    outcome, seconds = interrupted(INTERRUPTED, call, source)
    assert outcome == "interrupted"
    assert seconds < 0.5

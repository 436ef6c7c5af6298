"""Records streamed a piece at a time: every way of cutting a document into pieces gives exactly
the rows (or the error) of table() over the whole bytes, from every kind of source."""

from __future__ import annotations

import gzip
import io
import re
import threading
import time

import pyarrow as pa
import pytest
import varnex
from conftest import interrupted
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_queries import ROWS

FIELDS = {"text": "#text", "id": "@id", "kids": "*.#", "n": ("@n", "int64")}


@pytest.fixture(autouse=True)
def small_window():
    """A pass at every cut found, so that small documents are cut as large ones are."""
    old = varnex._varnex._set_stream_window(0)
    yield
    varnex._varnex._set_stream_window(old)


def outcome(call):
    try:
        return ("rows", call())
    except ValueError as error:
        return ("error", str(error))


def whole(doc, path, fields=FIELDS, **options):
    return outcome(lambda: varnex.table(doc, path, fields, **options).to_pylist())


def streamed(pieces, path, fields=FIELDS, **options):
    return outcome(
        lambda: varnex.iter_batches(pieces, path, fields, batch_rows=3, **options)
        .read_all().to_pylist())


def cut(doc: bytes, sizes: list[int]) -> list[bytes]:
    """`doc` in pieces of the sizes given, over and over (1-byte pieces where they run out)."""
    pieces, at, i = [], 0, 0
    while at < len(doc):
        size = sizes[i % len(sizes)] if sizes else 1
        pieces.append(doc[at:at + size])
        at += size
        i += 1
    return pieces


# --- generated documents: the markup a cut must never fall inside --------------------------

NAMES = st.sampled_from(["book", "shelf", "title", "x", "p:book"])
TEXT = st.sampled_from(["", "a", "1", " 2 ", "&lt;&gt;", "&amp;x", "é", "日本", "\n", "7"])
ATTR = st.sampled_from(["", ' id="1"', " id='>'", ' n="5" id="a&quot;b"', ' id="x>y/z"',
                        " n='3'", ' n="x"'])
EXTRA = st.sampled_from(["<!-- a > b <c> -->", "<![CDATA[<book>]]>", "<?pi x > y?>",
                         "<![CDATA[]]]]>", "<!---->", ""])


def element(depth: int):
    leaf = st.tuples(NAMES, ATTR, TEXT).map(lambda t: f"<{t[0]}{t[1]}>{t[2]}</{t[0]}>")
    empty = st.tuples(NAMES, ATTR).map(lambda t: f"<{t[0]}{t[1]}/>")
    if depth == 0:
        return st.one_of(leaf, empty, EXTRA)
    inner = st.lists(st.one_of(element(depth - 1), TEXT, EXTRA), max_size=4)
    node = st.tuples(NAMES, ATTR, inner).map(
        lambda t: f"<{t[0]}{t[1]}>{''.join(t[2])}</{t[0]}>")
    return st.one_of(leaf, empty, node)


PROLOGS = st.sampled_from([
    "", '<?xml version="1.0"?>\n', "<!-- head -->",
    '<!DOCTYPE catalog [<!ENTITY e "v"> <!-- ]> --> <!ATTLIST book id CDATA "]>">]>',
    '<?xml version="1.0" encoding="UTF-8"?><?style x?>',
])
DOCS = st.tuples(PROLOGS, st.sampled_from(["catalog", "shelf"]), ATTR,
                 st.lists(st.one_of(element(3), TEXT, EXTRA), max_size=8)).map(
    lambda t: f"{t[0]}<{t[1]}{t[2]}>{''.join(t[3])}</{t[1]}>".encode())
PATHS = st.sampled_from([
    "catalog.book", "catalog.shelf.book", "catalog.shelf.#.book", "catalog.*", "**.book",
    "catalog.book#(@n>2)#", "catalog.book#(title=a)#", "catalog.shelf#(@id=1)#.book",
    "catalog.book.1", "catalog.book#(@n)", "shelf.book.title", "catalog.p:book",
    "catalog.book|@last",
])
# Small pieces are followed one markup at a time, pieces past 64 bytes by the structural index.
SIZES = st.lists(st.one_of(st.integers(1, 40), st.integers(60, 300)), min_size=1, max_size=6)
# hp-roman8 only Python's codecs know.
ENCODINGS = ["utf-8", "iso-8859-1", "utf-16", "shift_jis", "windows-1252", "hp-roman8"]


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(DOCS, PATHS, SIZES)
def test_every_chunking_gives_the_rows_of_table(doc, path, sizes):
    assert streamed(cut(doc, sizes), path) == whole(doc, path)


def misnested(doc: bytes, which: int, name: str) -> bytes:
    """`doc` with one of its end tags renamed: the reader's skip and its tag-by-tag reading may
    then end a record at different places, and a cut must fall where both agree."""
    ends = [m.span(1) for m in re.finditer(rb"</([^>]*)>", doc)]
    start, stop = ends[which % len(ends)]
    return doc[:start] + name.encode() + doc[stop:]


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(DOCS, st.integers(0, 50), NAMES, PATHS, SIZES)
def test_misnested_end_tags_give_the_rows_or_error_of_table(doc, which, name, path, sizes):
    doc = misnested(doc, which, name)
    assert streamed(cut(doc, sizes), path) == whole(doc, path)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(DOCS, PATHS, SIZES, st.sampled_from(ENCODINGS))
def test_encodings_declared_up_front_are_read_across_pieces(doc, path, sizes, encoding):
    text = doc.decode()
    body = re.sub(r"^<\?xml[^>]*\?>", "", text)
    declared = f'<?xml version="1.0" encoding="{encoding}"?>{body}'
    encoded = declared.encode(encoding, "xmlcharrefreplace")
    assert streamed(cut(encoded, sizes), path) == whole(encoded, path)


@pytest.mark.parametrize("label, body", [
    ("hp-roman8", "<r><a>caf\u00e9</a><a>x</a></r>".encode("hp-roman8")),  # Python's codec
    ("no-such-codec", "<r><a>caf\u00e9</a><a>x</a></r>".encode()),  # read as UTF-8
    ("no-such-codec", "<r><a>caf\u00e9</a><a>x</a></r>".encode("latin-1")),  # refused
    ("no-such-codec", "<r>\u00e9<a>x</a></r>".encode("latin-1")),  # refused, outside records
])
def test_encodings_the_core_does_not_know(label, body):
    doc = f'<?xml version="1.0" encoding="{label}"?>'.encode() + body
    for size in (1, 5, 1000):
        assert streamed(cut(doc, [size]), "r.a") == whole(doc, "r.a")


@pytest.mark.parametrize("doc, path", [pytest.param(*r.values[:2], id=r.id) for r in ROWS])
def test_the_case_table_in_one_byte_pieces(doc, path):
    try:
        expected = whole(doc, path, {"text": "#text"})
    except TypeError:
        return
    if expected[0] == "error" and expected[1].startswith("record_path:") and \
            "elements" in expected[1]:
        return  # not a record path
    assert streamed(cut(doc, [1]), path, {"text": "#text"}) == expected


def test_a_record_larger_than_every_piece_and_batch_is_whole():
    big = "x" * 300_000
    doc = f"<r><a id='1'>{big}</a><a id='2'>y</a></r>".encode()
    rows = varnex.iter_batches(cut(doc, [4096]), "r.a", {"t": "#text"}, batch_bytes=10) \
        .read_all().to_pylist()
    assert rows == [{"t": big}, {"t": "y"}]


def test_batches_close_at_rows_and_bytes():
    doc = b"<r>" + b"".join(b"<a>%d</a>" % i for i in range(10)) + b"</r>"
    sizes = [b.num_rows for b in varnex.iter_batches(doc, "r.a", {"t": "#text"}, batch_rows=4)]
    assert sizes == [4, 4, 2]
    sizes = [b.num_rows for b in varnex.iter_batches(doc, "r.a", {"t": "#text"},
                                                     batch_bytes=16)]
    assert sizes == [2, 2, 2, 2, 2]


# --- sources ---------------------------------------------------------------------------------

DOC = b'<?xml version="1.0"?><catalog>' + b"".join(
    b'<book id="%d"><title>T%d</title></book>\n' % (i, i) for i in range(2000)) + b"</catalog>"
BOOK = {"id": ("@id", "int32"), "title": "title"}


def expected_rows():
    return varnex.table(DOC, "catalog.book", BOOK).to_pylist()


class Unbuffered(io.RawIOBase):
    """A pipe: a few bytes per read()."""

    def __init__(self, data: bytes):
        self.data = io.BytesIO(data)

    def readable(self):
        return True

    def read(self, n=-1):
        return self.data.read(min(n if n >= 0 else 1 << 30, 97))


SOURCES = {
    "bytes": lambda tmp: DOC,
    "bytearray": lambda tmp: bytearray(DOC),
    "memoryview": lambda tmp: memoryview(DOC),
    "str": lambda tmp: DOC.decode(),
    "path": lambda tmp: (tmp / "doc.xml").write_bytes(DOC) and tmp / "doc.xml",
    "file object": lambda tmp: io.BytesIO(DOC),
    "pipe": lambda tmp: Unbuffered(DOC),
    "iterable": lambda tmp: iter(cut(DOC, [333])),
    "generator of memoryviews": lambda tmp: (memoryview(p) for p in cut(DOC, [1000])),
}


@pytest.mark.parametrize("kind", SOURCES)
def test_every_source_kind(kind, tmp_path):
    source = SOURCES[kind](tmp_path)
    reader = varnex.iter_batches(source, "catalog.book", BOOK)
    assert isinstance(reader, pa.RecordBatchReader)
    assert reader.schema == varnex.table(b"<x/>", "catalog.book", BOOK).schema
    assert reader.read_all().to_pylist() == expected_rows()
    source = SOURCES[kind](tmp_path)
    assert list(varnex.iter_records(source, "catalog.book", BOOK)) == expected_rows()


@pytest.mark.parametrize("source, message", [
    (12, "source must be"),
    ([b"<a>", "<b/>"], "piece 1 of the source is str"),
    ([b"<a>", 5], "piece 1 of the source is int"),
    (io.StringIO("<a/>"), "open it in binary mode"),
])
def test_sources_of_the_wrong_kind(source, message):
    with pytest.raises(TypeError, match=message):
        varnex.iter_batches(source, "a.b", {}).read_all()


LATIN = b'<?xml version="1.0" encoding="ISO-8859-1"?><catalog>' + b"".join(
    b'<book id="%d"><title>T\xe9%d</title></book>' % (i, i) for i in range(500)) + b"</catalog>"
FILES = {
    "utf-8": DOC,
    "utf-16": DOC.decode().replace('?>', ' encoding="UTF-16"?>', 1).encode("utf-16"),
    "latin-1": LATIN,
    "gzip": gzip.compress(DOC),
}


@pytest.mark.parametrize("name", FILES)
def test_a_file_gives_the_batches_of_table(name, tmp_path):
    # A UTF-8 file is read by one pass over its map; the others a piece at a time.
    path = tmp_path / "doc.xml"
    path.write_bytes(FILES[name])
    want = varnex.table(DOC if name == "gzip" else FILES[name], "catalog.book", BOOK)
    batches = list(varnex.iter_batches(path, "catalog.book", BOOK, batch_rows=7))
    assert [b.num_rows for b in batches[:-1]] == [7] * (len(batches) - 1)
    assert pa.Table.from_batches(batches) == want


def test_a_file_stream_errs_where_table_does_after_its_batches(tmp_path):
    bad = DOC.replace(b'<book id="1500">', b'<book id="x">')
    path = tmp_path / "doc.xml"
    path.write_bytes(bad)
    with pytest.raises(ValueError) as whole_error:
        varnex.table(bad, "catalog.book", BOOK)
    got = []
    with pytest.raises(ValueError) as error:
        for batch in varnex.iter_batches(path, "catalog.book", BOOK, batch_rows=100):
            got.extend(batch.to_pylist())
    assert str(error.value) == str(whole_error.value)
    assert got == expected_rows()[:1500]
    path.write_bytes(DOC.replace(b"<title>T1500<", b"<title>\xff<"))
    with pytest.warns(varnex.SkippedRecordsWarning, match="1 malformed record left out"):
        rows = varnex.iter_batches(path, "catalog.book", BOOK, on_error="skip").read_all()
    assert rows.num_rows == 1999


def test_a_file_stream_left_early_ends_its_pass(tmp_path):
    path = tmp_path / "doc.xml"
    path.write_bytes(DOC)
    reader = varnex.iter_batches(path, "catalog.book", BOOK, batch_rows=10)
    assert reader.read_next_batch().num_rows == 10
    del reader  # pyarrow's close() keeps the batches' iterator until the reader goes
    deadline = time.monotonic() + 5
    while any(t.name == "varnex-pass" for t in threading.enumerate()):
        assert time.monotonic() < deadline, "the pass went on"
        time.sleep(0.01)


INTERRUPTED = """
import pathlib, sys, time, varnex
path = pathlib.Path(sys.argv[1])
path.write_bytes(b"<r>" + b"<i a='1'><v>12.5</v><w>x</w></i>" * 3_000_000 + b"</r>")
print("start", flush=True)
try:
    for batch in varnex.iter_batches(path, "r.i", {"a": "@a", "v": ("v", "float64")}):
        pass
except KeyboardInterrupt:
    print(f"interrupted {time.perf_counter() - float(sys.stdin.readline()):.2f}", flush=True)
else:
    print("finished 0", flush=True)
"""


def test_ctrl_c_stops_a_file_stream(tmp_path):
    outcome, seconds = interrupted(INTERRUPTED, str(tmp_path / "doc.xml"))
    assert outcome == "interrupted"
    assert seconds < 0.5


def test_a_missing_file_is_told_at_the_call(tmp_path):
    with pytest.raises(FileNotFoundError):
        varnex.iter_batches(tmp_path / "none.xml", "a.b", {})


def test_records_are_read_as_the_iterator_advances():
    def pieces():
        yield b"<r><a>1</a>"
        yield b"<a>2</a>" * 10
        raise AssertionError("read too far")

    rows = varnex.iter_records(pieces(), "r.a", {"t": "#text"})
    assert next(rows) == {"t": "1"}


def test_arguments_are_checked():
    with pytest.raises(ValueError, match="batch_rows must be at least 1"):
        varnex.iter_batches(DOC, "catalog.book", BOOK, batch_rows=0)
    with pytest.raises(ValueError, match="compression must be one of"):
        varnex.iter_batches(DOC, "catalog.book", BOOK, compression="lz4")
    with pytest.raises(TypeError, match="a str is XML text"):
        varnex.iter_batches("<a/>", "a.b", {}, compression="gzip")


def test_errors_name_the_place_in_the_whole_stream():
    doc = b"<r>\n" + b"<a>1</a>\n" * 50 + b"<a>x</a></r>"
    fields = {"n": ("#text", "int64")}
    expected = whole(doc, "r.a", fields)
    assert expected[0] == "error" and "record 50 (byte 454, line 52)" in expected[1]
    assert streamed(cut(doc, [5]), "r.a", fields) == expected


def test_a_stream_that_ends_inside_a_record():
    doc = b"<r>" + b"<a>1</a>" * 10 + b"<a>2"
    reader = varnex.iter_batches(cut(doc, [8]), "r.a", {"t": "#text"}, batch_rows=4)
    got = []
    with pytest.raises(ValueError, match=r"record 10 \(byte 83, line 1\): the document ends "):
        for batch in reader:
            got.extend(batch.to_pylist())
    assert got == [{"t": "1"}] * 8


def test_skipped_records_warn_once_at_the_end():
    doc = b"<r>" + b"<a>1</a><a>\xff</a>" * 20 + b"</r>"
    fields = {"n": ("#text", "int64")}
    with pytest.warns(varnex.SkippedRecordsWarning, match="20 malformed records"):
        rows = list(varnex.iter_records(cut(doc, [7]), "r.a", fields, on_error="skip"))
    assert rows == [{"n": 1}] * 20


# --- compressed input --------------------------------------------------------------------------

def gzip_members(data: bytes) -> bytes:
    import gzip

    half = len(data) // 2
    return gzip.compress(data[:half]) + gzip.compress(data[half:])


def zstd_frames(data: bytes) -> bytes:
    zstandard = pytest.importorskip("zstandard")
    half = len(data) // 3
    c = zstandard.ZstdCompressor()
    return c.compress(data[:half]) + c.compress(data[half:])


def compressors():
    import bz2
    import gzip
    import lzma

    return {
        "gzip": gzip.compress,
        "gzip of two members": gzip_members,
        "bz2": bz2.compress,
        "bz2 of two streams": lambda d: bz2.compress(d[:999]) + bz2.compress(d[999:]),
        "xz": lzma.compress,
        "zstd of two frames": zstd_frames,
    }


@pytest.mark.parametrize("name", list(compressors()))
@pytest.mark.parametrize("kind", ["bytes", "path", "file object", "pipe", "iterable"])
def test_compressed_input_is_recognised_by_its_first_bytes(name, kind, tmp_path):
    packed = compressors()[name](DOC)
    source = {
        "bytes": lambda: packed,
        "path": lambda: (tmp_path / "doc.xml.z").write_bytes(packed) and tmp_path / "doc.xml.z",
        "file object": lambda: io.BytesIO(packed),
        "pipe": lambda: Unbuffered(packed),
        "iterable": lambda: iter(cut(packed, [1, 2, 300])),
    }[kind]
    assert varnex.iter_batches(source(), "catalog.book", BOOK).read_all().to_pylist() == \
        expected_rows()
    assert list(varnex.iter_records(source(), "catalog.book", BOOK)) == expected_rows()


def test_compression_can_be_named_or_refused():
    import gzip

    packed = gzip.compress(DOC)
    got = varnex.iter_batches(packed, "catalog.book", BOOK, compression="gzip").read_all()
    assert got.num_rows == 2000
    # Read as it is, gzip is no XML: no records.
    assert varnex.iter_batches(packed, "catalog.book", BOOK, compression=None) \
        .read_all().num_rows == 0
    with pytest.raises(ValueError, match="the bz2 data is corrupt"):
        varnex.iter_batches(packed, "catalog.book", BOOK, compression="bz2").read_all()


def test_truncated_and_corrupt_input_say_where():
    import bz2
    import gzip

    packed = gzip.compress(DOC)
    got = []
    with pytest.raises(ValueError, match=r"the gzip data ends early: truncated after compressed "
                                         r"byte 5000 \(\d+ bytes decompressed\)"):
        for batch in varnex.iter_batches(packed[:5000], "catalog.book", BOOK, batch_rows=100):
            got.extend(batch.to_pylist())
    assert got and got == expected_rows()[:len(got)]
    broken = bytearray(bz2.compress(DOC))
    broken[4000:4010] = b"\0" * 10
    with pytest.raises(ValueError, match=r"the bz2 data is corrupt, at or before compressed "
                                         r"byte \d+"):
        varnex.iter_batches(bytes(broken), "catalog.book", BOOK).read_all()


@pytest.mark.parametrize("inflater", ["isal", "zlib"])
def test_gzip_reads_alike_by_either_inflater(inflater, monkeypatch):
    import gzip
    import zlib

    from varnex import _sources

    module = pytest.importorskip("isal.isal_zlib") if inflater == "isal" else zlib
    monkeypatch.setattr(_sources, "gzip_inflater", lambda: module)
    packed = gzip_members(DOC)
    assert list(varnex.iter_records(packed, "catalog.book", BOOK)) == expected_rows()
    # Inflating more than a piece (1 MB) from one compressed piece.
    big = b"<catalog>" + b'<book id="7"><title>T</title></book>' * 60_000 + b"</catalog>"
    assert varnex.iter_batches(gzip.compress(big), "catalog.book", BOOK).read_all() \
        .num_rows == 60_000
    with pytest.raises(ValueError, match="the gzip data ends early"):
        varnex.iter_batches(packed[:-20], "catalog.book", BOOK).read_all()
    broken = bytearray(gzip.compress(DOC))
    broken[3000:3010] = b"\xff" * 10
    # Each inflater's own error, told as every corrupt input is.
    with pytest.raises(ValueError, match=r"the gzip data is corrupt, at or before compressed "
                                         r"byte \d+ \(\d+ bytes decompressed\)"):
        varnex.iter_batches(bytes(broken), "catalog.book", BOOK).read_all()


def test_zstd_without_a_decompressor_names_the_extra(monkeypatch):
    import builtins

    real = builtins.__import__

    def no_zstd(name, *args, **kwargs):
        if name in ("zstandard", "compression"):
            raise ImportError(name)
        return real(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", no_zstd)
    with pytest.raises(ImportError, match=r"pip install 'varnex\[zstd\]'"):
        varnex.iter_batches(b"\x28\xb5\x2f\xfd" + b"\0" * 10, "a.b", {}).read_all()


def test_to_parquet_writes_row_groups_read_back_by_pyarrow(tmp_path):
    import gzip

    import pyarrow.parquet as pq

    dest = tmp_path / "out.parquet"
    written = varnex.to_parquet(gzip.compress(DOC), dest, "catalog.book", BOOK,
                                row_group_rows=300, compression="zstd")
    assert written == 2000
    file = pq.ParquetFile(dest)
    assert file.metadata.num_row_groups == 7
    assert file.metadata.row_group(0).column(0).compression == "ZSTD"
    assert file.read().to_pylist() == expected_rows()
    assert file.schema_arrow == varnex.table(DOC, "catalog.book", BOOK).schema


def test_prefix_maps_hold_across_every_piece():
    # Declarations on the root, and one rebinding inside each record, seen by every cut.
    items = b"".join(
        b'<item n="%d"><a:t>A%d</a:t><b:t>B%d</b:t><t>P%d</t><x xmlns:a="urn:b"><a:t>R%d</a:t>'
        b"</x></item>" % (i, i, i, i, i) for i in range(30))
    doc = b'<rss xmlns:a="urn:a" xmlns:b="urn:b"><ch>' + items + b"</ch></rss>"
    maps = {"p": "urn:a", "q": "urn:b"}
    fields = {"pa": "p:t", "qb": "q:t", "plain": "{}t", "rebound": "x.q:t", "n": "@n"}
    whole = varnex.table(doc, "rss.ch.item.#", fields, namespaces=maps)
    assert whole.column("rebound").to_pylist()[:2] == ["R0", "R1"]
    for size in (1, 5, 64):
        pieces = [doc[i:i + size] for i in range(0, len(doc), size)]
        got = varnex.iter_batches(pieces, "rss.ch.item.#", fields, namespaces=maps)
        assert got.read_all().equals(whole), size
        rows = varnex.iter_records(iter(pieces), "rss.ch.item.#", fields, namespaces=maps)
        assert list(rows) == whole.to_pylist(), size


TRAPS = b"<catalog>" + b"".join(
    b'<book id="%d" n="%d"><!-- > </book> --><title x=">">T%d</title>'
    b"<![CDATA[</book>]]><book/><shelf><book>in</book></shelf></book>\n" % (i, i % 7, i)
    for i in range(300)) + b"</catalog>"


@pytest.mark.parametrize("piece", [1, 61, 1000])
@pytest.mark.parametrize("packed", [False, True], ids=["plain", "gzip"])
def test_pieces_read_on_a_thread_of_their_own(piece, packed, monkeypatch, tmp_path):
    # The reading thread follows the markup of plain pieces; the answering thread follows
    # that of decompressed ones: either way, the rows of the whole.
    import gzip

    monkeypatch.setattr(varnex._sources, "PIECE", piece)
    path = tmp_path / "doc.xml"
    path.write_bytes(gzip.compress(TRAPS) if packed else TRAPS)
    fields = {"id": "@id", "n": ("@n", "int64"), "title": "title", "kids": "*.#"}
    for record in ("catalog.book", "catalog.book#(@n>3)#", "**.book"):
        with open(path, "rb") as file:  # a file object: read in pieces, where a path is mapped
            assert whole(TRAPS, record, fields) == streamed(file, record, fields)

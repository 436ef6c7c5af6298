"""varnex.dask.read_xml on a real local cluster of two worker processes."""

from __future__ import annotations

import gzip
import importlib
import os
import sys
import time
from pathlib import Path

import pytest
import varnex
from test_records import GENERATED_FIELDS, gen_document
from test_typed_fields import CASES, case_document

pa = pytest.importorskip("pyarrow")
pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
import varnex.dask  # noqa: E402

FIELDS = {name: GENERATED_FIELDS[name][0]
          for name in ("id", "kind", "name", "aliases", "note", "p_code", "body", "deep")}


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Four generated documents, the last one gzip-compressed, in glob order."""
    folder = tmp_path_factory.mktemp("xml")
    docs = [gen_document(seed, count=40 + 10 * seed) for seed in range(4)]
    names = [folder / f"part{i}.xml" for i in range(3)] + [folder / "part3.xml.gz"]
    for name, doc in zip(names[:3], docs[:3], strict=True):
        name.write_bytes(doc)
    names[3].write_bytes(gzip.compress(docs[3]))
    return folder, names, docs


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        yield client


def as_table(frame):
    return pa.Table.from_pandas(frame, preserve_index=False)


def test_partitions_are_the_tables_of_the_files(files, client):
    folder, names, docs = files
    frame = varnex.dask.read_xml(str(folder / "part*"), "feed.item.#", FIELDS,
                                 include_path_column="file")
    assert frame.npartitions == 4
    assert list(frame.columns) == [*FIELDS, "file"]
    got = as_table(frame.compute())
    want = pa.concat_tables([varnex.table(doc, "feed.item.#", FIELDS) for doc in docs])
    assert got.select(list(FIELDS)).to_pydict() == want.to_pydict()
    sizes = [len(varnex.records(doc, "feed.item.#", {})) for doc in docs]
    assert got.column("file").to_pylist() == [
        str(name) for name, size in zip(names, sizes, strict=True) for _ in range(size)]
    # A computation that needs a few columns reads only their fields.
    assert as_table(frame[["file", "id"]].compute()).to_pydict() == got.select(
        ["file", "id"]).to_pydict()
    assert len(frame) == len(frame[["file"]]) == got.num_rows
    # Compiled paths travel to the workers as their text.
    compiled = {"id": varnex.compile("@id"), "deep": varnex.compile("box.inner.#.v")}
    frame = varnex.dask.read_xml([str(n) for n in names[2:]], varnex.compile("feed.item.#"),
                                 compiled)
    assert as_table(frame.compute()).to_pydict() == pa.concat_tables(
        [varnex.table(doc, "feed.item.#", compiled) for doc in docs[2:]]).to_pydict()


def test_errors(files, client, tmp_path):
    folder, names, _ = files
    with pytest.raises(ValueError, match="field 'id': unknown modifier"):
        varnex.dask.read_xml(str(folder / "part*"), "feed.item.#", {"id": "@id|@x"})
    with pytest.raises(ValueError, match="field 'id': unknown type 'in64'"):
        varnex.dask.read_xml(str(folder / "part*"), "feed.item.#", {"id": ("@id", "in64")})
    with pytest.raises(FileNotFoundError):
        varnex.dask.read_xml(str(folder / "nothing*.xml"), "feed.item.#", FIELDS)
    bad = tmp_path / "bad.xml"
    bad.write_bytes(b"<r><i><n>1</n></i>\n<i><n>x</n></i></r>")
    frame = varnex.dask.read_xml(str(bad), "r.i", {"n": ("n", "int64")})
    with pytest.raises(ValueError) as raised:
        frame.compute()
    assert str(raised.value) == (f"{bad}: field 'n' of record 1 (byte 19, line 2): 'x' is not a "
                                 "valid int64")


def test_files_that_disagree_in_repetition(client, tmp_path):
    # Some records repeat a field and others do not, in one file and across files.
    (tmp_path / "a.xml").write_bytes(b"<r><i><v>1</v></i><i/></r>")
    (tmp_path / "b.xml").write_bytes(b"<r><i><v>2</v><v>3</v></i><i><v>4</v></i></r>")
    each = varnex.dask.read_xml(str(tmp_path / "*.xml"), "r.i", {"v": ("v.#", "int64")})
    assert str(each.dtypes["v"]) == "list<item: int64>[pyarrow]"
    assert as_table(each.compute()).column("v").to_pylist() == [[1], [], [2, 3], [4]]
    first = varnex.dask.read_xml(str(tmp_path / "*.xml"), "r.i", {"v": ("v", "int64")},
                                 on_repeat="first")
    assert as_table(first.compute()).column("v").to_pylist() == [1, None, 2, 4]
    scalar = varnex.dask.read_xml(str(tmp_path / "*.xml"), "r.i", {"v": "v"})
    with pytest.raises(ValueError, match=r"b\.xml: field 'v' of record 0 \(byte 3, line 1\): 2 "
                                         "matches in one record"):
        scalar.compute()


def test_field_kinds_and_policies_on_the_cluster(client, tmp_path):
    # The case table of test_typed_fields, each case a file of its own read on the workers.
    for n, (name, (spec, records, keywords, values, _)) in enumerate(CASES.items()):
        path = tmp_path / f"case{n}.xml"
        path.write_bytes(case_document(records))
        frame = varnex.dask.read_xml(str(path), "r.i", {"f": spec}, **keywords)
        got = frame.compute()
        # The meta is the schema (a category's values are known once read).
        assert {c: str(t) for c, t in got.dtypes.items()} == {
            c: str(t) for c, t in frame.dtypes.items()}, name
        assert as_table(got).column("f").to_pylist() == values, name


def test_arguments_are_checked_before_any_task_runs(files, tmp_path):
    folder, names, _ = files
    pattern = str(folder / "part*")
    for kwargs, error, message in [
        ({"paths": None}, TypeError, "paths must be a path, a glob pattern or a list of them"),
        ({"paths": str(folder / "nothing.xml")}, FileNotFoundError, "No such file"),
        ({"paths": [str(names[0]), str(folder / "nothing.xml")]}, FileNotFoundError,
         "nothing.xml"),
        ({"include_path_column": ""}, ValueError, "a column name cannot be empty"),
        ({"include_path_column": 0}, TypeError, "must be True, False or a column name"),
        ({"include_path_column": True, "fields": {"path": "@id"}}, ValueError,
         "a field is already named 'path'"),
        ({"include_path_column": "id"}, ValueError, "a field is already named 'id'"),
    ]:
        arguments = {"paths": pattern, "record_path": "feed.item.#", "fields": FIELDS, **kwargs}
        with pytest.raises(error, match=message):
            varnex.dask.read_xml(**arguments)


def test_no_fields_still_give_one_row_per_record(files, client):
    folder, _, docs = files
    frame = varnex.dask.read_xml(str(folder / "part*"), "feed.item.#", {},
                                 include_path_column=True)
    assert list(frame.columns) == ["path"]
    assert len(frame.compute()) == sum(len(varnex.records(d, "feed.item.#", {})) for d in docs)


def test_errors_inside_a_partition_name_the_file(client, tmp_path):
    bad = tmp_path / "bad.xml"
    bad.write_bytes(b"<r><i><t>\xff</t></i></r>")
    where = r"field 't' of record 0 \(byte 3, line 1\)"
    with pytest.raises(ValueError, match=f"^{bad}: {where}: invalid utf-8"):
        varnex.dask.read_xml(str(bad), "r.i.#", {"t": "t"}).compute()


def test_a_file_cut_while_a_worker_reads_it(client, tmp_path):
    big = tmp_path / "big.xml"
    with open(big, "wb") as f:
        f.write(b"<r><i><v>1</v></i>")
        f.seek(1 << 30)  # a hole: a gigabyte of zeros, read at memory speed, stored nowhere
        f.write(b"</r>")
    frame = varnex.dask.read_xml(str(big), "r.i.#", {"v": "v"})
    workers = sorted(client.run(os.getpid).values())
    future = client.compute(frame)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and not any(
            str(big) in Path(f"/proc/{pid}/maps").read_text() for pid in workers):
        time.sleep(0.001)
    os.truncate(big, 1000)
    with pytest.raises(OSError, match=f"^{big}: the file changed while it was read$"):
        future.result(timeout=120)
    assert sorted(client.run(os.getpid).values()) == workers  # no worker died


def test_says_which_extra_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "dask.dataframe", None)
    monkeypatch.delitem(sys.modules, "varnex.dask")
    with pytest.raises(ImportError, match=r"pip install 'dask\[dataframe,distributed\]' pyarrow$"):
        importlib.import_module("varnex.dask")


def test_compressed_files_stream_through_the_reader(files, client, tmp_path):
    import bz2
    import lzma

    _, _, docs = files
    packed = [(tmp_path / "a.xml.gz", gzip.compress(docs[0])),
              (tmp_path / "b.xml.bz2", bz2.compress(docs[1])),
              (tmp_path / "c.xml.xz", lzma.compress(docs[2])),
              (tmp_path / "d.xml", gzip.compress(docs[3]))]  # told by its first bytes alone
    for name, data in packed:
        name.write_bytes(data)
    frame = varnex.dask.read_xml([str(name) for name, _ in packed], "feed.item.#", FIELDS)
    want = pa.concat_tables([varnex.table(doc, "feed.item.#", FIELDS) for doc in docs])
    assert as_table(frame.compute()).to_pydict() == want.to_pydict()
    cut = tmp_path / "cut.xml.gz"
    cut.write_bytes(gzip.compress(docs[0])[:300])
    with pytest.raises(ValueError, match=r"cut.xml.gz: the gzip data ends early"):
        varnex.dask.read_xml(str(cut), "feed.item.#", FIELDS).compute()


def trap_document(records: int) -> bytes:
    """Records with what a byte-range cut can fall into: comments and CDATA holding record
    tags, '>' in values, nested records of the same name, a DOCTYPE entity."""
    parts = ['<?xml version="1.0"?>\n<!DOCTYPE catalog [<!ENTITY co "and co">]>\n'
             '<catalog xmlns:n="urn:n">\n']
    for i in range(records):
        body = [f"<title>T{i} &co;</title>",
                "<!-- </book>\n<book id='c'> -->", "<![CDATA[</book>\n<book>]]>",
                f'<book id="in{i}"><title>inner</title></book>', "<n:x>1</n:x>"][i % 5]
        note = ' note="a >\n<book b" ' if i % 7 == 3 else ""
        parts.append(f'  <book id="b{i}"{note}><price>{i % 40}</price>{body}</book>\n')
    parts.append("</catalog>\n")
    return "".join(parts).encode()


@pytest.mark.parametrize("blocksize", [97, 1000, "4 KiB", 20_000])
def test_one_file_in_many_partitions_gives_the_rows_of_one(client, tmp_path, blocksize):
    doc = trap_document(600)
    path = tmp_path / "big.xml"
    path.write_bytes(doc)
    fields = {"id": "@id", "price": ("price", "int64"), "titles": "title.#", "x": "{urn:n}x"}
    for record_path in ("catalog.book", "**.book"):
        frame = varnex.dask.read_xml(str(path), record_path, fields, blocksize=blocksize,
                                     include_path_column=True)
        if isinstance(blocksize, int) and blocksize < 5000:
            assert frame.npartitions > 3
        got = as_table(frame.compute())
        want = varnex.table(doc, record_path, fields)
        assert got.select(list(fields)).to_pydict() == want.to_pydict()
        assert set(got.column("path").to_pylist()) == {str(path)}


def test_blocksize_leaves_what_cannot_be_cut_whole(client, tmp_path):
    doc = trap_document(100)
    plain, packed = tmp_path / "a.xml", tmp_path / "b.xml.gz"
    plain.write_bytes(doc)
    packed.write_bytes(gzip.compress(doc))
    assert varnex.dask.read_xml(str(packed), "catalog.book", {"id": "@id"},
                                blocksize=100).npartitions == 1
    # The root as the record, and a record path with modifiers, need the file in one piece.
    for record_path in ("catalog", "catalog.book|@reverse"):
        frame = varnex.dask.read_xml(str(plain), record_path, {"id": "@id"}, blocksize=100)
        assert frame.npartitions == 1
        assert as_table(frame.compute()).to_pydict() == varnex.table(
            doc, record_path, {"id": "@id"}).to_pydict()
    with pytest.raises(ValueError, match="blocksize must be more than 0 bytes, not 0"):
        varnex.dask.read_xml(str(plain), "catalog.book", {"id": "@id"}, blocksize=0)
    with pytest.raises(TypeError, match="blocksize must be a number of bytes"):
        varnex.dask.read_xml(str(plain), "catalog.book", {"id": "@id"}, blocksize=1.5)


def test_blocksize_cuts_only_where_markup_is_ascii(client, tmp_path):
    text = trap_document(200).decode()
    for encoding, cut in [("utf-16", False), ("shift_jis", False), ("iso-8859-1", True)]:
        doc = text.replace('version="1.0"?>', f'version="1.0" encoding="{encoding}"?>', 1)
        path = tmp_path / f"{encoding}.xml"
        path.write_bytes(doc.encode(encoding))
        frame = varnex.dask.read_xml(str(path), "catalog.book", {"id": "@id"}, blocksize=500)
        assert (frame.npartitions > 1) is cut, encoding
        assert as_table(frame.compute()).to_pydict() == varnex.table(
            path.read_bytes(), "catalog.book", {"id": "@id"}).to_pydict()


def test_the_prefix_map_reaches_every_partition(client, tmp_path):
    """namespaces= and the maps compiled into Path objects, plain and gzip files alike."""
    atom, media = "http://www.w3.org/2005/Atom", "http://search.yahoo.com/mrss/"
    doc = (f'<feed xmlns="{atom}" xmlns:media="{media}" xmlns:o="urn:other">'
           + "".join(f"<entry><id>{i}</id><title>t{i}</title><o:title>no</o:title>"
                     f'<media:title>m{i}</media:title><media:c url="u{i}"/></entry>'
                     for i in range(5)) + "</feed>").encode()
    (tmp_path / "a.xml").write_bytes(doc)
    (tmp_path / "b.xml.gz").write_bytes(gzip.compress(doc))
    want = {"id": [str(i) for i in range(5)] * 2, "title": [f"m{i}" for i in range(5)] * 2,
            "url": [f"u{i}" for i in range(5)] * 2}
    glob = str(tmp_path / "*")
    space = {"": atom, "m": media}
    by_map = varnex.dask.read_xml(glob, "feed.entry.#",
                                  {"id": "id", "title": "m:title", "url": "m:c.@url"},
                                  namespaces=space)
    assert as_table(by_map.compute()).to_pydict() == want
    # No map on the call: each Path keeps its own, on the driver and on the workers.
    compiled = varnex.dask.read_xml(
        glob, varnex.compile("a:feed.a:entry.#", namespaces={"a": atom}),
        {"id": varnex.compile("x:id", namespaces={"x": atom}),
         "title": varnex.Field(varnex.compile(f"{{{media}}}title")),
         "url": varnex.compile("q:c.@url", namespaces={"q": media})})
    assert as_table(compiled.compute()).to_pydict() == want

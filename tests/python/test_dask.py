"""varnex.dask.read_xml on a real local cluster of two worker processes."""

from __future__ import annotations

import gzip
import importlib
import sys

import pytest
import varnex
from test_records import GENERATED_FIELDS, gen_document

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
    with pytest.raises(FileNotFoundError):
        varnex.dask.read_xml(str(folder / "nothing*.xml"), "feed.item.#", FIELDS)
    # A field whose path does not say it repeats may not become a list in one file only.
    (tmp_path / "a.xml").write_bytes(b"<r><i><v>1</v></i></r>")
    (tmp_path / "b.xml").write_bytes(b"<r><i><v>1</v><v>2</v></i></r>")
    frame = varnex.dask.read_xml(str(tmp_path / "*.xml"), "r.i.#", {"v": "v"})
    with pytest.raises(ValueError, match="field 'v' matched several elements"):
        frame.compute()
    assert as_table(varnex.dask.read_xml(
        str(tmp_path / "*.xml"), "r.i.#", {"v": "v.#"}).compute()).column("v").to_pylist() == [
        ["1"], ["1", "2"]]


def test_says_which_extra_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "dask.dataframe", None)
    monkeypatch.delitem(sys.modules, "varnex.dask")
    with pytest.raises(ImportError, match=r"pip install 'varnex\[dask\]'"):
        importlib.import_module("varnex.dask")

"""The whole public API used as a user would, with the type of each answer asserted.

`make typecheck` runs mypy --strict and basedpyright (strict) over this file; the test suite
runs it too, and there `assert_type` checks that each value really has the asserted type.
"""

from __future__ import annotations

import copy
import io
import mmap
import os
import pathlib
import pickle
import tempfile
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any

import dask.dataframe as dd
import pyarrow
import varnex
import varnex.dask
from varnex import Path, Result
from varnex.cli import main

if TYPE_CHECKING:
    from typing import assert_type
else:
    import types
    import typing

    def _conforms(value, kind):
        if kind is Any:
            return True
        if kind is None:
            return value is None
        origin, args = typing.get_origin(kind), typing.get_args(kind)
        if origin in (typing.Union, types.UnionType):
            return any(_conforms(value, arg) for arg in args)
        if origin is type:
            return isinstance(value, type) and issubclass(
                value, typing.get_origin(args[0]) or args[0])
        if origin is list:
            return isinstance(value, list) and all(_conforms(v, args[0]) for v in value)
        if origin is dict:
            return isinstance(value, dict) and all(
                _conforms(k, args[0]) and _conforms(v, args[1]) for k, v in value.items())
        if origin is tuple:
            return (isinstance(value, tuple) and len(value) == len(args)
                    and all(map(_conforms, value, args)))
        return isinstance(value, origin or kind)

    def assert_type(value, kind):
        assert _conforms(value, kind), f"{value!r} is not {kind}"
        return value


DOC = (
    '<catalog><book id="b1"><title>Tea</title><price>10</price>'
    "<tags><tag>x</tag><tag>y</tag></tags></book>"
    '<book id="b2"><title>Rum</title><price>2.5</price></book></catalog>'
)
RAW = DOC.encode()
# Annotated: mypy reads a dict literal mixing texts and Paths as dict[str, object].
FIELDS: dict[str, str | Path] = {"id": "@id", "tags": varnex.compile("tags.tag.#")}
TypeOfValue = (
    type[int] | type[float] | type[str] | type[list[Result]] | type[dict[str, Result]] | None
)


def queries() -> None:
    assert_type(varnex.get(DOC, "catalog.book.0.title"), Result)
    space = {"dc": "http://purl.org/dc/elements/1.1/"}
    assert_type(varnex.get(DOC, "catalog.book.#.dc:creator", namespaces=space), Result)
    assert_type(varnex.get_many(DOC, ["catalog.{}book.#"], namespaces=space), list[Result])
    assert_type(varnex.compile("catalog.{}book", namespaces=space), Path)
    assert_type(varnex.namespaces(DOC), dict[str, list[str]])
    assert_type(varnex.records(DOC, "catalog.book", {"c": "dc:creator"}, namespaces=space),
                list[dict[str, Any]])
    assert_type(varnex.get_bytes(data=RAW, path="catalog.book.#.@id"), Result)
    assert_type(varnex.get_buffer(bytearray(RAW), "catalog.book.1"), Result)
    with tempfile.TemporaryFile() as file:
        file.write(RAW)
        file.flush()
        with mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as view:
            assert_type(varnex.get_buffer(view, "catalog.book.1"), Result)
            assert_type(varnex.validate(view), bool)
    assert_type(varnex.parse(DOC), Result)
    assert_type(varnex.parse(RAW).get("catalog.book.0"), Result)
    assert_type(varnex.validate(DOC), bool)
    assert_type(varnex.validate(RAW, strict=True), bool)
    assert_type(varnex.validate(RAW, threads=0), bool)
    assert_type(varnex.get_bytes(RAW, "catalog.book.#", threads=2), Result)
    assert_type(varnex.get_many(DOC, ["catalog.book.#"], threads=2), list[Result])
    assert_type(varnex.compile("catalog.book").get(DOC, threads=2), Result)
    assert_type(varnex.check(memoryview(RAW)), None)
    try:
        varnex.check("<a></b>")
    except varnex.XMLSyntaxError as error:
        assert_type(error.offset, int | None)
        assert_type((error.message, error.path), tuple[str, str])
        assert_type((error.line, error.column), tuple[int, int])
        assert isinstance(error, ValueError)

    texts = ["catalog.book.0.title", ""]
    compiled = [varnex.compile("catalog.book.#.title")]
    mixed: list[str | Path] = [*texts, *compiled]
    assert_type(varnex.get_many(DOC, texts), list[Result])
    assert_type(varnex.get_many_bytes(RAW, compiled), list[Result])
    assert_type(varnex.get_many_buffer(bytearray(RAW), mixed), list[Result])
    assert_type(varnex.get_many(DOC, ["catalog.book.0.title", compiled[0]]), list[Result])


def paths() -> None:
    path = assert_type(varnex.compile("catalog.book.#.title"), Path)
    assert_type(path.get(DOC), Result)
    assert_type(path.get_bytes(RAW), Result)
    assert_type(path.get_buffer(bytearray(RAW)), Result)
    rebuild, arguments = assert_type(path.__reduce__(), tuple[Callable[[str], Path], tuple[str]])
    assert rebuild(*arguments) == path == copy.copy(path) == pickle.loads(pickle.dumps(path))
    assert_type({path: 1}[path], int)


def results() -> None:
    books = varnex.get_bytes(RAW, "catalog.book")
    book = assert_type(books[0], Result)
    assert_type(books[0:1], Result)
    assert_type(book["title"], Result)
    assert_type(iter(books), Iterator[Result])
    for item in books:
        assert_type(item, Result)
    assert_type(len(books), int)

    keys = assert_type(book.keys(), varnex.ResultKeysView)
    assert_type(iter(keys), varnex.ResultChildKeyIter)
    assert_type(list(keys), list[str])
    assert_type("title" in keys, bool)
    assert_type(list(book.values()), list[Result])
    assert_type(book.values(), varnex.ResultValuesView)
    assert_type(book.items(), varnex.ResultItemsView)
    assert_type(book.children(), varnex.ResultChildrenView)
    assert_type(dict(book.items()), dict[str, Result])
    assert_type(list(book.children()), list[tuple[str, Result]])
    assert_type(iter(book.values()), varnex.ResultChildValueIter)
    assert_type(iter(book.items()), varnex.ResultChildItemIter)
    assert_type(iter(book.children()), varnex.ResultChildIter)
    assert_type(len(book.children()), int)

    price = book.get("price")
    assert_type(price.value, Any)
    assert_type(price.type_, TypeOfValue)
    assert_type(book.type_, TypeOfValue)
    assert_type(price.exists(), bool)
    assert_type(price.to_str(), str)
    assert_type(price.to_str_list(), list[str])
    assert_type(price.to_int(), int)
    assert_type(price.to_float(), float)
    assert_type(price.to_bool(), bool)
    assert_type(int(price), int)
    assert_type(float(price), float)
    assert_type(bool(price), bool)
    assert_type(price == "10", bool)
    assert_type(price.get_many([]), list[Result])
    assert_type(book.get_many(["@id", varnex.compile("title")]), list[Result])
    if isinstance(value := price.value, int):
        assert_type(value + 1, int)


def tables() -> None:
    rows = varnex.records(RAW, "catalog.book.#", FIELDS)
    assert_type(rows, list[dict[str, Any]])
    typed: dict[str, str | tuple[str, pyarrow.DataType] | varnex.Field] = {
        "price": varnex.Field("price", "float64", on_invalid="null"),
        "day": ("published", pyarrow.date32()), "id": "@id"}
    books = varnex.table(RAW, varnex.compile("catalog.book.#"), typed, on_repeat="first",
                         null_values=["", "N/A"], on_error="skip")
    assert_type(books, pyarrow.Table)
    found = varnex.describe_records(RAW, "catalog.book.#", sample=None)
    assert_type(found, varnex.RecordsDescription)
    assert_type(found.fields(), dict[str, varnex.Field])
    assert_type(found.paths[0].most, int)
    mapped = varnex.describe_records(RAW, "c:catalog.c:book", namespaces={"c": "urn:c"})
    assert_type(mapped, varnex.RecordsDescription)
    assert_type(varnex.SkippedRecordsWarning("skipped"), varnex.SkippedRecordsWarning)
    reader = varnex.iter_batches(iter([RAW[:10], RAW[10:]]), "catalog.book.#", typed,
                                 batch_rows=100, batch_bytes=1 << 20, compression="infer")
    assert_type(reader, pyarrow.RecordBatchReader)
    for batch in reader:
        assert_type(batch, pyarrow.RecordBatch)
    for row in varnex.iter_records(io.BytesIO(RAW), "catalog.book.#", FIELDS, compression=None):
        assert_type(row, dict[str, Any])
    with tempfile.TemporaryDirectory() as folder:
        name = os.path.join(folder, "catalog.xml")
        with open(name, "wb") as file:
            file.write(RAW)
        frame = varnex.dask.read_xml([name], "catalog.book.#", typed, include_path_column=True,
                                     on_invalid="null")
        assert_type(frame, dd.DataFrame)
        written = varnex.to_parquet(pathlib.Path(name), os.path.join(folder, "out.parquet"),
                                    "catalog.book.#", typed, row_group_rows=1000,
                                    input_compression="gzip" if RAW[:2] == b"\x1f\x8b" else None,
                                    compression="zstd")
        assert_type(written, int)
        assert_type(main(["--validate", name]), int)
        assert_type(main(["--validate", "--strict", name]), int)


queries()
paths()
results()
tables()


def check_files_and_explain(tmp: pathlib.Path) -> None:  # typed only: never called
    assert_type(varnex.get(tmp, "r"), varnex.Result)
    assert_type(varnex.get_buffer(tmp, "r"), varnex.Result)
    assert_type(varnex.compile("r").get_bytes(tmp), varnex.Result)
    assert_type(varnex.explain(tmp, "r"), str)
    assert_type(varnex.explain(b"<r/>", "r"), str)
    assert_type(varnex.explain(b"<r/>", "p:r", namespaces={"p": "urn:p"}), str)
    assert_type(varnex.__version__, str)

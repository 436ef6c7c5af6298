"""XML files as a Dask DataFrame: one partition per file, each made by varnex.table() in a worker.

    import varnex.dask
    books = varnex.dask.read_xml("s3://bucket/catalogs/*.xml.gz", "catalog.book.#",
                                 {"id": "@id", "title": "title", "price": "price"})
    books.groupby("lang").size().compute()

Needs the `dask` extra: pip install 'varnex[dask]'.
"""

from __future__ import annotations

import mmap
from collections.abc import Mapping
from typing import Any

from varnex import _varnex
from varnex._tables import table

DASK_MISSING = "varnex.dask needs Dask and pyarrow: pip install 'varnex[dask]'"

try:
    import dask
    import dask.dataframe as dd
    import fsspec
    import pandas as pd
    import pyarrow as pa
    from fsspec.implementations.local import LocalFileSystem
except ImportError as error:
    raise ImportError(DASK_MISSING) from error

__all__ = ["read_xml"]


def read_xml(
    paths: str | list[str],
    record_path: str | _varnex.Path,
    fields: Mapping[str, str | _varnex.Path],
    *,
    compression: str | None = "infer",
    storage_options: dict[str, Any] | None = None,
    include_path_column: bool | str = False,
) -> dd.DataFrame:
    """Read the records of many XML files into a Dask DataFrame, one partition per file.

    `paths` is a path, a glob pattern or a list of them, in any form fsspec opens
    (`data/*.xml`, `s3://bucket/a.xml.gz` with s3fs installed); compressed files are
    recognised by their suffix unless `compression` says otherwise. `record_path` and
    `fields` are those of varnex.records() and varnex.table(): each partition is the
    table() of one file, string columns as `string[pyarrow]` and list columns as
    `ArrowDtype(list<string>)`. Every path is checked here, before any task runs.
    `include_path_column` adds the file of each record as a column (named `path`, or
    the name given).
    """
    record_text = _path_text(record_path, "record_path")
    if not isinstance(fields, Mapping):
        raise TypeError(f"fields must be a mapping of names to paths, not {type(fields).__name__}")
    field_texts = {name: _path_text(path, f"field {name!r}") for name, path in fields.items()}
    empty = table(b"", record_text, field_texts)  # compiles every path, names the bad one
    files = fsspec.open_files(paths, mode="rb", compression=compression,
                              **(storage_options or {}))
    if len(files) == 0:
        raise FileNotFoundError(f"no file matches {paths!r}")
    path_column = "path" if include_path_column is True else (include_path_column or None)
    read = _ReadFile(record_text, field_texts, empty.schema, path_column)
    # The columns are Arrow strings already: a conversion would be a task per file for nothing.
    with dask.config.set({"dataframe.convert-string": False}):
        return dd.from_map(read, list(files), meta=read.frame(empty, ""),
                           label="varnex-read-xml", enforce_metadata=False)


class _ReadFile:
    """One partition: one file's table() as pandas; sent to the workers, so plain data only."""

    def __init__(self, record_path: str, fields: dict[str, str], schema: pa.Schema,
                 path_column: str | None) -> None:
        self.record_path = record_path
        self.fields = fields
        self.schema = schema
        self.path_column = path_column

    def __call__(self, file: fsspec.core.OpenFile, columns: list[str] | None = None
                 ) -> pd.DataFrame:
        # Dask names the columns a computation needs: only their fields are read.
        fields = self.fields
        if columns is not None:
            fields = {name: path for name, path in fields.items() if name in columns}
            if not fields and self.fields:  # no field wanted, but the rows still count
                first = next(iter(self.fields))
                fields = {first: self.fields[first]}
        if isinstance(file.fs, LocalFileSystem) and file.compression is None:
            found = _table_of_local_file(file.path, self.record_path, fields)
        else:
            with file as stream:
                found = table(stream.read(), self.record_path, fields)
        frame = self.frame(self._conform(found, file.path), file.path)
        return frame if columns is None else frame[list(columns)]

    def _conform(self, found: pa.Table, where: str) -> pa.Table:
        schema = pa.schema([self.schema.field(name) for name in found.schema.names])
        for name, expected in zip(schema.names, schema.types, strict=True):
            if not pa.types.is_string(expected) and not pa.types.is_large_string(expected):
                continue
            kind = found.schema.field(name).type
            if pa.types.is_list(kind) or pa.types.is_large_list(kind):
                raise ValueError(
                    f"{where}: field {name!r} matched several elements in one record, so it "
                    "would be a list column in this file only; end its path in '.#' to make "
                    "it a list column in every file, or in '|@first' to keep one match")
        return found.cast(schema) if found.schema != schema else found

    def frame(self, found: pa.Table, where: str) -> pd.DataFrame:
        frame = found.to_pandas(types_mapper=_dtype)
        if self.path_column is not None:
            frame[self.path_column] = pd.Series([where] * len(frame), dtype="string[pyarrow]")
        return frame


def _table_of_local_file(name: str, record_path: str, fields: dict[str, str]) -> pa.Table:
    """A local file read through a map of its pages: no copy of the document is made."""
    with open(name, "rb") as f:
        try:
            view = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        except ValueError:  # an empty file cannot be mapped
            return table(b"", record_path, fields)
        with view:
            return table(view, record_path, fields)


def _dtype(kind: pa.DataType) -> Any:
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        return pd.StringDtype("pyarrow")
    if pa.types.is_list(kind) or pa.types.is_large_list(kind):
        return pd.ArrowDtype(kind)
    return None


def _path_text(path: Any, what: str) -> str:
    """The text of a path, which the workers compile again (their compile cache is their own)."""
    if isinstance(path, str):
        return path
    if isinstance(path, _varnex.Path):
        _, (text,) = path.__reduce__()  # a Path pickles as compile(text)
        return text
    raise TypeError(f"{what}: path must be str or varnex.Path")

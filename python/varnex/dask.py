"""XML files as a Dask DataFrame: one partition per file, each made by varnex.table() in a worker.

    import varnex.dask
    books = varnex.dask.read_xml("s3://bucket/catalogs/*.xml.gz", "catalog.book.#",
                                 {"id": "@id", "title": "title", "price": ("price", "float64")})
    books.groupby("lang").size().compute()

Needs Dask and pyarrow: pip install 'dask[dataframe,distributed]' pyarrow.
"""

from __future__ import annotations

import errno
import glob
import mmap
import os
from collections.abc import Mapping, Sequence
from typing import Any

from varnex import _varnex
from varnex._fields import Field, FieldSpec, OnError, OnInvalid, OnRepeat, Plan, read_fields
from varnex._sources import Compression, sniff
from varnex._streaming import iter_batches
from varnex._tables import table

DASK_MISSING = (
    "varnex.dask needs Dask and pyarrow: pip install 'dask[dataframe,distributed]' pyarrow"
)

try:
    import dask
    import dask.dataframe as dd
    import fsspec
    import pandas as pd
    import pyarrow as pa
    from dask.dataframe.utils import clear_known_categories
    from fsspec.implementations.local import LocalFileSystem
except ImportError as error:
    raise ImportError(DASK_MISSING) from error

__all__ = ["read_xml"]

# fsspec's names for the formats varnex decompresses itself, and varnex's.
NATIVE_COMPRESSIONS: dict[str | None, Compression] = {
    "infer": "infer", None: None, "gzip": "gzip", "bz2": "bz2", "xz": "xz", "lzma": "xz",
    "zstd": "zstd",
}


def read_xml(
    paths: str | list[str],
    record_path: str | _varnex.Path,
    fields: Mapping[str, FieldSpec],
    *,
    on_repeat: OnRepeat = "error",
    on_invalid: OnInvalid = "error",
    null_values: Sequence[str] | None = None,
    on_error: OnError = "raise",
    compression: str | None = "infer",
    storage_options: dict[str, Any] | None = None,
    include_path_column: bool | str = False,
    namespaces: Mapping[str, str] | None = None,
    blocksize: int | str | None = None,
) -> dd.DataFrame:
    """Read the records of many XML files into a Dask DataFrame, one partition per file.

    `paths` is a path, a glob pattern or a list of them, in any form fsspec opens
    (`data/*.xml`, `s3://bucket/a.xml.gz` with s3fs installed); gzip, bz2, xz and zstd files
    are recognised by their first bytes and streamed through varnex's reader, never read
    whole into memory (`compression` names the format instead, or `None`; fsspec's other
    codecs are used when named). `record_path`, `fields`
    and the policies are those of [`varnex.table`][varnex.table]: each partition is the
    table of one file, and the frame's columns are the schema the fields give, whatever
    each file holds, so every partition agrees by construction. Text columns are
    `string[pyarrow]`, dictionary columns pandas categories, the others `ArrowDtype` of
    their Arrow type. Every path and type is
    checked here, before any task runs; an error in a partition names its file.
    `include_path_column` adds the file of each record as a column (named `path`, or the
    name given, which no field may have). `namespaces` is the prefix map of
    [`varnex.table`][varnex.table]. A file named without a pattern must exist; a local
    file that shrinks while it is read raises `OSError("FILE: the file changed while it was
    read")`.

    `blocksize` (bytes, or a text such as `"128 MiB"`) cuts each uncompressed file larger
    than it into partitions of about that size, at exact record boundaries: the rows are
    those of one partition per file, in order, whatever the block size. Finding the
    boundaries reads each such file once more, when `read_xml` is called, as tasks on the
    cluster: a cut is put where one of the root's children starts, and each range is checked
    to end there (a cut that falls inside a comment, a CDATA section, a value or a record is
    merged away). Compressed files, and record paths that need a file in one piece (the root
    as the record, modifiers), stay one partition each.
    """
    path_texts = _path_list(paths)
    record = _portable(record_path, "record_path")
    given = read_fields(fields)
    portable = {name: f.with_path(_portable(f.path, f"field {name!r}"))
                for name, f in given.items()}
    policies = {"on_repeat": on_repeat, "on_invalid": on_invalid, "null_values": null_values,
                "on_error": on_error,
                "namespaces": None if namespaces is None else dict(namespaces)}
    schema = Plan(record, portable, **policies).schema()  # names the bad field or type
    path_column = _path_column(include_path_column, portable)
    # The formats varnex reads are decompressed by its reader as each file streams through it
    # (recognised by their first bytes); fsspec's own codecs do the others.
    ours = compression in NATIVE_COMPRESSIONS
    files = fsspec.open_files(path_texts, mode="rb", compression=None if ours else compression,
                              **(storage_options or {}))
    if len(files) == 0:
        raise FileNotFoundError(f"no file matches {paths!r}")
    _check_named_files_exist(path_texts, storage_options)
    read = _ReadFile(record, portable, policies, path_column,
                     NATIVE_COMPRESSIONS.get(compression) if ours else None)
    block = _block_size(blocksize)
    parts: list[Any] = list(files)
    if block is not None:
        plan = Plan(record, portable, **policies)
        parts = [piece for file in files for piece in _pieces(file, block, plan, read)]
    # The columns are Arrow types already: a conversion would be a task per file for nothing.
    with dask.config.set({"dataframe.convert-string": False}):
        # A category's values are known only once its partition is read.
        meta = clear_known_categories(read.frame(schema.empty_table(), ""))
        return dd.from_map(read, parts, meta=meta, label="varnex-read-xml",
                           enforce_metadata=False)


class _ReadFile:
    """One partition: one file's table() as pandas; sent to the workers, so plain data only."""

    def __init__(self, record_path: str | _varnex.Path, fields: dict[str, Field],
                 policies: dict[str, Any],
                 path_column: str | None, compression: Compression) -> None:
        self.record_path = record_path
        self.fields = fields
        self.policies = policies
        self.path_column = path_column
        self.compression = compression

    def __call__(self, file: fsspec.core.OpenFile | _Piece, columns: list[str] | None = None
                 ) -> pd.DataFrame:
        # Dask names the columns a computation needs: only their fields are read.
        fields = self.fields
        if columns is not None:
            fields = {name: f for name, f in fields.items() if name in columns}
            if not fields and self.fields:  # no field wanted, but the rows still count
                first = next(iter(self.fields))
                fields = {first: self.fields[first]}
        try:
            if isinstance(file, _Piece):
                found = table(file.document(), self.record_path, fields, **self.policies)
            elif isinstance(file.fs, LocalFileSystem) and self._plain(file.path):
                found = self._table_of_local_file(file.path, fields)
            else:
                with file as stream:
                    found = iter_batches(stream, self.record_path, fields,
                                         compression=self.compression,
                                         **self.policies).read_all()
        except ValueError as error:  # text that is not UTF-8, an ambiguous path
            where = file.path
            if isinstance(file, _Piece):  # its records and offsets count from the piece
                where += f" (the part from byte {file.start})"
            raise ValueError(f"{where}: {error}") from None
        except OSError as error:  # the file gone, or changed while it was read
            raise _naming_file(error, file.path) from error
        frame = self.frame(found, file.path)
        return frame if columns is None else frame[list(columns)]

    def _plain(self, name: str) -> bool:
        """Whether the local file is read as it is (no compression said or found)."""
        if self.compression != "infer":
            return self.compression is None
        with open(name, "rb") as f:
            return sniff(f.read(6)) is None

    def _table_of_local_file(self, name: str, fields: dict[str, Field]) -> pa.Table:
        """A local file read through a map of its pages: no copy of the document is made."""
        with open(name, "rb") as f:
            try:
                view = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
            except ValueError:  # an empty file cannot be mapped
                return table(b"", self.record_path, fields, **self.policies)
            with view:
                return table(view, self.record_path, fields, **self.policies)

    def frame(self, found: pa.Table, where: str) -> pd.DataFrame:
        frame = found.to_pandas(types_mapper=_dtype)
        if self.path_column is not None:
            frame[self.path_column] = pd.Series([where] * len(frame), dtype="string[pyarrow]")
        return frame


class _Piece:
    """One range of a file's root's children, read as a document of its own: the file's head
    (its prolog and the root's start tag), the range, and the root's end tag."""

    def __init__(self, file: fsspec.core.OpenFile, head: bytes, start: int, end: int,
                 root: bytes, last: bool) -> None:
        self.file = file
        self.path = file.path
        self.head = head
        self.start = start
        self.end = end
        self.root = root
        self.last = last

    def document(self) -> bytes:
        body = _read_range(self.file, self.start, self.end)
        return self.head + body + (b"" if self.last else b"</" + self.root + b">")


def _block_size(blocksize: Any) -> int | None:
    if blocksize is None:
        return None
    if isinstance(blocksize, str):
        blocksize = dask.utils.parse_bytes(blocksize)
    if not isinstance(blocksize, int) or isinstance(blocksize, bool):
        raise TypeError(f"blocksize must be a number of bytes or a text such as '128 MiB', "
                        f"not {type(blocksize).__name__}")
    if blocksize <= 0:
        raise ValueError(f"blocksize must be more than 0 bytes, not {blocksize}")
    return blocksize


def _read_range(file: fsspec.core.OpenFile, start: int, end: int) -> bytes:
    data = file.fs.cat_file(file.path, start=start, end=end)
    if len(data) != end - start:
        raise OSError(f"{file.path}: the file changed while it was read")
    return bytes(data)


# How much of a file is read at first to find its root, and around a cut to find where a
# record starts; doubled until it is enough.
_HEAD = 64 * 1024


def _head(file: fsspec.core.OpenFile, size: int, plan: Plan) -> tuple[bytes, bytes, bytes] | None:
    """The file's prolog and root start tag, the root's name and its records' name; None
    when its records cannot be read range by range."""
    want = _HEAD
    while True:
        data = _read_range(file, 0, min(want, size))
        found = _varnex._cut_root(data, plan.capsule)
        if found is not None:
            content, root, child = found
            return data[:content], root, child
        if want >= size:
            return None
        want *= 4


def _next_cut(file: fsspec.core.OpenFile, at: int, size: int, child: bytes) -> int:
    """The first offset from `at` on where one of the root's children most likely starts (the
    file's size when there is none)."""
    want = _HEAD
    while at < size:
        # Some bytes before `at` too: the markup's end that comes before a cut.
        start = max(at - 256, 0)
        data = _read_range(file, start, min(at + want, size))
        found = _varnex._next_cut(data, at - start, child)
        if found >= 0:
            return start + found
        if at + want >= size:
            return size
        # A tag may run past the window's end: the next window overlaps it.
        at += want - len(child) - 2
        want *= 2
    return size


def _checked_range(file: fsspec.core.OpenFile, head: bytes, start: int, end: int) -> bool:
    """Whether the range [start, end) of the file, read after its head, ends between two of
    the root's children: with its start known good, `end` is then one too."""
    return bool(_varnex._ends_between_children(head + _read_range(file, start, end), len(head)))


def _pieces(file: fsspec.core.OpenFile, block: int, plan: Plan, read: _ReadFile) -> list[Any]:
    """The partitions of one file: itself, or ranges of its root's children cut about every
    `block` bytes at exact record boundaries."""
    size = file.fs.size(file.path)
    if size <= block or (read.compression != "infer" and read.compression is not None):
        return [file]
    with file as stream:
        if sniff(stream.read(6)) is not None:  # compressed: read whole, as one partition
            return [file]
    found = _head(file, size, plan)
    if found is None:
        return [file]
    head, root, child = found
    content = len(head)
    ends = [e for e in dict.fromkeys(
        dask.compute(*[dask.delayed(_next_cut)(file, k * block, size, child)
                       for k in range(1, -(-size // block))])) if content < e < size]
    starts = [content, *ends]
    # Each range checked at once; a range that does not end between records is joined to the
    # next, and the joined range checked again from its start, which is known good.
    good = dask.compute(*[dask.delayed(_checked_range)(file, head, a, b)
                          for a, b in zip(starts, ends, strict=False)])
    bounds = [content]
    k = 0
    while k < len(ends):
        end_at = k
        if not good[k]:
            end_at = k + 1
            while end_at < len(ends) and not _checked_range(file, head, bounds[-1], ends[end_at]):
                end_at += 1
        if end_at < len(ends):
            bounds.append(ends[end_at])
        k = end_at + 1
    bounds.append(size)
    return [_Piece(file, head, a, b, root, b == size) for a, b in zip(bounds, bounds[1:],
                                                                       strict=False)]


def _path_list(paths: Any) -> list[str]:
    if isinstance(paths, str):
        return [paths]
    if isinstance(paths, (list, tuple)) and all(isinstance(path, str) for path in paths):
        return list(paths)
    raise TypeError(
        f"paths must be a path, a glob pattern or a list of them, not {type(paths).__name__}")


def _path_column(include: Any, fields: Mapping[str, Any]) -> str | None:
    """The name of the column of file names, or None; checked before any file is read."""
    if include is True:
        include = "path"
    elif include is False or include is None:
        return None
    if not isinstance(include, str):
        raise TypeError("include_path_column must be True, False or a column name, "
                        f"not {type(include).__name__}")
    if not include:
        raise ValueError("include_path_column: a column name cannot be empty")
    if include in fields:
        raise ValueError(f"include_path_column: a field is already named {include!r}; name "
                         "the column of file names otherwise (include_path_column='file')")
    return include


def _check_named_files_exist(paths: list[str], storage_options: dict[str, Any] | None) -> None:
    """A path that is not a pattern names one file: it must be there now, not at compute()."""
    for path in paths:
        if glob.has_magic(path):
            continue
        fs, name = fsspec.core.url_to_fs(path, **(storage_options or {}))
        if not fs.exists(name):
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), path)


def _naming_file(error: OSError, path: str) -> OSError:
    """The same error, said of the file `path`."""
    if error.errno is not None:
        return OSError(error.errno, error.strerror, path)
    return OSError(f"{path}: {error}")


def _dtype(kind: pa.DataType) -> Any:
    """Text as pandas' own Arrow strings, dictionaries as categories (what pandas groups by);
    every other type as itself, nulls included."""
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        return pd.StringDtype("pyarrow")
    if pa.types.is_dictionary(kind):
        return None
    return pd.ArrowDtype(kind)


def _portable(path: Any, what: str) -> str | _varnex.Path:
    """A path as the workers get it: a str, or a Path, which they compile again from its text
    and its own prefix map (a Path pickles as compile(text, namespaces=...))."""
    if isinstance(path, (str, _varnex.Path)):
        return path
    raise TypeError(f"{what}: path must be str or varnex.Path")

"""Records of a document of any size, a batch at a time: Arrow batches, rows, or Parquet."""

from __future__ import annotations

import codecs
import itertools
import mmap
import os
import queue
import stat
import sys
import threading
from collections.abc import Iterator, Mapping
from typing import TYPE_CHECKING, Any, BinaryIO

from varnex import _varnex
from varnex._fields import FieldSpec, OnError, OnInvalid, OnRepeat, Plan
from varnex._sources import Compression, open_stream, sniff
from varnex._tables import _batch, _pyarrow, _warn_skipped

if TYPE_CHECKING:
    from collections.abc import Sequence

    import pyarrow

Source = Any  # str | bytes-like | os.PathLike | a binary file object | an iterable of pieces

# Batches made by the pass over a mapped file and not yet taken.
MAPPED_BATCHES = 2
# How far ahead of the pass over a mapped file its pages are mapped in, and in steps of how much:
# a page the pass faults in one at a time costs it far more than one of many mapped at once.
# Linux's MADV_POPULATE_READ (kernel 5.14), which the mmap module does not name.
MAP_AHEAD = 64 << 20
MAP_STEP = 8 << 20
POPULATE_READ = 22 if sys.platform.startswith("linux") else None


def _made(source: Source, plan: Plan, *, as_rows: bool, limits: tuple[int, int],
          compression: Compression) -> Iterator[Any]:
    """What the native stream makes (rows, or batches as (rows, columns)), piece by piece.
    The source is looked at now; it is read as the iterator is advanced."""
    if not as_rows and isinstance(source, os.PathLike) and compression in ("infer", None):
        mapped = _mapped(source, compression)
        if mapped is not None:
            return _mapped_batches(mapped, source, plan, limits, compression)
    return _pieces_made(source, plan, as_rows=as_rows, limits=limits, compression=compression)


def _pieces_made(source: Source, plan: Plan, *, as_rows: bool, limits: tuple[int, int],
                 compression: Compression) -> Iterator[Any]:
    stream = open_stream(source, compression)
    text = stream.text
    if not text:
        stream.pieces, text = _declared(stream.pieces)
    native = _varnex._stream_open(plan.capsule, as_rows, text, limits)
    return _read(stream, native)


def _mapped(path: os.PathLike[Any], compression: Compression) -> mmap.mmap | None:
    """A read-only map of the file `path` names, when its bytes are the document as they are:
    a regular file, not empty, whose first bytes announce no compression. None otherwise (a
    pipe, a device, a compressed or empty file: those are read a piece at a time)."""
    try:
        with open(path, "rb") as file:
            if not stat.S_ISREG(os.fstat(file.fileno()).st_mode):
                return None
            if compression == "infer" and sniff(file.read(6)) is not None:
                return None
            return mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ)
    except (OSError, ValueError):
        return None


class _Stopped(Exception):
    """Raised into the pass over a map when its batches are no longer wanted."""


class _Ended:
    __slots__ = ("result",)

    def __init__(self, result: Any) -> None:
        self.result = result


def _mapped_batches(mapped: mmap.mmap, path: os.PathLike[Any], plan: Plan,
                    limits: tuple[int, int], compression: Compression) -> Iterator[Any]:
    """The batches of a mapped file, made by one pass over it on a thread of its own exactly as
    table() makes them, each handed over as it closes (a bounded queue between): no copy of the
    bytes, and no cut to look for. The pages the pass has left behind are given back as it goes,
    so memory stays bounded however large the file. A document that is not read in place (one
    in another encoding) is streamed a piece at a time instead."""
    waiting: queue.Queue[Any] = queue.Queue(MAPPED_BATCHES)
    stopped = threading.Event()
    dontneed = getattr(mmap, "MADV_DONTNEED", None)
    populate = POPULATE_READ
    dropped = populated = 0

    def map_ahead() -> None:
        # On this thread, which has nothing else to do while the pass runs; stops early when a
        # batch is waiting.
        nonlocal populate, populated
        target = min(len(mapped), dropped + MAP_AHEAD)
        while populate is not None and populated < target and waiting.empty():
            step = min(MAP_STEP, target - populated)
            try:
                mapped.madvise(populate, populated, step)
            except OSError:  # an older kernel, or the file shrank: the pass maps its own pages
                populate = None
            populated += step

    main = threading.main_thread()

    def put(item: Any) -> None:
        # Also given up once the interpreter is exiting: it waits for the pass to end.
        while True:
            if stopped.is_set() or not main.is_alive():
                raise _Stopped
            try:
                waiting.put(item, timeout=0.05)
                return
            except queue.Full:
                continue

    def on_batch(made: list[Any], reached: int) -> None:
        nonlocal dropped, dontneed
        for batch in made:
            put(batch)
        end = reached - reached % mmap.PAGESIZE
        if dontneed is not None and end > dropped:
            try:
                mapped.madvise(dontneed, dropped, end - dropped)
            except OSError:  # the pages stay: the pass is not the worse for it
                dontneed = None
            dropped = end

    def run() -> None:
        try:
            put(_Ended(_varnex._table_stream(mapped, plan.capsule, limits, on_batch)))
        except _Stopped:
            pass
        except BaseException as error:  # handed to the reader, raised there
            try:
                put(_Failure(error))
            except _Stopped:
                pass

    worker = threading.Thread(target=run, name="varnex-pass", daemon=True)
    worker.start()
    try:
        while True:
            map_ahead()
            item = waiting.get()
            if isinstance(item, _Failure):
                raise item.error
            if isinstance(item, _Ended):
                break
            yield item
    finally:
        # Left early (or interrupted): the pass stops at its next batch, which may be long in
        # coming; the caller does not wait for it, and the map closes once the pass lets go.
        stopped.set()
        worker.join(0.1)
        if not worker.is_alive():
            mapped.close()
    if item.result is None:
        yield from _pieces_made(path, plan, as_rows=False, limits=limits,
                                compression=compression)
        return
    skipped, first = item.result
    _warn_skipped(skipped, first, stacklevel=4)


class _Failure:
    __slots__ = ("error",)

    def __init__(self, error: BaseException) -> None:
        self.error = error


def _declared(pieces: Iterator[Any]) -> tuple[Iterator[Any], bool]:
    """The pieces as the core reads them, and whether they are UTF-8 text now: a document that
    declares an encoding only Python's codecs know is decoded with that codec here, as a whole
    one is; one that declares an encoding nobody knows must be UTF-8."""
    taken: list[Any] = []
    head = bytearray()
    found = None
    look_at = 1  # the first bytes are looked at again only once they have doubled
    for piece in pieces:
        taken.append(piece)
        head += piece
        if len(head) >= look_at:
            look_at = 2 * len(head)
            found = _varnex._declared_codec(head, False)
            if found is not None:
                break
    label, how, error = found if found is not None else _varnex._declared_codec(head, True)
    rest = itertools.chain(taken, pieces)
    if how == "codec":
        return _decoded(rest, label), True
    if how == "unknown" and error is not None:
        return _utf8_checked(rest, error), False
    return rest, False


def _decoded(pieces: Iterator[Any], label: str) -> Iterator[bytes]:
    # What the codec cannot read stays as bytes that are not UTF-8, as in a whole document.
    decoder = codecs.getincrementaldecoder(label)("surrogateescape")
    for piece in pieces:
        if text := decoder.decode(piece):
            yield text.encode("utf-8", "surrogatepass")
    if text := decoder.decode(b"", True):
        yield text.encode("utf-8", "surrogatepass")


def _utf8_checked(pieces: Iterator[Any], error: str) -> Iterator[Any]:
    checker = codecs.getincrementaldecoder("utf-8")()
    try:
        for piece in pieces:
            checker.decode(piece)
            yield piece
        checker.decode(b"", True)
    except UnicodeDecodeError:
        raise ValueError(error) from None


def _read(stream: Any, native: Any) -> Iterator[Any]:
    # With a reading thread, it takes each piece (decodes it, and follows its markup while it is
    # ahead of this one: else this one follows it, once a window has come) while this one
    # answers the records before; otherwise this thread does both.
    if stream.threaded:
        pieces = stream.ahead(
            lambda piece, ahead: _varnex._stream_take(native, piece, ahead))
    else:
        pieces = iter(stream.pieces)
    try:
        while True:
            try:
                piece = next(pieces)
            except StopIteration:
                break
            except Exception:
                # The input failed (a truncated or corrupt file): what it held is given first.
                made, _, _ = _varnex._stream_feed(native, None, False, True)
                yield from made
                raise
            made, _, _ = _varnex._stream_feed(native, piece, False)
            yield from made
        made, skipped, first = _varnex._stream_feed(native, b"", True)
        yield from made
        _warn_skipped(skipped, first, stacklevel=4)
    finally:
        stream.close()


def _limits(batch_rows: int, batch_bytes: int) -> tuple[int, int]:
    for name, value in (("batch_rows", batch_rows), ("batch_bytes", batch_bytes)):
        if not isinstance(value, int) or isinstance(value, bool):
            raise TypeError(f"{name} must be int")
        if value < 1:
            raise ValueError(f"{name} must be at least 1")
    return batch_rows, batch_bytes


def iter_batches(
    source: Source,
    record_path: str | _varnex.Path,
    fields: Mapping[str, FieldSpec],
    *,
    batch_rows: int = 65_536,
    batch_bytes: int = 64 << 20,
    compression: Compression = "infer",
    on_repeat: OnRepeat = "error",
    on_invalid: OnInvalid = "error",
    null_values: Sequence[str] | None = None,
    on_error: OnError = "raise",
    namespaces: Mapping[str, str] | None = None,
) -> pyarrow.RecordBatchReader:
    """The records of `source` as Arrow record batches, read a piece at a time.

    `source` is XML text (`str`), XML bytes (any bytes-like object), a file path
    (`pathlib.Path` or any `os.PathLike`), a binary file object such as `sys.stdin.buffer`, or
    an iterable of bytes-like pieces. Gzip (also of several members), bz2, xz and zstd input is
    recognised by its first bytes and decompressed on a thread of its own while the records
    are read; `compression=` names the format instead, or `None` reads the bytes as they are.

    Every batch has the schema [`table`][varnex.table] gives for the same `record_path`,
    `fields`, policies and `namespaces` (the prefix map, as for [`table`][varnex.table]),
    known before the first batch; together they hold exactly the rows
    of `table()` over the whole document. A batch closes at `batch_rows` records or once its
    records' markup reaches `batch_bytes`; a record is never split, whatever its size. Memory
    stays bounded by a batch and a few pieces of input, however large the document.

    Raises:
        ValueError: as [`table`][varnex.table] does (with the record's place in the whole
            stream), for corrupt or truncated compressed input (naming the compressed byte
            reached), and for input that ends inside a record. Batches given before an error
            stay valid.
    """
    pa = _pyarrow()
    limits = _limits(batch_rows, batch_bytes)
    plan = Plan(record_path, fields, on_repeat=on_repeat, on_invalid=on_invalid,
                null_values=null_values, on_error=on_error, namespaces=namespaces)
    schema = plan.schema()
    made = _made(source, plan, as_rows=False, limits=limits, compression=compression)
    batches = (_batch(pa, schema, rows, columns) for rows, columns in made)
    return pa.RecordBatchReader.from_batches(schema, batches)


def iter_records(
    source: Source,
    record_path: str | _varnex.Path,
    fields: Mapping[str, FieldSpec],
    *,
    compression: Compression = "infer",
    on_repeat: OnRepeat = "error",
    on_invalid: OnInvalid = "error",
    null_values: Sequence[str] | None = None,
    on_error: OnError = "raise",
    namespaces: Mapping[str, str] | None = None,
) -> Iterator[dict[str, Any]]:
    """The records of `source`, one `dict` at a time, as [`records`][varnex.records] gives them.

    Reads the same sources as [`iter_batches`][varnex.iter_batches], in bounded memory, and
    needs no pyarrow. The records are read as the iterator is advanced.
    """
    plan = Plan(record_path, fields, on_repeat=on_repeat, on_invalid=on_invalid,
                null_values=null_values, on_error=on_error, namespaces=namespaces)
    return _made(source, plan, as_rows=True, limits=(1, 1), compression=compression)


def to_parquet(
    source: Source,
    dest: str | os.PathLike[str] | BinaryIO,
    record_path: str | _varnex.Path,
    fields: Mapping[str, FieldSpec],
    *,
    row_group_rows: int = 65_536,
    input_compression: Compression = "infer",
    on_repeat: OnRepeat = "error",
    on_invalid: OnInvalid = "error",
    null_values: Sequence[str] | None = None,
    on_error: OnError = "raise",
    namespaces: Mapping[str, str] | None = None,
    **parquet_options: Any,
) -> int:
    """Writes the records of `source` to the Parquet file `dest`, a row group at a time.

    Reads the sources [`iter_batches`][varnex.iter_batches] reads (`input_compression` is its
    `compression`) and writes with `pyarrow.parquet.ParquetWriter`, to which
    `parquet_options` go (`compression="zstd"`, `use_dictionary=...`). Memory stays bounded
    by one row group of `row_group_rows` records. Returns the number of records written.
    """
    pa = _pyarrow()
    import pyarrow.parquet as pq

    reader = iter_batches(source, record_path, fields, batch_rows=row_group_rows,
                          compression=input_compression, on_repeat=on_repeat,
                          on_invalid=on_invalid, null_values=null_values, on_error=on_error,
                          namespaces=namespaces)
    written = 0
    where = os.fspath(dest) if isinstance(dest, os.PathLike) else dest
    with pq.ParquetWriter(where, reader.schema, **parquet_options) as writer:
        for batch in reader:
            writer.write_table(pa.Table.from_batches([batch]), row_group_size=row_group_rows)
            written += batch.num_rows
    return written

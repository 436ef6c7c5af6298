"""Documents of any size as a stream of byte pieces: buffers, files, pipes, file objects and
iterables, decompressed (gzip, bz2, xz, zstd) when their first bytes say so."""

from __future__ import annotations

import bz2
import lzma
import os
import queue
import threading
import zlib
from collections.abc import Callable, Iterable, Iterator
from typing import Any, Literal

Compression = Literal["infer", "gzip", "bz2", "xz", "zstd"] | None

# Pieces read from a file, made by a decompressor or cut from a buffer in memory: small enough
# that the first records are answered soon after reading begins and the last soon after it ends.
PIECE = 1 << 20
# A buffer in memory larger than this is followed on a thread of its own.
THREADED_BUFFER = 8 << 20
# Decompressed pieces waiting between the thread that makes them and the one that reads them.
QUEUE_PIECES = 8
# Input handed to a decompressor whose output cannot be bounded per call.
ZSTD_INPUT = 64 << 10

ZSTD_MISSING = ("zstd input needs the zstandard package (or Python 3.14's compression.zstd): "
                "pip install 'varnex[zstd]'")
COMPRESSIONS = ("infer", "gzip", "bz2", "xz", "zstd", None)

_MAGIC = (
    (b"\x1f\x8b", "gzip"),
    (b"BZh", "bz2"),
    (b"\xfd7zXZ\x00", "xz"),
    (b"\x28\xb5\x2f\xfd", "zstd"),
)


def sniff(head: bytes) -> str | None:
    """The compression the first bytes of a stream announce, or None."""
    for magic, name in _MAGIC:
        if head.startswith(magic) and (name != "bz2" or head[3:4].isdigit()):
            return name
    return None


class Stream:
    """The pieces of one document, whether they are UTF-8 text whatever they declare, and
    whether they are better made on a thread of their own (reading, decompressing)."""

    def __init__(self, pieces: Iterator[Any], text: bool, close: Callable[[], None],
                 threaded: bool = False) -> None:
        self.pieces = pieces
        self.text = text
        self.threaded = threaded
        self._close = close
        self._stop: Callable[[], None] | None = None

    def ahead(self, take: Callable[[Any, bool], None]) -> Iterator[None]:
        """Each piece made and handed to `take` on a thread of its own (which gives up the
        interpreter lock to read, decompress and take), a bounded queue ahead of the reader of
        the tokens returned, one per piece taken. `take(piece, ahead)`: `ahead` when tokens are
        waiting, so that this thread has time to spare."""
        waiting: queue.Queue[Any] = queue.Queue(QUEUE_PIECES)

        def taken() -> Iterator[None]:
            for piece in self.pieces:
                take(piece, waiting.qsize() > 0)
                yield None

        tokens, self._stop = _ahead(taken(), waiting)
        return tokens

    def close(self) -> None:
        if self._stop is not None:
            self._stop()
        self._close()


def open_stream(source: Any, compression: Compression = "infer") -> Stream:
    """The pieces of `source`: a str (XML text), a bytes-like object, an os.PathLike, a binary
    file object, or an iterable of bytes-like pieces."""
    if compression not in COMPRESSIONS:
        raise ValueError(f"compression must be one of {', '.join(map(repr, COMPRESSIONS))}, "
                         f"not {compression!r}")
    if isinstance(source, str):
        if compression not in ("infer", None):
            raise TypeError("a str is XML text: give compressed input as bytes, a file or a path")
        return Stream(_buffer_pieces(memoryview(source.encode())), True, _nothing)
    if isinstance(source, os.PathLike):
        os.stat(source)  # a missing file is told now, not at the first batch
        return _decompressed(_path_pieces(source), compression, threaded=True, close=_nothing)
    if callable(getattr(source, "read", None)):
        return _decompressed(_file_pieces(source), compression, threaded=True, close=_nothing)
    try:
        view = memoryview(source)
    except TypeError:
        view = None
    if view is not None:
        view = view.cast("B") if view.c_contiguous else memoryview(view.tobytes())
        # A thread of its own pays when there is something to decompress, or much to follow.
        threaded = (len(view) > THREADED_BUFFER or sniff(bytes(view[:6])) is not None
                    or compression not in ("infer", None))
        return _decompressed(_buffer_pieces(view), compression, threaded=threaded,
                             close=_nothing)
    if isinstance(source, Iterable) and not isinstance(source, (dict, set, frozenset)):
        return _decompressed(_iterable_pieces(iter(source)), compression, threaded=False,
                             close=_nothing)
    raise TypeError("source must be str, a bytes-like object, an os.PathLike, a binary file "
                    f"object or an iterable of bytes-like pieces, not {type(source).__name__}")


def _nothing() -> None:
    pass


def _buffer_pieces(view: memoryview) -> Iterator[memoryview]:
    for start in range(0, len(view), PIECE):
        yield view[start:start + PIECE]


def _path_pieces(path: os.PathLike[Any]) -> Iterator[bytes]:
    with open(path, "rb") as file:
        yield from _file_pieces(file)


def _file_pieces(file: Any) -> Iterator[bytes]:
    while True:
        piece = file.read(PIECE)
        if not piece:
            return
        if isinstance(piece, str):
            raise TypeError("the file gives str: open it in binary mode ('rb')")
        yield piece


def _iterable_pieces(pieces: Iterator[Any]) -> Iterator[Any]:
    for i, piece in enumerate(pieces):
        if isinstance(piece, str):
            raise TypeError(f"piece {i} of the source is str: give bytes-like pieces")
        try:
            memoryview(piece)
        except TypeError:
            raise TypeError(f"piece {i} of the source is {type(piece).__name__}, "
                            "not a bytes-like object") from None
        yield piece


def _decompressed(pieces: Iterator[Any], compression: Compression, *, threaded: bool,
                  close: Callable[[], None]) -> Stream:
    return Stream(_inflated(pieces, compression), False, close, threaded)


def _inflated(pieces: Iterator[Any], compression: Compression) -> Iterator[Any]:
    """The pieces, decompressed as `compression` says or as their first bytes announce."""
    taken: list[Any] = []
    head = b""
    if compression == "infer":
        for piece in pieces:
            taken.append(piece)
            head += bytes(memoryview(piece)[:6])
            if len(head) >= 6:
                break
    kind = sniff(head) if compression == "infer" else compression
    if kind is None:
        yield from taken
        yield from pieces
        return
    decoder = _Decoder(kind)
    for piece in taken:
        yield from decoder.feed(piece)
    for piece in pieces:
        yield from decoder.feed(piece)
    decoder.finish()


class _Decoder:
    """One compressed stream of concatenated members (frames, streams) into pieces of at most
    PIECE bytes, and where it stands."""

    def __init__(self, kind: str) -> None:
        self.kind = kind
        self.new, self.errors = _factory(kind)
        self.d = self.new()
        self.fed = 0  # compressed bytes taken
        self.made = 0  # bytes given
        self.open = False  # inside a member

    def feed(self, data: Any) -> Iterator[bytes]:
        data = bytes(data)
        self.fed += len(data)
        if self.kind == "zstd":
            for start in range(0, len(data), ZSTD_INPUT):
                yield from self._step(data[start:start + ZSTD_INPUT])
        else:
            yield from self._step(data)

    def _step(self, data: bytes) -> Iterator[bytes]:
        d = self.d
        while True:
            if data:
                self.open = True
            try:
                out = d.decompress(data, PIECE) if self.kind != "zstd" else d.decompress(data)
            except self.errors as error:
                raise ValueError(f"the {self.kind} data is corrupt, at or before compressed "
                                 f"byte {self.fed} ({self.made} bytes decompressed): "
                                 f"{error}") from None
            if out:
                self.made += len(out)
                yield out
            if d.eof:
                # Another member may follow.
                self.open = False
                data = d.unused_data
                self.d = d = self.new()
                if not data:
                    return
                continue
            if self.kind == "gzip":
                # A full piece may leave output inside zlib with no input left over.
                data = d.unconsumed_tail
                if not data and len(out) < PIECE:
                    return
            elif self.kind == "zstd" or d.needs_input:
                return
            else:
                data = b""

    def finish(self) -> None:
        if self.open:
            raise ValueError(f"the {self.kind} data ends early: truncated after compressed "
                             f"byte {self.fed} ({self.made} bytes decompressed)")


# What every decompressor raises for bad data, besides its own error class.
_DATA_ERRORS: tuple[type[BaseException], ...] = (OSError, EOFError, ValueError, zlib.error)


def _factory(kind: str) -> tuple[Callable[[], Any], tuple[type[BaseException], ...]]:
    """How to make a decompressor for one member of `kind`, and the errors it raises for
    bad data."""
    if kind == "gzip":
        inflate = gzip_inflater()
        return (lambda: inflate.decompressobj(16 + zlib.MAX_WBITS)), \
            (*_DATA_ERRORS, inflate.error)
    if kind == "bz2":
        return bz2.BZ2Decompressor, _DATA_ERRORS
    if kind == "xz":
        return lzma.LZMADecompressor, _DATA_ERRORS
    try:
        from compression import zstd  # type: ignore[import-not-found, unused-ignore]

        errors = (*_DATA_ERRORS, zstd.ZstdError)
        return zstd.ZstdDecompressor, errors  # type: ignore[return-value, unused-ignore]
    except ImportError:
        pass
    try:
        import zstandard  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        raise ImportError(ZSTD_MISSING) from None
    return (lambda: zstandard.ZstdDecompressor().decompressobj()), \
        (*_DATA_ERRORS, zstandard.ZstdError)


def gzip_inflater() -> Any:
    """The module that inflates gzip here: ISA-L's (the isal package, `varnex[isal]`), which
    does it in about a third of zlib's time on x86-64 and ARM, or else the standard zlib."""
    try:
        from isal import isal_zlib  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        return zlib
    return isal_zlib


_END = object()


def _ahead(pieces: Iterator[Any], waiting: queue.Queue[Any]) -> tuple[Iterator[Any],
                                                                     Callable[[], None]]:
    """The items made on a thread of their own, `waiting` (a bounded queue) ahead of the reader;
    and how to stop that thread."""
    stopped = threading.Event()

    def put(item: Any) -> bool:
        while not stopped.is_set():
            try:
                waiting.put(item, timeout=0.05)
                return True
            except queue.Full:
                continue
        return False

    def make() -> None:
        try:
            for piece in pieces:
                if not put(piece):
                    return
            put(_END)
        except BaseException as error:  # handed to the reader, raised there
            put(_Failure(error))

    worker = threading.Thread(target=make, name="varnex-reader", daemon=True)

    def take() -> Iterator[Any]:
        worker.start()
        while True:
            item = waiting.get()
            if item is _END:
                return
            if isinstance(item, _Failure):
                raise item.error
            yield item

    def stop() -> None:
        stopped.set()
        if worker.is_alive():
            worker.join(1.0)

    return take(), stop


class _Failure:
    __slots__ = ("error",)

    def __init__(self, error: BaseException) -> None:
        self.error = error

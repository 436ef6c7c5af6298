"""`varnex --records`: records turned into CSV, TSV, JSON lines or Parquet rows as the input is
read, from files, compressed files or standard input, in bounded memory."""

from __future__ import annotations

import csv
import datetime
import decimal
import io
import json
import sys
import time
from collections.abc import Iterator, Sequence
from typing import Any, BinaryIO

import varnex
from varnex._cli_output import say
from varnex._fields import Plan

# The progress line is redrawn at most this often.
PROGRESS_SECONDS = 0.5


def parse_fields(specs: Sequence[str]) -> dict[str, Any]:
    """-f NAME=PATH or NAME:TYPE=PATH, in order (ValueError names the bad one)."""
    fields: dict[str, Any] = {}
    for spec in specs:
        name, equals, path = spec.partition("=")
        name, colon, kind = name.partition(":")
        if not equals or not name or not path or (colon and not kind):
            raise ValueError(f"-f {spec}: give NAME=PATH or NAME:TYPE=PATH")
        if name in fields:
            raise ValueError(f"-f {spec}: the field {name} is given twice")
        fields[name] = (path, kind) if colon else path
    return fields


class Counted(io.RawIOBase):
    """A binary file that counts the bytes read from it."""

    def __init__(self, file: BinaryIO) -> None:
        self.file = file
        self.count = 0

    def readable(self) -> bool:
        return True

    def read(self, size: int = -1) -> bytes:
        data = self.file.read(size)
        self.count += len(data)
        return data


class Progress:
    """Bytes read, records and MB/s on one line of standard error, when it is a terminal."""

    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled and sys.stderr is not None and sys.stderr.isatty()
        self.start = time.monotonic()
        self.shown = 0.0
        self.done_bytes = 0  # of the files finished
        self.records = 0

    def tick(self, source: Counted, records: int) -> None:
        self.records += records
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self.shown >= PROGRESS_SECONDS:
            self.shown = now
            self._draw(self.done_bytes + source.count, now)

    def _draw(self, read: int, now: float) -> None:
        rate = read / max(now - self.start, 1e-9) / 1e6
        with_errors = sys.stderr
        try:
            with_errors.write(f"\r{read / 1e6:,.1f} MB read, {self.records:,} records, "
                              f"{rate:,.1f} MB/s ")
            with_errors.flush()
        except (OSError, ValueError):
            self.enabled = False

    def file_done(self, source: Counted) -> None:
        self.done_bytes += source.count

    def end(self) -> None:
        if self.enabled:
            self._draw(self.done_bytes, time.monotonic())
            with_errors = sys.stderr
            with_errors.write("\n")


def _text(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, str):
        return value
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, list):
        return json.dumps([_json(v) for v in value], ensure_ascii=False)
    if isinstance(value, (datetime.date, datetime.datetime)):
        return value.isoformat()
    return str(value)


def _json(value: Any) -> Any:
    if isinstance(value, decimal.Decimal):
        return float(value) if value.is_finite() else str(value)
    if isinstance(value, (datetime.date, datetime.datetime)):
        return value.isoformat()
    if isinstance(value, list):
        return [_json(v) for v in value]
    return value


_TSV_ESCAPES = str.maketrans({"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r"})


class Rows:
    """Rows written as CSV, TSV or JSON lines to a binary output."""

    def __init__(self, out: BinaryIO, kind: str, names: list[str]) -> None:
        self.text = io.TextIOWrapper(out, encoding="utf-8", newline="", write_through=False)
        self.kind = kind
        self.names = names
        self.csv = csv.writer(self.text, lineterminator="\n") if kind == "csv" else None
        if kind == "csv":
            self.csv.writerow(names)  # type: ignore[union-attr]
        elif kind == "tsv":
            self.text.write("\t".join(n.translate(_TSV_ESCAPES) for n in names) + "\n")

    def write(self, row: dict[str, Any]) -> None:
        if self.kind == "jsonl":
            self.text.write(json.dumps({k: _json(v) for k, v in row.items()},
                                       ensure_ascii=False) + "\n")
        elif self.csv is not None:
            self.csv.writerow([_text(row[n]) for n in self.names])
        else:
            self.text.write("\t".join(_text(row[n]).translate(_TSV_ESCAPES)
                                      for n in self.names) + "\n")

    def close(self) -> None:
        self.text.flush()
        self.text.detach()


def _batches_of(source: Counted, record_path: str, fields: dict[str, Any],
                progress: Progress) -> Iterator[Any]:
    for batch in varnex.iter_batches(source, record_path, fields):
        progress.tick(source, batch.num_rows)
        yield batch


def run_records(record_path: str, specs: Sequence[str], files: Sequence[str], kind: str,
                parquet: str | None, show_progress: bool) -> int:
    """Writes the records of every file; the exit status (0 some record, 1 none, 2 errors)."""
    try:
        fields = parse_fields(specs)
        if not fields:
            raise ValueError("--records needs at least one -f NAME=PATH")
        Plan(record_path, fields)  # the paths and types, checked before any file is read
    except (ValueError, TypeError) as error:
        say(f"varnex: {error}")
        return 2
    progress = Progress(show_progress)
    writer: Any = None
    rows: Rows | None = None
    found = 0
    failed = False
    try:
        if parquet is None:
            rows = Rows(sys.stdout.buffer, kind, list(fields))
        for name in files:
            shown = "(standard input)" if name == "-" else name
            try:
                with _opened(name) as file:
                    source = Counted(file)
                    if parquet is not None:
                        for batch in _batches_of(source, record_path, fields, progress):
                            if writer is None:
                                writer = _parquet_writer(parquet, batch.schema)
                            writer.write_batch(batch)
                            found += batch.num_rows
                    else:
                        assert rows is not None
                        count = 0
                        for row in varnex.iter_records(source, record_path, fields):
                            rows.write(row)
                            count += 1
                            if count % 4096 == 0:
                                progress.tick(source, 4096)
                        progress.tick(source, count % 4096)
                        found += count
                    progress.file_done(source)
            except OSError as error:
                if isinstance(error, BrokenPipeError):
                    raise
                failed = True
                say(f"varnex: {shown}: {error.strerror or error}")
            except ValueError as error:
                failed = True
                say(f"varnex: {shown}: {error}")
        if parquet is not None and writer is None and not failed:
            # No record anywhere: still a file, with the schema the fields give.
            schema = varnex.iter_batches(b"", record_path, fields).schema
            writer = _parquet_writer(parquet, schema)
    finally:
        if rows is not None:
            rows.close()
        if writer is not None:
            writer.close()
        progress.end()
    if failed:
        return 2
    return 0 if found else 1


def _opened(name: str) -> Any:
    import contextlib

    if name == "-":
        if sys.stdin is None:
            raise OSError("standard input is closed")
        return contextlib.nullcontext(sys.stdin.buffer)
    return open(name, "rb")


def _parquet_writer(dest: str, schema: Any) -> Any:
    import pyarrow.parquet as pq

    return pq.ParquetWriter(dest, schema)

"""Records as rows or as an Arrow table: the values are read natively; pyarrow only wraps them."""

from __future__ import annotations

import warnings
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

from varnex import _varnex
from varnex._fields import (
    FieldSpec,
    OnError,
    OnInvalid,
    OnRepeat,
    Plan,
    SkippedRecordsWarning,
)

if TYPE_CHECKING:
    from collections.abc import Sequence
    from os import PathLike

    import pyarrow
    from typing_extensions import Buffer

ARROW_MISSING = "varnex.table() needs pyarrow: pip install pyarrow"


def _pyarrow() -> Any:
    try:
        import pyarrow
    except ImportError as error:
        raise ImportError(ARROW_MISSING) from error
    return pyarrow


def records(
    data: str | bytes | Buffer | PathLike[str] | PathLike[bytes],
    record_path: str | _varnex.Path,
    fields: Mapping[str, FieldSpec],
    *,
    on_repeat: OnRepeat = "error",
    on_invalid: OnInvalid = "error",
    null_values: Sequence[str] | None = None,
    on_error: OnError = "raise",
    namespaces: Mapping[str, str] | None = None,
    threads: int = 1,
) -> list[dict[str, Any]]:
    """One `dict` per record that `record_path` selects in `data`, with a key per field.

    `fields` maps each name to a path read inside the record (`"@id"`, `"title"`,
    `"tags.tag.#"`), a `(path, type)` pair or a [`Field`][varnex.Field]. A field whose path
    selects each match (`.#` at its end or inside, `#(...)#`, `**`) is always a list (`[]`
    when the record holds no match); any other field is its one value, or `None`. Values are
    `str` unless the field names a type: then `int`, `float`, `bool`, `decimal.Decimal`,
    `datetime.date` or `datetime.datetime`.

    `on_repeat` says what a field of one value does in a record where it matches several
    times: `"error"` raises, `"first"` and `"last"` keep that match. `on_invalid` says what a
    text that does not fit the field's type does: `"error"` raises, `"null"` gives `None`.
    `null_values` are texts that mean no value (by default, the empty text in a typed field).
    `on_error="skip"` leaves out a malformed record (one the document ends inside, a text
    that cannot be decoded) and warns once at the end with a
    [`SkippedRecordsWarning`][varnex.SkippedRecordsWarning]. Each [`Field`][varnex.Field]
    may set its own `on_repeat`, `on_invalid` and `null_values`. `namespaces` maps the
    prefixes written in the record path and the field paths to URIs, as in
    [`get`][varnex.get]; a field sees the declarations made around its record.

    `threads` reads a large document on several cores (`0`: one per core): the records are
    found with the root's children cut among threads (as [`get`][varnex.get] does) and each
    batch's fields answered on that many; the rows are built in order on the calling thread,
    so they are exactly one thread's.

    Raises:
        ValueError: a path does not compile, or a record breaks a policy; the message names
            the field, the record (counted from 0), its byte offset and its line.
        TypeError: `fields` is not a mapping of names to fields.
    """
    plan = Plan(record_path, fields, on_repeat=on_repeat, on_invalid=on_invalid,
                null_values=null_values, on_error=on_error, namespaces=namespaces)
    rows, skipped, first = _varnex._records(data, plan.capsule, threads=threads)
    _warn_skipped(skipped, first)
    return rows  # type: ignore[no-any-return]


def table(
    data: str | bytes | Buffer | PathLike[str] | PathLike[bytes],
    record_path: str | _varnex.Path,
    fields: Mapping[str, FieldSpec],
    *,
    on_repeat: OnRepeat = "error",
    on_invalid: OnInvalid = "error",
    null_values: Sequence[str] | None = None,
    on_error: OnError = "raise",
    namespaces: Mapping[str, str] | None = None,
    threads: int = 1,
) -> pyarrow.Table:
    """The records `record_path` selects in `data` as a pyarrow.Table, one column per field.

    Takes the same arguments as [`records`][varnex.records], and its schema comes from them
    alone: a field whose path selects each match is a list column (an empty list where a
    record holds none), any other field a column of its type (`string` unless it names one),
    null where a record holds no match, in every document alike. Values are converted in the
    native pass, with no Python object per value. `table(...).to_pandas()` gives a pandas
    DataFrame, `polars.from_arrow(...)` a polars one.
    """
    pa = _pyarrow()
    plan = Plan(record_path, fields, on_repeat=on_repeat, on_invalid=on_invalid,
                null_values=null_values, on_error=on_error, namespaces=namespaces)
    batches, skipped, first = _varnex._table(data, plan.capsule, threads=threads)
    _warn_skipped(skipped, first)
    schema = plan.schema()
    return pa.Table.from_batches([_batch(pa, schema, *b) for b in batches], schema=schema)


def _warn_skipped(count: int, first: str | None, stacklevel: int = 3) -> None:
    if count:
        warnings.warn(f"{count} malformed record{'s' if count > 1 else ''} left out "
                      f"(on_error='skip'); the first: {first}", SkippedRecordsWarning,
                      stacklevel=stacklevel)


def _batch(pa: Any, schema: Any, rows: int, columns: list[Any]) -> Any:
    if not columns:  # no fields: only the number of rows
        return pa.RecordBatch.from_struct_array(pa.array([{}] * rows, pa.struct([])))
    return pa.RecordBatch.from_arrays(
        [_array(pa, kind, column) for kind, column in zip(schema.types, columns, strict=True)],
        schema=schema)


def _array(pa: Any, kind: Any, column: Any) -> Any:
    """One Arrow array over a ColumnArrays' native buffers, without copying them."""
    held = [None if b is None else pa.py_buffer(b) for b in column.buffers]
    if pa.types.is_dictionary(kind):
        indices = pa.Array.from_buffers(kind.index_type, column.length, held, column.nulls)
        return pa.DictionaryArray.from_arrays(indices,
                                              _array(pa, kind.value_type, column.dictionary))
    kids = [_array(pa, kind.value_type, child) for child in column.children]
    return pa.Array.from_buffers(kind, column.length, held, column.nulls, children=kids or None)

"""Records as an Arrow table: the columns are built natively; pyarrow only wraps them."""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

from varnex import _varnex

if TYPE_CHECKING:
    import pyarrow
    from typing_extensions import Buffer

ARROW_MISSING = "varnex.table() needs pyarrow: pip install 'varnex[arrow]'"


def _pyarrow() -> Any:
    try:
        import pyarrow
    except ImportError as error:
        raise ImportError(ARROW_MISSING) from error
    return pyarrow


def table(
    data: str | bytes | Buffer,
    record_path: str | _varnex.Path,
    fields: Mapping[str, str | _varnex.Path],
) -> pyarrow.Table:
    """The records `record_path` selects in `data` as a pyarrow.Table, one column per field.

    Takes the same arguments as records(). A field is a string column, or a list-of-string
    column when its path selects each of several matches (`tags.tag.#.#text`, `**.tag`,
    `a#(...)#`) or when some record matched it more than once; a field that matches nothing
    is null. `table(...).to_pandas()` gives a pandas DataFrame, `polars.from_arrow(...)` a
    polars one.
    """
    pa = _pyarrow()
    raw = _varnex.table_raw(data, record_path, fields)
    if not raw:  # no fields: no columns, but one row per record, as records() gives
        rows = len(_varnex.records(data, record_path, {}))
        return pa.table({"": pa.nulls(rows)}).select([])
    return pa.Table.from_arrays([_array(pa, *column[1:]) for column in raw],
                                names=[column[0] for column in raw])


def _array(pa: Any, is_list: bool, rows: int, nulls: int, validity: Any, offsets: bytearray,
           wide: bool, data: bytearray, text_offsets: Any, texts_wide: bool) -> Any:
    """One Arrow array over the native buffers, without copying them."""
    buffer = pa.py_buffer
    valid = None if validity is None else buffer(validity)
    if not is_list:
        kind = pa.large_string() if wide else pa.string()
        return pa.Array.from_buffers(kind, rows, [valid, buffer(offsets), buffer(data)], nulls)
    texts = len(text_offsets) // (8 if texts_wide else 4) - 1
    kind = pa.large_string() if texts_wide else pa.string()
    values = pa.Array.from_buffers(kind, texts, [None, buffer(text_offsets), buffer(data)], 0)
    list_kind = pa.large_list(kind) if wide else pa.list_(kind)
    return pa.Array.from_buffers(list_kind, rows, [valid, buffer(offsets)], nulls,
                                 children=[values])

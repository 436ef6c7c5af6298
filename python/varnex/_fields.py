"""Fields of a table: what each column reads, its type and policies, and the plan they make.

The schema of a table is a function of the record path and the fields alone: a field whose
path selects each match is a list column, any other a column of one value, each of the type
its field names. `Plan` computes it once; `records()`, `table()`, `describe_records().fields()`
and `varnex.dask.read_xml` all go through here.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, TypeAlias, Union

from varnex import _varnex

if TYPE_CHECKING:
    import pyarrow

OnRepeat: TypeAlias = Literal["error", "first", "last"]
OnInvalid: TypeAlias = Literal["error", "null"]
OnError: TypeAlias = Literal["raise", "skip"]
TypeSpec: TypeAlias = Union[str, "pyarrow.DataType"]
FieldSpec: TypeAlias = Union[str, _varnex.Path, tuple[str | _varnex.Path, TypeSpec], "Field"]

ON_REPEAT = ("error", "first", "last")
ON_INVALID = ("error", "null")
ON_ERROR = ("raise", "skip")

TYPE_NAMES = ("string, large_string, dictionary, bool, int8 to int64, uint8 to uint64, float32, "
              "float64, decimal128(precision, scale), date32, date64, timestamp[s|ms|us|ns] or "
              "timestamp[us, tz=UTC]")
UNITS = ("s", "ms", "us", "ns")
_DECIMAL = re.compile(r"decimal128\(\s*(\d+)\s*,\s*(-?\d+)\s*\)")
_TIMESTAMP = re.compile(r"timestamp\[\s*(s|ms|us|ns)\s*(?:,\s*tz\s*=\s*([^\]]+?)\s*)?\]")
_SIMPLE = {"string": ("string", 0, 0), "str": ("string", 0, 0), "utf8": ("string", 0, 0),
           "large_string": ("large_string", 0, 0), "large_utf8": ("large_string", 0, 0),
           "dictionary": ("dictionary", 0, 0), "bool": ("bool", 0, 0),
           "float32": ("float", 32, 0),
           "float64": ("float", 64, 0), "double": ("float", 64, 0),
           "date32": ("date32", 0, 0), "date64": ("date64", 0, 0)}
_SIMPLE.update({f"{sign}int{bits}": (f"{sign}int", bits, 0)
                for sign in ("", "u") for bits in (8, 16, 32, 64)})



class Field:
    """A column: the path it reads inside each record, the type of its values, and how it
    treats texts that are empty, invalid or repeated.

    `type` is a name (`"int64"`, `"float64"`, `"bool"`, `"decimal128(10, 2)"`, `"date32"`,
    `"timestamp[us]"`, `"timestamp[ms, tz=UTC]"`, `"dictionary"`, `"string"`…) or a
    `pyarrow.DataType` of those kinds; a list field (a path that selects each match) takes
    the type of its items, or a `pyarrow.list_()` of it. `format` reads dates and moments
    with strptime directives instead of ISO 8601. `on_repeat`, `on_invalid` and
    `null_values` left at `None` take the values given to the call. A Field never changes.
    """

    __slots__ = ("path", "type", "format", "on_repeat", "on_invalid", "null_values")
    path: str | _varnex.Path
    type: TypeSpec
    format: str | None
    on_repeat: OnRepeat | None
    on_invalid: OnInvalid | None
    null_values: Sequence[str] | None

    def __init__(self, path: str | _varnex.Path, type: TypeSpec = "string", *,
                 format: str | None = None, on_repeat: OnRepeat | None = None,
                 on_invalid: OnInvalid | None = None,
                 null_values: Sequence[str] | None = None) -> None:
        for name, value in zip(self.__slots__, (path, type, format, on_repeat, on_invalid,
                                                null_values), strict=True):
            object.__setattr__(self, name, value)

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"a Field cannot be changed: make a new one ({name!r})")

    def _key(self) -> tuple[Any, ...]:
        return tuple(getattr(self, name) for name in self.__slots__)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Field) and self._key() == other._key()

    def __hash__(self) -> int:
        return hash(tuple(v if not isinstance(v, list) else tuple(v) for v in self._key()))

    def __reduce__(self) -> tuple[Any, ...]:
        path, kind, *policies = self._key()
        return (_field, (path, kind, *policies))

    def __repr__(self) -> str:
        shown = [repr(self.path)]
        if self.type != "string":
            shown.append(repr(self.type))
        for name in ("format", "on_repeat", "on_invalid", "null_values"):
            if getattr(self, name) is not None:
                shown.append(f"{name}={getattr(self, name)!r}")
        return f"Field({', '.join(shown)})"

    def with_path(self, path: str | _varnex.Path) -> Field:
        """The same field reading another path."""
        _, *rest = self._key()
        return _field(path, *rest)


def _field(path: Any, kind: Any, format: Any, on_repeat: Any, on_invalid: Any,
           null_values: Any) -> Field:
    return Field(path, kind, format=format, on_repeat=on_repeat, on_invalid=on_invalid,
                 null_values=null_values)


class SkippedRecordsWarning(UserWarning):
    """Records that on_error="skip" left out of a table or a list of rows, as malformed."""


class _Type(NamedTuple):
    """A column type as the native pass reads it: kind and two numbers, the time zone of a
    timestamp, and whether a list column has 64-bit offsets."""

    kind: str
    a: int = 0
    b: int = 0
    tz: str | None = None
    large_list: bool = False
    explicit_list: bool = False

    def arrow(self, pa: Any, is_list: bool) -> Any:
        """The pyarrow type of the column."""
        kind = self.kind
        if kind == "string":
            value = pa.string()
        elif kind == "large_string":
            value = pa.large_string()
        elif kind == "dictionary":
            value = pa.dictionary(pa.int32(), pa.string())
        elif kind == "bool":
            value = pa.bool_()
        elif kind in ("int", "uint"):
            value = getattr(pa, f"{kind}{self.a}")()
        elif kind == "float":
            value = pa.float32() if self.a == 32 else pa.float64()
        elif kind == "decimal128":
            value = pa.decimal128(self.a, self.b)
        elif kind == "date32":
            value = pa.date32()
        elif kind == "date64":
            value = pa.date64()
        else:
            value = pa.timestamp(UNITS[self.a], tz=self.tz)
        if not is_list:
            return value
        return pa.large_list(value) if self.large_list else pa.list_(value)

    def maker(self) -> Callable[[Any], Any] | None:
        """What records() calls on the native value (an int, or a decimal's text)."""
        if self.kind == "decimal128":
            import decimal

            return decimal.Decimal
        if self.kind not in ("date32", "date64", "timestamp"):
            return None
        import datetime

        epoch_date = datetime.date(1970, 1, 1)
        if self.kind == "date32":
            return lambda days: epoch_date + datetime.timedelta(days=days)
        if self.kind == "date64":
            return lambda ms: epoch_date + datetime.timedelta(milliseconds=ms)
        epoch = datetime.datetime(1970, 1, 1)
        per_us = {0: 1_000_000, 1: 1_000, 2: 1}.get(self.a)

        def naive(count: int) -> datetime.datetime:
            us = count * per_us if per_us else count // 1000  # nanoseconds: Python keeps µs
            return epoch + datetime.timedelta(microseconds=us)

        if self.tz is None:
            return naive
        zone = _zone(self.tz)
        return lambda count: naive(count).replace(tzinfo=datetime.UTC).astimezone(zone)


class NativeField(NamedTuple):
    """One field as the native plan reads it, part by part by these names: its column name and
    path, its type (`_Type`'s kind, a, b and large_list), its policies, and what `records()`
    calls on each native value."""

    name: str
    path: str | _varnex.Path
    kind: str
    a: int
    b: int
    large_list: bool
    on_repeat: str
    on_invalid: str
    null_values: tuple[str, ...] | None
    format: str | None
    maker: Callable[[Any], Any] | None


_new_tuple = tuple.__new__


def _zone(name: str) -> Any:
    """The tzinfo pyarrow gives values of a timestamp column in zone `name`."""
    import datetime

    match = re.fullmatch(r"([+-])(\d\d):(\d\d)", name)
    if match:
        minutes = int(match[2]) * 60 + int(match[3])
        return datetime.timezone(datetime.timedelta(minutes=-minutes if match[1] == "-"
                                                    else minutes))
    import zoneinfo

    return zoneinfo.ZoneInfo(name)


def _type_of(spec: Any, where: str) -> _Type:
    """The column type a field names, by text or as a pyarrow type."""
    if isinstance(spec, str):
        text = spec.strip()
        if text in _SIMPLE:
            return _Type(*_SIMPLE[text])
        if match := _DECIMAL.fullmatch(text):
            return _decimal(int(match[1]), int(match[2]), where)
        if match := _TIMESTAMP.fullmatch(text):
            return _Type("timestamp", UNITS.index(match[1]), tz=match[2])
        raise ValueError(f"{where}: unknown type {spec!r}; the types are {TYPE_NAMES}")
    if type(spec).__module__.split(".")[0] == "pyarrow":
        return _arrow_type(spec, where)
    raise TypeError(f"{where}: type must be a type name or a pyarrow.DataType, not "
                    f"{type(spec).__name__}")


def _decimal(precision: int, scale: int, where: str) -> _Type:
    if not 1 <= precision <= 38 or not 0 <= scale <= precision:
        raise ValueError(f"{where}: decimal128 takes a precision of 1 to 38 and a scale of 0 "
                         f"to the precision, not ({precision}, {scale})")
    return _Type("decimal128", precision, scale)


def _arrow_type(kind: Any, where: str) -> _Type:
    import pyarrow as pa

    types = pa.types
    if types.is_list(kind) or types.is_large_list(kind):
        item = _arrow_type(kind.value_type, where)
        if item.explicit_list:
            raise ValueError(f"{where}: lists of lists are not a column type: {kind}")
        return _Type(item.kind, item.a, item.b, item.tz, types.is_large_list(kind), True)
    if types.is_dictionary(kind):
        if kind.index_type == pa.int32() and types.is_string(kind.value_type):
            return _Type("dictionary")
        raise ValueError(f"{where}: a dictionary column has int32 indices and string values, "
                         f"not {kind}")
    if types.is_string(kind):
        return _Type("string")
    if types.is_large_string(kind):
        return _Type("large_string")
    if types.is_boolean(kind):
        return _Type("bool")
    if types.is_integer(kind):
        return _Type("int" if types.is_signed_integer(kind) else "uint", kind.bit_width)
    if types.is_float32(kind) or types.is_float64(kind):
        return _Type("float", kind.bit_width)
    if types.is_decimal128(kind):
        return _decimal(kind.precision, kind.scale, where)
    if types.is_date32(kind):
        return _Type("date32")
    if types.is_date64(kind):
        return _Type("date64")
    if types.is_timestamp(kind):
        return _Type("timestamp", UNITS.index(kind.unit), tz=kind.tz)
    raise ValueError(f"{where}: {kind} is not a column type; the types are {TYPE_NAMES}")


def _choice(value: Any, allowed: tuple[str, ...], what: str) -> str:
    if value not in allowed:
        words = ", ".join(repr(a) for a in allowed[:-1]) + f" or {allowed[-1]!r}"
        raise ValueError(f"{what} must be {words}, not {value!r}")
    return str(value)


def _null_texts(values: Any, what: str) -> tuple[str, ...] | None:
    if values is None:
        return None
    if isinstance(values, str) or not all(isinstance(v, str) for v in values):
        raise TypeError(f"{what} must be a sequence of str, not {values!r}")
    return tuple(values)


def as_field(name: str, spec: Any) -> Field:
    """The Field a value of the fields mapping stands for."""
    if isinstance(spec, Field):
        return spec
    if isinstance(spec, (str, _varnex.Path)):
        return Field(spec)
    if isinstance(spec, tuple) and len(spec) == 2 and isinstance(spec[0], (str, _varnex.Path)):
        return Field(spec[0], spec[1])
    raise TypeError(f"field {name!r}: expected a path (str or varnex.Path), a (path, type) pair "
                    f"or a varnex.Field, not {type(spec).__name__}")


def read_fields(fields: Any) -> dict[str, Field]:
    """The fields mapping as Fields, in its own order."""
    if not isinstance(fields, Mapping) and not hasattr(fields, "items"):
        raise TypeError(f"argument 'fields': {type(fields).__qualname__!r} object is not a "
                        "mapping of names to paths")
    out: dict[str, Field] = {}
    for pair in list(fields.items()):
        if not isinstance(pair, tuple) or len(pair) != 2:
            raise TypeError("fields.items() must give (name, path) pairs")
        name, spec = pair
        if not isinstance(name, str):
            raise TypeError("field names must be str")
        out[name] = as_field(name, spec)
    return out


class Plan:
    """Compiled fields and policies over one record path, and the schema they make."""

    __slots__ = ("capsule", "fields", "types", "lists", "_schema")

    def __init__(self, record_path: Any, fields: Any, *, on_repeat: Any = "error",
                 on_invalid: Any = "error", null_values: Any = None,
                 on_error: Any = "raise", namespaces: Any = None) -> None:
        on_repeat = _choice(on_repeat, ON_REPEAT, "on_repeat")
        on_invalid = _choice(on_invalid, ON_INVALID, "on_invalid")
        on_error = _choice(on_error, ON_ERROR, "on_error")
        null_values = _null_texts(null_values, "null_values")
        if not isinstance(record_path, (str, _varnex.Path)):
            raise TypeError("record_path: path must be str or varnex.Path")
        self.fields = read_fields(fields)
        specs: list[NativeField] = []
        self.types: list[_Type] = []
        for name, f in self.fields.items():
            where = f"field {name!r}"
            kind = _type_of(f.type, where)
            if f.format is not None:
                if kind.kind not in ("date32", "date64", "timestamp"):
                    raise ValueError(f"{where}: format= reads dates and timestamps, not {f.type}")
                if not isinstance(f.format, str):
                    raise TypeError(f"{where}: format must be str")
            repeat = _choice(on_repeat if f.on_repeat is None else f.on_repeat, ON_REPEAT,
                             f"{where}: on_repeat")
            invalid = _choice(on_invalid if f.on_invalid is None else f.on_invalid, ON_INVALID,
                              f"{where}: on_invalid")
            nulls = (null_values if f.null_values is None
                     else _null_texts(f.null_values, f"{where}: null_values"))
            self.types.append(kind)
            # In NativeField's order, made without its Python-level __new__ (half the cost).
            specs.append(_new_tuple(NativeField, (name, f.path, kind.kind, kind.a, kind.b,
                                                  kind.large_list, repeat, invalid, nulls,
                                                  f.format, kind.maker())))
        self.capsule, self.lists = _varnex._compile_plan(record_path, tuple(specs), on_error,
                                                         namespaces=namespaces)
        for (name, f), kind, is_list in zip(self.fields.items(), self.types, self.lists,
                                            strict=True):
            if kind.explicit_list and not is_list:
                raise ValueError(f"field {name!r}: a list type needs a path that selects each "
                                 f"match (end it in '.#'), not {f.path!r}")
        self._schema: Any = None

    def schema(self) -> pyarrow.Schema:
        """The schema of every table and batch made with this plan."""
        if self._schema is None:
            import pyarrow as pa

            self._schema = pa.schema([
                pa.field(name, kind.arrow(pa, is_list), nullable=True)
                for name, kind, is_list in zip(self.fields, self.types, self.lists, strict=True)])
        return self._schema

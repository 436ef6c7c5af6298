"""Field discovery: which paths the records of a document hold, to choose the fields from."""

from __future__ import annotations

import mmap
import os
import re
from typing import TYPE_CHECKING, Any, NamedTuple

from varnex import _varnex
from varnex._fields import Field

if TYPE_CHECKING:
    from collections.abc import Mapping
    from os import PathLike

    from typing_extensions import Buffer

SAMPLES = 3  # values shown per path
_STEP = re.compile(r"(?:\\.|[^.\\])+")  # one step of a path: escapes kept


class PathInfo(NamedTuple):
    """One element or attribute path found inside the records, relative to the record:
    `path` as a field's path writes it (`title`, `tags.tag`, `@id`, `tags.tag.@lang`); how
    many of the records read hold it (`records`); the `most` times one record holds it
    (above 1, a field needs `.#` to take every match); whether some match holds child
    elements (`has_children`: its value would be markup, so it is no field); a few of its
    values (`samples`); and the narrowest of bool, int64, float64, date32, timestamp[us] and
    string that every value read fits (`type`)."""

    path: str
    is_attribute: bool
    records: int
    most: int
    has_children: bool
    samples: tuple[str, ...]
    type: str

    @property
    def field_path(self) -> str:
        """The path of a field that takes each match when a record may hold several."""
        if self.most <= 1:
            return self.path
        steps = _STEP.findall(self.path)
        if self.is_attribute:
            return ".".join([*steps[:-1], "#", steps[-1]]) if len(steps) > 1 else self.path
        return f"{self.path}.#"


class RecordsDescription:
    """What [`describe_records`][varnex.describe_records] found: `records` read, and the
    `paths` in the order first met. `print()` shows it as a table, and
    [`fields()`][varnex.RecordsDescription.fields] turns it into fields."""

    __slots__ = ("record_path", "records", "paths")

    def __init__(self, record_path: str, records: int, paths: tuple[PathInfo, ...]) -> None:
        self.record_path = record_path
        self.records = records
        self.paths = paths

    def fields(self) -> dict[str, Field]:
        """A field for every path that holds a value (not one that holds elements), named by
        its last step where that name is unique, typed as its values are, and a list field
        where some record holds it more than once."""
        leaves = [p for p in self.paths if not p.has_children]
        names = [_last_name(p.path) for p in leaves]
        out: dict[str, Field] = {}
        for info, name in zip(leaves, names, strict=True):
            key = name if names.count(name) == 1 else _plain(info.path)
            out[key] = Field(info.field_path, info.type)
        return out

    def __str__(self) -> str:
        rows = [("path", "records", "most", "type", "samples")]
        for p in self.paths:
            shown = "(elements)" if p.has_children else ", ".join(
                repr(s if len(s) <= 24 else s[:23] + "\u2026") for s in p.samples)
            rows.append((p.path, str(p.records), str(p.most),
                         "" if p.has_children else p.type, shown))
        widths = [max(len(row[i]) for row in rows) for i in range(4)]
        lines = [f"{_count(len(self.paths), 'path')} in {_count(self.records, 'record')} of "
                 f"{self.record_path}"]
        for row in rows if self.paths else ():
            lines.append("  ".join([row[0].ljust(widths[0]), row[1].rjust(widths[1]),
                                    row[2].rjust(widths[2]), row[3].ljust(widths[3]),
                                    row[4]]).rstrip())
        return "\n".join(lines)

    __repr__ = __str__


def _count(n: int, noun: str) -> str:
    return f"{n:,} {noun}{'' if n == 1 else 's'}"


def _last_name(path: str) -> str:
    return _plain(_STEP.findall(path)[-1])


def _plain(path: str) -> str:
    """A path's text without its escapes and attribute signs, as a column name."""
    return re.sub(r"\\(.)", r"\1", path.replace(".@", ".").lstrip("@"))


def describe_records(
    data: str | bytes | Buffer | PathLike[str] | PathLike[bytes],
    record_path: str | _varnex.Path,
    *,
    sample: int | None = 10_000,
    namespaces: Mapping[str, str] | None = None,
) -> RecordsDescription:
    """Every element and attribute path inside the first `sample` records that `record_path`
    selects in `data` (all of them with `sample=None`): how many records hold it, the most
    times one record does, a few sample values, and the narrowest type every value fits.

    Only those records are read, so a large document is described in the time its first
    records take. `.fields()` gives fields for [`table`][varnex.table]; `print()` a table.

    `namespaces` is the prefix map of [`table`][varnex.table]: `record_path` is read with it,
    and each path found is written as the same map reads it (the map's prefix for a name's
    namespace, `{uri}name` for a namespace it does not bind, `{}name` for none when `""` is
    bound), so that `.fields()` goes to `table(..., namespaces=...)` as it is. A prefix the
    document binds to several URIs is left as the document writes it.
    """
    if sample is not None and (not isinstance(sample, int) or sample < 1):
        raise ValueError(f"sample must be a positive int or None, not {sample!r}")
    count, found = _varnex._describe(data, record_path, -1 if sample is None else sample,
                                     SAMPLES, namespaces=namespaces)
    if namespaces:
        written = _writer(_declarations(data), dict(namespaces))
        found = [(written(path), *rest) for path, *rest in found]
    text = record_path if isinstance(record_path, str) else record_path.__reduce__()[1][0]
    return RecordsDescription(text, count, tuple(
        PathInfo(path, is_attribute, records, most, has_children, tuple(samples), kind)
        for path, is_attribute, records, most, has_children, samples, kind in found))


def _declarations(data: Any) -> dict[str, list[str]]:
    """varnex.namespaces() of any document describe_records reads."""
    if not isinstance(data, os.PathLike):
        return _varnex.namespaces(data)
    with open(data, "rb") as f:
        if os.fstat(f.fileno()).st_size == 0:
            return {}
        with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as view:
            return _varnex.namespaces(view)


def _writer(declared: dict[str, list[str]], space: dict[str, str]) -> Any:
    """A path as the document writes it -> the same path as the map `space` reads it."""
    prefix_of = {uri: prefix for prefix, uri in reversed(space.items()) if prefix}

    def name(step: str) -> str:
        attr = step.startswith("@")
        text = step[1:] if attr else step
        prefix, colon, local = text.rpartition(":")
        if not colon and attr:
            return step  # in no namespace, as a map reads it too
        uris = declared.get(prefix, [])
        if len(set(uris)) > 1 or prefix == "xml" or (colon and not uris):
            return step  # rebound in the document: its meaning here is unknown
        uri = uris[0] if uris else ""
        if not uri:
            written = f"{{}}{local}" if "" in space and not attr else local
        elif not attr and space.get("") == uri:
            written = local
        elif uri in prefix_of:
            written = f"{prefix_of[uri]}:{local}"
        else:
            written = "{" + uri.replace("\\", "\\\\").replace("}", "\\}") + "}" + local
        return ("@" if attr else "") + written

    return lambda path: ".".join(name(step) for step in _STEP.findall(path))


"""atheris harness over the Python surface of varnex.

Documents and paths come from a small grammar driven by the fuzzer's bytes,
so most inputs are nearly XML and nearly valid paths. Every entry point runs
on them (get_bytes, get_buffer, get_many_bytes, parse and its navigation and
views, validate, check, repr, records, table, iter_records, describe_records), and the checks
are those a user relies on: only the
documented exceptions, a repr that never raises, and agreement between entry
points that must agree.

    python fuzz/fuzz_python.py -max_total_time=60 [corpus dir ...]
"""

from __future__ import annotations

import sys
import warnings

import atheris

with atheris.instrument_imports():
    import varnex

try:
    import pyarrow
except ImportError:  # table() is checked where pyarrow is installed
    pyarrow = None

# The extension itself carries no coverage counters: the grammar's own
# branches (instrumented below) are what guide the search.

NAMES = ["r", "a", "b", "x:a", "\u00e9", "c-d", "a1"]
WORDS = ["1", "2.5", "-3", "x", " t ", "true", "\u00e9\u20ac", "&amp;", "&#233;", "&bogus;", ""]
RAW_BYTES = [b"\xff", b"\xc3", b"\xa9", b"\xe2\x82", b"\x00", b"<", b">", b"&", b'"', b"]]>"]
DECLS = [b"", b'<?xml version="1.0"?>', b'<?xml version="1.0" encoding="latin1"?>',
         b'<?xml encoding="utf-16"?>', b'<?xml encoding="sjis"?>', b'<?xml encoding="bogus"?>',
         b'<?xml encoding="macintosh"?>', b'<?xml encoding="windows-1258"?>']
MARKS = [b"", b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff"]
PATH_PIECES = ["r", "a", "b", "x:a", "\u00e9", "*", "a?", "**", "#", "0", "1", "-1", "@x", "@*",
               "#text", "#(", ")", "#(@x==1)", "#(b>1)", "#(@x%'a*')", "#(b!=\"x\")", "#(b)",
               "|@count", "|@sort", "|@sortn", "|@reverse", "|@first", "|@last", "|@unique",
               "|@flatten", "|@tostr", "|@sum", "|@avg", "|@min", "|@max", "\\.", "'"]
TYPES = ["string", "int64", "uint8", "float64", "float32", "bool", "decimal128(6, 2)",
         "date32", "timestamp[ms]", "timestamp[s, tz=UTC]", "dictionary", "large_string"]
FIELD_PATHS = ["@x", "a", "a.#", "b.a", "**.a", "a|@first", "a#(@x==1)#", "#text", "a.@y",
               "b.#.a", "a|@count"]
# What the documented operations may raise on data and paths they were given.
EXPECTED = (ValueError, TypeError, KeyError, IndexError, OverflowError)


@atheris.instrument_func
def element(fdp: atheris.FuzzedDataProvider, depth: int) -> bytes:
    name = fdp.PickValueInList(NAMES).encode()
    attrs = b"".join(
        b" " + fdp.PickValueInList(["x", "y", "x:z"]).encode() + b'="' +
        fdp.PickValueInList(WORDS).encode() + b'"'
        for _ in range(fdp.ConsumeIntInRange(0, 2)))
    if fdp.ConsumeIntInRange(0, 5) == 0:
        return b"<" + name + attrs + b"/>"
    body = b"".join(content(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3)))
    return b"<" + name + attrs + b">" + body + b"</" + name + b">"


@atheris.instrument_func
def content(fdp: atheris.FuzzedDataProvider, depth: int) -> bytes:
    choice = fdp.ConsumeIntInRange(0, 7)
    if choice <= 2 and depth < 6:
        return element(fdp, depth)
    if choice <= 4:
        return fdp.PickValueInList(WORDS).encode()
    if choice == 5:
        return fdp.PickValueInList([b"<![CDATA[<q/>]]>", b"<!-- c -->", b"<?pi x?>", b"\n"])
    return fdp.PickValueInList(RAW_BYTES)


@atheris.instrument_func
def document(fdp: atheris.FuzzedDataProvider) -> bytes:
    doc = fdp.PickValueInList(DECLS) + element(fdp, 0)
    style = fdp.ConsumeIntInRange(0, 7)
    if style == 0:  # cut short
        doc = doc[: fdp.ConsumeIntInRange(0, len(doc))]
    elif style == 1:  # a byte-order mark, maybe over text in that encoding
        mark = fdp.PickValueInList(MARKS)
        codec = {b"\xff\xfe": "utf-16-le", b"\xfe\xff": "utf-16-be"}.get(mark)
        if codec and fdp.ConsumeBool():
            doc = doc.decode("utf-8", "replace").encode(codec, "surrogatepass")
        doc = mark + doc
    elif style == 2:  # arbitrary bytes spliced in
        at = fdp.ConsumeIntInRange(0, len(doc))
        doc = doc[:at] + fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 8)) + doc[at:]
    return doc


@atheris.instrument_func
def path(fdp: atheris.FuzzedDataProvider) -> str:
    pieces = [fdp.PickValueInList(PATH_PIECES) for _ in range(fdp.ConsumeIntInRange(1, 6))]
    joined = "".join(fdp.PickValueInList([".", "", "."]) + piece for piece in pieces)
    return joined.lstrip(".") or "r"


def texts(result) -> list:
    """What two equal Results show; errors count as a value of their own."""
    try:
        return [result.to_str(), len(result)]
    except ValueError as error:
        return [type(error), len(result)]


@atheris.instrument_func
def poke(result, fdp: atheris.FuzzedDataProvider, depth: int = 0) -> None:
    """Every conversion, key and view of `result`; repr must never raise."""
    assert isinstance(repr(result), str)
    for call in (result.exists, result.to_str, result.to_int, result.to_float, result.to_bool,
                 lambda: result.value, lambda: result.type_, lambda: len(result),
                 lambda: bool(result), lambda: int(result), lambda: float(result),
                 lambda: result == "x", lambda: result == result, lambda: list(result)):
        try:
            call()
        except EXPECTED:
            pass
    for key in (fdp.ConsumeIntInRange(-3, 3), slice(fdp.ConsumeIntInRange(-3, 3), None,
                                                    fdp.PickValueInList([1, -1, 2, -5])),
                fdp.PickValueInList(NAMES)):
        try:
            picked = result[key]
        except EXPECTED:
            continue
        if isinstance(picked, varnex.Result) and depth < 2:
            poke(picked, fdp, depth + 1)
    for view in ("keys", "values", "items", "children"):
        try:
            made = getattr(result, view)()
        except EXPECTED:
            continue
        assert isinstance(repr(made), str)
        try:
            for entry in made:
                assert isinstance(repr(entry), str)
        except ValueError:
            pass
    try:
        poke_get = result.get(path(fdp))
    except EXPECTED:
        return
    assert isinstance(repr(poke_get), str)


def lookups(result) -> list:
    """Name and character keys, each asked twice, and names in keys(): what a Result keeps
    from the first look must answer as that look did."""
    seen: list = []
    for key in [*NAMES, 0, -1, slice(1, None)]:
        for _ in range(2):
            try:
                picked = result[key]
                seen.append(texts(picked) if isinstance(picked, varnex.Result) else picked)
            except EXPECTED as error:
                seen.append(type(error))
    try:
        seen.append([name in result.keys() for name in NAMES] + [len(result.keys())])
    except EXPECTED as error:
        seen.append(type(error))
    return seen


@atheris.instrument_func
def TestOneInput(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    doc = document(fdp)
    paths = [path(fdp) for _ in range(fdp.ConsumeIntInRange(1, 3))]
    for p in paths:
        try:
            by_bytes = varnex.get_bytes(doc, p)
        except ValueError:
            continue
        # The same pass over a buffer, and over the whole document of a parse result.
        assert texts(varnex.get_buffer(bytearray(doc), p)) == texts(by_bytes), p
        assert texts(varnex.parse(doc).get(p)) == texts(by_bytes), p
        poke(by_bytes, fdp)
    try:
        for result in varnex.get_many_bytes(doc, paths):
            poke(result, fdp)
    except ValueError:
        pass
    whole = varnex.parse(doc)
    # The same keys over bytes (kept by the Result) and over a buffer (checked against it).
    assert lookups(whole) == lookups(varnex.parse(bytearray(doc)))
    try:
        assert varnex._varnex._to_str_lossy(whole) == whole.to_str()
    except ValueError:
        pass
    poke(whole, fdp)
    assert varnex.validate(doc) in (True, False)
    strict = varnex.validate(doc, strict=True)
    try:
        varnex.check(doc)
        assert strict and varnex.validate(doc), "well formed, so sound"
    except varnex.XMLSyntaxError as error:
        assert not strict and error.line >= 1 and error.column >= 1
        assert error.offset is None or 0 <= error.offset <= len(doc)
    text = doc.decode("utf-8", "replace")
    try:
        poke(varnex.get(text, paths[0]), fdp)
    except ValueError:
        pass
    tables(doc, fdp)


@atheris.instrument_func
def tables(doc: bytes, fdp: atheris.FuzzedDataProvider) -> None:
    """records() and table() agree, under any policies; describe_records' fields load."""
    record = fdp.PickValueInList(["r", "r.a", "**.a", "r.#", "r.a.#", "**.b", path(fdp)])
    fields = {f"f{i}": varnex.Field(fdp.PickValueInList(FIELD_PATHS + [path(fdp)]),
                                    fdp.PickValueInList(TYPES),
                                    on_invalid=fdp.PickValueInList([None, "null"]))
              for i in range(fdp.ConsumeIntInRange(0, 3))}
    policies = {"on_repeat": fdp.PickValueInList(["error", "first", "last"]),
                "on_error": fdp.PickValueInList(["raise", "skip"]),
                "null_values": fdp.PickValueInList([None, [""], ["1", "x"]])}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            rows = varnex.records(doc, record, fields, **policies)
        except ValueError:
            rows = None
        # The same records streamed in pieces, cut between records wherever they may be.
        size = fdp.ConsumeIntInRange(1, 80)
        pieces = [doc[i:i + size] for i in range(0, len(doc), size)]
        try:
            streamed = list(varnex.iter_records(pieces, record, fields, **policies))
        except ValueError as error:
            streamed = str(error)
        try:
            whole = varnex.records(doc, record, fields, **policies)
        except ValueError as error:
            whole = str(error)
        assert repr(streamed) == repr(whole), (record, fields, size, doc)
        if pyarrow is not None:
            try:
                table = varnex.table(doc, record, fields, **policies)
            except ValueError:
                assert rows is None, (record, fields)
            else:
                table.validate(full=True)
                assert repr(table.to_pylist()) == repr(rows), (record, fields)
        try:
            found = varnex.describe_records(doc, record, sample=fdp.ConsumeIntInRange(1, 5))
        except ValueError:
            return
        assert isinstance(str(found), str)
        try:
            varnex.records(doc, record, found.fields(), on_repeat="first", on_invalid="null")
        except ValueError:
            pass


def main() -> None:
    varnex._varnex._set_stream_window(0)  # a pass at every cut, so small documents are cut
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()

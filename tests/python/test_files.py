"""Files as documents: an os.PathLike is mapped read-only, answered as its bytes are, and the
map lasts exactly as long as something refers into it."""

from __future__ import annotations

import gc
import os
import pathlib

import pytest
import varnex

DOC = b'<?xml version="1.0"?><r><a id="1">x</a><a id="2">\xc3\xa9</a><b><c>3</c></b></r>'
LATIN1 = b'<?xml version="1.0" encoding="latin1"?><r><a id="1">x</a><a id="2">\xe9</a></r>'
STR_NAMES_FILE = (
    "data is a str without markup; it names a file: pass pathlib.Path(...) or open(...).read()"
)


class FsPath:
    """A path-like of the caller's own, giving bytes as os.fspath allows."""

    def __init__(self, path: pathlib.Path) -> None:
        self.path = path

    def __fspath__(self) -> bytes:
        return os.fsencode(self.path)


# Every function that takes a document, given a file and given its bytes.
CALLS = {
    "get": lambda d: varnex.get(d, "r.a.#.@id").value,
    "get(elements)": lambda d: varnex.get(d, "r.a").to_str_list(),
    "get_bytes": lambda d: varnex.get_bytes(d, "r.a.1").to_str(),
    "get_buffer": lambda d: varnex.get_buffer(d, "r.b.c").to_int(),
    "get_many": lambda d: [r.value for r in varnex.get_many(d, ["r.a.#", "r.b.c"])],
    "get_many_bytes": lambda d: varnex.get_many_bytes(d, ["r.a.0"])[0].to_str(),
    "get_many_buffer": lambda d: varnex.get_many_buffer(d, ["r.a|@count"])[0].to_int(),
    "Path.get": lambda d: varnex.compile("r.a").get(d).to_str_list(),
    "Path.get_bytes": lambda d: varnex.compile("r.b").get_bytes(d).to_str(),
    "Path.get_buffer": lambda d: varnex.compile("r.a.1").get_buffer(d).to_str(),
    "parse": lambda d: list(varnex.parse(d).keys()),
    "validate": lambda d: (varnex.validate(d), varnex.validate(d, strict=True)),
    "check": varnex.check,
    "records": lambda d: varnex.records(d, "r.a.#", {"id": "@id", "t": "#text"}),
    "table": lambda d: varnex.table(d, "r.a.#", {"id": "@id"}).to_pylist(),
    "describe_records": lambda d: str(varnex.describe_records(d, "r.a")),
}


def bytes_form(name: str, data: bytes):
    """The same document in the form the function took before files (latin1 is windows-1252)."""
    if name not in ("get", "get(elements)", "get_many", "Path.get"):
        return data
    return data.decode("cp1252" if data is LATIN1 else "utf-8")


@pytest.mark.parametrize("kind", [pathlib.Path, FsPath], ids=["pathlib", "fspath-bytes"])
@pytest.mark.parametrize("data", [DOC, LATIN1], ids=["utf8", "latin1"])
@pytest.mark.parametrize("name", CALLS)
def test_every_entry_point_answers_a_file_as_its_bytes(tmp_path, name, data, kind):
    path = tmp_path / "doc.xml"
    path.write_bytes(data)
    assert CALLS[name](kind(path)) == CALLS[name](bytes_form(name, data))


def maps_of(path: pathlib.Path) -> int:
    with open("/proc/self/maps") as f:
        return sum(line.rstrip().endswith(str(path)) for line in f)


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


needs_proc = pytest.mark.skipif(not os.path.exists("/proc/self/maps"), reason="needs /proc")


@needs_proc
def test_spans_keep_the_map_and_nothing_else_does(tmp_path):
    path = tmp_path / "doc.xml"
    path.write_bytes(DOC)
    fds = open_descriptors()
    kept = [varnex.get(path, "r.a") for _ in range(50)]
    assert maps_of(path) == 50
    assert open_descriptors() == fds  # the descriptor is closed once mapped
    path.unlink()  # the map outlives the name
    assert [r.to_str_list() for r in kept[:2]] == [["x", "\u00e9"]] * 2
    assert kept[0][1].get("#text") == "\u00e9"  # a sub-query over the map
    del kept
    gc.collect()
    assert maps_of(path) == 0


@needs_proc
@pytest.mark.parametrize("call", [
    lambda p: varnex.get_buffer(p, "r.a"),  # copies
    lambda p: varnex.get(p, "r.a.1.@id"),  # text only
    lambda p: varnex.records(p, "r.a.#", {"id": "@id"}),
    varnex.validate,
])
def test_a_call_that_keeps_no_span_releases_the_map(tmp_path, call):
    path = tmp_path / "doc.xml"
    path.write_bytes(DOC)
    result = call(path)
    assert maps_of(path) == 0
    del result


@needs_proc
def test_a_decoded_file_is_a_copy_and_the_map_goes(tmp_path):
    path = tmp_path / "doc.xml"
    path.write_bytes(LATIN1)
    result = varnex.get(path, "r.a")
    assert maps_of(path) == 0
    assert result.to_str_list() == ["x", "\u00e9"]


def test_files_that_cannot_be_read_raise_oserror_naming_them(tmp_path):
    with pytest.raises(FileNotFoundError) as missing:
        varnex.get(tmp_path / "none.xml", "r")
    assert missing.value.filename == str(tmp_path / "none.xml")
    with pytest.raises(IsADirectoryError):
        varnex.get_bytes(tmp_path, "r")
    with pytest.raises(ValueError, match="is not a regular file"):
        varnex.parse(pathlib.Path("/dev/null"))
    empty = tmp_path / "empty.xml"
    empty.write_bytes(b"")
    assert varnex.get(empty, "r").exists() is False
    assert varnex.validate(empty) is False
    assert varnex.parse(empty).to_str() == ""


@pytest.mark.parametrize("call", [
    lambda d: varnex.get(d, "catalog.book"),
    lambda d: varnex.get_buffer(d, "catalog"),
    lambda d: varnex.get_many(d, ["catalog"]),
    lambda d: varnex.compile("catalog").get(d),
    varnex.parse, varnex.validate, varnex.check,
    lambda d: varnex.records(d, "catalog.book", {"t": "title"}),
])
def test_a_str_that_names_a_file_is_refused_with_the_way_out(tmp_path, monkeypatch, call):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "catalog.xml").write_bytes(b"<catalog/>")
    with pytest.raises(ValueError) as refused:
        call("catalog.xml")
    assert str(refused.value) == STR_NAMES_FILE
    # Only a str without markup that names something: anything else is XML text as before.
    assert varnex.get("nothing.xml", "catalog").exists() is False
    assert varnex.get(" catalog.xml<", "catalog").exists() is False


def test_other_types_are_refused_as_before():
    wrong = "^argument 'data': 'int' object is not an instance of 'str'$"
    with pytest.raises(TypeError, match=wrong):
        varnex.get(3, "r")
    with pytest.raises(TypeError, match="'str' object is not an instance of 'bytes'"):
        varnex.get_bytes("<r/>", "r")

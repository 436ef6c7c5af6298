"""Several paths in one pass: get_many, get_many_bytes, get_many_buffer and Result.get_many."""

from __future__ import annotations

import pytest
import varnex
from conftest import pieces

DOC = """<shop>
  <item id="i1"><name>Tea</name><price>3</price></item>
  <item id="i2"><name>Cake &amp; co</name><price>7</price><tag/></item>
  <note>closed on Sunday</note>
</shop>"""

# Each runner takes the document as str and feeds it in the form its function accepts.
MANY_RUNNERS = {
    "get_many": lambda doc, paths: varnex.get_many(doc, paths),
    "get_many_bytes": lambda doc, paths: varnex.get_many_bytes(doc.encode(), paths),
    "get_many_buffer": lambda doc, paths: varnex.get_many_buffer(bytearray(doc.encode()), paths),
}


@pytest.fixture(params=sorted(MANY_RUNNERS))
def run_many(request):
    return MANY_RUNNERS[request.param]


@pytest.mark.parametrize(
    ("paths", "expected"),
    [
        (["shop.item.#.@id", "shop.note"], [["i1", "i2"], ["closed on Sunday"]]),
        (["shop.item.1.name", "shop.item.#"], [["Cake & co"], ["2"]]),
        (["shop.item#(price>5).name", "shop.item.#.price|@sum"], [["Cake & co"], ["10"]]),
        (["", "shop.note", ""], [[], ["closed on Sunday"], []]),
        (["shop.item.#.tag", "**.name|@first"], [[""], ["Tea"]]),
        (["shop.missing", "shop.missing.#"], [[], ["0"]]),
        (["shop.item.0.name.#text", "shop.@x"], [["Tea"], []]),
        ([varnex.compile("shop.note"), "shop.item.0.@id"], [["closed on Sunday"], ["i1"]]),
    ],
)
def test_each_path_gets_its_own_items(run_many, paths, expected):
    results = run_many(DOC, paths)
    assert type(results) is list
    assert [pieces(r) for r in results] == expected
    assert all(type(r) is varnex.Result for r in results)


@pytest.mark.parametrize(
    "path",
    [
        "shop.item",
        "shop.item.#.name",
        "shop.item.0",
        "**.price",
        "shop.item#(@id=i2).price",
        "shop.item.#.@id",
    ],
)
def test_agrees_with_single_path_queries(run_many, path):
    [many] = run_many(DOC, [path])
    assert pieces(many) == pieces(varnex.get(DOC, path))


def test_collecting_modifiers_take_element_texts():
    sort, count, first = varnex.get_many(
        DOC, ["shop.item.#.name|@sort", "shop.item|@count", "shop.item|@first"]
    )
    assert pieces(sort) == ["Cake & co", "Tea"]
    assert count.value == 2
    assert first.to_str() == "Tea3"


def test_the_list_has_one_result_per_path_whatever_matches():
    paths = ["nothing", "shop.note", "", "shop.item.#.@id"] * 5
    assert len(varnex.get_many(DOC, paths)) == len(paths)


def test_empty_list_reads_nothing():
    # Data is not even looked at.
    assert varnex.get_many_buffer(12345, []) == []
    assert varnex.get_many("\ud800", []) == []
    assert varnex.get_many_bytes(b"", []) == []


def test_only_empty_strings_scan_nothing():
    results = varnex.get_many("\ud800", ["", ""])
    assert [len(r) for r in results] == [0, 0]
    results = varnex.get_many_buffer(object(), [""])
    assert [len(r) for r in results] == [0]


def test_lone_surrogate_document_raises_once_a_path_exists():
    with pytest.raises(UnicodeEncodeError):
        varnex.get_many("<a>\ud800</a>", ["a"])


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (
            lambda: varnex.get_many(b"<a/>", ["a"]),
            TypeError,
            "argument 'data': 'bytes' object is not an instance of 'str'",
        ),
        (
            lambda: varnex.get_many_bytes("<a/>", ["a"]),
            TypeError,
            "argument 'data': 'str' object is not an instance of 'bytes'",
        ),
        (
            lambda: varnex.get_many("<a/>", ("a",)),
            TypeError,
            "argument 'paths': 'tuple' object is not an instance of 'list'",
        ),
        (
            lambda: varnex.get_many("<a/>", None),
            TypeError,
            "argument 'paths': 'None' is not an instance of 'list'",
        ),
        (
            lambda: varnex.get_many("<a/>", "a"),
            TypeError,
            "argument 'paths': 'str' object is not an instance of 'list'",
        ),
        (
            lambda: varnex.get_many("<a/>", ["a", 1]),
            TypeError,
            "paths must be a list of str or varnex.Path",
        ),
        (
            lambda: varnex.get_many("<a/>", ["a", b"b"]),
            TypeError,
            "paths must be a list of str or varnex.Path",
        ),
        (
            lambda: varnex.get_many("<a/>", ["a", "\ud800"]),
            TypeError,
            "paths must be a list of str or varnex.Path",
        ),
        (
            lambda: varnex.get_many("<a/>"),
            TypeError,
            "get_many() missing 1 required positional argument: 'paths'",
        ),
        (
            lambda: varnex.get_many_bytes(),
            TypeError,
            "get_many_bytes() missing 2 required positional arguments: 'data' and 'paths'",
        ),
        (
            lambda: varnex.get_many_buffer(b"", [], x=1),
            TypeError,
            "get_many_buffer() got an unexpected keyword argument 'x'",
        ),
        (
            lambda: varnex.get_many("<a/>", ["a", "b|@x"]),
            ValueError,
            'unknown modifier: @x\n  in path: "b|@x"\n' + " " * 14 + "^",
        ),
        (
            lambda: varnex.get_many("<a/>", ["a|", 1]),
            ValueError,
            'modifier name is empty\n  in path: "a|"\n' + " " * 13 + "^",
        ),
        (
            lambda: varnex.get_many_buffer("<a/>", ["a"]),
            ValueError,
            "data must be a buffer-protocol object (mmap, bytearray, memoryview)",
        ),
        (
            lambda: varnex.get_many_buffer(memoryview(bytearray(b"<a/>"))[::2], ["a"]),
            ValueError,
            "buffer must be C-contiguous",
        ),
        (
            lambda: varnex.get_many("<a><b></b><b></b></a>", ["a.b.c", "a"]),
            ValueError,
            "path is ambiguous: b matches multiple elements but the path continues; "
            "specify .N (single) or .# (each)",
        ),
    ],
)
def test_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


def test_path_errors_come_before_data_errors():
    with pytest.raises(ValueError, match="unknown modifier"):
        varnex.get_many_buffer(12345, ["a|@x"])
    with pytest.raises(TypeError, match="paths must be"):
        varnex.get_many_buffer(12345, ["a", 3])


def test_keyword_arguments():
    [r] = varnex.get_many(data=DOC, paths=["shop.note"])
    assert r.to_str() == "closed on Sunday"
    [r] = varnex.get_many_bytes(paths=["shop.note"], data=DOC.encode())
    assert r.to_str() == "closed on Sunday"


def test_bytes_results_refer_to_the_document_and_others_own_copies():
    doc = DOC.encode()
    [item] = varnex.get_many_bytes(doc, ["shop.item.0"])
    assert repr(item) == repr(varnex.get_bytes(doc, "shop.item.0"))
    data = bytearray(DOC.encode())
    [note] = varnex.get_many_buffer(data, ["shop.note"])
    data[:] = b"<x/>"  # the exporter is free again, and the Result is unaffected
    assert note.to_str() == "closed on Sunday"


def test_text_signatures():
    assert varnex.get_many.__text_signature__ == "(data, paths)"
    assert varnex.get_many_bytes.__text_signature__ == "(data, paths)"
    assert varnex.get_many_buffer.__text_signature__ == "(data, paths)"
    assert varnex.Result.get_many.__text_signature__ == "($self, paths)"


def test_module_order():
    from varnex import _varnex

    assert _varnex.__all__[:10] == [
        "get",
        "get_bytes",
        "get_buffer",
        "get_many",
        "get_many_bytes",
        "get_many_buffer",
        "parse",
        "compile",
        "validate",
        "Path",
    ]
    assert _varnex.__all__[10] == "Result"


# --- Result.get_many -------------------------------------------------------------

ELEMENT_DOC = '<a id="7">top<b>1</b><c k="x"/></a>'


@pytest.mark.parametrize(
    "make",
    [
        lambda: varnex.get(ELEMENT_DOC, "a"),
        lambda: varnex.get_bytes(ELEMENT_DOC.encode(), "a"),
        lambda: varnex.get_buffer(bytearray(ELEMENT_DOC.encode()), "a"),
        lambda: varnex.get(f"<r>{ELEMENT_DOC}</r>", "r.a"),
    ],
)
def test_result_get_many_is_relative_to_the_element(make):
    element = make()
    found = element.get_many(["@id", "b", "c.@k", "#text", "a", "", "b.#"])
    assert [pieces(r) for r in found] == [["7"], ["1"], ["x"], ["top1"], [], [], ["1"]]


def test_result_get_many_on_parse_starts_at_the_top_element():
    for data in (ELEMENT_DOC, ELEMENT_DOC.encode(), bytearray(ELEMENT_DOC.encode())):
        whole = varnex.parse(data)
        assert [pieces(r) for r in whole.get_many(["@id", "b", "a.@id", "a.b"])] == [
            [],
            [],
            ["7"],
            ["1"],
        ]


def test_result_get_many_on_an_empty_element():
    [attr, text, child] = varnex.get(ELEMENT_DOC, "a.c").get_many(["@k", "#text", "d"])
    assert pieces(attr) == ["x"]
    assert pieces(text) == [""]
    assert pieces(child) == []


@pytest.mark.parametrize(
    "result",
    [varnex.get(ELEMENT_DOC, "nothing"), varnex.get(ELEMENT_DOC, "a.@id")],
    ids=["empty", "text"],
)
def test_result_get_many_without_an_element_gives_empty_results(result):
    assert [len(r) for r in result.get_many(["a", "", "@id"])] == [0, 0, 0]
    assert result.get_many([]) == []


def test_result_get_many_errors():
    multi = varnex.get("<r><a/><a/></r>", "r.a")
    with pytest.raises(ValueError) as info:
        multi.get_many(["x|@bad"])  # the shape is checked before the paths
    assert str(info.value) == (
        "Result.get_many(paths) is not supported on a multi-element Result; "
        "iterate the Result or pick an index first"
    )
    single = varnex.get(ELEMENT_DOC, "a")
    with pytest.raises(TypeError) as info:
        single.get_many(("b",))
    assert str(info.value) == "argument 'paths': 'tuple' object is not an instance of 'list'"
    with pytest.raises(TypeError) as info:
        single.get_many()
    assert str(info.value) == "Result.get_many() missing 1 required positional argument: 'paths'"
    with pytest.raises(TypeError, match="paths must be a list of str or varnex.Path"):
        single.get_many([None])
    with pytest.raises(ValueError, match="path is ambiguous: x"):
        varnex.get("<a><x></x><x></x></a>", "a").get_many(["x.y"])


def test_result_get_many_on_parse_of_an_unusable_source():
    whole = varnex.parse(bytearray(b"<a/>"))
    found = whole.get_many(["a"])
    assert pieces(found[0]) == [""]

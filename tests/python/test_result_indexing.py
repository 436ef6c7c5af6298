"""Result subscription by integer, slice and name, and sub-queries with Result.get."""

from __future__ import annotations

import mmap
import sys
import time

import pytest
import varnex
from conftest import texts
from hypothesis import given
from hypothesis import strategies as st

OUT_OF_RANGE = "Result index out of range"
BAD_INDEX = "Result indices must be integers, slices, or strings"
DICT_DOC = "<r><a>1</a><b/><a>2</a></r>"
DOC = '<?xml version="1.0"?><a x="1"><b>1</b><b>2</b><c><b>3</b></c></a>'


class Index:
    def __init__(self, value: int | BaseException):
        self.value = value

    def __index__(self) -> int:
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


@pytest.mark.parametrize(
    ("key", "expected"),
    [
        (-3, ["x"]), (-1, ["z"]), (True, ["y"]), (Index(1), ["y"]),
        # Steps so large that one more step would overflow.
        (slice(1, None, sys.maxsize), ["y"]), (slice(1, None, -sys.maxsize - 1), ["y"]),
        (slice(-(2**100), 2**100, 2**100), ["x"]),
    ],
)
def test_multi_keys_pick_items(key, expected):
    picked = texts("x", "y", "z")[key]
    assert type(picked) is varnex.Result and picked == expected


@given(values=st.lists(st.text("abé&", min_size=1, max_size=3), min_size=2, max_size=6),
       data=st.data())
def test_multi_slices_follow_list_slicing(values, data):
    key = data.draw(st.slices(len(values) + 2))
    assert texts(*values)[key] == values[key]


# Long texts cross the marks kept every 64 code points.
@given(text=st.text(max_size=8) | st.text("a\u00e9\u20ac\U0001f600", min_size=60, max_size=300),
       data=st.data())
def test_scalar_keys_follow_str(text, data):
    result = texts(text)
    key = data.draw(st.slices(len(text) + 2) | st.integers(-len(text) - 2, len(text) + 2))
    if isinstance(key, int) and not -len(text) <= key < len(text):
        with pytest.raises(IndexError, match=OUT_OF_RANGE):
            result[key]
    else:
        assert result[key] == text[key]
        assert type(result[key]) is str


def test_dict_string_keys():
    result = varnex.get(DICT_DOC.replace("<b/>", "<b/><x:a>4</x:a><A><b>5</b><b>6</b></A>"), "r")
    assert [result[k].type_ for k in ("a", "b", "x:a", "A")] == [list, str, int, dict]
    assert (result["a"], result["x:a"], result["A"]["b"]) == (["1", "2"], "4", ["5", "6"])


@pytest.mark.parametrize(
    ("key", "error", "arg"),
    [
        ("c", KeyError, "c"), (Index(3), KeyError, 3),
        (slice(0, 1, 0), KeyError, "slice keys are not supported on dict-like Result"),
        (1.0, TypeError, BAD_INDEX), (2**70, KeyError, 2**70), (-(2**70), KeyError, -(2**70)),
    ],
)
def test_dict_key_errors(key, error, arg):
    with pytest.raises(error) as caught:
        varnex.get(DICT_DOC, "r")[key]
    assert caught.value.args == (arg,)
    with pytest.raises(UnicodeEncodeError):
        varnex.get(DICT_DOC, "r")["\ud800"]


@pytest.mark.parametrize(
    ("result", "mode"),
    [(texts(), "empty"), (texts("xyz"), "scalar"), (texts("x", "y", "z"), "multi")],
    ids=["empty", "scalar", "multi"],
)
@pytest.mark.parametrize(
    ("key", "error", "message"),
    [
        (3, IndexError, OUT_OF_RANGE), (-4, IndexError, OUT_OF_RANGE),
        (-(2**63), IndexError, OUT_OF_RANGE), (2**63, IndexError, OUT_OF_RANGE),
        (-(2**63) - 1, IndexError, OUT_OF_RANGE), (Index(2**100), IndexError, OUT_OF_RANGE),
        (None, TypeError, BAD_INDEX), (Index(ValueError("no")), TypeError, BAD_INDEX),
        (slice(None, None, 0), ValueError, "slice step cannot be zero"),
        ("a", TypeError, "string keys are only valid on dict-like Result; this Result is {mode}"),
    ],
)
def test_key_errors(result, mode, key, error, message):
    with pytest.raises(error) as caught:
        result[key]
    assert str(caught.value) == message.format(mode=mode)


@pytest.mark.parametrize("error", [KeyboardInterrupt, MemoryError, LookupError])
def test_index_errors_not_about_the_key_propagate(error):
    for result in (texts(), texts("xyz"), texts("x", "y"), varnex.get(DICT_DOC, "r")):
        with pytest.raises(error, match="^raised$"):
            result[Index(error("raised"))]


@pytest.mark.parametrize("key", [-1, slice(5, 9)])
def test_scalar_text_not_utf8(key):
    with pytest.raises(ValueError, match="^incomplete utf-8 byte sequence from index 1$"):
        texts(b"a\xe2\x82")[key]


@pytest.mark.parametrize(
    ("result", "path", "expected"),
    [
        (texts(), "", None), (varnex.get(DOC, "a.c"), "", None), (texts("x"), "a.b", None),
        (texts(), "a)", ValueError("unmatched ")),
        (varnex.get(DOC, "a"), "b.x", ValueError("path is ambiguous: b matches multiple")),
        (texts("x", "y"), "a)", ValueError("Result.get(path) is not supported on a multi-element "
                                           "Result; iterate the Result or pick an index first")),
        (texts("x", "y"), "", ValueError("Result.get(path) is not supported")),
        (texts("x"), None, TypeError("Result.get() missing 1 required positional argument")),
    ],
)
def test_get_empty_results_and_errors(result, path, expected):
    if expected is None:
        assert result.get(path=path).exists() is False
    else:
        with pytest.raises(type(expected)) as caught:
            result.get(path) if path is not None else result.get()
        assert str(caught.value).startswith(str(expected))


def mapped(data: bytes) -> mmap.mmap:
    m = mmap.mmap(-1, len(data))
    m.write(data)
    return m


def time_of(call) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def test_lookups_by_name_cost_one_grouping_of_the_children():
    n = 20_000
    doc = ("<r>" + "".join(f"<c{i}>{i}</c{i}>" for i in range(n)) + "</r>").encode()
    for r in (varnex.get_bytes(doc, "r"), varnex.parse(doc),
              varnex.get_buffer(bytearray(doc), "r"), varnex.get(doc.decode(), "r")):
        keys = list(r.keys())
        grouping = min(time_of(lambda r=r: r.value) for _ in range(3))
        lookups = time_of(lambda r=r, keys=keys: [r[k] for k in keys])
        found = time_of(lambda r=r, keys=keys: all(k in r.keys() for k in keys))
        # Each lookup used to scan all the children again: hundreds of groupings in all.
        assert lookups < 0.5 + 50 * grouping and found < 0.5 + 50 * grouping
        assert [r[k].value for k in ("c0", "c1", f"c{n - 1}")] == [0, 1, n - 1]
        assert "c" not in r.keys() and len(r.keys()) == len(r.children()) == n


def test_character_keys_extract_the_text_once_over_any_source():
    n = 20_000
    doc = ("<r>" + "\u00e9" * n + "</r>").encode()
    whole = varnex.parse(doc)
    in_bytes = time_of(lambda: "".join(whole[i] for i in range(n)))
    for source in (bytearray(doc), memoryview(doc), mapped(doc)):
        root = varnex.parse(source)
        took = time_of(lambda root=root: "".join(root[i] for i in range(n)))
        # Each key used to extract and index the whole text again.
        assert took < 0.5 + 50 * in_bytes, type(source)
        assert root[-1] == "\u00e9" and root[5:7] == "\u00e9\u00e9"


def test_character_keys_over_a_buffer_see_its_changes():
    data = bytearray(b"<r>abc</r>")
    root = varnex.parse(data)
    assert (root[0], root[-1]) == ("a", "c")
    data[3:6] = b"xyz"
    assert (root[0], root[1:]) == ("x", "yz")
    data[3:6] = b"<a/>"
    with pytest.raises(KeyError):
        root[0]
    assert root["a"] == ""

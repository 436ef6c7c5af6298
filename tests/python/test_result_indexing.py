"""Result subscription by integer, slice and name, and sub-queries with Result.get."""

from __future__ import annotations

import sys

import pytest
import varnex
from hypothesis import given
from hypothesis import strategies as st

DICT_DOC = "<r><a>1</a><b/><a>2</a></r>"
OUT_OF_RANGE = "Result index out of range"
BAD_INDEX = "Result indices must be integers, slices, or strings"
GET_ON_MULTI = (
    "Result.get(path) is not supported on a multi-element Result; iterate the Result or pick "
    "an index first"
)


def escape(value: bytes) -> bytes:
    return value.replace(b"&", b"&amp;").replace(b'"', b"&quot;").replace(b"<", b"&lt;")


def texts(*values: str | bytes):
    """A Result holding one text item per value (one item: ScalarLike, none: Empty)."""
    raws = [v.encode() if isinstance(v, str) else v for v in values]
    doc = b"<r>" + b"".join(b'<i a="' + escape(v) + b'"/>' for v in raws) + b"</r>"
    return varnex.get_bytes(doc, "r.i.#.@a")


def strings(result) -> list[str]:
    return [item.to_str() for item in result]


class Index:
    """An object that is an integer only through __index__."""

    def __init__(self, value: int):
        self.value = value

    def __index__(self) -> int:
        return self.value


# ---- Multi -----------------------------------------------------------------


@pytest.mark.parametrize(
    ("key", "expected"),
    [(0, "x"), (-3, "x"), (2, "z"), (-1, "z"), (True, "y"), (Index(1), "y")],
)
def test_multi_integer_key_picks_one_item(key, expected):
    item = texts("x", "y", "z")[key]
    assert isinstance(item, varnex.Result)
    assert len(item) == 1
    assert item == expected


@pytest.mark.parametrize(
    ("key", "expected"),
    [
        (slice(1, None), ["y", "z"]),
        (slice(5, None), []),
        (slice(None, None, -1), ["z", "y", "x"]),
        (slice(0, 1), ["x"]),
        (slice(-2, None, -1), ["y", "x"]),
        (slice(None, None, 2), ["x", "z"]),
        (slice(-100, 100), ["x", "y", "z"]),
        (slice(1, None, sys.maxsize), ["y"]),
        (slice(1, None, -sys.maxsize - 1), ["y"]),
        (slice(-(2**100), 2**100, 2**100), ["x"]),
    ],
)
def test_multi_slice_key(key, expected):
    picked = texts("x", "y", "z")[key]
    assert isinstance(picked, varnex.Result)
    assert len(picked) == len(expected)
    assert picked == expected


@given(
    values=st.lists(st.text(alphabet="abcé", min_size=1, max_size=3), min_size=2, max_size=6),
    data=st.data(),
)
def test_multi_slices_follow_list_slicing(values, data):
    key = data.draw(st.slices(len(values) + 2))
    assert texts(*values)[key] == values[key]


def test_multi_element_items_keep_their_markup():
    result = varnex.get("<r><i>1</i><i><j/></i><i>3</i></r>", "r.i")
    assert result[1].to_str() == "<i><j/></i>"
    assert result[1]["j"].exists()
    assert [r.to_str() for r in result[::2]] == ["1", "3"]


# ---- ScalarLike ------------------------------------------------------------


@pytest.mark.parametrize(
    ("key", "expected"),
    [
        (0, "h"), (1, "é"), (-1, "o"), (-5, "h"),
        (slice(1, 3), "él"), (slice(None, None, -1), "olléh"),
        (slice(1, None, sys.maxsize), "é"), (slice(4, None, -sys.maxsize), "o"),
    ],
)
def test_scalar_subscription_counts_code_points(key, expected):
    assert texts("héllo")[key] == expected
    assert type(texts("héllo")[key]) is str


@given(text=st.text(max_size=8), data=st.data())
def test_scalar_subscription_follows_str(text, data):
    result = texts(text)
    key = data.draw(st.slices(len(text) + 2) | st.integers(-len(text) - 2, len(text) + 2))
    if isinstance(key, int) and not -len(text) <= key < len(text):
        with pytest.raises(IndexError, match=OUT_OF_RANGE):
            result[key]
    else:
        assert result[key] == text[key]


def test_scalar_element_is_not_trimmed():
    result = varnex.get("<r>  a  </r>", "r")
    assert result.to_str() == "a"
    assert result[0] == " "
    assert result[2] == "a"
    assert result[:] == "  a  "


def test_scalar_element_text_resolves_entities():
    assert varnex.get("<r>a&amp;b</r>", "r")[1] == "&"


# ---- DictElement -----------------------------------------------------------


def test_dict_string_keys():
    result = varnex.get(DICT_DOC, "r")
    a = result["a"]
    assert len(a) == 2
    assert a.type_ is list
    assert [x.to_str() for x in a] == ["1", "2"]
    assert result["b"].type_ is str
    assert result["b"].to_str() == ""


@pytest.mark.parametrize(
    ("key", "error", "arg"),
    [
        ("c", KeyError, "c"),
        (0, KeyError, 0),
        (Index(3), KeyError, 3),
        (slice(0, 1), KeyError, "slice keys are not supported on dict-like Result"),
        (slice(0, 1, 0), KeyError, "slice keys are not supported on dict-like Result"),
        (1.0, TypeError, BAD_INDEX),
        (2**70, TypeError, BAD_INDEX),
    ],
)
def test_dict_key_errors(key, error, arg):
    with pytest.raises(error) as caught:
        varnex.get(DICT_DOC, "r")[key]
    assert caught.value.args == (arg,)


def test_dict_key_matches_name_exactly():
    result = varnex.get("<r><x:a>1</x:a><A>2</A><a>3</a></r>", "r")
    assert result["x:a"] == "1"
    assert result["a"] == "3"
    assert result["A"] == "2"


def test_dict_key_values_are_copies():
    doc = bytearray(b"<r><a>1</a><b>2</b></r>")
    result = varnex.parse(doc)
    a = result["a"]
    doc[:] = b"<r><b>9</b></r>"
    assert a.to_str() == "1"
    assert result["b"] == "9"  # the document itself is re-read


def test_dict_key_with_nested_children():
    result = varnex.get("<r><a><b>1</b><b>2</b></a></r>", "r")
    assert result["a"].type_ is dict
    assert result["a"]["b"] == ["1", "2"]


def test_surrogate_key_raises_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        varnex.get(DICT_DOC, "r")["\ud800"]


# ---- errors shared by the modes -------------------------------------------


@pytest.mark.parametrize(
    ("result", "mode"),
    [(texts(), "empty"), (texts("x"), "scalar"), (texts("x", "y"), "multi")],
    ids=["empty", "scalar", "multi"],
)
def test_string_key_outside_dict_mode(result, mode):
    with pytest.raises(TypeError) as caught:
        result["a"]
    expected = f"string keys are only valid on dict-like Result; this Result is {mode}"
    assert str(caught.value) == expected


@pytest.mark.parametrize("result", [texts(), texts("xyz"), texts("x", "y", "z")])
@pytest.mark.parametrize(
    ("key", "error", "message"),
    [
        (3, IndexError, OUT_OF_RANGE),
        (-4, IndexError, OUT_OF_RANGE),
        (-(2**63), IndexError, OUT_OF_RANGE),
        (2**63 - 1, IndexError, OUT_OF_RANGE),
        (2**63, TypeError, BAD_INDEX),
        (1.0, TypeError, BAD_INDEX),
        (None, TypeError, BAD_INDEX),
        (b"a", TypeError, BAD_INDEX),
        (slice(None, None, 0), ValueError, "slice step cannot be zero"),
    ],
)
def test_key_errors(result, key, error, message):
    with pytest.raises(error, match=f"^{message}$"):
        result[key]


def test_empty_subscription():
    assert texts()[:].exists() is False
    assert texts()[::-1].value is None
    with pytest.raises(IndexError, match=OUT_OF_RANGE):
        texts()[0]


@pytest.mark.parametrize(
    ("raw", "message"),
    [
        (b"ab\xff", "invalid utf-8 sequence of 1 bytes from index 2"),
        (b"a\xe2\x82", "incomplete utf-8 byte sequence from index 1"),
    ],
)
@pytest.mark.parametrize("key", [0, -1, slice(None), slice(5, 9)])
def test_scalar_text_not_utf8(raw, message, key):
    with pytest.raises(ValueError, match=f"^{message}$"):
        texts(raw)[key]


def test_unreadable_source_raises_the_source_error():
    view = memoryview(b"<r><a/></r>")
    result = varnex.parse(view)
    view.release()
    with pytest.raises(ValueError, match="data must be bytes, str, or a buffer-protocol object"):
        result["a"]


# ---- Result.get --------------------------------------------------------------

DOC = '<?xml version="1.0"?><a x="1"><b>1</b><b>2</b><c><b>3</b></c></a>'


@pytest.mark.parametrize("path", ["a.b", "a.b.#", "a.c.b", "a.@x", "a.b|@count", "a.*", "a.b.1"])
def test_get_on_parse_result_is_a_document_query(path):
    for data in (DOC, DOC.encode(), bytearray(DOC.encode())):
        sub = varnex.parse(data).get(path)
        expected = varnex.get_bytes(DOC.encode(), path)
        assert len(sub) == len(expected)
        assert sub.to_str() == expected.to_str()


@pytest.mark.parametrize(
    ("path", "expected"),
    [("b", ["1", "2"]), ("b.#", ["2"]), ("c.b", ["3"]), ("b.1", ["2"]),
     ("b|@reverse", ["2", "1"]), ("b|@count", ["2"]), ("**.b|@count", ["3"]), ("a", []),
     ("@x", ["1"]), ("#text", ["123"])],
)
def test_get_on_element_result_starts_among_its_children(path, expected):
    for run in (varnex.get, lambda d, p: varnex.get_buffer(d.encode(), p)):
        element = run(DOC, "a")
        assert element.get(path) == expected


def test_get_results_are_copies():
    doc = bytearray(b"<a><b>1</b></a>")
    sub = varnex.parse(doc).get("a.b")
    doc[:] = b"<a><b>2</b></a>"
    assert sub == "1"


@pytest.mark.parametrize("result", [texts(), texts("x"), varnex.get(DOC, "a.c")])
def test_get_with_empty_path(result):
    assert result.get("").exists() is False


@pytest.mark.parametrize("result", [texts(), texts("x")])
def test_get_on_empty_or_text_result(result):
    assert result.get("a.b").exists() is False
    with pytest.raises(ValueError, match="^unmatched "):
        result.get("a)")


@pytest.mark.parametrize("path", ["b", "", "a)"])
def test_get_on_multi_result(path):
    with pytest.raises(ValueError) as caught:
        texts("x", "y").get(path)
    assert str(caught.value) == GET_ON_MULTI


def test_get_ambiguous_path():
    with pytest.raises(ValueError, match="^path is ambiguous: b matches multiple elements"):
        varnex.get(DOC, "a").get("b.x")


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda r: r.get(), "Result.get() missing 1 required positional argument: 'path'"),
        (lambda r: r.get("b", "c"), "Result.get() takes 1 positional arguments but 2 were given"),
        (lambda r: r.get(p="b"), "Result.get() got an unexpected keyword argument 'p'"),
        (lambda r: r.get("b", path="b"), "Result.get() got multiple values for argument 'path'"),
        (lambda r: r.get(b"b"), "argument 'path': 'bytes' object is not an instance of 'str'"),
        (lambda r: r.get(None), "argument 'path': 'None' is not an instance of 'str'"),
    ],
)
def test_get_argument_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call(varnex.get(DOC, "a"))
    assert str(caught.value) == message


def test_get_signature():
    assert varnex.get(DOC, "a").get(path="c.b") == "3"
    assert varnex.Result.get.__text_signature__ == "($self, path)"
    assert varnex.Result.get.__doc__ is None

"""repr() of Results and their views."""

from __future__ import annotations

import pytest
import varnex
from conftest import texts


@pytest.mark.parametrize(
    ("result", "expected"),
    [
        (texts(), "None"),
        (texts("1.50"), "1.5"),
        (texts("  hello \n"), "hello"),
        (varnex.get("<r> t&amp;u </r>", "r"), "t&u"),
        (texts(" 1 ", "2.0", "x", "y"), "<Result type=list, value=[1, 2.0, ...]>"),
        (varnex.get("<r><x><y/></x><z>t</z></r>", "r.*"),
         "<Result type=list, value=[<Result type=dict, keys=[y]>, t]>"),
        (varnex.get("<r><a/><b/></r>", "r"), "<Result type=dict, keys=[a, b]>"),
        (varnex.get("<r><a/><b/><a/><c/></r>", "r"), "<Result type=dict, keys=[a, b, ...]>"),
        (varnex.get("<r><a/><a/><a/></r>", "r"), "<Result type=dict, keys=[a]>"),
        (varnex.parse(b"<r><\xff\xfe/></r>"), "<Result type=dict, keys=[\ufffd\ufffd]>"),
    ],
)
def test_result_repr(result, expected):
    assert repr(result) == expected
    assert str(result) == expected


@pytest.mark.parametrize(
    ("result", "expected"),
    [
        (texts(b" \xff "), "\ufffd"),
        (texts("a", b"ab\xe2\x82"), "<Result type=list, value=[a, ab\ufffd]>"),
        (varnex.get_bytes(b'<r a="\xff"/>', "r.@a"), "\ufffd"),
        # The third item is never looked at.
        (texts("a", "b", b"\xff"), "<Result type=list, value=[a, b, ...]>"),
    ],
)
def test_repr_never_raises_for_bytes_that_are_not_utf8(result, expected):
    assert repr(result) == expected
    with pytest.raises(ValueError):  # the conversions still refuse them
        _ = result == result


@pytest.mark.parametrize(
    ("doc", "expected"),
    [
        (b"<r><a/><a/><x:b/></r>", 'result_keys(["a", "x:b"])'),
        (b"<r><a\\b/></r>", 'result_keys(["a\\\\b"])'),
        (b"<r><a\x07/><b\x00/><c\x7f/></r>", 'result_keys(["a\\u{7}", "b\\u{0}", "c\\u{7f}"])'),
        (b"<r><\xff/><b/></r>", 'result_keys(["", "b"])'),
        # every name, however many
        (b"<r>" + b"".join(b"<n%d/>" % i for i in range(40)) + b"</r>",
         "result_keys([" + ", ".join(f'"n{i}"' for i in range(40)) + "])"),
    ],
)
def test_view_reprs(doc, expected):
    result = varnex.parse(doc)
    assert repr(result.keys()) == str(result.keys()) == expected
    assert repr(result.items()) == "result_items([...])"
    assert str(result.children()) == "result_children([...])"

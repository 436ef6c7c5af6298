"""keys(), values(), items() and children(): the dict-like views and their iterators."""

from __future__ import annotations

import pytest
import varnex

DOC = "<r><a>1</a><b>2</b><a>3</a></r>"
METHODS = ["keys", "values", "items", "children"]
NOT_UTF8 = "^invalid utf-8 sequence of 1 bytes from index 0$"


def r(doc=DOC):
    return varnex.get(doc, "r")


def test_views_of_repeated_names():
    result = r()
    assert [len(getattr(result, m)()) for m in METHODS] == [2, 2, 2, 3]
    assert list(result.keys()) == ["a", "b"]
    assert [v.to_str() for v in result.values()] == ["<a>1</a>\n<a>3</a>", "2"]
    items = list(result.items())
    assert [(k, v.type_, v.to_str()) for k, v in items] == [
        ("a", list, "<a>1</a>\n<a>3</a>"), ("b", int, "2")]
    assert [(n, len(v), v.to_str()) for n, v in result.children()] == [
        ("a", 1, "1"), ("b", 1, "2"), ("a", 1, "3")]
    assert ("b", "2") in result.items()  # by iteration; a Result equals its text
    assert ("a", "3") in result.children()
    keys = ["a", "c", "A", 5, b"a", "\ud800"]
    assert [k in result.keys() for k in keys] == [True, False, False, False, False, False]


def test_only_direct_child_elements_appear():
    result = r("<r>t<!--c--><?pi x?><x:a>x<n>y</n>z</x:a><![CDATA[<q/>]]><b/>\n</r>")
    assert list(result.keys()) == ["x:a", "b"]
    assert [v.to_str() for v in result.values()] == ["<x:a>x<n>y</n>z</x:a>", ""]
    assert "x:a" in result.keys() and "a" not in result.keys()  # a prefix is part of the name


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(
    ("result", "mode"),
    [
        (varnex.get("<r/>", "r.x"), "empty"),
        (varnex.get("<r>t</r>", "r"), "scalar"),
        (varnex.get("<r><a/><a/></r>", "r.a"), "multi"),
    ],
)
def test_views_need_a_dict_like_result(method, result, mode):
    with pytest.raises(TypeError) as caught:
        getattr(result, method)()
    assert str(caught.value) == (
        f"Result.{method}() requires a dict-like Result (single element with children); got {mode}"
    )


@pytest.mark.parametrize("method", METHODS)
def test_views_are_reiterable(method):
    view = getattr(r(), method)()
    first, second = iter(view), iter(view)
    assert first is not second
    assert repr(list(first)) == repr(list(second))
    assert len(list(view)) == len(view)


def test_views_reread_a_mutable_parent_but_iterators_keep_a_snapshot():
    doc = bytearray(b"<r><a>1</a><b>2</b></r>")
    result = varnex.parse(doc)
    keys, children = result.keys(), result.children()
    value_iter, child_iter = iter(result.values()), iter(children)
    doc[:] = b"<r><c>3</c><c>4</c><d/></r>"  # nothing keeps the buffer locked
    assert (list(keys), len(children)) == (["c", "d"], 3)
    assert [v.to_str() for v in value_iter] == ["1", "2"]
    assert [n for n, _ in child_iter] == ["a", "b"]


def test_unreadable_parent_raises_the_source_error():
    view = memoryview(b"<r><a/></r>")
    result = varnex.parse(view)
    keys, values, children = result.keys(), result.values(), result.children()
    view.release()
    for operation, target in [(len, keys), (iter, keys), (lambda v: "a" in v, keys),
                              (len, values), (iter, values), (iter, children)]:
        with pytest.raises(ValueError, match="data must be bytes, str, or a buffer-protocol"):
            operation(target)
    assert repr(values) == "result_values([...])"


def test_names_that_are_not_utf8():
    result = varnex.parse(b"<r><\xff/><b>2</b></r>")
    assert len(result.keys()) == 2
    for view in (result.keys(), result.items()):
        with pytest.raises(ValueError, match=NOT_UTF8):
            iter(view)
    assert [v.to_str() for v in result.values()] == ["", "2"]  # values never decode names
    children = iter(result.children())
    with pytest.raises(ValueError, match=NOT_UTF8):
        next(children)
    name, value = next(children)  # the bad child was stepped over
    assert (name, value.to_str()) == ("b", "2")

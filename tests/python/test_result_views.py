"""keys(), values(), items() and children(): the dict-like views and their iterators."""

from __future__ import annotations

import gc
import weakref

import pytest
import varnex
from varnex import _varnex

DOC = "<r><a>1</a><b>2</b><a>3</a></r>"
BAD_NAME_DOC = b"<r><\xff/><b>2</b></r>"
METHODS = ["keys", "values", "items", "children"]


def r(doc=DOC):
    return varnex.get(doc, "r")


def test_views_of_repeated_names():
    result = r()
    assert len(result.keys()) == 2
    assert list(result.keys()) == ["a", "b"]
    assert len(result.values()) == 2
    assert [v.to_str() for v in result.values()] == ["<a>1</a>\n<a>3</a>", "2"]
    assert len(result.items()) == 2
    items = list(result.items())
    assert [k for k, _ in items] == ["a", "b"]
    assert items[0][1].type_ is list
    assert items[0][1].to_str() == "<a>1</a>\n<a>3</a>"
    assert len(result.children()) == 3
    children = list(result.children())
    assert [n for n, _ in children] == ["a", "b", "a"]
    assert [v.to_str() for _, v in children] == ["1", "2", "3"]
    assert all(len(v) == 1 for _, v in children)


@pytest.mark.parametrize(
    ("key", "expected"),
    [("a", True), ("b", True), ("c", False), ("", False), ("A", False), (5, False),
     (None, False), (b"a", False), ("\ud800", False)],
)
def test_keys_membership(key, expected):
    assert (key in r().keys()) is expected


def test_membership_of_other_views_falls_back_to_iteration():
    result = r()
    assert "2" in result.values()  # a Result equals its text
    assert ("b", "2") in result.items()
    assert ("a", "2") not in result.items()
    assert ("a", "3") in result.children()


def test_prefixed_names_are_matched_as_written():
    result = r("<r><x:a>1</x:a></r>")
    assert list(result.keys()) == ["x:a"]
    assert "x:a" in result.keys()
    assert "a" not in result.keys()


def test_empty_element_children():
    result = r("<r><a/><a/></r>")
    assert list(result.keys()) == ["a"]
    (value,) = list(result.values())
    assert value.type_ is list
    assert [x.to_str() for x in value] == ["", ""]
    assert value.to_str() == "<a/>\n<a/>"


def test_only_elements_appear():
    doc = "<r>t<!--c--><?pi x?><a>x<n>y</n>z</a><![CDATA[<q/>]]>t<b/>\n</r>"
    result = r(doc)
    assert list(result.keys()) == ["a", "b"]
    assert [n for n, _ in result.children()] == ["a", "b"]
    assert result["a"].to_str() == "<a>x<n>y</n>z</a>"
    assert next(iter(result.values())).to_str() == "<a>x<n>y</n>z</a>"


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(
    ("result", "mode"),
    [
        (varnex.get("<r/>", "r.x"), "empty"),
        (varnex.get("<r>t</r>", "r"), "scalar"),
        (varnex.get("<r a='1'/>", "r.@a"), "scalar"),
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
def test_view_method_arguments(method):
    with pytest.raises(TypeError) as caught:
        getattr(r(), method)(1)
    assert str(caught.value) == f"Result.{method}() takes 0 positional arguments but 1 was given"
    with pytest.raises(TypeError) as caught:
        getattr(r(), method)(x=1)
    assert str(caught.value) == f"Result.{method}() got an unexpected keyword argument 'x'"
    assert getattr(varnex.Result, method).__text_signature__ == "($self)"


@pytest.mark.parametrize("method", METHODS)
def test_views_are_reiterable_and_iterators_independent(method):
    view = getattr(r(), method)()
    first, second = iter(view), iter(view)
    assert first is not second
    a = next(first)
    assert next(first) is not None
    b = next(second)
    assert (a if isinstance(a, str) else a[0] if isinstance(a, tuple) else a.to_str()) == (
        b if isinstance(b, str) else b[0] if isinstance(b, tuple) else b.to_str()
    )
    assert len(list(view)) == len(view)


def test_views_reread_a_mutable_parent_but_iterators_keep_a_snapshot():
    doc = bytearray(b"<r><a>1</a><b>2</b></r>")
    result = varnex.parse(doc)
    keys, values, children = result.keys(), result.values(), result.children()
    value_iter, child_iter = iter(values), iter(children)
    doc[:] = b"<r><c>3</c><c>4</c><d/></r>"  # nothing keeps the buffer locked
    assert list(keys) == ["c", "d"]
    assert len(children) == 3
    assert [v.to_str() for v in value_iter] == ["1", "2"]
    assert [n for n, _ in child_iter] == ["a", "b"]


def test_values_are_copies():
    doc = bytearray(b"<r><a>1</a><b>2</b></r>")
    values = list(varnex.parse(doc).values())
    doc[:] = b"<r><a>9</a><b>9</b></r>"
    assert [v.to_str() for v in values] == ["1", "2"]


def test_unreadable_parent_raises_the_source_error():
    view = memoryview(b"<r><a/></r>")
    result = varnex.parse(view)
    keys, values, children = result.keys(), result.values(), result.children()
    view.release()
    message = "data must be bytes, str, or a buffer-protocol object"
    for operation in (len, iter, lambda v: "a" in v):
        with pytest.raises(ValueError, match=message):
            operation(keys)
    for operation, target in [(len, values), (iter, values), (len, children), (iter, children)]:
        with pytest.raises(ValueError, match=message):
            operation(target)
    assert repr(values) == "result_values([...])"


def test_names_that_are_not_utf8():
    result = varnex.parse(BAD_NAME_DOC)
    assert len(result.keys()) == 2
    with pytest.raises(ValueError, match="^invalid utf-8 sequence of 1 bytes from index 0$"):
        iter(result.keys())
    with pytest.raises(ValueError, match="^invalid utf-8 sequence of 1 bytes from index 0$"):
        iter(result.items())
    assert [v.to_str() for v in result.values()] == ["", "2"]  # values never decode names
    children = iter(result.children())
    with pytest.raises(ValueError, match="^invalid utf-8"):
        next(children)
    name, value = next(children)  # the bad child was stepped over
    assert (name, value.to_str()) == ("b", "2")
    with pytest.raises(StopIteration):
        next(children)


def test_many_children_keep_their_order():
    names = [f"n{i % 7}" for i in range(200)]
    doc = "<r>" + "".join(f"<{n}>{i}</{n}>" for i, n in enumerate(names)) + "</r>"
    result = r(doc)
    assert list(result.keys()) == [f"n{i}" for i in range(7)]
    assert [n for n, _ in result.children()] == names
    values = dict(result.items())
    assert [x.to_str() for x in values["n3"]] == [str(i) for i in range(3, 200, 7)]


VIEW_CLASSES = [
    ("ResultKeysView", "keys",
     "dict.keys()-like view over a DictElement Result. Re-iterable; each call to\n"
     "__iter__ produces a fresh, lazy iterator."),
    ("ResultValuesView", "values", "dict.values()-like view over a DictElement Result."),
    ("ResultItemsView", "items", "dict.items()-like view over a DictElement Result."),
    ("ResultChildrenView", "children",
     "Order-preserving view over every direct child element of a DictElement\n"
     "Result. Re-iterable; each call to `__iter__` produces a fresh, lazy iterator."),
]

ITER_CLASSES = [
    ("ResultChildKeyIter", "keys", None),
    ("ResultChildValueIter", "values",
     "Yields a `Result` per unique child tag, containing every direct child with\n"
     "that tag. Bytes for matching children are sliced out of the parent bytes\n"
     "only when each value is produced."),
    ("ResultChildItemIter", "items",
     "Yields `(key_str, value_Result)` tuples, one per unique child tag."),
    ("ResultChildIter", "children",
     "Yields `(name_str, value_Result)` for every direct child element in document\n"
     "order. Unlike `ResultChildItemIter`, repeated tag names are not collapsed:\n"
     "each child element produces its own pair, so the interleaving of differently\n"
     "named siblings is preserved."),
]


@pytest.mark.parametrize(("name", "method", "doc"), VIEW_CLASSES + ITER_CLASSES)
def test_classes(name, method, doc):
    cls = getattr(_varnex, name)
    assert cls.__module__ == "varnex._varnex"
    assert cls.__qualname__ == name
    assert name in _varnex.__all__
    if doc is not None:
        assert cls.__doc__ == doc
    with pytest.raises(TypeError):
        cls()
    view = getattr(r(), method)()
    obj = view if name.endswith("View") else iter(view)
    assert type(obj) is cls
    if name.endswith("Iter"):
        assert iter(obj) is obj
    else:
        hash(view)  # identity hash only
        assert view != getattr(r(), method)()


@pytest.mark.parametrize(
    ("method", "doc"),
    [
        ("keys", "Return a view of the dict-mode Result's child element keys (unique,\n"
                 "first-occurrence order). Errors with `TypeError` for non-dict modes."),
        ("values", "Return a view of the dict-mode Result's child values. For each unique\n"
                   "key, the value is a Result over all direct children with that tag."),
        ("items", "Return a view of the dict-mode Result's `(key, value_Result)` pairs."),
        ("children", "Return a view of the dict-mode Result's `(name, value_Result)` pairs for\n"
                     "every direct child element, in document order. Unlike `items()`, repeated\n"
                     "tag names are not collapsed: each child element yields its own pair."),
    ],
)
def test_method_docs(method, doc):
    assert getattr(varnex.Result, method).__doc__ == doc


def test_view_and_iterator_cycles_are_collected():
    class Doc(bytes):
        pass

    class Marker:
        pass

    doc = Doc(b"<r><a>1</a><a>2</a></r>")
    doc.marker = Marker()
    alive = weakref.ref(doc.marker)  # bytes objects take no weak references
    doc.view = varnex.parse(doc).keys()  # doc -> view -> result -> doc
    doc.items = iter(varnex.get_bytes(doc, "r.a"))  # doc -> iterator -> result -> doc
    del doc
    gc.collect()
    assert alive() is None

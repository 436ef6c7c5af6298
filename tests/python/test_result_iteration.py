"""Iterating a Result by mode, membership, the dict-like views (keys(), values(), items(),
children()), and the iterators' exclusive-use guard."""

from __future__ import annotations

import gc
import sys

import pytest
import varnex
from conftest import texts
from varnex import _varnex

DICT_DOC = "<r><a>1</a><b/><a>2</a><!-- c --><x:c/></r>"


@pytest.mark.parametrize(
    ("result", "kind", "expected"),
    [
        (texts(), type(iter([])), []),
        (texts(" é𝄞 "), _varnex.ResultCharIter, [" ", "é", "𝄞", " "]),
        (varnex.get("<r> t&lt;</r>", "r"), _varnex.ResultCharIter, [" ", "t", "<"]),
        (varnex.get("<r/>", "r"), _varnex.ResultCharIter, []),
        (varnex.get(DICT_DOC, "r"), _varnex.ResultChildKeyIter, ["a", "b", "x:c"]),
        (texts("x", "y"), _varnex.ResultItemIter, ["x", "y"]),
        (varnex.get("<r><i>1</i><i><j/></i></r>", "r.i"), _varnex.ResultItemIter,
         ["1", "<i><j/></i>"]),
    ],
)
def test_iteration_by_mode(result, kind, expected):
    it = iter(result)
    assert type(it) is kind
    assert iter(it) is it
    got = list(it)
    if kind is _varnex.ResultItemIter:
        assert all(type(x) is varnex.Result and len(x) == 1 for x in got)
        got = [x.to_str() for x in got]
    assert got == expected
    with pytest.raises(StopIteration):
        next(it)  # stays exhausted


@pytest.mark.parametrize(
    ("result", "present", "absent"),
    [
        (texts(), [], ["", None]),
        (texts("abc"), ["a", "c"], ["ab", "", "d", 1]),
        (varnex.get(DICT_DOC, "r"), ["a", "x:c"], ["c", "1", 0]),
        (texts(" x ", "y"), [" x ", "y"], ["x", 1]),
    ],
)
def test_membership_follows_iteration(result, present, absent):
    assert all(x in result for x in present)
    assert not any(x in result for x in absent)


def test_item_iterators_hold_their_parent():  # their snapshots: see test_inputs
    parent = texts("a", "b")
    before = sys.getrefcount(parent)
    items = iter(parent)
    assert sys.getrefcount(parent) == before + 1
    del items
    assert sys.getrefcount(parent) == before


def test_char_iterator_reports_bad_text_on_every_step():
    it = iter(texts(b"ab\xe2\x82"))  # making the iterator succeeds
    for _ in range(2):
        with pytest.raises(ValueError, match="^incomplete utf-8 byte sequence from index 2$"):
            next(it)
    with pytest.raises(ValueError, match="^invalid utf-8 sequence of 1 bytes from index 0$"):
        iter(varnex.parse(b"<r><\xff/><b/></r>"))  # dict keys are decoded up front


REENTRANT = {
    "items": lambda: iter(texts("a", "b", "c")),
    "values": lambda: iter(varnex.get("<r><a/><b/><c/></r>", "r").values()),
    "pairs": lambda: iter(varnex.get("<r><a/><b/><c/></r>", "r").items()),
    "children": lambda: iter(varnex.get("<r><a/><b/><c/></r>", "r").children()),
}


@pytest.fixture
def eager_gc():
    threshold = gc.get_threshold()
    gc.disable()
    yield
    gc.set_threshold(*threshold)
    gc.enable()


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="collections run deferred from 3.12")
@pytest.mark.parametrize("kind", sorted(REENTRANT))
def test_reentered_next_is_refused(kind, eager_gc):
    it = REENTRANT[kind]()
    seen = []

    class Trap:
        def __del__(self):
            for attempt in (next, iter):
                try:
                    attempt(it)
                    seen.append("ok")
                except RuntimeError as error:
                    seen.append(str(error))

    trap = Trap()
    trap.cycle = trap
    del trap
    gc.set_threshold(1)  # the next allocation, inside __next__, collects the trap
    gc.enable()
    next(it)
    gc.disable()
    assert seen == ["Already borrowed", "Already mutably borrowed"]
    assert len(list(it)) == 2  # the cursor moved once


VIEW_DOC = "<r><a>1</a><b>2</b><a>3</a></r>"
METHODS = ["keys", "values", "items", "children"]
NOT_UTF8 = "^invalid utf-8 sequence of 1 bytes from index 0$"


def test_views_of_repeated_names():
    result = varnex.get(VIEW_DOC, "r")
    views = [getattr(result, m)() for m in METHODS]
    assert [len(view) for view in views] == [2, 2, 2, 3]
    for view in views:  # each iter() starts again
        first, second = iter(view), iter(view)
        assert first is not second and repr(list(first)) == repr(list(second))
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

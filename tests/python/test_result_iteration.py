"""Iterating a Result by mode, membership, and the iterators' exclusive-use guard."""

from __future__ import annotations

import ast
import gc
import sys
from pathlib import Path

import pytest
import varnex
from varnex import _varnex

DICT_DOC = "<r><a>1</a><b/><a>2</a><!-- c --><x:c/></r>"


def escape(value: bytes) -> bytes:
    return value.replace(b"&", b"&amp;").replace(b'"', b"&quot;").replace(b"<", b"&lt;")


def texts(*values: str | bytes):
    """A Result holding one text item per value (one item: ScalarLike, none: Empty)."""
    raws = [v.encode() if isinstance(v, str) else v for v in values]
    doc = b"<r>" + b"".join(b'<i a="' + escape(v) + b'"/>' for v in raws) + b"</r>"
    return varnex.get_bytes(doc, "r.i.#.@a")


# ---- by mode -----------------------------------------------------------------


def test_empty_iterates_as_an_empty_list():
    it = iter(texts())
    assert type(it) is type(iter([]))
    assert list(it) == []


@pytest.mark.parametrize(
    ("result", "expected"),
    [
        (texts("héllo"), ["h", "é", "l", "l", "o"]),
        (texts(" a "), [" ", "a", " "]),
        (texts("𝄞x"), ["𝄞", "x"]),
        (texts(""), []),
        (varnex.get("<r> t&lt; </r>", "r"), [" ", "t", "<", " "]),
        (varnex.get("<r/>", "r"), []),
    ],
)
def test_scalar_iterates_code_points(result, expected):
    it = iter(result)
    assert type(it) is _varnex.ResultCharIter
    assert list(it) == expected


def test_dict_iterates_unique_keys():
    it = iter(varnex.get(DICT_DOC, "r"))
    assert type(it) is _varnex.ResultChildKeyIter
    assert list(it) == ["a", "b", "x:c"]


def test_multi_iterates_single_item_results():
    result = varnex.get("<r><i>1</i><i><j/></i><i>3</i></r>", "r.i")
    it = iter(result)
    assert type(it) is _varnex.ResultItemIter
    items = list(it)
    assert all(type(x) is varnex.Result and len(x) == 1 for x in items)
    assert [x.to_str() for x in items] == ["1", "<i><j/></i>", "3"]
    assert items[1].type_ is dict


@pytest.mark.parametrize(
    ("result", "present", "absent"),
    [
        (texts(), [], ["", "a", None]),
        (texts("abc"), ["a", "c"], ["ab", "abc", "", "d", 1]),
        (varnex.get(DICT_DOC, "r"), ["a", "x:c"], ["c", "1", 0]),
        (texts(" x ", "y"), [" x ", "y"], ["x", "z", 1]),
    ],
    ids=["empty", "scalar", "dict", "multi"],
)
def test_membership_follows_iteration(result, present, absent):
    for x in present:
        assert x in result
    for x in absent:
        assert x not in result


# ---- iterator behaviour --------------------------------------------------------

ITERATORS = {
    "ResultCharIter": lambda: iter(texts("ab")),
    "ResultItemIter": lambda: iter(texts("a", "b")),
    "ResultChildKeyIter": lambda: iter(varnex.get("<r><a/><b/></r>", "r")),
}


@pytest.mark.parametrize("name", sorted(ITERATORS))
def test_iterator_protocol(name):
    it = ITERATORS[name]()
    assert iter(it) is it
    assert len(list(it)) == 2
    with pytest.raises(StopIteration):
        next(it)
    assert list(it) == []  # stays exhausted


@pytest.mark.parametrize(
    ("name", "doc"),
    [
        (
            "ResultItemIter",
            "Yields a single-item `Result` for each entry of a Multi-mode parent.\n"
            "Holds only a cursor and a borrowed reference to the parent Result; each\n"
            "step clones one `PyItem` (cheap) and wraps it in a fresh `Result`.",
        ),
        (
            "ResultCharIter",
            "Yields each Unicode code point of a Scalar/TextElement Result one at a\n"
            "time. The text bytes are materialized once at iter creation; iteration\n"
            "itself walks UTF-8 code points without further allocation per step.",
        ),
        ("ResultChildKeyIter", "Yields each unique child tag name of a DictElement-mode Result."),
    ],
)
def test_iterator_classes(name, doc):
    cls = getattr(_varnex, name)
    assert cls.__doc__ == doc
    assert cls.__module__ == "varnex._varnex"
    assert cls.__qualname__ == name
    assert name in _varnex.__all__
    with pytest.raises(TypeError):
        cls()
    it = ITERATORS[name]()
    assert repr(it).startswith(f"<varnex._varnex.{name} object at 0x")
    assert not hasattr(it, "__len__")


def test_iterators_are_independent_of_their_maker():
    doc = bytearray(b"<r>ab<x/></r>")
    result = varnex.parse(doc)
    keys = iter(result)
    doc[:] = b"<r>cd</r>"  # no buffer is held between calls
    assert list(keys) == ["x"]
    chars = iter(result)
    doc[:] = b"<r>zz</r>"
    assert list(chars) == ["c", "d"]


def test_item_iterator_keeps_its_parent_alive():
    result = texts("a", "b", "c")
    before = sys.getrefcount(result)
    it = iter(result)
    assert sys.getrefcount(result) == before + 1
    del result
    assert [x.to_str() for x in it] == ["a", "b", "c"]
    parent = texts("a", "b")
    it = iter(parent)
    del it
    assert sys.getrefcount(parent) == before


@pytest.mark.parametrize(
    ("raw", "message"),
    [
        (b"ab\xff", "invalid utf-8 sequence of 1 bytes from index 2"),
        (b"\xe2\x82", "incomplete utf-8 byte sequence from index 0"),
        (b"a\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 1"),
    ],
)
def test_char_iterator_reports_bad_text_on_every_step(raw, message):
    it = iter(texts(raw))  # making the iterator succeeds
    for _ in range(2):
        with pytest.raises(ValueError, match=f"^{message}$"):
            next(it)


def test_key_iterator_rejects_a_name_that_is_not_utf8():
    result = varnex.parse(b"<r><\xff/><b/></r>")
    with pytest.raises(ValueError, match="^invalid utf-8 sequence of 1 bytes from index 0$"):
        iter(result)


# ---- exclusive use -------------------------------------------------------------

REENTRANT = {
    "items": lambda: iter(texts("a", "b", "c")),
    "values": lambda: iter(varnex.get("<r><a/><b/><c/></r>", "r").values()),
    "pairs": lambda: iter(varnex.get("<r><a/><b/><c/></r>", "r").items()),
    "children": lambda: iter(varnex.get("<r><a/><b/><c/></r>", "r").children()),
}


@pytest.fixture
def eager_gc():
    """Collect on every allocation, so a finalizer runs inside the next __next__."""
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
            for attempt in (lambda: next(it), lambda: iter(it)):
                try:
                    attempt()
                    seen.append("ok")
                except RuntimeError as error:
                    seen.append(str(error))

    trap = Trap()
    trap.cycle = trap
    del trap
    gc.set_threshold(1)
    gc.enable()
    first = next(it)  # allocates, collects, and the finalizer calls back in
    gc.disable()
    assert seen == ["Already borrowed", "Already mutably borrowed"]
    # The cursor moved exactly once for the outer call.
    rest = list(it)
    assert len(rest) == 2
    assert first is not None


def test_type_stubs_declare_the_navigation_classes():
    stub = Path(varnex.__file__).with_name("_varnex.pyi")
    tree = ast.parse(stub.read_text())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    names = [n for n in _varnex.__all__ if n.startswith("Result") and n != "Result"]
    assert len(names) == 10
    assert set(names) <= set(classes)
    result_methods = {n.name for n in classes["Result"].body if isinstance(n, ast.FunctionDef)}
    wanted = {"get", "keys", "values", "items", "children", "__getitem__", "__iter__"}
    assert wanted <= result_methods

"""Help where users look: the native module's docstrings at run time are the stub's."""

from __future__ import annotations

import ast
import importlib.util
import inspect
import pydoc
import re
import sys
from pathlib import Path

import pytest
import varnex
from varnex import _varnex

GENERATOR = Path(__file__).resolve().parents[2] / "cmake" / "stub_docstrings.py"
STUB = Path(_varnex.__file__).with_name("_varnex.pyi")

pytestmark = pytest.mark.skipif(not GENERATOR.is_file(), reason="needs the source tree")


def load_generator():
    spec = importlib.util.spec_from_file_location("stub_docstrings", GENERATOR)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up there
    spec.loader.exec_module(module)
    return module


generator = load_generator() if GENERATOR.is_file() else None
DOCS = generator.docstrings(STUB.read_text(encoding="utf-8")) if generator else {}


def runtime_object(qualname: str):
    """The module, a module attribute, or what a class itself defines (not what it inherits)."""
    if not qualname:
        return _varnex
    owner, _, name = qualname.rpartition(".")
    return vars(getattr(_varnex, owner))[name] if owner else getattr(_varnex, name)


@pytest.mark.parametrize("qualname", sorted(DOCS))
def test_runtime_docstring_is_the_stubs(qualname):
    obj, doc = runtime_object(qualname), DOCS[qualname]
    assert obj.__doc__ == doc.text
    assert getattr(obj, "__text_signature__", None) == doc.signature


def test_every_public_name_is_documented():
    names = {""} | set(_varnex.__all__)
    for name in _varnex.__all__:
        obj = getattr(_varnex, name)
        if isinstance(obj, type) and not issubclass(obj, Exception):
            names |= {f"{name}.{member}" for member in vars(obj) if not member.startswith("_")}
    # The slots whose meaning a Result changes with its mode.
    names |= {f"Result.{slot}" for slot in ("__getitem__", "__iter__", "__len__", "__bool__",
                                            "__int__", "__float__", "__eq__", "__reduce__")}
    assert sorted(names - DOCS.keys()) == []
    # The package's own Python layer is documented where it is written.
    undocumented = [name for name in varnex.__all__ if not inspect.getdoc(getattr(varnex, name))]
    assert undocumented == []


def test_help_reads_as_written_for_users():
    page = pydoc.render_doc(varnex.Result, renderer=pydoc.plaintext)
    assert DOCS["Result"].text.splitlines()[0] in page
    assert "r[\"name\"]` gives the children so named" in page  # __getitem__'s own text
    # No docs-site links, nothing about how the binding is built.
    assert not re.search(r"\]\[varnex\.|py_get|ScalarLike|DictElement", page)
    assert str(inspect.signature(varnex.validate)) == "(data, strict=False, *, threads=1)"
    assert str(inspect.signature(varnex.Result.__getitem__)) == "(self, key, /)"
    assert "Attributes:\n    message: " in varnex.XMLSyntaxError.__doc__


SLOT_CASES = [  # (document, path): every slot method answers as its operator does
    ("<a><b>7</b></a>", "a.b"),
    ("<a><b>x</b><b>2.5</b></a>", "a.b"),
    ("<a><b><c>1</c></b></a>", "a.b"),
    ("<a/>", "a.b"),
]


@pytest.mark.parametrize(("data", "path"), SLOT_CASES)
def test_slot_methods_answer_as_their_operators(data, path):
    r = varnex.get(data, path)

    def outcome(call):
        try:
            value = call()
        except Exception as error:  # noqa: BLE001 - the same exception either way
            return type(error), str(error)
        return value if not isinstance(value, varnex.Result) else ("Result", value.to_str())

    pairs = [
        (lambda: r.__len__(), lambda: len(r)),
        (lambda: r.__bool__(), lambda: bool(r)),
        (lambda: r.__int__(), lambda: int(r)),
        (lambda: r.__float__(), lambda: float(r)),
        (lambda: r.__getitem__(0), lambda: r[0]),
        (lambda: r.__getitem__("c"), lambda: r["c"]),
        (lambda: r.__eq__("7"), lambda: r == "7"),
        (lambda: [str(x) for x in r.__iter__()], lambda: [str(x) for x in r]),
    ]
    for method, operator in pairs:
        assert outcome(method) == outcome(operator)


@pytest.mark.parametrize("text", ["plain", 'a "quote", a \\ and\nlines\n', "é7 — “x”\t\x01"])
def test_header_literals_hold_the_text(text):
    # The generated C++ literal, read back with the same escapes as Python bytes literals.
    literal = generator._literal(text)
    pieces = re.findall(r'"(?:[^"\\]|\\.)*"', literal)
    assert b"".join(ast.literal_eval("b" + piece) for piece in pieces).decode() == text


def test_signatures_follow_the_stubs_parameters():
    source = '''
def f(data, strict: bool = False, *, limit: int = 3) -> None:
    """F."""
def _private(x) -> None:
    """Not for users."""
class C:
    """C."""
    def m(self, key, /) -> None:
        """M."""
    @property
    def p(self) -> int:
        """P, see [`f`][varnex._varnex.f]."""
'''
    docs = generator.docstrings(source)
    assert {name: (d.signature, d.text) for name, d in docs.items()} == {
        "f": ("(data, strict=False, *, limit=3)", "F."),
        "C": (None, "C."),
        "C.m": ("($self, key, /)", "M."),
        "C.p": (None, "P, see `f`."),
    }
    assert docs["C.m"].internal("m") == "m($self, key, /)\n--\n\nM."

"""Argument binding: counts, keywords, types, and the module's public shape."""

from __future__ import annotations

import ast
import runpy
import sys
from pathlib import Path

import pytest
import varnex
from varnex import _varnex

DOC = "<a><b>1</b></a>"
R = varnex.get(DOC, "a.b")


# The plainest of each kind are the documentation's examples (docs/errors.md).
@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: varnex.get(), "get() missing 2 required positional arguments: 'data' and 'path'"),
        (lambda: varnex.get(path="a"), "get() missing 1 required positional argument: 'data'"),
        (lambda: varnex.get(DOC, "a", "b"), "get() takes 2 positional arguments but 3 were given"),
        (lambda: varnex.parse(DOC, 1), "parse() takes 1 positional arguments but 2 were given"),
        (lambda: R.to_int(1), "Result.to_int() takes 0 positional arguments but 1 was given"),
        # Counts and keywords are checked before any type.
        (lambda: varnex.get(1, 2, path=3), "get() got multiple values for argument 'path'"),
        (lambda: varnex.get(1, 2, paths=3), "get() got an unexpected keyword argument 'paths'"),
        (lambda: R.to_str(x=1), "Result.to_str() got an unexpected keyword argument 'x'"),
    ],
)
def test_count_and_keyword_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: varnex.get(None, "a"), "data': 'None' is not an instance of 'str'"),
        (lambda: varnex.get_bytes(bytearray(), "a"),
         "data': 'bytearray' object is not an instance of 'bytes'"),
        (lambda: varnex.get(DOC, b"a"), "path': 'bytes' object is not an instance of 'str'"),
        # Data is checked before path.
        (lambda: varnex.get(1, 2), "data': 'int' object is not an instance of 'str'"),
        # Qualified names, not bare ones.
        (lambda: varnex.get(Outer.Inner(), "a"),
         "data': 'Outer.Inner' object is not an instance of 'str'"),
    ],
)
def test_type_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == "argument '" + message
    assert info.value.__cause__ is None


class Outer:
    class Inner:
        pass


class Untruthful:
    def __bool__(self):
        try:
            return bool(1 // 0)
        except ZeroDivisionError as error:
            raise TypeError("no truth") from error


def test_a_reworded_argument_error_keeps_its_cause_and_frames():
    with pytest.raises(TypeError) as info:
        varnex.validate(DOC, Untruthful())
    assert str(info.value) == "argument 'strict': no truth"
    assert isinstance(info.value.__cause__, ZeroDivisionError)
    assert info.traceback[-1].name == "__bool__"


def test_plan_fields_are_read_by_name():
    # A bare tuple in the same order is refused, not read by position.
    bare = ("b", "b", "string", 0, 0, False, "error", "error", None, None, None)
    with pytest.raises(TypeError, match="a field is not a tuple varnex._fields made"):
        _varnex._compile_plan("a", (bare,), "raise")


def test_keywords_in_any_order_and_subclasses():
    S, B = type("S", (str,), {}), type("B", (bytes,), {})
    assert varnex.get(path="a.b", data=DOC) == "1"
    assert varnex.get(S(DOC), S("a.b")) == "1"
    assert varnex.get_bytes(B(DOC.encode()), "a.b") == "1"
    assert varnex.parse(data=DOC).exists()
    assert varnex.validate(data=DOC) is True


def test_module_shape():
    # The stub's __all__ is the list; the module's tables and the package's imports follow it.
    stub = ast.parse((Path(__file__).parents[2] / "python/varnex/_varnex.pyi").read_text())
    listed = next(ast.literal_eval(n.value) for n in stub.body
                  if isinstance(n, ast.Assign) and n.targets[0].id == "__all__")
    assert _varnex.__all__ == listed
    public = {n for n in dir(_varnex) if not n.startswith("_")}
    assert public == set(_varnex.__all__)
    assert varnex.__all__ == [*_varnex.__all__, "records", "table", "Field",
                              "SkippedRecordsWarning", "describe_records", "RecordsDescription",
                              "iter_batches", "iter_records", "to_parquet", "explain"]
    for cls in (getattr(_varnex, n) for n in _varnex.__all__):
        if isinstance(cls, type):  # named where pickle looks, and made only by the module
            assert (cls.__module__, cls.__qualname__) == ("varnex._varnex", cls.__name__)
            if issubclass(cls, Exception):  # XMLSyntaxError: raised by check() only
                continue
            with pytest.raises(TypeError):
                cls()
    # Their docstrings, the stub's, are test_docstrings' subject.
    signatures = [f.__text_signature__ for f in (varnex.get, varnex.Result.to_float)]
    assert signatures == ["(data, path, *, namespaces=None, threads=1)", "($self)"]
    with pytest.raises(AttributeError):  # hash() refusing them is in test_leaks' round
        R.value = 1


def test_typing_examples_hold_at_run_time():
    # The file the type checkers read (make typecheck); run, it checks every asserted type.
    runpy.run_path(str(Path(__file__).parents[1] / "typing" / "check_api.py"))
    shipped = {p.name for p in Path(varnex.__file__).parent.iterdir()}
    assert {"py.typed", "_varnex.pyi"} <= shipped


def test_each_interpreter_has_its_own_module():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    main_ids = [id(getattr(_varnex, n)) for n in ("Result", "Path", "XMLSyntaxError")]
    code = f"""if True:
        import sys
        sys.path[:0] = {sys.path!r}
        import varnex
        from varnex import _varnex
        ids = [id(getattr(_varnex, n)) for n in ("Result", "Path", "XMLSyntaxError")]
        assert not set(ids) & set({main_ids!r}), "classes shared between interpreters"
        r = varnex.compile("a.b").get_bytes(b"<a><b>1</b><b>2</b></a>")
        assert [x.to_str() for x in r] == ["1", "2"] and type(r) is _varnex.Result
        assert list(varnex.get("<a><b>1</b></a>", "a").items()) == [("b", "1")]
        try:
            varnex.check(b"<a>")
        except varnex.XMLSyntaxError:
            pass
    """
    sub = interpreters.create()
    try:
        interpreters.run_string(sub, code)
    finally:
        interpreters.destroy(sub)
    # The main interpreter's module is untouched by the other's end.
    assert varnex.get_bytes(b"<a><b>1</b></a>", "a.b") == "1"

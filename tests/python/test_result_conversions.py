"""Result modes and conversions: value, type_, to_*, protocol slots, equality and repr."""

from __future__ import annotations

import math
import re

import pytest
import varnex
from conftest import texts
from hypothesis import example, given
from hypothesis import strategies as st

I64_MAX = 2**63 - 1
I64_MIN = -(2**63)


@pytest.mark.parametrize(
    ("raw", "expected", "kind"),
    [
        # The grammar is checked against a reference below, and the documentation's examples
        # show the range and the forms that stay text; these are the other edges.
        ("\u00a0\u3000 7\u2029", 7, int),
        ("-9223372036854775808", I64_MIN, int),
        ("\x1c3", "\x1c3", str),  # not Unicode White_Space, so not trimmed
        ("  hello  ", "hello", str),
    ],
)
def test_scalar_value_and_type(raw, expected, kind):
    result = texts(raw)
    assert result.type_ is kind
    assert type(result.value) is kind
    assert result.value == expected


@pytest.mark.parametrize(
    ("raw", "to_int", "to_float"),
    [(" 2.5e1 ", 25, 25.0), (b"\xff1", 0, 0.0)],  # the rest: the comparison with a reference
)
def test_lenient_numbers(raw, to_int, to_float):
    result = texts(raw)
    assert result.to_int() == to_int
    assert result.to_float() == to_float


@pytest.mark.parametrize(
    ("raw", "expected"),
    [
        ("1", True), ("true", True), ('"1"', True), ('"T"', True), ('"True"', True),
        ("0", False), ("false", False), ('"0"', False), ('"f"', False), ('"FALSE"', False),
        ("True", False), ("t", False), ("yes", False), (" true ", False),
        ("", False), ("5", True), ("0.5", False), ("2.5", True), (" 1 ", True),
        ('"yes"', False), (b"\xfe", False),
    ],
)
def test_to_bool(raw, expected):
    assert texts(raw).to_bool() is expected


def test_empty_result():
    r = varnex.get("<r/>", "r.missing")
    assert (r.exists(), len(r), r.value, r.type_) == (False, 0, None, None)
    conversions = (r.to_str(), r.to_int(), r.to_float(), r.to_bool(), bool(r))
    assert conversions == ("", 0, 0.0, False, False)
    assert r != "" and r == []
    for slot in (int, float):
        with pytest.raises(TypeError):
            slot(r)


@pytest.mark.parametrize(
    ("doc", "kind"),
    [
        ("<r>a<b/>c</r>", dict),
        ("<r><x/></r>", dict),
        ("<r/>", str),
        ("<r><!-- c --><?pi x?><![CDATA[<x/>]]></r>", str),
        ("<r>12</r>", int),
        ("<r> caf\u00e9 &amp; 1 </r>", str),  # a text resolved into a buffer of its own
    ],
)
def test_element_modes(doc, kind):
    data = doc.encode()
    results = (varnex.get(doc, "r"), varnex.get_bytes(data, "r"), varnex.get_buffer(data, "r"),
               varnex.parse(doc), varnex.parse(data), varnex.parse(doc.encode("utf-16")),
               varnex.parse(bytearray(data)))
    # A Result keeps what it read of its element: every later use answers as the first.
    expected = [(kind, repr(results[0].value), bool(results[0]))] * 3
    for r in results:
        assert [(r.type_, repr(r.value), bool(r)) for _ in range(3)] == expected


def test_dict_element():
    doc = "<r><a>1</a><b>2</b><a>3</a></r>"
    r = varnex.get(doc, "r")
    value = r.value
    assert list(value) == ["a", "b"] and value["b"].value == 2
    assert value["a"].type_ is list and value["a"].to_str() == "<a>1</a>\n<a>3</a>"
    assert len(r) == 1 and bool(r) and r.to_bool()
    assert r.to_str() == doc
    assert r.to_int() == 123  # the element's whole text, read leniently


def test_parse_whole_document():
    doc = '<?xml version="1.0"?>\n<!-- lead --><r><a>1</a></r>\n'
    assert varnex.parse(doc).to_str() == doc
    assert varnex.parse("<!-- c --><r>  hi  </r>").to_str() == "hi"


def test_multi_result():
    r = texts("x", "y")
    assert r.type_ is list and [v.to_str() for v in r.value] == ["x", "y"]
    assert (r.to_str(), r.to_int(), r.to_bool(), bool(r)) == ("x\ny", 0, True, True)
    assert r == "x" and r != "y"  # a list equals its first item's text
    assert r == ["x", "y"] and r != ["x"] and r != ["x", 1]
    assert texts("3", "x").to_int() == 3


def test_invalid_utf8_text():
    r = texts(b"ok\xff")
    for call in (r.to_str, lambda: r.value, lambda: r.type_, lambda: repr(r.value)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == "invalid utf-8 sequence of 1 bytes from index 2"
    assert (r.to_int(), r.to_float(), r.to_bool()) == (0, 0.0, False)
    assert r != "ok"
    with pytest.raises(ValueError):  # a list's to_str() replaces them: see the reference below
        texts(b"a\xffb", "c") == ["a", "c"]  # noqa: B015


@pytest.mark.parametrize(
    ("doc", "path"),
    [
        (b"<r><a>ok\xff</a></r>", "r.a"),  # a plain leaf
        (b"<r><a>o<!---->k\xff</a></r>", "r.a"),  # text in pieces
        (b"<r><a>ok\xff</a></r>", "r.a.#text"),  # gathered during the pass
    ],
)
def test_undecodable_element_text_is_reported_not_dropped(doc, path):
    r = varnex.get_bytes(doc, path)
    with pytest.raises(ValueError, match="^invalid utf-8 sequence of 1 bytes from index 2$"):
        r.to_str()
    assert varnex.get_bytes(doc, "r.a|@count").to_int() == 1


# Stray bytes, and spaces of every kind next to characters that only look like them.
ATTR_BYTES = st.binary(max_size=24).map(
    lambda b: bytes(c for c in b if c not in b'"&<\t\n\r')
) | st.text(" \x0b\x0c\x1c\x1f\x85\xa0\u1680\u2000\u200a\u200b\u2028\u2029\u202f\u205f"
            "\u3000\ufeffa\u00e9", max_size=8).map(str.encode)


@given(ATTR_BYTES)
@example(b"ab\xe2\x82")
@example(b"\xf0\x9f\x98x")
@example(b"\xed\xa0\x80")  # a surrogate
def test_decodings_agree_with_python(raw):
    try:
        expected = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        if e.reason == "unexpected end of data":
            message = f"incomplete utf-8 byte sequence from index {e.start}"
        else:
            message = f"invalid utf-8 sequence of {e.end - e.start} bytes from index {e.start}"
        with pytest.raises(ValueError, match=f"^{message}$"):
            texts(raw).to_str()
    else:
        assert texts(raw).to_str() == expected.strip(" \x0b\x0c\x85\xa0\u1680\u2000\u2001\u2002"
                                                    "\u2003\u2004\u2005\u2006\u2007\u2008\u2009"
                                                    "\u200a\u2028\u2029\u202f\u205f\u3000")
    assert texts(raw, b"z").to_str() == raw.decode("utf-8", "replace") + "\nz"


def test_int_and_float_slots():
    assert (int(texts(" 2.7 ")), float(texts(" 2.7 "))) == (2, 2.7)
    assert (int(texts("1_000")), float(texts("1_000"))) == (1000, 1000.0)
    with pytest.raises(OverflowError):
        int(texts("99999999999999999999"))
    with pytest.raises(TypeError):
        int(texts("1", "2"))


def test_equality():
    r = texts(" a ")
    assert r == " a " and r != "a" and r == texts(" a ") and r != texts(" a ", "b")
    assert texts("1.0") != "1"
    assert (r == 5, r != None, r == b" a ") == (False, True, False)  # noqa: E711
    assert r != "\ud800" and texts("x") != ["\ud800"]

    class L(list):
        pass

    assert texts("x", "y") == L(["x", "y"])
    element = varnex.get("<r><a>1</a></r>", "r.a")
    assert element == "1" and element == ["1"]
    for op in ("__lt__", "__le__", "__gt__", "__ge__"):
        assert getattr(r, op)(r) is NotImplemented
    with pytest.raises(TypeError):
        r < r  # noqa: B015


INT_GRAMMAR = re.compile(r"[+-]?[0-9]+")
FLOAT_GRAMMAR = re.compile(
    r"[+-]?(?:(?i:inf|infinity|nan)|(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?)"
)
NUMBERISH = st.one_of(
    st.text(alphabet="0123456789+-.eE", max_size=24),
    st.from_regex(FLOAT_GRAMMAR, fullmatch=True).map(lambda s: s[:40]),
    st.integers(min_value=-(2**65), max_value=2**65).map(str),
)


def reference_scalar(raw: str):
    if INT_GRAMMAR.fullmatch(raw) and I64_MIN <= int(raw) <= I64_MAX:
        return int(raw)
    if FLOAT_GRAMMAR.fullmatch(raw):
        return float(raw)
    return raw


@given(NUMBERISH)
@example("NaN")
def test_numbers_agree_with_a_reference(raw):
    expected = reference_scalar(raw)
    value = texts(raw).value
    assert type(value) is type(expected)
    assert value == expected or (isinstance(value, float) and math.isnan(value)
                                 and math.isnan(expected))
    if isinstance(expected, float):  # truncated toward zero and clamped; NaN reads as 0
        lenient = 0 if math.isnan(expected) else int(max(I64_MIN, min(I64_MAX, expected)))
    else:
        lenient = expected if isinstance(expected, int) else 0
    assert texts(raw).to_int() == lenient
    got, want = texts(raw).to_float(), 0.0 if isinstance(expected, str) else float(expected)
    assert got == want or (math.isnan(got) and math.isnan(want))


# Element texts that the quick read of a plain leaf must give exactly as the reader does.
LEAVES = [
    b"<t>plain</t>", b"<t>  padded \t</t>", b"<t></t>", b"<t/>", b'<t a=">" b="/"> x </t>',
    b"<t\n >a\x00b\x1f\x7f</t>", b"<t>a &amp; b &lt;c&gt; &#233;&#x41;</t>", b"<t>x &bogus; y</t>",
    b"<t>x &#xD800; y</t>", b"<t>x\r\ny\rz</t>", b"<t>a]]>b</t>", b"<t>caf\xc3\xa9 42</t>",
    b"<t>ok\xff</t>", b"<t>ab\xe2\x82</t>", b"<t><![CDATA[<c> &amp;]]></t>",
    b"<t>a<!-- c -->b<?pi x?>c</t>", b"<t> 12 </t>", b"<t>-1.5e3</t>", b"<t>a<u>b</u>c</t>",
]


def outcome(call, *args):
    try:
        return call(*args)
    except ValueError as e:
        return ("ValueError", str(e))


@pytest.mark.parametrize("leaf", LEAVES)
def test_leaf_conversions_agree(leaf):
    # The same leaf with a comment at its end is never read the quick way.
    slow = leaf.replace(b"</t>", b"<!----></t>") if b"</t>" in leaf else b"<t><!----></t>"
    if b"<u>" in leaf:
        slow = leaf  # markup, whose text is the markup itself
    one = varnex.get_bytes(b"<r>" + leaf + b"</r>", "r.t")
    reference = varnex.get_bytes(b"<r>" + slow + b"</r>", "r.t")
    for conversion in (lambda r: r.to_str(), lambda r: r.to_str_list(), lambda r: r.to_int(),
                       lambda r: r.to_float(), lambda r: r.value, lambda r: r.to_bool()):
        got, want = outcome(conversion, one), outcome(conversion, reference)
        assert got == want or (got != got and want != want)  # NaN
    # Every way to reach the items of a list gives the same texts, errors included.
    for doc in (b"<r>" + leaf + leaf + slow + b"</r>", (b"<r>" + leaf * 3 + b"</r>")):
        try:  # spans into a str, where the document is one
            over_str = [varnex.get(doc.decode(), "r.t")]
        except UnicodeDecodeError:
            over_str = []
        for many in (varnex.get_bytes(doc, "r.t"), varnex.get_many_bytes(doc, ["r.t"])[0],
                     varnex.parse(doc)["t"], varnex.compile("r.t").get_bytes(doc), *over_str):
            each = outcome(lambda m=many: [x.to_str() for x in m])
            assert outcome(many.to_str_list) == each
            assert each == outcome(lambda m=many: [m[i].to_str() for i in range(len(m))])
            if not isinstance(each, tuple):
                assert each == [outcome(one.to_str)] * 3


def test_to_str_list_shapes():  # the empty list is the documentation's example
    assert varnex.get("<r><a> 1 </a></r>", "r.a").to_str_list() == ["1"]
    assert varnex.get('<r a="1"><b>x</b><b/></r>', "r.b").to_str_list() == ["x", ""]
    assert varnex.get("<r><a><b>1</b></a></r>", "r.a").to_str_list() == ["<a><b>1</b></a>"]
    assert varnex.get('<r><a i="1"/><a i="2"/></r>', "r.a.#.@i").to_str_list() == ["1", "2"]
    assert varnex.parse("<r> 5 </r>").to_str_list() == ["5"]


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

"""Which objects are accepted as documents, and how their bytes are read: documents in other
encodings than UTF-8 answer as the same text in UTF-8 does."""

from __future__ import annotations

import array
import ctypes
import mmap
import os
import subprocess
import sys

import pytest
import varnex
from conftest import MANY, NOT_BUFFER, NOT_SOURCE, QUERIES, entries

DOC = "<r><a>1</a><a>2</a></r>"
NOT_CONTIGUOUS = "buffer must be C-contiguous"


def mapped(data: bytes) -> mmap.mmap:
    m = mmap.mmap(-1, len(data))
    m.write(data)
    return m


BYTE_BUFFERS = {
    "bytes": lambda b: b,
    "memoryview-c": lambda b: memoryview(b).cast("c"),
    "array-B": lambda b: array.array("B", b),
    "mmap": mapped,
    "2d": lambda b: memoryview(b).cast("B", (1, len(b))),
    # ctypes arrays say "<B" and "<c": byte order is no reason to refuse single bytes.
    "ctypes-ubyte": lambda b: (ctypes.c_ubyte * len(b)).from_buffer_copy(b),
    "ctypes-char": lambda b: (ctypes.c_char * len(b)).from_buffer_copy(b),
}


@pytest.mark.parametrize("make", BYTE_BUFFERS.values(), ids=BYTE_BUFFERS)
def test_byte_buffers_accepted(make):
    data = make(DOC.encode())
    assert varnex.get_buffer(data, "r.a.1") == "2"
    assert varnex.validate(data) is True
    assert varnex.parse(data).type_ is dict


@pytest.mark.parametrize(
    "call",
    [varnex.get_buffer, lambda d, p: varnex.compile(p).get_buffer(d),
     lambda d, p: varnex.get_many_buffer(d, [p])],
    ids=["get_buffer", "Path.get_buffer", "get_many_buffer"],
)
@pytest.mark.parametrize(
    "data",
    [DOC, array.array("i", [1, 2]), memoryview(b"<r/>").cast("b")],
    ids=["str", "array-i", "format-b"],
)
def test_buffer_functions_reject_non_byte_buffers(call, data):
    with pytest.raises(ValueError) as info:
        call(data, "r")
    assert str(info.value) == NOT_BUFFER
    assert info.value.__context__ is None  # the exporter's own error is discarded


@pytest.mark.parametrize("function", [varnex.parse, varnex.validate])
@pytest.mark.parametrize("data", [None, array.array("I", [7])], ids=repr)
def test_source_rule_rejects(function, data):
    with pytest.raises(ValueError) as info:
        function(data)
    assert str(info.value) == NOT_SOURCE


@pytest.mark.parametrize(
    "call",
    [lambda d: varnex.get_buffer(d, "r"), varnex.parse, varnex.validate],
    ids=["get_buffer", "parse", "validate"],
)
def test_non_contiguous_buffers(call):
    strided = memoryview(bytearray(b"<<rr//>>"))[::2]
    with pytest.raises(ValueError) as info:
        call(strided)
    assert str(info.value) == NOT_CONTIGUOUS


def test_empty_paths_touch_nothing_and_only_the_buffer_functions_check_paths_first():
    assert len(varnex.get_buffer(12, "")) == 0 and varnex.get_many_buffer(12345, []) == []
    empty = (varnex.get("\ud800", ""), *varnex.get_many("\ud800", ["", ""]))
    assert [len(r) for r in empty] == [0] * 3
    with pytest.raises(TypeError, match="'int' object is not an instance of 'str'"):
        varnex.get(12, "")
    with pytest.raises(ValueError, match="^empty path"):
        varnex.get_buffer(12, ".")


@pytest.mark.parametrize(
    "call",
    [lambda d: varnex.get(d, "a"), lambda d: varnex.get_many(d, ["", "a"]), varnex.parse,
     varnex.validate],
)
def test_lone_surrogate_document(call):
    with pytest.raises(UnicodeEncodeError):
        call("<a>\ud800</a>")


def test_buffer_results_copy_while_parse_rereads_and_its_iterators_keep_a_snapshot():
    data = bytearray(b"<r><a>1</a><a>2</a></r>")
    whole = varnex.parse(data)
    copies = (varnex.get_buffer(data, "r.a"), varnex.compile("r.a").get_buffer(data), whole["a"],
              whole.get("r.a.1"), varnex.get_many_buffer(data, ["r.a.0"])[0])
    keys, children, key_iter = whole.keys(), whole.children(), iter(whole)
    value_iter, child_iter = iter(whole.values()), iter(children)
    data[:] = b"<r><c>3</c><c>4</c><d/></r>"  # resizing works: no view is held
    assert [c.to_str() for c in copies] == ["<a>1</a>\n<a>2</a>"] * 3 + ["2", "1"]
    assert (list(keys), len(children)) == (["c", "d"], 3)
    assert (list(key_iter), [n for n, _ in child_iter]) == (["a"], ["a", "a"])
    assert [v.to_str() for v in value_iter] == ["<a>1</a>\n<a>2</a>"]
    data[:] = b"<r>abc</r>"
    chars = iter(whole)
    assert (whole[0], whole[1:]) == ("a", "bc")
    data[3:6] = "\u00e9\u00e9".encode()  # the text, and where its characters start, read anew
    assert (whole[0], whole[1:], whole[-1]) == ("\u00e9", "\u00e9", "\u00e9")
    assert (list(chars), whole.to_str()) == (["a", "b", "c"], "\u00e9\u00e9")
    data.clear()
    assert whole.to_str() == ""


@pytest.mark.parametrize("close", [mmap.mmap.close, memoryview.release], ids=["mmap", "view"])
def test_reading_a_source_gone_bad_raises_the_source_error_but_repr_does_not(close):
    data = b"<r><a>1</a></r>"
    source = mapped(data) if close is mmap.mmap.close else memoryview(data)
    result = varnex.parse(source)
    keys, values, children = result.keys(), result.values(), result.children()
    close(source)
    for read in (result.to_str, lambda: result["a"], lambda: result.get_many(["r.a"]),
                 lambda: len(keys), lambda: iter(keys), lambda: "a" in keys, lambda: len(values),
                 lambda: iter(values), lambda: iter(children)):
        with pytest.raises(ValueError) as info:
            read()
        assert str(info.value) == NOT_SOURCE
    assert repr(result) == "<Result (source closed)>"
    assert repr(keys) == "result_keys(<source closed>)"
    assert repr(values) == "result_values([...])"


def test_parse_accepts_anything_readable():
    for data in (b"not xml", "not xml", bytearray(b""), memoryview(b"\xff\xfe")):
        result = varnex.parse(data)
        assert len(result) == 1
        assert varnex.validate(data) is False


DECL = '<?xml version="1.0" encoding="{label}"?>\n'
BODY = '<r><a x="{w}" n="3">{v}</a><{w}>1</{w}><a x="y">{w}{v}</a><!-- {v} --></r>'

# label in the declaration, Python codec, two words outside ASCII, how the bytes start.
ENCODINGS = [
    ("ISO-8859-1", "cp1252", "\u00e9", "caf\u00e9", b""),
    ("windows-1252", "cp1252", "\u20ac", "na\u00efve", b""),
    ("koi8-r", "koi8-r", "\u0436", "\u0447\u0430\u0439", b""),
    ("Shift_JIS", "shift_jis", "\u7dd1", "\u304a\u8336", b""),
    ("gbk", "gbk", "\u7eff", "\u8336", b""),
    ("utf-8", "utf-8", "\u00e9", "caf\u00e9", b"\xef\xbb\xbf"),
    ("latin1", "utf-8", "\u00e9", "caf\u00e9", b"\xef\xbb\xbf"),  # a UTF-8 mark wins over latin1
    ("UTF-16", "utf-16-le", "\u2615", "\U0001f375", b"\xff\xfe"),
    ("UTF-16", "utf-16-be", "\u2615", "\U0001f375", b"\xfe\xff"),
    ("UTF-16", "utf-16-le", "\u2615", "\U0001f375", b""),  # no mark: "<?" in UTF-16
]
IDS = [f"{label}-{codec}-{len(mark)}" for label, codec, *_, mark in ENCODINGS]


def case(label, codec, w, v, mark):
    text = (DECL + BODY).format(label=label, w=w, v=v)
    return text, mark + text.encode(codec), w


def paths(w):
    return ["r.a", "r.a.#.@x", "r.a.0.#text", "r", "r.*|@count", f"r.{w}",
            f'r.a#(@x=="{w}").#text', f"r.a#(@x%'{w}*')#.@n", "**.a", "r.a.#.@x|@reverse"]


def describe(result):
    """What a user sees of a Result, errors included."""
    try:
        text = result.to_str()
    except ValueError as error:
        text = type(error)
    return len(result), repr(result), text


def expect_answers(data, ps, expected):
    """Every function that reads bytes answers `ps` over `data` as `expected` says."""
    for name, call in entries(QUERIES, data, text=False):
        assert [describe(call(data, p)) for p in ps] == expected, name
    for name, call in entries(MANY, data, text=False):
        assert [describe(r) for r in call(data, ps)] == expected, name


@pytest.mark.parametrize("encoding", ENCODINGS, ids=IDS)
def test_every_entry_point_answers_as_the_utf8_text(encoding):
    text, data, w = case(*encoding)
    ps = paths(w)
    expected = [describe(varnex.get(text, p)) for p in ps]
    assert expected[2][2] == encoding[3]  # the str itself is read as UTF-8, once
    expect_answers(data, ps, expected)
    assert varnex.validate(data) is varnex.validate(text) is True


@pytest.mark.parametrize("encoding", ENCODINGS, ids=IDS)
def test_parse_and_navigation_read_the_decoded_text(encoding):
    text, data, w = case(*encoding)
    for whole in (varnex.parse(data), varnex.parse(bytearray(data))):
        # A UTF-8 mark stays with bytes read in place; other marks only said how to read them.
        assert whole.to_str() == ("\ufeff" if data.startswith(b"\xef\xbb\xbf<?xml") and
                                  encoding[1] == "utf-8" else "") + text
        assert list(whole.keys()) == ["a", w]
        assert [describe(v) for v in whole.values()] == [
            describe(v) for v in varnex.parse(text).values()]
        v = encoding[3]
        assert whole["a"].to_str() == f'<a x="{w}" n="3">{v}</a>\n<a x="y">{w}{v}</a>'
        assert whole["a"][0][-1] == v[-1] and whole[w] == "1"
        assert repr(whole) == f"<Result type=dict, keys=[a, {w}]>"


# Bytes the declared encoding cannot decode are met as bytes that are not UTF-8.
UNDECODABLE = [
    (b'<?xml version="1.0" encoding="iso-8859-3"?><r a="x\xa5"><b>t\xa5</b><b>\xe9</b></r>',
     b'<r a="x\xff"><b>t\xff</b><b>\xc3\xa9</b></r>'),
    ("<r a='\ud800'><b>t\udc00</b><b>\u00e9</b></r>".encode("utf-16", "surrogatepass"),
     b"<r a='\xff'><b>t\xff</b><b>\xc3\xa9</b></r>"),
]


@pytest.mark.parametrize(("data", "utf8"), UNDECODABLE, ids=["iso-8859-3", "utf-16"])
def test_undecodable_bytes_follow_the_rule_for_invalid_utf8(data, utf8):
    ps = ["r.@a", "r.b", "r.b.0", "r.b.#.#text", "r.b.1"]
    expected = [describe(varnex.get_bytes(utf8, p)) for p in ps]
    assert expected[0][2] is ValueError and expected[4][2] == "\u00e9"
    expect_answers(data, ps, expected)


# Every single-byte encoding decodes as its WHATWG index table says. Python's codecs follow
# the same tables, but leave undefined what those tables map to C1 controls (windows-125x,
# windows-874), and differ at three bytes.
SINGLE_BYTE = {
    "ibm866": "cp866", "iso-8859-2": None, "iso-8859-3": None, "iso-8859-4": None,
    "iso-8859-5": None, "iso-8859-6": None, "iso-8859-7": None, "iso-8859-8": None,
    "iso-8859-8-i": "iso-8859-8", "iso-8859-10": None, "iso-8859-13": None, "iso-8859-14": None,
    "iso-8859-15": None, "iso-8859-16": None, "koi8-r": None, "koi8-u": None,
    "macintosh": "mac_roman", "windows-874": "cp874", "windows-1250": "cp1250",
    "windows-1251": "cp1251", "windows-1252": "cp1252", "windows-1253": "cp1253",
    "windows-1254": "cp1254", "windows-1255": "cp1255", "windows-1256": "cp1256",
    "windows-1257": "cp1257", "windows-1258": "cp1258", "x-mac-cyrillic": "mac_cyrillic",
}
NOT_AS_PYTHON = {("koi8-u", 0xAE): "\u045e", ("koi8-u", 0xBE): "\u040e",
                 ("windows-1255", 0xCA): "\u05ba"}


def whatwg_single_byte(label: str, byte: int) -> str | None:
    if (label, byte) in NOT_AS_PYTHON:
        return NOT_AS_PYTHON[label, byte]
    try:
        return bytes([byte]).decode(SINGLE_BYTE[label] or label)
    except UnicodeDecodeError:
        return chr(byte) if label.startswith("windows-") and byte < 0xA0 else None


@pytest.mark.parametrize("label", SINGLE_BYTE)
def test_single_byte_encodings_follow_the_whatwg_tables(label):
    high = range(0x80, 0x100)
    data = DECL.format(label=label).encode() + b"<r>" + b"".join(
        b'<a v="x' + bytes([b]) + b'y"/>' for b in high) + b"</r>"
    got = []
    for value in varnex.get_bytes(data, "r.a.#.@v"):
        try:
            got.append(value.to_str()[1:-1])
        except ValueError:  # a byte with no code point is met as invalid UTF-8
            got.append(None)
    assert got == [whatwg_single_byte(label, b) for b in high]
    # Each byte on its own: a combining mark is not composed with the letter before it.
    assert varnex.get_bytes(DECL.format(label=label).encode() + b"<r>A\xec</r>", "r").value == (
        "A" + whatwg_single_byte(label, 0xEC) if whatwg_single_byte(label, 0xEC) else None)


# The peak memory a query over a document in another encoding takes beyond the document
# itself: the decoded copy, sized for what it holds. The peak is the process's own (VmHWM):
# ru_maxrss would carry over the peak of the pytest process it was forked from.
DECODE_PEAK = """
import sys, varnex
def peak():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))
data = open(sys.argv[1], "rb").read()
before = peak()
count = varnex.get_bytes(data, "r.a|@count").value
print(count, peak() - before)
"""


@pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", "") or not os.path.exists("/proc/self/status"),
    reason="needs /proc; the sanitizer's shadow memory swamps the figures",
)
@pytest.mark.parametrize(("label", "codec", "char"), [
    ("windows-1250", "cp1250", "\u20ac"),  # by table
    ("shift_jis", "shift_jis", "\u7dd1"),  # through iconv
    ("utf-16", "utf-16", "\u20ac"),  # by hand
])
def test_decoding_takes_the_size_of_its_output(tmp_path, label, codec, char):
    text = DECL.format(label=label) + "<r>" + "<a>text</a>" * (6 << 20) + char + "</r>"
    (tmp_path / "doc.xml").write_bytes(text.encode(codec))
    done = subprocess.run([sys.executable, "-c", DECODE_PEAK, str(tmp_path / "doc.xml")],
                          capture_output=True, check=True, timeout=120)
    count, extra = map(int, done.stdout.split())
    assert count == 6 << 20
    # Mostly ASCII: the decoded copy is about the text's own size (it was twice that or more).
    assert extra <= 1.5 * len(text.encode())


@pytest.mark.parametrize("text", ["x" * 100, "\u00e9" * 50])
def test_results_keep_their_document_alive_and_read_utf8_in_place(text):
    doc = "<r><a>" + text + "</a></r>"
    if not text.isascii():  # bytes declared UTF-8: spans into them too, not a decoded copy
        doc = ('<?xml version="1.0" encoding="utf-8"?>' + doc).encode()
    before = sys.getrefcount(doc)
    result = (varnex.get if isinstance(doc, str) else varnex.get_bytes)(doc, "r.a")
    assert sys.getrefcount(doc) == before + 1
    del doc
    assert result.to_str() == text

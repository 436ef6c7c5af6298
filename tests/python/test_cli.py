"""The `varnex` command, run as the installed console script."""

from __future__ import annotations

import ast
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from varnex import parse
from varnex._varnex import _element_dict

SCRIPT = Path(sys.executable).parent / "varnex"
CATALOG = Path(__file__).resolve().parents[2] / "examples" / "catalog.xml"

SHOP = (
    '<shop><item id="a1" qty="007"><name>Pen &amp; ink</name><price>1.50</price>'
    "<tag>x</tag><tag>y</tag></item>"
    '<item id="a2"><name>Pad</name><price>2</price></item></shop>'
)
FILES = {
    "shop.xml": SHOP,
    "b.xml": '<shop><item id="b1"><name>Ink</name></item></shop>',
    "broken.xml": "<shop><item id='c1'>text</item>",
    "empty.xml": "",
    "latin.xml": '<?xml version="1.0" encoding="ISO-8859-1"?><r a="caf\xe9"><b>cr\xe8me</b></r>',
    "bad.xml": '<r a="caf\xe9"><b/></r>',  # Latin-1 bytes with nothing saying so: not UTF-8
}
DICT = ["--jsonl", "--json-elements=dict"]
MIXED = (
    '<r a="x &amp; &#65;" b="1" b="2"><p:c p:d="&lt;">&#x263A;&gt;</p:c>'
    " t <!-- no --><?pi no?><c>1</c> u<![CDATA[<&amp;>]]><c/><e>\t1e3 </e></r>"
)
ITEM_1 = '<item id="a2"><name>Pad</name><price>2</price></item>'


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    """A folder holding the small documents; commands run inside it."""
    folder = tmp_path_factory.mktemp("cli")
    for name, text in FILES.items():
        latin = name in ("latin.xml", "bad.xml")
        (folder / name).write_bytes(text.encode("latin-1" if latin else "utf-8"))
    (folder / "catalog.xml").write_bytes(CATALOG.read_bytes())
    return folder


def varnex(folder, *args, stdin=b"", command=None):
    assert SCRIPT.exists(), "the varnex console script is not installed"
    return subprocess.run(command or [str(SCRIPT), *args], input=stdin, cwd=folder,
                          capture_output=True, timeout=60)


# (arguments, standard input, standard output, exit status[, standard error]); the everyday
# forms are the examples in docs/cli.md, which test_docs runs.
CASES = [
    # file names as grep shows them
    (["shop.item.0.@id", "-", "b.xml"], SHOP, "(standard input):a1\nb.xml:b1\n", 0),
    (["-H", "shop.item.0.@id", "shop.xml"], None, "shop.xml:a1\n", 0),
    # several paths: each answer labelled with its path; status 0 when any of them gave an
    # item, and where one stopped matching on standard error
    (["-e", "shop.nothing", "-e", "shop.item.1.@id"], SHOP, "shop.item.1.@id:a2\n", 0,
     "varnex: shop.nothing matches nothing: step 2 `nothing`: `<shop>` has the children "
     "`item`\n"),
    (["-q", "-c", "-e", "shop.nothing", "-e", "shop.item", "-e", "shop.item"], SHOP,
     "shop.nothing:0\nshop.item:2\nshop.item (2):2\n", 0),
    (["-H", "-e", "shop.item.0.@id", "-e", "shop.no", "shop.xml", "b.xml"], None,
     "shop.xml:shop.item.0.@id:a1\nb.xml:shop.item.0.@id:b1\n", 0,
     "varnex: shop.no matches nothing in shop.xml: step 2 `no`: `<shop>` has the children "
     "`item`\n"),
    # JSON: numbers as numbers only when written as JSON numbers; several paths keyed by path
    (["-j", "-q", "-e", "shop.item.0.@qty", "-e", "shop.item.1", "-e", "shop.no"], SHOP,
     '{\n  "shop.item.0.@qty": "007",\n  "shop.item.1": ' + json.dumps(ITEM_1)
     + ',\n  "shop.no": null\n}\n', 0),
    (["-j", "shop.item.1.@id", "shop.xml", "b.xml"], None,
     '{\n  "file": "shop.xml",\n  "value": "a2"\n}\n'
     '{\n  "file": "b.xml",\n  "value": null\n}\n', 0),
    (["--jsonl", "shop.item.#.@id", "shop.xml"], None, '"a1"\n"a2"\n', 0),
    (["--jsonl", "shop.item.1.@id", "shop.xml", "b.xml"], None,
     '{"file":"shop.xml","value":"a2"}\n', 0),
    ([*DICT, "shop"], "<shop a='1' s='&#xD800;'>t<![CDATA[<u>]]><b/></shop>",
     '{"@a":1,"@s":"&#xD800;","b":"","#text":"t<u>"}\n', 0),
    # dict: references decoded, duplicate attributes dropped, comments and PIs skipped,
    # text beside children trimmed, other encodings decoded, broken markup read leniently
    ([*DICT, "r"], MIXED, '{"@a":"x & A","@b":1,"p:c":{"@p:d":"<","#text":"\u263a>"},"c":[1,""],'
     '"e":1e3,"#text":"t  u<&amp;>"}\n', 0),
    ([*DICT, "r", "latin.xml"], None, '{"@a":"caf\u00e9","b":"cr\u00e8me"}\n', 0),
    ([*DICT, "r", "bad.xml"], None, '{"@a":"caf\ufffd","b":""}\n', 0),
    ([*DICT, "r"], "<r><a>1</b><c>2", '{"a":1,"c":2}\n', 0),
    ([*DICT, "r"], "<r>" + "<a>" * 3000 + "x</r>", '{"a":' * 3000 + '"x"' + "}" * 3000 + "\n", 0),
    (["-j", "--json-elements=dict", "shop"], "<shop><item id='a2'><n>Pad</n></item><e/></shop>",
     '{\n  "item": {\n    "@id": "a2",\n    "n": "Pad"\n  },\n  "e": ""\n}\n', 0),
    # strict validation: each failing file with where its first error is; other encodings
    (["--validate", "--strict", "shop.xml", "broken.xml", "latin.xml", "bad.xml", "empty.xml"],
     None, "broken.xml:1:32: the document ends inside element 'shop' (in shop)\n"
     "bad.xml:1:10: invalid UTF-8 byte sequence (in r)\nempty.xml:1:1: no root element\n", 1),
    (["--validate", "--strict"], "<a>\n<b x='1' x='2'/></a>",
     "(standard input):2:10: attribute 'x' appears twice in the tag (in a.b)\n", 1),
    (["--validate", "--strict", "shop.xml"], None, "", 0),
    (["--strict", "shop", "shop.xml"], None, "", 2),
    # empty documents
    (["shop", "empty.xml"], None, "", 1,
     "varnex: shop matches nothing: step 1 `shop`: the document has no element at all\n"),
    # a path in another language: said on standard error, the status unchanged
    (["/shop/item/name"], SHOP, "", 1, "varnex: /shop/item/name matches nothing: step 1 "
     "`/shop/item/name`: this looks like an XPath; write `shop.item.#.name`\n"),
    (["-q", "shop.item.#.name |@first"], SHOP, "", 1),
    # errors: usage, unreadable files (other files still answered), bad paths
    ([], None, "", 2),
    (["-j", "-c", "shop"], None, "", 2),
    (["--tour", "-e", "shop"], None, "", 2),
    (["shop.item.0.@id", "missing.xml", "shop.xml"], None, "shop.xml:a1\n", 2),
    (["shop", "."], None, "", 2, "varnex: .: Is a directory\n"),
    (["shop.xml", "shop"], None, "", 2,
     "varnex: shop: No such file or directory (shop.xml is a file: the path comes first)\n"),
    (["r.@a", "bad.xml"], None, "", 2,
     "varnex: bad.xml: r.@a: incomplete utf-8 byte sequence from index 3\n"),
    (["a.\udcff", "shop.xml"], None, "", 2, 'varnex: path is not valid UTF-8: "a.\\xff"\n'),
    # JSON holds text only: bytes that are not UTF-8 are U+FFFD in every JSON form
    (["-j", "r.@a", "bad.xml"], None, '"caf\ufffd"\n', 0),
    (["--jsonl", "-e", "r.@a", "-e", "r", "bad.xml"], None,
     '{"path":"r.@a","value":"caf\ufffd"}\n{"path":"r","value":"<r a=\\"caf\ufffd\\"><b/></r>"}\n',
     0),
    ([*DICT, "r.@a", "bad.xml"], None, '"caf\ufffd"\n', 0),
    # a count is given also where the input ends inside a tag
    (["r.a.#"], "<r><a>1</a><a>2</a><", "2\n", 0),
    (["-j", "-e", "r.a.#", "-e", "r.a|@count"], "<r><a>1</a><a>2</a><a x='",
     '{\n  "r.a.#": 2,\n  "r.a|@count": 2\n}\n', 0),
    # the paths inside the records, to choose fields from
    (["--describe", "shop.item"], SHOP,
     "5 paths in 2 records of shop.item\n"
     "path   records  most  type     samples\n"
     "@id          2     1  string   'a1', 'a2'\n"
     "@qty         1     1  int64    '007'\n"
     "name         2     1  string   'Pen & ink', 'Pad'\n"
     "price        2     1  float64  '1.50', '2'\n"
     "tag          1     2  string   'x', 'y'\n", 0),
    (["--describe", "shop.none", "shop.xml", "b.xml"], None,
     "shop.xml:\n0 paths in 0 records of shop.none\nb.xml:\n0 paths in 0 records of shop.none\n",
     1),
    (["--describe", "-e", "shop", "-e", "shop.item"], None, "", 2),
    (["--describe", "shop.item|@count", "shop.xml"], None, "", 2,
     "varnex: shop.xml: record_path must select elements, not attribute values, texts or "
     "aggregates: 'shop.item|@count'\n"),
]


@pytest.mark.parametrize("case", CASES, ids=lambda case: repr(case[0]))
def test_command(workdir, case):
    args, stdin, stdout, status, *stderr = case
    done = varnex(workdir, *args, stdin=(stdin or "").encode())
    assert (done.stdout.decode(), done.returncode) == (stdout, status), done.stderr
    if stderr or status != 2:
        assert done.stderr.decode() == (stderr[0] if stderr else "")


def test_file_names_that_are_not_utf8_stay_valid_json(tmp_path):
    name = os.fsdecode(b"caf\xe9.xml")  # as Python gives it: the byte as \udce9
    (tmp_path / name).write_bytes(b"<r>1</r>")
    for args in (["-H", "--jsonl", "r"], ["-H", "-j", "r"]):
        done = varnex(tmp_path, *args, name)
        assert done.returncode == 0 and done.stdout.isascii(), done.stdout
        assert json.loads(done.stdout) == {"file": name, "value": 1}
    assert varnex(tmp_path, "-H", "r", name).stdout == b"caf\xe9.xml:1\n"  # as grep shows it


def test_messages_go_to_standard_error_or_nowhere(workdir):
    for args in ["shop.item.0.@id missing.xml shop.xml", "'a.('", "'r.@a' bad.xml"]:
        done = varnex(workdir, command=["sh", "-c", f"'{SCRIPT}' {args} 2>&-"])
        assert done.returncode == 2 and b"varnex:" not in done.stdout, (args, done.stdout)


def test_indented_json_is_written_as_it_is_made(tmp_path):
    depth = 20_000
    (tmp_path / "deep.xml").write_text("<a>" * depth + "x" + "</a>" * depth)
    sanitized = "asan" in os.environ.get("LD_PRELOAD", "")  # its shadow memory needs room
    out, status, peak = run_measured(["-j", "--json-elements=dict", "a", "deep.xml"], tmp_path,
                                     limit_data=0 if sanitized else 1 << 30)
    # Indentation stops growing at 64 levels: the output is linear in the depth (it was
    # quadratic: 800 MB and 2.6 GB of memory at this depth).
    assert status == 0 and len(out) < 300 * depth, len(out)
    lines = out.split(b"\n")
    assert max(len(line) - len(line.lstrip(b" ")) for line in lines) == 2 * 64
    assert lines[:2] == [b"{", b'  "a": {'] and lines[-2:] == [b"}", b""]
    if not sanitized:
        assert peak < 400 << 20


def test_a_short_write_to_a_pipe_is_no_success(workdir):
    many = "<r>" + "<i>line</i>" * 200_000 + "</r>"
    for args in (["-j", "r.i"], ["-j", "r"]):  # one large value: written by parts
        writer = subprocess.Popen([str(SCRIPT), *args], cwd=workdir, stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        head = subprocess.Popen(["head", "-c", "10"], stdin=writer.stdout,
                                stdout=subprocess.PIPE)
        writer.stdout.close()
        writer.stdin.write(many.encode())
        writer.stdin.close()
        assert len(head.communicate(timeout=60)[0]) == 10
        assert (writer.wait(timeout=60), writer.stderr.read()) == (141, b""), args


def test_element_dict_refuses_all_but_one_element():
    doc = parse(bytearray(b"<r a='1'><b>2</b><b/></r>"))  # a buffer, read from a copy
    assert _element_dict(doc, str) == {"@a": "1", "b": ["2", ""]}
    with pytest.raises(ValueError):  # the converter's error stops the walk
        _element_dict(doc, int)
    for other in (doc.get("r.@a"), doc.get("r.c"), doc.get("r.b"), "<r/>"):
        with pytest.raises(TypeError):
            _element_dict(other, str)


def test_help_version_module_and_tour(workdir):
    assert "\nexamples:\n  varnex " in varnex(workdir, "--help").stdout.decode()
    assert varnex(workdir, "--version").stdout.decode().startswith("varnex 0.")

    module = varnex(workdir, command=[sys.executable, "-m", "varnex", "shop.item.1.@id"],
                    stdin=SHOP.encode())
    assert (module.stdout, module.returncode) == (b"a2\n", 0)

    tour = varnex(workdir, "--tour", "catalog.xml")
    assert tour.returncode == 0 and tour.stderr == b""
    assert "$ varnex 'catalog.book.#' catalog.xml\n5\n" in tour.stdout.decode()
    assert b"(no match)" not in tour.stdout
    elsewhere = varnex(workdir, "--tour", "shop.xml").stdout.decode()
    assert "(no match)" in elsewhere


def test_ends_quietly_on_broken_pipe_and_interrupt(workdir):
    many = "<r>" + "<i>line</i>" * 200_000 + "</r>"
    writer = subprocess.Popen([str(SCRIPT), "r.i"], cwd=workdir, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    head = subprocess.Popen(["head", "-1"], stdin=writer.stdout, stdout=subprocess.PIPE)
    writer.stdout.close()
    writer.stdin.write(many.encode())
    writer.stdin.close()
    assert head.communicate(timeout=60)[0] == b"line\n"
    assert (writer.wait(timeout=60), writer.stderr.read()) == (141, b"")

    # Ctrl-C while the command waits for standard input (as from a terminal: a shell's
    # background job would have inherited SIGINT ignored)
    waiting = subprocess.Popen([str(SCRIPT), "r"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    wchan = Path(f"/proc/{waiting.pid}/wchan")
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and "pipe" not in wchan.read_text():
        time.sleep(0.02)
    waiting.send_signal(signal.SIGINT)
    out, err = waiting.communicate(timeout=60)
    assert (waiting.returncode, out, err) == (130, b"", b"")


# Runs a command under a data-size limit; prints its output, exit status and peak
# resident memory. Measured from a small go-between: a child forked from pytest
# itself would count pytest's own pages in its peak.
MEASURE = """
import os, resource, subprocess, sys
limit = int(sys.argv[1]) or resource.RLIM_INFINITY
resource.setrlimit(resource.RLIMIT_DATA, (limit, limit))
child = subprocess.Popen(sys.argv[2:], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
out = child.stdout.read()
_, status, usage = os.wait4(child.pid, 0)
print(repr((out, os.waitstatus_to_exitcode(status), usage.ru_maxrss * 1024)))
"""


def run_measured(args, cwd, limit_data=0):
    done = subprocess.run([sys.executable, "-c", MEASURE, str(limit_data), str(SCRIPT), *args],
                          cwd=cwd, capture_output=True, check=True, timeout=120)
    return ast.literal_eval(done.stdout.decode())


@pytest.mark.skipif(not os.path.exists("/proc/self/maps"), reason="needs /proc")
def test_a_file_cut_while_it_is_read(tmp_path):
    big = tmp_path / "big.xml"
    with open(big, "wb") as f:
        f.write(b"<r>" + b"<a><b>1</b></a>" * 1000)
        f.seek(1 << 30)  # a hole: a gigabyte of zeros, read at memory speed, stored nowhere
        f.write(b"</r>")
    reading = subprocess.Popen([str(SCRIPT), "r.a.#.b|@count", "big.xml"], cwd=tmp_path,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    maps = Path(f"/proc/{reading.pid}/maps")
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and str(big) not in maps.read_text():
        time.sleep(0.001)
    os.truncate(big, 1000)  # the map now reaches far past the end of the file
    out, err = reading.communicate(timeout=60)
    assert (reading.returncode, out, err) == (
        2, b"", b"varnex: big.xml: the file changed while it was read\n")


@pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="the sanitizer's shadow memory swamps the figures",
)
def test_large_file_is_mapped_not_read(tmp_path):
    record = b'<book id="bk%d"><title>A title</title><price>12.50</price></book>\n'
    chunk = b"".join(record % i for i in range(16_000))
    size = 100 << 20
    count = 0
    with open(tmp_path / "big.xml", "wb") as f:
        f.write(b"<catalog>\n")
        while f.tell() < size:
            f.write(chunk)
            count += 16_000
        f.write(b"</catalog>\n")

    # The first record: only the start of the file is ever touched.
    out, status, peak = run_measured(["catalog.book.0.@id", "big.xml"], tmp_path)
    assert (out, status) == (b"bk0\n", 0)
    assert peak < size // 3

    # A count reads every byte, yet the process's own memory (mapped files aside)
    # stays far below the size of the file.
    limit = 40 << 20
    out, status, _ = run_measured(["catalog.book.#", "big.xml"], tmp_path, limit_data=limit)
    assert (out, status) == (b"%d\n" % count, 0)


def test_prefixes_bound_on_the_command_line_and_from_a_file(tmp_path):
    gir = tmp_path / "a.gir"
    gir.write_bytes(b'<repository xmlns="urn:core" xmlns:c="urn:c"><include name="G"/>'
                    b'<c:include name="g.h"/></repository>')
    done = varnex(tmp_path, "-N", "x=urn:c", "repository.x:include.#.@name", "a.gir")
    assert (done.returncode, done.stdout) == (0, b"g.h\n")
    (tmp_path / "ns.txt").write_text("# the core\n=urn:core\nx = urn:c#frag\n")
    done = varnex(tmp_path, "--namespaces", "ns.txt", "-N", "x=urn:c",
                  "-e", "repository.include.#.@name", "-e", "x:repository", "a.gir")
    assert (done.returncode, done.stdout) == (0, b"repository.include.#.@name:G\n")
    done = varnex(tmp_path, "-N", "x", "repository", "a.gir")
    assert done.returncode == 2 and b"PREFIX=URI" in done.stderr
    done = varnex(tmp_path, "-N", "x=urn:c", "y:repository", "a.gir")
    assert done.returncode == 2 and b"prefix not bound by namespaces: y" in done.stderr


def test_the_tour_needs_no_file_and_colours_follow_the_choice(tmp_path):
    tour = varnex(tmp_path, "--tour")  # nothing here: the catalog comes with the package
    assert tour.returncode == 0 and tour.stderr == b""
    assert "\n5\n" in tour.stdout.decode() and b"(no match)" not in tour.stdout
    (tmp_path / "a.xml").write_text(SHOP)
    args = ["-e", "shop.item.0.@id", "-e", "shop.item.#", "a.xml", "a.xml"]
    coloured = varnex(tmp_path, "--color=always", *args).stdout.decode()
    assert coloured.splitlines()[0] == (
        "\033[35ma.xml\033[0m\033[36m:\033[0mshop.item.0.@id\033[36m:\033[0ma1")
    plain = "a.xml:shop.item.0.@id:a1\na.xml:shop.item.#:2\n" * 2
    assert varnex(tmp_path, *args).stdout.decode() == plain  # auto: not a terminal
    assert varnex(tmp_path, "--colour=never", *args).stdout.decode() == plain

"""Costs of the Python surface that grow with hostile or unusual input.

Each line is one figure: dict-like Results over many distinct child names,
lookups by name among many children, character keys on a long text (over bytes
and over a bytearray), the compile cache under large paths, decoding a document
in another encoding and the command line's indented JSON of a deep document
(each in a fresh process, for its peak memory), a query over the same catalog in
UTF-8, windows-1252 and UTF-16, and that catalog's books as the command line's
`--jsonl --json-elements=dict` writes them.

Usage: python benchmarks/py_surface.py [--repeat N]
"""

from __future__ import annotations

import argparse
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import gen  # noqa: E402
import varnex  # noqa: E402
from py_overhead import best_of  # noqa: E402
from varnex._cli_json import to_json  # noqa: E402
from varnex._cli_output import items, json_item  # noqa: E402

# Run in a child so that its peak memory is its own (VmHWM starts afresh with
# the new program, unlike ru_maxrss); prints the growth over the setup in MB.
PEAK = """
import varnex
def kb(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field))
{setup}
before = kb("VmRSS:")
{work}
print((kb("VmHWM:") - before) / 1e3)
"""

PEAKS = {
    "r[10:20] and r[-1] on a 100 MB text element": (
        'doc = b"<a>" + b"x\\xc3\\xa9" * 33_000_000 + b"</a>"\nr = varnex.get_bytes(doc, "a")',
        "r[10:20]; r[-1]"),
    "40 distinct 256 KB paths compiled": (
        'body = ".a" * 128_000',
        'for i in range(40): varnex.get_bytes(b"<r/>", f"p{i}" + body)'),
    "count, 66 MB of windows-1250, ASCII but one \u20ac": (
        # read from a file: built in memory, its parts would make the peak
        "import os, tempfile\nf = tempfile.NamedTemporaryFile(suffix='.xml', delete=False)\n"
        "f.write(b'<?xml version=\"1.0\" encoding=\"windows-1250\"?><r>')\n"
        "for _ in range(6): f.write(b'<a>text</a>' * 1_000_000)\n"
        "f.write(b'\\x80</r>'); f.close()\ndoc = open(f.name, 'rb').read(); os.unlink(f.name)",
        'varnex.get_bytes(doc, "r.a|@count")'),
    "varnex -j --json-elements=dict, depth 20,000": (
        "import os, sys, tempfile\nf = tempfile.NamedTemporaryFile(suffix='.xml', delete=False)\n"
        "f.write(b'<a>' * 20_000 + b'x' + b'</a>' * 20_000); f.close()\n"
        "shown, sys.stdout = sys.stdout, open(os.devnull, 'w')\nfrom varnex.cli import main",
        'main(["-j", "--json-elements=dict", "a", f.name]); os.unlink(f.name); sys.stdout = shown'),
}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    names = 100_000
    doc = ("<r>" + "".join(f"<n{i}>{i}</n{i}>" for i in range(names)) + "</r>").encode()
    whole = varnex.parse(doc)
    print(f"# dict-like Result, {names:,} distinct child names, {len(doc) / 1e6:.1f} MB")
    for label, call in [("len(r.value)", lambda: len(whole.value)),
                        ("bool(r)", lambda: bool(whole)),
                        ("list(r.values())", lambda: list(whole.values())),
                        ("list(r.items())", lambda: list(whole.items()))]:
        print(f"{label:<44} {best_of(args.repeat, call) * 1e3:>9.1f} ms")

    children = 40_000
    parent = varnex.get_bytes(("<r>" + "".join(f"<c{i}>{i}</c{i}>" for i in range(children))
                               + "</r>").encode(), "r")
    keys = list(parent.keys())
    print(f"# lookups by name among {children:,} children of one element")
    for label, call in [("r[key] for every key", lambda: [parent[k] for k in keys]),
                        ("key in r.keys() for every key",
                         lambda: [k in parent.keys() for k in keys])]:
        print(f"{label:<44} {best_of(args.repeat, call) * 1e3:>9.1f} ms")
    chars = ("<r>" + "\u00e9" * children + "</r>").encode()
    print(f"# every character of a {children:,}-character text by r[i], a Result of parse()")
    for label, source in [("over bytes", chars), ("over a bytearray", bytearray(chars))]:
        root = varnex.parse(source)
        took = best_of(args.repeat, lambda r=root: [r[i] for i in range(children)])
        print(f"{label:<44} {took * 1e3:>9.1f} ms")

    long_text = varnex.get_bytes(b"<a>" + "x\u00e9".encode() * 50_000_000 + b"</a>", "a")
    first = best_of(1, lambda t=long_text: t[10])
    later = best_of(args.repeat, lambda t=long_text: [t[i * 499_999] for i in range(200)])
    print(f"# character keys on a 150 MB text element\n{'first r[10] (keeps the text)':<44} "
          f"{first * 1e3:>9.1f} ms\n{'200 r[i] afterwards':<44} {later * 1e3:>9.3f} ms")
    del long_text

    print("# peak memory growth, fresh process")
    for label, (setup, work) in PEAKS.items():
        out = subprocess.run([sys.executable, "-c", PEAK.format(setup=setup, work=work)],
                             check=True, capture_output=True, text=True).stdout
        print(f"{label:<44} {float(out):>9.0f} MB")

    utf8, books = gen.catalog(16_000_000)
    text16 = utf8.decode()
    forms = {
        "UTF-8": utf8,
        "windows-1252": text16.replace('encoding="UTF-8"', 'encoding="windows-1252"', 1)
                              .encode("cp1252", "xmlcharrefreplace"),
        "UTF-16": text16.replace('encoding="UTF-8"', 'encoding="UTF-16"', 1).encode("utf-16"),
    }
    print(f"# every title of a 16 MB catalog ({books:,} books) by encoding")
    for label, data in forms.items():
        assert len(varnex.get_bytes(data, "catalog.book.#.title")) == books, label
        took = best_of(args.repeat, lambda d=data: varnex.get_bytes(d, "catalog.book.#.title"))
        print(f"{label:<44} {took * 1e3:>9.1f} ms")

    found = list(items(varnex.get_bytes(utf8, "**.book")))
    print("# the same books as `varnex --jsonl --json-elements=dict '**.book'` writes them")
    for label, call in [("nested values", lambda: [json_item(b, "dict") for b in found]),
                        ("nested values and JSON text",
                         lambda: [to_json(json_item(b, "dict")) for b in found])]:
        print(f"{label:<44} {best_of(args.repeat, call) * 1e3:>9.1f} ms")


if __name__ == "__main__":
    main()

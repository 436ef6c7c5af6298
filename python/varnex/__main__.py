"""Command line: ``python -m varnex FILE [PATH ...]``.

Runs each PATH against the XML document in FILE and prints the result. With no
PATH, runs a short tour of the path language over the document.
"""

from __future__ import annotations

import argparse
import mmap
import sys

import varnex

TOUR = [
    ("every title", "catalog.book.#.title"),
    ("the second book's id", "catalog.book.1.@id"),
    ("how many books", "catalog.book.#"),
    ("ids of books over 10", "catalog.book#(price>10)#.@id"),
    ("title of the book with id bk103", 'catalog.book#(@id=="bk103").title'),
    ("authors, sorted and unique", "catalog.book.#.creator|@sort|@unique"),
    ("average price", "catalog.book.#.price|@avg"),
    ("every tag anywhere", "**.tag"),
    ("the summary text (CDATA)", "catalog.book.3.summary.#text"),
]


def show(result: varnex.Result) -> str:
    """A readable one-line form of a Result."""
    value = result.value
    if isinstance(value, list):
        return "[" + ", ".join(show(item) for item in value) + "]"
    if isinstance(value, dict):
        return "{" + ", ".join(value) + "}"
    return repr(value)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m varnex", description=__doc__)
    parser.add_argument("file", help="XML document to query")
    parser.add_argument("paths", nargs="*", help="paths to evaluate (default: a short tour)")
    args = parser.parse_args(argv)

    with open(args.file, "rb") as fh, mmap.mmap(fh.fileno(), 0, access=mmap.ACCESS_READ) as doc:
        print(f"{args.file}: {len(doc)} bytes, well formed: {varnex.validate(doc)}")
        queries = [(path, path) for path in args.paths] if args.paths else TOUR
        for label, path in queries:
            try:
                result = varnex.get_buffer(doc, path)
            except ValueError as exc:
                print(f"\n{label}\n  {path}\n  error: {exc}")
                continue
            print(f"\n{label}\n  {path}\n  -> {show(result)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""`varnex --tour FILE`: a few paths and options shown on a catalog, as typed and as answered."""

from __future__ import annotations

import shlex
from typing import TYPE_CHECKING

from varnex._cli_output import Output, say

if TYPE_CHECKING:
    from varnex import Result

# (what it shows, the command's arguments before the file name)
TOUR = [
    ("every title", ["catalog.book.#.title"]),
    ("the second book's id", ["catalog.book.1.@id"]),
    ("how many books", ["catalog.book.#"]),
    ("ids of the books over 10", ["catalog.book#(price>10)#.@id"]),
    ("title of the book with id bk103", ['catalog.book#(@id=="bk103").title']),
    ("authors, sorted and unique", ["catalog.book.#.creator|@sort|@unique"]),
    ("average price", ["catalog.book.#.price|@avg"]),
    ("every tag at any depth, as JSON lines", ["--jsonl", "**.tag"]),
    ("the summary text (CDATA)", ["catalog.book.3.summary.#text"]),
    ("one book as a JSON object", ["-j", "--json-elements=dict", "catalog.book.1"]),
    ("several paths in one pass, counted", ["-c", "-e", "catalog.book", "-e", "**.tag"]),
]


def tour(name: str, out: Output) -> int:
    from varnex.cli import STDIN_NAME, Run, open_document, parse_args

    shown = STDIN_NAME if name == "-" else name
    try:
        with open_document(name) as document:
            answers: list[tuple[str, list[str], Run, list[Result] | ValueError]] = []
            for label, args in TOUR:
                options, paths, _ = parse_args(args)
                run = Run(options, paths, False, out)
                try:
                    answers.append((label, args, run, run.query(document)))
                except ValueError as error:  # ambiguous in a document that is no catalog
                    answers.append((label, args, run, error))
    except OSError as error:
        say(f"varnex: {shown}: {error.strerror or error}")
        return 2
    for label, args, run, results in answers:
        command = shlex.join(["varnex", *args, name])
        out.record("", f"# {label}\n$ {command}")
        if isinstance(results, ValueError):
            out.record("", f"varnex: {shown}: {results}")
        else:
            run.write(shown, results)
            if not run.matched and not run.failed:
                out.record("", "(no match)")
        out.record("", "")
    out.flush()
    return 0

"""The `varnex` command: dotted-path queries over XML files from the shell."""

from __future__ import annotations

import argparse
import contextlib
import errno
import functools
import mmap
import os
import stat
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import Any

import varnex
from varnex._cli_json import json_name, json_pieces, to_json
from varnex._cli_output import (
    Output,
    items,
    json_item,
    json_result,
    plain_text,
    raw_text,
    say,
)
from varnex._sources import open_stream, sniff

STDIN_NAME = "(standard input)"

# grep's colours: file names magenta, separators cyan.
NAME_COLOR, SEPARATOR_COLOR, RESET = "\033[35m", "\033[36m", "\033[0m"

USAGE = """\
varnex [OPTIONS] PATH [FILE...]
       varnex [OPTIONS] -e PATH [-e PATH...] [FILE...]
       varnex --validate [--strict] [FILE...]
       varnex --describe RECORD_PATH [FILE...]
       varnex --records RECORD_PATH -f NAME=PATH... [--csv|--tsv|--jsonl|--parquet OUT] [FILE...]
       varnex --tour [FILE]"""

DESCRIPTION = """\
Answer dotted paths (catalog.book.#.title, catalog.book#(price>10)#.@id,
**.title) over XML documents, one pass per file. With no FILE, or where FILE
is -, read standard input. Regular files are memory-mapped, so a query that
needs the start of a large file reads only the start. Gzip, bz2, xz and zstd
input is recognised by its first bytes and decompressed. --records streams:
its records become rows as the input is read, in bounded memory."""

EPILOG = """\
output:
  Every path gives its items in document order, one per line: an attribute,
  a count, an aggregate, or an element with text only prints as its text
  (trimmed); an element with child elements prints as its markup, which may
  span lines (-r prints the text inside it instead; -0 or --jsonl keep items
  apart). A path that matches nothing prints nothing, and standard error says
  where it stopped matching (-q keeps quiet). With several paths the items of
  each path follow in the order the paths were given, each line prefixed with
  "PATH:".
  -j prints one JSON value per file: null for no match, the value of a single
  item, a list for several items (with -e given more than once, an object
  with one answer per path, keyed by the path). --jsonl prints each item as one line of JSON, so its
  shape does not change with the number of matches. Text written as a JSON
  number becomes a number ("44.95", "5"); anything else, "007" included,
  stays a string. With file names shown, each JSON value is wrapped as
  {"file": NAME, "value": VALUE}; otherwise lines are prefixed with "NAME:".
  File names are shown when there are several files (-H, -h override).
  -c prints the number of items of each path: 0 for no match, 1 for a
  single item (a count query such as catalog.book.# is one item).

exit status:
  0 when some path matched in some file, 1 when nothing matched, 2 on usage
  errors, unreadable files and bad paths (2 wins when both happen). A path
  "matches" when it gives at least one item: a count or an aggregate always
  gives one, even when it is 0. --validate: 0 when every file is well formed,
  1 when some file is not (its name is printed), 2 on unreadable files.
  --validate checks structure only: that all markup can be read, that every
  element is closed by an end tag naming it, and that there is one root; not
  attribute syntax, references, characters or encodings. --validate --strict
  checks all of XML 1.0 well-formedness and prints FILE:LINE:COLUMN: message
  for the first error of each file that fails.
  --describe: 0 when some file holds records, 1 when none does.
  --records: 0 when some file holds records, 1 when none does, 2 on errors.

records:
  --records RECORD_PATH with one -f NAME=PATH (or NAME:TYPE=PATH, with an
  Arrow type such as int64, float64, bool, date32) per column writes one row
  per record: CSV with a header (the default), --tsv, --jsonl (one JSON
  object per line) or --parquet OUT. A field that selects each match is a
  list: a JSON array in CSV and TSV. The rows of every FILE follow each other.
  A progress line (bytes read, records, MB/s) goes to standard error when it
  is a terminal (--no-progress turns it off).

examples:
  varnex 'catalog.book#(price>10)#.@id' catalog.xml
  varnex -j --json-elements=dict 'catalog.book#(@id=="bk104")' < catalog.xml
  varnex -c -e '**.error' -e '**.warning' reports/*.xml
  varnex --describe 'catalog.book.#' catalog.xml
  varnex --records catalog.book -f id=@id -f price:float64=price dump.xml.gz"""


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="varnex",
        usage=USAGE,
        description=DESCRIPTION,
        epilog=EPILOG,
        add_help=False,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("operands", nargs="*", metavar="PATH FILE", help=argparse.SUPPRESS)
    parser.add_argument(
        "-e",
        "--path",
        dest="paths",
        action="append",
        metavar="PATH",
        help="a path to answer; give it again for more paths, answered in one pass per file",
    )
    mode = parser.add_mutually_exclusive_group()
    for flags, name, text in [
        (("-r", "--raw"), "raw", "text only: an element with children as the text inside it"),
        (("-j", "--json"), "json", "one JSON value per file"),
        (("--jsonl",), "jsonl", "one line of JSON per item"),
        (("-c", "--count"), "count", "the number of items of each path"),
        (("--validate",), "validate",
         "report the files whose structure is broken: unreadable markup, an element not "
         "closed by its end tag, no single root (see --strict)"),
        (("--describe",), "describe",
         "list the element and attribute paths inside the records PATH selects (the first "
         "10,000 of each file): how many hold each, how often, sample values and a type"),
        (("--tour",), "tour",
         "a short tour of paths and options over FILE (a catalog; without FILE, the one "
         "that comes with varnex)"),
        (("--csv",), "csv", "with --records: CSV rows with a header (the default)"),
        (("--tsv",), "tsv", "with --records: tab-separated rows with a header"),
    ]:
        mode.add_argument(*flags, dest="mode", action="store_const", const=name, help=text)
    mode.add_argument("--parquet", metavar="OUT", help="with --records: write a Parquet file")
    parser.add_argument(
        "--records",
        metavar="RECORD_PATH",
        help="stream the records RECORD_PATH selects as rows, one column per -f",
    )
    parser.add_argument(
        "-f",
        "--field",
        dest="fields",
        action="append",
        default=[],
        metavar="NAME=PATH",
        help="with --records: a column, NAME=PATH or NAME:TYPE=PATH, read inside each record",
    )
    parser.add_argument(
        "--no-progress",
        dest="progress",
        action="store_false",
        help="with --records: no progress line on standard error",
    )
    parser.add_argument(
        "--strict",
        action="store_true",
        help="with --validate: check full XML 1.0 well-formedness, and say where each file fails",
    )
    parser.add_argument(
        "--json-elements",
        choices=("markup", "dict"),
        default="markup",
        help="JSON for an element with children: its markup (default) or a nested "
        'object with attributes under "@name" and text under "#text"',
    )
    parser.add_argument(
        "-H",
        "--with-filename",
        dest="names",
        action="store_const",
        const=True,
        help="show the file name with each answer",
    )
    parser.add_argument(
        "-h",
        "--no-filename",
        dest="names",
        action="store_const",
        const=False,
        help="never show file names",
    )
    parser.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        help="say nothing on standard error about paths that match nothing",
    )
    parser.add_argument(
        "--color",
        "--colour",
        choices=("auto", "always", "never"),
        default="auto",
        help="colour file names and separators: auto (the default) when writing to a "
        "terminal and NO_COLOR is unset",
    )
    parser.add_argument(
        "-0",
        "--null",
        action="store_true",
        help="end each item with a NUL byte instead of a line feed (for xargs -0)",
    )
    parser.add_argument(
        "-N",
        "--namespace",
        dest="bindings",
        action="append",
        metavar="PREFIX=URI",
        help="the prefix PREFIX in paths means the namespace URI (an empty PREFIX binds "
        "unprefixed element names); give it again for more",
    )
    parser.add_argument(
        "--namespaces",
        metavar="FILE",
        help="read PREFIX=URI bindings from FILE, one a line (a line starting with # is a "
        "comment), as -N does",
    )
    parser.add_argument(
        "-P",
        "--threads",
        type=_threads,
        default=1,
        metavar="N",
        help="read each large file on N threads (0: one per core); the answers are those "
        "of one thread",
    )
    parser.add_argument("--version", action="version", version=f"varnex {_version()}")
    parser.add_argument("--help", action="help", help="show this help and exit")
    parser.set_defaults(mode="plain")
    return parser


def _threads(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        n = -1
    if n < 0:
        raise argparse.ArgumentTypeError(f"not a number of threads: {text!r}")
    return n


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("varnex")
    except PackageNotFoundError:
        return "unknown"


def parse_args(argv: Sequence[str] | None) -> tuple[argparse.Namespace, list[str], list[str]]:
    """The options, the path texts and the file names (exits with status 2 on misuse)."""
    parser = _parser()
    options = parser.parse_intermixed_args(argv)
    operands: list[str] = options.operands
    paths: list[str] = options.paths or []
    if options.strict and options.mode != "validate":
        parser.error("--strict goes with --validate")
    if options.records is not None:
        if paths:
            parser.error("--records takes its record path and -f fields, not -e")
        if options.mode not in ("plain", "csv", "tsv", "jsonl") or options.parquet is not None \
                and options.mode != "plain":
            parser.error("--records writes --csv, --tsv, --jsonl or --parquet OUT")
        return options, [], operands or ["-"]
    if options.fields or options.mode in ("csv", "tsv") or options.parquet is not None:
        parser.error("-f, --csv, --tsv and --parquet go with --records")
    if options.mode in ("validate", "tour"):
        if paths:
            parser.error(f"--{options.mode} takes no paths")
        if options.mode == "tour" and len(operands) > 1:
            parser.error("--tour takes at most one FILE")
        if options.mode == "tour" and not operands:
            operands = [str(packaged_catalog())]
        files = operands
    elif options.mode == "describe" and len(paths) > 1:
        parser.error("--describe takes one RECORD_PATH")
    elif paths:
        files = operands
    elif operands:
        paths, files = operands[:1], operands[1:]
    else:
        parser.error("a PATH is required")
    options.namespace_map = _namespace_map(parser, options)
    return options, paths, files or ["-"]


def _binding(parser: argparse.ArgumentParser, text: str, where: str) -> tuple[str, str]:
    prefix, equals, uri = text.partition("=")
    if not equals:
        parser.error(f"{where}: a binding is PREFIX=URI, not {text!r}")
    return prefix.strip(), uri.strip()


def _namespace_map(parser: argparse.ArgumentParser,
                   options: argparse.Namespace) -> dict[str, str] | None:
    """The prefix map of --namespaces FILE and then each -N (a later one wins), or None."""
    if options.bindings is None and options.namespaces is None:
        return None
    found: dict[str, str] = {}
    if options.namespaces is not None:
        try:
            with open(options.namespaces, encoding="utf-8") as f:
                lines = f.read().splitlines()
        except (OSError, UnicodeDecodeError) as error:
            parser.error(f"--namespaces {options.namespaces}: {error}")
        for number, line in enumerate(lines, 1):
            line = line.strip()
            if line and not line.startswith("#"):  # URIs may hold '#': comments are lines
                prefix, uri = _binding(parser, line, f"{options.namespaces}:{number}")
                found[prefix] = uri
    for text in options.bindings or []:
        prefix, uri = _binding(parser, text, "-N")
        found[prefix] = uri
    return found


def packaged_catalog() -> Any:
    """The catalog that comes with the package, for the tour."""
    from importlib.resources import files

    return files("varnex") / "examples" / "catalog.xml"


def use_color(choice: str, stream: Any) -> bool:
    if choice != "auto":
        return choice == "always"
    if os.environ.get("NO_COLOR") or os.environ.get("TERM") == "dumb":
        return False
    isatty = getattr(stream, "isatty", None)
    return bool(isatty and isatty())


@contextlib.contextmanager
def open_document(name: str) -> Iterator[Any]:
    """The document's bytes: a read-only map of a regular file, else everything read."""
    with contextlib.ExitStack() as stack:
        if name == "-":
            if sys.stdin is None:
                raise OSError(errno.EBADF, os.strerror(errno.EBADF))
            stream = sys.stdin.buffer
        else:
            stream = stack.enter_context(open(name, "rb"))
        document = _map(stream.fileno())
        if document is None:
            yield _inflated(stream.read())
        else:
            with document:
                yield _inflated(document)


def _inflated(document: Any) -> Any:
    """The document itself, or all of it decompressed when its first bytes say it is."""
    if sniff(bytes(document[:6])) is None:
        return document
    return b"".join(open_stream(document).pieces)


def _map(fd: int) -> mmap.mmap | None:
    info = os.fstat(fd)
    # Only a non-empty regular file read from its start (standard input may be a
    # file someone already read from); some special files refuse to be mapped.
    if not stat.S_ISREG(info.st_mode) or info.st_size == 0 or os.lseek(fd, 0, os.SEEK_CUR):
        return None
    try:
        document = mmap.mmap(fd, 0, access=mmap.ACCESS_READ)
    except (OSError, ValueError):
        return None
    if hasattr(document, "madvise"):
        document.madvise(mmap.MADV_SEQUENTIAL)
    return document


class Run:
    """One invocation: its options, compiled paths and output, and what happened so far."""

    def __init__(
        self, options: argparse.Namespace, paths: list[str], show_names: bool, out: Output
    ) -> None:
        self.options = options
        self.texts = paths
        for path in paths:
            try:
                path.encode()
            except UnicodeEncodeError:  # bytes the shell passed that are not UTF-8
                shown = os.fsencode(path).decode(errors="backslashreplace")
                raise ValueError(f'path is not valid UTF-8: "{shown}"') from None
        # ValueError for a bad path, or a prefix no binding names
        self.paths = [varnex.compile(path, namespaces=options.namespace_map) for path in paths]
        self.show_names = show_names
        self.out = out
        self.color = False
        self.labels = _labels(paths) if len(paths) > 1 else []
        self.hit: set[int] = set()  # paths that matched somewhere
        self.unmatched: dict[int, str] = {}  # why each other path gave nothing, first file seen
        self.matched = False
        self.malformed = False
        self.failed = False

    def fail(self, message: str) -> None:
        self.failed = True
        self.out.flush()
        say(f"varnex: {message}")

    def status(self) -> int:
        if self.failed:
            return 2
        if self.options.mode == "validate":
            return 1 if self.malformed else 0
        return 0 if self.matched else 1

    def query_file(self, name: str) -> None:
        shown = STDIN_NAME if name == "-" else name
        results = self._read(name, shown, lambda document: self.query(document, shown))
        if results is not None:
            self.write(shown, results)
            self.out.flush()

    def validate_file(self, name: str) -> None:
        shown = STDIN_NAME if name == "-" else name
        if self.options.strict:
            error = self._read(name, shown, _first_error)
            if error is not None and error is not False:
                self.malformed = True
                where = f" (in {error.path})" if error.path else ""
                self.out.record("", f"{shown}:{error.line}:{error.column}: {error.message}{where}")
            return
        threads = self.options.threads
        well_formed = self._read(name, shown, lambda d: varnex.validate(d, threads=threads))
        if well_formed is False:
            self.malformed = True
            self.out.record("", f"{shown}: not well formed")

    def describe_file(self, name: str) -> None:
        shown = STDIN_NAME if name == "-" else name
        found = self._read(name, shown, lambda d: varnex.describe_records(d, self.texts[0]))
        if found is not None:
            self.matched = self.matched or found.records > 0
            if self.show_names:
                self.out.record("", f"{shown}:")
            self.out.records("", str(found).splitlines())
            self.out.flush()

    def _read(self, name: str, shown: str, action: Callable[[Any], Any]) -> Any:
        """What `action` makes of the document, or None after reporting why not."""
        try:
            with open_document(name) as document:
                return action(document)
        except OSError as error:
            hint = ""
            if isinstance(error, FileNotFoundError) and self._path_looks_like_a_file():
                hint = f" ({self.texts[0]} is a file: the path comes first)"
            self.fail(f"{shown}: {error.strerror or error}{hint}")
        except MemoryError:
            self.fail(f"{shown}: not enough memory")
        except ValueError as error:  # a path that is ambiguous in this document
            self.fail(f"{shown}: {error}")
        return None

    def _path_looks_like_a_file(self) -> bool:
        return not self.options.paths and len(self.texts) == 1 and os.path.isfile(self.texts[0])

    def query(self, document: Any, shown: str = "") -> list[varnex.Result]:
        threads = self.options.threads
        if len(self.paths) == 1:
            results = [self.paths[0].get_buffer(document, threads=threads)]
        else:
            results = varnex.get_many_buffer(document, self.paths, threads=threads)
        for i, result in enumerate(results):
            if len(result):
                self.hit.add(i)
            elif i not in self.unmatched and not self.options.quiet:
                where = f" in {shown}" if self.show_names else ""
                why = varnex.explain(document, self.texts[i])
                self.unmatched[i] = f"{self.texts[i]} matches nothing{where}: {why}"
        return results

    def explain_unmatched(self) -> None:
        """On standard error, for each path that matched in no file, where it stopped."""
        for i in sorted(self.unmatched):
            if i not in self.hit:
                say(f"varnex: {self.unmatched[i]}")

    def write(self, shown: str, results: list[varnex.Result]) -> None:
        mode = self.options.mode
        elements = self.options.json_elements
        prefix = self._prefix(shown) if self.show_names and mode not in ("json", "jsonl") else ""
        self.matched = self.matched or any(len(result) for result in results)
        if mode == "count":
            for i, result in enumerate(results):
                self.out.record(prefix + self._label(i), str(len(result)))
        elif mode == "json":
            try:
                values = [json_result(result, elements) for result in results]
            except ValueError as error:
                self.fail(f"{shown}: {error}")
                return
            value = dict(zip(self.labels, values, strict=True)) if self.labels else values[0]
            self.out.stream(json_pieces(self._named(shown, value), indent="  "))
        else:
            for i, (path, result) in enumerate(zip(self.texts, results, strict=True)):
                render: Callable[[varnex.Result], str]
                if mode == "jsonl":
                    label = self.labels[i] if self.labels else None
                    render = functools.partial(self._json_line, shown, elements, label)
                else:
                    render = raw_text if mode == "raw" else plain_text
                line_prefix = prefix if mode == "jsonl" else prefix + self._label(i)
                self.out.records(line_prefix, self._rendered(shown, path, result, render))

    def _rendered(
        self, shown: str, path: str, result: varnex.Result, render: Callable[[Any], str]
    ) -> Iterator[str]:
        for item in items(result):
            try:
                yield render(item)
            except ValueError as error:  # text that is not UTF-8
                self.fail(f"{shown}: {path}: {error}")

    def _named(self, shown: str, value: Any, path: str | None = None) -> Any:
        named: dict[str, Any] = {"file": json_name(shown)} if self.show_names else {}
        if path is not None:
            named["path"] = path
        return {**named, "value": value} if named else value

    def _json_line(self, shown: str, elements: str, label: str | None, item: Any) -> str:
        return to_json(self._named(shown, json_item(item, elements), label))

    def _prefix(self, shown: str) -> str:
        if self.color:
            return f"{NAME_COLOR}{shown}{RESET}{SEPARATOR_COLOR}:{RESET}"
        return shown + ":"

    def _label(self, i: int) -> str:
        """The "PATH:" before each answer of path `i` when there are several paths."""
        if not self.labels:
            return ""
        if self.color:
            return f"{self.labels[i]}{SEPARATOR_COLOR}:{RESET}"
        return self.labels[i] + ":"


def _labels(paths: list[str]) -> list[str]:
    """Each path's text, made unique where a path is given twice ("p", "p (2)")."""
    labels: list[str] = []
    for path in paths:
        label, n = path, 1
        while label in labels:
            n += 1
            label = f"{path} ({n})"
        labels.append(label)
    return labels


def _first_error(document: Any) -> varnex.XMLSyntaxError | bool:
    """The document's first well-formedness error, or False when it has none."""
    try:
        varnex.check(document)
    except varnex.XMLSyntaxError as error:
        return error
    return False


def run(argv: Sequence[str] | None) -> int:
    options, paths, files = parse_args(argv)
    if sys.stdout is None:
        raise OSError(errno.EBADF, os.strerror(errno.EBADF))
    if options.records is not None:
        from varnex._cli_records import run_records

        kind = "csv" if options.mode == "plain" else options.mode
        return run_records(options.records, options.fields, files, kind, options.parquet,
                           options.progress)
    out = Output(sys.stdout.buffer, "\0" if options.null else "\n")
    if options.mode == "tour":
        from varnex._cli_tour import tour

        return tour(files[0], out)
    show_names = options.names if options.names is not None else len(files) > 1
    try:
        state = Run(options, paths, show_names, out)
    except ValueError as error:
        say(f"varnex: {error}")
        return 2
    state.color = use_color(options.color, sys.stdout)
    for name in files:
        if options.mode == "validate":
            state.validate_file(name)
        elif options.mode == "describe":
            state.describe_file(name)
        else:
            state.query_file(name)
    out.flush()
    state.explain_unmatched()
    return state.status()


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of the `varnex` console script and of `python -m varnex`."""
    try:
        return run(argv)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (`| head`): end quietly, and keep the interpreter's
        # final flush of standard output from failing again.
        with contextlib.suppress(OSError):
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        return 141
    except OSError as error:  # files report their own errors: this one is the output's
        say(f"varnex: write error: {error.strerror or error}")
        return 2

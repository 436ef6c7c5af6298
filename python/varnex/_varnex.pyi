"""The native core of varnex: queries, their results and the well-formedness check.

`import varnex` re-exports it.
"""

from collections.abc import Callable, Iterator, Mapping
from os import PathLike
from typing import Any, ClassVar, Literal, NoReturn, SupportsIndex, final, overload

from typing_extensions import Buffer

__all__ = [
    "get",
    "get_bytes",
    "get_buffer",
    "get_many",
    "get_many_bytes",
    "get_many_buffer",
    "parse",
    "compile",
    "validate",
    "check",
    "namespaces",
    "Path",
    "Result",
    "ResultCharIter",
    "ResultItemIter",
    "ResultChildKeyIter",
    "ResultChildValueIter",
    "ResultChildItemIter",
    "ResultChildIter",
    "ResultKeysView",
    "ResultValuesView",
    "ResultItemsView",
    "ResultChildrenView",
    "XMLSyntaxError",
]

# A file named by a path is mapped read-only for the call (kept while a Result refers to it).
_File = PathLike[str] | PathLike[bytes]

# Every function and method takes its arguments positionally or by keyword; only the
# operator methods (`r[key]`, `r == x`) are positional-only, as in Python itself.
# A paths list must be a list (a tuple is refused when called), and list is invariant: one
# overload for each list a caller builds (texts, Paths, both) accepts each of them, where a
# union of the three would make mypy read a literal mixing texts and Paths as list[object].

def get(
    data: str | _File,
    path: str,
    *,
    namespaces: Mapping[str, str] | None = None,
    threads: int = 1,
) -> Result:
    """Answer `path` over the XML document `data`, a `str`, or the file an `os.PathLike`
    (`pathlib.Path`) names, which is mapped read-only (as [`get_bytes`][varnex._varnex.get_bytes]
    reads bytes) and unmapped once no `Result` refers into it.

    The string is read in place through its UTF-8 form; matched elements refer to it by
    offsets, so the `Result` keeps `data` alive and copies nothing. An empty `path` matches
    nothing.

    Names in `path` may say their namespace: `{uri}name` matches a name in that namespace
    (resolved through the document's `xmlns` declarations), `{}name` one in no namespace,
    `{*}name` (or a plain `name`) one in any. `namespaces` maps prefixes to URIs: a prefix
    written in the path then means its URI, whatever prefix the document uses, and `""`
    binds the path's unprefixed element names. Every entry point takes the same map.

    `threads` reads one large document on several cores (`0`: one per core): the root's
    children are cut into ranges of 1 MiB or more, each read by a thread of its own, and the
    answers joined in order are exactly one thread's (errors, `@first` and `@last`
    included). A path that must see the root's children in one pass (an index such as
    `root.item.3`, a unique step such as `root.item.name`, a first match `root.item#(...)`,
    the root itself), and a document below 2 MiB, are read by one thread.

    Raises:
        ValueError: the path does not compile (a prefix the map does not bind included), or
            it is ambiguous in this document (a name that matches several elements where the
            path goes on).
        TypeError: `data` or `path` is not a `str`, or `namespaces` is not a mapping of `str`
            to `str`.
        OSError: the file cannot be opened or mapped (`FileNotFoundError`, ...).
        ValueError: `data` is a `str` without markup that names a file (pass a `Path`).
    """

def get_bytes(
    data: bytes | _File,
    path: str,
    *,
    namespaces: Mapping[str, str] | None = None,
    threads: int = 1,
) -> Result:
    """Answer `path` over the XML document `data`, a `bytes` object, read in place.

    The encoding is that of the byte-order mark, else of the XML declaration, else UTF-8.
    Matched elements refer to `data` by offsets, as with [`get`][varnex._varnex.get]; a
    document in another encoding than UTF-8 is decoded once and its elements are copies.
    """

def get_buffer(
    data: Buffer | _File,
    path: str,
    *,
    namespaces: Mapping[str, str] | None = None,
    threads: int = 1,
) -> Result:
    """Answer `path` over any C-contiguous buffer of single bytes: `mmap`, `bytearray`,
    `memoryview`, `array('B')`, `bytes`.

    The buffer is only borrowed for the call: matched elements are copied, so `data` may be
    changed or closed afterwards. The way to query a file larger than memory is an `mmap`.

    Raises:
        ValueError: `data` has no such buffer, or the buffer is not C-contiguous.
    """

@overload
def get_many(
    data: str | _File,
    paths: list[str | Path],
    *,
    namespaces: Mapping[str, str] | None = None,
    threads: int = 1,
) -> list[Result]:
    """Answer every path of `paths` in one pass over `data`, a `str`: one `Result` per path,
    in order.

    Entries may be path texts or compiled [`Path`][varnex._varnex.Path] objects; an empty text
    gives an empty `Result`. Every path is compiled before the document is read. The
    results own copies of what they matched (unlike [`get`][varnex._varnex.get]), and a path
    with a modifier may answer with text where [`get`][varnex._varnex.get] gives elements.

    Raises:
        TypeError: `paths` is not a `list`, or holds something other than `str` or `Path`.
        ValueError: a path does not compile, or one is ambiguous in this document.
    """
@overload
def get_many(
    data: str | _File,
    paths: list[str],
    *,
    namespaces: Mapping[str, str] | None = None,
    threads: int = 1,
) -> list[Result]: ...
@overload
def get_many(
    data: str | _File,
    paths: list[Path],
    *,
    namespaces: Mapping[str, str] | None = None,
    threads: int = 1,
) -> list[Result]: ...

@overload
def get_many_bytes(
    data: bytes | _File,
    paths: list[str | Path],
    *,
    namespaces: Mapping[str, str] | None = None,
    threads: int = 1,
) -> list[Result]:
    """[`get_many`][varnex._varnex.get_many] over a `bytes` document; the results refer into
    `data` instead of copying it."""
@overload
def get_many_bytes(
    data: bytes | _File,
    paths: list[str],
    *,
    namespaces: Mapping[str, str] | None = None,
    threads: int = 1,
) -> list[Result]: ...
@overload
def get_many_bytes(
    data: bytes | _File,
    paths: list[Path],
    *,
    namespaces: Mapping[str, str] | None = None,
    threads: int = 1,
) -> list[Result]: ...

@overload
def get_many_buffer(
    data: Buffer | _File,
    paths: list[str | Path],
    *,
    namespaces: Mapping[str, str] | None = None,
    threads: int = 1,
) -> list[Result]:
    """[`get_many`][varnex._varnex.get_many] over a byte buffer (`mmap`, `bytearray`, ...),
    borrowed only during the pass; the results own copies."""
@overload
def get_many_buffer(
    data: Buffer | _File,
    paths: list[str],
    *,
    namespaces: Mapping[str, str] | None = None,
    threads: int = 1,
) -> list[Result]: ...
@overload
def get_many_buffer(
    data: Buffer | _File,
    paths: list[Path],
    *,
    namespaces: Mapping[str, str] | None = None,
    threads: int = 1,
) -> list[Result]: ...

def parse(data: str | bytes | Buffer | _File) -> Result:
    """The whole document as a `Result` of one element, without reading it.

    Nothing is checked or copied: the `Result` refers to `data` and reads it at each use,
    so [`Result.get`][varnex._varnex.Result.get] on it starts at the document's top, where a
    path names the root element first. Over a mutable buffer it sees the current contents.
    """

def compile(path: str, *, namespaces: Mapping[str, str] | None = None) -> Path:
    """Compile `path` once, for queries that repeat it.

    Raises:
        ValueError: the path does not compile; the message shows the path and a caret under
            the fault. An empty path is an error here.
    """

def namespaces(data: str | bytes | Buffer) -> dict[str, list[str]]:
    """The namespace declarations of `data`: each prefix (`""` for the default namespace)
    with the URIs it is bound to, each once, in document order (`""` where the default
    namespace is undeclared with `xmlns=""`). What a `namespaces=` map can be written from.
    """

def validate(
    data: str | bytes | Buffer | _File, strict: bool = False, *, threads: int = 1
) -> bool:
    """Whether `data` is sound XML. Reads the whole document once.

    By default the test is of its **structure**: every piece of markup can be read, every
    element is closed by an end tag naming it, and there is exactly one top-level element.
    Attribute syntax, entity and character references, which characters appear where, and
    whether the bytes are valid in their encoding are not checked.

    With `strict=True` it is [`check`][varnex._varnex.check]'s test of XML 1.0
    well-formedness, as a `bool`.

    `threads` cuts a large document among several cores as [`get`][varnex._varnex.get]
    does (the structural test only: `strict=True` reads on one thread).
    """

def check(data: str | bytes | Buffer | _File) -> None:
    """Check that `data` is well-formed XML 1.0 (fifth edition); return nothing if it is.

    Everything the standard asks of a well-formed document entity is checked: the XML
    declaration, the encoding, characters, names, tags and attributes (unique, also by
    namespace where prefixes are declared), references, entities declared in the internal
    subset and their replacement texts, comments, processing instructions, CDATA sections,
    the internal subset's declarations, one root. Not checked: validity against the DTD,
    external entities and the external subset (never read), the namespace rules beyond
    unique attributes. Reads the whole document once.

    Raises:
        XMLSyntaxError: at the first error, saying where it is.
        ValueError: `data` exports no usable buffer (as for `validate`).
    """

def _compile_plan(
    record_path: str | Path, fields: tuple[tuple[Any, ...], ...], on_error: str, *,
    namespaces: Mapping[str, str] | None = None,
) -> tuple[Any, tuple[bool, ...]]:
    """Private: a capsule of the compiled fields (each a varnex._fields.NativeField, read by
    its parts' names), and for each field whether it is a list column."""

def _records(
    data: str | bytes | Buffer | _File, plan: Any, *, threads: int = 1
) -> tuple[list[dict[str, Any]], int, str | None]:
    """Private: the rows of a plan, the records skipped and the first one's error."""

def _cut_root(head: bytes, plan: Any) -> tuple[int, bytes, bytes] | None:
    """Private: where the root's content starts, its name and its records' name, when
    the plan's records can be read range by range in the document `head` begins."""

def _next_cut(data: bytes, at: int, child: bytes) -> int:
    """Private: the first offset from `at` on where one of the root's children most likely
    starts, or -1."""

def _ends_between_children(data: bytes, start: int) -> bool:
    """Private: whether the head and range in `data` end between two of the root's children."""

def _table(
    data: str | bytes | Buffer | _File, plan: Any, *, threads: int = 1
) -> tuple[list[tuple[int, list[tuple[Any, ...]]]], int, str | None]:
    """Private: the Arrow buffers of a plan's batches (per column a ColumnArrays, the named
    tuple (length, nulls, buffers, children, dictionary)), the records skipped and the first
    one's error."""

def _table_stream(
    data: Buffer,
    plan: Any,
    limits: tuple[int, int],
    on_batch: Callable[[list[tuple[int, list[tuple[Any, ...]]]], int], object],
) -> tuple[int, str | None] | None:
    """Private: _table's batches handed to `on_batch` (with the offset their last record ends
    at) as each closes, then the records skipped and the first one's error; None, having read
    nothing, for a document that is not read in place."""

def _describe(
    data: str | bytes | Buffer | _File,
    record_path: str | Path,
    sample: int,
    samples: int,
    *,
    namespaces: Mapping[str, str] | None = None,
) -> tuple[int, list[tuple[str, bool, int, int, bool, list[str], str]]]:
    """Private: the records read, and per path found (path, is attribute, records holding it,
    most in one record, has children, samples, type)."""

def _set_offset_limit(limit: int) -> int:
    """Private, for the tests: how far 32-bit offsets may reach in one batch; the old value."""

def _set_index_path(name: str) -> str:
    """Private, for the tests and benchmarks: the structural index's classifier ("portable",
    "sse2", "avx2" or "avx512"; one the processor lacks falls back to the best it has); the
    one in use before."""

def _stream_open(plan: Any, as_rows: object, text: object, limits: tuple[int, int]) -> Any:
    """Private: a capsule reading a plan's records from a document given a piece at a time,
    as rows or as batches of at most (rows, bytes of markup)."""

def _stream_feed(
    stream: Any, chunk: str | bytes | Buffer | None, final: object, drain: object = False
) -> tuple[list[Any], int, str | None]:
    """Private: the rows or batches the next piece (None: the pieces taken) completes (every
    one when `final`, the complete ones when `drain`), the records skipped so far and the
    first one's error."""

def _stream_take(stream: Any, chunk: str | bytes | Buffer, follow: bool) -> None:
    """Private: the next piece decoded (and with `follow` its markup followed), for a reading
    thread."""

@overload
def _declared_codec(head: Buffer, final: Literal[True]) -> tuple[str, str, str | None]: ...
@overload
def _declared_codec(head: Buffer, final: bool) -> tuple[str, str, str | None] | None: ...
def _set_stream_window(bytes: int) -> int:
    """Private, for the tests: the bytes gathered before a pass; the old value."""

def _element_dict(result: Result, scalar: Callable[[str], Any]) -> Any:
    """Private: one element as nested dicts ("@name", children by name, "#text") of scalar(text)."""

def _path_steps(
    path: str, *, namespaces: Mapping[str, str] | None = None
) -> tuple[list[tuple[str, str, str, int, str]], int]:
    """Private: the compiled steps of `path` (kind, name, selector, index, filter), and the
    number of its modifiers."""
def _run_steps(
    data: str | bytes | Buffer | _File,
    path: str,
    count: int,
    *,
    namespaces: Mapping[str, str] | None = None,
) -> Result:
    """Private: the first `count` steps of `path`, without its modifiers, over `data`."""
def _element_name(result: Result) -> str | None:
    """Private: the name of the first element `result` holds (for `parse`, the root's)."""
def _to_str_lossy(result: Result) -> str:
    """Private: to_str(), with U+FFFD for text that is not UTF-8 instead of ValueError."""

@final
class Path:
    """A compiled path, made by [`compile`][varnex._varnex.compile] and reused without
    compiling again.

    It may be given, mixed with texts, in the paths list of `get_many`. Paths compare equal
    and hash alike when their texts are equal, and pickle and copy as `compile(text)`, so they
    can be sent to other processes. A `Path` may be used from any thread.
    """

    def get(self, data: str | _File, *, threads: int = 1) -> Result:
        """[`varnex.get`][varnex._varnex.get] with this path."""
    def get_bytes(self, data: bytes | _File, *, threads: int = 1) -> Result:
        """[`varnex.get_bytes`][varnex._varnex.get_bytes] with this path."""
    def get_buffer(self, data: Buffer | _File, *, threads: int = 1) -> Result:
        """[`varnex.get_buffer`][varnex._varnex.get_buffer] with this path."""
    def __reduce__(self) -> tuple[Callable[[str], Path], tuple[str]]:
        """`(compile, (text,))`: how a `Path` pickles and copies."""
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class Result:
    """What one query matched, behaving by what that is (its mode).

    - nothing matched: like `None`, and `value` is `None`;
    - one text, attribute value, count, or element without child elements (a scalar): like
      a number or a string, and `value` is an `int`, `float` or `str`;
    - one element with child elements (dict-like): like a read-only `dict`, and `value` is
      a `dict[str, Result]` of its children by name;
    - several matches: like a `list`, and `value` is a `list[Result]`.

    A `Result` never changes and cannot be made directly, hashed or pickled (it refers to
    the document it was read from: send plain values such as `to_str()` instead).

    Typing: the mode is known only once the query has run, so the types follow the list
    view, the common case. `r[i]`, `r[a:b]` and iterating `r` are typed as giving `Result`s,
    which is what they give when several matched. For one match they act as on
    a `str` (one character, a substring, each character), and iterating a dict-like result
    gives its keys: use `to_str()`, or `keys()` and `items()`, which are typed exactly. The
    `value` attribute is typed `Any` for the same reason: narrow it with `isinstance`, or
    use the typed conversions `to_str()`, `to_int()`, `to_float()` and `to_bool()`.
    """

    @property
    def type_(
        self,
    ) -> (
        type[int] | type[float] | type[str] | type[list[Result]] | type[dict[str, Result]] | None
    ):
        """The type of `value`: `int`, `float` or `str` for one scalar, `dict` for one element
        with child elements, `list` for several matches, and `None` itself (not its type)
        when nothing matched."""
    @property
    def value(self) -> Any:
        """The match in its natural Python type: `None` when nothing matched; for one scalar
        its trimmed text as an `int` (`"007"` is 7), else a `float` (`"1e3"`, `"nan"`), else
        the `str`; a `dict[str, Result]` of child names for one element with child elements;
        a `list[Result]` for several matches.

        Typed `Any` because which of these it is depends on the document: check with
        `isinstance` or `type_`, or use a typed conversion such as `to_str()`.

        Raises:
            ValueError: the text or a child name is not valid UTF-8.
        """
    def exists(self) -> bool:
        """Whether anything matched (unlike `bool(r)`, which is the truth of `value`)."""
    def to_str(self) -> str:
        """The text: `""` when nothing matched; one scalar's text, trimmed; for an element
        with child elements or several matches, the raw markup and texts of every item,
        joined by line feeds.

        Raises:
            ValueError: a scalar text is not valid UTF-8.
        """
    def to_str_list(self) -> list[str]:
        """Every item's `to_str()` text, in order, in one call: exactly
        `[x.to_str() for x in r]` for a list, `[r.to_str()]` for one item and `[]` for
        none, at a fraction of the cost per item.

        Raises:
            ValueError: an item's scalar text is not valid UTF-8 (the first such item's).
        """
    def to_int(self) -> int:
        """The first item's trimmed text read as an integer, leniently: a float is cut toward
        zero and clamped to 64 bits; text that is no number, or no match, gives 0. Never
        raises for the text."""
    def to_float(self) -> float:
        """The first item's trimmed text read as a float, leniently: 0.0 when it is no number
        or nothing matched. Never raises for the text."""
    def to_bool(self) -> bool:
        """One scalar's text read as a flag: `1` and `true` are true, `0` and `false` false
        (also `t`, `T`, `True`, `TRUE`, `f`, `F`, `False`, `FALSE` when written in double
        quotes), anything else `to_int() != 0`. Nothing matched is false; an element with
        child elements, or several matches, true."""
    def get(self, path: str, *, namespaces: Mapping[str, str] | None = None) -> Result:
        """Answer `path` inside the one matched element: its first name is looked for among the
        element's children (on a [`parse`][varnex._varnex.parse] result, at the document's
        top). Nothing matched, or a text, gives an empty `Result`.

        Raises:
            ValueError: the `Result` holds several matches (pick one or iterate first), the
                path does not compile, or it is ambiguous.
        """
    @overload
    def get_many(
        self, paths: list[str | Path], *, namespaces: Mapping[str, str] | None = None
    ) -> list[Result]:
        """[`get`][varnex._varnex.Result.get] for each path, in one pass over the element.

        Raises:
            ValueError: the `Result` holds several matches, or a path does not compile.
            TypeError: as for [`varnex.get_many`][varnex._varnex.get_many].
        """
    @overload
    def get_many(
        self, paths: list[str], *, namespaces: Mapping[str, str] | None = None
    ) -> list[Result]: ...
    @overload
    def get_many(
        self, paths: list[Path], *, namespaces: Mapping[str, str] | None = None
    ) -> list[Result]: ...
    def keys(self) -> ResultKeysView:
        """The child element names of a dict-like result, each once, in order of first
        occurrence; the prefix counts (`x:a` is not `a`).

        Raises:
            TypeError: the `Result` is not one element with child elements.
        """
    def values(self) -> ResultValuesView:
        """For each key, a `Result` of every direct child with that name.

        Raises:
            TypeError: the `Result` is not one element with child elements.
        """
    def items(self) -> ResultItemsView:
        """`(name, Result)` pairs, one per key.

        Raises:
            TypeError: the `Result` is not one element with child elements.
        """
    def children(self) -> ResultChildrenView:
        """`(name, Result)` pairs, one per direct child element in document order; repeated
        names are not merged.

        Raises:
            TypeError: the `Result` is not one element with child elements.
        """
    def __getitem__(self, key: str | SupportsIndex | slice, /) -> Result:
        """`r[i]` (negative counts from the end) and `r[a:b:c]` pick among several matches;
        `r["name"]` gives the children so named of a dict-like result.

        On one scalar, an integer or a slice picks characters of its untrimmed text and
        gives a `str` (see the class's note on typing).

        Raises:
            IndexError: the index is out of range.
            KeyError: no child has that name, or a dict-like result was given an integer or
                slice.
            TypeError: a string key on a result that is not dict-like, or a key of another
                type.
        """
    def __iter__(self) -> Iterator[Result]:
        """One `Result` per match; nothing when nothing matched. One scalar yields its
        characters and a dict-like result its keys (see the class's note on typing)."""
    def __len__(self) -> int:
        """The number of matches: 0, 1 (also for a dict-like result), or more."""
    def __bool__(self) -> bool:
        """The truth of `value`: `"false"` and `"abc"` are true, `"0"` and `""` false."""
    def __int__(self) -> int:
        """`int(r.value)`: strict, unlike `to_int()`."""
    def __float__(self) -> float:
        """`float(r.value)`: strict, unlike `to_float()`."""
    def __eq__(self, other: object, /) -> bool:
        """Compare texts exactly, untrimmed: with a `Result`, every item's text; with a `list`
        of `str`, each item's text in turn; with a `str`, the first item's text. Anything
        else is unequal."""
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __reduce__(self) -> NoReturn:
        """Always raises TypeError: a `Result` refers to its document."""

@final
class ResultCharIter:
    """Iterates over the characters of one scalar `Result`."""

    def __iter__(self) -> ResultCharIter: ...
    def __next__(self) -> str: ...

@final
class ResultItemIter:
    """Iterates over the matches of a `Result` holding several, one `Result` each."""

    def __iter__(self) -> ResultItemIter: ...
    def __next__(self) -> Result: ...

@final
class ResultChildKeyIter:
    """Iterates over the keys of a dict-like `Result`."""

    def __iter__(self) -> ResultChildKeyIter: ...
    def __next__(self) -> str: ...

@final
class ResultChildValueIter:
    """Iterates over the values of a dict-like `Result`, one `Result` per key."""

    def __iter__(self) -> ResultChildValueIter: ...
    def __next__(self) -> Result: ...

@final
class ResultChildItemIter:
    """Iterates over the `(name, Result)` pairs of a dict-like `Result`, one per key."""

    def __iter__(self) -> ResultChildItemIter: ...
    def __next__(self) -> tuple[str, Result]: ...

@final
class ResultChildIter:
    """Iterates over the `(name, Result)` pairs of every child element, in document order."""

    def __iter__(self) -> ResultChildIter: ...
    def __next__(self) -> tuple[str, Result]: ...

@final
class ResultKeysView:
    """What [`Result.keys()`][varnex._varnex.Result.keys] returns; `name in r.keys()` asks
    whether a child has that name."""

    def __len__(self) -> int: ...
    def __iter__(self) -> ResultChildKeyIter: ...
    def __contains__(self, key: object, /) -> bool: ...

@final
class ResultValuesView:
    """What [`Result.values()`][varnex._varnex.Result.values] returns."""

    def __len__(self) -> int: ...
    def __iter__(self) -> ResultChildValueIter: ...

@final
class ResultItemsView:
    """What [`Result.items()`][varnex._varnex.Result.items] returns."""

    def __len__(self) -> int: ...
    def __iter__(self) -> ResultChildItemIter: ...

@final
class ResultChildrenView:
    """What [`Result.children()`][varnex._varnex.Result.children] returns."""

    def __len__(self) -> int: ...
    def __iter__(self) -> ResultChildIter: ...

class XMLSyntaxError(ValueError):
    """What [`check`][varnex._varnex.check] raises for a document that is not well-formed.

    `str(error)` is the message, then the line, the column and the path.
    """

    message: str
    """The rule broken, such as `end tag 'titel' does not match start tag 'title'`."""
    offset: int | None
    """Where the error is in `data`: bytes of a `bytes` or buffer, characters of a `str`;
    `None` in a multi-byte East Asian encoding, whose bytes are not counted back."""
    line: int
    """The line, from 1; LF, CR LF and a lone CR each end one."""
    column: int
    """The column in characters, from 1."""
    path: str
    """The elements around the error, as `catalog.book[41].title`: an element after others
    of its name has its index among them, from 0. Empty outside the root element."""

"""varnex.explain over the catalog: each common mistake is told where it stops and why."""

from __future__ import annotations

from pathlib import Path

import pytest
import varnex

CATALOG = Path(__file__).resolve().parents[2] / "examples" / "catalog.xml"
DOC = CATALOG.read_text()

# path -> what the explanation must say (the whole of it)
MISTAKES = {
    "catalgo.book.#": "step 1 `catalgo`: the root element is `<catalog>` (did you mean `catalog`?)",
    "Catalog.book": "step 1 `Catalog`: the root element is `<catalog>` (names are compared "
    "exactly, letter case too)",
    "/catalog/book/title": "step 1 `/catalog/book/title`: this looks like an XPath; write "
    "`catalog.book.#.title`",
    "//title": "step 1 `//title`: this looks like an XPath; write `**.title`",
    "/catalog/book[2]/@id": "step 1 `/catalog/book[2]/@id`: this looks like an XPath; write "
    "`catalog.book.1.@id`",
    "catalog.book[0].title": "step 2 `book[0]`: `[0]` is XPath; an index is a step of its own, "
    "counting from 0 (XPath's `[1]` is `.0`): write `catalog.book.0.title`",
    "book.#.title": "step 1 `book.#`: the root element is `<catalog>`, and a path starts with "
    "its name: write `catalog.book.#.title`",
    "title": "step 1 `title`: the root element is `<catalog>`; `<title>` elements are further "
    "down, and `**.title` finds them",
    "catalog.book.#.title.text()": "step 4 `text()`: `text()` is XPath: a path that ends at an "
    "element gives its text, or `#text` takes it; write `catalog.book.#.title`",
    "catalog.book.#.title |@count": "step 3 `title `: a space before `|` makes `title ` a name; "
    "write `catalog.book.#.title|@count`",
    "catalog.book.#.author": "step 3 `author`: `<book>` has the children `title, dc:creator, "
    "genre, price, published, tags` (first record)",
    "catalog.book.9": "step 2 `book.9`: `<catalog>` has 5 `<book>` children; indexes count "
    "from 0, so the last is `book.4`",
    "catalog.book.#.@isbn": "step 3 `@isbn`: `<book>` has the attributes `id, lang` (first "
    "record)",
    "catalog.book#(price>100).title": "step 2 `book#(…)`: no `<book>` of `<catalog>` passes "
    "the filter",
    "catalog.book.title": "step 2 `book` matches 5 elements and the path goes on: write "
    "`book.0` for the first or `book.#` for each",
    "catalog.book.0.title.x": "step 4 `x`: `<title>` has no child elements; its text is "
    "\"XML Developer's Guide\"",
    "**.titel": "step 1 `**.titel`: no element of the document is named `titel`; the root "
    "element is `<catalog>`",
}


@pytest.mark.parametrize("path", MISTAKES)
def test_each_mistake_is_explained(path):
    try:
        assert varnex.get(DOC, path).to_str() in ("", "0")  # each really gives nothing
    except ValueError:
        assert "ambiguous" in MISTAKES[path] or "goes on" in MISTAKES[path]
    assert varnex.explain(DOC, path) == MISTAKES[path]


@pytest.mark.parametrize("data", [DOC, DOC.encode(), bytearray(DOC.encode()), CATALOG],
                         ids=["str", "bytes", "bytearray", "file"])
def test_every_document_kind_and_the_other_answers(data):
    assert varnex.explain(data, "catalog.book.#.title") == "`catalog.book.#.title` matches 5 items"
    assert varnex.explain(data, "catalgo")[:8] == "step 1 `"
    assert varnex.explain(data, "catalog.book.#.title|@first") == (
        "`catalog.book.#.title|@first` matches 1 item")
    assert varnex.explain(data, "catalog.x#(").startswith(
        "the path does not compile: unmatched ( in filter")
    assert varnex.explain(data, "") == "the path is empty, and an empty path matches nothing"


def test_documents_without_elements_and_bad_arguments():
    assert varnex.explain(b"", "a") == "step 1 `a`: the document has no element at all"
    assert varnex.explain("no markup", "a") == "step 1 `a`: the document has no element at all"
    with pytest.raises(TypeError, match="argument 'path'"):
        varnex.explain(DOC, 3)  # type: ignore[arg-type]
    with pytest.raises(ValueError, match="data must be bytes, str"):
        varnex.explain(3, "a")

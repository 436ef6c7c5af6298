"""varnex.explain: why a path gives nothing, found by walking it over the document."""

from __future__ import annotations

import difflib
import re
from typing import TYPE_CHECKING, Any

from varnex._varnex import Result, _element_dict, _element_name, _path_steps, _run_steps, parse

if TYPE_CHECKING:
    from collections.abc import Mapping
    from os import PathLike

    from typing_extensions import Buffer

# (kind, name, selector, index, filter) of one compiled step.
Step = tuple[str, str, str, int, str]

_XPATH_INDEX = re.compile(r"^(.+)\[(\d+)\]$")
_SIMPLE_NAME = re.compile(r"^(?:[\w:-]+|\*)$")


def explain(data: str | bytes | Buffer | PathLike[str] | PathLike[bytes], path: str, *,
            namespaces: Mapping[str, str] | None = None) -> str:
    """Why `path` gives what it gives in `data`: where it stopped matching and what was there
    instead, found by running its steps one by one over the document.

    For a path that matches nothing it names the first step that found nothing and what the
    document has at that place (the root element, the children or attributes of the first
    element reached), or the habit from another language it met (an XPath, `[0]`, `text()`,
    a space before `|`). For a path that matches, it says how many items. `namespaces` is
    the prefix map of [`get`][varnex._varnex.get]: the path is read with it. The text is for
    people; its wording may change.

    Raises:
        TypeError: `path` is not a `str`, or `namespaces` is not a mapping of `str` to
            `str`.
        ValueError, OSError: `data` cannot be read, as for [`parse`][varnex._varnex.parse].
    """
    if not isinstance(path, str):
        raise TypeError(f"argument 'path': '{type(path).__qualname__}' object is not an "
                        "instance of 'str'")
    if path == "":
        return "the path is empty, and an empty path matches nothing"
    try:
        steps, modifiers = _path_steps(path, namespaces=namespaces)
    except ValueError as error:
        return f"the path does not compile: {error}"
    document = parse(data)  # also where a bad document is refused
    found: list[Result] = []
    for k, step in enumerate(steps, 1):
        try:
            result = _run_steps(data, path, k, namespaces=namespaces)
        except ValueError as error:  # a name matching several elements where the path goes on
            return _ambiguous(steps, found, str(error))
        if not result.exists() or (step[2] == "count" and result.to_int() == 0):
            context = found[-1] if found else None
            return _stopped(data, document, path, steps, k, context)
        found.append(result)
    answer = document.get(path, namespaces=namespaces)
    if answer.exists():
        return f"`{path}` matches {_items(len(answer))}"
    return (f"the steps of `{path}` match {_items(len(found[-1]))}, and its "
            f"{'modifier leaves' if modifiers == 1 else 'modifiers leave'} nothing")


def _items(n: int) -> str:
    return "1 item" if n == 1 else f"{n} items"


def _shown(step: Step) -> str:
    """The step as it reads in a path."""
    kind, name, selector, index, _ = step
    if kind == "attr":
        return f"@{name}"
    if kind == "text":
        return "#text"
    if kind == "descendant":
        return f"**.{name}"
    if selector == "index":
        return f"{name}.{index}"
    if selector in ("count", "each"):
        return f"{name}.#"
    if selector in ("first", "all"):
        return f"{name}#(…)" + ("#" if selector == "all" else "")
    return name


def _stopped(data: Any, document: Result, path: str, steps: list[Step], k: int,
             context: Result | None) -> str:
    step = steps[k - 1]
    head = f"step {k} `{_shown(step)}`: "
    mistake = _mistake(data, path, steps, step)
    if mistake is not None:
        return head + mistake
    kind, name, selector, _, _ = step
    if context is None:
        return head + _at_root(document, path, step)
    first, which = (context[0], " (first record)") if len(context) > 1 else (context, "")
    where = f"`<{_element_name(first)}>`"
    if kind == "attr":
        names = [key[1:] for key in _element_dict(first, str) or {} if key.startswith("@")]
        if not names:
            return head + f"{where} has no attributes{which}"
        return head + f"{where} has the attributes `{', '.join(names)}`{which}" + _close(
            name, names)
    children = list(first.keys()) if first.type_ is dict else []
    if kind == "descendant":
        return head + f"nothing below {where} is named `{name}`"
    if not children:
        return head + f"{where} has no child elements{which}; its text is {first.to_str()!r}"
    if name in children:
        many = len(first[name]) if len(first[name]) > 1 else 1
        if selector == "index":
            return head + (f"{where} has {many} `<{name}>` child{'ren' if many > 1 else ''}"
                           f"{which}; indexes count from 0, so the last is `{name}.{many - 1}`")
        if selector in ("first", "all"):
            return head + f"no `<{name}>` of {where} passes the filter{which}"
    return head + f"{where} has the children `{', '.join(children)}`{which}" + _close(
        name, children)


def _at_root(document: Result, path: str, step: Step) -> str:
    root = _element_name(document)
    if root is None:
        return "the document has no element at all"
    said = f"the root element is `<{root}>`"
    name = step[1]
    if step[0] == "descendant":
        return f"no element of the document is named `{name}`; {said}"
    if document.type_ is dict and name in document.keys():
        return said + f", and a path starts with its name: write `{root}.{path}`"
    if name != root and name.lower() == root.lower():
        return said + " (names are compared exactly, letter case too)"
    close = _close(name, [root])
    if close:
        return said + close
    if document.get(f"**.{name}").exists():
        return said + f"; `<{name}>` elements are further down, and `**.{name}` finds them"
    return said


def _close(name: str, names: list[str]) -> str:
    near = difflib.get_close_matches(name, names, n=1, cutoff=0.6)
    if not near:
        near = [n for n in names if n.lower() == name.lower()]
    return f" (did you mean `{near[0]}`?)" if near else ""


def _mistake(data: Any, path: str, steps: list[Step], step: Step) -> str | None:
    """What is wrong with the step as written, when it is not this language at all."""
    name = step[1]
    if step[0] not in ("element", "descendant"):
        return None
    if "/" in name:
        dotted = _from_xpath(data, path)
        if dotted is None:
            return "this looks like an XPath; steps are joined by `.`, as in `catalog.book.#.title`"
        return f"this looks like an XPath; write `{dotted}`"
    if name != name.strip():
        fixed = re.sub(r"\s+\|", "|", path)
        if fixed != path and step is steps[-1]:
            return f"a space before `|` makes `{name}` a name; write `{fixed}`"
        return f"`{name}` has white space in it, and names are taken as written"
    indexed = _XPATH_INDEX.match(name)
    if indexed:
        base, n = indexed.groups()
        fixed = path.replace(f"{base}[{n}]", f"{base}.{n}", 1)
        return (f"`[{n}]` is XPath; an index is a step of its own, counting from 0 (XPath's "
                f"`[1]` is `.0`): write `{fixed}`")
    if name == "text()":
        fixed = re.sub(r"\.text\(\)$", "", path)
        return ("`text()` is XPath: a path that ends at an element gives its text, or `#text` "
                f"takes it; write `{fixed}`")
    if "(" in name or ")" in name:
        return (f"`{name}` looks like an XPath function; this language has modifiers "
                "instead (`|@count`)")
    if "[" in name:
        return f"`{name}` looks like an XPath predicate; filters are written `book#(price>10)`"
    return None


def _from_xpath(data: Any, xpath: str) -> str | None:
    """A dotted path for a simple XPath location path, with `.#` where a step repeats."""
    parts: list[str] = []
    descendant = xpath.startswith("//")
    for piece in xpath.lstrip("/").split("/"):
        if piece == "":
            descendant = True
            continue
        if piece == "text()":
            continue
        index = _XPATH_INDEX.match(piece)
        name, at = (index.group(1), int(index.group(2)) - 1) if index else (piece, None)
        if name.startswith("@") and _SIMPLE_NAME.match(name[1:]):
            parts.append(name)
            continue
        if not _SIMPLE_NAME.match(name):
            return None
        step = ("**." if descendant else "") + name
        parts.append(step if at is None else f"{step}.{max(at, 0)}")
        descendant = False
    if not parts:
        return None
    # A step that matches several elements and goes on needs `.#`.
    document = parse(data)
    for i, part in enumerate(parts[:-1]):
        if part.startswith(("@", "**.")) or "." in part:
            continue
        if document.get(".".join(parts[: i + 1]) + "|@count").to_int() > 1:
            parts[i] = part + ".#"
    return ".".join(parts)


def _ambiguous(steps: list[Step], found: list[Result], message: str) -> str:
    for j, result in enumerate(found):
        step = steps[j]
        if step[0] == "element" and step[2] == "" and len(result) > 1:
            name = step[1]
            return (f"step {j + 1} `{name}` matches {len(result)} elements and the path goes "
                    f"on: write `{name}.0` for the first or `{name}.#` for each")
    return message

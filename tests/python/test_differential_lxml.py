"""Answers compared with lxml on generated documents and on real ones from the system."""

from __future__ import annotations

import random
from pathlib import Path

import pytest
import varnex
from conftest import QUERIES, entries

etree = pytest.importorskip("lxml.etree")

NAMES = ("a", "b", "c")
WORDS = ("x", "y z", "1.5", "42", "&amp;", "&lt;q&gt;", "\u00e9t\u00e9", " ", "\n  ")


def gen_element(rng: random.Random, name: str, depth: int) -> str:
    attrs = "".join(f' {k}="{rng.choice(WORDS[:4])}{rng.randint(0, 9)}"'
                    for k in ("id", "k") if rng.random() < 0.6)
    if depth > 3 or rng.random() < 0.15:
        return f'<{name}{attrs} e="1"/>'  # marked: lxml cannot tell <x/> from <x></x>
    parts = []
    for _ in range(rng.randint(0, 5)):
        roll = rng.random()
        if roll < 0.55:
            parts.append(gen_element(rng, rng.choice(NAMES), depth + 1))
        elif roll < 0.85:
            parts.append(rng.choice(WORDS))
        elif roll < 0.93:
            parts.append("<![CDATA[<raw & text>]]>")
        else:
            parts.append("<!-- note -->")
    return f"<{name}{attrs}>{''.join(parts)}</{name}>"


def gen_document(seed: int) -> str:
    rng = random.Random(seed)
    return '<?xml version="1.0"?>\n' + gen_element(rng, "root", 0) + "\n"


def local(node) -> str:
    return etree.QName(node).localname


def text_of(element) -> str:
    return "".join(element.itertext())


def attr_of(element, name: str) -> str | None:
    return next((v for k, v in element.attrib.items() if local(k) == name), None)


def elements(element) -> list:
    return [c for c in element if isinstance(c.tag, str)]  # no comments or PIs


def children(element, name: str) -> list:
    return [c for c in elements(element) if local(c) == name]


def outermost(element, name: str) -> list:
    """Elements named `name` with no ancestor of that name (a descendant search stops there)."""
    if local(element) == name:
        return [element]
    return [found for child in elements(element) for found in outermost(child, name)]


def gen_cases(rng: random.Random, root) -> list[tuple[str, list[str]]]:
    """(path, expected item texts) pairs answered by walking the lxml tree."""
    cases = []
    for _ in range(12):
        path = ["root"]
        scope = [root]
        for _ in range(rng.randint(1, 3)):
            name = rng.choice(NAMES)
            matches = [children(e, name) for e in scope]
            if rng.random() < 0.5:
                n = rng.randint(0, 2)
                path += [name, str(n)]
                # An index at the top level stops at its first success.
                picked = [m[n] for m in matches if len(m) > n]
                scope = picked[:1] if all(not s.startswith("#") for s in path[:-2]) else picked
            else:
                path += [name, "#"]
                scope = [c for m in matches for c in m]
        tail = rng.choice(["elem", "count", "attr", "text"])
        if tail == "count":
            name = rng.choice(NAMES)
            path += [name, "#"]
            expected = [str(len(children(e, name))) for e in scope]
        elif tail == "attr":
            path.append("@id")
            expected = [v for v in (attr_of(e, "id") for e in scope) if v is not None]
        elif tail == "text":
            path.append("#text")
            expected = [text_of(e) for e in scope]
        else:
            name = rng.choice(NAMES)
            path.append(name)  # a bare last step collects every match
            expected = [text_of(c) for e in scope for c in children(e, name)]
        cases.append((".".join(path), expected))
    for name in NAMES:
        found = outermost(root, name)
        cases.append((f"**.{name}", [text_of(e) for e in found]))
        cases.append((f"**.{name}.@k", [v for v in (attr_of(e, "k") for e in found) if v]))
        cases.append((f"**.{name}.#text", [text_of(e) for e in found]))
    return cases


@pytest.mark.parametrize("seed", range(60))
def test_generated_documents(seed):
    doc = gen_document(seed)
    root = etree.fromstring(doc.encode())
    assert varnex.validate(doc) is True
    rng = random.Random(seed * 7919)
    for path, expected in gen_cases(rng, root):
        for name, runner in entries(QUERIES, doc.encode()):
            result = runner(doc.encode(), path)
            assert len(result) == len(expected), (name, path, doc)
            assert result == expected, (name, path, doc)


def gen_left(rng: random.Random, depth: int, values: list[str]) -> tuple[str, str]:
    """A filter's left side, as a varnex path and as the XPath relative to the candidate."""
    name, other = rng.choice(NAMES), rng.choice(NAMES)
    roll = rng.random()
    if roll < 0.2:
        return name, name
    if roll < 0.3:
        attr = rng.choice(("id", "k"))
        return f"@{attr}", f"@{attr}"
    if roll < 0.35:
        return "#text", "."
    if roll < 0.5:
        return rng.choice([(f"{name}.{other}", f"{name}/{other}"),
                           (f"{name}.#.{other}", f"{name}/{other}"),
                           (f"{name}.@id", f"{name}/@id"),
                           (f"{name}.0.{other}", f"{name}[1]/{other}"),
                           (f"{name}.1", f"{name}[2]")])
    if roll < 0.65:
        return rng.choice([(f"**.{name}", f".//{name}"), (f"**.{name}.@k", f".//{name}/@k")])
    if depth < 2:
        vx, xp = gen_filter(rng, values, depth + 1)
        if rng.random() < 0.5:
            return f"{name}#({vx})", f"{name}[{xp}][1]"
        return f"{name}#({vx})#.{other}", f"{name}[{xp}]/{other}"
    return name, name


def gen_test(rng: random.Random, depth: int, values: list[str]) -> tuple[str, str]:
    left_vx, left_xp = gen_left(rng, depth, values)
    if rng.random() < 0.25:
        return left_vx, left_xp  # found anything
    op = rng.choice(["==", "!=", "<", ">", "<=", ">="])
    xp_op = "=" if op == "==" else op
    if rng.random() < 0.5:
        number = rng.choice(["0", "1.5", "5", "42", "427"])
        return f"{left_vx} {op} {number}", f"{left_xp} {xp_op} {number}"
    text = rng.choice(values)
    return f'{left_vx} {op} "{text}"', f"{left_xp} {xp_op} '{text}'"


def gen_filter(rng: random.Random, values: list[str], depth: int = 0) -> tuple[str, str]:
    """A filter of tests joined by &&, || and !( ), as varnex text and as an XPath predicate;
    string values are drawn from `values`."""
    roll = rng.random()
    if depth > 2 or roll < 0.45:
        return gen_test(rng, depth, values)
    if roll < 0.6:
        vx, xp = gen_filter(rng, values, depth + 1)
        return f"!({vx})", f"not({xp})"
    a_vx, a_xp = gen_filter(rng, values, depth + 1)
    b_vx, b_xp = gen_filter(rng, values, depth + 1)
    if roll < 0.8:
        return f"({a_vx}) && ({b_vx})", f"({a_xp}) and ({b_xp})"
    return f"{a_vx} || {b_vx}", f"({a_xp}) or ({b_xp})"


def comparable(text: str) -> bool:
    """Texts both sides read alike: no quote to escape, no character XPath would read apart."""
    return "'" not in text and '"' not in text and "\\" not in text


@pytest.mark.parametrize("seed", range(60))
def test_filters_against_xpath(seed):
    """Existential, joined and nested filters against lxml's XPath on generated documents."""
    rng = random.Random(seed)
    doc = "<root>" + "".join(gen_element(rng, rng.choice(NAMES), 1) for _ in range(12)) + "</root>"
    root = etree.fromstring(doc.encode())
    values = [t for t in (text_of(e) for e in root.iter("*")) if comparable(t)][:40]
    values += [v for e in root.iter("*") for v in e.attrib.values() if comparable(v)][:20]
    for _ in range(25):
        name = rng.choice(NAMES)
        vx, xp = gen_filter(rng, values)
        if rng.random() < 0.5:
            path, query = f"root.{name}#({vx})#", f"/root/{name}[{xp}]"
            expected = [text_of(e) for e in root.xpath(query)]
        else:
            path, query = f"root.a.#.{name}#({vx})#.@id", f"/root/a/{name}[{xp}]/@id"
            expected = [str(v) for v in root.xpath(query)]
        for entry, runner in entries(QUERIES, doc.encode()):
            result = runner(doc.encode(), path)
            assert len(result) == len(expected), (entry, path, query, doc)
            assert result == expected, (entry, path, query, doc)
        counted = varnex.get(doc, f"root.{name}#({vx})#|@count").value
        assert counted == len(root.xpath(f"/root/{name}[{xp}]")), (path, query, doc)
        first = root.xpath(f"(/root/{name}[{xp}])[1]")
        assert varnex.get(doc, f"root.{name}#({vx})") == [text_of(e) for e in first], (vx, doc)


MIME = Path("/usr/share/mime/packages/freedesktop.org.xml")


def test_real_document_filters():
    """Filters over several items, joined and nested, on shared-mime-info's file types."""
    if not MIME.exists():
        pytest.skip(f"{MIME} is not installed")
    data = MIME.read_bytes()
    root = etree.fromstring(data, etree.XMLParser(resolve_entities=False))
    ns = {"m": "http://www.freedesktop.org/standards/shared-mime-info"}
    top = "/m:mime-info/m:mime-type"
    for vx, xp in [
        ('glob.@pattern == "*.jpeg"', "m:glob/@pattern = '*.jpeg'"),
        ('sub-class-of.@type == "text/plain"', "m:sub-class-of/@type = 'text/plain'"),
        ("!(glob) && alias", "not(m:glob) and m:alias"),
        ('magic#(match.@type == "string" && match.@offset == "0")',
         "m:magic[m:match/@type = 'string' and m:match/@offset = '0']"),
        ('**.match.@value == "%PDF-"', ".//m:match/@value = '%PDF-'"),
    ]:
        expected = [str(t) for t in root.xpath(f"{top}[{xp}]/@type", namespaces=ns)]
        assert expected, xp
        found = varnex.get_bytes(data, f"mime-info.mime-type#({vx})#.@type")
        assert found.to_str_list() == expected, vx


# Internal subsets whose literals, comments or PIs hold '<' or '>'.
DOCTYPE_DOCUMENTS = [
    '<!DOCTYPE a [<!-- > --><!ELEMENT a ANY>]><a>1</a>',
    '<!DOCTYPE a [<!ATTLIST a v CDATA "&#60;>">]><a>1</a>',
    '<!DOCTYPE a [<!ENTITY e "<!--"><!ENTITY f \'x ]> y\'>]><a>1</a>',
    '<!DOCTYPE a [<?pi a > b ?><!ELEMENT a ANY>]><a>1</a>',
    '<!DOCTYPE a SYSTEM "a>b.dtd"><a>1</a>',
]


@pytest.mark.parametrize("doc", DOCTYPE_DOCUMENTS)
def test_doctype_internal_subsets(doc):
    assert etree.fromstring(doc.encode()).text == "1"
    assert varnex.validate(doc) is True
    for name, runner in entries(QUERIES, doc.encode()):
        assert runner(doc.encode(), "a").to_str() == "1", name


REAL_DOCUMENTS = [
    Path("/usr/share/mime/packages/freedesktop.org.xml"),
    Path("/usr/share/xml/iso-codes/iso_3166-1.xml"),
    Path("/usr/share/X11/xkb/rules/base.xml"),
    Path("/etc/fonts/fonts.conf"),
]


@pytest.mark.parametrize("path", REAL_DOCUMENTS, ids=lambda p: p.name)
def test_real_documents(path):
    if not path.exists():
        pytest.skip(f"{path} is not installed")
    data = path.read_bytes()
    root = etree.fromstring(data, etree.XMLParser(resolve_entities=False))
    top = local(root)
    assert varnex.validate(data) is True
    assert varnex.parse(data).type_ is dict
    cases = []
    for tag in dict.fromkeys(local(c) for c in elements(root)):  # first-seen order
        found = children(root, tag)
        cases.append((f"{top}.{tag}.#", [str(len(found))]))
        for attr in sorted({local(k) for e in found for k in e.attrib}):
            values = [v for v in (attr_of(e, attr) for e in found) if v is not None]
            cases.append((f"{top}.{tag}.#.@{attr}", values))
        for n in (0, len(found) // 2, len(found) - 1):
            cases.append((f"{top}.{tag}.{n}.#text", [text_of(found[n])]))
        grand = {local(g) for e in found for g in elements(e)}
        for name in sorted(grand)[:5]:
            cases.append((f"**.{name}.#text", [text_of(e) for e in outermost(root, name)]))
    view = memoryview(data)
    for query, expected in cases:
        for result in (varnex.get_bytes(data, query), varnex.get_buffer(view, query)):
            assert len(result) == len(expected), query
            assert result == expected, query

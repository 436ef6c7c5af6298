"""Names in namespaces against lxml on generated documents, through every entry point."""

from __future__ import annotations

import mmap
import pickle
import random

import pytest
import varnex

etree = pytest.importorskip("lxml.etree")

URIS = ("urn:a", "urn:b", "http://example.com/c.d(e)")
PREFIXES = ("p", "q", "r")
NAMES = ("a", "b")


class Gen:
    """Prefixes bound and rebound to a few URIs, default namespaces declared and undeclared,
    attributes with and without prefixes; every element numbered by an attribute `n`."""

    def __init__(self, seed: int) -> None:
        self.rng = random.Random(seed)
        self.count = 0

    def element(self, scope: dict[str, str], depth: int) -> str:
        rng = self.rng
        scope = dict(scope)
        decls = []
        for prefix in PREFIXES:
            if rng.random() < 0.15:
                scope[prefix] = rng.choice(URIS)
                decls.append(f' xmlns:{prefix}="{scope[prefix]}"')
        if rng.random() < 0.15:
            scope[""] = rng.choice(URIS + ("",))
            decls.append(f' xmlns="{scope[""]}"')
        bound = [p for p in PREFIXES if p in scope]
        prefix = rng.choice(bound + [""] * 2)
        name = (prefix + ":" if prefix else "") + rng.choice(NAMES)
        self.count += 1
        attrs = f' n="{self.count}"'
        used = set()  # one attribute per namespace and local name
        for key in ["id"] + [f"{p}:id" for p in bound]:
            space = scope[key.split(":")[0]] if ":" in key else None
            if rng.random() < 0.3 and space not in used:
                used.add(space)
                attrs += f' {key}="{rng.randint(0, 2)}"'
        inner = ""
        if depth < 4:
            inner = "".join(self.element(scope, depth + 1) for _ in range(rng.randint(0, 3)))
        return f"<{name}{''.join(decls)}{attrs}>{inner}</{name}>"

    def document(self) -> str:
        body = "".join(self.element({}, 1) for _ in range(4))
        return f'<root xmlns:p="{URIS[0]}" n="0">{body}</root>'


def clark(uri: str | None, local: str) -> str:
    """The path form; None: no namespace."""
    return "{" + ("" if uri is None else uri.replace("}", "\\}")) + "}" + local


def tag(uri: str | None, local: str) -> str:
    return local if uri is None else f"{{{uri}}}{local}"


def outermost(node, wanted: str) -> list:
    found = []
    for child in node:
        if child.tag == wanted:
            found.append(child)
        else:
            found += outermost(child, wanted)
    return found


def numbers(result: varnex.Result) -> list[str]:
    return [r.to_str() for r in result] if len(result) != 1 else [result.to_str()]


def cases(rng: random.Random, root) -> list[tuple[str, list[str]]]:
    """(path, the `n` of each element or the attribute values it selects) from the tree."""
    out = []
    spaces = (*URIS, None)
    for _ in range(16):
        u, v = rng.choice(spaces), rng.choice(spaces)
        a, b = rng.choice(NAMES), rng.choice(NAMES)
        kind = rng.randrange(4)
        if kind == 0:  # children of children
            found = [c for x in root if x.tag == tag(u, a) for c in x if c.tag == tag(v, b)]
            out.append((f"root.{clark(u, a)}.#.{clark(v, b)}.#.@n",
                        [e.get("n") for e in found]))
        elif kind == 1:  # outermost descendants
            found = outermost(root, tag(u, a))
            out.append((f"root.**.{clark(u, a)}.@n", [e.get("n") for e in found]))
        elif kind == 2:  # an attribute in a namespace, or in none
            found = outermost(root, tag(u, a))
            key = tag(v, "id")
            values = [e.get(key) for e in found if e.get(key) is not None]
            out.append((f"root.**.{clark(u, a)}.@{clark(v, 'id')}", values))
        else:  # a filter on an attribute and on a child, each in its namespace
            value = str(rng.randint(0, 2))
            found = [x for x in root if x.tag == tag(u, a) and
                     (x.get(tag(v, "id")) == value or any(c.tag == tag(v, b) for c in x))]
            path = f"root.{clark(u, a)}#(@{clark(v, 'id')}=={value} || {clark(v, b)})#.@n"
            out.append((path, [e.get("n") for e in found]))
    return out


def mapped(path: str) -> tuple[str, dict[str, str]]:
    """The same path written with prefixes of a map (other prefixes than any document's)."""
    space = {uri: f"m{i}" for i, uri in enumerate(URIS)}
    out = path
    for uri, prefix in space.items():
        out = out.replace(clark(uri, ""), prefix + ":")
    return out, {prefix: uri for uri, prefix in space.items()}


SEEDS = range(40)


@pytest.mark.parametrize("seed", SEEDS)
def test_paths_agree_with_lxml(seed: int) -> None:
    doc = Gen(seed).document()
    root = etree.fromstring(doc.encode())
    rng = random.Random(seed)
    for path, want in cases(rng, root):
        assert numbers(varnex.get(doc, path)) == want, (path, doc)
        assert numbers(varnex.get_bytes(doc.encode(), path)) == want, path
        assert numbers(varnex.get_buffer(bytearray(doc.encode()), path)) == want, path
        assert numbers(varnex.compile(path).get(doc)) == want, path
        assert numbers(varnex.parse(doc).get(path)) == want, path
        text, space = mapped(path)
        assert numbers(varnex.get(doc, text, namespaces=space)) == want, (text, doc)
        many = varnex.get_many(doc, [path, text, "root.@n"], namespaces=space)
        assert [numbers(r) for r in many[:2]] == [want, want], path


@pytest.mark.parametrize("seed", range(10))
def test_fields_and_fragments_see_the_declarations_around_them(seed: int) -> None:
    doc = Gen(seed).document()
    root = etree.fromstring(doc.encode())
    for uri in (*URIS, None):
        records = outermost(root, tag(uri, "a"))
        fields = {"n": "@n", "id": "@{urn:b}id", "b": f"{clark(uri, 'b')}.#.@n"}
        rows = varnex.records(doc, f"root.**.{clark(uri, 'a')}", fields)
        want = [{"n": e.get("n"), "id": e.get("{urn:b}id"),
                 "b": [c.get("n") for c in e if c.tag == tag(uri, "b")]} for e in records]
        assert rows == want, uri
        # One element found, then queried: the same answers from inside it.
        found = varnex.get(doc, f"root.**.{clark(uri, 'a')}")
        for element, row in zip(list(found) if len(found) != 1 else [found], rows, strict=True):
            inside = element.get(fields["b"])
            assert (numbers(inside) if inside else []) == row["b"], uri


FEED = """<rss xmlns:itunes="http://www.itunes.com/dtds/podcast-1.0.dtd"
  xmlns:atom="http://www.w3.org/2005/Atom"><channel>
  <atom:link rel="self" href="https://example.com/feed"/><link>https://example.com</link>
  <image><url>https://example.com/logo.png</url></image><itunes:image href="art.png"/>
  <item><title>One</title><itunes:title>1</itunes:title></item>
  <item><title>Two</title><itunes:title>2</itunes:title></item>
</channel></rss>"""
ITUNES = {"itunes": "http://www.itunes.com/dtds/podcast-1.0.dtd"}


def test_a_feed_whose_names_share_local_names() -> None:
    assert varnex.get(FEED, "rss.channel.item.#.{}title").to_str_list() == ["One", "Two"]
    assert varnex.get(FEED, "rss.channel.{}image.url").to_str() == "https://example.com/logo.png"
    assert varnex.get(FEED, "rss.channel.{}link").to_str() == "https://example.com"
    assert varnex.get(FEED, "rss.channel.item.#.itunes:title",
                      namespaces=ITUNES).to_str_list() == ["1", "2"]
    rows = varnex.records(FEED, "rss.channel.item", {"title": "{}title", "n": "itunes:title"},
                          namespaces=ITUNES)
    assert rows == [{"title": "One", "n": "1"}, {"title": "Two", "n": "2"}]
    with pytest.raises(ValueError, match="ambiguous"):
        varnex.get(FEED, "rss.channel.image.url")  # a plain name still means any namespace


def test_an_unprefixed_attribute_is_in_no_namespace() -> None:
    doc = '<a xmlns="urn:d" xmlns:x="urn:x" x:id="1" id="2"/>'
    assert varnex.get(doc, "a.@{}id").to_str() == "2"
    assert varnex.get(doc, "a.@{urn:x}id").to_str() == "1"
    assert not varnex.get(doc, "a.@{urn:d}id")
    assert varnex.get(doc, "a.@id").to_str() == "1"  # as before: the first of any prefix


def test_the_map_binds_the_default_namespace_for_element_names_only() -> None:
    doc = '<feed xmlns="urn:atom" id="7"><entry><title>T</title></entry></feed>'
    space = {"": "urn:atom"}
    assert varnex.get(doc, "feed.entry.title", namespaces=space).to_str() == "T"
    assert varnex.get(doc, "feed.@id", namespaces=space).to_str() == "7"
    assert not varnex.get('<feed><entry/></feed>', "feed", namespaces=space)
    assert varnex.get(doc, "feed.@xml:lang", namespaces=space).exists() is False


@pytest.mark.parametrize(("path", "space", "message"), [
    ("feed.{urn:x", None, "unclosed { in name"),
    ("feed.en{try", None, "{ inside a name"),
    ("feed.x:entry", {"a": "urn:a"}, "prefix not bound by namespaces: x"),
    ("feed#(x:id=1)", {}, "prefix not bound by namespaces: x"),
])
def test_errors_name_the_fault_with_a_caret(path: str, space, message: str) -> None:
    with pytest.raises(ValueError, match="\\^") as error:
        varnex.get("<feed/>", path, namespaces=space)
    assert message in str(error.value)


@pytest.mark.parametrize("bad", [["a"], {"a": 1}, {1: "u"}, "a=b"])
def test_a_map_that_is_not_str_to_str_is_refused(bad) -> None:
    with pytest.raises(TypeError, match="namespaces must be a mapping"):
        varnex.get("<a/>", "a", namespaces=bad)


def test_compiled_paths_keep_their_map() -> None:
    path = varnex.compile("f:feed.f:e", namespaces={"f": "urn:f"})
    assert pickle.loads(pickle.dumps(path)) == path
    assert path != varnex.compile("f:feed.f:e")
    assert "namespaces={'f': 'urn:f'}" in repr(path)
    doc = '<feed xmlns="urn:f"><e>1</e></feed>'
    assert varnex.get_many(doc, [path, "f:feed.f:e"], namespaces={"f": "urn:other"})[0] == "1"


def test_namespaces_lists_each_prefix_with_its_uris_in_order() -> None:
    doc = ('<r xmlns="urn:a" xmlns:p="urn:p"><s xmlns:p="urn:q"/><t xmlns=""/>'
           '<u xmlns:p="urn:p"/></r>')
    want = {"": ["urn:a", ""], "p": ["urn:p", "urn:q"]}
    assert varnex.namespaces(doc) == want
    assert varnex.namespaces(doc.encode()) == want
    with mmap.mmap(-1, len(doc)) as m:
        m.write(doc.encode())
        assert varnex.namespaces(m) == want
    assert varnex.namespaces("<a/>") == {}


def test_describe_records_and_explain_read_the_map() -> None:
    atom, media = "urn:atom", "urn:media"
    doc = (f'<feed xmlns="{atom}" xmlns:media="{media}" xmlns:o="urn:o">'
           '<entry><id>1</id><media:title>M</media:title><o:x/><media:c url="u" o:w="2"/>'
           '</entry><entry><id>2</id></entry></feed>')
    space = {"": atom, "m": media}  # the map's prefixes are not the document's
    found = varnex.describe_records(doc, "feed.entry", namespaces=space)
    paths = [p.path for p in found.paths]
    assert paths == ["id", "m:title", "{urn:o}x", "m:c", "m:c.@url", "m:c.@{urn:o}w"]
    table = varnex.table(doc, "feed.entry", found.fields(), namespaces=space)
    assert table.column("m:title").to_pylist() == ["M", None]
    assert table.column("id").to_pylist() == [1, 2]  # typed as its values are
    assert varnex.describe_records(doc, "feed.entry").paths[1].path == "media:title"
    plain = '<feed><entry><id>1</id></entry></feed>'  # no namespace, and "" bound
    found = varnex.describe_records(plain, "{}feed.{}entry", namespaces=space)
    assert [p.path for p in found.paths] == ["{}id"]
    assert varnex.table(plain, "{}feed.{}entry", found.fields(),
                        namespaces=space).to_pydict() == {"{}id": [1]}
    with pytest.raises(ValueError, match="prefix not bound by namespaces: a"):
        varnex.describe_records(doc, "a:feed.entry", namespaces=space)

    assert varnex.explain(doc, "feed.entry.#.m:title", namespaces=space) == (
        "`feed.entry.#.m:title` matches 1 item")
    # Each step keeps its namespace while explain runs it (a wrong URI stops it at once).
    assert varnex.explain(doc, "{urn:nope}feed.entry").startswith("step 1 `feed`")
    assert varnex.explain(doc, "feed.{urn:nope}entry", namespaces=space).startswith(
        "step 2 `entry`")
    with pytest.raises(TypeError, match="namespaces must be a mapping"):
        varnex.explain(doc, "feed", namespaces=["a"])

"""The benchmark workloads, written once per library.

A `Schema` names the parts of a document that the workloads touch (root, record,
key attribute, title, filters); every workload is then built from it for varnex and
for each peer library. Each implementation returns the library's natural answer;
`canon` turns an answer into plain Python values so answers can be compared before
anything is timed.
"""

from __future__ import annotations

import collections
import io
import itertools
import re
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from gen import NS_URI, catalog_id, corpus_id

# ---------------------------------------------------------------------------
# Libraries (each optional).


def _try_import(name: str) -> Any:
    try:
        return __import__(name, fromlist=["_"])
    except Exception:  # noqa: BLE001 - any failure means "not available here"
        return None


etree = _try_import("lxml.etree")
ET = _try_import("xml.etree.ElementTree")
xmltodict = _try_import("xmltodict")
pygixml = _try_import("pygixml")
_pugi_mod = _try_import("pugixml")
pugi = getattr(_pugi_mod, "pugi", None) if _pugi_mod else None
varnex = _try_import("varnex")


def _varnex_usable() -> str | None:
    """None when varnex answers queries, else the reason it cannot be benchmarked."""
    if varnex is None:
        return "not importable"
    try:
        ok = varnex.get_bytes(b"<a><b>1</b></a>", "a.b").to_str() == "1"
    except Exception as exc:  # noqa: BLE001
        return f"does not answer queries yet ({type(exc).__name__}: {exc})"
    return None if ok else "answers a smoke query wrongly"


VARNEX_PROBLEM = _varnex_usable()


def _has_get_many() -> bool:
    if VARNEX_PROBLEM or not hasattr(varnex, "get_many_bytes"):
        return False
    try:
        res = varnex.get_many_bytes(b"<a><b>1</b></a>", ["a.b", "a.#"])
        return [r.to_str() for r in res] == ["1", "1"]
    except Exception:  # noqa: BLE001
        return False


def _has_result_get() -> bool:
    if VARNEX_PROBLEM:
        return False
    try:
        return varnex.parse(b"<a><b>1</b></a>").get("a.b").to_str() == "1"
    except Exception:  # noqa: BLE001
        return False


def _has_iteration() -> bool:
    if VARNEX_PROBLEM:
        return False
    try:
        return [r.to_str() for r in varnex.get_bytes(b"<a><b>1</b><b>2</b></a>", "a.b")] == [
            "1",
            "2",
        ]
    except Exception:  # noqa: BLE001
        return False


def _has_subscript() -> bool:
    if VARNEX_PROBLEM:
        return False
    try:
        return varnex.parse(b"<a><b>1</b><b>2</b></a>")["b"][1].to_str() == "2"
    except Exception:  # noqa: BLE001
        return False


HAS_GET_MANY = _has_get_many()
HAS_STR_LIST = not VARNEX_PROBLEM and hasattr(getattr(varnex, "Result", None), "to_str_list")
HAS_SUBSCRIPT = _has_subscript()
HAS_RESULT_GET = _has_result_get()
HAS_ITER = _has_iteration()

# Every library the harness knows, in report order.
LIBS = [
    "varnex",
    "lxml",
    "lxml.iterparse",
    "ElementTree",
    "ET.iterparse",
    "xmltodict",
    "pugixml",
    "pygixml",
]


def availability() -> dict[str, str | None]:
    """Library name -> None when usable, else why it is skipped."""
    missing = "not installed"
    return {
        "varnex": VARNEX_PROBLEM,
        "lxml": None if etree else missing,
        "lxml.iterparse": None if etree else missing,
        "ElementTree": None if ET else missing,
        "ET.iterparse": None if ET else missing,
        "xmltodict": None if xmltodict else missing,
        "pugixml": None if pugi else missing,
        "pygixml": None if pygixml else missing,
        "simdxml": _simdxml_status(),
    }


def _simdxml_status() -> str:
    mod = _try_import("simdxml")
    if mod is None:
        return "not installed (no wheel for this platform; the source build needs crates.io)"
    return "installed, but no workload is written for it"


# ---------------------------------------------------------------------------
# Documents.


@dataclass
class Doc:
    name: str
    path: str
    data: bytes
    schema: Schema
    _text: str | None = field(default=None, repr=False)

    @property
    def text(self) -> str:
        # Some peers only take str; decoding is done once, outside the timing.
        if self._text is None:
            self._text = self.data.decode("utf-8")
        return self._text


@dataclass
class Filter:
    vx: str  # varnex filter expression, inside #( )
    xp: str  # XPath predicate, inside [ ]; `{p}` stands for the element prefix
    et: Callable[[Any, str], bool]  # (element, "{uri}" or "") -> keep?
    xd: Callable[[dict], bool]  # (xmltodict record) -> keep?


@dataclass
class FilterCase:
    key: str  # workload key
    vx: str  # varnex path, from the root, ending in an attribute
    xp: str  # the same in XPath; `{p}` stands for the element prefix


@dataclass
class Schema:
    kind: str
    root: str
    rec: str
    key: str
    title: str
    find_key: str  # key of the record looked up by workload 1 (near the end)
    nav_index: int  # record visited by workload 7 (0-based)
    filt: Filter  # workload 3 and the fourth of the eight paths
    filt2: Filter  # the sixth of the eight paths
    extra_vx: str  # the eighth path's last steps, relative to each record
    extra_xp: str
    extra_et: Callable[[Any, str], list[str]]
    extra_kind: str  # "text" or "attr"
    uri: str = ""  # default namespace of the document, if any
    prefixes: dict[str, str] = field(default_factory=dict)
    mid: str = ""  # an element between the root and the records, if any
    # Filters of several items, joined tests and filters inside filters (workloads 9).
    filter_cases: list[FilterCase] = field(default_factory=list)

    def _chain(self) -> list[str]:
        return [x for x in (self.root, self.mid, self.rec) if x]

    @property
    def vx_recs(self) -> str:  # varnex path up to the records
        return ".".join(self._chain())

    def xp_recs(self, p: str) -> str:  # absolute XPath to the records
        return "".join(f"/{p}{x}" for x in self._chain())

    @property
    def et_recs(self) -> str:  # ElementPath from the root element to the records
        return "/".join(self.e + x for x in self._chain()[1:])

    def xd_recs(self, tree: dict) -> list:
        node = tree[self.root]
        if self.mid:
            node = node[self.mid]
        return _aslist(node.get(self.rec))

    @property
    def e(self) -> str:  # ElementTree tag prefix
        return f"{{{self.uri}}}" if self.uri else ""

    @property
    def p(self) -> str:  # lxml XPath element prefix
        return "m:" if self.uri else ""

    @property
    def ns(self) -> dict[str, str]:
        ns = dict(self.prefixes)
        if self.uri:
            ns["m"] = self.uri
        return ns


def _num(text: str | None) -> float:
    try:
        return float(text or "")
    except ValueError:
        return float("nan")


def _xd_text(v: Any) -> str:
    if v is None:
        return ""
    if isinstance(v, dict):
        return v.get("#text") or ""
    return v


def _aslist(v: Any) -> list:
    if v is None:
        return []
    return v if isinstance(v, list) else [v]


def _generated_schema(kind: str, root: str, rec: str, find_key: str, nav_index: int,
                      number: str, threshold: int, extra: str) -> Schema:
    """The schema of a generated document: records with an id, a title, a numeric child,
    a lang attribute and one namespaced child."""
    return Schema(
        kind=kind,
        root=root,
        rec=rec,
        key="id",
        title="title",
        find_key=find_key,
        nav_index=nav_index,
        filt=Filter(
            f"{number}>{threshold}",
            f"{{p}}{number}>{threshold}",
            lambda r, e: _num(r.findtext(e + number)) > threshold,
            lambda r: _num(_xd_text(r.get(number))) > threshold,
        ),
        filt2=Filter(
            '@lang=="de"',
            "@lang='de'",
            lambda r, e: r.get("lang") == "de",
            lambda r: r.get("@lang") == "de",
        ),
        extra_vx=f"x:{extra}",
        extra_xp=f"x:{extra}",
        extra_et=lambda r, e: [t.text or "" for t in r.iterfind(f"{{{NS_URI}}}{extra}")],
        extra_kind="text",
        prefixes={"x": NS_URI},
    )


def catalog_schema(records: int) -> Schema:
    s = _generated_schema("catalog", "catalog", "book",
                          catalog_id(records - 1 - records // 50), records // 2,
                          "price", 30, "isbn")
    s.filter_cases = [
        FilterCase("9a-any", 'catalog.book#(tags.tag=="poetry")#.@id',
                   "/catalog/book[tags/tag='poetry']/@id"),
        FilterCase("9b-and", 'catalog.book#(price>10 && @lang=="fr")#.@id',
                   "/catalog/book[price>10 and @lang='fr']/@id"),
        FilterCase("9c-nested",
                   'catalog.book#(author#(first=="Ada" || last=="Rossi")'
                   ' && !(tags.tag=="poetry"))#.@id',
                   "/catalog/book[author[first='Ada' or last='Rossi']"
                   " and not(tags/tag='poetry')]/@id"),
    ]
    return s


def corpus_schema(records: int) -> Schema:
    return _generated_schema("corpus", "corpus", "doc",
                             corpus_id(records - 1 - records // 50), records // 2,
                             "words", 700, "source")


def mime_schema(data: bytes) -> Schema:
    keys = re.findall(rb'<mime-type type="([^"]+)"', data)
    n = len(keys)
    return Schema(
        kind="mime",
        root="mime-info",
        rec="mime-type",
        key="type",
        title="comment",
        find_key=keys[n - 1 - n // 50].decode(),
        nav_index=n // 2,
        filt=Filter(
            "@type%'image/*'",
            "starts-with(@type,'image/')",
            lambda m, e: (m.get("type") or "").startswith("image/"),
            lambda m: (m.get("@type") or "").startswith("image/"),
        ),
        filt2=Filter(
            "@type%'text/*'",
            "starts-with(@type,'text/')",
            lambda m, e: (m.get("type") or "").startswith("text/"),
            lambda m: (m.get("@type") or "").startswith("text/"),
        ),
        extra_vx="glob.#.@pattern",
        extra_xp="{p}glob/@pattern",
        extra_et=lambda r, e: [g.get("pattern") or "" for g in r.iterfind(e + "glob")],
        extra_kind="attr",
        uri="http://www.freedesktop.org/standards/shared-mime-info",
        filter_cases=[
            FilterCase("9a-any", 'mime-info.mime-type#(glob.@pattern=="*.jpeg")#.@type',
                       "/{p}mime-info/{p}mime-type[{p}glob/@pattern='*.jpeg']/@type"),
            FilterCase("9b-and",
                       'mime-info.mime-type#(sub-class-of.@type=="text/plain" && glob)#.@type',
                       "/{p}mime-info/{p}mime-type[{p}sub-class-of/@type='text/plain' and {p}glob]"
                       "/@type"),
            FilterCase("9c-nested",
                       'mime-info.mime-type#(magic#(match.@type=="string" && match.@offset=="0"))'
                       "#.@type",
                       "/{p}mime-info/{p}mime-type[{p}magic[{p}match/@type='string' and "
                       "{p}match/@offset='0']]/@type"),
        ],
    )


GIR_URI = "http://www.gtk.org/introspection/core/1.0"


def gir_classes(data: bytes) -> list[bytes]:
    return re.findall(rb'<class\s+name="([^"]+)"', data)


def gir_common_parent(data: bytes) -> str:
    """The parent class named most often, so the filter keeps matches in every .gir file."""
    parents = re.findall(rb'<class\s[^>]*?\bparent="([^"]+)"', data)
    return collections.Counter(parents).most_common(1)[0][0].decode() if parents else "Object"


def gir_schema(data: bytes) -> Schema:
    keys = gir_classes(data)
    n = len(keys)
    parent = gir_common_parent(data)
    return Schema(
        kind="gir",
        root="repository",
        mid="namespace",
        rec="class",
        key="name",
        title="doc",
        find_key=keys[n - 1 - n // 50].decode(),
        nav_index=n // 2,
        filt=Filter(
            f'@parent=="{parent}"',
            f"@parent='{parent}'",
            lambda c, e: c.get("parent") == parent,
            lambda c: c.get("@parent") == parent,
        ),
        filt2=Filter(
            '@abstract=="1"',
            "@abstract='1'",
            lambda c, e: c.get("abstract") == "1",
            lambda c: c.get("@abstract") == "1",
        ),
        extra_vx="method.#.@name",
        extra_xp="{p}method/@name",
        extra_et=lambda r, e: [m.get("name") or "" for m in r.iterfind(e + "method")],
        extra_kind="attr",
        uri=GIR_URI,
    )


def make_schema(kind: str, data: bytes, records: int) -> Schema:
    if kind == "catalog":
        return catalog_schema(records)
    if kind == "corpus":
        return corpus_schema(records)
    if kind == "mime":
        return mime_schema(data)
    if kind == "gir":
        return gir_schema(data)
    raise ValueError(kind)


# ---------------------------------------------------------------------------
# Canonical answers.


def vx_strs(r: Any) -> list[str]:
    """The text of each item of a varnex Result, whatever its mode."""
    if HAS_STR_LIST:
        return r.to_str_list()  # one call for every item's text
    n = len(r)
    if n == 0:
        return []
    if n == 1:
        return [r.to_str()]
    # Iterating makes one single-item Result at a time; `.value` makes them all first.
    return [x.to_str() for x in (r if HAS_ITER else r.value)]


def el_text(el: Any) -> str:
    return "".join(el.itertext())


def canon(answer: Any) -> Any:
    """Plain, comparable values: lists of stripped strings, ints, bools."""
    if isinstance(answer, bool | int):
        return answer
    if isinstance(answer, float):
        return int(answer)
    if isinstance(answer, list):
        return [canon(a) for a in answer]
    if isinstance(answer, str):
        return answer.strip()
    return answer


# ---------------------------------------------------------------------------
# Workloads. Each builder returns {library: fn(doc) -> answer}; answers are already
# plain values except where a workload is about returning element handles, in which
# case `Workload.to_plain` turns the handle into comparable values outside the timing.


@dataclass
class Workload:
    key: str
    title: str
    impls: dict[str, Callable[[Doc], Any]]
    to_plain: dict[str, Callable[[Any, Doc], Any]] = field(default_factory=dict)
    span_returning: bool = False  # memory target applies to varnex here
    note: str = ""

    def plain(self, lib: str, answer: Any, doc: Doc) -> Any:
        conv = self.to_plain.get(lib)
        return canon(conv(answer, doc) if conv else answer)


def _xpath_doc_lx(doc: Doc) -> Any:
    return etree.fromstring(doc.data)


def _pugi_doc(doc: Doc) -> Any:
    d = pugi.XMLDocument()
    res = d.load_buffer(doc.data, len(doc.data))
    if not res:
        raise ValueError(f"pugixml: {res.description()}")
    return d


def _pygi_doc(doc: Doc) -> Any:
    return pygixml.parse_string(doc.text)


# Nodes of pugixml and pygixml point into their document, which must outlive them:
# handles travel together with their document as (document, nodes).


def _pugi_select(d: Doc, q: str, one: bool = False) -> tuple[Any, Any]:
    tree = _pugi_doc(d)
    return tree, (tree.select_node(q) if one else tree.select_nodes(q))


def _pygi_select(d: Doc, q: str, one: bool = False) -> tuple[Any, Any]:
    tree = _pygi_doc(d)
    return tree, (tree.root.select_node(q) if one else tree.root.select_nodes(q))


def _pugi_number(d: Doc, q: str) -> int:
    tree = _pugi_doc(d)
    return int(pugi.XPathQuery(q).evaluate_number(tree))


def _pygi_number(d: Doc, q: str) -> int:
    tree = _pygi_doc(d)
    return int(pygixml.XPathQuery(q).evaluate_number(tree.root))


def _pugi_texts(tree: Any, nodeset: Any) -> list[str]:
    return [n.node().text().as_string() for n in nodeset]


def _pugi_attrs(tree: Any, nodeset: Any) -> list[str]:
    return [n.attribute().value() for n in nodeset]


def _pygi_texts(tree: Any, nodeset: Any) -> list[str]:
    return [n.node.text() for n in nodeset]


def _pygi_attrs(tree: Any, nodeset: Any) -> list[str]:
    return [n.attribute.value for n in nodeset]


def _lx_iter(doc: Doc, tag: Any) -> Any:
    return etree.iterparse(io.BytesIO(doc.data), events=("end",), tag=tag)


def _et_iter(doc: Doc) -> Any:
    return ET.iterparse(io.BytesIO(doc.data), events=("end",))


def w1_find(s: Schema) -> Workload:
    """One record found by its key attribute near the end; returns the record."""
    e, p, rec = s.e, s.p, s.rec
    vx_path = f'{s.vx_recs}#(@{s.key}=="{s.find_key}")'
    xp = f"{s.xp_recs(p)}[@{s.key}=$k]"
    ptag = f"{s.xp_recs('')}[@{s.key}='{s.find_key}']"
    et_path = f"{s.et_recs}[@{s.key}='{s.find_key}']"

    def lx_iterparse(doc: Doc) -> Any:
        for _, el in _lx_iter(doc, e + rec):
            if el.get(s.key) == s.find_key:
                return el
            el.clear()
        return None

    def et_iterparse(doc: Doc) -> Any:
        tag = e + rec
        for _, el in _et_iter(doc):
            if el.tag == tag:
                if el.get(s.key) == s.find_key:
                    return el
                el.clear()
        return None

    impls = {
        "varnex": lambda d: varnex.get_bytes(d.data, vx_path),
        "lxml": lambda d: _xpath_doc_lx(d).xpath(xp, namespaces=s.ns or None, k=s.find_key)[0],
        "lxml.iterparse": lx_iterparse,
        "ElementTree": lambda d: ET.fromstring(d.data).find(et_path),
        "ET.iterparse": et_iterparse,
        "pugixml": lambda d: _pugi_select(d, ptag, one=True),
        "pygixml": lambda d: _pygi_select(d, ptag, one=True),
    }

    def vx_plain(r: Any, doc: Doc) -> Any:
        # The record's titles, read back out of its markup.
        return vx_strs(varnex.get(r.to_str(), f"{rec}.{s.title}"))

    def el_plain(el: Any, doc: Doc) -> Any:
        return [el_text(t) for t in el.iterfind(e + s.title)]

    def pugi_plain(ans: Any, doc: Doc) -> Any:
        return [c.text().as_string() for c in ans[1].node().children(s.title)]

    def pygi_plain(ans: Any, doc: Doc) -> Any:
        return [c.text() for c in ans[1].node.children() if c.name == s.title]

    return Workload(
        "1-find",
        f"one record by @{s.key} near the end",
        impls,
        {
            "varnex": vx_plain,
            "lxml": el_plain,
            "lxml.iterparse": el_plain,
            "ElementTree": el_plain,
            "ET.iterparse": el_plain,
            "pugixml": pugi_plain,
            "pygixml": pygi_plain,
        },
        span_returning=True,
    )


def w2_titles(s: Schema) -> Workload:
    """Every record's title, as str."""
    e, p = s.e, s.p
    vx_path = f"{s.vx_recs}.#.{s.title}"
    xp = f"{s.xp_recs(p)}/{p}{s.title}"
    ptag = f"{s.xp_recs('')}/{s.title}"
    et_path = f"{s.et_recs}/{e}{s.title}"

    def lx_iterparse(doc: Doc) -> list[str]:
        out = []
        for _, el in _lx_iter(doc, e + s.rec):
            out.extend(el_text(t) for t in el.iterfind(e + s.title))
            el.clear()
        return out

    def et_iterparse(doc: Doc) -> list[str]:
        out = []
        tag = e + s.rec
        for _, el in _et_iter(doc):
            if el.tag == tag:
                out.extend(el_text(t) for t in el.iterfind(e + s.title))
                el.clear()
        return out

    def xd(doc: Doc) -> list[str]:
        recs = s.xd_recs(xmltodict.parse(doc.data))
        return [_xd_text(t) for r in recs for t in _aslist(r.get(s.title))]

    impls = {
        "varnex": lambda d: vx_strs(varnex.get_bytes(d.data, vx_path)),
        "lxml": lambda d: [el_text(t) for t in _xpath_doc_lx(d).xpath(xp, namespaces=s.ns or None)],
        "lxml.iterparse": lx_iterparse,
        "ElementTree": lambda d: [el_text(t) for t in ET.fromstring(d.data).iterfind(et_path)],
        "ET.iterparse": et_iterparse,
        "xmltodict": xd,
        "pugixml": lambda d: _pugi_texts(*_pugi_select(d, ptag)),
        "pygixml": lambda d: _pygi_texts(*_pygi_select(d, ptag)),
    }
    return Workload("2-titles", f"every {s.title} as str", impls)


def w3_filter(s: Schema) -> Workload:
    """A filter keeping every match, projected to the key attribute."""
    e, p, f = s.e, s.p, s.filt
    vx_path = f"{s.vx_recs}#({f.vx})#.@{s.key}"
    pred = f.xp.format(p=p)
    xp = f"{s.xp_recs(p)}[{pred}]/@{s.key}"
    ptag = f"{s.xp_recs('')}[{f.xp.format(p='')}]/@{s.key}"

    def lx_iterparse(doc: Doc) -> list[str]:
        out = []
        for _, el in _lx_iter(doc, e + s.rec):
            if f.et(el, e):
                out.append(el.get(s.key))
            el.clear()
        return out

    def et_iterparse(doc: Doc) -> list[str]:
        out = []
        tag = e + s.rec
        for _, el in _et_iter(doc):
            if el.tag == tag:
                if f.et(el, e):
                    out.append(el.get(s.key))
                el.clear()
        return out

    def xd(doc: Doc) -> list[str]:
        return [r.get("@" + s.key) for r in s.xd_recs(xmltodict.parse(doc.data)) if f.xd(r)]

    impls = {
        "varnex": lambda d: vx_strs(varnex.get_bytes(d.data, vx_path)),
        "lxml": lambda d: [str(a) for a in _xpath_doc_lx(d).xpath(xp, namespaces=s.ns or None)],
        "lxml.iterparse": lx_iterparse,
        "ElementTree": lambda d: [
            r.get(s.key) for r in ET.fromstring(d.data).iterfind(s.et_recs) if f.et(r, e)
        ],
        "ET.iterparse": et_iterparse,
        "xmltodict": xd,
        "pugixml": lambda d: _pugi_attrs(*_pugi_select(d, ptag)),
        "pygixml": lambda d: _pygi_attrs(*_pygi_select(d, ptag)),
    }
    return Workload("3-filter", f"#({f.vx})#.@{s.key}", impls)


def w4_count(s: Schema) -> Workload:
    e, p = s.e, s.p
    vx_path = f"{s.vx_recs}.#"
    xp = f"count({s.xp_recs(p)})"
    pq = f"count({s.xp_recs('')})"

    def lx_iterparse(doc: Doc) -> int:
        n = 0
        for _, el in _lx_iter(doc, e + s.rec):
            n += 1
            el.clear()
        return n

    def et_iterparse(doc: Doc) -> int:
        n = 0
        tag = e + s.rec
        for _, el in _et_iter(doc):
            if el.tag == tag:
                n += 1
                el.clear()
        return n

    impls = {
        "varnex": lambda d: varnex.get_bytes(d.data, vx_path).to_int(),
        "lxml": lambda d: int(_xpath_doc_lx(d).xpath(xp, namespaces=s.ns or None)),
        "lxml.iterparse": lx_iterparse,
        "ElementTree": lambda d: len(ET.fromstring(d.data).findall(s.et_recs)),
        "ET.iterparse": et_iterparse,
        "xmltodict": lambda d: len(s.xd_recs(xmltodict.parse(d.data))),
        "pugixml": lambda d: _pugi_number(d, pq),
        "pygixml": lambda d: _pygi_number(d, pq),
    }
    return Workload("4-count", f"{s.rec}.# (count)", impls)


def w5_descendants(s: Schema) -> Workload:
    """`**.title`: every title at any depth; returns element handles."""
    e, p = s.e, s.p
    xp = f"//{p}{s.title}"
    ptag = f"//{s.title}"

    def lx_iterparse(doc: Doc) -> list[str]:
        out = []
        for _, el in _lx_iter(doc, (e + s.title, e + s.rec)):
            if el.tag == e + s.title:
                out.append(el_text(el))
            else:
                el.clear()
        return out

    def et_iterparse(doc: Doc) -> list[str]:
        out = []
        tag, rec = e + s.title, e + s.rec
        for _, el in _et_iter(doc):
            if el.tag == tag:
                out.append(el_text(el))
            elif el.tag == rec:
                el.clear()
        return out

    def els(answer: Any, doc: Doc) -> list[str]:
        return [el_text(t) for t in answer]

    impls = {
        "varnex": lambda d: varnex.get_bytes(d.data, f"**.{s.title}"),
        "lxml": lambda d: _xpath_doc_lx(d).xpath(xp, namespaces=s.ns or None),
        "lxml.iterparse": lx_iterparse,
        "ElementTree": lambda d: ET.fromstring(d.data).findall(f".//{e}{s.title}"),
        "ET.iterparse": et_iterparse,
        "pugixml": lambda d: _pugi_select(d, ptag),
        "pygixml": lambda d: _pygi_select(d, ptag),
    }
    return Workload(
        "5-descendants",
        f"**.{s.title} (handles)",
        impls,
        {
            "varnex": lambda r, d: vx_strs(r),
            "lxml": els,
            "ElementTree": els,
            "pugixml": lambda ans, d: _pugi_texts(*ans),
            "pygixml": lambda ans, d: _pygi_texts(*ans),
        },
        span_returning=True,
        note="iterparse peers return the texts (their elements are cleared as they go)",
    )


def w6_validate(s: Schema) -> Workload:
    def lx(d: Doc) -> bool:
        etree.fromstring(d.data)
        return True

    def et(d: Doc) -> bool:
        ET.fromstring(d.data)
        return True

    def pg(d: Doc) -> bool:
        _pugi_doc(d)
        return True

    def pyg(d: Doc) -> bool:
        _pygi_doc(d)
        return True

    impls = {"varnex": lambda d: varnex.validate(d.data), "lxml": lx, "ElementTree": et,
             "pugixml": pg, "pygixml": pyg}
    return Workload("6-validate", "well-formedness (peers: a full parse)", impls)


def w7_navigate(s: Schema, by_get: bool = False) -> Workload:
    """Parse, then reach one record's title: by subscription, or with `by_get`
    through `Result.get` and an index path."""
    e, i = s.e, s.nav_index
    vx_path = f"{s.vx_recs}.{i}.{s.title}"
    ptag = f"{s.xp_recs('')}[{i + 1}]/{s.title}"
    keys = [x for x in (s.mid, s.rec) if x]

    if HAS_SUBSCRIPT and not by_get:
        def vx(d: Doc) -> list[str]:
            node = varnex.parse(d.data)
            for key in keys:
                node = node[key]
            return vx_strs(node[i][s.title])
        subs = "".join(f'["{k}"]' for k in keys)
        note = f'varnex: parse(doc){subs}[{i}]["{s.title}"]'
    elif HAS_RESULT_GET:
        def vx(d: Doc) -> list[str]:
            return vx_strs(varnex.parse(d.data).get(vx_path))
        note = f'varnex: parse(doc).get("{vx_path}")'
    else:
        def vx(d: Doc) -> list[str]:
            return vx_strs(varnex.get_bytes(d.data, vx_path))
        note = f'varnex: get_bytes(doc, "{vx_path}") (Result.get not available)'

    # Walk the children rather than `find("rec[N]")`: ElementPath's positional
    # predicate is quadratic in the number of siblings.
    def lx(d: Doc) -> list[str]:
        rec = next(itertools.islice(etree.fromstring(d.data).iterfind(s.et_recs), i, None))
        return [el_text(t) for t in rec.iterfind(e + s.title)]

    def et(d: Doc) -> list[str]:
        rec = next(itertools.islice(ET.fromstring(d.data).iterfind(s.et_recs), i, None))
        return [el_text(t) for t in rec.iterfind(e + s.title)]

    def xd(d: Doc) -> list[str]:
        rec = s.xd_recs(xmltodict.parse(d.data))[i]
        return [_xd_text(t) for t in _aslist(rec.get(s.title))]

    impls = {
        "varnex": vx,
        "lxml": lx,
        "ElementTree": et,
        "xmltodict": xd,
        "pugixml": lambda d: _pugi_texts(*_pugi_select(d, ptag)),
        "pygixml": lambda d: _pygi_texts(*_pygi_select(d, ptag)),
    }
    if by_get:
        return Workload("7b-navigate-get", f"parse, then .get(path) to record {i}'s {s.title}",
                        impls, note=note)
    return Workload("7-navigate", f"parse, then record {i}'s {s.title}", impls, note=note)


def w7b_navigate_get(s: Schema) -> Workload | None:
    # Only worth a row of its own when workload 7 used subscription.
    return w7_navigate(s, by_get=True) if HAS_SUBSCRIPT and HAS_RESULT_GET else None


@dataclass
class ManyPath:
    vx: str
    xp: str  # XPath with {p} for element prefixes
    kind: str  # "text", "attr" or "count"
    et: Callable[[Any], list[str] | int]


def many_paths(s: Schema) -> list[ManyPath]:
    e, t, k = s.e, s.title, s.key
    R, X, recs = s.vx_recs, s.xp_recs("{p}"), s.et_recs

    def texts(els: Any) -> list[str]:
        return [el_text(x) for x in els]

    def filtered(root: Any, f: Filter) -> list:
        return [x for x in root.iterfind(recs) if f.et(x, e)]

    return [
        ManyPath(f"{R}.0.{t}", f"{X}[1]/{{p}}{t}", "text",
                 lambda root: texts(root.find(recs).iterfind(e + t))),
        ManyPath(f"{R}.#", f"count({X})", "count",
                 lambda root: len(root.findall(recs))),
        ManyPath(f'{R}#(@{k}=="{s.find_key}").{t}',
                 f"{X}[@{k}='{s.find_key}']/{{p}}{t}", "text",
                 lambda root: texts(root.find(f"{recs}[@{k}='{s.find_key}']").iterfind(e + t))),
        ManyPath(f"{R}#({s.filt.vx})#.@{k}",
                 f"{X}[{s.filt.xp}]/@{k}", "attr",
                 lambda root: [x.get(k) for x in filtered(root, s.filt)]),
        ManyPath(f"{R}.#.@{k}", f"{X}/@{k}", "attr",
                 lambda root: [x.get(k) for x in root.iterfind(recs)]),
        ManyPath(f"{R}#({s.filt2.vx})#.{t}",
                 f"{X}[{s.filt2.xp}]/{{p}}{t}", "text",
                 lambda root: [el_text(y) for x in filtered(root, s.filt2)
                               for y in x.iterfind(e + t)]),
        ManyPath(f"{R}.#.{t}|@last", f"({X}/{{p}}{t})[last()]", "text",
                 lambda root: texts(root.findall(f"{recs}/{e}{t}")[-1:])),
        ManyPath(f"{R}.#.{s.extra_vx}", f"{X}/{s.extra_xp}", s.extra_kind,
                 lambda root: [v for x in root.iterfind(recs) for v in s.extra_et(x, e)]),
    ]


def w8_many(s: Schema) -> Workload:
    paths = many_paths(s)
    vx_paths = [m.vx for m in paths]
    lx_q = [(m.xp.format(p=s.p), m.kind) for m in paths]
    pg_q = [(m.xp.format(p=""), m.kind) for m in paths]

    if HAS_GET_MANY:
        def vx(d: Doc) -> list:
            return [vx_strs(r) for r in varnex.get_many_bytes(d.data, vx_paths)]
        note = "varnex: get_many_bytes (one pass)"
    else:
        def vx(d: Doc) -> list:
            return [vx_strs(varnex.get_bytes(d.data, q)) for q in vx_paths]
        note = "varnex: eight get_bytes calls (get_many not available)"

    def lx(d: Doc) -> list:
        root = etree.fromstring(d.data)
        out = []
        for q, kind in lx_q:
            res = root.xpath(q, namespaces=s.ns or None)
            if kind == "count":
                out.append([str(int(res))])
            elif kind == "attr":
                out.append([str(a) for a in res])
            else:
                out.append([el_text(x) for x in res])
        return out

    def et(d: Doc) -> list:
        root = ET.fromstring(d.data)
        out = []
        for m in paths:
            v = m.et(root)
            out.append([str(v)] if isinstance(v, int) else v)
        return out

    def pg(d: Doc) -> list:
        doc = _pugi_doc(d)
        out = []
        for q, kind in pg_q:
            if kind == "count":
                out.append([str(int(pugi.XPathQuery(q).evaluate_number(doc)))])
            elif kind == "attr":
                out.append(_pugi_attrs(doc, doc.select_nodes(q)))
            else:
                out.append(_pugi_texts(doc, doc.select_nodes(q)))
        return out

    def pyg(d: Doc) -> list:
        tree = _pygi_doc(d)
        root = tree.root
        out = []
        for q, kind in pg_q:
            if kind == "count":
                out.append([str(int(pygixml.XPathQuery(q).evaluate_number(root)))])
            elif kind == "attr":
                out.append(_pygi_attrs(tree, root.select_nodes(q)))
            else:
                out.append(_pygi_texts(tree, root.select_nodes(q)))
        return out

    impls = {"varnex": vx, "lxml": lx, "ElementTree": et, "pugixml": pg, "pygixml": pyg}
    return Workload("8-many", "eight paths at once (peers: one parse, eight queries)", impls,
                    note=note)


def w9_filters(s: Schema) -> list[Workload]:
    """Filters that look at several items, join tests or nest: XPath's predicates for the
    peers that have XPath."""
    out = []
    for case in s.filter_cases:
        xp = case.xp.format(p=s.p)
        ptag = case.xp.format(p="")
        impls = {
            "varnex": lambda d, q=case.vx: vx_strs(varnex.get_bytes(d.data, q)),
            "lxml": lambda d, q=xp: [str(a) for a in
                                     _xpath_doc_lx(d).xpath(q, namespaces=s.ns or None)],
            "pugixml": lambda d, q=ptag: _pugi_attrs(*_pugi_select(d, q)),
            "pygixml": lambda d, q=ptag: _pygi_attrs(*_pygi_select(d, q)),
        }
        title = case.vx.split("#(", 1)[1].rsplit(")#", 1)[0]
        out.append(Workload(case.key, f"#({title})#", impls))
    return out


BUILDERS = [w1_find, w2_titles, w3_filter, w4_count, w5_descendants, w6_validate,
            w7_navigate, w7b_navigate_get, w8_many, w9_filters]


def workloads(s: Schema, usable: set[str]) -> list[Workload]:
    out = []
    for build in BUILDERS:
        built = build(s)
        for w in built if isinstance(built, list) else [built]:
            if w is None:
                continue
            w.impls = {lib: fn for lib, fn in w.impls.items() if lib in usable}
            out.append(w)
    return out

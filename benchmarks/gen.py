"""Deterministic benchmark documents.

Two generated shapes: a markup-dense catalog (many small records with attributes,
nested elements, numbers, an entity, occasional CDATA and one namespace prefix) and
a text-heavy corpus (few records with long paragraphs); and two namespaced ones: an
Atom feed (the Atom default namespace and a prefixed media namespace, many entries)
and a .gir-like interface repository (a default namespace, `c:` and `glib:` elements
and attributes, classes holding methods and signals). The same seed and size always
give the same bytes, so results from different runs compare.

Usage: python benchmarks/gen.py catalog 16 out.xml
"""

from __future__ import annotations

import random
import sys
from pathlib import Path

NS_URI = "urn:varnex:bench"
MB = 1 << 20

_WORDS = (
    "amber basalt cedar delta ember fjord garnet harbor indigo juniper kelp lumen "
    "marrow nectar onyx pylon quartz raven sable tundra umber vessel willow xylem "
    "yarrow zephyr orbit lantern meadow cobalt prism tidal vertex summit canyon "
    "aurora beacon cipher drift echo fathom glacier hollow island jetty keystone"
).split()
_FIRST = "Ada Bruno Chiara Dmitri Elif Farid Greta Hugo Ines Jonas Kaori Lena Milo Nadia".split()
_LAST = "Okafor Petrov Quinn Rossi Sato Tanaka Ueda Varga Weber Xu Yilmaz Zhou Moreau".split()
_TAGS = "fiction history science travel poetry drama essays crime children art".split()
LANGS = ("en", "en", "en", "de", "fr", "es")


def _words(rng: random.Random, n: int) -> str:
    return " ".join(rng.choice(_WORDS) for _ in range(n))


def _title(rng: random.Random) -> str:
    title = _words(rng, rng.randint(2, 5)).title()
    # About one title in twelve carries an entity.
    if rng.random() < 0.08:
        title += " &amp; " + rng.choice(_WORDS).title()
    return title


def catalog_id(i: int) -> str:
    return f"bk{i:07d}"


def _book(rng: random.Random, i: int) -> str:
    price = rng.randint(100, 6000) / 100
    lang = rng.choice(LANGS)
    rating = rng.randint(1, 5)
    parts = [
        f'  <book id="{catalog_id(i)}" lang="{lang}" x:rating="{rating}">\n',
        f"    <title>{_title(rng)}</title>\n",
        f"    <author><first>{rng.choice(_FIRST)}</first><last>{rng.choice(_LAST)}</last>"
        "</author>\n",
        f'    <price currency="EUR">{price:.2f}</price>\n',
        f"    <year>{rng.randint(1950, 2024)}</year>\n",
        "    <tags>",
        "".join(f"<tag>{t}</tag>" for t in rng.sample(_TAGS, rng.randint(1, 3))),
        "</tags>\n",
        f"    <summary>{_words(rng, rng.randint(8, 30))}.</summary>\n",
    ]
    if rng.random() < 0.15:
        parts.append(
            f"    <series><title>{_title(rng)}</title><number>{rng.randint(1, 9)}</number>"
            "</series>\n"
        )
    if rng.random() < 0.1:
        parts.append(f"    <note><![CDATA[<b>{_words(rng, 4)}</b> & more]]></note>\n")
    parts.append(f"    <x:isbn>978-{rng.randint(0, 9)}-{rng.randint(10000, 99999)}-"
                 f"{rng.randint(100, 999)}-{rng.randint(0, 9)}</x:isbn>\n")
    parts.append("  </book>\n")
    return "".join(parts)


def catalog(size: int, seed: int = 1) -> tuple[bytes, int]:
    """A catalog of about `size` bytes; returns the bytes and the record count."""
    rng = random.Random(seed)
    head = f'<?xml version="1.0" encoding="UTF-8"?>\n<catalog xmlns:x="{NS_URI}">\n'
    return _records(head, "</catalog>\n", size, lambda i: _book(rng, i))


def corpus_id(i: int) -> str:
    return f"d{i:06d}"


def _paragraph(rng: random.Random) -> str:
    sentences = []
    for _ in range(rng.randint(4, 9)):
        s = _words(rng, rng.randint(6, 18))
        sentences.append(s[0].upper() + s[1:] + ".")
    return " ".join(sentences)


def _doc(rng: random.Random, i: int) -> str:
    paras = [_paragraph(rng) for _ in range(rng.randint(4, 14))]
    words = sum(p.count(" ") + 1 for p in paras)
    body = "\n".join(f"      <p>{p}</p>" for p in paras)
    return (
        f'  <doc id="{corpus_id(i)}" lang="{rng.choice(LANGS)}">\n'
        f"    <title>{_title(rng)}</title>\n"
        f"    <words>{words}</words>\n"
        f"    <x:source>archive-{rng.randint(1, 40)}</x:source>\n"
        f"    <body>\n{body}\n    </body>\n"
        "  </doc>\n"
    )


def corpus(size: int, seed: int = 2) -> tuple[bytes, int]:
    """A text-heavy corpus of about `size` bytes; returns the bytes and the record count."""
    rng = random.Random(seed)
    head = f'<?xml version="1.0" encoding="UTF-8"?>\n<corpus xmlns:x="{NS_URI}">\n'
    return _records(head, "</corpus>\n", size, lambda i: _doc(rng, i))


ATOM_URI = "http://www.w3.org/2005/Atom"
MEDIA_URI = "http://search.yahoo.com/mrss/"
GIR_URI = "http://www.gtk.org/introspection/core/1.0"
GIR_C_URI = "http://www.gtk.org/introspection/c/1.0"
GIR_GLIB_URI = "http://www.gtk.org/introspection/glib/1.0"


def _entry(rng: random.Random, i: int) -> str:
    day = 1 + i % 28
    tags = "".join(f'<category term="{t}"/>' for t in rng.sample(_TAGS, rng.randint(1, 3)))
    return (
        "  <entry>\n"
        f"    <id>urn:uuid:{i:08x}-feed</id>\n"
        f"    <title>{_title(rng)}</title>\n"
        f"    <updated>2026-11-{day:02d}T12:{i % 60:02d}:00Z</updated>\n"
        f'    <link rel="alternate" href="https://example.org/e/{i}"/>\n'
        f"    <author><name>{rng.choice(_FIRST)} {rng.choice(_LAST)}</name></author>\n"
        f"    {tags}\n"
        f"    <summary>{_words(rng, rng.randint(8, 30))}.</summary>\n"
        f"    <media:title>{_title(rng)}</media:title>\n"
        f'    <media:thumbnail url="https://img.example.org/{i}.jpg" '
        f'width="{rng.choice((120, 240))}"/>\n'
        "  </entry>\n"
    )


def atom(size: int, seed: int = 3) -> tuple[bytes, int]:
    """An Atom feed of about `size` bytes; returns the bytes and the entry count."""
    rng = random.Random(seed)
    head = (f'<?xml version="1.0" encoding="UTF-8"?>\n<feed xmlns="{ATOM_URI}" '
            f'xmlns:media="{MEDIA_URI}">\n  <title>Generated feed</title>\n'
            "  <id>urn:varnex:feed</id>\n")
    return _records(head, "</feed>\n", size, lambda i: _entry(rng, i))


def _gir_type(rng: random.Random) -> str:
    name, ctype = rng.choice((("utf8", "const gchar*"), ("gint", "gint"), ("gboolean", "gboolean"),
                              ("GObject.Object", "GObject*"), ("none", "void")))
    return f'<type name="{name}" c:type="{ctype}"/>'


def _method(rng: random.Random, cls: str, prefix: str, j: int) -> str:
    name = f"{rng.choice(_WORDS)}_{j}"
    params = "".join(
        f'<parameter name="{rng.choice(_WORDS)}" transfer-ownership="none">{_gir_type(rng)}'
        "</parameter>" for _ in range(rng.randint(0, 3)))
    return (
        f'      <method name="{name}" c:identifier="{prefix}_{name}">\n'
        f"        <doc>{_words(rng, rng.randint(4, 16))}.</doc>\n"
        f"        <return-value>{_gir_type(rng)}</return-value>\n"
        f'        <parameters><instance-parameter name="self"><type name="{cls}" '
        f'c:type="G{cls}*"/></instance-parameter>{params}</parameters>\n'
        "      </method>\n"
    )


def _gir_class(rng: random.Random, i: int) -> str:
    cls = f"{rng.choice(_WORDS).title()}{i}"
    prefix = f"g_{cls.lower()}"
    parent = rng.choice(("GObject.Object", "GObject.InitiallyUnowned", "Widget", "Stream"))
    methods = "".join(_method(rng, cls, prefix, j) for j in range(rng.randint(2, 6)))
    signals = "".join(
        f'      <glib:signal name="{rng.choice(_WORDS)}-changed" when="last">'
        f"<return-value>{_gir_type(rng)}</return-value></glib:signal>\n"
        for _ in range(rng.randint(0, 2)))
    return (
        f'    <class name="{cls}" c:type="G{cls}" parent="{parent}" '
        f'glib:type-name="G{cls}" glib:get-type="{prefix}_get_type">\n'
        f"      <doc>{_words(rng, rng.randint(6, 24))}.</doc>\n"
        f'      <property name="{rng.choice(_WORDS)}" writable="1">{_gir_type(rng)}</property>\n'
        f"{methods}{signals}"
        "    </class>\n"
    )


def gir(size: int, seed: int = 4) -> tuple[bytes, int]:
    """A .gir-like repository of about `size` bytes; returns the bytes and the class count."""
    rng = random.Random(seed)
    head = (f'<?xml version="1.0"?>\n<repository version="1.2" xmlns="{GIR_URI}" '
            f'xmlns:c="{GIR_C_URI}" xmlns:glib="{GIR_GLIB_URI}">\n'
            '  <include name="GObject" version="2.0"/>\n  <c:include name="gio/gio.h"/>\n'
            '  <namespace name="Gen" version="1.0" c:identifier-prefixes="G" '
            'c:symbol-prefixes="g">\n')
    return _records(head, "  </namespace>\n</repository>\n", size, lambda i: _gir_class(rng, i))


def _records(head: str, tail: str, size: int, record) -> tuple[bytes, int]:
    chunks = [head]
    total = len(head) + len(tail)
    n = 0
    while total < size:
        rec = record(n)
        chunks.append(rec)
        total += len(rec)
        n += 1
    chunks.append(tail)
    return "".join(chunks).encode(), n


KINDS = {"catalog": catalog, "corpus": corpus, "atom": atom, "gir": gir}


def cached(kind: str, size_mb: float, data_dir: Path) -> tuple[Path, int]:
    """Generate once into `data_dir`; return the file and its record count."""
    data_dir.mkdir(parents=True, exist_ok=True)
    label = f"{size_mb:g}MB"
    path = data_dir / f"{kind}-{label}.xml"
    count_file = data_dir / f"{kind}-{label}.count"
    if path.exists() and count_file.exists():
        return path, int(count_file.read_text())
    data, n = KINDS[kind](int(size_mb * MB))
    tmp = path.with_suffix(".tmp")
    tmp.write_bytes(data)
    tmp.replace(path)
    count_file.write_text(str(n))
    return path, n


def main(argv: list[str]) -> int:
    if len(argv) != 4 or argv[1] not in KINDS:
        print(__doc__, file=sys.stderr)
        return 2
    data, n = KINDS[argv[1]](int(float(argv[2]) * MB))
    Path(argv[3]).write_bytes(data)
    print(f"{argv[3]}: {len(data)} bytes, {n} records")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

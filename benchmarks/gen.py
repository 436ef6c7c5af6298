"""Deterministic benchmark documents.

Two generated shapes: a markup-dense catalog (many small records with attributes,
nested elements, numbers, an entity, occasional CDATA and one namespace prefix) and
a text-heavy corpus (few records with long paragraphs). The same seed and size
always give the same bytes, so results from different runs compare.

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
    tail = "</catalog>\n"
    chunks = [head]
    total = len(head) + len(tail)
    n = 0
    while total < size:
        rec = _book(rng, n)
        chunks.append(rec)
        total += len(rec)
        n += 1
    chunks.append(tail)
    return "".join(chunks).encode(), n


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
    tail = "</corpus>\n"
    chunks = [head]
    total = len(head) + len(tail)
    n = 0
    while total < size:
        rec = _doc(rng, n)
        chunks.append(rec)
        total += len(rec)
        n += 1
    chunks.append(tail)
    return "".join(chunks).encode(), n


KINDS = {"catalog": catalog, "corpus": corpus}


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

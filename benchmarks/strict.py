"""Strict well-formedness checking: varnex against lxml and xmllint, same documents, same run.

varnex: `varnex.check(doc)` over the bytes (the same pass as `validate(doc, strict=True)`).
lxml: `etree.fromstring(doc, parser)` with a parser that does not recover, resolve entities
or touch the network, and takes huge documents (what its users write to test a document;
it builds the tree as it goes). xmllint (Debian `libxml2-utils`): `xmllint --noout --nonet
FILE`, and with `--stream` (its reader, which builds no tree), timed as a process (its
start-up is a millisecond or two). Every peer must accept
every document before anything is timed. Rounds interleave the peers; the best and the
median of `--rounds` are printed, and each ratio uses the same rounds of both sides.

Usage: python benchmarks/strict.py [--sizes 16,128] [--rounds 5] [--json FILE]
"""

from __future__ import annotations

import argparse
import json
import shutil
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import gen  # noqa: E402
import varnex  # noqa: E402

DATA = Path(__file__).resolve().parent / "data"
REAL = [Path("/usr/share/mime/packages/freedesktop.org.xml")]


def peers() -> dict[str, Callable[[Path, bytes], object]]:
    found: dict[str, Callable[[Path, bytes], object]] = {
        "varnex": lambda _path, doc: varnex.check(doc)
    }
    try:
        from lxml import etree
    except ImportError:
        print("lxml is not installed: skipped", file=sys.stderr)
    else:
        parser = etree.XMLParser(recover=False, resolve_entities=False, no_network=True,
                                 huge_tree=True)
        found["lxml"] = lambda _path, doc: etree.fromstring(doc, parser)
    xmllint = shutil.which("xmllint")
    if xmllint is None:
        print("xmllint is not installed (Debian libxml2-utils): skipped", file=sys.stderr)
    else:

        def lint(*options: str) -> Callable[[Path, bytes], object]:
            def run(path: Path, _doc: bytes) -> None:
                done = subprocess.run([xmllint, "--noout", "--nonet", "--huge", *options,
                                       str(path)], capture_output=True)
                if done.returncode != 0 or done.stderr:
                    raise ValueError(f"xmllint rejects {path}: {done.stderr[:200]!r}")

            return run

        found["xmllint"] = lint()
        found["xmllint --stream"] = lint("--stream")  # its reader: no tree
    return found


def documents(sizes: list[float]) -> list[tuple[str, Path]]:
    docs = []
    for size in sizes:
        path, _ = gen.cached("catalog", size, DATA)
        docs.append((f"catalog-{size:g}MB", path))
    path, _ = gen.cached("corpus", 16, DATA)
    docs.append(("text-16MB", path))
    docs += [(p.name, p) for p in REAL if p.exists()]
    return docs


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="16,128", help="catalog sizes in MB")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--json", help="write every time to this file")
    args = parser.parse_args(argv)
    libs = peers()
    results: dict[str, dict[str, list[float]]] = {}
    print(f"rounds {args.rounds}; GB/s, best (median); ratios of the best times\n")
    names = list(libs)
    print("| document | MB | " + " | ".join(names) + " | "
          + " | ".join(f"varnex / {n}" for n in names[1:]) + " |")
    print("|---" * (2 + 2 * len(names) - 1) + "|")
    for label, path in documents([float(s) for s in args.sizes.split(",")]):
        doc = path.read_bytes()
        for check in libs.values():
            check(path, doc)  # each peer accepts the document before it is timed
        times: dict[str, list[float]] = {name: [] for name in libs}
        for _ in range(args.rounds):
            for name, check in libs.items():
                start = time.perf_counter()
                check(path, doc)
                times[name].append(time.perf_counter() - start)
        results[label] = times
        gb = len(doc) / 1e9
        cells = [f"{gb / min(t):.2f} ({gb / statistics.median(t):.2f})" for t in times.values()]
        ratios = [f"{min(times[n]) / min(times['varnex']):.1f}×" for n in names[1:]]
        print(f"| {label} | {len(doc) / 1e6:.0f} | " + " | ".join(cells + ratios) + " |")
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

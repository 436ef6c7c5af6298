"""Paths that name namespaces by URI against the same paths by prefix or plain name.

Two generated documents (gen.py): an Atom feed (the Atom default namespace and a prefixed
media namespace) and a .gir-like repository (a default namespace, `c:` and `glib:` elements
and attributes). Each workload is written three ways that select the same items:

    prefix   as written in the document: `media:title`, `@c:type`, plain `id`
    clark    every name in its namespace: `{http://www.w3.org/2005/Atom}entry`, `@{uri}type`
    map      prefixes of the caller's own (and "" for the default) bound by `namespaces=`

The target: clark and map at most 1.15 x the prefix form.

    python benchmarks/namespaces.py                  # wall time of the Python calls
    python benchmarks/namespaces.py --size 32 --rounds 9
    python benchmarks/namespaces.py --callgrind build/bench   # the engine pass, in instructions

Wall time: `varnex.get_bytes` and `varnex.table` (values converted as a user would), the
three forms interleaved in every round, order rotating; the median is reported, and the
CPU time of the process is used. `--callgrind DIR` counts the instructions of the engine pass
alone with callgrind, through DIR/bench_namespaces (`make bench`, or `cmake -DVARNEX_BENCH=ON`
then `--target bench_namespaces`): repeatable where wall time on a shared machine is not.
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import gen  # noqa: E402

DATA = HERE / "data"
TARGET = 1.15
FORMS = ("prefix", "clark", "map")

A, MEDIA = gen.ATOM_URI, gen.MEDIA_URI
G, C, GLIB = gen.GIR_URI, gen.GIR_C_URI, gen.GIR_GLIB_URI
ATOM_MAP = {"": A, "m": MEDIA}
GIR_MAP = {"": G, "cc": C, "gl": GLIB}


def atom_workloads() -> list[tuple[str, dict[str, str], dict[str, str]]]:
    """(name, path per form, the map of the map form); each form selects the same items."""
    e = f"{{{A}}}feed.{{{A}}}entry"
    return [
        ("count entries", {"prefix": "feed.entry.#", "clark": f"{e}.#",
                           "map": "feed.entry.#"}, ATOM_MAP),
        ("every id", {"prefix": "feed.entry.#.id", "clark": f"{e}.#.{{{A}}}id",
                      "map": "feed.entry.#.id"}, ATOM_MAP),
        ("every media:title", {"prefix": "feed.entry.#.media:title",
                               "clark": f"{e}.#.{{{MEDIA}}}title",
                               "map": "feed.entry.#.m:title"}, ATOM_MAP),
        ("thumbnail @url", {"prefix": "feed.entry.#.media:thumbnail.@url",
                            "clark": f"{e}.#.{{{MEDIA}}}thumbnail.@url",
                            "map": "feed.entry.#.m:thumbnail.@url"}, ATOM_MAP),
        ("ids by category", {"prefix": 'feed.entry#(category.@term=="poetry")#.id',
                             "clark": f'{e}#({{{A}}}category.@term=="poetry")#.{{{A}}}id',
                             "map": 'feed.entry#(category.@term=="poetry")#.id'}, ATOM_MAP),
        ("**.media:thumbnail count", {"prefix": "**.media:thumbnail|@count",
                                      "clark": f"**.{{{MEDIA}}}thumbnail|@count",
                                      "map": "**.m:thumbnail|@count"}, ATOM_MAP),
    ]


def gir_workloads() -> list[tuple[str, dict[str, str], dict[str, str]]]:
    k = f"{{{G}}}repository.{{{G}}}namespace.{{{G}}}class"
    plain = "repository.namespace.class"
    return [
        ("class @name", {"prefix": f"{plain}.#.@name", "clark": f"{k}.#.@name",
                         "map": f"{plain}.#.@name"}, GIR_MAP),
        ("class @c:type", {"prefix": f"{plain}.#.@c:type", "clark": f"{k}.#.@{{{C}}}type",
                           "map": f"{plain}.#.@cc:type"}, GIR_MAP),
        ("method @c:identifier", {"prefix": f"{plain}.#.method.#.@c:identifier",
                                  "clark": f"{k}.#.{{{G}}}method.#.@{{{C}}}identifier",
                                  "map": f"{plain}.#.method.#.@cc:identifier"}, GIR_MAP),
        ("glib:signal @name", {"prefix": f"{plain}.#.glib:signal.#.@name",
                               "clark": f"{k}.#.{{{GLIB}}}signal.#.@name",
                               "map": f"{plain}.#.gl:signal.#.@name"}, GIR_MAP),
        ("subclasses' @glib:type-name",
         {"prefix": f'{plain}#(@parent=="Widget")#.@glib:type-name',
          "clark": f'{k}#(@parent=="Widget")#.@{{{GLIB}}}type-name',
          "map": f'{plain}#(@parent=="Widget")#.@gl:type-name'}, GIR_MAP),
        ("**.method count", {"prefix": "**.method|@count", "clark": f"**.{{{G}}}method|@count",
                             "map": "**.method|@count"}, GIR_MAP),
    ]


# Records as table() reads them: the fields by prefix, or by the map's prefixes.
TABLES = {
    "atom": ("feed.entry", {"prefix": {"id": "id", "title": "media:title",
                                       "url": "media:thumbnail.@url"},
                            "map": {"id": "id", "title": "m:title",
                                    "url": "m:thumbnail.@url"}}, ATOM_MAP),
    "gir": ("repository.namespace.class", {"prefix": {"name": "@name", "ctype": "@c:type",
                                                      "get_type": "@glib:get-type"},
                                           "map": {"name": "@name", "ctype": "@cc:type",
                                                   "get_type": "@gl:get-type"}}, GIR_MAP),
}


def documents(size_mb: float) -> dict[str, tuple[Path, list]]:
    atom, _ = gen.cached("atom", size_mb, DATA)
    gir, _ = gen.cached("gir", size_mb, DATA)
    return {"atom": (atom, atom_workloads()), "gir": (gir, gir_workloads())}


def python_calls(doc: bytes, paths: dict[str, str], ns: dict[str, str]
                 ) -> dict[str, Callable[[], Any]]:
    import varnex

    def call(path: str, namespaces: dict[str, str] | None) -> Callable[[], Any]:
        def run() -> Any:
            r = varnex.get_bytes(doc, path, namespaces=namespaces)
            return r.to_int() if path.endswith("|@count") or path.endswith(".#") else \
                r.to_str_list()
        return run

    return {"prefix": call(paths["prefix"], None), "clark": call(paths["clark"], None),
            "map": call(paths["map"], ns)}


def table_calls(doc: bytes, kind: str) -> dict[str, Callable[[], Any]]:
    import varnex

    record, fields, ns = TABLES[kind]
    return {"prefix": lambda: varnex.table(doc, record, fields["prefix"]),
            "map": lambda: varnex.table(doc, record, fields["map"], namespaces=ns)}


def check_same(calls: dict[str, Callable[[], Any]], name: str) -> None:
    answers = {form: fn() for form, fn in calls.items()}
    first = next(iter(answers.values()))
    for form, got in answers.items():
        if got != first:
            raise SystemExit(f"{name}: the {form} form answers differently")
    if not first and first != 0:
        raise SystemExit(f"{name}: no items (the workload tests nothing)")


def timed(calls: dict[str, Callable[[], Any]], rounds: int) -> dict[str, float]:
    """Median CPU seconds per form, the forms interleaved and rotated round by round."""
    times: dict[str, list[float]] = {form: [] for form in calls}
    order = list(calls)
    for r in range(rounds):
        for form in order[r % len(order):] + order[:r % len(order)]:
            start = time.process_time()
            calls[form]()
            times[form].append(time.process_time() - start)
    return {form: statistics.median(ts) for form, ts in times.items()}


def callgrind(build: Path, doc: Path, path: str, ns: dict[str, str] | None) -> int:
    binary = build / "bench_namespaces"
    if not binary.exists():
        raise SystemExit(f"{binary} is missing: build it with -DVARNEX_BENCH=ON")
    bindings = [f"{p}={u}" for p, u in (ns or {}).items()]
    out = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
         "--toggle-collect=varnex::engine::run(*", str(binary), str(doc), path, *bindings],
        capture_output=True, text=True, check=False)
    for line in out.stderr.splitlines():
        if "Collected :" in line:
            return int(line.split()[-1])
    raise SystemExit(f"callgrind gave no count for {path}:\n{out.stderr[-2000:]}")


def report(rows: list[tuple[str, str, dict[str, float]]], unit: str) -> list[str]:
    print(f"| document | workload | prefix ({unit}) | clark | map | clark/prefix | map/prefix |")
    print("|---|---|---:|---:|---:|---:|---:|")
    missed = []
    for doc, name, v in rows:
        cells = []
        for form in ("clark", "map"):
            if form not in v:
                cells.append("")
                continue
            ratio = v[form] / v["prefix"]
            cells.append(f"{ratio:.3f}")
            if ratio > TARGET:
                missed.append(f"{doc} {name}: {form} {ratio:.3f} x prefix (target {TARGET})")
        fmt = (lambda x: f"{x / 1e6:.1f}M") if unit == "instructions" else (
            lambda x: f"{x * 1e3:.2f}")
        vals = [fmt(v[f]) if f in v else "" for f in FORMS]
        print(f"| {doc} | {name} | {' | '.join(vals)} | {' | '.join(cells)} |")
    return missed


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", type=float, default=16, help="MB of each document (16)")
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--callgrind", type=Path, metavar="BENCH_BUILD_DIR",
                    help="count the engine pass's instructions instead of timing Python calls")
    args = ap.parse_args()
    docs = documents(args.size)
    rows: list[tuple[str, str, dict[str, float]]] = []
    for kind, (path, workloads) in docs.items():
        data = path.read_bytes()
        print(f"{path.name}: {len(data) / (1 << 20):.1f} MB", file=sys.stderr)
        for name, paths, ns in workloads:
            calls = python_calls(data, paths, ns)
            check_same(calls, f"{kind} {name}")
            if args.callgrind:
                counts = {f: float(callgrind(args.callgrind, path, paths[f],
                                             ns if f == "map" else None)) for f in FORMS}
                rows.append((kind, name, counts))
            else:
                rows.append((kind, name, timed(calls, args.rounds)))
        if not args.callgrind:
            calls = table_calls(data, kind)
            check_same(calls, f"{kind} table")
            rows.append((kind, "table() of three fields", timed(calls, args.rounds)))
    unit = "instructions" if args.callgrind else "ms, CPU, median"
    missed = report(rows, unit)
    print()
    print("\n".join(["Targets missed:"] + missed) if missed else "Every target met.")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())

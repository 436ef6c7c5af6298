"""Benchmark varnex against lxml, ElementTree, xmltodict and the fast XML libraries.

    python benchmarks/run.py             # full run (~12-17 minutes on 2 cores)
    python benchmarks/run.py --quick     # under a minute
    python benchmarks/run.py --size 1,16 --json out.json

For every document and workload the answers of all libraries are first compared
(a mismatch stops the run); then each library is timed in several rounds, the order
rotating from round to round, and the median is reported. Peak extra memory is
measured per workload in a fresh subprocess: peak RSS minus RSS once the input is
loaded. Times are CPU time of the process.
"""

from __future__ import annotations

import argparse
import gc
import glob
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import gen  # noqa: E402
import heap  # noqa: E402
import workloads as wl  # noqa: E402

DATA_DIR = HERE / "data"
MIME_XML = "/usr/share/mime/packages/freedesktop.org.xml"
GIR_GLOB = "/usr/share/gir-1.0/*.gir"
MIN_GIR_CLASSES = 20
MB = 1 << 20

# Targets from the project's goals: ratio of peer time to varnex time.
TARGET_VS_LXML = 10.0
TARGET_VS_LXML_FIND = 30.0
FASTEST_WORKLOADS = {"1-find", "2-titles", "3-filter", "4-count", "5-descendants", "8-many"}
TARGET_MEM_PCT = 5.0

SLOW_S = 2.0  # one run longer than this is not repeated
SLOW_QUICK_S = 0.5
ALWAYS_REPEATED = {"varnex", "lxml"}  # the targets are ratios against these
# --quick runs every library on small documents, only these on the larger ones.
QUICK_LARGE_LIBS = {"varnex", "lxml", "pugixml", "pygixml"}
QUICK_LARGE_BYTES = 2 * MB
# Memory is measured for every library up to this size, above it for these only.
MEM_ALL_BYTES = 20 * MB
MEM_LARGE_LIBS = {"varnex", "lxml"}


# ---------------------------------------------------------------------------
# Documents.


def plan_documents(args: argparse.Namespace) -> tuple[list[dict], list[str]]:
    """Document descriptions (kind, name, path, records) and notes on what was skipped."""
    sizes = [float(s) for s in args.size.split(",")] if args.size else (
        [1, 16] if args.quick else [1, 16, 128])
    text_size = 1 if args.quick else 16
    docs, skipped = [], []
    for size in sizes:
        path, n = gen.cached("catalog", size, DATA_DIR)
        docs.append({"kind": "catalog", "name": f"catalog-{size:g}MB", "path": str(path),
                     "records": n, "source": "generated"})
    path, n = gen.cached("corpus", text_size, DATA_DIR)
    docs.append({"kind": "corpus", "name": f"text-{text_size:g}MB", "path": str(path),
                 "records": n, "source": "generated (text-heavy)"})
    if os.path.exists(MIME_XML):
        n = Path(MIME_XML).read_bytes().count(b"<mime-type ")
        docs.append({"kind": "mime", "name": "freedesktop.org.xml", "path": MIME_XML,
                     "records": n, "source": "real"})
    else:
        skipped.append(f"{MIME_XML}: not present")
    # .gir files with enough classes to make records of, largest first.
    girs = []
    for path in glob.glob(GIR_GLOB):
        n = len(wl.gir_classes(Path(path).read_bytes()))
        if n >= MIN_GIR_CLASSES:
            girs.append((os.path.getsize(path), path, n))
    girs.sort(reverse=True)
    if args.quick:
        girs = girs[:1]
    for _, path, n in girs:
        docs.append({"kind": "gir", "name": os.path.basename(path), "path": path,
                     "records": n, "source": "real"})
    if not girs:
        skipped.append(f"{GIR_GLOB}: none present with {MIN_GIR_CLASSES} or more classes")
    return docs, skipped


def load_doc(desc: dict) -> wl.Doc:
    data = Path(desc["path"]).read_bytes()
    schema = wl.make_schema(desc["kind"], data, desc["records"])
    return wl.Doc(desc["name"], desc["path"], data, schema)


# ---------------------------------------------------------------------------
# Timing. CPU time of this process: every library here runs on one thread, and
# the machine is shared, so wall time would mostly measure the neighbours.

clock = time.process_time


def check_answers(doc: wl.Doc, w: wl.Workload) -> dict[str, float]:
    """Run every library once, compare its answer with the reference, return the times."""
    ref_lib, ref = None, None
    times = {}
    for lib, fn in w.impls.items():
        t0 = clock()
        ans = fn(doc)
        times[lib] = clock() - t0
        plain = w.plain(lib, ans, doc)
        del ans
        if ref_lib is None:
            ref_lib, ref = lib, plain
            if is_vacuous(ref):
                raise SystemExit(f"EMPTY ANSWER from {lib} on {doc.name}, workload {w.key}: "
                                 f"{ref!r:.200}; the comparison would prove nothing")
        elif plain != ref:
            raise SystemExit(mismatch(doc, w, ref_lib, ref, lib, plain))
    return times


def is_vacuous(v: Any) -> bool:
    """An answer that every library could agree on by finding nothing."""
    if isinstance(v, list):
        return not v or (isinstance(v[0], list) and any(not x for x in v))
    return not v


def mismatch(doc: wl.Doc, w: wl.Workload, a: str, va: Any, b: str, vb: Any) -> str:
    def show(v: Any) -> str:
        if isinstance(v, list):
            head = ", ".join(repr(x)[:60] for x in v[:5])
            return f"{len(v)} items [{head}{', ...' if len(v) > 5 else ''}]"
        return repr(v)[:300]

    lines = [f"ANSWER MISMATCH on {doc.name}, workload {w.key} ({w.title}):",
             f"  {a}: {show(va)}", f"  {b}: {show(vb)}"]
    if isinstance(va, list) and isinstance(vb, list):
        for i, (x, y) in enumerate(zip(va, vb, strict=False)):
            if x != y:
                lines.append(f"  first difference at index {i}: {x!r:.200} != {y!r:.200}")
                break
    return "\n".join(lines)


def rounds_for(total_once: float, quick: bool) -> int:
    budget = 1.5 if quick else 8.0
    n = int(budget / max(total_once, 1e-9))
    return max(3, min(n, 5 if quick else 15))


def time_workload(doc: wl.Doc, w: wl.Workload, quick: bool) -> dict[str, list[float]]:
    once = check_answers(doc, w)
    # A library that needs seconds for one run is timed by that run alone: repeating
    # it would not change the picture, only the length of the run.
    slow = SLOW_QUICK_S if quick else SLOW_S
    runs: dict[str, list[float]] = {
        lib: [t] for lib, t in once.items() if t > slow and lib not in ALWAYS_REPEATED}
    libs = [lib for lib in w.impls if lib not in runs]
    rounds = rounds_for(sum(once[lib] for lib in libs), quick)
    runs.update({lib: [] for lib in libs})
    for r in range(rounds):
        k = r % len(libs)
        order = libs[k:] + libs[:k]
        if r % 2:
            order.reverse()
        for lib in order:
            fn = w.impls[lib]
            heap.settle()
            t0 = clock()
            ans = fn(doc)
            runs[lib].append(clock() - t0)
            del ans
    return runs


# ---------------------------------------------------------------------------
# Memory, one fresh process per measurement.


def mem_child(desc_json: str, wkey: str, lib: str) -> None:
    desc = json.loads(desc_json)
    doc = load_doc(desc)
    usable = {name for name, why in wl.availability().items() if why is None}
    w = next(x for x in wl.workloads(doc.schema, usable) if x.key == wkey)
    fn = w.impls[lib]
    if lib == "pygixml":
        _ = doc.text  # its input is a str; the decoded copy belongs to the input
    gc.collect()
    base = heap.status_kb("VmRSS")
    try:  # reset the peak so that loading the input does not count
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        reset = True
    except OSError:
        reset = False
    ans = fn(doc)
    peak = heap.status_kb("VmHWM")
    del ans
    print(json.dumps({"base_kb": base, "peak_kb": peak, "reset": reset}))


def measure_memory(desc: dict, wkey: str, lib: str) -> int | None:
    """Peak extra bytes of one workload run, or None if the child failed."""
    cmd = [sys.executable, str(Path(__file__).resolve()), "--mem-child",
           json.dumps(desc), wkey, lib]
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=600)
    if proc.returncode != 0:
        print(f"    memory {lib} failed: {proc.stderr.strip().splitlines()[-1:]}",
              file=sys.stderr)
        return None
    res = json.loads(proc.stdout.strip().splitlines()[-1])
    return max(0, res["peak_kb"] - res["base_kb"]) * 1024


# ---------------------------------------------------------------------------
# Reporting.


def fmt_time(s: float) -> str:
    if s >= 1:
        return f"{s:.2f} s"
    if s >= 1e-3:
        return f"{s * 1e3:.1f} ms"
    return f"{s * 1e6:.0f} µs"


def fmt_ratio(r: float | None) -> str:
    if r is None:
        return "—"
    return f"{r:.0f}×" if r >= 100 else f"{r:.1f}×" if r >= 10 else f"{r:.2f}×"


def fmt_mb(b: int | None) -> str:
    if b is None:
        return "—"
    return f"{b / MB:.1f}" if b >= MB else f"{b / MB:.2f}"


def markdown(report: dict) -> str:
    libs = [lib for lib in wl.LIBS if lib in report["libraries_used"]]
    peers = [lib for lib in libs if lib != "varnex"]
    has_vx = "varnex" in libs
    out = []
    for d in report["documents"]:
        rows = [r for r in report["results"] if r["doc"] == d["name"]]
        if not rows:
            continue
        out.append(f"\n### {d['name']} ({d['bytes'] / MB:.1f} MB, {d['records']} records, "
                   f"{d['source']})\n")
        if has_vx:
            head = ["workload", "varnex", "MB/s"] + [f"vs {p}" for p in peers]
        else:
            head = ["workload"] + [f"{p} time" for p in peers]
        out.append("| " + " | ".join(head) + " |")
        out.append("|" + "---|" * len(head))
        for r in rows:
            t = r["median_s"]
            if has_vx:
                v = t.get("varnex")
                cells = [r["workload"], fmt_time(v) if v else "—",
                         f"{d['bytes'] / MB / v:,.0f}" if v else "—"]
                cells += [fmt_ratio(t[p] / v) if v and p in t else "—" for p in peers]
            else:
                cells = [r["workload"]] + [fmt_time(t[p]) if p in t else "—" for p in peers]
            out.append("| " + " | ".join(cells) + " |")
        mem_rows = [r for r in rows if r.get("mem_bytes")]
        if mem_rows:
            out.append("\nPeak extra memory, MB (percent of input for varnex):\n")
            head = ["workload"] + libs
            out.append("| " + " | ".join(head) + " |")
            out.append("|" + "---|" * len(head))
            for r in mem_rows:
                m = r["mem_bytes"]
                cells = [r["workload"]]
                for lib in libs:
                    cell = fmt_mb(m.get(lib)) if lib in m else "—"
                    if lib == "varnex" and m.get(lib) is not None:
                        cell += f" ({100 * m[lib] / d['bytes']:.1f}%)"
                    cells.append(cell)
                out.append("| " + " | ".join(cells) + " |")
    if report["target_misses"]:
        out.append("\nTargets missed:\n")
        out.extend(f"- {m}" for m in report["target_misses"])
    elif has_vx:
        out.append("\nAll targets met.")
    return "\n".join(out)


def check_targets(report: dict) -> list[str]:
    misses = []
    for r in report["results"]:
        t = r["median_s"]
        v = t.get("varnex")
        if not v:
            continue
        where = f"{r['workload']} on {r['doc']}"
        if "lxml" in t:
            need = TARGET_VS_LXML_FIND if r["workload"] == "1-find" else TARGET_VS_LXML
            ratio = t["lxml"] / v
            if ratio < need:
                misses.append(f"{where}: {ratio:.1f}× vs lxml (target {need:g}×)")
        if r["workload"] in FASTEST_WORKLOADS:
            for lib, pt in t.items():
                if lib != "varnex" and pt < v:
                    misses.append(f"{where}: slower than {lib} ({v / pt:.2f}× its time)")
        mem = r.get("mem_bytes", {}).get("varnex")
        if r.get("span_returning") and mem is not None:
            pct = 100 * mem / r["doc_bytes"]
            if pct > TARGET_MEM_PCT:
                misses.append(f"{where}: extra memory {pct:.1f}% of input "
                              f"(target {TARGET_MEM_PCT:g}%)")
    return misses


def versions() -> dict[str, str]:
    out = {"python": platform.python_version()}
    for name, mod in [("varnex", wl.varnex), ("lxml", wl.etree), ("xmltodict", wl.xmltodict),
                      ("pygixml", wl.pygixml), ("pugixml", wl._pugi_mod)]:
        if mod is not None:
            out[name] = getattr(mod, "__version__", None) or _dist_version(name)
    if wl.etree is not None:
        out["libxml2"] = ".".join(map(str, wl.etree.LIBXML_VERSION))
    return out


def _dist_version(name: str) -> str:
    from importlib import metadata

    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return "?"


# ---------------------------------------------------------------------------


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small documents, few rounds (<1 min)")
    ap.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    ap.add_argument("--size", metavar="MB[,MB...]", help="catalog sizes in MB (default 1,16,128)")
    ap.add_argument("--workloads", metavar="KEYS", help="only these workloads, e.g. 1,3")
    ap.add_argument("--libs", metavar="NAMES", help="only these libraries (comma separated)")
    ap.add_argument("--no-memory", action="store_true", help="skip the memory measurements")
    ap.add_argument("--mem-child", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.mem_child:
        mem_child(*args.mem_child)
        return 0

    avail = wl.availability()
    usable = {lib for lib, why in avail.items() if why is None and lib in wl.LIBS}
    if args.libs:
        usable &= set(args.libs.split(","))
    print("libraries:")
    for lib, why in avail.items():
        print(f"  {lib:15} {'ok' if why is None else 'skipped: ' + why}")
    if "varnex" not in usable:
        print("  (no varnex: peers are checked against each other and timed alone)")
    notes = []
    if "varnex" in usable:
        notes.append("varnex get_many: " + ("yes" if wl.HAS_GET_MANY else "no"))
        notes.append("varnex Result.get: " + ("yes" if wl.HAS_RESULT_GET else "no"))
        notes.append("varnex subscription: " + ("yes" if wl.HAS_SUBSCRIPT else "no"))
        notes.append("varnex iteration: " + ("yes" if wl.HAS_ITER else "no (uses .value)"))
        print("  " + "; ".join(notes))

    descs, skipped = plan_documents(args)
    for s in skipped:
        print(f"document skipped: {s}")
    only = set(args.workloads.split(",")) if args.workloads else None
    quick = args.quick

    report: dict[str, Any] = {
        "machine": {"platform": platform.platform(), "cpus": os.cpu_count()},
        "versions": versions(),
        "quick": quick,
        "libraries": {k: v or "ok" for k, v in avail.items()},
        "libraries_used": sorted(usable),
        "notes": notes,
        "skipped_documents": skipped,
        "documents": [],
        "results": [],
    }
    started = time.perf_counter()
    for desc in descs:
        doc = load_doc(desc)
        size = len(doc.data)
        report["documents"].append({**desc, "bytes": size})
        print(f"\n{doc.name}: {size / MB:.1f} MB, {desc['records']} records")
        libs = set(usable)
        if quick and size > QUICK_LARGE_BYTES:
            libs &= QUICK_LARGE_LIBS
        if quick:
            mem_libs = {"varnex"}
        else:
            mem_libs = libs if size <= MEM_ALL_BYTES else libs & MEM_LARGE_LIBS
        for w in wl.workloads(doc.schema, libs):
            if only and w.key.split("-")[0] not in only and w.key not in only:
                continue
            if not w.impls:
                continue
            runs = time_workload(doc, w, quick)
            med = {lib: statistics.median(ts) for lib, ts in runs.items()}
            row = {"doc": doc.name, "doc_bytes": size, "workload": w.key, "title": w.title,
                   "note": w.note, "span_returning": w.span_returning, "median_s": med,
                   "runs_s": runs}
            if "varnex" in med:
                row["mb_s"] = size / MB / med["varnex"]
                row["ratio"] = {lib: t / med["varnex"] for lib, t in med.items()
                                if lib != "varnex"}
            if not args.no_memory and (w.span_returning or not quick):
                row["mem_bytes"] = {lib: measure_memory(desc, w.key, lib)
                                    for lib in w.impls if lib in mem_libs}
            report["results"].append(row)
            line = "  ".join(f"{lib} {fmt_time(t)}" for lib, t in med.items())
            print(f"  {w.key:14} {line}")
    report["elapsed_s"] = time.perf_counter() - started
    report["target_misses"] = check_targets(report)
    md = markdown(report)
    print(md)
    print(f"\n(total {report['elapsed_s']:.0f} s)")
    if args.json:
        Path(args.json).write_text(json.dumps(report, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Queries from several threads at once: throughput of 2 threads relative to 1.

With --one-document, the other way round: one large document read with `threads=2`
against `threads=1` (wall time, best of --rounds alternated rounds), for the scans and for
what turns their answers into Python objects (which stays on the calling thread).

Each thread runs one workload over a generated catalog, either over a document
of its own (a separate bytes object) or over one document all threads share.
A round times a fixed number of calls per thread from a common start to the
last thread's end (wall time: running side by side is the point); the best of
`--rounds` rounds is kept. The load average is printed before and after, since
other work on the machine depresses the 2-thread figures.

Documents below 16 KB are read with the lock held (handing it over would cost
more than the pass); the small sizes show that boundary.

Usage: python benchmarks/threads.py [--sizes 4KB,64KB,1,16] [--threads 1,2] [--rounds 7]
       python benchmarks/threads.py --one-document [--sizes 64,1024] [--rounds 5]
       python benchmarks/threads.py --one-document --dask "64 MiB" [--sizes 1024]
"""

from __future__ import annotations

import argparse
import os
import sys
import threading
import time
from collections.abc import Callable
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import gen  # noqa: E402
import varnex  # noqa: E402

DATA = Path(__file__).resolve().parent / "data"

# The workloads, as a user would write each one (compiled paths, plain values back).
COUNT = varnex.compile("catalog.book.#")
TITLES = varnex.compile("catalog.book.#.title")
LAST = varnex.compile("catalog.book|@last")

WORKLOADS: dict[str, Callable[[bytes], object]] = {
    "count": lambda doc: COUNT.get_bytes(doc).to_int(),
    "every title": lambda doc: [r.to_str() for r in TITLES.get_bytes(doc)],
    "last record": lambda doc: LAST.get_bytes(doc)["title"].to_str(),
    "validate": lambda doc: varnex.validate(doc),
}


# One document on several threads: each call takes the thread count.
FIELDS = {"id": "@id", "title": "title", "price": ("price", "float64"), "tags": "tags.tag.#"}
ONE_DOCUMENT: dict[str, Callable[[bytes, int], object]] = {
    "count": lambda doc, t: varnex.get_bytes(doc, "catalog.book.#", threads=t).to_int(),
    "last record": lambda doc, t: varnex.get_bytes(
        doc, "catalog.book|@last", threads=t)["title"].to_str(),
    "validate": lambda doc, t: varnex.validate(doc, threads=t),
    "every title (pass)": lambda doc, t: len(
        varnex.get_bytes(doc, "catalog.book.#.title", threads=t)),
    "every title (str list)": lambda doc, t: varnex.get_bytes(
        doc, "catalog.book.#.title", threads=t).to_str_list(),
    "table()": lambda doc, t: varnex.table(doc, "catalog.book", FIELDS, threads=t).num_rows,
}


def one_document(sizes: list[str], rounds: int) -> None:
    print(f"{os.cpu_count()} CPUs; load average {load()} (1/5/15 min) at the start")
    print("| document | workload | threads=1 | threads=2 | speed-up |")
    print("|---|---|---:|---:|---:|")
    for size in sizes:
        label, doc = document(size)
        for name, work in ONE_DOCUMENT.items():
            assert work(doc, 1) == work(doc, 2), name
            best = {1: float("inf"), 2: float("inf")}
            for _ in range(rounds):
                for t in (1, 2):
                    start = time.perf_counter()
                    work(doc, t)
                    best[t] = min(best[t], time.perf_counter() - start)
            print(f"| {label} | {name} | {duration(best[1])} | {duration(best[2])} | "
                  f"{best[1] / best[2]:.2f}× |", flush=True)
        del doc
    print(f"load average {load()} at the end")


def dask_blocks(sizes: list[str], rounds: int, blocksize: str) -> None:
    """read_xml over one file cut by `blocksize`, on a local cluster of one worker process and
    of two (one thread each): wall time from read_xml to the computed frame."""
    import distributed
    import varnex.dask

    print("| document | blocksize | partitions | 1 worker | 2 workers | speed-up |")
    print("|---|---|---:|---:|---:|---:|")
    for size in sizes:
        path, _ = gen.cached("catalog", float(size), DATA)
        best = {}
        parts = 0
        for workers in (1, 2):
            with distributed.LocalCluster(n_workers=workers, threads_per_worker=1,
                                          processes=True, dashboard_address=":0") as cluster, \
                    distributed.Client(cluster):
                times = []
                for _ in range(rounds):
                    start = time.perf_counter()
                    frame = varnex.dask.read_xml(str(path), "catalog.book", FIELDS,
                                                 blocksize=blocksize)
                    rows = len(frame.compute())
                    times.append(time.perf_counter() - start)
                    parts = frame.npartitions
                best[workers] = min(times)
        print(f"| catalog-{float(size):g}MB | {blocksize} | {parts} | {best[1]:.2f} s | "
              f"{best[2]:.2f} s | {best[1] / best[2]:.2f}× |", flush=True)
        assert rows > 0


def round_time(work: Callable[[bytes], object], docs: list[bytes], calls: int) -> float:
    """Seconds from a common start until every thread has made `calls` calls over its doc."""
    ready = threading.Barrier(len(docs) + 1)

    def run(doc: bytes) -> None:
        ready.wait()
        for _ in range(calls):
            work(doc)

    threads = [threading.Thread(target=run, args=(doc,)) for doc in docs]
    for t in threads:
        t.start()
    ready.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def throughputs(work: Callable[[bytes], object], setups: list[list[bytes]], calls: int,
                rounds: int) -> list[float]:
    """Calls per second over all threads of each setup, in its best round; the setups
    take turns round by round, so that a change in the machine's load meets them all."""
    best = [float("inf")] * len(setups)
    for _ in range(rounds):
        for i, docs in enumerate(setups):
            best[i] = min(best[i], round_time(work, docs, calls))
    return [len(docs) * calls / t for docs, t in zip(setups, best, strict=True)]


def document(size: str) -> tuple[str, bytes]:
    """A generated catalog: "16KB" is made afresh, "16" (MB) is cached under benchmarks/data."""
    if size.upper().endswith("KB"):
        return f"catalog-{size}", gen.catalog(int(float(size[:-2]) * 1024))[0]
    path, _ = gen.cached("catalog", float(size), DATA)
    return f"catalog-{float(size):g}MB", path.read_bytes()


def duration(seconds: float) -> str:
    return f"{seconds * 1e3:.2f} ms" if seconds >= 1e-3 else f"{seconds * 1e6:.1f} µs"


def load() -> str:
    return "/".join(f"{x:.2f}" for x in os.getloadavg())


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="4KB,64KB,1,16",
                        help="catalog sizes, in MB unless they end in KB")
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--seconds", type=float, default=0.3,
                        help="about how long one thread's share of a round takes")
    parser.add_argument("--one-document", action="store_true",
                        help="one large document with threads=2 against threads=1")
    parser.add_argument("--dask", metavar="BLOCKSIZE",
                        help="with --one-document: varnex.dask.read_xml over one file cut "
                        "by BLOCKSIZE, on one and on two local workers")
    args = parser.parse_args()
    if args.one_document:
        sizes = args.sizes.split(",") if args.sizes != parser.get_default("sizes") else ["64"]
        if args.dask:
            dask_blocks(sizes, args.rounds, args.dask)
        else:
            one_document(sizes, args.rounds)
        return
    counts = [int(n) for n in args.threads.split(",")]
    print(f"{os.cpu_count()} CPUs; load average {load()} (1/5/15 min) at the start")
    more = " | ".join(f"{n} threads" for n in counts[1:])
    print(f"| document | workload | docs | {counts[0]} thread | {more} |")
    print(f"|---|---|---|---:|{'---:|' * (len(counts) - 1)}")
    for size in args.sizes.split(","):
        label, doc = document(size)
        for name, work in WORKLOADS.items():
            answer = work(doc)
            start = time.perf_counter()
            work(doc)
            calls = max(3, round(args.seconds / (time.perf_counter() - start)))
            for mode in ("own", "shared"):
                # Separate objects (bytes() of a bytearray copies) or the same one.
                setups = [[bytes(bytearray(doc)) if mode == "own" else doc for _ in range(n)]
                          for n in counts]
                assert all(work(d) == answer for docs in setups for d in docs)
                base, *more = throughputs(work, setups, calls, args.rounds)
                cells = [f"{base:,.0f}/s ({duration(1 / base)})",
                         *(f"{rate / base:.2f}×" for rate in more)]
                print(f"| {label} | {name} | {mode} | {' | '.join(cells)} |", flush=True)
    print(f"load average {load()} at the end")


if __name__ == "__main__":
    main()

"""Cost of the Python surface on top of the engine pass.

First, get_bytes(doc, path) end to end against get_bytes(doc, path + "|@count"):
both run the same streaming pass and collect the same engine items, but the
second lifts and wraps a single count instead of every match. The difference
is what lifting items, building the Result and the call itself cost.

Then, per item, over 250,000 short titles held in one Result: iterating it,
iterating with to_str() on each item, and to_str_list(), in ns per item beyond
the pass, each next to the floor: CPython making the same strs from one str
with str.split, no XML involved. Beside it, what one method call and one str per
item cost CPython on this machine (bytes.decode over a list, data in cache).
Then the memory a held span costs, from the C allocator's books (or the resident
size) while many Results of spans are alive
(the items live in C++, out of tracemalloc's sight).

Usage: python benchmarks/py_overhead.py [--repeat N] [--records ...] [--items N]
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import gen  # noqa: E402
import heap  # noqa: E402
import varnex  # noqa: E402

PATHS = {
    "elements (spans)": "catalog.book",
    "attributes (values)": "catalog.book.#.@id",
    "nested elements": "catalog.book.#.title",
}


def best_of(repeat: int, call) -> float:
    """Fastest of `repeat` runs, in this thread's CPU time (steady on a busy machine)."""
    best = float("inf")
    for _ in range(repeat):
        heap.settle()
        start = time.thread_time()
        call()
        best = min(best, time.thread_time() - start)
    return best


def build(records: int) -> bytes:
    """A catalog of exactly `records` books."""
    data, n = gen.catalog(records * 800)  # books average well under 800 bytes
    assert n > records
    following = data.index(f'id="{gen.catalog_id(records)}"'.encode())
    return data[: data.rindex(b"  <book ", 0, following)] + b"</catalog>\n"


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def heap_bytes() -> int | None:
    """Bytes the C allocator has handed out and not taken back (glibc), else None."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (AttributeError, OSError):
        return None
    mallinfo2.restype = _MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def rss_bytes() -> int | None:
    if not os.path.exists("/proc/self/statm"):
        return None
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def per_item(doc: bytes, items: int, repeat: int) -> None:
    """Conversion costs per item, and bytes per held span."""
    path = "catalog.book.#.title"
    titles = varnex.get_bytes(doc, path)
    assert len(titles) == items
    assert titles.to_str_list() == [t.to_str() for t in titles]
    print(f"# per item, {items:,} titles ({len(doc) / 1e6:.0f} MB)")
    passed = best_of(repeat, lambda: varnex.get_bytes(doc, path))
    print(f"{'the pass (get_bytes)':<34} {passed * 1e3:>8.1f} ms")
    joined = "\n".join(titles.to_str_list())
    # The floor: the same strs made by one C loop, with no XML at all.
    floor = best_of(repeat, lambda: joined.split("\n")) / items * 1e9
    print(f"{'floor: str.split of the same texts':<34} {floor:>17.0f} ns/item")
    # What any per-item method costs here: one call and one str per item, in cache.
    encoded = [t.encode() for t in joined.split("\n")]
    calls = best_of(repeat, lambda: [b.decode() for b in encoded]) / items * 1e9
    print(f"{'floor: [b.decode() for b in bytes]':<34} {calls:>17.0f} ns/item")
    steps = {
        "iterate": lambda: [None for _ in titles],
        "iterate + to_str()": lambda: [t.to_str() for t in titles],
        "iterate + to_int()": lambda: [t.to_int() for t in titles],
        "iterate + .value": lambda: [t.value for t in titles],
        "to_str_list()": titles.to_str_list,
        "get_bytes(...).to_str_list()": lambda: varnex.get_bytes(doc, path).to_str_list(),
    }
    for label, call in steps.items():
        took = best_of(repeat, call)
        beyond = (took - passed if label.startswith("get_bytes") else took) / items * 1e9
        print(f"{label:<34} {took * 1e3:>8.1f} ms {beyond:>6.0f} ns/item beyond the pass "
              f"({beyond / floor:.1f}x the floor)")
    # Bytes per span while `held` Results of every book are alive: counted from the C
    # allocator's books where it keeps them, else from the resident size.
    measure = heap_bytes if heap_bytes() is not None else rss_bytes
    if measure() is None:
        return
    held = 20
    text = doc.decode()
    books = len(varnex.get_bytes(doc, "catalog.book"))
    for label, make in (
        ("get_bytes", lambda: varnex.get_bytes(doc, "catalog.book")),
        ("get_many_bytes", lambda: varnex.get_many_bytes(doc, ["catalog.book"])[0]),
        ("get over a str", lambda: varnex.get(text, "catalog.book")),
        ("parse(...).get", lambda: varnex.parse(doc).get("catalog.book")),
    ):
        gc.collect()
        before = measure()
        kept = [make() for _ in range(held)]
        gc.collect()
        grown = measure() - before
        assert all(len(k) == books for k in kept)
        print(f"memory per held span, {label:<15} {grown / (held * books):>6.1f} bytes "
              f"({measure.__name__})")
        del kept


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--records", type=int, nargs="*", default=[1_000, 10_000, 100_000])
    parser.add_argument("--items", type=int, default=250_000, help="titles for the per-item costs")
    args = parser.parse_args()
    print(f"{'records':>8} {'query':<22} {'end to end':>11} {'engine':>11} {'overhead':>9}")
    for records in args.records:
        doc = build(records)
        print(f"# {records} records, {len(doc) / 1e6:.1f} MB")
        for label, path in PATHS.items():
            # Check the answers before timing them.
            result = varnex.get_bytes(doc, path)
            count = varnex.get_bytes(doc, path + "|@count")
            assert len(result) == records == count.to_int(), (len(result), count.to_str())
            if "@id" in path:
                assert result.value[-1] == gen.catalog_id(records - 1)
            full = best_of(args.repeat, lambda d=doc, p=path: varnex.get_bytes(d, p))
            engine = best_of(args.repeat, lambda d=doc, p=path: varnex.get_bytes(d, p + "|@count"))
            overhead = (full - engine) / engine * 100
            print(f"{records:>8} {label:<22} {full * 1e3:>9.2f}ms {engine * 1e3:>9.2f}ms "
                  f"{overhead:>8.1f}%")
    if args.items:
        per_item(build(args.items), args.items, args.repeat)


if __name__ == "__main__":
    main()

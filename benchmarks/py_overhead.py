"""Cost of the Python surface on top of the engine pass, for up to 100,000 results.

Compares get_bytes(doc, path) end to end with get_bytes(doc, path + "|@count"):
both run the same streaming pass and collect the same engine items, but the
second lifts and wraps a single count instead of every match. The difference
is what lifting items, building the Result and the call itself cost.

Usage: python benchmarks/py_overhead.py [--repeat N]
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import gen  # noqa: E402
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


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--records", type=int, nargs="*", default=[1_000, 10_000, 100_000])
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


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Wall time of two or more builds of bench_engine, alternated round by round.

Each round runs every build once (pinned to one core when `taskset` exists), so that the
machine's drift over minutes falls on all of them alike; the report gives each workload's
median MB/s per build and the change against the first. Code layout alone moves single
workloads by several per cent between builds: judge small changes by instructions
(instructions.sh) and use this to see that wall time follows.

Usage: benchmarks/cpp/alternate.py [--rounds N] [--runs N] [--only TEXT] BUILD_DIR...
  (each BUILD_DIR holds a bench_engine, e.g. build/bench of two worktrees)
"""

from __future__ import annotations

import argparse
import re
import shutil
import statistics
import subprocess
import sys
from pathlib import Path

LINE = re.compile(r"^(\S.*?)\s+([\d.]+) MB/s")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("builds", nargs="+", type=Path, help="directories holding bench_engine")
    parser.add_argument("--rounds", type=int, default=4)
    parser.add_argument("--runs", type=int, default=5, help="bench_engine's own best-of runs")
    parser.add_argument("--only", default="", help="workloads whose name holds this text")
    args = parser.parse_args()
    pin = ["taskset", "-c", "1"] if shutil.which("taskset") else []
    speeds: dict[str, dict[Path, list[float]]] = {}
    for _ in range(args.rounds):
        for build in args.builds:
            command = [*pin, str(build / "bench_engine"), str(args.runs), args.only]
            out = subprocess.run(command, capture_output=True, text=True, check=True).stdout
            for line in out.splitlines():
                match = LINE.match(line)
                if match and "alone" not in line:
                    speeds.setdefault(match[1], {}).setdefault(build, []).append(float(match[2]))
    first = args.builds[0]
    for name, by_build in speeds.items():
        base = statistics.median(by_build[first])
        cells = []
        for build in args.builds:
            median = statistics.median(by_build[build])
            change = "" if build == first else f" ({100 * (median / base - 1):+.1f} %)"
            cells.append(f"{median:7.0f}{change}")
        print(f"{name[:44]:44s} " + "  ".join(cells))
    return 0


if __name__ == "__main__":
    sys.exit(main())

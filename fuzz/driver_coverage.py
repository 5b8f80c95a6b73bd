#!/usr/bin/env python3
"""The driver's own edge coverage, from libFuzzer's -print_coverage=1 report on standard input.

Counts the edges of every function whose source lies in one of the driver's rooms under ROOT
(entry/, driver/, registry/, control/, bus/, reader/), prints the total and each room's share, and
lists the functions no input reached, by file. Usage: control_fuzzer -runs=0 -print_coverage=1
CORPUS... 2>&1 | driver_coverage.py ROOT
"""
import collections
import os
import re
import sys

ROOMS = ("entry", "driver", "registry", "control", "bus", "reader")
LINE = re.compile(r"^(UN)?COVERED_FUNC: hits: \d+ edges: (\d+)/(\d+) (.*) (\S+):(\d+)$")


def main() -> int:
    root = os.path.realpath(sys.argv[1]) if len(sys.argv) > 1 else os.getcwd()
    reached = collections.Counter()
    total = collections.Counter()
    unreached = []
    for line in sys.stdin:
        match = LINE.match(line.rstrip("\n"))
        if not match:
            continue
        path = os.path.relpath(os.path.realpath(match.group(5)), root)
        room = path.split(os.sep, 1)[0]
        if room not in ROOMS:
            continue
        covered, edges = int(match.group(2)), int(match.group(3))
        reached[room] += covered
        total[room] += edges
        if covered == 0:
            unreached.append((path, int(match.group(6)), match.group(4)))
    if not total:
        print("driver coverage: no function of the driver in the report", file=sys.stderr)
        return 1
    all_reached, all_edges = sum(reached.values()), sum(total.values())
    print(f"driver edges reached: {all_reached} of {all_edges} ({100.0 * all_reached / all_edges:.1f}%)")
    for room in ROOMS:
        if total[room]:
            print(f"  {room + '/':10} {reached[room]:5} of {total[room]:5}")
    print(f"functions of the driver no input reached: {len(unreached)}")
    for path, line, name in sorted(unreached):
        print(f"  {path}:{line}  {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

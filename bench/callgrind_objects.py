#!/usr/bin/env python3
# Instructions executed in each object (shared library or program) of a callgrind output file,
# counted where they ran (self cost), so that the driver image's own share can be read off.
#   python3 bench/callgrind_objects.py callgrind.out.N
import collections
import re
import sys

names = {}
cost = collections.Counter()
current = None
after_call = False
for line in open(sys.argv[1]):
    line = line.rstrip("\n")
    match = re.match(r"^(c?ob)=\((\d+)\)(?: (.*))?$", line)
    if match:
        kind, index, name = match.groups()
        if name:
            names[index] = name
        if kind == "ob":
            current = names[index]
        continue
    if line.startswith("calls="):
        # The cost line that follows is the call's inclusive cost, spent in the callee.
        after_call = True
        continue
    match = re.match(r"^([+\-*]?\d*)\s+(\d+)", line)
    if match and (match.group(1) or line[0] in "+-*"):
        if after_call:
            after_call = False
        else:
            cost[current] += int(match.group(2))
total = sum(cost.values())
for name, instructions in cost.most_common():
    print(f"{instructions:>14,} {100.0 * instructions / total:5.1f}%  {name}")
print(f"{total:>14,}         total")

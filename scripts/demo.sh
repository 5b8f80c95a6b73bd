#!/usr/bin/env bash
# The main job on Linux: builds the host build's tool and runs the driver inside the simulated
# kernel with two bus devices, through a short session of the command-line tool. After each command
# the tool shows what it changed in Plug and Play: each bus or reader that appeared, started or went,
# with the registry values of each started reader. Extra arguments go to the tool (--json, --quiet, --debug).
set -euo pipefail
cd "$(dirname "$0")/.."

# Everything but the session goes to standard error, so that `--json` leaves only JSON lines on
# standard output.
{
  bash scripts/setup.sh --host-only
  echo "=== building the host tool (build/host)"
  cmake --preset host >/dev/null
  cmake --build --preset host --target msdscctl-host
  echo "=== session: msdscctl-host --buses 2 $*"
} >&2

build/host/tools/msdscctl-host --buses 2 "$@" <<'SESSION'
version
add 7 1 0       # number 7, drive 1, log 0: the first bus
add 8 2 0       # the second bus
add 9 3 1 --wait   # the first bus again; waits until Plug and Play has started it
list
remove 1        # reader 1, the one on the second bus, goes
devices         # every reader device node: present, started, or left behind by a removal
quit            # closing the handle removes the other two
SESSION

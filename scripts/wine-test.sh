#!/usr/bin/env bash
# End-to-end test of the target build under Wine, the one independent implementation of the Windows
# kernel interfaces on this machine: on a fresh prefix it installs msdscbus.sys with the project's own
# install command, drives the control device on one handle (msdscwine.exe), and checks in Wine's own
# Plug and Play trace that readers are enumerated, started, surprise-removed, removed and deleted, that
# uninstalling the bus removes the readers it still has first, and that the driver unloads.
#   usage: scripts/wine-test.sh [TARGET-BUILD-DIR]     (default build/target)
#   WINE_FILL=0   run without winefill.sys, to see what Wine 8.0 does to the unchanged driver
#   WINE_TEST_TIMEOUT  seconds for the whole run (default 240)
# Skips (exit 0) when Wine is not installed; scripts/wine-setup.sh installs it.
set -uo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build/target}
fill=${WINE_FILL:-1}
deadline=$(( $(date +%s) + ${WINE_TEST_TIMEOUT:-240} ))

wine=$(command -v wine64 || true)
[ -z "$wine" ] && [ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64
server=$(command -v wineserver || true)
[ -z "$server" ] && [ -x /usr/lib/wine/wineserver ] && server=/usr/lib/wine/wineserver
if [ -z "$wine" ] || [ -z "$server" ]; then
    echo "wine-test: skipped, Wine is not installed (bash scripts/wine-setup.sh installs it)"
    exit 0
fi

image=$(find "$build_dir" -name msdscbus.sys -type f -print -quit 2>/dev/null)
if [ -z "$image" ]; then
    echo "wine-test: no msdscbus.sys under $build_dir (cmake --preset target && cmake --build --preset target)" >&2
    exit 1
fi
out=$(dirname "$image")
for file in msdscbus.inf msdscctl.exe msdscwine.exe winefill.sys reader-null.inf; do
    if [ ! -f "$out/$file" ]; then
        echo "wine-test: $out/$file is missing; rebuild the target build" >&2
        exit 1
    fi
done

prefix=$(mktemp -d /tmp/msdsc-wine.XXXXXX)
log=$out/wine-test.log        # everything Wine's processes print, winedevice's trace included
transcript=$out/wine-test.out # what the Windows programs print
: >"$log"
: >"$transcript"
export WINEPREFIX=$prefix WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all

# Only this prefix's server is stopped, and with it every Wine process of this run.
cleanup() {
    "$server" -k 2>/dev/null
    timeout 20 "$server" -w 2>/dev/null
    rm -rf "$prefix"
}
trap cleanup EXIT

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "  ok    $*"; }
fail() { failed=$((failed + 1)); echo "  FAIL  $*"; }
started_at=$(date +%s.%N)
step_at=$started_at
step() {
    local now
    now=$(date +%s.%N)
    printf "=== %-58s (%5.1f s so far)\n" "$*" "$(awk -v a="$started_at" -v b="$now" "BEGIN { print b - a }")"
}
left() { local n=$(( deadline - $(date +%s) )); [ "$n" -gt 1 ] && echo "$n" || echo 1; }

# Runs a Windows program of the package; its stdout goes to the console and the transcript, the
# trace of every Wine process to the log.
run() {
    local seconds=$1
    shift
    [ "$seconds" -gt "$(left)" ] && seconds=$(left)
    timeout "$seconds" "$wine" "$@" 2>>"$log" | tee -a "$transcript" | sed 's/^/        /'
    return "${PIPESTATUS[0]}"
}

# Waits until the log has a line matching the extended regular expression.
wait_for_log() {
    local pattern=$1 seconds=${2:-15} until
    until=$(( $(date +%s) + seconds ))
    while ! grep -qE -- "$pattern" "$log"; do
        [ "$(date +%s)" -ge "$until" ] && return 1
        sleep 0.2
    done
}
# The first line number of a match in the log, or 0.
line_of() { grep -nE -- "$1" "$log" | head -1 | cut -d: -f1 || true; }

finish() {
    step "done"
    if grep -qE 'KeBugCheck' "$log"; then
        fail "the driver stopped the system:"
        grep -E 'KeBugCheck' "$log" | head -5 | sed 's/^/        /'
    else
        pass "no bug check anywhere in the Wine log"
    fi
    echo "wine-test: log $log, transcript $transcript"
    echo "wine-test: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit $?
}

step "boot a fresh prefix ($("$wine" --version))"
if timeout "$(left)" "$wine" wineboot -i >>"$log" 2>&1; then pass "wineboot -i"; else fail "wineboot -i"; finish; fi
# A fresh server, kept alive between the commands: without -p the server, and with it winedevice and
# the control device, go away as soon as the last program exits.
"$server" -k 2>/dev/null
timeout 20 "$server" -w
"$server" -p

mkdir -p "$prefix/drive_c/msdsc"
cp "$out"/{msdscbus.sys,msdscbus.inf,msdscctl.exe,msdscwine.exe,reader-null.inf} "$prefix/drive_c/msdsc/"
cp "$out/winefill.sys" "$prefix/drive_c/windows/system32/drivers/"
# What winedevice prints is what the test judges: Plug and Play and kernel traces, errors, fixmes.
# services.exe and the winedevice processes it starts take this from the first program of the session.
export WINEDEBUG=+plugplay,+ntoskrnl${WINE_TEST_DEBUG:+,$WINE_TEST_DEBUG}

if [ "$fill" = 1 ]; then
    step "services: winefill.sys started, msdscbus in its group"
    if run 60 'C:\msdsc\msdscwine.exe' services; then pass "services prepared"; else fail "services"; finish; fi
fi

step "reader device nodes 0-7 with the null driver"
if run 90 'C:\msdsc\msdscwine.exe' readers 'C:\msdsc\reader-null.inf' 8; then pass "reader device nodes"; else fail "reader device nodes"; finish; fi

step "msdscctl install (the project's install command)"
if run 60 'C:\msdsc\msdscctl.exe' install 'C:\msdsc\msdscbus.inf'; then pass "msdscctl install"; else fail "msdscctl install"; fi
if [ "$fill" != 1 ]; then
    echo "wine-test: without winefill.sys; what Wine did with the driver:"
    grep -E 'IoAllocateDriverObjectExtension|IoGetDriverObjectExtension|IoAttachDeviceToDeviceStackSafe|ZwLoadDriver|msdscbus|unimplemented' "$log" | sed 's/^/        /'
    finish
fi
# Wine answers the install by enumerating the new root device: AddDevice, then the start.
if wait_for_log 'Adding new root-enumerated device L"ROOT\\\\SYSTEM\\\\0000"' 15 &&
   wait_for_log 'AddDevice routine [0-9A-F]+ returned 0\.' 15; then
    pass "Wine created the bus device and AddDevice succeeded"
else
    fail "the bus device was not added:"
    grep -E 'msdscbus|SYSTEM\\\\0000|AddDevice|err:' "$log" | tail -20 | sed 's/^/        /'
    finish
fi

step "scenario on one handle of the control device"
mark=$(wc -l <"$transcript")
run 120 'C:\msdsc\msdscwine.exe' scenario
scenario_status=$?
[ "$scenario_status" -eq 0 ] && pass "scenario" || fail "scenario: $scenario_status checks failed"
results=$(tail -n +"$((mark + 1))" "$transcript")
bus=$(awk '$1 == "bus" { print $2 }' <<<"$results")
removed=$(awk '$1 == "removed" { print $3 }' <<<"$results")
kept=$(awk '$1 == "reader" && $2 != 1 { print $2 ":" $3 }' <<<"$results")
if [ -z "$bus" ] || [ -z "$removed" ] || [ "$(wc -w <<<"$kept")" -ne 3 ]; then
    fail "the scenario did not name the bus and its readers"
    finish
fi

# Each reader's instance ID is what Wine asked its device for: the decimal reader number.
for entry in $kept 1:$removed; do
    n=${entry%%:*}
    if grep -qE "Creating new device L\"MicroSDSmartCardBus\\\\\\\\MicroSDSmartCardReader\\\\\\\\$n\"" "$log"; then
        pass "Wine enumerated reader $n as MicroSDSmartCardBus\\MicroSDSmartCardReader\\$n"
    else
        fail "no enumeration of reader $n in the log"
    fi
done

step "the removed reader: surprise removal, removal, deletion"
if wait_for_log "Removing device $removed, code 17\." 15 && wait_for_log "Removing device $removed, code 2\." 15; then
    pass "reader 1 ($removed) got IRP_MN_SURPRISE_REMOVAL, then IRP_MN_REMOVE_DEVICE"
else
    fail "reader 1 ($removed) was not removed by Wine"
fi
if wait_for_log "IoDeleteDevice $removed" 10 ||
   wait_for_log "IoDeleteDevice.*$removed" 1; then
    pass "reader 1's device object was deleted"
else
    fail "reader 1's device object was not deleted"
fi
for entry in $kept; do
    if grep -qE "Removing device ${entry#*:}" "$log"; then fail "reader ${entry%%:*} was removed with reader 1"; fi
done
[ "$failed" -eq 0 ] && pass "the other readers stay (Wine sends no IRP_MJ_CLEANUP at close)"

step "msdscctl uninstall with readers 0, 2, 3 present"
if run 60 'C:\msdsc\msdscctl.exe' uninstall; then pass "msdscctl uninstall"; else fail "msdscctl uninstall"; fi
bus_deleted_line=0
wait_for_log "IoDeleteDevice $bus" 15 && bus_deleted_line=$(line_of "IoDeleteDevice $bus")
if [ "$bus_deleted_line" -gt 0 ]; then pass "the bus device object ($bus) was deleted"; else fail "the bus device was not deleted"; fi
for entry in $kept; do
    n=${entry%%:*}
    reader=${entry#*:}
    surprise=$(line_of "Removing device $reader, code 17\.")
    removal=$(line_of "Removing device $reader, code 2\.")
    deleted=$(line_of "IoDeleteDevice $reader")
    if [ -n "$surprise" ] && [ -n "$removal" ] && [ -n "$deleted" ] && [ "$surprise" -lt "$removal" ] &&
       [ "$removal" -le "$deleted" ] && [ "$deleted" -lt "$bus_deleted_line" ]; then
        pass "reader $n: surprise removal, removal and deletion before the bus went"
    else
        fail "reader $n: surprise removal at line ${surprise:-none}, removal ${removal:-none}, deletion ${deleted:-none}, bus deleted at $bus_deleted_line"
    fi
done

step "stop the msdscbus service: the driver unloads"
mark=$(wc -l <"$log")
if run 60 'C:\msdsc\msdscwine.exe' stop; then pass "service stopped"; else fail "service stop"; fi
if tail -n +"$((mark + 1))" "$log" | grep -qE 'cannot unload|does not support unloading'; then
    fail "Wine did not unload the driver:"
    tail -n +"$((mark + 1))" "$log" | grep -E 'unload' | sed 's/^/        /'
elif tail -n +"$((mark + 1))" "$log" | grep -qiE 'unload'; then
    pass "the driver unloaded"
else
    fail "no unload in the log"
fi
finish

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
for file in msdscbus.inf msdscctl.exe msdscclient.dll msdscwine.exe winefill.sys reader-null.inf; do
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
stop_server() {
    "$server" -k 2>/dev/null
    timeout 20 "$server" -w 2>/dev/null
}
# Wine processes of this run still alive (zombies aside): Wine passes WINEPREFIX to every process it
# starts, and each runs Wine's loader or server (this script's own subshells have the variable too).
leftovers() {
    local pid
    for pid in $(grep -lsz "^WINEPREFIX=$prefix\$" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3); do
        case $(readlink "/proc/$pid/exe" 2>/dev/null) in
        */wine*) [ "$(awk '{ print $3 }' "/proc/$pid/stat" 2>/dev/null)" = Z ] || echo "$pid" ;;
        esac
    done
}
cleanup() {
    stop_server
    rm -rf "$prefix"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "  ok    $*"; }
fail() { failed=$((failed + 1)); echo "  FAIL  $*"; }
started_at=$(date +%s.%N)
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
    [ "$seconds" -gt "$(left)" ] && seconds=$(left)
    until=$(( $(date +%s) + seconds ))
    while ! grep -qE -- "$pattern" "$log"; do
        [ "$(date +%s)" -ge "$until" ] && return 1
        sleep 0.2
    done
}
# The number of the first log line after line $1 that matches $2; empty when there is none.
line_after() {
    tail -n +"$(($1 + 1))" "$log" | grep -nE -- "$2" | head -1 | cut -d: -f1 | awk -v base="$1" '{ print $1 + base }'
}
# True when every argument is a line number and each is below the next.
in_order() {
    local previous=0 line
    for line in "$@"; do
        [ -n "$line" ] && [ "$line" -gt "$previous" ] || return 1
        previous=$line
    done
}

finish() {
    step "done"
    # A bug check ends winedevice (Wine logs KeBugCheckEx and exits); a fault in a driver ends it too.
    if grep -qE 'KeBugCheck|Unhandled (exception|page fault)|unimplemented function' "$log"; then
        fail "the log shows a bug check or a crash:"
        grep -E 'KeBugCheck|Unhandled (exception|page fault)|unimplemented function' "$log" | head -5 | sed 's/^/        /'
    else
        pass "no bug check, unhandled exception or unimplemented call in the Wine log"
    fi
    stop_server
    local left_behind
    left_behind=$(leftovers)
    if [ -n "$left_behind" ]; then
        fail "Wine processes left behind after wineserver -k: $left_behind"
        kill $left_behind 2>/dev/null
    else
        pass "no Wine process of this run is left"
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
cp "$out"/{msdscbus.sys,msdscbus.inf,msdscctl.exe,msdscclient.dll,msdscwine.exe,reader-null.inf} "$prefix/drive_c/msdsc/"
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
# Wine answers the install by enumerating the new root device: AddDevice, then the start.
if wait_for_log 'Adding new root-enumerated device L"ROOT\\\\SYSTEM\\\\0000"' 15 &&
   wait_for_log 'AddDevice routine [0-9A-F]+ returned 0\.' 15; then
    pass "Wine created the bus device and AddDevice succeeded"
else
    fail "the bus device was not added; what Wine did with the driver:"
    grep -E 'msdscbus|SYSTEM\\\\0000|AddDevice|DriverObjectExtension|DeviceStackSafe|err:' "$log" | tail -20 |
        sed 's/^/        /'
    finish
fi

step "scenario on one handle of the control device"
mark=$(wc -l <"$transcript")
scenario_line=$(wc -l <"$log")
run 120 'C:\msdsc\msdscwine.exe' scenario
scenario_status=$?
[ "$scenario_status" -eq 0 ] && pass "scenario" || fail "scenario: $scenario_status checks failed"
# The programs write CR LF, as Windows console programs do.
results=$(tail -n +"$((mark + 1))" "$transcript" | tr -d '\r')
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
# A deleted device object's memory may come back for the next reader, so every search is limited to
# the part of the log written since a given line.
wait_for_log "IoDeleteDevice $removed" 15
uninstall_line=$(wc -l <"$log")
surprise=$(line_after "$scenario_line" "Removing device $removed, code 17\.")
removal=$(line_after "$scenario_line" "Removing device $removed, code 2\.")
deleted=$(line_after "$scenario_line" "IoDeleteDevice $removed")
if in_order "$surprise" "$removal" "$deleted"; then
    pass "reader 1: IRP_MN_SURPRISE_REMOVAL (log line $surprise), IRP_MN_REMOVE_DEVICE ($removal), IoDeleteDevice ($deleted)"
else
    fail "reader 1 ($removed): surprise removal at line ${surprise:-none}, removal ${removal:-none}, deletion ${deleted:-none}"
fi
stayed=1
for entry in $kept; do
    reader=${entry#*:}
    expected=0
    [ "$reader" = "$removed" ] && expected=1  # reader 3 got reader 1's memory back
    count=$(head -n "$uninstall_line" "$log" | tail -n +"$((scenario_line + 1))" | grep -cE "Removing device $reader, code 17\." || true)
    [ "$count" -eq "$expected" ] || { fail "reader ${entry%%:*} was removed before the uninstall"; stayed=0; }
done
[ "$stayed" = 1 ] && pass "readers 0, 2 and 3 stay after the handle is closed (Wine sends no IRP_MJ_CLEANUP)"

step "msdscctl devices and add --wait: the device view through SetupAPI and cfgmgr32"
mark=$(wc -l <"$transcript")
view_line=$(wc -l <"$log")
run 60 'C:\msdsc\msdscctl.exe' --timeout 5000 devices add 5 6 7 --wait devices quit
view_status=$?
view=$(tail -n +"$((mark + 1))" "$transcript" | tr -d '\r')
# The readers are found by their hardware ID under their enumerator, with the reader number from the
# instance path: the scenario's readers 0-3 and the pre-registered nodes 4-7.
listed=$(awk '/^8 reader device nodes$/ { n++ } END { print n + 0 }' <<<"$view")
numbers=$(awk '$1 == "reader" && $2 == "number" && $4 ~ /^MICROSDSMARTCARDBUS\\MICROSDSMARTCARDREADER\\[0-9]+$/ { split($4, p, "\\"); if (p[3] == $3) n++ } END { print n + 0 }' <<<"$view")
if [ "$listed" -eq 2 ] && [ "$numbers" -eq 16 ]; then
    pass "msdscctl devices: the 8 reader device nodes by hardware ID, each reader number matching its instance path, twice"
else
    fail "msdscctl devices: expected 8 reader device nodes twice, got $listed list(s) with $numbers matching entries"
fi
if grep -qE '^added reader 1 \(number 5, drive 6, log 7\), handle ' <<<"$view" &&
   [ -n "$(line_after "$view_line" 'Creating new device L"MicroSDSmartCardBus\\\\MicroSDSmartCardReader\\\\4"')" ]; then
    pass "msdscctl add: the driver added reader number 4 and Wine enumerated it"
else
    fail "msdscctl add: no reader added, or Wine did not enumerate reader 4"
fi
# Wine 8.0 keeps the device tree in winedevice's ntoskrnl and tells user mode nothing of it:
# CM_Get_DevNode_Status(_Ex) is a stub that answers CR_SUCCESS with status 0 and problem 0 for any
# device node, and SetupDiGetClassDevs ignores DIGCF_PRESENT. So every node reads as present and none
# as started, and add --wait can only run out of time.
if tail -n +"$((view_line + 1))" "$log" | grep 'fixme:setupapi:CM_Get_DevNode_Status_Ex.*stub' >/dev/null; then
    if [ "$view_status" -eq 1 ] &&
       grep -qE '^error: add: timed out: .*\(status 0xC00000B5\); [0-9]+ device node\(s\) present for the session.s 1 reader\(s\)$' <<<"$view" &&
       ! grep -qE '  started( |$)' <<<"$view"; then
        pass "msdscctl add --wait: timed out as expected, Wine 8.0's CM_Get_DevNode_Status_Ex is a stub (no presence, no start)"
    else
        fail "msdscctl add --wait under Wine's stubbed CM_Get_DevNode_Status_Ex: expected a timeout and no started node (exit $view_status)"
    fi
elif grep -qE '^added reader 1 .*, started as reader number 4 ' <<<"$view" && [ "$view_status" -eq 0 ]; then
    pass "msdscctl add --wait: reader number 4 started"
else
    fail "msdscctl add --wait: reader number 4 was not seen started (exit $view_status)"
fi

step "uninstall the bus device with readers 0, 2, 3 present"
run 60 'C:\msdsc\msdscctl.exe' uninstall
uninstall_status=$?
if [ "$uninstall_status" -eq 0 ]; then
    pass "msdscctl uninstall"
elif tail -n +"$((uninstall_line + 1))" "$log" | grep -q 'fixme:setupapi:SetupDiSetClassInstallParamsW'; then
    echo "        msdscctl uninstall: Wine 8.0's SetupDiSetClassInstallParamsW is a stub; DIF_REMOVE without it:"
    if run 60 'C:\msdsc\msdscwine.exe' uninstall; then pass "bus device removed with DIF_REMOVE"; else fail "DIF_REMOVE"; fi
else
    fail "msdscctl uninstall exited with $uninstall_status"
fi
wait_for_log "IoDeleteDevice $bus" 15
bus_deleted=$(line_after "$uninstall_line" "IoDeleteDevice $bus")
if [ -n "$bus_deleted" ]; then pass "the bus device object ($bus) was deleted (log line $bus_deleted)"; else fail "the bus device was not deleted"; fi
for entry in $kept; do
    n=${entry%%:*}
    reader=${entry#*:}
    surprise=$(line_after "$uninstall_line" "Removing device $reader, code 17\.")
    removal=$(line_after "$uninstall_line" "Removing device $reader, code 2\.")
    deleted=$(line_after "$uninstall_line" "IoDeleteDevice $reader")
    # One removal each: Wine sends a device no request after its removal.
    count=$(tail -n +"$((uninstall_line + 1))" "$log" | grep -cE "Removing device $reader, code 17\." || true)
    if in_order "$surprise" "$removal" "$deleted" "$bus_deleted" && [ "$count" -eq 1 ]; then
        pass "reader $n: surprise removal ($surprise), removal ($removal), deletion ($deleted), before the bus went"
    else
        fail "reader $n: surprise removal at line ${surprise:-none} ($count in all), removal ${removal:-none}, deletion ${deleted:-none}, bus deleted at ${bus_deleted:-none}"
    fi
done

step "stop the msdscbus service: the driver unloads"
stop_line=$(wc -l <"$log")
if run 60 'C:\msdsc\msdscwine.exe' stop; then pass "service stopped"; else fail "service stop"; fi
if tail -n +"$((stop_line + 1))" "$log" | grep -qE 'cannot unload|does not support unloading'; then
    fail "Wine did not unload the driver:"
    tail -n +"$((stop_line + 1))" "$log" | grep -E 'unload' | sed 's/^/        /'
elif unloaded=$(line_after "$stop_line" 'unload_driver L"\\\\Driver\\\\msdscbus"') && [ -n "$unloaded" ] &&
     [ -n "$(line_after "$unloaded" 'IoDeleteDriver')" ]; then
    pass "Wine called the driver's unload and deleted the driver object (log line $unloaded)"
else
    fail "no unload of msdscbus in the log"
fi
finish

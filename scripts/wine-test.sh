#!/usr/bin/env bash
# End-to-end test of the target build under Wine, the one independent implementation of the Windows
# kernel interfaces on this machine: on a fresh prefix it installs msdscbus.sys with the project's own
# install command and the sample reader driver over the readers, drives the control device on one handle (msdscwine.exe), and checks in Wine's own
# Plug and Play trace that readers are enumerated, started, surprise-removed, removed and deleted, that
# uninstalling the bus removes the readers it still has first, and that the driver unloads.
#   usage: scripts/wine-test.sh [TARGET-BUILD-DIR]     (default build/target)
#   WINE_FILL=0   run without winefill.sys, to see what Wine 8.0 does to the unchanged driver
#   WINE_TEST_TIMEOUT  seconds for the whole run (default 240)
# Skips (exit 0) when Wine is not installed; scripts/wine-setup.sh installs it.
set -uo pipefail
# A grep at the end of a pipe reads to its end (>/dev/null, not -q): grep -q leaves at the first
# match, the command still writing into the pipe may die of SIGPIPE, and under pipefail the check
# then fails although its line was found.
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
for file in msdscbus.inf msdscsample.sys msdscsample.inf msdscctl.exe msdscclient.dll msdscwine.exe winefill.sys; do
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
# trace of every Wine process to the log. With --stderr FILE the program's standard error, and its
# own process's trace, go to FILE alone, and are added to the log when it exits: the C++ streams
# write a line in pieces, one write each, and in the shared log another process's trace can land
# between two pieces and split the line.
run() {
    local errors=$log
    if [ "$1" = --stderr ]; then
        errors=$2
        : >"$errors"
        shift 2
    fi
    local seconds=$1
    shift
    [ "$seconds" -gt "$(left)" ] && seconds=$(left)
    timeout "$seconds" "$wine" "$@" 2>>"$errors" | tee -a "$transcript" | sed 's/^/        /'
    local status=${PIPESTATUS[0]}
    [ "$errors" = "$log" ] || cat "$errors" >>"$log"
    return "$status"
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
    # The driver's diagnostics: a bus's start and a refused request, as a debugger would see them.
    if grep -q 'msdscbus: bus [0-9]* started' "$log" && grep -q 'msdscbus: control code 00222004 refused (C0000010): unknown control code' "$log"; then
        pass "the driver's DbgPrintEx diagnostics reach Wine's log (debugstr channel)"
    else
        fail "no driver diagnostics in the Wine log"
    fi
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
cp "$out"/{msdscbus.sys,msdscbus.inf,msdscsample.sys,msdscsample.inf,msdscctl.exe,msdscclient.dll,msdscwine.exe} "$prefix/drive_c/msdsc/"
cp "$out/winefill.sys" "$prefix/drive_c/windows/system32/drivers/"
# What winedevice prints is what the test judges: Plug and Play and kernel traces, errors, fixmes.
# services.exe and the winedevice processes it starts take this from the first program of the session.
# +debugstr: Wine writes what drivers print with DbgPrintEx on that channel, whatever the level.
export WINEDEBUG=+plugplay,+ntoskrnl,+debugstr${WINE_TEST_DEBUG:+,$WINE_TEST_DEBUG}

if [ "$fill" = 1 ]; then
    step "services: winefill.sys started, msdscbus and msdscsample in its group"
    if run 60 'C:\msdsc\msdscwine.exe' services; then pass "services prepared"; else fail "services"; finish; fi
fi

step "reader device nodes 0-7 with the sample reader driver"
if run 90 'C:\msdsc\msdscwine.exe' readers 'C:\msdsc\msdscsample.inf' 8; then pass "reader device nodes"; else fail "reader device nodes"; finish; fi

step "msdscctl install of a file that is not an INF: exit 1, the path named"
printf '# Not an INF\n\nA README.\n' >"$prefix/drive_c/msdsc/README.md"
notinf_errors=$prefix/msdscctl-notinf.err
run --stderr "$notinf_errors" 30 'C:\msdsc\msdscctl.exe' install 'C:\msdsc\README.md'
notinf_status=$?
if [ "$notinf_status" -eq 1 ] && tr -d '\r' <"$notinf_errors" | grep -qE '^install: (could not )?use the file: not an INF .*\(C:\\msdsc\\README\.md\)'; then
    pass "msdscctl install README.md: not an INF, exit 1, the path named"
else
    fail "msdscctl install README.md: expected exit 1 and 'not an INF' with the path (exit $notinf_status): $(tr -d '\r' <"$notinf_errors" | grep -v ':fixme:' | head -3)"
fi
# Options anywhere: --json after the verb is no INF path.
mark=$(wc -l <"$transcript")
run 30 'C:\msdsc\msdscctl.exe' install --json 'C:\msdsc\README.md'
notinf_status=$?
notinf_json=$(tail -n +"$((mark + 1))" "$transcript" | tr -d '\r')
if [ "$notinf_status" -eq 1 ] &&
   grep -qE '^\{"type":"error","command":"install","ok":false,.*"inf":"C:\\\\msdsc\\\\README\.md"' <<<"$notinf_json" &&
   grep -qxF '{"type":"summary","ok":false,"exitCode":1}' <<<"$notinf_json"; then
    pass "msdscctl install --json README.md: one error line naming the INF, a failed summary, exit 1"
else
    fail "msdscctl install --json README.md: expected a JSON error naming the path and exit 1 (exit $notinf_status)"
fi

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

# The driver's device objects, from Wine's trace (the client's handles name none of them): the bus is
# the device AddDevice attached, a reader the device Wine sends its last Plug and Play request (major
# function 27) before it names the reader's device node: the instance-ID query.
bus_line=$(grep -nE 'AddDevice routine [0-9A-F]+ returned 0\.' "$log" | tail -1 | cut -d: -f1)
bus=$(head -n "$bus_line" "$log" | grep -oE 'IoAttachDeviceToDeviceStack [0-9A-F]{16}' | tail -1 | awk '{ print $2 }')
created_line() {
    grep -nE "Creating new device L\"MicroSDSmartCardBus\\\\\\\\MicroSDSmartCardReader\\\\\\\\$1\"" "$log" | tail -1 | cut -d: -f1
}
device_before() { head -n "$1" "$log" | grep -oE 'IoBuildSynchronousFsdRequest \(27 [0-9A-F]{16}' | tail -1 | awk '{ print $3 }'; }

step "scenario: one handle of the control device, its close, a second session"
mark=$(wc -l <"$transcript")
scenario_line=$(wc -l <"$log")
run 150 'C:\msdsc\msdscwine.exe' scenario
scenario_status=$?
[ "$scenario_status" -eq 0 ] && pass "scenario" || fail "scenario: $scenario_status checks failed"
# The programs write CR LF, as Windows console programs do.
results=$(tail -n +"$((mark + 1))" "$transcript" | tr -d '\r')
bus_handle=$(awk '$1 == "bus" { print $2 }' <<<"$results")
if [ -z "$bus" ] || [ -z "$bus_handle" ]; then
    fail "no bus device in the trace (${bus:-none}) or no bus handle from the scenario (${bus_handle:-none})"
    finish
fi
if [ "$bus_handle" != "$bus" ]; then
    pass "the bus handle ($bus_handle) is not the bus device object's address ($bus)"
else
    fail "the bus handle is the bus device object's address"
fi
# The control device's DACL: the driver opens the device by pointer for WRITE_DAC (0x40000) with
# OBJ_KERNEL_HANDLE (0x200) and sets it with ZwSetSecurityObject. Both work in Wine 8 (a failure would
# have failed the load); every Wine process runs with an administrator's token, so the open is admitted.
if grep -qE 'ObOpenObjectByPointer [0-9A-F]{16} 200 0000000000000000 40000 ' "$log"; then
    pass "the driver opened its control device for WRITE_DAC to set its DACL"
else
    fail "no ObOpenObjectByPointer of the control device for WRITE_DAC in the log"
fi

# Wine's Plug and Play loaded the sample for the readers (ZwLoadDriver, not the service manager);
# the scenario read each reader's values through the sample's interface.
if grep -qE 'load_driver loading driver L".*msdscsample\.sys"' "$log" && grep -q 'init done for L"msdscsample"' "$log"; then
    pass "Wine's Plug and Play loaded msdscsample.sys for the readers"
else
    fail "msdscsample.sys was not loaded"
fi

# Each reader's instance ID is what Wine asked its device for: the decimal reader number, which is
# also the reader half of the client's handle (the scenario checked that half).
declare -A device created
for n in 0 1 2 3; do
    created[$n]=$(created_line "$n")
    if [ -n "${created[$n]}" ]; then
        device[$n]=$(device_before "${created[$n]}")
        pass "Wine enumerated reader $n as MicroSDSmartCardBus\\MicroSDSmartCardReader\\$n (device ${device[$n]:-unknown})"
    else
        fail "no enumeration of reader $n in the log"
    fi
done

# A device object's memory may come back for a later reader (Wine's heap reuses it), so each search
# starts at the line where that reader was named: its memory cannot be reused before it is deleted.
removed_in_order() {
    local n=$1 from=${created[$1]} dev=${device[$1]} surprise removal deleted count
    [ -n "$from" ] && [ -n "$dev" ] || { fail "reader $n: not found in the trace"; return; }
    surprise=$(line_after "$from" "Removing device $dev, code 17\.")
    removal=$(line_after "$from" "Removing device $dev, code 2\.")
    deleted=$(line_after "$from" "IoDeleteDevice $dev")
    # One removal each: Wine sends a device no request after its removal.
    count=$(tail -n +"$((from + 1))" "$log" | head -n "$(( ${deleted:-999999} - from ))" |
            grep -cE "Removing device $dev, code 17\." || true)
    if in_order "$surprise" "$removal" "$deleted" && [ "$count" -eq 1 ]; then
        pass "reader $n ($2): surprise removal (line $surprise), removal ($removal), deletion ($deleted)"
    else
        fail "reader $n ($2): surprise removal at line ${surprise:-none} ($count), removal ${removal:-none}, deletion ${deleted:-none}"
    fi
}

step "the readers leave: reader 1 by its removal, the others when their session's handle closes"
for n in 0 1 2 3; do
    [ -n "${device[$n]:-}" ] && wait_for_log "IoDeleteDevice ${device[$n]}" 15
done
removed_in_order 1 "removed by the client"
for n in 0 2 3; do removed_in_order "$n" "the first handle's close"; done
# Wine sends IRP_MJ_CLOSE alone, and no IRP_MJ_CLEANUP, when a handle closes: the close ended each session.
if tail -n +"$((scenario_line + 1))" "$log" | grep 'dispatch_cleanup' >/dev/null; then
    echo "        (this Wine sent IRP_MJ_CLEANUP)"
fi

step "msdscctl devices and add --wait: the device view through SetupAPI and cfgmgr32"
mark=$(wc -l <"$transcript")
view_line=$(wc -l <"$log")
view_errors=$prefix/msdscctl-view.err
run --stderr "$view_errors" 60 'C:\msdsc\msdscctl.exe' --timeout 5000 devices add 5 6 7 --wait devices quit
view_status=$?
view=$(tail -n +"$((mark + 1))" "$transcript" | tr -d '\r')
# The readers are found by their hardware ID under their enumerator, with the reader number from the
# instance path: the nodes 0-7 registered before the install, which the scenario's readers 0-3 used.
listed=$(awk '/^8 reader device nodes$/ { n++ } END { print n + 0 }' <<<"$view")
numbers=$(awk '$1 == "reader" && $3 ~ /^MICROSDSMARTCARDBUS\\MICROSDSMARTCARDREADER\\[0-9]+$/ { split($3, p, "\\"); if (p[3] == $2) n++ } END { print n + 0 }' <<<"$view")
if [ "$listed" -eq 2 ] && [ "$numbers" -eq 16 ]; then
    pass "msdscctl devices: the 8 reader device nodes by hardware ID, each reader number matching its instance path, twice"
else
    fail "msdscctl devices: expected 8 reader device nodes twice, got $listed list(s) with $numbers matching entries"
fi
# The lowest number no reader holds: which one depends on how far Wine got with the earlier removals.
added=$(sed -nE 's/^added reader ([0-9]+) \(Number=5, Drive=6, Log=7\), handle [0-9a-f]{16}:[0-9a-f]{8}([0-9a-f]{8}).*/\1 \2/p' <<<"$view" | head -1)
added_number=${added%% *}
if [ -n "$added" ] && [ "$((16#${added##* }))" = "$added_number" ] &&
   [ -n "$(line_after "$view_line" "Creating new device L\"MicroSDSmartCardBus\\\\\\\\MicroSDSmartCardReader\\\\\\\\$added_number\"")" ]; then
    pass "msdscctl add: the driver added reader number $added_number and Wine enumerated it"
else
    fail "msdscctl add: no reader added, or Wine did not enumerate it (${added:-nothing added})"
    added_number=none
fi
# The tool read reader 5's values through the sample's interface, as the sample read them at its start.
if grep -qE '^    read by msdscsample: Number=5 Drive=6 Log=7 Exists=1$' <<<"$view"; then
    pass "msdscctl devices: reader 5's values as the sample read them, through its interface"
else
    fail "msdscctl devices: no values of reader 5 read through the sample's interface"
fi
# Wine 8.0 keeps the device tree in winedevice's ntoskrnl and tells user mode nothing of it:
# CM_Get_DevNode_Status(_Ex) is a stub that answers CR_SUCCESS with status 0 and problem 0 for any
# device node. The library then says the state is not reported and takes a start from the sample's
# answer through its interface alone: add --wait ends when the sample answers, and the other nodes
# read "state unknown", never "not started". Errors go to standard error, judged in the tool's own
# file: Wine writes it straight to that file, complete when the tool has exited.
if grep -q 'fixme:setupapi:CM_Get_DevNode_Status_Ex.*stub' "$view_errors"; then
    if [ "$view_status" -eq 0 ] &&
       grep -E "^added reader $added_number .*, started \(" <<<"$view" >/dev/null &&
       grep -E "^  reader $added_number .*  started \(its function driver answered; Wine reports no device node state\)" <<<"$view" >/dev/null &&
       grep -E '  state unknown \(Wine reports no device node state\)' <<<"$view" >/dev/null &&
       ! grep -E 'not started' <<<"$view" >/dev/null; then
        pass "msdscctl add --wait and devices: started as the sample answered; the other nodes' state said to be unknown under Wine 8.0's stubbed CM_Get_DevNode_Status_Ex"
    else
        fail "msdscctl add --wait or devices under Wine's stubbed CM_Get_DevNode_Status_Ex: expected a start seen through the sample and no 'not started' (exit $view_status)"
    fi
elif grep -qE "^added reader $added_number .*, started \(" <<<"$view" && [ "$view_status" -eq 0 ]; then
    pass "msdscctl add --wait: reader number $added_number started"
else
    fail "msdscctl add --wait: reader number $added_number was not seen started (exit $view_status)"
fi

# The session's close removed that reader (Wine's close without cleanup ends the session).
[ "$added_number" != none ] && [ -n "$(created_line "$added_number")" ] &&
    wait_for_log "IoDeleteDevice $(device_before "$(created_line "$added_number")")" 15

step "msdscctl --json remove of a reader the session did not add: a failed request, exit 1"
mark=$(wc -l <"$transcript")
run 30 'C:\msdsc\msdscctl.exe' --json remove 5
foreign_status=$?
foreign=$(tail -n +"$((mark + 1))" "$transcript" | tr -d '\r')
if [ "$foreign_status" -eq 1 ] && grep -q '^{"type":"error","command":"remove","ok":false,' <<<"$foreign" &&
   ! grep -q '"usage-error"' <<<"$foreign" && grep -q '^{"type":"summary","ok":false,"exitCode":1}$' <<<"$foreign"; then
    pass "msdscctl remove 5: an error line, no usage-error, a failed summary, exit 1"
else
    fail "msdscctl remove 5: expected an error line and exit 1 (exit $foreign_status): $foreign"
fi

step "a second session while one is held, and a reader without a function driver"
# One session holds the control device (its commands come slowly on standard input); a second
# process's open is refused by the driver, although Wine hands it a handle: the tool must say that
# another session holds the device, not fail each request as closed on its way.
mark=$(wc -l <"$transcript")
# (sed -u: the holder's lines must reach the transcript as they come, not when it exits.)
{ echo version; sleep 10; echo quit; } | timeout 30 "$wine" 'C:\msdsc\msdscctl.exe' 2>>"$log" | sed -u 's/\r$//' >>"$transcript" &
holder=$!
held_until=$(( $(date +%s) + 15 ))
until tail -n +"$((mark + 1))" "$transcript" | grep '^driver version' >/dev/null || [ "$(date +%s)" -ge "$held_until" ]; do
    sleep 0.2
done
second_errors=$prefix/msdscctl-second.err
run --stderr "$second_errors" 30 'C:\msdsc\msdscctl.exe' version
second_status=$?
if [ "$second_status" -ne 0 ] &&
   tr -d '\r' <"$second_errors" | grep -E '^error: open: another session holds the control device' >/dev/null; then
    pass "a second session is refused with its cause: another session holds the control device (exit $second_status)"
else
    fail "a second session: expected exit 3 and 'another session holds the control device', got exit $second_status: $(tr -d '\r' <"$second_errors" | grep -v '^fixme' | head -2 | paste -sd' ')"
fi
wait "$holder"
# Reader nodes 0-7 have the sample; with all eight held, the next reader is number 8, for which no
# driver is installed. Windows shows such a node with problem 28, which ends a wait at once; Wine
# installs no driver for it (the reader does not answer the compatible-IDs query, which Wine needs)
# and then registers no device node at all, so user mode never sees reader 8 and the wait can only
# run out. The test pins that cause, with a short time-out.
nodriver_errors=$prefix/msdscctl-nodriver.err
nodriver_line=$(wc -l <"$log")
run --stderr "$nodriver_errors" 60 'C:\msdsc\msdscctl.exe' --timeout 2000 add 1 0 0 add 1 0 0 add 1 0 0 add 1 0 0 \
    add 1 0 0 add 1 0 0 add 1 0 0 add 1 0 0 add 2 0 0 --wait quit >/dev/null
nodriver_status=$?
if [ "$nodriver_status" -eq 1 ] &&
   tr -d '\r' <"$nodriver_errors" | grep -E '^error: add: timed out: .*\(status 0xC00000B5\); reader 8 is not present$' >/dev/null &&
   [ -n "$(line_after "$nodriver_line" 'Failed to get compatible IDs, status 0xc00000bb')" ] &&
   [ -n "$(line_after "$nodriver_line" 'Unable to install a function driver for device L"MicroSDSmartCardBus\\\\MicroSDSmartCardReader\\\\8"')" ]; then
    pass "add --wait of reader 8, which has no driver: Wine registers no node for it (no compatible IDs), so no problem 28 can be seen"
else
    fail "add --wait of reader 8 without a driver: expected a time-out on a node Wine never registered (exit $nodriver_status): $(tr -d '\r' <"$nodriver_errors" | grep '^error' | head -1)"
fi
for number in 0 1 2 3 4 5 6 7 8; do
    [ -n "$(created_line "$number")" ] && wait_for_log "IoDeleteDevice $(device_before "$(created_line "$number")")" 15
done

step "uninstall the bus device, which has no readers left"
uninstall_line=$(wc -l <"$log")
run 60 'C:\msdsc\msdscctl.exe' uninstall
uninstall_status=$?
# Wine 8.0's SetupDiSetClassInstallParamsW is a stub that fails without an error; the tool goes on
# with DIF_REMOVE's defaults, a global removal, which Wine carries out.
if [ "$uninstall_status" -eq 0 ]; then
    pass "msdscctl uninstall"
else
    fail "msdscctl uninstall exited with $uninstall_status"
fi
wait_for_log "IoDeleteDevice $bus" 15
bus_deleted=$(line_after "$uninstall_line" "IoDeleteDevice $bus")
if [ -n "$bus_deleted" ]; then pass "the bus device object ($bus) was deleted (log line $bus_deleted)"; else fail "the bus device was not deleted"; fi

# Not the sample's: Wine's Plug and Play loaded it with ZwLoadDriver, behind the service manager,
# which then answers a stop with ERROR_SERVICE_CANNOT_ACCEPT_CTRL.
step "stop the msdscbus service: the driver unloads"
stop_line=$(wc -l <"$log")
if run 60 'C:\msdsc\msdscwine.exe' stop msdscbus; then pass "service stopped"; else fail "service stop"; fi
if tail -n +"$((stop_line + 1))" "$log" | grep -E 'cannot unload|does not support unloading' >/dev/null; then
    fail "Wine did not unload the driver:"
    tail -n +"$((stop_line + 1))" "$log" | grep -E 'unload' | sed 's/^/        /'
elif unloaded=$(line_after "$stop_line" 'unload_driver L"\\\\Driver\\\\msdscbus"') && [ -n "$unloaded" ] &&
     [ -n "$(line_after "$unloaded" 'IoDeleteDriver')" ]; then
    pass "Wine called the driver's unload and deleted the driver object (log line $unloaded)"
else
    fail "no unload of msdscbus in the log"
fi
finish

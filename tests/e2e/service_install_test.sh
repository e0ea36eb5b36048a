#!/usr/bin/env bash
# The helper as a real service under Wine's service control manager, in a Wine
# prefix of its own (a service lives only while its prefix's wineserver lives,
# and a leftover registration would hold the pipe name of every other run).
#
# Installs, serves a verified desktop client, starts and queries the core
# through the service, replaces the running registration, uninstalls (the
# second time finding nothing to uninstall), then installs from a folder
# whose path holds spaces over a registration of the first. Whatever happens,
# the registration is removed and this prefix's wineserver is ended.
#
# Usage: service_install_test.sh <build dir>
set -uo pipefail

build=$(cd "${1:?usage: service_install_test.sh <build dir>}" && pwd)
prefix=$build/test-work/service-prefix
tag=service-e2e-$$
work=$build/test-work/$tag

# shellcheck source=../support/own_prefix.sh
source "$(dirname "${BASH_SOURCE[0]}")/../support/own_prefix.sh"

service=VEXL2VpnService
pipe=$service.Control

helper_plain=$work/plain/VEXL2/zorv-helper.exe
helper_spaced="$work/Program Files/VEXL2 Helper/zorv-helper.exe"
client=$work/client/vexl2.exe
probe=$work/tools/service_probe.exe
squatter=$work/tools/pipe_squatter.exe
installed=()

# ---- reporting --------------------------------------------------------------

# Shows the end of a helper's log, for the failures that need it.
show_log() {
    local log
    log="$(dirname "$1")/logs/service.log"
    printf -- '--- %s (last 60 lines)\n' "$log"
    tail -n 60 "$log" 2>/dev/null | tr -d '\r'
}

# ---- Wine ---------------------------------------------------------------------

# run <timeout s> <program> <args...>: sets $out, $err (without CRs) and $rc.
run() {
    local seconds=$1 program=$2
    shift 2
    local err_file=$work/stderr.$RANDOM
    out=$(timeout "$seconds" "$wine" "$program" "$@" </dev/null 2>"$err_file" | tr -d '\r')
    rc=${PIPESTATUS[0]}
    err=$(tr -d '\r' <"$err_file")
    rm -f "$err_file"
}

squatter_pid=

cleanup() {
    local status=$?
    [ -n "$squatter_pid" ] && kill "$squatter_pid" 2>/dev/null
    if [ ${#installed[@]} -gt 0 ]; then
        timeout 60 "$wine" "${installed[0]}" uninstall </dev/null >/dev/null 2>&1 || true
    fi
    end_prefix_test "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# ---- the programs -------------------------------------------------------------

need() { [ -f "$1" ] || abort "missing build output $1"; }

# The helper with a fake core beside it.
place_helper() {
    local dir
    dir=$(dirname "$1")
    mkdir -p "$dir"
    cp "$build/src/zorv-helper.exe" "$1"
    cp "$build/tests/double_fake_core.exe" "$dir/sing-box.exe"
}

# Recording stand-ins for the system tools, in this prefix's system32 (the
# helper runs them from there only); they record into tool-calls.log there.
system32=$prefix/drive_c/windows/system32
tools_log=$system32/tool-calls.log
place_tool_doubles() {
    local tool
    for tool in icacls pnputil netsh; do
        cp "$build/tests/double_fake_tool.exe" "$system32/$tool.exe"
        "$wine" reg add 'HKCU\Software\Wine\DllOverrides' /v "$tool.exe" /d native /f </dev/null >/dev/null 2>&1
    done
    rm -f "$tools_log"
}


# Wine shows a Windows process's command line as its Linux one.
core_running() { grep -qsaE "$tag.*sing-box\.exe" /proc/[0-9]*/cmdline; }

wait_core_gone() {
    local deadline=$((SECONDS + 10))
    while core_running; do
        [ $SECONDS -ge $deadline ] && return 1
        sleep 0.2
    done
}

install() {
    run 90 "$1" install
    [ "$rc" -eq 0 ] || { show_log "$1"; abort "install exited $rc: $err"; }
    [ "$out" = "Service successfully installed and started." ] || fail "install printed: '$out'"
}

uninstall() {
    run 90 "$1" uninstall
    [ "$rc" -eq 0 ] || { show_log "$1"; fail "uninstall exited $rc: $err"; return; }
    [ "$out" = "Service successfully stopped and removed." ] || fail "uninstall printed: '$out'"
}

expect_not_registered() {
    run 30 "$probe" "$service"
    [ "$rc" -eq 2 ] && [ "$out" = "open=error 1060" ] || fail "registration still there after uninstall: rc=$rc '$out'"
}

start_core() {
    request '{"method":"POST","path":"/v1/runtime/start","body":{"profileId":"e2e","configContent":"{\"log\":{\"level\":\"info\"}}"}}'
    [ "$rc" -eq 0 ] && [[ $out == *'"status":200'* ]] && [[ $out == *'"state":"running"'* ]] ||
        abort "start through the service failed: rc=$rc '$out'"
    core_running || fail "no sing-box.exe process after the start"
}

# in_order <file> <text>...: each text occurs on a line after the previous one's.
in_order() {
    local file=$1
    shift
    tr -d '\r' <"$file" | awk '
        BEGIN { count = ARGC - 1; for (i = 1; i < ARGC; i++) want[i] = ARGV[i]; ARGC = 1; at = 1 }
        at <= count && index($0, want[at]) { at++ }
        END { if (at <= count) { print "missing or out of order: " want[at]; exit 1 } }
    ' "$@"
}

expect_in_order() {
    local file=$1 message
    shift
    message=$(in_order "$file" "$@") || fail "$(basename "$(dirname "$(dirname "$file")")") log: $message"
}

# ---- the test -----------------------------------------------------------------

need "$build/src/zorv-helper.exe"
need "$build/tests/double_fake_core.exe"
need "$build/tests/double_fake_tool.exe"
need "$build/tests/double_pipe_client.exe"
need "$build/tests/double_service_probe.exe"
need "$build/tests/double_pipe_squatter.exe"

rm -rf "$work"
mkdir -p "$work/client" "$work/tools"
place_helper "$helper_plain"
place_helper "$helper_spaced"
# A desktop client passes verification by its name and folder.
cp "$build/tests/double_pipe_client.exe" "$client"
cp "$build/tests/double_service_probe.exe" "$probe"
cp "$build/tests/double_pipe_squatter.exe" "$squatter"

start_prefix
place_tool_doubles
installed+=("$helper_plain")

step "a registration left by an interrupted earlier run is removed"
run 90 "$helper_plain" uninstall
expect_not_registered

step "install, warning that others can change the folder"
install "$helper_plain"
# Wine synthesises every DACL from the Unix mode bits, so the user can change every folder.
[[ $err == *"[WARN ] [zorv_helper::service] Installing from '$(winpath "$(dirname "$helper_plain")")', which others than SYSTEM, Administrators and TrustedInstaller can change: '"*"' is writable by "* ]] ||
    fail "no warning about the folder: '$err'"
run 30 "$probe" "$service"
[[ $out == *"state=4"* && $out == *"start_type=2"* ]] || fail "probe after install: '$out'"
[[ $out == *"image=$(winpath "$helper_plain")"* ]] || fail "image path not registered bare: '$out'"

step "a desktop client is served on $pipe"
wait_healthy || { show_log "$helper_plain"; abort "no 200 from /healthz: rc=$rc '$out' '$err'"; }

step "start and status through the service"
start_core
request '{"method":"GET","path":"/v1/runtime/status"}'
[[ $out == *'"status":200'* && $out == *'"running":true'* && $out == *'"profileId":"e2e"'* ]] ||
    fail "status after start: '$out'"

step "the directory was locked down by the installer and again by the service"
# Each lock-down: the folder's owner, its entries, what it holds (owner, then
# reset), then the logs grant, in that order.
helper_dir_json=$(winpath "$(dirname "$helper_plain")")
helper_dir_json=${helper_dir_json//\\/\\\\}
lockdown_calls=
while IFS= read -r line; do
    case $line in
        *"\"$helper_dir_json\",\"/setowner\""*) lockdown_calls+="owner " ;;
        *"\"$helper_dir_json\",\"/inheritance:r\""*) lockdown_calls+="entries " ;;
        *"\"$helper_dir_json\\\\*\",\"/setowner\""*) lockdown_calls+="contents-owner " ;;
        *"\"$helper_dir_json\\\\*\",\"/reset\""*) lockdown_calls+="contents-reset " ;;
        *"\"$helper_dir_json\\\\logs\",\"/grant\""*) lockdown_calls+="logs " ;;
    esac
done < <(grep '"icacls.exe"' "$tools_log" 2>/dev/null)
expected_run="owner entries contents-owner contents-reset logs "
[[ $lockdown_calls == *"$expected_run$expected_run"* ]] ||
    fail "expected two lock-downs of the helper's folder, in order; saw: $lockdown_calls"
grep -q '"pnputil.exe"' "$tools_log" || fail "the installer did not look for a leftover Wintun device"
[ -d "$(dirname "$helper_plain")/logs" ] || fail "no logs folder beside the helper"

step "install again replaces the running registration"
install "$helper_plain"
wait_core_gone || fail "the core of the replaced service still runs"
wait_healthy || abort "no 200 from /healthz after the second install: '$out'"
request '{"method":"GET","path":"/v1/runtime/status"}'
[[ $out == *'"state":"stopped"'* ]] || fail "a fresh service should report a stopped core: '$out'"
expect_in_order "$(dirname "$helper_plain")/logs/service.log" \
    "Beginning installation of Windows service '$service'" \
    "Beginning installation of Windows service '$service'" \
    "Removing existing service registration if any..." \
    "SCM control event: Stop requested" \
    "Service stopping: shutting down running runtime manager" \
    "Reporting service status: Stopped" \
    "Registering service binary from path: "

step "uninstall stops the core and removes the registration"
start_core
uninstall "$helper_plain"
wait_core_gone || fail "the core still runs after uninstall"
expect_not_registered
request '{"method":"GET","path":"/healthz"}'
[ "$rc" -ne 0 ] || fail "something still answers on $pipe after uninstall: '$out'"

step "uninstall with nothing registered says so and fails"
run 90 "$helper_plain" uninstall
[ "$rc" -eq 1 ] && [ -z "$out" ] || fail "uninstall of nothing: rc=$rc '$out'"
[[ $err == *"Error: The service $service is not installed; there is nothing to uninstall"* ]] ||
    fail "uninstall of nothing said: '$err'"
expect_not_registered

step "the log of the first folder"
log_plain="$(dirname "$helper_plain")/logs/service.log"
expect_in_order "$log_plain" \
    "Beginning uninstallation of Windows service '$service'" \
    "SCM control event: Stop requested" \
    "Service stopping: shutting down running runtime manager" \
    "Reporting service status: Stopped" \
    "Service main loop terminated normally" \
    "Service '$service' successfully uninstalled" \
    "Beginning uninstallation of Windows service '$service'" \
    "Service '$service' is not installed; there is nothing to uninstall"
grep -q "did not exit gracefully, force killing\|exited gracefully in" "$log_plain" ||
    fail "no core stop recorded in the log"

step "an executable path with spaces installs over the first, naming both, and runs"
install "$helper_plain"
installed=("$helper_spaced")
install "$helper_spaced"
[[ $err == *"The service $service is registered from '$(winpath "$helper_plain")'; this install re-points it to '$(winpath "$helper_spaced")'"* ]] ||
    fail "install over another registration said: '$err'"
run 30 "$probe" "$service"
[[ $out == *"image=\"$(winpath "$helper_spaced")\""* ]] || fail "image path with spaces not quoted: '$out'"
wait_healthy || { show_log "$helper_spaced"; abort "no 200 from /healthz (spaces): '$out'"; }
start_core
uninstall "$helper_spaced"
wait_core_gone || fail "the core still runs after uninstall (spaces)"
expect_not_registered

step "the log of one whole service life"
log_spaced="$(dirname "$helper_spaced")/logs/service.log"
spaced_dir=$(winpath "$(dirname "$helper_spaced")")
spaced_dir_debug=${spaced_dir//\\/\\\\}
expect_in_order "$log_spaced" \
    "Beginning installation of Windows service '$service'" \
    "Removing existing service registration if any..." \
    "Registering service binary from path: \"${spaced_dir_debug}\\\\zorv-helper.exe\"" \
    "Configuring crash recovery failure actions (restart after 5s)" \
    "Starting Windows service '$service'"
# The lock-down comes before anything else of each process touches the folder.
[[ $(grep -m1 -o 'Applying SDDL security sandbox to service directory: .*' "$log_spaced" | tr -d '\r') == \
    "Applying SDDL security sandbox to service directory: \"${spaced_dir_debug}\"" ]] ||
    fail "the install's first records are not its lock-down"
expect_in_order "$log_spaced" \
    "Applying SDDL security sandbox to service directory: \"${spaced_dir_debug}\"" \
    "Starting Windows service dispatcher for '$service'" \
    "service_main entry called by SCM" \
    "Registering Windows service control handler for '$service'" \
    "Reporting service status: StartPending" \
    "Configuring crash recovery on the service's own registration" \
    "Configuring named pipe server for pipe: $pipe" \
    "Reporting service status: Running" \
    "Service '$service' successfully installed and entered Running state" \
    "Beginning uninstallation of Windows service '$service'" \
    "SCM control event: Stop requested" \
    "Reporting service status: StopPending" \
    "Service stopping: shutting down running runtime manager" \
    "Reporting service status: Stopped" \
    "Service main loop terminated normally" \
    "Service '$service' successfully uninstalled"
# Running is reported only once the pipe has its first instance.
expect_in_order "$log_spaced" \
    "Named pipe listener running; waiting for client requests or shutdown" \
    "Named pipe server starting on \\\\.\\pipe\\$pipe" \
    "Reporting service status: Running" \
    "SCM control event: Stop requested"
if grep -q "Service main loop exited with error" "$log_spaced" "$log_plain"; then
    fail "a service run ended with an error"
fi


# ---- the operator CLI against the installed service ------------------------------

ctl=$work/operator/zorv.exe
need "$build/tools/zorv.exe"
need "$build/tests/double_scripted_server.exe"
mkdir -p "$work/operator" "$work/squatter"
cp "$build/tools/zorv.exe" "$ctl"
# The squatter even carries the helper's file name: on the service's pipe only
# the process the SCM started will do.
cp "$build/tests/double_scripted_server.exe" "$work/squatter/zorv-helper.exe"
squatter_pid=
stop_squatter() {
    [ -n "$squatter_pid" ] && kill -KILL "$squatter_pid" 2>/dev/null
    wait "$squatter_pid" 2>/dev/null
    squatter_pid=
}

step "zorv.exe is served by the installed service by its file name"
installed=("$helper_plain")
install "$helper_plain"
run 40 "$ctl" wait --timeout 30
[ "$rc" -eq 0 ] && [[ $out == "status: 200"* ]] || { show_log "$helper_plain"; abort "zorv wait: rc=$rc '$out' '$err'"; }

step "zorv service and version name the service's process"
run 30 "$ctl" service
service_pid=$(sed -n 's/^pid: \([0-9][0-9]*\)$/\1/p' <<<"$out")
[ "$rc" -eq 0 ] && [ -n "$service_pid" ] || fail "zorv service: rc=$rc '$out' '$err'"
[[ $out == *"service: $service"*"state: Running"*"last exit code: 0"*"image: $(winpath "$helper_plain")"* ]] ||
    fail "zorv service printed: '$out'"
run 30 "$ctl" version
[ "$rc" -eq 0 ] && [[ $out == *"helper: process $service_pid on \\\\.\\pipe\\$pipe, "* ]] ||
    fail "zorv version: rc=$rc '$out' '$err'"

step "zorv start, then logs and logs --core from beside the registered image"
printf '{"fake":{"print":["stand-in core line %s"]}}' "$tag" >"$work/operator/core.json"
run 30 "$ctl" start --config "$(winpath "$work/operator/core.json")"
[ "$rc" -eq 0 ] && [[ $out == *'"state": "running"'* ]] || fail "zorv start: rc=$rc '$out' '$err'"
run 30 "$ctl" logs -n 3
[ "$rc" -eq 0 ] && [ "$(grep -c '^\[20' <<<"$out")" -eq 3 ] && [ "$(wc -l <<<"$out")" -eq 3 ] ||
    fail "zorv logs -n 3: rc=$rc '$out' '$err'"
[ "$out" = "$(tail -n 3 "$(dirname "$helper_plain")/logs/service.log" | tr -d '\r')" ] ||
    fail "zorv logs -n 3 is not the end of service.log: '$out'"
seen=0
for _ in $(seq 1 50); do
    run 30 "$ctl" logs --core
    [ "$rc" -eq 0 ] && [[ $out == *"stand-in core line $tag"* ]] && { seen=1; break; }
    sleep 0.2
done
[ "$seen" -eq 1 ] || fail "zorv logs --core: rc=$rc '$out' '$err'"

step "a second process holding another instance of $pipe is refused"
rm -f "$work/squatter/"{pid,listening,request-*.txt}
"$wine" "$work/squatter/zorv-helper.exe" "$pipe" "$(winpath "$work/squatter")" \
    'greet:{"status":200,"body":{}}' 'greet:{"status":200,"body":{}}' 'greet:{"status":200,"body":{}}' \
    </dev/null >/dev/null 2>&1 &
squatter_pid=$!
for _ in $(seq 1 100); do [ -f "$work/squatter/listening" ] && break; sleep 0.1; done
impostor=$(cat "$work/squatter/pid" 2>/dev/null)
[ -n "$impostor" ] || fail "the squatter did not start"
# Which listening instance a client reaches is the system's choice; the
# service serves the other connections.
refused=0
for _ in 1 2 3 4 5 6; do
    run 30 "$ctl" status
    if [ "$rc" -eq 3 ]; then refused=1; break; fi
    [ "$rc" -eq 0 ] || fail "zorv status beside the squatter: rc=$rc '$err'"
done
stop_squatter
[ "$refused" -eq 1 ] || fail "zorv never reached the squatter"
[ "$refused" -eq 0 ] || [ "$err" = "zorv: Refusing to send to \\\\.\\pipe\\$pipe: it is served by process $impostor, but the Service Control Manager reports process $service_pid for the service $service" ] ||
    fail "refusal: '$err'"
for request_file in "$work/squatter/"request-*.txt; do
    [ -e "$request_file" ] || continue
    [ -s "$request_file" ] && fail "bytes reached the squatter: $(cat "$request_file")"
done

step "zorv version with the service stopped shows the installed helper's version"
run 60 "$probe" --stop "$service"
grep -qx "stopped=exited" <<<"$out" || fail "stopping the service: rc=$rc '$out'"
run 30 "$ctl" version --timeout 2
[ "$rc" -eq 3 ] && [[ $out == *"installed helper (not answering): $(winpath "$helper_plain")"*"installed helper version: $(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"* ]] ||
    fail "zorv version with the service stopped: rc=$rc '$out' '$err'"

step "after uninstall zorv service and logs say the service is not installed"
uninstall "$helper_plain"
run 30 "$ctl" service
[ "$rc" -eq 1 ] && [ "$err" = "zorv: The service $service is not installed" ] || fail "zorv service: rc=$rc '$err'"
run 30 "$ctl" logs
[ "$rc" -eq 1 ] && [[ $err == "zorv: The service $service is not installed"* ]] || fail "zorv logs: rc=$rc '$err'"
run 30 "$ctl" status --timeout 2
[ "$rc" -eq 3 ] && [[ $err == "zorv: No helper is listening on"* ]] || fail "zorv status: rc=$rc '$err'"

step "a service that cannot own its pipe fails the install and ends stopped with an error"
# In a fresh prefix of its own, so that a registration left by a failure here
# cannot spoil later runs in the shared prefix. The service process must end
# after its failed start, or the registration stays marked for deletion.
timeout 60 "$wine" "$helper_plain" uninstall </dev/null >/dev/null 2>&1
"$wineserver" -k >/dev/null 2>&1
installed=()
prefix=$build/test-work/service-squat-prefix-$$
export WINEPREFIX=$prefix
rm -rf "$prefix"
start_prefix
helper_squat=$work/squat/VEXL2/zorv-helper.exe
place_helper "$helper_squat"
"$wine" "$squatter" "$pipe" 120 </dev/null >"$work/squatter.out" 2>&1 &
squatter_pid=$!
deadline=$((SECONDS + 20))
until grep -q holding "$work/squatter.out" 2>/dev/null; do
    [ $SECONDS -ge $deadline ] && abort "the squatter did not take $pipe: $(cat "$work/squatter.out")"
    sleep 0.2
done
run 90 "$helper_squat" install
[ "$rc" -ne 0 ] || fail "install with the pipe taken exited 0: '$out'"
[[ $out != *"successfully installed"* ]] || fail "install claimed success with the pipe taken: '$out'"
[[ $err == *"Timed out waiting for service to enter Running state"* ]] || fail "install error: '$err'"
run 30 "$probe" "$service"
[[ $out == *"state=1"* ]] || fail "the service is not stopped: '$out'"
[[ $out =~ exit=([0-9]+) ]] && [ "${BASH_REMATCH[1]}" != 0 ] || fail "stopped without an exit code: '$out'"
log_squat="$(dirname "$helper_squat")/logs/service.log"
expect_in_order "$log_squat" \
    "Reporting service status: StartPending" \
    "[ERROR] [zorv_helper::pipe_server] Named pipe server failed: Failed to create named pipe" \
    "Service stopping: shutting down running runtime manager" \
    "Reporting service status: Stopped" \
    "[ERROR] [zorv_helper::service] Service main loop exited with error: Failed to create named pipe" \
    "Service '$service' failed to enter Running state within timeout"
if grep -q "Reporting service status: Running" "$log_squat"; then
    fail "the service reported Running without its pipe"
fi
kill "$squatter_pid" 2>/dev/null
wait "$squatter_pid" 2>/dev/null
squatter_pid=
step "uninstall then removes the registration of the service that failed"
run 90 "$helper_squat" uninstall
[ "$rc" -eq 0 ] || fail "uninstall after the failed install: rc=$rc err='$err'"
run 30 "$probe" "$service"
[ "$out" = "open=error 1060" ] || fail "the service is still registered: '$out'"
"$wineserver" -k >/dev/null 2>&1
rm -rf "$prefix"

[ "$failures" -eq 0 ] && echo "PASS"

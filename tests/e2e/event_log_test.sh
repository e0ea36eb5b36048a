#!/usr/bin/env bash
# The helper's Event Log records and its event source, in a Wine prefix of its
# own (the source and the hardened-mode policy live in the prefix's HKLM).
#
# Wine's ReportEventW writes each record to its debug channels: the event id
# in a "fixme:advapi:ReportEventW (...)" line, then each insert on an
# "err:eventlog", "warn:eventlog" or "trace:eventlog" line by the record's
# type. Each scenario runs the helper with WINEDEBUG=+eventlog and reads the
# records back from its standard error: a squatted pipe, a core that cannot
# start and one that exits while it should run, a refused client connecting
# 100 times (one record), a hardened-mode refusal, a crash; then the service's
# start and stop and the source's registry values from `install` to `uninstall`.
#
# Usage: event_log_test.sh <build dir>
set -uo pipefail

build=$(cd "${1:?usage: event_log_test.sh <build dir>}" && pwd)
prefix=$build/test-work/eventlog-prefix
work=$build/test-work/eventlog-e2e-$$

# shellcheck source=../support/own_prefix.sh
source "$(dirname "${BASH_SOURCE[0]}")/../support/own_prefix.sh"

source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\VEXL2VpnService'
policy_key='HKLM\SYSTEM\CurrentControlSet\Services\VEXL2VpnService\Parameters'
refused=$work/refused/vexl2.exe
client=$work/client/vexl2.exe
installed=

trap end_helper_test EXIT
trap 'exit 1' INT TERM

place_helper() {
    mkdir -p "$1"
    cp "$build/src/zorv-helper.exe" "$1/zorv-helper.exe"
    cp "$build/tests/double_fake_core.exe" "$1/sing-box.exe"
}

# run_helper <folder> <pipe> [VAR=value...]: `run` in the background, traced,
# until the pipe is served.
run_helper() {
    local dir=$1 pipe=$2
    shift 2
    place_helper "$dir"
    env WINEDEBUG=+eventlog SINGBOX_WINDOWS_SERVICE_PIPE_NAME="$pipe" SINGBOX_EXPECTED_CLIENT_PATH="$(winpath "$client")" \
        "$@" "$wine" "$dir/zorv-helper.exe" run </dev/null >"$dir/run.out" 2>"$dir/trace.txt" &
    helper_pid=$!
    wait_serving "$dir"
}

# records <trace> <id>: one line per record with that event id, "<type>|<insert>|<insert>...".
# The helper's own log lines share the stream and may fall between a record's
# lines; a record ends at the next one.
records() {
    tr -d '\r' <"$1" | awk -v want="$(printf '0x%08x' "$2")" '
        function flush() { if (open) print line; open = 0 }
        /:advapi:ReportEventW \(/ {
            flush()
            split($0, parts, ",")
            open = (parts[4] == want)
            line = ""
            next
        }
        open && /:eventlog:ReportEventW L"/ {
            type = $0; sub(/^([0-9a-f]+:)?/, "", type); sub(/:.*/, "", type)
            text = $0; sub(/^[^"]*"/, "", text); sub(/"$/, "", text)
            line = (line == "" ? type : line) "|" text
        }
        END { flush() }'
}

# A Windows path as the trace shows it: backslashes doubled.
traced_path() {
    local path
    path=$(winpath "$1")
    printf '%s' "${path//\\/\\\\}"
}

# expect_record <trace> <what> <id> <count> <text>...: exactly <count> records
# of that id, the first holding every text.
expect_record() {
    local trace=$1 what=$2 id=$3 count=$4 found text
    shift 4
    found=$(records "$trace" "$id")
    if [ "$(printf '%s' "$found" | grep -c '^')" -ne "$count" ]; then
        fail "$what: expected $count record(s) $id, saw: '${found:-none}'"
        return
    fi
    for text in "$@"; do
        [[ $(printf '%s' "$found" | head -n 1) == *"$text"* ]] || fail "$what: record $id lacks '$text': '$found'"
    done
}

# request <client> <pipe> <json>: sets out and rc.
request() {
    out=$(timeout 60 "$wine" "$1" "$2" request "$3" </dev/null 2>/dev/null | tr -d '\r')
    rc=${PIPESTATUS[0]}
}

start_body() { printf '{"method":"POST","path":"/v1/runtime/start","body":{"configContent":"%s"}}' "$1"; }
status_body='{"method":"GET","path":"/v1/runtime/status"}'

# ---- set-up -------------------------------------------------------------------

for file in src/zorv-helper.exe tests/double_fake_core.exe tests/double_pipe_client.exe \
    tests/double_pipe_squatter.exe tests/double_panic_probe.exe; do
    [ -f "$build/$file" ] || abort "missing build output $build/$file"
done
rm -rf "$work"
mkdir -p "$(dirname "$refused")" "$(dirname "$client")"
cp "$build/tests/double_pipe_client.exe" "$refused"
cp "$build/tests/double_pipe_client.exe" "$client"
start_prefix
"$wine" reg delete "$policy_key" /v StrictMode /f </dev/null >/dev/null 2>&1

# ---- records from the running helper ------------------------------------------

step "a refused client connecting 100 times gives one record"
dir=$work/flood
pipe=zorv-events-$$-flood
run_helper "$dir" "$pipe"
out=$(timeout 240 "$wine" "$refused" "$pipe" flood 100 </dev/null 2>/dev/null | tr -d '\r')
[ "$out" = "CLOSED 100" ] || fail "the flood was not refused 100 times: '$out'"
rejections=$(grep -c "Rejected unauthorized named pipe client" "$dir/logs/service.log")
[ "$rejections" -eq 100 ] || fail "service.log holds $rejections rejections, not 100"

step "a core that cannot be started, and one that exits while it should run"
# Whether a core that exits at once does so within the start's liveness pause
# depends on how fast Wine starts it; a cut-off image (its headers pass the
# start's check, its sections are missing) fails to start every time.
head -c 4096 "$build/tests/double_fake_core.exe" >"$dir/sing-box.exe"
request "$client" "$pipe" "$(start_body '{}')"
[[ $out == *'"status":500'* ]] || fail "the start of a cut-off core did not fail: rc=$rc '$out'"
cp "$build/tests/double_fake_core.exe" "$dir/sing-box.exe"
request "$client" "$pipe" "$(start_body '{\"fake\":{\"exit_after_ms\":1500,\"exit_code\":4}}')"
[[ $out == *'"running":true'* ]] || fail "the start of a core that runs a while failed: rc=$rc '$out'"
# The helper notices the exit at the next status request.
for _ in $(seq 1 60); do
    sleep 0.5
    request "$client" "$pipe" "$status_body"
    [[ $out == *'"running":false'* ]] && break
done
[[ $out == *'"running":false'* ]] || fail "the core's exit was not seen: '$out'"
stop_helper
trace=$dir/trace.txt
expect_record "$trace" "flood" 1301 1 "warn|$(traced_path "$refused")" "path mismatch"
expect_record "$trace" "failed start" 1200 1 "err|Failed to spawn sing-box process"
expect_record "$trace" "later exit" 1201 1 "warn|" "|exit code: 4"
expect_record "$trace" "standalone run" 1000 0

step "hardened mode refuses the client: one refusal and one rejection for 20 tries"
"$wine" reg add "$policy_key" /v StrictMode /t REG_DWORD /d 1 /f </dev/null >/dev/null 2>&1 || abort "reg add failed"
dir=$work/hardened
pipe=zorv-events-$$-hardened
run_helper "$dir" "$pipe"
out=$(timeout 120 "$wine" "$client" "$pipe" flood 20 </dev/null 2>/dev/null | tr -d '\r')
[ "$out" = "CLOSED 20" ] || fail "hardened mode served the client: '$out'"
stop_helper
"$wine" reg delete "$policy_key" /v StrictMode /f </dev/null >/dev/null 2>&1
expect_record "$dir/trace.txt" "hardened refusal" 1300 1 "warn|client process" "is writable by"
expect_record "$dir/trace.txt" "hardened rejection" 1301 1 "warn|$(traced_path "$client")" "Strict mode refuses"

step "a squatted pipe: the listener fails"
dir=$work/squatted
pipe=zorv-events-$$-squatted
mkdir -p "$work/tools"
cp "$build/tests/double_pipe_squatter.exe" "$work/tools/pipe_squatter.exe"
"$wine" "$work/tools/pipe_squatter.exe" "$pipe" 120 </dev/null >"$work/squatter.out" 2>/dev/null &
squatter_pid=$!
for _ in $(seq 1 100); do grep -qs holding "$work/squatter.out" && break; sleep 0.2; done
place_helper "$dir"
env WINEDEBUG=+eventlog SINGBOX_WINDOWS_SERVICE_PIPE_NAME="$pipe" \
    timeout 120 "$wine" "$dir/zorv-helper.exe" run </dev/null >/dev/null 2>"$dir/trace.txt"
rc=$?
kill "$squatter_pid" 2>/dev/null
wait "$squatter_pid" 2>/dev/null
[ "$rc" -eq 1 ] || fail "the helper on a squatted pipe exited $rc"
expect_record "$dir/trace.txt" "squatted pipe" 1100 1 "err|$pipe"

step "the crash hook reports the exception"
mkdir -p "$work/crash"
cp "$build/tests/double_panic_probe.exe" "$work/crash/panic_probe.exe"
WINEDEBUG=+eventlog timeout 120 "$wine" "$work/crash/panic_probe.exe" access-violation </dev/null >/dev/null \
    2>"$work/crash/trace.txt"
expect_record "$work/crash/trace.txt" "crash" 1400 1 "err|0xC0000005"

# ---- the service and its event source -----------------------------------------

step "install registers the source and the service reports its start"
# The service's process is started by this prefix's services.exe and writes
# its trace where that one does: start it afresh, traced.
"$wineserver" -k >/dev/null 2>&1
"$wineserver" -w
"$wineserver" -p </dev/null >/dev/null 2>&1
WINEDEBUG=+eventlog "$wine" cmd /c exit 0 </dev/null >/dev/null 2>"$work/services-trace.txt"
helper=$work/service/VEXL2/zorv-helper.exe
place_helper "$(dirname "$helper")"
installed=$helper
timeout 120 "$wine" "$helper" install </dev/null >/dev/null 2>&1 || abort "install failed"
values=$("$wine" reg query "$source_key" </dev/null 2>/dev/null | tr -d '\r')
[[ $values == *"EventMessageFile"*"REG_EXPAND_SZ"*"$(winpath "$helper")"* ]] ||
    fail "EventMessageFile is not the helper's image: '$values'"
[[ $values == *"TypesSupported"*"REG_DWORD"*"0x7"* ]] || fail "TypesSupported is not 7: '$values'"
timeout 120 "$wine" "$helper" uninstall </dev/null >/dev/null 2>&1 || fail "uninstall failed"
installed=
"$wine" reg query "$source_key" </dev/null >/dev/null 2>&1 && fail "the source's key is still there after uninstall"
expect_record "$work/services-trace.txt" "service start" 1000 1 "trace|2.1." "|off"
expect_record "$work/services-trace.txt" "service stop" 1001 1 "trace|0"
# Wine keeps no DACL the lock-down sets: the service's read-back check fails.
expect_record "$work/services-trace.txt" "unverified lock-down" 1102 1 "err|" "is writable by"

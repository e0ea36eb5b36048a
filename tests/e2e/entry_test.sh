#!/usr/bin/env bash
# The real zorv-helper.exe from a console: command errors and their exit
# statuses, the banner in the log, and `run` served over the pipe until a
# Ctrl+C (SIGINT to the Wine process), which stops the manager and exits 0.
#
# Usage: entry_test.sh <build dir>
set -uo pipefail

build=$(cd "${1:?usage: entry_test.sh <build dir>}" && pwd)
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
run="$root/cmake/wine-run.sh"
work=$build/test-work/entry-$$
mkdir -p "$work"
cp "$build/src/zorv-helper.exe" "$work/zorv-helper.exe"
cp "$build/tools/zorv.exe" "$work/zorv.exe"
export WINEPREFIX=$build/wine-prefix WINEDEBUG=-all
helper_pid=
squatter_pid=
cleanup() {
    [ -n "$helper_pid" ] && kill -KILL "$helper_pid" 2>/dev/null
    [ -n "$squatter_pid" ] && kill -KILL "$squatter_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() { printf 'FAIL: %s\n' "$*"; failures=$((failures + 1)); }
expect_eq() { [ "$1" == "$2" ] || fail "$3: expected [$2], got [$1]"; }

# Runs the helper with the given arguments; sets status, out, err.
invoke() {
    "$run" "$work/zorv-helper.exe" "$@" >"$work/out" 2>"$work/err" </dev/null
    status=$?
    out=$(cat "$work/out")
    err=$(tr -d '\r' <"$work/err" | grep -v '^\[20' || true)
}

# Unknown commands: other case, a bare word, leading dashes, empty string.
for word in RUN Install standalone --run -install ""; do
    invoke "$word"
    expect_eq "$status" 1 "exit status of '$word'"
    expect_eq "$err" "Error: Unknown helper command: $word" "standard error of '$word'"
    grep -q "\[ERROR\] \[zorv_helper\] Unknown helper command: $word" "$work/logs/service.log" ||
        fail "log record of unknown command '$word'"
done

for command in install uninstall; do
    invoke "$command" x
    expect_eq "$status" 1 "exit status of '$command x'"
    expect_eq "$err" "Error: Unexpected arguments after '$command'" "standard error of '$command x'"
done

# The banner lists every argument quoted, backslashes doubled.
grep -q 'zorv-helper v2.1.20 starting (PID: [0-9]*, args: \[".*\\\\zorv-helper.exe", "install", "x"\])' \
    "$work/logs/service.log" || fail "banner with the quoted argument list"

# No argument from a console: the dispatcher cannot reach the SCM.
invoke
expect_eq "$status" 1 "exit status without arguments"
case "$err" in "Error: "*) ;; *) fail "no-argument error text: [$err]" ;; esac
grep -q "Starting Windows Service dispatcher for VEXL2VpnService" "$work/logs/service.log" ||
    fail "dispatcher record of the entry"
grep -q "\[zorv_helper::service\] Starting Windows service dispatcher for 'VEXL2VpnService'" \
    "$work/logs/service.log" || fail "dispatcher record of the service host"

# `run` serves the pipe named by the environment until Ctrl+C.
pipe=zorv-entry-$$
ctl_path=$(/usr/lib/wine/wine64 winepath -w "$work/zorv.exe" | tr -d '\r')
SINGBOX_WINDOWS_SERVICE_PIPE_NAME=$pipe SINGBOX_EXPECTED_CLIENT_PATH=$ctl_path \
    "$run" "$work/zorv-helper.exe" run >"$work/run.out" 2>"$work/run.err" </dev/null &
helper_pid=$!
served=0
for _ in $(seq 1 100); do
    if "$run" "$work/zorv.exe" --pipe "$pipe" health >"$work/health.out" 2>&1; then served=1; break; fi
    sleep 0.2
done
expect_eq "$served" 1 "health through the pipe named by the environment"
grep -q '"serviceName": "'"$pipe"'"' "$work/health.out" || fail "health names the pipe"

kill -INT "$helper_pid"
for _ in $(seq 1 100); do kill -0 "$helper_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$helper_pid" 2>/dev/null; then
    fail "helper still running after Ctrl+C"
else
    wait "$helper_pid"
    expect_eq "$?" 0 "exit status after Ctrl+C"
    helper_pid=
fi
expect_eq "$(tr -d '\r' <"$work/run.out")" \
    "$(printf 'Running VEXL2VpnService standalone. Press Ctrl+C to stop.\nCtrl+C received, shutting down...')" \
    "standard output of run"
grep -q "Running helper service in standalone console mode" "$work/logs/service.log" ||
    fail "standalone record"
grep -q "Named pipe server starting on \\\\\\\\.\\\\pipe\\\\$pipe" "$work/logs/service.log" ||
    fail "listener start record"

# `run` on a pipe name that another process holds cannot serve: the error
# goes to standard error and the exit status is 1.
taken=zorv-entry-taken-$$
"$run" "$build/tests/double_pipe_squatter.exe" "$taken" 120 >"$work/squatter.out" 2>&1 </dev/null &
squatter_pid=$!
for _ in $(seq 1 100); do grep -q holding "$work/squatter.out" 2>/dev/null && break; sleep 0.2; done
grep -q holding "$work/squatter.out" || fail "the squatter did not take its pipe: $(cat "$work/squatter.out")"
SINGBOX_WINDOWS_SERVICE_PIPE_NAME=$taken invoke run
expect_eq "$status" 1 "exit status of run on a pipe name held by another process"
case "$err" in
    *"Error: Pipe server error"*"Failed to create named pipe"*) ;;
    *) fail "standard error of run on a held pipe name: [$err]" ;;
esac
grep -q "\[ERROR\] \[zorv_helper::pipe_server\] Named pipe server failed: Failed to create named pipe" \
    "$work/logs/service.log" || fail "listener error record"
kill -KILL "$squatter_pid" 2>/dev/null
wait "$squatter_pid" 2>/dev/null
squatter_pid=

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "entry: all checks passed"

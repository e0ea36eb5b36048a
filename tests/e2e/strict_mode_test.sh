#!/usr/bin/env bash
# Strict mode end to end, in a Wine prefix of its own (the policy lives in the
# prefix's HKLM, where every other test's helper would read it too).
#
# Wine synthesises every file's DACL from its Unix mode bits, so every file
# here can be written by a plain account: strict mode must refuse the desktop
# client and any source or configuration file the client names, and say which
# path and which account; with the value absent or 0 the same requests are
# served as always. Then `install` must carry the value across re-registration.
#
# Usage: strict_mode_test.sh <build dir>
set -uo pipefail

build=$(cd "${1:?usage: strict_mode_test.sh <build dir>}" && pwd)
prefix=$build/test-work/strict-prefix
work=$build/test-work/strict-e2e-$$

# shellcheck source=../support/own_prefix.sh
source "$(dirname "${BASH_SOURCE[0]}")/../support/own_prefix.sh"

policy_key='HKLM\SYSTEM\CurrentControlSet\Services\VEXL2VpnService\Parameters'
client=$work/client/vexl2.exe
source_core=$work/bin/sing-box.exe
config=$work/conf/config.json
helper_pid=
installed=

stop_helper() {
    [ -n "$helper_pid" ] || return 0
    kill -INT "$helper_pid" 2>/dev/null
    for _ in $(seq 1 100); do kill -0 "$helper_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$helper_pid" 2>/dev/null
    wait "$helper_pid" 2>/dev/null
    helper_pid=
}

cleanup() {
    local status=$?
    stop_helper
    [ -n "$installed" ] && timeout 60 "$wine" "$installed" uninstall </dev/null >/dev/null 2>&1
    end_prefix_test "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# A Windows path as a JSON string body (backslashes doubled).
json_path() {
    local path
    path=$(winpath "$1")
    printf '%s' "${path//\\/\\\\}"
}

set_policy() {
    if [ "$1" = absent ]; then
        "$wine" reg delete "$policy_key" /v StrictMode /f </dev/null >/dev/null 2>&1
    else
        # Wine's reg.exe now and then fails on a loaded machine: try again
        # before giving up, and show what it said the last time.
        local attempt said
        for attempt in 1 2 3; do
            said=$("$wine" reg add "$policy_key" /v StrictMode /t REG_DWORD /d "$1" /f </dev/null 2>&1) && return 0
            sleep 1
        done
        abort "reg add StrictMode=$1 failed: $said"
    fi
}

policy_value() {
    "$wine" reg query "$policy_key" /v StrictMode </dev/null 2>/dev/null | tr -d '\r' | awk '/StrictMode/ { print $3 }'
}

# A helper of its own for each phase, so each log tells one story.
place_helper() {
    mkdir -p "$1"
    cp "$build/src/zorv-helper.exe" "$1/zorv-helper.exe"
    cp "$build/tests/double_fake_core.exe" "$1/sing-box.exe"
    cp "$build/tests/double_fake_tool.exe" "$1/icacls.exe"
    cp "$build/tests/double_fake_tool.exe" "$1/pnputil.exe"
}

# run_helper <folder> <pipe> [VAR=value...]: `run` in the background until the pipe is served.
run_helper() {
    local dir=$1 pipe=$2
    shift 2
    place_helper "$dir"
    env SINGBOX_WINDOWS_SERVICE_PIPE_NAME="$pipe" "$@" \
        "$wine" "$dir/zorv-helper.exe" run </dev/null >"$dir/run.out" 2>"$dir/run.err" &
    helper_pid=$!
    for _ in $(seq 1 100); do
        grep -qs "Named pipe server starting on" "$dir/logs/service.log" && return 0
        kill -0 "$helper_pid" 2>/dev/null || break
        sleep 0.2
    done
    abort "helper in $dir did not start serving"
}

# request <pipe> <json>: one request through the desktop client; sets out and rc.
request() {
    out=$(timeout 40 "$wine" "$client" "$1" request "$2" </dev/null 2>/dev/null | tr -d '\r')
    rc=${PIPESTATUS[0]}
}

expect_reply() {
    local what=$1 pattern=$2
    [ "$rc" -eq 0 ] && [[ $out == *"$pattern"* ]] || fail "$what: expected a reply with '$pattern', got rc=$rc '$out'"
}

expect_log() {
    local log=$1/logs/service.log what=$2 text=$3
    grep -qsF -- "$text" "$log" || { fail "$what: no log line with: $text"; tail -n 20 "$log" | tr -d '\r'; }
}

start_body() { printf '{"method":"POST","path":"/v1/runtime/start","body":%s}' "$1"; }
stop_body='{"method":"POST","path":"/v1/runtime/stop","body":{}}'
health_body='{"method":"GET","path":"/healthz"}'
inline='"configContent":"{}"'

# ---- set-up -------------------------------------------------------------------

for file in src/zorv-helper.exe tools/zorv.exe tests/double_fake_core.exe tests/double_fake_tool.exe tests/double_pipe_client.exe; do
    [ -f "$build/$file" ] || abort "missing build output $build/$file"
done
rm -rf "$work"
mkdir -p "$(dirname "$client")" "$(dirname "$source_core")" "$(dirname "$config")"
cp "$build/tests/double_pipe_client.exe" "$client"
# Another size than the core beside each helper, so that a deployment copies.
{ cat "$build/tests/double_fake_core.exe"; printf 'padding'; } >"$source_core"
printf '{"log":{"level":"info"}}' >"$config"
source_json=$(json_path "$source_core")
config_json=$(json_path "$config")
start_prefix
set_policy absent

# ---- standard mode: today's rules --------------------------------------------

step "value absent: the client is served, a source deployed and a config file used"
dir=$work/standard
pipe=zorv-strict-$$-standard
run_helper "$dir" "$pipe"
request "$pipe" "$health_body"
expect_reply "health in standard mode" '"status":200'
request "$pipe" "$(start_body "{\"sourcePath\":\"$source_json\",$inline}")"
expect_reply "start from a source in standard mode" '"state":"running"'
cmp -s "$source_core" "$dir/sing-box.exe" || fail "the source was not deployed in standard mode"
request "$pipe" "$stop_body"
request "$pipe" "$(start_body "{\"configPath\":\"$config_json\"}")"
expect_reply "start from a config file in standard mode" '"state":"running"'
request "$pipe" "$stop_body"
stop_helper
expect_log "$dir" "standard mode" "[INFO ] [zorv_helper::security] Strict mode: off (StrictMode absent)"
grep -qs "Strict mode refuses" "$dir/logs/service.log" && fail "standard mode refused something"

# ---- strict mode --------------------------------------------------------------

set_policy 1
[ "$(policy_value)" = 0x1 ] || abort "StrictMode not set in the prefix: '$(policy_value)'"

step "StrictMode=1: a client in an ordinary folder is refused, naming the path and the account"
dir=$work/strict-client
pipe=zorv-strict-$$-client
run_helper "$dir" "$pipe"
request "$pipe" "$health_body"
[ "$rc" -eq 3 ] && [[ $out == CLOSED* ]] || fail "a refused client should find the pipe closed: rc=$rc '$out'"
expect_log "$dir" "strict mode" "[INFO ] [zorv_helper::security] Strict mode: on (StrictMode=1): callers, source_path"
client_win=$(winpath "$client")
expect_log "$dir" "client refusal" \
    "Rejected unauthorized named pipe client: Strict mode refuses client process '$client_win': '$client_win' is writable by "
stop_helper

step "StrictMode=1: sourcePath and configPath in ordinary folders are refused"
dir=$work/strict-paths
pipe=zorv-strict-$$-paths
run_helper "$dir" "$pipe" ZORV_TEST_BYPASS_CLIENT_CHECK=1
request "$pipe" "$(start_body "{\"sourcePath\":\"$source_json\",$inline}")"
expect_reply "start from a source in strict mode" '"status":500'
source_win=$(winpath "$source_core")
[[ $out == *"Strict mode refuses source_path ${source_win//\\/\\\\}: '${source_win//\\/\\\\}' is writable by "* ]] ||
    fail "source refusal message: '$out'"
cmp -s "$build/tests/double_fake_core.exe" "$dir/sing-box.exe" || fail "a refused source was deployed"
request "$pipe" "$(start_body "{\"configPath\":\"$config_json\"}")"
expect_reply "start from a config file in strict mode" '"status":500'
config_win=$(winpath "$config")
[[ $out == *"Strict mode refuses config path ${config_win//\\/\\\\}: '${config_win//\\/\\\\}' is writable by "* ]] ||
    fail "config refusal message: '$out'"
step "StrictMode=1: the core beside the helper with inline configuration still starts"
request "$pipe" "$(start_body "{$inline}")"
expect_reply "inline start in strict mode" '"state":"running"'
request "$pipe" "$stop_body"
step "StrictMode=1: every file the configuration names must lie in the service directory, even one only read"
rule_set() { printf '"configContent":"{\\"route\\":{\\"rule_set\\":[{\\"path\\":\\"%s\\"}]}}"' "$1"; }
request "$pipe" "$(start_body "{$(rule_set "$(json_path "$source_core" | sed 's/\\/\\\\/g')")}")"
expect_reply "a rule set outside in strict mode" '"status":500'
[[ $out == *"Strict mode refuses configuration key route.rule_set[0].path must name a file inside the service directory: "* ]] ||
    fail "rule set refusal message: '$out'"
request "$pipe" "$(start_body "{$(rule_set 'rules/a.srs')}")"
expect_reply "a rule set inside in strict mode" '"state":"running"'
request "$pipe" "$stop_body"
stop_helper

# health_with_policy <value> <client's exit status> <log line>
health_with_policy() {
    step "StrictMode=$1: the client's health request ends with status $2"
    set_policy "$1"
    dir=$work/policy-$1
    pipe=zorv-strict-$$-policy-$1
    run_helper "$dir" "$pipe"
    request "$pipe" "$health_body"
    [ "$rc" -eq "$2" ] || fail "StrictMode=$1: client exit status $rc, expected $2: '$out'"
    stop_helper
    expect_log "$dir" "StrictMode=$1" "$3"
}
health_with_policy 0 0 "[INFO ] [zorv_helper::security] Strict mode: off (StrictMode=0)"
# Not understood: strict, with a warning.
health_with_policy 7 3 "[WARN ] [zorv_helper::security] Strict mode: on (StrictMode=7 is neither 0 nor 1)"

# ---- installation keeps the policy -------------------------------------------

step "install and re-install keep StrictMode, and the service runs strict"
set_policy 1
dir=$work/service
place_helper "$dir"
installed=$dir/zorv-helper.exe
for round in 1 2; do
    timeout 90 "$wine" "$installed" install </dev/null >/dev/null 2>&1 || abort "install $round failed"
    [ "$(policy_value)" = 0x1 ] || fail "StrictMode after install $round: '$(policy_value)'"
done
[ "$(grep -c 'Strict mode: on (StrictMode=1)' "$dir/logs/service.log")" -ge 2 ] ||
    fail "each service start should log strict mode"
expect_log "$dir" "re-install" "Keeping the StrictMode policy of the earlier registration"

step "zorv service shows the mode the registry holds"
# zorv_service <StrictMode value> <expected row>
zorv_service() {
    set_policy "$1"
    out=$(timeout 30 "$wine" "$build/tools/zorv.exe" service </dev/null 2>/dev/null | tr -d '\r')
    [[ $out == *"state: Running"*"$2"* ]] || fail "zorv service with StrictMode=$1: '$out'"
}
zorv_service 1 "strict mode: on (StrictMode=1)"
zorv_service absent "strict mode: off (StrictMode absent)"
timeout 60 "$wine" "$installed" uninstall </dev/null >/dev/null 2>&1 || fail "uninstall failed"
installed=

[ "$failures" -eq 0 ] && echo "PASS"

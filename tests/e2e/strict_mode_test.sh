#!/usr/bin/env bash
# Strict mode end to end, in a Wine prefix of its own (the policy lives in the
# prefix's HKLM, where every other test's helper would read it too).
#
# Wine synthesises every file's DACL from its Unix mode bits, so every file
# here can be written by a plain account: strict mode must refuse the desktop
# client and any source or configuration file the client names, and say which
# path and which account; with the value absent or 0 the same requests are
# served as always. The policy's key and value are the ones the administrative
# template names (parsed and checked first). Then `install` must leave the
# policy alone, carry the older value under the service's Parameters key
# across re-registration, refuse in strict mode a folder that others can
# change, and the service must run strict from either location.
#
# Usage: strict_mode_test.sh <build dir>
set -uo pipefail

build=$(cd "${1:?usage: strict_mode_test.sh <build dir>}" && pwd)
prefix=$build/test-work/strict-prefix
work=$build/test-work/strict-e2e-$$

# shellcheck source=../support/own_prefix.sh
source "$(dirname "${BASH_SOURCE[0]}")/../support/own_prefix.sh"

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
template=$(bash "$here/../support/policy_template.sh" "$here/../../packaging/policy/zorv-helper.admx" \
    "$here/../../packaging/policy/en-US/zorv-helper.adml") || abort "the administrative template does not check out"
IFS=$'\t' read -r policy_key value_name enabled_value <<<"$template"
[ "$enabled_value" = 1 ] || abort "the template enables with '$enabled_value'"
legacy_key='HKLM\SYSTEM\CurrentControlSet\Services\VEXL2VpnService\Parameters'
client=$work/client/vexl2.exe
source_core=$work/bin/sing-box.exe
config=$work/conf/config.json
installed=

trap end_helper_test EXIT
trap 'exit 1' INT TERM

# A Windows path as a JSON string body (backslashes doubled).
json_path() {
    local path
    path=$(winpath "$1")
    printf '%s' "${path//\\/\\\\}"
}

# set_policy <absent|value> [key]
set_policy() {
    local key=${2:-$policy_key}
    if [ "$1" = absent ]; then
        "$wine" reg delete "$key" /v "$value_name" /f </dev/null >/dev/null 2>&1
    else
        # Wine's reg.exe now and then fails on a loaded machine: try again
        # before giving up, and show what it said the last time.
        local attempt said
        for attempt in 1 2 3; do
            said=$("$wine" reg add "$key" /v "$value_name" /t REG_DWORD /d "$1" /f </dev/null 2>&1) && return 0
            sleep 1
        done
        abort "reg add StrictMode=$1 failed: $said"
    fi
}

# policy_value [key]
policy_value() {
    "$wine" reg query "${1:-$policy_key}" /v "$value_name" </dev/null 2>/dev/null | tr -d '\r' |
        awk -v name="$value_name" '$1 == name { print $3 }'
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
    wait_serving "$dir"
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

# ---- the older location ---------------------------------------------------------

step "StrictMode=1 under the service's Parameters key alone still makes the helper strict"
set_policy absent
set_policy 1 "$legacy_key"
dir=$work/legacy
pipe=zorv-strict-$$-legacy
run_helper "$dir" "$pipe"
request "$pipe" "$health_body"
[ "$rc" -eq 3 ] || fail "legacy StrictMode=1: client exit status $rc, expected 3: '$out'"
stop_helper
expect_log "$dir" "legacy location" "Strict mode: on (service Parameters: StrictMode=1)"

# ---- installation keeps the policy -------------------------------------------

step "install and re-install leave the policy and keep the older value"
set_policy 0
set_policy 0 "$legacy_key"
dir=$work/service
place_helper "$dir"
installed=$dir/zorv-helper.exe
for round in 1 2; do
    timeout 90 "$wine" "$installed" install </dev/null >/dev/null 2>&1 || abort "install $round failed"
    [ "$(policy_value)" = 0x0 ] || fail "StrictMode in the policy key after install $round: '$(policy_value)'"
    [ "$(policy_value "$legacy_key")" = 0x0 ] || fail "StrictMode under Parameters after install $round: '$(policy_value "$legacy_key")'"
done
expect_log "$dir" "re-install" "Keeping the StrictMode policy of the earlier registration"

step "with StrictMode=1 install refuses a folder others can change; the service restarted runs strict"
set_policy 1
out=$(timeout 90 "$wine" "$installed" install </dev/null 2>&1 | tr -d '\r')
rc=${PIPESTATUS[0]}
[ "$rc" -ne 0 ] || fail "install from a folder others can change succeeded in strict mode"
[[ $out == *"Error: Strict mode refuses to install the service from '$(winpath "$dir")': '"*"' is writable by "* ]] ||
    fail "strict install refusal: '$out'"
[ "$(policy_value)" = 0x1 ] || fail "StrictMode after the refused install: '$(policy_value)'"
# The refusal left the registration as it was: restarted, it reads the policy.
timeout 60 "$wine" net stop VEXL2VpnService </dev/null >/dev/null 2>&1
timeout 60 "$wine" net start VEXL2VpnService </dev/null >/dev/null 2>&1 || fail "the service did not start again"
for _ in $(seq 1 150); do
    grep -qsF "Strict mode refuses to start the core" "$dir/logs/service.log" && break
    sleep 0.2
done
expect_log "$dir" "restarted service" "Strict mode: on (StrictMode=1)"
# Wine keeps no DACL a lock-down sets, so the folder reads back as writable by
# the user: in strict mode the service says so and keeps the core down.
expect_log "$dir" "unverified lock-down" "[ERROR] [zorv_helper::service] Service directory is not locked down: "
expect_log "$dir" "core refused" "[ERROR] [zorv_helper::service] Strict mode refuses to start the core: the service directory is not locked down"
set_policy absent "$legacy_key"

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

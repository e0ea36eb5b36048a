#!/usr/bin/env bash
# Deployment of a client's core end to end, in a Wine prefix of its own, with
# throw-away certificates (openssl) and Authenticode signatures (osslsigncode):
# a vendor-signed helper deploys only cores signed with the vendor's key and
# refuses the rest by reason, the installed core left byte for byte; an
# unsigned helper deploys any core and warns once. A 2 GiB source is refused
# before anything is written; a core of the installed one's size but other
# bytes is deployed. (Wine's WinVerifyTrust accepts an untrusted test root, so
# the other publisher is told apart by its key, as on Windows.)
#
# Usage: core_signature_test.sh <build dir>
set -uo pipefail

build=$(cd "${1:?usage: core_signature_test.sh <build dir>}" && pwd)
prefix=$build/test-work/signature-prefix
work=$build/test-work/signature-e2e-$$

# shellcheck source=../support/own_prefix.sh
source "$(dirname "${BASH_SOURCE[0]}")/../support/own_prefix.sh"

client=$work/client/vexl2.exe
fake_core=$build/tests/double_fake_core.exe

trap end_helper_test EXIT
trap 'exit 1' INT TERM

# run_helper <helper exe> <folder> <installed core> <pipe>: `run` in the background until the pipe is served.
run_helper() {
    local exe=$1 dir=$2 core=$3
    pipe=$4
    mkdir -p "$dir"
    cp "$exe" "$dir/zorv-helper.exe"
    cp "$core" "$dir/sing-box.exe"
    SINGBOX_WINDOWS_SERVICE_PIPE_NAME="$pipe" \
        "$wine" "$dir/zorv-helper.exe" run </dev/null >"$dir/run.out" 2>"$dir/run.err" &
    helper_pid=$!
    wait_serving "$dir"
}

# start_from <source>: a start that deploys <source>; sets out and rc.
start_from() {
    local source
    source=$(winpath "$1")
    out=$(timeout 60 "$wine" "$client" "$pipe" request \
        "{\"method\":\"POST\",\"path\":\"/v1/runtime/start\",\"body\":{\"sourcePath\":\"${source//\\/\\\\}\",\"configContent\":\"{}\"}}" \
        </dev/null 2>/dev/null | tr -d '\r')
    rc=${PIPESTATUS[0]}
}

stop_core() {
    timeout 60 "$wine" "$client" "$pipe" request '{"method":"POST","path":"/v1/runtime/stop","body":{}}' \
        </dev/null >/dev/null 2>&1
}

# expect_deployed <what> <source> <folder>
expect_deployed() {
    [ "$rc" -eq 0 ] && [[ $out == *'"state":"running"'* ]] || fail "$1: expected a running core, got rc=$rc '$out'"
    cmp -s "$2" "$3/sing-box.exe" || fail "$1: the core in $3 is not the source"
    stop_core
}

# expect_refused <what> <source> <folder> <installed bytes> <text of the message>
expect_refused() {
    local source_win
    source_win=$(winpath "$2")
    [ "$rc" -eq 0 ] && [[ $out == *'"status":500'* ]] || fail "$1: expected a failed start, got rc=$rc '$out'"
    [[ $out == *"${5//\\/\\\\}"* ]] || fail "$1: the message should say '$5', got '$out'"
    [[ $out == *"${source_win//\\/\\\\}"* ]] || fail "$1: the message should name the source, got '$out'"
    cmp -s "$4" "$3/sing-box.exe" || fail "$1: the installed core changed"
}

# No copy may be left beside the core after any start.
expect_no_copies() {
    local left
    left=$(find "$1" -maxdepth 1 -name '*.deploy' | wc -l)
    [ "$left" -eq 0 ] || fail "$left copies left in $1"
}

sign() { osslsigncode sign -certs "$work/certs/$1.pem" -key "$work/certs/$1.key" -in "$2" -out "$3" >/dev/null; }

# A source folder of its own for each core (each under \bin\, which the path rules admit).
source_core() {
    mkdir -p "$work/bin/$1"
    printf '%s' "$work/bin/$1/sing-box.exe"
}

# ---- set-up -------------------------------------------------------------------

for tool in openssl osslsigncode; do command -v "$tool" >/dev/null || abort "$tool is not installed"; done
for file in src/zorv-helper.exe tests/double_fake_core.exe tests/double_pipe_client.exe; do
    [ -f "$build/$file" ] || abort "missing build output $build/$file"
done
rm -rf "$work"
mkdir -p "$work/certs" "$(dirname "$client")"
cp "$build/tests/double_pipe_client.exe" "$client"

step "throw-away code-signing certificates for a vendor and another publisher"
for who in vendor other; do
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Zorv $who test" \
        -addext "extendedKeyUsage=codeSigning" -keyout "$work/certs/$who.key" -out "$work/certs/$who.pem" \
        >/dev/null 2>&1 || abort "openssl could not make the $who certificate"
done
sign vendor "$build/src/zorv-helper.exe" "$work/certs/zorv-helper-signed.exe" || abort "signing the helper failed"

good=$(source_core good)
sign vendor "$fake_core" "$good" || abort "signing the good core failed"
other=$(source_core other)
sign other "$fake_core" "$other" || abort "signing the other publisher's core failed"
tampered=$(source_core tampered)
cp "$good" "$tampered"
# One byte of the image itself, well before the signature at the end.
printf 'X' | dd of="$tampered" bs=1 seek=4096 conv=notrunc status=none
unsigned=$(source_core unsigned)
{ cat "$fake_core"; printf 'unsigned'; } >"$unsigned"
huge=$(source_core huge)
cp "$fake_core" "$huge"
truncate -s 2G "$huge"  # sparse: a valid header, then holes
start_prefix

# ---- a signed helper ----------------------------------------------------------

step "signed helper: cores of other origins are refused, the installed core stays as it was"
dir=$work/signed
run_helper "$work/certs/zorv-helper-signed.exe" "$dir" "$fake_core" "zorv-signature-$$-signed"
grep -qsF "Publisher check: on (helper signed by 'Zorv vendor test')" "$dir/logs/service.log" ||
    fail "the signed helper should log that the publisher check is on"
reason="source_path is not signed by the helper's publisher"
while read -r name source text; do
    start_from "$source"
    expect_refused "$name" "$source" "$dir" "$fake_core" "$reason ($text): $(winpath "$source")"
    expect_no_copies "$dir"
done <<EOF
unsigned $unsigned unsigned
tampered $tampered bad digest
other-publisher $other other publisher
EOF

step "signed helper: a source of 2 GiB is refused before anything is written"
size_before=$(du -sb "$dir" | cut -f1)
begun=$(date +%s%N)
start_from "$huge"
echo "measured: refusing the 2 GiB source took $((($(date +%s%N) - begun) / 1000000)) ms (Wine client start included)"
expect_refused "2 GiB source" "$huge" "$dir" "$fake_core" "source_path is larger than 268435456 bytes"
expect_no_copies "$dir"
# Only the logs may have grown.
[ "$(du -sb "$dir" | cut -f1)" -lt $((size_before + 1048576)) ] || fail "the refused 2 GiB source left data behind"

step "signed helper: a core signed with the vendor's key is deployed and starts"
start_from "$good"
expect_deployed "vendor-signed core" "$good" "$dir"
expect_no_copies "$dir"
stop_helper
grep -qsF "Successfully deployed sing-box binary from $(winpath "$good")" "$dir/logs/service.log" ||
    fail "the deployment was not logged"

# ---- an unsigned helper -------------------------------------------------------

step "unsigned helper: warns once and deploys an unsigned core of the installed one's size"
dir=$work/unsigned
installed_core=$work/installed-core.exe
{ cat "$fake_core"; printf 'installd'; } >"$installed_core"  # as long as $unsigned, other bytes
run_helper "$build/src/zorv-helper.exe" "$dir" "$installed_core" "zorv-signature-$$-unsigned"
start_from "$unsigned"
expect_deployed "unsigned core under an unsigned helper" "$unsigned" "$dir"
expect_no_copies "$dir"
stop_helper
warned=$(grep -c "\[WARN \] \[zorv_helper::security\] Publisher check: off (zorv-helper.exe carries no signature)" \
    "$dir/logs/service.log")
[ "$warned" -eq 1 ] || fail "the unsigned helper should warn once, not $warned times"

[ "$failures" -eq 0 ] && echo "PASS"

#!/usr/bin/env bash
# The MSI package under Wine's installer, in a Wine prefix made fresh for each
# run (an installed product outlives a failed run in the prefix's registry).
#
# Installs the package of this build, checks that the service runs and serves
# a desktop client; installs the same package again and then one with a
# higher version, each leaving one product and one running service (the
# upgrade keeps the core the administrator placed and the logs, and the
# upgraded helper starts that core); refuses
# the older package after that; removes the product and checks that neither
# the service nor any file of ours is left. The hardened-mode policy an
# administrator set survives the reinstall, the upgrade and the removal, and
# STRICTMODE=1 sets it. Whatever happens, what was
# installed is removed and this prefix's wineserver is ended.
#
# Usage: msi_package_test.sh <build dir>
set -uo pipefail

build=$(cd "${1:?usage: msi_package_test.sh <build dir>}" && pwd)
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
prefix=$build/test-work/msi-prefix
work=$build/test-work/msi-e2e-$$

# The prefix's environment, the reporting and Windows paths of Linux files.
# shellcheck source=../support/own_prefix.sh
source "$root/tests/support/own_prefix.sh"

service=VEXL2VpnService
pipe=$service.Control
install_dir="$prefix/drive_c/Program Files/zorv-helper"
installed_image='C:\Program Files\zorv-helper\zorv-helper.exe'
client=$work/client/vexl2.exe
probe=$work/tools/service_probe.exe
installed_packages=()

# ---- reporting --------------------------------------------------------------

show_log() {
    printf -- '--- service log (last 40 lines)\n'
    tail -n 40 "$install_dir/logs/service.log" 2>/dev/null | tr -d '\r'
}

# ---- Wine ---------------------------------------------------------------------

# run <timeout s> <program> <args...>: sets $out (without CRs) and $rc.
run() {
    local seconds=$1
    shift
    out=$(timeout "$seconds" "$wine" "$@" </dev/null 2>/dev/null | tr -d '\r')
    rc=${PIPESTATUS[0]}
}

cleanup() {
    local status=$? package
    for package in "${installed_packages[@]}"; do
        timeout 120 "$wine" msiexec /x "$(winpath "$package")" /qn </dev/null >/dev/null 2>&1 || true
    done
    "$wineserver" -k >/dev/null 2>&1 || true  # this prefix's server only
    if [ "$status" -eq 0 ] && [ "$failures" -eq 0 ]; then
        rm -rf "$work" "$prefix"
    else
        echo "work folder kept: $work"
    fi
    exit $((status != 0 || failures != 0))
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fresh_prefix() {
    "$wineserver" -k >/dev/null 2>&1 || true
    rm -rf "$prefix"
    mkdir -p "$prefix"
    "$wine" wineboot -i </dev/null >/dev/null 2>&1
    "$wineserver" -w
    # Persistent, so the installed service outlives every short-lived client.
    "$wineserver" -p </dev/null >/dev/null 2>&1
    "$wine" cmd /c exit 0 </dev/null >/dev/null 2>&1
}

# ---- the package --------------------------------------------------------------

# make_package <version> <out dir>: sets $package.
make_package() {
    "$root/scripts/package.sh" --no-build --build-dir "$build" --version "$1" --out "$2" \
        >"$2.log" 2>&1 || { cat "$2.log"; abort "package.sh --version $1 failed"; }
    package=$2/zorv-helper-$1-x64.msi
    [ -f "$package" ] || abort "package.sh made no $package"
}

# msi <action> <package> [PROPERTY=value...]: runs msiexec quietly; sets $rc.
msi() {
    run 180 msiexec "$1" "$(winpath "$2")" /qn "${@:3}"
    [ "$1" = /i ] && [ "$rc" -eq 0 ] && installed_packages+=("$2")
}

# ---- checks -------------------------------------------------------------------


# The products registered under this package's name, one DisplayVersion each.
product_versions() {
    "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s </dev/null 2>/dev/null |
        tr -d '\r' | awk '
            /^HKEY/ { ours = 0 }
            /DisplayName/ && $NF == "zorv-helper" { ours = 1 }
            /DisplayVersion/ { version = $NF }
            /^$/ && ours { print version; ours = 0 }
            END { if (ours) print version }'
}

policy_key='HKLM\SOFTWARE\Policies\VEXL2\Helper'
# The StrictMode value in the policy key ("0x1"), or nothing.
strict_policy() {
    "$wine" reg query "$policy_key" /v StrictMode </dev/null 2>/dev/null | tr -d '\r' | awk '$1 == "StrictMode" { print $3 }'
}
expect_policy() {
    [ "$(strict_policy)" = "$1" ] || fail "$2: StrictMode in the policy key is '$(strict_policy)', expected '$1'"
}

# expect_one_running <version> [strict|running]: one product of that
# version, its service runs the installed helper and serves a desktop client.
# In strict mode (where Wine's file security makes every client's folder
# writable, so the client is refused) it has logged its mode instead; with
# `running`, whichever mode the service runs in is left unchecked.
expect_one_running() {
    local versions
    versions=$(product_versions | tr '\n' ' ')
    [ "$versions" = "$1 " ] || fail "installed products: '$versions', expected '$1 '"
    run 30 "$probe" "$service"
    [[ $out == *"state=4"* && $out == *"start_type=2"* ]] || fail "service after install: '$out'"
    # Windows Installer quotes the image path; Wine's (8.0) registers it bare.
    grep -qxF -e "image=\"$installed_image\"" -e "image=$installed_image" <<<"$out" ||
        fail "service image: '$out'"
    [ "${2:-}" = running ] && return
    if [ "${2:-}" = strict ]; then
        grep -qF "Strict mode: on (StrictMode=1)" "$install_dir/logs/service.log" ||
            { show_log; fail "the service did not log strict mode"; }
        return
    fi
    wait_healthy || { show_log; fail "no 200 from /healthz: rc=$rc '$out'"; }
}

event_source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\VEXL2VpnService'

# The Event Log source as `install` registers it: the installed helper, every type.
expect_event_source() {
    local values
    values=$("$wine" reg query "$event_source_key" </dev/null 2>/dev/null | tr -d '\r')
    [[ $values == *"EventMessageFile"*"REG_EXPAND_SZ"*"$installed_image"* ]] ||
        fail "EventMessageFile after install: '$values'"
    [[ $values == *"TypesSupported"*"REG_DWORD"*"0x7"* ]] || fail "TypesSupported after install: '$values'"
}

# ---- the test -----------------------------------------------------------------

for file in tests/double_pipe_client.exe tests/double_service_probe.exe tests/double_fake_core.exe CMakeCache.txt; do
    [ -f "$build/$file" ] || abort "missing build output $build/$file"
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
IFS=. read -r major minor patch <<<"$version"
next_version=$major.$minor.$((patch + 1))

rm -rf "$work"
mkdir -p "$work/client" "$work/tools"
cp "$build/tests/double_pipe_client.exe" "$client"
cp "$build/tests/double_service_probe.exe" "$probe"

step "packages $version and $next_version"
make_package "$version" "$work/dist"
current=$package
make_package "$next_version" "$work/dist-next"
next=$package

step "creating a fresh Wine prefix"
fresh_prefix

step "install $version"
msi /i "$current"
[ "$rc" -eq 0 ] || abort "msiexec /i exited $rc"
expect_one_running "$version"
expect_event_source
cli_name=$(basename "$(cat "$build/packaging/shipped/zorv-ctl.path")")
for name in zorv-helper.exe "$cli_name"; do
    [ -f "$install_dir/$name" ] || fail "$name is not installed in $install_dir"
done
# Wine's installer registers the image path bare, spaces and all; the CLI
# still finds the logs beside it.
run 30 "$install_dir/$cli_name" logs -n 5
[ "$rc" -eq 0 ] && [ -n "$out" ] || fail "zorv logs after the MSI install: rc=$rc '$out'"
# Wine reports no failure actions (QueryServiceConfig2W fails with 124 for
# that level); the package's table is checked by release_artefacts_test.
run 30 "$probe" "$service"
failure_actions=$(sed -n 's/^failure_actions=//p' <<<"$out")
if [[ $failure_actions != error* ]]; then
    [ "$failure_actions" = "reset=86400 1/5000 1/5000 1/5000" ] || fail "failure actions: '$failure_actions'"
fi

expect_policy "" "a package installed without STRICTMODE"

step "an administrator sets the policy; install the same package again"
"$wine" reg add "$policy_key" /v StrictMode /t REG_DWORD /d 1 /f </dev/null >/dev/null 2>&1 ||
    abort "reg add of the policy failed"
msi /i "$current"
[ "$rc" -eq 0 ] || fail "second msiexec /i exited $rc"
expect_one_running "$version" running
expect_policy 0x1 "reinstall"

step "install $next_version over it: the placed core and the logs stay"
# The package carries no core: the administrator places one, as the README says.
# The administrator also turns hardened mode off in the policy (Wine's file
# security would refuse every client), a value the upgrade must keep too.
"$wine" reg add "$policy_key" /v StrictMode /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1 ||
    abort "reg add of the policy failed"
cp "$build/tests/double_fake_core.exe" "$install_dir/sing-box.exe"
printf 'kept across the upgrade\n' >>"$install_dir/logs/service.log"
printf 'kept across the upgrade\n' >"$install_dir/logs/sing-box.1.log"
msi /i "$next"
[ "$rc" -eq 0 ] || abort "msiexec /i of $next_version exited $rc"
expect_policy 0x0 "upgrade"
expect_one_running "$next_version"
expect_event_source
cmp -s "$build/tests/double_fake_core.exe" "$install_dir/sing-box.exe" || fail "the upgrade did not keep the placed core"
for name in zorv-helper.exe "$cli_name"; do
    [ -f "$install_dir/$name" ] || fail "$name is gone after the upgrade"
done
for log in service.log sing-box.1.log; do
    grep -qs 'kept across the upgrade' "$install_dir/logs/$log" || fail "the upgrade did not keep logs/$log"
done
request '{"method":"POST","path":"/v1/runtime/start","body":{"configContent":"{}"}}'
[ "$rc" -eq 0 ] && [[ $out == *'"state":"running"'* ]] || { show_log; fail "no core started after the upgrade: rc=$rc '$out'"; }
request '{"method":"POST","path":"/v1/runtime/stop","body":{}}'
[[ $out == *'"state":"stopped"'* ]] || fail "stopping the core after the upgrade: rc=$rc '$out'"

step "the older package is refused"
msi /i "$current"
[ "$rc" -ne 0 ] || fail "the older package installed over the newer one"
expect_one_running "$next_version" running

step "remove"
# What the service writes beside itself besides its own log: rotated logs, the
# core's log, a stale configuration and a core deployed by a client.
for name in logs/service.5.log logs/sing-box.log logs/sing-box.1.log sing-box.json sing-box.exe; do
    printf 'written by the service\n' >"$install_dir/$name"
done
# Windows Installer waits for the service to stop (Wait="yes") before it
# removes files; Wine's sends the stop control and goes straight on, racing
# the service's exit for its own image and open log. So the service is
# stopped here first, up to the end of its process; the package's removal
# then finds it stopped, as it would on Windows.
run 60 "$probe" --stop "$service"
[ "$rc" -eq 0 ] && grep -qx "stopped=exited" <<<"$out" || fail "stopping the service: rc=$rc '$out'"
msi /x "$next"
[ "$rc" -eq 0 ] || fail "msiexec /x exited $rc"
run 30 "$probe" "$service"
[ "$rc" -eq 2 ] && grep -qx "open=error 1060" <<<"$out" || fail "service still registered: rc=$rc '$out'"
[ -z "$(product_versions)" ] || fail "products still registered: $(product_versions | tr '\n' ' ')"
"$wine" reg query "$event_source_key" </dev/null >/dev/null 2>&1 && fail "the Event Log source is still registered"
if [ -e "$install_dir" ]; then
    fail "left in the install folder: $(cd "$install_dir" && find . | tr '\n' ' ')"
fi
request '{"method":"GET","path":"/healthz"}'
[ "$rc" -ne 0 ] || fail "something still answers on $pipe after removal: '$out'"
installed_packages=()
expect_policy 0x0 "removal"

step "STRICTMODE=1 sets the policy, and removal leaves it"
"$wine" reg delete "$policy_key" /v StrictMode /f </dev/null >/dev/null 2>&1
msi /i "$next" STRICTMODE=1
[ "$rc" -eq 0 ] || abort "msiexec /i STRICTMODE=1 exited $rc"
expect_policy 0x1 "install with STRICTMODE=1"
expect_one_running "$next_version" strict
run 60 "$probe" --stop "$service"
msi /x "$next"
[ "$rc" -eq 0 ] || fail "msiexec /x after STRICTMODE=1 exited $rc"
installed_packages=()
expect_policy 0x1 "removal after STRICTMODE=1"

[ "$failures" -eq 0 ] && echo "PASS"

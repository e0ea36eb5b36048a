#!/usr/bin/env bash
# The release artefacts that scripts/package.sh makes from this build tree:
# the shipped executables are stripped, small, carry the project version in
# their version resource and the application manifest, keep their debug
# information in a linked file beside them; SHA256SUMS covers every artefact;
# and the package holds the service registration that `install` writes.
#
# Usage: release_artefacts_test.sh <build dir>
set -uo pipefail

build=$(cd "${1:?usage: release_artefacts_test.sh <build dir>}" && pwd)
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$build/test-work/release-artefacts-$$
dist=$work/dist
export WINEDEBUG=-all
objdump=x86_64-w64-mingw32-objdump
max_helper_bytes=$((3 * 1024 * 1024))

# shellcheck source=../support/report.sh
source "$root/tests/support/report.sh"
cleanup() {
    local status=$?
    if [ "$status" -eq 0 ] && [ "$failures" -eq 0 ]; then rm -rf "$work"; else echo "work folder kept: $work"; fi
    exit $((status != 0 || failures != 0))
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# expect_line <text> <line>: the text holds exactly this line.
expect_line() { grep -qxF -- "$2" <<<"$1" || fail "${3:-output} lacks '$2'"; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || abort "no project version in $build/CMakeCache.txt"
probe=$build/tests/double_version_probe.exe
for file in "$probe" "$build/tests/double_panic_probe.exe"; do [ -f "$file" ] || abort "missing build output $file"; done

step "package version $version from $build"
mkdir -p "$work"
# A signing command that only records what it was given, in order.
printf '#!/bin/sh\nprintf "%%s\\n" "$(basename "$1")" >>"%s"\n' "$work/signed" >"$work/sign.sh"
chmod +x "$work/sign.sh"
ZORV_SIGN_COMMAND=$work/sign.sh \
    "$root/scripts/package.sh" --no-build --build-dir "$build" --out "$dist" >"$work/package.log" 2>&1 ||
    { cat "$work/package.log"; abort "package.sh failed"; }

helper=$dist/zorv-helper.exe
cli_name=$(basename "$(cat "$build/packaging/shipped/zorv-ctl.path")")
cli=$dist/$cli_name
package=$dist/zorv-helper-$version-x64.msi
for file in "$helper" "$cli" "$package"; do [ -f "$file" ] || abort "package.sh made no $file"; done

step "the signing command got each executable, then the package"
signed=$(tr '\n' ' ' <"$work/signed" 2>/dev/null)
[ "$signed" = "zorv-helper.exe $cli_name $(basename "$package") " ] || fail "signed in this order: '$signed'"

step "the helper is at most 3 MB"
size=$(stat -c %s "$helper")
[ "$size" -le "$max_helper_bytes" ] || fail "zorv-helper.exe is $size bytes"

for exe in "$helper" "$cli"; do
    name=$(basename "$exe")
    step "$name: stripped, debug information beside it"
    sections=$("$objdump" -h "$exe")
    grep -q ' \.debug_' <<<"$sections" && fail "$name still holds debug sections"
    grep -q ' \.gnu_debuglink ' <<<"$sections" || fail "$name has no .gnu_debuglink"
    # The link names the file beside it (name, then a CRC of its content).
    x86_64-w64-mingw32-objcopy --dump-section .gnu_debuglink="$work/link" "$exe" "$work/discard" 2>/dev/null
    link=$(tr '\0' '\n' <"$work/link" 2>/dev/null | head -n 1)
    [ "$link" = "$name.debug" ] || fail "$name links '$link'"
    [ -f "$dist/$name.debug" ] || fail "no $name.debug beside $name"
    "$objdump" -h "$dist/$name.debug" | grep -q ' \.debug_info ' || fail "$name.debug holds no .debug_info"

    step "$name: version resource and manifest"
    out=$(ZORV_BUILD_DIR=$build "$root/cmake/wine-run.sh" "$probe" "$(printf 'Z:%s' "${exe//\//\\}")" </dev/null 2>/dev/null | tr -d '\r')
    expect_line "$out" "file_version=$version.0" "$name"
    expect_line "$out" "product_version=$version.0" "$name"
    expect_line "$out" "FileVersion=$version" "$name"
    expect_line "$out" "ProductVersion=$version" "$name"
    expect_line "$out" "ProductName=zorv-helper" "$name"
    expect_line "$out" "OriginalFilename=$name" "$name"
    grep -q '^FileDescription=..*' <<<"$out" || fail "$name has no description"
    manifest=$(sed -n 's/^manifest=//p' <<<"$out")
    [[ $manifest == *'requestedExecutionLevel level="asInvoker"'* ]] || fail "$name manifest: no asInvoker"
    [[ $manifest == *'supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"'* ]] || fail "$name manifest: no Windows 10/11"
    [[ $manifest == *'<longPathAware'*'>true</longPathAware>'* ]] || fail "$name manifest: not longPathAware"
done

step "a stripped executable's crash backtrace resolves with its .debug file"
# The panic probe dies through the helper's panic hook; stripped like the
# shipped files, its frames are module+offset, which addr2line resolves
# against the debug file at the image's link-time base.
mkdir -p "$work/panic"
"$root/packaging/split-debug.sh" "$build/tests/double_panic_probe.exe" "$work/panic"
ZORV_BUILD_DIR=$build "$root/cmake/wine-run.sh" "$work/panic/double_panic_probe.exe" </dev/null >/dev/null 2>&1
status=$?
[ "$status" -eq 101 ] || fail "panic probe exited $status, expected 101"
record=$(tr -d '\r' <"$work/panic/logs/panic.log" 2>/dev/null)
grep -q 'FATAL PANIC in zorv-helper at .*: panic probe' <<<"$record" || fail "no panic record: '$record'"
image_base=$("$objdump" -p "$work/panic/double_panic_probe.exe.debug" | awk '$1 == "ImageBase" { print $2 }')
offsets=$(sed -n 's/^ *[0-9]*: double_panic_probe\.exe+\(0x[0-9a-f]*\) .*/\1/p' <<<"$record")
addresses=$(for offset in $offsets; do printf '0x%x\n' $((0x$image_base + offset)); done)
functions=$(x86_64-w64-mingw32-addr2line -f -C -e "$work/panic/double_panic_probe.exe.debug" $addresses 2>/dev/null)
grep -q 'panic_probe_breaks_invariant' <<<"$functions" ||
    fail "no frame resolves to the probe's function; record: '$record'; resolved: '$functions'"

step "a crash is logged, leaves a minidump and goes on to the system's crash handling"
# On a loaded machine Wine's crash handling now and then reports a crashed
# process as exit 0; a crash that went wrong in the helper's filter would end
# with 101 or never reach it. So a 0 is tried again, twice.
for attempt in 1 2 3; do
    rm -f "$work/panic/logs/"*
    ZORV_BUILD_DIR=$build timeout 120 "$root/cmake/wine-run.sh" "$work/panic/double_panic_probe.exe" crash </dev/null >/dev/null 2>&1
    status=$?
    [ "$status" -ne 0 ] && break
done
[ "$status" -ne 0 ] && [ "$status" -ne 101 ] || fail "crashing probe exited $status, expected a crash's status"
record=$(tr -d '\r' <"$work/panic/logs/panic.log" 2>/dev/null)
grep -q 'FATAL PANIC in zorv-helper at 0x[0-9a-f]*: Unhandled structured exception 0xC0000005' <<<"$record" ||
    fail "no crash record: '$record'"
dump=$(ls "$work/panic/logs/"crash-*.dmp 2>/dev/null | head -n 1)
[ -n "$dump" ] && [ "$(head -c 4 "$dump")" = MDMP ] || fail "no minidump in logs: $(ls "$work/panic/logs")"

step "SHA256SUMS covers every artefact and matches"
listed=$(awk '{ print $2 }' "$dist/SHA256SUMS" | sort | tr '\n' ' ')
present=$(cd "$dist" && ls -- *.exe *.debug *.msi | sort | tr '\n' ' ')
[ "$listed" = "$present" ] || fail "SHA256SUMS lists '$listed', dist holds '$present'"
(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match"

# table <name>: the table's rows, tab-separated, without the three header lines.
table() { msiinfo export "$package" "$1" | tr -d '\r' | tail -n +4; }

step "the package registers the service as install does"
expect_line "$(table ServiceInstall)" \
    "$(printf 'HelperService\tVEXL2VpnService\tVEXL2 VPN Core Service\t16\t2\t1\t\t\tLocalSystem\t\t\tHelper\t')" ServiceInstall
# Start at install; stop at install and removal; delete at install (a
# registration left by `install`) and removal.
expect_line "$(table ServiceControl)" "$(printf 'HelperServiceControl\tVEXL2VpnService\t171\t\t1\tHelper')" ServiceControl
expect_line "$(table MsiServiceConfigFailureActions)" \
    "$(printf 'HelperRecovery\tVEXL2VpnService\t1\t86400\t\t\t1[~]1[~]1\t5000[~]5000[~]5000\tHelper')" \
    MsiServiceConfigFailureActions
table InstallExecuteSequence | grep -qP '^RemoveExistingProducts\t\t1401$' ||
    fail "the older product is not removed right after InstallValidate"
table InstallExecuteSequence | grep -qP '^MsiConfigureServices\t[^\t]*\t5850$' ||
    fail "MsiConfigureServices is not sequenced between InstallServices and StartServices"
upgrade_code=$(table Property | awk -F'\t' '$1 == "UpgradeCode" { print $2 }')
expect_line "$(table Upgrade)" "$(printf '%s\t\t%s\t\t513\tMain\tWIX_UPGRADE_DETECTED' "$upgrade_code" "$version")" Upgrade
msiinfo suminfo "$package" | grep -q '^Template: x64;1033' || fail "the package is not marked x64"
table File | grep -q 'sing-box' && fail "a package made without --core ships a core"

step "--core ships the given core as a component of its own"
"$root/scripts/package.sh" --no-build --build-dir "$build" --out "$work/dist-core" \
    --core "$build/tests/double_fake_core.exe" >"$work/package-core.log" 2>&1 ||
    { cat "$work/package-core.log"; abort "package.sh --core failed"; }
package=$work/dist-core/zorv-helper-$version-x64.msi
table Component | grep -qP '^Core\t\{[0-9A-F-]+\}\tINSTALLFOLDER\t\d+\t\tCoreExe$' || fail "no Core component: $(table Component)"
table File | grep -qP '^CoreExe\tCore\tsing-box\.exe\t'"$(stat -c %s "$build/tests/double_fake_core.exe")"'\t' ||
    fail "the Core component does not hold the given sing-box.exe: $(table File)"

[ "$failures" -eq 0 ] && echo "PASS"

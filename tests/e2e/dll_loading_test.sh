#!/usr/bin/env bash
# No DLL from beside the executable. The shipped executables import directly
# only KnownDLLs (which the loader always takes from System32) and API sets;
# every other system DLL is delay-loaded after main has limited the search to
# System32. Under Wine, in a prefix of its own, a DLL planted beside them
# under each delay-loaded name (with a native-first override, so Wine would
# take a file it finds) is never loaded, while a control program that loads
# the same names with the default search does load the planted files.
#
# Usage: dll_loading_test.sh <build dir>
set -uo pipefail

build=$(cd "${1:?usage: dll_loading_test.sh <build dir>}" && pwd)
prefix=$build/test-work/dll-prefix
work=$build/test-work/dll-e2e-$$

# shellcheck source=../support/own_prefix.sh
source "$(dirname "${BASH_SOURCE[0]}")/../support/own_prefix.sh"

objdump=x86_64-w64-mingw32-objdump
# What the loader resolves without searching: the KnownDLLs of Windows 10 and
# later, ntdll (always loaded) and API sets.
known='advapi32 clbcatq combase comdlg32 coml2 difxapi gdi32 gdiplus imagehlp imm32 kernel32 msctf msvcrt normaliz
       nsi ole32 oleaut32 psapi rpcrt4 sechost setupapi shcore shell32 shlwapi user32 wldap32 ws2_32 ntdll'
delayed='wtsapi32 bcrypt wintrust crypt32 dbghelp version'
# Also loaded on demand, though KnownDLLs: none may be imported directly.
also_delayed='user32 shell32'

trap end_helper_test EXIT
trap 'exit 1' INT TERM

# The DLL names in an executable's import table, lower case, one a line.
direct_imports() { "$objdump" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: \(.*\)$/\1/p' | tr 'A-Z' 'a-z' | sort -u; }

# ---- import tables --------------------------------------------------------------

helper=$(cat "$build/packaging/shipped/zorv-helper.path" 2>/dev/null)
cli=$(cat "$build/packaging/shipped/zorv-ctl.path" 2>/dev/null)
for file in "$helper" "$cli" "$build/tests/planted_dll.dll" "$build/tests/double_dll_probe.exe" \
    "$build/tests/double_pipe_client.exe"; do
    [ -f "$file" ] || abort "missing build output $file"
done

for executable in "$helper" "$cli"; do
    step "the import table of $(basename "$executable") holds only KnownDLLs and API sets"
    imports=$(direct_imports "$executable")
    grep -qx kernel32.dll <<<"$imports" || fail "no import table read from $executable: '$imports'"
    for name in $also_delayed; do
        grep -qx "$name.dll" <<<"$imports" && fail "$(basename "$executable") imports $name.dll directly"
    done
    while IFS= read -r dll; do
        name=${dll%.dll}
        [[ $name == api-ms-win-* ]] && continue
        [[ " $(echo $known) " == *" $name "* ]] || fail "$(basename "$executable") imports $dll directly"
    done <<<"$imports"
done

# ---- planted DLLs under Wine ----------------------------------------------------

rm -rf "$work"
app=$work/app
mkdir -p "$app"
cp "$helper" "$app/zorv-helper.exe"
cp "$cli" "$app/zorv.exe"
cp "$build/tests/double_dll_probe.exe" "$app/dll_probe.exe"
cp "$build/tests/double_fake_tool.exe" "$app/icacls.exe"
for name in $delayed; do cp "$build/tests/planted_dll.dll" "$app/$name.dll"; done
overrides=$(echo $delayed | tr ' ' ',')
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;$overrides=n,b"
start_prefix

markers() { (cd "$app" && ls -- *.dll.loaded 2>/dev/null | tr '\n' ' '); }

step "control: the default search loads each planted DLL"
out=$(timeout 60 "$wine" "$app/dll_probe.exe" $(for n in $delayed; do printf '%s.dll ' "$n"; done) </dev/null 2>/dev/null | tr -d '\r')
for name in $delayed; do
    [ -f "$app/$name.dll.loaded" ] || fail "the control did not load the planted $name.dll: '$out'"
done
rm -f "$app"/*.loaded

step "zorv-helper run, a client's request and zorv version load none of them"
pipe=zorv-dll-$$
SINGBOX_WINDOWS_SERVICE_PIPE_NAME=$pipe "$wine" "$app/zorv-helper.exe" run </dev/null >"$work/run.out" 2>&1 &
helper_pid=$!
for _ in $(seq 1 150); do
    grep -qs "Named pipe server starting on" "$app/logs/service.log" && break
    kill -0 "$helper_pid" 2>/dev/null || break
    sleep 0.2
done
grep -qs "Named pipe server starting on" "$app/logs/service.log" || abort "the helper did not start serving: $(cat "$work/run.out")"
out=$(timeout 60 "$wine" "$app/zorv.exe" version --pipe "$pipe" </dev/null 2>/dev/null | tr -d '\r')
[[ $out == *"helper: process"* ]] || fail "zorv version was not served: '$out'"
stop_helper
[ -z "$(markers)" ] || fail "planted DLLs were loaded: $(markers)"

[ "$failures" -eq 0 ] && echo "PASS"

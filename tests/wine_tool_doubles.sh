#!/usr/bin/env bash
# Puts the recording tool double in the test prefix's system32 as netsh.exe,
# pnputil.exe and icacls.exe, and tells Wine to load those files instead of
# its built-in tools. The helper starts these tools from the system directory
# only, so this is where a test's doubles have to be.
#
# Usage: wine_tool_doubles.sh <build dir>
set -euo pipefail
build=$(cd "${1:?usage: wine_tool_doubles.sh <build dir>}" && pwd)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
run=$here/../cmake/wine-run.sh
double=$build/tests/double_fake_tool.exe
[ -f "$double" ] || { echo "missing build output $double"; exit 1; }

cd "$build"  # wine-run.sh finds its prefix from the working folder
"$run" cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
system32=${WINEPREFIX:-$build/wine-prefix}/drive_c/windows/system32
[ -d "$system32" ] || { echo "no system32 in the test prefix: $system32"; exit 1; }
for tool in netsh pnputil icacls; do
    cp "$double" "$system32/$tool.exe"
    "$run" reg add 'HKCU\Software\Wine\DllOverrides' /v "$tool.exe" /d native /f </dev/null >/dev/null
done
echo "tool doubles installed in $system32"

#!/usr/bin/env bash
# Runs a Windows program under Wine with a prefix private to this build tree.
# The prefix is created on first use, and Wine's background services are
# started once with their output detached, so they never hold a caller's
# pipes open (ctest would otherwise wait for them for minutes).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build_dir=${ZORV_BUILD_DIR:-$PWD}
# Find the build tree: the nearest ancestor holding CMakeCache.txt.
probe=$build_dir
while [ "$probe" != / ] && [ ! -f "$probe/CMakeCache.txt" ]; do probe=$(dirname "$probe"); done
[ -f "$probe/CMakeCache.txt" ] && build_dir=$probe
export WINEPREFIX=${WINEPREFIX:-$build_dir/wine-prefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
wine=/usr/lib/wine/wine64

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$wine" wineboot -i </dev/null >/dev/null 2>&1 || true
      /usr/lib/wine/wineserver -w </dev/null >/dev/null 2>&1 || true
    fi
  ) 9>"$WINEPREFIX.lock"
fi
# Warm up: the first Wine process of a fresh wineserver starts Wine's
# background services; let that be a throw-away process with no stdio, then
# keep the server alive a little while after the last client goes.
/usr/lib/wine/wineserver -p10 </dev/null >/dev/null 2>&1 || true
"$wine" cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
exec "$wine" "$@"

# Shared by the script tests that run Wine in a prefix of their own: the
# reporting, Windows paths of Linux files, and the start and end of the
# prefix's wineserver. The sourcing script sets `prefix` and `work` first.

export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

# shellcheck source=report.sh
source "$(dirname "${BASH_SOURCE[0]}")/report.sh"

# The Windows path under which Wine shows a Linux path.
winpath() {
    local path=${1//\//\\}
    printf 'Z:%s' "$path"
}

start_prefix() {
    mkdir -p "$(dirname "$prefix")"
    if [ ! -f "$prefix/system.reg" ]; then
        step "creating Wine prefix $prefix"
        "$wine" wineboot -i </dev/null >/dev/null 2>&1
        "$wineserver" -w
    fi
    # Persistent, so an installed service outlives every short-lived client;
    # then a throw-away first process, which starts Wine's own services with
    # no hold on this script's output.
    "$wineserver" -p </dev/null >/dev/null 2>&1
    "$wine" cmd /c exit 0 </dev/null >/dev/null 2>&1
}

# stop_helper: ends the helper this script started in the background
# (`helper_pid`, empty when none), with Ctrl+C first and by force after 10 s.
helper_pid=
stop_helper() {
    [ -n "$helper_pid" ] || return 0
    kill -INT "$helper_pid" 2>/dev/null
    for _ in $(seq 1 100); do kill -0 "$helper_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$helper_pid" 2>/dev/null
    wait "$helper_pid" 2>/dev/null
    helper_pid=
}

# wait_serving <folder>: waits up to 30 s for the helper started in the
# background from <folder> (`helper_pid`) to serve its pipe; aborts if it ends
# or does not.
wait_serving() {
    for _ in $(seq 1 150); do
        grep -qs "Named pipe server starting on" "$1/logs/service.log" && return 0
        kill -0 "$helper_pid" 2>/dev/null || break
        sleep 0.2
    done
    abort "helper in $1 did not start serving"
}

# end_helper_test: the EXIT trap of a test that runs a helper: stops it, removes
# the service `installed` names (when set), then ends as end_prefix_test.
installed=
end_helper_test() {
    local status=$?
    stop_helper
    [ -n "$installed" ] && timeout 60 "$wine" "$installed" uninstall </dev/null >/dev/null 2>&1
    end_prefix_test "$status"
}

# end_prefix_test <status>: ends this prefix's wineserver (no other), removes
# the work folder after a clean run, and exits with the verdict.
end_prefix_test() {
    local status=$1
    "$wineserver" -k >/dev/null 2>&1 || true
    if [ "$status" -eq 0 ] && [ "$failures" -eq 0 ]; then
        rm -rf "$work"
    else
        echo "work folder kept: $work"
    fi
    exit $((status != 0 || failures != 0))
}

# request <json>: one request through the desktop client stand-in, with the
# sourcing script's `run`, `client` and `pipe`.
request() { run 30 "$client" "$pipe" request "$1"; }

# Waits until the service answers /healthz through the verified client.
wait_healthy() {
    local deadline=$((SECONDS + 20))
    while :; do
        request '{"method":"GET","path":"/healthz"}'
        if [ "$rc" -eq 0 ] && [[ $out == *'"status":200'* ]]; then return 0; fi
        [ $SECONDS -ge $deadline ] && return 1
        sleep 0.3
    done
}

#!/usr/bin/env bash
# Builds, then measures the helper against the bare pipe server of the same
# shape, everything pinned to one CPU, and prints one table:
# 1. wineserver requests per GET /healthz, counted in the trace of a
#    `wineserver -f -d1` that serves only the benchmark's own prefix;
# 2. the timings, under an ordinary wineserver (tracing slows every request).
# BENCH_ROUNDS=N repeats the timings N times (default 1).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages
build_project
cd "$BUILD_DIR"

export WINEPREFIX="$BUILD_DIR/bench-prefix"
wineserver=/usr/lib/wine/wineserver
bench="$BUILD_DIR/bench/bench_zorv.exe"
pinned() { taskset -c 0 "$@"; }

pinned "$ROOT/cmake/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1 || true  # creates the prefix on first use
trace_dir="$BUILD_DIR/bench-trace"
mkdir -p "$trace_dir"
trace="$trace_dir/wineserver.trace"
# The traced server must be the prefix's only one: wait for the previous one
# to leave (10 s after its last client), and try again should another Wine
# process have started one meanwhile.
server=
for attempt in 1 2 3 4 5; do
  "$wineserver" -w
  pinned "$wineserver" -f -d1 -p10 2>"$trace" &
  server=$!
  sleep 1
  if kill -0 "$server" 2>/dev/null; then break; fi
  wait "$server" 2>/dev/null || true
  server=
done
if [ -z "$server" ]; then echo "bench: could not start a traced wineserver for $WINEPREFIX" >&2; exit 1; fi
# Stops the traced server by its id should the count fail half-way.
stop_server() {
  local waited=0
  while kill -0 "$server" 2>/dev/null && [ $waited -lt 60 ]; do sleep 1; waited=$((waited + 1)); done
  if kill -0 "$server" 2>/dev/null; then kill "$server"; fi
  wait "$server" 2>/dev/null || true
}
trap stop_server EXIT
counts=$(pinned "$ROOT/cmake/wine-run.sh" "$bench" server-requests "Z:${trace//\//\\}")
stop_server  # it leaves by itself once Wine's own services have gone
trap - EXIT
rm -f "$trace"

for ((round = 1; round <= ${BENCH_ROUNDS:-1}; round++)); do
  if [ "${BENCH_ROUNDS:-1}" -gt 1 ]; then echo "## Run $round"; fi
  # shellcheck disable=SC2086 # two numbers
  pinned "$ROOT/cmake/wine-run.sh" "$bench" --server-requests $counts
done

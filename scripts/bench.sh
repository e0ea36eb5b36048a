#!/usr/bin/env bash
# Builds, then runs the benchmark pinned to one CPU, three times.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages
build_project
cd "$BUILD_DIR"
"$ROOT/cmake/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1 || true
for round in 1 2 3; do
  echo "## Run $round"
  taskset -c 0 "$ROOT/cmake/wine-run.sh" "$BUILD_DIR/bench/bench_zorv.exe"
done

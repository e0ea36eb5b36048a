#!/usr/bin/env bash
# Builds the fuzz targets natively with clang 16 (libFuzzer, ASan, UBSan) and
# runs them. Usage: scripts/fuzz.sh [runs per target, default 10000000] [target...]
# FUZZ_MAX_SECONDS, when set, also bounds each run's time (a short CI run).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
RUNS=${1:-10000000}
shift || true
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(fuzz_pipe_request fuzz_path_rules)
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
missing=()
for package in cmake clang-16 libclang-rt-16-dev nlohmann-json3-dev libfmt-dev; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  as_root apt-get update
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi
BUILD="$ROOT/build-fuzz"
cmake -S "$ROOT/fuzz" -B "$BUILD" -DCMAKE_CXX_COMPILER=clang++-16 -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" --parallel "$(nproc)" --target "${TARGETS[@]}"
time_limit=()
[ -n "${FUZZ_MAX_SECONDS:-}" ] && time_limit=(-max_total_time="$FUZZ_MAX_SECONDS")
for target in "${TARGETS[@]}"; do
  corpus="$BUILD/corpus/${target#fuzz_}"
  mkdir -p "$corpus"
  cp -n "$ROOT/fuzz/corpus/${target#fuzz_}"/* "$corpus"/ 2>/dev/null || true
  # Paths beyond 4096 bytes add nothing the rules do not already see (they
  # are linear in the text) and only slow each run down.
  max_len=65536
  [ "$target" = fuzz_path_rules ] && max_len=4096
  # The whole output (progress included) stays in $BUILD/<target>.log.
  log="$BUILD/$target.log"
  echo "== $target: $RUNS runs (progress in $log)"
  status=0
  "$BUILD/$target" -runs="$RUNS" "${time_limit[@]}" -max_len="$max_len" -print_final_stats=1 "$corpus" >"$log" 2>&1 ||
    status=$?
  tail -n 12 "$log"
  [ "$status" -eq 0 ] || { echo "$target failed with status $status"; exit "$status"; }
done

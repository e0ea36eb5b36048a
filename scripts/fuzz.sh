#!/usr/bin/env bash
# Builds the fuzz targets natively with clang 16 (libFuzzer, ASan, UBSan) and
# runs each one. Usage: scripts/fuzz.sh [runs per target, default 10000000]
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
RUNS=${1:-10000000}
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
cmake --build "$BUILD" --parallel "$(nproc)"
for target in fuzz_pipe_request fuzz_path_rules; do
  corpus="$BUILD/corpus/${target#fuzz_}"
  mkdir -p "$corpus"
  cp -n "$ROOT/fuzz/corpus/${target#fuzz_}"/* "$corpus"/ 2>/dev/null || true
  echo "== $target: $RUNS runs"
  "$BUILD/$target" -runs="$RUNS" -max_len=65536 -print_final_stats=1 "$corpus" 2>&1 | tail -n 12
done

#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test under Wine.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages
build_project
cd "$BUILD_DIR"
# Create the private Wine prefix up front (about 10 s on first use).
"$ROOT/cmake/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1 || true
ctest --output-on-failure --parallel 2 "$@"
# A short run of the path rules fuzz target (scripts/fuzz.sh alone runs the long one).
FUZZ_MAX_SECONDS=45 "$ROOT/scripts/fuzz.sh" 5000000 fuzz_path_rules

#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test under Wine.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages
build_project
cd "$BUILD_DIR"
# Create the private Wine prefix up front (about 10 s on first use).
"$ROOT/cmake/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1 || true
ctest --output-on-failure --parallel 2 "$@"

#!/usr/bin/env bash
# Installs what is missing, builds, and runs zorv-helper in standalone mode
# under Wine in the foreground. Stop it with Ctrl+C.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages
build_project
cd "$BUILD_DIR"
"$ROOT/cmake/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1 || true
export WINEPREFIX="$BUILD_DIR/wine-prefix" WINEDEBUG=-all
ctl_windows_path=$(/usr/lib/wine/wine64 winepath -w "$BUILD_DIR/tools/zorv-ctl.exe" 2>/dev/null | tr -d '\r')
export SINGBOX_EXPECTED_CLIENT_PATH="$ctl_windows_path"
echo "Clients accepted: $SINGBOX_EXPECTED_CLIENT_PATH"
exec "$ROOT/cmake/wine-run.sh" "$BUILD_DIR/src/zorv-helper.exe" run

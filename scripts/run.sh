#!/usr/bin/env bash
# Installs what is missing, builds, and runs zorv-helper in standalone mode
# under Wine in the foreground, on the pipe named by RUN_PIPE below (the
# service's own pipe is left to the service). Stop it with Ctrl+C.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages
build_project
cd "$BUILD_DIR"
"$ROOT/cmake/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1 || true
export WINEPREFIX="$BUILD_DIR/wine-prefix" WINEDEBUG=-all

# A core to start. Without a real sing-box.exe beside the helper, the test
# double of the core stands in, so that `start --config` works at once.
core="$BUILD_DIR/src/sing-box.exe"
stand_in="$BUILD_DIR/tests/double_fake_core.exe"
if [ ! -f "$core" ] && [ -f "$stand_in" ]; then
    cp "$stand_in" "$core"
fi
if [ -f "$stand_in" ] && cmp -s "$core" "$stand_in"; then
    echo "NOTE: $core is a stand-in (the test double of the core): it accepts"
    echo "      a configuration and runs, but carries no traffic. Replace it with a real"
    echo "      sing-box.exe to use the helper for real."
fi

RUN_PIPE=zorv-helper.run
export SINGBOX_WINDOWS_SERVICE_PIPE_NAME=$RUN_PIPE
ctl_windows_path=$(/usr/lib/wine/wine64 winepath -w "$BUILD_DIR/tools/zorv.exe" 2>/dev/null | tr -d '\r')
export SINGBOX_EXPECTED_CLIENT_PATH="$ctl_windows_path"
echo "Pipe: \\\\.\\pipe\\$RUN_PIPE"
echo "Clients accepted: $SINGBOX_EXPECTED_CLIENT_PATH"
exec "$ROOT/cmake/wine-run.sh" "$BUILD_DIR/src/zorv-helper.exe" run

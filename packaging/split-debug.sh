#!/usr/bin/env bash
# split-debug.sh <executable> <out dir>: writes a stripped copy of the
# executable to <out dir> and its debug information to <out dir>/<name>.debug,
# linked from the copy by .gnu_debuglink (file name and CRC).
set -euo pipefail
tools=x86_64-w64-mingw32
# objcopy and strip stamp the PE header with the current time unless told
# otherwise: keep the build's time, so the same build gives the same bytes.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(stat -c %Y "$1")}
name=$(basename "$1")
"$tools-objcopy" --only-keep-debug "$1" "$2/$name.debug"
"$tools-strip" --strip-all -o "$2/$name" "$1"
# The link records the name only: run where the debug file is.
cd "$2" && "$tools-objcopy" --add-gnu-debuglink="$name.debug" "$name"

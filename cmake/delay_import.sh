#!/usr/bin/env bash
# Makes a delay-import library for one system DLL from the toolchain's own
# import library: the DLL is then loaded on the first call into it, by name,
# through the search the process has set (System32 only, see main), instead
# of by the loader at start-up, which would look in the executable's folder
# first.
#
# Usage: delay_import.sh <dll name without .dll> <output folder>
set -euo pipefail
name=${1:?dll name} out=${2:?output folder}
import_lib=$(x86_64-w64-mingw32-gcc -print-file-name="lib$name.a")
[ -f "$import_lib" ] || { echo "no import library for $name" >&2; exit 1; }
mkdir -p "$out"
{
    echo "LIBRARY $name.dll"
    echo "EXPORTS"
    x86_64-w64-mingw32-nm "$import_lib" | sed -n 's/^[0-9a-f]* I __imp_\(.*\)$/\1/p' | sort -u
} >"$out/$name.def"
x86_64-w64-mingw32-dlltool --input-def "$out/$name.def" --dllname "$name.dll" --output-delaylib "$out/lib${name}_delay.a"

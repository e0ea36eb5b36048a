#!/usr/bin/env bash
# Builds the release artefacts into dist/: each shipped executable stripped,
# its debug information in <name>.debug beside it (linked by .gnu_debuglink),
# the MSI package, and SHA256SUMS over all of them.
#
# Usage: scripts/package.sh [--no-build] [--build-dir DIR] [--out DIR] [--version X.Y.Z] [--core PATH]
#   --no-build   package what the build tree holds (default: build it first)
#   --build-dir  the build tree (default: build/)
#   --out        where the artefacts go, replacing earlier ones (default: dist/)
#   --version    package version (default: the project version of the build);
#                the executables keep the version they were built with
#   --core       a sing-box.exe to ship in the package as a component of its
#                own, so that installing the package yields a working helper
#                (default: no core; the administrator places one)
# ZORV_SIGN_COMMAND, when set, is run (split into words) with each file to
# sign as its last argument: each stripped executable before the package is
# built, then the package (e.g. a wrapper that signs the file in place).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

build=yes out=$ROOT/dist version= core=
while [ $# -gt 0 ]; do
  case $1 in
    --no-build) build=no ;;
    --build-dir) BUILD_DIR=$2; shift ;;
    --out) out=$2; shift ;;
    --version) version=$2; shift ;;
    --core) core=$2; shift ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
  shift
done

# The path of a shipped target's executable, as the build recorded it.
shipped_file() {
  local record=$BUILD_DIR/packaging/shipped/$1.path
  [ -f "$record" ] || { echo "no $record: configure the build first" >&2; exit 1; }
  cat "$record"
}

# Only an optimised build with debug information is shipped (the default).
require_release_build() {
  local record=$BUILD_DIR/packaging/build-type type
  [ -f "$record" ] || { echo "no $record: configure the build first" >&2; exit 1; }
  type=$(cat "$record")
  [ "$type" = RelWithDebInfo ] || { echo "$BUILD_DIR is a '$type' build; package a RelWithDebInfo build" >&2; exit 1; }
}

project_version() {
  sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD_DIR/CMakeCache.txt"
}

# Runs each statement of packaging/tables.sql against the package.
add_tables() {
  local msi=$1 upgrade_code statement
  upgrade_code=$(msiinfo export "$msi" Property | tr -d '\r' | awk -F'\t' '$1 == "UpgradeCode" { print $2 }')
  [ -n "$upgrade_code" ] || { echo "no UpgradeCode in $msi" >&2; exit 1; }
  # A statement ends with a semicolon at the end of a line (a value may hold one).
  while IFS= read -r -d '' statement; do
    statement=$(printf '%s' "$statement" | tr '\n' ' ' | sed 's/^ *//; s/ *$//')
    [ -n "$statement" ] || continue
    msibuild "$msi" -q "$statement" || { echo "failed: $statement" >&2; exit 1; }
  done < <(grep -v '^ *--' "$ROOT/packaging/tables.sql" |
    sed -e "s/@VERSION@/$version/g" -e "s/@UPGRADE_CODE@/$upgrade_code/g" -e 's/;[[:space:]]*$/\x0/')
}

if [ -n "$core" ]; then
  [ -f "$core" ] || { echo "--core: no file $core" >&2; exit 2; }
  core=$(cd "$(dirname "$core")" && pwd)/$(basename "$core")
fi

[ $build = yes ] && { install_packages; build_project; }
require_release_build
[ -n "$version" ] || version=$(project_version)
helper=$(shipped_file zorv-helper)
cli=$(shipped_file zorv-ctl)
package=zorv-helper-$version-x64.msi

mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -f "$out"/zorv-helper-*-x64.msi "$out/SHA256SUMS"
for executable in "$helper" "$cli"; do
  rm -f "$out/$(basename "$executable")" "$out/$(basename "$executable").debug"
done
# sign <file>: in place, when a signing command is set.
sign() {
  [ -z "${ZORV_SIGN_COMMAND:-}" ] && return 0
  $ZORV_SIGN_COMMAND "$1" || { echo "signing $1 failed" >&2; exit 1; }
}

for executable in "$helper" "$cli"; do
  "$ROOT/packaging/split-debug.sh" "$executable" "$out"
  sign "$out/$(basename "$executable")"
done
# wixl takes the File sources relative to the folder it runs in: the core is
# staged there for the build of the package only.
core_source=
if [ -n "$core" ]; then
  core_source=core-staging/sing-box.exe
  rm -rf "$out/core-staging" && mkdir "$out/core-staging" && cp "$core" "$out/$core_source"
fi
(cd "$out" && wixl -a x64 -D Version="$version" -D CliName="$(basename "$cli")" -D Core="$core_source" \
  -o "$package" "$ROOT/packaging/zorv-helper.wxs")
rm -rf "$out/core-staging"
add_tables "$out/$package"
sign "$out/$package"
(cd "$out" && sha256sum -- "$(basename "$helper")"{,.debug} "$(basename "$cli")"{,.debug} "$package" >SHA256SUMS)
echo "$out:"
ls -l "$out"

# Shared by the scripts: the packages this project needs, and the build.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
PACKAGES=(cmake g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 libasio-dev nlohmann-json3-dev libfmt-dev
  googletest wixl msitools clang-16 libclang-rt-16-dev libxml2-utils openssl osslsigncode)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

install_packages() {
  local missing=()
  for package in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    as_root apt-get update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
  fi
}

build_project() {
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$ROOT}
  local launcher=()
  command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" "${launcher[@]}" >/dev/null
  cmake --build "$BUILD_DIR" --parallel "$(nproc)"
}

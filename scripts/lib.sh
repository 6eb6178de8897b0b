# Shared by scripts/test and scripts/demo: install what is missing, build a preset.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian packages each kind of work needs.
PACKAGES_NATIVE=(cmake make g++ python3)
PACKAGES_WINDOWS=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
                  binutils-mingw-w64-x86-64 wine wine64 icoutils)
PACKAGES_SCREEN=(xvfb x11-utils xdotool imagemagick fonts-wine)
PACKAGES_FUZZ=(clang libclang-rt-14-dev)  # clang 14 and its libFuzzer runtime
PACKAGES_BENCH=(valgrind binutils)       # heap use; nm and objdump

ensure_packages() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq && $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

build_preset() {
  (cd "$ROOT" && cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j "$(nproc)" >/dev/null) || {
    echo "build of preset $1 failed; run: cmake --preset $1 && cmake --build --preset $1" >&2
    return 1
  }
}

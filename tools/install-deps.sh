#!/bin/bash
# Installs the Debian packages the build and the tests need, when some are missing.
# Runs `apt-get update` once, and only when there is something to install.
set -euo pipefail

PACKAGES=(
  cmake make g++ pkg-config python3
  libsqlite3-dev sqlite3
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev valgrind
  g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine wine64
  xvfb xdotool imagemagick x11-utils
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}" >&2
  echo "install-deps: not root, so not installing them; run: sudo apt-get install ${missing[*]}" >&2
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q "${missing[@]}"

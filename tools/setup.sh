#!/usr/bin/env bash
# Installs every Debian package the build and the tests need. Idempotent:
# packages already present are left alone and apt is not touched at all.
set -euo pipefail

packages=(
  cmake ninja-build g++ googletest libgtest-dev clang
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine64 wine xvfb xdotool x11-apps imagemagick python3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

#!/usr/bin/env bash
# Prepares a Debian 12 machine (as root) for the build and the tests. Idempotent:
# what is already in place is left alone and apt is not touched at all.
#
# Besides the packages, 32-bit Windows code needs three things this kernel
# lacks: the i386 architecture for 32-bit Wine, qemu-user from
# bookworm-backports to run its Linux side (bookworm's own qemu takes about
# 50 s of processor time to start each 32-bit Wine process), and a binfmt
# entry that hands i386 programs to it. The entry does not survive a reboot,
# so it is registered on every run. Finally the memory-totals correction for
# 32-bit programs is built from tools/sysinfo-fix.c (see tools/wine-env.sh).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"

packages=(
  cmake ninja-build g++ gcc-multilib googletest libgtest-dev clang
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine64 wine wine32:i386 xvfb xdotool x11-apps imagemagick python3
  wixl msitools fonts-nanum
)
backports=(qemu-user)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup: adding the i386 architecture"
  dpkg --add-architecture i386
  fi
sources=/etc/apt/sources.list.d/nimbora-bookworm-backports.sources
if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  echo "setup: adding bookworm-backports"
  cat >"$sources" <<'EOF'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  fi

missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
missing_bpo=()
for p in "${backports[@]}"; do
  # The backports qemu is 10.x; bookworm's own 7.2 counts as missing.
  v=$(dpkg-query -W -f='${Version}' "$p" 2>/dev/null || true)
  installed "$p" && [[ "$v" == *bpo* ]] || missing_bpo+=("$p")
done

if ((${#missing[@]} + ${#missing_bpo[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
  if ((${#missing_bpo[@]})); then
    echo "setup: installing ${missing_bpo[*]} from bookworm-backports"
    apt-get install -y -qq --no-install-recommends -t bookworm-backports "${missing_bpo[@]}" >/dev/null
  fi
fi

# The i386 binfmt entry: Debian registers none on an amd64 host.
binfmt=/proc/sys/fs/binfmt_misc
[[ -e $binfmt/register ]] || mount -t binfmt_misc binfmt_misc "$binfmt"
qemu_i386=$(command -v qemu-i386 || command -v qemu-i386-static)
# Debian's qemu recognises flag P from an interpreter name ending in -binfmt-P.
interp=/usr/local/libexec/nimbora/i386-binfmt-P
mkdir -p "$(dirname "$interp")"
[[ "$(readlink "$interp" 2>/dev/null)" == "$qemu_i386" ]] || ln -sfn "$qemu_i386" "$interp"
if [[ ! -e $binfmt/nimbora-i386 ]] && ! grep -qs '^enabled' "$binfmt"/qemu-i386; then
  printf '%s' ':nimbora-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$interp"':PF' \
    >"$binfmt/register"
fi

# The memory-totals correction, 32-bit and its empty 64-bit twin.
fix_dir="$root/build/sysinfo-fix"
fix32="$fix_dir/lib/i386-linux-gnu/libnimbora-sysinfo.so"
fix64="$fix_dir/lib/x86_64-linux-gnu/libnimbora-sysinfo.so"
if [[ ! -f $fix32 || $here/sysinfo-fix.c -nt $fix32 ]]; then
  mkdir -p "$(dirname "$fix32")" "$(dirname "$fix64")"
  gcc -m32 -O2 -shared -fPIC -Wall -Wextra -Werror -o "$fix32" "$here/sysinfo-fix.c"
  echo 'void nimbora_sysinfo_fix_absent(void) {}' | gcc -O2 -shared -fPIC -x c -o "$fix64" -
fi

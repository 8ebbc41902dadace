#!/usr/bin/env bash
# Prepares a Debian 12 machine for Nimbora's build, tools/run.sh and
# tools/test.sh. Every change it makes needs root; it first finds out what is
# missing, says what it will change, and refuses without root. When
# everything is in place it changes nothing, needs no root and takes well
# under a second, so both commands run it every time.
#
# What it may change on the system:
# - dpkg's i386 architecture (for 32-bit Wine, which runs the shipped product);
# - the Debian packages both commands use, installed with apt-get;
# - only on a kernel that cannot run 32-bit programs itself: the source
#   /etc/apt/sources.list.d/nimbora-bookworm-backports.sources, qemu-user
#   from it (bookworm's own qemu takes about 50 s of processor time to start
#   each 32-bit Wine process), and a binfmt_misc entry `nimbora-i386` that
#   sends every 32-bit program on the machine through qemu until the next
#   reboot (it does not survive one, so it is registered again on the next
#   run).
# Finally, as whoever runs it, it builds the memory-totals correction for
# 32-bit programs under qemu from tools/sysinfo-fix.c into build/ (see
# tools/wine-env.sh).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"

packages=(
  # build: native core, fuzz targets (clang's libFuzzer and sanitizer runtimes
  # are only recommended by clang), both MinGW toolchains, the packages
  cmake ninja-build g++ gcc-multilib googletest libgtest-dev clang libclang-rt-14-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 wixl msitools
  # running: Wine of both bitnesses, an X display, dialogs and screenshots
  wine64 wine wine32:i386 xvfb xdotool x11-apps imagemagick
  # Hangul for the desktop program's Korean window under Wine
  fonts-nanum
  # the scripts themselves: ps, file, python3 (inspection and README checks)
  procps file python3
)
backports=(qemu-user)
sources=/etc/apt/sources.list.d/nimbora-bookworm-backports.sources
binfmt=/proc/sys/fs/binfmt_misc
# Debian's qemu recognises flag P from an interpreter name ending in -binfmt-P.
interp=/usr/local/libexec/nimbora/i386-binfmt-P
probe_dir="$root/build/setup"

missing_packages() {  # the names of "$@" that are not installed
  local line
  declare -A ok=()
  while read -r line; do
    [[ "$line" == *' install ok installed' ]] && ok[${line%% *}]=1
  done < <(dpkg-query -W -f='${Package}:${Architecture} ${Status}\n' "$@" 2>/dev/null || true)
  for p in "$@"; do
    if [[ "$p" == *:* ]]; then
      [[ -n "${ok[$p]:-}" ]] || echo "$p"
    else
      [[ -n "${ok[$p:$(dpkg --print-architecture)]:-}${ok[$p:all]:-}" ]] || echo "$p"
    fi
  done
}

# The backports qemu is 10.x; bookworm's own 7.2 counts as missing.
qemu_from_backports() { dpkg-query -W -f='${Version}' qemu-user 2>/dev/null | grep -q bpo; }

i386_entry_registered() {
  [[ -e $binfmt/nimbora-i386 ]] || grep -qs '^enabled' "$binfmt/qemu-i386"
}

# Whether this kernel runs 32-bit x86 programs itself: a tiny program that
# only exits is built once and started. N.B. asked only while no i386 binfmt
# entry is registered, since with one the program would run through qemu.
kernel_runs_i386() {
  local probe="$probe_dir/i386-exit"
  if [[ ! -x $probe ]]; then
    mkdir -p "$probe_dir"
    echo 'void _start(void) { __asm__ volatile("movl $1, %eax\n xorl %ebx, %ebx\n int $0x80"); }' |
      gcc -m32 -nostdlib -static -o "$probe" -x c - 2>/dev/null || return 1
  fi
  "$probe" 2>/dev/null
}

# What is missing, found without changing anything.
need_arch=""
dpkg --print-foreign-architectures | grep -qx i386 || need_arch=1
mapfile -t missing < <(missing_packages "${packages[@]}")
need_qemu=""  # yes, no, or "maybe" until the packages are there to ask the kernel
if i386_entry_registered; then
  need_qemu=yes
elif ((${#missing[@]} == 0)) && command -v gcc >/dev/null; then
  kernel_runs_i386 && need_qemu=no || need_qemu=yes
else
  need_qemu=maybe
fi
qemu_todo=""
if [[ $need_qemu != no ]]; then
  grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/ && qemu_from_backports &&
    i386_entry_registered || qemu_todo=1
fi

if [[ -n "$need_arch" || ${#missing[@]} -gt 0 || -n "$qemu_todo" ]]; then
  echo "setup: preparing this machine for Nimbora's build and tests. This needs root and will:"
  [[ -z "$need_arch" ]] || echo "  - add the i386 architecture to dpkg (for 32-bit Wine)"
  ((${#missing[@]} == 0)) || echo "  - install with apt-get: ${missing[*]}"
  if [[ -n "$qemu_todo" ]]; then
    [[ $need_qemu == yes ]] && echo "  - (this kernel cannot run 32-bit programs itself)" ||
      echo "  - if this kernel cannot run 32-bit programs itself (checked once the packages are in):"
    echo "    add the apt source $sources,"
    echo "    install qemu-user from bookworm-backports, and register the binfmt_misc entry"
    echo "    nimbora-i386, which runs every 32-bit program on this machine through qemu-i386"
    echo "    until the next reboot"
  fi
  if ((EUID != 0)); then
    echo "setup: not running as root: nothing changed. Run it as root, for example: sudo tools/setup.sh" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  if [[ -n "$need_arch" ]]; then
    echo "setup: adding the i386 architecture"
    dpkg --add-architecture i386
  fi
  if ((${#missing[@]})); then
    echo "setup: apt-get update"
    apt-get update -q
    echo "setup: installing ${missing[*]}"
    apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
  if [[ $need_qemu == maybe ]]; then
    kernel_runs_i386 && need_qemu=no || need_qemu=yes
    echo "setup: this kernel $([[ $need_qemu == no ]] && echo runs || echo "cannot run") 32-bit programs itself"
  fi
  if [[ $need_qemu == yes ]]; then
    if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
      echo "setup: adding the apt source $sources"
      cat >"$sources" <<'EOF'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
      apt-get update -q
    fi
    if ! qemu_from_backports; then
      echo "setup: installing ${backports[*]} from bookworm-backports"
      apt-get install -y -q --no-install-recommends -t bookworm-backports "${backports[@]}"
    fi
    [[ -e $binfmt/register ]] || mount -t binfmt_misc binfmt_misc "$binfmt"
    qemu_i386=$(command -v qemu-i386 || command -v qemu-i386-static)
    mkdir -p "$(dirname "$interp")"
    [[ "$(readlink "$interp" 2>/dev/null)" == "$qemu_i386" ]] || ln -sfn "$qemu_i386" "$interp"
    if ! i386_entry_registered; then
      echo "setup: registering the binfmt_misc entry nimbora-i386 (until the next reboot)"
      printf '%s' ':nimbora-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$interp"':PF' \
        >"$binfmt/register"
    fi
  fi
  echo "setup: done"
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

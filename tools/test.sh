#!/usr/bin/env bash
# Builds all three builds and runs every test: the native core under the
# sanitizers (with bounded fuzz runs), then under Wine the shipped 32-bit
# product (its Windows unit tests, end-to-end tests and benchmarks, through
# qemu-user; entries named *_i686) and the 64-bit build of the same sources.
# Each part's wall time is printed at its end.
set -euo pipefail
cd "$(dirname "$0")/.."

part_start=$SECONDS
part_end() { echo "-- $1: $((SECONDS - part_start)) s"; part_start=$SECONDS; }

bash tools/setup.sh
part_end "setup"

echo "== native: core under ASan/UBSan"
cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native
part_end "native build and tests"

echo "== builds: the 32-bit product and the 64-bit test build"
cmake --preset win32 >/dev/null
cmake --build --preset win32
cmake --preset win64 >/dev/null
cmake --build --preset win64
part_end "Windows builds"

# The two builds' Windows tests run side by side, each in a Wine prefix, a
# wineserver and an X display of its own (so each has its own Service
# Control Manager and registry): they spend most of their time waiting for
# ticks, batches and emulated process starts, not on the processor.
suite() {  # preset, prefix folder, first display number to try
  (
    export WINEPREFIX="$PWD/build/$2" NIMBORA_DISPLAY_FIRST="$3"
    unset DISPLAY
    source tools/wine-env.sh
    wine_env_start
    ctest --preset "$1"
  ) >"build/$1/ctest.log" 2>&1
}
status=0
echo "== win32 (the shipped product under 32-bit Wine through qemu-user) and win64 (the same"
echo "   sources as a 64-bit build), side by side; each one's output follows when it ends"
suite win32 wineprefix 90 &
win32_pid=$!
suite win64 wineprefix64 105 &
win64_pid=$!
wait "$win32_pid" || status=1
cat build/win32/ctest.log
wait "$win64_pid" || status=1
cat build/win64/ctest.log
part_end "win32 and win64 tests"

echo "== figures"
for build in win32 win64; do
  echo "-- $build"
  grep -hE '^(control storm|first batch|stop carried out|companion:)' build/$build/tests/e2e/*.out 2>/dev/null || true
  grep -hE '^(tick_bench|footprint_bench|companion|tray_bench):' build/$build/tests/bench/*.txt 2>/dev/null || true
done
footprint() {  # build, label of the figure
  grep -hE "^footprint_bench: nimbora $2" "build/$1/tests/bench/footprint_bench.txt" 2>/dev/null |
    head -1 | sed -E 's/.*: //' || true
}
echo "-- NimboraService.exe running, i686 beside x86_64 (the i686 one under qemu-user emulation, which inflates its processor time)"
printf '   %-36s %-20s %s\n' "" "i686 (emulated)" "x86_64"
printf '   %-36s %-20s %s\n' "cpu per second" "$(footprint win32 'cpu per second')" "$(footprint win64 'cpu per second')"
printf '   %-36s %-20s %s\n' "private bytes at the end" "$(footprint win32 'private bytes end')" \
  "$(footprint win64 'private bytes end')"
printf '   %-36s %-20s %s\n' "private bytes over an empty service" "$(footprint win32 'private bytes over baseline' | cut -d' ' -f1-2)" \
  "$(footprint win64 'private bytes over baseline' | cut -d' ' -f1-2)"
echo "-- shipped files"
for f in build/win32/bin/NimboraService.exe build/win32/bin/NimboraDefrag.exe build/win32/bin/nimbora.exe \
  build/win32/bin/NimboraTray.exe build/win32/bin/NimboraMessages.dll \
  build/win32/Nimbora-*-x86.msi build/win64/Nimbora-*-x64.msi; do
  if [[ -f "$f" ]]; then
    stat -c '%s %n' "$f" | awk '{ printf "   %-44s %8d bytes (%.1f KiB)\n", $2, $1, $1 / 1024 }'
  fi
done
for build in win32 win64; do
  echo "-- $build: $(grep -E 'tests passed|tests failed' build/$build/ctest.log | tail -1)"
done
exit "$status"

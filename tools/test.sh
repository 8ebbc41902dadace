#!/usr/bin/env bash
# Builds all three builds and runs every test: the native core under the
# sanitizers (with bounded fuzz runs), the static inspection of the 32-bit
# product, and the 64-bit Windows unit and end-to-end tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh

echo "== native: core under ASan/UBSan"
cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native

echo "== win32: product build and inspection"
cmake --preset win32 >/dev/null
cmake --build --preset win32
ctest --test-dir build/win32 --output-on-failure

echo "== win64: unit and end-to-end tests under Wine"
cmake --preset win64 >/dev/null
cmake --build --preset win64
source tools/wine-env.sh
wine_env_start
status=0
ctest --preset win64 | tee build/win64/ctest.log || status=$?

echo "== figures"
grep -hE '^(control storm|first batch|stop carried out|companion:)' build/win64/tests/e2e/*.out 2>/dev/null || true
grep -hE '^(tick_bench|footprint_bench):' build/win64/tests/bench/*.txt 2>/dev/null || true
grep -E 'tests passed|tests failed' build/win64/ctest.log | tail -1
exit "$status"

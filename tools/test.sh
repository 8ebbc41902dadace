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
ctest --preset win64

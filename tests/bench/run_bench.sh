#!/usr/bin/env bash
# Runs a benchmark under Wine and keeps its figures in a file beside the
# test's build output as well as in the test log.
set -euo pipefail
figures="$1"
shift
"$(dirname "$0")/../../tools/wine-run" "$@" | tee "$figures"

#!/usr/bin/env bash
# Runs an end-to-end test program under Wine with the event-log trace on and
# its stderr collected in a file, which the programs it starts inherit: the
# tests read the entries those programs write from there. A skipped test
# fails the run.
set -euo pipefail
log="$1"
shift
: >"$log"
export NIMBORA_E2E_STDERR_WIN="Z:${log//\//\\}"
export WINEDEBUG=-all,+eventlog
# Standard output is kept beside the log too, for the figures the tests print.
out="${log%.log}.out"
"$(dirname "$0")/../../tools/wine-run" "$@" 2>>"$log" | tee "$out"
status="${PIPESTATUS[0]}"
# A skipped check proves nothing: it fails the run.
if grep -q '^\[  SKIPPED \]' "$out"; then
  echo "FAIL: skipped checks count as failures"
  exit 1
fi
exit "$status"

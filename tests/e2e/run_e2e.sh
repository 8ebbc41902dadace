#!/usr/bin/env bash
# Runs an end-to-end test program under Wine with the event-log trace on and
# its stderr collected in a file, which the programs it starts inherit: the
# tests read the entries those programs write from there.
set -euo pipefail
log="$1"
shift
: >"$log"
export NIMBORA_E2E_STDERR_WIN="Z:${log//\//\\}"
export WINEDEBUG=-all,+eventlog
# Standard output is kept beside the log too, for the figures the tests print.
"$(dirname "$0")/../../tools/wine-run" "$@" 2>>"$log" | tee "${log%.log}.out"
exit "${PIPESTATUS[0]}"

#!/usr/bin/env bash
# NimboraDefrag.exe under Wine, end to end: the exit codes and event entries
# for bad and empty arguments; a batch of fifteen instances started side by
# side as the service starts them, of which exactly one works and the others
# hand their amounts over and exit at once; a window put in the foreground of
# the desktop, the largest candidate, which the worker's probe finds and
# protects; and a full-screen window, which holds the batch back.
# Under Wine a trim empties nothing: the worker stops after a few fruitless
# trims with a partial result (exit 3). How much a batch frees only Windows
# can show.
#
# The tests' build of the program is run (it appends each run's record line
# to the file NIMBORA_DEFRAG_REPORT names); the shipped one reads no such
# variable.
#
# Usage: defrag_e2e.sh <recording NimboraDefrag.exe> <ForegroundWindow.exe> [figures file]
set -uo pipefail
exe="$1"
window_exe="$2"
figures="${3:-/dev/null}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
run="$here/../../tools/wine-run"
work="$(mktemp -d)"
key='HKLM\Software\Wow6432Node\Korvex\Nimbora'
# What the companion keeps in the 32-bit view, and the settings set here.
forget() {
  "$run" reg delete "$key\\Batches" /f >/dev/null 2>&1
  for value in DefragTrimmed DefragRefusedUtc MemoryMaintain; do
    "$run" reg delete "$key" /v $value /f >/dev/null 2>&1
  done
}
trap 'forget; rm -rf "$work"' EXIT
forget
# The aim is the whole memory: the batch's ask alone decides what it needs.
"$run" reg add "$key" /v MemoryMaintain /t REG_DWORD /d 100 /f >/dev/null 2>&1
: >"$figures"
failures=0
bits=64
file -L "$exe" | grep -q 'PE32 ' && bits=32
# The fruitless trims after which the worker stops (DefragOptions).
fruitless_limit=3

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
figure() { echo "companion: $*" | tee -a "$figures"; }
win_path() { echo "Z:${1//\//\\}"; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
# Wine traces every insertion string of an entry on a line of its own: an
# entry's text is a sentence, the figures after it are numbers or "unknown".
entries_in() { grep -c 'eventlog:ReportEventW L"[A-Z]' "$@" 2>/dev/null | awk -F: '{s += $NF} END {print s + 0}'; }
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$2"; }

# argument(s) | expected exit code | expected event entries
while IFS='|' read -r label args code count; do
  err="$work/stderr"
  # shellcheck disable=SC2086
  if [[ "$label" == missing ]]; then
    WINEDEBUG=-all,+eventlog "$run" "$exe" 2>"$err"
  else
    WINEDEBUG=-all,+eventlog "$run" "$exe" $args 2>"$err"
  fi
  rc=$?
  entries=$(entries_in "$err")
  [[ "$rc" == "$code" ]] || fail "$label: exit $rc, expected $code"
  [[ "$entries" == "$count" ]] || fail "$label: $entries event entries, expected $count"
  echo "$label: exit $rc, $entries event entries"
done <<'CASES'
missing||2|1
abc|abc|2|1
12x|12x|2|1
99999999999999|99999999999999|2|1
two arguments|300 300|2|1
0|0|0|0
-5|-5|0|0
CASES

# Starts the window in the given mode; sets window_pid and window_job.
start_window() {
  local pid_file="$work/window.$1.pid"
  "$run" "$window_exe" "$(win_path "$pid_file")" 60 "$1" "$2" 2>/dev/null &
  window_job=$!
  for _ in $(seq 1 300); do [[ -s "$pid_file" ]] && break; sleep 0.1; done
  window_pid=$(cat "$pid_file" 2>/dev/null)
}
stop_window() {
  kill "$window_job" 2>/dev/null
  wait "$window_job" 2>/dev/null
  "$run" taskkill /f /pid "${window_pid%% *}" >/dev/null 2>&1
}

# The foreground window, holding the most private memory of any program, for
# the batch: found by the worker's probe and protected. (Without a foreground
# window the desktop's foreground is not known and the whole session is left
# alone.)
start_window window 400
[[ -n "$window_pid" ]] || fail "the foreground window did not start"
[[ "$window_pid" == *behind* ]] && echo "NOTE: the window did not come to the foreground on this display"

# A batch: fifteen instances of 1024 MB side by side, each timed.
report="$work/report.txt"
count=15
first_launch=$(now_ms)
instances=()
for i in $(seq 1 $count); do
  (
    start=$(now_ms)
    NIMBORA_DEFRAG_REPORT="$(win_path "$report.$i")" WINEDEBUG=-all,+eventlog "$run" "$exe" 1024 2>"$work/batch.$i"
    echo "$? $start $(now_ms)" >"$work/time.$i"
  ) &
  instances+=($!)
done
last_launch=$(now_ms)
wait "${instances[@]}"

echo "records:"
cat "$report".* 2>/dev/null >"$report"
cat "$report"
# The batch's worker: the first instance to record the role, and when it
# ended, as observed here.
worker_end=0
worker_line=""
for i in $(seq 1 $count); do
  read -r rc start end <"$work/time.$i"
  if grep -q ' role=worker ' "$report.$i" 2>/dev/null && { [[ -z "$worker_line" ]] || ((start < worker_start)); }; then
    worker_line=$(cat "$report.$i")
    worker_start=$start
    worker_end=$end
  fi
done
# The worker ends last; an instance launched after it ended belongs to a
# batch of its own. Lateness is taken from these observations, never from the
# product's own word.
observed_late=0
last_exit=0
for i in $(seq 1 $count); do
  read -r rc start end <"$work/time.$i"
  ((start >= worker_end)) && observed_late=$((observed_late + 1))
  ((end > last_exit)) && last_exit=$end
  echo "instance $i: exit $rc, started $((start - first_launch)) ms after the first launch, ran $((end - start)) ms"
done
batch=$(field batch "$worker_line")
workers=$(grep -c ' role=worker ' "$report")
in_batch=$(grep -c " batch=$batch " "$report")
handovers=$(grep " batch=$batch " "$report" | grep -c ' role=handed-over ')
late=$(grep -c ' role=late ' "$report")
[[ "$workers" == $((1 + observed_late)) ]] || fail "$workers workers, expected 1 (and $observed_late launched after it ended)"
[[ "$in_batch" == $((count - observed_late)) ]] || fail "$in_batch instances in batch $batch, expected $((count - observed_late))"
[[ "$handovers" == $((count - 1 - observed_late)) ]] ||
  fail "$handovers hand-overs, expected $((count - 1 - observed_late)); the product called $late late"
grep ' role=handed-over ' "$report" | grep -qv ' exit=0 ' && fail "a hand-over did not exit 0"
entries=$(entries_in "$work"/batch.*)
[[ "$entries" == $((1 + observed_late)) ]] || fail "$entries event entries for the batch, expected $((1 + observed_late))"
total_mb=$(awk '/MemTotal/ {printf "%d", $2 / 1024}' /proc/meminfo)
expected=$(((count - observed_late) * 1024))
((expected > total_mb)) && expected=$total_mb
asked=$(field asked_mb "$worker_line")
((asked >= expected - 1 && asked <= expected + 1)) || fail "the worker asked $asked MB, expected $expected"
worker_exit=$(field exit "$worker_line")
trims=$(field trimmed "$worker_line")
[[ "$worker_exit" == 3 ]] || fail "worker exit $worker_exit, expected 3 (partial: a trim frees nothing under Wine)"
[[ "$(field outcome "$worker_line")" == partial ]] || fail "worker outcome $(field outcome "$worker_line")"
# N.B. every trim is fruitless under Wine, save one that happens to coincide
# with a rise of the machine's memory from outside (the host's other work):
# the worker stops after the fruitless limit in a row, so at most that many
# trims on a quiet machine.
fruitless=$(field fruitless "$worker_line")
((fruitless >= fruitless_limit && trims >= fruitless)) ||
  fail "$trims trims of which $fruitless fruitless, expected a stop after $fruitless_limit fruitless"
# Once it has started, a hand-over exits at once.
slowest_handover=0
while read -r line; do
  ms=$(field run_ms "$line")
  ((ms > slowest_handover)) && slowest_handover=$ms
done < <(grep ' role=handed-over ' "$report")
few=2000
((bits == 32)) && few=6000
((slowest_handover < few)) || fail "a hand-over ran $slowest_handover ms"
if [[ -n "$window_pid" && "$window_pid" != *behind* ]]; then
  [[ "$(field sessions_protected "$worker_line")" == 0 ]] || fail "the probe did not find the foreground"
  [[ ",$(field trimmed_ids "$worker_line")," == *",$window_pid,"* ]] && fail "the foreground process was trimmed"
  figure "$bits-bit under Wine: the foreground window's process $window_pid (400 MB, the largest candidate) found by" \
    "the worker's probe and left alone; trimmed instead: $(field trimmed_ids "$worker_line")"
fi
stop_window
figure "$bits-bit under Wine: batch of $count real companions, first launch to last exit $((last_exit - first_launch)) ms" \
  "(launches spread over $((last_launch - first_launch)) ms); 1 worker (exit $worker_exit, $trims trims of which $fruitless fruitless," \
  "$(field ms "$worker_line") ms of work, $asked MB asked), $handovers handed over, $observed_late launched after the worker" \
  "ended; slowest hand-over $slowest_handover ms from its start to its exit; $entries event entries." \
  "Under Wine the trims free nothing: the memory freed only Windows can show."

# A full-screen window: the batch trims nothing and says so once.
"$run" reg delete "$key" /v DefragTrimmed /f >/dev/null 2>&1
start_window full-screen 0
if [[ -z "$window_pid" ]]; then
  fail "the full-screen window did not start"
elif [[ "$window_pid" == *behind* ]]; then
  fail "the full-screen window did not come to the foreground on this display: the full-screen check cannot be checked"
else
  : >"$report"
  NIMBORA_DEFRAG_REPORT="$(win_path "$report")" WINEDEBUG=-all,+eventlog "$run" "$exe" 100 2>"$work/full.err"
  rc=$?
  line=$(cat "$report")
  echo "$line"
  [[ "$rc" == 0 ]] || fail "full screen: exit $rc, expected 0"
  [[ "$(field outcome "$line")" == skipped ]] || fail "full screen: outcome $(field outcome "$line")"
  [[ "$(field full_screen "$line")" == 1 ]] || fail "full screen: $(field full_screen "$line") sessions in full screen"
  [[ "$(field trimmed "$line")" == 0 ]] || fail "full screen: $(field trimmed "$line") trims"
  [[ "$(entries_in "$work/full.err")" == 1 ]] || fail "full screen: $(entries_in "$work/full.err") entries, expected 1"
  grep -q 'ReportEventW L"Nothing was trimmed' "$work/full.err" || fail "full screen: not the entry expected"
  figure "$bits-bit under Wine: a full-screen window of process $window_pid held the batch back (nothing trimmed)"
fi
stop_window

if ((failures)); then
  echo "$failures failure(s)"
  exit 1
fi
echo "all passed"

#!/usr/bin/env bash
# NimboraDefrag.exe under Wine, end to end: the exit codes and event entries
# for bad and empty arguments; a batch of fifteen instances started side by
# side as the service starts them, of which exactly one works and the others
# hand their amounts over and exit at once; and a window put in the
# foreground of the desktop, which the worker's probe finds and protects.
# Under Wine a trim empties nothing, so the worker ends with a partial result
# (exit 3): how much a batch frees only Windows can show.
#
# Usage: defrag_e2e.sh <NimboraDefrag.exe> <ForegroundWindow.exe> [figures file]
set -uo pipefail
exe="$1"
window_exe="$2"
figures="${3:-/dev/null}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
run="$here/../../tools/wine-run"
work="$(mktemp -d)"
# What the companion keeps in the 32-bit view: remembered trims and history.
forget() {
  "$run" reg delete 'HKLM\Software\Wow6432Node\Korvex\Nimbora\Batches' /f >/dev/null 2>&1
  "$run" reg delete 'HKLM\Software\Wow6432Node\Korvex\Nimbora' /v DefragTrimmed /f >/dev/null 2>&1
}
trap 'forget; rm -rf "$work"' EXIT
forget
: >"$figures"
failures=0
bits=64
file -L "$exe" | grep -q 'PE32 ' && bits=32

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
figure() { echo "companion: $*" | tee -a "$figures"; }
win_path() { echo "Z:${1//\//\\}"; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
entries_in() { grep -c 'eventlog:ReportEventW' "$@" 2>/dev/null | awk -F: '{s += $NF} END {print s + 0}'; }
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

# A batch: fifteen instances of 1024 MB side by side, each timed.
report="$work/report.txt"
count=15
first_launch=$(now_ms)
for i in $(seq 1 $count); do
  (
    start=$(now_ms)
    NIMBORA_DEFRAG_REPORT="$(win_path "$report")" WINEDEBUG=-all,+eventlog "$run" "$exe" 1024 2>"$work/batch.$i"
    echo "$? $start $(now_ms)" >"$work/time.$i"
  ) &
done
last_launch=$(now_ms)
wait
# At most one companion a few seconds after the launches: the worker. A
# 32-bit Wine process starts through qemu-user, several times slower.
few=5000
((bits == 32)) && few=30000
running=0
for i in $(seq 1 $count); do
  read -r rc start end <"$work/time.$i"
  ((end > last_launch + few)) && running=$((running + 1))
done
((running <= 1)) || fail "$running companions still running $few ms after the launches"
last_exit=0
slowest_handover=0
for i in $(seq 1 $count); do
  read -r rc start end <"$work/time.$i"
  ((end > last_exit)) && last_exit=$end
  echo "instance $i: exit $rc after $((end - start)) ms"
done
entries=$(entries_in "$work"/batch.*)
[[ "$entries" == 1 ]] || fail "$entries event entries for the batch, expected 1"

echo "records:"
cat "$report" 2>/dev/null
workers=$(grep -c ' role=worker ' "$report")
# A hand-over, or an instance of the batch that reached the record after the
# worker had finished (qemu-user can take seconds to start a 32-bit process).
handovers=$(grep -cE ' role=(handed-over|late) ' "$report")
[[ "$workers" == 1 ]] || fail "$workers workers, expected 1"
[[ "$handovers" == $((count - 1)) ]] || fail "$handovers hand-overs, expected $((count - 1))"
worker_line=$(grep ' role=worker ' "$report" | head -1)
batch=$(field batch "$worker_line")
[[ "$(grep -c " batch=$batch " "$report")" == "$count" ]] || fail "not every instance joined batch $batch"
grep -E ' role=(handed-over|late) ' "$report" | grep -qv ' exit=0 ' && fail "a hand-over did not exit 0"
late=$(grep -c ' role=late ' "$report")
total_mb=$(awk '/MemTotal/ {printf "%d", $2 / 1024}' /proc/meminfo)
expected=$((count * 1024))
((expected > total_mb)) && expected=$total_mb
asked=$(field asked_mb "$worker_line")
expected=$((expected - late * 1024))
((asked >= expected - 1 && asked <= expected + 1)) || fail "the worker asked $asked MB, expected $expected"
worker_exit=$(field exit "$worker_line")
[[ "$worker_exit" == 0 || "$worker_exit" == 3 ]] || fail "worker exit $worker_exit"
# Once it has started, a hand-over exits at once.
while read -r line; do
  ms=$(field run_ms "$line")
  ((ms > slowest_handover)) && slowest_handover=$ms
done < <(grep -E ' role=(handed-over|late) ' "$report")
((slowest_handover < 2000)) || fail "a hand-over ran $slowest_handover ms"
figure "$bits-bit under Wine: batch of $count real companions, first launch to last exit $((last_exit - first_launch)) ms" \
  "(launches spread over $((last_launch - first_launch)) ms); 1 worker (exit $worker_exit, $(field trimmed "$worker_line") trims," \
  "$(field ms "$worker_line") ms of work), $handovers handed over ($late of them after the worker had finished), slowest hand-over $slowest_handover ms from its start to its exit; 1 event entry." \
  "Under Wine the trims free nothing: the memory freed only Windows can show."

# The foreground window: found by the probe and protected.
pid_file="$work/foreground.pid"
"$run" "$window_exe" "$(win_path "$pid_file")" 30 2>/dev/null &
window_job=$!
for _ in $(seq 1 200); do [[ -s "$pid_file" ]] && break; sleep 0.1; done
window_pid=$(cat "$pid_file" 2>/dev/null)
if [[ -z "$window_pid" ]]; then
  fail "the foreground window did not start"
elif [[ "$window_pid" == *behind* ]]; then
  fail "the window did not come to the foreground on this display: the probe cannot be checked"
else
  : >"$report"
  NIMBORA_DEFRAG_REPORT="$(win_path "$report")" "$run" "$exe" 100 2>/dev/null
  line=$(cat "$report")
  echo "$line"
  fg=$(field foreground "$line")
  [[ "$fg" == "$window_pid" ]] || fail "foreground $fg, expected the window's process $window_pid"
  [[ ",$(field trimmed_ids "$line")," == *",$window_pid,"* ]] && fail "the foreground process was trimmed"
  [[ "$fg" == "$window_pid" ]] &&
    figure "$bits-bit under Wine: the foreground window's process $window_pid found by the probe and left alone"
fi
kill "$window_job" 2>/dev/null
wait "$window_job" 2>/dev/null

if ((failures)); then
  echo "$failures failure(s)"
  exit 1
fi
echo "all passed"

#!/usr/bin/env bash
# NimboraDefrag.exe under Wine, end to end: the exit codes and event entries
# for bad and empty arguments, and a batch of three instances started side by
# side as the service starts them. Under Wine the trims empty nothing and the
# memory-list commands are stubs, so each instance ends either with the
# target met (the host freed memory meanwhile) or "not available", after its
# last resort really committed, touched and released memory: its record line
# shows the bytes held and the peak working set they caused.
#
# Usage: defrag_e2e.sh <NimboraDefrag.exe>
set -uo pipefail
exe="$1"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
run="$here/../../tools/wine-run"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Runs the program with the given arguments; sets rc and entries (the number
# of event-log entries it wrote).
run_one() {
  local err="$work/stderr"
  WINEDEBUG=-all,+eventlog "$run" "$exe" "$@" 2>"$err"
  rc=$?
  entries=$(grep -c 'err:eventlog:ReportEventW' "$err")
}

# argument(s) | expected exit code | expected event entries
while IFS='|' read -r label args code count; do
  # shellcheck disable=SC2086
  if [[ "$label" == missing ]]; then run_one; else run_one $args; fi
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

# A batch: three instances side by side.
report="$work/report.txt"
report_win="Z:${report//\//\\}"
pids=()
sizes=(1024 1024 300)
for i in 0 1 2; do
  NIMBORA_DEFRAG_REPORT="$report_win" WINEDEBUG=-all,+eventlog "$run" "$exe" "${sizes[$i]}" 2>"$work/batch.$i" &
  pids+=($!)
done
for i in 0 1 2; do
  wait "${pids[$i]}"
  rc=$?
  entries=$(grep -c 'err:eventlog:ReportEventW' "$work/batch.$i")
  echo "batch instance ${sizes[$i]} MB: exit $rc, $entries event entries"
  case "$rc" in
    0) [[ "$entries" == 0 ]] || fail "instance ${sizes[$i]} MB met its target yet wrote $entries entries" ;;
    3) [[ "$entries" == 1 ]] || fail "instance ${sizes[$i]} MB: not available with $entries entries" ;;
    *) fail "instance ${sizes[$i]} MB: exit $rc, expected 0 or 3" ;;
  esac
done

echo "records:"
cat "$report" 2>/dev/null
lines=$(wc -l <"$report" 2>/dev/null || echo 0)
[[ "$lines" == 3 ]] || fail "$lines record lines, expected 3"

field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$2"; }
# By position: the batch, the instance's request, its share and the baseline.
declare -A asked share batch baseline
held_seen=0
while read -r line; do
  p=$(field position "$line")
  asked[$p]=$(field asked_mb "$line")
  share[$p]=$(field share_mb "$line")
  batch[$p]=$(field batch "$line")
  baseline[$p]=$(field baseline_mb "$line")
  held=$(field held "$line")
  peak=$(field peak_ws "$line")
  if [[ "$line" == *last-resort:done* ]]; then
    held_seen=1
    ((held > 0)) || fail "last resort done without holding memory: $line"
    # Every held page was touched: the peak working set covers them all.
    ((peak >= held)) || fail "peak working set $peak below the $held bytes held: $line"
  fi
done <"$report"
((held_seen)) || fail "no instance ran the last resort"
[[ "$(printf '%s\n' "${!share[@]}" | sort | tr '\n' ' ')" == "1 2 3 " ]] || fail "positions ${!share[*]}"
# One batch, one baseline, and each instance works towards the baseline plus
# the requests up to and including its own, in join order.
sum=0
for p in 1 2 3; do
  sum=$((sum + ${asked[$p]:-0}))
  [[ "${share[$p]:-}" == "$sum" ]] || fail "position $p: share ${share[$p]:-none} MB, expected $sum"
  [[ "${batch[$p]:-}" == "${batch[1]:-}" ]] || fail "position $p in batch ${batch[$p]:-none}, not ${batch[1]:-none}"
  [[ "${baseline[$p]:-}" == "${baseline[1]:-}" ]] || fail "position $p: baseline ${baseline[$p]:-none} MB"
done

if ((failures)); then
  echo "$failures failure(s)"
  exit 1
fi
echo "all passed"

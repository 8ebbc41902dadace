#!/usr/bin/env bash
# Builds Nimbora's three programs and shows its main job under Wine: the
# service, once installed and running, decides every second whether memory
# should be freed, and when it should, launches the companion, whose batch
# ends with one event-log entry. The script installs the 32-bit service with
# its own switch, makes it act at once with nimbora.exe, waits for the
# service's uptime gate if the machine has just started, shows nimbora status,
# starts the service, shows each companion launch and each event-log entry as
# it happens, then nimbora status and history again, and stops and removes
# the service (also on Ctrl-C).
#
#   tools/run.sh            watch until the first batch's entry (at most 5 minutes)
#   tools/run.sh SECONDS    watch for that many seconds (one batch a minute)
#
# NIMBORA_RUN_UPTIME=SECONDS (for testing the countdown only) makes the
# countdown start from that uptime instead of the machine's.
set -euo pipefail
cd "$(dirname "$0")/.."
watch_seconds="${1:-}"
if [[ -n "$watch_seconds" && ! "$watch_seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: tools/run.sh [seconds to watch]" >&2
  exit 2
fi
# Without an argument: this long at most for the first batch's entry, then a
# few seconds for whatever that batch still writes.
first_batch_limit=300
after_first_batch=5

stamp() { date +%T; }
duration() {  # seconds -> "1 min 12 s"
  local s=$1
  if ((s >= 60)); then echo "$((s / 60)) min $((s % 60)) s"; else echo "$s s"; fi
}

bash tools/setup.sh

# The product: the 32-bit service and companion and the administrator's tool,
# built alone (the tests and packages are tools/test.sh's work).
if [[ ! -f build/win32/CMakeCache.txt ]]; then
  echo "== configuring the 32-bit build in build/win32"
fi
configure_log=$(mktemp)
if ! cmake --preset win32 >"$configure_log" 2>&1; then
  cat "$configure_log"
  rm -f "$configure_log"
  exit 1
fi
rm -f "$configure_log"
echo "== building NimboraService.exe, NimboraDefrag.exe and nimbora.exe (32-bit)"
cmake --build --preset win32 --target NimboraService NimboraDefrag nimbora

source tools/wine-env.sh
if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  echo "== creating the Wine prefix $WINEPREFIX (once: about 1.3 GB, under a minute)"
fi
wine_env_start
wine() { /usr/lib/wine/wine64 "$@"; }  # hands 32-bit programs to the 32-bit loader

bin=build/win32/bin
drive_c="$WINEPREFIX/drive_c"
folder="$drive_c/Program Files (x86)/Nimbora"
mkdir -p "$folder"
cp "$bin/NimboraService.exe" "$bin/NimboraDefrag.exe" "$bin/nimbora.exe" "$folder/"
exe='C:\Program Files (x86)\Nimbora\NimboraService.exe'
nimbora() { wine 'C:\Program Files (x86)\Nimbora\nimbora.exe' "$@" | tr -d '\r'; }

cleanup() {
  trap - INT TERM EXIT
  echo "== stopping and removing the service"
  wine sc stop Nimbora >/dev/null 2>&1 || true
  sleep 1
  wine "$exe" /uninstall /silent >/dev/null 2>&1 || true
  # The 32-bit service reads the 32-bit view of the key (WOW6432Node).
  wine reg delete 'HKLM\Software\Korvex\Nimbora' /f /reg:32 >/dev/null 2>&1 || true
  wine_env_stop
}
trap cleanup INT TERM EXIT

echo "== installing: NimboraService.exe /install /silent"
wine "$exe" /install /silent
wine reg query 'HKLM\SYSTEM\CurrentControlSet\Services\Nimbora' 2>/dev/null | tr -d '\r' |
  grep -E 'DisplayName|Description|ImagePath|Start|Type|ObjectName' || true

# Act whenever the machine is not busy: trigger at any level of available
# memory, free 5 percent of it at a time, at most once a minute.
echo "== nimbora set MemoryMaintain 100, MemoryFree 5, ExecutePeriod 1"
nimbora set MemoryMaintain 100
nimbora set MemoryFree 5
nimbora set ExecutePeriod 1

# The service's uptime gate: it rounds the uptime to whole seconds, then to
# whole minutes (a half to the even neighbour), and acts from 5 minutes on,
# that is from 271 s of uptime (Wine's uptime is the host's).
gate_seconds=271
countdown_from="${NIMBORA_RUN_UPTIME:-}"
countdown_start=$SECONDS
uptime_seconds() {
  if [[ -n "$countdown_from" ]]; then
    echo $((countdown_from + SECONDS - countdown_start))
  else
    awk '{ printf "%d", $1 }' /proc/uptime
  fi
}
wait_for_uptime_gate() {
  local up left shown=""
  up=$(uptime_seconds)
  ((up < gate_seconds)) || return 0
  echo "== waiting for the uptime gate: the service acts only once the machine has been up"
  echo "   4 min 31 s (uptime in whole minutes reaches 5); it has been up $(duration "$up"),"
  echo "   so $(duration $((gate_seconds - up))) to wait"
  while :; do
    left=$((gate_seconds - $(uptime_seconds)))
    ((left > 0)) || break
    if [[ -t 1 ]]; then
      printf '\r   %-20s' "$(duration "$left") left"
    elif [[ -z "$shown" ]] || ((shown - left >= 15)); then
      echo "   $(duration "$left") left"
      shown=$left
    fi
    sleep 1
  done
  [[ -t 1 ]] && printf '\r'
  echo "   $(stamp) the machine has been up $(duration "$(uptime_seconds)"): the gate is open"
}
wait_for_uptime_gate

echo "== nimbora status (before the start: what a tick would do)"
nimbora status || true

if [[ -n "$watch_seconds" ]]; then
  echo "== starting the service; watching for $watch_seconds s (Ctrl-C ends)"
else
  echo "== starting the service; watching until the first batch's entry (at most $(duration $first_batch_limit); Ctrl-C ends)"
fi
wine sc start Nimbora >/dev/null 2>&1
watch_start=$SECONDS
end=$((SECONDS + ${watch_seconds:-$first_batch_limit}))
launches=0
entries=0
warning_explained=""
declare -A seen=()
logged=$(wc -l <"$NIMBORA_SERVICES_LOG")
while ((SECONDS < end)); do
  while read -r pid args; do
    [[ -n "${seen[$pid]:-}" ]] && continue
    seen[$pid]=1
    # The emulator and Wine's loader head the line: the Windows command line follows them.
    command_line=$(sed -E 's#^(/[^ ]* )+##' <<<"$args")
    if [[ "$command_line" =~ NimboraDefrag\.exe\ [0-9]+$ ]]; then
      launches=$((launches + 1))
      echo "$(stamp) launch: $command_line"
    else
      # The companion started by the batch's worker for a side task (finding
      # the foreground program): not a launch of the service.
      echo "$(stamp) the worker's helper: $command_line"
    fi
  done < <(ps -eo pid=,args= | grep -F 'Nimbora\NimboraDefrag.exe' | grep -v grep || true)
  # Event-log entries (the companion's outcome of each batch, the service's
  # errors) reach the services log through Wine's eventlog trace, one line per
  # string, its level the entry's type.
  total=$(wc -l <"$NIMBORA_SERVICES_LOG")
  if ((total > logged)); then
    while IFS= read -r line; do
      [[ "$line" =~ ^[0-9a-f]+:([a-z]+):eventlog:ReportEventW\ L\"(.*)\"(\.\.\.)?$ ]] || continue
      kind=${BASH_REMATCH[1]} text=${BASH_REMATCH[2]}
      # N.B. an entry's figures follow its text as strings of their own: a
      # text is a sentence, a figure a number (or "unknown").
      [[ "$text" =~ ^[A-Z] ]] || continue
      case "$kind" in err) level=Error ;; warn) level=Warning ;; *) level=Information ;; esac
      echo "$(stamp) event ($level): ${text//\\n/ }"
      entries=$((entries + 1))
      # N.B. only the companion writes warnings: the service logs errors alone.
      if [[ "$level" == Warning && -z "$warning_explained" ]]; then
        warning_explained=1
        echo "         (Under Wine every batch ends with a Warning entry, the goal only partly met."
        echo "         Wine's desktop here shows no window, so the companion cannot tell which"
        echo "         program is in the foreground and leaves the whole session alone; and where"
        echo "         it does trim, Wine accepts each trim and does nothing with it, so available"
        echo "         memory does not rise. That is expected here, not a fault; on Windows a batch"
        echo "         that frees what the pressure needs writes an Information entry.)"
      fi
      if [[ -z "$watch_seconds" && $entries == 1 ]]; then
        end=$((SECONDS + after_first_batch))
      fi
    done < <(sed -n "$((logged + 1)),${total}p" "$NIMBORA_SERVICES_LOG" | tr -d '\r')
    logged=$total
  fi
  sleep 0.1
done

plural() { (($1 == 1)) && echo "$1 $2" || echo "$1 $3"; }
echo "== watched $(duration $((SECONDS - watch_start))): $(plural $launches launch launches)," \
  "$(plural $entries 'event-log entry' 'event-log entries')"
echo "== nimbora status (after: the period gate counts from the last batch)"
nimbora status || true
echo "== nimbora history (the companion's record of each batch)"
nimbora history || true
if [[ -z "$watch_seconds" ]] && ((entries == 0)); then
  echo "run: no event-log entry arrived within $(duration $first_batch_limit); the gates above say why" >&2
  exit 1
fi

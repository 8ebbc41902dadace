#!/usr/bin/env bash
# Builds Nimbora and runs its main job under Wine: installs the 32-bit service
# with its own switch, configures it to act with nimbora.exe and shows that
# tool's verdict, starts the service through the Service Control Manager and
# shows each companion launch and each event-log entry (the outcome of each
# batch) as it happens. Stops and removes the service on Ctrl-C or after the
# given number of seconds (default 90).
#
#   tools/run.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-90}"

bash tools/setup.sh
# The product: the 32-bit service and companion, run by 32-bit Wine through qemu-user.
cmake --preset win32 >/dev/null && cmake --build --preset win32 >/dev/null

source tools/wine-env.sh
wine_env_start
wine() { /usr/lib/wine/wine64 "$@"; }  # hands 32-bit programs to the 32-bit loader

bin=build/win32/bin
drive_c="$WINEPREFIX/drive_c"
folder="$drive_c/Program Files (x86)/Nimbora"
mkdir -p "$folder"
cp "$bin/NimboraService.exe" "$bin/NimboraDefrag.exe" "$bin/nimbora.exe" "$folder/"
exe='C:\Program Files (x86)\Nimbora\NimboraService.exe'
nimbora() { wine 'C:\Program Files (x86)\Nimbora\nimbora.exe' "$@"; }

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
echo "== nimbora status (before the start: what a tick would do)"
nimbora status || true

uptime_ms=$(awk '{printf "%d", $1 * 1000}' /proc/uptime)
if ((uptime_ms < 271000)); then
  echo "(the machine has been up $((uptime_ms / 1000)) s; the service waits until 4.5 minutes of uptime)"
fi

echo "== starting the service; watching companion launches for $seconds s (Ctrl-C ends)"
wine sc start Nimbora >/dev/null 2>&1
declare -A seen=()
logged=$(wc -l <"$NIMBORA_SERVICES_LOG")
end=$((SECONDS + seconds))
while ((SECONDS < end)); do
  while read -r pid args; do
    [[ -n "${seen[$pid]:-}" ]] && continue
    seen[$pid]=1
    # The emulator and Wine's loader head the line: the Windows command line follows them.
    echo "$(date +%T) launch: $(sed -E 's#^(/[^ ]* )+##' <<<"$args")"
  done < <(ps -eo pid=,args= | grep -F 'Nimbora\NimboraDefrag.exe' | grep -v grep || true)
  # Event-log entries (the companion's outcome of each batch, the service's
  # errors) reach the services log through Wine's eventlog trace.
  total=$(wc -l <"$NIMBORA_SERVICES_LOG")
  if ((total > logged)); then
    sed -n "$((logged + 1)),${total}p" "$NIMBORA_SERVICES_LOG" | tr -d '\r' |
      sed -nE 's/^[0-9a-f]+:([a-z]+):eventlog:ReportEventW L"(.*)"(\.\.\.)?$/\1 \2/p' |
      while read -r level text; do
        case "$level" in err) level=error ;; warn) level=warning ;; *) level=information ;; esac
        echo "$(date +%T) event ($level): ${text//\\n/ }"
      done
    logged=$total
  fi
  sleep 0.1
done

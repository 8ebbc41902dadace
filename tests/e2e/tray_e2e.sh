#!/usr/bin/env bash
# NimboraTray.exe under Wine and Xvfb, end to end:
#  - the program starts, its icon appears in Wine's notification area with
#    the available memory; a second start in the session brings the first
#    one's window forward and ends; one instance stays; the Restart
#    Manager's request (an installer replacing the file) ends it, and so
#    does WM_CLOSE;
#  - the same window code with test seams (TrayTestHost.exe): the number
#    follows scripted readings and takes its second colour at the trigger
#    level; the icon's click message opens the window; a setting applied
#    through a fake elevation that runs nimbora.exe reaches the registry;
#    "free memory now" runs the companion with the amount the settings give
#    and tells its outcome from the batch it recorded; a refused elevation
#    changes nothing and the window says so;
#  - a screenshot of the window in each of the five languages.
#
# Usage: tray_e2e.sh <NimboraTray.exe> <TrayTestHost.exe> <TrayDriver.exe> <nimbora.exe> <output folder>
#                    <NimboraDefrag.exe>
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
run="$here/../../tools/wine-run"
out_dir="$5"
[[ -n "${DISPLAY:-}" ]] || { echo "no X display"; exit 1; }
prefix="${WINEPREFIX:-$here/../../build/wineprefix}"
folder="$prefix/drive_c/Nimbora Tray"
win='C:\Nimbora Tray'
mkdir -p "$folder" "$out_dir"
cp "$1" "$folder/NimboraTray.exe"
cp "$2" "$folder/TrayTestHost.exe"
cp "$3" "$folder/TrayDriver.exe"
cp "$4" "$folder/nimbora.exe"
cp "$6" "$folder/NimboraDefrag.exe"
settings='HKLM\Software\Wow6432Node\Korvex\Nimbora'
fontlink='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink'
forget() {
  "$run" reg delete "$settings" /v MemoryFree /f >/dev/null 2>&1
  "$run" reg delete "$settings" /v MemoryMaintain /f >/dev/null 2>&1
  "$run" reg delete "$settings\\Batches" /f >/dev/null 2>&1
  "$run" reg delete "$settings" /v DefragTrimmed /f >/dev/null 2>&1
}
started=()
cleanup() {
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null; done
  forget
  "$run" reg delete "$fontlink" /v Tahoma /f >/dev/null 2>&1
  rm -rf "$folder"
}
trap cleanup EXIT
forget
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
driver() { "$run" "$win\\TrayDriver.exe" "$@" 2>/dev/null | tr -d '\r'; }
# Waits for the icon, then clicks it: the window opens.
open_window() { driver click >/dev/null; }
# The test host's script: total and available bytes, and how the elevation answers.
script() { printf '%s %s %s\n' "$1" "$2" "$3" >"$folder/script.txt"; }
gib=1073741824

# Line $1 of the text $2.
line() { sed -n "$1p" <<<"$2"; }
t0=$SECONDS

echo "-- the program itself"
"$run" "$win\\NimboraTray.exe" 2>/dev/null &
first=$!
started+=("$first")
state="$(driver wait-icon)"
echo "first start: $state"
[[ "$state" =~ ^icon\ [0-9]+ ]] || fail "no icon in the notification area"
[[ "$state" == *window* ]] && fail "the window showed at start-up"
"$run" "$win\\NimboraTray.exe" 2>/dev/null
second=$?
[[ "$second" == 0 ]] || fail "the second start ended with $second"
kill -0 "$first" 2>/dev/null || fail "the first instance ended"
out="$(driver instances + wait-icon + taskbar-created + endsession)"
[[ "$(line 1 "$out")" == 1 ]] || fail "$(line 1 "$out") instances after two starts"
echo "after a second start: $(line 2 "$out")"
[[ "$(line 2 "$out")" == *window* ]] || fail "the second start did not bring the window forward"
# What Explorer broadcasts when it starts again: the icon is (still) there.
echo "after the shell's TaskbarCreated: $(line 3 "$out")"
[[ "$(line 3 "$out")" =~ ^icon\ [0-9]+ ]] || fail "no icon after the shell's TaskbarCreated"
[[ "$out" == *FAIL* ]] && fail "the Restart Manager's request did not end the program ($out)"
wait "$first"
echo "ended with $? ($((SECONDS - t0)) s)"

echo "-- scripted readings, fake elevation that runs nimbora.exe"
# No settings key at the start: the program watches its parent until it is created.
"$run" reg delete "$settings" /f >/dev/null 2>&1
script $((8 * gib)) $((4 * gib)) direct
"$run" "$win\\TrayTestHost.exe" "$win\\script.txt" english 2>/dev/null &
host=$!
started+=("$host")
state="$(driver wait-icon 50)"
echo "4 GiB of 8 available: $state"
[[ "$state" == "icon 50" ]] || fail "expected icon 50, got '$state'"
script $((8 * gib)) $((2 * gib)) direct
state="$(driver wait-icon 25 low)"
echo "2 GiB of 8 available: $state"
[[ "$state" == "icon 25 low" ]] || fail "expected icon 25 in the second colour (trigger 30 %), got '$state'"
# Written from outside, creating the key: the program hears of it, no polling.
"$run" reg add "$settings" /v MemoryMaintain /t REG_DWORD /d 20 /f >/dev/null 2>&1
out="$(driver wait-icon 25 high + click + set MemoryFree 25 + setting MemoryFree + set MemoryFree 250 + press free)"
echo "MemoryMaintain 20 written by another program: $(line 1 "$out")"
[[ "$(line 1 "$out")" == "icon 25" ]] || fail "expected icon 25 in the first colour (trigger 20 %), got '$(line 1 "$out")'"
echo "apply MemoryFree 25: $(line 2 "$out")"
[[ "$(line 2 "$out")" == "MemoryFree is now 25." ]] || fail "outcome line '$(line 2 "$out")'"
[[ "$(line 3 "$out")" == 25 ]] || fail "MemoryFree in the registry: '$(line 3 "$out")'"
echo "apply MemoryFree 250: $(line 4 "$out")"
[[ "$(line 4 "$out")" == *"takes a whole number from 0 to 100"* ]] || fail "an out-of-range value was not refused in the window"
# 25 % of the 8 GiB the readings give. The companion measures the real
# machine: with its memory above the aim it needs to free nothing, and under
# Wine a trim frees nothing.
echo "free memory now: $(line 5 "$out")"
[[ "$(line 5 "$out")" =~ ^[0-9]{2}:[0-9]{2}:\ freed\ [0-9]+\ MB\ of\ 2048\ MB\ asked\ \((partial|goal\ met|nothing\ needed)\)\.$ ]] ||
  fail "free memory now: '$(line 5 "$out")'"
[[ "$out" == *FAIL* ]] && fail "driver: $out"
sleep 1  # one more tick: the chart has two readings
import -window root "$out_dir/tray-english.png"
echo "($((SECONDS - t0)) s)"

echo "-- refused elevation"
script $((8 * gib)) $((2 * gib)) refuse
out="$(driver set MemoryFree 40 + setting MemoryFree + close)"
echo "apply MemoryFree 40, prompt cancelled: $(line 1 "$out")"
[[ "$(line 1 "$out")" == "The administrator's approval was refused or cancelled; nothing was changed." ]] ||
  fail "outcome line '$(line 1 "$out")'"
[[ "$(line 2 "$out")" == 25 ]] || fail "a refused elevation changed MemoryFree to '$(line 2 "$out")'"
[[ "$out" == *FAIL* ]] && fail "driver: $out"
wait "$host"
echo "($((SECONDS - t0)) s)"

echo "-- each language"
# Wine's Tahoma has no Hangul: the window's font links to Nanum Gothic
# (fonts-nanum, installed by tools/setup.sh), as Windows links its own fonts.
"$run" reg add "$fontlink" /v Tahoma /t REG_MULTI_SZ /d 'NanumGothic.ttf,NanumGothic' /f >/dev/null 2>&1
"$run" "$win\\TrayTestHost.exe" "$win\\script.txt" french korean prtbrzl russian 2>/dev/null &
host=$!
started+=("$host")
for language in french korean prtbrzl russian; do
  # The window of this language opens once the previous one has ended.
  driver click >/dev/null || fail "$language: the window did not open"
  sleep 0.3
  import -window root "$out_dir/tray-$language.png"
  driver close >/dev/null || fail "$language: WM_CLOSE did not end the window"
done
wait "$host"
for language in english french korean prtbrzl russian; do
  [[ -s "$out_dir/tray-$language.png" ]] || fail "no screenshot for $language"
done
echo "screenshots: $out_dir/tray-{english,french,korean,prtbrzl,russian}.png ($((SECONDS - t0)) s)"
[[ "$failures" == 0 ]] || { echo "$failures failure(s)"; exit 1; }
echo "all passed"

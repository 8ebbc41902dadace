#!/usr/bin/env bash
# One installation as a user sees it: the real success dialog under the X
# display, photographed (the picture checked to show the box where its window
# is), its caption and text checked, dismissed with Return as a person would,
# and the exit code checked.
#
#   dialog_screenshot.sh <NimboraService.exe> <output.png>
set -euo pipefail
exe_src="$1"
shot="$2"
[[ -n "${DISPLAY:-}" ]] || { echo "no X display"; exit 1; }
wine=/usr/lib/wine/wine64
folder="$WINEPREFIX/drive_c/Nimbora Dialog"
mkdir -p "$folder"
cp "$exe_src" "$folder/NimboraService.exe"
exe='C:\Nimbora Dialog\NimboraService.exe'
trace="$(mktemp)"
# N.B. removal goes through sc: the executable shows its failure boxes even
# with /silent, and a missing service is a failure.
trap 'rm -f "$trace"; $wine sc delete Nimbora >/dev/null 2>&1 || true' EXIT
$wine sc delete Nimbora >/dev/null 2>&1 || true

WINEDEBUG=-all,+msgbox $wine "$exe" /install 2>"$trace" &
pid=$!

window=""
for _ in $(seq 200); do
  window="$(xdotool search --name '^Information$' 2>/dev/null | head -1 || true)"
  [[ -n "$window" ]] && break
  sleep 0.1
done
[[ -n "$window" ]] || { echo "FAIL: no dialog appeared"; kill "$pid"; exit 1; }
sleep 0.5
import -window root "$shot"
caption="$(xdotool getwindowname "$window")"
eval "$(xdotool getwindowgeometry --shell "$window")"  # X, Y, WIDTH, HEIGHT
xdotool windowactivate --sync "$window" 2>/dev/null || true
xdotool key --window "$window" Return
wait "$pid"
status=$?

text="$(grep -o 'MSGBOX_OnInit L"[^"]*"' "$trace" | head -1 | sed 's/.*L"\(.*\)"/\1/')"
echo "dialog: caption '$caption', text '$text', exit code $status, screenshot $shot"
[[ "$caption" == "Information" ]] || { echo "FAIL: caption"; exit 1; }
[[ "$text" == "Service installed successfully" ]] || { echo "FAIL: text"; exit 1; }
[[ "$status" == 0 ]] || { echo "FAIL: exit code"; exit 1; }
[[ -s "$shot" ]] || { echo "FAIL: no screenshot"; exit 1; }

# The picture shows the box where the window is: a light face of a box's size,
# drawn on (icon, text and button), with the dark strokes of its line of text.
((WIDTH >= 120 && WIDTH <= 800 && HEIGHT >= 50 && HEIGHT <= 400)) ||
  { echo "FAIL: a window of ${WIDTH}x$HEIGHT is not the box"; exit 1; }
read -r mean deviation drawn < <(convert "$shot" -crop "${WIDTH}x$HEIGHT+$X+$Y" +repage -colorspace gray \
  -format '%[fx:int(mean*100)] %[fx:standard_deviation*100] %[fx:standard_deviation>=0.05]\n' info:)
dark="$(convert "$shot" -crop "${WIDTH}x$HEIGHT+$X+$Y" +repage -colorspace gray -threshold 40% -negate \
  -format '%[fx:int(mean*w*h)]' info:)"
echo "picture: box ${WIDTH}x$HEIGHT at $X,$Y, brightness $mean %, deviation $deviation %, $dark dark pixels"
((mean >= 70)) || { echo "FAIL: the box's area is not a light face"; exit 1; }
[[ "$drawn" == 1 ]] || { echo "FAIL: nothing drawn on the box's area"; exit 1; }
((dark >= 200)) || { echo "FAIL: no text on the box's area"; exit 1; }

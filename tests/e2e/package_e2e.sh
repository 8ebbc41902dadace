#!/usr/bin/env bash
# The package and nimbora.exe end to end under Wine, against the real
# registry and Service Control Manager with the real service:
#   - the package's tables (directory, components, files, custom actions);
#   - msiexec /i /qn with the public properties: files in Program Files,
#     the service registered as /install does, localized, running, the
#     settings written in the 32-bit view;
#   - nimbora status, set, reset and history on the installed service;
#   - the next version installed over it: upgraded in place, settings kept;
#   - msiexec /x /qn: no service, no files, the settings intact;
#   - a registration that fails (a refused property) fails the installation
#     and rolls it back.
#
# Usage: package_e2e.sh ARCH VERSION PACKAGE.msi SERVICE.exe DEFRAG.exe TOOL.exe
set -uo pipefail
arch="$1" version="$2" msi="$3" service_exe="$4" defrag_exe="$5" tool_exe="$6"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$here/../.."
run="$root/tools/wine-run"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
check() {  # check DESCRIPTION COMMAND...: passes when the command succeeds
  local what="$1"
  shift
  if "$@"; then echo "ok: $what"; else fail "$what"; fi
}
win() { local p="$1"; echo "Z:${p//\//\\}"; }
reg32() { "$run" reg query 'HKLM\Software\Wow6432Node\Korvex\Nimbora' "$@" 2>/dev/null | tr -d '\r'; }
# The DWORD value of a setting in the 32-bit view, as "0x.."; empty when missing.
setting() { reg32 /v "$1" | awk -v n="$1" '$1 == n { print $3 }'; }
# The service's key as reg prints it; empty when there is no such key (reg
# prints its refusal on standard output too).
service_key() {
  local text
  text=$("$run" reg query 'HKLM\SYSTEM\CurrentControlSet\Services\Nimbora' "$@" 2>/dev/null) && tr -d '\r' <<<"$text"
}
service_value() { service_key /v "$1" | awk -v n="$1" '$1 == n { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'; }
json_has() { grep -qF -- "$2" <<<"$1"; }

if [[ "$arch" == x64 ]]; then
  folder_win='C:\Program Files\Nimbora'
  program_files_dir=ProgramFiles64Folder
  component_attributes=256
  run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
else
  folder_win='C:\Program Files (x86)\Nimbora'
  program_files_dir=ProgramFilesFolder
  component_attributes=0
  run_key='HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Run'
fi
# The desktop program's log-on entry as reg prints it; empty when missing.
run_entry() { "$run" reg query "$run_key" /v NimboraTray 2>/dev/null | tr -d '\r' | awk '$1 == "NimboraTray"'; }
folder="$WINEPREFIX/drive_c/${folder_win#C:\\}"
folder="${folder//\\//}"
tool="$folder_win\\nimbora.exe"
nimbora() { "$run" "$tool" "$@" 2>"$work/stderr" | tr -d '\r'; return "${PIPESTATUS[0]}"; }

echo "== tables of $(basename "$msi")"
table() { msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4; }
check "INSTALLDIR is Nimbora under $program_files_dir" \
  grep -qx "INSTALLDIR	$program_files_dir	Nimbora" <(table Directory)
for file in NimboraService.exe NimboraDefrag.exe nimbora.exe NimboraTray.exe; do
  check "component of $file in INSTALLDIR, attributes $component_attributes" \
    grep -qE "^[A-Za-z]+	\{[0-9A-F-]+\}	INSTALLDIR	$component_attributes		$file\$" <(table Component)
done
check "no ServiceInstall rows: the custom action registers the service" test -z "$(table ServiceInstall)"
check "registration: deferred, no impersonation, with the properties" grep -qx \
  "NimboraRegister	3090	nimbora.exe	service-install MemoryMaintain=\[MEMORYMAINTAIN\] MemoryFree=\[MEMORYFREE\] Language=\[LANGUAGE\]	" \
  <(table CustomAction)
check "registration's rollback removes the service" \
  grep -qx "NimboraRegisterRollback	3410	nimbora.exe	service-remove	" <(table CustomAction)
check "removal: deferred, no impersonation" \
  grep -qx "NimboraUnregister	3090	nimbora.exe	service-remove	" <(table CustomAction)
table InstallExecuteSequence >"$work/sequence"
at() { awk -v a="$1" -F'\t' '$1 == a { print $3 }' "$work/sequence"; }
check "removal before RemoveFiles, registration after InstallFiles, old version removed first" \
  test "$(at NimboraUnregister)" -lt "$(at RemoveFiles)" -a "$(at NimboraRegister)" -gt "$(at InstallFiles)" \
  -a "$(at RemoveExistingProducts)" -lt "$(at InstallInitialize)"
check "ProductVersion $version" grep -qx "ProductVersion	$version" <(table Property)

echo "== clean start"
"$run" reg delete 'HKLM\Software\Wow6432Node\Korvex\Nimbora' /f >/dev/null 2>&1
"$run" "$tool_exe" service-remove >/dev/null 2>&1
check "no service before the installation" test -z "$(service_key)"

echo "== msiexec /i /qn MEMORYMAINTAIN=25 MEMORYFREE=20 LANGUAGE=french"
"$run" msiexec /i "$(win "$msi")" /qn MEMORYMAINTAIN=25 MEMORYFREE=20 LANGUAGE=french /l*v "$(win "$work/install.log")" >/dev/null 2>&1
rc=$?
check "installation exit code 0 (was $rc)" test "$rc" = 0
for file in NimboraService.exe NimboraDefrag.exe nimbora.exe NimboraTray.exe; do
  check "$folder_win\\$file installed" test -f "$folder/$file"
done
check "MemoryMaintain 25 in the 32-bit view" test "$(setting MemoryMaintain)" = 0x19
check "MemoryFree 20 in the 32-bit view" test "$(setting MemoryFree)" = 0x14
check "Language french in the 32-bit view" grep -qE '^ +Language +REG_SZ +french$' <(reg32 /v Language)
check "the desktop program starts at every log-on" grep -qF "\"$folder_win\\NimboraTray.exe\"" <(run_entry)
check "own-process service" test "$(service_value Type)" = 0x10
check "automatic start" test "$(service_value Start)" = 0x2
check "normal error control" test "$(service_value ErrorControl)" = 0x1
check "LocalSystem" test "$(service_value ObjectName)" = LocalSystem
check "quoted path" test "$(service_value ImagePath)" = "\"$folder_win\\NimboraService.exe\""

echo "== the product's unattended /install over the registered service"
# No dialog (it would wait for a click until the timeout): the failure's text
# on standard error and exit code 1.
timeout 60 "$run" "$folder_win\\NimboraService.exe" /install /silent /unattended >/dev/null 2>"$work/unattended.err"
rc=$?
check "unattended repeated /install: exit code 1 without a dialog (was $rc)" test "$rc" = 1
check "unattended failure text on standard error" grep -q 'Nimbora' "$work/unattended.err"

echo "== nimbora status"
status_json=$(nimbora status --json)
rc=$?
check "status exit code 0 with the service running (was $rc)" test "$rc" = 0
check "status: running" json_has "$status_json" '"state":"running"'
check "status: French display name from the Language property" \
  json_has "$status_json" '"displayName":"Nimbora Service M\u00E9moire"'
check "status: MemoryMaintain stored" json_has "$status_json" '{"name":"MemoryMaintain","value":25,"source":"stored"}'
check "status: ExecutePeriod default" json_has "$status_json" '{"name":"ExecutePeriod","value":5,"source":"default"}'
nimbora status >"$work/status.txt"
sed 's/^/  | /' "$work/status.txt"
check "status text fits 80 columns" test "$(awk '{ print length }' "$work/status.txt" | sort -n | tail -1)" -le 80
check "status lists the seven gates in the tick's order" test \
  "$(sed -n '/^Gates/,/^$/p' "$work/status.txt" | awk 'NR > 1 && NF { print $1 }' | tr '\n' ' ')" = \
  "memory processor battery full enabled uptime period "

echo "== nimbora set / reset"
nimbora set ExecutePeriod 0 >/dev/null
check "set ExecutePeriod 0: exit 0, stored as REG_DWORD 0" test "$?/$(setting ExecutePeriod)" = 0/0x0
nimbora set MemoryFree 101 >/dev/null
rc=$?
check "set MemoryFree 101 refused with exit 2 (was $rc), value kept" test "$rc/$(setting MemoryFree)" = 2/0x14
check "the refusal names the range" grep -q '0 to 100' "$work/stderr"
nimbora set Language klingon >/dev/null
check "set Language klingon refused" test "$?" = 2
nimbora reset MemoryFree >/dev/null
check "reset MemoryFree removes the value" test "$?/$(setting MemoryFree)" = 0/
"$run" reg add 'HKLM\Software\Wow6432Node\Korvex\Nimbora' /v ProcessorTrigger /t REG_SZ /d 50 /f >/dev/null 2>&1
status_json=$(nimbora status --json)
check "a REG_SZ ProcessorTrigger is named a wrong type, default used" \
  json_has "$status_json" '{"name":"ProcessorTrigger","value":85,"storedType":"REG_SZ","source":"wrong type"}'
nimbora reset ProcessorTrigger >/dev/null

echo "== repair after nimbora set Language korean"
nimbora set Language korean >/dev/null
# A repair as msiexec /fa makes it (Wine's msiexec /f knows no package path).
"$run" msiexec /i "$(win "$msi")" REINSTALL=ALL REINSTALLMODE=vomus /qn /l*v "$(win "$work/repair.log")" >/dev/null 2>&1
rc=$?
check "repair exit code 0 (was $rc)" test "$rc" = 0
status_json=$(nimbora status --json)
check "repaired service running" test "$?" = 0
check "repaired service renamed from the Korean table" json_has "$status_json" '"displayName":"Nimbora \uC11C\uBE44\uC2A4"'
nimbora set Language french >/dev/null

echo "== the service acts; nimbora history"
# Due at any level of available memory, 1 percent at a time, whatever the load.
nimbora set MemoryMaintain 100 >/dev/null
nimbora set MemoryFree 1 >/dev/null
nimbora set ProcessorLimit 0 >/dev/null
status_text=$(nimbora status)
uptime_s=$(awk '{ printf "%d", $1 }' /proc/uptime)
if ((uptime_s >= 300)); then
  check "status: a tick would start one launch" grep -q '^A tick now would start 1 launch of NimboraDefrag.exe' <<<"$status_text"
fi
# The companion records each finished batch; without records after 30 s,
# two are written here in its format so that the reading is still tested.
source_of_records="the companion"
for _ in $(seq 60); do
  [[ -n "$("$run" reg query 'HKLM\Software\Wow6432Node\Korvex\Nimbora\Batches' 2>/dev/null | grep -E '^ +[0-9A-F]{16} ')" ]] && break
  sleep 0.5
done
if [[ -z "$("$run" reg query 'HKLM\Software\Wow6432Node\Korvex\Nimbora\Batches' 2>/dev/null | grep -E '^ +[0-9A-F]{16} ')" ]]; then
  source_of_records="this test"
  batches='HKLM\Software\Wow6432Node\Korvex\Nimbora\Batches'
  "$run" reg add "$batches" /v 01DD6A2B3C4D5E00 /t REG_SZ /f \
    /d 'asked=3072;freed=2950;trimmed=12;flushed=1;purged=0;ms=850;before=1200;after=4150;outcome=met' >/dev/null 2>&1
  "$run" reg add "$batches" /v 01DD6B2B3C4D5E00 /t REG_SZ /f \
    /d 'asked=1024;freed=300;trimmed=3;flushed=0;purged=200;ms=12345;before=900;after=1200;outcome=partial' >/dev/null 2>&1
fi
echo "batch records written by $source_of_records"
nimbora history >"$work/history.txt"
rc=$?
sed 's/^/  | /' "$work/history.txt"
check "history exit code 0 (was $rc)" test "$rc" = 0
check "history lists records" grep -qE '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8} ' "$work/history.txt"
check "history newest first" bash -c 'grep -oE "^[0-9]{4}-[0-9-]+ [0-9:]+" "$0" | sort -rc' "$work/history.txt"
history_json=$(nimbora history --json)
check "history --json" json_has "$history_json" '{"batches":[{"started":"'
if [[ "$source_of_records" == "this test" ]]; then
  check "history --json: the newer record first" json_has "$history_json" '"askedMB":1024,"freedMB":300'
  check "history text of the newer record" grep -qE ' 1024 +300 +12.3 s partial +trimmed 3, purged 200 MB$' "$work/history.txt"
fi
nimbora set ExecutePeriod 5 >/dev/null  # no more batches meanwhile

echo "== the next version over it"
next="${version%.*}.$((${version##*.} + 1))"
next_msi="$work/Nimbora-$next-$arch.msi"
bash "$root/package/build_msi.sh" "$arch" "$next" "$next_msi" "$service_exe" "$defrag_exe" "$tool_exe" \
  "$(dirname "$tool_exe")/NimboraTray.exe"
code() { msiinfo export "$1" Property | awk -F'\t' '$1 == "ProductCode" { print $2 }' | tr -d '\r'; }
old_code=$(code "$msi")
new_code=$(code "$next_msi")
uninstall_entry() {
  local view
  for view in 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' \
              'HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall'; do
    "$run" reg query "$view\\$1" /v DisplayVersion 2>/dev/null | tr -d '\r' | awk '$1 == "DisplayVersion" { print $3 }'
  done
}
check "version $version registered before the upgrade" test "$(uninstall_entry "$old_code")" = "$version"
"$run" msiexec /i "$(win "$next_msi")" /qn /l*v "$(win "$work/upgrade.log")" >/dev/null 2>&1
rc=$?
check "upgrade exit code 0 (was $rc)" test "$rc" = 0
check "version $next registered" test "$(uninstall_entry "$new_code")" = "$next"
check "version $version no longer registered" test -z "$(uninstall_entry "$old_code")"
nimbora status >/dev/null
check "the service runs after the upgrade" test "$?" = 0
check "settings kept: MemoryMaintain 100, Language french" \
  test "$(setting MemoryMaintain)/$(reg32 /v Language | awk '$1 == "Language" { print $3 }')" = 0x64/french
check "one program of each in the folder" test "$(ls "$folder" | tr '\n' ' ')" = "NimboraDefrag.exe NimboraService.exe NimboraTray.exe nimbora.exe "

echo "== msiexec /x /qn"
"$run" msiexec /x "$(win "$next_msi")" /qn /l*v "$(win "$work/remove.log")" >/dev/null 2>&1
rc=$?
check "removal exit code 0 (was $rc)" test "$rc" = 0
check "no service entry" test -z "$(service_key)"
check "no folder" test ! -e "$folder"
check "no log-on entry for the desktop program" test -z "$(run_entry)"
check "settings intact" test "$(setting MemoryMaintain)/$(setting ExecutePeriod)" = 0x64/0x5
"$run" "$tool_exe" status >/dev/null 2>&1
check "status exit code 4: not installed" test "$?" = 4

echo "== a refused property fails the installation and rolls it back"
"$run" msiexec /i "$(win "$msi")" /qn LANGUAGE=klingon /l*v "$(win "$work/refused.log")" >/dev/null 2>&1
rc=$?
check "installation failed (exit $rc)" test "$rc" != 0
# (Wine's msiexec exits with 1627, seen here as 91, where Windows gives 1603.)
check "the registration step failed and its rollback ran" grep -qaE \
  'Action ended [0-9:]+: NimboraRegister. Return value [^1]' "$work/refused.log"
check "no service entry after the rollback" test -z "$(service_key)"
check "no folder after the rollback" test ! -e "$folder"
check "Language untouched" grep -qE '^ +Language +REG_SZ +french$' <(reg32 /v Language)
check "version not registered" test -z "$(uninstall_entry "$old_code")"

"$run" reg delete 'HKLM\Software\Wow6432Node\Korvex\Nimbora' /f >/dev/null 2>&1
if ((failures)); then
  echo "$failures failure(s)"
  exit 1
fi
echo "all passed"

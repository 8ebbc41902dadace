#!/usr/bin/env bash
# The package and nimbora.exe end to end under Wine, against the real
# registry and Service Control Manager with the real service:
#   - the package's tables (directory, components, files, custom actions,
#     launch conditions, the upgrade inside the transaction);
#   - the x86 package refuses 64-bit Windows (the rest of the x86 run
#     installs a copy without that refusal: Wine's prefix is 64-bit);
#   - a registration that fails rolls the installation back, its reason in
#     the Application event log;
#   - msiexec /i /qn with the public properties: files in Program Files,
#     the service registered as /install does, localized, running, the
#     settings written in the 32-bit view;
#   - nimbora status, set, reset and history on the installed service, with
#     batch records the product wrote while a policy value overrode the
#     stored one (and set refused to change it);
#   - a repair keeps a disabled service disabled and stopped, renamed in place;
#   - the next version with a refused property fails at once and leaves the
#     installed version running; without it, it upgrades in place;
#   - x64 only: the x86 package of the same version replaces the x64 one;
#   - msiexec /x /qn: no service, no files, the settings intact.
# Whatever cannot be checked is a failure, never a skip.
#
# Usage: package_e2e.sh ARCH VERSION PACKAGE.msi SERVICE.exe DEFRAG.exe TOOL.exe MESSAGES.dll PROBE.exe
set -uo pipefail
arch="$1" version="$2" msi="$3" service_exe="$4" defrag_exe="$5" tool_exe="$6" messages_dll="$7" probe_exe="$8"
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
table() { msiinfo export "${2:-$msi}" "$1" | tr -d '\r' | tail -n +4; }
check "INSTALLDIR is Nimbora under $program_files_dir" \
  grep -qx "INSTALLDIR	$program_files_dir	Nimbora" <(table Directory)
for file in NimboraService.exe NimboraDefrag.exe nimbora.exe NimboraMessages.dll NimboraTray.exe; do
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
check "stop before the files change: deferred" grep -qx "NimboraStop	3090	nimbora.exe	service-stop	" <(table CustomAction)
check "the stop's rollback starts the service" \
  grep -qx "NimboraStopRollback	3410	nimbora.exe	service-start	" <(table CustomAction)
table InstallExecuteSequence >"$work/sequence"
at() { awk -v a="$1" -F'\t' '$1 == a { print $3 }' "$work/sequence"; }
when() { awk -v a="$1" -F'\t' '$1 == a { print $2 }' "$work/sequence"; }
check "removal before RemoveFiles, registration after InstallFiles" \
  test "$(at NimboraUnregister)" -lt "$(at RemoveFiles)" -a "$(at NimboraStop)" -lt "$(at RemoveFiles)" \
  -a "$(at NimboraRegister)" -gt "$(at InstallFiles)"
# N.B. inside the transaction: the old version's removal is rolled back with
# a failed upgrade. (Wine's installer removes it in a session of its own and
# cannot roll it back, so the order is checked here.)
check "old version removed inside the transaction: after InstallInitialize, before any change" \
  test "$(at InstallInitialize)" -lt "$(at RemoveExistingProducts)" -a "$(at RemoveExistingProducts)" -lt "$(at NimboraUnregister)"
check "the service is removed only by a removal that is not an upgrade's" \
  test "$(when NimboraUnregister)" = 'REMOVE="ALL" AND NOT UPGRADINGPRODUCTCODE'
check "repair and an upgrade's removal stop the service" \
  test "$(when NimboraStop)" = 'Installed AND NOT (REMOVE="ALL" AND NOT UPGRADINGPRODUCTCODE)'
check "only a first installation's failure removes the service" \
  test "$(when NimboraRegisterRollback)" = 'NOT Installed AND NOT WIX_UPGRADE_DETECTED'
table LaunchCondition >"$work/conditions"
for property in MEMORYMAINTAIN MEMORYFREE LANGUAGE; do
  check "$property checked by a launch condition that names it" \
    grep -qE "^NOT $property OR .*	$property (takes|must be)" "$work/conditions"
done
check "launch conditions run before InstallInitialize" test "$(at LaunchConditions)" -lt "$(at InstallInitialize)"
check "older versions and the same version are upgraded (attributes 513)" \
  grep -qE "	$version		513		WIX_UPGRADE_DETECTED\$" <(table Upgrade)
check "ProductVersion $version" grep -qx "ProductVersion	$version" <(table Property)
if [[ "$arch" == x86 ]]; then
  check "the x86 package refuses 64-bit Windows, naming the x64 package" \
    grep -qE "^Installed OR NOT VersionNT64	.*Nimbora-$version-x64\.msi" "$work/conditions"
fi

echo "== clean start"
"$run" reg delete 'HKLM\Software\Wow6432Node\Korvex\Nimbora' /f >/dev/null 2>&1
"$run" "$tool_exe" service-remove >/dev/null 2>&1
rm -rf "$WINEPREFIX/drive_c/Program Files/Nimbora" "$WINEPREFIX/drive_c/Program Files (x86)/Nimbora"
check "no service before the installation" test -z "$(service_key)"

uninstall_entry() {  # uninstall_entry CODE [VALUE]: the value of the product's entry in either view
  local view
  for view in 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' \
              'HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall'; do
    "$run" reg query "$view\\$1" /v "${2:-DisplayVersion}" 2>/dev/null | tr -d '\r' |
      awk -v n="${2:-DisplayVersion}" '$1 == n { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'
  done
}
code() { msiinfo export "$1" Property | awk -F'\t' '$1 == "ProductCode" { print $2 }' | tr -d '\r'; }
# Every product of the upgrade code registered on the machine.
products() {
  local view
  for view in 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' \
              'HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall'; do
    "$run" reg query "$view" /s 2>/dev/null | tr -d '\r' |
      awk '/^HKEY/ { key = $0 } $1 == "DisplayName" && $3 == "Nimbora" { n = split(key, p, "\\"); print p[n] }'
  done | sort -u
}
# A copy of a package without its refusal of 64-bit Windows, for Wine's
# 64-bit prefix; everything else, the product code included, stays.
without_wow64_refusal() {
  cp "$1" "$2"
  msibuild "$2" -q "DELETE FROM LaunchCondition WHERE Condition='Installed OR NOT VersionNT64'"
}

for product in $(products); do  # left behind by an interrupted run
  "$run" msiexec /x "$product" /qn >/dev/null 2>&1
done
check "no product before the installation" test -z "$(products)"

if [[ "$arch" == x86 ]]; then
  echo "== the x86 package on 64-bit Windows"
  "$run" msiexec /i "$(win "$msi")" /qn /l*v "$(win "$work/wow64.log")" >/dev/null 2>&1
  rc=$?
  check "refused (exit $rc)" test "$rc" != 0
  check "refused by the launch conditions" grep -qa 'LaunchConditions. Return value 0' "$work/wow64.log"
  check "nothing installed" test -z "$(service_key)" -a ! -e "$folder" -a -z "$(uninstall_entry "$(code "$msi")")"
  without_wow64_refusal "$msi" "$work/$(basename "$msi")"
  msi="$work/$(basename "$msi")"
fi

echo "== a registration that fails rolls the installation back, its reason in the event log"
# Another service holds the display name the product registers.
"$run" sc create NimboraInTheWay binpath= 'C:\windows\system32\notepad.exe' displayname= 'Nimbora Memory Service' >/dev/null 2>&1
WINEDEBUG=-all,+eventlog "$run" msiexec /i "$(win "$msi")" /qn /l*v "$(win "$work/failed.log")" >/dev/null 2>"$work/failed.err"
rc=$?
"$run" sc delete NimboraInTheWay >/dev/null 2>&1
check "installation failed (exit $rc)" test "$rc" != 0
check "the registration step failed" grep -qaE 'Action ended [0-9:]+: NimboraRegister. Return value 0' "$work/failed.log"
check "its reason, the product's own text, in the Application event log" grep -qaE \
  'ReportEventW L"nimbora: registering the service \(NimboraService.exe /install /silent /unattended ended with code [0-9]+: .*1078' \
  "$work/failed.err"
check "no service entry after the rollback" test -z "$(service_key)"
check "no folder after the rollback" test ! -e "$folder"
check "version not registered" test -z "$(uninstall_entry "$(code "$msi")")"

echo "== msiexec /i /qn MEMORYMAINTAIN=25 MEMORYFREE=20 LANGUAGE=french"
"$run" msiexec /i "$(win "$msi")" /qn MEMORYMAINTAIN=25 MEMORYFREE=20 LANGUAGE=french /l*v "$(win "$work/install.log")" >/dev/null 2>&1
rc=$?
check "installation exit code 0 (was $rc)" test "$rc" = 0
for file in NimboraService.exe NimboraDefrag.exe nimbora.exe NimboraMessages.dll NimboraTray.exe; do
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
event_source() {  # event_source NAME: its message file, empty when the source is not registered
  "$run" reg query "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$1" /v EventMessageFile 2>/dev/null |
    tr -d '\r' | awk '$1 == "EventMessageFile" { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'
}
for source in Nimbora NimboraService.exe NimboraDefrag; do
  check "event source $source registered with the product's message file" \
    test "$(event_source "$source")" = "$folder_win\\NimboraMessages.dll"
done
format() { "$run" "$probe_exe" format "$folder_win\\NimboraMessages.dll" "$@" 2>&1 | tr -d '\r'; }
check "event 0 is its insertion string alone, %-sequences in it untouched" \
  test "$(format 0 'Service stopped: 100% done, %1 left')" = "[Service stopped: 100% done, %1 left]"
# The companion's entries render their first insertion string, the whole
# text; the figures after it are for collectors and not shown.
check "companion events 1001 to 1007 render their text alone, not their figures" \
  test "$(for id in 1001 1002 1003 1004 1005 1006 1007; do format $id "event $id, 100% done" 300 1024 12; done)" = \
"[event 1001, 100% done]
[event 1002, 100% done]
[event 1003, 100% done]
[event 1004, 100% done]
[event 1005, 100% done]
[event 1006, 100% done]
[event 1007, 100% done]"
check "Programs and Features names the folder (ARPINSTALLLOCATION)" \
  test "$(uninstall_entry "$(code "$msi")" InstallLocation)" = "$folder_win\\"

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
check "status: the service's process" grep -qE '"processId":[1-9]' <<<"$status_json"
check "status --json: schema version 1, no error" bash -c 'grep -q "^{\"schemaVersion\":1," <<<"$0" && grep -q ",\"error\":null}$" <<<"$0"' "$status_json"
check "nimbora --version names the package's version" test "$(nimbora --version)" = "nimbora $version"
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

echo "== repair of a disabled service after nimbora set Language korean"
nimbora set Language korean >"$work/set.txt"
check "set Language names a command that applies it" grep -q 'nimbora service-install' "$work/set.txt"
# N.B. disabled while it runs: the repair's own step stops it. (A stop sent
# through Wine's sc races with its manager, which can lose the process.)
"$run" "$probe_exe" start-type Nimbora 4
check "service disabled by the administrator" test "$?/$(service_value Start)" = 0/0x4
# A repair as msiexec /fa makes it (Wine's msiexec /f knows no package path).
"$run" msiexec /i "$(win "$msi")" REINSTALL=ALL REINSTALLMODE=vomus /qn /l*v "$(win "$work/repair.log")" >/dev/null 2>&1
rc=$?
check "repair exit code 0 (was $rc)" test "$rc" = 0
status_json=$(nimbora status --json)
check "repaired service still disabled" test "$(service_value Start)" = 0x4
check "repaired disabled service not started" json_has "$status_json" '"state":"stopped"'
check "repaired service renamed in place from the Korean table" json_has "$status_json" '"displayName":"Nimbora \uC11C\uBE44\uC2A4"'
"$run" "$probe_exe" start-type Nimbora 2
nimbora service-start >/dev/null
check "service started again once enabled" test "$?" = 0
nimbora set Language french >/dev/null

echo "== the service acts, by a policy that overrides the stored setting; nimbora history"
# Due at any level of available memory by policy (stored: never), 1 percent
# at a time, whatever the load.
policy_key='HKLM\Software\Policies\Korvex\Nimbora'
nimbora set MemoryMaintain 0 >/dev/null
nimbora set MemoryFree 1 >/dev/null
nimbora set ProcessorLimit 0 >/dev/null
nimbora set ExecutePeriod 0 >/dev/null
"$run" reg add "$policy_key" /v MemoryMaintain /t REG_DWORD /d 100 /f >/dev/null 2>&1
check "status: MemoryMaintain 100 from the policy" \
  json_has "$(nimbora status --json)" '{"name":"MemoryMaintain","value":100,"source":"policy"}'
nimbora set MemoryMaintain 50 >/dev/null
rc=$?
check "set refuses a setting policy controls: exit 6 (was $rc), stored value kept" test "$rc/$(setting MemoryMaintain)" = 6/0x0
# The service acts only once the machine has been up for 4.5 minutes.
uptime_s=$(awk '{ printf "%d", $1 }' /proc/uptime)
if ((uptime_s < 275)); then
  echo "waiting $((275 - uptime_s)) s for the machine's uptime to reach 4.5 minutes (the service's rule)"
  sleep $((275 - uptime_s))
fi
check "status: a tick would start one launch" grep -q '^A tick now would start 1 launch of NimboraDefrag.exe' <(nimbora status)
launch_mb=$(nimbora status --json | grep -oE '"launches":\[[0-9]+\]' | grep -oE '[0-9]+')
batch_records() { "$run" reg query 'HKLM\Software\Wow6432Node\Korvex\Nimbora\Batches' 2>/dev/null | grep -cE '^ +[0-9A-F]{16} '; }
for _ in $(seq 120); do
  (($(batch_records) > 0)) && break
  sleep 1
done
nimbora set ExecutePeriod 5 >/dev/null  # no more batches meanwhile
check "the service obeyed the policy: the companion recorded a batch it started" test "$(batch_records)" -gt 0
"$run" reg delete "$policy_key" /f >/dev/null 2>&1
nimbora set MemoryMaintain 100 >/dev/null
nimbora history >"$work/history.txt"
rc=$?
sed 's/^/  | /' "$work/history.txt"
check "history exit code 0 (was $rc)" test "$rc" = 0
check "history lists the records" grep -qE '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8} +[0-9]+ +[0-9]+ +[0-9.]+ s (met|partial) ' "$work/history.txt"
check "history newest first" bash -c 'grep -oE "^[0-9]{4}-[0-9-]+ [0-9:]+" "$0" | sort -rc' "$work/history.txt"
history_json=$(nimbora history --json)
check "history --json" json_has "$history_json" '{"batches":[{"started":"'
# With a period of 0 each tick launches again while the first batch gathers:
# a batch asks a whole number of the tick's launches.
asked_mb=$(grep -oE '"askedMB":[0-9]+' <<<"$history_json" | head -1 | cut -d: -f2)
check "history --json: the batch asked whole launches of the tick's $launch_mb MB (asked $asked_mb MB)" \
  test -n "$launch_mb" -a -n "$asked_mb" -a "$(( ${asked_mb:-1} % ${launch_mb:-0} ))" = 0 -a "${asked_mb:-0}" -gt 0

echo "== the next version, with a refused property, over it"
next="${version%.*}.$((${version##*.} + 1))"
next_msi="$work/Nimbora-$next-$arch.msi"
bash "$root/package/build_msi.sh" "$arch" "$next" "$next_msi" "$service_exe" "$defrag_exe" "$tool_exe" "$messages_dll" \
  "$(dirname "$tool_exe")/NimboraTray.exe"
[[ "$arch" == x86 ]] && without_wow64_refusal "$next_msi" "$next_msi.copy" && mv "$next_msi.copy" "$next_msi"
old_code=$(code "$msi")
new_code=$(code "$next_msi")
check "version $version registered before the upgrade" test "$(uninstall_entry "$old_code")" = "$version"
for refused in MEMORYFREE=150 MEMORYMAINTAIN=x LANGUAGE=klingon; do
  "$run" msiexec /i "$(win "$next_msi")" /qn "$refused" /l*v "$(win "$work/refused.log")" >/dev/null 2>&1
  rc=$?
  check "$refused: refused (exit $rc) by the launch conditions, before anything changed" \
    test "$rc" != 0 -a "$(grep -ac 'LaunchConditions. Return value 0' "$work/refused.log")" -gt 0 \
    -a "$(grep -acE 'Action start [0-9:]+: (InstallInitialize|RemoveExistingProducts)' "$work/refused.log")" = 0
  check "$refused: version $version still registered, $next not" \
    test "$(uninstall_entry "$old_code")/$(uninstall_entry "$new_code")" = "$version/"
done
nimbora status >/dev/null
check "version $version's service still running" test "$?" = 0
check "Language untouched" grep -qE '^ +Language +REG_SZ +french$' <(reg32 /v Language)

echo "== the next version over it"
"$run" msiexec /i "$(win "$next_msi")" /qn /l*v "$(win "$work/upgrade.log")" >/dev/null 2>&1
rc=$?
check "upgrade exit code 0 (was $rc)" test "$rc" = 0
check "version $next registered" test "$(uninstall_entry "$new_code")" = "$next"
check "version $version no longer registered" test -z "$(uninstall_entry "$old_code")"
nimbora status >/dev/null
check "the service runs after the upgrade" test "$?" = 0
check "settings kept: MemoryMaintain 100, Language french" \
  test "$(setting MemoryMaintain)/$(reg32 /v Language | awk '$1 == "Language" { print $3 }')" = 0x64/french
check "one file of each in the folder" \
  test "$(ls "$folder" | tr '\n' ' ')" = "NimboraDefrag.exe NimboraMessages.dll NimboraService.exe NimboraTray.exe nimbora.exe "
installed_msi="$next_msi"

if [[ "$arch" == x64 ]]; then
  echo "== the x86 package of the same version over the x64 one"
  x86_bin="$(dirname "$service_exe")"
  x86_msi="$work/Nimbora-$next-x86.msi"
  bash "$root/package/build_msi.sh" x86 "$next" "$x86_msi" "$service_exe" "$x86_bin/NimboraDefrag.exe" "$x86_bin/nimbora.exe" \
    "$x86_bin/NimboraMessages.dll" "$x86_bin/NimboraTray.exe"
  check "no component identifier shared by the two architectures" test -z "$(comm -12 \
    <(table Component "$msi" | cut -f2 | sort) <(table Component "$x86_msi" | cut -f2 | sort))" \
    -a "$(table Component "$x86_msi" | wc -l)" = 5
  without_wow64_refusal "$x86_msi" "$x86_msi.copy" && mv "$x86_msi.copy" "$x86_msi"
  "$run" msiexec /i "$(win "$x86_msi")" /qn /l*v "$(win "$work/x86.log")" >/dev/null 2>&1
  rc=$?
  check "x86 over x64: exit code 0 (was $rc)" test "$rc" = 0
  check "one product: the x86 one" test "$(products | tr '\n' ' ')" = "$(code "$x86_msi") "
  x86_folder="$WINEPREFIX/drive_c/Program Files (x86)/Nimbora"
  check "the files installed in Program Files (x86)" test -f "$x86_folder/NimboraService.exe"
  # N.B. Wine's installer runs the old version's removal, inside the
  # transaction, as a nested session whose file removal it only schedules
  # for rollback: the x64 files stay behind (Windows removes them).
  rm -rf "$folder"
  check "the service registered there and running" test \
    "$(service_value ImagePath)" = '"C:\Program Files (x86)\Nimbora\NimboraService.exe"' \
    -a "$("$run" 'C:\Program Files (x86)\Nimbora\nimbora.exe' status >/dev/null 2>&1; echo $?)" = 0
  installed_msi="$x86_msi"
fi

echo "== msiexec /x /qn"
"$run" msiexec /x "$(win "$installed_msi")" /qn /l*v "$(win "$work/remove.log")" >/dev/null 2>&1
rc=$?
check "removal exit code 0 (was $rc)" test "$rc" = 0
check "no service entry" test -z "$(service_key)"
check "no folder" test ! -e "$folder" -a ! -e "$WINEPREFIX/drive_c/Program Files (x86)/Nimbora"
check "no product registered" test -z "$(products)"
for source in Nimbora NimboraService.exe NimboraDefrag; do
  check "event source $source removed" \
    bash -c '! "$0" reg query "$1" >/dev/null 2>&1' "$run" "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$source"
done
check "no log-on entry for the desktop program" test -z "$(run_entry)"
check "settings intact" test "$(setting MemoryMaintain)/$(setting ExecutePeriod)" = 0x64/0x5
status_json=$("$run" "$tool_exe" status --json 2>/dev/null | tr -d '\r')
rc=$?  # N.B. pipefail: the tool's exit code
check "status exit code 4: not installed (was $rc)" test "$rc" = 4
check "status --json: notInstalled, not an error" \
  bash -c 'grep -q "\"installed\":false,\"state\":\"notInstalled\"" <<<"$0" && grep -q "\"error\":null}$" <<<"$0"' "$status_json"

"$run" reg delete 'HKLM\Software\Wow6432Node\Korvex\Nimbora' /f >/dev/null 2>&1
if ((failures)); then
  echo "$failures failure(s)"
  exit 1
fi
echo "all passed"

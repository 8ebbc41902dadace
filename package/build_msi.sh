#!/usr/bin/env bash
# Builds one Nimbora package with wixl, then completes what wixl cannot
# express with msibuild: the custom actions' execution types (deferred or
# rollback, without impersonation), the public properties that a managed
# installation passes on to the server side, and the upgrade of the same
# version (the other architecture's package).
#
# Usage: build_msi.sh ARCH VERSION OUTPUT.msi SERVICE.exe DEFRAG.exe TOOL.exe MESSAGES.dll TRAY.exe
set -euo pipefail
arch="$1" version="$2" output="$3" service="$4" defrag="$5" tool="$6" messages="$7" tray="$8"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
output="$(cd "$(dirname "$output")" && pwd)/$(basename "$output")"
work="$output.tmp"
stage="$output.files"
rm -rf "$work" "$stage"
trap 'rm -rf "$stage"' EXIT

# wixl takes sources relative to the working directory only: the files are
# staged under their installed names.
mkdir -p "$stage"
cp "$service" "$stage/NimboraService.exe"
cp "$defrag" "$stage/NimboraDefrag.exe"
cp "$tool" "$stage/nimbora.exe"
cp "$messages" "$stage/NimboraMessages.dll"
cp "$tray" "$stage/NimboraTray.exe"
# wixl's warnings about attributes it ignores go to the log, not the build output.
(cd "$stage" && wixl -a "$arch" -D Arch="$arch" -D Version="$version" -D ServiceExe=NimboraService.exe \
  -D DefragExe=NimboraDefrag.exe -D ToolExe=nimbora.exe -D MessagesDll=NimboraMessages.dll \
  -D TrayExe=NimboraTray.exe -o "$work" "$here/Nimbora.wxs") 2>"$output.wixl.log" || {
  cat "$output.wixl.log" >&2
  exit 1
}

# Type 18: an installed program. +1024 in the script (deferred), +256 with it
# rollback only, +2048 no impersonation (LocalSystem), +64 exit code ignored.
deferred=$((18 + 1024 + 2048))
rollback=$((18 + 64 + 256 + 1024 + 2048))
msibuild "$work" -q "UPDATE CustomAction SET Type=$deferred WHERE Action='NimboraRegister' OR Action='NimboraUnregister' OR Action='NimboraStop'"
msibuild "$work" -q "UPDATE CustomAction SET Type=$rollback WHERE Action='NimboraRegisterRollback' OR Action='NimboraUnregisterRollback' OR Action='NimboraStopRollback'"
# The older versions' row also takes the same version (+512, the highest
# version inclusive): the package of the other architecture, with its own
# product code, replaces the installed one instead of installing beside it.
# (Attributes is part of the table's key: the row is replaced.)
upgrade_code=$(msiinfo export "$work" Property | awk -F'\t' '$1 == "UpgradeCode" { print $2 }' | tr -d '\r')
msibuild "$work" -q "DELETE FROM Upgrade WHERE ActionProperty='WIX_UPGRADE_DETECTED'"
msibuild "$work" -q "INSERT INTO Upgrade (UpgradeCode, VersionMax, Attributes, ActionProperty) VALUES ('$upgrade_code', '$version', 513, 'WIX_UPGRADE_DETECTED')"
msibuild "$work" -q "UPDATE Property SET Value='WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;MEMORYMAINTAIN;MEMORYFREE;LANGUAGE' WHERE Property='SecureCustomProperties'"
# The event sources' keys go with the product (Name "-", no value: the key
# is removed on uninstall), not only their values.
for source in Nimbora NimboraService.exe NimboraDefrag; do
  msibuild "$work" -q "INSERT INTO Registry (Registry, Root, \`Key\`, Name, Component_) VALUES ('EventSourceKey.$source', 2, 'SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$source', '-', 'EventMessages')"
done
mv "$work" "$output"

#!/usr/bin/env bash
# The installer package under Wine's msiexec, in a fresh prefix, as 32-bit
# Windows or as 64-bit Windows with its 32-bit view. The lifecycle itself is
# lifecycle_tests.exe, which runs on real Windows too; around it, what only
# Wine and a whole prefix show: the package's tables for what Wine hides,
# nothing in the 64-bit views, Wine's Control Panel listing the item and
# opening it, and no trace left anywhere after the uninstall.
#   msi_lifecycle.sh win32|win64 <lifecycle_tests.exe> <ctlpos.exe> <work dir>
set -u
arch=$1 lifecycle=$2 ctlpos=$3 work=$4
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/scripts/common"
packages=$(dirname "$lifecycle")
panel="Wine Control Panel"
host_pid=
pass() { echo "ok: $*"; }
property() { msiinfo export "$1" Property | tr -d '\r' | sed -n "s/^$2\t{\(.*\)}$/\1/p"; }
# The 32-bit Control Panel lists 32-bit items (Wine has no 32-bit helper
# for its 64-bit one), and reg is the 64-bit program on 64-bit Windows.
control=control.exe native=wine
[ "$arch" = win64 ] && control='C:\windows\syswow64\control.exe' native=/usr/lib/wine/wine64
# lifecycle TEST: one test of lifecycle_tests.exe; a skip and Wine's known
# deviations are shown as such, not as a pass.
lifecycle() {
    wine "$lifecycle" --gtest_filter="Lifecycle.$1" </dev/null >"$work/$1.log" 2>&1 ||
        fail "lifecycle_tests.exe, Lifecycle.$1: $(cat "$work/$1.log")"
    grep -h '^known Wine deviation' "$work/$1.log"
    grep -q '^\[  SKIPPED \]' "$work/$1.log" && echo "skipped: Lifecycle.$1: $(grep -m1 -o 'Wine has no.*' "$work/$1.log")" ||
        pass "Lifecycle.$1"
}

# A fresh Windows, so that what uninstall leaves can be compared.
rm -rf "$work"
wine_prefix "$work/prefix" "$arch" fresh || fail "no Wine prefix"
trap '[ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null; wineserver -k 2>/dev/null' EXIT
windir=$(wine winepath -u 'C:\windows' 2>/dev/null | tr -d '\r')
item=$(applet_name "$packages/veldrano.cpl") || fail "no applet name in $packages/veldrano.cpl"
before=$work/files-before
(cd "$WINEPREFIX/drive_c" && find . | sort) >"$before"

# What Wine cannot show, from the tables: FILES is secure, needs a real
# administrator where installed, and makes the plain line a repair there.
older=$(ls "$packages"/veldrano-*.msi | head -n1)
tables=$(for t in Property LaunchCondition InstallUISequence InstallExecuteSequence; do
    msiinfo export "$older" $t; done | tr -d '\r')
for row in $'^SecureCustomProperties\t.*;FILES' $'^MSIUSEREALADMINDETECTION\t1$' \
           $'^NOT Installed OR NOT FILES OR AdminUser OR REMOVE\t' $'^NOT WIX_DOWNGRADE_DETECTED\tA newer version'; do
    grep -q "$row" <<<"$tables" || fail "no table row $row"
done
[ "$(grep -c $'^ReapplyFiles\tInstalled AND FILES AND NOT REINSTALL AND NOT REMOVE\t[1-7][0-9][0-9]$' <<<"$tables")" = 2 ] ||
    fail "ReapplyFiles is not in both sequences before costing"
# An upgrade's removal of the older version rolls back with a failure only
# inside the transaction: right after InstallInitialize. Wine rolls it back
# nowhere, so the table is the evidence.
[ "$(msiinfo export "$older" InstallExecuteSequence | sort -t$'\t' -k3n | grep -A1 ^InstallInitialize | cut -f1 | xargs)" = \
  "InstallInitialize RemoveExistingProducts" ] ||
    fail "RemoveExistingProducts is not right after InstallInitialize"
pass "the tables: FILES secure, real administrator detection, the repair before costing, the removal inside the transaction"

lifecycle InstallsRefusesRepairsAndUpgrades
lifecycle StandardUserCannotSetFiles

if [ "$arch" = win64 ]; then
    [ ! -e "$(wine winepath -u 'C:\Program Files\Lumasyn' 2>/dev/null | tr -d '\r')" ] || fail "files in the 64-bit Program Files"
    ! "$native" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Control Panel\Cpls' /v veldrano >/dev/null 2>&1 ||
        fail "Cpls value in the 64-bit registry view"
    pass "32-bit views only: Program Files (x86), Wow6432Node"
fi

# Wine's Control Panel lists the item and opens it. The newer version is
# installed with FILES=WINDOWS.
(cd "$windir" && exec wine "$control" </dev/null >/dev/null 2>&1) &
host_pid=$!
poll 60 ctl "$panel" "$item" >/dev/null || fail "the Control Panel does not list '$item'"
ctl --click 2 "$panel" "$item" >/dev/null
poll 30 ctl "$item" 1001 >/dev/null || fail "opening '$item' from the list showed no dialog"
[ "$(ctl --checked "$item" 1000)" = 1 ] || fail "the dialog does not show the preset Windows"
ctl --click "$item" 1001 && ctl --click "$item" 1 || fail "cannot click the dialog"
dialog_gone() { ! ctl "$item" 0 >/dev/null; }
poll 30 dialog_gone || fail "the dialog stayed open after OK"
kill "$host_pid"; wait "$host_pid" 2>/dev/null; host_pid=
grep -qix 'patch110=0' <(tr -d '\r' <"$windir/N4.INI") || fail "N4.INI: $(cat "$windir/N4.INI")"
pass "the Control Panel lists '$item'; opened from the list it shows the preset Windows; DOS and OK stored patch110=0"

lifecycle UninstallLeavesTheSettingAndTheDriver
wineserver -w    # the registry is on disk once the server has gone
# Files: only Windows Installer's own cache folder.
after=$work/files-after
(cd "$WINEPREFIX/drive_c" && find . | sort) >"$after"
left=$(comm -13 "$before" "$after" | grep -vx ./windows/Installer)
[ -z "$left" ] || fail "uninstall left files: $left"
# Registry: no key or value names the package, by name or by code (also
# in the packed form Windows Installer keys its own records with).
pack() {
    local g=${1//[{\}]/} a b c d e
    IFS=- read -r a b c d e <<<"$g"
    echo "$(rev <<<"$a")$(rev <<<"$b")$(rev <<<"$c")$(sed 's/\(.\)\(.\)/\2\1/g' <<<"$d$e")"
}
patterns=(-e veldrano -e lumasyn)
for package in "$packages"/veldrano-*.msi; do
    for c in $(property "$package" UpgradeCode) $(property "$package" ProductCode); do
        patterns+=(-e "$c" -e "$(pack "$c")")
    done
done
traces=$(grep -i "${patterns[@]}" "$WINEPREFIX"/*.reg)
[ -z "$traces" ] || fail "uninstall left in the registry: $traces"
pass "uninstall left no file and no registry key or value naming the package"

wineserver -k 2>/dev/null
rm -rf "$WINEPREFIX"    # a 64-bit prefix holds over a gigabyte
echo "PASS: $arch"

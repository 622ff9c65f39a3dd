#!/usr/bin/env bash
# The installer package under Wine's real msiexec, in a fresh prefix:
# FILES refused and preset, install, the Control Panel's item list, repairs,
# upgrade, refused downgrade and uninstall, on 32-bit Windows or on 64-bit
# Windows with its 32-bit view.
#   msi_lifecycle.sh win32|win64 <veldrano.cpl> <ctlpos.exe> <work dir>
set -u
arch=$1 cpl=$2 ctlpos=$3 work=$4
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/tests/e2e/lib.sh"
item="Configure Lumasyn ODBC"
panel="Wine Control Panel"
cpls='HKLM\Software\Microsoft\Windows\CurrentVersion\Control Panel\Cpls'
host_pid=
pass() { echo "ok: $*"; }

# Windows' own view of things. On 64-bit Windows msiexec and reg are the
# 64-bit programs, and the Control Panel that lists 32-bit items is the
# 32-bit host in syswow64 (Wine has no 32-bit helper for its 64-bit one).
if [ "$arch" = win64 ]; then
    native=/usr/lib/wine/wine64
    program_files='C:\Program Files (x86)'
    view32='HKLM\Software\Wow6432Node'
    control='C:\windows\syswow64\control.exe'
else
    native=wine
    program_files='C:\Program Files'
    view32='HKLM\Software'
    control=control.exe
fi
installed="$program_files\\Lumasyn\\veldrano.cpl"
cpls32="$view32\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cpls"
uninstall32="$view32\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
unix() { wine winepath -u "$1" 2>/dev/null | tr -d '\r'; }
msiexec() { "$native" msiexec "$@" </dev/null >/dev/null 2>&1; }
property() { msiinfo export "$1" Property | tr -d '\r' | sed -n "s/^$2\t{\(.*\)}$/\1/p"; }
# "TYPE DATA" of a registry value, or nothing.
regval() {
    "$native" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
        sed -n "s/^ *$2 *\(REG_[A-Z_]*\) *\(.*\)$/\1 \2/p"
}
# Add/Remove Programs entries of this package: "product-code version".
products() {
    local key
    "$native" reg query "$uninstall32" 2>/dev/null | tr -d '\r' | grep -o '{[0-9A-F-]*}$' |
    while read -r key; do
        regval "$uninstall32\\$key" DisplayName | grep -q Lumasyn || continue
        echo "$key $(regval "$uninstall32\\$key" DisplayVersion | cut -d' ' -f2)"
    done
}

[ -n "${DISPLAY:-}" ] || fail "no X display (scripts/test starts one)"

# A fresh Windows, so that what uninstall leaves can be compared.
rm -rf "$work"
fresh_prefix "$work/prefix" "$arch"
trap '[ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null; wineserver -k 2>/dev/null' EXIT
windir=$(unix 'C:\windows')
ini=$windir/N4.INI
# setting 0|1: N4.INI holds that patch110 and its other lines, in whatever
# case and spacing Wine writes them back.
setting() {
    [ "$(tr -d ' \r' <"$ini" | grep . | tr A-Z a-z)" = "$(printf '[drivers]\nlmsn110=installed\n[lumasyn]\npatch110=%s\ntrace=0' "$1")" ] ||
        fail "N4.INI: $(cat "$ini")"
}
printf '[Drivers]\r\nLMSN110 = installed\r\n\r\n[Lumasyn]\r\nPatch110=1\r\nTrace=0\r\n' >"$ini"
cp "$ini" "$work/N4.INI"
before=$work/files-before
(cd "$WINEPREFIX/drive_c" && find . | sort) >"$before"

for v in 1.0.0 1.0.1; do
    "$root/installer/mkmsi" "$v" "$cpl" "$work/veldrano-$v.msi" || fail "mkmsi $v"
done

# --- install ------------------------------------------------------------
# Refused before anything changes: a bad FILES, and REINSTALL where this
# version is not installed.
for refused in FILES=Win "FILES=DOS REINSTALL=ALL REINSTALLMODE=omus"; do
    msiexec /i "$work/veldrano-1.0.0.msi" /qn $refused; [ $? = 67 ] || fail "$refused was not refused with 1603 (67 under Wine)"
    [ -z "$(products)" ] && cmp -s "$ini" "$work/N4.INI" || fail "the refused $refused changed something"
done
# What Wine cannot show, from the tables: FILES is secure, needs a real
# administrator where installed, and makes the plain line a repair there.
tables=$(for t in Property LaunchCondition InstallUISequence InstallExecuteSequence; do
    msiinfo export "$work/veldrano-1.0.0.msi" $t; done | tr -d '\r')
for row in $'^SecureCustomProperties\t.*;FILES' $'^MSIUSEREALADMINDETECTION\t1$' \
           $'^NOT Installed OR NOT FILES OR AdminUser OR REMOVE\t'; do
    grep -q "$row" <<<"$tables" || fail "no table row $row"
done
[ "$(grep -c $'^ReapplyFiles\tInstalled AND FILES AND NOT REINSTALL AND NOT REMOVE\t[1-7][0-9][0-9]$' <<<"$tables")" = 2 ] ||
    fail "ReapplyFiles is not in both sequences before costing"
# An upgrade's removal of the older version rolls back with a failure only
# inside the transaction: right after InstallInitialize. Wine rolls it back
# nowhere, so the table is the evidence.
[ "$(msiinfo export "$work/veldrano-1.0.0.msi" InstallExecuteSequence | sort -t$'\t' -k3n | grep -A1 ^InstallInitialize | cut -f1 | xargs)" = \
  "InstallInitialize RemoveExistingProducts" ] || fail "RemoveExistingProducts is not right after InstallInitialize"
msiexec /i "$work/veldrano-1.0.0.msi" /qn FILES=dos && setting 0 || fail "install 1.0.0 exited with $?"
file=$(unix "$installed")
cmp -s "$cpl" "$file" || fail "$installed is not the built applet"
[ "$(regval "$cpls32" veldrano)" = "REG_EXPAND_SZ $installed" ] ||
    fail "Cpls value is '$(regval "$cpls32" veldrano)'"
"$native" reg query "${cpls32%Cpls}Extended Properties\\System.ControlPanel.Category" | grep -Fq "$installed    REG_DWORD    0x5" || fail "no category"
read -r product version < <(products)
[ "$version" = 1.0.0 ] || fail "Add/Remove Programs: '$(products)'"
[ "$(regval "$uninstall32\\$product" Publisher)" = "REG_SZ Veldrano" ] || fail "no publisher"
pass "installed: $installed, Cpls value REG_EXPAND_SZ, Add/Remove Programs $product 1.0.0"
if [ "$arch" = win64 ]; then
    [ ! -e "$(unix 'C:\Program Files\Lumasyn')" ] || fail "files in the 64-bit Program Files"
    [ -z "$(regval "$cpls" veldrano)" ] || fail "Cpls value in the 64-bit registry view"
    pass "32-bit views only: Program Files (x86), Wow6432Node"
fi

# --- the Control Panel lists the item and opens it ------------------------
{ head -c 455 /dev/zero; printf KORVELIN; } >"$windir/LMSN110.DLL"
cp "$windir/LMSN110.DLL" "$work/LMSN110.DLL"
(cd "$windir" && exec wine "$control" </dev/null >/dev/null 2>&1) &
host_pid=$!
poll 60 centre "$panel" "$item" >/dev/null || fail "the Control Panel does not list '$item'"
# A double-click that lands before the window takes input is lost; while
# the dialog is up its owner takes none, so trying again is harmless.
opened() { centre "$item" 1001 >/dev/null; }
for _ in 1 2 3; do
    click "$panel" "$item" 2
    poll 10 opened && break
done
opened || fail "opening '$item' from the list showed no dialog"
[ "$(ctl --checked "$item" 1001)" = 1 ] || fail "the dialog does not show the preset DOS"
click "$item" 1000          # "Windows"
click "$item" 1             # OK
dialog_gone() { ! centre "$item" 0 >/dev/null; }
poll 30 dialog_gone || fail "the dialog stayed open after OK"
kill "$host_pid"; wait "$host_pid" 2>/dev/null; host_pid=
setting 1
pass "the Control Panel lists '$item'; opened from the list it shows the preset DOS; Windows and OK stored patch110=1"

# --- repairs, upgrade, refused downgrade -------------------------------------
repair() { msiexec /i "$work/veldrano-1.0.0.msi" /qn REINSTALL=ALL REINSTALLMODE=omus "$@"; }
repair && setting 1 || fail "a repair exited with $?"
repair FILES=D; [ $? = 67 ] && [ "$(products)" = "$product 1.0.0" ] || fail "a repair took FILES=D"
# REINSTALL comes after REMOVE: with both, /x and /i would repair and exit 0.
for both in "/x $work/veldrano-1.0.0.msi REINSTALL=ALL FILES=DOS" "/i $work/veldrano-1.0.0.msi REMOVE=ALL REINSTALL=ALL FILES=DOS"; do
    msiexec $both /qn; [ $? = 67 ] && [ "$(products)" = "$product 1.0.0" ] && setting 1 || fail "$both was not refused"
done
# The plain line repairs (so writes on Windows too) only with FILES.
plain() { msiexec /i "$work/veldrano-1.0.0.msi" /qn /l*v "$work/plain.log" "$@"; }
plain && setting 1 && ! grep -aq 'REINSTALL = ALL' "$work/plain.log" || fail "the plain line without FILES repaired"
plain FILES=DOS && setting 0 && grep -aq 'Property(S): REINSTALL = ALL' "$work/plain.log" ||
    fail "the plain line with FILES=DOS was no repair"
cp "$ini" "$work/N4.INI"
msiexec /i "$work/veldrano-1.0.1.msi" /qn FILES=WINDOWS REINSTALL=ALL REINSTALLMODE=omus; [ $? = 67 ] &&
    [ "$(products)" = "$product 1.0.0" ] && cmp -s "$ini" "$work/N4.INI" || fail "REINSTALL of 1.0.1 over 1.0.0 was not refused"
msiexec /i "$work/veldrano-1.0.1.msi" /qn FILES=WINDOWS && setting 1 || fail "upgrade to 1.0.1 exited with $?"
[ "$(products | cut -d' ' -f2)" = 1.0.1 ] || fail "after the upgrade: $(products)"
cmp -s "$cpl" "$file" && [ -n "$(regval "$cpls32" veldrano)" ] || fail "upgrade lost the applet"
pass "FILES=DOS repairs 1.0.0 with the plain line; REINSTALL of 1.0.1 refused; 1.0.0 -> 1.0.1 leaves one product, $(products)"

# With the basic UI the refusal is a message box the user must close.
"$native" msiexec /i "$work/veldrano-1.0.0.msi" /qb </dev/null >/dev/null 2>&1 &
msiexec_pid=$!
poll 60 centre "Install Failed" 1 >/dev/null || fail "no message box refused the downgrade"
msiinfo export "$work/veldrano-1.0.0.msi" LaunchCondition | grep -q "A newer version of the Lumasyn ODBC" ||
    fail "the package has no downgrade message"
click "Install Failed" 1
wait "$msiexec_pid" && fail "the downgrade to 1.0.0 succeeded"
[ "$(products | cut -d' ' -f2)" = 1.0.1 ] || fail "after the downgrade: $(products)"
cmp -s "$cpl" "$file" || fail "the refused downgrade touched the applet"
pass "the downgrade to 1.0.0 is refused with a message box; 1.0.1 stays"

# --- uninstall --------------------------------------------------------------
cp "$ini" "$work/N4.INI"
msiexec /x "$work/veldrano-1.0.1.msi" /qn || fail "uninstall exited with $?"
wineserver -w    # the registry is on disk once the server has gone
[ -z "$(products)" ] || fail "Add/Remove Programs still has $(products)"
[ -z "$(regval "$cpls32" veldrano)" ] || fail "the Cpls value is still there"
cmp -s "$ini" "$work/N4.INI" || fail "uninstall changed N4.INI"
cmp -s "$windir/LMSN110.DLL" "$work/LMSN110.DLL" || fail "uninstall changed LMSN110.DLL"
# Files: only Windows Installer's own cache folder, and what the test wrote.
after=$work/files-after
(cd "$WINEPREFIX/drive_c" && find . | sort) >"$after"
left=$(comm -13 "$before" "$after" | grep -vx -e ./windows/Installer -e ./windows/N4.INI -e ./windows/LMSN110.DLL)
[ -z "$left" ] || fail "uninstall left files: $left"
# Registry: no key or value names the package, by name or by code (also
# in the packed form Windows Installer keys its own records with).
pack() {
    local g=${1//[{\}]/} a b c d e
    IFS=- read -r a b c d e <<<"$g"
    echo "$(rev <<<"$a")$(rev <<<"$b")$(rev <<<"$c")$(sed 's/\(.\)\(.\)/\2\1/g' <<<"$d$e")"
}
patterns=(-e veldrano -e lumasyn)
for c in $(property "$work/veldrano-1.0.0.msi" UpgradeCode) $(property "$work/veldrano-1.0.0.msi" ProductCode) \
         $(property "$work/veldrano-1.0.1.msi" ProductCode); do
    patterns+=(-e "$c" -e "$(pack "$c")")
done
traces=$(grep -i "${patterns[@]}" "$WINEPREFIX"/*.reg)
[ -z "$traces" ] || fail "uninstall left in the registry: $traces"
pass "uninstall removed the file, the folder, the Cpls value and the Add/Remove Programs entry; N4.INI and LMSN110.DLL untouched"

wineserver -k 2>/dev/null
rm -rf "$WINEPREFIX"    # a 64-bit prefix holds over a gigabyte
echo "PASS: $arch"

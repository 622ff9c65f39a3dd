#!/usr/bin/env bash
# End to end: Wine's Control Panel host (control.exe) loads the built applet
# on the test display, and the test works the dialog with real X input.
#   control_panel.sh <wine-run> <veldrano.cpl> <ctlpos.exe> <work dir> ok-dos|refused|end-session|no-library
set -u
wine_run=$1 cpl=$2 ctlpos=$3 work=$4 case=$5
title="Configure Lumasyn ODBC"
host_pid=
source "$(dirname "$0")/lib.sh"
trap '[ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null' EXIT

host_running() { kill -0 "$host_pid" 2>/dev/null; }
host_ended() { ! host_running; }
# The message box of a refused save has the dialog's title too; it is the
# enabled one.
box_up() { text=$(ctl --text "$title" 65535) && [ -n "$text" ]; }

[ -n "${DISPLAY:-}" ] || fail "no X display (scripts/test starts one)"
command -v xdotool >/dev/null || fail "xdotool missing (scripts/install-deps installs it)"

ini=$("$wine_run" winepath -u 'C:\windows\N4.INI' 2>/dev/null | tr -d '\r')
[ -n "$ini" ] || fail "cannot map C:\\windows\\N4.INI"
rm -f "$ini"
rm -rf "$work"
mkdir -p "$work"
cp "$cpl" "$work/veldrano.cpl"
if [ "$case" != no-library ]; then
    { head -c 455 /dev/zero; printf KORVELIN; } >"$work/LMSN110.DLL"
fi

cd "$work"
"$wine_run" control.exe veldrano.cpl </dev/null >/dev/null 2>&1 &
host_pid=$!

case "$case" in
ok-dos)
    # Opened twice at the same moment: one dialog, and the other host
    # ends by itself.
    "$wine_run" control.exe veldrano.cpl </dev/null >/dev/null 2>&1 &
    second_pid=$!
    poll 60 centre "$title" 1001 >/dev/null || fail "the dialog did not appear"
    one_ended() { host_ended || ! kill -0 "$second_pid" 2>/dev/null; }
    poll 30 one_ended || { kill "$second_pid"; fail "neither opening ended by itself"; }
    host_ended && host_pid=$second_pid
    [ "$(xdotool search --onlyvisible --name "^$title\$" | wc -l)" = 1 ] || fail "two dialogs after two openings"
    click "$title" 1001                 # "DOS"
    click "$title" 1                    # OK
    poll 30 host_ended || fail "the host did not end after OK"
    grep -q '^\[Lumasyn\]' "$ini" 2>/dev/null || fail "N4.INI has no [Lumasyn] section: $(cat "$ini" 2>&1)"
    value=$(sed -n 's/^patch110=\(.*\)$/\1/p' "$ini" | tr -d '\r')
    [ "$value" = 0 ] || fail "patch110 is '$value', expected 0"
    echo "PASS: of two openings at once one ended by itself; DOS picked with real clicks, host ended, N4.INI holds patch110=0"
    ;;
refused)
    # Wine has no UAC and the tests run as root, where a read-only file is
    # still written: a directory in N4.INI's place refuses the write with
    # "access denied", as the Windows directory does to a standard user.
    mkdir "$ini"
    poll 60 centre "$title" 1001 >/dev/null || fail "the dialog did not appear"
    click "$title" 1001                 # "DOS"
    click "$title" 1                    # OK: refused
    poll 30 box_up || fail "no message box after the refused OK"
    for part in 'C:\windows\N4.INI' 'Access denied.' 'administrator rights'; do
        [[ "$text" == *"$part"* ]] || fail "the message does not say '$part': $text"
    done
    click "$title" 1                    # the box's OK
    dialog_back() { [ "$(ctl --checked "$title" 1001)" = 1 ]; }
    poll 30 dialog_back || fail "the dialog is not back with DOS checked after the message"
    host_running || fail "the host ended after the refused save"
    [ -d "$ini" ] || fail "N4.INI changed while refused"
    rmdir "$ini"
    click "$title" 1                    # OK again: saved
    poll 30 host_ended || fail "the host did not end after the second OK"
    value=$(sed -n 's/^patch110=\(.*\)$/\1/p' "$ini" | tr -d '\r')
    [ "$value" = 0 ] || fail "patch110 is '$value', expected 0"
    echo "PASS: refused OK explained ($(echo "$text" | head -n1)), dialog kept DOS, second OK saved patch110=0"
    ;;
end-session)
    # Windows closes the program, as the Restart Manager does for an
    # update, while a refused save is being explained: the box and the
    # dialog end, the host exits by itself and nothing is written.
    mkdir "$ini"
    poll 60 centre "$title" 1001 >/dev/null || fail "the dialog did not appear"
    click "$title" 1001                 # "DOS"
    click "$title" 1                    # OK: refused
    poll 30 box_up || fail "no message box after the refused OK"
    ctl --endsession "$title" 0 || fail "could not send the end-session messages"
    poll 30 host_ended || fail "the host did not end when Windows closed it"
    [ -d "$ini" ] || fail "N4.INI was written"
    rmdir "$ini"
    echo "PASS: closed by Windows with the message box up, the host ended and wrote nothing"
    ;;
no-library)
    # While the host runs, the dialog must never show.
    saw_dialog() { centre "$title" 0 >/dev/null && echo "the dialog appeared" && return 0; host_ended; }
    poll 30 saw_dialog || fail "the host did not end by itself"
    host_ended || fail "the dialog appeared without LMSN110.DLL"
    [ ! -e "$ini" ] || fail "N4.INI was written"
    echo "PASS: no LMSN110.DLL, no dialog, host ended by itself"
    ;;
*)
    fail "unknown case $case"
    ;;
esac

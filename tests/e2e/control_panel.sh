#!/usr/bin/env bash
# End to end: Wine's Control Panel host (control.exe) loads the built applet
# on the test display, and the test works the dialog with real X input.
#   control_panel.sh <wine-run> <veldrano.cpl> <ctlpos.exe> <work dir> ok-dos|no-library
set -u
wine_run=$1 cpl=$2 ctlpos=$3 work=$4 case=$5
title="Configure Lumasyn ODBC"
host_pid=

fail() {
    echo "FAIL: $*"
    [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null
    exit 1
}

# poll SECONDS COMMAND...: until COMMAND succeeds; no fixed sleeps.
poll() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

host_running() { kill -0 "$host_pid" 2>/dev/null; }
host_ended() { ! host_running; }

# "x y" of the centre of control $1 of the dialog.
centre() {
    local r
    r=$("$wine_run" "$ctlpos" "$title" "$1" 2>/dev/null) || return 1
    set -- ${r//$'\r'/}
    [ $# -eq 4 ] || return 1
    echo $((($1 + $3) / 2)) $((($2 + $4) / 2))
}

click() {
    local at
    at=$(centre "$1") || fail "control $1 not found"
    xdotool mousemove $at click 1
}

[ -n "${DISPLAY:-}" ] || fail "no X display (scripts/test starts one)"
command -v xdotool >/dev/null || fail "xdotool missing (scripts/install-deps installs it)"

ini=$("$wine_run" winepath -u 'C:\windows\N4.INI' 2>/dev/null | tr -d '\r')
[ -n "$ini" ] || fail "cannot map C:\\windows\\N4.INI"
rm -f "$ini"
rm -rf "$work"
mkdir -p "$work"
cp "$cpl" "$work/veldrano.cpl"
if [ "$case" = ok-dos ]; then
    { head -c 455 /dev/zero; printf KORVELIN; } >"$work/LMSN110.DLL"
fi

cd "$work"
"$wine_run" control.exe veldrano.cpl </dev/null >/dev/null 2>&1 &
host_pid=$!

case "$case" in
ok-dos)
    poll 60 centre 1001 >/dev/null || fail "the dialog did not appear"
    click 1001                          # "DOS"
    click 1                             # OK
    poll 30 host_ended || fail "the host did not end after OK"
    grep -q '^\[Lumasyn\]' "$ini" 2>/dev/null || fail "N4.INI has no [Lumasyn] section: $(cat "$ini" 2>&1)"
    value=$(sed -n 's/^patch110=\(.*\)$/\1/p' "$ini" | tr -d '\r')
    [ "$value" = 0 ] || fail "patch110 is '$value', expected 0"
    echo "PASS: DOS picked with real clicks, host ended, N4.INI holds patch110=0"
    ;;
no-library)
    # While the host runs, the dialog must never show.
    saw_dialog() { centre 0 >/dev/null && echo "the dialog appeared" && return 0; host_ended; }
    poll 30 saw_dialog || fail "the host did not end by itself"
    host_ended || fail "the dialog appeared without LMSN110.DLL"
    [ ! -e "$ini" ] || fail "N4.INI was written"
    echo "PASS: no LMSN110.DLL, no dialog, host ended by itself"
    ;;
*)
    fail "unknown case $case"
    ;;
esac

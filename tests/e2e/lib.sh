# Sourced by the scripts that test under Wine and by scripts/run: waiting
# without fixed sleeps, fresh Wine prefixes, a stand-in for the Lumasyn
# library, and ctlpos.exe on the windows of a prefix. ctl runs $ctlpos
# with $wine_run when the caller sets it (the build's test prefix), else
# with plain wine in $WINEPREFIX.

fail() { echo "FAIL: $*"; exit 1; }

# poll SECONDS COMMAND...: until COMMAND succeeds.
poll() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

# lumasyn_library FILE [MARKER]: a stand-in for the Lumasyn driver's
# LMSN110.DLL, a text saying so with MARKER (the marker, KORVELIN, when
# not given) at offset 455, where the applet looks for it.
lumasyn_library() {
    {
        printf '%-455s' "A stand-in for the Lumasyn ODBC library LMSN110.DLL, not a real driver."
        printf '%s\r\n' "${2:-KORVELIN}"
    } >"$1"
}

# ctl [--text|--checked|--click [N]] TITLE ID|ITEM: what ctlpos.exe says of
# a window, a control or a list item, or a click on it; fails while it is
# not there.
ctl() {
    local r
    r=$("${wine_run:-wine}" "$ctlpos" "$@" 2>/dev/null) || return 1
    echo "${r//$'\r'/}"
}

# fresh_prefix DIR win32|win64: a new Windows in DIR, made the current
# one, that the tests may write into. No window manager runs here:
# unmanaged windows take keyboard focus without Wine's wait, and a crash
# fails at once instead of leaving a dialog up.
fresh_prefix() {
    local boot=wine
    [ "$2" = win64 ] && boot=/usr/lib/wine/wine64
    export WINEPREFIX=$1 WINEARCH=$2 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" VELDRANO_THROWAWAY_WINDOWS=1
    rm -rf "$WINEPREFIX"
    mkdir -p "$(dirname "$WINEPREFIX")"
    "$boot" wineboot -i </dev/null >/dev/null 2>&1 || fail "wineboot failed in $WINEPREFIX"
    "$boot" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
    "$boot" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1
}

# Sourced by the scripts that test under Wine: waiting without fixed
# sleeps, fresh Wine prefixes, and ctlpos.exe on the windows of a prefix.
# ctl runs $ctlpos with $wine_run when the caller sets it (the build's
# test prefix), else with plain wine in $WINEPREFIX.

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

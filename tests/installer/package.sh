#!/usr/bin/env bash
# scripts/package as a user runs it, into build trees of the test's own:
#   package.sh <source dir> <work dir> reproducible
#   package.sh <source dir> <work dir> signed <wine-run> <control_panel_tests.exe>
set -u
src=$1 work=$2 case=$3
root=$src
source "$root/scripts/common"

rm -rf "$work"
mkdir -p "$work"
# package DIR [options]: a release built in its own build tree.
package() {
    local dir=$1; shift
    VELDRANO_BUILD_DIR=$work/$dir "$src/scripts/package" "$@" >"$work/$dir.log" 2>&1 ||
        fail "scripts/package $* failed: $(cat "$work/$dir.log")"
}

case "$case" in
reproducible)
    # Two builds of one version, in differently named folders.
    package one
    package second-build-tree
    version=$(project_version)
    [ -f "$work/one/dist/veldrano-$version.msi" ] || fail "no veldrano-$version.msi: $(ls "$work/one/dist")"
    (cd "$work/one/dist" && sha256sum -c --quiet SHA256SUMS) || fail "SHA256SUMS does not match"
    diff -r "$work/one/dist" "$work/second-build-tree/dist" || fail "two builds of $version differ"
    # Other bytes (another time stamp) make another package code.
    SOURCE_DATE_EPOCH=1 "$src/installer/mkmsi" "$version" "$work/one/veldrano.cpl" "$work/other.msi" || fail "mkmsi"
    revision() { msiinfo suminfo "$1" | grep ^Revision; }
    [ "$(revision "$work/other.msi")" != "$(revision "$work/one/dist/veldrano-$version.msi")" ] || fail "one package code for other bytes"
    # --version makes another product of the same package family.
    package one --version 1.0.1
    [ "$(ls "$work/one/dist" | grep -v '^files-')" = "$(printf '%s\n' SHA256SUMS veldrano-1.0.1-ProductCode.txt veldrano-1.0.1.msi veldrano.cpl)" ] ||
        fail "--version 1.0.1 made $(ls "$work/one/dist")"
    [ "$(ls "$work/one/dist"/files-*.ps1 | wc -l)" = 6 ] || fail "not six settings scripts: $(ls "$work/one/dist")"
    # A checkout with CRLF line ends gives the same scripts; a byte outside ASCII is refused.
    sed 's/$/\r/' "$src/installer/files-setting.ps1" >"$work/crlf.ps1"
    "$src/installer/mksettings" "$work/crlf" "$work/crlf.ps1" || fail "mksettings refused a CRLF template"
    for f in "$work/crlf"/*; do cmp "$f" "$work/one/dist/${f##*/}" || fail "a CRLF checkout changes ${f##*/}"; done
    printf '# caf\xc3\xa9\r\n' >>"$work/crlf.ps1"
    ! "$src/installer/mksettings" "$work/non-ascii" "$work/crlf.ps1" 2>/dev/null || fail "a byte outside ASCII was accepted"
    echo "PASS: two builds of $version are byte-identical; --version 1.0.1 names its package and its product code file;" \
        "the settings scripts the same from a CRLF checkout, and a template with a byte outside ASCII refused"
    ;;
signed)
    wine_run=$4 control_panel_tests=$5
    # A throwaway code-signing certificate, kept outside the build trees.
    secrets=$work/secrets
    mkdir -m 700 "$secrets"
    password="throwaway-$RANDOM-$RANDOM"
    throwaway_certificate "$secrets" "$password" || fail "openssl could not make a certificate"
    # osslsigncode's command lines, as the process list shows them.
    mkdir "$work/shim"
    printf '#!/bin/sh\necho "$*" >>"%s"\nexec "%s" "$@"\n' "$work/argv" "$(command -v osslsigncode)" >"$work/shim/osslsigncode"
    chmod +x "$work/shim/osslsigncode"
    export PATH=$work/shim:$PATH VELDRANO_SIGN_PASSWORD=$password

    package one --sign "$secrets/cert.pfx"
    package two --sign "$secrets/cert.pfx"
    dist=$work/one/dist
    diff -r "$dist" "$work/two/dist" || fail "two signed packages differ"
    (cd "$dist" && sha256sum -c --quiet SHA256SUMS) || fail "SHA256SUMS does not match the signed files"
    msi=$(ls "$dist"/*.msi)
    for f in "$dist/veldrano.cpl" "$msi" "$dist"/files-*.ps1; do
        osslsigncode verify -CAfile "$secrets/cert.pem" -in "$f" >"$work/verify.log" 2>&1 ||
            fail "$(basename "$f") does not verify: $(cat "$work/verify.log")"
        grep -Eq "Message digest algorithm *: SHA256" "$work/verify.log" || fail "$(basename "$f") is not signed with SHA-256"
    done
    # One byte changed: in the code of the applet, in the product name of
    # the package.
    tamper() {  # tamper FILE OFFSET: a copy of the same type, for osslsigncode
        local copy=$work/tampered.${1##*.}
        cp "$1" "$copy"
        printf 'X' | dd of="$copy" bs=1 seek="$2" conv=notrunc 2>/dev/null
        osslsigncode verify -CAfile "$secrets/cert.pem" -in "$1" >/dev/null 2>&1 &&
            ! osslsigncode verify -CAfile "$secrets/cert.pem" -in "$copy" >/dev/null 2>&1
    }
    tamper "$dist/veldrano.cpl" 1100 || fail "a changed byte in veldrano.cpl still verifies"
    name_at=$(grep -boa 'ProductNameLumasyn' "$msi" | head -n1 | cut -d: -f1)
    tamper "$msi" $((name_at + 11)) || fail "a changed byte in the package still verifies"
    tamper "$dist/files-dos-detect.ps1" "$(grep -bo '^\$Wanted = 0' "$dist/files-dos-detect.ps1" | cut -d: -f1)" ||
        fail "a changed byte in a script still verifies"
    osslsigncode remove-signature -in "$dist/veldrano.cpl" -out "$work/unsigned.cpl" >/dev/null &&
        cmp "$work/unsigned.cpl" "$work/one/veldrano.cpl" || fail "without its signature the applet is not the built file"
    pass_leaks=$(grep -rlF "$password" "$work/one" "$work/two" "$work"/*.log "$work/argv")
    [ -z "$pass_leaks" ] || fail "the password is in $pass_leaks"
    grep -q -- "-readpass" "$work/argv" || fail "osslsigncode was not given the password through -readpass"
    find "$work/one" "$work/two" -type f -exec cmp -s "$secrets/cert.pfx" {} \; -print | grep -q . &&
        fail "the certificate file was copied into a build tree"
    echo "ok: two signed releases are byte-identical, the applet, the package and the scripts verify and fail when tampered, and the applet strips back to the built file"

    # The signed applet works in Wine's Control Panel host, where the
    # end-to-end test finds it: beside the test program. And the signed
    # package installs it.
    mkdir "$work/e2e"
    cp "$control_panel_tests" "$dist/veldrano.cpl" "$work/e2e/"
    "$wine_run" "$work/e2e/$(basename "$control_panel_tests")" --gtest_filter='ControlPanel.TwoOpenings*' \
        >"$work/e2e.log" 2>&1 || fail "the signed applet does not work in the Control Panel: $(cat "$work/e2e.log")"
    wine_prefix "$work/prefix" win32 fresh || fail "no Wine prefix"
    trap 'wineserver -k 2>/dev/null' EXIT
    wine msiexec /i "$msi" /qn </dev/null >/dev/null 2>&1 || fail "the signed package does not install"
    installed=$(wine winepath -u 'C:\Program Files\Lumasyn\veldrano.cpl' 2>/dev/null | tr -d '\r')
    cmp "$installed" "$dist/veldrano.cpl" || fail "the installed applet is not the signed file"
    wineserver -k
    rm -rf "$WINEPREFIX"
    echo "PASS: signed with $(osslsigncode --version | head -n1 | cut -d, -f1); the signed applet works, the signed package installs it"
    ;;
*)
    fail "unknown case $case"
    ;;
esac

#!/usr/bin/env bash
# scripts/package as a user runs it, into build trees of the test's own:
#   package.sh <source dir> <work dir> reproducible
set -u
src=$1 work=$2 case=$3
fail() { echo "FAIL: $*"; exit 1; }

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
    version=$(sed -n 's/^project(veldrano VERSION \([0-9.]*\) .*/\1/p' "$src/CMakeLists.txt")
    [ -f "$work/one/dist/veldrano-$version.msi" ] || fail "no veldrano-$version.msi: $(ls "$work/one/dist")"
    (cd "$work/one/dist" && sha256sum -c --quiet SHA256SUMS) || fail "SHA256SUMS does not match"
    diff -r "$work/one/dist" "$work/second-build-tree/dist" || fail "two builds of $version differ"
    # --version makes another product of the same package family.
    package one --version 1.0.1
    [ "$(ls "$work/one/dist")" = "$(printf '%s\n' SHA256SUMS veldrano-1.0.1.msi veldrano.cpl)" ] ||
        fail "--version 1.0.1 made $(ls "$work/one/dist")"
    echo "PASS: two builds of $version are byte-identical; --version 1.0.1 names its package"
    ;;
*)
    fail "unknown case $case"
    ;;
esac

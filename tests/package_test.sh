#!/usr/bin/env bash
# Installation, Debian package and manual page checks.
#   package_test.sh BUILD_DIR SOURCE_DIR install|deb|man
# Exit status: 0 passed, 1 failed, 77 skipped (a needed tool is missing).
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf -- "$scratch"' EXIT

fail() { echo "FAIL: $*"; exit 1; }
need() { for tool; do command -v "$tool" >/dev/null || { echo "SKIP: no $tool"; exit 77; }; done; }

# ROOT holds exactly the binary and the compressed manual page, the latter current.
check_tree() {
    local files
    files=$(cd "$1" && find . ! -type d | sort | tr '\n' ' ')
    [ "$files" = "./bin/brenvox ./share/man/man1/brenvox.1.gz " ] || fail "installed: $files"
    gzip -dc "$1/share/man/man1/brenvox.1.gz" | cmp -s - "$source/man/brenvox.1" ||
        fail "installed manual page differs from man/brenvox.1"
    grep -q '^Version' <<<"$("$1/bin/brenvox" --version)" || fail "installed binary does not run"
}

case $3 in
install)
    "${CMAKE:-cmake}" --install "$build" --prefix "$scratch/prefix" >/dev/null
    check_tree "$scratch/prefix"
    ;;
deb)
    need dpkg-deb dpkg-shlibdeps
    "${CPACK:-cpack}" --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >/dev/null
    deb=$(ls "$scratch"/out/brenvox_1.0.104_*.deb)
    [ "$(dpkg-deb -f "$deb" Section)" = mail ] || fail "section is not mail"
    dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "Depends lacks libc6"
    dpkg-deb -f "$deb" Depends | grep -q 'libssl3' || fail "Depends lacks libssl3"
    [ -n "$(dpkg-deb -f "$deb" Description)" ] || fail "no description"
    dpkg-deb -x "$deb" "$scratch/root"
    check_tree "$scratch/root/usr"
    mta=$scratch/out/brenvox-mta_1.0.104_all.deb
    fields=$(dpkg-deb -f "$mta" Depends Provides Conflicts Replaces | tr '\n' ' ')
    [ "$fields" = "Depends: brenvox (= 1.0.104) Provides: mail-transport-agent \
Conflicts: mail-transport-agent Replaces: mail-transport-agent " ] || fail "brenvox-mta: $fields"
    dpkg-deb -x "$mta" "$scratch/root"
    links=$(cd "$scratch/root" && find . ! -type d ! -name brenvox\* -printf '%y %p>%l\n' |
        sort | tr '\n' ' ')
    [ "$links" = "l ./usr/bin/mailq>brenvox l ./usr/lib/sendmail>../bin/brenvox \
l ./usr/sbin/sendmail>../bin/brenvox " ] || fail "brenvox-mta holds: $links"
    ;;
man)
    need groff
    warnings=$(groff -ww -man -z "$source/man/brenvox.1" 2>&1)
    [ -z "$warnings" ] || fail "groff: $warnings"
    if command -v man >/dev/null; then
        warnings=$(MANWIDTH=80 man --warnings -l "$source/man/brenvox.1" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "man: $warnings"
    fi
    # Every option of the usage text has an entry of its own in the page.
    for option in $("$build/brenvox" --help | grep -oE '^ +-{1,2}[A-Za-z]+' | tr -d ' '); do
        grep -qE "^\.(B|BR|BI|TP) .*${option//-/\\\\-}" "$source/man/brenvox.1" ||
            grep -qF -- "\\${option//-/\\-}" "$source/man/brenvox.1" ||
            fail "no entry for $option"
    done
    # Every error text of src/ appears in the page (roff escapes undone), so the
    # two cannot drift apart.
    page=$(sed -E 's/\\-/-/g; s/\\\((lq|rq|dq)/"/g; s/\\f[BIRP]//g; s/\\[&c|]//g; s/\\ / /g' \
        "$source/man/brenvox.1")
    texts=$(grep -ohE '(stop|printLine)\("[^"]*"|SocketException\([A-Za-z]+, "[^"]*"|"(! |Error|Aborting|Invalid|Unrecognized)[^"]*"' \
        "$source"/src/*.cpp | sed -E 's/^[^"]*"//; s/"$//; s/\\n$//; s/ +$//' | sort -u) ||
        fail "no error texts found in src/"
    missing=""
    while IFS= read -r text; do
        grep -qF -- "$text" <<<"$page" || missing+=$'\n'"  $text"
    done <<<"$texts"
    [ -z "$missing" ] || fail "error texts missing from the manual page:$missing"
    ;;
*) fail "unknown part $3" ;;
esac
echo "ok: $3"

#!/usr/bin/env bash
# Checks the installation, the Debian package and the manual page.
#
#   package_test.sh BUILD_DIR SOURCE_DIR [install|deb|man|all]
#
# install: `cmake --install` into scratch prefixes (--prefix and DESTDIR), the
#          installed files and the installed `brenvox --version`.
# deb:     `cpack -G DEB` into a scratch directory, the package's metadata and
#          contents, and `brenvox --version` from the unpacked package.
# man:     man/brenvox.1 renders without warnings (groff, man-db) and documents
#          every option of `brenvox --help`.
#
# Exit status: 0 passed, 1 failed, 77 skipped (a needed tool is missing).
# CMAKE and CPACK in the environment name the tools to use (default: PATH).

set -u

if [ $# -lt 2 ]; then
    echo "usage: $0 BUILD_DIR SOURCE_DIR [install|deb|man|all]" >&2
    exit 2
fi
build_dir=$(cd "$1" && pwd) || exit 1
source_dir=$(cd "$2" && pwd) || exit 1
part=${3:-all}
cmake_cmd=${CMAKE:-cmake}
cpack_cmd=${CPACK:-cpack}

readonly skip_status=77
failures=0
# Every scratch directory lives under one top directory, removed on exit.
scratch_top=$(mktemp -d "${TMPDIR:-/tmp}/brenvox-package.XXXXXX") || exit 1
trap 'rm -rf -- "$scratch_top"' EXIT
trap 'exit 1' HUP INT TERM

# scratch: prints the path of a new, empty scratch directory.
scratch() {
    mktemp -d "$scratch_top/dir.XXXXXX" || exit 1
}

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

pass() {
    echo "ok: $*"
}

skip() {
    echo "SKIP: $*"
    exit "$skip_status"
}

need() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
    done
}

cache_value() {
    sed -n "s/^$1:[A-Z]*=//p" "$build_dir/CMakeCache.txt" | head -n 1
}

version=$(cache_value CMAKE_PROJECT_VERSION)
[ -n "$version" ] || version=1.0.104

expected_version_text="Brenvox - smtp mailer utility
Version $version - [05.03.2006]"

# check_version LABEL BINARY: --version prints the two lines and exits with 1.
check_version() {
    local label=$1 binary=$2 output status
    if [ ! -x "$binary" ]; then
        fail "$label: $binary is missing or not executable"
        return
    fi
    output=$("$binary" --version 2>&1)
    status=$?
    if [ "$output" != "$expected_version_text" ]; then
        fail "$label: unexpected --version output:"
        printf '%s\n' "$output" | sed 's/^/    /'
    elif [ "$status" -ne 1 ]; then
        fail "$label: --version exited with $status, expected 1"
    else
        pass "$label: --version"
    fi
}

# check_manpage LABEL FILE: FILE is the page, compressed or not, up to date.
check_manpage() {
    local label=$1 file=$2
    case $file in
    *.gz)
        if ! gzip -t "$file" 2>/dev/null; then
            fail "$label: $file is not a valid gzip file"
        elif ! gzip -dc "$file" | cmp -s - "$source_dir/man/brenvox.1"; then
            fail "$label: $file differs from man/brenvox.1 (rebuild to refresh it)"
        else
            pass "$label: manual page $(basename "$file")"
        fi
        ;;
    *)
        if cmp -s "$file" "$source_dir/man/brenvox.1"; then
            pass "$label: manual page $(basename "$file")"
        else
            fail "$label: $file differs from man/brenvox.1"
        fi
        ;;
    esac
}

# installed_manpage ROOT: the manual page under ROOT/share/man/man1, if any.
installed_manpage() {
    local candidate
    for candidate in "$1/share/man/man1/brenvox.1.gz" "$1/share/man/man1/brenvox.1"; do
        if [ -f "$candidate" ]; then
            printf '%s\n' "$candidate"
            return 0
        fi
    done
    return 1
}

# check_tree LABEL ROOT: ROOT holds the binary and the manual page, nothing else.
check_tree() {
    local label=$1 root=$2 page extra
    check_version "$label" "$root/bin/brenvox"
    if page=$(installed_manpage "$root"); then
        check_manpage "$label" "$page"
    else
        fail "$label: no share/man/man1/brenvox.1(.gz) under $root"
    fi
    extra=$(cd "$root" && find . -type f ! -path ./bin/brenvox \
        ! -path ./share/man/man1/brenvox.1.gz ! -path ./share/man/man1/brenvox.1)
    if [ -n "$extra" ]; then
        fail "$label: unexpected files installed:"
        printf '%s\n' "$extra" | sed 's/^/    /'
    fi
}

test_install() {
    need "$cmake_cmd" gzip cmp
    local prefix destdir default_prefix log
    log=$(scratch)/install.log

    prefix=$(scratch)
    if "$cmake_cmd" --install "$build_dir" --prefix "$prefix" >"$log" 2>&1; then
        pass "cmake --install --prefix"
        check_tree "--prefix install" "$prefix"
    else
        fail "cmake --install --prefix $prefix failed:"
        sed 's/^/    /' "$log"
    fi

    # The default prefix, staged through DESTDIR.
    destdir=$(scratch)
    default_prefix=$(cache_value CMAKE_INSTALL_PREFIX)
    if DESTDIR=$destdir "$cmake_cmd" --install "$build_dir" >"$log" 2>&1; then
        pass "DESTDIR install under $default_prefix"
        check_tree "DESTDIR install" "$destdir$default_prefix"
    else
        fail "DESTDIR=$destdir cmake --install failed:"
        sed 's/^/    /' "$log"
    fi
}

# deb_field DEB FIELD: one field of the package's control file.
deb_field() {
    dpkg-deb --field "$1" "$2" 2>/dev/null
}

test_deb() {
    need "$cpack_cmd" dpkg dpkg-deb dpkg-shlibdeps gzip cmp
    local out root log deb arch expected_name value listing contents extra
    out=$(scratch)
    root=$(scratch)
    log=$out/cpack.log

    if ! "$cpack_cmd" --config "$build_dir/CPackConfig.cmake" -G DEB -B "$out" >"$log" 2>&1; then
        fail "cpack -G DEB failed:"
        sed 's/^/    /' "$log"
        return
    fi
    pass "cpack -G DEB"

    arch=$(dpkg --print-architecture)
    expected_name="brenvox_${version}_${arch}.deb"
    deb=$out/$expected_name
    if [ ! -f "$deb" ]; then
        fail "cpack made no $expected_name; found: $(cd "$out" && echo *.deb)"
        return
    fi
    pass "package file $expected_name"

    dpkg-deb --info "$deb" >"$out/info.txt" 2>&1 || fail "dpkg-deb --info failed"
    sed 's/^/    /' "$out/info.txt"

    [ "$(deb_field "$deb" Package)" = brenvox ] || fail "Package is not brenvox"
    [ "$(deb_field "$deb" Version)" = "$version" ] || fail "Version is not $version"
    [ "$(deb_field "$deb" Architecture)" = "$arch" ] || fail "Architecture is not $arch"
    [ "$(deb_field "$deb" Section)" = mail ] || fail "Section is not mail"
    [ "$(deb_field "$deb" Priority)" = optional ] || fail "Priority is not optional"
    value=$(deb_field "$deb" Maintainer)
    [ -n "$value" ] || fail "no Maintainer"
    value=$(deb_field "$deb" Description)
    case $value in
    "command-line SMTP mail sender"*) ;;
    *) fail "Description does not start with the summary: $value" ;;
    esac
    [ "$(printf '%s\n' "$value" | wc -l)" -gt 1 ] || fail "Description has no long text"
    value=$(deb_field "$deb" Depends)
    case ", $value" in
    *", libc6 ("* | *", libc6,"* | *", libc6") pass "Depends: $value" ;;
    *) fail "Depends does not name libc6: '$value'" ;;
    esac
    case $value in
    *libstdc++6*) ;;
    *) fail "Depends does not name libstdc++6: '$value'" ;;
    esac

    listing=$(dpkg-deb --contents "$deb") || fail "dpkg-deb --contents failed"
    contents=$(printf '%s\n' "$listing" | awk '$1 !~ /^d/ {print $NF}')
    extra=$(printf '%s\n' "$contents" | grep -v -x -e ./usr/bin/brenvox \
        -e ./usr/share/man/man1/brenvox.1.gz -e ./usr/share/man/man1/brenvox.1)
    [ -z "$extra" ] || fail "unexpected files in the package: $extra"
    printf '%s\n' "$contents" | grep -q -x ./usr/bin/brenvox ||
        fail "the package has no /usr/bin/brenvox"
    value=$(printf '%s\n' "$listing" | awk '$1 ~ /^d/ && $1 != "drwxr-xr-x"')
    [ -z "$value" ] || fail "directories not of mode 0755 in the package: $value"
    value=$(printf '%s\n' "$listing" | awk '$1 !~ /^d/ && $2 != "root/root"')
    [ -z "$value" ] || fail "files not owned by root/root in the package: $value"

    if ! dpkg-deb --extract "$deb" "$root"; then
        fail "dpkg-deb --extract failed"
        return
    fi
    check_tree "unpacked package" "$root/usr"
    if command -v readelf >/dev/null 2>&1 && [ -f "$root/usr/bin/brenvox" ]; then
        if readelf --section-headers "$root/usr/bin/brenvox" | grep -q '\.debug_'; then
            fail "the packaged binary is not stripped"
        else
            pass "the packaged binary is stripped"
        fi
    fi
}

test_man() {
    need groff
    local page=$source_dir/man/brenvox.1 warnings section help options option tags
    if [ ! -f "$page" ]; then
        fail "$page is missing"
        return
    fi

    warnings=$(groff -ww -man -z "$page" 2>&1) || fail "groff failed"
    if [ -n "$warnings" ]; then
        fail "groff -ww -man -z warns:"
        printf '%s\n' "$warnings" | sed 's/^/    /'
    else
        pass "groff -ww -man -z: no warnings"
    fi

    if command -v man >/dev/null 2>&1; then
        warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
        if [ -n "$warnings" ]; then
            fail "man --warnings -l warns:"
            printf '%s\n' "$warnings" | sed 's/^/    /'
        else
            pass "man --warnings -l: no warnings"
        fi
    else
        echo "note: man is not installed; man --warnings not run"
    fi

    if grep -q "^\.TH BRENVOX 1 .*\"Brenvox $version\"" "$page"; then
        pass ".TH names version $version"
    else
        fail ".TH does not name version $version"
    fi

    for section in NAME SYNOPSIS DESCRIPTION OPTIONS "CONFIGURATION FILE" \
        "EXIT STATUS" EXAMPLES SECURITY FILES "SEE ALSO"; do
        grep -q -x "\.SH \"\{0,1\}$section\"\{0,1\}" "$page" || fail "no section $section"
    done

    # Every option of the usage text has an entry of its own: a .TP paragraph
    # whose tag (.B or .BI) starts with the option, each dash written \-.
    if [ -x "$build_dir/brenvox" ]; then
        help=$("$build_dir/brenvox" --help 2>&1)
        options=$(printf '%s\n' "$help" | sed -n 's/^ \{1,2\}\(--\{0,1\}[A-Za-z][a-z]*\).*/\1/p')
        tags=$(awk 'previous == ".TP" && $1 ~ /^\.(B|BI)$/ {
                       tag = $2; gsub(/"/, "", tag); gsub(/\\-/, "-", tag); print tag
                   }
                   { previous = $0 }' "$page")
        local missing=
        [ -n "$options" ] || fail "no options found in brenvox --help"
        for option in $options; do
            printf '%s\n' "$tags" | grep -q -x -F -e "$option" || missing="$missing $option"
        done
        if [ -n "$missing" ]; then
            fail "options without an entry in the manual page:$missing"
        else
            pass "options of --help documented: $(printf '%s\n' "$options" | tr '\n' ' ')"
        fi
    else
        echo "note: $build_dir/brenvox not built; option coverage not checked"
    fi
}

case $part in
install) test_install ;;
deb) test_deb ;;
man) test_man ;;
all)
    test_install
    test_deb
    test_man
    ;;
*)
    echo "unknown part '$part'" >&2
    exit 2
    ;;
esac

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
exit 0

#!/usr/bin/env bash
# The release's pieces: the man page passes groff's warnings, cmake --install
# lays out PREFIX/bin and PREFIX/share/man under DESTDIR, the installed
# program runs, and the README's tarball lines install it as written.
#   check_release.sh BUILD_FOLDER   (the native build)
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/tests/lib.sh"
build=$(cd "${1:?usage: check_release.sh BUILD_FOLDER}" && pwd)
man=$build/sectpull.1
version=$(cat "$top/VERSION")

warnings=$(groff -man -ww -z "$man" 2>&1)
[ -z "$warnings" ]
result $? "man page has no groff warnings${warnings:+: $warnings}"
for section in NAME SYNOPSIS DESCRIPTION DEVICES "EXIT STATUS" DIAGNOSTICS EXAMPLES CAVEATS; do
    grep -q "^\.SH \"\?$section\"\?$" "$man"
    result $? "man page has $section"
done

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
head -n 1 "$man" | grep -q "\"sectpull $version\""
result $? "man page's title line names version $version"

DESTDIR=$stage cmake --install "$build" --prefix /opt/sp --strip >/dev/null
result $? "cmake --install with DESTDIR=... --prefix /opt/sp"
found=$(cd "$stage" && find . -type f | sort | tr '\n' ' ')
[ "$found" = "./opt/sp/bin/sectpull ./opt/sp/share/man/man1/sectpull.1 " ]
result $? "installs exactly bin/sectpull and the man page (found: $found)"
[ -x "$stage/opt/sp/bin/sectpull" ]
result $? "installed program is executable"
usage=$("$stage/opt/sp/bin/sectpull")
status=$?
[ "$status" = 255 ] && has "$usage" "^  sectpull mbr<Number>: <TargetFile>$" &&
    has "$usage" "^sectpull v$version "
result $? "installed program prints its banner and usage and exits -1 (got $status)"
cmp -s "$stage/opt/sp/share/man/man1/sectpull.1" "$man"
result $? "installed man page is the build's"

# The README's tarball lines, run as written (less sudo) on Debian's stock
# /usr/local, where share/man has no man1: a private mount namespace puts a
# tmpfs with that layout over /usr/local.
lines=$(awk '/^    tar xzf sectpull-/ { on = 1 } on && /^    / { print substr($0, 5); next } on { exit }' \
    "$top/README.md" | sed 's/^sudo //')
tarball=sectpull-$version-linux-x86_64.tar.gz
if [ -z "$lines" ]; then
    result 1 "README has the tarball's install lines"
elif [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null; then
    if [ -n "${CI:-}" ]; then
        result 1 "README's install lines need root for a private /usr/local (CI must run this)"
    else
        echo "skip README's install lines: they need root for a private /usr/local"
    fi
else
    mkdir "$stage/download"
    SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-1765411200} python3 "$top/tools/dist.py" \
        "$build/sectpull" "$stage/download/$tarball" >/dev/null
    unshare -m sh -eu -c '
        mount -t tmpfs tmpfs /usr/local
        mkdir -p /usr/local/bin /usr/local/etc /usr/local/games /usr/local/include \
            /usr/local/lib /usr/local/sbin /usr/local/share/man /usr/local/src
        ln -s share/man /usr/local/man
        cd "$1"
        eval "$2" >/dev/null
        /usr/local/bin/sectpull >/dev/null || [ $? = 255 ]
        cmp -s /usr/local/share/man/man1/sectpull.1 "$3"
        MANPATH=/usr/local/share/man man -w sectpull | grep -qx /usr/local/share/man/man1/sectpull.1
    ' sh "$stage/download" "$lines" "$man"
    result $? "README's install lines work on a stock /usr/local, and man finds the page"
fi
exit $fail

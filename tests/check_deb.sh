#!/usr/bin/env bash
# The Debian package: make deb builds it with debhelper and lintian passes
# it with no error or warning; it holds exactly the program, the gzipped
# man page, the machine-readable copyright and the changelog; its program
# is dynamically linked, stripped, with a build id and Debian's hardening,
# and passes the usage, store and dump rows; its version is VERSION's.
#   check_deb.sh
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/tests/lib.sh"
for tool in dpkg-buildpackage dh lintian hardening-check; do
    command -v $tool >/dev/null || skip_or_fail "no $tool (tools/deps test installs it)"
done
version=$(cat "$top/VERSION")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset MAKEFLAGS MFLAGS MAKELEVEL

package_version=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
[ "${package_version%-*}" = "$version" ]
result $? "debian/changelog's version ($package_version) carries VERSION ($version)"

make -s -C "$top" deb DIST="$work" >"$work/make.log" 2>&1
status=$?
[ $status = 0 ] || tail -n 20 "$work/make.log"
deb=$work/sectpull_${package_version}_amd64.deb
[ $status = 0 ] && [ -f "$deb" ]
result $? "make deb builds $(basename "$deb")"
lintian --allow-root --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1
status=$?
[ $status = 0 ] || cat "$work/lintian.log"
result $status "lintian: no error and no warning"

contents=$(dpkg-deb --contents "$deb" | awk '{ print $6 }' | grep -v '/$' | sort | tr '\n' ' ')
want="./usr/bin/sectpull ./usr/share/doc/sectpull/changelog.Debian.gz ./usr/share/doc/sectpull/copyright "
want="$want./usr/share/lintian/overrides/sectpull ./usr/share/man/man1/sectpull.1.gz "
[ "$contents" = "$want" ]
result $? "holds exactly the program, the man page, copyright, changelog and lintian's override ($contents)"

dpkg-deb -x "$deb" "$work/root"
program=$work/root/usr/bin/sectpull
head -n 1 "$work/root/usr/share/doc/sectpull/copyright" |
    grep -qx "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
result $? "the copyright file is machine-readable"
zcat "$work/root/usr/share/man/man1/sectpull.1.gz" | head -n 1 | grep -q "\"sectpull $version\""
result $? "the man page is gzipped and names version $version"
described=$(file "$program")
has "$described" "dynamically linked" && has "$described" ", stripped" &&
    has "$described" "BuildID\[sha1\]="
result $? "the program is dynamically linked, stripped, with a build id"
# bookworm's dpkg-buildflags has no branch protection to ask for.
hardening-check --nocfprotection "$program" >"$work/hardening.log"
status=$?
[ $status = 0 ] || cat "$work/hardening.log"
result $status "hardening-check: PIE, stack protector, fortify, RELRO, BIND_NOW"
python3 "$top/tests/e2e.py" native "$program" --cases "usage,store mbr,dump mbr" >"$work/e2e.log" 2>&1
status=$?
[ $status = 0 ] || cat "$work/e2e.log"
result $status "the packaged program passes the usage, store and dump rows"
exit $fail

#!/usr/bin/env bash
# The release's pieces: the man page passes groff's warnings, make install
# lays out PREFIX/bin and PREFIX/share/man under DESTDIR, and the installed
# program runs.
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
fail=0
result() { if [ "$1" = 0 ]; then echo "ok   $2"; else echo "FAIL $2"; fail=1; fi; }

warnings=$(groff -man -ww -z "$top/man/sectpull.1" 2>&1)
[ -z "$warnings" ]
result $? "man page has no groff warnings${warnings:+: $warnings}"
for section in NAME SYNOPSIS DESCRIPTION DEVICES "EXIT STATUS" DIAGNOSTICS EXAMPLES CAVEATS; do
    grep -q "^\.SH \"\?$section\"\?$" "$top/man/sectpull.1"
    result $? "man page has $section"
done

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
make -s -C "$top" install DESTDIR="$stage" PREFIX=/opt/sp >/dev/null
result $? "make install DESTDIR=... PREFIX=/opt/sp"
found=$(cd "$stage" && find . -type f | sort | tr '\n' ' ')
[ "$found" = "./opt/sp/bin/sectpull ./opt/sp/share/man/man1/sectpull.1 " ]
result $? "installs exactly bin/sectpull and the man page (found: $found)"
[ -x "$stage/opt/sp/bin/sectpull" ]
result $? "installed program is executable"
"$stage/opt/sp/bin/sectpull" | grep -q "^  sectpull mbr<Number>: <TargetFile>$"
status=${PIPESTATUS[0]}
[ "$status" = 255 ]
result $? "installed program prints its usage and exits -1 (got $status)"
cmp -s "$stage/opt/sp/share/man/man1/sectpull.1" "$top/man/sectpull.1"
result $? "installed man page is the repository's"
exit $fail

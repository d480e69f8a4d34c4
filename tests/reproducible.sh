#!/usr/bin/env bash
# Two builds of the same sources, in different folders and at different
# times, must give byte-identical programs and release archives: the
# Windows exe and zip, the Linux tarball.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/tests/lib.sh"
# Builds of their own, not part of whatever make runs this test.
unset MAKEFLAGS MFLAGS MAKELEVEL
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$top" log -1 --format=%ct 2>/dev/null || echo 1765411200)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tarball=sectpull-$(cat "$top/VERSION")-linux-x86_64

build() {
    local folder=$1
    mkdir -p "$folder"
    (cd "$top" && git ls-files -co --exclude-standard -z | xargs -0 cp --parents -t "$folder")
    (cd "$folder" && cmake --preset win32 >/dev/null && cmake --build --preset win32 >/dev/null &&
        cmake --preset native -DSECTPULL_TESTS=OFF >/dev/null &&
        cmake --build --preset native --target sectpull -j2 >/dev/null &&
        SOURCE_DATE_EPOCH=$epoch python3 tools/dist.py build/win32/sectpull.exe dist/release.zip >/dev/null &&
        SOURCE_DATE_EPOCH=$epoch python3 tools/dist.py build/native/sectpull dist/$tarball.tar.gz >/dev/null)
    sha256sum "$folder/build/win32/sectpull.exe" "$folder/dist/release.zip" \
        "$folder/dist/$tarball.tar.gz" | cut -d' ' -f1
}

first=$(build "$work/one")
sleep 2 # the PE header's time stamp counts seconds
second=$(build "$work/second-build-in-a-longer-path")
line=1
for what in exe zip tarball; do
    a=$(echo "$first" | sed -n "${line}p")
    b=$(echo "$second" | sed -n "${line}p")
    if [ "$a" = "$b" ]; then echo "ok   $what identical: $a"; else echo "FAIL $what differs: $a $b"; fail=1; fi
    line=$((line + 1))
done
unzip -Z1 "$work/one/dist/release.zip" | tr '\n' ' ' | grep -qx "sectpull.exe README.md LICENSE SHA256SUMS " &&
    echo "ok   zip holds sectpull.exe README.md LICENSE SHA256SUMS" || { echo "FAIL zip contents"; fail=1; }
(cd "$work" && mkdir x && cd x && unzip -q ../one/dist/release.zip && sha256sum -c --quiet SHA256SUMS) &&
    echo "ok   zip's SHA256SUMS matches the files" || { echo "FAIL zip's SHA256SUMS"; fail=1; }
want="$tarball/ $tarball/sectpull $tarball/sectpull.1 $tarball/README.md $tarball/LICENSE $tarball/SHA256SUMS "
[ "$(tar tzf "$work/one/dist/$tarball.tar.gz" | tr '\n' ' ')" = "$want" ] &&
    echo "ok   tarball holds $want" || { echo "FAIL tarball contents"; fail=1; }
(cd "$work" && mkdir y && cd y && tar xzf "../one/dist/$tarball.tar.gz" && cd $tarball &&
    sha256sum -c --quiet SHA256SUMS && file sectpull | grep -q "static-pie linked.*, stripped" &&
    { ./sectpull >/dev/null; [ $? = 255 ]; }) &&
    echo "ok   tarball's SHA256SUMS matches, and its program is a stripped static PIE that runs" ||
    { echo "FAIL tarball's program"; fail=1; }
exit $fail

#!/usr/bin/env bash
# Two builds of the same sources, in different folders and at different
# times, must give byte-identical Windows programs and release zips.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$top" log -1 --format=%ct 2>/dev/null || echo 1765411200)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build() {
    local folder=$1
    mkdir -p "$folder"
    (cd "$top" && git ls-files -co --exclude-standard -z | xargs -0 cp --parents -t "$folder")
    (cd "$folder" && cmake --preset win32 >/dev/null && cmake --build --preset win32 >/dev/null &&
        SOURCE_DATE_EPOCH=$epoch python3 tools/dist.py build/win32/sectpull.exe dist/release.zip >/dev/null)
    sha256sum "$folder/build/win32/sectpull.exe" "$folder/dist/release.zip" | cut -d' ' -f1
}

first=$(build "$work/one")
sleep 2 # the PE header's time stamp counts seconds
second=$(build "$work/second-build-in-a-longer-path")
fail=0
for what in exe zip; do
    a=$(echo "$first" | sed -n "$([ $what = exe ] && echo 1 || echo 2)p")
    b=$(echo "$second" | sed -n "$([ $what = exe ] && echo 1 || echo 2)p")
    if [ "$a" = "$b" ]; then echo "ok   $what identical: $a"; else echo "FAIL $what differs: $a $b"; fail=1; fi
done
unzip -Z1 "$work/one/dist/release.zip" | tr '\n' ' ' | grep -qx "sectpull.exe README.md LICENSE SHA256SUMS " &&
    echo "ok   zip holds sectpull.exe README.md LICENSE SHA256SUMS" || { echo "FAIL zip contents"; fail=1; }
(cd "$work" && mkdir x && cd x && unzip -q ../one/dist/release.zip && sha256sum -c --quiet SHA256SUMS) &&
    echo "ok   SHA256SUMS matches the files" || { echo "FAIL SHA256SUMS"; fail=1; }
exit $fail

#!/bin/sh
# Both Windows programs print through msvcrt's own printf family, the C
# runtime the shipped program really uses, so the twin the tests also run
# prints what the shipped one prints. mingw's replacement formatter gives
# itself away by importing localeconv, and by the printf calls it makes
# itself instead of msvcrt's.
#   check_crt_imports.sh SHIPPED.exe TWIN.exe
set -u
. "$(dirname "$0")/lib.sh"
needs "$2" "the twin, from the win64 build"
objdump=${OBJDUMP:-objdump}
crt_imports() {
    "$objdump" -p "$1" | sed -n '/DLL Name: msvcrt.dll/,/^$/p' |
        awk 'NF == 3 && $1 ~ /^[0-9a-f]+$/ { print $3 }' | sort
}
family() { grep -E 'printf$|^put' | tr '\n' ' '; }
shipped=$(crt_imports "$1")
twin=$(crt_imports "$2")

printf '%s\n' "$shipped" | grep -qx printf
result $? "the shipped program imports msvcrt's printf"
printf '%s\n' "$twin" | grep -qx printf
result $? "the twin imports msvcrt's printf"
a=$(printf '%s\n' "$shipped" | family)
b=$(printf '%s\n' "$twin" | family)
[ "$a" = "$b" ]
result $? "the same text output calls in both (shipped: $a; twin: $b)"
for name in localeconv ___lc_codepage_func ___mb_cur_max_func; do
    printf '%s\n%s\n' "$shipped" "$twin" | grep -qx "$name"
    [ $? -ne 0 ]
    result $? "neither imports $name, which only mingw's formatter needs"
done
exit $fail

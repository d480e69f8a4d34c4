#!/bin/sh
# The shipped program and its twin: 32-bit x86 (the shipped one), console
# subsystem, and importing exactly KERNEL32, SHELL32 and msvcrt, DLLs that
# every Windows loads from its KnownDLLs list: no libgcc, libssp or
# libstdc++ DLL, and no cryptography (no ADVAPI32 Crypt* call or
# SystemFunction036, which a stack guard seeded by libssp would import).
#   check_win32.sh SHIPPED.exe TWIN.exe
set -u
exe=${1:?usage: check_win32.sh SHIPPED.exe TWIN.exe}
twin=${2:?usage: check_win32.sh SHIPPED.exe TWIN.exe}
objdump=${OBJDUMP:-objdump}
headers=$("$objdump" -p "$exe") || exit 1
fail=0
check() {
    if printf '%s\n' "$headers" | grep -q -- "$2"; then
        echo "ok   $1"
    else
        echo "FAIL $1: no line matching '$2'"
        fail=1
    fi
}
check "PE32 (not PE32+)" '^Magic[[:space:]]*010b'
check "i386 machine" 'file format pei-i386'
check "console subsystem" '^Subsystem[[:space:]]*00000003'
for program in "$exe" "$twin"; do
    headers=$("$objdump" -p "$program") || exit 1
    imports=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort | tr '\n' ' ')
    if [ "$imports" = "KERNEL32.dll SHELL32.dll msvcrt.dll " ]; then
        echo "ok   $program imports: $imports"
    else
        echo "FAIL $program imports: expected 'KERNEL32.dll SHELL32.dll msvcrt.dll', got '$imports'"
        fail=1
    fi
    crypto=$(printf '%s\n' "$headers" |
        awk 'NF == 3 && $1 ~ /^[0-9a-f]+$/ { print $3 }' | grep -E '^Crypt|^SystemFunction036$')
    if [ -z "$crypto" ]; then
        echo "ok   $program imports no Crypt* function and no SystemFunction036"
    else
        echo "FAIL $program imports cryptography: $(echo $crypto)"
        fail=1
    fi
done
exit $fail

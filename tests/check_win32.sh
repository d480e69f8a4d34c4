#!/bin/sh
# The shipped program: 32-bit x86, console subsystem, and importing only DLLs
# that every Windows has (no libgcc, libssp or libstdc++ DLLs). ADVAPI32 is
# the stack protector's: it seeds its guard from CryptGenRandom.
set -u
exe=${1:?usage: check_win32.sh sectpull.exe}
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
imports=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort | tr '\n' ' ')
if [ "$imports" = "ADVAPI32.dll KERNEL32.dll SHELL32.dll msvcrt.dll " ]; then
    echo "ok   imports: $imports"
else
    echo "FAIL imports: expected 'ADVAPI32.dll KERNEL32.dll SHELL32.dll msvcrt.dll', got '$imports'"
    fail=1
fi
exit $fail

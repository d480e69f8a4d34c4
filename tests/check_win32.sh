#!/bin/sh
# A Windows program: the shipped one 32-bit x86 (its twin x86_64), console
# subsystem, and importing exactly KERNEL32, SHELL32 and msvcrt, DLLs that
# every Windows loads from its KnownDLLs list: no libgcc, libssp or
# libstdc++ DLL, and no cryptography (no ADVAPI32 Crypt* call or
# SystemFunction036, which a stack guard seeded by libssp would import).
#   check_win32.sh sectpull.exe
set -u
. "$(dirname "$0")/lib.sh"
exe=${1:?usage: check_win32.sh sectpull.exe}
headers=$(objdump -p "$exe") || exit 1
if has "$headers" 'file format pei-i386'; then
    has "$headers" '^Magic[[:space:]]*010b'
    result $? "PE32 (not PE32+), i386"
else
    has "$headers" '^Magic[[:space:]]*020b' && has "$headers" 'file format pei-x86-64'
    result $? "PE32+, x86-64"
fi
has "$headers" '^Subsystem[[:space:]]*00000003'
result $? "console subsystem"
imports=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort | tr '\n' ' ')
[ "$imports" = "KERNEL32.dll SHELL32.dll msvcrt.dll " ]
result $? "imports exactly KERNEL32.dll SHELL32.dll msvcrt.dll (got: $imports)"
crypto=$(printf '%s\n' "$headers" |
    awk 'NF == 3 && $1 ~ /^[0-9a-f]+$/ { print $3 }' | grep -E '^Crypt|^SystemFunction036$')
[ -z "$crypto" ]
result $? "imports no Crypt* function and no SystemFunction036${crypto:+: $(echo $crypto)}"
exit $fail

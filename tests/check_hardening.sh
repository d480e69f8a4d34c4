#!/bin/sh
# A build's programs carry the platforms' defences against memory faults.
#   check_hardening.sh native|dynamic|windows BUILD_FOLDER
#
# hardening-check reads the stack protector and fortified calls from a
# program's imports, which a static program has none of. So it checks the
# dynamic build of the same sources and flags in full, and of the static
# native program what it can see (RELRO, BIND_NOW); readelf shows that one
# is a static PIE, and its own objects show the protector and the
# fortified calls. The PE flags come from objdump.
set -u
. "$(dirname "$0")/lib.sh"
kind=${1:?usage: check_hardening.sh native|dynamic|windows BUILD_FOLDER}
build=${2:?usage: check_hardening.sh native|dynamic|windows BUILD_FOLDER}

case $kind in
dynamic)
    hardening-check --nocfprotection "$build/sectpull" >/dev/null
    result $? "hardening-check: the dynamic build is PIE, stack-protected, fortified, RELRO, BIND_NOW"
    ;;
native)
    native=$build/sectpull
    hardening-check --nocfprotection --nostackprotector --nofortify "$native" >/dev/null
    result $? "hardening-check: the static program has RELRO and BIND_NOW"
    headers=$(readelf -hlW "$native")
    has "$headers" "DYN (Position-Independent Executable file)" && ! has "$headers" "INTERP"
    result $? "the native program is a static PIE (DYN, no interpreter)"
    has "$(readelf -dW "$native")" "Flags: NOW PIE"
    result $? "the native program's FLAGS_1 say NOW PIE"
    for object in "$build"/CMakeFiles/sectpull_core.dir/src/sector_copy.cpp.o \
        "$build"/CMakeFiles/sectpull_front.dir/src/command_line.cpp.o; do
        symbols=$(readelf -sW "$object")
        has "$symbols" "UND __stack_chk_fail" && has "$symbols" "UND __printf_chk"
        result $? "$(basename "$object") calls the stack protector and a fortified printf"
    done
    ;;
windows)
    exe=$build/sectpull.exe
    headers=$(objdump -p "$exe")
    flags=$(printf '%s\n' "$headers" | sed -n '/^DllCharacteristics/,/^SizeOfStackReserve/p')
    prefix=i686-w64-mingw32
    wanted="DYNAMIC_BASE NX_COMPAT TERMINAL_SERVICE_AWARE"
    if has "$headers" 'file format pei-x86-64'; then
        prefix=x86_64-w64-mingw32
        wanted="$wanted HIGH_ENTROPY_VA"
    fi
    for flag in $wanted; do
        has "$flags" "$flag"
        result $? "$flag"
    done
    objdump -h "$exe" | grep -q '\.reloc'
    result $? "has relocations, so the loader can move it"
    symbols=$("$prefix-nm" "$build/CMakeFiles/sectpull_core.dir/src/sector_copy.cpp.obj")
    has "$symbols" " U _*__stack_chk_fail$" && has "$symbols" " U _*__stack_chk_guard$"
    result $? "the modules read the stack guard and call its failure"
    guard=$("$prefix-nm" "$build/CMakeFiles/sectpull_core.dir/src/platform/win32/stack_guard.cpp.obj")
    has "$guard" " [BD] _*__stack_chk_guard$" && has "$guard" " T _*__stack_chk_fail$"
    result $? "the platform layer defines the guard and its failure (no libssp)"
    ;;
*)
    echo "usage: check_hardening.sh native|dynamic|windows BUILD_FOLDER" >&2
    exit 2
    ;;
esac
exit $fail

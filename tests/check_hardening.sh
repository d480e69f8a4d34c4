#!/bin/sh
# The programs carry the platforms' defences against memory faults.
#   check_hardening.sh BUILDS   (the build/ folder with native, dynamic, win32, win64)
#
# hardening-check reads the stack protector and fortified calls from a
# program's imports, which a static program has none of. So it checks the
# dynamic build of the same sources and flags in full, and of the static
# native program what it can see (RELRO, BIND_NOW); readelf shows that one
# is a static PIE, and its own objects show the protector and the
# fortified calls. The PE flags come from objdump.
set -u
builds=${1:?usage: check_hardening.sh BUILDS}
fail=0
result() { if [ "$1" = 0 ]; then echo "ok   $2"; else echo "FAIL $2"; fail=1; fi; }
has() { printf '%s\n' "$1" | grep -q -- "$2"; }

hardening-check --nocfprotection "$builds/dynamic/sectpull" >/dev/null
result $? "hardening-check: the dynamic build is PIE, stack-protected, fortified, RELRO, BIND_NOW"
hardening-check --nocfprotection --nostackprotector --nofortify "$builds/native/sectpull" >/dev/null
result $? "hardening-check: the static program has RELRO and BIND_NOW"

native=$builds/native/sectpull
headers=$(readelf -hlW "$native")
has "$headers" "DYN (Position-Independent Executable file)" && ! has "$headers" "INTERP"
result $? "the native program is a static PIE (DYN, no interpreter)"
has "$(readelf -dW "$native")" "Flags: NOW PIE"
result $? "the native program's FLAGS_1 say NOW PIE"
for object in "$builds"/native/CMakeFiles/sectpull_core.dir/src/sector_copy.cpp.o \
    "$builds"/native/CMakeFiles/sectpull_front.dir/src/command_line.cpp.o; do
    symbols=$(readelf -sW "$object")
    has "$symbols" "UND __stack_chk_fail" && has "$symbols" "UND __printf_chk"
    result $? "$(basename "$object") calls the stack protector and a fortified printf"
done

for build in win32 win64; do
    exe=$builds/$build/sectpull.exe
    flags=$(objdump -p "$exe" | sed -n '/^DllCharacteristics/,/^SizeOfStackReserve/p')
    wanted="DYNAMIC_BASE NX_COMPAT TERMINAL_SERVICE_AWARE"
    [ $build = win64 ] && wanted="$wanted HIGH_ENTROPY_VA"
    for flag in $wanted; do
        has "$flags" "$flag"
        result $? "$build: $flag"
    done
    objdump -h "$exe" | grep -q '\.reloc'
    result $? "$build: has relocations, so the loader can move it"
    prefix=$([ $build = win32 ] && echo i686 || echo x86_64)-w64-mingw32
    symbols=$("$prefix-nm" "$builds/$build/CMakeFiles/sectpull_core.dir/src/sector_copy.cpp.obj")
    has "$symbols" " U _*__stack_chk_fail$" && has "$symbols" " U _*__stack_chk_guard$"
    result $? "$build: the modules read the stack guard and call its failure"
    guard=$("$prefix-nm" "$builds/$build/CMakeFiles/sectpull_core.dir/src/platform/win32/stack_guard.cpp.obj")
    has "$guard" " [BD] _*__stack_chk_guard$" && has "$guard" " T _*__stack_chk_fail$"
    result $? "$build: the platform layer defines the guard and its failure (no libssp)"
done
exit $fail

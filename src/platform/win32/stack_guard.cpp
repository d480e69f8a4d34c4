// The stack protector's guard and its failure, in place of GCC's libssp.
// libssp seeds its guard from CryptGenRandom, which loads a cryptographic
// provider (rsaenh.dll and its helpers) into every run; in an elevated run
// started from a download folder, a DLL of that name planted beside the
// program would run as administrator. The guard here is seeded as MSVC
// seeds its security cookie, from KERNEL32 alone.
#include <stdint.h>

#include "platform.h"

extern "C" {
uintptr_t __stack_chk_guard;
__attribute__((noreturn)) void __stack_chk_fail(void);
}

// A guard of zero would let a string copy of zeros pass the check.
static const uintptr_t fallback_guard = (uintptr_t)0x2b992ddfa23249d6ull;

// Not protected itself: it changes the guard that its own check would read.
__attribute__((no_stack_protector)) static void seed_stack_guard(void)
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    uint64_t mixed = (uint64_t)counter.QuadPart;
    mixed ^= (uint64_t)now.dwHighDateTime << 32 | now.dwLowDateTime;
    mixed ^= (uint64_t)GetCurrentProcessId() << 32 | GetCurrentThreadId();
    mixed ^= (uint64_t)GetTickCount() << 16;
    mixed ^= (uint64_t)(uintptr_t)&counter;
    // splitmix64's finaliser: each source's bits reach every bit of the
    // guard, so a clock that barely moves still changes it all.
    mixed ^= mixed >> 30;
    mixed *= 0xbf58476d1ce4e5b9ull;
    mixed ^= mixed >> 27;
    mixed *= 0x94d049bb133111ebull;
    mixed ^= mixed >> 31;
    uintptr_t guard = (uintptr_t)mixed;
    if (sizeof guard < sizeof mixed)
        guard ^= (uintptr_t)(mixed >> 32);
    __stack_chk_guard = guard != 0 ? guard : fallback_guard;
}

// The C runtime's start-up runs the C initialisers (.CRT$XI*) before the
// C++ ones and before main, and no function of ours is on the stack yet, so
// every protected frame sees the seeded guard from its prologue on.
__attribute__((section(".CRT$XIB"), used)) static void (*const seed_entry)(void) = seed_stack_guard;

// A smashed stack must not run one more instruction of the program's own:
// no message, no unwinding, no exit handlers. The platform reports such a
// failure with this status.
__attribute__((no_stack_protector)) void __stack_chk_fail(void)
{
    TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
    __builtin_trap();
}

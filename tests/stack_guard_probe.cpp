// A test-only Windows program, built with the tool's own stack guard:
//     stack_guard_probe guard      prints the guard in hexadecimal
//     stack_guard_probe overflow   writes past a local array, then says so
// Its main is protected too, so a guard seeded after main's prologue would
// fail main's own check and end even the first mode with 0xC0000409.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

extern "C" uintptr_t __stack_chk_guard;

// Volatile, so the compiler cannot see the overflow coming and drop it.
static volatile int bytes_to_write = 48;

__attribute__((noinline)) static int overflow(void)
{
    char local[16];
    for (int i = 0; i < bytes_to_write; i++)
        local[i] = 'x';
    return local[1];
}

int main(int argc, char **argv)
{
    char mode[16] = "";
    if (argc > 1)
        strncpy(mode, argv[1], sizeof mode - 1);
    if (strcmp(mode, "guard") == 0) {
        printf("%016llx\n", (unsigned long long)__stack_chk_guard);
        return 0;
    }
    if (strcmp(mode, "overflow") == 0) {
        printf("before the overflow\n");
        fflush(stdout);
        int result = overflow();
        printf("after the overflow: %d\n", result);
        return 0;
    }
    return 3;
}

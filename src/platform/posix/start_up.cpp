// Start-up: the process's arguments, the %S conversion and the signals,
// set before main runs.
#include <printf.h>
#include <signal.h>
#include <stdio.h>

#include "platform.h"
#include "platform_internal.h"

static int print_wide_bytes(FILE *stream, const struct printf_info *, const void *const *args)
{
    const WCHAR *text = *(const WCHAR *const *)args[0];
    int written = 0;
    for (; *text != 0; text++, written++)
        putc(*text >= 0 && *text <= 255 ? (int)*text : '?', stream);
    return written;
}

static int wide_string_argument(const struct printf_info *, size_t n, int *types, int *sizes)
{
    if (n > 0) {
        types[0] = PA_WSTRING;
        sizes[0] = sizeof(const WCHAR *);
    }
    return 1;
}

// glibc hands init_array functions the process's arguments, which saves
// reading /proc/self/cmdline. The standard %S would convert through the
// locale and stop at the first byte above 127; names must come out as typed.
// A reader of standard output that goes away, or a file-size limit, must
// show as a failed write (EPIPE, EFBIG), not kill the process without a
// word. Blocking both signals does that in one call; the process runs
// nothing else that could want them.
static void start_up(int argc, char **argv, char **)
{
    platform_set_arguments(argc, argv);
    register_printf_specifier('S', print_wide_bytes, wide_string_argument);
    sigset_t fatal_to_writes;
    sigemptyset(&fatal_to_writes);
    sigaddset(&fatal_to_writes, SIGPIPE);
    sigaddset(&fatal_to_writes, SIGXFSZ);
    sigprocmask(SIG_BLOCK, &fatal_to_writes, NULL);
}

__attribute__((section(".init_array"),
               used)) static void (*const start_up_entry)(int, char **, char **) = start_up;

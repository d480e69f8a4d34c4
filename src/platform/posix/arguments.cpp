// The argument round trip: the process's arguments quoted into one command
// line, and a command line split again by the Windows rules.
#include <errno.h>
#include <string.h>

#include "platform.h"
#include "platform_internal.h"

static int saved_argc;
static char **saved_argv;

void platform_set_arguments(int argc, char **argv)
{
    saved_argc = argv != NULL ? argc : 0;
    saved_argv = argv;
}

static bool needs_quotes(const char *argument)
{
    if (*argument == 0)
        return true;
    for (; *argument != 0; argument++) {
        if (*argument == ' ' || *argument == '\t' || *argument == '"')
            return true;
    }
    return false;
}

LPWSTR platform_command_line(int argc, char **argv)
{
    // Worst case: every byte a backslash before a quote doubles, plus two
    // quotes and a separator per argument.
    SIZE_T size = 1;
    for (int i = 0; i < argc; i++)
        size += 2 * strlen(argv[i]) + 3;
    LPWSTR line = (LPWSTR)GlobalAlloc(GMEM_FIXED, size * sizeof(WCHAR));
    if (line == NULL)
        return NULL;

    SIZE_T end = 0;
    for (int i = 0; i < argc; i++) {
        const unsigned char *argument = (const unsigned char *)argv[i];
        if (i > 0)
            line[end++] = ' ';
        if (!needs_quotes(argv[i])) {
            for (; *argument != 0; argument++)
                line[end++] = *argument;
            continue;
        }
        line[end++] = '"';
        SIZE_T backslashes = 0;
        for (; *argument != 0; argument++) {
            if (*argument == '\\') {
                backslashes++;
            } else {
                // Backslashes count only before a quote: there they double.
                SIZE_T repeat = *argument == '"' ? 2 * backslashes + 1 : backslashes;
                for (SIZE_T k = 0; k < repeat; k++)
                    line[end++] = '\\';
                line[end++] = *argument;
                backslashes = 0;
            }
        }
        // The closing quote follows, so trailing backslashes double.
        for (SIZE_T k = 0; k < 2 * backslashes; k++)
            line[end++] = '\\';
        line[end++] = '"';
    }
    line[end] = 0;
    return line;
}

LPWSTR GetCommandLineW(void)
{
    static LPWSTR line;
    if (line == NULL)
        line = platform_command_line(saved_argc, saved_argv);
    return line;
}

static bool is_blank(WCHAR c)
{
    return c == ' ' || c == '\t';
}

LPWSTR *CommandLineToArgvW(LPCWSTR command_line, int *count)
{
    if (command_line == NULL) {
        platform_set_last_error(ENOMEM);
        return NULL;
    }
    // No argument is longer than the line, and there are at most half as
    // many arguments as characters, plus one.
    SIZE_T length = 0;
    while (command_line[length] != 0)
        length++;
    SIZE_T slots = length / 2 + 2;
    LPWSTR *arguments = (LPWSTR *)GlobalAlloc(GMEM_FIXED, slots * sizeof(LPWSTR));
    LPWSTR text = (LPWSTR)GlobalAlloc(GMEM_FIXED, (length + slots) * sizeof(WCHAR));
    if (arguments == NULL || text == NULL)
        return NULL;

    int found = 0;
    LPCWSTR s = command_line;
    LPWSTR out = text;
    for (;;) {
        while (is_blank(*s))
            s++;
        if (*s == 0)
            break;
        arguments[found++] = out;
        bool quoted = false;
        while (*s != 0 && (quoted || !is_blank(*s))) {
            if (*s == '\\') {
                SIZE_T backslashes = 0;
                while (*s == '\\') {
                    backslashes++;
                    s++;
                }
                if (*s == '"') {
                    for (SIZE_T k = 0; k < backslashes / 2; k++)
                        *out++ = '\\';
                    if (backslashes % 2 == 1)
                        *out++ = *s++;
                } else {
                    for (SIZE_T k = 0; k < backslashes; k++)
                        *out++ = '\\';
                }
            } else if (*s == '"') {
                // Inside quotes, a doubled quote stands for one quote.
                if (quoted && s[1] == '"') {
                    *out++ = '"';
                    s += 2;
                } else {
                    quoted = !quoted;
                    s++;
                }
            } else {
                *out++ = *s++;
            }
        }
        *out++ = 0;
    }
    arguments[found] = NULL;
    *count = found;
    return arguments;
}

#include "platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <printf.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform_internal.h"

static DWORD last_error;
static int saved_argc;
static char **saved_argv;
// The file CreateFileW created, whose folder FlushFileBuffers syncs too.
static int created_fd = -1;
static const char *created_path;

static const char sys_block_dir[] = "/sys/block";
static const char dev_dir[] = "/dev";

HGLOBAL GlobalAlloc(UINT flags, SIZE_T size)
{
    if (flags != GMEM_FIXED) {
        last_error = EINVAL;
        return NULL;
    }
    void *memory = malloc(size != 0 ? size : 1);
    if (memory == NULL)
        last_error = ENOMEM;
    return memory;
}

DWORD GetLastError(void)
{
    return last_error;
}

static HANDLE handle_of(int fd)
{
    return (HANDLE)(intptr_t)fd;
}

static int fd_of(HANDLE handle)
{
    return (int)(intptr_t)handle;
}

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
        last_error = ENOMEM;
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

static bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

static size_t run_length(const char *text, bool digits)
{
    size_t length = 0;
    while (text[length] != 0 && is_digit(text[length]) == digits)
        length++;
    return length;
}

int compare_natural(const char *a, const char *b)
{
    const char *first = a;
    const char *second = b;
    while (*a != 0 && *b != 0) {
        bool digits = is_digit(*a);
        if (digits != is_digit(*b))
            return digits ? -1 : 1;
        if (digits) {
            while (*a == '0' && is_digit(a[1]))
                a++;
            while (*b == '0' && is_digit(b[1]))
                b++;
        }
        // A longer run is a larger number, or a later name in the kernel's
        // count sda ... sdz, sdaa.
        size_t length_a = run_length(a, digits);
        size_t length_b = run_length(b, digits);
        if (length_a != length_b)
            return length_a < length_b ? -1 : 1;
        int order = memcmp(a, b, length_a);
        if (order != 0)
            return order < 0 ? -1 : 1;
        a += length_a;
        b += length_b;
    }
    if (*a != *b)
        return *a == 0 ? -1 : 1;
    // Only leading zeros differ; any fixed order will do.
    int order = strcmp(first, second);
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

static bool is_whole_disk(int sys_block_fd, const char *name)
{
    static const char *const not_disks[] = {"loop", "ram", "zram", "dm-", "md", "sr"};
    if (name[0] == '.')
        return false;
    for (const char *prefix : not_disks) {
        if (strncmp(name, prefix, strlen(prefix)) == 0)
            return false;
    }
    char link[NAME_MAX + 8];
    snprintf(link, sizeof link, "%s/device", name);
    struct stat status;
    return fstatat(sys_block_fd, link, &status, AT_SYMLINK_NOFOLLOW) == 0;
}

static int compare_names(const void *a, const void *b)
{
    return compare_natural(*(char *const *)a, *(char *const *)b);
}

int find_whole_disk(const char *sys_block, const char *dev, unsigned long index, char *path,
                    size_t size)
{
    DIR *directory = opendir(sys_block);
    if (directory == NULL)
        return errno;

    char **names = NULL;
    size_t found = 0;
    size_t capacity = 0;
    int error = 0;
    struct dirent *entry;
    errno = 0;
    while ((entry = readdir(directory)) != NULL) {
        if (!is_whole_disk(dirfd(directory), entry->d_name))
            continue;
        if (found == capacity) {
            capacity = capacity != 0 ? 2 * capacity : 16;
            char **grown = (char **)realloc(names, capacity * sizeof *names);
            if (grown == NULL) {
                error = ENOMEM;
                break;
            }
            names = grown;
        }
        names[found] = strdup(entry->d_name);
        if (names[found] == NULL) {
            error = ENOMEM;
            break;
        }
        found++;
        errno = 0;
    }
    if (error == 0 && errno != 0)
        error = errno;
    closedir(directory);

    if (error == 0) {
        if (found > 0)
            qsort(names, found, sizeof *names, compare_names);
        if (index >= found)
            error = ENOENT;
        else if ((size_t)snprintf(path, size, "%s/%s", dev, names[index]) >= size)
            error = ENAMETOOLONG;
    }
    for (size_t i = 0; i < found; i++)
        free(names[i]);
    free(names);
    return error;
}

// True when the rest of a device name is all decimal digits (at least one).
static bool parse_disk_number(LPCWSTR digits, unsigned long *number)
{
    if (*digits == 0)
        return false;
    unsigned long value = 0;
    for (; *digits != 0; digits++) {
        if (*digits < '0' || *digits > '9')
            return false;
        unsigned long digit = (unsigned long)(*digits - '0');
        // A number too large to hold names no disk any machine has.
        if (value > (~0ul - digit) / 10)
            value = ~0ul;
        else
            value = value * 10 + digit;
    }
    *number = value;
    return true;
}

static bool starts_with(LPCWSTR text, const char *prefix)
{
    for (; *prefix != 0; text++, prefix++) {
        if (*text != (WCHAR)(unsigned char)*prefix)
            return false;
    }
    return true;
}

// Turns a wide name into the bytes it came from, mapping the device
// namespace onto /dev. Returns null with last_error set on failure.
static char *system_path(LPCWSTR name)
{
    static const char device_prefix[] = "\\\\.\\";
    static const char disk_word[] = "PhysicalDrive";
    SIZE_T length = 0;
    while (name[length] != 0)
        length++;

    bool device = starts_with(name, device_prefix);
    LPCWSTR rest = device ? name + strlen(device_prefix) : name;
    unsigned long disk_number;
    if (device && starts_with(rest, disk_word) &&
        parse_disk_number(rest + strlen(disk_word), &disk_number)) {
        char *path = (char *)GlobalAlloc(GMEM_FIXED, PATH_MAX);
        if (path == NULL)
            return NULL;
        int error = find_whole_disk(sys_block_dir, dev_dir, disk_number, path, PATH_MAX);
        if (error != 0) {
            last_error = (DWORD)error;
            return NULL;
        }
        return path;
    }

    SIZE_T dev_length = device ? strlen(dev_dir) + 1 : 0;
    char *path = (char *)GlobalAlloc(GMEM_FIXED, dev_length + length + 1);
    if (path == NULL)
        return NULL;
    char *out = path;
    if (device) {
        memcpy(out, dev_dir, dev_length - 1);
        out[dev_length - 1] = '/';
        out += dev_length;
    }
    for (; *rest != 0; rest++) {
        // Such a unit cannot come from the process's arguments, which are
        // bytes; refuse it rather than name some other file.
        if (*rest > 255 || *rest < 0) {
            last_error = EILSEQ;
            return NULL;
        }
        *out++ = (char)*rest;
    }
    *out = 0;
    return path;
}

// A name opened while a standard stream is closed would take its number,
// and then the tool's own messages, written to descriptor 1, would land in
// the target file.
static int clear_of_standard_streams(int fd)
{
    if (fd > 2)
        return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int error = errno;
    close(fd);
    if (moved < 0)
        last_error = (DWORD)error;
    return moved;
}

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD, void *, DWORD disposition, DWORD flags,
                   HANDLE)
{
    int open_flags;
    if (access == GENERIC_READ && disposition == OPEN_EXISTING && flags == 0) {
        open_flags = O_RDONLY | O_CLOEXEC | O_NOCTTY;
    } else if (access == GENERIC_WRITE && disposition == CREATE_NEW && flags == 0) {
        open_flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    } else {
        last_error = EINVAL;
        return INVALID_HANDLE_VALUE;
    }

    char *path = system_path(name);
    if (path == NULL)
        return INVALID_HANDLE_VALUE;
    int fd = open(path, open_flags, 0666);
    if (fd < 0) {
        last_error = (DWORD)errno;
        return INVALID_HANDLE_VALUE;
    }
    fd = clear_of_standard_streams(fd);
    if (fd < 0)
        return INVALID_HANDLE_VALUE;
    if (open_flags & O_CREAT) {
        created_fd = fd;
        created_path = path;
    }
    return handle_of(fd);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, DWORD *count, void *)
{
    ssize_t result;
    do
        result = read(fd_of(file), buffer, size);
    while (result < 0 && errno == EINTR);
    if (result < 0) {
        last_error = (DWORD)errno;
        *count = 0;
        return 0;
    }
    *count = (DWORD)result;
    return 1;
}

// Waits until a descriptor in non-blocking mode can take a write. True when
// the write should be tried again.
static bool wait_writable(int fd)
{
    if (errno != EAGAIN && errno != EWOULDBLOCK)
        return false;
    struct pollfd ready = {fd, POLLOUT, 0};
    int result;
    do
        result = poll(&ready, 1, -1);
    while (result < 0 && errno == EINTR);
    return result > 0;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, DWORD *count, void *)
{
    ssize_t result;
    do
        result = write(fd_of(file), buffer, size);
    while (result < 0 && (errno == EINTR || wait_writable(fd_of(file))));
    if (result < 0) {
        last_error = (DWORD)errno;
        *count = 0;
        return 0;
    }
    *count = (DWORD)result;
    return 1;
}

// The folder part of a path: "." for a bare name, "/" for a name at the root.
static char *folder_of(const char *path)
{
    const char *slash = strrchr(path, '/');
    if (slash == NULL)
        return strdup(".");
    size_t length = slash == path ? 1 : (size_t)(slash - path);
    return strndup(path, length);
}

// A new name is an entry in its folder, and file systems such as FAT do not
// persist it with the file's data.
static BOOL flush_folder(const char *path)
{
    char *folder = folder_of(path);
    if (folder == NULL) {
        last_error = ENOMEM;
        return 0;
    }
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    free(folder);
    if (fd < 0) {
        last_error = (DWORD)errno;
        return 0;
    }
    int result = fsync(fd);
    int error = errno;
    close(fd);
    if (result != 0 && error != EINVAL) {
        last_error = (DWORD)error;
        return 0;
    }
    return 1;
}

BOOL FlushFileBuffers(HANDLE file)
{
    int fd = fd_of(file);
    if (fsync(fd) != 0) {
        last_error = (DWORD)errno;
        return 0;
    }
    return fd == created_fd ? flush_folder(created_path) : 1;
}

DWORD GetFileType(HANDLE file)
{
    struct stat status;
    if (fstat(fd_of(file), &status) != 0) {
        last_error = (DWORD)errno;
        return FILE_TYPE_UNKNOWN;
    }
    if (S_ISCHR(status.st_mode))
        return FILE_TYPE_CHAR;
    if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode))
        return FILE_TYPE_PIPE;
    return FILE_TYPE_DISK;
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION *information)
{
    struct stat status;
    if (fstat(fd_of(file), &status) != 0) {
        last_error = (DWORD)errno;
        return 0;
    }
    DWORD attributes = 0;
    if (S_ISDIR(status.st_mode))
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode))
        attributes |= FILE_ATTRIBUTE_DEVICE;
    uint64_t size = (uint64_t)status.st_size;
    information->dwFileAttributes = attributes;
    information->nFileSizeHigh = (DWORD)(size >> 32);
    information->nFileSizeLow = (DWORD)size;
    information->nNumberOfLinks = (DWORD)status.st_nlink;
    return 1;
}

BOOL CloseHandle(HANDLE handle)
{
    if (close(fd_of(handle)) != 0) {
        last_error = (DWORD)errno;
        return 0;
    }
    return 1;
}

HANDLE GetStdHandle(DWORD which)
{
    if (which != STD_OUTPUT_HANDLE) {
        last_error = EINVAL;
        return INVALID_HANDLE_VALUE;
    }
    if (fcntl(STDOUT_FILENO, F_GETFD) < 0) {
        last_error = (DWORD)errno;
        return INVALID_HANDLE_VALUE;
    }
    return handle_of(STDOUT_FILENO);
}

// Disk names: the whole disks under /sys/block in the kernel's order, and
// the mapping of device paths onto files.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform.h"
#include "platform_internal.h"

static const char sys_block_dir[] = "/sys/block";
static const char dev_dir[] = "/dev";

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

// True when the entry's attribute file holds "1": a hidden NVMe multipath
// path, which has no node of its own and is reached through its head.
static bool is_hidden(int sys_block_fd, const char *name)
{
    char attribute[NAME_MAX + 8];
    snprintf(attribute, sizeof attribute, "%s/hidden", name);
    int fd = openat(sys_block_fd, attribute, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char value = 0;
    ssize_t count = read(fd, &value, 1);
    close(fd);
    return count == 1 && value == '1';
}

// A whole disk has hardware behind it (a "device" link), is not hidden, and
// has a node under dev that the tool can open. Floppy drives have all that
// but would sort before sda and become disk 0.
static bool is_whole_disk(int sys_block_fd, const char *dev, const char *name)
{
    static const char *const not_disks[] = {"loop", "ram", "zram", "dm-", "md", "sr", "fd"};
    if (name[0] == '.')
        return false;
    for (const char *prefix : not_disks) {
        if (strncmp(name, prefix, strlen(prefix)) == 0)
            return false;
    }
    char link[NAME_MAX + 8];
    snprintf(link, sizeof link, "%s/device", name);
    struct stat status;
    if (fstatat(sys_block_fd, link, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (is_hidden(sys_block_fd, name))
        return false;
    char node[PATH_MAX];
    if ((size_t)snprintf(node, sizeof node, "%s/%s", dev, name) >= sizeof node)
        return false;
    return stat(node, &status) == 0;
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
        if (!is_whole_disk(dirfd(directory), dev, entry->d_name))
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

char *platform_system_path(LPCWSTR name)
{
    static const char device_prefix[] = "\\\\.\\";
    static const char disk_word[] = "PhysicalDrive";
    SIZE_T length = 0;
    while (name[length] != 0)
        length++;

    bool device = starts_with(name, device_prefix);
    LPCWSTR rest = device ? name + strlen(device_prefix) : name;
    // An absolute name is what a Linux user types (/dev/sda, an image's
    // path), and opens as typed rather than under /dev.
    if (device && *rest == '/')
        device = false;
    unsigned long disk_number;
    if (device && starts_with(rest, disk_word) &&
        parse_disk_number(rest + strlen(disk_word), &disk_number)) {
        char *path = (char *)GlobalAlloc(GMEM_FIXED, PATH_MAX);
        if (path == NULL)
            return NULL;
        int error = find_whole_disk(sys_block_dir, dev_dir, disk_number, path, PATH_MAX);
        if (error != 0) {
            platform_set_last_error((DWORD)error);
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
            platform_set_last_error(EILSEQ);
            return NULL;
        }
        *out++ = (char)*rest;
    }
    *out = 0;
    return path;
}

// Parts of the POSIX layer that its own files and its tests reach directly.
#ifndef SECTPULL_PLATFORM_INTERNAL_H
#define SECTPULL_PLATFORM_INTERNAL_H

#include <stddef.h>

#include "platform.h"

// Makes these the arguments that GetCommandLineW quotes. Start-up calls it
// with the process's own argv; tests call it with their own.
void platform_set_arguments(int argc, char **argv);

// The command line for these arguments, built anew (GetCommandLineW builds
// it once). Null only when memory runs out.
LPWSTR platform_command_line(int argc, char **argv);

// Writes to path the name under dev of the index-th whole disk (counted from
// 0) among the entries of sys_block that have a "device" link, are not
// hidden (a "hidden" attribute of 1) and have a node under dev, leaving out
// loop, ram, zram, dm-, md, sr and fd devices, in the order of
// compare_natural.
// Returns 0, ENOENT when there is no such disk, or the
// errno of a failed directory read. ENAMETOOLONG when path is too small.
int find_whole_disk(const char *sys_block, const char *dev, unsigned long index, char *path,
                    size_t size);

// Sets the code GetLastError returns, for the calls of other files.
void platform_set_last_error(DWORD code);

// Turns a wide name into the bytes it came from, mapping the device
// namespace onto files (see platform.h). Returns null with the last error
// set on failure.
char *platform_system_path(LPCWSTR name);

// Orders names as the kernel counts its disks: runs of digits as numbers
// ("nvme2n1" < "nvme10n1"), other runs shorter first, then byte by byte
// ("sdz" < "sdaa"). Returns -1, 0 or 1.
int compare_natural(const char *a, const char *b);

#endif

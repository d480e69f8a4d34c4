#include "command_line.h"

#include <stdio.h>

#include "sector_copy.h"
#include "version.h"

static const int usage_status = -1;
static const int failure_status = -2;

static const char banner[] =
    "sectpull v" SECTPULL_VERSION
    " - copies a boot sector or MBR, read-only. Copyright (c) 2026 the sectpull "
    "authors\n"
    "Home: https://sectpull.example.org/\n";

static const char usage[] = "Usage:\n"
                            "  sectpull <DriveLetter>: <TargetFile>\n"
                            "    will store boot-sector in file\n"
                            "  sectpull <DriveLetter>:\n"
                            "    will dump boot-sector to STDOUT\n"
                            "  sectpull mbr<Number>: <TargetFile>\n"
                            "    will store MBR in file\n"
                            "  sectpull mbr<Number>:\n"
                            "    will dump MBR to STDOUT\n";

static const WCHAR volume_prefix[] = L"\\\\.\\";
static const WCHAR disk_prefix[] = L"\\\\.\\PhysicalDrive";
static const SIZE_T volume_prefix_length = sizeof volume_prefix / sizeof(WCHAR) - 1;
static const SIZE_T disk_prefix_length = sizeof disk_prefix / sizeof(WCHAR) - 1;

// Only A to Z are folded: no locale is in effect, and a wider fold would let
// other characters pass for "mbr".
static WCHAR fold_ascii(WCHAR c)
{
    return c >= 65 && c <= 90 ? (WCHAR)(c + 32) : c;
}

bool is_disk_form(LPCWSTR source)
{
    static const WCHAR word[] = L"mbr";
    // Stopping at the first unequal pair keeps a shorter argument's
    // terminator from being read past.
    for (int i = 0; i < 3; i++) {
        if (fold_ascii(source[i]) != fold_ascii(word[i]))
            return false;
    }
    return true;
}

static SIZE_T wide_length(LPCWSTR text)
{
    SIZE_T length = 0;
    while (text[length] != 0)
        length++;
    return length;
}

LPWSTR form_device_path(LPCWSTR source)
{
    bool disk = is_disk_form(source);
    LPCWSTR prefix = disk ? disk_prefix : volume_prefix;
    SIZE_T prefix_length = disk ? disk_prefix_length : volume_prefix_length;
    SIZE_T source_length = wide_length(source);

    // Sized for the whole argument, though the disk form copies three
    // characters fewer.
    LPWSTR path =
        (LPWSTR)GlobalAlloc(GMEM_FIXED, (prefix_length + source_length + 1) * sizeof(WCHAR));
    if (path == NULL)
        return NULL;

    SIZE_T end = 0;
    for (SIZE_T i = 0; i < prefix_length; i++)
        path[end++] = prefix[i];
    for (SIZE_T i = disk ? 3 : 0; i < source_length; i++)
        path[end++] = source[i];
    path[end] = 0;

    // The documented form is mbr<Number>:, and only its colon goes. A
    // forgotten colon must not cost the last digit instead: mbr12 would then
    // read disk 1, and a restore "to disk 12" would write disk 1's table.
    if (disk && path[end - 1] == ':')
        path[end - 1] = 0;
    return path;
}

int main()
{
    int count = 0;
    LPWSTR *arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == NULL) {
        printf("Error %d\n", (int)GetLastError());
        return failure_status;
    }

    if (count < 2) {
        printf("%s", banner);
        printf("%s", usage);
        return usage_status;
    }

    LPWSTR device_path = form_device_path(arguments[1]);
    if (device_path == NULL) {
        printf("Error %d\n", (int)GetLastError());
        return failure_status;
    }
    return sector_copy(device_path, count >= 3 ? arguments[2] : NULL);
}

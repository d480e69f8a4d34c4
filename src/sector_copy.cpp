#include "sector_copy.h"

#include <stdio.h>

static const DWORD sector_size = 512;
static const int failure_status = -2;

static bool is_bad_handle(HANDLE handle)
{
    return handle == NULL || handle == INVALID_HANDLE_VALUE;
}

// The caller takes the code before it prints its message: printing can
// itself call the platform, and the error line must explain the failure,
// not the message's own output.
static int print_error_line(DWORD code)
{
    printf("Error %d\n", (int)code);
    return failure_status;
}

int sector_copy(LPCWSTR device_path, LPCWSTR target)
{
    BYTE *sector = (BYTE *)GlobalAlloc(GMEM_FIXED, sector_size);

    HANDLE source = CreateFileW(device_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, 0, NULL);
    if (is_bad_handle(source)) {
        DWORD code = GetLastError();
        printf("Can't open %S\n", device_path);
        return print_error_line(code);
    }

    // The count, not the call's result, decides: a short read is as much a
    // failure as a refused one. Without a buffer nothing can be read, which
    // shows as a read of 0 bytes. The read's error code is taken before the
    // close can replace it.
    DWORD count = 0;
    if (sector != NULL)
        ReadFile(source, sector, sector_size, &count, NULL);
    DWORD read_code = GetLastError();
    CloseHandle(source);
    if (count != sector_size) {
        printf("Read %d bytes instead of %d\n", (int)count, (int)sector_size);
        return print_error_line(read_code);
    }

    // The sink is taken only with a whole sector in hand, so a failed open
    // or read never leaves an output file behind.
    HANDLE sink;
    if (target == NULL) {
        sink = GetStdHandle(STD_OUTPUT_HANDLE);
        if (is_bad_handle(sink)) {
            DWORD code = GetLastError();
            printf("Can't access STDOUT\n");
            return print_error_line(code);
        }
    } else {
        sink = CreateFileW(target, GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
        if (is_bad_handle(sink)) {
            DWORD code = GetLastError();
            printf("Can't create output file %S\n", target);
            return print_error_line(code);
        }
    }

    // The sector goes straight to the handle, never through the text
    // output, so no line-ending translation or buffering touches it.
    count = 0;
    WriteFile(sink, sector, sector_size, &count, NULL);
    if (count != sector_size) {
        // The sink stays open: the end of the process releases it, and a
        // partial file stays where it is for the user to see.
        DWORD code = GetLastError();
        printf("Written %d bytes instead of %d\n", (int)count, (int)sector_size);
        return print_error_line(code);
    }
    CloseHandle(sink);
    return 0;
}

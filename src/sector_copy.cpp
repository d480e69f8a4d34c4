#include "sector_copy.h"

#include <stdio.h>

static const DWORD sector_size = 512;
static const int failure_status = -2;
// Either name can reach a named pipe (\\.\pipe\NAME), whose server could
// otherwise act as the user who runs the tool, an administrator as often as
// not: with these bits it may only learn who connected. Files and devices
// ignore them.
static const DWORD open_flags = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

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

// msvcrt's printf abandons the rest of its format, newline included, at the
// first character of a name that has no narrow form, and runtimes differ in
// how much of the name they print before it. One character a call makes the
// cut the same everywhere, just before that character, and lets the line end
// so the error line stands on its own.
static void print_named(const char *message, LPCWSTR name)
{
    printf("%s", message);
    WCHAR one[2] = {0, 0};
    for (; *name != 0; name++) {
        one[0] = *name;
        if (printf("%S", one) < 0)
            break;
    }
    printf("\n");
}

// A name the platform keeps for a device (NUL, CON, \\.\PhysicalDrive1,
// ...) can open that device even with CREATE_NEW, and only the handle can
// tell. A new file on a file system is a disk file that the platform
// describes as empty, and neither a folder nor a device. Returns 0 for such
// a file, ERROR_FILE_EXISTS for anything else, and the query's own code when
// the handle could not be asked: that is no sign of a device.
static DWORD check_new_file(HANDLE file)
{
    DWORD type = GetFileType(file);
    if (type == FILE_TYPE_UNKNOWN) {
        // The platform sets no code when the type is merely unknown.
        DWORD code = GetLastError();
        return code != 0 ? code : ERROR_FILE_EXISTS;
    }
    if (type != FILE_TYPE_DISK)
        return ERROR_FILE_EXISTS;
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(file, &information))
        return GetLastError();
    DWORD not_a_file = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE;
    if ((information.dwFileAttributes & not_a_file) != 0 || information.nFileSizeHigh != 0 ||
        information.nFileSizeLow != 0)
        return ERROR_FILE_EXISTS;
    return 0;
}

int sector_copy(LPCWSTR device_path, LPCWSTR target)
{
    BYTE *sector = (BYTE *)GlobalAlloc(GMEM_FIXED, sector_size);
    // Kept now: the open that follows clears the code when it succeeds.
    DWORD allocation_code = sector == NULL ? GetLastError() : 0;

    HANDLE source = CreateFileW(device_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, open_flags, NULL);
    if (is_bad_handle(source)) {
        DWORD code = GetLastError();
        print_named("Can't open ", device_path);
        return print_error_line(code);
    }

    // The count, not the call's result, decides: a short read is as much a
    // failure as a refused one. Without a buffer nothing can be read, which
    // shows as a read of 0 bytes with the allocation's code. The read's
    // error code is taken before the close can replace it.
    DWORD count = 0;
    DWORD read_code = allocation_code;
    if (sector != NULL) {
        ReadFile(source, sector, sector_size, &count, NULL);
        read_code = GetLastError();
    }
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
        sink = CreateFileW(target, GENERIC_WRITE, 0, NULL, CREATE_NEW, open_flags, NULL);
        if (is_bad_handle(sink)) {
            DWORD code = GetLastError();
            print_named("Can't create output file ", target);
            return print_error_line(code);
        }
        // Closed before a byte is written.
        DWORD code = check_new_file(sink);
        if (code != 0) {
            CloseHandle(sink);
            print_named("Can't create output file ", target);
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

    // A backup counts as stored only once it is on stable storage: a write
    // alone may still fail on its way there (a full thin disk, a network
    // file system reporting at the close), or vanish in a power cut.
    // Standard output, a console or a pipe, has nothing to flush.
    if (target != NULL && (!FlushFileBuffers(sink) || !CloseHandle(sink))) {
        DWORD code = GetLastError();
        print_named("Can't flush output file ", target);
        return print_error_line(code);
    }
    if (target == NULL)
        CloseHandle(sink);
    return 0;
}

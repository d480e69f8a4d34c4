// The file and handle calls, with the last error and the memory they share.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform.h"
#include "platform_internal.h"

static DWORD last_error;
// The file CreateFileW created, whose folder FlushFileBuffers syncs too.
static int created_fd = -1;
static const char *created_path;

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

void platform_set_last_error(DWORD code)
{
    last_error = code;
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
    DWORD ignored_flags = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
    if ((flags & ~ignored_flags) != 0) {
        last_error = EINVAL;
        return INVALID_HANDLE_VALUE;
    }
    if (access == GENERIC_READ && disposition == OPEN_EXISTING) {
        open_flags = O_RDONLY | O_CLOEXEC | O_NOCTTY;
    } else if (access == GENERIC_WRITE && disposition == CREATE_NEW) {
        open_flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    } else {
        last_error = EINVAL;
        return INVALID_HANDLE_VALUE;
    }

    char *path = platform_system_path(name);
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
    // As Windows' CreateFileW does for these dispositions: a code left over
    // from an earlier call must not explain a later failure.
    last_error = 0;
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

// Commits the whole file system that holds the file, the new name
// included, without opening anything.
static BOOL sync_file_system(int file_fd)
{
    if (syncfs(file_fd) != 0) {
        last_error = (DWORD)errno;
        return 0;
    }
    return 1;
}

// A new name is an entry in its folder, and file systems such as FAT do not
// persist it with the file's data. A folder that the user may write but not
// read (a drop box), or a descriptor limit, keeps the folder from being
// opened, though the file is written and synced: the file system's own
// sync then makes the name durable, and only its failure is a failure.
static BOOL flush_folder(int file_fd, const char *path)
{
    char *folder = folder_of(path);
    if (folder == NULL)
        return sync_file_system(file_fd);
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    free(folder);
    if (fd < 0)
        return sync_file_system(file_fd);
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
    return fd == created_fd ? flush_folder(fd, created_path) : 1;
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

// The Win32 calls the tool makes, provided on POSIX by the tool itself.
//
// Only what the two modules use is here. Every call behaves as its Win32
// namesake does for the arguments the tool passes, with these differences:
//
// - A handle is a file descriptor. CreateFileW never returns descriptors 0, 1
//   or 2, so a file opened while a standard stream is closed cannot receive
//   the tool's own messages.
// - The last-error code is the errno value of the failed system call. Every
//   call that fails sets it; calls that succeed leave it alone, except
//   CreateFileW, which sets it to 0 as Windows does. It is kept apart from
//   errno, so the text output cannot change it before it is read.
// - Names are wide strings whose code units are bytes (0 to 255): each byte
//   of the process's arguments becomes one code unit, and each code unit
//   becomes the same byte again when a name reaches the system or a message.
//   Names that are not valid UTF-8 therefore survive unchanged.
// - "\\.\NAME" opens /dev/NAME, except "\\.\/PATH", which opens the
//   absolute path /PATH as typed, and "\\.\PhysicalDriveN" (N all decimal
//   digits), which opens the N-th whole disk counted from 0 in natural name
//   order (see find_whole_disk). Other names are ordinary paths.
// - SIGPIPE and SIGXFSZ are blocked, so a gone reader or a file-size limit
//   shows as a failed write rather than a silent death.
// - Share modes are accepted and ignored: POSIX has no mandatory locking of
//   this kind, so other processes can always read and write the device.
// - printf's %S prints a wide string as those bytes.
#ifndef SECTPULL_PLATFORM_H
#define SECTPULL_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef size_t SIZE_T;
typedef wchar_t WCHAR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef void *HANDLE;
typedef void *HGLOBAL;

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define SECURITY_SQOS_PRESENT 0x00100000u
#define SECURITY_IDENTIFICATION 0x00010000u
#define CREATE_NEW 1u
#define OPEN_EXISTING 3u
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define GMEM_FIXED 0x0000u
#define FILE_TYPE_UNKNOWN 0u
#define FILE_TYPE_DISK 1u
#define FILE_TYPE_CHAR 2u
#define FILE_TYPE_PIPE 3u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define FILE_ATTRIBUTE_DEVICE 0x40u
// The code of a name that is taken: EEXIST, as an O_EXCL create reports it.
#define ERROR_FILE_EXISTS 17u

// The fields of the Win32 structure that the tool reads.
struct BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
};

// The process's arguments as one command line, quoted so that
// CommandLineToArgvW gives back exactly the original arguments. Null, unlike
// on Windows, when memory runs out: an empty line would pass for no
// arguments at all.
LPWSTR GetCommandLineW(void);

// Splits a command line by the Windows rules: spaces and tabs separate
// arguments unless quoted; 2n backslashes before a quote give n backslashes
// and the quote opens or closes quoting; 2n+1 give n and a literal quote;
// other backslashes are literal. Null when memory runs out, or when
// command_line is null (ENOMEM then, as that is the only cause).
LPWSTR *CommandLineToArgvW(LPCWSTR command_line, int *count);

// Fixed memory that is never freed. Null only when memory runs out.
HGLOBAL GlobalAlloc(UINT flags, SIZE_T size);

// Supports two combinations and refuses others with EINVAL:
// GENERIC_READ with OPEN_EXISTING opens O_RDONLY | O_NOCTTY, and
// GENERIC_WRITE with CREATE_NEW creates with O_WRONLY | O_CREAT | O_EXCL and
// mode 0666 before the umask, so an existing name, even a dangling symlink, is
// refused and never followed. Both add O_CLOEXEC. The flags may hold the
// security quality of service that Windows gives named pipes
// (SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION), which has no POSIX
// counterpart and is ignored; any other flag is refused with EINVAL.
// Returns INVALID_HANDLE_VALUE on failure.
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, void *security, DWORD disposition,
                   DWORD flags, HANDLE template_file);

// One read or write system call (retried only when interrupted). The count
// is what the system reported, 0 on failure; a short count is not a failure.
// A write to a descriptor in non-blocking mode that cannot take the bytes
// yet waits until it can, as a Windows write does.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, DWORD *count, void *overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, DWORD *count, void *overlapped);

// fsync of the file and, for a file that CreateFileW created, of the folder
// that holds it, so that its name is as stable as its bytes. A folder whose
// file system cannot be synced (EINVAL) is left as it is. A folder that
// cannot be opened (no read permission, as in a drop box of mode 0333, or
// no descriptor left) is made durable by syncfs on the file instead, which
// commits the whole file system, the name included; only when that fails
// too does the call fail, with syncfs's errno. Measured on Linux 6.18, a
// store and a drop-box store both succeed, the folder's fsync and syncfs
// each returning 0, on ext4, ext4 without a journal, ext2, xfs, btrfs,
// tmpfs and a FUSE file system; none of them answers EINVAL. (On ext4 the
// file's own fsync already commits a new name; FAT is where the folder's
// sync matters, and this kernel has none to measure.)
BOOL FlushFileBuffers(HANDLE file);

// FILE_TYPE_DISK for a regular file, a folder or a block device,
// FILE_TYPE_CHAR for a character device, FILE_TYPE_PIPE for a FIFO or a
// socket; FILE_TYPE_UNKNOWN when fstat fails.
DWORD GetFileType(HANDLE file);

// From fstat: FILE_ATTRIBUTE_DIRECTORY for a folder, FILE_ATTRIBUTE_DEVICE
// for a device node, and the size.
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION *information);

BOOL CloseHandle(HANDLE handle);

// Descriptor 1, or INVALID_HANDLE_VALUE with EBADF when it is not open.
HANDLE GetStdHandle(DWORD which);

DWORD GetLastError(void);

#endif

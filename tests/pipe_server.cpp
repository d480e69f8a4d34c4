// A test-only Windows program: the server end of one named pipe.
//     pipe_server NAME send     serves one client the 512 bytes of pattern()
//     pipe_server NAME accept   takes one client and counts what it writes
// Prints "ready" once the pipe exists, then, after its client, "sent N" or
// "received N". Exits 0, or 2 when no client came within 30 seconds, or 3
// when the pipe could not be made.
#include <stdio.h>
#include <string.h>
#include <windows.h>

static BYTE pattern(int i)
{
    return (BYTE)(i * 7 + 3);
}

int main(int argc, char **argv)
{
    if (argc != 3)
        return 3;
    char name[300];
    snprintf(name, sizeof name, "\\\\.\\pipe\\%s", argv[1]);
    bool send = strcmp(argv[2], "send") == 0;
    HANDLE pipe =
        CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, NULL);
    if (pipe == INVALID_HANDLE_VALUE)
        return 3;
    printf("ready\n");
    fflush(stdout);

    OVERLAPPED connecting = {};
    connecting.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!ConnectNamedPipe(pipe, &connecting)) {
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            if (WaitForSingleObject(connecting.hEvent, 30000) != WAIT_OBJECT_0)
                return 2;
        } else if (error != ERROR_PIPE_CONNECTED) {
            return 3;
        }
    }

    DWORD total = 0;
    OVERLAPPED io = {};
    io.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (send) {
        BYTE sector[512];
        for (int i = 0; i < 512; i++)
            sector[i] = pattern(i);
        DWORD count = 0;
        if (WriteFile(pipe, sector, sizeof sector, NULL, &io) || GetLastError() == ERROR_IO_PENDING)
            GetOverlappedResult(pipe, &io, &count, TRUE);
        FlushFileBuffers(pipe);
        total = count;
        printf("sent %lu\n", (unsigned long)total);
    } else {
        BYTE buffer[4096];
        for (;;) {
            DWORD count = 0;
            ResetEvent(io.hEvent);
            if (!ReadFile(pipe, buffer, sizeof buffer, NULL, &io) &&
                GetLastError() != ERROR_IO_PENDING)
                break;
            if (!GetOverlappedResult(pipe, &io, &count, TRUE) || count == 0)
                break;
            total += count;
        }
        printf("received %lu\n", (unsigned long)total);
    }
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
    return 0;
}

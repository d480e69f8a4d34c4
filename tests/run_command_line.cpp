// Runs a Windows program with a command line exactly as typed, so the tests
// can hand sectpull quotes and backslashes the way a console would:
//     run_command_line PROGRAM "REST OF THE LINE" [no-stdout]
// With no-stdout the program starts with a null standard output handle, as
// a process started without one does. Exits with the program's own exit
// code, or 3 when it could not be run.
#include <windows.h>

#include <shellapi.h>

int main()
{
    int count = 0;
    LPWSTR *arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == NULL || count < 3 || count > 4)
        return 3;
    bool no_stdout = count == 4 && lstrcmpW(arguments[3], L"no-stdout") == 0;
    if (count == 4 && !no_stdout)
        return 3;

    int size = lstrlenW(arguments[1]) + lstrlenW(arguments[2]) + 4;
    LPWSTR line = (LPWSTR)GlobalAlloc(GMEM_FIXED, (SIZE_T)size * sizeof(WCHAR));
    if (line == NULL)
        return 3;
    lstrcpyW(line, L"\"");
    lstrcatW(line, arguments[1]);
    lstrcatW(line, L"\" ");
    lstrcatW(line, arguments[2]);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = no_stdout ? NULL : GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process;
    if (!CreateProcessW(arguments[1], line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process))
        return 3;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 3;
    GetExitCodeProcess(process.hProcess, &code);
    return (int)code;
}

// The Windows build calls the Win32 API itself; this header only pulls in the
// declarations the two modules use.
#ifndef SECTPULL_PLATFORM_H
#define SECTPULL_PLATFORM_H

// First, so that msvcrt's own printf is declared: on x86_64 <windows.h>
// reaches libstdc++'s configuration, which would switch stdio.h to mingw's
// replacement formatter, and the two builds would print differently.
#include <stdio.h>

#include <windows.h>

#include <shellapi.h>

#endif

// The Windows build calls the Win32 API itself; this header only pulls in the
// declarations the two modules use.
#ifndef SECTPULL_PLATFORM_H
#define SECTPULL_PLATFORM_H

#include <windows.h>

#include <shellapi.h>

#endif

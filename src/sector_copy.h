#ifndef SECTPULL_SECTOR_COPY_H
#define SECTPULL_SECTOR_COPY_H

#include "platform.h"

// Reads the first 512 bytes of the device and writes them unchanged to a new
// file named target, or to standard output when target is null. The device
// is only read. Reports a failure on standard output as its message and the
// error line. Returns 0, or -2 on any failure.
int sector_copy(LPCWSTR device_path, LPCWSTR target);

#endif

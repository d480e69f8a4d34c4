#ifndef SECTPULL_COMMAND_LINE_H
#define SECTPULL_COMMAND_LINE_H

#include "platform.h"

// True when the source argument names a physical disk: its first three
// characters are "mbr" in any mix of ASCII letter case.
bool is_disk_form(LPCWSTR source);

// The device path for a source argument: "\\.\" and the whole argument, or,
// for the disk form, "\\.\PhysicalDrive" and the text after "mbr" less a
// final colon (that of mbr<Number>:). Null only when memory runs out.
LPWSTR form_device_path(LPCWSTR source);

#endif

#!/usr/bin/python3
"""A FUSE file system of one file, disk.img, that logs every write and flush.

    write_log_fs.py BACKING MOUNTPOINT LOG

It serves BACKING as MOUNTPOINT/disk.img, the way a disk would hold it: a
loop device over disk.img turns the block layer's writes into writes here,
and its flushes (cache flushes, FUA) into fsync. Each write is appended to
LOG before it is acknowledged, as "W", offset and length (little-endian
64 and 32 bits) and the bytes; each fsync as "F" and two zeros. So the log,
cut at any moment, holds exactly what had reached the disk by then, in
order, the way dm-log-writes records it for xfstests.

Runs in the foreground, one request at a time, until unmounted.
"""

import errno
import os
import stat
import struct
import sys

from fusepy import FUSE, FuseOSError, Operations

NAME = "/disk.img"


class WriteLog(Operations):
    def __init__(self, backing, log):
        self.backing = os.open(backing, os.O_RDWR)
        self.size = os.fstat(self.backing).st_size
        self.log = os.open(log, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_APPEND, 0o600)

    def record(self, kind, offset=0, data=b""):
        entry = kind + struct.pack("<QI", offset, len(data)) + data
        if os.write(self.log, entry) != len(entry):
            raise FuseOSError(errno.EIO)

    def getattr(self, path, fh=None):
        if path == "/":
            return {"st_mode": stat.S_IFDIR | 0o755, "st_nlink": 2}
        if path == NAME:
            return {"st_mode": stat.S_IFREG | 0o600, "st_nlink": 1, "st_size": self.size}
        raise FuseOSError(errno.ENOENT)

    def readdir(self, path, fh):
        return [".", "..", NAME[1:]]

    def open(self, path, flags):
        if path != NAME:
            raise FuseOSError(errno.ENOENT)
        return 0

    def read(self, path, size, offset, fh):
        return os.pread(self.backing, size, offset)

    def write(self, path, data, offset, fh):
        if offset + len(data) > self.size:
            raise FuseOSError(errno.ENOSPC)
        self.record(b"W", offset, data)
        return os.pwrite(self.backing, data, offset)

    def fsync(self, path, datasync, fh):
        self.record(b"F")
        return 0

    def flush(self, path, fh):
        # close(2), not a cache flush: nothing is promised to be durable.
        return 0

    def truncate(self, path, length, fh=None):
        if length != self.size:
            raise FuseOSError(errno.EPERM)


def main():
    backing, mountpoint, log = sys.argv[1:4]
    FUSE(WriteLog(backing, log), mountpoint, foreground=True, nothreads=True, direct_io=True)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""End-to-end cases for sectpull, run against one build of the real program.

    e2e.py native PROGRAM [--wrap CMD...]   the Linux program (under CMD, such as valgrind)
    e2e.py wine PROGRAM --launcher EXE      the Windows program, under Wine
    ... --cases NAME,NAME                   only those cases (a release's smoke test)

Every case runs in a fresh, empty folder on disk images made here with real
tools. It checks the exit status, the exact bytes on standard output, every
file left in the folder afterwards, that standard error stays empty, and
that no image changed. Platform differences (error codes, line endings, how
a fixture is reached) are columns of the table, not copied cases. A failing
case prints expected against actual.

Natively, where standard output can't be read back (closed, /dev/full, a
pipe nobody reads), strace records what the program tried to write to it;
strace also injects the read and write faults.
"""

import argparse
import hashlib
import os
import pty
import re
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

import fixtures
import wine

with open(os.path.join(fixtures.TOP, "VERSION")) as version_file:
    VERSION = version_file.read().strip()
BANNER = [
    "sectpull v%s - copies a boot sector or MBR, read-only. Copyright (c) 2026 the sectpull "
    "authors" % VERSION,
    "Home: https://sectpull.example.org/",
]

USAGE = [
    "Usage:",
    "  sectpull <DriveLetter>: <TargetFile>",
    "    will store boot-sector in file",
    "  sectpull <DriveLetter>:",
    "    will dump boot-sector to STDOUT",
    "  sectpull mbr<Number>: <TargetFile>",
    "    will store MBR in file",
    "  sectpull mbr<Number>:",
    "    will dump MBR to STDOUT",
]

# Error codes by platform: (Windows as Wine reports it, Linux errno).
ERRORS = {
    "none": (0, 0),
    "exists": (80, 17),  # ERROR_FILE_EXISTS, EEXIST
    "not_found": (2, 2),  # ERROR_FILE_NOT_FOUND, ENOENT
    "no_folder": (3, 2),  # ERROR_PATH_NOT_FOUND, ENOENT
    "denied": (5, 13),  # ERROR_ACCESS_DENIED, EACCES
    "bad_name": (123, 2),  # ERROR_INVALID_NAME; /dev/ + such a name is just absent
    "is_dir": (5, 21),  # ERROR_ACCESS_DENIED at the open, EISDIR at the read
    "bad_fd": (None, 9),  # EBADF
    "full": (None, 28),  # ENOSPC
    "pipe": (None, 32),  # EPIPE
    "io": (None, 5),  # EIO
    "long_source": (123, 36),  # ERROR_INVALID_NAME, ENAMETOOLONG
    "long_target": (2, 36),  # ERROR_FILE_NOT_FOUND, ENAMETOOLONG
    "too_big": (None, 27),  # EFBIG
    "no_memory": (None, 12),  # ENOMEM
    "no_console": (6, None),  # ERROR_INVALID_HANDLE: a console name with no console
    "no_port": (2, None),  # ERROR_FILE_NOT_FOUND: a port the machine does not have
}

# The longest single argument each platform passes: Linux's MAX_ARG_STRLEN
# less the terminator; Windows' command line holds 32 767 characters in all.
LONG = {"wine": 32000, "native": 131071}

SECTOR = 512
EXISTING = b"precious data\n" * 10
NOBODY = 65534


def sector(fixture):
    """Expected output: the first sector of a fixture, as raw bytes."""
    return ("sector", fixture)


def sector_start(fixture, size):
    """Expected output: the first size bytes of a fixture's sector."""
    return ("sector", fixture, size)


def symlink(to):
    return ("symlink", to)


FIFO = ("fifo",)


class Case:
    def __init__(self, name, args, status, out=None, files=None, before=None, stdout="pipe",
                 only=None, inject=None, user=None, raw=None, limits=None, stdin=None,
                 env=None, disks=False, comment=""):
        self.name = name
        # "@name" stands for a fixture's source argument on the platform at
        # hand, "@long" for the longest argument the platform passes.
        self.args = args
        self.status = status  # 0, -1 or -2
        # Lines and sectors, or a dict of them by platform where the platforms
        # differ. Natively it is also checked when standard output is not a
        # pipe; under Wine only then is it left unchecked.
        self.out = out
        self.files = files or {}  # every name expected in the folder afterwards
        # Names made before the run: bytes for a file, symlink(to), FIFO, or
        # for a folder (name ending in "/") None or its mode.
        self.before = before or {}
        # pipe, closed, full, broken, file (read back afterwards),
        # nonblocking (a pipe in non-blocking mode, full when the program
        # starts, drained a moment later) or, under Wine, null (the launcher
        # starts the program with a null standard output handle, and Wine's
        # file trace must show no write to that handle)
        self.stdout = stdout
        self.only = only  # "native" or "wine" where only one platform can show it
        # Natively, strace fault injections (separated by spaces), and what
        # they hit: "source" or
        # "target" (only calls on that file), or None (calls on anything).
        self.inject = inject[0] if isinstance(inject, tuple) else inject
        self.inject_on = inject[1] if isinstance(inject, tuple) else None
        self.user = user  # "nobody": natively, drop root's privileges first
        self.raw = raw  # under Wine: the command line after the program name, as typed
        # Natively, resource limits for the program: {"fsize": bytes},
        # {"as": bytes} or {"nofile": descriptors}.
        self.limits = limits or {}
        self.stdin = stdin  # "tty": a terminal, so that Wine gives the program a console
        self.env = env or {}  # natively, more environment for the program
        # Natively, run in a private mount namespace whose /sys/block and
        # /dev hold FAKE_DISKS alone, so that mbrN: never meets the
        # machine's own disks (which needs root).
        self.disks = disks
        self.comment = comment


# Every allocation its own mmap (glibc's tunable), and no heap to fall back
# on: then failing the n-th mmap, and the one the allocator tries next in its
# place, fails one allocation alone.
ONE_MMAP_EACH = {"GLIBC_TUNABLES": "glibc.malloc.mmap_threshold=0"}
NO_HEAP = "brk:error=ENOMEM:when=3+"  # the C library's own start-up makes two


def find_sector_mmap(program, args, folder):
    """The number of the mmap whose failure fails the sector buffer's
    allocation: the one after which the program reports a read of 0 bytes.
    Which number that is depends on the C library, so it is looked for."""
    env = dict(os.environ, **ONE_MMAP_EACH)
    folder = tempfile.mkdtemp(dir=folder)
    for n in range(1, 64):
        done = subprocess.run(["strace", "-qq", "-o", "/dev/null", "-e", "inject=" + NO_HEAP,
                               "-e", "inject=mmap:error=ENOMEM:when=%d..%d" % (n, n + 1),
                               program] + args,
                              cwd=folder, env=env, capture_output=True, timeout=60)
        shutil.rmtree(folder)
        os.mkdir(folder)
        if done.stdout.startswith(b"Read 0 bytes instead of 512"):
            os.rmdir(folder)
            return n
    raise RuntimeError("no allocation's failure led to 'Read 0 bytes instead of 512'")


# The whole disks mbrN: counts natively in the rows marked disks=True, in
# the kernel's order (sda, sdb, then nvme0n1), each the image of a fixture.
FAKE_DISKS = {"sda": "mbr", "sdb": "fat", "nvme0n1": "raw"}
IN_FAKE_DISKS = ('mount --rbind "$0/block" /sys/block && mount --rbind "$0/dev" /dev && '
                 'exec "$@"')


def make_fake_disks(root, images):
    """A /sys/block and a /dev under root/disks with FAKE_DISKS alone."""
    top = os.path.join(root, "disks")
    if not os.path.isdir(top):
        for name, image in FAKE_DISKS.items():
            os.makedirs(os.path.join(top, "block", name))
            os.symlink("../../devices/fake", os.path.join(top, "block", name, "device"))
            os.makedirs(os.path.join(top, "dev"), exist_ok=True)
            os.symlink(os.path.abspath(images[image]), os.path.join(top, "dev", name))
        # What a program may still want of /dev under a wrapper.
        open(os.path.join(top, "dev", "null"), "w").close()
    return top


CASES = [
    # The main paths.
    Case("store mbr", ["@mbr", "out.bin"], 0, [], {"out.bin": sector("mbr")},
         comment="a partitioned disk's MBR lands in a new file, nothing printed"),
    Case("store fat boot sector", ["@fat", "boot.bin"], 0, [], {"boot.bin": sector("fat")}),
    Case("dump mbr", ["@mbr"], 0, [sector("mbr")], comment="exactly 512 raw bytes, nothing else"),
    Case("dump untranslated", ["@raw"], 0, [sector("raw")],
         comment="CR, LF, ^Z and NUL in the sector arrive as they are"),
    Case("store untranslated", ["@raw", "raw.bin"], 0, [], {"raw.bin": sector("raw")}),
    Case("disk form dump", ["mbr0:"], 0, [sector("mbr")], only="wine",
         comment="mbr0: reaches \\\\.\\PhysicalDrive0, mapped to the disk image"),
    Case("disk form any case", ["MbR0:", "d.bin"], 0, [], {"d.bin": sector("mbr")}, only="wine"),
    Case("platform's own disk name", ["PhysicalDrive0", "p.bin"], 0, [], {"p.bin": sector("mbr")},
         only="wine", comment="the volume form, and the same device as mbr0:"),
    Case("drive letter in lower case", ["m:"], 0, [sector("mbr")], only="wine"),
    Case("third argument ignored", ["@mbr", "out.bin", "extra.bin", "more"], 0, [],
         {"out.bin": sector("mbr")}),
    Case("target with spaces", ["@fat", "a boot sector.bin"], 0, [],
         {"a boot sector.bin": sector("fat")}),
    Case("target latin-1", ["@fat", "bo\u00eete.bin"], 0, [], {"bo\u00eete.bin": sector("fat")}),
    Case("target cyrillic", ["@fat", "\u0444\u0430\u0439\u043b.bin"], 0, [],
         {"\u0444\u0430\u0439\u043b.bin": sector("fat")}),
    Case("target not UTF-8", ["@raw", "\udcff\udcfe.bin"], 0, [], {"\udcff\udcfe.bin": sector("raw")},
         only="native", comment="the bytes ff fe, created as typed"),
    Case("exact sector", ["@b512", "o.bin"], 0, [], {"o.bin": sector("b512")}),
    # What a Linux user types: absolute paths open as typed.
    Case("loop device by its /dev path", ["@mbr_dev", "out.bin"], 0, [], {"out.bin": sector("mbr")},
         only="native"),
    Case("loop device by its /dev path, dump", ["@mbr_dev"], 0, [sector("mbr")], only="native"),
    Case("partition by its /dev path", ["@p1_dev", "p1.bin"], 0, [], {"p1.bin": sector("p1")},
         only="native", comment="/dev/loopNp1: the partition's own first sector"),
    Case("partition by its /dev path, dump", ["@p1_dev"], 0, [sector("p1")], only="native"),
    Case("image by absolute path", ["@raw_abs", "raw.bin"], 0, [], {"raw.bin": sector("raw")},
         only="native"),
    Case("image by absolute path, dump", ["@raw_abs"], 0, [sector("raw")], only="native"),
    Case("missing /dev name", ["/dev/sectpull-absent", "out.bin"], -2,
         ["Can't open \\\\.\\/dev/sectpull-absent", "Error {not_found}"], only="native",
         comment="the message names the device path as formed"),
    Case("folder by absolute path", ["@folder_abs", "out.bin"], -2,
         ["Read 0 bytes instead of 512", "Error {is_dir}"], only="native"),
    Case("dangling symlink by absolute path", ["@dangling_abs", "out.bin"], -2,
         ["Can't open \\\\.\\{dangling_abs}", "Error {not_found}"], only="native"),
    Case("first sector of a longer source", ["@b513", "o.bin"], 0, [], {"o.bin": sector("b513")}),
    Case("dump first sector of a longer source", ["@b513"], 0, [sector("b513")]),
    # Usage.
    Case("usage", [], -1, BANNER + USAGE,
         comment="no source argument: banner and usage on standard output, status -1"),
    Case("usage with stdout closed", [], -1, None, stdout="closed"),
    # Open failures name the formed path, and leave no file.
    Case("unmapped drive", ["Q:", "out.bin"], -2, ["Can't open \\\\.\\Q:", "Error {not_found}"]),
    Case("mbr without colon keeps its digit", ["mbr0", "out.bin"], 0, [], {"out.bin": sector("mbr")},
         only="wine", comment="a forgotten colon still reads disk 0, the disk that was named"),
    Case("two digits without colon", ["mbr12", "out.bin"], -2,
         ["Can't open \\\\.\\PhysicalDrive12", "Error {not_found}"], disks=True,
         comment="disk 12, which is not there: never disk 1, which is"),
    Case("disk form reads the kernel's disk 1", ["mbr1:", "d.bin"], 0, [],
         {"d.bin": sector("fat")}, disks=True, only="native",
         comment="sda, sdb, nvme0n1: disk 1 is sdb"),
    Case("disk form dump of the kernel's disk 2", ["MBR2:"], 0, [sector("raw")], disks=True,
         only="native", comment="a four-letter name counts after the two-letter ones"),
    Case("mbr alone", ["mbr", "out.bin"], -2,
         ["Can't open \\\\.\\PhysicalDrive", "Error {not_found}"]),
    Case("too short for the disk form", ["mb"], -2, ["Can't open \\\\.\\mb", "Error {not_found}"]),
    Case("no such disk number", ["mbr9:", "out.bin"], -2,
         ["Can't open \\\\.\\PhysicalDrive9", "Error {not_found}"], disks=True),
    Case("disk form with two digits", ["MBR12:"], -2,
         ["Can't open \\\\.\\PhysicalDrive12", "Error {not_found}"], disks=True),
    Case("disk form without digits", ["mbrX:", "out.bin"], -2,
         ["Can't open \\\\.\\PhysicalDriveX", "Error {not_found}"],
         comment="nothing checks for digits; no such device"),
    Case("quoted empty source", ["", "out.bin"], -2,
         {"wine": ["Can't open \\\\.\\", "Error {bad_name}"],
          "native": ["Read 0 bytes instead of 512", "Error {is_dir}"]},
         comment="the bare prefix is the device path: nothing on Windows, /dev/ on Linux"),
    Case("source is a directory", ["@folder", "out.bin"], -2,
         {"wine": ["Can't open \\\\.\\{folder}", "Error {is_dir}"],
          "native": ["Read 0 bytes instead of 512", "Error {is_dir}"]},
         comment="Windows refuses to open a folder; Linux opens it and refuses to read it"),
    Case("longest source argument", ["@long", "out.bin"], -2,
         ["Can't open \\\\.\\{long}", "Error {long_source}"]),
    # Short or failed reads leave no file.
    Case("empty source", ["@empty", "out.bin"], -2, ["Read 0 bytes instead of 512", "Error {none}"]),
    Case("100-byte source", ["@b100", "out.bin"], -2,
         ["Read 100 bytes instead of 512", "Error {none}"]),
    Case("511-byte source dump", ["@b511"], -2, ["Read 511 bytes instead of 512", "Error {none}"],
         comment="no sector bytes precede the message"),
    Case("read fails", ["@mbr", "out.bin"], -2, ["Read 0 bytes instead of 512", "Error {io}"],
         only="native", inject=("read:error=EIO", "source"),
         comment="the dynamic loader's own reads are spared"),
    Case("read and close fail", ["@mbr", "out.bin"], -2, ["Read 0 bytes instead of 512", "Error {io}"],
         only="native", inject=("read:error=EIO close:error=EBADF", "source"),
         comment="the error line explains the read, not the close after it"),
    Case("read fails, dump", ["@raw"], -2, ["Read 0 bytes instead of 512", "Error {io}"],
         only="native", inject=("read:error=EIO", "source")),
    # The target is never overwritten, followed or replaced.
    Case("existing target unchanged", ["@mbr", "keep.bin"], -2,
         ["Can't create output file keep.bin", "Error {exists}"], {"keep.bin": EXISTING},
         before={"keep.bin": EXISTING}),
    Case("existing empty target unchanged", ["@mbr", "keep.bin"], -2,
         ["Can't create output file keep.bin", "Error {exists}"], {"keep.bin": b""},
         before={"keep.bin": b""}),
    Case("target is a symlink to a file", ["@mbr", "link"], -2,
         ["Can't create output file link", "Error {exists}"],
         {"link": symlink("real.bin"), "real.bin": EXISTING},
         before={"link": symlink("real.bin"), "real.bin": EXISTING}),
    Case("target is a dangling symlink", ["@mbr", "dangling"], -2,
         ["Can't create output file dangling", "Error {exists}"], {"dangling": symlink("absent.bin")},
         before={"dangling": symlink("absent.bin")},
         comment="the link's destination must not appear"),
    Case("target is a directory", ["@mbr", "sub"], -2,
         ["Can't create output file sub", "Error {exists}"], {"sub/": None}, before={"sub/": None}),
    Case("target in missing folder", ["@mbr", "nowhere/out.bin"], -2,
         ["Can't create output file nowhere/out.bin", "Error {no_folder}"]),
    Case("target in read-only folder", ["@raw", "ro/out.bin"], -2,
         ["Can't create output file ro/out.bin", "Error {denied}"], {"ro/": None},
         before={"ro/": 0o555}, user="nobody", only="native",
         comment="root ignores the folder's mode, so the program runs as nobody"),
    Case("existing latin-1 target named as typed", ["@mbr", "\u00e9.bin"], -2,
         ["Can't create output file \u00e9.bin", "Error {exists}"], {"\u00e9.bin": EXISTING},
         before={"\u00e9.bin": EXISTING}),
    Case("existing cyrillic target", ["@mbr", "\u0444.bin"], -2,
         ["Can't create output file \u0444.bin", "Error {exists}"], {"\u0444.bin": EXISTING},
         before={"\u0444.bin": EXISTING},
         comment="Windows' text output stops at the first character above 255"),
    Case("missing folder with a cyrillic name", ["@mbr", "old-\u043f\u0430\u043f\u043a\u0430/out.bin"],
         -2, ["Can't create output file old-\u043f\u0430\u043f\u043a\u0430/out.bin",
              "Error {no_folder}"],
         comment="Windows prints old- and still ends the line: the error line stands alone"),
    Case("existing target not UTF-8", ["@mbr", "\udcff.bin"], -2,
         ["Can't create output file \udcff.bin", "Error {exists}"], {"\udcff.bin": EXISTING},
         before={"\udcff.bin": EXISTING}, only="native", comment="the byte ff, printed as typed"),
    Case("longest target argument", ["@mbr", "@long"], -2,
         ["Can't create output file {long}", "Error {long_target}"]),
    # A target that names a device never receives a byte. Windows sends DOS
    # device names, with any extension and in any folder, to the device even
    # under CREATE_NEW; the handle gives them away. Linux's O_EXCL refuses
    # every existing name.
    *[Case("target is the device name " + name, ["@mbr", name], -2,
           ["Can't create output file " + name, "Error {exists}"], {"backups/": None},
           before={"backups/": None}, only="wine",
           stdin="tty" if name in ("con", "CONOUT$") else None)
      for name in ("nul.bin", "Nul.mbr", "backups\\NUL.bin", "NUL", "NUL.", "COM1", "AUX", "con",
                   "CONOUT$")],
    # Without a console, Wine refuses the console names itself; a port that
    # is not there is not found. Either way no byte is written anywhere.
    *[Case("target is the console name %s, no console" % name, ["@mbr", name], -2,
           ["Can't create output file " + name, "Error {no_console}"], only="wine")
      for name in ("CON", "CONIN$", "CONOUT$")],
    *[Case("target is the absent port " + name, ["@mbr", name], -2,
           ["Can't create output file " + name, "Error {no_port}"], only="wine")
      for name in ("PRN", "LPT1", "COM9")],
    # M: is the mbr image's letter: a store onto it would change the image.
    *[Case("target is the device " + name, ["@fat", name], -2,
           ["Can't create output file " + name, "Error {exists}"], only="wine")
      for name in ("\\\\.\\M:", "\\\\?\\M:", "\\\\.\\PhysicalDrive0")],
    *[Case("target is the device " + name, ["@mbr", name], -2,
           ["Can't create output file " + name, "Error {exists}"], only="native")
      for name in ("/dev/null", "/proc/self/fd/1")],
    Case("target is a FIFO", ["@mbr", "fifo"], -2, ["Can't create output file fifo", "Error {exists}"],
         {"fifo": FIFO}, before={"fifo": FIFO}, only="native"),
    # Writes that fall short. The sink stays as the write left it.
    Case("short write to file", ["@mbr", "out.bin"], -2,
         ["Written 100 bytes instead of 512", "Error {none}"], {"out.bin": b""}, only="native",
         inject=("write:retval=100", "target"),
         comment="an injected write transfers nothing, so the new file stays empty"),
    Case("failed write to file", ["@mbr", "out.bin"], -2,
         ["Written 0 bytes instead of 512", "Error {full}"], {"out.bin": b""}, only="native",
         inject=("write:error=ENOSPC", "target")),
    Case("short write to stdout", ["@raw"], -2, ["Written 100 bytes instead of 512", "Error {none}"],
         only="native", inject="write:retval=100:when=1"),
    Case("file-size limit in store mode", ["@mbr", "out.bin"], -2,
         ["Written 0 bytes instead of 512", "Error {too_big}"], {"out.bin": b""},
         limits={"fsize": 0}, only="native", comment="EFBIG, not death by SIGXFSZ"),
    Case("file-size limit in dump mode", ["@raw"], -2, [sector_start("raw", 100)], stdout="file",
         limits={"fsize": 100}, only="native",
         comment="100 bytes fit; the messages then find the file full too"),
    Case("non-blocking stdout, full at the start", ["@raw"], 0, [sector("raw")],
         stdout="nonblocking", only="native",
         comment="the program waits for the reader, as a Windows write does"),
    Case("no memory for the sector", ["@raw", "out.bin"], -2,
         ["Read 0 bytes instead of 512", "Error {no_memory}"], only="native", env=ONE_MMAP_EACH,
         inject=NO_HEAP + " mmap:error=ENOMEM:when={sector_mmap}",
         comment="the allocation's own code, not that of the open after it"),
    Case("the new file's type can't be asked", ["@mbr", "out.bin"], -2,
         ["Can't create output file out.bin", "Error {io}"], {"out.bin": b""}, only="native",
         inject=("%fstat:error=EIO:when=1", "target"),
         comment="the query's own code: a failed question is no sign of a device"),
    Case("the new file's information can't be asked", ["@mbr", "out.bin"], -2,
         ["Can't create output file out.bin", "Error {io}"], {"out.bin": b""}, only="native",
         inject=("%fstat:error=EIO:when=2", "target")),
    Case("no memory for the arguments", ["@long", "out.bin"], -2, ["Error {no_memory}"],
         limits={"as": 2 << 20}, only="native",
         comment="the error line and -2, never the usage as if nothing had been typed"),
    # A store is done only once the file is on stable storage.
    Case("flush of the new file fails", ["@mbr", "out.bin"], -2,
         ["Can't flush output file out.bin", "Error {io}"], {"out.bin": sector("mbr")},
         only="native", inject=("fsync:error=EIO", "target"),
         comment="the file stays, as after a short write"),
    # The folder's sync makes the new name durable; where the folder can't
    # be opened, the file system's own sync does it instead.
    Case("folder's file system can't sync a folder", ["@mbr", "out.bin"], 0, [],
         {"out.bin": sector("mbr")}, only="native", inject="fsync:error=EINVAL:when=2",
         comment="EINVAL from the folder's fsync: nothing more can be done there"),
    Case("store into a drop box", ["@raw", "drop/b.bin"], 0, [],
         {"drop/": None, "drop/b.bin": sector("raw")}, before={"drop/": 0o333}, user="nobody",
         only="native", comment="a folder one may write and enter but not list"),
    Case("store with only four descriptors", ["@raw", "out.bin"], 0, [],
         {"out.bin": sector("raw")}, limits={"nofile": 4}, only="native",
         comment="no descriptor left to open the folder with"),
    Case("drop box, and the file system's sync fails", ["@raw", "drop/b.bin"], -2,
         ["Can't flush output file drop/b.bin", "Error {io}"],
         {"drop/": None, "drop/b.bin": sector("raw")}, before={"drop/": 0o333}, user="nobody",
         only="native", inject="syncfs:error=EIO",
         comment="the code is that of the call that failed last"),
    Case("close of the new file fails", ["@mbr", "out.bin"], -2,
         ["Can't flush output file out.bin", "Error {io}"], {"out.bin": sector("mbr")},
         only="native", inject=("close:error=EIO", "target"),
         comment="as NFS reports a failed write-back"),
    Case("stdout closed", ["@mbr"], -2, ["Can't access STDOUT", "Error {bad_fd}"], stdout="closed"),
    Case("no standard output handle at all", [], -2, None, raw="M:", stdout="null", only="wine",
         comment="a null handle: Can't access STDOUT, and no write to handle 0"),
    Case("stdout full", ["@mbr"], -2,
         [sector("mbr"), "Written 0 bytes instead of 512", "Error {full}"], stdout="full",
         comment="what the program tried to write: the sector, then the messages"),
    Case("stdout pipe closed by reader", ["@mbr"], -2,
         [sector("mbr"), "Written 0 bytes instead of 512", "Error {pipe}"], stdout="broken",
         comment="a gone reader is a failed write, not a killed process"),
    Case("stdout closed, store works", ["@mbr", "out.bin"], 0, [], {"out.bin": sector("mbr")},
         stdout="closed", comment="the new file must not take standard output's place"),
    Case("stdout closed, store fails", ["@mbr", "keep.bin"], -2,
         ["Can't create output file keep.bin", "Error {exists}"], {"keep.bin": EXISTING},
         before={"keep.bin": EXISTING}, stdout="closed"),
    # Windows splits a typed command line by its own rules of quotes and
    # backslashes: the launcher hands sectpull a raw command line.
    Case("raw: quoted target with spaces", [], 0, [], {"a b.bin": sector("mbr")},
         raw='M: "a b.bin"', only="wine"),
    Case("raw: quoted source, blanks around", [], 0, [], {"out.bin": sector("mbr")},
         raw='  "M:"\t  out.bin   extra  ', only="wine"),
    Case("raw: escaped quotes reach the name", [], -2,
         ['Can\'t create output file a "q" b.bin', "Error {bad_name}"],
         raw='M: "a \\"q\\" b.bin"', only="wine",
         comment="2n+1 backslashes before a quote: n and a literal quote"),
    Case("raw: doubled backslash before a quote", [], -2,
         ["Can't create output file x\\y z", "Error {no_folder}"],
         raw='M: x\\\\"y z"', only="wine",
         comment="2n backslashes before a quote: n, and the quote opens quoting"),
    Case("raw: backslashes not before a quote", [], -2,
         ["Can't create output file no\\\\such\\out.bin", "Error {no_folder}"],
         raw='M: no\\\\such\\out.bin', only="wine"),
    Case("raw: quoted empty target", [], -2, ["Can't create output file ", "Error {no_folder}"],
         raw='M: ""', only="wine"),
]


def rendered(line, kind):
    """A message line as the platform's text output prints it.

    Names are the only non-ASCII text, and each stands at the end of its
    line, so the whole line can be rendered the way a wide name is.
    """
    if kind == "native":
        return line.encode("utf-8", "surrogateescape")  # the bytes as typed
    out = bytearray()
    for ch in line:
        if ord(ch) > 255:
            break  # msvcrt stops at the first character with no narrow form
        out.append(ord(ch))
    return bytes(out)


class Platform:
    def __init__(self, kind, program, wrap, launcher):
        self.kind = kind
        self.program = os.path.abspath(program)
        self.wrap = wrap
        self.launcher = launcher and os.path.abspath(launcher)
        self.index = 0 if kind == "wine" else 1
        self.newline = b"\r\n" if kind == "wine" else b"\n"
        self.found_sector_mmap = None
        if kind == "native":
            # A small environment of its own: the tool reads none. For a
            # sanitized build, memory is never freed by design, so a leak is
            # no finding; any other report lands on stderr, which a case
            # demands be empty.
            self.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C.UTF-8",
                        "ASAN_OPTIONS": "detect_leaks=0",
                        "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1"}
        else:
            self.env = wine.env()

    def sector_mmap(self, args, folder):
        if self.found_sector_mmap is None:
            self.found_sector_mmap = find_sector_mmap(self.program, args, folder)
        return self.found_sector_mmap

    def command(self, case, args, trace, folder):
        if self.kind == "wine":
            if case.raw is not None:
                windows_path = "Z:" + self.program.replace("/", "\\")
                null = ["no-stdout"] if case.stdout == "null" else []
                return [wine.WINE, self.launcher, windows_path, case.raw] + null
            return [wine.WINE, self.program] + args
        strace = []
        if trace or case.inject:
            strace = ["strace", "-f", "-qq", "-e", "signal=none", "-o", trace or "/dev/null"]
            if trace:
                strace += ["-e", "trace=write", "-xx", "-s", "65536"]
            if case.inject:
                for injection in case.inject.split(" "):
                    if "{sector_mmap}" in injection:
                        n = self.sector_mmap(args, folder)
                        injection = injection.replace("{sector_mmap}", "%d..%d" % (n, n + 1))
                    strace += ["-e", "inject=" + injection]
                if case.inject_on == "source":
                    strace += ["-P", os.path.realpath("/dev/" + args[0])]
                elif case.inject_on == "target":
                    strace += ["-P", os.path.join(folder, args[1])]
        namespace = []
        if case.disks:
            namespace = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                         IN_FAKE_DISKS, self.fake_disks]
        program = self.program
        if case.user == "nobody" and os.geteuid() == 0:
            # The checkout's folders may be closed to nobody; a copy beside
            # the fixtures is not.
            program = os.path.join(folder, os.pardir, "sectpull-for-nobody")
            if not os.path.exists(program):
                shutil.copy2(self.program, program)
                os.chmod(program, 0o755)
        return namespace + strace + self.wrap + [program] + args


def expected_stdout(case, platform, images, sources):
    out = bytearray()
    items = case.out[platform.kind] if isinstance(case.out, dict) else case.out
    for item in items:
        if isinstance(item, tuple):
            with open(images[item[1]], "rb") as f:
                out += f.read(item[2] if len(item) > 2 else SECTOR)
            continue
        for name, codes in ERRORS.items():
            item = item.replace("{" + name + "}", str(codes[platform.index]))
        for name, source in sources.items():
            item = item.replace("{%s}" % name, source)
        out += rendered(item, platform.kind) + platform.newline
    return bytes(out)


def resolve_args(case, sources):
    return [sources[arg[1:]] if arg.startswith("@") else arg for arg in case.args]


def prepare(folder, before):
    for name, content in before.items():
        path = os.path.join(folder, name)
        if name.endswith("/"):
            os.mkdir(path)
            if content is not None:
                os.chmod(path, content)
        elif isinstance(content, tuple) and content[0] == "symlink":
            os.symlink(content[1], path)
        elif content == FIFO:
            os.mkfifo(path)
        else:
            with open(path, "wb") as f:
                f.write(content)


def listing(folder, under=""):
    """Every name in the folder and the folders in it, with a file's bytes, a
    link's destination, or None."""
    found = {}
    for name in sorted(os.listdir(os.path.join(folder, under))):
        path = os.path.join(folder, under, name)
        name = under + name
        if os.path.islink(path):
            found[name] = symlink(os.readlink(path))
        elif stat.S_ISFIFO(os.stat(path).st_mode):
            found[name] = FIFO
        elif os.path.isdir(path):
            found[name + "/"] = None
            found.update(listing(folder, name + "/"))
        else:
            with open(path, "rb") as f:
                found[name] = f.read()
    return found


def expected_files(case, images):
    want = {}
    for name, content in case.files.items():
        if isinstance(content, tuple) and content[0] == "sector":
            with open(images[content[1]], "rb") as f:
                content = f.read(SECTOR)
        want[name] = content
    return want


def drop_to_nobody():
    os.setgroups([])
    os.setgid(NOBODY)
    os.setuid(NOBODY)


LIMITS = {"fsize": resource.RLIMIT_FSIZE, "as": resource.RLIMIT_AS,
          "nofile": resource.RLIMIT_NOFILE}


def full_nonblocking_pipe():
    """A pipe whose write end is non-blocking and already full: (reader, writer, bytes in it)."""
    reader, writer = os.pipe()
    os.set_blocking(writer, False)
    filled = 0
    try:
        while True:
            filled += os.write(writer, b"\0" * 4096)
    except BlockingIOError:
        pass
    return reader, writer, filled


def drain(reader, process, filled):
    """Everything the program wrote after the filler, read once it has had time to block."""
    time.sleep(0.3)
    data = bytearray()
    while True:
        chunk = os.read(reader, 65536)
        if not chunk:
            break
        data += chunk
    process.wait(timeout=120)
    return bytes(data[filled:])


def run(platform, command, case, cwd, capture):
    """Runs the command; returns (status, stdout bytes or None, stderr bytes)."""
    mode = case.stdout
    steps = []
    if mode == "closed":
        steps.append(lambda: os.close(1))
    if mode == "broken":
        # The child must not inherit Python's ignored SIGPIPE.
        steps.append(lambda: signal.signal(signal.SIGPIPE, signal.SIG_DFL))
    if case.user == "nobody" and os.geteuid() == 0:
        steps.append(drop_to_nobody)
    for name, value in case.limits.items():
        steps.append(lambda r=LIMITS[name], v=value: resource.setrlimit(r, (v, v)))

    def before_exec():
        for step in steps:
            step()

    stdout = subprocess.PIPE
    stdin = subprocess.DEVNULL
    closing = []
    if mode == "full":
        stdout = open("/dev/full", "wb")
        closing.append(stdout)
    elif mode == "broken":
        reader, writer = os.pipe()
        os.close(reader)
        stdout = writer
        closing.append(writer)
    elif mode == "closed":
        stdout = None
    elif mode == "file":
        stdout = open(capture, "wb")
        closing.append(stdout)
    if case.stdin == "tty":
        terminal, stdin = pty.openpty()
        closing += [terminal, stdin]
    try:
        if mode == "nonblocking":
            reader, writer, filled = full_nonblocking_pipe()
            closing.append(reader)
            process = subprocess.Popen(command, cwd=cwd, env=platform.env, stdin=stdin,
                                       stdout=writer, stderr=subprocess.PIPE,
                                       preexec_fn=before_exec if steps else None)
            os.close(writer)
            out = drain(reader, process, filled)
            return process.returncode, out, process.stderr.read()
        env = dict(platform.env, **case.env)
        if mode == "null":
            env = dict(env, WINEDEBUG="-all,trace+file")
        done = subprocess.run(command, cwd=cwd, env=env, stdin=stdin,
                              stdout=stdout, stderr=subprocess.PIPE, timeout=120,
                              preexec_fn=before_exec if steps else None)
    finally:
        for item in closing:
            item.close() if hasattr(item, "close") else os.close(item)
    if mode == "file":
        with open(capture, "rb") as f:
            return done.returncode, f.read(), done.stderr
    return done.returncode, done.stdout if mode == "pipe" else None, done.stderr


WRITE_TO_STDOUT = re.compile(r'write\(1, "((?:\\x[0-9a-f]{2})*)"')


def attempted_stdout(trace):
    """The bytes the program tried to write to descriptor 1, from strace -xx."""
    out = bytearray()
    with open(trace) as f:
        for line in f:
            match = WRITE_TO_STDOUT.search(line)
            if match:
                out += bytes.fromhex(match.group(1).replace("\\x", ""))
    return bytes(out)


def show(data):
    if isinstance(data, bytes) and len(data) > 80:
        return "%d bytes: %r...%r" % (len(data), data[:48], data[-24:])
    return repr(data)


def image_hashes(images):
    hashes = {}
    for name, path in images.items():
        if os.path.isfile(path):
            with open(path, "rb") as f:
                hashes[name] = hashlib.sha256(f.read()).hexdigest()
    return hashes


def never_ran(platform, status, out, err):
    """True when Wine failed to start the program at all.

    The program itself exits only with 0, -1 or -2; status 1 with nothing on
    either stream is Wine's loader giving up before it ran, which happens
    now and then (about once in ten full runs under the 32-bit Wine, never
    reproduced alone). Such a case is run once more, and says so.
    """
    return platform.kind == "wine" and status == 1 and not out and not err


def check_case(case, platform, fx, root, retried=False):
    folder = tempfile.mkdtemp(prefix="case-", dir=root)
    os.chmod(folder, 0o755)
    prepare(folder, case.before)
    if case.user == "nobody" and os.geteuid() == 0:
        for name in [""] + list(case.before):
            os.lchown(os.path.join(folder, name), NOBODY, NOBODY)

    trace = None
    observe = platform.kind == "native" and not platform.wrap
    unreadable = case.stdout in ("closed", "full", "broken")
    if observe and unreadable and case.out is not None:
        trace = os.path.join(root, "trace")
    command = platform.command(case, resolve_args(case, fx.sources), trace, folder)
    status, out, err = run(platform, command, case, folder, os.path.join(root, "stdout"))
    if trace:
        out = attempted_stdout(trace)
    if never_ran(platform, status, out, err) and not retried:
        print("note: Wine did not start the program for %s; once more" % case.name)
        shutil.rmtree(folder)
        return check_case(case, platform, fx, root, retried=True)

    problems = []
    if status != case.status & 0xFF:
        problems.append("status: expected %d, got %d" % (case.status & 0xFF, status))
    if case.out is not None and out is not None:
        want = expected_stdout(case, platform, fx.images, fx.sources)
        if out != want:
            problems.append("stdout:\n    expected %s\n    actual   %s" % (show(want), show(out)))
    want_files = expected_files(case, fx.images)
    got_files = listing(folder)
    if got_files != want_files:
        problems.append("files:\n    expected %s\n    actual   %s" % (
            {k: show(v) for k, v in want_files.items()},
            {k: show(v) for k, v in got_files.items()}))
    if case.stdout == "null":
        # The trace is the only witness: nothing the program writes can be read.
        writes = re.findall(rb"trace:file:WriteFile 0+ ", err)
        if writes:
            problems.append("%d writes to the null handle in Wine's trace" % len(writes))
        err = b""
    if err and platform.kind == "native":
        problems.append("stderr should be empty, got %s" % show(err))
    elif problems and err:
        # Wine's own complaints: only a diagnosis, since Wine may print them
        # on any run.
        problems.append("stderr from Wine:\n    " + err.decode("utf-8", "replace").strip())
    changed = [name for name, digest in image_hashes(fx.images).items()
               if fx.hashes[name] != digest]
    if changed:
        problems.append("images written to: %s" % ", ".join(changed))
    if not problems:
        shutil.rmtree(folder)
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("platform", choices=["native", "wine"])
    parser.add_argument("program")
    parser.add_argument("--launcher", help="under Wine: the program that runs a raw command line")
    parser.add_argument("--no-limits", action="store_true",
                        help="skip the cases that limit the program's resources (for ASan)")
    parser.add_argument("--cases", help="run only these cases, by name, separated by commas")
    parser.add_argument("--wrap", nargs=argparse.REMAINDER, default=[],
                        help="a command to run the native program under, such as valgrind")
    options = parser.parse_args()

    if options.platform == "wine" and wine.cannot_run(options.program):
        return fixtures.skip_or_fail(wine.cannot_run(options.program))
    root = tempfile.mkdtemp(prefix="sectpull-e2e-")
    os.chmod(root, 0o755)
    platform = Platform(options.platform, options.program, options.wrap, options.launcher)
    passed = failed = skipped = 0
    with fixtures.Fixtures(root, options.platform, platform.program) as fx:
        fx.sources["long"] = "a" * LONG[options.platform]
        fx.hashes = image_hashes(fx.images)
        if options.platform == "native" and os.geteuid() == 0:
            platform.fake_disks = make_fake_disks(root, fx.images)
        for note in fx.notes:
            print("note: " + note)
        chosen = options.cases.split(",") if options.cases else None
        if chosen and set(chosen) - {case.name for case in CASES}:
            print("FAIL no such case: %s" % ", ".join(set(chosen) - {c.name for c in CASES}))
            return 1
        for case in CASES:
            if case.only and case.only != options.platform:
                continue
            if chosen and case.name not in chosen:
                continue
            missing = [a[1:] for a in case.args if a.startswith("@") and a[1:] not in fx.sources]
            reason = None
            if missing:
                reason = "no fixture %s here" % ", ".join(missing)
            elif case.raw is not None and not platform.launcher:
                reason = "no launcher for raw command lines"
            elif platform.wrap and case.inject:
                reason = "strace does not nest with %s" % os.path.basename(platform.wrap[0])
            elif case.limits and (platform.wrap or options.no_limits):
                reason = "a resource limit does not fit this build's own needs"
            elif case.disks and platform.kind == "native" and os.geteuid() != 0:
                reason = "the fake disks' private mount namespace needs root"
            elif case.env and (platform.wrap or options.no_limits):
                reason = "this build's allocator is not the C library's"
            if reason:
                print("skip %s: %s" % (case.name, reason))
                skipped += 1
                continue
            problems = check_case(case, platform, fx, root)
            if problems:
                failed += 1
                print("FAIL %s (%s)" % (case.name, case.comment or " ".join(case.args)))
                for problem in problems:
                    print("  " + problem)
            else:
                passed += 1
                print("ok   %s" % case.name)
    if failed == 0:
        shutil.rmtree(root, ignore_errors=True)
    else:
        print("the failed cases' folders are kept under " + root)
    print("%s: %d passed, %d failed, %d skipped" % (options.platform, passed, failed, skipped))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Proves from its system calls that the program only reads the device.

    readonly_trace.py PROGRAM                 the native program, under strace
    readonly_trace.py --wine EXE              the Windows program, under Wine's file trace

Runs the program under strace in store and dump mode, on a loop device when
run as root and on an image file reached through /dev/.., and checks:
- the device is opened O_RDONLY | O_NOCTTY | O_CLOEXEC and nothing else;
- the only file opened for writing is the new target, with O_EXCL;
- every write goes to the target or, in dump mode, to standard output;
- in store mode the target, then its folder, are synced (fsync) after the
  write and before the target is closed and the program exits; in dump
  mode nothing is synced;
- no call outside a short list of harmless ones is made at all: nothing
  truncates, renames, unlinks, links, changes modes or owners, maps a file
  for writing, or sends an ioctl;
- the image's bytes are the same afterwards.

Under Wine, the trace of NtCreateFile shows what the program asked
CreateFileW for: the device must be opened for GENERIC_READ alone (Wine
adds SYNCHRONIZE and FILE_READ_ATTRIBUTES itself), shared for reading and
writing, as an existing file; the target for GENERIC_WRITE, unshared, as a
new file; and nothing else the program opens may ask for more than reading.
Wine's trace of CreateFileW shows the flags the program passed: both opens
must carry SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION (0x110000), so
that a named pipe's server could only identify the caller.
"""

import hashlib
import os
import re
import subprocess
import sys
import tempfile

import wine
from fixtures import attach_loop, detach_loop, skip_or_fail, through_dev

# Everything the program may call: process start-up, memory, the signal
# mask for SIGPIPE and SIGXFSZ, its one open-read-close, and
# create-check-write-sync-close.
ALLOWED = {
    "execve", "brk", "arch_prctl", "set_tid_address", "set_robust_list", "rseq", "prlimit64",
    "readlink", "getrandom", "mprotect", "mmap", "munmap", "rt_sigaction", "rt_sigprocmask",
    "openat", "read", "close", "write", "fcntl", "newfstatat", "fstat", "fsync", "exit_group",
}
WRITE_FLAGS = ("O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC", "O_APPEND")
CALL = re.compile(r"^\d+ +(\w+)\((.*)\) += (\S+)")


def trace(program, args, cwd, out):
    log = os.path.join(cwd, "trace.log")
    with open(out, "wb") as stdout:
        done = subprocess.run(["strace", "-f", "-qq", "-y", "-e", "signal=none", "-o", log,
                               program] + args, cwd=cwd, stdout=stdout)
    with open(log) as f:
        lines = f.read().splitlines()
    os.remove(log)
    return done.returncode, lines


def check(name, program, source, device, target, cwd):
    problems = []
    before = sha256(device)
    out = os.path.join(cwd, "stdout.bin")
    args = [source] + ([target] if target else [])
    status, lines = trace(program, args, cwd, out)
    if status != 0:
        problems.append("exit status %d" % status)
    target_path = os.path.join(cwd, target) if target else None
    device_real = os.path.realpath(device)
    device_opens = 0
    # What happens to the target after the write, in order.
    after_write = []
    for line in lines:
        match = CALL.match(line)
        if not match:
            problems.append("unparsed trace line: " + line)
            continue
        call, arguments, result = match.groups()
        if call not in ALLOWED:
            problems.append("call outside the allowed list: " + line)
        if call == "openat":
            path = re.search(r'"((?:[^"\\]|\\.)*)"', arguments).group(1)
            flags = arguments.split(", ")[2]
            real = os.path.realpath(os.path.join(cwd, path))
            if real == device_real:
                device_opens += 1
                if flags != "O_RDONLY|O_NOCTTY|O_CLOEXEC":
                    problems.append("device opened with " + flags)
            elif any(flag in flags for flag in WRITE_FLAGS):
                if real != target_path or flags != "O_WRONLY|O_CREAT|O_EXCL|O_CLOEXEC":
                    problems.append("opened for writing: " + line)
        if call == "write":
            fd = arguments.split(",")[0]
            to_target = target_path is not None and fd.endswith("<%s>" % target_path)
            to_stdout = target is None and fd.startswith("1<")
            if not (to_target or to_stdout):
                problems.append("write elsewhere: " + line[:120])
            if to_target:
                after_write = ["write"]
        if call in ("fsync", "close") and after_write:
            fd = arguments.split(",")[0]
            if fd.endswith("<%s>" % target_path):
                after_write.append("%s target = %s" % (call, result))
            elif fd.endswith("<%s>" % cwd):
                after_write.append("%s folder = %s" % (call, result))
        if call == "fsync" and not after_write:
            problems.append("sync before any write to the target: " + line)
        if call == "exit_group" and after_write:
            after_write.append("exit")
        if call == "mmap" and "MAP_SHARED" in arguments and "PROT_WRITE" in arguments:
            problems.append("shared writable mapping: " + line)
    if device_opens != 1:
        problems.append("device opened %d times" % device_opens)
    if target:
        synced = ["write", "fsync target = 0", "fsync folder = 0", "close folder = 0",
                  "close target = 0", "exit"]
        if after_write != synced:
            problems.append("after the write: %s, expected %s" % (after_write, synced))
    if sha256(device) != before:
        problems.append("the device's bytes changed")
    with open(device, "rb") as f:
        first = f.read(512)
    copied = open(target_path if target else out, "rb").read()
    if copied != first:
        problems.append("the copy differs from the device's first sector")
    print(("ok   " if not problems else "FAIL ") + name)
    for problem in problems:
        print("  " + problem)
    return not problems


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


GENERIC_READ = 0x80000000
GENERIC_WRITE = 0x40000000
ADDED_BY_WINE = 0x00100000 | 0x00000080  # SYNCHRONIZE | FILE_READ_ATTRIBUTES
WRITE_ACCESS = 0x40000000 | 0x10000000 | 0x00010000 | 0x00000002 | 0x00000004 | 0x00000100
FILE_OPEN, FILE_CREATE = 1, 2
# Both opens ask that a named pipe's server may only identify the caller.
SQOS_IDENTIFICATION = 0x00100000 | 0x00010000  # SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION
CREATE_FILE = re.compile(r'CreateFileW L"((?:[^"\\]|\\.)*)" .* attributes 0x([0-9a-f]+)')
NT_CREATE = re.compile(r'NtCreateFile .*access=([0-9a-f]+) name=L"((?:[^"\\]|\\.)*)"'
                       r'.* sharing=([0-9a-f]+) disp=(\d+)')


def wine_opens(exe, args, cwd, env):
    done = subprocess.run([wine.WINE, exe] + args, cwd=cwd, env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True, errors="replace")
    opens = []
    attributes = []
    for line in done.stderr.splitlines():
        match = CREATE_FILE.search(line)
        if match:
            attributes.append((match.group(1).replace("\\\\", "\\"), int(match.group(2), 16)))
        match = NT_CREATE.search(line)
        if match:
            access, name, sharing, disposition = match.groups()
            opens.append((int(access, 16), name.replace("\\\\", "\\"), int(sharing, 16),
                          int(disposition)))
    return done.returncode, opens, attributes


def wine_check(exe):
    exe = os.path.abspath(exe)
    if wine.cannot_run(exe):
        return skip_or_fail(wine.cannot_run(exe))
    env = wine.env(WINEDEBUG="-all,trace+file")
    link = os.path.join(wine.start(exe), "w::")
    results = []
    try:
        with tempfile.TemporaryDirectory(prefix="sectpull-trace-") as root:
            image = os.path.join(root, "disk.img")
            with open(image, "wb") as f:
                f.write(os.urandom(64 * 1024))
            if os.path.lexists(link):
                os.remove(link)
            os.symlink(image, link)
            before = sha256(image)
            for mode, args in (("store", ["W:", "copy.bin"]), ("dump", ["W:"])):
                problems = []
                status, opens, attributes = wine_opens(exe, args, root, env)
                if status != 0:
                    problems.append("exit status %d" % status)
                device = [o for o in opens if o[1].lower() == "\\??\\w:"]
                target = [o for o in opens if o[1].endswith("\\copy.bin")]
                if len(device) != 1:
                    problems.append("device opened %d times" % len(device))
                for access, _, sharing, disposition in device:
                    if access & ~ADDED_BY_WINE != GENERIC_READ:
                        problems.append("device access %08x is not GENERIC_READ" % access)
                    if sharing != 3 or disposition != FILE_OPEN:
                        problems.append("device sharing %d, disposition %d" % (sharing, disposition))
                if len(target) != (1 if mode == "store" else 0):
                    problems.append("target opened %d times" % len(target))
                for access, _, sharing, disposition in target:
                    if access & ~ADDED_BY_WINE != GENERIC_WRITE or sharing != 0 or \
                            disposition != FILE_CREATE:
                        problems.append("target access %08x sharing %d disposition %d" % (
                            access, sharing, disposition))
                for access, name, _, _ in opens:
                    if access & WRITE_ACCESS and not name.endswith("\\copy.bin"):
                        problems.append("opened for writing: %s (%08x)" % (name, access))
                own = [(name, flags) for name, flags in attributes
                       if name.lower() == "\\\\.\\w:" or name == "copy.bin"]
                if len(own) != (2 if mode == "store" else 1):
                    problems.append("the program's CreateFileW calls: %s" % own)
                for name, flags in own:
                    if flags != SQOS_IDENTIFICATION:
                        problems.append("%s opened with attributes %#x, not %#x" % (
                            name, flags, SQOS_IDENTIFICATION))
                if sha256(image) != before:
                    problems.append("the device's bytes changed")
                print(("ok   " if not problems else "FAIL ") + "%s mode under Wine" % mode)
                for problem in problems:
                    print("  " + problem)
                results.append(not problems)
                if os.path.exists(os.path.join(root, "copy.bin")):
                    os.remove(os.path.join(root, "copy.bin"))
    finally:
        if os.path.lexists(link):
            os.remove(link)
        wine.stop()
    print("readonly under Wine: %d passed, %d failed" % (sum(results), len(results) - sum(results)))
    return 0 if all(results) else 1


def main():
    if sys.argv[1] == "--wine":
        return wine_check(sys.argv[2])
    program = os.path.abspath(sys.argv[1])
    results = []
    with tempfile.TemporaryDirectory(prefix="sectpull-trace-") as root:
        image = os.path.join(root, "disk.img")
        with open(image, "wb") as f:
            f.write(os.urandom(64 * 1024))
        devices = [("image", through_dev(image), image)]
        loop, why = attach_loop(image)
        if loop:
            devices.append(("loop device", os.path.basename(loop), loop))
        else:
            print("note: no loop device (%s): only the image file is traced" % why)
        try:
            for kind, source, device in devices:
                for mode, target in (("store", "copy.bin"), ("dump", None)):
                    folder = tempfile.mkdtemp(dir=root)
                    results.append(check("%s mode on %s" % (mode, kind), program, source, device,
                                         target, folder))
        finally:
            if loop:
                detach_loop(loop)
    passed = sum(results)
    print("readonly: %d passed, %d failed" % (passed, len(results) - passed))
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Proves from its system calls that the native program only reads the device.

    readonly_trace.py PROGRAM

Runs the program under strace in store and dump mode, on a loop device when
run as root and on an image file reached through /dev/.., and checks:
- the device is opened O_RDONLY | O_NOCTTY | O_CLOEXEC and nothing else;
- the only file opened for writing is the new target, with O_EXCL;
- every write goes to the target or, in dump mode, to standard output;
- no call outside a short list of harmless ones is made at all: nothing
  truncates, renames, unlinks, links, changes modes or owners, maps a file
  for writing, or sends an ioctl;
- the image's bytes are the same afterwards.
"""

import hashlib
import os
import re
import subprocess
import sys
import tempfile

# Everything the program may call: process start-up, memory, the signal
# setting for SIGPIPE, and its one open-read-close, create-write-close.
ALLOWED = {
    "execve", "brk", "arch_prctl", "set_tid_address", "set_robust_list", "rseq", "prlimit64",
    "readlink", "getrandom", "mprotect", "mmap", "munmap", "rt_sigaction", "openat", "read",
    "close", "write", "fcntl", "newfstatat", "fstat", "exit_group",
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
        if call == "mmap" and "MAP_SHARED" in arguments and "PROT_WRITE" in arguments:
            problems.append("shared writable mapping: " + line)
    if device_opens != 1:
        problems.append("device opened %d times" % device_opens)
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


def main():
    program = os.path.abspath(sys.argv[1])
    results = []
    with tempfile.TemporaryDirectory(prefix="sectpull-trace-") as root:
        image = os.path.join(root, "disk.img")
        with open(image, "wb") as f:
            f.write(os.urandom(64 * 1024))
        devices = [("image", ".." + image, image)]
        loop = None
        if os.geteuid() == 0:
            done = subprocess.run(["losetup", "-f", "--show", image], capture_output=True, text=True)
            if done.returncode == 0:
                loop = done.stdout.strip()
                devices.append(("loop device", os.path.basename(loop), loop))
        if loop is None:
            print("note: not root, or losetup failed: only the image file is traced")
        try:
            for kind, source, device in devices:
                for mode, target in (("store", "copy.bin"), ("dump", None)):
                    folder = tempfile.mkdtemp(dir=root)
                    results.append(check("%s mode on %s" % (mode, kind), program, source, device,
                                         target, folder))
        finally:
            if loop:
                subprocess.run(["losetup", "-d", loop], check=False)
    passed = sum(results)
    print("readonly: %d passed, %d failed" % (passed, len(results) - passed))
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""A stored backup must be on stable storage when the program says it is.

    durability.py native PROGRAM     the Linux program
    durability.py wine EXE           a Windows program, under Wine

Power cut: ext4 on a loop device whose backing file is served by
write_log_fs.py, which logs every write and flush that reaches the "disk".
The program stores a sector onto that ext4; the moment it exits, the log's
length is taken. A crash image is then rebuilt from the writes before the
last flush by that moment, which is all a power cut would have left; e2fsck
replays its journal, and, mounted read-only, it must hold the backup with
exactly the 512 bytes.

Thin disk: ext4 on a loop device whose backing file is sparse, on a tmpfs
that is full. A write lands in the page cache, and write-back can only fail.
The program must not exit 0 unless the bytes are stored: it must report the
failed flush, and a file it leaves holds nothing that passes for a backup.

Drop box (natively): the power cut again, after a store as nobody into a
folder of mode 0333, which the program cannot open to sync: the name must
still be durable.

Needs root and /dev/fuse; without them it says why and exits 77 (skipped),
or fails under CI.
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

import fixtures
import wine

HERE = os.path.dirname(os.path.abspath(__file__))
SECTOR = 512


def sh(*args, **kw):
    return subprocess.run(args, check=True, stdout=subprocess.DEVNULL, **kw)


def make_ext4(path, size):
    with open(path, "wb") as f:
        f.truncate(size)
    # Everything initialised now, so no background thread writes later.
    sh("mkfs.ext4", "-q", "-F", "-E", "lazy_itable_init=0,lazy_journal_init=0", path,
       stderr=subprocess.DEVNULL)


class Program:
    """Runs one build of the tool with a source image and a target path."""

    def __init__(self, kind, path, work):
        self.kind = kind
        self.path = os.path.abspath(path)
        self.env = wine.env()
        self.work = work
        self.link = None

    def __enter__(self):
        if self.kind == "wine":
            self.devices = wine.start(self.path)
        return self

    def __exit__(self, *exc):
        if self.link and os.path.lexists(self.link):
            os.remove(self.link)
        if self.kind == "wine":
            wine.stop()
        return False

    def store(self, source, target, user=None):
        """Runs a store; user "nobody" drops root's privileges first (natively)."""
        if self.kind == "wine":
            self.link = os.path.join(self.devices, "s::")
            if os.path.lexists(self.link):
                os.remove(self.link)
            os.symlink(source, self.link)
            command = [wine.WINE, self.path, "S:", "Z:" + target.replace("/", "\\")]
        else:
            command = [self.path, fixtures.through_dev(source), target]
        drop = None
        if user == "nobody":
            # The checkout's folders may be closed to nobody; a copy is not.
            command[0] = os.path.join(self.work, "sectpull-for-nobody")
            if not os.path.exists(command[0]):
                shutil.copy2(self.path, command[0])
                os.chmod(command[0], 0o755)
            drop = drop_to_nobody
        done = subprocess.run(command, env=self.env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=120, preexec_fn=drop)
        return done.returncode, done.stdout


NOBODY = 65534


def drop_to_nobody():
    os.setgroups([])
    os.setgid(NOBODY)
    os.setuid(NOBODY)


def read_log(path, end):
    """The log's records up to byte end: ("W", offset, data) or ("F", 0, b"")."""
    records = []
    with open(path, "rb") as f:
        log = f.read(end)
    at = 0
    while at + 13 <= len(log):
        kind = log[at:at + 1].decode()
        offset, length = struct.unpack("<QI", log[at + 1:at + 13])
        records.append((kind, offset, log[at + 13:at + 13 + length]))
        at += 13 + length
    return records


def crash_image(base, records, out):
    """base with the writes made durable by the last flush in records."""
    flushes = [i for i, record in enumerate(records) if record[0] == "F"]
    durable = records[:flushes[-1]] if flushes else []
    shutil.copyfile(base, out)
    with open(out, "r+b") as f:
        for kind, offset, data in durable:
            if kind == "W":
                f.seek(offset)
                f.write(data)
    return len(durable), len(records)


def unmount_when_released(path):
    """Unmounts a file system that a just-detached loop device may still
    hold for a moment: the kernel lets go of its backing file only once
    nothing has the device open any more (udev's probe of it, say)."""
    for _ in range(100):
        if subprocess.run(["umount", path], capture_output=True).returncode == 0:
            return
        time.sleep(0.1)
    subprocess.run(["umount", "--lazy", path], check=False)


def wait_for_mount(path, server):
    for _ in range(200):
        if os.path.ismount(path):
            return
        if server.poll() is not None:
            raise RuntimeError("the logging file system ended: %s" % server.stderr.read())
        time.sleep(0.05)
    raise RuntimeError("the logging file system never appeared at " + path)


def backup_in(image, name, mountpoint):
    """The bytes of name in an ext4 image after journal replay, or None."""
    fsck = subprocess.run(["e2fsck", "-fy", image], capture_output=True, text=True)
    if fsck.returncode >= 4:
        raise RuntimeError("e2fsck failed (%d): %s" % (fsck.returncode, fsck.stdout[-500:]))
    sh("mount", "-o", "ro,loop", image, mountpoint)
    try:
        path = os.path.join(mountpoint, name)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()
    finally:
        sh("umount", mountpoint)


def power_cut(program, source, expected, work, drop_box=False):
    """Problems found when power goes right after the program reports success.

    With drop_box, the target's folder is one that the user may write and
    enter but not list (mode 0333), and the program runs as nobody: it
    cannot open the folder to sync it, and must make the name durable
    another way.
    """
    base = os.path.join(work, "base.img")
    backing = os.path.join(work, "backing.img")
    log = os.path.join(work, "writes.log")
    fuse_at, ext4_at, check_at = (os.path.join(work, d) for d in ("fuse", "ext4", "check"))
    for folder in (fuse_at, ext4_at, check_at):
        os.mkdir(folder)
    make_ext4(base, 32 << 20)
    shutil.copyfile(base, backing)
    server = subprocess.Popen(["/usr/bin/python3", os.path.join(HERE, "write_log_fs.py"), backing,
                               fuse_at, log], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              text=True)
    loop = None
    mounted = False
    problems = []
    try:
        wait_for_mount(fuse_at, server)
        loop, why = fixtures.attach_loop(os.path.join(fuse_at, "disk.img"))
        if loop is None:
            raise RuntimeError("losetup: " + why)
        # A long commit interval: only the program's own flush may make the
        # new file durable within the run, never the journal's timer.
        sh("mount", "-t", "ext4", "-o", "commit=60", loop, ext4_at)
        mounted = True
        name = "backup.bin"
        user = None
        if drop_box:
            os.mkdir(os.path.join(ext4_at, "drop"))
            os.chmod(os.path.join(ext4_at, "drop"), 0o333)
            name, user = "drop/backup.bin", "nobody"
        status, out = program.store(source, os.path.join(ext4_at, name), user)
        cut = os.path.getsize(log)
        if status != 0:
            problems.append("store failed: status %d, %r" % (status, out))
    finally:
        if mounted:
            sh("umount", ext4_at)
        if loop:
            fixtures.detach_loop(loop)
        unmount_when_released(fuse_at)
        server.wait(timeout=30)
    if problems:
        return problems
    durable, seen = crash_image(base, read_log(log, cut), os.path.join(work, "crash.img"))
    got = backup_in(os.path.join(work, "crash.img"), name, check_at)
    print("     %d of %d writes were durable when the program exited" % (durable, seen))
    if got is None:
        problems.append("after the power cut there is no %s" % name)
    elif got != expected:
        problems.append("after the power cut %s holds %d bytes, not the sector" % (name, len(got)))
    return problems


def thin_disk(program, source, expected, work):
    """Problems found when write-back to a full thin disk fails."""
    tmpfs, ext4_at = os.path.join(work, "tmpfs"), os.path.join(work, "thin")
    os.mkdir(tmpfs)
    os.mkdir(ext4_at)
    sh("mount", "-t", "tmpfs", "-o", "size=24m", "tmpfs", tmpfs)
    loop = None
    mounted = False
    problems = []
    try:
        image = os.path.join(tmpfs, "thin.img")
        make_ext4(image, 64 << 20)
        with open(os.path.join(tmpfs, "filler"), "wb") as f:
            try:
                while True:
                    f.write(b"\0" * (1 << 20))
                    f.flush()
            except OSError:
                pass
        loop, why = fixtures.attach_loop(image)
        if loop is None:
            raise RuntimeError("losetup: " + why)
        sh("mount", "-t", "ext4", "-o", "commit=60", loop, ext4_at)
        mounted = True
        target = os.path.join(ext4_at, "backup.bin")
        status, out = program.store(source, target)
        name = target if program.kind == "native" else "Z:" + target.replace("/", "\\")
        print("     status %d, output %r" % (status, out))
        if status == 0:
            # Only a backup that survives to the disk may be reported.
            sh("umount", ext4_at)
            mounted = False
            sh("mount", "-t", "ext4", loop, ext4_at)
            mounted = True
            if not os.path.exists(target):
                problems.append("exit 0, but after a remount there is no backup.bin")
            else:
                with open(target, "rb") as f:
                    if f.read() != expected:
                        problems.append("exit 0, but after a remount backup.bin is not the "
                                        "sector")
        elif status != 254:
            problems.append("status %d: neither success nor the failure status" % status)
        elif not out.startswith(("Can't flush output file %s" % name).encode()):
            problems.append("the failure is not reported as a failed flush: %r" % out)
    finally:
        if mounted:
            subprocess.run(["umount", ext4_at], check=False)
        if loop:
            fixtures.detach_loop(loop)
        unmount_when_released(tmpfs)
    return problems


def main():
    kind, path = sys.argv[1], sys.argv[2]
    if os.geteuid() != 0:
        return fixtures.skip_or_fail("needs root for loop devices and mounts")
    if not os.path.exists("/dev/fuse"):
        return fixtures.skip_or_fail("no /dev/fuse for the logging file system")
    if subprocess.run(["/usr/bin/python3", "-c", "import fusepy"], capture_output=True).returncode:
        return fixtures.skip_or_fail("no python3-fusepy for the logging file system")
    if kind == "wine" and wine.cannot_run(path):
        return fixtures.skip_or_fail(wine.cannot_run(path))
    results = []
    with tempfile.TemporaryDirectory(prefix="sectpull-durability-") as work:
        os.chmod(work, 0o755)
        source = os.path.join(work, "source.img")
        expected = fixtures.random_image(source)
        with Program(kind, path, work) as program:
            checks = [("power cut right after success", power_cut),
                      ("write-back fails on a full thin disk", thin_disk)]
            if kind == "native":
                checks.append(("power cut right after a store into a drop box, as nobody",
                               lambda *a: power_cut(*a, drop_box=True)))
            for name, check in checks:
                folder = tempfile.mkdtemp(dir=work)
                os.chmod(folder, 0o755)
                problems = check(program, source, expected, folder)
                print(("ok   " if not problems else "FAIL ") + name)
                for problem in problems:
                    print("  " + problem)
                results.append(not problems)
    passed = sum(results)
    print("durability: %d passed, %d failed" % (passed, len(results) - passed))
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())

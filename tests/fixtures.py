"""Disk images for the end-to-end cases, made with real tools, and the
source arguments that reach them on each platform.

Under Wine every image gets a drive letter through a dosdevices symlink, and
the partitioned disk is also PhysicalDrive0. Natively the partitioned disk
and the FAT volume are loop devices (which needs root), and the rest are
reached through the device namespace as /dev/../path/to/image.
"""

import os
import random
import shutil
import struct
import subprocess
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# tools/wine32 makes it: the system's wine64 beside a 32-bit Wine that runs
# under qemu-i386, so one loader and one prefix serve both Windows builds.
WINE32 = os.path.join(TOP, "build", "wine32")
WINE32_LOADER = os.path.join(WINE32, "root", "usr", "lib", "wine", "wine64")
if os.environ.get("WINE64"):
    WINE = os.environ["WINE64"]
elif os.path.exists(os.path.join(WINE32, "ready")):
    WINE = WINE32_LOADER
else:
    WINE = "/usr/lib/wine/wine64"
WINESERVER = os.environ.get("WINESERVER") or shutil.which("wineserver") or "/usr/lib/wine/wineserver"
# A new prefix whose wineboot goes wrong (explorer.exe restarted without
# end when a library is missing) must not hang the tests.
WINEBOOT_SECONDS = 240

# Image name -> drive letter under Wine. C: and Z: are Wine's own.
LETTERS = {
    "mbr": "m", "fat": "f", "raw": "r", "empty": "e",
    "b100": "h", "b511": "i", "b512": "j", "b513": "k", "folder": "g",
}
LOOP_IMAGES = ("mbr", "fat")
# Names that must not reach a device: a drive and a disk for the open
# failures, and ports, so that a machine with many serial ports still has
# no COM9.
UNMAPPED = ("q", "physicaldrive9", "com9", "lpt1", "prn")


def tool(*args, **kw):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, **kw)


def make_images(folder):
    rng = random.Random(512)
    images = {}

    def path(name):
        images[name] = os.path.join(folder, name + ".img")
        return images[name]

    with open(path("mbr"), "wb") as f:
        f.truncate(4 << 20)
    table = "label: dos\nlabel-id: 0x5ec7b001\nstart=2048, size=4096, type=c, bootable\n" \
            "start=6144, type=83\n"
    tool("sfdisk", "--quiet", "--no-reread", "--no-tell-kernel", images["mbr"],
         input=table.encode())
    # The first partition's own first sector, read natively through the
    # loop device's partition node; p1 holds the bytes expected there.
    first_partition = rng.randbytes(1024)
    with open(images["mbr"], "r+b") as f:
        f.seek(2048 * 512)
        f.write(first_partition)
    with open(path("p1"), "wb") as f:
        f.write(first_partition)

    tool("mkfs.fat", "-C", "-i", "5EC7B001", "-n", "SECTPULL", path("fat"), "1440")

    # Every byte a text layer could touch: CR, LF, ^Z, NUL, and CR LF pairs.
    special = b"\r\n\x1a\x00\n\r\x1a\r\n\x00"
    body = bytearray(rng.randbytes(4096))
    for at in range(0, 512, 37):
        body[at:at + len(special)] = special
    with open(path("raw"), "wb") as f:
        f.write(bytes(body))

    for name, size in (("empty", 0), ("b100", 100), ("b511", 511), ("b512", 512), ("b513", 513)):
        with open(path(name), "wb") as f:
            f.write(rng.randbytes(size))

    images["folder"] = os.path.join(folder, "folder")
    os.mkdir(images["folder"])
    return images


def wine_env():
    return dict(os.environ, WINEDEBUG="-all", LC_ALL="C.UTF-8")


def is_32_bit(program):
    """True for a PE32 program for i386."""
    with open(program, "rb") as f:
        header = f.read(4096)
    at = struct.unpack_from("<I", header, 0x3C)[0]
    return struct.unpack_from("<H", header, at + 4)[0] == 0x14C


def cannot_run(program):
    """Why this machine's Wine cannot run the program, or None when it can."""
    if is_32_bit(program) and WINE != WINE32_LOADER and not os.environ.get("WINE64"):
        return "no 32-bit Wine: tools/wine32 makes it, as root (tools/deps test runs it)"
    return None


# The exit status ctest reports as a skipped test (SKIP_RETURN_CODE).
SKIPPED = 77


def skip_or_fail(reason):
    """The exit status for a test that cannot run here: skipped, but failed
    in CI, which must run everything."""
    if os.environ.get("CI"):
        print("FAIL (CI must run this): " + reason)
        return 1
    print("skip: " + reason)
    return SKIPPED


def start_wine(program):
    """Readies the prefix in $WINEPREFIX; returns its dosdevices folder."""
    prefix = os.environ["WINEPREFIX"]
    devices = os.path.join(prefix, "dosdevices")
    syswow64 = os.path.join(prefix, "drive_c", "windows", "syswow64", "kernel32.dll")
    if WINE == WINE32_LOADER and os.path.isdir(devices) and not os.path.exists(syswow64):
        # Made by a 64-bit-only Wine: it cannot start the 32-bit program.
        shutil.rmtree(prefix)
    if not os.path.isdir(devices):
        try:
            tool(WINE, "wineboot", "-i", env=wine_env(), stderr=subprocess.DEVNULL,
                 timeout=WINEBOOT_SECONDS)
        except subprocess.TimeoutExpired:
            subprocess.run([WINESERVER, "-k"], env=wine_env(), check=False)
            raise RuntimeError("wineboot -i took over %d s" % WINEBOOT_SECONDS)
        # The server wineboot started lingers a few seconds and then exits,
        # and a case that starts while it shuts down fails to run at all.
        # Let it go, so the persistent one below is the only one.
        subprocess.run([WINESERVER, "-w"], env=wine_env(), check=False)
    # One wineserver for the whole run: one started by a captured run
    # would hold the capture pipes open for seconds after each case.
    # It refuses to start when one is already running (status 2). In this
    # private prefix only this code and the demo start one, and both start
    # it persistent, so that one serves as well.
    started = subprocess.run([WINESERVER, "-p"], env=wine_env(), check=False)
    if started.returncode not in (0, 2):
        raise RuntimeError("wineserver -p failed with status %d" % started.returncode)
    # The first program also starts Wine's services, which inherit its
    # output and hold it open: let them inherit nothing a case captures.
    subprocess.run([WINE, program], env=wine_env(), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False)
    return devices


def stop_wine():
    # Waiting for it to go keeps the next run from finding a server that
    # is still shutting down.
    subprocess.run([WINESERVER, "-k"], env=wine_env(), check=False)
    subprocess.run([WINESERVER, "-w"], env=wine_env(), check=False)


def attach_loop(image, partitions=False):
    """Attaches an image as a loop device: (/dev/loopN, None) or (None, why not).

    Read-write, so a write to the device would show in the image. With
    partitions, the kernel also makes /dev/loopNpK for each partition.
    """
    if os.geteuid() != 0 or shutil.which("losetup") is None:
        return None, "not root"
    done = subprocess.run(["losetup", "-f", "--show"] + (["-P"] if partitions else []) + [image],
                          capture_output=True, text=True)
    if done.returncode != 0:
        return None, done.stderr.strip()
    return done.stdout.strip(), None


def detach_loop(device):
    subprocess.run(["losetup", "-d", device], check=False)


def partition_node(device, number):
    """/dev/loopNpK of a loop device attached with partitions, or None.

    The kernel makes it once it has read the table; a kernel built without
    that table's parser makes it only when partx adds the partitions.
    """
    node = "%sp%d" % (device, number)
    for attempt in range(40):
        if os.path.exists(node):
            return node
        if attempt == 10:
            subprocess.run(["partx", "-a", device], check=False, capture_output=True)
        time.sleep(0.05)
    return None


def through_dev(path):
    """A path as a Linux device name: /dev/ + ../path."""
    return ".." + os.path.abspath(path)


class Fixtures:
    def __init__(self, root, platform, program):
        self.root = root
        self.program = program
        self.platform = platform
        self.notes = []
        self.loops = []
        self.sources = {}

    def __enter__(self):
        folder = os.path.join(self.root, "images")
        os.mkdir(folder)
        self.images = make_images(folder)
        if self.platform == "wine":
            self.map_drives(self.program)
        else:
            self.attach_loops()
            for name, path in self.images.items():
                self.sources.setdefault(name, through_dev(path))
            # The names a Linux user types: absolute paths, opened as typed.
            self.sources["raw_abs"] = os.path.abspath(self.images["raw"])
            self.sources["folder_abs"] = os.path.abspath(self.images["folder"])
            dangling = os.path.join(self.root, "images", "dangling")
            os.symlink("nowhere.img", dangling)
            self.sources["dangling_abs"] = dangling
            for name in LOOP_IMAGES:
                if name not in self.sources or self.sources[name].startswith(".."):
                    self.sources.pop(name, None)
        return self

    def __exit__(self, *exc):
        for device in self.loops:
            detach_loop(device)
        if self.platform == "wine":
            stop_wine()
        return False

    def map_drives(self, program):
        devices = start_wine(program)
        for name, letter in LETTERS.items():
            link = os.path.join(devices, letter + "::")
            if os.path.lexists(link):
                os.remove(link)
            os.symlink(self.images[name], link)
            self.sources[name] = letter.upper() + ":"
        drive0 = os.path.join(devices, "physicaldrive0")
        if os.path.lexists(drive0):
            os.remove(drive0)
        os.symlink(self.images["mbr"], drive0)
        for name in UNMAPPED:
            for link in (os.path.join(devices, name + "::"), os.path.join(devices, name)):
                if os.path.lexists(link):
                    os.remove(link)

    def attach_loops(self):
        if os.geteuid() != 0 or shutil.which("losetup") is None:
            self.notes.append("not root: the loop-device cases (partitioned disk, FAT volume) "
                              "are skipped")
            return
        for name in LOOP_IMAGES:
            device, error = attach_loop(self.images[name], partitions=name == "mbr")
            if device is None:
                self.notes.append("losetup failed (%s): the %s cases are skipped" % (error, name))
                continue
            self.loops.append(device)
            self.sources[name] = os.path.basename(device)
            self.sources[name + "_dev"] = device
        if "mbr_dev" in self.sources:
            partition = partition_node(self.sources["mbr_dev"], 1)
            if partition:
                self.sources["p1_dev"] = partition
            else:
                self.notes.append("no partition node for %s: the partition cases are skipped" %
                                  self.sources["mbr_dev"])

"""Disk images for the end-to-end cases, made with real tools, the source
arguments that reach them on each platform, and the loop devices that
stand for disks.

Under Wine every image gets a drive letter through a dosdevices symlink, and
the partitioned disk is also PhysicalDrive0. Natively the partitioned disk
and the FAT volume are loop devices (which needs root), and the rest are
reached through the device namespace as /dev/../path/to/image.
"""

import os
import random
import shutil
import subprocess
import time

import wine

TOP = wine.TOP

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


def random_image(path, size=4096):
    """Writes an image of random bytes; returns its first sector."""
    data = os.urandom(size)
    with open(path, "wb") as f:
        f.write(data)
    return data[:512]


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
            wine.stop()
        return False

    def map_drives(self, program):
        devices = wine.start(program)
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

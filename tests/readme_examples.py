#!/usr/bin/env python3
"""The README's Linux examples, run with the Linux program on a disk image.

    readme_examples.py PROGRAM

Taken from README.md, not copied here, so a wrong example fails:
- every `sectpull ...` command in "Usage on Linux" that reads a device the
  test can stand in for (/dev/sda, /dev/sda1, /dev/disk/by-id/NAME, an
  image, sda), which must store or dump the right first sector; and
  `sectpull C:`, which must fail as the README says. mbrN: reads the
  machine's own disks and is left to the unit tests' fake tree.
- the ```sh blocks of "A user's guide", run in order in one folder with
  /dev/sda standing for a partitioned loop device: every command must
  succeed, the backup must be the disk's first sector, sfdisk must list its
  table, and the dd lines that put a backup back must restore 512 bytes, or
  only the 446 bytes of boot code, on the test's own device.

Needs root for the loop device; without it the test says so and is
skipped (under CI it fails).
"""

import os
import re
import shlex
import subprocess
import sys
import tempfile

import fixtures

README = os.path.join(fixtures.TOP, "README.md")


def section(text, title):
    return text.split("\n## %s\n" % title, 1)[1].split("\n## ", 1)[0]


def make_disk(work):
    image = os.path.join(work, "disk.img")
    with open(image, "wb") as f:
        f.truncate(4 << 20)
    subprocess.run(["sfdisk", "--quiet", "--no-reread", "--no-tell-kernel", image],
                   input=b"label: dos\nstart=2048, size=4096, type=c, bootable\n", check=True,
                   stdout=subprocess.DEVNULL)
    with open(image, "r+b") as f:
        f.seek(2048 * 512)
        f.write(os.urandom(512))
    return image


def first_sector(path, offset=0):
    with open(path, "rb") as f:
        f.seek(offset)
        return f.read(512)


def run(command, folder, env):
    return subprocess.run(["/bin/sh", "-ec", command], cwd=folder, env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=60)


def report(name, problems):
    print(("ok   " if not problems else "FAIL ") + name)
    for problem in problems:
        print("  " + problem)
    return not problems


def usage_examples(text, device, partition, image, work, env):
    """The commands of "Usage on Linux", each in a folder of its own."""
    by_id = os.path.join(work, "by-id")
    os.makedirs(by_id, exist_ok=True)
    os.symlink(device, os.path.join(by_id, "NAME"))
    stand_ins = [("/dev/disk/by-id/NAME", os.path.join(by_id, "NAME")),
                 ("/dev/sda1", partition), ("/dev/sda", device),
                 ("/srv/images/disk.img", image), ("sectpull sda", "sectpull " +
                                                   os.path.relpath(device, "/dev"))]
    results = []
    spans = re.findall(r"`((?:sudo )?sectpull [^`]*)`", section(text, "Usage on Linux"))
    for span in spans:
        if re.search(r"\bmbr[0-9N]", span):
            continue
        command = span.replace("sudo ", "")
        for name, stand_in in stand_ins:
            command = command.replace(name, stand_in)
        folder = tempfile.mkdtemp(dir=work)
        done = run(command, folder, env)
        problems = []
        words = shlex.split(command)
        if span == "sectpull C:":
            if done.returncode != 254 or done.stdout != b"Can't open \\\\.\\C:\nError 2\n":
                problems.append("status %d, stdout %r" % (done.returncode, done.stdout))
            results.append(report("README: " + span + " fails as it says", problems))
            continue
        if done.returncode != 0:
            problems.append("status %d, stdout %r" % (done.returncode, done.stdout))
        source = os.path.realpath(words[1] if words[1].startswith("/") else "/dev/" + words[1])
        want = first_sector(source)
        if len(words) > 2 and "|" not in words:
            got = first_sector(os.path.join(folder, words[2]))
        else:
            got = done.stdout[:512] if "|" not in words else want
        if got != want:
            problems.append("the copy is not the first sector of " + source)
        results.append(report("README: " + span, problems))
    return results


def guide_blocks(text, device, work, env):
    """The guide's shell blocks, in order, in one folder."""
    blocks = re.findall(r"^```sh\n(.*?)^```$", section(text, "A user's guide"), re.S | re.M)
    folder = tempfile.mkdtemp(dir=work)
    results = []
    disk = first_sector(device)
    # What the guide says its two dd lines put back: the whole sector, then
    # the boot code alone, keeping today's partition table.
    restored_sizes = [512, 446]
    for block in blocks:
        script = block.replace("sudo ", "").replace("/dev/sda", device)
        name = "guide: " + block.strip().splitlines()[0]
        problems = []
        restore = re.search(r"\bdd if=", script)
        if restore:
            # Put something else in the first sector, so the restore shows.
            with open(device, "r+b") as f:
                f.write(b"\0" * 512)
        done = run(script, folder, env)
        if done.returncode != 0:
            problems.append("status %d, stderr %r" % (done.returncode, done.stderr[-300:]))
        if "sectpull " in script and first_sector(os.path.join(folder, "sda-mbr.bin")) != disk:
            problems.append("sda-mbr.bin is not the disk's first sector")
        if "sfdisk -d" in script and b"type=c, bootable" not in done.stdout:
            problems.append("sfdisk -d does not list the table: %r" % done.stdout[-300:])
        if restore:
            size = restored_sizes.pop(0) if restored_sizes else 0
            want = disk[:size] + b"\0" * (512 - size)
            if first_sector(device) != want:
                problems.append("the dd line did not put back exactly %d bytes" % size)
            with open(device, "r+b") as f:
                f.write(disk)
        results.append(report(name, problems))
    return results


def main():
    program = os.path.abspath(sys.argv[1])
    if os.geteuid() != 0:
        return fixtures.skip_or_fail("needs root for a loop device standing for /dev/sda")
    with open(README) as f:
        text = f.read()
    results = []
    with tempfile.TemporaryDirectory(prefix="sectpull-readme-") as work:
        image = make_disk(work)
        device, why = fixtures.attach_loop(image, partitions=True)
        if device is None:
            print("FAIL losetup: " + why)
            return 1
        try:
            partition = fixtures.partition_node(device, 1)
            os.mkdir(os.path.join(work, "bin"))
            os.symlink(program, os.path.join(work, "bin", "sectpull"))
            env = {"PATH": os.path.join(work, "bin") + ":/usr/sbin:/usr/bin:/sbin:/bin",
                   "LC_ALL": "C.UTF-8"}
            results += usage_examples(text, device, partition, image, work, env)
            results += guide_blocks(text, device, work, env)
        finally:
            fixtures.detach_loop(device)
    passed = sum(results)
    print("readme examples: %d passed, %d failed" % (passed, len(results) - passed))
    return 0 if all(results) and results else 1


if __name__ == "__main__":
    sys.exit(main())

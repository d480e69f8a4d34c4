#!/usr/bin/env python3
"""Packs the releases.

    tools/dist.py EXE OUT.zip             the Windows release: sectpull.exe, README.md,
                                          LICENSE and SHA256SUMS
    tools/dist.py PROGRAM OUT.tar.gz      the Linux release: one folder named after the
                                          archive, holding sectpull (stripped), sectpull.1
                                          (the man page the build made beside it),
                                          README.md, LICENSE and SHA256SUMS

Every entry carries the same fixed date, SOURCE_DATE_EPOCH or else the last
commit's, in a fixed order with fixed modes and owners, so one commit always
packs to the same bytes.
"""

import gzip
import hashlib
import io
import os
import subprocess
import sys
import tarfile
import tempfile
import time
import zipfile

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def source_date_epoch():
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    done = subprocess.run(["git", "-C", TOP, "log", "-1", "--format=%ct"], capture_output=True,
                          text=True)
    if done.returncode != 0 or not done.stdout.strip():
        sys.exit("dist: set SOURCE_DATE_EPOCH (no git history to take the date from)")
    return int(done.stdout)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def with_sums(contents):
    """The files, then SHA256SUMS of them."""
    sums = "".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name)
                   for name, data, _ in contents)
    return contents + [("SHA256SUMS", sums.encode(), 0o644)]


def write_zip(out, contents, epoch):
    # Zip dates start in 1980 and have two-second steps.
    stamp = time.gmtime(max(epoch, 315532800))[:6]
    with zipfile.ZipFile(out, "w") as archive:
        for name, data, mode in contents:
            entry = zipfile.ZipInfo(name, date_time=stamp)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = 3
            entry.external_attr = (0o100000 | mode) << 16
            archive.writestr(entry, data, compresslevel=9)


def write_tar_gz(out, folder, contents, epoch):
    tar_bytes = io.BytesIO()
    with tarfile.open(fileobj=tar_bytes, mode="w", format=tarfile.USTAR_FORMAT) as archive:
        entries = [(folder, None, 0o755)] + [(folder + "/" + n, d, m) for n, d, m in contents]
        for name, data, mode in entries:
            entry = tarfile.TarInfo(name)
            entry.mtime = epoch
            entry.mode = mode
            entry.uid = entry.gid = 0
            entry.uname = entry.gname = "root"
            if data is None:
                entry.type = tarfile.DIRTYPE
                archive.addfile(entry)
            else:
                entry.size = len(data)
                archive.addfile(entry, io.BytesIO(data))
    with open(out, "wb") as f:
        # No file name in the gzip header, and the fixed date.
        with gzip.GzipFile(filename="", mode="wb", fileobj=f, compresslevel=9,
                           mtime=epoch) as packed:
            packed.write(tar_bytes.getvalue())


def stripped(program):
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "sectpull")
        subprocess.run(["strip", "-o", out, program], check=True)
        return read(out)


def main():
    program, out = sys.argv[1], sys.argv[2]
    epoch = source_date_epoch()
    docs = [("README.md", read(os.path.join(TOP, "README.md")), 0o644),
            ("LICENSE", read(os.path.join(TOP, "LICENSE")), 0o644)]
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    if out.endswith(".zip"):
        contents = with_sums([("sectpull.exe", read(program), 0o755)] + docs)
        write_zip(out + ".tmp", contents, epoch)
    elif out.endswith(".tar.gz"):
        contents = with_sums([("sectpull", stripped(program), 0o755),
                              ("sectpull.1", read(os.path.join(os.path.dirname(program),
                                                                "sectpull.1")), 0o644)]
                             + docs)
        write_tar_gz(out + ".tmp", os.path.basename(out)[:-len(".tar.gz")], contents, epoch)
    else:
        sys.exit("dist: the archive must end in .zip or .tar.gz")
    os.replace(out + ".tmp", out)
    print("%s  %s" % (hashlib.sha256(read(out)).hexdigest(), out))
    return 0


if __name__ == "__main__":
    sys.exit(main())

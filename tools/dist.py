#!/usr/bin/env python3
"""Packs the Windows release: dist/sectpull-1.1-win32.zip.

    tools/dist.py EXE OUT.zip

The zip holds sectpull.exe, README.md, LICENSE and SHA256SUMS. Every entry
carries the same fixed date, SOURCE_DATE_EPOCH or else the last commit's,
in a fixed order with fixed modes, so one commit always packs to the same
bytes.
"""

import hashlib
import os
import subprocess
import sys
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


def main():
    exe, out = sys.argv[1], sys.argv[2]
    # Zip dates start in 1980 and have two-second steps.
    stamp = time.gmtime(max(source_date_epoch(), 315532800))[:6]
    files = [("sectpull.exe", exe, 0o755), ("README.md", os.path.join(TOP, "README.md"), 0o644),
             ("LICENSE", os.path.join(TOP, "LICENSE"), 0o644)]
    contents = []
    for name, path, mode in files:
        with open(path, "rb") as f:
            contents.append((name, f.read(), mode))
    sums = "".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name)
                   for name, data, _ in contents)
    contents.append(("SHA256SUMS", sums.encode(), 0o644))

    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    with zipfile.ZipFile(out + ".tmp", "w") as archive:
        for name, data, mode in contents:
            entry = zipfile.ZipInfo(name, date_time=stamp)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = 3
            entry.external_attr = (0o100000 | mode) << 16
            archive.writestr(entry, data, compresslevel=9)
    os.replace(out + ".tmp", out)
    print("%s  %s" % (hashlib.sha256(open(out, "rb").read()).hexdigest(), out))
    return 0


if __name__ == "__main__":
    sys.exit(main())

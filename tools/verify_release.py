#!/usr/bin/env python3
"""Checks a Windows release zip against a build of this tree's sources.

    tools/verify_release.py ZIP [--ca CA.pem] [--from commit|tree]

- The zip's SHA256SUMS must match the files beside it in the zip.
- Its sectpull.exe, with any Authenticode signature removed, must be byte
  for byte the exe that a fresh build of the current commit (or, with
  --from tree, of the working tree as it is) gives: builds are
  reproducible, so a signed release can be tied to its sources.
- With --ca, the signature must verify against that CA.

Prints one line saying what held and what did not; exits 0 only when all
of it held.
"""

import argparse
import hashlib
import os
import subprocess
import sys
import tempfile
import zipfile

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def sums_hold(folder):
    """None when SHA256SUMS matches the files, else what does not."""
    path = os.path.join(folder, "SHA256SUMS")
    if not os.path.exists(path):
        return "no SHA256SUMS"
    wrong = []
    with open(path) as f:
        for line in f:
            digest, name = line.rstrip("\n").split("  ", 1)
            target = os.path.join(folder, name)
            if not os.path.exists(target):
                wrong.append(name + " missing")
                continue
            with open(target, "rb") as g:
                if hashlib.sha256(g.read()).hexdigest() != digest:
                    wrong.append(name)
    return "does not match " + ", ".join(wrong) if wrong else None


def is_signed(exe):
    """True when the PE's certificate table (data directory 4) is not empty."""
    with open(exe, "rb") as f:
        pe = f.read()
    at = int.from_bytes(pe[0x3C:0x40], "little")
    magic = int.from_bytes(pe[at + 24:at + 26], "little")
    directories = at + 24 + (96 if magic == 0x10B else 112)
    size = int.from_bytes(pe[directories + 4 * 8 + 4:directories + 4 * 8 + 8], "little")
    return size != 0


def rebuild(source, work):
    """The exe a fresh win32 build of the sources gives."""
    tree = os.path.join(work, "src")
    os.mkdir(tree)
    if source == "commit":
        archive = subprocess.run(["git", "-C", TOP, "archive", "HEAD"], capture_output=True,
                                 check=True).stdout
        subprocess.run(["tar", "-x", "-C", tree], input=archive, check=True)
    else:
        files = subprocess.run(["git", "-C", TOP, "ls-files", "-co", "--exclude-standard", "-z"],
                               capture_output=True, check=True).stdout
        subprocess.run(["xargs", "-0", "cp", "--parents", "-t", tree], input=files, cwd=TOP,
                       check=True)
    env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    for command in (["cmake", "--preset", "win32", "-DSECTPULL_TESTS=OFF"],
                    ["cmake", "--build", "--preset", "win32", "--target", "sectpull"]):
        subprocess.run(command, cwd=tree, env=env, stdout=subprocess.DEVNULL, check=True)
    return os.path.join(tree, "build", "win32", "sectpull.exe")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("zip")
    parser.add_argument("--ca", help="verify the exe's signature against this CA")
    parser.add_argument("--from", dest="source", choices=["commit", "tree"], default="commit",
                        help="rebuild the current commit (default) or the working tree")
    options = parser.parse_args()

    held, failed = [], []
    with tempfile.TemporaryDirectory(prefix="sectpull-verify-") as work:
        unpacked = os.path.join(work, "zip")
        with zipfile.ZipFile(options.zip) as archive:
            archive.extractall(unpacked)
        exe = os.path.join(unpacked, "sectpull.exe")

        problem = sums_hold(unpacked)
        (failed if problem else held).append("SHA256SUMS " + (problem or "matches"))

        signed = os.path.exists(exe) and is_signed(exe)
        bare = exe
        if signed:
            bare = os.path.join(work, "unsigned.exe")
            subprocess.run(["osslsigncode", "remove-signature", "-in", exe, "-out", bare],
                           stdout=subprocess.DEVNULL, check=True)
        what = "the %s" % ("commit " + subprocess.run(
            ["git", "-C", TOP, "rev-parse", "--short", "HEAD"], capture_output=True,
            text=True).stdout.strip() if options.source == "commit" else "working tree")
        built = rebuild(options.source, work)
        with open(built, "rb") as a, open(bare, "rb") as b:
            same = os.path.exists(bare) and a.read() == b.read()
        line = "the exe%s is the build of %s" % (" less its signature" if signed else "", what)
        if same:
            held.append(line)
        else:
            failed.append(line.replace(" is ", " is not ", 1))

        if options.ca:
            if not signed:
                failed.append("the exe is not signed")
            else:
                verified = subprocess.run(["osslsigncode", "verify", "-CAfile", options.ca,
                                           "-in", exe], capture_output=True)
                line = "the signature verifies against " + os.path.basename(options.ca)
                if verified.returncode == 0:
                    held.append(line)
                else:
                    failed.append(line.replace("verifies", "does not verify"))
        else:
            held.append("signature not checked (no CA given)" if signed else "the exe is unsigned")

    print("verify-release: %s; held: %s%s" % (
        "FAIL" if failed else "ok", "; ".join(held) or "nothing",
        "; failed: " + "; ".join(failed) if failed else ""))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

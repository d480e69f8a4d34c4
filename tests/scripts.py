#!/usr/bin/env python3
"""The README's script examples, run as a user would copy them.

    scripts.py wine EXE        the batch file under Wine's cmd /c
    scripts.py native PROGRAM  the POSIX shell script under /bin/sh

The examples are taken from README.md's "Use in scripts" section, not
copied here, so an edit that breaks one fails this test. Each runs in three
cases: a store that works (the script must go on), an existing target and
a missing disk (the script must stop, with sectpull's two lines shown).
Under Wine the batch file runs as written: sectpull.exe sits in the
script's folder, where cmd finds it, and the disk it names, mbr0:, is
\\\\.\\PhysicalDrive0, mapped to an image or not. The shell script has its
/dev/sda replaced by an image's path. The naive `if errorlevel 1` form is
run too, and must carry on after both failures, which is what the README
warns of.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

import fixtures
import wine

README = os.path.join(fixtures.TOP, "README.md")
EXISTING = b"an older backup\n"
GOES_ON = "The backup is stored"
STOPS = "The backup failed"


def examples():
    """{language: [code blocks in order]} from README's "Use in scripts"."""
    with open(README) as f:
        text = f.read()
    section = text.split("\n## Use in scripts\n", 1)[1].split("\n## ", 1)[0]
    found = {}
    for language, code in re.findall(r"^```(\w+)\n(.*?)^```$", section, re.S | re.M):
        found.setdefault(language, []).append(code)
    return found


def batch_scripts():
    """(the README's batch file, a whole script around its naive two lines)."""
    proper, naive = examples()["bat"][:2]
    wrapped = ("@echo off\n" + naive + "echo %s; the work on the disk can start.\nexit /b 0\n"
               ":failed\necho %s: stopping before the disk is touched.\nexit /b 1\n") % (
                   GOES_ON, STOPS)
    return proper, wrapped


# name, whether the disk is there, whether the target exists, the lines
# sectpull prints on each platform ("{disk}" is the source as formed).
CASES = [
    ("a store that works", True, False, {"wine": [], "native": []}),
    ("the target exists", True, True,
     {"wine": ["Can't create output file disk0-mbr.bin", "Error 80"],
      "native": ["Can't create output file sda-mbr.bin", "Error 17"]}),
    # With nothing mapped, Wine still opens \\.\PhysicalDrive0 and then
    # fails its read (ERROR_INVALID_FUNCTION): a disk that is not there all
    # the same.
    ("the disk is missing", False, False,
     {"wine": ["Read 0 bytes instead of 512", "Error 1"],
      "native": ["Can't open \\\\.\\{disk}", "Error 2"]}),
]


def judge(name, form, done, lines, should_go_on, target, sector):
    """Problems with one run of a script."""
    out = done.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
    went_on = GOES_ON in out
    problems = []
    if should_go_on and (not went_on or done.returncode != 0):
        problems.append("the script should have gone on: status %d" % done.returncode)
    if not should_go_on and (went_on or done.returncode != 1 or
                             STOPS not in out + done.stderr.decode("utf-8", "replace")):
        problems.append("the script should have stopped: status %d" % done.returncode)
    for line in lines:
        if line + "\n" not in out:
            problems.append("sectpull's line %r is not in the script's output" % line)
    if should_go_on and not lines:
        with open(target, "rb") as f:
            if f.read() != sector:
                problems.append("the stored file is not the disk's first sector")
    if problems:
        problems.append("output: %r" % out)
    print(("ok   " if not problems else "FAIL ") + "%s, %s" % (form, name))
    for problem in problems:
        print("  " + problem)
    return not problems


def run_wine(exe, work, disk, sector):
    proper, naive = batch_scripts()
    devices = wine.start(exe)
    drive = os.path.join(devices, "physicaldrive0")
    results = []
    try:
        # The README also offers "if not errorlevel 0" in place of the test.
        alternative = proper.replace("if %ERRORLEVEL% NEQ 0 (", "if not errorlevel 0 (")
        for form, script, naive_form in (("if %ERRORLEVEL% NEQ 0", proper, False),
                                         ("if not errorlevel 0", alternative, False),
                                         ("naive if errorlevel 1", naive, True)):
            for name, disk_there, target_exists, lines in CASES:
                folder = tempfile.mkdtemp(dir=work)
                shutil.copy(exe, os.path.join(folder, "sectpull.exe"))
                with open(os.path.join(folder, "backup.bat"), "w", newline="\r\n") as f:
                    f.write(script)
                target = os.path.join(folder, "disk0-mbr.bin")
                if target_exists:
                    with open(target, "wb") as f:
                        f.write(EXISTING)
                if os.path.lexists(drive):
                    os.remove(drive)
                if disk_there:
                    os.symlink(disk, drive)
                done = subprocess.run([wine.WINE, "cmd", "/c", "backup.bat"], cwd=folder,
                                      env=wine.env(), stdin=subprocess.DEVNULL,
                                      capture_output=True, timeout=120)
                # The naive form's flaw: it goes on after every failure.
                should_go_on = naive_form or not lines["wine"]
                ok = judge(name, form, done, lines["wine"], should_go_on, target, sector)
                if target_exists:
                    with open(target, "rb") as f:
                        ok = ok and f.read() == EXISTING
                results.append(ok)
    finally:
        if os.path.lexists(drive):
            os.remove(drive)
        wine.stop()
    return results


def man_page_lines_match():
    """The man page's script lines are lines of the README's tested examples."""
    with open(os.path.join(fixtures.TOP, "man", "sectpull.1.in")) as f:
        man = f.read().split('.SH "USE IN SCRIPTS"', 1)[1].split("\n.SH ", 1)[0]
    tested = set()
    for blocks in examples().values():
        for block in blocks:
            tested.update(line.strip() for line in block.splitlines())
    problems = []
    for block in re.findall(r"^\.nf\n(.*?)^\.fi$", man, re.S | re.M):
        for line in block.replace("\\-", "-").splitlines():
            if line.strip() not in tested:
                problems.append("the man page's %r is not in the README's examples" % line)
    print(("ok   " if not problems else "FAIL ") + "the man page's script lines are the README's")
    for problem in problems:
        print("  " + problem)
    return not problems


def run_native(program, work, disk, sector):
    script = examples()["sh"][0]
    results = [man_page_lines_match()]
    for name, disk_there, target_exists, lines in CASES:
        folder = tempfile.mkdtemp(dir=work)
        os.mkdir(os.path.join(folder, "bin"))
        os.symlink(program, os.path.join(folder, "bin", "sectpull"))
        source = disk if disk_there else os.path.join(work, "no-such-disk")
        with open(os.path.join(folder, "backup.sh"), "w") as f:
            f.write(script.replace("/dev/sda ", source + " "))
        target = os.path.join(folder, "sda-mbr.bin")
        if target_exists:
            with open(target, "wb") as f:
                f.write(EXISTING)
        env = {"PATH": os.path.join(folder, "bin") + ":/usr/bin:/bin", "LC_ALL": "C.UTF-8"}
        done = subprocess.run(["/bin/sh", "backup.sh"], cwd=folder, env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        wanted = [line.replace("{disk}", source) for line in lines["native"]]
        ok = judge(name, "if ! sectpull", done, wanted, not wanted, target, sector)
        if target_exists:
            with open(target, "rb") as f:
                ok = ok and f.read() == EXISTING
        results.append(ok)
    return results


def main():
    kind, program = sys.argv[1], os.path.abspath(sys.argv[2])
    if kind == "wine" and wine.cannot_run(program):
        return fixtures.skip_or_fail(wine.cannot_run(program))
    with tempfile.TemporaryDirectory(prefix="sectpull-scripts-") as work:
        os.chmod(work, 0o755)
        disk = os.path.join(work, "disk.img")
        sector = fixtures.random_image(disk)
        run = run_wine if kind == "wine" else run_native
        results = run(program, work, disk, sector)
    passed = sum(results)
    print("scripts: %d passed, %d failed" % (passed, len(results) - passed))
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())

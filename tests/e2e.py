#!/usr/bin/env python3
"""End-to-end cases for sectpull, run against one build of the real program.

    e2e.py native PROGRAM [--wrap CMD...]   the Linux program, run directly
    e2e.py wine PROGRAM                     the Windows program, under Wine

Every case runs in a fresh, empty folder on disk images made here with real
tools. It checks the exit status, the exact bytes on standard output, and
every file left in the folder afterwards. Platform differences (error codes,
line endings, how a fixture is reached) are columns of the table, not copied
cases. A failing case prints expected against actual.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile

import fixtures

BANNER = [
    "sectpull v1.1 - copies a boot sector or MBR, read-only. Copyright (c) 2026 the sectpull authors",
    "Home: https://sectpull.example.org/",
]

USAGE = [
    "Usage:",
    "  sectpull <DriveLetter>: <TargetFile>",
    "    will store boot-sector in file",
    "  sectpull <DriveLetter>:",
    "    will dump boot-sector to STDOUT",
    "  sectpull mbr<Number>: <TargetFile>",
    "    will store MBR in file",
    "  sectpull mbr<Number>:",
    "    will dump MBR to STDOUT",
]

# Error codes by platform: (Windows as Wine reports it, Linux errno).
ERRORS = {
    "none": (0, 0),
    "exists": (80, 17),  # ERROR_FILE_EXISTS, EEXIST
    "not_found": (2, 2),  # ERROR_FILE_NOT_FOUND, ENOENT
    "no_folder": (3, 2),  # ERROR_PATH_NOT_FOUND, ENOENT
    "denied": (5, 13),  # ERROR_ACCESS_DENIED, EACCES
    "bad_name": (123, 2),  # ERROR_INVALID_NAME, ENOENT
    "is_dir": (5, 21),  # ERROR_ACCESS_DENIED, EISDIR
    "dir_target": (80, 17),  # a directory is an existing name to both
}

SECTOR = 512


def sector(fixture):
    """Expected output: the first sector of a fixture, as raw bytes."""
    return ("sector", fixture)


class Case:
    def __init__(self, name, args, status, out=None, files=None, before=None, stdout="pipe",
                 only=None, wrap=None, comment=""):
        self.name = name
        self.args = args  # "@fixture" stands for the fixture's source argument
        self.status = status  # 0, -1 or -2
        # Lines and sectors, or a dict of them by platform where the platforms
        # differ; None when standard output can't be read.
        self.out = out
        self.files = files or {}  # every file expected in the folder afterwards
        self.before = before or {}  # files made before the run: bytes, or ("symlink", to)
        self.stdout = stdout  # pipe, closed, full or broken
        self.only = only  # "native" or "wine" when only one platform can show it
        self.wrap = wrap  # a command line to run the program under, natively
        self.comment = comment


EXISTING = b"precious data\n" * 10
DEV_FULL = "/dev/full"

CASES = [
    # The main paths.
    Case("store mbr", ["@mbr", "out.bin"], 0, [], {"out.bin": sector("mbr")},
         comment="a partitioned disk's MBR lands in a new file, nothing printed"),
    Case("store fat boot sector", ["@fat", "boot.bin"], 0, [], {"boot.bin": sector("fat")}),
    Case("dump mbr", ["@mbr"], 0, [sector("mbr")], comment="exactly 512 raw bytes, nothing else"),
    Case("dump untranslated", ["@raw"], 0, [sector("raw")],
         comment="CR, LF, ^Z and NUL in the sector arrive as they are"),
    Case("store untranslated", ["@raw", "raw.bin"], 0, [], {"raw.bin": sector("raw")}),
    Case("disk form dump", ["mbr0:"], 0, [sector("mbr")], only="wine",
         comment="mbr0: reaches \\\\.\\PhysicalDrive0, mapped to the disk image"),
    Case("disk form any case", ["MbR0:", "d.bin"], 0, [], {"d.bin": sector("mbr")}, only="wine"),
    Case("third argument ignored", ["@mbr", "out.bin", "extra.bin", "more"], 0, [],
         {"out.bin": sector("mbr")}),
    Case("target with spaces", ["@fat", "a boot sector.bin"], 0, [],
         {"a boot sector.bin": sector("fat")}),
    Case("target latin-1", ["@fat", "bo\u00eete.bin"], 0, [], {"bo\u00eete.bin": sector("fat")}),
    Case("target cyrillic", ["@fat", "\u0444\u0430\u0439\u043b.bin"], 0, [],
         {"\u0444\u0430\u0439\u043b.bin": sector("fat")}),
    Case("full-size sector only", ["@b513", "o.bin"], 0, [], {"o.bin": sector("b513")},
         comment="a 513-byte source gives its first 512 bytes"),
    Case("exact sector", ["@b512", "o.bin"], 0, [], {"o.bin": sector("b512")}),
    # Usage.
    Case("usage", [], -1, BANNER + USAGE,
         comment="no source argument: banner and usage on standard output, status -1"),
    # Open failures name the formed path, and leave no file.
    Case("unmapped drive", ["Q:", "out.bin"], -2, ["Can't open \\\\.\\Q:", "Error {not_found}"]),
    Case("mbr without colon loses its digit", ["mbr0", "out.bin"], -2,
         ["Can't open \\\\.\\PhysicalDrive", "Error {not_found}"]),
    Case("mbr alone", ["mbr", "out.bin"], -2,
         ["Can't open \\\\.\\PhysicalDriv", "Error {not_found}"]),
    Case("too short for the disk form", ["mb"], -2, ["Can't open \\\\.\\mb", "Error {not_found}"]),
    Case("no such disk number", ["mbr9:", "out.bin"], -2,
         ["Can't open \\\\.\\PhysicalDrive9", "Error {not_found}"]),
    Case("quoted empty source", ["", "out.bin"], -2,
         {"wine": ["Can't open \\\\.\\", "Error {bad_name}"],
          "native": ["Read 0 bytes instead of 512", "Error {is_dir}"]},
         comment="the bare prefix is the device path: nothing on Windows, /dev/ on Linux"),
    Case("source is a directory", ["@folder", "out.bin"], -2,
         ["Read 0 bytes instead of 512", "Error {is_dir}"], only="native",
         comment="opening a directory works on Linux, reading it fails"),
    # Short reads leave no file.
    Case("empty source", ["@empty", "out.bin"], -2, ["Read 0 bytes instead of 512", "Error {none}"]),
    Case("100-byte source", ["@b100", "out.bin"], -2,
         ["Read 100 bytes instead of 512", "Error {none}"]),
    Case("511-byte source dump", ["@b511"], -2, ["Read 511 bytes instead of 512", "Error {none}"],
         comment="no sector bytes precede the message"),
    # The target is never overwritten.
    Case("existing target unchanged", ["@mbr", "keep.bin"], -2,
         ["Can't create output file keep.bin", "Error {exists}"], {"keep.bin": EXISTING},
         before={"keep.bin": EXISTING}),
    Case("existing empty target unchanged", ["@mbr", "keep.bin"], -2,
         ["Can't create output file keep.bin", "Error {exists}"], {"keep.bin": b""},
         before={"keep.bin": b""}),
    Case("target in missing folder", ["@mbr", "nowhere/out.bin"], -2,
         ["Can't create output file nowhere/out.bin", "Error {no_folder}"]),
    Case("target is a directory", ["@mbr", "sub"], -2,
         ["Can't create output file sub", "Error {dir_target}"], {"sub/": None},
         before={"sub/": None}),
    Case("existing latin-1 target named as typed", ["@mbr", "\u00e9.bin"], -2,
         ["Can't create output file \u00e9.bin", "Error {exists}"], {"\u00e9.bin": EXISTING},
         before={"\u00e9.bin": EXISTING}),
    Case("existing cyrillic target", ["@mbr", "\u0444.bin"], -2,
         ["Can't create output file \u0444.bin", "Error {exists}"], {"\u0444.bin": EXISTING},
         before={"\u0444.bin": EXISTING},
         comment="Windows' text output stops at the first character above 255"),
    # Standard output that can't take the sector.
    Case("stdout closed", ["@mbr"], -2, None, stdout="closed"),
    Case("stdout full", ["@mbr"], -2, None, stdout="full"),
    Case("stdout pipe closed by reader", ["@mbr"], -2, None, stdout="broken",
         comment="a gone reader is a failed write, not a killed process"),
    Case("stdout closed, store works", ["@mbr", "out.bin"], 0, None, {"out.bin": sector("mbr")},
         stdout="closed"),
]


def rendered(line, kind):
    """A message line as the platform's text output prints it.

    Names are the only non-ASCII text, and each stands at the end of its
    line, so the whole line can be rendered the way a wide name is.
    """
    if kind == "native":
        return line.encode("utf-8")  # the bytes as typed
    out = bytearray()
    for ch in line:
        if ord(ch) > 255:
            break  # msvcrt stops at the first character with no narrow form
        out.append(ord(ch))
    return bytes(out)


class Platform:
    def __init__(self, kind, program, wrap):
        self.kind = kind
        self.program = os.path.abspath(program)
        self.wrap = wrap
        self.index = 0 if kind == "wine" else 1
        self.newline = b"\r\n" if kind == "wine" else b"\n"
        self.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C.UTF-8"}
        if kind == "native":
            # For a sanitized build: memory is never freed by design, so a
            # leak is no finding; any other report lands on stderr, which a
            # case demands be empty.
            self.env["ASAN_OPTIONS"] = "detect_leaks=0"
            self.env["UBSAN_OPTIONS"] = "print_stacktrace=1:halt_on_error=1"
        if kind == "wine":
            # Wine's own services start with the first case and need a home.
            self.env["HOME"] = os.environ.get("HOME", "/root")
            self.env["WINEPREFIX"] = os.environ["WINEPREFIX"]
            self.env["WINEDEBUG"] = "-all"

    def command(self, args, wrap=None):
        if self.kind == "wine":
            return [fixtures.WINE, self.program] + args
        return (wrap or []) + self.wrap + [self.program] + args


def expected_stdout(case, platform, images):
    out = bytearray()
    items = case.out[platform.kind] if isinstance(case.out, dict) else case.out
    for item in items:
        if isinstance(item, tuple):
            with open(images[item[1]], "rb") as f:
                out += f.read(SECTOR)
            continue
        for name, codes in ERRORS.items():
            item = item.replace("{" + name + "}", str(codes[platform.index]))
        out += rendered(item, platform.kind) + platform.newline
    return bytes(out)


def resolve_args(case, sources):
    return [sources[arg[1:]] if arg.startswith("@") else arg for arg in case.args]


def prepare(folder, before):
    for name, content in before.items():
        path = os.path.join(folder, name)
        if name.endswith("/"):
            os.mkdir(path)
        elif isinstance(content, tuple) and content[0] == "symlink":
            os.symlink(content[1], path)
        else:
            with open(path, "wb") as f:
                f.write(content)


def listing(folder):
    """Every name in the folder, with a file's bytes, a link's destination, or None."""
    found = {}
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if os.path.islink(path):
            found[name] = ("symlink", os.readlink(path))
        elif os.path.isdir(path):
            found[name + "/"] = None
        else:
            with open(path, "rb") as f:
                found[name] = f.read()
    return found


def expected_files(case, images):
    want = {}
    for name, content in case.files.items():
        if isinstance(content, tuple) and content[0] == "sector":
            with open(images[content[1]], "rb") as f:
                content = f.read(SECTOR)
        want[name] = content
    return want


def run(platform, command, stdout_mode, cwd):
    """Runs the command; returns (status, stdout bytes or None)."""
    env = platform.env
    if stdout_mode == "pipe":
        done = subprocess.run(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        return done.returncode, done.stdout, done.stderr
    if stdout_mode == "closed":
        done = subprocess.run(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, timeout=60,
                              preexec_fn=lambda: os.close(1))
        return done.returncode, None, done.stderr
    if stdout_mode == "full":
        with open(DEV_FULL, "wb") as full:
            done = subprocess.run(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                  stdout=full, stderr=subprocess.PIPE, timeout=60)
        return done.returncode, None, done.stderr
    if stdout_mode == "broken":
        reader, writer = os.pipe()
        os.close(reader)
        try:
            # The child must not inherit Python's ignored SIGPIPE.
            done = subprocess.run(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                  stdout=writer, stderr=subprocess.PIPE, timeout=60,
                                  preexec_fn=lambda: signal.signal(signal.SIGPIPE,
                                                                   signal.SIG_DFL))
        finally:
            os.close(writer)
        return done.returncode, None, done.stderr
    raise ValueError(stdout_mode)


def status_byte(status):
    return status & 0xFF


def show(data):
    if data is None:
        return "None"
    if isinstance(data, bytes) and len(data) > 80:
        return "%d bytes: %r..." % (len(data), data[:64])
    return repr(data)


def check_case(case, platform, sources, images, root):
    folder = tempfile.mkdtemp(prefix="case-", dir=root)
    prepare(folder, case.before)
    command = platform.command(resolve_args(case, sources), case.wrap)
    status, out, err = run(platform, command, case.stdout, folder)
    problems = []
    if status != status_byte(case.status):
        problems.append("status: expected %d, got %d" % (status_byte(case.status), status))
    if case.out is not None:
        want = expected_stdout(case, platform, images)
        if out != want:
            problems.append("stdout:\n    expected %s\n    actual   %s" % (show(want), show(out)))
    want_files = expected_files(case, images)
    got_files = listing(folder)
    if got_files != want_files:
        problems.append("files:\n    expected %s\n    actual   %s" % (
            {k: show(v) for k, v in want_files.items()},
            {k: show(v) for k, v in got_files.items()}))
    if err and platform.kind == "native" and not platform.wrap:
        problems.append("stderr should be empty, got %s" % show(err))
    if not problems:
        shutil.rmtree(folder)
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("platform", choices=["native", "wine"])
    parser.add_argument("program")
    parser.add_argument("--wrap", nargs=argparse.REMAINDER, default=[],
                        help="a command to run the native program under, such as valgrind")
    options = parser.parse_args()

    root = tempfile.mkdtemp(prefix="sectpull-e2e-")
    platform = Platform(options.platform, options.program, options.wrap)
    passed = failed = skipped = 0
    with fixtures.Fixtures(root, options.platform, platform.program) as fx:
        for note in fx.notes:
            print("note: " + note)
        for case in CASES:
            if case.only and case.only != options.platform:
                continue
            missing = [a[1:] for a in case.args if a.startswith("@") and a[1:] not in fx.sources]
            if missing:
                print("skip %s: no fixture %s here" % (case.name, ", ".join(missing)))
                skipped += 1
                continue
            problems = check_case(case, platform, fx.sources, fx.images, root)
            if problems:
                failed += 1
                print("FAIL %s (%s)" % (case.name, case.comment or " ".join(case.args)))
                for problem in problems:
                    print("  " + problem)
            else:
                passed += 1
                print("ok   %s" % case.name)
    if failed == 0:
        shutil.rmtree(root, ignore_errors=True)
    print("%s: %d passed, %d failed, %d skipped" % (options.platform, passed, failed, skipped))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Measures sectpull against GNU dd doing the same job, and checks budgets.

    bench/run.py PROGRAM WIN32_EXE [--runs N]   measure, print a table, write bench/results.md
    bench/run.py PROGRAM WIN32_EXE --check      check only the deterministic budgets

The job is one sector from the same device: a loop device when run as
root, otherwise an image file. Store mode creates a new file and flushes
it to stable storage, as both tools do it (dd ... of=FILE conv=excl,fsync);
dump mode writes to standard output, which goes to /dev/null. Each run is a whole process started directly, with no
shell in between, and the two tools alternate run by run.
"""

import argparse
import datetime
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
import fixtures  # noqa: E402  (the tests' loop devices and /dev names)

BUDGET_SYSCALLS = {"store": 28, "dump": 26}
BUDGET_EXE_BYTES = 48 * 1024
# The C runtime's own start-up, which must stay: it parses the command line
# into the standard library's arguments and runs the static constructors.
CRT_START_UP_IMPORTS = ("__getmainargs", "_initterm")


def commands(tool, program, source, device, target):
    """The command line for one run of a tool, in store mode (target) or dump mode."""
    if tool == "sectpull":
        return [program, source] + ([target] if target else [])
    dd = ["dd", "if=" + device, "bs=512", "count=1", "status=none"]
    return dd + (["of=" + target, "conv=excl,fsync"] if target else [])


def timed_run(argv, stdout_fd):
    """Wall time of one whole process, from spawn to reaped, in seconds."""
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0] if os.path.isabs(argv[0]) else shutil.which(argv[0]), argv,
                         os.environ, file_actions=[(os.POSIX_SPAWN_DUP2, stdout_fd, 1)])
    _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError("%s failed" % " ".join(argv))
    return elapsed


def syscalls(argv, cwd):
    """System calls of one run, execve to exit, counted by strace -f -c."""
    log = os.path.join(cwd, "strace.txt")
    with open(os.devnull, "wb") as null:
        subprocess.run(["strace", "-f", "-c", "-o", log] + argv, stdout=null, check=True, cwd=cwd)
    with open(log) as f:
        for line in f:
            if line.rstrip().endswith("total"):
                # % time, seconds, usecs/call, calls[, errors], "total"
                return int(line.split()[3])
    raise RuntimeError("no total in strace output")


def peak_rss_kib(argv, cwd):
    with open(os.devnull, "wb") as null:
        done = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, stdout=null,
                              stderr=subprocess.PIPE, check=True, cwd=cwd, text=True)
    return int(done.stderr.strip().splitlines()[-1])


def exe_facts(exe):
    """Stripped size, imported DLLs, and whether the C runtime's start-up is kept."""
    with tempfile.TemporaryDirectory() as folder:
        stripped = os.path.join(folder, "sectpull.exe")
        subprocess.run(["i686-w64-mingw32-strip", "-o", stripped, exe], check=True)
        size = os.path.getsize(stripped)
    headers = subprocess.run(["objdump", "-p", exe], capture_output=True, text=True,
                             check=True).stdout
    dlls = sorted(re.findall(r"DLL Name: (\S+)", headers))
    crt_kept = all(re.search(r"\b%s\b" % name, headers) for name in CRT_START_UP_IMPORTS)
    return size, dlls, crt_kept


class Device:
    """A loop device over a fresh image when root, else the image itself."""

    def __init__(self, folder):
        self.image = os.path.join(folder, "disk.img")
        with open(self.image, "wb") as f:
            f.write(os.urandom(1 << 20))
        self.loop, _ = fixtures.attach_loop(self.image)
        self.path = self.loop or self.image
        # sectpull names /dev/NAME, the way the tests reach their fixtures.
        self.source = os.path.basename(self.loop) if self.loop else fixtures.through_dev(self.image)
        self.kind = "loop device" if self.loop else "image file"

    def close(self):
        if self.loop:
            fixtures.detach_loop(self.loop)


def measure_counts(program, device, folder):
    counts = {}
    for mode in ("store", "dump"):
        for tool in ("sectpull", "dd"):
            target = os.path.join(folder, "count-%s-%s.bin" % (tool, mode)) if mode == "store" else None
            counts[tool, mode] = syscalls(commands(tool, program, device.source, device.path,
                                                   target), folder)
    rss = {}
    for tool in ("sectpull", "dd"):
        target = os.path.join(folder, "rss-%s.bin" % tool)
        rss[tool] = peak_rss_kib(commands(tool, program, device.source, device.path, target),
                                 folder)
    return counts, rss


def check(program, exe):
    if not os.path.exists(exe):
        return fixtures.skip_or_fail("the exe's budget needs the win32 build (%s)" % exe)
    with tempfile.TemporaryDirectory(prefix="sectpull-bench-") as folder:
        device = Device(folder)
        try:
            counts, rss = measure_counts(program, device, folder)
        finally:
            device.close()
    size, _, crt_kept = exe_facts(exe)
    checks = [(counts["sectpull", mode] <= budget, "%s mode: %d system calls (budget %d; dd %d)" % (
        mode, counts["sectpull", mode], budget, counts["dd", mode]))
        for mode, budget in BUDGET_SYSCALLS.items()]
    checks += [
        (rss["sectpull"] <= rss["dd"],
         "peak resident memory: %d KiB (dd %d KiB)" % (rss["sectpull"], rss["dd"])),
        (size <= BUDGET_EXE_BYTES, "stripped win32 exe: %d bytes (budget %d)" % (
            size, BUDGET_EXE_BYTES)),
        (crt_kept, "C runtime start-up kept (imports %s)" % ", ".join(CRT_START_UP_IMPORTS)),
    ]
    for holds, line in checks:
        print(("ok   " if holds else "FAIL ") + line)
    failed = sum(1 for holds, _ in checks if not holds)
    print("budgets: %d passed, %d failed" % (len(checks) - failed, failed))
    return 1 if failed else 0


def cpu_model():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def bench(program, exe, runs, results):
    times = {(tool, mode): [] for tool in ("sectpull", "dd") for mode in ("store", "dump")}
    with tempfile.TemporaryDirectory(prefix="sectpull-bench-") as folder:
        device = Device(folder)
        null = os.open(os.devnull, os.O_WRONLY)
        try:
            counts, rss = measure_counts(program, device, folder)
            for mode in ("store", "dump"):
                for i in range(runs + 5):  # the first five warm the caches and are dropped
                    for tool in ("sectpull", "dd"):
                        target = os.path.join(folder, "t.bin") if mode == "store" else None
                        elapsed = timed_run(commands(tool, program, device.source, device.path,
                                                     target), null)
                        if target:
                            os.remove(target)
                        if i >= 5:
                            times[tool, mode].append(elapsed)
        finally:
            os.close(null)
            device.close()
    size, dlls, _ = exe_facts(exe)

    def ms(value):
        return "%.3f" % (value * 1000)

    lines = [
        "# sectpull against dd",
        "",
        "Measured %s on %s, %d cores (%s), Linux %s, on a %s; %d runs a cell, the tools "
        "alternating; whole processes started directly, no shell." % (
            datetime.date.today().isoformat(), cpu_model(), os.cpu_count(),
            platform.machine(), platform.release(), device.kind, runs),
        "",
        "| mode | tool | median ms | min ms | max ms | system calls | peak RSS KiB |",
        "|---|---|---|---|---|---|---|",
    ]
    for mode in ("store", "dump"):
        for tool in ("sectpull", "dd"):
            sample = times[tool, mode]
            lines.append("| %s | %s | %s | %s | %s | %d | %s |" % (
                mode, tool, ms(statistics.median(sample)), ms(min(sample)), ms(max(sample)),
                counts[tool, mode], rss[tool] if mode == "store" else "-"))
    lines.append("")
    for mode in ("store", "dump"):
        ratio = statistics.median(times["sectpull", mode]) / statistics.median(times["dd", mode])
        lines.append("- %s mode: sectpull/dd ratio of the medians **%.2f**" % (mode, ratio))
    lines.append("- stripped `build/win32/sectpull.exe`: %d bytes (%.1f KiB); imports %s" % (
        size, size / 1024, ", ".join(dlls)))
    lines.append("- peak RSS is measured in store mode (`/usr/bin/time -f %M`)")
    text = "\n".join(lines) + "\n"
    print(text)
    with open(results, "w") as f:
        f.write(text)
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("exe")
    parser.add_argument("--runs", type=int, default=60)
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--results", default=os.path.join(os.path.dirname(__file__), "results.md"))
    options = parser.parse_args()
    program = os.path.abspath(options.program)
    if options.check:
        return check(program, options.exe)
    return bench(program, options.exe, max(30, options.runs), options.results)


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""What an elevated run could be turned by, checked under Wine.

    elevated.py EXE     a Windows build folder's sectpull.exe; its
                        stack_guard_probe.exe and pipe_server.exe beside it

- What the process loads: in a usage run, a dump and a store, the sectpull
  process itself (Wine's +loaddll trace, by process id) loads no
  cryptographic provider or library, which a DLL planted beside the program
  could stand in for.
- The stack guard: the probe, built from the program's own guard file and
  flags, prints a guard that differs from run to run and is never zero, and
  its protected main returns normally, so the guard was seeded before main
  ran; a deliberate overflow ends it with 0xC0000409 (Linux sees 9) and
  nothing printed after the overflow.
- Named pipes: a pipe as the source stores exactly the bytes its server
  sends; a pipe as the target is refused with a message line and an error
  line, receives no byte, and leaves no file.
"""

import os
import re
import subprocess
import sys
import tempfile

import fixtures
import wine

CRYPTO = ("rsaenh", "bcrypt", "crypt32", "cryptsp", "cryptbase", "dssenh", "ncrypt")
GUARD_RUNS = 5
STACK_BUFFER_OVERRUN_LOW_BYTE = 0xC0000409 & 0xFF
LOADED = re.compile(r'^([0-9a-f]+):[0-9a-f]+:trace:loaddll:build_module Loaded L"([^"]+)"')


def pattern():
    """The 512 bytes pipe_server.exe sends."""
    return bytes((i * 7 + 3) & 0xFF for i in range(512))


def run(args, cwd, env, **kw):
    return subprocess.run([wine.WINE] + args, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=120, **kw)


def loaded_by_sectpull(trace):
    """The DLLs the process that loaded sectpull.exe loaded, by base name."""
    by_process = {}
    for line in trace.splitlines():
        match = LOADED.match(line)
        if match:
            by_process.setdefault(match.group(1), []).append(match.group(2))
    for modules in by_process.values():
        if any(m.lower().endswith("\\sectpull.exe") for m in modules):
            return [m.split("\\")[-1].lower() for m in modules]
    return None


def check_loads(exe, letter, work):
    problems = []
    env = wine.env(WINEDEBUG="-all,+pid,+loaddll")
    for mode, args in (("usage", []), ("dump", [letter]), ("store", [letter, "store.bin"])):
        done = run([exe] + args, work, env)
        modules = loaded_by_sectpull(done.stderr.decode("utf-8", "replace"))
        if modules is None:
            problems.append("%s run: no sectpull process in the +loaddll trace" % mode)
            continue
        crypto = [m for m in modules if m.rsplit(".", 1)[0] in CRYPTO]
        if crypto:
            problems.append("%s run loads %s" % (mode, ", ".join(crypto)))
        print("     %s run loads %s" % (mode, " ".join(sorted(set(modules)))))
    return problems


def check_guard(probe, work):
    problems = []
    env = wine.env()
    guards = []
    for _ in range(GUARD_RUNS):
        done = run([probe, "guard"], work, env, text=True)
        if done.returncode != 0:
            problems.append("the probe's guard run ended with %d, not 0 (a guard seeded after "
                            "main's prologue fails main's own check)" % done.returncode)
            continue
        guards.append(int(done.stdout.strip(), 16))
    print("     guards: " + " ".join("%x" % g for g in guards))
    if 0 in guards:
        problems.append("a guard of zero")
    if len(set(guards)) != len(guards):
        problems.append("the guard repeats across runs: %s" % guards)
    done = run([probe, "overflow"], work, env)
    if done.returncode != STACK_BUFFER_OVERRUN_LOW_BYTE:
        problems.append("overflow: status %d, expected %d (0xC0000409)" % (
            done.returncode, STACK_BUFFER_OVERRUN_LOW_BYTE))
    if done.stdout != b"before the overflow\r\n":
        problems.append("overflow: stdout %r, expected only the line before it" % done.stdout)
    return problems


def start_server(server, name, mode, work):
    process = subprocess.Popen([wine.WINE, server, name, mode], cwd=work,
                               env=wine.env(), stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    if process.stdout.readline().strip() != "ready":
        process.kill()
        raise RuntimeError("pipe_server.exe did not make its pipe")
    return process


def finish_server(process):
    """What the server said after its client, or None when no client came."""
    try:
        out, _ = process.communicate(timeout=10)
        return out.strip()
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        return None


def check_pipes(exe, server, letter, work):
    problems = []
    name = "sectpull-test-%d-source" % os.getpid()
    folder = tempfile.mkdtemp(dir=work)
    process = start_server(server, name, "send", folder)
    done = run([exe, "pipe\\" + name, "from-pipe.bin"], folder, wine.env())
    said = finish_server(process)
    if done.returncode != 0 or done.stdout:
        problems.append("pipe as source: status %d, stdout %r" % (done.returncode, done.stdout))
    if sorted(os.listdir(folder)) != ["from-pipe.bin"]:
        problems.append("pipe as source: the folder holds %s" % sorted(os.listdir(folder)))
    else:
        with open(os.path.join(folder, "from-pipe.bin"), "rb") as f:
            if f.read() != pattern():
                problems.append("pipe as source: the file is not the 512 bytes the server sent")
    if said != "sent 512":
        problems.append("pipe as source: the server said %r" % said)

    name = "sectpull-test-%d-target" % os.getpid()
    target = "\\\\.\\pipe\\" + name
    folder = tempfile.mkdtemp(dir=work)
    process = start_server(server, name, "accept", folder)
    done = run([exe, letter, target], folder, wine.env())
    said = finish_server(process)
    lines = done.stdout.split(b"\r\n")
    if done.returncode != 254 or len(lines) != 3 or lines[2] != b"" or \
            lines[0] != ("Can't create output file " + target).encode() or \
            not re.fullmatch(rb"Error [1-9][0-9]*", lines[1]):
        problems.append("pipe as target: status %d, stdout %r" % (done.returncode, done.stdout))
    if os.listdir(folder):
        problems.append("pipe as target: the folder holds %s" % sorted(os.listdir(folder)))
    if said not in (None, "received 0"):
        problems.append("pipe as target: the server said %r" % said)
    print("     pipe as target: %s; the server: %s" % (
        " / ".join(l.decode() for l in lines[:2]), said or "no client"))
    return problems


def main():
    exe = os.path.abspath(sys.argv[1])
    if wine.cannot_run(exe):
        return fixtures.skip_or_fail(wine.cannot_run(exe))
    folder = os.path.dirname(exe)
    probe = os.path.join(folder, "stack_guard_probe.exe")
    server = os.path.join(folder, "pipe_server.exe")
    for helper in (probe, server):
        if not os.path.exists(helper):
            print("FAIL %s is missing: build the preset with SECTPULL_TESTS=ON" % helper)
            return 1
    results = []
    with tempfile.TemporaryDirectory(prefix="sectpull-elevated-") as work:
        image = os.path.join(work, "disk.img")
        fixtures.random_image(image)
        devices = wine.start(exe)
        link = os.path.join(devices, "v::")
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(image, link)
        try:
            for name, check in (
                    ("no cryptographic library is loaded", lambda: check_loads(exe, "V:", work)),
                    ("the stack guard is seeded, random, and stops an overflow",
                     lambda: check_guard(probe, work)),
                    ("named pipes: a source is read, a target refused",
                     lambda: check_pipes(exe, server, "V:", work))):
                problems = check()
                print(("ok   " if not problems else "FAIL ") + name)
                for problem in problems:
                    print("  " + problem)
                results.append(not problems)
        finally:
            os.remove(link)
            wine.stop()
    passed = sum(results)
    print("elevated: %d passed, %d failed" % (passed, len(results) - passed))
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())

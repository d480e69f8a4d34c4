#!/usr/bin/env python3
"""Wine in the tests' private prefix ($WINEPREFIX, build/wineprefix under
make): which loader runs the Windows programs, the environment they run in,
and one lasting wineserver for a whole run.

As a command, for the shell (tools/demo):
    wine.py start PROGRAM   readies the prefix and the server; prints the loader
    wine.py stop            stops the server
"""

import os
import shutil
import struct
import subprocess
import sys

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


def env(**more):
    """The environment Windows programs run in: Wine quiet, and arguments
    converted with UTF-8, whatever the caller's locale."""
    settings = dict(os.environ, WINEDEBUG="-all", LC_ALL="C.UTF-8")
    settings.update(more)
    return settings


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


def start(program):
    """Readies the prefix in $WINEPREFIX; returns its dosdevices folder."""
    prefix = os.environ["WINEPREFIX"]
    devices = os.path.join(prefix, "dosdevices")
    syswow64 = os.path.join(prefix, "drive_c", "windows", "syswow64", "kernel32.dll")
    if WINE == WINE32_LOADER and os.path.isdir(devices) and not os.path.exists(syswow64):
        # Made by a 64-bit-only Wine: it cannot start the 32-bit program.
        shutil.rmtree(prefix)
    if not os.path.isdir(devices):
        try:
            subprocess.run([WINE, "wineboot", "-i"], env=env(), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=True, timeout=WINEBOOT_SECONDS)
        except subprocess.TimeoutExpired:
            subprocess.run([WINESERVER, "-k"], env=env(), check=False)
            raise RuntimeError("wineboot -i took over %d s" % WINEBOOT_SECONDS)
        # The server wineboot started lingers a few seconds and then exits,
        # and a case that starts while it shuts down fails to run at all.
        # Let it go, so the persistent one below is the only one.
        subprocess.run([WINESERVER, "-w"], env=env(), check=False)
    # One wineserver for the whole run: one started by a captured run
    # would hold the capture pipes open for seconds after each case.
    # It refuses to start when one is already running (status 2); in this
    # private prefix only this code starts one, always persistent, so that
    # one serves as well.
    started = subprocess.run([WINESERVER, "-p"], env=env(), check=False)
    if started.returncode not in (0, 2):
        raise RuntimeError("wineserver -p failed with status %d" % started.returncode)
    # The first program also starts Wine's services, which inherit its
    # output and hold it open: let them inherit nothing a case captures.
    subprocess.run([WINE, program], env=env(), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False)
    return devices


def stop():
    # Waiting for it to go keeps the next run from finding a server that
    # is still shutting down.
    subprocess.run([WINESERVER, "-k"], env=env(), check=False)
    subprocess.run([WINESERVER, "-w"], env=env(), check=False)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "start":
        start(os.path.abspath(sys.argv[2]))
        print(WINE)
        return 0
    if len(sys.argv) == 2 and sys.argv[1] == "stop":
        stop()
        return 0
    print("usage: wine.py start PROGRAM | wine.py stop", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""The Windows installer end to end under wine64: builds the installer of a 64-bit Windows build,
installs it silently (/S) into a wine prefix of the test's own, starts the installed program on
a virtual reader under an Xvfb of its own until it reaches its main window, then uninstalls
silently and checks that the files, the Start menu entry and the uninstall key are gone.

Usage: package_windows.py SOURCE_DIR WIN64_BUILD_DIR [WIN32_BUILD_DIR]
With the shipping 32-bit build given too, its installer and zip are built and checked as well
(the host may not run 32-bit programs, so that installer is not run).
Prints SKIPPED and exits 77 where it cannot run (no 64-bit Windows build, no wine64).
"""

import os
import subprocess
import sys
import time

import e2e

WINE = "/usr/lib/wine/wine64"
PRODUCT = "Quorna Fobit Reader"
UNINSTALL_KEY = "QuornaFobitReader"


def check(condition, what):
    if not condition:
        raise e2e.Failure(what)


class WineSession(e2e.Session):
    """An Xvfb and a wine prefix of this test's own."""

    def __init__(self):
        super().__init__(WINE)
        self.wine = e2e.Wine("64", os.path.join(self.dir, "prefix"))
        drive_c = os.path.join(self.wine.prefix, "drive_c")
        self.program_files = os.path.join(drive_c, "Program Files", PRODUCT)
        self.shortcut = os.path.join(drive_c, "ProgramData", "Microsoft", "Windows", "Start Menu",
                                     "Programs", PRODUCT + ".lnk")

    def env(self):
        env = super().env()
        env.pop("ONEWIRE_CONF")  # the installed settings beside the program are the ones used
        return env

    def run_wine(self, *args):
        result = subprocess.run([WINE] + list(args), env=self.env(), capture_output=True,
                                timeout=120)
        check(result.returncode == 0, "wine %s: %s" % (args, result.stderr.decode()[-2000:]))

    def wait_until(self, condition, what):
        deadline = time.monotonic() + e2e.PATIENCE
        while not condition():
            if time.monotonic() > deadline:
                raise e2e.Failure(what)
            time.sleep(0.25)


def run(session, setup):
    session.start_xvfb()
    session.wine.prepare()
    session.run_wine(setup, "/S")
    for name in ("quorna-fobit-reader.exe", "onewire.dll", "onewire.conf", "uninstall.exe"):
        check(os.path.isfile(os.path.join(session.program_files, name)), name + " not installed")
    check(os.path.isfile(session.shortcut), "no Start menu entry")

    # The operator's edit: the installed settings name a virtual reader holding one token.
    session.set_tokens([e2e.TOKEN_A])
    with open(os.path.join(session.program_files, "onewire.conf"), "a") as conf:
        conf.write("default = usb 1\n%s\n" % session.virtual_reader(session.reader))
    program = session.start_program(
        program="C:\\Program Files\\%s\\quorna-fobit-reader.exe" % PRODUCT)
    session.wait_for_main_window(program)
    session.wine.stop(session.env())

    session.run_wine("C:\\Program Files\\%s\\uninstall.exe" % PRODUCT, "/S")
    # The uninstaller runs from a copy of itself in the temporary folder and returns at once.
    session.wait_until(lambda: not os.path.exists(session.program_files),
                       "the uninstaller left " + session.program_files)
    check(not os.path.exists(session.shortcut), "the uninstaller left the Start menu entry")
    session.wine.stop(session.env())  # writes the registry files
    with open(os.path.join(session.wine.prefix, "system.reg"), encoding="utf-8",
              errors="replace") as registry:
        check(UNINSTALL_KEY not in registry.read(), "the uninstaller left its registry key")


def main():
    if len(sys.argv) not in (3, 4):
        print(__doc__, file=sys.stderr)
        return 2
    source, build = sys.argv[1:3]
    if not all(os.path.isfile(os.path.join(build, f))
               for f in ("quorna-fobit-reader.exe", "onewire.dll")):
        e2e.skip("no 64-bit Windows build in " + build)
    if not os.access(WINE, os.X_OK):
        e2e.skip("no " + WINE)

    def package(folder, arch):
        made = subprocess.run(["bash", os.path.join(source, "scripts", "package-windows.sh"),
                               folder], capture_output=True, text=True)
        if made.returncode != 0:
            print("FAILED: package-windows.sh: " + made.stdout + made.stderr, file=sys.stderr)
            sys.exit(1)
        setup, archive = made.stdout.split()
        with open(setup, "rb") as f:
            version_info = f.read().decode("utf-16-le", errors="replace")
        listing = subprocess.run(["unzip", "-Z1", archive], capture_output=True, text=True).stdout
        if ("1.3.0.17" not in version_info or archive[-9:] != arch + ".zip"
                or sorted(os.path.basename(f) for f in listing.splitlines() if not f.endswith("/"))
                != ["onewire.conf", "onewire.dll", "quorna-fobit-reader.exe"]):
            print("FAILED: %s, %s: %s" % (setup, archive, listing), file=sys.stderr)
            sys.exit(1)
        return setup

    if len(sys.argv) == 4 and os.path.isfile(os.path.join(sys.argv[3], "quorna-fobit-reader.exe")):
        package(sys.argv[3], "win32")
    setup = package(build, "win64")

    return e2e.run_case(WineSession(), lambda session: run(session, setup))


if __name__ == "__main__":
    sys.exit(main())

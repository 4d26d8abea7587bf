#!/usr/bin/env python3
"""The Windows installer end to end under wine64: builds the installer of a 64-bit Windows build,
installs it silently (/S) into a wine prefix of the test's own, starts the installed program on
a virtual reader under an Xvfb of its own until it reaches its main window, then uninstalls
silently and checks that the files, the Start menu entry and the uninstall key are gone.

Usage: package_windows.py SOURCE_DIR WIN64_BUILD_DIR [WIN32_BUILD_DIR]
With the shipping 32-bit build given too, its installer and zip are made and checked as well,
and the installer is run the same way in the same prefix where the host runs 32-bit programs.
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
    """An Xvfb and a wine prefix of this test's own; 32-bit programs run in it too (WoW64)."""

    def __init__(self):
        super().__init__(WINE)
        self.prefix = os.path.join(self.dir, "prefix")
        self.wine = e2e.Wine("64", self.prefix)
        drive_c = os.path.join(self.prefix, "drive_c")
        self.shortcut = os.path.join(drive_c, "ProgramData", "Microsoft", "Windows", "Start Menu",
                                     "Programs", PRODUCT + ".lnk")

    def env(self):
        env = super().env()
        env.pop("ONEWIRE_CONF")  # the installed settings beside the program are the ones used
        return env

    def run_wine(self, *args):
        """Runs a Windows program of the current width; False where the host cannot run it."""
        result = subprocess.run(self.wine.command(*args), env=self.env(), capture_output=True,
                                timeout=120)
        if result.returncode == e2e.SKIP_STATUS:
            return False
        check(result.returncode == 0, "wine %s: %s" % (args, result.stderr.decode()[-2000:]))
        return True

    def wait_until(self, condition, what):
        deadline = time.monotonic() + e2e.PATIENCE
        while not condition():
            if time.monotonic() > deadline:
                raise e2e.Failure(what)
            time.sleep(0.25)


def install_run_uninstall(session, bits, setup):
    """Installs silently, starts the installed program on a virtual reader until its main window
    shows, and uninstalls silently; False where the host cannot run programs of that width."""
    session.wine = e2e.Wine(bits, session.prefix)
    folder = "Program Files" if bits == "64" else "Program Files (x86)"
    installed = os.path.join(session.prefix, "drive_c", folder, PRODUCT)
    windows_folder = "C:\\%s\\%s\\" % (folder, PRODUCT)
    if not session.run_wine(setup, "/S"):
        return False
    for name in ("quorna-fobit-reader.exe", "onewire.dll", "onewire.conf", "uninstall.exe"):
        check(os.path.isfile(os.path.join(installed, name)), name + " not installed")
    check(os.path.isfile(session.shortcut), "no Start menu entry")

    # The operator's edit: the installed settings name a virtual reader holding one token.
    session.set_tokens([e2e.TOKEN_A])
    with open(os.path.join(installed, "onewire.conf"), "a") as conf:
        conf.write("default = usb 1\n%s\n" % session.virtual_reader(session.reader))
    program = session.start_program(program=windows_folder + "quorna-fobit-reader.exe")
    session.wait_for_main_window(program)
    session.wine.stop(session.env())

    session.run_wine(windows_folder + "uninstall.exe", "/S")
    # The uninstaller runs from a copy of itself in the temporary folder and returns at once.
    session.wait_until(lambda: not os.path.exists(installed), "the uninstaller left " + installed)
    check(not os.path.exists(session.shortcut), "the uninstaller left the Start menu entry")
    session.wine.stop(session.env())  # writes the registry files
    for registry in ("system.reg", "user.reg"):
        with open(os.path.join(session.prefix, registry), encoding="utf-8",
                  errors="replace") as f:
            check(UNINSTALL_KEY not in f.read(), "the uninstaller left its registry key")
    return True


def run(session, setups):
    session.start_xvfb()
    session.wine.prepare()
    for bits, setup in setups:
        if not install_run_uninstall(session, bits, setup):
            print("%s-bit installer not run: this host does not run %s-bit programs"
                  % (bits, bits))


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

    setups = [("64", package(build, "win64"))]
    if len(sys.argv) == 4 and os.path.isfile(os.path.join(sys.argv[3], "quorna-fobit-reader.exe")):
        setups.append(("32", package(sys.argv[3], "win32")))

    return e2e.run_case(WineSession(), lambda session: run(session, setups))


if __name__ == "__main__":
    sys.exit(main())

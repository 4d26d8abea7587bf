#!/usr/bin/env python3
"""The Windows installer end to end under wine64: builds the installer of a 64-bit Windows build,
installs it silently (/S) into a wine prefix of the test's own, starts the installed program on
a virtual reader under an Xvfb of its own until it reaches its main window, then uninstalls
silently and checks that the files, the Start menu entry and the uninstall key are gone.

Usage: package_windows.py SOURCE_DIR WIN64_BUILD_DIR
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
        self.prefix = os.path.join(self.dir, "prefix")
        self.program_files = os.path.join(self.prefix, "drive_c", "Program Files", PRODUCT)
        self.shortcut = os.path.join(self.prefix, "drive_c", "ProgramData", "Microsoft", "Windows",
                                     "Start Menu", "Programs", PRODUCT + ".lnk")

    def env(self):
        env = super().env()
        env.pop("ONEWIRE_CONF")  # the installed settings beside the program are the ones used
        env.update(WINEPREFIX=self.prefix, WINEDLLOVERRIDES="mscoree,mshtml=", WINEDEBUG="-all",
                   WINEARCH="win64")
        return env

    def wine(self, *args, timeout=120):
        result = subprocess.run([WINE] + list(args), env=self.env(), capture_output=True,
                                timeout=timeout)
        check(result.returncode == 0, "wine %s: %s" % (args, result.stderr.decode()[-2000:]))

    def stop_wine(self):
        subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=self.env(), capture_output=True)
        subprocess.run(["/usr/lib/wine/wineserver", "-w"], env=self.env(), capture_output=True)

    def close(self):
        if os.path.isdir(self.prefix):
            self.stop_wine()
        super().close()

    def wait_until(self, condition, what):
        deadline = time.monotonic() + e2e.PATIENCE
        while not condition():
            if time.monotonic() > deadline:
                raise e2e.Failure(what)
            time.sleep(0.25)


def run(session, setup):
    session.start_xvfb()
    session.wine("wineboot", "-i", timeout=300)
    session.wine(setup, "/S")
    for name in ("quorna-fobit-reader.exe", "onewire.dll", "onewire.conf", "uninstall.exe"):
        check(os.path.isfile(os.path.join(session.program_files, name)), name + " not installed")
    check(os.path.isfile(session.shortcut), "no Start menu entry")

    # The operator's edit: the installed settings name a virtual reader holding one token.
    session.set_tokens([e2e.TOKEN_A])
    with open(os.path.join(session.program_files, "onewire.conf"), "a") as conf:
        conf.write("default = usb 1\nusb 1 = virtual Z:%s\n" % session.reader.replace("/", "\\"))
    log = open(os.path.join(session.dir, "program.log"), "wb")
    program = session.spawn([WINE, "C:\\Program Files\\%s\\quorna-fobit-reader.exe" % PRODUCT],
                            env=session.env(), stdout=log, stderr=subprocess.STDOUT)
    session.wait_for_main_window(program)
    session.stop_wine()

    session.wine("C:\\Program Files\\%s\\uninstall.exe" % PRODUCT, "/S")
    # The uninstaller runs from a copy of itself in the temporary folder and returns at once.
    session.wait_until(lambda: not os.path.exists(session.program_files),
                       "the uninstaller left " + session.program_files)
    check(not os.path.exists(session.shortcut), "the uninstaller left the Start menu entry")
    session.stop_wine()  # writes the registry files
    with open(os.path.join(session.prefix, "system.reg"), encoding="utf-8",
              errors="replace") as registry:
        check(UNINSTALL_KEY not in registry.read(), "the uninstaller left its registry key")


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    source, build = sys.argv[1:]
    if not all(os.path.isfile(os.path.join(build, f))
               for f in ("quorna-fobit-reader.exe", "onewire.dll")):
        e2e.skip("no 64-bit Windows build in " + build)
    if not os.access(WINE, os.X_OK):
        e2e.skip("no " + WINE)

    made = subprocess.run(["bash", os.path.join(source, "scripts", "package-windows.sh"), build],
                          capture_output=True, text=True)
    if made.returncode != 0:
        print("FAILED: package-windows.sh: " + made.stdout + made.stderr, file=sys.stderr)
        return 1
    setup = made.stdout.split()[0]

    return e2e.run_case(WineSession(), lambda session: run(session, setup))


if __name__ == "__main__":
    sys.exit(main())

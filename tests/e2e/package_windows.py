#!/usr/bin/env python3
"""The Windows installer end to end under wine64: builds the installer of a 64-bit Windows build,
installs it silently (/S) into a wine prefix of the test's own, checks the program, the reader
check and their Start menu entries and the machine's settings in %ProgramData% (a settings file
planted there before, with a second name elsewhere, is moved aside for the example), runs the
installed reader check on the operator's edited settings and on a user's own %APPDATA% ones
(found, not found, a bad line, owserver not answering) against the Linux reader check on the same
settings, starts the installed program on a virtual reader under an Xvfb of its own until it
reaches its main window, then uninstalls silently and checks that the files, the Start menu
entries and the uninstall key are gone and the edited settings are not. A second install (the
32-bit one, or the 64-bit one again) must find those settings untouched.

Usage: package_windows.py SOURCE_DIR LINUX_READER_CHECK WIN64_BUILD_DIR [WIN32_BUILD_DIR]
With the shipping 32-bit build given too, its installer and zip are made and checked as well,
and the installer is run the same way in the same prefix where the host runs 32-bit programs.
Prints SKIPPED and exits 77 where it cannot run (no 64-bit Windows build, no wine64).
"""

import glob

import os
import subprocess
import sys
import time

import e2e

WINE = "/usr/lib/wine/wine64"
HERE = os.path.dirname(os.path.abspath(__file__))
PRODUCT = "Quorna Fobit Reader"
UNINSTALL_KEY = "QuornaFobitReader"
CHECK = "quorna-reader-check.exe"
SHIPPED = ["onewire.conf", "onewire.dll", "quorna-fobit-reader.exe", CHECK, "README.md"]
GUIDE = ["development.md", "main-window.png", "performance.md", "readers.md", "troubleshooting.md",
         "windows.md"]  # under docs/


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
        programs = os.path.join(drive_c, "ProgramData", "Microsoft", "Windows", "Start Menu",
                                "Programs")
        self.shortcut = os.path.join(programs, PRODUCT + ".lnk")
        self.check_shortcut = os.path.join(programs, PRODUCT + " reader check.lnk")
        self.machine_settings = os.path.join(drive_c, "ProgramData", "onewire", "onewire.conf")
        self.edited_settings = None  # the operator's edit, once made
        self.planted = None  # a settings file someone planted before the first install
        self.planted_elsewhere = os.path.join(self.dir, "planted.conf")

    def plant_settings(self):
        """Settings made before the installer ran, with a second name outside the folder from
        which whoever made them could change them: they would map a port for every user."""
        self.planted = b"default = usb 1\r\nusb 1 = serial \\\\.\\pipe\\planted\r\n"
        with open(self.planted_elsewhere, "wb") as f:
            f.write(self.planted)
        os.makedirs(os.path.dirname(self.machine_settings), exist_ok=True)
        os.link(self.planted_elsewhere, self.machine_settings)

    def env(self):
        env = super().env()
        env.pop("ONEWIRE_CONF")  # the installed settings are the ones used
        return env

    def user_settings(self):
        """%APPDATA%\\onewire\\onewire.conf of wine's user (made by wineboot)."""
        roaming = [d for d in glob.glob(os.path.join(self.prefix, "drive_c", "users", "*",
                                                     "AppData", "Roaming"))
                   if os.sep + "Public" + os.sep not in d]
        check(len(roaming) == 1, "wine's user folders: %s" % roaming)
        return os.path.join(roaming[0], "onewire", "onewire.conf")

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


def read(path):
    with open(path, "rb") as f:
        return f.read()


def shortcut_strings(path):
    """The texts a .lnk file holds: UTF-16 at either byte alignment, and ANSI."""
    data = read(path)
    return "".join(data[start:].decode("utf-16-le", errors="replace") for start in (0, 1)) + \
        data.decode("latin-1")


class ReaderChecks:
    """The installed reader check under wine beside the Linux one on the same settings: the same
    exit status and report, with the files' names, the library's name and line ends aside."""

    def __init__(self, session, linux_check, windows_check):
        self.s, self.linux_check, self.windows_check = session, linux_check, windows_check
        self.linux_settings = os.path.join(session.dir, "linux.conf")

    def normal(self, text, names):
        text = text.replace("\r\n", "\n")
        for name, placeholder in names:
            text = text.replace(name, placeholder)
        # The library's version and file differ by platform; the rest of the report may not.
        return "\n".join("1-Wire library: RUNTIME" if line.startswith("1-Wire library: ")
                         else "1-Wire library file: FILE" if line.startswith("1-Wire library file: ")
                         else line for line in text.splitlines())

    def compare(self, what, settings_file, lines, status, stderr_has=()):
        """Writes lines (with READER for the reader file) as the Windows settings_file and as the
        Linux one, runs both checks and compares; stderr_has: texts both must report."""
        windows_lines = [line.replace("READER", self.s.path(self.s.reader)) for line in lines]
        os.makedirs(os.path.dirname(settings_file), exist_ok=True)
        self.s._write(settings_file, windows_lines)
        self.s._write(self.linux_settings, [line.replace("READER", self.s.reader)
                                            for line in lines])
        windows = subprocess.run(self.s.wine.command(self.windows_check), env=self.s.env(),
                                 capture_output=True, text=True, errors="replace", timeout=120)
        linux = subprocess.run([self.linux_check], env=dict(os.environ,
                                                            ONEWIRE_CONF=self.linux_settings),
                               capture_output=True, text=True, errors="replace", timeout=60)
        windows_name = "C:" + settings_file.split("drive_c", 1)[1].replace("/", "\\")
        ours = [(windows_name, "SETTINGS"), (self.s.path(self.s.reader), "READER")]
        theirs = [(self.linux_settings, "SETTINGS"), (self.s.reader, "READER")]
        report = (windows.returncode, self.normal(windows.stdout, ours))
        check(report == (linux.returncode, self.normal(linux.stdout, theirs)),
              "%s: the reader check under wine exits %d with\n%s\nstandard error:\n%s\n"
              "on Linux %d with\n%s" % (what, windows.returncode, windows.stdout,
                                        windows.stderr, linux.returncode, linux.stdout))
        check(report[0] == status and "Settings file: SETTINGS" in report[1],
              "%s: exit %d, not %d:\n%s" % (what, report[0], status, windows.stdout))
        for text in stderr_has:
            for name, result, names in (("wine", windows, ours), ("Linux", linux, theirs)):
                check(text in self.normal(result.stderr, names),
                      "%s: %r not reported under %s:\n%s" % (what, text, name, result.stderr))

    def run_all(self, operator_lines):
        """The operator's machine-wide settings, then a user's own ones, which win over them."""
        s = self.s
        s.set_tokens([e2e.TOKEN_A])
        self.compare("found", s.machine_settings, operator_lines, 0)
        s.set_tokens([])
        os.remove(s.reader)  # a missing reader file: the adapter is not there
        self.compare("not found", s.machine_settings, operator_lines, 2)
        s.set_tokens([e2e.TOKEN_A])
        user = s.user_settings()
        self.compare("a bad line in the user's settings", user,
                     ["default = usb 1", "usb 1 = virtual READER", "usb 2 = telnet 3"], 0,
                     ["SETTINGS:3: cannot understand"])
        endpoint = "127.0.0.1:%d" % e2e.free_tcp_port()  # nothing listens there
        self.compare("owserver not answering", user,
                     ["default = usb 1", "usb 1 = owserver " + endpoint], 2,
                     ["owserver " + endpoint])
        os.remove(user)


def install_run_uninstall(session, bits, setup, reader_check):
    """Installs silently, checks what was installed and the reader check's reports, starts the
    installed program on a virtual reader until its main window shows, and uninstalls silently;
    False where the host cannot run programs of that width."""
    session.wine = e2e.Wine(bits, session.prefix)
    folder = "Program Files" if bits == "64" else "Program Files (x86)"
    installed = os.path.join(session.prefix, "drive_c", folder, PRODUCT)
    windows_folder = "C:\\%s\\%s\\" % (folder, PRODUCT)
    if not session.run_wine(setup, "/S"):
        return False
    for name in ["quorna-fobit-reader.exe", "onewire.dll", CHECK, "uninstall.exe", "README.md"] + [
            os.path.join("docs", name) for name in GUIDE]:
        check(os.path.isfile(os.path.join(installed, name)), name + " not installed")
    check(not os.path.exists(os.path.join(installed, "onewire.conf")),
          "settings installed beside the program, where the machine's settings would hide them")
    check(os.path.isfile(session.shortcut), "no Start menu entry")
    check(os.path.isfile(session.check_shortcut), "no Start menu entry for the reader check")
    texts = shortcut_strings(session.check_shortcut)
    check("cmd.exe" in texts and "/k" in texts and windows_folder + CHECK in texts,
          "the reader check's Start menu entry does not run it in a console that stays open")

    check(not os.path.exists(os.path.join(installed, "quorna-settings-folder.exe")),
          "the installer's settings helper was installed")
    # The machine's settings: the example where there were none or only a planted file, else the
    # operator's untouched.
    check(os.path.isfile(session.machine_settings), "no settings in %ProgramData%")
    if session.planted is not None:
        aside = session.machine_settings + ".replaced"
        check(os.path.isfile(aside) and read(aside) == session.planted
              and read(session.planted_elsewhere) == session.planted,
              "the planted settings were not moved aside unchanged")
        check(os.stat(session.machine_settings).st_nlink == 1,
              "the installed settings still have a second name elsewhere")
        session.planted = None
    if session.edited_settings is None:
        check(read(session.machine_settings) == read(os.path.join(HERE, "..", "..", "packaging",
                                                                  "windows", "onewire.conf")),
              "the settings in %ProgramData% are not the example")
    else:
        check(read(session.machine_settings) == session.edited_settings,
              "the reinstall changed the operator's settings in %ProgramData%")

    # The operator's edit: the machine's settings name a virtual reader holding one token.
    operator_lines = ["default = usb 1", "usb 1 = virtual READER"]
    reader_check.run_all(operator_lines)
    session.edited_settings = read(session.machine_settings)
    session.set_tokens([e2e.TOKEN_A])
    program = session.start_program(program=windows_folder + "quorna-fobit-reader.exe")
    session.wait_for_main_window(program)
    session.wine.stop(session.env())

    session.run_wine(windows_folder + "uninstall.exe", "/S")
    # The uninstaller runs from a copy of itself in the temporary folder and returns at once.
    session.wait_until(lambda: not os.path.exists(installed), "the uninstaller left " + installed)
    check(not os.path.exists(session.shortcut), "the uninstaller left the Start menu entry")
    check(not os.path.exists(session.check_shortcut),
          "the uninstaller left the reader check's Start menu entry")
    check(os.path.isfile(session.machine_settings)
          and read(session.machine_settings) == session.edited_settings,
          "the uninstaller did not leave the operator's settings in %ProgramData%")
    session.wine.stop(session.env())  # writes the registry files
    for registry in ("system.reg", "user.reg"):
        with open(os.path.join(session.prefix, registry), encoding="utf-8",
                  errors="replace") as f:
            check(UNINSTALL_KEY not in f.read(), "the uninstaller left its registry key")
    return True


def run(session, setups, linux_check):
    session.start_xvfb()
    session.wine.prepare()
    session.plant_settings()
    installs = 0
    for bits, setup in setups:
        windows_check = "C:\\%s\\%s\\%s" % (
            "Program Files" if bits == "64" else "Program Files (x86)", PRODUCT, CHECK)
        if install_run_uninstall(session, bits, setup,
                                 ReaderChecks(session, linux_check, windows_check)):
            installs += 1
        else:
            print("%s-bit installer not run: this host does not run %s-bit programs"
                  % (bits, bits))
    if installs == 1:  # the settings must survive a reinstall too
        bits, setup = setups[0]
        install_run_uninstall(session, bits, setup, ReaderChecks(
            session, linux_check, "C:\\Program Files\\%s\\%s" % (PRODUCT, CHECK)))


def main():
    if len(sys.argv) not in (4, 5):
        print(__doc__, file=sys.stderr)
        return 2
    source, linux_check, build = sys.argv[1:4]
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
        # The reader check is a console program: run from a console, its report shows there.
        headers = subprocess.run(["objdump", "-p", os.path.join(folder, CHECK)],
                                 capture_output=True, text=True).stdout
        if "(Windows CUI)" not in headers:
            print("FAILED: %s is not a console program" % CHECK, file=sys.stderr)
            sys.exit(1)
        with open(setup, "rb") as f:
            version_info = f.read().decode("utf-16-le", errors="replace")
        listing = subprocess.run(["unzip", "-Z1", archive], capture_output=True, text=True).stdout
        if ("1.3.0.17" not in version_info or archive[-9:] != arch + ".zip"
                or sorted(os.path.relpath(f, PRODUCT) for f in listing.splitlines()
                          if not f.endswith("/"))
                != sorted(SHIPPED + ["docs/" + name for name in GUIDE])):
            print("FAILED: %s, %s: %s" % (setup, archive, listing), file=sys.stderr)
            sys.exit(1)
        return setup

    setups = [("64", package(build, "win64"))]
    if len(sys.argv) == 5 and os.path.isfile(os.path.join(sys.argv[4], "quorna-fobit-reader.exe")):
        setups.append(("32", package(sys.argv[4], "win32")))

    return e2e.run_case(WineSession(), lambda session: run(session, setups,
                                                           os.path.abspath(linux_check)))


if __name__ == "__main__":
    sys.exit(main())

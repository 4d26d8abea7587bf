#!/usr/bin/env python3
"""End-to-end tests of quorna-fobit-reader: the real program under its own Xvfb, a virtual
reader (or a real owserver) of its own, driven with xdotool and read back through the X
clipboard with xclip.

Usage: e2e.py [--wine BITS PREFIX] PROGRAM CASE...
  CASE: read_once, scanning, lifted, auto_copy_off, keyboard, keyboard_error, second_instance,
  owserver, serial, not_found, first_run, planted_lock (Linux, as root), and with --wine also
  ibfs32_first, untrustworthy_library, started_like_explorer, squatted_instance (the squatter
  is $QUORNA_SQUATTER_PROGRAM, test_win32.exe) and program_passes (PROGRAM is a test program
  that must end with status 0).
  serial runs the emulated DS2480B adapter named by $QUORNA_DS2480B_EMULATOR (a Linux program of
  the Linux build) on a pseudo-terminal; under wine a COM port of the prefix is mapped to it.
  --wine runs the Windows program (quorna-fobit-reader.exe, onewire.dll beside it) of that width
  (32 or 64) under wine in the wine prefix PREFIX, made by the first run and shared by later ones.
  Wine hands the Windows clipboard to X's CLIPBOARD selection.
Each case gets an Xvfb and a folder of its own. Every process a case starts is stopped when it
ends, however it ends.
"""

import ctypes
import os
import random
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import commands  # every command a case starts is looked up first; a missing one is named

TITLE_MAIN = "Quorna Fobit Reader"
TITLE_SPLASH = "Quorna key reader"

# Centres of the main window's controls in client pixels (layout twips / 15).
CMD_SCAN_ONCE = (328 + 81 // 2, 48 + 56 // 2)
CMD_SCANNING = (200 + 81 // 2, 48 + 56 // 2)
CMD_EXIT = (352 + 66 // 2, 376 + 24 // 2)
CHK_AUTO_COPY_BOX = (200 + 7, 112 + 17 // 2)  # the tick box at the check box's left end
LST_ROMIDS = (192, 8, 225, 36)  # the ROM ID list: left, top, width, height
SPLASH_CMD_EXIT = (405 + 57 // 2, 150 + 33 // 2)  # the start-up window's Exit button (ui/Layout.cpp)

PATIENCE = 30.0  # seconds for anything that must happen; nothing here measures speed


def crc8(data):
    """The Dallas/Maxim 1-Wire CRC (x^8 + x^5 + x^4 + 1, reflected)."""
    crc = 0
    for byte in data:
        for _ in range(8):
            mix = (crc ^ byte) & 1
            crc >>= 1
            if mix:
                crc ^= 0x8C
            byte >>= 1
    return crc


def rom_id(family, serial):
    """The 16-digit ROM ID text of a token: family first, 48-bit serial low byte first, CRC."""
    data = bytes([family]) + serial.to_bytes(6, "little")
    return (data + bytes([crc8(data)])).hex().upper()


TOKEN_A = rom_id(0x01, 0xFE010000)
TOKEN_B = rom_id(0x01, 0x0000A1B2C3D4)
TOKEN_C = rom_id(0x01, 0x123456)
assert rom_id(0x01, 0x0000FE010000) == "01000001FE0000CB"


class Failure(Exception):
    pass


SKIP_STATUS = 77  # what CTest reports as SKIPPED


def skip(reason):
    """Ends a test that cannot run on this host: CTest reports it SKIPPED, with the reason."""
    print("SKIPPED: " + reason)
    sys.exit(SKIP_STATUS)


def _die_with_parent():
    # Children get SIGTERM when this script dies, even when it is killed outright.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


WINE_RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                        "wine-run.sh")
WINESERVER = "/usr/lib/wine/wineserver"


class Wine:
    """Windows programs under wine through scripts/wine-run.sh in a prefix of the test's own: the
    script makes it once (about 17 s) for every later case and run, and says SKIPPED where the
    host cannot run programs of that width."""

    def __init__(self, bits, prefix):
        self.bits = bits
        self.prefix = os.path.abspath(prefix)

    def command(self, program, *args):
        return ["bash", WINE_RUN, self.bits, self.prefix, program] + list(args)

    def env(self):
        # No Mono or Gecko prompts; no debug chatter (a second instance must end silently).
        return {"WINEPREFIX": self.prefix, "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}

    def prepare(self):
        """Makes the prefix before any case counts time; ends the test as skipped where wine
        cannot run."""
        env = dict(os.environ, **self.env())
        result = subprocess.run(self.command("wineboot"), env=env, capture_output=True, text=True,
                                timeout=300)
        if result.returncode == SKIP_STATUS:
            skip(result.stdout.strip().replace("SKIPPED: ", "", 1))
        self.stop(env)
        if result.returncode != 0:
            raise Failure("wine did not start: " + result.stdout + result.stderr)

    def stop(self, env):
        """Ends everything wine runs in the prefix (its desktop process holds the display)."""
        subprocess.run([WINESERVER, "-k"], env=env, stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-w"], env=env, stderr=subprocess.DEVNULL, timeout=60)

    @staticmethod
    def path(path):
        """A Linux path as a Windows program sees it: wine maps / to drive Z:."""
        return "Z:" + os.path.abspath(path).replace("/", "\\")


class Session:
    """One Xvfb, a private temp folder with settings and reader files, and the programs."""

    def __init__(self, program, wine=None):
        self.program = os.path.abspath(program)
        self.wine = wine
        self.dir = tempfile.mkdtemp(prefix="quorna-e2e-")
        os.chmod(self.dir, 0o700)
        self.processes = []
        self.display = None
        self.extra_env = {}
        self.reader = os.path.join(self.dir, "reader.txt")
        self.settings = os.path.join(self.dir, "onewire.conf")
        self.set_tokens([])
        self.write_settings(["default = usb 1", self.virtual_reader(self.reader)])

    def path(self, path):
        """A file's path as the program names it."""
        return self.wine.path(path) if self.wine else path

    def virtual_reader(self, reader, port="usb 1"):
        return "%s = virtual %s" % (port, self.path(reader))

    # -- processes -------------------------------------------------------------------------
    def spawn(self, argv, env=None, **kwargs):
        process = subprocess.Popen(argv, env=env, preexec_fn=_die_with_parent, **kwargs)
        self.processes.append(process)
        return process

    def start_xvfb(self):
        # Only a display that answers counts. The server runs with -noreset: by default it resets
        # whenever its last client leaves (this check, an xdotool call), and a program that
        # connects during the reset fails to start.
        for _ in range(3):
            xvfb = self._spawn_xvfb()
            if self._display_answers(xvfb):
                return
            xvfb.terminate()
            xvfb.wait()
        raise Failure("Xvfb did not answer on " + str(self.display))

    def _display_answers(self, xvfb):
        deadline = time.monotonic() + PATIENCE
        while time.monotonic() < deadline and xvfb.poll() is None:
            check = subprocess.run(["xdpyinfo", "-display", self.display],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if check.returncode == 0:
                return True
            time.sleep(0.1)
        return False

    def _spawn_xvfb(self):
        read_end, write_end = os.pipe()
        xvfb = self.spawn(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-noreset",
                           "-screen", "0", "1024x768x24"], pass_fds=(write_end,),
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        text = b""
        deadline = time.monotonic() + PATIENCE
        while not text.endswith(b"\n"):
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([read_end], [], [], remaining)[0]:
                raise Failure("Xvfb did not start")
            chunk = os.read(read_end, 64)
            if not chunk:
                raise Failure("Xvfb ended before telling its display")
            text += chunk
        os.close(read_end)
        self.display = ":" + text.decode().strip()
        return xvfb

    def env(self):
        env = dict(os.environ)
        for name in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XAUTHORITY"):
            env.pop(name, None)
        env.update(DISPLAY=self.display, ONEWIRE_CONF=self.path(self.settings),
                   XDG_RUNTIME_DIR=self.dir, QT_QPA_PLATFORM="xcb")
        if self.wine:
            env.update(self.wine.env())
        for name, value in self.extra_env.items():  # None: the variable is not passed on
            if value is None:
                env.pop(name, None)
            else:
                env[name] = value
        return env

    def start_program(self, name="program", program=None):
        log = open(os.path.join(self.dir, name + ".log"), "wb")
        argv = [program or self.program]
        if self.wine:
            argv = self.wine.command(argv[0])
        return self.spawn(argv, env=self.env(), stdout=log, stderr=subprocess.STDOUT)

    def log_of(self, name="program"):
        try:
            with open(os.path.join(self.dir, name + ".log"), "rb") as f:
                return f.read().decode(errors="replace")
        except OSError:
            return ""

    def close(self):
        # The programs first, then wine's own processes, which hold the display, then the display.
        for process in reversed(self.processes):
            if process.args[0] == "Xvfb" and self.wine:
                self.wine.stop(self.env())
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)

    # -- files -----------------------------------------------------------------------------
    def _write(self, path, lines):
        partial = path + ".new"
        with open(partial, "w") as f:
            f.write("".join(line + "\n" for line in lines))
        os.replace(partial, path)  # the reader never sees half a file

    def set_tokens(self, tokens):
        self._write(self.reader, tokens)

    def write_settings(self, lines):
        self._write(self.settings, lines)

    # -- X ---------------------------------------------------------------------------------
    def run_x(self, argv, timeout=10):
        return subprocess.run(argv, env=self.env(), capture_output=True, timeout=timeout)

    def find_windows(self, title):
        result = self.run_x(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % title])
        return result.stdout.decode().split()

    def wait_for_main_window(self, program):
        """The main window's id, once the hand-over is complete: the main window shown and the
        start-up window gone."""
        deadline = time.monotonic() + PATIENCE
        while time.monotonic() < deadline:
            windows = self.find_windows(TITLE_MAIN)
            if windows and not self.find_windows(TITLE_SPLASH):
                if len(windows) != 1:
                    raise Failure("%d main windows" % len(windows))
                return windows[0]
            if program.poll() is not None:
                raise Failure("the program ended (%s) before its main window showed"
                              % program.returncode)
            time.sleep(0.1)
        raise Failure("no hand-over to the main window after %.0f s" % PATIENCE)

    def root_window(self):
        info = self.run_x(["xwininfo", "-root"]).stdout.decode()
        return str(int(info.split("Window id: ")[1].split()[0], 16))

    def focused_window(self):
        """The X window with the input focus (decimal id, as xdotool names windows)."""
        return self.run_x(["xdotool", "getwindowfocus"]).stdout.decode().strip()

    def click(self, window, at):
        result = self.run_x(["xdotool", "mousemove", "--window", window, str(at[0]), str(at[1]),
                             "click", "1"])
        if result.returncode != 0:
            raise Failure("xdotool click failed: " + result.stderr.decode())

    def press(self, window, keys):
        result = self.run_x(["xdotool", "windowfocus", "--sync", window, "key", keys])
        if result.returncode != 0:
            raise Failure("xdotool key failed: " + result.stderr.decode())

    def window_image(self, window):
        """The window's pixels as raw RGB bytes."""
        return self.run_x(["import", "-silent", "-window", window, "rgb:-"]).stdout

    def list_image(self, window):
        """The ROM ID list's pixels as raw RGB bytes."""
        left, top, width, height = LST_ROMIDS
        return self.run_x(["import", "-silent", "-window", window, "-crop",
                           "%dx%d+%d+%d" % (width, height, left, top), "rgb:-"]).stdout

    def settled_image(self, window, program, image_of=None):
        """The window's pixels (or image_of's) once they stay the same for a second and a half."""
        image_of = image_of or self.window_image
        deadline = time.monotonic() + PATIENCE
        last, since = None, time.monotonic()
        while time.monotonic() < deadline and program.poll() is None:
            image = image_of(window)
            if image != last:
                last, since = image, time.monotonic()
            elif time.monotonic() - since >= 1.5:
                return image
            time.sleep(0.25)
        raise Failure("the window never settled")

    def wait_for_splash(self, program):
        deadline = time.monotonic() + PATIENCE
        while time.monotonic() < deadline and program.poll() is None:
            splash = self.find_windows(TITLE_SPLASH)
            if splash:
                return splash[0]
            time.sleep(0.1)
        raise Failure("no start-up window")

    def click_to_end(self, program, window, at, what):
        self.click(window, at)
        self.expect_end(program, what)

    def expect_end(self, program, what):
        """The program ends, with status 0, after what was done to it."""
        try:
            code = program.wait(PATIENCE)
        except subprocess.TimeoutExpired:
            raise Failure(what + " did not end the program")
        if code != 0:
            raise Failure("the program ended with %s:\n%s" % (code, self.log_of()))

    def clipboard(self):
        """The X clipboard's text, or None when nobody owns it."""
        try:
            result = self.run_x(["xclip", "-o", "-selection", "clipboard"], timeout=5)
        except subprocess.TimeoutExpired:
            return None
        return result.stdout.decode() if result.returncode == 0 else None

    def wait_for_clipboard(self, expected, what):
        started = time.monotonic()
        seen = None
        while time.monotonic() - started < PATIENCE:
            seen = self.clipboard()
            if seen == expected:
                return time.monotonic() - started
            time.sleep(0.05)
        raise Failure("%s: clipboard %r, expected %r" % (what, seen, expected))

    def expect_clipboard_stays(self, expected, what, seconds=1.5):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            seen = self.clipboard()
            if seen != expected:
                raise Failure("%s: clipboard became %r, expected it to stay %r"
                              % (what, seen, expected))
            time.sleep(0.1)

    def start_main_window(self, tokens):
        """Starts the program with these tokens on the reader; (program, main window id) once the
        hand-over is complete."""
        self.set_tokens(tokens)
        program = self.start_program()
        return program, self.wait_for_main_window(program)

    def exit_program(self, program, window):
        self.click_to_end(program, window, CMD_EXIT, "Exit")


def free_tcp_port():
    """A loopback port that is free now, below the kernel's ephemeral range so that no outgoing
    connection takes it in the meantime."""
    while True:
        port = random.randrange(20000, 32000)
        with socket.socket() as probe:
            try:
                probe.bind(("127.0.0.1", port))
            except OSError:
                continue
        return port


# -- cases ---------------------------------------------------------------------------------

def case_read_once(s):
    program, window = s.start_main_window([TOKEN_A])
    s.click(window, CMD_SCAN_ONCE)
    s.wait_for_clipboard(TOKEN_A, "read once with one token")
    s.exit_program(program, window)


def case_scanning(s):
    program, window = s.start_main_window([TOKEN_A])
    s.click(window, CMD_SCANNING)
    s.wait_for_clipboard(TOKEN_A, "scanning on, one token")

    s.set_tokens([TOKEN_B])
    latency = s.wait_for_clipboard(TOKEN_B, "token replaced while scanning")
    print("token change reached the clipboard after %.2f s" % latency)

    s.set_tokens([TOKEN_A, TOKEN_C])
    s.expect_clipboard_stays(TOKEN_B, "two tokens copy nothing")
    s.set_tokens([])
    s.expect_clipboard_stays(TOKEN_B, "no token copies nothing", seconds=1.0)

    s.set_tokens([TOKEN_C])
    latency = s.wait_for_clipboard(TOKEN_C, "token added while scanning")
    print("token added reached the clipboard after %.2f s" % latency)

    s.press(window, "alt+s")  # scanning off, through the button's access key
    # The click is handled in its turn among the program's timer ticks: give the program time to
    # see it before a new token goes on, or a pass already due would rightly copy it.
    s.expect_clipboard_stays(TOKEN_C, "scanning switched off", seconds=2.0)
    s.set_tokens([TOKEN_A])
    s.expect_clipboard_stays(TOKEN_C, "scanning off reads nothing")
    s.exit_program(program, window)


def wait_for_list(s, program, window, expected, what):
    """Waits until the list shows the pixels `expected`."""
    deadline = time.monotonic() + PATIENCE
    while time.monotonic() < deadline and program.poll() is None:
        if s.list_image(window) == expected:
            return
        time.sleep(0.1)
    raise Failure(what)


def case_lifted(s):
    """A token lifted off a reader without an ID chip of its own (as a virtual reader, a serial
    adapter) leaves the list while scanning."""
    program, window = s.start_main_window([])
    s.click(window, CMD_SCANNING)
    empty = s.settled_image(window, program, s.list_image)
    s.set_tokens([TOKEN_A])
    s.wait_for_clipboard(TOKEN_A, "scanning on, one token")
    if s.settled_image(window, program, s.list_image) == empty:
        raise Failure("the list does not show the token")
    s.set_tokens([])
    wait_for_list(s, program, window, empty, "a token lifted off the reader stays listed")
    s.set_tokens([TOKEN_B])
    s.wait_for_clipboard(TOKEN_B, "a token put on after the list emptied")
    s.exit_program(program, window)


def case_keyboard(s):
    """From launch to a copied ID and to Exit with keys alone. The list has the first focus; Tab
    reaches the check box, whose Space unticks it; Alt+S starts scanning, which then copies
    nothing; Alt+C ticks the box again and the next pass copies; Alt+S stops; Esc is Exit."""
    program, window = s.start_main_window([TOKEN_A])
    s.press(window, "Tab")
    s.press(window, "space")  # auto-copy off
    s.press(window, "alt+s")
    s.expect_clipboard_stays(None, "scanning with auto-copy unticked from the keyboard")
    s.press(window, "alt+c")
    s.wait_for_clipboard(TOKEN_A, "auto-copy ticked with Alt+C while scanning")
    s.press(window, "alt+s")
    s.press(window, "Escape")
    s.expect_end(program, "Esc")


def case_keyboard_error(s):
    """The error screen's Exit has the focus as it appears: Tab keeps it there (it is the only
    control that takes the focus) and Enter presses it; Esc closes the screen too."""
    s.write_settings(["default = usb 1", s.virtual_reader(os.path.join(s.dir, "absent.txt"))])
    for keys in (["Tab", "Return"], ["Escape"]):
        program = s.start_program()
        splash = s.wait_for_splash(program)
        s.settled_image(splash, program)  # the error screen is up
        for key in keys:
            s.press(splash, key)
        s.expect_end(program, "%s on the error screen" % "+".join(keys))


def case_auto_copy_off(s):
    program, window = s.start_main_window([TOKEN_A])
    s.click(window, CMD_SCAN_ONCE)
    s.wait_for_clipboard(TOKEN_A, "read once, auto-copy ticked")

    s.click(window, CHK_AUTO_COPY_BOX)  # untick
    s.set_tokens([TOKEN_B])
    s.click(window, CMD_SCAN_ONCE)
    s.expect_clipboard_stays(TOKEN_A, "read once, auto-copy unticked")

    s.click(window, CHK_AUTO_COPY_BOX)  # tick again: the same read copies now
    s.click(window, CMD_SCAN_ONCE)
    s.wait_for_clipboard(TOKEN_B, "read once, auto-copy ticked again")
    s.exit_program(program, window)


def case_second_instance(s):
    """A second start ends, silently, and brings the running instance's window to the front:
    with the focus elsewhere (on the screen's root), the main window gets it back."""
    first, window = s.start_main_window([TOKEN_A])
    root = s.root_window()
    s.run_x(["xdotool", "windowfocus", "--sync", root])
    if s.focused_window() == window:
        raise Failure("the focus did not leave the main window")

    second = s.start_program("second")
    try:
        code = second.wait(PATIENCE)
    except subprocess.TimeoutExpired:
        raise Failure("the second instance kept running")
    if code != 0:
        raise Failure("the second instance ended with %s" % code)
    noise = [line for line in s.log_of("second").splitlines() if line.strip()]
    if noise:
        raise Failure("the second instance said something:\n" + "\n".join(noise))
    if first.poll() is not None:
        raise Failure("the first instance ended too")
    if s.find_windows(TITLE_MAIN) != [window] or s.find_windows(TITLE_SPLASH):
        raise Failure("windows changed: %s" % s.find_windows(TITLE_MAIN))
    # Wine leaves the X focus of a captioned window to a window manager, and these displays have
    # none: there the Windows foreground is checked by test_win32 instead.
    deadline = time.monotonic() + PATIENCE
    while not s.wine and s.focused_window() != window:
        if time.monotonic() > deadline:
            raise Failure("the second start did not bring the main window to the front: the "
                          "focus is on %s, not %s" % (s.focused_window(), window))
        time.sleep(0.1)

    s.click(window, CMD_SCAN_ONCE)  # the first instance still works
    s.wait_for_clipboard(TOKEN_A, "first instance after the second start")
    s.exit_program(first, window)


def case_planted_lock(s):
    """Another account (nobody) plants the lock folder in /tmp that the program once fell back to,
    holding a lock file there, and the program runs with no session runtime folder named: the
    plant changes nothing. The first start runs silently, a second ends silently and the first
    keeps running."""
    if os.geteuid() != 0:
        skip("becoming another account to plant the lock needs root")
    home = os.path.join(s.dir, "home")
    os.mkdir(home, 0o700)
    s.extra_env.update(XDG_RUNTIME_DIR=None, HOME=home)
    planted = "/tmp/quorna-fobit-reader-%d" % os.geteuid()
    shutil.rmtree(planted, ignore_errors=True)
    # The system's Python: the test's own may lie where the other account cannot go.
    intruder = s.spawn(["/usr/bin/python3", "-c", (
        "import fcntl, os, sys, time\n"
        "os.mkdir(sys.argv[1], 0o777); os.chmod(sys.argv[1], 0o777)\n"
        "f = open(os.path.join(sys.argv[1], 'instance.lock'), 'w')\n"
        "fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB); print('held', flush=True)\n"
        "time.sleep(600)\n"), planted], user=65534, group=65534, extra_groups=[], cwd="/",
        stdout=subprocess.PIPE)
    try:
        if intruder.stdout.readline().strip() != b"held":
            raise Failure("the other account could not plant its lock in " + planted)
        first, window = s.start_main_window([TOKEN_A])
        second = s.start_program("second")
        try:
            code = second.wait(PATIENCE)
        except subprocess.TimeoutExpired:
            raise Failure("the second instance kept running: the planted lock made two copies")
        # The program's own messages (Qt may note the missing runtime folder variable).
        noise = [line for log in ("program", "second") for line in s.log_of(log).splitlines()
                 if "quorna-fobit-reader:" in line]
        if code != 0 or noise:
            raise Failure("the second instance ended with %s and said:\n%s"
                          % (code, "\n".join(noise)))
        if first.poll() is not None or s.find_windows(TITLE_MAIN) != [window]:
            raise Failure("the first instance did not keep running alone")
        s.click(window, CMD_SCAN_ONCE)
        s.wait_for_clipboard(TOKEN_A, "first instance after the second start")
        s.exit_program(first, window)
    finally:
        intruder.kill()
        intruder.wait()
        shutil.rmtree(planted, ignore_errors=True)


def case_squatted_instance(s):
    """Under wine: another process holds the name every copy once used (Local\\quorna-fobit-reader)
    and the user's own mutex name with another owner, as a process of another account could;
    the program still starts, to its main window ($QUORNA_SQUATTER_PROGRAM: test_win32.exe)."""
    squatter_program = os.environ.get("QUORNA_SQUATTER_PROGRAM", "")
    if not os.path.isfile(squatter_program):
        raise Failure("no squatter program (test_win32.exe) in $QUORNA_SQUATTER_PROGRAM: %r"
                      % squatter_program)
    env = dict(s.env(), QUORNA_SQUATTER="quorna-fobit-reader")
    s.spawn(s.wine.command(squatter_program, "--gtest_filter=SingleInstanceMutex.SquatterProcess"),
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + PATIENCE
    while not s.find_windows("quorna show target [0-9]+"):
        if time.monotonic() > deadline:
            raise Failure("the squatter did not start")
        time.sleep(0.2)
    program, window = s.start_main_window([TOKEN_A])
    s.click(window, CMD_SCAN_ONCE)
    s.wait_for_clipboard(TOKEN_A, "read once beside the squatter")
    s.exit_program(program, window)


def owserver_address(endpoint, server):
    """The 16-digit address of the one device owserver lists, from owserver itself; None when
    the server ended (its port was taken after all)."""
    deadline = time.monotonic() + PATIENCE
    while time.monotonic() < deadline:
        if server.poll() is not None:
            return None
        try:
            listing = subprocess.run(["owdir", "-s", endpoint, "/uncached"],
                                     capture_output=True, timeout=10)
        except subprocess.TimeoutExpired:
            continue
        names = [entry.rstrip("/").rsplit("/", 1)[-1] for entry in listing.stdout.decode().split()]
        devices = [name for name in names if len(name) == 15 and name[2] == "."]
        if listing.returncode == 0 and devices:
            if len(devices) != 1:
                raise Failure("owserver lists %s" % devices)
            address = subprocess.run(["owread", "-s", endpoint, "/uncached/%s/address" % devices[0]],
                                     capture_output=True, timeout=10)
            return address.stdout.decode().strip()
        time.sleep(0.1)
    raise Failure("owserver did not answer on " + endpoint)


def start_owserver(s, tester):
    """Starts owserver on a free loopback port with a --tester bus; (endpoint, address). An empty
    settings file of its own keeps the machine's owfs settings out; /dev/null would too, but
    owserver restarts itself whenever the file it was given is written to, and /dev/null is
    written to all the time."""
    s.owfs_settings = os.path.join(s.dir, "owfs.conf")
    s._write(s.owfs_settings, [])
    for _ in range(5):
        endpoint = "127.0.0.1:%d" % free_tcp_port()
        server = s.spawn(["owserver", "-c", s.owfs_settings, "--foreground", "-p", endpoint,
                          "--tester=" + tester], stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
        address = owserver_address(endpoint, server)
        if address is not None:
            return endpoint, address
    raise Failure("owserver would not start")


def case_owserver(s):
    endpoint, expected = start_owserver(s, "01")
    if len(expected) != 16:
        raise Failure("owserver's address %r" % expected)

    s.write_settings(["default = usb 1", "usb 1 = owserver " + endpoint + " simulated"])
    program, window = s.start_main_window([])
    s.click(window, CMD_SCAN_ONCE)
    s.wait_for_clipboard(expected, "read once over owserver")
    s.exit_program(program, window)


def start_emulator(s, tokens):
    """The emulated DS2480B serial adapter with these tokens on its bus: (process, its terminal's
    device). A line written to the process replaces the tokens."""
    emulator = os.environ.get("QUORNA_DS2480B_EMULATOR", "")
    if not os.access(emulator, os.X_OK):
        skip("no DS2480B emulator (QUORNA_DS2480B_EMULATOR=%r): build the Linux build's "
             "ds2480b-emulator first" % emulator)
    process = s.spawn([emulator] + tokens, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                      text=True)
    device = process.stdout.readline().strip()
    if not device.startswith("/dev/"):
        raise Failure("the emulator did not name its terminal: %r" % device)
    return process, device


def case_serial(s):
    """A serial adapter spoken to directly, no daemon: scanning lists the emulator's token, a
    replaced token takes its place. Under wine through COM5 of the prefix, mapped to the emulator's
    terminal, with the bare "serial" that means the port's own device."""
    emulator, device = start_emulator(s, [TOKEN_A])
    if s.wine:
        com = os.path.join(s.wine.prefix, "dosdevices", "com5")
        if os.path.lexists(com):
            os.remove(com)
        os.symlink(device, com)
        s.write_settings(["default = com 5", "com 5 = serial"])
    else:
        s.write_settings(["default = usb 1", "usb 1 = serial " + device])
    program, window = s.start_main_window([])
    s.click(window, CMD_SCANNING)
    s.wait_for_clipboard(TOKEN_A, "scanning a serial adapter, one token")
    emulator.stdin.write("\n")  # lifted
    emulator.stdin.flush()
    s.expect_clipboard_stays(TOKEN_A, "no token copies nothing", seconds=1.0)
    emulator.stdin.write(TOKEN_B + "\n")
    emulator.stdin.flush()
    s.wait_for_clipboard(TOKEN_B, "another token on the serial adapter")
    s.press(window, "alt+s")
    s.expect_clipboard_stays(TOKEN_B, "scanning switched off", seconds=1.0)
    s.exit_program(program, window)


def case_not_found(s):
    s.write_settings(["default = usb 1", s.virtual_reader(os.path.join(s.dir, "absent.txt"))])
    program = s.start_program()
    deadline = time.monotonic() + PATIENCE
    splash = []
    while not splash and time.monotonic() < deadline:
        splash = s.find_windows(TITLE_SPLASH)
        time.sleep(0.1)
    if not splash:
        raise Failure("no start-up window")
    # The error screen waits for a click on its bare surface; without one nothing happens.
    time.sleep(4.0)  # longer than the hand-over delay
    if program.poll() is not None or s.find_windows(TITLE_MAIN):
        raise Failure("the error screen did not wait")
    s.click_to_end(program, splash[0], (5, 5), "a click on the error screen")


def case_first_run(s):
    """No settings at all, as on a new machine: the not-found screen is pixel for pixel the one of
    a configured reader whose adapter is not there (TMSetup 3, with its advice), and a click at
    the centre of Exit ends the program."""
    s.write_settings([s.virtual_reader(os.path.join(s.dir, "absent.txt"))])
    s.run_x(["xdotool", "mousemove", "0", "0"])
    program = s.start_program("reference")
    splash = s.wait_for_splash(program)
    expected = s.settled_image(splash, program)
    s.click_to_end(program, splash, SPLASH_CMD_EXIT, "a click at the centre of Exit")

    s.run_x(["xdotool", "mousemove", "0", "0"])  # off the window: no button shows a hover
    os.remove(s.settings)  # ONEWIRE_CONF names a file that is not there: no settings
    program = s.start_program()
    splash = s.wait_for_splash(program)
    deadline = time.monotonic() + PATIENCE
    while s.window_image(splash) != expected:
        if time.monotonic() > deadline or program.poll() is not None:
            raise Failure("the first run does not show the adapter-not-found screen")
        time.sleep(0.25)
    s.click_to_end(program, splash, SPLASH_CMD_EXIT, "a click at the centre of Exit")


def case_ibfs32_first(s):
    """The vendor's library beside the program wins over our own runtime there; a planted one in
    the working folder or in a folder on PATH is never bound, whether or not one lies beside the
    program. Each stand-in is a copy of onewire.dll that reads its settings from another variable
    of the same length, so each names another reader; the token read shows which library the
    program bound."""
    folder = os.path.join(s.dir, "program")
    working = os.path.join(s.dir, "working")
    on_path = os.path.join(s.dir, "on-path")
    for made in (folder, working, on_path):
        os.mkdir(made)
    program = os.path.join(folder, os.path.basename(s.program))
    shutil.copy(s.program, program)
    with open(os.path.join(os.path.dirname(s.program), "onewire.dll"), "rb") as f:
        runtime = f.read()
    with open(os.path.join(folder, "onewire.dll"), "wb") as f:
        f.write(runtime)
    if runtime.count(b"ONEWIRE_CONF\0") != 1:
        raise Failure("onewire.dll does not name ONEWIRE_CONF exactly once")

    def stand_in(where, variable, token):
        with open(os.path.join(where, "IBFS32.DLL"), "wb") as f:
            f.write(runtime.replace(b"ONEWIRE_CONF\0", variable.encode() + b"\0"))
        reader = os.path.join(s.dir, variable + ".txt")
        settings = os.path.join(s.dir, variable + ".conf")
        s._write(reader, [token])
        s._write(settings, ["default = usb 1", s.virtual_reader(reader)])
        s.extra_env[variable] = s.path(settings)

    stand_in(working, "ONEWIRE_WORK", TOKEN_C)
    stand_in(on_path, "ONEWIRE_PATH", TOKEN_C)
    s.extra_env["WINEPATH"] = s.path(on_path)  # first on the Windows PATH
    s.set_tokens([TOKEN_A])  # the reader onewire.dll reads
    for beside, expected in ((False, TOKEN_A), (True, TOKEN_B)):
        if beside:
            stand_in(folder, "ONEWIRE_IBFS", TOKEN_B)
        log = open(os.path.join(s.dir, "program.log"), "wb")
        process = s.spawn(s.wine.command(program), env=s.env(), cwd=working, stdout=log,
                          stderr=subprocess.STDOUT)
        window = s.wait_for_main_window(process)
        s.click(window, CMD_SCAN_ONCE)
        s.wait_for_clipboard(expected, "read once, IBFS32.DLL planted in the working folder and"
                             " on PATH, %s beside the program" % ("one" if beside else "none"))
        s.exit_program(process, window)


def case_started_like_explorer(s):
    """Started as Explorer starts a program (through ShellExecute: no standard handles), from a
    folder with a non-ASCII name, with settings and a reader file under non-ASCII names named by
    \\\\?\\ paths: the program reads the token, and the runtime's message about a bad settings
    line reaches the debugger output (wine shows it on its seh channel)."""
    folder = os.path.join(s.dir, "Leseger\u00e4t")
    settings_folder = os.path.join(s.dir, "\u00fcn\u00ef")
    reader_folder = os.path.join(s.dir, "\u041f\u0440\u0438\u0432\u0435\u0442")
    for made in (folder, settings_folder, reader_folder):
        os.mkdir(made)
    program = os.path.join(folder, os.path.basename(s.program))
    shutil.copy(s.program, program)
    shutil.copy(os.path.join(os.path.dirname(s.program), "onewire.dll"), folder)
    reader = os.path.join(reader_folder, "reader.txt")
    settings = os.path.join(settings_folder, "onewire.conf")
    s._write(reader, [TOKEN_A])
    s._write(settings, ["default = usb 1", "usb 1 = virtual \\\\?\\" + s.path(reader),
                        "not a setting"])
    # Wine reads Linux names in the locale's encoding: UTF-8, as on any current system.
    s.extra_env.update(ONEWIRE_CONF="\\\\?\\" + s.path(settings), LC_ALL="C.UTF-8",
                       WINEDEBUG="-all,warn+seh")
    log = open(os.path.join(s.dir, "program.log"), "wb")
    process = s.spawn(s.wine.command("start", "/wait", "/unix", program), env=s.env(),
                      stdout=log, stderr=subprocess.STDOUT)
    window = s.wait_for_main_window(process)
    s.click(window, CMD_SCAN_ONCE)
    s.wait_for_clipboard(TOKEN_A, "read once from a non-ASCII folder through \\\\?\\ paths")
    deadline = time.monotonic() + PATIENCE
    # Wine's trace cuts a long string short, so the message's end may not show.
    expected = re.compile(r'OutputDebugString[AW] "onewire: [^"]*onewire\.conf:3: cannot understand')
    while not expected.search(s.log_of()):
        if time.monotonic() > deadline:
            raise Failure("no message about the bad settings line in the debugger output")
        time.sleep(0.1)
    s.exit_program(process, window)


def case_untrustworthy_library(s):
    """A library beside the program whose TMNext never runs out and whose TMRom writes nothing:
    the window stays responsive and lists nothing, and nothing reaches the clipboard."""
    folder = os.path.join(s.dir, "program")
    os.mkdir(folder)
    program = os.path.join(folder, os.path.basename(s.program))
    shutil.copy(s.program, program)
    shutil.copy(os.path.join(os.path.dirname(s.program), "quorna_untrustworthy_library.dll"),
                os.path.join(folder, "IBFS32.DLL"))
    program_process = s.start_program(program=program)
    window = s.wait_for_main_window(program_process)
    # The list as it looks empty, once the focus has left it as the clicks below make it leave.
    s.click(window, CHK_AUTO_COPY_BOX)
    s.click(window, CHK_AUTO_COPY_BOX)
    empty = s.settled_image(window, program_process, s.list_image)
    s.click(window, CMD_SCAN_ONCE)
    s.click(window, CMD_SCANNING)
    time.sleep(2.0)  # some passes of scanning
    if s.settled_image(window, program_process, s.list_image) != empty:
        raise Failure("the list shows something the library never found")
    s.expect_clipboard_stays(None, "an untrustworthy library", seconds=1.0)
    s.exit_program(program_process, window)  # answers a click: the GUI thread is not held


CASES = {
    "read_once": case_read_once,
    "scanning": case_scanning,
    "lifted": case_lifted,
    "auto_copy_off": case_auto_copy_off,
    "keyboard": case_keyboard,
    "keyboard_error": case_keyboard_error,
    "second_instance": case_second_instance,
    "owserver": case_owserver,
    "serial": case_serial,
    "not_found": case_not_found,
    "first_run": case_first_run,
    "planted_lock": case_planted_lock,
}
def case_program_passes(s):
    """A Windows test program that needs a display (windows, clipboard) ends with status 0."""
    program = s.start_program()
    try:
        code = program.wait(PATIENCE * 4)
    except subprocess.TimeoutExpired:
        raise Failure("the test program did not end")
    print(s.log_of())
    if code != 0:
        raise Failure("the test program ended with %s" % code)


WINE_CASES = {"ibfs32_first": case_ibfs32_first, "program_passes": case_program_passes,
              "untrustworthy_library": case_untrustworthy_library,
              "started_like_explorer": case_started_like_explorer,
              "squatted_instance": case_squatted_instance}


def run_case(session, case, logs=("program",)):
    """Runs case(session) and stops everything the session started, however it ends; prints the
    verdict (with the named logs on failure) and returns the exit status."""
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))  # still clean up on ctest's timeout
    try:
        case(session)
    except (Failure, commands.MissingCommand, subprocess.TimeoutExpired) as failure:
        print("FAILED: %s" % failure, file=sys.stderr)
        for name in logs:
            print("%s output:\n%s" % (name, session.log_of(name)), file=sys.stderr)
        return 1
    finally:
        session.close()
    print("passed")
    return 0


def main():
    args = sys.argv[1:]
    wine = None
    if args[:1] == ["--wine"] and len(args) >= 3:
        wine = Wine(args[1], args[2])
        args = args[3:]
    cases = dict(CASES, **(WINE_CASES if wine else {}))
    if len(args) < 2 or not set(args[1:]) <= set(cases):
        print(__doc__, file=sys.stderr)
        return 2

    def started(case):
        def run(session):
            session.start_xvfb()
            case(session)
        return run

    if wine:
        wine.prepare()
    status = 0
    for name in args[1:]:
        began = time.monotonic()
        print("== %s" % name)
        status = max(status, run_case(Session(args[0], wine), started(cases[name])))
        print("== %s: %.1f s" % (name, time.monotonic() - began))
    return status

if __name__ == "__main__":
    sys.exit(main())

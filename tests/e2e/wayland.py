#!/usr/bin/env python3
"""The program as a native Wayland client under a headless sway of its own: read once, scanning,
and a new token while another window (foot) has the focus; wl-paste, another client, reads the
clipboard each time. sway refuses to run as root, so as root the compositor and every client run
as the unprivileged account quorna-wl (created here when missing) with a runtime folder of their
own.

Usage: wayland.py PROGRAM
A missing compositor, tool or Qt platform fails the test with the package that provides it.
"""

import glob
import json
import os
import pwd
import shutil
import subprocess
import sys
import time

import commands
import e2e

ACCOUNT = "quorna-wl"
MAIN_STATUS = (192, 336, 225, 29)  # the main window's lblStatus in client pixels
QT_WAYLAND_PLUGIN = "/usr/lib/x86_64-linux-gnu/qt6/plugins/platforms/libqwayland-generic.so"


def unprivileged_account():
    """(uid, gid) to run the compositor and clients as; None when this test is not root."""
    if os.geteuid() != 0:
        return None
    try:
        entry = pwd.getpwnam(ACCOUNT)
    except KeyError:
        subprocess.run(["useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent",
                        "--shell", "/usr/sbin/nologin", ACCOUNT], check=True)
        entry = pwd.getpwnam(ACCOUNT)
    return entry.pw_uid, entry.pw_gid


class WaylandSession(e2e.Session):
    def __init__(self, program, account):
        super().__init__(program)
        self.account = account
        self.runtime = os.path.join(self.dir, "runtime")
        os.mkdir(self.runtime, 0o700)
        if account:
            for path in (self.dir, self.runtime, self.reader, self.settings):
                os.chown(path, *account)
            self.program = self.copy_for(account)
        self.ipc = None

    def copy_for(self, account):
        """The program and its runtime copied where the account can run them: the build folder
        may lie where only root can go (a clone under /root)."""
        folder = os.path.join(self.dir, "program")
        os.mkdir(folder, 0o755)
        build = os.path.dirname(self.program)
        for name in [os.path.basename(self.program)] + [
                name for name in os.listdir(build) if name.startswith("libonewire.so")]:
            source = os.path.join(build, name)
            if os.path.isfile(source) and not os.path.islink(source):
                shutil.copy2(source, os.path.join(folder, name))
            elif os.path.islink(source):
                os.symlink(os.readlink(source), os.path.join(folder, name))
        os.chown(folder, *account)
        return os.path.join(folder, os.path.basename(self.program))

    def env(self):
        env = {name: value for name, value in os.environ.items()
               if name not in ("DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "SWAYSOCK")}
        env.update(XDG_RUNTIME_DIR=self.runtime, HOME=self.dir, ONEWIRE_CONF=self.settings,
                   WAYLAND_DISPLAY="wayland-1", QT_QPA_PLATFORM="wayland",
                   WLR_BACKENDS="headless", WLR_LIBINPUT_NO_DEVICES="1", WLR_RENDERER="pixman")
        return env

    def spawn(self, argv, env=None, **kwargs):
        if self.account:
            # In the session's folder: the test's own may lie where the account cannot go.
            kwargs.update(user=self.account[0], group=self.account[1], extra_groups=[],
                          cwd=self.dir)
        return super().spawn(argv, env=env or self.env(), **kwargs)

    def run_as(self, argv, timeout=10):
        extra = {}
        if self.account:
            extra = dict(user=self.account[0], group=self.account[1], extra_groups=[],
                         cwd=self.dir)
        return subprocess.run(argv, env=self.env(), capture_output=True, timeout=timeout, **extra)

    def _write(self, path, lines):
        super()._write(path, lines)
        if getattr(self, "account", None):
            os.chown(path, *self.account)

    def start_sway(self):
        config = os.path.join(self.dir, "sway.conf")
        with open(config, "w") as f:
            f.write("xwayland disable\n")
        os.chmod(config, 0o644)
        log = open(os.path.join(self.dir, "sway.log"), "wb")
        sway = self.spawn(["sway", "-c", config], stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + e2e.PATIENCE
        while time.monotonic() < deadline and sway.poll() is None:
            sockets = glob.glob(os.path.join(self.runtime, "sway-ipc.*.sock"))
            if sockets and os.path.exists(os.path.join(self.runtime, "wayland-1")):
                self.ipc = sockets[0]
                if self.run_as(["swaymsg", "-s", self.ipc, "-t", "get_version"]).returncode == 0:
                    # A desk has a keyboard all the time: a virtual one that types nothing until
                    # its input ends, so the seat's keyboard focus follows the focused window.
                    self.spawn(["wtype", "-"], stdin=subprocess.PIPE)
                    return
            time.sleep(0.1)
        raise e2e.Failure("sway did not start:\n" + self.log_of("sway"))

    def node(self, title):
        tree = json.loads(self.run_as(["swaymsg", "-s", self.ipc, "-t", "get_tree"]).stdout)
        nodes = [tree]
        while nodes:
            node = nodes.pop()
            if node.get("pid") and node.get("name") == title:
                return node
            nodes += node.get("nodes", []) + node.get("floating_nodes", [])
        raise e2e.Failure("no window " + title)

    def status_pixels(self):
        """The main window's status label as the compositor shows it."""
        node = self.node(e2e.TITLE_MAIN)
        x = node["rect"]["x"] + node["window_rect"]["x"] + MAIN_STATUS[0]
        y = node["rect"]["y"] + node["window_rect"]["y"] + MAIN_STATUS[1]
        shot = self.run_as(["grim", "-t", "ppm", "-g",
                            "%d,%d %dx%d" % (x, y, MAIN_STATUS[2], MAIN_STATUS[3]), "-"])
        if shot.returncode != 0 or not shot.stdout:
            raise e2e.Failure("grim: " + shot.stderr.decode())
        return shot.stdout

    def windows(self):
        """(name, app_id, focused) of every window sway manages."""
        tree = json.loads(self.run_as(["swaymsg", "-s", self.ipc, "-t", "get_tree"]).stdout)
        found, nodes = [], [tree]
        while nodes:
            node = nodes.pop()
            nodes += node.get("nodes", []) + node.get("floating_nodes", [])
            if node.get("pid"):
                found.append((node.get("name"), node.get("app_id"), node.get("focused")))
        return found

    def wait_for_window(self, match, what):
        deadline = time.monotonic() + e2e.PATIENCE
        while time.monotonic() < deadline:
            if any(match(*window) for window in self.windows()):
                return
            time.sleep(0.1)
        raise e2e.Failure("%s; windows: %s\n%s" % (what, self.windows(), self.log_of()))

    def keys(self, *args):
        # The seat has no keyboard until wtype's virtual one appears: wait for the program to
        # bind it before the keys go.
        result = self.run_as(["wtype", "-s", "1000"] + list(args) + ["-s", "300"])
        if result.returncode != 0:
            raise e2e.Failure("wtype: " + result.stderr.decode())

    def clipboard(self):
        try:
            result = self.run_as(["wl-paste", "-n"], timeout=5)
        except subprocess.TimeoutExpired:
            return None
        return result.stdout.decode() if result.returncode == 0 else None


def run(s):
    s.start_sway()
    s.set_tokens([e2e.TOKEN_A])
    program = s.start_program()
    s.wait_for_window(lambda name, app, focused: name == e2e.TITLE_MAIN and focused,
                      "the main window is not shown with the focus")
    if program.poll() is not None:
        raise e2e.Failure("the program ended")

    # Read once: Shift+Tab from the list reaches the read-once button, Space presses it.
    s.keys("-M", "shift", "-k", "Tab", "-m", "shift", "-s", "300", "-k", "space")
    s.wait_for_clipboard(e2e.TOKEN_A, "read once")
    time.sleep(0.5)
    copied_a = s.status_pixels()

    s.keys("-M", "alt", "s", "-m", "alt")  # Start Continuous Scanning
    s.set_tokens([e2e.TOKEN_B])
    s.wait_for_clipboard(e2e.TOKEN_B, "token replaced while scanning")
    time.sleep(0.5)
    copied_b = s.status_pixels()
    if copied_b == copied_a:
        raise e2e.Failure("the status did not confirm the new copy")

    # Another window takes the focus. sway takes the clipboard from an unfocused window, other
    # compositors do not, and the program cannot tell which: it copies but confirms nothing.
    # foot runs a command of its own: with no SHELL it would run the account's nologin and close.
    s.spawn(["foot", "sleep", "600"], stdout=open(os.path.join(s.dir, "foot.log"), "wb"), stderr=subprocess.STDOUT)
    s.wait_for_window(lambda name, app, focused: app == "foot" and focused,
                      "foot did not take the focus")
    s.set_tokens([e2e.TOKEN_C])
    s.wait_for_clipboard(e2e.TOKEN_C, "token replaced while foot has the focus")
    time.sleep(1.0)
    if s.status_pixels() != copied_b:
        raise e2e.Failure("a copy made without the focus was reported as copied")


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    for tool in ("sway", "swaymsg", "wtype", "wl-paste", "foot", "grim"):
        commands.resolve(tool)
    if not os.path.exists(QT_WAYLAND_PLUGIN):
        print("missing Qt's Wayland platform %s (package qt6-wayland, for the Wayland test's Qt"
              " platform): run scripts/install-deps.sh" % QT_WAYLAND_PLUGIN, file=sys.stderr)
        return 1
    return e2e.run_case(WaylandSession(sys.argv[1], unprivileged_account()), run,
                        logs=("program", "sway", "foot"))


if __name__ == "__main__":
    sys.exit(main())

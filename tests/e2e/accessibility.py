#!/usr/bin/python3
"""The program as a screen reader meets it: through AT-SPI, on a private D-Bus session and an Xvfb
of its own, with Qt's accessibility bridge switched on.

Usage: accessibility.py PROGRAM
Runs under Debian's /usr/bin/python3, which has pyatspi (python3-pyatspi). Both windows' trees
are walked and every role and name checked; "Start Continuous Scanning" is pressed through its
accessible action, the token is found as a named list item and the status announcement seen as
the status bar's name-change event; the error screen's texts are read and its Exit pressed the
same way.
"""

import importlib.util
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e  # noqa: E402
from e2e import PATIENCE, TOKEN_A, Failure, Session  # noqa: E402

APPLICATION = "quorna-fobit-reader"
BUS_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"

MAIN_NAMES = {  # role, name of every control of the main window but the changing labels
    ("frame", e2e.TITLE_MAIN),
    ("list", "Fobit IDs on the reader"),
    ("check box", "Auto Copy to clipboard"),
    ("image", "Fobit reader"),
    ("push button", "Start Continuous Scanning"),
    ("push button", "Exit"),
    ("push button", "Read Inserted Fobit and copy to clipboard"),
    ("status bar", "Status Messages will appear here."),
    ("label", "Version : 1.3.17"),
    ("label", "(c) 2026 Quorna Ltd.\nAll rights reserved."),
    ("separator", ""),
}
SPLASH_NAMES = {
    ("frame", e2e.TITLE_SPLASH),
    ("label", "Version : 1.3.17"),
    ("label", "Copyright (c) 2026 Quorna Ltd. All rights reserved.\n"
              "For support contact your QuornaWeb administrator."),
    ("push button", "Exit"),
}
# Roles that tell a screen reader nothing: a control described so is a fault.
MEANINGLESS = {"filler", "panel", "unknown", "redundant object", "invalid"}


class ScreenReader:
    """A session bus and the accessibility bus of the test's own, and pyatspi on them."""

    def __init__(self, session):
        self.session = session
        bus = session.spawn(["dbus-daemon", "--session", "--nofork", "--print-address"],
                            env=session.env(), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        address = bus.stdout.readline().decode().strip()
        if not address:
            raise Failure("dbus-daemon gave no address")
        session.extra_env = {"DBUS_SESSION_BUS_ADDRESS": address,
                             "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1"}
        session.spawn([BUS_LAUNCHER, "--launch-immediately"], env=session.env(),
                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # pyatspi finds its buses when first imported.
        os.environ.update(DBUS_SESSION_BUS_ADDRESS=address, DISPLAY=session.display)
        import pyatspi
        from gi.repository import GLib
        self.pyatspi = pyatspi
        self.context = GLib.MainContext.default()
        self.announced = []  # (role, new name) of every name change, as they came
        pyatspi.Registry.registerEventListener(self._name_changed,
                                               "object:property-change:accessible-name")

    def _name_changed(self, event):
        try:
            # The name the event reports: what the object is called now.
            self.announced.append((event.source.getRoleName(), event.source.name))
        except Exception:  # the object went with its window
            pass

    def pump(self, seconds=0.05):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            while self.context.iteration(False):
                pass
            time.sleep(0.01)

    def wait(self, what, found):
        """found()'s first true answer, pumping events meanwhile."""
        deadline = time.monotonic() + PATIENCE
        while time.monotonic() < deadline:
            self.pump()
            try:
                answer = found()
            except Exception:  # a node of a closed window: walk again
                answer = None
            if answer:
                return answer
        raise Failure("no %s after %.0f s" % (what, PATIENCE))

    def window(self, title):
        desktop = self.pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            if app is None or app.name != APPLICATION:
                continue
            for j in range(app.childCount):
                window = app.getChildAtIndex(j)
                if window is not None and window.name == title:
                    return window
        return None

    def tree(self, node):
        """Every node under node (itself first) as (role, name, node)."""
        nodes = [(node.getRoleName(), node.name, node)]
        for i in range(node.childCount):
            nodes += self.tree(node.getChildAtIndex(i))
        return nodes

    def showing(self, node):
        return node.getState().contains(self.pyatspi.STATE_SHOWING)

    def focused(self, node):
        return node.getState().contains(self.pyatspi.STATE_FOCUSED)

    def press(self, node):
        """Presses a button through its accessible action, as a screen reader does."""
        action = node.queryAction()
        names = [action.getName(i) for i in range(action.nActions)]
        if "Press" not in names:
            raise Failure("%r offers no Press action: %s" % (node.name, names))
        action.doAction(names.index("Press"))


def check_tree(reader, window, expected):
    """Every node has a meaningful role and a name (a separator needs none); the expected
    (role, name) pairs are all there. Returns the nodes."""
    nodes = reader.tree(window)
    for role, name, _ in nodes:
        if role in MEANINGLESS:
            raise Failure("%r is described as %r" % (name, role))
        if not name and role != "separator":
            raise Failure("a %s without a name in %r" % (role, window.name))
    seen = {(role, name) for role, name, _ in nodes}
    missing = expected - seen
    if missing:
        raise Failure("missing in %r: %s\nseen: %s" % (window.name, sorted(missing), sorted(seen)))
    return nodes


def find(nodes, role, name=None, prefix=None):
    for node_role, node_name, node in nodes:
        if node_role == role and (name is None or node_name == name) and (
                prefix is None or node_name.startswith(prefix)):
            return node
    raise Failure("no %s %r" % (role, name or prefix))


def case_found_and_scanning(s):
    reader = ScreenReader(s)
    s.set_tokens([TOKEN_A])
    program = s.start_program()

    # The start-up window: its status bar says where the reader was found; Exit stays hidden.
    splash = reader.wait("start-up window", lambda: reader.window(e2e.TITLE_SPLASH))
    reader.wait("found status", lambda: find(reader.tree(splash), "status bar",
                                             prefix="Fobit reader found on USB Port"))
    nodes = check_tree(reader, splash, SPLASH_NAMES)
    if reader.showing(find(nodes, "push button", "Exit")):
        raise Failure("the start-up window shows Exit while the reader was found")
    find(nodes, "label", prefix="Registry Values= T:6  P:1")
    if ("status bar", find(nodes, "status bar", prefix="Fobit").name) not in reader.announced:
        raise Failure("the found status was not announced: %s" % reader.announced)

    # The main window, once the start-up window is gone.
    main = reader.wait("main window", lambda: not reader.window(e2e.TITLE_SPLASH)
                       and reader.window(e2e.TITLE_MAIN))
    nodes = check_tree(reader, main, MAIN_NAMES)
    find(nodes, "label", prefix="This program allows you to use your QuornaWeb Fobit Reader")
    find(nodes, "label", prefix="Registry Values= T:6  P:1\n")
    if sum(1 for role, _, _ in nodes if role == "separator") != 2:
        raise Failure("the etched rule is not two separators")
    if not reader.focused(find(nodes, "list", "Fobit IDs on the reader")):
        raise Failure("the list does not have the first focus")
    picture = find(nodes, "image", "Fobit reader")
    if {picture.getChildAtIndex(i).getRoleName() for i in range(picture.childCount)} != {"label"}:
        raise Failure("the picture holds more than its two labels")

    copied = ("status bar", "Copied to clipboard : " + TOKEN_A)
    reader.press(find(nodes, "push button", "Start Continuous Scanning"))
    reader.wait("the token as a list item", lambda: find(
        reader.tree(find(reader.tree(main), "list", "Fobit IDs on the reader")),
        "list item", TOKEN_A))
    reader.wait("the copy announced", lambda: copied in reader.announced)
    s.wait_for_clipboard(TOKEN_A, "scanning started through the accessible action")
    find(reader.tree(main), "push button", "Stop Scanning")
    # Each pass copies the same ID again: told once, not every 350 ms.
    reader.pump(1.5)
    if reader.announced.count(copied) != 1:
        raise Failure("the same copy announced %d times" % reader.announced.count(copied))

    reader.press(find(reader.tree(main), "push button", "Exit"))
    if program.wait(PATIENCE) != 0:
        raise Failure("Exit pressed through its action ended the program with %s"
                      % program.returncode)


def case_not_found(s):
    reader = ScreenReader(s)
    s.write_settings(["default = usb 1", s.virtual_reader(os.path.join(s.dir, "absent.txt"))])
    program = s.start_program()
    splash = reader.wait("start-up window", lambda: reader.window(e2e.TITLE_SPLASH))
    exit_button = reader.wait("Exit on the error screen", lambda: [
        node for role, name, node in reader.tree(splash)
        if role == "push button" and name == "Exit" and reader.showing(node)])[0]
    nodes = check_tree(reader, splash, SPLASH_NAMES)
    status = find(nodes, "status bar", prefix="ERROR : Fobit Reader not found on any COMM or USB")
    if "\n\n" not in status.name:
        raise Failure("the error screen's status lacks the reason: %r" % status.name)
    if ("status bar", status.name) not in reader.announced:
        raise Failure("the error screen was not announced: %s" % reader.announced)
    if not reader.focused(exit_button):
        raise Failure("Exit does not have the focus on the error screen")
    reader.press(exit_button)
    if program.wait(PATIENCE) != 0:
        raise Failure("Exit ended the program with %s" % program.returncode)


CASES = {"found_and_scanning": case_found_and_scanning, "not_found": case_not_found}


def main():
    if len(sys.argv) == 3 and sys.argv[2] in CASES:
        case = CASES[sys.argv[2]]

        def started(session):
            session.start_xvfb()
            case(session)
        return e2e.run_case(Session(sys.argv[1]), started)
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    if importlib.util.find_spec("pyatspi") is None:
        e2e.skip("pyatspi is not installed (Debian python3-pyatspi)")
    if not os.access(BUS_LAUNCHER, os.X_OK):
        e2e.skip(BUS_LAUNCHER + " is not installed (Debian at-spi2-core)")
    # pyatspi keeps the buses it found first: each case runs in a process of its own.
    status = 0
    for name in CASES:
        began = time.monotonic()
        print("== %s" % name, flush=True)
        status = max(status, subprocess.run([sys.executable, __file__, sys.argv[1], name],
                                            timeout=PATIENCE * 4).returncode)
        print("== %s: %.1f s" % (name, time.monotonic() - began), flush=True)
    return status


if __name__ == "__main__":
    sys.exit(main())

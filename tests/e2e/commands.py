"""The outside commands the tests and benchmarks start, looked up before they start.

Importing this module makes every subprocess this process starts look its command up first. A
command that is not installed ends the test with one line naming the Debian package that
provides it and what needs it (from scripts/dependencies.txt), instead of Python's
FileNotFoundError traceback, or the PermissionError that the search reports when a folder on
PATH cannot be searched by the account the command runs as. A command that is found is started
by its full path, so that account's PATH search never happens.
"""

import os
import shutil
import subprocess
import sys

DEPENDENCIES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                            "dependencies.txt")


class MissingCommand(Exception):
    pass


def _rows():
    with open(DEPENDENCIES) as f:
        for line in f:
            fields = line.split("#", 1)[0].split()
            if len(fields) >= 4 and fields[0] != "-":
                yield fields[0].split(","), fields[1], " ".join(fields[3:])


def message(command):
    """The one line that reports a missing command."""
    for commands, package, what in _rows():
        if command in commands or os.path.basename(command) in commands:
            return "missing command %s (package %s, for %s): run scripts/install-deps.sh" % (
                command, package, what)
    return "missing command %s (not in scripts/dependencies.txt): add it there with its package" \
        % command


def resolve(command, path=None):
    """The full path of a command, or MissingCommand."""
    if os.sep in command:
        found = command if os.access(command, os.X_OK) and os.path.isfile(command) else None
    else:
        found = shutil.which(command, path=path)
    if found is None:
        raise MissingCommand(message(command))
    return found


_original_init = subprocess.Popen.__init__


def _looked_up_init(self, args, *rest, **kwargs):
    if (isinstance(args, (list, tuple)) and args and isinstance(args[0], str)
            and not kwargs.get("shell") and kwargs.get("executable") is None):
        env = kwargs.get("env")
        path = (os.environ if env is None else env).get("PATH", os.defpath)
        kwargs["executable"] = resolve(args[0], path)
    _original_init(self, args, *rest, **kwargs)


def _report(kind, value, traceback):
    if issubclass(kind, MissingCommand):
        print(value, file=sys.stderr)
    else:
        _original_hook(kind, value, traceback)


subprocess.Popen.__init__ = _looked_up_init
_original_hook = sys.excepthook
sys.excepthook = _report

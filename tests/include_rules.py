#!/usr/bin/env python3
"""Keeps the house in docs/development.md true: which folder's sources may include which.

    onewire/         itself only (the onewire_stands_alone test checks it further)
    platform/        itself; platform/qt/ and platform/win32/ also platform/
    timer/           platform/
    reader/          platform/, timer/, and of the runtime only its public headers
    check/           reader/, timer/, platform/, the runtime's public headers
    ui/              reader/, timer/, platform/, the runtime's public headers
    ui/qt/           ui/, platform/ and platform/qt/; ui/win32/ likewise with platform/win32/

Nothing outside ui/ includes from ui/, and no front-end includes the other's. Each quoted
include that breaks a rule is named with its file and line.

Usage: include_rules.py SOURCE_ROOT
Before the tree, the check runs on a small tree of its own, where it must find exactly the
includes planted there.
"""

import os
import re
import sys
import tempfile

SOURCE_SUFFIXES = (".c", ".cpp", ".h", ".hpp")
QUOTED_INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
PUBLIC_RUNTIME = ["onewire/Codes.h", "onewire/onewire.h"]
GENERATED = ["ProgramVersionRecord.h"]  # configured into the build folder from platform/

# Folder -> what its sources may include (folder prefixes ending in "/", or exact files). The
# longest folder that holds a file decides.
RULES = {
    "onewire/": ["onewire/"],
    "platform/": ["platform/"] + GENERATED,
    "platform/qt/": ["platform/"] + GENERATED,
    "platform/win32/": ["platform/"] + GENERATED,
    "timer/": ["timer/", "platform/"],
    "reader/": ["reader/", "timer/", "platform/"] + PUBLIC_RUNTIME,
    "check/": ["check/", "reader/", "timer/", "platform/"] + PUBLIC_RUNTIME,
    "ui/": ["ui/", "reader/", "timer/", "platform/"] + PUBLIC_RUNTIME + GENERATED,
}
# The front-ends on top of ui/'s rule: each its own platform part, never the other front-end.
FRONT_ENDS = {"ui/qt/": ("platform/win32/", "ui/win32/"), "ui/win32/": ("platform/qt/", "ui/qt/")}


def allowed(folder, included):
    rule = max((f for f in RULES if folder.startswith(f)), key=len, default=None)
    if rule is None:
        return True  # tests, benchmarks and resources may reach anything
    for front_end, forbidden in FRONT_ENDS.items():
        if folder.startswith(front_end) and included.startswith(forbidden):
            return False
    for permitted in RULES[rule]:
        if included == permitted or (permitted.endswith("/") and included.startswith(permitted)):
            # platform/ itself may not reach its implementations' folders.
            if folder == "platform/" and included.startswith(("platform/qt/", "platform/win32/")):
                return False
            # platform/qt/ and platform/win32/ may not reach each other.
            if folder.startswith("platform/qt/") and included.startswith("platform/win32/"):
                return False
            if folder.startswith("platform/win32/") and included.startswith("platform/qt/"):
                return False
            return True
    return False


def broken_rules(root):
    """(file, line number, include) for every quoted include under ROOT that breaks a rule."""
    found = []
    for top in sorted(RULES):
        if top.count("/") > 1:
            continue
        for folder, dirs, files in os.walk(os.path.join(root, top)):
            dirs.sort()
            relative_folder = os.path.relpath(folder, root).replace(os.sep, "/") + "/"
            for name in sorted(files):
                if not name.endswith(SOURCE_SUFFIXES):
                    continue
                path = os.path.join(folder, name)
                with open(path, encoding="utf-8", errors="replace") as source:
                    for number, line in enumerate(source, 1):
                        match = QUOTED_INCLUDE.match(line)
                        if not match:
                            continue
                        included = match.group(1)
                        if "/" not in included and included not in GENERATED:
                            included = relative_folder + included  # beside the including file
                        if not allowed(relative_folder, included):
                            found.append((relative_folder + name, number, match.group(1)))
    return found


PLANTED = {
    "reader/A.cpp": '#include "reader/A.h"\n#include "onewire/Codes.h"\n'
                    '#include "onewire/Runtime.h"\n'  # bad: the runtime's insides
                    '#include "ui/Layout.h"\n',  # bad: reader/ reaches up into ui/
    "reader/A.h": '#include "B.h"\n',
    "onewire/X.cpp": '#include "onewire/X.h"\n#include "reader/tmexapi.h"\n',  # bad
    "ui/qt/Q.cpp": '#include "ui/Layout.h"\n#include "platform/qt/QtServices.h"\n'
                   '#include "ui/win32/Controls.h"\n',  # bad: the other front-end
    "ui/F.cpp": '#include "check/Report.h"\n',  # bad: the program never reaches the check
    "platform/P.cpp": '#include "platform/qt/QtServices.h"\n',  # bad: an implementation
    "timer/T.cpp": '#include "platform/Services.h"\n#include "ProgramVersionRecord.h"\n',  # bad
    "tests/t.cpp": '#include "ui/qt/QtViews.h"\n#include "onewire/Runtime.h"\n',
}
EXPECTED = {("reader/A.cpp", 3), ("reader/A.cpp", 4), ("onewire/X.cpp", 2), ("ui/qt/Q.cpp", 3),
            ("ui/F.cpp", 1), ("platform/P.cpp", 1), ("timer/T.cpp", 2)}


def self_check():
    with tempfile.TemporaryDirectory() as root:
        for name, text in PLANTED.items():
            os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
            with open(os.path.join(root, name), "w") as planted:
                planted.write(text)
        found = {(path, number) for path, number, _ in broken_rules(root)}
        if found != EXPECTED:
            print("include rules: the check itself is wrong: found %s, planted %s"
                  % (sorted(found), sorted(EXPECTED)))
            return False
    return True


def main(root):
    if not self_check():
        return 1
    broken = broken_rules(root)
    for path, number, included in broken:
        print('%s:%d: includes "%s", which its folder may not' % (path, number, included))
    if broken:
        print("include rules: %d includes break the house's rules (docs/development.md)"
              % len(broken))
        return 1
    print("include rules: every include keeps to the house's rules")
    return 0


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1])))

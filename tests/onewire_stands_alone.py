#!/usr/bin/env python3
"""Keeps the 1-Wire runtime a library of its own, as a stand-in for a vendor's DLL must be.

1. No file under onewire/ (sources, headers, bench, fuzz) includes with quotes a header that is
   not inside onewire/: "platform/...", "ui/...", "reader/...", "timer/...", "tests/...", or any
   quoted name that resolves nowhere in onewire/. Each one is named with its file and line.
2. A copy of onewire/ alone, in an empty folder, configures with CMake and builds the library.

Usage: onewire_stands_alone.py SOURCE_ROOT [CMAKE]   (CMAKE: the cmake to build with; without
it only the includes are checked)
Before the tree, the include check runs on a small tree of its own, where it must find exactly
the includes planted there.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

SOURCE_SUFFIXES = (".c", ".cc", ".cpp", ".cxx", ".h", ".hh", ".hpp", ".inc", ".inl", ".ipp")
QUOTED_INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def outside_includes(root):
    """(file, line number, name) for every quoted include under ROOT/onewire that does not
    resolve to a file inside ROOT/onewire, tried against the including file's folder and then
    against ROOT (the runtime's include folder)."""
    runtime = os.path.realpath(os.path.join(root, "onewire"))
    found = []
    for folder, dirs, files in os.walk(runtime):
        dirs.sort()
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
                    candidates = [os.path.join(folder, included), os.path.join(root, included)]
                    inside = any(
                        os.path.isfile(candidate)
                        and os.path.realpath(candidate).startswith(runtime + os.sep)
                        for candidate in candidates)
                    if not inside:
                        found.append((os.path.relpath(path, root), number, included))
    return found


# Includes the check must report (marked "bad") and must pass over, one of each kind.
PLANTED = {
    "onewire/A.h": '#pragma once\n#include <vector>\n#include "onewire/B.h"\n',
    "onewire/B.h": '#pragma once\n',
    "onewire/A.cpp": '#include "onewire/A.h"\n#include "B.h"\n'
                     '#include "platform/WindowsText.h"\n'  # bad: the program's
                     '  #  include "ui/Views.h"\n'  # bad, however spaced
                     '// #include "reader/Reader.h" in a comment\n'
                     '#include "onewire/Missing.h"\n',  # bad: resolves nowhere
    "onewire/bench/b.cpp": '#include "../A.h"\n#include "tests/onewire/Fake.h"\n',  # 2nd bad
    "onewire/fuzz/f.cpp": '#include "../../timer/Timer.h"\n',  # bad: climbs out
    "onewire/notes.txt": '#include "ui/Views.h"\n',  # no source file
    "platform/WindowsText.h": "", "ui/Views.h": "", "reader/Reader.h": "", "timer/Timer.h": "",
    "tests/onewire/Fake.h": "",
}
PLANTED_BAD = {
    ("onewire/A.cpp", 3, "platform/WindowsText.h"), ("onewire/A.cpp", 4, "ui/Views.h"),
    ("onewire/A.cpp", 6, "onewire/Missing.h"), ("onewire/bench/b.cpp", 2, "tests/onewire/Fake.h"),
    ("onewire/fuzz/f.cpp", 1, "../../timer/Timer.h"),
}


def self_check():
    """None when the check finds exactly the planted includes, else what it got wrong."""
    with tempfile.TemporaryDirectory() as root:
        for relative, text in PLANTED.items():
            path = os.path.join(root, relative)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w", encoding="utf-8") as planted:
                planted.write(text)
        found = set(outside_includes(root))
    if found != PLANTED_BAD:
        return "the include check is wrong on its own planted tree: missed %s, wrongly found %s" % (
            sorted(PLANTED_BAD - found), sorted(found - PLANTED_BAD))
    return None


def build_alone(root, cmake):
    """None when a copy of onewire/ alone configures and builds the library, else why not."""
    with tempfile.TemporaryDirectory() as scratch:
        copy = os.path.join(scratch, "source", "onewire")
        shutil.copytree(os.path.join(root, "onewire"), copy)
        build = os.path.join(scratch, "build")
        # Without debug information, which would only make this build slower.
        for step in ([cmake, "-S", copy, "-B", build, "-DCMAKE_BUILD_TYPE=Debug",
                      "-DCMAKE_CXX_FLAGS_DEBUG=-O0"],
                     [cmake, "--build", build, "-j2", "--target", "onewire"]):
            result = subprocess.run(step, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    text=True, check=False)
            if result.returncode != 0:
                return "onewire/ alone does not build (%s):\n%s" % (
                    " ".join(step[1:3]), result.stdout[-4000:])
        built = [name for name in os.listdir(build) if name.startswith("libonewire.so")]
        if not built:
            return "onewire/ alone built, but no libonewire.so in " + build
    return None


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    root = os.path.realpath(argv[1])
    wrong = self_check()
    if wrong:
        print(wrong)
        return 1
    outside = outside_includes(root)
    for path, number, included in outside:
        print('%s:%d: includes "%s", which is not inside onewire/' % (path, number, included))
    if outside:
        return 1
    if len(argv) == 3:
        wrong = build_alone(root, argv[2])
        if wrong:
            print(wrong)
            return 1
        print("onewire/ includes nothing from outside it and builds alone")
    else:
        print("onewire/ includes nothing from outside it")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/env python3
"""The Debian package end to end: packs the build with CPack, installs it with dpkg, runs the
installed program under an Xvfb of its own (read once -> clipboard) and the installed reader
check, then removes the package (only the conffile may stay) and purges it (nothing may stay).

Usage: package_deb.py BUILD_DIR INSTALL_PREFIX READER_CHECK
Needs root for dpkg; prints SKIPPED and exits 77 where it cannot run.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import e2e

PACKAGE = "quorna-fobit-reader"
CONFFILE = "/etc/onewire/onewire.conf"


def dpkg(*args):
    """dpkg, waiting while another dpkg or apt holds the lock."""
    deadline = time.monotonic() + 120
    while True:
        result = subprocess.run(["dpkg"] + list(args), capture_output=True, text=True)
        if result.returncode == 0 or "lock" not in result.stderr or time.monotonic() > deadline:
            return result
        time.sleep(2)


def status():
    result = subprocess.run(["dpkg-query", "-W", "-f=${Status}", PACKAGE], capture_output=True,
                            text=True)
    return result.stdout if result.returncode == 0 else "not-installed"


def check(condition, what):
    if not condition:
        raise e2e.Failure(what)


LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")


def broken_links(files):
    """The installed guide's relative links that lead to no installed file."""
    broken = []
    for document in (f for f in files if f.endswith(".md")):
        with open(document) as f:
            targets = LINK.findall(f.read())
        for target in targets:
            if re.match(r"^[a-z]+:", target) or target.startswith("#"):
                continue
            path = os.path.normpath(os.path.join(os.path.dirname(document), target.split("#")[0]))
            if path not in files:
                broken.append("%s links to %s" % (document, target))
    return broken


def run_installed(files, reader_check):
    program = "/usr/bin/" + PACKAGE
    check(program in files and "/usr/bin/" + reader_check in files, "programs not in /usr/bin")
    check(any(f.endswith("/quorna-fobit-reader/libonewire.so.1") for f in files),
          "no private libonewire.so.1")
    for name in ("/usr/share/applications/com.quorna.FobitReader.desktop",
                 "/usr/share/metainfo/com.quorna.FobitReader.metainfo.xml",
                 "/usr/share/icons/hicolor/48x48/apps/quorna-fobit-reader.png",
                 "/usr/share/man/man1/quorna-fobit-reader.1.gz", CONFFILE):
        check(name in files, name + " not installed")
    check("/usr/share/doc/%s/README.md" % PACKAGE in files, "no README installed")
    broken = broken_links(files)
    check(not broken, "the installed guide links to files not installed: %s" % broken)

    session = e2e.Session(program)
    try:
        # Nothing but the run path may lead the programs to the runtime.
        os.environ.pop("LD_LIBRARY_PATH", None)
        session.set_tokens([e2e.TOKEN_A])
        session.start_xvfb()
        listing = subprocess.run(["/usr/bin/" + reader_check], env=session.env(),
                                 capture_output=True, text=True, timeout=30)
        check(listing.returncode == 0 and e2e.TOKEN_A in listing.stdout,
              "installed reader check: %s %s" % (listing.returncode,
                                                 listing.stdout + listing.stderr))
        e2e.case_read_once(session)
    except e2e.Failure as failure:
        raise e2e.Failure("%s\nprogram output:\n%s" % (failure, session.log_of()))
    finally:
        session.close()


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    build, prefix, reader_check = sys.argv[1:]
    if prefix != "/usr":
        e2e.skip("the build's install prefix is %s, a package needs /usr" % prefix)
    if os.geteuid() != 0:
        e2e.skip("installing a package needs root")
    if status() != "not-installed":
        e2e.skip("%s is installed on this machine (%s); not touching it" % (PACKAGE, status()))

    out = tempfile.mkdtemp(prefix="quorna-deb-")
    try:
        packed = subprocess.run(["cpack", "-G", "DEB", "--config",
                                 os.path.join(build, "CPackConfig.cmake"), "-B", out],
                                capture_output=True, text=True)
        debs = [f for f in os.listdir(out) if f.endswith(".deb")]
        check(packed.returncode == 0 and len(debs) == 1, "cpack: " + packed.stdout + packed.stderr)
        deb = os.path.join(out, debs[0])
        check(debs[0].startswith(PACKAGE + "_1.3.17-1_"), "package file " + debs[0])

        installed = dpkg("-i", deb)
        check(installed.returncode == 0, "dpkg -i: " + installed.stderr)
        files = [line for line in dpkg("-L", PACKAGE).stdout.splitlines()
                 if os.path.lexists(line) and not os.path.isdir(line)]
        run_installed(files, reader_check)

        removed = dpkg("-r", PACKAGE)
        check(removed.returncode == 0, "dpkg -r: " + removed.stderr)
        check(status() == "deinstall ok config-files", "after remove: " + status())
        left = [f for f in files if os.path.lexists(f)]
        check(left == [CONFFILE], "left after remove: %s" % left)

        purged = dpkg("--purge", PACKAGE)
        check(purged.returncode == 0, "dpkg --purge: " + purged.stderr)
        check(status() == "not-installed", "after purge: " + status())
        left = [f for f in files if os.path.lexists(f)]
        check(not left, "left after purge: %s" % left)
    except e2e.Failure as failure:
        print("FAILED: %s" % failure, file=sys.stderr)
        return 1
    finally:
        if status() != "not-installed":
            dpkg("--purge", PACKAGE)
        shutil.rmtree(out, ignore_errors=True)
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())

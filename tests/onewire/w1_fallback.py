#!/usr/bin/env python3
"""The kernel route's fallback through the built library, at the driver's level: with the netlink
connector's socket refused (refuse_netlink preloaded, as a sandbox refuses it) every pass lists
the tokens of w1_master_slaves, never the adapter's 81 chip, and standard error says once why and
how slow that is. Without the preload, on a host whose kernel has no w1 bus master 1, a pass ends
within its budget either way. The VM cases run the same client against the real kernel.

Usage: w1_fallback.py W1_PASS_CLIENT LIBRARY REFUSE_NETLINK"""

import os
import subprocess
import sys
import tempfile

TOKEN = "014A2F0C00000002"
CHIP = "810000817E020076"


def fail(message):
    print("FAIL:", message)
    sys.exit(1)


def make_master(root):
    master = os.path.join(root, "w1_bus_master1")
    for name, rom in (("81-00007e810000", CHIP), ("01-0000000c2f4a", TOKEN)):
        os.makedirs(os.path.join(master, name))
        with open(os.path.join(master, name, "id"), "wb") as f:
            f.write(bytes.fromhex(rom))
    with open(os.path.join(master, "w1_master_slaves"), "w") as f:
        f.write("81-00007e810000\n01-0000000c2f4a\n")
    with open(os.path.join(master, "w1_master_timeout"), "w") as f:
        f.write("10\n")
    return master


def passes(client, library, settings, preload=None, count=3):
    env = dict(os.environ, ONEWIRE_CONF=settings)
    env.pop("LD_PRELOAD", None)
    if preload:
        env["LD_PRELOAD"] = preload
    result = subprocess.run([client, library, str(count)], env=env, capture_output=True,
                            text=True, timeout=30)
    if result.returncode != 0:
        fail("the client ended with %d: %s" % (result.returncode, result.stderr))
    lines = [line.split() for line in result.stdout.splitlines() if line.startswith("pass ")]
    if len(lines) != count:
        fail("expected %d passes, got %r" % (count, result.stdout))
    return lines, result.stderr


def main(client, library, preload):
    with tempfile.TemporaryDirectory(prefix="onewire-w1-fallback-") as root:
        master = make_master(root)
        settings = os.path.join(root, "onewire.conf")
        with open(settings, "w") as f:
            f.write("default = usb 1\nusb 1 = w1 %s\n" % master)

        lines, err = passes(client, library, settings, preload)
        for line in lines:
            if line[3] != "setup=1" or line[4:] != [TOKEN]:
                fail("refused netlink: a pass listed %r, not just the token" % line)
        said = [text for text in err.splitlines() if "w1_master_slaves" in text]
        if len(said) != 1:
            fail("refused netlink: expected one message about the slow route, got %r" % err)
        for words in ("Permission denied", "every 10 s", "about 100 s"):
            if words not in said[0]:
                fail("the fallback's message lacks %r: %s" % (words, said[0]))

        # The same with netlink allowed: this host's kernel has no bus master 1 to search (no w1
        # answers, or w1 without that master), and each pass still ends within its budget.
        lines, err = passes(client, library, settings)
        for line in lines:
            if CHIP in line:
                fail("the adapter's chip was listed: %r" % line)
            if float(line[2]) > 400:
                fail("a pass took %s ms" % line[2])
        if "does not answer" in err and any(line[4:] != [TOKEN] for line in lines):
            fail("no netlink here, yet the passes did not list w1_master_slaves: %r" % lines)
    print("ok: refused netlink falls back, said once; no adapter chip listed")


if __name__ == "__main__":
    if len(sys.argv) != 4:
        print(__doc__)
        sys.exit(2)
    main(*sys.argv[1:])

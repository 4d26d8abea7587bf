#!/usr/bin/env python3
"""The reader check end to end: its report and exit status for an adapter found with refused
devices, no settings at all, owserver's simulated bus refused and allowed, every mapped port, and
a scan that reports each change of the list, also when it empties.

Usage: reader_check.py CHECK_PROGRAM. Starts its own owserver on a free loopback port."""

import os
import re
import socket
import subprocess
import sys
import tempfile
import time

PATIENCE = 30.0


def fail(message):
    print("FAIL:", message)
    sys.exit(1)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def run(check, settings, *args):
    env = dict(os.environ, ONEWIRE_CONF=settings)
    result = subprocess.run([check, *args], env=env, capture_output=True, text=True,
                            timeout=PATIENCE)
    return result.returncode, result.stdout, result.stderr


def expect(output, *parts):
    for part in parts:
        if part not in output:
            fail("%r missing from:\n%s" % (part, output))


def start_owserver(folder):
    owfs = os.path.join(folder, "owfs.conf")
    open(owfs, "w").close()  # keeps the machine's /etc/owfs.conf out
    for _ in range(5):
        endpoint = "127.0.0.1:%d" % free_port()
        server = subprocess.Popen(["owserver", "-c", owfs, "--foreground", "-p", endpoint,
                                   "--tester=01,81"], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + PATIENCE
        while time.monotonic() < deadline and server.poll() is None:
            if subprocess.run(["owdir", "-s", endpoint, "/"], capture_output=True).returncode == 0:
                return server, endpoint
            time.sleep(0.1)
        server.kill()
        server.wait()
    fail("owserver would not start")


def main(check):
    folder = tempfile.mkdtemp(prefix="quorna-check-")
    settings = os.path.join(folder, "onewire.conf")
    reader = os.path.join(folder, "reader.txt")
    server, endpoint = start_owserver(folder)
    try:
        with open(reader, "w") as tokens:
            tokens.write("021CB801000000A2\n014A2F0C000000B7\n0000000000004046\n"
                         "810000817E020076\n")
        with open(settings, "w") as text:
            text.write("default = usb 1\nusb 1 = virtual reader.txt\n"
                       "usb 2 = owserver %s\nusb 3 = owserver %s simulated\n"
                       "com 1 = virtual absent.txt\n" % (endpoint, endpoint))

        code, out, _ = run(check, settings)
        if code != 0:
            fail("adapter found, exit %d:\n%s" % (code, out))
        if not re.search(r"^1-Wire library file: /\S+/libonewire\.so\.1$", out, re.M):
            fail("no full path of the bound runtime in:\n" + out)
        expect(out, "Settings file: " + settings, "Probe: adapter found on USB port 1",
               "Backend: virtual " + reader, "TMSetup: 1 = TMSetup returned error 1. No Error.",
               "021CB801000000A2  family 02  token, listed",
               "014A2F0C000000B7  family 01  refused: bad CRC (its CRC byte would be 02)",
               "0000000000004046  family 00  refused: family 00",
               "810000817E020076  family 81  refused: the adapter's own chip",
               "Tokens listed: 1", "Adapter found")

        code, out, _ = run(check, os.path.join(folder, "missing.conf"))
        if code != 2:
            fail("no settings, exit %d:\n%s" % (code, out))
        expect(out, "Settings file: none found; looked at:\n  " + folder + "/missing.conf",
               "Probe: no adapter found", "Port: USB port 1",
               "TMSetup: 3 = TMSetup returned error 3. MicroLan Drive Adapter not found",
               "Adapter not found")

        code, out, err = run(check, settings, "--all-ports")
        if code != 2:
            fail("--all-ports with two ports missing, exit %d:\n%s" % (code, out))
        expect(out, "Port: COM1", "Port: USB port 2", "Port: USB port 3",
               "Adapter: bus.0 \"Simulated-Computed\", simulated, refused",
               "01000001FE0000CB  family 01  refused: on simulated bus bus.0",
               "01000001FE0000CB  family 01  token, listed",
               "Adapter not found on COM1, USB port 2")
        if err.count("serves only bus.0 \"Simulated-Computed\"") != 1:
            fail("the simulated bus is not reported once:\n" + err)
        expect(err, "usb 2 = owserver %s simulated" % endpoint)

        # The scan reports each change, also the empty list; lines are awaited, not timed.
        with open(reader, "w") as tokens:
            tokens.write("021CB801000000A2\n")
        scan = subprocess.Popen([check, "--scan", "60"], env=dict(os.environ,
                                ONEWIRE_CONF=settings), stdout=subprocess.PIPE, text=True)
        try:
            steps = [("1 listed: 021CB801000000A2", ""),
                     ("none listed", "021CB801000000A2\n01000001FE0000CB\n"),
                     ("2 listed: 021CB801000000A2 01000001FE0000CB", None)]
            seen = []
            for wanted, then in steps:
                while True:
                    line = scan.stdout.readline()
                    if not line:
                        fail("scan ended before %r; seen %s" % (wanted, seen))
                    if " ms: " in line:
                        seen.append(line.split(" ms: ", 1)[1].strip())
                        if seen[-1] == wanted:
                            break
                        if len(seen) > 1 and seen[-1] == seen[-2]:
                            fail("a line without a change: %s" % seen)
                if then is not None:
                    with open(reader, "w") as tokens:
                        tokens.write(then)
        finally:
            scan.kill()
            scan.wait()
    finally:
        server.terminate()
        server.wait()
        subprocess.run(["rm", "-rf", folder])
    print("reader check: all cases passed")


if __name__ == "__main__":
    main(os.path.abspath(sys.argv[1]))

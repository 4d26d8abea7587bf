#!/usr/bin/env python3
"""The reader check end to end: its report and exit status for an adapter found with refused
devices, no settings at all, owserver's simulated bus refused and allowed, every mapped port, and
a scan that reports each change of the list, also when it empties; its arguments, its limit on
--all-ports, its advice, and the exit codes its help, the README and the manual page give.

With DS2480B_EMULATOR also a serial adapter, found and refused.

Usage: reader_check.py CHECK_PROGRAM SOURCE_DIR [DS2480B_EMULATOR]. Starts its own owserver on a
free loopback port, and the emulated serial adapter on a pseudo-terminal."""

import os
import re
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import commands  # noqa: E402,F401  (owserver and owdir looked up first; a missing one is named)

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


def exit_codes(text):
    return set(re.findall(r"\b(?:0|1|2|64)\b", text))


def check_arguments(check, settings, source):
    code, out, err = run(check, settings, "--help")
    if code != 0 or err or "usage: quorna-reader-check" not in out:
        fail("--help: exit %d, stdout %r, stderr %r" % (code, out, err))
    help_codes = exit_codes(out[out.index("Exit status:"):])
    with open(os.path.join(source, "docs", "readers.md")) as guide:
        text = guide.read()
        section = text[text.index("## The reader check"):]
        readme_codes = exit_codes(section[:section.index("\n## ")])
    with open(os.path.join(source, "packaging", "linux", "reader-check.1.in")) as manual:
        text = manual.read()
        manual_codes = exit_codes(text[text.index(".SH EXIT STATUS"):text.index(".SH FILES")])
    if not help_codes == readme_codes == manual_codes == {"0", "1", "2", "64"}:
        fail("exit codes: --help %s, docs/readers.md %s, manual page %s"
             % (help_codes, readme_codes, manual_codes))
    for bad in ("0x1", "1e-300", "-5", "+5", " 5", "5.", ".5", "inf", "nan", "", "86401", "0"):
        code, out, err = run(check, settings, "--scan", bad)
        if code != 64 or "plain decimal" not in err or out:
            fail("--scan %r: exit %d, stdout %r, stderr %r" % (bad, code, out, err))
    for bad in (["--scan"], ["--all"], ["extra"]):
        code, _, err = run(check, settings, *bad)
        if code != 64 or "usage:" not in err:
            fail("%s: exit %d, stderr %r" % (bad, code, err))


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


def check_serial(check, emulator_program, folder):
    """The serial device, its line speed, the DS2480B's answers, and why a port was refused."""
    settings = os.path.join(folder, "serial.conf")
    emulator = subprocess.Popen([emulator_program, "021CB801000000A2"], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True)
    try:
        device = emulator.stdout.readline().strip()
        with open(settings, "w") as text:
            text.write("default = com 2\ncom 2 = serial %s\ncom 3 = serial /dev/onewire-none\n"
                       % device)
        code, out, err = run(check, settings, "--all-ports")
        if code != 2:
            fail("serial, one port missing, exit %d:\n%s" % (code, out))
        expect(out, "Probe: adapter found on COM2", "Backend: serial " + device,
               "Adapter: DS2480B on serial port %s at 115200 baud, last 1-Wire reset: presence"
               % device,
               "    configuration 17 45 5B 0F 91 at 9600 baud answered 16 44 5A 00 93 (as a "
               "DS2480B does)",
               "    baud write 77 answered 76; at 115200 the baud read 0F answered 06",
               "021CB801000000A2  family 02  token, listed",
               "Port: COM3", "Backend: serial /dev/onewire-none",
               "Adapter: serial port /dev/onewire-none: refused: /dev/onewire-none: no such "
               "device (adapter unplugged?)",
               "Adapter not found on COM3")
        expect(err, "/dev/onewire-none: no such device")

        # Through the reader driver's scan: a lifted token leaves the list, though a serial
        # adapter has no ID chip of its own to keep the pass's device count up.
        scan = subprocess.Popen([check, "--scan", "60"], env=dict(os.environ,
                                ONEWIRE_CONF=settings), stdout=subprocess.PIPE, text=True)
        try:
            seen = []
            for wanted, then in [("1 listed: 021CB801000000A2", ""),
                                 ("none listed", "01000001FE0000CB"),
                                 ("1 listed: 01000001FE0000CB", None)]:
                while not seen or seen[-1] != wanted:
                    line = scan.stdout.readline()
                    if not line:
                        fail("serial scan ended before %r; seen %s" % (wanted, seen))
                    if " ms: " in line:
                        seen.append(line.split(" ms: ", 1)[1].strip())
                if then is not None:
                    emulator.stdin.write(then + "\n")
                    emulator.stdin.flush()
        finally:
            scan.kill()
            scan.wait()
    finally:
        emulator.terminate()
        emulator.wait()


def main(check, source, emulator_program=None):
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
        check_arguments(check, settings, source)
        if not re.search(r"^1-Wire library file: /\S+/libonewire\.so\.1$", out, re.M):
            fail("no full path of the bound runtime in:\n" + out)
        expect(out, "Settings file: " + settings, "Probe: adapter found on USB port 1",
               "Backend: virtual " + reader, "Set-up: 1: adapter found\n",
               "021CB801000000A2  family 02  token, listed",
               "014A2F0C000000B7  family 01  refused: bad CRC (its CRC byte would be 02)",
               "0000000000004046  family 00  refused: family 00",
               "810000817E020076  family 81  refused: the adapter's own chip",
               "Tokens listed: 1", "Adapter found")

        code, out, _ = run(check, os.path.join(folder, "missing.conf"))
        if code != 2:
            fail("no settings, exit %d:\n%s" % (code, out))
        expect(out, "Settings file: none found; looked at:\n  " + folder + "/missing.conf",
               "Probe: no adapter found", "Port: USB port 1", "Set-up: 3: adapter not found\n",
               "Adapter not found")
        # Unmapped ports are described alike with --all-ports.
        plain = out[out.index("Port: USB port 1"):]
        code, out, _ = run(check, os.path.join(folder, "missing.conf"), "--all-ports")
        if code != 2 or plain not in out:
            fail("no settings, --all-ports, exit %d:\n%s\nexpected:\n%s" % (code, out, plain))

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

        # A line that is no setting names every form, the default's too; an owserver that does
        # not answer gets advice about owserver; a scan shorter than a period still shows a pass.
        refused = free_port()
        with open(os.path.join(folder, "other.conf"), "w") as text:
            text.write("default = usb 1\nusb 1 = virtual reader.txt\nusb 2 = owserver "
                       "127.0.0.1:%d\nnonsense\n" % refused)
        code, out, err = run(check, os.path.join(folder, "other.conf"), "--all-ports",
                             "--scan", "0.1")
        expect(err, 'nonsense"; line ignored', 'expected "default = usb N" or "default = com N", '
               'or "usb N = " or "com N = "')
        expect(out, "Owserver does not answer at 127.0.0.1:%d: check that it runs" % refused,
               "ms: 1 listed: 021CB801000000A2", "Adapter not found on USB port 2")
        if "none listed" in out or "unplug" in out:
            fail("a short scan or owserver's advice:\n" + out)

        # --all-ports ends within its limit on ports that never answer (without it, 30 ports
        # would take some 14 s), and names those it did not reach.
        silent = socket.socket()
        silent.bind(("127.0.0.1", 0))
        silent.listen(64)  # never accepts: every exchange waits for its whole budget
        with open(os.path.join(folder, "silent.conf"), "w") as text:
            for number in range(1, 31):
                text.write("com %d = owserver 127.0.0.1:%d\n" % (number,
                                                                silent.getsockname()[1]))
        began = time.monotonic()
        code, out, _ = run(check, os.path.join(folder, "silent.conf"), "--all-ports")
        took = time.monotonic() - began
        silent.close()
        if code != 2 or took > 10 or "Not checked, the check's limit of 5 s being spent: " not in out:
            fail("--all-ports on 30 silent ports: exit %d after %.1f s:\n%s" % (code, took, out))
        if "COM30" not in out.split("Not checked")[1]:
            fail("the last port is not named as not checked:\n" + out)

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
        if emulator_program:
            check_serial(check, emulator_program, folder)
    finally:
        server.terminate()
        server.wait()
        subprocess.run(["rm", "-rf", folder])
    print("reader check: all cases passed")


if __name__ == "__main__":
    main(*[os.path.abspath(arg) for arg in sys.argv[1:4]])

#!/usr/bin/env python3
"""The DS2480B emulator cross-checked against a driver nobody here wrote: Debian's owserver,
pointed at the emulator's pseudo-terminal, must list exactly the emulator's ROMs through owdir,
and follow a change of the bus.

Usage: owserver_cross_check.py DS2480B_EMULATOR UART_FLUSH_LIBRARY
owserver runs with UART_FLUSH_LIBRARY preloaded: a pseudo-terminal's output flush would throw
away commands a serial port has already sent (uart_flush.c says more).
Starts and stops the emulator and owserver (on a free loopback port) itself.
"""

import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from e2e import free_tcp_port, rom_id as rom  # noqa: E402  (the ROM text, a free loopback port)

PATIENCE = 20.0


def listing(endpoint, path):
    """owserver's devices under path as 16-digit addresses, read from each device's own
    address property; None when owserver does not answer."""
    try:
        result = subprocess.run(["owdir", "-s", endpoint, path], capture_output=True, text=True,
                                timeout=10)
    except subprocess.TimeoutExpired:
        return None
    if result.returncode != 0:
        return None
    addresses = set()
    for entry in result.stdout.split():
        name = entry.rstrip("/").rsplit("/", 1)[-1]
        if len(name) == 15 and name[2] == ".":
            address = subprocess.run(["owread", "-s", endpoint, "%s/%s/address" % (path.rstrip("/"), name)],
                                     capture_output=True, text=True, timeout=10)
            addresses.add(address.stdout.strip())
    return addresses, result.stdout.split()


def wait_for(endpoint, path, expected, server):
    deadline = time.monotonic() + PATIENCE
    seen = None
    while time.monotonic() < deadline:
        if server.poll() is not None:
            raise SystemExit("FAILED: owserver ended (status %s)" % server.returncode)
        seen = listing(endpoint, path)
        if seen is not None and seen[0] == expected:
            return seen[1]
        time.sleep(0.2)
    raise SystemExit("FAILED: owserver lists %s under %s, expected %s"
                     % (seen and sorted(seen[0]), path, sorted(expected)))


def main():
    emulator_program, uart_flush = sys.argv[1], os.path.abspath(sys.argv[2])
    if not os.path.isfile(uart_flush):
        raise SystemExit("FAILED: no %s to preload into owserver" % uart_flush)
    tokens = [rom(0x01, 0x0C2F4A), rom(0x02, 0x01B81C), rom(0x01, 0x0C2F4B)]
    folder = tempfile.mkdtemp(prefix="onewire-owserver-ds2480b-")
    # An empty settings file of our own keeps /etc/owfs.conf out; owserver restarts itself
    # whenever the file it was given changes, which /dev/null does all the time.
    settings = os.path.join(folder, "owfs.conf")
    open(settings, "w").close()
    processes = []
    try:
        emulator = subprocess.Popen([emulator_program] + tokens, stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, text=True)
        processes.append(emulator)
        device = emulator.stdout.readline().strip()
        endpoint = "127.0.0.1:%d" % free_tcp_port()
        log = open(os.path.join(folder, "owserver.log"), "w")
        server = subprocess.Popen(["owserver", "-d", device, "--foreground", "-c", settings,
                                   "-p", endpoint], stdout=log, stderr=subprocess.STDOUT,
                                  env=dict(os.environ, LD_PRELOAD=uart_flush))
        processes.append(server)
        print("emulator on %s with %s; owserver on %s" % (device, " ".join(tokens), endpoint))
        # Uncached: each listing is a search of its own. owserver keeps a cached listing for a
        # while, so a first search that a loaded machine cut short would stand in for later ones.
        root = wait_for(endpoint, "/uncached", set(tokens), server)
        print("owdir -s %s /uncached:\n  %s" % (endpoint, "\n  ".join(root)))
        adapter = subprocess.run(["owread", "-s", endpoint, "/bus.0/interface/settings/name"],
                                 capture_output=True, text=True, timeout=10).stdout.strip()
        print("owserver's adapter: %s" % adapter)
        if adapter != "DS9097U":
            raise SystemExit("FAILED: owserver took the emulator for %r, not a DS9097U (DS2480B)"
                             % adapter)
        # A lifted token and a new one: owserver's uncached search follows the bus.
        changed = [tokens[1], rom(0x01, 0x123456)]
        emulator.stdin.write(" ".join(changed) + "\n")
        emulator.stdin.flush()
        wait_for(endpoint, "/uncached", set(changed), server)
        print("after the change, /uncached lists exactly %s" % " ".join(changed))
        print("passed")
    finally:
        for process in reversed(processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        log_path = os.path.join(folder, "owserver.log")
        if os.path.exists(log_path) and os.path.getsize(log_path):
            print("owserver said:\n" + open(log_path).read()[-2000:])
        subprocess.run(["rm", "-rf", folder])


if __name__ == "__main__":
    main()

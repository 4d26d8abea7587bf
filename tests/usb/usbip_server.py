#!/usr/bin/env python3
"""ds2490-usbip as a USB/IP client sees it, on loopback: the device list, an import, URBs on the
four endpoints (a search as the kernel's driver runs it), an unlinked pending read, the control
socket's bus changes and faults, an unplug and a second attach.

usage: usbip_server.py BUILD/ds2490-usbip
"""
import os
import socket
import struct
import subprocess
import sys
import tempfile
import unittest

SERVER = None
ADAPTER = bytes.fromhex("814C2D710E0000")
TOKEN = "014A2F0C00000002"


def crc8(data):
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8C if crc & 1 else crc >> 1
    return crc


class Client:
    """One USB/IP connection in URB mode."""

    def __init__(self, port, busid="1-1"):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.sock.sendall(struct.pack(">HHI", 0x0111, 0x8003, 0) + busid.encode().ljust(32, b"\0"))
        head = self.recv(8)
        _, code, status = struct.unpack(">HHI", head)
        if code != 0x0003:
            raise AssertionError("reply code %04x" % code)
        self.status = status
        self.record = self.recv(0x138) if status == 0 else b""
        self.seq = 0

    def recv(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise ConnectionError("closed")
            data += chunk
        return data

    def submit(self, ep, direction, length, setup=b"\0" * 8, data=b""):
        self.seq += 1
        head = struct.pack(">IIIIIIIIII", 1, self.seq, 0x10002, direction, ep, 0, length, 0,
                           0xFFFFFFFF, 0) + setup
        self.sock.sendall(head + data)
        return self.seq

    def reply(self):
        head = self.recv(48)
        command, seq = struct.unpack(">II", head[:8])
        status, actual = struct.unpack(">iI", head[0x14:0x1C])
        return command, seq, status, actual, head

    def transfer(self, ep, direction, length, setup=b"\0" * 8, data=b""):
        seq = self.submit(ep, direction, length, setup, data)
        command, rseq, status, actual, _ = self.reply()
        assert command == 3 and rseq == seq, (command, rseq, seq)
        payload = self.recv(actual) if direction == 1 and status == 0 else b""
        return status, payload

    def control(self, request_type, request, value, index, length=0, data=b""):
        setup = struct.pack("<BBHHH", request_type, request, value, index, length)
        direction = 1 if request_type & 0x80 else 0
        return self.transfer(0, direction, length, setup, data)

    def open(self):
        assert self.control(0x00, 9, 1, 0) == (0, b"")
        assert self.control(0x01, 11, 3, 0) == (0, b"")
        assert self.control(0x40, 0, 0, 0) == (0, b"")

    def search(self):
        assert self.transfer(2, 0, 8, data=b"\0" * 8) == (0, b"")
        assert self.control(0x40, 1, 0x49FD, 0x40F0)[0] == 0
        status, packet = self.transfer(1, 1, 32)
        assert status == 0 and len(packet) >= 16 and packet[8] & 0x20, packet
        status, data = self.transfer(3, 1, 128)
        assert status == 0
        return [data[i:i + 8].hex().upper() for i in range(0, len(data), 8)]


class UsbipServer(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.control_path = os.path.join(self.dir.name, "control")
        self.proc = subprocess.Popen(
            [SERVER, "--port", "0", "--control", self.control_path, TOKEN],
            stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().split()
        self.assertEqual(line[0], "ready")
        self.port = int(line[1])
        self.adapter = (ADAPTER + bytes([crc8(ADAPTER)])).hex().upper()

    def tearDown(self):
        self.proc.terminate()
        self.proc.wait(timeout=5)
        self.proc.stdout.close()
        self.dir.cleanup()

    def ctl(self, *words):
        out = subprocess.run([SERVER, "--send", self.control_path, *words], capture_output=True,
                             text=True, timeout=5)
        return out.stdout.strip()

    def test_device_list_and_descriptors(self):
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
            s.sendall(struct.pack(">HHI", 0x0111, 0x8005, 0))
            data = b""
            while True:
                chunk = s.recv(4096)
                if not chunk:
                    break
                data += chunk
        self.assertEqual(struct.unpack(">HHII", data[:12]), (0x0111, 0x0005, 0, 1))
        device = data[12:12 + 0x138]
        self.assertEqual(device[0x100:0x104], b"1-1\0")
        self.assertEqual(struct.unpack(">HH", device[0x12C:0x130]), (0x04FA, 0x2490))
        self.assertEqual(len(data), 12 + 0x138 + 4)
        # A wrong bus id is refused; the right one is imported, and only once at a time.
        self.assertEqual(Client(self.port, "9-9").status, 1)
        c = Client(self.port)
        self.assertEqual(c.status, 0)
        self.assertEqual(Client(self.port).status, 1)
        status, device = c.control(0x80, 6, 0x0100, 0, 18)
        self.assertEqual((status, device[8:12]), (0, bytes([0xFA, 0x04, 0x90, 0x24])))
        status, config = c.control(0x80, 6, 0x0200, 0, 255)
        self.assertEqual(status, 0)
        self.assertEqual(len(config), config[2] | config[3] << 8)
        # A string the device does not have: a stall.
        self.assertEqual(c.control(0x80, 6, 0x0301, 0x0409, 255)[0], -32)

    def test_search_bus_changes_and_faults(self):
        c = Client(self.port)
        c.open()
        self.assertEqual(sorted(c.search()), sorted([self.adapter, TOKEN]))
        self.assertEqual(self.ctl("add", "01000001FE0000CB"), "ok")
        self.assertEqual(self.ctl("remove", TOKEN), "ok")
        self.assertEqual(sorted(c.search()), sorted([self.adapter, "01000001FE0000CB"]))
        self.assertEqual(self.ctl("list"), "ok %s 01000001FE0000CB" % self.adapter)
        self.assertTrue(self.ctl("add", "XYZ").startswith("error"))
        self.assertTrue(self.ctl("stats").startswith("ok bus_us="))
        # A bulk read with nothing to read stays pending until it is unlinked.
        victim = c.submit(3, 1, 64)
        c.seq += 1
        c.sock.sendall(struct.pack(">IIIII", 2, c.seq, 0x10002, 0, 0) +
                       struct.pack(">I", victim) + b"\0" * 24)
        command, seq, status, _, _ = c.reply()
        self.assertEqual((command, seq, status), (4, c.seq, -104))
        # A stalled endpoint answers EPIPE until the host clears the halt.
        self.assertEqual(self.ctl("stall", "3"), "ok")
        self.assertEqual(c.control(0x40, 1, 0x0053, 0xFF)[0], 0)
        self.assertEqual(c.transfer(3, 1, 64)[0], -32)
        self.assertEqual(c.control(0x02, 1, 0, 0x83)[0], 0)
        self.assertEqual(c.transfer(3, 1, 64), (0, b"\xff"))
        # A shorted bus: the search finds nothing.
        self.assertEqual(self.ctl("short", "on"), "ok")
        assert c.transfer(2, 0, 8, data=b"\0" * 8) == (0, b"")
        self.assertEqual(c.control(0x40, 1, 0x49FD, 0x40F0)[0], 0)
        status, packet = c.transfer(1, 1, 32)
        self.assertEqual((status, packet[13], packet[16:]), (0, 0, b"\x02"))
        self.ctl("short", "off")
        # Unplugged: the connection drops; the device can be attached again, fresh.
        self.assertEqual(self.ctl("unplug"), "ok")
        with self.assertRaises(ConnectionError):
            c.reply()
        c = Client(self.port)
        self.assertEqual(c.status, 0)
        c.open()
        self.assertEqual(len(c.search()), 2)
        # Unplugged in the middle: the status read of a search never comes back.
        self.assertEqual(self.ctl("unplug-after", "3"), "ok")
        assert c.transfer(2, 0, 8, data=b"\0" * 8) == (0, b"")
        self.assertEqual(c.control(0x40, 1, 0x49FD, 0x40F0)[0], 0)
        c.submit(1, 1, 32)
        with self.assertRaises(ConnectionError):
            c.reply()
        self.assertIn("attaches=2", self.ctl("stats"))


if __name__ == "__main__":
    SERVER = sys.argv.pop(1)
    unittest.main()

#!/usr/bin/env python3
"""The Windows build (build-windows/ostrane.exe) under wine64, in a fresh
WINEPREFIX. Wine's wpcap.dll forwards to this machine's libpcap, so the
listing shows its devices under NPF names and captures really happen; those
tests need root, like any capture here.

    OSTRANE_EXE=path/to/ostrane.exe tests/windows/test_windows.py [-v]
"""

import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXE = os.path.abspath(os.environ.get("OSTRANE_EXE", os.path.join(ROOT, "build-windows", "ostrane.exe")))
WINE = shutil.which("wine64") or "/usr/lib/wine/wine64"
PREFIX = tempfile.mkdtemp(prefix="ostrane-wine-")
ENV = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all")
ROOT_ONLY = unittest.skipUnless(os.geteuid() == 0, "capturing needs root")


def run(*args, timeout=60):
    return subprocess.run([WINE, EXE, *args], env=ENV, capture_output=True, timeout=timeout)


def start(*args):
    return subprocess.Popen([WINE, EXE, *args], env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def windows_text(text):
    return text.replace("\n", "\r\n").encode()


def help_text():
    program = "Z:" + EXE.replace("/", "\\")
    return windows_text(
        "\nOstrane Capture Engine v1.0.0\nHigh-performance packet capture for network analysis.\n\n"
        f"Usage: {program} [options]\n\nOptions:\n"
        "  -i <interface>    Network interface to capture on\n"
        "  -f <filter>       BPF filter expression (e.g., \"tcp port 80\")\n"
        "  -s <snaplen>      Snapshot length in bytes (default: 65535)\n"
        "  -b <buffer_mb>    Capture buffer size in MB (default: 16)\n"
        "  -c <count>        Stop after N packets (0 = unlimited)\n"
        "  -l                List available interfaces and exit\n"
        "  -h                Show this help\n\nExamples:\n"
        f"  {program} -l\n  {program} -i eth0\n"
        f"  {program} -i eth0 -f \"tcp port 80\" | python3 ../python_analyzer/main.py\n\n")


def setUpModule():
    run("-h", timeout=300)  # wine builds the prefix on first use and says so on stderr


WINESERVER = os.path.join(os.path.dirname(WINE), "wineserver")


def tearDownModule():
    subprocess.run([WINESERVER, "-k"], env=ENV, check=False)
    shutil.rmtree(PREFIX, ignore_errors=True)


def loopback_device():
    listing = run("-l").stdout.decode()
    for entry in listing.split("║  [")[1:]:
        if "Status: UP (loopback)" in entry:
            return entry.split("] ", 1)[1].split("\r\n", 1)[0], entry
    raise AssertionError(f"no loopback device in:\n{listing}")


class CommandLine(unittest.TestCase):
    def test_help_and_missing_interface(self):
        shown = run("-h")
        self.assertEqual((shown.returncode, shown.stdout, shown.stderr), (0, b"", help_text()))
        missing = run()
        self.assertEqual(missing.returncode, 1)
        self.assertEqual(missing.stderr,
                         windows_text("[ERROR] No interface specified. Use -i <interface> or -l to list.\n\n")
                         + help_text())

    def test_listing_shows_the_loopback_npf_device(self):
        name, entry = loopback_device()
        self.assertTrue(name.startswith("\\Device\\NPF_{"), name)
        self.assertIn("║      Address: 127.0.0.1 / 255.0.0.0\r\n", entry)
        self.assertTrue(run("-l").stdout.startswith(windows_text("\n╔")))


@ROOT_ONLY
class Capture(unittest.TestCase):
    def setUp(self):
        self.device = loopback_device()[0]
        self.sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sink.bind(("127.0.0.1", 0))
        self.addCleanup(self.sink.close)
        self.filter = f"udp dst port {self.sink.getsockname()[1]}"

    def start_capture(self, *options):
        """Starts a capture on the loopback device and reads its stderr up to
        "Capture started" (the rest stays for communicate())."""
        for attempt in (1, 2):
            capture = start("-i", self.device, "-f", self.filter, *options)
            self.addCleanup(capture.kill)
            seen = b""
            while b"Capture started" not in seen:
                line = capture.stderr.readline()
                if not line:
                    break
                seen += line
            else:
                return capture
            capture.wait(timeout=30)
            # A process that wrote nothing at all never reached our code: wine
            # failed to launch it. Try once more; anything else is a failure.
            if seen or attempt == 2:
                self.fail(f"capture ended with status {capture.returncode} before starting: {seen!r}")

    def test_records_are_byte_exact_without_text_translation(self):
        count = 5
        payloads = [b"\n\r\n" * 40 + b"\r" + bytes([i]) + b"\n" for i in range(count + 5)]
        capture = self.start_capture("-c", str(count))
        time.sleep(0.5)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            for payload in payloads:
                sender.sendto(payload, self.sink.getsockname())
                time.sleep(0.01)
        stream, err = capture.communicate(timeout=30)
        self.assertEqual(capture.returncode, 0, err)
        offset, records = 0, []
        while offset < len(stream):
            magic, _, original, captured = struct.unpack_from("<4sdII", stream, offset)
            self.assertEqual(magic, b"PKT\0")
            records.append(stream[offset + 20:offset + 20 + captured])
            self.assertEqual(original, captured)
            offset += 20 + captured
        self.assertEqual(offset, len(stream))
        self.assertEqual([r[42:] for r in records], payloads[:count])
        self.assertIn(f"Bytes written:              {len(stream)}\r\n".encode(), err)

    def test_bad_filter(self):
        result = run("-i", self.device, "-f", "tcp port abc")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"\r\n[ERROR] BPF compilation failed for 'tcp port abc': unknown port 'abc'\r\n",
                      result.stderr)
        self.assertEqual(result.stdout, b"")

    def test_ctrl_c_reaches_the_capture(self):
        # Wine turns SIGINT into a console Ctrl+C event, which the runtime
        # hands to our handler on a thread of its own; a second one must not
        # kill the process while it reports.
        for interrupts in (1, 2):
            with self.subTest(interrupts=interrupts):
                capture = self.start_capture()
                for _ in range(interrupts):
                    capture.send_signal(signal.SIGINT)
                    time.sleep(0.05)
                _, err = capture.communicate(timeout=30)
                self.assertEqual(capture.returncode, 0, err)
                self.assertIn(b"[INFO] Capture complete.\r\n", err)
                # A console event still on its way must not reach the next
                # test's process: let this wineserver session end first.
                subprocess.run([WINESERVER, "-w"], env=ENV, timeout=60, check=False)


if __name__ == "__main__":
    unittest.main()

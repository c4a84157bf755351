#!/usr/bin/env python3
"""The Windows zip (OSTRANE_ZIP) unpacked into a fresh folder, its exe under wine64 in a fresh WINEPREFIX, where wine's
wpcap.dll forwards to this machine's libpcap (captures need root, as any capture here)."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests"))
from harness import ROOT_ONLY, Program, Sink, help_text, parse, report  # noqa: E402
WINE = shutil.which("wine64") or "/usr/lib/wine/wine64"
WINESERVER = os.path.join(os.path.dirname(WINE), "wineserver")
PREFIX = tempfile.mkdtemp(prefix="ostrane-wine-")
shutil.unpack_archive(os.environ["OSTRANE_ZIP"], PREFIX)  # ostrane-<version>-win64.zip, from make package-windows
EXE = os.path.join(PREFIX, os.path.basename(os.environ["OSTRANE_ZIP"])[:-4], "ostrane.exe")
os.environ.update(WINEPREFIX=PREFIX, WINEDEBUG="-all")
HELP = help_text("Z:" + EXE.replace("/", "\\")).replace("\n", "\r\n")


def run(*args, timeout=60):
    return subprocess.run([WINE, EXE, *args], capture_output=True, timeout=timeout)


def setUpModule():
    run("-h", timeout=300)  # wine builds the prefix on first use and says so on stderr


def tearDownModule():
    subprocess.run([WINESERVER, "-k"], check=False)
    shutil.rmtree(PREFIX, ignore_errors=True)


def loopback_device():
    listing = run("-l").stdout.decode()
    for entry in listing.split("║  [")[1:]:
        if "Status: UP (loopback)" in entry:
            return entry.split("] ", 1)[1].split("\r\n", 1)[0], entry
    raise AssertionError(f"no loopback device in:\n{listing}")


class CommandLine(unittest.TestCase):
    def test_zip_contents_help_missing_interface_and_listing(self):
        self.assertEqual(sorted(os.listdir(os.path.dirname(EXE))), ["LICENSE", "README-windows.txt", "README.md", "ostrane.exe"])
        shown, missing = run("-h"), run()
        self.assertEqual((shown.returncode, shown.stdout, shown.stderr.decode()), (0, b"", HELP))
        self.assertEqual((missing.returncode, missing.stderr.decode()),
                         (1, "[ERROR] No interface specified. Use -i <interface> or -l to list.\r\n\r\n" + HELP))
        name, entry = loopback_device()
        self.assertTrue(name.startswith("\\Device\\NPF_{"), name)
        self.assertIn("║      Address: 127.0.0.1 / 255.0.0.0\r\n", entry)


@ROOT_ONLY
class Capture(unittest.TestCase):
    def start(self, *options):
        """A capture on the loopback device, once it has started."""
        self.device, self.sink = loopback_device()[0], Sink(self)
        for attempt in (1, 2):
            capture = Program(self, [WINE, EXE, "-i", self.device, "-f", self.sink.filter, *options])
            if capture.wait_for("Capture started", 30):
                return capture
            # A process that wrote nothing at all never reached our code: wine
            # failed to launch it. Try once more; anything else is a failure.
            if capture.wait(5) is None or capture.text() or attempt == 2:
                self.fail(f"capture did not start: {capture.text()!r}")

    def test_records_are_byte_exact_and_ctrl_c_twice_ends_the_capture_with_them(self):
        # Wine turns SIGINT into a console Ctrl+C event, which the runtime hands to our handler on a
        # thread of its own; the second one must not kill the process while it reports.
        capture = self.start()
        time.sleep(0.5)
        payloads = [b"\n\r\n" * 40 + b"\r" + bytes([i]) + b"\n" for i in range(10)]
        for payload in payloads:
            self.sink.socket.sendto(payload, self.sink.socket.getsockname())
            time.sleep(0.01)
        time.sleep(0.3)
        for _ in range(2):
            capture.signal(signal.SIGINT)
            time.sleep(0.05)
        self.assertEqual(capture.wait(30), 0, capture.text())
        records, left = parse(capture.output())
        self.assertEqual(([frame[42:] for _, _, frame in records], left), (payloads, 0))
        self.assertEqual({len(frame) - original for _, original, frame in records}, {0})
        self.assertEqual(report(capture.text(), "Bytes written"), len(capture.output()))

if __name__ == "__main__":
    unittest.main()

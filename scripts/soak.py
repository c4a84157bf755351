#!/usr/bin/env python3
"""Soak test: a long capture on a veth pair between two network namespaces
that this script makes, with paced UDP traffic sent from the far end. Every
record is verified as it arrives; the capture's RSS and open descriptors are
sampled and must stay flat.

    sudo SOAK_SECONDS=180 scripts/soak.py [path/to/ostrane]

Traffic flows only between the two namespaces (198.18.0.0/30, the
benchmarking range) and ends by itself. Exit status 0 when everything held.
"""

import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "python_analyzer"))

from records import StreamError, read_records  # noqa: E402

PORT = 9999
RATE = int(os.environ.get("SOAK_RATE", "20000"))  # datagrams per second
SAMPLE_EVERY = 5.0
RSS_SLACK_KB = 1024

SENDER = r"""
import socket, struct, sys, time
rate, seconds, port = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
pad = bytes(56)
index, start = 0, time.monotonic()
while True:
    elapsed = time.monotonic() - start
    if elapsed >= seconds:
        break
    due = int(elapsed * rate)
    while index < due:
        s.sendto(struct.pack("<Q", index) + pad, ("198.18.0.1", port))
        index += 1
    time.sleep(0.001)
print(index)
"""

SINK = r"""
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("198.18.0.1", int(sys.argv[1])))
while True:
    s.recv(65536)
"""


def run(*command):
    subprocess.run(command, check=True)


class Namespaces:
    """Two namespaces joined by a veth pair; removed again whatever happens."""

    def __init__(self):
        tag = os.getpid() % 100000
        self.capture, self.sender = f"ostrane-soak-cap-{tag}", f"ostrane-soak-gen-{tag}"
        self.interface, self.peer = f"osk{tag}a", f"osk{tag}b"

    def __enter__(self):
        try:
            run("ip", "netns", "add", self.capture)
            run("ip", "netns", "add", self.sender)
            run("ip", "link", "add", self.interface, "netns", self.capture, "type", "veth",
                "peer", "name", self.peer, "netns", self.sender)
            for ns, dev, address in ((self.capture, self.interface, "198.18.0.1/30"),
                                     (self.sender, self.peer, "198.18.0.2/30")):
                run("ip", "-n", ns, "addr", "add", address, "dev", dev)
                run("ip", "-n", ns, "link", "set", dev, "up")
                run("ip", "-n", ns, "link", "set", "lo", "up")
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *_):
        for ns in (self.capture, self.sender):
            subprocess.run(["ip", "netns", "del", ns], stderr=subprocess.DEVNULL)


class Verifier(threading.Thread):
    """Reads the record stream; every record must be a UDP datagram of ours,
    in order, none repeated."""

    def __init__(self, stream):
        super().__init__(daemon=True)
        self.stream = stream
        self.records = self.bytes = 0
        self.last_index = -1
        self.problems = []

    def run(self):
        try:
            for record in read_records(self.stream):
                self.records += 1
                self.bytes += 20 + len(record.data)
                data = record.data
                if len(data) < 50 or data[12:14] != b"\x08\x00" or data[23] != 17:
                    self.problems.append(f"record {self.records} is not one of our datagrams")
                    continue
                index = int.from_bytes(data[42:50], "little")
                if index <= self.last_index:
                    self.problems.append(f"record {self.records}: datagram {index} after {self.last_index}")
                self.last_index = index
        except StreamError as error:
            self.problems.append(str(error))


def sample(pid):
    with open(f"/proc/{pid}/status") as status:
        rss = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
    return rss, len(os.listdir(f"/proc/{pid}/fd"))


def main():
    if os.geteuid() != 0:
        sys.exit("soak: needs root to make network namespaces and capture")
    binary = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "ostrane")
    seconds = float(os.environ.get("SOAK_SECONDS", "180"))
    warmup = min(30.0, seconds / 3)

    with Namespaces() as ns:
        in_capture_ns = ["ip", "netns", "exec", ns.capture]
        sink = subprocess.Popen(in_capture_ns + [sys.executable, "-c", SINK, str(PORT)])
        with tempfile.TemporaryFile("w+") as report:
            # `ip netns exec` execs the program, so this pid is the capture's own.
            capture = subprocess.Popen(in_capture_ns + [binary, "-i", ns.interface, "-f", f"udp dst port {PORT}"],
                                       stdout=subprocess.PIPE, stderr=report)
            try:
                verifier = Verifier(capture.stdout)
                verifier.start()
                time.sleep(1.0)
                sender = subprocess.Popen(["ip", "netns", "exec", ns.sender, sys.executable, "-c", SENDER,
                                           str(RATE), str(seconds), str(PORT)], stdout=subprocess.PIPE, text=True)
                samples, started = [], time.monotonic()
                while sender.poll() is None:
                    time.sleep(SAMPLE_EVERY)
                    rss, fds = sample(capture.pid)
                    samples.append((time.monotonic() - started, rss, fds))
                    print(f"soak: {samples[-1][0]:6.0f} s  records {verifier.records:>10}  "
                          f"RSS {rss} kB  fds {fds}", flush=True)
                sent = int(sender.stdout.read() or 0)
                time.sleep(1.0)  # the last ring block is released by the read timeout
                capture.send_signal(signal.SIGINT)
                capture.wait(timeout=30)
                verifier.join(timeout=30)
            finally:
                if capture.poll() is None:
                    capture.kill()
                sink.kill()
            report.seek(0)
            text = report.read()

    def value(label):
        return int(text.split(label)[1].split()[0])

    baseline = [s for s in samples if s[0] >= warmup] or samples
    rss_growth = samples[-1][1] - baseline[0][1]
    fds = {s[2] for s in samples}
    dropped, dispatched, written = value("dropped by kernel:"), value("dispatched:"), value("Bytes written:")
    print(f"soak: {seconds:.0f} s at {RATE}/s: sent {sent}, records {verifier.records}, kernel drops {dropped}")
    print(f"soak: RSS {baseline[0][1]} kB after warm-up, {samples[-1][1]} kB at the end ({rss_growth:+d} kB); "
          f"open descriptors {sorted(fds)}")

    failures = list(verifier.problems[:10])
    if capture.returncode != 0:
        failures.append(f"capture exited with status {capture.returncode}")
    if dispatched != verifier.records or written != verifier.bytes:
        failures.append(f"report says {dispatched} records / {written} bytes, "
                        f"the stream had {verifier.records} / {verifier.bytes}")
    if verifier.records + dropped < sent:
        failures.append(f"{sent - verifier.records - dropped} datagrams neither recorded nor counted as dropped")
    if rss_growth > RSS_SLACK_KB:
        failures.append(f"RSS grew by {rss_growth} kB after warm-up")
    if len(fds) != 1:
        failures.append(f"open descriptors changed: {sorted(fds)}")
    for failure in failures:
        print(f"soak: FAIL: {failure}")
    print("soak: PASS" if not failures else "soak: FAILED")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

"""What the tests that run a built program share: the record stream, the capture report, numbered
datagrams on loopback, and a program whose output is read while it runs (a full pipe would hold the
capture up and lose packets)."""

import os
import pty
import re
import socket
import struct
import subprocess
import threading
import time
import unittest

ROOT_ONLY = unittest.skipUnless(os.geteuid() == 0, "live capture needs root")


def help_text(program):
    return ("\nOstrane Capture Engine v1.0.0\nHigh-performance packet capture for network analysis.\n\n"
            f"Usage: {program} [options]\n\nOptions:\n"
            "  -i <interface>    Network interface to capture on (again for more)\n"
            "  -f <filter>       BPF filter expression (e.g., \"tcp port 80\")\n"
            "  -s <snaplen>      Snapshot length in bytes (default: 65535)\n"
            "  -b <buffer_mb>    Capture buffer size in MB (default: 16)\n"
            "  -c <count>        Stop after N packets (0 = unlimited)\n"
            "  -w <file>         Write pcap or pcapng, not the record stream (- for stdout)\n"
            "  -C <size>         With -w: a new file once one exceeds size million bytes\n"
            "  -G <seconds>      With -w: a new file every N seconds, named by strftime\n"
            "  -W <count>        With -C: a ring of N files; with -G: stop after N files\n"
            "  --pcapng          With -w: write pcapng (a name ending in .pcapng does too)\n"
            "  --time-stamp-precision <micro|nano>\n"
            "                    Timestamps in the files to the micro- or nanosecond\n"
            "  --micro           Same as --time-stamp-precision=micro (the default)\n"
            "  --nano            Same as --time-stamp-precision=nano\n"
            "  -z <command>      With -C or -G: run command FILE on each file it closes\n"
            "  -Q <in|out|inout>, --direction\n"
            "                    Only the packets received, sent, or both (default)\n"
            "  -p                Leave the interface out of promiscuous mode (default: on)\n"
            "  -q                Quiet: only warnings, errors and the final report\n"
            "  -l                List available interfaces and exit\n"
            "  -h, --help        Show this help\n"
            "  --version         Show the version\n\nExamples:\n"
            f"  {program} -l\n  {program} -i eth0 -c 100 > packets.bin\n"
            f"  {program} -i eth0 -f \"tcp port 80\" | ostrane-analyzer\n"
            f"  {program} -i eth0 -w trace.pcap\n  {program} -i eth0 -w ring.pcap -C 100 -W 10\n"
            f"  {program} -i eth0 -w trace.pcapng --nano\n\n"
            "Standard output must be a file or a pipe, not a terminal. The reader\n"
            "ostrane-analyzer is python3 python_analyzer/main.py in a source tree.\n\n")


PCAP_HEADER = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1)  # lo's link type, the default snap length


def pcapng_blocks(stream):
    """The whole blocks of a pcapng file as (type, options, block), each checked to end with its length, and the
    bytes after them. Options are by code, for the blocks that the file's first ones describe."""
    blocks, offset = [], 0
    while len(stream) - offset >= 12:
        kind, length = struct.unpack_from("<II", stream, offset)
        if offset + length > len(stream):
            break
        block = bytes(stream[offset:offset + length])
        assert length % 4 == 0 and struct.unpack_from("<I", block, length - 4)[0] == length, f"block at {offset}"
        options, at = {}, {0x0A0D0D0A: 24, 1: 16, 5: 20}.get(kind, length)
        while at < length - 4 and struct.unpack_from("<H", block, at)[0] != 0:
            code, size = struct.unpack_from("<HH", block, at)
            options[code], at = block[at + 4:at + 4 + size], at + 4 + (size + 3) // 4 * 4
        blocks.append((kind, options, block))
        offset += length
    return blocks, len(stream) - offset


def parse(stream):
    """The whole records of a record stream, a pcap or a pcapng file as (timestamp, original length, frame), and
    the bytes after them."""
    if stream[:4] == b"\n\r\r\n":
        blocks, left = pcapng_blocks(stream)
        units = [10 ** options.get(9, b"\6")[0] for kind, options, _ in blocks if kind == 1]
        stamp = lambda seconds, fraction, per_second: seconds + fraction / per_second  # as a pcap's
        return [(stamp(*divmod(high << 32 | low, units[interface]), units[interface]), original,
                 block[28:28 + captured]) for kind, _, block in blocks if kind == 6
                for interface, high, low, captured, original in [struct.unpack_from("<5I", block, 8)]], left
    nano = stream[:4] == struct.pack("<I", 0xA1B23C4D)
    pcap = stream[:4] == PCAP_HEADER[:4] or nano
    assert not pcap or stream[4:24] == PCAP_HEADER[4:], stream[:24]
    records, offset, size = [], 24 if pcap else 0, 16 if pcap else 20
    while len(stream) - offset >= size:
        if pcap:
            seconds, fraction, captured, original = struct.unpack_from("<IIII", stream, offset)
            stamp = seconds + fraction / (1e9 if nano else 1e6)
        else:
            magic, stamp, original, captured = struct.unpack_from("<4sdII", stream, offset)
            assert magic == b"PKT\0", f"bad record magic at byte {offset}"
        if offset + size + captured > len(stream):
            break
        records.append((stamp, original, bytes(stream[offset + size:offset + size + captured])))
        offset += size + captured
    return records, len(stream) - offset


def report(err, label):
    found = re.search(re.escape(label) + r":\s+(\d+)", err)
    return int(found.group(1)) if found else None


def screen(text):
    """What a terminal shows for `text`: a carriage return goes back to the start of the line."""
    lines = []
    for line in text.replace("\r\n", "\n").split("\n"):
        shown = ""
        for part in line.split("\r"):
            shown = part + shown[len(part):]
        lines.append(shown.rstrip(" "))
    return "\n".join(lines)


def until(predicate, seconds=10.0):
    end = time.monotonic() + seconds
    while not predicate() and time.monotonic() < end:
        time.sleep(0.005)
    return predicate()


class Sink:
    """A UDP port on 127.0.0.1 with a socket bound to it, so that datagrams sent there draw no ICMP."""

    def __init__(self, test):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        test.addCleanup(self.socket.close)
        self.socket.bind(("127.0.0.1", 0))
        self.filter = f"udp dst port {self.socket.getsockname()[1]}"
        self.sent = 0

    def send(self, count, size=100, gap=0.001, seconds=30.0, until=lambda: False, to="127.0.0.1"):
        """Up to `count` datagrams to the port on `to`, `gap` s apart, for at most `seconds` or until until();
        each starts with its number (u64 LE), counted on across calls."""
        end = time.monotonic() + seconds
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            sender.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
            sender.connect((to, self.socket.getsockname()[1]))
            for i in range(count):
                if i % 16 == 0 and (until() or time.monotonic() > end):
                    break
                sender.send(struct.pack("<Q", self.sent).ljust(size, b"d"))
                self.sent += 1
                if gap:
                    time.sleep(gap)


class Program:
    """`args` run with stdin on /dev/null and stderr read while it runs. Its
    stdout goes to the file `out`, or is closed (out="closed"), or by default
    is a pipe read like stderr: `chunk` bytes per read, `pause` s apart (a pause
    ends when the program does), closed after `limit` bytes, stopping once for
    hold[1] s after hold[0] bytes; `nonblocking` sets O_NONBLOCK on the writing
    end. `terminal` puts stderr on a pseudo-terminal (and stdout too with
    out="terminal"), whose name is then `terminal`."""

    def __init__(self, test, args, out=None, chunk=65536, pause=0.0, limit=None, nonblocking=False, terminal=False,
                 hold=(float("inf"), 0), **popen):
        self.out, self.stream, self.err, self.readers = out, bytearray(), bytearray(), []
        err_read, err_write = pty.openpty() if terminal else os.pipe()
        self.terminal = os.ttyname(err_write) if terminal else None
        if out == "terminal":  # stdout on the same terminal as stderr
            stdout = os.dup(err_write)
        elif out is None:
            out_read, stdout = os.pipe()
            os.set_blocking(stdout, not nonblocking)
        else:
            stdout = None if out == "closed" else os.open(out, os.O_WRONLY | os.O_CREAT, 0o600)
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=stdout, stderr=err_write,
                                        preexec_fn=(lambda: os.close(1)) if out == "closed" else None, **popen)
        test.addCleanup(lambda: self.process.poll() is None and (self.process.kill(), self.process.wait()))
        for fd in (err_write, stdout):
            if fd is not None:
                os.close(fd)
        self.read(err_read, self.err, 65536, 0.0, None)
        if out is None:
            self.read(out_read, self.stream, chunk, pause, limit, hold)

    def read(self, fd, into, chunk, pause, limit, hold=(float("inf"), 0)):
        def run():
            held = False
            while limit is None or len(into) < limit:
                until(lambda: self.process.poll() is not None, pause)
                if len(into) >= hold[0] and not held:
                    held = time.sleep(hold[1]) or True
                try:
                    data = os.read(fd, chunk if limit is None else min(chunk, limit - len(into)))
                except OSError:  # EIO: a pseudo-terminal's other side has closed
                    data = b""
                if not data:
                    break
                into.extend(data)
            os.close(fd)
        self.readers.append(threading.Thread(target=run, daemon=True))
        self.readers[-1].start()

    def text(self):
        return self.err.decode(errors="replace")

    def output(self):
        """What the program has written to its stdout."""
        if self.out is None or not os.path.isfile(self.out):  # /dev/full, a closed stdout: nothing to read
            return bytes(self.stream)
        with open(self.out, "rb") as f:
            return f.read()

    def wait_for(self, text, seconds=10.0):
        return until(lambda: text in self.text(), seconds)

    def signal(self, sig):
        self.process.send_signal(sig)

    def wait(self, seconds):
        """The exit status (negative: the signal that ended it), or None if it still runs."""
        try:
            status = self.process.wait(seconds)
        except subprocess.TimeoutExpired:
            return None
        for reader in self.readers:
            reader.join(10)
        return status

"""The stream reader: decoding, malformed streams, pcap export and the live pipeline."""

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

HERE = os.path.dirname(os.path.abspath(__file__))
ANALYZER = os.path.dirname(HERE)
MAIN = os.path.join(ANALYZER, "main.py")
sys.path.insert(0, ANALYZER)

from decode import decode  # noqa: E402
from pcapfile import split_timestamp  # noqa: E402
from records import Record  # noqa: E402
from summary import Summary  # noqa: E402


def ip4(text):
    return socket.inet_pton(socket.AF_INET, text)


def ip6(text):
    return socket.inet_pton(socket.AF_INET6, text)


def ethernet(ethertype, payload, vlan=None):
    tag = struct.pack("!HH", 0x8100, vlan) if vlan is not None else b""
    return bytes.fromhex("020000000002") + bytes.fromhex("020000000001") + tag + struct.pack("!H", ethertype) + payload


def ipv4(protocol, payload, src="10.0.0.1", dst="10.0.0.2", fragment=0):
    return struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), 1, fragment, 64, protocol, 0,
                       ip4(src), ip4(dst)) + payload


def ipv6(next_header, payload, src="fe80::1", dst="ff02::1"):
    return struct.pack("!IHBB16s16s", 0x60000000, len(payload), next_header, 64, ip6(src), ip6(dst)) + payload


def tcp(sport, dport, flags, payload=b"", seq=1000, ack=0):
    return struct.pack("!HHIIBBHHH", sport, dport, seq, ack, 0x50, flags, 65535, 0, 0) + payload


def udp(sport, dport, payload):
    return struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload


def record(frame, timestamp=1700000000.5, original=None):
    return struct.pack("<4sdII", b"PKT\0", timestamp, original or len(frame), len(frame)) + frame


def analyze(stream, *args):
    return subprocess.run([sys.executable, MAIN, *args], input=stream, capture_output=True, timeout=60)


class Decoding(unittest.TestCase):
    def test_golden_lines(self):
        hop_by_hop = struct.pack("!BB6x", 58, 0)
        cases = [
            (ethernet(0x0800, ipv4(6, tcp(40000, 80, 0x02))),
             "TCP", "IPv4 10.0.0.1:40000 > 10.0.0.2:80 TCP [SYN] seq=1000 ack=0 len=0"),
            (ethernet(0x0800, ipv4(6, tcp(80, 40000, 0x18, b"hello", seq=7, ack=9))),
             "TCP", "IPv4 10.0.0.1:80 > 10.0.0.2:40000 TCP [PSH,ACK] seq=7 ack=9 len=5"),
            (ethernet(0x0800, ipv4(17, udp(53, 5353, b"abcd")), vlan=100),
             "UDP", "VLAN 100 IPv4 10.0.0.1:53 > 10.0.0.2:5353 UDP len=4"),
            (ethernet(0x0800, ipv4(1, bytes([8, 0, 0, 0, 0, 1, 0, 1]))),
             "ICMP", "IPv4 10.0.0.1 > 10.0.0.2 ICMP type=8 code=0 (echo-request)"),
            (ethernet(0x86DD, ipv6(0, hop_by_hop + bytes([128, 0, 0, 0, 0, 1, 0, 1])), vlan=7),
             "ICMPv6", "VLAN 7 IPv6 fe80::1 > ff02::1 ICMPv6 type=128 code=0 (echo-request)"),
            (ethernet(0x86DD, ipv6(17, udp(1, 2, b""), src="2001:db8::1", dst="2001:db8::2")),
             "UDP", "IPv6 [2001:db8::1]:1 > [2001:db8::2]:2 UDP len=0"),
            (ethernet(0x0806, struct.pack("!HHBBH6s4s6s4s", 1, 0x0800, 6, 4, 1, bytes(6), ip4("192.0.2.1"),
                                          bytes(6), ip4("192.0.2.2"))),
             "ARP", "ARP who-has 192.0.2.2 tell 192.0.2.1"),
            (ethernet(0x0800, ipv4(47, b"gre!")), "IP proto 47", "IPv4 10.0.0.1 > 10.0.0.2 proto=47"),
            (ethernet(0x0800, ipv4(17, b"later", fragment=100)),
             "IPv4", "IPv4 10.0.0.1 > 10.0.0.2 UDP fragment offset=800"),
            (ethernet(0x88CC, b"lldp"), "0x88cc", "Ethernet 02:00:00:00:00:01 > 02:00:00:00:00:02 type 0x88cc"),
        ]
        for frame, protocol, text in cases:
            with self.subTest(text=text):
                decoded = decode(frame)
                self.assertEqual(decoded.text, text)
                self.assertEqual(decoded.protocol, protocol)
                self.assertFalse(decoded.truncated)

    def test_truncated_frames_decode_as_far_as_they_go(self):
        frame = ethernet(0x0800, ipv4(6, tcp(40000, 80, 0x02)))
        for size, text in [(40, "IPv4 10.0.0.1 > 10.0.0.2 TCP [truncated]"), (20, "IPv4 [truncated]"),
                           (6, "Ethernet [truncated]"), (0, "Ethernet [truncated]")]:
            with self.subTest(size=size):
                decoded = decode(frame[:size])
                self.assertTrue(decoded.truncated)
                self.assertEqual(decoded.text, text)

    def test_conversations_ignore_direction(self):
        there = decode(ethernet(0x0800, ipv4(17, udp(1000, 53, b""), "10.0.0.1", "10.0.0.2")))
        back = decode(ethernet(0x0800, ipv4(17, udp(53, 1000, b""), "10.0.0.2", "10.0.0.1")))
        self.assertEqual(there.conversation, back.conversation)

    def test_timestamps_round_to_the_microsecond_with_carry(self):
        self.assertEqual(split_timestamp(1700000000.1234564), (1700000000, 123456))
        self.assertEqual(split_timestamp(1700000000.9999996), (1700000001, 0))
        self.assertEqual(split_timestamp(float("nan")), (0, 0))


class FastPath(unittest.TestCase):
    """The inline decoding of common frames against the general decoder, on
    every shape it takes, the shapes next to them, every cut of each, and
    timestamps that round, carry or cannot be represented."""

    def frames(self):
        options = struct.pack("!BBHHHBBH4s4s4s", 0x46, 0, 32 + 8, 1, 0, 64, 17, 0, ip4("10.0.0.1"), ip4("10.0.0.2"),
                              b"\x01\x01\x01\x00") + udp(1, 2, b"")
        shapes = [
            ethernet(0x0800, ipv4(6, tcp(40000, 80, 0x12, b"x" * 30))),
            ethernet(0x0800, ipv4(17, udp(53, 5353, b"abcd"))),
            ethernet(0x86DD, ipv6(6, tcp(1, 2, 0x18, b"y" * 10))),
            ethernet(0x86DD, ipv6(17, udp(1, 2, b"zz"))),
            ethernet(0x0800, options),
            ethernet(0x0800, ipv4(17, udp(1, 2, b"q"), fragment=5)),
            ethernet(0x0800, ipv4(17, udp(1, 2, b"q"), fragment=0x2000)),  # more fragments, offset 0
            ethernet(0x86DD, ipv6(0, struct.pack("!BB6x", 17, 0) + udp(1, 2, b"zz"))),
            ethernet(0x0800, ipv4(6, tcp(1, 2, 0xFF)), vlan=3),
            ethernet(0x0800, ipv4(1, bytes([0, 0, 0, 0]))),
        ]
        # Lengths in the headers that disagree with the frame.
        shapes.append(shapes[0][:16] + b"\x00\x10" + shapes[0][18:])
        shapes.append(shapes[1][:38] + b"\x00\x03" + shapes[1][40:])
        stamps = [1700000000.5, 1700000000.9999996, 4294967295.9999999, 2.0 ** 32, -1.0, float("nan"), 0.0]
        for number, frame in enumerate(shapes):
            for size in range(len(frame) + 1):
                yield frame[:size], stamps[(number + size) % len(stamps)], len(frame) + number % 2

    def test_lines_and_summary_equal_the_general_decoder(self):
        frames = list(self.frames())
        stream = b"".join(record(frame, stamp, original) for frame, stamp, original in frames)
        expected, summary = [], Summary()
        for index, (frame, stamp, original) in enumerate(frames, 1):
            seconds, micros = split_timestamp(stamp)
            local = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(seconds))
            expected.append(f"{index} {stamp:.6f} {local}.{micros:06d} {len(frame)}/{original} {decode(frame).text}")
            summary.add(Record(stamp, original, frame), decode(frame, with_text=False))
        self.assertEqual(analyze(stream).stdout.decode().splitlines(), expected)
        self.assertEqual(analyze(stream, "--summary").stdout.decode().splitlines(), list(summary.lines()))


class Streams(unittest.TestCase):
    udp_frame = ethernet(0x0800, ipv4(17, udp(40000, 5000, b"x" * 18)))  # 60 bytes: an 80-byte record

    def test_malformed_streams_report_the_offset_after_the_good_records(self):
        good = record(self.udp_frame)
        cases = [
            (good + b"XKT\0" + good[4:], "bad record magic 584b5400 (expected 504b5400) at byte offset 80"),
            (good + good[:11], "stream ends inside a record header (11 of 20 bytes) at byte offset 80"),
            (good + good[:50], "stream ends inside a packet (30 of 60 bytes) at byte offset 80"),
        ]
        for stream, message in cases:
            with self.subTest(message=message):
                result = analyze(stream)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stderr.decode(), f"main.py: {message}\n")
                self.assertEqual(result.stdout.decode().count("\n"), 1)
                self.assertIn("UDP len=18", result.stdout.decode())

    def test_empty_stream_and_summary(self):
        result = analyze(b"", "--summary")
        self.assertEqual((result.returncode, result.stdout), (0, b"Total: 0 packets, 0 bytes captured (0 bytes on the wire)\n"))

        other = ethernet(0x0800, ipv4(6, tcp(1, 2, 0x10, b"y" * 100), "10.0.0.3", "10.0.0.4"))
        stream = record(self.udp_frame, 10.0) + record(self.udp_frame, 11.0, 1514) + record(other, 12.0)
        lines = analyze(stream, "--summary").stdout.decode().splitlines()
        self.assertEqual(lines[0], "Total: 3 packets, 274 bytes captured (1728 bytes on the wire)")
        self.assertRegex(lines[2], r"^  UDP +2 +66\.7%$")
        self.assertRegex(lines[5], r"^  10\.0\.0\.1:40000 <-> 10\.0\.0\.2:5000 UDP +2 packets +1574 bytes$")
        self.assertEqual(lines[-1], "Duration: 2.000000 s, 1.5 packets/s, 864.0 bytes/s on the wire")

    def test_pcap_export_reads_back(self):
        stream = record(self.udp_frame, 1700000000.9999996) + record(self.udp_frame[:40], 1700000001.25, 60)
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "out.pcap")
            self.assertEqual(analyze(stream, "--summary", "--pcap", path).returncode, 0)
            with open(path, "rb") as f:
                data = f.read()
            self.assertEqual(struct.unpack_from("<IHHiIII", data), (0xA1B2C3D4, 2, 4, 0, 0, 262144, 1))
            self.assertEqual(struct.unpack_from("<IIII", data, 24), (1700000001, 0, 60, 60))
            self.assertEqual(data[40:100], self.udp_frame)
            self.assertEqual(struct.unpack_from("<IIII", data, 100), (1700000001, 250000, 40, 60))
            self.assertEqual(len(data), 156)
            if shutil.which("tcpdump"):
                shown = subprocess.run(["tcpdump", "-nn", "-r", path], capture_output=True, text=True, timeout=30)
                self.assertEqual(shown.returncode, 0, shown.stderr)
                self.assertEqual(shown.stdout.count("10.0.0.1.40000 > 10.0.0.2.5000: UDP, length 18"), 1)
                self.assertEqual(len(shown.stdout.splitlines()), 2)

    def test_pcap_on_stdout_cuts_records_to_the_snaplen(self):
        big = ethernet(0x88B5, b"b" * 262200)
        pcap = analyze(record(self.udp_frame) + record(big), "--pcap", "-").stdout
        self.assertEqual(struct.unpack_from("<IIII", pcap, 100)[2:], (262144, len(big)))
        self.assertEqual(len(pcap), 100 + 16 + 262144)
        if shutil.which("tcpdump"):
            shown = subprocess.run(["tcpdump", "-nn", "-r", "-"], input=pcap, capture_output=True, timeout=30)
            self.assertEqual(shown.returncode, 0, shown.stderr)
            self.assertEqual(len(shown.stdout.splitlines()), 2)

    def test_linux_cooked_frames_read_as_ethernet_get_one_hint(self):
        cooked = struct.pack("!HHH8sH", 0, 772, 6, bytes(8), 0x0800) + ipv4(17, udp(1, 2, b"hi"))
        hint = ("main.py: these frames look like Linux cooked captures (ostrane -i any); "
                "decode them with --linktype 113\n")
        cases = [([cooked] * 4, [], hint), ([cooked] * 4, ["--summary"], hint), ([cooked] * 4, ["--linktype", "113"], ""),
                 ([self.udp_frame] + [cooked] * 3, [], ""), ([cooked] * 2, [], "")]
        for frames, options, expected in cases:
            with self.subTest(options=options, frames=len(frames)):
                result = analyze(b"".join(record(frame) for frame in frames), *options)
                self.assertEqual((result.returncode, result.stderr.decode()), (0, expected))

    def test_closed_stdout_ends_quietly(self):
        stream = record(self.udp_frame) * 20000
        shell = f"{sys.executable} {MAIN} | head -n 1"
        result = subprocess.run(["sh", "-c", shell], input=stream, capture_output=True, timeout=60)
        self.assertEqual(result.stdout.decode().count("\n"), 1)
        self.assertEqual(result.stderr, b"")


BINARY = os.environ.get("OSTRANE_BINARY", "")


@unittest.skipUnless(os.geteuid() == 0 and os.path.exists(BINARY), "live capture needs root and the built binary")
class LivePipeline(unittest.TestCase):
    def setUp(self):
        self.sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sink.bind(("127.0.0.1", 0))
        self.addCleanup(self.sink.close)
        self.port = self.sink.getsockname()[1]

    def start(self, *options):
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        self.report = os.path.join(scratch.name, "report")
        open(self.report, "w").close()
        capture = f"{BINARY} -i lo -f 'udp dst port {self.port}' {' '.join(options)} 2>{self.report}"
        # A session of its own, so that SIGINT can go to the whole pipeline as from a terminal.
        pipeline = subprocess.Popen(["sh", "-c", f"{capture} | {sys.executable} {MAIN} --summary"],
                                    stdout=subprocess.PIPE, start_new_session=True)
        self.addCleanup(lambda: pipeline.poll() is None and os.killpg(pipeline.pid, signal.SIGKILL))
        deadline = time.monotonic() + 10
        while "Capture started" not in self.read_report() and time.monotonic() < deadline:
            time.sleep(0.02)
        return pipeline

    def read_report(self):
        with open(self.report) as f:
            return f.read()

    def send(self, count):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            for i in range(count):
                sender.sendto(b"datagram %d" % i, ("127.0.0.1", self.port))
                time.sleep(0.001)

    def test_count_limited_capture(self):
        pipeline = self.start("-c", "10")
        self.send(30)
        out, _ = pipeline.communicate(timeout=20)
        self.assertEqual(pipeline.returncode, 0)
        self.assertTrue(out.decode().startswith("Total: 10 packets, "), out)

    def test_ctrl_c_keeps_the_last_records_and_the_summary(self):
        pipeline = self.start()
        self.send(200)
        time.sleep(0.3)
        os.killpg(pipeline.pid, signal.SIGINT)
        out, _ = pipeline.communicate(timeout=20)
        report = self.read_report()
        dispatched = int(report.split("Packets dispatched:")[1].split()[0])
        self.assertGreater(dispatched, 0, report)
        self.assertTrue(out.decode().startswith(f"Total: {dispatched} packets, "), out)


if __name__ == "__main__":
    unittest.main()

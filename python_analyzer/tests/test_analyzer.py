"""The stream reader: decoding, its fast path, JSON, malformed streams and pcap export."""

import itertools
import json
import math
import os
import pty
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import tracemalloc
import unittest

ANALYZER = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ANALYZER)

from decode import decode  # noqa: E402
from containers import open_capture  # noqa: E402
from fastpath import summarise  # noqa: E402
from pcapfile import split_timestamp  # noqa: E402
from records import Record, StreamError  # noqa: E402
from summary import Summary  # noqa: E402


def ethernet(ethertype, payload, vlan=None):
    tag = struct.pack("!HH", 0x8100, vlan) if vlan is not None else b""
    return bytes.fromhex("020000000002020000000001") + tag + struct.pack("!H", ethertype) + payload


def ipv4(protocol, payload, src="10.0.0.1", dst="10.0.0.2", fragment=0):
    return struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), 1, fragment, 64, protocol, 0,
                       socket.inet_aton(src), socket.inet_aton(dst)) + payload


def ipv6(next_header, payload, src="fe80::1", dst="ff02::1"):
    return struct.pack("!IHBB16s16s", 0x60000000, len(payload), next_header, 64,
                       socket.inet_pton(socket.AF_INET6, src), socket.inet_pton(socket.AF_INET6, dst)) + payload


def tcp(sport, dport, flags, payload=b"", seq=1000, ack=0, header=0x50):
    return struct.pack("!HHIIBBHHH", sport, dport, seq, ack, header, flags, 65535, 0, 0) + payload


def udp(sport, dport, payload):
    return struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload


def record(frame, timestamp=1700000000.5, original=None):
    return struct.pack("<4sdII", b"PKT\0", timestamp, original or len(frame), len(frame)) + frame


def pcap_file(packets, order="<", nano=False, linktype=1):
    """A classic pcap of (frame, seconds, microseconds) packets."""
    scale = 1000 if nano else 1
    return struct.pack(order + "IHHiIII", 0xA1B23C4D if nano else 0xA1B2C3D4, 2, 4, 0, 0, 262144, linktype) + b"".join(
        struct.pack(order + "IIII", seconds, micros * scale, len(frame), len(frame)) + frame
        for frame, seconds, micros in packets)


def pcapng_block(order, kind, body):
    body += bytes(-len(body) % 4)
    return struct.pack(order + "II", kind, len(body) + 12) + body + struct.pack(order + "I", len(body) + 12)


def pcapng_file(packets, order="<", interfaces=((1, 6),), names=()):
    """A pcapng section of (frame, seconds, microseconds[, interface]) packets
    (an interface of None: a Simple Packet Block); interfaces are (link type,
    if_tsresol as a power of ten[, if_tsoffset]), named by `names` (None: no name)."""
    blocks = [pcapng_block(order, 0x0A0D0D0A, struct.pack(order + "IHHq", 0x1A2B3C4D, 1, 0, -1))]
    for (linktype, resolution, *offset), name in itertools.zip_longest(interfaces, names):
        name = (name or "").encode()
        options = struct.pack(order + "HH", 2, len(name)) + name + bytes(-len(name) % 4) if name else b""
        options += struct.pack(order + "HHB3x", 9, 1, resolution) + b"".join(
            struct.pack(order + "HHq", 14, 8, seconds) for seconds in offset)
        blocks.append(pcapng_block(order, 1, struct.pack(order + "HHI", linktype, 0, 0) + options + bytes(4)))
    blocks.append(pcapng_block(order, 0x0BAD, b""))  # a block the reader does not know, as short as any
    for frame, seconds, micros, *interface in packets:
        if interface == [None]:
            blocks.append(pcapng_block(order, 3, struct.pack(order + "I", len(frame)) + frame))
            continue
        interface = (interface or [0])[0]
        _, resolution, *offset = interfaces[min(interface, len(interfaces) - 1)]
        units = ((seconds - sum(offset)) * 10**6 + micros) * 10 ** resolution // 10**6
        blocks.append(pcapng_block(order, 6, struct.pack(order + "IIIII", interface, units >> 32, units & 0xFFFFFFFF,
                                                         len(frame), len(frame)) + frame))
    return b"".join(blocks)


MAIN = [sys.executable, os.path.join(ANALYZER, "main.py")]


def framed(stream, pieces=(1 << 20,)):
    """The records the containers hand on from `stream`, read in pieces of
    these sizes in turn, and the message of the fault that ended them."""
    sizes, at, found = itertools.cycle(pieces), [0], []

    def read(_, size):
        piece = stream[at[0]:at[0] + min(size, next(sizes))]
        at[0] += len(piece)
        return piece
    try:
        for data, linktype, frames, interfaces in open_capture(None, 1, read)[1]:
            names = interfaces if type(interfaces) is list else [interfaces] * len(frames)
            found += [(linktype, repr(ts), orig, cap, data[start:end], name)
                      for (ts, orig, cap, start, end), name in zip(frames, names)]
    except StreamError as error:
        return found, str(error)
    return found, None


def analyze(stream, *args):
    return subprocess.run(MAIN + list(args), input=stream, capture_output=True, timeout=60)


UDP_FRAME = ethernet(0x0800, ipv4(17, udp(40000, 5000, b"x" * 18)))  # 60 bytes: an 80-byte record


def assert_json_shows_the_text(test, stream, *args):
    """The same records in both modes: the columns alike, and every value the
    JSON decodes where the text line shows it, in the same order (in decimal or hex)."""
    lines, objects = analyze(stream, *args).stdout.decode().splitlines(), analyze(stream, "--json", *args).stdout
    objects = [json.loads(line) for line in objects.splitlines()]
    test.assertEqual(len(objects), len(lines))
    for line, obj in zip(lines, objects):
        index, stamp, day, clock, lengths, text = line.split(" ", 5)
        shown = (str(obj.pop("index")), obj.pop("time") or "????-??-?? ??:??:??.??????",
                 f"{obj.pop('captured_length')}/{obj.pop('original_length')}", obj.pop("truncated"),
                 stamp if obj["timestamp"] is None and stamp in ("nan", "inf", "-inf") else f"{obj.pop('timestamp'):.6f}")
        test.assertEqual(shown, (index, f"{day} {clock}", lengths, text.endswith("[truncated]"), stamp), line)
        for key in ("timestamp", "linktype", "protocol", "undecoded"):
            obj.pop(key, None)
        at = 0
        for key, values in obj.items():
            for value in [v for v in (values if isinstance(values, list) else [values]) if type(v) in (int, str)]:
                forms = [re.escape(str(value))] + ([f"0x0*{value:x}"] if isinstance(value, int) else [])
                shown = re.compile(rf"(?<![\w.])({'|'.join(forms)})(?![\w.])").search(text, at)
                test.assertTrue(shown, (key, value, line, at))
                at = shown.end()


class Reader(unittest.TestCase):
    def test_golden_lines(self):
        syn = ethernet(0x0800, ipv4(6, tcp(40000, 80, 0x02)))
        arp = struct.pack("!HHBBH6s4s6s4s", 1, 0x0800, 6, 4, 1, bytes(6), socket.inet_aton("192.0.2.1"), bytes(6),
                          socket.inet_aton("192.0.2.2"))
        cooked_vlan = struct.pack("!HHH8sHHH", 0, 1, 6, bytes(8), 0x8100, 5, 0x0800) + ipv4(17, udp(1, 2, b""))

        def zero_length(packet):
            return packet[:4] + b"\0\0" + packet[6:]

        def jumbo(protocol, transport, pad):  # payload length 0, the length in a Hop-by-Hop option after a Pad1, or
            options = struct.pack("!BBBI7B", 0, 0xC2, 4, 16 + len(transport) + 79900, 1, 5, 0, 0, 0, 0, 0) if pad \
                else struct.pack("!BBI", 0xC2, 4, 8 + len(transport) + 79900)  # filling the header to its end
            return ethernet(0x86DD, zero_length(ipv6(0, struct.pack("!BB", protocol, pad) + options + transport)))
        cases = [
            (syn, "TCP", "IPv4 10.0.0.1:40000 > 10.0.0.2:80 TCP [SYN] seq=1000 ack=0 len=0"),
            (ethernet(0x0800, ipv4(6, tcp(1, 2, 0x10, header=0x40))),
             "TCP", "IPv4 10.0.0.1:1 > 10.0.0.2:2 TCP bad header length 16"),
            (ethernet(39, bytes.fromhex("42420300000202") + bytes(32)), "STP", "STP 802.1w RST"),
            (ethernet(36, bytes.fromhex("aaaa030000000800") + ipv4(17, udp(1, 2, b""))),
             "UDP", "SNAP IPv4 10.0.0.1:1 > 10.0.0.2:2 UDP len=0"),
            (cooked_vlan, "UDP", "VLAN 5 IPv4 10.0.0.1:1 > 10.0.0.2:2 UDP len=0", 113),
            (ethernet(0x0800, ipv4(132, udp(2905, 2906, b"data"))), "SCTP", "IPv4 10.0.0.1:2905 > 10.0.0.2:2906 SCTP"),
            (ethernet(0x86DD, ipv6(135, bytes(16))), "IP proto 135", "IPv6 fe80::1 > ff02::1 proto=135"),
            (ethernet(0x0800, b"\x65" + ipv4(17, b"")[1:]), "IPv4", "IPv4 bad version 6"),
            (ethernet(0x0800, ipv4(17, udp(1, 2, b"abcdef")[:10])), "UDP", "IPv4 10.0.0.1:1 > 10.0.0.2:2 UDP len=2"),
            (ethernet(0x0800, ipv4(1, b"c\x00")), None, "IPv4 10.0.0.1 > 10.0.0.2 ICMP type=99 code=0 [truncated]"),
            (ethernet(0x0800, ipv4(6, tcp(80, 40000, 0x18, b"hello", seq=7, ack=9))),
             "TCP", "IPv4 10.0.0.1:80 > 10.0.0.2:40000 TCP [PSH,ACK] seq=7 ack=9 len=5"),
            (ethernet(0x0800, ipv4(17, udp(53, 5353, b"abcd")), vlan=100),
             "UDP", "VLAN 100 IPv4 10.0.0.1:53 > 10.0.0.2:5353 UDP len=4"),
            (ethernet(0x0800, ipv4(1, bytes([8, 0, 0, 0, 0, 1, 0, 1]))),
             "ICMP", "IPv4 10.0.0.1 > 10.0.0.2 ICMP type=8 code=0 (echo-request)"),
            (ethernet(0x86DD, ipv6(0, struct.pack("!BB6x", 58, 0) + bytes([128, 0, 0, 0, 0, 1, 0, 1])), vlan=7),
             "ICMPv6", "VLAN 7 IPv6 fe80::1 > ff02::1 ICMPv6 type=128 code=0 (echo-request)"),
            (ethernet(0x86DD, ipv6(17, udp(1, 2, b""), src="2001:db8::1", dst="2001:db8::2")),
             "UDP", "IPv6 [2001:db8::1]:1 > [2001:db8::2]:2 UDP len=0"),
            (ethernet(0x0806, arp), "ARP", "ARP who-has 192.0.2.2 tell 192.0.2.1"),
            (ethernet(0x0800, ipv4(47, b"gre!")), "IP proto 47", "IPv4 10.0.0.1 > 10.0.0.2 proto=47"),
            (ethernet(0x0800, ipv4(17, b"later", fragment=100)),
             "IPv4", "IPv4 10.0.0.1 > 10.0.0.2 UDP fragment offset=800"),
            (ethernet(0x88CC, b"lldp"), "0x88cc", "Ethernet 02:00:00:00:00:01 > 02:00:00:00:00:02 type 0x88cc"),
            (jumbo(6, tcp(1, 2, 0x10, b"z" * 100), 1), "TCP", "IPv6 [fe80::1]:1 > [ff02::1]:2 TCP [ACK] seq=1000 ack=0 len=80000"),
            (jumbo(17, struct.pack("!HHHH", 1, 2, 0, 0) + b"z" * 100, 0), "UDP", "IPv6 [fe80::1]:1 > [ff02::1]:2 UDP len=80000"),
            # Without a Jumbo Payload option, a payload length of 0 gives no length: not a PadN's bytes, nor a
            # jumbo option of the wrong size.
            (ethernet(0x86DD, zero_length(ipv6(0, struct.pack("!BBBBI", 17, 0, 1, 4, 80) + udp(1, 2, b"z" * 100)))),
             "UDP", "IPv6 [fe80::1]:1 > [ff02::1]:2 UDP len=0"),
            (ethernet(0x86DD, zero_length(ipv6(0, struct.pack("!BBBBHBB", 17, 0, 0xC2, 2, 80, 1, 0) + udp(1, 2, b"")))),
             "UDP", "IPv6 [fe80::1]:1 > [ff02::1]:2 UDP len=0"),
            (ipv4(17, udp(1, 2, b"")), "UDP", "IPv4 10.0.0.1:1 > 10.0.0.2:2 UDP len=0", 228),
            (ipv6(17, udp(1, 2, b"")), "UDP", "IPv6 [fe80::1]:1 > [ff02::1]:2 UDP len=0", 229),
            (b"\x1e\0\0\0" + ipv6(17, udp(1, 2, b"")), "UDP", "IPv6 [fe80::1]:1 > [ff02::1]:2 UDP len=0", 0),  # macOS
            (b"\0\0\0\x02" + ipv4(1, bytes([8, 0, 0, 0, 0, 1, 0, 1])), "ICMP",
             "IPv4 10.0.0.1 > 10.0.0.2 ICMP type=8 code=0 (echo-request)", 108),
            (b"\x07\0\0\0", "family 7", "loopback family 7", 0),
            (b"\x30", "IP version 3", "unknown IP version 3", 101),
            (b"\x50" + bytes(39), "IP version 5", "unknown IP version 5", 101),
            (syn[:50], None, "IPv4 10.0.0.1:40000 > 10.0.0.2:80 TCP [truncated]"),  # 16 of 20 TCP header bytes
            (syn[:20], None, "IPv4 [truncated]"),
            (syn[:6], None, "Ethernet [truncated]"),
        ]
        for frame, protocol, text, *linktype in cases:
            with self.subTest(text=text):
                decoded = decode(frame, *linktype)
                self.assertEqual((decoded.text, decoded.truncated), (text, protocol is None))
                if protocol:
                    self.assertEqual(decoded.protocol, protocol)
        for linktype in ([], [113], [101], [0], [108], [228], [229]):
            stream = b"".join(record(frame) for frame, _, _, *rest in cases if rest == linktype)
            assert_json_shows_the_text(self, stream, "--linktype", str((linktype or [1])[0]))

    def test_fast_path_prints_and_sums_what_the_general_decoder_does(self):
        """On every shape it decodes inline, the shapes next to them, every cut
        of each, and timestamps that round, carry or cannot be represented."""
        options = struct.pack("!BBHHHBBH4s4s4s", 0x46, 0, 40, 1, 0, 64, 17, 0, socket.inet_aton("10.0.0.1"),
                              socket.inet_aton("10.0.0.2"), b"\x01\x01\x01\x00") + udp(1, 2, b"")
        shapes = [
            ethernet(0x0800, ipv4(6, tcp(40000, 80, 0x12, b"x" * 30))),
            ethernet(0x0800, ipv4(17, udp(53, 5353, b"abcd"))),
            ethernet(0x86DD, ipv6(6, tcp(1, 2, 0x18, b"y" * 10))),
            ethernet(0x86DD, ipv6(17, udp(1, 2, b"zz"))),
            ethernet(0x0800, options),
            ethernet(0x0800, ipv4(17, udp(1, 2, b"q"), fragment=5)),
            ethernet(0x0800, ipv4(17, udp(1, 2, b"q"), fragment=0x1000)),  # only the offset's highest bit
            ethernet(0x0800, ipv4(17, udp(1, 2, b"q"), fragment=0x2000)),  # more fragments, offset 0
            ethernet(0x86DD, ipv6(0, struct.pack("!BB6x", 17, 0) + udp(1, 2, b"zz"))),
            ethernet(0x0800, ipv4(6, tcp(1, 2, 0xFF)), vlan=3),
            ethernet(0x0800, ipv4(1, bytes(4))),
            ethernet(0x0800, ipv4(17, udp(5353, 53, b""), "10.0.0.2", "10.0.0.1")),  # the reverse of a flow above
            ethernet(0x0800, ipv4(6, tcp(1, 2, 0x18, bytes(4) + b"o", header=0x60))),  # options, cut at every byte
            ethernet(0x0800, ipv4(6, tcp(1, 2, 0x10, header=0x40))),
            ethernet(0x86DD, b"\x40" + ipv6(17, udp(1, 2, b"zz"))[1:]),
            ethernet(0x11DD, ipv6(17, udp(1, 2, b"zz"))),  # an IPv6 packet behind an EtherType that only ends alike
            ethernet(0x8600, ipv6(17, udp(1, 2, b"zz"))),
            ethernet(0x0800, ipv4(17, udp(1, 2, b"abcdef")[:10])),
        ]
        # Lengths in the headers that disagree with the frame.
        shapes += [shapes[0][:16] + b"\x00\x10" + shapes[0][18:], shapes[1][:38] + b"\x00\x03" + shapes[1][40:]]
        stamps = [float("nan"), 1700000000.5, 1700000000.9999996, 4294967295.9999999, 2.0 ** 32, -1.0, 0.0,
                  float("inf"), 1e303]
        frames = [(frame[:size], stamps[(number + size) % len(stamps)], len(frame) + number % 2)
                  for number, frame in enumerate(shapes) for size in range(len(frame) + 1)]
        expected, objects, summary = [], [], Summary()
        for number, (frame, stamp, original) in enumerate(frames, 1):
            seconds, micros = split_timestamp(stamp)
            local = None if seconds is None else \
                time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(seconds)) + f".{micros:06d}"
            expected.append(f"{number} {stamp:.6f} {local or '????-??-?? ??:??:??.??????'} {len(frame)}/{original} "
                            f"{decode(frame).text}")
            objects.append(dict(index=number, timestamp=stamp if math.isfinite(stamp) else None, time=local,
                                captured_length=len(frame), original_length=original, linktype=1,
                                **decode(frame, with_fields=True).fields))
            summary.add(Record(stamp, original, frame), decode(frame, with_text=False))
        stream = b"".join(record(*frame) for frame in frames)
        self.assertEqual(analyze(stream).stdout.decode().splitlines(), expected)
        self.assertEqual([json.loads(line) for line in analyze(stream, "--json").stdout.splitlines()], objects)
        assert_json_shows_the_text(self, stream)
        self.assertEqual(analyze(stream, "--summary").stdout.decode().splitlines(), list(summary.lines()))

    def test_summary(self):
        result = analyze(b"", "--summary")
        self.assertEqual((result.returncode, result.stdout), (0, b"Total: 0 packets, 0 bytes captured (0 bytes on the wire)\n"))
        self.assertEqual(json.loads(analyze(b"", "--summary", "--json").stdout)["traffic"], None)
        reply = ethernet(0x0800, ipv4(17, udp(5000, 40000, b"x" * 18), "10.0.0.2", "10.0.0.1"))
        other = ethernet(0x0800, ipv4(6, tcp(0, 2, 0x10, b"y" * 100), "10.0.0.3", "10.0.0.4"))
        stream = record(UDP_FRAME, float("nan")) + record(UDP_FRAME, 10.0) + record(reply, 11.0, 1514) + record(other, 12.0)
        lines = analyze(stream, "--summary").stdout.decode().splitlines()
        self.assertEqual(lines[0], "Total: 4 packets, 334 bytes captured (1788 bytes on the wire)")
        self.assertRegex(lines[2], r"^  UDP +3 +75\.0%$")
        self.assertRegex(lines[5], r"^  10\.0\.0\.1:40000 <-> 10\.0\.0\.2:5000 UDP +3 packets +1634 bytes$")
        self.assertEqual(lines[-12], "Duration: 2.000000 s, 2.0 packets/s, 894.0 bytes/s on the wire")
        document = json.loads(analyze(stream, "--summary", "--json").stdout)
        self.assertEqual((document["wire_bytes"], document["protocols"], document["conversations"], document["duration"],
                          document["traffic"]["bytes"][::20]), (1788, {"UDP": 3, "TCP": 1}, [
            {"protocol": "UDP", "a": "10.0.0.1", "a_port": 40000, "b": "10.0.0.2", "b_port": 5000, "packets": 3, "bytes": 1634},
            {"protocol": "TCP", "a": "10.0.0.3", "a_port": 0, "b": "10.0.0.4", "b_port": 2, "packets": 1, "bytes": 154}],
            2.0, [60, 1514, 154]))
        # Timestamps at the extremes: only usable ones (a finite number of
        # microseconds) make the duration, rates are given where they are finite,
        # and the JSON never carries NaN or Infinity.
        inf = float("inf")
        for stamps, duration, rates in [
            ([1e303], "unknown (no packet has a usable timestamp)", None),
            ([1700000000, -1e303], "0.000000 s (all packets share one timestamp; no rates)", None),
            ([inf, -inf, float("nan")], "unknown (no packet has a usable timestamp)", None),
            ([0.0, 5e-324], "4.94e-324 s (too short for rates)", None),
            ([1700000000, 1700000010, inf], "10.000000 s, 0.3 packets/s, 18.0 bytes/s on the wire", 0.3),
            ([0.0, 1000.0], "1000.000000 s, 0.002 packets/s, 0.1 bytes/s on the wire", 0.002),
            ([-1e300, 1e300], "2e+300 s, 1e-300 packets/s, 6e-299 bytes/s on the wire", 1e-300),
            ([1700000000.5, 1699999999.9999995], "0.500000 s, 4.0 packets/s, 240.0 bytes/s on the wire",  # the lowest
             2 / (1700000000.5 - 1699999999.9999995)),  # double that shows its microsecond, after a later record
        ]:
            with self.subTest(stamps=stamps):
                stream = b"".join(record(b"", stamp, 60) for stamp in stamps)
                result = analyze(stream, "--summary")
                self.assertEqual((result.returncode, result.stderr), (0, b""))
                self.assertIn(f"Duration: {duration}", result.stdout.decode().splitlines())
                document = json.loads(analyze(stream, "--summary", "--json").stdout, parse_constant=self.fail)
                self.assertEqual(document["packets_per_second"], rates)

    def test_traffic_over_time_of_one_instant_and_of_a_long_capture(self):
        instant = record(UDP_FRAME) * 3 + record(UDP_FRAME, float("-inf"))
        self.assertRegex(analyze(instant, "--summary").stdout.decode().splitlines()[-1],
                         r"^Traffic over time: one instant, 3 packets and 180 bytes within 1 µs at 20\d\d-.*\.500000$")
        # Three seconds a millisecond apart, a burst, and the bins merged tenfold four times on the way.
        stamps = [1700000000.0005 + i / 1000 for i in range(3050)] + [1700000001.55] * 100 + [float("nan")]
        stream = b"".join(record(UDP_FRAME, stamp) for stamp in stamps)
        lines = analyze(stream, "--summary").stdout.decode().splitlines()[-11:]
        self.assertRegex(lines[0], r"^Traffic over time: 31 intervals of 100 ms from 20\d\d-.*:20\.000000$")
        self.assertEqual([len(line) for line in lines[1:]], [56] * 4 + [len(lines[5])] + [56] * 4 + [len(lines[10])])
        self.assertRegex(lines[5], r"^ {39}\^ 200 packets at .*:21\.500000$")
        traffic = json.loads(analyze(stream, "--summary", "--json").stdout)["traffic"]
        self.assertEqual((traffic["interval"], traffic["start"], traffic["packets"][15], sum(traffic["packets"]),
                          max(traffic["bytes"])), (0.1, 1700000000.0, 200, 3150, 200 * 60))
        # Counted by the microsecond each record shows: 700 records 1 µs apart are 20 in each 20 µs.
        stream = b"".join(record(UDP_FRAME, 1700000000 + i * 1e-6) for i in range(700))
        traffic = json.loads(analyze(stream, "--summary", "--json").stdout)["traffic"]
        self.assertEqual((traffic["interval"], traffic["start"], traffic["packets"], traffic["bytes"]),
                         (2e-05, 1700000000.0, [20] * 35, [1200] * 35))
        # A peak label longer than the margin moves every row of both charts alike.
        stream = record(UDP_FRAME, 1700000000, 4000000000) + record(UDP_FRAME, 1700000001, 100000000)
        rows = [line for line in analyze(stream, "--summary").stdout.decode().splitlines() if line.endswith("|")]
        self.assertEqual({line.index("|") for line in rows}, {len("  bytes peak 4000000000 ")})

    def test_malformed_input_ends_after_the_good_records_with_the_offset_however_it_is_read(self):
        good, long = record(UDP_FRAME), record(ethernet(0x88B5, bytes(299986)))  # past the snaplen
        one, two = pcapng_file([(UDP_FRAME, 1, 0)]), pcapng_file([(UDP_FRAME, 1, 0)] * 2)

        def block(kind, body, trailer=None):
            body += bytes(-len(body) % 4)
            return struct.pack("<II", kind, 12 + len(body)) + body + struct.pack("<I", trailer or 12 + len(body))

        def epb(interface, units, frame, captured=None):
            return block(6, struct.pack("<IIIII", interface, units >> 32, units & 0xFFFFFFFF, captured or len(frame),
                                        captured or len(frame)) + frame)

        def idb(size, resolution):  # long comments before the clock's option
            comments, left = b"", size - 32
            while left:
                comments += struct.pack("<HH", 1, min(left - 4, 65532)) + bytes(min(left - 4, 65532))
                left -= 4 + min(left - 4, 65532)
            return block(1, struct.pack("<HHI", 1, 0, 0) + comments + struct.pack("<HHB3x", 9, 1, resolution) + bytes(4))
        limit = 262144 + 65536  # the longest block read whole
        # A second interface described after a packet: from there on, each packet names its interface.
        both = one + block(1, struct.pack("<HHI", 1, 0, 0)) + epb(0, 0, UDP_FRAME) + epb(1, 0, UDP_FRAME)
        for stream, records, message in [
            (good + b"XKT\0" + good[4:], 1, "bad record magic 584b5400 (expected 504b5400) at byte offset 80"),
            (good + good[:11], 1, "stream ends inside a record header (11 of 20 bytes) at byte offset 80"),
            (good + good[:20], 1, "stream ends inside a packet (0 of 60 bytes) at byte offset 80"),
            (good + long[:290000], 1, "stream ends inside a packet (289980 of 300000 bytes) at byte offset 80"),
            (good + long + good[:11], 2, "stream ends inside a record header (11 of 20 bytes) at byte offset 300100"),
            (b"\x7fELF" + good, 0, "neither a record stream nor a pcap or pcapng file: it starts with 7f454c46 "
                                   "at byte offset 0"),
            (b"hi\n", 0, "neither a record stream nor a pcap or pcapng file: it starts with 68690a at byte offset 0"),
            (pcap_file([])[:10], 0, "file ends inside the pcap file header (10 of 24 bytes) at byte offset 0"),
            (pcap_file([(UDP_FRAME, 1, 0)] * 2)[:-10], 1, "file ends inside a packet (50 of 60 bytes) at byte offset 100"),
            (pcap_file([(UDP_FRAME, 1, 0)], ">") + bytes(3), 1, "file ends inside a record header (3 of 16 bytes) "
                                                                "at byte offset 100"),
            (pcap_file([(UDP_FRAME, 1, 0)] * 2)[:-60], 1, "file ends inside a packet (0 of 60 bytes) at byte offset 100"),
            (pcap_file([(UDP_FRAME, 1, 0), (bytes(300000), 1, 0)]), 1,
             "packet of 300000 bytes, more than the 262144 any capture keeps at byte offset 100"),
            (two[:-30], 1, "file ends inside a block (62 of 92 bytes) at byte offset 164"),
            (one + epb(1, 0, UDP_FRAME), 1, "packet of interface 1, but its section describes only 1 at byte offset 164"),
            (pcapng_file([], interfaces=()) + epb(0, 0, UDP_FRAME), 0,
             "packet before any interface description block in its section at byte offset 40"),
            (one + block(1, struct.pack("<HHIHHI", 1, 0, 0, 9, 4, 9)), 1,  # a clock read any other way is wrong
             "interface option 9 of 4 bytes, not 1 at byte offset 164"),
            (b"\xd4\xc3", 0, "file ends inside the pcap file header (2 of 24 bytes) at byte offset 0"),
            (b"\x0a\x0d", 0, "file ends inside a block header (2 of 12 bytes) at byte offset 0"),
            (two[:len(one) + 10], 1, "file ends inside a block (10 of 92 bytes) at byte offset 164"),
            (one + struct.pack("<II", 6, 14) + bytes(6), 1, "bad pcapng block length 14 at byte offset 164"),
            (one + block(6, bytes(8)) + epb(0, 0, UDP_FRAME), 1,
             "pcapng block of type 6 is too short (20 bytes) at byte offset 164"),
            (one + block(2, bytes(16)), 1, "pcapng block of type 2 is too short (28 bytes) at byte offset 164"),
            (one + block(3, b""), 1, "pcapng block of type 3 is too short (12 bytes) at byte offset 164"),
            (two[:-4] + struct.pack("<I", 9999), 1, "pcapng block of 92 bytes ends with a length of 9999 "
                                                    "at byte offset 164"),
            (one + block(0x0BAD, bytes(400000), 8) + two[len(one):], 1,  # read in part: the end is checked too
             "pcapng block of 400012 bytes ends with a length of 8 at byte offset 164"),
            (one + block(3, struct.pack("<I", 1000) + UDP_FRAME[:53]), 1,  # the padding is not the packet's
             "packet of 1000 bytes in a block of 72 at byte offset 164"),
            (one + epb(0, 0, bytes(300000)), 1, "packet of 300000 bytes, more than the 262144 any capture keeps "
                                                "at byte offset 164"),
            (one + struct.pack("<II", 0x0BAD, 16777220) + bytes(4), 1,  # refused before it is read, as libpcap does
             "pcapng block of 16777220 bytes, more than the 16777216 a block may have at byte offset 164"),
            # An interface longer than other blocks are read whole sets its clock however the reads cut it.
            (one + idb(limit + 4, 9) + epb(1, 10**9, UDP_FRAME) + b"\x06\0\0", 2,
             f"file ends inside a block header (3 of 12 bytes) at byte offset {len(one) + limit + 96}"),
            (both + b"\x06\0\0", 3, f"file ends inside a block header (3 of 12 bytes) at byte offset {len(both)}"),
            (one + block(0x0A0D0D0A, struct.pack("<IHHq", 0xDEADBEEF, 1, 0, -1)), 1,
             "bad pcapng byte-order magic efbeadde at byte offset 164"),
        ]:
            with self.subTest(message=message):
                before = stream[:int(message.rsplit(" ", 1)[1])]  # the good records alone
                read = [framed(stream, pieces) for pieces in ((1 << 20,), (1, 7, 100, 3), (4093,))]
                self.assertEqual(read, [(framed(before)[0], f"{message}")] * 3)
                self.assertEqual(len(read[0][0]), records)
                for mode in (["--pcap", "-"], ["--summary", "--json"], ["--summary"], ["--json"], []):
                    clean, result = analyze(before, *mode), analyze(stream, *mode)
                    self.assertEqual((clean.returncode, clean.stderr), (0, b""), mode)
                    self.assertEqual((result.returncode, result.stdout, result.stderr.decode()),
                                     (1, clean.stdout, f"ostrane-analyzer: {message}\n"), mode)

    def test_a_record_of_any_length_takes_the_same_memory_and_is_cut_to_the_snaplen(self):
        # Past 262144 bytes, a chain of IPv6 options whose UDP header is cut
        # off: the same whether one read holds the whole record or not.
        options = b"".join(struct.pack("!BB2046x", 60 if i < 129 else 17, 255) for i in range(130))
        long = record(ethernet(0x86DD, ipv6(60, b"") + options + udp(1, 2, b"")))
        with tempfile.NamedTemporaryFile() as f:
            for before in (b"", record(ethernet(0x88B5, bytes(59986))) * 13):
                os.pwrite(f.fileno(), before + long, 0)
                for mode in ([], ["--json"], ["--summary"]):
                    shown = subprocess.run(MAIN + mode + [f.name], capture_output=True, timeout=60).stdout
                    self.assertRegex(shown.decode(), r'IPv6 fe80::1 > ff02::1 \[truncated\]\n|'
                                                     r'"truncated":true,"undecoded":1994\}|  IPv6 +1 ', mode)
        # Past the snaplen a pcap refuses a packet at its header; a pcapng block keeps what is read of it.
        epb = struct.pack("<IIIII", 0, 0, 0, len(UDP_FRAME), len(UDP_FRAME)) + UDP_FRAME
        for container in (lambda size: record(ethernet(0x88B5, bytes(size))) + record(UDP_FRAME),
                          lambda size: pcapng_file([(UDP_FRAME, 1, 0)]) + pcapng_block("<", 0x0BAD, bytes(size)) + pcapng_block("<", 6, epb),
                          lambda size: pcapng_file([]) + pcapng_block("<", 6, epb + bytes(size)) * 2):
            peaks = []
            for size in (3 << 20, 12 << 20):
                with tempfile.TemporaryFile() as f:
                    os.pwrite(f.fileno(), container(size), 0)
                    tracemalloc.start()
                    summary = Summary()
                    summarise(open_capture(f.fileno())[1], summary, None, None)
                    peaks.append(tracemalloc.get_traced_memory()[1])
                    tracemalloc.stop()
                    self.assertEqual(summary.packets, 2)
            self.assertLess(peaks[1], peaks[0] * 1.1, peaks)

    def test_pcap_and_pcapng_files_read_as_the_record_stream_of_their_packets(self):
        tcp_frame = ethernet(0x86DD, ipv6(6, tcp(443, 50000, 0x18, b"y" * 100)))
        packets = [(UDP_FRAME, 1700000000, 250000), (tcp_frame, 1700000001, 999999), (UDP_FRAME[:40], 1700000002, 7)]
        stream = b"".join(record(frame, seconds + micros / 1e6) for frame, seconds, micros in packets)
        plain, fcs, ng = pcap_file(packets), pcap_file(packets, linktype=0x14000001), pcapng_file(packets)
        # Records 8 bytes longer (interface, protocol, packet type), as an old patched libpcap wrote them.
        patched = struct.pack("<IHHiIII", 0xA1B2CD34, 2, 4, 0, 0, 262144, 1) + b"".join(
            struct.pack("<IIII8x", seconds, micros, len(frame), len(frame)) + frame for frame, seconds, micros in packets)
        # An option after the end of the options is not read: the clock stays in microseconds.
        ended = ng[:28] + pcapng_block("<", 1, struct.pack("<HHI4xHHB3x", 1, 0, 0, 9, 1, 9)) + ng[60:]
        for capture, copies, header in [
                (plain, 1, plain), (pcap_file(packets, ">", nano=True), 1, plain), (patched, 1, plain), (ng, 1, plain), (ended, 1, plain),
                (fcs, 1, fcs),  # the export keeps the FCS bits of the link type
                # A second section, of the other byte order, with an interface of its own: one a section, unnamed.
                (pcapng_file(packets, ">", ((1, 9),), ["eth0"]) + pcapng_file(packets, "<", ((1, 6),), ["eth0"]), 2, plain)]:
            for mode in ([], ["--json"], ["--summary"]):
                self.assertEqual(analyze(capture, *mode).stdout, analyze(stream * copies, *mode).stdout, mode)
            self.assertEqual(analyze(capture, "--pcap", "-").stdout, header[:24] + plain[24:] * copies)
        self.assertEqual(analyze(plain, "--pcap", "-").stdout, plain)
        # Two interfaces of two link types, one with a time offset, and a packet without a time of its own: each
        # packet names its interface after the time, by number where it has no name, and never with a space.
        cooked = struct.pack("!HHH8sH", 0, 772, 6, bytes(8), 0x0800) + ipv4(17, udp(1, 2, b"hi"))
        mixed = [(UDP_FRAME, 1700000000, 5, 0), (cooked, 1700000000, 6, 1), (tcp_frame, 0, 0, None)]
        capture = pcapng_file(mixed, "<", ((1, 6), (113, 9, 1600000000)), ["Wi-Fi 2\x1b"])
        alone = [[analyze(record(frame, seconds + micros / 1e6 if interface is not None else math.nan), "--linktype",
                          "113" if interface else "1", *mode).stdout.decode() for frame, seconds, micros, interface in mixed]
                 for mode in ([], ["--json"])]
        names = list(zip(["Wi-Fi\\x202\\x1b", "if1", "Wi-Fi\\x202\\x1b"], ["Wi-Fi 2\x1b", "if1", "Wi-Fi 2\x1b"], *alone))
        self.assertEqual(analyze(capture).stdout.decode().splitlines(), [
            f"{number} {' '.join(line.split(' ', 4)[1:4])} {text} {line.split(' ', 4)[4][:-1]}"
            for number, (text, _, line, _) in enumerate(names, 1)])
        self.assertEqual([json.loads(line) for line in analyze(capture, "--json").stdout.splitlines()], [
            dict(json.loads(line), index=number, interface=name) for number, (_, name, _, line) in enumerate(names, 1)])
        self.assertIn(f"\nPackets per interface:\n  Wi-Fi\\x202\\x1b {2:>10} packets {len(UDP_FRAME + tcp_frame):>12} bytes\n"
                      f"  if1            {1:>10} packets {len(cooked):>12} bytes\nPackets per protocol:\n",
                      analyze(capture, "--summary").stdout.decode())
        first = pcapng_file([(UDP_FRAME, 1, 0)], ">", names=["eth9"])  # a section of one interface before
        self.assertEqual(json.loads(analyze(first + capture, "--summary", "--json").stdout)["interfaces"], [
            {"name": "eth9", "packets": 1, "bytes": 60}, {"name": "Wi-Fi 2\x1b", "packets": 2, "bytes": len(UDP_FRAME + tcp_frame)},
            {"name": "if1", "packets": 1, "bytes": len(cooked)}])
        result = analyze(capture, "--pcap", "-")
        self.assertEqual((result.returncode, len(result.stdout), result.stderr.decode()),
                         (1, 24 + 16 + len(UDP_FRAME), "ostrane-analyzer: cannot write link type 113 into a pcap of link type "
                                                       "1: one pcap file holds one link type\n"))

    def test_pcap_export_to_a_file_and_to_stdout(self):
        big = ethernet(0x88B5, b"b" * 262200)
        stream = record(UDP_FRAME, 1700000000.9999996) + record(UDP_FRAME[:40], 1700000001.25, 60) + record(big)
        pcap = analyze(stream, "--pcap", "-").stdout
        self.assertEqual(struct.unpack_from("<IHHiIII", pcap), (0xA1B2C3D4, 2, 4, 0, 0, 262144, 1))
        self.assertEqual(struct.unpack_from("<IIII", pcap, 24), (1700000001, 0, 60, 60))
        self.assertEqual(pcap[40:100], UDP_FRAME)
        self.assertEqual(struct.unpack_from("<IIII", pcap, 100), (1700000001, 250000, 40, 60))
        self.assertEqual(struct.unpack_from("<IIII", pcap, 156)[2:], (262144, len(big)))  # cut to the snaplen
        self.assertEqual(len(pcap), 172 + 262144)
        with tempfile.NamedTemporaryFile() as f:
            self.assertEqual(analyze(stream, "--summary", "--pcap", f.name).returncode, 0)
            self.assertEqual(f.read(), pcap)
        if shutil.which("tcpdump"):
            shown = subprocess.run(["tcpdump", "-nn", "-r", "-"], input=pcap, capture_output=True, timeout=30)
            self.assertEqual(shown.returncode, 0, shown.stderr)
            self.assertEqual(len(shown.stdout.splitlines()), 3)
            self.assertIn(b"10.0.0.1.40000 > 10.0.0.2.5000: UDP, length 18", shown.stdout)

    def test_cooked_or_raw_ip_frames_read_as_ethernet_get_one_hint(self):
        cooked = struct.pack("!HHH8sH", 4, 772, 6, bytes(8), 0x0800) + ipv4(17, udp(1, 2, b"hi"))  # sent by us
        raw, raw6 = ipv4(17, udp(1, 2, b"hi")), ipv6(17, udp(1, 2, b""))
        hint = "ostrane-analyzer: these frames look like Linux cooked captures (ostrane -i any); decode them with --linktype 113\n"
        raw_hint = ("ostrane-analyzer: these frames look like raw IP (ostrane on a tun or WireGuard device); "
                    "decode them with --linktype 101\n")
        for first, then, options, expected in [
                (cooked, cooked, [], hint), (cooked, cooked, ["--summary"], hint), (cooked, cooked, ["--linktype", "113"], ""),
                (UDP_FRAME, cooked, [], ""), (raw, raw6, [], raw_hint), (raw, cooked, [], ""), (raw[:-1], raw, [], "")]:
            result = analyze(record(first) + record(then) * 3, *options)
            self.assertEqual((result.returncode, result.stderr.decode()), (0, expected), options)

    def test_closed_streams_and_a_reader_that_leaves(self):
        main = " ".join(MAIN)
        for shell, status, lines, message in [
            (f"{main} | head -n 1; exit ${{PIPESTATUS[0]}}", 0, 1, ""),
            (f"{main} 2>&- --linktype 67108863", 0, 20000, ""),  # the largest the field holds
            (f"{main} >&-", 1, 0, "ostrane-analyzer: standard output is closed\n"),
            (f"{main} <&-", 1, 0, "ostrane-analyzer: standard input is closed\n"),
            (f"{main} --pcap - --json", 2, 0, "ostrane-analyzer: --json prints a line per record, and "
             "--pcap - takes standard output for the pcap instead: write the pcap to a file, or add --summary for the "
             "JSON summary on standard error\n"),
            (f"mkfifo ff; head -c 100 ff >/dev/null & {main} --summary --pcap ff", 1, 0,
             "ostrane-analyzer: cannot write the pcap to ff: Broken pipe\n"),
            # Not a byte of the file read is lost, even through another name.
            (f"cat >in; ln -s in link; {main} --pcap link in; s=$?; [ $(stat -c %s in) = 1600000 ] && exit $s", 2, 0,
             "ostrane-analyzer: --pcap link is the file being read: writing it would destroy it\n"),
        ]:
            with self.subTest(shell=shell), tempfile.TemporaryDirectory() as scratch:
                result = subprocess.run(["bash", "-c", shell], input=record(UDP_FRAME) * 20000, cwd=scratch,
                                        capture_output=True, timeout=60)
                self.assertEqual((result.returncode, result.stdout.count(b"\n"), result.stderr.decode()),
                                 (status, lines, message))
        # Packet bytes would drive the terminal: a pcap on one is refused before anything is written.
        with open(os.path.join(os.path.dirname(ANALYZER), "CMakeLists.txt")) as f:  # the one version
            version = re.search(r"project\(ostrane VERSION ([0-9.]+)", f.read())[1]
        self.assertEqual(analyze(b"", "--version").stdout.decode(), f"ostrane-analyzer {version}\n")
        # Nor is a stream typed on one: waiting for it would look like a hang.
        terminal, side = pty.openpty()
        try:
            result = subprocess.run(MAIN, stdin=side, capture_output=True, timeout=60)
            self.assertEqual((result.returncode, result.stderr.decode()), (2, "ostrane-analyzer: standard "
                             "input is a terminal: pipe ostrane into it (ostrane -i eth0 | ostrane-analyzer) or name a file\n"))
            result = subprocess.run(MAIN + ["--pcap", "-"], input=record(UDP_FRAME), stdout=side, stderr=subprocess.PIPE,
                                    timeout=60)
            os.set_blocking(terminal, False)
            self.assertRaises(BlockingIOError, os.read, terminal, 1)  # nothing written
            self.assertEqual((result.returncode, result.stderr), (1, b"ostrane-analyzer: standard output is a terminal: "
                                                                    b"redirect it to a file or pipe it into a reader\n"))
        finally:
            os.close(terminal)
            os.close(side)

    def test_sigterm_and_sighup_on_a_pipe_lose_nothing_and_the_pcap_follows_each_chunk(self):
        with tempfile.NamedTemporaryFile() as pcap, subprocess.Popen(
                MAIN + ["--pcap", pcap.name], stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0) as reader:
            reader.stdin.write(record(UDP_FRAME) * 10)  # less than any file buffer
            lines = [reader.stdout.readline() for _ in range(10)]  # the pcap of a chunk is written before its text
            flushed = os.path.getsize(pcap.name)
            reader.send_signal(signal.SIGTERM)
            reader.send_signal(signal.SIGHUP)
            lines += reader.communicate(record(UDP_FRAME) * 100, timeout=60)[0].splitlines()
            self.assertEqual((flushed, reader.returncode, len(lines), len(pcap.read())), (784, 0, 110, 24 + 110 * 76))


if __name__ == "__main__":
    unittest.main()

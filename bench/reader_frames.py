#!/usr/bin/env python3
"""Writes the same realistic frames twice, as an ostrane record stream and as
a classic pcap, for comparing the reader with tcpdump on equal input.

    bench/reader_frames.py COUNT STREAM PCAP

The mix: 84 % IPv4 and 16 % IPv6; 70 % TCP and 30 % UDP; frames of 60 to
1514 bytes; 3 000 flows, each seen in both directions; timestamps 20 µs
apart. Seeded, so every run writes the same bytes.
"""

import random
import socket
import struct
import sys

FLOWS = 3000


def flows(rng):
    out = []
    for i in range(FLOWS):
        v6 = rng.random() < 0.16
        tcp = rng.random() < 0.70
        if v6:
            a = socket.inet_pton(socket.AF_INET6, f"2001:db8:{i % 97:x}::{rng.randrange(1, 65535):x}")
            b = socket.inet_pton(socket.AF_INET6, f"2001:db8:ffff::{rng.randrange(1, 65535):x}")
        else:
            a = bytes([10, rng.randrange(256), rng.randrange(256), rng.randrange(1, 255)])
            b = bytes([192, 0, 2, rng.randrange(1, 255)])
        out.append((v6, tcp, a, rng.randrange(1024, 65535), b, rng.choice((53, 80, 443, 5000, 8080))))
    return out


def frame(rng, flow):
    v6, tcp, a, a_port, b, b_port = flow
    if rng.random() < 0.5:
        a, a_port, b, b_port = b, b_port, a, a_port
    # Mostly small or full-sized frames, as on a real link.
    size = rng.choice((60, 66, 74, 120, 590, 1514, 1514)) if rng.random() < 0.8 else rng.randrange(60, 1515)
    if tcp:
        flags = rng.choice((0x10, 0x18, 0x18, 0x02, 0x12, 0x11))
        transport = struct.pack("!HHIIBBHHH", a_port, b_port, rng.getrandbits(32), rng.getrandbits(32),
                                0x50, flags, 65535, 0, 0)
    else:
        transport = struct.pack("!HHHH", a_port, b_port, 0, 0)
    ip_size = 40 if v6 else 20
    payload = max(size - 14 - ip_size - len(transport), 0)
    if not tcp:
        transport = struct.pack("!HHHH", a_port, b_port, 8 + payload, 0)
    protocol = 6 if tcp else 17
    if v6:
        ip = struct.pack("!IHBB16s16s", 0x60000000, len(transport) + payload, protocol, 64, a, b)
        ethertype = 0x86DD
    else:
        ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(transport) + payload, 0, 0x4000, 64, protocol, 0, a, b)
        ethertype = 0x0800
    head = bytes.fromhex("020000000002020000000001") + struct.pack("!H", ethertype) + ip + transport
    return head + bytes(max(size - len(head), 0))


def main():
    count, stream_path, pcap_path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    rng = random.Random(7)
    table = flows(rng)
    with open(stream_path, "wb") as stream, open(pcap_path, "wb") as pcap:
        pcap.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 262144, 1))
        seconds, micros = 1796588878, 0
        for _ in range(count):
            data = frame(rng, table[rng.randrange(FLOWS)])
            micros += 20
            if micros >= 1_000_000:
                seconds, micros = seconds + 1, micros - 1_000_000
            stream.write(struct.pack("<4sdII", b"PKT\0", seconds + micros / 1e6, len(data), len(data)) + data)
            pcap.write(struct.pack("<IIII", seconds, micros, len(data), len(data)) + data)


if __name__ == "__main__":
    main()

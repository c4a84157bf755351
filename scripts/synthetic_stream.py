#!/usr/bin/env python3
"""Writes N synthetic records (Ethernet/IPv4, alternating TCP and UDP over 64
flows, 106-byte frames) to stdout, for measuring the reader.

    scripts/synthetic_stream.py 500000 > /tmp/stream.bin
"""

import struct
import sys


def frames():
    out = []
    for i in range(64):
        protocol = 17 if i % 2 else 6
        ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 92, 0, 0, 64, protocol, 0,
                         bytes([127, 0, 0, 1]), bytes([127, 0, 0, i % 8 + 1]))
        if protocol == 17:
            transport = struct.pack("!HHHH", 40000 + i, 5000, 72, 0) + bytes(12)
        else:
            transport = struct.pack("!HHIIBBHHH", 40000 + i, 80, 1, 2, 0x50, 0x18, 1024, 0, 0)
        out.append(bytes(12) + b"\x08\x00" + ip + transport + bytes(52))
    return out


def main():
    count = int(sys.argv[1])
    patterns = frames()
    out = sys.stdout.buffer
    chunk = bytearray()
    for i in range(count):
        frame = patterns[i % 64]
        chunk += struct.pack("<4sdII", b"PKT\0", 1700000000 + i * 1e-5, len(frame), len(frame)) + frame
        if len(chunk) > 1 << 20:
            out.write(chunk)
            chunk.clear()
    out.write(chunk)


if __name__ == "__main__":
    main()

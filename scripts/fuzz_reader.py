#!/usr/bin/env python3
"""Feeds the reader mutated record streams, pcap and pcapng files in every
mode and checks what it does with them. Seeded and bounded: the same seed
gives the same inputs.

    scripts/fuzz_reader.py [--seed S] [--count N] [--seconds T] [--python PATH]

Every input is built from the project's own frames (bench/reader_frames.py,
scripts/synthetic_stream.py and a few rarer shapes): a third are record
streams, a third pcap files, a third pcapng files. The frames are mutated
(bytes changed, frames cut, packets past 262144 bytes), and so is what
holds them: odd timestamps and lengths, a bad magic, a stream cut anywhere;
pcap headers in either byte order, nanosecond stamps, FCS bits in the link
type; pcapng block lengths wrong at either end, short blocks, options that
overrun, resolutions and offsets, interfaces that are not there, sections
in either byte order, blocks the reader skips. Each input is read in five
modes (a line per packet with --pcap FILE, --json, --summary, --summary
--json, --pcap -), mostly through a pipe written in odd-sized pieces,
sometimes from a file.

Every run must end with status 0, or 1 with exactly one line on standard
error, and never a traceback; the packets it reports, with their lengths,
link types and timestamps, are the ones a plain framer finds before the
first fault; JSON parses strictly (no NaN or Infinity); the counts agree
across the modes (packets, bytes, protocols, the traffic chart) and every
pcap written reads back packet for packet, or, where a pcapng mixes link
types, stops with one line at the first packet of another.
An input that fails is kept under --keep for a rerun by hand.
"""

import argparse
import json
import math
import os
import random
import re
import struct
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
READER = os.path.join(ROOT, "python_analyzer", "main.py")
sys.path[:0] = [HERE, os.path.join(ROOT, "bench")]
import reader_frames  # noqa: E402
import synthetic_stream  # noqa: E402

HEADER = struct.Struct("<4sdII")
SNAPLEN = 262144
STAMPS = (math.nan, math.inf, -math.inf, 1e303, -1e303, 1e300, -1e300, 5e-324, 0.0, -0.0, -1.0, 2.0 ** 32,
          4294967295.9999996, 1700000000.9999996, 1.7976931348623157e308)
LENGTHS = (0, 1, 13, 14, 20, 41, 42, 54, 65535, 262144, 262145, 2 ** 32 - 1)
BYTES = (0x00, 0xFF, 0x04, 0x06, 0x11, 0x2C, 0x3A, 0x40, 0x45, 0x4F, 0x50, 0x60, 0x81, 0x86, 0x88, 0xC2, 0xDD)
LINKTYPES = (1, 1, 1, 1, 101, 113, 276, 147)
HINT = "ostrane-analyzer: these frames look like "  # a hint to another --linktype, not an error
MIXED = "ostrane-analyzer: cannot write link type {} into a pcap of link type {}: one pcap file holds one link type"
# The first four bytes of a pcap as they lie in the file: byte order and units per second.
PCAP_MAGICS = {b"\xd4\xc3\xb2\xa1": ("<", 1e6), b"\xa1\xb2\xc3\xd4": (">", 1e6),
               b"\x4d\x3c\xb2\xa1": ("<", 1e9), b"\xa1\xb2\x3c\x4d": (">", 1e9)}
SHB, ORDER_MAGIC = 0x0A0D0D0A, 0x1A2B3C4D
BLOCK_LIMIT = 16 << 20  # past it a block of any kind is refused at its header, as libpcap does
MINIMUM = {1: 20, 2: 32, 3: 16, 6: 32}  # of the blocks that are read rather than skipped
FCS_BITS = (0x14000000, 0x04000000, 0xFC000000)
RESOLUTIONS = tuple(range(20)) + tuple(0x80 | n for n in (0, 1, 10, 20, 30, 32, 63, 64, 127))
OFFSETS = (0, 1, -1, 3600, -1700000000, 2 ** 62, -2 ** 63)
UNITS = (0, 1, 2 ** 32 - 1, 2 ** 32, 2 ** 64 - 1)
TOTALS = (0, 4, 8, 12, 16, 20, 28, 2 ** 32 - 4, 2 ** 31, BLOCK_LIMIT + 4)  # block lengths, tiny or huge


def rare_frames():
    """Shapes the two generators never make: a jumbogram, IPv6 options, a
    VLAN tag, ARP, spanning tree, raw and cooked IP."""
    mac = bytes.fromhex("020000000002020000000001")
    ip6 = struct.pack("!IHBB16s16s", 0x60000000, 0, 0, 64, bytes(15) + b"\1", bytes(15) + b"\2")
    hbh = struct.pack("!BBBBI", 6, 0, 0xC2, 4, 80028)
    tcp = struct.pack("!HHIIBBHHH", 1, 2, 3, 4, 0x50, 0x18, 512, 0, 0)
    ip4 = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 28, 1, 0, 64, 17, 0, b"\x7f\0\0\1", b"\x7f\0\0\2")
    udp = struct.pack("!HHHH", 53, 5353, 8, 0)
    return [
        mac + b"\x86\xdd" + ip6 + hbh + tcp + b"j" * 40,
        mac + b"\x86\xdd" + ip6[:6] + b"\x3c" + ip6[7:] + struct.pack("!BB6x", 17, 0) + udp,
        mac + b"\x81\x00\x00\x05\x08\x00" + ip4 + udp,
        mac + b"\x08\x06" + struct.pack("!HHBBH", 1, 0x0800, 6, 4, 1) + bytes(20),
        mac + b"\x00\x27" + bytes.fromhex("42420300000202") + bytes(32),
        ip4 + udp,
        struct.pack("!HHH8sH", 0, 772, 6, bytes(8), 0x0800) + ip4 + udp,
    ]


def base_frames():
    rng = random.Random(7)
    flows = reader_frames.flows(rng)
    frames = [reader_frames.frame(rng, flows[rng.randrange(len(flows))]) for _ in range(200)]
    return frames + synthetic_stream.frames()[:8] + rare_frames()


def mutate_frame(rng, frame):
    frame = bytearray(frame)
    for _ in range(rng.choice((0, 0, 1, 2, 5))):
        if frame:
            at = rng.randrange(min(len(frame), 80)) if rng.random() < 0.8 else rng.randrange(len(frame))
            frame[at] = rng.choice(BYTES) if rng.random() < 0.6 else rng.randrange(256)
    if rng.random() < 0.2:
        del frame[rng.randrange(len(frame) + 1):]
    return bytes(frame)


def build_input(seed, index, frames):
    """One mutated input, the link type of a record stream (None for a
    capture file), and the generator, the same for the same seed and index."""
    rng = random.Random(f"{seed}/{index}")
    clock = rng.choice((1700000000.0, 1796588878.5, 0.0, 4294967290.0))
    if index % 3:
        return (build_pcap if index % 3 == 1 else build_pcapng)(rng, frames, clock), None, rng
    records = []
    extremes = 0.1 if rng.random() < 0.3 else 0.0  # of the streams, a third have odd stamps and lengths
    for _ in range(rng.choice((0, 1, 2, 3, 10, 40, 200))):
        frame = mutate_frame(rng, rng.choice(frames))
        clock += rng.choice((0.0, 1e-6, 2e-5, 0.001, 0.5, 3.0, -1e-6))
        stamp = rng.choice(STAMPS) if rng.random() < extremes else clock
        original = rng.choice(LENGTHS) if rng.random() < extremes else len(frame) + rng.choice((0, 0, 0, 4, 80000))
        if rng.random() < 0.01:
            frame += bytes(rng.choice((SNAPLEN - len(frame), SNAPLEN + 1 - len(frame), 300000)))
        records.append(HEADER.pack(b"PKT\0", stamp, original % 2 ** 32, len(frame)) + frame)
    stream = bytearray(b"".join(records))
    fault = rng.random()
    if stream and fault < 0.05:  # a stream cut anywhere
        del stream[rng.randrange(len(stream)):]
    elif records and fault < 0.08:  # a bad magic, or a captured length past what follows
        at = sum(map(len, records[:rng.randrange(len(records))]))
        if rng.random() < 0.5:
            stream[at] ^= 0x01
        else:
            struct.pack_into("<I", stream, at + 16, rng.choice((len(stream), 2 ** 32 - 1)))
    elif fault < 0.1:
        stream += bytes(rng.randrange(1, 30))
    return bytes(stream), rng.choice(LINKTYPES), rng


def next_packet(rng, frames, clock):
    """A mutated frame, its original length (now and then less than the frame) and the clock moved on."""
    frame = mutate_frame(rng, rng.choice(frames))
    if rng.random() < 0.003:
        frame += bytes(rng.choice((SNAPLEN, SNAPLEN + 1)) - len(frame))
    original = max(0, len(frame) + rng.choice((0, 0, 0, 4, 80000, -1)))
    return frame, original, clock + rng.choice((0.0, 1e-6, 2e-5, 0.001, 0.5, 3.0, -1e-6))


def build_pcap(rng, frames, clock):
    order, per_second = rng.choice(list(PCAP_MAGICS.values()))
    magic = 0xA1B2C3D4 if per_second == 1e6 else 0xA1B23C4D
    field = rng.choice(LINKTYPES) | (rng.choice(FCS_BITS) if rng.random() < 0.2 else 0)
    records = [struct.pack(order + "IHHiIII", magic, 2, 4, 0, 0, rng.choice((SNAPLEN, 65535, 0)), field)]
    for _ in range(rng.choice((0, 1, 2, 3, 10, 40, 200))):
        frame, original, clock = next_packet(rng, frames, clock)
        fraction = int(clock % 1 * per_second) if rng.random() < 0.95 else rng.choice((int(per_second), 2 ** 32 - 1))
        records.append(struct.pack(order + "IIII", int(clock) % 2 ** 32, fraction, len(frame), original) + frame)
    if len(records) > 1 and rng.random() < 0.05:  # a captured length past the snaplen or past the file
        at = rng.randrange(1, len(records))
        captured = rng.choice((SNAPLEN + 1, 2 ** 32 - 1, len(records[at]) - 15))
        records[at] = records[at][:8] + struct.pack(order + "I", captured) + records[at][12:]
    data = b"".join(records)
    fault = rng.random()
    if fault < 0.05:
        return data[:rng.randrange(len(data))]
    return data[:rng.randrange(4, 24)] if fault < 0.07 else data


def block(order, kind, body):
    """A pcapng block in a section of byte order `order`: the order, and the bytes, which mutations change."""
    body += bytes(-len(body) % 4)
    total = struct.pack(order + "I", len(body) + 12)
    return [order, bytearray(struct.pack(order + "I", kind) + total + body + total)]


def option(order, code, value, length=None):
    return struct.pack(order + "HH", code, len(value) if length is None else length) + value + bytes(-len(value) % 4)


def idb_options(rng, order):
    """Mostly a resolution and an offset; sometimes either of the wrong
    length, an end of options before them, a length past the block."""
    table = ([lambda: option(order, 9, bytes([rng.choice(RESOLUTIONS)]))] * 8 +
             [lambda: option(order, 14, struct.pack(order + "q", rng.choice(OFFSETS)))] * 4 +
             [lambda: option(order, 1, b"a comment"), lambda: option(order, 2, b"eth0"),
              lambda: option(order, *rng.choice(((9, b"\x09\x00"), (14, bytes(4))))), lambda: option(order, 0, b""),
              lambda: option(order, rng.choice((1, 9, 14)), b"\x09", rng.choice((8, 2 ** 16 - 1)))])
    options = b"".join(rng.choice(table)() for _ in range(rng.choice((0, 0, 1, 2, 3, 5))))
    if rng.random() < 0.01:  # an IDB longer than the longest packet block, in comments before its resolution
        size, options = rng.choice((100032, SNAPLEN + 65536, SNAPLEN + 65540)) - 28, b""
        while size:
            options += option(order, 1, bytes(min(size, 65536) - 4))
            size -= min(size, 65536)
        options += option(order, 9, bytes([rng.choice(RESOLUTIONS)]))
    return options


def packet_block(rng, order, kind, frame, original, interface, units):
    """A block of `kind` (an EPB, OPB, SPB, or one the reader skips) around a frame."""
    stamp = (units >> 32, units & 0xFFFFFFFF)
    if kind == 3:
        original = original if rng.random() < 0.1 else len(frame)  # past the block unless a snaplen cuts it
        return block(order, 3, struct.pack(order + "I", original) + frame)
    if kind == 5:
        return block(order, 5, struct.pack(order + "III", interface, *stamp) + option(order, 4, bytes(8)))
    if kind == 4:
        return block(order, 4, option(order, 1, b"\x7f\0\0\1localhost\0") + option(order, 0, b""))
    if kind not in (2, 6):
        return block(order, kind, struct.pack(order + "I", 32473) + frame[:rng.choice((0, 9, 400))])
    head = (interface, *stamp) if kind == 6 else (interface & 0xFFFF, rng.choice((0, 7)), *stamp)
    tail = b"" if rng.random() < 0.9 else option(order, 2, bytes(4)) + option(order, 0, b"")
    tail += bytes(70000) if rng.random() < 0.005 else b""  # a packet block past the limit is still read
    body = struct.pack(order + ("IIIII" if kind == 6 else "HHIIII"), *head, len(frame), original)
    return block(order, kind, body + frame + bytes(-len(frame) % 4) + tail)


def build_pcapng(rng, frames, clock):
    linktypes = [rng.choice(LINKTYPES)]
    if rng.random() < 0.25:
        linktypes.append(rng.choice([t for t in LINKTYPES if t != linktypes[0]]))
    blocks = []
    for _ in range(rng.choice((1, 1, 1, 1, 2, 3))):
        order = rng.choice("<>")
        shb = struct.pack(order + "IHHq", ORDER_MAGIC, 1, 0, -1)
        blocks.append(block(order, SHB, shb + (option(order, 4, b"fuzz") if rng.random() < 0.3 else b"")))
        interfaces = rng.choice((0, 1, 1, 1, 1, 2, 3))
        odd = 0.02 if rng.random() < 0.1 else 0.0  # of the sections, a tenth have stray interfaces
        events = [1] * interfaces + [rng.choice((6, 6, 6, 6, 6, 6, 2, 3, 5, 4, 0x0BAD))
                                     for _ in range(rng.choice((0, 1, 2, 3, 10, 40, 150) if interfaces else (0, 0, 1)))]
        if rng.random() < 0.08:  # a block shorter than its kind's least length
            events.insert(rng.randrange(len(events) + 1), 0)
        if rng.random() < 0.05:  # a packet before its interface
            rng.shuffle(events)
        for kind in events:
            if kind == 1:
                linktypes.append(linktypes.pop(0))  # two link types take turns
                body = struct.pack(order + "HHI", linktypes[0], 0, rng.choice((0, 0, 65535, SNAPLEN, 64)))
                blocks.append(block(order, 1, body + idb_options(rng, order)))
            elif kind == 0:
                blocks.append(block(order, rng.choice(list(MINIMUM)), bytes(rng.choice((0, 4, 8, 12, 16)))))
            else:
                frame, original, clock = next_packet(rng, frames, clock)
                stray = not interfaces or rng.random() < odd
                interface = rng.choice((interfaces, 65535)) if stray else rng.randrange(interfaces)
                units = rng.choice(UNITS) if rng.random() < 0.05 else int(clock * rng.choice((1e6, 1e6, 1e9))) % 2 ** 64
                blocks.append(packet_block(rng, order, kind, frame, original, interface, units))
    for _ in range(rng.choice((0, 0, 0, 0, 1, 2))):
        order, data = rng.choice(blocks)
        what = rng.random()
        if what < 0.7:  # a length at the start, at the end, or both
            total = rng.choice((len(data) + 4, len(data) - 4, len(data) + 1, len(data) - 1) + TOTALS)
            for at in ((4,), (len(data) - 4,), (4, len(data) - 4))[int(what / 0.3)]:
                struct.pack_into(order + "I", data, at, total)
        elif what < 0.9:
            data[rng.randrange(min(len(data), 40))] = rng.choice(BYTES)
        else:  # a section whose byte-order magic is neither
            order, data = rng.choice([b for b in blocks if b[1][:4] == struct.pack("<I", SHB)])
            data[8:12] = rng.choice((b"\x4d\x3c\x2b\x1b", bytes(4), data[4:8]))
    data = b"".join(data for _, data in blocks)
    fault = rng.random()
    if fault < 0.06:
        return data[:rng.randrange(len(data))]
    return data + bytes(rng.randrange(1, 16)) if fault < 0.08 else data


def frame_pcap(data):
    order, per_second = PCAP_MAGICS[data[:4]]
    if len(data) < 24:
        return [], 0, 1
    field, = struct.unpack_from(order + "I", data, 20)
    packets, at = [], 24
    while at < len(data):
        if len(data) - at < 16:
            return packets, at, field
        seconds, fraction, captured, original = struct.unpack_from(order + "IIII", data, at)
        if captured > SNAPLEN or len(data) - at - 16 < captured:
            return packets, at, field
        packets.append((seconds + fraction / per_second, original, captured, data[at + 16:at + 16 + captured],
                        field & 0x03FFFFFF, field))
        at += 16 + captured
    return packets, None, field


def frame_pcapng(data):
    packets, interfaces, named, at = [], [], None, 0
    while at < len(data):
        block_at = at
        if len(data) - at < 12:
            return packets, block_at, named
        if data[at:at + 4] == struct.pack("<I", SHB):
            order = {struct.pack(o + "I", ORDER_MAGIC): o for o in "<>"}.get(data[at + 8:at + 12])
            if order is None:
                return packets, block_at, named
            interfaces = []
        kind, total = struct.unpack_from(order + "II", data, at)
        if (total < 12 or total % 4 or total > BLOCK_LIMIT or len(data) - at < total or total < MINIMUM.get(kind, 12)
                or struct.unpack_from(order + "I", data, at + total - 4)[0] != total):
            return packets, block_at, named
        view = data[at:at + total]
        at += total
        if kind == 1:
            linktype, snaplen = struct.unpack_from(order + "H2xI", view, 8)
            per_second, offset, place = 10 ** 6, 0, 16
            while place + 4 <= total - 4:
                code, length = struct.unpack_from(order + "HH", view, place)
                if code == 0 or place + 4 + length > total - 4:
                    break
                value = view[place + 4:place + 4 + length]
                if code == 9 and length == 1:
                    per_second = 2 ** (value[0] & 0x7F) if value[0] & 0x80 else 10 ** value[0]
                elif code == 14 and length == 8:
                    offset, = struct.unpack(order + "q", value)
                elif code in (9, 14):  # a clock option of the wrong length: no timestamp can be trusted
                    return packets, block_at, named
                place += 4 + length + -length % 4
            interfaces.append((linktype, snaplen, per_second, offset))
            named = linktype if named is None else named
        elif kind in (2, 3, 6):
            if kind == 3:
                interface, (original,), start = 0, struct.unpack_from(order + "I", view, 8), 12
            else:
                layout = order + ("I" if kind == 6 else "H2x") + "IIII"
                interface, high, low, captured, original = struct.unpack_from(layout, view, 8)
                start = 28
            if interface >= len(interfaces):
                return packets, block_at, named
            linktype, snaplen, per_second, offset = interfaces[interface]
            if kind == 3:
                captured, stamp = min(original, snaplen) if snaplen else original, math.nan
            else:
                seconds, fraction = divmod(high << 32 | low, per_second)
                stamp = seconds + offset + fraction / per_second
            if captured > total - MINIMUM[kind] or captured > SNAPLEN:
                return packets, block_at, named
            packets.append((stamp, original, captured, view[start:start + captured], linktype, linktype))
    return packets, None, named


def frame_input(data, linktype):
    """The packets a plain framer finds before the first fault: a list of
    (timestamp, original length, captured length, the bytes kept, link type,
    the pcap link-type field); the offset of the fault that ended the input,
    or None; and the link
    type a pcap of no packets names."""
    if data[:4] in PCAP_MAGICS:
        return frame_pcap(data)
    if data[:4] == struct.pack("<I", SHB):
        packets, fault, named = frame_pcapng(data)
        return packets, fault, 1 if named is None else named
    linktype = 1 if linktype is None else linktype  # a capture file mutated into a record stream
    records, fault = frame_stream(data)
    return [record + (linktype, linktype) for record in records], fault, linktype


def frame_stream(stream):
    """The records a plain framer finds before the first fault: a list of
    (timestamp, original length, captured length, the bytes kept), and
    the offset of the fault that ended the stream, or None."""
    records, at = [], 0
    while at < len(stream):
        if len(stream) - at < HEADER.size:
            return records, at
        magic, stamp, original, captured = HEADER.unpack_from(stream, at)
        if magic != b"PKT\0" or len(stream) - at - HEADER.size < captured:
            return records, at
        start = at + HEADER.size
        records.append((stamp, original, captured, stream[start:start + min(captured, SNAPLEN)]))
        at = start + captured
    return records, None


def read_pcap(data, linktype):
    """The (included length, original length, bytes) of each record of a pcap."""
    if data[:24] != struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, SNAPLEN, linktype):
        raise Failure(f"the pcap's file header {data[:24].hex()}, expected link type {linktype}")
    out, at = [], 24
    while at < len(data):
        seconds, micros, included, original = struct.unpack_from("<IIII", data.ljust(at + 16, b"\xff"), at)
        if micros >= 1_000_000 or at + 16 + included > len(data):
            raise Failure(f"the pcap's record at byte {at}")
        out.append((included, original, data[at + 16:at + 16 + included]))
        at += 16 + included
    return out


class Failure(Exception):
    pass


def run(reader, args, stream, rng, path):
    """Runs the reader, through a pipe fed in odd pieces or from `path`."""
    command = reader + args + ([path] if path else [])
    process = subprocess.Popen(command, stdin=subprocess.PIPE if not path else subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)
    pieces, at = [], 0
    while not path and at < len(stream):  # drawn before the run, so that the same seed cuts the same pieces
        size = rng.choice((1, 7, 19, 20, 21, 333, 4093, 65537, rng.randrange(1, 300000)))
        pieces.append(stream[at:at + size])
        at += size

    def feed():
        try:
            for piece in pieces:
                process.stdin.write(piece)
        except BrokenPipeError:
            pass  # it stopped at a fault
        process.stdin.close()

    outputs = {}
    threads = [threading.Thread(target=lambda name=name: outputs.__setitem__(name, getattr(process, name).read()))
               for name in ("stdout", "stderr")] + ([threading.Thread(target=feed)] if not path else [])
    for thread in threads:  # a reader that hangs without reading must not hang the writer too
        thread.start()
    try:
        process.wait(timeout=120)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        raise Failure(f"{' '.join(args)}: no end after 120 s")
    for thread in threads:
        thread.join()
    return process.returncode, outputs["stdout"], outputs["stderr"].decode("utf-8", "replace")


def strict(text):
    def refuse(constant):
        raise ValueError(f"{constant} is not JSON")
    return json.loads(text, parse_constant=refuse)


def check_input(reader, data, linktype, rng, scratch):
    packets, fault, named = frame_input(data, linktype)
    # One pcap holds one link type: the first packet of another ends the export.
    mixed = next((at for at, p in enumerate(packets) if p[5] != packets[0][5]), None)
    exported = packets[:mixed]
    source = os.path.join(scratch, "input.bin")
    with open(source, "wb") as f:
        f.write(data)
    pcap_path = os.path.join(scratch, "out.pcap")
    base = [] if linktype is None else ["--linktype", str(linktype)]
    modes = [("lines", ["--pcap", pcap_path]), ("json", ["--json"]), ("summary", ["--summary"]),
             ("summary-json", ["--summary", "--json"]), ("pcap", ["--pcap", "-"])]
    results = {}
    for name, args in modes:
        status, out, err = run(reader, base + args, data, rng, source if rng.random() < 0.2 else None)
        where = f"{name} ({' '.join(base + args)})"
        if "Traceback" in err:
            raise Failure(f"{where}: a traceback\n{err}")
        messages = [line for line in err.splitlines() if HINT not in line]
        if mixed is not None and "--pcap" in args:
            expected = MIXED.format(packets[mixed][5], packets[0][5])
            if (status, messages) != (1, [expected]):
                raise Failure(f"{where}: status {status} with {err!r}, expected {expected!r}")
        elif (status, len(messages)) != ((1, 1) if fault is not None else (0, 0)):
            raise Failure(f"{where}: status {status} with {err!r}, expected {'none' if fault is None else 'one line'}")
        elif fault is not None and not re.match(rf"^\S+: .+ at byte offset {fault}$", messages[0]):
            raise Failure(f"{where}: the error line {messages[0]!r}, expected one at byte offset {fault}")
        results[name] = out
    lines = results["lines"].decode()
    if lines.count("\n") != len(exported):
        raise Failure(f"lines: {lines.count(chr(10))} lines for {len(exported)} packets")
    objects = [strict(line) for line in results["json"].decode().splitlines()]
    keys = ("index", "timestamp", "captured_length", "original_length", "linktype")
    expected = [(index, ts if math.isfinite(ts) else None, c, o, t)
                for index, (ts, o, c, _, t, _) in enumerate(packets, 1)]
    found = [tuple(o.get(key) for key in keys) for o in objects]
    if found != expected:
        at = next((at for at, (one, other) in enumerate(zip(found, expected)) if one != other),
                  min(len(found), len(expected)))
        raise Failure(f"json: {len(found)} objects for {len(expected)} packets; at {at}: "
                      f"{found[at:at + 1]}, expected {expected[at:at + 1]} as {keys}")
    usable = [p for p in packets if math.isfinite(p[0] * 1_000_000)]
    captured, wire = sum(p[2] for p in packets), sum(p[1] for p in packets)
    total = f"Total: {len(packets)} packets, {captured} bytes captured ({wire} bytes on the wire)"
    text = results["summary"].decode()
    if text.split("\n", 1)[0] != total or re.search(r"\b(inf|nan)\b", text, re.I):
        raise Failure(f"summary: {text[:300]!r}, expected {total!r} and no inf or nan")
    document = strict(results["summary-json"])
    traffic = document["traffic"] or {"packets": [], "bytes": []}
    found = (document["packets"], document["captured_bytes"], document["wire_bytes"], document["protocols"],
             sum(traffic["packets"]), sum(traffic["bytes"]))
    expected = (len(packets), captured, wire, dict(Counter(o["protocol"] for o in objects)), len(usable),
                sum(p[1] for p in usable))
    if found != expected:
        raise Failure(f"summary --json: {found}, expected {expected}")
    with open(pcap_path, "rb") as f:
        written = f.read()
    header = exported[0][5] if exported else named
    for name, data in (("--pcap FILE", written), ("--pcap -", results["pcap"])):
        if data != written:
            raise Failure(f"{name}: not the same bytes as --pcap FILE")
        if read_pcap(data, header) != [(min(c, SNAPLEN), max(o, c), kept) for _, o, c, kept, _, _ in exported]:
            raise Failure(f"{name}: the pcap's records differ from the input's")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--count", type=int, default=3000, help="inputs at most")
    parser.add_argument("--seconds", type=float, default=1800, help="time at most")
    parser.add_argument("--python", default=sys.executable, help="the interpreter that runs the reader")
    parser.add_argument("--reader", default=READER, help="the reader's main.py")
    parser.add_argument("--keep", default=os.path.join(ROOT, "build", "fuzz-reader"),
                        help="where failing inputs are kept")
    args = parser.parse_args()
    frames = base_frames()
    deadline = time.monotonic() + args.seconds
    failures, done = [], [0]
    lock = threading.Lock()

    def one(index):
        if time.monotonic() > deadline or len(failures) >= 5:
            return
        data, linktype = b"", None
        with tempfile.TemporaryDirectory() as scratch:
            try:
                data, linktype, rng = build_input(args.seed, index, frames)
                check_input([args.python, args.reader], data, linktype, rng, scratch)
            except Exception as error:  # whatever it is, the input is kept and the run goes on
                os.makedirs(args.keep, exist_ok=True)
                kind = ("bin", "pcap", "pcapng")[index % 3]
                kept = os.path.join(args.keep, f"seed{args.seed}-{index}.{kind}")
                with open(kept, "wb") as f:
                    f.write(data)
                how = f"--linktype {linktype}, " if linktype is not None else ""
                what = error if isinstance(error, Failure) else f"{type(error).__name__}: {error}"
                with lock:
                    failures.append(f"{kind} {index} ({how}kept in {kept}): {what}")
        with lock:
            done[0] += 1

    started = time.monotonic()
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        list(pool.map(one, range(args.count)))
    for failure in failures:
        print(failure, file=sys.stderr)
    print(f"fuzz-reader: {done[0]} inputs, {5 * done[0]} runs of {args.python}, seed {args.seed}, "
          f"{time.monotonic() - started:.0f} s: {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

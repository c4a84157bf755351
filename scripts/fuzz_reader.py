#!/usr/bin/env python3
"""Feeds the reader mutated record streams in every mode and checks what it
does with them. Seeded and bounded: the same seed gives the same streams.

    scripts/fuzz_reader.py [--seed S] [--count N] [--seconds T] [--python PATH]

Each stream is built from the project's own frames (bench/reader_frames.py,
scripts/synthetic_stream.py and a few rarer shapes), then mutated: bytes of
the frames, cut frames, timestamps at the extremes (NaN, the infinities,
1e303, 5e-324, ...), odd lengths, records past 262144 bytes, a bad magic, a
stream cut anywhere. It is read in five modes (a line per record with
--pcap FILE, --json, --summary, --summary --json, --pcap -), mostly through
a pipe written in odd-sized pieces, sometimes from a file.

Every run must end with status 0, or 1 with exactly one line on standard
error, and never a traceback; the records it reports are the ones a plain
framer finds before the first fault; JSON parses strictly (no NaN or
Infinity); the counts agree across the modes (records, bytes, protocols,
the traffic chart) and every pcap written reads back record for record.
A stream that fails is kept under --keep for a rerun by hand.
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
HINT = "look like Linux cooked captures"


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


def build_stream(seed, index, frames):
    """One mutated stream and its link type, the same for the same seed and index."""
    rng = random.Random(f"{seed}/{index}")
    clock = rng.choice((1700000000.0, 1796588878.5, 0.0, 4294967290.0))
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


def frame_stream(stream):
    """The records a plain framer finds before the first fault: a list of
    (timestamp, original length, captured length, the bytes kept), and
    whether a fault ended the stream."""
    records, at = [], 0
    while at < len(stream):
        if len(stream) - at < HEADER.size:
            return records, True
        magic, stamp, original, captured = HEADER.unpack_from(stream, at)
        if magic != b"PKT\0" or len(stream) - at - HEADER.size < captured:
            return records, True
        start = at + HEADER.size
        records.append((stamp, original, captured, stream[start:start + min(captured, SNAPLEN)]))
        at = start + captured
    return records, False


def read_pcap(data, linktype):
    """The (included length, original length, bytes) of each record of a pcap."""
    if data[:24] != struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, SNAPLEN, linktype):
        raise Failure("the pcap's file header")
    out, at = [], 24
    while at < len(data):
        seconds, micros, included, original = struct.unpack_from("<IIII", data, at)
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
    outputs = {}
    readers = [threading.Thread(target=lambda name=name: outputs.__setitem__(name, getattr(process, name).read()))
               for name in ("stdout", "stderr")]
    for reader in readers:
        reader.start()
    if not path:
        try:
            at = 0
            while at < len(stream):
                size = rng.choice((1, 7, 19, 20, 21, 333, 4093, 65537, rng.randrange(1, 300000)))
                process.stdin.write(stream[at:at + size])
                at += size
        except BrokenPipeError:
            pass  # it stopped at a fault
        process.stdin.close()
    try:
        process.wait(timeout=120)
    except subprocess.TimeoutExpired:
        process.kill()
        raise Failure(f"{' '.join(args)}: no end after 120 s")
    for reader in readers:
        reader.join()
    return process.returncode, outputs["stdout"], outputs["stderr"].decode("utf-8", "replace")


def strict(text):
    def refuse(constant):
        raise ValueError(f"{constant} is not JSON")
    return json.loads(text, parse_constant=refuse)


def check_stream(reader, stream, linktype, rng, scratch):
    records, faulty = frame_stream(stream)
    count = len(records)
    usable = [r for r in records if math.isfinite(r[0] * 1_000_000)]
    source = os.path.join(scratch, "stream.bin")
    with open(source, "wb") as f:
        f.write(stream)
    pcap_path = os.path.join(scratch, "out.pcap")
    base = ["--linktype", str(linktype)]
    modes = [("lines", ["--pcap", pcap_path]), ("json", ["--json"]), ("summary", ["--summary"]),
             ("summary-json", ["--summary", "--json"]), ("pcap", ["--pcap", "-"])]
    results = {}
    for name, args in modes:
        status, out, err = run(reader, base + args, stream, rng, source if rng.random() < 0.2 else None)
        where = f"{name} ({' '.join(base + args)})"
        if "Traceback" in err:
            raise Failure(f"{where}: a traceback\n{err}")
        messages = [line for line in err.splitlines() if HINT not in line]
        if (status, len(messages)) != ((1, 1) if faulty else (0, 0)):
            raise Failure(f"{where}: status {status} with {err!r}, expected {'one line' if faulty else 'none'}")
        if faulty and not re.match(r"^\S+: .+ at byte offset \d+$", messages[0]):
            raise Failure(f"{where}: the error line {messages[0]!r}")
        results[name] = out
    lines = results["lines"].decode()
    if lines.count("\n") != count:
        raise Failure(f"lines: {lines.count(chr(10))} lines for {count} records")
    objects = [strict(line) for line in results["json"].decode().splitlines()]
    if [o["index"] for o in objects] != list(range(1, count + 1)):
        raise Failure(f"json: indexes of {len(objects)} objects for {count} records")
    captured, wire = sum(r[2] for r in records), sum(r[1] for r in records)
    total = f"Total: {count} packets, {captured} bytes captured ({wire} bytes on the wire)"
    text = results["summary"].decode()
    if text.split("\n", 1)[0] != total or re.search(r"\b(inf|nan)\b", text, re.I):
        raise Failure(f"summary: {text[:300]!r}, expected {total!r} and no inf or nan")
    document = strict(results["summary-json"])
    traffic = document["traffic"] or {"packets": [], "bytes": []}
    found = (document["packets"], document["captured_bytes"], document["wire_bytes"], document["protocols"],
             sum(traffic["packets"]), sum(traffic["bytes"]))
    expected = (count, captured, wire, dict(Counter(o["protocol"] for o in objects)), len(usable),
                sum(r[1] for r in usable))
    if found != expected:
        raise Failure(f"summary --json: {found}, expected {expected}")
    with open(pcap_path, "rb") as f:
        written = f.read()
    for name, data in (("--pcap FILE", written), ("--pcap -", results["pcap"])):
        if data != written:
            raise Failure(f"{name}: not the same bytes as --pcap FILE")
        if read_pcap(data, linktype) != [(min(c, SNAPLEN), max(o, c), kept) for _, o, c, kept in records]:
            raise Failure(f"{name}: the pcap's records differ from the stream's")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--count", type=int, default=3000, help="streams at most")
    parser.add_argument("--seconds", type=float, default=1800, help="time at most")
    parser.add_argument("--python", default=sys.executable, help="the interpreter that runs the reader")
    parser.add_argument("--reader", default=READER, help="the reader's main.py")
    parser.add_argument("--keep", default=os.path.join(ROOT, "build", "fuzz-reader"),
                        help="where failing streams are kept")
    args = parser.parse_args()
    frames = base_frames()
    deadline = time.monotonic() + args.seconds
    failures, done = [], [0]
    lock = threading.Lock()

    def one(index):
        if time.monotonic() > deadline or len(failures) >= 5:
            return
        stream, linktype, rng = build_stream(args.seed, index, frames)
        with tempfile.TemporaryDirectory() as scratch:
            try:
                check_stream([args.python, args.reader], stream, linktype, rng, scratch)
            except (Failure, ValueError) as error:
                os.makedirs(args.keep, exist_ok=True)
                kept = os.path.join(args.keep, f"seed{args.seed}-{index}.bin")
                with open(kept, "wb") as f:
                    f.write(stream)
                with lock:
                    failures.append(f"stream {index} (--linktype {linktype}, kept in {kept}): {error}")
        with lock:
            done[0] += 1

    started = time.monotonic()
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        list(pool.map(one, range(args.count)))
    for failure in failures:
        print(failure, file=sys.stderr)
    print(f"fuzz-reader: {done[0]} streams, {5 * done[0]} runs of {args.python}, seed {args.seed}, "
          f"{time.monotonic() - started:.0f} s: {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

"""The reader's loops: the stream is read in whole chunks, and the frames
that make up nearly all traffic (Ethernet, then IPv4 without options or IPv6
without extension headers, then TCP or UDP with its header present) are
decoded inline at fixed offsets. Every other frame goes through decode(),
and the output is the same either way.

Output leaves at the end of every chunk. A chunk is what one read returns,
so on a pipe each line is written as soon as the capture has written its
record; nothing waits for more input.
"""

import json
import math
import os
import struct
import time

from decode import (LINKTYPE_ETHERNET, conversation_key, decode, format_address, format_endpoint,
                    looks_like_linux_cooked)
from pcapfile import SNAPLEN, record_header, split_timestamp
from records import HEADER, HEADER_SIZE, MAGIC, StreamError

CHUNK = 1 << 20
# The caches hold one entry per flow direction; an endless capture with ever
# new flows must not grow them without bound.
CACHE_LIMIT = 200_000
# How many of the first frames must look like Linux cooked captures.
HINT_FRAMES = 3
# The local time of a timestamp before 1970 or after 2106, which pcap cannot hold either.
NO_DATE = "????-??-?? ??:??:??.??????"

_unpack_header = HEADER.unpack_from
_tcp_after_ports = struct.Struct("!IIBB").unpack_from  # sequence, acknowledgement, data offset, flags
_TCP_FLAGS = ("FIN", "SYN", "RST", "PSH", "ACK", "URG", "ECE", "CWR")
# The TCP header length per data offset byte. Below 20 it is too large for
# any frame, so that the decoder takes the frame and reports it. One look-up
# costs less than the comparisons it replaces (measured).
TCP_HEADER = tuple((byte >> 4) * 4 if byte >= 0x50 else 1 << 32 for byte in range(256))
FLAG_TEXT = tuple("[" + ",".join(n for bit, n in enumerate(_TCP_FLAGS) if flags & (1 << bit)) + "]"
                  for flags in range(256))
FLAG_JSON = tuple(f'["{text[1:-1].replace(",", chr(34) + "," + chr(34))}"]' if text != "[]" else "[]"
                  for text in FLAG_TEXT)


def _addresses_and_ports(raw, size):
    """Source and destination addresses and ports, as they lie in the frame."""
    ports = 2 * size
    return (raw[:size], (raw[ports] << 8) | raw[ports + 1],
            raw[size:ports], (raw[ports + 2] << 8) | raw[ports + 3])


def _endpoints_text(family, name, raw, size):
    """'IPv4 a:p > b:q TCP': the line's text up to the transport's own."""
    src, sport, dst, dport = _addresses_and_ports(raw, size)
    return f"{family} {format_endpoint(src, sport)} > {format_endpoint(dst, dport)} {name}"


def _endpoints_json(family, name, raw, size):
    """The same as _endpoints_text, as the members of a JSON object."""
    src, sport, dst, dport = _addresses_and_ports(raw, size)
    return (f'"network":"{family}","src":"{format_address(src)}","sport":{sport},"dst":"{format_address(dst)}",'
            f'"dport":{dport},"transport":"{name}","protocol":"{name}","truncated":false')


def decoded_json(frame, linktype):
    """The general decoder's fields of a frame, as the members of a JSON object."""
    return json.dumps(decode(frame, linktype, False, True).fields, separators=(",", ":"))[1:-1]


def _conversation_of(name, raw, size):
    src, sport, dst, dport = _addresses_and_ports(raw, size)
    return conversation_key(name, src, sport, dst, dport)


class Chunks:
    """Reads the stream in chunks that each begin on a record boundary, and
    keeps the stream offset of the current chunk for the error messages.

    A chunk always holds its first record whole, up to the snaplen: the bytes
    of a longer record past the snaplen are read and dropped, and `clipped`
    tells the loop that this one record ends early. Memory stays at a record
    of the snaplen plus a read, whatever length a header declares, and each
    byte is copied a bounded number of times."""

    def __init__(self, fd):
        self._fd = fd
        self.offset = 0
        self.clipped = False
        self._dropped = 0

    def next(self, data=b"", consumed=0):
        """The chunk after `data`, whose first `consumed` bytes were whole
        records; None at a clean end of the stream."""
        self.offset += consumed + self._dropped
        self.clipped, self._dropped = False, 0
        rest = data[consumed:]
        parts, have, need = [rest] if rest else [], len(rest), None
        while True:
            if need is None and have >= HEADER_SIZE:
                # Less than a header plus one read: the join is cheap.
                head = parts[0] = b"".join(parts)
                del parts[1:]
                if head[:4] != MAGIC:
                    return head  # the loop names the bad magic
                captured = _unpack_header(head)[3]
                need = HEADER_SIZE + min(captured, SNAPLEN)
            if need is not None and have >= need:
                # One join per record, however many reads it took.
                rest = b"".join(parts) if len(parts) > 1 else parts[0]
                left = HEADER_SIZE + captured - have
                return self._drop(rest[:need], captured, left) if left > 0 else rest
            chunk = os.read(self._fd, CHUNK)
            if not chunk:
                if have:
                    raise _cut_short(b"".join(parts), self.offset)
                return None
            parts.append(chunk)
            have += len(chunk)

    def _drop(self, kept, captured, left):
        """Reads and drops the last `left` bytes of a record clipped to the snaplen."""
        while left:
            chunk = os.read(self._fd, min(left, CHUNK))
            if not chunk:
                raise StreamError(f"stream ends inside a packet ({captured - left} of {captured} bytes)", self.offset)
            left -= len(chunk)
        self.clipped, self._dropped = True, captured - SNAPLEN
        return kept


def _cut_short(data, offset):
    if len(data) < HEADER_SIZE:
        return StreamError(f"stream ends inside a record header ({len(data)} of {HEADER_SIZE} bytes)", offset)
    captured = _unpack_header(data)[3]
    return StreamError(f"stream ends inside a packet ({len(data) - HEADER_SIZE} of {captured} bytes)", offset)


def bad_magic(magic, offset):
    return StreamError(f"bad record magic {magic.hex()} (expected {MAGIC.hex()})", offset)


def print_lines(fd, linktype, write_text, pcap, hint, as_json=False):
    """A line per record through `write_text` (None: no text), and the pcap
    records through `pcap` (None: no pcap), once per chunk. With `as_json`,
    each line is a JSON object with the same values as the text line.

    summarise() frames the records the same way. The two loops stay apart on
    purpose: in one loop, the checks of which mode runs cost --summary about a
    tenth of its speed (measured)."""
    fast = linktype == LINKTYPE_ETHERNET
    # Per flow direction, keyed by the addresses and ports as they lie in the
    # frame (12 bytes for IPv4, 36 for IPv6): the text up to the transport's own.
    tcp_text, udp_text = {}, {}
    endpoints = _endpoints_json if as_json else _endpoints_text
    localtime, strftime = time.localtime, time.strftime
    second, second_text = None, ""
    index = 0
    hint_left = HINT_FRAMES if hint else 0
    chunks = Chunks(fd)
    data = chunks.next()
    while data is not None:
        n = len(data)
        p = 0
        lines, packets = [], []
        try:
            while n - p >= HEADER_SIZE:
                magic, ts, orig, cap = _unpack_header(data, p)
                if magic != MAGIC:
                    raise bad_magic(magic, chunks.offset + p)
                start = p + HEADER_SIZE
                end = start + cap
                if end > n:
                    if not chunks.clipped:
                        break
                    end = n  # past the snaplen, the record was dropped unread
                p = end
                if cap > SNAPLEN:
                    # Whether a chunk held all of it depends on how reads split the stream.
                    end = start + SNAPLEN
                index += 1
                seconds, micros = split_timestamp(ts)
                if pcap is not None:
                    packets.append(record_header(seconds, micros, orig, cap))
                    packets.append(data[start:end])
                if hint_left:
                    hint_left = hint.check(data[start:end], hint_left)
                if write_text is None:
                    continue
                if seconds != second:
                    second = seconds
                    second_text = strftime("%Y-%m-%d %H:%M:%S", localtime(seconds)) if seconds is not None else ""

                text = None
                if fast and cap >= 42:
                    at = 0  # where the transport header starts, once known
                    if data[start + 12] == 8 and data[start + 13] == 0:
                        # IPv4, 20-byte header, not a later fragment.
                        if data[start + 14] == 0x45 and not (data[start + 20] & 0x1F or data[start + 21]):
                            protocol, at, size, family = data[start + 23], start + 34, 4, "IPv4"
                            payload = ((data[start + 16] << 8) | data[start + 17]) - 20
                    elif data[start + 12] == 0x86 and data[start + 13] == 0xDD and data[start + 14] >> 4 == 6:
                        # IPv6 whose next header is the transport.
                        protocol, at, size, family = data[start + 20], start + 54, 16, "IPv6"
                        payload = (data[start + 18] << 8) | data[start + 19]
                    if not at:
                        pass
                    elif protocol == 6 and end - at >= 20:
                        seq, ack, offset, flags = _tcp_after_ports(data, at + 4)
                        header = TCP_HEADER[offset]
                        if at + header <= end:
                            key = data[at - 2 * size:at + 4]  # addresses and ports
                            prefix = tcp_text.get(key)
                            if prefix is None:
                                prefix = tcp_text[key] = endpoints(family, "TCP", key, size)
                            length = payload - header
                            text = (f"{prefix} {FLAG_TEXT[flags]} seq={seq} ack={ack} len={length if length > 0 else 0}"
                                    if not as_json else
                                    f'{prefix},"flags":{FLAG_JSON[flags]},"seq":{seq},"ack":{ack},'
                                    f'"length":{length if length > 0 else 0},"undecoded":{end - at - header}')
                    elif protocol == 17 and end - at >= 8:
                        key = data[at - 2 * size:at + 4]
                        prefix = udp_text.get(key)
                        if prefix is None:
                            prefix = udp_text[key] = endpoints(family, "UDP", key, size)
                        length = (data[at + 4] << 8) | data[at + 5]
                        length = (length if length < payload else payload) - 8
                        text = (f"{prefix} len={length if length > 0 else 0}" if not as_json
                                else f'{prefix},"length":{length if length > 0 else 0},"undecoded":{end - at - 8}')
                if as_json:
                    if text is None:
                        text = decoded_json(data[start:end], linktype)
                    # JSON has no NaN or infinity; ts - ts is 0 only for a finite ts.
                    lines.append(f'{{"index":{index},"timestamp":{ts!r},"time":"{second_text}.{micros:06d}",'
                                 f'"captured_length":{cap},"original_length":{orig},"linktype":{linktype},{text}}}\n'
                                 if second_text else
                                 f'{{"index":{index},"timestamp":{repr(ts) if ts - ts == 0 else "null"},"time":null,'
                                 f'"captured_length":{cap},"original_length":{orig},"linktype":{linktype},{text}}}\n')
                    continue
                if text is None:
                    text = decode(data[start:end], linktype).text
                lines.append(f"{index} {ts:.6f} {second_text}.{micros:06d} {cap}/{orig} {text}\n" if second_text
                             else f"{index} {ts:.6f} {NO_DATE} {cap}/{orig} {text}\n")
        finally:
            # What came before a fault is complete and worth keeping.
            if pcap is not None:
                pcap(packets)
            if write_text is not None:
                write_text("".join(lines))
        for cache in (tcp_text, udp_text):
            if len(cache) > CACHE_LIMIT:
                cache.clear()
        data = chunks.next(data, p)


def summarise(fd, linktype, summary, pcap, hint):
    """Adds every record to `summary`, and writes the pcap records through
    `pcap` (None: no pcap) once per chunk."""
    fast = linktype == LINKTYPE_ETHERNET
    # Per flow direction, as in print_lines: the conversation's totals.
    tcp_totals, udp_totals = {}, {}
    protocols = summary.protocols
    totals_for = summary.totals_for
    packets_seen = captured = wire = tcp = udp = 0
    first, last = summary.first, summary.last
    enter = summary.traffic.enter
    low, high = math.inf, -math.inf  # the bounds of the traffic chart's current bin: none yet
    hint_left = HINT_FRAMES if hint else 0
    chunks = Chunks(fd)
    data = chunks.next()
    try:
        while data is not None:
            n = len(data)
            p = 0
            packets = []
            try:
                while n - p >= HEADER_SIZE:
                    magic, ts, orig, cap = _unpack_header(data, p)
                    if magic != MAGIC:
                        raise bad_magic(magic, chunks.offset + p)
                    start = p + HEADER_SIZE
                    end = start + cap
                    if end > n:
                        if not chunks.clipped:
                            break
                        end = n
                    p = end
                    # Two comparisons a record where time moves on, as many as for
                    # the first and last timestamps alone: a later timestamp than
                    # the last is above the bin's lower bound. Only timestamps
                    # that enter() finds usable (low < high) move the first and
                    # the last.
                    if ts > last:
                        if ts < high:
                            last = ts
                        else:
                            low, high = enter(ts, packets_seen, wire)
                            if low < high:
                                last = ts
                                if ts < first:
                                    first = ts
                    else:  # an earlier timestamp, or NaN, which fails every comparison
                        if not low <= ts < high:
                            low, high = enter(ts, packets_seen, wire)
                        if ts < first and low <= ts < high:
                            first = ts
                    packets_seen += 1
                    captured += cap
                    wire += orig
                    if pcap is not None:
                        packets.append(record_header(*split_timestamp(ts), orig, cap))
                        packets.append(data[start:end] if cap <= SNAPLEN else data[start:start + SNAPLEN])
                    if hint_left:
                        hint_left = hint.check(data[start:end], hint_left)

                    totals = None
                    if fast and cap >= 42:
                        at = 0
                        if data[start + 12] == 8 and data[start + 13] == 0:
                            if data[start + 14] == 0x45 and not (data[start + 20] & 0x1F or data[start + 21]):
                                protocol, at, size = data[start + 23], start + 34, 4
                        elif data[start + 12] == 0x86 and data[start + 13] == 0xDD and data[start + 14] >> 4 == 6:
                            protocol, at, size = data[start + 20], start + 54, 16
                        if not at:
                            pass
                        elif protocol == 6 and end - at >= 4:
                            key = data[at - 2 * size:at + 4]
                            totals = tcp_totals.get(key)
                            if totals is None:
                                totals = tcp_totals[key] = totals_for(_conversation_of("TCP", key, size))
                            tcp += 1
                        elif protocol == 17 and end - at >= 8:
                            key = data[at - 2 * size:at + 4]
                            totals = udp_totals.get(key)
                            if totals is None:
                                totals = udp_totals[key] = totals_for(_conversation_of("UDP", key, size))
                            udp += 1
                    if totals is None:
                        # Cut to the snaplen here only: whether a chunk held all of a
                        # longer record depends on how reads split the stream, and the
                        # inline decoding above reads its first 54 bytes at most.
                        decoded = decode(data[start:end if cap <= SNAPLEN else start + SNAPLEN], linktype,
                                         with_text=False)
                        protocols[decoded.protocol] += 1
                        if decoded.conversation is None:
                            continue
                        totals = totals_for(decoded.conversation)
                    totals[0] += 1
                    totals[1] += orig
            finally:
                if pcap is not None:
                    pcap(packets)
            for cache in (tcp_totals, udp_totals):
                if len(cache) > CACHE_LIMIT:
                    cache.clear()
            data = chunks.next(data, p)
    finally:
        enter(math.nan, packets_seen, wire)  # closes the open bin
        summary.packets += packets_seen
        summary.captured_bytes += captured
        summary.wire_bytes += wire
        summary.first, summary.last = first, last
        if tcp:
            protocols["TCP"] += tcp
        if udp:
            protocols["UDP"] += udp


class LinktypeHint:
    """Says once, on standard error, that frames read as Ethernet look like
    Linux cooked captures (what `ostrane -i any` writes)."""

    def __init__(self, say):
        self._say = say

    def check(self, frame, left):
        """Returns how many frames are still to check (0: decided)."""
        if not looks_like_linux_cooked(frame):
            return 0
        if left == 1:
            self._say("main.py: these frames look like Linux cooked captures (ostrane -i any); "
                      "decode them with --linktype 113\n")
        return left - 1

"""The reader's loops: the capture is framed in whole chunks, and the frames
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
import struct
import time

from decode import (LINKTYPE_ETHERNET, conversation_key, decode, format_address, format_endpoint, format_name,
                    looks_like_linux_cooked, looks_like_raw_ip)
from pcapfile import LINKTYPE_MASK, record_header, split_timestamp

# The caches hold one entry per flow direction; an endless capture with ever
# new flows must not grow them without bound.
CACHE_LIMIT = 200_000
# How many of the first frames must look like Linux cooked captures.
HINT_FRAMES = 3
# The local time of a timestamp before 1970 or after 2106, which pcap cannot hold either.
NO_DATE = "????-??-?? ??:??:??.??????"

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


def _with_interfaces(lines, interfaces, as_json, forms):
    """The lines of a group whose section describes several interfaces, each
    naming its packet's after the time. Added to the finished lines, so that
    the loop pays nothing for captures of one interface."""
    named = []
    for line, name in zip(lines, interfaces):
        form = forms.get(name)
        if form is None:
            form = forms[name] = json.dumps(name) if as_json else format_name(name)
        if as_json:
            named.append(line.replace(',"captured_length":', f',"interface":{form},"captured_length":', 1))
        else:
            index, stamp, day, clock, rest = line.split(" ", 4)
            named.append(f"{index} {stamp} {day} {clock} {form} {rest}")
    return named


def print_lines(groups, write_text, pcap, hint, as_json=False):
    """A line per record of `groups` (from containers.open_capture) through
    `write_text` (None: no text), and the pcap records and their link type
    through `pcap` (None: no pcap), once per group. With `as_json`,
    each line is a JSON object with the same values as the text line.

    summarise() frames the records the same way. The two loops stay apart on
    purpose: in one loop, the checks of which mode runs cost --summary about a
    tenth of its speed (measured)."""
    # Per flow direction, keyed by the addresses and ports as they lie in the
    # frame (12 bytes for IPv4, 36 for IPv6): the text up to the transport's own.
    tcp_text, udp_text = {}, {}
    endpoints = _endpoints_json if as_json else _endpoints_text
    localtime, strftime = time.localtime, time.strftime
    second, second_text = None, ""
    index = 0
    hint_left = HINT_FRAMES if hint else 0
    interface_forms = {}
    for data, field, frames, interfaces in groups:
        linktype = field & LINKTYPE_MASK  # the export keeps the FCS bits of the field
        fast = linktype == LINKTYPE_ETHERNET
        lines, packets = [], []
        try:
            for ts, orig, cap, start, end in frames:
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
                pcap(packets, field)
            if write_text is not None:
                if type(interfaces) is list:
                    lines = _with_interfaces(lines, interfaces, as_json, interface_forms)
                write_text("".join(lines))
        for cache in (tcp_text, udp_text):
            if len(cache) > CACHE_LIMIT:
                cache.clear()


def summarise(groups, summary, pcap, hint):
    """Adds every record of `groups` to `summary`, and writes the pcap records
    and their link type through `pcap` (None: no pcap) once per group."""
    # Per flow direction, as in print_lines: the conversation's totals.
    tcp_totals, udp_totals = {}, {}
    protocols = summary.protocols
    totals_for = summary.totals_for
    packets_seen = captured = wire = tcp = udp = 0
    first, last = summary.first, summary.last
    enter = summary.traffic.enter
    low, high = math.inf, -math.inf  # the bounds of the traffic chart's current bin: none yet
    hint_left = HINT_FRAMES if hint else 0
    try:
        for data, field, frames, interfaces in groups:
            linktype = field & LINKTYPE_MASK
            fast = linktype == LINKTYPE_ETHERNET
            packets = []
            group_packets, group_wire = packets_seen, wire
            try:
                for ts, orig, cap, start, end in frames:
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
                        packets.append(data[start:end])
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
                        decoded = decode(data[start:end], linktype, with_text=False)
                        protocols[decoded.protocol] += 1
                        if decoded.conversation is None:
                            continue
                        totals = totals_for(decoded.conversation)
                    totals[0] += 1
                    totals[1] += orig
            finally:
                if pcap is not None:
                    pcap(packets, field)
                if interfaces is not None and packets_seen > group_packets:
                    if type(interfaces) is str:
                        summary.count_interface(interfaces, packets_seen - group_packets, wire - group_wire)
                    else:
                        for frame, name in zip(frames, interfaces[:packets_seen - group_packets]):
                            summary.count_interface(name, 1, frame[1])
            for cache in (tcp_totals, udp_totals):
                if len(cache) > CACHE_LIMIT:
                    cache.clear()
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


# What frames read as Ethernet may really be, how to tell, and the link type to ask for.
_GUESSES = ((looks_like_linux_cooked, "Linux cooked captures (ostrane -i any)", 113),
            (looks_like_raw_ip, "raw IP (ostrane on a tun or WireGuard device)", 101))


class LinktypeHint:
    """Says once, on standard error, that frames read as Ethernet look like
    what a capture writes on another kind of device: the record stream does
    not name its link type."""

    def __init__(self, say):
        self._say = say
        self._guess = None

    def check(self, frame, left):
        """Returns how many frames are still to check (0: decided)."""
        if self._guess is None:
            self._guess = next((guess for guess in _GUESSES if guess[0](frame)), None)
        if self._guess is None or not self._guess[0](frame):
            return 0
        if left == 1:
            self._say(f"ostrane-analyzer: these frames look like {self._guess[1]}; "
                      f"decode them with --linktype {self._guess[2]}\n")
        return left - 1

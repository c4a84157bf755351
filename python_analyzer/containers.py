"""The containers the reader opens: ostrane's record stream, classic pcap and
pcapng. Each is framed by a loop of its own, and every one hands on the same
record: timestamp, original and captured length, the bytes as a span of a
chunk, and the link type. Decoding never sees the container.

open_capture() tells them apart by their first bytes and returns the groups
of one chunk: (data, linktype, frames), each frame a tuple (timestamp,
original length, captured length, start, end) of bytes data[start:end],
never more than the snaplen of them. A fault ends the groups with a
StreamError that names its byte offset, after every whole record before it.
"""

import os
import struct

from pcapfile import SNAPLEN
from records import HEADER, HEADER_SIZE, MAGIC, StreamError

CHUNK = 1 << 20
LINKTYPE_ETHERNET = 1
# The link-type field keeps its upper 6 bits for the FCS length.
LINKTYPE_MASK = 0x03FFFFFF
PCAP_HEADER = 24
PCAP_RECORD = 16
# pcap magic numbers, read little-endian: byte order and timestamp units.
PCAP_MAGIC = {0xA1B2C3D4: ("<", 1e6), 0xD4C3B2A1: (">", 1e6),
              0xA1B23C4D: ("<", 1e9), 0x4D3CB2A1: (">", 1e9)}
PCAPNG_SHB = 0x0A0D0D0A  # the same in either byte order
PCAPNG_BYTE_ORDER = 0x1A2B3C4D
IDB, OPB, SPB, EPB = 1, 2, 3, 6
# A pcapng block is read whole up to this length. A longer packet block
# keeps its fixed part and a snaplen of packet bytes; any other long block
# keeps only what the reader looks at.
BLOCK_LIMIT = SNAPLEN + (64 << 10)
BLOCK_KEEP = {EPB: 28 + SNAPLEN, OPB: 28 + SNAPLEN, SPB: 12 + SNAPLEN, IDB: 16, PCAPNG_SHB: 12}
OPTION_TSRESOL, OPTION_TSOFFSET = 9, 14
# The most records handed on at once: the decoding loop then finds them
# still in the processor's cache.
GROUP = range(256)

_unpack_record = HEADER.unpack_from


class Chunks:
    """Reads a container in chunks that each begin on a record boundary, and
    keeps the offset of the current chunk for the error messages.

    `sizes(head)` gives the whole length of the record whose first `header`
    bytes are `head`, and how much of it to keep (None when the header is
    bad, for the framing loop to name); `cut_short(have, head)` the message
    for a container that ends `have` bytes into that record. A chunk always
    holds its first record whole up to what is kept: bytes past that are read
    and dropped, and `clipped` tells the loop that this one record ends early.
    Memory stays at a kept record plus a read, whatever length a header
    declares, and each byte is copied a bounded number of times."""

    def __init__(self, fd, header, sizes, cut_short, data=b"", offset=0):
        self._fd = fd
        self._header, self._sizes, self._cut_short = header, sizes, cut_short
        self._pending = data
        self.offset = offset
        self.clipped = False
        self._dropped = 0

    def next(self, data=b"", consumed=0):
        """The chunk after `data`, whose first `consumed` bytes were whole
        records; None at a clean end of the container."""
        if self._pending:
            data, self._pending = self._pending, b""
        self.offset += consumed + self._dropped
        self.clipped, self._dropped = False, 0
        rest = data[consumed:]
        parts, have, need = [rest] if rest else [], len(rest), None
        while True:
            if need is None and have >= self._header:
                # Less than a header plus one read: the join is cheap.
                head = parts[0] = b"".join(parts)
                del parts[1:]
                sizes = self._sizes(head)
                if sizes is None:
                    return head  # the loop names the bad header
                whole, need = sizes
            if need is not None and have >= need:
                # One join per record, however many reads it took.
                rest = b"".join(parts) if len(parts) > 1 else parts[0]
                return self._drop(rest[:need], whole, whole - have) if whole > have else rest
            chunk = os.read(self._fd, CHUNK)
            if not chunk:
                if have:
                    data = b"".join(parts)
                    raise StreamError(self._cut_short(have, data), self.offset)
                return None
            parts.append(chunk)
            have += len(chunk)

    def _drop(self, kept, whole, left):
        """Reads and drops the last `left` bytes of a record kept in part."""
        while left:
            chunk = os.read(self._fd, min(left, CHUNK))
            if not chunk:
                raise StreamError(self._cut_short(whole - left, kept), self.offset)
            left -= len(chunk)
        self.clipped, self._dropped = True, whole - len(kept)
        return kept


def _read_start(fd, size):
    """The first `size` bytes of the input, or fewer at its end."""
    parts, have = [], 0
    while have < size:
        chunk = os.read(fd, CHUNK)
        if not chunk:
            break
        parts.append(chunk)
        have += len(chunk)
    return b"".join(parts)


def open_capture(fd, linktype=LINKTYPE_ETHERNET):
    """(container name, groups) of the input on `fd`. The record stream names
    no link type: its frames are of `linktype`."""
    start = _read_start(fd, 4)
    if start[:4] == PCAPNG_SHB.to_bytes(4, "little"):
        return "pcapng", _pcapng(fd, start)
    magic = int.from_bytes(start[:4], "little") if len(start) >= 4 else None
    if magic in PCAP_MAGIC:
        return "pcap", _pcap(fd, start, *PCAP_MAGIC[magic])
    # Anything else is framed as records, and a wrong magic is named as one.
    return "records", _records(fd, start, linktype)


def _records(fd, start, linktype):
    def sizes(head):
        if head[:4] != MAGIC:
            return None
        captured = _unpack_record(head)[3]
        return HEADER_SIZE + captured, HEADER_SIZE + min(captured, SNAPLEN)

    def cut_short(have, head):
        if have < HEADER_SIZE:
            return f"stream ends inside a record header ({have} of {HEADER_SIZE} bytes)"
        return f"stream ends inside a packet ({have - HEADER_SIZE} of {_unpack_record(head)[3]} bytes)"

    chunks = Chunks(fd, HEADER_SIZE, sizes, cut_short, start)
    unpack, good, snaplen = _unpack_record, MAGIC, SNAPLEN  # locals: the loop runs once per record
    data = chunks.next()
    while data is not None:
        n, p, error, more = len(data), 0, None, True
        while more:
            frames, more = [], False
            append = frames.append
            for _ in GROUP:
                if n - p < 20:
                    break
                magic, ts, orig, cap = unpack(data, p)
                if magic != good:
                    error = StreamError(f"bad record magic {magic.hex()} (expected {MAGIC.hex()})", chunks.offset + p)
                    break
                start = p + 20
                p = start + cap
                if p > n:
                    if not chunks.clipped:
                        p = start - 20
                        break
                    p = n  # past the snaplen, the record was dropped unread
                append((ts, orig, cap, start, start + cap if cap <= snaplen else start + snaplen))
            else:
                more = True
            yield data, linktype, frames
        if error:
            raise error
        data = chunks.next(data, p)


def _pcap(fd, start, order, per_second):
    head = start + _read_start(fd, PCAP_HEADER - len(start))
    if len(head) < PCAP_HEADER:
        raise StreamError(f"file ends inside the pcap file header ({len(head)} of {PCAP_HEADER} bytes)", 0)
    linktype = struct.unpack_from(order + "I", head, 20)[0] & LINKTYPE_MASK
    unpack = struct.Struct(order + "IIII").unpack_from
    captured_at = struct.Struct(order + "I").unpack_from

    def sizes(record):
        captured = captured_at(record, 8)[0]
        return PCAP_RECORD + captured, PCAP_RECORD + min(captured, SNAPLEN)

    def cut_short(have, record):
        if have < PCAP_RECORD:
            return f"file ends inside a record header ({have} of {PCAP_RECORD} bytes)"
        return f"file ends inside a packet ({have - PCAP_RECORD} of {captured_at(record, 8)[0]} bytes)"

    chunks = Chunks(fd, PCAP_RECORD, sizes, cut_short, head[PCAP_HEADER:], PCAP_HEADER)
    snaplen = SNAPLEN
    data = chunks.next()
    yield b"", linktype, []  # the link type is known before any packet
    while data is not None:
        n, p, more = len(data), 0, True
        while more:
            frames, more = [], False
            append = frames.append
            for _ in GROUP:
                if n - p < 16:
                    break
                seconds, fraction, cap, orig = unpack(data, p)
                start = p + 16
                p = start + cap
                if p > n:
                    if not chunks.clipped:
                        p = start - 16
                        break
                    p = n
                append((seconds + fraction / per_second, orig, cap, start,
                        start + cap if cap <= snaplen else start + snaplen))
            else:
                more = True
            yield data, linktype, frames
        data = chunks.next(data, p)


class _Section:
    """What the blocks of one pcapng section share: the byte order and the interfaces."""

    def __init__(self, order):
        self.order = order
        self.u32 = struct.Struct(order + "I").unpack_from
        self.epb = struct.Struct(order + "IIIII").unpack_from  # interface, time high, low, captured, original
        self.opb = struct.Struct(order + "HHIIII").unpack_from  # interface, drops, time high, low, captured, original
        self.interfaces = []  # (link type, snaplen, units per second, offset in seconds)

    def add_interface(self, data, p, end):
        """Adds the interface of the block at data[p:], whose options end at `end`."""
        linktype, snaplen = struct.unpack_from(self.order + "HxxI", data, p + 8)
        per_second, offset = 1_000_000, 0
        at = p + 16
        while at + 4 <= end:
            code, length = struct.unpack_from(self.order + "HH", data, at)
            if code == 0 or at + 4 + length > end:
                break
            value = data[at + 4:at + 4 + length]
            if code == OPTION_TSRESOL and length == 1:
                # The high bit picks powers of two over powers of ten.
                per_second = 2 ** (value[0] & 0x7F) if value[0] & 0x80 else 10 ** value[0]
            elif code == OPTION_TSOFFSET and length == 8:
                offset = struct.unpack(self.order + "q", value)[0]
            at += 4 + (length + 3) // 4 * 4
        self.interfaces.append((linktype & LINKTYPE_MASK, snaplen, per_second, offset))
        return linktype & LINKTYPE_MASK


def _pcapng(fd, start):
    head = start + _read_start(fd, 12 - len(start))
    section = [None]  # the current one, replaced by each Section Header Block

    def byte_order(block):
        order = block[8:12]
        if order == PCAPNG_BYTE_ORDER.to_bytes(4, "little"):
            return "<"
        return ">" if order == PCAPNG_BYTE_ORDER.to_bytes(4, "big") else None

    def sizes(block):
        kind = int.from_bytes(block[:4], "little")
        if kind == PCAPNG_SHB:
            order = byte_order(block)
            if order is None:
                return None
            if section[0] is None or section[0].order != order:
                section[0] = _Section(order)
        elif section[0] is None:
            return None
        whole = section[0].u32(block, 4)[0]
        if kind != PCAPNG_SHB:
            kind = section[0].u32(block, 0)[0]
        if whole < 12 or whole % 4:
            return None
        return whole, whole if whole <= BLOCK_LIMIT else BLOCK_KEEP.get(kind, 12)

    def cut_short(have, block):
        if have < 12:
            return f"file ends inside a block header ({have} of 12 bytes)"
        return f"file ends inside a block ({have} of {section[0].u32(block, 4)[0]} bytes)"

    chunks = Chunks(fd, 12, sizes, cut_short, head)
    data = chunks.next()
    linktype, frames = None, []  # the link type of the frames gathered
    while data is not None:
        n, p, error = len(data), 0, None
        sect = section[0]
        while n - p >= 12:
            kind = int.from_bytes(data[p:p + 4], "little")
            if kind == PCAPNG_SHB:
                if byte_order(data[p:p + 12]) is None:
                    error = f"bad pcapng byte-order magic {data[p + 8:p + 12].hex()}"
                    break
                sect = section[0] = _Section(byte_order(data[p:p + 12]))
            elif sect is None:
                error = "pcapng file without a section header"
                break
            else:
                kind = sect.u32(data, p)[0]
            whole = sect.u32(data, p + 4)[0]
            if whole < 12 or whole % 4:
                error = f"bad pcapng block length {whole}"
                break
            after = p + whole
            if after > n:
                if not chunks.clipped:
                    break
                after = n
            if kind == EPB or kind == SPB or kind == OPB:
                if kind == SPB:
                    interface, high, low, orig = 0, 0, 0, sect.u32(data, p + 8)[0]
                    start, room = p + 12, whole - 16
                    cap = min(orig, room)
                elif kind == EPB:
                    interface, high, low, cap, orig = sect.epb(data, p + 8)
                    start, room = p + 28, whole - 32
                else:
                    interface, _, high, low, cap, orig = sect.opb(data, p + 8)
                    start, room = p + 28, whole - 32
                if interface >= len(sect.interfaces):
                    error = f"packet of interface {interface}, but {len(sect.interfaces)} described"
                    break
                if cap > room:
                    error = f"packet of {cap} bytes in a block of {whole}"
                    break
                kind_linktype, snaplen, per_second, offset = sect.interfaces[interface]
                if kind == SPB:
                    # No timestamp of its own; its length is cut to the snaplen.
                    ts = float("nan")
                    if snaplen:
                        cap = min(cap, snaplen)
                else:
                    # Whole seconds apart from the fraction, as a pcap file
                    # and the record stream give them: the same float.
                    seconds, fraction = divmod((high << 32) | low, per_second)
                    ts = seconds + offset + fraction / per_second
                if kind_linktype != linktype:
                    if frames:
                        yield data, linktype, frames
                        frames = []
                    linktype = kind_linktype
                frames.append((ts, orig, cap, start, start + min(cap, SNAPLEN)))
            elif kind == IDB:
                if whole < 20:
                    error = f"interface description block of {whole} bytes"
                    break
                described = sect.add_interface(data, p, min(after, p + whole - 4))
                if linktype is None:
                    linktype = described
            p = after
        yield data, LINKTYPE_ETHERNET if linktype is None else linktype, frames
        frames = []
        if error:
            raise StreamError(error, chunks.offset + p)
        data = chunks.next(data, p)

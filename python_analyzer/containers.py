"""The containers the reader opens: ostrane's record stream, classic pcap and
pcapng. All three go through one framing loop: Chunks reads the input in
chunks that begin on a record boundary, and a walker per container takes the
records of a chunk apart. Every one hands on the same record: timestamp,
original and captured length, the bytes as a span of a chunk, and the link
type. Decoding never sees the container.

open_capture() tells them apart by their first bytes and returns the groups
of one chunk: (data, linktype, frames, interfaces), each frame a tuple
(timestamp, original length, captured length, start, end) of bytes
data[start:end], never more than the snaplen of them. The link type is the whole field a pcap
file gives, FCS bits and all, for an export to keep. A fault ends the groups
with a StreamError that names its byte offset, after every whole record
before it; where the reads of the input end never changes what is read.

Only pcapng names the interface a packet came on. `interfaces` is None for
the other containers; for pcapng, the name of the one interface of every
frame of the group, where its section describes only that one, or else a
list of each frame's interface name: a group never mixes the two, so the
loops pay for names per group, and per frame only where a section has
several interfaces.
"""

import os
import struct

from decode import LINKTYPE_ETHERNET
from pcapfile import SNAPLEN
from records import HEADER, HEADER_SIZE, MAGIC, StreamError

CHUNK = 1 << 20
PCAP_HEADER = 24
# pcap magic numbers, read little-endian: byte order, timestamp units and the
# size of a record's header, which Alexey Kuznetzov's patched libpcap of old
# Red Hat systems made 8 bytes longer (interface, protocol, packet type).
PCAP_MAGIC = {0xA1B2C3D4: ("<", 1e6, 16), 0xD4C3B2A1: (">", 1e6, 16),
              0xA1B23C4D: ("<", 1e9, 16), 0x4D3CB2A1: (">", 1e9, 16),
              0xA1B2CD34: ("<", 1e6, 24), 0x34CDB2A1: (">", 1e6, 24)}
PCAPNG_SHB = 0x0A0D0D0A  # the same in either byte order
PCAPNG_BYTE_ORDER = 0x1A2B3C4D
IDB, OPB, SPB, EPB = 1, 2, 3, 6
# The shortest block of each kind that holds its fixed fields.
SHORTEST = {IDB: 20, OPB: 32, SPB: 16, EPB: 32}
# A pcapng block is read whole up to this length. A longer packet block
# keeps its fixed part and a snaplen of packet bytes, and any other long
# block only what the reader looks at; but an interface is read whole up to
# BLOCK_MAX, since its options set the clock of its packets. Past BLOCK_MAX,
# libpcap's own limit, no block is read.
BLOCK_LIMIT = SNAPLEN + (64 << 10)
BLOCK_MAX = 16 << 20
BLOCK_KEEP = {EPB: 28 + SNAPLEN, OPB: 28 + SNAPLEN, SPB: 12 + SNAPLEN, PCAPNG_SHB: 12}
OPTION_NAME, OPTION_TSRESOL, OPTION_TSOFFSET = 2, 9, 14
CLOCK_OPTIONS = {OPTION_TSRESOL: 1, OPTION_TSOFFSET: 8}  # and their lengths
# The most records handed on at once: the decoding loop then finds them
# still in the processor's cache.
GROUP = range(256)
NOT_A_CAPTURE = "neither a record stream nor a pcap or pcapng file: it starts with "

_unpack_record = HEADER.unpack_from
_U32 = {order: struct.Struct(order + "I").unpack_from for order in "<>"}


class Chunks:
    """Reads a container in chunks that each begin on a record boundary, and
    keeps the offset of the current chunk for the error messages.

    `sizes(head)` gives the whole length of the record whose first `header`
    bytes are `head`, and how much of it to keep (None when the header is
    bad, for the walker to name); `cut_short(have, head)` the message for a
    container that ends `have` bytes into that record. A chunk always holds
    its first record whole up to what is kept: bytes past that are read and
    dropped, `clipped` tells the walker that this one record ends early, and
    `tail` holds its last four bytes. Memory stays at a kept record plus a
    read, whatever length a header declares, and each byte is copied a
    bounded number of times."""

    def __init__(self, read, header, sizes, cut_short, data=b"", offset=0):
        self._read = read
        self._header, self._sizes, self._cut_short = header, sizes, cut_short
        self._pending = data
        self.offset = offset
        self.clipped, self.tail = False, b""
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
                    return head  # the walker names the bad header
                whole, need = sizes
            if need is not None and have >= need:
                # One join per record, however many reads it took.
                rest = b"".join(parts) if len(parts) > 1 else parts[0]
                return self._drop(rest[:need], rest[-4:], whole, whole - have) if whole > have else rest
            chunk = self._read(CHUNK)
            if not chunk:
                if have:
                    raise StreamError(self._cut_short(have, b"".join(parts)), self.offset)
                return None
            parts.append(chunk)
            have += len(chunk)

    def _drop(self, kept, tail, whole, left):
        """Reads and drops the last `left` bytes of a record kept in part."""
        while left:
            chunk = self._read(min(left, CHUNK))
            if not chunk:
                raise StreamError(self._cut_short(whole - left, kept), self.offset)
            tail = (tail + chunk[-4:])[-4:]
            left -= len(chunk)
        self.clipped, self.tail, self._dropped = True, tail, whole - len(kept)
        return kept


def open_capture(fd, linktype=LINKTYPE_ETHERNET, read=os.read):
    """(container name, groups) of the input on `fd`, read by `read(fd, size)`.
    The record stream names no link type: its frames are of `linktype`."""
    def read_input(size):
        return read(fd, size)

    start = _read_start(read_input, 4)
    # An input of fewer than 4 bytes is a cut-off version of what it starts like.
    head = start[:4]
    if head and PCAPNG_SHB.to_bytes(4, "little").startswith(head):
        blocks = _Pcapng()
        return "pcapng", _frame(Chunks(read_input, 12, blocks.sizes, blocks.cut_short, start), blocks.walk)
    for magic, kind in PCAP_MAGIC.items():
        if head and magic.to_bytes(4, "little").startswith(head):
            return "pcap", _frame(*_pcap(read_input, start, *kind))
    # Anything else is framed as records, and a wrong magic is named as one.
    return "records", _frame(*_records(read_input, start, linktype))


def _read_start(read, size, start=b""):
    """The first `size` bytes of the input, or fewer at its end."""
    parts, have = [start], len(start)
    while have < size:
        chunk = read(CHUNK)
        if not chunk:
            break
        parts.append(chunk)
        have += len(chunk)
    return b"".join(parts)


def _frame(chunks, walk, linktype=None):
    """The one framing loop. `walk(data, p, chunks)` takes the records of the
    chunk `data` apart from byte `p` on, and returns (link type, frames, the
    end of the last whole record, the fault there or None, whether a call at
    that end may find more in this chunk, the interfaces of the frames). A `linktype` known before any
    record is handed on first, for an export of none."""
    if linktype is not None:
        yield b"", linktype, [], None
    data = chunks.next()
    while data is not None:
        more, p = True, 0
        while more:
            linktype, frames, p, fault, more, interfaces = walk(data, p, chunks)
            yield data, linktype, frames, interfaces
            if fault:
                raise StreamError(fault, chunks.offset + p)
        data = chunks.next(data, p)


def _not_a_capture(head, offset):
    """The input's first bytes are none of the three containers' magic."""
    return offset == 0 and head[:4] != MAGIC[:len(head[:4])]


def _records(read, start, linktype):
    def sizes(head):
        if head[:4] != MAGIC:
            return None
        captured = _unpack_record(head)[3]
        return HEADER_SIZE + captured, HEADER_SIZE + min(captured, SNAPLEN)

    def cut_short(have, head):
        if _not_a_capture(head, chunks.offset):
            return NOT_A_CAPTURE + head[:4].hex()
        if have < HEADER_SIZE:
            return f"stream ends inside a record header ({have} of {HEADER_SIZE} bytes)"
        return f"stream ends inside a packet ({have - HEADER_SIZE} of {_unpack_record(head)[3]} bytes)"

    def walk(data, p, chunks, unpack=_unpack_record, good=MAGIC, snaplen=SNAPLEN):  # locals: run once per record
        n, frames = len(data), []
        append = frames.append
        for _ in GROUP:
            if n - p < 20:
                return linktype, frames, p, None, False, None
            magic, ts, orig, cap = unpack(data, p)
            if magic != good:
                if _not_a_capture(magic, chunks.offset + p):
                    return linktype, frames, p, NOT_A_CAPTURE + magic.hex(), False, None
                return linktype, frames, p, f"bad record magic {magic.hex()} (expected {good.hex()})", False, None
            start = p + 20
            end = start + cap
            if end > n:
                if not chunks.clipped:
                    return linktype, frames, p, None, False, None
                end = n  # past the snaplen, the record was dropped unread
            append((ts, orig, cap, start, end if cap <= snaplen else start + snaplen))
            p = end
        return linktype, frames, p, None, True, None

    chunks = Chunks(read, HEADER_SIZE, sizes, cut_short, start)
    return chunks, walk


def _pcap(read, start, order, per_second, size):
    head = _read_start(read, PCAP_HEADER, start)
    if len(head) < PCAP_HEADER:
        raise StreamError(f"file ends inside the pcap file header ({len(head)} of {PCAP_HEADER} bytes)", 0)
    linktype = _U32[order](head, 20)[0]
    captured_at = struct.Struct(order + "I").unpack_from

    def sizes(record):
        captured = captured_at(record, 8)[0]
        return (size + captured, size + captured) if captured <= SNAPLEN else None

    def cut_short(have, record):
        if have < size:
            return f"file ends inside a record header ({have} of {size} bytes)"
        return f"file ends inside a packet ({have - size} of {captured_at(record, 8)[0]} bytes)"

    def walk(data, p, chunks, unpack=struct.Struct(order + "IIII").unpack_from, snaplen=SNAPLEN):
        n, frames = len(data), []
        append = frames.append
        for _ in GROUP:
            if n - p < size:
                return linktype, frames, p, None, False, None
            seconds, fraction, cap, orig = unpack(data, p)
            if cap > snaplen:
                return linktype, frames, p, _too_long(cap), False, None
            start = p + size
            end = start + cap
            if end > n:
                return linktype, frames, p, None, False, None
            append((seconds + fraction / per_second, orig, cap, start, end))
            p = end
        return linktype, frames, p, None, True, None

    return Chunks(read, size, sizes, cut_short, head[PCAP_HEADER:], PCAP_HEADER), walk, linktype


def _too_long(captured):
    # No capture keeps more of a packet, and a reader that kept only part of
    # it would report a length that it does not hand on.
    return f"packet of {captured} bytes, more than the {SNAPLEN} any capture keeps"


class _Section:
    """What the blocks of one pcapng section share: the byte order and the interfaces."""

    def __init__(self, order):
        self.order = order
        self.u32 = _U32[order]
        self.epb = struct.Struct(order + "IIIII").unpack_from  # interface, time high, low, captured, original
        self.opb = struct.Struct(order + "HHIIII").unpack_from  # interface, drops, time high, low, captured, original
        # (link type, snaplen, units per second, offset in seconds, name,
        # whether the section describes several interfaces by now)
        self.interfaces = []

    def add_interface(self, data, p, end):
        """Adds the interface of the block at data[p:], whose options end at
        `end`; what is wrong with its clock, if anything."""
        linktype, snaplen = struct.unpack_from(self.order + "HxxI", data, p + 8)
        per_second, offset, name = 1_000_000, 0, ""
        at = p + 16
        while at + 4 <= end:
            code, length = struct.unpack_from(self.order + "HH", data, at)
            if code == 0 or at + 4 + length > end:
                break
            value = data[at + 4:at + 4 + length]
            if code in CLOCK_OPTIONS and length != CLOCK_OPTIONS[code]:
                # Read any other way, every timestamp of the interface would be wrong.
                return f"interface option {code} of {length} bytes, not {CLOCK_OPTIONS[code]}"
            if code == OPTION_TSRESOL:
                # The high bit picks powers of two over powers of ten.
                per_second = 2 ** (value[0] & 0x7F) if value[0] & 0x80 else 10 ** value[0]
            elif code == OPTION_TSOFFSET:
                offset = struct.unpack(self.order + "q", value)[0]
            elif code == OPTION_NAME:
                # UTF-8, though some writers end it with a NUL as in C.
                name = value.decode("utf-8", "backslashreplace").rstrip("\0")
            at += 4 + (length + 3) // 4 * 4
        # A packet names its interface by number, the only name that an
        # interface without one has.
        self.interfaces.append((linktype, snaplen, per_second, offset, name or f"if{len(self.interfaces)}",
                                len(self.interfaces) > 0))
        if len(self.interfaces) == 2:
            # A new tuple: the walker sees the first interface's packets change from here on.
            self.interfaces[0] = self.interfaces[0][:5] + (True,)
        return None


def _byte_order(block, p):
    """The byte order a Section Header Block at block[p:] names, or None."""
    magic = block[p + 8:p + 12]
    if magic == PCAPNG_BYTE_ORDER.to_bytes(4, "little"):
        return "<"
    return ">" if magic == PCAPNG_BYTE_ORDER.to_bytes(4, "big") else None


class _Pcapng:
    """The framing of pcapng blocks. Only the walker moves on to a new section:
    Chunks asks for a block's length after the walker has taken every block
    before it, so the section in hand is the one that block belongs to."""

    def __init__(self):
        self.section = None
        self.linktype = None  # of the frames gathered
        self.interface = None  # the entry in section.interfaces of the last packet

    def order_of(self, block):
        if int.from_bytes(block[:4], "little") == PCAPNG_SHB:
            return _byte_order(block, 0)
        return self.section and self.section.order

    def sizes(self, block):
        order = self.order_of(block)
        if order is None:
            return None
        whole = _U32[order](block, 4)[0]
        if whole < 12 or whole % 4 or whole > BLOCK_MAX:
            return None
        kind = int.from_bytes(block[:4], "little" if order == "<" else "big")
        return whole, whole if whole <= BLOCK_LIMIT or kind == IDB else BLOCK_KEEP.get(kind, 12)

    def cut_short(self, have, block):
        order = self.order_of(block) if have >= 8 else None
        if order is None:
            return f"file ends inside a block header ({have} of 12 bytes)"
        return f"file ends inside a block ({have} of {_U32[order](block, 4)[0]} bytes)"

    def walk(self, data, p, chunks):
        n, frames, fault, more = len(data), [], None, False
        section, linktype, interface = self.section, self.linktype, self.interface
        several = interface is not None and interface[5]
        interfaces = [] if several else interface and interface[4]
        while n - p >= 12:
            kind = int.from_bytes(data[p:p + 4], "little")
            if kind == PCAPNG_SHB:
                order = _byte_order(data, p)
                if order is None:
                    fault = f"bad pcapng byte-order magic {data[p + 8:p + 12].hex()}"
                    break
                u32 = _U32[order]
            elif section is None:
                fault = "pcapng file without a section header"
                break
            else:
                u32 = section.u32
                kind = u32(data, p)[0]
            whole = u32(data, p + 4)[0]
            if whole < 12 or whole % 4:
                fault = f"bad pcapng block length {whole}"
                break
            if whole > BLOCK_MAX:
                fault = f"pcapng block of {whole} bytes, more than the {BLOCK_MAX} a block may have"
                break
            after = p + whole
            if after <= n:
                trailer = u32(data, after - 4)[0]
            elif chunks.clipped:
                after, trailer = n, u32(chunks.tail)[0]
            else:
                break  # the next chunk starts with this block
            if trailer != whole:
                fault = f"pcapng block of {whole} bytes ends with a length of {trailer}"
            elif whole < SHORTEST.get(kind, 12):
                fault = f"pcapng block of type {kind} is too short ({whole} bytes)"
            elif kind == EPB or kind == SPB or kind == OPB:
                frame = _packet(section, kind, data, p, whole)
                if isinstance(frame, str):
                    fault = frame
                else:
                    frame, of = frame
                    if of is not interface:
                        # One link type to a group, and names per frame in all of it or in none.
                        if frames and (of[0] != linktype or not (several and of[5])):
                            more = True  # this block starts the next group
                            break
                        interface = self.interface = of
                        linktype = self.linktype = of[0]
                        if not (several and of[5]):
                            several = of[5]
                            interfaces = [] if several else of[4]
                    frames.append(frame)
                    if several:
                        interfaces.append(of[4])
                    if len(frames) == len(GROUP):
                        p, more = after, True
                        break
            elif kind == IDB:
                fault = section.add_interface(data, p, after - 4)
                if linktype is None and not fault:
                    linktype = self.linktype = section.interfaces[-1][0]
            elif kind == PCAPNG_SHB:
                section = self.section = _Section(order)
            if fault:
                break
            p = after
        return LINKTYPE_ETHERNET if linktype is None else linktype, frames, p, fault, more, interfaces


def _packet(section, kind, data, p, whole):
    """The frame of the packet block at data[p:] and its entry in
    section.interfaces, or what is wrong with the block."""
    # The packet's bytes start after the fixed fields, and all but the trailer is room for them.
    start, room = p + SHORTEST[kind] - 4, whole - SHORTEST[kind]
    if kind == SPB:
        interface, high, low, orig = 0, 0, 0, section.u32(data, p + 8)[0]
    elif kind == EPB:
        interface, high, low, cap, orig = section.epb(data, p + 8)
    else:
        interface, _, high, low, cap, orig = section.opb(data, p + 8)
    if interface >= len(section.interfaces):
        if not section.interfaces:
            return "packet before any interface description block in its section"
        return f"packet of interface {interface}, but its section describes only {len(section.interfaces)}"
    interface = section.interfaces[interface]
    linktype, snaplen, per_second, offset, _, _ = interface
    if kind == SPB:
        # Its captured length is the original one, cut to the snaplen.
        cap = min(orig, snaplen) if snaplen else orig
        ts = float("nan")  # no timestamp of its own
    else:
        # Whole seconds apart from the fraction, as a pcap file and the record
        # stream give them: the same float.
        seconds, fraction = divmod((high << 32) | low, per_second)
        ts = seconds + offset + fraction / per_second
    if cap > room:
        return f"packet of {cap} bytes in a block of {whole}"
    if cap > SNAPLEN:
        return _too_long(cap)
    return (ts, orig, cap, start, start + cap), interface

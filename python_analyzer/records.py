"""Reading the capture's record stream: a 20-byte little-endian header, then the packet bytes."""

import struct

MAGIC = b"PKT\x00"
HEADER = struct.Struct("<4sdII")  # magic, timestamp, original length, captured length
HEADER_SIZE = HEADER.size  # 20


class StreamError(Exception):
    """The record at byte `offset` of the stream is damaged or cut short."""

    def __init__(self, problem, offset):
        super().__init__(f"{problem} at byte offset {offset}")
        self.offset = offset


class Record:
    __slots__ = ("timestamp", "original_length", "data")

    def __init__(self, timestamp, original_length, data):
        self.timestamp = timestamp
        self.original_length = original_length
        self.data = data


def read_records(stream):
    """Yields one Record at a time from a binary file object, in constant memory.

    A clean end of the stream ends the iteration; anything else raises
    StreamError after every complete record before it has been yielded.
    """
    offset = 0
    read = stream.read
    unpack = HEADER.unpack
    while True:
        header = read(HEADER_SIZE)
        if not header:
            return
        if len(header) < HEADER_SIZE:
            raise StreamError(f"stream ends inside a record header ({len(header)} of {HEADER_SIZE} bytes)", offset)
        magic, timestamp, original_length, captured_length = unpack(header)
        if magic != MAGIC:
            raise StreamError(f"bad record magic {magic.hex()} (expected {MAGIC.hex()})", offset)
        data = read(captured_length) if captured_length else b""
        if len(data) < captured_length:
            raise StreamError(f"stream ends inside a packet ({len(data)} of {captured_length} bytes)", offset)
        yield Record(timestamp, original_length, data)
        offset += HEADER_SIZE + captured_length

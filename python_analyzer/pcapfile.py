"""Classic pcap output (microsecond timestamps), as tcpdump and Wireshark read it."""

import math
import struct

SNAPLEN = 262144
# The link-type field keeps its upper 6 bits for the FCS length.
LINKTYPE_MASK = 0x03FFFFFF
_GLOBAL_HEADER = struct.Struct("<IHHiIII")
_RECORD_HEADER = struct.Struct("<IIII")


def split_timestamp(timestamp):
    """Seconds and microseconds of a timestamp, rounded to the microsecond.

    A timestamp that no pcap file can hold (NaN, negative, past 2106) gives
    (None, 0), and a pcap record time of 0.
    """
    if not 0 <= timestamp < 2**32:
        return None, 0
    seconds = math.floor(timestamp)
    micros = round((timestamp - seconds) * 1_000_000)
    if micros >= 1_000_000:  # rounding up carries into the seconds
        seconds += 1
        micros -= 1_000_000
    if seconds >= 2**32:
        return None, 0
    return int(seconds), micros


def file_header(linktype):
    return _GLOBAL_HEADER.pack(0xA1B2C3D4, 2, 4, 0, 0, SNAPLEN, linktype)


def record_header(seconds, micros, original_length, captured_length):
    """A packet longer than the snaplen is cut to it, as every pcap reader
    expects; its original length stays."""
    return _RECORD_HEADER.pack(seconds or 0, micros, min(captured_length, SNAPLEN),
                               max(original_length, captured_length))

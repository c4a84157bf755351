"""Totals over a whole stream, for --summary."""

import math
from collections import Counter

from decode import describe_conversation

# Bounds the memory of an endless capture with ever new flows; traffic of
# flows first seen after this many is counted apart.
MAX_CONVERSATIONS = 100_000


class Summary:
    def __init__(self):
        self.packets = 0
        self.captured_bytes = 0
        self.wire_bytes = 0
        # A NaN timestamp compares false both ways and leaves them as they are.
        self.first = math.inf
        self.last = -math.inf
        self.protocols = Counter()
        self.conversations = {}  # key -> [packets, wire bytes]
        self.untracked = [0, 0]

    def add(self, record, decoded):
        self.packets += 1
        self.captured_bytes += len(record.data)
        wire = record.original_length
        self.wire_bytes += wire
        timestamp = record.timestamp
        if timestamp < self.first:
            self.first = timestamp
        if timestamp > self.last:
            self.last = timestamp
        self.protocols[decoded.protocol] += 1
        if decoded.conversation is None:
            return
        totals = self.totals_for(decoded.conversation)
        totals[0] += 1
        totals[1] += wire

    def totals_for(self, key):
        """The [packets, wire bytes] of a conversation, counted apart once the
        table is full."""
        totals = self.conversations.get(key)
        if totals is None:
            if len(self.conversations) >= MAX_CONVERSATIONS:
                return self.untracked
            totals = self.conversations[key] = [0, 0]
        return totals

    def lines(self):
        yield f"Total: {self.packets} packets, {self.captured_bytes} bytes captured ({self.wire_bytes} bytes on the wire)"
        if not self.packets:
            return
        yield "Packets per protocol:"
        for name, count in sorted(self.protocols.items(), key=lambda item: (-item[1], item[0])):
            yield f"  {name:<14} {count:>10}  {100.0 * count / self.packets:5.1f}%"
        if self.conversations:
            yield "Top conversations by bytes:"
            top = sorted(self.conversations.items(), key=lambda item: (-item[1][1], item[0]))[:10]
            for key, (packets, wire) in top:
                yield f"  {describe_conversation(key):<60} {packets:>8} packets {wire:>12} bytes"
            if self.untracked[0]:
                yield (f"  (flows beyond the first {MAX_CONVERSATIONS})"
                       f"{'':<18} {self.untracked[0]:>8} packets {self.untracked[1]:>12} bytes")
        duration = self.last - self.first
        if duration > 0:
            yield (f"Duration: {duration:.6f} s, {self.packets / duration:.1f} packets/s, "
                   f"{self.wire_bytes / duration:.1f} bytes/s on the wire")
        elif duration == 0:
            yield "Duration: 0.000000 s (all packets share one timestamp; no rates)"
        else:
            yield "Duration: unknown (no packet has a usable timestamp)"

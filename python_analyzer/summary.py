"""Totals over a whole stream, for --summary."""

import math
import time
from collections import Counter

from decode import describe_conversation, format_endpoint, format_name
from pcapfile import split_timestamp
from traffic import Traffic

# Bounds the memory of an endless capture with ever new flows; traffic of
# flows first seen after this many is counted apart.
MAX_CONVERSATIONS = 100_000
# The same for a capture file of ever new interfaces.
MAX_INTERFACES = 1_000


class Summary:
    def __init__(self):
        self.packets = 0
        self.captured_bytes = 0
        self.wire_bytes = 0
        # Of the usable timestamps only (traffic.usable): NaN, the infinities
        # and stamps past about 1e302 s would make the duration meaningless.
        self.first = math.inf
        self.last = -math.inf
        self.protocols = Counter()
        self.conversations = {}  # key -> [packets, wire bytes]
        self.untracked = [0, 0]
        self.interfaces = {}  # name, or None for those past MAX_INTERFACES -> [packets, wire bytes]
        self.traffic = Traffic()

    def add(self, record, decoded):
        low, high = self.traffic.enter(record.timestamp, self.packets, self.wire_bytes)
        self.packets += 1
        self.captured_bytes += len(record.data)
        wire = record.original_length
        self.wire_bytes += wire
        if low < high:  # a usable timestamp
            self.first = min(self.first, record.timestamp)
            self.last = max(self.last, record.timestamp)
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

    def count_interface(self, name, packets, wire):
        totals = self.interfaces.get(name)
        if totals is None:
            if len(self.interfaces) >= MAX_INTERFACES:
                name = None
            totals = self.interfaces.setdefault(name, [0, 0])
        totals[0] += packets
        totals[1] += wire

    def per_interface(self):
        """The [packets, wire bytes] per interface name, where packets came on
        more than one: with one, the total says it all."""
        return self.interfaces if len(self.interfaces) > 1 else {}

    def top(self):
        return sorted(self.conversations.items(), key=lambda item: (-item[1][1], item[0]))[:10]

    def lines(self):
        yield f"Total: {self.packets} packets, {self.captured_bytes} bytes captured ({self.wire_bytes} bytes on the wire)"
        if not self.packets:
            return  # an empty stream keeps its one line, which scripts read
        if self.per_interface():
            yield "Packets per interface:"
            for name, (packets, wire) in self.per_interface().items():
                name = f"(interfaces beyond the first {MAX_INTERFACES})" if name is None else format_name(name)
                yield f"  {name:<14} {packets:>10} packets {wire:>12} bytes"
        yield "Packets per protocol:"
        for name, count in sorted(self.protocols.items(), key=lambda item: (-item[1], item[0])):
            yield f"  {name:<14} {count:>10}  {100.0 * count / self.packets:5.1f}%"
        if self.conversations:
            yield "Top conversations by bytes:"
            for key, (packets, wire) in self.top():
                yield f"  {describe_conversation(key):<60} {packets:>8} packets {wire:>12} bytes"
            if self.untracked[0]:
                yield (f"  (flows beyond the first {MAX_CONVERSATIONS})"
                       f"{'':<18} {self.untracked[0]:>8} packets {self.untracked[1]:>12} bytes")
        duration = self.last - self.first
        rates = self.rates()
        if rates:
            yield (f"Duration: {_figure(duration, 6)} s, {_figure(rates[0], 1)} packets/s, "
                   f"{_figure(rates[1], 1)} bytes/s on the wire")
        elif duration > 0:
            yield f"Duration: {_figure(duration, 6)} s (too short for rates)"
        elif duration == 0:
            yield "Duration: 0.000000 s (all packets share one timestamp; no rates)"
        else:
            yield "Duration: unknown (no packet has a usable timestamp)"
        yield from chart(self.traffic.series(self.packets, self.wire_bytes))

    def rates(self):
        """Packets and wire bytes per second, or None where the duration is
        none or so short that a rate overflows."""
        duration = self.last - self.first
        if not duration > 0:
            return None
        rates = (self.packets / duration, self.wire_bytes / duration)
        return rates if all(math.isfinite(rate) for rate in rates) else None

    def document(self):
        """The same totals as lines(), as one JSON-ready dict: JSON has no
        NaN or infinity, so whatever cannot be stated is null."""
        duration = self.last - self.first
        rates = self.rates() or (None, None)
        series = self.traffic.series(self.packets, self.wire_bytes)
        interfaces = {"interfaces": [{"name": name, "packets": packets, "bytes": wire}
                                     for name, (packets, wire) in self.per_interface().items()]}
        return {
            "packets": self.packets, "captured_bytes": self.captured_bytes, "wire_bytes": self.wire_bytes,
            **(interfaces if self.per_interface() else {}),
            "protocols": dict(sorted(self.protocols.items(), key=lambda item: (-item[1], item[0]))),
            "conversations": [{"protocol": name, "a": format_endpoint(a, None), "a_port": a_port if a_port >= 0 else None,
                               "b": format_endpoint(b, None), "b_port": b_port if b_port >= 0 else None,
                               "packets": packets, "bytes": wire}
                              for (name, (a, a_port), (b, b_port)), (packets, wire) in self.top()],
            "untracked": {"packets": self.untracked[0], "bytes": self.untracked[1]},
            "first": _number(self.first), "last": _number(self.last),
            "duration": duration if duration >= 0 else None,
            "packets_per_second": rates[0], "bytes_per_second": rates[1],
            "traffic": series and {"interval": series.interval, "start": series.start,
                                   "packets": series.packets, "bytes": series.bytes},
        }


def _number(value):
    """JSON has no NaN or infinity."""
    return value if math.isfinite(value) else None


def _figure(value, places):
    """`places` decimals where they tell something, else significant digits:
    a rate of 0.004/s is not 0.0, and a duration of 1e300 s no 300 digits."""
    if value == 0 or 10 ** -places <= value < 1e15:
        return f"{value:.{places}f}"
    return f"{value:.3g}"


BLOCKS = " ▁▂▃▄▅▆▇█"
HEIGHT = 4  # rows per bar chart: 32 levels


def chart(series):
    """Packets and bytes per interval as bar charts, each with its peak labelled."""
    if series is None:
        yield "Traffic over time: no packet has a usable timestamp"
        return
    if len(series.packets) == 1:
        yield (f"Traffic over time: one instant, {series.packets[0]} packets and {series.bytes[0]} bytes "
               f"within {_seconds(series.interval)} at {_moment(series.start)}")
        return
    yield (f"Traffic over time: {len(series.packets)} intervals of {_seconds(series.interval)} "
           f"from {_moment(series.start)}")
    charts = [(name, values, f"{name} peak {max(values)}")
              for name, values in (("packets", series.packets), ("bytes", series.bytes))]
    # One margin for both charts, wide enough for the longer label, so that
    # every row of bars starts in the same column.
    margin = max([20] + [len(label) for _, _, label in charts])
    for name, values, label in charts:
        peak = max(values)
        where = values.index(peak)
        levels = [math.ceil(value * HEIGHT * 8 / peak) if peak else 0 for value in values]
        for row in range(HEIGHT - 1, -1, -1):
            bars = "".join(BLOCKS[min(max(level - row * 8, 0), 8)] for level in levels)
            yield f"  {label if row == HEIGHT - 1 else '':<{margin}} |{bars}|"
        yield (f"  {'':<{margin}}  {' ' * where}^ {peak} {name} at {_moment(series.start + where * series.interval)}")


def _seconds(interval):
    for unit, scale in (("s", 1), ("ms", 1e3), ("µs", 1e6)):
        if interval * scale >= 0.999:
            return f"{interval * scale:.15g} {unit}"  # no exponent below 10**15
    return f"{interval:g} s"


def _moment(timestamp):
    """Local time where it exists, else the epoch seconds."""
    seconds, micros = split_timestamp(timestamp)
    if seconds is None:
        return f"{timestamp:g} s"
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(seconds)) + f".{micros:06d}"

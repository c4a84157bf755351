"""Packets and bytes on the wire per interval of time, for the summary's chart."""

import math
from collections import namedtuple

COLUMNS = 60
# Bins are kept at 10**exponent seconds and merged tenfold beyond this many,
# so an endless capture takes bounded memory; ten bins a column leave the
# chart free to pick an interval of 1, 2 or 5 times a power of ten.
MAX_BINS = 10 * COLUMNS
FINEST = -6  # the records' timestamps are microseconds
MICROSECOND = 1_000_000  # per second

Series = namedtuple("Series", "interval start packets bytes")


def whole_micros(timestamp):
    """A finite timestamp in whole microseconds, rounded as the time shown
    with each record is, so that a record is counted in the interval that
    its time falls in. Exact in integers, at any magnitude."""
    seconds = math.floor(timestamp)
    return seconds * MICROSECOND + round((timestamp - seconds) * MICROSECOND)


def _lowest(target):
    """The smallest double whose whole microseconds are at least `target`.
    The rounding is monotonic, and the double nearest the half microsecond
    below the target is that one or a neighbour of it."""
    x = (2 * target - 1) / (2 * MICROSECOND)
    if whole_micros(x) < target:
        x = math.nextafter(x, math.inf)
        while whole_micros(x) < target:
            x = math.nextafter(x, math.inf)
        return x
    below = math.nextafter(x, -math.inf)
    while whole_micros(below) >= target:
        x, below = below, math.nextafter(below, -math.inf)
    return x


class Traffic:
    """The loops call enter() only when a record's timestamp leaves the bounds
    of the current bin: the records in between are counted from the loop's own
    running totals, which costs the loop one comparison per record."""

    def __init__(self):
        self.exponent = FINEST
        self.bins = {}  # bin number -> [packets, bytes]
        self.key = None  # the bin being counted; None: the records are not (no usable timestamp)
        self.marks = (0, 0)  # the loop's totals when that bin was entered
        self._edge = (None, 0.0)  # the last bound computed: (microseconds, the double)
        self._unit = 1  # microseconds a bin

    def enter(self, timestamp, packets, wire):
        """Closes the current bin at the loop's totals, taken before the record
        at `timestamp`, and opens the bin of that record. Returns the bounds of
        the new bin as doubles: a timestamp is in the bin exactly when
        low <= timestamp < high. A timestamp that is not usable is not
        counted, and gives bounds that every timestamp is outside of, both
        ways (low > high)."""
        self._close(packets, wire)
        # Usable: the microseconds are a finite double, so not NaN, not
        # infinite, and not beyond about 1.8e302 s. Inline, as the rest: this
        # runs at every bin change, thousands of times a capture.
        micros = timestamp * MICROSECOND
        if micros - micros != 0:
            self.key = None
            return math.inf, -math.inf
        unit = self._unit
        self.key = key = whole_micros(timestamp) // unit
        start, end = key * unit, (key + 1) * unit
        # Time mostly moves on: one bin's upper bound is the next one's lower.
        known, low = self._edge
        if known != start:
            low = _lowest(start)
        high = _lowest(end)
        self._edge = (end, high)
        return low, high

    def _close(self, packets, wire):
        """Adds the records since the marks to the open bin, which is closed
        for good: coarser bins apply from the next enter() on."""
        if self.key is not None and packets > self.marks[0]:
            counts = self.bins.get(self.key)
            if counts is None:
                counts = self.bins[self.key] = [0, 0]
            counts[0] += packets - self.marks[0]
            counts[1] += wire - self.marks[1]
            while len(self.bins) > MAX_BINS:
                self._coarsen()
        self.marks = (packets, wire)

    def _coarsen(self):
        merged = {}
        for key, (packets, wire) in self.bins.items():
            counts = merged.setdefault(key // 10, [0, 0])
            counts[0] += packets
            counts[1] += wire
        self.bins = merged
        self.exponent += 1
        self._unit *= 10

    def series(self, packets, wire):
        """The counts per interval, in the shortest interval of 1, 2 or 5
        times 10**k seconds that fits the capture into COLUMNS; None when no
        record had a usable timestamp. The interval and its start are
        computed in whole microseconds, so they carry no float noise."""
        self._close(packets, wire)
        if not self.bins:
            return None
        first, last = min(self.bins), max(self.bins)
        power = self.exponent
        while True:
            for step in (1, 2, 5):
                width = step * 10 ** (power - self.exponent)  # in bins
                if last // width - first // width < COLUMNS:
                    counts = [[0] * (last // width - first // width + 1) for _ in range(2)]
                    for key, (packets, wire) in self.bins.items():
                        counts[0][key // width - first // width] += packets
                        counts[1][key // width - first // width] += wire
                    interval = step * 10 ** (power - FINEST)  # in microseconds
                    return Series(interval / MICROSECOND, first // width * interval / MICROSECOND, *counts)
            power += 1

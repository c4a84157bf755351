#!/usr/bin/env python3
"""Reads ostrane's record stream and prints, summarises or exports the packets.

    ostrane -i eth0 | python3 main.py
    python3 main.py --summary --pcap capture.pcap packets.bin
"""

import argparse
import os
import signal
import stat
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from decode import decode  # noqa: E402
from pcapfile import PcapWriter, split_timestamp  # noqa: E402
from records import StreamError, read_records  # noqa: E402
from summary import Summary  # noqa: E402


def linktype(text):
    value = int(text)
    if not 0 <= value <= 0xFFFFFFFF:
        raise argparse.ArgumentTypeError(f"{text} is not a link type (0 to 4294967295)")
    return value


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description="Read an ostrane record stream.")
    parser.add_argument("--summary", action="store_true", help="print only totals at the end of the stream")
    parser.add_argument("--pcap", metavar="FILE", help="also write the packets as a classic pcap file")
    parser.add_argument("--linktype", metavar="N", type=linktype, default=1,
                        help="link-layer type of the frames (default 1, Ethernet; 113 for -i any)")
    parser.add_argument("file", nargs="?", default="-", help="record stream to read (default: standard input)")
    return parser.parse_args(argv)


class LocalTime:
    """Local time text for a timestamp; the date part is reused within a second."""

    def __init__(self):
        self._second = None
        self._text = ""

    def __call__(self, timestamp):
        seconds, micros = split_timestamp(timestamp)
        if seconds != self._second:
            self._second = seconds
            self._text = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(seconds))
        return f"{self._text}.{micros:06d}"


def run(args, source):
    summary = Summary() if args.summary else None
    pcap_file = open(args.pcap, "wb") if args.pcap else None
    try:
        writer = PcapWriter(pcap_file, args.linktype) if pcap_file else None
        local_time = LocalTime()
        write = sys.stdout.write
        linktype = args.linktype
        index = 0
        try:
            for record in read_records(source):
                index += 1
                if writer:
                    writer.write(record)
                if summary:
                    summary.add(record, decode(record.data, linktype, with_text=False))
                else:
                    decoded = decode(record.data, linktype)
                    write(f"{index} {record.timestamp:.6f} {local_time(record.timestamp)} "
                          f"{len(record.data)}/{record.original_length} {decoded.text}\n")
        except StreamError as error:
            # What came before the fault is complete and worth keeping.
            finish(summary)
            print(f"main.py: {error}", file=sys.stderr)
            return 1
        finish(summary)
        return 0
    finally:
        if pcap_file:
            pcap_file.close()


def finish(summary):
    if summary:
        sys.stdout.write("\n".join(summary.lines()) + "\n")
    sys.stdout.flush()


def open_source(path):
    if path == "-":
        return sys.stdin.buffer
    return open(path, "rb")


def main(argv=None):
    args = parse_arguments(argv)
    try:
        source = open_source(args.file)
    except OSError as error:
        print(f"main.py: cannot open {args.file}: {error.strerror}", file=sys.stderr)
        return 1
    if stat.S_ISFIFO(os.fstat(source.fileno()).st_mode):
        # Ctrl+C in a shell reaches the whole pipeline. The capture stops,
        # prints its report and closes the pipe; reading on to that end is
        # what keeps its last records and our summary from being lost.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        return run(args, source)
    except BrokenPipeError:
        # `| head` closed our stdout: stop quietly. Point stdout at /dev/null
        # so that the interpreter's final flush does not complain again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        return 130
    except OSError as error:
        print(f"main.py: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())

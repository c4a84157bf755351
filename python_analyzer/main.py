#!/usr/bin/env python3
"""Reads ostrane's record stream and prints, summarises or exports the packets.

    ostrane -i eth0 | python3 main.py
    python3 main.py --summary --pcap capture.pcap packets.bin
    ostrane -i eth0 | python3 main.py --pcap - | wireshark -k -i -
"""

import argparse
import os
import signal
import stat
import sys

try:
    import fcntl
except ImportError:  # Windows
    fcntl = None

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from fastpath import LinktypeHint, print_lines, summarise  # noqa: E402
from pcapfile import file_header  # noqa: E402
from records import StreamError  # noqa: E402
from summary import Summary  # noqa: E402


PIPE_SIZE = 1 << 20  # the default limit for an unprivileged process


def linktype(text):
    value = int(text)
    if not 0 <= value <= 0xFFFFFFFF:
        raise argparse.ArgumentTypeError(f"{text} is not a link type (0 to 4294967295)")
    return value


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description="Read an ostrane record stream.")
    parser.add_argument("--summary", action="store_true", help="print only totals at the end of the stream")
    parser.add_argument("--pcap", metavar="FILE",
                        help="also write the packets as a classic pcap file; - writes it to standard output "
                             "instead of the text")
    parser.add_argument("--linktype", metavar="N", type=linktype, default=1,
                        help="link-layer type of the frames (default 1, Ethernet; 113 for -i any)")
    parser.add_argument("file", nargs="?", default="-", help="record stream to read (default: standard input)")
    return parser.parse_args(argv)


def run(args, source):
    summary = Summary() if args.summary else None
    to_stdout = args.pcap == "-"
    pcap_file = sys.stdout.buffer if to_stdout else open(args.pcap, "wb") if args.pcap else None
    # With the pcap on standard output, text would corrupt it: a summary goes
    # to standard error instead.
    text = sys.stderr if to_stdout else sys.stdout
    try:
        pcap = None
        if pcap_file:
            pcap_file.write(file_header(args.linktype))
            if to_stdout:
                pcap_file.flush()  # a live reader waits for the file header

            def pcap(parts):
                pcap_file.write(b"".join(parts))
                if to_stdout:
                    pcap_file.flush()

        hint = LinktypeHint(sys.stderr.write) if args.linktype == 1 else None
        fd = source.fileno()
        try:
            if summary:
                summarise(fd, args.linktype, summary, pcap, hint)
            else:
                print_lines(fd, args.linktype, None if to_stdout else write_now, pcap, hint)
        except StreamError as error:
            # What came before the fault is complete and worth keeping.
            finish(summary, text)
            print(f"main.py: {error}", file=sys.stderr)
            return 1
        finish(summary, text)
        return 0
    finally:
        if pcap_file and not to_stdout:
            pcap_file.close()


def write_now(text):
    sys.stdout.write(text)
    sys.stdout.flush()


def finish(summary, text):
    if summary:
        text.write("\n".join(summary.lines()) + "\n")
    text.flush()


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
        # A deeper pipe absorbs the bursts of a busy link between two reads,
        # so the capture is not held up. Best effort: the system may refuse.
        try:
            fcntl.fcntl(source.fileno(), fcntl.F_SETPIPE_SZ, PIPE_SIZE)
        except (AttributeError, OSError):
            pass
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

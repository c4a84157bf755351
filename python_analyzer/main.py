#!/usr/bin/env python3
"""Reads ostrane's record stream or a capture file (pcap, pcapng) and prints,
summarises or exports the packets. Installed as ostrane-analyzer; in a source
tree, python3 python_analyzer/main.py.

    ostrane -i eth0 | ostrane-analyzer
    ostrane-analyzer --summary --pcap capture.pcap packets.bin
    ostrane-analyzer --summary trace.pcapng
    ostrane -i eth0 | ostrane-analyzer --json | jq 'select(.dport == 443)'
    ostrane -i eth0 | ostrane-analyzer --pcap - | wireshark -k -i -
"""

import argparse
import json
import os
import signal
import stat
import sys

try:
    import fcntl
except ImportError:  # Windows
    fcntl = None

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from containers import open_capture  # noqa: E402
from fastpath import LinktypeHint, print_lines, summarise  # noqa: E402
from pcapfile import LINKTYPE_MASK, file_header  # noqa: E402
from records import StreamError  # noqa: E402
from summary import Summary  # noqa: E402


# The name in messages, however it was started; the version is ostrane's.
PROG = "ostrane-analyzer"
VERSION = "1.0.0"
PIPE_SIZE = 1 << 20  # the default limit for an unprivileged process


class OutputError(Exception):
    """Writing an output other than standard output failed."""


def linktype(text):
    value = int(text)
    if not 0 <= value <= LINKTYPE_MASK:
        raise argparse.ArgumentTypeError(f"{text} is not a link type (0 to {LINKTYPE_MASK})")
    return value


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog=PROG, description="Read an ostrane record stream or a pcap or pcapng file.")
    parser.add_argument("--summary", action="store_true", help="print only totals at the end of the stream")
    parser.add_argument("--json", action="store_true",
                        help="print a JSON object per record, one per line, or the summary as one JSON document")
    parser.add_argument("--pcap", metavar="FILE",
                        help="also write the packets as a classic pcap file; - writes it to standard output "
                             "instead of the text")
    parser.add_argument("--linktype", metavar="N", type=linktype, default=1,
                        help="link-layer type of a record stream's frames (default 1, Ethernet; 113 for -i any); "
                             "a capture file names its own")
    parser.add_argument("--version", action="version", version=f"{PROG} {VERSION}")
    parser.add_argument("file", nargs="?", default="-",
                        help="record stream, pcap or pcapng file to read (default: standard input)")
    return parser.parse_args(argv)


def refusal(args):
    """Why these arguments cannot run as given, or None."""
    if args.json and args.pcap == "-" and not args.summary:
        return ("--json prints a line per record, and --pcap - takes standard output for the pcap instead: "
                "write the pcap to a file, or add --summary for the JSON summary on standard error")
    if args.pcap not in (None, "-") and args.file != "-" and _same_file(args.pcap, args.file):
        return f"--pcap {args.pcap} is the file being read: writing it would destroy it"
    if args.file == "-" and sys.stdin.isatty():
        # The stream is binary: nobody types it, and waiting without a word would look like a hang.
        return "standard input is a terminal: pipe ostrane into it (ostrane -i eth0 | ostrane-analyzer) or name a file"
    return None


def _same_file(one, other):
    try:
        return os.path.samefile(one, other)
    except OSError:  # one of them does not exist (yet): not the same
        return False


def run(args, source):
    summary = Summary() if args.summary else None
    to_stdout = args.pcap == "-"
    # With the pcap on standard output, text would corrupt it: a summary goes
    # to standard error instead.
    text = sys.stderr if to_stdout else sys.stdout
    pcap_file = pcap = None
    # A classic pcap names one link type: the first one that has packets, or
    # that the capture named before any.
    pcap_linktype = [None, args.linktype]  # written, else the one to write
    try:
        if args.pcap:
            def pcap(parts, linktype):
                if pcap_linktype[0] != linktype:
                    if not parts:
                        if pcap_linktype[0] is None:
                            pcap_linktype[1] = linktype
                        return
                    if pcap_linktype[0] is not None:
                        raise OutputError(f"cannot write link type {linktype} into a pcap of link type "
                                          f"{pcap_linktype[0]}: one pcap file holds one link type")
                    parts.insert(0, file_header(linktype))
                    pcap_linktype[0] = linktype
                # Flushed every chunk: a live viewer sees each chunk at once, and
                # a reader killed outright leaves a valid pcap of what came before.
                try:
                    pcap_file.write(b"".join(parts))
                    pcap_file.flush()
                except OSError as error:
                    if to_stdout:
                        raise  # a closed standard output is handled as for the text
                    # A file or a FIFO whose reader left: not to be taken for `| head`.
                    raise OutputError(f"cannot write the pcap to {args.pcap}: {error.strerror}") from None

            try:
                pcap_file = sys.stdout.buffer if to_stdout else open(args.pcap, "wb")
            except OSError as error:
                raise OutputError(f"cannot create the pcap {args.pcap}: {error.strerror}") from None

        try:
            container, groups = open_capture(source.fileno(), args.linktype)
            hint = LinktypeHint(sys.stderr.write) if container == "records" and args.linktype == 1 else None
            if summary:
                summarise(groups, summary, pcap, hint)
            else:
                print_lines(groups, None if to_stdout else write_now, pcap, hint, args.json)
        except StreamError as error:
            # What came before the fault is complete and worth keeping.
            finish(summary, text, args.json, pcap, pcap_linktype)
            print(f"{PROG}: {error}", file=sys.stderr)
            return 1
        finish(summary, text, args.json, pcap, pcap_linktype)
        return 0
    finally:
        if pcap_file and not to_stdout:
            try:
                pcap_file.close()
            except OSError:
                pass  # every chunk was flushed, and a failed one reported


def write_now(text):
    sys.stdout.write(text)
    sys.stdout.flush()


def finish(summary, text, as_json, pcap, pcap_linktype):
    if pcap and pcap_linktype[0] is None:
        pcap([file_header(pcap_linktype[1])], None)  # a capture without packets is still a pcap
    if summary and as_json:
        text.write(json.dumps(summary.document(), separators=(",", ":")) + "\n")
    elif summary:
        text.write("\n".join(summary.lines()) + "\n")
    text.flush()


def open_source(path):
    if path == "-":
        return sys.stdin.buffer
    return open(path, "rb")


def hold_closed_streams():
    """Python sees a standard stream closed at start as None, and open() would
    hand its descriptor to the next file. /dev/null takes its place; returns
    the names of the closed streams."""
    closed = []
    for name, mode in (("stdin", "r"), ("stdout", "w"), ("stderr", "w")):  # lowest descriptor first
        if getattr(sys, name) is None:
            setattr(sys, name, open(os.devnull, mode))
            closed.append(name)
    return closed


def main(argv=None):
    closed = hold_closed_streams()
    args = parse_arguments(argv)
    if refusal(args):  # a usage error, as argparse reports its own
        print(f"{PROG}: {refusal(args)}", file=sys.stderr)
        return 2
    # Without standard error, messages are lost but the run is not.
    if "stdout" in closed:
        print(f"{PROG}: standard output is closed", file=sys.stderr)
        return 1
    if "stdin" in closed and args.file == "-":
        print(f"{PROG}: standard input is closed", file=sys.stderr)
        return 1
    if args.pcap == "-" and sys.stdout.isatty():
        # Packet bytes are the sender's to choose, and a terminal obeys the
        # escape sequences among them (retitle, clear, worse).
        print(f"{PROG}: standard output is a terminal: redirect it to a file or pipe it into a reader",
              file=sys.stderr)
        return 1
    try:
        source = open_source(args.file)
    except OSError as error:
        print(f"{PROG}: cannot open {args.file}: {error.strerror}", file=sys.stderr)
        return 1
    if stat.S_ISFIFO(os.fstat(source.fileno()).st_mode):
        # Ctrl+C in a shell reaches the whole pipeline. The capture stops,
        # prints its report and closes the pipe; reading on to that end is
        # what keeps its last records and our summary from being lost. The
        # same goes for a closed terminal (SIGHUP) and `systemctl stop` or
        # `kill` of the pipeline (SIGTERM): ostrane stops on those as well.
        for name in ("SIGINT", "SIGTERM", "SIGHUP"):
            if hasattr(signal, name):  # no SIGHUP on Windows
                signal.signal(getattr(signal, name), signal.SIG_IGN)
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
    except OutputError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())

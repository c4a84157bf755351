"""The built program end to end: its command line, then live captures (root) that start, act, and
check the exit status, the message, and that the stream is whole and the report describes it exactly."""

import fcntl
import json
import os
import pathlib
import pty
import random
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest

from harness import ROOT_ONLY, Program, Sink, help_text, parse, pcapng_blocks, report, screen, until

BINARY = os.environ["OSTRANE_BINARY"]
HELP = help_text(BINARY)
READER = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python_analyzer", "main.py")
RECORD = 20 + 14 + 20 + 8  # the record header, Ethernet, IPv4 and UDP before a datagram's bytes
WRITE_FAILED = "[ERROR] Dispatch failed: Write failed: wrote "
ABANDONED = "[ERROR] Output blocked while stopping: abandoned "
STILL_WRITING = "[INFO] Still writing the packets captured before the stop; press Ctrl+C again to stop at once"


class CommandLine(unittest.TestCase):
    def test_statuses_messages_and_listing(self):
        no_interface = "[ERROR] No interface specified. Use -i <interface> or -l to list.\n\n" + HELP
        activate = "[ERROR] Failed to activate pcap handle: "
        lo = "] lo\n║      Description: (no description)\n║      Status: UP (loopback)\n║      Address: 127.0.0.1 / 255.0.0.0\n"
        master, slave = pty.openpty()
        for fd in (master, slave):
            self.addCleanup(os.close, fd)
        terminal = os.ttyname(slave)
        cases = [  # arguments, stdout, status, stderr (a prefix when it ends in ": "), text on stdout
            ([], None, 1, no_interface, ""),
            (["-h"], None, 0, HELP, ""),
            (["--help", "-i", "lo"], None, 0, HELP, ""),
            (["-l", "-h"], None, 0, HELP, ""),
            (["--version", "-l"], None, 0, "", "ostrane 1.0.0\n"),
            (["-c", "ten", "-h"], None, 0, HELP, ""),
            (["-i"], None, 2, "[ERROR] Option -i needs a value (<interface>)\n" + HELP, ""),
            (["eth0"], None, 2, "[ERROR] Unexpected argument: eth0 (an interface goes after -i)\n" + HELP, ""),
            (["--hel", "-i", "lo", "-c"], None, 2, "[ERROR] Unknown option: --hel\n" + HELP, ""),
            (["-i", "lo", "-C", "1"], None, 2, "[ERROR] -C, -G and -W need -w <file>\n" + HELP, ""),
            (["-i", "lo", "-w", "-", "-G", "1"], None, 2, "[ERROR] -C, -G and -W need -w <file>\n" + HELP, ""),
            (["-i", "lo", "-w", "x", "-W", "3"], None, 2, "[ERROR] -W needs -C or -G\n" + HELP, ""),
            (["-i", "lo", "-w", "x", "-C", "0"], None, 2, "[ERROR] Invalid value for -C: '0' (a whole number from 1 to 1000000)\n" + HELP, ""),
            (["-i", "lo", "--pcapng"], None, 2, "[ERROR] --pcapng needs -w <file>\n" + HELP, ""),
            (["-i", "lo", "-w", ""], None, 2, "[ERROR] Invalid value for -w: '' (a file name, or - for standard output)\n" + HELP, ""),
            (["-i", "lo", "-i", "any"], None, 2, "[ERROR] -i any takes in every interface: beside others, their packets "
                                                 "would be written twice\n" + HELP, ""),
            (["-i", "lo", "--nano"], None, 2, "[ERROR] Nanosecond timestamps need -w <file>: the record stream keeps "
                                              "microseconds\n" + HELP, ""),
            (["-i", "lo", "--direction"], None, 2, "[ERROR] Option --direction needs a value (<in|out|inout>)\n" + HELP, ""),
            (["-i", "lo", "-i", "lo"], None, 2, "[ERROR] Interface lo is given twice: each of its packets would be "
                                                "written twice\n" + HELP, ""),
            (["-i", "lo", "-w", "x", "-z", "gzip"], None, 2, "[ERROR] -z needs -C or -G\n" + HELP, ""),
            (["-i", "lo", "--nano=yes"], None, 2, "[ERROR] Option --nano takes no value\n" + HELP, ""),
            (["-i", "lo", "--time-stamp-precision=pico"], None, 2,
             "[ERROR] Invalid value for --time-stamp-precision: 'pico' (micro or nano)\n" + HELP, ""),
            (["-i", "lo", "--direction", "both"], None, 2, "[ERROR] Invalid value for --direction: 'both' (in, out or inout)\n" + HELP, ""),
            (["-i", "lo", "-w", "-"], terminal, 1, "[ERROR] Standard output is a terminal: redirect it to a file or pipe it into a reader\n", ""),
            (["-i", "lo", "-c", "ten"], None, 2, f"[ERROR] Invalid value for -c: 'ten' (a whole number from 0 to {2**64 - 1})\n" + HELP, ""),
            (["-i", "lo", "-c", "10k"], None, 2, f"[ERROR] Invalid value for -c: '10k' (a whole number from 0 to {2**64 - 1})\n" + HELP, ""),
            (["-i", "lo", "-s", " 1"], None, 2, "[ERROR] Invalid value for -s: ' 1' (a whole number from 0 to 262144)\n" + HELP, ""),
            (["-i", "lo", "-b", "-1"], None, 2, "[ERROR] Invalid value for -b: '-1' (a whole number from 0 to 2147483647)\n" + HELP, ""),
            (["-i", ""], None, 1, no_interface, ""),
            (["-f", "udp"], None, 1, no_interface, ""),
            (["-i", "-l"], None, 1, "[INFO] Opening interface: -l\n" + activate, ""),
            (["-i", "nosuchif0", "-c", str(2**64 - 1)], None, 1, "[INFO] Opening interface: nosuchif0\n" + activate, ""),
            (["-q", "-i", "nosuchif0"], None, 1, activate, ""),
            (["-b", "4096", "-i", "nosuchif0"], None, 1, "[INFO] Opening interface: nosuchif0\n[WARN] -b 4096 is more "
                                                         "than libpcap takes: the capture buffer is 2047 MiB\n" + activate, ""),
            (["-i", "nosuch\x1b[7m\x7f"], None, 1, "[INFO] Opening interface: nosuch\\x1b[7m\\x7f\n" + activate, ""),
            (["-i", "\udcff\udcfe" + "i" * 300], None, 1, "[INFO] Opening interface: \\xff\\xfe" + "i" * 300 + "\n" + activate, ""),
            (["-i", "lo"], "closed", 1, "[ERROR] Failed to initialize dispatcher: Output stream is not open\n", ""),
            (["-l", "-i", "lo"], None, 0, "", lo),
            (["-l"], "/dev/full", 1, "[ERROR] Failed to write the interface list: No space left on device\n", ""),
            (["-l"], "closed", 1, "[ERROR] Failed to write the interface list: Bad file descriptor\n", ""),
            (["-i", "lo"], terminal, 1, "[ERROR] Standard output is a terminal: redirect it to a file or pipe it into a reader\n", ""),
            (["-l"], terminal, 0, "", ""),
        ] + [(["-i", "lo", "-f", "tcp port abc"], None, 1,
              "[INFO] Opening interface: lo\n[ERROR] BPF compilation failed for 'tcp port abc': ", ""),
             (["-i", "lo", "-f", "udp port \udcff" + "9" * 9999], None, 1, "[INFO] Opening interface: lo\n[ERROR] BPF "
              "compilation failed for 'udp port \\xff" + "9" * 9999 + "': ", ""),
             (["-i", "lo", "-w", "/nonexistent/x.pcap"], None, 1, "[INFO] Opening interface: lo\n[INFO] Link type: EN10MB "
              "(Ethernet)\n[ERROR] Failed to initialize dispatcher: Failed to open output file: /nonexistent/x.pcap: No such "
              "file or directory\n", "")] * (os.geteuid() == 0)
        if os.geteuid() == 0:  # without the rights to capture: a hint follows libpcap's reason
            cases.append((["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", BINARY, "-i", "lo"], None, 1,
                          "[INFO] Opening interface: lo\n" + activate + "socket: Operation not permitted\n[INFO] "
                          "Capturing needs root, membership of the group ostrane (the Debian package), or: sudo setcap "
                          f"cap_net_raw,cap_net_admin=eip {os.path.realpath(BINARY)}\n", ""))
        if os.geteuid() == 0:  # no /dev/null to put in place of a closed stdout: no run rather than a stray write
            cases.append((["unshare", "-m", "sh", "-c", 'mount -t tmpfs none /dev && exec "$@" >&-', "-", BINARY, "-l"],
                          None, 1, "[ERROR] Cannot open /dev/null in place of a closed standard descriptor\n", ""))
        if os.geteuid() == 0:  # Linux takes a name with control characters, which the listing must not pass on raw
            name = f"ev{os.getpid() % 100000}\x1b[7m"
            subprocess.run(["ip", "link", "add", "name", name, "type", "veth", "peer", "name", name[:-4] + "p"], check=True)
            self.addCleanup(subprocess.run, ["ip", "link", "del", name])
            cases.append((["-l"], None, 0, "", f"] {name[:-4]}\\x1b[7m\n║      Description: (no description)\n"))
        still, unchanged = "capabilities are still held", "the user or group did not change as asked"
        for fault, user, why in [("read", "", "cannot read the process capabilities"), ("reread", "", still),
                                 ("clear", "", "cannot clear the capability sets"), ("clear-lies", "", still),
                                 ("switch", "99", "cannot switch to user 99 and group 99"),
                                 ("switch-lies", "65534", still), ("user-lies", "65534", unchanged),
                                 ("group-lies", "65534", unchanged), ("groups-lie", "65534", unchanged),
                                 ("", "x1", "SUDO_UID and SUDO_GID must both be numeric ids"),
                                 ("", "1 alone", "SUDO_UID and SUDO_GID must both be numeric ids")] * (os.geteuid() == 0):
            cases.append((["-i", "lo", "-f", "udp dst port 9"], f"fault {fault} as {user}", 1, "[INFO] Opening interface: lo\n"
                          "[INFO] BPF filter applied: udp dst port 9\n[INFO] Link type: EN10MB (Ethernet)\n"
                          "[ERROR] Failed to drop privileges: " + why + "\n", ""))
        for args, out, status, err, shown in cases:
            with self.subTest(args=args, out=out):
                command = args if args[:1] in (["setpriv"], ["unshare"]) else [BINARY, *args]
                program = Program(self, command, **(faulty(out) if out and out.startswith("fault ") else dict(out=out)))
                self.assertEqual(program.wait(20), status)
                self.assertEqual(program.text()[:len(err)] if err.endswith(": ") else program.text(), err)
                stdout = program.output().decode()
                self.assertIn(shown, stdout) if shown else self.assertEqual(stdout, "")
                self.assertNotIn("\x1b", stdout)


class Build(unittest.TestCase):
    def test_a_configure_that_failed_runs_again(self):
        build = tempfile.mkdtemp(prefix="ostrane-build-")
        self.addCleanup(shutil.rmtree, build)

        def make(*args, **env):
            return subprocess.run(["make", "-C", os.path.dirname(os.path.dirname(READER)), f"BUILD_DIR={build}", *args],
                                  env={**os.environ, **env}, capture_output=True, text=True, timeout=300)

        failed = make("build", PKG_CONFIG_LIBDIR=build)  # libpcap missing, as on a fresh machine
        self.assertNotEqual(failed.returncode, 0)
        self.assertTrue(os.path.exists(os.path.join(build, "CMakeCache.txt")), failed.stdout + failed.stderr)
        self.assertIn(f"cmake -S . -B {build} ", make("-n", "build").stdout)
        self.assertEqual(make(f"{build}/Makefile").returncode, 0)


def faulty(how):
    """The environment in which a step of the privilege drop fails or lies (see privilege_faults.cpp)."""
    _, fault, _, user, *alone = how.split(" ")
    env = {**os.environ, "LD_PRELOAD": os.environ["OSTRANE_FAULTS"], "OSTRANE_FAULT": fault,
           "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"}
    return dict(env={**env, "SUDO_UID": user, **({} if alone else {"SUDO_GID": user})} if user else env)


def send_until_exit(count, size=100, gap=0.002):
    return lambda program, sink: sink.send(count, size, gap, until=lambda: program.process.poll() is not None)


def signal_after(count, sig, delay=0.0, size=100, gap=0.001):
    return lambda program, sink: (sink.send(count, size, gap), time.sleep(delay), program.signal(sig))


def signal_under_load(sig):
    return lambda program, sink: (threading.Timer(0.2, program.signal, [sig]).start(),
                                  sink.send(10 ** 7, size=64, gap=0, seconds=0.4))


@ROOT_ONLY
class Live(unittest.TestCase):
    def capture(self, act, options=(), interface=None, prefix=(), ready="Capture started", seconds=2.0, filter="{}",
                records=None, message="", warnings=0, lossless=False, started=True, status=0, written=None, **stdout):
        """Captures, acts, and checks what every stop leaves: a whole stream unless the report says otherwise, the
        report after `message` counting it exactly, datagrams in order and none twice (`records`: exactly the
        first ones; `lossless`: each a record, a kernel drop or reported as not written). With `written`, the
        stream is the files of that folder (-w), each whole, in the order of their names."""
        sink = Sink(self)
        where = ["-i", interface] if interface else ["-i", "lo", "-f", filter.format(sink.filter)]
        program = Program(self, [*prefix, BINARY, *where, *options], **stdout)
        self.assertTrue(program.wait_for(ready), program.text())
        act(program, sink)
        self.assertEqual(program.wait(seconds), status, program.text())

        err, streams = screen(program.text()), [program.output()]
        quiet = "-q" in options  # the report alone, with no blank line before it
        if written:
            streams = [pathlib.Path(written, name).read_bytes() for name in sorted(os.listdir(written))]
            self.assertEqual(program.output(), b"")
        # A status line only on a terminal, and not when a reader may print there too; one cause, one error.
        self.assertEqual("\r" in program.text().replace("\r\n", "\n"),
                         bool(stdout.get("terminal")) and stdout.get("out") is not None and not quiet)
        self.assertLessEqual(max(err.count("[ERROR]"), err.count(STILL_WRITING), err.count("Output resumed")), 1, err)
        parsed, left, stream = [], 0, b"".join(streams)
        for one in streams:
            found, rest = parse(one)
            self.assertFalse(left, "a file before the last ends inside a record")
            parsed, left = parsed + found, rest
        self.assertEqual("ending the stream inside a record" in err, bool(left), err)
        out = stdout.get("out")  # a file, unlike a pipe, ends on a whole record, whatever happened
        self.assertFalse(left and (written or out not in (None, "closed", "terminal") and os.path.isfile(out)), err)
        self.assertEqual("Capture started" in err, started, err)
        at = ("\n" + err).find("\n" * (not quiet) + "\n[INFO] Capture complete.\n[INFO] Packets received by filter: ")
        self.assertTrue(at == 0 if quiet else at > 0 and message in err[:at], err)
        self.assertEqual((report(err, "Packets dispatched"), report(err, "Bytes written")), (len(parsed), len(stream)))
        numbers = [struct.unpack_from("<Q", frame, 42)[0] for _, _, frame in parsed if not interface]
        self.assertEqual(numbers, sorted(set(numbers)) if records is None else list(range(records)))
        if lossless:
            unwritten = int((re.search(r"\[WARN\] (\d+) packets? captured (before the stop )?w[ae][sr]e? not written", err) or [0, 0])[1])
            self.assertGreaterEqual(len(parsed) + report(err, "Packets dropped by kernel") + unwritten, sink.sent, err)
        self.assertEqual(err.count("[WARN]"), err.count("[WARN]") if warnings is None else warnings, err)
        return parsed

    def scratch_file(self):
        return os.path.join(self.scratch_dir(), "stream")

    def scratch_dir(self):
        scratch = tempfile.mkdtemp(prefix="ostrane-test-")
        self.addCleanup(shutil.rmtree, scratch)
        return scratch

    def cases(self, cases):
        for name, act, expect in cases:
            with self.subTest(name):
                self.capture(act, **expect)

    def test_every_stop_writes_and_reports_everything_the_kernel_delivered(self):
        def unprivileged(user, bounds):  # bounds: what the bounding set must hold afterwards
            def act(program, sink):
                with open(f"/proc/{program.process.pid}/status") as f:  # real, effective, saved and file system ids
                    self.assertRegex(f.read(), f"\nUid:(\t{user}){{4}}\nGid:(\t{user}){{4}}\n(.*\n)*"
                                               f"CapPrm:\t0{{16}}\nCapEff:\t0{{16}}\nCapBnd:\t{bounds}\n")
                signal_after(3, signal.SIGTERM)(program, sink)
            return act

        def lone_datagrams(program, sink):
            with open(f"/proc/{program.process.pid}/fdinfo/1") as f:  # the pipe's shared flags are left alone
                self.assertFalse(int(re.search(r"flags:\s+(\d+)", f.read())[1], 8) & os.O_NONBLOCK)
            cpu = lambda: int(pathlib.Path(f"/proc/{program.process.pid}/schedstat").read_text().split()[0])  # ns
            idle = cpu()
            time.sleep(1)
            slow = 4 if os.environ.get("OSTRANE_SANITIZE") else 1  # a sanitized wake-up costs more, not more often
            self.assertLess(cpu() - idle, 10e6 * slow, "awake while idle")  # ten wake-ups; one a millisecond costs 20 to 50 ms
            late = []  # seconds to stdout; a loaded machine may be late once
            for n in range(1, 13):
                time.sleep(random.uniform(0.02, 0.2))
                sent = time.monotonic()
                sink.send(1, gap=0)
                self.assertTrue(until(lambda: len(program.output()) == n * (RECORD + 100), 1), "the record was held back")
                late.append(time.monotonic() - sent)
            self.assertLess(sorted(late)[-2], 0.02, late)
            program.signal(signal.SIGINT)

        def still_writing_at_once(program, sink):
            sink.send(3000, size=1000, gap=0)
            program.signal(signal.SIGINT)
            asked = time.monotonic()
            self.assertTrue(program.wait_for(STILL_WRITING, 3) and time.monotonic() - asked < 1.5, program.text())
            program.signal(signal.SIGINT)

        def counts_twice(program, sink):
            self.assertTrue(until(lambda: " dropped by kernel" in program.text(), 2), "no status line")
            for n in (1, 2):
                sink.send(5)
                time.sleep(0.3)
                program.signal(signal.SIGUSR1)
                self.assertTrue(until(lambda: program.text().count("[INFO] Packets received by filter: ") == n, 1))
            self.assertIn(f", dispatched: 10, bytes written: {10 * (RECORD + 100)}\r\n", program.text())
            time.sleep(0.6)  # the status line is back, for the report to erase
            program.signal(signal.SIGINT)

        def paused_terminal(program, sink):
            terminal = os.open(program.terminal, os.O_RDWR | os.O_NOCTTY)
            try:  # Ctrl+S: the terminal takes nothing more
                termios.tcflow(terminal, termios.TCOOFF)
                time.sleep(0.6)  # a status line falls due
                program.signal(signal.SIGUSR1)
                sink.send(20000, size=64, gap=0.00002)  # far more than the ring's 1 ms blocks hold, at a pace any capture keeps up with
                self.assertTrue(until(lambda: len(program.output()) == 20000 * (RECORD + 64), 10), program.text())
                self.assertNotIn("[INFO] Packets received by filter: ", program.text())
            finally:  # Ctrl+Q
                termios.tcflow(terminal, termios.TCOON)
                os.close(terminal)
            self.assertTrue(program.wait_for("[INFO] Packets received by filter: ", 5), program.text())
            program.signal(signal.SIGINT)

        def slowly_read(program, sink):
            sink.send(20000, size=200, gap=0, seconds=5)
            before = -1  # until the reader has caught up: what stays in the ring is neither record nor drop
            while len(program.output()) != before:
                before = len(program.output())
                time.sleep(1)
            program.signal(signal.SIGINT)

        def stopped_for(seconds):  # Ctrl+Z then fg, a CPU quota, a paused VM: the kernel holds what comes meanwhile
            def act(program, sink):
                threading.Timer(0.4, program.signal, [signal.SIGSTOP]).start()
                threading.Timer(0.4 + seconds, program.signal, [signal.SIGCONT]).start()
                sink.send(2400, gap=0.0005)
            return act

        cases = [(f"{sig.name} {delay * 1000:.0f} ms after 10 datagrams", signal_after(10, sig, delay), dict(records=10))
                 for sig in (signal.SIGINT, signal.SIGTERM) for delay in (0, 0.02, 0.06)]
        cases += [(f"{sig.name} under load", signal_under_load(sig), {})
                  for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)]
        self.cases(cases + [
            ("SIGHUP ignored from the start stays ignored",
             lambda program, sink: (program.signal(signal.SIGHUP), time.sleep(0.3), signal_after(3, signal.SIGINT)(program, sink)),
             dict(records=3, prefix=["/usr/bin/nohup"])),
            ("SIGINT while a large ring is set up", lambda program, sink: (program.signal(signal.SIGINT), sink.send(20)),
             dict(options=["-b", "1024"], ready="Opening interface", seconds=20, records=0, started=False)),
            ("SIGINT twice", lambda program, sink: (sink.send(100, gap=0), program.signal(signal.SIGINT), time.sleep(0.01),
                                                    program.signal(signal.SIGINT)), dict(lossless=True, warnings=None)),
            ("SIGUSR1 twice, stderr on a terminal", counts_twice, dict(records=10, terminal=True, out=self.scratch_file())),
            ("a terminal paused with Ctrl+S, SIGUSR1 under load", paused_terminal,
             dict(records=20000, terminal=True, out=self.scratch_file())),
            ("-q: the report alone", lambda program, sink: (until(lambda: sink.send(1) or program.output(), 10),
                                                            program.signal(signal.SIGINT)),
             dict(options=["-q"], ready="", started=False, terminal=True, out=self.scratch_file())),
            ("idle: under 10 ms of CPU in 1 s; then datagrams at random moments go out within 20 ms, with no later "
             "packet or stop to push them", lone_datagrams,
             dict(records=12)),
            ("SIGINT 50 ms after a burst, read 4 KiB every 10 ms", signal_after(5000, signal.SIGINT, 0.05, gap=0),
             dict(chunk=4096, pause=0.01, records=5000, seconds=30, message=STILL_WRITING)),
            ("SIGINT after a burst, read 4 KiB every 0.25 s: still writing, said within 1.5 s; SIGINT again",
             still_writing_at_once, dict(chunk=4096, pause=0.25, message="packets captured before the stop were not "
                                         "written", warnings=1, lossless=True)),
            ("-c 500 while the reader pauses 3 s: it is waited for", send_until_exit(1000, size=1000, gap=0),
             dict(hold=(1, 3.0), options=["-c", "500"], records=500, seconds=10)),
            ("a reader that stops for 1 s while 1 500 datagrams a second keep coming", send_until_exit(6000, gap=0.0005),
             dict(hold=(16384, 1.0), options=["-c", "6000"], records=6000)),
            ("the capture itself stopped for 300 ms while some 2 000 datagrams a second keep coming", stopped_for(0.3),
             dict(options=["-c", "2400"], records=2400)),
            ("SIGINT after -c has ended the loop",
             lambda program, sink: (sink.send(1), until(program.output, 5), program.signal(signal.SIGINT)),
             dict(options=["-c", "1"], records=1)),
            ("a slow reader", slowly_read, dict(chunk=8192, pause=0.002, lossless=True)),
            ("ip broadcast, with the netmask of lo", lambda program, sink: (sink.send(3, to="127.255.255.255"),
                                                                         signal_after(3, signal.SIGINT)(program, sink)),
             dict(filter="ip broadcast and {}", records=3)),
        ] + [(f"capturing as user {user} without capabilities{how}", unprivileged(user, bounds),
              dict(records=3, prefix=[*capsh, "/usr/bin/env", f"SUDO_UID={user}", f"SUDO_GID={user}"]))
             for user, how, capsh, bounds in [("0", "", [], "0{16}"), ("65534", "", [], "0{16}"),
                                              ("65534", ", CAP_SETPCAP out of the bounding set",
                                               ["capsh", "--drop=cap_setpcap", "--", "-c", 'exec "$@"', "-"], "[0-9a-f]{16}")]])

    def test_pcap_files_as_tcpdump_writes_them(self):
        device = f"ostp{os.getpid() % 100000}"
        subprocess.run(f"ip link add {device} type veth peer name {device}p && ip link set {device} up", shell=True, check=True)
        self.addCleanup(subprocess.run, f"ip link del {device} 2>/dev/null", shell=True)
        trace, every_second, two_seconds, shared = (self.scratch_dir() for _ in range(4))
        os.chmod(shared, 0o777)

        def promiscuity(expected):
            def act(program, sink):
                shown = subprocess.run(["ip", "-d", "-j", "link", "show", device], capture_output=True, text=True)
                self.assertEqual(json.loads(shown.stdout)[0]["promiscuity"], expected)
                program.signal(signal.SIGINT)
            return act

        def files_after(folder, counts, act):
            return lambda program, sink: (act(program, sink), self.assertIn(len(os.listdir(folder)), counts))

        def owned_by_the_user(program, sink):
            self.assertEqual(os.stat(os.path.join(shared, "trace.pcap")).st_uid, 65534)
            signal_after(3, signal.SIGTERM)(program, sink)

        parsed = self.capture(signal_after(5000, signal.SIGINT, 0.05, gap=0), options=["-w", f"{trace}/trace.pcap"],
                              written=trace, records=5000, seconds=30)
        self.assertEqual({frame[42:] for _, _, frame in parsed[:1]}, {struct.pack("<Q", 0).ljust(100, b"d")})
        read = [subprocess.run(command, capture_output=True, timeout=60) for command in (
            ["tcpdump", "-nn", "-r", f"{trace}/trace.pcap"], [sys.executable, READER, "--json", f"{trace}/trace.pcap"])]
        self.assertEqual([result.stdout.count(b" UDP, length 100\n") for result in read[:1]] +
                         [sum(json.loads(line)["length"] == 100 for line in read[1].stdout.splitlines())], [5000, 5000])
        self.cases([
            ("-w - into a pipe", signal_after(10, signal.SIGINT), dict(options=["-w", "-"], records=10)),
            ("-G 1: a file every second", files_after(every_second, range(3, 6), signal_after(70, signal.SIGINT, gap=0.05)),
             dict(options=["-w", f"{every_second}/%s.pcap", "-G", "1"], written=every_second, records=70, seconds=5)),
            ("-G 1 -W 2 ends after its second file",
             files_after(two_seconds, [2], send_until_exit(100, gap=0.05)),
             dict(options=["-w", f"{two_seconds}/%s.pcap", "-G", "1", "-W", "2"], written=two_seconds, seconds=10,
                  message="[INFO] Maximum file limit reached: 2")),
            ("a file made under sudo belongs to the user", owned_by_the_user,
             dict(options=["-w", f"{shared}/trace.pcap"], written=shared, records=3,
                  prefix=["/usr/bin/env", "SUDO_UID=65534", "SUDO_GID=65534"])),
            ("promiscuous by default", promiscuity(1), dict(interface=device)),
            ("-p", promiscuity(0), dict(interface=device, options=["-p"])),
        ])

        # A ring of 3 files of 1 MB, under 5 MB: each file whole, and together the last records sent. As pcapng,
        # each file a section of its own, and -z's command run on each one closed, with no capability, and reaped.
        for name, framing in [("ring.pcap", 1258), ("ring.pcapng", 1272)]:
            ring, sink, log = self.scratch_dir(), Sink(self), self.scratch_file()
            pathlib.Path(log + ".sh").write_text(f"#!/bin/sh\necho \"$1 $(grep CapEff /proc/$$/status)\" >> {log}\n")
            os.chmod(log + ".sh", 0o755)
            program = Program(self, [BINARY, "-i", "lo", "-f", sink.filter, "-w", f"{ring}/{name}", "-C", "1", "-W", "3",
                                     "-z", log + ".sh"])
            self.assertTrue(program.wait_for("Capture started"), program.text())
            sink.send(4000, size=1200, gap=0)
            time.sleep(0.3)
            children = lambda: subprocess.run(["ps", "--ppid", str(program.process.pid), "-o", "stat="],
                                              capture_output=True).stdout
            self.assertTrue(until(lambda: b"Z" not in children(), 1), "a command that ended is not reaped")
            program.signal(signal.SIGINT)
            self.assertEqual(program.wait(10), 0, program.text())
            self.assertEqual(sorted(os.listdir(ring)), [name + "0", name + "1", name + "2"])
            files = [parse(pathlib.Path(ring, file).read_bytes()) for file in sorted(os.listdir(ring))]
            numbers = sorted([struct.unpack_from("<Q", frame, 42)[0] for _, _, frame in records] for records, _ in files)
            self.assertEqual([left for _, left in files], [0, 0, 0])
            self.assertEqual(sum(numbers, []), list(range(numbers[0][0], sink.sent)))
            self.assertTrue(numbers[0][0] > 0 and all((len(n) - 1) * framing < 1000000 for n in numbers), numbers[0][:3])
            self.assertEqual(report(program.text(), "Packets dispatched"), sink.sent)
            until(lambda: subprocess.run(["pgrep", "-f", log]).returncode != 0, 5)
            ran = pathlib.Path(log).read_text().splitlines()  # in the order the commands ended
            self.assertEqual(sorted(ran), sorted(f"{ring}/{name}{n % 3} CapEff:\t0000000000000000" for n in range(len(ran))))
            self.assertGreaterEqual(len(ran), 4)

        # -i any: a Linux cooked capture that the reader decodes from the file's link type.
        sink = Sink(self)
        pipeline = Program(self, ["sh", "-c", f"{BINARY} -i any -f '{sink.filter}' -w - | {sys.executable} {READER}"],
                           start_new_session=True)
        self.addCleanup(lambda: pipeline.process.poll() is None and os.killpg(pipeline.process.pid, signal.SIGKILL))
        self.assertTrue(pipeline.wait_for("[INFO] Link type: LINUX_SLL (Linux cooked v1)\n"), pipeline.text())
        sink.send(20)
        time.sleep(0.3)
        os.killpg(pipeline.process.pid, signal.SIGINT)
        pipeline.wait(20)
        lines = pipeline.output().decode().splitlines()
        self.assertEqual(len(lines), 20, pipeline.text())
        for line in lines:
            self.assertRegex(line, rf" 144/144 IPv4 127\.0\.0\.1:\d+ > 127\.0\.0\.1:{sink.filter.split()[-1]} UDP len=100$")

        # lo and the veth in one pcapng: each packet under its own interface, each counted in the report and in
        # its own statistics at the end, and named by the reader.
        sink, folder = Sink(self), self.scratch_dir()
        subprocess.run(["ip", "link", "set", device + "p", "up"], check=True)
        program = Program(self, [BINARY, "-i", "lo", "-i", device, "-f", f"{sink.filter} or ether proto 0x88b5", "-w",
                                 f"{folder}/two.pcapng"])
        self.assertTrue(program.wait_for("Capture started"), program.text())
        sink.send(5)
        with socket.socket(socket.AF_PACKET, socket.SOCK_RAW) as peer:
            peer.bind((device + "p", 0))
            for n in range(7):
                peer.send(bytes.fromhex("ffffffffffff02000000000188b5") + bytes([n]) * 50)
        time.sleep(0.3)
        program.signal(signal.SIGINT)
        self.assertEqual(program.wait(10), 0, program.text())
        blocks, _ = pcapng_blocks(pathlib.Path(folder, "two.pcapng").read_bytes())
        self.assertEqual([options[2] for kind, options, _ in blocks if kind == 1], [b"lo", device.encode()])
        self.assertEqual(sorted(struct.unpack_from("<I", block, 8)[0] for kind, _, block in blocks if kind == 6), [0] * 5 + [1] * 7)
        self.assertEqual([(struct.unpack_from("<I", block, 8)[0], options[4]) for kind, options, block in blocks if kind == 5],
                         [(0, struct.pack("<Q", 5)), (1, struct.pack("<Q", 7))])
        self.assertEqual(report(program.text(), "Packets received by filter"), 12)
        self.assertTrue(program.text().endswith(f"\n[INFO] lo: 5 received by filter, 0 dropped by kernel\n[INFO] {device}: 7 "
                                                "received by filter, 0 dropped by kernel\n"), program.text())
        read = subprocess.run([sys.executable, READER, "--json", f"{folder}/two.pcapng"], capture_output=True, timeout=60)
        self.assertEqual(sorted(json.loads(line)["interface"] for line in read.stdout.splitlines()), sorted([device] * 7 + ["lo"] * 5))

    def test_the_same_bytes_as_tcpdump_captures_side_by_side(self):
        # Datagrams larger than a ring slot (whole through the socket's queue) on lo, in nanoseconds; VLAN-tagged
        # frames on a veth to a namespace of the test's own (the tag that the kernel takes out, put back) in both
        # directions, of which -Q out keeps those the host sent; and the file header of a tun device, whose link type
        # has another number in a file than in libpcap. Each also as pcapng, whose blocks must say the same.
        tag, tun = f"ostv{os.getpid() % 100000}", f"ostt{os.getpid() % 100000}"
        self.addCleanup(subprocess.run, f"ip link del {tag} 2>/dev/null; ip netns del {tag} 2>/dev/null; "
                                        f"ip link del {tun} 2>/dev/null", shell=True)
        subprocess.run(f"ip netns add {tag} && ip link add {tag} type veth peer name v netns {tag} && "
                       f"ip link set {tag} up && ip -n {tag} link set v up && "
                       f"ip tuntap add dev {tun} mode tun && ip link set {tun} up", shell=True, check=True)

        def tagged(sink, sizes):
            port, frames = int(sink.filter.split()[-1]), []
            for size in sizes:
                udp = struct.pack("!HHHH", 4000, port, 8 + size, 0) + bytes([size % 251]) * size
                ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, 17, 0, bytes([198, 51, 100, 2]),
                                 bytes([198, 51, 100, 1]))
                frames.append((bytes.fromhex("ffffffffffff0200000000018100a0070800") + ip + udp).hex())
            for where, device in [(["ip", "netns", "exec", tag], "v"), ([], tag)]:
                subprocess.run([*where, sys.executable, "-c", "import socket, sys\n"
                                "s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)\ns.bind((sys.argv[1], 0))\n"
                                "for frame in sys.argv[2:]: s.send(bytes.fromhex(frame))", device, *frames], check=True)

        for interface, vlan, flags, sizes in [("lo", "", ["--nano"], [1, 1500, 1980, 3000, 30000, 65000, 100]),
                                              (tag, "vlan and ", ["-Q", "out"], [1, 1400, 1472]), (tun, "", [], [])]:
            with self.subTest(interface=interface):
                sink, folder = Sink(self), self.scratch_dir()
                captures = [Program(self, [*command, "-i", interface, *flags, "-w", f"{folder}/{name}", *flag,
                                           vlan + sink.filter])
                            for name, command, flag in [("tcpdump", ["tcpdump", "-Z", "root", "-s", "65535"], []),
                                                        ("ostrane", [BINARY], ["-f"]),
                                                        ("ostrane.pcapng", [BINARY], ["-f"])]]
                self.assertTrue(captures[0].wait_for("listening on") and captures[1].wait_for("Capture started") and
                                captures[2].wait_for("Capture started"), "".join(c.text() for c in captures))
                for size in sizes * 3:
                    sink.send(1, size=size) if not vlan else None
                tagged(sink, sizes * 3) if vlan else None
                time.sleep(1.5)  # tcpdump hands its last block over on its 1 s timeout
                for program in captures:
                    program.signal(signal.SIGINT)
                    self.assertEqual(program.wait(10), 0, program.text())
                written = [pathlib.Path(folder, name).read_bytes() for name in ("tcpdump", "ostrane", "ostrane.pcapng")]
                self.assertEqual(written[1][:24], written[0][:24])
                # The pcapng: a section, the interface as the pcap's header has it, the packets, its counters.
                blocks, left = pcapng_blocks(written[2])
                (shb, shb_options, _), (idb, idb_options, idb_block), *_, (isb, isb_options, _) = blocks
                self.assertEqual((shb, idb, isb, left, shb_options[4]), (0x0A0D0D0A, 1, 5, 0, b"ostrane 1.0.0"))
                linktype, snaplen = struct.unpack_from("<H2xI", idb_block, 8)
                self.assertEqual((linktype, snaplen), struct.unpack_from("<II", written[0], 16)[::-1])
                self.assertEqual([idb_options[code] for code in (2, 11, 9)],
                                 [interface.encode(), b"\0" + (vlan + sink.filter).encode(), bytes([9 if "--nano" in flags else 6])])
                self.assertEqual(struct.unpack("<Q", isb_options[4])[0], report(captures[2].text(), "Packets received by filter"))
                if not sizes:
                    continue  # nothing to send through a tun that no process holds
                files = [parse(data)[0] for data in written]
                self.assertEqual([record[1:] for record in files[1]], [record[1:] for record in files[0]])
                self.assertEqual([record[1:] for record in files[2]], [record[1:] for record in files[1]])
                # Each socket stamps what the host sends when it sees it.
                self.assertLess(max(abs(ours[0] - theirs[0]) for ours, theirs in zip(files[1] + files[2], files[0] * 2)), 0.01)
                self.assertEqual(len(files[1]), len(sizes) * 3)

    def test_snaplen_keeps_the_original_length_and_a_small_hold_reads_on(self):
        parsed = self.capture(send_until_exit(10, size=200), options=["-s", "96", "-c", "3"], records=3)
        self.assertEqual({(len(frame), original) for _, original, frame in parsed}, {(96, RECORD - 20 + 200)})
        burst = self.capture(signal_after(20000, signal.SIGINT, 0.3, 200, gap=0), options=["-b", "4"], lossless=True)
        self.assertGreater(len(burst), 0 if os.environ.get("OSTRANE_SANITIZE") else 18000,  # the sanitizers' pace is theirs
                           "a hold with room for few records of the snap length throttled the reads")

    def test_output_failures_end_with_a_message_and_an_exact_report(self):
        scratch = tempfile.mkdtemp(prefix="ostrane-test-")
        self.addCleanup(os.rmdir, scratch)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", scratch], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", scratch])
        filler, stream, whole = os.path.join(scratch, "filler"), os.path.join(scratch, "stream"), 20 * (RECORD + 1000)
        device = f"ostrane{os.getpid() % 100000}"
        subprocess.run(f"ip link add {device} type veth peer name {device}p && ip link set {device} up", shell=True, check=True)
        self.addCleanup(subprocess.run, f"ip link del {device} 2>/dev/null", shell=True)

        def free_the_disk(count, when, pause=0.0, then=lambda program: None, free=True):
            def act(program, sink):
                with open(filler, "wb") as f:
                    f.write(bytes(os.statvfs(scratch).f_bavail * os.statvfs(scratch).f_frsize - 8192))
                sink.send(count, size=1000, gap=0)
                self.assertTrue(program.wait_for(when, 5), program.text())
                time.sleep(pause)
                if free:
                    os.unlink(filler)
                then(program)
            return act

        eio = self.scratch_dir()
        fifo = os.path.join(scratch, "fifo")  # root's, which others may only read
        os.mkfifo(fifo, 0o644)
        held = os.open(fifo, os.O_RDWR | os.O_NONBLOCK)
        self.addCleanup(os.close, held)

        def calm_while_stopping(program, sink):  # more than -b 0 holds: the rest waits in the ring
            signal_after(400, signal.SIGINT, 0.3, 1000)(program, sink)
            ticks = lambda: sum(map(int, pathlib.Path(f"/proc/{program.process.pid}/stat").read_text().split(")")[-1].split()[11:13]))
            before = ticks()
            time.sleep(0.5)
            self.assertLess(ticks() - before, 10, "CPU spent while the stop waits for the reader")

        def nothing_through_a_read_only_stdout(program, sink):
            send_until_exit(10)(program, sink)
            self.assertRaises(BlockingIOError, os.read, held, 65536)

        def refused_memory(program, sink):  # 2 MB more address space than the capture has when it starts
            vm = re.search(r"VmSize:\s+(\d+)", pathlib.Path(f"/proc/{program.process.pid}/status").read_text())[1]
            subprocess.run(["prlimit", f"--pid={program.process.pid}", f"--as={(int(vm) + 2048) * 1024}"], check=True)
            sink.send(20000, size=1000, gap=0)
            self.assertTrue(until(lambda: len(program.output()) == 20000 * (RECORD + 1000), 10), program.text())
            program.signal(signal.SIGINT)

        def all_out_within_a_second(program):
            self.assertTrue(until(lambda: len(program.output()) == whole, 1), "held records still held a second later")
            program.signal(signal.SIGINT)

        self.cases([
            ("stdout on /dev/full, 256 KiB held at most with -b 0", send_until_exit(2000, size=1028, gap=0.0001),
             dict(out="/dev/full", options=["-b", "0"], message=WRITE_FAILED + "0 of ", warnings=2, status=1)),
            ("reader gone", send_until_exit(10, size=1028), dict(limit=0, message="[INFO] The reader closed the output")),
            ("reader gone on a quiet link", lambda program, sink: time.sleep(0.3),
             dict(limit=0, message="[INFO] The reader closed the output")),
            ("file size limit", send_until_exit(1000, size=1000, gap=0.0005),
             dict(prefix=["prlimit", "--fsize=100000"], out=os.path.join(scratch, "limited"), status=1, warnings=None,
                  message=WRITE_FAILED)),
            ("reader stopped reading: the stop waits for it without spinning", calm_while_stopping,
             dict(pause=3600, options=["-b", "0"], message=ABANDONED, warnings=1, lossless=True, status=1)),
            ("reader stopped reading, non-blocking pipe, full with 64 whole records of 1 KiB",
             signal_after(200, signal.SIGTERM, 0.3, 1024 - RECORD),
             dict(pause=3600, nonblocking=True, message=ABANDONED, warnings=1, lossless=True, status=1)),
            ("reader stopped reading, a pipe the capture may not reopen", signal_after(200, signal.SIGINT, 0.3, 1000),
             dict(pause=3600, message=ABANDONED, warnings=1, lossless=True, status=1, prefix=[
                 "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--inh-caps=+net_raw,+net_admin",
                 "--ambient-caps=+net_raw,+net_admin"])),
            ("disk full, then freed while no traffic flows",
             free_the_disk(20, "[WARN] Output is full: holding ", 0.3, all_out_within_a_second),
             dict(out=stream, records=20, message="[INFO] Output resumed: held records written", warnings=1)),
            ("disk full until the held records fill the buffer, then freed while stopping",
             free_the_disk(400, WRITE_FAILED), dict(out=stream, options=["-b", "0"], message=WRITE_FAILED + "0 of ",
                                                    warnings=2, status=1)),
            ("disk full while stopping, pcapng: the file is cut back to its last whole block",  # while a header fits: later rows leave the disk full
             free_the_disk(400, "[WARN] Output is full: holding ", free=False,
                           then=lambda program: program.signal(signal.SIGINT)),
             dict(out=os.path.join(scratch, "cut.pcapng"), options=["-w", "-", "--pcapng"], seconds=5, status=1,
                  warnings=2, message="[ERROR] Output full while stopping: abandoned ")),
            ("stdout a FIFO open only for reading", nothing_through_a_read_only_stdout,
             dict(prefix=["sh", "-c", 'exec "$@" 1<"$0"', fifo], status=1, message=WRITE_FAILED + "0 of ", warnings=1)),
            ("-c into a full disk: the disk has its grace, then is given up", free_the_disk(
                20, "[WARN] Output is full: holding ", free=False), dict(out=os.path.join(scratch, "counted"), seconds=5,
                                                                        options=["-c", "20"], status=1, warnings=None,
                                                                        message="[ERROR] Output full while stopping: abandoned ")),
            ("disk full while stopping: the file is cut back to its last whole record",
             free_the_disk(400, "[WARN] Output is full: holding ", free=False,
                           then=lambda program: program.signal(signal.SIGINT)),
             dict(out=os.path.join(scratch, "cut"), seconds=5, status=1, warnings=2,
                  message="[ERROR] Output full while stopping: abandoned ")),
            ("memory refused: the ring holds what the hold cannot", refused_memory, dict(hold=(1, 2.0), options=["-b", "64"],
             records=20000, message="[WARN] No more memory to hold records for the output: the kernel's ring holds the rest", warnings=1))] * (not os.environ.get("OSTRANE_SANITIZE")) + [  # the sanitizers' shadow needs far more
            ("closing the file reports EIO", signal_after(3, signal.SIGINT),
             dict(options=["-w", os.path.join(eio, "x.pcap")], status=1, records=3, written=eio,
                  message="[ERROR] Failed to close output file: " + os.path.join(eio, "x.pcap") + ": Input/output "
                  "error\n", **faulty("fault close-eio as "))),
            ("interface removed", lambda program, sink: (time.sleep(0.2), subprocess.run(["ip", "link", "del", device])),
             dict(interface=device, seconds=1, status=1, message="[ERROR] Capture failed: The interface disappeared")),
        ])

        # A file that a full disk denies even its header is no capture file, and is not left behind.
        with open(filler, "ab") as f:
            f.write(bytes(os.statvfs(scratch).f_bavail * os.statvfs(scratch).f_frsize))
        program = Program(self, [BINARY, "-i", "lo", "-w", os.path.join(scratch, "none.pcapng")])
        self.assertEqual((program.wait(10), os.path.exists(os.path.join(scratch, "none.pcapng"))), (1, False), program.text())

        def removed_while_stopped(sender, size, count):  # the copies of frames larger than a ring slot queue behind its error
            def act(program, sink):
                program.signal(signal.SIGSTOP)
                with socket.socket(socket.AF_PACKET, socket.SOCK_RAW) as peer:
                    peer.bind((sender + "p", 0))
                    for n in range(count):
                        peer.send(bytes.fromhex("ffffffffffff02000000000188b5") + bytes([n % 256]) * size)
                subprocess.run(["ip", "link", "del", device])
                program.signal(signal.SIGCONT)
            return act

        # Alone, and beside another interface, whose ring's packets are all written before the capture ends.
        beside = device + "b"
        self.addCleanup(subprocess.run, f"ip link del {beside} 2>/dev/null", shell=True)
        subprocess.run(f"ip link add {beside} type veth peer name {beside}p && ip link set {beside} up && "
                       f"ip link set {beside}p up", shell=True, check=True)
        for sender, size, count, also in [(device, 5000, 10, []), (beside, 100, 300, ["-i", beside])]:
            subprocess.run(f"ip link add {device} mtu 9000 type veth peer name {device}p mtu 9000 && ip link set {device} up "
                           f"&& ip link set {device}p up", shell=True, check=True)
            parsed = self.capture(removed_while_stopped(sender, size, count), interface=device, seconds=2, status=1,
                                  options=[*also, "-f", "ether proto 0x88b5"], message="Capture failed: The interface disappeared")
            self.assertEqual([frame[14:] for _, _, frame in parsed], [bytes([n % 256]) * size for n in range(count)])

    def test_closed_standard_descriptors_leave_the_stream_and_the_wire_alone(self):
        # A message written into a capture socket that took fd 2 leaves as a frame that is neither IP nor ARP.
        watch = Program(self, [BINARY, "-i", "lo", "-f", "not ip and not ip6 and not arp"])
        self.assertTrue(watch.wait_for("Capture started"), watch.text())
        for closing, out in [("2>&-", None), ("<&- 2>&-", self.scratch_file())]:
            with self.subTest(closing=closing, out=out):
                sink = Sink(self)
                program = Program(self, ["sh", "-c", f'exec "$@" {closing}', "-", BINARY, "-i", "lo", "-f", sink.filter],
                                  out=out)
                # No "Capture started" to wait for: it has started once a datagram comes through.
                self.assertTrue(until(lambda: sink.send(1) or program.output(), 10))
                program.signal(signal.SIGUSR1)
                sink.send(10)
                time.sleep(0.3)
                program.signal(signal.SIGINT)
                self.assertEqual(program.wait(10), 0)
                parsed, left = parse(program.output())
                numbers = [struct.unpack_from("<Q", frame, 42)[0] for _, _, frame in parsed]
                self.assertEqual((left, numbers), (0, list(range(sink.sent - len(numbers), sink.sent))))
                self.assertGreater(len(numbers), 10)
        watch.signal(signal.SIGINT)
        self.assertEqual((watch.wait(10), parse(watch.output())), (0, ([], 0)))

    def test_a_reader_on_the_same_terminal_prints_whole_lines_and_ctrl_c_reaches_both(self):
        sink = Sink(self)
        pipeline = Program(self, ["sh", "-c", f"{BINARY} -i lo -f '{sink.filter}' | {sys.executable} {READER}"],
                           out="terminal", terminal=True, start_new_session=True)
        self.addCleanup(lambda: pipeline.process.poll() is None and os.killpg(pipeline.process.pid, signal.SIGKILL))
        self.assertTrue(pipeline.wait_for("Capture started"), pipeline.text())
        sink.send(299, gap=0.005)  # for longer than a status line's period
        # Once the reader has printed, it ignores SIGINT: a Ctrl+C now must bring the last datagram to its end.
        self.assertTrue(until(lambda: pipeline.text().count(" UDP") == 299), pipeline.text())
        sink.send(1, gap=0)
        os.killpg(pipeline.process.pid, signal.SIGINT)
        pipeline.wait(20)
        lines = [line for line in screen(pipeline.text()).split("\n") if line and not line.startswith("[INFO] ")]
        self.assertEqual((len(lines), report(pipeline.text(), "Packets dispatched")), (300, 300), lines)
        for number, line in enumerate(lines, 1):
            self.assertRegex(line, rf"^{number} \d+\.\d{{6}} \S+ \S+ 142/142 IPv4 127\.0\.0\.1:\d+ > 127\.0\.0\.1:\d+ UDP")


if __name__ == "__main__":
    unittest.main()

#!/usr/bin/env python3
"""Live loopback benchmark: ostrane against three ways of running tcpdump.

    sudo bench/live.py [--build DIR] [--count N] [--size BYTES] [--rate PPS] [--rounds R]
                       [--samples S] [--python PATH] [--paced PPS,...] [--idle-seconds S]

1. The same UDP load on lo (flat out by default), per round and capture, with
   its stdout into /dev/null: packets captured, packets dropped by the kernel
   in every round, CPU (user + sys, from rusage) per captured packet and
   peak RSS. Then the same at each paced rate (10 000/s and 100 000/s by
   default, 3 s of load each).
2. A lone packet's latency per capture: one datagram sent on an otherwise
   quiet filter, timed until its whole record can be read from the capture's
   stdout pipe while the capture keeps running (median and maximum of S
   samples; "never" when it has not arrived after 2 s).
3. `ostrane | reader --summary` on the same load: the reader's total against
   the datagrams sent.
4. A reader that stops reading for 1 s at 20 000/s and for 3 s at 2 000/s:
   the benchmark reads ostrane's stdout itself, pauses mid-run, and checks
   that every datagram arrived once. Then the capture process itself stopped
   (SIGSTOP) for 0.1 s, 0.3 s and 1 s at 2 000/s, into a pipe, into a file
   and with -w, beside tcpdump's three modes: what each captured.
5. An idle capture on a quiet filter: its CPU over the idle time.

Everything it sends goes to 127.0.0.1, to ports it binds itself; every load is
bounded in count and time, and every child is killed on any failure path.
"""

import argparse
import os
import random
import re
import select
import signal
import socket
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
READER = os.path.join(ROOT, "python_analyzer", "main.py")

RECORD = struct.Struct("<4sdII")
PCAP_RECORD_HEADER = 16
# Ethernet, IPv4 and UDP headers in front of the payload on lo; udp_flood
# writes each datagram's index into the payload's first 8 bytes.
PAYLOAD_OFFSET = 14 + 20 + 8
LATENCY_LIMIT = 2.0
IDLE_LIMIT = 0.05
STOPPED_SIZE = 100


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Child:
    """A process of the run; __exit__ kills and reaps it if it still runs, on
    every path, and removes the unlinked file that holds its stderr."""

    def __init__(self, command, ready=None, **options):
        self.name = os.path.basename(command[0])
        self.ready = ready
        self.report = tempfile.TemporaryFile("w+")
        try:
            self.process = subprocess.Popen(command, stderr=self.report, **options)
        except BaseException:
            self.report.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *_):
        if self.process.returncode is None:
            self.process.kill()
            self.process.wait()
        for stream in (self.process.stdin, self.process.stdout):
            if stream:
                stream.close()
        self.report.close()

    def text(self):
        self.report.seek(0)
        return self.report.read()

    def wait_ready(self, timeout=10):
        deadline = time.monotonic() + timeout
        while self.ready not in self.text():
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"{self.name} did not start:\n{self.text()}")
            time.sleep(0.02)
        time.sleep(0.3)  # tcpdump says "listening" just before its loop starts

    def interrupt(self):
        self.process.send_signal(signal.SIGINT)

    def reap(self, timeout=30):
        """Waits for the exit; returns the stderr text and the resource usage."""
        deadline = time.monotonic() + timeout
        while True:
            pid, status, usage = os.wait4(self.process.pid, os.WNOHANG)
            if pid:
                self.process.returncode = os.waitstatus_to_exitcode(status)
                return self.text(), usage
            if time.monotonic() > deadline:
                raise RuntimeError(f"{self.name} did not stop within {timeout} s")
            time.sleep(0.01)

    def stop(self, timeout=30):
        self.interrupt()
        return self.reap(timeout)


def contenders(build, expression):
    # Same kernel buffer (16 MiB) and snapshot length as ostrane's defaults.
    tcpdump = ["tcpdump", "-i", "lo", "-n", "-B", "16384", "-s", "65535"]
    return [
        ("ostrane", [os.path.join(build, "ostrane"), "-i", "lo", "-f", expression], "Capture started"),
        ("tcpdump -U -w -", tcpdump + ["-U", "-w", "-", expression], "listening on"),
        ("tcpdump -w -", tcpdump + ["-w", "-", expression], "listening on"),
        ("tcpdump --immediate-mode -U -w -", tcpdump + ["--immediate-mode", "-U", "-w", "-", expression],
         "listening on"),
    ]


def file_contenders(build, expression, folder):
    """Both writing a pcap file. Debian's tcpdump drops to user tcpdump, which
    may not write into a folder of root's, unless told -Z root."""
    return [
        ("ostrane -w FILE", [os.path.join(build, "ostrane"), "-i", "lo", "-f", expression,
                             "-w", os.path.join(folder, "ostrane.pcap")], "Capture started"),
        ("tcpdump -w FILE", ["tcpdump", "-i", "lo", "-n", "-B", "16384", "-s", "65535", "-Z", "root",
                             "-w", os.path.join(folder, "tcpdump.pcap"), expression], "listening on"),
        ("ostrane -w FILE.pcapng", [os.path.join(build, "ostrane"), "-i", "lo", "-f", expression,
                                    "-w", os.path.join(folder, "ostrane.pcapng")], "Capture started"),
    ]


def counters(name, text):
    if name.startswith("ostrane"):
        captured = re.search(r"Packets dispatched:\s+(\d+)", text)
        dropped = re.search(r"Packets dropped by kernel:\s+(\d+)", text)
    else:
        captured = re.search(r"(\d+) packets? captured", text)
        dropped = re.search(r"(\d+) packets? dropped by kernel", text)
    if not captured or not dropped:
        raise RuntimeError(f"{name}: no statistics in its output:\n{text}")
    return int(captured.group(1)), int(dropped.group(1))


def flood(args, port, count=None, rate=None, size=None):
    command = [os.path.join(args.build, "bench", "udp_flood"), str(port), str(count or args.count), str(size or args.size)]
    if rate is None:
        rate = args.rate
    if rate:
        command.append(str(rate))
    return command


def sent_by(load_output):
    sent, _, rate = load_output.split()
    return int(sent), float(rate)


def run_load(args, port, count=None, rate=None):
    load = subprocess.run(flood(args, port, count, rate), capture_output=True, text=True, check=True, timeout=120)
    return sent_by(load.stdout)


def flat_out(args, name, command, ready, port, count=None, rate=None):
    with open(os.devnull, "wb") as null, Child(command, ready, stdout=null) as capture:
        capture.wait_ready()
        sent, rate = run_load(args, port, count, rate)
        # The last ring block is handed over on the read timeout: tcpdump's is 1 s.
        time.sleep(1.5)
        text, usage = capture.stop()
    captured, dropped = counters(name, text)
    cpu = usage.ru_utime + usage.ru_stime
    return {"sent": sent, "rate": rate, "captured": captured, "dropped": dropped, "cpu": cpu,
            "us_per_packet": cpu * 1e6 / captured if captured else float("nan"), "rss_kb": usage.ru_maxrss}


def read_available(fd, timeout):
    """One os.read of whatever the pipe holds within timeout: b"" at EOF, None if nothing came."""
    if not select.select([fd], [], [], max(timeout, 0))[0]:
        return None
    return os.read(fd, 1 << 16)


def lone_packet_latency(args, which):
    """Seconds from sendto to the whole record on the capture's stdout, per
    sample; float("inf") for one that has not arrived within LATENCY_LIMIT,
    after which sampling stops (a late record would be counted for the next)."""
    samples = []
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sink, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        sink.bind(("127.0.0.1", 0))
        port = sink.getsockname()[1]
        name, command, ready = contenders(args.build, f"udp dst port {port}")[which]
        record = (RECORD.size if name == "ostrane" else PCAP_RECORD_HEADER) + PAYLOAD_OFFSET + args.size
        with Child(command, ready, stdout=subprocess.PIPE) as capture:
            capture.wait_ready()
            fd = capture.process.stdout.fileno()
            for _ in range(args.samples):
                # Drain what is there (a pcap file header), and send at a
                # random phase against the captures' read timeouts.
                end = time.monotonic() + random.uniform(0.1, 0.3)
                while read_available(fd, end - time.monotonic()):
                    pass
                received = 0
                sent_at = time.monotonic()
                sender.sendto(bytes(args.size), ("127.0.0.1", port))
                while received < record:
                    chunk = read_available(fd, sent_at + LATENCY_LIMIT - time.monotonic())
                    if not chunk:
                        break
                    received += len(chunk)
                arrived = time.monotonic()
                samples.append(arrived - sent_at if received >= record else float("inf"))
                if received < record:
                    break
            capture.stop()
    return samples


class Records:
    """Walks a record stream as it arrives; counts records and the distinct
    udp_flood indexes they carry."""

    def __init__(self):
        self.pending = bytearray()
        self.count = 0
        self.indexes = set()

    def feed(self, data):
        self.pending += data
        at = 0
        while len(self.pending) - at >= RECORD.size:
            magic, _, _, captured = RECORD.unpack_from(self.pending, at)
            if magic != b"PKT\0":
                raise RuntimeError(f"stream out of step after {self.count} records")
            if len(self.pending) - at < RECORD.size + captured:
                break
            self.indexes.add(struct.unpack_from("<Q", self.pending, at + RECORD.size + PAYLOAD_OFFSET)[0])
            self.count += 1
            at += RECORD.size + captured
        del self.pending[:at]


def read_until(fd, records, stop_when, deadline):
    while not stop_when() and time.monotonic() < deadline:
        chunk = read_available(fd, 0.05)
        if chunk == b"":
            return
        if chunk:
            records.feed(chunk)


def stalled_reader(args, rate, pause):
    """ostrane's stdout read by this process as it comes, with one pause of
    `pause` seconds in the middle of 2 s + pause of load at `rate`; returns
    (sent, records, distinct, drops)."""
    port = free_port()
    seconds = pause + 2
    count = int(rate * seconds)
    ostrane = contenders(args.build, f"udp dst port {port}")[0]
    records = Records()
    with Child(ostrane[1], ostrane[2], stdout=subprocess.PIPE) as capture:
        capture.wait_ready()
        fd = capture.process.stdout.fileno()
        with Child(flood(args, port, count, rate), stdout=subprocess.PIPE, text=True) as load:
            started = time.monotonic()
            read_until(fd, records, lambda: False, started + 1)
            time.sleep(pause)
            read_until(fd, records, lambda: load.process.poll() is not None, started + seconds + 60)
            sent, _ = sent_by(load.process.communicate(timeout=5)[0])
        read_until(fd, records, lambda: False, time.monotonic() + 0.5)
        capture.interrupt()
        read_until(fd, records, lambda: False, time.monotonic() + 30)
        text, _ = capture.reap()
    return sent, records.count, len(records.indexes), counters("ostrane", text)[1]


def drain(fd):
    while os.read(fd, 1 << 16):
        pass


def stopped_capture(args, name, command, ready, pause, rate=2000, into_pipe=False):
    """The capture process itself stopped (SIGSTOP) for `pause` seconds, 1 s
    into 2 s + pause of load at `rate` (datagrams of STOPPED_SIZE), its stdout a pipe drained by a thread
    or /dev/null; returns (sent, captured, drops) from its own report."""
    port = free_port()
    command = [part.replace("{port}", str(port)) for part in command]
    out = subprocess.PIPE if into_pipe else subprocess.DEVNULL
    with Child(command, ready, stdout=out) as capture:
        if into_pipe:
            threading.Thread(target=drain, args=(capture.process.stdout.fileno(),), daemon=True).start()
        capture.wait_ready()
        with Child(flood(args, port, int(rate * (pause + 2)), rate, STOPPED_SIZE), stdout=subprocess.PIPE, text=True) as load:
            time.sleep(1)
            capture.process.send_signal(signal.SIGSTOP)
            time.sleep(pause)
            capture.process.send_signal(signal.SIGCONT)
            sent, _ = sent_by(load.process.communicate(timeout=pause + 60)[0])
        time.sleep(1.5)  # tcpdump's last ring block is handed over on its 1 s read timeout
        text, _ = capture.stop()
    captured, dropped = counters(name, text)
    return sent, captured, dropped


def stopped_contenders(build, folder):
    expression = "udp dst port {port}"
    ostrane = [os.path.join(build, "ostrane"), "-i", "lo", "-f", expression]
    tcpdump = ["tcpdump", "-i", "lo", "-n", "-B", "16384", "-s", "65535", "-Z", "root"]
    return [
        ("ostrane into a pipe", ostrane, "Capture started", True),
        ("ostrane > FILE", ostrane, "Capture started", False),
        ("ostrane -w FILE", ostrane + ["-w", os.path.join(folder, "ostrane.pcap")], "Capture started", False),
        ("tcpdump -w -", tcpdump + ["-w", "-", expression], "listening on", True),
        ("tcpdump -U -w -", tcpdump + ["-U", "-w", "-", expression], "listening on", True),
        ("tcpdump --immediate-mode -U -w -", tcpdump + ["--immediate-mode", "-U", "-w", "-", expression],
         "listening on", True),
    ]


def pipeline(args):
    """ostrane | reader --summary on one load; returns (sent, reader's total, drops)."""
    port = free_port()
    name, command, ready = contenders(args.build, f"udp dst port {port}")[0]
    with Child(command, ready, stdout=subprocess.PIPE) as capture:
        with Child([args.python, READER, "--summary"], stdin=capture.process.stdout, stdout=subprocess.PIPE,
                   text=True) as reader:
            capture.process.stdout.close()
            capture.wait_ready()
            sent, _ = run_load(args, port)
            time.sleep(0.5)
            text, _ = capture.stop()
            summary, _ = reader.process.communicate(timeout=120)
    total = re.search(r"Total: (\d+) packets", summary)
    if not total:
        raise RuntimeError(f"reader: no total in its summary:\n{summary}\n{reader.text()}")
    return sent, int(total.group(1)), counters(name, text)[1]


def cpu_so_far(pid):
    """Seconds on a CPU of every thread of pid, from schedstat: rusage only
    comes at the exit and would add the start (the ring set-up) and the stop."""
    tasks = f"/proc/{pid}/task"
    total = 0
    for task in os.listdir(tasks):
        with open(os.path.join(tasks, task, "schedstat")) as f:
            total += int(f.read().split()[0])
    return total / 1e9


def idle_cpu(args):
    """CPU seconds over the idle time alone, and over the whole life."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sink:
        sink.bind(("127.0.0.1", 0))
        _, command, ready = contenders(args.build, f"udp dst port {sink.getsockname()[1]}")[0]
        with open(os.devnull, "wb") as null, Child(command, ready, stdout=null) as capture:
            capture.wait_ready()
            before = cpu_so_far(capture.process.pid)
            time.sleep(args.idle_seconds)
            idle = cpu_so_far(capture.process.pid) - before
            _, usage = capture.stop()
    return idle, usage.ru_utime + usage.ru_stime


def shown(seconds):
    return "never" if seconds == float("inf") else f"{seconds * 1e3:.1f} ms"


def interpreter(path):
    version = subprocess.run([path, "-c", "import sys; print(sys.version.split()[0])"],
                             capture_output=True, text=True, check=True, timeout=30).stdout.strip()
    return f"{os.path.realpath(path)} (Python {version})"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=200_000, help="datagrams per run (default 200000)")
    parser.add_argument("--size", type=int, default=64, help="UDP payload bytes (default 64)")
    parser.add_argument("--rate", type=float, default=0, help="datagrams per second; 0 is flat out (default)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--samples", type=int, default=12, help="lone packets per capture (default 12)")
    parser.add_argument("--paced", default="10000,100000", help="paced rates per second, 3 s of load each "
                        "(default 10000,100000; empty skips them)")
    parser.add_argument("--stalls", default="20000:1,2000:3", help="rate:pause pairs of a reader that pauses "
                        "(default 20000:1,2000:3)")
    parser.add_argument("--stops", default="0.1,0.3,1", help="seconds the capture process is stopped for at "
                        "2000/s, one run each (default 0.1,0.3,1; empty skips them)")
    parser.add_argument("--idle-seconds", type=float, default=10.0, help="idle capture length; 0 skips it")
    parser.add_argument("--python", default="/usr/bin/python3" if os.path.exists("/usr/bin/python3")
                        else sys.executable, help="the interpreter that runs the reader")
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    args = parser.parse_args()
    if args.rounds < 1 or args.samples < 1 or args.count < 1:
        parser.error("--rounds, --samples and --count must be at least 1")
    paced = [float(r) for r in args.paced.split(",") if r]
    stalls = [tuple(float(x) for x in pair.split(":")) for pair in args.stalls.split(",") if pair]
    if os.geteuid() != 0:
        sys.exit("live benchmark: capturing needs root")
    # A SIGTERM unwinds like an error, so that every child is reaped.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    print(f"benchmark on {interpreter(sys.executable)}; reader on {interpreter(args.python)}", flush=True)

    results = {}
    folder = tempfile.mkdtemp(prefix="ostrane-bench-")
    for round_number in range(args.rounds):
        port = free_port()
        expression = f"udp dst port {port}"
        for name, command, ready in contenders(args.build, expression) + file_contenders(args.build, expression, folder):
            result = flat_out(args, name, command, ready, port)
            results.setdefault(name, []).append(result)
            print(f"round {round_number + 1}: {name:<32} sent {result['sent']} at {result['rate']:.0f}/s, "
                  f"captured {result['captured']}, kernel drops {result['dropped']}, cpu {result['cpu']:.3f} s",
                  flush=True)

    shutil.rmtree(folder)
    paced_results = {}
    for pace in paced:
        for round_number in range(args.rounds):
            port = free_port()
            for name, command, ready in contenders(args.build, f"udp dst port {port}"):
                result = flat_out(args, name, command, ready, port, count=int(pace * 3), rate=pace)
                paced_results.setdefault(pace, {}).setdefault(name, []).append(result)
                print(f"round {round_number + 1} at {pace:.0f}/s: {name:<32} captured {result['captured']} of "
                      f"{result['sent']}, kernel drops {result['dropped']}, cpu {result['cpu']:.3f} s", flush=True)

    latency = {}
    for which, (name, _, _) in enumerate(contenders(args.build, "")):
        latency[name] = lone_packet_latency(args, which)
        print(f"lone packet: {name:<32} " + ", ".join(shown(s) for s in latency[name]), flush=True)

    piped = []
    for round_number in range(args.rounds):
        piped.append(pipeline(args))
        print(f"round {round_number + 1}: ostrane | reader --summary: sent {piped[-1][0]}, "
              f"total {piped[-1][1]}, kernel drops {piped[-1][2]}", flush=True)

    stall = [(rate, pause, stalled_reader(args, rate, pause)) for rate, pause in stalls]
    stopped = {}
    folder = tempfile.mkdtemp(prefix="ostrane-bench-")
    for pause in [float(p) for p in args.stops.split(",") if p]:
        for name, command, ready, into_pipe in stopped_contenders(args.build, folder):
            stopped.setdefault(name, []).append(stopped_capture(args, name, command, ready, pause, into_pipe=into_pipe))
            sent, captured, dropped = stopped[name][-1]
            print(f"stopped {pause:g} s: {name:<32} captured {captured} of {sent}, kernel drops {dropped}", flush=True)
    shutil.rmtree(folder)
    idle = idle_cpu(args) if args.idle_seconds > 0 else None

    def median(name, key):
        return statistics.median(r[key] for r in results[name])

    rate = "flat out" if not args.rate else f"{args.rate:.0f}/s"
    print(f"\n{args.count} datagrams of {args.size} bytes to 127.0.0.1 ({rate}), medians of {args.rounds} rounds; "
          f"lone packet: median of up to {args.samples}, \"never\" after {LATENCY_LIMIT:.0f} s")
    print("| capture | sent/s | captured | kernel drops per round | CPU µs/packet | a lone packet after "
          "(median / max) | peak RSS KiB |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for name in results:
        drops = " ".join(str(r["dropped"]) for r in results[name])
        zero = "all 0" if all(r["dropped"] == 0 for r in results[name]) else "NOT all 0"
        print(f"| {name} | {median(name, 'rate'):.0f} | {median(name, 'captured'):.0f} ({median(name, 'captured') / median(name, 'sent'):.1%}) | "
              f"{drops} ({zero}) | {median(name, 'us_per_packet'):.3f} | "
              f"{shown(statistics.median(latency[name])) + ' / ' + shown(max(latency[name])) if name in latency else 'n/a'} | "
              f"{median(name, 'rss_kb'):.0f} |")
    # libpcap skips the outgoing copy of every packet on lo, but the kernel
    # queued both, so its drop count can exceed the datagrams sent.
    print("Kernel drops are the captures' own report; on lo they count both copies of a datagram.")
    ratio = median("ostrane", "us_per_packet") / median("tcpdump -w -", "us_per_packet")
    print(f"\nCPU per captured packet, ostrane / tcpdump -w - (buffered): {ratio:.2f} (goal ≤ 1.00)")
    for name in ("ostrane -w FILE", "ostrane -w FILE.pcapng"):
        ratio = median(name, "us_per_packet") / median("tcpdump -w FILE", "us_per_packet")
        print(f"CPU per captured packet, {name} / tcpdump -w FILE: {ratio:.2f} (goal ≤ 1.00)")

    for pace, by_name in paced_results.items():
        print(f"\nPaced at {pace:.0f}/s, 3 s of load, medians of {args.rounds} rounds")
        print("| capture | captured | kernel drops per round | CPU µs/packet | × tcpdump -w - |")
        print("|---|---:|---:|---:|---:|")
        base = statistics.median(r["us_per_packet"] for r in by_name["tcpdump -w -"])
        for name, rows in by_name.items():
            us = statistics.median(r["us_per_packet"] for r in rows)
            print(f"| {name} | {statistics.median(r['captured'] for r in rows):.0f} | "
                  f"{' '.join(str(r['dropped']) for r in rows)} | {us:.3f} | {us / base:.2f} |")

    print(f"\nostrane | reader --summary, reader on {args.python}, {rate}")
    print("| round | sent | reader's total | lost | kernel drops |")
    print("|---:|---:|---:|---:|---:|")
    for number, (sent, total, dropped) in enumerate(piped, 1):
        print(f"| {number} | {sent} | {total} | {sent - total} | {dropped} |")

    print("\nA reader that stops reading mid-load (load: 2 s + the pause)")
    print("| rate/s | pause | sent | records read | distinct datagrams | lost | kernel drops |")
    print("|---:|---:|---:|---:|---:|---:|---:|")
    for rate, pause, (sent, count, distinct, dropped) in stall:
        print(f"| {rate:.0f} | {pause:g} s | {sent} | {count} | {distinct} | {sent - distinct} | {dropped} |")

    if stopped:
        pauses = [p for p in args.stops.split(",") if p]
        print("\nThe capture process stopped (SIGSTOP, then SIGCONT) 1 s into a load of 2 000 datagrams/s of "
              f"{STOPPED_SIZE} bytes: captured / sent")
        print("| capture | " + " | ".join(f"stopped {p} s" for p in pauses) + " |")
        print("|---|" + "---:|" * len(pauses))
        for name, rows in stopped.items():
            print(f"| {name} | " + " | ".join(f"{captured / sent:.1%}" for sent, captured, _ in rows) + " |")

    if idle is not None:
        verdict = "within" if idle[0] <= IDLE_LIMIT * args.idle_seconds / 10 else "OVER"
        print(f"\nIdle capture on a quiet filter: {idle[0]:.4f} s CPU in {args.idle_seconds:g} s ({verdict} "
              f"{IDLE_LIMIT} s per 10 s); {idle[1]:.3f} s over its whole life, start and stop included")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Live loopback benchmark: ostrane against tcpdump -U -w - and tcpdump -w -,
each capturing the same UDP load on lo with its stdout into /dev/null.

    sudo bench/live.py [--count N] [--size BYTES] [--rate PPS] [--rounds R]

Per tool it prints the medians over the rounds of: packets captured, packets
dropped by the kernel, CPU seconds of the capture process (user + sys), CPU
microseconds per captured packet and peak RSS. Everything it sends goes to
127.0.0.1, to a port the generator binds itself, and it ends by itself.
"""

import argparse
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def contenders(build, port):
    expression = f"udp dst port {port}"
    # Same kernel buffer (16 MiB) and snapshot length as ostrane's defaults.
    tcpdump = ["tcpdump", "-i", "lo", "-n", "-B", "16384", "-s", "65535"]
    return [
        ("ostrane", [os.path.join(build, "ostrane"), "-i", "lo", "-f", expression], "Capture started"),
        ("tcpdump -U -w -", tcpdump + ["-U", "-w", "-", expression], "listening on"),
        ("tcpdump -w -", tcpdump + ["-w", "-", expression], "listening on"),
    ]


def counters(name, text):
    if name == "ostrane":
        captured = re.search(r"Packets dispatched:\s+(\d+)", text)
        dropped = re.search(r"Packets dropped by kernel:\s+(\d+)", text)
    else:
        captured = re.search(r"(\d+) packets? captured", text)
        dropped = re.search(r"(\d+) packets? dropped by kernel", text)
    if not captured or not dropped:
        raise RuntimeError(f"{name}: no statistics in its output:\n{text}")
    return int(captured.group(1)), int(dropped.group(1))


def run_one(name, command, ready, generator):
    with tempfile.TemporaryFile("w+") as err, open(os.devnull, "wb") as null:
        capture = subprocess.Popen(command, stdout=null, stderr=err)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            err.seek(0)
            if ready in err.read():
                break
            time.sleep(0.02)
        time.sleep(0.3)
        load = subprocess.run(generator, capture_output=True, text=True, check=True, timeout=120)
        sent, _, rate = load.stdout.split()
        time.sleep(0.5)  # the last ring block is handed over on the read timeout
        capture.send_signal(signal.SIGINT)
        _, status, usage = os.wait4(capture.pid, 0)
        capture.returncode = status
        err.seek(0)
        captured, dropped = counters(name, err.read())
    cpu = usage.ru_utime + usage.ru_stime
    return {"sent": int(sent), "rate": float(rate), "captured": captured, "dropped": dropped, "cpu": cpu,
            "us_per_packet": cpu * 1e6 / captured if captured else float("nan"), "rss_kb": usage.ru_maxrss}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=1_000_000, help="datagrams per run (default 1000000)")
    parser.add_argument("--size", type=int, default=64, help="UDP payload bytes (default 64)")
    parser.add_argument("--rate", type=float, default=0, help="datagrams per second; 0 is flat out (default)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("live benchmark: capturing needs root")

    results = {}
    for round_number in range(args.rounds):
        port = free_port()
        generator = [os.path.join(args.build, "bench", "udp_flood"), str(port), str(args.count), str(args.size)]
        if args.rate:
            generator.append(str(args.rate))
        for name, command, ready in contenders(args.build, port):
            result = run_one(name, command, ready, generator)
            results.setdefault(name, []).append(result)
            print(f"round {round_number + 1}: {name:<16} sent {result['sent']} at {result['rate']:.0f}/s, "
                  f"captured {result['captured']}, dropped {result['dropped']}, cpu {result['cpu']:.3f} s",
                  flush=True)

    def median(name, key):
        return statistics.median(r[key] for r in results[name])

    rate = "flat out" if not args.rate else f"{args.rate:.0f}/s"
    print(f"\n{args.count} datagrams of {args.size} bytes to 127.0.0.1 ({rate}), medians of {args.rounds} rounds")
    print(f"| tool | sent/s | captured | kernel drops | CPU s | CPU µs/packet | peak RSS KiB |")
    print(f"|---|---:|---:|---:|---:|---:|---:|")
    for name in results:
        print(f"| {name} | {median(name, 'rate'):.0f} | {median(name, 'captured'):.0f} | "
              f"{median(name, 'dropped'):.0f} | {median(name, 'cpu'):.3f} | {median(name, 'us_per_packet'):.3f} | "
              f"{median(name, 'rss_kb'):.0f} |")
    ratio = median("ostrane", "us_per_packet") / median("tcpdump -U -w -", "us_per_packet")
    print(f"\nostrane / tcpdump -U, CPU per captured packet: {ratio:.3f}")


if __name__ == "__main__":
    main()

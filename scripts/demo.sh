#!/usr/bin/env bash
# Captures 20 packets of loopback traffic that it makes itself, pipes them
# into the reader, then shows the summary. Nothing leaves the machine.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "demo: capturing packets needs root (or cap_net_raw on build/ostrane). Run: sudo make demo" >&2
  exit 1
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Two free loopback ports, one for TCP and one for UDP.
read -r tcp_port udp_port < <(python3 -c '
import socket
a, b = socket.socket(), socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
a.bind(("127.0.0.1", 0)); b.bind(("127.0.0.1", 0))
print(a.getsockname()[1], b.getsockname()[1])')

filter="host 127.0.0.1 and (tcp port $tcp_port or udp port $udp_port)"
echo "== capturing 20 packets on lo with filter: $filter"
build/ostrane -i lo -c 20 -f "$filter" 2>"$scratch/report" \
  | tee "$scratch/packets.bin" | python3 python_analyzer/main.py &
pipeline=$!

for _ in $(seq 100); do
  grep -q "Capture started" "$scratch/report" && break
  if ! kill -0 "$pipeline" 2>/dev/null; then break; fi
  sleep 0.1
done
if ! grep -q "Capture started" "$scratch/report"; then
  cat "$scratch/report" >&2
  echo "demo: the capture did not start" >&2
  exit 1
fi

python3 scripts/loopback_traffic.py "$tcp_port" "$udp_port" 40
wait "$pipeline"

echo
echo "== capture report"
cat "$scratch/report"
echo
echo "== summary"
python3 python_analyzer/main.py --summary "$scratch/packets.bin"

#!/usr/bin/env python3
"""Makes a little traffic on the loopback interface: one short TCP exchange,
then UDP datagrams to a bound socket. Nothing leaves the machine.

    loopback_traffic.py TCP_PORT UDP_PORT [DATAGRAMS]
"""

import socket
import sys
import threading
import time

HOST = "127.0.0.1"


def tcp_exchange(port):
    with socket.create_server((HOST, port)) as server:
        def serve():
            connection, _ = server.accept()
            with connection:
                connection.sendall(connection.recv(1024).upper())

        worker = threading.Thread(target=serve)
        worker.start()
        with socket.create_connection((HOST, port), timeout=5) as client:
            client.sendall(b"hello over loopback")
            client.recv(1024)
        worker.join(timeout=5)


def udp_datagrams(port, count):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sink, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        sink.bind((HOST, port))  # a listener, so that no ICMP replies are sent
        for i in range(count):
            sender.sendto(b"datagram %d" % i, (HOST, port))
            time.sleep(0.02)


def main():
    tcp_port, udp_port = int(sys.argv[1]), int(sys.argv[2])
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 30
    tcp_exchange(tcp_port)
    udp_datagrams(udp_port, count)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Holds idle connections open to fwpost-rendezvous and times normal requests meanwhile.

usage: rendezvous_idle.py PORT [--idle N] [--requests N]

Opens N connections from 127.0.0.2 that send nothing, waits until they are set
up, then sends requests one at a time from 127.0.0.1 (each on a new connection)
and prints the latency percentiles of those requests and how many of the idle
connections the service still held open at the end. Only 127.0.0.1 and
127.0.0.2 are used.
"""
import argparse
import resource
import socket
import statistics
import time


def request(port):
    started = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=30) as sock:
        sock.sendall(b"GET /easy.cgi?mode=get&user=nobody HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
        reply = b""
        while True:
            chunk = sock.recv(4096)
            if not chunk:
                break
            reply += chunk
    if not reply.startswith(b"HTTP/1.1 410 "):
        raise SystemExit("unexpected reply: %r" % reply[:80])
    return (time.monotonic() - started) * 1000


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("--idle", type=int, default=2000)
    parser.add_argument("--requests", type=int, default=500)
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    idle = []
    for _ in range(args.idle):
        sock = socket.socket()
        sock.bind(("127.0.0.2", 0))
        sock.connect(("127.0.0.1", args.port))
        idle.append(sock)
    request(args.port)  # the service has taken every connection queued before this one
    times = sorted(request(args.port) for _ in range(args.requests))
    held = 0
    for sock in idle:
        sock.setblocking(False)
        try:
            held += sock.recv(1) != b""
        except BlockingIOError:
            held += 1
        sock.close()
    q = statistics.quantiles(times, n=100)
    print("%d %.2f %.2f %.2f %.2f" % (held, q[49], q[89], q[98], times[-1]))


if __name__ == "__main__":
    main()

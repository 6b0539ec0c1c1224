#!/usr/bin/env python3
"""Runs many relayed pairs at once through fwpost-rendezvous's relay with raw
sockets: each pair parks a waiting side, joins it, and sends MiB each way at
the same time. Prints the pairs' combined rate and the service's resident
memory before and at its peak (from /proc). Loopback only."""
import argparse
import socket
import threading
import time
import urllib.request


def ask(url, query):
    with urllib.request.urlopen(url + query, timeout=20) as reply:
        lines = reply.read().decode().splitlines()
    values = dict(line.split(" = ", 1) for line in lines if " = " in line)
    return values


def relay_socket(address, token, expect):
    host, port = address.rsplit(":", 1)
    conn = socket.create_connection((host, int(port)), timeout=60)
    conn.sendall(b"FWPRELAY " + token.encode() + b"\r\n")
    line = b""
    while not line.endswith(b"\r\n"):
        byte = conn.recv(1)
        if not byte:
            raise RuntimeError("relay closed")
        line += byte
    if line.strip() != expect:
        raise RuntimeError("relay said " + line.decode())
    return conn


def wait_ok(conn):
    line = b""
    while not line.endswith(b"\r\n"):
        line += conn.recv(1)
    assert line == b"OK\r\n", line


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def pump(conn, total, errors):
    chunk = bytes(range(256)) * 256
    received = [0]

    def reader():
        while received[0] < total:
            data = conn.recv(1 << 16)
            if not data:
                break
            received[0] += len(data)

    thread = threading.Thread(target=reader)
    thread.start()
    sent = 0
    try:
        while sent < total:
            conn.sendall(chunk[: min(len(chunk), total - sent)])
            sent += min(len(chunk), total - sent)
    except OSError as error:
        errors.append(str(error))
    thread.join()
    if received[0] != total:
        errors.append("short by %d" % (total - received[0]))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--url", required=True)
    parser.add_argument("--pid", type=int, required=True)
    parser.add_argument("--pairs", type=int, default=100)
    parser.add_argument("--mib", type=int, default=16)
    args = parser.parse_args()
    before = rss_kib(args.pid)
    sides = []
    for i in range(args.pairs):
        user = "pair%d" % i
        ask(args.url, "?mode=open&user=%s&port=4006&ip=127.0.0.1" % user)
        wait = ask(args.url, "?mode=relaywait&user=" + user)
        waiting = relay_socket(wait["relay"], wait["token"], b"WAIT")
        join = ask(args.url, "?mode=relay&user=" + user)
        joining = relay_socket(join["relay"], join["token"], b"OK")
        wait_ok(waiting)
        sides += [waiting, joining]
    total = args.mib << 20
    errors = []
    peak = [before]
    done = threading.Event()

    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], rss_kib(args.pid))
            time.sleep(0.05)

    sampler = threading.Thread(target=sample)
    sampler.start()
    start = time.monotonic()
    threads = [threading.Thread(target=pump, args=(conn, total, errors)) for conn in sides]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    seconds = time.monotonic() - start
    done.set()
    sampler.join()
    for conn in sides:
        conn.close()
    carried = 2 * args.pairs * args.mib
    print("  %d pairs carried %d MiB in %.1f s (%.0f MiB/s), errors: %d" % (
        args.pairs, carried, seconds, carried / seconds, len(errors)))
    print("  service memory: %.1f MiB before, %.1f MiB at the peak" % (before / 1024, peak[0] / 1024))


if __name__ == "__main__":
    main()

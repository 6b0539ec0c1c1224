#!/usr/bin/env python3
"""Throws random and half-valid protocol traffic at an fwpost listener on
127.0.0.1, session after session, and reports sanitizer findings, crashes,
hangs and files written outside the receive folder.

usage: tools/hostile_peer.py FWPOST SECONDS [SEED]

Best run against a sanitizer build (cmake --preset asan; build-asan/bin/fwpost).
Its work folder is /tmp/fwpost-hostile-peer; it ends only the fwpost processes
it starts.
"""
import os, random, socket, subprocess, sys, time, zlib, shutil, signal

if len(sys.argv) < 3:
    sys.exit(__doc__)
FWPOST = sys.argv[1]
SECONDS = float(sys.argv[2])
root = "/tmp/fwpost-hostile-peer"
shutil.rmtree(root, ignore_errors=True)
os.makedirs(root + "/in"); open(root + "/none.ini", "w").close()
rng = random.Random(int(sys.argv[3]) if len(sys.argv) > 3 else 1)

def num():
    return rng.choice(["0", "1", "-1", "2", "127", "128", "4096", "65536", "2147483647", "2147483648",
                       "-2147483648", "9223372036854775807", "99999999999999999999", "", "x", " 5", "0x10",
                       str(rng.randint(0, 1 << 20)), str(rng.randint(-5, 5))])

NAMES = ["FileTransfering:a.bin", "FileTransfering:../evil", "FileTransfering:..", "FileTransfering:.",
         "FileTransfering:/etc/passwd", "FileTransfering:\x83\x5c\x83\x5c..\\x", "FileTransfering:",
         "FileTransfering:a\x01b", "InstantMessage:", "PluginMessage:x", "PluginBuffer:y", "PluginFile:z|q",
         "FileTransfering:" + "n" * 400, "Unknown", ""]

def payload(n):
    kind = rng.random()
    if kind < 0.3:
        return zlib.compress(os.urandom(rng.randint(0, 3000)), 1)[: max(0, n)]
    return os.urandom(max(0, min(n, 70000)))

def message(ids):
    r = rng.random()
    i = rng.choice(ids) if ids and rng.random() < 0.8 else num()
    if r < 0.25:
        name = rng.choice(NAMES)
        return "#TRANSDATA\r\n%s\r\n%s\r\n%s\r\n" % (i, name, num())
    if r < 0.55:
        n = rng.randint(0, 5000)
        wire = rng.choice([str(n), num()])
        head = "#TRANSDATA\r\n%s\r\n%s\r\n%s\r\n%s\r\n%s\r\n" % (i, num(), rng.choice(["0", "1", "2", "3", num()]), rng.choice([str(n), num()]), wire)
        return head.encode("latin-1") + payload(n)
    if r < 0.65:
        return "#TRANSDATA\r\n%s\r\n%s\r\n%s\r\n" % (i, rng.choice(["$ACPT", "$DENY", "$FAILED"]), num())
    if r < 0.75:
        return "#TRANSDATA\r\n%s\r\n%s\r\n" % (i, num())
    if r < 0.9:
        return "%s\r\n%s\r\n%s\r\n" % (rng.choice(["#SEEK", "#ABORT", "#SUSPEND", "#RESUME"]), i, num())
    if r < 0.95:
        return rng.choice(["#IDOLING\r\n", "#TERMINATE\r\n", "\r\n", "\r", "\n"])
    return os.urandom(rng.randint(0, 300))

def session():
    log = open(root + "/stderr.log", "ab")
    p = subprocess.Popen([FWPOST, "listen", "-p", "0", "-y", "-d", root + "/in", "--stay", "-q",
                          "-c", root + "/none.ini"], stdout=subprocess.PIPE, stderr=log)
    line = p.stdout.readline().decode()
    port = int(line.split()[1])
    s = socket.create_connection(("127.0.0.1", port))
    s.settimeout(2)
    s.sendall(b"Fernwaypost Protocol Version 0.90\r\n127.0.0.1\r\n" + rng.choice([b"32768", b"4096", b"0", b"-1", b"1", b"100000000"]) + b"\r\n")
    ids = [str(rng.randint(1, 1000)) for _ in range(5)]
    end = time.time() + rng.uniform(1, 6)
    try:
        while time.time() < end and p.poll() is None:
            m = message(ids)
            s.sendall(m if isinstance(m, bytes) else m.encode("latin-1"))
            try:
                s.setblocking(False)
                s.recv(1 << 20)
            except (BlockingIOError, socket.timeout):
                pass
            finally:
                s.setblocking(True)
                s.settimeout(2)
    except (BrokenPipeError, ConnectionResetError, OSError):
        pass
    s.close()
    try:
        rc = p.wait(timeout=30)
    except subprocess.TimeoutExpired:
        p.send_signal(signal.SIGINT)
        try:
            rc = p.wait(timeout=30)
        except subprocess.TimeoutExpired:
            p.kill(); rc = p.wait()
            print("HANG: fwpost did not end after the peer left and SIGINT", flush=True)
    p.stdout.close()
    return rc

start = time.time(); sessions = 0; bad = 0
while time.time() - start < SECONDS:
    rc = session(); sessions += 1
    if rc < 0 or rc > 2:
        bad += 1
        print("exit status", rc, flush=True)
outside = [e for e in os.listdir(root) if e not in ("in", "stderr.log", "none.ini")]
text = open(root + "/stderr.log", "rb").read().decode("utf-8", "replace")
reports = text.count("runtime error") + text.count("AddressSanitizer") + text.count("LeakSanitizer")
print("sessions", sessions, "bad exits", bad, "sanitizer reports", reports, "outside", outside,
      "files in", len(os.listdir(root + "/in")))
sys.exit(1 if bad or reports or outside else 0)

#!/usr/bin/env python3
"""Transfer benchmark: two fwpost processes on loopback, file to file.

Measures, per case, the rate (MB = 10^6 bytes), user+sys CPU seconds and
peak RSS of each process, and as references in the same run `socat -b
1048576` and `scp` (`scp -r` for folders) to a throwaway sshd, all over
127.0.0.1: one large file at default settings and at BufSize 16 MiB, 1000
files of 10 KiB and 100 of 1 MiB in one session, a file through a
user-space delay proxy (25 ms each way, at most 3 MiB queued per
direction) against socat through the same proxy, `-t compress` on random
data against `-t direct` and on text (bytes on the wire), a one-byte file
from connect to exit, and the delay of instant messages sent with --chat
during a large transfer. It also runs crypto_bench
(packet transforms against bare zlib / Blowfish-CBC loops) and an strace
check of the data-path call sizes, and prints PASS/FAIL per target and a
markdown table.

Timing: from the start of the sending process to its exit. The receiving
fwpost syncs the file to disk before it sends the final acknowledge, so this
covers the whole transfer. For socat and scp the time runs until the copy has
ended and the received file has been synced to disk by this script, so all
rows include the same disk sync. CPU seconds come from wait4 (microseconds), the
peak RSS from GNU time, which runs each measured command.

Everything runs inside a private network namespace (only its own loopback
device) when the script can create one (root and `unshare`); otherwise on the
host's 127.0.0.1. Usage: bench/transfer.py --help
"""

import argparse
import json
import os
import pwd
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

KiB = 1024
MiB = 1024 * KiB
GiB = 1024 * MiB
MB = 1e6
PROXY_DELAY = 0.025  # seconds each way through the delay proxy
PROXY_QUEUE = 3 * MiB  # bytes the delay proxy holds per direction at most

ROOT = Path(__file__).resolve().parent.parent
NETNS_MARK = "FWP_BENCH_IN_NETNS"

# ---------------------------------------------------------------- processes

_started = []  # every Popen this script started, ended by pid in cleanup_processes()


class Interrupted(Exception):
    pass


def _on_signal(signum, _frame):
    raise Interrupted(f"signal {signum}")


def log(text=""):
    print(text, flush=True)


def spawn(argv, **kwargs):
    proc = subprocess.Popen([str(a) for a in argv], **kwargs)
    _started.append(proc)
    return proc


def child_pids(pid):
    kids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                rest = stat.read().rpartition(")")[2].split()
        except OSError:
            continue
        if int(rest[1]) == pid:
            kids.append(int(entry))
    return kids


def end_process(proc, grace=3.0):
    """Ends one process this script started, by its pid. The command under
    GNU time or strace goes first, so that the wrapper still reaps it."""
    if proc.returncode is not None or proc.poll() is not None:
        return
    for signum in (signal.SIGTERM, signal.SIGKILL):
        kids = child_pids(proc.pid)
        for kid in kids:
            try:
                os.kill(kid, signum)
            except ProcessLookupError:
                pass
        try:
            proc.wait(timeout=grace)
            return
        except subprocess.TimeoutExpired:
            pass
        try:
            os.kill(proc.pid, signum)
            proc.wait(timeout=grace)
            return
        except subprocess.TimeoutExpired:
            pass
        except (ProcessLookupError, ChildProcessError):
            return


def cleanup_processes():
    for proc in reversed(_started):
        end_process(proc)


def timed(argv, usage_file):
    """argv under GNU time, for the peak RSS of the command alone: a direct
    child of this script would count the script's own RSS as its peak, since
    a process's peak RSS includes the memory it was forked with."""
    return ["/usr/bin/time", "-f", "%M", "-o", usage_file] + list(argv)


def signal_tree(proc, signum):
    """Signals the children of proc (the command under GNU time or strace), then proc, by pid."""
    for pid in child_pids(proc.pid) + [proc.pid]:
        try:
            os.kill(pid, signum)
        except ProcessLookupError:
            pass


def wait_measured(proc, usage_file, timeout):
    """Waits for a process started with timed(); returns (exit code, user+sys
    seconds, peak rss bytes). The CPU time comes from wait4 to the microsecond
    (GNU time's own share is about a millisecond). A watchdog ends the
    process when it runs past timeout."""
    timer = threading.Timer(timeout, lambda: signal_tree(proc, signal.SIGKILL))
    timer.daemon = True
    timer.start()
    try:
        _, status, usage = os.wait4(proc.pid, 0)
    finally:
        timer.cancel()
    proc.returncode = os.waitstatus_to_exitcode(status)
    with open(usage_file) as f:
        rss_kib = f.read().split()[-1]
    return proc.returncode, usage.ru_utime + usage.ru_stime, int(rss_kib) * KiB


class LineReader:
    """Collects a child's output lines with their arrival times."""

    def __init__(self, stream):
        self.lines = []
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self._run, args=(stream,), daemon=True)
        self.thread.start()

    def _run(self, stream):
        for raw in stream:
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            with self.cond:
                self.lines.append((time.monotonic(), line))
                self.cond.notify_all()
        with self.cond:
            self.lines.append((time.monotonic(), None))
            self.cond.notify_all()

    def wait_for(self, prefix, timeout):
        end = time.monotonic() + timeout
        with self.cond:
            while True:
                for stamp, line in self.lines:
                    if line is None:
                        return None, None
                    if line.startswith(prefix):
                        return stamp, line
                left = end - time.monotonic()
                if left <= 0:
                    return None, None
                self.cond.wait(left)

    def first(self, prefix):
        with self.cond:
            for stamp, line in self.lines:
                if line is not None and line.startswith(prefix):
                    return stamp, line
        return None, None

    def text(self):
        with self.cond:
            return "\n".join(line for _, line in self.lines if line is not None)


def run_checked(argv, **kwargs):
    return subprocess.run([str(a) for a in argv], check=True, **kwargs)


def free_port():
    import socket

    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def listening_ports():
    ports = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for row in f:
                    fields = row.split()
                    if fields[3] == "0A":
                        ports.add(int(fields[1].rsplit(":", 1)[1], 16))
        except FileNotFoundError:
            pass
    return ports


def wait_listening(port, proc, timeout=10.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if port in listening_ports():
            return
        if proc.poll() is not None:
            raise RuntimeError(f"{proc.args[0]} ended before it listened on port {port}")
        time.sleep(0.01)
    raise RuntimeError(f"nothing listens on port {port} after {timeout} s")


def fsync_file(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def same_file(a, b):
    return subprocess.run(["cmp", "-s", str(a), str(b)]).returncode == 0


# ---------------------------------------------------------------- setup


def enter_private_network(args):
    """Re-runs the script in a new network namespace with only loopback up."""
    if os.environ.get(NETNS_MARK) == "1":
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        return "private network namespace (loopback only)"
    if args.no_netns or os.geteuid() != 0 or not shutil.which("unshare") or not shutil.which("ip"):
        return "host network, 127.0.0.1 only"
    probe = subprocess.run(["unshare", "--net", "true"], capture_output=True)
    if probe.returncode != 0:
        return "host network, 127.0.0.1 only"
    os.environ[NETNS_MARK] = "1"
    sys.stdout.flush()
    os.execvp("unshare", ["unshare", "--net", "--", sys.executable, str(Path(__file__).resolve())] + sys.argv[1:])
    return ""  # not reached


def cache_value(cache, key):
    match = re.search(rf"^{key}:\w+=(.*)$", cache, re.M)
    return match.group(1) if match else None


def ensure_binaries(build_dir, force):
    fwpost = build_dir / "bin" / "fwpost"
    crypto_bench = build_dir / "bin" / "crypto_bench"
    cache_file = build_dir / "CMakeCache.txt"
    if force or not fwpost.exists() or not crypto_bench.exists():
        if not cache_file.exists():
            log(f"configuring {build_dir} (Release, no tests)")
            run_checked(["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                         "-DFWP_BUILD_TESTS=OFF"])
        elif cache_value(cache_file.read_text(), "FWP_BUILD_BENCH") == "OFF":
            log(f"switching FWP_BUILD_BENCH on in {build_dir}")
            run_checked(["cmake", "-B", build_dir, "-DFWP_BUILD_BENCH=ON"])
        log(f"building fwpost and crypto_bench in {build_dir}")
        run_checked(["cmake", "--build", build_dir, "--target", "fwpost", "crypto_bench"])
    cache = cache_file.read_text() if cache_file.exists() else ""
    build_type = cache_value(cache, "CMAKE_BUILD_TYPE") or "?"
    sanitize = cache_value(cache, "FWP_SANITIZE") or ""
    if build_type not in ("Release", "RelWithDebInfo") or sanitize:
        log(f"WARNING: {build_dir} is a {build_type} build{' with sanitizers' if sanitize else ''};"
            " its figures do not stand for a release")
    return fwpost, crypto_bench, build_type


def filesystem_type(path):
    best, kind = "", "?"
    real = os.path.realpath(path)
    with open("/proc/mounts") as f:
        for row in f:
            fields = row.split()
            mount = fields[1].replace("\\040", " ")
            if (real == mount or real.startswith(mount.rstrip("/") + "/")) and len(mount) >= len(best):
                best, kind = mount, fields[2]
    return kind


def make_random_file(path, size):
    chunk = 8 * MiB
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(chunk, left)
            f.write(os.urandom(n))
            left -= n
        f.flush()
        os.fsync(f.fileno())


class Sshd:
    """A throwaway sshd on 127.0.0.1 with its own config, host key and user key."""

    def __init__(self, folder):
        self.folder = folder
        self.proc = None
        self.made_privsep_dir = False
        self.port = None
        self.user = pwd.getpwuid(os.geteuid()).pw_name

    def start(self):
        sshd = shutil.which("sshd") or "/usr/sbin/sshd"
        if not os.path.exists(sshd) or not shutil.which("scp"):
            raise RuntimeError("sshd or scp missing (Debian: openssh-server, openssh-client)")
        f = self.folder
        f.mkdir()
        run_checked(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", f / "host_key"])
        run_checked(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", f / "user_key"])
        shutil.copyfile(f / "user_key.pub", f / "authorized_keys")
        self.port = free_port()
        (f / "sshd_config").write_text(
            f"ListenAddress 127.0.0.1:{self.port}\n"
            f"HostKey {f / 'host_key'}\n"
            f"AuthorizedKeysFile {f / 'authorized_keys'}\n"
            "PidFile none\n"
            "UsePAM no\n"
            "StrictModes no\n"
            "PubkeyAuthentication yes\n"
            "PasswordAuthentication no\n"
            "KbdInteractiveAuthentication no\n"
            "PermitRootLogin prohibit-password\n"
            "AllowTcpForwarding no\n"
            "X11Forwarding no\n"
            "PrintMotd no\n"
            "Subsystem sftp internal-sftp\n"
            "LogLevel ERROR\n")
        # sshd insists on its privilege separation folder; make it only when missing.
        if os.geteuid() == 0 and not os.path.isdir("/run/sshd"):
            os.makedirs("/run/sshd", mode=0o755)
            self.made_privsep_dir = True
        run_checked([sshd, "-t", "-f", f / "sshd_config"])
        self.log = open(f / "sshd.log", "wb")
        self.proc = spawn([sshd, "-D", "-e", "-f", f / "sshd_config"], stdout=self.log, stderr=subprocess.STDOUT)
        wait_listening(self.port, self.proc)

    def scp_argv(self, source, target):
        f = self.folder
        return ["scp", "-q"] + (["-r"] if Path(source).is_dir() else []) + ["-P", self.port, "-F", "/dev/null", "-i", f / "user_key",
                "-o", "BatchMode=yes", "-o", "IdentitiesOnly=yes", "-o", "StrictHostKeyChecking=accept-new",
                "-o", f"UserKnownHostsFile={f / 'known_hosts'}", "-o", "GlobalKnownHostsFile=/dev/null",
                source, f"{self.user}@127.0.0.1:{target}"]

    def reaped_cpu(self):
        """CPU seconds of all sessions the daemon has reaped so far."""
        with open(f"/proc/{self.proc.pid}/stat") as stat:
            rest = stat.read().rpartition(")")[2].split()
        return (int(rest[13]) + int(rest[14])) / os.sysconf("SC_CLK_TCK")

    def wait_sessions_gone(self, timeout=10.0):
        end = time.monotonic() + timeout
        while child_pids(self.proc.pid) and time.monotonic() < end:
            time.sleep(0.01)

    def stop(self):
        if self.proc:
            end_process(self.proc)
            self.log.close()
        if self.made_privsep_dir:
            try:
                os.rmdir("/run/sshd")
            except OSError:
                pass


# ---------------------------------------------------------------- one transfer


class Run:
    def __init__(self, seconds, size, send_cpu, send_rss, recv_cpu, recv_rss, extra=""):
        self.seconds = seconds
        self.size = size
        self.send_cpu = send_cpu
        self.send_rss = send_rss
        self.recv_cpu = recv_cpu
        self.recv_rss = recv_rss
        self.extra = extra

    @property
    def rate(self):
        return self.size / self.seconds


def transfer_timeout(size):
    return 120 + size / (5 * MB)


def fwpost_pair(bench, buf, ptype, source, wrap_send=(), wrap_recv=(), proxy_for=None, chat=None,
                extra_args=()):
    """One fwpost session sending source (a file, or every file of a folder);
    returns a Run. proxy_for(port) may put a proxy in between; chat(send_in,
    listen_out) runs while the transfer goes on, with --chat given to the
    sender. Raises on any failure."""
    rx = bench.rx_dir
    names = sorted(Path(source).iterdir()) if Path(source).is_dir() else [Path(source)]
    size = tree_size(source)
    common = ["-q", "-c", bench.config, "-b", buf, "-t", ptype] + list(extra_args)
    os.sync()
    usage = {p: bench.work / f"usage-{p}.txt" for p in ("sender", "receiver")}
    listener = spawn(timed(list(wrap_recv) + [bench.fwpost, "listen", "-p", "0", "-y", "-d", rx] + common,
                           usage["receiver"]),
                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    listen_out = LineReader(listener.stdout)
    _, line = listen_out.wait_for("listening ", 20)
    if line is None:
        end_process(listener)
        raise RuntimeError(f"fwpost listen did not start:\n{listen_out.text()}")
    port = int(line.split()[1])
    proxy = proxy_for(port) if proxy_for else None
    start = time.monotonic()
    sender = spawn(timed(list(wrap_send) + [bench.fwpost, "connect", "127.0.0.1", "-p",
                                            proxy.port if proxy else port] + common
                         + (["--chat"] if chat else []) + names, usage["sender"]),
                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                   stdin=subprocess.PIPE if chat else subprocess.DEVNULL)
    send_out = LineReader(sender.stdout)
    extra = ""
    if chat:
        extra = chat(sender.stdin, listen_out)
        try:
            sender.stdin.close()
        except BrokenPipeError:
            pass
    send_code, send_cpu, send_rss = wait_measured(sender, usage["sender"], transfer_timeout(size))
    seconds = time.monotonic() - start
    recv_code, recv_cpu, recv_rss = wait_measured(listener, usage["receiver"], 60)
    send_out.thread.join(5)
    listen_out.thread.join(5)
    if proxy:
        proxy.stop()
    problems = []
    if send_code != 0:
        problems.append(f"sender exit {send_code}")
    if recv_code != 0:
        problems.append(f"receiver exit {recv_code}")
    if not all((rx / n.name).exists() and same_file(n, rx / n.name) for n in names):
        problems.append("a received file differs from the sent one")
    if problems:
        raise RuntimeError(f"fwpost {ptype} -b {buf}: {', '.join(problems)}\n"
                           f"sender:\n{send_out.text()}\nreceiver:\n{listen_out.text()}")
    if not extra and len(names) == 1:
        connected, _ = send_out.first("connected ")
        done, _ = send_out.first("done ")
        extra = f"connected->done {done - connected:.3f} s" if connected and done else ""
    for n in names:
        (rx / n.name).unlink()
    run = Run(seconds, size, send_cpu, send_rss, recv_cpu, recv_rss, extra)
    run.upstream = proxy.upstream_bytes if proxy else None
    return run


def chat_during_transfer(lines=5, gap=0.05):
    """Returns a chat function: once the receiver shows the offer, writes
    `lines` lines `gap` seconds apart and notes how long each took to show
    up at the receiver. Its result goes into the Run's extra text."""

    def chat(send_in, listen_out):
        listen_out.wait_for("offer ", 30)
        delays = []
        for i in range(lines):
            text = f"bench line {i}"
            sent = time.monotonic()
            try:
                send_in.write((text + "\n").encode())
                send_in.flush()
            except BrokenPipeError:
                log("  (the sender ended before all chat lines went out; use a larger file)")
                break
            stamp, _ = listen_out.wait_for("message " + text, 30)
            if stamp is None:
                raise RuntimeError(f"chat line {i} did not arrive:\n{listen_out.text()}")
            delays.append(stamp - sent)
            time.sleep(gap)
        done, _ = listen_out.first("done ")
        if done is not None and done < sent:
            log("  (the transfer ended before the last chat line; use a larger file)")
        return "chat ms " + " ".join(f"{d * 1000:.1f}" for d in delays)

    return chat


def make_tree(folder, count, size):
    folder.mkdir()
    for i in range(count):
        with open(folder / f"f{i:04d}.bin", "wb") as f:
            f.write(os.urandom(size))
    os.sync()


def make_text_file(path, size):
    """Text that compresses like prose: words drawn from a small vocabulary."""
    import random

    rng = random.Random(7)
    words = ("file peer send receive packet buffer offer answer tick socket message transfer the a of to "
             "and in is it for on with as by be at this that from").split()
    with open(path, "w") as f:
        written = 0
        while written < size:
            line = " ".join(rng.choice(words) for _ in range(12)) + "\n"
            f.write(line)
            written += len(line)
    with open(path, "r+b") as f:
        f.truncate(size)


class DelayProxy:
    """Forwards one TCP connection at a time from a loopback port to another,
    each chunk held for `delay` seconds, at most `queue` bytes held per
    direction (the reader stops while the queue is full). Counts the bytes
    forwarded upstream (client to server)."""

    def __init__(self, target_port, delay=PROXY_DELAY, queue=PROXY_QUEUE):
        import socket

        self.target_port = target_port
        self.delay = delay
        self.queue = queue
        self.upstream_bytes = 0
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.stopped = False
        self.sockets = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        import socket

        while not self.stopped:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.create_connection(("127.0.0.1", self.target_port))
            for sock in (client, server):
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.sockets += [client, server]
            self._pipe(client, server, True)
            self._pipe(server, client, False)

    def _pipe(self, source, sink, upstream):
        import collections

        held = collections.deque()
        state = {"bytes": 0, "eof": False}
        cond = threading.Condition()

        def reader():
            while True:
                with cond:
                    while state["bytes"] >= self.queue and not self.stopped:
                        cond.wait(0.1)
                try:
                    data = source.recv(256 * KiB)
                except OSError:
                    data = b""
                with cond:
                    if not data:
                        state["eof"] = True
                        cond.notify_all()
                        return
                    held.append((time.monotonic() + self.delay, data))
                    state["bytes"] += len(data)
                    cond.notify_all()

        def writer():
            while True:
                with cond:
                    while not held and not state["eof"]:
                        cond.wait(0.1)
                    if not held:
                        break
                    due, data = held[0]
                wait = due - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                try:
                    sink.sendall(data)
                except OSError:
                    break
                if upstream:
                    self.upstream_bytes += len(data)
                with cond:
                    held.popleft()
                    state["bytes"] -= len(data)
                    cond.notify_all()
            try:
                sink.shutdown(1)
            except OSError:
                pass

        threading.Thread(target=reader, daemon=True).start()
        threading.Thread(target=writer, daemon=True).start()

    def stop(self):
        self.stopped = True
        for sock in [self.listener] + self.sockets:
            try:
                sock.close()
            except OSError:
                pass


def socat_copy(bench, source, proxy_for=None):
    size = source.stat().st_size
    target = bench.rx_dir / source.name
    port = free_port()
    os.sync()
    usage = {p: bench.work / f"usage-{p}.txt" for p in ("sender", "receiver")}
    receiver = spawn(timed(["socat", "-u", "-b", "1048576", f"TCP-LISTEN:{port},bind=127.0.0.1,reuseaddr",
                            f"OPEN:{target},creat,trunc,wronly"], usage["receiver"]), stderr=subprocess.PIPE)
    wait_listening(port, receiver)
    proxy = proxy_for(port) if proxy_for else None
    start = time.monotonic()
    sender = spawn(timed(["socat", "-u", "-b", "1048576", f"OPEN:{source},rdonly",
                          f"TCP:127.0.0.1:{proxy.port if proxy else port}"],
                         usage["sender"]), stderr=subprocess.PIPE)
    send_code, send_cpu, send_rss = wait_measured(sender, usage["sender"], transfer_timeout(size))
    recv_code, recv_cpu, recv_rss = wait_measured(receiver, usage["receiver"], transfer_timeout(size))
    if proxy:
        proxy.stop()
    fsync_file(target)
    seconds = time.monotonic() - start
    if send_code or recv_code or not same_file(source, target):
        raise RuntimeError(f"socat copy failed (exit {send_code}/{recv_code}): "
                           f"{sender.stderr.read().decode()} {receiver.stderr.read().decode()}")
    target.unlink()
    return Run(seconds, size, send_cpu, send_rss, recv_cpu, recv_rss)


def tree_size(path):
    path = Path(path)
    return sum(p.stat().st_size for p in path.iterdir()) if path.is_dir() else path.stat().st_size


def same_tree(a, b):
    if not Path(a).is_dir():
        return same_file(a, b)
    return all(same_file(p, Path(b) / p.name) for p in Path(a).iterdir())


def scp_copy(bench, source):
    size = tree_size(source)
    target = bench.rx_dir / source.name
    sshd = bench.sshd
    sshd.wait_sessions_gone()
    before = sshd.reaped_cpu()
    os.sync()
    start = time.monotonic()
    usage = bench.work / "usage-scp.txt"
    client = spawn(timed(sshd.scp_argv(source, target), usage), stderr=subprocess.PIPE)
    code, cpu, rss = wait_measured(client, usage, transfer_timeout(size))
    if code == 0:
        if target.is_dir():
            os.sync()
        else:
            fsync_file(target)
    seconds = time.monotonic() - start
    sshd.wait_sessions_gone()
    server_cpu = sshd.reaped_cpu() - before
    if code != 0 or not same_tree(source, target):
        raise RuntimeError(f"scp failed (exit {code}): {client.stderr.read().decode()}")
    if target.is_dir():
        shutil.rmtree(target)
    else:
        target.unlink()
    return Run(seconds, size, cpu, rss, server_cpu, None)


# ---------------------------------------------------------------- crypto_bench

BENCH_PAIRS = [  # (program's class, bare loop, what)
    ("BM_PacketCompressor", "BM_BareCompress2", "deflate (zlib level 1)"),
    ("BM_InflateDecoder", "BM_BareUncompress", "inflate"),
    ("BM_PacketEncipherer", "BM_BareBlowFishEncrypt", "Blowfish-CBC encrypt"),
    ("BM_DecipherDecoder", "BM_BareBlowFishDecrypt", "Blowfish-CBC decrypt"),
    ("BM_FrameSealer", "BM_BareAeadEncrypt", "secure frames seal (the cipher chosen here)"),
    ("BM_FrameOpener", "BM_BareAeadDecrypt", "secure frames open (the cipher chosen here)"),
]
BENCH_SIZES = [32 * KiB, 4 * MiB]


def run_crypto_bench(bench, quick):
    names = "|".join(n for pair in BENCH_PAIRS for n in pair[:2])
    sizes = "|".join(str(s) for s in BENCH_SIZES)
    argv = [bench.crypto_bench, f"--benchmark_filter=^({names})/bytes:({sizes})/text:0$",
            f"--benchmark_repetitions={3 if quick else 5}", "--benchmark_report_aggregates_only=true",
            f"--benchmark_min_time={0.1 if quick else 0.5}", "--benchmark_format=json"]
    out = subprocess.run([str(a) for a in argv], check=True, capture_output=True, text=True).stdout
    medians = {}
    for entry in json.loads(out)["benchmarks"]:
        if entry.get("aggregate_name") != "median":
            continue
        name, size = entry["run_name"].split("/")[0], int(entry["run_name"].split("/")[1].split(":")[1])
        scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[entry.get("time_unit", "ns")]
        medians[(name, size)] = entry["cpu_time"] * scale  # seconds per packet
    return medians


# ---------------------------------------------------------------- strace check

TRACED = ("read,pread64,readv,preadv,preadv2,write,pwrite64,writev,pwritev,pwritev2,"
          "sendmsg,sendto,sendmmsg,recvfrom,recvmsg,recvmmsg,sendfile,splice,copy_file_range")
CALL_RE = re.compile(r"^(\d+)\s+(\w+)\((\d+)<(TCP:\[[^\]]*\]|TCPv6:\[[^\]]*\]|[^>]*)>,? ?(.*)\)\s+=\s+(-?\d+)")
READS = {"read", "pread64", "readv", "preadv", "preadv2", "recvfrom", "recvmsg", "recvmmsg"}
WRITES = {"write", "pwrite64", "writev", "pwritev", "pwritev2", "sendmsg", "sendto", "sendmmsg", "sendfile",
          "splice", "copy_file_range"}


def parse_strace(path, data_file):
    """Sums calls per channel: (count, bytes, smallest requested size, calls under 1 KiB)."""
    channels = {}
    pending = {}
    with open(path, errors="replace") as f:
        for row in f:
            row = row.rstrip("\n")
            head = re.match(r"^(\d+)\s+", row)
            if not head:
                continue
            pid = head.group(1)
            if row.endswith("<unfinished ...>"):
                pending[pid] = row[: -len("<unfinished ...>")].rstrip()
                continue
            resumed = re.match(r"^\d+\s+<\.\.\. \w+ resumed>\s?(.*)$", row)
            if resumed:
                if pid not in pending:
                    continue
                row = pending.pop(pid) + resumed.group(1)
            match = CALL_RE.match(row)
            if not match:
                continue
            name, target, rest, result = match.group(2), match.group(4), match.group(5), int(match.group(6))
            if result < 0:
                continue
            if target.startswith("TCP"):
                kind = "socket"
            elif os.path.realpath(target) == os.path.realpath(data_file):
                kind = "file"
            else:
                kind = "other"
            direction = "read" if name in READS else "write" if name in WRITES else None
            if direction is None or kind == "other":
                continue
            requested = None
            if direction == "read":
                args = [a.strip() for a in rest.split(",")]
                if len(args) >= 2 and args[1].isdigit():
                    requested = int(args[1])
            label = {("file", "read"): "file reads", ("file", "write"): "file writes",
                     ("socket", "read"): "socket receives", ("socket", "write"): "socket sends"}[(kind, direction)]
            count, total, smallest, small = channels.get(label, (0, 0, None, 0))
            if requested is not None:
                smallest = requested if smallest is None else min(smallest, requested)
            channels[label] = (count + 1, total + result, smallest, small + (1 if result < KiB else 0))
    return channels


def strace_check(bench, cases):
    """Returns rows (case, process, channel, calls, bytes, avg, smallest requested, calls under 1 KiB,
    verdict); the data-path channels pass with an average of at least 8 KiB per call."""
    rows = []
    for label, buf, ptype, source in cases:
        traces = {p: bench.work / f"strace-{ptype}-{buf}-{p}.txt" for p in ("sender", "receiver")}
        wrap = {p: ["strace", "-f", "-yy", "-s", "0", "-qq", "-e", f"trace={TRACED}", "-o", traces[p]]
                for p in traces}
        fwpost_pair(bench, buf, ptype, source, wrap_send=wrap["sender"], wrap_recv=wrap["receiver"])
        for process, data_file, data_channels in (
                ("sender", source, ("file reads", "socket sends")),
                ("receiver", bench.rx_dir / source.name, ("socket receives", "file writes"))):
            channels = parse_strace(traces[process], data_file)
            for channel in ("file reads", "socket sends", "socket receives", "file writes"):
                if channel not in channels:
                    continue
                count, total, smallest, small = channels[channel]
                average = total / count if count else 0
                verdict = ""
                if channel in data_channels:
                    verdict = "PASS" if average >= 8 * KiB else "FAIL"
                rows.append((label, process, channel, count, total, average, smallest, small, verdict))
    return rows


# ---------------------------------------------------------------- report helpers


def fmt_mib(value):
    return "–" if value is None else f"{value / MiB:.1f}"


def fmt_rate(rate):
    mbs = rate / MB
    return f"{mbs:.2f}" if mbs < 10 else f"{mbs:.1f}"


def fmt_size(size):
    if size >= GiB and size % GiB == 0:
        return f"{size // GiB} GiB"
    return f"{size // MiB} MiB" if size >= MiB else f"{size} B"


def fmt_buf(buf):
    return f"{buf // MiB} MiB" if buf >= MiB else f"{buf // KiB} KiB"


class Case:
    def __init__(self, key, title, buf, ptype, source, kind="fwpost", proxy=None, chat=False, args=()):
        self.key = key
        self.args = args
        self.title = title
        self.buf = buf
        self.ptype = ptype
        self.source = source
        self.kind = kind
        self.proxy = proxy  # None, or the delay in seconds of a proxy in between
        self.chat = chat
        self.size = tree_size(source)
        self.runs = []

    def median(self, attribute):
        values = [getattr(r, attribute) for r in self.runs if getattr(r, attribute) is not None]
        return statistics.median(values) if values else None

    def peak(self, attribute):
        values = [getattr(r, attribute) for r in self.runs if getattr(r, attribute) is not None]
        return max(values) if values else None

    @property
    def rate(self):
        return self.size / self.median("seconds")


# ---------------------------------------------------------------- main


def main():
    parser = argparse.ArgumentParser(description="fwpost transfer benchmark over loopback")
    parser.add_argument("--rounds", type=int, help="rounds per case, medians are reported (default 3, quick 1)")
    parser.add_argument("--quick", action="store_true", help="small files and one round: about a minute")
    parser.add_argument("--build-dir", default=str(ROOT / "build"),
                        help="build folder with bin/fwpost and bin/crypto_bench (default: build/); "
                             "what is missing gets built")
    parser.add_argument("--rebuild", action="store_true", help="run the build of both targets first anyway")
    parser.add_argument("--work-dir", default="/var/tmp",
                        help="where the temporary folder for the test files goes; must be on disk, not tmpfs "
                             "(default /var/tmp)")
    parser.add_argument("--no-netns", action="store_true",
                        help="stay in the host's network namespace (still only 127.0.0.1)")
    parser.add_argument("--skip-crypto-bench", action="store_true", help="leave out the crypto_bench ratios")
    parser.add_argument("--markdown", help="also write the markdown tables to this file")
    args = parser.parse_args()
    rounds = args.rounds or (1 if args.quick else 3)
    if rounds < 1:
        parser.error("--rounds must be at least 1")

    network = enter_private_network(args)
    os.environ["FWP_SSDP_TARGET"] = "off"  # no router search
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, _on_signal)

    build_dir = Path(args.build_dir).resolve()
    fwpost, crypto_bench, build_type = ensure_binaries(build_dir, args.rebuild)
    version = subprocess.run([str(fwpost), "--version"], capture_output=True, text=True).stdout.strip()
    # The work tree as the run starts (the binaries may be older: see --rebuild).
    commit = subprocess.run(["git", "-C", str(ROOT), "describe", "--always", "--dirty"], capture_output=True,
                            text=True).stdout.strip()
    for tool in ("socat", "cmp", "strace", "ssh-keygen"):
        if not shutil.which(tool):
            sys.exit(f"{tool} is missing")

    if args.quick:
        sizes = {"small": 4 * MiB, "medium": 32 * MiB, "large": 256 * MiB}
        delayed, text_size = 64 * MiB, 16 * MiB
    else:
        sizes = {"small": 4 * MiB, "medium": 64 * MiB, "compress": 256 * MiB, "large": 1 * GiB}
        delayed, text_size = 256 * MiB, 64 * MiB
    parent = Path(args.work_dir)
    parent.mkdir(parents=True, exist_ok=True)
    fs_kind = filesystem_type(parent)
    if fs_kind in ("tmpfs", "ramfs"):
        sys.exit(f"{parent} is on {fs_kind}; pick a folder on disk with --work-dir")
    need = sum(sizes.values()) + max(sizes.values()) + 256 * MiB
    if shutil.disk_usage(parent).free < need:
        sys.exit(f"{parent} has less than {need // MiB} MiB free")

    work = Path(tempfile.mkdtemp(prefix="fwpost-bench.", dir=parent))
    sshd = None
    try:
        bench = argparse.Namespace(fwpost=fwpost, crypto_bench=crypto_bench, work=work, rx_dir=work / "rx",
                                   config=work / "bench.ini", sshd=None)
        bench.rx_dir.mkdir()
        # A settings file of our own, so no settings of this machine count.
        bench.config.write_bytes(b"[Config]\r\n")

        log(f"fwpost transfer benchmark: {rounds} round(s){' (quick)' if args.quick else ''}, "
            f"{os.cpu_count()} CPUs, {network}")
        log(f"binaries: {build_dir}/bin ({build_type}); files in {work} ({fs_kind}); "
            f"load average {os.getloadavg()[0]:.2f}")
        files = {}
        for name, size in sizes.items():
            files[name] = work / f"{name}.bin"
            make_random_file(files[name], size)
        log("random files: " + ", ".join(f"{n} {fmt_size(s)}" for n, s in sizes.items()))
        files["delayed"] = work / "delayed.bin"
        make_random_file(files["delayed"], delayed)
        files["one"] = work / "one.bin"
        make_random_file(files["one"], 1)
        files["text"] = work / "text.txt"
        make_text_file(files["text"], text_size)
        files["small-tree"] = work / "small-files"
        make_tree(files["small-tree"], 1000, 10 * KiB)
        files["mid-tree"] = work / "mid-files"
        make_tree(files["mid-tree"], 100, 1 * MiB)
        log(f"also: delay proxy file {fmt_size(delayed)}, text {fmt_size(text_size)}, one byte, "
            "1000 x 10 KiB, 100 x 1 MiB")

        medians = {}
        if not args.skip_crypto_bench:
            log("running crypto_bench ...")
            medians = run_crypto_bench(bench, args.quick)

        sshd = Sshd(work / "sshd")
        sshd.start()
        bench.sshd = sshd
        log(f"throwaway sshd on 127.0.0.1:{sshd.port} (pid {sshd.proc.pid})")

        default_file = files["small" if args.quick else "medium"]
        compress_file = files["medium" if args.quick else "compress"]
        cases = [
            Case("default", "fwpost direct, default settings", 32768, "direct", default_file),
            Case("large", "fwpost direct, default settings", 32768, "direct", files["large"]),
            Case("4m", "fwpost direct", 4 * MiB, "direct", files["large"]),
            Case("16m", "fwpost direct", 16 * MiB, "direct", files["large"]),
            Case("compress", "fwpost compress", 4 * MiB, "compress", compress_file),
            Case("compress-random", "fwpost compress, default BufSize", 32768, "compress", files["large"]),
            Case("compress-text", "fwpost compress, text, via counting proxy", 32768, "compress", files["text"],
                 proxy=0.0),
            Case("crypt", "fwpost crypt", 4 * MiB, "crypt", files["large"]),
            Case("secure", "fwpost direct, --secret", 4 * MiB, "direct", files["large"],
                 args=("--secret", "bench phrase")),
            Case("socat", "socat -b 1048576", 1 * MiB, None, files["large"], kind="socat"),
            Case("scp", "scp to local sshd", None, None, files["large"], kind="scp"),
            Case("small-files", "fwpost, 1000 x 10 KiB in one session", 32768, "direct", files["small-tree"]),
            Case("scp-small", "scp -r, 1000 x 10 KiB", None, None, files["small-tree"], kind="scp"),
            Case("mid-files", "fwpost, 100 x 1 MiB in one session", 32768, "direct", files["mid-tree"]),
            Case("scp-mid", "scp -r, 100 x 1 MiB", None, None, files["mid-tree"], kind="scp"),
            Case("delay", "fwpost via delay proxy (25 ms each way)", 32768, "direct", files["delayed"],
                 proxy=PROXY_DELAY),
            Case("socat-delay", "socat via the same delay proxy", 1 * MiB, None, files["delayed"], kind="socat",
                 proxy=PROXY_DELAY),
            Case("one-byte", "fwpost, one-byte file, connect to exit", 32768, "direct", files["one"]),
            Case("chat", "fwpost --chat during a transfer", 32768, "direct", files["large"], chat=True),
        ]
        by_key = {c.key: c for c in cases}

        for round_no in range(1, rounds + 1):
            log(f"\nround {round_no}/{rounds}")
            for case in cases:
                proxy_for = None
                if case.proxy is not None:
                    proxy_for = (lambda delay: lambda port: DelayProxy(port, delay))(case.proxy)
                if case.kind == "fwpost":
                    run = fwpost_pair(bench, case.buf, case.ptype, case.source, proxy_for=proxy_for,
                                      chat=chat_during_transfer() if case.chat else None, extra_args=case.args)
                elif case.kind == "socat":
                    run = socat_copy(bench, case.source, proxy_for=proxy_for)
                else:
                    run = scp_copy(bench, case.source)
                case.runs.append(run)
                recv_rss = f"{fmt_mib(run.recv_rss)} MiB" if run.recv_rss else "–"
                upstream = getattr(run, "upstream", None)
                wire = f"  wire {upstream / run.size:.3f} of the file" if upstream and case.proxy == 0.0 else ""
                log(f"  {case.key:15} {fmt_size(run.size):>8} {run.seconds:7.3f} s {fmt_rate(run.rate):>7} MB/s"
                    f"  cpu {run.send_cpu:.2f}/{run.recv_cpu:.2f} s  rss {fmt_mib(run.send_rss)} MiB/{recv_rss}"
                    f"  {run.extra}{wire}")

        log("\nstrace check of the data-path calls (one run each) ...")
        strace_cases = [
            ("direct 32 KiB", 32768, "direct", files["small"]),
            ("direct 4 MiB", 4 * MiB, "direct", files["medium"]),
            ("compress 4 MiB", 4 * MiB, "compress", files["medium"]),
            ("crypt 4 MiB", 4 * MiB, "crypt", files["medium"]),
        ]
        strace_rows = strace_check(bench, strace_cases)
    finally:
        cleanup_processes()
        if sshd:
            sshd.stop()
        shutil.rmtree(work, ignore_errors=True)

    # ------------------------------------------------------------ report
    targets = []  # (target, measured, verdict)

    def target(name, measured, ok):
        targets.append((name, measured, "PASS" if ok else "FAIL"))

    k = by_key
    large, socat, scp = k["large"], k["socat"], k["scp"]
    target(f"default settings, {fmt_size(large.size)}: >= 1.0x scp",
           f"{fmt_rate(large.rate)} vs {fmt_rate(scp.rate)} MB/s = {large.rate / scp.rate:.2f}x",
           large.rate >= scp.rate)
    target(f"default settings, {fmt_size(large.size)}: >= 0.5x socat (aim)",
           f"{fmt_rate(large.rate)} vs {fmt_rate(socat.rate)} MB/s = {large.rate / socat.rate:.2f}x",
           large.rate >= 0.5 * socat.rate)
    target("BufSize 16 MiB: not slower than before (565.8 MB/s in the last table)",
           f"{fmt_rate(k['16m'].rate)} MB/s", k["16m"].rate >= 0.9 * 565.8e6)
    for ours, theirs, share in (("small-files", "scp-small", 0.5), ("mid-files", "scp-mid", 0.8),
                                ("delay", "socat-delay", 0.8)):
        a, b = k[ours], k[theirs]
        target(f"{a.title}: >= {share}x {b.title}",
               f"{a.median('seconds'):.2f} vs {b.median('seconds'):.2f} s = {a.rate / b.rate:.2f}x",
               a.rate >= share * b.rate)
    one = k["one-byte"].median("seconds")
    target("one-byte file, connect to exit: <= 30 ms", f"{one * 1000:.1f} ms", one <= 0.030)
    delays = [float(x) for r in k["chat"].runs for x in r.extra.split()[2:]]
    target("instant message during a transfer (--chat): <= 100 ms",
           f"median {statistics.median(delays):.1f} ms, max {max(delays):.1f} ms", max(delays) <= 100)
    cr = k["compress-random"]
    target("-t compress on random data: >= 0.8x -t direct",
           f"{fmt_rate(cr.rate)} vs {fmt_rate(large.rate)} MB/s = {cr.rate / large.rate:.2f}x",
           cr.rate >= 0.8 * large.rate)
    text = k["compress-text"]
    wire = statistics.median(r.upstream for r in text.runs)
    target("-t compress on text: >= 3x smaller on the wire",
           f"{text.size / wire:.2f}x ({fmt_size(text.size)} as {wire / MiB:.1f} MiB)", text.size >= 3 * wire)
    for case in cases:
        if case.kind != "fwpost":
            continue
        limit = 3 * case.buf + 32 * MiB
        worst = max(case.peak("send_rss"), case.peak("recv_rss"))
        target(f"{case.key}: peak RSS <= 3 x BufSize + 32 MiB",
               f"{fmt_mib(case.peak('send_rss'))} / {fmt_mib(case.peak('recv_rss'))} MiB "
               f"(limit {fmt_mib(limit)})", worst <= limit)
    if medians:
        for fast, bare, what in BENCH_PAIRS:
            for size in BENCH_SIZES:
                if (fast, size) in medians and (bare, size) in medians:
                    ratio = medians[(fast, size)] / medians[(bare, size)]
                    target(f"crypto_bench {what}, {fmt_buf(size)} packets: program / bare <= 1.5",
                           f"{ratio:.2f}x ({medians[(fast, size)] / size * GiB:.2f} vs "
                           f"{medians[(bare, size)] / size * GiB:.2f} CPU s/GiB)", ratio <= 1.5)
        # In the transfers: what a process spends beyond the same process in the
        # direct transfer with the same BufSize, against the bare loop.
        direct = by_key["4m"]
        for key, process, bare, what in (("compress", "send_cpu", "BM_BareCompress2", "deflate"),
                                         ("compress", "recv_cpu", "BM_BareUncompress", "inflate"),
                                         ("crypt", "send_cpu", "BM_BareBlowFishEncrypt", "encrypt"),
                                         ("crypt", "recv_cpu", "BM_BareBlowFishDecrypt", "decrypt"),
                                         ("secure", "send_cpu", "BM_BareAeadEncrypt", "seal"),
                                         ("secure", "recv_cpu", "BM_BareAeadDecrypt", "open")):
            case = by_key[key]
            if (bare, case.buf) not in medians or case.buf != direct.buf:
                continue
            per_gib = case.median(process) / case.size * GiB
            base_gib = direct.median(process) / direct.size * GiB
            bare_gib = medians[(bare, case.buf)] / case.buf * GiB
            side = "sender" if process == "send_cpu" else "receiver"
            extra = per_gib - base_gib
            target(f"{key} transfer: {side} CPU beyond direct vs bare {what} loop <= 1.5",
                   f"{extra / bare_gib:.2f}x (({per_gib:.2f} - {base_gib:.2f}) vs {bare_gib:.2f} CPU s/GiB)",
                   extra <= 1.5 * bare_gib)
    # The secured session against the direct one at the same BufSize, CPU per byte.
    secure, direct = by_key["secure"], by_key["4m"]
    for process in ("send_cpu", "recv_cpu"):
        per_gib = secure.median(process) / secure.size * GiB
        base_gib = direct.median(process) / direct.size * GiB
        side = "sender" if process == "send_cpu" else "receiver"
        target(f"secure transfer, 4 MiB: {side} CPU per byte <= 1.5 x direct",
               f"{per_gib / base_gib:.2f}x ({per_gib:.2f} vs {base_gib:.2f} CPU s/GiB)", per_gib <= 1.5 * base_gib)
    for label in dict.fromkeys(row[0] for row in strace_rows):
        rows = [row for row in strace_rows if row[0] == label and row[8]]
        measured = ", ".join(f"{row[2]} {row[5] / KiB:.1f}" for row in rows)
        target(f"strace, {label}: data-path calls average >= 8 KiB",
               f"KiB per call: {measured}", all(row[8] == "PASS" for row in rows))

    log("\nstrace -f, per process (bytes; 'asked' = smallest size a read call asked for; data-path rows"
        " have a verdict):")
    log(f"  {'case':15} {'process':9} {'calls on':16} {'calls':>7} {'bytes':>12} {'avg':>10} {'asked':>8} "
        f"{'<1 KiB':>7}")
    for label, process, channel, count, total, average, smallest, small, verdict in strace_rows:
        log(f"  {label:15} {process:9} {channel:16} {count:7d} {total:12d} {average:10.0f} "
            f"{'' if smallest is None else smallest:>8} {small:7d} {verdict}")

    lines = []
    lines.append(f"{version}{f' ({commit})' if commit else ''}, {build_type} build. "
                 f"Loopback transfers, median of {rounds} round(s); {os.cpu_count()}-CPU machine; MB = 10^6 bytes; "
                 "time from start of the sending process to its exit, the receiver's disk sync included "
                 "(socat/scp: until the copy ended and the file was synced). CPU = user+sys seconds; "
                 "RSS = highest over the rounds.")
    lines.append("")
    lines.append("| Case | Size | BufSize | Time s | MB/s | CPU s send / recv "
                 "| CPU s/GiB send / recv | Peak RSS MiB send / recv |")
    lines.append("|---|---|---|---|---|---|---|---|")
    for case in cases:
        send_cpu, recv_cpu = case.median("send_cpu"), case.median("recv_cpu")
        per = GiB / case.size
        buf = fmt_buf(case.buf) if case.buf else "–"
        lines.append(f"| {case.title} | {fmt_size(case.size)} | {buf} | {case.median('seconds'):.3f} "
                     f"| {fmt_rate(case.rate)} | {send_cpu:.2f} / {recv_cpu:.2f} "
                     f"| {send_cpu * per:.2f} / {recv_cpu * per:.2f} "
                     f"| {fmt_mib(case.peak('send_rss'))} / {fmt_mib(case.peak('recv_rss'))} |")
    lines.append("")
    lines.append("scp: send = scp and its ssh client; recv = the sshd session (CPU only).")
    lines.append("")
    lines.append("| Target | Measured | Result |")
    lines.append("|---|---|---|")
    for name, measured, verdict in targets:
        lines.append(f"| {name} | {measured} | {verdict} |")

    log(f"\nload average at the end {os.getloadavg()[0]:.2f} (other work on the machine skews the figures)")
    log("\nTargets:")
    for name, measured, verdict in targets:
        log(f"  {verdict}  {name}: {measured}")
    log("\n" + "\n".join(lines))
    if args.markdown:
        Path(args.markdown).write_text("\n".join(lines) + "\n")
    if args.quick:
        log("\nquick mode: smaller files and one round; take the figures of a full run.")
    failed = sum(1 for t in targets if t[2] == "FAIL")
    log(f"\n{len(targets) - failed} of {len(targets)} targets pass")
    return 1 if failed else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Interrupted as stop:
        cleanup_processes()
        sys.exit(f"stopped by {stop}")
    except (RuntimeError, subprocess.CalledProcessError) as error:
        cleanup_processes()
        sys.exit(f"error: {error}")

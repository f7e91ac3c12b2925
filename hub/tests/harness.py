"""Helpers for the hub's end-to-end tests: start and stop the real programs
(warden, socks5-demo, report_demo, warden-hub, the fake upstream), run curl
through the proxy against a local HTTP server that counts the bytes of every
connection, and read the hub's metrics and JSON.  Every test runs under
quelm_isolate, so /tmp, port 5051 and the semaphores are its own."""

import json
import os
import re
import signal
import socket
import subprocess
import threading
import time
import urllib.error
import urllib.request

BUILD = os.environ.get("QUELM_BINARY_DIR", "")
SOURCE = os.environ.get("QUELM_SOURCE_DIR", "")
WARDEN = os.environ.get("WARDEN_BIN", os.path.join(BUILD, "server", "warden"))
PROXY = os.path.join(BUILD, "examples", "socks5-demo")
REPORTER = os.path.join(BUILD, "examples", "report_demo")
HUB = os.path.join(BUILD, "hub", "warden-hub")
FAKE = os.path.join(BUILD, "hub", "hub-fake-upstream")
TOP = os.path.join(BUILD, "tools", "warden-top")
ISOLATE = os.path.join(BUILD, "quelm_isolate")
VERBOSE = os.environ.get("HUB_TEST_VERBOSE") is not None


def wait_for(what, predicate, timeout=15.0, step=0.05):
    """Polls predicate until it returns a true value; fails after timeout."""
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(step)


def can_connect(host, port):
    try:
        with socket.create_connection((host, port), timeout=0.5):
            return True
    except OSError:
        return False


class Procs:
    """The processes a test started; stop_all() ends them newest first."""

    def __init__(self):
        self.procs = []

    def start(self, args, stdin=None, stdout=None, stderr=None, prefix=()):
        out = None if VERBOSE else subprocess.DEVNULL
        p = subprocess.Popen(list(prefix) + list(args), stdin=stdin,
                             stdout=stdout if stdout is not None else out,
                             stderr=stderr if stderr is not None else out)
        self.procs.append(p)
        return p

    def stop(self, p, sig=signal.SIGTERM):
        if p.poll() is None:
            p.send_signal(sig)
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        for f in (p.stdin, p.stdout, p.stderr):
            if f is not None:
                f.close()
        return p.returncode

    def stop_all(self):
        for p in reversed(self.procs):
            self.stop(p)
        self.procs = []


def start_warden(procs, prefix=()):
    """A real warden in the foreground, once its viewer port answers."""
    p = procs.start([WARDEN, "-f"], prefix=prefix)
    if not prefix:
        wait_for("warden's viewer port", lambda: can_connect("127.0.0.1", 5051))
    return p


def start_proxy(procs, port=1080):
    p = procs.start([PROXY, "--listen", "127.0.0.1:%d" % port])
    wait_for("socks5-demo", lambda: can_connect("127.0.0.1", port))
    return p


def start_hub(procs, *extra, listen="127.0.0.1:9051", stderr=None):
    args = [HUB, "--listen", listen, "--interval", "0.2", "--retry-max", "0.5"] + list(extra)
    p = procs.start(args, stderr=stderr)
    host, port = listen.rsplit(":", 1)
    wait_for("warden-hub's HTTP port", lambda: p.poll() is not None or can_connect(host, int(port)))
    assert p.poll() is None, "warden-hub ended at start"
    return p


class Reporter:
    """report_demo driven line by line: a stand-in proxy with one session."""

    def __init__(self, procs, prefix=()):
        self.p = procs.start([REPORTER, "1"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             prefix=prefix)
        opened = self.p.stdout.readline().decode()
        assert opened.startswith("open 0"), "report_demo: " + opened

    def say(self, line):
        self.p.stdin.write((line + "\n").encode())
        self.p.stdin.flush()
        answer = self.p.stdout.readline().decode()
        assert answer.startswith("ok ") and int(answer.split()[1]) >= 0, answer
        return answer


def http_get(url, timeout=10):
    with urllib.request.urlopen(url, timeout=timeout) as r:
        return r.status, r.read().decode(), dict(r.headers)


def get_json(url):
    return json.loads(http_get(url)[1])


SAMPLE = re.compile(r'^([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{(.*)\})? (\S+)$')
LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)"')


def parse_metrics(text):
    """{(name, ((label, value), ...)): float} of a text exposition."""
    out = {}
    for line in text.splitlines():
        if not line or line.startswith("#"):
            continue
        m = SAMPLE.match(line)
        assert m, "not a sample line: " + line
        labels = tuple(sorted(LABEL.findall(m.group(2) or "")))
        out[(m.group(1), labels)] = float(m.group(3))
    return out


def metric(samples, name, **labels):
    return samples.get((name, tuple(sorted(labels.items()))))


def metrics(hub="127.0.0.1:9051"):
    return parse_metrics(http_get("http://%s/metrics" % hub)[1])


class CountingServer:
    """An HTTP/1.0 server on 127.0.0.1 that answers GET /size/N with an
    N-byte body and GET /slow/N/SECONDS with N bytes spread over that
    time, and records per connection the bytes it received and sent: the
    two numbers the proxy's counters must match."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(64)
        self.port = self.sock.getsockname()[1]
        self.lock = threading.Lock()
        self.done = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                c, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(c,), daemon=True).start()

    def _serve(self, c):
        received = sent = 0
        data = b""
        try:
            while b"\r\n\r\n" not in data:
                chunk = c.recv(65536)
                if not chunk:
                    break
                data += chunk
            received = len(data)
            parts = data.split(b" ")[1].decode().split("/") if b" " in data else ["", "size", "0"]
            size = int(parts[2])
            seconds = float(parts[3]) if parts[1] == "slow" else 0.0
            head = b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % size
            c.sendall(head)
            sent = len(head)
            pieces = 20 if seconds > 0 else 1
            for i in range(pieces):
                n = size // pieces + (size % pieces if i == pieces - 1 else 0)
                c.sendall(b"x" * n)
                sent += n
                if seconds > 0:
                    time.sleep(seconds / pieces)
            c.shutdown(socket.SHUT_WR)
            while True:
                chunk = c.recv(65536)
                if not chunk:
                    break
                received += len(chunk)
        except OSError:
            pass
        finally:
            c.close()
            with self.lock:
                self.done.append((received, sent))

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def take(self, n, timeout=15):
        wait_for("%d finished connections" % n, lambda: len(self.done) >= n, timeout)
        with self.lock:
            out, self.done = self.done[:n], self.done[n:]
        return out


def curl(url, proxy_port=1080, background=False):
    args = ["/usr/bin/curl", "-sS", "--max-time", "30", "-x",
            "socks5h://127.0.0.1:%d" % proxy_port, "-o", "/dev/null", url]
    out = None if VERBOSE else subprocess.DEVNULL
    p = subprocess.Popen(args, stdout=out, stderr=out)
    if background:
        return p
    return p.wait(timeout=40)


def read_journal(path):
    """The journal's lines, each parsed; fails on a line without its newline."""
    with open(path, "rb") as f:
        data = f.read()
    if data and not data.endswith(b"\n"):
        raise AssertionError("journal ends in a partial line: %r" % data[-200:])
    # Lines of spaces pad a page so that no line crosses one (see journal.cpp).
    return [json.loads(line) for line in data.decode().splitlines() if line.strip()]


class Netns:
    """A second isolated network (and /tmp, IPC) namespace joined to this one
    by a veth pair: this side 10.77.0.1, the other 10.77.0.2."""

    ADDR = "10.77.0.2"

    def __init__(self, procs):
        env = dict(os.environ, QUELM_ISOLATE_FORCE="1")
        self.holder = subprocess.Popen([ISOLATE, "sleep", "600"], env=env)
        try:
            pid = str(self.holder.pid)
            wait_for("the namespace", lambda: os.readlink("/proc/%s/ns/net" % pid) != os.readlink("/proc/self/ns/net"))
            subprocess.run(["ip", "link", "add", "vhub0", "type", "veth", "peer", "name", "vhub1", "netns", pid], check=True)
            subprocess.run(["ip", "addr", "add", "10.77.0.1/24", "dev", "vhub0"], check=True)
            subprocess.run(["ip", "link", "set", "vhub0", "up"], check=True)
            self.prefix = ["nsenter", "-t", pid, "-m", "-n", "-i", "--"]
            subprocess.run(self.prefix + ["ip", "addr", "add", self.ADDR + "/24", "dev", "vhub1"], check=True)
            subprocess.run(self.prefix + ["ip", "link", "set", "vhub1", "up"], check=True)
        except BaseException:
            self.close()  # a half-made namespace leaves nothing running
            raise

    def close(self):
        self.holder.kill()
        self.holder.wait()
        subprocess.run(["ip", "link", "del", "vhub0"], stderr=subprocess.DEVNULL)

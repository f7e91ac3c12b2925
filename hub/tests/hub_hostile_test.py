"""warden-hub under hostile clients and a hostile journal path, each attack
with real processes (warden-hub against hub-fake-upstream): idle and
slowloris connections, oversized headers, event-stream clients that never
read, a large table read while Prometheus scrapes, a FIFO, another user's
file or a symbolic link at the journal path, a journal pipe nobody reads,
a full disk twice, and a SIGHUP storm.  Runs under quelm_isolate (private
/tmp, network and mount namespaces)."""

import json
import os
import resource
import select
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import FAKE, HUB, Procs, can_connect, metric, metrics, parse_metrics, wait_for

URL = "http://127.0.0.1:9051"
JOURNAL = "/tmp/hostile-journal.log"
HEADER_SECONDS = 5     # the hub's deadline for a whole request header
STALL_SECONDS = 10     # ... and for a stream client that takes nothing
MEMORY_BOUND = 48 << 20  # growth of the hub's RSS the attacks may cause


def timed_metrics(timeout=10):
    """(seconds, samples) of one /metrics from a fresh connection."""
    t0 = time.monotonic()
    with urllib.request.urlopen(URL + "/metrics", timeout=timeout) as r:
        body = r.read().decode()
    return time.monotonic() - t0, parse_metrics(body)


def rss(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def hub_sockets(pid):
    """The sockets process pid holds open."""
    n = 0
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            n += os.readlink("/proc/%d/fd/%s" % (pid, fd)).startswith("socket:")
        except OSError:
            pass
    return n


def attacker(source, timeout=None):
    """A connection to the hub from source (an address of 127/8)."""
    s = socket.socket()
    s.bind((source, 0))
    s.settimeout(timeout)
    s.connect(("127.0.0.1", 9051))
    return s


def closed_by_peer(s):
    """True when the peer closed s (end of stream or reset), without waiting."""
    try:
        p = select.poll()
        p.register(s, select.POLLIN)
        if not p.poll(0):
            return False
        return s.recv(65536) == b""
    except OSError:
        return True


class Hub(unittest.TestCase):
    """A fake upstream and warden-hub in front of it, per test."""

    def setUp(self):
        self.procs = Procs()
        self.addCleanup(self.procs.stop_all)
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
        self.socks = []
        self.addCleanup(lambda: [s.close() for s in self.socks])
        for path in (JOURNAL, JOURNAL + ".1"):
            if os.path.lexists(path):
                os.unlink(path)

    def start(self, *hub_args, sessions=100, rate=100, churn=0, stdout=None, stderr=None):
        fake = self.procs.start([FAKE, "--sessions", str(sessions), "--changes-per-second", str(rate),
                                 "--churn", str(churn)], stdout=subprocess.PIPE)
        self.assertEqual("ready", fake.stdout.readline().decode().strip())
        self.hub = self.procs.start([HUB, "--listen", "127.0.0.1:9051", "--interval", "0.2"] + list(hub_args),
                                    stdout=stdout, stderr=stderr)
        wait_for("the hub's port", lambda: self.hub.poll() is not None or can_connect("127.0.0.1", 9051))
        self.assertIsNone(self.hub.poll(), "warden-hub ended at start")
        # All of them (some fewer with churn: an ended one is not active).
        want = sessions if churn == 0 else sessions * 0.9
        wait_for("the sessions", lambda: (metric(metrics(), "warden_sessions_active", host="127.0.0.1:5051")
                                          or 0) >= want, timeout=120)
        return self.hub


class HttpUnderAttack(Hub):

    def test_idle_and_slowloris_connections_are_capped_and_closed_by_the_deadline(self):
        hub = self.start()
        before = rss(hub.pid)
        # 1,000 idle connections from one address: 64 are held, the rest closed.
        idle = [attacker("127.0.0.2") for _ in range(1000)]
        self.socks += idle
        # 64 slowloris connections from another: a header one byte at a time.
        slow = [attacker("127.0.0.3") for _ in range(64)]
        self.socks += slow
        stop = threading.Event()

        def drip():
            text = b"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Pad: " + b"a" * 100
            i = 0
            while not stop.is_set():
                for s in slow:
                    try:
                        s.send(text[i % len(text):i % len(text) + 1])
                    except OSError:
                        pass
                i += 1
                stop.wait(0.3)
        t = threading.Thread(target=drip, daemon=True)
        t.start()
        self.addCleanup(stop.set)
        start = time.monotonic()
        wait_for("the connections over the per-address cap to be closed",
                 lambda: sum(closed_by_peer(s) for s in idle) >= 1000 - 64, timeout=10)

        # A fresh client is answered while the attack runs.
        probes = []
        while time.monotonic() - start < HEADER_SECONDS - 1.5:
            probes.append(timed_metrics()[0])
            time.sleep(0.2)
        grown = rss(hub.pid) - before
        print("\n/metrics under 64 idle + 64 slowloris: max %.1f ms over %d probes; RSS +%d KiB"
              % (max(probes) * 1000, len(probes), grown // 1024), file=sys.stderr)
        self.assertLess(max(probes), 1.0)
        self.assertLess(grown, MEMORY_BOUND)

        # Every attacker is closed by the header deadline, the trickle notwithstanding.
        wait_for("the held attackers to be closed", lambda: all(closed_by_peer(s) for s in idle + slow),
                 timeout=HEADER_SECONDS + 5)
        print("attackers all closed %.1f s after their connect" % (time.monotonic() - start), file=sys.stderr)
        stop.set()

        # 300 connections from ten addresses: the hub holds no more than
        # 256 (the rest wait in the kernel's backlog or are closed).
        many = [attacker("127.0.1.%d" % (i % 10 + 1)) for i in range(300)]
        self.socks += many
        time.sleep(0.5)
        held = hub_sockets(hub.pid)
        print("hub sockets with 300 connections open: %d" % held, file=sys.stderr)
        self.assertLessEqual(held, 256 + 4)  # + the listener, the upstream and the library's own
        self.assertGreaterEqual(held, 200)
        for s in many:
            s.close()

    def test_headers_too_large_or_too_many_are_answered_431(self):
        hub = self.start()
        before = rss(hub.pid)

        def flood(lines, result, i):
            try:
                s = attacker("127.0.0.%d" % (i % 200 + 2), timeout=10)
                s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n")
                for line in lines:
                    s.sendall(line)
                    r, _, _ = select.select([s], [], [], 0)
                    if r:
                        break
                s.sendall(b"\r\n")
            except OSError:
                pass
            try:
                result[i] = s.recv(4096).split(b"\r\n")[0]
            except OSError as e:
                result[i] = repr(e).encode()
            s.close()

        big = (b"X-Big: " + b"a" * 8192 + b"\r\n" for _ in range(1280))       # 10 MB in 8 KB lines
        many = (b"X-%d: a\r\n" % i for i in range(100000))                    # 100,000 lines
        few = [b"X-%d: a\r\n" % i for i in range(150)]                        # small, but 150 lines
        cases = [big] + [many] + [few]
        results = {}
        threads = []
        for i in range(20):  # 20 of them at once
            lines = cases[i] if i < 3 else (b"X-Big: " + b"a" * 8192 + b"\r\n" for _ in range(1280))
            t = threading.Thread(target=flood, args=(lines, results, i))
            t.start()
            threads.append(t)
        for t in threads:
            t.join(timeout=30)
        self.assertEqual(20, len(results))
        for i, status in results.items():
            self.assertEqual(b"HTTP/1.1 431 Request Header Fields Too Large", status, "flood %d" % i)
        self.assertLess(rss(hub.pid) - before, MEMORY_BOUND)
        self.assertLess(timed_metrics()[0], 1.0)

    def test_event_streams_of_clients_that_never_read_are_let_go(self):
        self.start(sessions=2000, rate=2000)
        # A kept-alive connection left idle is closed within the bound too
        # (checked at the end: the streams take longer).
        keep = attacker("127.0.0.4", timeout=15)
        self.socks.append(keep)
        keep.sendall(b"GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertIn(b"200 OK", keep.recv(4096))
        keep_since = time.monotonic()
        # A client that reads from the start: never let go for being slow.
        reader = attacker("127.0.0.1", timeout=20)
        self.socks.append(reader)
        reader.sendall(b"GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n")
        got = [0]
        reading = threading.Event()
        reading.set()

        def read():
            while reading.is_set():
                try:
                    chunk = reader.recv(65536)
                except OSError:
                    break
                if not chunk:
                    break
                got[0] += len(chunk)
        t = threading.Thread(target=read, daemon=True)
        t.start()
        self.addCleanup(reading.clear)

        # 200 clients that never read take the other places, the rest get 503.
        refused = 0
        for i in range(200):
            s = attacker("127.0.%d.%d" % (2 + i // 50, i % 50 + 1), timeout=10)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.sendall(b"GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n")
            self.socks.append(s)
            if i >= 31:
                head = s.recv(64)
                refused += head.startswith(b"HTTP/1.1 503")
        # (A slow machine may free the first places before the last comes.)
        self.assertGreaterEqual(refused, 100)
        t0 = time.monotonic()

        def fresh_stream_opens():
            s = attacker("127.0.0.9", timeout=10)
            try:
                s.sendall(b"GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n")
                return s.recv(64).startswith(b"HTTP/1.1 200")
            finally:
                s.close()
        wait_for("a free place for a client that reads", fresh_stream_opens, timeout=STALL_SECONDS + 20, step=0.5)
        print("\nstream places of clients that never read freed after %.1f s" % (time.monotonic() - t0),
              file=sys.stderr)
        before = got[0]
        time.sleep(1.5)
        self.assertTrue(t.is_alive(), "the reading client was let go")
        self.assertGreater(got[0], before)
        wait_for("the idle keep-alive to be closed", lambda: closed_by_peer(keep), timeout=15)
        self.assertGreater(time.monotonic() - keep_since, 5)

    def test_metrics_never_wait_behind_large_table_reads(self):
        self.start(sessions=50000, rate=1000)
        baseline = sorted(timed_metrics()[0] for _ in range(5))
        # The readers are curl processes: threads of this process would
        # delay its probes on the interpreter's lock.
        paths = ["/tmp/hostile-table.%d" % i for i in range(4)]
        readers = [self.procs.start(["/usr/bin/curl", "-sS", "--max-time", "120", "-o", p, URL + "/api/sessions"])
                   for p in paths]
        probes = []
        while any(r.poll() is None for r in readers):
            probes.append(timed_metrics()[0])
            time.sleep(0.05)
        probes.sort()
        print("\n/metrics while 4 clients read 50,000 sessions: median %.1f ms, 90%% %.1f ms, max %.1f ms over "
              "%d probes (before them: median %.1f ms)"
              % (probes[len(probes) // 2] * 1000, probes[len(probes) * 9 // 10] * 1000, probes[-1] * 1000,
                 len(probes), baseline[2] * 1000), file=sys.stderr)
        self.assertEqual([0] * 4, [r.returncode for r in readers])
        for p in paths:
            with open(p) as f:
                self.assertEqual(50000, len(json.load(f)))
        # Bounds that only catch a scrape waiting for whole tables (seconds
        # each, nearly every time): a loaded machine has its own spikes.
        self.assertGreater(len(probes), 3)
        self.assertLess(probes[len(probes) * 9 // 10], 1.0)
        self.assertLess(probes[-1], 3.0)


class JournalUnderAttack(Hub):

    def run_hub_at_start(self, path):
        fake = self.procs.start([FAKE, "--sessions", "1"], stdout=subprocess.PIPE)
        fake.stdout.readline()
        return subprocess.run([HUB, "--listen", "127.0.0.1:9051", "--journal", path],
                              capture_output=True, text=True, timeout=10)

    def test_a_fifo_or_another_users_file_at_the_path_is_refused(self):
        # A FIFO with a reader (the open would succeed): refused at once.
        os.mkfifo(JOURNAL)
        rd = os.open(JOURNAL, os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, rd)
        r = self.run_hub_at_start(JOURNAL)
        self.assertEqual(1, r.returncode)
        self.assertIn("the journal %s is not a regular file" % JOURNAL, r.stderr)
        os.unlink(JOURNAL)
        # Another user's file, readable by all: refused, nothing written to it.
        pid = os.fork()
        if pid == 0:
            try:
                os.setgid(65534)
                os.setuid(65534)
                fd = os.open(JOURNAL, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
                os.fchmod(fd, 0o666)
                os._exit(0)
            except BaseException:
                os._exit(1)
        self.assertEqual(0, os.waitpid(pid, 0)[1])
        self.assertEqual(65534, os.stat(JOURNAL).st_uid)
        r = self.run_hub_at_start(JOURNAL)
        self.assertEqual(1, r.returncode)
        self.assertIn("the journal %s belongs to another user" % JOURNAL, r.stderr)
        os.unlink(JOURNAL)
        self.procs.stop_all()

        # At a rotation: a FIFO, then a symbolic link where the file was;
        # the hub keeps the old file and answers on.
        hub = self.start("--journal", JOURNAL, "--linger", "0", sessions=50, rate=200, churn=50,
                         stderr=subprocess.PIPE)
        self.assertEqual(0o640, os.stat(JOURNAL).st_mode & 0o777)
        os.rename(JOURNAL, JOURNAL + ".1")
        os.mkfifo(JOURNAL)
        rd2 = os.open(JOURNAL, os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, rd2)
        hub.send_signal(signal.SIGHUP)
        size = os.path.getsize(JOURNAL + ".1")
        wait_for("lines still going to the old file", lambda: os.path.getsize(JOURNAL + ".1") > size)
        self.assertLess(timed_metrics()[0], 1.0)
        os.unlink(JOURNAL)
        os.symlink("/tmp/hostile-elsewhere", JOURNAL)
        hub.send_signal(signal.SIGHUP)
        time.sleep(0.5)
        self.assertFalse(os.path.exists("/tmp/hostile-elsewhere"))
        t0 = time.monotonic()
        hub.send_signal(signal.SIGTERM)
        self.assertEqual(0, hub.wait(timeout=10))
        self.assertLess(time.monotonic() - t0, 2.5)
        err = hub.stderr.read().decode()
        self.assertIn("the journal %s is not a regular file; still writing the old file" % JOURNAL, err)
        self.assertIn("cannot open the journal %s" % JOURNAL, err)

    def test_a_journal_pipe_nobody_reads_holds_up_neither_metrics_nor_the_stop(self):
        rd, wr = os.pipe()
        self.addCleanup(os.close, rd)
        hub = self.start("--journal", "-", "--linger", "0", sessions=2000, rate=20000, churn=100,
                         stdout=wr, stderr=subprocess.PIPE)
        os.close(wr)
        # Lines until the pipe is full and the queue overflows.
        wait_for("the journal's queue to overflow",
                 lambda: (metric(metrics(), "warden_hub_journal_errors_total") or 0) > 0, timeout=30)
        self.assertLess(timed_metrics()[0], 1.0)
        t0 = time.monotonic()
        hub.send_signal(signal.SIGTERM)
        hub.wait(timeout=10)
        took = time.monotonic() - t0
        print("\nstopped in %.2f s with the journal's reader asleep" % took, file=sys.stderr)
        self.assertLess(took, 2.5)
        self.assertEqual(1, hub.stderr.read().decode().count("the journal falls behind"))

    def test_each_disk_full_episode_is_logged_once(self):
        fs = "/tmp/hostile-fs"
        os.mkdir(fs)
        self.addCleanup(os.rmdir, fs)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", fs], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", fs])
        path = fs + "/journal"
        filler = fs + "/filler"

        def fill():
            fd = os.open(filler, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)
            try:
                while os.write(fd, b"x" * 4096) > 0:
                    pass
            except OSError:
                pass
            os.close(fd)
        log = open(os.path.join(fs, "..", "hostile-hub.err"), "w+")
        self.addCleanup(log.close)
        fill()
        self.start("--journal", path, "--linger", "0", sessions=50, rate=200, churn=50, stderr=log)

        def complaints():
            log.seek(0)
            return [l for l in log.read().splitlines() if "journal" in l]
        wait_for("the first disk-full complaint", lambda: len(complaints()) == 1)
        os.unlink(filler)
        wait_for("lines written again", lambda: os.path.getsize(path) > 0)
        time.sleep(0.5)
        self.assertEqual(1, len(complaints()))
        fill()
        wait_for("the second disk-full complaint", lambda: len(complaints()) == 2)
        time.sleep(1)
        self.assertEqual(2, len(complaints()), complaints())
        self.assertGreater(metric(metrics(), "warden_hub_journal_errors_total"), 2)
        self.procs.stop_all()

    def test_a_sighup_storm_stops_not_the_totals(self):
        hub = self.start("--journal", JOURNAL)
        s = attacker("127.0.0.1", timeout=5)
        self.socks.append(s)
        s.sendall(b"GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n")
        data = b""
        end = time.monotonic() + 3.5
        while time.monotonic() < end:
            hub.send_signal(signal.SIGHUP)
            t = time.monotonic() + 0.5
            while time.monotonic() < t:
                r, _, _ = select.select([s], [], [], max(0, t - time.monotonic()))
                if r:
                    data += s.recv(65536)
        totals = data.count(b"event: totals")
        print("\n%d totals events in 3.5 s of SIGHUP every 0.5 s" % totals, file=sys.stderr)
        self.assertGreaterEqual(totals, 2)
        self.assertIsNone(hub.poll())


if __name__ == "__main__":
    unittest.main(verbosity=2)

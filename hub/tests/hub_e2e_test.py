"""warden-hub end to end: a real warden, socks5-demo and curl (or
report_demo as a stand-in proxy), the hub reading them as a viewer; checks
/metrics (with promtool), /api/sessions, /api/events, the journal, SIGHUP,
SIGKILL, reconnects, two upstreams in two network namespaces and bad input.
Runs under quelm_isolate."""

import json
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest
import urllib.error

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (FAKE, HUB, TOP, CountingServer, can_connect, Netns, Procs, Reporter, curl, get_json,
                     http_get, metric, metrics, read_journal, start_hub,
                     start_proxy, start_warden, wait_for)

HOST = "127.0.0.1:5051"
JOURNAL = "/tmp/hub-journal.log"


def viewer_child_pids():
    """PIDs of warden's viewer children, from the store's slot table."""
    with open("/tmp/mon.mmap", "rb") as f:
        head = f.read(48)
    return [p for p in struct.unpack("<10I", head[8:48])[6:10] if p != 0]


class HubWithProxy(unittest.TestCase):
    """warden + socks5-demo + curl through it + warden-hub."""

    def setUp(self):
        # Cleanups, not tearDown: they also run when setUp fails half way.
        self.procs = Procs()
        self.addCleanup(self.procs.stop_all)
        for path in (JOURNAL, JOURNAL + ".1"):
            if os.path.exists(path):
                os.unlink(path)
        self.warden = start_warden(self.procs)
        start_proxy(self.procs)
        self.server = CountingServer()
        self.addCleanup(self.server.sock.close)

    def tearDown(self):
        # After the test body only (cleanups stop the processes after this).
        self.procs.stop_all()
        wait_for("port 5051 to be free", lambda: not can_connect("127.0.0.1", 5051))

    def test_metrics_api_and_journal_follow_curl_sessions(self):
        hub = start_hub(self.procs, "--journal", JOURNAL)
        # One download held open, so that the hub sees it active.
        held = curl(self.server.url("/slow/300000/2.5"), background=True)
        wait_for("the held session", lambda: metric(metrics(), "warden_sessions_active", host=HOST) == 1)
        sessions = get_json("http://127.0.0.1:9051/api/sessions")
        self.assertEqual(1, len(sessions))
        self.assertEqual(HOST, sessions[0]["host"])
        self.assertEqual("open", sessions[0]["state"])
        self.assertEqual("127.0.0.1:%d" % self.server.port, sessions[0]["destination"])

        # The same object shape as warden-top --json, plus what the hub adds.
        top = subprocess.run([TOP, "--once", "--json"], capture_output=True, text=True, timeout=20)
        self.assertEqual(0, top.returncode, top.stderr)
        top_keys = list(json.loads(top.stdout.splitlines()[0]).keys())
        hub_keys = list(sessions[0].keys())
        self.assertEqual("host", hub_keys[0])
        self.assertEqual(top_keys, hub_keys[1:len(top_keys) + 1])

        self.assertEqual(0, held.wait(timeout=30))
        sizes = [1000, 70000, 250000]
        for n in sizes:
            self.assertEqual(0, curl(self.server.url("/size/%d" % n)))
        moved = self.server.take(4)
        # A destination that refuses: curl fails, the proxy replies 5.
        refused = socket.socket()
        refused.bind(("127.0.0.1", 0))
        dead_port = refused.getsockname()[1]
        refused.close()
        self.assertNotEqual(0, curl("http://127.0.0.1:%d/" % dead_port))

        want_up = sum(r for r, s in moved)
        want_down = sum(s for r, s in moved)

        def settled():
            m = metrics()
            return m if metric(m, "warden_sessions_ended_total", host=HOST, code="5") == 1 and \
                metric(m, "warden_relayed_bytes_total", host=HOST, direction="to_client") == want_down else None
        m = wait_for("the hub to count every session", settled)
        self.assertEqual(want_up, metric(m, "warden_relayed_bytes_total", host=HOST, direction="to_destination"))
        self.assertEqual(0, metric(m, "warden_sessions_active", host=HOST))
        self.assertEqual(5, metric(m, "warden_sessions_started_total", host=HOST))
        self.assertEqual(4, metric(m, "warden_sessions_ended_total", host=HOST, code="0"))
        self.assertEqual(5, metric(m, "warden_session_duration_seconds_count", host=HOST))
        self.assertEqual(1, metric(m, "warden_up", host=HOST))
        self.assertGreaterEqual(metric(m, "warden_reports_received_total", host=HOST), 5)

        # promtool accepts the exposition as it stands.
        text = http_get("http://127.0.0.1:9051/metrics")[1]
        check = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, text=True)
        self.assertEqual(0, check.returncode, check.stdout + check.stderr)

        # Filters.
        ended = get_json("http://127.0.0.1:9051/api/sessions?state=ended")
        self.assertEqual(5, len(ended))
        self.assertEqual([], get_json("http://127.0.0.1:9051/api/sessions?state=open"))
        self.assertEqual([], get_json("http://127.0.0.1:9051/api/sessions?host=127.0.0.2:5051"))
        self.assertEqual([], get_json("http://127.0.0.1:9051/api/sessions?user=nobody"))
        self.assertEqual(5, len(get_json("http://127.0.0.1:9051/api/sessions?user=")))

        # The journal: one line per session, bytes as the server counted them.
        lines = wait_for("five journal lines", lambda: len(read_journal(JOURNAL)) == 5 and read_journal(JOURNAL))
        ok = sorted((l["bytes_up"], l["bytes_down"]) for l in lines if l["status"] == 0)
        self.assertEqual(sorted(moved), ok)
        failed = [l for l in lines if l["status"] != 0]
        self.assertEqual(1, len(failed))
        self.assertEqual(5, failed[0]["status"])
        self.assertEqual("127.0.0.1:%d" % dead_port, failed[0]["destination"])
        for l in lines:
            self.assertEqual(HOST, l["host"])
            self.assertTrue(l["end_time"].endswith("Z"))
            self.assertGreaterEqual(l["duration_seconds"], 0)
            self.assertTrue(l["client"].startswith("127.0.0.1:"))
        slow = [l for l in lines if l["bytes_down"] == max(s for r, s in moved)]
        self.assertGreaterEqual(slow[0]["duration_seconds"], 2)
        self.assertEqual(0, self.procs.stop(hub))

    def test_reconnect_neither_loses_nor_doubles(self):
        start_hub(self.procs, "--journal", JOURNAL)
        held = curl(self.server.url("/slow/400000/3"), background=True)
        wait_for("the held session", lambda: metric(metrics(), "warden_sessions_active", host=HOST) == 1)
        # The daemon's viewer child for the hub goes: the hub loses its link
        # in the middle of the session and must come back.
        for pid in viewer_child_pids():
            os.kill(pid, signal.SIGKILL)
        wait_for("the reconnect", lambda: metric(metrics(), "warden_hub_reconnects_total", host=HOST) == 1)
        self.assertEqual(0, held.wait(timeout=30))
        (received, sent), = self.server.take(1)
        m = wait_for("the end", lambda: (lambda m: m if metric(
            m, "warden_sessions_ended_total", host=HOST, code="0") == 1 else None)(metrics()))
        self.assertEqual(sent, metric(m, "warden_relayed_bytes_total", host=HOST, direction="to_client"))
        self.assertEqual(received, metric(m, "warden_relayed_bytes_total", host=HOST, direction="to_destination"))
        self.assertEqual(1, metric(m, "warden_sessions_started_total", host=HOST))
        time.sleep(1)  # a few more streams and a full read must not add a line
        lines = read_journal(JOURNAL)
        self.assertEqual(1, len(lines))
        self.assertEqual(sent, lines[0]["bytes_down"])

    def test_sighup_reopens_the_journal_after_a_rename(self):
        hub = start_hub(self.procs, "--journal", JOURNAL)
        self.assertEqual(0, curl(self.server.url("/size/100")))
        wait_for("the first line", lambda: len(read_journal(JOURNAL)) == 1)
        os.rename(JOURNAL, JOURNAL + ".1")
        hub.send_signal(signal.SIGHUP)
        wait_for("the new journal", lambda: os.path.exists(JOURNAL))
        self.assertEqual(0, curl(self.server.url("/size/200")))
        lines = wait_for("the second line", lambda: len(read_journal(JOURNAL)) == 1 and read_journal(JOURNAL))
        self.assertEqual(1, len(read_journal(JOURNAL + ".1")))
        self.assertGreater(lines[0]["bytes_down"], 200)
        self.assertLess(read_journal(JOURNAL + ".1")[0]["bytes_down"], lines[0]["bytes_down"])
        self.assertIsNone(hub.poll())

    def test_prometheus_scrapes_the_hub_with_the_readme_configuration(self):
        config = os.path.join(os.environ["QUELM_SOURCE_DIR"], "hub", "prometheus.yml")
        with open(config) as f:
            scrape = f.read()
        with open(os.path.join(os.environ["QUELM_SOURCE_DIR"], "README.md")) as f:
            self.assertIn(scrape, f.read(), "README shows hub/prometheus.yml as it is")
        start_hub(self.procs)
        held = curl(self.server.url("/slow/100000/20"), background=True)
        wait_for("the held session", lambda: metric(metrics(), "warden_sessions_active", host=HOST) == 1)
        os.makedirs("/tmp/prometheus-data", exist_ok=True)
        self.procs.start(["/usr/bin/prometheus", "--config.file=" + config,
                          "--storage.tsdb.path=/tmp/prometheus-data",
                          "--web.listen-address=127.0.0.1:9090"])

        def scraped():
            try:
                r = get_json("http://127.0.0.1:9090/api/v1/query?query=warden_sessions_active")
            except OSError:
                return None
            return r["data"]["result"] if r.get("status") == "success" and r["data"]["result"] else None
        result = wait_for("Prometheus to scrape the hub", scraped, timeout=45, step=0.5)
        self.assertEqual(1, len(result))
        self.assertEqual(HOST, result[0]["metric"]["host"])
        self.assertEqual("1", result[0]["value"][1])
        held.kill()
        held.wait()


class HubAlone(unittest.TestCase):
    """The hub against stand-ins, and what it does with bad input."""

    def setUp(self):
        # Cleanups, not tearDown: they also run when setUp fails half way.
        self.procs = Procs()
        self.addCleanup(self.procs.stop_all)


    def run_hub(self, *args):
        return subprocess.run([HUB] + list(args), capture_output=True, text=True, timeout=20)

    def test_bad_options_are_refused_plainly(self):
        # The parser's cases are unit tests; here the program's answer.
        for args, text in [(["--upstream", "127.0.0.1:5052"], "port 5051 only"),
                           (["--listen", "127.0.0.1"], "expected ADDR:PORT"),
                           (["--frobnicate"], "unknown option")]:
            r = self.run_hub(*args)
            self.assertEqual(2, r.returncode, args)
            self.assertIn(text, r.stderr, args)
            self.assertIn("Try 'warden-hub --help'", r.stderr)

    def test_a_listen_address_that_cannot_be_bound_is_an_error(self):
        r = self.run_hub("--listen", "192.0.2.1:9051")
        self.assertEqual(1, r.returncode)
        self.assertIn("cannot listen on 192.0.2.1:9051", r.stderr)
        r = self.run_hub("--listen", "no-such-host.invalid:9051")
        self.assertEqual(1, r.returncode)
        self.assertIn("cannot listen", r.stderr)

    def test_journal_through_a_symbolic_link_is_refused(self):
        os.symlink("/tmp/elsewhere", "/tmp/journal-link")
        r = self.run_hub("--journal", "/tmp/journal-link")
        self.assertEqual(1, r.returncode)
        self.assertIn("cannot open the journal /tmp/journal-link", r.stderr)
        self.assertFalse(os.path.exists("/tmp/elsewhere"))

    def test_help_lists_every_option(self):
        r = self.run_hub("--help")
        self.assertEqual(0, r.returncode)
        for o in ("--upstream", "--listen", "--interval", "--timeout", "--retry-max", "--linger",
                  "--journal", "--metrics-per-user", "--metrics-users-max", "--help", "--version"):
            self.assertIn(o, r.stdout)

    def test_unreachable_upstream_is_reported_and_the_hub_keeps_serving(self):
        err = open("/tmp/hub-stderr", "w+")
        start_hub(self.procs, "--upstream", "127.0.0.3", stderr=err)
        wait_for("the complaint", lambda: "cannot connect" in open("/tmp/hub-stderr").read())
        text = open("/tmp/hub-stderr").read()
        self.assertIn("cannot connect to warden at 127.0.0.3:5051: Connection refused (is warden running?)", text)
        m = metrics()
        self.assertEqual(0, metric(m, "warden_up", host="127.0.0.3:5051"))
        self.assertEqual(0, metric(m, "warden_sessions_active", host="127.0.0.3:5051"))
        status, body, _ = http_get("http://127.0.0.1:9051/healthz")
        self.assertEqual(200, status)
        hosts = get_json("http://127.0.0.1:9051/api/hosts")["hosts"]
        self.assertEqual("down", hosts[0]["state"])
        self.assertIn("Connection refused", hosts[0]["error"])

    def test_malformed_records_are_counted_and_skipped(self):
        fake = self.procs.start([FAKE, "--sessions", "7", "--bad-every", "1"], stdout=subprocess.PIPE)
        self.assertEqual("ready", fake.stdout.readline().decode().strip())
        start_hub(self.procs)
        m = wait_for("bad records", lambda: (lambda m: m if (metric(
            m, "warden_bad_records_total", host=HOST) or 0) >= 3 else None)(metrics()))
        self.assertEqual(7, metric(m, "warden_sessions_active", host=HOST))
        self.assertEqual(1, metric(m, "warden_up", host=HOST))
        self.assertEqual(0, metric(m, "warden_hub_reconnects_total", host=HOST))

    def test_sigkill_mid_run_leaves_only_whole_lines(self):
        fake = self.procs.start([FAKE, "--sessions", "2000", "--changes-per-second", "20000",
                                 "--churn", "50"], stdout=subprocess.PIPE)
        self.assertEqual("ready", fake.stdout.readline().decode().strip())
        hub = start_hub(self.procs, "--journal", JOURNAL, "--interval", "0.01", "--linger", "0")
        wait_for("a busy journal", lambda: os.path.exists(JOURNAL) and os.path.getsize(JOURNAL) > 200000)
        hub.kill()
        hub.wait()
        lines = read_journal(JOURNAL)  # fails on a torn last line or bad JSON
        self.assertGreater(len(lines), 500)
        keys = [(l["key"], l["start_time"]) for l in lines]
        self.assertEqual(len(keys), len(set(keys)), "a session was journaled twice")

    def test_event_streams_are_capped_and_scrapes_still_answered(self):
        start_hub(self.procs, "--upstream", "127.0.0.3")
        streams = []
        for _ in range(32):
            s = socket.create_connection(("127.0.0.1", 9051))
            s.sendall(b"GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n")
            s.settimeout(10)
            self.assertIn(b"200 OK", s.recv(4096))
            streams.append(s)
        with self.assertRaises(urllib.error.HTTPError) as refused:
            http_get("http://127.0.0.1:9051/api/events")
        self.assertEqual(503, refused.exception.code)
        self.assertEqual(0, metric(metrics(), "warden_up", host="127.0.0.3:5051"))
        streams.pop().close()
        # The closed stream's place is given back once its end is noticed.
        wait_for("a free place", lambda: _stream_opens(), timeout=15)
        for s in streams:
            s.close()

    def test_a_session_whose_proxy_died_is_journaled_once(self):
        start_warden(self.procs)
        start_hub(self.procs, "--journal", JOURNAL)
        r = Reporter(self.procs)
        r.say("start carol")
        r.say("update 123 456")
        wait_for("the session", lambda: metric(metrics(), "warden_sessions_active", host=HOST) == 1)
        self.procs.stop(r.p, signal.SIGKILL)
        # A viewer that connects makes the store look at its owners: the
        # dead one's record loses its alive bit, without a change bit for
        # the hub, whose periodic full read must find the end.
        top = subprocess.run([TOP, "--once"], capture_output=True, text=True, timeout=20)
        self.assertEqual(0, top.returncode, top.stderr)
        lines = wait_for("the journal line", lambda: os.path.exists(JOURNAL) and read_journal(JOURNAL), timeout=25)
        self.assertEqual(1, len(lines))
        self.assertEqual("carol", lines[0]["user"])
        self.assertEqual(456, lines[0]["bytes_down"])
        m = metrics()
        self.assertEqual(0, metric(m, "warden_sessions_active", host=HOST))
        self.assertEqual(1, metric(m, "warden_sessions_ended_total", host=HOST, code="0"))
        time.sleep(1)
        self.assertEqual(1, len(read_journal(JOURNAL)))

    def test_events_stream_session_changes(self):
        procs = self.procs
        start_warden(procs)
        start_hub(procs)
        got = []

        def listen():
            s = socket.create_connection(("127.0.0.1", 9051))
            s.sendall(b"GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n")
            s.settimeout(15)
            data = b""
            try:
                while data.count(b"event: end") < 1:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    data += chunk
            except OSError:
                pass
            got.append(data.decode())
            s.close()
        t = threading.Thread(target=listen)
        t.start()
        time.sleep(0.5)
        r = Reporter(procs)
        r.say("start alice")
        time.sleep(0.5)
        r.say("update 1000 2000")
        time.sleep(0.5)
        r.say("status 0 succeeded")
        time.sleep(0.5)
        r.say("end")
        t.join(timeout=20)
        text = got[0]
        self.assertIn("text/event-stream", text)
        order = [line.split(": ", 1)[1] for line in text.splitlines() if line.startswith("event: ")
                 and line[7:] in ("start", "update", "status", "end")]
        self.assertEqual(["start", "update", "status", "end"], order)
        datas = [json.loads(line[6:]) for line in text.splitlines() if line.startswith("data: {\"host\"")]
        self.assertEqual(2000, datas[-1]["bytes_down"])
        self.assertEqual("alice", datas[-1]["user"])
        self.assertEqual("ended", datas[-1]["state"])


def _stream_opens():
    s = socket.create_connection(("127.0.0.1", 9051))
    try:
        s.sendall(b"GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n")
        s.settimeout(10)
        return b"200 OK" in s.recv(4096)
    finally:
        s.close()


class TwoUpstreams(unittest.TestCase):
    """Two wardens, one here and one in another network namespace."""

    def setUp(self):
        if not os.environ.get("QUELM_ISOLATED"):
            self.skipTest("a second namespace needs the isolation of quelm_isolate")
        # Cleanups, not tearDown: they also run when setUp fails half way.
        # The processes stop before their namespace goes (last in, first run).
        self.procs = Procs()
        self.ns = Netns(self.procs)
        self.addCleanup(self.ns.close)
        self.addCleanup(self.procs.stop_all)

    def test_each_host_has_its_own_labels_and_one_going_away_leaves_the_other(self):
        there = "%s:5051" % Netns.ADDR
        start_warden(self.procs)
        far = start_warden(self.procs, prefix=self.ns.prefix)
        wait_for("the far warden", lambda: can_connect(Netns.ADDR, 5051))
        here_proxy = Reporter(self.procs)
        far_proxy = Reporter(self.procs, prefix=self.ns.prefix)
        here_proxy.say("start alice")
        here_proxy.say("update 10 20")
        far_proxy.say("start bob")
        far_proxy.say("update 30 40")
        start_hub(self.procs, "--upstream", "127.0.0.1", "--upstream", Netns.ADDR, "--timeout", "2")

        def both():
            m = metrics()
            return m if metric(m, "warden_relayed_bytes_total", host=there, direction="to_client") == 40 and \
                metric(m, "warden_relayed_bytes_total", host=HOST, direction="to_client") == 20 else None
        m = wait_for("both hosts", both)
        for h, up in ((HOST, 10), (there, 30)):
            self.assertEqual(1, metric(m, "warden_up", host=h))
            self.assertEqual(1, metric(m, "warden_sessions_active", host=h))
            self.assertEqual(up, metric(m, "warden_relayed_bytes_total", host=h, direction="to_destination"))
        bob = get_json("http://127.0.0.1:9051/api/sessions?host=" + there)
        self.assertEqual(["bob"], [s["user"] for s in bob])

        self.procs.stop(far)
        wait_for("the far host down", lambda: metric(metrics(), "warden_up", host=there) == 0)
        here_proxy.say("update 50 60")
        m = wait_for("the near host going on", lambda: (lambda m: m if metric(
            m, "warden_relayed_bytes_total", host=HOST, direction="to_client") == 60 else None)(metrics()))
        self.assertEqual(1, metric(m, "warden_up", host=HOST))
        self.assertEqual(40, metric(m, "warden_relayed_bytes_total", host=there, direction="to_client"))
        hosts = {h["host"]: h["state"] for h in get_json("http://127.0.0.1:9051/api/hosts")["hosts"]}
        self.assertEqual({HOST: "up", there: "stale"}, hosts)
        stale = get_json("http://127.0.0.1:9051/api/sessions?host=" + there)
        self.assertTrue(stale[0]["stale"])


if __name__ == "__main__":
    unittest.main(verbosity=2)

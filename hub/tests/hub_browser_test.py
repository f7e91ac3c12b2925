"""warden-hub's live page in a real browser: Debian's chromium, headless,
driven by chromium-driver through python3-selenium.  With warden,
socks5-demo, curl and the hub, all isolated: the page lists the running
sessions, its byte counters rise during a download, an ended session shows
as ended, the filter and a column sort change what is shown, a row opens the
whole record, and a lost event stream is reported and recovers when the hub
is back.  A second case feeds 10,000 sessions from the fake upstream and
checks that only the visible rows are drawn; it prints the time to first
render and the cost per update.  Runs under quelm_isolate."""

import os
import subprocess
import sys
import time
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness
from harness import (FAKE, CountingServer, Procs, curl, start_hub, start_proxy, start_warden,
                     wait_for)

ARTIFACTS = os.environ.get("HUB_ARTIFACT_DIR", "/tmp")
PAGE = "http://127.0.0.1:9051/"


def browser():
    opts = webdriver.ChromeOptions()
    opts.binary_location = "/usr/bin/chromium"
    for a in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
              "--window-size=1280,720", "--user-data-dir=/tmp/chromium-profile"):
        opts.add_argument(a)
    opts.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)


class Page:
    def __init__(self, driver):
        self.d = driver

    def rows(self):
        """[(destination, state, bytes-down text, classes)] of the drawn rows."""
        return self.d.execute_script("""
            return [...document.querySelectorAll('#rows .row')].map(r =>
                [r.children[3].textContent, r.children[5].textContent, r.children[8].textContent,
                 r.className, r.children[0].textContent]);""")

    def down_bytes(self, destination):
        return self.d.execute_script("""
            for (const r of document.querySelectorAll('#rows .row'))
                if (r.children[3].textContent === arguments[0]) return r.session.bytes_down;
            return null;""", destination)

    def link(self):
        return self.d.find_element(By.ID, "link").text

    def errors(self):
        return [e for e in self.d.get_log("browser") if e["level"] == "SEVERE"]


class PageWithRealSessions(unittest.TestCase):
    def setUp(self):
        # Cleanups, not tearDown: they also run when setUp fails half way.
        self.procs = Procs()
        self.addCleanup(self.procs.stop_all)
        start_warden(self.procs)
        start_proxy(self.procs)
        self.server = CountingServer()
        self.addCleanup(self.server.sock.close)
        self.hub = start_hub(self.procs, "--linger", "60")
        self.d = browser()
        self.addCleanup(self.d.quit)
        self.page = Page(self.d)


    def test_live_table_sort_filter_detail_and_a_lost_stream(self):
        d, page = self.d, self.page
        d.get(PAGE)
        wait_for("the page to go live", lambda: page.link() == "live")
        port = self.server.port
        slow = "127.0.0.1:%d" % port
        held = curl(self.server.url("/slow/3000000/5"), background=True)
        wait_for("the running session", lambda: any(r[0] == slow and r[1] == "open" for r in page.rows()))
        first = wait_for("bytes flowing", lambda: page.down_bytes(slow))
        wait_for("the counter to rise", lambda: (page.down_bytes(slow) or 0) > first, timeout=10)

        # Two short sessions, which end; then the long one ends too.
        for n in (1000, 200000):
            self.assertEqual(0, curl(self.server.url("/size/%d" % n)))
        self.assertEqual(0, held.wait(timeout=30))
        wait_for("three ended rows", lambda: [r[1] for r in page.rows()].count("ended") == 3)
        for r in page.rows():
            self.assertIn("ended", r[3].split())
            self.assertEqual("127.0.0.1:5051", r[4])

        # Sort by bytes down, both ways.
        head = d.find_element(By.CSS_SELECTOR, "#head button[data-col='bytes_down']")
        head.click()
        wait_for("descending sort", lambda: head.get_attribute("aria-sort") == "descending")
        down = wait_for("sorted rows", lambda: (lambda v: v if len(v) == 3 and v == sorted(v, reverse=True) else None)(
            [d.execute_script("return arguments[0].session.bytes_down", r)
             for r in d.find_elements(By.CSS_SELECTOR, "#rows .row")]))
        head.click()
        wait_for("ascending sort", lambda: [d.execute_script("return arguments[0].session.bytes_down", r)
                                            for r in d.find_elements(By.CSS_SELECTOR, "#rows .row")] == sorted(down))

        # The filter: the failed destination below is the only match.
        refused = "127.0.0.1:1"
        self.assertNotEqual(0, curl("http://%s/" % refused))
        wait_for("the failed session", lambda: any(r[0] == refused for r in page.rows()))
        box = d.find_element(By.ID, "filter")
        box.send_keys("failed")
        wait_for("only the failed row", lambda: [(r[0], r[1]) for r in page.rows()] == [(refused, "failed 5")])
        d.save_screenshot(os.path.join(ARTIFACTS, "warden-hub-filtered.png"))
        box.clear()
        box.send_keys(" ")  # an input event with an empty filter
        wait_for("all rows again", lambda: len(page.rows()) == 4)

        # A click on a row shows the whole record.
        d.find_elements(By.CSS_SELECTOR, "#rows .row")[0].click()
        wait_for("the record", lambda: d.find_element(By.ID, "detail").is_displayed())
        text = d.find_element(By.ID, "detail-body").text
        for field in ("key", "client", "resolved", "outbound", "destination", "command", "proxy",
                      "bytes down", "status", "started", "ended"):
            self.assertIn(field, text)
        self.assertIn("CONNECT", text)
        self.assertIn("socks5-demo", text)
        d.find_element(By.CSS_SELECTOR, "#detail .close").click()

        # A session running while the picture is taken.
        held = curl(self.server.url("/slow/2000000/20"), background=True)
        wait_for("a running row", lambda: any(r[1] == "open" for r in page.rows()))
        time.sleep(2.5)  # a few totals for the chart
        d.save_screenshot(os.path.join(ARTIFACTS, "warden-hub-page.png"))
        totals = d.find_element(By.ID, "totals").text
        self.assertIn("UP", totals.upper())
        self.assertIn("code 5: 1", totals)

        self.assertEqual([], page.errors())

        # The hub goes away: the page says so, and recovers when it is back.
        self.procs.stop(self.hub)
        wait_for("the lost stream to show", lambda: "lost" in page.link())
        self.assertIn("lost", d.find_element(By.ID, "link").get_attribute("class"))
        self.hub = start_hub(self.procs)
        wait_for("the page live again", lambda: page.link() == "live", timeout=20)
        wait_for("the running session again", lambda: any(r[1] == "open" for r in page.rows()))
        held.kill()
        held.wait()


class PageHostsAndLinger(unittest.TestCase):
    def setUp(self):
        # Cleanups, not tearDown: they also run when setUp fails half way.
        self.procs = Procs()
        self.addCleanup(self.procs.stop_all)
        start_warden(self.procs)
        # 192.0.2.1: no route to it from the isolated network.
        start_hub(self.procs, "--upstream", "127.0.0.1", "--upstream", "192.0.2.1", "--linger", "3")
        self.d = browser()
        self.addCleanup(self.d.quit)
        self.page = Page(self.d)


    def test_host_selector_down_host_and_ended_rows_leaving(self):
        d, page = self.d, self.page
        d.get(PAGE)
        wait_for("the page to go live", lambda: page.link() == "live")
        r = harness.Reporter(self.procs)
        r.say("start dave")
        wait_for("dave's row", lambda: [x[1] for x in page.rows()] == ["open"])
        # The cards are redrawn every second: their texts are read in one go.
        cards = wait_for("a card per host", lambda: (lambda c: c if len(c) == 3 else None)(d.execute_script(
            "return [...document.querySelectorAll('#totals .card')].map(c => c.innerText)")))
        far = [c for c in cards if "192.0.2.1:5051" in c][0]
        self.assertIn("DOWN", far.upper())
        self.assertIn("Network is unreachable", far)

        pick = d.find_element(By.ID, "host")
        self.assertEqual(["", "127.0.0.1:5051", "192.0.2.1:5051"],
                         [o.get_attribute("value") for o in pick.find_elements(By.TAG_NAME, "option")])
        pick.find_element(By.CSS_SELECTOR, "option[value='192.0.2.1:5051']").click()
        wait_for("no rows of the down host", lambda: page.rows() == [])
        pick.find_element(By.CSS_SELECTOR, "option[value='127.0.0.1:5051']").click()
        wait_for("the row again", lambda: len(page.rows()) == 1)

        # An ended row is dimmed, then leaves after the linger time.
        r.say("end")
        wait_for("the ended row", lambda: [(x[1], "ended" in x[3].split()) for x in page.rows()] == [("ended", True)])
        wait_for("the row to leave", lambda: page.rows() == [], timeout=15)
        self.assertEqual([], page.errors())


class PageWithTenThousandSessions(unittest.TestCase):
    def setUp(self):
        # Cleanups, not tearDown: they also run when setUp fails half way.
        self.procs = Procs()
        self.addCleanup(self.procs.stop_all)
        fake = self.procs.start([FAKE, "--sessions", "10000", "--changes-per-second", "1000", "--churn", "2"],
                                stdout=subprocess.PIPE)
        self.assertEqual("ready", fake.stdout.readline().decode().strip())
        start_hub(self.procs, "--interval", "1")
        self.d = browser()
        self.addCleanup(self.d.quit)


    def test_only_visible_rows_are_drawn_and_updates_stay_cheap(self):
        d = self.d
        wait_for("10,000 sessions in the hub", lambda: (harness.metric(
            harness.metrics(), "warden_sessions_active", host="127.0.0.1:5051") or 0) >= 9500, timeout=30)
        d.get(PAGE)
        first = wait_for("the first render", lambda: d.execute_script("return window.hubPage.firstRenderMs"),
                         timeout=30)
        start = d.execute_script("const s = window.hubPage; return [s.events, s.applyMs, s.renders, s.renderMs, s.sorts, s.sortMs]")
        time.sleep(10)
        end = d.execute_script("const s = window.hubPage; return [s.events, s.applyMs, s.renders, s.renderMs, s.sorts, s.sortMs]")
        events = end[0] - start[0]
        work = (end[1] - start[1]) + (end[3] - start[3])
        rows = d.execute_script("return window.hubPage.domRows()")
        shown = d.find_element(By.ID, "count").text
        print("\n10,000 sessions: first render %.0f ms after navigation; %d events in 10 s, "
              "%.3f ms of page work per event (apply %.1f ms, %d renders %.1f ms, %d sorts %.1f ms); "
              "%d rows in the document; %s" % (
                  first, events, work / max(events, 1), end[1] - start[1], end[2] - start[2],
                  end[3] - start[3], end[4] - start[4], end[5] - start[5], rows, shown), file=sys.stderr)
        self.assertGreater(events, 1000)
        self.assertLess(rows, 120, "rows outside the view were drawn")
        self.assertTrue(shown.startswith("1"), shown)
        self.assertGreaterEqual(int(shown.split()[3]), 9500)
        # Scrolling to the end draws the last rows.
        wait_for("the end of the table", lambda: d.execute_script(
            "document.getElementById('viewport').scrollTop = 1e9;"
            "const p = window.hubPage;"
            "return p.drawn[1] === p.viewLength() && p.drawn[0] > 9000 && p.domRows() < 120"))
        d.execute_script("document.getElementById('viewport').scrollTop = 0")
        d.find_element(By.CSS_SELECTOR, "#head button[data-col='rate_down']").click()
        time.sleep(1.5)
        d.save_screenshot(os.path.join(ARTIFACTS, "warden-hub-10000.png"))
        self.assertEqual([], [e for e in d.get_log("browser") if e["level"] == "SEVERE"])


if __name__ == "__main__":
    unittest.main(verbosity=2)

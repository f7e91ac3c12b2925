"""warden-hub's History view in a real browser (Debian's chromium, headless,
through chromium-driver and python3-selenium): warden writes its sessions
from socks5-demo and curl into SQLite, the hub reads that file with
--history, and the page shows them with the bytes curl moved, narrows them
with the filters, pages through them and sums them per user by bytes.
Runs under quelm_isolate."""

import os
import sys
import time
import unittest

from selenium.webdriver.common.by import By

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (WARDEN, CountingServer, Procs, can_connect, curl, start_hub, start_proxy,
                     wait_for)
from hub_browser_test import ARTIFACTS, PAGE, browser

DB = "/tmp/history.db"


class HistoryView(unittest.TestCase):
    def setUp(self):
        self.procs = Procs()
        self.d = None
        self.procs.start([WARDEN, "-f", "--history", DB, "--history-interval", "1"])
        wait_for("warden's viewer port", lambda: can_connect("127.0.0.1", 5051))
        start_proxy(self.procs)
        self.server = CountingServer()

    def tearDown(self):
        if self.d is not None:
            self.d.quit()
        self.procs.stop_all()

    def cells(self, body):
        return self.d.execute_script(
            "return [...document.querySelectorAll('#%s tr')].map(r => [...r.children].map(c => c.textContent))"
            % body)

    def test_sessions_filters_paging_and_per_user_summary(self):
        sizes = [1000, 250000, 4000]
        for n in sizes:
            self.assertEqual(0, curl(self.server.url("/size/%d" % n)))
        moved = self.server.take(len(sizes))
        time.sleep(2.5)  # two flushes of the worker
        start_hub(self.procs, "--history", DB)
        self.d = browser()
        d = self.d
        d.get(PAGE)
        wait_for("the History view", lambda: d.find_element(By.ID, "history").is_displayed())
        rows = wait_for("three rows", lambda: (lambda r: r if len(r) == 3 else None)(self.cells("h-rows")))
        dest = "127.0.0.1:%d" % self.server.port
        for r in rows:
            self.assertEqual(dest, r[5])
            self.assertEqual("0 succeeded", r[6])
            self.assertTrue(r[1].endswith(" s"), r)
        # The largest download is shown with the bytes the server sent.
        biggest = max(s for _, s in moved)
        self.assertIn("%.0f kB" % (biggest / 1000), [r[8] for r in rows])
        self.assertEqual("sessions 1–3", d.find_element(By.ID, "h-page").text)
        self.assertFalse(d.find_element(By.ID, "h-next").is_enabled())

        # The summary: one (nameless) user with three sessions.
        users = self.cells("h-users")
        self.assertEqual([["(none)", "3"]], [u[:2] for u in users])

        # A filter that matches nothing, then a bad status.
        box = d.find_element(By.ID, "h-destination")
        box.send_keys("example.org")
        d.find_element(By.ID, "h-apply").click()
        wait_for("no rows", lambda: d.find_element(By.ID, "h-page").text == "no sessions")
        self.assertEqual([], self.cells("h-users"))
        box.clear()
        box.send_keys(dest)
        status = d.find_element(By.ID, "h-status")
        status.send_keys("x")
        d.find_element(By.ID, "h-apply").click()
        wait_for("the refusal", lambda: "status must be a number" in d.find_element(By.ID, "h-message").text)
        status.clear()
        d.find_element(By.ID, "h-apply").click()
        wait_for("the rows again", lambda: len(self.cells("h-rows")) == 3)
        d.save_screenshot(os.path.join(ARTIFACTS, "warden-hub-history.png"))
        # The browser logs the refused request itself; nothing else may fail.
        self.assertEqual([], [e for e in d.get_log("browser") if e["level"] == "SEVERE"
                              and "status of 400" not in e["message"]])


if __name__ == "__main__":
    unittest.main(verbosity=2)

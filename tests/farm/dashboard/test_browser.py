"""The dashboard's page in a real headless Chromium (Debian's, through python3-selenium), following
real brevant-host renders."""

import json
import os
import unittest
import urllib.parse

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.select import Select

from farm import SOURCE, FarmTest, Render, frames_job, wait_until

HOSTILE = "<img src=x onerror=alert(1)>"


def start_chromium(stack):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--window-size=1400,1000", f"--user-data-dir={os.path.join(stack.directory, 'chromium')}"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    stack.callback(driver.quit)
    return driver


class BrowserTest(FarmTest):
    def setUp(self):
        super().setUp()
        self.service = self.dashboard()
        self.driver = start_chromium(self.stack)

    def read(self, machine, selector, script="el.innerText"):
        """Runs `script` on `selector` in the machine's card (or the card) in one call: the page
        redraws cards as events arrive, so an element found in one call may be gone by the next."""
        return self.driver.execute_script(
            "const card = [...document.querySelectorAll('article.machine')]"
            "  .find(c => c.dataset.machine === arguments[0]);"
            "const el = card && (arguments[1] ? card.querySelector(arguments[1]) : card);"
            "return el ? (" + script + ") : null;", machine, selector)

    def test_the_page_follows_renders(self):
        hostile = frames_job(240, project=HOSTILE, name=HOSTILE, size=(320, 180))
        self.driver.get(f"http://127.0.0.1:{self.service.port}/")
        wait_until(lambda: self.driver.find_element(By.ID, "connection").text == "live", 10, "the event stream")

        # Long enough (30 s) to be still rendering on a slow machine when the bar is watched; the
        # fixture ends it.
        Render(self.stack, self.broker, hostile, "render-a", fps=8)
        doomed = Render(self.stack, self.broker, hostile, "render-b", fps=8)

        # Both machines show, each with its item.
        for machine in ("render-a", "render-b"):
            wait_until(lambda: self.read(machine, ".item") is not None, 20, f"{machine}'s card with its item")

        # The progress bar moves while the render runs.
        def width():
            return self.read("render-a", ".item .bar > div", "el.getBoundingClientRect().width") or 0
        first = wait_until(lambda: width() > 0 and width(), 20, "some progress")
        wait_until(lambda: width() > first, 20, "the progress bar to move")
        self.assertRegex(self.read("render-a", ".item .figures"), r"\d+ of 240 frames")

        # The latest thumbnail loads: a decoded image from the API.
        wait_until(lambda: self.read("render-a", "img.thumb", "el.complete && el.naturalWidth"), 20, "the thumbnail")

        # A killed machine turns offline: the publisher's last will says it is lost.
        doomed.process.kill()
        wait_until(lambda: "offline (lost)" in (self.read("render-b", ".machine-head") or ""), 15, "render-b lost")
        self.assertIn("offline", self.read("render-b", "", "el.className").split())

        # The history searched through the form (Enter submits it) finds the failed job alone; its
        # row opens, by keyboard, on the failed item's log. The page's render hours and the CSV
        # export follow the same search.
        failures = Render(self.stack, self.broker, os.path.join(SOURCE, "examples/failures.json"), "render-c", fps=24)
        self.assertEqual(failures.wait(), 3)
        Select(self.driver.find_element(By.NAME, "outcome")).select_by_value("failed")
        self.driver.find_element(By.NAME, "project").send_keys("fAIL", Keys.ENTER)
        rows = "return [...document.querySelectorAll(arguments[0])].map(row => row.innerText)"
        wait_until(lambda: [r.split("\t")[1:4] for r in self.driver.execute_script(rows, "#history tr[data-job]")] ==
                   [["render-c", "Failures", "failed"]], 15, "the failed job alone in the history")
        self.assertEqual([r.split("\t")[:2] for r in self.driver.execute_script(rows, "#hours-project tr")], [["Failures", "1"]])
        wait_until(lambda: self.driver.find_element(By.CSS_SELECTOR, "#history button.open").send_keys(Keys.ENTER) or True,
                   5, "the job's button")
        wait_until(lambda: "Render failed" in self.driver.find_element(By.CSS_SELECTOR, "#history tr.detail .failed .logs").text,
                   10, "the failed item's log in the job's detail")
        csv = urllib.parse.urlsplit(self.driver.find_element(By.ID, "export").get_attribute("href"))
        self.assertEqual(urllib.parse.parse_qs(csv.query), {"project": ["fAIL"], "outcome": ["failed"]})
        _, _, body = self.service.request(f"{csv.path}?{csv.query}")
        self.assertEqual([line.split(",")[1:5:3] for line in body.decode().splitlines()[1:]], [["render-c", "failed"]])
        status, _, body = self.service.request("/api/hours?from=yesterday")
        self.assertEqual((status, json.loads(body)["error"].split()[0]), (400, "from"))

        # The hostile project and composition names are text; nothing they contain ran.
        self.assertEqual(self.read("render-a", ".project"), HOSTILE)
        self.assertEqual(self.read("render-a", ".item-name"), HOSTILE + " 1")
        self.assertEqual(self.driver.find_elements(By.CSS_SELECTOR, "main img:not(.thumb)"), [])
        with self.assertRaises(NoAlertPresentException):
            self.driver.switch_to.alert.text

if __name__ == "__main__":
    unittest.main()

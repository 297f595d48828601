"""The dashboard's page in a real headless Chromium (Debian's, through python3-selenium), following
real brevant-host renders: the farm's wall, the projects, a machine's card opened from a tile and
from Find (by keyboard), what the URL says is open, and the history."""

import json
import os
import unittest
import urllib.parse

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.select import Select

from farm import SOURCE, FarmTest, Render, frames_job, wait_until

HOSTILE = "<img src=x onerror=alert(1)>"
TOKEN = "page-token"


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
        self.service = self.dashboard("--token", TOKEN)
        self.driver = start_chromium(self.stack)
        self.page = f"http://127.0.0.1:{self.service.port}/"

    def run_js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def read(self, where, machine, selector, script="el.innerText"):
        """Runs `script` on `selector` in the machine's card in `where` (#opened-cards or
        #project-cards) in one call: the page redraws cards as events arrive, so an element found
        in one call may be gone by the next."""
        return self.run_js(
            "const card = [...document.querySelectorAll(arguments[0] + ' article.machine')]"
            "  .find(c => c.dataset.machine === arguments[1]);"
            "const el = card && (arguments[2] ? card.querySelector(arguments[2]) : card);"
            "return el ? (" + script + ") : null;", where, machine, selector)

    def opened(self):
        """What the address's hash says is open."""
        return urllib.parse.parse_qs(urllib.parse.urlsplit(self.driver.current_url).fragment)

    def tile(self, index):
        """The wall's tile `index` (in name order): its centre's offset from the canvas's centre and
        whether anything is drawn there."""
        return self.run_js(
            "const c = document.getElementById('wall'), p = +c.dataset.pitch, n = +c.dataset.columns;"
            "const x = (arguments[0] % n) * p + p / 2, y = Math.floor(arguments[0] / n) * p + p / 2;"
            "const r = window.devicePixelRatio || 1;"
            "const alpha = c.getContext('2d').getImageData(Math.floor(x * r), Math.floor(y * r), 1, 1).data[3];"
            "return [x - c.clientWidth / 2, y - c.clientHeight / 2, alpha > 0];", index)

    def test_the_page_follows_the_farm(self):
        hostile = frames_job(240, project=HOSTILE, name=HOSTILE, size=(320, 180))
        # Long enough (30 s) to be still rendering on a slow machine when the bar is watched; the
        # fixture ends them.
        Render(self.stack, self.broker, hostile, "render-a", fps=8)
        doomed = Render(self.stack, self.broker, hostile, "render-b", fps=8)
        failures = Render(self.stack, self.broker, os.path.join(SOURCE, "examples/failures.json"), "render-c", fps=24)
        self.assertEqual(failures.wait(), 3)

        # A token in the address becomes the cookie the stream and the API carry; it leaves the
        # address bar at once.
        self.driver.get(self.page + f"?access_token={TOKEN}")
        wait_until(lambda: self.driver.find_element(By.ID, "connection").text == "live", 10, "the event stream")
        self.assertEqual(self.driver.current_url, self.page)

        # The wall draws a tile for every machine and nothing beyond; pointing names the machine,
        # clicking opens it.
        wait_until(lambda: self.driver.find_element(By.ID, "count-machines").text == "3", 20, "three machines")
        wait_until(lambda: [self.tile(i)[2] for i in range(4)] == [True, True, True, False], 10, "three tiles drawn")
        wall = self.driver.find_element(By.ID, "wall")
        x, y, _ = self.tile(1)
        ActionChains(self.driver).move_to_element_with_offset(wall, x, y).perform()
        wait_until(lambda: self.driver.find_element(By.ID, "wall-tip").text.startswith("render-b · rendering"), 5, "the tip")
        x, y, _ = self.tile(0)
        ActionChains(self.driver).move_to_element_with_offset(wall, x, y).click().perform()
        wait_until(lambda: self.opened() == {"machine": ["render-a"]}, 5, "render-a in the address")

        # Its card follows the render: the bar moves, the thumbnail loads, hostile names are text.
        def width():
            return self.read("#opened-cards", "render-a", ".item .bar > div", "el.getBoundingClientRect().width") or 0
        first = wait_until(lambda: width() > 0 and width(), 20, "some progress")
        wait_until(lambda: width() > first, 20, "the progress bar to move")
        self.assertRegex(self.read("#opened-cards", "render-a", ".item .figures"), r"\d+ of 240 frames")
        wait_until(lambda: self.read("#opened-cards", "render-a", "img.thumb", "el.complete && el.naturalWidth"), 20,
                   "the thumbnail")
        self.assertEqual(self.read("#opened-cards", "render-a", ".project"), HOSTILE)
        self.assertEqual(self.read("#opened-cards", "render-a", ".item-name"), HOSTILE + " 1")

        # The projects sum their machines; a row opens, by keyboard, on the cards of the project's
        # machines.
        def project_row():
            rows = self.run_js("return [...document.querySelectorAll('#projects tr')].map(row => row.innerText.split('\\t').map(cell => cell.trim()))")
            return [row for row in rows if row[0] == HOSTILE]
        wait_until(lambda: [row[1:3] for row in project_row()] == [[HOSTILE + " 1", "2"]] , 10,
                   "the project's row with its two machines")
        self.assertRegex(project_row()[0][3], r"^\d+ of 480$")
        self.run_js("[...document.querySelectorAll('#projects button.row')].find(b => b.dataset.key === arguments[0]).focus()",
                    HOSTILE)
        ActionChains(self.driver).send_keys(Keys.ENTER).perform()
        wait_until(lambda: self.opened() == {"machine": ["render-a"], "project": [HOSTILE]}, 5, "the project in the address")
        for machine in ("render-a", "render-b"):
            wait_until(lambda: self.read("#project-cards", machine, ".item"), 10, f"{machine}'s card in the project")

        # A killed machine is lost during its render: it heads the list of what needs a person.
        doomed.process.kill()
        first = "const row = document.querySelector('#attention button.row'); return row && [row.dataset.key, row.innerText];"
        wait_until(lambda: self.run_js(first)[0] == "render-b" and "lost during a render" in self.run_js(first)[1], 15,
                   "render-b lost, first")

        # Find, by keyboard alone from a new page: Tab reaches it, the arrows choose, Enter opens.
        self.driver.get(self.page)
        wait_until(lambda: self.driver.find_element(By.ID, "count-machines").text == "3", 10, "the farm")
        ActionChains(self.driver).send_keys(Keys.TAB).perform()
        self.assertEqual(self.run_js("return document.activeElement.id"), "find")
        ActionChains(self.driver).send_keys("RENDER-").perform()
        wait_until(lambda: len(self.driver.find_elements(By.CSS_SELECTOR, "#found [role=option]")) == 3, 5, "three found")
        ActionChains(self.driver).send_keys(Keys.ARROW_DOWN, Keys.ARROW_DOWN, Keys.ARROW_DOWN, Keys.ENTER).perform()
        wait_until(lambda: self.opened() == {"machine": ["render-c"]}, 5, "render-c in the address")
        failed_log = lambda: "Render failed" in (self.read("#opened-cards", "render-c", ".item.failed .logs") or "")
        wait_until(failed_log, 10, "the failed item's log on render-c's card")

        # The same address opens the same view in another page, its card focused.
        self.driver.get("about:blank")
        self.driver.get(self.page + "#machine=render-c")
        wait_until(failed_log, 10, "render-c's card again")
        wait_until(lambda: self.run_js("return document.activeElement.innerText") == "render-c", 5, "the focus on it")

        # Forget takes the offline machine off the live views.
        self.driver.find_element(By.CSS_SELECTOR, "#opened-cards button.forget").click()
        wait_until(lambda: self.opened() == {}, 5, "the card closed")
        wait_until(lambda: self.driver.find_element(By.ID, "count-machines").text == "2", 10, "two machines left")

        # The history searched through the form (Enter submits it) finds the failed job alone; its
        # row opens, by keyboard, on the failed item's log. The page's render hours and the CSV
        # export follow the same search.
        Select(self.driver.find_element(By.NAME, "outcome")).select_by_value("failed")
        self.driver.find_element(By.NAME, "project").send_keys("fAIL", Keys.ENTER)
        rows = "return [...document.querySelectorAll(arguments[0])].map(row => row.innerText)"
        wait_until(lambda: [r.split("\t")[1:4] for r in self.run_js(rows, "#history tr[data-job]")] ==
                   [["render-c", "Failures", "failed"]], 15, "the failed job alone in the history")
        self.assertEqual([r.split("\t")[:2] for r in self.run_js(rows, "#hours-project tr")], [["Failures", "1"]])
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

        # Nothing the hostile names contain ran.
        self.assertEqual(self.driver.find_elements(By.CSS_SELECTOR, "main img:not(.thumb)"), [])
        with self.assertRaises(NoAlertPresentException):
            self.driver.switch_to.alert.text


if __name__ == "__main__":
    unittest.main()

"""The page of `actiontool html` in a real headless browser (Debian's chromium, driven through
chromedriver by python3-selenium): it loads from file:// with no console error, shows every
action, filters and sorts to the right rows, and draws its charts.

Run by CTest with Debian's /usr/bin/python3 (selenium is a Debian package for it);
ACTIONTOOL names the build's actiontool, QN4T_SOURCE_DIR the source tree. scripts/setup.sh
installs the browser; skipped, saying why, where it is missing."""
import json
import os
import shutil
import subprocess
import tempfile
import unittest

PACKAGES = ("chromium", "chromium-driver", "python3-selenium")
SOURCE = os.environ.get("QN4T_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
ACTIONTOOL = os.environ.get("ACTIONTOOL", os.path.join(SOURCE, "build", "actiontool"))
BIG = 20000  # actions in the set that shows only what is in view


def missing_browser():
    """None when the browser and its driver are there, else why not."""
    missing = [p for p in PACKAGES if subprocess.call(
        ["dpkg", "-s", p], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) != 0]
    if not missing:
        return None
    return "needs %s (scripts/setup.sh installs them)" % " ".join(missing)


WHY_NOT = missing_browser()
if WHY_NOT is None:
    from selenium import webdriver
    from selenium.webdriver.common.by import By


def big_set(path):
    """BIG actions: levels 1 to 10, every third one a fire damage spell whose base is its
    number modulo 50."""
    actions = []
    for number in range(BIG):
        base = number % 50
        actions.append({
            "actionID": number, "targetType": 1, "range": 1, "levelAcquired": number % 10 + 1,
            "actionType": 2, "validClasses": 1, "name": "a%d" % number, "spellCode": "AB",
            "spellCost": number % 20, "details": [{"header": {"type": 1}, "body": {
                "range": 1, "targetSize": 1, "die": 6, "dice": 1, "base": base,
                "elemType": number % 3}}]})
    with open(path, "w") as stream:
        json.dump({"format": 2, "actions": actions}, stream)


@unittest.skipIf(WHY_NOT is not None, "no browser: %s" % WHY_NOT)
class PageInBrowser(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="actiontool-page-")
        cls.pages = {}
        names = os.path.join(SOURCE, "examples", "names.json")
        for label, source in (("example", os.path.join(SOURCE, "examples", "actions.json")),
                              ("big", None)):
            if source is None:
                source = os.path.join(cls.folder, "big.json")
                big_set(source)
            actions = os.path.join(cls.folder, label + ".gz")
            page = os.path.join(cls.folder, label + ".html")
            subprocess.check_call([ACTIONTOOL, "import", source, actions],
                                  stdout=subprocess.DEVNULL)
            subprocess.check_call([ACTIONTOOL, "html", "--names", names, actions, page],
                                  stdout=subprocess.DEVNULL)
            cls.pages[label] = page
        options = webdriver.ChromeOptions()
        for argument in ("--headless", "--no-sandbox", "--disable-gpu",
                         "--disable-dev-shm-usage", "--window-size=1400,1000"):
            options.add_argument(argument)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        cls.browser = webdriver.Chrome(options=options)

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def open(self, label):
        self.browser.get("file://" + self.pages[label])
        errors = [entry for entry in self.browser.get_log("browser")
                  if entry["level"] in ("SEVERE", "ERROR")]
        self.assertEqual(errors, [])

    def count(self):
        return self.browser.find_element(By.ID, "count").text

    def filter(self, column, op, value):
        run = self.browser.execute_script
        run("document.getElementById('filter-column').value = arguments[0];"
            "document.getElementById('filter-op').value = arguments[1];"
            "document.getElementById('filter-value').value = arguments[2];"
            "window.actionPage.filter();", column, op, value)

    def first_rows(self, column, how_many):
        position = self.browser.execute_script(
            "return Array.prototype.map.call(document.querySelectorAll('#head span'),"
            " function (s) { return s.textContent; }).indexOf(arguments[0]);", column)
        rows = self.browser.find_elements(By.CSS_SELECTOR, "#rows .row")[:how_many]
        return [row.find_elements(By.TAG_NAME, "span")[position].text for row in rows]

    def test_example_set_rows_names_panel_and_charts(self):
        self.open("example")
        self.assertEqual(self.count(), "32 of 32 actions")
        self.assertEqual(len(self.browser.find_elements(By.CSS_SELECTOR, "#rows .row")), 32)
        self.filter("elements", "contains", "fire")  # a name from the names file
        self.assertEqual(sorted(self.first_rows("name", 10)),
                         ["Cindermoth Swarm", "Ember Lance", "Hurl Flask", "Kindlebrand"])
        # in one script: a scroll may redraw the rows between a lookup and a click
        self.browser.execute_script("document.querySelector('#rows .row').click();")
        panel = self.browser.find_element(By.ID, "panel").text
        self.assertIn("detail 0: damage", panel)
        self.assertIn("fire (1)", panel)
        for chart in ("chart-level", "chart-element", "chart-cost"):
            marks = self.browser.find_elements(By.CSS_SELECTOR,
                                               "#%s rect, #%s circle" % (chart, chart))
            self.assertTrue(marks, chart)

    def test_big_set_draws_only_what_is_in_view(self):
        self.open("big")
        self.assertEqual(self.count(), "%d of %d actions" % (BIG, BIG))
        drawn = len(self.browser.find_elements(By.CSS_SELECTOR, "#rows .row"))
        self.assertLess(drawn, 100)
        # base > 47: numbers ending in 48 or 49 modulo 50
        self.filter("damage", ">", "50.5")  # expected damage: 3.5 + base
        expected = sum(1 for n in range(BIG) if n % 50 + 3.5 > 50.5)
        self.assertEqual(self.count(), "%d of %d actions" % (expected, BIG))
        self.browser.find_element(By.CSS_SELECTOR, "#head span[data-column=actionID]").click()
        self.browser.find_element(By.CSS_SELECTOR, "#head span[data-column=actionID]").click()
        self.assertEqual(self.first_rows("actionID", 3), ["19999", "19998", "19949"])
        self.browser.find_element(By.ID, "filter-clear").click()
        self.assertEqual(self.count(), "%d of %d actions" % (BIG, BIG))
        self.browser.execute_script(
            "document.getElementById('scroller').scrollTop = 22 * 15000;"
            "document.getElementById('scroller').dispatchEvent(new Event('scroll'));")
        self.browser.execute_script("return new Promise(function (r) {"
                                    " requestAnimationFrame(function () { r(); }); });")
        shown = [int(v) for v in self.first_rows("actionID", 40)]
        self.assertIn(BIG - 1 - 15000, shown)  # still sorted by actionID, descending
        shot = os.environ.get("QN4T_PAGE_SCREENSHOT")
        if shot:
            self.open("example")
            self.browser.save_screenshot(shot)


if __name__ == "__main__":
    unittest.main()

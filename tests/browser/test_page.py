"""The page of `actiontool html` in a real headless browser (Debian's chromium, driven through
chromedriver by python3-selenium): it loads from file:// with no console error, shows every
action, filters and sorts to the right rows, draws its charts, and edits: each edit of a table
made in the page and saved as a patch gives, through `actiontool patch`, the bytes that the
same edit made through the package gives (api_edits.py).

Run by CTest with Debian's /usr/bin/python3 (selenium is a Debian package for it);
ACTIONTOOL names the build's actiontool, QN4T_SOURCE_DIR the source tree, QN4T_TOOL_PYTHON
and QN4T_TOOL_MODULE_DIR the interpreter and module the tool runs with. Skipped, saying why,
where the browser or its driver is missing (scripts/setup.sh installs them)."""
import glob
import gzip
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

PACKAGES = ("chromium", "chromium-driver", "python3-selenium")
SOURCE = os.environ.get("QN4T_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
ACTIONTOOL = os.environ.get("ACTIONTOOL", os.path.join(SOURCE, "build", "actiontool"))
BIG = 20000  # actions in the set that shows only what is in view


def missing_browser():
    """None when the browser, its driver and selenium are there, else what is missing."""
    missing = [p for p in PACKAGES if subprocess.call(
        ["dpkg", "-s", p], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) != 0]
    if missing:
        return "needs the Debian packages %s (scripts/setup.sh installs them)" % " ".join(missing)
    return None


WHY_NOT = missing_browser()
if WHY_NOT is None:
    from selenium import webdriver
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from api_edits import HOSTILE_NAME  # noqa: E402 (plain data; the package is not imported)


def big_set_of(count, path):
    """count actions: levels 1 to 10, each a damage spell whose base is its number modulo 50
    and whose element is its number modulo 3."""
    actions = []
    for number in range(count):
        base = number % 50
        actions.append({
            "actionID": number, "targetType": 1, "range": 1, "levelAcquired": number % 10 + 1,
            "actionType": 2, "validClasses": 1, "name": "a%d" % number, "spellCode": "AB",
            "spellCost": number % 20, "details": [{"header": {"type": 1}, "body": {
                "range": 1, "targetSize": 1, "die": 6, "dice": 1, "base": base,
                "elemType": number % 3}}]})
    with open(path, "w") as stream:
        json.dump({"format": 2, "actions": actions}, stream)


# Each edit made in the page: steps, then what api_edits.py does to the same actions.
#   ("choose", action_no)          show that action in the panel
#   ("type", path, words)          replace a field's value and leave the field (Tab)
#   ("select", css, value)         choose an option of a drop-down
#   ("click", name)                press the panel's button with that data-edit name
#   ("press", id)                  press a button of the controls
#   ("tick", path, name)           tick the box of a named bit of a flag field
#   ("refused", path, words)       the field is marked refused, the reason beside it
#   ("shown", path, words)         the action's row shows words in that column
EDITS_IN_PAGE = (
    ("rename", [("choose", 0), ("type", "name", HOSTILE_NAME), ("shown", "name", HOSTILE_NAME)]),
    ("value_change", [("choose", 4), ("type", "levelAcquired", "7"),
                      ("shown", "levelAcquired", "7")]),
    ("out_of_range", [("choose", 4), ("type", "levelAcquired", "300"),
                      ("refused", "levelAcquired",
                       "Action.levelAcquired is unsigned 8-bit: 300 is out of its range 0 to 255"),
                      ("shown", "levelAcquired", "4")]),
    ("codes_by_name_and_number", [
        ("choose", 0), ("select", "select[data-path='details.0.body.elemType']", "2"),
        ("select", "select[data-path='details.0.body.saveType']", "other"),
        ("type", "details.0.body.saveType", "9"), ("tick", "validClasses", "ranger"),
        ("shown", "elements", "frost")]),
    ("detail_added", [("choose", 1), ("select", "#detail-type", "1"), ("click", "add-detail"),
                      ("type", "details.1.body.base", "5"),
                      ("shown", "details", "healing damage")]),
    ("stat_entry_removed", [("choose", 2), ("click", "remove-stat-0-0")]),
    ("duplicated_and_renumbered", [("choose", 3), ("click", "duplicate"),
                                   ("type", "actionID", "9001"), ("shown", "actionID", "9001")]),
    ("action_added", [("press", "add-action"), ("type", "name", "Newly made"),
                      ("shown", "actionID", "2015")]),
    ("action_removed", [("choose", 5), ("click", "remove-action")]),
    ("made_a_spell", [("choose", 30), ("select", "select[data-path=actionType]", "2"),
                      ("type", "spellCode", "ZZ")]),
    ("edited_then_undone", [("choose", 6), ("type", "spellCost", "9"), ("press", "undo")]),
    ("duplicated_and_removed_then_undone", [
        ("choose", 3), ("click", "duplicate"), ("choose", 6), ("click", "remove-action"),
        ("press", "undo"), ("press", "undo"), ("shown", "name", "Mirelock")]),
)


def leaves_of(value, path=()):
    """(path, value) of each number or text in a document form."""
    if isinstance(value, dict):
        for key in value:
            yield from leaves_of(value[key], path + (key,))
    elif isinstance(value, list):
        for index, item in enumerate(value):
            yield from leaves_of(item, path + (index,))
    else:
        yield path, value


def run_package_edit(name, source, target):
    """api_edits.py's edit name, with the interpreter and module the tool runs with."""
    python = os.environ.get("QN4T_TOOL_PYTHON", sys.executable)
    env = dict(os.environ)
    if os.environ.get("QN4T_TOOL_MODULE_DIR"):
        env["PYTHONPATH"] = os.environ["QN4T_TOOL_MODULE_DIR"]
    subprocess.check_call([python, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                "api_edits.py"), name, source, target], env=env)


def inflated(path):
    with gzip.open(path, "rb") as stream:
        return stream.read()


def start_browser(download_folder=None):
    options = webdriver.ChromeOptions()
    for argument in ("--headless", "--no-sandbox", "--disable-gpu",
                     "--disable-dev-shm-usage", "--window-size=1400,1000"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    options.set_capability("unhandledPromptBehavior", "ignore")
    browser = webdriver.Chrome(options=options)
    if download_folder:
        browser.execute_cdp_cmd("Page.setDownloadBehavior",
                                {"behavior": "allow", "downloadPath": download_folder})
    return browser


@unittest.skipIf(WHY_NOT is not None, "no browser: %s" % WHY_NOT)
class PageInBrowser(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="actiontool-page-")
        cls.downloads = os.path.join(cls.folder, "downloads")
        os.mkdir(cls.downloads)
        cls.pages, cls.files = {}, {}
        cls.blank = os.path.join(cls.folder, "blank.html")
        with open(cls.blank, "w") as stream:
            stream.write("<!DOCTYPE html><title>blank</title>")
        names = os.path.join(SOURCE, "examples", "names.json")
        for label, source in (("example", os.path.join(SOURCE, "examples", "actions.json")),
                              ("big", None)):
            if source is None:
                source = os.path.join(cls.folder, "big.json")
                big_set_of(BIG, source)
            actions = os.path.join(cls.folder, label + ".gz")
            page = os.path.join(cls.folder, label + ".html")
            subprocess.check_call([ACTIONTOOL, "import", source, actions],
                                  stdout=subprocess.DEVNULL)
            subprocess.check_call([ACTIONTOOL, "html", "--names", names, actions, page],
                                  stdout=subprocess.DEVNULL)
            cls.pages[label], cls.files[label] = page, actions
        cls.browser = start_browser(cls.downloads)

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def leaving_asks(self):
        """Whether the page asks before it closes: it prevents the default of beforeunload."""
        return self.browser.execute_script(
            "var leaving = new Event('beforeunload', {cancelable: true});"
            "window.dispatchEvent(leaving); return leaving.defaultPrevented;")

    def leave(self):
        """Leaves the page shown; what it logged is dropped."""
        self.browser.get("about:blank")
        self.browser.get_log("browser")

    def open(self, label):
        """Shows the page, without edits kept by an earlier test."""
        self.leave()
        # pages from files share the storage; a page of no edits of its own clears it
        self.browser.get("file://" + self.blank)
        self.browser.execute_script("localStorage.clear();")
        self.browser.get("file://" + self.pages[label])
        self.assertEqual(self.errors(), [])

    def errors(self):
        return [entry for entry in self.browser.get_log("browser")
                if entry["level"] in ("SEVERE", "ERROR")]

    def count(self):
        return self.browser.find_element(By.ID, "count").text

    def filter(self, column, op, value):
        run = self.browser.execute_script
        run("document.getElementById('filter-column').value = arguments[0];"
            "document.getElementById('filter-op').value = arguments[1];"
            "document.getElementById('filter-value').value = arguments[2];"
            "window.actionPage.filter();", column, op, value)

    def column_at(self, column):
        return self.browser.execute_script(
            "return Array.prototype.map.call(document.querySelectorAll('#head span'),"
            " function (s) { return s.textContent; }).indexOf(arguments[0]);", column)

    def first_rows(self, column, how_many):
        position = self.column_at(column)
        rows = self.browser.find_elements(By.CSS_SELECTOR, "#rows .row")[:how_many]
        return [row.find_elements(By.TAG_NAME, "span")[position].text for row in rows]

    def row_text(self, action_no, column):
        """The text of a column in the row of an action (by its action_no), as drawn."""
        return self.browser.execute_script(
            "var row = document.querySelector('#rows .row[data-action=\"' + arguments[0] +"
            " '\"]'); return row ? row.children[arguments[1]].textContent : null;",
            action_no, self.column_at(column))

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
        element = Select(self.browser.find_element(
            By.CSS_SELECTOR, "select[data-path='details.0.body.elemType']"))
        self.assertEqual(element.first_selected_option.text, "fire (1)")
        for chart in ("chart-level", "chart-element"):
            self.assertTrue(self.browser.find_elements(By.CSS_SELECTOR, "#%s rect" % chart))
        dots = self.browser.find_element(By.CSS_SELECTOR, "#chart-cost path").get_attribute("d")
        # the spells shown (Hurl Flask, an ability, has no cost) but the chosen one, a circle
        self.assertEqual(dots.count("M"), 2)
        self.assertEqual(len(self.browser.find_elements(By.CSS_SELECTOR,
                                                        "#chart-cost circle")), 1)

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

    # ---- editing ----------------------------------------------------------------------------

    def field(self, path):
        return self.browser.find_element(By.CSS_SELECTOR, "#panel [data-path='%s']" % path)

    def step(self, step):
        kind, rest = step[0], step[1:]
        if kind == "choose":
            self.browser.execute_script("window.actionPage.choose(arguments[0]);", rest[0])
        elif kind == "type":
            field = self.field(rest[0])
            field.send_keys(Keys.CONTROL, "a")
            field.send_keys(rest[1], Keys.TAB)
        elif kind == "select":
            Select(self.browser.find_element(By.CSS_SELECTOR, "#panel " + rest[0])
                   ).select_by_value(rest[1])
        elif kind == "click":
            self.browser.find_element(By.CSS_SELECTOR, "#panel [data-edit='%s']" % rest[0]).click()
        elif kind == "tick":
            self.field(rest[0]).find_element(
                By.XPATH, "../label[normalize-space(.)='%s']/input" % rest[1]).click()
        elif kind == "press":
            self.browser.find_element(By.ID, rest[0]).click()
        elif kind == "refused":
            field = self.field(rest[0])
            self.assertIn("refused", field.get_attribute("class"))
            reason = field.find_element(By.XPATH, "../following-sibling::td").text
            self.assertEqual(reason, rest[1])
        elif kind == "shown":
            chosen = self.browser.execute_script(
                "return Number(document.querySelector('#rows .row.chosen').dataset.action);")
            self.assertEqual(self.row_text(chosen, rest[0]), rest[1])
        else:
            raise ValueError(kind)

    def saved_patch(self, label):
        """Presses Save changes and returns the patch file it downloads (where nothing is
        changed the button is off, and the page's patch must be empty)."""
        save = self.browser.find_element(By.ID, "save")
        if not save.is_enabled():
            patch = json.loads(self.browser.execute_script("return window.actionPage.patch();"))
            self.assertEqual(patch, {"changes": []})
            path = os.path.join(self.folder, label + ".empty.json")
            with open(path, "w") as stream:
                json.dump(patch, stream)
            return path
        for old in glob.glob(os.path.join(self.downloads, "*")):
            os.remove(old)
        save.click()
        for _ in range(100):
            found = [f for f in glob.glob(os.path.join(self.downloads, "*.json"))]
            if found:
                return found[0]
            time.sleep(0.05)
        self.fail("Save changes downloaded nothing")

    def test_each_edit_saved_as_a_patch_gives_the_bytes_of_the_same_edit_by_the_package(self):
        base = self.files["example"]
        for name, steps in EDITS_IN_PAGE:
            with self.subTest(edit=name):
                self.open("example")
                for step in steps:
                    self.step(step)
                self.assertEqual(self.errors(), [])
                patch = self.saved_patch(name)
                self.assertFalse(self.leaving_asks())  # saved, or nothing to save
                self.assertEqual(self.browser.execute_script(  # nothing fetched or sent
                    "return performance.getEntriesByType('resource').length;"), 0)
                by_page = os.path.join(self.folder, name + ".page.gz")
                by_package = os.path.join(self.folder, name + ".package.gz")
                subprocess.check_call([ACTIONTOOL, "patch", base, patch, by_page],
                                      stdout=subprocess.DEVNULL)
                run_package_edit(name, base, by_package)
                self.assertEqual(inflated(by_page), inflated(by_package))
                # the page's patch is the one the tool's own diff writes for that change
                with open(patch) as stream:
                    made = json.load(stream)
                diff = subprocess.run([ACTIONTOOL, "diff", "--patch", base, by_package],
                                      stdout=subprocess.PIPE, check=False)
                self.assertIn(diff.returncode, (0, 1))  # the same, different
                wanted = json.loads(diff.stdout.decode("utf-8"))
                self.assertEqual(made, wanted)

    def test_a_saved_patch_on_a_file_changed_meanwhile_lists_the_conflict(self):
        self.open("example")
        for step in (("choose", 4), ("type", "levelAcquired", "7")):
            self.step(step)
        patch = self.saved_patch("conflicting")
        meanwhile = os.path.join(self.folder, "meanwhile.gz")
        out = os.path.join(self.folder, "conflicting.gz")
        run_package_edit("changed_meanwhile", self.files["example"], meanwhile)
        applied = subprocess.run([ACTIONTOOL, "patch", meanwhile, patch, out],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
        self.assertEqual(applied.returncode, 1)
        self.assertIn("conflict: id 1005 levelAcquired: base 4, ours 9, theirs 7",
                      applied.stdout.decode("utf-8") + applied.stderr.decode("utf-8"))
        self.assertFalse(os.path.exists(out))

    def test_the_page_refuses_what_the_import_refuses_in_its_words(self):
        """Every integer field of a spell with a detail of each kind and a stat entry, set
        beyond any range, every text too long: the page's refusal of each value is the
        import's, field by field."""
        exported = json.loads(subprocess.check_output(
            [ACTIONTOOL, "export", self.files["example"], "-"]).decode("utf-8"))["actions"]
        chosen = (6, 1)  # a spell with damage, a stat modification and a stat entry; healing
        wanted = [dict(form, details=[dict(d) for d in form["details"]])
                  for form in (exported[n] for n in chosen)]
        bad = []
        for value in (2 ** 40, -2 ** 40):
            forms = json.loads(json.dumps(wanted))
            for form in forms:
                for key in form:
                    if isinstance(form[key], int) and key != "actionType":
                        form[key] = value
                for detail in form["details"]:
                    for part in [detail["body"]] + detail.get("stats", []):
                        for key in part:
                            part[key] = value
            bad.append((str(value), forms))
        too_long = dict(wanted[0], name="x" * 70000, blah="y" * 300, spellCode="ABCDE")
        bad.append((None, [too_long, {"actionID": 1, "actionType": 2 ** 40}]))
        self.open("example")
        compared = 0
        for typed, forms in bad:
            source = os.path.join(self.folder, "refused.json")
            with open(source, "w") as stream:
                json.dump({"format": 2, "actions": forms}, stream)
            refused = subprocess.run([ACTIONTOOL, "import", source,
                                      os.path.join(self.folder, "refused.gz")],
                                     stderr=subprocess.PIPE, check=False)
            self.assertEqual(refused.returncode, 1)
            for line in refused.stderr.decode("utf-8").splitlines():
                found = re.search(r"actions\[(\d)\] \(actionID -?\d+\): (\S+): (.*)$", line)
                if not found:
                    continue
                index, where, words = int(found.group(1)), found.group(2), found.group(3)
                path = [int(step) if step.isdigit() else step
                        for step in re.findall(r"[A-Za-z_]+|\d+", where)]
                value = typed if typed is not None else (
                    json.dumps(forms[index][path[0]]).strip('"'))
                with self.subTest(path=where, value=value[:12]):
                    self.assertEqual(self.browser.execute_script(
                        "return window.actionPage.refusal(arguments[0], arguments[1],"
                        " arguments[2]);", chosen[index] if index < 2 else 0, path, value),
                        words)
                compared += 1
        # every integer field (bar actionType) twice, three texts and actionType: all listed
        self.assertEqual(compared, 2 * sum(
            1 for form in wanted for key, v in leaves_of(form) if isinstance(v, int)
            and "header" not in key and key != ("actionType",)) + 4)

    def test_texts_are_shown_as_text_everywhere_an_edit_shows_them(self):
        self.open("example")
        for step in (("choose", 0), ("type", "name", HOSTILE_NAME)):
            self.step(step)
        self.assertEqual(self.row_text(0, "name"), HOSTILE_NAME)
        self.assertEqual(self.field("name").get_attribute("value"), HOSTILE_NAME)
        self.assertEqual(self.browser.find_elements(By.CSS_SELECTOR, "b"), [])
        # a page made of that file: its data intact, its rows drawn
        patch = self.saved_patch("hostile")
        hostile = os.path.join(self.folder, "hostile.gz")
        page = os.path.join(self.folder, "hostile.html")
        for command in (["patch", self.files["example"], patch, hostile],
                        ["html", hostile, page]):
            subprocess.check_call([ACTIONTOOL] + command, stdout=subprocess.DEVNULL)
        self.leave()
        self.browser.get("file://" + page)
        self.assertEqual(self.errors(), [])
        self.assertEqual(self.count(), "32 of 32 actions")
        self.assertEqual(self.row_text(0, "name"), HOSTILE_NAME)
        self.assertEqual(self.browser.find_elements(By.CSS_SELECTOR, "b"), [])

    def test_work_survives_a_reload_and_undo_steps_back_one_edit(self):
        self.open("example")
        for step in (("choose", 4), ("type", "levelAcquired", "7"),
                     ("choose", 5), ("click", "remove-action")):
            self.step(step)
        before = self.browser.execute_script("return window.actionPage.patch();")
        # unsaved edits: leaving the page asks first (headless Chromium shows no dialog, so
        # the question is seen as the event's default prevented)
        self.assertTrue(self.leaving_asks())
        self.browser.refresh()
        self.assertEqual(self.browser.execute_script("return window.actionPage.patch();"),
                         before)
        self.assertEqual(self.count(), "31 of 31 actions")
        self.assertIn("changed", self.browser.find_element(
            By.CSS_SELECTOR, "#rows .row[data-action='4']").get_attribute("class"))
        self.browser.execute_script("window.actionPage.choose(4);")
        self.step(("type", "levelAcquired", "9"))
        self.step(("press", "undo"))  # back to the reloaded state, not further
        self.assertEqual(self.browser.execute_script("return window.actionPage.patch();"),
                         before)
        self.assertEqual(self.field("levelAcquired").get_attribute("value"), "7")


if __name__ == "__main__":
    unittest.main()

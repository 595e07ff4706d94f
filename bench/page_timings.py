"""How quick the page of `actiontool html` is at 20,000 actions, in headless Chromium: the
time to filter the table, to have an edit reflected in the table and the charts, and to make
the patch that "Save changes" writes; optionally a screenshot of the example page with an
action being edited. Prints figures measured in one run (the page's own clock,
performance.now()); it is not a timed test.

    /usr/bin/python3 bench/page_timings.py [--actions N] [--screenshot shot.png]

Runs the build's actiontool (build/actiontool, or ACTIONTOOL); needs Debian's chromium,
chromium-driver and python3-selenium."""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "browser"))

from test_page import big_set_of, start_browser  # noqa: E402

ACTIONTOOL = os.environ.get("ACTIONTOOL", os.path.join(SOURCE, "build", "actiontool"))
RUNS = 7

# Each returns the milliseconds one step took inside the page, painting included.
FILTER = """
var done = arguments[arguments.length - 1], column = arguments[0], op = arguments[1],
    value = arguments[2], search = arguments[3];
document.getElementById('search').value = search;
document.getElementById('filter-column').value = column;
document.getElementById('filter-op').value = op;
document.getElementById('filter-value').value = value;
var start = performance.now();
window.actionPage.filter();
requestAnimationFrame(function () { done(performance.now() - start); });
"""
EDIT = """
var done = arguments[arguments.length - 1], path = arguments[0], value = arguments[1];
var input = document.querySelector("#panel input[data-path='" + path + "']");
input.value = value;
var start = performance.now();
input.dispatchEvent(new Event('input'));
input.dispatchEvent(new Event('change'));
requestAnimationFrame(function () { done(performance.now() - start); });
"""
PATCH = """
var start = performance.now();
var text = window.actionPage.patch();
return [performance.now() - start, text.length];
"""


def first_and_median(browser, script, *arguments_of_run):
    """(the first run's milliseconds, the median of all runs): the first run fills what the
    page keeps per action (texts to search, figures), later ones find it."""
    times = [browser.execute_async_script(script, *arguments) for arguments in arguments_of_run]
    return times[0], statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--actions", type=int, default=20000)
    parser.add_argument("--screenshot")
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="page-timings-")
    browser = None
    try:
        source, actions, page = (os.path.join(folder, name)
                                 for name in ("big.json", "big.gz", "big.html"))
        big_set_of(args.actions, source)
        names = os.path.join(SOURCE, "examples", "names.json")
        for command in (["import", source, actions], ["html", "--names", names, actions, page]):
            subprocess.check_call([ACTIONTOOL] + command, stdout=subprocess.DEVNULL)
        browser = start_browser()
        browser.set_script_timeout(60)
        browser.get("file://" + page)
        load = browser.execute_script(
            "return performance.getEntriesByType('navigation')[0].loadEventEnd;")
        print("%d actions, page of %.1f MB, loaded in %.0f ms"
              % (args.actions, os.path.getsize(page) / 1e6, load))
        filters = (("by a column (damage > 50.5)", ("damage", ">", "50.5", "")),
                   ("by a name (elements contains fire)", ("elements", "contains", "fire", "")),
                   ("by free text over every column", ("name", "=", "", "a1999")))
        print("%-46s %8s %8s" % ("ms, painted (%d runs)" % RUNS, "first", "median"))
        for label, arguments in filters:
            print("filter %-39s %8.1f %8.1f"
                  % ((label,) + first_and_median(browser, FILTER, *([arguments] * RUNS))))
        first_and_median(browser, FILTER, ("name", "=", "", ""))
        browser.execute_script("window.actionPage.choose(arguments[0]);", args.actions // 2)
        edits = (("a detail's base", [("details.0.body.base", str(n)) for n in range(RUNS)]),
                 ("the name", [("name", "renamed %d" % n) for n in range(RUNS)]))
        for label, runs in edits:
            print("edit of %-38s %8.1f %8.1f"
                  % ((label + ", in table and charts",) + first_and_median(browser, EDIT, *runs)))
        took, size = browser.execute_script(PATCH)
        print("the patch of those edits (Save changes) %6.1f ms, %d bytes" % (took, size))
        if args.screenshot:
            example = os.path.join(folder, "example.gz")
            example_page = os.path.join(folder, "example.html")
            for command in (["import", os.path.join(SOURCE, "examples", "actions.json"),
                             example], ["html", "--names", names, example, example_page]):
                subprocess.check_call([ACTIONTOOL] + command, stdout=subprocess.DEVNULL)
            browser.get("file://" + example_page)
            browser.execute_script("window.actionPage.choose(6);")
            browser.execute_async_script(EDIT, "details.0.body.base", "12")
            browser.execute_script(
                "var input = document.querySelector(\"#panel input[data-path='levelAcquired']\");"
                "input.value = '300'; input.dispatchEvent(new Event('input')); input.focus();")
            browser.save_screenshot(args.screenshot)
            print("screenshot: %s" % args.screenshot)
    finally:
        if browser is not None:
            browser.quit()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()

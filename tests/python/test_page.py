"""The page that `actiontool html` writes, read as its script reads it (no browser): the data
it embeds stays JSON whatever the texts hold, and carries the base's document form. The page
in a real browser is tests/browser/test_page.py."""
from __future__ import print_function, division

import io
import json
import os
import re
import shutil
import sys
import tempfile
import unittest

SOURCE_DIR = os.environ.get("QN4T_SOURCE_DIR") or os.path.dirname(os.path.dirname(
    os.path.dirname(os.path.abspath(__file__))))
if os.path.join(SOURCE_DIR, "tools") not in sys.path:
    sys.path.append(os.path.join(SOURCE_DIR, "tools"))

from actionfile import cli  # noqa: E402 (after the path is set)

# Texts that open or close markup, or end a line inside a script on some hosts.
HOSTILE = [u"<!--", u"</script>", u"<script>alert(1)</script>", u"]]>", u"--><!--",
           u"\u2028\u2029", u"a & b <\\/ c", u"Ember <!-- Lance --> </script><b>bold</b> \u00e9",
           u"</style><!--<script>"]


def run_tool(*args):
    """The tool's main function run here; fails on a non-zero status."""
    saved = sys.stdout, sys.stderr
    sys.stdout, sys.stderr = io.BytesIO(), io.BytesIO()
    try:
        status = cli.main(list(args))
        err = sys.stderr.getvalue()
    finally:
        sys.stdout, sys.stderr = saved
    if status != 0:
        raise AssertionError("actiontool %s: %s" % (" ".join(args), err.decode("utf-8")))


class EmbeddedData(unittest.TestCase):

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="actiontool-page-")
        self.addCleanup(shutil.rmtree, self.folder, True)

    def page_of(self, actions, title="hostile"):
        """(the page's text, its <script> elements' contents) for a JSON list of actions."""
        source = os.path.join(self.folder, title + ".json")
        with io.open(source, "w", encoding="utf-8") as stream:
            # "format" first, as export writes it (a dict keeps no order on Python 2)
            stream.write(u'{"format": 2, "actions": %s}'
                         % json.dumps(actions, ensure_ascii=False))
        packed = os.path.join(self.folder, title + ".gz")
        page = os.path.join(self.folder, title + ".html")
        run_tool("import", source, packed)
        run_tool("html", packed, page)
        with io.open(page, encoding="utf-8") as stream:
            html = stream.read()
        return html, re.findall(r"<script[^>]*>(.*?)</script>", html, re.S)

    def test_texts_that_look_like_markup_leave_the_embedded_json_intact(self):
        actions = [{"actionID": number, "actionType": 2, "name": text, "desc": text[::-1],
                    "spellCode": u"<!--"[:4]} for number, text in enumerate(HOSTILE)]
        html, scripts = self.page_of(actions, "hostile <title>")
        self.assertEqual(len(scripts), 2)  # no text opened or closed an element
        data = scripts[0]
        for character in (u"<", u">", u"&", u"\u2028", u"\u2029"):
            self.assertNotIn(character, data)
        base = json.loads(data)["base"]
        self.assertEqual([(a["name"], a["desc"], a["spellCode"]) for a in base],
                         [(t, t[::-1], u"<!--") for t in HOSTILE])
        self.assertIn(u"<title>hostile &lt;title&gt;.gz</title>", html)

    def test_the_page_carries_the_base_and_names_it_by_its_actions(self):
        first = [{"actionID": 7, "name": u"a", "details": [
            {"header": {"type": 2}, "body": {"duration": 3}, "stats": [{"stat": 2}]}]}]
        second = [dict(first[0], name=u"b")]
        _, one = self.page_of(first, "one")
        _, again = self.page_of(first, "again")
        _, other = self.page_of(second, "other")
        one, again, other = (json.loads(s[0]) for s in (one, again, other))
        self.assertEqual(one["base"][0]["details"][0]["stats"], [{"stat": 2, "modAmt": 0}])
        self.assertEqual(one["digest"], again["digest"])  # kept edits find their page
        self.assertNotEqual(one["digest"], other["digest"])


if __name__ == "__main__":
    unittest.main()

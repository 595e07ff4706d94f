"""The page that `actiontool html` and the package's write_page write, read as its script reads
it (no browser): the data it embeds stays JSON whatever the texts hold, and carries the base's
document form; written as the file is read, it is byte for byte the page made from the whole
list of actions at once. The page in a real browser is tests/browser/test_page.py."""
from __future__ import print_function, division

import gzip
import hashlib
import io
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = os.environ.get("QN4T_SOURCE_DIR") or os.path.dirname(os.path.dirname(
    os.path.dirname(os.path.abspath(__file__))))
if os.path.join(SOURCE_DIR, "tools") not in sys.path:
    sys.path.append(os.path.join(SOURCE_DIR, "tools"))

from actionfile import cli  # noqa: E402 (after the path is set)
import qn4tGenericActionLoader as q  # noqa: E402
from qn4tGenericActionLoader import page  # noqa: E402

# Texts that open or close markup, or end a line inside a script on some hosts.
HOSTILE = [u"<!--", u"</script>", u"<script>alert(1)</script>", u"]]>", u"--><!--",
           u"\u2028\u2029", u"a & b <\\/ c", u"Ember <!-- Lance --> </script><b>bold</b> \u00e9",
           u"</style><!--<script>"]


def tool(*args):
    """(exit status, stderr) of the tool's main function run here."""
    saved = sys.stdout, sys.stderr
    sys.stdout, sys.stderr = io.BytesIO(), io.BytesIO()
    try:
        status = cli.main(list(args))
        err = sys.stderr.getvalue()
    finally:
        sys.stdout, sys.stderr = saved
    return status, err.decode("utf-8")


def run_tool(*args):
    """The tool's main function run here; fails on a non-zero status."""
    status, err = tool(*args)
    if status != 0:
        raise AssertionError("actiontool %s: %s" % (" ".join(args), err))


def whole_list_page(actions, names, title):
    """The page as it was written before it streamed, the reference the streamed page must
    equal byte for byte: every action's form held in one list, the digest and the whole data
    each made one text by embedded_json."""
    forms = [action.to_dict() for action in actions]
    data = page.data_besides_base(
        hashlib.sha256(page.embedded_json(forms).encode("ascii")).hexdigest(), names, title)
    data["base"] = forms
    before, after = page.page_around_data(title)
    return (before + page.embedded_json(data) + after).encode("utf-8")


def first_difference(one, other):
    """None when the bytes are the same, else where they part and what each holds there."""
    if one == other:
        return None
    at = next((k for k, (a, b) in enumerate(zip(one, other)) if a != b), min(len(one), len(other)))
    return "differ at byte %d of %d/%d: %r / %r" % (at, len(one), len(other), one[at - 40:at + 40],
                                                   other[at - 40:at + 40])


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


# Texts that JSON, HTML or the escaping could trip on: markup, quotes and backslashes, control
# and zero bytes, DEL, U+2028/U+2029, characters past U+FFFF, and bytes that are not UTF-8
# (the form holds those as {"hex": ...}).
ODD_TEXTS = HOSTILE + [u'say "hi" \\ back\\slash', u"tab\there\nline\r\b\f\x00zero\x01\x1f",
                       u"del\x7f and \u0080\u00ff\u07ff\u0800\uffff", u"\U0001F600 \U0010FFFF",
                       {"hex": "ff00e2"}, {"hex": "c0af"}, {"hex": "eda080"}, u""]
ENTRIES_PAST_A_BLOCK = 40000  # stat entries of one action whose text spans several blocks


def odd_actions():
    """Actions of the odd texts, spell codes of every shape and details of every kind."""
    codes = [u"AB", u"ABCD", u"<!--", u"\u00e9", {"hex": "ff000000"}, {"hex": "41004200"}, u""]
    actions = []
    for number, text in enumerate(ODD_TEXTS):
        actions.append({"actionID": number, "actionType": 2, "name": text, "desc": text,
                        "foo": u"&", "spellCode": codes[number % len(codes)],
                        "spellCost": number, "validClasses": 4294967295,
                        "details": [{"header": {"type": 1}, "body": {"base": -32768}}]})
    actions.append({"actionID": 4294967295, "bar": {"hex": "80"}, "details": [
        {"header": {"type": 9}, "body": {"hex": "0102ff"}},
        {"header": {"type": 2}, "body": {"duration": 3}, "stats": []},
        {"header": {"type": 3}, "body": {"base": 7}},
        {"header": {"type": 2}, "body": {}, "stats": [{"stat": 2, "modAmt": -3}]}]})
    return actions


def generated_actions(folder, count):
    """The path of a file of count realistic actions, as the benchmarks make them."""
    path = os.path.join(folder, "generated.gz")
    subprocess.check_call([sys.executable, os.path.join(SOURCE_DIR, "bench", "generate_actions.py"),
                           path, str(count)], stdout=subprocess.PIPE)
    return path


class StreamedPage(unittest.TestCase):
    """The page written as the file is read (actiontool html, write_page from objects or from
    page_blocks) against the page made from the whole list at once."""

    NAMES = {"codes": {"elemType": {"0": "physical", "1": "fire"}}, "bits": {}}

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="actiontool-page-")
        self.addCleanup(shutil.rmtree, self.folder, True)

    def file_of(self, forms, name):
        path = os.path.join(self.folder, name)
        q.write_actions(path, [q.Action.from_dict(form) for form in forms])
        return path

    def names_file(self):
        path = os.path.join(self.folder, "names.json")
        with io.open(path, "w", encoding="utf-8") as stream:
            stream.write(u"%s" % json.dumps({"codes": self.NAMES["codes"]}))
        return path

    def test_the_streamed_page_is_the_whole_list_page_byte_for_byte(self):
        stats = [{"stat": k % 65536, "modAmt": k % 200 - 100} for k in range(ENTRIES_PAST_A_BLOCK)]
        # a body of that many entries is longer than its length field holds: a length is given
        many_entries = [{"actionID": 5, "details": [
            {"header": {"type": 2, "length": 65535}, "body": {}, "stats": stats}]}]
        cases = [
            # (what, the action file, the tool's --names or None)
            ("generated", generated_actions(self.folder, 3000), None),
            ("generated, with names", generated_actions(self.folder, 300), self.names_file()),
            ("odd texts and details", self.file_of(odd_actions(), "odd.gz"), None),
            ("a title to escape", self.file_of(odd_actions()[:2], 'a <b> & "c".gz'), None),
            ("one action over blocks", self.file_of(many_entries, "entries.gz"), None),
            ("no action", self.file_of([], "none.gz"), None),
        ]
        for what, path, names_path in cases:
            names = self.NAMES if names_path else None
            title = os.path.basename(path)
            expected = whole_list_page(q.read_actions(path), names, title)
            out = os.path.join(self.folder, "page.html")
            run_tool(*(["html", path, out] + (["--names", names_path] if names_path else [])))
            with open(out, "rb") as stream:
                written = {"actiontool html": stream.read()}
            for made_from in ("objects", "blocks"):
                sink = io.BytesIO()
                with open(path, "rb") as source:
                    blocks = q.page_blocks(q.inflating(source)) if made_from == "blocks" else None
                    count = q.write_page(sink, q.read_actions(path), names, title, blocks)
                self.assertEqual(count, len(list(q.read_actions(path))), (what, made_from))
                if made_from == "blocks" and blocks.digest is not None:  # made natively
                    with open(path, "rb") as source:
                        base = b"[" + b"".join(q.page_blocks(q.inflating(source))) + b"]"
                    self.assertEqual(blocks.digest, hashlib.sha256(base).hexdigest(), what)
                written["write_page from " + made_from] = sink.getvalue()
            for writer, page_bytes in sorted(written.items()):
                self.assertIsNone(first_difference(page_bytes, expected), (what, writer))

    def test_a_page_that_cannot_be_made_leaves_nothing_and_says_why(self):
        good = self.file_of(odd_actions(), "good.gz")
        with open(good, "rb") as stream:
            whole = gzip.GzipFile(fileobj=stream).read()
        damaged = os.path.join(self.folder, "damaged.gz")
        with gzip.open(damaged, "wb") as stream:
            stream.write(whole[:len(whole) - 3])  # the last action cut short
        missing = os.path.join(self.folder, "no such folder", "page.html")
        cases = [
            # (input, output, phrase of the message)
            (damaged, "page.html", "damaged.gz: damaged: "),
            (damaged, missing, "damaged.gz: damaged: "),  # the input's fault is told first
            (damaged, damaged, "damaged.gz: damaged: "),
            (good, good, "good.gz"),
            (good, missing, "cannot write " + missing),
        ]
        for source, target, phrase in cases:
            target = os.path.join(self.folder, target)
            status, err = tool("html", source, target)
            self.assertEqual(status, 1, (source, target, err))
            self.assertIn(phrase, err, (source, target))
            if "damaged" in phrase:
                self.assertTrue(err.rstrip().endswith("(nothing written)"), err)
            self.assertEqual(os.path.exists(target), target in (damaged, good), (source, target))
            self.assertEqual(sorted(os.listdir(self.folder)), ["damaged.gz", "good.gz"])


if __name__ == "__main__":
    unittest.main()

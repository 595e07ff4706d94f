"""Hostile documents, tables and patches: each is read in bounded time and refused where it
goes wrong, in words and with the command's status, alike on both hosts."""
from __future__ import print_function, division

import io
import json
import os
import sys
import unittest

import qn4tGenericActionLoader as q
from test_actiontool import ToolTestCase, action, damage

PY2 = sys.version_info[0] == 2
DIGITS = 5000  # more than any host reads as an integer (Python 3's default limit is 4300)


class _Watched(object):
    """A byte stream that notes, at each read, how much text the reader holds."""

    def __init__(self, data):
        self.stream = io.BytesIO(data)
        self.source = None
        self.most_held = 0

    def read(self, size):
        if self.source is not None:
            self.most_held = max(self.most_held, len(self.source._text))
        return self.stream.read(size)


class WhiteSpaceTest(unittest.TestCase):
    """White space before, between and after actions is stepped over without being kept: the
    text held stays near one piece, so that the time is linear in the document's size."""

    def test_runs_of_white_space_are_not_held(self):
        run = b" \n\t" * (1 << 19)  # 1.5 MB
        action_text = b'{"actionID": 1}'
        cases = [
            ("before the first action", b'{"format": 2, "actions": [' + run + action_text +
             b"]}"),
            ("between two actions", b'{"format": 2, "actions": [' + action_text + b"," + run +
             action_text + b"]}"),
            ("around a comma", b'{"format": 2, "actions": [' + action_text + run + b"," + run +
             action_text + b"]}"),
            ("before the document's end", b'{"format": 2, "actions": [' + action_text + b"]}" +
             run),
            ("before the list", b'{"format": 2, "actions": ' + run + b"[" + action_text +
             b"]}"),
        ]
        for title, document in cases:
            stream = _Watched(document)
            source = q.JsonSource(stream, "doc.json")
            stream.source = source
            ids = [values["actionID"] for _, values in source]
            self.assertTrue(ids and set(ids) == set([1]), title)
            self.assertLess(stream.most_held, 1 << 18, title)


def nested(depth):
    return u"[" * depth + u"]" * depth


class ToolRefusalTest(ToolTestCase):
    def document(self, actions_text):
        return self.json_file(u'{"format": 2, "actions": [\n' + actions_text + u"\n]}")

    def test_deep_nesting_is_refused_in_words(self):
        mine = self.action_file(action(1), "mine.gz")
        for depth in (985, 5000, 100000):
            deep = nested(depth)
            cases = [
                # (arguments, status)
                (["import", self.document(u'{"actionID": 1, "name": %s}' % deep),
                  self.path("out.gz")], 1),
                (["check", self.document(u'{"actionID": 1, "details": [%s]}' % deep)], 1),
                (["patch", mine, self.json_file(
                    u'{"changes": [{"change": "changed", "actionID": 1, "fields": [{"path": '
                    u'["name"], "old": "Spark", "new": %s}]}]}' % deep, "p.json"),
                  self.path("out.gz")], 2),
                (["patch", mine, self.json_file(
                    u'{"changes": [{"change": "added", "actionID": 1, "to": 0, "action": '
                    u'{"actionID": 1, "name": %s}}]}' % deep, "p.json"), self.path("out.gz")],
                 2),
            ]
            for args, status in cases:
                got, _, err = self.run_tool(*args)
                self.assertEqual(got, status, (depth, args[0], err))
                self.assertIn("deep", err, (depth, args[0]))
                self.assertNotIn("Traceback", err)
                self.assertFalse(os.path.exists(self.path("out.gz")))

    def test_deep_nesting_in_a_process_of_its_own(self):
        """A process of its own has a shallow stack: 985 levels pass the JSON decoder there
        and reach what comes after it."""
        mine = self.action_file(action(1), "mine.gz")
        deep = nested(985)
        cases = [
            (["import", self.document(u'{"actionID": 1, "name": %s}' % deep),
              self.path("out.gz")], 1),
            (["patch", mine, self.json_file(
                u'{"changes": [{"change": "changed", "actionID": 1, "fields": [{"path": '
                u'["name"], "old": "Spark", "new": %s}]}]}' % deep, "p.json"),
              self.path("out.gz")], 2),
        ]
        for args, status in cases:
            got, _, err = self.run_process(*args)  # which fails on a traceback
            self.assertEqual(got, status, (args[0], err[-300:]))
            self.assertFalse(os.path.exists(self.path("out.gz")))

    def test_long_integers_are_refused_where_they_stand(self):
        long_number = u"9" * DIGITS
        rest = u",\n".join(u'{"actionID": %d}' % n for n in range(2, 2000))
        cases = [
            # (document text, the place)
            (u'{"actionID": 1,\n "levelAcquired": %s},\n%s' % (long_number, rest),
             u"line 3, column 19"),
            (u'{"actionID": -%s},\n%s' % (long_number, rest), u"line 2, column 14"),
            (u'{"actionID": 1, "details": [{"header": {"type": 2}, "stats": [{"stat": 1, '
             u'"modAmt": %s}]}]}' % long_number, u"line 2, column 85"),
        ]
        for text, place in cases:
            source = self.document(text)
            for args in (["import", source, self.path("out.gz")], ["check", source]):
                status, _, err = self.run_tool(*args)
                self.assertEqual(status, 1, (args, err))
                self.assertIn(place + u": an integer of %d digits" % DIGITS, err, args)
        fine = self.document(u'{"actionID": 1, "name": "%s", "levelAcquired": 1}'
                             % long_number)
        self.assertEqual(self.run_tool("check", fine)[0], 0)  # digits in a text are a text

    def test_the_documents_own_members_follow_the_rules(self):
        cases = [
            # (document text, phrase of the refusal)
            (u'{"format": 2, "format": 2, "actions": []}',
             u'line 1, column 15: the key "format" is given twice'),
            (u'{"format": 2.0, "actions": []}', u"format 2.0 is not one this tool reads"),
            (u'{"format": true, "actions": []}', u"format true is not one"),
            (u'{"format": "2", "actions": []}', u'format "2" is not one'),
        ]
        for text, phrase in cases:
            source = self.json_file(text)
            status, _, err = self.run_tool("import", source, self.path("out.gz"))
            self.assertEqual(status, 1, text)
            self.assertIn(phrase, err, text)
        self.assertEqual(self.run_tool("check", self.json_file(
            u'{"format": 2, "actions": []}'))[0], 0)


class PatchAddedTest(ToolTestCase):
    """An "added" change is the action it names, placed by "to": anything else is refused
    before a file is touched, the same on both hosts."""

    CASES = [
        # (the change, phrase of the refusal)
        ({"change": "added", "actionID": 5, "to": 1, "action": {"actionID": 6}},
         "the added action carries the actionID the change names (5), not 6"),
        ({"change": "added", "actionID": 5, "to": 1, "action": {}},
         "the added action carries the actionID the change names (5), not 0"),
        ({"change": "added", "actionID": 5, "action": {"actionID": 5}},
         '"added" change has "to", its place in the new set, not (none)'),
        ({"change": "added", "actionID": 5, "to": 1},
         'an "added" change carries its "action", not (none)'),
        ({"change": "moved", "actionID": 1, "position": 0},
         '"moved" change has "to", its place in the new set, not (none)'),
    ]

    def test_changes_that_do_not_hold_together_are_refused(self):
        mine = self.action_file(action(1), "mine.gz")
        for change, phrase in self.CASES:
            with self.assertRaises(ValueError) as raised:
                q.Patch.from_dict({"changes": [change]})
            self.assertIn(phrase, str(raised.exception))
            patch = self.json_file(u"%s" % json.dumps({"changes": [change]}), "p.json")
            status, _, err = self.run_tool("patch", mine, patch, self.path("out.gz"))
            self.assertEqual(status, 2, change)
            self.assertIn(phrase, err, change)
            self.assertFalse(os.path.exists(self.path("out.gz")))

    def test_a_patch_that_diff_wrote_still_applies(self):
        old = [q.Action(actionID=1, name=u"One")]
        new = old + [q.Action(actionID=2, name=u"Two")]
        patch = q.Patch.from_dict(json.loads(json.dumps(q.diff_actions(old, new).to_dict())))
        self.assertEqual(q.apply_patch(old, patch).actions, new)


class CsvRefusalTest(ToolTestCase):
    def exported(self):
        folder = self.path("csv")
        os.mkdir(folder)
        source = self.action_file(action(1, b"Spark", details=[damage()]) + action(2, b"Rest"))
        self.run_tool("export", "--csv", folder, source)
        return folder

    def edit(self, folder, name, change):
        path = os.path.join(folder, name)
        with open(path, "rb") as stream:
            data = stream.read()
        with open(path, "wb") as stream:
            stream.write(change(data))

    def test_tables_that_do_not_read_as_they_were_written_are_refused(self):
        cases = [
            # (title, file, change of its bytes, phrase of the refusal)
            ("a quote never closed", "actions.csv",
             lambda data: data.replace(b",Spark,", b',"Spark,'),
             "actions.csv row 2: a quoted cell is never closed"),
            ("a column named twice", "details.csv",
             lambda data: data.replace(b"\n", b",die\n", 1),
             "details.csv row 1 column"),
            ("a cell that is not UTF-8", "actions.csv",
             lambda data: data.replace(b",Spark,", b",Sp\xe9rk,"),
             "actions.csv row 2 column name: not UTF-8 text"),
            ("a number of 5000 digits", "actions.csv",
             lambda data: data.replace(b"\n1,", b"\n" + b"9" * DIGITS + b",", 1),
             "actions.csv row 3 column action_no: an integer of %d digits" % DIGITS),
        ]
        for title, name, change, phrase in cases:
            folder = self.exported()
            self.edit(folder, name, change)
            for args in (["import", "--csv", folder, "--dry-run"],
                         ["import", "--csv", folder, self.path("out.gz")]):
                status, _, err = self.run_tool(*args)
                self.assertEqual(status, 1, (title, err))
                self.assertIn(phrase, err, title)
            with self.assertRaises(ValueError):
                q.from_csv(folder)
            for leftover in os.listdir(self.tmpdir):
                self.assertNotEqual(leftover, "out.gz")
            os.remove(os.path.join(folder, name))
            os.rmdir(folder) if not os.listdir(folder) else None
            import shutil
            shutil.rmtree(folder, True)


if __name__ == "__main__":
    unittest.main()

"""Messages that hold any text: a file name that is not UTF-8, a lone surrogate from JSON,
non-ASCII text in a refusal. The tool and the package report each in their own words, alike on
both hosts, with what has no UTF-8 form escaped, never a UnicodeError of their own."""
from __future__ import print_function, division

import io
import json
import os
import sys
import unittest
import warnings

import qn4tGenericActionLoader as q
from qn4tGenericActionLoader import _form, _message
from test_actiontool import ToolTestCase, action, damage

PY2 = sys.version_info[0] == 2


def os_name(data):
    """A file name given as bytes, as this host's argv holds it."""
    return data if PY2 else os.fsdecode(data)


class MessageTextTest(unittest.TestCase):
    def test_text_without_a_utf8_form_is_escaped_and_the_rest_kept(self):
        cases = [
            # (part of a message, its bytes when written)
            (u"Caf\u00e9", b"Caf\xc3\xa9"),
            (b"Caf\xc3\xa9", b"Caf\xc3\xa9"),
            (b"caf\xe9.gz", b"caf\\xe9.gz"),               # a Latin-1 file name as bytes
            (u"caf\udce9.gz", b"caf\\xe9.gz"),             # the same as Python 3 gives it
            (u"x\ud800y", b"x\\ud800y"),                   # a lone surrogate from JSON
            (u"\udfff", b"\\udfff"),
            (ValueError(u"\u00e9t\u00e9"), b"\xc3\xa9t\xc3\xa9"),
            (12, b"12"),
        ]
        for part, expected in cases:
            self.assertEqual(_message.message_bytes(part), expected, repr(part))

    def test_formatted_mixes_byte_and_unicode_parts_on_both_hosts(self):
        text = _message.formatted("%s: %s (%d)", b"caf\xe9.json", u"\u00e9t\u00e9", 3)
        self.assertIsInstance(text, str)
        self.assertEqual(_message.message_bytes(text), b"caf\\xe9.json: \xc3\xa9t\xc3\xa9 (3)")


class FormErrorTest(unittest.TestCase):
    def test_from_dict_raises_its_form_error_for_non_ascii_values(self):
        cases = [
            # (the dict, phrase of the message as UTF-8 bytes)
            ({"actionID": u"\u00e9"}, b'actionID: expected an integer, found "\xc3\xa9"'),
            ({u"n\u00e4me": 1}, b"n\xc3\xa4me: unknown field"),
            ({"name": u"\ud800"}, b"name: the string has no UTF-8 form"),
            ({u"\ud800": 1}, b"\\ud800: unknown field"),
        ]
        for values, phrase in cases:
            with self.assertRaises(_form.FormError) as raised:
                q.Action.from_dict(values)
            self.assertIn(phrase, _message.message_bytes(str(raised.exception)), repr(values))

    def test_a_note_with_non_ascii_text_is_a_warning(self):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            q.Action.from_dict({"name": u"Caf\u00e9", "nameLen": 9}, earlier_form=True)
        self.assertEqual(len(caught), 1)
        self.assertIn("padded", str(caught[0].message))


class ToolMessagesTest(ToolTestCase):
    """Every command reports such text in its own words and with its own status."""

    def spell_file(self, name):
        return self.action_file(action(1, b"Spark", details=[damage()]), name)

    def test_file_names_that_are_not_ascii_or_not_utf8(self):
        for raw in (b"caf\xc3\xa9.gz", b"caf\xe9.gz"):
            source = self.spell_file(os_name(raw))
            shown = _message.message_text(raw)
            cases = [
                # (arguments, status, phrase on stdout or stderr)
                (["check", source], 0, shown + u": ok"),
                (["export", source, self.path("out.json")], 0, u"1 action exported"),
                (["html", source, self.path("page.html")], 0, u"1 action on the page"),
                (["dump", source], 0, u"totals"),
                (["diff", source, source], 0, u"the same"),
                (["check", source + os_name(b".missing")], 1,
                 shown + u".missing: No such file"),
                (["import", source, self.path("x.gz")], 1, shown + u": not UTF-8 text"),
            ]
            for args, status, phrase in cases:
                got, out, err = self.run_tool(*args)
                self.assertEqual(got, status, (raw, args, err))
                self.assertIn(phrase, out + err, (raw, args))

    def test_names_files_with_non_ascii_fields_and_names(self):
        source = self.spell_file("spells.gz")
        for raw in (b"n\xc3\xa9.json", b"n\xe9.json"):
            cases = [
                # (names file, status, phrase)
                (u'{"codes": {"b\u00e9": {}}}', 1, u": codes.b\u00e9: not an integer field"),
                (u'{"codes": {"elemType": {"\u00e9": "x"}}}', 1,
                 u'codes.elemType: "\\u00e9" is not a whole number'),
                (u'{"codes": {"elemType": {"1": "a\\ud800"}}}', 1,
                 u"codes.elemType.1: the name has no UTF-8 form"),
                (u'{"codes": {"elemType": {"1": "f\u00eate"}}}', 0, u"totals"),
            ]
            for document, status, phrase in cases:
                names = self.json_file(document, os_name(raw))
                got, out, err = self.run_tool("dump", "--names", names, source)
                self.assertEqual(got, status, (raw, document, err))
                self.assertIn(phrase, out + err, (raw, document))
                if status:
                    self.assertIn(_message.message_text(raw) + u":", err)

    def test_an_sql_statement_that_is_not_utf8(self):
        """Python 2 hands its bytes to SQLite, which takes them; Python 3 cannot: refused."""
        source = self.spell_file("spells.gz")
        status, out, err = self.run_tool("sql", source, "SELECT 1 AS " + os_name(b"x\xe9"))
        if PY2:
            self.assertEqual((status, out.split()[0]), (0, u"x\\xe9"))
        else:
            self.assertEqual(status, 1)
            self.assertIn(u"the statement is not UTF-8 text: SELECT 1 AS x\\xe9", err)

    def test_json_texts_are_quoted_in_refusals_as_they_are_or_escaped(self):
        cases = [
            # (document text, phrase of the refusal)
            (u'{"format": 2, "actions": [\n{"actionID": 1, "name": "Caf\u00e9",}]}',
             u'"name": "Caf\u00e9",}]}'),
            (u'{"format": 2, "actions": [{"actionID": "\u00e9"}]}',
             u'actionID: expected an integer, found "\u00e9"'),
            (u'{"format": 2, "actions": [{"actionID": 1, "name": "\\ud800"}]}',
             u"name: the string has no UTF-8 form"),
            (u'{"format": 2, "actions": [{"actionID": 1, "\\ud800": 1}]}',
             u"actions[0] (actionID 1): \\ud800: unknown field"),
            (u'{"format": 2, "actions": [{"actionID": 1, "\u00e9": 1, "\u00e9": 2}]}',
             u'the key "\u00e9" is given twice'),
            (u'{"format": 2, "\u00e9": []}', u'unknown member "\u00e9"'),
        ]
        for document, phrase in cases:
            source = self.json_file(document)
            for command in (["import", source, self.path("out.gz")], ["check", source]):
                status, _, err = self.run_tool(*command)
                self.assertEqual(status, 1, (document, command))
                self.assertIn(phrase, err, (document, command))
                self.assertFalse(os.path.exists(self.path("out.gz")))

    def test_patch_values_without_a_utf8_form_are_refused_in_words(self):
        mine = self.action_file(action(1), "mine.gz")
        cases = [
            u'{"changes": [{"change": "changed", "actionID": 1, "fields": [{"path": '
            u'["name"], "old": "Spark", "new": "\\ud800"}]}]}',
            u'{"changes": [{"change": "changed", "actionID": 1, "fields": [{"path": '
            u'["\\ud800"], "new": 1}]}]}',
            u'{"changes": [{"change": "changed", "actionID": 1, "fields": [{"path": '
            u'["levelAcquired"], "old": "\u00e9", "new": 1}]}]}',
        ]
        for document in cases:
            status, out, err = self.run_tool("patch", mine, self.json_file(document, "p.json"),
                                             self.path("out.gz"))
            self.assertIn(status, (1, 2), document)
            self.assertTrue(err.strip(), document)


if __name__ == "__main__":
    unittest.main()

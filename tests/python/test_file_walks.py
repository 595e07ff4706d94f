"""The package's native walks (check_file, dump_text, write_dump): dump's text against a
listing made in Python from the Action objects, and the facts of a damaged file's FileDamage
against the words check prints."""
from __future__ import print_function, division

import io
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_actiontool as tool  # noqa: E402 (after the path is set)
from test_actiontool import (  # noqa: E402
    DETAIL_HEADER, HEAD, SPELL, STATMOD, action, damage, damaged_cases, detail, generated_file,
    gzipped, healing, statmod)
from actionfile import module  # noqa: E402
from actionfile.layout import Layout  # noqa: E402
from actionfile.names import Names  # noqa: E402

q = module.load()


# ---- the reference: dump's listing made in Python from the Action objects ------------------

def _byte_shown(byte):
    return chr(byte) if 32 <= byte < 127 and byte != 34 else "\\x%02x" % byte


def shown(data):
    text = q.text_form(data)
    if isinstance(text, dict):
        return '"%s"' % "".join(_byte_shown(b) for b in bytearray(data))
    return '"%s"' % "".join(c if 32 <= ord(c) != 127 and c != '"' else _byte_shown(ord(c))
                            for c in text)


def named(names, field, value):
    name = names.name(field, value) if names else None
    return "%d(%s)" % (value, name) if name else "%d" % value


def reference_listing(layout, actions, names=None):
    """The bytes dump lists for the Action objects, a line at a time as it always has."""
    lines = []
    for number, a in enumerate(actions, 1):
        line = "#%d id %d %s type %s level %d target %s range %d" % (
            number, a.actionID, shown(module.module_bytes(a.name).split(b"\0", 1)[0]),
            named(names, "actionType", a.actionType), a.levelAcquired,
            named(names, "targetType", a.targetType), a.range)
        if layout.is_spell(a.actionType):
            line += " spell %s cost %d path %d" % (
                shown(module.module_bytes(a.spellCode).rstrip(b"\0")), a.spellCost, a.spellPath)
        lines.append(line)
        for n, d in enumerate(a.details, 1):
            kind = layout.kinds.get(d.type)
            if kind is None:
                lines.append("    %d. unknown type %d: %d body bytes skipped" % (n, d.type, d.length))
                continue
            values = ["%s=%s" % (f, named(names, f, v)) for f, v in kind.shape.values(d.body) if v]
            lines.append("    %d. %s: %s" % (n, kind.title, " ".join(values) or "(all 0)"))
            if kind.has_stats and len(d.body.stats):
                lines.append("       stats " + " ".join(
                    "%s:%+d" % (named(names, "stat", e.stat), e.modAmt) for e in d.body.stats))
    return u"".join(line + u"\n" for line in lines).encode("utf-8")


NAMES = Names(codes={"elemType": {1: u"fire", 2: u"fr\u00f8st"}, "stat": {3: u"str", 5: u""},
                     "actionType": {2: u"spell"}},
              bits={"specFlag": {0: u"a"}, "saveType": {1: u"x"}, "targetType": {}})


class NativeDumpTest(tool.ToolTestCase):
    """dump_text gives the bytes of the listing made from the Action objects, with and
    without names, for texts at every edge of UTF-8 and for every kind of record."""

    CASES = tool.RoundTripTest.CRAFTED + tool.NativeExportTest.EDGES + [
        ("generated", generated_file(300, seed=11)),
        ("an unknown detail and lengths that differ", action(
            9, b"Odd", details=[detail(9, b"\x01\x02\x03"), damage(length=3),
                                statmod(((3, -2), (5, 1), (0, 0)), length=1)])),
        ("negative and all-zero values", action(
            10, details=[damage(0, 0, 0, 0, -5, -1, 0, 1, 3, 0, 0), healing(0, 0, 0, 0, 0, 0, 0),
                         statmod(((3, -32768), (65535, 32767)))])),
    ]

    def test_the_same_bytes_as_the_listing_of_the_objects(self):
        layout = Layout(q)
        for title, data in self.CASES:
            actions = list(q.read_actions(io.BytesIO(data), plain=True))
            for names in (None, NAMES):
                expected = reference_listing(layout, actions, names)
                walk = q.dump_text(io.BytesIO(gzipped(data)), names)
                self.assertEqual(b"".join(walk), expected, "%s, names %s" % (title, bool(names)))
                self.assertEqual(walk.report.counts.actions, len(actions), title)
                self.assertTrue(walk.report.ok, title)

    def test_an_action_of_many_entries_goes_out_in_blocks(self):
        entries = [(n % 7, -(n % 5)) for n in range(150000)]
        data = action(1, details=[statmod(entries, length=0), damage()]) + action(2)
        walk = q.dump_text(io.BytesIO(gzipped(data)))
        blocks = list(walk)
        self.assertGreater(len(blocks), 2)
        self.assertLess(max(len(block) for block in blocks), (1 << 18) + 200)
        actions = list(q.read_actions(io.BytesIO(data), plain=True))
        self.assertEqual(b"".join(blocks), reference_listing(Layout(q), actions))

    def test_write_dump_of_a_path_matches_the_tool(self):
        path = self.action_file(generated_file(40, seed=3))
        out = io.BytesIO()
        report = q.write_dump(out, path)
        status, printed, _ = self.run_tool("dump", path, binary=True)
        self.assertEqual(status, 0)
        self.assertEqual(printed, out.getvalue() + b"totals: " + printed.split(b"totals: ")[1])
        self.assertEqual((report.walked, report.total), (len(generated_file(40, seed=3)),) * 2)


# ---- damage as facts -----------------------------------------------------------------------

def facts_cases():
    """(title, uncompressed bytes, the facts expected of its FileDamage): each record in which
    an action can end, and an action too large to hold."""
    base = action(101, b"One", action_type=SPELL, spell=(b"AB\0\0", 1, 2),
                  details=[damage(), statmod()])
    spell = action(104, b"Four", action_type=SPELL, spell=(b"XY\0\0", 3, 4),
                   details=[statmod(((1, 2), (3, 4), (5, 6)))])
    texts_end = len(base) + HEAD.size + 4
    stats_at = texts_end + 8 + DETAIL_HEADER.size + 16
    limit = 1 << 24
    return [
        ("in the head", base + spell[:9],
         dict(reason="cut", action=2, action_id=None, record="head", field="range",
              detail=0, record_offset=len(base), present=9, offset=len(base))),
        ("in a text", base + spell[:HEAD.size + 2],
         dict(action_id=104, record="texts", field="name", present=2, spell=True,
              offset=len(base) + HEAD.size)),
        ("in the spell trailer", base + spell[:HEAD.size + 4 + 3],
         dict(record="spell trailer", field="spellCode", present=3, record_offset=texts_end,
              offset=len(base) + HEAD.size)),
        ("in a detail header", base + spell[:HEAD.size + 12 + 3],
         dict(record="detail header", field="length", detail=1, details=1, detail_type=None)),
        ("in a body", base + spell[:HEAD.size + 12 + 4 + 5],
         dict(record="detail body", field="durationExact", detail_type=STATMOD, size=16,
              present=5)),
        ("in the second stat entry", base + spell[:-7],
         dict(record="stat entries", field="stat", entries=3, size=12, present=5,
              record_offset=stats_at, offset=stats_at + 4)),
        ("an unknown body", base + action(106, details=[detail(9, b"\x01" * 6, length=100)]),
         dict(record="detail body", field="", detail_type=9, size=100, present=6)),
        ("too many stat entries to hold", action(
            7, details=[healing(), statmod((), count=limit + 1)]) + b"\0" * (4 * (limit + 1)),
         dict(reason="too large", action=1, action_id=7, record="stat entries",
              field="numStatMods", detail=2, entries=limit + 1, offset=0)),
    ]


class DamageFactsTest(tool.ToolTestCase):
    """check_file's FileDamage holds the decoder's facts, and its words are those check prints;
    read_actions and json_blocks give the same facts."""

    def test_facts_and_the_words_check_prints(self):
        for title, data, expected in facts_cases():
            path = self.action_file(data)
            report = q.check_file(path)
            facts = dict((name, getattr(report.damage, name)) for name in expected)
            self.assertEqual(facts, expected, title)
            status, _, err = self.run_tool("check", path)
            self.assertEqual(status, 1, title)
            self.assertIn("actions.gz: damaged: %s\n" % report.damage, err, title)
            for reader in (q.read_actions(io.BytesIO(data), plain=True),
                           q.json_blocks(io.BytesIO(data))):
                with self.assertRaises(q.DamagedFileError):
                    for _ in reader:
                        pass
                self.assertEqual(str(q.FileDamage(reader.damage)), str(report.damage), title)

    def test_every_damaged_case_of_the_tool_is_worded_from_the_facts(self):
        for title, data, compress, status, _ in damaged_cases():
            path = self.action_file(data, compressed=compress)
            report = q.check_file(path)
            code, out, err = self.run_tool("check", path)
            self.assertEqual(code, status, title)
            self.assertEqual(report.ok, status == 0, title)
            if report.damage is not None:
                self.assertIn("damaged: %s\n" % report.damage, err, title)
                self.assertIn("%d of %d bytes walked" % (report.walked, report.total), out, title)
            if report.compressed:
                self.assertIn(report.compressed, err, title)

    def test_check_findings_of_repeated_ids_and_lengths(self):
        data = b"".join(action(i % 7, b"D", details=[damage(length=24 + i % 3)])
                        for i in range(60))
        report = q.check_file(self.action_file(data))
        self.assertEqual((report.repeated_count, report.length_count), (53, 40))
        self.assertEqual(report.repeated_ids[:2], [(8, 0, 1), (9, 1, 2)])
        self.assertEqual(len(report.repeated_ids), 20)
        note = report.length_notes[0]
        self.assertEqual((note.action, note.action_id, note.detail, note.length, note.title,
                          note.size), (2, 1, 1, 25, "damage", 24))
        status, _, err = self.run_tool("check", self.action_file(data))
        self.assertIn("action #8 has the actionID 0 of action #1", err)
        self.assertIn("... and 33 more", err)

    def test_a_read_that_fails_keeps_the_report_up_to_it(self):
        first = action(101, details=[damage()])

        class Failing(io.BytesIO):
            def read(self, size=-1):
                if self.tell() >= len(first):
                    raise IOError(5, "no more")
                return io.BytesIO.read(self, min(size, len(first) - self.tell()))
        walk = q.FileWalk(Failing(first + action(102)))
        with self.assertRaises(IOError):
            for _ in walk:
                pass
        self.assertEqual((walk.report.counts.actions, walk.report.walked), (1, len(first)))


def block_iterators():
    """(title, make(stream), its refusal while running) of each native iterator that gives out
    a block of whole actions per step, over uncompressed bytes."""
    import _qn4tGenericActionSupport as native
    columns = tuple((table.name, tuple(c.path for c in table.columns))
                    for table in q.tables.schema())
    walk_busy = "_walk_actions iterator already executing"
    json_busy = "_export_json iterator already executing"
    return [
        ("dump's walk", lambda s: native._walk_actions(s, 1, 1), walk_busy),
        ("check's walk", lambda s: native._walk_actions(s, 1, 0), walk_busy),
        ("JSON text", lambda s: native._export_json(s, 1), json_busy),
        ("page's text", lambda s: native._page_json(s, 1), json_busy),
        ("table rows", lambda s: native._table_csv(s, 1, columns),
         "table rows iterator already executing"),
    ]


class BlockIteratorTest(unittest.TestCase):
    """Every block iterator gives out the complete actions first (check's walk only counts
    them), then what ended the reading: the damage, or the file's own exception from read(); then nothing more. One
    entered again from the file's read() refuses, naming itself."""

    WHOLE = action(1, details=[damage()]) + action(2, details=[statmod()])

    def endings(self):
        whole = self.WHOLE

        class Failing(io.BytesIO):
            def read(self, size=-1):
                if self.tell() >= len(whole):
                    raise IOError(5, "read failed")
                return io.BytesIO.read(self, min(size, len(whole) - self.tell()))
        return [
            ("cut", lambda: io.BytesIO(whole + action(3)[:20]), q.DamagedFileError),
            ("read() fails", lambda: Failing(whole + action(3)), IOError),
        ]

    def test_complete_actions_then_what_ended_the_reading(self):
        for title, make, _ in block_iterators():
            for ending, source, error in self.endings():
                name = "%s, %s" % (title, ending)
                reader = make(source())
                blocks_until(reader, error, name)
                self.assertEqual((reader.actions, reader.offset), (2, len(self.WHOLE)), name)
                self.assertEqual(list(reader), [], name)

    def test_entered_again_from_read_it_refuses(self):
        for title, make, busy in block_iterators():
            holder = []

            class Reentrant(io.BytesIO):
                def read(self, size=-1):
                    if holder:
                        next(holder.pop())
                    return io.BytesIO.read(self, size)
            reader = make(Reentrant(self.WHOLE))
            holder.append(reader)
            with self.assertRaises(ValueError) as caught:
                list(reader)
            self.assertEqual(str(caught.exception), busy, title)
            self.assertEqual((reader.actions, list(reader)), (0, []), title)


def blocks_until(reader, error, title):
    """The blocks of reader until it raises error (which it must)."""
    blocks = []
    try:
        for block in reader:
            blocks.append(block)
    except error:
        return blocks
    raise AssertionError("%s: %s was not raised" % (title, error.__name__))


if __name__ == "__main__":
    unittest.main()

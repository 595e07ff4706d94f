"""Changes between action sets: diff_actions, apply_patch and merge_actions in Python, and
actiontool's diff (order, --patch), patch and merge, the last also as a git merge driver."""
from __future__ import print_function, division

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import qn4tGenericActionLoader as q
from test_actiontool import (TOOL, SPELL, ToolTestCase, action, damage, detail, gunzip,
                             healing, statmod)


def spell(action_id, name=u"Spark", details=(), **fields):
    """An Action of type 0 (a spell when actionType=2 is given) at level 1, target type 1
    unless fields say otherwise."""
    values = dict(actionID=action_id, name=name, levelAcquired=1, targetType=1)
    values.update(fields)
    return q.Action(details=list(details), **values)


def hit(base=3):
    return q.Detail(type=1, body=q.Damage(base=base, die=6, dice=1))


def changed(template, **fields):
    """A copy of template with fields set."""
    values = template.to_dict()
    copy = q.Action.from_dict(values)
    for name, value in fields.items():
        setattr(copy, name, value)
    return copy


A, B, C, D = spell(1, u"One"), spell(2, u"Two", [hit()]), spell(3, u"Three"), spell(4, u"Four")


MERGE_CASES = [
        # (title, base, ours, theirs, expected actions, conflicts as (actionID, path))
        ("disjoint fields of one action", [A, B], [changed(A, levelAcquired=5), B],
         [changed(A, targetType=9), B], [changed(A, levelAcquired=5, targetType=9), B], []),
        ("different actions", [A, B, C], [changed(A, levelAcquired=5), B, C],
         [A, B, changed(C, name=u"Tree")],
         [changed(A, levelAcquired=5), B, changed(C, name=u"Tree")], []),
        ("the same change on both sides, taken once", [A, B], [changed(A, levelAcquired=4), B],
         [changed(A, levelAcquired=4), B], [changed(A, levelAcquired=4), B], []),
        ("one field changed differently", [A, B], [changed(A, levelAcquired=4), B],
         [changed(A, levelAcquired=6), B], [changed(A, levelAcquired=4), B],
         [(1, ("levelAcquired",))]),
        ("an action added by theirs", [A, B], [changed(A, levelAcquired=4), B], [A, B, D],
         [changed(A, levelAcquired=4), B, D], []),
        ("an action removed by ours", [A, B, C], [A, C], [A, B, changed(C, levelAcquired=2)],
         [A, changed(C, levelAcquired=2)], []),
        ("the same action added on both sides", [A], [A, D], [A, D], [A, D], []),
        ("removed by one, changed by the other", [A, B], [A], [A, changed(B, levelAcquired=8)],
         [A], [(2, ())]),
        ("a detail removed by one, changed by the other", [spell(2, u"Two", [hit(), hit()])],
         [B], [spell(2, u"Two", [hit(), hit(5)])], [B], [(2, ("details", 1, "body", "base"))]),
        ("a detail's field and an added detail", [B],
         [spell(2, u"Two", [hit(9)])], [spell(2, u"Two", [hit(), hit(4)])],
         [spell(2, u"Two", [hit(9), hit(4)])], []),
        ("a move on one side, a change on the other", [A, B, C], [C, A, B],
         [A, changed(B, levelAcquired=3), C], [C, A, changed(B, levelAcquired=3)], []),
        ("a move by theirs, an add by ours", [A, B, C], [A, B, C, D], [C, A, B],
         [C, A, B, D], []),
        ("one action moved to different places", [A, B, C, D], [B, C, D, A],
         [B, C, A, D], [B, C, D, A], [(1, ("position",))]),
        ("different actions moved", [A, B, C], [B, C, A], [B, A, C], [B, C, A], []),
        ("repeated IDs matched by their order among equals",
         [spell(7, u"X"), spell(7, u"Y")], [spell(7, u"X"), spell(7, u"Y2")],
         [spell(7, u"X1"), spell(7, u"Y")], [spell(7, u"X1"), spell(7, u"Y2")], []),
]


class MergeCases(unittest.TestCase):
    def test_table(self):
        for title, base, ours, theirs, expected, conflicts in MERGE_CASES:
            result = q.merge_actions(base, ours, theirs)
            self.assertEqual(result.actions, expected, title)
            self.assertEqual([(c.actionID, c.path) for c in result.conflicts], conflicts, title)

    def test_a_preferred_side_resolves_and_says_what_it_resolved(self):
        ours_a, theirs_b = changed(A, levelAcquired=4), changed(B, levelAcquired=8)
        base, ours, theirs = [A, B], [ours_a], [A, theirs_b]
        for prefer, expected in [("ours", [ours_a]), ("theirs", [ours_a, theirs_b])]:
            result = q.merge_actions(base, ours, theirs, prefer=prefer)
            self.assertEqual(result.actions, expected, prefer)
            (conflict,) = result.conflicts
            self.assertEqual((conflict.base, conflict.ours, conflict.theirs["levelAcquired"]),
                             (B.to_dict(), None, 8))
        two_hits = spell(2, u"Two", [hit(), hit(5)])
        whole = q.merge_actions([spell(2, u"Two", [hit(), hit()])], [B], [two_hits],
                                prefer="theirs")
        self.assertEqual(whole.actions, [two_hits])
        field = q.merge_actions([A], [changed(A, levelAcquired=4)], [changed(A, levelAcquired=6)],
                                prefer="theirs")
        self.assertEqual(field.actions, [changed(A, levelAcquired=6)])
        self.assertEqual(str(field.conflicts[0]), "id 1 levelAcquired: base 1, ours 4, theirs 6")
        self.assertRaises(ValueError, q.merge_actions, [A], [A], [A], prefer="mine")

    def test_a_conflict_document_chosen_per_conflict_gives_the_side_chosen(self):
        """Each kind of conflict, chosen in the document and applied to ours, gives what
        merging with that side preferred gives; a clean change of theirs comes along."""
        clean = changed(C, levelAcquired=9)
        cases = [  # (title, base, ours, theirs)
            ("one field", [A, C], [changed(A, levelAcquired=4), C],
             [changed(A, levelAcquired=6), clean]),
            ("removed by ours, changed by theirs", [A, B, C], [A, C],
             [A, changed(B, levelAcquired=8), clean]),
            ("changed by ours, removed by theirs", [A, B, C], [A, changed(B, range=3), C],
             [A, clean]),
        ]
        for title, base, ours, theirs in cases:
            document, conflicts = q.conflict_document(base, ours, theirs, name="x.gz")
            self.assertEqual((len(conflicts), document["conflicts"]), (1, "x.gz"), title)
            text = json.dumps(document)
            self.assertEqual(text.count('"take": "ours or theirs"'), 1, title)
            with self.assertRaises(ValueError) as caught:
                q.apply_patch(ours, json.loads(text))
            self.assertIn('choose a side: "take" is "ours" or "theirs"', str(caught.exception))
            for side in ("ours", "theirs"):
                chosen = json.loads(text.replace('"ours or theirs"', '"%s"' % side))
                result = q.apply_patch(ours, chosen)
                self.assertEqual(result.conflicts, [], (title, side))
                self.assertEqual(result.actions, q.merge_actions(
                    base, ours, theirs, prefer=side).actions, (title, side))
        self.assertEqual(q.conflict_document([A], [A], [clean]), (None, []))

    def test_prefer_and_force_name_one_choice(self):
        patch = q.diff_actions([A], [changed(A, levelAcquired=6)])
        mine = [changed(A, levelAcquired=4)]
        for keywords, level in [({"prefer": "theirs"}, 6), ({"force": "theirs"}, 6),
                                ({"prefer": "ours", "force": "ours"}, 4)]:
            self.assertEqual(q.apply_patch(mine, patch, **keywords).actions[0].levelAcquired,
                             level, keywords)
        self.assertRaises(ValueError, q.apply_patch, mine, patch, force="ours", prefer="theirs")

    def test_repeated_ids_are_named_in_a_note(self):
        twice = [spell(7), spell(7)]
        self.assertIn("7", q.merge_actions(twice, twice, twice).notes[0])
        self.assertEqual(q.merge_actions([A], [A], [A]).notes, [])


def applied(actions, patch, prefer):
    """What apply_patch gives, as values to compare: the error it raises, or the result."""
    try:
        result = q.apply_patch(actions, patch, prefer=prefer)
    except ValueError as error:
        return str(error)
    return (list(result.actions), len(result.actions), result.conflicts, result.notes,
            result.applied, result.already)


class WalkedSetsGiveWhatListsGive(unittest.TestCase):
    """Sets walked into an index (their actions' bytes in a temporary file) are diffed,
    patched and merged as lists of the same actions are, the results made as they are
    iterated."""

    def walked(self, actions):
        """The actions as a WalkedSet: walked once into an index, as actiontool reads
        files; closed when the test ends."""
        walked = q.changes.WalkedSet(lambda: iter(actions))
        self.addCleanup(walked.close)
        return walked

    def test_merges_and_conflict_documents(self):
        for title, base, ours, theirs, _, _ in MERGE_CASES:
            sets = [self.walked(actions) for actions in (base, ours, theirs)]
            for prefer in (None, "ours", "theirs"):
                held = q.merge_actions(base, ours, theirs, prefer=prefer)
                streamed = q.merge_actions(*sets, prefer=prefer)
                self.assertEqual((list(streamed.actions), len(streamed.actions)),
                                 (held.actions, len(held.actions)), (title, prefer))
                self.assertEqual((streamed.conflicts, streamed.notes),
                                 (held.conflicts, held.notes), (title, prefer))
            self.assertEqual(q.conflict_document(*sets, name="x.gz"),
                             q.conflict_document(base, ours, theirs, name="x.gz"), title)

    def test_diffs_and_patches(self):
        for title, base, ours, theirs, _, _ in MERGE_CASES:
            for ignore_order in (False, True):
                patch = q.diff_actions(base, theirs, ignore_order)
                self.assertEqual(q.diff_actions(self.walked(base), self.walked(theirs), ignore_order),
                                 patch, (title, ignore_order))
                self.assertEqual(list(q.changes.patch_changes(
                    lambda: iter(base), lambda: iter(theirs), ignore_order)), patch.changes,
                    (title, ignore_order))
            for target in (base, ours, theirs):
                for prefer in (None, "ours", "theirs"):
                    self.assertEqual(applied(self.walked(target), patch, prefer),
                                     applied(target, patch, prefer), (title, prefer))

    def test_a_patch_naming_actions_in_any_order_and_more_than_once(self):
        """Changes of one action apply in the patch's order, whatever stands between them."""
        patch = q.Patch([
            q.Change("moved", 3, 0, 2, 0),
            q.Change("changed", 1, 0, 0, 0, fields=[q.FieldChange(("levelAcquired",), 1, 5)]),
            q.Change("removed", 2, 0, 1, action=B.to_dict()),
            q.Change("added", 2, 0, to=1, action=changed(B, name=u"New").to_dict()),
            q.Change("changed", 1, 0, 0, 0, fields=[q.FieldChange(("levelAcquired",), 5, 6)]),
            q.Change("changed", 2, 0, 1, 1, fields=[q.FieldChange(("range",), 0, 2)]),
        ])
        for prefer in (None, "theirs"):
            self.assertEqual(applied(self.walked([A, B, C]), patch, prefer),
                             applied([A, B, C], patch, prefer), prefer)

    def test_an_action_no_file_holds_is_held_and_compared_by_its_form(self):
        """A value that no file holds (spell fields on an action that is no spell) cannot
        be written as bytes: such a set is held, and still compared."""
        odd = changed(A, levelAcquired=9)
        odd.actionType = 0
        odd.spellCost = 7
        for old, new in [([A, B], [odd, B]), ([odd, B], [A, B]), ([odd, B], [odd, B])]:
            patch = q.diff_actions(self.walked(old), self.walked(new))
            self.assertEqual(patch, q.diff_actions(old, new))
            self.assertEqual([change.kind for change in patch.changes],
                             ["changed"] if old != new else [])


# A script, run by a Python of its own, that prints the digests of A's bytes and of its
# document form as that process makes them.
_DIGESTS_OF_A = """
import binascii, tempfile
import _qn4tGenericActionSupport as native
import qn4tGenericActionLoader as q
ids, digests, ends = bytearray(), bytearray(), bytearray()
spill = tempfile.TemporaryFile()
native._action_index([q.Action(actionID=1, name=u"One", levelAcquired=1, targetType=1)],
                     spill, ids, digests, ends)
form = q.changes._form_digest(q.Action(actionID=1, name=u"One", levelAcquired=1, targetType=1))
print(binascii.hexlify(bytes(digests)).decode("ascii") + " " + binascii.hexlify(form[:8]).decode("ascii"))
"""


def _one_byte_changes():
    """(title, old action, new action whose bytes differ from the old one's in one byte)."""
    renamed = spell(1, u"Onf")
    return [("a level", A, changed(A, levelAcquired=2)),
            ("a letter of the name", A, renamed),
            ("a detail's base", B, spell(2, u"Two", [hit(4)]))]


class DigestsAreKeyed(unittest.TestCase):
    """Actions are taken as alike by a 64-bit digest: a digest keyed at random per process,
    so that no file can be written whose changed action has its old version's digest."""

    def digests_in_a_process_of_its_own(self):
        output = subprocess.check_output([sys.executable, "-c", _DIGESTS_OF_A])
        return tuple(output.decode("ascii").split())

    def test_each_process_digests_the_same_bytes_and_form_differently(self):
        first, second = self.digests_in_a_process_of_its_own(), self.digests_in_a_process_of_its_own()
        self.assertEqual([len(digest) for digest in first + second], [16] * 4)
        self.assertNotEqual(first[0], second[0], "the bytes' digest")
        self.assertNotEqual(first[1], second[1], "the form's digest")

    def test_one_process_gives_the_same_bytes_one_digest(self):
        digests = bytearray()
        for _ in range(2):
            with tempfile.TemporaryFile() as spill:
                q.changes._native._action_index([A], spill, bytearray(), digests, bytearray())
        self.assertEqual(digests[:8], digests[8:])
        self.assertEqual(q.changes._form_digest(A), q.changes._form_digest(changed(A)))

    def test_diff_finds_a_change_of_one_byte(self):
        for title, old, new in _one_byte_changes():
            old_bytes, new_bytes = (bytearray(q.changes._native._action_bytes(action))
                                    for action in (old, new))
            self.assertEqual(sum(a != b for a, b in zip(old_bytes, new_bytes)), 1, title)
            self.assertEqual(len(old_bytes), len(new_bytes), title)
            walked = [q.changes.WalkedSet(lambda actions=actions: iter(actions))
                      for actions in ([old, C], [new, C])]
            for each in walked:
                self.addCleanup(each.close)
            patch = q.diff_actions(*walked)
            self.assertEqual([(change.kind, change.actionID) for change in patch.changes],
                             [("changed", old.actionID)], title)
            self.assertEqual(patch, q.diff_actions([old, C], [new, C]), title)


class PatchInPython(unittest.TestCase):
    def test_changes_are_inspectable_and_survive_json(self):
        old, new = [A, B, C], [C, A, changed(B, levelAcquired=3, name=u"Two!"), D]
        patch = q.diff_actions(old, new)
        kinds = [(c.kind, c.actionID) for c in patch.changes]
        self.assertEqual(kinds, [("changed", 2), ("moved", 3), ("added", 4)])
        fields = dict((f.path, (f.old, f.new)) for f in patch.changes[0].fields)
        self.assertEqual(fields[("levelAcquired",)], (1, 3))
        self.assertEqual(fields[("name",)], (u"Two", u"Two!"))
        again = q.Patch.from_dict(json.loads(json.dumps(patch.to_dict())))
        self.assertEqual(q.apply_patch(old, again).actions, new)
        self.assertFalse(q.diff_actions(new, new))

    def test_stat_entries_are_compared_in_place_as_their_dicts_would_be(self):
        """diff_actions walks stat entries pair by pair: the same changes, in the same
        order, as comparing the dicts of the whole document form."""
        def mod(*entries):
            return q.Detail(type=2, body=q.StatMod(stats=[q.Stat(stat=s, modAmt=m)
                                                          for s, m in entries]))
        many = [(n, -n) for n in range(3000)]
        cases = [  # (old details, new details)
            ([mod(*many)], [mod(*(many[:1500] + [(7, 7)] + many[1501:]))]),
            ([mod()], [mod((1, 2))]),
            ([mod((1, 2), (3, 4))], [mod()]),
            ([mod((1, 2), (3, 4))], [mod((1, 5))]),
            ([hit()], [hit(), mod((1, 2))]),
            ([mod((1, 2)), hit()], [hit(), mod((1, 2))]),
            ([mod((1, 2))], [hit(4)]),
        ]
        for old_details, new_details in cases:
            old, new = spell(9, details=old_details), spell(9, details=new_details)
            (change,) = q.diff_actions([old], [new]).changes
            expected = q.changes.field_changes(old.to_dict(), new.to_dict())
            self.assertEqual([(f.path, f.old, f.new) for f in change.fields],
                             [(f.path, f.old, f.new) for f in expected])
            self.assertTrue(change.fields)

    def test_conflicts_force_and_already_applied(self):
        old, new = [A, B], [changed(A, levelAcquired=3), B]
        patch = q.diff_actions(old, new)
        mine = [changed(A, levelAcquired=9), B]
        left = q.apply_patch(mine, patch)
        self.assertEqual([(c.path, c.base, c.ours, c.theirs) for c in left.conflicts],
                         [(("levelAcquired",), 1, 9, 3)])
        self.assertEqual(q.apply_patch(mine, patch, force="theirs").actions, new)
        self.assertEqual(q.apply_patch(mine, patch, force="ours").actions, mine)
        twice = q.apply_patch(new, patch)
        self.assertEqual((twice.actions, twice.already_applied()), (new, True))
        self.assertFalse(q.apply_patch(old, patch).already_applied())
        removal = q.diff_actions([A, B], [A])
        gone_changed = q.apply_patch([A, changed(B, levelAcquired=2)], removal)
        self.assertEqual([c.path for c in gone_changed.conflicts], [()])


def said_changes(text):
    """(kind, actionID, [field paths]) of each change diff says, sorted."""
    said = []
    for line in text.splitlines():
        if line.startswith("    "):
            said[-1][2].append(line.strip().split(": ", 1)[0])
        elif line.split(":")[0] in ("added", "removed", "changed", "moved"):
            said.append((line.split(":")[0], int(line.split()[3]), []))
    return sorted(said)


class ToolChanges(ToolTestCase):
    def patch_round_trip(self, old, new, title=""):
        """diff --patch old new, then patch old with it: returns (the patched file's bytes,
        the second application's output)."""
        old_path, new_path = self.action_file(old, "old.gz"), self.action_file(new, "new.gz")
        status, document, err = self.run_tool("diff", "--patch", old_path, new_path)
        self.assertEqual(status, 1 if old != new else 0, err)
        change = self.path("change.json")
        with open(change, "wb") as f:
            f.write(document.encode("utf-8"))
        out = self.path("out.gz")
        self.assertRuns("patch", old_path, change, out)
        patched = gunzip(out)
        again = self.assertRuns("patch", out, change, self.path("again.gz"))
        self.assertEqual(gunzip(self.path("again.gz")), patched, title)
        return patched, again

    def test_a_patch_makes_the_new_files_bytes_and_twice_says_already_applied(self):
        one, two, three = action(1, b"One"), action(2, b"Two", details=[healing()]), \
            action(3, b"Three", details=[damage(), statmod()])
        cases = [
            ("renamed shorter and longer", one + two, action(1, b"On") + action(2, b"Twofold",
                                                                        details=[healing()])),
            ("padding and bytes that are not UTF-8", one, action(1, b"One\0\0") +
             action(9, b"\xff\xfe")),
            ("details and stat entries added and removed", three,
             action(3, b"Three", details=[statmod(((3, -2),)), healing(), damage()])),
            ("added, removed and moved", one + two + three, three + action(4, b"Four") + one),
            ("reversed", one + two + three, three + two + one),
            ("a type change to a spell", action(5), action(5, action_type=SPELL,
                                                           spell=(b"ZAP\0", 1, 2))),
            ("a spell's trailer", action(5, action_type=SPELL,
                                                          spell=(b"ZAP\0", 1, 2)),
             action(5, action_type=SPELL, spell=(b"ZIP\0", 1, 3)) + action(6, action_type=SPELL)),
            ("repeated IDs", action(7, b"A") + action(7, b"B"),
             action(7, b"B") + action(7, b"A") + action(7, b"C")),
            ("the same", one + two, one + two),
        ]
        for title, old, new in cases:
            patched, again = self.patch_round_trip(old, new, title)
            self.assertEqual(patched, new, title)
            if old != new:
                self.assertIn("already applied", again, title)

    def test_diff_text_and_patch_name_the_same_changes(self):
        """diff's lines, diff --patch's document and q.diff_actions come from one change set:
        the same actions matched, the same fields in the same order, no derived counts."""
        one, two = action(1, b"One"), action(2, b"Two", details=[healing()])
        three = action(3, b"Three", details=[damage(), statmod(((3, -2),))])
        odd = detail(9, b"\x01\x02\x03")
        cases = [
            # (title, old, new)
            ("text renamed", one + two, action(1, b"Uno") + two),
            ("value changed", one + three, one + action(3, b"Three", details=[
                damage(1, 1, 6, 2, 9, -1, 0, 2, 1, 0, 0), statmod(((3, -2),))])),
            ("stat entry added", three, action(3, b"Three", details=[
                damage(), statmod(((3, -2), (4, 7)))])),
            ("stat entry removed", three, action(3, b"Three", details=[damage(), statmod(())])),
            ("detail added", two, action(2, b"Two", details=[healing(), damage()])),
            ("action moved", one + two + three, three + one + two),
            ("repeated IDs", action(7, b"A") + action(7, b"B"),
             action(7, b"B") + action(7, b"A") + action(7, b"C")),
            ("unknown detail type", action(8, details=[odd]),
             action(8, details=[detail(9, b"\x01\x02\x04"), odd])),
        ]
        for title, old, new in cases:
            old_path, new_path = self.action_file(old, "old.gz"), self.action_file(new, "new.gz")
            status, text, err = self.run_tool("diff", old_path, new_path)
            self.assertEqual(status, 1, "%s: %s" % (title, err))
            status, document, err = self.run_tool("diff", "--patch", old_path, new_path)
            self.assertEqual(status, 1, "%s: %s" % (title, err))
            from_tool = q.Patch.from_dict(json.loads(document))
            in_python = q.diff_actions(q.read_actions(old_path), q.read_actions(new_path))
            self.assertEqual(from_tool, in_python, title)
            self.assertEqual(said_changes(text), sorted(
                (change.kind, change.actionID, [q.path_text(f.path) for f in change.fields])
                for change in in_python.changes), title)
            patched, _ = self.patch_round_trip(old, new, title)
            self.assertEqual(patched, new, title)

    def test_conflicts_are_listed_and_nothing_is_written_unless_forced(self):
        old = self.action_file(action(1, b"One", level=3) + action(2), "old.gz")
        new = self.action_file(action(1, b"One", level=4) + action(2), "new.gz")
        mine = self.action_file(action(1, b"One", level=9) + action(2), "mine.gz")
        status, document, _ = self.run_tool("diff", "--patch", old, new)
        change = self.json_file(json.loads(document), "change.json")
        out = self.path("out.gz")
        status, text, err = self.run_tool("patch", mine, change, out)
        self.assertEqual(status, 1, err)
        self.assertIn("conflict: id 1 levelAcquired: base 3, ours 9, theirs 4", text)
        self.assertFalse(os.path.exists(out))
        for side, level in (("theirs", 4), ("ours", 9)):
            self.assertRuns("patch", "--force", side, mine, change, out)
            self.assertEqual(gunzip(out), action(1, b"One", level=level) + action(2), side)

    def test_documents_that_are_no_patch_are_refused_with_status_2(self):
        mine = self.action_file(action(1), "mine.gz")
        cases = [
            (u"[1]", 'a JSON object with a "changes" list'),
            (u'{"changes": [{"change": "added", "actionID": 5, "action": []}]}',
             "action is a JSON object, not []"),
            (u'{"changes": [{"change": "renamed", "actionID": 1}]}', '"moved", not "renamed"'),
            (u'{"changes": [{"change": "changed", "actionID": 1, "fields": [{"path": '
             u'["levelAcquired"], "old": 3, "new": 300}]}]}', "300 is out of its range 0 to 255"),
            (u'{"changes": [{"change": "changed", "actionID": 1, "fields": [{"path": '
             u'["details", 0, "x"], "new": 1}]}]}', "id 1: details[0].x: unknown field"),
            (u'{"changes": [{"change": "changed", "actionID": 1, "fields": [{"path": ["x"], '
             u'"new": 1}]}]}', "id 1: x: unknown field"),
        ]
        for document, phrase in cases:
            status, _, err = self.run_tool("patch", mine, self.json_file(document, "bad.json"),
                                           self.path("out.gz"))
            self.assertEqual(status, 2, document)
            self.assertIn(phrase, err, document)
            self.assertFalse(os.path.exists(self.path("out.gz")))

    def test_diff_sees_order(self):
        a, b, c, d = (action(n, name) for n, name in
                      enumerate((b"A", b"B", b"C", b"D"), 1))
        cases = [
            # (title, old, new, options, status, lines expected, lines not expected)
            ("one action moved to the end", a + b + c + d, b + c + d + a, (), 1,
             ['moved: #4 id 1 "A" (#1 in the old file)',
              "1 moved, 0 added, 0 removed, 0 changed, 4 the same"], ["moved: #1"]),
            ("reversed", a + b + c, c + b + a, (), 1,
             ['moved: #1 id 3 "C" (#3 in the old file)', "2 moved, 0 added"], []),
            ("reversed, order ignored", a + b + c, c + b + a, ("--ignore-order",), 0,
             ["0 added, 0 removed, 0 changed, 3 the same"], ["moved:", " moved,"]),
            ("the same order", a + b, a + b, (), 0, ["0 moved, 0 added"], []),
        ]
        for title, old, new, options, status, lines, absent in cases:
            got, out, err = self.run_tool("diff", *(options + (
                self.action_file(old, "old.gz"), self.action_file(new, "new.gz"))))
            self.assertEqual(got, status, "%s: %s %s" % (title, out, err))
            for line in lines:
                self.assertIn(line, out, title)
            for line in absent:
                self.assertNotIn(line, out, title)

    def merge(self, base, ours, theirs, *options):
        paths = [self.action_file(data, name) for data, name in
                 ((base, "base.gz"), (ours, "ours.gz"), (theirs, "theirs.gz"))]
        out = self.path("merged.gz")
        if os.path.exists(out):
            os.remove(out)
        status, text, err = self.run_tool("merge", *(options + tuple(paths) + (out,)))
        return status, text + err, gunzip(out) if os.path.exists(out) else None

    def test_merge_statuses(self):
        base = action(1, b"One", level=1) + action(2, b"Two")
        ours = action(1, b"One", level=5) + action(2, b"Two")
        theirs = action(1, b"One", level=1) + action(2, b"Deux")
        clashing = action(1, b"One", level=7) + action(2, b"Two")
        self.assertEqual(self.merge(base, ours, theirs)[::2],
                         (0, action(1, b"One", level=5) + action(2, b"Deux")))
        status, text, written = self.merge(base, ours, clashing)
        self.assertEqual((status, written), (1, None))
        self.assertIn("conflict: id 1 levelAcquired: base 1, ours 5, theirs 7", text)
        self.assertEqual(self.merge(base, ours, clashing, "--theirs")[::2], (0, clashing))
        twice = action(3) + action(3)
        self.assertIn("order among equals", self.merge(twice, twice, twice)[1])
        status, text, _ = self.merge(base, ours, b"\x00" * 3)
        self.assertEqual(status, 2, text)


@unittest.skipUnless(shutil.which("git") if hasattr(shutil, "which") else
                     os.path.exists("/usr/bin/git"), "git is not installed")
class GitMergeDriver(ToolTestCase):
    """The recipe of docs/actiontool.md: .gitattributes names the driver, git config gives
    its command."""

    def git(self, *args):
        env = dict(os.environ, GIT_CONFIG_NOSYSTEM="1", HOME=self.tmpdir,
                   GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@example.org",
                   GIT_COMMITTER_NAME="t", GIT_COMMITTER_EMAIL="t@example.org")
        proc = subprocess.Popen(("git",) + args, cwd=self.repo, env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        out = proc.communicate()[0].decode("utf-8", "replace")
        return proc.returncode, out

    def commit(self, data, message):
        self.action_file(data, os.path.join("repo", "spells.gz"))
        self.assertEqual(self.git("add", "-A")[0], 0)
        self.assertEqual(self.git("commit", "-q", "-m", message)[0], 0)

    def test_two_branches_changing_different_spells_merge_cleanly(self):
        self.repo = self.path("repo")
        os.mkdir(self.repo)
        self.git("init", "-q")
        self.git("config", "merge.actions.driver",
                 "'%s' '%s' merge %%O %%A %%B %%A" % (sys.executable, TOOL))
        with open(os.path.join(self.repo, ".gitattributes"), "w") as f:
            f.write("*.gz merge=actions\n")
        spells = [action(n, name, action_type=SPELL, spell=(b"SP" + name[:1] + b"\0", 0, n))
                  for n, name in ((1, b"Frost"), (2, b"Fire"), (3, b"Wind"))]
        self.commit(b"".join(spells), "base")
        self.assertEqual(self.git("checkout", "-q", "-b", "theirs")[0], 0)
        frost = action(1, b"Ice Ward", action_type=SPELL, spell=(b"SPF\0", 0, 1))
        self.commit(frost + spells[1] + spells[2], "frost renamed")
        self.git("checkout", "-q", "-")
        wind = action(3, b"Wind", action_type=SPELL, spell=(b"SPW\0", 0, 9))
        self.commit(spells[0] + spells[1] + wind, "wind costs more")
        status, out = self.git("merge", "-q", "--no-edit", "theirs")
        self.assertEqual(status, 0, out)
        merged = gunzip(os.path.join(self.repo, "spells.gz"))
        self.assertEqual(merged, frost + spells[1] + wind)
        self.assertNotIn(b"<<<<<<<", merged)
        self.assertEqual(self.git("status", "--porcelain")[1], "")


if __name__ == "__main__":
    unittest.main()

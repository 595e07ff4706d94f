"""Whole actions: read_actions and write_actions against the record-level classes, round trips
with awkward texts and unknown detail types, refusals, damaged files."""
import copy
import gzip
import io
import os
import pickle
import shutil
import subprocess
import sys
import tempfile
import unittest
import zlib

import qn4tGenericActionLoader as q
import support

PY3 = sys.version_info[0] >= 3


def host_text(data):
    """The str the getters give for these bytes on this host."""
    return data.decode("utf-8", "surrogateescape") if PY3 else data


def sample_actions():
    """Awkward texts (zero bytes inside and at the end, bytes that are no UTF-8, the longest
    blah), a spell code with a zero byte inside, each detail kind, an unknown type kept raw
    and a damage whose length disagrees with its body."""
    return [
        q.Action(actionID=1, name=b"Fire\0ball", desc=b"\xff\xfe not utf-8", blah=b"b" * 255,
                 foo=b"pad\0\0", actionType=2, spellCode=b"AB\0C", spellPath=7, spellCost=65535,
                 validClasses=0xFFFFFFFF,
                 details=[q.Detail(body=q.Damage(die=-1, toHitBonus=-2, specArg=0xFFFFFFFF)),
                          q.Detail(body=q.StatMod(duration=3, stats=[q.Stat(stat=65535, modAmt=-5),
                                                                     q.Stat(stat=2, modAmt=7)])),
                          q.Detail(body=q.Healing(flagSpecial=0x01020304, numDice=-3)),
                          q.Detail(type=77, body=b"raw\0bytes"),
                          q.Detail(type=1, length=9999, body=q.Damage(base=4))]),
        q.Action(actionID=2, name="plain", actionType=3),
        q.Action(),
    ]


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


class Scratch(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="qn4t-actions-")
        self.addCleanup(shutil.rmtree, self.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def written(self, actions):
        out = io.BytesIO()
        q.write_actions(out, actions)
        return out.getvalue()


class RoundTrip(Scratch):
    def test_read_gives_back_every_value_and_write_the_same_bytes(self):
        actions = sample_actions()
        path = self.path("a.gz")
        self.assertEqual(q.write_actions(path, actions), 3)
        again = list(q.read_actions(path))
        self.assertEqual(again, actions)
        first = again[0]
        self.assertEqual(first.name, host_text(b"Fire\0ball"))
        self.assertEqual(first.nameLen, 9)
        self.assertEqual(first.foo, host_text(b"pad\0\0"))
        self.assertEqual(first.spellCode, host_text(b"AB\0C"))
        self.assertEqual(first.numDetails, 5)
        self.assertEqual(first.details[1].body.numStatMods, 2)
        self.assertEqual(first.details[3].body, b"raw\0bytes")
        self.assertEqual(first.details[3].length, 9)
        self.assertEqual(first.details[4].length, 9999)
        self.assertEqual(first.details[0].body.specArg, 0xFFFFFFFF)
        with gzip.open(path, "rb") as f:
            content = f.read()
        self.assertEqual(self.written(again), self.written(actions))
        out = io.BytesIO()
        q.write_actions(out, q.read_actions(io.BytesIO(content)))  # plain input
        self.assertEqual(zlib.decompress(out.getvalue(), 31), content)

    def test_bytes_are_what_the_record_level_classes_write(self):
        path = self.path("records.gz")
        with q.Stream(path, "w") as out:
            h = q.qn4tGeneric_Action_Header()
            h.actionID, h.actionType, h.name, h.nameLen = 9, 2, "Bolt", 4
            h.spellCode, h.spellCost = "ZAP", 3
            h.numDetails = 1
            h.write(out)
            d = q.qn4tGeneric_Action_Detail_Header()
            d.type, d.length = 3, 18
            d.write(out)
            body = q.qn4tGeneric_Healing_Details()
            body.base, body.flagCondition = -4, 0x80000000
            body.write(out)
        with gzip.open(path, "rb") as f:
            expected = f.read()
        action = q.Action(actionID=9, actionType=2, name="Bolt", spellCode="ZAP", spellCost=3,
                          details=[q.Detail(body=q.Healing(base=-4, flagCondition=0x80000000))])
        self.assertEqual(zlib.decompress(self.written([action]), 31), expected)
        self.assertEqual(list(q.read_actions(path)), [action])

    def test_several_members_and_trailing_bytes_read_as_gzread_reads_them(self):
        one, two = self.written(sample_actions()[:1]), self.written(sample_actions()[1:])
        self.assertEqual(list(q.read_actions(io.BytesIO(one + two + b"junk"))), sample_actions())

    def test_dict_form_round_trips(self):
        for action in sample_actions():
            self.assertEqual(q.Action.from_dict(action.to_dict()), action)
        exported = sample_actions()[1].to_dict()
        self.assertEqual(exported["name"], "plain")
        self.assertFalse(set(["nameLen", "numDetails"]) & set(exported))

    def test_repr_names_the_fields(self):
        text = repr(q.Detail(body=q.Stat and q.Damage(die=3)))
        self.assertTrue(text.startswith("Detail(type=1, length=24, body=Damage(range=0"), text)


def no_longer_a_spell(**spell_fields):
    """A spell with the given spell fields whose actionType was then changed."""
    action = q.Action(actionType=2, **spell_fields)
    action.actionType = 0
    return action


class Threads(Scratch):
    """write_actions on several threads: one gzip member any reader reads, holding the bytes
    one thread writes."""

    @classmethod
    def setUpClass(cls):
        # About 3 MB: several of the writer's 1 MiB blocks, so that threads share the work.
        cls.actions = [q.Action(actionID=i, name="spell %d" % (i * 7919 % 100003),
                                desc=b"%d" % i * (i % 40), blah=b"x" * (i % 256),
                                details=[q.Detail(body=q.Damage(base=i % 1000))])
                       for i in range(8000)]

    def test_every_thread_count_makes_one_member_of_the_same_bytes(self):
        single = self.written_on(1)
        content = zlib.decompress(single, 31)
        # One thread writes what it always wrote: zlib's level 6 gzip of the content.
        packer = zlib.compressobj(6, zlib.DEFLATED, 31)
        self.assertEqual(single, packer.compress(content) + packer.flush())
        for threads in (2, 3, None):
            made = self.written_on(threads)
            path = self.path("t%s.gz" % threads)
            with open(path, "wb") as out:
                out.write(made)
            with gzip.open(path, "rb") as f:
                self.assertEqual(f.read(), content, threads)
            self.assertEqual(subprocess.call(["gzip", "-t", path]), 0, threads)
            decompressor = zlib.decompressobj(31)  # one member: nothing left behind it
            self.assertEqual(decompressor.decompress(made), content)
            self.assertEqual(decompressor.unused_data, b"")
            self.assertLess(len(made), len(single) * 1.01, threads)
            with q.Stream(path, "r") as stream:  # the record stream reads it too
                head = q.qn4tGeneric_Action_Header()
                head.read(stream)
                self.assertEqual(head.name, "spell 0")
            self.assertEqual(list(q.read_actions(path))[-1], self.actions[-1])

    def test_a_few_actions_come_out_the_same_on_any_thread_count(self):
        few = sample_actions()
        one = io.BytesIO()
        q.write_actions(one, few, threads=1)
        for threads in (2, 8):
            out = io.BytesIO()
            q.write_actions(out, few, threads=threads)
            self.assertEqual(out.getvalue(), one.getvalue(), threads)

    def test_thread_count_is_checked(self):
        for threads, error in ((0, ValueError), (-1, ValueError), (257, ValueError),
                               (2.0, TypeError), ("2", TypeError), (True, TypeError)):
            with self.assertRaises(error) as caught:
                q.write_actions(io.BytesIO(), [], threads=threads)
            self.assertIn("threads", str(caught.exception))

    def test_inflater_names_the_library_built_in(self):
        name = q.inflater()
        self.assertTrue(name.startswith(("isa-l ", "zlib ")), name)

    def written_on(self, threads):
        out = io.BytesIO()
        self.assertEqual(q.write_actions(out, self.actions, threads=threads), len(self.actions))
        return out.getvalue()


class Values(unittest.TestCase):
    def test_counts_follow_and_cannot_be_set(self):
        a = q.Action(name=b"abc")
        a.details.append(q.Detail(body=q.StatMod()))
        a.details[0].body.stats.append(q.Stat())
        self.assertEqual((a.nameLen, a.numDetails, a.details[0].body.numStatMods), (3, 1, 1))
        for name in ("nameLen", "descLen", "blahLen", "numDetails"):
            with self.assertRaises((AttributeError, TypeError)):
                setattr(a, name, 1)

    def test_detail_length_follows_the_body_until_given(self):
        d = q.Detail(type=9, body=b"12345")
        self.assertEqual(d.length, 5)
        d.length = 2
        self.assertEqual(d.length, 2)
        d.length = None
        self.assertEqual(q.Detail(type=2).length, 16)
        self.assertIsInstance(q.Detail(type=2).body, q.StatMod)

    def test_bad_values_are_refused_naming_field_and_range(self):
        cases = [
            (q.Damage, "levelMult", 300, ValueError,
             "Damage.levelMult is unsigned 8-bit: 300 is out of its range 0 to 255"),
            (q.Damage, "die", -40000, ValueError, "-32768 to 32767"),
            (q.Stat, "stat", -1, ValueError, "Stat.stat is unsigned 16-bit: -1 is out of its range"),
            (q.Action, "actionID", 2 ** 32, OverflowError, "0 to 4294967295"),
            (q.Action, "actionID", 2 ** 70, ValueError, "Action.actionID"),
            (q.Action, "actionID", "7", TypeError, "Action.actionID takes an integer, not str"),
            (q.Action, "blah", b"x" * 256, ValueError, "Action.blah: a text of 256 bytes"),
            (q.Action, "name", b"x" * 65536, ValueError, "(at most 65535)"),
            (q.Action, "spellCode", b"ABCDE", ValueError, "Action.spellCode holds at most 4 bytes, not 5"),
            (q.Action, "name", 5, TypeError, "expected str or bytes"),
            (q.Detail, "body", 5, TypeError, "Detail.body"),
            (q.Action, "details", "abc", TypeError, "Action.details takes a list of Detail, not str"),
            (q.StatMod, "stats", [q.Damage()], TypeError, "StatMod.stats[0]: expected a Stat"),
        ]
        for cls, field, value, error, message in cases:
            obj = cls()
            with self.assertRaises(error) as caught:
                setattr(obj, field, value)
            self.assertIn(message, str(caught.exception), (cls, field))

    def test_write_refuses_before_writing_anything_at_a_path(self):
        path = os.path.join(tempfile.mkdtemp(prefix="qn4t-actions-"), "keep.gz")
        self.addCleanup(shutil.rmtree, os.path.dirname(path))
        q.write_actions(path, sample_actions())
        before = read_file(path)
        cases = [
            ([q.Action(details=[q.Detail()] * 256)], ValueError, "actions[0] (actionID 0): details: 256"),
            ([q.Action(), 5], TypeError, "actions[1]: expected an Action"),
            ([q.Action(actionID=4, details=[q.Detail(type=1, body=q.Healing())])], ValueError,
             "actions[0] (actionID 4): details[0]: type 1 needs a Damage body"),
            ([q.Action(details=[q.Detail(type=9, length=4, body=b"12")])], ValueError,
             "details[0].length: 4 does not match"),
            ([no_longer_a_spell(spellCost=3)], ValueError, "actions[0] (actionID 0): "
             "spellCost: only an action of actionType 2 (a spell) carries the spell fields"),
            ([no_longer_a_spell(spellCode="Z")], ValueError, "spellCode: only an action of"),
        ]
        for actions, error, message in cases:
            with self.assertRaises(error) as caught:
                q.write_actions(path, actions)
            self.assertIn(message, str(caught.exception))
            self.assertEqual(read_file(path), before)
            self.assertEqual(os.listdir(os.path.dirname(path)), ["keep.gz"])

    def test_texts_take_str_or_bytes(self):
        a = q.Action(name="caf\u00e9" if PY3 else b"caf\xc3\xa9")
        self.assertEqual(a.nameLen, 5)
        a.name = b"\xff"
        self.assertEqual(a.name, host_text(b"\xff"))
        a.name = a.name  # a value the getter gave is taken back unchanged
        self.assertEqual(a.nameLen, 1)


class Copies(Scratch):
    """copy, deepcopy and pickle keep every value, on both hosts; a deep copy is independent."""

    def copies(self, obj):
        yield "copy", copy.copy(obj)
        yield "deepcopy", copy.deepcopy(obj)
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            yield "pickle %d" % protocol, pickle.loads(pickle.dumps(obj, protocol))

    def test_every_object_comes_back_equal_and_of_its_class(self):
        action = sample_actions()[0]
        detail = action.details[1]
        objects = [action, detail, detail.body, detail.body.stats[0], action.details[0].body,
                   action.details[2].body, action.details[3]]
        for obj in objects:
            for how, made in self.copies(obj):
                self.assertIs(type(made), type(obj), how)
                self.assertEqual(made, obj, (how, obj))
                self.assertEqual(repr(made), repr(obj), how)

    def test_a_length_that_follows_its_body_still_follows_it(self):
        for how, made in self.copies(q.Detail(type=9, body=b"12345")):
            made.body = b"1234567"
            self.assertEqual(made.length, 7, how)

    def test_a_state_sets_fields_only(self):
        for state in ({"__class__": q.Damage}, {"numDetails": 3}, {5: 1}, [("actionID", 1)]):
            action = q.Action(actionID=4)
            self.assertRaises(TypeError, action.__setstate__, state)
            self.assertIs(type(action), q.Action)

    def test_a_deep_copy_is_independent_and_writes_the_same_file(self):
        actions = sample_actions()
        copied = copy.deepcopy(actions)
        copied[0].details[1].body.stats[0].modAmt = 1
        copied[0].details.pop()
        self.assertEqual(actions, sample_actions())
        path = self.path("copy.gz")
        q.write_actions(path, copy.deepcopy(actions))
        self.assertEqual(list(q.read_actions(path)), actions)


class Damaged(Scratch):
    def read_until_damage(self, data):
        got = []
        with self.assertRaises(q.DamagedFileError) as caught:
            for action in q.read_actions(io.BytesIO(data)):
                got.append(action)
        return got, str(caught.exception)

    def test_every_complete_action_comes_before_the_report(self):
        content = zlib.decompress(self.written(sample_actions()), 31)
        first = len(zlib.decompress(self.written(sample_actions()[:1]), 31))
        got, message = self.read_until_damage(content[:first + 26])
        self.assertEqual(got, sample_actions()[:1])
        self.assertIn("action 2 at offset %d: the file ends inside the texts" % first, message)
        got, message = self.read_until_damage(content[:10])
        self.assertEqual((got, message[:48]), ([], "action 1 at offset 0: the file ends inside the h"))
        self.assertTrue(issubclass(q.DamagedFileError, IOError))
        self.assertTrue(issubclass(q.DamagedFileError, ValueError))

    def test_corrupt_or_cut_compressed_data_names_the_compressed_offset(self):
        data = self.written(sample_actions() * 50)
        corrupt = data[:20] + bytes(bytearray(b ^ 0x55 for b in bytearray(data[20:60]))) + data[60:]
        for damaged, message in ((corrupt, "corrupt at compressed offset"),
                                 (data[:len(data) // 2], "cut at compressed offset %d" % (len(data) // 2))):
            got, text = self.read_until_damage(damaged)
            self.assertIn(message, text)
            self.assertEqual(got, (sample_actions() * 50)[:len(got)])

    def test_an_error_of_the_file_object_comes_through(self):
        class Failing(object):
            def read(self, size):
                raise OSError("disk gone")
        with self.assertRaises(OSError) as caught:
            list(q.read_actions(Failing()))
        self.assertIn("disk gone", str(caught.exception))


class DeclaredCounts(Scratch):
    # A fresh interpreter reads the file; its peak resident memory grows by this many kB.
    READ_AND_MEASURE = """
import resource, sys
import qn4tGenericActionLoader as q
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    list(q.read_actions(sys.argv[1]))
except q.DamagedFileError as error:
    sys.stdout.write(str(error) + "\\n")
sys.stdout.write("%d\\n" % (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before))
"""

    @support.skip_under_memory_tools
    def test_a_small_file_declaring_billions_of_stat_entries_is_walked_not_loaded(self):
        # 256 MB of zero bytes behind a stat modification that declares 2**32 - 1 entries:
        # a file of a few hundred kB that inflates far beyond what it may make us hold.
        content = zlib.decompress(self.written([q.Action(details=[q.Detail(body=q.StatMod())])]), 31)
        head = content[:-4] + b"\xff\xff\xff\xff"
        compressor = zlib.compressobj(6, zlib.DEFLATED, 31)
        zeros_mb = 256
        with open(self.path("bomb.gz"), "wb") as f:
            f.write(compressor.compress(head))
            for _ in range(zeros_mb):
                f.write(compressor.compress(b"\0" * (1 << 20)))
            f.write(compressor.flush())
        self.assertLess(os.path.getsize(self.path("bomb.gz")), 1 << 20)
        out = subprocess.check_output([sys.executable, "-c", self.READ_AND_MEASURE,
                                       self.path("bomb.gz")]).decode().splitlines()
        self.assertEqual(out[0], "action 1 at offset 0: the file ends inside detail 1's stat "
                                 "entries (at offset %d, 17179869180 bytes needed from there, "
                                 "%d there)" % (len(head), zeros_mb << 20))
        self.assertLess(int(out[1]), 32 * 1024, "peak RSS grew by %s kB" % out[1])


class Paths(Scratch):
    def test_symbolic_link_keeps_pointing_at_the_replaced_target_with_its_mode(self):
        target = self.path("target.gz")
        q.write_actions(target, [])
        os.chmod(target, 0o640)
        link = self.path("link.gz")
        os.symlink(target, link)
        q.write_actions(link, sample_actions())
        self.assertTrue(os.path.islink(link))
        self.assertEqual(os.stat(target).st_mode & 0o777, 0o640)
        self.assertEqual(list(q.read_actions(target)), sample_actions())

    def test_a_write_that_fails_midway_leaves_the_old_file_and_no_temporary_file(self):
        target = self.path("kept.gz")
        q.write_actions(target, sample_actions()[:1])
        with open(target, "rb") as f:
            before = f.read()

        def failing():
            for action in sample_actions():
                yield action
            raise ValueError("the caller's own failure")
        with self.assertRaises(ValueError):
            q.write_actions(target, failing())
        with open(target, "rb") as f:
            self.assertEqual(f.read(), before)
        self.assertEqual(os.listdir(self.dir), ["kept.gz"])


if __name__ == "__main__":
    unittest.main()

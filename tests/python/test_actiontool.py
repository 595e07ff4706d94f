"""actiontool from the outside: round trips through JSON, check on damaged files, refused JSON,
outputs it must not destroy, exit statuses. Files are made here with gzip, zlib and struct,
independently of the module."""
from __future__ import print_function, division

import binascii
import collections
import errno
import gc
import gzip
import io
import json
import os
import random
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zlib

SOURCE_DIR = os.environ.get("QN4T_SOURCE_DIR") or os.path.dirname(os.path.dirname(
    os.path.dirname(os.path.abspath(__file__))))
TOOL = os.path.join(SOURCE_DIR, "tools", "actiontool")
if os.path.join(SOURCE_DIR, "tools") not in sys.path:
    sys.path.append(os.path.join(SOURCE_DIR, "tools"))

from actionfile import cli, module  # noqa: E402 (after the path is set)
import support  # noqa: E402
import _qn4tGenericActionSupport as _support  # noqa: E402
EXAMPLE = os.path.join(SOURCE_DIR, "examples", "actions.json")

# The file layout, written down here on its own: little-endian, packed.
HEAD = struct.Struct("<IHHBBBBIIBBBB")
TRAILER = struct.Struct("<4sHH")
DETAIL_HEADER = struct.Struct("<HH")
DAMAGE, STATMOD, HEALING = 1, 2, 3
BODIES = {
    DAMAGE: struct.Struct("<BBhhhiBBHII"),
    STATMOD: struct.Struct("<BBHHHII"),
    HEALING: struct.Struct("<HhhhHII"),
}
STAT = struct.Struct("<Hh")
SPELL = 2


# ---- making files --------------------------------------------------------------------------

def action(action_id=1, name=b"Spark", desc=b"", blah=b"", foo=b"", bar=b"", action_type=0,
           target=1, reach=2, level=3, classes=4, states=5, spell=None, details=()):
    """One action's bytes. Texts are the file's bytes (padding included); spell is
    (code bytes, path, cost) and needs action_type 2; details are detail() results."""
    head = HEAD.pack(action_id, len(name), len(desc), target, reach, level, action_type,
                     classes, states, len(details), len(blah), len(foo), len(bar))
    data = head + name + desc + blah + foo + bar
    if action_type == SPELL:
        code, path, cost = spell or (b"ZAP\0", 0, 0)
        data += TRAILER.pack(code, path, cost)
    return data + b"".join(details)


def detail(type_number, body, length=None):
    return DETAIL_HEADER.pack(type_number, len(body) if length is None else length) + body


def damage(*values, **options):
    values = values or (1, 1, 6, 2, 3, -1, 0, 2, 1, 0, 0)
    return detail(DAMAGE, BODIES[DAMAGE].pack(*values), options.get("length"))


def healing(*values, **options):
    values = values or (1, 2, 8, 4, 0, 0, 0)
    return detail(HEALING, BODIES[HEALING].pack(*values), options.get("length"))


def statmod(stats=((3, -2), (5, 1)), values=(0, 1, 10, 0, 0, 0), length=None, count=None):
    count = len(stats) if count is None else count
    body = BODIES[STATMOD].pack(*(values + (count,)))
    body += b"".join(STAT.pack(stat, amount) for stat, amount in stats)
    return detail(STATMOD, body, length)


def gzipped(data):
    out = io.BytesIO()
    with gzip.GzipFile(fileobj=out, mode="wb") as f:
        f.write(data)
    return out.getvalue()


def gunzip(path):
    with gzip.open(path, "rb") as f:
        return f.read()


def gzip_damaged_at(data, cut):
    """A gzip file of data whose deflate stream is broken right behind the first cut bytes of
    data: a full flush ends the blocks there on a byte boundary, and the next byte, 0xFF,
    starts a block of the invalid type 3. Returns (file bytes, offset of that byte)."""
    deflater = zlib.compressobj(6, zlib.DEFLATED, -zlib.MAX_WBITS)
    head = b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03"  # no name, no time, Unix
    body = deflater.compress(data[:cut]) + deflater.flush(zlib.Z_FULL_FLUSH)
    rest = deflater.compress(data[cut:]) + deflater.flush()
    return head + body + b"\xff" + rest, len(head) + len(body)


def generated_file(count, seed):
    """count actions of every kind with random values, texts of random bytes."""
    rnd = random.Random(seed)

    def text(most):
        return bytes(bytearray(rnd.randint(1, 255) for _ in range(rnd.randint(0, most))))

    def numbers(layout):
        limits = {"B": 0xFF, "H": 0xFFFF, "I": 0xFFFFFFFF}
        values = []
        for code in layout.format.lstrip("<"):
            if code in limits:
                values.append(rnd.randint(0, limits[code]))
            else:
                bits = 16 if code == "h" else 32
                values.append(rnd.randint(-(1 << (bits - 1)), (1 << (bits - 1)) - 1))
        return values

    parts = []
    for number in range(count):
        details = []
        for _ in range(rnd.randint(0, 3)):
            kind = rnd.choice((DAMAGE, STATMOD, HEALING))
            if kind == STATMOD:
                stats = [(rnd.randint(0, 0xFFFF), rnd.randint(-0x8000, 0x7FFF))
                         for _ in range(rnd.randint(0, 3))]
                details.append(statmod(stats, tuple(numbers(BODIES[STATMOD])[:-1]),
                                       length=rnd.randint(0, 0xFFFF)))
            else:
                details.append(detail(kind, BODIES[kind].pack(*numbers(BODIES[kind])),
                                      rnd.randint(0, 0xFFFF)))
        spell = rnd.random() < 0.5
        parts.append(action(
            rnd.randint(0, 0xFFFFFFFF), name=text(20), desc=text(60), blah=text(5),
            foo=text(5), bar=text(5) + b"\0" * rnd.randint(0, 3), action_type=SPELL if spell
            else rnd.choice((0, 1, 3, 255)), classes=rnd.randint(0, 0xFFFFFFFF),
            spell=(text(4).ljust(4, b"\0")[:4], rnd.randint(0, 0xFFFF), rnd.randint(0, 0xFFFF)),
            details=details))
    return b"".join(parts)


class TerminalBytes(io.BytesIO):
    """A standard output that claims to be a terminal."""

    def isatty(self):
        return True


# ---- running the tool ----------------------------------------------------------------------

class ToolTestCase(unittest.TestCase):
    def setUp(self):
        self.tmpdir = tempfile.mkdtemp(prefix="actiontool-test-")
        self.addCleanup(shutil.rmtree, self.tmpdir, True)
        # Temporary files the tool makes away from its output land here too, for leftovers().
        self.addCleanup(setattr, tempfile, "tempdir", tempfile.tempdir)
        tempfile.tempdir = self.tmpdir

    def path(self, name):
        return os.path.join(self.tmpdir, name)

    def action_file(self, data, name="actions.gz", compressed=True):
        path = self.path(name)
        with open(path, "wb") as f:
            f.write(gzipped(data) if compressed else data)
        return path

    def json_file(self, document, name="actions.json"):
        path = self.path(name)
        if isinstance(document, dict):  # "format" first, as export writes it, on both hosts
            document = collections.OrderedDict(sorted(document.items(), key=lambda item: (
                item[0] != "format", item[0])))
        with io.open(path, "w", encoding="utf-8") as f:
            f.write(json.dumps(document, ensure_ascii=False) if not isinstance(
                document, type(u"")) else document)
        return path

    def run_tool(self, *args, **options):
        """(status, stdout, stderr) of the tool's main function run here with args, standard
        input holding options["stdin"] (bytes). stdout is text, or bytes with
        options["binary"]; with options["terminal"] it claims to be a terminal. An exception
        escaping it fails the test: the tool reports every failure itself."""
        saved = sys.stdin, sys.stdout, sys.stderr
        sys.stdin = io.BytesIO(options.get("stdin", b""))
        sys.stdout = TerminalBytes() if options.get("terminal") else io.BytesIO()
        sys.stderr = io.BytesIO()
        try:
            status = cli.main(list(args))
            out, err = sys.stdout.getvalue(), sys.stderr.getvalue()
        finally:
            sys.stdin, sys.stdout, sys.stderr = saved
        return status, out if options.get("binary") else out.decode("utf-8"), \
            err.decode("utf-8")

    def run_process(self, *args, **options):
        """(status, stdout, stderr) of the actiontool script run as a program."""
        proc = subprocess.Popen([sys.executable, TOOL] + list(args), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=options.get("env", os.environ))
        out, err = proc.communicate()
        out, err = out.decode("utf-8"), err.decode("utf-8")
        self.assertNotIn("Traceback", err)
        return proc.returncode, out, err

    def assertRuns(self, *args):
        status, out, err = self.run_tool(*args)
        self.assertEqual(status, 0, "actiontool %s: %s" % (" ".join(args), err))
        return out

    def round_trip(self, source):
        """Exports the action file source, imports the JSON again; returns (json path,
        uncompressed bytes of the imported file)."""
        exported, rebuilt = self.path("exported.json"), self.path("rebuilt.gz")
        self.assertRuns("export", source, exported)
        self.assertRuns("import", exported, rebuilt)
        return exported, gunzip(rebuilt)

    def valid_document(self):
        """The JSON of two actions as export writes it: one spell with a damage and a stat
        modification, one action with a healing detail."""
        source = self.action_file(
            action(1, b"Spark", action_type=SPELL, spell=(b"SPRK", 1, 2),
                   details=[damage(), statmod()]) + action(2, b"Rest", details=[healing()]))
        exported = self.path("valid.json")
        self.assertRuns("export", source, exported)
        os.remove(source)
        with io.open(exported, encoding="utf-8") as f:
            document = f.read()
        os.remove(exported)
        return document

    def leftovers(self, *keep):
        return sorted(set(os.listdir(self.tmpdir)) - set(os.path.basename(k) for k in keep))


# ---- the tests -----------------------------------------------------------------------------

class RoundTripTest(ToolTestCase):
    def test_a_file_written_by_the_objects_checks_without_warnings(self):
        """Lengths left to follow their bodies are the ones check expects: every body,
        with its stat entries, and a raw one."""
        q = module.load()
        details = [q.Detail(type=1), q.Detail(type=3), q.Detail(type=2),
                   q.Detail(body=q.StatMod(stats=[q.Stat(stat=n) for n in range(3)])),
                   q.Detail(type=9, body=b"raw")]
        source = self.path("objects.gz")
        q.write_actions(source, [q.Action(actionID=1, details=details),
                                 q.Action(actionID=2, actionType=2, details=details[2:4])])
        status, out, err = self.run_tool("check", source)
        self.assertEqual(status, 0, out + err)
        self.assertNotIn("warning", out + err)
        lengths = [d.length for d in list(q.read_actions(source))[0].details]
        self.assertEqual(lengths, [24, 18, 16, 28, 3])

    def test_example_imports_and_comes_back_the_same(self):
        original = self.path("example.gz")
        self.assertRuns("import", EXAMPLE, original)
        data = gunzip(original)
        with io.open(EXAMPLE, encoding="utf-8") as f:
            example = json.load(f)["actions"]
        first = example[0]
        name, desc = first["name"].encode("utf-8"), first["desc"].encode("utf-8")
        self.assertEqual(HEAD.unpack(data[:HEAD.size])[:3],
                         (first["actionID"], len(name), len(desc)))
        self.assertEqual(data[HEAD.size:HEAD.size + len(name)], name)

        exported, rebuilt = self.round_trip(original)
        self.assertEqual(rebuilt, data)
        with io.open(exported, encoding="utf-8") as f:
            self.assertEqual(json.load(f)["actions"], example)

    def test_example_covers_every_detail_kind_with_and_without_the_trailer(self):
        with io.open(EXAMPLE, encoding="utf-8") as f:
            actions = json.load(f)["actions"]
        self.assertTrue(20 <= len(actions) <= 40)
        kinds = set(d["header"]["type"] for a in actions for d in a["details"])
        self.assertEqual(kinds, set([DAMAGE, STATMOD, HEALING]))
        self.assertEqual(set(a["actionType"] == SPELL for a in actions), set([True, False]))

    CRAFTED = [
        ("every record kind", action(
            1, b"Bolt", b"A bolt.", b"b", b"fo", b"bar", action_type=SPELL,
            spell=(b"BOLT", 7, 9), details=[damage(), statmod(), healing(),
                                            statmod(stats=())])
         + action(2, b"Rest", action_type=3, details=[healing()]) + action(3, b"Idle")),
        ("texts outside ASCII", action(
            4, u"Fl\u00e4che \u2736".encode("utf-8"), b"\xff\xfe caf\xe9", b"\x01\x7f",
            action_type=SPELL, spell=(u"\u00e9t".encode("utf-8") + b"\0", 1, 1))),
        ("zero-padded texts", action(5, b"Ash" + b"\0" * 5, b"", b"\0" * 5, b"x\0")),
        ("spell codes with bytes behind the terminator", action(
            6, action_type=SPELL, spell=(b"AB\0C", 1, 2)) + action(
            7, action_type=SPELL, spell=(b"\0XYZ", 3, 4)) + action(
            8, action_type=SPELL, spell=(b"Q\0\0\0", 5, 6)) + action(
            9, action_type=SPELL, spell=(b"\xff\xfe\0\x01", 7, 8))),
        ("unsigned 32-bit values above 2**31", action(
            0xFFFFFFFE, classes=0x80000000, states=0xFFFFFFFF, details=[
                damage(1, 1, 6, 2, 3, -1, 0, 2, 1, 0xFFFFFFFF, 0x80000001),
                healing(1, 2, 8, 4, 0, 0x80000000, 0xFFFFFFFF),
                statmod(values=(0, 1, 10, 0, 0, 0xFEDCBA98))])),
        ("signed extremes", action(10, details=[
            damage(255, 255, -32768, 32767, -1, -2 ** 31, 255, 255, 65535, 0, 0),
            healing(65535, -32768, 32767, -32768, 65535, 0, 0),
            statmod(stats=((65535, -32768), (0, 32767)))])),
        ("no actions at all", b""),
        ("detail lengths that differ from the records", action(11, details=[
            damage(length=0), healing(length=65535), statmod(length=3)])),
        ("details of unknown types", action(12, details=[
            detail(9, b"\x01\x00\xff"), damage(), detail(65535, b"")])),
        ("texts with bytes behind zero bytes", action(
            13, b"Na\0me", b"\0\xff\0", b"\0", action_type=SPELL, spell=(b"\0\0\0Z", 0, 0))),
    ]

    def test_crafted_files_come_back_byte_for_byte(self):
        for title, data in self.CRAFTED:
            source = self.action_file(data)
            _, rebuilt = self.round_trip(source)
            self.assertEqual(rebuilt, data, title)

    def test_plain_uncompressed_file_is_read_like_the_record_stream_reads_it(self):
        data = self.CRAFTED[0][1]
        source = self.action_file(data, compressed=False)
        self.assertEqual(self.round_trip(source)[1], data)

    def test_json_carries_every_byte_in_its_documented_form(self):
        source = self.action_file(
            action(0xFFFFFFFE, b"Ash\0\0\0", b"\xff\xfe", u"\u00e9".encode("utf-8"),
                   action_type=SPELL, spell=(b"AB\0C", 1, 2))
            + action(2, action_type=SPELL, spell=(b"Q\0\0\0", 3, 4)))
        exported = self.path("out.json")
        self.assertRuns("export", source, exported)
        with io.open(exported, encoding="utf-8") as f:
            first, second = json.load(f)["actions"]
        self.assertEqual(first["actionID"], 0xFFFFFFFE)
        self.assertEqual(first["name"], u"Ash\u0000\u0000\u0000")
        self.assertFalse(set(["nameLen", "numDetails"]) & set(first))
        self.assertEqual(first["desc"], {u"hex": u"fffe"})
        self.assertEqual(first["blah"], u"\u00e9")
        self.assertEqual(first["spellCode"], u"AB\u0000C")
        self.assertEqual(second["spellCode"], u"Q")
        self.assertNotIn("spellCode", json.loads(self.export_one(action(3)))["actions"][0])

    def export_one(self, data):
        exported = self.path("one.json")
        self.assertRuns("export", self.action_file(data, "one.gz"), exported)
        with io.open(exported, encoding="utf-8") as f:
            return f.read()

    def test_generated_file_comes_back_byte_for_byte(self):
        data = generated_file(1500, seed=20261210)
        self.assertEqual(self.round_trip(self.action_file(data))[1], data)


def damaged_cases():
    """(title, uncompressed or raw file bytes, compressed?, check status, phrases expected in
    the report). Three intact actions come first in most of them."""
    base = (action(101, b"One", action_type=SPELL, details=[damage(), statmod()])
            + action(102, b"Two", details=[healing()]) + action(103, b"Three"))
    next_head = action(104, b"Four" * 3, details=[damage()])
    corrupt, fault = gzip_damaged_at(base + next_head, len(base) + 7)
    return [
        ("intact", base, True, 0, ["3 actions (1 spell)", "1 damage, 1 stat modification, "
                                   "1 healing, 0 of unknown type", "2 stat entries", "ok"]),
        ("cut inside an action header", base + next_head[:10], True, 1,
         ["action #4", "offset %d" % len(base), "10 bytes remain",
          "cut inside an action header"]),
        ("cut inside the texts", base + next_head[:HEAD.size + 5], True, 1,
         ["action #4 (id 104)", "offset %d" % (len(base) + HEAD.size),
          "its texts (12 bytes behind the head)", "ends 5 bytes into"]),
        ("cut inside a detail header", base + next_head[:HEAD.size + 12 + 2], True, 1,
         ["action #4 (id 104), detail 1 of 1", "offset %d" % (len(base) + HEAD.size + 12),
          "4-byte detail header"]),
        ("cut inside a damage body", base + next_head[:-3], True, 1,
         ["action #4 (id 104), detail 1 of 1", "offset %d" % (len(base) + HEAD.size + 16),
          "ends 21 bytes into its 24-byte damage body"]),
        ("stat entries missing", base + action(105, details=[statmod(count=3)]), True, 1,
         ["action #4 (id 105), detail 1 of 1", "stat entry 3 of 3"]),
        ("detail of an unknown type", action(101, details=[detail(9, b"\x01" * 6), damage()])
         + base, True, 0, ["4 actions", "1 of unknown type", "ok"]),
        ("unknown detail longer than the file", base + action(
            106, details=[detail(9, b"\x01" * 6, length=100)]), True, 1,
         ["action #4 (id 106)", "says 100 body bytes follow", "holds 6 more"]),
        ("bytes after the last action", base + b"\x07" * 5, True, 1,
         ["action #4", "5 bytes remain after the last action", "trailing bytes"]),
        ("text with other bytes behind a zero byte", base + action(107, b"Na\0me"), True, 0,
         ["4 actions", "ok"]),
        ("compressed data cut short", gzipped(base)[:-12], False, 1, ["cut short"]),
        ("not gzip data behind the compressed data", gzipped(base) + b"junk", False, 1,
         ["4 bytes that are not gzip data"]),
        ("corrupt compressed data at a known offset", corrupt, False, 1,
         ["action #4, offset %d: the file ends 7 bytes into its 24-byte action header" % len(base),
          "damaged at compressed byte %d (invalid block" % fault]),
        ("plain records, not gzip", base, False, 0,
         ["not gzip-compressed (no gzip signature); read as plain records", "3 actions", "ok"]),
        ("a text file", b"plain text, no gzip\n", False, 1,
         ["not gzip-compressed", "20 bytes remain in the file", "cut inside an action header"]),
    ]


class DamagedFileTest(ToolTestCase):
    def test_check_reports_where_and_what_and_export_refuses(self):
        for title, data, compress, status, phrases in damaged_cases():
            source = self.action_file(data, compressed=compress)
            got, out, err = self.run_tool("check", source)
            self.assertEqual(got, status, "%s: %s %s" % (title, out, err))
            for phrase in phrases:
                self.assertIn(phrase, out + err, title)

            exported = self.path("export.json")
            got, _, err = self.run_tool("export", source, exported)
            self.assertEqual(got, status, "%s: %s" % (title, err))
            self.assertEqual(os.path.exists(exported), status == 0, title)
            self.assertEqual(self.leftovers(source, exported), [], title)
            if os.path.exists(exported):
                os.remove(exported)

    def test_read_actions_words_a_gzip_fault_as_check_prints_it(self):
        data = b"".join(action(100 + number) for number in range(3))
        corrupt, _ = gzip_damaged_at(data, len(data) - 10)
        for title, damaged in (("cut", gzipped(data)[:-12]), ("corrupt", corrupt)):
            source = self.action_file(damaged, compressed=False)
            _, _, err = self.run_tool("check", source)
            try:
                list(support.q.read_actions(source))
            except support.q.DamagedFileError as error:
                words = str(error).split(": ", 1)[1]  # behind "action N at offset M"
            else:
                self.fail("%s: read whole" % title)
            self.assertTrue(words.startswith("the compressed data is "), words)
            self.assertIn(words, err, title)

    def test_damage_beyond_the_first_megabyte_is_placed_exactly(self):
        texts = [os.urandom(60000).replace(b"\0", b"\1") for _ in range(20)]
        data = b"".join(action(number, desc=text) for number, text in enumerate(texts))
        corrupt, fault = gzip_damaged_at(data, len(data) - 3000)
        self.assertGreater(fault, 1 << 20)
        status, _, err = self.run_tool("check", self.action_file(corrupt, compressed=False))
        self.assertEqual(status, 1, err)
        self.assertIn("damaged at compressed byte %d (" % fault, err)

    def test_an_action_too_large_to_hold_is_named_and_a_huge_count_is_a_cut(self):
        limit = 1 << 24  # stat entries an action read whole may hold
        too_many = action(7, details=[statmod((), count=limit + 1)]) + b"\0" * (4 * (limit + 1))
        huge = action(8, details=[statmod((), count=0xFFFFFFFF)]) + b"\0" * (1 << 20)
        for data, report in (
                (too_many, "action #1, offset 0: detail 1 has %d stat entries, more than an "
                           "action read whole may hold (%d in all its details)" % (limit + 1, limit)),
                (huge, "action #1 (id 8), detail 1 of 1, offset %d: the file ends where its "
                       "stat entry 262145 of 4294967295 (4 bytes each) should begin" % len(huge))):
            status, _, err = self.run_tool("check", self.action_file(data))
            self.assertEqual(status, 1, err)
            self.assertIn(report, err)

    def test_a_read_that_fails_gives_a_report(self):
        """The file's read() fails behind the first action: the system's words, placed."""
        from actionfile import walk
        first = action(101, details=[damage()])
        source = self.action_file(first + action(102, details=[healing()]), compressed=False)

        class Failing(io.FileIO):
            def read(self, size=-1):
                if self.tell() >= len(first):
                    raise IOError(errno.EIO, os.strerror(errno.EIO))
                return io.FileIO.read(self, min(size, len(first) - self.tell()))
        self.addCleanup(setattr, walk.Source, "open_file", walk.Source.__dict__["open_file"])
        walk.Source.open_file = staticmethod(lambda path: Failing(path, "rb"))
        status, out, err = self.run_tool("check", source)
        export_status, _, _ = self.run_tool("export", source, self.path("out.json"))
        self.assertEqual((status, export_status), (1, 1), out + err)
        self.assertIn("action #2, offset %d: the file cannot be read from here: %s"
                      % (len(first), os.strerror(errno.EIO)), err)
        self.assertEqual(self.leftovers(source), [])

    def test_the_inflated_stream_refuses_a_read_from_inside_its_own_read(self):
        inner = []

        class Reentering(io.BytesIO):
            def read(self, size=-1):
                if not inner:
                    try:
                        stream.read(10)
                        inner.append("read again")
                    except ValueError as error:
                        inner.append(str(error))
                return io.BytesIO.read(self, size)
        data = action(1, details=[damage()])
        stream = _support._inflate(Reentering(gzipped(data)))
        self.assertEqual(stream.read(), data)
        self.assertEqual(inner, ["the inflated stream is already being read"])
        self.assertEqual((stream.read(), stream.fault(), stream.delivered), (b"", None, len(data)))

    def test_dump_lists_up_to_the_damage_then_fails(self):
        data = action(101, b"One", details=[damage()]) + action(102, b"Two")[:26]
        status, out, err = self.run_tool("dump", self.action_file(data))
        self.assertEqual(status, 1)
        self.assertIn('#1 id 101 "One"', out)
        self.assertIn("action #2 (id 102)", err)


class _Entry(object):
    """A stat entry that counts how many of its kind are alive."""
    alive = most_alive = 0

    def __init__(self, stat, amount):
        self.stat, self.modAmt = stat, amount
        _Entry.alive += 1
        _Entry.most_alive = max(_Entry.most_alive, _Entry.alive)

    def __del__(self):
        _Entry.alive -= 1


class _Entries(object):
    """Stat entries made one at a time as they are walked, walked at most once: a sequence
    that only an exporter or a listing that never materialises it can take."""

    def __init__(self, count):
        self.count = count
        self.walked = False

    def __len__(self):
        return self.count

    def __iter__(self):
        assert not self.walked, "the entries were walked twice"
        self.walked = True
        return (_Entry(n % 7, -(n % 5)) for n in range(self.count))


class _Standing(object):
    """An object standing for another, some of its attributes replaced."""

    def __init__(self, real, **replaced):
        self._real = real
        self.__dict__.update(replaced)

    def __getattr__(self, name):
        return getattr(self._real, name)


class _Writes(io.BytesIO):
    most = 0

    def write(self, data):
        self.most = max(self.most, len(data))
        return io.BytesIO.write(self, data)


class StreamingTest(ToolTestCase):
    """export walks a detail's stat entries as it writes them: the same bytes as the whole
    document form, entries never held, output written in pieces (dump's native listing goes
    out in blocks the same way: test_file_walks)."""

    ENTRIES = 60000

    def walk_of(self, actions):
        from actionfile.layout import Layout
        layout = Layout(module.load())
        walk = _Standing(None, layout=layout, counts=layout.q.walking.Counts())

        def walked():
            for item in actions:
                walk.counts.actions += 1
                yield item
        walk.actions = walked
        return walk

    def test_export_streams_the_entries(self):
        from actionfile import exporter
        from qn4tGenericActionLoader import _form
        q = module.load()
        entries = [(n % 7, -(n % 5)) for n in range(self.ENTRIES)]
        data = (action(1, b"Many", details=[damage(), statmod(entries, length=0), healing()])
                + action(2, b"None", action_type=SPELL, details=[statmod(())]))
        real = list(q.read_actions(io.BytesIO(data), plain=True))

        def standing():
            many = real[0].details[1]
            return [_Standing(real[0], details=[real[0].details[0], _Standing(
                many, body=_Standing(many.body, stats=_Entries(self.ENTRIES))),
                real[0].details[2]]), real[1]]

        for indent in (None, 2):
            texts = [u" " * (indent or 0) + u"".join(_form.action_json_pieces(a.to_dict(), indent))
                     for a in real]
            document = (_form.document_start() + u"\n" + u",\n".join(texts) +
                        u"\n]}\n").encode("utf-8")
            for title, write, expected in (
                    ("export", lambda walk, out: exporter.export(walk, out, indent), document),):
                _Entry.most_alive = _Entry.alive = 0
                out = _Writes()
                write(self.walk_of(standing()), out)
                self.assertEqual(out.getvalue(), expected, "%s, indent %s" % (title, indent))
                self.assertLess(_Entry.most_alive, 4, title)
                self.assertLess(out.most, len(expected) // 4, title)


class NativeExportTest(ToolTestCase):
    """export's text is made natively (_export_json): the same bytes as the document form
    made in Python from the Action objects, given out a block of whole actions at a time,
    with the damage of a file raised behind the last complete action."""

    EDGES = [  # texts at the edges of UTF-8 and of what JSON escapes
        ("overlong and beyond U+10FFFF", action(
            20, b"\xc0\x80", b"\xe0\x80\x80", b"\xf0\x8f\xbf\xbf", b"\xf4\x90\x80\x80",
            b"\xf5\x80")),
        ("the largest forms and cut ones", action(
            21, b"\xf4\x8f\xbf\xbf", b"a\xe2\x82", b"\x80", b"\xdf\xbf\xc2", b"\xee\x80\x80")),
        ("every control character, DEL, quote and backslash", action(
            22, bytes(bytearray(range(32))), b"\x7f\"\\/", action_type=SPELL,
            spell=(b"\n\"\\\0", 1, 2))),
    ]

    def documents(self, data, indent):
        """(natively, through the Action objects): the bytes export writes of data."""
        from actionfile import exporter
        from actionfile.layout import Layout
        from actionfile.walk import Walk
        layout = Layout(module.load())
        source = self.action_file(data)
        texts = []
        for walk in (Walk(layout, source), _Standing(None, actions=lambda: iter(list(
                module.load().read_actions(source))))):
            out = io.BytesIO()
            exporter.export(walk, out, indent)
            texts.append(out.getvalue())
        return texts

    def test_the_same_bytes_as_the_document_form(self):
        for title, data in RoundTripTest.CRAFTED + self.EDGES + [
                ("generated", generated_file(300, seed=11))]:
            for indent in (None, 0, 2, -1):
                natively, objects = self.documents(data, indent)
                self.assertEqual(natively, objects, "%s, indent %s" % (title, indent))
        natively, _ = self.documents(self.EDGES[0][1], None)
        self.assertIn(b'"name": {"hex": "c080"}', natively)
        self.assertIn(b'"name": "\xf4\x8f\xbf\xbf"', self.documents(self.EDGES[1][1], None)[0])

    def blocks(self, data, indent=None):
        """[(block, actions, offset)] of _export_json over data, and what ended it."""
        reader = _support._export_json(io.BytesIO(data), 1, indent)
        got = []
        try:
            for block in reader:
                got.append((block, reader.actions, reader.offset))
        except Exception as error:  # what the test looks at
            return got, error
        return got, None

    def test_an_action_of_many_entries_goes_out_in_blocks(self):
        from qn4tGenericActionLoader import _form
        entries = [(n % 7, -(n % 5)) for n in range(60000)]
        data = action(1, details=[statmod(entries, length=0), damage()]) + action(2)
        got, ended = self.blocks(data, 2)
        self.assertIsNone(ended)
        self.assertGreater(len(got), 2)
        self.assertLess(max(len(block) for block, _, _ in got), (1 << 18) + 200)
        self.assertEqual([(actions, offset) for _, actions, offset in got[-1:]], [(2, len(data))])
        self.assertEqual(set((a, o) for _, a, o in got[:-1]), set([(0, 0)]))
        expected = u",\n".join(u"  " + u"".join(_form.action_json_pieces(a.to_dict(), 2))
                               for a in module.load().read_actions(io.BytesIO(data), plain=True))
        self.assertEqual(b"".join(block for block, _, _ in got), expected.encode("utf-8"))

    def test_damage_comes_after_the_complete_actions(self):
        whole = action(1, details=[damage()]) + action(2, details=[statmod()])
        q = module.load()

        class Failing(io.BytesIO):
            def read(self, size=-1):
                if self.tell() >= len(whole):
                    raise OSError(errno.EIO, "read failed")
                return io.BytesIO.read(self, min(size, len(whole) - self.tell()))
        for title, source, error in (
                ("cut", io.BytesIO(whole + action(3)[:20]), q.DamagedFileError),
                ("read() fails", Failing(whole + action(3)), OSError)):
            reader = _support._export_json(source, 1)
            blocks = list(blocks_until(reader, error))
            self.assertEqual(len(blocks), 1, title)
            self.assertTrue(blocks[0].startswith(b'{"actionID": 1, ') and b"\n{" in blocks[0],
                            title)
            self.assertEqual((reader.actions, reader.offset), (2, len(whole)), title)
            self.assertEqual(list(reader), [], title)

    def test_indent_is_none_or_an_integer(self):
        data = action(1, details=[damage()])
        for indent, outcome in ((None, b'{"actionID": 1, "targetType": 1'),
                                (-5, b'{\n"actionID": 1,\n"targetType": 1'),
                                (True, b' {\n  "actionID": 1,\n  "targetType": 1'),
                                ("2", TypeError), (2.0, TypeError), (1 << 21, ValueError),
                                (1 << 70, OverflowError)):
            if isinstance(outcome, bytes):
                got, ended = self.blocks(data, indent)
                self.assertIsNone(ended)
                self.assertTrue(got[0][0].startswith(outcome), (indent, got[0][0][:40]))
            else:
                self.assertRaises(outcome, _support._export_json, io.BytesIO(data),
                                  1, indent)


def blocks_until(reader, error):
    """The blocks of reader until it raises error (which it must)."""
    blocks = []
    try:
        for block in reader:
            blocks.append(block)
    except error:
        return blocks
    raise AssertionError("%s was not raised" % error.__name__)


class ImportRefusalTest(ToolTestCase):
    """Bad JSON is refused naming the action and the field, and leaves no file behind."""

    MISTAKES = [
        # (title, change to the document, phrases of the message)
        ("u8 out of range", lambda d: d["actions"][0].update(range=256),
         ["actions[0] (actionID 1): range: Action.range is unsigned 8-bit: 256 is out of "
          "its range 0 to 255"]),
        ("u32 negative", lambda d: d["actions"][0].update(validClasses=-1),
         ["validClasses: Action.validClasses is unsigned 32-bit: -1 is out of its range",
          "0 to 4294967295"]),
        ("s16 out of range", lambda d: d["actions"][0]["details"][0]["body"].update(
            die=40000), ["actions[0] (actionID 1): details[0].body.die: Damage.die is signed 16-bit: 40000"]),
        ("a record's fields on a type without one", lambda d: d["actions"][0]["details"][0][
            "header"].update(type=7), ["details[0].body: a detail of type 7",
                                       "carries its body as bytes"]),
        ("stats on a damage detail", lambda d: d["actions"][0]["details"][0].update(
            stats=[]), ["details[0].stats: only a stat modification"]),
        ("numDetails disagrees", lambda d: d["actions"][1].update(numDetails=2),
         ["actions[1] (actionID 2): numDetails: 2 but 1 details follow"]),
        ("numStatMods disagrees", lambda d: d["actions"][0]["details"][1]["body"].update(
            numStatMods=3), ["details[1].body.numStatMods: 3 but 2 stat entries follow"]),
        ("a length that disagrees", lambda d: d["actions"][0].update(nameLen=3),
         ["nameLen: 3 disagrees with name, which has 5 bytes"]),
        ("bad hex", lambda d: d["actions"][0].update(desc={"hex": "abc"}),
         ['desc: "abc" is not bytes in hex']),
        ("spell code too long", lambda d: d["actions"][0].update(spellCode=u"SPARK"),
         ['spellCode: Action.spellCode holds at most 4 bytes, not 5']),
        ("spell fields on an action that is not a spell", lambda d: d["actions"][1].update(
            spellCost=3), ["actions[1] (actionID 2): spellCost: only an action of "
                           "actionType 2 (a spell) carries spellCost"]),
        ("string for an integer", lambda d: d["actions"][0].update(levelAcquired=u"3"),
         ['levelAcquired: expected an integer, found "3"']),
        ("boolean for an integer", lambda d: d["actions"][0].update(targetType=True),
         ["targetType: expected an integer, found true"]),
        ("boolean for a detail length", lambda d: d["actions"][0]["details"][0][
            "header"].update(length=False), ["details[0].header.length: expected an "
                                             "integer, found false"]),
        ("float for an integer", lambda d: d["actions"][0].update(actionID=1.0),
         ["actions[0]: actionID: expected an integer, found 1.0"]),
        ("float in a stat entry", lambda d: d["actions"][0]["details"][1]["stats"][0].update(
            modAmt=2.5), ["details[1].stats[0].modAmt: expected an integer, found 2.5"]),
        ("256 details", lambda d: d["actions"][1].update(
            details=d["actions"][1]["details"] * 256),
         ["actions[1] (actionID 2): details: 256 details, more than numDetails holds",
          "0 to 255"]),
        ("a text too long for its length field", lambda d: d["actions"][1].update(
            blah=u"x" * 256), ["actions[1] (actionID 2): blah: a text of 256 bytes is too "
                               "long for its length field blahLen (at most 255)"]),
        ("misspelt field", lambda d: d["actions"][0].update(nmae=u"x"),
         ["actions[0] (actionID 1): nmae: unknown field (did you mean name?)"]),
        ("misspelt body field", lambda d: d["actions"][1]["details"][0]["body"].update(
            numDcie=1), ["details[0].body.numDcie: unknown field (did you mean numDice?)"]),
        ("action that is not an object", lambda d: d["actions"].append(5),
         ["actions[2]: expected a JSON object, found 5"]),
        ("a member besides the actions", lambda d: d.update(extra=1),
         ["expected the end of the document"]),
        ("a detail's body without its header", lambda d: d["actions"][0]["details"][0].pop(
            "header"), ['details[0].header: the detail has no type (a detail without one is '
                        'of type 0, whose body is bytes): add "header": {"type": 1} for '
                        'damage']),
        ("a healing field on a damage body", lambda d: d["actions"][0]["details"][0][
            "body"].update(numDice=2), ["details[0].body.numDice: unknown field: numDice is "
                                        "a field of a healing body (type 3); this detail is "
                                        "of type 1 (damage)"]),
    ]

    def test_refusals(self):
        valid = self.valid_document()
        for title, change, phrases in self.MISTAKES:
            document = json.loads(valid)
            change(document)
            self.assertRefused(self.json_file(document), phrases, title)

    def test_every_mistake_of_a_run_is_placed(self):
        lines = self.valid_document().splitlines()
        spell, plain = json.loads(lines[1].rstrip(",")), json.loads(lines[2])
        spell.update(range=300)
        spell["details"][0]["body"]["die"] = 70000
        plain.update(nmae=u"Rest")
        document = u"\n".join([lines[0], json.dumps(spell) + u",", json.dumps(plain), lines[3]])
        json_path = self.json_file(document)
        status, _, err = self.run_tool("check", json_path)
        self.assertEqual(status, 1, err)
        found = [line for line in err.splitlines() if ", line " in line]
        self.assertEqual(len(found), 3, err)
        for line, (row, field) in zip(found, [(2, "range: Action.range is unsigned 8-bit: 300"),
                                              (2, "die: Damage.die is signed 16-bit: 70000"),
                                              (3, "nmae: unknown field")]):
            self.assertIn("actions.json, line %d, column " % row, line)
            self.assertIn(field, line)
        column = int(found[0].split("column ")[1].split(":")[0])
        self.assertEqual(document.splitlines()[1][column - 1:column + 2], u"300")
        self.assertEqual(self.run_tool("import", "--dry-run", json_path)[2], err)
        self.assertEqual(self.leftovers(json_path), [])

    def test_text_that_is_not_the_document(self):
        for text, phrases in [
                (u'{"actions": [ {"actionID": 1,', ["not valid JSON"]),
                (u'{"format": 2, "actions": [\n{"actionID": 1}, \n  {"actionID": 2},\n]}',
                 ["line 3, column 18: a comma after the last action",
                  u'\n      {"actionID": 2},\n' + u" " * 21 + u"^"]),
                (u'{"format": 2, "actions": [\n{"actionID": 1, "name": "a", "name": "b"}]}',
                 ['line 2, column 30: the key "name" is given twice']),
                (u'{"format": 3, "actions": []}', ["format 3 is not one this tool reads"]),
                (u'{"actions": [], "format": 2}', ['"format" comes before "actions"']),
                (u'[{"actionID": 1}]', ['expected a JSON object {"format": 2']),
                (u'{"actions": []} []', ["expected the end of the document"])]:
            self.assertRefused(self.json_file(text), phrases, text)

    def test_json_that_is_not_utf8_is_placed_at_its_byte(self):
        start = b'{"format": 2, "actions": [{"name": "'
        for padding in (0, 70000):  # in the first piece read, and far behind it
            data = start + b"x" * padding + b'\xff"}]}'
            json_path = self.path("latin.json")
            with open(json_path, "wb") as f:
                f.write(data)
            self.assertRefused(json_path, ["not UTF-8 text (invalid start byte) at byte %d "
                                           % data.index(b"\xff")], padding)

    def test_a_byte_order_mark_is_taken(self):
        out = self.path("bom.gz")
        with open(self.path("bom.json"), "wb") as f:
            f.write(b"\xef\xbb\xbf" + self.valid_document().encode("utf-8"))
        self.assertRuns("import", self.path("bom.json"), out)
        self.assertEqual(len(list(module.load().read_actions(out))), 2)

    def test_empty_list_makes_an_empty_file(self):
        out = self.path("empty.gz")
        self.assertRuns("import", self.json_file(u' {\n "actions" : [ ] }\n'), out)
        self.assertEqual(gunzip(out), b"")

    def test_refusal_leaves_an_existing_output_untouched(self):
        out = self.path("keep.gz")
        with open(out, "wb") as f:
            f.write(b"previous contents")
        document = json.loads(self.valid_document())
        document["actions"][1]["details"][0]["body"]["numDice"] = 1 << 15
        status, _, err = self.run_tool("import", self.json_file(document), out)
        self.assertEqual(status, 1, err)
        with open(out, "rb") as f:
            self.assertEqual(f.read(), b"previous contents")

    def assertRefused(self, json_path, phrases, title):
        out = self.path("out.gz")
        status, stdout, err = self.run_tool("import", json_path, out)
        self.assertEqual(status, 1, "%s: %s" % (title, stdout))
        for phrase in phrases:
            self.assertIn(phrase, err, title)
        self.assertIn("not written", err, title)
        self.assertEqual(self.leftovers(json_path), [], title)


def replaced(old, new):
    return lambda text: text.replace(old, new, 1)


class EditingTest(ToolTestCase):
    """What a person does to an export with an editor or sed imports to what they meant."""

    SOURCE = (action(1, b"Frost Ward", action_type=SPELL, spell=(b"FRWD", 1, 2),
                     details=[damage(), statmod()])
              + action(2, b"Rest", details=[healing()]) + action(3, b"Last"))

    def test_edits(self):
        edits = [  # (title, change to the JSON text, the action file meant)
            ("a shorter name", replaced(u'"Frost Ward"', u'"Ice Ward"'),
             self.SOURCE.replace(HEAD.pack(1, 10, 0, 1, 2, 3, SPELL, 4, 5, 2, 0, 0, 0)
                                 + b"Frost Ward",
                                 HEAD.pack(1, 8, 0, 1, 2, 3, SPELL, 4, 5, 2, 0, 0, 0)
                                 + b"Ice Ward")),
            ("a longer name", replaced(u'"Rest"', u'"Rest and Recover"'),
             action(1, b"Frost Ward", action_type=SPELL, spell=(b"FRWD", 1, 2),
                    details=[damage(), statmod()])
             + action(2, b"Rest and Recover", details=[healing()]) + action(3, b"Last")),
            ("the last action deleted", lambda text: u"\n".join(
                line for line in text.splitlines() if u'"Last"' not in line).replace(
                    u"}]},\n]}", u"}]}\n]}"), self.SOURCE[:-len(action(3, b"Last"))]),
            ("a value changed", replaced(u'"levelAcquired": 3, "actionType": 0',
                                         u'"levelAcquired": 9, "actionType": 0'),
             self.SOURCE.replace(HEAD.pack(2, 4, 0, 1, 2, 3, 0, 4, 5, 1, 0, 0, 0),
                                 HEAD.pack(2, 4, 0, 1, 2, 9, 0, 4, 5, 1, 0, 0, 0))),
            ("a stat entry added", replaced(u'{"stat": 5, "modAmt": 1}',
                                            u'{"stat": 5, "modAmt": 1}, {"stat": 7}'),
             self.SOURCE.replace(statmod(), statmod(stats=((3, -2), (5, 1), (7, 0))))),
        ]
        exported = self.path("edited.json")
        self.assertRuns("export", self.action_file(self.SOURCE), exported)
        with io.open(exported, encoding="utf-8") as f:
            text = f.read()
        for title, edit, meant in edits:
            self.assertNotEqual(edit(text), text, title)
            out = self.path("out.gz")
            self.assertRuns("import", self.json_file(edit(text), "edited.json"), out)
            self.assertEqual(gunzip(out), meant, title)

    def test_a_minimal_hand_written_action_imports(self):
        document = (u'{"format": 2, "actions": [{"actionID":1,"name":"Zap","actionType":2,'
                    u'"spellCode":"ZAP","details":[{"header":{"type":1},'
                    u'"body":{"die":6,"dice":1}}]}]}')
        out = self.path("zap.gz")
        self.assertRuns("import", self.json_file(document), out)
        body = BODIES[DAMAGE].pack(0, 0, 6, 1, 0, 0, 0, 0, 0, 0, 0)
        self.assertEqual(gunzip(out), HEAD.pack(1, 3, 0, 0, 0, 0, SPELL, 0, 0, 1, 0, 0, 0)
                         + b"Zap" + TRAILER.pack(b"ZAP\0", 0, 0) + detail(DAMAGE, body))

    def test_an_export_written_before_the_format_member_imports_as_before(self):
        before = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data",
                              "export-before-format.json")
        out = self.path("before.gz")
        status, _, err = self.run_tool("import", before, out)
        self.assertEqual(status, 0, err)
        self.assertEqual(gunzip(out), action(
            11, name=b"Ash\0\0\0\0\0", desc=b"old", action_type=SPELL, spell=(b"AB\0C", 3, 9),
            details=[damage(length=0), statmod()]) + action(
            12, name=u"\u00c9clat".encode("utf-8"), bar=b"x\0", details=[healing()]))
        self.assertIn("line 2, column 215: actions[0] (actionID 11): name: nameLen is 8, the "
                      "text has 3 bytes: padded with 5 zero bytes", err)
        self.assertIn("actions[1] (actionID 12): bar: barLen is 2", err)

    def test_check_warns_of_what_a_person_should_know(self):
        source = self.action_file(action(5, details=[damage(length=3)]) + action(5))
        status, _, err = self.run_tool("check", source)
        self.assertEqual(status, 0, err)
        self.assertIn("warning: action #2 has the actionID 5 of action #1", err)
        self.assertIn("warning: action #1 (id 5), detail 1: length 3 differs from its damage "
                      "body's 24 bytes", err)
        status, _, err = self.run_tool("check", self.action_file(b"", "empty.gz"))
        self.assertEqual(status, 0, err)
        self.assertIn("warning: the file is empty", err)
        json_path = self.json_file(self.valid_document())
        status, out, err = self.run_tool("dump", json_path)
        self.assertEqual(status, 1)
        self.assertIn("this looks like JSON: did you mean import?", err)
        self.assertIn("2 actions, ok to import", self.assertRuns("check", json_path))


class DuplicateIdTest(ToolTestCase):
    """check finds repeated actionIDs with a compact set of the IDs seen, and names the
    first action of each."""

    def test_the_compact_set_answers_as_a_set_does(self):
        from qn4tGenericActionLoader.idset import IdSet
        rng = random.Random(5)
        scattered = [rng.randrange(1 << 32) for _ in range(3000)]
        dense = [rng.randrange(70000, 76000) for _ in range(9000)]  # past the listed form
        cases = [
            ("consecutive", list(range(1, 20000))),
            ("descending across ranges", list(range(140000, 120000, -1)) + [130000]),
            ("dense with repeats", dense),
            ("scattered", scattered + scattered[::7]),
            ("the extremes", [0, (1 << 32) - 1, 65535, 65536, 0, (1 << 32) - 1]),
        ]
        for title, numbers in cases:
            ids, model = IdSet(), set()
            for number in numbers:
                self.assertEqual(ids.add(number), number in model, (title, number))
                model.add(number)
            for probe in numbers[:50] + [n ^ 1 for n in numbers[:50]] + [12345678]:
                self.assertEqual(probe in ids, probe in model, (title, probe))

    def test_check_names_the_first_action_of_each_repeated_id(self):
        ids = list(range(1, 31)) + list(range(25, 0, -1))  # 25 repeats, in reverse order
        source = self.action_file(b"".join(action(number) for number in ids))
        status, _, err = self.run_tool("check", source)
        self.assertEqual(status, 0, err)
        lines = [line for line in err.splitlines() if "actionID" in line]
        self.assertTrue(lines[0].endswith("actions.gz: warning: action #31 has the actionID 25 "
                                          "of action #25"), lines[0])
        self.assertTrue(lines[-1].endswith("actions.gz: warning: action #50 has the actionID 6 "
                                           "of action #6"), lines[-1])
        self.assertEqual(len(lines), 20)
        self.assertIn("actions.gz: warning: ... and 5 more", err)


class RepeatedIdImportTest(ToolTestCase):
    """check and import of JSON, CSV and SQLite warn of an action that repeats an earlier
    action's actionID, naming both places; import writes it all the same, unless --strict."""

    def inputs(self):
        """(title, the arguments naming the input, the place of the repeat, of the first)"""
        source = self.action_file(action(5, b"Spark") + action(6, b"Rest") + action(5, b"Copy"))
        document, folder, database = self.path("a.json"), self.path("csv"), self.path("a.db")
        self.assertRuns("export", source, document, "--indent", "1")
        self.assertRuns("export", "--csv", folder, source)
        self.assertRuns("export", "--sqlite", database, source)
        with io.open(document, encoding="utf-8") as f:
            lines = f.read().splitlines()
        rows = [number + 1 for number, line in enumerate(lines) if '"actionID": 5' in line]
        table = os.path.join(folder, "actions.csv")
        return source, [
            ("JSON", [document], "a.json, line %d, column 15" % rows[1],
             "actions[0] (%s, line %d, column 15)" % (document, rows[0])),
            ("CSV", ["--csv", folder], "%s row 4 column actionID" % table,
             "actions[0] (%s row 2 column actionID)" % table),
            ("SQLite", ["--sqlite", database], "table actions row (action_no 2) column "
             "actionID", "actions[0] (%s: table actions row (action_no 0) column actionID)"
             % database),
        ]

    def test_repeats_are_warned_of_naming_both_places(self):
        source, inputs = self.inputs()
        for title, given, place, first in inputs:
            out = self.path("out.gz")
            status, _, err = self.run_tool("import", *(given + [out]))
            self.assertEqual(status, 0, (title, err))
            self.assertIn(place, err, title)
            self.assertIn(": warning: actions[2] has the actionID 5 of " + first, err, title)
            self.assertEqual(gunzip(out), gunzip(source), title)
            os.remove(out)
            status, _, err = self.run_tool("import", "--strict", *(given + [out]))
            self.assertEqual(status, 1, (title, err))
            self.assertIn("actions[2] has the actionID 5 of " + first, err, title)
            self.assertIn("repeated actionIDs refused (--strict)", err, title)
            self.assertFalse(os.path.exists(out), title)
        status, out, err = self.run_tool("check", inputs[0][1][0])
        self.assertEqual(status, 0, err)
        self.assertIn("warning: actions[2] has the actionID 5 of actions[0]", err)

    def test_standard_input_read_once_names_the_repeat_only(self):
        source, inputs = self.inputs()
        with open(inputs[0][1][0], "rb") as f:
            status, _, err = self.run_tool("import", "-", self.path("out.gz"), stdin=f.read())
        self.assertEqual(status, 0, err)
        self.assertIn("standard input, line ", err)
        self.assertIn("actions[2] has the actionID 5 of an earlier action", err)


class FieldReferenceTest(unittest.TestCase):
    def test_every_field_has_its_words_and_no_words_are_left_over(self):
        """Each field is described once: by the package's words, or by what the layout says
        it counts or follows; none is both, none is neither."""
        import make_fields_doc
        from qn4tGenericActionLayout import LAYOUT, TITLES
        from qn4tGenericActionLoader.meanings import MEANINGS, meaning
        derived = make_fields_doc.meanings()
        described = set()
        for record, _, fields in LAYOUT:
            for field, _ in fields:
                words = meaning(record, field)
                if (record, field) not in derived or field == "actionType":
                    self.assertTrue(words, (record, field))
                elif field not in ("spellCode", "spellPath", "spellCost"):
                    self.assertIsNone(words, (record, field))
                described.add((TITLES[record], field))
        self.assertEqual(set(MEANINGS) - described, set())

    def test_docs_fields_md_is_what_the_layout_makes(self):
        import make_fields_doc
        with io.open(os.path.join(SOURCE_DIR, "docs", "fields.md"), encoding="utf-8") as f:
            self.assertEqual(f.read(), make_fields_doc.document(),
                             "docs/fields.md is out of date: run tools/make_fields_doc.py")


class NativeImportTest(ToolTestCase):
    """import's native way: it makes the actions of the form export writes exactly as the
    checked way would, and declines (None, nothing raised) any other value, which the checked
    way then takes or refuses."""

    def setUp(self):
        super(NativeImportTest, self).setUp()
        self.q = module.load()
        self.from_json = _support._action_from_json

    def written(self, action):
        """The uncompressed bytes of one action as the package writes it."""
        out = io.BytesIO()
        self.q.write_actions(out, [action])
        return gzip.GzipFile(fileobj=io.BytesIO(out.getvalue())).read()

    def exported(self, source):
        exported = self.path("exported.json")
        self.assertRuns("export", source, exported)
        with io.open(exported, encoding="utf-8") as f:
            return json.load(f)["actions"]

    def test_makes_the_actions_export_writes_with_their_sizes(self):
        source = self.action_file(
            action(0xFFFFFFFF, u"Fl\u00e4mme \u6f22".encode("utf-8") + b"\0\0",
                   desc=b"pad" + b"\0" * 9, bar=b"x", action_type=SPELL, classes=0xFFFFFFFF,
                   spell=(b"AB\0\0", 65535, 1), details=[
                       damage(255, 0, -32768, 32767, 0, -(1 << 31), 1, 2, 65535, 0, 1 << 31),
                       statmod(stats=((65535, -32768), (0, 32767)), length=9999),
                       statmod(stats=()), healing(length=0)])
            + action(2, b"", action_type=255) + generated_file(40, seed=7))
        data = gunzip(source)
        offset = 0
        for index, (form, read) in enumerate(zip(self.exported(source),
                                                 self.q.read_actions(source))):
            result = self.from_json(form)
            if index < 2:  # texts of UTF-8: the native way's
                self.assertIsNotNone(result, form)
            if result is None:  # texts in hex: the checked way's
                offset += len(self.written(read))
                continue
            self.assertEqual(result[0], read, index)
            self.assertEqual(type(result[0]), self.q.Action)
            encoded = self.written(result[0])
            self.assertEqual(result[1], len(encoded), index)
            self.assertEqual(encoded, data[offset:offset + len(encoded)], index)
            offset += len(encoded)
        self.assertEqual(offset, len(data))

    def test_declines_every_other_form_without_raising(self):
        class Integer(int):
            pass

        def spell_detail(actions):
            return actions[0]["details"][1]

        cases = [  # (title, the action changed: 0 is a spell, 1 a plain action; change)
            ("a boolean in the head", 0, lambda a: a[0].update(targetType=True)),
            ("a boolean in a body", 0, lambda a: a[0]["details"][0]["body"].update(die=False)),
            ("a boolean in a detail header", 1, lambda a: a[1]["details"][0]["header"].update(
                length=True)),
            ("a boolean in a stat entry", 0, lambda a: spell_detail(a)["stats"][0].update(
                stat=True)),
            ("a subclass of int", 0, lambda a: a[0].update(range=Integer(2))),
            ("a float", 0, lambda a: a[0].update(actionID=1.0)),
            ("u8 out of range", 0, lambda a: a[0].update(range=256)),
            ("u32 negative", 0, lambda a: a[0].update(validClasses=-1)),
            ("far out of range", 0, lambda a: a[0].update(actionID=1 << 70)),
            ("s16 out of range", 0, lambda a: a[0]["details"][0]["body"].update(die=-32769)),
            ("an unknown member", 0, lambda a: a[0].update(nmae=u"x")),
            ("a missing member", 1, lambda a: a[1].pop("levelAcquired")),
            ("trailer fields on a plain action", 1, lambda a: a[1].update(spellCost=3)),
            ("a missing detail type", 1, lambda a: a[1]["details"][0]["header"].pop("type")),
            ("a missing body field", 1, lambda a: a[1]["details"][0]["body"].pop("base")),
            ("an unknown body field", 1, lambda a: a[1]["details"][0]["body"].update(x=1)),
            ("stats on a damage", 0, lambda a: a[0]["details"][0].update(stats=[])),
            ("a stat entry with three fields", 0, lambda a: spell_detail(a)["stats"][0].update(
                x=1)),
            ("a surrogate in a text", 0, lambda a: a[0].update(name=u"Sp\udc80rk")),
            ("a length given", 0, lambda a: a[0].update(nameLen=5)),
            ("a text in hex", 0, lambda a: a[0].update(desc={"hex": "41"})),
            ("bytes for a text", 0, lambda a: a[0].update(name=b"Spark")),
            ("a spell code of five bytes", 0, lambda a: a[0].update(spellCode=u"SPARK")),
            ("a spell code in hex", 0, lambda a: a[0].update(spellCode={"hex": "41424344"})),
            ("numDetails given", 1, lambda a: a[1].update(numDetails=1)),
            ("numStatMods given", 0, lambda a: spell_detail(a)["body"].update(numStatMods=2)),
            ("an unknown detail type", 1, lambda a: a[1]["details"][0]["header"].update(
                type=7)),
            ("details as a tuple", 1, lambda a: a[1].update(details=tuple(a[1]["details"]))),
            ("a detail that is a list", 1, lambda a: a[1]["details"].__setitem__(0, [])),
            ("a body that is a list", 1, lambda a: a[1]["details"][0].update(body=[1])),
        ]
        valid = self.valid_document()
        for action_form in json.loads(valid)["actions"]:
            self.assertIsNotNone(self.from_json(action_form))
        for title, index, change in cases:
            actions = json.loads(valid)["actions"]
            change(actions)
            self.assertIsNone(self.from_json(actions[index]), title)
        for value in (5, None, u"x", [], collections.OrderedDict(
                json.loads(valid)["actions"][1])):
            self.assertIsNone(self.from_json(value), repr(value))

    def test_containers_emptied_during_a_lookup_are_held(self):
        """A key whose hash meets a member name runs Python code in the middle of the lookup;
        here it empties the action, its details and their members, freeing whatever the
        native way only borrowed."""

        class Emptying(object):
            def __init__(self, name, action):
                self.name, self.action = name, action

            def __hash__(self):
                return hash(self.name)

            def __eq__(self, other):
                details = self.action.get("details", [])
                for detail in details:
                    for value in list(detail.values()):
                        if isinstance(value, list):
                            del value[:]
                        elif isinstance(value, dict):
                            value.clear()
                    detail.clear()
                del details[:]
                self.action.clear()
                return False

        for name in ("header", "body", "stats", "type", "stat"):
            action_form = json.loads(self.valid_document())["actions"][0]
            spell_detail = action_form["details"][1]
            container = {"header": spell_detail, "body": spell_detail, "stats": spell_detail,
                         "type": spell_detail["header"], "stat": spell_detail["stats"][0]}[name]
            container[Emptying(name, action_form)] = container.pop(name)
            del spell_detail, container  # the action alone holds its parts: emptied, they go
            self.assertIsNone(self.from_json(action_form), name)
            del action_form
            gc.collect()


def file_state(path):
    """What a refused run must not change: the kind of file, its bytes, its times."""
    status = os.lstat(path)
    with open(path, "rb") as f:
        return stat.S_IFMT(status.st_mode), f.read(), status.st_mtime, status.st_ino


class OutputProtectionTest(ToolTestCase):
    """An output is replaced only when complete, only when it is a regular file, and never
    when it is the input."""

    def example_gz(self, name="example.gz"):
        path = self.path(name)
        self.assertRuns("import", EXAMPLE, path)
        return path

    def test_an_output_that_is_the_input_is_refused_untouched(self):
        gz = self.example_gz()
        json_path = self.path("example.json")
        self.assertRuns("export", gz, json_path)
        os.link(gz, self.path("hard-link.gz"))
        os.symlink(json_path, self.path("link.json"))
        cases = [  # (arguments, the input as named in the message)
            (("export", gz, gz), gz),
            (("import", json_path, json_path), json_path),
            (("export", gz, self.path("hard-link.gz")), gz),
            (("import", json_path, self.path("link.json")), json_path),
            (("export", gz, os.path.join(self.tmpdir, ".", "example.gz")), gz),
        ]
        for args, source in cases:
            before = file_state(args[1])
            status, _, err = self.run_tool(*args)
            self.assertEqual(status, 1, args)
            self.assertIn("is the same file as the input %s: refused, nothing written"
                          % source, err, args)
            self.assertEqual(file_state(args[1]), before, args)
            self.assertEqual(self.leftovers(gz, json_path, "hard-link.gz", "link.json"), [],
                             args)

    def device_like(self, system_device):
        """A character device that acts as system_device does. Run as root, a node of its own in
        the test's folder: a fault in the tool can then replace only that node, never the
        system's. Otherwise the system's own, which the tool cannot replace without root."""
        if not os.path.exists(system_device):
            self.skipTest("no %s here" % system_device)
        if os.geteuid() != 0:
            return system_device
        node = self.path(os.path.basename(system_device))
        try:
            os.mknod(node, 0o666 | stat.S_IFCHR, os.stat(system_device).st_rdev)
        except OSError as error:
            self.skipTest("cannot make a device node: %s" % error)
        return node

    def test_special_files_are_written_in_place(self):
        null = self.device_like("/dev/null")
        for args in (("import", EXAMPLE, null), ("export", self.example_gz(), null)):
            self.assertRuns(*args)
            self.assertTrue(stat.S_ISCHR(os.stat(null).st_mode), args)
        fifo = self.path("pipe")
        os.mkfifo(fifo)
        received = []
        reader = threading.Thread(target=lambda: received.append(open(fifo, "rb").read()))
        reader.start()
        self.assertRuns("import", EXAMPLE, fifo)
        reader.join(60)
        self.assertTrue(stat.S_ISFIFO(os.lstat(fifo).st_mode))
        self.assertEqual(gzip.GzipFile(fileobj=io.BytesIO(received[0])).read(),
                         gunzip(self.example_gz("reference.gz")))

    def test_a_full_device_is_reported_with_the_systems_reason_and_kept(self):
        full = self.device_like("/dev/full")
        for args in (("import", EXAMPLE, full), ("export", self.example_gz(), full)):
            status, _, err = self.run_tool(*args)
            self.assertEqual(status, 1, args)
            self.assertIn("cannot write %s: No space left on device" % full, err)
            self.assertTrue(stat.S_ISCHR(os.stat(full).st_mode))
            self.assertEqual(self.leftovers("example.gz", full), [], args)

    def test_a_symbolic_link_is_followed_and_kept(self):
        os.mkdir(self.path("real"))
        target = self.path("real/actions.gz")
        with open(target, "wb") as f:
            f.write(b"old contents")
        os.symlink(os.path.join("real", "actions.gz"), self.path("link.gz"))
        os.symlink("nowhere.gz", self.path("dangling.gz"))
        for link, points_to in (("link.gz", target), ("dangling.gz", self.path("nowhere.gz"))):
            self.assertRuns("import", EXAMPLE, self.path(link))
            self.assertTrue(os.path.islink(self.path(link)), link)
            self.assertEqual(gunzip(points_to), gunzip(self.path(link)), link)
        self.assertEqual(os.listdir(self.path("real")), ["actions.gz"])

    def test_an_existing_output_keeps_its_permissions_and_owner(self):
        out = self.path("kept.gz")
        for mode in (0o640, 0o604, 0o755):
            with open(out, "wb") as f:
                f.write(b"old")
            os.chmod(out, mode)
            if os.geteuid() == 0:
                os.chown(out, 4321, 4322)
            self.assertRuns("import", EXAMPLE, out)
            status = os.stat(out)
            self.assertEqual(stat.S_IMODE(status.st_mode), mode)
            if os.geteuid() == 0:
                self.assertEqual((status.st_uid, status.st_gid), (4321, 4322))
        mask = os.umask(0o027)
        try:
            self.assertRuns("export", out, self.path("new.json"))
        finally:
            os.umask(mask)
        self.assertEqual(stat.S_IMODE(os.stat(self.path("new.json")).st_mode), 0o640)

    def test_failed_writes_name_the_systems_reason(self):
        os.mkdir(self.path("folder"))
        cases = [  # (output, reason)
            (self.path("no/such/folder/out"), "No such file or directory"),
            (self.path("folder"), "Is a directory"),
        ]
        if os.geteuid() != 0:  # root may write anywhere
            os.mkdir(self.path("locked"))
            os.chmod(self.path("locked"), 0o555)
            read_only = self.path("read-only")
            with open(read_only, "wb") as f:
                f.write(b"keep")
            os.chmod(read_only, 0o444)
            cases += [(self.path("locked/out"), "Permission denied"),
                      (read_only, "Permission denied")]
        source = self.example_gz()
        for out, reason in cases:
            for args in (("import", EXAMPLE, out), ("export", source, out)):
                status, _, err = self.run_tool(*args)
                self.assertEqual(status, 1, args)
                self.assertIn("cannot write %s: %s" % (out, reason), err)
        self.assertEqual(self.leftovers("example.gz", "folder", "locked", "read-only"), [])

    def test_sigterm_during_an_import_leaves_no_temporary_file(self):
        with io.open(EXAMPLE, encoding="utf-8") as f:
            actions = u"%s" % json.dumps(json.load(f)["actions"])[1:-1]
        big = self.json_file(u'{"actions": [%s]}' % u", ".join([actions] * 1000), "big.json")
        out = self.path("big.gz")
        proc = subprocess.Popen([sys.executable, TOOL, "import", big, out],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.time() + 60
        while not self.leftovers(big) and proc.poll() is None and time.time() < deadline:
            time.sleep(0.005)
        proc.send_signal(signal.SIGTERM)
        _, err = proc.communicate()
        self.assertEqual(proc.returncode, -signal.SIGTERM, err)
        self.assertIn(b"terminated by signal %d" % signal.SIGTERM, err)
        self.assertNotIn(b"Traceback", err)
        self.assertEqual(self.leftovers(big), [])


class StandardStreamsTest(ToolTestCase):
    """- stands for standard input or output."""

    def test_dash_reads_standard_input_and_writes_standard_output(self):
        reference = self.path("reference.gz")
        self.assertRuns("import", EXAMPLE, reference)
        with open(reference, "rb") as f:
            compressed = f.read()
        with open(EXAMPLE, "rb") as f:
            example = f.read()

        status, made, err = self.run_tool("import", "-", "-", stdin=example, binary=True)
        self.assertEqual(status, 0, err)
        self.assertEqual(gzip.GzipFile(fileobj=io.BytesIO(made)).read(), gunzip(reference))
        self.assertIn("standard output: 32 actions written", err)

        status, exported, err = self.run_tool("export", "-", "-", stdin=compressed)
        self.assertEqual(status, 0, err)
        self.assertEqual(json.loads(exported), json.loads(example.decode("utf-8")))
        for command in ("check", "dump"):
            status, out, err = self.run_tool(command, "-", stdin=compressed)
            self.assertEqual(status, 0, err)
            self.assertIn("3940 of 3940 bytes walked", out)
        self.assertEqual(self.leftovers(reference), [])

    def test_refusals_through_standard_streams_write_nothing(self):
        status, out, err = self.run_tool("export", "-", "-", stdin=b"\x1f\x8b\x08broken")
        self.assertEqual((status, out), (1, ""))
        self.assertIn("standard input: damaged", err)
        self.assertIn("(standard output not written)", err)

        status, _, err = self.run_tool("import", EXAMPLE, "-", terminal=True)
        self.assertEqual(status, 1)
        self.assertIn("will not write compressed data to a terminal", err)
        self.assertEqual(self.leftovers(), [])



class ToolEndingTest(ToolTestCase):
    """The tool run as a command: standard output reached by a link's name, a reader that
    goes away, standard streams closed when it starts."""

    def tool(self, *args):
        return [sys.executable, TOOL] + list(args)

    def popen(self, command, **options):
        """The command started with its temporary files (a copy of standard input) made in
        the test's folder, for leftovers() to see."""
        environment = dict(os.environ, TMPDIR=self.tmpdir)
        return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=environment, **options)

    def big_file(self):
        return self.action_file(generated_file(3000, 19), "big.gz")

    def test_standard_output_named_by_its_link_is_written_in_place(self):
        source, reference = self.big_file(), self.path("reference.gz")
        self.assertRuns("import", EXAMPLE, reference)
        cases = [  # (arguments, what the output holds, closing line, which goes to stderr)
            (("export", source, "/dev/stdout"), lambda out: len(json.loads(
                out.decode("utf-8"))["actions"]), 3000, b"3000 actions exported"),
            (("export", source, "/proc/self/fd/1"), lambda out: len(json.loads(
                out.decode("utf-8"))["actions"]), 3000, b"3000 actions exported"),
            (("import", EXAMPLE, "/dev/stdout"), lambda out: gzip.GzipFile(
                fileobj=io.BytesIO(out)).read(), gunzip(reference), b"32 actions written"),
        ]
        for args, held, expected, closing in cases:
            proc = self.popen(self.tool(*args))
            out, err = proc.communicate()
            self.assertEqual(proc.returncode, 0, (args, err))
            self.assertEqual(held(out), expected, args)
            self.assertIn(closing, err, args)
        self.assertEqual(self.leftovers("big.gz", reference), [])

    def test_a_file_standard_output_appends_to_is_appended_to(self):
        """`actiontool export f.gz /dev/stdout >> log`: written through standard output as the
        shell asked, never replacing the log; a file's own name is still replaced."""
        source = self.action_file(action(1, b"One") + action(2, b"Two"), "two.gz")
        log = self.path("log")
        for name, appended in (("/dev/stdout", True), ("/proc/self/fd/1", True),
                               (log, False)):
            with open(log, "wb") as f:
                f.write(b"earlier line\n")
            with open(log, "ab") as out:
                status = subprocess.call(self.tool("export", source, name), stdout=out,
                                         stderr=subprocess.PIPE,
                                         env=dict(os.environ, TMPDIR=self.tmpdir))
            self.assertEqual(status, 0, name)
            with open(log, "rb") as f:
                held = f.read()
            self.assertEqual(held.startswith(b"earlier line\n"), appended, name)
            document = json.loads(held.split(b"\n", 1)[1] if appended else held)
            self.assertEqual([a["actionID"] for a in document["actions"]], [1, 2], name)
        self.assertEqual(self.leftovers("two.gz", log), [])

    def test_a_reader_that_goes_away_ends_the_tool_quietly(self):
        source = self.big_file()
        cases = [  # (arguments, file on standard input)
            (("dump", source), None),
            (("dump", "-"), source),
            (("export", source, "-"), None),
            (("export", source, "/dev/stdout"), None),
            (("export", "-", "-"), source),
        ]
        for args, stdin_path in cases:
            stdin = open(stdin_path, "rb") if stdin_path else None
            try:
                proc = self.popen(self.tool(*args), stdin=stdin)
            finally:
                if stdin:
                    stdin.close()
            self.assertTrue(proc.stdout.readline(), args)
            proc.stdout.close()  # as `| head -1` does
            err = proc.stderr.read()
            proc.wait()
            proc.stderr.close()
            # 141 as a shell shows either way: killed by SIGPIPE, or exited with its status
            self.assertIn(proc.returncode, (-signal.SIGPIPE, 128 + signal.SIGPIPE), (args, err))
            self.assertEqual(err, b"", args)
            self.assertEqual(self.leftovers("big.gz"), [], args)

    def test_closed_standard_streams_are_explained(self):
        source = self.action_file(action(1))
        cases = [  # (arguments, the stream closed, message)
            (("check", "-"), "<&-", "standard input is closed"),
            (("dump", "-"), "<&-", "standard input is closed"),
            (("import", "-", self.path("out.gz")), "<&-", "standard input is closed"),
            (("export", source, "-"), ">&-", "standard output is closed"),
            (("dump", source), ">&-", "standard output is closed"),
        ]
        for args, closing, message in cases:
            proc = self.popen(["sh", "-c", 'exec "$@" ' + closing, "sh"] + self.tool(*args))
            _, err = proc.communicate()
            self.assertEqual((proc.returncode, err.decode("utf-8")),
                             (1, "actiontool: %s\n" % message), args)
        self.assertEqual(self.leftovers("actions.gz"), [])


class JsonAcrossHostsTest(ToolTestCase):
    """Python 2 and 3 write the same JSON for the same file and read each other's."""

    def test_texts_and_spell_codes_have_one_form_on_both_hosts(self):
        cases = [  # (text bytes, JSON written)
            (u"\u00c9clat".encode("utf-8"), u'"\u00c9clat"'),  # characters as they are
            (u"\U0001f600".encode("utf-8"), u'"\U0001f600"'),
            (b"\xed\x9f\xbf", u'"\ud7ff"'),  # the last code point before the surrogates
            (b"a\0\x1f\"\\", u'"a\\u0000\\u001f\\"\\\\"'),  # escapes where JSON needs them
            (b"\xed\xa0\x80", u'{"hex": "eda080"}'),  # an encoded surrogate: not UTF-8
            (b"a\xed\xbf\xbfb", u'{"hex": "61edbfbf62"}'),
            (b"\xff", u'{"hex": "ff"}'),
        ]
        for data, written in cases:
            source = self.action_file(action(1, name=data, action_type=SPELL,
                                             spell=(data[:3].ljust(4, b"\0"), 0, 0)))
            exported = self.path("out.json")
            self.assertRuns("export", source, exported)
            with io.open(exported, encoding="utf-8") as f:
                document = f.read()
            self.assertIn(u'"name": %s,' % written, document, data)
            _, rebuilt = self.round_trip(source)
            self.assertEqual(rebuilt, gunzip(source), data)
        self.assertIn(u'"spellCode": {"hex": "eda08000"}', self.export_text(
            action(1, action_type=SPELL, spell=(b"\xed\xa0\x80\0", 0, 0))))

    def export_text(self, data):
        exported = self.path("text.json")
        self.assertRuns("export", self.action_file(data, "text.gz"), exported)
        with io.open(exported, encoding="utf-8") as f:
            return f.read()

    def test_strings_without_a_utf8_form_are_refused_on_both_hosts(self):
        document = json.loads(self.export_text(action(1, name=b"Spark")),
                              object_pairs_hook=collections.OrderedDict)
        for name, imported in ((u"\ud800", None), (u"a\udfffb", None),
                               (u"\ud83d\ude00", u"\U0001f600".encode("utf-8"))):
            document["actions"][0].update(name=name, nameLen=4)
            out = self.path("out.gz")
            # \u escapes: a lone surrogate has no UTF-8 form to write the file in
            status, _, err = self.run_tool("import", self.json_file(u"%s" % json.dumps(
                document)), out)
            if imported is None:
                self.assertEqual(status, 1, name)
                self.assertIn("name: the string has no UTF-8 form", err)
            else:
                self.assertEqual(status, 0, err)
                self.assertEqual(gunzip(out)[HEAD.size:HEAD.size + 4], imported)

    def test_json_nested_too_deeply_gets_a_message(self):
        deep = 100000
        for document in (u'{"actions": [%s%s]}' % (u"[" * deep, u"]" * deep),
                         u'{"actions": [{"actionID": %s1%s}]}' % (u"[" * deep, u"]" * deep),
                         u'{"actions": [%s]}' % (u'{"a": ' * deep + u"1" + u"}" * deep)):
            status, _, err = self.run_tool("import", self.json_file(document), self.path("o"))
            self.assertEqual(status, 1, err)
            self.assertIn("actions[0]: nested too deeply to be read", err)
        self.assertEqual(self.leftovers("actions.json"), [])


class DiffTest(ToolTestCase):
    """diff matches actions by actionID (repeated IDs in order), names each changed field and
    answers with its exit status."""

    def diff(self, old, new):
        return self.run_tool("diff", self.action_file(old, "old.gz"),
                             self.action_file(new, "new.gz"))

    def test_reports_added_removed_and_changed_fields(self):
        one, two = action(1, b"One"), action(2, b"Two", details=[healing()])
        cases = [
            # (title, old, new, status, lines expected in the output)
            ("the same", one + two, one + two, 0, ["0 added, 0 removed, 0 changed, 2 the same"]),
            ("added, removed, changed", one + two + action(3, b"Three"),
             action(3, b"Tree") + one + action(4, b"Four"), 1,
             ['removed: #2 id 2 "Two"', 'added: #3 id 4 "Four"',
              'changed: #1 id 3 "Tree" (#3 in the old file)',
              '    name: "Three" -> "Tree"', "1 added, 1 removed, 1 changed, 1 the same"]),
            ("repeated IDs in order of appearance", action(7, b"A") + action(7, b"B"),
             action(7, b"A") + action(7, b"C") + action(7, b"D"), 1,
             ['changed: #2 id 7 "C" (#2 in the old file)', '    name: "B" -> "C"',
              'added: #3 id 7 "D"', "1 added, 0 removed, 1 changed, 1 the same"]),
            ("details compared in order",
             action(5, details=[damage(), statmod(((3, -2), (5, 1)))]),
             action(5, details=[damage(1, 1, 6, 2, 9, -1, 0, 2, 1, 0, 0),
                                statmod(((3, -2),)), healing()]), 1,
             ["    details[0].body.base: 3 -> 9", "    details[1].stats[1].stat: 5 -> (none)",
              "    details[2].header.type: (none) -> 3", "    details[2].body.numSides: (none) -> 8"]),
            ("a spell's trailer", action(6, action_type=SPELL, spell=(b"ZAP\0", 1, 2)),
             action(6, action_type=SPELL, spell=(b"ZAP\0", 1, 3)), 1,
             ["    spellCost: 2 -> 3", "0 added, 0 removed, 1 changed, 0 the same"]),
        ]
        for title, old, new, status, lines in cases:
            got, out, err = self.diff(old, new)
            self.assertEqual(got, status, "%s: %s %s" % (title, out, err))
            for line in lines:
                self.assertIn(line + "\n", out, "%s: %s" % (title, out))
            for derived in ("Len:", "numDetails", "numStatMods", ".length:"):  # counts follow
                self.assertNotIn(derived, out, title)
        self.assertEqual(self.leftovers("old.gz", "new.gz"), [])

    def test_errors_exit_2(self):
        intact = self.action_file(action(1), "intact.gz")
        damaged = self.action_file(action(1) + action(2)[:26], "damaged.gz")
        for args, phrase in [((intact, damaged), "damaged.gz: damaged: action #2 (id 2)"),
                             ((self.path("missing.gz"), intact), "cannot read"),
                             (("-", "-"), "only one of the two")]:
            status, out, err = self.run_tool("diff", *args)
            self.assertEqual(status, 2, args)
            self.assertIn(phrase, err, args)
        self.assertEqual(self.run_process("diff", intact)[0], 2)

    @support.skip_under_memory_tools
    def test_memory_holds_an_index_not_the_actions(self):
        """Two files of large actions (8000 stat entries each, 13 MB uncompressed) differing
        in their last action: diff's peak must stay far below what holding them would take."""
        big = statmod([(1, 2)] * 2000)
        data = b"".join(action(n, details=[big] * 4) for n in range(400))
        old = self.action_file(data + action(900), "old.gz")
        new = self.action_file(data + action(900, b"Changed"), "new.gz")
        small = self.action_file(action(1), "small.gz")
        self.assertLess(self.peak("diff", old, new) - self.peak("diff", small, small), 12 << 20)

    @staticmethod
    def peak(*args):
        """The peak resident memory of the tool run with args, in bytes."""
        code = ("import resource, subprocess, sys; subprocess.call(sys.argv[1:]); "
                "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
        out = subprocess.check_output([sys.executable, "-c", code, sys.executable, TOOL] +
                                      list(args))
        return int(out.split()[-1]) * 1024

    @support.skip_under_memory_tools
    def test_stat_entries_cost_their_bytes_not_an_object_each(self):
        """One action of 2^18 stat entries changed in its last: diff holds the entries of
        the changed action as 4 bytes each, beside what reading the action takes (check)."""
        entries = [(0, 0)] * ((1 << 18) - 1)
        old, new = (self.action_file(action(1, details=[statmod(entries + [last], length=0)]),
                                     name) for last, name in (((0, 0), "old.gz"),
                                                              ((5, 0), "new.gz")))
        status, out, _ = self.run_process("diff", old, new)
        self.assertEqual(status, 1)
        self.assertIn("details[0].stats[262143].stat: 0 -> 5", out)
        self.assertLess(self.peak("diff", old, new) - self.peak("check", old), 8 << 20)

class CommandLineTest(ToolTestCase):
    def test_help(self):
        status, out, _ = self.run_process("--help")
        self.assertEqual(status, 0)
        for command in ("dump", "export", "import", "check", "exit statuses"):
            self.assertIn(command, out)
        for command in ("dump", "export", "import", "check", "diff"):
            status, out, _ = self.run_process(command, "--help")
            self.assertEqual((status, out.startswith("usage: actiontool " + command)), (0, True))

    def test_version_names_the_release_of_the_module_it_runs_with(self):
        import qn4tGenericActionLoader
        expected = "actiontool %s (inflating with %s)\n" % (qn4tGenericActionLoader.__version__,
                                                          qn4tGenericActionLoader.inflater())
        self.assertEqual(self.run_process("--version")[:2], (0, expected))
        proc = subprocess.Popen([sys.executable, "-m", "actionfile", "--version"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, err = proc.communicate()
        self.assertEqual((proc.returncode, out.decode("utf-8")), (0, expected), err)

    def test_export_without_an_output_writes_standard_output(self):
        source = self.action_file(action(1, b"Spark"))
        status, out, err = self.run_tool("export", source)
        self.assertEqual(status, 0, err)
        self.assertTrue(out.startswith('{"format": 2, "actions": [\n{"actionID": 1,'), out)
        self.assertIn("standard output: 1 action exported", err)

    def test_help_shows_the_documentations_sections(self):
        from actionfile import helptext
        status, out, _ = self.run_tool("help")
        self.assertEqual(status, 0)
        for name, document, heading, _ in helptext.TOPICS:
            self.assertIn("  %-8s " % name, out)
            status, text, err = self.run_tool("help", name)
            self.assertEqual(status, 0, err)
            with io.open(os.path.join(SOURCE_DIR, "docs", document), encoding="utf-8") as f:
                whole = f.read()
            self.assertTrue(text.strip() and text.strip() in whole, name)
            if heading:
                self.assertEqual(text.splitlines()[0], heading)
                self.assertNotIn("\n" + heading.split(" ")[0] + " ", text, name)  # one section
        self.assertIn("  git      git diff, merging, conflicts", out)
        status, _, err = self.run_tool("help", "gti")
        self.assertEqual(status, 2)
        self.assertIn("no help on 'gti'; the topics:", err)

    def test_usage_errors_exit_2(self):
        for args in ((), ("frobnicate",),
                     ("export", "--indent", "2000000", "in.gz", "out.json")):
            self.assertEqual(self.run_process(*args)[0], 2, args)

    def test_program_reports_a_damaged_file_without_a_traceback(self):
        source = self.action_file(action(1) + b"\0" * 7)
        status, out, err = self.run_process("check", source)
        self.assertEqual(status, 1)
        self.assertIn("actiontool: %s: damaged: action #2, offset 29" % source, err)

    def test_unreadable_inputs_and_outputs_exit_1_with_a_message(self):
        missing = self.path("missing.gz")
        good = self.action_file(action(1))
        cases = [
            (("dump", missing), "cannot read %s" % missing),
            (("check", missing), "cannot read %s" % missing),
            (("export", missing, self.path("x.json")), "cannot read %s" % missing),
            (("import", self.path("missing.json"), self.path("x.gz")), "cannot read"),
            (("export", good, self.path("no/such/dir/x.json")), "cannot write"),
            (("import", EXAMPLE, self.path("no/such/dir/x.gz")), "cannot write"),
        ]
        for args, phrase in cases:
            status, _, err = self.run_tool(*args)
            self.assertEqual(status, 1, args)
            self.assertIn(phrase, err, args)
        self.assertEqual(self.leftovers(good), [])

    def test_dump_lists_actions_details_and_totals(self):
        source = self.action_file(
            action(7, u"\u00c9clat".encode("utf-8"), action_type=SPELL,
                   spell=(b"AB\0C", 4, 12), level=9, details=[
                       damage(), statmod(stats=((3, -2), (5, 1))),
                       detail(9, b"\0\0\0")])
            + action(8, b"Plain", action_type=1, details=[healing()]))
        status, out, err = self.run_tool("dump", source)
        self.assertEqual(status, 0, err)
        lines = out.splitlines()
        self.assertEqual(lines[0], u'#1 id 7 "\u00c9clat" type 2 level 9 target 1 range 2 '
                                   u'spell "AB\\x00C" cost 12 path 4')
        self.assertIn("1. damage: range=1 targetSize=1 die=6 dice=2 base=3", lines[1])
        self.assertIn("2. stat modification:", lines[2])
        self.assertIn("stats 3:-2 5:+1", lines[3])
        self.assertIn("3. unknown type 9: 3 body bytes skipped", lines[4])
        self.assertEqual(lines[5], '#2 id 8 "Plain" type 1 level 3 target 1 range 2')
        self.assertIn("1. healing: targetSize=1 numDice=2 numSides=8 base=4", lines[6])
        self.assertTrue(lines[-1].startswith("totals: 2 actions (1 spell), 4 details"))

    def test_module_is_found_through_QN4T_MODULE_DIR_when_not_on_the_path(self):
        module_dir = os.environ.get("QN4T_MODULE_DIR")
        if not module_dir:
            self.skipTest("QN4T_MODULE_DIR is not set")
        # A copy of the tool outside the repository, so that no build directory is near it.
        tools = self.path("elsewhere/tools")
        shutil.copytree(os.path.join(SOURCE_DIR, "tools", "actionfile"),
                        os.path.join(tools, "actionfile"))
        shutil.copy(TOOL, tools)
        env = dict(os.environ)
        env.pop("PYTHONPATH", None)
        source = self.action_file(action(1))
        cases = [(module_dir, ("check", source), 0, "ok"),
                 (self.tmpdir, ("check", source), 1, "cannot import"),
                 (self.tmpdir, ("--version",), 1, "cannot import")]
        for directory, args, status, phrase in cases:
            env["QN4T_MODULE_DIR"] = directory
            proc = subprocess.Popen([sys.executable, os.path.join(tools, "actiontool")]
                                    + list(args), stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, env=env)
            out, err = proc.communicate()
            self.assertEqual(proc.returncode, status, err)
            self.assertIn(phrase, (out + err).decode("utf-8"))
            self.assertNotIn("Traceback", err.decode("utf-8"))


if __name__ == "__main__":
    unittest.main()

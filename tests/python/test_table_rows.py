"""Table rows made natively from an action file (tables.csv_blocks, tables.sqlite_blocks and
the tool's export --csv / --sqlite and sql over them) are the rows the Python form makes of
the same actions, byte for byte: on generated files, on texts that are not plain, on an empty
and a damaged file; and an action of very many stat entries is streamed, not held as rows."""
from __future__ import print_function, division

import gzip
import io
import os
import random
import sqlite3
import struct
import subprocess
import sys
import unittest

import support
from test_actiontool import TOOL, ToolTestCase
from test_tables import odd_actions

import qn4tGenericActionLoader as q

tables = q.tables


def generated_actions(count, seed):
    """Actions of every detail kind with random field values and texts of every sort of
    byte (quotes, commas, line ends, zero bytes, bytes that are not UTF-8)."""
    pick = random.Random(seed)
    alphabet = b"ab ,\"\n\r\0\xc3\xa9\xff;x"

    def text(most):
        return bytes(bytearray(pick.choice(bytearray(alphabet))
                               for _ in range(pick.randint(0, most))))

    def unsigned(bits):
        return pick.randint(0, (1 << bits) - 1)

    def signed(bits):
        return pick.randint(-(1 << (bits - 1)), (1 << (bits - 1)) - 1)

    made = []
    for number in range(count):
        details = []
        for _ in range(pick.randint(0, 4)):
            kind = pick.choice([1, 2, 3, 9])
            if kind == 1:
                body = q.Damage(base=signed(16), die=signed(16), toHitBonus=signed(32),
                                specArg=unsigned(32))
            elif kind == 2:
                body = q.StatMod(duration=unsigned(16), stats=[
                    q.Stat(stat=unsigned(16), modAmt=signed(16))
                    for _ in range(pick.randint(0, 5))])
            elif kind == 3:
                body = q.Healing(numDice=signed(16), flagCondition=unsigned(32))
            else:
                body = text(6)
            detail = q.Detail(type=kind, body=body)
            if kind != 9 and pick.random() < 0.1:
                detail.length = unsigned(8)  # a length that is not its body's size
            details.append(detail)
        action = q.Action(actionID=unsigned(32), actionType=pick.choice([1, 2]),
                          name=text(12), desc=text(30), blah=text(3), foo=text(3),
                          bar=text(3), validClasses=unsigned(32), details=details)
        if action.actionType == 2:
            action.spellCode = text(4)
            action.spellCost = unsigned(16)
        made.append(action)
    return made


def reference_csv(actions):
    """{table: bytes} of the three CSV files the Python rows make of the actions."""
    made = {}
    rows = tables.rows(actions)
    folder = _Folder()
    tables.write_csv(rows, None, paths=folder.paths)
    for table in tables.TABLES:
        with open(folder.paths[table], "rb") as stream:
            made[table] = stream.read()
    folder.remove()
    return made


class _Folder(object):
    def __init__(self):
        import tempfile
        self.name = tempfile.mkdtemp(prefix="table-rows-")
        self.paths = dict((table, os.path.join(self.name, table + ".csv"))
                          for table in tables.TABLES)

    def remove(self):
        import shutil
        shutil.rmtree(self.name, True)


def dump(path_or_connection):
    connection = path_or_connection
    if not isinstance(connection, sqlite3.Connection):
        connection = sqlite3.connect(path_or_connection)
    try:
        return list(connection.iterdump())
    finally:
        connection.close()


def reference_dump(actions):
    connection = sqlite3.connect(":memory:")
    with connection:
        tables.create_tables(connection)
        tables.insert_rows(connection, tables.rows(actions))
    return dump(connection)


def write_raw(path, data):
    with open(path, "wb") as stream:
        stream.write(data)


class NativeRowsTest(ToolTestCase):
    """The native rows against the Python rows of the same actions."""

    def files(self):
        """(title, path, actions in it) per file: generated, odd texts, the empty file (0
        bytes), a file of no action."""
        cases = [("generated", generated_actions(300, 11)),
                 ("odd texts", odd_actions()),
                 ("no action", [])]
        made = []
        for number, (title, actions) in enumerate(cases):
            path = self.path("case%d.gz" % number)
            q.write_actions(path, actions)
            made.append((title, path, actions))
        empty = self.path("empty.gz")
        write_raw(empty, b"")
        made.append(("empty file", empty, []))
        return made

    def native_csv(self, source):
        folder = self.path("native-csv")
        if not os.path.isdir(folder):
            os.mkdir(folder)
        count = tables.to_csv(source, folder)
        made = {}
        for table in tables.TABLES:
            with open(os.path.join(folder, tables.CSV_NAMES[table]), "rb") as stream:
                made[table] = stream.read()
        return count, made

    def test_csv_is_the_python_rows(self):
        for title, path, actions in self.files():
            expected = reference_csv(actions)
            for given in ("path", "file object"):
                if given == "path":
                    count, made = self.native_csv(path)
                else:
                    with open(path, "rb") as stream:
                        count, made = self.native_csv(stream)
                self.assertEqual(count, len(actions), (title, given))
                for table in tables.TABLES:
                    self.assertEqual(made[table], expected[table], (title, given, table))

    def test_csv_of_action_objects_streams_the_same_rows(self):
        for title, path, actions in self.files():
            count, made = self.native_csv(iter(actions))
            self.assertEqual((count, made), (len(actions), reference_csv(actions)), title)

    def test_sqlite_is_the_python_rows(self):
        for title, path, actions in self.files():
            expected = reference_dump(actions)
            for durable in (True, False):
                database = self.path("native%d.db" % durable)
                blocks = tables.sqlite_blocks(path, database, durable=durable)
                inserted = sum(blocks)
                self.assertEqual(blocks.actions, len(actions), title)
                self.assertEqual(dump(database), expected, (title, durable))
                self.assertEqual(inserted, sum(len(rows) for rows in
                                               tables.rows(actions).values()), title)
                os.remove(database)

    def test_to_sqlite_takes_a_file_objects_or_a_connection(self):
        _, path, actions = self.files()[0]
        expected = reference_dump(actions)
        database = self.path("api.db")
        self.assertEqual(q.to_sqlite(path, database), len(actions))
        self.assertEqual(dump(database), expected)
        connection = sqlite3.connect(":memory:")
        self.assertEqual(q.to_sqlite(path, connection), len(actions))
        self.assertEqual(dump(connection), expected)
        connection = sqlite3.connect(":memory:")
        self.assertEqual(q.to_sqlite(iter(actions), connection), len(actions))
        self.assertEqual(dump(connection), expected)

    def test_a_database_that_has_the_tables_is_refused_and_left_as_it_was(self):
        _, path, actions = self.files()[0]
        database = self.path("twice.db")
        q.to_sqlite(path, database)
        before = dump(database)
        with self.assertRaises(sqlite3.OperationalError) as raised:
            q.to_sqlite(path, database)
        self.assertIn("already exists", str(raised.exception))
        self.assertEqual(dump(database), before)

    def damaged(self):
        """(path, the complete actions before the damage) of a file cut inside an action."""
        actions = generated_actions(40, 5)
        kept = len(self.uncompressed(actions[:30]))
        data = self.uncompressed(actions)
        cut = self.path("damaged.gz")
        write_raw(cut, _gzipped(data[:kept + 7]))  # inside the head of the action behind
        return cut, actions[:30]

    def uncompressed(self, actions):
        path = self.path("written.gz")
        q.write_actions(path, actions)
        with gzip.open(path, "rb") as stream:
            data = stream.read()
        os.remove(path)
        return data

    def test_damaged_file_gives_the_rows_before_the_damage_then_raises(self):
        path, before = self.damaged()
        expected = reference_csv(before)
        blocks = tables.csv_blocks(path)
        got = dict((table, b"") for table in tables.TABLES)
        with self.assertRaises(q.DamagedFileError):
            for block in blocks:
                for table, text in zip(tables.TABLES, block):
                    got[table] += text
        self.assertEqual(blocks.actions, len(before))
        for table in tables.TABLES:
            header_end = expected[table].index(b"\n") + 1
            self.assertEqual(got[table], expected[table][header_end:], table)
        database = self.path("damaged.db")
        with self.assertRaises(q.DamagedFileError):
            q.to_sqlite(path, database)
        self.assertEqual(dump(database), ["BEGIN TRANSACTION;", "COMMIT;"],
                         "nothing committed")

    def test_tool_reports_damage_and_writes_nothing(self):
        path, _ = self.damaged()
        for args in (["export", "--csv", self.path("out")],
                     ["export", "--sqlite", self.path("out.db")],
                     ["sql", "--schema"], ["sql", "SELECT 1"]):
            status, out, err = self.run_tool(*(args + [path] if args[0] == "export" else
                                               args[:1] + [path] + args[1:]))
            self.assertEqual(status, 1, args)
            self.assertIn("damaged", err, args)
            self.assertIn("(nothing written)", err, args)
            self.assertFalse(os.path.exists(self.path("out")), args)
            self.assertFalse(os.path.exists(self.path("out.db")), args)
            self.assertEqual(self.leftovers(), [], args)

    def leftovers(self):
        """Files of the test folder that a command left behind besides its inputs."""
        return sorted(name for name in os.listdir(self.tmpdir)
                      if not name.endswith(".gz"))

    def test_columns_that_do_not_fit_the_records_are_refused(self):
        columns = [(table.name, tuple(c.path for c in table.columns)) for table in tables.schema()]
        cases = [
            ("a field without a column", 0, columns[0][1][1:], "actionID"),
            ("a column no field fills", 2, columns[2][1] + (("nothing",),), "nothing"),
        ]
        _, path, _ = self.files()[0]
        for title, table, paths, named in cases:
            given = list(columns)
            given[table] = (given[table][0], paths)
            with open(path, "rb") as stream:
                with self.assertRaises(ValueError) as raised:
                    _support()._table_csv(stream, 0, tuple(given))
            self.assertIn(named, str(raised.exception), title)


def _support():
    import _qn4tGenericActionSupport
    return _qn4tGenericActionSupport


def _gzipped(data):
    out = io.BytesIO()
    with gzip.GzipFile(fileobj=out, mode="wb") as stream:
        stream.write(data)
    return out.getvalue()


# One action whose one stat modification holds many entries (the packed form, written here
# without the module, as bench/bomb_memory.py writes it).
HEAD = struct.Struct("<IHHBBBBIIBBBB")
DETAIL_HEADER = struct.Struct("<HH")
STATMOD_BODY = struct.Struct("<BBHHHII")
ENTRIES = 1 << 21
LIMIT = 384 << 20  # address space: the rows of the entries as objects would take GBs


def _limit_address_space():
    import resource
    resource.setrlimit(resource.RLIMIT_AS, (LIMIT, LIMIT))


class ManyStatEntriesTest(ToolTestCase):
    """An action of 2^21 stat entries: each command that makes its rows runs in a capped
    address space, where 2^21 rows as Python objects would not fit (uncapped under a
    sanitizer, which cannot start in it: the rows are still checked there)."""

    def test_commands_stream_the_entries(self):
        path = self.path("big.gz")
        body = STATMOD_BODY.pack(0, 1, 10, 0, 0, 0, ENTRIES)
        with gzip.open(path, "wb") as out:
            out.write(HEAD.pack(1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0))
            out.write(DETAIL_HEADER.pack(2, len(body)) + body)
            out.write(struct.pack("<Hh", 3, -1) * ENTRIES)
        cases = [
            (["export", "--csv", self.path("csv"), path], "1 action exported"),
            (["export", "--sqlite", self.path("out.db"), path], "1 action exported"),
            (["sql", path, "SELECT count(*), sum(modAmt) FROM stats"], "%d" % -ENTRIES),
        ]
        for args, expected in cases:
            proc = subprocess.Popen([sys.executable, TOOL] + args, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE,
                                    preexec_fn=None if support.under_memory_tools
                                    else _limit_address_space)
            out, err = proc.communicate()
            self.assertEqual(proc.returncode, 0, (args, err))
            self.assertIn(expected, (out + err).decode("utf-8"), args)
        with open(os.path.join(self.path("csv"), "stats.csv"), "rb") as stream:
            self.assertEqual(stream.readline(), b"action_no,detail_no,stat_no,stat,modAmt\n")
            self.assertEqual(stream.readline(), b"0,0,0,3,-1\n")
            lines = 2 + sum(1 for _ in stream)
        self.assertEqual(lines, ENTRIES + 1)


if __name__ == "__main__":
    unittest.main()

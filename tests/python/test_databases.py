"""Databases as data: `sql` only reads (no statement changes the tables or makes a file),
`import --sqlite` and from_sqlite read only the tables that export writes, without changing
the database or being held up by it, and a signal ends a long read at once."""
from __future__ import print_function, division

import os
import signal
import sqlite3
import subprocess
import sys
import threading
import time
import unittest

from test_actiontool import TOOL
from test_tables import TablesTestCase

import qn4tGenericActionLoader as q

ENDLESS_ROWS = ("WITH RECURSIVE c(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM c) "
                "SELECT 2 AS action_no, 0 AS detail_no, n AS stat_no, 1 AS stat, 1 AS modAmt "
                "FROM c")


class SqlReadsOnlyTest(TablesTestCase):

    def test_statements_that_would_write_are_refused(self):
        source = self.example_file()
        with open(source, "rb") as stream:
            before = stream.read()
        made = self.path("made.db")
        cases = [
            "UPDATE details SET base = 99",
            "DELETE FROM actions",
            "DROP TABLE stats",
            "INSERT INTO actions (action_no) VALUES (99)",
            "CREATE TABLE more (a)",
            "ATTACH '%s' AS other" % made,
            "VACUUM INTO '%s'" % made,
            "PRAGMA writable_schema = 1",
            "PRAGMA query_only = 0",
        ]
        for statement in cases:
            status, out, err = self.run_tool("sql", source, statement)
            self.assertEqual(status, 1, statement)
            self.assertEqual(out, "", statement)
            self.assertIn("sql only reads; %s is never changed by sql" % source, err,
                          statement)
            self.assertIn("export --sqlite", err, statement)
            self.assertIn("import --sqlite", err, statement)
            self.assertFalse(os.path.exists(made), statement)
        with open(source, "rb") as stream:
            self.assertEqual(stream.read(), before)
        # What only reads still runs, the pragmas that describe the tables included.
        self.assertIn("base", self.assertRuns("sql", source, "PRAGMA table_info(details)"))
        self.assertIn("9", self.assertRuns("sql", source, "WITH RECURSIVE c(n) AS (SELECT 1 "
                                           "UNION ALL SELECT n + 1 FROM c WHERE n < 9) "
                                           "SELECT max(n) FROM c"))

    def test_schema_lists_tables_and_views_with_their_columns(self):
        lines = self.assertRuns("sql", "--schema", self.example_file()).splitlines()
        kinds = dict((line.split(":")[0], line.split(": ")[1].split(", ")) for line in lines)
        self.assertEqual(kinds["table stats"], ["action_no", "detail_no", "stat_no", "stat",
                                                "modAmt"])
        self.assertIn("base", kinds["view damage"])
        self.assertEqual(sorted(kinds), ["table actions", "table details", "table stats",
                                         "view damage", "view healing",
                                         "view stat_modification"])
        status, _, err = self.run_tool("sql", self.example_file())
        self.assertEqual(status, 2, err)


class ImportReadsDataTest(TablesTestCase):

    def exported(self):
        database = self.path("example.db")
        self.assertRuns("export", "--sqlite", database, self.example_file())
        return database

    def replace_table(self, database, table, definition):
        connection = sqlite3.connect(database)
        connection.execute("DROP TABLE %s" % table)
        connection.execute(definition)
        connection.commit()
        connection.close()

    def test_stand_ins_for_the_tables_are_refused_by_name_at_once(self):
        cases = [
            # (table, what takes its place, the refusal)
            ("stats", "CREATE VIEW stats AS " + ENDLESS_ROWS, "table stats is a view"),
            ("actions", "CREATE VIEW actions AS WITH RECURSIVE c(n) AS (SELECT 0 UNION ALL "
             "SELECT n + 1 FROM c WHERE n < 1000000000) SELECT n AS action_no FROM c",
             "table actions is a view"),
            ("details", "CREATE VIRTUAL TABLE details USING fts4(action_no, detail_no)",
             "table details is a virtual table"),
            ("stats", "CREATE TABLE stats (action_no, detail_no, stat_no, stat, "
             "modAmt AS (stat * 1000))", "column modAmt is computed"),
        ]
        for table, definition, refusal in cases:
            database = self.exported()
            self.replace_table(database, table, definition)
            status, err = _run_for_at_most(10, "import", "--sqlite", database,
                                           self.path("o.gz"))
            self.assertEqual(status, 1, definition)
            self.assertIn(refusal, err)
            self.assertFalse(os.path.exists(self.path("o.gz")))
            with self.assertRaises(ValueError) as raised:
                q.from_sqlite(database)
            self.assertIn(refusal, str(raised.exception))
            os.remove(database)

    def test_a_journal_beside_the_database_is_not_rolled_into_it(self):
        """A hot journal (of a writer that died in a transaction) is rolled back into the
        database by any connection that may write: read-only and immutable, it is not."""
        database = self.exported()
        journal = database + "-journal"
        connection = sqlite3.connect(database, isolation_level=None)
        connection.execute("PRAGMA journal_mode = DELETE")
        connection.execute("PRAGMA synchronous = OFF")  # the journal is read to its end
        connection.execute("BEGIN IMMEDIATE")
        connection.execute("UPDATE actions SET levelAcquired = 77")
        with open(journal, "rb") as stream:
            pages_before = stream.read()  # the pages as they were before the UPDATE
        connection.execute("COMMIT")
        connection.close()
        with open(database, "rb") as stream:
            committed = stream.read()
        for copy in (database, self.path("control.db")):
            with open(copy + "-journal", "wb") as stream:
                stream.write(pages_before)
        with open(self.path("control.db"), "wb") as stream:
            stream.write(committed)
        control = sqlite3.connect(self.path("control.db"))  # the fault the test guards
        control.execute("SELECT count(*) FROM actions").fetchall()
        control.close()
        with open(self.path("control.db"), "rb") as stream:
            self.assertNotEqual(stream.read(), committed, "the journal is not hot")
        self.assertRuns("import", "--sqlite", database, self.path("out.gz"))
        self.assertEqual(set(a.levelAcquired for a in q.from_sqlite(database)), set([77]))
        with open(database, "rb") as stream:
            self.assertEqual(stream.read(), committed)
        self.assertTrue(os.path.exists(journal))

    def test_a_signal_ends_a_long_read(self):
        """A table that SQLite sorts for the read (no key to read it in order by) takes one
        long step: SIGINT and SIGTERM end the tool within a second of coming, well before
        the sort would end, and it reads the tables only."""
        database = self.path("big.db")
        connection = sqlite3.connect(database)
        q.to_sqlite([], connection)
        connection.execute("DROP TABLE stats")
        connection.execute("CREATE TABLE stats (action_no, detail_no, stat_no, stat, modAmt)")
        connection.execute("INSERT INTO stats " + ENDLESS_ROWS.replace(
            "FROM c", "FROM c LIMIT %d" % SORTED_ROWS).replace("n AS stat_no", "-n"))
        connection.commit()
        started = time.time()
        connection.execute("SELECT * FROM stats ORDER BY action_no, detail_no, stat_no")
        sorting = time.time() - started
        connection.close()
        if sorting < 1.0:
            self.skipTest("the sort takes %.2f s here: too short to tell" % sorting)
        for number, status in [(signal.SIGINT, 130), (signal.SIGTERM, -signal.SIGTERM)]:
            proc = subprocess.Popen([sys.executable, TOOL, "import", "--dry-run", "--sqlite",
                                     database], stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE)
            _wait_until_open(proc.pid, database)
            time.sleep(0.1)
            proc.send_signal(number)
            sent = time.time()
            _, err = proc.communicate()
            self.assertLess(time.time() - sent, min(1.0, sorting / 2), number)
            self.assertEqual(proc.returncode, status, err)
            self.assertNotIn(b"Traceback", err)


def _run_for_at_most(seconds, *args):
    """(exit status, stderr) of the tool run as a process with args; killed after seconds
    (status None then)."""
    proc = subprocess.Popen([sys.executable, TOOL] + list(args), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    timer = threading.Timer(seconds, proc.kill)
    timer.start()
    try:
        _, err = proc.communicate()
    finally:
        timer.cancel()
    return (proc.returncode if proc.returncode >= 0 else None), err.decode("utf-8")


SORTED_ROWS = 2000000  # rows that take a second or more to sort on the machines tested


def _wait_until_open(pid, path):
    """Waits until process pid has path open (its read has begun)."""
    folder = "/proc/%d/fd" % pid
    deadline = time.time() + 60
    while time.time() < deadline:
        try:
            if any(os.path.realpath(os.path.join(folder, fd)) == os.path.realpath(path)
                   for fd in os.listdir(folder)):
                return
        except OSError:
            pass  # a descriptor closed meanwhile
        time.sleep(0.01)
    raise AssertionError("%s was never opened" % path)


if __name__ == "__main__":
    unittest.main()

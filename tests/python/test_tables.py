"""Actions as tables: CSV and SQLite round trips to the same bytes (through the package's API
and through actiontool), the checks of a table import naming table, row and column, the sql
command, and names for codes."""
from __future__ import print_function, division

import csv
import io
import json
import os
import re
import shutil
import sqlite3
import sys
import unittest

from test_actiontool import EXAMPLE, ToolTestCase, gunzip  # noqa: E402

import qn4tGenericActionLoader as q
import support

PY2 = sys.version_info[0] == 2
NAMES = os.path.join(os.path.dirname(EXAMPLE), "names.json")


def odd_actions():
    """What the dict form must carry whole: texts with zero bytes inside and behind them and
    with bytes that are not UTF-8, a spell code with a zero byte inside and an empty one, a
    detail of a type no body is made for (and one with an empty body), a stat modification
    with no entries, an action with no details."""
    return [
        q.Action(actionID=7, actionType=2, name=b"Fire\xffball", desc=b"a\0b",
                 blah=b"x\0\0", bar=u"\u00e9t\u00e9".encode("utf-8"), spellCode=b"F\0B\0",
                 spellCost=9, details=[
                     q.Detail(type=1, body=q.Damage(base=5, die=-3, specArg=0xFFFFFFFF)),
                     q.Detail(type=77, length=3, body=b"\0\xff\x01"),
                     q.Detail(type=2, body=q.StatMod(duration=4, stats=[
                         q.Stat(stat=3, modAmt=-2), q.Stat(stat=65535)])),
                     q.Detail(type=2, body=q.StatMod()),
                     q.Detail(type=3, length=1, body=q.Healing(numDice=2))]),
        q.Action(actionID=7, actionType=2, name=b"quote \" and, comma\nline", spellCode=b""),
        q.Action(actionID=8, actionType=1, name=b"plain", validClasses=0xFFFFFFFF),
    ]


class TablesTestCase(ToolTestCase):

    def odd_file(self):
        path = self.path("odd.gz")
        q.write_actions(path, odd_actions())
        return path

    def example_file(self):
        path = self.path("example.gz")
        self.assertRuns("import", EXAMPLE, path)
        return path

    def rewritten(self, actions):
        """The uncompressed bytes of an action file written from actions."""
        path = self.path("rewritten.gz")
        q.write_actions(path, actions)
        return gunzip(path)

    def csv_rows(self, folder, name):
        if PY2:
            with open(os.path.join(folder, name), "rb") as stream:
                return [[cell.decode("utf-8") for cell in row] for row in csv.reader(stream)]
        with io.open(os.path.join(folder, name), encoding="utf-8", newline="") as stream:
            return [row for row in csv.reader(stream)]

    def write_csv_rows(self, folder, name, rows):
        if PY2:
            with open(os.path.join(folder, name), "wb") as stream:
                csv.writer(stream).writerows([[c.encode("utf-8") for c in row] for row in rows])
            return
        with io.open(os.path.join(folder, name), "w", encoding="utf-8", newline="") as stream:
            csv.writer(stream).writerows(rows)


class RoundTripTest(TablesTestCase):

    def test_api_round_trips_give_the_same_bytes(self):
        source = self.odd_file()
        original = gunzip(source)
        folder = self.path("sheets")
        os.mkdir(folder)
        self.assertEqual(q.to_csv(q.read_actions(source), folder), 3)
        self.assertEqual(self.rewritten(q.from_csv(folder)), original)
        database = self.path("odd.db")
        self.assertEqual(q.to_sqlite(q.read_actions(source), database), 3)
        self.assertEqual(self.rewritten(q.from_sqlite(database)), original)
        connection = sqlite3.connect(":memory:")
        q.to_sqlite(q.read_actions(source), connection)
        self.assertEqual(self.rewritten(q.from_sqlite(connection)), original)

    def test_empty_set_round_trips(self):
        folder = self.path("empty")
        os.mkdir(folder)
        q.to_csv([], folder)
        self.assertEqual(q.from_csv(folder), [])
        connection = sqlite3.connect(":memory:")
        q.to_sqlite([], connection)
        self.assertEqual(q.from_sqlite(connection), [])

    def test_tool_round_trips_give_the_same_bytes(self):
        for source in (self.example_file(), self.odd_file()):
            original = gunzip(source)
            folder, database = self.path("csv"), self.path("out.db")
            self.assertRuns("export", "--csv", folder, source)
            self.assertRuns("import", "--csv", folder, self.path("from-csv.gz"))
            self.assertEqual(gunzip(self.path("from-csv.gz")), original, source)
            self.assertRuns("export", "--sqlite", database, source)
            self.assertRuns("import", "--sqlite", database, self.path("from-db.gz"))
            self.assertEqual(gunzip(self.path("from-db.gz")), original, source)

    def test_api_refusal_is_the_value_check_led_by_its_place(self):
        folder = self.path("sheets")
        os.mkdir(folder)
        q.to_csv(odd_actions(), folder)
        rows = self.csv_rows(folder, "stats.csv")
        rows[2][rows[0].index("stat")] = "65536"
        self.write_csv_rows(folder, "stats.csv", rows)
        connection = sqlite3.connect(":memory:")
        q.to_sqlite(odd_actions(), connection)
        with connection:
            connection.execute("UPDATE stats SET stat = 65536 WHERE stat_no = 1")
        for read, place in [
                (lambda: q.from_csv(folder), os.path.join(folder, "stats.csv") + " row 3"),
                (lambda: q.from_sqlite(connection),
                 "the database: table stats row (action_no 0, detail_no 2, stat_no 1)")]:
            with self.assertRaises(q.FieldValueError) as caught:
                read()
            self.assertEqual(str(caught.exception), "%s column stat: actions[0] (actionID 7): "
                             "details[2].stats[1].stat: Stat.stat is unsigned 16-bit: 65536 is "
                             "out of its range 0 to 65535" % place)

    def test_tool_outputs(self):
        """A database to standard output, a dry run, a database that would be its own output,
        and JSON given where an action file is expected."""
        source = self.example_file()
        status, out, _ = self.run_tool("export", "--sqlite", "-", source, binary=True)
        self.assertEqual((status, out[:16]), (0, b"SQLite format 3\0"))
        database = self.path("set.db")
        with open(database, "wb") as stream:
            stream.write(out)
        self.assertEqual(self.assertRuns("import", "--dry-run", "--sqlite", database),
                         "%s: 32 actions, ok to import (nothing written)\n" % database)
        status, _, err = self.run_tool("import", "--sqlite", database, database)
        self.assertEqual(status, 1)
        self.assertIn("is the same file as the input", err)
        self.assertEqual(q.from_sqlite(database)[0].actionID, 1001)
        status, _, err = self.run_tool("export", "--csv", self.path("csv"), EXAMPLE)
        self.assertIn("this looks like JSON: did you mean import?", err)
        self.assertFalse(os.path.exists(self.path("csv")))

    def test_tables_join_on_their_keys(self):
        connection = sqlite3.connect(":memory:")
        q.to_sqlite(odd_actions(), connection)
        rows = connection.execute(
            "SELECT a.actionID, d.detail_no, s.stat_no, s.stat, s.modAmt FROM actions a "
            "JOIN details d USING (action_no) JOIN stats s USING (action_no, detail_no)"
        ).fetchall()
        self.assertEqual(rows, [(7, 2, 0, 3, -2), (7, 2, 1, 65535, 0)])
        self.assertEqual(connection.execute("SELECT base, die, specArg FROM damage").fetchall(),
                         [(5, -3, 0xFFFFFFFF)])
        self.assertEqual(connection.execute("SELECT numDice FROM healing").fetchall(), [(2,)])
        self.assertEqual(connection.execute(
            "SELECT detail_no, duration FROM stat_modification").fetchall(), [(2, 4), (3, 0)])

    def test_every_field_but_the_derived_ones_has_a_column(self):
        from qn4tGenericActionLayout import BODY_ENTRIES, DETAIL_COUNT_FIELD, TEXTS
        derived = set([DETAIL_COUNT_FIELD] + [length for _, length in TEXTS] +
                      [count for count, _ in BODY_ENTRIES.values()])
        connection = sqlite3.connect(":memory:")
        q.to_sqlite([], connection)
        columns = set()
        for table in ("actions", "details", "stats"):
            columns.update(row[1] for row in connection.execute("PRAGMA table_info(%s)" % table))
        fields = set(field for record in q.RECORD_CLASSES for field, _ in record.FIELDS)
        self.assertEqual(fields - columns, derived)


pandas = support.debian_module("pandas")
needs_pandas = unittest.skipIf(pandas is None, "pandas is not installed for this Python "
                               "(Debian's python3-pandas; Python 2.7 has none)")


class FramesTest(TablesTestCase):

    @needs_pandas
    def test_frames_keep_integers_and_come_back(self):
        from qn4tGenericActionLoader.tables import frames
        tables = frames(odd_actions())
        self.assertEqual(list(tables["actions"]["actionID"]), [7, 7, 8])
        self.assertEqual(len(tables["stats"]), 2)
        details = tables["details"]
        self.assertEqual(str(details["die"].dtype), "Int64")  # empty on other kinds of body
        self.assertEqual(str(details["detail_no"].dtype), "Int64")
        self.assertEqual(str(tables["actions"]["name"].dtype), "object")
        self.assertEqual(self.rewritten(q.from_frames(tables)), self.rewritten(odd_actions()))
        shuffled = dict((name, frame.iloc[::-1]) for name, frame in tables.items())
        self.assertEqual(self.rewritten(q.from_frames(shuffled)), self.rewritten(odd_actions()))
        details.loc[details["detail_no"] == 0, "base"] = 9
        changed = odd_actions()
        changed[0].details[0].body.base = 9
        self.assertEqual(self.rewritten(q.from_frames(tables)), self.rewritten(changed))

    @needs_pandas
    def test_frames_refuse_what_the_form_refuses_with_the_place(self):
        from qn4tGenericActionLoader.tables import frames
        tables = frames(odd_actions())
        tables["details"] = tables["details"].astype({"base": "float64"})
        tables["details"].loc[0, "base"] = 2.5
        with self.assertRaises(ValueError) as caught:
            q.from_frames(tables)
        self.assertIn("details row (action_no 0, detail_no 0) column base: actions[0] "
                      "(actionID 7): details[0].body.base: expected an integer, found 2.5, a "
                      "number with a fraction",
                      str(caught.exception))

    @needs_pandas
    def test_a_pandas_edit_of_the_csv_imports_to_exactly_that_change(self):
        source = self.example_file()
        folder = self.path("csv")
        self.assertRuns("export", "--csv", folder, source)
        path = os.path.join(folder, "details.csv")
        frame = pandas.read_csv(path)
        self.assertEqual(str(frame["die"].dtype), "float64")  # the empty cells of healing rows
        frame.loc[0, "base"] = 9
        frame.to_csv(path, index=False)
        self.assertRuns("import", "--csv", folder, self.path("back.gz"))
        expected = list(q.read_actions(source))
        expected[0].details[0].body.base = 9
        self.assertEqual(gunzip(self.path("back.gz")), self.rewritten(expected))


class SpreadsheetNumbersTest(TablesTestCase):
    """An integer column takes what spreadsheets write for a whole number, and refuses a
    fraction saying so."""

    CELLS = [
        # (cell, the value taken, or None, what the refusal says)
        ("6.0", 6, None), ("6.00", 6, None), (" 6 ", 6, None), ("-2.0", -2, None),
        ("7.", 7, None), ("6.5", None, "expected an integer, found 6.5, a number with a "
                                       "fraction (the field holds whole numbers)"),
        ("-0.25", None, "found -0.25, a number with a fraction"),
        ("6,0", None, 'expected an integer, found "6,0"'),
        ("1e3", None, 'expected an integer, found "1e3"'),
    ]

    def test_whole_numbers_as_spreadsheets_write_them(self):
        folder = self.path("csv")
        os.mkdir(folder)
        q.to_csv(odd_actions(), folder)
        original = self.csv_rows(folder, "details.csv")
        column = original[0].index("base")
        for cell, value, refusal in self.CELLS:
            rows = [list(row) for row in original]
            rows[1][column] = cell
            self.write_csv_rows(folder, "details.csv", rows)
            if refusal is None:
                self.assertEqual(q.from_csv(folder)[0].details[0].body.base, value, cell)
                continue
            with self.assertRaises(ValueError) as caught:
                q.from_csv(folder)
            self.assertIn("details.csv row 2 column base: ", str(caught.exception))
            self.assertIn(refusal, str(caught.exception), cell)


class TableImportRefusalTest(TablesTestCase):
    """A bad cell is refused as the JSON import refuses the value, with the file, the row and
    the column named, and no output written."""

    def exported(self):
        source = self.example_file()
        folder = self.path("csv")
        if os.path.isdir(folder):
            shutil.rmtree(folder)
        self.assertRuns("export", "--csv", folder, source)
        return folder

    def refused(self, folder, expected):
        out = self.path("out.gz")
        status, _, err = self.run_tool("import", "--csv", folder, out)
        self.assertEqual(status, 1, err)
        self.assertIn(expected, err)
        self.assertFalse(os.path.exists(out))

    def edit(self, folder, name, row, column, value):
        rows = self.csv_rows(folder, name)
        rows[row - 1][rows[0].index(column)] = value
        self.write_csv_rows(folder, name, rows)

    def test_every_bad_cell_in_one_run(self):
        """(file, row, column, value, what the refusal says after the place)"""
        cases = [
            ("details.csv", 2, "die", "40000", "actions[0] (actionID 1001): details[0].body."
             "die: Damage.die is signed 16-bit: 40000 is out of its range -32768 to 32767"),
            ("details.csv", 3, "numDice", "abc", 'details[0].body.numDice: expected an '
             'integer, found "abc"'),
            ("details.csv", 3, "elemType", "1", "details[0].body.elemType: unknown field"),
            ("actions.csv", 4, "levelAcquired", "-1", "(actionID 1003): levelAcquired: "
             "Action.levelAcquired is unsigned 8-bit: -1 is out of its range 0 to 255"),
            ("stats.csv", 2, "stat", "70000", "Stat.stat is unsigned 16-bit: 70000 is out of "
             "its range 0 to 65535"),
            ("actions.csv", 5, "name_hex", "4g", "name: " + '"4g" is not bytes in hex'),
        ]
        folder = self.exported()
        self.edit(folder, "actions.csv", 5, "name", "")  # the text given in hex instead
        for name, row, column, value, _ in cases:
            self.edit(folder, name, row, column, value)
        status, _, err = self.run_tool("import", "--csv", folder, self.path("out.gz"))
        self.assertEqual(status, 1, err)
        for name, row, column, _, expected in cases:
            self.assertIn("%s row %d column %s: " % (os.path.join(folder, name), row, column),
                          err)
            self.assertIn(expected, err)
        self.assertFalse(os.path.exists(self.path("out.gz")))
        status, out, err = self.run_tool("import", "--dry-run", "--csv", folder)
        self.assertEqual((status, err.count("\n")), (1, len(cases)), err)

    def test_one_importer_refuses_alike_from_every_source(self):
        """The same bad values given as CSV cells, SQLite cells and JSON members: each way in
        (the package's from_csv and from_sqlite, the tool's import --csv, --sqlite and of
        JSON) lists every refusal, all at once, in the same words after the place."""
        cases = [
            # (table, keys (action_no, detail_no, stat_no), column, bad value)
            ("details", (0, 0), "die", 40000),
            ("details", (1, 0), "numDice", u"abc"),
            ("actions", (2,), "levelAcquired", -1),
            ("stats", None, "stat", 70000),  # the first row of stats, whichever it is
        ]
        source = self.example_file()
        folder, database, document = self.path("csv"), self.path("set.db"), self.path("a.json")
        for args in (("--csv", folder), ("--sqlite", database), ()):
            self.assertRuns("export", *(args + (source, document) if not args else
                                        args + (source,)))
        connection = sqlite3.connect(database)
        with open(document, "rb") as stream:
            form = json.loads(stream.read().decode("utf-8"))
        for table, keys, column, value in cases:
            key_names = ("action_no", "detail_no", "stat_no")
            if keys is None:
                keys = connection.execute("SELECT action_no, detail_no, stat_no FROM stats "
                                          "ORDER BY 1, 2, 3 LIMIT 1").fetchone()
            where = " AND ".join("%s = %d" % pair for pair in zip(key_names, keys))
            with connection:
                connection.execute("UPDATE %s SET %s = ? WHERE %s" % (table, column, where),
                                   (value,))
            rows = self.csv_rows(folder, table + ".csv")
            (row,) = [r for r in rows[1:] if tuple(int(r[rows[0].index(k)])
                                                   for k in key_names[:len(keys)]) == keys]
            row[rows[0].index(column)] = u"%s" % value
            self.write_csv_rows(folder, table + ".csv", rows)
            member = form["actions"][keys[0]]
            if len(keys) > 1:
                member = member["details"][keys[1]]
                member = member["stats"][keys[2]] if len(keys) > 2 else member["body"]
            member[column] = value
        connection.close()
        document = self.json_file(form, "bad.json")

        def refusals(text):
            return sorted(line[line.index(": actions[") + 2:] for line in text.splitlines()
                          if ": actions[" in line)
        said = []
        for read in (lambda: q.from_csv(folder), lambda: q.from_sqlite(database)):
            with self.assertRaises(q.InputRefused) as caught:
                read()
            said.append(refusals(str(caught.exception)))
        for args in (("--csv", folder), ("--sqlite", database), (document,)):
            status, _, err = self.run_tool("import", *(args + (self.path("out.gz"),)))
            self.assertEqual(status, 1, err)
            said.append(refusals(err))
        self.assertEqual(len(said[0]), len(cases), said[0])
        for other in said[1:]:
            self.assertEqual(other, said[0])
        self.assertFalse(os.path.exists(self.path("out.gz")))

    def test_empty_cells_take_the_defaults(self):
        folder = self.exported()
        self.edit(folder, "actions.csv", 2, "levelAcquired", "")
        self.edit(folder, "actions.csv", 2, "name", "")
        self.assertRuns("import", "--csv", folder, self.path("out.gz"))
        first = next(q.read_actions(self.path("out.gz")))
        self.assertEqual((first.levelAcquired, first.name), (0, b"" if PY2 else ""))

    def test_database_refusal_names_table_row_and_column(self):
        database = self.path("set.db")
        self.assertRuns("export", "--sqlite", database, self.example_file())
        connection = sqlite3.connect(database)
        with connection:
            connection.execute("UPDATE details SET base = 99999 WHERE action_no = 1")
        connection.close()
        status, _, err = self.run_tool("import", "--sqlite", database, self.path("out.gz"))
        self.assertEqual(status, 1)
        self.assertIn("%s: table details row (action_no 1, detail_no 0) column base: "
                      "actions[1] (actionID 1002): details[0].body.base: Healing.base is "
                      "signed 16-bit: 99999 is out of its range" % database, err)

    def test_rows_that_do_not_join(self):
        folder = self.exported()
        self.edit(folder, "details.csv", 2, "action_no", "900")
        self.refused(folder, "%s row 2: no row of actions has action_no 900"
                     % os.path.join(folder, "details.csv"))
        folder = self.exported()
        self.edit(folder, "actions.csv", 2, "name_hex", "41")
        self.refused(folder, "%s row 2: name and name_hex both have a value"
                     % os.path.join(folder, "actions.csv"))
        folder = self.exported()
        rows = self.csv_rows(folder, "actions.csv")
        rows[0].append("numDetails")  # derived: not a column
        self.write_csv_rows(folder, "actions.csv", rows)
        self.refused(folder, "%s row 1 column %d: unknown column numDetails"
                     % (os.path.join(folder, "actions.csv"), len(rows[0])))

    def test_missing_database_and_table(self):
        status, _, err = self.run_tool("import", "--sqlite", self.path("none.db"),
                                       self.path("out.gz"))
        self.assertEqual(status, 1)
        self.assertIn("no such database file", err)
        sqlite3.connect(self.path("empty.db")).close()
        status, _, err = self.run_tool("import", "--sqlite", self.path("empty.db"),
                                       self.path("out.gz"))
        self.assertIn("table actions: no such table: actions", err)


class StreamedRowsTest(TablesTestCase):
    """The rows are read as the actions are made, one action's rows at a time: rows in any
    order still give the actions in key order, and rows that do not join are refused with
    the refusal that reading every row first gives (what was refused before it in the
    actions made so far left out, as it was never found)."""

    def exported(self):
        folder = self.path("csv")
        if os.path.isdir(folder):
            shutil.rmtree(folder)
        self.assertRuns("export", "--csv", folder, self.example_file())
        return folder

    def edit(self, folder, name, change):
        rows = self.csv_rows(folder, name)
        self.write_csv_rows(folder, name, [rows[0]] + change(rows[0], rows[1:]))

    @staticmethod
    def cell(column, value, row_number=0):
        def change(header, rows):
            rows[row_number][header.index(column)] = value
            return rows
        return change

    def test_rows_in_any_order_give_the_actions_in_key_order(self):
        expected = gunzip(self.example_file())
        swap_first_two = lambda header, rows: [rows[1], rows[0]] + rows[2:]  # noqa: E731
        cases = [
            # (title, [(file, change of its rows below the header)])
            ("actions reversed", [("actions.csv", lambda header, rows: rows[::-1])]),
            ("details reversed", [("details.csv", lambda header, rows: rows[::-1])]),
            ("two stats swapped", [("stats.csv", swap_first_two)]),
            ("every file reversed", [(name, lambda header, rows: rows[::-1])
                                     for name in ("actions.csv", "details.csv", "stats.csv")]),
        ]
        for title, changes in cases:
            folder = self.exported()
            for name, change in changes:
                self.edit(folder, name, change)
            self.assertRuns("import", "--csv", folder, self.path("out.gz"))
            self.assertEqual(gunzip(self.path("out.gz")), expected, title)
            self.assertEqual(self.rewritten(q.from_csv(folder)), expected, title)
        database = self.path("reversed.db")
        self.assertRuns("export", "--sqlite", database, self.example_file())
        connection = sqlite3.connect(database)
        with connection:
            for table in ("actions", "details", "stats"):  # stored in reverse key order
                connection.execute("CREATE TABLE copied AS SELECT * FROM %s ORDER BY "
                                   "rowid DESC" % table)
                connection.execute("DELETE FROM %s" % table)
                connection.execute("INSERT INTO %s SELECT * FROM copied" % table)
                connection.execute("DROP TABLE copied")
        connection.close()
        self.assertEqual(self.rewritten(q.from_sqlite(database)), expected)

    def test_plain_cells_made_natively_are_what_the_cell_reading_makes(self):
        """A cell the companion takes is the value the package's reading of a cell gives;
        any other cell leaves the whole row to that reading (None)."""
        cases = [
            # (cell, integer column, taken natively)
            (u"6", True, True), (u"-3", True, True), (u"007", True, True),
            (u"-0", True, True), (u"9" * 18, True, True), (u"9" * 19, True, False),
            (u" 6 ", True, False), (u"6.0", True, False), (u"-", True, False),
            (u"+5", True, False), (u"x", True, False), (u"\u00e9t\u00e9", False, False),
            (u"plain text, 6", False, True), (u"", True, True),
        ]
        for cell, integer, taken in cases:
            if PY2:  # the csv module's cells are bytes there
                cell = cell.encode("utf-8")
            key = b"0" if PY2 else u"0"
            made = q.tables._plain_cells([key, cell], ((0, u"key", True), (1, u"c", integer)))
            self.assertEqual(made is not None, taken, cell)
            if taken:
                expected = {u"key": 0}
                if cell:
                    expected[u"c"] = q.tables._csv_value(cell, integer)
                self.assertEqual(made, expected, cell)
                self.assertEqual([type(v) for v in made.values()],
                                 [type(v) for v in expected.values()], cell)

    def test_a_rows_dict_form_made_natively_is_what_unflatten_makes(self):
        """The companion's dict form of a row, by its columns' paths, is unflatten()'s; a
        text given twice, or a column named by no plain text, is left to unflatten (None)."""
        class Name(str):
            pass
        cases = [
            # (title, row)
            ("plain values", {u"actionID": 5, u"name": u"Fire"}),
            ("a text in hex", {u"actionID": 5, u"name_hex": u"41"}),
            ("the key left out", {u"action_no": 0, u"actionID": 5}),
            ("a text given twice", {u"name": u"Fire", u"name_hex": u"41"}),
            ("a column name that is no plain text", {Name("name"): u"Fire"}),
        ]
        table = q.tables.schema()[0]
        paths = dict((column.name, column.path) for column in table.columns)
        paths[u"action_no"] = None
        for title, row in cases:
            made = q.tables._native._row_document(row, paths)
            try:
                expected = q.tables.unflatten(dict((paths[n], v) for n, v in row.items()
                                                   if paths[n] is not None))
            except q.TableError:
                expected = None
            if type(list(row)[0]) is Name:
                self.assertIsNone(made, title)
                continue
            self.assertEqual(made, expected, title)

    def test_rows_that_do_not_join_are_refused_as_reading_them_whole_refuses(self):
        bad_value = ("actions.csv", self.cell("levelAcquired", "-1"))
        cases = [
            # (title, [(file, change)], phrase of the refusal)
            ("a repeated stat key behind a bad value",
             [bad_value, ("stats.csv", lambda header, rows: rows + [rows[-1]])],
             "repeats an earlier row's"),
            ("a detail of no action behind a bad value",
             [bad_value, ("details.csv", self.cell("action_no", "900", -1))],
             "no row of actions has action_no 900"),
            ("a key that is no number behind a bad value",
             [bad_value, ("stats.csv", self.cell("stat_no", "x", -1))],
             "expected a whole number"),
            ("a cell that is no UTF-8 text behind a bad value",
             [bad_value, ("stats.csv", self.cell("stat", u"\u00e9", -1))], None),
            ("a gap in the numbers of the stats behind a bad value",
             [bad_value, ("stats.csv", self.cell("stat_no", "7", -1))],
             "(they are numbered from 0)"),
            ("out of order behind a bad value",
             [bad_value, ("actions.csv", lambda header, rows: rows[::-1])],
             "levelAcquired"),
        ]
        for title, changes, phrase in cases:
            folder = self.exported()
            for name, change in changes:
                self.edit(folder, name, change)
            if title.startswith("a cell that is no UTF-8"):
                path = os.path.join(folder, "stats.csv")
                with open(path, "rb") as stream:
                    data = stream.read()
                with open(path, "wb") as stream:
                    stream.write(data.replace(u"\u00e9".encode("utf-8"), b"\xe9"))
                phrase = "not UTF-8 text"
            with self.assertRaises(q.InputRefused) as whole:
                q.tables.actions_of(q.tables.read_csv(folder), q.tables.csv_place(folder))
            with self.assertRaises(q.InputRefused) as streamed:
                q.from_csv(folder)
            self.assertIn(phrase, str(whole.exception), title)
            self.assertEqual(str(streamed.exception), str(whole.exception), title)
            status, _, err = self.run_tool("import", "--csv", folder, self.path("out.gz"))
            self.assertEqual((status, err), (1, "actiontool: %s\n%s not written\n" % (
                whole.exception, self.path("out.gz"))), title)

    def test_database_rows_that_do_not_join_are_refused_as_reading_them_whole_refuses(self):
        cases = [
            # (title, statement, phrase of the refusal)
            ("a detail of no action", "UPDATE details SET action_no = 900 WHERE rowid = "
             "(SELECT max(rowid) FROM details)", "no row of actions has action_no 900"),
            ("a stat of no detail", "UPDATE stats SET detail_no = 9 WHERE rowid = "
             "(SELECT max(rowid) FROM stats)", "no row of details has"),
            ("a key that is no number", "UPDATE stats SET stat_no = 'x' WHERE rowid = "
             "(SELECT max(rowid) FROM stats)", "expected a whole number"),
            ("a gap in the numbers of the stats", "UPDATE stats SET stat_no = 7 WHERE rowid "
             "= (SELECT max(rowid) FROM stats)", "(they are numbered from 0)"),
        ]
        for title, statement, phrase in cases:
            database = self.path("bad.db")
            if os.path.exists(database):
                os.remove(database)
            self.assertRuns("export", "--sqlite", database, self.example_file())
            connection = sqlite3.connect(database)
            with connection:
                connection.execute("UPDATE actions SET levelAcquired = -1 WHERE action_no = 0")
                connection.execute(statement)
            with self.assertRaises(q.InputRefused) as whole:
                q.tables.actions_of(q.tables.read_sqlite(connection),
                                    q.tables.sqlite_place(database))
            connection.close()
            with self.assertRaises(q.InputRefused) as streamed:
                q.from_sqlite(database)
            self.assertIn(phrase, str(whole.exception), title)
            self.assertEqual(str(streamed.exception), str(whole.exception), title)


class SqlCommandTest(TablesTestCase):

    def test_output_forms(self):
        source = self.example_file()
        query = ("SELECT a.name, d.base FROM actions a JOIN damage d USING (action_no) "
                 "WHERE d.elemType = 1 ORDER BY d.base DESC LIMIT 2")
        lines = self.assertRuns("sql", source, query).splitlines()
        self.assertEqual(lines[0].split(), ["name", "base"])
        self.assertEqual(len(lines), 4)
        as_csv = self.assertRuns("sql", "--csv", source, query)
        as_json = json.loads(self.assertRuns("sql", "--json", source, query))
        self.assertEqual(as_csv.splitlines(), ["name,base"] + [
            "%s,%d" % (row["name"], row["base"]) for row in as_json])

    def test_bad_statement(self):
        status, _, err = self.run_tool("sql", self.example_file(), "SELECT nope FROM actions")
        self.assertEqual(status, 1)
        self.assertIn("SQL: no such column: nope", err)


class NamesTest(TablesTestCase):

    def test_names_label_views_and_csv_but_stay_out_of_the_file(self):
        source = self.example_file()
        out = self.assertRuns("sql", "--names", NAMES, "--csv", source,
                              "SELECT actionID, validClasses_name, targetType_name FROM "
                              "actions_named WHERE actionID = 1001")
        self.assertEqual(out.splitlines()[1], "1001,warrior|mage,one")
        folder = self.path("csv")
        self.assertRuns("export", "--csv", folder, "--names", NAMES, source)
        rows = self.csv_rows(folder, "details.csv")
        self.assertEqual(rows[1][rows[0].index("elemType_name")], "fire")
        self.assertRuns("import", "--csv", folder, self.path("back.gz"))
        self.assertEqual(gunzip(self.path("back.gz")), gunzip(source))

    def test_names_as_values_round_trip_and_edit(self):
        """A designer's script: export with names, change a name in the text, import with
        names: exactly that change; with no change, the same bytes."""
        source = self.example_file()
        named = self.path("named.json")
        self.assertRuns("export", source, named, "--names", NAMES, "--named", "--indent", "1")
        with io.open(named, encoding="utf-8") as f:
            text = f.read()
        self.assertIn('"targetType": "one"', text)
        self.assertIn('"elemType": "fire", "saveType": "fortitude"', text)
        self.assertIn('"stat": "agility"', text)
        self.assertIn('"actionType": 3,', text)  # a code with no name stays a number
        back = self.path("back.gz")
        self.assertRuns("import", named, back, "--names", NAMES)
        self.assertEqual(gunzip(back), gunzip(source))
        with io.open(named, "w", encoding="utf-8") as f:
            f.write(text.replace('"elemType": "fire"', '"elemType": "frost"', 1))
        self.assertRuns("import", "--names", NAMES, named, back)
        expected = list(q.read_actions(source))
        expected[0].details[0].body.elemType = 2
        self.assertEqual(gunzip(back), self.rewritten(expected))
        status, _, err = self.run_tool("import", named, self.path("plain.gz"))
        self.assertEqual(status, 1, err)  # names are taken only where a names file is given
        self.assertIn('targetType: expected an integer, found "one"', err)

    def test_unknown_names_are_refused_with_the_known_ones(self):
        source = self.example_file()
        folder = self.path("csv")
        self.assertRuns("export", "--csv", folder, source)
        rows = self.csv_rows(folder, "details.csv")
        rows[1][rows[0].index("elemType")] = "frost"
        rows[2][rows[0].index("saveType")] = "wil"
        self.write_csv_rows(folder, "details.csv", rows)
        status, _, err = self.run_tool("import", "--csv", folder, "--names", NAMES,
                                       self.path("out.gz"))
        self.assertEqual(status, 1, err)
        self.assertIn('details.csv row 3 column saveType: actions[1] (actionID 1002): '
                      'details[0].body.saveType: unknown name "wil" for saveType (the names: '
                      'none (0), reflex (1), fortitude (2), will (3), half (4))', err)
        self.assertNotIn("row 2 ", err)  # "frost" is a name of elemType
        self.assertFalse(os.path.exists(self.path("out.gz")))

    def test_dump_shows_names_beside_codes(self):
        lines = self.assertRuns("dump", "--names", NAMES, self.example_file()).splitlines()
        self.assertTrue(lines[0].startswith(
            '#1 id 1001 "Ember Lance" type 2(spell) level 1 target 1(one) range 6'), lines[0])
        self.assertIn("elemType=1(fire) saveType=2(fortitude)", lines[1])
        self.assertIn("stats 3(agility):+4 4(toughness):-1", lines[6])

    def test_diff_shows_names_beside_codes(self):
        source = self.example_file()
        actions = list(q.read_actions(source))
        actions[0].details[0].body.elemType = 2
        stats = [d.body.stats for a in actions for d in a.details
                 if d.type == 2 and len(d.body.stats)]
        stats[0][0].stat = 4
        changed = self.path("changed.gz")
        q.write_actions(changed, actions)
        status, out, err = self.run_tool("diff", "--names", NAMES, source, changed)
        self.assertEqual(status, 1, err)
        self.assertIn("details[0].body.elemType: 1(fire) -> 2(frost)", out)
        self.assertTrue(re.search(r"stats\[0\]\.stat: \d+\(\w+\) -> 4\(toughness\)", out), out)

    def test_bad_names_files(self):
        cases = [
            ({"codes": {"power": {"1": "x"}}}, "codes.power: not an integer field"),
            ({"codes": {"elemType": {"256": "x"}}}, 'codes.elemType: "256" is not a whole '
             "number from 0 to 255"),
            ({"bits": {"validClasses": {"32": "x"}}}, "from 0 to 31"),
            ({"codes": {"elemType": {"1": ""}}}, "expected a name"),
            ([], 'expected a JSON object with "codes" and/or "bits"'),
        ]
        source = self.example_file()
        for document, expected in cases:
            names = self.path("names.json")
            with open(names, "wb") as stream:
                stream.write(json.dumps(document).encode("ascii"))
            status, _, err = self.run_tool("sql", "--names", names, source, "SELECT 1")
            self.assertEqual(status, 1)
            self.assertIn(expected, err)


if __name__ == "__main__":
    unittest.main()

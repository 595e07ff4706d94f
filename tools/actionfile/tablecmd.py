"""The table commands: export --csv / --sqlite, import --csv / --sqlite and sql. The rows come
from the package's tables module (the dict form of the actions, flattened); an import goes
through the JSON import's checks, with the table, row and column named instead of the JSON
path."""
from __future__ import print_function, division

import csv
import io
import json
import os
import re
import shutil
import sqlite3
import tempfile

from . import importer, page
from .jsonform import BadInput

_PLACED = re.compile(r"actions\[\d+\]( \(actionID -?\d+\))?(?:: ([\w.\[\]]+))?: (.*)\Z", re.S)
_PART = re.compile(r"(\w+)(?:\[(\d+)\])?")
NAME_SUFFIX = "_name"  # a column of names beside a column of codes (never read back)


def tables_module(layout):
    return __import__(layout.q.__name__ + ".tables", fromlist=["tables"])


# ---- rows with names -------------------------------------------------------------------------

def named_columns(tables, names):
    """Per table, [(index of a column with names, its field)]: the columns of codes that the
    names file names."""
    named = {}
    for table in tables.schema():
        offset = len(table.keys)
        named[table.name] = [(offset + i, column.path[-1])
                             for i, column in enumerate(table.columns)
                             if column.path[-1] in names.codes or column.path[-1] in names.bits]
    return named


def name_cells(tables, names):
    """For write_csv: per table, the extra header names and a function of a row giving its
    names."""
    extra = {}
    for table in tables.schema():
        columns = named_columns(tables, names)[table.name]
        if not columns:
            continue
        header = [table.columns[i - len(table.keys)].name + NAME_SUFFIX for i, _ in columns]

        def cells(row, columns=columns):
            return [None if row[i] is None else names.name(field, row[i])
                    for i, field in columns]
        extra[table.name] = (header, cells)
    return extra


def is_name_column(table, name):
    return name.endswith(NAME_SUFFIX) and name[:-len(NAME_SUFFIX)] in table.by_name


# ---- export ----------------------------------------------------------------------------------

def export_csv(layout, actions, folder, names=None):
    """Writes the three CSV files into folder (made when missing). On a failure the files
    written so far are removed. Returns the number of actions."""
    tables = tables_module(layout)
    made = tables.rows(actions)
    created = not os.path.isdir(folder)
    if created:
        os.makedirs(folder)
    try:
        tables.write_csv(made, folder, name_cells(tables, names) if names else None)
    except BaseException:
        for name in tables.CSV_NAMES.values():
            _remove(os.path.join(folder, name))
        if created:
            shutil.rmtree(folder, ignore_errors=True)
        raise
    return len(made["actions"])


def fill_database(layout, connection, actions, names=None):
    """The tables, the views per body kind and, with names, the tables names and bit_names and
    a view <table>_named per table that adds a <column>_name beside each named column."""
    tables = tables_module(layout)
    made = tables.rows(actions)
    with connection:
        tables.create_tables(connection)
        tables.insert_rows(connection, made)
        if names:
            add_names(tables, connection, names)
    return len(made["actions"])


def add_names(tables, connection, names):
    connection.execute("CREATE TABLE names (field TEXT, code INTEGER, name TEXT, "
                       "PRIMARY KEY (field, code))")
    connection.execute("CREATE TABLE bit_names (field TEXT, bit INTEGER, name TEXT, "
                       "PRIMARY KEY (field, bit))")
    connection.executemany("INSERT INTO names VALUES (?, ?, ?)", [
        (field, code, name) for field, codes in names.codes.items()
        for code, name in codes.items()])
    connection.executemany("INSERT INTO bit_names VALUES (?, ?, ?)", [
        (field, bit, name) for field, bits in names.bits.items()
        for bit, name in bits.items()])
    for table in tables.schema():
        extra = []
        for column in table.columns:
            field, quoted = column.path[-1], '"%s"' % column.name
            if field in names.codes:
                extra.append("(SELECT name FROM names WHERE field = '%s' AND code = t.%s) AS "
                             '"%s%s"' % (field, quoted, column.name, NAME_SUFFIX))
            elif field in names.bits:
                extra.append("(SELECT group_concat(name, '|') FROM bit_names WHERE field = "
                             "'%s' AND (t.%s >> bit) & 1) AS \"%s%s\""
                             % (field, quoted, column.name, NAME_SUFFIX))
        if extra:
            connection.execute("CREATE VIEW %s_named AS SELECT t.*, %s FROM %s AS t"
                               % (table.name, ", ".join(extra), table.name))


def export_sqlite(layout, actions, path, names=None):
    """Writes the database to a new file beside path, renamed into place when complete."""
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(prefix=".actiontool-", suffix=".db", dir=folder)
    os.close(handle)
    try:
        connection = sqlite3.connect(temporary)
        try:
            count = fill_database(layout, connection, actions, names)
        finally:
            connection.close()
        os.rename(temporary, path)
    except BaseException:
        _remove(temporary)
        raise
    return count


def _remove(path):
    try:
        os.remove(path)
    except OSError:
        pass


# ---- import ----------------------------------------------------------------------------------

class Located(object):
    """Turns the JSON import's refusal of one action into one naming the table, the row and
    the column."""

    def __init__(self, tables, where, place_name):
        self.tables = tables
        self.where = where
        self.place_name = place_name  # (table, row label, column or None) -> text

    def __call__(self, error):
        message = str(error)
        match = _PLACED.match(message)
        if not match:
            return message
        action_id, path, rest = match.groups()
        schema = self.tables.schema()
        place, relative, level = (), [], 0
        for name, index in _PART.findall(path or ""):
            relative.append(name)
            if index is not None and index != "":
                place += ((tuple(relative), int(index)),)
                relative, level = [], level + 1
        while place not in self.where:  # a row that is not there: name its parent's
            place, relative = place[:-1], []
            level -= 1
        table_name, label = self.where[place]
        column = schema[level].by_path.get(tuple(relative))
        return "%s%s: %s" % (self.place_name(table_name, label, column and column.name),
                             action_id or "", rest)


def csv_place(table, row, column):
    return "%s.csv row %s%s" % (table, row, " column %s" % column if column else "")


def sqlite_place(table, row, column):
    return "table %s row %s%s" % (table, row, " column %s" % column if column else "")


def checked_actions(layout, table_rows, place_name):
    """The Action objects of the rows, each through the JSON import's checks; BadInput names
    the table, row and column."""
    tables = tables_module(layout)
    builder = importer.ActionBuilder(layout)
    try:
        for index, (document, where) in enumerate(tables.documents(table_rows)):
            try:
                action, _ = builder.action(index, document)
            except BadInput as error:
                action = carried(layout, document)
                if action is None:
                    raise BadInput(Located(tables, where, place_name)(error))
            yield action
    except tables.TableError as error:
        raise BadInput(str(error))


def carried(layout, document):
    """The Action of a document that the dict form carries but the JSON import refuses (a
    text with zero bytes inside it, a detail of a type no body is made for): one that
    from_dict takes and that gives the same dict back. None for anything else."""
    try:
        action = layout.q.Action.from_dict(document)
    except (ValueError, TypeError, OverflowError, KeyError, AttributeError):
        return None
    return action if action.to_dict() == document else None


def read_csv_rows(layout, folder):
    tables = tables_module(layout)
    try:
        return tables.read_csv(folder, is_name_column)
    except tables.TableError as error:
        raise BadInput(str(error))


def read_sqlite_rows(layout, path):
    tables = tables_module(layout)
    if not os.path.isfile(path):
        raise BadInput("%s: no such database file" % path)
    connection = sqlite3.connect(path)
    try:
        return tables.read_sqlite(connection)
    except tables.TableError as error:
        raise BadInput(str(error))
    except sqlite3.DatabaseError as error:
        raise BadInput("%s: %s" % (path, error))
    finally:
        connection.close()


# ---- sql -------------------------------------------------------------------------------------

def query(layout, actions, statement, names=None):
    """(column names, rows) of an SQL statement over the actions in an in-memory database."""
    connection = sqlite3.connect(":memory:")
    try:
        fill_database(layout, connection, actions, names)
        cursor = connection.execute(statement)
        header = [d[0] for d in cursor.description] if cursor.description else []
        return header, cursor.fetchall()
    finally:
        connection.close()


try:
    _BLOB = buffer  # what sqlite3 gives for a BLOB on Python 2 (its str is a text there)
except NameError:
    _BLOB = bytes


def _shown(value):
    if value is None:
        return "NULL"
    if isinstance(value, _BLOB):
        return "x'%s'" % "".join("%02x" % c for c in bytearray(value))
    return u"%s" % (value,)


def as_table(header, rows):
    """Lines of a plain text table: columns padded, numbers right-aligned."""
    cells = [[_shown(v) for v in row] for row in rows]
    widths = [max([len(h)] + [len(r[i]) for r in cells]) for i, h in enumerate(header)]
    numeric = [all(isinstance(row[i], (int, float)) or row[i] is None for row in rows)
               for i in range(len(header))]

    def line(values):
        return "  ".join(v.rjust(w) if n else v.ljust(w)
                         for v, w, n in zip(values, widths, numeric)).rstrip()
    yield line(header)
    yield "  ".join("-" * w for w in widths)
    for row in cells:
        yield line(row)


def as_json(header, rows):
    return json.dumps([dict(zip(header, [_shown(v) if isinstance(v, _BLOB) else v
                                         for v in row])) for row in rows],
                      ensure_ascii=False, indent=1)


def write_csv_lines(header, rows, out):
    """The result as CSV (UTF-8) to the binary file out."""
    text = io.StringIO() if str is not bytes else io.BytesIO()
    writer = csv.writer(text, lineterminator="\n")
    for row in [header] + [[_shown(v) if isinstance(v, _BLOB) else "" if v is None else v
                            for v in r] for r in rows]:
        cells = row
        if str is bytes:  # Python 2: the csv module writes bytes, and sqlite3 gives unicode
            cells = [c.encode("utf-8") if isinstance(c, unicode) else c  # noqa: F821
                     for c in cells]
        writer.writerow(cells)
    value = text.getvalue()
    out.write(value.encode("utf-8") if not isinstance(value, bytes) else value)


def write_page(layout, actions, out, names, title):
    return page.write_page(tables_module(layout), actions, out, names, title)

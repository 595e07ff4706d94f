"""The table commands: export --csv / --sqlite, import --csv / --sqlite and sql. The rows come
from the package's tables module (the dict form of the actions, flattened); an import goes
through the JSON import's checks, with the table, row and column named instead of the JSON
path."""
from __future__ import print_function, division

import contextlib
import csv
import io
import json
import os
import shutil
import sqlite3

from . import module


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
        header = [table.columns[i - len(table.keys)].name + tables.NAME_SUFFIX
                  for i, _ in columns]

        def cells(row, columns=columns):
            return [None if row[i] is None else names.name(field, row[i])
                    for i, field in columns]
        extra[table.name] = (header, cells)
    return extra


# ---- export ----------------------------------------------------------------------------------

def export_csv(layout, walker, folder, names=None, inputs=()):
    """Writes the three CSV files of the walk's actions into folder (made when missing),
    each replaced only when all three are complete (the package's file-replacing rules):
    the rows made natively, or with names one action at a time. Returns the number of
    actions. Raises Damaged from the walk."""
    tables = tables_module(layout)
    created = not os.path.isdir(folder)
    if created:
        os.makedirs(folder)
    targets = [os.path.join(folder, tables.CSV_NAMES[name]) for name in tables.TABLES]
    try:
        with _replacing_all(module.load(), targets, inputs) as temporaries:
            paths = dict(zip(tables.TABLES, temporaries))
            if names:
                tables.write_csv_tables(folder, paths, actions=walker.actions(),
                                        extra=name_cells(tables, names))
            else:
                tables.write_csv_tables(folder, paths, blocks=walker.csv_blocks())
    except BaseException:
        if created:
            shutil.rmtree(folder, ignore_errors=True)
        raise
    return walker.counts.actions


@contextlib.contextmanager
def _replacing_all(files, targets, inputs):
    """The temporary paths of files.replacing() for each target: none is replaced unless
    every one was written."""
    if not targets:
        yield []
        return
    with files.replacing(targets[0], inputs) as first:
        with _replacing_all(files, targets[1:], inputs) as rest:
            yield [first] + rest


def fill_database(layout, walker, path, names=None, durable=True):
    """Fills the database file at path with the tables and the views per body kind of the
    walk's actions (made and inserted natively) and, with names, the tables names and
    bit_names and a view <table>_named per table that adds a <column>_name beside each named
    column. Returns the number of actions. Raises Damaged from the walk."""
    tables = tables_module(layout)
    blocks = walker.sqlite_blocks(path, durable)
    for _ in blocks:
        pass
    if names:
        connection = sqlite3.connect(path)
        try:
            with connection:
                add_names(tables, connection, names)
        finally:
            connection.close()
    return walker.counts.actions


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
                             '"%s%s"' % (field, quoted, column.name, tables.NAME_SUFFIX))
            elif field in names.bits:
                extra.append("(SELECT group_concat(name, '|') FROM bit_names WHERE field = "
                             "'%s' AND (t.%s >> bit) & 1) AS \"%s%s\""
                             % (field, quoted, column.name, tables.NAME_SUFFIX))
        if extra:
            connection.execute("CREATE VIEW %s_named AS SELECT t.*, %s FROM %s AS t"
                               % (table.name, ", ".join(extra), table.name))


def export_sqlite(layout, walker, target, names=None, inputs=()):
    """Writes the database to a temporary file that replaces target (a path, or standard
    output) only when complete. Returns the number of actions. Raises Damaged from the
    walk."""
    with module.load().replacing(target, inputs) as temporary:
        return fill_database(layout, walker, temporary, names, durable=False)


# ---- import ----------------------------------------------------------------------------------

def table_rows(layout, csv_folder=None, database=None):
    """(rows, place_name) of the CSV files in csv_folder, or of the database file. Raises
    the package's InputRefused (its TableError)."""
    tables = tables_module(layout)
    return tables.csv_rows(csv_folder) if csv_folder else tables.sqlite_rows(database)


def write_from_rows(layout, rows_and_place, target, threads=None, inputs=(), note=None,
                    strict=False, names=None):
    """Writes the actions of the rows to target (None: checks only) through the package's
    importer, the one the JSON import takes: every refusal gathered with its table, row and
    column, nothing written when there is one; repeated actionIDs warned of through note
    (refused when strict). Returns the number of actions. inputs: files target must not be
    (the database read). Raises InputRefused, OutputIsInput."""
    source = layout.q.TableSource(*rows_and_place)
    return layout.q.import_actions(
        source, target, inputs, note=note, threads=threads, strict=strict, names=names,
        again=lambda: layout.q.TableSource(*rows_and_place))


# ---- sql -------------------------------------------------------------------------------------

class WriteRefused(sqlite3.DatabaseError):
    """sql was given a statement that would change the database or reach beyond it."""


@contextlib.contextmanager
def _loaded(layout, walker, names):
    """A connection to a temporary database file holding the walk's actions, loaded as
    they stream (removed on every way out)."""
    with tables_module(layout).scratch_database() as path:
        fill_database(layout, walker, path, names, durable=False)
        connection = sqlite3.connect(path)
        try:
            yield connection
        finally:
            connection.close()


def query(layout, walker, statement, names=None):
    """(column names, rows) of an SQL statement over the walk's actions in a temporary
    database that the statement may only read: it cannot change the tables, attach or make a
    file (ATTACH, VACUUM INTO) or turn that off (a PRAGMA that sets a value). Raises
    WriteRefused for such a statement, sqlite3.Error for any other failure, Damaged from the
    walk."""
    with _loaded(layout, walker, names) as connection:
        refused = []
        connection.execute("PRAGMA query_only = 1")
        connection.set_authorizer(lambda *request: _authorize_query(refused, *request))
        try:
            cursor = connection.execute(statement)
        except sqlite3.Error as error:
            if refused or "readonly" in str(error):
                raise WriteRefused(str(error))
            raise
        header = [d[0] for d in cursor.description] if cursor.description else []
        return header, cursor.fetchall()


def schema_lines(layout, walker, names=None):
    """The tables and views of sql's database, one per line with its columns:
    "table actions: action_no, actionID, ..."."""
    with _loaded(layout, walker, names) as connection:
        made = connection.execute("SELECT type, name FROM sqlite_master WHERE type IN "
                                  "('table', 'view') ORDER BY type, rowid").fetchall()
        lines = []
        for kind, name in made:
            columns = [row[1] for row in connection.execute("PRAGMA table_info(%s)"
                                                             % _quote_name(name))]
            lines.append("%s %s: %s" % (kind, name, ", ".join(columns)))
        return lines


def _quote_name(name):
    return '"%s"' % name.replace('"', '""')


# SQLite's authorizer codes of what a query does (Python 2.7's sqlite3 names only some).
_QUERY_ACTIONS = {
    19: "pragma",
    20: "read",
    21: "select",
    31: "function",
    33: "recursive",
}
# Pragmas that only tell about the database; any other is refused, with or without a value.
_TELLING_PRAGMAS = frozenset((
    "table_info", "table_xinfo", "table_list", "index_list", "index_info", "index_xinfo",
    "foreign_key_list", "collation_list", "function_list", "module_list", "pragma_list",
    "database_list", "compile_options"))


def _authorize_query(refused, action, first, second, database, trigger):
    """Lets a statement read; anything else is denied and its code noted in refused."""
    kind = _QUERY_ACTIONS.get(action)
    if kind is not None and (kind != "pragma" or first in _TELLING_PRAGMAS):
        return sqlite3.SQLITE_OK
    refused.append(action)
    return sqlite3.SQLITE_DENY


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



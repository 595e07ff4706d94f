"""Actions as tables: rows for spreadsheets (CSV) and SQLite, made from the dict form of the
actions (Action.to_dict) and made back into actions through Action.from_dict.

Three tables, keyed so that they join:

    actions  action_no, then every field of an action's dict
    details  action_no, detail_no, then every field of a detail's dict (header and body)
    stats    action_no, detail_no, stat_no, then every field of a stat entry

A nested dict becomes columns (a text given as {"hex": ...} fills the column name_hex), a
list of dicts becomes the rows of the table named after its key. The columns come from the
dict form of sample actions built from the record layout, ordered and typed by the layout,
so that nothing here lists a field. The column of a value is named by the value's own key,
or by its whole path joined with "_" where two paths share a key.

    import qn4tGenericActionLoader as q
    actions = list(q.read_actions("spells.gz"))
    q.to_csv(actions, "sheets")            # sheets/actions.csv, details.csv, stats.csv
    q.write_actions("copy.gz", q.from_csv("sheets"))
    q.to_sqlite(actions, "spells.db")      # or an open sqlite3 connection
    db = sqlite3.connect("spells.db")
    db.execute("SELECT name, base FROM actions JOIN damage USING (action_no)")

With pandas (Python 3), frames(actions) gives the three tables as DataFrames, read by
pandas from an in-memory SQLite database in one call per table.
"""

import binascii
import contextlib
import csv
import io
import os
import re
import sqlite3
import sys

import _qn4tGenericActionSupport as _native
from qn4tGenericActionLoader import _files
from qn4tGenericActionLoader._form import HEX, most_digits
from qn4tGenericActionLoader._message import formatted
from qn4tGenericActionLoader.documents import InputRefused, actions_of as _actions_of_source
from qn4tGenericActionLayout import (BODY_ENTRIES, DETAIL_BODIES, DETAIL_HEADER, HEADER,
                                     INTEGER_KINDS, LAYOUT, SPELL_ACTION_TYPE, TEXTS, TITLES,
                                     WIDTHS)

TABLES = ("actions", "details", "stats")
KEYS = ("action_no", "detail_no", "stat_no")  # the key columns, one more per table
CSV_NAMES = dict((table, table + ".csv") for table in TABLES)
_PY2 = sys.version_info[0] == 2
_UNKNOWN_DETAIL_TYPE = 0xFFFF  # a type no body is made for: a sample of an unknown detail


class TableError(InputRefused):
    """Rows that do not make actions: names the table, the row and the column."""


def _records_of_tables():
    """Per table, the layout's records whose fields its rows hold, in layout order."""
    entries = [entry for _, entry in BODY_ENTRIES.values()]
    bodies = [DETAIL_BODIES[number] for number in sorted(DETAIL_BODIES)]
    return {"actions": [HEADER], "details": [DETAIL_HEADER] + bodies, "stats": entries}


_RECORD_FIELDS = dict((name, fields) for name, _, fields in LAYOUT)
_CHARS_WIDTHS = dict((field, WIDTHS[record][field]) for record, _, fields in LAYOUT
                     for field, kind in fields if kind == "chars")
_HEADER_TEXTS = tuple(text for text, _ in TEXTS)  # an action's texts (not the spell code)
try:
    _TEXT_TYPES = (str, unicode)  # Python 2
except NameError:
    _TEXT_TYPES = (str,)


class Column(object):
    """One column: the path of its value in the dict form, its name and whether it holds
    integers (else texts)."""

    def __init__(self, path, name, integer):
        self.path = path
        self.name = name
        self.integer = integer

    def __repr__(self):
        return "Column(%r, %r, %r)" % (self.path, self.name, self.integer)


class Table(object):
    """A table: its key columns, its value columns, and where its rows sit in the parent's
    dict (the path of the list)."""

    def __init__(self, name, level, paths, list_path):
        self.name = name
        self.keys = KEYS[:level + 1]
        self.list_path = list_path  # in the parent's dict; () for the actions
        fields = []  # (field, kind) of the table's records, in layout order
        for record in _records_of_tables()[name]:
            fields.extend(_RECORD_FIELDS[record])
        rank = {}
        kinds = {}
        for position, (field, kind) in enumerate(fields):
            rank.setdefault(field, position)
            kinds.setdefault(field, kind)

        def order(path):
            known = [rank[part] for part in path if part in rank]
            return (min(known) if known else len(fields), path)

        last = [path[-1] for path in paths]
        self.columns = []
        for path in sorted(paths, key=order):
            unique = last.count(path[-1]) == 1 and path[-1] != HEX  # hex: say whose bytes
            column_name = path[-1] if unique else "_".join(path)
            if column_name in KEYS:
                raise ValueError("the field %s has the name of a key column" % ".".join(path))
            self.columns.append(Column(path, column_name, kinds.get(path[-1]) in INTEGER_KINDS))
        self.by_name = dict((column.name, column) for column in self.columns)
        self.by_path = dict((column.path, column) for column in self.columns)
        # where a column's value sits in a row
        self.position = dict((column.path, len(self.keys) + number)
                             for number, column in enumerate(self.columns))

    def header(self):
        return list(self.keys) + [column.name for column in self.columns]


# ---- the dict form flattened ----------------------------------------------------------------

def _flatten(value, prefix, scalars, lists):
    for key, item in value.items():
        path = prefix + (str(key),)
        if isinstance(item, dict):
            _flatten(item, path, scalars, lists)
        elif isinstance(item, list):
            lists[path] = item
        else:
            scalars[path] = item


def flatten(document):
    """({path: value}, {path: list of dicts}) of one dict of the dict form."""
    scalars, lists = {}, {}
    _flatten(document, (), scalars, lists)
    return scalars, lists


def unflatten(scalars):
    """The nested dict of {path: value}."""
    document = {}
    for path, value in scalars.items():
        place = document
        for key in path[:-1]:
            place = place.setdefault(key, {})
            if not isinstance(place, dict):
                raise TableError("%s holds both a value and fields" % ".".join(path[:-1]))
        if path[-1] in place:  # a path under this one came first
            raise TableError("%s holds both a value and fields" % ".".join(path))
        place[path[-1]] = value
    return document


def _samples():
    """Actions that show every shape the dict form takes: a spell with plain texts and one
    whose texts are not UTF-8, a detail of every known type with a stat entry, one whose
    length differs from its body's size (the form keeps such a length), and a detail of a
    type no body is made for."""
    from qn4tGenericActionLoader import actions as whole
    texts = [field for field, kind in _RECORD_FIELDS[HEADER] if kind == "text"]
    details = []
    for number in sorted(whole._BODY_CLASSES):
        body_class = whole._BODY_CLASSES[number]
        entry_class = getattr(body_class, "_entry_class", None)  # a body that entries follow
        body = body_class(stats=[entry_class()]) if entry_class else body_class()
        details.append(whole.Detail(type=number, body=body))
    details.append(whole.Detail(type=min(whole._BODY_CLASSES), length=0,
                                body=whole._BODY_CLASSES[min(whole._BODY_CLASSES)]()))
    details.append(whole.Detail(type=_UNKNOWN_DETAIL_TYPE, body=b"\xff"))
    made = []
    for text in (b"a", b"\xff"):
        action = whole.Action(actionType=SPELL_ACTION_TYPE, details=details)
        for field in texts:
            setattr(action, field, text)
        action.spellCode = text
        made.append(action)
    return made


_SCHEMA = []


def schema():
    """The three Tables, made once from the dict form of the sample actions."""
    if _SCHEMA:
        return _SCHEMA[0]
    documents = [action.to_dict() for action in _samples()]
    tables = []
    parents = [flatten(document) for document in documents]  # (scalars, lists)
    list_path = ()
    for level, name in enumerate(TABLES):
        if level == 0:
            paths = set()
            for scalars, _ in parents:
                paths.update(scalars)
        else:
            list_paths = set(path for _, lists in parents for path in lists)
            if len(list_paths) != 1 or list(list_paths)[0][-1] != name:
                raise ValueError("the dict form has lists %s where the %s are expected"
                                 % (sorted(list_paths), name))
            list_path = list(list_paths)[0]
            children = [flatten(row) for _, lists in parents for row in lists.get(list_path, ())]
            paths = set()
            for scalars, _ in children:
                paths.update(scalars)
            parents = children
        tables.append(Table(name, level, paths, list_path))
    _SCHEMA.append(tables)
    return tables


def body_views():
    """(view name, detail type, the details columns that view shows) per known body kind: the
    columns of the detail header and of that body's fields."""
    details = schema()[1]
    header_fields = set(field for field, _ in _RECORD_FIELDS[DETAIL_HEADER])
    header = [c for c in details.columns if c.path[-1] in header_fields]
    views = []
    for number in sorted(DETAIL_BODIES):
        record = DETAIL_BODIES[number]
        fields = set(field for field, _ in _RECORD_FIELDS[record])
        body = [c for c in details.columns if c.path[-1] in fields and c not in header]
        views.append((TITLES[record].replace(" ", "_"), number, header + body))
    return views


# ---- actions to rows and back --------------------------------------------------------------

def rows(actions):
    """Per table, its rows (lists of values, None where the dict form has no value), from an
    iterable of Action objects. Holds every row: iter_rows streams them."""
    made = dict((table.name, []) for table in schema())
    for name, row in iter_rows(actions):
        made[name].append(row)
    return made


def iter_rows(actions):
    """(table name, row) for the rows of an iterable of Action objects, one action at a time
    (its actions row, then per detail its details row and its stats rows), as rows() holds
    them: the memory holds one action's dict form."""
    tables = schema()

    def add(level, document, keys, prefix=()):
        table = tables[level]
        row = list(keys) + [None] * len(table.columns)
        lists = _fill(row, document, prefix, table.position, keys, table)
        yield table.name, row
        if level + 1 < len(tables):
            child = tables[level + 1]
            for number, item in enumerate(lists.get(child.list_path, ())):
                for made in add(level + 1, item, keys + (number,)):
                    yield made

    for number, action in enumerate(actions):
        for made in add(0, action.to_dict(), (number,)):
            yield made


def _fill(row, document, prefix, position, keys, table):
    """Puts the scalars of one dict (nested dicts flattened) into row by their column's
    position; returns {path: list} of the lists met."""
    lists = {}
    for key, value in document.items():
        path = prefix + (key,)
        if value.__class__ is dict:
            lists.update(_fill(row, value, path, position, keys, table))
            continue
        if value.__class__ is list:
            lists[path] = value
            continue
        if value.__class__ in _TEXT_TYPES and u"\0" in value:
            path, value = path + (HEX,), _hex_text(key, value)
        at = position.get(path)
        if at is None:  # never dropped quietly: the samples missed a shape of the form
            raise ValueError("%s: the table %s has no column for %s"
                             % (_row_name(table, keys), table.name, ".".join(path)))
        row[at] = value
    return lists


def _hex_text(field, text):
    """A text holding a zero byte as the form's hex digits: a cell of a CSV file on Python 2
    ends at a zero byte, and an SQL text function at the first. A character array (the spell
    code) in hex has all its bytes."""
    data = text.encode("utf-8", "surrogateescape") if not _PY2 else text.encode("utf-8")
    data = data.ljust(_CHARS_WIDTHS.get(field, 0), b"\0")
    return binascii.hexlify(data).decode("ascii")


def _row_name(table, keys):
    return ", ".join("%s %d" % pair for pair in zip(table.keys, keys))


def _row_place(table, label, column=None):
    return "%s row %s%s" % (table, label, " column %s" % column if column else "")


def documents(table_rows, place_name=_row_place):
    """The dict form of each action, from per-table rows given as (row label, {column: value})
    pairs: the key columns and the columns that have a value (integers as int or as a text
    that the checks refuse). Yields (dict, {path in the dict: (table, row label)}) per action
    in action_no order. Raises TableError for keys that do not join and for a text given
    both as text and in hex, placed by place_name(table, row label, column)."""
    tables = schema()
    grouped = []
    for level, table in enumerate(tables):
        groups = {}
        for label, row in table_rows[table.name]:
            keys = []
            for key in table.keys:
                value = row.get(key)
                if not _is_key(value):
                    raise TableError("%s: expected a whole number, found %r"
                                     % (place_name(table.name, label, key), value))
                keys.append(value)
            keys = tuple(keys)
            if keys in groups:
                raise TableError("%s: %s repeats an earlier row's"
                                 % (place_name(table.name, label), ", ".join(table.keys)))
            groups[keys] = (label, row)
        grouped.append(groups)
    for level in (1, 2):
        parents, table = grouped[level - 1], tables[level]
        for keys, (label, _) in grouped[level].items():
            if keys[:-1] not in parents:
                raise TableError("%s: no row of %s has %s" % (
                    place_name(table.name, label), tables[level - 1].name,
                    ", ".join("%s %d" % pair for pair in zip(table.keys, keys))))
    children = [dict(), dict()]
    for level in (1, 2):
        for keys in grouped[level]:
            children[level - 1].setdefault(keys[:-1], []).append(keys[-1])

    def node(level, keys):
        label, row = grouped[level][keys]
        numbers = sorted(children[level].get(keys, [])) if level < 2 else ()
        return label, row, [(number, node(level + 1, keys + (number,))) for number in numbers]

    for keys in sorted(grouped[0]):
        where = {}
        yield _document(tables, 0, node(0, keys), (), where, place_name), where


def _is_key(value):
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0


_PATHS = {}  # per table name, {column name: the path of its value, None for a key}


def _row_document(table, row):
    """unflatten() of a row's values by their columns' paths, the keys left out, made by the
    companion; TableError where a value's path runs through another's."""
    paths = _PATHS.get(table.name)
    if paths is None:
        paths = dict((column.name, column.path) for column in table.columns)
        paths.update((key, None) for key in table.keys)
        _PATHS[table.name] = paths
    document = _native._row_document(row, paths)
    if document is None:  # a value given twice, or a column named by no plain text
        document = unflatten(dict((paths[name], value) for name, value in row.items()
                                  if paths[name] is not None))
    return document


def _document(tables, level, node, place, where, place_name):
    """The dict form of a row and the rows under it: node is (row label, {column: value},
    [(number, node) of each row under it, by number]). Records in where the row of each
    list item; raises TableError for rows under it numbered with a gap and for a text given
    twice (as text and in hex)."""
    label, row, under = node
    table = tables[level]
    where[place] = (table.name, label)
    try:
        document = _row_document(table, row)
    except TableError:
        raise TableError("%s: %s" % (place_name(table.name, label), _given_twice(table, row)))
    if level == 0:  # an empty cell is the empty text; given, it keeps the form's native
        for name in _HEADER_TEXTS:  # fast path, which takes only an action whole
            document.setdefault(name, u"")
    if level + 1 < len(tables):
        child = tables[level + 1]
        for expected, (number, _) in enumerate(under):
            if number != expected:
                raise TableError("%s: %s has no row with %s %d (they are numbered from 0)"
                                 % (place_name(table.name, label), child.name,
                                    child.keys[-1], expected))
        items = [_document(tables, level + 1, item, place + ((child.list_path, number),),
                           where, place_name) for number, item in under]
        if items or level == 0 or _has_entries(table, row):
            place_in = document
            for key in child.list_path[:-1]:
                place_in = place_in.setdefault(key, {})
            place_in[child.list_path[-1]] = items
    return document


def _given_twice(table, row):
    """What is wrong with a row whose columns give one text twice: as text and in hex."""
    given = [c for c in table.columns if c.name in row]
    for column in given:
        under = [c.name for c in given if len(c.path) > len(column.path) and
                 c.path[:len(column.path)] == column.path]
        if under:
            return "%s and %s both have a value (give the text in one of them)" % (
                column.name, " and ".join(under))
    return "columns that give one value twice"


def place_of(where, document, parts):
    """(table, row label, column name or None) of the value at parts, a path in an action's
    dict such as ("details", 0, "body", "die"): the row of the innermost list item the path
    enters, the column of the rest. where and document: as documents() yields them."""
    tables = schema()
    lists = set(table.list_path for table in tables[1:])
    place, relative = (), []
    for part in parts:
        if isinstance(part, int) and tuple(relative) in lists:
            place += ((tuple(relative), part),)
            relative = []
        else:
            relative.append(part)
    if _given_in_hex(document, parts):
        relative.append(HEX)
    while place not in where:  # a row that is not there: name its parent's
        place, relative = place[:-1], []
    table_name, label = where[place]
    column = tables[len(place)].by_path.get(tuple(relative))
    return table_name, label, column and column.name


def _given_in_hex(document, parts):
    """Whether the value at parts is a text given in hex ({"hex": ...})."""
    value = document
    for part in parts:
        try:
            value = value[part]
        except (KeyError, IndexError, TypeError):
            return False
    return isinstance(value, dict) and HEX in value


class TableSource(object):
    """The actions of table rows as the importer reads a document (documents.actions_of):
    the rows given per table as documents() takes them, or as StreamedTables (csv_rows,
    sqlite_rows) read while the actions are made;
    iterating yields (index, the action's dict) in action_no order, and `where(parts)` names
    the table, the row and the column of a value of the action last yielded, where the JSON
    import names the line and column. Rows that do not join raise TableError."""

    earlier_form = False  # the tables hold the document form of today: no length fields
    bytes_read = size = 0  # no progress to tell: the rows are read before

    def __init__(self, table_rows, place_name=None):
        self.table_rows = table_rows
        self.place_name = place_name or _row_place  # (table, row label, column or None) -> text
        self.count = 0
        self._document, self._where = {}, {}

    def __iter__(self):
        if isinstance(self.table_rows, StreamedTables):
            made = self.table_rows.documents(self.place_name)
        else:
            made = documents(self.table_rows, self.place_name)
        for index, (document, where) in enumerate(made):
            self._document, self._where = document, where
            yield index, document
            self.count += 1

    def where(self, parts):
        """The place of a value by its path in the action's dict: file, row and column."""
        return self.place_name(*place_of(self._where, self._document, parts))


def actions_of(table_rows, place_name=_row_place):
    """The Action objects of per-table rows, in action_no order, through the importer that
    reads the JSON document: every refusal gathered, each on a line led by its place
    (documents.InputRefused; FieldValueRefused, a FieldValueError too, for a value out of
    its field's range)."""
    return list(_actions_of_source(TableSource(table_rows, place_name)))


def _has_entries(details, row):
    """Whether a details row's body is of a kind followed by entries (its list of stats is
    there even when empty)."""
    body = DETAIL_BODIES.get(row.get(type_column(details).name))
    return body in BODY_ENTRIES


class StreamedTables(object):
    """The rows of the three tables read as the actions are made from them, one action's rows
    at a time, so that memory stays flat in the number of rows: the rows come in key order
    (rows(table) gives them so, or in_key_order() says whether they do) and join. Where they
    do not, every row is read first as documents() takes them (whole()), which then finds
    what is wrong with them or puts them in order: the refusals and the actions are the same
    either way."""

    def rows(self, table):
        """(row label, {column: value}) of the table's rows, by its Table."""
        raise NotImplementedError

    def whole(self):
        """{table name: [(row label, {column: value})]}: every row, as documents() takes
        them."""
        raise NotImplementedError

    def in_key_order(self):
        """Whether rows() gives every table's rows in key order; False for keys that are not
        whole numbers and for rows whose parent row is missing."""
        return True

    def documents(self, place_name):
        """As documents() yields them, of these rows."""
        if not self.in_key_order():
            for made in documents(self._whole_first(), place_name):
                yield made
            return
        tables = schema()
        try:
            levels = [_keyed(self.rows(table), table) for table in tables]
            for node in _joined(*levels):
                where = {}
                yield _document(tables, 0, node, (), where, place_name), where
        except _ReadFault:
            raise self._refusal_of_whole(place_name)
        except _Unjoined:
            raise self._refusal_of_whole(place_name)

    def _whole_first(self):
        try:
            return self.whole()
        except TableError as error:
            raise _before_any_action(error)

    def _refusal_of_whole(self, place_name):
        """The refusal that reading every row first finds: it is the whole refusal of the
        run, whatever was refused before it in the actions made from the rows read so far."""
        rows = self._whole_first()
        try:
            next(iter(documents(rows, place_name)), None)
        except TableError as error:
            error.alone = True
            return error
        error = TableError("the tables changed while they were read")
        error.alone = True
        return error


class _ReadFault(Exception):
    """A row that cannot be read (a cell, a file): the reading of every row says which is
    first."""


class _Unjoined(Exception):
    """Keys that are no whole numbers, out of order, repeated or without a parent row."""


def _before_any_action(error):
    """error, marked as raised by the rows before any action is made from them: it passes
    through the importer as it is."""
    error.before_any_action = True
    return error


def _keyed(rows, table):
    """(keys, row label, row) of rows that must come in key order with whole-number keys;
    raises _Unjoined where they do not and _ReadFault for a row that cannot be read."""
    last = None
    names = table.keys
    try:
        for label, row in rows:
            keys = tuple([row.get(name) for name in names])
            for key in keys:
                if not (type(key) is int and key >= 0) and not _is_key(key):
                    raise _Unjoined()
            if last is not None and keys <= last:
                raise _Unjoined()
            last = keys
            yield keys, label, row
    except TableError:
        raise _ReadFault()


class _Following(object):
    """The rows of a table in key order, taken by their parent's keys."""

    def __init__(self, keyed):
        self._keyed = keyed
        self._next = next(keyed, None)

    def under(self, parent):
        """The rows whose parent is the row keyed parent, as the node's [(number, node)];
        raises _Unjoined for a row before them whose parent was never given."""
        found = []
        while self._next is not None:
            keys, label, row = self._next
            if keys[:-1] != parent:
                if keys[:-1] < parent:
                    raise _Unjoined()
                break
            found.append((keys[-1], (label, row, [])))
            self._next = next(self._keyed, None)
        return found

    def ended(self):
        return self._next is None


def _joined(actions, details, stats):
    """Per action, the node _document takes, from the keyed rows of the three tables in key
    order; raises _Unjoined for a row whose parent is missing."""
    details, stats = _Following(details), _Following(stats)
    for keys, label, row in actions:
        under = details.under(keys)
        for number, (_, _, entries) in under:
            entries.extend(stats.under(keys + (number,)))
        yield label, row, under
    if not (details.ended() and stats.ended()):
        raise _Unjoined()


def _keys_join(levels):
    """Whether the key tuples of the three tables (iterables) are each in strictly rising
    order and every row's parent is there, read in one pass over each."""
    def checked(keys, parents):
        last = parent = None
        for key in keys:
            if key is None or (last is not None and key <= last):
                raise _Unjoined()
            last = key
            if parents is not None:
                while parent is None or parent < key[:-1]:
                    parent = next(parents, None)
                    if parent is None:
                        raise _Unjoined()
                if parent != key[:-1]:
                    raise _Unjoined()
            yield key
    actions = checked(levels[0], None)
    details = checked(levels[1], actions)
    stats = checked(levels[2], details)
    try:
        for chain in (stats, details, actions):
            for _ in chain:
                pass
    except _Unjoined:
        return False
    return True


# ---- CSV -------------------------------------------------------------------------------------

def _open_csv(path, mode):
    if _PY2:
        return open(path, mode + "b")
    # A byte that is not UTF-8 is carried to the cell that holds it, which refuses it there.
    return io.open(path, mode, encoding="utf-8", newline="", errors="surrogateescape")


def _cell(value):
    if value is None:
        return ""
    if _PY2 and not isinstance(value, (int, long)):  # noqa: F821 (Python 2)
        return value.encode("utf-8") if isinstance(value, unicode) else value  # noqa: F821
    return value


def write_csv(table_rows, folder, extra=None, paths=None):
    """Writes the per-table rows into folder/actions.csv, details.csv and stats.csv (or into
    paths: {table: path}). extra: per table, (header names, function of a row giving the
    extra cells) appended."""
    write_csv_tables(folder, paths, extra=extra,
                     made=((table.name, row) for table in schema()
                           for row in table_rows[table.name]))


def write_csv_tables(folder, paths=None, actions=None, blocks=None, extra=None, made=None):
    """Writes the three CSV files of folder (or paths: {table: path}): the header, then the
    rows of blocks (as csv_blocks gives them: the same bytes as the rows written one by
    one), else those of the Action objects of actions (iter_rows) or the (table name, row)
    pairs of made. extra: as write_csv's, for rows written one by one. Returns the number of
    actions written (of blocks: their `actions`, None where they do not tell it)."""
    tables = schema()
    opened = []
    try:
        streams = {}
        for table in tables:
            path = (paths or {}).get(table.name) or os.path.join(folder, CSV_NAMES[table.name])
            stream = _open_csv(path, "w") if blocks is None else io.open(path, "wb")
            opened.append(stream)
            streams[table.name] = stream
        if blocks is not None:
            return _write_csv_blocks(tables, streams, blocks)
        return _write_csv_rows(tables, streams, iter_rows(actions) if made is None else made,
                               extra)
    finally:
        for stream in opened:
            stream.close()


def _written_header(table, extra):
    header = table.header()
    if extra and table.name in extra:
        header = header + list(extra[table.name][0])
    return header


def _write_csv_blocks(tables, streams, blocks):
    for table in tables:
        text = ",".join(_written_header(table, None)) + "\n"  # names that need no quotes
        streams[table.name].write(text.encode("ascii"))
    for block in blocks:
        for table, text in zip(tables, block):
            if text:
                streams[table.name].write(text)
    return getattr(blocks, "actions", None)


def _write_csv_rows(tables, streams, made, extra):
    writers, more = {}, {}
    for table in tables:
        writers[table.name] = csv.writer(streams[table.name], lineterminator="\n")
        writers[table.name].writerow(_written_header(table, extra))
        more[table.name] = extra[table.name][1] if extra and table.name in extra else None
    count = 0
    for name, row in made:
        cells = [_cell(value) for value in row]
        if more[name]:
            cells += [_cell(value) for value in more[name](row)]
        writers[name].writerow(cells)
        count += name == TABLES[0]
    return count


def csv_blocks(source, plain=False):
    """The CSV rows of the actions of an action file (a path or a binary file object; plain:
    its bytes are uncompressed records), made natively without an object per value: an
    iterator of (actions, details, stats) bytes, the rows of a block of whole actions each,
    byte for byte as write_csv writes them (without the header). Its `actions` and `offset`
    say how many actions the blocks given hold and the uncompressed offset behind the last.
    A damaged file raises DamagedFileError after the block holding every complete action
    before the damage."""
    return _native_rows(_native._table_csv, source, plain)


def sqlite_blocks(source, target, plain=False, durable=True):
    """An iterator that fills the SQLite database file at target (a path) with the tables of
    the actions of an action file (a path or a binary file object), natively through SQLite's
    C library: each step inserts the rows of a block of actions and gives their number; the
    tables and views (create_tables) and every row are one transaction, committed after the
    last block. `actions`, `offset` and a damaged file as in csv_blocks (the transaction is
    then not committed); sqlite3.OperationalError where SQLite fails (the tables exist
    already, the disk is full). durable=False: a file that its caller syncs when it
    publishes it, or throws away (a temporary one), so SQLite need not sync it nor keep its
    journal on disk."""
    settings = list(_SQLITE_SETTINGS)
    if not durable:
        settings += _SCRATCH_SETTINGS
    return _native_rows(lambda stream, plain_bytes, columns: _native._table_sqlite(
        stream, plain_bytes, columns, target, settings, table_statements()), source, plain)


# SQLite's page cache while the rows go in (8 MB): the growing ends of the tables and of their
# key indexes stay in memory, which saves an eighth of the time of the default 2 MB; more
# saves little and would make the peak grow with the file's size.
_SQLITE_SETTINGS = ("PRAGMA cache_size = -8192",)
_SCRATCH_SETTINGS = ("PRAGMA synchronous = OFF", "PRAGMA journal_mode = MEMORY")


def _native_rows(make, source, plain):
    columns = tuple((table.name, tuple(column.path for column in table.columns))
                    for table in schema())
    if hasattr(source, "read"):
        return make(source, 1 if plain else 0, columns)
    return _rows_of_path(make, source, plain, columns)


class _RowsOfPath(object):
    """The native iterator over a file opened here, closed at its end."""

    def __init__(self, make, path, plain, columns):
        self._stream = io.open(path, "rb")
        try:
            self._rows = make(self._stream, 1 if plain else 0, columns)
        except BaseException:
            self._stream.close()
            raise

    def __iter__(self):
        return self

    def __next__(self):
        try:
            return next(self._rows)
        except BaseException:
            self._stream.close()
            raise
    next = __next__  # Python 2

    @property
    def actions(self):
        return self._rows.actions

    @property
    def offset(self):
        return self._rows.offset


_rows_of_path = _RowsOfPath


def _is_action_file(source):
    return hasattr(source, "read") or isinstance(source, (bytes, type(u"")))


# A number as spreadsheets write it: "6", " 6 ", "6.0", "6.00", "-2.50".
_DECIMAL = re.compile(r"\s*(-?[0-9]+)(?:\.([0-9]*))?\s*\Z")


_NOT_UTF8 = re.compile(u"[\udc80-\udcff]")  # a byte surrogateescape could not decode
_SHORT_NUMBER = 18  # digits of a number surely below every limit on the digits read
# {column: value} of a row whose cells are plain (ASCII texts, short whole numbers), else
# None: made natively as the loop of _csv_table_rows makes them.
_plain_cells = _native._csv_cells
# Python 3's text cells: an ASCII one is valid as it stands and a plain whole number is
# taken without _csv_value (Python 2's cells are bytes, decoded there).
_PLAIN_CELLS = not _PY2 and hasattr(str, "isascii")
_is_ascii = getattr(type(u""), "isascii", None) or (
    lambda text: not text or max(text) < u"\x80")


def _csv_value(text, integer):
    """A cell's value: in an integer column, a whole number as int (with white space around it
    or zeros behind a decimal point, as spreadsheets and pandas write one), a number with a
    fraction as float; anything else as the text (the checks then refuse either, naming it).
    Raises ValueError for a cell that is not UTF-8 or a number with more digits than are
    read."""
    if _PY2:
        try:
            text = text.decode("utf-8")
        except UnicodeDecodeError as error:
            raise ValueError("not UTF-8 text (%s at byte %d)" % (error.reason, error.start))
    elif not _is_ascii(text):
        found = _NOT_UTF8.search(text)
        if found:
            raise ValueError("not UTF-8 text (the byte 0x%02x at character %d)"
                             % (ord(found.group(0)) - 0xdc00, found.start()))
    if integer and len(text) <= _SHORT_NUMBER and text.isdigit() and _is_ascii(text):
        return int(text)  # most cells: a plain whole number, far shorter than any limit
    number = _DECIMAL.match(text) if integer else None
    if number is None:
        return text
    whole, fraction = number.groups()
    digits = len(whole.lstrip("-"))
    if digits > _SHORT_NUMBER and digits > most_digits():
        raise ValueError("an integer of %d digits, more than the %d read (no field "
                         "holds it)" % (digits, most_digits()))
    if fraction and fraction.strip("0"):
        return float(text)
    return int(whole)


NAME_SUFFIX = "_name"  # a column of names beside a column of codes (never read back)


def is_name_column(table, name):
    """Whether the column name holds the names of the codes of a column beside it."""
    return name.endswith(NAME_SUFFIX) and name[:-len(NAME_SUFFIX)] in table.by_name


def read_csv(folder, ignored=is_name_column):
    """Per table, (row number, {column: value}) for the rows of the CSV files: row numbers
    count the header as row 1; an empty cell has no value; a column of names beside codes
    (ignored(table, name)) is passed over. Raises TableError for a file that cannot be read
    as such a table."""
    return dict((table.name, list(_csv_table_rows(folder, table, ignored)))
                for table in schema())


def _csv_table_rows(folder, table, ignored, keys_only=False):
    """(row number, {column: value}) of each row of the table's CSV file in folder, as
    read_csv gives them, read as they are asked for; keys_only: only the key columns' values.
    Raises TableError for a file that cannot be read as the table."""
    path = os.path.join(folder, CSV_NAMES[table.name])
    try:
        stream = _open_csv(path, "r")
    except (IOError, OSError) as error:
        raise TableError("cannot read %s: %s" % (path, error.strerror or error))
    with stream:
        reader = csv.reader(stream, strict=True)  # a quote left open is refused
        header, kinds = _read_header(reader, path, table, ignored)
        width = len(header)
        read = tuple((number, name, integer) for number, (name, integer)
                     in enumerate(zip(header, kinds))  # the columns taken, in header order
                     if integer is not None and (name in table.keys or not keys_only))
        starts = reader.line_num + 1  # the line the row being read starts on
        try:
            for row in reader:
                cells = len(row)
                if cells > width:
                    raise TableError("%s row %d: %d cells, more than the header's %d"
                                     % (path, reader.line_num, cells, width))
                values = _plain_cells(row, read)  # most rows: made natively
                if values is not None:
                    yield reader.line_num, values
                    starts = reader.line_num + 1
                    continue
                values = {}
                for number, name, integer in read:
                    if number >= cells:
                        break
                    cell = row[number]
                    if not cell:
                        continue
                    if _PLAIN_CELLS and cell.isascii():  # most cells: taken as they stand
                        if not integer:
                            values[name] = cell
                            continue
                        if len(cell) <= _SHORT_NUMBER and cell.isdigit():
                            values[name] = int(cell)
                            continue
                    try:
                        values[name] = _csv_value(cell, integer)
                    except ValueError as error:
                        raise TableError(formatted("%s row %d column %s: %s", path,
                                                   reader.line_num, name, error))
                yield reader.line_num, values
                starts = reader.line_num + 1
        except csv.Error as error:
            raise TableError(formatted("%s row %d: %s", path, starts, _csv_error(error)))


def _read_header(reader, path, table, ignored):
    """(column names, per column True/False for integers or texts, None for a column passed
    over) of a CSV file's header row. Raises TableError for a header that is not the
    table's."""
    try:
        header = next(reader)
    except StopIteration:
        raise TableError("%s: empty: expected a header row" % path)
    except csv.Error as error:
        raise TableError("%s row 1: %s" % (path, error))
    try:
        header = [_csv_value(name, False) for name in header]
    except ValueError as error:
        raise TableError(formatted("%s row 1: %s", path, error))
    kinds = []
    for number, name in enumerate(header):
        if name in header[:number]:
            raise TableError(formatted(
                "%s row 1 column %d: the column %s is named twice (column %d too)",
                path, number + 1, name, header.index(name) + 1))
        if name in table.keys:
            kinds.append(True)
        elif name in table.by_name:
            kinds.append(table.by_name[name].integer)
        elif ignored(table, name):
            kinds.append(None)
        else:
            raise TableError(formatted("%s row 1 column %d: unknown column %s",
                                       path, number + 1, name))
    for key in table.keys:
        if key not in header:
            raise TableError("%s row 1: the key column %s is missing" % (path, key))
    return header, kinds


class CsvTables(StreamedTables):
    """The rows of folder/actions.csv, details.csv and stats.csv, streamed: in_key_order()
    reads the key columns first (the order export writes them in streams the rows); files
    that cannot be read twice (a FIFO) are read whole."""

    def __init__(self, folder, ignored=is_name_column):
        self.folder = folder
        self.ignored = ignored

    def rows(self, table):
        return _csv_table_rows(self.folder, table, self.ignored)

    def whole(self):
        return read_csv(self.folder, self.ignored)

    def in_key_order(self):
        if not all(os.path.isfile(os.path.join(self.folder, CSV_NAMES[table.name]))
                   for table in schema()):
            return False  # a FIFO or a pipe is read once: every row, first

        def keys(table):
            names = table.keys
            for _, values in _csv_table_rows(self.folder, table, self.ignored, True):
                keyed = tuple([values.get(name) for name in names])
                for key in keyed:
                    if not (type(key) is int and key >= 0) and not _is_key(key):
                        keyed = None
                        break
                yield keyed
        try:
            return _keys_join([keys(table) for table in schema()])
        except TableError:  # a file or a key cell that cannot be read: whole() says which
            return False


def _csv_error(error):
    text = str(error)
    if "unexpected end of data" in text or "EOF" in text:
        return "a quoted cell is never closed (its quote opens a cell that runs to the end " \
               "of the file)"
    return text


def csv_place(folder):
    """The place_name of the CSV files in folder: "sheets/details.csv row 3 column die"."""
    def place(table, label, column=None):
        return _row_place(os.path.join(folder, CSV_NAMES[table]), label, column)
    return place


def to_csv(actions, folder):
    """Writes the actions as folder/actions.csv, details.csv and stats.csv (folder must
    exist): actions is an iterable of Action objects, or an action file (a path or a binary
    file object) whose rows are made natively (csv_blocks). Memory holds one action, not the
    rows. Returns the number of actions."""
    if _is_action_file(actions):
        return write_csv_tables(folder, blocks=csv_blocks(actions))
    return write_csv_tables(folder, actions=actions)


def from_csv(folder):
    """The Action objects of folder/actions.csv, details.csv and stats.csv, in action_no
    order, as actions_of() makes them: InputRefused lists every refusal of the run, each led
    by the file, row and column, as `actiontool import --csv` says them."""
    return actions_of(*csv_rows(folder))


def csv_rows(folder):
    """(rows, place_name) of the CSV files in folder, for TableSource: the rows are read
    while the actions are made (CsvTables); what cannot be read raises TableError then."""
    return CsvTables(folder), csv_place(folder)


# ---- SQLite ----------------------------------------------------------------------------------

def _quote(name):
    return '"%s"' % name.replace('"', '""')


def table_statements():
    """The SQL statements that make the tables and the views per body kind."""
    statements = []
    for table in schema():
        columns = ["%s INTEGER NOT NULL" % key for key in table.keys]
        columns += ["%s %s" % (_quote(c.name), "INTEGER" if c.integer else "TEXT")
                    for c in table.columns]
        columns.append("PRIMARY KEY (%s)" % ", ".join(table.keys))
        statements.append("CREATE TABLE %s (%s)" % (table.name, ", ".join(columns)))
    details = schema()[1]
    type_name = type_column(details).name
    for view, number, columns in body_views():
        statements.append("CREATE VIEW %s AS SELECT %s FROM details WHERE %s = %d" % (
            view, ", ".join(list(details.keys) + [_quote(c.name) for c in columns]),
            _quote(type_name), number))
    return statements


def create_tables(connection):
    """Creates the tables and the views per body kind in an SQLite connection."""
    for statement in table_statements():
        connection.execute(statement)


def type_column(details):
    """The details table's column of the detail type."""
    (type_field,) = [field for field, _ in _RECORD_FIELDS[DETAIL_HEADER] if field == "type"]
    return [c for c in details.columns if c.path[-1] == type_field][0]


def insert_rows(connection, table_rows):
    """Inserts per-table rows (as rows() gives them, or an iterable of (table name, row) as
    iter_rows gives them, taken a batch at a time); the number of actions rows."""
    if isinstance(table_rows, dict):
        held = table_rows
        table_rows = ((table.name, row) for table in schema() for row in held[table.name])
    inserts = dict((table.name, "INSERT INTO %s VALUES (%s)" % (
        table.name, ", ".join("?" * (len(table.keys) + len(table.columns)))))
        for table in schema())
    batches = dict((name, []) for name in inserts)
    count = 0
    for name, row in table_rows:
        batch = batches[name]
        batch.append(row)
        count += name == TABLES[0]
        if len(batch) >= _INSERT_BATCH:
            connection.executemany(inserts[name], batch)
            del batch[:]
    for name, batch in batches.items():
        if batch:
            connection.executemany(inserts[name], batch)
    return count


_INSERT_BATCH = 4096  # rows of one table inserted by one executemany


def _connection(target):
    if isinstance(target, sqlite3.Connection):
        return target, False
    return sqlite3.connect(target), True


def to_sqlite(actions, target):
    """Writes the actions into the tables actions, details and stats (and a view per body
    kind: damage, stat_modification, healing) of an SQLite database: target is a path or an
    open sqlite3 connection (left open, committed). The tables must not exist yet. actions
    is an iterable of Action objects, or an action file (a path or a binary file object)
    whose rows are made and inserted natively (sqlite_blocks) where target is a path. Memory
    holds one action, not the rows; everything is one transaction. Returns the number of
    actions."""
    if _is_action_file(actions) and not isinstance(target, sqlite3.Connection):
        blocks = sqlite_blocks(actions, target)
        for _ in blocks:
            pass
        return blocks.actions
    if _is_action_file(actions):
        from qn4tGenericActionLoader.actions import read_actions
        actions = read_actions(actions)
    connection, own = _connection(target)
    try:
        with connection:
            create_tables(connection)
            return insert_rows(connection, iter_rows(actions))
    finally:
        if own:
            connection.close()


@contextlib.contextmanager
def scratch_database():
    """Yields the path of a new empty temporary file for a database that is read and then
    thrown away (sql's), removed on every way out, as the package's other temporary files
    are, and by the signals that end the process."""
    with _files.scratch_file("qn4t-tables.", ".db") as path:
        yield path


# SQLite's authorizer codes (the sqlite3 module names only some of them on Python 2.7).
_SQLITE_READ, _SQLITE_SELECT = 20, 21
_STEPS_BETWEEN_SIGNALS = 10000  # virtual machine steps between two looks at the signals


def open_database(path):
    """A connection to the database file at path that can only read it: opened read-only and
    immutable, so that SQLite neither writes the file nor rolls a journal found beside it
    into it, and nothing else writes it meanwhile. The caller closes it. Raises
    sqlite3.Error when it cannot be opened."""
    if sys.version_info[0] >= 3:
        return sqlite3.connect(_read_only_uri(path), uri=True)
    # Python 2.7's connect() passes the name on as it is; the library reads it as a URI
    # when it was built to (Debian's is), which the compile options say.
    probe = sqlite3.connect(":memory:")
    try:
        options = [row[0] for row in probe.execute("PRAGMA compile_options")]
    finally:
        probe.close()
    if not set(["USE_URI", "USE_URI=1"]) & set(options):
        raise sqlite3.OperationalError("this SQLite library cannot open a database "
                                       "read-only (it was built without URI names)")
    return sqlite3.connect(_read_only_uri(path))


def _read_only_uri(path):
    try:
        from urllib import quote  # Python 2
    except ImportError:
        from urllib.parse import quote
    absolute = os.path.abspath(path)
    if not isinstance(absolute, bytes) and _PY2:
        absolute = absolute.encode("utf-8")
    return "file:%s?mode=ro&immutable=1" % quote(absolute)


def refuse_stand_ins(connection):
    """Raises TableError unless actions, details and stats are tables that hold their rows:
    a view, a virtual table or a computed column in their place would run a program of the
    database's author at every read (an endless recursive view fills the disk)."""
    kinds = dict((name, (kind, sql or "")) for name, kind, sql in connection.execute(
        "SELECT name, type, sql FROM sqlite_master WHERE type IN ('table', 'view')"))
    for name in TABLES:
        kind, sql = kinds.get(name, ("table", ""))  # a missing table: SELECT names it
        if kind != "table":
            raise TableError("table %s is a %s, not a table: refused (only the tables that "
                             "export --sqlite writes are read)" % (name, kind))
        if re.match(r"\s*CREATE\s+VIRTUAL\b", sql, re.IGNORECASE):
            raise TableError("table %s is a virtual table: refused (only the tables that "
                             "export --sqlite writes are read)" % name)
        if name not in kinds:
            continue
        for column in connection.execute("PRAGMA table_xinfo(%s)" % _quote(name)):
            if column[-1] in (2, 3):  # hidden: 2 a computed column, 3 a stored computed one
                raise TableError("table %s: column %s is computed, not stored: refused"
                                 % (name, column[1]))


class _Reading(object):
    """While the tables are read from a connection of this module's own: a statement may
    only read the three tables. And on any connection a signal is seen between virtual
    machine steps, not only when a statement is done, so that it ends a long read at once:
    SIGTERM by the handler of this package's file rules, SIGINT as KeyboardInterrupt."""

    def __init__(self, connection, own):
        self.connection = connection
        self.own = own

    def __enter__(self):
        if self.own:
            self.connection.set_authorizer(self._authorize)
        self.connection.set_progress_handler(_let_signals_in, _STEPS_BETWEEN_SIGNALS)
        return self

    def __exit__(self, kind, value, trace):
        self.connection.set_progress_handler(None, _STEPS_BETWEEN_SIGNALS)
        if kind is not None and issubclass(kind, sqlite3.Error):
            _raise_if_interrupted(value)
        return False

    @staticmethod
    def _authorize(action, table, column, database, trigger):
        if action == _SQLITE_SELECT or (action == _SQLITE_READ and table in _READABLE):
            return sqlite3.SQLITE_OK
        return sqlite3.SQLITE_DENY


def _let_signals_in():
    """The progress handler: calling any Python function runs the handlers of the signals
    that came meanwhile. The exception one raises cannot leave through SQLite, which drops
    it and ends the statement as "interrupted" (see _raise_if_interrupted)."""
    return 0


def _raise_if_interrupted(error):
    """The statement ended because a signal's handler raised in the progress handler, which
    only the default SIGINT handler does while the tables are read: KeyboardInterrupt, as
    the signal would have raised."""
    if str(error) == "interrupted":
        raise KeyboardInterrupt()


_READABLE = frozenset(TABLES + ("sqlite_master", "sqlite_schema"))


def read_sqlite(connection, own=False):
    """Per table, (row label, {column: value}) for the rows of the tables, in key order; the
    label names the row by its keys. Raises TableError for a database without the tables,
    with columns they do not have, or with a view, virtual table or computed column in
    their place (refuse_stand_ins). own: the connection is this module's (open_database),
    and may only read the tables while they are read."""
    refuse_stand_ins(connection)
    with _Reading(connection, own):
        return _read_tables(connection)


def _read_tables(connection):
    return dict((table.name, list(_sqlite_table_rows(_select(connection, table), table)))
                for table in schema())


def _select(connection, table):
    """A cursor over the table's rows in key order. Raises TableError for a table that is
    not there or has a column the table does not have."""
    try:
        cursor = connection.execute("SELECT * FROM %s ORDER BY %s"
                                    % (table.name, ", ".join(table.keys)))
    except sqlite3.Error as error:
        _raise_if_interrupted(error)
        raise TableError("table %s: %s" % (table.name, error))
    for name in [description[0] for description in cursor.description]:
        if name not in table.keys and name not in table.by_name:
            raise TableError("table %s: unknown column %s" % (table.name, name))
    return cursor


def _sqlite_table_rows(cursor, table):
    """(row label, {column: value}) of the rows a cursor gives: a NULL has no value; the
    label names the row by its keys."""
    names = [description[0] for description in cursor.description]
    keys = table.keys
    for values in cursor:
        row = dict(zip(names, values))
        if None in values:
            row = dict([(name, value) for name, value in row.items() if value is not None])
        label = "(%s)" % ", ".join(["%s %s" % (key, row.get(key)) for key in keys])
        yield label, row


class SqliteTables(StreamedTables):
    """The rows of the tables of a database (a path, opened read-only by open_database
    whenever the rows are read; or an open connection), streamed through one cursor per
    table in key order. name: how refusals name the database."""

    def __init__(self, source, name):
        self.source = source
        self.name = name
        self._connection = None

    def rows(self, table):
        cursor = _select(self._connection, table)
        try:
            for row in _sqlite_table_rows(cursor, table):
                yield row
        except sqlite3.DatabaseError as error:
            _raise_if_interrupted(error)
            raise TableError("%s: %s" % (self.name, error))

    def whole(self):
        try:
            return _read_tables(self._connection)
        except TableError as error:
            raise TableError("%s: %s" % (self.name, error))
        except sqlite3.DatabaseError as error:
            _raise_if_interrupted(error)
            raise TableError("%s: %s" % (self.name, error))

    def documents(self, place_name):
        own = not isinstance(self.source, sqlite3.Connection)
        try:
            self._connection = open_database(self.source) if own else self.source
        except sqlite3.Error as error:
            raise _before_any_action(TableError("%s: %s" % (self.source, error)))
        try:
            try:
                refuse_stand_ins(self._connection)
            except TableError as error:
                raise _before_any_action(TableError("%s: %s" % (self.name, error)))
            with _Reading(self._connection, own):
                for made in StreamedTables.documents(self, place_name):
                    yield made
        finally:
            if own:
                self._connection.close()
            self._connection = None


def from_sqlite(source):
    """The Action objects of the tables actions, details and stats of an SQLite database
    (a path or an open sqlite3 connection), in action_no order, as actions_of() makes them:
    InputRefused lists every refusal, each led by the database, table, row and column, as
    `actiontool import --sqlite` says them."""
    return actions_of(*sqlite_rows(source))


def sqlite_place(name):
    """The place_name of a database: "spells.db: table details row (action_no 0, detail_no
    0) column die"."""
    def place(table, row, column=None):
        return "%s: table %s row %s%s" % (name, table, row,
                                          " column %s" % column if column else "")
    return place


def _database_name(connection):
    for _, schema_name, file_name in connection.execute("PRAGMA database_list"):
        if schema_name == "main":
            return file_name or "the database"
    return "the database"


def sqlite_rows(source):
    """(rows, place_name) of the tables of a database (a path, which must name an existing
    file, opened read-only and immutable by open_database; or an open sqlite3 connection),
    for TableSource: the tables are looked at now and their rows read while the actions are
    made (SqliteTables). Raises TableError, its message led by the database's name, also for
    a view, virtual table or computed column in place of a table."""
    own = not isinstance(source, sqlite3.Connection)
    if own and not os.path.isfile(source):
        raise TableError("%s: no such database file" % source)
    try:
        connection = open_database(source) if own else source
    except sqlite3.Error as error:
        raise TableError("%s: %s" % (source, error))
    name = source if own else _database_name(connection)
    try:
        refuse_stand_ins(connection)
        with _Reading(connection, own):
            for table in schema():
                _select(connection, table).close()
    except TableError as error:
        raise TableError("%s: %s" % (name, error))
    except sqlite3.DatabaseError as error:
        raise TableError("%s: %s" % (name, error))
    finally:
        if own:
            connection.close()
    return SqliteTables(source, name), sqlite_place(name)


def frames(actions):
    """{"actions": DataFrame, "details": ..., "stats": ...} (pandas, Python 3): the tables
    read by pandas from an in-memory SQLite database, one call per table. The key columns and
    the integer fields are pandas' nullable integers ("Int64"): a column with empty cells
    stays integer, as a spreadsheet shows it, and from_frames takes the frames back."""
    import pandas
    connection = sqlite3.connect(":memory:")
    try:
        to_sqlite(actions, connection)
        made = {}
        for table in schema():
            frame = pandas.read_sql_query("SELECT * FROM %s" % table.name, connection)
            integers = list(table.keys) + [c.name for c in table.columns if c.integer]
            made[table.name] = frame.astype(dict((name, "Int64") for name in integers))
        return made
    finally:
        connection.close()


def from_frames(tables):
    """The Action objects of the tables as frames() gives them ({"actions": DataFrame,
    "details": ..., "stats": ...}, the rows in any order), edited or not; a cell pandas
    holds as missing (NA, NaN, None) has no value, and a whole number read as a float (6.0)
    is taken as the integer. A value the document form refuses raises its error, led by the
    table, row and column, as from_sqlite does."""
    read = {}
    for table in schema():
        frame = tables[table.name]
        for name in frame.columns:
            if name not in table.keys and name not in table.by_name:
                raise TableError("table %s: unknown column %s" % (table.name, name))
        got = []
        for values in frame.itertuples(index=False, name=None):
            row = {}
            for name, value in zip(frame.columns, values):
                value = _frame_value(value)
                if value is not None:
                    row[name] = value
            label = "(%s)" % ", ".join("%s %s" % (key, row.get(key)) for key in table.keys)
            got.append((label, row))
        read[table.name] = got
    return actions_of(read)


def _frame_value(value):
    """A pandas cell as the document form takes it: None for missing, numpy's numbers as
    Python's, a whole float as int (a fraction stays a float, which the form refuses)."""
    try:
        if value is None or value != value:  # NaN is not equal to itself
            return None
    except TypeError:  # pandas.NA: its comparisons are ambiguous
        return None
    if hasattr(value, "item"):  # numpy's scalars
        value = value.item()
    if isinstance(value, float) and value.is_integer():
        return int(value)
    return value

"""Read, change and write the action files of the game: spells and abilities with their
damage, healing and stat-modifying details, as gzip-compressed records.

Whole actions, the usual way:

    import qn4tGenericActionLoader as q
    actions = list(q.read_actions("spells.gz"))   # Action objects, read in blocks
    actions[0].name = "Fireball"                   # nameLen follows
    actions[0].details[0].body.base += 5
    q.write_actions("spells.gz", actions)          # replaced only when complete

- `read_actions(path or file)`: an iterator of `Action`, each with its `details` (`Detail`
  with a `FileDamage`, `StatMod` with `Stat` entries, or `Healing` body). A damaged file gives
  every complete action, then raises `DamagedFileError`.
- `write_actions(path or file, actions)`: writes a gzip action file.
- `Action.to_dict()` / `Action.from_dict(d)`: the JSON document form that `actiontool
  export` writes and `actiontool import` reads; fields that follow what they count are
  left out, every byte of a text is kept.
- `check_file(path or file)` / `dump_text(...)` / `write_dump(out, ...)`: what `actiontool
  check` and `dump` find and list, made natively; a damaged file's `FileDamage` names the
  action, record, field and offsets the decoder found it cut at.
- `Stream` and the record classes (`qn4tGeneric_Action_Header`, ...): one record at a time,
  as the flat functions of `_qn4tGenericActionLoader` work.
- `actiontool` (a command): `dump`, `check`, `export`, `import`, `diff` whole files.

The record classes are made from the record layout generated from the C++ field tables at
build time. Their fields are attributes bound to the checked accessors of the companion
module `_qn4tGenericActionSupport`: an integer out of its field's range raises
FieldValueError (an OverflowError and a ValueError), an unsigned 32-bit field reads
unsigned, and setting a text sets its length field to the text's size in bytes.
`read(stream)` and `write(stream)` raise when something fails.

    with q.Stream("spells.gz", "w") as out:
        h = q.qn4tGeneric_Action_Header()
        h.name = "Fireball"            # nameLen becomes 8
        h.write(out)
"""
import _qn4tGenericActionLoader as _native
import _qn4tGenericActionSupport as _support
from qn4tGenericActionLoader._version import __version__  # noqa: F401 (re-exported)
from qn4tGenericActionLayout import LAYOUT, SPELL_ACTION_TYPE, TRAILER_SIZE
from qn4tGenericActionLoader import meanings as _meanings

# A file whose compressed data is cut short, corrupt or fails its check: a subclass of
# both IOError and ValueError, raised by the records' reads and by read_actions.
DamagedFileError = _support.DamagedFileError

# A value its field cannot hold (an integer out of range, a text longer than its length field
# counts), raised alike by the record classes, the whole-action objects and the JSON import:
# a subclass of both OverflowError and ValueError (docs/bad-input.md).
FieldValueError = _support.FieldValueError

QN4T_GENERIC_ACTION_NONE = _native.QN4T_GENERIC_ACTION_NONE
QN4T_GENERIC_ACTION_DAMAGE = _native.QN4T_GENERIC_ACTION_DAMAGE
QN4T_GENERIC_ACTION_STATMOD = _native.QN4T_GENERIC_ACTION_STATMOD
QN4T_GENERIC_ACTION_HEALING = _native.QN4T_GENERIC_ACTION_HEALING

class _Record(object):
    """A record reference: `this` is the pointer string, `thisown` whether collecting
    the instance frees the record.

    The module never hands out an address twice, so an instance whose record was
    deleted elsewhere can only be refused (TypeError) and never frees another record."""

    __slots__ = ('this', '_owns')

    def __init__(self, this=None):
        """With no argument, creates a new record owned by this instance; with a
        pointer string (or a record instance), wraps that record without owning it."""
        self._owns = False
        if this is None:
            made = self._new()
            if made is None:
                raise MemoryError('cannot allocate a %s' % type(self).__name__)
            this = getattr(made, 'this', made)
            if made is not this:
                made.thisown = 0  # the temporary instance gives its record to self
            self.this = this
            self.thisown = 1
        else:
            self.this = getattr(this, 'this', this)

    def _get_thisown(self):
        return int(self._owns)

    def _set_thisown(self, value):
        self._owns = bool(value)

    thisown = property(_get_thisown, _set_thisown)

    def __del__(self):
        try:
            if self._owns:
                self._delete(self)
        except Exception:
            pass  # already deleted elsewhere, or interpreter shutdown

    def read(self, stream):
        """Reads the record at the stream's position: 0, or -1 at the clean end of the
        data. Raises DamagedFileError when the compressed data is cut short, corrupt or
        fails its check, IOError when the system cannot read the file or the stream is
        closed or open for writing. An action header read leaves no spell trailer of an
        earlier record behind: a non-spell action reads with spellCode "" and spellPath
        and spellCost 0."""
        return self._read(self, stream)

    def write(self, stream):
        """Writes the record at the stream's position: 0. Raises IOError (with the
        system's reason, e.g. no space left on device) when the data cannot be written,
        or when the stream is closed or open for reading. Most write errors show only when
        the stream is closed: see Stream.close."""
        return self._write(self, stream)

    def __repr__(self):
        try:
            values = ', '.join('%s=%r' % (field, getattr(self, field))
                               for field, _ in self.FIELDS)
        except (TypeError, ValueError):  # the record was deleted: only its reference is left
            return '<%s %s>' % (type(self).__name__, self.this)
        return '<%s %s: %s>' % (type(self).__name__, self.this, values)


def _record_class(type_name, wire_size, fields):
    """Makes the class for one record type from its layout entry."""
    def native(suffix):
        return getattr(_native, type_name + suffix)

    def checked(suffix):
        return getattr(_support, type_name + suffix)
    namespace = {
        '__slots__': (),
        '__doc__': 'Record %s, %d bytes in the file; its fields in file order:\n%s'
                   % (type_name, wire_size, _meanings.fields_doc(type_name)),
        'FIELDS': fields,
        'WIRE_SIZE': wire_size,
        '_new': staticmethod(getattr(_native, 'new_' + type_name)),
        '_delete': staticmethod(getattr(_native, 'delete_' + type_name)),
        '_read': staticmethod(checked('_read')),
        '_write': staticmethod(checked('_write')),
    }
    for field, kind in fields:
        # Native functions themselves: no Python frame per attribute access.
        namespace[field] = property(checked('_%s_get' % field), checked('_%s_set' % field),
                                    doc=_meanings.field_doc(type_name, field, kind))
    cls = type(type_name, (_Record,), namespace)
    native('_swigregister')(cls)
    return cls


for _type_name, _wire_size, _fields in LAYOUT:
    globals()[_type_name] = _record_class(_type_name, _wire_size, _fields)
del _type_name, _wire_size, _fields

qn4tGeneric_Action_Header.TRAILER_SIZE = TRAILER_SIZE
qn4tGeneric_Action_Header.SPELL_ACTION_TYPE = SPELL_ACTION_TYPE

RECORD_CLASSES = tuple(globals()[entry[0]] for entry in LAYOUT)


class Stream(object):
    """A record stream: a gzip file opened for reading ('r') or writing ('w').

    A file that cannot be opened raises IOError naming the path and the system's reason.
    A written file is complete only once the stream is closed: close() (or the end of a
    `with` block) raises IOError when the data did not all reach the file (a full disk).
    Closing twice is harmless. A stream collected unclosed is closed then, and a failure
    of that close is reported the way Python reports an error in __del__. A Stream owns
    its file and cannot be copied or pickled."""

    __slots__ = ('this', 'path', 'mode')

    def __init__(self, path, mode='r'):
        """Opens path for reading ('r', the default) or writing ('w'); IOError when it
        cannot."""
        self.this = None
        if mode not in ('r', 'rb', 'w', 'wb'):
            raise ValueError("mode must be 'r' or 'w', not %r" % (mode,))
        self.path = path
        self.mode = mode[0]
        this = _native.qn4tGenericOpen(path, 1 if self.mode == 'w' else 0)
        if this is None:
            raise MemoryError('cannot allocate a stream')
        _support.stream_check_open(this, path)
        self.this = this

    def seek(self, offset):
        """Moves the position by offset bytes from the current one."""
        _native.qn4tGenericSeek(self, offset)

    def eof(self):
        """1 once a read has met the end of the input, else 0."""
        return _native.qn4tGenericEOF(self)

    def close(self):
        """Closes the stream; a written file is complete only after this. Raises IOError
        when the data did not all reach the file; the stream is closed either way."""
        if self.this is not None:
            _support.stream_close(self.this, self.path)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()
        return False

    def __del__(self, _close=_support.stream_close):
        # Bound at definition: at interpreter exit the module's globals may be gone. An
        # IOError is left to the interpreter, which reports it as an error in __del__.
        this = getattr(self, 'this', None)
        if this is not None:
            _close(this, self.path)

    def __copy__(self):
        raise TypeError('a Stream cannot be copied: it owns its open file')

    def __deepcopy__(self, memo):
        raise TypeError('a Stream cannot be copied: it owns its open file')

    def __reduce_ex__(self, protocol):
        raise TypeError('a Stream cannot be pickled: it owns its open file')

    def __repr__(self):
        return '<Stream %r %s %s>' % (self.path, self.mode, self.this)


# Whole actions at native speed (qn4tGenericActionLoader/actions.py).
from qn4tGenericActionLoader.actions import (  # noqa: E402,F401 (re-exported)
    Action, Detail, StatList, inflater, inflating, read_actions, write_actions)

# Files replaced only when complete, and messages that hold any text, by the rules the
# whole-file functions and actiontool follow (_files.py, _message.py).
from qn4tGenericActionLoader._files import (  # noqa: E402,F401 (re-exported)
    OutputIsInput, Terminated, readable_path, replacing, writing)
from qn4tGenericActionLoader._message import (  # noqa: E402,F401 (re-exported)
    formatted, message_bytes, message_text)
from qn4tGenericActionLoader._form import (  # noqa: E402,F401 (re-exported)
    body_size, has_utf8_form, text_form)
from qn4tGenericActionLoader import actions as _whole  # noqa: E402
# ... and the classes of the detail bodies and their entries, under the layout's class names.
globals().update((name, getattr(_whole, name)) for name in _whole.CLASS_NAMES.values())

# Changes between action sets: diff, patch and three-way merge (qn4tGenericActionLoader/changes.py).
from qn4tGenericActionLoader.changes import (  # noqa: E402,F401 (re-exported)
    ADDED, CHANGED, MOVED, REMOVED, Change, ChangeStream, Conflict, FieldChange, Patch, Result,
    apply_patch, conflict_document, diff_actions, merge_actions, path_text)

# Actions from documents: the one importer of JSON, CSV and SQLite rows
# (qn4tGenericActionLoader/documents.py).
from qn4tGenericActionLoader.documents import (  # noqa: E402,F401 (re-exported)
    FieldValueRefused, InputRefused, JsonSource, import_actions, json_blocks, read_json,
    write_json)

# Walks over a whole file made natively: dump's listing and check's findings, with the facts
# of any damage (qn4tGenericActionLoader/walking.py).
from qn4tGenericActionLoader.walking import (  # noqa: E402,F401 (re-exported)
    FileDamage, FileWalk, WalkReport, check_file, dump_text, write_dump)

# Actions as tables for spreadsheets and SQLite (qn4tGenericActionLoader/tables.py).
from qn4tGenericActionLoader.tables import (  # noqa: E402,F401 (re-exported)
    TableError, TableSource, csv_blocks, from_csv, from_frames, from_sqlite, sqlite_blocks, to_csv,
    to_sqlite)

# The JSON Schema of the document form, for editors (qn4tGenericActionLoader/schema.py).
from qn4tGenericActionLoader.schema import document_schema, schema_text  # noqa: E402,F401

# Names as values of the codes a names file names (qn4tGenericActionLoader/named.py).
from qn4tGenericActionLoader.named import CodeNames  # noqa: E402,F401

# The page that shows and edits actions in a browser, written as the actions are read
# (qn4tGenericActionLoader/page.py).
from qn4tGenericActionLoader.page import page_blocks, write_page  # noqa: E402,F401

# The public names, for help(q) and `from qn4tGenericActionLoader import *`: every name above
# that is no module and does not start with "_" (the record classes come from the layout).
__all__ = sorted(_name for _name, _value in globals().items()
                 if not _name.startswith('_') and type(_value) is not type(_native))

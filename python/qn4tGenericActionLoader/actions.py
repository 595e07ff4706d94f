"""Whole actions as objects: read_actions, write_actions and the classes Action, Detail,
Damage, StatMod, Stat and Healing.

The classes are the companion module's native types (fields held natively, made by the
block reader without a Python call per field) with keyword constructors, a readable repr,
equality by value and conversion to and from the dict that `actiontool export` writes.

    import qn4tGenericActionLoader as q
    actions = list(q.read_actions("spells.gz"))
    actions[0].details[0].body.base += 5
    q.write_actions("spells.gz", actions)
"""

import warnings

import _qn4tGenericActionSupport as _native
from qn4tGenericActionLoader import _files, _form, meanings
from qn4tGenericActionLayout import (BODY_ENTRIES, CLASS_NAMES, DERIVED_COUNTS, DETAIL_BODIES,
                                     HEADER, LAYOUT, MOST_THREADS, SPELL_ACTION_TYPE, TITLES)

DamagedFileError = _native.DamagedFileError
StatList = _native.StatList  # StatMod.stats: packed entries behaving as a list of Stat

_FIELDS = dict((name, tuple(field for field, _ in fields)) for name, _, fields in LAYOUT)
_HEADER = _FIELDS[HEADER]
_TEXTS = tuple(field for name, _, fields in LAYOUT if name == HEADER
               for field, kind in fields if kind == "text")
_HEAD_INTEGERS = _HEADER[:_HEADER.index(_TEXTS[0])]
# The head's fields that follow what they count: the texts' lengths and the detail count.
_HEAD_COUNTS = frozenset(DERIVED_COUNTS[HEADER])
_TRAILER = _HEADER[_HEADER.index(_TEXTS[-1]) + 1:]
def _fields_repr(obj, names):
    return "%s(%s)" % (type(obj).__name__,
                       ", ".join("%s=%r" % (name, getattr(obj, name)) for name in names))


class _Values(object):
    """Shared by the classes: repr and dict form from the list of their field names."""

    __slots__ = ()
    _record = None  # the record type whose fields the class holds
    _names = ()

    def __repr__(self):
        return _fields_repr(self, self._names)

    def to_dict(self):
        return dict((name, getattr(self, name)) for name in self._names)

    @classmethod
    def from_dict(cls, values):
        return cls(**dict((str(k), v) for k, v in values.items()))


class _WithEntries(_Values):
    """Shared by the bodies that entries follow: the entries are `stats`, their count
    follows them and is left out of the repr and the dict form."""

    __slots__ = ()
    _count = None        # the body's field that counts its entries
    _entry_class = None  # the class of its entries

    def __repr__(self):
        return _fields_repr(self, tuple(n for n in self._names if n != self._count) + ("stats",))

    @classmethod
    def from_dict(cls, values, stats=()):
        values = dict((str(k), v) for k, v in values.items() if k != cls._count)
        return cls(stats=[cls._entry_class.from_dict(s) for s in stats], **values)


# The fields that follow what they count: no constructor takes them.
_COUNTS = frozenset(field for fields in DERIVED_COUNTS.values() for field in fields)


def _documented(record, summary, more=()):
    """(docstring, constructor signature) of a class holding a record's fields: the fields
    with their type, range and meaning (qn4tGenericActionLoader.meanings), and keywords
    for every field that does not follow what it counts, plus `more` ((name, default)
    pairs). The signature is None on Python 2, which has none to give."""
    kinds = dict((name, fields) for name, _, fields in LAYOUT)[record]
    keywords = [(field, "" if kind in ("text", "chars") else 0) for field, kind in kinds
                if field not in _COUNTS] + list(more)
    doc = "%s\n\n%s(%s)\n\n%s" % (summary, CLASS_NAMES.get(record, "Action"), ", ".join(
        "%s=%r" % pair for pair in keywords), meanings.fields_doc(record))
    return doc, _signature(keywords)


def _signature(keywords):
    """The signature of a constructor taking (name, default) keywords only; None on Python 2,
    which has no signatures."""
    try:
        from inspect import Parameter, Signature
    except ImportError:
        return None
    return Signature([Parameter(name, Parameter.KEYWORD_ONLY, default=default)
                      for name, default in keywords])


def _value_class(record, base=_Values, **extra):
    """The class of a body or entry record: its native type (named by the layout's class
    name) with the shared repr and dict form, its fields' docstring and signature."""
    name = CLASS_NAMES[record]
    namespace = dict(__slots__=(), __module__=__name__, _record=record, _names=_FIELDS[record])
    more = [("stats", [])] if record in BODY_ENTRIES else []
    namespace["__doc__"], signature = _documented(
        record, "The fields of a %s, held natively; keywords give them, the rest are 0."
        % TITLES[record], more)
    if signature is not None:
        namespace["__signature__"] = signature
    namespace.update(extra)
    return type(str(name), (base, getattr(_native, name)), namespace)


# The body and entry classes, from the layout's class names; the entry classes first, so
# that a body knows the class of its entries. A body record without its native type or its
# class name fails at import.
def _record_classes():
    classes = dict((entry, _value_class(entry)) for _, entry in BODY_ENTRIES.values())
    for body in DETAIL_BODIES.values():
        if body in BODY_ENTRIES:
            count, entry = BODY_ENTRIES[body]
            classes[body] = _value_class(body, _WithEntries, _count=count,
                                         _entry_class=classes[entry])
        else:
            classes[body] = _value_class(body)
    return classes


_CLASS_OF_RECORD = _record_classes()
globals().update((cls.__name__, cls) for cls in _CLASS_OF_RECORD.values())

# Detail type -> body class, from the layout's detail-type-to-body table.
_BODY_CLASSES = dict((number, _CLASS_OF_RECORD[record]) for number, record in DETAIL_BODIES.items())


class Detail(_native.Detail):
    """One detail: `type`, `length` (kept as read; follows the body when not given) and
    `body`, a Damage, StatMod or Healing, or bytes for a type the file format does not name.

    Detail(type=0, length=None, body=None)"""

    __slots__ = ()
    if _signature((("type", 0),)) is not None:
        __signature__ = _signature((("type", 0), ("length", None), ("body", None)))

    def __repr__(self):
        return _fields_repr(self, ("type", "length", "body"))

    def to_dict(self):
        """The detail in the document form: {"header": {"type"}, "body": {...}}, "stats" for a
        stat modification, "length" in the header only where it differs from the body's
        size; the body of a type with no record of its own as {"hex": "..."}."""
        return _form.detail_to_dict(self)

    @classmethod
    def from_dict(cls, values):
        """A Detail from its document form. Raises ValueError (a FormError listing every
        refused value)."""
        return Action.from_dict({"actionType": 0, "details": [values]}).details[0]


_ACTION_DOC, _ACTION_SIGNATURE = _documented(
    "qn4tGeneric_Action_Header", "One action: every header field under the record's own "
    "names, the texts with all their bytes, and `details`, a list of Detail. The length and "
    "count fields (nameLen, ..., numDetails) are read-only and follow what they count.",
    [("details", [])])


class Action(_native.Action):
    __doc__ = _ACTION_DOC
    __slots__ = ()
    if _ACTION_SIGNATURE is not None:
        __signature__ = _ACTION_SIGNATURE

    def __repr__(self):
        names = [n for n in _HEAD_INTEGERS if n not in _HEAD_COUNTS]
        names += list(_TEXTS)
        if self.actionType == SPELL_ACTION_TYPE:
            names += list(_TRAILER)
        return _fields_repr(self, names + ["details"])

    def to_dict(self):
        """The action in the document form that `actiontool export` writes (see
        qn4tGenericActionLoader._form): every field that is not derived, texts with every
        byte."""
        return _form.action_to_dict(self)

    @classmethod
    def from_dict(cls, values, earlier_form=False):
        """An Action from its document form; a field left out takes 0 or the empty text.
        Raises ValueError (FormError, whose `problems` lists every refused value, each with
        its field path). earlier_form=True reads the form written before the "format"
        member, whose length fields are authoritative: a shorter text is padded with zero
        bytes, with a warning per field."""
        action, notes = _form.action_from_dict(_classes(cls), values, earlier_form)
        for note in notes:
            warnings.warn(str(note), stacklevel=2)
        return action


def _classes(action_class):
    """The classes the document form makes its objects of, by record name."""
    classes = {"Action": action_class, "Detail": Detail}
    classes.update(_CLASS_OF_RECORD)
    return classes


# The classes the reader makes, by class name (the layout's CLASS_NAMES, Action and Detail).
_native._register_classes(dict(((cls.__name__, cls) for cls in _CLASS_OF_RECORD.values()),
                               Action=Action, Detail=Detail))


def read_actions(source, plain=False):
    """An iterator of Action objects, one per action of the file, read in blocks. `source`
    is a path or a binary file object. Reads gzip files (several members one after another)
    and files that are not compressed; with plain=True the bytes are taken as uncompressed
    records whatever they start with (for a source that inflates by itself). A damaged file:
    every complete action is yielded, then DamagedFileError names the action's number, its
    uncompressed offset and what is wrong. The iterator's `offset` is the uncompressed offset
    behind the last action it gave (where a damaged action begins)."""
    if hasattr(source, "read"):
        return _native._read_actions(source, 1 if plain else 0)
    return _read_path(source, plain)


def _read_path(path, plain):
    with open(path, "rb") as stream:
        for action in _native._read_actions(stream, 1 if plain else 0):
            yield action


def write_actions(target, actions, threads=None):
    """Writes the Action objects of the iterable `actions` as a gzip action file to `target`,
    a path or a binary file object; returns their number. The file is compressed on `threads`
    threads (default: one per core, from 2 to 8) into a gzip file that any gzip reader reads
    (one member per 1 MiB block where the module is built with libdeflate, one in all with
    zlib); threads=1 writes the bytes the single-threaded writer always wrote. At a path the
    package's file-replacing rules hold (qn4tGenericActionLoader._files.replacing): nothing half-written
    is left, a regular file is written beside and renamed into place (a symbolic link's
    target is replaced, keeping its permissions), a special file is written in place, and no
    temporary file survives SIGTERM."""
    threads = _thread_count(threads)
    if hasattr(target, "write"):
        return _native._write_actions(target, actions, threads)
    with _files.writing(target) as stream:
        return _native._write_actions(stream, actions, threads)


try:
    _INTEGERS = (int, long)  # noqa: F821 (Python 2)
except NameError:
    _INTEGERS = (int,)


def _thread_count(threads):
    if threads is None:
        return _native._write_threads()
    if isinstance(threads, bool) or not isinstance(threads, _INTEGERS):
        raise TypeError("threads: expected an integer or None, found %s" % type(threads).__name__)
    if not 1 <= threads <= MOST_THREADS:
        raise ValueError("threads: %d is out of range (1 to %d)" % (threads, MOST_THREADS))
    return int(threads)


def inflating(stream):
    """The uncompressed bytes of the binary file object stream as read_actions takes them:
    gzip members one after another, or the bytes as they stand where they do not start like
    gzip. The reader has read(size), gzip() (whether the bytes start like gzip), delivered
    (uncompressed bytes given out), compressed_offset (compressed bytes taken in) and fault():
    None, or (kind, compressed offset, words) of what ended the gzip data early, kind being
    "corrupt", "cut" or "trailing" (words: the number of trailing bytes), and fault_words():
    a cut or corrupt fault as read_actions words it, or None."""
    return _native._inflate(stream)


def inflater():
    """The inflater whole files are read with, chosen when the module was built, with its
    version: "isa-l 2.30.0" where ISA-L was found, otherwise e.g. "zlib 1.2.13"."""
    return _native._inflater()

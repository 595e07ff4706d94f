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

import binascii

import _qn4tGenericActionSupport as _native
from qn4tGenericActionLoader import _files
from qn4tGenericActionLayout import DETAIL_BODIES, LAYOUT, SPELL_ACTION_TYPE

DamagedFileError = _native.DamagedFileError

_FIELDS = dict((name, tuple(field for field, _ in fields)) for name, _, fields in LAYOUT)
_HEADER = _FIELDS["qn4tGeneric_Action_Header"]
_TEXTS = tuple(field for name, _, fields in LAYOUT if name == "qn4tGeneric_Action_Header"
               for field, kind in fields if kind == "text")
_HEAD_INTEGERS = _HEADER[:_HEADER.index(_TEXTS[0])]
_TRAILER = _HEADER[_HEADER.index(_TEXTS[-1]) + 1:]
_HEX = "hex"

try:
    _TEXT_TYPES = (str, unicode)  # Python 2
except NameError:
    _TEXT_TYPES = (str,)


def _as_bytes(value):
    """A text attribute's bytes: on Python 3 the str the getters give is UTF-8 with
    surrogateescape; on Python 2 it is the bytes themselves."""
    if isinstance(value, bytes):
        return value
    return value.encode("utf-8", "surrogateescape")


def _text_json(data):
    """Bytes as the export writes a text: a str when they are UTF-8, else {"hex": ...}."""
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return {_HEX: binascii.hexlify(data).decode("ascii")}


def _json_bytes(value, field):
    if isinstance(value, dict) and list(value) == [_HEX]:
        return binascii.unhexlify(value[_HEX].encode("ascii"))
    if isinstance(value, _TEXT_TYPES):
        return value.encode("utf-8") if not isinstance(value, bytes) else value
    raise ValueError('%s: expected a string or {"hex": "..."}, found %r' % (field, value))


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


class Damage(_Values, _native.Damage):
    __slots__ = ()
    _record = "qn4tGeneric_Damage_Details"
    _names = _FIELDS[_record]


class Healing(_Values, _native.Healing):
    __slots__ = ()
    _record = "qn4tGeneric_Healing_Details"
    _names = _FIELDS[_record]


class Stat(_Values, _native.Stat):
    __slots__ = ()
    _record = "qn4tGeneric_StatMod_Stat_Details"
    _names = _FIELDS[_record]


class StatMod(_Values, _native.StatMod):
    __slots__ = ()
    _record = "qn4tGeneric_StatMod_Details"
    _names = _FIELDS[_record]

    def __repr__(self):
        return _fields_repr(self, tuple(n for n in self._names if n != "numStatMods") + ("stats",))

    @classmethod
    def from_dict(cls, values, stats=()):
        values = dict((str(k), v) for k, v in values.items() if k != "numStatMods")
        return cls(stats=[Stat.from_dict(s) for s in stats], **values)


# Detail type -> body class, from the layout's detail-type-to-body table: a body record
# without its class here fails at import.
_CLASS_OF_RECORD = dict((cls._record, cls) for cls in _Values.__subclasses__())
_BODY_CLASSES = dict((number, _CLASS_OF_RECORD[record]) for number, record in DETAIL_BODIES.items())


class Detail(_native.Detail):
    """One detail: `type`, `length` (kept as read; follows the body when not given) and
    `body`, a Damage, StatMod or Healing, or bytes for a type the file format does not name."""

    __slots__ = ()

    def __repr__(self):
        return _fields_repr(self, ("type", "length", "body"))

    def to_dict(self):
        """{"header": {"type", "length"}, "body": {...}} and "stats" for a stat modification;
        the body of an unknown type as {"hex": ...}."""
        body = self.body
        result = {"header": {"type": self.type, "length": self.length}}
        if isinstance(body, bytes):
            result["body"] = {_HEX: binascii.hexlify(body).decode("ascii")}
        else:
            result["body"] = body.to_dict()
        if isinstance(body, StatMod):
            result["body"]["numStatMods"] = len(body.stats)
            result["stats"] = [s.to_dict() for s in body.stats]
        return result

    @classmethod
    def from_dict(cls, values):
        header = values["header"]
        body_class = _BODY_CLASSES.get(header["type"])
        body = values["body"]
        if body_class is None:
            body = _json_bytes(body, "body")
        elif body_class is StatMod:
            body = StatMod.from_dict(body, values.get("stats", ()))
        else:
            body = body_class.from_dict(body)
        return cls(type=header["type"], length=header["length"], body=body)


class Action(_native.Action):
    """One action: every header field under the record's own names, the texts with all their
    bytes, and `details`, a list of Detail. The length and count fields (nameLen, ...,
    numDetails) are read-only and follow what they count."""

    __slots__ = ()

    def __repr__(self):
        names = [n for n in _HEAD_INTEGERS if n != "numDetails" and not n.endswith("Len")]
        names += list(_TEXTS)
        if self.actionType == SPELL_ACTION_TYPE:
            names += list(_TRAILER)
        return _fields_repr(self, names + ["details"])

    def to_dict(self):
        """The dict `actiontool export` writes for one action. A text with zero bytes inside
        it, which the export cannot carry, is given whole as {"hex": ...}."""
        result = dict((name, getattr(self, name)) for name in _HEAD_INTEGERS)
        for name in _TEXTS:
            data = _as_bytes(getattr(self, name))
            text = data.rstrip(b"\0")
            result[name] = _text_json(text) if b"\0" not in text else {
                _HEX: binascii.hexlify(data).decode("ascii")}
        if self.actionType == SPELL_ACTION_TYPE:
            code = _as_bytes(self.spellCode).ljust(4, b"\0")
            text = code.rstrip(b"\0")
            value = _text_json(text) if b"\0" not in text else None
            if not isinstance(value, _TEXT_TYPES):  # the export gives every byte in hex
                value = {_HEX: binascii.hexlify(code).decode("ascii")}
            result["spellCode"] = value
            for name in _TRAILER[1:]:
                result[name] = getattr(self, name)
        result["details"] = [d.to_dict() for d in self.details]
        return result

    @classmethod
    def from_dict(cls, values):
        """An Action from the export's dict; a text's length field, when larger than the
        text, pads it with zero bytes as in the file."""
        action = cls()
        for name in _HEAD_INTEGERS:
            if name in values and name != "numDetails" and not name.endswith("Len"):
                setattr(action, name, values[name])
        for name in _TEXTS:
            data = _json_bytes(values.get(name, ""), name)
            length = values.get(name + "Len", len(data))
            setattr(action, name, data.ljust(length, b"\0") if length > len(data) else data)
        if "spellCode" in values:
            action.spellCode = _json_bytes(values["spellCode"], "spellCode")
        for name in _TRAILER[1:]:
            if name in values:
                setattr(action, name, values[name])
        action.details = [Detail.from_dict(d) for d in values.get("details", ())]
        return action


_native._register_classes(Action, Detail, Damage, StatMod, Stat, Healing)


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


def write_actions(target, actions):
    """Writes the Action objects of the iterable `actions` as a gzip action file to `target`,
    a path or a binary file object; returns their number. At a path the package's
    file-replacing rules hold (qn4tGenericActionLoader._files.replacing): nothing half-written
    is left, a regular file is written beside and renamed into place (a symbolic link's
    target is replaced, keeping its permissions), a special file is written in place, and no
    temporary file survives SIGTERM."""
    if hasattr(target, "write"):
        return _native._write_actions(target, actions)
    with _files.writing(target) as stream:
        return _native._write_actions(stream, actions)

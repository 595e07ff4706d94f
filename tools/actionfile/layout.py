"""The structure of an action file as the tool walks it, derived from the module's own field
tables (each record class's FIELDS and WIRE_SIZE): nothing here lists a record's fields again."""
from __future__ import print_function, division

import operator
import struct

from .module import module_bytes

# The action type whose records carry the spell trailer.
SPELL_ACTION_TYPE = 2

# The fields the tool itself acts on: the counts that say which records follow a header.
NUM_DETAILS = "numDetails"
NUM_STAT_MODS = "numStatMods"
DETAIL_TYPE = "type"
DETAIL_LENGTH = "length"
ACTION_TYPE = "actionType"
ACTION_ID = "actionID"
SPELL_CODE = "spellCode"
SPELL_CODE_SIZE = 4

INTEGER_KINDS = ("u8", "u16", "u32", "s16", "s32")
KIND_WIDTHS = {"u8": 1, "u16": 2, "u32": 4, "s16": 2, "s32": 4, "chars": SPELL_CODE_SIZE}
KIND_RANGES = {
    "u8": (0, 0xFF),
    "u16": (0, 0xFFFF),
    "u32": (0, 0xFFFFFFFF),
    "s16": (-0x8000, 0x7FFF),
    "s32": (-0x80000000, 0x7FFFFFFF),
}
KIND_FORMATS = {"u8": "B", "u16": "H", "u32": "I", "s16": "h", "s32": "i"}
KIND_TITLES = {
    "u8": "unsigned 8-bit",
    "u16": "unsigned 16-bit",
    "u32": "unsigned 32-bit",
    "s16": "signed 16-bit",
    "s32": "signed 32-bit",
}


def text_length_field(text_field):
    """The head field that holds a text's length in the file: `name` -> `nameLen`."""
    return text_field + "Len"


class RecordShape(object):
    """A record class with its integer fields (or those of one part of it) in file order,
    ready for reading values out."""

    def __init__(self, cls, fields=None):
        self.cls = cls
        self.size = cls.WIRE_SIZE
        self.fields = tuple(cls.FIELDS if fields is None else fields)
        self.integer_fields = tuple((name, kind) for name, kind in self.fields
                                    if kind in INTEGER_KINDS)
        self.names = tuple(name for name, _ in self.integer_fields)
        self.ranges = tuple(KIND_RANGES[kind] for _, kind in self.integer_fields)
        fetch = operator.attrgetter(*self.names)
        # attrgetter of one name gives the value itself, of several a tuple
        self._fetch = fetch if len(self.names) > 1 else lambda record: (fetch(record),)
        # The module returns an unsigned 32-bit field as a signed value: mask it back.
        self._unsigned32 = tuple(i for i, (_, kind) in enumerate(self.integer_fields)
                                 if kind == "u32")
        self._struct = struct.Struct("<" + "".join(KIND_FORMATS[kind] for _, kind in
                                                   self.integer_fields))
        # The fields as JSON members, for `%` with numbers(): '"range": %d, "die": %d'.
        self.json_members_format = ", ".join('"%s": %%d' % name for name in self.names)

    def fetch(self, obj):
        """The integer fields of a whole-actions object (Action, Detail, a body, Stat) as a
        tuple in order: those objects give unsigned fields unsigned."""
        return self._fetch(obj)

    def numbers(self, record):
        """The record's integer fields in order, unsigned fields unsigned."""
        numbers = list(self._fetch(record))
        for i in self._unsigned32:
            numbers[i] &= 0xFFFFFFFF
        return numbers

    def unpack(self, data):
        """The integer fields from their bytes in the file (a record of integers only)."""
        return self._struct.unpack(data)

    def values(self, record):
        """The record's integer fields as (name, value) pairs."""
        return list(zip(self.names, self.numbers(record)))

    def assign(self, record, numbers):
        """Stores numbers (in the order of numbers()) into the record's fields."""
        for name, number in zip(self.names, numbers):
            setattr(record, name, number)

    def json_members(self, record):
        """The record's integer fields as JSON object members (without the braces)."""
        return self.json_members_format % tuple(self.numbers(record))


class DetailKind(object):
    """One kind of detail body: its type number, its title and its record shape."""

    def __init__(self, type_number, title, cls, has_stats):
        self.type_number = type_number
        self.title = title
        self.shape = RecordShape(cls)
        self.has_stats = has_stats


class Layout(object):
    """Everything the tool derives from the module about the records of an action file."""

    def __init__(self, q):
        self.q = q  # the package: its record classes, read_actions and the Action classes
        header_cls = q.qn4tGeneric_Action_Header
        fields = tuple(header_cls.FIELDS)
        text_positions = [i for i, (_, kind) in enumerate(fields) if kind == "text"]
        first_text, last_text = text_positions[0], text_positions[-1]

        self.header_cls = header_cls
        self.head_size = header_cls.WIRE_SIZE
        self.trailer_size = header_cls.TRAILER_SIZE
        self.head_fields = fields[:first_text]
        self.trailer_fields = fields[last_text + 1:]
        self.head = RecordShape(header_cls, self.head_fields)
        self.trailer = RecordShape(header_cls, self.trailer_fields)
        self.texts = tuple((name, text_length_field(name)) for name, kind in fields
                           if kind == "text")

        self.detail_header = RecordShape(q.qn4tGeneric_Action_Detail_Header)
        self.stat = RecordShape(q.qn4tGeneric_StatMod_Stat_Details)
        self.kinds = {}
        for number, title, cls, has_stats in (
                (q.QN4T_GENERIC_ACTION_DAMAGE, "damage", q.qn4tGeneric_Damage_Details, False),
                (q.QN4T_GENERIC_ACTION_STATMOD, "stat modification",
                 q.qn4tGeneric_StatMod_Details, True),
                (q.QN4T_GENERIC_ACTION_HEALING, "healing", q.qn4tGeneric_Healing_Details,
                 False)):
            self.kinds[number] = DetailKind(number, title, cls, has_stats)

        self.statmod_type = q.QN4T_GENERIC_ACTION_STATMOD
        self._text_getter = operator.attrgetter(*(name for name, _ in self.texts))

    def raw_texts(self, action):
        """The texts of an Action as its getters give them (str; on Python 3 decoded with
        surrogateescape), every byte kept."""
        return self._text_getter(action)

    def text_values(self, action):
        """The texts of an Action as bytes, every byte (padding included), in file order."""
        return [module_bytes(text) for text in self._text_getter(action)]

    def detail_offset(self, action, start, index):
        """The offset of an Action's detail `index` (its header), the action starting at
        `start`."""
        offset = start + self.head_size + sum(len(t) for t in self.text_values(action))
        if action.actionType == SPELL_ACTION_TYPE:
            offset += self.trailer_size
        for detail in action.details[:index]:
            kind = self.kinds.get(detail.type)
            offset += self.detail_header.size
            if kind is None:
                offset += detail.length
            else:
                offset += kind.shape.size
                if kind.has_stats:
                    offset += self.stat.size * detail.body.numStatMods
        return offset

    def kinds_in_order(self):
        return [self.kinds[number] for number in sorted(self.kinds)]

    def kind_list(self):
        """The detail kinds as a short text: "1 damage, 2 stat modification, 3 healing"."""
        return ", ".join("%d %s" % (k.type_number, k.title) for k in self.kinds_in_order())

    def variable_size(self, text_sizes, action_type):
        """Bytes behind the head: the texts and, for a spell, the trailer."""
        trailer = self.trailer_size if action_type == SPELL_ACTION_TYPE else 0
        return sum(text_sizes) + trailer

    def head_offset(self, field_name):
        """Offset of a head field from the start of the record."""
        return _offset_in(self.head_fields, field_name)

    def trailer_offset(self, field_name):
        """Offset of a trailer field from the start of the trailer."""
        return _offset_in(self.trailer_fields, field_name)


def _offset_in(fields, field_name):
    offset = 0
    for name, kind in fields:
        if name == field_name:
            return offset
        offset += KIND_WIDTHS[kind]
    raise KeyError(field_name)

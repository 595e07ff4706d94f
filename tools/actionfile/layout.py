"""The structure of an action file as the tool walks it, read from the layout file that the build
generates from the module's own field tables (qn4tGenericActionLayout): the records' fields, kinds
and widths, and the facts that say which record follows which. Nothing here restates them."""
from __future__ import print_function, division

import operator
import struct

from . import module
from .module import module_bytes

# struct's code for an integer of each width, in upper case: unsigned.
_STRUCT_CODES = {1: "B", 2: "H", 4: "I"}


class IntegerKind(object):
    """An integer field kind ("u8", "s16", ...): its bytes in the file, its sign, the values it
    holds, its struct code and its name in words ("unsigned 8-bit"), as the layout file says."""

    def __init__(self, name, width, signed, values):
        """values: (lowest, highest, words) from the layout file's INTEGER_RANGES."""
        self.name = name
        self.width = width
        self.signed = signed
        self.low, self.high, self.title = values
        code = _STRUCT_CODES[width]
        self.struct_code = code.lower() if signed else code


class RecordShape(object):
    """A record class with its integer fields (or those of one part of it) in file order,
    ready for reading values out."""

    def __init__(self, cls, integer_kinds, fields=None):
        """integer_kinds: kind name -> IntegerKind. The fields are (name, kind name) pairs."""
        self.size = cls.WIRE_SIZE
        self.fields = tuple(cls.FIELDS if fields is None else fields)
        # (name, IntegerKind) of each integer field, in file order
        self.integer_fields = tuple((name, integer_kinds[kind]) for name, kind in self.fields
                                    if kind in integer_kinds)
        self.kinds = dict(self.integer_fields)
        self.names = tuple(name for name, _ in self.integer_fields)
        fetch = operator.attrgetter(*self.names)
        # attrgetter of one name gives the value itself, of several a tuple
        self._fetch = fetch if len(self.names) > 1 else lambda record: (fetch(record),)
        # The module returns an unsigned 32-bit field as a signed value: mask it back.
        self._unsigned32 = tuple(i for i, (_, kind) in enumerate(self.integer_fields)
                                 if kind.width == 4 and not kind.signed)
        self._struct = struct.Struct("<" + "".join(kind.struct_code for _, kind in
                                                   self.integer_fields))

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

class DetailKind(object):
    """One kind of detail body: its type number, its title, its record shape, its size in the
    file (`record_bytes`, and `entry_bytes` per entry that follows) and, for a body followed
    by entries, the body's field that counts them."""

    def __init__(self, type_number, title, shape, sizes, entry_count=None):
        self.type_number = type_number
        self.title = title
        self.shape = shape
        self.record_bytes, self.entry_bytes = sizes
        self.entry_count = entry_count
        self.has_stats = entry_count is not None


class Layout(object):
    """Everything the tool knows about the records of an action file: the package's record
    classes, and the layout file's facts about them."""

    def __init__(self, q):
        facts = module.load_layout()
        self.q = q  # the package: its record classes, read_actions and the Action classes
        kinds = dict((name, IntegerKind(name, width, signed, facts.INTEGER_RANGES[name]))
                     for name, (width, signed) in facts.INTEGER_KINDS.items())

        def shape(type_name, fields=None):
            return RecordShape(getattr(q, type_name), kinds, fields)

        field_kinds = dict(getattr(q, facts.HEADER).FIELDS)
        self.head_size = facts.HEAD_SIZE
        self.trailer_size = facts.TRAILER_SIZE
        self.head = shape(facts.HEADER, [(name, field_kinds[name]) for name in facts.HEAD_FIELDS])
        self.trailer = shape(facts.HEADER, [(name, field_kinds[name])
                                             for name in facts.TRAILER_FIELDS])
        self.texts = tuple(facts.TEXTS)  # (text field, the head field holding its length)

        self.spell_action_type = facts.SPELL_ACTION_TYPE
        self.action_id = facts.ACTION_ID_FIELD
        self.action_type = facts.ACTION_TYPE_FIELD
        self.detail_count = facts.DETAIL_COUNT_FIELD
        self.action_type_of = operator.attrgetter(self.action_type)

        self.detail_header = shape(facts.DETAIL_HEADER)
        (entry_type,) = set(entry for _, entry in facts.BODY_ENTRIES.values())  # the stat entry
        self.stat = shape(entry_type)
        self.kinds = {}
        for number, type_name in facts.DETAIL_BODIES.items():
            entry_count = facts.BODY_ENTRIES.get(type_name, (None, None))[0]
            self.kinds[number] = DetailKind(number, facts.TITLES[type_name], shape(type_name),
                                            facts.BODY_SIZES[number], entry_count)

        self._text_getter = operator.attrgetter(*(name for name, _ in self.texts))

    def is_spell(self, action_type):
        return action_type == self.spell_action_type

    def text_values(self, action):
        """The texts of an Action as bytes, every byte (padding included), in file order."""
        return [module_bytes(text) for text in self._text_getter(action)]

    def kinds_in_order(self):
        return [self.kinds[number] for number in sorted(self.kinds)]

    def variable_size(self, text_sizes, action_type):
        """Bytes behind the head: the texts and, for a spell, the trailer."""
        trailer = self.trailer_size if self.is_spell(action_type) else 0
        return sum(text_sizes) + trailer

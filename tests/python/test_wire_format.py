"""Records in the file: byte-exact writes against independently packed bytes, reads of crafted
files, short files, and a seeded random round trip through the module."""
from __future__ import print_function

import random
import re
import struct
import unittest

import qn4tGenericActionLayout as layout

import support
from support import flat, HEADER, DAMAGE, HEALING, STATMOD, STAT, DETAIL_HEADER

# Single fields at their documented places: (record, field, value, offset, bytes).
GOLDEN_FIELDS = [
    (DAMAGE, "die", -1, 2, b"\xff\xff"),
    (DAMAGE, "toHitBonus", -2, 8, b"\xfe\xff\xff\xff"),
    (DAMAGE, "specArg", 0x01020304, 20, b"\x04\x03\x02\x01"),
    (HEALING, "saveType", 0x0102, 8, b"\x02\x01"),
    (HEALING, "flagSpecial", 0x0A0B0C0D, 10, b"\x0d\x0c\x0b\x0a"),
    (HEALING, "flagCondition", -1, 14, b"\xff\xff\xff\xff"),
    (STATMOD, "specialFlags", -1, 8, b"\xff\xff\xff\xff"),
    (STATMOD, "numStatMods", 3, 12, b"\x03\x00\x00\x00"),
    (STAT, "modAmt", -5, 2, b"\xfb\xff"),
    (DETAIL_HEADER, "length", 0xABCD, 2, b"\xcd\xab"),
    (HEADER, "validClasses", 0x01020304, 12, b"\x04\x03\x02\x01"),
    (HEADER, "actionType", 3, 11, b"\x03"),
    (HEADER, "can_doStates", 0x11223344, 16, b"\x44\x33\x22\x11"),
    (HEADER, "numDetails", 4, 20, b"\x04"),
]


def kind_format(type_name, names=None):
    """The struct format that the module's own field table implies for the given fields."""
    return "<" + "".join(support.KIND_CODES[k] for f, k in support.fields(type_name)
                         if k in support.INTEGER_KINDS and (names is None or f in names))


def sample(kind, index):
    """A distinctive value for a field, with its top bit set, as the getter returns it."""
    low, high = support.kind_range(kind)
    return high - 3 * index if low == 0 else low + 5 + 7 * index


def random_value(rng, kind):
    low, high = support.kind_range(kind)
    return rng.randint(low, high)


def random_text(rng, longest):
    return bytes(bytearray(rng.randint(0, 255) for _ in range(rng.randint(0, longest))))


def head_fields():
    return [(f, k) for f, k in support.integer_fields(HEADER)
            if f not in ("spellPath", "spellCost")]


class RecordLayouts(unittest.TestCase):
    def test_field_tables_match_the_independent_layouts(self):
        for type_name in support.DETAIL_TYPES:
            cls = getattr(support.q, type_name)
            self.assertEqual(kind_format(type_name), support.WIRE_FORMATS[type_name], type_name)
            self.assertEqual(cls.WIRE_SIZE, struct.calcsize(support.WIRE_FORMATS[type_name]))
        header = support.q.qn4tGeneric_Action_Header
        self.assertEqual(header.WIRE_SIZE, struct.calcsize(support.HEAD_FORMAT))
        self.assertEqual(header.TRAILER_SIZE, struct.calcsize(support.TRAILER_FORMAT))
        self.assertEqual("<" + "".join(support.KIND_CODES[k] for _, k in head_fields()),
                         support.HEAD_FORMAT)


class LayoutFileFacts(unittest.TestCase):
    """The format facts of the generated layout file, which actiontool walks files by, against
    the independent layouts and the module's own constants."""

    def test_widths_and_kinds_match_the_independent_layouts(self):
        for kind, (width, signed) in layout.INTEGER_KINDS.items():
            code = support.KIND_CODES[kind]
            self.assertEqual((width, signed), (struct.calcsize("<" + code), code.islower()), kind)
        formats = dict(support.WIRE_FORMATS)
        formats[HEADER] = support.HEAD_FORMAT + support.TRAILER_FORMAT[1:]
        for type_name, wire_format in formats.items():
            widths = layout.WIDTHS[type_name]
            names = [f for f, k in support.fields(type_name) if k != "text"]
            self.assertEqual(sorted(widths), sorted(names), type_name)
            codes = re.findall(r"\d*[a-zA-Z]", wire_format.lstrip("<"))  # "4s" is one field
            self.assertEqual([widths[f] for f in names],
                             [struct.calcsize("<" + c) for c in codes], type_name)

    def test_action_file_facts(self):
        header_fields = [f for f, _ in support.fields(HEADER)]
        texts = [f for f, k in support.fields(HEADER) if k == "text"]
        cases = [
            ("HEADER", HEADER),
            ("HEAD_SIZE", struct.calcsize(support.HEAD_FORMAT)),
            ("TRAILER_SIZE", struct.calcsize(support.TRAILER_FORMAT)),
            ("SPELL_ACTION_TYPE", support.SPELL_ACTION_TYPE),
            ("HEAD_FIELDS", tuple(header_fields[:header_fields.index(texts[0])])),
            ("TEXTS", tuple((t, t + "Len") for t in texts)),
            ("TRAILER_FIELDS", tuple(header_fields[header_fields.index(texts[-1]) + 1:])),
            ("ACTION_ID_FIELD", "actionID"),
            ("ACTION_TYPE_FIELD", "actionType"),
            ("DETAIL_COUNT_FIELD", "numDetails"),
            ("DETAIL_HEADER", DETAIL_HEADER),
            ("DETAIL_TYPE_FIELD", "type"),
            ("DETAIL_LENGTH_FIELD", "length"),
            ("DETAIL_BODIES", {flat.QN4T_GENERIC_ACTION_DAMAGE: DAMAGE,
                               flat.QN4T_GENERIC_ACTION_STATMOD: STATMOD,
                               flat.QN4T_GENERIC_ACTION_HEALING: HEALING}),
            ("BODY_ENTRIES", {STATMOD: ("numStatMods", STAT)}),
        ]
        for name, expected in cases:
            self.assertEqual(getattr(layout, name), expected, name)
        self.assertEqual(sorted(layout.TITLES), sorted(support.RECORD_TYPES))


class ByteExactWrites(support.TempDirTestCase):
    def filled(self, type_name, fields, overrides=None):
        """A new record with every given field set to its sample; returns (record, values)."""
        ref = self.new(type_name)
        values = []
        for index, (field, kind) in enumerate(fields):
            value = (overrides or {}).get(field, sample(kind, index))
            support.setter(type_name, field)(ref, value)
            values.append(support.as_unsigned(value, kind))
        return ref, values

    def test_new_records_write_zero_bytes_of_their_size(self):
        for type_name in support.RECORD_TYPES:
            size = getattr(support.q, type_name).WIRE_SIZE
            self.assertEqual(self.written_bytes((type_name, self.new(type_name))),
                             b"\0" * size, type_name)

    def test_new_spell_header_writes_head_and_zero_trailer(self):
        ref = self.new(HEADER)
        support.setter(HEADER, "actionType")(ref, support.SPELL_ACTION_TYPE)
        self.assertEqual(self.written_bytes((HEADER, ref)),
                         b"\0" * 11 + b"\x02" + b"\0" * 12 + b"\0" * 8)

    def test_detail_records_with_every_field_set(self):
        for type_name in support.DETAIL_TYPES:
            ref, values = self.filled(type_name, support.fields(type_name))
            expected = struct.pack(support.WIRE_FORMATS[type_name], *values)
            self.assertEqual(self.written_bytes((type_name, ref)), expected, type_name)

    def test_spell_header_with_every_field_set(self):
        texts = [b"Fireball", b"Burns.", b"b", b"", b"\xe9\xff"]
        overrides = {"actionType": support.SPELL_ACTION_TYPE}
        for text, value in zip(support.text_fields(), texts):
            overrides[text + "Len"] = len(value)
        ref, head = self.filled(HEADER, head_fields(), overrides)
        for text, value in zip(support.text_fields(), texts):
            support.setter(HEADER, text)(ref, value)
        support.setter(HEADER, "spellCode")(ref, b"FIRE")
        support.setter(HEADER, "spellPath")(ref, 0xBEEF)
        support.setter(HEADER, "spellCost")(ref, -1)
        expected = (struct.pack(support.HEAD_FORMAT, *head) + b"".join(texts)
                    + struct.pack(support.TRAILER_FORMAT, b"FIRE", 0xBEEF, 0xFFFF))
        self.assertEqual(self.written_bytes((HEADER, ref)), expected)

    def test_golden_field_places(self):
        for type_name, field, value, offset, data in GOLDEN_FIELDS:
            ref = self.new(type_name)
            support.setter(type_name, field)(ref, value)
            written = self.written_bytes((type_name, ref))
            self.assertEqual(written[offset:offset + len(data)], data, (type_name, field))
            rest = written[:offset] + written[offset + len(data):]
            self.assertEqual(rest, b"\0" * len(rest), (type_name, field))

    def test_records_follow_each_other_without_gaps(self):
        header = self.new(HEADER)
        support.setter(HEADER, "actionType")(header, 3)
        entry = self.new(STAT)
        support.setter(STAT, "stat")(entry, 0x0102)
        self.assertEqual(self.written_bytes((HEADER, header), (STAT, entry), (HEADER, header)),
                         b"\0" * 11 + b"\x03" + b"\0" * 12 + b"\x02\x01\0\0"
                         + b"\0" * 11 + b"\x03" + b"\0" * 12)


class CraftedReads(support.TempDirTestCase):
    def read_into(self, type_name, ref, stream):
        return support.flat_function(type_name, "read")(ref, stream)

    def values_of(self, type_name, ref):
        return [support.getter(type_name, f)(ref) for f, _ in support.fields(type_name)]

    def test_detail_records_read_field_by_field(self):
        for type_name in support.DETAIL_TYPES:
            kinds = [k for _, k in support.fields(type_name)]
            values = [sample(kind, index) for index, kind in enumerate(kinds)]
            data = struct.pack(support.WIRE_FORMATS[type_name],
                               *[support.as_unsigned(v, k) for v, k in zip(values, kinds)])
            ref = self.new(type_name)
            stream = self.read_stream_of(data)
            self.assertEqual(self.read_into(type_name, ref, stream), 0, type_name)
            self.assertEqual(self.values_of(type_name, ref), values, type_name)

    def test_short_detail_record_fails_and_leaves_the_record(self):
        for type_name in support.DETAIL_TYPES:
            size = struct.calcsize(support.WIRE_FORMATS[type_name])
            ref = self.new(type_name)
            for field, _ in support.fields(type_name):
                support.setter(type_name, field)(ref, 1)
            before = self.values_of(type_name, ref)
            stream = self.read_stream_of(b"\xff" * (size - 1))
            self.assertEqual(self.read_into(type_name, ref, stream), -1, type_name)
            self.assertEqual(self.values_of(type_name, ref), before, type_name)
            self.assertEqual(self.read_into(type_name, ref, stream), -1, type_name)

    def header_bytes(self, action_type, texts, trailer=b""):
        """An action header whose other head fields all hold 0x21."""
        texts = list(texts) + [b""] * (len(support.text_fields()) - len(texts))
        lengths = dict((t + "Len", len(v)) for t, v in zip(support.text_fields(), texts))
        lengths["actionType"] = action_type
        head = [lengths.get(f, 0x21) for f, _ in head_fields()]
        return struct.pack(support.HEAD_FORMAT, *head) + b"".join(texts) + trailer

    def test_header_texts_and_trailer_read_and_write_back(self):
        texts = [b"Fire\0ball", b"", b"\xe9", b"foo", b"\0"]
        data = self.header_bytes(2, texts, b"\x41\x42\x00\x43\x05\x00\x06\x00")
        ref = self.new(HEADER)
        self.assertEqual(self.read_into(HEADER, ref, self.read_stream_of(data)), 0)
        got = dict((f, support.getter(HEADER, f)(ref)) for f, _ in support.fields(HEADER))
        self.assertEqual([got[t] for t in support.text_fields()],
                         [support.record_text(t) for t in (b"Fire", b"", b"\xe9", b"foo", b"")])
        self.assertEqual(got["nameLen"], 9)
        self.assertEqual((got["spellCode"], got["spellPath"], got["spellCost"]),
                         (support.record_text(b"AB"), 5, 6))
        self.assertEqual(got["actionID"], 0x21)
        self.assertEqual(self.written_bytes((HEADER, ref)), data)

    def test_header_without_trailer_keeps_the_spell_fields(self):
        spell = self.header_bytes(2, [b"a"], b"WXYZ\x01\x00\x02\x00")
        plain = self.header_bytes(1, [b"bc"])
        stream = self.read_stream_of(spell + plain)
        ref = self.new(HEADER)
        self.assertEqual(self.read_into(HEADER, ref, stream), 0)
        self.assertEqual(self.read_into(HEADER, ref, stream), 0)
        self.assertEqual(support.getter(HEADER, "name")(ref), support.record_text(b"bc"))
        self.assertEqual(support.getter(HEADER, "spellCode")(ref), support.record_text(b"WXYZ"))
        self.assertEqual(support.getter(HEADER, "spellPath")(ref), 1)
        self.assertEqual(support.getter(HEADER, "spellCost")(ref), 2)
        self.assertEqual(self.read_into(HEADER, ref, stream), -1)

    def test_header_cut_inside_the_head_leaves_the_record(self):
        ref = self.new(HEADER)
        support.setter(HEADER, "actionID")(ref, 5)
        support.setter(HEADER, "name")(ref, b"kept")
        data = self.header_bytes(0, [b"new"])[:23]
        self.assertEqual(self.read_into(HEADER, ref, self.read_stream_of(data)), -1)
        self.assertEqual(support.getter(HEADER, "actionID")(ref), 5)
        self.assertEqual(support.getter(HEADER, "name")(ref), support.record_text(b"kept"))
        self.assertEqual(support.getter(HEADER, "nameLen")(ref), 0)

    def test_header_cut_inside_the_texts_updates_the_head(self):
        ref = self.new(HEADER)
        support.setter(HEADER, "spellCode")(ref, b"OLD")
        data = self.header_bytes(2, [b"ABCDEFGHIJ", b"xyz"], b"NEW!\0\0\0\0")[:24 + 5]
        self.assertEqual(self.read_into(HEADER, ref, self.read_stream_of(data)), -1)
        self.assertEqual(support.getter(HEADER, "nameLen")(ref), 10)
        self.assertEqual(support.getter(HEADER, "actionID")(ref), 0x21)
        self.assertEqual(support.getter(HEADER, "spellCode")(ref), support.record_text(b"OLD"))
        for text in support.text_fields():
            value = support.getter(HEADER, text)(ref)
            self.assertTrue(support.record_text(b"ABCDE").startswith(value), (text, value))


class RandomRoundTrip(support.TempDirTestCase):
    SEED = 20261210
    COUNT = 300

    def random_header(self, rng):
        texts = [random_text(rng, 300 if k == 0 else 40) for k in range(5)]
        action_type = rng.choice([0, 1, 2, 2, 3, rng.randint(4, 255)])
        head = []
        lengths = dict((t + "Len", len(v)) for t, v in zip(support.text_fields(), texts))
        for field, kind in head_fields():
            if field == "actionType":
                head.append(action_type)
            else:
                value = random_value(rng, kind)
                head.append(lengths.get(field, support.as_unsigned(value, kind)))
        trailer = b""
        if action_type == support.SPELL_ACTION_TYPE:
            code = bytes(bytearray(rng.randint(0, 255) for _ in range(4)))
            trailer = struct.pack(support.TRAILER_FORMAT, code, rng.randint(0, 65535),
                                  rng.randint(0, 65535))
        return struct.pack(support.HEAD_FORMAT, *head) + b"".join(texts) + trailer, texts

    def random_detail(self, rng, type_name):
        kinds = [k for _, k in support.fields(type_name)]
        values = [random_value(rng, kind) for kind in kinds]
        packed = [support.as_unsigned(v, k) for v, k in zip(values, kinds)]
        return struct.pack(support.WIRE_FORMATS[type_name], *packed), values

    def random_records(self):
        rng = random.Random(self.SEED)
        records = []
        for _ in range(self.COUNT):
            type_name = rng.choice(support.RECORD_TYPES)
            if type_name == HEADER:
                data, texts = self.random_header(rng)
                expected = [support.record_text(t.split(b"\0")[0]) for t in texts]
            else:
                data, expected = self.random_detail(rng, type_name)
            records.append((type_name, data, expected))
        return records

    def observed(self, type_name, ref):
        if type_name == HEADER:
            return [support.getter(HEADER, t)(ref) for t in support.text_fields()]
        return [support.getter(type_name, f)(ref) for f, _ in support.fields(type_name)]

    def test_random_records_read_and_write_back_identically(self):
        records = self.random_records()
        data = b"".join(r[1] for r in records)
        source = self.read_stream_of(data)
        out_path = self.path()
        target = flat.qn4tGenericOpen(out_path, 1)
        reused = dict((t, self.new(t)) for t in support.RECORD_TYPES)
        for index, (type_name, _, expected) in enumerate(records):
            ref = reused[type_name]
            self.assertEqual(support.flat_function(type_name, "read")(ref, source), 0, index)
            self.assertEqual(self.observed(type_name, ref), expected, (index, type_name))
            support.flat_function(type_name, "write")(ref, target)
        self.assertEqual(support.flat_function(STAT, "read")(reused[STAT], source), -1)
        flat.qn4tGenericClose(target)
        self.assertEqual(support.gunzip(out_path), data)


if __name__ == "__main__":
    unittest.main()

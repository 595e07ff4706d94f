"""The Python-side classes' fields: every integer kind range-checked alike, unsigned 32-bit
fields read unsigned, texts that keep their length fields in step, and a header read that
leaves no spell trailer of an earlier record behind. The flat functions keep their own
conversions (test_accessors)."""
from __future__ import print_function

import struct
import unittest

import support
from support import flat, q, HEADER, DAMAGE, STAT

# The values a field of each kind holds, as the classes take and give them.
RANGES = {
    "u8": (0, 0xFF),
    "u16": (0, 0xFFFF),
    "u32": (0, 0xFFFFFFFF),
    "s16": (-0x8000, 0x7FFF),
    "s32": (-0x80000000, 0x7FFFFFFF),
}
KIND_WORDS = {"u8": "unsigned 8-bit", "u16": "unsigned 16-bit", "u32": "unsigned 32-bit",
              "s16": "signed 16-bit", "s32": "signed 32-bit"}
KEPT = 7  # a value every kind holds


class Index(object):
    """An integer-like object that is not an int: it has __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def all_integer_fields():
    for type_name in support.RECORD_TYPES:
        for field, kind in support.integer_fields(type_name):
            yield type_name, field, kind


def text_length_limits():
    """(text field, its length field, the most bytes that length can count)."""
    limits = dict((f, RANGES[k][1]) for f, k in support.fields(HEADER) if k in RANGES)
    return [(text, text + "Len", limits[text + "Len"]) for text in support.text_fields()]


class IntegerFields(support.TempDirTestCase):
    def test_every_value_of_the_range_is_kept(self):
        for type_name, field, kind in all_integer_fields():
            record = getattr(q, type_name)()
            low, high = RANGES[kind]
            for value in (low, high, KEPT, Index(high)):
                setattr(record, field, value)
                expected = value.value if isinstance(value, Index) else value
                self.assertEqual(getattr(record, field), expected, (type_name, field, value))

    def test_unsigned_32_bit_fields_read_unsigned(self):
        header = q.qn4tGeneric_Action_Header()
        header.validClasses = 4294967295
        self.assertEqual(header.validClasses, 4294967295)
        self.assertEqual(flat.qn4tGeneric_Action_Header_validClasses_get(header), -1)
        # A value written through the flat function reads back unsigned through the class.
        flat.qn4tGeneric_Action_Header_actionID_set(header, -2)
        self.assertEqual(header.actionID, 0xFFFFFFFE)

    def test_out_of_range_raises_overflow_error_naming_the_field_and_the_range(self):
        for type_name, field, kind in all_integer_fields():
            record = getattr(q, type_name)()
            setattr(record, field, KEPT)
            low, high = RANGES[kind]
            for value in (low - 1, high + 1, 2 ** 64, -2 ** 64, Index(high + 1)):
                label = (type_name, field, value)
                error = self.assertRaisesMessage(OverflowError, label, setattr, record, field, value)
                for part in ("%s.%s" % (type_name, field), KIND_WORDS[kind],
                             "%d to %d" % (low, high)):
                    self.assertIn(part, error, label)
                self.assertEqual(getattr(record, field), KEPT, label)

    def test_what_is_not_an_integer_raises_type_error_naming_the_field(self):
        for type_name, field, kind in all_integer_fields():
            record = getattr(q, type_name)()
            setattr(record, field, KEPT)
            for value in (3.0, "3", None, b"x"):
                error = self.assertRaisesMessage(TypeError, (type_name, field, value),
                                                 setattr, record, field, value)
                self.assertIn("%s.%s takes an integer" % (type_name, field), error)
                self.assertEqual(getattr(record, field), KEPT)

    def test_the_flat_functions_keep_their_conversions(self):
        header = q.qn4tGeneric_Action_Header()
        flat.qn4tGeneric_Action_Header_actionType_set(header, 300)
        self.assertEqual(header.actionType, 44)
        self.assertRaises(OverflowError, setattr, header, "actionType", 300)
        self.assertEqual(header.actionType, 44)

    def assertRaisesMessage(self, error, label, call, *args):
        return str(self.raised(error, label, call, *args))


class TextFields(support.TempDirTestCase):
    def test_setting_a_text_sets_its_length_to_its_size_in_bytes(self):
        header = q.qn4tGeneric_Action_Header()
        header.nameLen = 99
        header.name = "Emberfall"
        self.assertEqual(header.nameLen, 9)
        header.desc = u"\u00c9clat" if support.PYTHON3 else u"\u00c9clat".encode("utf-8")
        self.assertEqual(header.descLen, 6)  # its UTF-8 bytes, not its characters
        header.blah = b"\xe9t\xe9"
        self.assertEqual(header.blahLen, 3)
        header.foo = ""
        self.assertEqual(header.fooLen, 0)

    def test_length_set_after_the_text_pads_it_with_zero_bytes(self):
        path = self.path()
        with q.Stream(path, "w") as out:
            header = q.qn4tGeneric_Action_Header()
            header.name = "ab"
            header.nameLen = 5
            header.write(out)
        data = support.gunzip(path)
        self.assertEqual(struct.unpack_from("<H", data, 4)[0], 5)
        self.assertEqual(data[24:], b"ab\0\0\0")

    def test_text_too_long_for_its_length_field_is_refused_and_nothing_changes(self):
        for text, length, limit in text_length_limits():
            header = q.qn4tGeneric_Action_Header()
            setattr(header, text, "old")
            try:
                setattr(header, text, "x" * (limit + 1))
            except ValueError as error:
                for part in ("%s.%s" % (HEADER, text), length, "%d" % limit, "%d" % (limit + 1)):
                    self.assertIn(part, str(error), text)
            else:
                self.fail("%s: a text of %d bytes was taken" % (text, limit + 1))
            self.assertEqual((getattr(header, text), getattr(header, length)), ("old", 3), text)
            setattr(header, text, "x" * limit)
            self.assertEqual(getattr(header, length), limit, text)

    def test_spell_code_longer_than_four_bytes_is_refused(self):
        header = q.qn4tGeneric_Action_Header()
        header.spellCode = "EMBR"
        self.assertRaises(ValueError, setattr, header, "spellCode", "EMBRE")
        self.assertEqual(header.spellCode, "EMBR")
        header.spellCode = "AB"
        self.assertEqual(header.spellCode, "AB")

    def test_readme_example_writes_what_it_says(self):
        path = self.path()
        name = u"\u00c9clat" if support.PYTHON3 else "Emberfall"
        with q.Stream(path, "w") as out:
            spell = q.qn4tGeneric_Action_Header()
            spell.actionID = 7
            spell.name = name
            spell.actionType = 2
            spell.spellCode = "EMBR"
            spell.write(out)
        with q.Stream(path) as src:
            action = q.qn4tGeneric_Action_Header()
            self.assertEqual(action.read(src), 0)
            self.assertEqual((action.actionID, action.name, action.spellCode), (7, name, "EMBR"))
            self.assertEqual(action.read(src), -1)


class HeaderReads(support.TempDirTestCase):
    def test_a_read_leaves_no_trailer_of_a_previous_spell(self):
        path = self.path()
        with q.Stream(path, "w") as out:
            spell = q.qn4tGeneric_Action_Header()
            spell.actionType, spell.spellCode = 2, "EMBR"
            spell.spellPath, spell.spellCost = 3, 40
            spell.write(out)
            plain = q.qn4tGeneric_Action_Header()
            plain.actionType = 1
            plain.write(out)
        with q.Stream(path) as src:
            header = q.qn4tGeneric_Action_Header()
            self.assertEqual(header.read(src), 0)
            self.assertEqual((header.spellCode, header.spellPath, header.spellCost),
                             ("EMBR", 3, 40))
            self.assertEqual(header.read(src), 0)
            self.assertEqual((header.actionType, header.spellCode, header.spellPath,
                              header.spellCost), (1, "", 0, 0))
        # The flat read keeps them, as it always has.
        stream = self.open_stream(path, 0)
        flat_header = self.new(HEADER)
        for _ in range(2):
            flat.qn4tGeneric_Action_Header_read(flat_header, stream)
        self.assertEqual(flat.qn4tGeneric_Action_Header_spellPath_get(flat_header), 3)


class PythonCodeInTheMiddleOfACall(support.TempDirTestCase):
    """A conversion that runs Python code may delete the record; the call then raises the
    conversion's TypeError instead of touching freed memory."""

    def test_index_that_deletes_the_record(self):
        for type_name, field, kind in all_integer_fields():
            record = getattr(q, type_name)()
            this = record.this

            class Deleting(object):
                def __index__(self):
                    support.delete_record(type_name, this)
                    return 1

            self.assertRaises(TypeError, setattr, record, field, Deleting())

    def test_stream_whose_this_deletes_the_record(self):
        path = self.path()
        support.write_gzip(path, b"\0" * 4)
        stream = q.Stream(path)
        self.addCleanup(stream.close)
        for op in ("read", "write"):
            entry = q.qn4tGeneric_StatMod_Stat_Details()

            class Deleting(object):
                @property
                def this(self, entry=entry):
                    support.delete_record(STAT, entry.this)
                    return stream.this

            self.assertRaises(TypeError, getattr(entry, op), Deleting())


if __name__ == "__main__":
    unittest.main()

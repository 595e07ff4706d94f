"""Field accessors of every record: conversion kinds, argument checking, the action header's
texts and spell code."""
from __future__ import print_function

import struct
import unittest

import support
from support import flat, HEADER, DAMAGE, STAT

# (value given to the setter, value the getter returns) per conversion kind.
CONVERSIONS = {
    "u8": [(0, 0), (255, 255), (256, 0), (300, 44), (-1, 255)],
    "u16": [(65535, 65535), (65536, 0), (70000, 4464), (-1, 65535)],
    "u32": [(-1, -1), (0xFFFFFFFF, -1), (2 ** 31, -2 ** 31), (2 ** 31 - 1, 2 ** 31 - 1),
            (2 ** 32 + 5, 5), (-2 ** 31, -2 ** 31)],
    "s16": [(-5, -5), (-32768, -32768), (32767, 32767)],
    "s32": [(-2 ** 31, -2 ** 31), (2 ** 31 - 1, 2 ** 31 - 1), (-2, -2)],
}
# Values each kind refuses, and the exception it raises; the field keeps its value.
REFUSED = {
    "u8": [(2 ** 64, OverflowError), (b"x", TypeError), (None, TypeError)],
    "u16": [(2 ** 64, OverflowError), (b"x", TypeError), (None, TypeError)],
    "u32": [(2 ** 64, OverflowError), (b"x", TypeError), (None, TypeError)],
    "s16": [(40000, OverflowError), (-32769, OverflowError), (b"x", TypeError),
            (None, TypeError)],
    "s32": [(2 ** 31, OverflowError), (-2 ** 31 - 1, OverflowError), (b"x", TypeError),
            (None, TypeError)],
}
KEPT = 7  # a value every kind stores unchanged


def all_integer_fields():
    for type_name in support.RECORD_TYPES:
        for field, kind in support.integer_fields(type_name):
            yield type_name, field, kind


def other_record_type(type_name):
    return DAMAGE if type_name != DAMAGE else STAT


class IntegerAccessors(support.TempDirTestCase):
    def test_fresh_record_getters(self):
        expected = {"text": None, "chars": support.record_text(b"")}
        for type_name in support.RECORD_TYPES:
            ref = self.new(type_name)
            for field, kind in support.fields(type_name):
                self.assertEqual(support.getter(type_name, field)(ref), expected.get(kind, 0),
                                 (type_name, field))

    def test_setter_conversions_by_kind(self):
        for type_name, field, kind in all_integer_fields():
            ref = self.new(type_name)
            for given, returned in CONVERSIONS[kind]:
                self.assertIsNone(support.setter(type_name, field)(ref, given))
                self.assertEqual(support.getter(type_name, field)(ref), returned,
                                 (type_name, field, given))

    def test_refused_values_keep_the_old_value(self):
        for type_name, field, kind in all_integer_fields():
            ref = self.new(type_name)
            support.setter(type_name, field)(ref, KEPT)
            for value, error in REFUSED[kind]:
                self.raised(error, (type_name, field, value), support.setter(type_name, field),
                            ref, value)
                self.assertEqual(support.getter(type_name, field)(ref), KEPT,
                                 (type_name, field, value))

    def test_same_value_reads_back_by_the_field_width(self):
        # targetSize is 16 bits wide in a healing record but 8 bits elsewhere.
        for type_name, returned in ((support.HEALING, 300), (DAMAGE, 44),
                                    (support.STATMOD, 44)):
            ref = self.new(type_name)
            support.setter(type_name, "targetSize")(ref, 300)
            self.assertEqual(support.getter(type_name, "targetSize")(ref), returned)

    def test_integer_setter_with_null_record_does_nothing(self):
        for type_name, field, kind in all_integer_fields():
            for null in (None, "NULL"):
                self.assertIsNone(support.setter(type_name, field)(null, 1),
                                  (type_name, field))


class NullRecords(support.TempDirTestCase):
    """Every call that must dereference its record refuses a null one."""

    def calls_needing_the_record(self, type_name, stream):
        calls = [("read", support.flat_function(type_name, "read"), (stream,)),
                 ("write", support.flat_function(type_name, "write"), (stream,))]
        for field, kind in support.fields(type_name):
            calls.append((field + "_get", support.getter(type_name, field), ()))
            if kind in ("text", "chars"):
                calls.append((field + "_set", support.setter(type_name, field), (b"ab",)))
        return calls

    def test_null_record_raises_the_type_error(self):
        path = self.path()
        support.write_gzip(path, b"\0" * 24)  # exactly one damage record
        stream = self.open_stream(path, 0)
        for type_name in support.RECORD_TYPES:
            for label, call, rest in self.calls_needing_the_record(type_name, stream):
                for null in (None, "NULL"):
                    try:
                        self.assertTypeError(type_name, call, null, *rest, prefix=True)
                    except AssertionError as failure:
                        self.fail("%s %s with %r: %s" % (type_name, label, null, failure))
        # Nothing was read on the way.
        self.assertEqual(flat.qn4tGenericEOF(stream), 0)
        whole = self.new(support.DAMAGE)
        self.assertEqual(flat.qn4tGeneric_Damage_Details_read(whole, stream), 0)


class ArgumentChecking(support.TempDirTestCase):
    def test_read_and_write_take_the_record_first(self):
        stream = self.read_stream_of(struct.pack("<Hh", 9, 0))
        for type_name in support.RECORD_TYPES:
            ref = self.new(type_name)
            for op in ("read", "write"):
                self.assertTypeError(type_name, support.flat_function(type_name, op),
                                     stream, ref)
        # The stream was not touched.
        entry = self.new(STAT)
        self.assertEqual(flat.qn4tGeneric_StatMod_Stat_Details_read(entry, stream), 0)
        self.assertEqual(flat.qn4tGeneric_StatMod_Stat_Details_stat_get(entry), 9)

    def test_record_of_another_type_and_a_string(self):
        # A value taken by "O" is converted after the record, so the record is reported;
        # a value taken by "h" or "i" fails in the parser first.
        for type_name, field, kind in all_integer_fields():
            wrong = self.new(other_record_type(type_name))
            call = support.setter(type_name, field)
            message = str(self.raised(TypeError, (type_name, field), call, wrong, b"x"))
            if kind in support.PARSED_KINDS:
                self.assertFalse(message.startswith("Type error."), message)
            else:
                self.assertEqual(message, support.type_error(type_name))

    def arity(self, name):
        if name in ("qn4tGenericOpen", "qn4tGenericSeek"):
            return 2
        if name.startswith("new_"):
            return 0
        if name.endswith(("_set", "_read", "_write")):
            return 2
        return 1

    def test_one_argument_too_many_names_the_function(self):
        for name in dir(flat):
            if name.startswith("__") or name.startswith("QN4T_"):
                continue
            args = (None,) * (self.arity(name) + 1)
            message = str(self.raised(TypeError, name, getattr(flat, name), *args))
            if name.endswith("_swigregister"):
                self.assertNotIn("swigregister", message)
            else:
                self.assertIn(name, message)

    def test_swigregister_without_argument(self):
        for type_name in support.RECORD_TYPES:
            with self.assertRaises(TypeError) as caught:
                support.flat_function(type_name, "swigregister")()
            self.assertNotIn(type_name, str(caught.exception))


class HeaderTexts(support.TempDirTestCase):
    def setUp(self):
        super(HeaderTexts, self).setUp()
        self.header = self.new(HEADER)

    def set(self, field, value):
        return support.setter(HEADER, field)(self.header, value)

    def get(self, field):
        return support.getter(HEADER, field)(self.header)

    def written(self):
        return self.written_bytes((HEADER, self.header))

    def head_with(self, **values):
        fields = [f for f, k in support.fields(HEADER) if k in support.INTEGER_KINDS]
        head = [values.get(f, 0) for f in fields[:13]]
        return struct.pack(support.HEAD_FORMAT, *head)

    def test_text_is_written_only_as_far_as_its_length_field(self):
        for text in support.text_fields():
            header = self.new(HEADER)
            support.setter(HEADER, text)(header, b"Fireball")
            self.assertEqual(support.getter(HEADER, text)(header), support.record_text(b"Fireball"))
            self.assertEqual(support.getter(HEADER, text + "Len")(header), 0)
            self.assertEqual(self.written_bytes((HEADER, header)), b"\0" * 24, text)
            support.setter(HEADER, text + "Len")(header, 8)
            expected = self.head_with(**{text + "Len": 8}) + b"Fireball"
            self.assertEqual(self.written_bytes((HEADER, header)), expected, text)
            support.setter(HEADER, text + "Len")(header, 3)
            expected = self.head_with(**{text + "Len": 3}) + b"Fir"
            self.assertEqual(self.written_bytes((HEADER, header)), expected, text)

    def test_length_beyond_the_text_is_padded_with_zero_bytes(self):
        self.set("nameLen", 6)
        self.set("fooLen", 2)  # foo never set
        self.set("desc", b"xyz")
        self.set("descLen", 1)
        expected = self.head_with(nameLen=6, descLen=1, fooLen=2) + b"\0" * 6 + b"x" + b"\0" * 2
        self.assertEqual(self.written(), expected)
        self.set("name", b"abc")
        expected = self.head_with(nameLen=6, descLen=1, fooLen=2) + b"abc\0\0\0x\0\0"
        self.assertEqual(self.written(), expected)

    def test_empty_text_is_present(self):
        for text in support.text_fields():
            self.set(text, b"")
            self.assertEqual(self.get(text), support.record_text(b""), text)

    def test_setting_twice_keeps_the_second_value(self):
        for text in support.text_fields():
            self.set(text, b"a long first value")
            self.set(text, b"second")
            self.assertEqual(self.get(text), support.record_text(b"second"), text)

    def test_text_bytes_are_kept_as_given(self):
        self.set("name", b"\xe9t\xe9 \xff")
        self.assertEqual(self.get("name"), support.record_text(b"\xe9t\xe9 \xff"))

    def test_any_bytes_survive_a_get_and_a_set(self):
        raw = bytes(bytearray(range(1, 256)))
        self.set("name", raw)
        self.set("desc", self.get("name"))  # the value as this host hands it out
        self.assertEqual(self.get("desc"), self.get("name"))
        self.set("nameLen", len(raw))
        self.set("descLen", len(raw))
        self.assertEqual(self.written(), self.head_with(nameLen=255, descLen=255) + raw + raw)

    @unittest.skipUnless(support.PYTHON3, "Python 3 only: texts given as str are encoded")
    def test_str_is_stored_as_utf8_and_length_fields_count_bytes(self):
        self.set("name", u"\u00c9clat")
        self.set("nameLen", 6)
        self.assertEqual(self.get("name"), u"\u00c9clat")
        self.assertEqual(self.written(), self.head_with(nameLen=6) + b"\xc3\x89clat")
        # The code keeps four bytes, even when that splits a character.
        self.set("spellCode", u"ABC\u00e9")
        self.assertEqual(self.get("spellCode"), u"ABC\udcc3")
        self.assertEqual(self.get("spellCode").encode("utf-8", "surrogateescape"), b"ABC\xc3")
        # A surrogate that stands for no byte has no encoding: refused, old text kept.
        self.assertRaises(UnicodeEncodeError, self.set, "name", u"\ud800")
        self.assertEqual(self.get("name"), u"\u00c9clat")

    def test_text_with_a_zero_byte_is_refused(self):
        for field in support.text_fields() + ["spellCode"]:
            self.set(field, b"ok")
            self.assertRaises(TypeError, self.set, field, b"a\0b")
            self.assertEqual(self.get(field), support.record_text(b"ok"), field)

    def test_text_setters_refuse_non_strings(self):
        for field in support.text_fields() + ["spellCode"]:
            for value in (None, 5):
                self.assertRaises(TypeError, self.set, field, value)

    def test_spell_code_is_zero_filled_to_four_bytes(self):
        self.set("actionType", support.SPELL_ACTION_TYPE)
        self.set("spellPath", 0x1234)
        self.set("spellCost", 0xFFFF)
        self.set("spellCode", b"ABCD")
        self.set("spellCode", b"AB")
        self.assertEqual(self.get("spellCode"), support.record_text(b"AB"))
        trailer = struct.pack(support.TRAILER_FORMAT, b"AB\0\0", 0x1234, 0xFFFF)
        self.assertEqual(self.written(), self.head_with(actionType=2) + trailer)
        self.assertEqual(trailer[:4], b"\x41\x42\x00\x00")

    def test_spell_code_keeps_four_characters(self):
        self.set("spellCode", b"SEVENCH")
        self.assertEqual(self.get("spellCode"), support.record_text(b"SEVE"))
        self.set("spellCode", b"")
        self.assertEqual(self.get("spellCode"), support.record_text(b""))

    def test_spell_fields_travel_only_with_action_type_two(self):
        self.set("spellCode", b"ABCD")
        self.set("spellPath", 5)
        for action_type in (0, 1, 3, 255):
            self.set("actionType", action_type)
            self.assertEqual(self.written(), self.head_with(actionType=action_type))


if __name__ == "__main__":
    unittest.main()

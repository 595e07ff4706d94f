"""Pointer strings: their format, their conversion back to records and streams, and the
refusal of references that the module never handed out or has already released."""
from __future__ import print_function

import unittest

import support
from support import flat, STREAM_TYPE


class Holder(object):
    """An object that carries a reference the way a shadow instance does."""

    def __init__(self, this):
        self.this = this


class PointerText(str):
    pass


def first_field(type_name):
    return support.fields(type_name)[0][0]


class ReferenceTargets(support.TempDirTestCase):
    """For every pointer type: a fresh valid reference and a call that converts one reference."""

    def valid_reference(self, mangled_name):
        if mangled_name == STREAM_TYPE:
            return self.open_stream(self.path("missing.gz"), 0)
        return support.pointer_text(self.new(mangled_name[len("_p_"):]))

    def probe(self, mangled_name):
        if mangled_name == STREAM_TYPE:
            return flat.qn4tGenericEOF
        type_name = mangled_name[len("_p_"):]
        return support.getter(type_name, first_field(type_name))

    def all_types(self):
        return [support.mangled(t) for t in support.RECORD_TYPES] + [STREAM_TYPE]

    def other_type(self, mangled_name):
        types = self.all_types()
        return types[(types.index(mangled_name) + 1) % len(types)]


class PointerStringFormat(ReferenceTargets):
    def test_underscore_sixteen_hex_digits_and_type_name(self):
        for mangled_name in self.all_types():
            text = self.valid_reference(mangled_name)
            match = support.POINTER_PATTERN.match(text)
            self.assertTrue(match, text)
            self.assertEqual(match.group(2), mangled_name)

    def test_hex_digits_are_in_memory_order(self):
        # Least significant byte first: the heap address is aligned, so the first byte is
        # a multiple of 8, and the two top bytes of a user-space address are zero.
        for mangled_name in self.all_types():
            digits = support.pointer_hex(self.valid_reference(mangled_name))
            self.assertEqual(int(digits[0:2], 16) % 8, 0, digits)
            self.assertEqual(digits[12:16], "0000", digits)

    def test_two_opens_and_two_constructions_give_different_references(self):
        path = self.path()
        support.write_gzip(path, b"")
        self.assertNotEqual(self.open_stream(path, 0), self.open_stream(path, 0))
        for type_name in support.RECORD_TYPES:
            self.assertNotEqual(support.pointer_text(self.new(type_name)),
                                support.pointer_text(self.new(type_name)))


class PointerConversion(ReferenceTargets):
    def malformed_references(self, mangled_name):
        valid = self.valid_reference(mangled_name)
        digits = support.pointer_hex(valid)
        return [
            ("wrong type name", "_" + digits + self.other_type(mangled_name)),
            ("empty string", ""),
            ("lone underscore", "_"),
            ("fifteen digits", "_" + digits[:15]),
            ("eight digits and the name", "_" + digits[:8] + mangled_name),
            ("no underscore", digits + mangled_name),
            ("string of the other type", support.other_string(valid)),
            ("number", 5),
            ("object without this", object()),
            ("this not a string", Holder(5)),
            ("this of another type", Holder(self.valid_reference(self.other_type(mangled_name)))),
        ]

    def test_malformed_references_raise_the_type_error(self):
        for mangled_name in self.all_types():
            for label, bad in self.malformed_references(mangled_name):
                with self.assertRaises(TypeError) as caught:
                    self.probe(mangled_name)(bad)
                self.assertEqual(str(caught.exception), support.type_error(mangled_name),
                                 "%s as %s" % (label, mangled_name))

    def test_string_subclass_and_instance_with_this_convert(self):
        for mangled_name in self.all_types():
            valid = self.valid_reference(mangled_name)
            self.assertEqual(self.probe(mangled_name)(PointerText(valid)), 0, mangled_name)
            self.assertEqual(self.probe(mangled_name)(Holder(valid)), 0, mangled_name)

    def test_none_and_null_text_are_null_references(self):
        # Integer setters skip the store for a null record and destructors do nothing.
        for type_name in support.RECORD_TYPES:
            field = support.integer_fields(type_name)[0][0]
            for null in (None, "NULL", PointerText("NULL"), Holder("NULL")):
                self.assertIsNone(support.setter(type_name, field)(null, 1), type_name)
                self.assertIsNone(support.delete_record(type_name, null), type_name)


class LiveReferences(ReferenceTargets):
    """A pointer string is a claim: only references to records and streams that exist are used."""

    def forged_references(self, mangled_name):
        valid = self.valid_reference(mangled_name)
        address = support.pointer_address(valid)
        other = self.valid_reference(self.other_type(mangled_name))
        return [
            ("never handed out", support.forged_pointer(0x10, mangled_name)),
            ("inside a live object", support.forged_pointer(address + 1, mangled_name)),
            ("high address", support.forged_pointer(0x7FFFFFFFFFF0, mangled_name)),
            ("object of another type",
             support.forged_pointer(support.pointer_address(other), mangled_name)),
        ]

    def test_forged_references_raise_the_type_error(self):
        for mangled_name in self.all_types():
            for label, forged in self.forged_references(mangled_name):
                try:
                    self.assertTypeError(mangled_name, self.probe(mangled_name), forged,
                                         prefix=True)
                except AssertionError as failure:
                    self.fail("%s as %s: %s" % (label, mangled_name, failure))

    def deleted(self, type_name):
        ref = support.pointer_text(self.new(type_name))
        support.delete_record(type_name, ref)
        return ref

    def calls_on(self, type_name, ref, stream):
        """Every flat call that takes the record reference, with otherwise valid arguments."""
        calls = [("delete again", lambda: support.delete_record(type_name, ref)),
                 ("read", lambda: support.flat_function(type_name, "read")(ref, stream)),
                 ("write", lambda: support.flat_function(type_name, "write")(ref, stream))]
        for field, kind in support.fields(type_name):
            value = b"x" if kind in ("text", "chars") else 1
            calls.append((field + "_get", lambda f=field: support.getter(type_name, f)(ref)))
            calls.append((field + "_set",
                          lambda f=field, v=value: support.setter(type_name, f)(ref, v)))
        return calls

    def test_every_use_after_delete_raises_the_type_error(self):
        path = self.path()
        stream = flat.qn4tGenericOpen(path, 1)
        for type_name in support.RECORD_TYPES:
            ref = self.deleted(type_name)
            for label, call in self.calls_on(type_name, ref, stream):
                try:
                    self.assertTypeError(type_name, call, prefix=True)
                except AssertionError as failure:
                    self.fail("%s %s: %s" % (type_name, label, failure))
        flat.qn4tGenericClose(stream)
        self.assertEqual(support.gunzip(path), b"", "a deleted record wrote bytes")

    def test_delete_of_an_instance_whose_this_is_stale(self):
        for type_name in support.RECORD_TYPES:
            holder = Holder(self.deleted(type_name))
            self.assertTypeError(type_name, support.delete_record, type_name, holder,
                                 prefix=True)


if __name__ == "__main__":
    unittest.main()

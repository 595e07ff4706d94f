"""Shadow classes: registration through `_swigregister`, and the Python-side module's record
classes and `Stream`."""
from __future__ import print_function

import gc
import struct
import sys
import unittest

import support
from support import flat, q, HEADER, DAMAGE, STAT


class Plain(object):
    def __init__(self, this):
        self.this = this


class Refusing(object):
    def __init__(self, this):
        raise ValueError("refused " + this)


class NoThisown(object):
    """Accepts the pointer string but refuses any other attribute, "thisown" included."""
    __slots__ = ("this",)

    def __init__(self, this):
        self.this = this


class StderrCapture(object):
    """Stands in for sys.stderr, where the interpreter reports errors it has to ignore."""

    def __init__(self):
        self.parts = []

    def write(self, text):
        self.parts.append(text)

    def flush(self):
        pass

    def __enter__(self):
        self.saved, sys.stderr = sys.stderr, self
        return self

    def __exit__(self, *exc):
        sys.stderr = self.saved
        return False


def collect():
    for _ in range(2):
        gc.collect()


class CustomRegistration(support.TempDirTestCase):
    """Each test here changes the module-wide class of a type and puts the module's back."""

    def register(self, type_name, cls):
        support.flat_function(type_name, "swigregister")(cls)
        self.addCleanup(support.flat_function(type_name, "swigregister"), getattr(q, type_name))

    def no_error_pending(self, type_name, ref):
        # An "O" setter checks for a pending exception after converting -1: a leftover
        # exception from the constructor would surface here.
        field = [f for f, k in support.integer_fields(type_name)
                 if k not in support.PARSED_KINDS][0]
        self.assertIsNone(support.setter(type_name, field)(ref, -1))
        self.assertEqual(sys.exc_info(), (None, None, None))

    def test_new_calls_the_registered_class_with_the_pointer_string(self):
        for type_name in support.RECORD_TYPES:
            self.register(type_name, Plain)
            ref = self.new(type_name)
            self.assertIs(type(ref), Plain)
            match = support.POINTER_PATTERN.match(ref.this)
            self.assertTrue(match, ref.this)
            self.assertEqual(match.group(2), support.mangled(type_name))
            self.assertEqual(ref.thisown, 1)
            self.no_error_pending(type_name, ref)

    def test_failing_call_gives_the_plain_string_and_no_pending_error(self):
        for type_name in support.RECORD_TYPES:
            for shadow in (Refusing, 5, None):
                self.register(type_name, shadow)
                self.assertEqual(sys.exc_info(), (None, None, None))
                ref = self.new(type_name)
                self.assertTrue(support.POINTER_PATTERN.match(ref), (shadow, ref))
                self.no_error_pending(type_name, ref)

    def test_instance_refusing_thisown_leaves_no_pending_error(self):
        for type_name in support.RECORD_TYPES:
            self.register(type_name, NoThisown)
            ref = self.new(type_name)
            self.assertIs(type(ref), NoThisown)
            self.no_error_pending(type_name, ref)

    def test_delete_leaves_thisown_alone(self):
        self.register(DAMAGE, Plain)
        ref = support.new_record(DAMAGE)
        support.delete_record(DAMAGE, ref)
        self.assertEqual(ref.thisown, 1)


class RecordClasses(support.TempDirTestCase):
    def sample_value(self, kind):
        if kind in support.INTEGER_KINDS:
            return support.kind_range(kind)[1]
        return support.record_text({"text": b"some text", "chars": b"ABC"}[kind])

    def test_flat_constructors_give_owned_instances(self):
        for type_name in support.RECORD_TYPES:
            ref = support.new_record(type_name)
            self.assertIsInstance(ref, getattr(q, type_name))
            self.assertEqual(ref.thisown, 1)

    def test_attributes_are_the_flat_accessors(self):
        for type_name in support.RECORD_TYPES:
            record = getattr(q, type_name)()
            self.assertTrue(record.thisown)
            for field, kind in support.fields(type_name):
                value = self.sample_value(kind)
                setattr(record, field, value)
                self.assertEqual(support.getter(type_name, field)(record.this), value,
                                 (type_name, field))
                support.setter(type_name, field)(record.this, value)
                self.assertEqual(getattr(record, field), value, (type_name, field))

    def test_wrapping_a_pointer_string_does_not_own_the_record(self):
        owner = q.qn4tGeneric_StatMod_Stat_Details()
        wrapper = q.qn4tGeneric_StatMod_Stat_Details(owner.this)
        self.assertFalse(wrapper.thisown)
        wrapper.stat = 12
        self.assertEqual(owner.stat, 12)
        del wrapper
        collect()
        self.assertEqual(owner.stat, 12)

    def test_collected_owner_frees_its_record(self):
        for type_name in support.RECORD_TYPES:
            record = getattr(q, type_name)()
            pointer = record.this
            del record
            collect()
            first = support.fields(type_name)[0][0]
            self.assertTypeError(type_name, support.getter(type_name, first), pointer,
                                 prefix=True)

    def test_explicit_delete_before_collection_is_quiet(self):
        with StderrCapture() as captured:
            for type_name in support.RECORD_TYPES:
                record = getattr(q, type_name)()
                self.assertIsNone(support.delete_record(type_name, record))
                del record
                collect()
        self.assertEqual("".join(captured.parts), "")

    def test_read_and_write_methods(self):
        path = self.path()
        stream = q.Stream(path, "w")
        entry = q.qn4tGeneric_StatMod_Stat_Details()
        entry.stat, entry.modAmt = 7, -5
        self.assertEqual(entry.write(stream), 0)
        self.assertEqual(entry.write(stream.this), 0)
        stream.close()
        self.assertEqual(support.gunzip(path), struct.pack("<Hh", 7, -5) * 2)
        stream = q.Stream(path, "r")
        for source in (stream, stream.this):
            copy = q.qn4tGeneric_StatMod_Stat_Details()
            self.assertEqual(copy.read(source), 0)
            self.assertEqual((copy.stat, copy.modAmt), (7, -5))
        self.assertEqual(copy.read(stream), -1)
        stream.close()

    def test_class_layout_attributes(self):
        self.assertEqual(q.qn4tGeneric_Action_Header.WIRE_SIZE, 24)
        self.assertEqual(q.qn4tGeneric_Action_Header.TRAILER_SIZE, 8)
        kinds = set(support.INTEGER_KINDS) | set(["text", "chars"])
        for type_name in support.RECORD_TYPES:
            for field, kind in support.fields(type_name):
                self.assertIn(kind, kinds, (type_name, field))
        texts = support.text_fields()
        self.assertEqual(texts, ["name", "desc", "blah", "foo", "bar"])
        names = [f for f, _ in support.fields(HEADER)]
        for text in texts:
            self.assertIn(text + "Len", names)


class Streams(support.TempDirTestCase):
    def test_with_block_writes_a_complete_file_and_closes(self):
        path = self.path()
        for mode in ("w", "wb"):
            with q.Stream(path, mode) as stream:
                q.qn4tGeneric_Action_Detail_Header().write(stream)
                self.assertEqual(stream.eof(), 0)
            self.assertEqual(support.gunzip(path), b"\0" * 4, mode)
            self.assertEqual(flat.qn4tGenericEOF(stream.this), 0)
            self.assertRaises(IOError, q.qn4tGeneric_Action_Detail_Header().write, stream)
            self.assertEqual(support.gunzip(path), b"\0" * 4, mode)
            stream.close()

    def test_reading_modes_seek_and_eof(self):
        path = self.path()
        support.write_gzip(path, struct.pack("<Hh", 1, 0) + struct.pack("<Hh", 2, 0))
        for mode in ("r", "rb", None):
            stream = q.Stream(path) if mode is None else q.Stream(path, mode)
            entry = q.qn4tGeneric_StatMod_Stat_Details()
            stream.seek(4)
            self.assertEqual((entry.read(stream), entry.stat), (0, 2))
            stream.seek(-8)
            self.assertEqual((entry.read(stream), entry.stat), (0, 1))
            stream.seek(4)
            self.assertEqual(entry.read(stream), -1)
            self.assertEqual(stream.eof(), 1)
            stream.close()
            stream.close()
            self.assertRaises(IOError, entry.read, stream)

    def test_stream_works_with_the_flat_functions(self):
        path = self.path()
        with q.Stream(path, "w") as stream:
            flat.qn4tGeneric_StatMod_Stat_Details_write(
                support.new_record(STAT), stream)
        self.assertEqual(support.gunzip(path), b"\0" * 4)


if __name__ == "__main__":
    unittest.main()

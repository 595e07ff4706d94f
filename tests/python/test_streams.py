"""The four stream functions and how record reads and writes behave on unusual streams."""
from __future__ import print_function

import struct
import unittest

import support
from support import flat, STREAM_TYPE, DETAIL_HEADER, STAT


def read_record(type_name, stream):
    """(result, record) of reading one new record of the type from the stream."""
    ref = support.new_record(type_name)
    return support.flat_function(type_name, "read")(ref, stream), ref


def write_new_record(type_name, stream):
    return support.flat_function(type_name, "write")(support.new_record(type_name), stream)


class UnusableStreams(support.TempDirTestCase):
    """Streams that deliver nothing: a missing file, and any stream after its close."""

    def missing_file_stream(self):
        return self.open_stream(self.path("does-not-exist.gz"), 0)

    def closed_stream(self, write_flag):
        path = self.path()
        support.write_gzip(path, b"\0" * 64)
        stream = flat.qn4tGenericOpen(path, write_flag)
        self.assertIsNone(flat.qn4tGenericClose(stream))
        return stream

    def unusable_streams(self):
        return [("missing file", self.missing_file_stream()),
                ("closed read stream", self.closed_stream(0)),
                ("closed write stream", self.closed_stream(1))]

    def test_missing_file_opens_to_a_stream_reference(self):
        self.assertTrue(support.POINTER_PATTERN.match(self.missing_file_stream()))

    def test_reads_fail_writes_do_nothing_eof_is_zero(self):
        for label, stream in self.unusable_streams():
            self.assertEqual(flat.qn4tGenericEOF(stream), 0, label)
            self.assertIsNone(flat.qn4tGenericSeek(stream, 4), label)
            for type_name in support.RECORD_TYPES:
                self.assertEqual(read_record(type_name, stream)[0], -1, (label, type_name))
                self.assertEqual(write_new_record(type_name, stream), 0, (label, type_name))
            self.assertIsNone(flat.qn4tGenericClose(stream), label)

    def test_close_twice_is_harmless(self):
        stream = self.closed_stream(1)
        self.assertIsNone(flat.qn4tGenericClose(stream))
        self.assertEqual(flat.qn4tGenericEOF(stream), 0)

    def test_closing_a_write_stream_completes_the_file(self):
        path = self.path()
        stream = flat.qn4tGenericOpen(path, 1)
        write_new_record(STAT, stream)
        flat.qn4tGenericClose(stream)
        flat.qn4tGenericClose(stream)
        self.assertEqual(support.gunzip(path), b"\0" * 4)


class StreamArguments(support.TempDirTestCase):
    def test_null_stream_raises_the_type_error(self):
        stream_calls = [("close", flat.qn4tGenericClose, ()),
                        ("seek", flat.qn4tGenericSeek, (0,)),
                        ("eof", flat.qn4tGenericEOF, ())]
        for type_name in support.RECORD_TYPES:
            for op in ("read", "write"):
                record = self.new(type_name)
                call = support.flat_function(type_name, op)
                stream_calls.append((type_name + " " + op,
                                     lambda s, r=record, c=call: c(r, s), ()))
        for null in (None, "NULL"):
            for label, call, rest in stream_calls:
                try:
                    self.assertTypeError(STREAM_TYPE, call, null, *rest)
                except AssertionError as failure:
                    self.fail("%s with %r: %s" % (label, null, failure))

    def test_close_given_a_record_raises_and_leaves_it_alone(self):
        header = self.new(support.HEADER)
        support.setter(support.HEADER, "actionID")(header, 77)
        self.assertTypeError(STREAM_TYPE, flat.qn4tGenericClose, header)
        self.assertTypeError(STREAM_TYPE, flat.qn4tGenericClose, support.pointer_text(header))
        self.assertEqual(support.getter(support.HEADER, "actionID")(header), 77)

    def test_seek_offset_beyond_32_bits_overflows(self):
        stream = self.read_stream_of(b"\0" * 8)
        for offset in (2 ** 31, -2 ** 31 - 1):
            self.assertRaises(OverflowError, flat.qn4tGenericSeek, stream, offset)
        # The stream was not touched: the first record is still ahead.
        self.assertEqual(read_record(DETAIL_HEADER, stream)[0], 0)
        self.assertEqual(read_record(DETAIL_HEADER, stream)[0], 0)


class StreamOperations(support.TempDirTestCase):
    def stat_entries(self, *values):
        return b"".join(struct.pack("<Hh", v, -v) for v in values)

    def read_stat(self, stream):
        result, ref = read_record(STAT, stream)
        return result, support.getter(STAT, "stat")(ref)

    def test_any_nonzero_write_flag_writes(self):
        for flag in (1, 7, -1):
            path = self.path()
            stream = flat.qn4tGenericOpen(path, flag)
            self.assertEqual(write_new_record(DETAIL_HEADER, stream), 0)
            self.assertIsNone(flat.qn4tGenericClose(stream))
            self.assertEqual(support.gunzip(path), b"\0" * 4, flag)

    def test_write_flag_zero_reads(self):
        stream = self.read_stream_of(self.stat_entries(5))
        self.assertEqual(self.read_stat(stream), (0, 5))

    def test_eof_after_the_last_record(self):
        stream = self.read_stream_of(self.stat_entries(1, 2))
        self.assertEqual(flat.qn4tGenericEOF(stream), 0)
        self.assertEqual(self.read_stat(stream), (0, 1))
        self.assertEqual(self.read_stat(stream), (0, 2))
        self.assertEqual(read_record(STAT, stream)[0], -1)
        self.assertEqual(flat.qn4tGenericEOF(stream), 1)
        self.assertEqual(read_record(STAT, stream)[0], -1)

    def test_eof_of_a_write_stream_is_zero(self):
        stream = self.open_stream(self.path(), 1)
        write_new_record(STAT, stream)
        self.assertEqual(flat.qn4tGenericEOF(stream), 0)

    def test_seek_moves_relative_to_the_current_position(self):
        stream = self.read_stream_of(self.stat_entries(1, 2, 3, 4))
        flat.qn4tGenericSeek(stream, 0)
        self.assertEqual(self.read_stat(stream), (0, 1))
        flat.qn4tGenericSeek(stream, 4)
        self.assertEqual(self.read_stat(stream), (0, 3))
        flat.qn4tGenericSeek(stream, -12)
        self.assertEqual(self.read_stat(stream), (0, 1))

    def write_stat(self, stream, value):
        entry = support.new_record(STAT)
        support.setter(STAT, "stat")(entry, value)
        support.setter(STAT, "modAmt")(entry, -value)
        support.flat_function(STAT, "write")(entry, stream)

    def test_seek_on_a_write_stream_moves_only_forward_over_zero_bytes(self):
        path = self.path()
        stream = flat.qn4tGenericOpen(path, 1)
        self.write_stat(stream, 1)
        flat.qn4tGenericSeek(stream, 3)
        self.write_stat(stream, 2)
        flat.qn4tGenericSeek(stream, -2)  # refused: nothing is written
        self.write_stat(stream, 3)
        flat.qn4tGenericClose(stream)
        self.assertEqual(support.gunzip(path), self.stat_entries(1) + b"\0" * 3
                         + self.stat_entries(2, 3))

    def test_seek_before_the_first_write_gives_zero_bytes(self):
        path = self.path()
        stream = flat.qn4tGenericOpen(path, 1)
        flat.qn4tGenericSeek(stream, 64)
        self.write_stat(stream, 1)
        flat.qn4tGenericClose(stream)
        self.assertEqual(support.gunzip(path), b"\0" * 64 + self.stat_entries(1))

    def test_plain_file_reads_like_a_gzip_file(self):
        stream = self.read_stream_of(self.stat_entries(9), compressed=False)
        self.assertEqual(self.read_stat(stream), (0, 9))

    def test_empty_file_holds_no_records(self):
        for compressed in (True, False):
            stream = self.read_stream_of(b"", compressed)
            for type_name in support.RECORD_TYPES:
                self.assertEqual(read_record(type_name, stream)[0], -1)

    def test_write_to_a_read_stream_writes_nothing(self):
        path = self.path()
        support.write_gzip(path, self.stat_entries(1))
        stream = self.open_stream(path, 0)
        self.assertEqual(write_new_record(STAT, stream), 0)
        self.assertEqual(support.gunzip(path), self.stat_entries(1))

    def test_read_from_a_write_stream_fails(self):
        stream = self.open_stream(self.path(), 1)
        self.assertEqual(read_record(STAT, stream)[0], -1)


if __name__ == "__main__":
    unittest.main()

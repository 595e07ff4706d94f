"""Failures that must not pass for success: opens that fail, writes and closes whose data
did not reach the file (a full device), damaged compressed data, a stream copied into a
second owner, and a path with a zero byte. The flat functions keep the results scripts test
(0 from a write that cannot be made, None from a close) except where data was lost."""
from __future__ import print_function

import copy
import errno
import os
import pickle
import stat
import struct
import unittest

import support
from support import flat, q, STAT

FULL_DEVICE = "/dev/full"


def entries(count):
    """`count` stat entries whose bytes vary, so that they compress poorly."""
    return b"".join(struct.pack("<Hh", (i * 40503) & 0xFFFF, ((i * 2654435761) >> 7 & 0x7FFF))
                    for i in range(count))


class FullDeviceTestCase(support.TempDirTestCase):
    def setUp(self):
        super(FullDeviceTestCase, self).setUp()
        mode = os.stat(FULL_DEVICE).st_mode if os.path.exists(FULL_DEVICE) else 0
        if not stat.S_ISCHR(mode):
            self.fail("%s is not the full device on this machine" % FULL_DEVICE)

    def write_until_refused(self, write, stream, limit=1000000):
        """Writes stat entries until `write` gives something other than 0; that result and
        the number written."""
        entry = q.qn4tGeneric_StatMod_Stat_Details()
        for count in range(limit):
            entry.stat, entry.modAmt = (count * 40503) & 0xFFFF, (count * 7) & 0x7FFF
            result = write(entry, stream)
            if result != 0:
                return result, count
        self.fail("no write failed")


class FlatStreams(FullDeviceTestCase):
    """The flat functions: -1 from a write zlib could not take, IOError from a close whose
    data did not reach the file; everything else as it always was."""

    def test_full_device_close_raises_and_closes(self):
        stream = flat.qn4tGenericOpen(FULL_DEVICE, 1)
        self.assertEqual(flat.qn4tGeneric_StatMod_Stat_Details_write(support.new_record(STAT),
                                                                      stream), 0)
        with self.assertRaises(IOError) as caught:
            flat.qn4tGenericClose(stream)
        self.assertEqual(caught.exception.errno, errno.ENOSPC)
        self.assertEqual(caught.exception.strerror, os.strerror(errno.ENOSPC))
        self.assertIsNone(flat.qn4tGenericClose(stream))  # closed either way
        self.assertEqual(flat.qn4tGeneric_StatMod_Stat_Details_write(support.new_record(STAT),
                                                                      stream), 0)

    def test_full_device_write_gives_minus_one(self):
        stream = flat.qn4tGenericOpen(FULL_DEVICE, 1)
        result, count = self.write_until_refused(flat.qn4tGeneric_StatMod_Stat_Details_write,
                                                 stream)
        self.assertEqual(result, -1)
        self.assertGreater(count, 0)
        self.assertEqual(flat.qn4tGeneric_StatMod_Stat_Details_write(support.new_record(STAT),
                                                                      stream), -1)
        with self.assertRaises(IOError) as caught:
            flat.qn4tGenericClose(stream)
        self.assertEqual(caught.exception.errno, errno.ENOSPC)

    def test_streams_that_take_no_writes_still_give_zero_and_none(self):
        missing_folder = flat.qn4tGenericOpen(self.path(os.path.join("missing", "x.gz")), 1)
        read_stream = self.read_stream_of(b"\0" * 4)
        closed = flat.qn4tGenericOpen(self.path(), 1)
        flat.qn4tGenericClose(closed)
        for label, stream in (("failed open", missing_folder), ("read stream", read_stream),
                              ("closed", closed)):
            for type_name in support.RECORD_TYPES:
                write = support.flat_function(type_name, "write")
                self.assertEqual(write(support.new_record(type_name), stream), 0, label)
            self.assertIsNone(flat.qn4tGenericClose(stream), label)
            self.assertIsNone(flat.qn4tGenericClose(stream), label)


class StreamFailures(FullDeviceTestCase):
    """The Python-side Stream: a failed open, write or close raises IOError naming the path
    and the system's reason."""

    def assertSystemError(self, caught, code, path):
        self.assertEqual((caught.errno, caught.strerror, caught.filename),
                         (code, os.strerror(code), path))

    def test_open_that_fails_raises_io_error_naming_the_path(self):
        for mode, path in (("w", self.path(os.path.join("missing", "x.gz"))),
                           ("r", self.path("missing.gz"))):
            with self.assertRaises(IOError) as caught:
                q.Stream(path, mode)
            self.assertSystemError(caught.exception, errno.ENOENT, path)
        self.assertEqual(os.listdir(self.tmpdir), [])  # no folder or file was made

    def test_close_of_a_full_device_raises(self):
        stream = q.Stream(FULL_DEVICE, "w")
        self.assertEqual(q.qn4tGeneric_Action_Header().write(stream), 0)  # kept in zlib's buffer
        with self.assertRaises(IOError) as caught:
            stream.close()
        self.assertSystemError(caught.exception, errno.ENOSPC, FULL_DEVICE)
        stream.close()  # closed either way: nothing more happens

    def test_with_block_on_a_full_device_raises(self):
        with self.assertRaises(IOError) as caught:
            with q.Stream(FULL_DEVICE, "w") as stream:
                q.qn4tGeneric_Action_Header().write(stream)
        self.assertSystemError(caught.exception, errno.ENOSPC, FULL_DEVICE)

    def test_write_that_zlib_cannot_make_raises(self):
        stream = q.Stream(FULL_DEVICE, "w")

        def write(entry, stream):
            try:
                return entry.write(stream)
            except IOError as error:
                return error
        error, count = self.write_until_refused(write, stream)
        self.assertSystemError(error, errno.ENOSPC, FULL_DEVICE)
        self.assertGreater(count, 0)
        self.assertRaises(IOError, q.qn4tGeneric_StatMod_Stat_Details().write, stream)
        self.assertRaises(IOError, stream.close)

    def test_unclosed_stream_whose_close_fails_is_reported_as_an_error_in_del(self):
        status, out, err = support.run_python(
            "import qn4tGenericActionLoader as q\n"
            "stream = q.Stream(%r, 'w')\n"
            "q.qn4tGeneric_Action_Header().write(stream)\n"
            "del stream\n"
            "print('went on')\n" % FULL_DEVICE)
        err = err.decode("utf-8", "replace")
        self.assertEqual((status, out.strip()), (0, b"went on"), err)
        self.assertIn("__del__", err)
        self.assertIn("ignored", err)
        self.assertIn(os.strerror(errno.ENOSPC), err)

    def test_records_refuse_closed_streams_and_the_wrong_mode(self):
        path = self.path()
        out = q.Stream(path, "w")
        entry = q.qn4tGeneric_StatMod_Stat_Details()
        self.assertRaises(IOError, entry.read, out)
        out.close()
        src = q.Stream(path)
        self.assertRaises(IOError, entry.write, src)
        src.close()
        for call in (entry.read, entry.write):
            self.assertRaises(IOError, call, out)
            self.assertRaises(IOError, call, src)

    def test_stream_cannot_be_copied_or_pickled(self):
        path = self.path()
        stream = q.Stream(path, "w")
        for duplicate in (copy.copy, copy.deepcopy, pickle.dumps):
            self.assertRaises(TypeError, duplicate, stream)
        self.assertEqual(q.qn4tGeneric_StatMod_Stat_Details().write(stream), 0)
        stream.close()
        self.assertEqual(support.gunzip(path), b"\0" * 4)


class DamagedFiles(support.TempDirTestCase):
    """A read that stops on damaged compressed data raises DamagedFileError through the
    classes; the flat read gives -1 as it always has. A clean end gives -1 on both."""

    COUNT = 20000

    def setUp(self):
        super(DamagedFiles, self).setUp()
        path = self.path("whole.gz")
        support.write_gzip(path, entries(self.COUNT))
        with open(path, "rb") as f:
            self.whole = f.read()

    def changed(self, at, flip):
        data = bytearray(self.whole)
        data[at] ^= flip
        return bytes(data)

    def damaged(self):
        """(what, file bytes, a word of the message) for each kind of damage."""
        half = len(self.whole) // 2
        return [("cut in half", self.whole[:half], "cut short"),
                ("without its gzip trailer", self.whole[:-8], "cut short"),
                ("a bad CRC", self.changed(len(self.whole) - 8, 1), "fails its check"),
                ("a bad length", self.changed(len(self.whole) - 4, 1), "fails its check"),
                ("damaged deflate data", self.changed(half, 0xFF), "")]

    def read_all(self, data, read):
        """Reads stat entries with `read(entry, stream)` from a file of `data` until it gives
        something other than 0: the number read and what stopped the reading."""
        path = self.path()
        support.write_plain(path, data)
        stream = q.Stream(path)
        self.addCleanup(stream.close)
        entry = q.qn4tGeneric_StatMod_Stat_Details()
        count = 0
        while True:
            try:
                result = read(entry, stream)
            except IOError as error:
                return count, error
            if result != 0:
                return count, result
            count += 1

    def test_class_read_raises_damaged_file_error(self):
        for what, data, word in self.damaged():
            count, stopped = self.read_all(data, lambda entry, stream: entry.read(stream))
            self.assertIsInstance(stopped, q.DamagedFileError, what)
            self.assertIsInstance(stopped, IOError, what)
            self.assertIsInstance(stopped, ValueError, what)
            self.assertIn(word, str(stopped), what)
            self.assertIn(STAT, str(stopped), what)
            self.assertLessEqual(count, self.COUNT, what)

    def test_flat_read_still_gives_minus_one(self):
        read = flat.qn4tGeneric_StatMod_Stat_Details_read
        for what, data, _ in self.damaged():
            self.assertEqual(self.read_all(data, read)[1], -1, what)

    def test_clean_ends_give_minus_one(self):
        plain_cut = entries(3)[:-1]  # not compressed: a short read is the end of the data
        for what, data, count in (("complete", self.whole, self.COUNT),
                                  ("plain, ending inside a record", plain_cut, 2),
                                  ("empty", b"", 0)):
            self.assertEqual(self.read_all(data, lambda e, s: e.read(s)), (count, -1), what)

    def test_damaged_file_error_is_the_packages(self):
        error = q.DamagedFileError
        self.assertEqual((error.__module__, error.__name__),
                         ("qn4tGenericActionLoader", "DamagedFileError"))
        self.assertTrue(issubclass(error, IOError) and issubclass(error, ValueError))
        import _qn4tGenericActionSupport
        self.assertIs(error, _qn4tGenericActionSupport.DamagedFileError)


class ZeroBytePath(support.TempDirTestCase):
    def test_path_with_a_zero_byte_is_refused_with_type_error(self):
        for flag in (0, 1):
            with self.assertRaises(TypeError) as caught:
                flat.qn4tGenericOpen(self.path("a\0b.gz"), flag)
            self.assertIn("qn4tGenericOpen() argument 1 must be", str(caught.exception))
            self.assertIn("without null bytes", str(caught.exception))
            self.assertRaises(TypeError, q.Stream, self.path("a\0b.gz"), "w" if flag else "r")
        self.assertEqual(os.listdir(self.tmpdir), [])


class SharedReferences(support.TempDirTestCase):
    """The companion module works on exactly the references the flat module hands out."""

    def test_companion_accepts_flat_references_and_refuses_others(self):
        import _qn4tGenericActionSupport as companion
        record = support.new_record(support.DAMAGE)
        getter = companion.qn4tGeneric_Damage_Details_range_get
        companion.qn4tGeneric_Damage_Details_range_set(record, 200)
        self.assertEqual(flat.qn4tGeneric_Damage_Details_range_get(record), 200)
        text = support.pointer_text(record)
        self.assertEqual(getter(text), 200)
        forged = support.forged_pointer(support.pointer_address(record) + 8, support.DAMAGE)
        for wrong in (forged, support.pointer_text(support.new_record(STAT)), None, "NULL"):
            self.assertTypeError(support.DAMAGE, getter, wrong)
        support.delete_record(support.DAMAGE, record)
        self.assertTypeError(support.DAMAGE, getter, text)

    def test_flat_module_gains_no_name(self):
        names = [n for n in dir(flat) if not n.startswith("__")]
        self.assertEqual(len(names), 138)
        self.assertFalse([n for n in names if "shared" in n.lower()])


if __name__ == "__main__":
    unittest.main()

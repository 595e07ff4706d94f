"""References that Python code invalidates: a record deleted by Python code run in the
middle of a call (a value's __index__ or __int__, a reference's `this` property, the
__del__ of an owning instance) is refused with its TypeError and nothing is stored, read
or written; a pointer string of a deleted record stays refused however many records are
created after it; threads creating, deleting and misusing records never touch each
other's records; creating and deleting records keeps memory flat."""
from __future__ import print_function

import os
import sys
import threading
import time
import unittest

import support
from support import flat, q, HEADER, DETAIL_HEADER, STAT

if support.PYTHON3:
    xrange = range


class Reentrant(object):
    """An integer whose conversion (__index__ or __int__) first runs `action`."""

    def __init__(self, value, action):
        self.value = value
        self.action = action
        self.converted = False

    def __index__(self):
        self.converted = True
        self.action()
        return self.value

    __int__ = __index__


class ThisProperty(object):
    """A reference whose `this` runs `action` before it gives the pointer string."""

    def __init__(self, this, action):
        self._this = this
        self._action = action
        self.read = False

    @property
    def this(self):
        self.read = True
        self._action()
        return self._this


class DyingText(str):
    """A pointer string that runs `action` when it is destroyed."""

    def __del__(self):
        self.action()


class DyingThis(object):
    """A reference whose `this` is a fresh DyingText each time: the call drops it, and
    `action` runs, after reading the pointer string."""

    def __init__(self, this, action):
        self._this = this
        self._action = action

    @property
    def this(self):
        text = DyingText(self._this)
        text.action = self._action
        return text


# The ways a reference argument can run Python code while it is converted.
RUNNING_REFERENCES = (("this property", ThisProperty), ("this dropped", DyingThis))


def sample_value(kind):
    return b"ab" if kind in ("text", "chars") else 7


class MidCallDeletion(support.TempDirTestCase):
    """Python code run by a call deletes the call's record: TypeError, nothing stored."""

    def record(self, type_name):
        return support.pointer_text(self.new(type_name))

    def deleter(self, type_name, ref):
        return lambda: support.delete_record(type_name, ref)

    def cases(self, type_name, stream):
        """(label, call) pairs; each call deletes its record mid-call and must raise the
        record's TypeError."""
        cases = []
        for field, kind in support.fields(type_name):
            ref = self.record(type_name)
            if kind in support.INTEGER_KINDS:
                how = "h/i parse" if kind in support.PARSED_KINDS else "conversion"
                cases.append(("%s_set, value's %s" % (field, how),
                              lambda f=field, r=ref: support.setter(type_name, f)(
                                  r, Reentrant(7, self.deleter(type_name, r)))))
            for how, running in RUNNING_REFERENCES:
                ref = self.record(type_name)
                cases.append(("%s_set, the record's %s" % (field, how),
                              lambda f=field, r=ref, k=kind, running=running: support.setter(
                                  type_name, f)(running(r, self.deleter(type_name, r)), sample_value(k))))
                ref = self.record(type_name)
                cases.append(("%s_get, the record's %s" % (field, how),
                              lambda f=field, r=ref, running=running: support.getter(type_name, f)(
                                  running(r, self.deleter(type_name, r)))))
        for how, running in RUNNING_REFERENCES:
            for op in ("read", "write"):
                ref = self.record(type_name)
                cases.append(("%s, the stream's %s" % (op, how),
                              lambda o=op, r=ref, running=running: support.flat_function(type_name, o)(
                                  r, running(stream, self.deleter(type_name, r)))))
            ref = self.record(type_name)
            cases.append(("delete, the record's %s" % how,
                          lambda r=ref, running=running: support.delete_record(
                              type_name, running(r, self.deleter(type_name, r)))))
        return cases

    def test_every_wrapper_refuses_a_record_deleted_mid_call(self):
        path = self.path()
        stream = self.open_stream(path, 1)
        for type_name in support.RECORD_TYPES:
            for label, call in self.cases(type_name, stream):
                try:
                    self.assertTypeError(type_name, call)
                except AssertionError as failure:
                    self.fail("%s %s: %s" % (type_name, label, failure))
        flat.qn4tGenericClose(stream)
        self.assertEqual(support.gunzip(path), b"", "a deleted record was written")

    def test_read_into_a_record_deleted_by_the_stream_reads_nothing(self):
        stream = self.read_stream_of(b"\0" * 24)  # one action header, nothing more
        for type_name in support.RECORD_TYPES:
            ref = self.record(type_name)
            self.assertTypeError(type_name, support.flat_function(type_name, "read"),
                                 ref, ThisProperty(stream, self.deleter(type_name, ref)))
        self.assertEqual(flat.qn4tGenericEOF(stream), 0)
        first = self.new(HEADER)
        self.assertEqual(flat.qn4tGeneric_Action_Header_read(first, stream), 0, "bytes were consumed")

    def test_records_created_in_the_deleted_ones_place_get_nothing(self):
        # The deleting code creates records of the same type, which a reused address
        # would hand the store to.
        for type_name in support.RECORD_TYPES:
            for field, kind in support.integer_fields(type_name):
                ref = self.record(type_name)
                made = []

                def delete_and_create(ref=ref):
                    support.delete_record(type_name, ref)
                    made.extend(self.new(type_name) for _ in range(40))

                self.assertTypeError(type_name, support.setter(type_name, field), ref,
                                     Reentrant(7, delete_and_create))
                for new in made:
                    self.assertEqual(support.getter(type_name, field)(new), 0,
                                     (type_name, field, "stored into a newer record"))

    def test_owning_instance_collected_mid_call(self):
        # The value drops the last reference to the instance that owns the record: its
        # __del__ deletes the record while the setter runs.
        for type_name in support.RECORD_TYPES:
            for field, kind in support.integer_fields(type_name):
                owner = [getattr(q, type_name)()]
                ref = owner[0].this
                self.assertTypeError(type_name, support.setter(type_name, field), ref,
                                     Reentrant(7, owner.pop))
                self.assertFalse(owner)

    def test_stream_closed_by_its_own_this(self):
        path = self.path()
        support.write_gzip(path, b"\x01\x00\x02\x00" * 2)
        for write_flag, op, expected in ((0, "read", -1), (1, "write", 0)):
            stream = self.open_stream(path if not write_flag else self.path(), write_flag)
            ref = self.new(STAT)
            closing = ThisProperty(stream, lambda s=stream: flat.qn4tGenericClose(s))
            self.assertEqual(support.flat_function(STAT, op)(ref, closing), expected, op)
            self.assertEqual(flat.qn4tGeneric_StatMod_Stat_Details_stat_get(ref), 0)

    def test_errors_keep_their_order(self):
        # The record is checked before the value is converted and before the stream: a
        # wrong record is reported without running the value's or the stream's code.
        stream = self.open_stream(self.path(), 1)
        wrong = self.record(STAT)
        value = Reentrant(7, lambda: None)
        self.assertTypeError(HEADER, flat.qn4tGeneric_Action_Header_actionID_set, wrong, value)
        self.assertFalse(value.converted)
        probe = ThisProperty(stream, lambda: None)
        self.assertTypeError(HEADER, flat.qn4tGeneric_Action_Header_write, wrong, probe)
        self.assertFalse(probe.read)
        # A value the parser refuses is reported before the record for "h"/"i" kinds.
        self.assertRaises(OverflowError, flat.qn4tGeneric_StatMod_Stat_Details_modAmt_set,
                          self.record(HEADER), 40000)


class StaleReferences(support.TempDirTestCase):
    """A deleted record's pointer string never names another record."""

    def test_issue_example_stale_string_after_new_record(self):
        c = q.qn4tGeneric_Action_Header()
        kept = c.this
        del c
        d = q.qn4tGeneric_Action_Header()
        d.actionID = 5
        self.assertTypeError(HEADER, flat.qn4tGeneric_Action_Header_actionID_set, kept, 77)
        self.assertEqual(d.actionID, 5)

    def test_no_stale_string_resolves_among_many_new_records(self):
        # Enough deletes and creates of every type to fill and leave many pages: any
        # reuse of an address would make some stale string resolve.
        for type_name in support.RECORD_TYPES:
            stale = []
            for _ in xrange(3000):
                record = support.new_record(type_name)
                support.delete_record(type_name, record)
                stale.append(support.pointer_text(record))
            live = [support.pointer_text(self.new(type_name)) for _ in xrange(3000)]
            self.assertFalse(set(stale) & set(live), type_name)
            field = support.integer_fields(type_name)[0][0]
            get = support.getter(type_name, field)
            for ref in stale:
                self.assertRaises(TypeError, get, ref)
                self.assertRaises(TypeError, support.delete_record, type_name, ref)
            for ref in live:
                self.assertEqual(get(ref), 0)

    def test_stale_stream_reference_is_refused_after_a_record_is_deleted(self):
        # Streams and records share the arena: a record's old address names no stream.
        record = support.new_record(DETAIL_HEADER)
        support.delete_record(DETAIL_HEADER, record)
        ref = support.pointer_text(record)
        stream = self.open_stream(self.path(), 1)
        self.assertTrue(support.POINTER_PATTERN.match(stream))
        self.assertTypeError(support.STREAM_TYPE, flat.qn4tGenericEOF,
                             "_" + support.pointer_hex(ref) + support.STREAM_TYPE)


class Threads(support.TempDirTestCase):
    """Threads create, set, delete and misuse records at once; values that switch threads
    in the middle of a call let one thread delete while another converts."""

    THREADS = 4
    ROUNDS = 400
    TIME_LIMIT = 20.0  # seconds: the test stops early rather than run long on a busy machine

    def setUp(self):
        super(Threads, self).setUp()
        if support.PYTHON3:
            saved = sys.getswitchinterval()
            sys.setswitchinterval(1e-6)
            self.addCleanup(sys.setswitchinterval, saved)
        else:
            saved = sys.getcheckinterval()
            sys.setcheckinterval(1)
            self.addCleanup(sys.setcheckinterval, saved)

    def test_create_delete_and_stale_use_in_threads(self):
        shared_stale = []
        failures = []
        deadline = time.time() + self.TIME_LIMIT
        set_id = flat.qn4tGeneric_Action_Header_actionID_set
        get_id = flat.qn4tGeneric_Action_Header_actionID_get

        def yielding(value):
            return Reentrant(value, lambda: time.sleep(0))

        def worker(number):
            mine = []
            try:
                for round_ in xrange(self.ROUNDS):
                    if time.time() > deadline:
                        break
                    ref = flat.new_qn4tGeneric_Action_Header()
                    ident = number * 100000 + round_
                    set_id(ref, yielding(ident))
                    mine.append((ref, ident))
                    for stale in shared_stale[-8:]:
                        try:
                            set_id(stale, yielding(-1))
                            failures.append("a stale string was honoured")
                        except TypeError:
                            pass
                        try:
                            flat.delete_qn4tGeneric_Action_Header(stale)
                            failures.append("a stale string was deleted")
                        except TypeError:
                            pass
                    if len(mine) > 5:
                        old, old_ident = mine.pop(0)
                        if get_id(old) != old_ident:
                            failures.append("a record changed under its thread")
                        flat.delete_qn4tGeneric_Action_Header(old)
                        shared_stale.append(old)
                for ref, ident in mine:
                    if get_id(ref) != ident:
                        failures.append("a record changed under its thread")
                    flat.delete_qn4tGeneric_Action_Header(ref)
            except Exception as error:  # reported below, with the thread's number
                failures.append("thread %d: %r" % (number, error))

        threads = [threading.Thread(target=worker, args=(n,)) for n in range(self.THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(failures, [])
        self.assertTrue(shared_stale)


class Memory(unittest.TestCase):
    """Creating and deleting records in a loop keeps the process's memory flat."""

    CYCLES = 150000  # 12 MB of action headers, were their memory never given back
    LIMIT = 4 << 20

    @staticmethod
    def resident_bytes():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    @unittest.skipUnless(os.path.exists("/proc/self/statm"), "needs /proc")
    @support.skip_under_memory_tools
    def test_create_delete_loop_keeps_memory_flat(self):
        new, delete = flat.new_qn4tGeneric_Action_Header, flat.delete_qn4tGeneric_Action_Header
        for _ in xrange(1000):  # warm the interpreter's own caches
            delete(new())
        before = self.resident_bytes()
        for _ in xrange(self.CYCLES):
            delete(new())
        for _ in xrange(self.CYCLES // 3):
            q.qn4tGeneric_Action_Header()
        grown = self.resident_bytes() - before
        self.assertLess(grown, self.LIMIT, "%d cycles grew resident memory by %d bytes"
                        % (self.CYCLES + self.CYCLES // 3, grown))


if __name__ == "__main__":
    unittest.main()

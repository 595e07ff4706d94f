"""read_actions and write_actions over file objects that misbehave: a read() that enters the
iterator again or raises StopIteration, threads sharing one iterator, a write() that takes
part of what it is given or answers something that is not a count."""
import errno
import io
import os
import subprocess
import sys
import threading
import time
import unittest

import qn4tGenericActionLoader as q

PY3 = sys.version_info[0] >= 3


def numbered(count):
    return [q.Action(actionID=i, name=b"action %d" % i if PY3 else "action %d" % i,
                     details=[q.Detail(body=q.StatMod(stats=[q.Stat(stat=i % 7)]))])
            for i in range(count)]


def written(actions):
    out = io.BytesIO()
    q.write_actions(out, actions)
    return out.getvalue()


SMALL = written(numbered(3))
# Large enough that reading it takes many calls of read() and many blocks.
MANY = 20000
LARGE = written(numbered(MANY))


class Trickling(io.BytesIO):
    """Gives at most `piece` bytes per read() and lets other threads run first."""

    def __init__(self, data, piece=4096):
        io.BytesIO.__init__(self, data)
        self.piece = piece

    def read(self, size=-1):
        time.sleep(0)
        return io.BytesIO.read(self, min(size, self.piece))


class Reentrant(io.BytesIO):
    """Runs `action(iterator)` from inside its first read()."""

    def __init__(self, data, action):
        io.BytesIO.__init__(self, data)
        self.action = action
        self.iterator = None

    def read(self, size=-1):
        action, self.action = self.action, None
        if action:
            action(self.iterator)
        return io.BytesIO.read(self, size)


class ReentrantSources(unittest.TestCase):
    def reading(self, action, data=SMALL):
        source = Reentrant(data, action)
        source.iterator = q.read_actions(source)
        return source.iterator

    def test_entering_the_running_iterator_again_is_refused(self):
        entries = [
            ("drains it", list),
            ("asks for one action", next),
            ("reads its offset, then drains it", lambda it: (it.offset, list(it))),
        ]
        for name, action in entries:
            with self.assertRaises(ValueError) as caught:
                list(self.reading(action))
            self.assertIn("already executing", str(caught.exception), name)

    def test_a_refused_entry_that_is_caught_leaves_the_reading_whole(self):
        refused = []

        def enter(iterator):
            try:
                next(iterator)
            except ValueError as error:
                refused.append(str(error))
        got = list(self.reading(enter))
        self.assertEqual((got, len(refused)), (numbered(3), 1))

    def test_another_iterator_read_inside_read_works(self):
        inner = []
        got = list(self.reading(lambda it: inner.extend(q.read_actions(io.BytesIO(LARGE)))))
        self.assertEqual((got, len(inner), inner[-1]), (numbered(3), MANY, numbered(MANY)[-1]))

    def test_dropping_every_other_reference_inside_read(self):
        holder = []
        source = Reentrant(SMALL, lambda it: holder.pop())
        holder.append(q.read_actions(source))
        self.assertEqual(next(holder[0]), numbered(1)[0])

    def test_errors_of_read_come_through_and_stop_iteration_is_not_the_end(self):
        cases = [
            (StopIteration, RuntimeError, "raised StopIteration"),
            (KeyError, KeyError, ""),
            (ValueError, ValueError, ""),
        ]
        for raised, expected, message in cases:
            class Failing(io.BytesIO):
                calls = 0

                def read(self, size=-1):
                    Failing.calls += 1
                    if Failing.calls == 3:  # after a few complete actions
                        raise raised()
                    return io.BytesIO.read(self, 64)
            got = []
            with self.assertRaises(expected) as caught:
                for action in q.read_actions(Failing(LARGE)):
                    got.append(action)
            self.assertIn(message, str(caught.exception))
            self.assertEqual(got, numbered(len(got)))
            self.assertLess(len(got), MANY)


class SharedIterators(unittest.TestCase):
    """Threads that share one iterator get actions or ValueError, never a crash, and each
    action once; threads with their own iterators each get every action."""

    def run_threads(self, count, work):
        threads = [threading.Thread(target=work, args=(i,)) for i in range(count)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
        self.assertFalse(any(thread.is_alive() for thread in threads))

    def test_threads_sharing_one_iterator(self):
        for source in (Trickling(LARGE), Trickling(LARGE, piece=1 << 20)):
            shared = q.read_actions(source)
            seen, refused, failures = [], [], []

            def work(_):
                try:
                    while True:
                        try:
                            seen.append(next(shared).actionID)
                        except ValueError as error:
                            refused.append(str(error))
                except StopIteration:
                    pass
                except Exception as error:  # reported below, not lost in the thread
                    failures.append(error)
            self.run_threads(3, work)
            self.assertEqual(failures, [])
            self.assertEqual(sorted(seen), list(range(MANY)))
            self.assertEqual(set(refused) - {"read_actions iterator already executing"}, set())

    def test_threads_with_their_own_iterators(self):
        results = {}

        def work(i):
            results[i] = [a.actionID for a in q.read_actions(Trickling(LARGE, piece=1 << 16))]
        self.run_threads(3, work)
        self.assertEqual(results, dict((i, list(range(MANY))) for i in range(3)))


    def test_the_interpreter_ends_while_daemon_threads_read_or_write(self):
        # A thread that let the interpreter lock go in native code would be ended by the
        # interpreter's shutdown in the middle of it: neither reading nor writing may abort.
        work = {
            "read": "        for action in q.read_actions(io.BytesIO(data.getvalue())): pass",
            "write": "        q.write_actions(io.BytesIO(), actions, threads=2)",
        }
        for name, step in sorted(work.items()):
            script = "\n".join([
                "import io, threading, qn4tGenericActionLoader as q",
                "data = io.BytesIO()",
                "actions = [q.Action(actionID=i, desc=b'x' * 200) for i in range(50000)]",
                "q.write_actions(data, actions)",
                "def work():",
                "    while True:",
                step,
                "for _ in range(3):",
                "    threading.Thread(target=work, daemon=True).start()" if PY3 else
                "    t = threading.Thread(target=work); t.daemon = True; t.start()",
                "import time; time.sleep(0.3)",
            ])
            for _ in range(3):
                process = subprocess.Popen([sys.executable, "-c", script], stderr=subprocess.PIPE)
                error = process.communicate()[1]
                # Python 2.7 may print what its daemon threads raise once the module's
                # globals are gone; an abort is what must never happen.
                self.assertEqual(process.returncode, 0, (name, error))
                self.assertNotIn(b"terminate", error, name)


class Sink(object):
    """Keeps what write() is given; answers with `answer(offered)` and keeps that many bytes
    (all of them for None)."""

    def __init__(self, answer):
        self.answer = answer
        self.data = b""

    def write(self, data):
        data = memoryview(data).tobytes()
        taken = self.answer(len(data))
        self.data += data if taken is None else data[:taken if isinstance(taken, int) else 0]
        return taken


class RawSink(io.RawIOBase):
    def writable(self):
        return True

    def write(self, data):
        return None  # would block


class ShortWrites(unittest.TestCase):
    def test_what_write_takes_in_part_is_finished(self):
        sinks = [
            ("ten bytes a call", lambda offered: min(offered, 10)),
            ("one byte less than offered", lambda offered: max(offered - 1, 1)),
            ("None: all of it", lambda offered: None),
        ]
        for name, answer in sinks:
            for actions in (numbered(1), numbered(300)):
                sink = Sink(answer)
                self.assertEqual(q.write_actions(sink, actions), len(actions), name)
                self.assertEqual(sink.data, written(actions), name)

    def test_a_write_that_takes_nothing_or_answers_no_count_raises(self):
        answers = [
            (lambda offered: 0, "took none of"),
            (lambda offered: -1, "said it took -1 of"),
            (lambda offered: offered + 1, "said it took"),
            (lambda offered: "all", "returned str, not the number of bytes it took"),
            (lambda offered: float(offered), "returned float"),
        ]
        for answer, message in answers:
            with self.assertRaises(IOError) as caught:
                q.write_actions(Sink(answer), numbered(2))
            self.assertIn("the file's write() " + message, str(caught.exception))
        with self.assertRaises(IOError) as caught:
            q.write_actions(RawSink(), numbered(2))
        self.assertIn("(None: it would block)", str(caught.exception))

    @unittest.skipUnless(os.path.exists("/dev/full"), "needs /dev/full")
    def test_a_full_device_raises(self):
        with io.open("/dev/full", "wb", buffering=0) as full:
            with self.assertRaises(IOError) as caught:
                q.write_actions(full, numbered(1))
        self.assertEqual(caught.exception.errno, errno.ENOSPC)


if __name__ == "__main__":
    unittest.main()

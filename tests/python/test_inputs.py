"""Inputs read as they are: an action file named by a pipe (<(...), /dev/stdin, /dev/fd/N), a
FIFO or a device gives the tool and the package what a regular file of the same bytes gives,
read once and within a time limit; an input of no bytes is never a clean file of 0 actions."""
from __future__ import print_function, division

import io
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import unittest

from test_actiontool import (EXAMPLE, TOOL, ToolTestCase, action, damage, gunzip, gzipped,
                             healing, statmod)
import support

import qn4tGenericActionLoader as q

NAMES = os.path.join(os.path.dirname(EXAMPLE), "names.json")

TIME_LIMIT = 30  # seconds for one run of the tool; a run that waits on a second open hangs


class TimeLimit(BaseException):
    """A run of the tool took longer than TIME_LIMIT (not an Exception: the tool's own
    handlers must not take it)."""


def _commands(other, patch):
    """(command, its arguments with INPUT where the input goes and $D for the run's folder,
    the outputs it writes): every command that reads an action file by name."""
    return [
        ("dump", ["dump", "INPUT"], []),
        ("export", ["export", "INPUT", "$D/out.json"], ["out.json"]),
        ("check", ["check", "INPUT"], []),
        ("diff", ["diff", "INPUT", other], []),
        ("html", ["html", "INPUT", "$D/out.html"], []),  # its title is the input's name
        ("sql", ["sql", "INPUT", "SELECT actionID, name FROM actions ORDER BY action_no"], []),
        ("export --csv", ["export", "--csv", "$D/csv", "INPUT"],
         ["csv/actions.csv", "csv/details.csv", "csv/stats.csv"]),
        ("patch", ["patch", "INPUT", patch, "$D/patched.gz"], ["patched.gz"]),
        ("merge", ["merge", other, "INPUT", other, "$D/merged.gz"], ["merged.gz"]),
    ]


class Feeder(threading.Thread):
    """Writes data into a pipe's or FIFO's writing end (opened by open_end() in this thread:
    a FIFO's open waits for its reader), then closes it."""

    def __init__(self, open_end, data):
        threading.Thread.__init__(self)
        self.daemon = True  # one that waits for a reader that never comes is left behind
        self.open_end = open_end
        self.data = data

    def run(self):
        handle = self.open_end()
        try:
            data = self.data
            while data:
                data = data[os.write(handle, data):]
        except OSError:
            pass  # the reader went away
        finally:
            os.close(handle)


class Inputs(object):
    """The kinds of input, each a context giving the name the tool is given for the bytes
    data; the file holding them is source (a regular file, or what the pipe is fed from)."""

    def __init__(self, folder):
        self.folder = folder

    def regular(self, source, data):
        return _Given(source)

    def process_substitution(self, source, data):
        """<(cat f): /dev/fd/N of a pipe."""
        reading, writing = os.pipe()
        Feeder(lambda: writing, data).start()
        return _Given("/dev/fd/%d" % reading, close=[reading])

    def standard_input_pipe(self, source, data):
        """cat f | actiontool ... /dev/stdin: descriptor 0 is a pipe."""
        reading, writing = os.pipe()
        saved = os.dup(0)
        os.dup2(reading, 0)
        os.close(reading)
        Feeder(lambda: writing, data).start()
        return _Given("/dev/stdin", restore=(saved, 0))

    def fifo(self, source, data):
        """mkfifo p; cat f > p &; actiontool ... p"""
        path = os.path.join(self.folder, "fifo")
        os.mkfifo(path)
        Feeder(lambda: os.open(path, os.O_WRONLY), data).start()
        return _Given(path)

    KINDS = [("a regular file", regular), ("<(cat f)", process_substitution),
             ("/dev/stdin from a pipe", standard_input_pipe),
             ("a FIFO with a writer", fifo)]


class _Given(object):
    def __init__(self, name, close=(), restore=None):
        self.name = name
        self.close = close
        self.restore = restore

    def __enter__(self):
        return self.name

    def __exit__(self, *exception):
        for handle in self.close:
            os.close(handle)
        if self.restore is not None:
            os.dup2(*self.restore)
            os.close(self.restore[0])
        return False


class InputKindsTest(ToolTestCase):
    """Each command on each kind of input: the result of the regular file, or its refusal,
    within a time limit."""

    def setUp(self):
        ToolTestCase.setUp(self)
        whole = (action(1, b"One", details=[damage(), statmod()]) +
                 action(2, b"Two", details=[healing()]) + action(3, b"Three"))
        self.contents = [
            # (what, the file's bytes)
            ("a whole file", gzipped(whole)),
            ("an empty input", b""),
            ("a cut file", gzipped(whole)[:40]),
        ]
        self.other = self.action_file(action(1, b"One", details=[damage()]) +
                                      action(4, b"Four"), "other.gz")
        self.patch = self.path("change.json")
        status, out, err = self.run_tool("diff", "--patch",
                                         self.action_file(whole, "for-patch.gz"), self.other)
        self.assertEqual(status, 1, err)
        with io.open(self.patch, "w", encoding="utf-8") as stream:
            stream.write(out)

    def run_with(self, kind, arguments, outputs, data):
        """(status, stdout, stderr, the outputs' bytes) of the tool given the input data as
        kind names it, in a fresh folder; the input's name reads INPUT in the texts."""
        folder = self.path("run")
        shutil.rmtree(folder, True)
        os.mkdir(folder)
        source = os.path.join(folder, "input.gz")
        with open(source, "wb") as stream:
            stream.write(data)
        with kind(Inputs(folder), source, data) as name:
            given = [name if word == "INPUT" else word.replace("$D", folder)
                     for word in arguments]
            previous = signal.signal(signal.SIGALRM, _out_of_time)
            signal.alarm(TIME_LIMIT)
            try:
                status, out, err = self.run_tool(*given)
            except TimeLimit:
                status, out, err = None, "", "no end within %d s" % TIME_LIMIT
            finally:
                signal.alarm(0)
                signal.signal(signal.SIGALRM, previous)
        names = re.compile(r"%s|%s" % (re.escape(name), re.escape(source)))
        return (status, names.sub("INPUT", out), names.sub("INPUT", err),
                dict((output, _read(os.path.join(folder, output))) for output in outputs))

    def test_every_command_gives_what_the_regular_file_gives(self):
        for command, arguments, outputs in _commands(self.other, self.patch):
            for what, data in self.contents:
                expected = self.run_with(Inputs.regular, arguments, outputs, data)
                for title, kind in Inputs.KINDS[1:]:
                    got = self.run_with(kind, arguments, outputs, data)
                    self.assertEqual(got, expected, "%s of %s as %s:\n%r\n%r" % (
                        command, what, title, got, expected))

    def test_nothing_is_never_a_clean_file(self):
        """An input of no bytes: check refuses it; the others say so and go on as with a
        file of no action; an action file written with no action stays valid."""
        for command, arguments, outputs in _commands(self.other, self.patch):
            status, out, err, _ = self.run_with(Inputs.process_substitution, arguments,
                                                outputs, b"")
            if command == "check":
                self.assertEqual(status, 1, err)
                self.assertIn("INPUT: the input is empty (0 bytes, not even a gzip header): "
                              "not an action file", err)
            else:
                self.assertIn("INPUT: warning: the input is empty (0 bytes", err, command)
        status, out, err, _ = self.run_with(Inputs.regular, ["check", "INPUT"], [],
                                            gzipped(b""))
        self.assertEqual(status, 0, err)
        self.assertIn("warning: the file is empty (it holds no action)", err)
        self.assertNotIn("0 bytes", err)


def _out_of_time(number, frame):
    raise TimeLimit()


def _read(path):
    try:
        if path.endswith(".gz"):
            return gunzip(path)
        with open(path, "rb") as stream:
            return stream.read()
    except (IOError, OSError):
        return None


class OutOfMemoryTest(ToolTestCase):
    """Memory running out is one line and the command's status for an error (2 for diff,
    patch and merge), never a traceback, and leaves no output behind."""

    @support.skip_under_memory_tools
    def test_a_small_file_beyond_the_memory_given(self):
        """One stat modification of 2^22 entries (64 KB compressed, 16 MB of entries):
        diff --patch, and export --csv with names (whose rows are made in Python from the
        action's dict form), hold an object per entry, far beyond 256 MB more than they
        start with. (sql and export --csv without names stream the entries natively:
        test_table_rows.)"""
        bomb = self.action_file(action(1, details=[statmod([(0, 0)] * (1 << 22), length=0)]),
                                "bomb.gz")
        small = self.action_file(action(1), "small.gz")
        limit = _address_space_of_a_small_run(small) + (256 << 20)
        for arguments, status in [(["diff", "--patch", small, bomb], 2),
                                  (["export", "--csv", self.path("csv"), "--names",
                                    NAMES, bomb], 1)]:
            proc = subprocess.Popen([sys.executable, TOOL] + arguments,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    preexec_fn=lambda: _limit_address_space(limit))
            out, err = proc.communicate()
            err = err.decode("utf-8")
            self.assertEqual(proc.returncode, status, "%s under %d MB: %s %s" % (
                arguments[0], limit >> 20, err, out[-200:]))
            self.assertEqual(err.splitlines(), ["actiontool: out of memory (%s needs more "
                                                "than the system gives); no output file is "
                                                "left behind" % arguments[0]])
        self.assertEqual(self.leftovers("bomb.gz", "small.gz"), [])


def _address_space_of_a_small_run(small):
    """The peak virtual size of the tool checking a small file: what it needs to start."""
    proc = subprocess.Popen([sys.executable, "-c", SHOW_PEAK, sys.executable, TOOL, "check",
                             small], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, _ = proc.communicate()
    return int(out.split()[-1]) << 10


# Runs a command, then prints the peak virtual size (VmPeak, kB) it reached: read from /proc
# while the command's process is a zombie, before it is waited for.
SHOW_PEAK = """
import os, subprocess, sys, time
proc = subprocess.Popen(sys.argv[1:], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
peak = 0
while proc.poll() is None:
    try:
        with open("/proc/%d/status" % proc.pid) as status:
            for line in status:
                if line.startswith("VmPeak:"):
                    peak = max(peak, int(line.split()[1]))
    except IOError:
        pass
    time.sleep(0.01)
print(peak)
"""


def _limit_address_space(size):
    import resource
    resource.setrlimit(resource.RLIMIT_AS, (size, size))


class PackageInputsTest(ToolTestCase):
    """read_actions, diff_actions and the table readers given a pipe or a FIFO by name."""

    ACTIONS = [q.Action(actionID=1, name=b"One", details=[q.Detail(type=1, body=q.Damage(
        base=3))]), q.Action(actionID=2, name=b"Two")]

    def named_pipe(self, data):
        """/dev/fd/N of a pipe that data is written into (the name bash's <(...) gives)."""
        reading, writing = os.pipe()
        self.addCleanup(_close_quietly, reading)
        Feeder(lambda: writing, data).start()
        return "/dev/fd/%d" % reading

    def fifo(self, data, name="fifo"):
        path = self.path(name)
        _remove_quietly(path)  # the FIFO of an earlier read
        os.mkfifo(path)
        Feeder(lambda: os.open(path, os.O_WRONLY), data).start()
        return path

    def test_read_diff_and_tables_through_pipes(self):
        regular = self.path("actions.gz")
        q.write_actions(regular, self.ACTIONS)
        with open(regular, "rb") as stream:
            data = stream.read()
        changed = [q.Action(actionID=1, name=b"Uno")]
        expected_patch = q.diff_actions(self.ACTIONS, changed).to_dict()
        for title, name in [("a pipe by /dev/fd", lambda: self.named_pipe(data)),
                            ("a FIFO", lambda: self.fifo(data))]:
            self.assertEqual(list(q.read_actions(name())), self.ACTIONS, title)
            self.assertEqual(q.diff_actions(list(q.read_actions(name())), changed).to_dict(),
                             expected_patch, title)
            self.assertEqual(q.tables.rows(q.read_actions(name())),
                             q.tables.rows(self.ACTIONS), title)
        folder = self.path("csv")
        os.mkdir(folder)
        q.to_csv(self.ACTIONS, folder)
        fed = self.path("fed")
        os.mkdir(fed)
        for table in q.tables.TABLES:
            with open(os.path.join(folder, table + ".csv"), "rb") as stream:
                self.fifo(stream.read(), os.path.join("fed", table + ".csv"))
        self.assertEqual(q.from_csv(fed), self.ACTIONS)


def _close_quietly(handle):
    try:
        os.close(handle)
    except OSError:
        pass


def _remove_quietly(path):
    try:
        os.remove(path)
    except OSError:
        pass


if __name__ == "__main__":
    unittest.main()

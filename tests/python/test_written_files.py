"""The files write_actions writes at a path: no temporary file outlives a signal that ends the
process whichever thread writes, special files reached through links are written in place,
and refused paths are reported by the name the caller gave with the system's reason."""
import errno
import io
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import unittest

import qn4tGenericActionLoader as q

PY3 = sys.version_info[0] >= 3

ACTIONS = [q.Action(actionID=7, name="Spark",
                    details=[q.Detail(body=q.Damage(base=4)),
                             q.Detail(body=q.StatMod(stats=[q.Stat(stat=3, modAmt=-2)]))]),
           q.Action(actionID=8, name="Mend", actionType=2, spellCode=b"MND\0")]

# A child that writes ACTIONS-like data to argv[1] from a source that says "ready" on stdout
# once the write has begun (its temporary file exists), then never ends. argv[2] says which
# thread writes; the main thread of a child whose worker writes waits in a way Python can
# interrupt on both hosts.
SLOW_WRITER = r"""
import signal, sys, threading, time
# As a program started from a terminal has them, whatever this test was started with (nohup).
signal.signal(signal.SIGTERM, signal.SIG_DFL)
signal.signal(signal.SIGHUP, signal.SIG_DFL)
signal.signal(signal.SIGINT, signal.default_int_handler)
import qn4tGenericActionLoader as q

def source():
    yield q.Action(actionID=1, name="first")
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    time.sleep(120)  # long past the test's signal
    yield q.Action(actionID=2)

def write():
    q.write_actions(sys.argv[1], source())

if sys.argv[2] == "main":
    write()
else:
    worker = threading.Thread(target=write)
    worker.daemon = True  # the process may end while it writes: nothing may stay behind
    try:
        worker.start()
        while worker.is_alive():
            worker.join(0.05)
    except KeyboardInterrupt:
        sys.exit(130)
"""


class Scratch(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="qn4t-written-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, name):
        return os.path.join(self.dir, name)


class Signals(Scratch):
    def test_no_temporary_file_outlives_a_signal_that_ends_the_process(self):
        cases = [  # (thread that writes, signal, how the process ends)
            ("worker", signal.SIGTERM, -signal.SIGTERM),
            ("worker", signal.SIGHUP, -signal.SIGHUP),
            ("worker", signal.SIGINT, 130),  # KeyboardInterrupt, handled by the child
            ("main", signal.SIGTERM, 128 + signal.SIGTERM),  # Terminated unwinds
            ("main", signal.SIGHUP, 128 + signal.SIGHUP),
        ]
        for where, number, status in cases:
            target = self.path("out-%s-%d.gz" % (where, number))
            child = subprocess.Popen([sys.executable, "-c", SLOW_WRITER, target, where],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            if child.stdout.readline() != b"ready\n":
                self.fail("the child did not start writing: %r" % (child.communicate(),))
            self.assertEqual(len(os.listdir(self.dir)), 1, (where, number))  # the .part file
            child.send_signal(number)
            _, err = child.communicate()
            self.assertEqual(child.returncode, status, (where, number, err))
            self.assertNotIn(b"Traceback", err, (where, number))
            self.assertEqual(os.listdir(self.dir), [], (where, number))


class SpecialFilesThroughLinks(Scratch):
    def read_all_in_background(self, open_reader):
        received = []

        def read():
            with open_reader() as stream:
                received.append(stream.read())
        reader = threading.Thread(target=read)
        reader.start()
        return reader, received

    def assertCarriesTheActions(self, data, name):
        self.assertEqual(list(q.read_actions(io.BytesIO(data))), ACTIONS, name)

    def test_a_pipe_named_by_a_descriptor_link_or_a_link_to_a_fifo_is_written_in_place(self):
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        os.symlink(fifo, self.path("link-to-fifo"))
        read_end, write_end = os.pipe()
        self.addCleanup(os.close, read_end)
        cases = [  # (name written, how the bytes are read)
            ("/proc/self/fd/%d" % write_end, lambda: io.open(read_end, "rb", closefd=False)),
            (self.path("link-to-fifo"), lambda: io.open(fifo, "rb")),
        ]
        for name, open_reader in cases:
            if not os.path.exists(name):
                continue  # no /proc here
            reader, received = self.read_all_in_background(open_reader)
            self.assertEqual(q.write_actions(name, ACTIONS), len(ACTIONS))
            if name.startswith("/proc"):
                os.close(write_end)  # the reader sees the end of the pipe
            reader.join(60)
            self.assertCarriesTheActions(received[0], name)
        self.assertEqual(sorted(os.listdir(self.dir)), ["fifo", "link-to-fifo"])

    def test_standard_output_that_is_a_pipe_is_written_by_its_name(self):
        script = ("import qn4tGenericActionLoader as q; "
                  "q.write_actions('/dev/stdout', [q.Action(actionID=7, name='Spark')])")
        child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, cwd=self.dir)
        out, err = child.communicate()
        self.assertEqual(child.returncode, 0, err)
        self.assertEqual(list(q.read_actions(io.BytesIO(out))),
                         [q.Action(actionID=7, name="Spark")])
        self.assertEqual(os.listdir(self.dir), [])


class RefusedPaths(Scratch):
    def test_refusals_name_the_path_given_with_the_systems_reason(self):
        with open(self.path("file.gz"), "wb") as f:
            f.write(b"kept")
        os.mkdir(self.path("folder"))
        cases = [  # (path given, errno)
            ("missing/", errno.EISDIR),  # never a file named "missing"
            ("folder", errno.EISDIR),
            ("folder/", errno.EISDIR),
            ("file.gz/", errno.ENOTDIR),
            ("no/such/out.gz", errno.ENOENT),  # named as given, not its temporary file
            ("no/such/", errno.ENOENT),
        ]
        for name, number in cases:
            for given in (self.path(name), self.path(name).encode("ascii")):
                with self.assertRaises(EnvironmentError) as caught:
                    q.write_actions(given, ACTIONS)
                self.assertEqual((caught.exception.errno, caught.exception.filename),
                                 (number, given), given)
                self.assertEqual(caught.exception.strerror, os.strerror(number))
        self.assertEqual(sorted(os.listdir(self.dir)), ["file.gz", "folder"])
        self.assertEqual(os.listdir(self.path("folder")), [])
        with open(self.path("file.gz"), "rb") as f:
            self.assertEqual(f.read(), b"kept")

    def test_bytes_paths_are_written_and_read(self):
        names = [self.path("plain.gz").encode("ascii"),
                 self.path("link.gz").encode("ascii"),
                 os.path.join(self.dir.encode("ascii"), b"\xff\xfe-not-utf-8.gz")]
        os.symlink("plain.gz", names[1])
        for name in names:
            self.assertEqual(q.write_actions(name, ACTIONS), len(ACTIONS), name)
            self.assertEqual(list(q.read_actions(name)), ACTIONS, name)
        self.assertEqual(sorted(os.listdir(self.dir.encode("ascii"))),
                         sorted(os.path.basename(n) for n in names))
        self.assertTrue(os.path.islink(names[1]))


# Run as root in a mount namespace of its own: a tmpfs holding one file, made read-only.
READ_ONLY_CHILD = r"""
set -e
mount -t tmpfs -o size=1m qn4t-test "$1"
echo kept > "$1/existing.gz"
mount -o remount,ro "$1"
exec "$2" -c '
import sys, qn4tGenericActionLoader as q
for name in ("existing.gz", "new.gz"):
    path = sys.argv[1] + "/" + name
    try:
        q.write_actions(path, [])
        print("written " + path)
    except EnvironmentError as error:
        print("%s|%s|%s" % (error.errno, error.strerror, error.filename))
' "$1"
"""


class ReadOnlyFileSystem(Scratch):
    def test_a_read_only_file_system_is_reported_as_such(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to mount a read-only file system")
        mount_point = self.path("mounted")
        os.mkdir(mount_point)
        try:
            child = subprocess.Popen(["unshare", "-m", "--propagation", "private", "sh", "-c",
                                      READ_ONLY_CHILD, "sh", mount_point, sys.executable],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        except OSError as error:
            self.skipTest("cannot run unshare: %s" % error)
        out, err = child.communicate()
        if child.returncode != 0 and b"Traceback" not in err:
            self.skipTest("cannot mount a file system in a namespace of its own here: %s"
                          % err.decode("utf-8", "replace").strip())
        self.assertEqual(child.returncode, 0, err)
        expected = ["%d|%s|%s/%s" % (errno.EROFS, os.strerror(errno.EROFS), mount_point, name)
                    for name in ("existing.gz", "new.gz")]
        self.assertEqual(out.decode("utf-8").splitlines(), expected)


if __name__ == "__main__":
    unittest.main()

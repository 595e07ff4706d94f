"""How this package and its tools write files: an output is replaced only when complete."""
import contextlib
import errno
import io
import os
import shutil
import signal
import stat
import tempfile

TEMP_SUFFIX = ".part"
_COPY_CHUNK = 1 << 20

# Signals whose default action ends the process on the spot. While a temporary file exists
# they unwind the stack instead (when nobody else handles them), so that it is removed.
_ENDING_SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP", "SIGINT",
                                                           "SIGPIPE")
                        if hasattr(signal, name))


class OutputIsInput(ValueError):
    """The output named is the same file as an input (the same file, not merely the same
    name): writing it would destroy what is being read. Raised before anything is written."""

    def __init__(self, output, source):
        ValueError.__init__(self, "%s is the same file as the input %s"
                            % (_name(output), _name(source)))
        self.output = output
        self.source = source


class Terminated(SystemExit):
    """A signal (SIGTERM, SIGHUP, ...) ended the process while a file was being written; the
    temporary file has been removed on the way out. Exits with status 128 + the signal's
    number unless caught; signal_number says which signal it was."""

    def __init__(self, signal_number):
        SystemExit.__init__(self, 128 + signal_number)
        self.signal_number = signal_number


@contextlib.contextmanager
def replacing(target, inputs=()):
    """Yields the path of an empty temporary file (a regular file) to write the new content
    of target to, with any writer, the record stream included. When the block ends without
    an exception, the content goes to target:

    - a path to a regular file, or to nothing yet: the temporary file lies beside it, is
      flushed to the disk, given the permissions and owner of the file it replaces (or those
      of a new file), and renamed over it: all or nothing. A symbolic link is followed: its
      target is replaced and the link kept.
    - a path to a device, FIFO or other special file: the content is written into it in
      place; it is never replaced by a regular file.
    - a writable binary file object (standard output): the content is copied into it.

    When the block raises, target is left as it was. The temporary file is removed on every
    way out; SIGTERM, SIGHUP, SIGINT and SIGPIPE, while they have their default action, raise
    Terminated so that it is. Raises OutputIsInput when target is the same file as one of
    inputs (paths, or file objects with a file descriptor), IOError/OSError with the system's
    errno when target cannot be written (EISDIR for a directory, EACCES for a file this
    process may not write)."""
    destination = _Destination(target)
    destination.refuse_inputs(inputs)
    with _unwinding_on_signals() as signals:
        temp_path = None
        published = False
        try:
            with signals.deferred():
                temp_path = destination.new_temporary()
            yield temp_path
            destination.publish(temp_path)
            published = destination.renames
        finally:
            if temp_path is not None and not published:
                _remove_quietly(temp_path)


@contextlib.contextmanager
def writing(target, inputs=()):
    """replacing() for a writer that wants a file object: yields a binary file open on the
    temporary file, closed before the content goes to target."""
    with replacing(target, inputs) as temp_path:
        with io.open(temp_path, "wb") as out:
            yield out


@contextlib.contextmanager
def readable_path(source):
    """Yields a path holding the bytes of source: source itself when it is a path; for a
    readable binary file object (standard input) a temporary copy, for readers that take only
    a path (the record stream), removed on every way out as replacing() removes its own.
    Raises IOError/OSError when the copy cannot be made."""
    if not hasattr(source, "read"):
        yield source
        return
    with _unwinding_on_signals() as signals:
        with signals.deferred():
            handle, temp_path = tempfile.mkstemp(prefix="qn4t-input.", suffix=TEMP_SUFFIX)
        try:
            with io.open(handle, "wb") as out:
                shutil.copyfileobj(source, out, _COPY_CHUNK)
            yield temp_path
        finally:
            _remove_quietly(temp_path)


class _Destination(object):
    """Where replacing() sends its content, looked at once before writing starts."""

    def __init__(self, target):
        self.target = target
        self.stream = target if hasattr(target, "write") else None
        self.path = None if self.stream is not None else os.path.realpath(target)
        self.status = self._status()
        if self.status is not None and stat.S_ISDIR(self.status.st_mode):
            raise _error(errno.EISDIR, target)
        self.special = self.status is not None and not stat.S_ISREG(self.status.st_mode)
        self.renames = self.path is not None and not self.special
        if self.renames and self.status is not None and not os.access(self.path, os.W_OK):
            raise _error(errno.EACCES, target)  # replacing it would defeat its protection

    def _status(self):
        if self.stream is not None:
            try:
                return os.fstat(self.stream.fileno())
            except (AttributeError, IOError, OSError, ValueError):
                return None  # an object in memory
        try:
            return os.stat(self.path)
        except OSError as error:
            if error.errno != errno.ENOENT:
                raise
            return None

    def refuse_inputs(self, inputs):
        """Only a regular file can be destroyed by writing it; a device or FIFO named both
        ways is the user's business."""
        if self.status is None or not stat.S_ISREG(self.status.st_mode):
            return
        for source in inputs:
            status = _status_of(source)
            if status is not None and os.path.samestat(status, self.status):
                raise OutputIsInput(self.target, source)

    def new_temporary(self):
        """An empty file, readable and writable by this process only until published: beside
        the target when it is renamed (the rename must stay on one file system), else in the
        system's temporary directory."""
        if self.renames:
            directory, name = os.path.split(self.path)
            prefix = "." + name + "."
        else:
            directory = None
            prefix = "qn4t-output."
        handle, temp_path = tempfile.mkstemp(prefix=prefix, suffix=TEMP_SUFFIX, dir=directory)
        os.close(handle)
        return temp_path

    def publish(self, temp_path):
        if self.renames:
            _rename_over(temp_path, self.path)
        elif self.stream is not None:
            with io.open(temp_path, "rb") as source:
                shutil.copyfileobj(source, self.stream, _COPY_CHUNK)
            self.stream.flush()
        else:
            self._write_in_place(temp_path)

    def _write_in_place(self, temp_path):
        # No O_CREAT and no O_TRUNC: a special file that vanished is not replaced by a
        # regular one, and a device is not asked to truncate.
        handle = os.open(self.path, os.O_WRONLY)
        with io.open(handle, "wb") as out:
            with io.open(temp_path, "rb") as source:
                shutil.copyfileobj(source, out, _COPY_CHUNK)


def _rename_over(temp_path, path):
    """Gives the finished temporary file the permissions and owner of the file it replaces (a
    new file gets the usual mode under the umask), puts it on the disk and renames it."""
    try:
        status = os.stat(path)
    except OSError as error:
        if error.errno != errno.ENOENT:
            raise
        status = None
    if status is None:
        mode = 0o666 & ~_umask()
    else:
        mode = stat.S_IMODE(status.st_mode)
        _keep_owner(temp_path, status)
    os.chmod(temp_path, mode)  # after the owner: chown clears the set-id bits
    _fsync(temp_path, os.O_RDONLY)
    os.rename(temp_path, path)
    try:
        _fsync(os.path.dirname(path), os.O_RDONLY)  # the rename itself
    except OSError:
        pass  # a file system that cannot sync a directory still has the file


def _keep_owner(temp_path, status):
    mine = os.stat(temp_path)
    if (mine.st_uid, mine.st_gid) == (status.st_uid, status.st_gid):
        return
    try:
        os.chown(temp_path, status.st_uid, status.st_gid)
    except OSError as error:
        if error.errno != errno.EPERM:
            raise  # without the privilege the new file is ours, as any rewrite would be


def _fsync(path, flags):
    handle = os.open(path, flags)
    try:
        os.fsync(handle)
    finally:
        os.close(handle)


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _status_of(source):
    """The os.stat of an input path or of an input file object's descriptor; None when there
    is none (a missing file is for its reader to report)."""
    try:
        if hasattr(source, "fileno"):
            return os.fstat(source.fileno())
        return os.stat(source)
    except (AttributeError, IOError, OSError, ValueError):
        return None


class _Unwinding(object):
    """While installed, an ending signal that would kill the process outright raises
    Terminated instead, so that every finally clause runs; inside deferred() it waits until
    the block's end (a temporary file being made has no name to remove yet)."""

    def __init__(self):
        self.saved = {}
        self.deferring = False
        self.pending = None

    def install(self):
        try:
            for number in _ENDING_SIGNALS:
                if signal.getsignal(number) == signal.SIG_DFL:
                    self.saved[number] = signal.signal(number, self._unwind)
        except ValueError:
            pass  # not the main thread: signals can be handled only there

    def restore(self):
        for number, handler in self.saved.items():
            signal.signal(number, handler)

    def _unwind(self, signal_number, frame):
        if self.deferring:
            self.pending = signal_number
            return
        for number in self.saved:
            signal.signal(number, signal.SIG_IGN)  # a second one must not cut the cleanup short
        raise Terminated(signal_number)

    @contextlib.contextmanager
    def deferred(self):
        self.deferring = True
        try:
            yield
        finally:
            self.deferring = False
        if self.pending is not None:
            self._unwind(self.pending, None)


@contextlib.contextmanager
def _unwinding_on_signals():
    """Yields an _Unwinding installed for the block."""
    unwinding = _Unwinding()
    unwinding.install()
    try:
        yield unwinding
    finally:
        unwinding.restore()


def _remove_quietly(path):
    try:
        os.remove(path)
    except OSError:
        pass  # never created, or already gone


def _error(number, target):
    return IOError(number, os.strerror(number), _name(target))


def _name(target):
    return getattr(target, "name", target)

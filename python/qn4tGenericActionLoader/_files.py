"""How this package and its tools write files: an output is replaced only when complete."""
import contextlib
import errno
import io
import os
import shutil
import signal
import stat
import sys
import tempfile
import threading

TEMP_SUFFIX = ".part"
_COPY_CHUNK = 1 << 20
_SIGPIPE = getattr(signal, "SIGPIPE", None)
_ST_RDONLY = getattr(os, "ST_RDONLY", 1)  # statvfs's read-only flag (Python 2.7 has no name)

# Signals that end the process when nobody handles them (SIGINT by KeyboardInterrupt). The
# temporary files of every thread are removed before they do.
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
    """A signal (SIGTERM, SIGHUP, ...) ends the process while a file is being written: raised
    in the main thread when it writes, and in another thread whose write was abandoned; the
    temporary files have been removed. Exits with status 128 + the signal's number unless
    caught; signal_number says which signal it was."""

    def __init__(self, signal_number):
        SystemExit.__init__(self, 128 + signal_number)
        self.signal_number = signal_number


@contextlib.contextmanager
def replacing(target, inputs=()):
    """Yields the path of an empty temporary file (a regular file) to write the new content
    of target to, with any writer, the record stream included. When the block ends without
    an exception, the content goes to target:

    - a path (str, or bytes as the file system names files) to a regular file, or to nothing
      yet: the temporary file lies beside it, is flushed to the disk, given the permissions
      and owner of the file it replaces (or those of a new file), and renamed over it: all or
      nothing. A symbolic link to a regular file is followed: its target is replaced and the
      link kept.
    - a path to a device, FIFO or other special file, also through a symbolic link
      (/dev/stdout, /proc/self/fd/1): the content is written into it in place, opened by the
      name given; it is never replaced by a regular file.
    - a writable binary file object (standard output): the content is copied into it.

    When the block raises, target is left as it was. The temporary file is removed on every
    way out, and by the signals that end the process, whichever thread writes (see
    _Temporaries): in the main thread SIGTERM and SIGHUP raise Terminated, SIGINT
    KeyboardInterrupt; another thread's write ends with Terminated. Raises OutputIsInput when
    target is the same file as one of inputs (paths, or file objects with a file
    descriptor), IOError/OSError with the system's errno and target's name as given when
    target cannot be written: EISDIR for a directory or a name ending in "/", ENOTDIR for a
    name ending in "/" that is a file, EACCES for a file this process may not write, EROFS on
    a read-only file system."""
    with _TEMPORARIES.block():
        with _naming(target):
            destination = _Destination(target)
            destination.refuse_inputs(inputs)
            temp_path = _TEMPORARIES.create(destination.new_temporary)
        published = False
        try:
            with _naming(target, temp_path):
                yield temp_path
            with _naming(target):
                _TEMPORARIES.publish(temp_path, destination)
            published = destination.renames
        finally:
            _TEMPORARIES.discard(temp_path, remove=not published)


@contextlib.contextmanager
def writing(target, inputs=()):
    """replacing() for a writer that wants a file object: yields a binary file open on the
    temporary file, closed before the content goes to target."""
    with replacing(target, inputs) as temp_path:
        with io.open(temp_path, "wb") as out:
            yield out


@contextlib.contextmanager
def readable_path(source):
    """Yields a path holding the bytes of source, for readers that open it more than once
    (to tell gzip from plain records, to place damage, to walk it again):

    - a path to a regular file (or to nothing, or a folder: its reader reports that): the
      path itself, which gives the same bytes at every open;
    - a path to anything that gives its bytes once (a pipe, a FIFO, /dev/stdin or /dev/fd/N
      on a pipe, a character device, a socket): a temporary copy of what one open of it
      reads to its end;
    - a readable binary file object (standard input): a temporary copy of what it holds.

    A copy is removed on every way out, as replacing() removes its own files, and by the
    signals that end the process. Raises IOError/OSError when the source cannot be opened or
    read (naming the source) or the copy cannot be written."""
    if not hasattr(source, "read") and not gives_bytes_once(source):
        yield source
        return
    with _TEMPORARIES.block():
        temp_path = _TEMPORARIES.create(_new_input_copy)
        try:
            _copy_once(source, temp_path)
            yield temp_path
        finally:
            _TEMPORARIES.discard(temp_path)


@contextlib.contextmanager
def scratch_file(prefix, suffix):
    """Yields the path of a new empty temporary file, removed on every way out, as
    readable_path() removes its copy, and by the signals that end the process."""
    with _TEMPORARIES.block():
        temp_path = _TEMPORARIES.create(lambda: _new_temporary(prefix, suffix))
        try:
            yield temp_path
        finally:
            _TEMPORARIES.discard(temp_path)


def _new_temporary(prefix, suffix):
    handle, temp_path = tempfile.mkstemp(prefix=prefix, suffix=suffix)
    os.close(handle)
    return temp_path


def gives_bytes_once(path):
    """True when what path names cannot be read again from its start: anything but a
    regular file, a folder or a block device. False for a name that does not exist (for
    its reader to report)."""
    try:
        mode = os.stat(_os_path(path)).st_mode
    except (OSError, TypeError, ValueError):
        return False
    return not (stat.S_ISREG(mode) or stat.S_ISDIR(mode) or stat.S_ISBLK(mode))


def _copy_once(source, temp_path):
    """Copies everything source gives, opened once when it is a path, into temp_path."""
    if hasattr(source, "read"):
        with io.open(temp_path, "wb") as out:
            shutil.copyfileobj(source, out, _COPY_CHUNK)
        return
    with io.open(source, "rb") as given:  # a FIFO waits here for its writer, as it should
        with io.open(temp_path, "wb") as out:
            shutil.copyfileobj(given, out, _COPY_CHUNK)


def _new_input_copy():
    handle, temp_path = tempfile.mkstemp(prefix="qn4t-input.", suffix=TEMP_SUFFIX)
    os.close(handle)
    return temp_path


class _Destination(object):
    """Where replacing() sends its content, looked at once before writing starts. The name
    given is looked at through its links: a special file is written by that name (the
    name a magic link such as /proc/self/fd/1 resolves to is no path), a regular file is
    renamed over where the links lead."""

    def __init__(self, target):
        self.target = target
        self.stream = target if hasattr(target, "write") else None
        given = None if self.stream is not None else _os_path(target)
        self.status = self._status(given)
        if self.status is not None and stat.S_ISDIR(self.status.st_mode):
            raise _error(errno.EISDIR, target)
        if given is not None and given.endswith(os.sep):
            _refuse_folder_name(given, target)
        self.special = self.status is not None and not stat.S_ISREG(self.status.st_mode)
        self.renames = given is not None and not self.special
        self.path = os.path.realpath(given) if self.renames else given
        if self.renames and self.status is not None and not os.access(self.path, os.W_OK):
            raise _error(_write_refusal(self.path), target)  # replacing it would defeat it

    def _status(self, given):
        if self.stream is not None:
            try:
                return os.fstat(self.stream.fileno())
            except (AttributeError, IOError, OSError, ValueError):
                return None  # an object in memory
        try:
            return os.stat(given)
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

    def publish(self, temp_path, rename_locked):
        """Gives target the content; rename_locked() is the context in which the final
        rename is done (the registry's lock: a signal removes either the temporary file or
        nothing)."""
        if self.renames:
            _rename_over(temp_path, self.path, rename_locked)
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


def _os_path(target):
    """A path as the os functions here take it alongside str names: on Python 3 bytes are
    decoded as the file system does (surrogateescape), so that the name stays the same."""
    if sys.version_info[0] >= 3:
        return os.fsdecode(os.fspath(target))
    return target


def _refuse_folder_name(given, target):
    """A name ending in "/" names a folder: one that is a file is "Not a directory" (from
    os.stat), a new one "Is a directory", as creating a file by that name is refused;
    "No such file or directory" when the folder it would be in is missing."""
    parent = os.path.dirname(given.rstrip(os.sep)) or os.curdir
    raise _error(errno.EISDIR if os.path.isdir(parent) else errno.ENOENT, target)


def _write_refusal(path):
    """Why this process may not write the existing file at path: a read-only file system
    (EROFS) or its permissions (EACCES)."""
    try:
        if os.statvfs(path).f_flag & _ST_RDONLY:
            return errno.EROFS
    except OSError:
        pass
    return errno.EACCES


def _rename_over(temp_path, path, rename_locked):
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
    with rename_locked():
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


class _Temporaries(object):
    """The temporary files of this process's writes in progress, whichever thread makes
    them, and the signal handlers that remove them all.

    Python runs signal handlers in the main thread only, and only the main thread may
    install them: they are installed when this module is imported there (and again when a
    write starts there), for each ending signal whose handler would end the process (the
    default action; for SIGINT Python's own, which raises KeyboardInterrupt). A signal that
    is ignored, or that the program handles itself, is left to it. The handler removes every
    temporary file, then does what was there before: KeyboardInterrupt for SIGINT; for
    SIGTERM and SIGHUP Terminated in the main thread while it writes itself (every finally
    clause runs), else, and for SIGPIPE always, the signal's default action (the process
    ends at once, as it would have). A write of another thread whose file was removed ends
    with Terminated instead of publishing.

    What cannot hold: SIGKILL; a signal arriving while the main thread waits where Python
    runs no handler (on Python 2.7 a Thread.join() or Lock.acquire() without a timeout)
    is handled only when that wait ends; a handler the program installs after the import
    replaces this one, and then only the main thread's own writes remove their files, as
    the exception it raises unwinds them."""

    def __init__(self):
        self._lock = threading.Lock()
        self._entries = {}  # temporary path -> [process id, signal that removed it or None]
        self._previous = {}  # signal number -> the handler this one stands in front of
        self._main_blocks = 0  # writes (or copies) in progress in the main thread
        self._deferring = 0  # the main thread holds the lock: a signal waits
        self._pending = None
        self._ending = None  # the signal whose Terminated the main thread is unwinding by

    def install(self):
        """From the main thread; elsewhere Python refuses and nothing changes."""
        if not _in_main_thread():
            return
        for number in _ENDING_SIGNALS:
            current = signal.getsignal(number)
            if current in (signal.SIG_DFL, signal.default_int_handler):
                self._previous[number] = current
                signal.signal(number, self._handle)

    @contextlib.contextmanager
    def block(self):
        """A write or copy in progress in this thread."""
        main = _in_main_thread()
        if main:
            self.install()
            self._main_blocks += 1
        try:
            yield
        finally:
            if main:
                self._main_blocks -= 1
                if not self._main_blocks:
                    self._ending = None

    def create(self, make):
        """make()'s new temporary file, registered before a signal can come between."""
        with self._locked():
            if self._ending is not None:
                raise Terminated(self._ending)  # the process is on its way out
            temp_path = make()
            self._entries[temp_path] = [os.getpid(), None]
        return temp_path

    def publish(self, temp_path, destination):
        self._raise_if_removed(temp_path)
        destination.publish(temp_path, self._locked)
        self._raise_if_removed(temp_path)

    def discard(self, temp_path, remove=True):
        with self._locked():
            self._entries.pop(temp_path, None)
            if remove:
                _remove_quietly(temp_path)

    def forget(self):
        """In a new child process: the parent's files are not the child's to remove."""
        self._lock = threading.Lock()
        self._entries.clear()
        self._main_blocks = self._deferring = 0
        self._pending = self._ending = None

    def _raise_if_removed(self, temp_path):
        with self._locked():
            removed_by = self._entries.get(temp_path, [None, None])[1]
        if removed_by is not None:
            raise Terminated(removed_by)

    @contextlib.contextmanager
    def _locked(self):
        """The lock; in the main thread a signal waits until it is released, as its handler
        takes the lock too."""
        main = _in_main_thread()
        if main:
            self._deferring += 1
        try:
            with self._lock:
                yield
        finally:
            if main:
                self._deferring -= 1
                if not self._deferring and self._pending is not None:
                    number, self._pending = self._pending, None
                    self._handle(number, None)

    def _remove_all(self, number):
        for temp_path, entry in self._entries.items():
            if entry[0] == os.getpid():
                _remove_quietly(temp_path)
                entry[1] = number

    def _handle(self, number, frame):
        if self._deferring:
            self._pending = number  # the main thread holds the lock, or is in here already
            return
        previous = self._previous.get(number, signal.SIG_DFL)
        with self._locked():
            self._remove_all(number)
            if self._ending is not None:
                return  # the main thread is unwinding already: let it finish
            if previous == signal.SIG_DFL and (not self._main_blocks or number == _SIGPIPE):
                # Ends here, the lock held: no thread makes a file in between. A broken
                # pipe needs no unwinding: the write that met it fails on its own.
                signal.signal(number, signal.SIG_DFL)
                os.kill(os.getpid(), number)
                return  # the signal is blocked: no more clean-up for it
            if previous == signal.SIG_DFL:
                self._ending = number
        if previous == signal.SIG_DFL:
            raise Terminated(number)
        previous(number, frame)


def _in_main_thread():
    main_thread = getattr(threading, "main_thread", None)
    if main_thread is not None:
        return threading.current_thread() is main_thread()
    return isinstance(threading.current_thread(), threading._MainThread)  # Python 2.7


_TEMPORARIES = _Temporaries()
_TEMPORARIES.install()
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_TEMPORARIES.forget)


@contextlib.contextmanager
def _naming(target, temp_path=None):
    """An error of the block that names a file names target instead, as the caller gave it:
    never our temporary file, nor a name resolved from target. With temp_path, only an error
    naming that file (the writer may open files of its own)."""
    try:
        yield
    except (IOError, OSError) as error:
        if error.errno is None or error.filename is None or (
                temp_path is not None and error.filename != temp_path):
            raise
        raise _renamed(error, target)


def _renamed(error, target):
    renamed = type(error)(error.errno, error.strerror, _name(target))
    if sys.version_info[0] >= 3:
        renamed.__cause__ = None
        renamed.__suppress_context__ = True
    return renamed


def _remove_quietly(path):
    try:
        os.remove(path)
    except OSError:
        pass  # never created, or already gone


def _error(number, target):
    return IOError(number, os.strerror(number), _name(target))


def _name(target):
    return getattr(target, "name", target)

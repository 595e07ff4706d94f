"""How the tool meets standard streams that are closed when it starts, and how it ends when the
reader of its output goes away (a broken pipe)."""
import errno
import os
import signal
import sys

# A reader that went away ends the tool as SIGPIPE ends other Unix tools: quietly, with the
# status a shell shows for a program killed by that signal.
BROKEN_PIPE = 128 + getattr(signal, "SIGPIPE", 13)

_STANDARD = ((0, "stdin", os.O_RDONLY), (1, "stdout", os.O_WRONLY), (2, "stderr", os.O_WRONLY))


class _Discarded(object):
    """Standard error when it was closed: what the tool says goes nowhere, as a shell's
    `2>&-` asks."""

    def write(self, data):
        return len(data)

    def flush(self):
        pass

    def isatty(self):
        return False

    @property
    def buffer(self):
        return self


def take_over_closed_streams():
    """Fills each standard stream closed at the start (`<&-`, `>&-`) with the null device, so
    that no file the tool opens takes its descriptor: on Python 2.7 sys.stdin would read that
    file, and output for standard output would land in it. sys.stdin or sys.stdout of a
    closed stream becomes None (as Python 3 has them), for the tool to refuse `-` with a
    message; sys.stderr of a closed one takes the tool's messages and drops them."""
    for number, name, mode in _STANDARD:
        try:
            os.fstat(number)
            continue
        except OSError as error:
            if error.errno != errno.EBADF:
                continue
        handle = os.open(os.devnull, mode)  # the lowest free descriptor: this one
        if handle != number:
            os.dup2(handle, number)
            os.close(handle)
        setattr(sys, name, _Discarded() if name == "stderr" else None)


def closed_stream(name):
    """The message for `-` naming a standard stream that is closed."""
    return "standard %s is closed" % name


def names_standard_output(path):
    """Whether path is the file standard output writes to (/dev/stdout, /proc/self/fd/1, or
    its own name when redirected): a closing line printed there would land in the output."""
    try:
        return os.path.samestat(os.stat(path), os.fstat(sys.stdout.fileno()))
    except (AttributeError, IOError, OSError, ValueError):
        return False  # no such file, or a standard output without a descriptor


_STANDARD_OUTPUT_LINKS = ("/proc/self/fd/1", "/dev/fd/1")
_MOST_LINKS = 40  # as the system follows at most


def reaches_standard_output(path):
    """Whether path names standard output's own open file through the descriptor links
    (/dev/stdout, /proc/self/fd/1, /dev/fd/1): written through standard output, the file
    takes what the shell asked for (appended after >>), and is never replaced. A file's own
    name is not such a link, even when standard output is redirected to it."""
    links = _STANDARD_OUTPUT_LINKS + ("/proc/%d/fd/1" % os.getpid(),)
    try:
        at = os.path.abspath(path)
        for _ in range(_MOST_LINKS):
            if at in links:
                return names_standard_output(path)
            if not os.path.islink(at):
                return False
            at = os.path.normpath(os.path.join(os.path.dirname(at), os.readlink(at)))
    except (TypeError, ValueError, OSError):
        pass
    return False


def is_broken_pipe(error):
    return getattr(error, "errno", None) == errno.EPIPE


def silence_standard_output():
    """After a broken pipe: what is still buffered for standard output is dropped, so that
    the interpreter's flush at exit does not fail a second time and print about it."""
    try:
        handle = os.open(os.devnull, os.O_WRONLY)
        os.dup2(handle, sys.stdout.fileno())
        os.close(handle)
    except (AttributeError, IOError, OSError, ValueError):
        pass  # no descriptor (replaced by a caller): nothing flushes it at exit

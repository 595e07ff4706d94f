"""The actiontool command line: parses the arguments, runs one command, turns every failure
a user can cause into a message on stderr and an exit status (never a traceback)."""
from __future__ import print_function, division

import argparse
import io
import signal
import sys
import textwrap
import time

from . import exporter, files, importer, module
from .jsonform import BadInput
from .layout import Layout
from .listing import Listing, counted, totals
from .walker import Damaged, Walker

PROG = "actiontool"

# Exit statuses; argparse itself gives 2 for a bad command line.
OK = 0
FAILED = 1  # damaged or unreadable file, bad JSON, output not written
NOT_CARRIED = 3  # the file is intact but holds what JSON cannot carry
INTERRUPTED = 130

NOTES_SHOWN = 20  # what cannot be carried, listed one by one up to this many

EXIT_STATUSES = """exit statuses:
  0  success
  1  the file is damaged or cannot be read, the JSON is refused, or the output
     cannot be written (no output file is left behind)
  2  bad command line
  3  the file is intact but holds what cannot be carried to JSON (details of an
     unknown type, texts with other bytes behind a zero byte): check reports
     them, export refuses the file"""


class Failure(Exception):
    """A failure to report as "actiontool: <message>" with the given exit status."""

    def __init__(self, message, status=FAILED):
        Exception.__init__(self, message)
        self.status = status


def _binary(stream):
    return getattr(stream, "buffer", stream)


def say(line, stream=None):
    """Writes one line, UTF-8 encoded, to stdout (or the given text stream)."""
    if not isinstance(line, bytes):
        line = line.encode("utf-8")
    out = _binary(stream or sys.stdout)
    out.write(line + b"\n")


def warn(message):
    sys.stdout.flush()
    say("%s: %s" % (PROG, message), sys.stderr)


class Progress(object):
    """Shows how far a long run is, on stderr when it is a terminal; silent otherwise."""

    INTERVAL = 0.25  # seconds between two updates

    def __init__(self, label, lists_on_stdout=False):
        self.label = label
        # A listing that goes to the same terminal shows its own progress.
        self.enabled = sys.stderr.isatty() and not (lists_on_stdout and sys.stdout.isatty())
        self.last = time.time()
        self.shown = False

    def __call__(self, done, total):
        now = time.time()
        if not self.enabled or now - self.last < self.INTERVAL:
            return
        self.last = now
        percent = 100.0 * done / total if total else 100.0
        sys.stderr.write("\r%s: %s %3.0f%%" % (PROG, self.label, percent))
        sys.stderr.flush()
        self.shown = True

    def finish(self):
        if self.shown:
            sys.stderr.write("\r" + " " * 60 + "\r")
            sys.stderr.flush()
            self.shown = False


def open_walker(layout, path, progress):
    try:
        return Walker(layout, path, progress)
    except (IOError, OSError) as error:
        raise Failure("cannot read %s: %s" % (path, error.strerror or error))


def report_notes(path, notes, emit):
    for note in notes[:NOTES_SHOWN]:
        emit("%s: cannot carry: %s" % (path, note))
    if len(notes) > NOTES_SHOWN:
        emit("%s: ... and %d more" % (path, len(notes) - NOTES_SHOWN))


# ---- commands -----------------------------------------------------------------------------

def run_dump(layout, args):
    progress = Progress("dump", lists_on_stdout=True)
    walker = open_walker(layout, args.file, progress)
    try:
        for line in Listing(walker).lines():
            say(line)
    except Damaged as damage:
        say("totals up to the damage: " + totals(walker))
        raise Failure("%s: damaged: %s" % (args.file, damage))
    finally:
        progress.finish()
    say("totals: " + totals(walker))
    return OK


def run_check(layout, args):
    progress = Progress("check")
    walker = open_walker(layout, args.file, progress)
    damage = None
    try:
        for _ in walker.events():
            pass
    except Damaged as error:
        damage = error
    finally:
        progress.finish()
    say("%s: %s" % (args.file, totals(walker)))
    report_notes(args.file, walker.notes, say)
    if damage is not None:
        raise Failure("%s: damaged: %s" % (args.file, damage))
    if walker.notes:
        say("%s: intact, but %s cannot be carried to JSON"
            % (args.file, counted(len(walker.notes), "part")))
        return NOT_CARRIED
    say("%s: ok" % args.file)
    return OK


def run_export(layout, args):
    progress = Progress("export")
    walker = open_walker(layout, args.file, progress)
    temp_path = _temporary_for(args.out)
    try:
        with io.open(temp_path, "wb") as out:
            notes = exporter.export(walker, out)
        if notes:
            report_notes(args.file, notes, warn)
            raise Failure("%s not written: %s holds %s that JSON cannot carry"
                          % (args.out, args.file, counted(len(notes), "part")), NOT_CARRIED)
        files.publish(temp_path, args.out)
    except Damaged as damage:
        raise Failure("%s: damaged: %s (%s not written)" % (args.file, damage, args.out))
    except exporter.Disagreement as error:
        raise Failure("%s (%s not written)" % (error, args.out))
    except (IOError, OSError) as error:
        raise Failure("cannot write %s: %s" % (args.out, error.strerror or error))
    finally:
        progress.finish()
        files.remove_quietly(temp_path)
    say("%s: %s exported" % (args.out, counted(walker.counts.actions, "action")))
    return OK


def run_import(layout, args):
    try:
        source = importer.ActionSource(args.json)
    except (IOError, OSError) as error:
        raise Failure("cannot read %s: %s" % (args.json, error.strerror or error))
    except BadInput as error:
        raise Failure("%s: %s (%s not written)" % (args.json, error, args.out))
    progress = Progress("import")
    try:
        size = importer.write_action_file(layout, source, args.out, progress)
    except BadInput as error:
        raise Failure("%s: %s (%s not written)" % (args.json, error, args.out))
    except importer.WriteFailed as error:
        raise Failure(str(error))
    except (IOError, OSError) as error:
        raise Failure("cannot write %s: %s" % (args.out, error.strerror or error))
    finally:
        progress.finish()
    say("%s: %s written (%d bytes uncompressed)" % (args.out, counted(source.count, "action"),
                                                     size))
    return OK


def _temporary_for(path):
    try:
        return files.temporary_beside(path)
    except (IOError, OSError) as error:
        raise Failure("cannot write %s: %s" % (path, error.strerror or error))


# ---- command line -------------------------------------------------------------------------

class _Version(argparse.Action):
    """--version: the release of the module the tool runs with (loaded only when asked)."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                 help="print the release of actiontool and its module, then exit"):
        argparse.Action.__init__(self, option_strings, dest, nargs=0, default=default, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        try:
            release = module.load().__version__
        except module.ModuleMissing as error:
            parser.exit(FAILED, "%s: %s\n" % (PROG, error))
        say("%s %s" % (PROG, release))
        parser.exit(OK)


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description=textwrap.fill("Lists, checks and converts action files (gzip-compressed "
                                  "action records) through the qn4tGenericActionLoader "
                                  "module.", 78),
        epilog=EXIT_STATUSES + "\n\nSee docs/actiontool.md for the JSON format.")
    parser.add_argument("--version", action=_Version)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    def command(name, summary, details, run, *arguments):
        sub = commands.add_parser(name, help=summary,
                                  description=textwrap.fill(summary + " " + details, 78),
                                  epilog=EXIT_STATUSES,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        for argument, text in arguments:
            sub.add_argument(argument, help=text)
        sub.set_defaults(run=run)

    command("dump", "List every action and its details, then totals.",
            "Per action: number, id, name, type, level, targeting and, for spells, the spell "
            "code, cost and path; per detail its kind and the fields that are not 0; the stat "
            "entries of a stat modification as stat:amount.",
            run_dump, ("file", "the action file"))
    command("export", "Write every field of every record as JSON.",
            "The output appears only when the whole file was carried; a damaged file, or one "
            "holding what JSON cannot carry, is refused.",
            run_export, ("file", "the action file"), ("out", "the JSON file to write"))
    command("import", "Write an action file from JSON (the form export writes).",
            "A value the file cannot hold is refused with the action and field named; the "
            "output appears only when complete.",
            run_import, ("json", "the JSON file to read"), ("out", "the action file to write"))
    command("check", "Walk the file and report its structure, or where it is damaged.",
            "Counts the records per kind and compares the bytes walked with the file's whole "
            "uncompressed length.",
            run_check, ("file", "the action file"))
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        layout = Layout(module.load())
        return args.run(layout, args)
    except module.ModuleMissing as error:
        warn(str(error))
        return FAILED
    except Failure as failure:
        warn(str(failure))
        return failure.status
    except KeyboardInterrupt:
        warn("interrupted")
        return INTERRUPTED


def run():
    """The `actiontool` command: runs main() on the command line and exits with its status."""
    if hasattr(signal, "SIGPIPE"):
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # `actiontool dump F | head` ends quietly
    sys.exit(main())

"""The actiontool command line: parses the arguments, runs one command, turns every failure
a user can cause into a message on stderr and an exit status (never a traceback)."""
from __future__ import print_function, division

import argparse
import contextlib
import io
import os
import signal
import sys
import textwrap
import time

from . import differ, exporter, importer, module, names as code_names, tablecmd
from .jsonform import BadInput
from .layout import Layout
from .listing import Listing, counted, totals
from .walk import Damaged, Walk

PROG = "actiontool"
STDIO = "-"  # standard input or output in place of a file name

# Exit statuses; argparse itself gives 2 for a bad command line.
OK = 0
FAILED = 1  # damaged or unreadable file, bad JSON, output not written
NOT_CARRIED = 3  # the file is intact but holds what JSON cannot carry
INTERRUPTED = 130  # 128 + SIGINT
# diff's own, as diff(1) has them.
DIFFERENT = 1
DIFF_FAILED = 2

NOTES_SHOWN = 20  # what cannot be carried, listed one by one up to this many

EXIT_STATUSES = """exit statuses:
  0  success
  1  the file is damaged or cannot be read, the JSON is refused, or the output
     cannot be written (no output file is left behind)
  2  bad command line
  3  the file is intact but holds what cannot be carried to JSON (details of an
     unknown type, texts with other bytes behind a zero byte): check reports
     them, export refuses the file
  130  interrupted (Ctrl-C)
diff: 0 the files hold the same actions, 1 they differ, 2 an error (a damaged
or unreadable file, or a bad command line)
SIGTERM and SIGHUP end the tool as they would any program, after it has
removed its temporary files."""


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


def reason(error):
    """The system's words for an IOError/OSError ("No space left on device"), else its text."""
    return error.strerror or str(error)


def input_name(name):
    return "standard input" if name == STDIO else name


def output_name(name):
    return "standard output" if name == STDIO else name


def output_target(name):
    """What the package's file-replacing rules write to: a path, or standard output for -."""
    return _binary(sys.stdout) if name == STDIO else name


def input_source(name):
    """What is read: a path, or standard input for -."""
    return _binary(sys.stdin) if name == STDIO else name


def summary(args):
    """Where the closing line of a command that writes goes: never into its own output."""
    return (lambda line: say(line, sys.stderr)) if args.out == STDIO else say


@contextlib.contextmanager
def input_path(name, status=FAILED):
    """The path of the action file named on the command line. For -, a temporary copy of
    standard input (a damaged file is read a second time to place the damage), removed
    afterwards."""
    if name != STDIO:
        yield name
        return
    files = module.load_files()
    copied = False
    try:
        with files.readable_path(input_source(name)) as path:
            copied = True
            yield path
    except (IOError, OSError) as error:
        if copied:
            raise  # the command's own
        raise Failure("cannot copy standard input to a temporary file: %s" % reason(error),
                      status)


def open_walker(layout, path, name, progress=None, status=FAILED):
    """A Walk over the file at path, called name in messages. A file that is not
    gzip-compressed gets a note: it is read as plain records, as the record stream does."""
    try:
        walker = Walk(layout, path, progress)
    except (IOError, OSError) as error:
        raise Failure("cannot read %s: %s" % (name, reason(error)), status)
    if not walker.compressed:
        warn("%s: note: not gzip-compressed (no gzip signature); read as plain records" % name)
    return walker


def report_notes(name, notes, emit):
    for note in notes[:NOTES_SHOWN]:
        emit("%s: cannot carry: %s" % (name, note))
    if len(notes) > NOTES_SHOWN:
        emit("%s: ... and %d more" % (name, len(notes) - NOTES_SHOWN))


def refused_output(out_name, name):
    """The message for an output that is the input file, which is left untouched."""
    return "%s is the same file as the input %s: refused, nothing written" % (out_name, name)


# ---- commands -----------------------------------------------------------------------------

def run_dump(layout, args):
    name = input_name(args.file)
    progress = Progress("dump", lists_on_stdout=True)
    with input_path(args.file) as path:
        walker = open_walker(layout, path, name, progress)
        try:
            for line in Listing(walker, load_names(layout, args)).lines():
                say(line)
        except Damaged as damage:
            say("totals up to the damage: " + totals(walker))
            raise Failure("%s: damaged: %s" % (name, damage))
        finally:
            progress.finish()
    say("totals: " + totals(walker))
    return OK


def run_check(layout, args):
    name = input_name(args.file)
    progress = Progress("check")
    with input_path(args.file) as path:
        walker = open_walker(layout, path, name, progress)
        damage = None
        try:
            for _ in walker.actions():
                pass
        except Damaged as error:
            damage = error
        finally:
            progress.finish()
    say("%s: %s" % (name, totals(walker)))
    report_notes(name, walker.notes, say)
    if damage is not None:
        raise Failure("%s: damaged: %s" % (name, damage))
    if walker.notes:
        say("%s: intact, but %s cannot be carried to JSON"
            % (name, counted(len(walker.notes), "part")))
        return NOT_CARRIED
    say("%s: ok" % name)
    return OK


def run_export(layout, args):
    if args.csv or args.sqlite:
        return run_table_export(layout, args)
    if args.out is None:
        raise Failure("name the JSON file to write, or give --csv DIR or --sqlite OUT.db", 2)
    name, out_name = input_name(args.file), output_name(args.out)
    files = module.load_files()
    progress = Progress("export")
    with input_path(args.file) as path:
        walker = open_walker(layout, path, name, progress)
        try:
            with files.writing(output_target(args.out), [input_source(args.file)]) as out:
                notes = exporter.export(walker, out)
                if notes:
                    report_notes(name, notes, warn)
                    raise Failure("%s not written: %s holds %s that JSON cannot carry"
                                  % (out_name, name, counted(len(notes), "part")), NOT_CARRIED)
        except files.OutputIsInput:
            raise Failure(refused_output(out_name, name))
        except Damaged as damage:
            raise Failure("%s: damaged: %s (%s not written)" % (name, damage, out_name))
        except (IOError, OSError) as error:
            raise Failure("cannot write %s: %s" % (out_name, reason(error)))
        finally:
            progress.finish()
    summary(args)("%s: %s exported" % (out_name, counted(walker.counts.actions, "action")))
    return OK


def run_import(layout, args):
    if args.csv or args.sqlite:
        return run_table_import(layout, args)
    if args.out is None:
        raise Failure("name the JSON file and the action file to write", 2)
    name, out_name = input_name(args.json), output_name(args.out)
    files = module.load_files()
    if args.out == STDIO and sys.stdout.isatty():
        raise Failure("will not write compressed data to a terminal: name an output file, or "
                      "redirect standard output")
    try:
        stream = input_source(args.json)
        if not hasattr(stream, "read"):
            stream = io.open(stream, "rb")
    except (IOError, OSError) as error:
        raise Failure("cannot read %s: %s" % (name, reason(error)))
    source = importer.ActionSource(stream)
    progress = Progress("import")
    try:
        size = importer.write_action_file(layout, source, output_target(args.out),
                                          [input_source(args.json)], progress)
    except files.OutputIsInput:
        raise Failure(refused_output(out_name, name))
    except BadInput as error:
        raise Failure("%s: %s (%s not written)" % (name, error, out_name))
    except (IOError, OSError) as error:
        raise Failure("cannot write %s: %s" % (out_name, reason(error)))
    finally:
        progress.finish()
        stream.close() if args.json != STDIO else None
    summary(args)("%s: %s written (%d bytes uncompressed)"
                  % (out_name, counted(source.count, "action"), size))
    return OK


def run_diff(layout, args):
    names = input_name(args.old), input_name(args.new)
    if STDIO == args.old == args.new:
        raise Failure("standard input can be only one of the two files", DIFF_FAILED)
    progress = Progress("diff", lists_on_stdout=True)
    with input_path(args.old, DIFF_FAILED) as old_path:
        with input_path(args.new, DIFF_FAILED) as new_path:
            paths, opened = (old_path, new_path), set()

            def open_walk(which):
                if which in opened:  # walked again: its notes were given the first time
                    return Walk(layout, paths[which])
                opened.add(which)
                return open_walker(layout, paths[which], names[which], progress, DIFF_FAILED)

            try:
                report = differ.compare(layout, open_walk, say)
            except differ.WalkFailed as failed:
                raise Failure("%s: damaged: %s" % (names[failed.which], failed.damage),
                              DIFF_FAILED)
            except (IOError, OSError) as error:
                raise Failure("cannot compare: %s" % reason(error), DIFF_FAILED)
            finally:
                progress.finish()
    say("%s -> %s: %s" % (names[0], names[1], report.summary()))
    return DIFFERENT if report.differs() else OK


def load_names(layout, args):
    if not getattr(args, "names", None):
        return None
    try:
        return code_names.load(args.names, code_names.integer_fields(layout))
    except code_names.BadNames as error:
        raise Failure(str(error))


def read_all(layout, args, label):
    """The Action objects of the input file, read whole (the table commands need them all)."""
    name = input_name(args.file)
    progress = Progress(label)
    with input_path(args.file) as path:
        walker = open_walker(layout, path, name, progress)
        try:
            return list(walker.actions())
        except Damaged as damage:
            raise Failure("%s: damaged: %s (nothing written)" % (name, damage))
        finally:
            progress.finish()


def run_table_export(layout, args):
    if args.out is not None or (args.csv and args.sqlite):
        raise Failure("export --csv DIR and --sqlite OUT.db take the action file only, and "
                      "one of them", 2)
    names = load_names(layout, args)
    actions = read_all(layout, args, "export")
    target = args.csv or args.sqlite
    try:
        if args.csv:
            count = tablecmd.export_csv(layout, actions, args.csv, names)
        else:
            count = tablecmd.export_sqlite(layout, actions, args.sqlite, names)
    except (IOError, OSError) as error:
        raise Failure("cannot write %s: %s" % (target, reason(error)))
    except tablecmd.sqlite3.Error as error:
        raise Failure("cannot write %s: %s" % (target, error))
    say("%s: %s exported" % (target, counted(count, "action")))
    return OK


def run_table_import(layout, args):
    if args.out is not None or (args.csv and args.sqlite) or args.json is None:
        raise Failure("import --csv DIR OUT and --sqlite DB OUT take the action file to "
                      "write only, and one of them", 2)
    args.out, source = args.json, args.csv or args.sqlite
    out_name = output_name(args.out)
    files = module.load_files()
    if args.out == STDIO and sys.stdout.isatty():
        raise Failure("will not write compressed data to a terminal: name an output file, or "
                      "redirect standard output")
    try:
        if args.csv:
            rows = tablecmd.read_csv_rows(layout, args.csv)
            place = tablecmd.csv_place
        else:
            rows = tablecmd.read_sqlite_rows(layout, args.sqlite)
            place = tablecmd.sqlite_place
        with files.writing(output_target(args.out), []) as out:
            count = layout.q.write_actions(out, tablecmd.checked_actions(layout, rows, place))
    except BadInput as error:
        raise Failure("%s: %s (%s not written)" % (source, error, out_name))
    except (IOError, OSError) as error:
        raise Failure("cannot write %s: %s" % (out_name, reason(error)))
    summary(args)("%s: %s written" % (out_name, counted(count, "action")))
    return OK


def run_sql(layout, args):
    names = load_names(layout, args)
    actions = read_all(layout, args, "sql")
    try:
        header, rows = tablecmd.query(layout, actions, args.statement, names)
    except tablecmd.sqlite3.Error as error:
        raise Failure("SQL: %s" % error)
    if args.form == "csv":
        tablecmd.write_csv_lines(header, rows, _binary(sys.stdout))
    elif args.form == "json":
        say(tablecmd.as_json(header, rows))
    else:
        for line in tablecmd.as_table(header, rows):
            say(line)
    return OK


def run_html(layout, args):
    names = load_names(layout, args)
    actions = read_all(layout, args, "html")
    out_name = output_name(args.out)
    files = module.load_files()
    try:
        with files.writing(output_target(args.out), [input_source(args.file)]) as out:
            count = tablecmd.write_page(layout, actions, out, names,
                                        os.path.basename(input_name(args.file)))
    except files.OutputIsInput:
        raise Failure(refused_output(out_name, input_name(args.file)))
    except (IOError, OSError) as error:
        raise Failure("cannot write %s: %s" % (out_name, reason(error)))
    summary(args)("%s: %s on the page" % (out_name, counted(count, "action")))
    return OK


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
        for argument, text in arguments:  # "name?": may be left out
            optional = {"nargs": "?"} if argument.endswith("?") else {}
            sub.add_argument(argument.rstrip("?"), help=text, **optional)
        sub.set_defaults(run=run)
        return sub

    names_help = "a names file (JSON) naming the codes of chosen fields (docs/tables.md)"

    dump = command("dump", "List every action and its details, then totals.",
            "Per action: number, id, name, type, level, targeting and, for spells, the spell "
            "code, cost and path; per detail its kind and the fields that are not 0; the stat "
            "entries of a stat modification as stat:amount.",
            run_dump, ("file", "the action file (- for standard input)"))
    dump.add_argument("--names", help=names_help + ", shown beside the codes: elemType=1(fire)")
    export = command("export", "Write every field of every record as JSON.",
            "The output appears only when the whole file was carried; a damaged file, or one "
            "holding what JSON cannot carry, is refused.",
            run_export, ("file", "the action file (- for standard input)"),
            ("out?", "the JSON file to write (- for standard output)"))
    export.add_argument("--csv", metavar="DIR", help="write actions.csv, details.csv and "
                        "stats.csv into DIR instead of JSON")
    export.add_argument("--sqlite", metavar="OUT.db", help="write an SQLite database instead")
    export.add_argument("--names", help=names_help + ", for <column>_name columns and views")
    import_ = command("import", "Write an action file from JSON (the form export writes).",
            "A value the file cannot hold is refused with the action and field named; the "
            "output appears only when complete.",
            run_import, ("json?", "the JSON file to read (- for standard input)"),
            ("out?", "the action file to write (- for standard output)"))
    import_.add_argument("--csv", metavar="DIR", help="read DIR/actions.csv, details.csv and "
                         "stats.csv instead of JSON (then the one argument is OUT)")
    import_.add_argument("--sqlite", metavar="DB", help="read an SQLite database instead")
    sql = command("sql", "Run an SQL statement over the actions of a file.",
                  "The file is loaded into an in-memory SQLite database with the tables "
                  "actions, details and stats and a view per detail kind (docs/tables.md).",
                  run_sql, ("file", "the action file (- for standard input)"),
                  ("statement", "the SQL statement, e.g. \"SELECT name FROM actions\""))
    sql.add_argument("--csv", dest="form", action="store_const", const="csv",
                     help="print CSV instead of a table")
    sql.add_argument("--json", dest="form", action="store_const", const="json",
                     help="print a JSON list of objects instead of a table")
    sql.add_argument("--names", help=names_help + ", as the tables names, bit_names and "
                     "the views <table>_named")
    html = command("html", "Write one self-contained page that shows the actions.",
                   "A table that sorts and filters, a panel with every field of an action and "
                   "charts; it opens from a file with nothing fetched.",
                   run_html, ("file", "the action file (- for standard input)"),
                   ("out", "the page to write (- for standard output)"))
    html.add_argument("--names", help=names_help)
    command("check", "Walk the file and report its structure, or where it is damaged.",
            "Counts the records per kind and compares the bytes walked with the file's whole "
            "uncompressed length.",
            run_check, ("file", "the action file (- for standard input)"))
    command("diff", "List the actions added, removed and changed between two files.",
            "Actions are matched by actionID (repeated IDs in the order they appear); a "
            "changed action is listed with each changed field as old -> new, details "
            "compared in order. Exit status 0 when the files hold the same actions, 1 when "
            "they differ, 2 on an error.",
            run_diff, ("old", "the action file before the change (- for standard input)"),
            ("new", "the action file after it"))
    return parser


def end_by(signal_number):
    """Ends the process by the signal that asked for it, as it would have without the tool's
    clean-up, so that the caller sees what happened."""
    sys.stdout.flush()
    signal.signal(signal_number, signal.SIG_DFL)
    os.kill(os.getpid(), signal_number)
    return 128 + signal_number  # only if the signal is blocked


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        layout = Layout(module.load())
        terminated = module.load_files().Terminated
    except module.ModuleMissing as error:
        warn(str(error))
        return FAILED
    try:
        return args.run(layout, args)
    except Failure as failure:
        warn(str(failure))
        return failure.status
    except KeyboardInterrupt:
        warn("interrupted")
        return INTERRUPTED
    except terminated as ended:
        if ended.signal_number != getattr(signal, "SIGPIPE", None):
            warn("terminated by signal %d; temporary files removed" % ended.signal_number)
        return end_by(ended.signal_number)


def run():
    """The `actiontool` command: runs main() on the command line and exits with its status."""
    if hasattr(signal, "SIGPIPE"):
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # `actiontool dump F | head` ends quietly
    sys.exit(main())

"""The actiontool command line: parses the arguments, runs one command, turns every failure
a user can cause into a message on stderr and an exit status (never a traceback)."""
from __future__ import print_function, division

import argparse
import contextlib
import io
import json
import os
import signal
import sys
import textwrap
import time

from . import differ, ending, exporter, helptext, module, names as code_names, tablecmd
from .layout import Layout
from .listing import counted, totals
from .walk import Damaged, Source, Walk, unreadable

PROG = "actiontool"
STDIO = "-"  # standard input or output in place of a file name

# Exit statuses; argparse itself gives 2 for a bad command line.
OK = 0
FAILED = 1  # damaged or unreadable file, bad JSON, output not written
INTERRUPTED = 130  # 128 + SIGINT
# diff's, patch's and merge's own, as diff(1) and three-way merge tools have them.
DIFFERENT = CONFLICTS = 1
DIFF_FAILED = 2

WARNINGS_SHOWN = 20  # warnings of one kind listed one by one up to this many

EXIT_STATUSES = """exit statuses:
  0  success
  1  the file is damaged or cannot be read, the JSON is refused, the output
     cannot be written, or memory ran out (no output file is left behind)
  2  bad command line
  130  interrupted (Ctrl-C)
  141  the reader of the output went away (a broken pipe), as SIGPIPE ends
       other tools; the tool says nothing
diff: 0 the files hold the same actions in the same order, 1 they differ, 2 an
error (a damaged or unreadable file, a bad command line, or memory ran out)
patch and merge: 0 done, 1 conflicts left (nothing written), 2 an error
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
    """Writes one line to stdout (or the given stream): UTF-8, with whatever has no UTF-8
    form (a file name that is not UTF-8, a lone surrogate) escaped."""
    out = _binary(stream or _standard("out"))
    out.write(module.message_bytes(line) + b"\n")


def warn(message):
    if sys.stdout is not None:  # None: closed when the tool started
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
    """What the package's file-replacing rules write to: a path, or standard output for -
    and for a name that reaches it through a descriptor link (/dev/stdout), so that a file
    standard output is redirected to is written as the shell asked (appended after >>)."""
    if name == STDIO or ending.reaches_standard_output(name):
        return _binary(_standard("out"))
    return name


def input_source(name):
    """What is read: a path, or standard input for -."""
    return _binary(_standard("in")) if name == STDIO else name


def _standard(which):
    """sys.stdin or sys.stdout ("in", "out"); Failure when it was closed before the tool
    started."""
    stream = getattr(sys, "std" + which)
    if stream is None:
        raise Failure(ending.closed_stream(which + "put"))
    return stream


def summary(args):
    """Where the closing line of a command that writes goes: never into its own output, nor
    into a standard output closed when the tool started."""
    aside = args.out == STDIO or sys.stdout is None or ending.names_standard_output(args.out)
    return (lambda line: say(line, sys.stderr)) if aside else say


@contextlib.contextmanager
def input_path(name, status=FAILED):
    """The path of the action file named on the command line, which the command may open
    more than once. Standard input (-), and a name of something that gives its bytes once (a
    pipe from <(...), /dev/stdin, a FIFO, a device), are read once into a temporary copy
    (the package's readable_path), removed afterwards."""
    files = module.load()
    copied = False
    try:
        with files.readable_path(input_source(name)) as path:
            copied = True
            yield path
    except (IOError, OSError) as error:
        if copied:
            raise  # the command's own
        if name != STDIO and error.filename is not None:
            raise Failure("cannot read %s: %s" % (name, reason(error)), status)
        raise Failure("cannot copy %s to a temporary file: %s" % (input_name(name),
                                                                  reason(error)), status)


EMPTY_INPUT = "the input is empty (0 bytes, not even a gzip header)"


def open_walker(layout, path, name, progress=None, status=FAILED, refuse_empty=False):
    """A Walk over the file at path, called name in messages. A file that is not
    gzip-compressed gets a note: it is read as plain records, as the record stream does. An
    input of no bytes at all (an empty pipe, a command that failed before writing) is
    refused with refuse_empty, else warned of: it reads as 0 actions, which is seldom what
    was meant (an action file written with no action is a gzip member, never 0 bytes)."""
    try:
        walker = Walk(layout, path, progress)
    except (IOError, OSError) as error:
        raise Failure("cannot read %s: %s" % (name, reason(error)), status)
    try:
        file_notes(name, walker.size, walker.compressed, refuse_empty, status)
    except Failure:
        walker.source.close()
        raise
    return walker


def file_notes(name, size, compressed, refuse_empty=False, status=FAILED):
    """The note for a file that is not gzip-compressed, and the warning (or with
    refuse_empty the refusal) of an input of no bytes at all."""
    if size == 0 and not compressed:
        if refuse_empty:
            raise Failure("%s: %s: not an action file" % (name, EMPTY_INPUT), status)
        warn("%s: warning: %s; read as 0 actions" % (name, EMPTY_INPUT))
    elif not compressed:
        warn("%s: note: not gzip-compressed (no gzip signature); read as plain records" % name)


def looks_like_json(path):
    """True when the file starts, after white space or a byte-order mark, with { or [."""
    try:
        with open(path, "rb") as stream:
            start = stream.read(64)
    except (IOError, OSError):
        return False
    return start.lstrip(b"\xef\xbb\xbf \t\r\n")[:1] in (b"{", b"[")


def refused_output(out_name, name):
    """The message for an output that is the input file, which is left untouched."""
    return "%s is the same file as the input %s: refused, nothing written" % (out_name, name)


# ---- commands -----------------------------------------------------------------------------

def refuse_json(name, path):
    if looks_like_json(path):
        raise Failure("%s: this looks like JSON: did you mean import? (check also reads a "
                      "JSON document)" % name)


def run_dump(layout, args):
    name = input_name(args.file)
    progress = Progress("dump", lists_on_stdout=True)
    with input_path(args.file) as path:
        refuse_json(name, path)
        with open_native_walk(layout, path, name, progress, listing=True,
                              names=load_names(layout, args)) as walk:
            out = _binary(_standard("out"))
            try:
                for block in walk:
                    out.write(block)
            except (IOError, OSError) as error:
                if walk.report is None:
                    raise  # the output's, not the file's
            finally:
                progress.finish()
        report = walk.report
        damage = damage_of(layout, report)
        if damage is not None:
            say("totals up to the damage: " + totals(layout, report))
            raise Failure("%s: damaged: %s" % (name, damage))
    say("totals: " + totals(layout, report))
    return OK


@contextlib.contextmanager
def open_native_walk(layout, path, name, progress=None, listing=False, names=None,
                     refuse_empty=False):
    """The package's FileWalk over the file at path, called name in messages, with
    open_walker's notes; the file is closed on the way out."""
    try:
        raw = Source.open_file(path)
    except (IOError, OSError) as error:
        raise Failure("cannot read %s: %s" % (name, reason(error)))
    with contextlib.closing(raw):
        try:
            walk = layout.q.FileWalk(raw, listing=listing, names=names, progress=progress)
        except (IOError, OSError) as error:
            raise Failure("cannot read %s: %s" % (name, reason(error)))
        file_notes(name, walk.size, walk.compressed, refuse_empty)
        yield walk


def damage_of(layout, report):
    """The Damaged report of a walk's WalkReport, or None when the file was walked whole."""
    if report.damage is not None:
        damage = report.damage
        return Damaged(damage.offset, damage.place, damage.problem)
    if report.read_error is not None:
        return unreadable(layout, report.counts.actions + 1, report.walked, report.read_error)
    if report.compressed:
        return Damaged(report.walked, "after action #%d" % report.counts.actions,
                       report.compressed)
    return None


def run_check(layout, args):
    name = input_name(args.file)
    with input_path(args.file) as path:
        if looks_like_json(path):  # standard input was copied to path
            return check_json(layout, path, name)
        return check_actions(layout, path, name)


class Warnings(object):
    """Warnings of one kind, listed up to WARNINGS_SHOWN, then counted."""

    def __init__(self, name):
        self.name = name
        self.count = 0

    def __call__(self, message):
        self.count += 1
        if self.count <= WARNINGS_SHOWN:
            warn("%s: warning: %s" % (self.name, message))

    def more(self, count):
        """Counts warnings not worded, which WARNINGS_SHOWN would not list anyway."""
        self.count += count

    def finish(self):
        if self.count > WARNINGS_SHOWN:
            warn("%s: warning: ... and %d more" % (self.name, self.count - WARNINGS_SHOWN))


def check_actions(layout, path, name):
    progress = Progress("check")
    with open_native_walk(layout, path, name, progress, refuse_empty=True) as walk:
        try:
            report = layout.q.check_file(walk)
        except (IOError, OSError):
            report = walk.report
        finally:
            progress.finish()
    lengths = Warnings(name)
    for note in report.length_notes:
        lengths("action #%d (id %d), detail %d: length %d differs from its %s body's %d "
                "bytes (kept as it is)" % (note.action, note.action_id, note.detail,
                                           note.length, note.title, note.size))
    lengths.more(report.length_count - len(report.length_notes))
    duplicate_warnings(name, report)
    lengths.finish()
    say("%s: %s" % (name, totals(layout, report)))
    damage = damage_of(layout, report)
    if damage is not None:
        raise Failure("%s: damaged: %s" % (name, damage))
    if report.total == 0:
        warn("%s: warning: the file is empty (it holds no action)" % name)
    say("%s: ok" % name)
    return OK


def duplicate_warnings(name, report):
    """Warns of the actions that repeat an earlier action's actionID, with the first action
    that has it (the package's check finds it by a second walk)."""
    duplicates = Warnings(name)
    for number, action_id, earlier in report.repeated_ids:
        duplicates("action #%d has the actionID %d of %s" % (
            number, action_id, "action #%d" % earlier if earlier else "an earlier action"))
    duplicates.more(report.repeated_count - len(report.repeated_ids))
    duplicates.finish()


def check_json(layout, path, name):
    """check on a JSON document: every value checked as import would, nothing written."""
    count = read_json(layout, path, name, None)
    say("%s: %s, ok to import" % (name, counted(count, "action")))
    return OK


def run_export(layout, args):
    if args.csv or args.sqlite:
        return run_table_export(layout, args)
    if args.named and not args.names:
        raise Failure("export --named writes the names of a names file: give --names FILE", 2)
    if args.out is None:
        args.out = STDIO  # the JSON to standard output, as dump lists it there
    name, out_name = input_name(args.file), output_name(args.out)
    files = module.load()
    progress = Progress("export")
    with input_path(args.file) as path:
        refuse_json(name, path)
        walker = open_walker(layout, path, name, progress)
        try:
            with files.writing(output_target(args.out), [input_source(args.file)]) as out:
                exporter.export(walker, out, args.indent, args.schema, code_names_of(
                    layout, args) if args.named else None)
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


def code_names_of(layout, args):
    """The package's CodeNames of the names file given (--names), or None."""
    names = load_names(layout, args)
    return layout.q.named.CodeNames(names.codes) if names else None


def read_json(layout, json_name, name, out_name, target=None, threads=None, strict=False,
              names=None):
    """Reads the JSON document named json_name and writes its actions to target (None: only
    checks them); strict: repeated actionIDs are refused, not only warned of. Returns the
    number of actions."""
    files = module.load()
    try:
        stream = input_source(json_name)
        if not hasattr(stream, "read"):
            stream = io.open(stream, "rb")
    except (IOError, OSError) as error:
        raise Failure("cannot read %s: %s" % (name, reason(error)))
    source = layout.q.JsonSource(stream, name)
    progress = Progress("import")
    not_written = "\n%s not written" % out_name if out_name else ""
    try:
        again = None if json_name == STDIO else (
            lambda: layout.q.JsonSource(io.open(json_name, "rb"), name))
        return layout.q.import_actions(source, target, [input_source(json_name)], progress,
                                       lambda line: warn(line), threads, again, strict, names)
    except files.OutputIsInput:
        raise Failure(refused_output(out_name, name))
    except layout.q.InputRefused as error:
        raise Failure("%s%s" % (error, not_written))
    except ValueError as error:  # what only the writer sees
        raise Failure("%s: %s%s" % (name, error, not_written))
    except (IOError, OSError) as error:
        raise Failure("cannot write %s: %s" % (out_name, reason(error)))
    finally:
        progress.finish()
        stream.close() if json_name != STDIO else None


def run_import(layout, args):
    if args.csv or args.sqlite:
        return run_table_import(layout, args)
    if args.json is None:
        raise Failure("name the JSON file to read", 2)
    name = input_name(args.json)
    names = code_names_of(layout, args)
    if args.dry_run:
        count = read_json(layout, args.json, name, None, names=names)
        say("%s: %s, ok to import (nothing written)" % (name, counted(count, "action")))
        return OK
    if args.out is None:
        raise Failure("name the action file to write (or give --dry-run)", 2)
    out_name = output_name(args.out)
    if args.out == STDIO and sys.stdout.isatty():
        raise Failure("will not write compressed data to a terminal: name an output file, or "
                      "redirect standard output")
    count = read_json(layout, args.json, name, out_name, output_target(args.out),
                      args.threads, args.strict, names)
    summary(args)("%s: %s written" % (out_name, counted(count, "action")))
    return OK


def run_diff(layout, args):
    names = input_name(args.old), input_name(args.new)
    if STDIO == args.old == args.new:
        raise Failure("standard input can be only one of the two files", DIFF_FAILED)
    if args.patch:
        return write_patch(layout, args)
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
                report = differ.compare(layout, open_walk, say, args.ignore_order,
                                        load_names(layout, args))
            except differ.WalkFailed as failed:
                raise Failure("%s: damaged: %s" % (names[failed.which], failed.damage),
                              DIFF_FAILED)
            except (IOError, OSError) as error:
                raise Failure("cannot compare: %s" % reason(error), DIFF_FAILED)
            finally:
                progress.finish()
    say("%s -> %s: %s" % (names[0], names[1], report.summary()))
    return DIFFERENT if report.differs() else OK


class FileWalks(object):
    """The action files named on the command line, each walked as often as asked (the
    package's changes walk a file instead of holding it): walk(number) gives a new walk of
    one, the package's reader itself. A file is opened (standard input copied) on its first
    walk, so that the files are opened, warned of and found damaged in the order they are
    first read; what a walk raises is said, naming the file walked last, inside
    failures(); close() closes them (a copy removed)."""

    def __init__(self, layout, names):
        self.layout, self.names = layout, names
        self.paths, self.opened, self.streams = {}, [], []
        self.walked = None

    def walk(self, number):
        name, self.walked = self.names[number], number
        if number not in self.paths:
            opening = input_path(name, DIFF_FAILED)
            self.paths[number] = opening.__enter__()
            self.opened.append(opening)
            if os.path.getsize(self.paths[number]) == 0:
                warn("%s: warning: %s; read as 0 actions" % (input_name(name), EMPTY_INPUT))
        stream = open(self.paths[number], "rb")
        self.streams.append(stream)
        return self.layout.q.read_actions(stream)

    def walker(self, number):
        return lambda: self.walk(number)

    @contextlib.contextmanager
    def failures(self):
        """Says a damaged or unreadable file, as a Failure naming the file walked last."""
        try:
            yield
        except self.layout.q.DamagedFileError as error:
            raise Failure("%s: damaged: %s" % (self.name(), error), DIFF_FAILED)
        except (IOError, OSError) as error:
            raise Failure("cannot read %s: %s" % (self.name(), reason(error)), DIFF_FAILED)

    def name(self):
        return input_name(self.names[self.walked or 0])

    def close(self):
        while self.streams:
            self.streams.pop().close()
        while self.opened:
            self.opened.pop().__exit__(None, None, None)


def write_whole(layout, args, actions):
    """Writes actions to args.out; the inputs were read whole or into temporary files, so it
    may be one of them."""
    if args.out == STDIO and sys.stdout.isatty():
        raise Failure("will not write compressed data to a terminal: name an output file, or "
                      "redirect standard output", DIFF_FAILED)
    try:
        layout.q.write_actions(output_target(args.out), actions)
    except (IOError, OSError) as error:
        raise Failure("cannot write %s: %s" % (output_name(args.out), reason(error)),
                      DIFF_FAILED)


def write_patch(layout, args):
    """diff --patch: the changes as the JSON document that `patch` applies, written change
    by change as the package finds them (the files walked, not held)."""
    files = FileWalks(layout, (args.old, args.new))
    out = _binary(_standard("out"))
    written = 0
    try:
        with files.failures():
            changes = layout.q.changes.patch_changes(files.walker(0), files.walker(1),
                                                     args.ignore_order)
            change = next(changes, None)  # every walk is done when the first comes
        while change is not None:
            text = json.dumps(change.to_dict(), ensure_ascii=False, indent=1,
                              sort_keys=True, separators=(",", ": "))
            out.write(module.message_bytes(("{\n \"changes\": [\n  " if not written else
                                            ",\n  ") + text.replace("\n", "\n  ")))
            written += 1
            change = next(changes, None)
    finally:
        files.close()
    out.write(b"\n ]\n}\n" if written else b'{\n "changes": []\n}\n')
    return DIFFERENT if written else OK


def read_patch(layout, name):
    text = None
    try:
        stream = _binary(sys.stdin) if name == STDIO else io.open(name, "rb")
        with stream:
            text = stream.read().decode("utf-8-sig")
            document = json.loads(text)
        return layout.q.Patch.from_dict(document)
    except RuntimeError as error:  # RecursionError on Python 3
        line, column, depth = layout.q.documents.deepest_place(text or u"")
        raise Failure("%s, line %d, column %d: nested %d deep, too deeply to be read (%s)"
                      % (input_name(name), line, column, depth, error), DIFF_FAILED)
    except (IOError, OSError) as error:
        raise Failure("cannot read %s: %s" % (input_name(name), reason(error)), DIFF_FAILED)
    except (ValueError, KeyError, TypeError) as error:
        raise Failure("%s: not a patch that diff --patch writes: %s" % (input_name(name), error),
                      DIFF_FAILED)


def report_result(result, say_line, what):
    for note in result.notes:
        warn("note: " + note)
    for conflict in result.conflicts:
        say_line("conflict: %s" % conflict)
    if result.conflicts:
        say_line("%s: %s" % (what, counted(len(result.conflicts), "conflict")))


def run_patch(layout, args):
    files = FileWalks(layout, (args.file,))
    try:
        with files.failures():
            actions = layout.q.changes.WalkedSet(files.walker(0))
        files.close()  # its actions wait in the set's own file now
        with contextlib.closing(actions):
            return patch_walked(layout, args, actions)
    finally:
        files.close()


def patch_walked(layout, args, actions):
    """patch, once the file is walked into the WalkedSet actions: the patched actions are
    written as they are made."""
    patch = read_patch(layout, args.change)
    try:
        result = layout.q.apply_patch(actions, patch, prefer=args.prefer)
    except (ValueError, OverflowError, TypeError) as error:  # a value the actions cannot hold
        raise Failure("%s cannot be applied: %s" % (input_name(args.change), error), DIFF_FAILED)
    report_result(result, summary(args), "%s onto %s" % (input_name(args.change),
                                                         input_name(args.file)))
    if result.conflicts and not args.prefer:
        raise Failure("%s not written: conflicts left (--prefer ours or --prefer theirs says "
                      "which side wins)" % output_name(args.out), CONFLICTS)
    write_whole(layout, args, result.actions)
    if result.already_applied():
        summary(args)("%s is already applied to %s: %s holds its actions unchanged"
                      % (input_name(args.change), input_name(args.file), output_name(args.out)))
    else:
        summary(args)("%s: %d changes applied, %d already in place; %s written"
                      % (input_name(args.change), result.applied, result.already,
                         counted(len(result.actions), "action")))
    return OK


def run_merge(layout, args):
    files = FileWalks(layout, (args.base, args.ours, args.theirs))
    sets = []
    try:
        with files.failures():
            for number in range(3):
                sets.append(layout.q.changes.WalkedSet(files.walker(number)))
        files.close()  # their actions wait in the sets' own files now
        return merge_walked(layout, args, sets)
    finally:
        files.close()
        for walked in sets:
            walked.close()


def merge_walked(layout, args, sets):
    """merge, once the three files are walked into WalkedSets: the merged actions are
    written as they are made."""
    result = layout.q.merge_actions(*sets, prefer=args.prefer)
    named = args.name or output_name(args.out)  # git's %P: the file, not its temporary copy
    report_result(result, summary(args), "merge of %s" % named if args.name else "merge")
    if result.conflicts and not args.prefer:
        if args.conflicts:
            write_conflicts(layout, args, sets, named)
        raise Failure("%s not written: conflicts left (--prefer ours or --prefer theirs says "
                      "which side wins)" % named, CONFLICTS)
    write_whole(layout, args, result.actions)
    summary(args)("%s: %s merged" % (named, counted(len(result.actions), "action")))
    return OK


def write_conflicts(layout, args, sets, named):
    """merge --conflicts FILE: the conflicts as a document to choose in (the patch form with
    both sides), applied to our version with `patch`."""
    document, _ = layout.q.conflict_document(*sets, name=named)
    text = json.dumps(document, ensure_ascii=False, indent=1, sort_keys=True,
                      separators=(",", ": ")) + "\n"
    files = module.load()
    try:
        with files.writing(output_target(args.conflicts)) as out:
            out.write(text.encode("utf-8"))
    except (IOError, OSError) as error:
        raise Failure("cannot write %s: %s" % (output_name(args.conflicts), reason(error)),
                      DIFF_FAILED)
    ours = args.name or input_name(args.ours)
    summary(args)('%s: set each "take" to "ours" or "theirs", then: actiontool patch %s %s %s'
                  % (output_name(args.conflicts), ours, output_name(args.conflicts), ours))


def load_names(layout, args):
    if not getattr(args, "names", None):
        return None
    try:
        return code_names.load(args.names, code_names.integer_fields(layout))
    except code_names.BadNames as error:
        raise Failure(error.args[0])


@contextlib.contextmanager
def streamed(layout, args, label):
    """A Walk over the input file for a command whose output is complete only at the end
    (the tables, sql): damage fails the command with nothing written."""
    name = input_name(args.file)
    progress = Progress(label)
    with input_path(args.file) as path:
        refuse_json(name, path)
        walker = open_walker(layout, path, name, progress)
        try:
            yield walker
        except Damaged as damage:
            raise Failure("%s: damaged: %s (nothing written)" % (name, damage))
        finally:
            progress.finish()


def run_table_export(layout, args):
    if args.out is not None or (args.csv and args.sqlite) or args.indent is not None \
            or args.schema is not None or args.named:
        raise Failure("export --csv DIR and --sqlite OUT.db take the action file only, and "
                      "one of them", 2)
    names = load_names(layout, args)
    files = module.load()
    inputs = [input_source(args.file)]
    target = args.csv or output_name(args.sqlite)
    try:
        with streamed(layout, args, "export") as walker:
            if args.csv:
                count = tablecmd.export_csv(layout, walker, args.csv, names, inputs)
            else:
                count = tablecmd.export_sqlite(layout, walker, output_target(args.sqlite),
                                               names, inputs)
    except files.OutputIsInput:
        raise Failure(refused_output(target, input_name(args.file)))
    except (IOError, OSError) as error:
        raise Failure("cannot write %s: %s" % (target, reason(error)))
    except tablecmd.sqlite3.Error as error:
        raise Failure("cannot write %s: %s" % (target, error))
    line = "%s: %s exported" % (target, counted(count, "action"))
    if args.sqlite:  # may be standard output
        args.out = args.sqlite
        summary(args)(line)
    else:
        say(line)
    return OK


def run_table_import(layout, args):
    if args.out is not None or (args.csv and args.sqlite) or (args.json is None) != \
            args.dry_run:
        raise Failure("import --csv DIR OUT and --sqlite DB OUT take the action file to "
                      "write only (or --dry-run and none), and one of them", 2)
    args.out, source = args.json, args.csv or args.sqlite

    def rows():
        return tablecmd.table_rows(layout, args.csv, args.sqlite)
    if args.dry_run:
        try:
            count = tablecmd.write_from_rows(layout, rows(), None, note=warn,
                                             names=code_names_of(layout, args))
        except layout.q.InputRefused as error:
            raise Failure(str(error))
        say("%s: %s, ok to import (nothing written)" % (source, counted(count, "action")))
        return OK
    out_name = output_name(args.out)
    files = module.load()
    if args.out == STDIO and sys.stdout.isatty():
        raise Failure("will not write compressed data to a terminal: name an output file, or "
                      "redirect standard output")
    try:
        count = tablecmd.write_from_rows(layout, rows(), output_target(args.out), args.threads,
                                         [args.sqlite] if args.sqlite else [], warn,
                                         args.strict, code_names_of(layout, args))
    except layout.q.InputRefused as error:
        raise Failure("%s\n%s not written" % (error, out_name))
    except files.OutputIsInput:
        raise Failure(refused_output(out_name, source))
    except ValueError as error:  # what only the writer sees
        raise Failure("%s: %s\n%s not written" % (source, error, out_name))
    except (IOError, OSError) as error:
        raise Failure("cannot write %s: %s" % (out_name, reason(error)))
    summary(args)("%s: %s written" % (out_name, counted(count, "action")))
    return OK


def run_sql(layout, args):
    if (args.statement is None) != args.schema:
        raise Failure("give an SQL statement, or --schema to list the tables", 2)
    names = load_names(layout, args)
    if args.schema:
        with streamed(layout, args, "sql") as walker:
            lines = tablecmd.schema_lines(layout, walker, names)
        for line in lines:
            say(line)
        return OK
    try:
        with streamed(layout, args, "sql") as walker:
            header, rows = tablecmd.query(layout, walker, args.statement, names)
    except tablecmd.WriteRefused:
        raise Failure("SQL: refused: the statement would change the database or reach a file; "
                      "sql only reads; %s is never changed by sql (to change it: export "
                      "--sqlite OUT.db, edit OUT.db, import --sqlite OUT.db NEW.gz)"
                      % input_name(args.file))
    except tablecmd.sqlite3.Error as error:
        raise Failure("SQL: %s" % error)
    except UnicodeError:  # a statement given in bytes that are not UTF-8
        raise Failure("SQL: the statement is not UTF-8 text: %s" % args.statement)
    if args.form == "csv":
        tablecmd.write_csv_lines(header, rows, _binary(sys.stdout))
    elif args.form == "json":
        say(tablecmd.as_json(header, rows))
    else:
        for line in tablecmd.as_table(header, rows):
            say(line)
    return OK


def run_schema(layout, args):
    names = load_names(layout, args)
    text = layout.q.schema_text(names.as_json() if names else None)
    out_name = output_name(args.out)
    files = module.load()
    try:
        with files.writing(output_target(args.out)) as out:
            out.write(text.encode("utf-8"))
    except (IOError, OSError) as error:
        raise Failure("cannot write %s: %s" % (out_name, reason(error)))
    return OK


def run_help(layout, args):
    if args.topic is None:
        say("actiontool help TOPIC shows a part of the documentation:\n" + helptext.topic_list())
        return OK
    try:
        say(helptext.section(args.topic))
    except helptext.NoHelp as error:
        raise Failure(str(error), 2)
    except (IOError, OSError) as error:
        raise Failure("cannot read the documentation: %s" % reason(error))
    return OK


class PageBlocks(object):
    """The page's text of the walked file's actions (the package's page_blocks) with the walk's
    progress and damage, and the digest those blocks make of themselves."""

    def __init__(self, layout, walker):
        self._native = layout.q.page_blocks(walker.source)
        self._walked = walker._walk(lambda: self._native, walker._took_block)

    def __iter__(self):
        return self._walked

    @property
    def digest(self):
        return self._native.digest


def run_html(layout, args):
    names = load_names(layout, args)
    name, out_name = input_name(args.file), output_name(args.out)
    files = module.load()
    progress = Progress("html")
    with input_path(args.file) as path:
        refuse_json(name, path)
        walker = open_walker(layout, path, name, progress)
        # The base goes into the page as it is read; the page is complete before it replaces
        # the output (files.writing), so a damaged file still leaves nothing written.
        blocks = PageBlocks(layout, walker)
        try:
            try:
                with files.writing(output_target(args.out), [input_source(args.file)]) as out:
                    # The page's title is the file's name as a text, escaped where it is not
                    # UTF-8.
                    title = files.message_text(os.path.basename(name))
                    layout.q.write_page(out, (), names.as_json() if names else None, title,
                                        blocks)
            except (files.OutputIsInput, IOError, OSError) as refused:
                # The file was read whole before the page was written once: its damage is
                # reported before what the output refused.
                for _ in blocks:
                    pass
                raise refused
        except files.OutputIsInput:
            raise Failure(refused_output(out_name, name))
        except Damaged as damage:
            raise Failure("%s: damaged: %s (nothing written)" % (name, damage))
        except (IOError, OSError) as error:
            raise Failure("cannot write %s: %s" % (out_name, reason(error)))
        finally:
            progress.finish()
    summary(args)("%s: %s on the page" % (out_name, counted(walker.counts.actions, "action")))
    return OK


# ---- command line -------------------------------------------------------------------------

class _Version(argparse.Action):
    """--version: the release of the module the tool runs with (loaded only when asked)."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                 help="print the release of actiontool and its module, then exit"):
        argparse.Action.__init__(self, option_strings, dest, nargs=0, default=default, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        try:
            loaded = module.load()
        except module.ModuleMissing as error:
            parser.exit(FAILED, "%s: %s\n" % (PROG, error))
        say("%s %s (inflating with %s)" % (PROG, loaded.__version__, loaded.inflater()))
        parser.exit(OK)


def _thread_count(text):
    """--threads: a whole number from 1 to the layout file's MOST_THREADS."""
    most = module.load_layout().MOST_THREADS
    try:
        count = int(text)
    except ValueError:
        count = 0
    if not 1 <= count <= most:
        raise argparse.ArgumentTypeError("%r is not a thread count from 1 to %d" % (text, most))
    return count


def _indent(text):
    """--indent: a whole number of at most the layout file's MOST_INDENT, what the native
    writer takes (0 or less: newlines, no spaces)."""
    try:
        count = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a whole number of spaces" % text)
    most = module.load_layout().MOST_INDENT
    if count > most:
        raise argparse.ArgumentTypeError("%r is more than %d spaces" % (text, most))
    return count


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description=textwrap.fill("Lists, checks and converts action files (gzip-compressed "
                                  "action records) through the qn4tGenericActionLoader "
                                  "module.", 78),
        epilog=EXIT_STATUSES + "\n\nThe JSON form, the editing workflow, git, tables and names "
        "are described by\n`actiontool help TOPIC` (`actiontool help` lists the topics), from "
        "the documentation\ninstalled with the tool.")
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

    names_help = ("a names file (JSON) naming the codes of chosen fields (actiontool help "
                  "names)")

    dump = command(
        "dump", "List every action and its details, then totals.",
        "Per action: number, id, name, type, level, targeting and, for spells, the spell "
        "code, cost and path; per detail its kind and the fields that are not 0; the stat "
        "entries of a stat modification as stat:amount.",
        run_dump, ("file", "the action file (- for standard input)"))
    dump.add_argument("--names", help=names_help + ", shown beside the codes: elemType=1(fire)")
    export = command(
        "export", "Write every action as JSON, to edit and import again.",
        "Fields that follow what they count (text lengths, numDetails, numStatMods, a "
        "detail's length equal to its body's size) are left out; texts carry every byte. "
        "A damaged file is refused; the output appears only when complete.",
        run_export, ("file", "the action file (- for standard input)"),
        ("out?", "the JSON file to write (default, and -: standard output)"))
    export.add_argument("--indent", type=_indent, metavar="N", help="indent by N spaces per "
                        "level, one field per line (default: one action per line)")
    export.add_argument("--csv", metavar="DIR", help="write actions.csv, details.csv and "
                        "stats.csv into DIR instead of JSON")
    export.add_argument("--sqlite", metavar="OUT.db", help="write an SQLite database instead")
    export.add_argument("--names", help=names_help + ", for <column>_name columns and views")
    export.add_argument("--named", action="store_true", help="with --names, write the name "
                        "of each named code in place of the number (import --names reads it "
                        "back to the same bytes); a code with no name stays a number")
    export.add_argument("--schema", metavar="URI", help="name the document's JSON Schema "
                        "(the file `actiontool schema` writes) in a \"$schema\" member, which "
                        "editors follow; import reads the document alike with or without it")
    schema = command(
        "schema", "Write the JSON Schema of the document form that export writes.",
        "Made from the record layout: every field with its type and range, the texts with "
        "their limits, the spell fields, each detail's body by its type; with --names, the "
        "named codes as choices. An editor given it (export --schema URI) completes field "
        "names and marks a wrong value while you type.",
        run_schema, ("out?", "the file to write (default: standard output)"))
    schema.add_argument("--names", help=names_help + ", offered as choices for the codes")
    schema.set_defaults(out=STDIO)
    imports = command(
        "import", "Write an action file from JSON (the form export writes).",
        "Every value that the file cannot hold is refused with its place (line, column), "
        "the action and the field; all refusals are listed, and nothing is written when "
        "there is one. Fields left out take 0 or the empty text.",
        run_import, ("json?", "the JSON file to read (- for standard input)"))
    imports.add_argument("out", nargs="?", help="the action file to write (- for standard "
                         "output)")
    imports.add_argument("--dry-run", action="store_true", help="check every value, write "
                         "nothing")
    imports.add_argument("--threads", type=_thread_count, default=None, metavar="N",
                         help="compress on N threads (default: one per core, from 2 to 8; 1 "
                         "writes the bytes of a single-threaded writer)")
    imports.add_argument("--csv", metavar="DIR", help="read DIR/actions.csv, details.csv and "
                         "stats.csv instead of JSON (then the one argument is OUT)")
    imports.add_argument("--sqlite", metavar="DB", help="read an SQLite database instead "
                         "(then the one argument is OUT)")
    imports.add_argument("--names", help=names_help + ": a name is taken wherever a code of "
                         "a named field is given (\"elemType\": \"fire\")")
    imports.add_argument("--strict", action="store_true", help="refuse actions that repeat "
                         "an earlier action's actionID (warned of otherwise, and written: the "
                         "format allows them)")
    sql = command(
        "sql", "Run an SQL statement over the actions of a file.",
        "The file is loaded into a temporary SQLite database with the tables actions, "
        "details and stats and a view per detail kind (actiontool help tables).",
        run_sql, ("file", "the action file (- for standard input)"),
        ("statement?", "the SQL statement, e.g. \"SELECT name FROM actions\"; it may "
                       "only read"))
    sql.add_argument("--schema", action="store_true",
                     help="list the tables and views with their columns instead")
    sql.add_argument("--csv", dest="form", action="store_const", const="csv",
                     help="print CSV instead of a table")
    sql.add_argument("--json", dest="form", action="store_const", const="json",
                     help="print a JSON list of objects instead of a table")
    sql.add_argument("--names", help=names_help + ", as the tables names, bit_names and "
                     "the views <table>_named")
    html = command(
        "html", "Write one self-contained page that shows the actions.",
        "A table that sorts and filters, a panel with every field of an action and charts; "
        "it opens from a file with nothing fetched.",
        run_html, ("file", "the action file (- for standard input)"),
        ("out", "the page to write (- for standard output)"))
    html.add_argument("--names", help=names_help)
    command("help", "Show a part of the documentation (installed with the tool).",
            "Without a topic, lists the topics.", run_help,
            ("topic?", "json, editing, import, schema, git, patch, tables, names or fields"))
    command("check", "Walk the file and report its structure, or where it is damaged.",
            "Counts the records per kind and compares the bytes walked with the file's whole "
            "uncompressed length; warns of repeated actionIDs, detail lengths that differ "
            "from their bodies and an empty file. Given a JSON document, checks every value "
            "as import would, writing nothing.",
            run_check, ("file", "the action file (- for standard input)"))
    diff = command(
        "diff", "List the actions added, removed, changed and moved between two files.",
        "Actions are matched by actionID (repeated IDs in the order they appear); a "
        "changed action is listed with each changed field as old -> new, details "
        "compared in order; an action whose place among the others changed is listed as "
        "moved, with its old and new position. Exit status 0 when the files hold the same "
        "actions in the same order, 1 when they differ, 2 on an error.",
        run_diff, ("old", "the action file before the change (- for standard input)"),
        ("new", "the action file after it"))
    diff.add_argument("--names", help=names_help + ", shown beside the codes of changed "
                      "fields: elemType: 1(fire) -> 2(ice)")
    diff.add_argument("--ignore-order", action="store_true",
                      help="match actions by actionID only: moves are not differences")
    diff.add_argument("--patch", action="store_true",
                      help="write the changes as a JSON patch (for `actiontool patch`)")
    patch = command(
        "patch", "Apply a patch that diff --patch wrote.",
        "A field whose value is neither the patch's old nor its new value, or an action "
        "removed or changed by the patch that the file holds otherwise, is a conflict; "
        "nothing is written while conflicts are left, unless --force says which side wins. "
        "The output may be the input file.",
        run_patch, ("file", "the action file to change (- for standard input)"),
        ("change", "the JSON patch"), ("out", "the action file to write (- for standard "
                                               "output)"))
    patch.add_argument("--prefer", "--force", choices=("ours", "theirs"),
                       help="in a conflict keep the file's value (ours) or take the patch's "
                            "(theirs); --force is its earlier name")
    merge = command(
        "merge", "Three-way merge of two action files changed from one base.",
        "Actions are matched by actionID (repeated IDs by their order among equals), fields "
        "merged one by one: changes on different fields or actions combine, the same change "
        "on both sides is taken once, an added or removed action follows the side that "
        "changed it. A conflict is listed with the action, the field and the three values. "
        "As a git merge driver: actiontool merge --name %P --conflicts %P.conflicts.json "
        "%O %A %B %A.",
        run_merge, ("base", "the common ancestor"), ("ours", "our version"),
        ("theirs", "their version"), ("out", "the merged action file to write (may be one "
                                             "of the inputs; - for standard output)"))
    sides = merge.add_mutually_exclusive_group()
    sides.add_argument("--prefer", choices=("ours", "theirs"),
                       help="resolve conflicts with our side or with theirs")
    sides.add_argument("--ours", dest="prefer", action="store_const", const="ours",
                       help="the same as --prefer ours")
    sides.add_argument("--theirs", dest="prefer", action="store_const", const="theirs",
                       help="the same as --prefer theirs")
    merge.add_argument("--name", metavar="NAME", help="the file's name in messages (git's "
                       "%%P), where OUT is a temporary copy")
    merge.add_argument("--conflicts", metavar="FILE", help="where conflicts are left, write "
                       "them to FILE as a patch with both sides to choose in (set each "
                       "\"take\"), then apply it to OURS with `actiontool patch`")
    return parser


def end_by(signal_number):
    """Ends the process by the signal that asked for it, as it would have without the tool's
    clean-up, so that the caller sees what happened."""
    try:
        sys.stdout.flush()
    except (AttributeError, IOError, OSError, ValueError):
        pass  # closed, or its reader went away: nothing more can reach it
    signal.signal(signal_number, signal.SIG_DFL)
    os.kill(os.getpid(), signal_number)
    return 128 + signal_number  # only if the signal is blocked


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        layout = Layout(module.load())
        terminated = module.load().Terminated
    except module.ModuleMissing as error:
        warn(str(error))
        return FAILED
    try:
        return args.run(layout, args)
    except Failure as failure:
        warn(failure.args[0])  # as given: str() of a non-ASCII text fails on Python 2
        return failure.status
    except MemoryError:
        # Whatever was being written is gone with its temporary file; the exception's
        # unwinding has given back what was held, enough for one line.
        warn("out of memory (%s needs more than the system gives); no output file is left "
             "behind" % args.command)
        return DIFF_FAILED if args.command in ("diff", "patch", "merge") else FAILED
    except KeyboardInterrupt:
        warn("interrupted")
        return INTERRUPTED
    except terminated as ended:
        if ended.signal_number != getattr(signal, "SIGPIPE", None):
            warn("terminated by signal %d; temporary files removed" % ended.signal_number)
        return end_by(ended.signal_number)
    except (IOError, OSError) as error:
        if not ending.is_broken_pipe(error):
            raise
        return ending.BROKEN_PIPE  # the reader has all it wanted


def run():
    """The `actiontool` command: runs main() on the command line and exits with its status."""
    if hasattr(signal, "SIGPIPE"):
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # `actiontool dump F | head` ends quietly
    ending.take_over_closed_streams()
    status = main()
    if status == ending.BROKEN_PIPE:
        ending.silence_standard_output()
    sys.exit(status)

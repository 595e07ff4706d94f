"""Walks over a whole action file made natively, with no Python object per action: the
listing of `actiontool dump` (dump_text, write_dump) and the findings of `actiontool check`
(check_file), each with the records counted per kind and, where the file is damaged, the
facts of the damage from the decoder that found it (FileDamage)."""
from __future__ import print_function, division

import io
import os

from qn4tGenericActionLayout import (BODY_ENTRIES, DETAIL_BODIES, DETAIL_HEADER, HEAD_SIZE,
                                     LAYOUT, TRAILER_SIZE)

import _qn4tGenericActionSupport as _native

_SIZES = dict((record, size) for record, size, _ in LAYOUT)
_ENTRY_SIZE = _SIZES[next(iter(BODY_ENTRIES.values()))[1]]
_TITLES = None  # type number -> the title of its body, read from the layout when first used

SHOWN = 20  # repeated actionIDs and length notes kept one by one; the rest are counted


def _title(type_number):
    global _TITLES
    if _TITLES is None:
        from qn4tGenericActionLayout import TITLES
        _TITLES = dict((number, TITLES[record]) for number, record in DETAIL_BODIES.items())
    return _TITLES.get(type_number)


def fault_words(stream):
    """What ended the gzip data early, in words, from an inflating reader (None for no fault):
    a cut or corrupt stream in the reader's own words, which read_actions gives too; bytes
    behind the compressed data counted here."""
    fault = stream.fault()
    if fault is None:
        return None
    kind, at, count = fault
    if kind != "trailing":
        return stream.fault_words()
    return ("%d bytes that are not gzip data follow the compressed data at compressed byte %d"
            % (count, at))


def place(number, action_id=None, detail=0, details=0):
    """A record in words: "action #3 (id 1003), detail 2 of 4"."""
    text = "action #%d" % number
    if action_id is not None:
        text += " (id %d)" % action_id
    if detail:
        text += ", detail %d of %d" % (detail, details)
    return text


class FileDamage(object):
    """Where a file's action is damaged, as the decoder found it. Facts:

    reason: "cut" (the bytes end inside a record), "unreadable" (the input fails there) or
    "too large" (more stat entries than an action read whole may hold); action: the
    action's number, from 1; action_offset: its uncompressed offset; action_id: its actionID,
    or None before its head is read; spell: whether it is a spell (False before its head is
    read); record: "head", "texts", "spell trailer", "detail
    header", "detail body" or "stat entries"; field: the field the bytes end in ("" for
    none); detail, details: the detail (from 1; 0 outside the details) and numDetails;
    detail_type: its type (None before its header); entries: its declared stat entries;
    record_offset, size, present: where the record starts, its bytes and how many of them
    the file holds; report: the reader's own words; compressed: what ended the gzip data
    early, in words, or None.

    In words as actiontool says them: `place` ("action #3 (id 1003), detail 2 of 4"),
    `offset` (the uncompressed offset of the part the words name: the entry where stat
    entries are cut, the texts for the spell trailer), `problem`, and str(damage)."""

    def __init__(self, facts, compressed=None):
        self.reason = facts["reason"]
        self.action = facts["action"]
        self.action_offset = facts["action_offset"]
        self.action_id = facts["action_id"]
        self.spell = facts["spell"]
        self.record = facts["record"]
        self.field = facts["field"]
        self.detail = facts["detail"]
        self.details = facts["details"]
        self.detail_type = facts["detail_type"]
        self.entries = facts["entries"]
        self.record_offset = facts["offset"]
        self.size = facts["size"]
        self.present = facts["present"]
        self.report = facts["report"]
        self.compressed = compressed
        self.offset, self.place, self.problem = self._words()

    def __str__(self):
        return "%s, offset %d: %s" % (self.place, self.offset, self.problem)

    def __repr__(self):
        return "<FileDamage %s>" % self

    def _words(self):
        """(offset, place, problem) as actiontool words them."""
        if self.reason == "too large":
            return self.action_offset, place(self.action), _without_place(self.report)
        where = place(self.action, self.action_id, self.detail, self.details)
        record = self.record
        if record == "head":
            if self.compressed:
                return self.action_offset, where, self._short(
                    self.present, "its %d-byte action header" % HEAD_SIZE)
            after = "after the last action" if self.action > 1 else "in the file"
            return self.action_offset, where, (
                "%d bytes remain %s, fewer than a %d-byte action header: the file is cut "
                "inside an action header, or has trailing bytes" % (self.present, after, HEAD_SIZE))
        if record in ("texts", "spell trailer"):
            start = self.action_offset + HEAD_SIZE
            texts = self.record_offset - start if record == "spell trailer" else self.size
            spell = record == "spell trailer" or self.spell
            need = texts + (TRAILER_SIZE if spell else 0)
            got = self.present + (texts if record == "spell trailer" else 0)
            return start, where, self._short(got, "its texts%s (%d bytes behind the head)" % (
                " and spell trailer" if spell else "", need))
        if record == "detail header":
            return self.record_offset, where, self._short(
                self.present, "its %d-byte detail header" % _SIZES[DETAIL_HEADER])
        if record == "detail body":
            title = _title(self.detail_type)
            if title is None:
                return self.record_offset, where, (
                    "a detail of the unknown type %d says %d body bytes follow, the file holds "
                    "%d more" % (self.detail_type, self.size, self.present))
            return self.record_offset, where, self._short(
                self.present, "its %d-byte %s body" % (self.size, title))
        entry = self.present // _ENTRY_SIZE + 1
        before = (entry - 1) * _ENTRY_SIZE
        return self.record_offset + before, where, self._short(
            self.present - before, "its stat entry %d of %d (%d bytes each)" % (
                entry, self.entries, _ENTRY_SIZE))

    def _short(self, got, what):
        if got <= 0:
            problem = "the file ends where %s should begin" % what
        else:
            problem = "the file ends %d bytes into %s" % (got, what)
        if self.compressed:
            problem += "; " + self.compressed
        return problem


def damage_of(facts, compressed=None):
    """The FileDamage of the facts a native reader gives (its `damage`), or None."""
    if facts is None:
        return None
    return FileDamage(facts, compressed)


def _without_place(report):
    """The reader's report without its "action N at offset M: "."""
    head, _, problem = report.partition(": ")
    return problem if head.startswith("action ") and problem else report


class Counts(object):
    """Records seen by a walk, per kind: actions, spells, details (type number -> count, for
    every known type), unknown_details and stats (the bodies' declared stat entries)."""

    def __init__(self, counts=None):
        actions, spells, kinds, unknown, stats = counts or (0, 0, (0,) * len(DETAIL_BODIES), 0, 0)
        self.actions = actions
        self.spells = spells
        self.details = dict(zip(sorted(DETAIL_BODIES), kinds))
        self.unknown_details = unknown
        self.stats = stats


class LengthNote(object):
    """A known detail whose length differs from the bytes of its body and entries: legal and
    kept as it stands. action (from 1), action_id, detail (from 1), length, type, title, size."""

    def __init__(self, note):
        (self.action, self.action_id, self.detail, self.length, self.type, self.title,
         self.size) = note


class WalkReport(object):
    """What a walk found. counts (Counts); walked: uncompressed bytes behind the last whole
    action, or where the damage is; total: the file's whole uncompressed length (0 when the
    walk did not reach its end); damage: a FileDamage or None; compressed: what ended the gzip
    data early, in words, or None (beside a damage it is part of its words); check's
    findings: repeated_ids, [(action, actionID, the first action with it or None)], the
    first SHOWN of repeated_count; length_notes, [LengthNote], the first SHOWN of
    length_count. read_error: the IOError/OSError of the file's read() that ended the walk
    (raised as well), with counts and walked up to it."""

    def __init__(self):
        self.counts = Counts()
        self.walked = 0
        self.total = 0
        self.damage = None
        self.compressed = None
        self.repeated_ids = []
        self.repeated_count = 0
        self.length_notes = []
        self.length_count = 0
        self.read_error = None

    @property
    def ok(self):
        """Whether the file was walked to its end with nothing wrong."""
        return self.damage is None and self.compressed is None


class FileWalk(object):
    """One native walk over an action file: `source` is a path or a binary file object (read
    from where it stands). Iterating gives bytes blocks: dump's text with listing=True (names:
    a CodeNames, shown beside the codes it names), else b"" every few thousand actions. When
    the iteration ends, `report` (WalkReport) holds what was found; a damaged file ends the
    iteration with report.damage set, never with an exception. progress(done, size), when
    given, is called between blocks with the compressed bytes taken in and the file's size.
    Raises IOError/OSError when the file cannot be opened or read."""

    def __init__(self, source, listing=False, names=None, progress=None):
        self.source = source
        self._own = not hasattr(source, "read")
        self.start = None if self._own else _tell(source)
        self._raw = io.open(source, "rb") if self._own else source
        try:
            self._stream = _native._inflate(self._raw)
            self.compressed = self._stream.gzip()
            self.size = _size_of(self._raw)
        except BaseException:
            self.close()
            raise
        self._listing = listing
        self._names = _names_argument(names)
        self._progress = progress
        self.report = None

    def close(self):
        if self._own:
            self._raw.close()

    def __iter__(self):
        walk = _native._walk_actions(self._stream, 1, 1 if self._listing else 0, self._names,
                                     SHOWN)
        report = WalkReport()
        try:
            try:
                for block in walk:
                    yield block
                    if self._progress:
                        self._progress(self._stream.compressed_offset, self.size)
            except _native.DamagedFileError:
                pass  # the facts are in the summary
            except (IOError, OSError) as error:
                report.read_error = error
                summary = walk.summary
                report.walked = summary["offset"] if summary else walk.offset
                report.counts = Counts(summary["counts"]) if summary else report.counts
                self.report = report
                raise
            self._finish(walk, report)
        finally:
            self.close()

    def _finish(self, walk, report):
        summary = walk.summary
        report.counts = Counts(summary["counts"])
        report.walked = summary["offset"]
        report.repeated_ids = [(number, action_id, None)
                               for number, action_id in summary["repeats"]]
        report.repeated_count = summary["repeat_count"]
        report.length_notes = [LengthNote(note) for note in summary["lengths"]]
        report.length_count = summary["length_count"]
        report.total = _drained(self._stream)
        report.compressed = fault_words(self._stream)
        report.damage = damage_of(summary["damage"], report.compressed)
        if report.damage is not None:
            report.walked = report.damage.offset
        self.report = report


def _drained(stream):
    """Reads the inflated stream to its end; the whole uncompressed length (what was read
    where reading fails: the walk's own report says more)."""
    try:
        while stream.read(1 << 18):
            pass
    except (IOError, OSError):
        pass
    return stream.delivered


def _size_of(raw):
    try:
        return os.fstat(raw.fileno()).st_size
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
        return 0


def _names_argument(names):
    """The native walk's form of names (None; a CodeNames; or an object with `codes`, {field:
    {code: name}}, and `bits`, {field: {bit: name}}): ((field, bits, ((value, name), ...)),
    ...)."""
    if not names:
        return None
    from qn4tGenericActionLoader.named import CodeNames
    if isinstance(names, CodeNames):
        codes, bits = names.names, {}
    else:
        codes, bits = names.codes, getattr(names, "bits", None) or {}
    fields = [(field, 0, tuple(table.items())) for field, table in codes.items()]
    fields += [(field, 1, tuple(table.items())) for field, table in bits.items()
               if field not in codes]
    return tuple(fields)


def dump_text(source, names=None, progress=None):
    """The listing of the action file `source` (a path or a binary file object) as
    `actiontool dump` prints it, in UTF-8 bytes blocks of whole lines (a line of many stat
    entries comes in several): a line per action, a line per detail with its fields that are
    not 0, and a line of each detail's stat entries. names: a CodeNames whose names are shown
    beside the codes, "1(fire)". The returned FileWalk's `report` holds the counts and any
    damage once the blocks are all given."""
    return FileWalk(source, listing=True, names=names, progress=progress)


def write_dump(out, source, names=None, progress=None):
    """Writes the listing of dump_text(source, names) to the binary file object `out`;
    returns the WalkReport (damage in report.damage: the listing then stops behind the last
    whole action)."""
    walk = dump_text(source, names, progress)
    for block in walk:
        out.write(block)
    return walk.report


def check_file(source, progress=None):
    """Walks the action file `source` (a path, a binary file object, or a FileWalk made
    without listing and not yet walked) as `actiontool check` does, natively; returns a
    WalkReport with the counts, the damage (FileDamage) if any, the actions that repeat an
    earlier action's actionID and the details whose length differs from their body. For the
    repeated IDs shown the first action with the ID is looked up by a second walk, where
    `source` is a path or a file that can seek back. A failing read() raises its
    IOError/OSError (the FileWalk's report holds what came before)."""
    walk = source if isinstance(source, FileWalk) else FileWalk(source, progress=progress)
    for _ in walk:
        pass
    report = walk.report
    if report.repeated_ids:
        first = _first_with_ids(walk.source, walk.start,
                                set(i for _, i, _ in report.repeated_ids))
        report.repeated_ids = [(number, action_id, first.get(action_id))
                               for number, action_id, _ in report.repeated_ids]
    return report


def _tell(stream):
    try:
        return stream.tell() if stream.seekable() else None
    except (AttributeError, IOError, OSError, ValueError):
        return None


def _first_with_ids(source, start, wanted):
    """{actionID: the number of the first action with it} for the IDs in wanted, all of which
    the file holds before any damage; empty where the file cannot be read again."""
    from qn4tGenericActionLoader.actions import read_actions
    first = {}
    try:
        if start is not None:
            source.seek(start)
        elif hasattr(source, "read"):
            return first
        for number, action in enumerate(read_actions(source), 1):
            if action.actionID in wanted and action.actionID not in first:
                first[action.actionID] = number
                if len(first) == len(wanted):
                    break
    except (_native.DamagedFileError, IOError, OSError):
        pass  # the first walk read these actions: only a file changed meanwhile gets here
    return first

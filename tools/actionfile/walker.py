"""Walks an action file through the module, record by record, as the file convention says: an
action header, then for each detail a detail header and the body its type names, then a stat
modification's entries; repeated to the end of the file. One record object per kind is reused
for the whole file. The walk keeps the offset in the uncompressed stream itself (the stream
has no tell) and measures it against the file's bytes as Python's own zlib reads them."""
from __future__ import print_function, division

from .layout import SPELL_ACTION_TYPE
from .rawdata import read_uncompressed

ACTION, DETAIL, STAT = "action", "detail", "stat"
PROGRESS_EVERY = 4096  # actions between two progress reports


class _Finding(object):
    """Where something was found: the record, and the offset in the uncompressed stream."""

    def __init__(self, offset, place, problem):
        self.offset = offset
        self.place = place
        self.problem = problem

    def __str__(self):
        return "%s, offset %d: %s" % (self.place, self.offset, self.problem)


class Damaged(_Finding, Exception):
    """The file cannot be walked to its end: which record, the offset in the uncompressed
    stream, and what was expected there."""

    def __init__(self, offset, place, problem):
        Exception.__init__(self, offset, place, problem)
        _Finding.__init__(self, offset, place, problem)


class Note(_Finding):
    """Something the file holds intact that the tool cannot carry into JSON."""


class Counts(object):
    """Records seen so far, per kind."""

    def __init__(self, layout):
        self.actions = 0
        self.spells = 0
        self.details = dict((number, 0) for number in layout.kinds)
        self.unknown_details = 0
        self.stats = 0


class Walker(object):
    """One walk over one file. events() yields (event, record) in file order:
    (ACTION, header), (DETAIL, body) with body None for a detail of an unknown type (skipped),
    and (STAT, entry). The record objects are reused: read what is needed before the next
    event. While an event is out, the attributes below say where the walk stands."""

    def __init__(self, layout, path, progress=None):
        self.layout = layout
        self.path = path
        self.progress = progress
        contents = read_uncompressed(path)
        self.data, self.compression_problem = contents.data, contents.problem
        self.compressed = contents.compressed
        self.corrupt = contents.corrupt  # the record stream may stop before data ends
        self.total = len(self.data)
        self.counts = Counts(layout)
        self.notes = []
        self.walked = 0  # bytes behind the last record read
        self.read_error = None  # what a record read or seek raised, when one raised

        self.header = layout.header_cls()
        self.detail_header = layout.detail_header.cls()
        self.bodies = dict((number, kind.shape.cls()) for number, kind in layout.kinds.items())
        self.stat = layout.stat.cls()

        self.action_number = 0
        self.action_id = None
        self.action_offset = 0
        self.text_spans = ()  # (text field, offset, size) of the current action
        self.trailer_offset = None  # of the current action, None without a trailer
        self.detail_number = 0
        self.detail_count = 0
        self.detail_kind = None  # DetailKind of the current detail, None when unknown

    def place(self):
        """The current record in words: "action #3 (id 1003), detail 2 of 4"."""
        text = "action #%d" % self.action_number
        if self.action_id is not None:
            text += " (id %d)" % self.action_id
        if self.detail_number:
            text += ", detail %d of %d" % (self.detail_number, self.detail_count)
        return text

    def events(self):
        try:
            stream = self.layout.q.Stream(self.path, "r")
        except (IOError, OSError) as error:
            raise Damaged(0, "action #1", "the record stream cannot open the file: %s"
                          % (error.strerror or error))
        try:
            for event in self._walk(stream):
                yield event
        except (IOError, OSError) as error:
            # A stream that raises for damaged or unreadable data: the read that raised began
            # where the walk stands.
            self.read_error = error
            if self.detail_number == 0:  # at an action header
                self.action_number, self.action_id = self.action_number + 1, None
            raise self._stopped(self.walked)
        finally:
            stream.close()

    def _walk(self, stream):
        layout = self.layout
        header = self.header
        offset = 0
        while True:
            self.detail_number = 0
            if header.read(stream) != 0:
                if offset == self.total:
                    break
                raise self._action_damage(offset)
            offset = self._start_action(offset)
            self.walked = offset
            yield ACTION, header
            num_details = header.numDetails
            for number in range(1, num_details + 1):
                self.detail_number, self.detail_count = number, num_details
                offset = self._read_detail_header(stream, offset)
                kind = self.detail_kind
                if kind is None:
                    offset = self._skip_unknown(stream, offset)
                    self.walked = offset
                    yield DETAIL, None
                    continue
                body = self.bodies[kind.type_number]
                if body.read(stream) != 0:
                    raise self._short(offset, kind.shape.size,
                                      "its %d-byte %s body" % (kind.shape.size, kind.title))
                offset += kind.shape.size
                self.counts.details[kind.type_number] += 1
                self.walked = offset
                yield DETAIL, body
                if kind.has_stats:
                    for event in self._stats(stream, offset, body):
                        yield event
                    offset = self.walked
            if self.progress and self.action_number % PROGRESS_EVERY == 0:
                self.progress(offset, self.total)
        if self.compression_problem:
            raise Damaged(offset, "after action #%d" % self.action_number,
                          self.compression_problem)

    def _start_action(self, offset):
        """Takes in the action header just read; returns the offset behind it."""
        layout, header = self.layout, self.header
        self.action_number += 1
        self.action_id = header.actionID & 0xFFFFFFFF
        self.action_offset = offset
        sizes = [getattr(header, length) for _, length in layout.texts]
        action_type = header.actionType
        position = offset + layout.head_size
        spans = []
        for (name, _), size in zip(layout.texts, sizes):
            spans.append((name, position, size))
            position += size
        self.text_spans = spans
        self.trailer_offset = position if action_type == SPELL_ACTION_TYPE else None
        self._look_behind_zero_bytes(offset + layout.head_size, position)
        self.counts.actions += 1
        if action_type == SPELL_ACTION_TYPE:
            self.counts.spells += 1
        return offset + layout.head_size + layout.variable_size(sizes, action_type)

    def _look_behind_zero_bytes(self, start, end):
        """Notes every text that holds other bytes behind a zero byte: the module's getters stop
        at the first zero byte, and its setters take no zero byte, so such bytes cannot be
        carried. Zero bytes up to the text's end are padding, which the length field carries."""
        if b"\0" not in self.data[start:end]:
            return
        for name, position, size in self.text_spans:
            text = self.data[position:position + size]
            zero = text.find(b"\0")
            if zero >= 0 and text.count(b"\0", zero) != size - zero:
                self.notes.append(Note(
                    position + zero, self.place(),
                    "the text %s (%d bytes) holds other bytes behind a zero byte at its byte %d"
                    % (name, size, zero)))

    def _read_detail_header(self, stream, offset):
        self.detail_kind = None
        size = self.layout.detail_header.size
        if self.detail_header.read(stream) != 0:
            raise self._short(offset, size, "its %d-byte detail header" % size)
        self.detail_kind = self.layout.kinds.get(self.detail_header.type)
        self.walked = offset + size
        return offset + size

    def _skip_unknown(self, stream, offset):
        """Seeks over the body of a detail of an unknown type: its length counts the body bytes
        behind the detail header."""
        type_number = self.detail_header.type
        length = self.detail_header.length
        left = self.total - offset
        if length > left:
            raise Damaged(offset, self.place(),
                          "a detail of the unknown type %d says %d body bytes follow, the file "
                          "holds %d more" % (type_number, length, left))
        stream.seek(length)
        self.counts.unknown_details += 1
        self.notes.append(Note(offset - self.layout.detail_header.size, self.place(),
                               "detail of the unknown type %d (known: %s): its %d body bytes "
                               "were skipped" % (type_number, self.layout.kind_list(), length)))
        return offset + length

    def _stats(self, stream, offset, body):
        count = body.numStatMods & 0xFFFFFFFF
        size = self.layout.stat.size
        number = 0
        while number < count:  # not range(): a damaged count may be in the billions
            number += 1
            if self.stat.read(stream) != 0:
                raise self._short(offset, size, "its stat entry %d of %d (%d bytes each)"
                                  % (number, count, size))
            offset += size
            self.counts.stats += 1
            self.walked = offset
            yield STAT, self.stat

    def _stopped(self, offset):
        """The Damaged report for a read that failed because the record stream gave up: on
        corrupt compressed data it drops what it had decoded of the damaged stretch, so a
        failed read says nothing about where the data ends."""
        problem = self.compression_problem or "the record stream says: %s" % (
            self.read_error.strerror or self.read_error)
        return Damaged(offset, self.place(), "the record stream stops here, %d bytes before "
                       "the damage: %s" % (self.total - offset, problem))

    def _short(self, offset, size, what):
        """The Damaged report for a record read that failed at offset."""
        if self.corrupt:
            return self._stopped(offset)
        left = self.total - offset
        if left <= 0:
            problem = "the file ends where %s should begin" % what
        elif left < size:
            problem = "the file ends %d bytes into %s" % (left, what)
        else:
            problem = "%s could not be read although %d bytes remain" % (what, left)
        if self.compression_problem:
            problem += "; " + self.compression_problem
        return Damaged(offset, self.place(), problem)

    def _action_damage(self, offset):
        """The Damaged report for an action header read that failed at offset."""
        layout, header = self.layout, self.header
        left = self.total - offset
        number = self.action_number + 1
        if self.corrupt:
            self.action_number, self.action_id = number, None
            return self._stopped(offset)
        if left < layout.head_size and not self.compression_problem:
            after = "after the last action" if number > 1 else "in the file"
            return Damaged(offset, "action #%d" % number,
                           "%d bytes remain %s, fewer than a %d-byte action header: the file "
                           "is cut inside an action header, or has trailing bytes"
                           % (left, after, layout.head_size))
        if left < layout.head_size:
            self.action_number, self.action_id = number, None
            return self._short(offset, layout.head_size,
                               "its %d-byte action header" % layout.head_size)
        # The head arrived: a read that fails behind it leaves the head's fields in the record.
        self.action_number, self.action_id = number, header.actionID & 0xFFFFFFFF
        sizes = [getattr(header, length) for _, length in layout.texts]
        need = layout.variable_size(sizes, header.actionType)
        what = "its texts%s (%d bytes behind the head)" % (
            " and spell trailer" if header.actionType == SPELL_ACTION_TYPE else "", need)
        return self._short(offset + layout.head_size, need, what)

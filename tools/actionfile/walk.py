"""Walks an action file with the package's whole-actions reader, one Action at a time: counts
the records per kind, and where the file is damaged, walks the
damaged action field by field to say which record is cut, at which uncompressed offset, and
what was expected there. Memory stays flat in the file's size."""
from __future__ import print_function, division

import io

from . import module

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


class Counts(object):
    """Records seen so far, per kind."""

    def __init__(self, layout):
        self.actions = 0
        self.spells = 0
        self.details = dict((number, 0) for number in layout.kinds)
        self.unknown_details = 0
        self.stats = 0


def place(number, action_id=None, detail=0, details=0):
    """A record in words: "action #3 (id 1003), detail 2 of 4"."""
    text = "action #%d" % number
    if action_id is not None:
        text += " (id %d)" % action_id
    if detail:
        text += ", detail %d of %d" % (detail, details)
    return text


class Walk(object):
    """One walk over the action file at `path`. actions() yields its Action objects in file
    order; meanwhile `counts`, `walked` (bytes behind the last action) and
    `action_start` (the offset of the action last yielded) say where the walk stands. At the
    end `total` holds the file's whole uncompressed length. Raises IOError/OSError when the
    file cannot be opened."""

    def __init__(self, layout, path, progress=None):
        self.layout = layout
        self.path = path
        self.progress = progress
        self.source = Source(path)
        self.compressed = self.source.compressed
        self.size = _file_size(self.source)
        self.counts = Counts(layout)
        self.walked = 0
        self.action_start = 0
        self.total = 0

    def actions(self):
        """The file's actions. Raises Damaged where the file is damaged, after every complete
        action before that point."""
        return self._walk(lambda: self.layout.q.read_actions(self.source, plain=True),
                          self._took_action)

    def json_blocks(self, indent=None):
        """The JSON text of the file's actions as the package's document form writes them
        (UTF-8 bytes; each action after ",\\n" but the first, and `indent` spaces), a block
        of whole actions at a time, made natively without an object per value. Counts only
        the actions. Raises Damaged as actions() does, after the block holding every
        complete action before the damage."""
        return self._walk(lambda: self.layout.q.json_blocks(self.source, indent),
                          self._took_block)

    def csv_blocks(self):
        """The CSV rows of the file's actions, made natively as the package's csv_blocks
        gives them ((actions, details, stats) bytes per block of whole actions). Counts only
        the actions. Raises Damaged as actions() does, after the block holding every
        complete action before the damage."""
        return self._walk(lambda: self.layout.q.tables.csv_blocks(self.source, plain=True),
                          self._took_block)

    def sqlite_blocks(self, target, durable=True):
        """Fills the SQLite database file at target with the tables of the file's actions,
        natively, a block of actions per step, as the package's sqlite_blocks does (one
        transaction, committed at the end). Counts only the actions. Raises Damaged as
        actions() does (nothing is committed then)."""
        return self._walk(lambda: self.layout.q.tables.sqlite_blocks(
            self.source, target, plain=True, durable=durable), self._took_block)

    def _took_action(self, reader, action):
        self.action_start, self.walked = self.walked, reader.offset
        self.counts.actions += 1
        self._count(action)

    def _took_block(self, reader, block):
        self.walked = reader.offset
        self.counts.actions = reader.actions

    def _walk(self, open_reader, took):
        """What the reader that open_reader() makes yields, each item passed to took(reader,
        item) first, with progress reports and the end of the file checked."""
        counts, progress = self.counts, self.progress
        reported = 0
        reader = open_reader()
        try:
            try:
                for item in reader:
                    took(reader, item)
                    yield item
                    if progress and counts.actions - reported >= PROGRESS_EVERY:
                        reported = counts.actions
                        progress(self.source.compressed_position(), self.size)
            except self.layout.q.DamagedFileError as error:
                self.total = self.source.drain()
                raise self._damage(str(error))
            except (IOError, OSError) as error:
                raise Damaged(self.walked, place(counts.actions + 1), "the file cannot be read "
                              "from here: %s" % (error.strerror or error))
            self.total = self.source.drain()
            if self.source.problem:
                raise Damaged(self.walked, "after action #%d" % counts.actions,
                              self.source.problem)
        finally:
            self.source.close()

    def _count(self, action):
        counts, layout = self.counts, self.layout
        if layout.is_spell(layout.action_type_of(action)):
            counts.spells += 1
        kinds = counts.details
        for detail in action.details:
            number = detail.type
            if number in kinds:
                kinds[number] += 1
                kind = layout.kinds[number]
                if kind.has_stats:
                    counts.stats += getattr(detail.body, kind.entry_count)
            else:
                counts.unknown_details += 1

    def _damage(self, reader_report):
        """The Damaged report for the action behind the last complete one."""
        number = self.counts.actions + 1
        source = Source(self.path)
        try:
            source.skip(self.walked)
            damage = _DamagedAction(self.layout, source, number, self.walked).find()
        finally:
            source.close()
        if damage is None:  # the reader saw what a walk by the fields does not
            damage = Damaged(self.walked, place(number), _without_place(reader_report))
        self.walked = damage.offset
        return damage


def _without_place(reader_report):
    """The reader's report without its "action N at offset M: ", which the tool's own place
    gives."""
    head, _, problem = reader_report.partition(": ")
    return problem if head.startswith("action ") and problem else reader_report


class Source(object):
    """The uncompressed bytes of the file at `path` as the package's reader delivers them
    (gzip members one after another, or a file that does not start like gzip as it stands),
    with what the walks need beside them. A fault in the compressed layer ends the bytes
    behind what was inflated before it, and `problem` says what and at which compressed
    byte. Raises IOError/OSError when the file cannot be opened or read.

    compressed: whether the file starts like gzip. delivered: bytes given out so far."""

    open_file = staticmethod(lambda path: io.open(path, "rb"))

    def __init__(self, path):
        self._raw = self.open_file(path)
        try:
            self._stream = module.load().inflating(self._raw)
            self.compressed = self._stream.gzip()
        except BaseException:
            self._raw.close()
            raise

    def close(self):
        self._raw.close()

    def readable(self):
        return True

    def read(self, size=-1):
        return self._stream.read(size)

    @property
    def delivered(self):
        return self._stream.delivered

    def compressed_position(self):
        """Compressed bytes taken in so far: how far the walk is, for progress reports."""
        return self._stream.compressed_offset

    def take(self, count):
        """Up to count bytes: fewer only where the stream ends."""
        parts, wanted = [], count
        while wanted > 0:
            data = self.read(min(wanted, _PIECE))
            if not data:
                break
            parts.append(data)
            wanted -= len(data)
        return b"".join(parts)

    def skip(self, count):
        """Reads and drops up to count bytes; returns how many there were."""
        skipped = 0
        while skipped < count:
            data = self.read(min(count - skipped, _PIECE))
            if not data:
                break
            skipped += len(data)
        return skipped

    def drain(self):
        """Reads to the end; returns the whole uncompressed length."""
        while self.read(_PIECE):
            pass
        return self.delivered

    @property
    def problem(self):
        """What ended the gzip data early, in words, or None."""
        fault = self._stream.fault()
        if fault is None:
            return None
        kind, at, count = fault
        if kind != "trailing":  # cut or corrupt, in the reader's own words
            return self._stream.fault_words()
        return ("%d bytes that are not gzip data follow the compressed data at compressed "
                "byte %d" % (count, at))


_PIECE = 1 << 18  # uncompressed bytes asked for at once


def _file_size(stream):
    try:
        import os
        return os.fstat(stream._raw.fileno()).st_size
    except (AttributeError, OSError, ValueError):
        return 0


class _DamagedAction(object):
    """Reads one action field by field from a stream standing at its start, to find the
    record that is cut short. Stat entries and unknown bodies are skipped over, not kept."""

    def __init__(self, layout, stream, number, offset):
        self.layout = layout
        self.stream = stream
        self.number = number
        self.offset = offset
        self.action_id = None
        self.detail = (0, 0)

    def place(self):
        return place(self.number, self.action_id, *self.detail)

    def find(self):
        """The Damaged report, or None when the action is whole."""
        layout, stream = self.layout, self.stream
        head = stream.take(layout.head_size)
        if len(head) < layout.head_size:
            if stream.problem:
                return self._short(len(head), "its %d-byte action header" % layout.head_size)
            after = "after the last action" if self.number > 1 else "in the file"
            return Damaged(self.offset, self.place(),
                           "%d bytes remain %s, fewer than a %d-byte action header: the file "
                           "is cut inside an action header, or has trailing bytes"
                           % (len(head), after, layout.head_size))
        values = dict(zip(layout.head.names, layout.head.unpack(head)))
        self.action_id = values[layout.action_id]
        self.offset += layout.head_size
        action_type = values[layout.action_type]
        spell = layout.is_spell(action_type)
        need = layout.variable_size([values[length] for _, length in layout.texts], action_type)
        got = len(stream.take(need))
        if got < need:
            return self._short(got, "its texts%s (%d bytes behind the head)"
                               % (" and spell trailer" if spell else "", need))
        self.offset += need
        count = values[layout.detail_count]
        for number in range(1, count + 1):
            self.detail = (number, count)
            damage = self._detail()
            if damage is not None:
                return damage
        return None

    def _detail(self):
        layout, stream = self.layout, self.stream
        size = layout.detail_header.size
        header = stream.take(size)
        if len(header) < size:
            return self._short(len(header), "its %d-byte detail header" % size)
        type_number, length = layout.detail_header.unpack(header)
        self.offset += size
        kind = layout.kinds.get(type_number)
        if kind is None:
            got = stream.skip(length)
            if got < length:
                return Damaged(self.offset, self.place(),
                               "a detail of the unknown type %d says %d body bytes follow, the "
                               "file holds %d more" % (type_number, length, got))
            self.offset += length
            return None
        body = stream.take(kind.shape.size)
        if len(body) < kind.shape.size:
            return self._short(len(body), "its %d-byte %s body" % (kind.shape.size, kind.title))
        self.offset += kind.shape.size
        if kind.has_stats:
            return self._stats(kind.shape.unpack(body)[kind.shape.names.index(kind.entry_count)])
        return None

    def _stats(self, count):
        size = self.layout.stat.size
        got = self.stream.skip(count * size)
        if got == count * size:
            self.offset += got
            return None
        number = got // size + 1
        self.offset += (number - 1) * size
        return self._short(got - (number - 1) * size, "its stat entry %d of %d (%d bytes each)"
                           % (number, count, size))

    def _short(self, got, what):
        if got <= 0:
            problem = "the file ends where %s should begin" % what
        else:
            problem = "the file ends %d bytes into %s" % (got, what)
        if self.stream.problem:
            problem += "; " + self.stream.problem
        return Damaged(self.offset, self.place(), problem)

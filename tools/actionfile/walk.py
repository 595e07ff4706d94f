"""Walks an action file with the package's whole-actions reader, one Action at a time, and
where the file is damaged says which record is cut, at which uncompressed offset and what
was expected there, from the facts of the reader that found it (the package's FileDamage).
Memory stays flat in the file's size."""
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


def unreadable(layout, number, offset, error):
    """The Damaged report of a read that failed in action number `number` at `offset`."""
    return Damaged(offset, layout.q.walking.place(number), "the file cannot be read from "
                   "here: %s" % (error.strerror or error))


class Walk(object):
    """One walk over the action file at `path`. actions() yields its Action objects in file
    order; meanwhile `counts` and `walked` (bytes behind the last action) say where the walk
    stands. At the end `total` holds the file's whole uncompressed length. Raises IOError/OSError when the
    file cannot be opened."""

    def __init__(self, layout, path, progress=None):
        self.layout = layout
        self.progress = progress
        self.source = Source(path)
        self.compressed = self.source.compressed
        self.size = _file_size(self.source)
        self.counts = layout.q.walking.Counts()
        self.walked = 0
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
        self.walked = reader.offset
        self.counts.actions += 1

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
                raise self._damage(getattr(reader, "damage", None), error)
            except (IOError, OSError) as error:
                raise unreadable(self.layout, counts.actions + 1, self.walked, error)
            self.total = self.source.drain()
            if self.source.problem:
                raise Damaged(self.walked, "after action #%d" % counts.actions,
                              self.source.problem)
        finally:
            self.source.close()

    def _damage(self, facts, error):
        """The Damaged report of the reader's facts, for the action behind the last complete
        one (its own words where it has no facts: the inflated stream itself failed)."""
        if facts is None:
            return Damaged(self.walked, self.layout.q.walking.place(self.counts.actions + 1),
                           str(error))
        damage = self.layout.q.FileDamage(facts, self.source.problem)
        self.walked = damage.offset
        return Damaged(damage.offset, damage.place, damage.problem)


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

    def drain(self):
        """Reads to the end; returns the whole uncompressed length."""
        while self.read(_PIECE):
            pass
        return self.delivered

    @property
    def problem(self):
        """What ended the gzip data early, in words, or None."""
        return module.load().walking.fault_words(self._stream)


_PIECE = 1 << 18  # uncompressed bytes asked for at once


def _file_size(stream):
    try:
        import os
        return os.fstat(stream._raw.fileno()).st_size
    except (AttributeError, OSError, ValueError):
        return 0

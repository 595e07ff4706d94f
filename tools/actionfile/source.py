"""An action file's uncompressed bytes as a stream, inflated here with Python's zlib a piece at
a time: what the tool's walks read, and where a fault in the compressed layer lies (its
compressed byte). Memory stays flat however far the file inflates."""
from __future__ import print_function, division

import io
import zlib

GZIP_MAGIC = b"\x1f\x8b"
_GZIP_WINDOW = 16 + zlib.MAX_WBITS  # a gzip wrapper around deflate data
_INPUT_PIECE = 1 << 14  # compressed bytes per inflate call: a fault is searched within one
_OUTPUT_PIECE = 1 << 18  # uncompressed bytes per inflate call, however well the data packs


class Inflated(object):
    """A readable binary stream of the uncompressed bytes of the file open in `raw`, as the
    record stream delivers them: gzip members one after another, or a file that does not
    start like gzip as it stands. A fault in the compressed layer ends the stream behind what
    could be recovered before it, and `problem` says what and at which compressed byte.

    compressed: whether the file starts like gzip (None before the first read).
    delivered: uncompressed bytes given out so far."""

    def __init__(self, raw):
        self._raw = raw
        self.compressed = None
        self.problem = None
        self.delivered = 0
        self._pending = b""
        self._input = b""  # compressed bytes read from raw, not yet given to the inflater
        self._input_at = 0  # the compressed offset of _input's first byte
        self._inflater = None  # None between two gzip members
        self._member_at = 0
        self._ended = False

    @classmethod
    def open(cls, path):
        """An Inflated over the file at path (closed by close()); IOError/OSError when it
        cannot be opened."""
        return cls(io.open(path, "rb"))

    def close(self):
        self._raw.close()

    def starts_like_gzip(self):
        """Whether the file starts with the gzip signature (decides how it is read)."""
        if self.compressed is None:
            self._fill(2)
            self.compressed = self._input.startswith(GZIP_MAGIC)
            if self.compressed:
                self._inflater = zlib.decompressobj(_GZIP_WINDOW)
        return self.compressed

    def compressed_position(self):
        """Compressed bytes taken in so far: how far the walk is, for progress reports."""
        return self._input_at

    def take(self, count):
        """Up to count bytes: fewer only where the stream ends."""
        parts, wanted = [], count
        while wanted > 0:
            data = self.read(wanted)
            if not data:
                break
            parts.append(data)
            wanted -= len(data)
        return b"".join(parts)

    def readable(self):
        return True

    def read(self, size=-1):
        while not self._pending and not self._ended:
            self._step()
        if size is None or size < 0 or size >= len(self._pending):
            data, self._pending = self._pending, b""
        else:
            data, self._pending = self._pending[:size], self._pending[size:]
        self.delivered += len(data)
        return data

    def skip(self, count):
        """Reads and drops up to count bytes; returns how many there were."""
        skipped = 0
        while skipped < count:
            data = self.read(min(count - skipped, _OUTPUT_PIECE))
            if not data:
                break
            skipped += len(data)
        return skipped

    def drain(self):
        """Reads to the end; returns the whole uncompressed length."""
        while self.read(_OUTPUT_PIECE):
            pass
        return self.delivered

    # ---- inflating --------------------------------------------------------------------

    def _fill(self, at_least=1):
        """Reads compressed bytes until _input holds at_least of them; False at the end."""
        while len(self._input) < at_least:
            data = self._raw.read(max(_INPUT_PIECE, at_least))
            if not data:
                return False
            self._input += data
        return True

    def _step(self):
        if not self.starts_like_gzip():
            self._plain()
        elif self._inflater is None:
            self._next_member()
        else:
            self._inflate()

    def _plain(self):
        self._pending, self._input = self._input or self._raw.read(_OUTPUT_PIECE), b""
        self._ended = not self._pending

    def _next_member(self):
        self._fill(2)
        if not self._input:
            self._ended = True
        elif self._input.startswith(GZIP_MAGIC):
            self._member_at = self._input_at
            self._inflater = zlib.decompressobj(_GZIP_WINDOW)
        else:
            # The record stream stops at such bytes without a word; the tool must not.
            count = len(self._input)
            while True:
                data = self._raw.read(_OUTPUT_PIECE)
                if not data:
                    break
                count += len(data)
            self._end("%d bytes that are not gzip data follow the compressed data at "
                      "compressed byte %d" % (count, self._input_at))

    def _end(self, problem):
        self.problem = problem
        self._ended = True

    def _inflate(self):
        if not self._fill():
            self._end_of_file()
            return
        piece = self._input[:_INPUT_PIECE]
        before = self._inflater.copy()
        try:
            out = self._inflater.decompress(piece, _OUTPUT_PIECE)
        except zlib.error as error:
            fault, self._pending = _fault_in(before, piece)
            self._end("the compressed data is damaged at compressed byte %d (%s)"
                      % (self._input_at + fault, error))
            return
        unused = len(self._inflater.unused_data)
        used = len(piece) - unused - len(self._inflater.unconsumed_tail)
        self._input = self._input[used:]
        self._input_at += used
        if unused:
            self._inflater = None  # the member ended: another may follow
        self._pending = out

    def _end_of_file(self):
        """The file ended inside a gzip member, or right behind its end."""
        if _member_ended(self._inflater):
            self._ended = True
        else:
            self._end("the compressed data is cut short: the gzip stream starting at "
                      "compressed byte %d has no end" % self._member_at)


def _fault_in(inflater, piece):
    """(offset in piece of the byte at which inflating it fails, the bytes inflated before
    that byte), given the inflater as it stood before the piece: found by inflating it a byte
    at a time. Only a damaged file pays for this."""
    recovered = []
    for offset in range(len(piece)):
        try:
            recovered.append(inflater.decompress(piece[offset:offset + 1]))
        except zlib.error:
            return offset, b"".join(recovered)
    return len(piece), b"".join(recovered)


def _member_ended(inflater):
    """True when the gzip member was inflated to its end and its trailer checked."""
    if hasattr(inflater, "eof"):  # Python 3.3 and later say so directly
        return inflater.eof
    # Python 2 does not: one extra byte stays unused only when the member had really ended.
    probe = inflater.copy()
    try:
        probe.decompress(b"\0")
    except zlib.error:
        return False
    return probe.unused_data == b"\0"

"""The uncompressed bytes of a record file, read with Python's own zlib rather than the module:
the reference that the record walk is measured against, and the source of the bytes that the
module's text getters cannot return (anything behind a zero byte)."""
from __future__ import print_function, division

import collections
import zlib

GZIP_MAGIC = b"\x1f\x8b"
_GZIP_WINDOW = 16 + zlib.MAX_WBITS  # a gzip wrapper around deflate data
_CHUNK = 1 << 20

# data: the uncompressed bytes; problem: None or what is wrong with the compressed layer;
# compressed: whether the file starts like gzip; corrupt: whether the deflate data itself is
# damaged (then the record stream drops what it had decoded of the damaged stretch and stops
# before data ends, where a file that is merely cut short is delivered to its end).
Uncompressed = collections.namedtuple("Uncompressed", "data problem compressed corrupt")


def read_uncompressed(path):
    """The file's contents as Uncompressed: its bytes as the record stream delivers them (up to
    a fault in the compressed layer: what could be recovered before it), and what is wrong.
    A file that does not start like gzip is taken as it stands, as the record stream does.
    Raises IOError/OSError when it cannot be read."""
    with open(path, "rb") as f:
        blob = f.read()
    if not blob.startswith(GZIP_MAGIC):
        return Uncompressed(blob, None, False, False)
    return _gunzip_members(blob)


def _gunzip_members(blob):
    parts = []
    position = 0
    while True:
        member = blob[position:]
        inflater = zlib.decompressobj(_GZIP_WINDOW)
        chunk_start = 0
        before = inflater.copy()
        try:
            # In pieces, so that what came before a fault is kept for the report.
            for chunk_start in range(0, len(member), _CHUNK):
                before = inflater.copy()
                parts.append(inflater.decompress(member[chunk_start:chunk_start + _CHUNK]))
            parts.append(inflater.flush())
        except zlib.error as error:
            fault, recovered = _fault_in(before, member[chunk_start:chunk_start + _CHUNK])
            parts.append(recovered)
            return Uncompressed(b"".join(parts), "the compressed data is damaged at compressed "
                                "byte %d (%s)" % (position + chunk_start + fault, error),
                                True, True)
        rest = inflater.unused_data
        if not rest and not _member_complete(inflater, member):
            return Uncompressed(b"".join(parts), "the compressed data is cut short: the gzip "
                                "stream starting at compressed byte %d has no end" % position,
                                True, False)
        if not rest:
            return Uncompressed(b"".join(parts), None, True, False)
        position = len(blob) - len(rest)
        if not rest.startswith(GZIP_MAGIC):
            # The record stream stops at such bytes without a word; the check must not.
            return Uncompressed(b"".join(parts), "%d bytes that are not gzip data follow the "
                                "compressed data at compressed byte %d" % (len(rest), position),
                                True, False)


def _fault_in(inflater, chunk):
    """(offset in chunk of the byte at which inflating it fails, the bytes inflated before
    that byte), given the inflater as it stood before the chunk: found by inflating copies of
    it a piece, then a byte, at a time. Only a damaged file pays for this."""
    piece = 4096
    recovered = []
    for start in range(0, len(chunk), piece):
        before = inflater.copy()
        try:
            recovered.append(inflater.decompress(chunk[start:start + piece]))
            continue
        except zlib.error:
            pass
        for offset in range(start, min(start + piece, len(chunk))):
            try:
                recovered.append(before.decompress(chunk[offset:offset + 1]))
            except zlib.error:
                return offset, b"".join(recovered)
        return start, b"".join(recovered)
    return len(chunk), b"".join(recovered)  # the fault shows only at the flush


def _member_complete(inflater, member):
    """True when the gzip member was inflated to its end and its trailer checked."""
    if hasattr(inflater, "eof"):  # Python 3.3 and later say so directly
        return inflater.eof
    # Python 2 does not: inflate the member again with one extra byte behind it, which
    # stays unused only when the member had really ended.
    probe = zlib.decompressobj(_GZIP_WINDOW)
    try:
        probe.decompress(member + b"\0")
    except zlib.error:
        return False
    return probe.unused_data == b"\0"

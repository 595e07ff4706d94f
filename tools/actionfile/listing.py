"""dump: a readable listing of an action file, one line per action and per detail, and the
totals that check reports as well."""
from __future__ import print_function, division

from .jsonform import utf8_text
from .layout import SPELL_CODE_SIZE
from .module import module_bytes
from .walker import ACTION, DETAIL, STAT


def shown_text(data):
    """Bytes as a quoted text for the listing: UTF-8 where they are, \\xNN for control
    characters and for bytes that are not UTF-8."""
    text = utf8_text(data)
    if text is None:
        return '"%s"' % "".join(_byte_shown(b) for b in bytearray(data))
    return '"%s"' % "".join(c if 32 <= ord(c) != 127 and c != '"' else _byte_shown(ord(c))
                            for c in text)


def _byte_shown(byte):
    return chr(byte) if 32 <= byte < 127 and byte != 34 else "\\x%02x" % byte


def counted(number, singular, plural=None):
    """"1 action", "2 actions"."""
    return "%d %s" % (number, singular if number == 1 else plural or singular + "s")


def totals(walker):
    """The counts of a walk in one line."""
    counts = walker.counts
    kinds = ", ".join("%d %s" % (counts.details[k.type_number], k.title)
                      for k in walker.layout.kinds_in_order())
    details = sum(counts.details.values()) + counts.unknown_details
    return ("%s (%s), %s (%s, %d of unknown type), %s; %d of %d bytes walked"
            % (counted(counts.actions, "action"), counted(counts.spells, "spell"),
               counted(details, "detail"), kinds, counts.unknown_details,
               counted(counts.stats, "stat entry", "stat entries"), walker.walked,
               walker.total))


def _nonzero_fields(values):
    """name=value for each field that is not 0 (an all-zero record reads "(all 0)")."""
    shown = ["%s=%d" % pair for pair in values if pair[1]]
    return " ".join(shown) if shown else "(all 0)"


class Listing(object):
    """Turns the walk's events into lines."""

    def __init__(self, walker):
        self.walker = walker
        self.layout = walker.layout
        self.pending_stats = None

    def lines(self):
        for event, record in self.walker.events():
            if event == ACTION:
                for line in self._flush_stats():
                    yield line
                yield self._action(record)
            elif event == DETAIL:
                for line in self._flush_stats():
                    yield line
                yield self._detail(record)
            elif event == STAT:
                self.pending_stats.append("%d:%+d" % (record.stat, record.modAmt))
        for line in self._flush_stats():
            yield line

    def _action(self, header):
        walker = self.walker
        line = "#%d id %d %s type %d level %d target %d range %d" % (
            walker.action_number, walker.action_id, shown_text(module_bytes(header.name)),
            header.actionType, header.levelAcquired, header.targetType, header.range)
        if walker.trailer_offset is not None:
            start = walker.trailer_offset
            code = walker.data[start:start + SPELL_CODE_SIZE].rstrip(b"\0")
            line += " spell %s cost %d path %d" % (shown_text(code), header.spellCost,
                                                    header.spellPath)
        return line

    def _detail(self, body):
        walker = self.walker
        header = walker.detail_header
        kind = walker.detail_kind
        prefix = "    %d. " % walker.detail_number
        if kind is None:
            return prefix + "unknown type %d: %d body bytes skipped" % (header.type,
                                                                        header.length)
        line = prefix + "%s: %s" % (kind.title, _nonzero_fields(kind.shape.values(body)))
        if kind.has_stats:
            self.pending_stats = []
        return line

    def _flush_stats(self):
        if self.pending_stats:
            yield "       stats " + " ".join(self.pending_stats)
        self.pending_stats = None

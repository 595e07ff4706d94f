"""dump: a readable listing of an action file, one line per action and per detail, and the
totals that check reports as well."""
from __future__ import print_function, division

import itertools

from .module import load, module_bytes


def shown_text(data):
    """Bytes as a quoted text for the listing: UTF-8 where they are, \\xNN for control
    characters and for bytes that are not UTF-8."""
    text = load().text_form(data)
    if isinstance(text, dict):
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


def named(names, field, value):
    """A field's value as the listing shows it: "1", or "1(fire)" when a names file names it."""
    name = names.name(field, value) if names else None
    return "%d(%s)" % (value, name) if name else "%d" % value


def _entries_line(stats, names=None):
    """ "       stats 3:-2 5:+1" and its newline, in pieces."""
    texts = ("%s:%+d" % (named(names, "stat", entry.stat), entry.modAmt) for entry in stats)
    separator = "       stats "
    piece = list(itertools.islice(texts, ENTRIES_PER_PIECE))
    while piece:
        yield separator + " ".join(piece)
        separator = " "
        piece = list(itertools.islice(texts, ENTRIES_PER_PIECE))
    yield "\n"


def _nonzero_fields(values, names=None):
    """name=value for each field that is not 0 (an all-zero record reads "(all 0)")."""
    shown = ["%s=%s" % (field, named(names, field, value)) for field, value in values if value]
    return " ".join(shown) if shown else "(all 0)"


ENTRIES_PER_PIECE = 4096  # stat entries listed in one piece of text


class Listing(object):
    """Turns the walk's actions into lines; names (a names.Names, optional) labels codes."""

    def __init__(self, walk, names=None):
        self.walk = walk
        self.layout = walk.layout
        self.names = names

    def pieces(self):
        """The listing as text pieces, each line ending with its newline; a line of stat
        entries comes a few thousand entries to a piece, walked as it is written."""
        for action in self.walk.actions():
            yield self._action(action) + "\n"
            for number, detail in enumerate(action.details, 1):
                yield self._detail(number, detail) + "\n"
                kind = self.layout.kinds.get(detail.type)
                stats = detail.body.stats if kind is not None and kind.has_stats else ()
                if len(stats):
                    for piece in _entries_line(stats, self.names):
                        yield piece

    def _action(self, action):
        line = "#%d id %d %s type %s level %d target %s range %d" % (
            self.walk.counts.actions, action.actionID,
            shown_text(module_bytes(action.name).split(b"\0", 1)[0]),
            named(self.names, "actionType", action.actionType), action.levelAcquired,
            named(self.names, "targetType", action.targetType), action.range)
        if self.layout.is_spell(action.actionType):
            code = module_bytes(action.spellCode).rstrip(b"\0")
            line += " spell %s cost %d path %d" % (shown_text(code), action.spellCost,
                                                    action.spellPath)
        return line

    def _detail(self, number, detail):
        kind = self.layout.kinds.get(detail.type)
        prefix = "    %d. " % number
        if kind is None:
            return prefix + "unknown type %d: %d body bytes skipped" % (detail.type,
                                                                        detail.length)
        return prefix + "%s: %s" % (kind.title, _nonzero_fields(kind.shape.values(detail.body),
                                                                self.names))

"""Words of dump and check (the listing itself is the package's dump_text): texts and codes
as a listing shows them, and the totals of a walk in one line."""
from __future__ import print_function, division

from .module import load


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


def totals(layout, report):
    """The counts of a walk (the package's WalkReport) in one line."""
    counts = report.counts
    kinds = ", ".join("%d %s" % (counts.details[k.type_number], k.title)
                      for k in layout.kinds_in_order())
    details = sum(counts.details.values()) + counts.unknown_details
    return ("%s (%s), %s (%s, %d of unknown type), %s; %d of %d bytes walked"
            % (counted(counts.actions, "action"), counted(counts.spells, "spell"),
               counted(details, "detail"), kinds, counts.unknown_details,
               counted(counts.stats, "stat entry", "stat entries"), report.walked,
               report.total))


def named(names, field, value):
    """A field's value as the listing shows it: "1", or "1(fire)" when a names file names it."""
    name = names.name(field, value) if names else None
    return "%d(%s)" % (value, name) if name else "%d" % value

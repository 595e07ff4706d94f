#!/usr/bin/env python3
"""Writes docs/fields.md, the reference of every record field, from the record layout file
(qn4tGenericActionLayout, generated at build time from core/records.h) and the package's
words for each field (qn4tGenericActionLoader.meanings): its record, type, range, what it
is, and what it counts or follows. A test compares the file with this output.

    PYTHONPATH=build/python3 python3 tools/make_fields_doc.py > docs/fields.md
"""
from __future__ import print_function

import sys

import qn4tGenericActionLayout as layout
from qn4tGenericActionLoader.meanings import meaning


def kind_words(kind, record, field):
    if kind == "text":
        return "text", "bytes, as many as %s says" % dict(layout.TEXTS)[field]
    if kind == "chars":
        return "%d bytes" % layout.WIDTHS[record][field], "any bytes; a shorter text is padded " \
            "with zero bytes"
    low, high, words = layout.INTEGER_RANGES[kind]
    return words, "%d to %d" % (low, high)


def meanings():
    """What the layout says of a field: (record, field) -> words."""
    said = {}
    header = layout.HEADER
    for text, length in layout.TEXTS:
        said[(header, length)] = "bytes of `%s`; follows the text (left out of the JSON form)" \
            % text
    said[(header, layout.DETAIL_COUNT_FIELD)] = "details that follow the action; follows " \
        "`details` (left out of the JSON form)"
    said[(header, layout.ACTION_TYPE_FIELD)] = "%d: a spell, which carries the spell fields" \
        % layout.SPELL_ACTION_TYPE
    for field in layout.TRAILER_FIELDS:
        said[(header, field)] = "spell trailer: only on an action of %s %d" % (
            layout.ACTION_TYPE_FIELD, layout.SPELL_ACTION_TYPE)
    kinds = ", ".join("%d %s" % (number, layout.TITLES[record])
                      for number, record in sorted(layout.DETAIL_BODIES.items()))
    said[(layout.DETAIL_HEADER, layout.DETAIL_TYPE_FIELD)] = "the body that follows: %s; " \
        "any other type has a body of `%s` bytes" % (kinds, layout.DETAIL_LENGTH_FIELD)
    said[(layout.DETAIL_HEADER, layout.DETAIL_LENGTH_FIELD)] = "bytes of the body; left out " \
        "of the JSON form where it equals the body's size (kept as it is where it differs)"
    for record, (count, entry) in layout.BODY_ENTRIES.items():
        said[(record, count)] = "%s records that follow the body; follows `stats` (left out " \
            "of the JSON form)" % layout.TITLES[entry]
    return said


def document():
    lines = ["# Record fields", "",
             "Every field of every record, in file order (little-endian, packed). Made from the "
             "record layout and the package's words for each field "
             "(`qn4tGenericActionLoader/meanings.py`) by `tools/make_fields_doc.py`; do not "
             "edit by hand. The file format stores the numbers and texts; what most codes "
             "stand for (an `elemType` of 1, a bit of `validClasses`) and in which unit a range "
             "or a duration counts is the game's, and the table says so where that is the "
             "case. A names file ([tables.md](tables.md)) names the codes.", ""]
    said = meanings()
    for record, size, fields in layout.LAYOUT:
        lines.append("## %s (`%s`, %d bytes%s)" % (
            layout.TITLES[record], record, size,
            " of head, then the texts and, for a spell, %d bytes of trailer"
            % layout.TRAILER_SIZE if record == layout.HEADER else ""))
        lines.append("")
        lines.append("| field | type | range | what it is |")
        lines.append("|---|---|---|---|")
        for field, kind in fields:
            kind_text, range_text = kind_words(kind, record, field)
            words = [w for w in (meaning(record, field), said.get((record, field))) if w]
            lines.append("| `%s` | %s | %s | %s |" % (field, kind_text, range_text,
                                                     "; ".join(words)))
        lines.append("")
    return "\n".join(lines)


if __name__ == "__main__":
    sys.stdout.write(document())

"""export: every field of every record as JSON, one action per line. Field values come from the
module's records; the bytes its getters cannot return (text padding, spell-code bytes behind a
zero byte) come from the file's own bytes at the places the records say."""
from __future__ import print_function, division

from . import jsonform
from .module import module_bytes
from .layout import SPELL_CODE, SPELL_CODE_SIZE
from .walker import ACTION, DETAIL, STAT


class Disagreement(Exception):
    """The module's records and Python's reading of the file disagree."""


class ActionJson(object):
    """Builds the JSON of one action from the walk's events."""

    def __init__(self, walker):
        self.walker = walker
        self.layout = walker.layout
        self.pairs = None
        self.details = []

    def start(self, header):
        layout, walker = self.layout, self.walker
        self.pairs = jsonform.integer_pairs(layout.head.values(header))
        for name, position, size in walker.text_spans:
            self.pairs.append((name, jsonform.text_json(self._text(header, name, position, size))))
        if walker.trailer_offset is not None:
            self.pairs.append((SPELL_CODE, jsonform.spell_code_json(self._spell_code(header))))
            self.pairs.extend(jsonform.integer_pairs(layout.trailer.values(header)))
        self.details = []

    def detail(self, body):
        kind = self.walker.detail_kind
        header = jsonform.json_object(jsonform.integer_pairs(
            self.layout.detail_header.values(self.walker.detail_header)))
        parts = [("header", header),
                 ("body", jsonform.json_object(jsonform.integer_pairs(kind.shape.values(body))))]
        self.details.append((parts, [] if kind.has_stats else None))

    def stat(self, entry):
        values = jsonform.integer_pairs(self.layout.stat.values(entry))
        self.details[-1][1].append(jsonform.json_object(values))

    def json(self):
        details = []
        for parts, stats in self.details:
            if stats is not None:
                parts = parts + [("stats", "[" + ", ".join(stats) + "]")]
            details.append(jsonform.json_object(parts))
        return jsonform.json_object(self.pairs + [("details", "[" + ", ".join(details) + "]")])

    def _text(self, header, name, position, size):
        """The text's bytes up to its first zero byte, as the getter returns them. The walk has
        noted any other bytes behind a zero byte; zero padding is carried by the length field."""
        text = module_bytes(getattr(header, name))
        original = self.walker.data[position:position + size].split(b"\0", 1)[0]
        if text != original:
            raise Disagreement("%s: the module reads the text %s as %r, the file holds %r"
                               % (self.walker.place(), name, text, original))
        return text

    def _spell_code(self, header):
        """All four spell-code bytes from the file; the getter, which stops at a zero byte,
        must agree with their first part."""
        position = self.walker.trailer_offset
        code = self.walker.data[position:position + SPELL_CODE_SIZE]
        if module_bytes(getattr(header, SPELL_CODE)) != code.split(b"\0", 1)[0]:
            raise Disagreement("%s: the module reads the spell code as %r, the file holds %r"
                               % (self.walker.place(), getattr(header, SPELL_CODE), code))
        return code


def export(walker, out):
    """Walks the file and writes its JSON to the binary file out. Raises Damaged from the walk.
    Returns the notes of what cannot be carried; when there are any, out is incomplete and
    must be discarded."""
    action = ActionJson(walker)
    started = False
    out.write(b'{"actions": [\n')
    for event, record in walker.events():
        if walker.notes:
            continue  # keep walking to report everything, but the JSON is void
        if event == ACTION:
            if started:
                out.write(action.json().encode("ascii") + b",\n")
            action.start(record)
            started = True
        elif event == DETAIL:
            action.detail(record)
        elif event == STAT:
            action.stat(record)
    if started and not walker.notes:
        out.write(action.json().encode("ascii") + b"\n")
    out.write(b"]}\n")
    return walker.notes

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
        self.members = None
        self.details = []

    def start(self, header):
        layout, walker = self.layout, self.walker
        members = [layout.head.json_members(header)]
        for name, position, size in walker.text_spans:
            text = self._text(header, name, position, size)
            members.append('"%s": %s' % (name, jsonform.text_json(text)))
        if walker.trailer_offset is not None:
            code = jsonform.spell_code_json(self._spell_code(header))
            members.append('"%s": %s' % (SPELL_CODE, code))
            members.append(layout.trailer.json_members(header))
        self.members = members
        self.details = []

    def detail(self, body):
        kind = self.walker.detail_kind
        text = '{"header": {%s}, "body": {%s}' % (
            self.layout.detail_header.json_members(self.walker.detail_header),
            kind.shape.json_members(body))
        self.details.append([text, [] if kind.has_stats else None])

    def stat(self, entry):
        self.details[-1][1].append("{%s}" % self.layout.stat.json_members(entry))

    def json(self):
        details = []
        for text, stats in self.details:
            if stats is not None:
                text += ', "stats": [%s]' % ", ".join(stats)
            details.append(text + "}")
        return '{%s, "details": [%s]}' % (", ".join(self.members), ", ".join(details))

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

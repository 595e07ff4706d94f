"""export: every field of every action as JSON, one action per line, made from the Action
objects of a walk. Texts are carried up to their first zero byte (zero padding is carried by
the length field; the walk notes a text with other bytes behind a zero byte), spell codes with
all four bytes."""
from __future__ import print_function, division

import operator
import re

from . import jsonform
from .module import module_bytes


class ActionJson(object):
    """The JSON of one Action, with its members in the file's order. Each record's members
    come from one format string filled with its fields, fetched in one call."""

    def __init__(self, layout):
        self.layout = layout
        self.head = '{' + layout.head.json_members_format
        self.text_names = [', "%s": ' % name for name, _ in layout.texts]
        self.trailer = ', "%s": %%s, %s' % (layout.spell_code, layout.trailer.json_members_format)
        self.spell_code_of = operator.attrgetter(layout.spell_code)
        # Per known kind: its detail as a format for (length, body fields...).
        self.details = {}
        for number, kind in layout.kinds.items():
            members = kind.shape.json_members_format
            self.details[number] = (kind, '{"header": {"%s": %d, "%s": %%d}, "body": {%s}' % (
                layout.detail_type, number, layout.detail_length, members))
        self.stat = "{%s}" % layout.stat.json_members_format

    def json(self, action):
        layout = self.layout
        parts = [self.head % layout.head.fetch(action)]
        for name, text in zip(self.text_names, layout.raw_texts(action)):
            if _PLAIN_TEXT.match(text):
                parts.append('%s"%s"' % (name, text))
            else:
                parts.append(name + jsonform.text_json(module_bytes(text).split(b"\0", 1)[0]))
        if layout.is_spell(layout.action_type_of(action)):
            code = module_bytes(self.spell_code_of(action)).ljust(layout.spell_code_size, b"\0")
            parts.append(self.trailer % ((jsonform.spell_code_json(code),)
                                         + layout.trailer.fetch(action)))
        parts.append(', "details": [')
        parts.append(", ".join(self._detail(detail) for detail in action.details))
        parts.append("]}")
        return "".join(parts)

    def _detail(self, detail):
        kind, form = self.details[detail.type]  # the walk notes other kinds: no JSON then
        body = detail.body
        text = form % ((detail.length,) + kind.shape.fetch(body))
        if kind.has_stats:
            stat, fetch = self.stat, self.layout.stat.fetch
            text += ', "stats": [%s]' % ", ".join([stat % fetch(entry) for entry in body.stats])
        return text + "}"


# A text the JSON string holds as it stands: printable ASCII other than the quote and the
# backslash (no zero byte: padding is carried by the length field).
_PLAIN_TEXT = re.compile(r'[ !#-\[\]-~]*\Z')


def export(walk, out):
    """Walks the file and writes its JSON to the binary file out. Raises Damaged from the walk.
    Returns the notes of what cannot be carried; when there are any, out is incomplete and
    must be discarded."""
    builder = ActionJson(walk.layout)
    out.write(b'{"actions": [\n')
    previous = None
    for action in walk.actions():
        if walk.notes:
            continue  # keep walking to report everything, but the JSON is void
        if previous is not None:
            out.write(previous + b",\n")
        previous = builder.json(action).encode("ascii")
    if previous is not None and not walk.notes:
        out.write(previous + b"\n")
    out.write(b"]}\n")
    return walk.notes

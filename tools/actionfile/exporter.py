"""export: every field of every action as JSON, one action per line, made from the Action
objects of a walk. Texts are carried up to their first zero byte (zero padding is carried by
the length field; the walk notes a text with other bytes behind a zero byte), spell codes with
all four bytes."""
from __future__ import print_function, division

from . import jsonform
from .layout import SPELL_ACTION_TYPE, SPELL_CODE, SPELL_CODE_SIZE
from .module import module_bytes


class ActionJson(object):
    """The JSON of one Action, with its members in the file's order."""

    def __init__(self, layout):
        self.layout = layout
        self.text_names = ['"%s": ' % name for name, _ in layout.texts]

    def json(self, action):
        layout = self.layout
        members = [layout.head.json_members(action)]
        for name, text in zip(self.text_names, layout.text_values(action)):
            members.append(name + jsonform.text_json(text.split(b"\0", 1)[0]))
        if action.actionType == SPELL_ACTION_TYPE:
            code = module_bytes(action.spellCode).ljust(SPELL_CODE_SIZE, b"\0")
            members.append('"%s": %s' % (SPELL_CODE, jsonform.spell_code_json(code)))
            members.append(layout.trailer.json_members(action))
        details = [self._detail(detail) for detail in action.details]
        return '{%s, "details": [%s]}' % (", ".join(members), ", ".join(details))

    def _detail(self, detail):
        layout = self.layout
        kind = layout.kinds[detail.type]  # the walk refuses other kinds before this
        body = detail.body
        text = '{"header": {%s}, "body": {%s}' % (layout.detail_header.json_members(detail),
                                                  kind.shape.json_members(body))
        if kind.has_stats:
            stat = layout.stat
            text += ', "stats": [%s]' % ", ".join("{%s}" % stat.json_members(entry)
                                                  for entry in body.stats)
        return text + "}"


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

"""export: the JSON document of an action file in the package's document form
(qn4tGenericActionLoader._form), written as the file is walked: every file that reads without
damage is carried whole, and memory holds one action and a piece of text, never the document,
a whole action's text or a dict per stat entry."""
from __future__ import print_function, division

WRITE_EVERY = 1 << 16  # characters gathered before one write


class _Gathered(object):
    """Text pieces gathered into writes of about WRITE_EVERY characters, UTF-8 encoded."""

    def __init__(self, out):
        self.out = out
        self.pieces = []
        self.size = 0

    def add(self, piece):
        self.pieces.append(piece)
        self.size += len(piece)
        if self.size >= WRITE_EVERY:
            self.flush()

    def flush(self):
        if self.pieces:
            self.out.write(u"".join(self.pieces).encode("utf-8"))
            self.pieces, self.size = [], 0


def export(walk, out, indent=None):
    """Walks the file and writes its JSON document to the binary file out, one action per
    line (or indented by `indent` spaces per level). A detail's stat entries are walked as
    they are written. Raises Damaged from the walk."""
    from qn4tGenericActionLoader import _form
    written = _Gathered(out)
    written.add(_form.document_start() + "\n")
    first = True
    for action in walk.actions():
        written.add(",\n" if not first else "")
        first = False
        written.add(u" " * (indent or 0))
        values = _form.action_to_dict(action, _form.entries_as_they_are)
        for piece in _form.action_json_pieces(values, indent, 1):
            written.add(piece)
    written.add("]}\n" if first else "\n]}\n")
    written.flush()

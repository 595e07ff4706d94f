"""export: the JSON document of an action file in the package's document form
(qn4tGenericActionLoader._form), written as the file is walked: every file that reads without
damage is carried whole, and memory holds one action and a block of text, never the
document or a whole action's text. A walk over a file gives the actions' text made natively
(Walk.json_blocks); any other walk of Action objects is written through _form's pieces.
Both give the same bytes."""
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


def export(walk, out, indent=None, schema=None, names=None):
    """Walks the file and writes its JSON document to the binary file out, one action per
    line (or indented by `indent` spaces per level); schema: the URI of the document's
    "$schema" member, or None for none; names: a CodeNames whose names are written in place
    of the codes they name. Raises Damaged from the walk."""
    from qn4tGenericActionLoader import _form
    out.write((_form.document_start(schema) + "\n").encode("utf-8"))
    blocks = getattr(walk, "json_blocks", None) if not names else None
    empty = _write_blocks(blocks(indent), out) if blocks else _write_objects(
        walk, out, indent, names)
    out.write(b"]}\n" if empty else b"\n]}\n")


def _write_blocks(blocks, out):
    """Writes the blocks of the actions' text; whether there were none."""
    empty = True
    for block in blocks:
        out.write(block)
        empty = False
    return empty


def _write_objects(walk, out, indent, names=None):
    """Writes the text of the walk's Action objects, a detail's stat entries walked as they
    are written (made dicts, to be named, where names are given); whether there were none."""
    from qn4tGenericActionLoader import _form
    written = _Gathered(out)
    first = True
    for action in walk.actions():
        written.add(",\n" if not first else "")
        first = False
        written.add(u" " * (indent or 0))
        if names:
            values = names.to_names(_form.action_to_dict(action))
        else:
            values = _form.action_to_dict(action, _form.entries_as_they_are)
        for piece in _form.action_json_pieces(values, indent, 1):
            written.add(piece)
    written.flush()
    return first

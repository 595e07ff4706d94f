"""export: the JSON document of an action file, written by the package's write_json as the
file is walked: every file that reads without damage is carried whole, and memory holds one
action and a block of text. A walk over a file gives the actions' text made natively
(Walk.json_blocks); any other walk of Action objects is written from its objects. Both give
the same bytes."""
from __future__ import print_function, division

from .module import load


def export(walk, out, indent=None, schema=None, names=None):
    """Walks the file and writes its JSON document to the binary file out, one action per
    line (or indented by `indent` spaces per level); schema: the URI of the document's
    "$schema" member, or None for none; names: a CodeNames whose names are written in place
    of the codes they name. Raises Damaged from the walk."""
    json_blocks = getattr(walk, "json_blocks", None)
    blocks = json_blocks(indent) if json_blocks and not names else None
    load().write_json(out, walk.actions(), indent, schema, names, blocks)

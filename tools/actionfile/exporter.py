"""export: the JSON document of an action file, streamed one action at a time in the package's
document form (qn4tGenericActionLoader._form): every file that reads without damage is
carried whole."""
from __future__ import print_function, division


def export(walk, out, indent=None):
    """Walks the file and writes its JSON document to the binary file out, one action per
    line (or indented by `indent` spaces per level). Raises Damaged from the walk."""
    from qn4tGenericActionLoader import _form
    action_json = _form.action_json
    out.write(_form.document_start().encode("ascii") + b"\n")
    depth = 1
    previous = None
    for action in walk.actions():
        if previous is not None:
            out.write(previous + b",\n")
        text = action_json(action.to_dict(), indent, depth)
        previous = (u" " * (indent or 0) + text).encode("utf-8")
    if previous is not None:
        out.write(previous + b"\n")
    out.write(b"]}\n")

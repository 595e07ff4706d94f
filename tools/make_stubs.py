"""Writes the type stubs (__init__.pyi) of the package qn4tGenericActionLoader from its
template, putting in the record classes made from the generated record layout.

    python make_stubs.py LAYOUT_PY TEMPLATE OUT

The CMake build runs it; setup.py calls render(). Runs on Python 2.7 and 3."""
from __future__ import print_function

import io
import sys

MARKER = "# @RECORD_CLASSES@"
HEADER = ("# Type stubs of qn4tGenericActionLoader (PEP 561), generated at build time by\n"
          "# tools/make_stubs.py from __init__.pyi.in and the record layout: edit those.\n")

# What each field kind of the layout reads as, and what its setter takes. A text field with
# no text reads as None.
KIND_TYPES = {
    "u8": ("int", "int"),
    "u16": ("int", "int"),
    "u32": ("int", "int"),
    "s16": ("int", "int"),
    "s32": ("int", "int"),
    "text": ("Optional[str]", "Union[str, bytes]"),
    "chars": ("str", "Union[str, bytes]"),
}

# Class attributes that __init__.py gives a record class besides its fields.
CLASS_EXTRAS = {
    "qn4tGeneric_Action_Header": ("TRAILER_SIZE: int", "SPELL_ACTION_TYPE: int"),
}


def _field_lines(field, kind):
    try:
        read_type, write_type = KIND_TYPES[kind]
    except KeyError:
        raise ValueError("field %s has the kind %r, which has no type here" % (field, kind))
    return ["    @property",
            "    def %s(self) -> %s: ..." % (field, read_type),
            "    @%s.setter" % field,
            "    def %s(self, value: %s) -> None: ..." % (field, write_type)]


def record_classes(layout):
    """The stub text of every record class of the layout."""
    lines = []
    for type_name, wire_size, fields in layout:
        lines.append("class %s(_Record):" % type_name)
        lines.append('    """Record %s: %d bytes in the file."""' % (type_name, wire_size))
        lines.extend("    " + extra for extra in CLASS_EXTRAS.get(type_name, ()))
        for field, kind in fields:
            lines.extend(_field_lines(field, kind))
        lines.append("")
    return "\n".join(lines)


def load_layout(layout_text):
    """LAYOUT of the generated layout module, given its text."""
    namespace = {}
    exec(compile(layout_text, "qn4tGenericActionLayout.py", "exec"), namespace)
    return namespace["LAYOUT"]


def render(layout_text, template_text):
    """The stubs: the template, its opening comment replaced by HEADER, with the record
    classes in place of its marker line."""
    if MARKER not in template_text:
        raise ValueError("the stub template has no %r line" % MARKER)
    lines = template_text.splitlines(True)
    while lines and lines[0].startswith("#"):
        del lines[0]
    body = "".join(lines).replace(MARKER, record_classes(load_layout(layout_text)).rstrip("\n"))
    return HEADER + body


def _read(path):
    with io.open(path, encoding="utf-8") as source:
        return source.read()


def main(argv):
    if len(argv) != 4:
        print("usage: make_stubs.py LAYOUT_PY TEMPLATE OUT", file=sys.stderr)
        return 2
    stubs = render(_read(argv[1]), _read(argv[2]))
    with io.open(argv[3], "w", encoding="utf-8") as out:
        out.write(stubs)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

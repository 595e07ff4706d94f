"""Writes the type stubs (__init__.pyi) of the package qn4tGenericActionLoader from its
template, putting in the record classes and the whole-action classes made from the
generated record layout.

    python make_stubs.py LAYOUT_PY TEMPLATE OUT

The CMake build runs it; setup.py calls render(). Runs on Python 2.7 and 3."""
from __future__ import print_function

import io
import sys

MARKER = "# @RECORD_CLASSES@"
WHOLE_MARKER = "# @WHOLE_ACTION_CLASSES@"
BODIES_MARKER = "@BODY_CLASSES@"  # the body classes, in the order of their detail types
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

# The whole-action classes (actions.py) made from a record's fields besides those of the
# bodies and their entries, which the layout's CLASS_NAMES names: (class, record, what it
# holds besides them). Their texts always read as str; the counts and text lengths follow
# what they count and are read-only.
WHOLE_ACTION_CLASSES = (
    ("Action", "qn4tGeneric_Action_Header", ("details: List[Detail]",)),
)
# The constructor's keywords besides the fields: Action's details, a body's entries.
DETAILS_KEYWORD = "details: Iterable[Detail] = ..."
ENTRIES_KEYWORD = "stats: Iterable[%s] = ..."


def _entries_extras(entry_class):
    """What a body that entries follow holds besides its fields: its entries as `stats`."""
    return ("@property", "def stats(self) -> StatList: ...", "@stats.setter",
            "def stats(self, value: Iterable[%s]) -> None: ..." % entry_class)


def whole_action_rows(facts):
    """(class, record, extras) of every whole-action class made from a record: those above,
    then the bodies in the order of their detail types, each followed by its entries' class."""
    names, entries = facts["CLASS_NAMES"], facts["BODY_ENTRIES"]
    rows = list(WHOLE_ACTION_CLASSES)
    for _, body in sorted(facts["DETAIL_BODIES"].items()):
        if body in entries:
            entry = entries[body][1]
            rows.append((names[body], body, _entries_extras(names[entry])))
            rows.append((names[entry], entry, ()))
        else:
            rows.append((names[body], body, ()))
    return rows
WHOLE_TEXT_TYPES = ("str", "Union[str, bytes]")


def _types(field, kind):
    try:
        return KIND_TYPES[kind]
    except KeyError:
        raise ValueError("field %s has the kind %r, which has no type here" % (field, kind))


def _field_lines(field, types, settable=True):
    read_type, write_type = types
    lines = ["    @property", "    def %s(self) -> %s: ..." % (field, read_type)]
    if settable:
        lines += ["    @%s.setter" % field,
                  "    def %s(self, value: %s) -> None: ..." % (field, write_type)]
    return lines


def record_classes(layout):
    """The stub text of every record class of the layout."""
    lines = []
    for type_name, wire_size, fields in layout:
        lines.append("class %s(_Record):" % type_name)
        lines.append('    """Record %s: %d bytes in the file."""' % (type_name, wire_size))
        lines.extend("    " + extra for extra in CLASS_EXTRAS.get(type_name, ()))
        for field, kind in fields:
            lines.extend(_field_lines(field, _types(field, kind)))
        lines.append("")
    return "\n".join(lines)


def counted_fields(facts):
    """The fields that count what follows them, as the layout module's facts say: the text
    lengths, the detail count and the count of a body's entries."""
    return set(field for fields in facts["DERIVED_COUNTS"].values() for field in fields)


def whole_action_classes(facts):
    """The stub text of the whole-action classes, fields from their records' layout."""
    records = dict((type_name, fields) for type_name, _, fields in facts["LAYOUT"])
    counted = counted_fields(facts)
    lines = []
    entries = facts["BODY_ENTRIES"]
    for class_name, record, extras in whole_action_rows(facts):
        fields = records[record]
        lines.append("class %s(_Values):" % class_name)
        lines.append('    """The fields of a %s, held natively."""' % record)
        keywords = []
        for field, kind in fields:
            types = WHOLE_TEXT_TYPES if kind in ("text", "chars") else _types(field, kind)
            lines.extend(_field_lines(field, types, settable=field not in counted))
            if field not in counted:
                keywords.append("%s: %s = ..." % (field, types[1]))
        if record == facts["HEADER"]:
            keywords.append(DETAILS_KEYWORD)
        elif record in entries:
            keywords.append(ENTRIES_KEYWORD % facts["CLASS_NAMES"][entries[record][1]])
        # keyword-only and typed, so that a checker refuses Damage(dei=6) or Damage(die="6")
        lines.append("    def __init__(self, *, %s) -> None: ..." % ", ".join(keywords))
        lines.extend("    " + extra for extra in extras)
        lines.append("")
    return "\n".join(lines)


def load_layout(layout_text):
    """The names of the generated layout module (LAYOUT and the format facts), given its
    text."""
    namespace = {}
    exec(compile(layout_text, "qn4tGenericActionLayout.py", "exec"), namespace)
    return namespace


def render(layout_text, template_text):
    """The stubs: the template, its opening comment replaced by HEADER, with the record
    classes and the whole-action classes in place of their marker lines."""
    for marker in (MARKER, WHOLE_MARKER):
        if marker not in template_text:
            raise ValueError("the stub template has no %r line" % marker)
    lines = template_text.splitlines(True)
    while lines and lines[0].startswith("#"):
        del lines[0]
    facts = load_layout(layout_text)
    body = "".join(lines).replace(MARKER, record_classes(facts["LAYOUT"]).rstrip("\n"))
    body = body.replace(WHOLE_MARKER, whole_action_classes(facts).rstrip("\n"))
    body = body.replace(BODIES_MARKER, ", ".join(
        facts["CLASS_NAMES"][record] for _, record in sorted(facts["DETAIL_BODIES"].items())))
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

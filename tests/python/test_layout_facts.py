"""The layout file (qn4tGenericActionLayout) carries every derived fact the Python side needs,
each as the native code holds it: a table of facts, each read once from the layout file and
once from what the native objects and writers do. And no Python file works a fact out again."""
import io
import json
import os
import re
import unittest

import _qn4tGenericActionSupport as native
import qn4tGenericActionLayout as layout
import qn4tGenericActionLoader as q

SOURCE_DIR = os.environ.get("QN4T_SOURCE_DIR") or os.path.dirname(os.path.dirname(
    os.path.dirname(os.path.abspath(__file__))))

KINDS = dict((record, dict(fields)) for record, _, fields in layout.LAYOUT)
OUT_OF_RANGE = re.compile(r" is (.+): -?\d+ is out of its range (-?\d+) to (-?\d+)$")
BEYOND = 1 << 40  # beyond every integer kind


def class_of(record):
    """The whole-action class that holds a record's fields."""
    named = {layout.HEADER: "Action", layout.DETAIL_HEADER: "Detail"}
    return getattr(q, named.get(record) or layout.CLASS_NAMES[record])


def settable_field_of_kind(kind):
    """(record, field) of a field of the kind that a script may set."""
    for record, fields in KINDS.items():
        for field, field_kind in fields.items():
            if field_kind == kind and field not in layout.DERIVED_COUNTS.get(record, ()):
                return record, field
    raise AssertionError("no settable field of kind %s" % kind)


def native_range(kind):
    """(lowest, highest, words) of a kind as the native setter takes and words it."""
    record, field = settable_field_of_kind(kind)
    made = class_of(record)()
    try:
        setattr(made, field, BEYOND)
    except q.FieldValueError as error:
        words, low, high = OUT_OF_RANGE.search(str(error)).groups()
    else:
        raise AssertionError("%s.%s took %d" % (record, field, BEYOND))
    low, high = int(low), int(high)
    for value in (low, high):  # both ends are taken, one beyond them is not
        setattr(made, field, value)
        assert getattr(made, field) == value
    for value in (low - 1, high + 1):
        try:
            setattr(made, field, value)
        except q.FieldValueError:
            continue
        raise AssertionError("%s.%s took %d" % (record, field, value))
    return low, high, words


def native_derived(record):
    """The integer fields of a record that its class will not let a script set: those that
    follow what they count."""
    made = class_of(record)()
    derived = []
    for field, kind in KINDS[record].items():
        if kind not in layout.INTEGER_KINDS:
            continue
        try:
            setattr(made, field, getattr(made, field))
        except AttributeError:
            derived.append(field)
    return set(derived)


def detail_of(type_number, entries):
    body = class_of(layout.DETAIL_BODIES[type_number])
    if type_number in entry_bodies():
        return q.Detail(type=type_number, body=body(stats=[q.Stat(stat=1)] * entries))
    return q.Detail(type=type_number, body=body())


def entry_bodies():
    return [number for number, record in layout.DETAIL_BODIES.items()
            if record in layout.BODY_ENTRIES]


def native_body_size(type_number):
    """(bytes of the body record, bytes per entry) as a detail's length follows its body."""
    empty = detail_of(type_number, 0).length
    if type_number not in entry_bodies():
        return empty, 0
    return empty, (detail_of(type_number, 3).length - empty) // 3


def exported(action):
    """The document form of one action as the native JSON writer gives it."""
    data = io.BytesIO()
    q.write_actions(data, [action], threads=1)
    text = b"".join(native._export_json(io.BytesIO(data.getvalue()), 0, None))
    return json.loads(text.decode("utf-8"))


def native_members():
    """The names the native JSON writer gives an action's details and a detail's parts."""
    (number,) = entry_bodies()
    action = exported(q.Action(details=[detail_of(number, 1)]))
    details = [key for key, value in action.items() if isinstance(value, list)]
    (detail,) = action[details[0]]
    parts = dict((key, key) for key in detail)
    header = [k for k, v in detail.items() if isinstance(v, dict)
              and set(v) <= set(KINDS[layout.DETAIL_HEADER])]
    stats = [k for k, v in detail.items() if isinstance(v, list)]
    body = set(parts) - set(header) - set(stats)
    return details[0], header[0], body.pop(), stats[0]


def most_from_refusal(call):
    """The limit a native call names when refusing a value beyond every limit."""
    try:
        call(BEYOND)
    except ValueError as error:
        return int(re.findall(r"\d+", str(error))[-1].rstrip(")"))
    raise AssertionError("took %d" % BEYOND)


FACTS = (
    [("range of %s" % kind, lambda kind=kind: native_range(kind),
      lambda kind=kind: layout.INTEGER_RANGES[kind]) for kind in layout.INTEGER_KINDS] +
    [("derived counts of %s" % record, lambda record=record: native_derived(record),
      lambda record=record: set(layout.DERIVED_COUNTS.get(record, ()))) for record in KINDS] +
    [("body size of type %d" % number, lambda number=number: native_body_size(number),
      lambda number=number: layout.BODY_SIZES[number]) for number in layout.DETAIL_BODIES] +
    [("members of the document form", native_members,
      lambda: (layout.DETAILS_MEMBER, layout.HEADER_MEMBER, layout.BODY_MEMBER,
               layout.STATS_MEMBER)),
     ("most spaces of indent", lambda: most_from_refusal(
         lambda n: native._export_json(io.BytesIO(), 0, n)), lambda: layout.MOST_INDENT),
     ("most threads of a writer", lambda: most_from_refusal(
         lambda n: native._write_actions(io.BytesIO(), [], n)), lambda: layout.MOST_THREADS)])


class LayoutCarriesEachFact(unittest.TestCase):
    def test_each_fact_is_what_the_native_code_does(self):
        for fact, from_native, from_layout in FACTS:
            self.assertEqual(from_native(), from_layout(), fact)

    def test_the_limits_are_taken_up_to_the_last(self):
        native._export_json(io.BytesIO(), 0, layout.MOST_INDENT)
        self.assertRaises(ValueError, q.write_actions, io.BytesIO(), [],
                          threads=layout.MOST_THREADS + 1)


# Ways a Python file would work out again a fact that the layout file carries: the range or
# the words of an integer kind from its width, a body's size from record widths, the limits.
COPIES = [
    ("a range from a width", re.compile(r"1 << \(?(8 \*|bits)")),
    ("words from a width", re.compile(r"%d-bit")),
    ("a body size from widths", re.compile(r"\.size \* |\* *_?STAT_SIZE|_STAT_SIZE *\*")),
    ("the indent limit", re.compile(r"MOST_INDENT *= *1")),
    ("the thread limit", re.compile(r"MOST_THREADS *= *\d")),
    ("a detail header's size", re.compile(r"_DETAIL_HEADER_SIZE")),
]


def python_sources():
    for folder in ("python", "tools"):
        for root, _, files in os.walk(os.path.join(SOURCE_DIR, folder)):
            for name in files:
                if name.endswith(".py") or name == "actiontool":
                    yield os.path.join(root, name)


class NoCopyRemains(unittest.TestCase):
    def test_no_python_file_works_a_layout_fact_out_again(self):
        found = []
        for path in python_sources():
            with io.open(path, encoding="utf-8") as f:
                for number, line in enumerate(f, 1):
                    found.extend("%s:%d: %s" % (os.path.relpath(path, SOURCE_DIR), number, what)
                                 for what, pattern in COPIES if pattern.search(line))
        self.assertEqual(found, [])


if __name__ == "__main__":
    unittest.main()

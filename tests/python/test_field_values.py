"""One rule for the values a field takes, wherever it is set: the record classes
(q.qn4tGeneric_Damage_Details), the whole-action objects (q.Damage) and the JSON import
(Action.from_dict, after the native fast way declines) refuse the same fault with the same
exception and the same message, naming the field, its kind, the value and the limit."""
import json
import unittest

import _qn4tGenericActionSupport as native
import qn4tGenericActionLoader as q
import support
from support import HEADER, DETAIL_HEADER, DAMAGE, HEALING, STATMOD, STAT

KIND_WORDS = {"u8": "unsigned 8-bit", "u16": "unsigned 16-bit", "u32": "unsigned 32-bit",
              "s16": "signed 16-bit", "s32": "signed 32-bit"}
RANGES = {"u8": (0, 0xFF), "u16": (0, 0xFFFF), "u32": (0, 0xFFFFFFFF),
          "s16": (-0x8000, 0x7FFF), "s32": (-0x80000000, 0x7FFFFFFF)}

# Each record type: the object class that holds it, and where its fields stand in an action's
# dict form (see json_form).
OBJECTS = {
    HEADER: (q.Action, ()),
    DETAIL_HEADER: (q.Detail, ("details", 3, "header")),
    DAMAGE: (q.Damage, ("details", 0, "body")),
    STATMOD: (q.StatMod, ("details", 1, "body")),
    STAT: (q.Stat, ("details", 1, "stats", 0)),
    HEALING: (q.Healing, ("details", 2, "body")),
}


class Index(object):
    """Integer-like without being an int: it has __index__ only."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def json_form():
    """A spell with every detail kind (and a raw one, whose header takes any type) as the JSON
    import reads it."""
    action = q.Action(actionID=5, actionType=support.SPELL_ACTION_TYPE, name=b"n", details=[
        q.Detail(body=q.Damage()), q.Detail(body=q.StatMod(stats=[q.Stat()])),
        q.Detail(body=q.Healing()), q.Detail(type=77, body=b"ab")])
    return json.loads(json.dumps(action.to_dict()))


def settable(cls, field):
    """False for a count, which follows what it counts and is not set on the objects."""
    try:
        setattr(cls(), field, b"")
    except AttributeError:
        return False
    except TypeError:
        pass  # an integer field
    return True


def refusals(type_name, field, value):
    """(where, the exception, the message) for setting `value` through each API."""
    record = getattr(q, type_name)()
    yield "record class", raised(setattr, record, field, value), type_name
    cls, path = OBJECTS[type_name]
    if not settable(cls, field):
        return
    yield "object", raised(setattr, cls(), field, value), cls.__name__
    form = json_form()
    place = form
    for step in path:
        place = place[step]
    place[field] = value
    if field.endswith("Len") or field in ("numStatMods", "length"):  # derived in the form
        return
    form = json.loads(json.dumps(form))
    yield "JSON fast way", native._action_from_json(form), None
    yield "JSON import", raised(q.Action.from_dict, form), cls.__name__


def raised(call, *args):
    try:
        call(*args)
    except Exception as error:  # noqa: B902 (what is raised is the subject)
        return error
    return None


class OneRule(unittest.TestCase):
    def check(self, type_name, field, value, message_after_owner):
        for where, error, owner in refusals(type_name, field, value):
            label = (where, type_name, field, value)
            if owner is None:
                self.assertIsNone(error, label)  # declined: the checked way words it
                continue
            if where == "JSON import":
                # Every refusal of a document is placed by its path inside the action, which
                # stands where the class name stands in the message ("details[0].body.die").
                self.assertIsInstance(error, q.FieldValueError, (label, error))
                field_message = message_after_owner.lstrip(".")
                self.assertTrue(any(str(problem).endswith((owner + "." + field_message,
                                                           field_message))
                                    for problem in error.problems), (label, str(error)[:200]))
                continue
            self.assertIs(type(error), q.FieldValueError, (label, error))
            self.assertEqual(str(error), owner + message_after_owner, label)

    def test_out_of_range_integers(self):
        for type_name in OBJECTS:
            for field, kind in support.integer_fields(type_name):
                low, high = RANGES[kind]
                for value in (low - 1, high + 1):
                    self.check(type_name, field, value, ".%s is %s: %r is out of its range %d to %d"
                               % (field, KIND_WORDS[kind], value, low, high))

    def test_texts_longer_than_their_field(self):
        limits = dict((f, RANGES[k][1]) for f, k in support.integer_fields(HEADER))
        for text in support.text_fields():
            length = text + "Len"
            self.check(HEADER, text, "x" * (limits[length] + 1),
                       ".%s: a text of %d bytes is too long for its length field %s (at most %d)"
                       % (text, limits[length] + 1, length, limits[length]))
        self.check(HEADER, "spellCode", "EMBRE", ".spellCode holds at most 4 bytes, not 5")

    def test_the_exception_is_both_kinds_scripts_catch(self):
        self.assertTrue(issubclass(q.FieldValueError, OverflowError))
        self.assertTrue(issubclass(q.FieldValueError, ValueError))
        self.assertEqual((q.FieldValueError.__module__, q.FieldValueError.__name__),
                         ("qn4tGenericActionLoader", "FieldValueError"))

    def test_what_is_taken_as_an_integer_is_the_same_on_both_apis(self):
        taken = [(True, 1), (False, 0), (Index(7), 7), (7, 7)]
        refused = [3.0, "3", None, b"3", [3]]
        for target in (q.qn4tGeneric_Damage_Details(), q.Damage()):
            for value, expected in taken:
                target.levelMult = value
                self.assertEqual(target.levelMult, expected, (target, value))
                self.assertIs(type(target.levelMult), type(7), (target, value))
            for value in refused:
                error = raised(setattr, target, "levelMult", value)
                self.assertIsInstance(error, TypeError, (target, value))
                self.assertIn(".levelMult takes an integer, not", str(error))
                self.assertEqual(target.levelMult, 7)

    def test_python_code_run_by_a_set_cannot_pull_things_from_under_it(self):
        action = q.Action(details=[q.Detail(type=1)])
        state = {"actionID": None, "range": 1, "name": b"n"}

        class Meddler(object):
            def __index__(self):
                state.clear()  # the state being set, while it is set
                action.details = []
                return 3

        def details():
            del action.details[:]  # the list being replaced, while its successor is made
            action.details = [q.Detail(type=3)]
            yield q.Detail(type=2)

        state["actionID"] = Meddler()
        action.__setstate__(state)
        self.assertEqual((action.actionID, action.range, action.name, action.details),
                         (3, 1, support.record_text(b"n"), []))
        action.details = details()
        self.assertEqual([d.type for d in action.details], [2])

    def test_comparing_survives_an_item_that_replaces_the_lists_compared(self):
        compared = []
        junk = []

        class Witness(object):
            def __eq__(self, other):
                compared.append(self)
                return True

        def meddling_pair(field):
            objects = [q.Action(details=[q.Detail()] * 2) for _ in range(2)]

            class Meddler(object):
                def __eq__(self, other):
                    for obj in objects:
                        setattr(obj, field, [])  # frees the lists being compared...
                    # ...whose memory new lists take at once
                    junk.extend([Witness(), Witness(), Witness()] for _ in range(4))
                    return True

            for obj in objects:
                getattr(obj, field).insert(0, Meddler())
            return objects

        # Stat entries are values compared natively: a StatList holds nothing else.
        self.assertRaises(TypeError, q.StatMod().stats.insert, 0, Witness())
        for field in ("details",):
            a, b = meddling_pair(field)
            self.assertTrue(a == b, field)  # the lists as they were when the comparison began
            self.assertEqual(compared, [], field)
            self.assertEqual(getattr(a, field), [], field)

    def test_a_list_field_is_checked_when_set(self):
        cases = [(q.Action(), "details", q.Detail, q.Stat()), (q.StatMod(), "stats", q.Stat, q.Detail())]
        for obj, field, item, wrong in cases:
            for value in ("abc", b"", [item(), wrong], 5):
                self.assertIsInstance(raised(setattr, obj, field, value), TypeError, (field, value))
                self.assertEqual(getattr(obj, field), [], (field, value))
            setattr(obj, field, (item() for _ in range(2)))
            self.assertEqual(getattr(obj, field), [item(), item()])


if __name__ == "__main__":
    unittest.main()

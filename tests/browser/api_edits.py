"""The edits of the page's browser test made through the package instead: each reads an action
file, changes its actions as a script would, and writes them. Run with the interpreter and
module the tool runs with (it is not the browser test's own Python):

    python api_edits.py EDIT BASE.gz OUT.gz"""
from __future__ import print_function

import sys

q = None  # the package, imported by main(): the browser test imports this file for its data

HOSTILE_NAME = u"Ember <!-- Lance --> </script><b>bold</b> & \u00e9"


def rename(actions):
    actions[0].name = HOSTILE_NAME.encode("utf-8")


def value_change(actions):
    actions[4].levelAcquired = 7


def out_of_range(actions):
    try:
        actions[4].levelAcquired = 300
    except q.FieldValueError:
        return  # refused: nothing changes
    raise AssertionError("levelAcquired took 300")


def codes_by_name_and_number(actions):
    details = list(actions[0].details)
    body = details[0].body
    body.elemType = 2  # frost
    body.saveType = 9  # a code without a name
    details[0].body = body
    actions[0].details = details
    actions[0].validClasses |= 2  # ranger


def detail_added(actions):
    detail = q.Detail.from_dict({"header": {"type": 1}, "body": {"base": 5}})
    actions[1].details = list(actions[1].details) + [detail]


def stat_entry_removed(actions):
    details = list(actions[2].details)
    body = details[0].body
    body.stats = list(body.stats)[1:]
    details[0] = q.Detail(type=details[0].type, body=body)  # its length follows the body
    actions[2].details = details


def duplicated_and_renumbered(actions):
    copy = q.Action.from_dict(actions[3].to_dict())
    copy.actionID = 9001
    actions.insert(4, copy)


def action_added(actions):
    actions.append(q.Action(actionID=2015, name=b"Newly made"))  # the next free actionID


def action_removed(actions):
    del actions[5]


def made_a_spell(actions):
    actions[30].actionType = 2
    actions[30].spellCode = b"ZZ"


def edited_then_undone(actions):
    pass


def duplicated_and_removed_then_undone(actions):
    pass


def changed_meanwhile(actions):
    """Not an edit of the page: the file changed after the page was made."""
    actions[4].levelAcquired = 9


EDITS = dict((f.__name__, f) for f in (
    rename, value_change, out_of_range, codes_by_name_and_number, detail_added, stat_entry_removed,
    duplicated_and_renumbered, action_added, action_removed, made_a_spell, edited_then_undone,
    duplicated_and_removed_then_undone, changed_meanwhile))


def main(name, source, target):
    global q
    import qn4tGenericActionLoader
    q = qn4tGenericActionLoader
    actions = list(q.read_actions(source))
    EDITS[name](actions)
    q.write_actions(target, actions)


if __name__ == "__main__":
    main(*sys.argv[1:])

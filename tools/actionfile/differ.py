"""diff: the changes between two action files said line by line. The changes are the ones
the package's ChangeStream finds (the same that `diff --patch` writes), walking each file
once so that memory holds an index per action, not the actions."""
from __future__ import print_function, division

import json

from .listing import named, shown_text
from .walk import Damaged

OLD, NEW = 0, 1
ABSENT = "(none)"


class WalkFailed(Exception):
    """A walk over one of the two files (OLD or NEW) found it damaged."""

    def __init__(self, which, damage):
        Exception.__init__(self, which, damage)
        self.which = which
        self.damage = damage


class Report(object):
    """The counts of a comparison."""

    def __init__(self):
        self.added = self.removed = self.changed = self.same = 0
        self.moved = None  # not looked at

    def differs(self):
        return bool(self.added or self.removed or self.changed or self.moved)

    def summary(self):
        moved = "" if self.moved is None else "%d moved, " % self.moved
        return "%s%d added, %d removed, %d changed, %d the same" % (
            moved, self.added, self.removed, self.changed, self.same)


def _walk(open_walk, which):
    """The actions of one file; a damage found is raised as WalkFailed."""
    walk = open_walk(which)
    try:
        for action in walk.actions():
            yield action
    except Damaged as damage:
        raise WalkFailed(which, damage)


def _label(layout, number, action):
    name = shown_text(layout.text_values(action)[0].split(b"\0", 1)[0])
    return "#%d id %d %s" % (number + 1, action.actionID, name)


def shown(value, names=None, path=()):
    """A value of the document form as diff says it: a text quoted with its bytes, a code
    that a names file names as "1(fire)", an empty list or object as JSON."""
    if value is None:
        return ABSENT
    if isinstance(value, bool) or not isinstance(value, (int, type(2 ** 64), type(u""), str)):
        return json.dumps(value, sort_keys=True)
    if isinstance(value, (int, type(2 ** 64))):
        field = [step for step in path if not isinstance(step, int)]
        return named(names, field[-1] if field else "", value)
    return shown_text(value.encode("utf-8") if isinstance(value, type(u"")) else value)


def compare(layout, open_walk, say, ignore_order=False, names=None):
    """Compares the files that open_walk(OLD) and open_walk(NEW) walk (each called once)
    and says the differences line by line; returns the Report. Unless ignore_order,
    an action whose place among the others changed is said as moved. A names file (names)
    labels the codes of changed fields. Raises WalkFailed."""
    q = layout.q
    stream = q.ChangeStream(lambda: _walk(open_walk, OLD), lambda: _walk(open_walk, NEW),
                            ignore_order)
    report = Report()
    if not ignore_order:
        report.moved = 0
    for change, action in stream:
        if change.kind == q.REMOVED:
            report.removed += 1
            say("removed: " + _label(layout, change.position, action))
        elif change.kind == q.ADDED:
            report.added += 1
            say("added: " + _label(layout, change.to, action))
        elif change.kind == q.MOVED:
            report.moved += 1
            say("moved: %s (#%d in the old file)"
                % (_label(layout, change.to, action), change.position + 1))
        else:
            report.changed += 1
            say("changed: %s (#%d in the old file)"
                % (_label(layout, change.to, action), change.position + 1))
            for field in change.fields:
                say("    %s: %s -> %s" % (q.path_text(field.path),
                                          shown(field.old, names, field.path),
                                          shown(field.new, names, field.path)))
    report.same = stream.new_count - report.added - report.changed
    return report

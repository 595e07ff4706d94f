"""diff: the actions added, removed, changed and moved between two action files, matched by
actionID (repeated IDs in the order they appear). Memory grows by an index per action (its ID
and a digest of its fields), not by the actions: the files are walked again to report, and the
fields of the changed old actions wait in a temporary file for their new versions. The stat
entries of a detail are held as their bytes, 4 per entry, never as a field pair each."""
from __future__ import print_function, division

import array
import hashlib
import pickle
import struct
import tempfile

from .listing import named, shown_text
from .module import module_bytes
from .walk import Damaged

OLD, NEW = 0, 1
ABSENT = "(none)"
STATS = ".stats"  # the end of the name of a detail's stat entries, held as their bytes
ENTRIES_COMPARED = 4096  # stat entries compared as one slice before looking at each


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


def fields(layout, action, entries=None):
    """The action's fields as (name, value) pairs in file order, what diff compares: the
    header (the spell trailer only for a spell), the texts with every byte, then per detail
    its header, body fields and stat entries (an unknown kind's body as its bytes). A
    detail's stat entries are one value: entries(layout, stats), by default their bytes."""
    pairs = list(zip(layout.head.names, layout.head.numbers(action)))
    pairs.extend(zip((name for name, _ in layout.texts), layout.text_values(action)))
    if layout.is_spell(layout.action_type_of(action)):
        pairs.append((layout.spell_code, module_bytes(getattr(action, layout.spell_code))))
        pairs.extend(zip(layout.trailer.names, layout.trailer.numbers(action)))
    for number, detail in enumerate(action.details):
        prefix = "details[%d]." % number
        pairs.append((prefix + "type", detail.type))
        pairs.append((prefix + "length", detail.length))
        kind = layout.kinds.get(detail.type)
        if kind is None:
            pairs.append((prefix + "body", module_bytes(detail.body)))
            continue
        pairs.extend((prefix + "body." + name, value)
                     for name, value in kind.shape.values(detail.body))
        if kind.has_stats:
            pairs.append((prefix[:-1] + STATS, (entries or _entry_bytes)(layout,
                                                                          detail.body.stats)))
    return pairs


def _packed(layout, stats, piece=16384):
    """The stat entries as they lie in the file, in pieces of up to `piece` entries."""
    pack = struct.Struct("<" + "".join(
        kind.struct_code for _, kind in layout.stat.integer_fields)).pack
    fetch = layout.stat.fetch
    data = bytearray()
    for entry in stats:
        data += pack(*fetch(entry))
        if len(data) >= piece * layout.stat.size:
            yield bytes(data)
            del data[:]
    yield bytes(data)


def _entry_bytes(layout, stats):
    """The stat entries' bytes, grown piece by piece in place (a join would hold them twice)."""
    data = bytearray()
    for piece in _packed(layout, stats):
        data += piece
    return data


def _entry_digest(layout, stats):
    """A digest of the stat entries' bytes, made piece by piece: an unchanged action is
    compared without holding its entries."""
    digest = hashlib.md5()
    for piece in _packed(layout, stats):
        digest.update(piece)
    return digest.digest()


def _digest(pairs):
    scalars = repr([value for name, value in pairs if not name.endswith(STATS)])
    digest = hashlib.md5(scalars.encode("latin-1", "replace") if str is not bytes else scalars)
    for name, value in pairs:
        if name.endswith(STATS):
            digest.update(struct.pack("<Q", len(value)))
            digest.update(value)
    return digest.digest()


class _Index(object):
    """Per action of one file, in order: its ID and the digest of its fields."""

    def __init__(self):
        self.ids = array.array("I")
        self.digests = bytearray()

    def digest(self, number):
        return bytes(self.digests[16 * number:16 * number + 16])


def _walk(open_walk, which):
    """The actions of one file; a damage found is raised as WalkFailed."""
    walk = open_walk(which)
    try:
        for action in walk.actions():
            yield action
    except Damaged as damage:
        raise WalkFailed(which, damage)


def _index(layout, open_walk, which):
    index = _Index()
    for action in _walk(open_walk, which):
        index.ids.append(action.actionID)
        index.digests += _digest(fields(layout, action, _entry_digest))
    return index


def _match(old_ids, new_ids):
    """For each new action the number of its old one (-1: added), and for each old action
    whether it has a new one: the k-th action with an ID in OLD goes with the k-th one with
    that ID in NEW."""
    partner = array.array("l", [-1]) * len(new_ids)
    matched = bytearray(len(old_ids))
    old_order = sorted(range(len(old_ids)), key=old_ids.__getitem__)  # stable: in order
    new_order = sorted(range(len(new_ids)), key=new_ids.__getitem__)
    i = j = 0
    while i < len(old_order) and j < len(new_order):
        old_id, new_id = old_ids[old_order[i]], new_ids[new_order[j]]
        if old_id == new_id:
            partner[new_order[j]] = old_order[i]
            matched[old_order[i]] = 1
            i += 1
            j += 1
        elif old_id < new_id:
            i += 1
        else:
            j += 1
    return partner, matched


def _label(layout, number, action):
    name = shown_text(layout.text_values(action)[0].split(b"\0", 1)[0])
    return "#%d id %d %s" % (number + 1, action.actionID, name)


def _shown(value, names=None, name=""):
    """A value as diff says it; with a names file, a code it names as "1(fire)"."""
    if value is ABSENT:
        return value
    if isinstance(value, bytes):
        return shown_text(value)
    return named(names, name.rsplit(".", 1)[-1], value)


def _moved(layout, partner):
    """Per new action, 1 when it has an old one and their order relative to the others
    changed (the fewest actions that, moved, turn the old order into the new)."""
    matched_new = array.array("l", (n for n, old_number in enumerate(partner) if old_number >= 0))
    kept = layout.q.changes.in_place([partner[n] for n in matched_new])
    moved = bytearray(len(partner))
    for index, number in enumerate(matched_new):
        if index not in kept:
            moved[number] = 1
    return moved


def compare(layout, open_walk, say, ignore_order=False, names=None):
    """Compares the files that open_walk(OLD) and open_walk(NEW) walk (each called once per
    walk) and says the differences line by line; returns the Report. Unless ignore_order,
    an action whose place among the others changed is said as moved. A names file (names)
    labels the codes of changed fields. Raises WalkFailed."""
    old, new = _index(layout, open_walk, OLD), _index(layout, open_walk, NEW)
    partner, matched = _match(old.ids, new.ids)
    report = Report()
    moved = bytearray(len(partner)) if ignore_order else _moved(layout, partner)
    if not ignore_order:
        report.moved = sum(moved)
    changed_old = bytearray(len(old.ids))
    for number, old_number in enumerate(partner):
        if old_number >= 0 and new.digest(number) != old.digest(old_number):
            changed_old[old_number] = 1
    report.removed = len(old.ids) - sum(matched)
    with tempfile.TemporaryFile() as waiting:
        where = {}
        if report.removed or any(changed_old):
            for number, action in enumerate(_walk(open_walk, OLD)):
                if not matched[number]:
                    say("removed: " + _label(layout, number, action))
                elif changed_old[number]:
                    where[number] = waiting.tell()
                    pickle.dump(fields(layout, action), waiting, pickle.HIGHEST_PROTOCOL)
            action = None  # the last old action is not held while the new file is walked
        if len(partner) - sum(matched) or where or report.moved:
            for number, action in enumerate(_walk(open_walk, NEW)):
                old_number = partner[number]
                if old_number < 0:
                    report.added += 1
                    say("added: " + _label(layout, number, action))
                    continue
                if moved[number]:
                    say("moved: %s (#%d in the old file)"
                        % (_label(layout, number, action), old_number + 1))
                if old_number in where:
                    report.changed += 1
                    waiting.seek(where[old_number])
                    _say_changes(layout, number, old_number, pickle.load(waiting), action, say,
                                 names)
    report.same = len(new.ids) - report.added - report.changed
    return report


def _say_changes(layout, number, old_number, old_pairs, action, say, names=None):
    say("changed: %s (#%d in the old file)" % (_label(layout, number, action), old_number + 1))
    new_pairs = fields(layout, action)
    old_values, new_values = dict(old_pairs), dict(new_pairs)
    fields_said = [name for name, _ in old_pairs]
    fields_said += [name for name, _ in new_pairs if name not in old_values]
    for name in fields_said:
        before, after = old_values.get(name, ABSENT), new_values.get(name, ABSENT)
        if before == after:
            continue
        if name.endswith(STATS):
            _say_entry_changes(layout, name, before, after, say, names)
        else:
            say("    %s: %s -> %s" % (name, _shown(before, names, name), _shown(after, names, name)))


def _say_entry_changes(layout, name, before, after, say, names=None):
    """Each field of a stat entry that differs, looking at each entry only within slices
    of ENTRIES_COMPARED entries that differ."""
    size = layout.stat.size
    before, after = (b"" if v is ABSENT else v for v in (before, after))
    step = size * ENTRIES_COMPARED
    for start in range(0, max(len(before), len(after)), step):
        if before[start:start + step] == after[start:start + step]:
            continue
        for offset in range(start, start + step, size):
            old_entry, new_entry = before[offset:offset + size], after[offset:offset + size]
            if old_entry == new_entry:
                continue
            old_values = layout.stat.unpack(old_entry) if old_entry else None
            new_values = layout.stat.unpack(new_entry) if new_entry else None
            for field, field_name in enumerate(layout.stat.names):
                old_value = ABSENT if old_values is None else old_values[field]
                new_value = ABSENT if new_values is None else new_values[field]
                if old_value != new_value:
                    say("    %s[%d].%s: %s -> %s" % (
                        name, offset // size, field_name, _shown(old_value, names, field_name),
                        _shown(new_value, names, field_name)))

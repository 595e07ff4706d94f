"""Changes between action sets: diff_actions, apply_patch and merge_actions.

Actions are matched by actionID; actions sharing an ID are matched by their order among
equals (the second action with ID 7 in one set goes with the second one in the other).
Fields are compared in the document form, the dict Action.to_dict() gives, walked
generically: every leaf (a number, a text, an empty list or dict) has a path of member
names and list positions, so details and stat entries are compared by position. Results
are built back through Action.from_dict(). A value that is absent (a field an action does
not have, an action a set does not hold) is None.

    import qn4tGenericActionLoader as q
    patch = q.diff_actions(old, new)           # a Patch; patch.to_dict() is its JSON form
    result = q.apply_patch(mine, patch)        # result.actions, result.conflicts
    merged = q.merge_actions(base, ours, theirs, prefer="theirs")
"""

import array
import bisect
import hashlib
import hmac
import io
import json
import operator
import os
import pickle
import struct
import tempfile

import _qn4tGenericActionSupport as _native
from qn4tGenericActionLoader import _form as _document
from qn4tGenericActionLoader._message import formatted
from qn4tGenericActionLoader.actions import Action
from qn4tGenericActionLayout import INTEGER_KINDS

OURS, THEIRS = "ours", "theirs"
POSITION = ("position",)  # the path of a conflict about where an action stands
_SIDES = (None, OURS, THEIRS)

ADDED, REMOVED, CHANGED, MOVED = "added", "removed", "changed", "moved"


# ---- the document form as leaves -----------------------------------------------------------

def leaves(value, path=(), into=None):
    """The leaves of a document-form value as {path tuple: value}; an empty list or dict is
    a leaf of its own, so that it survives the way back."""
    into = {} if into is None else into
    if isinstance(value, dict) and value:
        for key in sorted(value):
            leaves(value[key], path + (key,), into)
    elif isinstance(value, list) and value:
        for index, item in enumerate(value):
            leaves(item, path + (index,), into)
    else:
        into[path] = value
    return into


def from_leaves(flat):
    """The value whose leaves are flat (the inverse of leaves()). A list position is an
    integer path step; positions left without a value close up."""
    if () in flat:
        return flat[()]
    groups = {}
    for path, value in flat.items():
        groups.setdefault(path[0], {})[path[1:]] = value
    if all(isinstance(key, int) for key in groups):
        return [from_leaves(groups[key]) for key in sorted(groups)]
    return dict((key, from_leaves(group)) for key, group in groups.items())


def path_text(path):
    """A path as a person reads it: details[0].body.base."""
    text = ""
    for step in path:
        text += "[%d]" % step if isinstance(step, int) else ("." if text else "") + step
    return text or "(the whole action)"


# ---- matching ------------------------------------------------------------------------------

def keys(actions):
    """(actionID, number among the actions with that ID) per action, in order."""
    seen = {}
    result = []
    for action in actions:
        number = seen.get(action.actionID, 0)
        seen[action.actionID] = number + 1
        result.append((action.actionID, number))
    return result


def repeated_ids(*key_lists):
    """The actionIDs that appear more than once in one of the key lists."""
    return sorted(set(key[0] for found in key_lists for key in found if key[1] == 1))


def in_place(positions):
    """Of a sequence of old positions (in new order), the indices of a longest increasing
    run: the actions that kept their order; the others moved."""
    return set(index for index, kept in enumerate(_kept_in_order(positions)) if kept)


def _kept_in_order(positions):
    """in_place() as a flag per index (1: kept its order), in arrays of machine integers
    rather than lists and sets of objects."""
    tails, tail_at = array.array("i"), array.array("i")
    before = array.array("i", [-1]) * len(positions)
    last = None  # tails[-1]: a position past it (the common case) needs no search
    for index, position in enumerate(positions):
        if last is not None and position > last:
            before[index] = tail_at[-1]
            tails.append(position)
            tail_at.append(index)
            last = position
            continue
        slot = bisect.bisect_left(tails, position)
        if slot:
            before[index] = tail_at[slot - 1]
        if slot == len(tails):
            tails.append(position)
            tail_at.append(index)
        else:
            tails[slot], tail_at[slot] = position, index
        last = tails[-1]
    kept, index = bytearray(len(positions)), tail_at[-1] if tail_at else -1
    while index >= 0:
        kept[index] = 1
        index = before[index]
    return kept


def moved_keys(old_keys, new_keys):
    """The keys present in both whose action changed its place relative to the others."""
    old_at = dict((key, number) for number, key in enumerate(old_keys))
    common = [key for key in new_keys if key in old_at]
    kept = in_place([old_at[key] for key in common])
    return set(key for index, key in enumerate(common) if index not in kept)


# ---- what a script inspects ----------------------------------------------------------------

class _Shown(object):
    __slots__ = ()

    def __repr__(self):
        return "%s(%s)" % (type(self).__name__, ", ".join(
            "%s=%r" % (name, getattr(self, name)) for name in self.__slots__))

    def __eq__(self, other):
        return type(self) is type(other) and all(
            getattr(self, name) == getattr(other, name) for name in self.__slots__)

    def __ne__(self, other):
        return not self == other

    __hash__ = None


class FieldChange(_Shown):
    """One leaf of an action that changed: its path, the old and the new value (None:
    absent)."""
    __slots__ = ("path", "old", "new")

    def __init__(self, path, old, new):
        self.path, self.old, self.new = tuple(path), old, new


class Change(_Shown):
    """One change of a Patch. kind is "added", "removed", "changed" or "moved"; actionID and
    occurrence (its number among the actions with that ID, from 0) name the action in the
    old set (in the new one for "added"); position is its place in the old set, to its place
    in the new one (None where it has none); action is the whole document form of an added
    or removed action; fields the FieldChange list of a changed one."""
    __slots__ = ("kind", "actionID", "occurrence", "position", "to", "action", "fields")

    def __init__(self, kind, actionID, occurrence, position=None, to=None, action=None,
                 fields=()):
        self.kind, self.actionID, self.occurrence = kind, actionID, occurrence
        self.position, self.to, self.action, self.fields = position, to, action, list(fields)

    def key(self):
        return (self.actionID, self.occurrence)

    def to_dict(self):
        result = {"change": self.kind, "actionID": self.actionID,
                  "occurrence": self.occurrence}
        for name in ("position", "to", "action"):
            if getattr(self, name) is not None:
                result[name] = getattr(self, name)
        if self.kind == CHANGED:
            result["fields"] = [_field_dict(field) for field in self.fields]
        return result

    @classmethod
    def from_dict(cls, values):
        """A Change from its dict form; ValueError names what does not fit it. A change or a
        field of a conflict document carries "take": "theirs" makes it as given, "ours"
        leaves it out; such a Change's fields are the ones taken (see conflict_document)."""
        _expect(isinstance(values, dict), "a change is a JSON object", values)
        _expect(values.get("change") in (ADDED, REMOVED, CHANGED, MOVED),
                'a change is "added", "removed", "changed" or "moved"', values.get("change"))
        _expect(_is_int(values.get("actionID")), "actionID is a whole number",
                values.get("actionID"))
        for name in ("occurrence", "position", "to"):
            _expect(values.get(name) is None or _is_int(values[name]),
                    "%s is a whole number" % name, values.get(name))
        _expect(isinstance(values.get("action", {}), dict), "action is a JSON object",
                values.get("action"))
        if values["change"] in (ADDED, MOVED):  # placed by "to" among the others
            _expect(values.get("to") is not None, 'an "%s" change has "to", its place in the '
                    'new set' % values["change"], values.get("to"))
        if values["change"] == ADDED:
            _expect(isinstance(values.get("action"), dict), 'an "added" change carries its '
                    '"action"', values.get("action"))
            _expect(values["action"].get("actionID", 0) == values["actionID"],
                    "the added action carries the actionID the change names (%d)"
                    % values["actionID"], values["action"].get("actionID", 0))
        fields = values.get("fields", [])
        _expect(isinstance(fields, list) and all(
            isinstance(f, dict) and isinstance(f.get("path"), list) for f in fields),
            'fields is a list of objects with a "path" list', fields)
        for number, field in enumerate(fields):  # here, not at a recursion limit later
            for side in ("old", "new"):
                _expect(_nested_within(field.get(side), _FIELD_DEPTH),
                        "fields[%d].%s nests at most %d lists and objects deep"
                        % (number, side, _FIELD_DEPTH), _TooDeep())
        return cls(values["change"], values.get("actionID"), values.get("occurrence", 0),
                   values.get("position"), values.get("to"), values.get("action"),
                   [FieldChange(f["path"], f.get("old"), f.get("new")) for f in fields
                    if _taken(f, values)])


TAKE = "take"          # a conflict document's choice of a side, per change or field
UNCHOSEN = "ours or theirs"  # what the choice says until the designer makes it


def _taken(values, change=None):
    """Whether a change (or a field of change) of a conflict document is to be made: its
    "take" is "theirs" (made) or "ours" (left out); one without "take" is made. ValueError
    for a choice not made yet."""
    if TAKE not in values:
        return True
    choice = values[TAKE]
    if choice not in (OURS, THEIRS):
        where = "id %s" % _shown((change or values).get("actionID"))
        if change is not None:
            where += " %s" % path_text(tuple(values.get("path", ())))
        raise ValueError('%s: choose a side: "take" is "ours" or "theirs", not %s'
                         % (where, _shown(choice)))
    return choice == THEIRS


_FIELD_DEPTH = 16  # far deeper than any part of an action's document form nests


class _TooDeep(object):
    """Stands for a value nested too deeply to be shown."""


def _nested_within(value, most):
    """True when value (from JSON) nests at most `most` lists and objects deep; walked
    without recursion, stopping at the first level too deep."""
    level = [value]
    for _ in range(most):
        level = [inner for item in level if isinstance(item, (list, dict))
                 for inner in (item.values() if isinstance(item, dict) else item)]
        if not level:
            return True
    return not any(isinstance(item, (list, dict)) for item in level)


def _is_int(value):
    return isinstance(value, (int, type(2 ** 64))) and not isinstance(value, bool)


def _expect(condition, rule, value):
    if not condition:
        raise ValueError(formatted("%s, not %s", rule, _shown(value)))


def _field_dict(field):
    result = {"path": list(field.path)}
    if field.old is not None:
        result["old"] = field.old
    if field.new is not None:
        result["new"] = field.new
    return result


class Patch(_Shown):
    """The changes that make one action set of another, in the order removed, changed,
    moved, added. to_dict() is the JSON document `actiontool diff --patch` writes,
    Patch.from_dict() reads it back."""
    __slots__ = ("changes",)

    def __init__(self, changes=()):
        self.changes = list(changes)

    def __bool__(self):
        return bool(self.changes)

    __nonzero__ = __bool__

    def to_dict(self):
        return {"changes": [change.to_dict() for change in self.changes]}

    @classmethod
    def from_dict(cls, values):
        if not isinstance(values, dict) or not isinstance(values.get("changes"), list):
            raise ValueError('a patch is a JSON object with a "changes" list')
        return cls(Change.from_dict(change) for change in values["changes"]
                   if not isinstance(change, dict) or _taken(change))


class Conflict(_Shown):
    """A change that could not be taken: the action (actionID, occurrence), the path of the
    field (() for the whole action, ("position",) for its place) and the three values:
    base (what the change expected), ours (what the set holds), theirs (what the change or
    the other side brings). None: absent."""
    __slots__ = ("actionID", "occurrence", "path", "base", "ours", "theirs")

    def __init__(self, key, path, base, ours, theirs):
        self.actionID, self.occurrence = key
        self.path, self.base, self.ours, self.theirs = tuple(path), base, ours, theirs

    def __str__(self):
        return formatted(
            "id %d%s %s: base %s, ours %s, theirs %s", self.actionID,
            " (#%d with that id)" % (self.occurrence + 1) if self.occurrence else "",
            path_text(self.path), _shown(self.base), _shown(self.ours), _shown(self.theirs))


def _shown(value):
    """A value as JSON, alike on both hosts."""
    if value is None:
        return "(none)"
    if isinstance(value, _TooDeep):
        return "one nested deeper"
    try:
        return json.dumps(value, ensure_ascii=False, sort_keys=True)
    except RuntimeError:  # RecursionError on Python 3
        return "a value nested too deeply to be shown"


class Result(_Shown):
    """What apply_patch and merge_actions give: the resulting actions (a list of Action),
    the conflicts left or resolved (resolved ones when a side was preferred), notes for a
    person (repeated actionIDs), and for a patch how many changes were made and how many
    were found already in place."""
    __slots__ = ("actions", "conflicts", "notes", "applied", "already")

    def __init__(self, actions, conflicts, notes, applied=0, already=0):
        self.actions, self.conflicts, self.notes = actions, conflicts, notes
        self.applied, self.already = applied, already

    def already_applied(self):
        """True for a patch whose every change was found in place already."""
        return self.already > 0 and self.applied == 0 and not self.conflicts


# ---- diff ----------------------------------------------------------------------------------

def field_changes(old_form, new_form):
    """The FieldChange list between two document forms of an action. A detail's "stats" may
    also be the entries' bytes held in a _PackedEntries: its entries are then compared one
    pair at a time, with the changes a list of dicts would give, without a dict or a leaf
    per entry."""
    old_entries, new_entries = _take_entries(old_form), _take_entries(new_form)
    found = []
    _changed_leaves(old_form, new_form, (), found)
    for index in set(old_entries) | set(new_entries):
        found.extend(_entry_changes((_document.DETAILS, index, _document.STATS),
                                    old_entries.get(index), new_entries.get(index)))
    found.sort(key=lambda change: _path_order(change[0]))
    return [FieldChange(*change) for change in found]


_ABSENT = object()  # a member or list item one side does not have


def _changed_leaves(old, new, path, found):
    """Appends (path, old, new) of each leaf below path whose value differs between the
    document-form values old and new, as comparing all their leaves() would find them;
    parts that are alike are passed over without being taken apart."""
    if old is not _ABSENT and new is not _ABSENT and old == new:
        return
    if isinstance(old, dict) and isinstance(new, dict) and old and new:
        for key in set(old) | set(new):
            _changed_leaves(old.get(key, _ABSENT), new.get(key, _ABSENT), path + (key,), found)
        return
    if isinstance(old, list) and isinstance(new, list) and old and new:
        for index in range(max(len(old), len(new))):
            _changed_leaves(old[index] if index < len(old) else _ABSENT,
                            new[index] if index < len(new) else _ABSENT, path + (index,), found)
        return
    old_leaves = {} if old is _ABSENT else leaves(old, path)
    new_leaves = {} if new is _ABSENT else leaves(new, path)
    found.extend((leaf, old_leaves.get(leaf), new_leaves.get(leaf))
                 for leaf in set(old_leaves) | set(new_leaves)
                 if old_leaves.get(leaf) != new_leaves.get(leaf))


class _PackedEntries(object):
    """A detail's stat entries as the file holds them (_ENTRY.size bytes each), in place of a
    list of dicts: a changed action waits for its partner at the cost of its entries' bytes."""
    __slots__ = ("data",)

    def __init__(self, stats):
        self.data = _pack_entries(stats)

    def __getstate__(self):
        return self.data

    def __setstate__(self, data):
        self.data = data


_STRUCT_CODES = {1: "B", 2: "H", 4: "I", 8: "Q"}


def _struct_code(kind):
    width, signed = INTEGER_KINDS[kind]
    return _STRUCT_CODES[width].lower() if signed else _STRUCT_CODES[width]


_ENTRY = struct.Struct("<" + "".join(_struct_code(_document._KINDS[_document._STAT_RECORD][name])
                                     for name in _document._STAT_FIELDS))
_entry_numbers = operator.attrgetter(*_document._STAT_FIELDS)
_ENTRIES_COMPARED = 4096  # stat entries compared as one slice before looking at each


def _pack_entries(stats):
    """The entries' bytes, grown in place (a join would hold them twice)."""
    data = bytearray()
    pack = _ENTRY.pack
    for entry in stats:
        data += pack(*_entry_numbers(entry))
    return bytes(data)


def _take_entries(form):
    """Takes the _PackedEntries out of the form's details: {detail index: their bytes}."""
    taken = {}
    details = form.get(_document.DETAILS) if isinstance(form, dict) else None
    for index, detail in enumerate(details if isinstance(details, list) else ()):
        if isinstance(detail, dict) and isinstance(detail.get(_document.STATS), _PackedEntries):
            taken[index] = detail.pop(_document.STATS).data
    return taken


def _entry_changes(path, old, new):
    """(path, old, new) of each field of two stat entries' bytes (None: absent) that differs,
    as leaves() of their dicts would find them: an empty list is a leaf of its own. Slices
    of _ENTRIES_COMPARED entries that are alike are passed over whole."""
    old_empty = [] if old is not None and not old else None
    new_empty = [] if new is not None and not new else None
    if old_empty != new_empty:
        yield path, old_empty, new_empty
    old, new = old or b"", new or b""
    size, names = _ENTRY.size, _document._STAT_FIELDS
    absent = (None,) * len(names)
    step = size * _ENTRIES_COMPARED
    for start in range(0, max(len(old), len(new)), step):
        if old[start:start + step] == new[start:start + step]:
            continue
        for offset in range(start, min(start + step, max(len(old), len(new))), size):
            before, after = old[offset:offset + size], new[offset:offset + size]
            if before == after:
                continue
            before = _ENTRY.unpack(before) if before else absent
            after = _ENTRY.unpack(after) if after else absent
            for name, old_value, new_value in zip(names, before, after):
                if old_value != new_value:
                    yield path + (offset // size, name), old_value, new_value


def _entries_kept(action):
    """The action's document form with each detail's stat entries kept as their bytes."""
    return _document.action_to_dict(action, _PackedEntries)


def _path_order(path):
    # Python 3 cannot order an int against a str: compare (is-a-name, step) pairs.
    return tuple((isinstance(step, type(u"")) or isinstance(step, str), step) for step in path)


# The key of _form_digest, drawn once per process: whoever writes a file cannot aim two
# different actions at one digest. Digests are compared only within one process.
_FORM_DIGEST_KEY = os.urandom(16)


def _form_digest(action):
    """A digest of the action's document form: two actions with one digest are alike (for an
    action that has no bytes, see _Index.held_actions)."""
    form = _entries_kept(action)
    entries = _take_entries(form)
    digest = hmac.new(_FORM_DIGEST_KEY, repr(form).encode("utf-8", "backslashreplace")
                      if str is not bytes else repr(form), hashlib.sha256)
    for index in sorted(entries):
        digest.update(struct.pack("<QQ", index, len(entries[index])))
        digest.update(entries[index])
    return digest.digest()


def _bytes_of(numbers):
    """The bytes of an array or a memoryview of machine values (Python 2's array has
    tostring())."""
    return numbers.tobytes() if hasattr(numbers, "tobytes") else numbers.tostring()


def _numbers(code, data):
    """The machine values of the given array code that the bytes data hold, as a sequence:
    a view of data where the host has one (Python 3), else an array made of them."""
    try:
        return memoryview(data).cast(code)
    except AttributeError:  # Python 2
        numbers = array.array(code)
        numbers.fromstring(bytes(data))
        return numbers


class _Index(object):
    """Per action of one set, in order: its actionID and its number among the actions with
    that ID (held only where it is not 0). A set that is walked (not a list) is walked once: per action the index keeps
    the digest of its bytes, and the bytes wait in a temporary file, from which action()
    makes an action again. Memory holds 20 bytes per action (ID, digest, where its bytes
    end), not the actions."""

    def __init__(self, actions, walked):
        self.listed = None if walked else actions
        self.digests = self.ends = self.spill = None
        self.by_form = False  # digests of document forms (held_actions), not of bytes
        if walked:
            self.spill = tempfile.TemporaryFile()
            ids, digests, ends = bytearray(), bytearray(), bytearray()
            if not _native._action_index(actions, self.spill, ids, digests, ends):
                self.spill.close()
                raise _Unwritable()
            self.ids, self.ends = _numbers("I", ids), _numbers("l", ends)
            self.digests = _numbers(_DIGEST_CODE, digests)
        else:
            self.ids = array.array("I", (action.actionID for action in actions))
        self._order()

    @classmethod
    def held_actions(cls, actions):
        """The index of a walked set some action of which no file could hold (a value set
        by a script out of its field's range): every action held, each digested by its
        document form."""
        index = cls([], False)
        index.by_form = True
        index.listed = list(actions)
        index.ids = array.array("I", (action.actionID for action in index.listed))
        index.digests = _numbers(_DIGEST_CODE, b"".join(
            _form_digest(action)[:_DIGEST_SIZE] for action in index.listed))
        index._order()
        return index

    def _order(self):
        pairs = _numbers("I", _native._repeats(_bytes_of(self.ids)))
        self.repeated = dict(zip(pairs[0::2], pairs[1::2]))  # number -> occurrence, if > 0

    def __len__(self):
        return len(self.ids)

    def key(self, number):
        return self.ids[number], self.repeated.get(number, 0)

    def action(self, number):
        """The number-th action of the set (of a walked set, made again from its bytes)."""
        if self.listed is not None:
            return self.listed[number]
        start = self.ends[number - 1] if number else 0
        walking = self.spill.tell()  # where a walk of actions() reads on
        self.spill.seek(start)
        data = self.spill.read(self.ends[number] - start)
        self.spill.seek(walking)
        return next(iter(_native._read_actions(io.BytesIO(data), 1)))

    def actions(self):
        """Every action of a walked set in order, made again from the bytes one at a time."""
        self.spill.seek(0)
        for action in _native._read_actions(self.spill, 1):
            yield action

    def close(self):
        if self.spill is not None:
            self.spill.close()


_DIGEST_SIZE, _DIGEST_CODE = 8, "L"  # an action's digest in an index: one 64-bit number


class _Unwritable(Exception):
    """A walked set holds an action that has no bytes (see _Index.held_actions)."""


class WalkedSet(object):
    """An action set walked once into an index, in place of a list of Action: per action
    its actionID, its number among the actions with that ID and the digest of its bytes,
    the bytes themselves waiting in a temporary file (removed by close(), or at the latest
    when the process ends). walk: a callable giving an iterable of the set's Action objects
    (called twice where an action has no bytes: a value out of its field's range, set by a
    script; such a set is then held). ChangeStream, diff_actions, apply_patch and
    merge_actions take one wherever they take a set, and then hold neither it nor their
    result: apply_patch's and merge_actions' actions are made one at a time, each time
    they are iterated. Use as a context manager, or close() it."""

    def __init__(self, walk):
        try:
            self.index = _Index(walk(), True)
        except _Unwritable:
            self.index = _Index.held_actions(walk())

    def __len__(self):
        return len(self.index)

    def __iter__(self):
        """The actions of the set, in order, made again from their bytes."""
        index = self.index
        if index.listed is not None:
            return iter(index.listed)
        return index.actions()

    def close(self):
        self.index.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()


def _match(old, new):
    """For each new action the number of its old one (-1: added), and for each old action
    whether it has a new one: the k-th action with an ID in old goes with the k-th one
    with that ID in new."""
    partner, matched = _native._match_ids(_bytes_of(old.ids), _bytes_of(new.ids))
    return _numbers("i", partner), bytearray(matched)


def _moved(partner):
    """Per new action, 1 when it has an old one and its place among the others changed
    (the fewest actions that, moved, turn the old order into the new)."""
    return bytearray(_native._moved_flags(_bytes_of(partner)))


class ChangeStream(object):
    """The changes that make the action set new of old, one at a time, as
    iter(ChangeStream(old, new)) yields them: (Change, Action) pairs, the Action being the
    one the change is about (the old one of "removed", the new one otherwise). The order:
    each removed action in old order, then per new action in new order its "added", or its
    "moved" and then its "changed". old and new are each a list of Action, or a callable
    that gives a new iterable of the set's Action objects each time it is called: such a
    set is walked once instead of held, so that memory holds an index per action (its ID
    and the digest of its bytes), and the bytes of each action wait in a temporary file
    until the walk asks for the changed ones. Unless ignore_order, an action whose place
    among the others changed is "moved". After the walk, old_count and new_count hold the
    sizes of the sets. What a walk raises passes through."""

    def __init__(self, old, new, ignore_order=False):
        self.old, self.new, self.ignore_order = old, new, ignore_order
        self.old_count = self.new_count = None

    @staticmethod
    def _index(side):
        if isinstance(side, WalkedSet):
            return side.index
        if isinstance(side, (list, tuple)):
            return _Index(side, False)
        return WalkedSet(side).index

    def __iter__(self):
        made = []  # the indexes made here (not a WalkedSet's), closed here
        try:
            old = self._index(self.old)
            if not isinstance(self.old, WalkedSet):
                made.append(old)
            new = self._index(self.new)
            if not isinstance(self.new, WalkedSet):
                made.append(new)
            for found in self._changes(old, new):
                yield found
        finally:
            for index in made:
                index.close()

    def _changes(self, old, new):
        self.old_count, self.new_count = len(old), len(new)
        partner, matched = _match(old, new)
        moved = bytearray(len(partner)) if self.ignore_order else _moved(partner)
        changed_old = bytearray(len(old))
        if old.digests is None or new.digests is None or old.by_form != new.by_form:
            for number, old_number in enumerate(partner):
                if old_number >= 0 and old.action(old_number) != new.action(number):
                    changed_old[old_number] = 1
        else:
            changed_old = bytearray(_native._changed_flags(
                _bytes_of(partner), _bytes_of(old.digests), _bytes_of(new.digests)))
        for number in range(len(old)):
            if not matched[number]:
                action = old.action(number)
                yield Change(REMOVED, old.ids[number], old.key(number)[1], number,
                             action=action.to_dict()), action
        for number, old_number in enumerate(partner):
            if old_number < 0:
                action = new.action(number)
                yield Change(ADDED, new.ids[number], new.key(number)[1], None,
                             number, action=action.to_dict()), action
                continue
            if not (moved[number] or changed_old[old_number]):
                continue
            action = new.action(number)
            key = old.key(old_number)
            if moved[number]:
                yield Change(MOVED, key[0], key[1], old_number, number), action
            if changed_old[old_number]:
                yield Change(CHANGED, key[0], key[1], old_number, number,
                             fields=field_changes(_entries_kept(old.action(old_number)),
                                                  _entries_kept(action))), action


_PATCH_ORDER = {REMOVED: 0, CHANGED: 1, MOVED: 2, ADDED: 3}


def _patch_place(change):
    """Where a change stands in a Patch: removed, changed (in old order), moved, added (in
    new order)."""
    rank = _PATCH_ORDER[change.kind]
    return rank, change.position if change.kind in (REMOVED, CHANGED) else change.to


class _Spilled(object):
    """Changes written one after another into a temporary file (removed when it is closed,
    and by the system on any way out), read back in any order: memory holds an offset per
    change, not the change."""

    def __init__(self):
        self.file = tempfile.TemporaryFile()
        self.offsets = array.array("l")

    def add(self, change):
        self.offsets.append(self.file.tell())
        pickle.dump((change.kind, change.actionID, change.occurrence, change.position,
                     change.to, change.action,
                     [(field.path, field.old, field.new) for field in change.fields]),
                    self.file, pickle.HIGHEST_PROTOCOL)

    def get(self, number):
        self.file.seek(self.offsets[number])
        kind, actionID, occurrence, position, to, action, fields = pickle.load(self.file)
        return Change(kind, actionID, occurrence, position, to, action,
                      [FieldChange(*field) for field in fields])

    def __len__(self):
        return len(self.offsets)

    def close(self):
        self.file.close()


def patch_changes(old, new, ignore_order=False):
    """The changes of diff_actions(old, new, ignore_order) one at a time, in the Patch's
    order, from a ChangeStream: the removed ones as they come, the others held in temporary
    files until the stream ends (the changed ones are put in old order there). old and new
    are as ChangeStream takes them."""
    changed, moved, added = _Spilled(), _Spilled(), _Spilled()
    try:
        changed_at = array.array("l")
        for change, _ in ChangeStream(old, new, ignore_order):
            if change.kind == REMOVED:
                yield change
            elif change.kind == CHANGED:
                changed_at.append(change.position)
                changed.add(change)
            else:
                (moved if change.kind == MOVED else added).add(change)
        for number in sorted(range(len(changed)), key=changed_at.__getitem__):
            yield changed.get(number)
        for spilled in (moved, added):
            for number in range(len(spilled)):
                yield spilled.get(number)
    finally:
        for spilled in (changed, moved, added):
            spilled.close()


def diff_actions(old, new, ignore_order=False):
    """The Patch that makes the action set new of old. old and new are as ChangeStream takes
    them: lists of Action (any other iterable is read into one), or callables giving a new
    walk of a set each time (walked twice, not held). Unless ignore_order, actions whose
    place changed are "moved" changes."""
    old, new = (side if callable(side) or isinstance(side, (list, tuple, WalkedSet))
                else list(side) for side in (old, new))
    changes = [change for change, _ in ChangeStream(old, new, ignore_order)]
    changes.sort(key=_patch_place)
    return Patch(changes)


# ---- patch ---------------------------------------------------------------------------------

def _check_side(name, value):
    if value not in _SIDES:
        raise ValueError("%s must be None, %r or %r, not %r" % (name, OURS, THEIRS, value))


class _Slot(object):
    """One action of a set being changed: its key, its Action, and its leaves once a field
    change touched it."""
    __slots__ = ("key", "action", "flat", "set_paths")

    def __init__(self, key, action):
        self.key, self.action, self.flat, self.set_paths = key, action, None, []

    def built(self):
        """The Action with the changes made; ValueError when a value set did not arrive
        (a path that is no field of an action)."""
        if self.flat is None:
            return self.action
        action = action_of(from_leaves(self.flat), self.key)
        made = leaves(action.to_dict())
        for path in self.set_paths:
            if made.get(path) != self.flat.get(path):
                raise ValueError("id %d: %s is not a field an action holds"
                                 % (self.key[0], path_text(path)))
        return action


def apply_patch(actions, patch, force=None, prefer=None):
    """Applies patch (a Patch, or its dict form) to the iterable of Action actions (or a
    WalkedSet, whose result's actions are made as they are iterated); returns a Result. A field whose value is neither the patch's old nor its new value, a removed
    action that differs from the patch's copy of it, a changed or moved action the set does
    not hold: each is a Conflict (ours: the set's value, theirs: the patch's). With force
    "theirs" the patch's value wins, with "ours" the set's; without, conflicting changes are
    left out and the conflicts say what a caller must not write. A change already in place
    is counted in .already, one made in .applied. prefer is force under the name that
    merge_actions gives the choice (give one of the two)."""
    if prefer is not None:
        if force is not None and force != prefer:
            raise ValueError("force and prefer name one choice: give one of them")
        force = prefer
    _check_side("prefer", force)
    if isinstance(patch, dict):
        patch = Patch.from_dict(patch)
    if isinstance(actions, WalkedSet):
        return _apply_walked(actions, patch, force)
    actions = list(actions)
    slots = [_Slot(key, action) for key, action in zip(keys(actions), actions)]
    by_key = dict((slot.key, slot) for slot in slots)
    conflicts, counts = [], {"applied": 0, "already": 0}

    def count(done):
        counts["applied" if done else "already"] += 1

    placed = []  # (position in the new set, slot) of moved and added actions
    stands_at = dict((id(slot), number) for number, slot in enumerate(slots))
    for change in patch.changes:
        _apply_change(change, by_key, stands_at, placed, force, conflicts, count)
    placed_slots = set(id(slot) for _, slot in placed)
    kept = [slot for slot in slots
            if by_key.get(slot.key) is slot and id(slot) not in placed_slots]
    placed = [(position, slot) for position, slot in placed if by_key.get(slot.key) is slot]
    notes = _repeated_note(repeated_ids([slot.key for slot in slots]))
    return Result([slot.built() for slot in _placed_among(kept, placed)], conflicts, notes,
                  **counts)


def _apply_change(change, by_key, stands_at, placed, force, conflicts, count):
    """Makes one change of a patch on the slots by_key holds (see apply_patch)."""
    slot = by_key.get(change.key()) if change.kind != ADDED else None
    if change.kind == REMOVED:
        _remove(slot, change, force, conflicts, count, by_key)
    elif change.kind == CHANGED:
        _change_fields(slot, change, force, conflicts, count)
    elif change.kind == MOVED:
        if slot is None:
            conflicts.append(Conflict(change.key(), POSITION, change.position, None,
                                      change.to))
        else:  # placed even where it stands: the others around it may move
            placed.append((change.to, slot))
            count(stands_at[id(slot)] != change.to)
    elif change.kind == ADDED:
        _add(change, by_key, placed, count)
    else:
        raise ValueError("unknown change %r" % (change.kind,))


def _apply_walked(walked, patch, force):
    """apply_patch on a WalkedSet: the changes are made per action they name (what one
    change does depends only on the others naming the same action), each such action made
    from its bytes, changed, and put into a temporary file at once; the result's actions
    are the set's, walked again, with those put in."""
    index = walked.index
    groups = {}  # key -> [(number of the change in the patch, change)]
    for number, change in enumerate(patch.changes):
        groups.setdefault(change.key(), []).append((number, change))
    at = _numbers_of_keys(index, groups)
    conflicts, counts = [], {"applied": 0, "already": 0}

    def count(done):
        counts["applied" if done else "already"] += 1

    made = _MadeActions()
    placed, dropped, replaced = [], set(), {}
    for key, group in groups.items():
        number = at.get(key)
        slot = _Slot(key, index.action(number)) if number is not None else None
        by_key = {key: slot} if slot is not None else {}
        stands_at = {id(slot): number} if slot is not None else {}
        group_placed = []
        for change_number, change in group:
            found, placing = [], len(group_placed)
            _apply_change(change, by_key, stands_at, group_placed, force, found, count)
            conflicts.extend((change_number, len(conflicts), c) for c in found)
            group_placed[placing:] = [(to, change_number, placed_slot) for to, placed_slot
                                      in group_placed[placing:]]
        placed_slots = set(id(placed_slot) for _, _, placed_slot in group_placed)
        if slot is not None:
            if by_key.get(key) is not slot or id(slot) in placed_slots:
                dropped.add(number)
            elif slot.flat is not None:
                replaced[number] = made.add(slot.built())
        placed.extend((to, change_number, made.add(placed_slot.built()))
                      for to, change_number, placed_slot in group_placed
                      if by_key.get(placed_slot.key) is placed_slot)
    placed.sort(key=lambda item: item[:2])
    conflicts.sort(key=lambda item: item[:2])
    notes = _repeated_note(sorted(set(index.ids[number] for number, occurrence
                                      in index.repeated.items() if occurrence == 1)))
    return Result(_PatchedActions(walked, dropped, replaced, placed, made),
                  [conflict for _, _, conflict in conflicts], notes, **counts)


def _numbers_of_keys(index, keys):
    """{key: number of its action in the index} of the keys (actionID, occurrence) it has."""
    wanted, at = set(key[0] for key in keys), {}
    ids, repeated = index.ids, index.repeated
    for number in range(len(ids)):
        if ids[number] in wanted:
            key = (ids[number], repeated.get(number, 0))
            if key in keys:
                at[key] = number
    return at


class _MadeActions(object):
    """Actions made while applying or merging, kept as their bytes in a temporary file (an
    action with no bytes, a value out of range, is held as it is); add() gives the number
    that get() takes."""

    def __init__(self):
        self.spill = tempfile.TemporaryFile()
        self.places = []  # (start, end) in spill, or the Action held
        self.size = 0

    def add(self, action):
        try:
            data = _native._action_bytes(action)
        except (ValueError, TypeError, OverflowError):
            self.places.append(action)
            return len(self.places) - 1
        self.spill.seek(self.size)
        self.spill.write(data)
        self.places.append((self.size, self.size + len(data)))
        self.size += len(data)
        return len(self.places) - 1

    def __del__(self):
        self.close()

    def get(self, number):
        place = self.places[number]
        if not isinstance(place, tuple):
            return place
        self.spill.seek(place[0])
        data = self.spill.read(place[1] - place[0])
        return next(iter(_native._read_actions(io.BytesIO(data), 1)))

    def close(self):
        self.spill.close()


class _PatchedActions(object):
    """The actions of a patched WalkedSet, made one at a time each time it is iterated: the
    set's own in order, less the dropped (removed or placed elsewhere), the replaced ones
    as changed, and each placed one standing at its position."""

    def __init__(self, walked, dropped, replaced, placed, made):
        self.walked, self.dropped, self.replaced = walked, dropped, replaced
        self.placed, self.made = placed, made

    def __len__(self):
        return len(self.walked) - len(self.dropped) + len(self.placed)

    def _kept(self):
        for number, action in enumerate(self.walked):
            if number in self.dropped:
                continue
            made = self.replaced.get(number)
            yield action if made is None else self.made.get(made)

    def __iter__(self):
        kept, emitted = self._kept(), 0
        for position, _, made in self.placed:
            while emitted < position:
                action = next(kept, None)
                if action is None:
                    break
                yield action
                emitted += 1
            yield self.made.get(made)
            emitted += 1
        for action in kept:
            yield action


def _placed_among(kept, placed):
    """kept in their order, with each (position, slot) of placed standing at its position
    (or at the end, when fewer come before it)."""
    order, taken = [], 0
    for position, slot in sorted(placed, key=lambda item: item[0]):
        while len(order) < position and taken < len(kept):
            order.append(kept[taken])
            taken += 1
        order.append(slot)
    return order + kept[taken:]


def _remove(slot, change, force, conflicts, count, by_key):
    if slot is None:
        count(False)
        return
    current = slot.built().to_dict()
    if current != change.action:
        conflicts.append(Conflict(change.key(), (), change.action, current, None))
        if force != THEIRS:
            return
    del by_key[slot.key]
    count(True)


def _change_fields(slot, change, force, conflicts, count):
    if slot is None:
        conflicts.append(Conflict(change.key(), (), _by_path(change.fields, "old"), None,
                                  _by_path(change.fields, "new")))
        return
    flat = slot.flat if slot.flat is not None else leaves(slot.action.to_dict())
    made = left = False
    for field in change.fields:
        current = flat.get(field.path)
        if current == field.new:
            continue
        if current != field.old:
            conflicts.append(Conflict(change.key(), field.path, field.old, current, field.new))
            if force != THEIRS:
                left = True
                continue
        _set_leaf(flat, field.path, field.new)
        slot.set_paths.append(field.path)
        made = True
    if made:
        slot.flat = flat
    if made or not left:
        count(made)


def _by_path(fields, side):
    """The fields' values on one side as {path text: value}, to show what a change to an
    absent action expected and brought."""
    return dict((path_text(field.path), getattr(field, side)) for field in fields)


def _set_leaf(flat, path, value):
    """Sets one leaf; the leaves below it or the empty container above it give way."""
    for other in [p for p in flat if p[:len(path)] == path or path[:len(p)] == p]:
        del flat[other]
    if value is not None:
        flat[path] = value


def _add(change, by_key, placed, count):
    present = by_key.get(change.key())
    if present is not None and present.built().to_dict() == change.action:
        count(False)
        return
    slot = _Slot(change.key() if present is None else ("added", id(change)),
                 action_of(change.action, change.key()))
    by_key[slot.key] = slot
    placed.append((change.to, slot))
    count(True)


def action_of(form, key):
    """Action.from_dict(form), a refusal said as a ValueError naming the action."""
    try:
        return Action.from_dict(form)
    except KeyError as error:
        raise ValueError(formatted("id %d: the member %s is missing", key[0], error))
    except ValueError as error:
        raise ValueError(formatted("id %d: %s", key[0], error))


def _repeated_note(ids):
    if not ids:
        return []
    return ["actionID %s occurs more than once: actions with one ID are matched by their "
            "order among equals" % ", ".join("%d" % i for i in ids)]


# ---- merge ---------------------------------------------------------------------------------

def merge_actions(base, ours, theirs, prefer=None):
    """The three-way merge of two action sets ours and theirs made from base (iterables of
    Action): a change on one side is taken, the same change on both sides once, an action
    added or removed on one side follows that side, fields of one action changed on
    different sides combine, and where both sides moved an action, each kept its place
    relative to the others it passed. Where both changed one field differently, removed an
    action the other changed, or moved one action to different places, there is a Conflict;
    prefer ("ours" or "theirs") says which side wins it, else the result holds ours there
    and a caller must not take it as merged. Returns a Result. Given three WalkedSets, the
merge holds their indexes, not their actions, and the result's actions are made as they
are iterated."""
    _check_side("prefer", prefer)
    if all(isinstance(side, WalkedSet) for side in (base, ours, theirs)) and len(set(
            side.index.by_form for side in (base, ours, theirs))) == 1:
        return _merge_walked(base, ours, theirs, prefer)
    sets = [list(base), list(ours), list(theirs)]
    key_lists = [keys(actions) for actions in sets]
    maps = [dict(zip(k, actions)) for k, actions in zip(key_lists, sets)]
    conflicts = []
    merged = {}
    for key in _union(key_lists[1], key_lists[2], key_lists[0]):
        action = _merge_action(key, [m.get(key) for m in maps], prefer, conflicts)
        if action is not None:
            merged[key] = action
    order = _merge_order(key_lists, merged, prefer, conflicts)
    notes = _repeated_note(repeated_ids(*key_lists))
    return Result([merged[key] for key in order], conflicts, notes)


def _merge_walked(base, ours, theirs, prefer):
    """merge_actions on three WalkedSets, from their indexes: an action is made from its
    bytes only where the three versions of it differ (a field merge or a conflict), or
    where the result takes it from theirs or out of ours' order."""
    b, o, t = base.index, ours.index, theirs.index
    ours_base, _ = _match(b, o)        # per ours action its base one, or -1
    theirs_base, _ = _match(b, t)
    theirs_ours, _ = _match(o, t)      # per theirs action its ours one, or -1
    ours_theirs, _ = _match(t, o)
    merge = _WalkedMerge(b, o, t, prefer, ours_theirs)
    digests = [_bytes_of(index.digests) for index in (b, o, t)]
    merge.ours_source = bytearray(_native._merge_sources(
        _bytes_of(ours_base), _bytes_of(ours_theirs), digests[0], digests[1], digests[2], 1))
    merge.theirs_source = bytearray(_native._merge_sources(
        _bytes_of(theirs_base), _bytes_of(theirs_ours), digests[0], digests[2], digests[1], 0))
    for number in _undecided(merge.ours_source):
        merge.decide(OURS, number, ours_base[number], number, ours_theirs[number])
    for number in _undecided(merge.theirs_source):
        merge.decide(THEIRS, number, theirs_base[number], -1, number)
    chain = merge.order(ours_base, theirs_base, theirs_ours)
    notes = _repeated_note(sorted(set(
        index.ids[number] for index in (b, o, t)
        for number, occurrence in index.repeated.items() if occurrence == 1)))
    conflicts = [conflict for _, conflict in sorted(merge.conflicts, key=lambda item: item[0])]
    return Result(_MergedActions(merge, chain), conflicts, notes)


def _undecided(sources):
    """The numbers whose source is still to be decided (_WalkedMerge.UNDECIDED), in order."""
    at = sources.find(b"\x03")
    while at >= 0:
        yield at
        at = sources.find(b"\x03", at + 1)


class _WalkedMerge(object):
    """What a merge of three indexes takes for each action: per ours action (and per action
    only theirs has) where its merged version comes from, the conflicts with their place in
    the order merge_actions finds them, and the versions made by field merges. (An action
    only base has is merged away on both sides: nothing is decided for it.)"""

    NONE, FROM_OURS, FROM_THEIRS, MADE = 0, 1, 2, 4
    UNDECIDED = 3  # what the companion's _merge_sources leaves to decide()

    def __init__(self, base, ours, theirs, prefer, ours_theirs):
        self.indexes = (base, ours, theirs)
        self.prefer = prefer
        self.ours_theirs = ours_theirs  # per ours action its theirs one, or -1
        self.ours_source = bytearray(len(ours))
        self.theirs_source = bytearray(len(theirs))  # of the actions only theirs has
        self.made = _MadeActions()
        self.made_for = {}  # (OURS or THEIRS, number) -> number in made
        self.conflicts = []  # (place in merge_actions' order, Conflict)

    def _rank(self, side, number):
        """Where merge_actions meets the action: ours' in order, then theirs', then base's."""
        base, ours, theirs = self.indexes
        return number + (0 if side == OURS else len(ours))

    def decide(self, side, number, base_number, ours_number, theirs_number):
        """Decides the merged version of one action (its numbers in each set, -1 where a set
        lacks it), as _merge_action does with the versions compared by their digests."""
        base, ours, theirs = self.indexes
        digests = [index.digests[n] if n >= 0 else None for index, n in
                   zip(self.indexes, (base_number, ours_number, theirs_number))]
        if digests[1] == digests[2] or digests[2] == digests[0]:
            source = self.FROM_OURS if ours_number >= 0 else self.NONE
        elif digests[1] == digests[0]:
            source = self.FROM_THEIRS if theirs_number >= 0 else self.NONE
        else:
            versions = [index.action(n) if n >= 0 else None for index, n in
                        zip(self.indexes, (base_number, ours_number, theirs_number))]
            key = ours.key(ours_number) if ours_number >= 0 else theirs.key(theirs_number)
            found = []
            action = _merge_action(key, versions, self.prefer, found)
            self.conflicts.extend((self._rank(side, number), c) for c in found)
            if action is None:
                source = self.NONE
            elif action is versions[1]:
                source = self.FROM_OURS
            elif action is versions[2]:
                source = self.FROM_THEIRS
            else:
                self.made_for[(side, number)] = self.made.add(action)
                source = self.MADE
        if side == OURS:
            self.ours_source[number] = source
        else:
            self.theirs_source[number] = source

    def merged(self, node):
        """Whether the chain node (an ours number, or len(ours) + a theirs number) has a
        merged version."""
        ours_count = len(self.ours_source)
        if node < ours_count:
            return self.ours_source[node] != self.NONE
        return self.theirs_source[node - ours_count] != self.NONE

    def order(self, ours_base, theirs_base, theirs_ours):
        """The merged actions' order as a chain of nodes, as _merge_order makes it: ours'
        order, with the actions theirs moved or added placed behind the one they follow in
        theirs."""
        base, ours, theirs = self.indexes
        ours_count = len(ours)
        chain = _NodeChain(ours_count + len(theirs), self.ours_source)
        our_moves, their_moves = _moved(ours_base), _moved(theirs_base)
        after = -1  # the nearest node ahead in theirs that the merge keeps (-1: none)
        for index in range(len(theirs)):
            ours_number = theirs_ours[index]
            node = ours_number if ours_number >= 0 else ours_count + index
            if not self.merged(node):
                continue
            ahead, after = after, node
            if ours_number >= 0 and not their_moves[index]:
                continue
            if ours_number >= 0 and our_moves[ours_number] and \
                    self._ahead_in_ours(ours_number) != ahead:
                key = ours.key(ours_number)
                self.conflicts.append((len(base) + ours_count + len(theirs) + index, Conflict(
                    key, POSITION, ours_base[ours_number], ours_number, index)))
                if self.prefer != THEIRS:
                    continue
            chain.put_after(ahead, node)
        return chain

    def _ahead_in_ours(self, number):
        for before in range(number - 1, -1, -1):
            if self.ours_source[before] != self.NONE:
                return before
        return -1

    def action(self, node, ours_walk):
        """The merged version of the action at a chain node; ours_walk gives ours' own in
        order (or None where it is not the next)."""
        base, ours, theirs = self.indexes
        ours_count = len(ours)
        side, number = (OURS, node) if node < ours_count else (THEIRS, node - ours_count)
        source = self.ours_source[number] if side == OURS else self.theirs_source[number]
        if source == self.MADE:
            return self.made.get(self.made_for[(side, number)])
        if source == self.FROM_OURS:
            return ours_walk(number)
        if side == OURS:
            return theirs.action(self.ours_theirs[number])
        return theirs.action(number)


class _NodeChain(object):
    """_Chain over the numbers 0..count-1 in two arrays: a node is put behind another (-1:
    first) in constant time."""

    def __init__(self, count, first):
        """A chain of the nodes 0.. whose flag in first is not 0, in order."""
        self.end = end = count  # the node that stands for both ends
        self.next = following = array.array("i", [-2]) * (count + 1)  # -2: not in the chain
        self.previous = previous = array.array("i", [-2]) * (count + 1)
        last = end
        for node in range(len(first)):
            if first[node]:
                following[last], previous[node] = node, last
                last = node
        following[last], previous[end] = end, last

    def put_after(self, after, node):
        if self.next[node] != -2:  # taken from its place
            self.next[self.previous[node]] = self.next[node]
            self.previous[self.next[node]] = self.previous[node]
        after = self.end if after < 0 else after
        following = self.next[after]
        self.next[after], self.previous[node] = node, after
        self.next[node], self.previous[following] = following, node

    def __len__(self):
        return sum(1 for _ in self)

    def __iter__(self):
        node = self.next[self.end]
        while node != self.end:
            yield node
            node = self.next[node]


class _MergedActions(object):
    """The actions of a merge of WalkedSets in order, made one at a time each time it is
    iterated: ours' own from a walk of ours where they come in its order, the others from
    their bytes."""

    def __init__(self, merge, chain):
        self.merge, self.chain = merge, chain
        self.count = len(chain)

    def __len__(self):
        return self.count

    def __iter__(self):
        ours = self.merge.indexes[1]
        walk = iter(ours.actions()) if ours.listed is None else iter(ours.listed)
        walked = [-1]  # the number of the ours action the walk gave last

        def ours_action(number):
            if number <= walked[0]:
                return ours.action(number)
            for action in walk:
                walked[0] += 1
                if walked[0] == number:
                    return action
            raise ValueError("the set ended before its action #%d" % (number + 1))

        for node in self.chain:
            yield self.merge.action(node, ours_action)


def _union(*key_lists):
    seen, result = set(), []
    for found in key_lists:
        for key in found:
            if key not in seen:
                seen.add(key)
                result.append(key)
    return result


def _merge_action(key, versions, prefer, conflicts):
    base, ours, theirs = versions
    if ours == theirs:
        return ours
    if ours == base:
        return theirs
    if theirs == base:
        return ours
    if ours is None or theirs is None:  # removed on one side, changed on the other
        conflicts.append(Conflict(key, (), base.to_dict(), _form(ours), _form(theirs)))
        return theirs if prefer == THEIRS else ours
    flat = [leaves(v.to_dict()) if v is not None else {} for v in versions]
    result = {}
    for path in sorted(set(flat[0]) | set(flat[1]) | set(flat[2]), key=_path_order):
        b, o, t = [f.get(path) for f in flat]
        value = o if (o == t or t == b) else t if o == b else None
        if not (o == t or t == b or o == b):
            conflicts.append(Conflict(key, path, b, o, t))
            value = t if prefer == THEIRS else o
        if value is not None:
            result[path] = value
    try:
        return action_of(from_leaves(result), key)
    except ValueError:  # the sides' fields do not make one action: the preferred one whole
        return theirs if prefer == THEIRS else ours


def _form(action):
    return None if action is None else action.to_dict()


def _merge_order(key_lists, merged, prefer, conflicts):
    """The merged actions in order: ours' order, with the actions theirs moved or added
    placed behind the action they follow in theirs."""
    base_keys, our_keys, their_keys = key_lists
    order = _Chain(key for key in our_keys if key in merged)
    our_moves = moved_keys(base_keys, our_keys)
    their_moves = moved_keys(base_keys, their_keys)
    base_at, our_at = _positions(base_keys), _positions(our_keys)
    for index, key in enumerate(their_keys):
        if key not in merged or (key in order and key not in their_moves):
            continue
        after = _before(their_keys, index, merged)
        if key in our_moves and _before(our_keys, our_at[key], merged) != after:
            conflicts.append(Conflict(key, POSITION, base_at[key], our_at[key], index))
            if prefer != THEIRS:
                continue
        order.put_after(after, key)
    return list(order)


def _positions(key_list):
    return dict((key, number) for number, key in enumerate(key_list))


class _Chain(object):
    """Keys in an order where one is moved or put behind another in constant time."""

    _END = object()

    def __init__(self, keys):
        self.next, self.previous = {self._END: self._END}, {self._END: self._END}
        for key in keys:
            self.put_after(self.previous[self._END], key)

    def __contains__(self, key):
        return key in self.next

    def put_after(self, after, key):
        """Puts key (taken from its place if it has one) behind after (None: first)."""
        if key in self.next:
            self.next[self.previous[key]] = self.next[key]
            self.previous[self.next[key]] = self.previous[key]
        after = self._END if after is None else after
        following = self.next[after]
        self.next[after], self.previous[key] = key, after
        self.next[key], self.previous[following] = following, key

    def __iter__(self):
        key = self.next[self._END]
        while key is not self._END:
            yield key
            key = self.next[key]


def _before(key_list, index, merged):
    """The nearest key ahead of key_list[index] that the merge keeps, or None."""
    for key in reversed(key_list[:index]):
        if key in merged:
            return key
    return None


# ---- conflicts as a document to choose in ---------------------------------------------------

def conflict_document(base, ours, theirs, name=None):
    """The conflicts of a three-way merge as a document a person edits and then applies to
    ours: the patch that makes ours the merge (every change that merges cleanly, and each
    conflicting one as theirs has it), where every conflicting field or change carries
    "base", "ours" and "theirs" and "take": "ours or theirs" until a side is chosen. Applied
    by apply_patch (or `actiontool patch OURS THIS OUT`), "take": "theirs" makes the change,
    "ours" leaves it out; a value written into "new" is taken with "theirs". name: the file
    the document is about, kept in its "conflicts" member. Returns (the document as a dict,
    the Conflicts); no conflicts: (None, []). Given three WalkedSets, no set is held."""
    walked = all(isinstance(side, WalkedSet) for side in (base, ours, theirs)) and len(set(
        side.index.by_form for side in (base, ours, theirs))) == 1
    if not walked:
        base, ours, theirs = list(base), list(ours), list(theirs)
    taking_theirs = merge_actions(base, ours, theirs, prefer=THEIRS)
    if not taking_theirs.conflicts:
        return None, []
    if walked:  # the merge's actions are made as they are walked: walked once, not held
        with WalkedSet(lambda: iter(taking_theirs.actions)) as merged:
            document = diff_actions(ours, merged).to_dict()
    else:
        document = diff_actions(ours, taking_theirs.actions).to_dict()
    changes = dict(((c["actionID"], c["occurrence"], c["change"]), c)
                   for c in document["changes"])
    for conflict in taking_theirs.conflicts:
        key = (conflict.actionID, conflict.occurrence)
        _mark(changes, key, conflict)
    if name is not None:
        document["conflicts"] = name
    return document, taking_theirs.conflicts


def _mark(changes, key, conflict):
    """Puts the three values and the choice on the change (or field) a conflict is about."""
    sides = {"base": conflict.base, OURS: conflict.ours, THEIRS: conflict.theirs, TAKE: UNCHOSEN}
    sides = dict((k, v) for k, v in sides.items() if v is not None)
    changed = changes.get(key + (CHANGED,))
    if conflict.path not in ((), POSITION) and changed is not None:
        for field in changed["fields"]:
            if tuple(field["path"]) == conflict.path:
                field.update(sides)
                return
    for kind in ((MOVED,) if conflict.path == POSITION else (ADDED, REMOVED, CHANGED, MOVED)):
        change = changes.get(key + (kind,))
        if change is not None:
            change.update(sides)
            return

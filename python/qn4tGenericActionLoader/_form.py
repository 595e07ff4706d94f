"""The document form of whole actions: the dict that `Action.to_dict()` gives and
`Action.from_dict()` takes, which `actiontool export` writes and `import` reads as JSON.

An action is a dict of its header's fields by their own names, its texts with every byte, and
"details", a list of {"header": {"type"}, "body": {...}} with "stats" for a stat
modification. What a field counts is derived and left out: the text lengths, numDetails,
numStatMods, and a detail's "length" when it equals its body's size (it is kept where it
differs). A field left out takes 0 or the empty text. A text is a string when its bytes are
UTF-8 (a zero byte as \\u0000), otherwise {"hex": "..."}; so is the body of a detail of a type
this package has no record for. A document marks this form with the top-level member
"format": 2; a document without it is the earlier form, whose length and count fields are
authoritative (a shorter text is padded with zero bytes, with a note)."""

import binascii
import difflib
import itertools
import json
import math
import operator
import re
import sys

from _qn4tGenericActionSupport import FieldValueError
from qn4tGenericActionLoader._message import formatted, native
from qn4tGenericActionLayout import (BODY_ENTRIES, BODY_MEMBER, BODY_SIZES, DERIVED_COUNTS,
                                     DETAIL_BODIES, DETAIL_COUNT_FIELD,
                                     DETAIL_HEADER as _DETAIL_HEADER_RECORD, DETAIL_LENGTH_FIELD,
                                     DETAIL_TYPE_FIELD, DETAILS_MEMBER, HEAD_FIELDS, HEADER,
                                     HEADER_MEMBER, INTEGER_RANGES, LAYOUT, SPELL_ACTION_TYPE,
                                     STATS_MEMBER, TEXTS, TITLES, TRAILER_FIELDS, WIDTHS)

FORMAT = 2          # the value of the document's "format" member for this form
FORMAT_KEY = "format"
ACTIONS_KEY = "actions"
HEX = "hex"
DETAILS = DETAILS_MEMBER
DETAIL_HEADER = HEADER_MEMBER
BODY = BODY_MEMBER
STATS = STATS_MEMBER

try:
    _INTEGERS = (int, long)  # Python 2
    _TEXTS = (str, unicode)
except NameError:
    _INTEGERS = (int,)
    _TEXTS = (str,)

_KINDS = dict((name, dict(fields)) for name, _, fields in LAYOUT)
_ORDER = dict((name, tuple(field for field, _ in fields)) for name, _, fields in LAYOUT)
_LENGTH_OF = dict(TEXTS)                       # text -> the head field holding its length
_TEXT_NAMES = tuple(text for text, _ in TEXTS)
_DETAIL_COUNT = DETAIL_COUNT_FIELD
_DERIVED_HEAD = frozenset(DERIVED_COUNTS[HEADER])
_HEAD = tuple(name for name in HEAD_FIELDS if name not in _DERIVED_HEAD)
_CODE = [name for name in TRAILER_FIELDS if _KINDS[HEADER][name] == "chars"][0]
_TRAILER = tuple(name for name in TRAILER_FIELDS if name != _CODE)
_CODE_SIZE = WIDTHS[HEADER][_CODE]
_DETAIL_HEADER_FIELDS = _ORDER[_DETAIL_HEADER_RECORD]
_ENTRY_COUNT = dict((kind, count) for kind, (count, _) in BODY_ENTRIES.items())
_STAT_RECORD = [entry for _, entry in BODY_ENTRIES.values()][0]
_STAT_FIELDS = _ORDER[_STAT_RECORD]
_TYPE = DETAIL_TYPE_FIELD
_LENGTH = DETAIL_LENGTH_FIELD


def _highest(record, field):
    """The highest value the field holds."""
    return INTEGER_RANGES[_KINDS[record][field]][1]

# A UTF-16 surrogate in UTF-8's three-byte form, which UTF-8 does not have: Python 3 refuses
# it both ways, Python 2 takes it; both refuse it here so that both write and read alike.
_ENCODED_SURROGATE = re.compile(b"\xed[\xa0-\xbf]")


_DEFAULT_MOST_DIGITS = 4300  # Python 3's default limit for a decimal text made an integer


def most_digits():
    """The most digits of an integer that a document or table is read with, alike on both
    hosts: Python 3's own limit where one is set, else its default. No field holds half as
    many; a longer number is refused where it stands."""
    limit = getattr(sys, "get_int_max_str_digits", lambda: 0)()
    return limit if limit > 0 else _DEFAULT_MOST_DIGITS


class Problem(object):
    """One refused value: `path` inside the action ("details[0].body.die"), `message` (what is
    wrong, with the value and the allowed range) and `key`: the path's parts, to find the
    value in the JSON text."""

    def __init__(self, parts, message, cause=None):
        self.parts = tuple(parts)
        self.message = message
        self.cause = cause  # the setter's exception, where a setter refused the value

    @property
    def path(self):
        text = ""
        for part in self.parts:
            text += "[%d]" % part if isinstance(part, _INTEGERS) else (
                "." + part if text else part)
        return text

    def __str__(self):
        if self.parts:
            return formatted("%s: %s", self.path, self.message)
        return native(self.message)

    __repr__ = __str__


class FormError(ValueError):
    """A dict that is not an action in the document form: `problems` lists every refused
    value (a Problem each)."""

    def __init__(self, problems):
        ValueError.__init__(self, "; ".join(str(p) for p in problems))
        self.problems = problems


class FieldValueFormError(FormError, FieldValueError):
    """A dict among whose refused values is one its field cannot hold: caught as the
    FieldValueError that the record classes and the objects raise for the same value."""



def _describe(value):
    try:
        text = json.dumps(value, ensure_ascii=False, sort_keys=True)
    except (TypeError, ValueError, RuntimeError):
        try:
            text = repr(value)
        except (ValueError, RuntimeError):  # nested too deeply even for repr
            text = "a value nested too deeply to be shown"
    return text if len(text) <= 40 else text[:37] + "..."


def nearest(name, names):
    """The known name closest to a misspelt one, or None."""
    found = difflib.get_close_matches(name if isinstance(name, _TEXTS) else str(name),
                                      list(names), 1, 0.6)
    return found[0] if found else None


# ---- bytes and texts ----------------------------------------------------------------------

def as_bytes(value):
    """A text attribute's bytes: Python 3 gives str over the bytes (surrogateescape)."""
    if isinstance(value, bytes):
        return value
    return value.encode("utf-8", "surrogateescape")


def text_form(data):
    """Bytes as the form writes a text: a string when they are UTF-8, else {"hex": "..."}."""
    if b"\xed" not in data or not _ENCODED_SURROGATE.search(data):
        try:
            return data.decode("utf-8")
        except UnicodeDecodeError:
            pass
    return {HEX: binascii.hexlify(data).decode("ascii")}


def code_form(code):
    """The four spell-code bytes: the text without its trailing zero bytes, or hex of all four
    when that text is not UTF-8."""
    value = text_form(code.rstrip(b"\0"))
    return {HEX: binascii.hexlify(code).decode("ascii")} if isinstance(value, dict) else value


class _Refused(Exception):
    pass


def form_bytes(value):
    """The bytes of a text in the form: a string (UTF-8) or {"hex": "..."}. Raises _Refused
    with what is wrong."""
    if isinstance(value, _TEXTS) and not isinstance(value, bytes):
        try:
            data = value.encode("utf-8")
        except UnicodeEncodeError:
            data = None
        if data is None or b"\xed" in data and _ENCODED_SURROGATE.search(data):
            raise _Refused("the string has no UTF-8 form (a lone surrogate such as \\ud800)")
        return data
    if isinstance(value, bytes):  # a Python 2 str, or bytes given to from_dict directly
        return value
    if isinstance(value, dict) and list(value) == [HEX] and isinstance(value[HEX], _TEXTS):
        digits = value[HEX]
        try:
            return binascii.unhexlify(digits.encode("ascii"))
        except (ValueError, TypeError, UnicodeError, binascii.Error):
            raise _Refused("%s is not bytes in hex (an even number of digits 0-9, a-f)"
                           % _describe(digits))
    raise _Refused('expected a string or {"hex": "..."}, found %s' % _describe(value))


def has_utf8_form(text):
    """True when a string has a UTF-8 form, alike on both hosts (Python 2 alone would encode
    a lone surrogate such as \ud800)."""
    try:
        form_bytes(text)
    except _Refused:
        return False
    return True


# ---- objects to the form ------------------------------------------------------------------

def entries_as_they_are(stats):
    """For action_to_dict: a detail's stat entries left as the sequence the body holds, for a
    caller that walks them one at a time (action_json_pieces) instead of a dict each."""
    return stats


def action_to_dict(action, entries=None):
    """The action's dict. entries: what a detail's "stats" holds, made of its body's stat
    sequence; by default a list of one dict per entry."""
    result = {}
    for name in _HEAD:
        result[name] = getattr(action, name)
    for name in _TEXT_NAMES:
        result[name] = text_form(as_bytes(getattr(action, name)))
    if action.actionType == SPELL_ACTION_TYPE:
        result[_CODE] = code_form(as_bytes(getattr(action, _CODE)).ljust(_CODE_SIZE, b"\0"))
        for name in _TRAILER:
            result[name] = getattr(action, name)
    result[DETAILS] = [detail_to_dict(detail, entries) for detail in action.details]
    return result


def body_size(detail):
    """The bytes a detail's body takes in the file: its record and stat entries for a known
    type, its bytes for an unknown one. A detail's length equal to it is derived."""
    body = detail.body
    if isinstance(body, bytes):
        return len(body)
    has_entries = _ENTRY_COUNT.get(DETAIL_BODIES[detail.type])
    return _body_size(detail.type, len(body.stats) if has_entries else 0)


def _body_size(type_number, stats):
    """The bytes of a body of a known type followed by `stats` entries."""
    record, entry = BODY_SIZES[type_number]
    return record + entry * stats


def detail_to_dict(detail, entries=None):
    body = detail.body
    header = {_TYPE: detail.type}
    result = {DETAIL_HEADER: header}
    if isinstance(body, bytes):
        result[BODY] = {HEX: binascii.hexlify(body).decode("ascii")}
        size = len(body)
    else:
        record = DETAIL_BODIES[detail.type]
        count = _ENTRY_COUNT.get(record)
        result[BODY] = dict((name, getattr(body, name)) for name in _ORDER[record]
                            if name != count)
        stats = body.stats if count else ()
        if count:
            result[STATS] = entries(stats) if entries else [
                dict((name, getattr(entry, name)) for name in _STAT_FIELDS) for entry in stats]
        size = _body_size(detail.type, len(stats))
    if detail.length != size:
        header[_LENGTH] = detail.length
    return result


# ---- the form to objects ------------------------------------------------------------------

class _Collector(object):
    """Gathers the problems of one action."""

    def __init__(self):
        self.problems = []
        self.notes = []

    def refuse(self, parts, message, cause=None):
        self.problems.append(Problem(parts, message, cause))

    def note(self, parts, message):
        self.notes.append(Problem(parts, message))

    def set_text(self, obj, name, value, parts):
        """Stores a text through the object's own setter, which checks its size."""
        try:
            setattr(obj, name, value)
        except (ValueError, OverflowError, TypeError) as error:
            self.refuse(parts, _setter_reason(error), error)

    def set(self, obj, name, value, parts):
        """Stores a value through the object's own setter, which checks its range."""
        if not isinstance(value, _INTEGERS) or isinstance(value, bool):
            self.refuse(parts, _not_an_integer(value))
            return
        try:
            setattr(obj, name, value)
        except (ValueError, OverflowError, TypeError) as error:
            self.refuse(parts, _setter_reason(error), error)

    def obj(self, value, parts, what="a JSON object"):
        if isinstance(value, dict):
            return value
        self.refuse(parts, "expected %s, found %s" % (what, _describe(value)))
        return None

    def unknown(self, values, known, parts, hint=None):
        for key in sorted(k for k in values if k not in known):
            message = "unknown field"
            if hint and key in hint:
                message = hint[key]
            else:
                near = nearest(key, known)
                if near:
                    message += " (did you mean %s?)" % near
            self.refuse(tuple(parts) + (key,), message)


def _not_an_integer(value):
    """The refusal of a value given for an integer field, saying so of a fraction (6.5 from a
    spreadsheet's cell), which a field of whole numbers cannot hold."""
    words = "expected an integer, found %s" % _describe(value)
    if isinstance(value, float) and not (math.isinf(value) or math.isnan(value)) \
            and not value.is_integer():
        words += ", a number with a fraction (the field holds whole numbers)"
    return words


def _setter_reason(error):
    """The setter's message without the "Class.field: " it starts with."""
    text = str(error)
    head, _, rest = text.partition(": ")
    return rest if rest and "." in head and " " not in head else text


def action_from_dict(classes, values, earlier_form=False):
    """(the Action, notes) from one action's dict; raises FormError listing every problem.
    earlier_form: the form written before the format member, whose lengths and counts are
    authoritative."""
    c = _Collector()
    action = _action(classes, values, c, earlier_form)
    if c.problems:
        if any(isinstance(p.cause, FieldValueError) for p in c.problems):
            raise FieldValueFormError(c.problems)
        raise FormError(c.problems)
    return action, c.notes


_SPELL_ONLY = dict((name, "only an action of actionType %d (a spell) carries %s"
                    % (SPELL_ACTION_TYPE, name)) for name in TRAILER_FIELDS)


def _action(classes, values, c, earlier):
    Action = classes["Action"]
    if c.obj(values, ()) is None:
        return None
    action = Action()
    spell_type = values.get("actionType", 0)
    spell = spell_type == SPELL_ACTION_TYPE and not isinstance(spell_type, bool)
    known = set(_HEAD) | set(_TEXT_NAMES) | set([DETAILS]) | set(_DERIVED_HEAD)
    if spell:
        known |= set(TRAILER_FIELDS)
    c.unknown(values, known, (), None if spell else _SPELL_ONLY)
    for name in _HEAD:
        if name in values:
            c.set(action, name, values[name], (name,))
    for name in _TEXT_NAMES:
        data = b""
        if name in values:
            try:
                data = form_bytes(values[name])
            except _Refused as refused:
                c.refuse((name,), str(refused))
                continue
        length_name = _LENGTH_OF[name]
        if length_name in values:
            data = _given_length(c, values[length_name], data, name, length_name, earlier)
        try:
            setattr(action, name, data)
        except (ValueError, OverflowError, TypeError) as error:
            c.refuse((name,), _setter_reason(error), error)
    if spell:
        _trailer(action, values, c)
    details = values.get(DETAILS, [])
    if not isinstance(details, list):
        c.refuse((DETAILS,), "expected a JSON list, found %s" % _describe(details))
        details = []
    if _DETAIL_COUNT in values:
        _given_count(c, values[_DETAIL_COUNT], len(details), (_DETAIL_COUNT,), "details")
    most = _highest(HEADER, _DETAIL_COUNT)
    if len(details) > most:
        c.refuse((DETAILS,), "%d details, more than %s holds (0 to %d)"
                 % (len(details), _DETAIL_COUNT, most))
        details = details[:most]
    made = [_detail(classes, d, c, (DETAILS, i)) for i, d in enumerate(details)]
    try:
        action.details = [d for d in made if d is not None]
    except (ValueError, OverflowError, TypeError) as error:
        c.refuse((DETAILS,), _setter_reason(error), error)
    return action


def _given_length(c, length, data, name, length_name, earlier):
    """A length field given beside its text: in the earlier form it is authoritative (a
    shorter text is padded, with a note); in this form it must agree."""
    parts = (length_name,)
    if not isinstance(length, _INTEGERS) or isinstance(length, bool):
        c.refuse(parts, "expected an integer, found %s" % _describe(length))
        return data
    if length == len(data):
        return data
    if earlier and length > len(data):
        c.note((name,), "%s is %d, the text has %d bytes: padded with %d zero bytes"
               % (length_name, length, len(data), length - len(data)))
        return data + b"\0" * (length - len(data))
    if earlier:
        c.refuse((name,), "the text has %d bytes, more than %s says (%d)"
                 % (len(data), length_name, length))
    else:
        c.refuse(parts, "%d disagrees with %s, which has %d bytes (leave %s out: it follows "
                 "the text)" % (length, name, len(data), length_name))
    return data


def _given_count(c, count, actual, parts, what):
    if not isinstance(count, _INTEGERS) or isinstance(count, bool):
        c.refuse(parts, "expected an integer, found %s" % _describe(count))
    elif count != actual:
        c.refuse(parts, "%d but %d %s follow (leave %s out: it follows the list)"
                 % (count, actual, what, parts[-1]))


def _trailer(action, values, c):
    if _CODE in values:
        value = values[_CODE]
        try:
            code = form_bytes(value)
        except _Refused as refused:
            c.refuse((_CODE,), str(refused))
        else:
            if isinstance(value, dict) and len(code) != _CODE_SIZE:
                c.refuse((_CODE,), "a spell code in hex has exactly %d bytes, found %d"
                         % (_CODE_SIZE, len(code)))
            else:  # the setter refuses a code longer than the field, as everywhere
                c.set_text(action, _CODE, code.ljust(_CODE_SIZE, b"\0"), (_CODE,))
    for name in _TRAILER:
        if name in values:
            c.set(action, name, values[name], (name,))


def _detail(classes, values, c, parts):
    if c.obj(values, parts) is None:
        return None
    c.unknown(values, (DETAIL_HEADER, BODY, STATS), parts)
    header = c.obj(values.get(DETAIL_HEADER, {}), parts + (DETAIL_HEADER,))
    if header is None:
        return None
    c.unknown(header, _DETAIL_HEADER_FIELDS, parts + (DETAIL_HEADER,))
    type_number = header.get(_TYPE, 0)
    type_parts = parts + (DETAIL_HEADER, _TYPE)
    low, high = INTEGER_RANGES[_KINDS[_DETAIL_HEADER_RECORD][_TYPE]][:2]
    if not isinstance(type_number, _INTEGERS) or isinstance(type_number, bool):
        c.refuse(type_parts, "expected an integer, found %s" % _describe(type_number))
        return None
    if not low <= type_number <= high:  # the header's own setter words the refusal
        c.set(classes["Detail"](), _TYPE, type_number, type_parts)
        return None
    record = DETAIL_BODIES.get(type_number)
    body_values = values.get(BODY, {})
    body_parts = parts + (BODY,)
    if record is None:
        if STATS in values:
            c.refuse(parts + (STATS,), "only a stat modification (type 2) has stat entries")
        try:
            body = form_bytes(body_values) if body_values != {} else b""
        except _Refused as refused:
            if _TYPE not in header and _bodies_with(body_values):
                c.refuse(parts + (DETAIL_HEADER,), _missing_type(body_values))
            else:
                c.refuse(body_parts, "a detail of type %d (no record of its own) carries its "
                         "body as bytes: %s" % (type_number, refused))
            return None
    else:
        body = _body(classes, record, body_values, values, c, parts)
        if body is None:
            return None
    detail = classes["Detail"](type=type_number, body=body)
    if not isinstance(body, bytes):
        size = _body_size(type_number, len(body.stats) if _ENTRY_COUNT.get(record) else 0)
    length_parts = parts + (DETAIL_HEADER, _LENGTH)
    if _LENGTH in header:
        length = header[_LENGTH]
        if isinstance(body, bytes) and length != len(body):
            c.refuse(length_parts, "%s disagrees with the body's %d bytes "
                     "(a detail of an unknown type is as long as its body)"
                     % (_describe(length), len(body)))
        else:
            c.set(detail, _LENGTH, length, length_parts)
    elif not isinstance(body, bytes):
        most = _highest(_DETAIL_HEADER_RECORD, _LENGTH)
        if size > most:
            c.refuse(length_parts, "the body's %d bytes are more than %s holds (0 to %d): give "
                     "%s" % (size, _LENGTH, most, _LENGTH))
    return detail


_TYPE_OF = dict((record, number) for number, record in DETAIL_BODIES.items())


def _bodies_with(body_values):
    """The type numbers of the bodies that have every member of body_values, for a detail
    that names no type; [] when body_values is no dict of field names."""
    if not isinstance(body_values, dict) or not body_values or HEX in body_values:
        return []
    return sorted(number for number, record in DETAIL_BODIES.items()
                  if set(body_values) <= set(_ORDER[record]))


def _missing_type(body_values):
    """The refusal of a detail that gives a body's fields but no type."""
    return "the detail has no type (a detail without one is of type 0, whose body is bytes): " \
        "add %s" % " or ".join('"header": {"type": %d} for %s' % (
            number, TITLES[DETAIL_BODIES[number]]) for number in _bodies_with(body_values))


def _other_bodies(record):
    """For the unknown-field refusals of a body: each field of another kind of body that
    this one lacks -> the words naming where it belongs."""
    hints = {}
    for number, other in sorted(DETAIL_BODIES.items()):
        for name in _ORDER[other]:
            if name not in _ORDER[record] and name not in hints:
                hints[name] = "unknown field: %s is a field of a %s body (type %d); this " \
                    "detail is of type %d (%s)" % (name, TITLES[other], number,
                                                    _TYPE_OF[record], TITLES[record])
    return hints


def _body(classes, record, values, detail_values, c, parts):
    body_parts = parts + (BODY,)
    if c.obj(values, body_parts) is None:
        return None
    count_name = _ENTRY_COUNT.get(record)
    fields = _ORDER[record]
    c.unknown(values, fields, body_parts, _OTHER_BODIES[record])
    body = classes[record]()
    for name in fields:
        if name in values and name != count_name:
            c.set(body, name, values[name], body_parts + (name,))
    if count_name is None:
        if STATS in detail_values:
            c.refuse(parts + (STATS,), "only a stat modification (type 2) has stat entries")
        return body
    stats = detail_values.get(STATS, [])
    if not isinstance(stats, list):
        c.refuse(parts + (STATS,), "expected a JSON list, found %s" % _describe(stats))
        stats = []
    if count_name in values:
        _given_count(c, values[count_name], len(stats), body_parts + (count_name,),
                     "stat entries")
    made = []
    for number, entry in enumerate(stats):
        entry_parts = parts + (STATS, number)
        if c.obj(entry, entry_parts) is None:
            continue
        c.unknown(entry, _STAT_FIELDS, entry_parts)
        stat = classes[_STAT_RECORD]()
        for name in _STAT_FIELDS:
            if name in entry:
                c.set(stat, name, entry[name], entry_parts + (name,))
        made.append(stat)
    body.stats = made
    return body


# ---- the form as JSON text ----------------------------------------------------------------

# A string as JSON with escapes only where JSON needs them (quote, backslash, control
# characters), alike on both hosts.
_json_string = json.encoder.encode_basestring


def _scalar(value):
    if type(value) is int or isinstance(value, _INTEGERS) and not isinstance(value, bool):
        return "%d" % value
    if isinstance(value, dict):  # {"hex": "..."}
        return _record(value, sorted(value))
    return _json_string(value)


_FORMATS = {}


def _integers_format(order):
    """'{"a": %d, "b": %d}' for the keys of order, made once."""
    found = _FORMATS.get(order)
    if found is None:
        found = _FORMATS[order] = "{" + ", ".join('"%s": %%d' % k for k in order) + "}"
    return found


def _record(values, order):
    """A flat object on one line, its members in `order` first, any others after them."""
    if len(values) == len(order):  # most records: integers under every name of the order
        try:
            numbers = tuple([values[k] for k in order])
            if bool not in map(type, numbers):
                return _integers_format(order) % numbers
        except (KeyError, TypeError):
            pass
    keys = [k for k in order if k in values] + sorted(k for k in values if k not in order)
    return "{" + ", ".join("%s: %s" % (_json_string(k), _scalar(values[k])) for k in keys) + "}"


def _spacing(indent, depth):
    """(between two parts, before the first, after the last) of a list or object whose parts
    go one per line at the given depth; on one line without indent."""
    if indent is None:
        return ", ", "", ""
    pad = "\n" + " " * (indent * depth)
    return "," + pad, pad, "\n" + " " * (indent * (depth - 1))


def _lines(items, indent, depth):
    """The text pieces of a list or object whose parts (each given as its text pieces) go one
    per line at the given depth; nothing is joined beyond a part's own pieces."""
    separator, first, last = _spacing(indent, depth)
    yield first
    for number, pieces in enumerate(items):
        if number:
            yield separator
        for piece in pieces:
            yield piece
    yield last


_BODY_ORDER = dict((record, tuple(f for f in _ORDER[record] if f != _ENTRY_COUNT.get(record)))
                   for record in DETAIL_BODIES.values())
_ACTION_ORDER = _HEAD + _TEXT_NAMES + TRAILER_FIELDS + tuple(_DERIVED_HEAD)
_ENTRIES_PER_PIECE = 4096  # stat entries joined into one text piece
_STAT_FORMAT = _integers_format(_STAT_FIELDS)
_stat_numbers = operator.attrgetter(*_STAT_FIELDS)


def _entry_texts(stats):
    """Each stat entry's text, one at a time: an entry given as a dict as any record, one
    given as an object (entries_as_they_are) by its fields, without a dict of its own."""
    for entry in stats:
        if isinstance(entry, dict):
            yield _record(entry, _STAT_FIELDS)
        else:
            yield _STAT_FORMAT % _stat_numbers(entry)


def _entry_pieces(stats, indent, depth):
    """The entries of a "stats" list a few thousand to a piece, each piece made when it is
    asked for: the entries are walked once, never held."""
    separator, first, last = _spacing(indent, depth)
    texts = _entry_texts(stats)
    yield first
    piece = list(itertools.islice(texts, _ENTRIES_PER_PIECE))
    while piece:
        yield separator.join(piece)
        piece = list(itertools.islice(texts, _ENTRIES_PER_PIECE))
        if piece:
            yield separator
    yield last


def _stats_member(stats, indent, depth):
    yield '"%s": [' % STATS
    if len(stats):
        for piece in _entry_pieces(stats, indent, depth):
            yield piece
    yield "]"


def _detail_pieces(detail, indent, depth):
    record = DETAIL_BODIES.get(detail.get(DETAIL_HEADER, {}).get("type")) if isinstance(
        detail.get(DETAIL_HEADER), dict) else None
    header = detail[DETAIL_HEADER]
    parts = [('"%s": %s' % (DETAIL_HEADER, _record(header, _DETAIL_HEADER_FIELDS[:len(header)])),)]
    body = detail.get(BODY, {})
    parts.append(('"%s": %s' % (BODY, _record(body, _BODY_ORDER.get(record, ()))),))
    if STATS in detail:
        parts.append(_stats_member(detail[STATS], indent, depth + 2))
    yield "{"
    for piece in _lines(parts, indent, depth + 1):
        yield piece
    yield "}"


def _details_member(details, indent, depth):
    yield '"%s": [' % DETAILS
    if details:
        for piece in _lines((_detail_pieces(d, indent, depth) for d in details), indent, depth):
            yield piece
    yield "]"


def action_json_pieces(values, indent=None, depth=1):
    """The JSON text (unicode) of one action's dict, piece by piece: members in the records'
    field order, characters as they are (escapes only where JSON needs them), the same text
    on both hosts. indent: None for one line, or spaces per level (records stay on one line).
    A detail's "stats" may be any sequence of entries (entries_as_they_are): they are walked
    as the pieces are asked for, so that a detail of millions of entries is never held as
    text or as a dict each."""
    parts = [("%s: %s" % (_json_string(k), _scalar(values[k])),)
             for k in _ACTION_ORDER if k in values]
    parts.append(_details_member(values.get(DETAILS, ()), indent, depth + 2))
    yield "{"
    for piece in _lines(parts, indent, depth + 1):
        yield piece
    yield "}"


def document_start(schema=None):
    """The document's text up to its list of actions; schema: a URI that the "$schema"
    member names first, for editors (left out by default: the bytes stay those of earlier
    exports)."""
    named = '"$schema": %s, ' % _json_string(schema) if schema is not None else ""
    return '{%s"%s": %d, "%s": [' % (named, FORMAT_KEY, FORMAT, ACTIONS_KEY)


_OTHER_BODIES = dict((record, _other_bodies(record)) for record in DETAIL_BODIES.values())

"""The JSON form of the records: how texts and spell codes carry every byte, and the checks
that refuse a value the file cannot hold. Errors name the action and the field."""
from __future__ import print_function, division

import binascii
import json
import re


try:
    INTEGER_TYPES = (int, long)  # Python 2
    TEXT_TYPE = unicode
except NameError:
    INTEGER_TYPES = (int,)
    TEXT_TYPE = str

HEX_KEY = "hex"

# A UTF-16 surrogate (U+D800 to U+DFFF) in UTF-8's three-byte form. UTF-8 has no such form:
# Python 3 refuses it both ways, Python 2 would decode and encode it. Both hosts refuse it
# here, so that a JSON file written on one imports on the other.
_ENCODED_SURROGATE = re.compile(b"\xed[\xa0-\xbf]")


# Printable ASCII other than the quote and the backslash: the JSON string is the text itself.
_PLAIN_ASCII = re.compile(b'[ !#-\\[\\]-~]*\\Z')


class BadInput(Exception):
    """A JSON value the tool refuses; the message names the action and the field."""


# ---- bytes to JSON -------------------------------------------------------------------------

def utf8_text(data):
    """The bytes decoded as UTF-8, or None when they are not UTF-8 (as Python 3 defines it,
    on both hosts)."""
    if b"\xed" in data and _ENCODED_SURROGATE.search(data):
        return None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return None


def text_json(data):
    """A text's bytes (up to its first zero byte) as JSON: a string when they are UTF-8,
    otherwise {"hex": "..."}."""
    if _PLAIN_ASCII.match(data):  # most texts: json.dumps would only add the quotes
        return '"%s"' % data.decode("ascii")
    text = utf8_text(data)
    return hex_json(data) if text is None else json.dumps(text)


def hex_json(data):
    return '{"%s": "%s"}' % (HEX_KEY, binascii.hexlify(data).decode("ascii"))


def spell_code_json(code):
    """The four spell-code bytes of the file as JSON: a string when they are a UTF-8 text
    padded with zero bytes (what the module's setter makes of that text), otherwise
    {"hex": "<8 hex digits>"} with every byte."""
    data = code.split(b"\0", 1)[0]
    text = utf8_text(data) if code == data.ljust(len(code), b"\0") else None
    return hex_json(code) if text is None else json.dumps(text)


# ---- JSON to values, refusing what the file cannot hold -----------------------------------

class Where(object):
    """Names a JSON value in error messages: "actions[2] (actionID 1003): details[0].body.die".
    Built only when an error is reported."""

    def __init__(self, index, action):
        self.index = index
        self.action = action

    def __call__(self, path):
        action_id = self.action.get("actionID") if isinstance(self.action, dict) else None
        label = "actions[%d]" % self.index
        if isinstance(action_id, INTEGER_TYPES) and not isinstance(action_id, bool):
            label += " (actionID %d)" % action_id
        return "%s: %s" % (label, path) if path else label


def describe(value):
    try:
        text = json.dumps(value)
    except RuntimeError:  # nested too deeply to write out again (RecursionError)
        return "a deeply nested value"
    return text if len(text) <= 40 else text[:37] + "..."


def require_object(value, where, path):
    if not isinstance(value, dict):
        raise BadInput("%s: expected a JSON object, found %s" % (where(path), describe(value)))
    return value


def require_list(value, where, path):
    if not isinstance(value, list):
        raise BadInput("%s: expected a JSON list, found %s" % (where(path), describe(value)))
    return value


def member(obj, key, where, prefix):
    try:
        return obj[key]
    except KeyError:
        raise BadInput("%s: missing" % where(prefix + key))


def refuse_unknown_keys(obj, known, where, prefix):
    """known: a frozenset of the keys the object may have."""
    if not known.issuperset(obj):
        unknown = sorted(key for key in obj if key not in known)
        raise BadInput("%s: unknown field" % where(prefix + unknown[0]))


def integer(obj, key, kind, where, prefix=""):
    """The member as an integer within the range of its field kind (an IntegerKind)."""
    try:
        value = obj[key]
    except KeyError:
        raise BadInput("%s: missing" % where(prefix + key))
    if type(value) in INTEGER_TYPES:  # exactly: a JSON true or false is a bool, refused
        if kind.low <= value <= kind.high:
            return value
        raise BadInput("%s: %d is out of range for a %s field (%d to %d)"
                       % (where(prefix + key), value, kind.title, kind.low, kind.high))
    raise BadInput("%s: expected an integer, found %s" % (where(prefix + key), describe(value)))


def integers(obj, shape, where, prefix=""):
    """The members named after a RecordShape's integer fields, each within its field's range,
    in the shape's order."""
    try:
        numbers = [obj[name] for name in shape.names]
    except KeyError:
        numbers = ()
    if len(numbers) == len(shape.names):
        for number, (low, high) in zip(numbers, shape.ranges):
            if type(number) not in INTEGER_TYPES or not low <= number <= high:
                break
        else:
            return numbers
    # Something is wrong: take the fields one by one to name the first bad one.
    return [integer(obj, name, kind, where, prefix) for name, kind in shape.integer_fields]


def json_bytes(value, where, path):
    """The bytes of a JSON text form: a string (UTF-8) or {"hex": "..."}."""
    if isinstance(value, TEXT_TYPE):
        try:
            data = value.encode("utf-8")
        except UnicodeEncodeError:  # a lone surrogate such as "\ud800", on Python 3
            data = None
        if data is None or b"\xed" in data and _ENCODED_SURROGATE.search(data):
            raise BadInput("%s: the string has no UTF-8 form (a lone surrogate such as "
                           "\\ud800)" % where(path))
        return data
    if isinstance(value, dict) and list(value) == [HEX_KEY] and isinstance(value[HEX_KEY],
                                                                             TEXT_TYPE):
        try:
            return binascii.unhexlify(value[HEX_KEY].encode("ascii"))
        except (ValueError, TypeError, UnicodeEncodeError, binascii.Error):
            pass
        raise BadInput('%s: "%s" is not an even number of hex digits'
                       % (where(path), describe(value[HEX_KEY])))
    raise BadInput('%s: expected a string or {"hex": "..."}, found %s'
                   % (where(path), describe(value)))


def text(obj, key, length, where):
    """A text's bytes, checked against its length field: the file holds `length` bytes, the
    text's own and then zero bytes of padding."""
    data = json_bytes(member(obj, key, where, ""), where, key)
    if b"\0" in data:
        raise BadInput("%s: a text holds no zero byte (zero padding comes from its length "
                       "field)" % where(key))
    if len(data) > length:
        raise BadInput("%s: the text has %d bytes, more than its length field says (%d)"
                       % (where(key), len(data), length))
    return data


def spell_code(obj, key, size, where):
    """The `size` (four) bytes of a spell code: a string of at most four bytes padded with zero
    bytes, or exactly four bytes in hex."""
    value = member(obj, key, where, "")
    data = json_bytes(value, where, key)
    if isinstance(value, dict):
        if len(data) != size:
            raise BadInput("%s: a spell code in hex has exactly %d bytes, found %d"
                           % (where(key), size, len(data)))
        return data
    if b"\0" in data or len(data) > size:
        raise BadInput('%s: a spell code string has at most %d bytes and no zero byte (use '
                       '{"hex": "..."} for other codes)' % (where(key), size))
    return data.ljust(size, b"\0")

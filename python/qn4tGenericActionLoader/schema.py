"""A JSON Schema of the document form (draft 7, which editors widely follow), made from the
record layout: every field with its type and range, the texts with their limits, the spell
fields only on a spell, and each detail's body by its header's type. An editor given it
completes field names, shows ranges and marks a wrong type while the document is typed.

The schema accepts what the import accepts, with two differences that JSON Schema cannot
say: a text's limit counts bytes (maxLength counts characters, so a text of many-byte
characters passes the schema and is refused by the import), and JSON Schema counts 6.0 as
an integer, which the import refuses. Everything the schema refuses, the import refuses at
the same place."""

import json

from qn4tGenericActionLayout import (BODY_ENTRIES, DETAIL_BODIES, DETAIL_COUNT_FIELD,
                                     DETAIL_HEADER, DETAIL_LENGTH_FIELD, DETAIL_TYPE_FIELD,
                                     HEAD_FIELDS, HEADER, INTEGER_RANGES, LAYOUT,
                                     SPELL_ACTION_TYPE, TEXTS, TITLES, TRAILER_FIELDS, WIDTHS)
from qn4tGenericActionLoader import _form

DRAFT = "http://json-schema.org/draft-07/schema#"
REFERENCE_KEY = "$schema"  # the member a document names its schema by, as editors follow

_KINDS = dict((name, dict(fields)) for name, _, fields in LAYOUT)
_ORDER = dict((name, tuple(field for field, _ in fields)) for name, _, fields in LAYOUT)
_TEXT_LENGTH = dict(TEXTS)
_ENTRY_COUNT = dict((record, count) for record, (count, _) in BODY_ENTRIES.items())


def _range(kind):
    return INTEGER_RANGES[kind][:2]


def _words(kind):
    return "%s, %d to %d" % (INTEGER_RANGES[kind][2], INTEGER_RANGES[kind][0],
                             INTEGER_RANGES[kind][1])


def _integer(record, field, names):
    """The schema of an integer field; with names, its named codes as choices that editors
    offer (a code with no name stays valid)."""
    kind = _KINDS[record][field]
    low, high = _range(kind)
    schema = {"type": "integer", "minimum": low, "maximum": high,
              "description": "%s: %s" % (field, _words(kind))}
    codes = names.get("codes", {}).get(field)
    bits = names.get("bits", {}).get(field)
    if codes:
        named = sorted((int(code), name) for code, name in codes.items())
        schema["description"] += "; " + ", ".join("%d %s" % pair for pair in named)
        by_name = {"enum": sorted(set(name for _, name in named)),
                   "description": "%s by its name (import --names)" % field}
        schema = {"anyOf": [{"const": code, "title": name} for code, name in named] +
                  [by_name, schema], "description": schema["description"]}
    elif bits:
        named = sorted((int(bit), name) for bit, name in bits.items())
        schema["description"] += "; bits: " + ", ".join("%d %s" % pair for pair in named)
    return schema


def _derived(record, field, what):
    """A field that follows what it counts: left out by export, taken when it agrees."""
    kind = _KINDS[record][field]
    low, high = _range(kind)
    return {"type": "integer", "minimum": low, "maximum": high,
            "description": "%s: follows %s; leave it out" % (field, what)}


def _text(limit, what):
    """A text: a string (UTF-8), or {"hex": "..."} for bytes that are not UTF-8."""
    return {"description": "%s: at most %d bytes; a string, or {\"hex\": \"...\"} for bytes "
                           "that are not UTF-8" % (what, limit),
            "anyOf": [{"type": "string", "maxLength": limit}, _hex(0, limit)]}


def _hex(least, most):
    return {"type": "object", "properties": {_form.HEX: {
        "type": "string", "pattern": "^([0-9a-fA-F]{2})*$",
        "minLength": 2 * least, "maxLength": 2 * most}},
        "required": [_form.HEX], "additionalProperties": False}


def _record(record, names, skip=()):
    properties = dict((field, _integer(record, field, names)) for field in _ORDER[record]
                      if field not in skip)
    return {"type": "object", "title": TITLES[record], "properties": properties,
            "additionalProperties": False}


def _action(names):
    properties = {}
    for field in HEAD_FIELDS:
        if field in _TEXT_LENGTH.values():
            text = [t for t, length in TEXTS if length == field][0]
            properties[field] = _derived(HEADER, field, "the bytes of %s" % text)
        elif field == DETAIL_COUNT_FIELD:
            properties[field] = _derived(HEADER, field, "the details listed")
        else:
            properties[field] = _integer(HEADER, field, names)
    for text, length in TEXTS:
        properties[text] = _text(_range(_KINDS[HEADER][length])[1], text)
    code = [field for field in TRAILER_FIELDS if _KINDS[HEADER][field] == "chars"][0]
    for field in TRAILER_FIELDS:
        properties[field] = _integer(HEADER, field, names) if field != code else {
            "description": "%s: %d bytes; a shorter string is padded with zero bytes"
                           % (code, WIDTHS[HEADER][code]),
            "anyOf": [{"type": "string", "maxLength": WIDTHS[HEADER][code]},
                      _hex(WIDTHS[HEADER][code], WIDTHS[HEADER][code])]}
    properties[_form.DETAILS] = {"type": "array", "items": {"$ref": "#/definitions/detail"},
                                 "maxItems": _range(_KINDS[HEADER][DETAIL_COUNT_FIELD])[1]}
    spell_names = [name for code, name in names.get("codes", {}).get("actionType", {}).items()
                   if int(code) == SPELL_ACTION_TYPE]
    spell = {"properties": {"actionType": {"enum": [SPELL_ACTION_TYPE] + spell_names}},
             "required": ["actionType"]}
    return {"type": "object", "title": TITLES[HEADER], "properties": properties,
            "additionalProperties": False, "if": spell,
            "else": {"properties": dict((field, _never("only a spell (actionType %d) carries %s"
                                                       % (SPELL_ACTION_TYPE, field)))
                                        for field in TRAILER_FIELDS)}}


def _detail(names):
    header = _record(DETAIL_HEADER, names)
    header["properties"][DETAIL_LENGTH_FIELD]["description"] += (
        "; leave it out where it equals the body's size")
    choices = []
    for number, record in sorted(DETAIL_BODIES.items()):
        count = _ENTRY_COUNT.get(record)
        body = _record(record, names)
        if count:
            body["properties"][count] = _derived(record, count, "the stat entries listed")
        then = {"properties": {_form.BODY: body}}
        if count:
            then["properties"][_form.STATS] = {
                "type": "array", "items": _record(BODY_ENTRIES[record][1], names)}
        else:
            then["properties"][_form.STATS] = _never(_ONLY_STAT_MODIFICATIONS)
        choices.append({"if": _of_type([number]), "then": then})
    known = sorted(DETAIL_BODIES)
    choices.append({"if": {"not": _of_type(known)}, "then": {"properties": {
        _form.BODY: {"description": "the body of a detail of a type with no record of its "
                                    "own: its bytes",
                     "anyOf": [_hex(0, _range("u16")[1]),
                               {"type": "object", "additionalProperties": False}]},
        _form.STATS: _never(_ONLY_STAT_MODIFICATIONS)}}})
    return {"type": "object",
            "description": "a detail: its header, then the body its type names (%s)"
                           % ", ".join("%d %s" % (n, TITLES[r])
                                       for n, r in sorted(DETAIL_BODIES.items())),
            "properties": {_form.DETAIL_HEADER: header, _form.BODY: {"type": "object"},
                           _form.STATS: {"type": "array"}},
            "additionalProperties": False, "allOf": choices}


def _never(why):
    """A member that must not be there (a schema that nothing matches, with the reason)."""
    return {"not": {}, "description": why}


_ONLY_STAT_MODIFICATIONS = "only a %s has stat entries" % " or ".join(
    TITLES[record] for record in BODY_ENTRIES)


def _of_type(numbers):
    """Matches a detail whose header's type is one of numbers (a header left out: type 0)."""
    given = {"properties": {_form.DETAIL_HEADER: {"properties": {
        DETAIL_TYPE_FIELD: {"enum": list(numbers)}}, "required": [DETAIL_TYPE_FIELD]}},
        "required": [_form.DETAIL_HEADER]}
    if 0 not in numbers:
        return given
    missing = {"anyOf": [{"not": {"required": [_form.DETAIL_HEADER]}},
                         {"properties": {_form.DETAIL_HEADER: {
                             "not": {"required": [DETAIL_TYPE_FIELD]}}}}]}
    return {"anyOf": [given, missing]}


def document_schema(names=None):
    """The JSON Schema (a dict) of the document form. names: a names file's content
    ({"codes": {field: {code: name}}, "bits": {...}}), whose named codes the schema offers
    as choices and shows in the fields' descriptions."""
    names = names or {}
    return {
        "$schema": DRAFT,
        "title": "actions: the document form of an action file",
        "type": "object",
        "properties": {
            REFERENCE_KEY: {"type": "string", "description": "the schema this document follows"},
            _form.FORMAT_KEY: {"const": _form.FORMAT,
                               "description": "the form: %d (the length and count fields "
                                              "follow what they count)" % _form.FORMAT},
            _form.ACTIONS_KEY: {"type": "array", "items": {"$ref": "#/definitions/action"}},
        },
        "required": [_form.ACTIONS_KEY],
        "additionalProperties": False,
        "definitions": {"action": _action(names), "detail": _detail(names)},
    }


def schema_text(names=None):
    """The schema as JSON text, members sorted: the same text for the same layout and names."""
    return json.dumps(document_schema(names), indent=1, sort_keys=True,
                      separators=(",", ": ")) + "\n"

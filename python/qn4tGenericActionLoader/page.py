"""The page: one self-contained HTML file that shows and edits a set of actions. It embeds the
document form of every action (Action.to_dict(), the base the page's patch is made against),
the columns of the tables module as paths into that form, and the value rules made from the
layout file, with the page's own script and style (page.js, page.css beside this file).
Nothing is fetched when it opens.

The base is written as it is read, an action or a block of actions at a time: memory holds
no list of actions, and the page's bytes are those of the whole data written at once."""
from __future__ import print_function, division

import hashlib
import io
import json
import os

import _qn4tGenericActionSupport as _native
import qn4tGenericActionLayout as _facts
from qn4tGenericActionLoader import tables as _tables
from qn4tGenericActionLoader.actions import Action, Detail

__all__ = ["page_blocks", "write_page"]

_HERE = os.path.dirname(os.path.abspath(__file__))

# Characters that could end or open markup where the JSON sits inside a <script> element;
# JSON has them only inside strings, where \\uXXXX stands for the same character.
_MARKUP_IN_JSON = (("<", "\\u003c"), (">", "\\u003e"), ("&", "\\u0026"))

# The member of the page's data that holds the base actions: the first in name order, so the
# page's data can start with it and the rest, which names the base, follow once it is read.
_BASE = "base"


def embedded_json(value):
    """value as JSON that is inert inside a <script> element for any texts it holds: ASCII
    only, members sorted, with <, > and & as \\u escapes (which also covers U+2028 and
    U+2029)."""
    text = json.dumps(value, separators=(",", ":"), ensure_ascii=True, sort_keys=True)
    for character, escape in _MARKUP_IN_JSON:
        text = text.replace(character, escape)
    return text


def page_blocks(stream):
    """The base actions' text as the page embeds it (ASCII bytes: each action's document form
    as embedded_json writes it, after "," but the first) of the action file whose
    uncompressed bytes the binary file object stream gives (`inflating(file)` gives them
    from a gzip file), made natively a block of whole actions at a time (an action of very
    many stat entries in several). The iterator's `actions` and `offset` say how
    many actions the blocks given so far hold and the uncompressed offset behind them, as
    json_blocks' do, and its `digest` is the SHA-256 (hex) of "[", those blocks and "]" that
    names the page's base, or None where the module is built without libcrypto (write_page
    then hashes the text itself); a damaged file raises DamagedFileError after the block
    holding every complete action before the damage."""
    return _native._page_json(stream, 1)


def _asset(name):
    with io.open(os.path.join(_HERE, name), encoding="utf-8") as stream:
        return stream.read()


def _script(name):
    """The page's own script or style: refused if it could close its element early (it is
    ours, so this guards a maintainer's slip, not hostile input)."""
    text = _asset(name)
    lowered = text.lower()
    for closing in ("</script", "</style", "<!--"):
        if closing in lowered:
            raise ValueError("%s holds %r, which would end its element in the page"
                             % (name, closing))
    return text


# ---- the value rules, from the layout file ----------------------------------------------------

def _kinds(facts):
    """{kind: {"low", "high", "words"}} of every integer kind ("unsigned 8-bit")."""
    return dict((kind, {"low": low, "high": high, "words": words})
                for kind, (low, high, words) in facts.INTEGER_RANGES.items())


def value_rules(facts=_facts):
    """What the page checks and derives, all read from the layout file: the integer kinds
    with their ranges, the fields of each record in file order with their kinds, the texts
    with the field that holds their length, the spell trailer and the detail bodies; each
    record with the name of the package's class that holds it ("owner"), which the import's
    refusals name."""
    records = dict((name, list(fields)) for name, _, fields in facts.LAYOUT)
    widths = dict((name, size) for name, size, _ in facts.LAYOUT)
    header = dict(records[facts.HEADER])
    entry_counts = dict((record, count) for record, (count, _) in facts.BODY_ENTRIES.items())
    (stat_record,) = set(entry for _, entry in facts.BODY_ENTRIES.values())
    derived = set(facts.DERIVED_COUNTS[facts.HEADER])
    trailer = [name for name in facts.TRAILER_FIELDS]
    classes = facts.CLASS_NAMES
    return {
        "kinds": _kinds(facts),
        "owner": Action.__name__,
        "head": [[name, header[name]] for name in facts.HEAD_FIELDS if name not in derived],
        "texts": [[text, length, header[length]] for text, length in facts.TEXTS],
        "trailer": [[name, header[name]] for name in trailer if header[name] != "chars"],
        "codes": [[name, facts.WIDTHS[facts.HEADER][name]] for name in trailer
                  if header[name] == "chars"],
        "spellType": facts.SPELL_ACTION_TYPE,
        "actionType": facts.ACTION_TYPE_FIELD,
        "actionID": facts.ACTION_ID_FIELD,
        "detailCount": [facts.DETAIL_COUNT_FIELD, header[facts.DETAIL_COUNT_FIELD]],
        "bodies": dict((str(number), {
            "title": facts.TITLES[record],
            "owner": classes[record],
            "fields": [pair for pair in records[record] if pair[0] != entry_counts.get(record)],
            "count": entry_counts.get(record),
            "size": widths[record]}) for number, record in facts.DETAIL_BODIES.items()),
        "stat": {"fields": records[stat_record], "size": widths[stat_record],
                 "owner": classes[stat_record]},
    }


def blank_forms(facts=_facts):
    """The document form of a new action, of a spell's trailer, of a new detail of each known
    type and of a new stat entry, as the package makes them."""
    spell = Action(actionType=facts.SPELL_ACTION_TYPE).to_dict()
    details, stat = {}, None
    for number in sorted(facts.DETAIL_BODIES):
        form = Detail.from_dict({"header": {"type": number}, "body": {}}).to_dict()
        details[str(number)] = form
        if "stats" in form and stat is None:
            with_entry = Detail.from_dict({"header": {"type": number}, "body": {},
                                           "stats": [{}]}).to_dict()
            stat = with_entry["stats"][0]
    plain = Action().to_dict()
    return {"action": plain,
            "trailer": dict((k, v) for k, v in spell.items() if k not in plain),
            "details": details, "stat": stat}


# ---- the page's data ----------------------------------------------------------------------

def _columns(table):
    """[[column name, path in the document form]] of a table of the tables module."""
    return [[column.name, list(column.path)] for column in table.columns]


def data_besides_base(digest, names, title):
    """The page's data but the base: the digest that names the base (a SHA-256 of the base's
    text, so that edits kept in the browser's storage belong to the page made of the same
    actions), the tables' columns, the value rules and blank forms, the detail kinds and the
    names (a names file's {"codes": ..., "bits": ...}, or None)."""
    schema = dict((t.name, t) for t in _tables.schema())
    return {
        "title": title,
        "digest": digest,
        "columns": {"actions": _columns(schema["actions"]),
                    "details": _columns(schema["details"])},
        "kinds": dict((str(number), name) for name, number, _ in _tables.body_views()),
        "rules": value_rules(),
        "blank": blank_forms(),
        "names": names or {"codes": {}, "bits": {}},
    }


def page_around_data(title):
    """(the page's text before its data, the text after it) for a page called title."""
    before, after = _PAGE.split(_DATA)
    return (before % {"title": _escape(title), "css": _script("page.css")},
            after % {"js": _script("page.js")})


class _ObjectBlocks(object):
    """The base's text made from Action objects, one action at a time, as page_blocks makes
    it from a file; `actions` counts the actions given."""

    def __init__(self, actions):
        self._actions = actions
        self.actions = 0

    def __iter__(self):
        for action in self._actions:
            text = embedded_json(action.to_dict()).encode("ascii")
            yield b"," + text if self.actions else text
            self.actions += 1


def write_page(out, actions, names=None, title="actions", blocks=None):
    """Writes the page of the actions (an iterable of Action, read one at a time) to the
    binary file object out. names: a names file's {"codes": ..., "bits": ...} whose names the
    page shows beside the codes, or None; title: the page's title (escaped for HTML).
    blocks: the same actions' text as page_blocks(stream) gives it, written in place of the
    actions (the bytes are the same); where they have a `digest` other than None (as
    page_blocks has), it names the base in place of a hash made here. Memory holds one action or one block and never the
    whole page. Returns the number of actions on the page (with blocks, their `actions`;
    None where they have none). What the actions or blocks raise passes through, with the
    page written so far: give a file that is replaced only when complete (`writing`)."""
    if blocks is None:
        blocks = _ObjectBlocks(actions)
    before, after = page_around_data(title)
    out.write(before.encode("utf-8"))
    out.write(('{"%s":[' % _BASE).encode("ascii"))
    made_there = getattr(blocks, "digest", None) is not None
    digest = None if made_there else hashlib.sha256(b"[")
    for block in blocks:
        if digest is not None:
            digest.update(block)
        out.write(block)
    if made_there:
        hex_digest = blocks.digest
    else:
        digest.update(b"]")
        hex_digest = digest.hexdigest()
    rest = embedded_json(data_besides_base(hex_digest, names, title))
    out.write(b"]," + rest[1:].encode("ascii"))
    out.write(after.encode("utf-8"))
    return getattr(blocks, "actions", None)


def _escape(text):
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;"))


# Where the data goes in _PAGE: split there, so that the data can be written as it is made.
_DATA = u"%(data)s"

_PAGE = u"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; \
script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src data: blob:">
<title>%(title)s</title>
<style>
%(css)s</style></head>
<body>
<header><h1>%(title)s</h1><span id="count"></span><span id="edits"></span></header>
<div id="controls">
  <input id="search" type="search" placeholder="search every text and number">
  <select id="filter-column"></select>
  <select id="filter-op"><option>=</option><option>&lt;</option><option>&gt;</option>
    <option>contains</option></select>
  <input id="filter-value" placeholder="value">
  <button id="filter-clear" type="button">clear</button>
  <span class="edit-buttons">
    <button id="add-action" type="button">Add action</button>
    <button id="undo" type="button" disabled>Undo</button>
    <button id="save" type="button" disabled>Save changes</button>
  </span>
</div>
<main>
  <section id="table"><div id="head"></div><div id="scroller"><div id="spacer"></div>
    <div id="rows"></div></div></section>
  <aside id="panel"><p class="hint">Choose an action to see and edit all its fields.</p></aside>
</main>
<section id="charts"></section>
<script id="data" type="application/json">%(data)s</script>
<script>
%(js)s</script>
</body></html>
"""

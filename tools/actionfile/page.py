"""html: one self-contained page that shows and edits the actions of a file. It embeds the
document form of every action (Action.to_dict(), the base the page's patch is made against),
the columns of the tables module as paths into that form, and the value rules made from the
layout file, with the page's own script and style (page.js, page.css beside this file).
Nothing is fetched when it opens."""
from __future__ import print_function, division

import hashlib
import io
import json
import os

HERE = os.path.dirname(os.path.abspath(__file__))

# Characters that could end or open markup where the JSON sits inside a <script> element;
# JSON has them only inside strings, where \\uXXXX stands for the same character.
_MARKUP_IN_JSON = (("<", "\\u003c"), (">", "\\u003e"), ("&", "\\u0026"))


def _asset(name):
    with io.open(os.path.join(HERE, name), encoding="utf-8") as stream:
        return stream.read()


def embedded_json(value):
    """value as JSON that is inert inside a <script> element for any texts it holds: ASCII
    only, with <, > and & as \\u escapes (which also covers U+2028 and U+2029)."""
    text = json.dumps(value, separators=(",", ":"), ensure_ascii=True, sort_keys=True)
    for character, escape in _MARKUP_IN_JSON:
        text = text.replace(character, escape)
    return text


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


def value_rules(q, facts):
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
        "owner": q.Action.__name__,
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


def blank_forms(q, facts):
    """The document form of a new action, of a spell's trailer, of a new detail of each known
    type and of a new stat entry, as the package makes them."""
    spell = q.Action(actionType=facts.SPELL_ACTION_TYPE).to_dict()
    details, stat = {}, None
    for number in sorted(facts.DETAIL_BODIES):
        form = q.Detail.from_dict({"header": {"type": number}, "body": {}}).to_dict()
        details[str(number)] = form
        if "stats" in form and stat is None:
            with_entry = q.Detail.from_dict({"header": {"type": number}, "body": {},
                                             "stats": [{}]}).to_dict()
            stat = with_entry["stats"][0]
    plain = q.Action().to_dict()
    return {"action": plain,
            "trailer": dict((k, v) for k, v in spell.items() if k not in plain),
            "details": details, "stat": stat}


# ---- the page's data ----------------------------------------------------------------------

def _columns(table):
    """[[column name, path in the document form]] of a table of the tables module."""
    return [[column.name, list(column.path)] for column in table.columns]


def base_digest(forms):
    """What names the base: a digest of its actions' document form. Edits kept in the
    browser's storage belong to the page made of the same actions."""
    return hashlib.sha256(embedded_json(forms).encode("ascii")).hexdigest()


def page_data(q, facts, actions, names, title):
    """The page's data: the base actions in document form, the tables' columns, the value
    rules and blank forms, the detail kinds and the names."""
    tables = q.tables
    forms = [action.to_dict() for action in actions]
    schema = dict((t.name, t) for t in tables.schema())
    return {
        "title": title,
        "base": forms,
        "digest": base_digest(forms),
        "columns": {"actions": _columns(schema["actions"]),
                    "details": _columns(schema["details"])},
        "kinds": dict((str(number), name) for name, number, _ in tables.body_views()),
        "rules": value_rules(q, facts),
        "blank": blank_forms(q, facts),
        "names": names.as_json() if names else {"codes": {}, "bits": {}},
    }


def write_page(q, facts, actions, out, names=None, title="actions"):
    """Writes the page to the binary file out; returns the number of actions. q is the
    package, facts the layout file."""
    data = page_data(q, facts, actions, names, title)
    html = u"""<!DOCTYPE html>
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
""" % {"title": _escape(title), "css": _script("page.css"), "data": embedded_json(data),
       "js": _script("page.js")}
    out.write(html.encode("utf-8"))
    return len(data["base"])


def _escape(text):
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;"))

"""html: one self-contained page over the actions of a file: the rows of the tables module
(actions, details, stats) embedded as compact JSON, with the page's own script and style
(page.js, page.css beside this file) written into it. Nothing is fetched when it opens."""
from __future__ import print_function, division

import io
import json
import os

HERE = os.path.dirname(os.path.abspath(__file__))
ASSETS = ("page.css", "page.js")


def _asset(name):
    with io.open(os.path.join(HERE, name), encoding="utf-8") as stream:
        return stream.read()


def _script_safe(text):
    """Text that cannot end the <script> element it sits in."""
    return text.replace("</", "<\\/").replace("<!--", "<\\!--")


def _compact(header, rows, keys):
    """{"columns", "rows"} with only the key columns and those that have a value in a row."""
    used = [i for i, name in enumerate(header)
            if name in keys or any(row[i] is not None for row in rows)]
    return {"columns": [header[i] for i in used],
            "rows": [[row[i] for i in used] for row in rows]}


def page_data(tables, actions, names, title):
    """The page's data: each table with only the columns that have values, the details in
    one group per type (a type's rows leave the other kinds' columns out)."""
    made = tables.rows(actions)
    schema = dict((t.name, t) for t in tables.schema())
    by_type = {}
    details = schema["details"]
    type_at = details.header().index(tables.type_column(details).name)
    for row in made["details"]:
        by_type.setdefault(row[type_at], []).append(row)
    compact = dict((name, _compact(schema[name].header(), made[name], schema[name].keys))
                   for name in ("actions", "stats"))
    compact["details"] = [_compact(details.header(), by_type[number], details.keys)
                          for number in sorted(by_type)]
    return {
        "title": title,
        "tables": compact,
        "kinds": dict((number, name) for name, number, _ in tables.body_views()),
        "names": names.as_json() if names else {"codes": {}, "bits": {}},
        "count": len(made["actions"]),
    }


def write_page(tables, actions, out, names=None, title="actions"):
    """Writes the page to the binary file out; returns the number of actions."""
    data = page_data(tables, actions, names, title)
    embedded = _script_safe(json.dumps(data, separators=(",", ":"), ensure_ascii=True))
    html = u"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>%(title)s</title>
<style>
%(css)s</style></head>
<body>
<header><h1>%(title)s</h1><span id="count"></span></header>
<div id="controls">
  <input id="search" type="search" placeholder="search every text and number">
  <select id="filter-column"></select>
  <select id="filter-op"><option>=</option><option>&lt;</option><option>&gt;</option>
    <option>contains</option></select>
  <input id="filter-value" placeholder="value">
  <button id="filter-clear" type="button">clear</button>
</div>
<main>
  <section id="table"><div id="head"></div><div id="scroller"><div id="spacer"></div>
    <div id="rows"></div></div></section>
  <aside id="panel"><p class="hint">Choose an action to see all its fields.</p></aside>
</main>
<section id="charts"></section>
<script id="data" type="application/json">%(data)s</script>
<script>
%(js)s</script>
</body></html>
""" % {"title": _escape(title), "css": _asset("page.css"), "data": embedded,
       "js": _script_safe(_asset("page.js"))}
    out.write(html.encode("utf-8"))
    return data["count"]


def _escape(text):
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;"))

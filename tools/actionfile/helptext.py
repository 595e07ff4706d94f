"""actiontool help TOPIC: sections of the documentation, which is installed with the tool (the
docs/ folder beside this package; in the source tree, its own docs/). A topic names a file and
the heading of its section; the section runs to the next heading of its level or above."""
from __future__ import print_function

import io
import os

# topic -> (file in docs/, heading of the section, or None for the whole file; what it tells)
TOPICS = (
    ("json", "actiontool.md", "## JSON format", "the document form that export writes"),
    ("editing", "actiontool.md", "## Editing action files", "export, edit, check, import"),
    ("import", "actiontool.md", "### import IN.json OUT, import --dry-run IN.json",
     "what import refuses, repeated actionIDs, --strict"),
    ("schema", "actiontool.md", "### schema [OUT] [--names FILE]",
     "the JSON Schema for editors"),
    ("git", "actiontool.md", "## Action files in git", "git diff, merging, conflicts"),
    ("patch", "actiontool.md", "### diff --patch OLD NEW > change.json, patch FILE change.json OUT",
     "patches and their conflicts"),
    ("tables", "tables.md", None, "CSV, SQLite and pandas"),
    ("names", "tables.md", "## Names for codes", "names files, names as values"),
    ("fields", "fields.md", None, "every field: type, range, what it is"),
)


class NoHelp(Exception):
    """A topic this tool does not know, or documentation that is not there."""


def docs_folder():
    """The documentation installed beside the package, or the source tree's."""
    here = os.path.dirname(os.path.abspath(__file__))
    for folder in (os.path.join(here, "docs"),
                   os.path.join(os.path.dirname(os.path.dirname(here)), "docs")):
        if os.path.isfile(os.path.join(folder, "actiontool.md")):
            return folder
    raise NoHelp("the documentation is not installed beside %s" % here)


def topic_list():
    return "\n".join("  %-8s %s" % (name, what) for name, _, _, what in TOPICS)


def section(topic):
    """The text of a topic's section (unicode)."""
    found = [entry for entry in TOPICS if entry[0] == topic]
    if not found:
        raise NoHelp("no help on %r; the topics:\n%s" % (topic, topic_list()))
    _, name, heading, _ = found[0]
    with io.open(os.path.join(docs_folder(), name), encoding="utf-8") as f:
        lines = f.read().splitlines()
    if heading is None:
        return "\n".join(lines)
    start = lines.index(heading)
    level = len(heading) - len(heading.lstrip("#"))
    end = start + 1
    while end < len(lines) and not _ends(lines[end], level):
        end += 1
    return "\n".join(lines[start:end]).rstrip()


def _ends(line, level):
    marks = len(line) - len(line.lstrip("#"))
    return 0 < marks <= level and line[marks:marks + 1] == " "

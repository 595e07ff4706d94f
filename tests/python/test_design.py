"""The design holds: docs/design.md's checklists name files that exist and names those files
define, so that a renamed or moved piece fails here instead of misleading a maintainer; and
the detail types take their bodies from the layout's one list."""
import ast
import gzip
import io
import os
import re
import unittest

import qn4tGenericActionLayout as layout
import qn4tGenericActionLoader as q

SOURCE_DIR = os.environ.get("QN4T_SOURCE_DIR") or os.path.dirname(os.path.dirname(
    os.path.dirname(os.path.abspath(__file__))))

# A numbered step: "1. `path`: ... `Name` ...", continued on the indented lines after it.
STEP = re.compile(r"^\d+\. `([^`]+)`: (.*?)(?=^\d+\. |^\S|\Z)", re.M | re.S)
NAME = re.compile(r"`([A-Za-z_][A-Za-z0-9_]*)`")


def checklists():
    """(title, [(path, [names]), ...]) for every "### Adding ..." section."""
    with open(os.path.join(SOURCE_DIR, "docs", "design.md")) as f:
        text = f.read()
    for section in re.split(r"^### ", text, flags=re.M)[1:]:
        title, _, body = section.partition("\n")
        if title.startswith("Adding"):
            yield title, [(m.group(1), NAME.findall(m.group(2))) for m in STEP.finditer(body)]


class Checklists(unittest.TestCase):
    def test_every_step_names_a_file_and_names_it_holds(self):
        found = list(checklists())
        self.assertTrue(found, "design.md has no checklist")
        for title, steps in found:
            self.assertTrue(steps, title)
            for path, names in steps:
                full = os.path.join(SOURCE_DIR, path)
                self.assertTrue(os.path.isfile(full), (title, path))
                with open(full) as f:
                    text = f.read()
                for name in names:
                    self.assertIn(name, text, (title, path, name))

    def test_no_file_made_from_the_list_names_a_detail_body_record(self):
        """What the checklist says follows from the list, names no body or entry record of
        its own: a new body needs no edit there."""
        records = set(layout.DETAIL_BODIES.values())
        records.update(entry for _, entry in layout.BODY_ENTRIES.values())
        for folder in ("interface", "binding", "python", os.path.join("tools", "actionfile")):
            for root, _, files in os.walk(os.path.join(SOURCE_DIR, folder)):
                for name in files:
                    if not name.endswith((".cpp", ".h", ".py", ".in")):
                        continue
                    with io.open(os.path.join(root, name), encoding="utf-8") as f:
                        text = f.read()
                    for record in records:
                        self.assertNotIn(record, text, os.path.join(root, name))


def layer_lists():
    """{folder: set of words} from the layer picture of design.md: the words written in the
    rows of interface/, binding/ and core/ (".h" and ".cpp" kept)."""
    with open(os.path.join(SOURCE_DIR, "docs", "design.md")) as f:
        text = f.read()
    picture = text.split("## Layers", 1)[1].split("```")[1]
    named, folder = {}, None
    for line in picture.splitlines():
        start = re.match(r"^ (interface|binding|core)/", line)
        if start:
            folder = start.group(1)
            line = line[start.end():]
        elif not line.startswith("      "):
            folder = None  # a row of another layer, or the line between layers
        if folder:
            named.setdefault(folder, set()).update(re.findall(r"[A-Za-z_][A-Za-z0-9_]*(?:\.h|\.cpp)?", line))
    return named


class Layers(unittest.TestCase):
    """The layer picture of design.md names every source file of interface/, binding/ and
    core/, and nothing that is not there: a file added, moved or renamed fails here."""

    def test_the_picture_names_exactly_the_files_of_each_folder(self):
        named = layer_lists()
        self.assertEqual(sorted(named), ["binding", "core", "interface"])
        for folder, names in sorted(named.items()):
            files = [n for n in os.listdir(os.path.join(SOURCE_DIR, folder)) if n.endswith((".h", ".cpp"))]
            stems = set(os.path.splitext(n)[0] for n in files)
            unnamed = sorted(stem for stem in stems
                             if stem not in names and not any(stem + e in names for e in (".h", ".cpp")))
            self.assertEqual(unnamed, [], "%s/: files the picture does not name" % folder)
            # A word with an underscore or a file ending is a file's name; plain words are
            # the descriptions'.
            missing = sorted(name for name in names if ("_" in name or name.endswith((".h", ".cpp")))
                             and name not in files and name not in stems)
            self.assertEqual(missing, [], "%s/: names in the picture with no file" % folder)


def record_size(record):
    return sum(layout.WIDTHS[record].values())


class DetailTypes(unittest.TestCase):
    """The detail types of the layout's list get their body class and body size from it, read
    and written; a type the list does not know keeps its body as bytes, whatever its length."""

    def test_body_class_and_size_follow_the_list(self):
        stat_record = layout.BODY_ENTRIES[layout.DETAIL_BODIES[2]][1]
        cases = [  # (type, the body given, its class, its length: the bytes behind the header)
            (1, None, q.Damage, record_size(layout.DETAIL_BODIES[1])),
            (2, q.StatMod(stats=[q.Stat(stat=1), q.Stat(stat=2)]), q.StatMod,
             record_size(layout.DETAIL_BODIES[2]) + 2 * record_size(stat_record)),
            (3, None, q.Healing, record_size(layout.DETAIL_BODIES[3])),
            (9, b"\x01\x00\xff", bytes, 3),
        ]
        self.assertEqual(sorted(layout.DETAIL_BODIES), [1, 2, 3])
        for number, body, cls, length in cases:
            made = q.Detail(type=number) if body is None else q.Detail(type=number, body=body)
            out = io.BytesIO()
            q.write_actions(out, [q.Action(details=[made])])
            read = list(q.read_actions(io.BytesIO(out.getvalue())))[0].details[0]
            for detail in (made, read):
                self.assertIsInstance(detail.body, cls, number)
                self.assertEqual(detail.length, length, number)
            self.assertEqual(read, made, number)
            # The file holds the action's head, the detail's header and the body's bytes.
            file_bytes = gzip.GzipFile(fileobj=io.BytesIO(out.getvalue())).read()
            self.assertEqual(len(file_bytes), layout.HEAD_SIZE + record_size(
                layout.DETAIL_HEADER) + length, number)

    def test_each_class_name_is_a_native_type_the_package_subclasses(self):
        import _qn4tGenericActionSupport as native
        for record, name in sorted(layout.CLASS_NAMES.items()):
            self.assertTrue(issubclass(getattr(q, name), getattr(native, name)), record)
            self.assertIn(name, repr(getattr(q, name)()), record)


if __name__ == "__main__":
    unittest.main()


STRING_NODE = getattr(ast, "Constant", None) or ast.Str  # a text in the tree: Python 3, 2


class ToolUsesPublicNames(unittest.TestCase):
    """actiontool (every Python file under tools/) reaches the package and its companion by
    their public names only: a name starting with "_" there is free to change without
    telling the tool."""

    PACKAGE = "qn4tGenericActionLoader"
    COMPANION = "_qn4tGenericActionSupport"

    def private_uses(self, text):
        """(line, what) of each private name of the package or the companion in text."""
        found = []
        for node in ast.walk(ast.parse(text)):
            if isinstance(node, ast.Import):
                found.extend((node.lineno, alias.name) for alias in node.names
                             if self.private_module(alias.name))
            elif isinstance(node, ast.ImportFrom) and node.module and (
                    node.module.split(".")[0] in (self.PACKAGE, self.COMPANION)):
                found.extend((node.lineno, "%s.%s" % (node.module, alias.name))
                             for alias in node.names
                             if self.private_module(node.module) or self.private(alias.name))
            elif isinstance(node, ast.Attribute) and self.private(node.attr) and \
                    self.is_package(node.value):
                found.append((node.lineno, "." + node.attr))
            elif isinstance(node, STRING_NODE):
                value = node.value if hasattr(node, "value") else node.s
                if isinstance(value, str) and " " not in value and self.private_module(value):
                    found.append((node.lineno, value))
        return found

    @staticmethod
    def private(name):
        return name.startswith("_") and not name.startswith("__")

    def private_module(self, dotted):
        parts = dotted.split(".")
        return parts[0] == self.COMPANION or (parts[0] == self.PACKAGE and any(
            self.private(part) for part in parts[1:]))

    @staticmethod
    def is_package(node):
        """Whether node stands for the package as the tool holds it: q, layout.q, self.q,
        a call of module.load(), or a module of the package reached through one of them."""
        while isinstance(node, ast.Attribute) and node.attr != "q":
            node = node.value
        if isinstance(node, ast.Attribute):
            return True
        if isinstance(node, ast.Name):
            return node.id == "q"
        return isinstance(node, ast.Call) and getattr(node.func, "attr", getattr(
            node.func, "id", "")).startswith("load")

    def tool_files(self):
        tools = os.path.join(SOURCE_DIR, "tools")
        for folder, _, names in os.walk(tools):
            for name in names:
                path = os.path.join(folder, name)
                if name.endswith(".py") or name == "actiontool":
                    yield path

    def test_no_private_name_of_the_package_or_the_companion(self):
        cases = [
            # (source, names found)
            ("from qn4tGenericActionLoader import _form", 1),
            ("import _qn4tGenericActionSupport", 1),
            ("from qn4tGenericActionLoader._files import writing", 1),
            ("x = layout.q._files.writing", 1),
            ("x = module.load()._export_json(s)", 1),
            ("importlib.import_module('qn4tGenericActionLoader._files')", 1),
            ("x = layout.q.changes.in_place", 0),
            ("x = self._stream.read()", 0),
            ("from qn4tGenericActionLoader import write_json", 0),
        ]
        for source, count in cases:  # the check finds what it is meant to find
            self.assertEqual(len(self.private_uses(source)), count, source)
        for path in self.tool_files():
            with open(path, "rb") as stream:
                text = stream.read().decode("utf-8")
            if not (path.endswith(".py") or text.startswith("#!") and "python" in
                    text.split("\n", 1)[0]):
                continue
            self.assertEqual(self.private_uses(text), [], os.path.relpath(path, SOURCE_DIR))

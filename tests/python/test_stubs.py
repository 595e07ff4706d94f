"""The type stubs installed with the package (__init__.pyi, generated at build time) against
the package as it runs: every public name, every record class with its fields typed by
kind, and the methods of Stream and the record base. Python 3 only (stubs use annotations,
which Python 2.7 cannot parse)."""
from __future__ import print_function

import ast
import inspect
import io
import os
import sys
import unittest

import support
from support import q

TOOLS = os.path.join(os.environ.get("QN4T_SOURCE_DIR", ""), "tools")
sys.path.insert(0, TOOLS)
import make_stubs  # noqa: E402


def public(names):
    return set(name for name in names if not name.startswith("_"))


@unittest.skipUnless(support.PYTHON3, "the stubs use annotations")
class InstalledStubs(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        path = os.path.join(os.path.dirname(q.__file__), "__init__.pyi")
        with io.open(path, encoding="utf-8") as source:
            cls.source = source.read()
        tree = ast.parse(cls.source, path)
        cls.top = {}
        for node in tree.body:
            if isinstance(node, ast.ClassDef):
                cls.top[node.name] = node
            elif isinstance(node, ast.AnnAssign):
                cls.top[node.target.id] = node
        cls.classes = {name: node for name, node in cls.top.items()
                       if isinstance(node, ast.ClassDef)}

    def text(self, node):
        return ast.get_source_segment(self.source, node)

    def members(self, class_name):
        """{name: node} of a stub class: annotated attributes, and each property's getter."""
        found = {}
        for node in self.classes[class_name].body:
            if isinstance(node, ast.AnnAssign):
                found[node.target.id] = node
            elif isinstance(node, ast.FunctionDef) and node.name not in found:
                found[node.name] = node
        return found

    def test_every_public_name_of_the_package_is_declared(self):
        runtime = public(name for name, value in vars(q).items() if not inspect.ismodule(value))
        self.assertEqual(runtime - set(self.top), set())
        self.assertIn("__version__", self.top)

    def test_record_classes_declare_their_fields_typed_by_kind(self):
        for cls in q.RECORD_CLASSES:
            with self.subTest(record=cls.__name__):
                node = self.classes[cls.__name__]
                self.assertEqual([self.text(base) for base in node.bases], ["_Record"])
                members = self.members(cls.__name__)
                for field, kind in cls.FIELDS:
                    getter = members[field]
                    self.assertEqual(self.text(getter.returns),
                                     make_stubs.KIND_TYPES[kind][0], field)
                # Class attributes given besides the fields (TRAILER_SIZE) or by the base.
                declared = set(members) | set(self.members("_Record"))
                self.assertEqual(public(vars(cls)) - declared, set())

    def test_stream_and_record_base_declare_their_public_members(self):
        for runtime, name in ((q.Stream, "Stream"), (q._Record, "_Record")):
            with self.subTest(cls=name):
                declared = set(self.members(name))
                self.assertEqual(public(dir(runtime)) - declared, set())


class StubMaker(unittest.TestCase):
    TEMPLATE = "# template\nfrom typing import Any\n# @RECORD_CLASSES@\n"

    def test_a_kind_without_a_type_is_refused(self):
        layout = 'LAYOUT = (("Odd", 4, (("value", "f32"),)),)\n'
        with self.assertRaises(ValueError) as caught:
            make_stubs.render(layout, self.TEMPLATE)
        self.assertIn("value", str(caught.exception))

    def test_a_template_without_the_marker_is_refused(self):
        with self.assertRaises(ValueError):
            make_stubs.render("LAYOUT = ()\n", "from typing import Any\n")

    def test_the_template_comment_gives_way_to_the_generated_header(self):
        stubs = make_stubs.render('LAYOUT = (("R", 2, (("a", "u16"),)),)\n', self.TEMPLATE)
        self.assertTrue(stubs.startswith(make_stubs.HEADER))
        self.assertNotIn("# template", stubs)
        self.assertIn("class R(_Record):", stubs)


if __name__ == "__main__":
    unittest.main()

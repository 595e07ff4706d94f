"""The type stubs installed with the package (__init__.pyi, generated at build time) against
the package as it runs: every public name, every record class with its fields typed by
kind, the whole-action classes, and the methods of Stream and the record base; and the
stub maker's refusals. Python 3 only (stubs use annotations,
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
            if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
                cls.top[node.name] = node
            elif isinstance(node, ast.AnnAssign):
                cls.top[node.target.id] = node
        cls.classes = {name: node for name, node in cls.top.items()
                       if isinstance(node, ast.ClassDef)}

    def text(self, node):
        return ast.get_source_segment(self.source, node)

    def members(self, class_name):
        """{name: node} of a stub class and its stub bases: annotated attributes, methods,
        and each property's getter."""
        found = {}
        node = self.classes[class_name]
        for base in node.bases:
            if self.text(base) in self.classes:
                found.update(self.members(self.text(base)))
        for member in node.body:
            if isinstance(member, ast.AnnAssign):
                found[member.target.id] = member
            elif isinstance(member, ast.FunctionDef) and member.name not in found:
                found[member.name] = member
        return found

    def setters(self, class_name):
        return set(member.name for member in self.classes[class_name].body
                   if isinstance(member, ast.FunctionDef)
                   and any(self.text(d).endswith(".setter") for d in member.decorator_list))

    def test_every_public_name_of_the_package_is_declared(self):
        runtime = public(name for name, value in vars(q).items() if not inspect.ismodule(value))
        self.assertEqual(runtime - set(self.top), set())
        self.assertEqual(set(q.__all__), runtime)  # what help(q) lists
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

    def test_whole_action_classes_declare_every_attribute_and_only_real_setters(self):
        for cls in (q.Action, q.Detail, q.Damage, q.Healing, q.StatMod, q.Stat):
            with self.subTest(cls=cls.__name__):
                self.assertEqual(public(dir(cls)) - set(self.members(cls.__name__)), set())
                instance = cls()
                for name in self.setters(cls.__name__):
                    setattr(instance, name, getattr(instance, name))  # no AttributeError
        for counted in ("numDetails", "nameLen"):
            self.assertNotIn(counted, self.setters("Action"))

    def test_constructors_take_the_keywords_their_signatures_name(self):
        """Each whole-action class's stub __init__ takes exactly the keywords of its runtime
        signature, keyword-only and typed, so that a checker refuses Damage(dei=6); and the
        runtime takes each of them."""
        for cls in (q.Action, q.Detail, q.Damage, q.Healing, q.StatMod, q.Stat):
            with self.subTest(cls=cls.__name__):
                [init] = [m for m in self.classes[cls.__name__].body
                          if isinstance(m, ast.FunctionDef) and m.name == "__init__"]
                stub = [a.arg for a in init.args.kwonlyargs]
                self.assertEqual(init.args.args[1:], [])
                self.assertTrue(all(a.annotation is not None for a in init.args.kwonlyargs))
                runtime = inspect.signature(cls)
                self.assertEqual(stub, list(runtime.parameters))
                cls(**dict((name, p.default) for name, p in runtime.parameters.items()
                           if p.default is not None))
        self.assertIn("die (signed 16-bit, -32768 to 32767): the die rolled",
                      q.Damage.__doc__)
        self.assertIn("die (signed 16-bit, -32768 to 32767)",
                      q.qn4tGeneric_Damage_Details.die.__doc__)

    def test_read_actions_takes_plain(self):
        read = self.top["read_actions"]
        self.assertEqual([a.arg for a in read.args.args],
                         list(inspect.signature(q.read_actions).parameters))

    def test_stream_and_record_base_declare_their_public_members(self):
        for runtime, name in ((q.Stream, "Stream"), (q._Record, "_Record")):
            with self.subTest(cls=name):
                declared = set(self.members(name))
                self.assertEqual(public(dir(runtime)) - declared, set())


class StubMaker(unittest.TestCase):
    TEMPLATE = "# template\nfrom typing import Any\n%s\n%s\n" % (make_stubs.MARKER,
                                                                make_stubs.WHOLE_MARKER)

    def test_a_kind_without_a_type_is_refused(self):
        layout = 'LAYOUT = (("Odd", 4, (("value", "f32"),)),)\n'
        with self.assertRaises(ValueError) as caught:
            make_stubs.render(layout, self.TEMPLATE)
        self.assertIn("value", str(caught.exception))

    def test_a_template_without_a_marker_is_refused(self):
        for marker in (make_stubs.MARKER, make_stubs.WHOLE_MARKER):
            with self.assertRaises(ValueError):
                make_stubs.render("LAYOUT = ()\n", self.TEMPLATE.replace(marker, ""))

    def test_the_template_comment_gives_way_to_the_generated_header(self):
        import qn4tGenericActionLayout
        with io.open(qn4tGenericActionLayout.__file__.replace(".pyc", ".py")) as layout:
            stubs = make_stubs.render(layout.read(), self.TEMPLATE)
        self.assertTrue(stubs.startswith(make_stubs.HEADER))
        self.assertNotIn("# template", stubs)
        self.assertIn("class qn4tGeneric_Damage_Details(_Record):", stubs)
        self.assertIn("class Damage(_Values):", stubs)


if __name__ == "__main__":
    unittest.main()

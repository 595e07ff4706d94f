"""What the extension module shows after import: its functions, its constants, nothing else."""
from __future__ import print_function

import types
import unittest

import support
from support import flat

STREAM_FUNCTIONS = ("qn4tGenericOpen", "qn4tGenericClose", "qn4tGenericSeek", "qn4tGenericEOF")
LIFE_CYCLE = ("new_%s", "delete_%s", "%s_read", "%s_write", "%s_swigregister")
CONSTANTS = {
    "QN4T_GENERIC_ACTION_NONE": 0,
    "QN4T_GENERIC_ACTION_DAMAGE": 1,
    "QN4T_GENERIC_ACTION_STATMOD": 2,
    "QN4T_GENERIC_ACTION_HEALING": 3,
}
# What the interpreter puts into every imported extension module.
INTERPRETER_NAMES = (set(["__name__", "__doc__", "__file__", "__package__"])
                     | set(dir(types.ModuleType("probe"))))


def expected_functions():
    names = set(STREAM_FUNCTIONS)
    for type_name in support.RECORD_TYPES:
        for field, _ in support.fields(type_name):
            names.add("%s_%s_set" % (type_name, field))
            names.add("%s_%s_get" % (type_name, field))
        names.update(pattern % type_name for pattern in LIFE_CYCLE)
    return names


class ModuleSurface(unittest.TestCase):
    def test_exactly_the_functions_and_constants(self):
        functions = expected_functions()
        self.assertEqual(len(functions), 134)
        shown = set(dir(flat)) - INTERPRETER_NAMES
        self.assertEqual(shown - functions - set(CONSTANTS), set(), "unexpected names")
        self.assertEqual(functions - shown, set(), "missing functions")
        self.assertEqual(set(CONSTANTS) - shown, set(), "missing constants")
        for name in functions:
            self.assertTrue(callable(getattr(flat, name)), name)

    def test_constant_values(self):
        for name, value in CONSTANTS.items():
            self.assertIs(type(getattr(flat, name)), int, name)
            self.assertEqual(getattr(flat, name), value, name)

    def test_python_side_module_shows_the_same_constants(self):
        for name, value in CONSTANTS.items():
            self.assertEqual(getattr(support.q, name), value, name)

    def test_import_prints_nothing(self):
        for module in ("_qn4tGenericActionLoader", "qn4tGenericActionLoader"):
            rc, out, err = support.run_python("import " + module)
            self.assertEqual((rc, out, err), (0, b"", b""), module)


if __name__ == "__main__":
    unittest.main()

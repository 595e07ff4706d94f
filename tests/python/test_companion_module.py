"""The companion module lives in the flat module's shared object and shares its one native
state: it is entered in sys.modules by the flat module's start, found through its file when a
script imports it first, and works on exactly the records and streams the flat module hands
out, whichever side made or deleted them."""
from __future__ import print_function

import sys
import unittest

import support
from support import flat, q, DAMAGE

import _qn4tGenericActionSupport as companion


class OneModule(unittest.TestCase):
    def test_the_registered_companion_is_the_one_the_package_uses(self):
        self.assertIs(sys.modules["_qn4tGenericActionSupport"], companion)
        self.assertIs(companion.DamagedFileError, q.DamagedFileError)
        self.assertIn("stream_close", vars(companion))
        self.assertNotIn("_qn4tGenericActionSupport", vars(flat))

    def test_importing_the_companion_first_starts_the_flat_module(self):
        code = ("from __future__ import print_function\nimport sys\n"
                "import _qn4tGenericActionSupport as c\n"
                "import _qn4tGenericActionLoader as f\n"
                "r = f.new_%s()\n"
                "c.%s_range_set(r, 200)\n"
                "print(f.%s_range_get(r), sys.modules[c.__name__] is c, 'stream_close' in vars(c))\n"
                % (DAMAGE, DAMAGE, DAMAGE))
        rc, out, err = support.run_python(code)
        self.assertEqual(rc, 0, err)
        self.assertEqual(out.split(), [b"200", b"True", b"True"])

    def test_a_companion_removed_from_sys_modules_is_refused_loudly(self):
        code = ("import sys\n"
                "import _qn4tGenericActionLoader\n"
                "del sys.modules['_qn4tGenericActionSupport']\n"
                "try:\n"
                "    import _qn4tGenericActionSupport\n"
                "except ImportError as error:\n"
                "    print(error)\n")
        rc, out, err = support.run_python(code)
        self.assertEqual(rc, 0, err)
        self.assertIn(b"was removed from sys.modules", out)


class SharedReferences(support.TempDirTestCase):
    def test_records_made_on_either_side_are_used_and_deleted_for_both(self):
        made_flat = support.new_record(DAMAGE)
        wrapped = q.qn4tGeneric_Damage_Details(made_flat)  # the class's fields: the companion
        wrapped.levelMult = 250
        self.assertEqual(flat.qn4tGeneric_Damage_Details_levelMult_get(made_flat), 250)
        made_by_class = q.qn4tGeneric_Damage_Details()
        flat.qn4tGeneric_Damage_Details_range_set(made_by_class.this, 7)
        self.assertEqual(made_by_class.range, 7)
        text = made_by_class.this
        del made_by_class  # the owning instance deletes its record
        self.assertTypeError(DAMAGE, flat.qn4tGeneric_Damage_Details_range_get, text)
        support.delete_record(DAMAGE, made_flat)
        self.assertTypeError(DAMAGE, companion.qn4tGeneric_Damage_Details_range_get, made_flat)

    def test_a_stream_opened_by_the_flat_module_is_written_and_closed_by_the_companion(self):
        path = self.path("d.gz")
        out = flat.qn4tGenericOpen(path, 1)
        record = self.new(DAMAGE)
        companion.qn4tGeneric_Damage_Details_range_set(record, 9)
        self.assertEqual(companion.qn4tGeneric_Damage_Details_write(record, out), 0)
        companion.stream_close(out, path)
        source = flat.qn4tGenericOpen(path, 0)
        read = self.new(DAMAGE)
        self.assertEqual(flat.qn4tGeneric_Damage_Details_read(read, source), 0)
        flat.qn4tGenericClose(source)
        self.assertEqual(flat.qn4tGeneric_Damage_Details_range_get(read), 9)


if __name__ == "__main__":
    unittest.main()

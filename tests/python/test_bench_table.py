"""The table of bench/command_bench.py on a tiny file: every command's row is there with a
figure on this host, so that scripts/bench.sh's table does not break unseen. The figures
themselves are not checked: a benchmark prints, it does not assert."""
from __future__ import print_function

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = os.environ.get("QN4T_SOURCE_DIR") or os.path.dirname(os.path.dirname(
    os.path.dirname(os.path.abspath(__file__))))
BENCH = os.path.join(SOURCE_DIR, "bench")
if BENCH not in sys.path:
    sys.path.append(BENCH)

import command_bench  # noqa: E402 (after the path is set)

TIME = r"\d+\.\dx zcat"
VERDICT = r"(met|MISSED)"
# (section title's start, row label, the cells that must follow the label)
CASES = [("Commands at 200 actions", label, TIME + (r"\s+\d+\.\d\dx floor" if floor else "") +
          (r"\s+" + VERDICT if goal else ""))
         for label, _, goal, floor, _ in command_bench.ROWS]
CASES += [("Commands at 200 actions", "zcat (the floor)", r"\d+\.\d{3} s"),
          ("write_actions", "write_actions", r"\d+\.\d\dx pigz\s+\d\.\d{4}x size\s+" + VERDICT)]
CASES += [("Peak resident memory", label, r"\d+ MB" + ("" if label == command_bench.VISIT
                                                       else r"\s+" + VERDICT))
          for label, _, _, _, _ in command_bench.ROWS]


class QuickTableOnATinyFile(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="bench-table-test-")
        proc = subprocess.Popen([sys.executable, os.path.join(BENCH, "command_bench.py"),
                                 "--quick", "--actions", "200", "--repeat", "1",
                                 "--work", cls.work],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, err = proc.communicate()
        cls.status, cls.err = proc.returncode, err.decode("utf-8", "replace")
        cls.sections = {}
        for block in out.decode("utf-8").split("\n\n"):
            lines = block.strip("\n").split("\n")
            cls.sections[lines[0]] = lines[1:]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def section(self, start):
        found = [lines for title, lines in self.sections.items() if title.startswith(start)]
        self.assertEqual(len(found), 1, "one section %r in %s" % (start, sorted(self.sections)))
        return found[0]

    def test_runs_to_its_end(self):
        self.assertEqual(self.status, 0, self.err)

    def test_every_row_has_its_figures(self):
        for start, label, cells in CASES:
            row = re.compile(r"  " + re.escape(label) + r"\s+" + cells + r"(\s|$)")
            lines = self.section(start)
            self.assertTrue(any(row.match(line) for line in lines),
                            "%s: no row %r matching %r in\n%s" % (start, label, cells,
                                                                 "\n".join(lines)))


if __name__ == "__main__":
    unittest.main()

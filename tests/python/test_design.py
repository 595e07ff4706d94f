"""docs/design.md's checklists stay true: each step names a file that exists and a name that
file defines, so that a renamed or moved piece fails here instead of misleading a maintainer."""
import os
import re
import unittest

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


if __name__ == "__main__":
    unittest.main()

"""Action files in a real git repository, set up as docs/actiontool.md says: git diff and git
log -p show dump listings, branches that change different actions merge cleanly, and a clash
on one field leaves a conflict document, named after the file, that a person chooses in and
applies with one command."""
from __future__ import print_function

import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import support
from support import q
from test_actiontool import EXAMPLE, TOOL, gunzip

try:
    from pipes import quote  # Python 2
except ImportError:
    from shlex import quote

GIT = shutil.which("git") if hasattr(shutil, "which") else (
    "/usr/bin/git" if os.path.exists("/usr/bin/git") else None)


@unittest.skipIf(GIT is None, "git is not installed")
class GitTest(unittest.TestCase):

    def setUp(self):
        self.repo = tempfile.mkdtemp(prefix="actions-git-")
        self.addCleanup(shutil.rmtree, self.repo, True)
        tool = "%s %s" % (quote(sys.executable), quote(TOOL))
        self.git("init", "-q", "-b", "main")
        for key, value in [
                ("user.name", "Designer"), ("user.email", "designer@example.invalid"),
                ("commit.gpgsign", "false"),
                ("diff.actions.textconv", tool + " dump"),
                ("merge.actions.name", "action files, field by field"),
                ("merge.actions.driver", tool + " merge --name %P --conflicts "
                                                "%P.conflicts.json %O %A %B %A")]:
            self.git("config", key, value)
        with open(self.at(".gitattributes"), "w") as f:
            f.write("*.gz diff=actions merge=actions\n")
        subprocess.check_call([sys.executable, TOOL, "import", EXAMPLE,
                               self.at("spells.gz")], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
        self.commit("the example set")

    def at(self, name):
        return os.path.join(self.repo, name)

    def git(self, *args, **options):
        """git's output; with check=False, (status, output) whatever the status."""
        process = subprocess.Popen([GIT] + list(args), cwd=self.repo, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT)
        out = process.communicate()[0].decode("utf-8")
        if options.get("check", True):
            self.assertEqual(process.returncode, 0, "git %s: %s" % (" ".join(args), out))
            return out
        return process.returncode, out

    def commit(self, message):
        self.git("add", "-A")
        self.git("commit", "-q", "-m", message)

    def edit(self, change):
        """Changes the actions of spells.gz in the work tree by change(actions)."""
        actions = list(q.read_actions(self.at("spells.gz")))
        change(actions)
        q.write_actions(self.at("spells.gz"), actions)

    @staticmethod
    def set_base(action_id, value):
        def change(actions):
            [action] = [a for a in actions if a.actionID == action_id]
            action.details[0].body.base = value
        return change

    def expected(self, *changes):
        """The uncompressed bytes of the example set with changes made."""
        actions = list(q.read_actions(self.at("base.gz")))
        for change in changes:
            change(actions)
        path = self.at("expected.gz")
        q.write_actions(path, actions)
        data = gunzip(path)
        os.remove(path)
        return data

    def keep_base(self):
        shutil.copy(self.at("spells.gz"), self.at("base.gz"))
        with open(self.at(".git/info/exclude"), "a") as f:
            f.write("base.gz\n")

    def test_diff_and_log_show_the_listing(self):
        self.edit(self.set_base(1001, 9))
        shown = self.git("diff")
        self.assertNotIn("Binary files", shown)
        removed = [line for line in shown.splitlines() if line.startswith("-  ")]
        added = [line for line in shown.splitlines() if line.startswith("+  ")]
        self.assertEqual(len(removed), 1, shown)
        self.assertEqual("+" + removed[0][1:].replace("base=3", "base=9"), added[0], shown)
        self.commit("stronger lance")
        self.assertIn(added[0], self.git("log", "-p", "-1"))

    def test_branches_merge_by_field_and_a_clash_is_chosen_in_a_document(self):
        self.keep_base()
        self.git("checkout", "-q", "-b", "theirs")
        self.edit(self.set_base(1001, 7))
        self.edit(self.set_base(1005, 1))
        self.commit("theirs")
        self.git("checkout", "-q", "main")
        self.git("branch", "clean", "main")
        self.edit(self.set_base(1011, 4))  # another action: merges cleanly
        self.commit("ours")
        self.git("merge", "-q", "--no-edit", "theirs")
        self.assertEqual(gunzip(self.at("spells.gz")), self.expected(
            self.set_base(1001, 7), self.set_base(1005, 1), self.set_base(1011, 4)))

        self.git("checkout", "-q", "clean")
        self.edit(self.set_base(1001, 5))  # the same field as theirs: a clash
        self.commit("ours, clashing")
        status, out = self.git("merge", "--no-edit", "theirs", check=False)
        self.assertNotEqual(status, 0, out)
        self.assertIn("conflict: id 1001 details[0].body.base: base 3, ours 5, theirs 7", out)
        self.assertIn("spells.gz not written: conflicts left", out)
        self.assertNotIn(".merge_file", out)
        self.assertEqual(gunzip(self.at("spells.gz")), self.expected(self.set_base(1001, 5)))
        with io.open(self.at("spells.gz.conflicts.json"), encoding="utf-8") as f:
            document = json.load(f)
        self.assertEqual(document["conflicts"], "spells.gz")
        [clash] = [field for change in document["changes"] for field in change.get("fields", ())
                   if "take" in field]
        self.assertEqual((clash["base"], clash["ours"], clash["theirs"], clash["take"]),
                         (3, 5, 7, "ours or theirs"))

        apply = [sys.executable, TOOL, "patch", "spells.gz",
                 "spells.gz.conflicts.json", "spells.gz"]
        refused = subprocess.Popen(apply, cwd=self.repo, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        err = refused.communicate()[1].decode("utf-8")
        self.assertEqual(refused.returncode, 2, err)
        self.assertIn('id 1001 details[0].body.base: choose a side: "take" is "ours" or '
                      '"theirs"', err)
        for choice, value in (("ours", 5), ("theirs", 7)):
            clash["take"] = choice
            with io.open(self.at("chosen.json"), "w", encoding="utf-8") as f:
                f.write(json.dumps(document, ensure_ascii=False))
            shutil.copy(self.at("spells.gz"), self.at("work.gz"))
            subprocess.check_call(apply[:3] + ["work.gz", "chosen.json", "work.gz"],
                                  cwd=self.repo, stdout=subprocess.PIPE)
            self.assertEqual(gunzip(self.at("work.gz")), self.expected(
                self.set_base(1001, value), self.set_base(1005, 1)), choice)


if __name__ == "__main__":
    unittest.main()

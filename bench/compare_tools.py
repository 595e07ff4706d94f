"""Every actiontool command run by two versions of the tool on one generated file, in one run:
whether their outputs are the same bytes, and the CPU seconds of each (a figure per run, not
a timed test). For a change that must keep the tool's output and speed:

    git archive OLD python tools | tar -x -C /tmp/before       # the version before
    cp -r build/python3/* /tmp/before-mod/ && cp -r /tmp/before/python/* /tmp/before-mod/
    python3 bench/compare_tools.py /tmp/before/tools/actiontool /tmp/before-mod \\
        tools/actiontool build/python3 [--actions 200000] [--work DIR] [COMMAND ...]

The second file, for diff, is the first with a text renamed, values changed, stat entries
added, an action removed, one moved and one added; patch applies diff --patch's change from the
first to the second; merge takes the first as base, the second as ours and a third, changed
elsewhere, as theirs. Outputs are compared as their uncompressed
bytes (a .gz), their SQL dump (a database), or as they are; the output folder's own name is
left out of the printed lines."""
from __future__ import print_function, division

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from measure import run_command  # noqa: E402

COMMANDS = ("dump", "check", "export", "export-csv", "export-sqlite", "diff", "diff-patch",
            "import", "import-csv", "import-sqlite", "html", "sql", "patch", "merge")


def arguments(command, work, out):
    a, b = os.path.join(work, "a.gz"), os.path.join(work, "b.gz")
    return {
        "dump": ["dump", a], "check": ["check", a],
        "export": ["export", a, os.path.join(out, "a.json")],
        "export-csv": ["export", "--csv", os.path.join(out, "csv"), a],
        "export-sqlite": ["export", "--sqlite", os.path.join(out, "a.db"), a],
        "diff": ["diff", a, b], "diff-patch": ["diff", "--patch", a, b],
        "import": ["import", os.path.join(work, "a.json"), os.path.join(out, "a.gz")],
        "import-csv": ["import", "--csv", os.path.join(work, "csv"), os.path.join(out, "c.gz")],
        "import-sqlite": ["import", "--sqlite", os.path.join(work, "a.db"),
                          os.path.join(out, "d.gz")],
        "html": ["html", a, os.path.join(out, "a.html")],
        "sql": ["sql", a, "SELECT count(*), sum(base) FROM details"],
        "patch": ["patch", a, os.path.join(work, "b.patch"), os.path.join(out, "p.gz")],
        "merge": ["merge", a, b, os.path.join(work, "c.gz"), os.path.join(out, "m.gz")],
    }[command]


def run(tool, module_dir, argv):
    """(status, stdout, CPU seconds) of the tool run with argv."""
    env = dict(os.environ, PYTHONPATH=module_dir, QN4T_MODULE_DIR=module_dir)
    with tempfile.NamedTemporaryFile(prefix="qn4t-compare-") as out:
        done = run_command([sys.executable, tool] + argv, env, out.name)
        with open(out.name, "rb") as stdout:
            return done.status, stdout.read(), done.cpu


def digest(out_dir, stdout):
    """A digest of what a command gave: its stdout and the files it wrote."""
    found = hashlib.md5(stdout.replace(out_dir.encode(), b"OUT"))
    for folder, _, names in sorted(os.walk(out_dir)):
        for name in sorted(names):
            path = os.path.join(folder, name)
            if name.endswith(".gz"):
                found.update(subprocess.check_output(["gzip", "-dc", path]))
            elif name.endswith(".db"):
                found.update(subprocess.check_output(["sqlite3", path, ".dump"]))
            else:
                with open(path, "rb") as stream:
                    found.update(stream.read())
    return found.hexdigest()[:12]


MAKE_CHANGED = """
import sys
import qn4tGenericActionLoader as q
actions = list(q.read_actions(sys.argv[1]))
actions[10].name = "Renamed"
for action in actions[1000::20000]:
    for detail in action.details:
        if detail.type == 1:
            detail.body.base = (detail.body.base + 1) % 30000
            break
for action in actions[3000:3200:40]:
    for detail in action.details:
        if detail.type == 2:
            detail.body.stats.append(q.Stat(stat=7, modAmt=3))
            break
del actions[len(actions) // 2]
actions.append(actions.pop(20))
added = q.Action.from_dict(actions[0].to_dict())
added.actionID = 999999
actions.append(added)
q.write_actions(sys.argv[2], actions)
"""


# The other side of a merge: changed elsewhere than b.gz, so that merge has work and no conflict.
MAKE_THEIRS = """
import sys
import qn4tGenericActionLoader as q
actions = list(q.read_actions(sys.argv[1]))
actions[11].name = "Theirs"
for action in actions[5000::30000]:
    action.levelAcquired = (action.levelAcquired + 1) % 50
q.write_actions(sys.argv[2], actions)
"""


def prepare(work, count, tool, module_dir):
    """The files every command reads: a.gz of count actions, b.gz changed from it, and
    a.json, csv/ and a.db exported from a.gz by the tool given."""
    a = os.path.join(work, "a.gz")
    if not os.path.exists(a):
        subprocess.check_call([sys.executable, os.path.join(HERE, "generate_actions.py"), a,
                               str(count)])
    env = dict(os.environ, PYTHONPATH=module_dir)
    subprocess.check_call([sys.executable, "-c", MAKE_CHANGED, a, os.path.join(work, "b.gz")],
                          env=env)
    subprocess.check_call([sys.executable, "-c", MAKE_THEIRS, a, os.path.join(work, "c.gz")],
                          env=env)
    _, patch_text, _ = run(tool, module_dir, ["diff", "--patch", a, os.path.join(work, "b.gz")])
    with open(os.path.join(work, "b.patch"), "wb") as stream:
        stream.write(patch_text)
    for argv in (["export", a, os.path.join(work, "a.json")],
                 ["export", "--csv", os.path.join(work, "csv"), a],
                 ["export", "--sqlite", os.path.join(work, "a.db"), a]):
        status, _, _ = run(tool, module_dir, argv)
        if status:
            raise SystemExit("compare_tools: actiontool %s failed" % " ".join(argv))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("before_tool")
    parser.add_argument("before_module_dir")
    parser.add_argument("after_tool")
    parser.add_argument("after_module_dir")
    parser.add_argument("commands", nargs="*", default=COMMANDS)
    parser.add_argument("--actions", type=int, default=200000)
    parser.add_argument("--work", default=os.path.join(os.environ.get("TMPDIR", "/tmp"),
                                                       "qn4t-compare"))
    # Commands may follow the options, as the usage above shows (Python 3.7 and newer).
    args = getattr(parser, "parse_intermixed_args", parser.parse_args)()
    if not os.path.isdir(args.work):
        os.makedirs(args.work)
    prepare(args.work, args.actions, args.before_tool, args.before_module_dir)
    print("%-14s %8s %8s %7s  %s" % ("command", "before s", "after s", "ratio", "output"))
    for command in args.commands:
        cells = []
        for side, (tool, module_dir) in enumerate(
                ((args.before_tool, args.before_module_dir),
                 (args.after_tool, args.after_module_dir))):
            out = os.path.join(args.work, "out-%d-%s" % (side, command))
            shutil.rmtree(out, ignore_errors=True)
            os.makedirs(out)
            status, stdout, cpu = run(tool, module_dir, arguments(command, args.work, out))
            cells.append((status, cpu, digest(out, stdout)))
        (old_status, old_cpu, old_out), (new_status, new_cpu, new_out) = cells
        same = "same" if (old_status, old_out) == (new_status, new_out) else \
            "differs (status %d -> %d)" % (old_status, new_status)
        print("%-14s %8.2f %8.2f %7.2f  %s" % (command, old_cpu, new_cpu,
                                               new_cpu / old_cpu if old_cpu else 0, same))
        sys.stdout.flush()


if __name__ == "__main__":
    main()

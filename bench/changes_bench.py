"""Time and peak memory of `actiontool diff`, `diff --patch`, `patch` and `merge` against
`zcat` of the same file, in one run (figures of one run, not a timed test):

    python bench/changes_bench.py [--actions 20000,200000] [--runs 3] [--work DIR] [--keep]

Makes (once per size, in --work) a base file of generated actions and two versions of it
("ours" and "theirs"), each with about 1% of its actions changed (a value, a text, stat
entries added or cut), some removed, moved and added, an actionID made to repeat, and a
few actions both versions change differently (conflicts). Each command runs as its own
process of this interpreter, the tool of this source tree and the module on PYTHONPATH;
its time is the best of --runs, its peak resident memory from wait4(). Prints per size and
command the seconds, the ratio to zcat of the base file, the same for the CPU seconds (user
and system, all threads; steadier than the clock on a shared machine) and the peak MB. With --keep the
commands' outputs stay in --work/out-SIZE, to compare with `cmp` between two versions.
"""
from __future__ import print_function, division

import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(os.path.dirname(HERE), "tools", "actiontool")

CHANGED = """
import sys
import qn4tGenericActionLoader as q
source, target, offset = sys.argv[1], sys.argv[2], int(sys.argv[3])
actions = list(q.read_actions(source))
count = len(actions)
for number in range(offset, count, 100):          # about 1% changed
    action = actions[number]
    if number % 300 == offset:
        action.name = "Renamed %d" % number
    for detail in action.details:
        if detail.type == 1:
            detail.body.base = (detail.body.base + 1 + offset) % 30000
        elif detail.type == 2 and number % 200 == offset:
            detail.body.stats.append(q.Stat(stat=7, modAmt=3 + offset))
        elif detail.type == 2 and len(detail.body.stats):
            del detail.body.stats[0]
for number in range(7 + offset, count, 2000):      # both sides change these differently
    actions[number].levelAcquired = (actions[number].levelAcquired + 1 + offset) % 200
actions[6 + offset].actionID = actions[5 + offset].actionID   # a repeated ID
for number in range(count - 1000 - offset, 0, -5000):          # removed
    del actions[number]
for number in range(30 + offset, len(actions) - 1, 10000):     # moved
    actions.insert(number + 500 if number + 500 < len(actions) else 0, actions.pop(number))
for number in range(40 + offset, len(actions), 20000):         # added
    added = q.Action.from_dict(actions[number].to_dict())
    added.actionID = 900000 + number + offset
    actions.insert(number, added)
q.write_actions(target, actions)
"""


def peak_run(argv, stdout):
    """(seconds, peak MB, status, CPU seconds) of argv run with its output to the file
    stdout."""
    with open(stdout, "wb") as out:
        started = time.time()
        proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.PIPE)
        _, status, usage = os.wait4(proc.pid, 0)
        seconds = time.time() - started
        proc.stderr.close()
    return (seconds, usage.ru_maxrss / 1024.0, status >> 8,
            usage.ru_utime + usage.ru_stime)


def files(work, count):
    base = os.path.join(work, "base-%d.gz" % count)
    if not os.path.exists(base):
        subprocess.check_call([sys.executable, os.path.join(HERE, "generate_actions.py"),
                               base, str(count)], stdout=subprocess.PIPE)
    sides = []
    for name, offset in (("ours", 0), ("theirs", 1)):
        path = os.path.join(work, "%s-%d.gz" % (name, count))
        if not os.path.exists(path):
            subprocess.check_call([sys.executable, "-c", CHANGED, base, path, str(offset)])
        sides.append(path)
    return [base] + sides


def commands(paths, out):
    base, ours, theirs = paths
    tool = [sys.executable, TOOL]
    patch = os.path.join(out, "patch.json")
    return [
        ("zcat", ["zcat", base], "zcat.out"),
        ("diff", tool + ["diff", base, ours], "diff.txt"),
        ("diff --patch", tool + ["diff", "--patch", base, ours], "patch.json"),
        ("patch", tool + ["patch", base, patch, os.path.join(out, "patched.gz")],
         "patch.txt"),
        ("merge", tool + ["merge", "--prefer", "theirs", base, ours, theirs,
                          os.path.join(out, "merged.gz")], "merge.txt"),
        ("merge --conflicts", tool + ["merge", "--conflicts", os.path.join(out, "c.json"),
                                      base, ours, theirs, os.path.join(out, "unmerged.gz")],
         "merge-conflicts.txt"),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--actions", default="20000,200000")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--work", default=os.path.join(os.environ.get("TMPDIR", "/tmp"),
                                                       "qn4t-changes"))
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    if not os.path.isdir(args.work):
        os.makedirs(args.work)
    print("%-8s %-18s %8s %7s %8s %7s %8s %s" % (
        "actions", "command", "seconds", "x zcat", "CPU s", "x zcat", "peak MB", "status"))
    for count in [int(n) for n in args.actions.split(",")]:
        paths = files(args.work, count)
        out = os.path.join(args.work, "out-%d" % count)
        if not os.path.isdir(out):
            os.makedirs(out)
        zcat = None
        for name, argv, stdout in commands(paths, out):
            runs = [peak_run(argv, os.path.join(out, stdout)) for _ in range(args.runs)]
            seconds, cpu = min(run[0] for run in runs), min(run[3] for run in runs)
            peak = max(run[1] for run in runs)
            zcat = (seconds, max(cpu, 0.01)) if zcat is None else zcat
            print("%-8d %-18s %8.2f %7.1f %8.2f %7.1f %8.1f %d" % (
                count, name, seconds, seconds / zcat[0], cpu, cpu / zcat[1], peak, runs[-1][2]))
            sys.stdout.flush()
        if not args.keep:
            for name in os.listdir(out):
                if name != "patch.json":
                    os.remove(os.path.join(out, name))


if __name__ == "__main__":
    main()

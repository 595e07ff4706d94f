"""The imports (JSON, CSV, SQLite) of generated action files against zcat of the same file,
with each command's peak memory, in one run:

    python bench/import_bench.py [--actions 20000,200000] [--repeat 3] [--work DIR]

For each number of actions: a file made by generate_actions.py, exported by the tool of this
source tree as JSON, CSV and SQLite; then each import is run --repeat times as its own process
(the interpreter running this script, the module found on PYTHONPATH), the best time shown as
a ratio to the best time of `zcat FILE > /dev/null` taken in the same run, and the peak
resident memory of the process from wait4(). Each import's own floor is shown beside it: the
same interpreter only decoding the same JSON text (json.loads), only parsing the same CSV
files (csv.reader) or only fetching the same rows (sqlite3), nothing made of them. Figures
of one run on a shared machine, not a timed test. Runs on Python 2.7 and Python 3.
"""
from __future__ import print_function, division

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(os.path.dirname(HERE), "tools", "actiontool")
IMPORTS = (
    ("import", lambda work: ["import", os.path.join(work, "a.json"),
                             os.path.join(work, "out.gz")]),
    ("import --csv", lambda work: ["import", "--csv", os.path.join(work, "csv"),
                                   os.path.join(work, "out.gz")]),
    ("import --sqlite", lambda work: ["import", "--sqlite", os.path.join(work, "a.db"),
                                      os.path.join(work, "out.gz")]),
)


# Each import's floor: the interpreter reading the same input and making nothing of it.
FLOORS = {
    "import": "import json, sys; json.loads(open(sys.argv[1], 'rb').read().decode('utf-8'))",
    "import --csv": "import csv, os, sys\n"
                    "for name in ('actions', 'details', 'stats'):\n"
                    "    with open(os.path.join(sys.argv[1], name + '.csv')) as f:\n"
                    "        for row in csv.reader(f): pass",
    "import --sqlite": "import sqlite3, sys\nc = sqlite3.connect(sys.argv[1])\n"
                       "for name in ('actions', 'details', 'stats'):\n"
                       "    for row in c.execute('SELECT * FROM ' + name): pass",
}


def timed(argv, stdout=None):
    """(seconds, peak resident MB) of one process; raises on a failing status."""
    with open(os.devnull, "wb") as devnull:
        start = time.time()
        process = subprocess.Popen(argv, stdout=stdout or devnull, stderr=subprocess.PIPE)
        _, status, usage = os.wait4(process.pid, 0)
        seconds = time.time() - start
        error = process.stderr.read()
        process.stderr.close()
    if status != 0:
        raise SystemExit("%s failed: %s" % (" ".join(argv), error.decode("utf-8", "replace")))
    return seconds, usage.ru_maxrss / 1024.0


def best(argv, repeat):
    runs = [timed(argv) for _ in range(repeat)]
    return min(seconds for seconds, _ in runs), max(peak for _, peak in runs)


def prepare(work, count):
    source = os.path.join(work, "a.gz")
    subprocess.check_call([sys.executable, os.path.join(HERE, "generate_actions.py"), source,
                           str(count)], stdout=subprocess.PIPE)
    tool = [sys.executable, TOOL]
    with open(os.devnull, "wb") as devnull:
        for argv in (["export", source, os.path.join(work, "a.json")],
                     ["export", "--csv", os.path.join(work, "csv"), source],
                     ["export", "--sqlite", os.path.join(work, "a.db"), source]):
            subprocess.check_call(tool + argv, stdout=devnull, stderr=devnull)
    return source


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--actions", default="20000,200000")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--work")
    args = parser.parse_args()
    root = args.work or tempfile.mkdtemp(prefix="import-bench-")
    print("host: Python %d.%d" % sys.version_info[:2])
    print("%-16s %9s %9s %9s %9s %9s" % ("command", "actions", "seconds", "x zcat", "peak MB",
                                         "x floor"))
    try:
        for count in [int(n) for n in args.actions.split(",")]:
            work = os.path.join(root, str(count))
            if not os.path.isdir(work):
                os.makedirs(work)
            source = prepare(work, count)
            floor, _ = best(["zcat", source], args.repeat)
            print("%-16s %9d %9.2f %9s %9s" % ("zcat (floor)", count, floor, "1.00x", "-"))
            for name, argv in IMPORTS:
                seconds, peak = best([sys.executable, TOOL] + argv(work), args.repeat)
                own, _ = best([sys.executable, "-c", FLOORS[name], argv(work)[-2]], args.repeat)
                print("%-16s %9d %9.2f %8.1fx %9.1f %8.1fx" % (
                    name, count, seconds, seconds / floor, peak, seconds / own))
                print("%-16s %9d %9.2f %8.1fx" % ("  its floor", count, own, own / floor))
                sys.stdout.flush()
    finally:
        if not args.work:
            shutil.rmtree(root, True)


if __name__ == "__main__":
    main()

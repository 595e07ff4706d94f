"""dump and check against zcat of the same file, in one run:

    python bench/walk_bench.py FILE.gz [FILE.gz ...]

For each file, `zcat FILE > /dev/null`, `actiontool dump FILE > /dev/null` and `actiontool
check FILE` run three times each as their own processes (the tool of this source tree on the
interpreter running this script, the module the tool finds); prints the best wall time of
each, its ratio to zcat's, and the tool's peak resident memory (wait4). Make files with
bench/generate_actions.py. Runs on Python 2.7 and Python 3.
"""
from __future__ import print_function, division

import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(os.path.dirname(HERE), "tools", "actiontool")
RUNS = 3


def timed(arguments):
    """(seconds, peak resident MB) of one run, its output dropped; exits on a failure."""
    with open(os.devnull, "wb") as devnull:
        start = time.time()
        proc = subprocess.Popen(arguments, stdout=devnull, stderr=devnull)
        _, status, usage = os.wait4(proc.pid, 0)
        seconds = time.time() - start
    if status != 0:
        sys.exit("%s failed (status %d)" % (" ".join(arguments), status))
    return seconds, usage.ru_maxrss / 1024.0


def best(arguments):
    runs = [timed(arguments) for _ in range(RUNS)]
    return min(s for s, _ in runs), max(m for _, m in runs)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    print("%-28s %-6s %8s %8s %8s" % ("file", "what", "seconds", "x zcat", "peak MB"))
    for path in sys.argv[1:]:
        zcat, _ = best(["zcat", path])
        print("%-28s %-6s %8.3f %8.2f %8s" % (os.path.basename(path), "zcat", zcat, 1.0, "-"))
        for command in ("dump", "check"):
            seconds, peak = best([sys.executable, TOOL, command, path])
            print("%-28s %-6s %8.3f %8.2f %8.1f" % (os.path.basename(path), command, seconds,
                                                    seconds / zcat, peak))


if __name__ == "__main__":
    main()

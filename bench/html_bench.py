"""`actiontool html` against `zcat` of the same file, measured in one run: for each count of
actions a generated file (bench/generate_actions.py), the best of RUNS wall-clock seconds of
`zcat FILE > /dev/null` and of `actiontool html FILE OUT.html`, their CPU seconds, the ratios,
and the tool's peak resident memory (wait4) with its growth from the first count to the last.
Prints figures, it is not a timed test; the goals (issue "Every command at its floor") are
printed beside them.

    python bench/html_bench.py [--runs N] [--work DIR] [COUNT ...]    (default 20000 200000)

The interpreter that runs this script runs the tool of this source tree, with the module it
finds (e.g. PYTHONPATH=build/python3). Runs on Python 2.7 and Python 3."""
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
GOAL_RATIO, GOAL_MB, GOAL_GROWTH = 6.0, 64, 1.3


def best_run(argv, runs):
    """(best wall seconds, CPU seconds of that run, peak resident MB of all runs) of argv."""
    best, peak = None, 0.0
    with open(os.devnull, "wb") as devnull:
        for _ in range(runs):
            start = time.time()
            proc = subprocess.Popen(argv, stdout=devnull, stderr=devnull)
            _, status, usage = os.wait4(proc.pid, 0)
            wall = time.time() - start
            if status != 0:
                raise SystemExit("%s failed (status %d)" % (" ".join(argv), status))
            peak = max(peak, usage.ru_maxrss / 1024.0)
            if best is None or wall < best[0]:
                best = (wall, usage.ru_utime + usage.ru_stime)
    return best[0], best[1], peak


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("counts", nargs="*", type=int, default=[20000, 200000])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--work", help="folder for the files (default: a temporary one)")
    args = parser.parse_args()
    work = args.work or tempfile.mkdtemp(prefix="qn4t-html-bench.")
    print("Python %d.%d, best of %d runs" % (sys.version_info[0], sys.version_info[1], args.runs))
    print("%8s %9s %9s %9s %9s %8s %8s %8s" % ("actions", "zcat s", "html s", "ratio",
                                              "cpu ratio", "peak MB", "zcat cpu", "html cpu"))
    peaks = []
    try:
        for count in args.counts:
            source = os.path.join(work, "a%d.gz" % count)
            if not os.path.exists(source):
                with open(os.devnull, "wb") as devnull:
                    subprocess.check_call([sys.executable, os.path.join(HERE, "generate_actions.py"),
                                           source, str(count)], stdout=devnull)
            zcat = best_run(["zcat", source], args.runs)
            html = best_run([sys.executable, TOOL, "html", source, os.path.join(work, "page.html")],
                            args.runs)
            peaks.append(html[2])
            print("%8d %9.2f %9.2f %8.1fx %8.1fx %8.0f %8.2f %8.2f" % (
                count, zcat[0], html[0], html[0] / zcat[0], html[1] / max(zcat[1], 0.01), html[2],
                zcat[1], html[1]))
    finally:
        if not args.work:
            shutil.rmtree(work, True)
    print("goals: html <= %.0fx zcat, peak <= %d MB at 200,000 actions, <= %.1fx from the "
          "first count to the last (here %.2fx)" % (GOAL_RATIO, GOAL_MB, GOAL_GROWTH,
                                                    peaks[-1] / peaks[0]))


if __name__ == "__main__":
    main()

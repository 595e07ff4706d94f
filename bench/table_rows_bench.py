"""The table commands (export --csv, export --sqlite, sql) against zcat of the same file and
against the Python floor of the same rows, with their peak memory at two sizes, measured in
one run (figures, not a timed test):

    python bench/table_rows_bench.py [--small 20000] [--large 200000] [--runs 3] [--work DIR]

Each command runs as its own process (this interpreter, tools/actiontool of this tree, the
module found on PYTHONPATH); its CPU seconds (user + system) and peak resident memory come
from wait4(). The floors are measured in this process on the large file's rows made in
advance (tables.rows): Python's csv writer of them, and sqlite3's executemany of them into a
new database file. Each time is the best of --runs. Prints one line per command:

    export --csv      1.23 s   2.1x zcat   0.9x floor   peak 30 MB (20k) -> 31 MB (200k) 1.03x
"""
from __future__ import print_function, division

import argparse
import csv
import io
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(os.path.dirname(HERE), "tools", "actiontool")


def measured(argv, stdout=None):
    """(CPU seconds, peak resident MB) of a process; raises when it fails."""
    proc = subprocess.Popen(argv, stdout=stdout or open(os.devnull, "wb"),
                            stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    err = proc.stderr.read()
    if status != 0:
        raise SystemExit("%s failed: %s" % (" ".join(argv), err.decode("utf-8", "replace")))
    return usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0


def best(runs, work):
    """(least CPU seconds, greatest peak MB) of work() run `runs` times."""
    figures = [work() for _ in range(runs)]
    return min(f[0] for f in figures), max(f[1] for f in figures)


def commands(path, out):
    return [
        ("export --csv", lambda: ["export", "--csv", os.path.join(out, "csv"), path], "csv"),
        ("export --sqlite", lambda: ["export", "--sqlite", os.path.join(out, "a.db"), path],
         "sqlite"),
        ("sql (a count)", lambda: ["sql", path, "SELECT count(*) FROM stats"], "sqlite"),
    ]


def tool_run(argv, out):
    def work():
        for name in ("csv", "a.db"):
            target = os.path.join(out, name)
            if os.path.isdir(target):
                shutil.rmtree(target)
            elif os.path.exists(target):
                os.remove(target)
        return measured([sys.executable, TOOL] + argv())
    return work


def process_seconds(work):
    start = time.process_time() if hasattr(time, "process_time") else time.clock()
    work()
    end = time.process_time() if hasattr(time, "process_time") else time.clock()
    return end - start


def floors(path, runs, out):
    """{"csv": seconds, "sqlite": seconds} of the Python floors over the file's rows."""
    import qn4tGenericActionLoader as q
    tables = q.tables
    made = tables.rows(q.read_actions(path))

    def write_csv():
        for table in tables.schema():
            stream = io.BytesIO() if sys.version_info[0] == 2 else io.StringIO()
            writer = csv.writer(stream, lineterminator="\n")
            writer.writerows(made[table.name])

    def insert():
        database = os.path.join(out, "floor.db")
        if os.path.exists(database):
            os.remove(database)
        connection = sqlite3.connect(database)
        with connection:
            tables.create_tables(connection)
            for table in tables.schema():
                marks = ", ".join("?" * (len(table.keys) + len(table.columns)))
                connection.executemany("INSERT INTO %s VALUES (%s)" % (table.name, marks),
                                       made[table.name])
        connection.close()

    return {"csv": min(process_seconds(write_csv) for _ in range(runs)),
            "sqlite": min(process_seconds(insert) for _ in range(runs))}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--small", type=int, default=20000)
    parser.add_argument("--large", type=int, default=200000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--work", help="folder for the files (default: a new temporary one)")
    args = parser.parse_args()
    work = args.work or tempfile.mkdtemp(prefix="table-rows-bench-")
    files = {}
    for count in (args.small, args.large):
        files[count] = os.path.join(work, "a%d.gz" % count)
        if not os.path.exists(files[count]):
            subprocess.check_call([sys.executable, os.path.join(HERE, "generate_actions.py"),
                                   files[count], str(count)], stdout=open(os.devnull, "wb"))
    out = os.path.join(work, "out")
    if not os.path.isdir(out):
        os.mkdir(out)
    large = files[args.large]
    zcat = best(args.runs, lambda: measured(["zcat", large]))[0]
    lines = []
    for title, argv, kind in commands(large, out):  # before the floors hold the rows here:
        seconds, large_peak = best(args.runs, tool_run(argv, out))  # a child's peak counts
        small_argv = commands(files[args.small], out)[[c[0] for c in commands(  # its parent's
            large, out)].index(title)][1]
        _, small_peak = best(1, tool_run(small_argv, out))
        lines.append((title, kind, seconds, small_peak, large_peak))
    floor = floors(large, args.runs, out)
    print("Python %d.%d, %d actions: zcat %.2f s; floors: csv writer %.2f s (%.1fx zcat), "
          "sqlite3 executemany %.2f s (%.1fx zcat)" % (
              sys.version_info[0], sys.version_info[1], args.large, zcat, floor["csv"],
              floor["csv"] / zcat, floor["sqlite"], floor["sqlite"] / zcat))
    for title, kind, seconds, small_peak, large_peak in lines:
        print("%-16s %6.2f s %6.1fx zcat %6.2fx floor   peak %3.0f MB (%dk) -> %3.0f MB "
              "(%dk) %.2fx" % (title, seconds, seconds / zcat, seconds / floor[kind],
                               small_peak, args.small // 1000, large_peak,
                               args.large // 1000, large_peak / small_peak))
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

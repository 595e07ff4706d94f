"""Peak memory of every actiontool command on two small files that inflate to much:

    python bench/bomb_memory.py [--limit MB] [FOLDER]

- "one big stat modification": one action whose one stat modification holds 2^24 entries
  (64 MB uncompressed, about 65 KB compressed);
- "empty actions": 2.8 million actions with no texts and no details (67 MB, about 65 KB).

Each command runs as its own process (the interpreter running this script, the tool of this
source tree, the module found by the tool); its peak resident memory comes from wait4(). Prints
one line per command and file: the peak in MB, the exit status and the first line of stderr.
--limit MB caps each command's address space (RLIMIT_AS) at MB, so that one that would take
more ends with the tool's "out of memory" line instead of taking the machine's memory (the
peak shown is then what it had reached). Runs on Python 2.7 and Python 3. Files go into a new folder inside
FOLDER (default: a new temporary folder), about 1 GB for the exports.
"""
from __future__ import print_function, division

import argparse
import gzip
import os
import shutil
import struct
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from measure import run_command  # noqa: E402

TOOL = os.path.join(os.path.dirname(HERE), "tools", "actiontool")

HEAD = struct.Struct("<IHHBBBBIIBBBB")
DETAIL_HEADER = struct.Struct("<HH")
STATMOD_BODY = struct.Struct("<BBHHHII")
STATMOD = 2
ENTRIES = 1 << 24
EMPTY_ACTIONS = 2800000


def write_gzip(path, pieces):
    with gzip.open(path, "wb") as out:
        for piece in pieces:
            out.write(piece)


def big_stat_modification(path):
    body = STATMOD_BODY.pack(0, 1, 10, 0, 0, 0, ENTRIES)
    head = HEAD.pack(1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0)
    chunk = b"\0" * (1 << 20)
    pieces = [head, DETAIL_HEADER.pack(STATMOD, len(body)), body]
    pieces += [chunk] * (ENTRIES * 4 // len(chunk))
    write_gzip(path, pieces)


def empty_actions(path):
    block = b"".join(HEAD.pack(n, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0) for n in range(10000))
    write_gzip(path, [block] * (EMPTY_ACTIONS // 10000))


def run(arguments, limit, interpreter=sys.executable, env=None, cpu_seconds=None):
    """(peak resident MB, exit status, first line of stderr) of the tool run with arguments
    by interpreter, its address space capped at limit bytes and its CPU time at cpu_seconds
    (None: not capped; past it the status is -SIGXCPU and the peak what it had reached)."""
    done = run_command([interpreter, TOOL] + arguments, env, limit_bytes=limit,
                       limit_cpu_seconds=cpu_seconds)
    return done.peak_kb / 1024.0, done.status, done.error


def peaks(source, folder, limit, interpreter=sys.executable, env=None, cpu_seconds=None):
    """(label, peak MB, exit status, first line of stderr) of every command on source, each
    run by interpreter with env and capped as run() caps it; outputs go into folder."""
    found = []
    for label, arguments in commands(source, folder):
        if label.startswith("patch"):  # the patch is what diff --patch printed
            run_command([interpreter, TOOL, "diff", "--patch"] + arguments[1:2] + [source], env,
                        os.path.join(folder, "change.json"), limit, cpu_seconds)
        found.append((label,) + run(arguments, limit, interpreter, env, cpu_seconds))
    return found


def commands(source, folder):
    """(label, arguments) of every command, on source; outputs in folder."""
    json_path = os.path.join(folder, "export.json")
    csv_folder = os.path.join(folder, "csv")
    database = os.path.join(folder, "export.db")
    patch = os.path.join(folder, "change.json")
    small = os.path.join(folder, "small.gz")
    write_gzip(small, [HEAD.pack(1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0)])
    return [
        ("dump", ["dump", source]),
        ("check", ["check", source]),
        ("export", ["export", source, json_path]),
        ("import (its JSON export)", ["import", json_path, os.path.join(folder, "a.gz")]),
        ("export --csv", ["export", "--csv", csv_folder, source]),
        ("import --csv", ["import", "--csv", csv_folder, os.path.join(folder, "b.gz")]),
        ("export --sqlite", ["export", "--sqlite", database, source]),
        ("import --sqlite", ["import", "--sqlite", database, os.path.join(folder, "c.gz")]),
        ("html", ["html", source, os.path.join(folder, "page.html")]),
        ("sql", ["sql", source, "SELECT count(*) FROM stats"]),
        ("diff (with itself)", ["diff", source, source]),
        ("diff --patch (from a small file)", ["diff", "--patch", small, source]),
        ("patch (that patch onto the small file)", ["patch", small, patch,
                                                    os.path.join(folder, "d.gz")]),
        ("merge (small, it, small)", ["merge", small, source, small,
                                      os.path.join(folder, "e.gz")]),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--limit", type=int, metavar="MB",
                        help="cap each command's address space at MB")
    parser.add_argument("folder", nargs="?",
                        help="where the files are made: a new folder inside it, removed at "
                             "the end (default: a new temporary folder)")
    args = parser.parse_args()
    limit = args.limit << 20 if args.limit else None
    # Files go into a folder of their own, so that clearing it between the two files never
    # touches what the folder given held.
    folder = tempfile.mkdtemp(prefix="qn4t-bombs.", dir=args.folder)
    print("Python %d.%d; files in %s; address space %s" % (
        sys.version_info[0], sys.version_info[1], folder,
        "%d MB at most" % (limit >> 20) if limit else "not capped"))
    try:
        for title, make in (("one big stat modification", big_stat_modification),
                            ("empty actions", empty_actions)):
            source = os.path.join(folder, "bomb.gz")
            make(source)
            print("\n%s: %d bytes" % (title, os.path.getsize(source)))
            for label, peak, status, first in peaks(source, folder, limit):
                print("  %-40s %8.0f MB  exit %3d  %s" % (label, peak, status, first))
            for name in os.listdir(folder):
                path = os.path.join(folder, name)
                shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()

"""Every actiontool command against its goal, in one run: its time as a ratio to zcat of the
same file (and to the Python floor of the same rows for the tables), its peak resident memory
at two sizes and their growth, write_actions against pigz and gzip, and (--bombs) the peak
memory of every command on the two memory bombs. Prints figures; it asserts nothing.

    python bench/command_bench.py [--quick] [--actions N] [--small N] [--repeat N]
                                  [--bombs [--bomb-seconds S] [--limit MB]] [--work DIR]

Runs on the interpreter that starts it, with the module found as actiontool finds it (the
Python path, QN4T_MODULE_DIR, then build/); scripts/bench.sh runs it through bench/run_all.py, a
column per Python host. --quick: --actions 20000, no second size, two rounds. --bombs adds
the memory bombs, each command stopped after S CPU seconds (default 10); on a busy machine
they take several minutes per host, so the default run leaves them out.
Generated files are kept in DIR (default: $TMPDIR/qn4t-commands) and made only when missing.
"""
from __future__ import print_function, division

import argparse
import itertools
import json
import os
import shutil
import signal
import subprocess
import sys
import time
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bomb_memory  # noqa: E402
import generate_actions  # noqa: E402
from measure import Table, run_command  # noqa: E402

TOOL = os.path.join(os.path.dirname(HERE), "tools", "actiontool")
FILE_BENCH = os.path.join(HERE, "file_bench.py")
ACTIONS, SMALL_ACTIONS, QUICK_ACTIONS = 200000, 20000, 20000
ROUNDS, QUICK_ROUNDS = 3, 2
# A command that took longer than this is not run again: at that length one run's noise is a
# small share of it, and it keeps the whole run within about a quarter of an hour.
RERUN_BELOW_SECONDS = 8.0
MEMORY_GOAL_MB, GROWTH_GOAL = 64, 1.3
BOMB_BOUND_MB = 128
# A command still running on a bomb after this much CPU is stopped, its peak so far shown:
# the bombs are about memory, and a slow command would otherwise take many minutes.
BOMB_CPU_SECONDS = 10
CHANGED_SHARE = 100  # one action in this many is changed in the files diff and merge read

# The rows: label, the command's arguments ({name} is a path of Inputs), its goal as a
# multiple of zcat's time (None: no time goal), the floor of its rows (None: none), and
# the exit statuses that are a success. "visit" is a script, not an actiontool command.
ROWS = (
    ("dump", ["dump", "{a}"], 3, None, (0,)),
    ("import (JSON)", ["import", "{json}", "{out_gz}"], 6, None, (0,)),
    ("diff (1% changed)", ["diff", "{a}", "{b}"], 4, None, (0, 1)),
    ("diff --patch", ["diff", "--patch", "{a}", "{b}"], 4, None, (0, 1)),
    ("patch", ["patch", "{a}", "{patch}", "{out_gz}"], 4, None, (0,)),
    ("merge", ["merge", "{a}", "{b}", "{c}", "{out_gz}"], 6, None, (0,)),
    ("html", ["html", "{a}", "{out_page}"], 6, None, (0,)),
    ("export --csv", ["export", "--csv", "{out_csv}", "{a}"], 4, "csv", (0,)),
    ("export --sqlite", ["export", "--sqlite", "{out_db}", "{a}"], 4, "sqlite", (0,)),
    ("sql (one count)", ["sql", "{a}", "SELECT count(*) FROM stats"], 4, "sql", (0,)),
    ("import --csv", ["import", "--csv", "{csv}", "{out_gz}"], 8, None, (0,)),
    ("import --sqlite", ["import", "--sqlite", "{db}", "{out_gz}"], 8, None, (0,)),
    ("export", ["export", "{a}", "{out_json}"], None, None, (0,)),
    ("check", ["check", "{a}"], None, None, (0,)),
    ("read whole, then visit every detail", "visit", 2, None, (0,)),
)
VISIT = "read whole, then visit every detail"
FLOOR_LABELS = {"csv": "csv writer of the same rows", "sqlite": "sqlite3 executemany of them",
                "sql": "sqlite3 in memory: executemany, then the count"}
WRITE_GOAL, SIZE_GOAL = 0.6, 1.01


class Interpreter(object):
    """A Python host: its label, its interpreter and the environment its commands run in (the
    module on the Python path)."""

    def __init__(self, interpreter=sys.executable, env=None, label=None):
        self.interpreter = interpreter
        self.env = dict(os.environ if env is None else env)
        parts = (self.env.get("PYTHONPATH", ""), self.env.get("QN4T_MODULE_DIR", ""), HERE)
        self.env["PYTHONPATH"] = os.pathsep.join(p for p in parts if p)
        self.env["PYTHONDONTWRITEBYTECODE"] = "1"
        self.label = label or "Python %d.%d" % sys.version_info[:2]

    def tool(self, arguments):
        return [self.interpreter, TOOL] + list(arguments)

    def job(self, argv):
        """The JSON a script run on this host prints last."""
        out = subprocess.check_output([self.interpreter] + argv, env=self.env)
        return json.loads(out.decode("utf-8").splitlines()[-1])


class Inputs(object):
    """The files the commands read for one generated file of `count` actions, made by the
    tool under test (export, diff --patch) and by the package (the changed files), and the
    outputs the commands write, all in one folder."""

    def __init__(self, host, source, count, folder):
        self.count, self.folder = count, folder
        self.paths = {"a": source}
        for name, file_name in (("json", "a.json"), ("csv", "csv"), ("db", "a.db"), ("b", "b.gz"),
                                ("c", "c.gz"), ("patch", "patch.json"), ("out_gz", "out.gz"),
                                ("out_json", "out.json"), ("out_csv", "out-csv"),
                                ("out_db", "out.db"), ("out_page", "out.html")):
            self.paths[name] = os.path.join(folder, file_name)
        if not os.path.isdir(folder):
            os.makedirs(folder)
        self._make(host)

    def _make(self, host):
        p = self.paths
        if not os.path.exists(p["c"]):
            for offset, name in ((0, "b"), (CHANGED_SHARE // 2, "c")):
                subprocess.check_call([host.interpreter, os.path.abspath(__file__), "change",
                                       p["a"], p[name] + ".part", str(offset)], env=host.env)
                os.rename(p[name] + ".part", p[name])
        for name, arguments, stdout in (
                ("json", ["export", p["a"], p["json"]], None),
                ("csv", ["export", "--csv", p["csv"], p["a"]], None),
                ("db", ["export", "--sqlite", p["db"], p["a"]], None),
                ("patch", ["diff", "--patch", p["a"], p["b"]], p["patch"])):
            if not os.path.exists(p[name]):
                made = run_command(host.tool(arguments), host.env, stdout)
                if made.status not in (0, 1):
                    if stdout:
                        os.remove(stdout)
                    raise SystemExit("command_bench: actiontool %s: %s"
                                     % (" ".join(arguments), made.error))

    def argv(self, host, arguments):
        if arguments == "visit":
            return [host.interpreter, FILE_BENCH, "run", "decode", "visited", self.paths["a"],
                    str(self.count), "1"]
        return host.tool([a.format(**self.paths) for a in arguments])

    def clear_outputs(self):
        """Removes what a command wrote, so that each run starts from nothing."""
        for name in ("out_gz", "out_json", "out_csv", "out_db", "out_page"):
            path = self.paths[name]
            if os.path.isdir(path):
                shutil.rmtree(path)
            elif os.path.exists(path):
                os.remove(path)


def package():
    """The package, found as actiontool finds it."""
    tools = os.path.join(os.path.dirname(HERE), "tools")
    if tools not in sys.path:
        sys.path.insert(0, tools)
    from actionfile import module
    return module.load()


def change(source, target, offset):
    """Writes source with one action in CHANGED_SHARE changed (its level), from `offset` on."""
    q = package()

    def changed():
        for number, action in enumerate(q.read_actions(source)):
            if number % CHANGED_SHARE == offset:
                action.levelAcquired = (action.levelAcquired + 1) % 256
            yield action
    q.write_actions(target, changed())


def seconds_of(done, cpu):
    """The time of a Run: its CPU seconds where cpu, else its wall clock."""
    return done.cpu if cpu else done.seconds


def command_figures(host, inputs, rounds, cpu):
    """{label: (best seconds, peak kB, failure or None)} of every row, and the best seconds
    of zcat (CPU seconds where cpu, else wall); each round runs zcat and then every row once,
    so that the ratios hold on a machine whose speed drifts."""
    best, zcat = {}, float("inf")
    for round_number in range(rounds):
        zcat = min(zcat, seconds_of(run_command(["zcat", inputs.paths["a"]]), cpu))
        for label, arguments, _, _, statuses in ROWS:
            if round_number and (label not in best or best[label][2] or
                                 best[label][0] > RERUN_BELOW_SECONDS):
                continue
            inputs.clear_outputs()
            done = run_command(inputs.argv(host, arguments), host.env)
            progress("%s, %d actions, round %d: %s %.1f s, %.0f MB" % (
                host.label, inputs.count, round_number + 1, label, seconds_of(done, cpu),
                done.peak_kb / 1024.0))
            failure = None if done.status in statuses else "exit %d: %s" % (done.status, done.error)
            seconds, peak = seconds_of(done, cpu), done.peak_kb
            if label in best:
                seconds, peak = min(seconds, best[label][0]), max(peak, best[label][1])
            best[label] = (seconds, peak, failure)
    inputs.clear_outputs()
    return best, zcat


def progress(line):
    """A line on stderr while the table is being measured: the table itself comes at the end."""
    sys.stderr.write(line + "\n")
    sys.stderr.flush()


def peaks_at(host, inputs):
    """{label: peak kB} of one run of every row."""
    peaks = {}
    for label, arguments, _, _, _ in ROWS:
        inputs.clear_outputs()
        peaks[label] = run_command(inputs.argv(host, arguments), host.env).peak_kb
    inputs.clear_outputs()
    return peaks


# ---- The floors of the tables: the same rows through Python's csv and sqlite3 --------------

ROWS_PER_PIECE = 10000  # actions made into rows at a time, outside the timing


def table_floors(path, rounds, clock=timeit.default_timer):
    """{floor: best seconds of the rounds}: the rows of the file's actions (made a piece at a
    time, outside the timing) written by csv.writer, inserted with executemany into an SQLite
    file in one transaction ("sqlite"), and into an in-memory database followed by the count
    that sql runs ("sql")."""
    import tempfile
    best = dict((name, float("inf")) for name in FLOOR_LABELS)
    folder = tempfile.mkdtemp(prefix="qn4t-floor.")
    try:
        for _ in range(rounds):
            spent = _floors_once(path, folder, clock)
            for name in best:
                best[name] = min(best[name], spent[name])
    finally:
        shutil.rmtree(folder)
    return best


def _floors_once(path, folder, clock):
    import csv
    import sqlite3
    read_actions = package().read_actions
    from qn4tGenericActionLoader import tables
    spent = dict((name, 0.0) for name in FLOOR_LABELS)

    def timed(name, work):
        start = clock()
        work()
        spent[name] += clock() - start

    database = os.path.join(folder, "floor.db")
    if os.path.exists(database):
        os.remove(database)
    on_disk, in_memory = sqlite3.connect(database), sqlite3.connect(":memory:")
    for connection in (on_disk, in_memory):
        tables.create_tables(connection)
    sheets = dict((t.name, open(os.path.join(folder, t.name + ".csv"), "w"))
                  for t in tables.schema())
    writers = dict((name, csv.writer(sheet, lineterminator="\n")) for name, sheet in sheets.items())
    for t in tables.schema():
        writers[t.name].writerow(t.header())
    actions, first = read_actions(path), 0
    while True:
        rows = tables.rows(itertools.islice(actions, ROWS_PER_PIECE))
        if not rows["actions"]:
            break
        for table_rows in rows.values():  # rows() numbers each piece's actions from 0
            for row in table_rows:
                row[0] += first
        first += len(rows["actions"])
        timed("csv", lambda: [writers[name].writerows(r) for name, r in rows.items()])
        timed("sqlite", lambda: tables.insert_rows(on_disk, rows))
        timed("sql", lambda: tables.insert_rows(in_memory, rows))
    timed("csv", lambda: [sheet.close() for sheet in sheets.values()])
    timed("sqlite", lambda: (on_disk.commit(), on_disk.close()))
    timed("sql", lambda: in_memory.execute("SELECT count(*) FROM stats").fetchall())
    in_memory.close()
    return spent


# ---- One host's figures, and the table of every host ----------------------------------------

def host_figures(host, big, small, rounds, work, folders, cpu=False):
    """Everything measured on one host, as a dict of plain values; folders: {count: the
    folder of its inputs}."""
    figures = {"label": host.label, "count": big}
    inputs = Inputs(host, data_file(work, big), big, folders[big])
    figures["commands"], figures["zcat"] = command_figures(host, inputs, rounds, cpu)
    if small:
        small_inputs = Inputs(host, data_file(work, small), small, folders[small])
        figures["small_peaks"] = peaks_at(host, small_inputs)
    figures["floors"] = host.job([os.path.abspath(__file__), "floors", inputs.paths["a"],
                                  str(rounds)] + (["cpu"] if cpu else []))
    figures["write"] = host.job([FILE_BENCH, "compare", "encode", "actions,pigz2,gzip6",
                                 inputs.paths["a"], str(big), str(rounds)])
    return figures


def inputs_folder(work, count):
    """The folder of the inputs made from the file of count actions by the tool as it is: named
    after the last commit that changed the tool or the package, so that a changed tool makes
    them again (and each run does, outside a repository)."""
    try:
        revision = subprocess.check_output(
            ["git", "-C", os.path.dirname(HERE), "log", "-1", "--format=%h", "--", "tools",
             "python"], stderr=open(os.devnull, "wb")).decode("ascii").strip()
        dirty = subprocess.call(["git", "-C", os.path.dirname(HERE), "diff", "--quiet", "HEAD",
                                 "--", "tools", "python"])
    except (OSError, subprocess.CalledProcessError):
        revision, dirty = "", 1
    folder = os.path.join(work, "inputs-%d-%s" % (count, revision or "here"))
    if dirty and os.path.isdir(folder):
        shutil.rmtree(folder)
    return folder


def data_file(folder, count):
    path = os.path.join(folder, "actions-%d.gz" % count)
    if not os.path.exists(path):
        if not os.path.isdir(folder):
            os.makedirs(folder)
        generate_actions.write_file(path + ".part", count)
        os.rename(path + ".part", path)
    return path


def bomb_figures(hosts, work, limit_mb, cpu_seconds):
    """Per bomb: (its title, its bound in MB, per host (the largest peak MB of any command,
    that command, how many commands were stopped at cpu_seconds of CPU))."""
    results = []
    folder = os.path.join(work, "bombs")
    for title, make, bound in (
            ("one big stat modification", bomb_memory.big_stat_modification,
             max(BOMB_BOUND_MB, 2 * (bomb_memory.ENTRIES * 4 >> 20) + 64)),
            ("empty actions", bomb_memory.empty_actions, BOMB_BOUND_MB)):
        if os.path.isdir(folder):
            shutil.rmtree(folder)
        os.makedirs(folder)
        source = os.path.join(folder, "bomb.gz")
        make(source)
        per_host = []
        for host in hosts:
            peaks = bomb_memory.peaks(source, folder, limit_mb << 20, host.interpreter,
                                      host.env, cpu_seconds)
            label, peak_mb, _, _ = max(peaks, key=lambda p: p[1])
            stopped = sum(1 for p in peaks if p[2] == -signal.SIGXCPU)
            per_host.append((peak_mb, label, stopped))
        results.append((title, bound, per_host))
    shutil.rmtree(folder)
    return results


def verdict(met):
    return "met" if met else "MISSED"


def show(table, per_host, bombs=None, bomb_seconds=None, cpu=False):
    """Adds the sections of the figures of every host (each a host_figures dict)."""
    heads = [f["label"] for f in per_host]
    first = per_host[0]
    big = "%d" % first["count"]
    table.section("Commands at %s actions: best of the rounds' %s as a ratio to zcat's of the "
                  "same file in the same round (zcat: %s), and to the Python floor of the same "
                  "rows" % (big, "CPU seconds" if cpu else "wall time",
                            ", ".join("%.3f s" % f["zcat"] for f in per_host)), heads)
    for label, _, goal, floor, _ in ROWS:
        cells = []
        for f in per_host:
            seconds, _, failure = f["commands"][label]
            if failure:
                cells += [failure[:40], "", ""]
                continue
            to_zcat = seconds / f["zcat"]
            to_floor = seconds / f["floors"][floor] if floor else None
            met = goal is None or (to_zcat <= goal and (to_floor is None or to_floor <= 1))
            cells += ["%.1fx zcat" % to_zcat, "%.2fx floor" % to_floor if floor else "",
                      verdict(met) if goal else ""]
        note = "goal <= %gx zcat" % goal if goal else "no time goal"
        if floor:
            note += ", <= 1x floor (%s)" % FLOOR_LABELS[floor]
        table.row(label, cells, note)
    cells = []
    for f in per_host:
        cells += ["%.3f s" % f["zcat"], "", ""]
    table.row("zcat (the floor)", cells)
    for floor in ("csv", "sqlite", "sql"):
        cells = []
        for f in per_host:
            cells += ["%.1fx zcat" % (f["floors"][floor] / f["zcat"]), "", ""]
        table.row("floor: %s" % FLOOR_LABELS[floor], cells)

    table.section("write_actions of %s generated actions (default threads), best of the rounds:"
                  " time against pigz -p2 -6 and size against gzip -6 of the same bytes"
                  % big, heads)
    cells = []
    for f in per_host:
        w = f["write"]
        to_pigz = w["actions"] / w["pigz2"]
        to_size = w["written"]["actions"] / float(w["written"]["gzip6"])
        cells += ["%.2fx pigz" % to_pigz, "%.4fx size" % to_size,
                  verdict(to_pigz <= WRITE_GOAL and to_size <= SIZE_GOAL)]
    table.row("write_actions", cells, "goal <= %gx pigz -p2 -6, size <= %gx gzip -6"
              % (WRITE_GOAL, SIZE_GOAL))

    small = "small_peaks" in first
    table.section("Peak resident memory (wait4) %s" % (
        "at %d -> %s actions, and the growth" % (SMALL_ACTIONS, big) if small
        else "at %s actions" % big), heads)
    for label, _, _, _, _ in ROWS:
        cells = []
        for f in per_host:
            peak = f["commands"][label][1] / 1024.0
            if small:
                before = f["small_peaks"][label] / 1024.0
                growth = peak / before
                cells += ["%.0f -> %.0f MB" % (before, peak), "%.2fx" % growth,
                          verdict(peak <= MEMORY_GOAL_MB and growth <= GROWTH_GOAL)
                          if label != VISIT else ""]
            else:
                cells += ["%.0f MB" % peak, "", verdict(peak <= MEMORY_GOAL_MB)
                          if label != VISIT else ""]
        note = ("keeps every action by design" if label == VISIT else
                "goal <= %d MB%s" % (MEMORY_GOAL_MB, ", <= %gx" % GROWTH_GOAL if small else ""))
        table.row(label, cells, note)
    if bombs:
        table.section("Memory bombs (bench/bomb_memory.py): the largest peak of any command, "
                      "each stopped at %d s of CPU" % bomb_seconds, heads)
        for title, bound, per_bomb in bombs:
            cells = []
            for peak_mb, label, stopped in per_bomb:
                cells += ["%.0f MB" % peak_mb, label.split(" (")[0],
                          "MISSED" if peak_mb > bound else
                          "met" if not stopped else "%d stopped" % stopped]
            table.row(title, cells, "bound %d MB" % bound)
    return table


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--actions", type=int)
    parser.add_argument("--small", type=int)
    parser.add_argument("--repeat", type=int)
    parser.add_argument("--cpu", action="store_true",
                        help="CPU seconds (user + system) instead of wall time: steadier "
                             "where other work shares the machine")
    parser.add_argument("--bombs", action="store_true",
                        help="adds the memory bombs (several minutes per host)")
    parser.add_argument("--limit", type=int, default=3072,
                        help="address space of each command on the bombs, in MB")
    parser.add_argument("--bomb-seconds", type=int, default=BOMB_CPU_SECONDS,
                        help="CPU seconds after which a command on a bomb is stopped")
    parser.add_argument("--work", default=os.path.join(os.environ.get("TMPDIR", "/tmp"),
                                                       "qn4t-commands"))
    args = parser.parse_args(argv)
    if args.actions is None:
        args.actions = QUICK_ACTIONS if args.quick else ACTIONS
    if args.small is None:
        args.small = 0 if args.quick or args.actions <= SMALL_ACTIONS else SMALL_ACTIONS
    if args.repeat is None:
        args.repeat = QUICK_ROUNDS if args.quick else ROUNDS
    return args


def measure_hosts(hosts, args, table=None):
    """Measures on every host and adds the sections of their figures to table (a new one by
    default); returns the table."""
    folders = dict((count, inputs_folder(args.work, count)) for count in (args.actions, args.small)
                   if count)
    per_host = [host_figures(host, args.actions, args.small, args.repeat, args.work, folders,
                             args.cpu) for host in hosts]
    bombs = bomb_figures(hosts, args.work, args.limit, args.bomb_seconds) if args.bombs else None
    return show(table or Table(), per_host, bombs, args.bomb_seconds, args.cpu)


def main(argv):
    if argv[:1] == ["change"]:
        change(argv[1], argv[2], int(argv[3]))
        return 0
    if argv[:1] == ["floors"]:
        clock = timeit.default_timer
        if argv[3:] == ["cpu"]:
            clock = getattr(time, "process_time", None) or time.clock  # CPU seconds on 2.7
        print(json.dumps(table_floors(argv[1], int(argv[2]), clock)))
        return 0
    measure_hosts([Interpreter()], parse_arguments(argv)).show()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

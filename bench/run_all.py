"""Runs the benchmarks against their floors and goals and prints one table of figures and
ratios, with a column per Python host (Python 2.7 and Python 3, each where the module is built).

    python bench/run_all.py BUILD_DIR [--quick] [--all] [--instructions] [command_bench options]

First every actiontool command against its goal (bench/command_bench.py: time against zcat
and the Python floor of the same rows, peak memory at 20,000 and 200,000 actions, write_actions
against pigz and gzip, and with --bombs the memory bombs); the options of command_bench.py
(--actions N, --repeat N, --bombs, ...) pass through. --all adds the detailed sections below.

BUILD_DIR holds the modules (python/, python3/), the native bench and, per host, the floor
extension and the interpreter to run (bench/python2/, bench/python2.txt, bench/python3/,
bench/python3.txt). The runner itself runs on either host. Generated files are kept in
BUILD_DIR/bench/data and made again only when missing; both hosts read the same files.
--quick: fewer repeats and 20,000 actions instead of 200,000 (a try-out);
with --all, the kept list's growth from 2,000 to 20,000 actions instead of 20,000 to 400,000.
--instructions: adds callgrind instruction counts per boundary call (slow, but steady on a
busy machine where times are not).
"""
from __future__ import print_function

import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import command_bench  # noqa: E402
from measure import Table, run_command  # noqa: E402

NATIVE_ACTIONS = 20000
SMALL_ACTIONS = 20000  # the smaller size of the peak-memory figures
WHOLE_FILE_ACTIONS = 200000
QUICK_WHOLE_FILE_ACTIONS = 20000
# The kept list's growth: per-action time at the larger count against the smaller.
GROWTH_ACTIONS, QUICK_GROWTH_ACTIONS = (20000, 400000), (2000, 20000)
# Host name (bench/<name>.txt names its interpreter) and its module folder in BUILD_DIR.
HOSTS = (("python2", "python"), ("python3", "python3"))
VARIANTS = ("classes", "flat", "struct", "buffer")
VARIANT_LABELS = {"classes": "module, Python-side classes", "flat": "module, flat functions",
                  "struct": "pure Python, record by record", "buffer": "pure Python, whole buffer"}


def text_of(output):
    return output.decode("utf-8") if isinstance(output, bytes) else output


data_file = command_bench.data_file  # the generated file of count actions in a folder


class Host(object):
    """One Python host: its interpreter, the module built for it and its floor extension."""

    def __init__(self, build, name, module_folder):
        self.build, self.name = build, name
        with open(os.path.join(build, "bench", name + ".txt")) as f:
            self.interpreter = f.read().strip()
        self.env = dict(os.environ)
        self.env["PYTHONPATH"] = os.pathsep.join([
            os.path.join(build, module_folder), os.path.join(build, "bench", name), HERE])
        self.env["PYTHONDONTWRITEBYTECODE"] = "1"
        self.label = "Python " + text_of(subprocess.check_output(
            [self.interpreter, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"])).strip()

    def job(self, argv):
        """The JSON a bench script prints last."""
        out = subprocess.check_output([self.interpreter] + argv, env=self.env)
        return json.loads(text_of(out).splitlines()[-1])

    def check(self, argv):
        subprocess.check_call([self.interpreter] + argv, env=self.env)

    def instruction_counts(self):
        out = subprocess.check_output([os.path.join(HERE, "call_instructions.sh"), self.build,
                                       "--host", self.name])
        counts = {}
        for line in text_of(out).splitlines():
            name, count = line.split("  ")[0].strip(), int(line.split()[-4])
            counts[name] = count
        return counts


def built_hosts(build):
    return [Host(build, name, folder) for name, folder in HOSTS
            if os.path.exists(os.path.join(build, "bench", name + ".txt"))]


def native(build, path, repetitions):
    """{benchmark: (cpu seconds per pass, records/s, bytes/s)} from the native bench's medians."""
    out = subprocess.check_output([os.path.join(build, "bench", "qn4t_native_bench"), path,
                                   "--benchmark_format=json",
                                   "--benchmark_repetitions=%d" % repetitions,
                                   "--benchmark_report_aggregates_only=true"])
    figures = {}
    for run in json.loads(text_of(out))["benchmarks"]:
        if run.get("aggregate_name") == "median":
            figures[run["run_name"]] = (run["cpu_time"] / 1e3, run["items_per_second"], run["bytes_per_second"])
    return figures


def native_section(table, build, data_dir, quick):
    """Native records against one gzread / gzwrite (no Python: one column)."""
    path = data_file(data_dir, NATIVE_ACTIONS)
    n = native(build, path, 3 if quick else 7)
    table.section("Native, %d actions (%s): median CPU time of a whole-file pass" % (
        NATIVE_ACTIONS, os.path.basename(path)))
    for job, floor, records in (("read", "ReadFloor", "ReadRecords"), ("write", "WriteFloor", "WriteRecords")):
        for name, label in ((floor, "%s: one gz%s of the whole content (floor)" % (job, job)),
                            (records, "%s: record by record" % job)):
            seconds, items, size = n[name]
            table.row(label, ["%.2f Mrecords/s" % (items / 1e6), "%.1f MB/s" % (size / 1e6),
                              "%.2fx" % (n[floor][0] / seconds)], "throughput / floor's")
        if job == "read":
            seconds, items, size = n["ReadActions"]
            table.row("read: whole actions, block reader", ["%.2f Mrecords/s" % (items / 1e6),
                      "%.1f MB/s" % (size / 1e6), "%.2fx" % (n[floor][0] / seconds)],
                      "throughput / floor's (target >= 0.9x)")


def boundary_section(table, hosts, quick, with_instructions):
    """One call across the Python boundary on each host, against that host's floor."""
    per_host = []
    for host in hosts:
        ordered = host.job([os.path.join(HERE, "boundary_bench.py"), "--json",
                            "--repeat", "3" if quick else "7"])
        counts = host.instruction_counts() if with_instructions else {}
        per_host.append((ordered, dict(ordered), counts))
    table.section("Python boundary: ns per call (x the host's floor), best of repeats, empty loop "
                  "subtracted" + (", and callgrind instructions per call" if with_instructions else ""),
                  [host.label for host in hosts])
    for name, _ in per_host[0][0]:
        cells = []
        for _, calls, counts in per_host:
            cells += ["%.1f ns" % calls[name], "%.2fx" % (calls[name] / calls["floor"])]
            if counts:
                cells += ["%d instr" % counts[name], "%.2fx" % (counts[name] / float(counts["floor"]))]
        table.row(name, cells)


def whole_file_sections(table, hosts, data_dir, quick):
    """Whole files through the module and through pure Python on each host, with peak memory."""
    big = QUICK_WHOLE_FILE_ACTIONS if quick else WHOLE_FILE_ACTIONS
    repeat = 2 if quick else 3
    small, large = data_file(data_dir, SMALL_ACTIONS), data_file(data_dir, big)
    script = os.path.join(HERE, "file_bench.py")
    for host in hosts:
        host.check([script, "verify", data_file(data_dir, 2000), "2000"])
    for job in ("decode", "encode"):
        peak = "peak RSS" if big == SMALL_ACTIONS else "peak RSS at %d -> %d actions" % (SMALL_ACTIONS, big)
        table.section("Whole file, %s %d actions: us per action, best of %d (x the classes' time on "
                      "the same host); %s" % (job, big, repeat, peak), [host.label for host in hosts])
        results = []  # per host: {variant: (seconds, peak kB small, peak kB large)}
        for host in hosts:
            figures = {}
            for variant in VARIANTS:
                at_large = host.job([script, "run", job, variant, large, str(big), str(repeat)])
                at_small = at_large if big == SMALL_ACTIONS else host.job(
                    [script, "run", job, variant, small, str(SMALL_ACTIONS), "1"])
                figures[variant] = (at_large["seconds"], at_small["maxrss_kb"], at_large["maxrss_kb"])
            results.append(figures)
        for variant in VARIANTS:
            cells = []
            for figures in results:
                seconds, rss_small, rss_large = figures[variant]
                cells += ["%.1f us" % (seconds * 1e6 / big), "%.2fx" % (seconds / figures["classes"][0]),
                          "%d MB" % (rss_large // 1024) if big == SMALL_ACTIONS
                          else "%d -> %d MB" % (rss_small // 1024, rss_large // 1024)]
            table.row("%s: %s" % (job, VARIANT_LABELS[variant]), cells)


def actions_section(table, hosts, data_dir, quick):
    """Whole actions (read_actions / write_actions) against the whole-buffer pure-Python reader
    and writer and against their floors: zcat, and zlib compressing the same bytes."""
    big = QUICK_WHOLE_FILE_ACTIONS if quick else WHOLE_FILE_ACTIONS
    repeat = 2 if quick else 3
    small, large = data_file(data_dir, SMALL_ACTIONS), data_file(data_dir, big)
    script = os.path.join(HERE, "file_bench.py")
    table.section("Whole actions, %d actions: us per action, best of %d; peak RSS at %d -> %d "
                  "actions" % (big, repeat, SMALL_ACTIONS, big), [host.label for host in hosts])
    variants = ("actions", "buffer", "floor")
    for job in ("decode", "encode"):
        results = []
        for host in hosts:
            # Times from one process, the variants taking turns; peak memory from a process
            # per variant and size.
            seconds = host.job([script, "compare", job, ",".join(variants), large, str(big),
                                str(repeat)])
            figures = {}
            for variant in variants:
                at_large = host.job([script, "run", job, variant, large, str(big), "1"])
                at_small = host.job([script, "run", job, variant, small, str(SMALL_ACTIONS), "1"])
                figures[variant] = (seconds[variant], at_small["maxrss_kb"], at_large["maxrss_kb"])
            results.append(figures)
        for variant, label in (("actions", "Action objects"), ("buffer", "pure Python, whole buffer"),
                               ("floor", "zcat" if job == "decode" else "zlib, same bytes and level")):
            cells = []
            for figures in results:
                seconds, rss_small, rss_large = figures[variant]
                cells += ["%.2f us" % (seconds * 1e6 / big), "",
                          "%d -> %d MB" % (rss_small // 1024, rss_large // 1024)]
            table.row("%s: %s" % (job, label), cells)
        cells = []
        for figures in results:
            actions, buffer, floor = (figures[v][0] for v in ("actions", "buffer", "floor"))
            if job == "decode":
                cells += ["%.2fx" % (buffer / actions), "target >= 3x", "%.2fx zcat" % (actions / floor)]
            else:
                beyond = (actions - floor) / max(buffer - floor, 1e-9)
                cells += ["%.2f" % beyond, "target <= 0.33", ""]
        table.row("%s: actions vs pure Python" % job, cells,
                  "speed-up" if job == "decode" else "time beyond zlib, as a share of pure Python's")


def uncompressed_size(path):
    import zlib
    inflater, size = zlib.decompressobj(16 + zlib.MAX_WBITS), 0
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(1 << 20), b""):
            size += len(inflater.decompress(piece))
    return size


def floors_section(table, hosts, data_dir, quick):
    """Whole actions against their floors measured in the same run: iterating and keeping
    against zcat, the kept list's growth and memory, writing against gzip -6, pigz -p2 -6
    and zlib at the same level, on one thread and on two."""
    big = QUICK_WHOLE_FILE_ACTIONS if quick else WHOLE_FILE_ACTIONS
    repeat = 2 if quick else 3
    path = data_file(data_dir, big)
    raw = uncompressed_size(path)
    script = os.path.join(HERE, "file_bench.py")
    info = hosts[0].job([script, "info"])
    table.section("Whole actions against their floors, %d actions (%.1f MB uncompressed), best of %d "
                  "with the variants taking turns in one process; inflating with %s, writing on "
                  "the threads named (default here: %d; deflating with %s on several)"
                  % (big, raw / 1e6, repeat, info["inflater"], info["threads"], info["deflater"]),
                  [host.label for host in hosts])
    reads = [host.job([script, "compare", "decode", "actions,kept,visited,floor", path, str(big),
                       str(repeat)]) for host in hosts]
    for variant, label, target in (
            ("actions", "for a in read_actions(f): pass", "target <= 0.8x"),
            ("kept", "list(read_actions(f)), collector on", "target <= 2x"),
            ("visited", "read whole, then visit every detail", "one script, collector on; "
                                                               "target <= 2x")):
        cells = []
        for r in reads:
            cells += ["%.2f s" % r[variant], "%.2fx zcat" % (r[variant] / r["floor"]), ""]
        table.row(label, cells, target)
    cells = []
    for r in reads:
        cells += ["%.2f s" % r["floor"], "", ""]
    table.row("zcat (floor)", cells)
    small_count, large_count = QUICK_GROWTH_ACTIONS if quick else GROWTH_ACTIONS
    small, large = data_file(data_dir, small_count), data_file(data_dir, large_count)
    cells, memory = [], []
    for host in hosts:
        # Each size in fresh processes, best of `repeat`: a second run in one process reuses
        # the heap the first one freed, which only the small size would enjoy.
        per_small, per_large = [
            min(host.job([script, "run", "decode", "kept", path_, str(count), "1"])["seconds"]
                for _ in range(repeat)) / count
            for path_, count in ((small, small_count), (large, large_count))]
        cells += ["%.2f -> %.2f us" % (per_small * 1e6, per_large * 1e6),
                  "%.2fx" % (per_large / per_small), ""]
        at_big = host.job([script, "run", "decode", "kept", path, str(big), "1"])
        peak = at_big["maxrss_kb"] * 1024.0
        memory += ["%d B/action" % (peak / big), "%.2fx raw" % (peak / raw), ""]
    table.row("kept list per action, %d -> %d actions" % (small_count, large_count), cells,
              "growth (target <= 1.15x)")
    table.row("kept list peak RSS per action", memory, "against %d raw bytes per action (target "
              "<= 2.5x)" % (raw // big))
    writes = [host.job([script, "compare", "encode", "threads1,threads2,floor,gzip6,pigz2", path,
                        str(big), str(repeat)]) for host in hosts]
    for variant, label in (("threads1", "write_actions, threads=1 (zlib)"),
                           ("threads2", "write_actions, threads=2")):
        cells = []
        for w in writes:
            cells += ["%.2f s" % w[variant], "%.2fx pigz -p2 -6" % (w[variant] / w["pigz2"]),
                      "%.2fx gzip -6" % (w[variant] / w["gzip6"])]
        table.row(label, cells, "target <= 0.6x pigz -p2 -6 on two threads")
    for variant, label in (("pigz2", "pigz -p2 -6 of the same bytes (floor)"),
                           ("gzip6", "gzip -6 of the same bytes"),
                           ("floor", "zlib level 6 in process")):
        cells = []
        for w in writes:
            cells += ["%.2f s" % w[variant], "", ""]
        table.row(label, cells)
    cells = []
    for w in writes:
        sizes = w["written"]
        cells += ["%.4fx" % (sizes["threads2"] / float(sizes["gzip6"])), "2 threads", ""]
    table.row("written size against gzip -6", cells, "target <= 1.01x")


# The last commit whose actiontool walked files record by record: "today's" tool, run from a
# copy made with git archive, for the speed-up of the whole-actions tool.
PREVIOUS_TOOL_COMMIT = "2e9be73"
TOOL_ACTIONS, QUICK_TOOL_ACTIONS = 200000, 20000
TOOL_MEMORY_ACTIONS, QUICK_TOOL_MEMORY_ACTIONS = 400000, 100000


def tool_run(host, tool, argv, build):
    """{"cpu": CPU seconds, "maxrss_kb": peak kB} of the tool run with argv on host."""
    env = dict(host.env, QN4T_MODULE_DIR=os.path.join(build, "python3" if "3" in host.name
                                                              else "python"))
    done = run_command([host.interpreter, tool] + argv, env)
    if done.status:
        raise subprocess.CalledProcessError(done.status, [tool] + argv)
    return {"cpu": done.cpu, "maxrss_kb": done.peak_kb}


def previous_tool(scratch):
    """actiontool as it was before it read whole actions, copied out of the repository."""
    folder = os.path.join(scratch, "previous-tool")
    if not os.path.isdir(folder):
        os.makedirs(folder)
        archive = subprocess.check_output(["git", "-C", os.path.dirname(HERE), "archive",
                                           PREVIOUS_TOOL_COMMIT, "tools"])
        subprocess.Popen(["tar", "-x", "-C", folder], stdin=subprocess.PIPE).communicate(archive)
    return os.path.join(folder, "tools", "actiontool")


def tool_section(table, hosts, build, data_dir, quick):
    """actiontool: export and import against the record-by-record tool, and peak memory of
    every command at two sizes."""
    tool = os.path.join(os.path.dirname(HERE), "tools", "actiontool")
    count = QUICK_TOOL_ACTIONS if quick else TOOL_ACTIONS
    source = data_file(data_dir, count)
    json_path, out = os.path.join(data_dir, "tool.json"), os.path.join(data_dir, "tool.gz")
    table.section("actiontool, %d actions: CPU seconds, previous tool -> whole actions "
                  "(speed-up; target >= 2x)" % count, [host.label for host in hosts])
    try:
        previous = previous_tool(data_dir)
    except (OSError, subprocess.CalledProcessError):
        previous = None  # no git history here: the figures of the new tool alone
    for command, argv in (("export", [source, json_path]), ("import", [json_path, out])):
        cells = []
        for host in hosts:
            new = tool_run(host, tool, [command] + argv, build)
            old = tool_run(host, previous, [command] + argv, build) if previous else None
            cells += ["%.1f -> %.1f s" % (old["cpu"], new["cpu"]) if old else "%.1f s" % new["cpu"],
                      "%.2fx" % (old["cpu"] / new["cpu"]) if old else "",
                      "%d -> %d MB" % (old["maxrss_kb"] // 1024, new["maxrss_kb"] // 1024) if old
                      else "%d MB" % (new["maxrss_kb"] // 1024)]
        table.row(command, cells)
    big = QUICK_TOOL_MEMORY_ACTIONS if quick else TOOL_MEMORY_ACTIONS
    table.section("actiontool peak RSS at %d -> %d actions (target: the same within a few MB)"
                  % (SMALL_ACTIONS, big), [host.label for host in hosts])
    for command in ("dump", "check", "export", "import"):
        cells = []
        for host in hosts:
            peaks = []
            for size in (SMALL_ACTIONS, big):
                path = data_file(data_dir, size)
                if command == "import":
                    tool_run(host, tool, ["export", path, json_path], build)
                    argv = [json_path, out]
                else:
                    argv = [path] + ([json_path] if command == "export" else [])
                peaks.append(tool_run(host, tool, [command] + argv, build)["maxrss_kb"] // 1024)
            cells += ["%d -> %d MB" % tuple(peaks), "", ""]
        table.row(command, cells)
    for path in (json_path, out):
        if os.path.exists(path):
            os.remove(path)


def command_section(table, hosts, data_dir, argv):
    """Every actiontool command against its goal, a column per host (bench/command_bench.py)."""
    options = [a for a in argv[2:] if a not in ("--all", "--instructions")]
    args = command_bench.parse_arguments(options + ["--work", data_dir])
    command_bench.measure_hosts([command_bench.Interpreter(host.interpreter, host.env, host.label)
                                 for host in hosts], args, table)


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    build = os.path.abspath(argv[1])
    quick = "--quick" in argv
    hosts = built_hosts(build)
    if not hosts:
        print("run_all.py: no Python host in %s/bench (configure with -DQN4T_BENCH=ON)" % build,
              file=sys.stderr)
        return 2
    data_dir = os.path.join(build, "bench", "data")
    if not os.path.isdir(data_dir):
        os.makedirs(data_dir)
    table = Table()
    command_section(table, hosts, data_dir, argv)
    if "--all" in argv:
        native_section(table, build, data_dir, quick)
        boundary_section(table, hosts, quick, "--instructions" in argv)
        whole_file_sections(table, hosts, data_dir, quick)
        actions_section(table, hosts, data_dir, quick)
        floors_section(table, hosts, data_dir, quick)
        tool_section(table, hosts, build, data_dir, quick)
    table.show()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

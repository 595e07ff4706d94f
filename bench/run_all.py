"""Runs every benchmark against its floor and prints one table of figures and ratios.

    python2.7 bench/run_all.py BUILD_DIR [--quick] [--instructions]

BUILD_DIR holds the module (python/), the floor extension and the native bench (bench/).
Generated files are kept in BUILD_DIR/bench/data and made again only when missing.
--quick: fewer repeats and a 50,000-action whole-file run instead of 200,000 (for a try-out).
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
import generate_actions  # noqa: E402

NATIVE_ACTIONS = 20000
SMALL_ACTIONS = 20000  # the second size of the peak-memory figures
WHOLE_FILE_ACTIONS = 200000


def data_file(data_dir, count):
    path = os.path.join(data_dir, "actions-%d.gz" % count)
    if not os.path.exists(path):
        generate_actions.write_file(path + ".part", count)
        os.rename(path + ".part", path)
    return path


def python_env(build):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.join(build, "python"), os.path.join(build, "bench"), HERE])
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    return env


def native(build, path, repetitions):
    """{benchmark: (cpu seconds per pass, records/s, bytes/s)} from the native bench's medians."""
    out = subprocess.check_output([os.path.join(build, "bench", "qn4t_native_bench"), path,
                                   "--benchmark_format=json",
                                   "--benchmark_repetitions=%d" % repetitions,
                                   "--benchmark_report_aggregates_only=true"])
    figures = {}
    for run in json.loads(out)["benchmarks"]:
        if run.get("aggregate_name") == "median":
            figures[run["run_name"]] = (run["cpu_time"] / 1e3, run["items_per_second"], run["bytes_per_second"])
    return figures


def python_job(build, argv):
    return json.loads(subprocess.check_output([sys.executable] + argv, env=python_env(build)).splitlines()[-1])


def instruction_counts(build):
    out = subprocess.check_output([os.path.join(HERE, "call_instructions.sh"), build], env=python_env(build))
    counts = {}
    for line in out.splitlines():
        name, count = line.split("  ")[0].strip(), int(line.split()[-4])
        counts[name] = count
    return counts


class Table(object):
    def __init__(self):
        self.rows = []

    def section(self, title):
        self.rows.append((title,))

    def row(self, case, figure, ratio="", note=""):
        self.rows.append((case, figure, ratio, note))

    def show(self):
        widths = [max(len(r[i]) for r in self.rows if len(r) > 1) for i in range(4)]
        for r in self.rows:
            if len(r) == 1:
                print("\n" + r[0])
            else:
                print("  " + "  ".join(c.ljust(w) if i in (0, 3) else c.rjust(w)
                                       for i, (c, w) in enumerate(zip(r, widths))).rstrip())


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    build = os.path.abspath(argv[1])
    quick = "--quick" in argv
    data_dir = os.path.join(build, "bench", "data")
    if not os.path.isdir(data_dir):
        os.makedirs(data_dir)
    big = 50000 if quick else WHOLE_FILE_ACTIONS
    repeat = 2 if quick else 3
    table = Table()

    # Native records against one gzread / gzwrite.
    path = data_file(data_dir, NATIVE_ACTIONS)
    n = native(build, path, 3 if quick else 7)
    table.section("Native, %d actions (%s): median CPU time of a whole-file pass" % (
        NATIVE_ACTIONS, os.path.basename(path)))
    for job, floor, records in (("read", "ReadFloor", "ReadRecords"), ("write", "WriteFloor", "WriteRecords")):
        for name, label in ((floor, "%s: one gz%s of the whole content (floor)" % (job, job)),
                            (records, "%s: record by record" % job)):
            seconds, items, size = n[name]
            table.row(label, "%.2f Mrecords/s  %6.1f MB/s" % (items / 1e6, size / 1e6),
                      "%.2fx" % (n[floor][0] / seconds), "throughput / floor's")

    # One call across the Python boundary.
    ordered = python_job(build, [os.path.join(HERE, "boundary_bench.py"), "--json",
                                 "--repeat", "3" if quick else "7"])
    calls = dict(ordered)
    counts = instruction_counts(build) if "--instructions" in argv else {}
    table.section("Python boundary: ns per call, best of repeats, empty loop subtracted"
                  + (" (and callgrind instructions)" if counts else ""))
    floor = calls["floor"]
    for name, _ in ordered:
        note = "" if not counts else "%5d instr  %.2fx" % (counts[name], counts[name] / float(counts["floor"]))
        table.row(name, "%.1f ns" % calls[name], "%.2fx" % (calls[name] / floor), note)

    # Whole files through the module and through pure Python, with peak memory.
    small, large = data_file(data_dir, SMALL_ACTIONS), data_file(data_dir, big)
    subprocess.check_call([sys.executable, os.path.join(HERE, "file_bench.py"), "verify",
                           data_file(data_dir, 2000), "2000"], env=python_env(build))
    for job in ("decode", "encode"):
        table.section("Whole file, %s %d actions: best of %d; peak RSS at %d and %d actions" % (
            job, big, repeat, SMALL_ACTIONS, big))
        results = {}
        for variant in ("classes", "flat", "struct", "buffer"):
            script = os.path.join(HERE, "file_bench.py")
            at_small = python_job(build, [script, "run", job, variant, small, str(SMALL_ACTIONS), "1"])
            at_large = python_job(build, [script, "run", job, variant, large, str(big), str(repeat)])
            results[variant] = (at_large["seconds"], at_small["maxrss_kb"], at_large["maxrss_kb"])
        labels = {"classes": "module, Python-side classes", "flat": "module, flat functions",
                  "struct": "pure Python, record by record", "buffer": "pure Python, whole buffer"}
        for variant in ("classes", "flat", "struct", "buffer"):
            seconds, rss_small, rss_large = results[variant]
            table.row("%s: %s" % (job, labels[variant]),
                      "%.2f s  %5.1f us/action" % (seconds, seconds * 1e6 / big),
                      "%.2fx" % (seconds / results["classes"][0]),
                      "time / classes'; peak %d -> %d MB" % (rss_small // 1024, rss_large // 1024))
    table.show()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

"""Running a command for the benchmarks: its wall and CPU seconds and its peak resident memory
(from wait4), and the aligned table the benchmarks print. Python 2.7 and Python 3."""
from __future__ import print_function, division

import collections
import os
import subprocess
import tempfile
import timeit

# seconds: wall clock; cpu: user + system seconds of the process and what it waited for;
# peak_kb: its peak resident memory; status: the exit status (-N for signal N); error: the
# first line of what it wrote on stderr.
Run = collections.namedtuple("Run", "seconds cpu peak_kb status error")


def run_command(argv, env=None, stdout_path=None, limit_bytes=None, limit_cpu_seconds=None):
    """Runs argv to its end, its stdout into stdout_path (default: /dev/null), its address
    space capped at limit_bytes and its CPU time at limit_cpu_seconds (None: not capped; past
    it the system ends it with SIGXCPU, and its Run holds what it had reached), and returns
    its Run. Raises OSError when the program cannot be started."""
    with tempfile.TemporaryFile() as err, open(stdout_path or os.devnull, "wb") as out:
        start = timeit.default_timer()
        proc = subprocess.Popen(argv, env=env, stdout=out, stderr=err,
                                preexec_fn=_caps(limit_bytes, limit_cpu_seconds))
        _, status, usage = os.wait4(proc.pid, 0)
        seconds = timeit.default_timer() - start
        proc.returncode = status  # reaped here: Popen must not wait for it again
        err.seek(0)
        first = err.read(4096).decode("utf-8", "replace").strip().split("\n")[0][:100]
    code = os.WEXITSTATUS(status) if os.WIFEXITED(status) else -os.WTERMSIG(status)
    return Run(seconds, usage.ru_utime + usage.ru_stime, usage.ru_maxrss, code, first)


def _caps(limit_bytes, limit_cpu_seconds):
    if limit_bytes is None and limit_cpu_seconds is None:
        return None

    def cap():
        import resource
        if limit_bytes is not None:
            resource.setrlimit(resource.RLIMIT_AS, (limit_bytes, limit_bytes))
        if limit_cpu_seconds is not None:
            resource.setrlimit(resource.RLIMIT_CPU, (limit_cpu_seconds, limit_cpu_seconds + 5))
    return cap


class Table(object):
    """Sections of rows: a case, its figure cells (a group per host) and a note. Columns are
    aligned within a section."""

    def __init__(self):
        self.sections = []

    def section(self, title, heads=None):
        """`heads`: one title per group of cells, written above the group."""
        self.sections.append((title, heads, []))

    def row(self, case, cells, note=""):
        self.sections[-1][2].append((case, list(cells), note))

    def show(self):
        for title, heads, rows in self.sections:
            print("\n" + title)
            if not rows:
                continue
            columns = max(len(cells) for _, cells, _ in rows)
            widths = [max(len(cells[i]) for _, cells, _ in rows if i < len(cells)) for i in range(columns)]
            case_width = max(len(case) for case, _, _ in rows)
            if heads:
                group = columns // len(heads)
                spans = [sum(widths[g * group:(g + 1) * group]) + 2 * (group - 1) for g in range(len(heads))]
                print("  " + " " * case_width + "".join("  " + h.rjust(s) for h, s in zip(heads, spans)))
            for case, cells, note in rows:
                line = "  " + case.ljust(case_width)
                line += "".join("  " + c.rjust(w) for c, w in zip(cells, widths))
                print((line + "  " + note).rstrip())

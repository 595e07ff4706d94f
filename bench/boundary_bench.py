"""The cost of one call across the Python boundary, against the floor measured in the same run.

    python bench/boundary_bench.py [--repeat N] [--json]
    python bench/boundary_bench.py --run CASE PASSES     (one case, untimed, for callgrind)

Runs on Python 2.7 and Python 3. Needs on sys.path: the module built for the interpreter
that runs it, with its Python-side files, and the bench's floor extension `qn4t_bench_floor` (one "O" argument parsed with PyArg_ParseTuple, an integer
returned). For every operation (getter, integer setter, text setter, record read) it reports
nanoseconds per call, best of N repeats, through the flat function with a pointer string,
the flat function with an instance, and the Python-side class's attribute or method. Each
timed statement is repeated UNROLL times per loop pass and the cost of an empty loop pass
is subtracted, so the figures are the calls alone.
"""
from __future__ import print_function

import gc
import gzip
import json
import os
import sys
import struct
import tempfile
import timeit

import _qn4tGenericActionLoader as flat
import qn4tGenericActionLoader as q
import qn4t_bench_floor

UNROLL = 20
try:
    lazy_range = xrange  # Python 2: range() would build the list of every pass first
except NameError:
    lazy_range = range
DAMAGE = "qn4tGeneric_Damage_Details"
HEADER = "qn4tGeneric_Action_Header"


def compile_loop(statement, namespace):
    """A function timing `number` passes of UNROLL copies of `statement`, with every name of
    `namespace` bound as a local (as a script's loop would have them)."""
    lines = ["def run(_number, _clock):"]
    lines += ["    %s = _ns[%r]" % (name, name) for name in namespace]
    lines += ["    _passes = _lazy_range(_number)", "    _t0 = _clock()", "    for _i in _passes:"]
    lines += ["        " + statement] * UNROLL
    lines += ["    return _clock() - _t0"]
    scope = {"_ns": namespace, "_lazy_range": lazy_range}
    exec("\n".join(lines), scope)
    return scope["run"]


def best_ns(statement, namespace, number, repeat):
    """Best nanoseconds per execution of `statement` over `repeat` runs of `number` passes."""
    run = compile_loop(statement, namespace)
    best = min(run(number, timeit.default_timer) for _ in range(repeat))
    return best * 1e9 / (number * UNROLL)


def timed(statement, namespace, number, repeat, empty):
    """Like best_ns, less the cost of an empty pass."""
    return max(best_ns(statement, namespace, number, repeat) - empty, 0.0)


def stat_file(count):
    """A gzip file of `count` stat entries (4 bytes each), for the record-read figures."""
    fd, path = tempfile.mkstemp(suffix=".gz", prefix="qn4t-bench-")
    os.close(fd)
    out = gzip.open(path, "wb")
    out.write(struct.pack("<Hh", 7, -3) * count)
    out.close()
    return path


CASES = [
    ("floor", "floor(ptr)"),
    ("getter/pointer string", "get(ptr)"),
    ("getter/instance", "get(inst)"),
    ("getter/attribute", "inst.range"),
    ("int setter/pointer string", "set(ptr, 5)"),
    ("int setter/instance", "set(inst, 5)"),
    ("int setter/attribute", "inst.range = 5"),
    ("text setter/pointer string", "set_text(hptr, text)"),
    ("text setter/instance", "set_text(hinst, text)"),
    ("text setter/attribute", "hinst.name = text"),
    ("record read/pointer string", "read(eptr, sptr)"),
    ("record read/instance", "read(einst, stream)"),
    ("record read/method", "einst.read(stream)"),
]


def fixtures(reads):
    """The names the timed statements use, and the temporary file behind the stream."""
    damage = q.qn4tGeneric_Damage_Details()
    header = q.qn4tGeneric_Action_Header()
    entry = q.qn4tGeneric_StatMod_Stat_Details()
    path = stat_file(reads)
    stream = q.Stream(path, "r")
    return path, {
        "floor": qn4t_bench_floor.floor,
        "get": getattr(flat, DAMAGE + "_range_get"),
        "set": getattr(flat, DAMAGE + "_range_set"),
        "set_text": getattr(flat, HEADER + "_name_set"),
        "read": flat.qn4tGeneric_StatMod_Stat_Details_read,
        "ptr": damage.this, "inst": damage,
        "hptr": header.this, "hinst": header,
        "eptr": entry.this, "einst": entry,
        "sptr": stream.this, "stream": stream,
        "text": "Fireball",
    }


def measure(repeat=5, number=10000):
    """{name: ns per call}: the floor and every operation in each of the three forms."""
    path, ns = fixtures(3 * number * UNROLL * repeat + 8)
    gc.disable()
    empty = best_ns("pass", ns, number, repeat)
    results = {"empty loop pass": empty}
    for name, statement in CASES:
        results[name] = timed(statement, ns, number, repeat, empty)
    gc.enable()
    ns["stream"].close()
    os.remove(path)
    return results


def run_once(case, passes):
    """Runs one case `passes` x UNROLL times, untimed: for instruction counts under callgrind
    (the difference between two pass counts, divided, is the cost of one call)."""
    statement = dict(CASES)[case]
    path, ns = fixtures(passes * UNROLL + 8)
    compile_loop(statement, ns)(passes, timeit.default_timer)
    ns["stream"].close()
    os.remove(path)


def main(argv):
    if "--run" in argv:
        at = argv.index("--run")
        run_once(argv[at + 1], int(argv[at + 2]))
        return 0
    repeat = 5
    if "--repeat" in argv:
        repeat = int(argv[argv.index("--repeat") + 1])
    results = measure(repeat)
    if "--json" in argv:  # [[case, ns], ...] in the order of CASES
        print(json.dumps([[name, results[name]] for name, _ in CASES]))
    else:
        floor = results["floor"]
        for name in sorted(results):
            print("%-30s %8.1f ns  %5.2fx floor" % (name, results[name], results[name] / floor))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

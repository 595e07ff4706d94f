"""The JSON import's reader over white space: a document whose actions are separated by long
runs of white space against one of the same size made of actions, and each at twice the size.
Prints seconds and ratios measured in this one run; a reader linear in the document's size
shows a doubling ratio near 2 for both.

    PYTHONPATH=build/python3:tools python3 bench/json_space_bench.py [MEGABYTES]
"""
from __future__ import print_function, division

import io
import sys
import time

import qn4tGenericActionLoader as q

ACTION = b'{"actionID": 1, "name": "Spark", "levelAcquired": 3, "details": []}'


def spaced(size):
    """About size bytes: two actions with white space before, between and after them."""
    run = b" \n" * (size // 6)
    return b'{"format": 2, "actions": [' + run + ACTION + b"," + run + ACTION + b"]}" + run


def packed(size):
    """About size bytes of actions."""
    count = size // (len(ACTION) + 2)
    return b'{"format": 2, "actions": [' + b",\n".join([ACTION] * count) + b"]}"


def seconds(document):
    start = time.time()
    for _ in q.JsonSource(io.BytesIO(document), "bench.json"):
        pass
    return time.time() - start


def main():
    size = int(float(sys.argv[1]) * (1 << 20)) if len(sys.argv) > 1 else 16 << 20
    results = {}
    for name, make in (("white space", spaced), ("actions", packed)):
        one, two = seconds(make(size)), seconds(make(2 * size))
        results[name] = one
        print("%-12s %6.1f MB %7.2f s   %6.1f MB %7.2f s   doubling ratio %.2f"
              % (name, size / 1e6, one, 2 * size / 1e6, two, two / max(one, 1e-9)))
    print("white space / actions at %.1f MB: %.2f"
          % (size / 1e6, results["white space"] / max(results["actions"], 1e-9)))


if __name__ == "__main__":
    main()

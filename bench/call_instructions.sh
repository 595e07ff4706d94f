#!/usr/bin/env bash
# Instructions per call of each boundary-bench case, counted by callgrind: stable on a
# noisy machine, unlike times. A case runs twice (PASSES and 0 passes of the unrolled
# statement); the difference divided by the calls made is the cost of one call.
#   bench/call_instructions.sh BUILD_DIR [--host python2|python3] [CASE...]
# (default: Python 2.7 where it is built, else Python 3; every case)
set -euo pipefail
build=$(cd "$1" && pwd); shift
here=$(cd "$(dirname "$0")" && pwd)
host=python2
[ -f "$build/bench/python2.txt" ] || host=python3
if [ "${1:-}" = --host ]; then host=$2; shift 2; fi
python=$(cat "$build/bench/$host.txt")
module_dir=$build/python
[ "$host" = python3 ] && module_dir=$build/python3
export PYTHONPATH="$module_dir:$build/bench/$host"
passes=2000
unroll=$("$python" -c "import sys; sys.path.insert(0, '$here'); import boundary_bench; print(boundary_bench.UNROLL)")
if [ $# -eq 0 ]; then
  mapfile -t cases < <("$python" -c "import sys; sys.path.insert(0, '$here'); import boundary_bench
for name, _ in boundary_bench.CASES: print(name)")
else
  cases=("$@")
fi
count() {  # instructions of one untimed run
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$python" "$here/boundary_bench.py" \
    --run "$1" "$2" 2>&1 | sed -n 's/.*Collected : //p'
}
for case in "${cases[@]}"; do
  with=$(count "$case" "$passes")
  without=$(count "$case" 0)
  printf '%-30s %6d instructions per call\n' "$case" $(( (with - without) / (passes * unroll) ))
done

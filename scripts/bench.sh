#!/usr/bin/env bash
# Builds the module for every Python host found (Python 2.7 and Python 3), the native bench
# and the floor extensions in build-bench/ (Release) and prints one table, a column per
# interpreter: every actiontool command against its goal (time against zcat and its floor,
# peak memory at two sizes, write_actions against pigz; --bombs adds the memory bombs); --all
# adds every other benchmark against its floor.
#   scripts/bench.sh [--quick] [--bombs] [--all] [--instructions] [--actions N ...]  (run_all.py)
# QN4T_BENCH_BUILD names another build directory than build-bench.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QN4T_BENCH_BUILD:-build-bench}
# The native bench links Google Benchmark, and the writer is compared with pigz; both are
# installed from Debian when missing.
missing=()
for package in libbenchmark-dev pigz; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "bench.sh: installing ${missing[*]}" >&2
  if [ "$(id -u)" -ne 0 ]; then
    echo "bench.sh: run as root, or install: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQN4T_BENCH=ON >/dev/null
# qn4t_bench: _qn4tGenericActionLoader, _qn4tGenericActionLoader_py3 (each where its host is
# found), qn4t_native_bench and the floor extensions.
cmake --build "$build" -j2 --target qn4t_bench >/dev/null
# The runner itself runs on either host; it starts each host's interpreter for its benches.
for host in python3 python2; do
  if [ -f "$build/bench/$host.txt" ]; then
    exec "$(cat "$build/bench/$host.txt")" bench/run_all.py "$build" "$@"
  fi
done
echo "bench.sh: no Python host was built" >&2
exit 1

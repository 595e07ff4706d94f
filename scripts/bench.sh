#!/usr/bin/env bash
# Builds the module, the native bench and the floor extension in build-bench/ (Release)
# and runs every benchmark, printing one table of figures and ratios to their floors.
#   scripts/bench.sh [--quick] [--instructions]     (see bench/run_all.py)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQN4T_BENCH=ON >/dev/null
cmake --build build-bench -j2 --target _qn4tGenericActionLoader qn4t_native_bench qn4t_bench_floor >/dev/null
exec "$(cat build-bench/bench/python2.txt)" bench/run_all.py build-bench "$@"

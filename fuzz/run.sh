#!/usr/bin/env bash
# Runs one fuzz target for a set time:  fuzz/run.sh TARGET SECONDS [libFuzzer options...]
# TARGET is one of fuzz/CMakeLists.txt's targets (fuzz_records, fuzz_action_reader, ...).
# Builds the target in build-fuzz/ (clang, -DQN4T_FUZZ=ON) when it is missing or stale.
# The run starts from the committed seeds in fuzz/corpus/TARGET (read only) and keeps
# what it finds in fuzz/corpus-work/TARGET (not committed); a crashing input is saved as
# build-fuzz/artifacts/TARGET-crash-<hash>, and the script then fails. Prints the number
# of executions. To make a crash a regression case, add the input to fuzz/corpus/TARGET
# and a test of the fixed behaviour to the test suites.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 2 ]; then
  echo "usage: fuzz/run.sh TARGET SECONDS [libFuzzer options...]" >&2
  exit 2
fi
target=$1
seconds=$2
shift 2

build=build-fuzz
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DQN4T_FUZZ=ON \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j2 --target "$target" >/dev/null

work=fuzz/corpus-work/$target
mkdir -p "$work" "$build/artifacts"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Leaks are checked after each input and at exit. An embedded interpreter is never
# finalised and keeps its small objects in arenas the leak checker does not scan, so the
# blocks those objects hold are ignored (by the interpreter functions that allocate them).
export LSAN_OPTIONS=suppressions=$PWD/tests/valgrind/lsan-interpreter.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}

log=$build/artifacts/$target.log
status=0
"$build/fuzz/$target" -max_total_time="$seconds" -timeout=20 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$target-" "$@" "$work" "fuzz/corpus/$target" \
    >"$log" 2>&1 || status=$?
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
echo "$target: ${runs:-?} executions in ${seconds} s"
if [ "$status" -ne 0 ]; then
  grep -v -E "^#[0-9]+|NEW_FUNC" "$log" | tail -30 >&2 || true
  echo "$target: FAILED (full log: $log)" >&2
  exit "$status"
fi

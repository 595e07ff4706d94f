#!/usr/bin/env bash
# Hardening checks, for CI and by hand, all from one instrumented build (build-fuzz/: clang
# with AddressSanitizer, UndefinedBehaviorSanitizer and libFuzzer's coverage):
#   1. the C++ suites (core, binding) and the Python 2.7 suites against it. The interpreter
#      is not instrumented, so it runs with the sanitizer runtime preloaded and without
#      leak checking: CPython never frees its own start-up allocations and keeps small
#      objects in arenas the leak checker does not scan, which would drown real reports.
#      The C++ suites run with leak checking on.
#   2. a short run of every fuzz target, from the committed seeds in fuzz/corpus/.
#   3. with QN4T_HARDENING_VALGRIND=1, also scripts/valgrind.sh (the Python 2.7 suites
#      under memcheck, against the plain build QN4T_VALGRIND_BUILD, default build-valgrind/;
#      CI points it at its Release build).
# Installs what is missing with apt-get. QN4T_FUZZ_SECONDS sets each fuzz run (default 8).
# Each stage ends with the seconds it took.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
need() { dpkg -s "$1" >/dev/null 2>&1 || missing+=("$1"); }
for package in cmake make g++ zlib1g-dev libsqlite3-dev libgtest-dev clang libclang-rt-14-dev; do need "$package"; done
if [ ${#missing[@]} -gt 0 ]; then
  echo "hardening: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

started=$SECONDS
stage() {
  [ -z "${stage_name:-}" ] || echo "   ($((SECONDS - started)) s)"
  started=$SECONDS
  stage_name=$*
  echo "== hardening: $*"
}
# Runs a command with its output in a log; shows its summary lines, or all of it on failure.
logged() {
  local log=$1
  shift
  if "$@" >"$log" 2>&1; then
    grep -E "tests passed|^[a-z0-9]+ += " "$log" || true
  else
    cat "$log"
    echo "hardening: FAILED: $*" >&2
    exit 1
  fi
}
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

stage "instrumented build (build-fuzz)"
build=build-fuzz
mkdir -p "$build"
logged "$build/configure.log" \
  cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DQN4T_FUZZ=ON \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQN4T_WITH_PYTHON3=OFF
logged "$build/build.log" cmake --build "$build" -j2
runtime=$(sed -n 's/^QN4T_ASAN_RUNTIME:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -f "$runtime" ] || { echo "hardening: no sanitizer runtime found ($runtime)" >&2; exit 1; }

stage "C++ suites under ASan/UBSan, leak checking on"
logged "$build/native-tests.log" \
  env ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions="$PWD/tests/valgrind/lsan-interpreter.supp" \
  ctest --test-dir "$build" -L '^(core|binding)$' --output-on-failure -j2 --timeout 900

stage "Python 2.7 suites under ASan/UBSan (runtime preloaded, leak checking off)"
logged "$build/python-tests.log" \
  env LD_PRELOAD="$runtime" ASAN_OPTIONS=detect_leaks=0 \
  ctest --test-dir "$build" -L '^python$' --output-on-failure -j2 --timeout 900

stage "fuzz targets, ${QN4T_FUZZ_SECONDS:-8} s each"
for target in $(find "$build/fuzz" -maxdepth 1 -name 'fuzz_*' -type f -perm -u+x | sort); do
  fuzz/run.sh "$(basename "$target")" "${QN4T_FUZZ_SECONDS:-8}"
done
if [ "${QN4T_HARDENING_VALGRIND:-0}" = 1 ]; then
  stage "Python 2.7 suites under valgrind (${QN4T_VALGRIND_BUILD:-build-valgrind})"
  scripts/valgrind.sh
fi
stage "all passed"

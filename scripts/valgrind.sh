#!/usr/bin/env bash
# Runs the Python test suites (Python 2.7) under valgrind's memcheck against a plain
# (non-sanitized) build of the module and fails on any memory error or any block
# definitely lost. The interpreter's own known noise is suppressed by
# tests/valgrind/python2.supp, which names nothing of the module.
#   scripts/valgrind.sh [SUITE...]      e.g. scripts/valgrind.sh test_streams
# Builds in build-valgrind/ (or $QN4T_VALGRIND_BUILD); installs valgrind when missing.
# A log per suite is kept in <build>/valgrind/<suite>.log.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v valgrind >/dev/null 2>&1; then
  echo "valgrind.sh: installing valgrind" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq valgrind >/dev/null
fi

build=${QN4T_VALGRIND_BUILD:-build-valgrind}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQN4T_WITH_PYTHON3=OFF >/dev/null
fi
cmake --build "$build" -j2 --target _qn4tGenericActionLoader >/dev/null
build=$(cd "$build" && pwd)
# The interpreter that the build registered its Python 2.7 suites with.
python=$(sed -n 's/^add_test(python\.[^ ]* "\([^"]*\)".*/\1/p' "$build/tests/CTestTestfile.cmake" | head -1)
[ -n "$python" ] || { echo "valgrind.sh: no Python 2.7 in $build" >&2; exit 1; }

if [ $# -gt 0 ]; then
  suites=("$@")
else
  suites=()
  for file in tests/python/test_*.py; do suites+=("$(basename "$file" .py)"); done
fi

logs=$build/valgrind
mkdir -p "$logs"
export PYTHONPATH="$build/python:$PWD/tools" QN4T_SOURCE_DIR="$PWD" \
       QN4T_MODULE_DIR="$build/python" PYTHONDONTWRITEBYTECODE=1
failed=0
for suite in "${suites[@]}"; do
  log=$logs/$suite.log
  status=0
  (cd tests/python && timeout "${QN4T_VALGRIND_SUITE_TIMEOUT:-1200}" valgrind --tool=memcheck --error-exitcode=99 --num-callers=40 \
      --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
      --suppressions="$OLDPWD/tests/valgrind/python2.supp" --log-file="$log" \
      "$python" -m unittest "$suite") >"$log.out" 2>&1 || status=$?
  summary=$(sed -n 's/^==[0-9]*== ERROR SUMMARY: //p' "$log" | tail -1)
  lost=$(sed -n 's/^==[0-9]*==    definitely lost: //p' "$log" | tail -1)
  echo "$suite: errors ${summary:-?}; definitely lost ${lost:-0 bytes}"
  if [ "$status" -ne 0 ]; then
    failed=1
    if [ "$status" -eq 99 ]; then
      echo "$suite: memcheck found errors, see $log" >&2
    elif [ "$status" -eq 124 ]; then
      echo "$suite: still running after ${QN4T_VALGRIND_SUITE_TIMEOUT:-1200} s under valgrind, stopped" >&2
    else
      tail -20 "$log.out" >&2
      echo "$suite: the suite failed under valgrind (exit $status), see $log.out" >&2
    fi
  fi
done
exit "$failed"

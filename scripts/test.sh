#!/usr/bin/env bash
# Builds everything and runs every test suite (C++ core and binding tests, Python suites).
# Installs missing prerequisites first. Builds in build/ as RelWithDebInfo; CI runs it again
# with QN4T_BUILD_DIR=build-release QN4T_BUILD_TYPE=Release, the build type users run, where
# freed memory is reused at once and timing differs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build=${QN4T_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE="${QN4T_BUILD_TYPE:-RelWithDebInfo}" >/dev/null
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure -j2

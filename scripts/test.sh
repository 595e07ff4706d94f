#!/usr/bin/env bash
# Builds everything in build/ and runs every test suite (C++ core and binding tests,
# Python suites, the install and browser tests), one line per test. Installs missing
# prerequisites first (scripts/setup.sh). The build is Release, the build type users run,
# where freed memory is reused at once; CI runs exactly this (scripts/progress.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/progress.sh
scripts/setup.sh
echo "== building ($QN4T_BUILD_DIR/, $QN4T_BUILD_TYPE)"
build_with_progress
echo "== testing"
ctest_compact --output-on-failure -j2

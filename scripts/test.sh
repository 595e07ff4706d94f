#!/usr/bin/env bash
# Builds everything in build/ and runs every test suite (C++ core and binding tests,
# Python suites, the install test). Installs missing prerequisites first.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/progress.sh
scripts/setup.sh
echo "== building (build/)"
build_with_progress
echo "== testing"
ctest_compact --output-on-failure -j2

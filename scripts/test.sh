#!/usr/bin/env bash
# Builds everything in build/ and runs every test suite (C++ core and binding tests,
# Python suites). Installs missing prerequisites first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2

#!/usr/bin/env bash
# The main job: builds the module, imports the example action set into an action file
# and prints its listing with actiontool.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 >/dev/null
build/actiontool import examples/actions.json build/example_actions.gz
build/actiontool dump build/example_actions.gz
